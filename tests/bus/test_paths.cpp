// The bus's path table as the path filters and applications see it: registration and grouping,
// primary path moves on state notices, removal of paths and logical devices, open/close notices,
// the path query, and the requests the control device refuses.
#include "bus_paths_fixture.h"

#include <map>

namespace vyr::test {
namespace {

constexpr ULONG kNewPrimary = 0x40000006;

class PathTableTest : public BusPathsTest {};

TEST_F(PathTableTest, GroupsPathsByTheExactSerialNumber)
{
    StartBus();
    PathSpec a, b, c, d;
    b.port = 2;
    c.serial = "SERIAL0001 ";       // differs in a trailing space inside the 32 bytes
    d.serial = "serial0001";        // and in case
    PDEVICE_OBJECT pa = NewPath(), pb = NewPath(), pc = NewPath(), pd = NewPath();
    PathRegistration ra, rb, rc, rd;
    ASSERT_EQ(Register(pa, a, &ra), STATUS_SUCCESS);
    ASSERT_EQ(Register(pb, b, &rb), STATUS_SUCCESS);
    ASSERT_EQ(Register(pc, c, &rc, /*padSerial=*/false), STATUS_SUCCESS);
    ASSERT_EQ(Register(pd, d, &rd), STATUS_SUCCESS);

    EXPECT_EQ(ra.ulDeviceNumber, 0u);
    EXPECT_EQ(rb.ulDeviceNumber, 0u) << "same 32 bytes: same drive";
    EXPECT_EQ(rc.ulDeviceNumber, 1u);
    EXPECT_EQ(rd.ulDeviceNumber, 2u);
    EXPECT_EQ(ra.pStatusTable, (ULONG64)(uintptr_t)Bus()->pStatusTable);
    EXPECT_NE(ra.pStatusTable, 0u);

    LogicalDeviceExtension *tape0 = Ldx("Tape0");
    ASSERT_NE(tape0, nullptr);
    EXPECT_EQ(std::string(tape0->szSerialNumber, 32), std::string("SERIAL0001") + std::string(22, ' '));
    EXPECT_EQ(tape0->szSerialNumber[32], 0);
    EXPECT_EQ(std::string(tape0->szWwnn), "500507630F123456");
    EXPECT_EQ(tape0->ulBlockSize, 0xFFFFFFFFu);
    EXPECT_EQ(tape0->ucSettingB, 0xFF);
    EXPECT_EQ(tape0->lOutstanding, 1);
    EXPECT_EQ(Logical("Tape0")->Flags & (DO_DIRECT_IO | DO_DEVICE_INITIALIZING), (ULONG)DO_DIRECT_IO);

    QueryReply q = Query();
    ASSERT_EQ(q.status, STATUS_SUCCESS);
    EXPECT_EQ(q.sizeWord, 4 + 144 * 4u);
    EXPECT_EQ(q.returned, q.sizeWord);
    ASSERT_EQ(q.entries.size(), 4u);
    int onTape0 = 0;
    for (const PathInfoEntry &e : q.entries)
        onTape0 += std::string(e.szDeviceName) == "Tape0";
    EXPECT_EQ(onTape0, 2);
}

TEST_F(PathTableTest, FailoverOffGivesEveryPathItsOwnDevice)
{
    struct Case {
        const char *what;
        ULONG busDisabled;
        UCHAR pathFailover;
    };
    for (const Case &c : {Case{"bus setting", 1, 1}, Case{"path flag", 0, 0}}) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        StartBus({{"FailoverDisabled", c.busDisabled}});
        PathSpec a, b;
        a.failover = b.failover = c.pathFailover;
        b.port = 2;
        PathRegistration ra, rb;
        ASSERT_EQ(Register(NewPath(), a, &ra), STATUS_SUCCESS);
        ASSERT_EQ(Register(NewPath(), b, &rb), STATUS_SUCCESS);
        EXPECT_EQ(ra.ulDeviceNumber, 0u);
        EXPECT_EQ(rb.ulDeviceNumber, 1u);
        QueryReply q = Query();
        ASSERT_EQ(q.entries.size(), 2u);
        for (const PathInfoEntry &e : q.entries) {
            EXPECT_EQ(e.fFailover, 0);
            EXPECT_EQ(e.fPrimary, 1);
        }
    }
}

TEST_F(PathTableTest, PrimaryFollowsStartsAndStopsWithEvents)
{
    StartBus({{"FailoverEventsEnabled", 1}});
    PathSpec a, b, c;
    a.state = PNP_NOT_STARTED;
    b.port = 2;
    b.state = PNP_NOT_STARTED;
    c.port = 3;
    c.target = 5;
    PDEVICE_OBJECT pa = NewPath(), pb = NewPath(), pc = NewPath();
    ASSERT_EQ(Register(pa, a), STATUS_SUCCESS);
    ASSERT_EQ(Register(pb, b), STATUS_SUCCESS);
    EXPECT_TRUE(EventsWithId(kNewPrimary).empty()) << "paths not started are not primary";
    QueryReply q = Query();
    ASSERT_EQ(q.entries.size(), 2u);
    EXPECT_EQ(q.entries[0].fAvailable, 0);
    EXPECT_EQ(q.entries[0].fPrimary, 0);

    // The second path starts first: it becomes primary and the device takes its address.
    ASSERT_EQ(SetState(pb, PNP_STARTED), STATUS_SUCCESS);
    LogicalDeviceExtension *ldx = Ldx("Tape0");
    EXPECT_EQ(ldx->ScsiAddress.PortNumber, 2);
    auto events = EventsWithId(kNewPrimary);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(hk::Utf8(events[0].text), "VYR Tape Bus Enumerator: " + PointerText(pb) +
                                            " is new primary path for device with serial number SERIAL0001" +
                                            std::string(22, ' ') + ".");
    ASSERT_EQ(SetState(pa, PNP_STARTED), STATUS_SUCCESS);
    ASSERT_EQ(Register(pc, c), STATUS_SUCCESS);
    EXPECT_EQ(EventsWithId(kNewPrimary).size(), 1u) << "a primary exists: no change";

    // Primary stops: the first available path in registration order takes over.
    ASSERT_EQ(SetState(pb, PNP_STOPPED), STATUS_SUCCESS);
    q = Query();
    ASSERT_EQ(q.entries.size(), 3u);
    EXPECT_EQ(q.entries[0].fPrimary, 1);
    EXPECT_EQ(q.entries[1].fPrimary, 0);
    EXPECT_EQ(q.entries[1].fAvailable, 0);
    EXPECT_EQ(ldx->ScsiAddress.PortNumber, 1);
    EXPECT_EQ(EventsWithId(kNewPrimary).size(), 2u);

    // Nothing left available: no primary until a path starts again.
    ASSERT_EQ(SetState(pa, PNP_STOP_PENDING), STATUS_SUCCESS);
    ASSERT_EQ(SetState(pc, PNP_SURPRISE_REMOVE), STATUS_SUCCESS);
    q = Query();
    for (const PathInfoEntry &e : q.entries)
        EXPECT_EQ(e.fPrimary, 0);
    ASSERT_EQ(SetState(pc, PNP_STARTED), STATUS_SUCCESS);
    q = Query();
    EXPECT_EQ(q.entries[2].fPrimary, 1);

    // A notice for a device no drive knows changes nothing and succeeds.
    PDEVICE_OBJECT stranger = NewPath();
    EXPECT_EQ(SetState(stranger, PNP_STARTED), STATUS_SUCCESS);
    EXPECT_EQ(Query().entries.size(), 3u);
}

TEST_F(PathTableTest, NoPrimaryEventsWithoutTheSetting)
{
    StartBus();
    PathSpec a, b;
    b.port = 2;
    PDEVICE_OBJECT pa = NewPath(), pb = NewPath();
    ASSERT_EQ(Register(pa, a), STATUS_SUCCESS);
    ASSERT_EQ(Register(pb, b), STATUS_SUCCESS);
    ASSERT_EQ(SetState(pa, PNP_STOPPED), STATUS_SUCCESS);
    EXPECT_EQ(Query().entries[1].fPrimary, 1);
    EXPECT_TRUE(EventsWithId(kNewPrimary).empty());
}

TEST_F(PathTableTest, PrimaryEventWithoutPoolIsSkipped)
{
    StartBus({{"FailoverEventsEnabled", 1}});
    PathSpec a, b;
    b.port = 2;
    PDEVICE_OBJECT pa = NewPath(), pb = NewPath();
    ASSERT_EQ(Register(pa, a), STATUS_SUCCESS);
    ASSERT_EQ(Register(pb, b), STATUS_SUCCESS);
    ASSERT_EQ(EventsWithId(kNewPrimary).size(), 1u);
    hk::VerifierFaults faults;
    faults.failTag = hk::MakeTag("BUSb");
    hk::SetVerifierFaults(faults);
    EXPECT_EQ(SetState(pa, PNP_STOPPED), STATUS_SUCCESS);
    hk::ClearVerifierFaults();
    EXPECT_EQ(Query().entries[1].fPrimary, 1) << "the primary moved all the same";
    EXPECT_EQ(EventsWithId(kNewPrimary).size(), 1u);
}

TEST_F(PathTableTest, LastPathLeavingRemovesTheDeviceAndItsLink)
{
    StartBus();
    PathSpec a, b;
    b.port = 2;
    PDEVICE_OBJECT pa = NewPath(), pb = NewPath();
    ASSERT_EQ(Register(pa, a), STATUS_SUCCESS);
    ASSERT_EQ(Register(pb, b), STATUS_SUCCESS);
    EXPECT_EQ(LinkTarget("Tape0"), "\\Device\\Tape0");
    ASSERT_NE(Bus()->pPorts, nullptr);

    ASSERT_EQ(SetState(pa, PNP_ABSENT), STATUS_SUCCESS);
    QueryReply q = Query();
    ASSERT_EQ(q.entries.size(), 1u);
    EXPECT_EQ(q.entries[0].Address.PortNumber, 2);
    EXPECT_EQ(q.entries[0].fPrimary, 1);
    ASSERT_NE(Bus()->pPorts, nullptr);
    EXPECT_EQ(Bus()->pPorts->ulPortNumber, 2u) << "port 1 lost its last path";
    EXPECT_EQ(Bus()->pPorts->pNext, nullptr);

    ASSERT_EQ(SetState(pb, PNP_ABSENT), STATUS_SUCCESS);
    EXPECT_EQ(Logical("Tape0"), nullptr);
    EXPECT_EQ(LinkTarget("Tape0"), "");
    EXPECT_EQ(Bus()->pLogicalDevices, nullptr);
    EXPECT_EQ(Bus()->pPorts, nullptr);
    q = Query();
    EXPECT_EQ(q.status, STATUS_INVALID_PARAMETER) << "no logical device at all";

    // The same drive again makes a new logical device (the old number is free again).
    PathRegistration r;
    ASSERT_EQ(Register(NewPath(), a, &r), STATUS_SUCCESS);
    EXPECT_EQ(r.ulDeviceNumber, 0u);
    EXPECT_NE(Logical("Tape0"), nullptr);
}

TEST_F(PathTableTest, ARestartedPathKeepsItsOneEntry)
{
    // A path registers again at every start after a stop; it must not be listed twice, or its
    // removal would leave an entry behind that names a deleted device.
    StartBus();
    PathSpec a, b;
    b.port = 2;
    PDEVICE_OBJECT pa = NewPath(), pb = NewPath();
    ASSERT_EQ(Register(pa, a), STATUS_SUCCESS);
    ASSERT_EQ(Register(pb, b), STATUS_SUCCESS);
    ASSERT_EQ(SetState(pa, PNP_STOPPED), STATUS_SUCCESS);
    PathRegistration r;
    ASSERT_EQ(Register(pa, a, &r), STATUS_SUCCESS);
    EXPECT_EQ(r.ulDeviceNumber, 0u);
    QueryReply q = Query();
    ASSERT_EQ(q.entries.size(), 2u);
    EXPECT_EQ(q.entries[0].fAvailable, 1);
    EXPECT_EQ(q.entries[0].fPrimary, 0) << "the primary stays with the path that took over";
    EXPECT_EQ(q.entries[1].fPrimary, 1);
    EXPECT_EQ(Bus()->pPorts->ulPathCount, 1u) << "counted once on its port";

    // A path that comes back leading to another drive leaves its old logical device.
    PathSpec other = a;
    other.serial = "SERIAL0002";
    ASSERT_EQ(Register(pa, other, &r), STATUS_SUCCESS);
    EXPECT_EQ(r.ulDeviceNumber, 1u);
    q = Query();
    ASSERT_EQ(q.entries.size(), 2u);
    std::map<std::string, int> ports; // the list's order follows device object addresses
    for (const PathInfoEntry &e : q.entries)
        ports[e.szDeviceName] = e.Address.PortNumber;
    EXPECT_EQ(ports, (std::map<std::string, int>{{"Tape0", 2}, {"Tape1", 1}}));

    ASSERT_EQ(SetState(pa, PNP_ABSENT), STATUS_SUCCESS);
    ASSERT_EQ(SetState(pb, PNP_ABSENT), STATUS_SUCCESS);
    EXPECT_EQ(Bus()->pLogicalDevices, nullptr);
}

TEST_F(PathTableTest, PortsCountPathsAcrossDrives)
{
    StartBus();
    PathSpec a, b, c;
    b.serial = "OTHER";
    c.port = 4;
    PDEVICE_OBJECT pa = NewPath(), pb = NewPath(), pc = NewPath();
    ASSERT_EQ(Register(pa, a), STATUS_SUCCESS);
    ASSERT_EQ(Register(pb, b), STATUS_SUCCESS);
    ASSERT_EQ(Register(pc, c), STATUS_SUCCESS);
    PortEntry *first = Bus()->pPorts;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->ulPortNumber, 1u);
    EXPECT_EQ(first->ulPathCount, 2u);
    ASSERT_NE(first->pNext, nullptr);
    EXPECT_EQ(first->pNext->ulPortNumber, 4u);
    EXPECT_EQ(first->pNext->ulPathCount, 1u);
    ASSERT_EQ(SetState(pb, PNP_ABSENT), STATUS_SUCCESS);
    EXPECT_EQ(Bus()->pPorts->ulPathCount, 1u);
}

