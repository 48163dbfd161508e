#include "scenario.h"

#include "pathtable.h"
#include "vyr/cgbus.h"
#include "vyr/fabricplan.h"
#include "vyr/tpbus.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace vyr::winscen {

namespace {

using tools::LogicalDeviceView;
using tools::PathView;
using Handle = Win32Calls::Handle;

// Win32 error codes the scenario expects by name.
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorMediaChanged = 1110;
constexpr uint32_t kErrorBusReset = 1111;
constexpr uint32_t kErrorFilemarkDetected = 1101;
constexpr uint32_t kErrorNoDataDetected = 1104;

// A handle that is closed when the scope ends.
class Device {
public:
    Device(Win32Calls &calls, const std::string &name) : calls_(calls), handle_(calls.Open(name))
    {
        error_ = handle_ ? 0 : calls.LastError();
    }
    ~Device()
    {
        if (handle_)
            calls_.Close(handle_);
    }
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    explicit operator bool() const { return handle_ != nullptr; }
    Handle get() const { return handle_; }
    uint32_t OpenError() const { return error_; }

    bool Control(uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
                 uint32_t *returned = nullptr)
    {
        uint32_t ignored = 0;
        return calls_.Control(handle_, code, in, inLength, out, outLength, returned ? returned : &ignored);
    }

private:
    Win32Calls &calls_;
    Handle handle_;
    uint32_t error_ = 0;
};

std::string Printf(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));
std::string Printf(const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// Record `sequence` of tape `tape`: bytes of a generator seeded from the two numbers only, with the
// record and the offset stamped at the start of every 512 bytes, so that a block read back in the
// wrong place says which one it is.
void Pattern(uint32_t tape, uint32_t sequence, std::vector<uint8_t> *record)
{
    uint64_t x = ((uint64_t)(tape + 1) << 40) ^ ((uint64_t)sequence * 0x9E3779B97F4A7C15ULL) ^ 0xD1B54A32D192ED03ULL;
    for (size_t i = 0; i < record->size(); i++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        (*record)[i] = (uint8_t)x;
    }
    for (size_t at = 0; at + 8 <= record->size(); at += 512) {
        const uint64_t stamp = ((uint64_t)sequence << 20) | (at / 512);
        for (size_t k = 0; k < 8; k++)
            (*record)[at + k] = (uint8_t)(stamp >> (8 * k));
    }
}

// The path query (IOCTL_TPBUS_QUERY_PATHS or IOCTL_CGBUS_QUERY_PATHS) on a bus control device or a
// logical device: the size word first, then the whole reply. A bus without logical devices
// refuses the query with an invalid parameter: that is an empty list.
bool QueryPaths(Device &device, uint32_t code, std::vector<LogicalDeviceView> *devices, uint32_t *error,
                Win32Calls &calls)
{
    devices->clear();
    *error = 0;
    uint32_t size = 0, returned = 0;
    if (!device.Control(code, nullptr, 0, &size, sizeof size, &returned)) {
        *error = calls.LastError();
        return *error == kErrorInvalidParameter;
    }
    // Paths may register between the two requests: ask again with the size the bus says it needs.
    for (int attempt = 0; attempt < 4; attempt++) {
        std::vector<uint8_t> reply(std::max<uint32_t>(size, PATH_QUERY_HEADER_SIZE));
        if (!device.Control(code, nullptr, 0, reply.data(), (uint32_t)reply.size(), &returned)) {
            *error = calls.LastError();
            return *error == kErrorInvalidParameter;
        }
        uint32_t needed = 0;
        memcpy(&needed, reply.data(), sizeof needed);
        if (needed <= reply.size()) {
            tools::ParsePathQuery(reply.data(), std::min<size_t>(returned, reply.size()), devices);
            return true;
        }
        size = needed;
    }
    *error = 234; // ERROR_MORE_DATA: the list kept growing
    return false;
}

// The table as vyrsim's `paths` step prints it: tapes, then changers.
std::string FormatTables(const std::vector<LogicalDeviceView> &tapes, const std::vector<LogicalDeviceView> &changers)
{
    std::vector<LogicalDeviceView> all = tapes;
    all.insert(all.end(), changers.begin(), changers.end());
    return tools::FormatLogicalDevices(all);
}

const LogicalDeviceView *Find(const std::vector<LogicalDeviceView> &devices, const std::string &name)
{
    for (const LogicalDeviceView &d : devices)
        if (d.name == name)
            return &d;
    return nullptr;
}

int PrimaryIndex(const LogicalDeviceView *device)
{
    if (!device)
        return -1;
    for (size_t i = 0; i < device->paths.size(); i++)
        if (device->paths[i].primary)
            return (int)i;
    return -1;
}

// Every expected device listed with all its paths present, available, and one of them primary.
bool Complete(const std::vector<LogicalDeviceView> &devices, const char *prefix, int count, int paths)
{
    for (int i = 0; i < count; i++) {
        const LogicalDeviceView *d = Find(devices, prefix + std::to_string(i));
        if (!d || (int)d->paths.size() != paths)
            return false;
        int primaries = 0;
        for (const PathView &p : d->paths) {
            if (!p.available)
                return false;
            primaries += p.primary;
        }
        if (primaries != 1)
            return false;
    }
    return (int)devices.size() == count;
}

class Fabric {
public:
    Fabric(Win32Calls &calls) : calls_(calls), device_(calls, "VyrFabricCtl") {}
    Device &device() { return device_; }

    bool Control(uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength, uint32_t *error)
    {
        uint32_t returned = 0;
        if (device_.Control(code, in, inLength, out, outLength, &returned))
            return true;
        *error = calls_.LastError();
        return false;
    }

    bool Topology(std::vector<FabDriveEntry> *drives, std::vector<FabPathEntry> *paths, uint32_t *error)
    {
        // One request with room for the largest world the fabric holds: no second round, and no
        // reliance on how a kernel hands back the header with an overflow warning.
        std::vector<uint8_t> buffer(sizeof(FabTopologyHeader) + FAB_MAX_DRIVES * sizeof(FabDriveEntry) +
                                    FAB_MAX_PATHS * sizeof(FabPathEntry));
        if (!Control(IOCTL_VYRFAB_QUERY_TOPOLOGY, nullptr, 0, buffer.data(), (uint32_t)buffer.size(), error))
            return false;
        FabTopologyHeader header{};
        memcpy(&header, buffer.data(), sizeof header);
        if (sizeof header + (size_t)header.DriveCount * sizeof(FabDriveEntry) +
                (size_t)header.PathCount * sizeof(FabPathEntry) > buffer.size()) {
            *error = 13; // ERROR_INVALID_DATA: more entries than the fabric can hold
            return false;
        }
        drives->resize(header.DriveCount);
        paths->resize(header.PathCount);
        memcpy(drives->data(), buffer.data() + sizeof header, header.DriveCount * sizeof(FabDriveEntry));
        memcpy(paths->data(), buffer.data() + sizeof header + header.DriveCount * sizeof(FabDriveEntry),
               header.PathCount * sizeof(FabPathEntry));
        return true;
    }

    // The fabric's index of the present path with this address.
    bool PathIndex(const PathView &path, ULONG *index, uint32_t *error)
    {
        std::vector<FabDriveEntry> drives;
        std::vector<FabPathEntry> paths;
        if (!Topology(&drives, &paths, error))
            return false;
        for (const FabPathEntry &p : paths)
            if (p.PortNumber == path.port && p.PathId == path.pathId && p.TargetId == path.target &&
                p.Lun == path.lun && !p.fPulled) {
                *index = p.Index;
                return true;
            }
        return false;
    }

    // The fabric's index of the device with this serial number.
    bool DeviceIndex(const std::string &serial, ULONG *index, uint32_t *error)
    {
        std::vector<FabDriveEntry> drives;
        std::vector<FabPathEntry> paths;
        if (!Topology(&drives, &paths, error))
            return false;
        std::string wanted = serial;
        while (!wanted.empty() && wanted.back() == ' ')
            wanted.pop_back();
        for (const FabDriveEntry &d : drives)
            if (wanted == std::string(d.szSerialNumber, strnlen(d.szSerialNumber, sizeof d.szSerialNumber))) {
                *index = d.Index;
                return true;
            }
        return false;
    }

private:
    Win32Calls &calls_;
    Device device_;
};

struct Element {
    ELEMENT_TYPE type = ChangerSlot;
    ULONG number = 0;
};

std::string ElementName(const Element &element)
{
    const char *kind = element.type == ChangerSlot ? "slot" : element.type == ChangerDrive ? "drive" : "portal";
    return kind + std::to_string(element.number);
}

// The cartridge an element holds now (0: none), from the changer model.
USHORT CartridgeAt(const FabChangerState &state, const Element &element)
{
    switch (element.type) {
    case ChangerSlot:
        return element.number < FAB_CHANGER_MAX_SLOTS ? state.Slots[element.number] : 0;
    case ChangerDrive:
        return element.number < FAB_CHANGER_MAX_DRIVES ? state.DriveElements[element.number] : 0;
    case ChangerIEPort:
        return element.number < FAB_CHANGER_MAX_PORTALS ? state.Portals[element.number] : 0;
    default:
        return 0;
    }
}

class Scenario {
public:
    Scenario(Win32Calls &calls, const Options &options, FILE *out, FILE *progress)
        : calls_(calls), options_(options), out_(out), progress_(progress)
    {
    }

    int Run();

private:
    bool OpenBuses();
    bool BuildTopology();
    bool WaitForDevices();
    bool QueryAll(std::vector<LogicalDeviceView> *tapes, std::vector<LogicalDeviceView> *changers);
    void CheckDeviceQuery(const std::string &name, uint32_t code, const std::vector<LogicalDeviceView> &expected);
    int FaultPrimary(const std::string &name, FabFaultRequest fault, const std::string &what,
                     UCHAR form = FAB_FORM_ONE_SHOT, ULONG *fabricPath = nullptr);
    void RestoreLink(const std::string &name, ULONG fabricPath);
    void CheckFailover(const std::string &name, int primaryBefore);
    void WriteAndVerify(int tape);
    void LoadDrive(int changer, int element, bool fault);
    void Summary();

    void Say(const std::string &line) { fprintf(out_, "%s\n", line.c_str()); }
    void Fail(const std::string &why)
    {
        Say("  FAILED: " + why);
        failures_.push_back(why);
    }

    Win32Calls &calls_;
    const Options &options_;
    const vyr::sim::Topology &topology_ = options_.topology;
    FILE *out_;
    FILE *progress_;
    std::unique_ptr<Device> tapeBus_, changerBus_;
    std::unique_ptr<Fabric> fabric_;
    std::vector<LogicalDeviceView> tapesBefore_, changersBefore_;
    std::vector<std::string> failures_;
    int failovers_ = 0;          // faults after which the bus had made another path primary
    std::string failoverText_;   // which, for the summary
    uint32_t faultsInjected_ = 0;
    uint64_t recordsWritten_ = 0, bytesWritten_ = 0, filemarks_ = 0, bytesVerified_ = 0, mismatches_ = 0;
    int moves_ = 0, movesDone_ = 0;
};

bool Scenario::OpenBuses()
{
    tapeBus_ = std::make_unique<Device>(calls_, "VYRTpBsDvcLnk");
    if (!*tapeBus_) {
        Say(Printf("\\\\.\\VYRTpBsDvcLnk: not found (Win32 error %u): the tape bus enumerator is not running",
                   tapeBus_->OpenError()));
        return false;
    }
    if (topology_.changers > 0) {
        changerBus_ = std::make_unique<Device>(calls_, "VYRCgBsDvcLnk");
        if (!*changerBus_) {
            Say(Printf("\\\\.\\VYRCgBsDvcLnk: not found (Win32 error %u): the changer bus enumerator is not running",
                       changerBus_->OpenError()));
            return false;
        }
    }
    fabric_ = std::make_unique<Fabric>(calls_);
    if (!fabric_->device()) {
        Say(Printf("\\\\.\\VyrFabricCtl: not found (Win32 error %u): the testbed's fabric is not running",
                   fabric_->device().OpenError()));
        return false;
    }
    return true;
}

// An empty fabric gets the topology the options ask for, laid out as every harness lays it out; a
// fabric that already holds it (vyrsim builds it at boot) is used as it is.
bool Scenario::BuildTopology()
{
    std::vector<FabDriveEntry> drives;
    std::vector<FabPathEntry> paths;
    uint32_t error = 0;
    if (!fabric_->Topology(&drives, &paths, &error)) {
        Say(Printf("topology: the fabric's topology query failed (Win32 error %u)", error));
        return false;
    }
    const size_t wantedDevices = (size_t)topology_.drives + (size_t)topology_.changers;
    const size_t wantedPaths = (size_t)topology_.drives * (size_t)topology_.pathsPerDrive +
                               (size_t)topology_.changers * (size_t)topology_.pathsPerChanger;
    if (!drives.empty()) {
        size_t tapes = 0;
        for (const FabDriveEntry &d : drives)
            tapes += d.DeviceKind == FAB_DEVICE_TAPE;
        if (drives.size() != wantedDevices || tapes != (size_t)topology_.drives || paths.size() != wantedPaths) {
            Say(Printf("topology: the fabric already holds %zu device(s) (%zu tape drive(s)) and %zu path(s), not the "
                       "topology asked for", drives.size(), tapes, paths.size()));
            return false;
        }
        fprintf(progress_, "vyrwinscen: the fabric already holds the topology\n");
        return true;
    }
    auto addPaths = [&](ULONG device, int count, int target) {
        for (int p = 0; p < count; p++) {
            FabAddPathRequest request = vyr::sim::PlanPath(topology_, device, p, target);
            FabIndexReply reply{};
            if (!fabric_->Control(IOCTL_VYRFAB_ADD_PATH, &request, sizeof request, &reply, sizeof reply, &error))
                return false;
        }
        return true;
    };
    for (int d = 0; d < topology_.drives; d++) {
        FabDriveConfig config = vyr::sim::PlanDrive(topology_, d);
        FabIndexReply reply{};
        if (!fabric_->Control(IOCTL_VYRFAB_ADD_DRIVE, &config, sizeof config, &reply, sizeof reply, &error) ||
            !addPaths(reply.Index, topology_.pathsPerDrive, d)) {
            Say(Printf("topology: adding tape drive %d to the fabric failed (Win32 error %u)", d, error));
            return false;
        }
    }
    for (int c = 0; c < topology_.changers; c++) {
        FabChangerConfig config = vyr::sim::PlanChanger(topology_, c);
        FabIndexReply reply{};
        if (!fabric_->Control(IOCTL_VYRFAB_ADD_CHANGER, &config, sizeof config, &reply, sizeof reply, &error) ||
            !addPaths(reply.Index, topology_.pathsPerChanger, topology_.drives + c)) {
            Say(Printf("topology: adding changer %d to the fabric failed (Win32 error %u)", c, error));
            return false;
        }
    }
    fprintf(progress_, "vyrwinscen: topology built in the fabric\n");
    return true;
}

bool Scenario::QueryAll(std::vector<LogicalDeviceView> *tapes, std::vector<LogicalDeviceView> *changers)
{
    uint32_t error = 0;
    changers->clear();
    if (!QueryPaths(*tapeBus_, IOCTL_TPBUS_QUERY_PATHS, tapes, &error, calls_)) {
        fprintf(progress_, "vyrwinscen: the tape bus's path query failed (Win32 error %u)\n", error);
        return false;
    }
    if (changerBus_ && !QueryPaths(*changerBus_, IOCTL_CGBUS_QUERY_PATHS, changers, &error, calls_)) {
        fprintf(progress_, "vyrwinscen: the changer bus's path query failed (Win32 error %u)\n", error);
        return false;
    }
    return true;
}

// Plug and Play builds the path stacks and the buses group them into logical devices in their own
// time: poll the path queries until every device is there, within a bound.
bool Scenario::WaitForDevices()
{
    const uint32_t pollMs = 100;
    const uint32_t polls = options_.waitSeconds * 1000 / pollMs;
    std::vector<LogicalDeviceView> tapes, changers;
    for (uint32_t i = 0;; i++) {
        bool queried = QueryAll(&tapes, &changers);
        if (queried && Complete(tapes, "Tape", topology_.drives, topology_.pathsPerDrive) &&
            Complete(changers, "Changer", topology_.changers, topology_.pathsPerChanger)) {
            fprintf(progress_, "vyrwinscen: every logical device listed after %u poll(s)\n", i);
            tapesBefore_ = tapes;
            changersBefore_ = changers;
            return true;
        }
        if (i >= polls)
            break;
        calls_.Settle(pollMs);
    }
    Say(Printf("wait: after %u s the buses list %zu tape(s) and %zu changer(s), not %d with %d and %d with %d "
               "available path(s) each and one primary:", options_.waitSeconds, tapes.size(), changers.size(),
               topology_.drives, topology_.pathsPerDrive, topology_.changers, topology_.pathsPerChanger));
    fprintf(out_, "%s", FormatTables(tapes, changers).c_str());
    return false;
}

// The logical devices answer the path query too, with the same reply as their bus's control device.
void Scenario::CheckDeviceQuery(const std::string &name, uint32_t code, const std::vector<LogicalDeviceView> &expected)
{
    Device device(calls_, name);
    if (!device) {
        Fail(Printf("opening \\\\.\\%s failed (Win32 error %u)", name.c_str(), device.OpenError()));
        return;
    }
    std::vector<LogicalDeviceView> listed;
    uint32_t error = 0;
    if (!QueryPaths(device, code, &listed, &error, calls_)) {
        Fail(Printf("the path query on \\\\.\\%s failed (Win32 error %u)", name.c_str(), error));
        return;
    }
    if (tools::FormatLogicalDevices(listed) != tools::FormatLogicalDevices(expected)) {
        Fail("the path query on \\\\." + name + " differs from the bus control device's:\n" +
             tools::FormatLogicalDevices(listed));
        return;
    }
    Say(Printf("path query on \\\\.\\%s: the same %zu logical device(s) as the control device's", name.c_str(),
               listed.size()));
}

// Adds `fault` on the path that is primary for `name` now; returns that path's index in the
// device's listing, -1 when no fault could be added. The device must be open already: an open
// may move the primary path (the buses spread opens over the ports).
int Scenario::FaultPrimary(const std::string &name, FabFaultRequest fault, const std::string &what, UCHAR form,
                           ULONG *fabricPath)
{
    std::vector<LogicalDeviceView> tapes, changers;
    if (!QueryAll(&tapes, &changers)) {
        Fail("the path query before the fault on " + name + " failed");
        return -1;
    }
    const LogicalDeviceView *device = Find(name.rfind("Tape", 0) == 0 ? tapes : changers, name);
    int primary = PrimaryIndex(device);
    ULONG index = 0;
    uint32_t error = 0;
    if (primary < 0 || !fabric_->PathIndex(device->paths[primary], &index, &error)) {
        Fail(name + " has no primary path in the fabric to fault");
        return -1;
    }
    fault.Scope = FAB_SCOPE_PATH;
    fault.Form = form;
    fault.Index = index;
    const std::string address = tools::PathAddress(device->paths[primary]);
    if (!fabric_->Control(IOCTL_VYRFAB_ADD_FAULT, &fault, sizeof fault, nullptr, 0, &error)) {
        Fail(Printf("adding the fault on %s/%d failed (Win32 error %u)", name.c_str(), primary, error));
        return -1;
    }
    faultsInjected_++;
    Say(Printf("fault %s/primary (path %d, %s): %s", name.c_str(), primary, address.c_str(), what.c_str()));
    if (fabricPath)
        *fabricPath = index;
    return primary;
}

// The fault rules of a fabric path go: its link is back.
void Scenario::RestoreLink(const std::string &name, ULONG fabricPath)
{
    FabClearFaultsRequest request{};
    request.Scope = FAB_SCOPE_PATH;
    request.Index = fabricPath;
    uint32_t error = 0;
    if (!fabric_->Control(IOCTL_VYRFAB_CLEAR_FAULTS, &request, sizeof request, nullptr, 0, &error)) {
        Fail(Printf("clearing the faults of %s's failed path failed (Win32 error %u)", name.c_str(), error));
        return;
    }
    Say("fault " + name + ": the failed link is back");
}

// After the request that met the fault: the bus must have made another path primary.
void Scenario::CheckFailover(const std::string &name, int primaryBefore)
{
    if (primaryBefore < 0)
        return;
    std::vector<LogicalDeviceView> tapes, changers;
    if (!QueryAll(&tapes, &changers)) {
        Fail("the path query after the fault on " + name + " failed");
        return;
    }
    const int now = PrimaryIndex(Find(name.rfind("Tape", 0) == 0 ? tapes : changers, name));
    if (now == primaryBefore || now < 0) {
        Say(Printf("failover %s: none, path %d is still primary", name.c_str(), primaryBefore));
        Fail(name + ": the request that met the fault did not move to another path");
        return;
    }
    failovers_++;
    failoverText_ += Printf("%s%s path %d -> path %d", failoverText_.empty() ? "" : ", ", name.c_str(),
                            primaryBefore, now);
    Say(Printf("failover %s: path %d is primary now", name.c_str(), now));
}

// Records to tape `tape` in fixed-block mode, a filemark, then a rewind and the whole tape read
// back. On Tape0 the write of the middle record stops on its primary path after part of the record.
void Scenario::WriteAndVerify(int tape)
{
    const std::string name = "Tape" + std::to_string(tape);
    Device device(calls_, name);
    if (!device) {
        Fail(Printf("opening \\\\.\\%s failed (Win32 error %u)", name.c_str(), device.OpenError()));
        return;
    }
    // A drive that a changer has just loaded tells of the new medium (once per path) before it
    // takes commands: ask, as a backup application does, until it has nothing more to tell.
    int attentions = 0;
    for (; attentions < 16; attentions++) {
        if (device.Control(IOCTL_TAPE_GET_STATUS, nullptr, 0, nullptr, 0))
            break;
        const uint32_t error = calls_.LastError();
        if (error != kErrorMediaChanged && error != kErrorBusReset) {
            Fail(Printf("%s is not ready (Win32 error %u)", name.c_str(), error));
            return;
        }
    }
    if (attentions)
        Say(Printf("%s: ready after %d unit attention(s)", name.c_str(), attentions));
    TAPE_SET_MEDIA_PARAMETERS media{};
    media.BlockSize = options_.blockSize;
    if (!device.Control(IOCTL_TAPE_SET_MEDIA_PARAMS, &media, sizeof media, nullptr, 0)) {
        Fail(Printf("setting %s's block size to %u failed (Win32 error %u)", name.c_str(), options_.blockSize,
                    calls_.LastError()));
        return;
    }
    TAPE_SET_POSITION rewind{};
    rewind.Method = TAPE_REWIND;
    if (!device.Control(IOCTL_TAPE_SET_POSITION, &rewind, sizeof rewind, nullptr, 0)) {
        Fail(Printf("rewinding %s failed (Win32 error %u)", name.c_str(), calls_.LastError()));
        return;
    }

    std::vector<uint8_t> record(options_.recordSize), back(options_.recordSize);
    uint32_t written = 0;
    ULONG deadPath = ~0u; // the fabric path whose link is down
    bool writeFailed = false;
    for (uint32_t i = 0; i < options_.records && !writeFailed; i++) {
        const bool faulted = tape == 0 && i == options_.records / 2;
        int primaryBefore = -1;
        if (faulted) {
            const uint32_t blocks = options_.recordSize / options_.blockSize;
            FabFaultRequest fault{};
            fault.Kind = FAB_FAULT_WRITE_AFTER_BLOCKS;
            fault.BlocksWritten = blocks / 2;
            fault.Status = (NTSTATUS)0xC000009D; // STATUS_DEVICE_NOT_CONNECTED
            primaryBefore = FaultPrimary(name, fault,
                                         Printf("the link fails after %u of record %u's %u blocks reached the tape",
                                                blocks / 2, i, blocks));
            // ... and stays down: every later command through it fails the same way, so the bus
            // cannot carry on over that path (a path that answers again is retried in place).
            FabFaultRequest down{};
            down.Kind = FAB_FAULT_STATUS;
            down.Status = (NTSTATUS)0xC000009D;
            FaultPrimary(name, down, "then every command through it fails, until the link is back",
                         FAB_FORM_UNTIL_CLEARED, &deadPath);
        }
        Pattern((uint32_t)tape, i, &record);
        uint32_t done = 0;
        if (!calls_.Write(device.get(), record.data(), (uint32_t)record.size(), &done) || done != record.size()) {
            Fail(Printf("write of record %u to %s failed (Win32 error %u) after %u of %u bytes", i, name.c_str(),
                        calls_.LastError(), done, (uint32_t)record.size()));
            writeFailed = true;
            break;
        }
        written++;
        recordsWritten_++;
        bytesWritten_ += done;
        if (faulted)
            CheckFailover(name, primaryBefore);
    }
    TAPE_WRITE_MARKS marks{};
    marks.Type = TAPE_FILEMARKS;
    marks.Count = 1;
    const bool marked = !writeFailed && device.Control(IOCTL_TAPE_WRITE_MARKS, &marks, sizeof marks, nullptr, 0);
    if (deadPath != ~0u)
        RestoreLink(name, deadPath);
    if (!writeFailed && !marked)
        Fail(Printf("writing a filemark on %s failed (Win32 error %u)", name.c_str(), calls_.LastError()));
    filemarks_ += marked;
    Say(Printf("write %s: %u records of %u bytes (%llu bytes), %u filemark: %s", name.c_str(), written,
               options_.recordSize, (unsigned long long)written * options_.recordSize, marked ? 1u : 0u,
               !writeFailed && marked ? "done" : "FAILED"));

    if (!device.Control(IOCTL_TAPE_SET_POSITION, &rewind, sizeof rewind, nullptr, 0)) {
        Fail(Printf("rewinding %s failed (Win32 error %u)", name.c_str(), calls_.LastError()));
        return;
    }
    uint32_t same = 0, differ = 0;
    uint64_t verified = 0;
    std::string firstDifference;
    for (uint32_t i = 0; i < written; i++) {
        Pattern((uint32_t)tape, i, &record);
        std::fill(back.begin(), back.end(), 0);
        uint32_t done = 0;
        bool ok = calls_.Read(device.get(), back.data(), (uint32_t)back.size(), &done);
        if (ok && done == record.size() && memcmp(back.data(), record.data(), record.size()) == 0) {
            same++;
            verified += done;
            continue;
        }
        differ++;
        if (firstDifference.empty()) {
            uint64_t stamp = 0;
            for (size_t k = 0; k < 8 && k < done; k++)
                stamp |= (uint64_t)back[k] << (8 * k);
            firstDifference = ok ? Printf("record %u: read %u bytes of record %llu offset %llu", i, done,
                                          (unsigned long long)(stamp >> 20), (unsigned long long)(stamp & 0xFFFFF) * 512)
                                 : Printf("record %u: the read failed (Win32 error %u)", i, calls_.LastError());
        }
        if (!ok && done == 0)
            break; // the data end here: the records after it are missing too
    }
    differ += written - std::min(written, same + differ); // records never read back
    // After the records: the filemark, then the end of the data.
    uint32_t done = 0;
    bool ok = calls_.Read(device.get(), back.data(), (uint32_t)back.size(), &done);
    const uint32_t markError = ok ? 0 : calls_.LastError();
    ok = calls_.Read(device.get(), back.data(), (uint32_t)back.size(), &done);
    const uint32_t endError = ok ? 0 : calls_.LastError();
    const bool endsRight = markError == kErrorFilemarkDetected && endError == kErrorNoDataDetected;

    bytesVerified_ += verified;
    mismatches_ += differ;
    const bool good = differ == 0 && endsRight && written == options_.records && marked;
    Say(Printf("verify %s: %u of %u records read back (%llu bytes), %u differ; %s: %s", name.c_str(), same, written,
               (unsigned long long)verified, differ,
               endsRight ? "then the filemark and the end of the data" : "NOT the filemark and the end of the data",
               good ? "verified" : "FAILED"));
    if (!firstDifference.empty())
        Fail(name + ": " + firstDifference);
    if (!endsRight)
        Fail(Printf("%s: after the records the reads ended with Win32 errors %u and %u, not %u (filemark) and %u "
                    "(no data)", name.c_str(), markError, endError, kErrorFilemarkDetected, kErrorNoDataDetected));
}

// The cartridge in slot `element` of changer `changer` moves into drive element `element`, which
// loads it into the tape drive behind it. With `fault`, the move meets a not-ready condition on
// the changer's primary path: the changer bus sends it again on the other path.
void Scenario::LoadDrive(int changer, int element, bool fault)
{
    const std::string name = "Changer" + std::to_string(changer);
    const Element from{ChangerSlot, (ULONG)element}, to{ChangerDrive, (ULONG)element};
    const std::string route = ElementName(from) + " -> " + ElementName(to);
    moves_++;
    const LogicalDeviceView *device = Find(changersBefore_, name);
    ULONG index = 0;
    uint32_t error = 0;
    if (!device || !fabric_->DeviceIndex(device->serial, &index, &error)) {
        Fail(name + " is not in the fabric's topology");
        return;
    }
    FabDriveRequest request{index};
    FabChangerState before{}, after{};
    if (!fabric_->Control(IOCTL_VYRFAB_QUERY_CHANGER, &request, sizeof request, &before, sizeof before, &error)) {
        Fail(Printf("the fabric's changer query failed (Win32 error %u)", error));
        return;
    }
    const USHORT cartridge = CartridgeAt(before, from);

    Device changerDevice(calls_, name);
    if (!changerDevice) {
        Fail(Printf("opening \\\\.\\%s failed (Win32 error %u)", name.c_str(), changerDevice.OpenError()));
        return;
    }
    int primaryBefore = -1;
    if (fault) {
        FabFaultRequest notReady{};
        notReady.Kind = FAB_FAULT_SENSE;
        notReady.fOpcodeFilter = 1;
        notReady.Opcode = 0xA5; // MOVE MEDIUM
        notReady.SenseKey = 2;
        notReady.Asc = 0x04;
        notReady.Ascq = 0x00;
        primaryBefore = FaultPrimary(name, notReady, "the MOVE MEDIUM meets sense 2/04/00");
    }
    CHANGER_MOVE_MEDIUM move{};
    move.Transport.ElementType = ChangerTransport;
    move.Transport.ElementAddress = 0;
    move.Source.ElementType = from.type;
    move.Source.ElementAddress = from.number;
    move.Destination.ElementType = to.type;
    move.Destination.ElementAddress = to.number;
    move.Flip = FALSE;
    const bool moved = changerDevice.Control(IOCTL_CHANGER_MOVE_MEDIUM, &move, sizeof move, nullptr, 0);
    const uint32_t moveError = moved ? 0 : calls_.LastError();
    if (!fabric_->Control(IOCTL_VYRFAB_QUERY_CHANGER, &request, sizeof request, &after, sizeof after, &error)) {
        Fail(Printf("the fabric's changer query failed (Win32 error %u)", error));
        return;
    }
    const bool arrived = cartridge != 0 && CartridgeAt(after, to) == cartridge && CartridgeAt(after, from) == 0;
    std::string result;
    if (moved && arrived)
        result = Printf("completed: cartridge %u in %s", cartridge, ElementName(to).c_str());
    else if (moved)
        result = "reported success, but the cartridge did not arrive";
    else
        result = Printf("failed (Win32 error %u)", moveError);
    Say("move " + name + " " + route + " " + result);
    if (moved && arrived)
        movesDone_++;
    else
        Fail("the move " + route + " through " + name + " " + result);
    if (fault)
        CheckFailover(name, primaryBefore);
}

void Scenario::Summary()
{
    std::vector<LogicalDeviceView> tapes, changers;
    if (!QueryAll(&tapes, &changers)) {
        Fail("the path query after the scenario failed");
        return;
    }
    Say("Paths after the scenario:");
    fprintf(out_, "%s", FormatTables(tapes, changers).c_str());

    std::vector<FabDriveEntry> drives;
    std::vector<FabPathEntry> paths;
    uint32_t error = 0;
    ULONG fired = 0;
    if (fabric_->Topology(&drives, &paths, &error)) {
        for (const FabDriveEntry &d : drives)
            fired += d.FaultsFired;
        for (const FabPathEntry &p : paths)
            fired += p.FaultsFired;
    }
    // A rule that holds until it is cleared may fire more than once.
    if (fired < faultsInjected_)
        Fail(Printf("%u fault(s) injected, only %lu fired", faultsInjected_, (unsigned long)fired));

    Say("Summary:");
    Say(Printf("  devices                  %d tape(s) with %d path(s) each, %d changer(s) with %d", topology_.drives,
               topology_.pathsPerDrive, topology_.changers, topology_.pathsPerChanger));
    Say(Printf("  bytes written            %llu (%llu records, %llu filemarks)", (unsigned long long)bytesWritten_,
               (unsigned long long)recordsWritten_, (unsigned long long)filemarks_));
    Say(Printf("  bytes verified           %llu", (unsigned long long)bytesVerified_));
    Say(Printf("  mismatches               %llu", (unsigned long long)mismatches_));
    Say(Printf("  faults injected          %u (%lu fired)", faultsInjected_, (unsigned long)fired));
    Say(Printf("  failovers                %d%s%s%s", failovers_, failoverText_.empty() ? "" : " (",
               failoverText_.c_str(), failoverText_.empty() ? "" : ")"));
    Say(Printf("  changer moves            %d of %d completed", movesDone_, moves_));
    const bool passed = failures_.empty() && bytesVerified_ == bytesWritten_ && mismatches_ == 0;
    Say(Printf("  result                   %s", passed ? "VERIFIED" : "FAILED"));
}

int Scenario::Run()
{
    Say(Printf("vyrwinscen: %d tape drive(s) with %d path(s) each, %d changer(s) with %d; %u records of %u bytes in "
               "blocks of %u on every tape",
               topology_.drives, topology_.pathsPerDrive, topology_.changers, topology_.pathsPerChanger,
               options_.records, options_.recordSize, options_.blockSize));
    if (!OpenBuses() || !BuildTopology() || !WaitForDevices())
        return 2;
    Say("Paths before the scenario:");
    fprintf(out_, "%s", FormatTables(tapesBefore_, changersBefore_).c_str());
    if (topology_.drives > 0)
        CheckDeviceQuery("Tape0", IOCTL_TPBUS_QUERY_PATHS, tapesBefore_);
    if (topology_.changers > 0)
        CheckDeviceQuery("Changer0", IOCTL_CGBUS_QUERY_PATHS, changersBefore_);
    // A library's drives start empty: each gets the cartridge of the slot with its element's number.
    if (topology_.linkedDrivesEmpty)
        for (int c = 0; c < topology_.changers; c++)
            for (int e = 0; e < topology_.changerDrives; e++)
                if (vyr::sim::PlanLinkedDrive(topology_, c, e) >= 0 && e < topology_.changerFullSlots)
                    LoadDrive(c, e, c == 0 && e == 0);
    for (int t = 0; t < topology_.drives; t++)
        WriteAndVerify(t);
    Summary();
    fflush(out_);
    return failures_.empty() ? 0 : 1;
}

} // namespace

