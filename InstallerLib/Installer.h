// The installer library: its records, the installer log and the operations behind the install and
// uninstall step machines (DllMain.cpp). Every operation returns 1 for success and 0 for failure and
// takes the installer log as its last argument.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <cstdio>

// ---------------------------------------------------------------------------------------------
// Installer log
// ---------------------------------------------------------------------------------------------
enum LogKind : int32_t {
    LOG_ERROR = 0,
    LOG_INFO = 1,
    LOG_DEBUG = 2,
    LOG_SUCCESS = 3,
    LOG_ENTRY = 4,
    LOG_EXIT = 5,
};

struct LogEntry {
    int32_t kind;
    int32_t line;
    char tag[127];
    char function[255];
    char file[255];
    char message[1024];
    LogEntry *next;
};

// The log is a list behind an empty head entry; only the head's next field means anything.
typedef LogEntry InstallLog;

constexpr size_t kMessageSize = 1024;

InstallLog *LogCreate();
void LogRelease(InstallLog *log);
int LogAppend(InstallLog *log, DWORD error, int32_t kind, int32_t line, const char *function, const char *file,
              const char *text);
void LogEcho(InstallLog *log);
void LogDump(InstallLog *log, int32_t level, FILE *debugFile);

// The log of the loaded library (created at process attach, released at detach).
InstallLog *TheLog();
void SetTheLog(InstallLog *log);

// Streams the library opened for the debug and exclude files; closed when the library unloads.
void TrackStream(FILE *stream);
void CloseTrackedStreams();

// Formats into a bounded message buffer; longer text is cut.
void FormatMessageText(char (&buffer)[kMessageSize], const char *format, ...) __attribute__((format(printf, 2, 3)));

// ---------------------------------------------------------------------------------------------
// Options
// ---------------------------------------------------------------------------------------------
struct InstallOptions {
    FILE *debugFile;
    FILE *excludeFile;
    char debugPath[260];
    char excludePath[260];
    char currentDirectory[1024];
    int32_t verboseLevel;
    int32_t versionNumber;
    // option flags, bits 0-7
    uint8_t bothDrivers : 1;
    uint8_t changerOnly : 1;
    uint8_t tapeOnly : 1;
    uint8_t disableRsm : 1;
    uint8_t disableMediaPolling : 1;
    uint8_t disableFailover : 1;
    uint8_t disableWrAttributes : 1;
    uint8_t persistentReserve : 1;
    // state flags, bits 0-7
    uint8_t exclusiveAccess : 1;
    uint8_t debug : 1;
    uint8_t silent : 1;
    uint8_t excludeList : 1;
    uint8_t changerBusInfFound : 1;
    uint8_t tapeBusInfFound : 1;
    uint8_t changerClassInfFound : 1;
    uint8_t tapeClassInfFound : 1;
};

struct UninstallOptions {
    FILE *debugFile;
    char debugPath[260];
    int32_t verboseLevel;
    int32_t rebootDelay;
    uint32_t silent;
    uint32_t reboot;
};

int ProcessInstallersArguments(int argc, char **argv, InstallOptions *options, InstallLog *log);
int ProcessUninstallersArguments(int argc, char **argv, UninstallOptions *options, InstallLog *log);
void PrintInstallUsage();
void PrintUninstallUsage();

// ---------------------------------------------------------------------------------------------
// Tables and the process-wide context
// ---------------------------------------------------------------------------------------------
struct HardwareIdEntry {
    char id[44];
    int32_t claim;
};

constexpr int kChangerHardwareIdRows = 30;
constexpr int kTapeHardwareIdRows = 64;
extern HardwareIdEntry ChangerHardwareIds[kChangerHardwareIdRows + 1];
extern HardwareIdEntry TapeHardwareIds[kTapeHardwareIdRows + 1];
// Sets every claim flag back to 1 (a fresh load of the library).
void ResetHardwareIdTables();

extern char InfBaseNames[4][15];
enum InfIndex { INF_CHANGER_CLASS = 0, INF_TAPE_CLASS = 1, INF_CHANGER_BUS = 2, INF_TAPE_BUS = 3 };
extern char ServiceKeyPaths[6][1024];
extern char DeviceClassNames[3][1024];
constexpr size_t kServicesPrefixLength = 34; // "System\CurrentControlSet\Services\"

struct SetupContext {
    int32_t versionNumber;
    DWORD lastError;
    uint32_t mode; // 0 install, 1 uninstall
    HKEY driverKey;
    GUID classGuid;
    char idBuffer[1024];
    DWORD requiredSize;
    HDEVINFO deviceInfoSet;
    SP_DEVINFO_DATA deviceInfoData;
};
extern SetupContext TheSetupContext;
enum { MODE_INSTALL = 0, MODE_UNINSTALL = 1 };

extern const char kVersionText[];

// ---------------------------------------------------------------------------------------------
// Operations
// ---------------------------------------------------------------------------------------------
int GetTime(int start, InstallLog *log);
int GetWindowsVersion(int32_t *version, InstallLog *log);
int DriverSysFilesExistInCurDir(InstallOptions *options, InstallLog *log);
int AddRegistryValues(InstallOptions *options, InstallLog *log);
int CreateRegKey(HKEY *key, const char *path, InstallLog *log);
int SetRegKey(HKEY key, const char *name, int flag, InstallLog *log);
int QueryRegKey(HKEY key, const char *path, const char *name, char *buffer, DWORD size, InstallLog *log);
int DisableRSM(InstallLog *log);
int InstallVirtualBus(int which, InstallOptions *options, InstallLog *log);
int ScanForHardwareChanges(InstallLog *log);
int InstallDriver(const char *directory, int which, InstallLog *log);
void MarkDevsToExclude(FILE *excludeFile, InstallLog *log);
int ExcludeDevice(InstallLog *log);

int UninstallDevices(InstallLog *log);
int EnumAndUninstallVYRDevs(InstallLog *log);
int DeviceSupported(InstallLog *log);
int QueryAndUninstallDevice(InstallLog *log);
int UninstallDevAndOEMFile(InstallLog *log);
int UninstallDevice(InstallLog *log);
int DeleteSysFiles(InstallLog *log);
int DriverSysFileExists(const char *path, InstallLog *log);
int DeleteRegistryKeys(InstallLog *log);
void RebootSystem(int32_t delaySeconds, InstallLog *log);

// ---------------------------------------------------------------------------------------------
// Exports
// ---------------------------------------------------------------------------------------------
extern "C" {
int InstallDrivers(int argc, char **argv, int exclusive);
int UninstallDrivers(int argc, char **argv);
// Process attach creates the log (the load fails without it); detach releases the log and closes
// the debug and exclude files. The host face has no loader: its users call it themselves.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
}

// Logging helpers for the operations: the source line and the calling function go into the entry.
#define VYR_LOG(file, kind, ...)                                                                                       \
    do {                                                                                                               \
        char vyrLogText_[kMessageSize];                                                                                \
        FormatMessageText(vyrLogText_, __VA_ARGS__);                                                                   \
        LogAppend(log, 0, (kind), __LINE__, __func__, (file), vyrLogText_);                                             \
    } while (0)
#define VYR_LOG_ECHO(file, kind, ...)                                                                                  \
    do {                                                                                                               \
        VYR_LOG(file, kind, __VA_ARGS__);                                                                              \
        LogEcho(log);                                                                                                  \
    } while (0)
// An error entry carrying only the system text of a Windows code.
#define VYR_LOG_CODE(file, code) LogAppend(log, (DWORD)(code), LOG_ERROR, __LINE__, __func__, (file), "")
