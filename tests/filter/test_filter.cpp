// The tape path filter on real path stacks of the testbed: under the fabric's path, the tape class
// driver stand-in, a shim that watches what the filter passes down, and the filter on top; a fake
// bus enumerator in place of the real one records what the filter tells it and answers as the
// test chooses. The verifier's leak checks run at the end of every test.
#include "filter.h"
#include "flt_test_abi.h"
#include "kernel_fixture.h"
#include "machine/testbed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using vyr::sim::Fabric;

constexpr const char *kFilter = "vyrtpft2k16";
constexpr const char *kTapeClassKey =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\{6D807884-7D21-11CF-801C-08002BE10318}";
constexpr ULONG kDeviceNumber = 7;
constexpr NTSTATUS kStatusDeviceBusy = (NTSTATUS)0x80000011L;
constexpr NTSTATUS kStatusIoDeviceError = (NTSTATUS)0xC0000185L;
constexpr NTSTATUS kStatusDeviceNotReady = (NTSTATUS)0xC00000A3L;

// Notification hooks run in the filter's thread; what they see goes through these.
std::atomic<ULONG> g_prevStateAtAbsent{0xFFFFFFFF};
std::atomic<LONG> g_heldDoneAtStopped{-1};
FltTestState *g_state;

void RecordPrevStateAtAbsent(const PathNotification *n)
{
    if (n->ulOperation == PATH_NOTIFY_STATE && n->ulValue == PNP_ABSENT)
        g_prevStateAtAbsent = FltExt((PDEVICE_OBJECT)(ULONG_PTR)n->pPathDevice)->ulPrevPnpState;
}

void RecordHeldAtStopped(const PathNotification *n)
{
    if (n->ulOperation == PATH_NOTIFY_STATE && n->ulValue == PNP_STOPPED)
        g_heldDoneAtStopped = g_state->heldDone;
}

