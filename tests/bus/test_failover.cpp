// Failover of requests on a logical device, through the whole stack under the verifier: writes
// that fail part way resume on another path and leave every block on the tape exactly once, reads
// go back to where they started, the failover rules pick which failures move to another path, and
// the drive settings follow the request onto a new path.
#include "test_io_fixture.h"

#include <map>
#include <thread>

namespace vyr::test {
namespace {

constexpr UCHAR kOpRead6 = 0x08;
constexpr UCHAR kOpReadBlockLimits = 0x05;
constexpr UCHAR kOpReadPosition = 0x34;
constexpr UCHAR kOpModeSense6 = 0x1A;
constexpr UCHAR kOpPreventAllow = 0x1E;
constexpr ULONG kFailoverEvent = 0x80000004;
constexpr ULONG kGetSettingA = 0x001FE0C4;
constexpr ULONG kSetSettingA = 0x001FE0C8;
constexpr ULONG kGetSettingB = 0x001FE0E0;
constexpr ULONG kSetSettingB = 0x001FE0E4;

class FailoverTest : public TapeStackTest {
protected:
    // The fabric index of a logical device's primary path, from the bus's own path listing (which
    // lists every logical device: Device picks one by the end of its name; null takes the first).
    ULONG PrimaryPath(HANDLE tape, const char *device = nullptr)
    {
        std::vector<UCHAR> reply(4 + 144 * 8, 0);
        EXPECT_EQ(Ioctl(tape, IOCTL_TPBUS_QUERY_PATHS, nullptr, 0, reply.data(), (ULONG)reply.size()), STATUS_SUCCESS);
        std::vector<FabPathEntry> paths;
        EXPECT_EQ(fabric_->QueryTopology(nullptr, &paths), STATUS_SUCCESS);
        ULONG size;
        memcpy(&size, reply.data(), sizeof size);
        for (ULONG offset = 4; offset + sizeof(PathInfoEntry) <= size; offset += sizeof(PathInfoEntry)) {
            PathInfoEntry entry;
            memcpy(&entry, reply.data() + offset, sizeof entry);
            if (!entry.fPrimary)
                continue;
            std::string name(entry.szDeviceName, strnlen(entry.szDeviceName, sizeof entry.szDeviceName));
            if (device && (name.size() < strlen(device) || name.compare(name.size() - strlen(device), std::string::npos, device)))
                continue;
            for (const FabPathEntry &p : paths)
                if (!p.fPulled && p.PortNumber == entry.Address.PortNumber && p.PathId == entry.Address.PathId &&
                    p.TargetId == entry.Address.TargetId && p.Lun == entry.Address.Lun)
                    return p.Index;
        }
        ADD_FAILURE() << "no primary path";
        return ~0u;
    }
    FabPathEntry PathState(ULONG index)
    {
        std::vector<FabPathEntry> paths;
        EXPECT_EQ(fabric_->QueryTopology(nullptr, &paths), STATUS_SUCCESS);
        for (const FabPathEntry &p : paths)
            if (p.Index == index)
                return p;
        ADD_FAILURE() << "no path " << index;
        return {};
    }
    FabDriveState Drive()
    {
        FabDriveState state{};
        EXPECT_EQ(fabric_->QueryDrive(0, &state), STATUS_SUCCESS);
        return state;
    }
    LogicalDeviceExtension *Ldx() { return BusLogical(NamedDevice(u"\\Device\\Tape0")); }

    static FabFaultRequest Fault(ULONG path, UCHAR kind, UCHAR form, int opcode = -1)
    {
        FabFaultRequest f{};
        f.Scope = FAB_SCOPE_PATH;
        f.Index = path;
        f.Kind = kind;
        f.Form = form;
        if (opcode >= 0) {
            f.fOpcodeFilter = 1;
            f.Opcode = (UCHAR)opcode;
        }
        return f;
    }
    static FabFaultRequest Sense(ULONG path, UCHAR key, UCHAR asc, UCHAR ascq, UCHAR form, int opcode = -1)
    {
        FabFaultRequest f = Fault(path, FAB_FAULT_SENSE, form, opcode);
        f.SenseKey = key;
        f.Asc = asc;
        f.Ascq = ascq;
        return f;
    }
    static FabFaultRequest Status(ULONG path, NTSTATUS status, UCHAR form, int opcode = -1)
    {
        FabFaultRequest f = Fault(path, FAB_FAULT_STATUS, form, opcode);
        f.Status = status;
        return f;
    }
    // Everything through the path fails from now on, until the faults are cleared.
    void Break(ULONG path) { ASSERT_EQ(fabric_->AddFault(Status(path, STATUS_IO_TIMEOUT, FAB_FORM_UNTIL_CLEARED)), STATUS_SUCCESS); }

