// The host kernel's own interface, for the programs around the drivers: the testbed's machine,
// vyrsim and the tests. Drivers never include this header.
//
// There is one kernel per process, as on a real machine: Boot() brings it up with the registry
// hive it is given (kept across a simulated restart), Shutdown() removes every device, unloads every
// driver and runs the verifier's final checks.
#pragma once

#include "hk/nt.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hk {

// ---------------------------------------------------------------------------------------------
// Text helpers (UTF-16 <-> UTF-8)
// ---------------------------------------------------------------------------------------------
std::u16string Utf16(const std::string &utf8);
std::string Utf8(const std::u16string &utf16);
std::string Utf8(const UNICODE_STRING &s);

// ---------------------------------------------------------------------------------------------
// Bug checks
// ---------------------------------------------------------------------------------------------
struct BugCheckInfo {
    ULONG code = 0;
    ULONG_PTR parameters[4] = {};
    std::string message; // what went wrong, naming the driver routine where known
    std::string stack;   // symbolised call stack at the bug check
};

// The default handler prints the bug check and aborts the process; tests of the verifier itself use
// death tests, or install a handler that records and returns (the kernel then goes on, which is
// only safe for the leak and accounting checks).
using BugCheckHandler = std::function<void(const BugCheckInfo &)>;
void SetBugCheckHandler(BugCheckHandler handler); // empty: default
const char *BugCheckName(ULONG code);

// Bug check codes raised by the host kernel (the real codes where one exists).
enum : ULONG {
    BUGCHECK_IRQL_NOT_LESS_OR_EQUAL = 0x0A,
    BUGCHECK_NO_MORE_IRP_STACK_LOCATIONS = 0x35,
    BUGCHECK_MULTIPLE_IRP_COMPLETE_REQUESTS = 0x44,
    BUGCHECK_INVALID_DATA_ACCESS_TRAP = 0x04,
    BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION = 0xC4,
    BUGCHECK_DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS = 0xCE,
    BUGCHECK_DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS = 0xCB,
    BUGCHECK_BAD_POOL_CALLER = 0xC2,
    BUGCHECK_DRIVER_CORRUPTED_EXPOOL = 0xC5,
    BUGCHECK_PAGE_FAULT_IN_NONPAGED_AREA = 0x50,
    BUGCHECK_IRP_LEAKED = 0x000000C9, // DRIVER_VERIFIER_IOMANAGER_VIOLATION
    BUGCHECK_POOL_LEAKED = 0x000000C4,
    BUGCHECK_SEMAPHORE_LIMIT_EXCEEDED = 0xC0000047,
};

// ---------------------------------------------------------------------------------------------
// Clock
// ---------------------------------------------------------------------------------------------
// Simulated time runs `scale` times faster than real time for every wait with a time-out and
// every delay: with scale 1000 a 30-second receive time-out passes in 30 ms.
void SetTimeScale(double scale);
double TimeScale();

// ---------------------------------------------------------------------------------------------
// Verifier
// ---------------------------------------------------------------------------------------------
enum class AllocKind : int {
    Pool,                  // ExAllocatePool(WithTag)
    DriverObjectExtension, // IoAllocateDriverObjectExtension
    DeviceObject,          // IoCreateDevice
    Irp,                   // IoAllocateIrp, IoBuild*Request
    Mdl,                   // IoAllocateMdl
    ErrorLogEntry,         // IoAllocateErrorLogEntry
    Thread,                // PsCreateSystemThread (counted and failed, not tracked as pool)
    Any,
};

struct VerifierFaults {
    // Fail the Nth counted allocation from now on (1 = the next one), 0 = off.
    uint64_t failNth = 0;
    // Fail every allocation with this pool tag, 0 = off.
    ULONG failTag = 0;
    // Fail every allocation of this kind (Any = off unless failNth/failTag say otherwise).
    AllocKind failKind = AllocKind::Any;
    bool failKindEnabled = false;
    // With failKindEnabled: fail only the Nth allocation of that kind (1 = the next one), 0 = all.
    uint64_t failNthOfKind = 0;
    // Restrict all of the above to allocations made by this driver (service name), empty = any.
    std::string onlyDriver;
};
void SetVerifierFaults(const VerifierFaults &faults);
// The trap on paged pool touched at raised IRQL (on by default). Benchmarks turn it off: it
// re-protects all paged pool at every IRQL change and would measure itself, not the drivers.
void SetPagedPoolGuard(bool on);
void ClearVerifierFaults();
// Counted allocations made by drivers since boot (for walking failNth over a whole flow).
uint64_t DriverAllocationCount();
// Number of injected allocation failures since boot.
uint64_t InjectedFailureCount();

