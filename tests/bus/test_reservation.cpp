// Reservations across paths on the whole tape stack: which path and key the bus remembers after
// the reservation requests applications send, the key handed to another path, the key handed to
// the class driver, and the events of reservation reports. Also 32-bit callers' pass-through
// structures, which travel down a path in the native layout and come back in their own.
#include "test_io_fixture.h"

#include <array>
#include <thread>

#include <sys/mman.h>

// The class driver stand-in's records: the key the bus last handed it lives in its drive record.
#include "../../sim/tapeclass/tapeclass.h"

namespace vyr::test {
namespace {

constexpr ULONG kReservingHostKey = 0x40000008;
constexpr ULONG kReservationNotBroken = 0xC0000007;
constexpr ULONG kSetHostKey = 0x8400C044;
constexpr UCHAR kRegister = 0, kReserve = 1, kPreempt = 4;
constexpr UCHAR kExclusiveAccess = 3;
constexpr UCHAR kOpTestUnitReady = 0x00, kOpReserve6 = 0x16, kOpInquiry = 0x12, kOpPrOut = 0x5F;

using Key = std::array<UCHAR, 8>;

ULONG64 AsField(const Key &key)
{
    ULONG64 v;
    memcpy(&v, key.data(), sizeof v);
    return v;
}

std::string Hex(const Key &key)
{
    std::string text;
    char two[3];
    for (UCHAR b : key) {
        snprintf(two, sizeof two, "%02X", b);
        text += two;
    }
    return text;
}

std::string PointerText(const void *p)
{
    char text[24];
    snprintf(text, sizeof text, "0x%016llX", (unsigned long long)(uintptr_t)p);
    return text;
}

std::string Hex(ULONG64 nexus)
{
    char text[17];
    snprintf(text, sizeof text, "%016llX", (unsigned long long)nexus);
    return text;
}

class ReservationTest : public TapeStackTest {
protected:
    static LogicalDeviceExtension *Ldx() { return BusLogical(NamedDevice(u"\\Device\\Tape0")); }

    static const PathEntry *Primary()
    {
        for (const PathEntry *p = Ldx()->pEntry->pPaths; p; p = p->pNext)
            if (p->fPrimary)
                return p;
        return nullptr;
    }

    static const PathEntry *Other(const PathEntry *than)
    {
        for (const PathEntry *p = Ldx()->pEntry->pPaths; p; p = p->pNext)
            if (p != than)
                return p;
        return nullptr;
    }

    // The fabric's record of a path of the bus, found by its SCSI address.
    FabPathEntry Fab(const PathEntry *path)
    {
        std::vector<FabPathEntry> paths;
        EXPECT_EQ(fabric_->QueryTopology(nullptr, &paths), STATUS_SUCCESS);
        for (const FabPathEntry &p : paths)
            if (!p.fPulled && p.PortNumber == path->Address.PortNumber && p.PathId == path->Address.PathId &&
                p.TargetId == path->Address.TargetId && p.Lun == path->Address.Lun)
                return p;
        ADD_FAILURE() << "no fabric path for the bus's path";
        return {};
    }

    // The key the bus last handed to the class driver (IOC_SET_RESERVATION_KEY), 0 = none yet.
    static ULONG64 ClassDriverKey()
    {
        PDEVICE_OBJECT fdo = NamedDevice(u"\\Device\\VyrTapePath0");
        if (!fdo)
            fdo = NamedDevice(u"\\Device\\VyrTapePath1");
        EXPECT_NE(fdo, nullptr);
        ULONG64 key = 0;
        if (fdo)
            memcpy(&key, ((TcExtension *)fdo->DeviceExtension)->pDrive->BusKey, sizeof key);
        return key;
    }

    static std::vector<hk::EventRecord> Events(ULONG id)
    {
        std::vector<hk::EventRecord> out;
        for (const hk::EventRecord &e : hk::EventLog())
            if (e.eventId == id)
                out.push_back(e);
        return out;
    }