    NTSTATUS SetBlockSize(HANDLE tape, ULONG size)
    {
        TAPE_SET_MEDIA_PARAMETERS media{size};
        return Ioctl(tape, IOCTL_TAPE_SET_MEDIA_PARAMS, &media, sizeof media, nullptr, 0);
    }
    NTSTATUS Prepare(HANDLE tape, ULONG operation)
    {
        TAPE_PREPARE prepare{};
        prepare.Operation = operation;
        return Ioctl(tape, IOCTL_TAPE_PREPARE, &prepare, sizeof prepare, nullptr, 0);
    }
    NTSTATUS DriveParams(HANDLE tape)
    {
        TAPE_GET_DRIVE_PARAMETERS params{};
        return Ioctl(tape, IOCTL_TAPE_GET_DRIVE_PARAMS, nullptr, 0, &params, sizeof params);
    }
    // Rewinds and reads the tape back: each expected record with a read of its own length.
    void ExpectTape(HANDLE tape, const std::vector<std::vector<UCHAR>> &records)
    {
        ASSERT_EQ(Rewind(tape), STATUS_SUCCESS);
        for (size_t i = 0; i < records.size(); i++) {
            std::vector<UCHAR> back;
            ASSERT_EQ(Read(tape, &back, (ULONG)records[i].size()), STATUS_SUCCESS) << "record " << i;
            EXPECT_EQ(back, records[i]) << "record " << i;
        }
    }
    static std::vector<hk::EventRecord> FailoverEvents()
    {
        std::vector<hk::EventRecord> events;
        for (const hk::EventRecord &e : hk::EventLog())
            if (e.eventId == kFailoverEvent && e.source == kBusImage)
                events.push_back(e);
        return events;
    }
};

// The same world, with FailoverEventsEnabled set before the bus starts.
class FailoverEventsTest : public FailoverTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        machine_->SetServiceDword(kBusImage, "FailoverEventsEnabled", 1);
        machine_->InstallTapeBus();
        vyr::sim::InstallTestbed(*machine_);
        vyr::sim::InstallPathFilter(*machine_);
        fabric_ = std::make_unique<vyr::sim::Fabric>();
        app_ = hk::Process::Create("app");
    }
};

// ---------------------------------------------------------------------------------------------
// Writes that fail part way
// ---------------------------------------------------------------------------------------------
struct PartialWriteCase {
    const char *name;
    int paths;
    ULONG blockSize;   // 0 = variable blocks
    ULONG blocks;      // blocks of the write (variable: 1)
    ULONG reached;     // blocks that reach the tape before the write fails
    NTSTATUS transport; // 0: the failure is reported by sense 0B/00/00, else by this status
};

void PrintTo(const PartialWriteCase &c, std::ostream *os)
{
    *os << c.name;
}

class PartialWriteTest : public FailoverTest, public ::testing::WithParamInterface<PartialWriteCase> {};

TEST_P(PartialWriteTest, EveryBlockReachesTheTapeOnceAndTheWholeLengthIsReported)
{
    const PartialWriteCase &c = GetParam();
    Build(c.paths);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    const ULONG unit = c.blockSize ? c.blockSize : 3000;
    if (c.blockSize)
        ASSERT_EQ(SetBlockSize(tape, c.blockSize), STATUS_SUCCESS);
    std::vector<UCHAR> lead = Block(unit, 1);
    ASSERT_EQ(Write(tape, lead), STATUS_SUCCESS);

    const ULONG failing = PrimaryPath(tape);
    FabFaultRequest partial = Fault(failing, FAB_FAULT_WRITE_AFTER_BLOCKS, FAB_FORM_ONE_SHOT);
    partial.BlocksWritten = c.reached;
    if (c.transport) {
        partial.Status = c.transport;
    } else {
        partial.SenseKey = 0xB;
    }
    ASSERT_EQ(fabric_->AddFault(partial), STATUS_SUCCESS);
    if (c.paths > 1)
        Break(failing); // the path carries nothing after the write: the rest must go elsewhere

    std::vector<UCHAR> big = Block(unit * c.blocks, 2);
    ULONG written = 0;
    EXPECT_EQ(Write(tape, big, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, big.size());
    EXPECT_EQ(PathState(failing).FaultsFired, c.paths > 1 ? 2u : 1u) << "the write and the position read";
    if (c.paths > 1)
        EXPECT_NE(PrimaryPath(tape), failing);

    ASSERT_EQ(fabric_->ClearFaults(FAB_SCOPE_ALL, 0), STATUS_SUCCESS);
    EXPECT_EQ(Drive().Blocks, 1 + c.blocks) << "a block written twice, or one missing";
    ExpectTape(tape, {lead, big});
    std::vector<UCHAR> after;
    EXPECT_NE(Read(tape, &after, unit), STATUS_SUCCESS) << "nothing follows the write";
}

INSTANTIATE_TEST_SUITE_P(
    Writes, PartialWriteTest,
    ::testing::Values(PartialWriteCase{"HalfBySense", 2, 512, 8, 4, 0},
                      PartialWriteCase{"ThreeByTransport", 2, 1024, 8, 3, STATUS_IO_TIMEOUT},
                      PartialWriteCase{"AllReachedTheTape", 2, 512, 8, 8, 0},
                      PartialWriteCase{"NoneReachedTheTape", 2, 512, 8, 0, STATUS_IO_TIMEOUT},
                      PartialWriteCase{"SamePathResumes", 1, 512, 6, 2, 0},
                      PartialWriteCase{"VariableBlockReached", 2, 0, 1, 1, 0},
                      PartialWriteCase{"VariableBlockLost", 2, 0, 1, 0, STATUS_IO_TIMEOUT}),
    [](const ::testing::TestParamInfo<PartialWriteCase> &info) { return std::string(info.param.name); });

TEST_F(FailoverTest, WriteWhoseOutcomeCannotBeLearnedIsNotRetriedNorReportedDone)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    ASSERT_EQ(SetBlockSize(tape, 512), STATUS_SUCCESS);
    ASSERT_EQ(Write(tape, Block(512, 1)), STATUS_SUCCESS);
    const ULONG failing = PrimaryPath(tape);
    FabFaultRequest partial = Fault(failing, FAB_FAULT_WRITE_AFTER_BLOCKS, FAB_FORM_ONE_SHOT);
    partial.BlocksWritten = 4;
    partial.SenseKey = 0xB;
    ASSERT_EQ(fabric_->AddFault(partial), STATUS_SUCCESS);
    // No path can tell where the tape stands afterwards.
    FabFaultRequest blind = Status(0, STATUS_IO_TIMEOUT, FAB_FORM_UNTIL_CLEARED, kOpReadPosition);
    blind.Scope = FAB_SCOPE_DRIVE;
    ASSERT_EQ(fabric_->AddFault(blind), STATUS_SUCCESS);

    ULONG written = 0;
    NTSTATUS status = Write(tape, Block(512 * 8, 2), &written);
    EXPECT_TRUE(NT_ERROR(status)) << std::hex << status;
    EXPECT_LT(written, 512u * 8);
    ASSERT_EQ(fabric_->ClearFaults(FAB_SCOPE_ALL, 0), STATUS_SUCCESS);
    EXPECT_EQ(Drive().Blocks, 1u + 4u) << "the write was sent again";
}