TEST_F(PathTableTest, OpenAndCloseNoticesCountAgainstTheDrive)
{
    StartBus();
    PathSpec a, b, other;
    a.exclusive = 1;
    b.port = 2;
    other.serial = "SHARED";
    other.exclusive = 0;
    PDEVICE_OBJECT pa = NewPath(), pb = NewPath(), po = NewPath();
    ASSERT_EQ(Register(pa, a), STATUS_SUCCESS);
    ASSERT_EQ(Register(pb, b), STATUS_SUCCESS);
    ASSERT_EQ(Register(po, other), STATUS_SUCCESS);
    LogicalDeviceExtension *ldx = Ldx("Tape0");
    ldx->fPositionKnown = ldx->fAtBeginning = 1;

    EXPECT_EQ(Notify(PATH_NOTIFY_OPEN_CLOSE, NewPath(), IO_OPEN_REQ), STATUS_ACCESS_DENIED) << "unknown path";
    EXPECT_EQ(Notify(PATH_NOTIFY_OPEN_CLOSE, pa, IO_OPEN_REQ), STATUS_SUCCESS);
    EXPECT_EQ(ldx->lOpenCount, 1);
    // Exclusive access covers every path of the drive.
    EXPECT_EQ(Notify(PATH_NOTIFY_OPEN_CLOSE, pb, IO_OPEN_REQ), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ldx->lOpenCount, 1);
    EXPECT_EQ(Notify(PATH_NOTIFY_OPEN_CLOSE, pa, 7), STATUS_SUCCESS) << "other values are ignored";
    EXPECT_EQ(Notify(PATH_NOTIFY_OPEN_CLOSE, pa, IO_CLOSE_REQ), STATUS_SUCCESS);
    EXPECT_EQ(ldx->lOpenCount, 0);
    EXPECT_EQ(ldx->fPositionKnown, 0);
    EXPECT_EQ(ldx->fAtBeginning, 0);
    EXPECT_EQ(Notify(PATH_NOTIFY_OPEN_CLOSE, pb, IO_OPEN_REQ), STATUS_SUCCESS);

    // A drive without exclusive access takes any number of opens.
    LogicalDeviceExtension *shared = Ldx("Tape1");
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(Notify(PATH_NOTIFY_OPEN_CLOSE, po, IO_OPEN_REQ), STATUS_SUCCESS);
    EXPECT_EQ(shared->lOpenCount, 3);
    // An unknown operation succeeds and does nothing.
    EXPECT_EQ(Notify(9, po, IO_OPEN_REQ), STATUS_SUCCESS);
    EXPECT_EQ(shared->lOpenCount, 3);
}

