// The operations behind the install and uninstall steps: version detection, the package check, the
// drivers' registry values, the bus devices, the binding of the class-driver packages, the device
// removal shared by install and uninstall, and the removal of driver files and service keys.
#include "Installer.h"

#include <cctype>

namespace {

const char kFile[] = "InstallerLib\\Installer";
const char kVersionKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const char kProvider[] = "VYR Corporation";

bool SameTextNoCase(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b)
        if (tolower((unsigned char)*a) != tolower((unsigned char)*b))
            return false;
    return *a == *b;
}

bool ContainsNoCase(const char *text, const char *part)
{
    return StrStrIA(text, part) != nullptr;
}

BOOL IsWindowsServer()
{
    OSVERSIONINFOEXW info;
    memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    info.wProductType = VER_NT_WORKSTATION;
    DWORDLONG mask = VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL);
    return !VerifyVersionInfoW(&info, VER_PRODUCT_TYPE, mask);
}

BOOL IsVersionOrGreater(DWORD major, DWORD minor)
{
    OSVERSIONINFOEXW info;
    memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    DWORDLONG mask = VerSetConditionMask(VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL), VER_MINORVERSION,
                                         VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION, mask);
}

// A service key path: its 1024-byte slot with the version number appended.
typedef char KeyPathBuffer[1024 + 16];

void BuildKeyPath(KeyPathBuffer &path, int index, int version)
{
    snprintf(path, sizeof path, "%s%i", ServiceKeyPaths[index], version);
}

} // namespace

const char kVersionText[] = "7.0.0.8x64";

char InfBaseNames[4][15] = {"lodarmf2k", "strdrvf2k", "vyrcgbs2k", "vyrtpbs2k"};

char ServiceKeyPaths[6][1024] = {
    "System\\CurrentControlSet\\Services\\vyrcg2k",   "System\\CurrentControlSet\\Services\\vyrtp2k",
    "System\\CurrentControlSet\\Services\\vyrcgbs2k", "System\\CurrentControlSet\\Services\\vyrtpbs2k",
    "System\\CurrentControlSet\\Services\\vyrcgft2k", "System\\CurrentControlSet\\Services\\vyrtpft2k",
};
enum { KEY_CHANGER_CLASS = 0, KEY_TAPE_CLASS = 1, KEY_CHANGER_BUS = 2, KEY_TAPE_BUS = 3 };

char DeviceClassNames[3][1024] = {"System", "TapeDrive", "MediumChanger"};

SetupContext TheSetupContext = {-1, 0, MODE_INSTALL, nullptr, {}, {}, 0, nullptr, {sizeof(SP_DEVINFO_DATA), {}, 0, 0}};

// Vendor and product fields as the devices report them in their inquiry data, blanks written as '_'.
HardwareIdEntry ChangerHardwareIds[kChangerHardwareIdRows + 1] = {
    {"SCSI\\ChangerVYR_____VLC-10__________", 1},
    {"SCSI\\ChangerVYR_____VLC-10E_________", 1},
    {"SCSI\\ChangerVYR_____VLC-20__________", 1},
    {"SCSI\\ChangerVYR_____VLC-20E_________", 1},
    {"SCSI\\ChangerVYR_____VLC-40__________", 1},
    {"SCSI\\ChangerVYR_____VLC-40E_________", 1},
    {"SCSI\\ChangerVYR_____VLC-80__________", 1},
    {"SCSI\\ChangerVYR_____VLC-80E_________", 1},
    {"SCSI\\ChangerVYR_____VLC-160_________", 1},
    {"SCSI\\ChangerVYR_____VLC-160E________", 1},
    {"SCSI\\ChangerVYR_____VLX_1000________", 1},
    {"SCSI\\ChangerVYR_____VLX_2000________", 1},
    {"SCSI\\ChangerVYR_____VLX_3000________", 1},
    {"SCSI\\ChangerVYR_____VLX_4000________", 1},
    {"SCSI\\ChangerVYR_____VLX_5000________", 1},
    {"SCSI\\ChangerVYR_____VLX_6000________", 1},
    {"SCSI\\ChangerVYR_____VLM_24__________", 1},
    {"SCSI\\ChangerVYR_____VLM_48__________", 1},
    {"SCSI\\ChangerVYR_____VLM_96__________", 1},
    {"SCSI\\ChangerVYR_____VLM_192_________", 1},
    {"SCSI\\ChangerACMESTORAL-100__________", 1},
    {"SCSI\\ChangerACMESTORAL-200__________", 1},
    {"SCSI\\ChangerACMESTORAL-300__________", 1},
    {"SCSI\\ChangerQUILLTEKQX_Library______", 1},
    {"SCSI\\ChangerQUILLTEKQX_Library_2____", 1},
    {"SCSI\\ChangerQUILLTEKQX_Autoloader___", 1},
    {"SCSI\\ChangerNORDLIB_NL-8____________", 1},
    {"SCSI\\ChangerNORDLIB_NL-16___________", 1},
    {"SCSI\\ChangerTESSERA_T-Stack_1_______", 1},
    {"SCSI\\ChangerTESSERA_T-Stack_2_______", 1},
    {"", 1},
};

