// vyrwinsetup: the Wine harness's Plug and Play hands (a test program, never in the package).
//
// What an administrator's machine does by itself -- finding the drivers for new devices, noticing
// removed ones -- the harness asks for here, through the same SetupAPI calls the installer uses:
//
//   vyrwinsetup root INF HWID          register a root-enumerated device and install INF's driver on it
//   vyrwinsetup bind INF HWID...       UpdateDriverForPlugAndPlayDevices for each hardware id
//   vyrwinsetup addinf INF             copy a driver package into the INF folder (SetupCopyOEMInf),
//                                      so that devices that appear later find their driver
//   vyrwinsetup remove HWID            remove every device with this hardware id (SetupDiRemoveDevice)
//   vyrwinsetup list                   every device: instance id, first hardware id, service
//   vyrwinsetup open [--wait S] PATH...  open each \\.\NAME (polling up to S seconds), then close it
//   vyrwinsetup absent [--wait S] PATH...  succeeds when none of the names can be opened
//   vyrwinsetup services NAME...       the state of each service, or "absent"
//
// Every line of output starts with OK, FAIL or INFO; the exit status is 0 only when every step
// succeeded. (Wine's stubbed CM_* calls are not used here.)
#include <windows.h>
#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>

#include <stdio.h>
#include <string.h>

namespace {

bool SameNoCase(const char *a, const char *b)
{
    return lstrcmpiA(a, b) == 0;
}

// The hardware id list of a device (REG_MULTI_SZ) contains Id.
bool HasHardwareId(HDEVINFO Set, SP_DEVINFO_DATA *Device, const char *Id)
{
    char ids[4096] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(Set, Device, SPDRP_HARDWAREID, nullptr, (BYTE *)ids, sizeof ids - 2,
                                           nullptr))
        return false;
    for (const char *p = ids; *p; p += strlen(p) + 1)
        if (SameNoCase(p, Id))
            return true;
    return false;
}

int RegisterRootDevice(const char *Inf, const char *HardwareId)
{
    GUID classGuid;
    char className[MAX_CLASS_NAME_LEN];
    if (!SetupDiGetINFClassA(Inf, &classGuid, className, sizeof className, nullptr)) {
        printf("FAIL root %s: SetupDiGetINFClass error %lu\n", Inf, GetLastError());
        return 1;
    }
    HDEVINFO set = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        printf("FAIL root %s: SetupDiCreateDeviceInfoList error %lu\n", Inf, GetLastError());
        return 1;
    }
    int rc = 1;
    SP_DEVINFO_DATA device = {sizeof device};
    // The hardware id is a REG_MULTI_SZ: the id, then an empty string.
    char ids[256] = {};
    lstrcpynA(ids, HardwareId, sizeof ids - 2);
    if (!SetupDiCreateDeviceInfoA(set, className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &device))
        printf("FAIL root %s: SetupDiCreateDeviceInfo error %lu\n", HardwareId, GetLastError());
    else if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, (const BYTE *)ids,
                                                (DWORD)(strlen(ids) + 2)))
        printf("FAIL root %s: SetupDiSetDeviceRegistryProperty error %lu\n", HardwareId, GetLastError());
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device))
        printf("FAIL root %s: DIF_REGISTERDEVICE error %lu\n", HardwareId, GetLastError());
    else if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, HardwareId, Inf, INSTALLFLAG_FORCE, nullptr))
        printf("FAIL root %s: UpdateDriverForPlugAndPlayDevices error %lu\n", HardwareId, GetLastError());
    else {
        printf("OK root %s from %s\n", HardwareId, Inf);
        rc = 0;
    }
    SetupDiDestroyDeviceInfoList(set);
    return rc;
}

int Bind(const char *Inf, const char *HardwareId)
{
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, HardwareId, Inf, INSTALLFLAG_FORCE, &reboot)) {
        printf("FAIL bind %s: UpdateDriverForPlugAndPlayDevices error %lu\n", HardwareId, GetLastError());
        return 1;
    }
    printf("OK bind %s from %s%s\n", HardwareId, Inf, reboot ? " (reboot asked)" : "");
    return 0;
}

int AddInf(const char *Inf)
{
    char oem[MAX_PATH] = {};
    if (!SetupCopyOEMInfA(Inf, nullptr, SPOST_PATH, 0, oem, sizeof oem, nullptr, nullptr)) {
        printf("FAIL addinf %s: SetupCopyOEMInf error %lu\n", Inf, GetLastError());
        return 1;
    }
    printf("OK addinf %s as %s\n", Inf, oem);
    return 0;
}