    NTSTATUS Command(HANDLE h, std::initializer_list<UCHAR> cdb, UCHAR *scsiStatus = nullptr,
                     std::vector<UCHAR> out = {})
    {
        return PassThrough(h, cdb, out.empty() ? SCSI_IOCTL_DATA_UNSPECIFIED : SCSI_IOCTL_DATA_OUT, &out, scsiStatus);
    }

    NTSTATUS SetHostKey(HANDLE h, const Key &key) { return Ioctl(h, kSetHostKey, key.data(), 8, nullptr, 0); }

    // IOCTL_STORAGE_PERSISTENT_RESERVE_OUT with a 24-byte parameter list.
    NTSTATUS PrOut(HANDLE h, UCHAR action, const Key &key, const Key &actionKey)
    {
        std::vector<UCHAR> buffer(FIELD_OFFSET(PERSISTENT_RESERVE_COMMAND, PR_OUT.ParameterList) + 24, 0);
        ULONG version = sizeof(PERSISTENT_RESERVE_COMMAND), size = (ULONG)buffer.size();
        memcpy(&buffer[0], &version, 4);
        memcpy(&buffer[4], &size, 4);
        buffer[8] = action;
        buffer[9] = kExclusiveAccess;
        memcpy(&buffer[10], key.data(), 8);
        memcpy(&buffer[18], actionKey.data(), 8);
        return Ioctl(h, IOCTL_STORAGE_PERSISTENT_RESERVE_OUT, buffer.data(), size, nullptr, 0);
    }

    // A request that moves nothing and reserves nothing.
    NTSTATUS Harmless(HANDLE h) { return Command(h, {kOpTestUnitReady, 0, 0, 0, 0, 0}); }

    // Stops a path's device (query-stop and stop): the path stays, unavailable, and keeps its
    // I_T nexus and whatever the drive holds for it.
    static void StopPath(const PathEntry *path)
    {
        for (const hk::DevNodeInfo &n : hk::DeviceTree())
            for (PDEVICE_OBJECT d = n.node ? hk::NodePdo(n.node) : nullptr; d; d = d->AttachedDevice)
                if (d == path->pPathDevice) {
                    ASSERT_EQ(hk::StopDevice(n.node), STATUS_SUCCESS);
                    return;
                }
        FAIL() << "no device node for the path";
    }
};

// ---------------------------------------------------------------------------------------------
// What the bus remembers
// ---------------------------------------------------------------------------------------------
TEST_F(ReservationTest, PlainReserveMakesTheReservingPathsAddressTheKeyAndIsReported)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    const PathEntry *primary = Primary();
    ASSERT_NE(primary, nullptr);
    hk::ClearEventLog();

    UCHAR scsi = 0xFF;
    ASSERT_EQ(Command(tape, {kOpReserve6, 0, 0, 0, 0, 0}, &scsi), STATUS_SUCCESS);
    EXPECT_EQ(scsi, 0);
    LogicalDeviceExtension *ldx = Ldx();
    EXPECT_EQ(ldx->pLastReservingPath, primary->pPathDevice);
    EXPECT_EQ(ldx->ReservationKey, (ULONG64)(uintptr_t)primary->pPathDevice);
    EXPECT_FALSE(ldx->fReservationActive);

    FabPathEntry fab = Fab(primary);
    FabDriveState state{};
    ASSERT_EQ(fabric_->QueryDrive(0, &state), STATUS_SUCCESS);
    EXPECT_TRUE(state.fScsi2Reserved);
    EXPECT_EQ(state.Scsi2Holder, fab.Nexus);

    // Reported whatever the failover-events setting (off here): host key, then WWPN.
    auto reports = Events(kReservingHostKey);
    ASSERT_EQ(reports.size(), 1u);
    ASSERT_EQ(reports[0].strings.size(), 2u);
    EXPECT_EQ(hk::Utf8(reports[0].strings[0]), Hex(fab.Nexus));
    EXPECT_EQ(hk::Utf8(reports[0].strings[1]), std::string(fab.szInitiatorWwpn));
    EXPECT_EQ(hk::Utf8(reports[0].text), "VYR Tape Bus Enumerator Reserving host key: " + Hex(fab.Nexus) +
                                             " WWPN: " + fab.szInitiatorWwpn + ".");

