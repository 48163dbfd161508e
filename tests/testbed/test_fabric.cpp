// The testbed's SCSI fabric as the system and the harness see it: a machine with vyrfab on its
// root device and fab_probe (bound through the critical device database) on each path PDO; the
// harness builds the world through \\.\VyrFabricCtl and looks through the probes.
#include "hk/host.h"
#include "kernel_fixture.h"
#include "machine/machine.h"
#include "vyr/fabricctl.h"

#include "drivers/fab_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using vyr::sim::Machine;

const std::string kEnum = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
const std::string kCdd = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\CriticalDeviceDatabase\\";
constexpr const char *kTapeClassGuid = "{6D807884-7D21-11CF-801C-08002BE10318}";

constexpr UCHAR OP_TUR = 0x00, OP_REWIND = 0x01, OP_READ6 = 0x08, OP_WRITE6 = 0x0A, OP_INQUIRY = 0x12;
constexpr UCHAR GOOD = 0x00, CHECK = 0x02, CONFLICT = 0x18;

FabDriveConfig Drive(const char *serial, const char *product, const char *revision, ULONG blockSize, ULONG64 wwnn)
{
    FabDriveConfig c{};
    strncpy(c.szSerialNumber, serial, sizeof c.szSerialNumber - 1);
    strncpy(c.szProduct, product, sizeof c.szProduct - 1);
    strncpy(c.szRevision, revision, sizeof c.szRevision - 1);
    c.fLoaded = 1;
    c.BlockSize = blockSize;
    c.Wwnn = wwnn;
    c.CapacityBytes = 16u << 20;
    return c;
}
const FabDriveConfig kDriveA = Drive("VYRA000101", "VTD 9000", "2.1", 0, 0x500FAB00000000A1ull);
const FabDriveConfig kDriveB = Drive("VYRB000202", "VLT-X", "", 512, 0x500FAB00000000B2ull);

struct PathPlan {
    ULONG drive;
    UCHAR port, pathId, target, lun;
};
// Two drives, each reached through ports 1 and 2.
const PathPlan kTwoByTwo[] = {{0, 1, 0, 1, 0}, {0, 2, 0, 1, 0}, {1, 1, 0, 2, 0}, {1, 2, 0, 2, 0}};

struct Command {
    std::vector<UCHAR> cdb;
    UCHAR direction = FAB_DATA_NONE;
    std::vector<UCHAR> out; // FAB_DATA_OUT
    ULONG inLength = 0;     // FAB_DATA_IN
};

Command Tur() { return {{OP_TUR, 0, 0, 0, 0, 0}}; }
Command Rewind() { return {{OP_REWIND, 0, 0, 0, 0, 0}}; }
Command Inquiry(UCHAR evpdPage = 0, bool evpd = false)
{
    return {{OP_INQUIRY, (UCHAR)(evpd ? 1 : 0), evpdPage, 0, 96, 0}, FAB_DATA_IN, {}, 96};
}
std::vector<UCHAR> Pattern(size_t bytes, UCHAR seed)
{
    std::vector<UCHAR> v(bytes);
    for (size_t i = 0; i < bytes; i++)
        v[i] = (UCHAR)(seed + i * 7 + i / 251);
    return v;
}
// WRITE(6): fixed mode (blockSize > 0) names `count` blocks, variable mode one block of `count` bytes.
Command Write(ULONG blockSize, ULONG count, UCHAR seed)
{
    ULONG bytes = blockSize ? blockSize * count : count;
    return {{OP_WRITE6, (UCHAR)(blockSize ? 1 : 0), (UCHAR)(count >> 16), (UCHAR)(count >> 8), (UCHAR)count, 0},
            FAB_DATA_OUT, Pattern(bytes, seed), 0};
}
Command ReadFixed(ULONG blockSize, ULONG blocks)
{
    return {{OP_READ6, 1, (UCHAR)(blocks >> 16), (UCHAR)(blocks >> 8), (UCHAR)blocks, 0}, FAB_DATA_IN, {}, blockSize * blocks};
}

struct Scsi {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    UCHAR scsiStatus = 0xFF;
    ULONG transferred = 0;
    std::vector<UCHAR> sense;
    std::vector<UCHAR> data;
    UCHAR Byte2() const { return sense.size() > 2 ? sense[2] : 0; }
    UCHAR Asc() const { return sense.size() > 13 ? sense[12] : 0; }
    UCHAR Ascq() const { return sense.size() > 13 ? sense[13] : 0; }
    bool InfoValid() const { return !sense.empty() && (sense[0] & 0x80); }
    LONG Info() const
    {
        return sense.size() > 6 ? (LONG)((ULONG)sense[3] << 24 | (ULONG)sense[4] << 16 | (ULONG)sense[5] << 8 | sense[6]) : 0;
    }
};

std::string Describe(const Scsi &r)
{
    char text[96];
    snprintf(text, sizeof text, "status %08X scsi %02X sense %02X/%02X/%02X transferred %u", (unsigned)r.status,
             r.scsiStatus, r.Byte2(), r.Asc(), r.Ascq(), r.transferred);
    return text;
}

struct Topology {
    std::vector<FabDriveEntry> drives;
    std::vector<FabPathEntry> paths;
};

FabFaultRequest Rule(UCHAR scope, ULONG index, UCHAR kind, UCHAR form, ULONG every = 0, int opcode = -1)
{
    FabFaultRequest f{};
    f.Scope = scope;
    f.Index = index;
    f.Kind = kind;
    f.Form = form;
    f.EveryNth = every;
    if (opcode >= 0) {
        f.fOpcodeFilter = 1;
        f.Opcode = (UCHAR)opcode;
    }
    return f;
}
FabFaultRequest SenseRule(UCHAR scope, ULONG index, UCHAR form, UCHAR key, UCHAR asc, UCHAR ascq, ULONG every = 0,
                          int opcode = -1, UCHAR flags = 0)
{
    FabFaultRequest f = Rule(scope, index, FAB_FAULT_SENSE, form, every, opcode);
    f.SenseKey = key;
    f.Asc = asc;
    f.Ascq = ascq;
    f.SenseFlags = flags;
    return f;
}
FabFaultRequest StatusRule(UCHAR scope, ULONG index, UCHAR form, NTSTATUS status, ULONG every = 0, int opcode = -1)
{
    FabFaultRequest f = Rule(scope, index, FAB_FAULT_STATUS, form, every, opcode);
    f.Status = status;
    return f;
}

class FabricTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        hk::ClearDebugOutput();
        machine_ = std::make_unique<Machine>();
        for (const char *service : {"vyrfab", "fab_probe"}) {
            machine_->InstallDriverImage(service);
            machine_->InstallService(service);
        }
        hk::CreateRootDevice(VYRFAB_HARDWARE_ID, VYRFAB_SERVICE, vyr::sim::kSystemClassGuid);
        // One entry binds every VYR tape drive, whatever its product: its hardware ids all pass
        // through SCSI\SequentialVYR_____.
        std::string entry = kCdd + "SCSI#SequentialVYR_____";
        hk::RegCreateKey(entry);
        hk::RegSetString(entry, "Service", "fab_probe");
        hk::RegSetString(entry, "ClassGUID", kTapeClassGuid);
        machine_->Boot();
        harness_ = hk::Process::Create("harness");
        control_ = harness_->CreateFile(VYRFAB_CONTROL_WIN32_NAME);
        ASSERT_NE(control_, hk::INVALID_HANDLE) << std::hex << harness_->LastStatus();
    }

    void TearDown() override
    {
        // Handles go before the machine: a handle on a driver that has unloaded cannot be closed.
        harness_.reset();
        machine_.reset();
    }

    NTSTATUS Control(ULONG code, const void *in, ULONG inLength, void *out = nullptr, ULONG outLength = 0,
                     ULONG *returned = nullptr)
    {
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = harness_->NtDeviceIoControlFile(control_, code, in, inLength, out, outLength, &iosb);
        if (returned)
            *returned = (ULONG)iosb.Information;
        return status;
    }
    template <class T>
    NTSTATUS Send(ULONG code, const T &in)
    {
        return Control(code, &in, sizeof in);
    }

    ULONG AddDrive(const FabDriveConfig &config)
    {
        FabIndexReply reply{~0u};
        EXPECT_EQ(Control(IOCTL_VYRFAB_ADD_DRIVE, &config, sizeof config, &reply, sizeof reply), STATUS_SUCCESS);
        return reply.Index;
    }
    ULONG AddPath(const PathPlan &p)
    {
        FabAddPathRequest request{p.drive, p.port, p.pathId, p.target, p.lun};
        FabIndexReply reply{~0u};
        EXPECT_EQ(Control(IOCTL_VYRFAB_ADD_PATH, &request, sizeof request, &reply, sizeof reply), STATUS_SUCCESS);
        return reply.Index;
    }
    void BuildTwoByTwo()
    {
        EXPECT_EQ(AddDrive(kDriveA), 0u);
        EXPECT_EQ(AddDrive(kDriveB), 1u);
        for (ULONG i = 0; i < 4; i++)
            EXPECT_EQ(AddPath(kTwoByTwo[i]), i);
        hk::WaitPnpIdle();
    }
    NTSTATUS Pull(ULONG path) { return Send(IOCTL_VYRFAB_PULL_PATH, FabPathRequest{path}); }
    NTSTATUS Restore(ULONG path) { return Send(IOCTL_VYRFAB_RESTORE_PATH, FabPathRequest{path}); }
    NTSTATUS ClearFaults(UCHAR scope, ULONG index)
    {
        FabClearFaultsRequest request{};
        request.Scope = scope;
        request.Index = index;
        return Send(IOCTL_VYRFAB_CLEAR_FAULTS, request);
    }
    NTSTATUS DriveControl(ULONG drive, ULONG operation, ULONG value)
    {
        return Send(IOCTL_VYRFAB_DRIVE_CONTROL, FabDriveControlRequest{drive, operation, value});
    }
    FabDriveState DriveState(ULONG drive)
    {
        FabDriveRequest request{drive};
        FabDriveState state{};
        EXPECT_EQ(Control(IOCTL_VYRFAB_QUERY_DRIVE, &request, sizeof request, &state, sizeof state), STATUS_SUCCESS);
        return state;
    }
    std::vector<UCHAR> RawTopology()
    {
        std::vector<UCHAR> buffer(64 * 1024);
        ULONG returned = 0;
        EXPECT_EQ(Control(IOCTL_VYRFAB_QUERY_TOPOLOGY, nullptr, 0, buffer.data(), (ULONG)buffer.size(), &returned),
                  STATUS_SUCCESS);
        buffer.resize(returned);
        return buffer;
    }
    Topology QueryTopology()
    {
        std::vector<UCHAR> raw = RawTopology();
        Topology t;
        if (raw.size() < sizeof(FabTopologyHeader))
            return t;
        FabTopologyHeader header;
        memcpy(&header, raw.data(), sizeof header);
        EXPECT_EQ(header.BytesNeeded, raw.size());
        const UCHAR *p = raw.data() + sizeof header;
        t.drives.resize(header.DriveCount);
        memcpy(t.drives.data(), p, header.DriveCount * sizeof(FabDriveEntry));
        t.paths.resize(header.PathCount);
        memcpy(t.paths.data(), p + header.DriveCount * sizeof(FabDriveEntry), header.PathCount * sizeof(FabPathEntry));
        return t;
    }

    // The device tree's nodes of the fabric's children.
    hk::DevNode *BusNode()
    {
        for (const hk::DevNodeInfo &n : hk::DeviceTree())
            if (std::find(n.hardwareIds.begin(), n.hardwareIds.end(), VYRFAB_HARDWARE_ID) != n.hardwareIds.end())
                return n.node;
        return nullptr;
    }
    std::vector<hk::DevNodeInfo> PathNodes()
    {
        std::vector<hk::DevNodeInfo> out;
        hk::DevNode *bus = BusNode();
        for (const hk::DevNodeInfo &n : hk::DeviceTree())
            if (bus && n.parent == bus)
                out.push_back(n);
        return out;
    }
    std::vector<hk::DevNodeInfo> NodesNamed(const std::string &instanceId)
    {
        std::vector<hk::DevNodeInfo> out;
        for (const hk::DevNodeInfo &n : PathNodes())
            if (n.instanceId == instanceId)
                out.push_back(n);
        return out;
    }

    // The probe on a path, found by asking each probe where it sits.
    struct Probe {
        HANDLE handle;
        int number;
    };
    Probe ProbeOn(ULONG path)
    {
        auto known = probes_.find(path);
        if (known != probes_.end())
            return known->second;
        Topology t = QueryTopology();
        if (path >= t.paths.size())
            return {hk::INVALID_HANDLE, -1};
        const FabPathEntry &want = t.paths[path];
        for (int n = 0; n < 64; n++) {
            bool taken = std::any_of(probes_.begin(), probes_.end(), [&](auto &p) { return p.second.number == n; });
            if (taken)
                continue;
            HANDLE h = harness_->CreateFile("\\\\.\\FabProbe" + std::to_string(n));
            if (h == hk::INVALID_HANDLE)
                continue;
            FabProbePathInfo info = PathInfo(h);
            if (NT_SUCCESS(info.Status) && info.Info.PortNumber == want.PortNumber && info.Info.PathId == want.PathId &&
                info.Info.TargetId == want.TargetId && info.Info.Lun == want.Lun) {
                probes_[path] = {h, n};
                return probes_[path];
            }
            harness_->CloseHandle(h);
        }
        return {hk::INVALID_HANDLE, -1};
    }
    void CloseProbes()
    {
        for (auto &p : probes_)
            harness_->CloseHandle(p.second.handle);
        probes_.clear();
    }
    FabProbePathInfo PathInfo(HANDLE probe)
    {
        FabProbePathInfo info{};
        ULONG returned = 0;
        EXPECT_TRUE(harness_->DeviceIoControl(probe, IOCTL_FABPROBE_PATH_INFO, nullptr, 0, &info, sizeof info, &returned));
        return info;
    }
    Scsi Run(HANDLE probe, const Command &c, UCHAR mode = FAB_PROBE_NORMAL, int cdbLength = -1)
    {
        FabProbeCommand command{};
        memcpy(command.Cdb, c.cdb.data(), std::min<size_t>(c.cdb.size(), sizeof command.Cdb));
        command.CdbLength = (UCHAR)(cdbLength >= 0 ? cdbLength : (int)c.cdb.size());
        command.Direction = c.direction;
        command.Mode = mode;
        command.DataLength = c.direction == FAB_DATA_OUT ? (ULONG)c.out.size() : c.inLength;
        std::vector<UCHAR> in((UCHAR *)&command, (UCHAR *)&command + sizeof command);
        in.insert(in.end(), c.out.begin(), c.out.end());
        std::vector<UCHAR> out(sizeof(FabProbeResult) + c.inLength);
        Scsi r;
        ULONG returned = 0;
        if (!harness_->DeviceIoControl(probe, IOCTL_FABPROBE_EXECUTE, in.data(), (ULONG)in.size(), out.data(),
                                       (ULONG)out.size(), &returned)) {
            ADD_FAILURE() << "the probe refused the command: " << std::hex << harness_->LastStatus();
            return r;
        }
        FabProbeResult result;
        memcpy(&result, out.data(), sizeof result);
        r.status = result.Status;
        r.scsiStatus = result.ScsiStatus;
        r.transferred = result.DataTransferred;
        r.sense.assign(result.Sense, result.Sense + result.SenseLength);
        r.data.assign(out.begin() + sizeof result, out.end());
        return r;
    }
    Scsi RunOn(ULONG path, const Command &c) { return Run(ProbeOn(path).handle, c); }
    // A nexus first hears of the power-on (and of whatever else happened since its last command).
    void TakeUnitAttentions(ULONG path)
    {
        for (int i = 0; i < 4; i++)
            if (RunOn(path, Tur()).scsiStatus == GOOD)
                return;
        ADD_FAILURE() << "path " << path << " never became ready";
    }

    std::unique_ptr<Machine> machine_;
    std::shared_ptr<hk::Process> harness_;
    HANDLE control_ = hk::INVALID_HANDLE;
    std::map<ULONG, Probe> probes_;
};

// ---------------------------------------------------------------------------------------------
// Enumeration and identity
// ---------------------------------------------------------------------------------------------

TEST_F(FabricTest, FourPathsEnumerateWithTheirIdsAndStacks)
{
    BuildTwoByTwo();
    const std::vector<std::string> idsA = {"SCSI\\SequentialVYR_____VTD_9000________2.1_",
                                           "SCSI\\SequentialVYR_____VTD_9000________", "SCSI\\SequentialVYR_____",
                                           "SCSI\\VYR_____VTD_9000________", "GenSequential"};
    const std::vector<std::string> idsB = {"SCSI\\SequentialVYR_____VLT-X_______________",
                                           "SCSI\\SequentialVYR_____VLT-X___________", "SCSI\\SequentialVYR_____",
                                           "SCSI\\VYR_____VLT-X___________", "GenSequential"};
    const struct {
        std::string instanceId;
        const std::vector<std::string> &hardwareIds;
    } expected[] = {
        {"SCSI\\Sequential&Ven_VYR&Prod_VTD_9000\\1&0&1&0", idsA},
        {"SCSI\\Sequential&Ven_VYR&Prod_VTD_9000\\2&0&1&0", idsA},
        {"SCSI\\Sequential&Ven_VYR&Prod_VLT-X\\1&0&2&0", idsB},
        {"SCSI\\Sequential&Ven_VYR&Prod_VLT-X\\2&0&2&0", idsB},
    };
    EXPECT_EQ(PathNodes().size(), 4u);
    for (const auto &e : expected) {
        SCOPED_TRACE(e.instanceId);
        std::vector<hk::DevNodeInfo> nodes = NodesNamed(e.instanceId);
        ASSERT_EQ(nodes.size(), 1u);
        EXPECT_EQ(nodes[0].state, hk::DevNodeState::Started);
        EXPECT_EQ(nodes[0].stack, (std::vector<std::string>{"vyrfab", "fab_probe"}));
        EXPECT_EQ(nodes[0].hardwareIds, e.hardwareIds);
        std::vector<std::string> compatible;
        EXPECT_TRUE(hk::RegGetMultiString(kEnum + e.instanceId, "CompatibleIDs", &compatible));
        EXPECT_EQ(compatible, (std::vector<std::string>{"SCSI\\Sequential", "SCSI\\RAW"}));
    }
}

