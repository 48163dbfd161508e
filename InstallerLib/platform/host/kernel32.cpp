// The host face of kernel32, shlwapi, user32 and the token, version and shutdown calls of advapi32:
// files on the sandbox drives, the system message texts, and the actions a real machine would show
// or carry out, recorded instead.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "hostimpl.h"

#undef fopen
#undef system

namespace fs = std::filesystem;

namespace vyr::installer::host {

const std::string kMachine = "\\Registry\\Machine";

namespace {

struct State {
    std::string sandboxRoot;
    std::string currentDirectory = "C:\\";
    bool pending = false;
    bool shutdownPrivilege = true;
    bool privilegeEnabled = false;
    std::vector<MessageBoxRecord> boxes;
    std::vector<std::string> commands;
    std::vector<ShutdownRecord> shutdowns;
    std::function<void(const std::string &)> observer;
};

State &S()
{
    static State state;
    return state;
}

thread_local DWORD t_lastError;

std::string DriveRoot(char letter)
{
    letter = (char)toupper((unsigned char)letter);
    if (!S().sandboxRoot.empty())
        return (fs::path(S().sandboxRoot) / std::string(1, letter)).string();
    return hostos::BootedDriveFolder(letter);
}

// Finds each component without regard to case, as the Windows file system would.
fs::path ResolveNoCase(fs::path base, const std::vector<std::string> &parts)
{
    for (const std::string &part : parts) {
        fs::path exact = base / part;
        std::error_code ec;
        if (!fs::exists(exact, ec) && fs::is_directory(base, ec)) {
            for (const auto &entry : fs::directory_iterator(base, ec))
                if (IEquals(entry.path().filename().string(), part)) {
                    exact = entry.path();
                    break;
                }
        }
        base = exact;
    }
    return base;
}

} // namespace

bool IEquals(const std::string &a, const std::string &b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return tolower((unsigned char)x) == tolower((unsigned char)y); });
}

std::string Upper(std::string s)
{
    for (char &c : s)
        c = (char)toupper((unsigned char)c);
    return s;
}

std::string FullWindowsPath(const std::string &path)
{
    if (path.size() >= 2 && path[1] == ':')
        return path;
    std::string dir = S().currentDirectory;
    if (!path.empty() && path[0] == '\\')
        return dir.substr(0, 2) + path;
    if (!dir.empty() && dir.back() != '\\')
        dir += '\\';
    return dir + path;
}

std::string MapPath(const std::string &windowsPath)
{
    std::string full = FullWindowsPath(windowsPath);
    if (full.size() < 2 || full[1] != ':')
        return {};
    std::string root = DriveRoot(full[0]);
    if (root.empty())
        return {};
    std::vector<std::string> parts;
    std::string part;
    for (size_t i = 2; i <= full.size(); ++i) {
        if (i == full.size() || full[i] == '\\' || full[i] == '/') {
            if (part == "..") {
                if (!parts.empty())
                    parts.pop_back();
            } else if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += full[i];
        }
    }
    return ResolveNoCase(fs::path(root), parts).string();
}

void Notify(const std::string &what)
{
    if (S().observer)
        S().observer(what);
}

void Reset()
{
    std::string root = S().sandboxRoot;
    auto observer = S().observer;
    S() = State();
    S().sandboxRoot = root;
    S().observer = observer;
}

void SetSandboxRoot(const std::string &root) { S().sandboxRoot = root; }
std::string HostPath(const std::string &windowsPath) { return MapPath(windowsPath); }
void SetCurrentDirectory(const std::string &windowsPath) { S().currentDirectory = windowsPath; }
void SetPendingInstallations(bool pending) { S().pending = pending; }
void SetShutdownPrivilege(bool granted) { S().shutdownPrivilege = granted; }

void SetWindowsVersion(const std::string &productName, const std::string &currentVersion, bool server, uint32_t major,
                       uint32_t minor)
{
    const std::string key = kMachine + "\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    hostos::CreateKey(key);
    if (productName.empty()) {
        // No product name at all: the key is written afresh without it.
        hostos::DeleteTree(key);
        hostos::CreateKey(key);
    } else {
        hostos::SetString(key, "ProductName", productName);
    }
    hostos::SetString(key, "CurrentVersion", currentVersion);
    hostos::SetString(key, "InstallationType", server ? "Server" : "Client");
    hostos::SetDword(key, "CurrentMajorVersionNumber", major);
    hostos::SetDword(key, "CurrentMinorVersionNumber", minor);
}

