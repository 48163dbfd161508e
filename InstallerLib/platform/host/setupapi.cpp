// The host face of SetupAPI, newdev and cfgmgr32: device information sets over the hive's Enum
// keys (present or not, as DIGCF_PROFILE sees them), driver keys under Control\Class, an INF reader
// for the driver packages, a driver store of oem*.inf copies under C:\Windows\INF, and the running
// host kernel's device tree when there is one.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>

#include "hostimpl.h"

#undef fopen
#undef system

namespace fs = std::filesystem;
using namespace vyr::installer;
using host::IEquals;
using host::Upper;

namespace vyr::installer::host {
HKEY OpenKeyHandle(const std::string &path);
}

namespace {

const std::string kEnum = host::kMachine + "\\System\\CurrentControlSet\\Enum";
const std::string kClass = host::kMachine + "\\System\\CurrentControlSet\\Control\\Class";
const std::string kServices = host::kMachine + "\\System\\CurrentControlSet\\Services";

struct ClassInfo {
    const char *name;
    const char *guid;
};
const ClassInfo kClasses[] = {
    {"System", "{4D36E97D-E325-11CE-BFC1-08002BE10318}"},
    {"TapeDrive", "{6D807884-7D21-11CF-801C-08002BE10318}"},
    {"MediumChanger", "{CE5939AE-EBDE-11D0-B181-0000F8753EC4}"},
};

std::string GuidText(const GUID &g)
{
    char text[40];
    snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
             g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

bool ParseGuid(const std::string &text, GUID *g)
{
    unsigned d[11];
    if (sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d[0], &d[1], &d[2], &d[3], &d[4], &d[5], &d[6],
               &d[7], &d[8], &d[9], &d[10]) != 11)
        return false;
    g->Data1 = d[0];
    g->Data2 = (uint16_t)d[1];
    g->Data3 = (uint16_t)d[2];
    for (int i = 0; i < 8; ++i)
        g->Data4[i] = (uint8_t)d[3 + i];
    return true;
}

// ---------------------------------------------------------------------------------------------
// INF reader: sections of lines, each line an optional key and its comma-separated fields.
// ---------------------------------------------------------------------------------------------
struct InfLine {
    std::string key;
    std::vector<std::string> fields;
};

struct Inf {
    std::string windowsPath;
    std::map<std::string, std::vector<InfLine>> sections; // lower-case names

    const std::vector<InfLine> *Section(const std::string &name) const
    {
        std::string lower = name;
        for (char &c : lower)
            c = (char)tolower((unsigned char)c);
        auto it = sections.find(lower);
        return it == sections.end() ? nullptr : &it->second;
    }
    std::string Value(const std::string &section, const std::string &key) const
    {
        if (const auto *lines = Section(section))
            for (const InfLine &l : *lines)
                if (IEquals(l.key, key) && !l.fields.empty())
                    return Expand(l.fields[0]);
        return {};
    }
    // %token% from [Strings].
    std::string Expand(const std::string &text) const
    {
        if (text.size() > 2 && text.front() == '%' && text.back() == '%') {
            std::string token = text.substr(1, text.size() - 2);
            std::string value = Value("Strings", token);
            if (!value.empty())
                return value;
        }
        return text;
    }
};

std::string Trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string Unquote(std::string s)
{
    s = Trim(s);
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"')
        s = s.substr(1, s.size() - 2);
    return s;
}

bool ReadInf(const std::string &windowsPath, Inf *inf)
{
    std::string hostPath = host::MapPath(windowsPath);
    std::ifstream in(hostPath);
    if (hostPath.empty() || !in)
        return false;
    inf->windowsPath = host::FullWindowsPath(windowsPath);
    std::string line, section;
    while (std::getline(in, line)) {
        // A ';' outside quotes starts a comment.
        bool quoted = false;
        std::string text;
        for (char c : line) {
            if (c == '"')
                quoted = !quoted;
            if (c == ';' && !quoted)
                break;
            text += c;
        }
        text = Trim(text);
        if (text.empty())
            continue;
        if (text.front() == '[' && text.back() == ']') {
            section = Trim(text.substr(1, text.size() - 2));
            for (char &c : section)
                c = (char)tolower((unsigned char)c);
            inf->sections[section];
            continue;
        }
        InfLine l;
        std::string rest = text;
        size_t eq = std::string::npos;
        quoted = false;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '"')
                quoted = !quoted;
            if (text[i] == '=' && !quoted) {
                eq = i;
                break;
            }
        }
        if (eq != std::string::npos) {
            l.key = Unquote(text.substr(0, eq));
            rest = text.substr(eq + 1);
        }
        std::string field;
        quoted = false;
        for (char c : rest) {
            if (c == '"')
                quoted = !quoted;
            if (c == ',' && !quoted) {
                l.fields.push_back(Unquote(field));
                field.clear();
            } else {
                field += c;
            }
        }
        l.fields.push_back(Unquote(field));
        inf->sections[section].push_back(l);
    }
    return true;
}