TEST_F(FabricTest, EachPathReachesItsOwnDrive)
{
    BuildTwoByTwo();
    const FabDriveConfig *drives[] = {&kDriveA, &kDriveB};
    const char *wwpn[] = {"", "5FAB000000000001", "5FAB000000000002"};
    for (ULONG i = 0; i < 4; i++) {
        SCOPED_TRACE("path " + std::to_string(i));
        const PathPlan &plan = kTwoByTwo[i];
        Probe probe = ProbeOn(i);
        ASSERT_NE(probe.handle, hk::INVALID_HANDLE);
        FabProbePathInfo info = PathInfo(probe.handle);
        EXPECT_EQ(info.Status, STATUS_SUCCESS);
        EXPECT_EQ(info.Info.DriveIndex, plan.drive);
        EXPECT_EQ(info.Info.Nexus, FabPathNexus(plan.port, plan.pathId, plan.target));
        EXPECT_STREQ(info.Info.szInitiatorWwpn, wwpn[plan.port]);

        Scsi standard = Run(probe.handle, Inquiry());
        ASSERT_EQ(standard.scsiStatus, GOOD) << Describe(standard);
        std::string product(16, ' ');
        memcpy(product.data(), drives[plan.drive]->szProduct, strlen(drives[plan.drive]->szProduct));
        EXPECT_EQ(std::string((char *)&standard.data[8], 8), "VYR     ");
        EXPECT_EQ(std::string((char *)&standard.data[16], 16), product);

        Scsi serial = Run(probe.handle, Inquiry(0x80, true));
        ASSERT_EQ(serial.scsiStatus, GOOD) << Describe(serial);
        EXPECT_EQ(std::string((char *)&serial.data[4], serial.data[3]), drives[plan.drive]->szSerialNumber);
    }
}

TEST_F(FabricTest, PdoAnswersPnpQueriesAndPower)
{
    BuildTwoByTwo();
    for (ULONG i = 0; i < 4; i++) {
        SCOPED_TRACE("path " + std::to_string(i));
        FabProbePnpAnswers answers{};
        ULONG returned = 0;
        ASSERT_TRUE(harness_->DeviceIoControl(ProbeOn(i).handle, IOCTL_FABPROBE_PNP_QUERIES, nullptr, 0, &answers,
                                              sizeof answers, &returned));
        EXPECT_EQ(answers.CapabilitiesStatus, STATUS_SUCCESS);
        EXPECT_EQ(answers.Address, (ULONG)kTwoByTwo[i].pathId << 16 | (ULONG)kTwoByTwo[i].target << 8 | kTwoByTwo[i].lun);
        EXPECT_EQ(answers.UINumber, i);
        EXPECT_EQ(answers.DeviceStateWorking, (ULONG)PowerDeviceD0);
        EXPECT_EQ(answers.DeviceStateShutdown, (ULONG)PowerDeviceD3);
        EXPECT_EQ(answers.TargetStatus, STATUS_SUCCESS);
        EXPECT_EQ(answers.TargetCount, 1u);
        EXPECT_EQ(answers.TargetIsPdo, 1u);
    }
    // A power request goes down the stack; the probe and the PDO each start the next one.
    uint64_t started = hk::PoStartNextPowerIrpCount();
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(hk::SendPowerRequest(PathNodes()[0].node, IRP_MN_SET_POWER, DevicePowerState, d3), STATUS_SUCCESS);
    EXPECT_EQ(hk::PoStartNextPowerIrpCount() - started, 2u);
}

// ---------------------------------------------------------------------------------------------
// Pulled cables
// ---------------------------------------------------------------------------------------------

std::vector<std::string> DebugLinesOf(int probe)
{
    std::vector<std::string> out;
    std::string prefix = "fab_probe" + std::to_string(probe) + ": ";
    for (const std::string &line : hk::DebugOutput())
        if (line.rfind(prefix, 0) == 0)
            out.push_back(line.substr(prefix.size()));
    return out;
}

TEST_F(FabricTest, PulledPathIsSurpriseRemovedAndComesBackAsNewNode)
{
    AddDrive(kDriveA);
    ULONG pulled = AddPath({0, 1, 0, 1, 0});
    ULONG other = AddPath({0, 2, 0, 1, 0});
    hk::WaitPnpIdle();
    const std::string instance = "SCSI\\Sequential&Ven_VYR&Prod_VTD_9000\\1&0&1&0";
    int oldProbe = ProbeOn(pulled).number;
    ASSERT_GE(oldProbe, 0);
    TakeUnitAttentions(pulled);
    CloseProbes();

    ASSERT_EQ(Pull(pulled), STATUS_SUCCESS);
    EXPECT_EQ(Pull(pulled), STATUS_SUCCESS); // pulling a pulled path changes nothing
    hk::WaitPnpIdle();
    EXPECT_TRUE(NodesNamed(instance).empty());
    EXPECT_EQ(PathNodes().size(), 1u);
    EXPECT_EQ(DebugLinesOf(oldProbe), (std::vector<std::string>{"ADD", "START", "SURPRISE_REMOVAL", "REMOVE"}));
    Topology t = QueryTopology();
    EXPECT_EQ(t.paths[pulled].fPulled, 1);
    EXPECT_EQ(t.paths[pulled].fHasPdo, 0);
    EXPECT_EQ(t.paths[other].fPulled, 0);
    EXPECT_EQ(RunOn(other, Inquiry()).scsiStatus, GOOD);

    ASSERT_EQ(Restore(pulled), STATUS_SUCCESS);
    EXPECT_EQ(Restore(pulled), STATUS_SUCCESS);
    hk::WaitPnpIdle();
    std::vector<hk::DevNodeInfo> nodes = NodesNamed(instance);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].state, hk::DevNodeState::Started);
    EXPECT_EQ(nodes[0].stack, (std::vector<std::string>{"vyrfab", "fab_probe"}));
    Probe fresh = ProbeOn(pulled);
    ASSERT_NE(fresh.handle, hk::INVALID_HANDLE);
    EXPECT_NE(fresh.number, oldProbe);
    // The drive saw the nexus go: its first command afterwards hears of it.
    Scsi first = RunOn(pulled, Tur());
    EXPECT_EQ(first.scsiStatus, CHECK);
    EXPECT_EQ(first.Byte2() & 0x0F, 0x06);
    EXPECT_EQ(first.Asc(), 0x29);
    EXPECT_EQ(first.Ascq(), 0x07);
    EXPECT_EQ(RunOn(pulled, Tur()).scsiStatus, GOOD);
}

TEST_F(FabricTest, PulledPathWithOpenHandleIsRemovedOnlyAfterTheHandleCloses)
{
    AddDrive(kDriveA);
    ULONG path = AddPath({0, 1, 0, 1, 0});
    // A second path keeps fab_probe loaded while the old stack goes: the host kernel checks an
    // image for leaks when its last device is deleted, which can be before the closing handle has
    // let go of that device.
    AddPath({0, 2, 0, 1, 0});
    hk::WaitPnpIdle();
    const std::string instance = "SCSI\\Sequential&Ven_VYR&Prod_VTD_9000\\1&0&1&0";
    Probe old = ProbeOn(path);
    ASSERT_NE(old.handle, hk::INVALID_HANDLE);

    ASSERT_EQ(Pull(path), STATUS_SUCCESS);
    hk::WaitPnpIdle();
    std::vector<hk::DevNodeInfo> nodes = NodesNamed(instance);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].state, hk::DevNodeState::SurpriseRemoved);
    EXPECT_EQ(DebugLinesOf(old.number), (std::vector<std::string>{"ADD", "START", "SURPRISE_REMOVAL"}));
    EXPECT_EQ(Run(old.handle, Tur()).status, STATUS_DEVICE_NOT_CONNECTED);

    // Back while the old node still waits for its REMOVE: the new PDO is not reported until then.
    ASSERT_EQ(Restore(path), STATUS_SUCCESS);
    hk::WaitPnpIdle();
    nodes = NodesNamed(instance);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].state, hk::DevNodeState::SurpriseRemoved);
    EXPECT_EQ(Run(old.handle, Tur()).status, STATUS_DEVICE_NOT_CONNECTED); // the old PDO stays cut off

    // The last handle closes: the old stack gets its REMOVE, and only then a new one is built.
    hk::ClearDebugOutput();
    CloseProbes();
    hk::WaitPnpIdle();
    std::vector<std::string> lines = hk::DebugOutput();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "fab_probe" + std::to_string(old.number) + ": REMOVE");
    EXPECT_EQ(lines[1].substr(lines[1].find(':')), ": ADD");
    EXPECT_EQ(lines[2].substr(lines[2].find(':')), ": START");
    nodes = NodesNamed(instance);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].state, hk::DevNodeState::Started);
    Probe fresh = ProbeOn(path);
    ASSERT_NE(fresh.handle, hk::INVALID_HANDLE);
    EXPECT_EQ(Run(fresh.handle, Inquiry()).scsiStatus, GOOD);
}