HardwareIdEntry TapeHardwareIds[kTapeHardwareIdRows + 1] = {
    {"SCSI\\SequentialVYR_____ULT-VT1-H_______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT1-F_______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT1-HE______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT1-FE______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT1-HS______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT1-FS______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT2-H_______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT2-F_______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT2-HE______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT2-FE______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT2-HS______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT2-FS______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT3-H_______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT3-F_______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT3-HE______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT3-FE______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT3-HS______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT3-FS______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT4-H_______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT4-F_______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT4-HE______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT4-FE______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT4-HS______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT4-FS______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT5-H_______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT5-F_______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT5-HE______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT5-FE______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT5-HS______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT5-FS______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT6-H_______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT6-F_______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT6-HE______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT6-FE______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT6-HS______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT6-FS______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT7-H_______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT7-F_______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT7-HE______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT7-FE______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT7-HS______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT7-FS______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT8-H_______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT8-F_______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT8-HE______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT8-FE______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT8-HS______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT8-FS______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT9-H_______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT9-F_______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT9-HE______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT9-FE______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT9-HS______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT9-FS______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT10-H______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT10-F______", 1},
    {"SCSI\\SequentialVYR_____ULT-VT10-HE_____", 1},
    {"SCSI\\SequentialVYR_____ULT-VT10-FE_____", 1},
    {"SCSI\\SequentialVYR_____ULT-VT10-HS_____", 1},
    {"SCSI\\SequentialACMESTORAT-800__________", 1},
    {"SCSI\\SequentialACMESTORAT-1600_________", 1},
    {"SCSI\\SequentialQUILLTEKQT_Drive________", 1},
    {"USBSTOR\\SequentialVYR_____ULT-VT5-USB__", 1},
    {"USBSTOR\\SequentialVYR_____ULT-VT6-USB__", 1},
    {"", 1},
};

void ResetHardwareIdTables()
{
    for (HardwareIdEntry &row : ChangerHardwareIds)
        row.claim = 1;
    for (HardwareIdEntry &row : TapeHardwareIds)
        row.claim = 1;
}

// ---------------------------------------------------------------------------------------------
// Registry helpers
// ---------------------------------------------------------------------------------------------
int QueryRegKey(HKEY key, const char *path, const char *name, char *buffer, DWORD size, InstallLog *log)
{
    const bool watched = SameTextNoCase(name, "MatchingDeviceID") || SameTextNoCase(name, "ProviderName");
    if (watched && ContainsNoCase(buffer, "VYR"))
        VYR_LOG(kFile, LOG_ENTRY, "Entering function. Query: %s", name);

    HKEY opened = nullptr;
    LSTATUS rc = ERROR_SUCCESS;
    if (!key) {
        rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &opened);
        if (rc != ERROR_SUCCESS) {
            VYR_LOG_CODE(kFile, rc);
            VYR_LOG(kFile, LOG_EXIT, "Returning: %i", 0);
            return 0;
        }
        key = opened;
    }
    DWORD type = 0;
    DWORD length = size;
    rc = RegQueryValueExA(key, name, nullptr, &type, (LPBYTE)buffer, &length);
    if (opened)
        RegCloseKey(opened);
    // The stored data need not end in a NUL: data that fills the buffer without one is as good as
    // data that did not fit.
    if (rc == ERROR_SUCCESS) {
        if (length < size)
            buffer[length] = 0;
        else if (size == 0 || buffer[size - 1] != 0)
            rc = ERROR_MORE_DATA;
    }
    if (rc != ERROR_SUCCESS) {
        // A value that did not fit leaves no usable text behind; other failures leave the buffer as it was.
        if (rc == ERROR_MORE_DATA && size > 0)
            buffer[0] = 0;
        VYR_LOG_CODE(kFile, rc);
        VYR_LOG(kFile, LOG_EXIT, "Returning: %i", 0);
        return 0;
    }
    if (watched && ContainsNoCase(buffer, "VYR"))
        VYR_LOG(kFile, LOG_DEBUG, "Successfully queried key: %s %s", name, buffer);
    return 1;
}

int CreateRegKey(HKEY *key, const char *path, InstallLog *log)
{
    VYR_LOG(kFile, LOG_ENTRY, "Entering function. Create key: %s", path);
    DWORD disposition = 0;
    LSTATUS rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                 key, &disposition);
    int result = rc == ERROR_SUCCESS;
    if (result)
        VYR_LOG(kFile, LOG_DEBUG, "Successfully created key: %s", path);
    else
        VYR_LOG_CODE(kFile, rc);
    VYR_LOG(kFile, LOG_EXIT, "Returning: %i", result);
    return result;
}

