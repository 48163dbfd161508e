// Install runs on the simulated machine: version detection, the package check, the registry values,
// the bus devices, the binding of the class-driver package, and how a run ends.
#include "installer_fixture.h"

namespace vyr::installer::test {
namespace {

const std::string kTapeRow1 = "SCSI\\SequentialVYR_____ULT-VT1-H_______";
const std::string kTapeRow2 = "SCSI\\SequentialVYR_____ULT-VT1-F_______";

class InstallTest : public InstallerTest {
protected:
    ULONG Dword(const std::string &key, const std::string &name)
    {
        unsigned v = 0xDEAD;
        RegDword(key, name, &v);
        return v;
    }
    std::string RootDeviceOf(const std::string &hardwareId)
    {
        for (const std::string &cls : hk::SubKeys(kEnum + "ROOT"))
            for (const std::string &i : hk::SubKeys(kEnum + "ROOT\\" + cls)) {
                std::vector<std::string> ids;
                hk::GetMultiString(kEnum + "ROOT\\" + cls + "\\" + i, "HardwareID", &ids);
                if (!ids.empty() && ids[0] == hardwareId)
                    return "ROOT\\" + cls + "\\" + i;
            }
        return {};
    }
};

TEST_F(InstallTest, WindowsReleaseFromProductNameAndVersion)
{
    struct Case {
        const char *product;
        const char *current;
        bool server;
        int version;
    } cases[] = {
        {"Windows Server 2008 R2 Enterprise", "6.1", true, 8},
        {"Windows Server 2012 R2 Standard", "6.3", true, 12}, // the year wins over 6.3
        {"Windows Server 2016 Datacenter", "6.3", true, 16},
        {"Windows Server Datacenter", "6.3", true, 19},       // a later server, by 6.3
        {"Windows Server 2019 Standard", "6.3", true, 19},
        {"Windows 10 Pro", "6.3", false, -1},                 // a workstation without a year
    };
    for (const Case &c : cases) {
        host::SetWindowsVersion(c.product, c.current, c.server);
        int32_t version = 0;
        EXPECT_EQ(c.version != -1, GetWindowsVersion(&version, TheLog())) << c.product;
        EXPECT_EQ(c.version, version) << c.product;
    }
    // Without a product name a server is placed by its version numbers.
    host::SetWindowsVersion("", "6.3", true, 6, 3);
    int32_t version = 0;
    EXPECT_TRUE(GetWindowsVersion(&version, TheLog()));
    EXPECT_EQ(12, version);
    host::SetWindowsVersion("", "6.3", false, 10, 0);
    EXPECT_FALSE(GetWindowsVersion(&version, TheLog()));
}

TEST_F(InstallTest, WorkstationStopsTheRunWithTheErrorBox)
{
    host::SetWindowsVersion("Windows 10 Pro", "6.3", false);
    RunResult r = Install({"-s"});
    EXPECT_EQ(-1, r.rc);
    EXPECT_NE(std::string::npos, r.err.find("ERR: InstallerLib\\DllMain("));
    EXPECT_NE(std::string::npos, r.err.find("ProcessInstallError-> Current Windows version is not supported\n"));
    EXPECT_NE(std::string::npos, r.err.find("\nError(s) with install. Check stderr for details.\n"));
    EXPECT_TRUE(host::MessageBoxes().empty()); // silent
    EXPECT_FALSE(hk::KeyExists(kServices + "vyrtp2k16"));
}

TEST_F(InstallTest, PendingInstallationsFailEvenWhenSilent)
{
    host::SetPendingInstallations(true);
    RunResult r = Install({"-s"});
    EXPECT_EQ(-1, r.rc);
    EXPECT_NE(std::string::npos, r.err.find("\nThere are pending device installations, please finish installing other "
                                            "devices before running this installer.\n"));
    ASSERT_EQ(1u, host::MessageBoxes().size());
    EXPECT_EQ("Installation error", host::MessageBoxes()[0].caption);
    EXPECT_EQ("Installation stopped due to error(s). \nIf debug flag was set, check debug.txt for more details.",
              host::MessageBoxes()[0].text);
    EXPECT_EQ(0x40010u, host::MessageBoxes()[0].type);
}

TEST_F(InstallTest, AMissingPackageIsReportedAndStopsTheRun)
{
    fs::remove(HostPath("C:\\install\\drivers\\lodarmf2k16.inf"));
    RunResult r = Install({"-d"});
    EXPECT_EQ(-1, r.rc);
    EXPECT_EQ(3, Count(r.out, "SUC: InstallerLib\\Installer("));
    EXPECT_EQ(3, Count(r.out, "DriverSysFilesExistInCurDir-> Sys file exists: C:\\install\\drivers\\"));
    EXPECT_NE(std::string::npos, r.err.find("DriverSysFilesExistInCurDir-> Could not find: C:\\install\\drivers\\lodarmf2k16.inf\n"));
    EXPECT_NE(std::string::npos, r.err.find("Failed to locate all required driver sys files"));
    // The debug file holds every entry, the same as the console dump.
    std::string debug = ReadFile("C:\\install\\debug.txt");
    EXPECT_NE(std::string::npos, debug.find("ERR: InstallerLib\\Installer("));
    EXPECT_NE(std::string::npos, debug.find("NFO: InstallerLib\\DllMain("));
    for (const char *tag : {"ERR: ", "NFO: ", "DBG: ", "SUC: ", "ENT: ", "EXT: "})
        EXPECT_EQ(Count(r.out + r.err, std::string(tag) + "InstallerLib"), Count(debug, std::string(tag) + "InstallerLib"))
            << tag;
    ASSERT_EQ(1u, host::MessageBoxes().size());
    EXPECT_EQ(0x40010u, host::MessageBoxes()[0].type);
    EXPECT_FALSE(hk::KeyExists(kServices + "vyrtp2k16"));
}

TEST_F(InstallTest, InstallWritesSettingsAndCreatesBothBusDevices)
{
    RunResult r = Install({}, 1);
    ASSERT_EQ(0, r.rc) << r.out << r.err;

    // Level 1: the success texts only, without tags.
    EXPECT_NE(std::string::npos, r.out.find("Sys file exists: C:\\install\\drivers\\vyrtpbs2k16.inf\n"));
    EXPECT_NE(std::string::npos,
              r.out.find("Successfully installed drivers. Please reboot the system to finish installing all devices.\n"));
    EXPECT_EQ(std::string::npos, r.out.find("SUC:"));
    EXPECT_EQ(std::string::npos, r.out.find("Start time:"));
    ASSERT_EQ(1u, host::MessageBoxes().size());
    EXPECT_EQ("Installer result", host::MessageBoxes()[0].caption);
    EXPECT_EQ(0x40040u, host::MessageBoxes()[0].type);

    EXPECT_EQ(1u, Dword(kServices + "vyrtp2k16", "ExclusiveAccess"));
    EXPECT_EQ(0u, Dword(kServices + "vyrtp2k16", "ReserveType"));
    EXPECT_FALSE(RegDword(kServices + "vyrtp2k16", "FailoverDisabled", nullptr));
    EXPECT_FALSE(RegDword(kServices + "vyrtpbs2k16", "FailoverDisabled", nullptr));

    for (const char *bus : {"vyrtpbs2k16", "vyrcgbs2k16"}) {
        std::string instance = RootDeviceOf(std::string("root\\") + bus);
        ASSERT_FALSE(instance.empty()) << bus;
        std::string service, driver, provider, desc;
        hk::GetString(kEnum + instance, "Service", &service);
        EXPECT_EQ(bus, service);
        ASSERT_TRUE(hk::GetString(kEnum + instance, "Driver", &driver));
        hk::GetString(kClass + driver, "ProviderName", &provider);
        EXPECT_EQ("VYR Corporation", provider);
        std::string image;
        hk::GetString(kServices + bus, "ImagePath", &image);
        EXPECT_EQ(std::string("\\SystemRoot\\System32\\drivers\\") + bus + ".sys", image);
        EXPECT_TRUE(fs::exists(HostPath(std::string("C:\\Windows\\System32\\drivers\\") + bus + ".sys"))) << bus;
    }
    EXPECT_TRUE(fs::exists(HostPath("C:\\Windows\\INF\\oem0.inf")));
}

TEST_F(InstallTest, OptionsWriteTheirValuesOnlyWhenGiven)
{
    RunResult r = Install({"-t", "-f", "-p", "-m", "-a", "-s"}, 0);
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0u, Dword(kServices + "vyrtp2k16", "ExclusiveAccess"));
    EXPECT_EQ(1u, Dword(kServices + "vyrtp2k16", "ReserveType"));
    EXPECT_EQ(1u, Dword(kServices + "vyrtp2k16", "FailoverDisabled"));
    EXPECT_EQ(1u, Dword(kServices + "vyrtpbs2k16", "FailoverDisabled"));
    EXPECT_EQ(1u, Dword(kServices + "vyrtp2k16", "WRAttributesDisabled"));
    EXPECT_EQ(1u, Dword(kServices + "vyrtp2k16", "DisableMediaPolling"));
    EXPECT_EQ(1u, Dword(kServices + "vyrcg2k16", "DisableMediaPolling"));
    // Tape only: no changer bus device.
    EXPECT_FALSE(RootDeviceOf("root\\vyrtpbs2k16").empty());
    EXPECT_TRUE(RootDeviceOf("root\\vyrcgbs2k16").empty());
    EXPECT_TRUE(host::MessageBoxes().empty());
    EXPECT_TRUE(host::Commands().empty());