// ---------------------------------------------------------------------------------------------
// Fault rules
// ---------------------------------------------------------------------------------------------

struct FaultStep {
    enum Op { Tur, Rewind, ClearPath0, ClearDrive0, ClearAll } op;
    ULONG path;
    NTSTATUS status;
    UCHAR scsiStatus;
    UCHAR senseByte2, asc, ascq;
};
FaultStep Good(FaultStep::Op op, ULONG path) { return {op, path, STATUS_SUCCESS, GOOD, 0, 0, 0}; }
FaultStep Sense(FaultStep::Op op, ULONG path, UCHAR byte2, UCHAR asc, UCHAR ascq)
{
    return {op, path, STATUS_SUCCESS, CHECK, byte2, asc, ascq};
}
FaultStep Fails(FaultStep::Op op, ULONG path, NTSTATUS status) { return {op, path, status, GOOD, 0, 0, 0}; }
FaultStep Conflict(FaultStep::Op op, ULONG path) { return {op, path, STATUS_SUCCESS, CONFLICT, 0, 0, 0}; }
FaultStep Do(FaultStep::Op op) { return {op, 0, STATUS_SUCCESS, GOOD, 0, 0, 0}; }

struct FaultCase {
    const char *name;
    std::vector<FabFaultRequest> rules;
    std::vector<FaultStep> steps;
    std::array<ULONG, 3> pathFaults;  // FaultsFired of paths 0, 1 (drive 0) and 2 (drive 1)
    std::array<ULONG, 2> driveFaults;
};

void PrintTo(const FaultCase &c, std::ostream *os) { *os << c.name; }

using FS = FaultStep;
const FaultCase kFaultCases[] = {
    {"SenseOneShotOnPath",
     {SenseRule(FAB_SCOPE_PATH, 0, FAB_FORM_ONE_SHOT, 0x03, 0x11, 0x00)},
     {Sense(FS::Tur, 0, 0x03, 0x11, 0x00), Good(FS::Tur, 0), Good(FS::Tur, 1)},
     {1, 0, 0},
     {0, 0}},
    {"SenseWithEndOfMediumFlag",
     {SenseRule(FAB_SCOPE_PATH, 0, FAB_FORM_ONE_SHOT, 0x00, 0x00, 0x02, 0, -1, 0x40)},
     {Sense(FS::Tur, 0, 0x40, 0x00, 0x02), Good(FS::Tur, 0)},
     {1, 0, 0},
     {0, 0}},
    {"SenseUntilClearedOnDriveForOneOpcode",
     {SenseRule(FAB_SCOPE_DRIVE, 0, FAB_FORM_UNTIL_CLEARED, 0x04, 0x44, 0x00, 0, OP_REWIND)},
     {Sense(FS::Rewind, 0, 0x04, 0x44, 0x00), Sense(FS::Rewind, 1, 0x04, 0x44, 0x00), Good(FS::Tur, 0),
      Good(FS::Rewind, 2), Do(FS::ClearDrive0), Good(FS::Rewind, 0)},
     {0, 0, 0},
     {2, 0}},
    {"StatusEveryThirdOnPath",
     {StatusRule(FAB_SCOPE_PATH, 1, FAB_FORM_EVERY_NTH, STATUS_IO_TIMEOUT, 3)},
     {Good(FS::Tur, 1), Good(FS::Tur, 1), Good(FS::Tur, 0), Fails(FS::Tur, 1, STATUS_IO_TIMEOUT), Good(FS::Tur, 1),
      Good(FS::Tur, 1), Fails(FS::Tur, 1, STATUS_IO_TIMEOUT)},
     {0, 2, 0},
     {0, 0}},
    {"StatusOneShotNotConnected",
     {StatusRule(FAB_SCOPE_PATH, 0, FAB_FORM_ONE_SHOT, STATUS_DEVICE_NOT_CONNECTED)},
     {Fails(FS::Tur, 0, STATUS_DEVICE_NOT_CONNECTED), Good(FS::Tur, 0)},
     {1, 0, 0},
     {0, 0}},
    {"StatusUntilClearedOnDrive",
     {StatusRule(FAB_SCOPE_DRIVE, 0, FAB_FORM_UNTIL_CLEARED, STATUS_NO_MEDIA_IN_DEVICE)},
     {Fails(FS::Tur, 0, STATUS_NO_MEDIA_IN_DEVICE), Fails(FS::Tur, 1, STATUS_NO_MEDIA_IN_DEVICE), Good(FS::Tur, 2),
      Do(FS::ClearAll), Good(FS::Tur, 0)},
     {0, 0, 0},
     {2, 0}},
    {"ReservationOneShotOnDrive",
     {Rule(FAB_SCOPE_DRIVE, 0, FAB_FAULT_RESERVATION, FAB_FORM_ONE_SHOT)},
     {Conflict(FS::Rewind, 1), Good(FS::Rewind, 1), Good(FS::Rewind, 0)},
     {0, 0, 0},
     {1, 0}},
    {"ReservationEverySecondRewindOnPath",
     {Rule(FAB_SCOPE_PATH, 0, FAB_FAULT_RESERVATION, FAB_FORM_EVERY_NTH, 2, OP_REWIND)},
     {Good(FS::Rewind, 0), Good(FS::Tur, 0), Conflict(FS::Rewind, 0), Good(FS::Rewind, 1), Good(FS::Rewind, 0),
      Conflict(FS::Rewind, 0)},
     {2, 0, 0},
     {0, 0}},
    {"ReservationUntilClearedOnPath",
     {Rule(FAB_SCOPE_PATH, 1, FAB_FAULT_RESERVATION, FAB_FORM_UNTIL_CLEARED)},
     {Conflict(FS::Rewind, 1), Conflict(FS::Rewind, 1), Good(FS::Rewind, 0), Do(FS::ClearAll), Good(FS::Rewind, 1)},
     {0, 2, 0},
     {0, 0}},
    {"PathRuleTakesTheCommandBeforeDriveRule",
     {SenseRule(FAB_SCOPE_PATH, 0, FAB_FORM_ONE_SHOT, 0x03, 0x11, 0x00),
      StatusRule(FAB_SCOPE_DRIVE, 0, FAB_FORM_UNTIL_CLEARED, STATUS_IO_TIMEOUT)},
     {Sense(FS::Tur, 0, 0x03, 0x11, 0x00), Fails(FS::Tur, 0, STATUS_IO_TIMEOUT), Fails(FS::Tur, 1, STATUS_IO_TIMEOUT),
      Do(FS::ClearDrive0), Good(FS::Tur, 0)},
     {1, 0, 0},
     {2, 0}},
    {"ClearingOnePathLeavesTheOther",
     {StatusRule(FAB_SCOPE_PATH, 0, FAB_FORM_UNTIL_CLEARED, STATUS_IO_TIMEOUT),
      StatusRule(FAB_SCOPE_PATH, 1, FAB_FORM_UNTIL_CLEARED, STATUS_IO_TIMEOUT)},
     {Do(FS::ClearPath0), Good(FS::Tur, 0), Fails(FS::Tur, 1, STATUS_IO_TIMEOUT)},
     {0, 1, 0},
     {0, 0}},
};

class FabricFaultTest : public FabricTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FabricFaultTest, BehavesAsDeclared)
{
    const FaultCase &c = GetParam();
    AddDrive(kDriveA);
    AddDrive(kDriveB);
    AddPath({0, 1, 0, 1, 0});
    AddPath({0, 2, 0, 1, 0});
    AddPath({1, 1, 0, 2, 0});
    hk::WaitPnpIdle();
    for (ULONG path = 0; path < 3; path++)
        TakeUnitAttentions(path);
    for (const FabFaultRequest &rule : c.rules)
        ASSERT_EQ(Send(IOCTL_VYRFAB_ADD_FAULT, rule), STATUS_SUCCESS);