std::vector<MessageBoxRecord> MessageBoxes() { return S().boxes; }
std::vector<std::string> Commands() { return S().commands; }
std::vector<ShutdownRecord> Shutdowns() { return S().shutdowns; }
void SetActionObserver(std::function<void(const std::string &)> observer) { S().observer = std::move(observer); }


} // namespace vyr::installer::host

using namespace vyr::installer;
using namespace vyr::installer::host;

namespace {

struct SystemText {
    DWORD code;
    const char *text;
};

// The system message table's texts for the codes the installer meets.
const SystemText kSystemTexts[] = {
    {0, "The operation completed successfully.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {234, "More data is available.\r\n"},
    {259, "No more data is available.\r\n"},
    {1058, "The service cannot be started, either because it is disabled or because it has no enabled devices associated with it.\r\n"},
    {1300, "Not all privileges or groups referenced are assigned to the caller.\r\n"},
    {0xE0000203, "There is no driver selected for the device information set or element.\r\n"},
    {0xE000020B, "The device instance does not exist in the hardware tree.\r\n"},
};

bool HostShutdownPrivilegeGranted() { return vyr::installer::host::S().shutdownPrivilege; }
bool HostPendingInstallations() { return vyr::installer::host::S().pending; }
void HostRecordShutdown(const ShutdownRecord &record)
{
    vyr::installer::host::S().shutdowns.push_back(record);
    Notify("restart requested in " + std::to_string(record.gracePeriod) + " s: " + record.message);
}
void HostRecordMessageBox(const MessageBoxRecord &record)
{
    vyr::installer::host::S().boxes.push_back(record);
    Notify("message box \"" + record.caption + "\": " + record.text);
}
void HostRecordCommand(const std::string &command)
{
    vyr::installer::host::S().commands.push_back(command);
    Notify("command: " + command);
}

} // namespace

extern "C" {

DWORD WINAPI GetLastError(void) { return t_lastError; }
void WINAPI SetLastError(DWORD code) { t_lastError = code; }

DWORD WINAPI GetCurrentDirectoryA(DWORD length, LPSTR buffer)
{
    const std::string &dir = vyr::installer::host::FullWindowsPath("");
    std::string d = dir;
    if (d.size() > 3 && d.back() == '\\')
        d.pop_back();
    if (d.size() + 1 > length)
        return (DWORD)d.size() + 1; // the size needed, buffer untouched
    memcpy(buffer, d.c_str(), d.size() + 1);
    return (DWORD)d.size();
}

void WINAPI ExitProcess(UINT code)
{
    fflush(stdout);
    fflush(stderr);
    exit((int)code);
}

BOOL WINAPI DeleteFileA(LPCSTR path)
{
    std::string host = MapPath(path ? path : "");
    std::error_code ec;
    if (host.empty() || !fs::is_regular_file(host, ec)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    struct stat st {};
    if (stat(host.c_str(), &st) == 0 && !(st.st_mode & S_IWUSR)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!fs::remove(host, ec)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI SetFileAttributesA(LPCSTR path, DWORD attributes)
{
    std::string host = MapPath(path ? path : "");
    std::error_code ec;
    if (host.empty() || !fs::exists(host, ec)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    // Read-only is the one attribute with a host meaning: the owner's write bit.
    fs::permissions(host, fs::perms::owner_write,
                    (attributes & FILE_ATTRIBUTE_READONLY) ? fs::perm_options::remove : fs::perm_options::add, ec);
    if (ec) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI FormatMessageA(DWORD flags, const void *source, DWORD messageId, DWORD languageId, LPSTR buffer,
                            DWORD size, void *arguments)
{
    (void)source;
    (void)languageId;
    (void)arguments;
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    for (const SystemText &t : kSystemTexts)
        if (t.code == messageId) {
            size_t n = strlen(t.text);
            if (n + 1 > size) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            memcpy(buffer, t.text, n + 1);
            return (DWORD)n;
        }
    SetLastError(317); // ERROR_MR_MID_NOT_FOUND
    return 0;
}

HANDLE WINAPI GetCurrentProcess(void) { return (HANDLE)(intptr_t)-1; }

BOOL WINAPI CloseHandle(HANDLE handle)
{
    if (!handle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

ULONGLONG WINAPI VerSetConditionMask(ULONGLONG mask, DWORD typeMask, BYTE condition)
{
    for (int bit = 0; bit < 8; ++bit)
        if (typeMask & (1u << bit))
            mask |= (ULONGLONG)(condition & 7) << (bit * 3);
    return mask;
}

BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW info, DWORD typeMask, DWORDLONG conditionMask)
{
    const std::string key = kMachine + "\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    std::string installation;
    hostos::GetString(key, "InstallationType", &installation);
    BYTE productType = IEquals(installation, "Client") ? VER_NT_WORKSTATION : VER_NT_SERVER;
    hostos::Value v;
    DWORD major = 10, minor = 0;
    if (hostos::GetValue(key, "CurrentMajorVersionNumber", &v) && v.data.size() == 4)
        memcpy(&major, v.data.data(), 4);
    if (hostos::GetValue(key, "CurrentMinorVersionNumber", &v) && v.data.size() == 4)
        memcpy(&minor, v.data.data(), 4);

    auto condition = [&](int bit) { return (int)((conditionMask >> (bit * 3)) & 7); };
    auto compare = [](int cond, uint64_t actual, uint64_t wanted) {
        switch (cond) {
        case VER_EQUAL: return actual == wanted;
        case 2: return actual > wanted;
        case VER_GREATER_EQUAL: return actual >= wanted;
        case 4: return actual < wanted;
        case 5: return actual <= wanted;
        default: return false;
        }
    };
    bool ok = true;
    if (typeMask & VER_PRODUCT_TYPE)
        ok = ok && compare(condition(7), productType, info->wProductType);
    if (typeMask & (VER_MAJORVERSION | VER_MINORVERSION)) {
        uint64_t actual = ((uint64_t)major << 32) | minor;
        uint64_t wanted = ((uint64_t)info->dwMajorVersion << 32) | ((typeMask & VER_MINORVERSION) ? info->dwMinorVersion : 0);
        if (!(typeMask & VER_MINORVERSION))
            actual = (uint64_t)major << 32;
        ok = ok && compare(condition((typeMask & VER_MAJORVERSION) ? 1 : 0), actual, wanted);
    }
    if (!ok)
        SetLastError(1150); // ERROR_OLD_WIN_VERSION
    return ok ? TRUE : FALSE;
}

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    (void)process;
    (void)access;
    *token = (HANDLE)(intptr_t)0x7070;
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR system, LPCSTR name, PLUID luid)
{
    (void)system;
    if (!name || strcmp(name, SE_SHUTDOWN_NAME) != 0) {
        SetLastError(1313); // ERROR_NO_SUCH_PRIVILEGE
        return FALSE;
    }
    luid->LowPart = 19;
    luid->HighPart = 0;
    return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD length,
                                  PTOKEN_PRIVILEGES previous, PDWORD returnLength)
{
    (void)token;
    (void)length;
    (void)previous;
    (void)returnLength;
    // Like the real call it succeeds even when the privilege is not held, and says so in the last error.
    bool enable = !disableAll && newState && newState->PrivilegeCount > 0 &&
                  (newState->Privileges[0].Attributes & SE_PRIVILEGE_ENABLED);
    if (enable && !HostShutdownPrivilegeGranted()) {
        SetLastError(ERROR_NOT_ALL_ASSIGNED);
        return TRUE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD WINAPI InitiateShutdownA(LPSTR machine, LPSTR message, DWORD gracePeriod, DWORD flags, DWORD reason)
{
    (void)machine;
    ShutdownRecord record{message ? message : "", gracePeriod, flags, reason};
    HostRecordShutdown(record);
    return ERROR_SUCCESS;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    (void)owner;
    HostRecordMessageBox(MessageBoxRecord{text ? text : "", caption ? caption : "", type});
    return IDOK;
}

BOOL WINAPI PathFileExistsA(LPCSTR path)
{
    std::string host = MapPath(path ? path : "");
    std::error_code ec;
    return (!host.empty() && fs::exists(host, ec)) ? TRUE : FALSE;
}

PSTR WINAPI StrStrIA(PCSTR haystack, PCSTR needle)
{
    if (!haystack || !needle)
        return nullptr;
    size_t n = strlen(needle);
    for (const char *p = haystack;; ++p) {
        if (strncasecmp(p, needle, n) == 0)
            return (PSTR)p;
        if (!*p)
            return nullptr;
    }
}

DWORD WINAPI CMP_WaitNoPendingInstallEvents(DWORD timeout)
{
    (void)timeout;
    return HostPendingInstallations() ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

FILE *HostFopen(const char *path, const char *mode)
{
    std::string host = MapPath(path ? path : "");
    if (host.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    return fopen(host.c_str(), mode);
}

int HostSystem(const char *command)
{
    HostRecordCommand(command ? command : "");
    return 0;
}

} // extern "C"

