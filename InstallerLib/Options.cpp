// The option words of the two entry points and their usage texts. The front ends pass the words
// only (no program name), so the first word is already an option.
#include "Installer.h"

#include <cctype>
#include <cerrno>
#include <climits>

namespace {

const char kFile[] = "InstallerLib\\Installer";

// The longest grace period the system accepts for a restart (ten years, in seconds).
constexpr long kMaxRebootDelay = 315360000L;

[[noreturn]] void EndProcessAfterFatalOption()
{
    // The log goes now, and the library's unload must not release it a second time.
    LogRelease(TheLog());
    SetTheLog(nullptr);
    ExitProcess(1);
}

// Builds "<directory>\<name>" into a 260-byte path; fails when it does not fit.
bool BuildPath(char (&path)[260], const char *directory, const char *name)
{
    int n = snprintf(path, sizeof path, "%s\\%s", directory, name);
    return n > 0 && (size_t)n < sizeof path;
}

} // namespace

void PrintInstallUsage()
{
    printf("\n"
           "USAGE:\n"
           "   setup_locked.exe | setup_shared.exe [-c|-t][-d][-s][-h][-r][-f][-p][-m][-a][-e]\n"
           "\n"
           "  c = install only the changer drivers\n"
           "  t = install only the tape drivers\n"
           "  d = output debug information to file\n"
           "  s = silent mode (suppress pop-ups)\n"
           "  r = disable the RSM service\n"
           "  f = disable DPF\n"
           "  p = use persistent reserve if DPF disabled\n"
           "  m = disable media polling\n"
           "  a = disable WRAttributes\n"
           "  v = verbose level (1 - 3)\n"
           "  e = exclude, or do not bind to, devices listed in exclude.txt\n"
           "  h = print this usage information\n"
           "\n"
           "See the VYR Tape Device Drivers Installation and Users Guide for more information \n"
           "and the setup_notes.txt for  setup_locked.exe or setup_shared.exe use\n");
    fflush(stdout);
}

void PrintUninstallUsage()
{
    printf("Usage:\n"
           "\n"
           "uninst -d filename -v level -r secs_to_reboot -s.\n"
           "\n"
           "  -d: Enable debug messages.\n"
           "  -v: Verbose level (1 - 3).\n"
           "  -r: Reboot system, if successful, after specified seconds.\n"
           "  -s: Silent mode, no user intervention.\n"
           "  -h: Show this help message and exit.\n"
           "\n"
           "  Note: If reboot is requested, all users will be logged off, use with care.\n"
           "        If -r and -s are supplied, system will be immediately rebooted if\n"
           "        uninstallation is successful.\n");
    fflush(stdout);
}