    for (size_t i = 0; i < c.steps.size(); i++) {
        const FaultStep &step = c.steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        switch (step.op) {
        case FaultStep::ClearPath0:
            ASSERT_EQ(ClearFaults(FAB_SCOPE_PATH, 0), STATUS_SUCCESS);
            continue;
        case FaultStep::ClearDrive0:
            ASSERT_EQ(ClearFaults(FAB_SCOPE_DRIVE, 0), STATUS_SUCCESS);
            continue;
        case FaultStep::ClearAll:
            ASSERT_EQ(ClearFaults(FAB_SCOPE_ALL, 0), STATUS_SUCCESS);
            continue;
        default:
            break;
        }
        Scsi r = RunOn(step.path, step.op == FaultStep::Tur ? Tur() : Rewind());
        EXPECT_EQ(r.status, step.status) << Describe(r);
        if (!NT_SUCCESS(step.status))
            continue;
        EXPECT_EQ(r.scsiStatus, step.scsiStatus) << Describe(r);
        if (step.scsiStatus == CHECK) {
            EXPECT_EQ(r.sense.size(), 18u);
            EXPECT_EQ(r.Byte2(), step.senseByte2);
            EXPECT_EQ(r.Asc(), step.asc);
            EXPECT_EQ(r.Ascq(), step.ascq);
            EXPECT_FALSE(r.InfoValid());
        }
    }
    Topology t = QueryTopology();
    for (ULONG path = 0; path < 3; path++)
        EXPECT_EQ(t.paths[path].FaultsFired, c.pathFaults[path]) << "path " << path;
    for (ULONG drive = 0; drive < 2; drive++)
        EXPECT_EQ(t.drives[drive].FaultsFired, c.driveFaults[drive]) << "drive " << drive;
    // A reservation fault leaves no reservation behind.
    EXPECT_EQ(DriveState(0).fScsi2Reserved, 0);
}

INSTANTIATE_TEST_SUITE_P(Rules, FabricFaultTest, ::testing::ValuesIn(kFaultCases),
                         [](const auto &info) { return std::string(info.param.name); });

struct WriteCase {
    const char *name;
    ULONG blockSize; // 0: variable mode, the write is one block of `count` bytes
    ULONG count;     // blocks (fixed) or bytes (variable)
    ULONG k;
    NTSTATUS failWith; // 0: sense 3/0C/00
    LONG residual;
    ULONG blocksOnTape;
};

const WriteCase kWriteCases[] = {
    {"FixedThreeOfEight", 512, 8, 3, 0, 5, 3},
    {"FixedNoneOfEight", 512, 8, 0, 0, 8, 0},
    {"FixedAllWhenKIsLarger", 512, 4, 9, 0, 0, 4},
    {"FixedFiveOfEightThenTimeout", 512, 8, 5, STATUS_IO_TIMEOUT, 0, 5},
    {"VariableNothing", 0, 1000, 0, 0, 1000, 0},
    {"VariableWholeBlockThenTimeout", 0, 1000, 1, STATUS_IO_TIMEOUT, 0, 1},
};

void PrintTo(const WriteCase &c, std::ostream *os) { *os << c.name; }

class FabricWriteFaultTest : public FabricTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(FabricWriteFaultTest, LeavesExactlyKBlocksAndReportsTheResidual)
{
    const WriteCase &c = GetParam();
    FabDriveConfig config = kDriveA;
    config.BlockSize = c.blockSize;
    AddDrive(config);
    AddPath({0, 1, 0, 1, 0});
    hk::WaitPnpIdle();
    TakeUnitAttentions(0);
    FabFaultRequest rule = c.failWith ? StatusRule(FAB_SCOPE_PATH, 0, FAB_FORM_ONE_SHOT, c.failWith)
                                      : SenseRule(FAB_SCOPE_PATH, 0, FAB_FORM_ONE_SHOT, 0x03, 0x0C, 0x00);
    rule.Kind = FAB_FAULT_WRITE_AFTER_BLOCKS;
    rule.BlocksWritten = c.k;
    ASSERT_EQ(Send(IOCTL_VYRFAB_ADD_FAULT, rule), STATUS_SUCCESS);

    // Only WRITE(6) matches the rule: other commands pass and leave it armed.
    EXPECT_EQ(RunOn(0, Tur()).scsiStatus, GOOD);
    Command write = Write(c.blockSize, c.count, 0x11);
    ULONG bytesPerBlock = c.blockSize ? c.blockSize : c.count;
    Scsi r = RunOn(0, write);
    EXPECT_EQ(r.transferred, c.blocksOnTape * bytesPerBlock);
    if (c.failWith) {
        EXPECT_EQ(r.status, c.failWith);
        EXPECT_TRUE(r.sense.empty());
    } else {
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.scsiStatus, CHECK) << Describe(r);
        EXPECT_EQ(r.Byte2(), 0x03);
        EXPECT_EQ(r.Asc(), 0x0C);
        EXPECT_TRUE(r.InfoValid());
        EXPECT_EQ(r.Info(), c.residual);
    }
    FabDriveState state = DriveState(0);
    EXPECT_EQ(state.Blocks, c.blocksOnTape);
    EXPECT_EQ(state.DataBytes, (ULONG64)c.blocksOnTape * bytesPerBlock);

    // The rule is spent; what reached the tape is the start of what was sent.
    Scsi again = RunOn(0, Write(c.blockSize, c.count, 0x55));
    EXPECT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_EQ(again.scsiStatus, GOOD) << Describe(again);
    EXPECT_EQ(DriveState(0).Blocks, c.blocksOnTape + (c.blockSize ? c.count : 1));
    if (c.blockSize && c.blocksOnTape) {
        ASSERT_EQ(RunOn(0, Rewind()).scsiStatus, GOOD);
        Scsi read = RunOn(0, ReadFixed(c.blockSize, c.blocksOnTape));
        ASSERT_EQ(read.scsiStatus, GOOD) << Describe(read);
        EXPECT_TRUE(std::equal(read.data.begin(), read.data.end(), write.out.begin()));
    }
}

