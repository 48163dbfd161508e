// Names of the logical devices: plain numbering, persistent names kept per drive in the
// registry across restarts, and the Plug and Play requests a logical device object answers.
#include "bus_paths_fixture.h"

namespace vyr::test {
namespace {

class NamingTest : public BusPathsTest {
protected:
    static std::string NameKey(const std::string &subkey) { return std::string(kBusServiceKey) + "\\" + subkey; }
    static std::string StoredName(const std::string &subkey)
    {
        std::string value;
        if (!hk::RegGetString(NameKey(subkey), "PersistentDeviceName", &value))
            return "<none>";
        return value;
    }
    static void StoreName(const std::string &subkey, const std::string &name)
    {
        hk::RegCreateKey(NameKey(subkey));
        hk::RegSetString(NameKey(subkey), "PersistentDeviceName", name);
    }
    ULONG RegisterNumber(const PathSpec &p)
    {
        PathRegistration r;
        EXPECT_EQ(Register(NewPath(), p, &r), STATUS_SUCCESS);
        return r.ulDeviceNumber;
    }
};

TEST_F(NamingTest, PlainNumbersSkipNamesInUse)
{
    StartBus();
    // Someone else already has \Device\Tape1.
    PDEVICE_OBJECT squatter = nullptr;
    UNICODE_STRING name = Unicode(u"\\Device\\Tape1");
    ASSERT_EQ(IoCreateDevice(hk::FindDriver("bus_pathstub"), 0, &name, FILE_DEVICE_TAPE, 0, FALSE, &squatter),
              STATUS_SUCCESS);
    PathSpec a, b, c;
    b.serial = "SECOND";
    c.serial = "THIRD";
    EXPECT_EQ(RegisterNumber(a), 0u);
    EXPECT_EQ(RegisterNumber(b), 2u);
    EXPECT_EQ(RegisterNumber(c), 3u);
    EXPECT_EQ(LinkTarget("Tape0"), "\\Device\\Tape0");
    EXPECT_EQ(LinkTarget("Tape2"), "\\Device\\Tape2");
    EXPECT_EQ(LinkTarget("Tape1"), "");
    PDEVICE_OBJECT tape2 = Logical("Tape2");
    ASSERT_NE(tape2, nullptr);
    EXPECT_EQ(tape2->DeviceType, (DEVICE_TYPE)FILE_DEVICE_UNKNOWN);
    EXPECT_EQ(tape2->Characteristics & FILE_DEVICE_SECURE_OPEN, (ULONG)FILE_DEVICE_SECURE_OPEN);
    EXPECT_TRUE(hk::RegSubKeys(kBusServiceKey).empty()) << "no persistent names without the setting";
}

TEST_F(NamingTest, PersistentNameByWwnnSurvivesARestart)
{
    StartBus({{"PersistentNaming", 1}});
    PathSpec a, b;
    b.port = 2;
    EXPECT_EQ(RegisterNumber(a), 5659986u);
    EXPECT_EQ(RegisterNumber(b), 5659986u);
    EXPECT_EQ(LinkTarget("Tape5659986"), "\\Device\\Tape5659986");
    EXPECT_EQ(StoredName("WWNN_500507630F123456"), "Tape5659986");
    std::string value;
    ASSERT_TRUE(hk::RegGetString(DeviceMapKey(a), "DeviceName", &value));
    EXPECT_EQ(value, "Tape5659986");

    // A different drive is numbered next; after a restart the two come back in the other order
    // and each keeps its name.
    PathSpec other;
    other.serial = "OTHER";
    other.wwnn = "500507630F999999";
    EXPECT_EQ(RegisterNumber(other), 5659987u);

    Restart();
    EXPECT_EQ(RegisterNumber(other), 5659987u);
    EXPECT_EQ(RegisterNumber(a), 5659986u);
    PathSpec newcomer;
    newcomer.serial = "NEW";
    newcomer.wwnn = "5005076300000001";
    EXPECT_EQ(RegisterNumber(newcomer), 5659988u) << "names the table holds are skipped";
}

TEST_F(NamingTest, SerialKeyForOtherLunsAndUnknownWwnn)
{
    StartBus({{"PersistentNaming", 1}});
    PathSpec lun1, unknown, shortWwnn;
    lun1.lun = 1;
    unknown.serial = "UNKNOWNWWNN";
    unknown.wwnn = "0000000000000000";
    // A WWNN shorter than 16 characters is right-aligned and '0'-filled: still known.
    shortWwnn.serial = "SHORTWWNN";
    shortWwnn.wwnn = "ABC";
    EXPECT_EQ(RegisterNumber(lun1), 5659986u);
    EXPECT_EQ(RegisterNumber(unknown), 5659987u);
    EXPECT_EQ(RegisterNumber(shortWwnn), 5659988u);
    EXPECT_EQ(StoredName("SERNUM_SERIAL0001" + std::string(22, ' ')), "Tape5659986");
    EXPECT_EQ(StoredName("SERNUM_UNKNOWNWWNN" + std::string(21, ' ')), "Tape5659987");
    EXPECT_EQ(StoredName("WWNN_0000000000000ABC"), "Tape5659988");

    // A serial shorter than 32 characters is right-aligned and '0'-filled.
    PathSpec shortSerial;
    shortSerial.serial = "ABC";
    shortSerial.wwnn = "0";
    PDEVICE_OBJECT p = NewPath();
    PathRegistration r;
    ASSERT_EQ(Register(p, shortSerial, &r, /*padSerial=*/false), STATUS_SUCCESS);
    EXPECT_EQ(StoredName("SERNUM_" + std::string(29, '0') + "ABC"), "Tape5659989");
}

TEST_F(NamingTest, ABlankPaddedSerialKeepsItsNameAcrossARestart)
{
    // Drives report their serial padded with blanks; the key keeps the blanks and must load back.
    StartBus({{"PersistentNaming", 1}});
    PathSpec lun1;
    lun1.lun = 1;
    EXPECT_EQ(RegisterNumber(lun1), 5659986u);
    ASSERT_EQ(StoredName("SERNUM_SERIAL0001" + std::string(22, ' ')), "Tape5659986");
    Restart();
    PathSpec other;
    other.serial = "OTHER";
    other.lun = 1;
    EXPECT_EQ(RegisterNumber(other), 5659987u) << "the padded drive's name is in the table again";
    EXPECT_EQ(RegisterNumber(lun1), 5659986u);
}

TEST_F(NamingTest, TableLoadFiltersNamesAndHonoursTheUsersChoice)
{
    machine_->SetServiceDword(kBusService, "PersistentNaming", 1);
    StoreName("WWNN_500507630F123456", "Tape7");                  // the user renamed this drive
    StoreName("WWNN_12G4", "Tape5659986");                         // not hexadecimal: ignored
    StoreName("SERNUM_BAD-NAME", "Tape5659987");                   // not alphanumeric: ignored
    StoreName("SERNUM_LONGVALUE", "Tape12345678901234");           // 18 characters: skipped
    StoreName("SERNUM_AAAA", "Tape5659988");                       // a later good entry still loads
    hk::RegCreateKey(NameKey("SERNUM_NOVALUE"));                   // no value: skipped
    hk::RegCreateKey(NameKey(std::string("SERNUM_") + std::string(60, 'X'))); // longer than the buffer
    StartBus();

    std::vector<std::string> loaded;
    for (PersistentNameEntry *e = Bus()->pPersistentNames; e; e = e->pNext) {
        std::u16string key((const char16_t *)e->szKeyName);
        loaded.push_back(hk::Utf8(key));
    }
    std::sort(loaded.begin(), loaded.end());
    EXPECT_EQ(loaded, (std::vector<std::string>{"SERNUM_AAAA", "WWNN_500507630F123456"}));

    PathSpec renamed;
    EXPECT_EQ(RegisterNumber(renamed), 7u);
    EXPECT_NE(Logical("Tape7"), nullptr);
    EXPECT_EQ(LinkTarget("Tape7"), "\\Device\\Tape7");
    EXPECT_EQ(StoredName("WWNN_500507630F123456"), "Tape7") << "a name from the table is not rewritten";

    // Numbering skips Tape5659988 (held by SERNUM_AAAA) but not the ignored entries' names.
    PathSpec fresh;
    fresh.serial = "FRESH";
    fresh.wwnn = "5005076300000002";
    EXPECT_EQ(RegisterNumber(fresh), 5659986u);
    PathSpec fresh2;
    fresh2.serial = "FRESH2";
    fresh2.wwnn = "5005076300000003";
    EXPECT_EQ(RegisterNumber(fresh2), 5659987u);
    PathSpec fresh3;
    fresh3.serial = "FRESH3";
    fresh3.wwnn = "5005076300000004";
    EXPECT_EQ(RegisterNumber(fresh3), 5659989u);
}

TEST_F(NamingTest, FirstRegistrationAskingForPersistentNamesSwitchesThemOn)
{
    StartBus();
    PathSpec plain, asking, later;
    plain.serial = "PLAIN";
    asking.serial = "ASKING";
    asking.persistent = 1;
    later.serial = "LATER";
    EXPECT_EQ(RegisterNumber(plain), 0u);
    EXPECT_EQ(RegisterNumber(asking), 5659986u);
    EXPECT_EQ(RegisterNumber(later), 5659987u) << "on for good";
    EXPECT_EQ(Bus()->fPersistentNaming, 1);
}

TEST_F(NamingTest, UnrecordedNameStillMakesTheDevice)
{
    StartBus({{"PersistentNaming", 1}});
    hk::VerifierFaults faults;
    faults.failTag = hk::MakeTag("BUSf");
    hk::SetVerifierFaults(faults);
    PathSpec a;
    EXPECT_EQ(RegisterNumber(a), 5659986u);
    hk::ClearVerifierFaults();
    EXPECT_EQ(Bus()->pPersistentNames, nullptr);
    EXPECT_EQ(StoredName("WWNN_500507630F123456"), "Tape5659986") << "the registry write came first";
}

TEST_F(NamingTest, FailedLinkUndoesTheDevice)
{
    StartBus();
    ASSERT_EQ(hk::internal::ObCreateSymbolicLink(u"\\??\\Tape0", u"\\Device\\Elsewhere"), STATUS_SUCCESS);
    PathSpec a;
    EXPECT_EQ(Register(NewPath(), a), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Logical("Tape0"), nullptr);
    EXPECT_EQ(Bus()->pLogicalDevices, nullptr);
    EXPECT_EQ(LinkTarget("Tape0"), "\\Device\\Elsewhere") << "the other owner's link stays";
    EXPECT_EQ(hk::internal::ObDeleteSymbolicLink(u"\\??\\Tape0"), STATUS_SUCCESS);
}

// Plug and Play requests sent straight to a logical device object.
NTSTATUS SendPnp(PDEVICE_OBJECT device, UCHAR minor, NTSTATUS initial = STATUS_NOT_SUPPORTED, ULONG_PTR *information = nullptr)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, &event, &iosb);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = initial;
    irp->IoStatus.Information = 0x55;
    IoGetNextIrpStackLocation(irp)->MinorFunction = minor;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    if (information)
        *information = iosb.Information;
    return status;
}

