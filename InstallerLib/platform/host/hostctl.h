// Control and inspection of the installer's host face, for tests and vyrsim: the simulated
// machine's settings the installer reads (current directory, pending installations, the shutdown
// privilege) and the system actions it asked for (message boxes, commands, restarts), recorded
// instead of shown or carried out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vyr::installer::host {

struct MessageBoxRecord {
    std::string text;
    std::string caption;
    uint32_t type = 0;
};

struct ShutdownRecord {
    std::string message;
    uint32_t gracePeriod = 0;
    uint32_t flags = 0;
    uint32_t reason = 0;
};

// Forgets the recorded actions and puts every setting back to its default: current directory
// C:\, no pending installations, shutdown privilege granted. The sandbox root stays.
void Reset();

// The host folder that holds the drive folders (C is <root>/C). While the host kernel runs, its own
// sandbox is used when none was set here.
void SetSandboxRoot(const std::string &root);
// Host path of a Windows path on the sandbox drives (C:\Windows\INF\oem0.inf); empty if none.
std::string HostPath(const std::string &windowsPath);

void SetCurrentDirectory(const std::string &windowsPath);
void SetPendingInstallations(bool pending);
void SetShutdownPrivilege(bool granted);
// Writes what the version detection reads: the product name, CurrentVersion and the
// installation type (Server or Client). An empty product name removes the value.
void SetWindowsVersion(const std::string &productName, const std::string &currentVersion, bool server,
                       uint32_t major = 10, uint32_t minor = 0);

std::vector<MessageBoxRecord> MessageBoxes();
std::vector<std::string> Commands();
std::vector<ShutdownRecord> Shutdowns();

// Called for every message box and shutdown request as it happens (vyrsim shows them).
void SetActionObserver(std::function<void(const std::string &)> observer);

} // namespace vyr::installer::host