const char *OptionsUsage()
{
    return "  --drives N        tape drives (default 2)\n"
           "  --changers N      medium changers (default 1); their drive elements are the tape drives,\n"
           "                    which then start without a cartridge (as vyrsim --changers builds them)\n"
           "  --paths N         paths to every drive and changer (default 2)\n"
           "  --ports N         host adapter ports the paths are spread over (default 2)\n"
           "  --records N       records written to every tape (default 24)\n"
           "  --wait SECONDS    how long to wait for the logical devices (default 60)\n";
}

bool ParseOptions(int argc, char **argv, int first, Options *options, std::string *error)
{
    vyr::sim::Topology &topology = options->topology;
    topology.drives = 2;
    topology.changers = 1;
    for (int i = first; i < argc; i++) {
        std::string arg = argv[i];
        if (i + 1 >= argc) {
            *error = "unknown option or missing value: '" + arg + "'";
            return false;
        }
        std::string value = argv[++i];
        char *end = nullptr;
        unsigned long v = strtoul(value.c_str(), &end, 10);
        struct {
            const char *name;
            unsigned long low, high;
        } const kNumbers[] = {{"--drives", 0, 16}, {"--changers", 0, 4},   {"--paths", 1, 8},
                              {"--ports", 1, 8},   {"--records", 2, 4096}, {"--wait", 1, 3600}};
        bool known = false;
        for (const auto &n : kNumbers) {
            if (arg != n.name)
                continue;
            known = true;
            if (value.empty() || *end || v < n.low || v > n.high) {
                *error = Printf("%s wants a number from %lu to %lu, got '%s'", n.name, n.low, n.high, value.c_str());
                return false;
            }
        }
        if (!known) {
            *error = "unknown option '" + arg + "'";
            return false;
        }
        if (arg == "--drives")
            topology.drives = (int)v;
        else if (arg == "--changers")
            topology.changers = (int)v;
        else if (arg == "--paths")
            topology.pathsPerDrive = topology.pathsPerChanger = (int)v;
        else if (arg == "--ports")
            topology.ports = (int)v;
        else if (arg == "--records")
            options->records = (uint32_t)v;
        else
            options->waitSeconds = (uint32_t)v;
    }
    topology.linkedDrivesEmpty = topology.changers > 0;
    return true;
}

int Run(Win32Calls &calls, const Options &options, FILE *out, FILE *progress)
{
    Scenario scenario(calls, options, out, progress);
    return scenario.Run();
}

} // namespace vyr::winscen