TEST_F(NamingTest, LogicalDeviceAnswersPlugAndPlay)
{
    StartBus();
    PathSpec a;
    ASSERT_EQ(Register(NewPath(), a), STATUS_SUCCESS);
    PDEVICE_OBJECT tape = Logical("Tape0");
    LogicalDeviceExtension *ldx = BusLogical(tape);
    EXPECT_EQ(ldx->ulState, PNP_NOT_STARTED);

    EXPECT_EQ(SendPnp(tape, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(ldx->ulState, PNP_STARTED);
    EXPECT_EQ(SendPnp(tape, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(ldx->ulState, PNP_STOP_PENDING);
    EXPECT_EQ(SendPnp(tape, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(ldx->ulState, PNP_STARTED);
    EXPECT_EQ(SendPnp(tape, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(tape, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(ldx->ulState, PNP_STARTED);
    EXPECT_EQ(SendPnp(tape, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(ldx->ulState, PNP_STOPPED);

    ULONG_PTR information = 0;
    EXPECT_EQ(SendPnp(tape, IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_NOT_SUPPORTED, &information), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(information, 0x55u) << "completed as it came";
    EXPECT_EQ(SendPnp(tape, IRP_MN_QUERY_CAPABILITIES), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(tape, IRP_MN_QUERY_ID, STATUS_NOT_SUPPORTED, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(ldx->lOutstanding, 1) << "every request gave its reference back";

    // Removal takes the device out of the table and deletes it with its link.
    EXPECT_EQ(SendPnp(tape, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Logical("Tape0"), nullptr);
    EXPECT_EQ(LinkTarget("Tape0"), "");
    EXPECT_EQ(Bus()->pLogicalDevices, nullptr);
    EXPECT_EQ(Bus()->pPorts, nullptr);
}

} // namespace
} // namespace vyr::test
