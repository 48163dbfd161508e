// The small programs that run the installer library: setup_locked and setup_shared install (with
// exclusive access on or off), uninst removes. Each passes its option words, without the program
// name, to the library.
#pragma once

namespace vyr::frontend {

enum class Action { InstallLocked, InstallShared, Uninstall };

int Run(Action action, int argc, char **argv);

} // namespace vyr::frontend
