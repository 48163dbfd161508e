// Driver images: each driver is a shared object (named <service>.sys, as on Windows) loaded with
// dlopen(RTLD_LOCAL), so that it has its own globals; the loader calls its DriverEntry as the I/O
// manager does, and unloads it when the driver has no device left.
#include "io_internal.h"
#include "ke_thread.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <filesystem>
#include <list>
#include <mutex>

namespace fs = std::filesystem;

namespace hk::internal {
namespace {

std::recursive_mutex g_loaderLock;
std::list<DriverImage> g_images; // stable addresses
std::string g_sandboxRoot;

const std::string kServicesKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

std::string Lower(std::string s)
{
    for (auto &c : s)
        c = (char)tolower((unsigned char)c);
    return s;
}

// Finds a path in the sandbox component by component, ignoring case as Windows does.
std::string ResolveNoCase(const fs::path &base, const std::vector<std::string> &components)
{
    fs::path current = base;
    for (const std::string &component : components) {
        if (component.empty())
            continue;
        fs::path exact = current / component;
        if (fs::exists(exact)) {
            current = exact;
            continue;
        }
        bool found = false;
        std::error_code ec;
        if (fs::is_directory(current, ec)) {
            for (auto &entry : fs::directory_iterator(current, ec)) {
                if (Lower(entry.path().filename().string()) == Lower(component)) {
                    current = entry.path();
                    found = true;
                    break;
                }
            }
        }
        if (!found)
            return {};
    }
    return current.string();
}

std::vector<std::string> SplitBackslash(const std::string &s)
{
    std::vector<std::string> parts;
    std::string part;
    for (char c : s) {
        if (c == '\\' || c == '/') {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    parts.push_back(part);
    return parts;
}

// \SystemRoot\System32\drivers\x.sys, System32\drivers\x.sys, \??\C:\dir\x.sys, C:\dir\x.sys
std::string HostPathOfImage(const std::string &imagePath)
{
    std::string p = imagePath;
    std::string lower = Lower(p);
    char drive = 'C';
    std::string rest;
    if (lower.rfind("\\systemroot\\", 0) == 0) {
        rest = "Windows\\" + p.substr(12);
    } else if (lower.rfind("\\??\\", 0) == 0 && p.size() > 6 && p[5] == ':') {
        drive = (char)toupper((unsigned char)p[4]);
        rest = p.substr(7);
    } else if (p.size() > 2 && p[1] == ':') {
        drive = (char)toupper((unsigned char)p[0]);
        rest = p.substr(3);
    } else if (!p.empty() && p[0] != '\\') {
        rest = "Windows\\" + p;
    } else {
        return {};
    }
    return ResolveNoCase(fs::path(g_sandboxRoot) / std::string(1, drive), SplitBackslash(rest));
}

struct RangeSearch {
    const char *path;
    uintptr_t base;
    uintptr_t end;
};

int FindRange(struct dl_phdr_info *info, size_t, void *data)
{
    auto *search = (RangeSearch *)data;
    if (!info->dlpi_name || strcmp(info->dlpi_name, search->path) != 0)
        return 0;
    uintptr_t lo = UINTPTR_MAX, hi = 0;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD)
            continue;
        lo = std::min<uintptr_t>(lo, info->dlpi_addr + ph.p_vaddr);
        hi = std::max<uintptr_t>(hi, info->dlpi_addr + ph.p_vaddr + ph.p_memsz);
    }
    search->base = lo;
    search->end = hi;
    return 1;
}

void FreeDriverObject(void *body)
{
    auto *driver = (PDRIVER_OBJECT)body;
    delete[] (char16_t *)driver->DriverName.Buffer;
    if (driver->DriverExtension)
        delete[] (char16_t *)driver->DriverExtension->ServiceKeyName.Buffer;
}

UNICODE_STRING NewUnicode(const std::u16string &s)
{
    auto *buffer = new char16_t[s.size() + 1];
    memcpy(buffer, s.data(), s.size() * sizeof(char16_t));
    buffer[s.size()] = 0;
    UNICODE_STRING u;
    u.Buffer = (PWCH)buffer;
    u.Length = (USHORT)(s.size() * sizeof(char16_t));
    u.MaximumLength = (USHORT)(u.Length + sizeof(char16_t));
    return u;
}

// A system thread that runs a routine of the image and has not ended would go on executing code
// that is no longer there.
void CheckThreadsOutOfImage(const DriverImage &image)
{
    for (void *object : ObReferenceLiveThreads()) {
        auto *thread = (PKTHREAD)object;
        bool running = thread->SystemThread && __atomic_load_n(&thread->Header.SignalState, __ATOMIC_ACQUIRE) == 0;
        auto routine = (uintptr_t)thread->StartRoutine;
        ObfDereferenceObject(object);
        if (running && routine >= image.base && routine < image.end)
            BugCheck(BUGCHECK_DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS, routine, (ULONG_PTR)image.driver, 0, 0,
                     "driver " + image.service + " unloaded while its system thread " +
                         DescribeAddress((const void *)routine) + " is still running");
    }
}

// Runs after a driver is gone: verifier checks and the image's removal.
void RetireImage(std::list<DriverImage>::iterator it)
{
    DriverImage &image = *it;
    std::string service = image.service;
    CheckThreadsOutOfImage(image);
    for (auto &[id, block] : image.extensions)
        PoolFree(block, 0, nullptr);
    image.extensions.clear();
    if (image.driver) {
        ObRemoveName(image.driver);
        ObfDereferenceObject(image.driver);
        image.driver = nullptr;
    }
    IoCheckLeaks(service);
    PoolCheckLeaks(service);
    void *dl = image.dl;
    g_images.erase(it);
    IoWaitForCompletionRoutines();
    if (dl)
        dlclose(dl);
}

} // namespace

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

std::string SandboxRoot()
{
    return g_sandboxRoot;
}

void SetSandboxRoot(const std::string &root)
{
    g_sandboxRoot = root;
}

DriverImage *ImageFromAddress(const void *address)
{
    auto a = (uintptr_t)address;
    std::lock_guard<std::recursive_mutex> lock(g_loaderLock);
    for (DriverImage &image : g_images)
        if (a >= image.base && a < image.end)
            return &image;
    return nullptr;
}

DriverImage *ImageFromDriver(PDRIVER_OBJECT driver)
{
    if (!driver)
        return nullptr;
    return (DriverImage *)driver->DriverSection;
}

std::string ImageService(const void *address)
{
    DriverImage *image = ImageFromAddress(address);
    return image ? image->service : std::string();
}

void UnloadDriverIfUnused(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::recursive_mutex> lock(g_loaderLock);
    auto it = std::find_if(g_images.begin(), g_images.end(), [&](DriverImage &i) { return i.driver == driver; });
    if (it == g_images.end() || driver->DeviceObject)
        return;
    if (!driver->DriverUnload)
        return; // a driver without an unload routine stays loaded, as on Windows
    if (it->liveDevices.load() > 0) {
        // A deleted device is still referenced (an open handle, a pending close): its close will
        // call into the driver, so the image stays until the device object is really freed.
        it->unloadWanted = true;
        return;
    }
    driver->DriverUnload(driver);
    RetireImage(it);
}

void DriverDeviceFreed(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::recursive_mutex> lock(g_loaderLock);
    DriverImage *image = ImageFromDriver(driver);
    if (!image)
        return;
    if (image->liveDevices.fetch_sub(1) == 1 && image->unloadWanted) {
        image->unloadWanted = false;
        // Not from here: the last reference may be dropped by code of the image itself.
        PnpQueueWork([driver] { UnloadDriverIfUnused(driver); });
    }
}

void UnloadAllDrivers()
{
    std::lock_guard<std::recursive_mutex> lock(g_loaderLock);
    // Newest first: filters and class drivers before the bus drivers they opened.
    while (!g_images.empty()) {
        auto it = std::prev(g_images.end());
        PDRIVER_OBJECT driver = it->driver;
        // A legacy driver deletes its devices in its unload routine: only what is left after it
        // is a fault.
        if (driver && driver->DriverUnload)
            driver->DriverUnload(driver);
        if (driver && driver->DeviceObject)
            ReportViolation(BUGCHECK_DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS, (ULONG_PTR)driver, 0, 0, 0,
                            "driver " + it->service + " still has device " + DeviceName(driver->DeviceObject) +
                                " at shutdown");
        RetireImage(it);
    }
}

} // namespace hk::internal

