// The testbed around a machine: the SCSI fabric with its drives and paths, the tape class driver
// stand-in bound to every tape path, and the harness that changes the world through the fabric's
// control device, as a test program on a real host would.
#pragma once

#include "machine/machine.h"
#include "vyr/fabricctl.h"

#include <memory>
#include <string>
#include <vector>

namespace vyr::sim {

constexpr const char *kTapeDriveClassGuid = "{6D807884-7D21-11CF-801C-08002BE10318}";
constexpr const char *kTapeClassService = "vyrtp2k16";

struct Topology {
    int drives = 0;        // tape drives
    int pathsPerDrive = 2; // paths to each drive
    int ports = 2;         // host adapter ports the paths are spread over
    uint32_t seed = 1;     // serial numbers and world-wide names derive from it
};

// Installs what the testbed needs on a machine, before or after boot: the fabric (root device
// root\vyrfab) and the tape class driver, bound to the fabric's tape paths through the critical
// device database; the TapeDrive class key carries an UpperFilters value where the path filter goes.
void InstallTestbed(Machine &machine);

constexpr const char *kTapeFilterService = "vyrtpft2k16";

// Installs the tape path filter as an installation would: its image and service, and its name in
// the TapeDrive class's UpperFilters, so that every tape path stack built afterwards carries it.
void InstallPathFilter(Machine &machine);

class Fabric {
public:
    Fabric();
    ~Fabric();

    // Control requests; each returns the status the fabric answered.
    NTSTATUS AddDrive(const FabDriveConfig &config, ULONG *index);
    NTSTATUS AddPath(ULONG drive, UCHAR port, UCHAR pathId, UCHAR target, UCHAR lun, ULONG *index);
    NTSTATUS PullPath(ULONG path);
    NTSTATUS RestorePath(ULONG path);
    NTSTATUS AddFault(const FabFaultRequest &fault);
    NTSTATUS ClearFaults(UCHAR scope, ULONG index);
    NTSTATUS DriveControl(ULONG drive, ULONG operation, ULONG value);
    NTSTATUS QueryDrive(ULONG drive, FabDriveState *state);
    NTSTATUS QueryTopology(std::vector<FabDriveEntry> *drives, std::vector<FabPathEntry> *paths);

    // Builds a whole topology: drive d gets serial "VYRSIM" + a number derived from the seed, a
    // WWNN on logical unit 0, and pathsPerDrive paths spread over the ports. Waits until the PnP
    // manager has started every new path.
    NTSTATUS Build(const Topology &topology);
    static FabDriveConfig DriveConfig(const Topology &topology, int drive);

    NTSTATUS LastStatus() const { return last_; }

private:
    NTSTATUS Control(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength, ULONG *returned = nullptr);
    std::shared_ptr<hk::Process> process_;
    HANDLE handle_ = nullptr;
    NTSTATUS last_ = STATUS_SUCCESS;

public:
    // Commands held by FAB_FAULT_HOLD rules: let those of a scope go, or wait until at least
    // `count` are held (the time-out only keeps a broken test from hanging).
    NTSTATUS ReleaseHeld(UCHAR scope, ULONG index);
    NTSTATUS WaitHeld(ULONG count, ULONG *held = nullptr, ULONG timeoutMilliseconds = 60000);
};

} // namespace vyr::sim
