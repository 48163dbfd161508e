// Lifecycle of logical devices on the whole tape stack: paths stopped and started under Plug and
// Play, the bus removed while an application still holds a tape open, and worker threads that
// cannot all be started.
#include "test_io_fixture.h"

namespace vyr::test {
namespace {

// The device node of a path of the fabric, by its SCSI address.
hk::DevNode *PathNode(UCHAR port, UCHAR pathId, UCHAR target, UCHAR lun)
{
    char suffix[32];
    snprintf(suffix, sizeof suffix, "\\%u&%u&%u&%u", port, pathId, target, lun);
    for (const hk::DevNodeInfo &n : hk::DeviceTree()) {
        const std::string &id = n.instanceId;
        if (id.rfind("SCSI\\", 0) == 0 && id.size() > strlen(suffix) &&
            id.compare(id.size() - strlen(suffix), std::string::npos, suffix) == 0)
            return n.node;
    }
    return nullptr;
}

class LifecycleTest : public TapeStackTest {
protected:
    struct PathRow {
        UCHAR port;
        bool available, primary;
    };
    // Tape0's paths from the bus's query, in registration order.
    std::vector<PathRow> Paths()
    {
        std::vector<PathRow> rows;
        HANDLE h = Open("\\\\.\\VYRTpBsDvcLnk");
        std::vector<UCHAR> reply(4096);
        ULONG returned = 0;
        EXPECT_EQ(Ioctl(h, IOCTL_TPBUS_QUERY_PATHS, nullptr, 0, reply.data(), (ULONG)reply.size(), &returned),
                  STATUS_SUCCESS);
        Close(h);
        for (ULONG offset = 4; offset + sizeof(PathInfoEntry) <= returned; offset += sizeof(PathInfoEntry)) {
            PathInfoEntry e;
            memcpy(&e, reply.data() + offset, sizeof e);
            if (strcmp(e.szDeviceName, "Tape0") == 0)
                rows.push_back({e.Address.PortNumber, e.fAvailable != 0, e.fPrimary != 0});
        }
        return rows;
    }
};

TEST_F(LifecycleTest, StoppedPrimaryHandsOverAndIoGoesOnOverTheOtherPath)
{
    Build(2);
    ASSERT_EQ(Paths().size(), 2u);
    EXPECT_TRUE(Paths()[0].primary);

    hk::DevNode *first = PathNode(0, 0, 0, 0);
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(hk::StopDevice(first), STATUS_SUCCESS);
    std::vector<PathRow> rows = Paths();
    ASSERT_EQ(rows.size(), 2u) << "a stopped path stays listed";
    EXPECT_FALSE(rows[0].available);
    EXPECT_FALSE(rows[0].primary);
    EXPECT_TRUE(rows[1].available);
    EXPECT_TRUE(rows[1].primary);

    // An application's data goes over the path that is left, and reads back whole.
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    std::vector<UCHAR> block = Block(32 * 1024, 7), back;
    ULONG written = 0;
    ASSERT_EQ(Write(tape, block, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, block.size());
    ASSERT_EQ(Rewind(tape), STATUS_SUCCESS);
    ASSERT_EQ(Read(tape, &back), STATUS_SUCCESS);
    EXPECT_EQ(back, block);
    Close(tape);

    // Started again, the path is available but the primary stays where it is.
    ASSERT_EQ(hk::StartDevice(first), STATUS_SUCCESS);
    rows = Paths();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(rows[0].available);
    EXPECT_FALSE(rows[0].primary);
    EXPECT_TRUE(rows[1].primary);
}

TEST_F(LifecycleTest, BusRemovedWhileATapeIsOpen)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    ULONG written = 0;
    ASSERT_EQ(Write(tape, Block(4096, 1), &written), STATUS_SUCCESS);

    // The paths go first, as they would when their adapter is removed, then the bus itself.
    fabric_.reset();
    for (const hk::DevNodeInfo &n : hk::DeviceTree())
        if (n.instanceId.rfind("SCSI\\", 0) == 0)
            ASSERT_EQ(hk::RemoveDevice(n.node), STATUS_SUCCESS);
    ASSERT_EQ(hk::RemoveDevice(NodeWithHardwareId("root\\vyrtpbs2k16")), STATUS_SUCCESS);
    hk::WaitPnpIdle();

    // The handle still names the deleted logical device: requests on it fail cleanly and its close
    // reaches a driver that is still loaded; the verifier at shutdown finds nothing left.
    EXPECT_TRUE(NT_ERROR(Write(tape, Block(4096, 2))));
    Close(tape);
    hk::WaitPnpIdle();
    EXPECT_EQ(hk::FindDriver(kBusImage), nullptr) << "the bus driver unloads once its last device object is gone";
}

TEST_F(LifecycleTest, WorkersAlreadyStartedAreStoppedWhenOneCannotStart)
{
    // The third worker thread of the first logical device cannot be created: the device is not
    // created, the two threads already running end, and nothing of the device is left.
    hk::VerifierFaults faults;
    faults.failKind = hk::AllocKind::Thread;
    faults.failKindEnabled = true;
    faults.failNthOfKind = 3;
    faults.onlyDriver = kBusImage;
    hk::SetVerifierFaults(faults);
    Build(1);
    hk::ClearVerifierFaults();

    EXPECT_EQ(hk::InjectedFailureCount(), 1u);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(Open("\\\\.\\Tape0", &status), hk::INVALID_HANDLE);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(BusPool(VYR_TAG_LOGICAL_ENTRY), 0u);
    EXPECT_EQ(BusPool(VYR_TAG_PATH_ENTRY), 0u);
}

} // namespace
} // namespace vyr::test
