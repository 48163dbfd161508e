// Shared state of the installer's host face (not for its users: see hostctl.h).
#pragma once

#include "../win32.h"
#include "hostctl.h"
#include "hostos.h"

#include <string>

namespace vyr::installer::host {

extern const std::string kMachine; // \Registry\Machine

// Windows path (C:\dir\file, case-insensitive) to a host path on the sandbox drives.
std::string MapPath(const std::string &windowsPath);
// Windows path of a relative or absolute path, against the current directory.
std::string FullWindowsPath(const std::string &path);
void Notify(const std::string &what);
bool IEquals(const std::string &a, const std::string &b);
std::string Upper(std::string s);

} // namespace vyr::installer::host