TEST_F(FailoverTest, ResetDriveIsNotWrittenOverFromItsBeginning)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    std::vector<UCHAR> a = Block(700, 1), b = Block(800, 2);
    ASSERT_EQ(Write(tape, a), STATUS_SUCCESS);
    ASSERT_EQ(Write(tape, b), STATUS_SUCCESS);
    // A power cycle puts the tape at its beginning; the next write hears of it (06/29/00).
    ASSERT_EQ(fabric_->DriveControl(0, FAB_DRIVE_RESET, 0), STATUS_SUCCESS);
    NTSTATUS status = Write(tape, Block(900, 3));
    EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;
    EXPECT_FALSE(Ldx()->fPositionKnown);
    EXPECT_EQ(Drive().Blocks, 2u) << "the retry wrote at the beginning of the tape";
    ExpectTape(tape, {a, b});
}

// ---------------------------------------------------------------------------------------------
// Reads
// ---------------------------------------------------------------------------------------------
TEST_F(FailoverTest, ReadNotReadyGoesBackToItsBlockOnTheNextPath)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    std::vector<std::vector<UCHAR>> records;
    for (UCHAR i = 0; i < 5; i++) {
        records.push_back(Block(600 + 100 * i, i));
        ASSERT_EQ(Write(tape, records.back()), STATUS_SUCCESS);
    }
    ASSERT_EQ(Rewind(tape), STATUS_SUCCESS);
    std::vector<UCHAR> back;
    ASSERT_EQ(Read(tape, &back, 4096), STATUS_SUCCESS);
    ASSERT_EQ(Read(tape, &back, 4096), STATUS_SUCCESS);

    // Someone moves the tape behind the bus's back (through a path device directly), so that the
    // read finds block 2 only if the bus puts the tape back where it knows it was.
    HANDLE direct = Open("\\Device\\VyrTapePath0");
    ASSERT_NE(direct, hk::INVALID_HANDLE);
    TAPE_SET_POSITION locate{};
    locate.Method = TAPE_LOGICAL_BLOCK;
    locate.Offset.QuadPart = 4;
    ASSERT_EQ(Ioctl(direct, IOCTL_TAPE_SET_POSITION, &locate, sizeof locate, nullptr, 0), STATUS_SUCCESS);

    const ULONG failing = PrimaryPath(tape);
    ASSERT_EQ(fabric_->AddFault(Sense(failing, 0x2, 0x04, 0x00, FAB_FORM_ONE_SHOT, kOpRead6)), STATUS_SUCCESS);
    Break(failing);
    ASSERT_EQ(Read(tape, &back, 4096), STATUS_SUCCESS);
    EXPECT_EQ(back, records[2]);
    EXPECT_NE(PrimaryPath(tape), failing);
    ASSERT_EQ(Read(tape, &back, 4096), STATUS_SUCCESS);
    EXPECT_EQ(back, records[3]) << "the position kept counting after the failover";
}

TEST_F(FailoverTest, PassThroughReadWithCheckConditionIsReadAgainFromItsBlock)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    std::vector<std::vector<UCHAR>> records;
    for (UCHAR i = 0; i < 3; i++) {
        records.push_back(Block(700 + 50 * i, i));
        ASSERT_EQ(Write(tape, records.back()), STATUS_SUCCESS);
    }
    ASSERT_EQ(Rewind(tape), STATUS_SUCCESS);
    std::vector<UCHAR> back;
    ASSERT_EQ(Read(tape, &back, 4096), STATUS_SUCCESS);

    const ULONG failing = PrimaryPath(tape);
    ASSERT_EQ(fabric_->AddFault(Sense(failing, 0xB, 0x47, 0x00, FAB_FORM_ONE_SHOT, kOpRead6)), STATUS_SUCCESS);
    Break(failing);
    constexpr ULONG kSenseRoom = 32, kDataRoom = 4096;
    std::vector<UCHAR> buffer(sizeof(SCSI_PASS_THROUGH) + kSenseRoom + kDataRoom, 0);
    SCSI_PASS_THROUGH pt{};
    pt.Length = sizeof pt;
    pt.CdbLength = 6;
    pt.SenseInfoLength = kSenseRoom;
    pt.SenseInfoOffset = sizeof pt;
    pt.DataIn = SCSI_IOCTL_DATA_IN;
    pt.DataTransferLength = kDataRoom;
    pt.DataBufferOffset = sizeof pt + kSenseRoom;
    const UCHAR read6[6] = {kOpRead6, 0x02 /* no incorrect-length report */, 0x00, 0x10, 0x00, 0x00};
    memcpy(pt.Cdb, read6, sizeof read6);
    memcpy(buffer.data(), &pt, sizeof pt);
    ASSERT_EQ(Ioctl(tape, IOCTL_SCSI_PASS_THROUGH, buffer.data(), (ULONG)buffer.size(), buffer.data(),
                    (ULONG)buffer.size()),
              STATUS_SUCCESS);
    SCSI_PASS_THROUGH result;
    memcpy(&result, buffer.data(), sizeof result);
    EXPECT_EQ(result.ScsiStatus, 0) << "the retry's outcome is the one reported";
    ASSERT_EQ(result.DataTransferLength, records[1].size());
    EXPECT_EQ(0, memcmp(buffer.data() + pt.DataBufferOffset, records[1].data(), records[1].size()));
    EXPECT_NE(PrimaryPath(tape), failing);
    EXPECT_EQ(Ldx()->ulPosition, 2u);
    ASSERT_EQ(Read(tape, &back, 4096), STATUS_SUCCESS);
    EXPECT_EQ(back, records[2]);
}