class FilterTest : public vyr::test::KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        InstallDriver("flt_fakebus");
        InstallDriver("flt_shim");
        vyr::sim::InstallTestbed(*machine_);
        // The fake bus comes after the fabric, so that at shutdown the paths go before it.
        hk::DevNode *bus = hk::CreateRootDevice("root\\flt_fakebus", "flt_fakebus", vyr::sim::kSystemClassGuid);
        ASSERT_NE(bus, nullptr);
        ASSERT_EQ(hk::StartDevice(bus), STATUS_SUCCESS);
        state_ = g_state = Export<FltTestState>("flt_fakebus", "FltTestStateBlock");
        send_ = Export<FakeBusSendFn>("flt_fakebus", "FakeBusSend");
        ASSERT_NE(state_, nullptr);
        state_->deviceNumber = kDeviceNumber;
        vyr::sim::InstallPathFilter(*machine_);
        hk::RegSetMultiString(kTapeClassKey, "UpperFilters", {"flt_shim", kFilter});
        fabric_ = std::make_unique<Fabric>();
        hk::ClearDebugOutput();
    }

    void TearDown() override
    {
        if (state_)
            state_->hook = nullptr;
        fabric_.reset();
        KernelTest::TearDown();
    }

    void Build(int paths = 1)
    {
        vyr::sim::Topology topology;
        topology.drives = 1;
        topology.pathsPerDrive = paths;
        ASSERT_EQ(fabric_->Build(topology), STATUS_SUCCESS);
    }

    PDEVICE_OBJECT Path(int registration = 0)
    {
        return (PDEVICE_OBJECT)(ULONG_PTR)state_->registrations[registration].pPathDevice;
    }

    static hk::DevNode *PathNode()
    {
        for (const hk::DevNodeInfo &n : hk::DeviceTree())
            if (std::find(n.stack.begin(), n.stack.end(), kFilter) != n.stack.end() &&
                n.state != hk::DevNodeState::Removed)
                return n.node;
        return nullptr;
    }

    // The log as words: "start" etc. for PnP requests the shim passed, "ioctl:<code>" and
    // "major:<n>" for other requests, "register", "state:<n>", "open", "close" for the bus.
    std::vector<std::string> Log(size_t from = 0) const
    {
        std::vector<std::string> out;
        LONG count = std::min<LONG>((LONG)state_->eventCount, (LONG)kFltTestMaxEvents);
        for (LONG i = (LONG)from; i < count; i++) {
            const FltTestEvent &e = state_->events[i];
            char text[64];
            switch (e.kind) {
            case FLT_EV_REGISTER: snprintf(text, sizeof text, "register"); break;
            case FLT_EV_NOTIFY:
                if (e.code == PATH_NOTIFY_STATE)
                    snprintf(text, sizeof text, "state:%u", e.value);
                else
                    snprintf(text, sizeof text, "%s", e.value == IO_OPEN_REQ ? "open" : "close");
                break;
            case FLT_EV_PNP: snprintf(text, sizeof text, "pnp:%s", CmnPnpMinorName(e.code)); break;
            default:
                if (e.code == IRP_MJ_DEVICE_CONTROL)
                    snprintf(text, sizeof text, "ioctl:%x", e.value);
                else
                    snprintf(text, sizeof text, "major:%u", e.code);
                break;
            }
            out.push_back(text);
        }
        return out;
    }
    // Pool blocks of the filter's own tag still allocated.
    static std::vector<hk::PoolBlockInfo> FilterPool()
    {
        std::vector<hk::PoolBlockInfo> out;
        for (const hk::PoolBlockInfo &b : hk::OutstandingPool(kFilter))
            if (b.tag == hk::MakeTag("FLTR"))
                out.push_back(b);
        return out;
    }
    size_t LogSize() const { return (size_t)state_->eventCount; }
    static size_t Count(const std::vector<std::string> &log, const std::string &word)
    {
        return (size_t)std::count(log.begin(), log.end(), word);
    }
    static ptrdiff_t Index(const std::vector<std::string> &log, const std::string &word)
    {
        auto it = std::find(log.begin(), log.end(), word);
        return it == log.end() ? -1 : it - log.begin();
    }
    static std::string Ioctl(ULONG code)
    {
        char text[32];
        snprintf(text, sizeof text, "ioctl:%x", code);
        return text;
    }

    static bool TraceHas(const std::string &text)
    {
        for (const std::string &line : hk::DebugOutput())
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }

    ULONG PathCommands(ULONG path)
    {
        std::vector<FabPathEntry> paths;
        EXPECT_EQ(fabric_->QueryTopology(nullptr, &paths), STATUS_SUCCESS);
        return path < paths.size() ? paths[path].CommandsSeen : 0;
    }

    FltTestState *state_ = nullptr;
    FakeBusSendFn *send_ = nullptr;
    std::unique_ptr<Fabric> fabric_;
};

// ---------------------------------------------------------------------------------------------
// Start
// ---------------------------------------------------------------------------------------------

