// The one platform header of the installer library, with two faces.
//
// Windows face: the real SDK headers (mingw-w64), plus the few declarations those headers leave out.
// Host face: the same subset of Win32, SetupAPI, newdev, cfgmgr32 and shlwapi -- same names, same
// signatures, same error conventions -- implemented in platform/host/ on top of the host kernel's
// registry, device tree and sandbox drives, so that the installer runs unchanged in tests and vyrsim.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32

#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <cfgmgr32.h>
#include <shlwapi.h>

// Exported by cfgmgr32/setupapi but not declared by the SDK headers.
extern "C" DWORD WINAPI CMP_WaitNoPendingInstallEvents(DWORD dwTimeout);

#ifndef SHUTDOWN_FORCE_OTHERS
#define SHUTDOWN_FORCE_OTHERS 0x00000001
#define SHUTDOWN_RESTART 0x00000004
extern "C" DWORD WINAPI InitiateShutdownA(LPSTR lpMachineName, LPSTR lpMessage, DWORD dwGracePeriod,
                                          DWORD dwShutdownFlags, DWORD dwReason);
#endif

#else // host face

#include <cstdint>

#define WINAPI
#define CALLBACK
#define FALSE 0
#define TRUE 1
#define MAX_PATH 260

typedef int BOOL;
typedef unsigned char BYTE, *LPBYTE;
typedef uint16_t WORD, WCHAR;
typedef uint32_t DWORD, *PDWORD, *LPDWORD, ULONG, UINT;
typedef int32_t LONG, LSTATUS;
typedef uint64_t DWORDLONG, ULONGLONG;
typedef uintptr_t ULONG_PTR, DWORD_PTR;
typedef char CHAR, *LPSTR, *PSTR;
typedef const char *LPCSTR, *PCSTR;
typedef void *LPVOID, *PVOID, *HANDLE, *HWND, *HINSTANCE, *HMODULE;
typedef HANDLE *PHANDLE;
typedef DWORD ACCESS_MASK, REGSAM;
typedef struct HKEY__ *HKEY, **PHKEY;
typedef void *HDEVINFO;
typedef DWORD DEVINST, *PDEVINST, CONFIGRET;
typedef char *DEVINSTID_A;

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID, *LPGUID;

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;
static_assert(sizeof(SP_DEVINFO_DATA) == 32, "SP_DEVINFO_DATA is 32 bytes on x64");

typedef struct _LUID {
    DWORD LowPart;
    LONG HighPart;
} LUID, *PLUID;
typedef struct _LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
} LUID_AND_ATTRIBUTES;
typedef struct _TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;

typedef struct _OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
} OSVERSIONINFOEXW, *LPOSVERSIONINFOEXW;

// Error codes
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_NOT_ALL_ASSIGNED 1300L
#define ERROR_OLD_WIN_VERSION 1150L
#define ERROR_INVALID_DATA 13L
#define ERROR_INVALID_CLASS 0xE0000209L
#define ERROR_NO_DRIVER_SELECTED 0xE0000203L
#define ERROR_NO_SUCH_DEVINST 0xE000020BL
#define ERROR_INVALID_CLASS_INSTALLER 0xE000020DL
#define ERROR_DEVINST_ALREADY_EXISTS 0xE0000207L
#define ERROR_KEY_DOES_NOT_EXIST 0xE0000204L
#define ERROR_INF_IN_USE_BY_DEVICES 0xE000023DL
#define ERROR_LINE_NOT_FOUND 0xE0000102L
#define ERROR_WRONG_INF_STYLE 0xE0000101L

#define WAIT_OBJECT_0 0L
#define WAIT_TIMEOUT 258L
#define WAIT_FAILED 0xFFFFFFFFL

// Registry
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002)
#define DELETE 0x00010000L
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define REG_OPTION_NON_VOLATILE 0
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

// Files
#define FILE_ATTRIBUTE_READONLY 0x1
#define FILE_ATTRIBUTE_NORMAL 0x80
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)

// Messages
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x1000
#define MB_OK 0x0
#define MB_ICONERROR 0x10
#define MB_ICONINFORMATION 0x40
#define MB_TOPMOST 0x40000
#define IDOK 1

// Version
#define VER_NT_WORKSTATION 1
#define VER_NT_DOMAIN_CONTROLLER 2
#define VER_NT_SERVER 3
#define VER_MINORVERSION 0x1
#define VER_MAJORVERSION 0x2
#define VER_PRODUCT_TYPE 0x80
#define VER_EQUAL 1
#define VER_GREATER_EQUAL 3