struct PoolBlockInfo {
    ULONG tag;
    size_t size;
    POOL_TYPE type;
    AllocKind kind;
    std::string driver;
    uint64_t sequence;
};
std::vector<PoolBlockInfo> OutstandingPool(const std::string &driver = {});
size_t OutstandingIrpCount();

// Pool tag as four characters ('BUSa' written as the tag the driver passed).
std::string TagText(ULONG tag);
constexpr ULONG MakeTag(const char (&t)[5])
{
    return (ULONG)(uint8_t)t[0] | ((ULONG)(uint8_t)t[1] << 8) | ((ULONG)(uint8_t)t[2] << 16) | ((ULONG)(uint8_t)t[3] << 24);
}

// ---------------------------------------------------------------------------------------------
// Registry (the one hive the drivers and the installer read and write)
// ---------------------------------------------------------------------------------------------
// Paths are kernel paths: \Registry\Machine\System\CurrentControlSet\Services\vyrtpbs2k16.
// Names compare case-insensitively, as on Windows.
struct RegValue {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};
bool RegKeyExists(const std::string &path);
void RegCreateKey(const std::string &path);
bool RegDeleteTree(const std::string &path);
void RegSetValue(const std::string &path, const std::string &name, const RegValue &value);
void RegSetDword(const std::string &path, const std::string &name, ULONG value);
void RegSetString(const std::string &path, const std::string &name, const std::string &value, ULONG type = REG_SZ);
void RegSetMultiString(const std::string &path, const std::string &name, const std::vector<std::string> &values);
bool RegGetValue(const std::string &path, const std::string &name, RegValue *value);
bool RegGetDword(const std::string &path, const std::string &name, ULONG *value);
bool RegGetString(const std::string &path, const std::string &name, std::string *value);
bool RegGetMultiString(const std::string &path, const std::string &name, std::vector<std::string> *values);
bool RegDeleteValue(const std::string &path, const std::string &name);
std::vector<std::string> RegSubKeys(const std::string &path);
std::vector<std::string> RegValueNames(const std::string &path);
// Forget the whole hive (a new machine). Boot and Shutdown keep it (a restart).
void RegReset();
// Save and load the hive as a text file (for vyrsim runs that span restarts).
bool RegSave(const std::string &file);
bool RegLoad(const std::string &file);

// ---------------------------------------------------------------------------------------------
// System event log and debug output
// ---------------------------------------------------------------------------------------------
struct EventRecord {
    uint64_t sequence = 0;
    LONGLONG time = 0;             // KeQuerySystemTime units
    std::string source;            // the writing driver's service name
    ULONG eventId = 0;             // the packet's ErrorCode
    int severity = 0;              // bits 31-30: 0 success, 1 informational, 2 warning, 3 error
    std::vector<std::u16string> strings; // insertion strings from the packet
    std::u16string text;           // rendered with the driver's message table; %1 = device or driver name
    std::vector<uint8_t> packet;   // the whole packet as written
};
std::vector<EventRecord> EventLog();
void ClearEventLog();
const char *SeverityName(int severity);

std::vector<std::string> DebugOutput();
void ClearDebugOutput();
void SetDebugEcho(bool echo); // also write DbgPrint output to stderr

// ---------------------------------------------------------------------------------------------
// Kernel lifecycle, drivers, Plug and Play
// ---------------------------------------------------------------------------------------------
struct BootOptions {
    // Where the system drive and other drive letters live (C: is <root>/C).
    std::string sandboxRoot;
};
void Boot(const BootOptions &options);
void Shutdown();
bool IsBooted();
// The host folder of a drive letter ('C' -> <sandbox>/C).
std::string DriveFolder(char letter);

// Loads the driver of a service (Services\<name>\ImagePath, a path on a sandbox drive such as
// \SystemRoot\System32\drivers\x.sys) and runs its DriverEntry. Already loaded: success.
NTSTATUS LoadDriver(const std::string &service);
PDRIVER_OBJECT FindDriver(const std::string &service);
std::vector<std::string> LoadedDrivers();

// A device node of the Plug and Play tree.
struct DevNode;
enum class DevNodeState { Initialized, DriversLoaded, Started, StopPending, Stopped, RemovePending, SurpriseRemoved, Removed, Failed };
const char *DevNodeStateName(DevNodeState state);

