// Internal contracts between the parts of the host kernel (libvyrntos). Not for drivers, not for
// the testbed: they use hk/nt.h and hk/host.h.
//
//   bugcheck.cpp      bug checks, address symbolisation
//   ke_*.cpp          IRQL, spin locks, dispatcher objects and waits, threads, clock
//   ex_pool.cpp       pool with tags, verifier pool tracking, low-resource simulation, paged trap
//   ob.cpp            object headers and references, the name space, symbolic links, handles
//   io_*.cpp          device and driver objects, IRPs, completion, cancel, MDLs, request builders
//   pnp.cpp           device nodes, device stacks, Plug and Play and power requests
//   loader.cpp        driver images (shared objects), DriverEntry, unload
//   process.cpp       user-mode processes and their requests
//   reg.cpp           the registry hive and the Zw/Rtl registry routines
//   elog.cpp          error-log entries and the System event log, message tables
//   rtl.cpp           Rtl string routines, status conversion
#pragma once

#include "hk/host.h"

#include <atomic>
#include <functional>
#include <condition_variable>
#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

namespace hk::internal {

// ---------------------------------------------------------------------------------------------
// Bug checks and diagnostics (bugcheck.cpp)
// ---------------------------------------------------------------------------------------------
[[noreturn]] void BugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, const std::string &message);
// Like BugCheck, but a recording handler may return, and then so does this.
void ReportViolation(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, const std::string &message);
// "vyrtpbs2k16!BusDispatchPnp+0x1c" or "libvyrntos!..." for any code address.
std::string DescribeAddress(const void *address);
std::string FormatStatus(NTSTATUS status); // "STATUS_PENDING (0x00000103)"

// ---------------------------------------------------------------------------------------------
// Driver images (loader.cpp)
// ---------------------------------------------------------------------------------------------
struct DriverImage {
    std::string service;   // service name, e.g. vyrtpbs2k16
    std::string path;      // host path of the loaded copy
    void *dl = nullptr;    // dlopen handle
    uintptr_t base = 0;    // address range of the image's mapped segments
    uintptr_t end = 0;
    PDRIVER_OBJECT driver = nullptr;
    const uint8_t *messageTable = nullptr; // message-table resource, if the image carries one
    size_t messageTableSize = 0;
    std::vector<std::pair<void *, void *>> extensions; // driver-object extensions: client id, block
    bool entryDone = false;  // DriverEntry returned success
    std::atomic<int> liveDevices{0}; // device objects of the driver not yet freed (deleted ones too)
    bool unloadWanted = false;       // unload as soon as the last of them is freed
};
// The image that contains a code address (nullptr for host code).
DriverImage *ImageFromAddress(const void *address);
DriverImage *ImageFromDriver(PDRIVER_OBJECT driver);
// Service name of the image that owns an address, or "" for the host.
std::string ImageService(const void *address);
// Called by the I/O manager when a PnP driver's last device is gone: runs DriverUnload and unloads.
void UnloadDriverIfUnused(PDRIVER_OBJECT driver);
// A device object of a driver was freed (its last reference went).
void DriverDeviceFreed(PDRIVER_OBJECT driver);
void UnloadAllDrivers(); // at shutdown

// ---------------------------------------------------------------------------------------------
// Pool (ex_pool.cpp)
// ---------------------------------------------------------------------------------------------
// Every allocation made for a driver goes through here: it is counted for the low-resource
// simulation (a null return is an injected failure), attributed to the image that owns `caller`,
// and tracked until freed. Memory is not zeroed. A null `caller` marks the I/O manager's own
// allocations made on behalf of a user request (system buffers, user IRPs): tracked for leaks, but
// neither counted nor failed by the low-resource simulation.
void *PoolAllocate(POOL_TYPE type, size_t size, ULONG tag, AllocKind kind, const void *caller);
// The low-resource simulation for a resource that is not pool (a system thread): counts it as a
// driver allocation of `caller`'s image and says whether it is to fail.
bool InjectResourceFailure(AllocKind kind, const void *caller);
// Frees a block; a wrong tag, a double free or a foreign pointer is a bug check.
void PoolFree(void *block, ULONG expectedTag, const void *caller);
bool IsPoolBlock(const void *block);
// Leak check for one image (at its unload) or for all (at shutdown): each outstanding block is
// reported, then one bug check names the first.
void PoolCheckLeaks(const std::string &service);
void PoolResetForBoot();
// Paged-pool trap: called whenever a thread's IRQL changes.
void PagedPoolIrqlChanged(KIRQL oldIrql, KIRQL newIrql);

