// The bridge from the installer's host face to the host kernel.
#include "hostos.h"

#include "hk/host.h"

#include <cstring>

namespace vyr::installer::hostos {

bool KeyExists(const std::string &path) { return hk::RegKeyExists(path); }
void CreateKey(const std::string &path) { hk::RegCreateKey(path); }
bool DeleteTree(const std::string &path) { return hk::RegDeleteTree(path); }

bool GetValue(const std::string &path, const std::string &name, Value *value)
{
    hk::RegValue v;
    if (!hk::RegGetValue(path, name, &v))
        return false;
    value->type = v.type;
    value->data = std::move(v.data);
    return true;
}

void SetValue(const std::string &path, const std::string &name, const Value &value)
{
    hk::RegValue v;
    v.type = value.type;
    v.data = value.data;
    hk::RegSetValue(path, name, v);
}

bool GetString(const std::string &path, const std::string &name, std::string *value)
{
    return hk::RegGetString(path, name, value);
}
void SetString(const std::string &path, const std::string &name, const std::string &value, uint32_t type)
{
    hk::RegSetString(path, name, value, type);
}
bool GetMultiString(const std::string &path, const std::string &name, std::vector<std::string> *values)
{
    return hk::RegGetMultiString(path, name, values);
}
void SetMultiString(const std::string &path, const std::string &name, const std::vector<std::string> &values)
{
    hk::RegSetMultiString(path, name, values);
}
void SetDword(const std::string &path, const std::string &name, uint32_t value) { hk::RegSetDword(path, name, value); }
std::vector<std::string> SubKeys(const std::string &path) { return hk::RegSubKeys(path); }

std::string NarrowData(const std::vector<uint8_t> &utf16)
{
    std::u16string w(utf16.size() / 2, u'\0');
    memcpy(w.data(), utf16.data(), w.size() * 2);
    return hk::Utf8(w);
}

std::vector<uint8_t> WideData(const std::string &utf8)
{
    std::u16string w = hk::Utf16(utf8);
    std::vector<uint8_t> out(w.size() * 2);
    memcpy(out.data(), w.data(), out.size());
    return out;
}

bool LoadHive(const std::string &file) { return hk::RegLoad(file); }
bool SaveHive(const std::string &file) { return hk::RegSave(file); }

bool Booted() { return hk::IsBooted(); }

std::string BootedDriveFolder(char letter)
{
    return hk::IsBooted() ? hk::DriveFolder(letter) : std::string();
}

std::string CreateRootDevice(const std::string &hardwareId, const std::string &classGuid)
{
    const std::string enumRoot = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\ROOT";
    std::vector<std::string> before;
    for (const std::string &cls : hk::RegSubKeys(enumRoot))
        for (const std::string &instance : hk::RegSubKeys(enumRoot + "\\" + cls))
            before.push_back(cls + "\\" + instance);
    if (hk::DevNode *node = hk::CreateRootDevice(hardwareId, std::string(), classGuid))
        return hk::NodeInfo(node).instanceId;
    // Without a running kernel only the Enum key was written: find it.
    for (const std::string &cls : hk::RegSubKeys(enumRoot))
        for (const std::string &instance : hk::RegSubKeys(enumRoot + "\\" + cls)) {
            std::string id = cls + "\\" + instance;
            bool old = false;
            for (const std::string &b : before)
                old = old || b == id;
            if (!old)
                return "ROOT\\" + id;
        }
    return {};
}

bool StartNodeIfIdle(const std::string &instanceId, bool *needsRestart)
{
    *needsRestart = false;
    if (!hk::IsBooted())
        return true;
    hk::DevNode *node = hk::FindDevNode(instanceId);
    if (!node)
        return true;
    switch (hk::NodeState(node)) {
    case hk::DevNodeState::Initialized:
    case hk::DevNodeState::Failed:
    case hk::DevNodeState::Stopped: {
        NTSTATUS status = hk::StartDevice(node);
        hk::WaitPnpIdle();
        return NT_SUCCESS(status);
    }
    default:
        // A running stack keeps its drivers until the next restart.
        *needsRestart = true;
        return true;
    }
}

bool RemoveNode(const std::string &instanceId)
{
    if (!hk::IsBooted())
        return true;
    hk::DevNode *node = hk::FindDevNode(instanceId);
    if (!node)
        return true;
    NTSTATUS status = hk::RemoveDevice(node);
    hk::WaitPnpIdle();
    return NT_SUCCESS(status);
}

void Reenumerate()
{
    if (!hk::IsBooted())
        return;
    hk::ReenumerateDevices();
    hk::WaitPnpIdle();
}

} // namespace vyr::installer::hostos
