// Requests on a logical device sent over its primary path, on the whole stack: data through
// \\.\Tape0, the codes the bus answers itself, pass-through structures checked before they reach
// a drive, and exclusive access across the logical device and its path devices.
#include "test_io_fixture.h"

namespace vyr::test {
namespace {

constexpr ULONG kStatusTableTag = VyrPoolTag("BUSh");

class IoTest : public TapeStackTest {
protected:
    // Commands the fabric counted on every path since the start.
    ULONG CommandsSeen()
    {
        std::vector<FabPathEntry> paths;
        EXPECT_EQ(fabric_->QueryTopology(nullptr, &paths), STATUS_SUCCESS);
        ULONG n = 0;
        for (const FabPathEntry &p : paths)
            n += p.CommandsSeen;
        return n;
    }
};

TEST_F(IoTest, BlocksWrittenThroughTape0ReadBackUnchanged)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE) << std::hex << app_->LastStatus();
    const std::vector<size_t> sizes = {1, 512, 4096, 65536, 777};
    for (size_t i = 0; i < sizes.size(); i++) {
        ULONG written = 0;
        ASSERT_EQ(Write(tape, Block(sizes[i], (UCHAR)i), &written), STATUS_SUCCESS) << "block " << i;
        EXPECT_EQ(written, sizes[i]);
    }
    ASSERT_EQ(Rewind(tape), STATUS_SUCCESS);
    for (size_t i = 0; i < sizes.size(); i++) {
        std::vector<UCHAR> back;
        ASSERT_EQ(Read(tape, &back, 128 * 1024), STATUS_SUCCESS) << "block " << i;
        EXPECT_EQ(back, Block(sizes[i], (UCHAR)i)) << "block " << i;
    }
    FabDriveState state{};
    ASSERT_EQ(fabric_->QueryDrive(0, &state), STATUS_SUCCESS);
    EXPECT_EQ(state.Blocks, sizes.size());
    EXPECT_EQ(BusPool(kStatusTableTag), 0u);
}

