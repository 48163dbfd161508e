// The changer path filter and the changer bus enumerator together, on root devices served by the
// changer class stand-in: what a path registers with, what reaches the class driver, and what an
// application's direct open of a path does.
#include "changer_fixture.h"

#include <algorithm>

namespace vyr::test {
namespace {

class ChangerPathTest : public ChangerTest {
protected:
    void SetUp() override
    {
        ChangerTest::SetUp();
        StartBus({{"FailoverEventsEnabled", 1}});
        machine_->InstallDriverImage(kChangerFilter);
        machine_->InstallService(kChangerFilter);
    }

    // A changer path: a root device of the stand-in with the changer filter above it. The
    // stand-in record `index` must be set up first. The port driver's device map key of its
    // address is there, as on a real host.
    hk::DevNode *AddPath(int index)
    {
        hk::RegCreateKey(DeviceMapKey(index));
        hk::DevNode *node = AddRootDevice("root\\cgpath" + std::to_string(index), kStub, {kChangerFilter});
        EXPECT_NE(node, nullptr);
        if (node)
            EXPECT_EQ(hk::StartDevice(node), STATUS_SUCCESS);
        return node;
    }

    static bool TraceHas(const std::string &text)
    {
        std::vector<std::string> lines = hk::DebugOutput();
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string &l) { return l.find(text) != std::string::npos; });
    }
};

TEST_F(ChangerPathTest, PathsRegisterAndRequestsReachTheClassDriverUntouched)
{
    AddPath(0);
    AddPath(1);
    std::vector<PathInfoEntry> entries = Query();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_STREQ(entries[0].szDeviceName, "Changer0");
    EXPECT_STREQ(entries[1].szDeviceName, "Changer0");
    EXPECT_EQ(entries[0].fFailover, 1);
    EXPECT_EQ(std::string(entries[0].szSerialNumber, 11), "CHANGER0001");
    EXPECT_EQ(entries[0].fPrimary + entries[1].fPrimary, 1);
    EXPECT_EQ(paths_[0].tableHandOvers, 1);
    EXPECT_EQ(paths_[1].tableHandOvers, 1);
    EXPECT_TRUE(TraceHas("VYRCgrFlt"));

    // A MOVE MEDIUM while the primary path fails completes on the other one.
    const int primary = entries[0].fPrimary ? 0 : 1;
    const int other = 1 - primary;
    paths_[primary].result = kStatusIoDeviceError;
    auto process = hk::Process::Create("app");
    HANDLE h = process->CreateFile("\\\\.\\Changer0");
    ASSERT_NE(h, hk::INVALID_HANDLE);
    uint8_t in[20] = {};
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(process->NtDeviceIoControlFile(h, kIoctlChangerMoveMedium, in, sizeof in, nullptr, 0, &iosb),
              STATUS_SUCCESS);
    EXPECT_EQ(paths_[primary].requests, 1);
    EXPECT_EQ(paths_[other].requests, 1);
    EXPECT_EQ(paths_[other].lastCode, kIoctlChangerMoveMedium);
    EXPECT_EQ(paths_[other].lastInLength, sizeof in); // the filter passed it on as the bus sent it
    // The changer's opens never reached a path.
    EXPECT_EQ(paths_[0].creates + paths_[1].creates, 0);
    ASSERT_EQ(EventsWithId(kEventFailoverAttempt).size(), 1u);
    process->CloseHandle(h);
}

TEST_F(ChangerPathTest, PathWhoseSerialProbeFailsRegistersAlone)
{
    // One probe fails at once, the other only after it went pending: both are failures.
    paths_[0].serialFailure = CG_STUB_SERIAL_FAILS;
    paths_[1].serialFailure = CG_STUB_SERIAL_FAILS_LATE;
    AddPath(0);
    AddPath(1);
    std::vector<PathInfoEntry> entries = Query();
    ASSERT_EQ(entries.size(), 2u);
    const char empty[32] = {};
    for (const PathInfoEntry &e : entries) {
        EXPECT_EQ(e.fFailover, 0);
        EXPECT_EQ(memcmp(e.szSerialNumber, empty, sizeof empty), 0);
        EXPECT_EQ(e.fAvailable, 1);
    }
    // Without failover the two paths are two changers, even with equal (empty) serial numbers.
    EXPECT_STREQ(entries[0].szDeviceName, "Changer0");
    EXPECT_STREQ(entries[1].szDeviceName, "Changer1");
}

TEST_F(ChangerPathTest, DirectOpenOfAPathSendsNothingToTheBus)
{
    AddPath(0);
    hk::ClearDebugOutput();
    auto process = hk::Process::Create("app");
    HANDLE h = process->CreateFile("\\\\.\\CgStubPath0");
    ASSERT_NE(h, hk::INVALID_HANDLE) << std::hex << process->LastStatus();
    EXPECT_EQ(paths_[0].creates, 1);
    process->CloseHandle(h);
    EXPECT_TRUE(TraceHas("FltDispatchCreate: pDeviceObject 0x"));
    EXPECT_TRUE(TraceHas("Version 7.0.0.8x64 Built"));
    EXPECT_FALSE(TraceHas("FltSendIoctlSync")) << "a direct open or close reached the bus";
    std::vector<PathInfoEntry> entries = Query();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].fAvailable, 1);
}

TEST_F(ChangerPathTest, RemovedPathTakesItsChangerAlong)
{
    hk::DevNode *first = AddPath(0);
    hk::DevNode *second = AddPath(1);
    ASSERT_EQ(Query().size(), 2u);
    ASSERT_EQ(hk::RemoveDevice(first), STATUS_SUCCESS);
    std::vector<PathInfoEntry> entries = Query();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].fPrimary, 1);
    ASSERT_EQ(hk::RemoveDevice(second), STATUS_SUCCESS);
    EXPECT_EQ(Changer(0), nullptr);
}

} // namespace
} // namespace vyr::test
