// A simulated machine with the installer library loaded and the driver package in C:\install.
#pragma once

#include <gtest/gtest.h>

#include "Installer.h"
#include "hostctl.h"

#include "hostos.h"
#include "machine_support.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace vyr::installer::test {

namespace fs = std::filesystem;
namespace host = vyr::installer::host;
namespace hk = vyr::installer::hostos; // the hive, seen through the host face's bridge

inline const std::string kMachineKey = "\\Registry\\Machine\\";
inline const std::string kServices = kMachineKey + "System\\CurrentControlSet\\Services\\";
inline const std::string kEnum = kMachineKey + "System\\CurrentControlSet\\Enum\\";
inline const std::string kClass = kMachineKey + "System\\CurrentControlSet\\Control\\Class\\";
inline const std::string kTapeClassGuid = "{6D807884-7D21-11CF-801C-08002BE10318}";

struct RunResult {
    int rc = 0;
    std::string out;
    std::string err;
};

class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static std::atomic<int> counter{0};
        sandbox_ = (fs::temp_directory_path() / ("vyr-installer-" + std::to_string(getpid()) + "-" +
                                                 std::to_string(counter++)))
                       .string();
        machine_ = std::make_unique<SimMachine>(sandbox_);
        host::Reset();
        host::SetSandboxRoot(sandbox_);
        host::SetCurrentDirectory("C:\\install");
        host::SetWindowsVersion("Windows Server 2016 Datacenter", "6.3", true);
        PlacePackage({"lodarmf2k16", "strdrvf2k16", "vyrcgbs2k16", "vyrtpbs2k16"});
        ASSERT_TRUE(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr));
    }

    void TearDown() override
    {
        DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
        machine_.reset();
        host::Reset();
        host::SetSandboxRoot("");
        std::error_code ec;
        fs::remove_all(sandbox_, ec);
    }

    std::string HostPath(const std::string &windowsPath) { return host::HostPath(windowsPath); }

    // The INF files named and every driver image they may copy.
    void PlacePackage(const std::vector<std::string> &infs)
    {
        fs::path dir = fs::path(sandbox_) / "C" / "install" / "drivers";
        fs::create_directories(dir);
        for (const std::string &inf : infs)
            fs::copy_file(fs::path(VYR_PACKAGE_DIR) / (inf + ".inf"), dir / (inf + ".inf"),
                          fs::copy_options::overwrite_existing);
        for (const char *image : {"vyrtpbs2k16", "vyrcgbs2k16", "vyrtpft2k16", "vyrtp2k16", "vyrcgft2k16"}) {
            fs::path source = fs::path(machine_->DriverDir()) / (std::string(image) + ".sys");
            if (fs::exists(source))
                fs::copy_file(source, dir / source.filename(), fs::copy_options::overwrite_existing);
        }
    }

    void WriteFile(const std::string &windowsPath, const std::string &text)
    {
        std::string path = HostPath(windowsPath);
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }

    std::string ReadFile(const std::string &windowsPath)
    {
        std::ifstream in(HostPath(windowsPath), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static std::vector<char *> Words(std::vector<std::string> &words)
    {
        std::vector<char *> out;
        for (std::string &w : words)
            out.push_back(w.data());
        out.push_back(nullptr);
        return out;
    }

    RunResult Install(std::vector<std::string> words, int exclusive = 0)
    {
        std::vector<char *> argv = Words(words);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        RunResult r;
        r.rc = InstallDrivers((int)words.size(), argv.data(), exclusive);
        r.out = ::testing::internal::GetCapturedStdout();
        r.err = ::testing::internal::GetCapturedStderr();
        return r;
    }

    RunResult Uninstall(std::vector<std::string> words)
    {
        std::vector<char *> argv = Words(words);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        RunResult r;
        r.rc = UninstallDrivers((int)words.size(), argv.data());
        r.out = ::testing::internal::GetCapturedStdout();
        r.err = ::testing::internal::GetCapturedStderr();
        return r;
    }

    // A path device of a tape drive as its SCSI port would enumerate it, bound to nothing yet.
    std::string AddTapePathDevice(const std::string &hardwareId, const std::string &instance = "1&2a0f&0&000")
    {
        std::string id = "SCSI\\" + hardwareId.substr(5) + "\\" + instance;
        hk::CreateKey(kEnum + id);
        hk::SetMultiString(kEnum + id, "HardwareID", {hardwareId, "SCSI\\Sequential", "GenSequential"});
        hk::SetString(kEnum + id, "ClassGUID", kTapeClassGuid);
        return id;
    }

    // A tape device that some other package already drives.
    std::string AddBoundTapeDevice(const std::string &hardwareId, const std::string &provider, const std::string &instance)
    {
        std::string id = AddTapePathDevice(hardwareId, instance);
        std::string driver = kTapeClassGuid + "\\" + instance.substr(instance.size() - 4);
        hk::SetString(kEnum + id, "Driver", driver);
        hk::SetString(kEnum + id, "Service", "othertape");
        hk::CreateKey(kClass + driver);
        hk::SetString(kClass + driver, "MatchingDeviceId", hardwareId);
        hk::SetString(kClass + driver, "ProviderName", provider);
        hk::SetString(kClass + driver, "InfPath", "oem41.inf");
        hk::SetString(kClass + driver, "DriverDesc", "Tape drive of " + provider);
        return id;
    }

    static int Count(const std::string &text, const std::string &part)
    {
        int n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++n;
        return n;
    }

    // Every log message so far, one per entry.
    static std::vector<std::string> LogMessages()
    {
        std::vector<std::string> out;
        for (LogEntry *e = TheLog() ? TheLog()->next : nullptr; e; e = e->next)
            out.push_back(e->message);
        return out;
    }

    static bool Logged(const std::string &message)
    {
        for (const std::string &m : LogMessages())
            if (m == message + "\n")
                return true;
        return false;
    }

    std::string sandbox_;
    std::unique_ptr<SimMachine> machine_;
};

} // namespace vyr::installer::test