TEST_F(FailoverTest, FilemarksThatDidNotReachTheTapeAreWrittenOnceOnTheRetry)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    ASSERT_EQ(Write(tape, Block(800, 1)), STATUS_SUCCESS);
    const ULONG failing = PrimaryPath(tape);
    ASSERT_EQ(fabric_->AddFault(Sense(failing, 0x4, 0x08, 0x00, FAB_FORM_ONE_SHOT, 0x10)), STATUS_SUCCESS);
    TAPE_WRITE_MARKS marks{};
    marks.Type = TAPE_FILEMARKS;
    marks.Count = 2;
    ASSERT_EQ(Ioctl(tape, IOCTL_TAPE_WRITE_MARKS, &marks, sizeof marks, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(Drive().Filemarks, 2u);
    EXPECT_EQ(Ldx()->ulPosition, 3u);
    ASSERT_EQ(Write(tape, Block(900, 2)), STATUS_SUCCESS);
    EXPECT_EQ(Drive().Blocks, 2u);
}

TEST_F(FailoverTest, OnePathRetriesAtMostTwiceThenGivesTheRequestsOwnStatus)
{
    Build(1);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    std::vector<UCHAR> first = Block(1000, 1);
    ASSERT_EQ(Write(tape, first), STATUS_SUCCESS);
    ASSERT_EQ(Rewind(tape), STATUS_SUCCESS);

    ASSERT_EQ(fabric_->AddFault(Sense(0, 0x2, 0x04, 0x00, FAB_FORM_UNTIL_CLEARED, kOpRead6)), STATUS_SUCCESS);
    std::vector<UCHAR> back;
    EXPECT_EQ(Read(tape, &back, 4096), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(PathState(0).FaultsFired, 3u) << "the read and two same-path retries";

    // A failure that asks for another path finds none: no retry on the same path.
    ASSERT_EQ(fabric_->ClearFaults(FAB_SCOPE_ALL, 0), STATUS_SUCCESS);
    const ULONG fired = PathState(0).FaultsFired;
    ASSERT_EQ(fabric_->AddFault(Status(0, STATUS_IO_TIMEOUT, FAB_FORM_UNTIL_CLEARED, kOpReadBlockLimits)),
              STATUS_SUCCESS);
    EXPECT_EQ(DriveParams(tape), STATUS_IO_TIMEOUT);
    EXPECT_EQ(PathState(0).FaultsFired, fired + 1);

    ASSERT_EQ(fabric_->ClearFaults(FAB_SCOPE_ALL, 0), STATUS_SUCCESS);
    ASSERT_EQ(Read(tape, &back, 4096), STATUS_SUCCESS);
    EXPECT_EQ(back, first) << "every failed read went back to the start";
}

// ---------------------------------------------------------------------------------------------
// Which failures fail over, and the event that says so
// ---------------------------------------------------------------------------------------------
struct DecisionCase {
    const char *name;
    FabFaultRequest fault; // Index is filled in with the primary path
    NTSTATUS expect;       // STATUS_SUCCESS: failed over and ran on the other path
    const char16_t *text;  // %2 of the event, or null when no event is written
};

TEST_F(FailoverEventsTest, SenseTableAndExemptStatusesDecideAndTheEventSaysWhy)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    const std::vector<DecisionCase> cases = {
        {"NotReady", Sense(0, 0x2, 0x04, 0x00, FAB_FORM_ONE_SHOT, kOpReadBlockLimits), STATUS_SUCCESS,
         u"(SCSI CHECK 2/4/0)"},
        {"HardwareError", Sense(0, 0x4, 0x44, 0x00, FAB_FORM_ONE_SHOT, kOpReadBlockLimits), STATUS_SUCCESS,
         u"(SCSI CHECK 4/44/0)"},
        {"AbortedCommand", Sense(0, 0xB, 0x4E, 0x00, FAB_FORM_ONE_SHOT, kOpReadBlockLimits), STATUS_SUCCESS,
         u"(SCSI CHECK B/4E/0)"},
        {"LogicalUnitNotSupported", Sense(0, 0x5, 0x25, 0x00, FAB_FORM_ONE_SHOT, kOpReadBlockLimits), STATUS_SUCCESS,
         u"(SCSI CHECK 5/25/0)"},
        {"TransportTimeout", Status(0, STATUS_IO_TIMEOUT, FAB_FORM_ONE_SHOT, kOpReadBlockLimits), STATUS_SUCCESS,
         u"(NTSTATUS 0xC00000B5)"},
        {"Asc10", Sense(0, 0x3, 0x10, 0x00, FAB_FORM_ONE_SHOT, kOpReadBlockLimits), STATUS_DEVICE_DATA_ERROR, nullptr},
        {"Ascq1", Sense(0, 0x3, 0x11, 0x01, FAB_FORM_ONE_SHOT, kOpReadBlockLimits), STATUS_DEVICE_DATA_ERROR, nullptr},
        {"ExemptIllegalRequest", Sense(0, 0x5, 0x24, 0x00, FAB_FORM_ONE_SHOT, kOpReadBlockLimits),
         STATUS_INVALID_DEVICE_REQUEST, nullptr},
        {"NoMedia", Status(0, STATUS_NO_MEDIA_IN_DEVICE, FAB_FORM_ONE_SHOT, kOpReadBlockLimits),
         STATUS_NO_MEDIA_IN_DEVICE, nullptr},
    };
    wchar_t code[16];
    swprintf(code, 16, L"0x%X", (unsigned)IOCTL_TAPE_GET_DRIVE_PARAMS);
    const std::u16string codeText(code, code + wcslen(code));
    for (const DecisionCase &c : cases) {
        SCOPED_TRACE(c.name);
        hk::ClearEventLog();
        const ULONG primary = PrimaryPath(tape);
        const ULONG other = 1 - primary;
        const ULONG otherBefore = PathState(other).CommandsSeen;
        FabFaultRequest fault = c.fault;
        fault.Index = primary;
        ASSERT_EQ(fabric_->AddFault(fault), STATUS_SUCCESS);
        EXPECT_EQ(DriveParams(tape), c.expect);
        EXPECT_EQ(PathState(primary).RuleCount, 0u) << "the fault fired";
        const std::vector<hk::EventRecord> events = FailoverEvents();
        if (c.text) {
            EXPECT_EQ(PrimaryPath(tape), other);
            EXPECT_GT(PathState(other).CommandsSeen, otherBefore);
            ASSERT_EQ(events.size(), 1u);
            ASSERT_EQ(events[0].strings.size(), 2u);
            EXPECT_EQ(events[0].strings[0], c.text);
            EXPECT_EQ(events[0].strings[1], codeText);
        } else {
            EXPECT_EQ(PrimaryPath(tape), primary);
            EXPECT_EQ(PathState(other).CommandsSeen, otherBefore) << "failed over";
            EXPECT_TRUE(events.empty());
        }
    }

    // Reads and writes name control code 0.
    hk::ClearEventLog();
    const ULONG primary = PrimaryPath(tape);
    ASSERT_EQ(fabric_->AddFault(Sense(primary, 0xB, 0x00, 0x00, FAB_FORM_ONE_SHOT, kOpWrite6)), STATUS_SUCCESS);
    EXPECT_EQ(Write(tape, Block(100, 9)), STATUS_SUCCESS);
    const std::vector<hk::EventRecord> events = FailoverEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].strings.at(1), u"0x0");
    EXPECT_NE(events[0].text.find(u"received status (SCSI CHECK B/0/0) on IOCTL 0x0"), std::u16string::npos);
}