int SetRegKey(HKEY key, const char *name, int flag, InstallLog *log)
{
    VYR_LOG(kFile, LOG_ENTRY, "Entering function. Set key: %s", name);
    DWORD data = flag ? 1 : 0;
    LSTATUS rc = RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&data, sizeof data);
    int result = rc == ERROR_SUCCESS;
    if (result)
        VYR_LOG(kFile, LOG_DEBUG, "Successfully set key %s to: %i", name, (int)data);
    else
        VYR_LOG_CODE(kFile, rc);
    VYR_LOG(kFile, LOG_EXIT, "Returning: %i", result);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Install operations
// ---------------------------------------------------------------------------------------------
int GetWindowsVersion(int32_t *version, InstallLog *log)
{
    VYR_LOG(kFile, LOG_ENTRY, "Entering function");
    *version = -1;
    char product[1024] = {};
    char current[1024] = {};
    const int haveProduct = QueryRegKey(nullptr, kVersionKey, "ProductName", product, sizeof product, log);
    QueryRegKey(nullptr, kVersionKey, "CurrentVersion", current, sizeof current, log);
    const BOOL server = IsWindowsServer();

    int result = 0;
    if (haveProduct) {
        if (strstr(product, "2008"))
            *version = 8;
        else if (strstr(product, "2012"))
            *version = 12;
        else if (strstr(product, "2016"))
            *version = 16;
        else if ((server && strstr(current, "6.3")) || strstr(product, "2019"))
            *version = 19;
        VYR_LOG(kFile, LOG_ENTRY, "WinVer = %i, IsWindowsServer() = %i, CurrentVersion = %s", *version, (int)server,
                current);
        result = *version != -1;
    } else if (server) {
        // Without a product name a server is placed by its version numbers alone.
        if (IsVersionOrGreater(10, 0))
            *version = 16;
        else if (IsVersionOrGreater(6, 2))
            *version = 12;
        else if (IsVersionOrGreater(6, 0))
            *version = 8;
        result = *version != -1;
    }
    VYR_LOG(kFile, LOG_EXIT, "Returning: %i, %s, %i", result, product, *version);
    return result;
}

int DriverSysFilesExistInCurDir(InstallOptions *options, InstallLog *log)
{
    int result = 1;
    for (int i = 0; i < 4; ++i) {
        VYR_LOG(kFile, LOG_DEBUG, "Looking for sys file: %s", InfBaseNames[i]);
        char path[1200];
        snprintf(path, sizeof path, "%s\\drivers\\%s%i.inf", options->currentDirectory, InfBaseNames[i],
                 options->versionNumber);
        if (PathFileExistsA(path) == TRUE) {
            switch (i) {
            case INF_CHANGER_CLASS: options->changerClassInfFound = 1; break;
            case INF_TAPE_CLASS: options->tapeClassInfFound = 1; break;
            case INF_CHANGER_BUS: options->changerBusInfFound = 1; break;
            default: options->tapeBusInfFound = 1; break;
            }
            VYR_LOG(kFile, LOG_SUCCESS, "Sys file exists: %s", path);
        } else {
            VYR_LOG(kFile, LOG_ERROR, "Could not find: %s", path);
            result = 0;
        }
    }
    return result;
}

