// Object manager: object headers and references, the name space with its symbolic links, and the
// handle tables of processes.
//
// Every object body the host kernel hands out (device, driver, file, thread, key objects) is
// preceded by an ObjectHeader, the way the real object manager keeps its header in front of the
// body; the body's address is what drivers see.
#include "hk_internal.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <unordered_set>

struct _OBJECT_TYPE {
    hk::internal::ObType type;
    const char *name;
};

namespace {
_OBJECT_TYPE g_fileType{hk::internal::ObType::File, "File"};
_OBJECT_TYPE g_threadType{hk::internal::ObType::Thread, "Thread"};
_OBJECT_TYPE g_eventType{hk::internal::ObType::Event, "Event"};
_OBJECT_TYPE g_deviceType{hk::internal::ObType::Device, "Device"};
POBJECT_TYPE g_fileTypePtr = &g_fileType;
POBJECT_TYPE g_threadTypePtr = &g_threadType;
POBJECT_TYPE g_eventTypePtr = &g_eventType;
POBJECT_TYPE g_deviceTypePtr = &g_deviceType;
} // namespace

extern "C" {
POBJECT_TYPE *IoFileObjectType = &g_fileTypePtr;
POBJECT_TYPE *PsThreadType = &g_threadTypePtr;
POBJECT_TYPE *ExEventObjectType = &g_eventTypePtr;
POBJECT_TYPE *IoDeviceObjectType = &g_deviceTypePtr;
}

