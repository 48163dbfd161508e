#include "paths.h"

#include "vyr/cgbus.h"
#include "vyr/tpbus.h"

#include <cstdio>
#include <cstring>

namespace vyr::tools {

namespace {

// Both bus enumerators answer their path query alike.
NTSTATUS QueryBus(hk::Process &process, const char *link, ULONG code, std::vector<LogicalDeviceView> *devices)
{
    devices->clear();
    HANDLE h = process.CreateFile(link);
    if (h == hk::INVALID_HANDLE)
        return process.LastStatus();

    IO_STATUS_BLOCK iosb{};
    ULONG size = 0;
    NTSTATUS status = process.NtDeviceIoControlFile(h, code, nullptr, 0, &size, sizeof size, &iosb);
    if (status == STATUS_INVALID_PARAMETER) {
        // The bus answers so while it has no logical device at all.
        process.CloseHandle(h);
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status) || size < PATH_QUERY_HEADER_SIZE) {
        process.CloseHandle(h);
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    std::vector<uint8_t> reply(size);
    status = process.NtDeviceIoControlFile(h, code, nullptr, 0, reply.data(), size, &iosb);
    process.CloseHandle(h);
    if (!NT_SUCCESS(status))
        return status;

    ParsePathQuery(reply.data(), std::min<size_t>(iosb.Information, reply.size()), devices);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS QueryLogicalDevices(hk::Process &process, std::vector<LogicalDeviceView> *devices)
{
    return QueryBus(process, "\\\\.\\VYRTpBsDvcLnk", IOCTL_TPBUS_QUERY_PATHS, devices);
}

NTSTATUS QueryChangerDevices(hk::Process &process, std::vector<LogicalDeviceView> *devices)
{
    return QueryBus(process, "\\\\.\\VYRCgBsDvcLnk", IOCTL_CGBUS_QUERY_PATHS, devices);
}

bool ParsePathReference(const std::string &text, std::string *device, int *path)
{
    size_t slash = text.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 >= text.size())
        return false;
    char *end = nullptr;
    long index = strtol(text.c_str() + slash + 1, &end, 10);
    if (*end || index < 0 || index > 255)
        return false;
    *device = text.substr(0, slash);
    *path = (int)index;
    return true;
}

} // namespace vyr::tools