int AddRegistryValues(InstallOptions *options, InstallLog *log)
{
    VYR_LOG(kFile, LOG_ENTRY, "Exclusive? %s DPF Disabled? %s Reserve type: %s Disable Media Polling? %s",
            options->exclusiveAccess ? "TRUE" : "FALSE", options->disableFailover ? "TRUE" : "FALSE",
            options->persistentReserve ? "Persistent" : "Regular", options->disableMediaPolling ? "TRUE" : "FALSE");

    KeyPathBuffer tapePath, busPath, changerPath;
    BuildKeyPath(tapePath, KEY_TAPE_CLASS, options->versionNumber);
    BuildKeyPath(busPath, KEY_TAPE_BUS, options->versionNumber);
    BuildKeyPath(changerPath, KEY_CHANGER_CLASS, options->versionNumber);
    HKEY tapeKey = nullptr, busKey = nullptr, changerKey = nullptr;
    int result = 0;

    if (!CreateRegKey(&tapeKey, tapePath, log)) {
        VYR_LOG(kFile, LOG_ERROR, "Failed to create Tape key: %s", tapePath);
        return 0;
    }
    VYR_LOG(kFile, LOG_SUCCESS, "Successfully created Tape key: %s", tapePath);

    if (!SetRegKey(tapeKey, "ExclusiveAccess", options->exclusiveAccess, log)) {
        VYR_LOG(kFile, LOG_ERROR, "Failed to set ExclusiveAccess to key: %s", tapePath);
        goto Exit;
    }
    VYR_LOG(kFile, LOG_SUCCESS, "Successfully set ExclusiveAccess to: %i", options->exclusiveAccess ? 1 : 0);

    if (!SetRegKey(tapeKey, "ReserveType", options->persistentReserve, log)) {
        VYR_LOG(kFile, LOG_ERROR, "Failed to set ReserveType to key: %s", tapePath);
        goto Exit;
    }
    VYR_LOG(kFile, LOG_SUCCESS, "Successfully set ReserveType to: %i", options->persistentReserve ? 1 : 0);

    if (options->disableWrAttributes) {
        if (!SetRegKey(tapeKey, "WRAttributesDisabled", 1, log)) {
            VYR_LOG(kFile, LOG_ERROR, "Failed to set WRAttributesDisabled to key: %s", tapePath);
            goto Exit;
        }
        VYR_LOG(kFile, LOG_SUCCESS, "Successfully set WRAttributesDisabled to: %i", 1);
    }

    if (options->disableFailover) {
        if (!SetRegKey(tapeKey, "FailoverDisabled", 1, log)) {
            VYR_LOG(kFile, LOG_ERROR, "Failed to set FailoverDisabled to key: %s", tapePath);
            goto Exit;
        }
        VYR_LOG(kFile, LOG_SUCCESS, "Successfully set FailoverDisabled to: %i", 1);
        if (!CreateRegKey(&busKey, busPath, log)) {
            VYR_LOG(kFile, LOG_ERROR, "Failed to create Tape Bus key: %s", busPath);
            goto Exit;
        }
        VYR_LOG(kFile, LOG_SUCCESS, "Successfullly created Tape Bus key: %s", busPath);
        if (!SetRegKey(busKey, "FailoverDisabled", 1, log)) {
            VYR_LOG(kFile, LOG_ERROR, "Failed to set FailoverDisabled to key: %s", busPath);
            goto Exit;
        }
        VYR_LOG(kFile, LOG_SUCCESS, "Successfullly set FailoverDisabled to: %i", 1);
        if (RegCloseKey(busKey) == ERROR_SUCCESS)
            VYR_LOG(kFile, LOG_DEBUG, "Successfully closed key: %s", busPath);
        busKey = nullptr;
    }

    if (options->disableMediaPolling) {
        if (!SetRegKey(tapeKey, "DisableMediaPolling", 1, log)) {
            VYR_LOG(kFile, LOG_ERROR, "Failed to set DisableMediaPolling to key: %s", tapePath);
            goto Exit;
        }
        VYR_LOG(kFile, LOG_SUCCESS, "Successfullly set DisableMediaPolling to: %i", 1);
        if (!CreateRegKey(&changerKey, changerPath, log)) {
            VYR_LOG(kFile, LOG_ERROR, "Failed to create Changer key: %s", changerPath);
            goto Exit;
        }
        VYR_LOG(kFile, LOG_SUCCESS, "Successfullly created Changer key: %s", changerPath);
        if (!SetRegKey(changerKey, "DisableMediaPolling", 1, log)) {
            VYR_LOG(kFile, LOG_ERROR, "Failed to set DisableMediaPolling to key: %s", changerPath);
            goto Exit;
        }
        VYR_LOG(kFile, LOG_SUCCESS, "Successfullly set DisableMediaPolling to: %i", 1);
        if (RegCloseKey(changerKey) == ERROR_SUCCESS)
            VYR_LOG(kFile, LOG_DEBUG, "Successfully closed key: %s", changerPath);
        changerKey = nullptr;
    }

    if (RegCloseKey(tapeKey) == ERROR_SUCCESS)
        VYR_LOG(kFile, LOG_DEBUG, "Successfully closed key: %s", tapePath);
    return 1;

Exit:
    // A failed step leaves what was written; only the handles go.
    if (changerKey)
        RegCloseKey(changerKey);
    if (busKey)
        RegCloseKey(busKey);
    RegCloseKey(tapeKey);
    return result;
}

int DisableRSM(InstallLog *log)
{
    VYR_LOG_ECHO(kFile, LOG_INFO, "Attempting to stop the RSM service...");
    system("sc config ntmssvc start= disabled");
    system("sc stop ntmssvc");
    return 1;
}

