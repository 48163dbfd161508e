// The request queue of a logical device on the whole stack: arrival order, internal requests
// that overtake waiting ones, and what removal does to requests.
#include "test_io_fixture.h"

#include <algorithm>

namespace vyr::test {
namespace {

constexpr ULONG kQueueEntryTag = VyrPoolTag("PDOg");

class QueueTest : public TapeStackTest {};

TEST_F(QueueTest, WritesCompleteInArrivalOrderBehindAHeldOne)
{
    Build(1);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    ASSERT_EQ(fabric_->AddFault(HoldWrites(FAB_SCOPE_PATH, 0)), STATUS_SUCCESS);

    const std::vector<std::vector<UCHAR>> blocks = {Block(1000, 1), Block(1500, 2), Block(700, 3), Block(1200, 4)};
    std::vector<NTSTATUS> status(blocks.size(), STATUS_PENDING);
    std::vector<ULONG> written(blocks.size(), 0);
    std::vector<std::thread> writers;
    auto start = [&](size_t i) {
        writers.emplace_back([&, i] { status[i] = Write(tape, blocks[i], &written[i]); });
    };
    start(0);
    ASSERT_EQ(fabric_->WaitHeld(1), STATUS_SUCCESS);
    // Each later write is queued before the next one is sent, so arrival order is known.
    for (size_t i = 1; i < blocks.size(); i++) {
        start(i);
        ASSERT_TRUE(WaitUntil([&] { return BusPool(kQueueEntryTag) == i; })) << "write " << i << " never queued";
    }
    EXPECT_EQ(status[1], STATUS_PENDING) << "a queued write must wait for the one on the drive";
    ASSERT_EQ(fabric_->ReleaseHeld(FAB_SCOPE_ALL, 0), STATUS_SUCCESS);
    for (std::thread &t : writers)
        t.join();
    for (size_t i = 0; i < blocks.size(); i++) {
        EXPECT_EQ(status[i], STATUS_SUCCESS) << "write " << i;
        EXPECT_EQ(written[i], blocks[i].size()) << "write " << i;
    }

    ASSERT_EQ(Rewind(tape), STATUS_SUCCESS);
    for (size_t i = 0; i < blocks.size(); i++) {
        std::vector<UCHAR> back;
        ASSERT_EQ(Read(tape, &back), STATUS_SUCCESS) << "block " << i;
        EXPECT_EQ(back, blocks[i]) << "block " << i << " is not the " << i << "th write";
    }
    EXPECT_EQ(BusPool(kQueueEntryTag), 0u);
}

// A second open while worker 0 is held and a write waits behind it: the create, running in the
// caller's thread, reads the drive's setting B with an internal request. Were it queued behind
// the waiting write it would never come back; it is served at once by the next worker.
TEST_F(QueueTest, InternalRequestOvertakesWaitingWrites)
{
    Build(2);
    HANDLE first = Open();
    ASSERT_NE(first, hk::INVALID_HANDLE);
    ASSERT_EQ(fabric_->AddFault(HoldWrites(FAB_SCOPE_DRIVE, 0)), STATUS_SUCCESS);

    NTSTATUS heldStatus = STATUS_PENDING, waitingStatus = STATUS_PENDING;
    std::thread held([&] { heldStatus = Write(first, Block(800, 7)); });
    ASSERT_EQ(fabric_->WaitHeld(1), STATUS_SUCCESS);
    std::thread waiting([&] { waitingStatus = Write(first, Block(900, 8)); });
    ASSERT_TRUE(WaitUntil([&] { return BusPool(kQueueEntryTag) == 1; }));

    // The second open goes to the other port's path (the one with fewer opens), so the held
    // write's path does not stand in its way.
    std::atomic<bool> opened{false};
    HANDLE second = hk::INVALID_HANDLE;
    NTSTATUS openStatus = STATUS_PENDING;
    std::thread opener([&] {
        second = Open("\\\\.\\Tape0", &openStatus);
        opened = true;
    });
    bool done = WaitUntil([&] { return opened.load(); });
    EXPECT_TRUE(done) << "the create's internal request waited behind the queued write";
    EXPECT_EQ(openStatus, STATUS_SUCCESS);
    EXPECT_EQ(waitingStatus, STATUS_PENDING);
    ULONG stillHeld = 0;
    EXPECT_EQ(fabric_->WaitHeld(0, &stillHeld), STATUS_SUCCESS);
    EXPECT_EQ(stillHeld, 1u);
    EXPECT_EQ(BusPool(kQueueEntryTag), 1u);

    ASSERT_EQ(fabric_->ReleaseHeld(FAB_SCOPE_ALL, 0), STATUS_SUCCESS);
    opener.join();
    held.join();
    waiting.join();
    EXPECT_EQ(heldStatus, STATUS_SUCCESS);
    EXPECT_EQ(waitingStatus, STATUS_SUCCESS);
    ASSERT_EQ(Rewind(second), STATUS_SUCCESS);
    std::vector<UCHAR> back;
    ASSERT_EQ(Read(second, &back), STATUS_SUCCESS);
    EXPECT_EQ(back, Block(800, 7));
    ASSERT_EQ(Read(second, &back), STATUS_SUCCESS);
    EXPECT_EQ(back, Block(900, 8));
}

// Once the logical device is gone its queue is closed: a request on a handle opened before the
// removal is cancelled, and no worker is left behind (the verifier checks threads at shutdown).
TEST_F(QueueTest, RequestsAfterRemovalAreCancelled)
{
    Build(1);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    ASSERT_EQ(Write(tape, Block(512, 1)), STATUS_SUCCESS);
    ASSERT_EQ(fabric_->PullPath(0), STATUS_SUCCESS);
    hk::WaitPnpIdle();

    std::vector<UCHAR> back;
    EXPECT_EQ(Read(tape, &back), STATUS_CANCELLED);
    EXPECT_EQ(Write(tape, Block(512, 2)), STATUS_CANCELLED);
    ULONG address[2] = {};
    EXPECT_EQ(Ioctl(tape, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, address, sizeof address), STATUS_CANCELLED);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(Open("\\\\.\\Tape0", &status), hk::INVALID_HANDLE);
    EXPECT_EQ(BusPool(kQueueEntryTag), 0u);
}

// A write waiting behind a held one when the only path is pulled never reaches a drive: it ends
// without success, and nothing is left queued or locked.
TEST_F(QueueTest, WaitingWriteEndsWhenTheLastPathIsPulled)
{
    Build(1);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    ASSERT_EQ(fabric_->AddFault(HoldWrites(FAB_SCOPE_PATH, 0)), STATUS_SUCCESS);
    NTSTATUS heldStatus = STATUS_PENDING, waitingStatus = STATUS_PENDING;
    std::thread held([&] { heldStatus = Write(tape, Block(600, 1)); });
    ASSERT_EQ(fabric_->WaitHeld(1), STATUS_SUCCESS);
    std::thread waiting([&] { waitingStatus = Write(tape, Block(600, 2)); });
    ASSERT_TRUE(WaitUntil([&] { return BusPool(kQueueEntryTag) == 1; }));

    ASSERT_EQ(fabric_->PullPath(0), STATUS_SUCCESS);
    held.join();
    waiting.join();
    hk::WaitPnpIdle();
    EXPECT_EQ(heldStatus, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(NT_ERROR(waitingStatus)) << std::hex << waitingStatus;
    FabDriveState state{};
    ASSERT_EQ(fabric_->QueryDrive(0, &state), STATUS_SUCCESS);
    EXPECT_EQ(state.Blocks, 0u);
    EXPECT_EQ(BusPool(kQueueEntryTag), 0u);
}

} // namespace
} // namespace vyr::test