TEST_F(PathTableTest, QueryReplyLayoutAndShortBuffers)
{
    StartBus();
    PathSpec a, b;
    a.state = PNP_NOT_STARTED;
    b.port = 2;
    b.pathId = 1;
    b.target = 6;
    b.lun = 0;
    ASSERT_EQ(Register(NewPath(), a), STATUS_SUCCESS);
    ASSERT_EQ(Register(NewPath(), b), STATUS_SUCCESS);

    QueryReply q = Query();
    ASSERT_EQ(q.status, STATUS_SUCCESS);
    ASSERT_EQ(q.entries.size(), 2u);
    const PathInfoEntry &e = q.entries[1];
    EXPECT_EQ(std::string(e.szDeviceName), "Tape0");
    for (size_t i = 5; i < sizeof e.szDeviceName; i++)
        ASSERT_EQ(e.szDeviceName[i], 0);
    EXPECT_EQ(std::string(e.szSerialNumber), std::string("SERIAL0001") + std::string(22, ' '));
    EXPECT_EQ(e.fFailover, 1);
    EXPECT_EQ(e.Address.PortNumber, 2);
    EXPECT_EQ(e.Address.PathId, 1);
    EXPECT_EQ(e.Address.TargetId, 6);
    EXPECT_EQ(e.fAvailable, 1);
    EXPECT_EQ(e.fPrimary, 1);
    EXPECT_EQ(q.entries[0].fAvailable, 0);
    EXPECT_EQ(q.entries[0].fPrimary, 0);

    // Short buffers get what fits; the size word always tells the full size.
    struct Case {
        ULONG length;
        NTSTATUS status;
        ULONG returned;
    };
    const ULONG full = 4 + 2 * 144;
    for (const Case &c : {Case{4, STATUS_SUCCESS, 4}, Case{100, STATUS_SUCCESS, 100}, Case{full, STATUS_SUCCESS, full},
                          Case{full + 50, STATUS_SUCCESS, full}, Case{3, STATUS_BUFFER_TOO_SMALL, 0},
                          Case{0, STATUS_BUFFER_TOO_SMALL, 0}}) {
        SCOPED_TRACE(c.length);
        QueryReply s = Query(c.length);
        EXPECT_EQ(s.status, c.status);
        EXPECT_EQ(s.returned, c.returned);
        if (c.status == STATUS_SUCCESS)
            EXPECT_EQ(s.sizeWord, full);
    }

    // A logical device answers the same query.
    QueryReply viaTape = Query(4096, "\\\\.\\Tape0");
    EXPECT_EQ(viaTape.status, STATUS_SUCCESS);
    EXPECT_EQ(viaTape.sizeWord, full);
}