int InstallVirtualBus(int which, InstallOptions *options, InstallLog *log)
{
    VYR_LOG(kFile, LOG_ENTRY, "Entering function");
    const bool changer = which == INF_CHANGER_BUS;
    const char *what = changer ? "Changer Bus Enumerator" : "Tape Bus Enumerator";
    int result = 0;

    char infPath[1200];
    snprintf(infPath, sizeof infPath, "%s\\drivers\\%s%i.inf", options->currentDirectory, InfBaseNames[which],
             options->versionNumber);
    VYR_LOG(kFile, LOG_DEBUG, "Inf file: %s", infPath);

    char hardwareId[200];
    memset(hardwareId, 0, sizeof hardwareId);
    if (changer) {
        snprintf(hardwareId, sizeof hardwareId, "root\\vyrcgbs2k%i", options->versionNumber);
        VYR_LOG_ECHO(kFile, LOG_INFO, "Installing Changer Bus Enumerator...");
    } else {
        snprintf(hardwareId, sizeof hardwareId, "root\\vyrtpbs2k%i", options->versionNumber);
        VYR_LOG_ECHO(kFile, LOG_INFO, "Installing Tape Bus Enumerator...");
    }

    SetupContext &ctx = TheSetupContext;
    char className[1024] = {};
    SP_DEVINFO_DATA data;

    VYR_LOG(kFile, LOG_DEBUG, "Calling SetupDiGetINFClass for: %s", infPath);
    if (!SetupDiGetINFClassA(infPath, &ctx.classGuid, className, sizeof className, &ctx.requiredSize))
        goto Failed;
    VYR_LOG(kFile, LOG_DEBUG, "SetupDiGetINFClass succeeded. Class name for %s is: %s", infPath, className);

    VYR_LOG(kFile, LOG_DEBUG, "Calling SetupDiCreateDeviceInfoList for class: %s", className);
    ctx.deviceInfoSet = SetupDiCreateDeviceInfoList(&ctx.classGuid, nullptr);
    if (ctx.deviceInfoSet == INVALID_HANDLE_VALUE)
        goto Failed;
    VYR_LOG(kFile, LOG_DEBUG, "SetupDiCreateDeviceInfoList succeeded");

    memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    VYR_LOG(kFile, LOG_DEBUG, "Calling SetupDiCreateDeviceInfo for class: %s", className);
    if (!SetupDiCreateDeviceInfoA(ctx.deviceInfoSet, className, &ctx.classGuid, nullptr, nullptr, DICD_GENERATE_ID,
                                  &data))
        goto Failed;
    ctx.deviceInfoData = data;
    VYR_LOG(kFile, LOG_DEBUG, "SetupDiCreateDeviceInfo succeeded");

    VYR_LOG(kFile, LOG_DEBUG, "Calling SetupDiSetDeviceRegistryProperty for hardware id: %s", hardwareId);
    if (!SetupDiSetDeviceRegistryPropertyA(ctx.deviceInfoSet, &data, SPDRP_HARDWAREID, (const BYTE *)hardwareId,
                                           sizeof hardwareId))
        goto Failed;
    VYR_LOG(kFile, LOG_DEBUG, "SetupDiSetDeviceRegistryProperty succeeded");

    VYR_LOG(kFile, LOG_DEBUG, "Calling SetupDiCallClassInstaller");
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, ctx.deviceInfoSet, &data))
        goto Failed;
    VYR_LOG(kFile, LOG_DEBUG, "SetupDiCallClassInstaller succeeded");

    VYR_LOG(kFile, LOG_DEBUG, "Calling UpdateDriverForPlugAndPlayDevices: Hardware id: %s. Inf file: %s.", hardwareId,
            infPath);
    if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, hardwareId, infPath, INSTALLFLAG_FORCE, nullptr))
        goto Failed;
    VYR_LOG(kFile, LOG_DEBUG, "UpdateDriverForPlugAndPlayDevices succeeded");

    VYR_LOG_ECHO(kFile, LOG_SUCCESS, "Successfully installed %s", what);
    result = 1;
    goto Exit;

Failed:
    VYR_LOG_CODE(kFile, GetLastError());
Exit:
    // The registered device stays whatever happened; only the list handle goes.
    if (ctx.deviceInfoSet && ctx.deviceInfoSet != INVALID_HANDLE_VALUE)
        SetupDiDestroyDeviceInfoList(ctx.deviceInfoSet);
    ctx.deviceInfoSet = nullptr;
    VYR_LOG(kFile, LOG_EXIT, "Returning: %i", result);
    return result;
}

int ScanForHardwareChanges(InstallLog *log)
{
    VYR_LOG(kFile, LOG_ENTRY, "Entering function");
    int result = 0;
    DEVINST root = 0;
    VYR_LOG(kFile, LOG_DEBUG, "Calling CM_Locate_DevNode");
    if (CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) {
        VYR_LOG(kFile, LOG_ERROR, "CM_Locate_DevNode failed");
    } else {
        VYR_LOG(kFile, LOG_DEBUG, "CM_Locate_DevNode succeeded");
        VYR_LOG(kFile, LOG_DEBUG, "Calling CM_Reenumerate_DevNode");
        if (CM_Reenumerate_DevNode(root, 0) != CR_SUCCESS) {
            VYR_LOG(kFile, LOG_ERROR, "CM_Reenumerate_DevNode failed");
        } else {
            VYR_LOG(kFile, LOG_DEBUG, "CM_Reenumerate_DevNode succeeded");
            result = 1;
        }
    }
    VYR_LOG(kFile, LOG_EXIT, "Returning: %i", result);
    return result;
}

