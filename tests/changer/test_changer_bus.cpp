// The changer bus enumerator with stand-in path devices registered by hand: the changer family's
// records, naming, what a logical changer does with each kind of request, and the failover of
// device controls to another path.
#include "changer_fixture.h"

namespace vyr::test {
namespace {

class ChangerBusTest : public ChangerTest {};

TEST_F(ChangerBusTest, RegistrationRecordsAreCheckedAndAnswered)
{
    StartBus();
    PDEVICE_OBJECT path = NewPath();
    ChangerPathRegistration r = MakeRegistration(path);
    ULONG_PTR information = 0xFF;

    // One byte short of the record: refused, and nothing registered.
    EXPECT_EQ(Ioctl(IOCTL_CGBUS_REGISTER_PATH, &r, 79, &r, 79, &information), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(Changer(0), nullptr);

    // A longer buffer is fine; the reply is the 80-byte record with the table and the number.
    std::vector<uint8_t> big(96, 0);
    memcpy(big.data(), &r, sizeof r);
    EXPECT_EQ(Ioctl(IOCTL_CGBUS_REGISTER_PATH, big.data(), 96, big.data(), 96, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 80u);
    ChangerPathRegistration reply;
    memcpy(&reply, big.data(), sizeof reply);
    EXPECT_NE(reply.pStatusTable, 0u);
    EXPECT_EQ(reply.ulDeviceNumber, 0u);
    ASSERT_NE(Changer(0), nullptr);

    // A notification shorter than 16 bytes is refused too.
    ChangerPathNotification n{};
    n.pPathDevice = (ULONG64)(uintptr_t)path;
    n.ulState = PNP_STOPPED;
    EXPECT_EQ(Ioctl(IOCTL_CGBUS_NOTIFY_PATH, &n, 15, nullptr, 0), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(Query()[0].fAvailable, 1);
    EXPECT_EQ(SetState(path, PNP_STOPPED), STATUS_SUCCESS);
    EXPECT_EQ(Query()[0].fAvailable, 0);

    // The tape family's codes mean nothing here: they go to the device below the bus.
    PathRegistration tape{};
    EXPECT_NE(Ioctl(IOCTL_TPBUS_REGISTER_PATH, &tape, sizeof tape, &tape, sizeof tape), STATUS_SUCCESS);
    EXPECT_EQ(Changer(1), nullptr);
}

TEST_F(ChangerBusTest, PathsOfOneChangerAreGroupedAndNamed)
{
    StartBus({{"FailoverEventsEnabled", 1}});
    PDEVICE_OBJECT first = NewPath();
    PDEVICE_OBJECT second = NewPath();
    ULONG otherIndex;
    PDEVICE_OBJECT other = NewPath(&otherIndex);
    SetSerial(otherIndex, "CHANGER0002");
    ChangerPathRegistration reply;
    ASSERT_EQ(Register(first, &reply), STATUS_SUCCESS);
    ASSERT_EQ(Register(second, &reply), STATUS_SUCCESS);
    EXPECT_EQ(reply.ulDeviceNumber, 0u);
    ASSERT_EQ(Register(other, &reply), STATUS_SUCCESS);
    EXPECT_EQ(reply.ulDeviceNumber, 1u);

    std::vector<PathInfoEntry> entries = Query();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_STREQ(entries[0].szDeviceName, "Changer0");
    EXPECT_STREQ(entries[1].szDeviceName, "Changer0");
    EXPECT_STREQ(entries[2].szDeviceName, "Changer1");
    EXPECT_EQ(entries[0].fPrimary + entries[1].fPrimary, 1);
    EXPECT_EQ(std::string(entries[0].szSerialNumber, 11), "CHANGER0001");

    // Applications reach the changers by their DOS names, and the same query works there.
    EXPECT_EQ(Query("\\\\.\\Changer1").size(), 3u);
    PDEVICE_OBJECT changer = Changer(0);
    ASSERT_NE(changer, nullptr);
    EXPECT_EQ(changer->DeviceType, (ULONG)FILE_DEVICE_UNKNOWN);
    EXPECT_TRUE(changer->Characteristics & FILE_DEVICE_SECURE_OPEN);

    // The first path of each changer is its primary, and says so in the event log.
    std::vector<hk::EventRecord> primaries = EventsWithId(0x40000006);
    ASSERT_EQ(primaries.size(), 2u);
    EXPECT_NE(hk::Utf8(primaries[0].text).find("VYR Changer Bus Enumerator: "), std::string::npos);
}

TEST_F(ChangerBusTest, TakenNameMovesTheNextChangerOn)
{
    StartBus();
    PDEVICE_OBJECT squatter = nullptr;
    ASSERT_EQ(createNamed_(u"\\Device\\Changer0", &squatter), STATUS_SUCCESS);
    ULONG index;
    PDEVICE_OBJECT path = NewPath(&index);
    ChangerPathRegistration reply;
    ASSERT_EQ(Register(path, &reply), STATUS_SUCCESS);
    EXPECT_EQ(reply.ulDeviceNumber, 1u);
    ASSERT_NE(Changer(1), nullptr);
    EXPECT_EQ(Query()[0].szDeviceName, std::string("Changer1"));
    std::string value;
    EXPECT_TRUE(hk::RegGetString(DeviceMapKey(index), "DeviceName", &value));
    EXPECT_EQ(value, "Changer1");
}

TEST_F(ChangerBusTest, OpensReadsAndWritesEndAtTheBus)
{
    StartBus();
    ULONG index;
    PDEVICE_OBJECT path = NewPath(&index);
    ASSERT_EQ(Register(path), STATUS_SUCCESS);
    ASSERT_EQ(SetState(path, PNP_STOPPED), STATUS_SUCCESS);

    // Every path is down: the changer still opens, and the first device control finds no path.
    auto process = hk::Process::Create("app");
    HANDLE h = process->CreateFile("\\\\.\\Changer0");
    ASSERT_NE(h, hk::INVALID_HANDLE) << std::hex << process->LastStatus();
    uint8_t out[16] = {};
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(process->NtDeviceIoControlFile(h, kIoctlChangerGetStatus, nullptr, 0, out, sizeof out, &iosb),
              STATUS_OBJECT_PATH_NOT_FOUND);

    // Reads and writes complete with success and nothing moved, paths up or down.
    uint8_t data[64];
    memset(data, 0x11, sizeof data);
    iosb = {};
    EXPECT_EQ(process->NtReadFile(h, data, sizeof data, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 0u);
    EXPECT_EQ(data[0], 0x11);
    ASSERT_EQ(SetState(path, PNP_STARTED), STATUS_SUCCESS);
    iosb = {};
    EXPECT_EQ(process->NtWriteFile(h, data, sizeof data, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 0u);
    EXPECT_EQ(paths_[index].requests, 0);
    EXPECT_EQ(paths_[index].creates, 0);

    // Any other major function is refused by the request path.
    iosb = {};
    EXPECT_EQ(process->NtSendMajor(h, IRP_MJ_FLUSH_BUFFERS, &iosb), STATUS_NOT_IMPLEMENTED);

    // The SCSI address is the bus's own answer.
    uint8_t address[8] = {};
    iosb = {};
    EXPECT_EQ(process->NtDeviceIoControlFile(h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, address, 7, &iosb),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(process->NtDeviceIoControlFile(h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, address, 8, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(address[4], paths_[index].address[4]);
    EXPECT_EQ(paths_[index].requests, 0);
    process->CloseHandle(h);
}

TEST_F(ChangerBusTest, FailingRequestMovesToTheNextPath)
{
    StartBus({{"FailoverEventsEnabled", 1}});
    ULONG a, b;
    PDEVICE_OBJECT first = NewPath(&a);
    PDEVICE_OBJECT second = NewPath(&b);
    ASSERT_EQ(Register(first), STATUS_SUCCESS);
    ASSERT_EQ(Register(second), STATUS_SUCCESS);
    paths_[a].result = kStatusIoDeviceError;

    auto process = hk::Process::Create("app");
    HANDLE h = process->CreateFile("\\\\.\\Changer0");
    ASSERT_NE(h, hk::INVALID_HANDLE);
    uint8_t in[20] = {1, 2, 3};
    uint8_t out[32];
    memset(out, 0xEE, sizeof out);
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(process->NtDeviceIoControlFile(h, kIoctlChangerMoveMedium, in, sizeof in, out, 16, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(paths_[a].requests, 1);
    EXPECT_EQ(paths_[b].requests, 1);
    EXPECT_EQ(paths_[b].lastCode, kIoctlChangerMoveMedium);
    // The second path's answer comes back, and nothing past the caller's buffer.
    EXPECT_EQ(iosb.Information, 16u);
    EXPECT_EQ(out[0], 0xA0 + b);
    EXPECT_EQ(out[15], 0xA0 + b);
    EXPECT_EQ(out[16], 0xEE);

    // The path that answered is the primary now: the next request goes there first.
    std::vector<PathInfoEntry> entries = Query();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].fPrimary, 0);
    EXPECT_EQ(entries[1].fPrimary, 1);
    iosb = {};
    EXPECT_EQ(process->NtDeviceIoControlFile(h, kIoctlChangerGetStatus, nullptr, 0, out, 16, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(paths_[a].requests, 1);

    std::vector<hk::EventRecord> events = EventsWithId(kEventFailoverAttempt);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(hk::Utf8(events[0].text), FailoverText("(NTSTATUS 0xC0000185)", kIoctlChangerMoveMedium));
    process->CloseHandle(h);
}

TEST_F(ChangerBusTest, FailureStaysWhenNoPathIsLeftOrTheStatusIsExempt)
{
    StartBus();
    ULONG a, b;
    PDEVICE_OBJECT first = NewPath(&a);
    ASSERT_EQ(Register(first), STATUS_SUCCESS);
    paths_[a].result = kStatusIoDeviceError;
    auto process = hk::Process::Create("app");
    HANDLE h = process->CreateFile("\\\\.\\Changer0");
    ASSERT_NE(h, hk::INVALID_HANDLE);
    uint8_t out[16];
    IO_STATUS_BLOCK iosb{};

    // One path: the request ends with the path's failure, and without events (none asked for).
    EXPECT_EQ(process->NtDeviceIoControlFile(h, kIoctlChangerGetStatus, nullptr, 0, out, sizeof out, &iosb),
              kStatusIoDeviceError);
    EXPECT_EQ(iosb.Information, 0u);
    EXPECT_EQ(paths_[a].requests, 1);
    EXPECT_TRUE(EventsWithId(kEventFailoverAttempt).empty());

    // A second path, but the status is one a changer gives for a request it refuses: no failover.
    PDEVICE_OBJECT second = NewPath(&b);
    ASSERT_EQ(Register(second), STATUS_SUCCESS);
    paths_[a].result = kStatusInvalidParameter;
    EXPECT_EQ(process->NtDeviceIoControlFile(h, kIoctlChangerGetStatus, nullptr, 0, out, sizeof out, &iosb),
              kStatusInvalidParameter);
    EXPECT_EQ(paths_[b].requests, 0);

    // Both paths fail: each is tried once and the last failure stands.
    paths_[a].result = kStatusIoDeviceError;
    paths_[b].result = kStatusIoDeviceError;
    EXPECT_EQ(process->NtDeviceIoControlFile(h, kIoctlChangerGetStatus, nullptr, 0, out, sizeof out, &iosb),
              kStatusIoDeviceError);
    EXPECT_EQ(paths_[a].requests, 3);
    EXPECT_EQ(paths_[b].requests, 1);
    process->CloseHandle(h);
}

TEST_F(ChangerBusTest, OnlyKernelModeRegistersPaths)
{
    StartBus();
    PDEVICE_OBJECT path = NewPath();
    ChangerPathRegistration r = MakeRegistration(path);
    auto process = hk::Process::Create("app");
    HANDLE h = process->CreateFile("\\\\.\\VYRCgBsDvcLnk");
    ASSERT_NE(h, hk::INVALID_HANDLE);
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(process->NtDeviceIoControlFile(h, IOCTL_CGBUS_REGISTER_PATH, &r, sizeof r, &r, sizeof r, &iosb),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(Changer(0), nullptr);
    process->CloseHandle(h);
}

} // namespace
} // namespace vyr::test
