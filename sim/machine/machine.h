// One simulated Windows host: a sandbox folder for its drives, the registry hive the drivers and
// the installer share, and the boot order (root-enumerated bus enumerators first, their children
// after). Tests and vyrsim build their worlds on it.
#pragma once

#include "hk/host.h"

#include <string>

namespace vyr::sim {

constexpr const char *kServicesKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
constexpr const char *kSystemClassGuid = "{4D36E97D-E325-11CE-BFC1-08002BE10318}";

// Whether a root-enumerated device with this hardware ID is in the registry (installed before).
bool RootDeviceExists(const std::string &hardwareId);

struct MachineOptions {
    // Folder that holds the machine's drives; empty: a fresh temporary folder, removed with the
    // machine unless keepSandbox.
    std::string sandbox;
    bool keepSandbox = false;
    // Where the build put the host images of the drivers (<service>.sys).
    std::string driverDir;
    // Start with an empty hive (a new machine) rather than the one left by the previous machine.
    bool freshRegistry = true;
};

class Machine {
public:
    explicit Machine(MachineOptions options = {});
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    // What an installation leaves behind: the image in System32\drivers and the service key.
    void InstallDriverImage(const std::string &service);
    void InstallService(const std::string &service, ULONG start = 3 /* demand */);
    // The tape bus enumerator: image, service and the root device root\vyrtpbs2k16.
    void InstallTapeBus();
    void SetServiceDword(const std::string &service, const std::string &name, ULONG value);

    void Boot();
    void Shutdown();
    // Shutdown and boot again with the same hive and drives.
    void Restart();
    bool Booted() const { return booted_; }

    const std::string &Sandbox() const { return sandbox_; }
    const std::string &DriverDir() const { return driverDir_; }
    static std::string DefaultDriverDir();

private:
    MachineOptions options_;
    std::string sandbox_;
    std::string driverDir_;
    bool ownSandbox_ = false;
    bool booted_ = false;
};

} // namespace vyr::sim