int InstallDriver(const char *directory, int which, InstallLog *log)
{
    VYR_LOG(kFile, LOG_ENTRY, "Entering function");
    int32_t version = -1;
    GetWindowsVersion(&version, log);
    char infPath[260];
    snprintf(infPath, sizeof infPath, "%s\\drivers\\%s%i.inf", directory, InfBaseNames[which], version);
    VYR_LOG(kFile, LOG_DEBUG, "Installing driver for inf: %s", InfBaseNames[which]);

    const bool changer = which == 0;
    const char *kind = changer ? "changer" : "tape";
    VYR_LOG_ECHO(kFile, LOG_INFO, "Installing driver for existing %s", changer ? "medium changers..." : "tape drives...");

    HardwareIdEntry *table = changer ? ChangerHardwareIds : TapeHardwareIds;
    for (int i = 0; table[i].id[0]; ++i) {
        const int n = i + 1;
        if (!table[i].claim) {
            VYR_LOG(kFile, LOG_DEBUG, "Device in exclude list, will not claim %s ReferenceNum = %i", kind, n);
            continue;
        }
        VYR_LOG(kFile, LOG_DEBUG, "Calling UpdateDriverForPlugAndPlayDevices for %s ReferenceNum = %i", kind, n);
        if (UpdateDriverForPlugAndPlayDevicesA(nullptr, table[i].id, infPath, INSTALLFLAG_FORCE, nullptr)) {
            VYR_LOG(kFile, LOG_DEBUG, "Succeeded for %s ReferenceNum = %i", kind, n);
            continue;
        }
        DWORD code = GetLastError();
        if (code == (DWORD)ERROR_NO_DRIVER_SELECTED || code == (DWORD)ERROR_NO_SUCH_DEVINST)
            VYR_LOG(kFile, LOG_DEBUG, "No such %s ReferenceNum = %i", kind, n);
        else if (code != 0)
            VYR_LOG(kFile, LOG_DEBUG, "Failed for %s ReferenceNum = %i", kind, n);
        else
            VYR_LOG(kFile, LOG_DEBUG, "Marking non-present device for %s ReferenceNum = %i", kind, n);
    }

    VYR_LOG_ECHO(kFile, LOG_SUCCESS, "Successfully installed driver for existing %s",
                 changer ? "medium changers" : "tape drives");
    VYR_LOG(kFile, LOG_EXIT, "Returning: %i", 1);
    return 1;
}

void MarkDevsToExclude(FILE *excludeFile, InstallLog *log)
{
    VYR_LOG(kFile, LOG_ENTRY, "Entering function");
    char line[127];
    while (excludeFile && fgets(line, sizeof line, excludeFile)) {
        if (line[0] == '#')
            continue;
        size_t len = strlen(line);
        if (len > 0 && line[len - 1] == '\n')
            line[--len] = 0;
        // Text mode already drops the carriage return on Windows; files written elsewhere keep it.
        if (len > 0 && line[len - 1] == '\r')
            line[--len] = 0;
        // An empty line is a substring of every row: it would exclude the first changer for nothing.
        if (len == 0)
            continue;
        bool done = false;
        for (HardwareIdEntry *row = ChangerHardwareIds; row->id[0] && !done; ++row)
            if (ContainsNoCase(row->id, line)) {
                row->claim = 0;
                VYR_LOG(kFile, LOG_DEBUG, "Will exclude: %s", row->id);
                done = true;
            }
        for (HardwareIdEntry *row = TapeHardwareIds; row->id[0] && !done; ++row)
            if (ContainsNoCase(row->id, line)) {
                row->claim = 0;
                VYR_LOG(kFile, LOG_DEBUG, "Will exclude: %s", row->id);
                done = true;
            }
    }
    VYR_LOG(kFile, LOG_EXIT, "Leaving function");
}