TEST_F(FilterTest, StartProbesRegistersAndLendsTheTable)
{
    machine_->SetServiceDword(vyr::sim::kTapeClassService, "ExclusiveAccess", 1);
    machine_->SetServiceDword(vyr::sim::kTapeClassService, "EncryptionKeyManagement", 1);
    Build();

    ASSERT_EQ(state_->registrationCount, 1);
    EXPECT_EQ(state_->registrationInLength[0], sizeof(PathRegistration));
    const PathRegistration &r = state_->registrations[0];
    EXPECT_EQ(r.fFailover, 1);
    char serial[32] = "VYRSIM0000001000";
    EXPECT_EQ(memcmp(r.szSerialNumber, serial, 32), 0);
    EXPECT_EQ(r.SerialTerminator, 0);
    EXPECT_EQ(std::string(r.szWwnn, 16), "50a1b2c000010001");
    EXPECT_EQ(r.WwnnTerminator, 0);
    EXPECT_EQ(r.Address.Length, 8u);
    EXPECT_EQ(r.Address.PortNumber, 0);
    EXPECT_EQ(r.Address.TargetId, 0);
    EXPECT_EQ(r.ulState, (ULONG)PNP_STARTED);
    EXPECT_EQ(r.fExclusiveAccess, 1);
    EXPECT_EQ(r.fPersistentNaming, 0);
    EXPECT_EQ(r.fKeyManagement, 1);
    EXPECT_EQ(r.pStatusTable, 0u); // the filter sends the record zeroed

    PDEVICE_OBJECT path = Path();
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(path->DriverObject, hk::FindDriver(kFilter));
    EXPECT_EQ(path->DeviceType, (ULONG)FILE_DEVICE_TAPE_FILE_SYSTEM);
    FilterExtension *ext = FltExt(path);
    EXPECT_EQ(ext->pBusExt, (PVOID)&state_->table);
    EXPECT_EQ(ext->ulLogicalDeviceNumber, kDeviceNumber);
    EXPECT_EQ(ext->ulPnpState, (ULONG)PNP_STARTED);
    EXPECT_EQ(ext->ulPrevPnpState, (ULONG)PNP_NOT_STARTED);
    EXPECT_EQ(ext->ulIoCount, 1);

    // Lower drivers first, then the probes in order, the registration, and the hand-over.
    std::vector<std::string> log = Log();
    log.resize(std::min<size_t>(log.size(), 8)); // the PnP manager's queries follow the start
    std::vector<std::string> expected = {"pnp:IRP_MN_START_DEVICE", Ioctl(IOC_GET_STANDARD_INQUIRY),
                                         Ioctl(IOC_GET_SERIAL_NUMBER), Ioctl(IOC_GET_SCSI_ADDRESS),
                                         Ioctl(IOC_GET_DEVICE_ID_PAGE), Ioctl(IOC_GET_DPF_FLAGS),
                                         "register", Ioctl(IOC_SET_STATUS_TABLE)};
    EXPECT_EQ(log, expected);

    // While the class driver took the table, slot 0 held the logical device number and slot 1
    // the filter device; both are free again afterwards, and the number's buffer is gone.
    ASSERT_EQ(state_->handOvers, 1);
    EXPECT_EQ(state_->handOver.table, (ULONG64)(ULONG_PTR)&state_->table);
    EXPECT_EQ(state_->handOver.occupancy & 3u, 3u);
    EXPECT_EQ(state_->handOver.numberInSlot0, kDeviceNumber);
    EXPECT_EQ(state_->handOver.slot1Status, (ULONG64)(ULONG_PTR)path);
    EXPECT_EQ(state_->table.ulOccupancy, 0u);
    EXPECT_EQ(state_->table.Slots[0].pScsiStatus, 0u);
    EXPECT_EQ(state_->table.Slots[1].pScsiStatus, 0u);
    EXPECT_TRUE(FilterPool().empty());

    // Real routines trace their entry and exit.
    EXPECT_TRUE(TraceHas("FltDispatchPnp: MinorFunction = IRP_MN_START_DEVICE (0x00000000)"));
    std::regex entry(R"(^VYRTpFlt: ENT: (\d) -> (\d): filterpnp\.cpp, \d+: FltDispatchPnp: pDeviceObject 0x[0-9a-f]{8}, pIrp 0x[0-9a-f]{8})");
    std::regex exit(R"(^VYRTpFlt: EXT: (\d) -> (\d): filterpnp\.cpp, \d+: FltDispatchPnp: status 0x00000000, I/O count 1)");
    std::regex inside(R"(^VYRTpFlt: DBG:         filterpnp\.cpp, \d+: FltIrpMnStartDevice: fFailover set TRUE)");
    bool sawEntry = false, sawExit = false, sawInside = false;
    for (const std::string &line : hk::DebugOutput()) {
        sawEntry |= std::regex_match(line, entry);
        sawExit |= std::regex_match(line, exit);
        sawInside |= std::regex_match(line, inside);
    }
    EXPECT_TRUE(sawEntry);
    EXPECT_TRUE(sawExit);
    EXPECT_TRUE(sawInside);
}