    // Requests that reserve nothing leave the reservation state alone and report nothing.
    ASSERT_EQ(Harmless(tape), STATUS_SUCCESS);
    EXPECT_EQ(ldx->ReservationKey, (ULONG64)(uintptr_t)primary->pPathDevice);
    EXPECT_EQ(Events(kReservingHostKey).size(), 1u);
}

TEST_F(ReservationTest, KeyRequestsMakeTheReservationActiveAndAClosingHandleEndsIt)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    const PathEntry *primary = Primary();
    ASSERT_NE(primary, nullptr);
    LogicalDeviceExtension *ldx = Ldx();
    const ULONG64 pathKey = (ULONG64)(uintptr_t)primary->pPathDevice;
    EXPECT_EQ(ldx->ReservationKey, pathKey) << "a create keys the path it opened on";

    const Key host = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    ASSERT_EQ(SetHostKey(tape, host), STATUS_SUCCESS);
    EXPECT_TRUE(ldx->fReservationActive);
    EXPECT_EQ(ldx->ReservationKey, AsField(host));
    EXPECT_EQ(ClassDriverKey(), 0u) << "setting the host key hands nothing to the class driver";

    // A reservation with that key, then a REGISTER of a new one: the new key is the one kept.
    ASSERT_EQ(PrOut(tape, kReserve, host, {}), STATUS_SUCCESS);
    EXPECT_EQ(ldx->ReservationKey, AsField(host));
    const Key next = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18};
    ASSERT_EQ(PrOut(tape, kRegister, host, next), STATUS_SUCCESS);
    EXPECT_TRUE(ldx->fReservationActive);
    EXPECT_EQ(ldx->ReservationKey, AsField(next));
    // A preempt with the registered key moves the reservation to it and tells the class driver.
    ASSERT_EQ(PrOut(tape, kPreempt, next, next), STATUS_SUCCESS);
    EXPECT_EQ(ldx->ReservationKey, AsField(next));
    EXPECT_EQ(ClassDriverKey(), AsField(next));
    // None of these moved the path.
    EXPECT_EQ(ldx->pLastReservingPath, primary->pPathDevice);

    // Closing the last handle: the path's address again, inactive, and the class driver hears it.
    Close(tape);
    EXPECT_FALSE(ldx->fReservationActive);
    EXPECT_EQ(ldx->ReservationKey, pathKey);
    EXPECT_EQ(ClassDriverKey(), pathKey);
}

// ---------------------------------------------------------------------------------------------
// Another path
// ---------------------------------------------------------------------------------------------
TEST_F(ReservationTest, ANewPrimaryPathGetsTheKeyAndTheReservationActiveFlag)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    const PathEntry *first = Primary();
    const PathEntry *second = Other(first);
    ASSERT_TRUE(first && second);
    FabPathEntry secondFab = Fab(second);
    const Key host = {0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13};
    ASSERT_EQ(SetHostKey(tape, host), STATUS_SUCCESS);
    ASSERT_EQ(PrOut(tape, kReserve, host, {}), STATUS_SUCCESS);

    StopPath(first);
    ASSERT_EQ(Primary(), second);
    hk::ClearEventLog();
    ASSERT_EQ(Harmless(tape), STATUS_SUCCESS);

    // The filter had the reservation taken over on the new path with the key, and the drive
    // reported it for this request.
    auto reports = Events(kReservingHostKey);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(hk::Utf8(reports[0].strings[0]), Hex(host));
    EXPECT_EQ(hk::Utf8(reports[0].strings[1]), std::string(secondFab.szInitiatorWwpn));
    LogicalDeviceExtension *ldx = Ldx();
    EXPECT_EQ(ldx->pLastReservingPath, second->pPathDevice);
    EXPECT_TRUE(ldx->fReservationActive);
    EXPECT_EQ(ldx->ReservationKey, AsField(host));
    FabDriveState state{};
    ASSERT_EQ(fabric_->QueryDrive(0, &state), STATUS_SUCCESS);
    EXPECT_TRUE(state.fPrReserved);

    // From now on the new path is the reserving one: its requests carry no key, so nothing is
    // re-taken or reported before them.
    hk::ClearEventLog();
    ASSERT_EQ(Harmless(tape), STATUS_SUCCESS);
    EXPECT_TRUE(Events(kReservingHostKey).empty());
}

