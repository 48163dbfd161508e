// Uninstall runs: device and package removal, driver files, service keys, the restart, and a whole
// install/uninstall cycle on a running simulated machine.
#include "installer_fixture.h"

namespace vyr::installer::test {
namespace {

const std::string kTapeRow1 = "SCSI\\SequentialVYR_____ULT-VT1-H_______";
const char *const kServiceNames[] = {"vyrcg2k16", "vyrtp2k16", "vyrcgbs2k16", "vyrtpbs2k16", "vyrcgft2k16", "vyrtpft2k16"};

class UninstallTest : public InstallerTest {
protected:
    int RootDevices()
    {
        int n = 0;
        for (const std::string &cls : hk::SubKeys(kEnum + "ROOT"))
            n += (int)hk::SubKeys(kEnum + "ROOT\\" + cls).size();
        return n;
    }
};

TEST_F(UninstallTest, UninstallRemovesDevicesPackagesFilesAndKeys)
{
    std::string tape = AddTapePathDevice(kTapeRow1);
    ASSERT_EQ(0, Install({"-s"}).rc);
    ASSERT_EQ(2, RootDevices());
    ASSERT_TRUE(hk::KeyExists(kServices + "vyrtpft2k16"));

    RunResult r = Uninstall({"-v:2"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0, RootDevices());
    EXPECT_FALSE(hk::KeyExists(kEnum + tape));
    for (const char *service : {"vyrtp2k16", "vyrtpbs2k16", "vyrcgbs2k16", "vyrtpft2k16"}) {
        EXPECT_FALSE(hk::KeyExists(kServices + service)) << service;
        EXPECT_FALSE(fs::exists(HostPath(std::string("C:\\Windows\\System32\\drivers\\") + service + ".sys"))) << service;
    }
    EXPECT_TRUE(fs::is_empty(HostPath("C:\\Windows\\INF")));
    EXPECT_NE(std::string::npos, r.out.find("Uninstalling: VYR Tape Bus Enumerator...\n"));
    EXPECT_NE(std::string::npos, r.out.find("Successfully uninstalled: VYR Tape Drive\n"));
    EXPECT_NE(std::string::npos, r.out.find("Start time: "));
    EXPECT_NE(std::string::npos,
              r.out.find("\nUninstall successful. \nPlease reboot the system to finish uninstalling all devices.\n\n"));
    ASSERT_EQ(1u, host::MessageBoxes().size() - 0); // only the uninstall's box: the install was silent
    EXPECT_EQ("Uninstall Status", host::MessageBoxes()[0].caption);
    EXPECT_EQ("Uninstall successful. Please reboot the system to finish uninstalling all devices.",
              host::MessageBoxes()[0].text);
    EXPECT_EQ(0x40u, host::MessageBoxes()[0].type);
    EXPECT_TRUE(host::Shutdowns().empty());
}

TEST_F(UninstallTest, SecondUninstallFindsEverythingAlreadyGoneAndSucceeds)
{
    ASSERT_EQ(0, Install({"-s"}).rc);
    ASSERT_EQ(0, Uninstall({"-s"}).rc);
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);

    RunResult r = Uninstall({"-s", "-v:2"});
    EXPECT_EQ(0, r.rc) << r.err;
    for (const char *service : kServiceNames) {
        EXPECT_TRUE(Logged(std::string("Already removed: C:\\Windows\\System32\\Drivers\\") + service + ".sys")) << service;
        EXPECT_TRUE(Logged(std::string("Subkeys and values already deleted: ") + service)) << service;
    }
    EXPECT_TRUE(host::MessageBoxes().empty());
}

TEST_F(UninstallTest, OnlyThisSystemsDevicesAreRemovedWhateverTheirHardwareId)
{
    std::string other = AddBoundTapeDevice(kTapeRow1, "Other Storage Inc.", "1&2a0f&0&0001");
    std::string ours = AddBoundTapeDevice("SCSI\\SequentialVYR_____ULT-VT2-H_______", "vyr corporation", "1&2a0f&0&0002");
    RunResult r = Uninstall({"-s"});
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_TRUE(hk::KeyExists(kEnum + other));
    EXPECT_FALSE(hk::KeyExists(kEnum + ours));
    // Its package is no longer in the store: the device still counts as removed.
    EXPECT_TRUE(Logged("Could not find: oem41.inf"));
}

TEST_F(UninstallTest, ExcludedDeviceIsSparedByTheRemovalBeforeInstall)
{
    std::string kept = AddBoundTapeDevice(kTapeRow1, "VYR Corporation", "1&2a0f&0&0001");
    WriteFile("C:\\install\\exclude.txt", "ult-vt1-h\n");
    ASSERT_EQ(0, Install({"-s", "-e"}).rc);
    EXPECT_TRUE(hk::KeyExists(kEnum + kept));
    std::string service;
    hk::GetString(kEnum + kept, "Service", &service);
    EXPECT_EQ("othertape", service); // not rebound either
}

TEST_F(UninstallTest, RestartRequests)
{
    struct Case {
        std::vector<std::string> words;
        size_t boxes;
        int grace; // -1: no restart
    } cases[] = {
        {{"-r"}, 1, 15},
        {{"-r:60"}, 1, 60},
        {{"-r:60", "-s"}, 0, 0},
        {{"-s"}, 0, -1},
    };
    for (const Case &c : cases) {
        host::Reset();
        host::SetCurrentDirectory("C:\\install");
        ASSERT_EQ(0, Uninstall(c.words).rc);
        EXPECT_EQ(c.boxes, host::MessageBoxes().size()) << c.words[0];
        if (c.boxes)
            EXPECT_EQ("Uninstall successful. Reboot countdown will begin after you click OK.", host::MessageBoxes()[0].text);
        if (c.grace < 0) {
            EXPECT_TRUE(host::Shutdowns().empty());
            continue;
        }
        ASSERT_EQ(1u, host::Shutdowns().size()) << c.words[0];
        EXPECT_EQ((uint32_t)c.grace, host::Shutdowns()[0].gracePeriod);
        EXPECT_EQ(5u, host::Shutdowns()[0].flags);
        EXPECT_EQ(13u, host::Shutdowns()[0].reason);
        EXPECT_EQ("User requested automatic reboot. VYR device drivers will be fully uninstalled after reboot",
                  host::Shutdowns()[0].message);
    }
    // Without the privilege nothing is asked for, and the run still succeeds.
    host::Reset();
    host::SetCurrentDirectory("C:\\install");
    host::SetShutdownPrivilege(false);
    EXPECT_EQ(0, Uninstall({"-r", "-s"}).rc);
    EXPECT_TRUE(host::Shutdowns().empty());
}

TEST_F(UninstallTest, ReadOnlyDriverFileIsStillDeleted)
{
    ASSERT_EQ(0, Install({"-s"}).rc);
    std::string image = HostPath("C:\\Windows\\System32\\drivers\\vyrtpbs2k16.sys");
    fs::permissions(image, fs::perms::owner_write, fs::perm_options::remove);
    RunResult r = Uninstall({"-s", "-d"});
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_FALSE(fs::exists(image));
    EXPECT_NE(std::string::npos, ReadFile("C:\\install\\uninst_debug.txt").find("Successfully removed: C:\\Windows\\System32\\Drivers\\vyrtpbs2k16.sys\n"));
}

TEST_F(UninstallTest, InstallOnARunningMachineStartsTheBusAndUninstallRemovesIt)
{
    machine_->Boot();
    RunResult r = Install({"-s", "-t", "-v:3"});
    ASSERT_EQ(0, r.rc) << r.out << r.err;
    auto started = [&](const std::string &service) {
        for (const NodeSummary &n : machine_->Nodes())
            if (n.service == service && n.state == "started")
                return true;
        return false;
    };
    EXPECT_TRUE(started("vyrtpbs2k16"));

    r = Uninstall({"-s"});
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_FALSE(started("vyrtpbs2k16"));
    EXPECT_EQ(0, RootDevices());
    machine_->Shutdown();
}

} // namespace
} // namespace vyr::installer::test
