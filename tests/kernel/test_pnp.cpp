// The Plug and Play manager as the drivers rely on it, on a bus driver (hk_bus) whose children are
// served by a function driver (hk_fdo) and an upper filter (hk_flt): the order of AddDevice and of
// each request through a stack, vetoes and their cancels, removal and the unload that follows it,
// children that come and go, and power requests.
#include "kernel_fixture.h"

#include "drivers/hk_test_abi.h"

#include <gmock/gmock.h>

#include <string>
#include <vector>

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using vyr::test::KernelTest;
using vyr::test::Unicode;

class PnpTest : public KernelTest {
protected:
    // Installs the three drivers and the Enum keys of the first children; the drivers are loaded
    // (not started) so that the test can set them up before anything is added.
    void Install(bool filtersOnClass = false, ULONG children = 1)
    {
        InstallDriver("hk_bus");
        InstallDriver("hk_fdo", "hk_layer");
        InstallDriver("hk_flt", "hk_layer");
        for (ULONG i = 0; i < 4; i++) {
            std::string instance = "HK\\Child\\" + std::to_string(i);
            InstallChildDevice(instance, "hk_fdo", filtersOnClass ? std::vector<std::string>{} : std::vector<std::string>{"hk_flt"});
            if (filtersOnClass)
                hk::RegSetString(std::string(kEnumKey) + instance, "ClassGUID", kTestClassGuid);
        }
        if (filtersOnClass)
            hk::RegSetMultiString(std::string(kClassKey) + kTestClassGuid, "UpperFilters", {"hk_flt"});
        bus_ = AddRootDevice("root\\hk_bus", "hk_bus");
        ASSERT_NE(bus_, nullptr);
        busConfig_ = Configure("hk_bus");
        fdoConfig_ = Configure("hk_fdo");
        fltConfig_ = Configure("hk_flt");
        ASSERT_TRUE(busConfig_ && fdoConfig_ && fltConfig_);
        busConfig_->childCount = children;
    }

    HkDriverConfig *Configure(const std::string &service)
    {
        if (hk::LoadDriver(service) != STATUS_SUCCESS) {
            ADD_FAILURE() << "cannot load " << service;
            return nullptr;
        }
        auto *config = Export<HkDriverConfig>(service, "HkConfig");
        if (config)
            config->trace = &trace_;
        return config;
    }

    // What the drivers traced since the last call.
    std::vector<std::string> Trace()
    {
        std::vector<std::string> lines;
        LONG count = trace_.count < (LONG)kHkTraceLines ? trace_.count : (LONG)kHkTraceLines;
        for (LONG i = seen_; i < count; i++)
            lines.push_back(trace_.lines[i]);
        seen_ = count;
        return lines;
    }

    hk::DevNode *Child(int index) { return hk::FindDevNode("HK\\Child\\" + std::to_string(index)); }

    bool Loaded(const std::string &service)
    {
        for (const std::string &s : hk::LoadedDrivers())
            if (s == service)
                return true;
        return false;
    }

    void StartBus()
    {
        ASSERT_EQ(hk::StartDevice(bus_), STATUS_SUCCESS);
        Trace(); // the bus's own start
    }

    HkTrace trace_{};
    LONG seen_ = 0;
    hk::DevNode *bus_ = nullptr;
    HkDriverConfig *busConfig_ = nullptr, *fdoConfig_ = nullptr, *fltConfig_ = nullptr;
};

class PnpStackBuildTest : public PnpTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PnpStackBuildTest, AddDeviceGoesBottomToTopAndStartTopToBottom)
{
    Install(/*filtersOnClass=*/GetParam());
    ASSERT_EQ(hk::StartDevice(bus_), STATUS_SUCCESS);