TEST_F(ReservationTest, APlainReservationFollowsARequestOffAPathThatIsStillThere)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    const PathEntry *first = Primary();
    ASSERT_NE(first, nullptr);
    const FabPathEntry firstFab = Fab(first);
    ASSERT_EQ(Command(tape, {kOpReserve6, 0, 0, 0, 0, 0}), STATUS_SUCCESS);

    // One failure that asks for failover: the first path stays up, with the drive's SCSI-2
    // reservation still on its nexus. The class driver takes the reservation over on the second
    // path (a logical unit reset breaks the old one) before the request runs there.
    FabFaultRequest once{};
    once.Scope = FAB_SCOPE_PATH;
    once.Index = firstFab.Index;
    once.Kind = FAB_FAULT_STATUS;
    once.Form = FAB_FORM_ONE_SHOT;
    once.Status = STATUS_IO_TIMEOUT;
    ASSERT_EQ(fabric_->AddFault(once), STATUS_SUCCESS);
    EXPECT_EQ(Harmless(tape), STATUS_SUCCESS);
    const PathEntry *second = Primary();
    ASSERT_TRUE(second && second != first);
    FabDriveState state{};
    ASSERT_EQ(fabric_->QueryDrive(0, &state), STATUS_SUCCESS);
    EXPECT_TRUE(state.fScsi2Reserved);
    EXPECT_EQ(state.Scsi2Holder, Fab(second).Nexus);
    EXPECT_EQ(Ldx()->pLastReservingPath, second->pPathDevice);

    // And the requests after it keep running there.
    EXPECT_EQ(Harmless(tape), STATUS_SUCCESS);
    EXPECT_EQ(Harmless(tape), STATUS_SUCCESS);
    EXPECT_EQ(Primary(), second);
}

TEST_F(ReservationTest, APlainReservationThatCannotBeTakenOverIsLoggedOnlyWithFailoverEvents)
{
    Build(3);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    const PathEntry *first = Primary();
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(Command(tape, {kOpReserve6, 0, 0, 0, 0, 0}), STATUS_SUCCESS);

    // Another initiator takes the drive whenever this host tries to reserve it: the class driver
    // cannot carry the reservation over, and the request on the next path fails before it runs.
    FabFaultRequest elsewhere{};
    elsewhere.Scope = FAB_SCOPE_DRIVE;
    elsewhere.Kind = FAB_FAULT_RESERVATION;
    elsewhere.Form = FAB_FORM_UNTIL_CLEARED;
    elsewhere.fOpcodeFilter = 1;
    elsewhere.Opcode = kOpReserve6;
    ASSERT_EQ(fabric_->AddFault(elsewhere), STATUS_SUCCESS);
    StopPath(first);
    const PathEntry *second = Primary();
    ASSERT_TRUE(second && second != first);
    PDEVICE_OBJECT secondDevice = second->pPathDevice;
    hk::ClearEventLog();
    EXPECT_FALSE(NT_SUCCESS(Harmless(tape)));
    EXPECT_TRUE(Events(kReservationNotBroken).empty()) << "failover events are off";
    EXPECT_EQ(Ldx()->pLastReservingPath, secondDevice) << "a changed path counts, whatever the outcome";

    // The setting is read at the bus's start; the extension field is what the bus consults.
    Ldx()->pBus->fFailoverEventsEnabled = 1;
    StopPath(second);
    const PathEntry *third = Primary();
    ASSERT_TRUE(third && third != first && third != second);
    PDEVICE_OBJECT thirdDevice = third->pPathDevice;
    hk::ClearEventLog();
    EXPECT_FALSE(NT_SUCCESS(Harmless(tape)));
    auto events = Events(kReservationNotBroken);
    ASSERT_EQ(events.size(), 1u);
    ASSERT_EQ(events[0].strings.size(), 2u);
    EXPECT_EQ(hk::Utf8(events[0].strings[0]), PointerText(thirdDevice));
    EXPECT_EQ(hk::Utf8(events[0].strings[1]), PointerText(secondDevice)) << "the last reserving path";
    EXPECT_EQ(hk::Utf8(events[0].text), "VYR Tape Bus Enumerator error on failover attempt: " + PointerText(thirdDevice) +
                                            " could not break previous reservation on " + PointerText(secondDevice) +
                                            ".");
}

