#include "frontend.h"

#ifdef _WIN32

#include <windows.h>

extern "C" {
__declspec(dllimport) int InstallDrivers(int argc, char **argv, int exclusive);
__declspec(dllimport) int UninstallDrivers(int argc, char **argv);
}

namespace vyr::frontend {

// The C runtime has already split the command line into words, honouring quotes; the program name
// is not an option.
int Run(Action action, int argc, char **argv)
{
    int count = argc > 0 ? argc - 1 : 0;
    char **words = argc > 0 ? argv + 1 : argv;
    switch (action) {
    case Action::InstallLocked:
        return InstallDrivers(count, words, 1);
    case Action::InstallShared:
        return InstallDrivers(count, words, 0);
    default:
        return UninstallDrivers(count, words);
    }
}

} // namespace vyr::frontend

#else

#include "Installer.h"
#include "hostctl.h"
#include "hostos.h"

#include <cstdlib>
#include <string>

namespace vyr::frontend {

// On the host the program works on a simulated machine kept in files: the hive in $VYR_HIVE (loaded
// first, saved afterwards) and the drives under $VYR_SANDBOX; $VYR_CURRENT_DIRECTORY is the Windows
// current directory (default C:\install). Message boxes and restarts are printed, not shown.
int Run(Action action, int argc, char **argv)
{
    const char *sandbox = getenv("VYR_SANDBOX");
    const char *hive = getenv("VYR_HIVE");
    const char *current = getenv("VYR_CURRENT_DIRECTORY");
    if (!sandbox || !*sandbox) {
        fprintf(stderr, "VYR_SANDBOX must name the folder that holds the simulated machine's drives\n");
        return 2;
    }
    vyr::installer::host::SetSandboxRoot(sandbox);
    vyr::installer::host::SetCurrentDirectory(current && *current ? current : "C:\\install");
    vyr::installer::host::SetActionObserver([](const std::string &what) { fprintf(stderr, "[host] %s\n", what.c_str()); });
    if (hive && *hive)
        vyr::installer::hostos::LoadHive(hive);

    if (!DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr))
        return 1;
    int count = argc > 0 ? argc - 1 : 0;
    char **words = argc > 0 ? argv + 1 : argv;
    int rc = 0;
    switch (action) {
    case Action::InstallLocked:
        rc = InstallDrivers(count, words, 1);
        break;
    case Action::InstallShared:
        rc = InstallDrivers(count, words, 0);
        break;
    default:
        rc = UninstallDrivers(count, words);
        break;
    }
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    if (hive && *hive)
        vyr::installer::hostos::SaveHive(hive);
    return rc;
}

} // namespace vyr::frontend

#endif
