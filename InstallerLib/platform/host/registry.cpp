// The host face of the advapi32 registry routines, on the host kernel's hive (the one the drivers
// read). Keys are handles to kernel paths; string data is converted between UTF-8 and the hive's
// UTF-16 as the A routines do between the ANSI code page and UTF-16.
#include <memory>
#include <mutex>
#include <set>

#include "hostimpl.h"

struct HKEY__ {
    std::string path;
};

using namespace vyr::installer;

namespace {

std::mutex g_lock;
std::set<HKEY__ *> g_keys;

bool IsStringType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The kernel path of key\subKey; false for a handle that is not open.
bool KeyPath(HKEY key, LPCSTR subKey, std::string *path)
{
    std::string base;
    if (key == HKEY_LOCAL_MACHINE) {
        base = host::kMachine;
    } else {
        std::lock_guard<std::mutex> lock(g_lock);
        if (!g_keys.count(key))
            return false;
        base = key->path;
    }
    std::string sub = subKey ? subKey : "";
    while (!sub.empty() && sub.back() == '\\')
        sub.pop_back();
    while (!sub.empty() && sub.front() == '\\')
        sub.erase(0, 1);
    *path = sub.empty() ? base : base + "\\" + sub;
    return true;
}

HKEY NewKey(const std::string &path)
{
    auto *key = new HKEY__{path};
    std::lock_guard<std::mutex> lock(g_lock);
    g_keys.insert(key);
    return key;
}

} // namespace

namespace vyr::installer::host {

// Opens a handle on a kernel path (SetupDiOpenDevRegKey hands these out).
HKEY OpenKeyHandle(const std::string &path)
{
    return NewKey(path);
}

} // namespace vyr::installer::host

extern "C" {

LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR cls, DWORD options, REGSAM sam,
                               void *security, PHKEY result, LPDWORD disposition)
{
    (void)reserved;
    (void)cls;
    (void)options;
    (void)sam;
    (void)security;
    std::string path;
    if (!result)
        return ERROR_INVALID_PARAMETER;
    if (!KeyPath(key, subKey, &path))
        return ERROR_INVALID_HANDLE;
    bool existed = hostos::KeyExists(path);
    if (!existed)
        hostos::CreateKey(path);
    if (disposition)
        *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    *result = NewKey(path);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM sam, PHKEY result)
{
    (void)options;
    (void)sam;
    std::string path;
    if (!result)
        return ERROR_INVALID_PARAMETER;
    if (!KeyPath(key, subKey, &path))
        return ERROR_INVALID_HANDLE;
    if (!hostos::KeyExists(path))
        return ERROR_FILE_NOT_FOUND;
    *result = NewKey(path);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size)
{
    (void)reserved;
    std::string path;
    if (!KeyPath(key, nullptr, &path))
        return ERROR_INVALID_HANDLE;
    if (!hostos::KeyExists(path))
        return 1018; // ERROR_KEY_DELETED
    if (type == REG_DWORD && size != 4)
        return ERROR_INVALID_PARAMETER;
    hostos::Value value;
    value.type = type;
    if (IsStringType(type))
        value.data = hostos::WideData(std::string((const char *)data, size));
    else
        value.data.assign(data, data + size);
    hostos::SetValue(path, name ? name : "", value);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
{
    (void)reserved;
    std::string path;
    if (!KeyPath(key, nullptr, &path))
        return ERROR_INVALID_HANDLE;
    hostos::Value value;
    if (!hostos::GetValue(path, name ? name : "", &value))
        return ERROR_FILE_NOT_FOUND;
    std::vector<uint8_t> bytes = value.data;
    if (IsStringType(value.type)) {
        std::string narrow = hostos::NarrowData(value.data);
        bytes.assign(narrow.begin(), narrow.end());
    }
    if (type)
        *type = value.type;
    if (!size)
        return data ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    DWORD available = *size;
    *size = (DWORD)bytes.size();
    if (!data)
        return ERROR_SUCCESS;
    if (bytes.size() > available)
        return ERROR_MORE_DATA;
    memcpy(data, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteTreeA(HKEY key, LPCSTR subKey)
{
    std::string path;
    if (!KeyPath(key, subKey, &path))
        return ERROR_INVALID_HANDLE;
    if (!hostos::KeyExists(path))
        return ERROR_FILE_NOT_FOUND;
    return hostos::DeleteTree(path) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

LSTATUS WINAPI RegCloseKey(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_keys.erase(key))
        return ERROR_INVALID_HANDLE;
    delete key;
    return ERROR_SUCCESS;
}

} // extern "C"
