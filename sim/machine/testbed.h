// The testbed around a machine: the SCSI fabric with its drives and paths, the tape class driver
// stand-in bound to every tape path, and the harness that changes the world through the fabric's
// control device, as a test program on a real host would.
//
// Medium changers, in short:
//   - InstallTestbed also installs the changer class stand-in (service vyrcg2k16) and the
//     MediumChanger class key (with an empty UpperFilters value); InstallChangerFilter puts the
//     changer path filter (vyrcgft2k16) there, as InstallPathFilter does for tapes.
//   - Topology::changers changers, each with pathsPerChanger paths, are built after the tape
//     drives; Fabric::AddChanger / ChangerConfig add one by hand, then AddPath with its index
//     (changers and drives share one index space; FabDriveEntry::DeviceKind tells them apart).
//   - Each changer path gets an FDO of vyrcg2k16, reachable directly as \\.\VyrChangerPath<N>.
//     It answers the 0x84C9 private codes (serial number, SCSI address, status table, inquiry,
//     identification page), IOCTL_SCSI_PASS_THROUGH(_DIRECT), IOCTL_SCSI_GET_ADDRESS and the
//     standard IOCTL_CHANGER_* codes (sim/changerclass/cgioctl.h lists them). Its own commands
//     take the changer's unit attentions (power-on, reset, a nexus back after a pull) and ask
//     again; pass-through hands them to the caller, as a real class driver does.
//   - Faults: AddFault with FAB_SCOPE_PATH (the path index) or FAB_SCOPE_DRIVE (the changer
//     index), PullPath/RestorePath, FAB_FAULT_HOLD, as for tapes. MOVE MEDIUM is opcode 0xA5.
//   - Fabric::QueryChanger tells where each cartridge is (FabChangerState).
//   - A changer's drive elements are the fabric's tape drives (Topology::linkedDrivesEmpty and
//     FabChangerConfig::DriveIndex): a cartridge moved into one is loaded into that drive, with
//     its own medium, and taken out again when it is moved away.
#pragma once

#include "machine/machine.h"
#include "vyr/fabricctl.h"
#include "vyr/fabricplan.h"

#include <memory>
#include <string>
#include <vector>

namespace vyr::sim {

constexpr const char *kTapeDriveClassGuid = "{6D807884-7D21-11CF-801C-08002BE10318}";
constexpr const char *kTapeClassService = "vyrtp2k16";
constexpr const char *kMediumChangerClassGuid = "{CE5939AE-EBDE-11D0-B181-0000F8753EC4}";
constexpr const char *kChangerClassService = "vyrcg2k16";

// Topology: vyr/fabricplan.h, with the layout every harness builds from it.

// Installs what the testbed needs on a machine, before or after boot: the fabric (root device
// root\vyrfab) and the tape class driver, bound to the fabric's tape paths through the critical
// device database; the TapeDrive class key carries an UpperFilters value where the path filter goes.
void InstallTestbed(Machine &machine);

constexpr const char *kTapeFilterService = "vyrtpft2k16";

// Installs the tape path filter as an installation would: its image and service, and its name in
// the TapeDrive class's UpperFilters, so that every tape path stack built afterwards carries it.
void InstallPathFilter(Machine &machine);

constexpr const char *kChangerFilterService = "vyrcgft2k16";

// The changer path filter's counterpart of InstallPathFilter (MediumChanger class).
void InstallChangerFilter(Machine &machine);

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
    NTSTATUS AddChanger(const FabChangerConfig &config, ULONG *index);
    NTSTATUS QueryChanger(ULONG changer, FabChangerState *state);

    // Builds a whole topology: drive d gets serial "VYRSIM" + a number derived from the seed, a
    // WWNN on logical unit 0, and pathsPerDrive paths spread over the ports. Waits until the PnP
    // manager has started every new path.
    NTSTATUS Build(const Topology &topology);
    static FabDriveConfig DriveConfig(const Topology &topology, int drive);
    // Changer c: serial "VYRCHG" + a number derived from the seed, product "VL-3", its drive
    // elements linked to the tape drives Topology names.
    static FabChangerConfig ChangerConfig(const Topology &topology, int changer);
    // The tape drive behind changer c's drive element e, or -1.
    static int LinkedDrive(const Topology &topology, int changer, int element);

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
