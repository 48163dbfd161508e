// vyrsim's `install` and `uninstall` steps: the real installer library run on the simulated host,
// with the driver package laid out in C:\install as an administrator receives it. Kept apart from
// vyrsim.cpp because the library's header speaks Win32 and the host kernel's speaks NT.
#pragma once

#include <string>
#include <vector>

namespace vyr::tools {

// Lays out the package (the INF files of PackageDir, the driver images of DriverDir) under the
// sandbox's C:\install\drivers and runs InstallDrivers or UninstallDrivers with the option words.
// What the library prints goes to standard output; the message boxes, commands and restart
// requests it asks for are shown as they happen, never carried out. Returns the library's result
// (0 = success).
int RunInstaller(bool install, const std::vector<std::string> &words, const std::string &sandbox,
                 const std::string &driverDir, const std::string &packageDir);

} // namespace vyr::tools
