#include "install.h"

#include "Installer.h"
#include "hostctl.h"

#include <cstdio>
#include <filesystem>

namespace vyr::tools {
namespace {

namespace fs = std::filesystem;
namespace host = vyr::installer::host;

constexpr const char *kPackageInfs[] = {"lodarmf2k16", "strdrvf2k16", "vyrcgbs2k16", "vyrtpbs2k16"};
constexpr const char *kPackageImages[] = {"vyrtpbs2k16", "vyrcgbs2k16", "vyrtpft2k16", "vyrcgft2k16", "vyrtp2k16",
                                          "vyrcg2k16"};

bool LayOutPackage(const std::string &sandbox, const std::string &driverDir, const std::string &packageDir)
{
    std::error_code ec;
    fs::path drivers = fs::path(sandbox) / "C" / "install" / "drivers";
    fs::create_directories(drivers, ec);
    for (const char *inf : kPackageInfs) {
        fs::copy_file(fs::path(packageDir) / (std::string(inf) + ".inf"), drivers / (std::string(inf) + ".inf"),
                      fs::copy_options::overwrite_existing, ec);
        if (ec) {
            fprintf(stderr, "vyrsim: the package's %s.inf cannot be laid out: %s\n", inf, ec.message().c_str());
            return false;
        }
    }
    // Images this build does not make are left out; the INF that names one reports it.
    for (const char *image : kPackageImages) {
        fs::path source = fs::path(driverDir) / (std::string(image) + ".sys");
        if (fs::exists(source))
            fs::copy_file(source, drivers / source.filename(), fs::copy_options::overwrite_existing, ec);
    }
    return true;
}

} // namespace

int RunInstaller(bool install, const std::vector<std::string> &words, const std::string &sandbox,
                 const std::string &driverDir, const std::string &packageDir)
{
    static bool attached = false;
    host::Reset();
    host::SetSandboxRoot(sandbox);
    host::SetCurrentDirectory("C:\\install");
    host::SetWindowsVersion("Windows Server 2016 Datacenter", "6.3", true);
    host::SetActionObserver([](const std::string &what) {
        fflush(stdout);
        printf("  [system] %s\n", what.c_str());
    });
    if (!LayOutPackage(sandbox, driverDir, packageDir))
        return 1;
    if (!attached) {
        DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
        attached = true;
    }
    std::vector<std::string> copy = words;
    std::vector<char *> argv;
    for (std::string &w : copy)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    fflush(stdout);
    int result = install ? InstallDrivers((int)copy.size(), argv.data(), 0) : UninstallDrivers((int)copy.size(), argv.data());
    fflush(stdout);
    host::SetActionObserver(nullptr);
    return result;
}

} // namespace vyr::tools