    r = Install({"-r", "-s"});
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ((std::vector<std::string>{"sc config ntmssvc start= disabled", "sc stop ntmssvc"}), host::Commands());
}

TEST_F(InstallTest, ClassPackageBindsPresentDrivesExceptExcludedRows)
{
    std::string bound = AddTapePathDevice(kTapeRow1, "1&2a0f&0&000");
    std::string spared = AddTapePathDevice(kTapeRow2, "1&2a0f&0&001");
    WriteFile("C:\\install\\exclude.txt", "ULT-VT1-F\n");
    RunResult r = Install({"-e", "-v:3"});
    ASSERT_EQ(0, r.rc) << r.err;

    std::string service;
    std::vector<std::string> filters;
    hk::GetString(kEnum + bound, "Service", &service);
    hk::GetMultiString(kEnum + bound, "UpperFilters", &filters);
    EXPECT_EQ("vyrtp2k16", service);
    EXPECT_EQ(std::vector<std::string>{"vyrtpft2k16"}, filters);
    EXPECT_TRUE(hk::KeyExists(kServices + "vyrtpft2k16"));
    EXPECT_FALSE(hk::GetString(kEnum + spared, "Service", &service));

    EXPECT_TRUE(Logged("Succeeded for tape ReferenceNum = 1"));
    EXPECT_TRUE(Logged("Device in exclude list, will not claim tape ReferenceNum = 2"));
    EXPECT_FALSE(Logged("Calling UpdateDriverForPlugAndPlayDevices for tape ReferenceNum = 2"));
    EXPECT_TRUE(Logged("No such tape ReferenceNum = 3"));
    EXPECT_TRUE(Logged("No such changer ReferenceNum = 30"));
    // Level 3 prints every line with its tag, place and function.
    EXPECT_NE(std::string::npos, r.out.find("DBG: InstallerLib\\Installer("));
    EXPECT_NE(std::string::npos, r.out.find(") : InstallDriver-> Succeeded for tape ReferenceNum = 1\n"));
}

TEST_F(InstallTest, ReinstallRemovesTheOldDevicesButKeepsTheirPackages)
{
    ASSERT_EQ(0, Install({"-s"}).rc);
    std::string first = RootDeviceOf("root\\vyrtpbs2k16");
    ASSERT_EQ(0, Install({"-s"}).rc);
    // One bus device of each kind, not two; the driver store was not asked to drop anything.
    int buses = 0;
    for (const std::string &cls : hk::SubKeys(kEnum + "ROOT"))
        buses += (int)hk::SubKeys(kEnum + "ROOT\\" + cls).size();
    EXPECT_EQ(2, buses);
    EXPECT_TRUE(Logged("Successfully uninstalled: VYR Tape Bus Enumerator"));
    for (const std::string &m : LogMessages())
        EXPECT_EQ(std::string::npos, m.find("Successfully uninstalled: oem")) << m;
    EXPECT_TRUE(fs::exists(HostPath("C:\\Windows\\INF\\oem0.inf")));
}

TEST_F(InstallTest, RegistryTextWithoutTerminatorIsReadSafely)
{
    const std::string key = kMachineKey + "SOFTWARE\\Test";
    hk::CreateKey(key);
    hk::Value raw;
    raw.type = 3; // REG_BINARY: no terminating NUL
    raw.data = {'V', 'Y', 'R', '1'};
    hk::SetValue(key, "Raw", raw);
    char buffer[8];
    memset(buffer, 'x', sizeof buffer);
    ASSERT_TRUE(QueryRegKey(nullptr, "SOFTWARE\\Test", "Raw", buffer, sizeof buffer, TheLog()));
    EXPECT_STREQ("VYR1", buffer);

    // Data that fills the whole buffer without a terminator fails instead of being read past its end.
    raw.data.assign(8, 'A');
    hk::SetValue(key, "Raw", raw);
    memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(QueryRegKey(nullptr, "SOFTWARE\\Test", "Raw", buffer, sizeof buffer, TheLog()));
    EXPECT_TRUE(Logged("More data is available.\r\n"));
}

} // namespace
} // namespace vyr::installer::test
