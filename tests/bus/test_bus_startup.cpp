// The tape bus enumerator as the system sees it: loading, its control device, its Plug and Play
// and power handling, its settings and its event-log entries.
#include "bus.h"
#include "hk_internal.h"
#include "kernel_fixture.h"
#include "machine/machine.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

using vyr::sim::Machine;

constexpr const char *kBus = "vyrtpbs2k16";

std::string Text(const hk::EventRecord &e)
{
    return hk::Utf8(e.text);
}

std::vector<hk::EventRecord> EventsWithId(ULONG id)
{
    std::vector<hk::EventRecord> out;
    for (const hk::EventRecord &e : hk::EventLog())
        if (e.eventId == id)
            out.push_back(e);
    return out;
}

hk::DevNode *BusNode()
{
    return vyr::test::NodeWithHardwareId("root\\vyrtpbs2k16");
}

// The bus FDO, found by its name as a path filter finds it.
PDEVICE_OBJECT BusFdo()
{
    NTSTATUS status;
    auto *device = (PDEVICE_OBJECT)hk::internal::ObReferenceByName(u"\\Device\\VYRTpBsDvc", hk::internal::ObType::Device, &status);
    if (device)
        ObfDereferenceObject(device);
    return device;
}

class BusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        hk::ClearEventLog();
        machine_ = std::make_unique<Machine>();
    }
    void TearDown() override
    {
        machine_.reset(); // shuts down: the verifier's leak checks run here
        hk::ClearVerifierFaults();
    }
    void BootWithBus()
    {
        machine_->InstallTapeBus();
        machine_->Boot();
    }
    std::unique_ptr<Machine> machine_;
};

TEST_F(BusTest, StartsAndLogsDriverAndFdoAddresses)
{
    BootWithBus();
    hk::DevNode *node = BusNode();
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(hk::NodeState(node), hk::DevNodeState::Started);
    hk::DevNodeInfo info = hk::NodeInfo(node);
    ASSERT_EQ(info.stack.size(), 2u);
    EXPECT_EQ(info.stack[1], kBus);

    auto started = EventsWithId(0x40000001);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].source, kBus);
    EXPECT_EQ(started[0].severity, 1);
    PDRIVER_OBJECT driver = hk::FindDriver(kBus);
    char expected[160];
    snprintf(expected, sizeof expected,
             "VYR Tape Bus Enumerator started successfully.  Driver object is 0x%016lX, bus FDO is 0x%016lX.",
             (unsigned long)(uintptr_t)driver, (unsigned long)(uintptr_t)BusFdo());
    EXPECT_EQ(Text(started[0]), expected);
    // Two insertion strings at offset 40 of the packet, in the order %2, %3.
    ASSERT_EQ(started[0].strings.size(), 2u);
    auto *packet = (const IO_ERROR_LOG_PACKET *)started[0].packet.data();
    EXPECT_EQ(packet->StringOffset, 40);
    EXPECT_EQ(packet->NumberOfStrings, 2);
    EXPECT_EQ(packet->MajorFunctionCode, 0);
    EXPECT_EQ((ULONG)packet->ErrorCode, 0x40000001u);
}

TEST_F(BusTest, UnloadEntryHasNoStrings)
{
    BootWithBus();
    machine_->Shutdown();
    auto unloading = EventsWithId(0x40000007);
    ASSERT_EQ(unloading.size(), 1u);
    EXPECT_EQ(Text(unloading[0]), "VYR Tape Bus Enumerator is unloading.");
    auto *packet = (const IO_ERROR_LOG_PACKET *)unloading[0].packet.data();
    EXPECT_EQ(packet->NumberOfStrings, 0);
    EXPECT_EQ(packet->StringOffset, 40);
}

