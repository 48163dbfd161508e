// VYRZKS.conf on the simulated machine's drives: where it is looked for, when it is read again,
// and the host kernel's file routines underneath.
#include "keyserver.h"
#include "kernel_fixture.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using vyr::test::KernelTest;

const char *kServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vyrtpbs2k16";

class KeyServerFile : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        hk::RegCreateKey(kServiceKey);
    }

    fs::path ConfigPath(char letter, const std::string &name = "VYRZKS.conf")
    {
        fs::path dir = hk::DriveFolder(letter);
        fs::create_directories(dir);
        return dir / name;
    }

    void WriteConfig(char letter, const std::string &text, const std::string &name = "VYRZKS.conf")
    {
        std::ofstream(ConfigPath(letter, name), std::ios::binary | std::ios::trunc) << text;
    }

    // Waits until the wall clock is early in a second, so that the next few file changes share
    // their change-time second.
    static void WaitForFreshSecond()
    {
        using namespace std::chrono;
        for (;;) {
            auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() % 1000;
            if (ms < 300)
                return;
            std::this_thread::sleep_for(milliseconds(1000 - ms + 5));
        }
    }

    KeyServerTable table_{};
};

TEST_F(KeyServerFile, DrivesAreTriedFromCWithoutTheValue)
{
    WriteConfig('E', "onE 10 10.0.0.5:3801\n");
    ASSERT_EQ(LoadKeyServerConfig(&table_), STATUS_SUCCESS);
    ASSERT_EQ(table_.serverCount, 1);
    EXPECT_STREQ(table_.entries[0].name, "onE");

    // D comes before E: once it holds a (different) file, that one is read.
    WriteConfig('D', "onD 10 10.0.0.4:3801\nsecond 1 1.1.1.1:1\n");
    ASSERT_EQ(LoadKeyServerConfig(&table_), STATUS_SUCCESS);
    EXPECT_EQ(table_.serverCount, 2);
    EXPECT_STREQ(table_.entries[0].name, "onD");

    // Names compare case-insensitively, as on the real file system.
    fs::remove(ConfigPath('D'));
    fs::remove(ConfigPath('E'));
    WriteConfig('C', "lower 10 10.0.0.3:3801\n", "vyrzks.CONF");
    ASSERT_EQ(LoadKeyServerConfig(&table_), STATUS_SUCCESS);
    EXPECT_STREQ(table_.entries[0].name, "lower");

    // A folder of that name is not the file; with no file anywhere the last failure is returned.
    fs::remove(ConfigPath('C', "vyrzks.CONF"));
    fs::create_directories(ConfigPath('C'));
    EXPECT_EQ(LoadKeyServerConfig(&table_), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(table_.loaded, 0u);
}

TEST_F(KeyServerFile, SystemDriveValueNamesTheOnlyPlace)
{
    WriteConfig('C', "onC 10 10.0.0.3:3801\n");
    WriteConfig('F', "onF 10 10.0.0.6:3801\n");
    hk::RegSetString(kServiceKey, "SystemDrive", "F:\\");
    ASSERT_EQ(LoadKeyServerConfig(&table_), STATUS_SUCCESS);
    EXPECT_STREQ(table_.entries[0].name, "onF");

    // Without its backslash the value names no file: the open fails, and C is not tried.
    hk::RegSetString(kServiceKey, "SystemDrive", "F:");
    EXPECT_EQ(LoadKeyServerConfig(&table_), STATUS_OBJECT_NAME_NOT_FOUND);
    hk::RegSetString(kServiceKey, "SystemDrive", "G:\\");
    EXPECT_EQ(LoadKeyServerConfig(&table_), STATUS_OBJECT_PATH_NOT_FOUND);

    // A value that would not fit the path buffer is refused, not cut.
    hk::RegSetString(kServiceKey, "SystemDrive", "F:\\" + std::string(240, 'd') + "\\");
    EXPECT_EQ(LoadKeyServerConfig(&table_), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(table_.loaded, 0u);
}

TEST_F(KeyServerFile, ReadAgainOnlyWhenChangeSecondOrSizeDiffers)
{
    WaitForFreshSecond();
    WriteConfig('C', "first 10 10.0.0.1:3801\n");
    ASSERT_EQ(LoadKeyServerConfig(&table_), STATUS_SUCCESS);
    EXPECT_STREQ(table_.entries[0].name, "first");

    // Same size, same second: the copy in memory stays, even though the text differs.
    WriteConfig('C', "other 10 10.0.0.1:3801\n");
    ASSERT_EQ(LoadKeyServerConfig(&table_), STATUS_SUCCESS);
    EXPECT_STREQ(table_.entries[0].name, "first");

    // Another size: read again.
    WriteConfig('C', "longer 10 10.0.0.1:3801\n");
    ASSERT_EQ(LoadKeyServerConfig(&table_), STATUS_SUCCESS);
    EXPECT_STREQ(table_.entries[0].name, "longer");

    // A broken file fails and clears the flag; mending it, even to the old size, is read again.
    WriteConfig('C', "broken 10 10.0.0.1 3801 x\n");
    EXPECT_EQ(LoadKeyServerConfig(&table_), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(table_.loaded, 0u);
    WriteConfig('C', "mended 10 10.0.0.1:3801\n");
    ASSERT_EQ(LoadKeyServerConfig(&table_), STATUS_SUCCESS);
    EXPECT_STREQ(table_.entries[0].name, "mended");

    // The same size in a later second: read again.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    WriteConfig('C', "latest 10 10.0.0.1:3801\n");
    ASSERT_EQ(LoadKeyServerConfig(&table_), STATUS_SUCCESS);
    EXPECT_STREQ(table_.entries[0].name, "latest");

    WriteConfig('C', "");
    EXPECT_EQ(LoadKeyServerConfig(&table_), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(KeyServerFile, FileRoutinesKeepToTheirBuffersAndSharing)
{
    WriteConfig('C', "0123456789");
    std::u16string path = u"\\??\\C:\\VYRZKS.conf";
    UNICODE_STRING name = vyr::test::Unicode(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE h = nullptr;
    ASSERT_EQ(ZwOpenFile(&h, GENERIC_READ | SYNCHRONIZE, &attributes, &iosb, FILE_SHARE_READ,
                         FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE),
              STATUS_SUCCESS);

    // Short information buffers are refused, not overrun.
    FILE_BASIC_INFORMATION basic;
    EXPECT_EQ(ZwQueryInformationFile(h, &iosb, &basic, sizeof(basic) - 1, FileBasicInformation),
              STATUS_INFO_LENGTH_MISMATCH);
    FILE_STANDARD_INFORMATION standard;
    EXPECT_EQ(ZwQueryInformationFile(h, &iosb, &standard, sizeof(standard) - 1, FileStandardInformation),
              STATUS_INFO_LENGTH_MISMATCH);
    ASSERT_EQ(ZwQueryInformationFile(h, &iosb, &standard, sizeof(standard), FileStandardInformation), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, sizeof(standard));
    EXPECT_EQ(standard.EndOfFile.QuadPart, 10);

    char buffer[16] = {};
    LARGE_INTEGER offset;
    offset.QuadPart = 4;
    ASSERT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buffer, 4, &offset, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(std::string(buffer, 4), "4567");
    offset.QuadPart = 10;
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buffer, 4, &offset, nullptr), STATUS_END_OF_FILE);

    // Read sharing only: a second reader is let in, a writer is not; writing is not offered at all.
    HANDLE h2 = nullptr;
    EXPECT_EQ(ZwOpenFile(&h2, GENERIC_READ, &attributes, &iosb, FILE_SHARE_READ, FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_SUCCESS);
    HANDLE exclusive = nullptr;
    EXPECT_EQ(ZwOpenFile(&exclusive, GENERIC_READ, &attributes, &iosb, 0, 0), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(ZwClose(h2), STATUS_SUCCESS);
    HANDLE h3 = nullptr;
    EXPECT_EQ(ZwOpenFile(&h3, GENERIC_WRITE, &attributes, &iosb, FILE_SHARE_READ | FILE_SHARE_WRITE, 0),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);

    // Nothing leaves a drive's folder.
    std::u16string escape = u"\\??\\C:\\..\\D\\x";
    UNICODE_STRING escapeName = vyr::test::Unicode(escape);
    InitializeObjectAttributes(&attributes, &escapeName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    EXPECT_EQ(ZwOpenFile(&h, GENERIC_READ, &attributes, &iosb, FILE_SHARE_READ, 0), STATUS_OBJECT_NAME_INVALID);
}

} // namespace