struct DevNodeInfo {
    DevNode *node;
    DevNode *parent;
    int depth;
    std::string instanceId;              // ROOT\SYSTEM\0000
    std::vector<std::string> hardwareIds;
    std::string service;
    std::vector<std::string> stack;      // service names, bottom (PDO's driver) to top
    DevNodeState state;
    NTSTATUS problem;                    // last failing status, 0 when fine
};

// Creates a root-enumerated device (as SetupDiCreateDeviceInfo + DIF_REGISTERDEVICE would) whose
// Enum key names its hardware ids; the driver comes from the key's Service value, which the
// caller (or the installer) writes. The node is not started until StartDevice or Reenumerate.
DevNode *CreateRootDevice(const std::string &hardwareId, const std::string &service, const std::string &classGuid = {});
std::vector<DevNodeInfo> DeviceTree();
DevNode *FindDevNode(const std::string &instanceId);
DevNodeInfo NodeInfo(DevNode *node);
// Loads the stack's drivers, calls AddDevice on each, sends START and enumerates the children.
NTSTATUS StartDevice(DevNode *node);
// Query-stop and stop; the node stays stopped until StartDevice. Vetoed query-stop: cancel-stop,
// returns the veto.
NTSTATUS StopDevice(DevNode *node);
// Query-stop, stop, start again (a rebalance). Vetoed query-stop: cancel-stop, returns the veto.
NTSTATUS RebalanceDevice(DevNode *node);
// Orderly removal: query-remove then remove, children first. A veto returns the veto status.
NTSTATUS RemoveDevice(DevNode *node);
// Re-reads bus relations of every started node and acts on what changed.
void ReenumerateDevices();
// Waits until the PnP manager's queued work (re-enumerations drivers asked for) is done.
void WaitPnpIdle();
PDEVICE_OBJECT NodePdo(DevNode *node);
DevNodeState NodeState(DevNode *node);

// Sends a power request to the top of a node's stack and waits for it.
NTSTATUS SendPowerRequest(DevNode *node, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
// Power-call accounting for tests: how often PoCallDriver and PoStartNextPowerIrp ran since boot.
uint64_t PoCallDriverCount();
uint64_t PoStartNextPowerIrpCount();

// ---------------------------------------------------------------------------------------------
// User-mode processes
// ---------------------------------------------------------------------------------------------
// A Win32-like process that opens devices by their Win32 names (\\.\Tape0) and sends requests
// through the I/O manager, with the requestor mode of user mode. 32-bit processes make
// IoIs32bitProcess true for their requests.
class Process {
public:
    static std::shared_ptr<Process> Create(const std::string &name, bool is32bit = false);
    ~Process();

    bool Is32Bit() const;
    PEPROCESS Eprocess() const;

    // NT-level calls: the status as the driver completed the request.
    NTSTATUS NtCreateFile(HANDLE *handle, const std::u16string &ntPath, ACCESS_MASK access, ULONG shareAccess);
    NTSTATUS NtDeviceIoControlFile(HANDLE h, ULONG code, const void *in, ULONG inLen, void *out, ULONG outLen,
                                   IO_STATUS_BLOCK *iosb);
    NTSTATUS NtReadFile(HANDLE h, void *buffer, ULONG length, IO_STATUS_BLOCK *iosb);
    NTSTATUS NtWriteFile(HANDLE h, const void *buffer, ULONG length, IO_STATUS_BLOCK *iosb);
    NTSTATUS NtClose(HANDLE h);
    // Sends a request with any major function (for tests of dispatch tables).
    NTSTATUS NtSendMajor(HANDLE h, UCHAR major, IO_STATUS_BLOCK *iosb);

    // Win32-level calls: BOOL results, GetLastError from RtlNtStatusToDosError.
    HANDLE CreateFile(const std::string &win32Path, ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE, ULONG share = 0);
    bool DeviceIoControl(HANDLE h, ULONG code, const void *in, ULONG inLen, void *out, ULONG outLen, ULONG *returned);
    bool ReadFile(HANDLE h, void *buffer, ULONG length, ULONG *read);
    bool WriteFile(HANDLE h, const void *buffer, ULONG length, ULONG *written);
    bool CloseHandle(HANDLE h);
    ULONG GetLastError() const;
    NTSTATUS LastStatus() const;

    struct Impl;

private:
    explicit Process(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};
inline const HANDLE INVALID_HANDLE = (HANDLE)(intptr_t)-1;

} // namespace hk