namespace hk {

using namespace internal;

NTSTATUS LoadDriver(const std::string &service)
{
    std::lock_guard<std::recursive_mutex> lock(g_loaderLock);
    for (DriverImage &image : g_images)
        if (Lower(image.service) == Lower(service))
            return STATUS_SUCCESS;
    std::string imagePath;
    if (!RegGetString(kServicesKey + service, "ImagePath", &imagePath))
        imagePath = "\\SystemRoot\\System32\\drivers\\" + service + ".sys";
    std::string hostPath = HostPathOfImage(imagePath);
    if (hostPath.empty())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    void *dl = dlopen(hostPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) {
        fprintf(stderr, "host kernel: cannot load %s: %s\n", hostPath.c_str(), dlerror());
        return STATUS_DRIVER_INTERNAL_ERROR;
    }
    auto entry = (PDRIVER_INITIALIZE)dlsym(dl, "DriverEntry");
    if (!entry) {
        dlclose(dl);
        return STATUS_DRIVER_INTERNAL_ERROR;
    }
    g_images.emplace_back();
    auto it = std::prev(g_images.end());
    DriverImage &image = *it;
    image.service = service;
    image.path = hostPath;
    image.dl = dl;
    // The name the dynamic loader recorded is what dl_iterate_phdr reports.
    struct link_map *map = nullptr;
    dlinfo(dl, RTLD_DI_LINKMAP, &map);
    RangeSearch search{map ? map->l_name : hostPath.c_str(), 0, 0};
    dl_iterate_phdr(FindRange, &search);
    image.base = search.base;
    image.end = search.end;
    auto *table = (const uint8_t *)dlsym(dl, "HkMessageTable");
    auto *tableSize = (const uint64_t *)dlsym(dl, "HkMessageTableSize");
    if (table && tableSize && ImageFromAddress(table) == &image) {
        image.messageTable = table;
        image.messageTableSize = (size_t)*tableSize;
    }

    auto *driver = (PDRIVER_OBJECT)ObCreateObject(ObType::Driver, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION),
                                                  FreeDriverObject);
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverStart = (PVOID)image.base;
    driver->DriverSize = (ULONG)(image.end - image.base);
    driver->DriverSection = &image;
    driver->DriverExtension = (PDRIVER_EXTENSION)(driver + 1);
    driver->DriverExtension->DriverObject = driver;
    driver->DriverExtension->ServiceKeyName = NewUnicode(Utf16(service));
    driver->DriverName = NewUnicode(u"\\Driver\\" + Utf16(service));
    driver->DriverInit = entry;
    // Every dispatch slot starts as the I/O manager's "invalid device request" routine.
    for (auto &major : driver->MajorFunction)
        major = InvalidDeviceRequest;
    image.driver = driver;
    ObInsertName(u"\\Driver\\" + Utf16(service), driver);