// ---------------------------------------------------------------------------------------------
// Threads, IRQL and waits (ke_*.cpp)
// ---------------------------------------------------------------------------------------------
// Host threads that are not system threads (a test's main thread, a process's calling thread) get
// a thread object on first use, so every thread has an IRQL, a process and a KTHREAD.
struct ThreadState {
    PKTHREAD thread = nullptr;
    KIRQL irql = PASSIVE_LEVEL;
    PEPROCESS process = nullptr; // process whose context the thread runs in
};
ThreadState &CurrentThreadState();

// Waits on a dispatcher object from host code (no IRQL rule), infinite when timeout is null.
NTSTATUS WaitForObject(PVOID object, PLARGE_INTEGER timeout);
// Every system thread has ended (shutdown waits for them after the drivers are gone).
bool WaitForSystemThreads(int64_t realMilliseconds);
size_t LiveSystemThreadCount();
void KeResetForBoot();
// Real-time duration of a simulated interval (100 ns units), after the time scale.
int64_t RealNanoseconds(LONGLONG simulated100ns);

// ---------------------------------------------------------------------------------------------
// Objects, names and handles (ob.cpp)
// ---------------------------------------------------------------------------------------------
enum class ObType : int { Device, Driver, File, Thread, Event, Key, Process, SymbolicLink };

struct ObjectHeader {
    static constexpr uint32_t kMagic = 0x4f424a48; // 'HJBO'
    uint32_t magic = kMagic;
    ObType type{};
    std::atomic<LONG_PTR> references{1};
    void (*deleteProcedure)(void *body) = nullptr;
    std::u16string name; // full name in the name space, empty when unnamed
    bool deleted = false;
    size_t bodySize = 0;
};
// Allocates an object body with a hidden header and one reference. The body is zeroed. With a
// caller, the memory is a pool block of that kind (counted, tracked and failed by the verifier like
// any allocation of that driver); without, it is the host kernel's own.
void *ObCreateObject(ObType type, size_t bodySize, void (*deleteProcedure)(void *body),
                     AllocKind kind = AllocKind::Any, ULONG tag = 0, const void *caller = nullptr);
ObjectHeader *ObHeader(const void *body); // nullptr when `body` is not an object
// Name space: \Device\X, \??\X (\DosDevices\X is the same directory), \Driver\X.
NTSTATUS ObInsertName(const std::u16string &path, void *body);
void ObRemoveName(void *body);
NTSTATUS ObCreateSymbolicLink(const std::u16string &link, const std::u16string &target);
NTSTATUS ObDeleteSymbolicLink(const std::u16string &link);
// Resolves a path through symbolic links; returns the referenced object or nullptr.
// A path below a device's name ("\Device\Tape0\x") finds the device; `remainder` gets "\x".
void *ObReferenceByName(const std::u16string &path, ObType type, NTSTATUS *status, std::u16string *remainder = nullptr);
std::u16string ObNormalizePath(const std::u16string &path); // \DosDevices\X and \GLOBAL??\X become \??\X
std::vector<std::pair<std::u16string, std::u16string>> ObListNames(); // name -> link target or ""
// Every live thread object, each referenced for the caller, who dereferences it.
std::vector<void *> ObReferenceLiveThreads();
// Handles (per process; kernel handles live in the system process).
HANDLE ObCreateHandle(PEPROCESS process, void *body, ACCESS_MASK access, void (*onClose)(void *body) = nullptr);
NTSTATUS ObReferenceHandle(PEPROCESS process, HANDLE handle, ObType type, void **body);
NTSTATUS ObCloseHandle(PEPROCESS process, HANDLE handle);
PEPROCESS SystemProcess();
void ObResetForBoot();

// ---------------------------------------------------------------------------------------------
// Processes (process.cpp)
// ---------------------------------------------------------------------------------------------
struct HandleEntry {
    void *object = nullptr;
    ACCESS_MASK access = 0;
    void (*onClose)(void *body) = nullptr;
};
} // namespace hk::internal

struct _EPROCESS {
    std::string name;
    bool is32bit = false;
    ULONG_PTR id = 0;
    std::mutex handleLock;
    std::vector<hk::internal::HandleEntry> handles; // index = handle / 4 - 1
};

