// Bug checks: the host kernel's answer to a broken contract. A bug check names what went wrong and
// where (the driver routine, symbolised), prints the call stack and stops the process, so that a
// test fails at the fault rather than somewhere after it.
#include "hk_internal.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace hk {
namespace {

std::mutex g_handlerLock;
BugCheckHandler g_handler;

std::string CallStack()
{
    void *frames[48];
    int n = backtrace(frames, 48);
    std::string out;
    for (int i = 1; i < n; i++) {
        out += "    #" + std::to_string(i) + " " + internal::DescribeAddress(frames[i]) + "\n";
    }
    return out;
}

[[noreturn]] void DefaultHandler(const BugCheckInfo &info)
{
    fprintf(stderr, "\n*** BUG CHECK 0x%08X (%s)\n*** %s\n", info.code, BugCheckName(info.code), info.message.c_str());
    fprintf(stderr, "*** parameters: 0x%lx 0x%lx 0x%lx 0x%lx\n*** stack:\n%s", (unsigned long)info.parameters[0],
            (unsigned long)info.parameters[1], (unsigned long)info.parameters[2], (unsigned long)info.parameters[3],
            info.stack.c_str());
    fflush(stderr);
    abort();
}

void Raise(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, const std::string &message)
{
    BugCheckInfo info;
    info.code = code;
    info.parameters[0] = p1;
    info.parameters[1] = p2;
    info.parameters[2] = p3;
    info.parameters[3] = p4;
    info.message = message;
    info.stack = CallStack();
    BugCheckHandler handler;
    {
        std::lock_guard<std::mutex> lock(g_handlerLock);
        handler = g_handler;
    }
    if (handler)
        handler(info);
    else
        DefaultHandler(info);
}

} // namespace

void SetBugCheckHandler(BugCheckHandler handler)
{
    std::lock_guard<std::mutex> lock(g_handlerLock);
    g_handler = std::move(handler);
}

const char *BugCheckName(ULONG code)
{
    switch (code) {
    case BUGCHECK_IRQL_NOT_LESS_OR_EQUAL: return "IRQL_NOT_LESS_OR_EQUAL";
    case BUGCHECK_NO_MORE_IRP_STACK_LOCATIONS: return "NO_MORE_IRP_STACK_LOCATIONS";
    case BUGCHECK_MULTIPLE_IRP_COMPLETE_REQUESTS: return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case BUGCHECK_INVALID_DATA_ACCESS_TRAP: return "INVALID_DATA_ACCESS_TRAP";
    case BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case BUGCHECK_DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS:
        return "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS";
    case BUGCHECK_DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS: return "DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS";
    case BUGCHECK_BAD_POOL_CALLER: return "BAD_POOL_CALLER";
    case BUGCHECK_DRIVER_CORRUPTED_EXPOOL: return "DRIVER_CORRUPTED_EXPOOL";
    case BUGCHECK_PAGE_FAULT_IN_NONPAGED_AREA: return "PAGE_FAULT_IN_NONPAGED_AREA";
    case BUGCHECK_IRP_LEAKED: return "DRIVER_VERIFIER_IOMANAGER_VIOLATION";
    case BUGCHECK_SEMAPHORE_LIMIT_EXCEEDED: return "SEMAPHORE_LIMIT_EXCEEDED";
    default: return "BUG_CHECK";
    }
}

namespace internal {

void BugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, const std::string &message)
{
    Raise(code, p1, p2, p3, p4, message);
    // A recording handler returned: a real bug check does not, so neither does this one.
    BugCheckInfo info;
    info.code = code;
    info.message = message + " (the bug-check handler returned)";
    DefaultHandler(info);
}

void ReportViolation(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, const std::string &message)
{
    Raise(code, p1, p2, p3, p4, message);
}

std::string DescribeAddress(const void *address)
{
    char buf[64];
    Dl_info info{};
    if (!address || !dladdr(address, &info) || !info.dli_fname) {
        snprintf(buf, sizeof buf, "%p", address);
        return buf;
    }
    std::string image;
    if (DriverImage *driver = ImageFromAddress(address)) {
        image = driver->service;
    } else {
        image = info.dli_fname;
        size_t slash = image.rfind('/');
        if (slash != std::string::npos)
            image = image.substr(slash + 1);
    }
    std::string symbol;
    uintptr_t offset = 0;
    if (info.dli_sname) {
        int status = 0;
        char *demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        symbol = (status == 0 && demangled) ? demangled : info.dli_sname;
        free(demangled);
        offset = (uintptr_t)address - (uintptr_t)info.dli_saddr;
    } else {
        offset = (uintptr_t)address - (uintptr_t)info.dli_fbase;
    }
    snprintf(buf, sizeof buf, "+0x%lx", (unsigned long)offset);
    return image + "!" + symbol + buf;
}

std::string FormatStatus(NTSTATUS status)
{
    struct Name {
        NTSTATUS status;
        const char *name;
    };
    static const Name names[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_PENDING, "STATUS_PENDING"},
        {STATUS_TIMEOUT, "STATUS_TIMEOUT"},
        {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
        {STATUS_INFO_LENGTH_MISMATCH, "STATUS_INFO_LENGTH_MISMATCH"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
        {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
        {STATUS_MORE_PROCESSING_REQUIRED, "STATUS_MORE_PROCESSING_REQUIRED"},
        {STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED"},
        {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
        {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {STATUS_OBJECT_NAME_COLLISION, "STATUS_OBJECT_NAME_COLLISION"},
        {STATUS_OBJECT_PATH_NOT_FOUND, "STATUS_OBJECT_PATH_NOT_FOUND"},
        {STATUS_DELETE_PENDING, "STATUS_DELETE_PENDING"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
        {STATUS_CANCELLED, "STATUS_CANCELLED"},
        {STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT"},
        {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
        {STATUS_NO_MEDIA_IN_DEVICE, "STATUS_NO_MEDIA_IN_DEVICE"},
        {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
    };
    char buf[24];
    snprintf(buf, sizeof buf, "0x%08X", (unsigned)status);
    for (const Name &n : names)
        if (n.status == status)
            return std::string(n.name) + " (" + buf + ")";
    return buf;
}

} // namespace internal
} // namespace hk

extern "C" VOID NTAPI KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4)
{
    hk::internal::BugCheck(code, p1, p2, p3, p4,
                           "KeBugCheckEx called by " + hk::internal::DescribeAddress(__builtin_return_address(0)));
}
