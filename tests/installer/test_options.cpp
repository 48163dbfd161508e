// The option words of both entry points, the fatal option errors and the usage texts.
#include "installer_fixture.h"

namespace vyr::installer::test {
namespace {

class OptionsTest : public InstallerTest {
protected:
    int ParseInstall(std::vector<std::string> words, InstallOptions *options)
    {
        std::vector<char *> argv = Words(words);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        int ok = ProcessInstallersArguments((int)words.size(), argv.data(), options, TheLog());
        out_ = ::testing::internal::GetCapturedStdout();
        err_ = ::testing::internal::GetCapturedStderr();
        return ok;
    }
    int ParseUninstall(std::vector<std::string> words, UninstallOptions *options)
    {
        std::vector<char *> argv = Words(words);
        memset(options, 0, sizeof *options);
        ::testing::internal::CaptureStdout();
        int ok = ProcessUninstallersArguments((int)words.size(), argv.data(), options, TheLog());
        out_ = ::testing::internal::GetCapturedStdout();
        return ok;
    }
    int InstallVerbose(const std::string &word)
    {
        InstallOptions o;
        return ParseInstall({word}, &o) ? o.verboseLevel : -1;
    }
    int UninstallVerbose(const std::string &word)
    {
        UninstallOptions o;
        return ParseUninstall({word}, &o) ? o.verboseLevel : -1;
    }
    int RebootDelay(const std::string &word)
    {
        UninstallOptions o;
        EXPECT_TRUE(ParseUninstall({word}, &o));
        EXPECT_EQ(1u, o.reboot);
        return o.rebootDelay;
    }
    std::string out_, err_;
};

TEST_F(OptionsTest, NoWordsMeansBothDriversAtLevelOne)
{
    InstallOptions o;
    ASSERT_TRUE(ParseInstall({}, &o));
    EXPECT_EQ(1, o.bothDrivers);
    EXPECT_EQ(0, o.changerOnly | o.tapeOnly | o.silent | o.debug | o.excludeList | o.disableFailover);
    EXPECT_EQ(0, o.verboseLevel);
    EXPECT_STREQ("C:\\install", o.currentDirectory);
}

TEST_F(OptionsTest, EachLetterSetsItsFlagAndSaysSo)
{
    InstallOptions o;
    ASSERT_TRUE(ParseInstall({"-r", "/F", "-p", "-m", "-a", "/S", "-x", "-"}, &o));
    EXPECT_EQ(1, o.disableRsm);
    EXPECT_EQ(1, o.disableFailover);
    EXPECT_EQ(1, o.persistentReserve);
    EXPECT_EQ(1, o.disableMediaPolling);
    EXPECT_EQ(1, o.disableWrAttributes);
    EXPECT_EQ(1, o.silent);
    EXPECT_EQ(1, o.bothDrivers);
    EXPECT_EQ("-r specified. Installer will attempt to disable RSM\n-f specified. Installer will disable DPF\n"
              "-p specified. Installer will attempt persistent reserve when DPF is disabled\n"
              "-m specified. Installer will disable media polling\n-a specified. Installer will disable WRAttributes\n"
              "Silent mode flag has been set\n",
              out_);
}

TEST_F(OptionsTest, MalformedWordsFailTheParse)
{
    InstallOptions o;
    EXPECT_FALSE(ParseInstall({"-cd"}, &o));      // two letters in one word
    EXPECT_FALSE(ParseInstall({"-verbose"}, &o)); // eight characters
    EXPECT_FALSE(ParseInstall({"c"}, &o));        // no dash
    EXPECT_FALSE(ParseInstall({"-h"}, &o));
    EXPECT_FALSE(ParseInstall({"-s", "setup"}, &o));
}

TEST_F(OptionsTest, VerboseLevelsOfBothParsers)
{
    EXPECT_EQ(0, InstallVerbose("-v"));
    EXPECT_EQ(0, InstallVerbose("-v:"));
    EXPECT_EQ(0, InstallVerbose("-v:1"));
    EXPECT_EQ(1, InstallVerbose("-v:2"));
    EXPECT_EQ(2, InstallVerbose("-v=3"));
    EXPECT_EQ(2, InstallVerbose("-V:9"));
    EXPECT_EQ(2, InstallVerbose("-v:23"));
    EXPECT_EQ(2, InstallVerbose("-v:2345"));
    EXPECT_EQ(-1, InstallVerbose("-v:23456"));

    EXPECT_EQ(0, UninstallVerbose("-v"));
    EXPECT_EQ(0, UninstallVerbose("-v:1"));
    EXPECT_EQ(1, UninstallVerbose("-v:2"));
    EXPECT_EQ(2, UninstallVerbose("/V=3"));
}

TEST_F(OptionsTest, UninstallRebootDelays)
{
    EXPECT_EQ(15, RebootDelay("-r"));
    EXPECT_EQ(15, RebootDelay("-r:"));
    EXPECT_EQ(60, RebootDelay("-r:60"));
    EXPECT_EQ(0, RebootDelay("-r:abc"));
    // A negative or absurd delay is held to what a restart request can carry, not wrapped round.
    EXPECT_EQ(0, RebootDelay("-r:-5"));
    EXPECT_EQ(315360000, RebootDelay("-r:99999999999999"));

    UninstallOptions o;
    ASSERT_TRUE(ParseUninstall({}, &o));
    EXPECT_EQ(30, o.rebootDelay);
    EXPECT_EQ(0u, o.reboot);
    EXPECT_FALSE(ParseUninstall({"-r", "60"}, &o));
    EXPECT_FALSE(ParseUninstall({"-d", "mylog.txt"}, &o));
    EXPECT_FALSE(ParseUninstall({"-?"}, &o));
    EXPECT_TRUE(ParseUninstall({"-silent", "-x"}, &o));
    EXPECT_EQ(1u, o.silent);
}

TEST_F(OptionsTest, DebugFilesAreCreatedInTheCurrentDirectory)
{
    WriteFile("C:\\install\\debug.txt", "old content");
    InstallOptions o;
    ASSERT_TRUE(ParseInstall({"-d"}, &o));
    EXPECT_STREQ("C:\\install\\debug.txt", o.debugPath);
    ASSERT_NE(nullptr, o.debugFile);
    EXPECT_EQ("", ReadFile("C:\\install\\debug.txt"));
    EXPECT_EQ("Debug flag has been set. Check log for more details:\n C:\\install\\debug.txt\n", out_);

    UninstallOptions u;
    ASSERT_TRUE(ParseUninstall({"-d"}, &u));
    EXPECT_STREQ("C:\\install\\uninst_debug.txt", u.debugPath);
    EXPECT_TRUE(fs::exists(HostPath("C:\\install\\uninst_debug.txt")));
}

TEST_F(OptionsTest, DebugPathThatWouldNotFitFailsTheParseInsteadOfBeingCut)
{
    std::string dir = "C:\\" + std::string(250, 'd');
    host::SetCurrentDirectory(dir);
    InstallOptions o;
    EXPECT_FALSE(ParseInstall({"-d"}, &o));
    EXPECT_EQ(nullptr, o.debugFile);
}

TEST_F(OptionsTest, ExcludeListMarksTheFirstMatchingRowOnly)
{
    WriteFile("C:\\install\\exclude.txt",
              "# ult-vt1-h comment lines exclude nothing\n"
              "\n"
              "ult-VT2-h\r\n"          // any case, several tape rows contain it
              "VLC-10\n"               // a changer row: the tape table is not searched
              "SequentialVYR_____ULT-VT3-FE\n");
    InstallOptions o;
    ASSERT_TRUE(ParseInstall({"-e"}, &o));
    EXPECT_EQ(1, o.excludeList);

    std::vector<std::string> excluded;
    for (HardwareIdEntry *t : {ChangerHardwareIds, TapeHardwareIds})
        for (HardwareIdEntry *row = t; row->id[0]; ++row)
            if (!row->claim)
                excluded.push_back(row->id);
    EXPECT_EQ((std::vector<std::string>{"SCSI\\ChangerVYR_____VLC-10__________",
                                        "SCSI\\SequentialVYR_____ULT-VT2-H_______",
                                        "SCSI\\SequentialVYR_____ULT-VT3-FE______"}),
              excluded);
    EXPECT_TRUE(Logged("Will exclude: SCSI\\SequentialVYR_____ULT-VT2-H_______"));
    EXPECT_NE(std::string::npos, out_.find("-e specified. Installer will exclude, or not bind driver to, devices listed in exclude.txt\n"));

    // A fresh load forgets the marks.
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
    EXPECT_EQ(1, ChangerHardwareIds[0].claim);
}

TEST_F(OptionsTest, HardwareIdTablesHaveTheirShape)
{
    int changers = 0, changerMaker = 0, tapes = 0, tapeMaker = 0, usb = 0;
    for (HardwareIdEntry *row = ChangerHardwareIds; row->id[0]; ++row, ++changers) {
        EXPECT_EQ(36u, strlen(row->id)) << row->id;
        EXPECT_EQ(nullptr, strchr(row->id, ' '));
        changerMaker += strncmp(row->id + 12, "VYR_____", 8) == 0;
    }
    for (HardwareIdEntry *row = TapeHardwareIds; row->id[0]; ++row, ++tapes) {
        EXPECT_EQ(39u, strlen(row->id)) << row->id;
        bool isUsb = strncmp(row->id, "USBSTOR\\Sequential", 18) == 0;
        usb += isUsb;
        tapeMaker += strncmp(row->id + (isUsb ? 18 : 15), "VYR_____", 8) == 0;
    }
    EXPECT_EQ(30, changers);
    EXPECT_EQ(20, changerMaker);
    EXPECT_EQ(64, tapes);
    EXPECT_EQ(61, tapeMaker);
    EXPECT_EQ(2, usb);
}

class OptionsDeathTest : public OptionsTest {
protected:
    // Runs without capturing the output: the death test reads the dying process's stderr.
    static void RawInstall(std::vector<std::string> words)
    {
        std::vector<char *> argv = Words(words);
        InstallDrivers((int)words.size(), argv.data(), 0);
    }
};

TEST_F(OptionsDeathTest, ChangerAndTapeTogetherEndTheProcessBeforeAnythingIsInstalled)
{
    EXPECT_EXIT(RawInstall({"-c", "-t"}), ::testing::ExitedWithCode(1),
                "Can't set both Changer Only and Tape Only, please specify a different configuration");
    EXPECT_EXIT(RawInstall({"-t", "-c"}), ::testing::ExitedWithCode(1), "Can't set both");
    EXPECT_FALSE(hk::KeyExists(kServices + "vyrtp2k16"));
}

TEST_F(OptionsDeathTest, FatalOptionErrorReleasesTheLogOnlyOnce)
{
    // As the loader would at process exit: the library's detach runs after the fatal error released
    // the log itself.
    EXPECT_EXIT(
        {
            std::atexit([] { DllMain(nullptr, DLL_PROCESS_DETACH, nullptr); });
            RawInstall({"-t", "-c"});
        },
        ::testing::ExitedWithCode(1), "Can't set both");
}

TEST_F(OptionsDeathTest, MissingExcludeFileEndsTheProcess)
{
    EXPECT_EXIT(RawInstall({"-e"}), ::testing::ExitedWithCode(1),
                "Failed to open file: C:\\\\install\\\\exclude.txt\n\nPlease ensure the file exists and try again");
}

TEST_F(OptionsTest, UsageTextsAreShownAndTheRunEndsQuietly)
{
    RunResult r = Install({"-h"});
    EXPECT_EQ(0, r.rc);
    EXPECT_NE(std::string::npos,
              r.out.find("\nUSAGE:\n   setup_locked.exe | setup_shared.exe [-c|-t][-d][-s][-h][-r][-f][-p][-m][-a][-e]\n\n"
                         "  c = install only the changer drivers\n"));
    EXPECT_NE(std::string::npos,
              r.out.find("  h = print this usage information\n\nSee the VYR Tape Device Drivers Installation and Users "
                         "Guide for more information \nand the setup_notes.txt for  setup_locked.exe or setup_shared.exe use\n"));
    EXPECT_TRUE(host::MessageBoxes().empty());
    EXPECT_FALSE(hk::KeyExists(kServices + "vyrtp2k16"));

    for (const char *word : {"-cd", "-verbose"}) {
        r = Install({word});
        EXPECT_EQ(0, r.rc) << word;
        EXPECT_NE(std::string::npos, r.out.find("USAGE:")) << word;
    }

    r = Uninstall({"-?"});
    EXPECT_EQ(0, r.rc);
    EXPECT_NE(std::string::npos, r.out.find("Usage:\n\nuninst -d filename -v level -r secs_to_reboot -s.\n\n"));
    EXPECT_NE(std::string::npos, r.out.find("        uninstallation is successful.\n"));
    EXPECT_TRUE(host::MessageBoxes().empty());
    EXPECT_TRUE(host::Shutdowns().empty());
}

} // namespace
} // namespace vyr::installer::test