struct ProbeCase {
    const char *name;
    ULONG code;
    BOOLEAN failover;
};

class ProbeFailureTest : public FilterTest, public ::testing::WithParamInterface<ProbeCase> {};

// A failing identity probe never fails the start: the path runs without failover (the flag word
// alone only leaves the flags as they were). The serial number then stays thirty-two '0'.
TEST_P(ProbeFailureTest, FailingProbeOnlyClearsFailover)
{
    state_->failCode = GetParam().code;
    state_->failCodeStatus = kStatusIoDeviceError;
    Build();
    ASSERT_NE(PathNode(), nullptr);
    EXPECT_EQ(hk::NodeState(PathNode()), hk::DevNodeState::Started);
    ASSERT_EQ(state_->registrationCount, 1);
    const PathRegistration &r = state_->registrations[0];
    EXPECT_EQ(r.fFailover, GetParam().failover);
    if (GetParam().code == IOC_GET_SERIAL_NUMBER)
        EXPECT_EQ(std::string(r.szSerialNumber, 32), std::string(32, '0'));
    if (GetParam().code == IOC_GET_DEVICE_ID_PAGE)
        EXPECT_EQ(std::string(r.szWwnn, 16), std::string(16, '0'));
    if (GetParam().code == IOC_GET_DPF_FLAGS)
        EXPECT_EQ(r.fExclusiveAccess, 1); // the value at attach
    EXPECT_EQ(state_->handOvers, 1);
}

INSTANTIATE_TEST_SUITE_P(Probes, ProbeFailureTest,
                         ::testing::Values(ProbeCase{"inquiry", IOC_GET_STANDARD_INQUIRY, FALSE},
                                           ProbeCase{"serial", IOC_GET_SERIAL_NUMBER, FALSE},
                                           ProbeCase{"address", IOC_GET_SCSI_ADDRESS, FALSE},
                                           ProbeCase{"page", IOC_GET_DEVICE_ID_PAGE, FALSE},
                                           ProbeCase{"flags", IOC_GET_DPF_FLAGS, TRUE}),
                         [](const ::testing::TestParamInfo<ProbeCase> &info) { return info.param.name; });

TEST_F(FilterTest, RefusedRegistrationStartsWithoutFailoverOrHandOver)
{
    state_->registerStatus = STATUS_INSUFFICIENT_RESOURCES;
    Build();
    ASSERT_NE(PathNode(), nullptr);
    EXPECT_EQ(hk::NodeState(PathNode()), hk::DevNodeState::Started);
    FilterExtension *ext = FltExt(Path());
    EXPECT_FALSE(ext->fFailover);
    EXPECT_EQ(ext->pBusExt, nullptr);
    EXPECT_EQ(state_->handOvers, 0);
}

TEST_F(FilterTest, StartFailingBelowProbesAndRegistersNothing)
{
    state_->failStartStatus = kStatusDeviceNotReady;
    state_->hook = RecordPrevStateAtAbsent;
    g_prevStateAtAbsent = 0xFFFFFFFF;
    Build();

    EXPECT_EQ(state_->registrationCount, 0);
    // The only word the bus hears is the removal that follows the failed start, and the state the
    // path left for it was still "not started".
    EXPECT_EQ(Log(), (std::vector<std::string>{"pnp:IRP_MN_START_DEVICE", "state:0", "pnp:IRP_MN_REMOVE_DEVICE"}));
    EXPECT_EQ(g_prevStateAtAbsent, (ULONG)PNP_NOT_STARTED);
    EXPECT_TRUE(TraceHas("FltIrpMnStartDevice: CmnSendIrpSync failed with RC = 0xc00000a3"));
}

TEST_F(FilterTest, AddDeviceFailureLeavesNothingBehind)
{
    hk::VerifierFaults faults;
    faults.failKind = hk::AllocKind::DeviceObject;
    faults.failKindEnabled = true;
    faults.onlyDriver = kFilter;
    hk::SetVerifierFaults(faults);
    Build();
    hk::ClearVerifierFaults();
    EXPECT_EQ(state_->registrationCount, 0);
    EXPECT_EQ(PathNode(), nullptr);
    EXPECT_TRUE(FilterPool().empty());
}