// Tokens, privileges, shutdown
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define TOKEN_QUERY 0x0008
#define SE_PRIVILEGE_ENABLED 0x2
#define SE_SHUTDOWN_NAME "SeShutdownPrivilege"
#define SHUTDOWN_FORCE_OTHERS 0x1
#define SHUTDOWN_RESTART 0x4
#define SHTDN_REASON_MAJOR_OTHER 0x0
#define SHTDN_REASON_MINOR_HARDWARE_DRIVER 0xd

// DLL entry
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

// SetupAPI
#define DIGCF_DEFAULT 0x1
#define DIGCF_PRESENT 0x2
#define DIGCF_ALLCLASSES 0x4
#define DIGCF_PROFILE 0x8
#define DICS_FLAG_GLOBAL 0x1
#define DIREG_DEV 0x1
#define DIREG_DRV 0x2
#define DICD_GENERATE_ID 0x1
#define SPDRP_HARDWAREID 0x1
#define DIF_REGISTERDEVICE 0x19
#define DIF_REMOVE 0x5
#define SUOI_FORCEDELETE 0x1
#define INSTALLFLAG_FORCE 0x1
#define LINE_LEN 256
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

// Configuration manager
#define CR_SUCCESS 0x0
#define CR_FAILURE 0x13
#define CR_NO_SUCH_DEVNODE 0xD
#define CR_INVALID_POINTER 0x3
#define CM_LOCATE_DEVNODE_NORMAL 0x0

typedef DWORD DI_FUNCTION;

extern "C" {
// kernel32
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD code);
DWORD WINAPI GetCurrentDirectoryA(DWORD length, LPSTR buffer);
[[noreturn]] void WINAPI ExitProcess(UINT code);
BOOL WINAPI DeleteFileA(LPCSTR path);
BOOL WINAPI SetFileAttributesA(LPCSTR path, DWORD attributes);
DWORD WINAPI FormatMessageA(DWORD flags, const void *source, DWORD messageId, DWORD languageId, LPSTR buffer,
                            DWORD size, void *arguments);
HANDLE WINAPI GetCurrentProcess(void);
BOOL WINAPI CloseHandle(HANDLE handle);
BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW info, DWORD typeMask, DWORDLONG conditionMask);
ULONGLONG WINAPI VerSetConditionMask(ULONGLONG mask, DWORD typeMask, BYTE condition);

// advapi32
LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR cls, DWORD options, REGSAM sam,
                               void *security, PHKEY result, LPDWORD disposition);
LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM sam, PHKEY result);
LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size);
LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size);
LSTATUS WINAPI RegDeleteTreeA(HKEY key, LPCSTR subKey);
LSTATUS WINAPI RegCloseKey(HKEY key);
BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL WINAPI LookupPrivilegeValueA(LPCSTR system, LPCSTR name, PLUID luid);
BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD length,
                                  PTOKEN_PRIVILEGES previous, PDWORD returnLength);
DWORD WINAPI InitiateShutdownA(LPSTR machine, LPSTR message, DWORD gracePeriod, DWORD flags, DWORD reason);

// user32
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// shlwapi
BOOL WINAPI PathFileExistsA(LPCSTR path);
PSTR WINAPI StrStrIA(PCSTR haystack, PCSTR needle);

// setupapi
BOOL WINAPI SetupDiClassGuidsFromNameA(PCSTR className, LPGUID guids, DWORD size, PDWORD required);
HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *classGuid, PCSTR enumerator, HWND parent, DWORD flags);
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data);
HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD scope, DWORD profile, DWORD keyType,
                                 REGSAM access);
BOOL WINAPI SetupDiRemoveDevice(HDEVINFO set, PSP_DEVINFO_DATA data);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set);
BOOL WINAPI SetupDiGetINFClassA(PCSTR infName, LPGUID classGuid, PSTR className, DWORD size, PDWORD required);
HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID *classGuid, HWND parent);
BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO set, PCSTR name, const GUID *classGuid, PCSTR description, HWND parent,
                                     DWORD flags, PSP_DEVINFO_DATA data);
BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                              const BYTE *buffer, DWORD size);
BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA data);
BOOL WINAPI SetupUninstallOEMInfA(PCSTR infName, DWORD flags, PVOID reserved);
DWORD WINAPI CMP_WaitNoPendingInstallEvents(DWORD timeout);

// newdev
BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND parent, LPCSTR hardwareId, LPCSTR infPath, DWORD flags,
                                               BOOL *rebootRequired);

// cfgmgr32
CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST devInst, DEVINSTID_A deviceId, ULONG flags);
CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST devInst, ULONG flags);

// The C runtime's file and command routines, seen through the sandbox: paths are Windows paths
// (C:\...) on the simulated machine's drives, and commands go to the simulated interpreter.
FILE *HostFopen(const char *path, const char *mode);
int HostSystem(const char *command);
}

#define fopen HostFopen
#define system HostSystem

#endif // _WIN32