TEST_F(FailoverTest, NoFailoverEventWithoutTheSetting)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    const ULONG primary = PrimaryPath(tape);
    ASSERT_EQ(fabric_->AddFault(Sense(primary, 0x4, 0x00, 0x00, FAB_FORM_ONE_SHOT, kOpReadBlockLimits)),
              STATUS_SUCCESS);
    EXPECT_EQ(DriveParams(tape), STATUS_SUCCESS);
    EXPECT_NE(PrimaryPath(tape), primary);
    EXPECT_TRUE(FailoverEvents().empty());
}

// ---------------------------------------------------------------------------------------------
// Position tracking: what the bus believes is where the drive is
// ---------------------------------------------------------------------------------------------
TEST_F(FailoverTest, TrackedPositionFollowsTheDriveThroughMovingRequests)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    for (UCHAR i = 0; i < 6; i++)
        ASSERT_EQ(Write(tape, Block(400 + i, i)), STATUS_SUCCESS);
    TAPE_WRITE_MARKS mark{TAPE_FILEMARKS, 1, FALSE};
    ASSERT_EQ(Ioctl(tape, IOCTL_TAPE_WRITE_MARKS, &mark, sizeof mark, nullptr, 0), STATUS_SUCCESS);
    ASSERT_EQ(Write(tape, Block(500, 9)), STATUS_SUCCESS);

    auto setPosition = [&](ULONG method, LONGLONG offset) {
        TAPE_SET_POSITION position{};
        position.Method = method;
        position.Offset.QuadPart = offset;
        return Ioctl(tape, IOCTL_TAPE_SET_POSITION, &position, sizeof position, nullptr, 0);
    };
    struct Step {
        const char *name;
        std::function<NTSTATUS()> run;
        bool known; // the bus still knows the position afterwards
    };
    std::vector<UCHAR> back;
    const std::vector<Step> steps = {
        {"Rewind", [&] { return Rewind(tape); }, true},
        {"LocateLogicalBlock", [&] { return setPosition(TAPE_LOGICAL_BLOCK, 3); }, true},
        {"SpaceForward", [&] { return setPosition(TAPE_SPACE_RELATIVE_BLOCKS, 2); }, true},
        {"SpaceBackward", [&] { return setPosition(TAPE_SPACE_RELATIVE_BLOCKS, -4); }, true},
        {"Read", [&] { return Read(tape, &back, 4096); }, true},
        {"PrivateLocateBlock",
         [&] {
             UCHAR record[12] = {};
             record[8] = 5;
             return Ioctl(tape, 0x001FE09C, record, sizeof record, nullptr, 0);
         },
         true},
        {"PrivateLocateFile",
         [&] {
             UCHAR record[12] = {1};
             record[8] = 1;
             return Ioctl(tape, 0x001FE0C0, record, sizeof record, nullptr, 0);
         },
         true},
        {"SpaceFilemarksBack", [&] { return setPosition(TAPE_SPACE_FILEMARKS, -1); }, true},
        {"VerifyOneBlock",
         [&] {
             EXPECT_EQ(setPosition(TAPE_LOGICAL_BLOCK, 2), STATUS_SUCCESS);
             UCHAR record[8] = {};
             record[4] = 402 & 0xFF; // variable blocks: the count is the block's length
             record[5] = 402 >> 8;
             return Ioctl(tape, 0x001F60A8, record, sizeof record, nullptr, 0);
         },
         true},
        {"SpaceToEndOfData", [&] { return setPosition(TAPE_SPACE_END_OF_DATA, 0); }, true},
        {"VerifyToEndOfData",
         [&] {
             UCHAR record[8] = {0x20};
             EXPECT_EQ(Rewind(tape), STATUS_SUCCESS);
             // Succeeding or stopping at the end of data, the drive alone knows where it ends.
             Ioctl(tape, 0x001F60A8, record, sizeof record, nullptr, 0);
             return STATUS_SUCCESS;
         },
         false},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        NTSTATUS status = step.run();
        EXPECT_TRUE(NT_SUCCESS(status)) << std::hex << status;
        EXPECT_EQ(Ldx()->fPositionKnown != 0, step.known);
        if (Ldx()->fPositionKnown)
            EXPECT_EQ(Ldx()->ulPosition, Drive().Position);
    }
}

