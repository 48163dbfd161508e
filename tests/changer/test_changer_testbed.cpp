// A changer of the testbed over two paths, with the real changer class stand-in, the changer path
// filter and the changer bus: a MOVE MEDIUM while the primary path fails completes on the other.
#include "changer_fixture.h"
#include "machine/testbed.h"

namespace vyr::test {
namespace {

// The platform's CHANGER_MOVE_MEDIUM: transport, source and destination elements, flip.
struct MoveMedium {
    ULONG transportType, transportAddress;
    ULONG sourceType, sourceAddress;
    ULONG destinationType, destinationAddress;
    BOOLEAN flip;
};
constexpr ULONG kElementTransport = 1, kElementSlot = 2, kElementDrive = 4;
constexpr NTSTATUS kStatusIoTimeout = (NTSTATUS)0xC00000B5L;

class ChangerTestbedTest : public ChangerTest {};

TEST_F(ChangerTestbedTest, MoveMediumFailsOverWhenThePrimaryPathFails)
{
    vyr::sim::InstallTestbed(*machine_);
    StartBus({{"FailoverEventsEnabled", 1}});
    vyr::sim::InstallChangerFilter(*machine_);
    vyr::sim::Fabric fabric;
    vyr::sim::Topology topology;
    topology.changers = 1;
    topology.pathsPerChanger = 2;
    ASSERT_EQ(fabric.Build(topology), STATUS_SUCCESS);

    std::vector<PathInfoEntry> entries = Query();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_STREQ(entries[0].szDeviceName, "Changer0");
    EXPECT_STREQ(entries[1].szDeviceName, "Changer0");
    ASSERT_EQ(entries[0].fPrimary + entries[1].fPrimary, 1);
    const PathInfoEntry primary = entries[0].fPrimary ? entries[0] : entries[1];

    // The fabric's path behind the primary, found by its address.
    std::vector<FabDriveEntry> drives;
    std::vector<FabPathEntry> fabPaths;
    ASSERT_EQ(fabric.QueryTopology(&drives, &fabPaths), STATUS_SUCCESS);
    ULONG primaryPath = 0xFFFFFFFF;
    for (const FabPathEntry &p : fabPaths)
        if (p.PortNumber == primary.Address.PortNumber && p.PathId == primary.Address.PathId &&
            p.TargetId == primary.Address.TargetId && p.Lun == primary.Address.Lun)
            primaryPath = p.Index;
    ASSERT_NE(primaryPath, 0xFFFFFFFFu);
    FabFaultRequest fault{};
    fault.Scope = FAB_SCOPE_PATH;
    fault.Kind = FAB_FAULT_STATUS;
    fault.Form = FAB_FORM_UNTIL_CLEARED;
    fault.Index = primaryPath;
    fault.Status = kStatusIoTimeout;
    ASSERT_EQ(fabric.AddFault(fault), STATUS_SUCCESS);

    hk::ClearEventLog();
    auto process = hk::Process::Create("backup");
    HANDLE h = process->CreateFile("\\\\.\\Changer0");
    ASSERT_NE(h, hk::INVALID_HANDLE);
    MoveMedium move{};
    move.transportType = kElementTransport;
    move.sourceType = kElementSlot;
    move.sourceAddress = 0;
    move.destinationType = kElementDrive;
    move.destinationAddress = 0;
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(process->NtDeviceIoControlFile(h, kIoctlChangerMoveMedium, &move, sizeof move, nullptr, 0, &iosb),
              STATUS_SUCCESS);
    process->CloseHandle(h);

    FabChangerState state{};
    ASSERT_EQ(fabric.QueryChanger(0, &state), STATUS_SUCCESS);
    EXPECT_EQ(state.Moves, 1u);
    std::vector<hk::EventRecord> events = EventsWithId(kEventFailoverAttempt);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(hk::Utf8(events[0].text), FailoverText("(NTSTATUS 0xC00000B5)", kIoctlChangerMoveMedium));
    entries = Query();
    ASSERT_EQ(entries.size(), 2u);
    const PathInfoEntry &now = entries[0].fPrimary ? entries[0] : entries[1];
    EXPECT_NE(now.Address.PortNumber, primary.Address.PortNumber) << "the path that answered is the primary now";
}

} // namespace
} // namespace vyr::test
