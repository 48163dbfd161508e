// The library's entry points: load and unload, InstallDrivers and UninstallDrivers with their step
// machines and the reason tables that turn a failed step into a report and the next step.
#include "Installer.h"

#include <ctime>

namespace {

const char kFile[] = "InstallerLib\\DllMain";

// Step indexes that end a run.
enum { INSTALL_FINISHED = 15, INSTALL_STOPPED = 16, INSTALL_USAGE = 17 };
enum { UNINSTALL_FINISHED = 8, UNINSTALL_STOPPED = 9, UNINSTALL_USAGE = 10 };

int ProcessInstallError(int step, InstallLog *log)
{
    switch (step) {
    case 0:
        fprintf(stderr, "\nThere are pending device installations, please finish installing other devices before running "
                        "this installer.\n");
        return INSTALL_STOPPED;
    case 1:
        VYR_LOG(kFile, LOG_INFO, "Could not get start time");
        return 2;
    case 3:
        PrintInstallUsage();
        return INSTALL_USAGE;
    case 4:
        VYR_LOG(kFile, LOG_ERROR, "Current Windows version is not supported");
        return INSTALL_STOPPED;
    case 5:
        VYR_LOG(kFile, LOG_ERROR, "Failed to locate all required driver sys files");
        return INSTALL_STOPPED;
    case 6:
        VYR_LOG(kFile, LOG_ERROR, "Failed to create necesary registry keys");
        return INSTALL_STOPPED;
    case 8:
        VYR_LOG(kFile, LOG_ERROR, "Failed to uninstall devices");
        return INSTALL_STOPPED;
    case 9:
        VYR_LOG(kFile, LOG_ERROR, "Failed to install virtual changer bus");
        return INSTALL_STOPPED;
    case 10:
        VYR_LOG(kFile, LOG_ERROR, "Failed to install virtual tape bus");
        return INSTALL_STOPPED;
    case 11:
        VYR_LOG(kFile, LOG_ERROR, "Failed to scan for hardware changes");
        return INSTALL_STOPPED;
    case 12:
        VYR_LOG(kFile, LOG_ERROR, "Failed to install driver for medium changers");
        return INSTALL_STOPPED;
    case 13:
        VYR_LOG(kFile, LOG_ERROR, "Failed to install driver for tape drives");
        return INSTALL_STOPPED;
    case 14:
        VYR_LOG(kFile, LOG_INFO, "Could not get end time");
        return INSTALL_FINISHED;
    default:
        return INSTALL_STOPPED;
    }
}

int ProcessUninstallError(int step, InstallLog *log)
{
    switch (step) {
    case 0:
        VYR_LOG(kFile, LOG_INFO, "Could not get start time");
        return 1;
    case 2:
        PrintUninstallUsage();
        return UNINSTALL_USAGE;
    case 3:
        VYR_LOG(kFile, LOG_ERROR, "Current Windows version is not supported");
        return UNINSTALL_STOPPED;
    case 4:
        VYR_LOG(kFile, LOG_ERROR, "Failed to uninstall all devices");
        return UNINSTALL_STOPPED;
    case 5:
        VYR_LOG(kFile, LOG_ERROR, "Failed to delete all sys files");
        return UNINSTALL_STOPPED;
    case 6:
        VYR_LOG(kFile, LOG_ERROR, "Failed to delete all registry keys");
        return UNINSTALL_STOPPED;
    case 7:
        VYR_LOG(kFile, LOG_INFO, "Could not get end time");
        return UNINSTALL_FINISHED;
    default:
        return UNINSTALL_STOPPED;
    }
}

int RunInstallStep(int step, int argc, char **argv, int exclusive, InstallOptions *options, InstallLog *log)
{
    const bool changer = options->changerOnly || options->bothDrivers;
    const bool tape = options->tapeOnly || options->bothDrivers;
    switch (step) {
    case 0:
        return CMP_WaitNoPendingInstallEvents(0) == WAIT_OBJECT_0;
    case 1:
        return GetTime(1, log);
    case 2:
        VYR_LOG_ECHO(kFile, LOG_INFO, "\nVYR Tape/Changer device driver  installer. Version: %s\n", kVersionText);
        return 1;
    case 3: {
        int ok = ProcessInstallersArguments(argc, argv, options, log);
        options->exclusiveAccess = exclusive & 1;
        return ok;
    }
    case 4:
        return GetWindowsVersion(&options->versionNumber, log);
    case 5:
        return DriverSysFilesExistInCurDir(options, log);
    case 6:
        return AddRegistryValues(options, log);
    case 7:
        return options->disableRsm ? DisableRSM(log) : 1;
    case 8:
        return changer ? UninstallDevices(log) : 1;
    case 9:
        return changer ? InstallVirtualBus(INF_CHANGER_BUS, options, log) : 1;
    case 10:
        return tape ? InstallVirtualBus(INF_TAPE_BUS, options, log) : 1;
    case 11:
        return ScanForHardwareChanges(log);
    case 12:
        return changer ? InstallDriver(options->currentDirectory, 0, log) : 1;
    case 13:
        return tape ? InstallDriver(options->currentDirectory, 1, log) : 1;
    case 14:
        return GetTime(0, log);
    default:
        return 0;
    }
}

int RunUninstallStep(int step, int argc, char **argv, UninstallOptions *options, InstallLog *log)
{
    switch (step) {
    case 0:
        return GetTime(1, log);
    case 1:
        VYR_LOG_ECHO(kFile, LOG_INFO, "\nVYR Tape/Changer device driver uninstaller. Version: %s\n", kVersionText);
        return 1;
    case 2:
        return ProcessUninstallersArguments(argc, argv, options, log);
    case 3:
        return GetWindowsVersion(&TheSetupContext.versionNumber, log);
    case 4:
        return UninstallDevices(log);
    case 5:
        return DeleteSysFiles(log);
    case 6:
        return DeleteRegistryKeys(log);
    case 7:
        return GetTime(0, log);
    default:
        return 0;
    }
}

} // namespace