int Remove(const char *HardwareId)
{
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        printf("FAIL remove %s: SetupDiGetClassDevs error %lu\n", HardwareId, GetLastError());
        return 1;
    }
    int rc = 0;
    unsigned removed = 0;
    SP_DEVINFO_DATA device = {sizeof device};
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        if (!HasHardwareId(set, &device, HardwareId))
            continue;
        char instance[MAX_DEVICE_ID_LEN] = {};
        SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, nullptr);
        if (SetupDiRemoveDevice(set, &device)) {
            printf("OK remove %s\n", instance);
            ++removed;
        } else {
            printf("FAIL remove %s: SetupDiRemoveDevice error %lu\n", instance, GetLastError());
            rc = 1;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    if (!removed)
        printf("INFO remove %s: no such device\n", HardwareId);
    return rc;
}

int List()
{
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        printf("FAIL list: SetupDiGetClassDevs error %lu\n", GetLastError());
        return 1;
    }
    SP_DEVINFO_DATA device = {sizeof device};
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        char instance[MAX_DEVICE_ID_LEN] = {}, ids[1024] = {}, service[256] = {}, filters[512] = {};
        SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, nullptr);
        SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr, (BYTE *)ids, sizeof ids - 2, nullptr);
        SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_SERVICE, nullptr, (BYTE *)service, sizeof service - 1,
                                          nullptr);
        SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_UPPERFILTERS, nullptr, (BYTE *)filters,
                                          sizeof filters - 2, nullptr);
        printf("INFO device %s hwid=%s service=%s upperfilters=%s\n", instance, ids, service, filters);
    }
    SetupDiDestroyDeviceInfoList(set);
    return 0;
}

// Opens \\.\NAME; polls for up to WaitSeconds while it cannot be opened.
bool TryOpen(const char *Path, int WaitSeconds, DWORD *Error)
{
    for (int tenth = 0;; ++tenth) {
        HANDLE h = CreateFileA(Path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return true;
        }
        *Error = GetLastError();
        if (tenth >= WaitSeconds * 10)
            return false;
        Sleep(100);
    }
}

int Open(int argc, char **argv, bool wantAbsent)
{
    int wait = 0;
    int rc = 0;
    for (int i = 0; i < argc; ++i) {
        if (!strcmp(argv[i], "--wait") && i + 1 < argc) {
            wait = atoi(argv[++i]);
            continue;
        }
        DWORD error = 0;
        if (!wantAbsent) {
            if (TryOpen(argv[i], wait, &error))
                printf("OK open %s\n", argv[i]);
            else {
                printf("FAIL open %s: error %lu\n", argv[i], error);
                rc = 1;
            }
            continue;
        }
        // Absent: wait until it can no longer be opened.
        bool gone = false;
        for (int tenth = 0; tenth <= wait * 10 && !gone; ++tenth) {
            HANDLE h = CreateFileA(argv[i], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                   nullptr);
            if (h == INVALID_HANDLE_VALUE)
                gone = true;
            else {
                CloseHandle(h);
                Sleep(100);
            }
        }
        if (gone)
            printf("OK absent %s\n", argv[i]);
        else {
            printf("FAIL absent %s: still opens\n", argv[i]);
            rc = 1;
        }
    }
    return rc;
}

int Services(int argc, char **argv)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) {
        printf("FAIL services: OpenSCManager error %lu\n", GetLastError());
        return 1;
    }
    for (int i = 0; i < argc; ++i) {
        SC_HANDLE service = OpenServiceA(manager, argv[i], SERVICE_QUERY_STATUS);
        if (!service) {
            printf("INFO service %s absent\n", argv[i]);
            continue;
        }
        SERVICE_STATUS status = {};
        QueryServiceStatus(service, &status);
        printf("INFO service %s state %lu\n", argv[i], status.dwCurrentState);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return 0;
}

int Usage()
{
    fprintf(stderr, "usage: vyrwinsetup root INF HWID | bind INF HWID... | addinf INF | remove HWID | list |\n"
                    "       open [--wait S] PATH... | absent [--wait S] PATH... | services NAME...\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2)
        return Usage();
    const char *command = argv[1];
    if (!strcmp(command, "root") && argc == 4)
        return RegisterRootDevice(argv[2], argv[3]);
    if (!strcmp(command, "bind") && argc >= 4) {
        int rc = 0;
        for (int i = 3; i < argc; ++i)
            rc |= Bind(argv[2], argv[i]);
        return rc;
    }
    if (!strcmp(command, "addinf") && argc == 3)
        return AddInf(argv[2]);
    if (!strcmp(command, "remove") && argc == 3)
        return Remove(argv[2]);
    if (!strcmp(command, "list") && argc == 2)
        return List();
    if (!strcmp(command, "open") && argc >= 3)
        return Open(argc - 2, argv + 2, false);
    if (!strcmp(command, "absent") && argc >= 3)
        return Open(argc - 2, argv + 2, true);
    if (!strcmp(command, "services") && argc >= 3)
        return Services(argc - 2, argv + 2);
    return Usage();
}