    // The registry path is only lent for the call, as on Windows: a driver that keeps it must copy.
    std::u16string registryPath = Utf16(kServicesKey + service);
    UNICODE_STRING path = NewUnicode(registryPath);
    PEPROCESS savedProcess = CurrentThreadState().process;
    CurrentThreadState().process = SystemProcess();
    NTSTATUS status = entry(driver, &path);
    CurrentThreadState().process = savedProcess;
    memset(path.Buffer, 0xDD, path.MaximumLength);
    delete[] (char16_t *)path.Buffer;

    if (!NT_SUCCESS(status)) {
        // A failed DriverEntry is not unloaded through DriverUnload; what it left behind is a leak.
        if (driver->DeviceObject)
            ReportViolation(BUGCHECK_DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS, (ULONG_PTR)driver, 0, 0, 0,
                            "DriverEntry of " + service + " failed but left device " + DeviceName(driver->DeviceObject));
        RetireImage(it);
        return status;
    }
    image.entryDone = true;
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT FindDriver(const std::string &service)
{
    std::lock_guard<std::recursive_mutex> lock(g_loaderLock);
    for (DriverImage &image : g_images)
        if (Lower(image.service) == Lower(service))
            return image.driver;
    return nullptr;
}

std::vector<std::string> LoadedDrivers()
{
    std::lock_guard<std::recursive_mutex> lock(g_loaderLock);
    std::vector<std::string> out;
    for (DriverImage &image : g_images)
        out.push_back(image.service);
    return out;
}

} // namespace hk