INSTANTIATE_TEST_SUITE_P(Writes, FabricWriteFaultTest, ::testing::ValuesIn(kWriteCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Drive controls
// ---------------------------------------------------------------------------------------------

// A random rule is a schedule: the same seed picks the same commands again, another seed others,
// and about one command in N is hit.
TEST_F(FabricTest, RandomRuleIsRepeatableFromItsSeed)
{
    BuildTwoByTwo();
    TakeUnitAttentions(0);
    auto pattern = [&](ULONG seed) {
        FabFaultRequest rule = StatusRule(FAB_SCOPE_PATH, 0, FAB_FORM_RANDOM, STATUS_IO_TIMEOUT, 4);
        rule.Seed = seed;
        EXPECT_EQ(Send(IOCTL_VYRFAB_ADD_FAULT, rule), STATUS_SUCCESS);
        std::string hits;
        for (int i = 0; i < 200; i++)
            hits += RunOn(0, Tur()).status == STATUS_IO_TIMEOUT ? 'x' : '.';
        EXPECT_EQ(ClearFaults(FAB_SCOPE_PATH, 0), STATUS_SUCCESS);
        return hits;
    };
    std::string first = pattern(7), again = pattern(7), other = pattern(8);
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
    size_t hits = std::count(first.begin(), first.end(), 'x');
    EXPECT_GT(hits, 20u) << first;
    EXPECT_LT(hits, 80u) << first;

    // A random rule needs its N; a seed on any other form is refused.
    FabFaultRequest bad = StatusRule(FAB_SCOPE_PATH, 0, FAB_FORM_RANDOM, STATUS_IO_TIMEOUT, 0);
    EXPECT_EQ(Send(IOCTL_VYRFAB_ADD_FAULT, bad), STATUS_INVALID_PARAMETER);
    bad = StatusRule(FAB_SCOPE_PATH, 0, FAB_FORM_ONE_SHOT, STATUS_IO_TIMEOUT);
    bad.Seed = 3;
    EXPECT_EQ(Send(IOCTL_VYRFAB_ADD_FAULT, bad), STATUS_INVALID_PARAMETER);
}

TEST_F(FabricTest, DriveControlsReachTheModel)
{
    AddDrive(kDriveA);
    AddPath({0, 1, 0, 1, 0});
    hk::WaitPnpIdle();
    TakeUnitAttentions(0);
    const struct {
        ULONG operation, value;
        NTSTATUS controlStatus;
        Command command;
        UCHAR scsiStatus, senseByte2, asc, ascq;
        UCHAR cartridge, writeProtected, keyManaged;
    } rows[] = {
        {FAB_DRIVE_UNLOAD, 0, STATUS_SUCCESS, Tur(), CHECK, 0x02, 0x3A, 0x00, FAB_CARTRIDGE_NONE, 0, 0},
        {FAB_DRIVE_UNLOAD, 0, STATUS_NO_MEDIA_IN_DEVICE, Tur(), CHECK, 0x02, 0x3A, 0x00, FAB_CARTRIDGE_NONE, 0, 0},
        {FAB_DRIVE_LOAD, 1, STATUS_SUCCESS, Tur(), CHECK, 0x06, 0x28, 0x00, FAB_CARTRIDGE_LOADED, 0, 0},
        {FAB_DRIVE_LOAD, 0, STATUS_INVALID_DEVICE_STATE, Tur(), GOOD, 0, 0, 0, FAB_CARTRIDGE_LOADED, 0, 0},
        {FAB_DRIVE_WRITE_PROTECT, 1, STATUS_SUCCESS, Write(0, 64, 1), CHECK, 0x07, 0x27, 0x00, FAB_CARTRIDGE_LOADED, 1, 0},
        {FAB_DRIVE_WRITE_PROTECT, 0, STATUS_SUCCESS, Write(0, 64, 1), GOOD, 0, 0, 0, FAB_CARTRIDGE_LOADED, 0, 0},
        {FAB_DRIVE_KEY_MANAGED, 1, STATUS_SUCCESS, Write(0, 64, 1), CHECK, 0x07, 0xEF, 0x01, FAB_CARTRIDGE_LOADED, 0, 1},
        {FAB_DRIVE_KEY_MANAGED, 0, STATUS_SUCCESS, Write(0, 64, 1), GOOD, 0, 0, 0, FAB_CARTRIDGE_LOADED, 0, 0},
        {FAB_DRIVE_RESET, 0, STATUS_SUCCESS, Tur(), CHECK, 0x06, 0x29, 0x00, FAB_CARTRIDGE_LOADED, 0, 0},
    };
    for (size_t i = 0; i < std::size(rows); i++) {
        const auto &row = rows[i];
        SCOPED_TRACE("row " + std::to_string(i));
        EXPECT_EQ(DriveControl(0, row.operation, row.value), row.controlStatus);
        Scsi r = RunOn(0, row.command);
        EXPECT_EQ(r.scsiStatus, row.scsiStatus) << Describe(r);
        if (row.scsiStatus == CHECK) {
            EXPECT_EQ(r.Byte2() & 0x0F, row.senseByte2);
            EXPECT_EQ(r.Asc(), row.asc);
            EXPECT_EQ(r.Ascq(), row.ascq);
        }
        FabDriveState state = DriveState(0);
        EXPECT_EQ(state.Cartridge, row.cartridge);
        EXPECT_EQ(state.fWriteProtected, row.writeProtected);
        EXPECT_EQ(state.fKeyManaged, row.keyManaged);
    }
}

// ---------------------------------------------------------------------------------------------
// Bad requests
// ---------------------------------------------------------------------------------------------

template <class T>
std::vector<UCHAR> Bytes(const T &record)
{
    return std::vector<UCHAR>((const UCHAR *)&record, (const UCHAR *)&record + sizeof record);
}
template <class T, class F>
std::vector<UCHAR> Changed(T record, F change)
{
    change(record);
    return Bytes(record);
}

TEST_F(FabricTest, BadControlRequestsChangeNothing)
{
    AddDrive(kDriveA);
    AddPath({0, 1, 0, 1, 0});
    hk::WaitPnpIdle();
    const FabDriveConfig d = kDriveA;
    const FabFaultRequest f = SenseRule(FAB_SCOPE_PATH, 0, FAB_FORM_ONE_SHOT, 0x03, 0x11, 0x00);
    const FabFaultRequest s = StatusRule(FAB_SCOPE_PATH, 0, FAB_FORM_ONE_SHOT, STATUS_IO_TIMEOUT);
    std::vector<UCHAR> shortDrive = Bytes(d), longDrive = Bytes(d);
    shortDrive.pop_back();
    longDrive.push_back(0);
    const struct {
        const char *name;
        ULONG code;
        std::vector<UCHAR> in;
        ULONG outLength;
        NTSTATUS expected;
    } rows[] = {
        {"AddDriveShortInput", IOCTL_VYRFAB_ADD_DRIVE, shortDrive, 4, STATUS_INFO_LENGTH_MISMATCH},
        {"AddDriveLongInput", IOCTL_VYRFAB_ADD_DRIVE, longDrive, 4, STATUS_INFO_LENGTH_MISMATCH},
        {"AddDriveNoRoomForTheIndex", IOCTL_VYRFAB_ADD_DRIVE, Bytes(d), 3, STATUS_BUFFER_TOO_SMALL},
        {"AddDriveSerialUnterminated", IOCTL_VYRFAB_ADD_DRIVE, Changed(d, [](auto &c) { memset(c.szSerialNumber, 'A', sizeof c.szSerialNumber); }), 4, STATUS_INVALID_PARAMETER},
        {"AddDriveSerialEmpty", IOCTL_VYRFAB_ADD_DRIVE, Changed(d, [](auto &c) { c.szSerialNumber[0] = 0; }), 4, STATUS_INVALID_PARAMETER},
        {"AddDriveSerialControlCharacter", IOCTL_VYRFAB_ADD_DRIVE, Changed(d, [](auto &c) { c.szSerialNumber[2] = '\n'; }), 4, STATUS_INVALID_PARAMETER},
        {"AddDriveProductEmpty", IOCTL_VYRFAB_ADD_DRIVE, Changed(d, [](auto &c) { c.szProduct[0] = 0; }), 4, STATUS_INVALID_PARAMETER},
        {"AddDriveRevisionUnterminated", IOCTL_VYRFAB_ADD_DRIVE, Changed(d, [](auto &c) { memset(c.szRevision, '1', sizeof c.szRevision); }), 4, STATUS_INVALID_PARAMETER},
        {"AddDriveFlagNotBoolean", IOCTL_VYRFAB_ADD_DRIVE, Changed(d, [](auto &c) { c.fLoaded = 2; }), 4, STATUS_INVALID_PARAMETER},
        {"AddDriveReservedSet", IOCTL_VYRFAB_ADD_DRIVE, Changed(d, [](auto &c) { c.Reserved2 = 1; }), 4, STATUS_INVALID_PARAMETER},
        {"AddDriveBlockTooLarge", IOCTL_VYRFAB_ADD_DRIVE, Changed(d, [](auto &c) { c.BlockSize = 0x1000000; }), 4, STATUS_INVALID_PARAMETER},
        {"AddDriveEarlyWarningPastCapacity", IOCTL_VYRFAB_ADD_DRIVE, Changed(d, [](auto &c) { c.EarlyWarningBytes = c.CapacityBytes + 1; }), 4, STATUS_INVALID_PARAMETER},
        {"AddPathUnknownDrive", IOCTL_VYRFAB_ADD_PATH, Bytes(FabAddPathRequest{1, 1, 0, 9, 0}), 4, STATUS_INVALID_PARAMETER},
        {"AddPathAddressTaken", IOCTL_VYRFAB_ADD_PATH, Bytes(FabAddPathRequest{0, 1, 0, 1, 0}), 4, STATUS_INVALID_PARAMETER},
        {"AddPathNoRoomForTheIndex", IOCTL_VYRFAB_ADD_PATH, Bytes(FabAddPathRequest{0, 3, 0, 1, 0}), 0, STATUS_BUFFER_TOO_SMALL},
        {"PullUnknownPath", IOCTL_VYRFAB_PULL_PATH, Bytes(FabPathRequest{1}), 0, STATUS_INVALID_PARAMETER},
        {"PullWithAnOutputBuffer", IOCTL_VYRFAB_PULL_PATH, Bytes(FabPathRequest{0}), 4, STATUS_INVALID_PARAMETER},
        {"PullShortInput", IOCTL_VYRFAB_PULL_PATH, {0, 0}, 0, STATUS_INFO_LENGTH_MISMATCH},
        {"RestoreUnknownPath", IOCTL_VYRFAB_RESTORE_PATH, Bytes(FabPathRequest{~0u}), 0, STATUS_INVALID_PARAMETER},
        {"FaultScopeAll", IOCTL_VYRFAB_ADD_FAULT, Changed(f, [](auto &r) { r.Scope = FAB_SCOPE_ALL; }), 0, STATUS_INVALID_PARAMETER},
        {"FaultUnknownPath", IOCTL_VYRFAB_ADD_FAULT, Changed(f, [](auto &r) { r.Index = 1; }), 0, STATUS_INVALID_PARAMETER},
        {"FaultUnknownDrive", IOCTL_VYRFAB_ADD_FAULT, Changed(f, [](auto &r) { r.Scope = FAB_SCOPE_DRIVE; r.Index = 1; }), 0, STATUS_INVALID_PARAMETER},
        {"FaultUnknownKind", IOCTL_VYRFAB_ADD_FAULT, Changed(f, [](auto &r) { r.Kind = 9; }), 0, STATUS_INVALID_PARAMETER},
        {"FaultUnknownForm", IOCTL_VYRFAB_ADD_FAULT, Changed(f, [](auto &r) { r.Form = 7; }), 0, STATUS_INVALID_PARAMETER},
        {"FaultEveryZeroth", IOCTL_VYRFAB_ADD_FAULT, Changed(f, [](auto &r) { r.Form = FAB_FORM_EVERY_NTH; }), 0, STATUS_INVALID_PARAMETER},
        {"FaultOneShotWithN", IOCTL_VYRFAB_ADD_FAULT, Changed(f, [](auto &r) { r.EveryNth = 3; }), 0, STATUS_INVALID_PARAMETER},
        {"FaultStatusSuccess", IOCTL_VYRFAB_ADD_FAULT, Changed(s, [](auto &r) { r.Status = STATUS_SUCCESS; }), 0, STATUS_INVALID_PARAMETER},
        {"FaultStatusNotAnError", IOCTL_VYRFAB_ADD_FAULT, Changed(s, [](auto &r) { r.Status = STATUS_BUFFER_OVERFLOW; }), 0, STATUS_INVALID_PARAMETER},
        {"FaultStatusWithSense", IOCTL_VYRFAB_ADD_FAULT, Changed(s, [](auto &r) { r.SenseKey = 3; }), 0, STATUS_INVALID_PARAMETER},
        {"FaultSenseWithStatus", IOCTL_VYRFAB_ADD_FAULT, Changed(f, [](auto &r) { r.Status = STATUS_IO_TIMEOUT; }), 0, STATUS_INVALID_PARAMETER},
        {"FaultSenseKeyTooLarge", IOCTL_VYRFAB_ADD_FAULT, Changed(f, [](auto &r) { r.SenseKey = 16; }), 0, STATUS_INVALID_PARAMETER},
        {"FaultSenseUnknownFlag", IOCTL_VYRFAB_ADD_FAULT, Changed(f, [](auto &r) { r.SenseFlags = 0x10; }), 0, STATUS_INVALID_PARAMETER},
        {"FaultWriteRuleOnRead", IOCTL_VYRFAB_ADD_FAULT, Changed(f, [](auto &r) { r.Kind = FAB_FAULT_WRITE_AFTER_BLOCKS; r.fOpcodeFilter = 1; r.Opcode = OP_READ6; }), 0, STATUS_INVALID_PARAMETER},
        {"FaultReservationWithStatus", IOCTL_VYRFAB_ADD_FAULT, Changed(s, [](auto &r) { r.Kind = FAB_FAULT_RESERVATION; }), 0, STATUS_INVALID_PARAMETER},
        {"FaultOpcodeWithoutFilter", IOCTL_VYRFAB_ADD_FAULT, Changed(f, [](auto &r) { r.Opcode = OP_REWIND; }), 0, STATUS_INVALID_PARAMETER},
        {"FaultReservedSet", IOCTL_VYRFAB_ADD_FAULT, Changed(f, [](auto &r) { r.Reserved[1] = 1; }), 0, STATUS_INVALID_PARAMETER},
        {"FaultWithAnOutputBuffer", IOCTL_VYRFAB_ADD_FAULT, Bytes(f), 4, STATUS_INVALID_PARAMETER},
        {"ClearUnknownScope", IOCTL_VYRFAB_CLEAR_FAULTS, Bytes(FabClearFaultsRequest{3, {}, 0}), 0, STATUS_INVALID_PARAMETER},
        {"ClearUnknownPath", IOCTL_VYRFAB_CLEAR_FAULTS, Bytes(FabClearFaultsRequest{FAB_SCOPE_PATH, {}, 1}), 0, STATUS_INVALID_PARAMETER},
        {"ClearAllWithAnIndex", IOCTL_VYRFAB_CLEAR_FAULTS, Bytes(FabClearFaultsRequest{FAB_SCOPE_ALL, {}, 1}), 0, STATUS_INVALID_PARAMETER},
        {"ControlUnknownOperation", IOCTL_VYRFAB_DRIVE_CONTROL, Bytes(FabDriveControlRequest{0, 9, 0}), 0, STATUS_INVALID_PARAMETER},
        {"ControlValueNotBoolean", IOCTL_VYRFAB_DRIVE_CONTROL, Bytes(FabDriveControlRequest{0, FAB_DRIVE_WRITE_PROTECT, 2}), 0, STATUS_INVALID_PARAMETER},
        {"ControlUnloadWithValue", IOCTL_VYRFAB_DRIVE_CONTROL, Bytes(FabDriveControlRequest{0, FAB_DRIVE_UNLOAD, 1}), 0, STATUS_INVALID_PARAMETER},
        {"ControlUnknownDrive", IOCTL_VYRFAB_DRIVE_CONTROL, Bytes(FabDriveControlRequest{1, FAB_DRIVE_UNLOAD, 0}), 0, STATUS_INVALID_PARAMETER},
        {"QueryUnknownDrive", IOCTL_VYRFAB_QUERY_DRIVE, Bytes(FabDriveRequest{1}), sizeof(FabDriveState), STATUS_INVALID_PARAMETER},
        {"QueryDriveNoRoom", IOCTL_VYRFAB_QUERY_DRIVE, Bytes(FabDriveRequest{0}), sizeof(FabDriveState) - 1, STATUS_BUFFER_TOO_SMALL},
        {"TopologyWithInput", IOCTL_VYRFAB_QUERY_TOPOLOGY, {0, 0, 0, 0}, 4096, STATUS_INFO_LENGTH_MISMATCH},
        {"TopologyNoRoomForTheHeader", IOCTL_VYRFAB_QUERY_TOPOLOGY, {}, sizeof(FabTopologyHeader) - 1, STATUS_BUFFER_TOO_SMALL},
        {"UnknownCode", VyrFabCode(0x8FF, 0), {}, 0, STATUS_INVALID_DEVICE_REQUEST},
    };

    std::vector<UCHAR> before = RawTopology();
    FabDriveState stateBefore = DriveState(0);
    std::vector<hk::DevNodeInfo> nodesBefore = PathNodes();
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<UCHAR> out(row.outLength + 16, 0xCC);
        EXPECT_EQ(Control(row.code, row.in.empty() ? nullptr : row.in.data(), (ULONG)row.in.size(),
                          row.outLength ? out.data() : nullptr, row.outLength),
                  row.expected);
        EXPECT_EQ(RawTopology(), before);
    }
    hk::WaitPnpIdle();
    EXPECT_EQ(PathNodes().size(), nodesBefore.size());
    EXPECT_EQ(Bytes(DriveState(0)), Bytes(stateBefore));

    // The control device moves no data.
    char buffer[16];
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(harness_->NtReadFile(control_, buffer, sizeof buffer, &iosb), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(harness_->NtWriteFile(control_, buffer, sizeof buffer, &iosb), STATUS_INVALID_DEVICE_REQUEST);

    // A path holds FAB_MAX_RULES rules; one more is refused and changes nothing.
    for (ULONG i = 0; i < FAB_MAX_RULES; i++)
        ASSERT_EQ(Send(IOCTL_VYRFAB_ADD_FAULT, f), STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_VYRFAB_ADD_FAULT, f), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(QueryTopology().paths[0].RuleCount, FAB_MAX_RULES);

    // A buffer for the header only gets the header, which says how much the whole reply needs.
    FabTopologyHeader header{};
    ULONG returned = 0;
    EXPECT_EQ(Control(IOCTL_VYRFAB_QUERY_TOPOLOGY, nullptr, 0, &header, sizeof header, &returned), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, sizeof header);
    EXPECT_EQ(header.BytesNeeded, sizeof header + sizeof(FabDriveEntry) + sizeof(FabPathEntry));
    EXPECT_EQ(header.DriveCount, 1u);
    EXPECT_EQ(header.PathCount, 1u);
}

TEST_F(FabricTest, BadPathRequestsAreRefusedBeforeTheyReachTheDrive)
{
    AddDrive(kDriveA);
    AddPath({0, 1, 0, 1, 0});
    hk::WaitPnpIdle();
    HANDLE probe = ProbeOn(0).handle;
    Command dataWithoutDirection = Tur();
    dataWithoutDirection.inLength = 16;
    Command badDirection = Tur();
    badDirection.direction = 7;
    const struct {
        const char *name;
        Command command;
        UCHAR mode;
        int cdbLength;
        NTSTATUS expected;
    } rows[] = {
        {"NoRequest", Tur(), FAB_PROBE_NULL_REQUEST, -1, STATUS_INVALID_PARAMETER},
        {"UnknownCode", Tur(), FAB_PROBE_UNKNOWN_CODE, -1, STATUS_INVALID_DEVICE_REQUEST},
        {"EmptyCdb", Tur(), FAB_PROBE_NORMAL, 0, STATUS_INVALID_PARAMETER},
        {"CdbLongerThanItsField", Tur(), FAB_PROBE_NORMAL, 17, STATUS_INVALID_PARAMETER},
        {"UnknownDirection", badDirection, FAB_PROBE_NORMAL, -1, STATUS_INVALID_PARAMETER},
        {"DataWithoutDirection", dataWithoutDirection, FAB_PROBE_NORMAL, -1, STATUS_INVALID_PARAMETER},
    };
    ULONG seen = QueryTopology().paths[0].CommandsSeen;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Run(probe, row.command, row.mode, row.cdbLength).status, row.expected);
    }
    EXPECT_EQ(QueryTopology().paths[0].CommandsSeen, seen);
    EXPECT_EQ(Run(probe, Inquiry()).scsiStatus, GOOD);
}