    // START reaches the top first and the PDO last; each driver finishes it on the way back up.
    EXPECT_THAT(Trace(), ElementsAre("hk_bus AddDevice", "hk_bus START", "hk_bus START done",
                                     "hk_fdo AddDevice", "hk_flt AddDevice",
                                     "hk_flt START", "hk_fdo START", "hk_bus.pdo START",
                                     "hk_fdo START done", "hk_flt START done"));
    hk::DevNode *child = Child(0);
    ASSERT_NE(child, nullptr);
    hk::DevNodeInfo info = hk::NodeInfo(child);
    EXPECT_EQ(info.state, hk::DevNodeState::Started);
    EXPECT_EQ(info.parent, bus_);
    EXPECT_THAT(info.stack, ElementsAre("hk_bus", "hk_fdo", "hk_flt"));
    EXPECT_THAT(info.hardwareIds, ElementsAre("HK\\Child"));
    std::vector<std::string> ids;
    EXPECT_TRUE(hk::RegGetMultiString(std::string(kEnumKey) + "HK\\Child\\0", "HardwareID", &ids));
    EXPECT_THAT(ids, ElementsAre("HK\\Child"));
    std::vector<std::string> busStack = hk::NodeInfo(bus_).stack;
    ASSERT_EQ(busStack.size(), 2u); // the root PDO and the bus FDO
    EXPECT_EQ(busStack.back(), "hk_bus");
}

INSTANTIATE_TEST_SUITE_P(FiltersOnEnumKeyOrClassKey, PnpStackBuildTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &p) { return p.param ? "ClassKey" : "EnumKey"; });

TEST_F(PnpTest, VetoedQueryRemoveIsCancelledOnTheWholeStack)
{
    struct Case {
        const char *name;
        bool filterVetoes;
        std::vector<std::string> queried;
    };
    Install();
    StartBus();
    const Case cases[] = {
        {"the filter vetoes", true, {"hk_flt QUERY_REMOVE"}},
        {"the function driver vetoes", false, {"hk_flt QUERY_REMOVE", "hk_fdo QUERY_REMOVE"}},
    };
    hk::DevNode *child = Child(0);
    ASSERT_NE(child, nullptr);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HkDriverConfig *vetoer = c.filterVetoes ? fltConfig_ : fdoConfig_;
        vetoer->vetoQueryRemove = STATUS_ACCESS_DENIED;

        EXPECT_EQ(hk::RemoveDevice(child), STATUS_ACCESS_DENIED);

        std::vector<std::string> expected = c.queried;
        for (const char *line : {"hk_flt CANCEL_REMOVE", "hk_fdo CANCEL_REMOVE", "hk_bus.pdo CANCEL_REMOVE"})
            expected.push_back(line);
        EXPECT_THAT(Trace(), ElementsAreArray(expected));
        EXPECT_EQ(hk::NodeState(child), hk::DevNodeState::Started);
        EXPECT_THAT(hk::NodeInfo(child).stack, ElementsAre("hk_bus", "hk_fdo", "hk_flt"));
        vetoer->vetoQueryRemove = 0;
    }
}