// ---------------------------------------------------------------------------------------------
// A path that goes away
// ---------------------------------------------------------------------------------------------
TEST_F(FailoverTest, PulledPrimaryKeepsTheTapeInOrderAndTheSettingsFollow)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    ASSERT_EQ(SetBlockSize(tape, 512), STATUS_SUCCESS);
    UCHAR settingA[6] = {0x01, 0x01, 0, 0, 0, 0}; // incorrect-length reports suppressed, in force
    ASSERT_EQ(Ioctl(tape, kSetSettingA, settingA, sizeof settingA, nullptr, 0), STATUS_SUCCESS);
    UCHAR settingB = 1; // early warning completes with success
    ASSERT_EQ(Ioctl(tape, kSetSettingB, &settingB, 1, nullptr, 0), STATUS_SUCCESS);
    ASSERT_EQ(Prepare(tape, TAPE_LOCK), STATUS_SUCCESS);

    std::vector<std::vector<UCHAR>> records;
    for (UCHAR i = 0; i < 3; i++) {
        records.push_back(Block(1024, i));
        ASSERT_EQ(Write(tape, records.back()), STATUS_SUCCESS);
    }
    const ULONG pulled = PrimaryPath(tape);
    ASSERT_EQ(fabric_->PullPath(pulled), STATUS_SUCCESS);
    hk::WaitPnpIdle();
    for (UCHAR i = 3; i < 6; i++) {
        records.push_back(Block(1024, i));
        ULONG written = 0;
        ASSERT_EQ(Write(tape, records.back(), &written), STATUS_SUCCESS) << "record " << (int)i;
        EXPECT_EQ(written, 1024u);
    }
    EXPECT_NE(PrimaryPath(tape), pulled);

    // The settings are the new path's own: they were put there when the request moved.
    UCHAR a[6] = {};
    ULONG returned = 0;
    ASSERT_EQ(Ioctl(tape, kGetSettingA, nullptr, 0, a, sizeof a, &returned), STATUS_SUCCESS);
    EXPECT_EQ(0, memcmp(a, settingA, sizeof a));
    UCHAR b[8] = {};
    ASSERT_EQ(Ioctl(tape, kGetSettingB, nullptr, 0, b, sizeof b), STATUS_SUCCESS);
    EXPECT_EQ(b[0], 1);
    EXPECT_FALSE(NT_SUCCESS(Prepare(tape, TAPE_UNLOAD))) << "the medium lock was not applied on the new path";
    TAPE_GET_MEDIA_PARAMETERS media{};
    ASSERT_EQ(Ioctl(tape, IOCTL_TAPE_GET_MEDIA_PARAMS, nullptr, 0, &media, sizeof media), STATUS_SUCCESS);
    EXPECT_EQ(media.BlockSize, 512u);
    ASSERT_EQ(Prepare(tape, TAPE_UNLOCK), STATUS_SUCCESS);

    EXPECT_EQ(Drive().Blocks, 12u);
    ExpectTape(tape, records);
}

TEST_F(FailoverTest, UnitAttentionForgetsThePosition)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    std::vector<UCHAR> a = Block(500, 1), b = Block(600, 2);
    ASSERT_EQ(Write(tape, a), STATUS_SUCCESS);
    EXPECT_TRUE(Ldx()->fPositionKnown);
    EXPECT_EQ(Ldx()->ulPosition, 1u);
    const ULONG primary = PrimaryPath(tape);
    ASSERT_EQ(fabric_->AddFault(Sense(primary, 0x6, 0x29, 0x00, FAB_FORM_ONE_SHOT, kOpReadBlockLimits)),
              STATUS_SUCCESS);
    EXPECT_EQ(DriveParams(tape), STATUS_SUCCESS) << "a reset status fails over";
    EXPECT_FALSE(Ldx()->fPositionKnown);
    EXPECT_FALSE(Ldx()->fAtBeginning);
    // The next write learns the position from the drive first.
    ASSERT_EQ(Write(tape, b), STATUS_SUCCESS);
    EXPECT_TRUE(Ldx()->fPositionKnown);
    EXPECT_EQ(Ldx()->ulPosition, 2u);
    ExpectTape(tape, {a, b});
}

TEST_F(FailoverTest, MediumRemovalRequestAtTheBeginningEndsTheRequest)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    ASSERT_EQ(Write(tape, Block(500, 1)), STATUS_SUCCESS);
    ASSERT_EQ(Rewind(tape), STATUS_SUCCESS);
    ASSERT_TRUE(Ldx()->fAtBeginning);
    // At the beginning of the tape an operator's removal request ends the request, unsent
    // elsewhere: the cartridge may be on its way out.
    const ULONG primary = PrimaryPath(tape);
    ASSERT_EQ(fabric_->AddFault(Sense(primary, 0x6, 0x5A, 0x01, FAB_FORM_ONE_SHOT, kOpReadBlockLimits)),
              STATUS_SUCCESS);
    EXPECT_EQ(DriveParams(tape), STATUS_IO_DEVICE_ERROR);
    EXPECT_FALSE(Ldx()->fPositionKnown);
    EXPECT_EQ(PrimaryPath(tape), primary) << "no failover";

    // Not known to be at the beginning (a new handle), it only makes the position unknown; the
    // request goes on, on the other path.
    Close(tape);
    tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    std::vector<UCHAR> back;
    ASSERT_EQ(Read(tape, &back, 4096), STATUS_SUCCESS);
    ASSERT_TRUE(Ldx()->fPositionKnown);
    ASSERT_FALSE(Ldx()->fAtBeginning);
    ASSERT_EQ(fabric_->AddFault(Sense(primary, 0x6, 0x5A, 0x01, FAB_FORM_ONE_SHOT, kOpReadBlockLimits)),
              STATUS_SUCCESS);
    EXPECT_EQ(DriveParams(tape), STATUS_SUCCESS);
    EXPECT_NE(PrimaryPath(tape), primary);
    if (Ldx()->fPositionKnown)
        EXPECT_EQ(Ldx()->ulPosition, Drive().Position) << "learnt again from the drive, not kept";
}