TEST_F(IoTest, GetAddressAndKeyRequestAreAnsweredByTheBus)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    ULONG before = CommandsSeen();

    UCHAR address[9] = {};
    ULONG returned = 0;
    ASSERT_EQ(Ioctl(tape, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, address, sizeof address, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 8u);
    VyrScsiAddress a;
    memcpy(&a, address, sizeof a);
    // Build puts path p of the drive on port p % 2, path id p / 2, target 0, logical unit 0.
    EXPECT_LE(a.PortNumber, 1);
    EXPECT_EQ(a.PathId, 0);
    EXPECT_EQ(a.TargetId, 0);
    EXPECT_EQ(a.Lun, 0);
    EXPECT_EQ(Ioctl(tape, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, address, 7, &returned), STATUS_INFO_LENGTH_MISMATCH);

    KeyRequestBlock key{};
    key.ulType = 1;
    EXPECT_EQ(Ioctl(tape, IOCTL_TPBUS_KEY_REQUEST, &key, sizeof key, &key, sizeof key - 1),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(Ioctl(tape, IOCTL_TPBUS_KEY_REQUEST, &key, sizeof key, &key, sizeof key, &returned),
              STATUS_INVALID_DEVICE_REQUEST) << "the drive does not manage keys";
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(CommandsSeen(), before) << "none of these reaches a drive";
}

TEST_F(IoTest, UnsupportedMajorFunctionIsRefused)
{
    Build(1);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(app_->NtSendMajor(tape, IRP_MJ_FLUSH_BUFFERS, &iosb), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(app_->NtSendMajor(tape, IRP_MJ_QUERY_INFORMATION, &iosb), STATUS_NOT_IMPLEMENTED);
}

// ---------------------------------------------------------------------------------------------
// Pass-through
// ---------------------------------------------------------------------------------------------
constexpr ULONG kSptSize = sizeof(SCSI_PASS_THROUGH);
constexpr ULONG kSense = 32;
constexpr ULONG kData = 96;

// A buffered INQUIRY: structure, sense at 56, data at 88.
std::vector<UCHAR> Inquiry(ULONG total)
{
    std::vector<UCHAR> buffer(total, 0);
    SCSI_PASS_THROUGH pt{};
    pt.Length = kSptSize;
    pt.CdbLength = 6;
    pt.SenseInfoLength = kSense;
    pt.DataIn = SCSI_IOCTL_DATA_IN;
    pt.DataTransferLength = kData;
    pt.DataBufferOffset = kSptSize + kSense;
    pt.SenseInfoOffset = kSptSize;
    pt.Cdb[0] = 0x12;
    pt.Cdb[4] = kData;
    memcpy(buffer.data(), &pt, sizeof pt);
    return buffer;
}

struct BadPassThrough {
    const char *name;
    std::function<void(SCSI_PASS_THROUGH &)> change;
    ULONG in, out; // 0: the whole buffer
    NTSTATUS expect;
};

TEST_F(IoTest, PassThroughStructuresAreCheckedBeforeAnythingIsSent)
{
    Build(1);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    const ULONG total = kSptSize + kSense + kData;
    const std::vector<BadPassThrough> cases = {
        {"UnknownStructureLength", [](SCSI_PASS_THROUGH &p) { p.Length = 48; }, 0, 0, STATUS_INFO_LENGTH_MISMATCH},
        // Read as the 32-bit layout, the 64-bit structure's offsets point outside its buffers.
        {"ThirtyTwoBitLayout", [](SCSI_PASS_THROUGH &p) { p.Length = 44; }, 0, 0, STATUS_INVALID_PARAMETER},
        {"InputShorterThanTheStructure", [](SCSI_PASS_THROUGH &) {}, 40, 0, STATUS_BUFFER_TOO_SMALL},
        {"OutputShorterThanTheStructure", [](SCSI_PASS_THROUGH &) {}, 0, 40, STATUS_INVALID_PARAMETER},
        {"CommandTooLong", [](SCSI_PASS_THROUGH &p) { p.CdbLength = 17; }, 0, 0, STATUS_INVALID_PARAMETER},
        {"NoCommand", [](SCSI_PASS_THROUGH &p) { p.CdbLength = 0; }, 0, 0, STATUS_INVALID_PARAMETER},
        {"SenseInsideTheHeader", [](SCSI_PASS_THROUGH &p) { p.SenseInfoOffset = 8; }, 0, 0, STATUS_INVALID_PARAMETER},
        {"SensePastTheOutput", [](SCSI_PASS_THROUGH &p) { p.SenseInfoOffset = total - 8; }, 0, 0, STATUS_INVALID_PARAMETER},
        {"SenseOffsetHuge", [](SCSI_PASS_THROUGH &p) { p.SenseInfoOffset = 0xFFFFFFF0u; }, 0, 0, STATUS_INVALID_PARAMETER},
        {"DataPastTheOutput", [](SCSI_PASS_THROUGH &p) { p.DataTransferLength = kData + 1; }, 0, 0, STATUS_INVALID_PARAMETER},
        {"DataOffsetWraps", [](SCSI_PASS_THROUGH &p) { p.DataBufferOffset = ~(ULONG_PTR)0 - 8; }, 0, 0, STATUS_INVALID_PARAMETER},
        {"OutgoingDataPastTheInput",
         [](SCSI_PASS_THROUGH &p) {
             p.DataIn = SCSI_IOCTL_DATA_OUT;
             p.Cdb[0] = 0x0A; // WRITE(6): must not reach the tape
         },
         kSptSize + kSense + 10, 0, STATUS_INVALID_PARAMETER},
        {"UnknownDirection", [](SCSI_PASS_THROUGH &p) { p.DataIn = 3; }, 0, 0, STATUS_INVALID_PARAMETER},
    };
    ULONG before = CommandsSeen();
    for (const BadPassThrough &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<UCHAR> buffer = Inquiry(total);
        SCSI_PASS_THROUGH pt;
        memcpy(&pt, buffer.data(), sizeof pt);
        c.change(pt);
        memcpy(buffer.data(), &pt, sizeof pt);
        ULONG returned = 99;
        EXPECT_EQ(Ioctl(tape, IOCTL_SCSI_PASS_THROUGH, buffer.data(), c.in ? c.in : total, buffer.data(),
                        c.out ? c.out : total, &returned),
                  c.expect);
        EXPECT_EQ(returned, 0u);
    }
    EXPECT_EQ(CommandsSeen(), before) << "a refused structure reached the drive";
    FabDriveState state{};
    ASSERT_EQ(fabric_->QueryDrive(0, &state), STATUS_SUCCESS);
    EXPECT_EQ(state.Blocks, 0u);

    // The well-formed one runs and brings its data back.
    std::vector<UCHAR> buffer = Inquiry(total);
    ULONG returned = 0;
    ASSERT_EQ(Ioctl(tape, IOCTL_SCSI_PASS_THROUGH, buffer.data(), total, buffer.data(), total, &returned), STATUS_SUCCESS);
    EXPECT_GE(returned, kSptSize + kSense + 36);
    EXPECT_EQ(buffer[FIELD_OFFSET(SCSI_PASS_THROUGH, ScsiStatus)], 0);
    EXPECT_EQ(buffer[kSptSize + kSense] & 0x1F, 0x01) << "sequential-access device";
}

TEST_F(IoTest, DirectPassThroughUsesTheCallersBufferAndGivesItsAddressBack)
{
    Build(1);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    std::vector<UCHAR> data(kData, 0xEE);
    std::vector<UCHAR> buffer(kSptSize + kSense, 0);
    SCSI_PASS_THROUGH_DIRECT pt{};
    pt.Length = kSptSize;
    pt.CdbLength = 6;
    pt.SenseInfoLength = kSense;
    pt.DataIn = SCSI_IOCTL_DATA_IN;
    pt.DataTransferLength = kData;
    pt.DataBuffer = data.data();
    pt.SenseInfoOffset = kSptSize;
    pt.Cdb[0] = 0x12;
    pt.Cdb[4] = kData;
    memcpy(buffer.data(), &pt, sizeof pt);
    ULONG returned = 0;
    ASSERT_EQ(Ioctl(tape, IOCTL_SCSI_PASS_THROUGH_DIRECT, buffer.data(), (ULONG)buffer.size(), buffer.data(),
                    (ULONG)buffer.size(), &returned),
              STATUS_SUCCESS);
    SCSI_PASS_THROUGH_DIRECT back;
    memcpy(&back, buffer.data(), sizeof back);
    EXPECT_EQ(back.DataBuffer, data.data()) << "the caller's own address comes back";
    EXPECT_EQ(back.ScsiStatus, 0);
    EXPECT_EQ(data[0] & 0x1F, 0x01);
    EXPECT_NE(data[8], 0xEE) << "the vendor identification arrived in the caller's buffer";

    // No data: nothing to lock, the command still runs.
    SCSI_PASS_THROUGH_DIRECT tur{};
    tur.Length = kSptSize;
    tur.CdbLength = 6;
    tur.DataIn = SCSI_IOCTL_DATA_UNSPECIFIED;
    memcpy(buffer.data(), &tur, sizeof tur);
    EXPECT_EQ(Ioctl(tape, IOCTL_SCSI_PASS_THROUGH_DIRECT, buffer.data(), kSptSize, buffer.data(), kSptSize),
              STATUS_SUCCESS);

    // A buffer that cannot be locked fails the request before it is queued; nothing stays locked.
    ULONG before = CommandsSeen();
    pt.DataBuffer = (PVOID)(ULONG_PTR)0x100;
    memcpy(buffer.data(), &pt, sizeof pt);
    EXPECT_EQ(Ioctl(tape, IOCTL_SCSI_PASS_THROUGH_DIRECT, buffer.data(), (ULONG)buffer.size(), buffer.data(),
                    (ULONG)buffer.size()),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(CommandsSeen(), before);
    EXPECT_EQ(BusPool(VyrPoolTag("PDOh")), 0u);
}

// ---------------------------------------------------------------------------------------------
// Exclusive access
// ---------------------------------------------------------------------------------------------
TEST_F(IoTest, ExclusiveAccessCoversTheLogicalDeviceAndItsPathDevices)
{
    machine_->SetServiceDword(vyr::sim::kTapeClassService, "ExclusiveAccess", 1);
    Build(2);
    NTSTATUS status = STATUS_SUCCESS;
    HANDLE tape = Open("\\\\.\\Tape0", &status);
    ASSERT_NE(tape, hk::INVALID_HANDLE) << std::hex << status;
    EXPECT_EQ(Open("\\\\.\\Tape0", &status), hk::INVALID_HANDLE);
    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    for (const char *path : {"\\Device\\VyrTapePath0", "\\Device\\VyrTapePath1"}) {
        EXPECT_EQ(Open(path, &status), hk::INVALID_HANDLE) << path;
        EXPECT_EQ(status, STATUS_ACCESS_DENIED) << path;
    }
    Close(tape);

    HANDLE direct = Open("\\Device\\VyrTapePath1", &status);
    ASSERT_NE(direct, hk::INVALID_HANDLE) << std::hex << status;
    EXPECT_EQ(Open("\\\\.\\Tape0", &status), hk::INVALID_HANDLE);
    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    Close(direct);
    tape = Open("\\\\.\\Tape0", &status);
    EXPECT_NE(tape, hk::INVALID_HANDLE) << std::hex << status;
}

} // namespace
} // namespace vyr::test