TEST_F(PnpTest, RemovalQueriesThenRemovesTopDownAndUnloadsDriversWithoutDevices)
{
    Install();
    StartBus();
    hk::DevNode *child = Child(0);
    ASSERT_NE(child, nullptr);

    ASSERT_EQ(hk::RemoveDevice(child), STATUS_SUCCESS);

    std::vector<std::string> trace = Trace();
    ASSERT_EQ(trace.size(), 8u);
    EXPECT_THAT(std::vector<std::string>(trace.begin(), trace.begin() + 6),
                ElementsAre("hk_flt QUERY_REMOVE", "hk_fdo QUERY_REMOVE", "hk_bus.pdo QUERY_REMOVE",
                            "hk_flt REMOVE", "hk_fdo REMOVE", "hk_bus.pdo REMOVE"));
    EXPECT_THAT(std::vector<std::string>(trace.begin() + 6, trace.end()),
                UnorderedElementsAre("hk_flt Unload", "hk_fdo Unload"));
    EXPECT_FALSE(Loaded("hk_fdo"));
    EXPECT_FALSE(Loaded("hk_flt"));
    EXPECT_TRUE(Loaded("hk_bus")); // its FDO and the child's PDO are still there
    EXPECT_EQ(hk::NodeState(child), hk::DevNodeState::Removed);
    EXPECT_THAT(hk::NodeInfo(child).stack, ElementsAre("hk_bus")); // the bus keeps a PDO it still reports

    // Started again, the stack comes back with drivers loaded afresh (new globals, not the old ones).
    fdoConfig_ = Configure("hk_fdo");
    fltConfig_ = Configure("hk_flt");
    ASSERT_TRUE(fdoConfig_ && fltConfig_);
    EXPECT_EQ(fdoConfig_->driverEntries, 1);
    EXPECT_EQ(fltConfig_->driverEntries, 1);
    ASSERT_EQ(hk::StartDevice(child), STATUS_SUCCESS);
    EXPECT_THAT(Trace(), ElementsAre("hk_fdo AddDevice", "hk_flt AddDevice", "hk_flt START", "hk_fdo START",
                                     "hk_bus.pdo START", "hk_fdo START done", "hk_flt START done"));
    EXPECT_EQ(hk::NodeState(child), hk::DevNodeState::Started);

    // The bus goes, with its children first.
    ASSERT_EQ(hk::RemoveDevice(bus_), STATUS_SUCCESS);
    trace = Trace();
    ASSERT_GE(trace.size(), 10u);
    EXPECT_THAT(std::vector<std::string>(trace.begin(), trace.begin() + 4),
                ElementsAre("hk_flt QUERY_REMOVE", "hk_fdo QUERY_REMOVE", "hk_bus.pdo QUERY_REMOVE",
                            "hk_bus QUERY_REMOVE"));
    EXPECT_FALSE(Loaded("hk_bus"));
    EXPECT_EQ(hk::FindDevNode("HK\\Child\\0"), nullptr);
    EXPECT_EQ(NamedDevice(u"\\Device\\HkChild0"), nullptr);
    EXPECT_EQ(trace.back(), "hk_bus Unload");
}

TEST_F(PnpTest, RebalanceStopsAndRestartsUnlessAQueryStopIsVetoed)
{
    Install();
    StartBus();
    hk::DevNode *child = Child(0);
    ASSERT_NE(child, nullptr);

    ASSERT_EQ(hk::RebalanceDevice(child), STATUS_SUCCESS);
    EXPECT_THAT(Trace(), ElementsAre("hk_flt QUERY_STOP", "hk_fdo QUERY_STOP", "hk_bus.pdo QUERY_STOP",
                                     "hk_flt STOP", "hk_fdo STOP", "hk_bus.pdo STOP",
                                     "hk_flt START", "hk_fdo START", "hk_bus.pdo START",
                                     "hk_fdo START done", "hk_flt START done"));
    EXPECT_EQ(hk::NodeState(child), hk::DevNodeState::Started);

    fdoConfig_->vetoQueryStop = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(hk::RebalanceDevice(child), STATUS_UNSUCCESSFUL);
    EXPECT_THAT(Trace(), ElementsAre("hk_flt QUERY_STOP", "hk_fdo QUERY_STOP",
                                     "hk_flt CANCEL_STOP", "hk_fdo CANCEL_STOP", "hk_bus.pdo CANCEL_STOP"));
    EXPECT_EQ(hk::NodeState(child), hk::DevNodeState::Started);
}