int ExcludeDevice(InstallLog *log)
{
    VYR_LOG(kFile, LOG_ENTRY, "Entering function");
    int result = 0;
    HardwareIdEntry *const tables[] = {ChangerHardwareIds, TapeHardwareIds};
    for (HardwareIdEntry *table : tables)
        for (HardwareIdEntry *row = table; row->id[0] && !result; ++row)
            if (!row->claim && strcmp(row->id, TheSetupContext.idBuffer) == 0)
                result = 1;
    VYR_LOG(kFile, LOG_EXIT, "Returning: %i", result);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Device removal (uninstall, and install before the new devices are set up)
// ---------------------------------------------------------------------------------------------
int UninstallDevices(InstallLog *log)
{
    VYR_LOG(kFile, LOG_ENTRY, "Entering function");
    SetupContext &ctx = TheSetupContext;
    int result = 1;
    for (const char *className : DeviceClassNames) {
        memset(&ctx.classGuid, 0, sizeof ctx.classGuid);
        SetupDiClassGuidsFromNameA(className, &ctx.classGuid, 1, &ctx.requiredSize);
        if (ctx.classGuid.Data1 == 0) {
            VYR_LOG_CODE(kFile, GetLastError());
            result = 0;
            continue;
        }
        ctx.deviceInfoSet = SetupDiGetClassDevsA(&ctx.classGuid, nullptr, nullptr, DIGCF_PROFILE);
        if (ctx.deviceInfoSet == INVALID_HANDLE_VALUE) {
            VYR_LOG_CODE(kFile, GetLastError());
            result = 0;
            continue;
        }
        EnumAndUninstallVYRDevs(log);
        if (ctx.lastError != ERROR_NO_MORE_ITEMS) {
            VYR_LOG_CODE(kFile, ctx.lastError);
            result = 0;
        } else if (!SetupDiDestroyDeviceInfoList(ctx.deviceInfoSet)) {
            VYR_LOG_CODE(kFile, GetLastError());
            result = 0;
        }
    }
    VYR_LOG(kFile, LOG_EXIT, "Returning: %i", result);
    return result;
}

int EnumAndUninstallVYRDevs(InstallLog *log)
{
    VYR_LOG(kFile, LOG_ENTRY, "Entering function");
    SetupContext &ctx = TheSetupContext;
    int result = 1;
    for (DWORD index = 0;; ++index) {
        memset(&ctx.deviceInfoData, 0, sizeof ctx.deviceInfoData);
        ctx.deviceInfoData.cbSize = sizeof ctx.deviceInfoData;
        if (!SetupDiEnumDeviceInfo(ctx.deviceInfoSet, index, &ctx.deviceInfoData))
            break;
        ctx.driverKey = SetupDiOpenDevRegKey(ctx.deviceInfoSet, &ctx.deviceInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DRV,
                                             KEY_ALL_ACCESS);
        if (ctx.driverKey == (HKEY)INVALID_HANDLE_VALUE) {
            VYR_LOG_CODE(kFile, GetLastError());
            result = 0;
            continue;
        }
        if (!QueryRegKey(ctx.driverKey, "", "MatchingDeviceId", ctx.idBuffer, sizeof ctx.idBuffer, log)) {
            VYR_LOG(kFile, LOG_INFO,
                    "Failed to query registry key: MatchingDeviceId. Could not determine matching device ID, a reboot "
                    "might be pending.");
            result = 0;
        } else if (DeviceSupported(log) && !ExcludeDevice(log)) {
            if (ctx.mode == MODE_UNINSTALL)
                QueryAndUninstallDevice(log);
            else
                UninstallDevice(log);
        }
        RegCloseKey(ctx.driverKey);
        ctx.driverKey = nullptr;
    }
    ctx.lastError = GetLastError();
    if (ctx.lastError != ERROR_NO_MORE_ITEMS)
        result = 0;
    VYR_LOG(kFile, LOG_EXIT, "Returning: %i", result);
    return result;
}

int DeviceSupported(InstallLog *log)
{
    VYR_LOG(kFile, LOG_ENTRY, "Entering function");
    char provider[1024] = {};
    int result = QueryRegKey(TheSetupContext.driverKey, "", "ProviderName", provider, sizeof provider, log) &&
                 ContainsNoCase(provider, kProvider);
    VYR_LOG(kFile, LOG_EXIT, "Returning: %i", result);
    return result;
}

int QueryAndUninstallDevice(InstallLog *log)
{
    VYR_LOG(kFile, LOG_ENTRY, "Entering function");
    SetupContext &ctx = TheSetupContext;
    int result = 1;
    if (!QueryRegKey(ctx.driverKey, "", "InfPath", ctx.idBuffer, sizeof ctx.idBuffer, log)) {
        VYR_LOG(kFile, LOG_INFO, "Failed to query registry key: %s\\InfPath. Could not determine path to oem file",
                ctx.idBuffer);
        result = 0;
    }
    if (!UninstallDevAndOEMFile(log)) {
        VYR_LOG(kFile, LOG_INFO, "Failed to uninstall device: %s. A reboot might be pending to finish a previous uninstallation",
                ctx.idBuffer);
        result = 0;
    }
    VYR_LOG(kFile, LOG_EXIT, "Returning: %i", result);
    return result;
}

int UninstallDevAndOEMFile(InstallLog *log)
{
    VYR_LOG(kFile, LOG_ENTRY, "Entering function");
    SetupContext &ctx = TheSetupContext;
    int result = 0;
    if (!UninstallDevice(log)) {
        ctx.lastError = GetLastError();
        VYR_LOG_CODE(kFile, ctx.lastError);
    } else if (SetupUninstallOEMInfA(ctx.idBuffer, SUOI_FORCEDELETE, nullptr)) {
        VYR_LOG(kFile, LOG_SUCCESS, "Successfully uninstalled: %s", ctx.idBuffer);
        result = 1;
    } else {
        ctx.lastError = GetLastError();
        if (ctx.lastError == ERROR_FILE_NOT_FOUND) {
            VYR_LOG(kFile, LOG_INFO, "Could not find: %s", ctx.idBuffer);
            result = 1;
        } else {
            VYR_LOG_CODE(kFile, ctx.lastError);
        }
    }
    VYR_LOG(kFile, LOG_EXIT, "Returning: %i", result);
    return result;
}

int UninstallDevice(InstallLog *log)
{
    VYR_LOG(kFile, LOG_ENTRY, "Entering function");
    SetupContext &ctx = TheSetupContext;
    char description[1024] = {};
    QueryRegKey(ctx.driverKey, "", "DriverDesc", description, sizeof description, log);
    VYR_LOG_ECHO(kFile, LOG_INFO, "Uninstalling: %s...", description);
    int result = SetupDiRemoveDevice(ctx.deviceInfoSet, &ctx.deviceInfoData) ? 1 : 0;
    if (result) {
        VYR_LOG_ECHO(kFile, LOG_SUCCESS, "Successfully uninstalled: %s", description);
    } else {
        DWORD code = GetLastError();
        VYR_LOG_CODE(kFile, code);
        SetLastError(code);
    }
    VYR_LOG(kFile, LOG_EXIT, "Returning: %i", result);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Driver files and service keys
// ---------------------------------------------------------------------------------------------
int DriverSysFileExists(const char *path, InstallLog *log)
{
    VYR_LOG(kFile, LOG_ENTRY, "Looking for: %s", path);
    int result = 0;
    if (FILE *f = fopen(path, "r")) {
        fclose(f);
        result = 1;
    } else {
        VYR_LOG(kFile, LOG_INFO, "Could not open file: %s. Uninstaller might have ben ran previoulsy,  please verify", path);
    }
    VYR_LOG(kFile, LOG_EXIT, "Returning: %i", result);
    return result;
}

int DeleteSysFiles(InstallLog *log)
{
    VYR_LOG(kFile, LOG_SUCCESS, "Entering DeleteSysFiles function:");
    int result = 1;
    for (const char *keyPath : ServiceKeyPaths) {
        char path[1200];
        snprintf(path, sizeof path, "C:\\Windows\\System32\\Drivers\\%s%i.sys", keyPath + kServicesPrefixLength,
                 TheSetupContext.versionNumber);
        if (!DriverSysFileExists(path, log)) {
            VYR_LOG(kFile, LOG_SUCCESS, "Already removed: %s", path);
            continue;
        }
        if (!SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL)) {
            VYR_LOG_CODE(kFile, GetLastError());
            result = 0;
            continue;
        }
        BOOL deleted = DeleteFileA(path);
        VYR_LOG(kFile, LOG_SUCCESS, "RC DeleteFile(DriverSysFile) Return: %d", (int)deleted);
        if (deleted) {
            VYR_LOG(kFile, LOG_SUCCESS, "Successfully removed: %s", path);
        } else {
            VYR_LOG_CODE(kFile, GetLastError());
            result = 0;
        }
    }
    VYR_LOG(kFile, LOG_EXIT, "Returning: %i", result);
    return result;
}

int DeleteRegistryKeys(InstallLog *log)
{
    VYR_LOG(kFile, LOG_ENTRY, "Entering function");
    int result = 1;
    for (const char *keyPath : ServiceKeyPaths) {
        char name[256];
        snprintf(name, sizeof name, "%s%i", keyPath + kServicesPrefixLength, TheSetupContext.versionNumber);
        HKEY services = nullptr;
        LSTATUS rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\", 0,
                                   DELETE | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_ENUMERATE_SUB_KEYS, &services);
        if (rc == ERROR_SUCCESS) {
            rc = RegDeleteTreeA(services, name);
            RegCloseKey(services);
        }
        TheSetupContext.lastError = (DWORD)rc;
        if (rc == ERROR_SUCCESS) {
            VYR_LOG(kFile, LOG_SUCCESS, "Subkeys and values successfully deleted: %s", name);
        } else if (rc == ERROR_FILE_NOT_FOUND) {
            VYR_LOG(kFile, LOG_SUCCESS, "Subkeys and values already deleted: %s", name);
        } else {
            VYR_LOG_CODE(kFile, rc);
            result = 0;
        }
    }
    VYR_LOG(kFile, LOG_EXIT, "Returning: %i", result);
    return result;
}

void RebootSystem(int32_t delaySeconds, InstallLog *log)
{
    (void)log;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return;
    TOKEN_PRIVILEGES privileges;
    memset(&privileges, 0, sizeof privileges);
    LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid);
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    if (GetLastError() != ERROR_SUCCESS) {
        CloseHandle(token);
        return;
    }
    char message[] = "User requested automatic reboot. VYR device drivers will be fully uninstalled after reboot";
    DWORD rc = InitiateShutdownA(nullptr, message, (DWORD)(delaySeconds < 0 ? 0 : delaySeconds),
                                 SHUTDOWN_FORCE_OTHERS | SHUTDOWN_RESTART,
                                 SHTDN_REASON_MAJOR_OTHER | SHTDN_REASON_MINOR_HARDWARE_DRIVER);
    if (rc != ERROR_SUCCESS) {
        privileges.Privileges[0].Attributes = 0;
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    CloseHandle(token);
}
