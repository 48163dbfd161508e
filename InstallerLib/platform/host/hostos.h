// What the installer's host face needs from the host kernel, in plain C++ types, so that the Win32
// subset can be written against win32.h without the kernel's own type names in the way. Registry
// paths are kernel paths (\Registry\Machine\...).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vyr::installer::hostos {

struct Value {
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

bool KeyExists(const std::string &path);
void CreateKey(const std::string &path);
bool DeleteTree(const std::string &path);
bool GetValue(const std::string &path, const std::string &name, Value *value);
void SetValue(const std::string &path, const std::string &name, const Value &value);
bool GetString(const std::string &path, const std::string &name, std::string *value);
void SetString(const std::string &path, const std::string &name, const std::string &value, uint32_t type = 1);
bool GetMultiString(const std::string &path, const std::string &name, std::vector<std::string> *values);
void SetMultiString(const std::string &path, const std::string &name, const std::vector<std::string> &values);
void SetDword(const std::string &path, const std::string &name, uint32_t value);
std::vector<std::string> SubKeys(const std::string &path);

// Registry strings are stored in UTF-16 (as on Windows); the A routines see them in UTF-8.
std::string NarrowData(const std::vector<uint8_t> &utf16);
std::vector<uint8_t> WideData(const std::string &utf8);

// The hive kept in a file between runs of the host front ends.
bool LoadHive(const std::string &file);
bool SaveHive(const std::string &file);

bool Booted();
// The host folder of a drive letter while the kernel runs, else empty.
std::string BootedDriveFolder(char letter);

// Device nodes by instance id (ROOT\SYSTEM\0000). Without a running kernel these only touch the
// hive; the devices come up at the next boot.
std::string CreateRootDevice(const std::string &hardwareId, const std::string &classGuid);
// Starts a node that is not started yet; true when it runs afterwards (or no kernel runs).
bool StartNodeIfIdle(const std::string &instanceId, bool *needsRestart);
// Orderly removal of a node that exists in the running tree; false when a driver vetoed it.
bool RemoveNode(const std::string &instanceId);
void Reenumerate();

} // namespace vyr::installer::hostos