TEST_F(PnpTest, ChildrenComeAndGoWithTheBusRelations)
{
    Install(false, /*children=*/0);
    StartBus();
    EXPECT_EQ(Child(0), nullptr);
    EXPECT_EQ(fdoConfig_->addDevices, 0);
    auto invalidate = Export<void()>("hk_bus", "HkBusInvalidate");
    ASSERT_NE(invalidate, nullptr);

    busConfig_->childCount = 2;
    invalidate();
    hk::WaitPnpIdle();
    for (int i = 0; i < 2; i++) {
        SCOPED_TRACE("child " + std::to_string(i));
        ASSERT_NE(Child(i), nullptr);
        EXPECT_EQ(hk::NodeState(Child(i)), hk::DevNodeState::Started);
        EXPECT_EQ(hk::NodeInfo(Child(i)).parent, bus_);
        EXPECT_THAT(hk::NodeInfo(Child(i)).stack, ElementsAre("hk_bus", "hk_fdo", "hk_flt"));
    }
    EXPECT_EQ(fdoConfig_->addDevices, 2);
    EXPECT_EQ(fltConfig_->addDevices, 2);
    Trace();

    // A child with an open handle that leaves the bus is surprise-removed at once, and removed
    // only when its last handle is closed.
    UNICODE_STRING link = Unicode(u"\\??\\HkKid1");
    UNICODE_STRING target = Unicode(u"\\Device\\HkChild1");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    auto process = hk::Process::Create("app");
    HANDLE h = process->CreateFile("\\\\.\\HkKid1");
    ASSERT_NE(h, hk::INVALID_HANDLE);

    busConfig_->childCount = 1;
    invalidate();
    hk::WaitPnpIdle();
    EXPECT_THAT(Trace(), ElementsAre("hk_flt SURPRISE_REMOVAL", "hk_fdo SURPRISE_REMOVAL",
                                     "hk_bus.pdo SURPRISE_REMOVAL"));
    ASSERT_NE(Child(1), nullptr);
    EXPECT_EQ(hk::NodeState(Child(1)), hk::DevNodeState::SurpriseRemoved);

    EXPECT_TRUE(process->CloseHandle(h));
    hk::WaitPnpIdle();
    EXPECT_THAT(Trace(), ElementsAre("hk_flt REMOVE", "hk_fdo REMOVE", "hk_bus.pdo REMOVE"));
    EXPECT_EQ(Child(1), nullptr);
    EXPECT_EQ(NamedDevice(u"\\Device\\HkChild1"), nullptr);
    EXPECT_EQ(hk::NodeState(Child(0)), hk::DevNodeState::Started);
    EXPECT_TRUE(Loaded("hk_fdo")); // child 0 still has its devices
    IoDeleteSymbolicLink(&link);

    // The last child goes: nothing holds it, so the removal follows at once, and the drivers that
    // served only children are unloaded.
    busConfig_->childCount = 0;
    invalidate();
    hk::WaitPnpIdle();
    std::vector<std::string> trace = Trace();
    ASSERT_EQ(trace.size(), 8u);
    EXPECT_THAT(std::vector<std::string>(trace.begin(), trace.begin() + 6),
                ElementsAre("hk_flt SURPRISE_REMOVAL", "hk_fdo SURPRISE_REMOVAL", "hk_bus.pdo SURPRISE_REMOVAL",
                            "hk_flt REMOVE", "hk_fdo REMOVE", "hk_bus.pdo REMOVE"));
    EXPECT_THAT(std::vector<std::string>(trace.begin() + 6, trace.end()),
                UnorderedElementsAre("hk_flt Unload", "hk_fdo Unload"));
    EXPECT_EQ(Child(0), nullptr);
    EXPECT_FALSE(Loaded("hk_fdo"));
    EXPECT_FALSE(Loaded("hk_flt"));
}

TEST_F(PnpTest, PowerRequestGoesDownTheStackThroughPoCallDriver)
{
    Install();
    StartBus();
    hk::DevNode *child = Child(0);
    ASSERT_NE(child, nullptr);
    uint64_t calls = hk::PoCallDriverCount();
    uint64_t startNext = hk::PoStartNextPowerIrpCount();
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;

    EXPECT_EQ(hk::SendPowerRequest(child, IRP_MN_SET_POWER, DevicePowerState, d0), STATUS_SUCCESS);

    EXPECT_THAT(Trace(), ElementsAre("hk_flt POWER", "hk_fdo POWER", "hk_bus.pdo POWER"));
    // The power manager sends to the top; each driver above the PDO passes it on with PoCallDriver.
    EXPECT_EQ(hk::PoCallDriverCount() - calls, 2u);
    EXPECT_EQ(hk::PoStartNextPowerIrpCount() - startNext, 3u);
}

} // namespace