TEST_F(ReservationTest, ARegisterThroughPassThroughOnANewPathTakesTheKeyFromItsParameterList)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    const PathEntry *first = Primary();
    StopPath(first);
    const PathEntry *second = Primary();
    ASSERT_TRUE(second && second != first);

    const Key key = {0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77};
    std::vector<UCHAR> list(24, 0);
    std::copy(key.begin(), key.end(), list.begin() + 8); // service action reservation key
    UCHAR scsi = 0xFF;
    ASSERT_EQ(Command(tape, {kOpPrOut, kRegister, 0, 0, 0, 0, 0, 0, 24, 0}, &scsi, list), STATUS_SUCCESS);
    EXPECT_EQ(scsi, 0);
    LogicalDeviceExtension *ldx = Ldx();
    EXPECT_EQ(ldx->pLastReservingPath, second->pPathDevice);
    EXPECT_TRUE(ldx->fReservationActive);
    EXPECT_EQ(ldx->ReservationKey, AsField(key));
    FabDriveState state{};
    ASSERT_EQ(fabric_->QueryDrive(0, &state), STATUS_SUCCESS);
    EXPECT_EQ(state.Registrations, 1u);
}

// A registered key follows the request to the other path when its path fails under it.
TEST_F(ReservationTest, RegisteredKeyIsCarriedToThePathARequestFailsOverTo)
{
    Build(2);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    const PathEntry *first = Primary();
    const PathEntry *second = Other(first);
    ASSERT_TRUE(first && second);
    PDEVICE_OBJECT secondDevice = second->pPathDevice;
    FabPathEntry firstFab = Fab(first), secondFab = Fab(second);
    const Key host = {0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28};
    const Key registered = {0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38};
    ASSERT_EQ(SetHostKey(tape, host), STATUS_SUCCESS);
    ASSERT_EQ(PrOut(tape, kRegister, host, registered), STATUS_SUCCESS);
    ASSERT_EQ(Ldx()->ReservationKey, AsField(registered));

    // The next write is held on the primary path; its cable is pulled under it.
    ASSERT_EQ(fabric_->AddFault(HoldWrites(FAB_SCOPE_PATH, firstFab.Index)), STATUS_SUCCESS);
    hk::ClearEventLog();
    std::vector<UCHAR> block = Block(4096, 3);
    NTSTATUS status = STATUS_PENDING;
    ULONG written = 0;
    std::thread writer([&] { status = Write(tape, block, &written); });
    ASSERT_EQ(fabric_->WaitHeld(1), STATUS_SUCCESS);
    ASSERT_EQ(fabric_->PullPath(firstFab.Index), STATUS_SUCCESS);
    writer.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(written, block.size());

    auto reports = Events(kReservingHostKey);
    ASSERT_GE(reports.size(), 1u);
    EXPECT_EQ(hk::Utf8(reports.back().strings[0]), Hex(registered));
    EXPECT_EQ(hk::Utf8(reports.back().strings[1]), std::string(secondFab.szInitiatorWwpn));
    LogicalDeviceExtension *ldx = Ldx();
    EXPECT_EQ(ldx->pLastReservingPath, secondDevice);
    EXPECT_TRUE(ldx->fReservationActive);
    EXPECT_EQ(ldx->ReservationKey, AsField(registered));
}