// ---------------------------------------------------------------------------------------------
// The bus going away
// ---------------------------------------------------------------------------------------------

TEST_F(FabricTest, BusRemovalTakesPathsControlDeviceAndEveryDrive)
{
    BuildTwoByTwo();
    ASSERT_EQ(Send(IOCTL_VYRFAB_ADD_FAULT, SenseRule(FAB_SCOPE_DRIVE, 1, FAB_FORM_UNTIL_CLEARED, 3, 0x11, 0)), STATUS_SUCCESS);
    TakeUnitAttentions(0);
    ASSERT_EQ(RunOn(0, Write(0, 4096, 3)).scsiStatus, GOOD); // the medium holds data
    ASSERT_EQ(Pull(3), STATUS_SUCCESS);
    CloseProbes();
    hk::WaitPnpIdle();
    EXPECT_FALSE(hk::OutstandingPool("vyrfab").empty());
    harness_->CloseHandle(control_);
    control_ = hk::INVALID_HANDLE;

    ASSERT_EQ(hk::RemoveDevice(BusNode()), STATUS_SUCCESS);
    EXPECT_EQ(BusNode(), nullptr);
    for (const hk::DevNodeInfo &n : hk::DeviceTree())
        EXPECT_NE(n.instanceId.rfind("SCSI\\", 0), 0u) << n.instanceId;
    EXPECT_EQ(harness_->CreateFile(VYRFAB_CONTROL_WIN32_NAME), hk::INVALID_HANDLE);
    EXPECT_EQ(harness_->LastStatus(), STATUS_OBJECT_NAME_NOT_FOUND);
    std::string left;
    for (const hk::PoolBlockInfo &b : hk::OutstandingPool("vyrfab"))
        left += hk::TagText(b.tag) + " ";
    EXPECT_EQ(left, "");
}