// The decorated form of a section when the package has one (Models.NTamd64).
std::string Decorated(const Inf &inf, const std::string &name)
{
    return inf.Section(name + ".NTamd64") ? name + ".NTamd64" : name;
}

struct Model {
    std::string description;
    std::string installSection;
    std::string hardwareId;
};

bool FindModel(const Inf &inf, const std::string &hardwareId, Model *model)
{
    const auto *manufacturers = inf.Section("Manufacturer");
    if (!manufacturers)
        return false;
    for (const InfLine &m : *manufacturers) {
        if (m.fields.empty())
            continue;
        std::string models = m.fields[0];
        for (size_t i = 1; i < m.fields.size(); ++i)
            if (inf.Section(models + "." + m.fields[i]))
                models = models + "." + m.fields[i];
        const auto *lines = inf.Section(models);
        if (!lines)
            continue;
        for (const InfLine &l : *lines)
            for (size_t i = 1; i < l.fields.size(); ++i)
                if (IEquals(l.fields[i], hardwareId)) {
                    model->description = inf.Expand(l.key);
                    model->installSection = l.fields[0];
                    model->hardwareId = l.fields[i];
                    return true;
                }
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Device information sets
// ---------------------------------------------------------------------------------------------
struct Element {
    std::string instanceId;
    GUID classGuid{};
    std::string className;
    std::vector<std::string> hardwareIds; // set before registration
    bool registered = false;
    bool removed = false;
};

struct DeviceSet {
    GUID classGuid{};
    std::vector<Element> elements;
};

std::mutex g_lock;
std::set<DeviceSet *> g_sets;

DeviceSet *SetOf(HDEVINFO handle)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto *set = (DeviceSet *)handle;
    return g_sets.count(set) ? set : nullptr;
}

Element *ElementOf(DeviceSet *set, PSP_DEVINFO_DATA data)
{
    if (!set || !data || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->Reserved == 0 ||
        data->Reserved > set->elements.size())
        return nullptr;
    return &set->elements[data->Reserved - 1];
}

void Describe(DeviceSet *set, size_t index, PSP_DEVINFO_DATA data)
{
    data->ClassGuid = set->elements[index].classGuid;
    data->DevInst = (DWORD)index + 1;
    data->Reserved = index + 1;
}

// Every device instance the hive knows: Enum\<enumerator>\<device>\<instance>.
std::vector<std::string> AllInstances()
{
    std::vector<std::string> out;
    for (const std::string &e : hostos::SubKeys(kEnum))
        for (const std::string &d : hostos::SubKeys(kEnum + "\\" + e))
            for (const std::string &i : hostos::SubKeys(kEnum + "\\" + e + "\\" + d))
                out.push_back(e + "\\" + d + "\\" + i);
    return out;
}

std::string ClassNameOfGuid(const std::string &guid)
{
    for (const ClassInfo &c : kClasses)
        if (IEquals(c.guid, guid))
            return c.name;
    return {};
}

// ---------------------------------------------------------------------------------------------
// Driver installation
// ---------------------------------------------------------------------------------------------
const char kStore[] = "C:\\Windows\\INF";
const char kDrivers[] = "C:\\Windows\\System32\\drivers";

std::string ReadAll(const std::string &hostPath)
{
    std::ifstream in(hostPath, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Copies the package's INF into the driver store once; returns the oem name it has there.
bool StageInf(const Inf &inf, std::string *oemName)
{
    std::string source = host::MapPath(inf.windowsPath);
    std::string store = host::MapPath(kStore);
    if (store.empty())
        return false;
    std::error_code ec;
    fs::create_directories(store, ec);
    std::string content = ReadAll(source);
    int free = -1;
    for (int n = 0; n < 10000; ++n) {
        fs::path candidate = fs::path(store) / ("oem" + std::to_string(n) + ".inf");
        if (!fs::exists(candidate, ec)) {
            if (free < 0)
                free = n;
            continue;
        }
        if (ReadAll(candidate.string()) == content) {
            *oemName = candidate.filename().string();
            return true;
        }
    }
    if (free < 0)
        return false;
    *oemName = "oem" + std::to_string(free) + ".inf";
    fs::copy_file(source, fs::path(store) / *oemName, ec);
    return !ec;
}

bool CopyDriverFiles(const Inf &inf, const std::string &installSection)
{
    std::string sourceDir = fs::path(host::MapPath(inf.windowsPath)).parent_path().string();
    std::string target = host::MapPath(kDrivers);
    std::error_code ec;
    fs::create_directories(target, ec);
    const auto *lines = inf.Section(installSection);
    if (!lines)
        return true;
    for (const InfLine &l : *lines) {
        if (!IEquals(l.key, "CopyFiles"))
            continue;
        for (const std::string &list : l.fields) {
            const auto *files = inf.Section(list);
            if (!files)
                continue;
            for (const InfLine &f : *files) {
                std::string name = f.key.empty() ? f.fields[0] : f.key;
                fs::path from = fs::path(sourceDir) / name;
                if (!fs::exists(from, ec)) {
                    // The package may keep its images beside it in a folder per architecture.
                    fs::path alt = fs::path(sourceDir) / "amd64" / name;
                    if (!fs::exists(alt, ec)) {
                        SetLastError(ERROR_FILE_NOT_FOUND);
                        return false;
                    }
                    from = alt;
                }
                fs::copy_file(from, fs::path(target) / name, fs::copy_options::overwrite_existing, ec);
                if (ec) {
                    SetLastError(ERROR_ACCESS_DENIED);
                    return false;
                }
            }
        }
    }
    return true;
}

uint32_t Number(const std::string &text)
{
    return (uint32_t)strtoul(text.c_str(), nullptr, 0);
}

// Writes the services the package installs; returns the function driver's (SPSVCINST_ASSOCSERVICE).
std::string AddServices(const Inf &inf, const std::string &installSection)
{
    std::string function;
    const auto *lines = inf.Section(installSection + ".Services");
    if (!lines)
        return function;
    for (const InfLine &l : *lines) {
        if (!IEquals(l.key, "AddService") || l.fields.size() < 3)
            continue;
        std::string name = l.fields[0];
        if (Number(l.fields[1]) & 0x2)
            function = name;
        std::string key = kServices + "\\" + name;
        hostos::CreateKey(key);
        std::string binary = inf.Value(l.fields[2], "ServiceBinary");
        std::string file = binary.substr(binary.find_last_of('\\') + 1);
        hostos::SetDword(key, "Type", Number(inf.Value(l.fields[2], "ServiceType")));
        hostos::SetDword(key, "Start", Number(inf.Value(l.fields[2], "StartType")));
        hostos::SetDword(key, "ErrorControl", Number(inf.Value(l.fields[2], "ErrorControl")));
        hostos::SetString(key, "ImagePath", "\\SystemRoot\\System32\\drivers\\" + file, REG_EXPAND_SZ);
        std::string display = inf.Value(l.fields[2], "DisplayName");
        if (!display.empty())
            hostos::SetString(key, "DisplayName", display);
    }
    return function;
}

// HKR lines of the .HW section's AddReg sections, written to the device's Enum key.
void AddHardwareRegistry(const Inf &inf, const std::string &installSection, const std::string &deviceKey)
{
    const auto *lines = inf.Section(installSection + ".HW");
    if (!lines)
        return;
    for (const InfLine &l : *lines) {
        if (!IEquals(l.key, "AddReg"))
            continue;
        for (const std::string &list : l.fields) {
            const auto *regs = inf.Section(list);
            if (!regs)
                continue;
            for (const InfLine &r : *regs) {
                if (r.fields.size() < 5 || !IEquals(r.fields[0], "HKR"))
                    continue;
                std::string key = r.fields[1].empty() ? deviceKey : deviceKey + "\\" + r.fields[1];
                hostos::CreateKey(key);
                uint32_t flags = Number(r.fields[3]);
                if ((flags & 0x00010001) == 0x00010001)
                    hostos::SetDword(key, r.fields[2], Number(r.fields[4]));
                else if (flags & 0x00010000)
                    hostos::SetMultiString(key, r.fields[2], std::vector<std::string>(r.fields.begin() + 4, r.fields.end()));
                else
                    hostos::SetString(key, r.fields[2], inf.Expand(r.fields[4]));
            }
        }
    }
}

std::string DriverKeyOf(const std::string &instanceId, const std::string &classGuid)
{
    std::string enumKey = kEnum + "\\" + instanceId;
    std::string driver;
    if (hostos::GetString(enumKey, "Driver", &driver) && !driver.empty())
        return driver;
    int index = 0;
    char name[16];
    do {
        snprintf(name, sizeof name, "%04d", index++);
    } while (hostos::KeyExists(kClass + "\\" + classGuid + "\\" + name));
    driver = classGuid + "\\" + name;
    hostos::SetString(enumKey, "Driver", driver);
    return driver;
}

} // namespace

extern "C" {

BOOL WINAPI SetupDiClassGuidsFromNameA(PCSTR className, LPGUID guids, DWORD size, PDWORD required)
{
    if (!className) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (const ClassInfo &c : kClasses)
        if (IEquals(c.name, className)) {
            if (required)
                *required = 1;
            if (size < 1 || !guids) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            ParseGuid(c.guid, guids);
            return TRUE;
        }
    if (required)
        *required = 0;
    return TRUE;
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *classGuid, PCSTR enumerator, HWND parent, DWORD flags)
{
    (void)parent;
    (void)flags;
    if (!classGuid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto *set = new DeviceSet;
    set->classGuid = *classGuid;
    const std::string wanted = GuidText(*classGuid);
    for (const std::string &instance : AllInstances()) {
        if (enumerator && !IEquals(instance.substr(0, instance.find('\\')), enumerator))
            continue;
        std::string guid;
        if (!hostos::GetString(kEnum + "\\" + instance, "ClassGUID", &guid) || !IEquals(guid, wanted))
            continue;
        Element e;
        e.instanceId = instance;
        e.classGuid = *classGuid;
        e.className = ClassNameOfGuid(wanted);
        e.registered = true;
        set->elements.push_back(e);
    }
    std::lock_guard<std::mutex> lock(g_lock);
    g_sets.insert(set);
    return set;
}

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID *classGuid, HWND parent)
{
    (void)parent;
    auto *set = new DeviceSet;
    if (classGuid)
        set->classGuid = *classGuid;
    std::lock_guard<std::mutex> lock(g_lock);
    g_sets.insert(set);
    return set;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto *set = (DeviceSet *)handle;
    if (!g_sets.erase(set)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete set;
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA data)
{
    DeviceSet *set = SetOf(handle);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(0xE0000229); // ERROR_INVALID_USER_BUFFER
        return FALSE;
    }
    if (index >= set->elements.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    Describe(set, index, data);
    return TRUE;
}

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD scope, DWORD profile, DWORD keyType,
                                 REGSAM access)
{
    (void)scope;
    (void)profile;
    (void)access;
    DeviceSet *set = SetOf(handle);
    Element *e = ElementOf(set, data);
    if (!e) {
        SetLastError(set ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return (HKEY)INVALID_HANDLE_VALUE;
    }
    std::string enumKey = kEnum + "\\" + e->instanceId;
    if (e->removed || !hostos::KeyExists(enumKey)) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return (HKEY)INVALID_HANDLE_VALUE;
    }
    if (keyType == DIREG_DEV)
        return host::OpenKeyHandle(enumKey + "\\Device Parameters");
    std::string driver;
    if (!hostos::GetString(enumKey, "Driver", &driver) || driver.empty() || !hostos::KeyExists(kClass + "\\" + driver)) {
        SetLastError(ERROR_KEY_DOES_NOT_EXIST);
        return (HKEY)INVALID_HANDLE_VALUE;
    }
    return host::OpenKeyHandle(kClass + "\\" + driver);
}

BOOL WINAPI SetupDiRemoveDevice(HDEVINFO handle, PSP_DEVINFO_DATA data)
{
    DeviceSet *set = SetOf(handle);
    Element *e = ElementOf(set, data);
    if (!e) {
        SetLastError(set ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::string enumKey = kEnum + "\\" + e->instanceId;
    if (e->removed || !hostos::KeyExists(enumKey)) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    if (!hostos::RemoveNode(e->instanceId)) {
        SetLastError(0xE0000219); // ERROR_REMOVE_FAILED
        return FALSE;
    }
    std::string driver;
    if (hostos::GetString(enumKey, "Driver", &driver) && !driver.empty())
        hostos::DeleteTree(kClass + "\\" + driver);
    hostos::DeleteTree(enumKey);
    e->removed = true;
    return TRUE;
}

BOOL WINAPI SetupDiGetINFClassA(PCSTR infName, LPGUID classGuid, PSTR className, DWORD size, PDWORD required)
{
    Inf inf;
    if (!infName || !ReadInf(infName, &inf)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    std::string name = inf.Value("Version", "Class");
    std::string guid = inf.Value("Version", "ClassGuid");
    if (!inf.Section("Version") || (name.empty() && guid.empty())) {
        SetLastError(ERROR_WRONG_INF_STYLE);
        return FALSE;
    }
    if (guid.empty() || !ParseGuid(guid, classGuid)) {
        SetLastError(ERROR_INVALID_CLASS);
        return FALSE;
    }
    if (required)
        *required = (DWORD)name.size() + 1;
    if (name.size() + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(className, name.c_str(), name.size() + 1);
    return TRUE;
}

BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO handle, PCSTR name, const GUID *classGuid, PCSTR description,
                                     HWND parent, DWORD flags, PSP_DEVINFO_DATA data)
{
    (void)description;
    (void)parent;
    DeviceSet *set = SetOf(handle);
    if (!set || !name || !classGuid) {
        SetLastError(set ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(flags & DICD_GENERATE_ID)) {
        // Only generated root ids are needed here.
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Element e;
    e.classGuid = *classGuid;
    e.className = name;
    set->elements.push_back(e);
    if (data) {
        if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
            SetLastError(0xE0000229);
            return FALSE;
        }
        Describe(set, set->elements.size() - 1, data);
    }
    return TRUE;
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD property,
                                              const BYTE *buffer, DWORD size)
{
    DeviceSet *set = SetOf(handle);
    Element *e = ElementOf(set, data);
    if (!e || property != SPDRP_HARDWAREID || (!buffer && size)) {
        SetLastError(set ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A list of NUL-terminated ids ending in an empty one, read only within the given size.
    std::vector<std::string> ids;
    std::string current;
    for (DWORD i = 0; i < size; ++i) {
        if (buffer[i] == 0) {
            if (current.empty())
                break;
            ids.push_back(current);
            current.clear();
        } else {
            current += (char)buffer[i];
        }
    }
    if (!current.empty())
        ids.push_back(current);
    e->hardwareIds = ids;
    if (e->registered)
        hostos::SetMultiString(kEnum + "\\" + e->instanceId, "HardwareID", ids);
    return TRUE;
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO handle, PSP_DEVINFO_DATA data)
{
    DeviceSet *set = SetOf(handle);
    Element *e = ElementOf(set, data);
    if (!e) {
        SetLastError(set ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (function == DIF_REMOVE)
        return SetupDiRemoveDevice(handle, data);
    if (function != DIF_REGISTERDEVICE) {
        SetLastError(0xE000020E); // ERROR_DI_DO_DEFAULT
        return FALSE;
    }
    if (e->registered) {
        SetLastError(ERROR_DEVINST_ALREADY_EXISTS);
        return FALSE;
    }
    if (e->hardwareIds.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    e->instanceId = hostos::CreateRootDevice(e->hardwareIds[0], GuidText(e->classGuid));
    if (e->instanceId.empty()) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    hostos::SetMultiString(kEnum + "\\" + e->instanceId, "HardwareID", e->hardwareIds);
    hostos::SetString(kEnum + "\\" + e->instanceId, "Class", e->className);
    e->registered = true;
    return TRUE;
}

BOOL WINAPI SetupUninstallOEMInfA(PCSTR infName, DWORD flags, PVOID reserved)
{
    (void)reserved;
    // Only a bare oem*.inf name of the driver store is accepted.
    if (!infName || strchr(infName, '\\') || strchr(infName, '/') || strncasecmp(infName, "oem", 3) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string windowsPath = std::string(kStore) + "\\" + infName;
    std::string hostPath = host::MapPath(windowsPath);
    std::error_code ec;
    if (hostPath.empty() || !fs::exists(hostPath, ec)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (!(flags & SUOI_FORCEDELETE)) {
        for (const std::string &instance : AllInstances()) {
            std::string driver, infPath;
            if (hostos::GetString(kEnum + "\\" + instance, "Driver", &driver) &&
                hostos::GetString(kClass + "\\" + driver, "InfPath", &infPath) && IEquals(infPath, infName)) {
                SetLastError(ERROR_INF_IN_USE_BY_DEVICES);
                return FALSE;
            }
        }
    }
    fs::remove(hostPath, ec);
    return ec ? (SetLastError(ERROR_ACCESS_DENIED), FALSE) : TRUE;
}

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND parent, LPCSTR hardwareId, LPCSTR infPath, DWORD flags,
                                               BOOL *rebootRequired)
{
    (void)parent;
    (void)flags;
    if (rebootRequired)
        *rebootRequired = FALSE;
    if (!hardwareId || !*hardwareId || !infPath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Inf inf;
    if (!ReadInf(infPath, &inf)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    std::vector<std::string> devices;
    for (const std::string &instance : AllInstances()) {
        std::vector<std::string> ids;
        hostos::GetMultiString(kEnum + "\\" + instance, "HardwareID", &ids);
        for (const std::string &id : ids)
            if (IEquals(id, hardwareId)) {
                devices.push_back(instance);
                break;
            }
    }
    if (devices.empty()) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    Model model;
    if (!FindModel(inf, hardwareId, &model)) {
        SetLastError(ERROR_NO_DRIVER_SELECTED);
        return FALSE;
    }
    std::string section = Decorated(inf, model.installSection);
    std::string oemName;
    if (!StageInf(inf, &oemName)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!CopyDriverFiles(inf, section))
        return FALSE;
    std::string service = AddServices(inf, section);
    std::string classGuid = inf.Value("Version", "ClassGuid");
    std::string className = inf.Value("Version", "Class");
    std::string provider = inf.Value("Version", "Provider");
    std::string driverVersion = inf.Value("Version", "DriverVer");

    bool restart = false;
    for (const std::string &instance : devices) {
        std::string enumKey = kEnum + "\\" + instance;
        hostos::SetString(enumKey, "ClassGUID", Upper(classGuid));
        hostos::SetString(enumKey, "Class", className);
        hostos::SetString(enumKey, "DeviceDesc", model.description);
        if (!service.empty())
            hostos::SetString(enumKey, "Service", service);
        AddHardwareRegistry(inf, section, enumKey);
        std::string driverKey = kClass + "\\" + DriverKeyOf(instance, Upper(classGuid));
        hostos::CreateKey(driverKey);
        hostos::SetString(driverKey, "MatchingDeviceId", model.hardwareId);
        hostos::SetString(driverKey, "ProviderName", provider);
        hostos::SetString(driverKey, "InfPath", oemName);
        hostos::SetString(driverKey, "InfSection", section);
        hostos::SetString(driverKey, "DriverDesc", model.description);
        hostos::SetString(driverKey, "DriverVersion", driverVersion);
        bool needsRestart = false;
        if (!hostos::StartNodeIfIdle(instance, &needsRestart)) {
            SetLastError(1058); // the service did not start
            return FALSE;
        }
        restart = restart || needsRestart;
    }
    if (rebootRequired)
        *rebootRequired = restart ? TRUE : FALSE;
    return TRUE;
}

CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST devInst, DEVINSTID_A deviceId, ULONG flags)
{
    (void)flags;
    if (!devInst)
        return CR_INVALID_POINTER;
    if (deviceId && *deviceId && !hostos::KeyExists(kEnum + "\\" + deviceId))
        return CR_NO_SUCH_DEVNODE;
    *devInst = 1; // the root of the tree; other nodes are not needed
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST devInst, ULONG flags)
{
    (void)flags;
    if (devInst != 1)
        return CR_NO_SUCH_DEVNODE;
    hostos::Reenumerate();
    return CR_SUCCESS;
}

} // extern "C"