int ProcessInstallersArguments(int argc, char **argv, InstallOptions *options, InstallLog *log)
{
    VYR_LOG(kFile, LOG_ENTRY, "Entering function");
    int result = 1;

    memset(options, 0, sizeof *options);
    options->bothDrivers = 1;

    DWORD n = GetCurrentDirectoryA(sizeof options->currentDirectory, options->currentDirectory);
    if (n == 0 || n >= sizeof options->currentDirectory) {
        fprintf(stderr, "Failed to get current directory needed by this installer\nPlease ensure there is enough memory\n");
        EndProcessAfterFatalOption();
    }

    for (int i = 0; i < argc && result; ++i) {
        const char *word = argv[i] ? argv[i] : "";
        size_t len = strlen(word);
        if (word[0] != '-' && word[0] != '/') {
            result = 0;
            break;
        }
        char letter = (char)tolower((unsigned char)word[1]);
        if (len >= 8 || (len > 2 && letter != 'v')) {
            result = 0;
            break;
        }
        switch (letter) {
        case 'c':
            options->bothDrivers = 0;
            options->changerOnly = 1;
            VYR_LOG_ECHO(kFile, LOG_INFO, "Changer Only flag has been set");
            if (options->tapeOnly) {
                VYR_LOG_ECHO(kFile, LOG_ERROR,
                             "Can't set both Changer Only and Tape Only, please specify a different configuration");
                EndProcessAfterFatalOption();
            }
            break;
        case 't':
            options->bothDrivers = 0;
            options->tapeOnly = 1;
            VYR_LOG_ECHO(kFile, LOG_INFO, "Tape Only flag has been set");
            if (options->changerOnly) {
                VYR_LOG_ECHO(kFile, LOG_ERROR,
                             "Can't set both Changer Only and Tape Only, please specify a different configuration");
                EndProcessAfterFatalOption();
            }
            break;
        case 'd':
            options->debug = 1;
            // The whole path has to fit, not only the directory: a cut path would name another file.
            if (!BuildPath(options->debugPath, options->currentDirectory, "debug.txt")) {
                result = 0;
                break;
            }
            options->debugFile = fopen(options->debugPath, "w");
            if (!options->debugFile) {
                fprintf(stderr, "Failed to create file: %s\n\nPlease ensure there is enough free space and try again\n",
                        options->debugPath);
                EndProcessAfterFatalOption();
            }
            TrackStream(options->debugFile);
            VYR_LOG_ECHO(kFile, LOG_INFO, "Debug flag has been set. Check log for more details:\n %s", options->debugPath);
            break;
        case 's':
            options->silent = 1;
            VYR_LOG_ECHO(kFile, LOG_INFO, "Silent mode flag has been set");
            break;
        case 'r':
            options->disableRsm = 1;
            VYR_LOG_ECHO(kFile, LOG_INFO, "-r specified. Installer will attempt to disable RSM");
            break;
        case 'f':
            options->disableFailover = 1;
            VYR_LOG_ECHO(kFile, LOG_INFO, "-f specified. Installer will disable DPF");
            break;
        case 'p':
            options->persistentReserve = 1;
            VYR_LOG_ECHO(kFile, LOG_INFO, "-p specified. Installer will attempt persistent reserve when DPF is disabled");
            break;
        case 'm':
            options->disableMediaPolling = 1;
            VYR_LOG_ECHO(kFile, LOG_INFO, "-m specified. Installer will disable media polling");
            break;
        case 'a':
            options->disableWrAttributes = 1;
            VYR_LOG_ECHO(kFile, LOG_INFO, "-a specified. Installer will disable WRAttributes");
            break;
        case 'e':
            options->excludeList = 1;
            if (!BuildPath(options->excludePath, options->currentDirectory, "exclude.txt")) {
                result = 0;
                break;
            }
            options->excludeFile = fopen(options->excludePath, "r");
            if (!options->excludeFile) {
                fprintf(stderr, "Failed to open file: %s\n\nPlease ensure the file exists and try again\n",
                        options->excludePath);
                EndProcessAfterFatalOption();
            }
            TrackStream(options->excludeFile);
            MarkDevsToExclude(options->excludeFile, log);
            VYR_LOG_ECHO(kFile, LOG_INFO,
                         "-e specified. Installer will exclude, or not bind driver to, devices listed in exclude.txt");
            break;
        case 'v':
            // The third character only separates the level from the letter (-v:2, -v=2).
            if (len == 4)
                options->verboseLevel = word[3] == '1' ? 0 : word[3] == '2' ? 1 : 2;
            else if (len >= 5)
                options->verboseLevel = 2;
            else
                options->verboseLevel = 0;
            break;
        case 'h':
            result = 0;
            break;
        default:
            break;
        }
    }

    VYR_LOG(kFile, LOG_EXIT, "Returning: %i", result);
    return result;
}

int ProcessUninstallersArguments(int argc, char **argv, UninstallOptions *options, InstallLog *log)
{
    VYR_LOG(kFile, LOG_ENTRY, "Entering function");
    int result = 1;

    options->verboseLevel = 0;
    options->rebootDelay = 30;
    options->silent = 0;
    options->reboot = 0;
    options->debugFile = nullptr;

    for (int i = 0; i < argc && result; ++i) {
        const char *word = argv[i] ? argv[i] : "";
        size_t len = strlen(word);
        if (word[0] != '-' && word[0] != '/') {
            result = 0;
            break;
        }
        switch (tolower((unsigned char)word[1])) {
        case '?':
        case 'h':
            result = 0;
            break;
        case 'd': {
            char directory[MAX_PATH] = {};
            DWORD n = GetCurrentDirectoryA(sizeof directory, directory);
            // A directory that does not leave room for the file name is reported like any other
            // file that cannot be created, instead of writing past the path buffer.
            if (n == 0 || n >= sizeof directory || !BuildPath(options->debugPath, directory, "uninst_debug.txt"))
                options->debugFile = nullptr;
            else
                options->debugFile = fopen(options->debugPath, "w");
            if (!options->debugFile) {
                printf("Failed to create file: %s\n\nPlease ensure there is enough free space and try again\n",
                       options->debugPath);
                fflush(stdout);
                EndProcessAfterFatalOption();
            }
            TrackStream(options->debugFile);
            VYR_LOG_ECHO(kFile, LOG_INFO, "Debug enabled, check log for more details at:\n%s", options->debugPath);
            break;
        }
        case 'r': {
            options->reboot = 1;
            if (len > 3) {
                // Read as a decimal number; no digits give 0. Out-of-range values are held to what
                // a restart request can carry rather than wrapping round.
                errno = 0;
                long delay = strtol(word + 3, nullptr, 10);
                if (delay < 0)
                    delay = 0;
                if (delay > kMaxRebootDelay)
                    delay = kMaxRebootDelay;
                options->rebootDelay = (int32_t)delay;
            } else {
                options->rebootDelay = 15;
            }
            break;
        }
        case 's':
            options->silent = 1;
            break;
        case 'v':
            if (len >= 4 && word[3] == '2')
                options->verboseLevel = 1;
            else if (len >= 4 && word[3] == '3')
                options->verboseLevel = 2;
            break;
        default:
            break;
        }
    }

    VYR_LOG(kFile, LOG_EXIT, "Returning: %i", result);
    return result;
}