TEST_F(PathTableTest, ControlCodesCheckLengthsAndRequestor)
{
    StartBus();
    PathSpec a;
    PDEVICE_OBJECT pa = NewPath();
    hk::RegCreateKey(DeviceMapKey(a));
    PathRegistration r = MakeRegistration(pa, a);
    ULONG_PTR information = 1;
    EXPECT_EQ(Ioctl(IOCTL_TPBUS_REGISTER_PATH, &r, 95, &r, 95, &information), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(information, 0u);
    PathNotification n{};
    n.pPathDevice = (ULONG64)(uintptr_t)pa;
    EXPECT_EQ(Ioctl(IOCTL_TPBUS_NOTIFY_PATH, &n, 23, nullptr, 0), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(Bus()->pLogicalDevices, nullptr);

    // A larger record is accepted; the reply still carries 96 bytes.
    std::vector<uint8_t> big(128, 0);
    memcpy(big.data(), &r, sizeof r);
    EXPECT_EQ(Ioctl(IOCTL_TPBUS_REGISTER_PATH, big.data(), 128, big.data(), 128, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 96u);

    // Applications may open the control device, but registration and notices carry device
    // pointers the bus would call: only kernel-mode requestors may send them.
    auto process = hk::Process::Create("app");
    HANDLE h = process->CreateFile("\\\\.\\VYRTpBsDvcLnk");
    ASSERT_NE(h, hk::INVALID_HANDLE);
    PathSpec b;
    b.port = 2;
    PathRegistration forged = MakeRegistration(NewPath(), b);
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(process->NtDeviceIoControlFile(h, IOCTL_TPBUS_REGISTER_PATH, &forged, sizeof forged, &forged,
                                             sizeof forged, &iosb),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(iosb.Information, 0u);
    PathNotification gone{};
    gone.pPathDevice = (ULONG64)(uintptr_t)pa;
    gone.ulValue = PNP_ABSENT;
    EXPECT_EQ(process->NtDeviceIoControlFile(h, IOCTL_TPBUS_NOTIFY_PATH, &gone, sizeof gone, nullptr, 0, &iosb),
              STATUS_ACCESS_DENIED);
    process->CloseHandle(h);
    QueryReply q = Query();
    ASSERT_EQ(q.entries.size(), 1u) << "neither request changed the table";
    EXPECT_EQ(q.entries[0].Address.PortNumber, 1);
}

TEST_F(PathTableTest, FailedRegistrationsLeaveNothingBehind)
{
    StartBus();
    PathSpec a;
    for (ULONG tag : {hk::MakeTag("PDOd"), hk::MakeTag("PDOa"), hk::MakeTag("LIST")}) {
        SCOPED_TRACE(hk::TagText(tag));
        hk::VerifierFaults faults;
        faults.failTag = tag;
        hk::SetVerifierFaults(faults);
        EXPECT_EQ(Register(NewPath(), a), STATUS_INSUFFICIENT_RESOURCES);
        hk::ClearVerifierFaults();
        EXPECT_EQ(Bus()->pLogicalDevices, nullptr);
        EXPECT_EQ(Logical("Tape0"), nullptr) << "the new logical device is taken back";
        EXPECT_EQ(LinkTarget("Tape0"), "");
    }
    // The device object itself cannot be created.
    hk::VerifierFaults faults;
    faults.failKind = hk::AllocKind::DeviceObject;
    faults.failKindEnabled = true;
    faults.onlyDriver = kBusService;
    hk::SetVerifierFaults(faults);
    EXPECT_EQ(Register(NewPath(), a), STATUS_INSUFFICIENT_RESOURCES);
    hk::ClearVerifierFaults();
    EXPECT_EQ(Bus()->pLogicalDevices, nullptr);

    // A new port whose record cannot be allocated: the path stays, uncounted, and still leaves
    // cleanly.
    faults = {};
    faults.failTag = hk::MakeTag("PDOe");
    hk::SetVerifierFaults(faults);
    PDEVICE_OBJECT pa = NewPath();
    EXPECT_EQ(Register(pa, a), STATUS_INSUFFICIENT_RESOURCES);
    hk::ClearVerifierFaults();
    EXPECT_EQ(Query().entries.size(), 1u);
    EXPECT_EQ(Bus()->pPorts, nullptr);
    ASSERT_EQ(SetState(pa, PNP_ABSENT), STATUS_SUCCESS);
    EXPECT_EQ(Bus()->pLogicalDevices, nullptr);

    // Without its device map key the registration fails, but the path is in the table.
    PathSpec unmapped;
    unmapped.port = 9;
    PDEVICE_OBJECT pu = NewPath();
    PathRegistration r = MakeRegistration(pu, unmapped);
    PathRegistration out = r;
    EXPECT_FALSE(NT_SUCCESS(Ioctl(IOCTL_TPBUS_REGISTER_PATH, &r, sizeof r, &out, sizeof out)));
    EXPECT_EQ(out.pStatusTable, 0u) << "reply fields only on success";
    EXPECT_EQ(Query().entries.size(), 1u);
}

TEST_F(PathTableTest, WritesTheDeviceMapOfEveryPath)
{
    StartBus();
    PathSpec a, b, other;
    b.port = 2;
    b.pathId = 1;
    b.target = 7;
    b.lun = 1;
    other.serial = "OTHER";
    other.target = 9;
    ASSERT_EQ(Register(NewPath(), a), STATUS_SUCCESS);
    ASSERT_EQ(Register(NewPath(), b), STATUS_SUCCESS);
    ASSERT_EQ(Register(NewPath(), other), STATUS_SUCCESS);
    std::string value;
    ASSERT_TRUE(hk::RegGetString(DeviceMapKey(a), "DeviceName", &value));
    EXPECT_EQ(value, "Tape0");
    ASSERT_TRUE(hk::RegGetString(
        "\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port 2\\Scsi Bus 1\\Target Id 7\\Logical Unit Id 1",
        "DeviceName", &value));
    EXPECT_EQ(value, "Tape0");
    ASSERT_TRUE(hk::RegGetString(DeviceMapKey(other), "DeviceName", &value));
    EXPECT_EQ(value, "Tape1");
}

TEST_F(PathTableTest, BusRemovalDisposesOfEverything)
{
    StartBus({{"PersistentNaming", 1}});
    PathSpec a, b, c;
    b.port = 2;
    c.serial = "OTHER";
    c.lun = 1;
    ASSERT_EQ(Register(NewPath(), a), STATUS_SUCCESS);
    ASSERT_EQ(Register(NewPath(), b), STATUS_SUCCESS);
    ASSERT_EQ(Register(NewPath(), c), STATUS_SUCCESS);
    ASSERT_NE(Bus()->pPersistentNames, nullptr);
    hk::DevNode *bus = nullptr;
    for (const hk::DevNodeInfo &n : hk::DeviceTree())
        for (const std::string &id : n.hardwareIds)
            if (id == "root\\vyrtpbs2k16")
                bus = n.node;
    ASSERT_NE(bus, nullptr);
    ASSERT_EQ(hk::RemoveDevice(bus), STATUS_SUCCESS);
    EXPECT_EQ(Logical("Tape5659986"), nullptr);
    EXPECT_EQ(Logical("Tape5659987"), nullptr);
    EXPECT_EQ(LinkTarget("Tape5659986"), "");
    for (const hk::PoolBlockInfo &b : hk::OutstandingPool(kBusService))
        ADD_FAILURE() << "left behind: " << hk::TagText(b.tag) << ", " << b.size << " bytes";
}

} // namespace
} // namespace vyr::test

namespace vyr::test {
namespace {

TEST_F(PathTableTest, OpensMoveThePrimaryToTheLeastOpenedPort)
{
    StartBus();
    PathSpec a, b;
    b.port = 2;
    PDEVICE_OBJECT pa = NewPath(), pb = NewPath();
    ASSERT_EQ(Register(pa, a), STATUS_SUCCESS);
    ASSERT_EQ(Register(pb, b), STATUS_SUCCESS);
    PortEntry *port1 = Bus()->pPorts;
    PortEntry *port2 = port1->pNext;
    ASSERT_NE(port2, nullptr);
    port1->ulOpenCount = 3;
    port2->ulOpenCount = 1;

    auto process = hk::Process::Create("app");
    HANDLE h = process->CreateFile("\\\\.\\Tape0");
    ASSERT_NE(h, hk::INVALID_HANDLE) << std::hex << process->LastStatus();
    QueryReply q = Query();
    ASSERT_EQ(q.entries.size(), 2u);
    EXPECT_EQ(q.entries[0].fPrimary, 0);
    EXPECT_EQ(q.entries[1].fPrimary, 1);
    EXPECT_EQ(port1->ulOpenCount, 3u);
    EXPECT_EQ(port2->ulOpenCount, 2u);
    EXPECT_EQ(Ldx("Tape0")->ScsiAddress.PortNumber, 1) << "balancing leaves the device's address alone";
    EXPECT_TRUE(process->CloseHandle(h));

    // No path available and none primary: the open is refused.
    ASSERT_EQ(SetState(pa, PNP_STOPPED), STATUS_SUCCESS);
    ASSERT_EQ(SetState(pb, PNP_STOPPED), STATUS_SUCCESS);
    EXPECT_EQ(process->CreateFile("\\\\.\\Tape0"), hk::INVALID_HANDLE);
    EXPECT_EQ(process->LastStatus(), STATUS_DELETE_PENDING);
}

} // namespace
} // namespace vyr::test