int GetTime(int start, InstallLog *log)
{
    char text[127] = {};
    time_t now = time(nullptr);
    struct tm *local = localtime(&now);
    if (!local)
        return 0;
    // The fixed asctime layout: "Sun Dec  6 18:28:30 2026\n".
    if (strftime(text, sizeof text, "%a %b %d %H:%M:%S %Y\n", local) == 0)
        return 0;
    if (text[8] == '0')
        text[8] = ' ';
    if (start)
        VYR_LOG(kFile, LOG_INFO, "Start time: %s", text);
    else
        VYR_LOG(kFile, LOG_INFO, "Stop time: %s", text);
    return 1;
}

extern "C" int InstallDrivers(int argc, char **argv, int exclusive)
{
    InstallLog *log = TheLog();
    InstallOptions options;
    TheSetupContext.mode = MODE_INSTALL;
    memset(&options, 0, sizeof options);

    int step = 0;
    while (step < INSTALL_FINISHED) {
        if (RunInstallStep(step, argc, argv, exclusive, &options, log))
            ++step;
        else
            step = ProcessInstallError(step, log);
    }

    if (step == INSTALL_USAGE)
        return 0;

    if (step == INSTALL_FINISHED) {
        const char text[] = "Successfully installed drivers. Please reboot the system to finish installing all devices.";
        VYR_LOG(kFile, LOG_SUCCESS, "%s", text);
        printf("\n");
        LogDump(log, options.verboseLevel, options.debugFile);
        if (!options.silent)
            MessageBoxA(nullptr, text, "Installer result", MB_ICONINFORMATION | MB_TOPMOST);
        return 0;
    }

    LogDump(log, 2, options.debugFile);
    fprintf(stderr, "\nError(s) with install. Check stderr for details.\n");
    if (!options.silent)
        MessageBoxA(nullptr,
                    "Installation stopped due to error(s). \nIf debug flag was set, check debug.txt for more details.",
                    "Installation error", MB_ICONERROR | MB_TOPMOST);
    return -1;
}

extern "C" int UninstallDrivers(int argc, char **argv)
{
    InstallLog *log = TheLog();
    UninstallOptions options;
    TheSetupContext.mode = MODE_UNINSTALL;
    memset(&options, 0, sizeof options);

    int step = 0;
    while (step < UNINSTALL_FINISHED) {
        if (RunUninstallStep(step, argc, argv, &options, log))
            ++step;
        else
            step = ProcessUninstallError(step, log);
    }

    if (step == UNINSTALL_USAGE)
        return 0;

    if (step == UNINSTALL_FINISHED) {
        printf("\n");
        LogDump(log, options.verboseLevel, options.debugFile);
        printf("\nUninstall successful. \nPlease reboot the system to finish uninstalling all devices.\n\n");
        fflush(stdout);
        if (options.reboot && options.silent) {
            RebootSystem(0, log);
        } else if (options.reboot) {
            MessageBoxA(nullptr, "Uninstall successful. Reboot countdown will begin after you click OK.",
                        "Uninstall Status", MB_ICONINFORMATION);
            RebootSystem(options.rebootDelay, log);
        } else if (!options.silent) {
            MessageBoxA(nullptr, "Uninstall successful. Please reboot the system to finish uninstalling all devices.",
                        "Uninstall Status", MB_ICONINFORMATION);
        }
        return 0;
    }

    LogDump(log, 2, options.debugFile);
    fprintf(stderr, "\nError(s) with uninstall. Check stderr for details.\n");
    if (!options.silent)
        MessageBoxA(nullptr, "Error(s) with Tape/Changer driver uninstall. Check stderr for more details.",
                    "Uninstall Status", MB_ICONERROR);
    return -1;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reserved;
    switch (reason) {
    case DLL_PROCESS_ATTACH: {
        InstallLog *log = LogCreate();
        if (!log)
            return FALSE;
        SetTheLog(log);
        ResetHardwareIdTables();
        return TRUE;
    }
    case DLL_PROCESS_DETACH:
        LogRelease(TheLog());
        SetTheLog(nullptr);
        CloseTrackedStreams();
        return TRUE;
    default:
        return TRUE;
    }
}