TEST_F(FabricTest, ShutdownWithAWorldLeavesNoLeak)
{
    BuildTwoByTwo();
    ASSERT_EQ(Send(IOCTL_VYRFAB_ADD_FAULT, StatusRule(FAB_SCOPE_PATH, 2, FAB_FORM_EVERY_NTH, STATUS_IO_TIMEOUT, 2)),
              STATUS_SUCCESS);
    TakeUnitAttentions(2);
    ASSERT_EQ(RunOn(2, Write(512, 8, 9)).scsiStatus, GOOD);
    ASSERT_EQ(Pull(1), STATUS_SUCCESS);
    CloseProbes();
    hk::WaitPnpIdle();
    harness_.reset();
    vyr::test::BugCheckRecorder recorder;
    machine_->Shutdown();
    for (const hk::BugCheckInfo &report : recorder.Reports())
        ADD_FAILURE() << report.message;
}

// ---------------------------------------------------------------------------------------------
// Held commands
// ---------------------------------------------------------------------------------------------
class FabricHoldTest : public FabricTest {
protected:
    NTSTATUS Release(UCHAR scope, ULONG index, UCHAR reserved = 0)
    {
        FabReleaseHeldRequest request{};
        request.Scope = scope;
        request.Index = index;
        request.Reserved[1] = reserved;
        return Send(IOCTL_VYRFAB_RELEASE_HELD, request);
    }
    NTSTATUS WaitHeld(ULONG count, ULONG *held)
    {
        FabWaitHeldRequest request{count, 60000};
        FabHeldReply reply{~0u};
        NTSTATUS status = Control(IOCTL_VYRFAB_WAIT_HELD, &request, sizeof request, &reply, sizeof reply);
        *held = reply.Held;
        return status;
    }
    // Runs a write on a path in a thread of its own: it comes back only once the hold lets it go.
    std::thread WriteInBackground(ULONG path, Scsi *result)
    {
        HANDLE probe = ProbeOn(path).handle;
        return std::thread([this, probe, result] { *result = Run(probe, Write(0, 2048, 5)); });
    }
};

TEST_F(FabricHoldTest, HeldWriteWaitsUntilReleasedWhileOtherPathsRun)
{
    BuildTwoByTwo();
    TakeUnitAttentions(0);
    TakeUnitAttentions(1);
    ASSERT_EQ(Send(IOCTL_VYRFAB_ADD_FAULT, Rule(FAB_SCOPE_PATH, 0, FAB_FAULT_HOLD, FAB_FORM_ONE_SHOT, 0, OP_WRITE6)),
              STATUS_SUCCESS);
    ULONG held = ~0u;
    ASSERT_EQ(WaitHeld(0, &held), STATUS_SUCCESS);
    EXPECT_EQ(held, 0u);

    Scsi write;
    std::thread writer = WriteInBackground(0, &write);
    ASSERT_EQ(WaitHeld(1, &held), STATUS_SUCCESS);
    EXPECT_EQ(held, 1u);
    EXPECT_EQ(DriveState(0).Blocks, 0u) << "a held command must not reach the drive";
    // Another path to the same drive is not held, and releasing a scope that holds nothing is a no-op.
    EXPECT_EQ(RunOn(1, Tur()).scsiStatus, GOOD);
    EXPECT_EQ(Release(FAB_SCOPE_PATH, 1), STATUS_SUCCESS);
    EXPECT_EQ(Release(FAB_SCOPE_DRIVE, 1), STATUS_SUCCESS);
    ASSERT_EQ(WaitHeld(1, &held), STATUS_SUCCESS);

    ASSERT_EQ(Release(FAB_SCOPE_DRIVE, 0), STATUS_SUCCESS);
    writer.join();
    EXPECT_EQ(write.status, STATUS_SUCCESS);
    EXPECT_EQ(write.scsiStatus, GOOD) << Describe(write);
    EXPECT_EQ(DriveState(0).Blocks, 1u);
    ASSERT_EQ(WaitHeld(0, &held), STATUS_SUCCESS);
    EXPECT_EQ(held, 0u);
    // One-shot: the next write passes.
    EXPECT_EQ(RunOn(0, Write(0, 512, 6)).scsiStatus, GOOD);
}

TEST_F(FabricHoldTest, PullAndClearFaultsLetHeldCommandsGo)
{
    BuildTwoByTwo();
    TakeUnitAttentions(0);
    TakeUnitAttentions(2);
    ASSERT_EQ(Send(IOCTL_VYRFAB_ADD_FAULT, Rule(FAB_SCOPE_DRIVE, 1, FAB_FAULT_HOLD, FAB_FORM_UNTIL_CLEARED)),
              STATUS_SUCCESS);
    ASSERT_EQ(Send(IOCTL_VYRFAB_ADD_FAULT, Rule(FAB_SCOPE_PATH, 0, FAB_FAULT_HOLD, FAB_FORM_UNTIL_CLEARED)),
              STATUS_SUCCESS);
    Scsi onPulled, onCleared;
    std::thread first = WriteInBackground(0, &onPulled);
    std::thread second = WriteInBackground(2, &onCleared);
    ULONG held = 0;
    ASSERT_EQ(WaitHeld(2, &held), STATUS_SUCCESS);
    EXPECT_EQ(held, 2u);

    ASSERT_EQ(Pull(0), STATUS_SUCCESS);
    first.join();
    EXPECT_EQ(onPulled.status, STATUS_DEVICE_NOT_CONNECTED) << Describe(onPulled);
    EXPECT_EQ(DriveState(0).Blocks, 0u);

    ASSERT_EQ(ClearFaults(FAB_SCOPE_DRIVE, 1), STATUS_SUCCESS);
    second.join();
    EXPECT_EQ(onCleared.scsiStatus, GOOD) << Describe(onCleared);
    EXPECT_EQ(DriveState(1).Blocks, 1u);
    ASSERT_EQ(WaitHeld(0, &held), STATUS_SUCCESS);
    EXPECT_EQ(held, 0u);
    CloseProbes();
    hk::WaitPnpIdle();
}

TEST_F(FabricHoldTest, BadHoldRequestsAreRefused)
{
    BuildTwoByTwo();
    FabFaultRequest withSense = Rule(FAB_SCOPE_PATH, 0, FAB_FAULT_HOLD, FAB_FORM_ONE_SHOT);
    withSense.Asc = 0x11;
    EXPECT_EQ(Send(IOCTL_VYRFAB_ADD_FAULT, withSense), STATUS_INVALID_PARAMETER);
    FabFaultRequest withStatus = Rule(FAB_SCOPE_PATH, 0, FAB_FAULT_HOLD, FAB_FORM_ONE_SHOT);
    withStatus.Status = STATUS_IO_TIMEOUT;
    EXPECT_EQ(Send(IOCTL_VYRFAB_ADD_FAULT, withStatus), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(Release(FAB_SCOPE_PATH, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Release(FAB_SCOPE_DRIVE, 2), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Release(FAB_SCOPE_ALL, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Release(7, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Release(FAB_SCOPE_ALL, 0, 1), STATUS_INVALID_PARAMETER);
    ULONG index = 0;
    EXPECT_EQ(Control(IOCTL_VYRFAB_RELEASE_HELD, &index, sizeof index), STATUS_INFO_LENGTH_MISMATCH);
    FabWaitHeldRequest wait{0, 0};
    EXPECT_EQ(Control(IOCTL_VYRFAB_WAIT_HELD, &wait, sizeof wait), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Control(IOCTL_VYRFAB_WAIT_HELD, &index, sizeof index, &index, sizeof index), STATUS_INFO_LENGTH_MISMATCH);
}

} // namespace