// Commands sent through pass-through are tracked from their command bytes.
TEST_F(FailoverTest, PassThroughCommandsAreTrackedFromTheirCommandBytes)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    for (UCHAR i = 0; i < 6; i++)
        ASSERT_EQ(Write(tape, Block(400 + i, i)), STATUS_SUCCESS);
    TAPE_WRITE_MARKS mark{TAPE_FILEMARKS, 1, FALSE};
    ASSERT_EQ(Ioctl(tape, IOCTL_TAPE_WRITE_MARKS, &mark, sizeof mark, nullptr, 0), STATUS_SUCCESS);
    ASSERT_EQ(Write(tape, Block(500, 9)), STATUS_SUCCESS);

    std::vector<UCHAR> data;
    struct Step {
        const char *name;
        std::function<NTSTATUS()> run;
        ULONG position; // where the drive and the bus must agree the tape is
    };
    const std::vector<Step> steps = {
        {"Locate16Block", [&] { return PassThrough(tape, {0x92, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0}, SCSI_IOCTL_DATA_UNSPECIFIED); }, 4},
        {"Read6",
         [&] {
             data.assign(404, 0);
             return PassThrough(tape, {0x08, 0, 0, 0x01, 0x94, 0}, SCSI_IOCTL_DATA_IN, &data);
         },
         5},
        {"ReadReverse6",
         [&] {
             data.assign(404, 0);
             return PassThrough(tape, {0x0F, 0, 0, 0x01, 0x94, 0}, SCSI_IOCTL_DATA_IN, &data);
         },
         4},
        // Destination type 1 names a file, not a block: the bus asks the drive where it ended.
        {"Locate16File", [&] { return PassThrough(tape, {0x92, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}, SCSI_IOCTL_DATA_UNSPECIFIED); }, 7},
        {"Locate10", [&] { return PassThrough(tape, {0x2B, 0, 0, 0, 0, 0, 2, 0, 0, 0}, SCSI_IOCTL_DATA_UNSPECIFIED); }, 2},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        EXPECT_EQ(step.run(), STATUS_SUCCESS);
        EXPECT_EQ(Drive().Position, step.position);
        EXPECT_TRUE(Ldx()->fPositionKnown);
        EXPECT_EQ(Ldx()->ulPosition, Drive().Position);
    }
    std::vector<UCHAR> reversed = Block(404, 4);
    std::reverse(reversed.begin(), reversed.end());
    EXPECT_EQ(data, reversed) << "read backwards, block 4 comes back last byte first";

    // A MODE SELECT whose block descriptor names another block length: the bus learns it.
    std::vector<UCHAR> select = {0, 0, 0x10, 8, 0, 0, 0, 0, 0, 0x00, 0x02, 0x00};
    EXPECT_EQ(PassThrough(tape, {0x15, 0x10, 0, 0, (UCHAR)select.size(), 0}, SCSI_IOCTL_DATA_OUT, &select), STATUS_SUCCESS);
    EXPECT_EQ(Drive().BlockSize, 512u);
    EXPECT_EQ(Ldx()->ulBlockSize, 512u);
}

// Each path's class driver keeps its own idea of the drive's block mode. A path that a failed
// attempt could not bring into the logical device's block size must learn it before its next
// transfer; otherwise a fixed-block write goes down it as one variable block of the whole length.
TEST_F(FailoverTest, PathThatFailedToTakeTheBlockSizeLearnsItBeforeTheNextTransfer)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    // Both paths learn variable blocks: a write on the first, then one on the second.
    ASSERT_EQ(SetBlockSize(tape, 0), STATUS_SUCCESS);
    ASSERT_EQ(Write(tape, Block(700, 1)), STATUS_SUCCESS);
    const ULONG first = PrimaryPath(tape);
    const ULONG second = first ^ 1;
    Break(first);
    ASSERT_EQ(Write(tape, Block(800, 2)), STATUS_SUCCESS);
    ASSERT_EQ(fabric_->ClearFaults(FAB_SCOPE_ALL, 0), STATUS_SUCCESS);

    // Fixed blocks from now on, set through the second path only. Then the requests move back to
    // the first path, where bringing the block size over fails once.
    ASSERT_EQ(SetBlockSize(tape, 1024), STATUS_SUCCESS);
    const ULONG fired = PathState(first).FaultsFired;
    ASSERT_EQ(fabric_->AddFault(Sense(first, 0x5, 0x24, 0x00, FAB_FORM_ONE_SHOT, kOpModeSense6)), STATUS_SUCCESS);
    Break(second);
    EXPECT_FALSE(NT_SUCCESS(Write(tape, Block(2048, 3))));
    EXPECT_EQ(PathState(first).FaultsFired, fired + 1);

    const ULONG64 before = Drive().Blocks;
    ULONG written = 0;
    ASSERT_EQ(Write(tape, Block(7168, 4), &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 7168u);
    EXPECT_EQ(Drive().Blocks, before + 7) << "the write went down as a single variable block";
}