namespace hk::internal {

// ---------------------------------------------------------------------------------------------
// I/O manager (io_*.cpp)
// ---------------------------------------------------------------------------------------------
// Why an IRP exists, which decides what happens when it completes to the top.
enum class IrpOrigin : uint8_t {
    DriverAllocated, // IoAllocateIrp: the allocator's completion routine must stop completion
    Threaded,        // IoBuildDeviceIoControlRequest / IoBuildSynchronousFsdRequest: event + IOSB
    Asynchronous,    // IoBuildAsynchronousFsdRequest: the caller's routine frees it
    UserRequest,     // a process's request: copy-out, then the waiting caller is woken
    System,          // PnP and power requests of the host PnP manager
};
struct IrpTracking; // verifier record kept per IRP (io_irp.cpp)

// Sends an IRP that the I/O manager itself built to the top of a stack and waits for it.
NTSTATUS IoSendAndWait(PDEVICE_OBJECT device, PIRP irp, IO_STATUS_BLOCK *iosb);
PIRP IoAllocateSystemIrp(CCHAR stackSize, IrpOrigin origin);
PDEVICE_OBJECT IoLowerDevice(PDEVICE_OBJECT device); // the device this one is attached to
PDEVICE_OBJECT IoBottomDevice(PDEVICE_OBJECT device);
std::string DeviceName(PDEVICE_OBJECT device);   // UTF-8, empty when unnamed
std::string DriverService(PDRIVER_OBJECT driver); // service name of the driver
void IoCheckLeaks(const std::string &service);     // IRPs still alive that a driver allocated
void IoResetForBoot();
// Open/close accounting of a device stack (for PnP removal after surprise removal).
LONG IoOpenCount(PDEVICE_OBJECT device);

// File objects opened through the name space (used by processes and IoGetDeviceObjectPointer).
NTSTATUS IoOpenDevice(const std::u16string &path, ACCESS_MASK access, ULONG share, KPROCESSOR_MODE mode,
                      PFILE_OBJECT *fileObject);
// The same with a create's extended attributes, disposition and options (ZwCreateFile of a device).
NTSTATUS IoOpenDeviceWithEa(const std::u16string &path, ACCESS_MASK access, ULONG share, KPROCESSOR_MODE mode,
                            const void *eaBuffer, ULONG eaLength, ULONG disposition, ULONG options,
                            PFILE_OBJECT *fileObject);
// Cleanup when the last handle goes; close when the last reference goes.
void IoCleanupFile(PFILE_OBJECT file);

// ---------------------------------------------------------------------------------------------
// Plug and Play (pnp.cpp)
// ---------------------------------------------------------------------------------------------
// The device node of a device object (its stack's PDO's node), or nullptr.
DevNode *NodeOfDevice(PDEVICE_OBJECT device);
// The last file object on a device went away: a removal waiting for open handles may proceed.
void PnpDeviceClosed(PDEVICE_OBJECT device);
// Runs a job later on the PnP manager's thread, as the real one runs its work items.
void PnpQueueWork(std::function<void()> job);
void PnpResetForBoot();
void PnpShutdown(); // removes every node, children first

// ---------------------------------------------------------------------------------------------
// Registry (reg.cpp) -- the host.h routines plus what the Zw layer needs
// ---------------------------------------------------------------------------------------------
std::string NormalizeKeyPath(const std::string &path); // case kept, separators unified, aliases resolved
// A restart of the running system: volatile keys (REG_OPTION_VOLATILE) are gone.
void RegResetHandles();

// ---------------------------------------------------------------------------------------------
// Event log (elog.cpp)
// ---------------------------------------------------------------------------------------------
// Renders a message from a message-table resource: %1 = the I/O object's name, %2... = strings.
bool MessageTableLookup(const uint8_t *table, size_t size, ULONG id, std::u16string *text);
void ElogReset();

// Debug output (dbg.cpp): text without a newline yet stays pending until a later call completes it.
void DebugOutputAppend(const std::string &line);

// The \Device\Tcp transport over host sockets (io_tcp.cpp), created at boot, removed at shutdown
// once its outstanding requests have ended.
void TcpCreateTransport();
void TcpDeleteTransport();

// Boot-time sandbox (loader.cpp)
std::string SandboxRoot();
void SetSandboxRoot(const std::string &root);
// The I/O manager's routine for dispatch slots a driver left empty.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);
// IoCreateDevice for the host's own devices (root PDOs): not counted as a driver allocation.
NTSTATUS IoCreateDeviceFor(PDRIVER_OBJECT driver, ULONG extensionSize, const std::u16string &name, DEVICE_TYPE type,
                           ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT *device, const void *caller);

} // namespace hk::internal
