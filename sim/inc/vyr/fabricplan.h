// How a testbed topology is laid out in the fabric: the identities of its tape drives and medium
// changers, which tape drives stand behind a changer's drive elements, and the addresses of the
// paths. Every harness that builds a topology through the control device -- the machine's
// Fabric::Build on the host kernel, the Win32 scenario program under Windows -- takes them from
// here, so that one topology gives the same serial numbers, world-wide names, links and SCSI
// addresses wherever it is built. Plain C++ over the fabric's records: no host kernel type.
//
// Test-only: nothing of the shipped product includes this header.
#pragma once

#include "vyr/fabricctl.h"

#include <cstdint>
#include <cstdio>

namespace vyr::sim {

struct Topology {
    int drives = 0;        // tape drives
    int pathsPerDrive = 2; // paths to each drive
    int ports = 2;         // host adapter ports the paths are spread over
    uint32_t seed = 1;     // serial numbers and world-wide names derive from it
    int changers = 0;        // medium changers, built after the drives
    int pathsPerChanger = 2; // paths to each changer, spread over the ports like the drives'
    int changerSlots = 8;    // storage slots of each changer
    int changerDrives = 2;   // its data transfer elements
    int changerPortals = 1;  // its import/export elements
    int changerFullSlots = 4; // slots 0 .. changerFullSlots-1 hold a cartridge at power-on
    // The tape drives behind the changers' drive elements: changer c's element e is tape drive
    // c * changerDrives + e while there is one. Linked drives start with a cartridge of their own
    // (which the changer does not know of) unless linkedDrivesEmpty, as in a library.
    bool linkedDrivesEmpty = false;
};

// The tape drive behind changer c's drive element e, or -1.
inline int PlanLinkedDrive(const Topology &topology, int changer, int element)
{
    if (changer < 0 || element < 0 || element >= topology.changerDrives)
        return -1;
    int drive = changer * topology.changerDrives + element;
    return drive < topology.drives ? drive : -1;
}

// Tape drive d: serial "VYRSIM" + a number derived from the seed, product "VT-9"; loaded at
// power-on unless a changer's drive element stands for it in a library topology.
inline FabDriveConfig PlanDrive(const Topology &topology, int drive)
{
    FabDriveConfig config{};
    // Deterministic identities: the same seed gives the same drives on every run.
    uint32_t number = topology.seed * 1000u + (uint32_t)drive;
    snprintf(config.szSerialNumber, sizeof config.szSerialNumber, "VYRSIM%010u", (unsigned)number);
    snprintf(config.szProduct, sizeof config.szProduct, "VT-9");
    snprintf(config.szRevision, sizeof config.szRevision, "0708");
    bool linked = false;
    for (int c = 0; c < topology.changers && !linked; c++)
        for (int e = 0; e < topology.changerDrives && !linked; e++)
            linked = PlanLinkedDrive(topology, c, e) == drive;
    config.fLoaded = linked && topology.linkedDrivesEmpty ? 0 : 1;
    config.Wwnn = 0x50A1B2C000000000ULL | ((ULONG64)topology.seed << 16) | (ULONG64)(drive + 1);
    return config;
}

// Changer c: serial "VYRCHG" + a number derived from the seed, product "VL-3", its drive elements
// linked to the tape drives PlanLinkedDrive names.
inline FabChangerConfig PlanChanger(const Topology &topology, int changer)
{
    FabChangerConfig config{};
    uint32_t number = topology.seed * 1000u + (uint32_t)changer;
    snprintf(config.szSerialNumber, sizeof config.szSerialNumber, "VYRCHG%010u", (unsigned)number);
    snprintf(config.szProduct, sizeof config.szProduct, "VL-3");
    snprintf(config.szRevision, sizeof config.szRevision, "0210");
    config.StorageSlots = (ULONG)topology.changerSlots;
    config.Drives = (ULONG)topology.changerDrives;
    config.ImportExport = (ULONG)topology.changerPortals;
    config.FullSlots = (ULONG)topology.changerFullSlots;
    config.Wwnn = 0x50A1B2D000000000ULL | ((ULONG64)topology.seed << 16) | (ULONG64)(changer + 1);
    for (int e = 0; e < topology.changerDrives && e < (int)FAB_CHANGER_MAX_DRIVES; e++) {
        int drive = PlanLinkedDrive(topology, changer, e);
        if (drive < 0)
            break;
        config.DriveIndex[config.LinkedDrives++] = (ULONG)drive;
    }
    return config;
}

// Path p of the device with fabric index `device`, which is target `target` on every port: the
// paths go round the ports, and each round takes the next path id. Tape drive d is target d,
// changer c target drives + c: a changer is a target of its own on each port.
inline FabAddPathRequest PlanPath(const Topology &topology, ULONG device, int path, int target)
{
    int ports = topology.ports > 0 ? topology.ports : 1;
    FabAddPathRequest request{};
    request.DriveIndex = device;
    request.PortNumber = (UCHAR)(path % ports);
    request.PathId = (UCHAR)(path / ports);
    request.TargetId = (UCHAR)target;
    request.Lun = 0;
    return request;
}

} // namespace vyr::sim