namespace hk::internal {
namespace {

// Header and body share one block; the body starts at a 16-byte boundary after the header.
constexpr size_t kHeaderSpace = (sizeof(ObjectHeader) + 15) & ~size_t(15);

struct ObjectBlock {
    bool pool; // memory is a pool block (freed through PoolFree)
};
constexpr size_t kPrefixSpace = (sizeof(ObjectBlock) + 15) & ~size_t(15);

struct NameEntry {
    std::u16string displayName; // as created (case kept)
    void *object = nullptr;     // a named object, or
    std::u16string linkTarget;  // a symbolic link's target
    bool isLink = false;
};

std::recursive_mutex g_nameLock;
std::map<std::u16string, NameEntry> g_names; // key: upper-cased normalised path

// Live thread objects, so that an unloading image can be checked for threads still in its code.
std::mutex g_liveLock;
std::unordered_set<void *> g_liveThreads;

std::u16string Upper(const std::u16string &s)
{
    std::u16string u = s;
    for (auto &c : u)
        if (c >= u'a' && c <= u'z')
            c = char16_t(c - u'a' + u'A');
    return u;
}

bool StartsWithNoCase(const std::u16string &s, const std::u16string &prefix)
{
    return s.size() >= prefix.size() && Upper(s.substr(0, prefix.size())) == Upper(prefix);
}

_EPROCESS *g_systemProcess = nullptr;

ULONG_PTR HandleIndex(HANDLE handle)
{
    return ((ULONG_PTR)handle & 0x7fffffffULL) / 4;
}

constexpr ULONG_PTR kKernelHandleBit = 0xFFFFFFFF80000000ULL;

} // namespace

void *ObCreateObject(ObType type, size_t bodySize, void (*deleteProcedure)(void *body), AllocKind kind, ULONG tag,
                     const void *caller)
{
    size_t total = kPrefixSpace + kHeaderSpace + bodySize;
    uint8_t *block;
    bool pool = kind != AllocKind::Any;
    if (pool) {
        block = (uint8_t *)PoolAllocate(NonPagedPool, total, tag, kind, caller);
        if (!block)
            return nullptr;
    } else {
        block = (uint8_t *)::operator new(total);
    }
    auto *prefix = new (block) ObjectBlock{pool};
    (void)prefix;
    auto *header = new (block + kPrefixSpace) ObjectHeader();
    header->type = type;
    header->deleteProcedure = deleteProcedure;
    header->bodySize = bodySize;
    void *body = block + kPrefixSpace + kHeaderSpace;
    memset(body, 0, bodySize);
    if (type == ObType::Thread) {
        std::lock_guard<std::mutex> lock(g_liveLock);
        g_liveThreads.insert(body);
    }
    return body;
}

ObjectHeader *ObHeader(const void *body)
{
    if (!body)
        return nullptr;
    auto *header = (ObjectHeader *)((uint8_t *)body - kHeaderSpace);
    if (header->magic != ObjectHeader::kMagic)
        return nullptr;
    return header;
}

static void ObFreeObject(void *body)
{
    ObjectHeader *header = ObHeader(body);
    if (header->type == ObType::Thread) {
        std::lock_guard<std::mutex> lock(g_liveLock);
        g_liveThreads.erase(body);
    }
    // A driver whose unload waits for its last deleted device may be unloaded (and its pool
    // checked for leaks) as soon as it hears of the free: tell it only once the block is gone.
    PDRIVER_OBJECT deviceDriver = header->type == ObType::Device ? ((PDEVICE_OBJECT)body)->DriverObject : nullptr;
    uint8_t *block = (uint8_t *)header - kPrefixSpace;
    bool pool = ((ObjectBlock *)block)->pool;
    header->magic = 0xDEADDEAD;
    header->~ObjectHeader();
    if (pool)
        PoolFree(block, 0, nullptr);
    else
        ::operator delete(block);
    if (deviceDriver)
        DriverDeviceFreed(deviceDriver);
}

std::u16string ObNormalizePath(const std::u16string &path)
{
    static const std::u16string dos = u"\\DosDevices\\", global = u"\\GLOBAL??\\", question = u"\\??\\";
    if (StartsWithNoCase(path, dos))
        return question + path.substr(dos.size());
    if (StartsWithNoCase(path, global))
        return question + path.substr(global.size());
    if (path == u"\\DosDevices")
        return u"\\??";
    return path;
}

NTSTATUS ObInsertName(const std::u16string &path, void *body)
{
    std::u16string norm = ObNormalizePath(path);
    if (norm.empty() || norm[0] != u'\\')
        return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::recursive_mutex> lock(g_nameLock);
    std::u16string key = Upper(norm);
    if (g_names.count(key))
        return STATUS_OBJECT_NAME_COLLISION;
    NameEntry entry;
    entry.displayName = norm;
    entry.object = body;
    g_names[key] = entry;
    if (ObjectHeader *header = ObHeader(body))
        header->name = norm;
    return STATUS_SUCCESS;
}

void ObRemoveName(void *body)
{
    ObjectHeader *header = ObHeader(body);
    if (!header || header->name.empty())
        return;
    std::lock_guard<std::recursive_mutex> lock(g_nameLock);
    auto it = g_names.find(Upper(header->name));
    if (it != g_names.end() && !it->second.isLink && it->second.object == body)
        g_names.erase(it);
}

NTSTATUS ObCreateSymbolicLink(const std::u16string &link, const std::u16string &target)
{
    std::u16string norm = ObNormalizePath(link);
    if (norm.empty() || norm[0] != u'\\')
        return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::recursive_mutex> lock(g_nameLock);
    std::u16string key = Upper(norm);
    if (g_names.count(key))
        return STATUS_OBJECT_NAME_COLLISION;
    NameEntry entry;
    entry.displayName = norm;
    entry.isLink = true;
    entry.linkTarget = ObNormalizePath(target);
    g_names[key] = entry;
    return STATUS_SUCCESS;
}

NTSTATUS ObDeleteSymbolicLink(const std::u16string &link)
{
    std::lock_guard<std::recursive_mutex> lock(g_nameLock);
    auto it = g_names.find(Upper(ObNormalizePath(link)));
    if (it == g_names.end() || !it->second.isLink)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    g_names.erase(it);
    return STATUS_SUCCESS;
}

void *ObReferenceByName(const std::u16string &path, ObType type, NTSTATUS *status, std::u16string *remainder)
{
    std::u16string current = ObNormalizePath(path);
    std::lock_guard<std::recursive_mutex> lock(g_nameLock);
    for (int depth = 0; depth < 32; depth++) {
        // Longest prefix that names an entry, at a component boundary.
        std::u16string key = Upper(current);
        size_t cut = key.size();
        auto found = g_names.end();
        while (true) {
            auto it = g_names.find(key.substr(0, cut));
            if (it != g_names.end()) {
                found = it;
                break;
            }
            size_t slash = key.rfind(u'\\', cut - 1);
            if (slash == std::u16string::npos || slash == 0)
                break;
            cut = slash;
        }
        if (found == g_names.end()) {
            // A missing leaf in an existing directory is "name not found"; a missing directory is
            // "path not found", as Win32 callers see ERROR_FILE_NOT_FOUND vs ERROR_PATH_NOT_FOUND.
            size_t slash = key.rfind(u'\\');
            std::u16string dir = slash == std::u16string::npos ? u"" : key.substr(0, slash);
            bool dirKnown = dir == u"\\??" || dir == u"\\DEVICE" || dir == u"\\DRIVER" || dir.empty();
            *status = dirKnown ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
            return nullptr;
        }
        std::u16string rest = current.substr(cut);
        if (found->second.isLink) {
            current = found->second.linkTarget + rest;
            continue;
        }
        void *body = found->second.object;
        ObjectHeader *header = ObHeader(body);
        if (!header || header->type != type) {
            *status = STATUS_OBJECT_TYPE_MISMATCH;
            return nullptr;
        }
        if (!rest.empty() && type != ObType::Device) {
            *status = STATUS_OBJECT_PATH_NOT_FOUND;
            return nullptr;
        }
        header->references.fetch_add(1);
        if (remainder)
            *remainder = rest;
        *status = STATUS_SUCCESS;
        return body;
    }
    *status = STATUS_OBJECT_PATH_SYNTAX_BAD; // a loop of links
    return nullptr;
}

std::vector<void *> ObReferenceLiveThreads()
{
    std::lock_guard<std::mutex> lock(g_liveLock);
    std::vector<void *> threads;
    for (void *body : g_liveThreads) {
        // One whose last reference is going (it waits for this lock to leave the set) is gone.
        auto &references = ObHeader(body)->references;
        LONG_PTR count = references.load();
        while (count > 0 && !references.compare_exchange_weak(count, count + 1)) {
        }
        if (count > 0)
            threads.push_back(body);
    }
    return threads;
}

std::vector<std::pair<std::u16string, std::u16string>> ObListNames()
{
    std::lock_guard<std::recursive_mutex> lock(g_nameLock);
    std::vector<std::pair<std::u16string, std::u16string>> out;
    for (auto &[key, entry] : g_names)
        out.emplace_back(entry.displayName, entry.isLink ? entry.linkTarget : u"");
    return out;
}

// ---------------------------------------------------------------------------------------------
// Handles
// ---------------------------------------------------------------------------------------------
PEPROCESS SystemProcess()
{
    if (!g_systemProcess) {
        g_systemProcess = new _EPROCESS();
        g_systemProcess->name = "System";
        g_systemProcess->id = 4;
    }
    return g_systemProcess;
}

HANDLE ObCreateHandle(PEPROCESS process, void *body, ACCESS_MASK access, void (*onClose)(void *body))
{
    if (!process)
        process = SystemProcess();
    std::lock_guard<std::mutex> lock(process->handleLock);
    size_t index = 0;
    while (index < process->handles.size() && process->handles[index].object)
        index++;
    if (index == process->handles.size())
        process->handles.emplace_back();
    process->handles[index] = HandleEntry{body, access, onClose};
    ULONG_PTR value = (index + 1) * 4;
    if (process == SystemProcess())
        value |= kKernelHandleBit;
    return (HANDLE)value;
}

static PEPROCESS ProcessOfHandle(PEPROCESS process, HANDLE handle)
{
    if (((ULONG_PTR)handle & kKernelHandleBit) == kKernelHandleBit)
        return SystemProcess();
    return process ? process : SystemProcess();
}

NTSTATUS ObReferenceHandle(PEPROCESS process, HANDLE handle, ObType type, void **body)
{
    process = ProcessOfHandle(process, handle);
    std::lock_guard<std::mutex> lock(process->handleLock);
    ULONG_PTR index = HandleIndex(handle);
    if (index == 0 || index > process->handles.size() || !process->handles[index - 1].object)
        return STATUS_INVALID_HANDLE;
    void *object = process->handles[index - 1].object;
    ObjectHeader *header = ObHeader(object);
    if (!header || header->type != type)
        return STATUS_OBJECT_TYPE_MISMATCH;
    header->references.fetch_add(1);
    *body = object;
    return STATUS_SUCCESS;
}

NTSTATUS ObCloseHandle(PEPROCESS process, HANDLE handle)
{
    process = ProcessOfHandle(process, handle);
    HandleEntry entry;
    {
        std::lock_guard<std::mutex> lock(process->handleLock);
        ULONG_PTR index = HandleIndex(handle);
        if (index == 0 || index > process->handles.size() || !process->handles[index - 1].object)
            return STATUS_INVALID_HANDLE;
        entry = process->handles[index - 1];
        process->handles[index - 1] = HandleEntry{};
    }
    if (entry.onClose)
        entry.onClose(entry.object);
    ObfDereferenceObject(entry.object);
    return STATUS_SUCCESS;
}

void ObResetForBoot()
{
    std::lock_guard<std::recursive_mutex> lock(g_nameLock);
    g_names.clear();
    if (g_systemProcess) {
        std::lock_guard<std::mutex> hl(g_systemProcess->handleLock);
        g_systemProcess->handles.clear();
    }
}

} // namespace hk::internal