TEST_F(FailoverTest, ShortBlockReadInFixedModeLeavesNoGapInAResumedWrite)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    // A 512-byte block written in variable mode, then the drive goes to 1024-byte blocks.
    ASSERT_EQ(SetBlockSize(tape, 0), STATUS_SUCCESS);
    std::vector<UCHAR> small = Block(512, 1);
    ASSERT_EQ(Write(tape, small), STATUS_SUCCESS);
    ASSERT_EQ(Rewind(tape), STATUS_SUCCESS);
    ASSERT_EQ(SetBlockSize(tape, 1024), STATUS_SUCCESS);
    // Reading it as a 1024-byte block gives its 512 bytes and leaves the tape after it.
    std::vector<UCHAR> back;
    ASSERT_TRUE(NT_SUCCESS(Read(tape, &back, 1024)));
    ASSERT_EQ(back, small);
    ASSERT_EQ(Drive().Position, 1u);

    // A write from there fails after 3 of its 8 blocks and resumes on the other path.
    const ULONG failing = PrimaryPath(tape);
    FabFaultRequest partial = Fault(failing, FAB_FAULT_WRITE_AFTER_BLOCKS, FAB_FORM_ONE_SHOT);
    partial.BlocksWritten = 3;
    partial.SenseKey = 0xB;
    ASSERT_EQ(fabric_->AddFault(partial), STATUS_SUCCESS);
    Break(failing);
    std::vector<UCHAR> big = Block(8 * 1024, 2);
    ULONG written = 0;
    EXPECT_EQ(Write(tape, big, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, big.size());

    ASSERT_EQ(fabric_->ClearFaults(FAB_SCOPE_ALL, 0), STATUS_SUCCESS);
    EXPECT_EQ(Drive().Blocks, 9u) << "a block skipped or written twice";
    ASSERT_EQ(Rewind(tape), STATUS_SUCCESS);
    ASSERT_TRUE(NT_SUCCESS(Read(tape, &back, 1024)));
    for (ULONG i = 0; i < 8; i++) {
        ASSERT_EQ(Read(tape, &back, 1024), STATUS_SUCCESS) << "block " << i;
        EXPECT_TRUE(std::equal(back.begin(), back.end(), big.begin() + i * 1024)) << "block " << i;
    }
}

// Restores on two drives at the same moment: one drive's restore in progress must not make the
// other skip its own, or the other goes on without its settings (here: the medium lock) on its
// new path.
TEST_F(FailoverTest, ARestoreOnOneDriveDoesNotKeepAnotherFromItsSettings)
{
    vyr::sim::Topology topology;
    topology.drives = 2;
    topology.pathsPerDrive = 2;
    topology.ports = 2;
    ASSERT_EQ(fabric_->Build(topology), STATUS_SUCCESS);
    HANDLE tape0 = Open("\\\\.\\Tape0"), tape1 = Open("\\\\.\\Tape1");
    ASSERT_NE(tape0, hk::INVALID_HANDLE);
    ASSERT_NE(tape1, hk::INVALID_HANDLE);
    ASSERT_EQ(Write(tape0, Block(700, 1)), STATUS_SUCCESS);
    ASSERT_EQ(Write(tape1, Block(700, 2)), STATUS_SUCCESS);
    ASSERT_EQ(Prepare(tape0, TAPE_LOCK), STATUS_SUCCESS);
    const FabPathEntry primary0 = PathState(PrimaryPath(tape0, "Tape0"));
    const FabPathEntry primary1 = PathState(PrimaryPath(tape1, "Tape1"));
    ASSERT_NE(primary0.DriveIndex, primary1.DriveIndex);
    ULONG next1 = ~0u;
    std::vector<FabPathEntry> paths;
    ASSERT_EQ(fabric_->QueryTopology(nullptr, &paths), STATUS_SUCCESS);
    for (const FabPathEntry &p : paths)
        if (p.DriveIndex == primary1.DriveIndex && p.Index != primary1.Index)
            next1 = p.Index;
    ASSERT_NE(next1, ~0u);

    // Tape1 moves to its other path and stops in its restore, at the medium lock.
    ASSERT_EQ(Prepare(tape1, TAPE_LOCK), STATUS_SUCCESS);
    ASSERT_EQ(fabric_->AddFault(Fault(next1, FAB_FAULT_HOLD, FAB_FORM_ONE_SHOT, kOpPreventAllow)), STATUS_SUCCESS);
    ASSERT_EQ(fabric_->PullPath(primary1.Index), STATUS_SUCCESS);
    hk::WaitPnpIdle();
    NTSTATUS heldStatus = STATUS_PENDING;
    std::thread restoring([&] { heldStatus = DriveParams(tape1); });
    ASSERT_EQ(fabric_->WaitHeld(1), STATUS_SUCCESS);

    // Meanwhile Tape0's primary goes away, and with its nexus the drive forgets that path's lock.
    ASSERT_EQ(fabric_->PullPath(primary0.Index), STATUS_SUCCESS);
    hk::WaitPnpIdle();
    EXPECT_EQ(DriveParams(tape0), STATUS_SUCCESS);
    EXPECT_NE(PrimaryPath(tape0, "Tape0"), primary0.Index);
    EXPECT_FALSE(NT_SUCCESS(fabric_->DriveControl(primary0.DriveIndex, FAB_DRIVE_UNLOAD, 0)))
        << "the lock was not restored on the new path";

    ASSERT_EQ(fabric_->ClearFaults(FAB_SCOPE_ALL, 0), STATUS_SUCCESS);
    restoring.join();
    EXPECT_EQ(heldStatus, STATUS_SUCCESS);
    ASSERT_EQ(Prepare(tape1, TAPE_UNLOCK), STATUS_SUCCESS);
    ASSERT_EQ(Prepare(tape0, TAPE_UNLOCK), STATUS_SUCCESS);
    EXPECT_EQ(fabric_->DriveControl(primary0.DriveIndex, FAB_DRIVE_UNLOAD, 0), STATUS_SUCCESS);
}

} // namespace
} // namespace vyr::test