// ---------------------------------------------------------------------------------------------
// 32-bit callers' pass-through through the whole stack
// ---------------------------------------------------------------------------------------------
class PassThrough32Test : public TapeStackTest {
protected:
    void SetUp() override
    {
        TapeStackTest::SetUp();
        app_ = hk::Process::Create("app32", /*is32bit=*/true);
    }

    ULONG CommandsSeen()
    {
        std::vector<FabPathEntry> paths;
        EXPECT_EQ(fabric_->QueryTopology(nullptr, &paths), STATUS_SUCCESS);
        ULONG n = 0;
        for (const FabPathEntry &p : paths)
            n += p.CommandsSeen;
        return n;
    }

    // The 32-bit layout: structure (44 bytes), a filler, sense at 48, data at 80.
    static std::vector<UCHAR> Structure(UCHAR op, UCHAR direction, ULONG dataLength, ULONG senseOffset = 48,
                                        ULONG dataOffset = 80, ULONG total = 80 + 96)
    {
        std::vector<UCHAR> buffer(total, 0xA5);
        SCSI_PASS_THROUGH32 pt{};
        pt.Length = sizeof pt;
        pt.CdbLength = 6;
        pt.SenseInfoLength = 32;
        pt.DataIn = direction;
        pt.DataTransferLength = dataLength;
        pt.DataBufferOffset = dataOffset;
        pt.SenseInfoOffset = senseOffset;
        pt.Cdb[0] = op;
        pt.Cdb[4] = (UCHAR)dataLength;
        memcpy(buffer.data(), &pt, sizeof pt);
        return buffer;
    }
};

TEST_F(PassThrough32Test, DataAndSenseComeBackAtTheCallersOwnPlaces)
{
    Build(1);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE) << std::hex << app_->LastStatus();

    // The whole buffer goes in, so that what the bus leaves alone comes back as the caller wrote it.
    std::vector<UCHAR> buffer = Structure(kOpInquiry, SCSI_IOCTL_DATA_IN, 96);
    ULONG returned = 0;
    ASSERT_EQ(Ioctl(tape, IOCTL_SCSI_PASS_THROUGH, buffer.data(), (ULONG)buffer.size(), buffer.data(),
                    (ULONG)buffer.size(), &returned),
              STATUS_SUCCESS);
    SCSI_PASS_THROUGH32 back;
    memcpy(&back, buffer.data(), sizeof back);
    EXPECT_EQ(back.Length, 44);
    EXPECT_EQ(back.ScsiStatus, 0);
    EXPECT_EQ(back.DataBufferOffset, 80u) << "the caller's offsets are its own";
    EXPECT_EQ(back.SenseInfoOffset, 48u);
    EXPECT_EQ(back.Cdb[0], kOpInquiry);
    EXPECT_GE(back.DataTransferLength, 36u);
    EXPECT_LE(back.DataTransferLength, 96u);
    EXPECT_EQ(buffer[80] & 0x1F, 0x01) << "the INQUIRY data landed at the caller's data offset";
    EXPECT_EQ(returned, 80 + back.DataTransferLength);
    EXPECT_EQ(buffer[44], 0xA5) << "the filler is untouched";

    // A check condition: the sense comes back at the caller's sense offset.
    FabFaultRequest fault{};
    fault.Scope = FAB_SCOPE_DRIVE;
    fault.Kind = FAB_FAULT_SENSE;
    fault.Form = FAB_FORM_ONE_SHOT;
    fault.fOpcodeFilter = 1;
    fault.Opcode = kOpTestUnitReady;
    fault.SenseKey = 3, fault.Asc = 0x11, fault.Ascq = 0x01;
    ASSERT_EQ(fabric_->AddFault(fault), STATUS_SUCCESS);
    buffer = Structure(kOpTestUnitReady, SCSI_IOCTL_DATA_UNSPECIFIED, 0, 44, 0, 80);
    ASSERT_EQ(Ioctl(tape, IOCTL_SCSI_PASS_THROUGH, buffer.data(), 44, buffer.data(), (ULONG)buffer.size(), &returned),
              STATUS_SUCCESS);
    memcpy(&back, buffer.data(), sizeof back);
    EXPECT_EQ(back.ScsiStatus, 2) << "CHECK CONDITION";
    ASSERT_GE(back.SenseInfoLength, 14);
    EXPECT_EQ(buffer[44 + 2] & 0x0F, 3);
    EXPECT_EQ(buffer[44 + 12], 0x11);
    EXPECT_EQ(buffer[44 + 13], 0x01);
    EXPECT_EQ(returned, 44u + back.SenseInfoLength);
}

