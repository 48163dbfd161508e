// The installer log: entries, system texts for Windows codes, echo and the dump levels.
#include "installer_fixture.h"

namespace vyr::installer::test {
namespace {

class LogTest : public InstallerTest {
protected:
    LogEntry *Last()
    {
        LogEntry *e = TheLog();
        while (e->next)
            e = e->next;
        return e;
    }
};

TEST_F(LogTest, EntryCarriesKindTagPlaceAndMessageWithNewline)
{
    InstallLog *log = TheLog();
    const char *tags[] = {"ERR:", "NFO:", "DBG:", "SUC:", "ENT:", "EXT:"};
    for (int kind = LOG_ERROR; kind <= LOG_EXIT; ++kind) {
        ASSERT_EQ(1, LogAppend(log, 0, kind, 40 + kind, "CreateRegKey", "InstallerLib\\Installer", "text"));
        EXPECT_EQ(kind, Last()->kind);
        EXPECT_STREQ(tags[kind], Last()->tag);
        EXPECT_EQ(40 + kind, Last()->line);
        EXPECT_STREQ("CreateRegKey", Last()->function);
        EXPECT_STREQ("InstallerLib\\Installer", Last()->file);
        EXPECT_STREQ("text\n", Last()->message);
    }
    EXPECT_EQ(0, LogAppend(nullptr, 0, LOG_INFO, 1, "f", "x", "lost"));
}

TEST_F(LogTest, TextIsCopiedNotUsedAsAFormatAndLongTextIsCut)
{
    InstallLog *log = TheLog();
    LogAppend(log, 0, LOG_INFO, 1, "f", "x", "100%s done %n");
    EXPECT_STREQ("100%s done %n\n", Last()->message);

    std::string longText(3000, 'a');
    std::string longName(600, 'b');
    LogAppend(log, 0, LOG_INFO, 1, longName.c_str(), longName.c_str(), longText.c_str());
    EXPECT_EQ(1023u, strlen(Last()->message)); // cut to the field; no room left for the newline
    EXPECT_EQ(254u, strlen(Last()->function));
    EXPECT_EQ(254u, strlen(Last()->file));
}

TEST_F(LogTest, WindowsCodesBecomeSystemTextsOrTheirHexNumber)
{
    InstallLog *log = TheLog();
    LogAppend(log, 5, LOG_ERROR, 1, "f", "x", "");
    EXPECT_STREQ("Access is denied.\r\n\n", Last()->message);
    // A code given with text still reports the system's words.
    LogAppend(log, 2, LOG_ERROR, 1, "f", "x", "own words");
    EXPECT_STREQ("The system cannot find the file specified.\r\n\n", Last()->message);
    LogAppend(log, 0xE0000209, LOG_ERROR, 1, "f", "x", "");
    EXPECT_STREQ("Returned error: E0000209\n", Last()->message);
    LogAppend(log, 0, LOG_ERROR, 1, "f", "x", "");
    EXPECT_STREQ("The operation completed successfully.\r\n\n", Last()->message);
}

TEST_F(LogTest, EchoSendsErrorsToStderrWithTheirPlaceAndOthersToStdout)
{
    InstallLog *log = TheLog();
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    LogAppend(log, 0, LOG_ERROR, 12, "SetRegKey", "InstallerLib\\Installer", "broken");
    LogEcho(log);
    LogAppend(log, 0, LOG_SUCCESS, 13, "SetRegKey", "InstallerLib\\Installer", "fine");
    LogEcho(log);
    EXPECT_EQ("fine\n", ::testing::internal::GetCapturedStdout());
    EXPECT_EQ("InstallerLib\\Installer(12) : SetRegKey-> broken\n", ::testing::internal::GetCapturedStderr());
}

TEST_F(LogTest, DumpLevelsFilterTheConsoleButTheDebugFileGetsEverything)
{
    InstallLog *log = TheLog();
    LogAppend(log, 0, LOG_ERROR, 1, "A", "F", "e");
    LogAppend(log, 0, LOG_INFO, 2, "B", "F", "i");
    LogAppend(log, 0, LOG_DEBUG, 3, "C", "F", "d");
    LogAppend(log, 0, LOG_SUCCESS, 4, "D", "F", "s");
    LogAppend(log, 0, LOG_ENTRY, 5, "E", "F", "n");

    auto dump = [&](int level, FILE *file) {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        LogDump(log, level, file);
        return std::make_pair(::testing::internal::GetCapturedStdout(), ::testing::internal::GetCapturedStderr());
    };
    EXPECT_EQ(std::make_pair(std::string("s\n"), std::string()), dump(0, nullptr));
    EXPECT_EQ(std::make_pair(std::string("i\ns\n"), std::string()), dump(1, nullptr));
    auto full = dump(2, nullptr);
    EXPECT_EQ("NFO: F(2) : B-> i\nDBG: F(3) : C-> d\nSUC: F(4) : D-> s\nENT: F(5) : E-> n\n", full.first);
    EXPECT_EQ("ERR: F(1) : A-> e\n", full.second);

    FILE *file = tmpfile();
    ASSERT_NE(nullptr, file);
    dump(0, file);
    rewind(file);
    char buffer[512] = {};
    fread(buffer, 1, sizeof buffer - 1, file);
    fclose(file);
    EXPECT_STREQ("ERR: F(1) : A-> e\nNFO: F(2) : B-> i\nDBG: F(3) : C-> d\nSUC: F(4) : D-> s\nENT: F(5) : E-> n\n", buffer);
}

} // namespace
} // namespace vyr::installer::test