TEST_F(BusTest, ControlDeviceAnswersApplications)
{
    BootWithBus();
    auto process = hk::Process::Create("app");
    HANDLE h = process->CreateFile("\\\\.\\VYRTpBsDvcLnk");
    ASSERT_NE(h, hk::INVALID_HANDLE) << std::hex << process->LastStatus();

    IO_STATUS_BLOCK iosb{};
    char buffer[16];
    EXPECT_EQ(process->NtReadFile(h, buffer, sizeof buffer, &iosb), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(process->NtWriteFile(h, buffer, sizeof buffer, &iosb), STATUS_NOT_SUPPORTED);
    // Every other major function the control device does not serve.
    EXPECT_EQ(process->NtSendMajor(h, IRP_MJ_FLUSH_BUFFERS, &iosb), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(process->NtSendMajor(h, IRP_MJ_QUERY_INFORMATION, &iosb), STATUS_NOT_SUPPORTED);
    // A control code the bus does not know goes to the device below it (here the root PDO).
    ULONG returned = 0;
    EXPECT_FALSE(process->DeviceIoControl(h, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                          nullptr, 0, nullptr, 0, &returned));
    EXPECT_EQ(process->LastStatus(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(process->CloseHandle(h));

    // \DosDevices and \?? are one directory: the link is reachable by both spellings.
    for (const char16_t *path : {u"\\??\\VYRTpBsDvcLnk", u"\\DosDevices\\VYRTpBsDvcLnk", u"\\Device\\VYRTpBsDvc"}) {
        HANDLE other = hk::INVALID_HANDLE;
        EXPECT_EQ(process->NtCreateFile(&other, path, GENERIC_READ, 0), STATUS_SUCCESS) << hk::Utf8(path);
        EXPECT_EQ(process->NtSendMajor(other, IRP_MJ_CLEANUP, &iosb), STATUS_SUCCESS);
        EXPECT_EQ(process->NtClose(other), STATUS_SUCCESS);
    }
}

TEST_F(BusTest, PowerRequestsGoDownWithThePowerCall)
{
    BootWithBus();
    hk::DevNode *node = BusNode();
    uint64_t calls = hk::PoCallDriverCount();
    uint64_t starts = hk::PoStartNextPowerIrpCount();
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    EXPECT_EQ(hk::SendPowerRequest(node, IRP_MN_SET_POWER, DevicePowerState, state), STATUS_SUCCESS);
    EXPECT_EQ(hk::PoCallDriverCount(), calls + 1);
    // The bus starts the next power request, and so does the PDO below it.
    EXPECT_EQ(hk::PoStartNextPowerIrpCount(), starts + 2);
}

TEST_F(BusTest, SettingsAreReadAtStart)
{
    struct Case {
        std::vector<std::pair<std::string, ULONG>> values;
        UCHAR failoverDisabled, events, persistent;
    };
    const Case cases[] = {
        {{}, 0, 0, 0},
        {{{"FailoverDisabled", 1}}, 1, 0, 0},
        {{{"FailoverEventsEnabled", 7}}, 0, 1, 0},
        {{{"PersistentNaming", 1}, {"FailoverDisabled", 0}}, 0, 0, 1},
    };
    for (const Case &c : cases) {
        machine_.reset();
        machine_ = std::make_unique<Machine>();
        machine_->InstallTapeBus();
        for (auto &[name, value] : c.values)
            machine_->SetServiceDword(kBus, name, value);
        machine_->Boot();
        PDEVICE_OBJECT fdo = BusFdo();
        ASSERT_NE(fdo, nullptr);
        auto *bus = (const BusExtension *)fdo->DeviceExtension;
        EXPECT_EQ(bus->fFailoverDisabled, c.failoverDisabled);
        EXPECT_EQ(bus->fFailoverEventsEnabled, c.events);
        EXPECT_EQ(bus->fPortCounting, 1);
        EXPECT_EQ(bus->fPersistentNaming, c.persistent);
        EXPECT_EQ(bus->ulState, PNP_STARTED);
    }
}

TEST_F(BusTest, FailedDriverObjectExtensionFailsTheLoadWithAnEvent)
{
    hk::VerifierFaults faults;
    faults.failKind = hk::AllocKind::DriverObjectExtension;
    faults.failKindEnabled = true;
    faults.onlyDriver = kBus;
    hk::SetVerifierFaults(faults);
    BootWithBus();
    hk::ClearVerifierFaults();

    EXPECT_EQ(hk::FindDriver(kBus), nullptr);
    hk::DevNodeInfo info = hk::NodeInfo(BusNode());
    EXPECT_EQ(info.state, hk::DevNodeState::Failed);
    EXPECT_EQ(info.problem, STATUS_INSUFFICIENT_RESOURCES);
    auto failed = EventsWithId(0xC0000002);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(Text(failed[0]), "VYR Tape Bus Enumerator initialization failed with RC 0xc000009a.");
    EXPECT_EQ(failed[0].strings.size(), 1u) << "the second string is absent, not empty";
    EXPECT_EQ(failed[0].severity, 3);
}

TEST_F(BusTest, FailedControlDeviceIsLoggedAndLeavesNothingBehind)
{
    hk::VerifierFaults faults;
    faults.failKind = hk::AllocKind::DeviceObject;
    faults.failKindEnabled = true;
    faults.onlyDriver = kBus;
    hk::SetVerifierFaults(faults);
    BootWithBus();
    hk::ClearVerifierFaults();
    EXPECT_EQ(BusFdo(), nullptr);
    EXPECT_EQ(hk::NodeInfo(BusNode()).state, hk::DevNodeState::Failed);
    auto failed = EventsWithId(0xC0000002);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(Text(failed[0]), "VYR Tape Bus Enumerator initialization failed with RC 0xc000009a.");
}

TEST_F(BusTest, TakenLinkNameDeletesTheNewDevice)
{
    machine_->Boot();
    // Someone already owns the control device's link name.
    ASSERT_EQ(hk::internal::ObCreateSymbolicLink(u"\\??\\VYRTpBsDvcLnk", u"\\Device\\Elsewhere"), STATUS_SUCCESS);
    machine_->InstallTapeBus();
    EXPECT_EQ(BusFdo(), nullptr) << "the half-made control device must not stay";
    EXPECT_EQ(hk::NodeInfo(BusNode()).state, hk::DevNodeState::Failed);
    auto failed = EventsWithId(0xC0000002);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(Text(failed[0]), "VYR Tape Bus Enumerator initialization failed with RC 0xc0000035.");
    EXPECT_TRUE(EventsWithId(0x40000001).empty());
    EXPECT_EQ(hk::internal::ObDeleteSymbolicLink(u"\\??\\VYRTpBsDvcLnk"), STATUS_SUCCESS) << "the other owner's link stays";
}

TEST_F(BusTest, PlugAndPlayStatesFollowTheRequests)
{
    BootWithBus();
    hk::DevNode *node = BusNode();
    auto *bus = (const BusExtension *)BusFdo()->DeviceExtension;
    ASSERT_EQ(bus->ulState, PNP_STARTED);
    // A rebalance: query-stop, stop, start.
    EXPECT_EQ(hk::RebalanceDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(bus->ulState, PNP_STARTED);
    EXPECT_EQ(bus->ulPreviousState, PNP_STOPPED);
    EXPECT_EQ(bus->lOutstanding, 1) << "every PnP request gave its reference back";
    EXPECT_EQ(KeReadStateEvent((PRKEVENT)&bus->IdleEvent), 1);
}

TEST_F(BusTest, RemovalDeletesLinkAndDeviceAndUnloadsTheDriver)
{
    BootWithBus();
    EXPECT_EQ(hk::RemoveDevice(BusNode()), STATUS_SUCCESS);
    EXPECT_EQ(BusFdo(), nullptr);
    auto process = hk::Process::Create("app");
    EXPECT_EQ(process->CreateFile("\\\\.\\VYRTpBsDvcLnk"), hk::INVALID_HANDLE);
    EXPECT_EQ(process->LastStatus(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(hk::FindDriver(kBus), nullptr);
    EXPECT_EQ(EventsWithId(0x40000007).size(), 1u);
}

TEST_F(BusTest, RestartKeepsSettingsAndStartsAgain)
{
    machine_->InstallTapeBus();
    machine_->SetServiceDword(kBus, "FailoverEventsEnabled", 1);
    machine_->Boot();
    machine_->Restart();
    EXPECT_EQ(EventsWithId(0x40000001).size(), 2u);
    EXPECT_EQ(EventsWithId(0x40000007).size(), 1u);
    EXPECT_EQ(((const BusExtension *)BusFdo()->DeviceExtension)->fFailoverEventsEnabled, 1);
}

} // namespace