TEST_F(PassThrough32Test, DirectDataMovesThroughTheCallersOwnBuffer)
{
    Build(1);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    // A 32-bit process's buffer lies below 4 GB.
    void *low = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    ASSERT_NE(low, MAP_FAILED);
    memset(low, 0xEE, 4096);
    std::vector<UCHAR> buffer = Structure(kOpInquiry, SCSI_IOCTL_DATA_IN, 96, 44, 0, 76);
    ULONG address = (ULONG)(uintptr_t)low;
    memcpy(&buffer[FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT32, DataBuffer)], &address, 4);
    ULONG returned = 0;
    EXPECT_EQ(Ioctl(tape, IOCTL_SCSI_PASS_THROUGH_DIRECT, buffer.data(), (ULONG)buffer.size(), buffer.data(),
                    (ULONG)buffer.size(), &returned),
              STATUS_SUCCESS);
    SCSI_PASS_THROUGH_DIRECT32 back;
    memcpy(&back, buffer.data(), sizeof back);
    EXPECT_EQ(back.DataBuffer, address) << "the caller's own pointer";
    EXPECT_EQ(back.ScsiStatus, 0);
    EXPECT_GE(back.DataTransferLength, 36u);
    EXPECT_EQ(((UCHAR *)low)[0] & 0x1F, 0x01) << "the INQUIRY data arrived in the caller's buffer";
    EXPECT_EQ(returned, 44u);
    munmap(low, 4096);
}

TEST_F(PassThrough32Test, MalformedStructuresNeverReachTheDrive)
{
    Build(1);
    HANDLE tape = Open();
    ASSERT_NE(tape, hk::INVALID_HANDLE);
    ULONG before = CommandsSeen();
    struct Case {
        const char *name;
        std::vector<UCHAR> buffer;
        ULONG in, out;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"DataPastTheOutput", Structure(kOpInquiry, SCSI_IOCTL_DATA_IN, 97), 44, 176, STATUS_INVALID_PARAMETER},
        {"DataOffsetWraps", Structure(kOpInquiry, SCSI_IOCTL_DATA_IN, 96, 48, 0xFFFFFFF0u), 44, 176,
         STATUS_INVALID_PARAMETER},
        {"SenseInsideTheStructure", Structure(kOpInquiry, SCSI_IOCTL_DATA_IN, 96, 40), 44, 176, STATUS_INVALID_PARAMETER},
        {"OutgoingDataPastTheInput", Structure(0x0A, SCSI_IOCTL_DATA_OUT, 96), 100, 176, STATUS_INVALID_PARAMETER},
        {"InputBelowTheStructure", Structure(kOpInquiry, SCSI_IOCTL_DATA_IN, 96), 40, 176, STATUS_BUFFER_TOO_SMALL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<UCHAR> buffer = c.buffer;
        EXPECT_EQ(Ioctl(tape, IOCTL_SCSI_PASS_THROUGH, buffer.data(), c.in, buffer.data(), c.out), c.status);
    }
    EXPECT_EQ(CommandsSeen(), before);
}

} // namespace
} // namespace vyr::test