using namespace hk::internal;

extern "C" LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    ObjectHeader *header = ObHeader(Object);
    if (!header)
        BugCheck(hk::BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Object, 0, 0, 0,
                 "ObfReferenceObject on something that is not an object, called by " +
                     DescribeAddress(__builtin_return_address(0)));
    return header->references.fetch_add(1) + 1;
}

extern "C" LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    ObjectHeader *header = ObHeader(Object);
    if (!header)
        BugCheck(hk::BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Object, 0, 0, 0,
                 "ObfDereferenceObject on something that is not an object, called by " +
                     DescribeAddress(__builtin_return_address(0)));
    LONG_PTR left = header->references.fetch_sub(1) - 1;
    if (left < 0)
        BugCheck(hk::BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Object, 0, 0, 0,
                 "object dereferenced more often than referenced, by " + DescribeAddress(__builtin_return_address(0)));
    if (left == 0) {
        ObRemoveName(Object);
        if (header->deleteProcedure)
            header->deleteProcedure(Object);
        ObFreeObject(Object);
    }
    return left;
}

extern "C" NTSTATUS NTAPI ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK, POBJECT_TYPE ObjectType, KPROCESSOR_MODE)
{
    ObjectHeader *header = ObHeader(Object);
    if (!header)
        return STATUS_INVALID_HANDLE;
    if (ObjectType && header->type != ObjectType->type)
        return STATUS_OBJECT_TYPE_MISMATCH;
    header->references.fetch_add(1);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                    KPROCESSOR_MODE AccessMode, PVOID *Object,
                                                    POBJECT_HANDLE_INFORMATION HandleInformation)
{
    PEPROCESS process = CurrentThreadState().process;
    if (!ObjectType)
        return STATUS_OBJECT_TYPE_MISMATCH;
    void *body = nullptr;
    NTSTATUS status = ObReferenceHandle(process, Handle, ObjectType->type, &body);
    if (!NT_SUCCESS(status))
        return status;
    *Object = body;
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = DesiredAccess;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    return ObCloseHandle(CurrentThreadState().process, Handle);
}