// ---------------------------------------------------------------------------------------------
// Plug and Play state changes
// ---------------------------------------------------------------------------------------------

TEST_F(FilterTest, VetoedQueryRemoveAndCancelWithoutQuery)
{
    Build();
    hk::DevNode *node = PathNode();
    ASSERT_NE(node, nullptr);
    FilterExtension *ext = FltExt(Path());

    state_->stateStatus[PNP_REMOVE_PENDING] = kStatusDeviceBusy;
    size_t mark = LogSize();
    EXPECT_EQ(hk::RemoveDevice(node), kStatusDeviceBusy);
    // The veto ends the query in the filter; the PnP manager's cancel goes down and is reported
    // with the state the path is back in.
    EXPECT_EQ(Log(mark), (std::vector<std::string>{"state:3", "pnp:IRP_MN_CANCEL_REMOVE_DEVICE", "state:2"}));
    EXPECT_EQ(ext->ulPnpState, (ULONG)PNP_STARTED);

    // A cancel that no query preceded changes nothing and is still reported.
    mark = LogSize();
    PDEVICE_OBJECT top = Path(); // the filter is the top of the stack
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_CANCEL_REMOVE_DEVICE;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID event) -> NTSTATUS {
            KeSetEvent((PKEVENT)event, IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(top, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    IoFreeIrp(irp);
    EXPECT_EQ(Log(mark), (std::vector<std::string>{"pnp:IRP_MN_CANCEL_REMOVE_DEVICE", "state:2"}));
    EXPECT_EQ(ext->ulPnpState, (ULONG)PNP_STARTED);
    EXPECT_EQ(ext->ulIoCount, 1);
}

TEST_F(FilterTest, RemovalIsReportedBeforeTheRequestGoesDown)
{
    Build(2);
    ASSERT_EQ(state_->registrationCount, 2);

    // Orderly removal of one path.
    hk::DevNode *node = PathNode();
    ASSERT_NE(node, nullptr);
    size_t mark = LogSize();
    ASSERT_EQ(hk::RemoveDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(Log(mark), (std::vector<std::string>{"state:3", "pnp:IRP_MN_QUERY_REMOVE_DEVICE", "state:0",
                                                   "pnp:IRP_MN_REMOVE_DEVICE"}));

    // The other path's cable is pulled: surprise removal, then the removal.
    mark = LogSize();
    std::vector<FabPathEntry> paths;
    ASSERT_EQ(fabric_->QueryTopology(nullptr, &paths), STATUS_SUCCESS);
    ASSERT_EQ(paths.size(), 2u);
    ASSERT_EQ(fabric_->PullPath(1), STATUS_SUCCESS);
    ASSERT_EQ(fabric_->PullPath(0), STATUS_SUCCESS);
    hk::WaitPnpIdle();
    std::vector<std::string> log = Log(mark);
    ptrdiff_t surprise = Index(log, "state:4");
    ptrdiff_t absent = Index(log, "state:0");
    ASSERT_GE(surprise, 0);
    ASSERT_GE(absent, 0);
    EXPECT_LT(surprise, Index(log, "pnp:IRP_MN_SURPRISE_REMOVAL"));
    EXPECT_LT(absent, Index(log, "pnp:IRP_MN_REMOVE_DEVICE"));

    // No filter device is left.
    PDRIVER_OBJECT driver = hk::FindDriver(kFilter);
    EXPECT_TRUE(!driver || !driver->DeviceObject);
    EXPECT_EQ(PathNode(), nullptr);
}

TEST_F(FilterTest, StopWaitsForRequestsInProgress)
{
    Build();
    PDEVICE_OBJECT path = Path();
    hk::DevNode *node = PathNode();
    ASSERT_NE(node, nullptr);
    state_->holdCode = IOCTL_TAPE_GET_STATUS;
    state_->hook = RecordHeldAtStopped;
    g_heldDoneAtStopped = -1;

    std::thread request([&] { send_(path, IRP_MJ_DEVICE_CONTROL, IOCTL_TAPE_GET_STATUS, nullptr); });
    KeWaitForSingleObject(&state_->heldEvent, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(FltExt(path)->ulIoCount, 2);
    hk::ClearDebugOutput();

    std::thread rebalance([&] { EXPECT_EQ(hk::RebalanceDevice(node), STATUS_SUCCESS); });
    // Let the request go once the stop handler has begun to wait for it.
    for (bool waiting = false; !waiting; std::this_thread::yield())
        waiting = TraceHas("FltIrpMnStopDevice: IO count: 3");
    KeSetEvent(&state_->releaseEvent, IO_NO_INCREMENT, FALSE);
    request.join();
    rebalance.join();

    EXPECT_EQ(g_heldDoneAtStopped, 1) << "the bus heard of the stop while a request was still in progress";
    // The handler gives back exactly the count it took: only the base and the stop itself remain.
    EXPECT_TRUE(TraceHas("FltIrpMnStopDevice: IO count: 2 (should be same as on entry)"));
    EXPECT_EQ(FltExt(path)->ulIoCount, 1);
    // The start after the stop runs the whole sequence again.
    EXPECT_EQ(state_->registrationCount, 2);
    EXPECT_EQ(FltExt(path)->ulPnpState, (ULONG)PNP_STARTED);
}

// ---------------------------------------------------------------------------------------------
// Requests from the bus and their status blocks
// ---------------------------------------------------------------------------------------------

struct BlockCase {
    const char *name;
    bool fromBus;
    ULONG64 key;
    ULONG blockSize;
    NTSTATUS status;     // of the request
    bool applied;        // IOC_APPLY_SCSI_STATUS reached the class driver
    bool reachedClass;   // the request itself did
    ULONG word0, word1;  // the block's first words afterwards
};

class StatusBlockTest : public FilterTest, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(StatusBlockTest, BlockIsAppliedBeforeTheRequestOrEndsIt)
{
    const BlockCase &c = GetParam();
    Build();
    PDEVICE_OBJECT path = Path();
    ASSERT_TRUE(FltExt(path)->fFailover);

    ScsiStatus block{};
    block.ReservationKey = c.key;
    block.ulBlockSize = c.blockSize;
    size_t mark = LogSize();
    ULONG commands = PathCommands(0);
    EXPECT_EQ(send_(path, IRP_MJ_DEVICE_CONTROL, IOCTL_TAPE_GET_STATUS, c.fromBus ? &block : nullptr), c.status);

    std::vector<std::string> log = Log(mark);
    EXPECT_EQ(Count(log, Ioctl(IOC_APPLY_SCSI_STATUS)), c.applied ? 1u : 0u);
    EXPECT_EQ(Count(log, Ioctl(IOCTL_TAPE_GET_STATUS)), c.reachedClass ? 1u : 0u);
    if (c.applied && c.reachedClass)
        EXPECT_LT(Index(log, Ioctl(IOC_APPLY_SCSI_STATUS)), Index(log, Ioctl(IOCTL_TAPE_GET_STATUS)));
    if (!c.reachedClass)
        EXPECT_EQ(PathCommands(0), commands) << "the drive saw a command of a request that was ended";
    const ULONG *words = (const ULONG *)&block;
    EXPECT_EQ(words[0], c.word0);
    EXPECT_EQ(words[1], c.word1);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, StatusBlockTest,
    ::testing::Values(
        BlockCase{"not_from_bus", false, 0x1111, 0xFFFFFFFF, STATUS_SUCCESS, false, true, 0x1111, 0},
        BlockCase{"nothing_asked", true, 0, 512, STATUS_SUCCESS, false, true, 0, 0},
        BlockCase{"key_applied", true, 0x0000000100000000ull, 0xFFFFFFFF, STATUS_SUCCESS, true, true, 0, 0},
        // The class driver refuses the block (a block size it cannot set): the request ends here.
        BlockCase{"apply_fails", true, 0x2222, 0x01000000, STATUS_INVALID_PARAMETER, true, false, 0xC0000022, 0}),
    [](const ::testing::TestParamInfo<BlockCase> &info) { return info.param.name; });

TEST_F(FilterTest, WithoutFailoverReadsPassUntouchedButCleanupApplies)
{
    state_->failCode = IOC_GET_SERIAL_NUMBER;
    state_->failCodeStatus = kStatusIoDeviceError;
    Build();
    PDEVICE_OBJECT path = Path();
    ASSERT_FALSE(FltExt(path)->fFailover);

    ScsiStatus block{};
    block.ReservationKey = 0x3333;
    block.ulBlockSize = 0xFFFFFFFF;
    size_t mark = LogSize();
    send_(path, IRP_MJ_READ, 512, &block);
    std::vector<std::string> log = Log(mark);
    EXPECT_EQ(log, (std::vector<std::string>{"major:3"}));
    EXPECT_EQ(block.ReservationKey, 0x3333u);

    mark = LogSize();
    send_(path, IRP_MJ_CLEANUP, 0, &block);
    EXPECT_EQ(Log(mark), (std::vector<std::string>{Ioctl(IOC_APPLY_SCSI_STATUS), "major:18"}));
    EXPECT_EQ(block.ReservationKey, 0u);
}

// ---------------------------------------------------------------------------------------------
// Opens and closes
// ---------------------------------------------------------------------------------------------

TEST_F(FilterTest, DirectOpensAndClosesAreReported)
{
    Build();
    PDEVICE_OBJECT path = Path();
    auto app = hk::Process::Create("app");

    // One notice for each direct open and close.
    size_t mark = LogSize();
    HANDLE h = app->CreateFile("\\\\.\\VyrTapePath0");
    ASSERT_NE(h, hk::INVALID_HANDLE) << std::hex << app->LastStatus();
    EXPECT_EQ(Log(mark), (std::vector<std::string>{"open", "major:0"}));
    mark = LogSize();
    EXPECT_TRUE(app->CloseHandle(h));
    std::vector<std::string> log = Log(mark);
    EXPECT_EQ(Count(log, "close"), 1u);
    EXPECT_EQ(Count(log, "open"), 0u);
    EXPECT_LT(Index(log, "major:2"), Index(log, "close")); // reported once the close went down

    // The bus refuses: the open fails with its status and never reaches the class driver.
    state_->openStatus = STATUS_ACCESS_DENIED;
    mark = LogSize();
    EXPECT_EQ(app->CreateFile("\\\\.\\VyrTapePath0"), hk::INVALID_HANDLE);
    EXPECT_EQ(app->LastStatus(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Log(mark), (std::vector<std::string>{"open"}));
    state_->openStatus = STATUS_SUCCESS;

    // The class driver rejects an open the bus counted: the count is given back.
    state_->failCreateStatus = kStatusDeviceNotReady;
    mark = LogSize();
    EXPECT_EQ(app->CreateFile("\\\\.\\VyrTapePath0"), hk::INVALID_HANDLE);
    EXPECT_EQ(app->LastStatus(), kStatusDeviceNotReady);
    EXPECT_EQ(Log(mark), (std::vector<std::string>{"open", "major:0", "close"}));
    state_->failCreateStatus = 0;

    // Opens and closes of the bus itself are not reported.
    ScsiStatus block{};
    mark = LogSize();
    EXPECT_EQ(send_(path, IRP_MJ_CREATE, 0, &block), STATUS_SUCCESS);
    EXPECT_EQ(send_(path, IRP_MJ_CLOSE, 0, &block), STATUS_SUCCESS);
    EXPECT_EQ(Log(mark), (std::vector<std::string>{"major:0", "major:2"}));
    EXPECT_EQ(FltExt(path)->ulIoCount, 1);
}

} // namespace

