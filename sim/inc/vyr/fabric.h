// The testbed's SCSI fabric as its drivers see it: the request a class driver sends to a path
// PDO to run one SCSI command (the stand-in for an SRB), and the identity of a path.
//
// Test-only: nothing of the shipped product includes this header.
#pragma once

#include "kernel.h"

// Internal device control to a path PDO; Parameters.Others.Argument1 points to a FabScsiRequest.
// The PDO completes the IRP with STATUS_SUCCESS when the command reached the target (whatever its
// SCSI status), or with a transport failure (STATUS_IO_TIMEOUT, STATUS_DEVICE_NOT_CONNECTED, ...)
// when it did not.
constexpr ULONG IOCTL_VYRFAB_EXECUTE_CDB = 0x0022E003; // CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_READ_DATA | FILE_WRITE_DATA)
// Internal device control to a path PDO; Argument1 points to a FabPathInfo to fill.
constexpr ULONG IOCTL_VYRFAB_GET_PATH_INFO = 0x0022E007;
// Internal device control to a path PDO, no arguments: the task-management function LOGICAL UNIT
// RESET through this path's nexus (what a port driver sends for SRB_FUNCTION_RESET_LOGICAL_UNIT).
// The drive drops its SCSI-2 reservation and tells every other nexus with a unit attention.
constexpr ULONG IOCTL_VYRFAB_RESET_LUN = 0x0022E00B;

enum FabDirection : UCHAR {
    FAB_DATA_NONE = 0,
    FAB_DATA_IN = 1,  // device to host (READ, INQUIRY, MODE SENSE, ...)
    FAB_DATA_OUT = 2, // host to device (WRITE, MODE SELECT, ...)
};

// SCSI status codes.
constexpr UCHAR SCSISTAT_GOOD = 0x00;
constexpr UCHAR SCSISTAT_CHECK_CONDITION = 0x02;
constexpr UCHAR SCSISTAT_BUSY = 0x08;
constexpr UCHAR SCSISTAT_RESERVATION_CONFLICT = 0x18;

constexpr ULONG FAB_SENSE_SIZE = 32;

struct FabScsiRequest {
    UCHAR Cdb[16];
    UCHAR CdbLength;
    FabDirection Direction;
    UCHAR ScsiStatus;      // out
    UCHAR SenseLength;     // out: valid bytes in Sense (fixed format, 0x70)
    ULONG DataLength;      // in: bytes the host offers or wants
    ULONG DataTransferred; // out: bytes that moved
    PVOID Data;            // system address of the data buffer
    UCHAR Sense[FAB_SENSE_SIZE]; // out
};

// Identity of a path: where it is, and the port it goes through.
struct FabPathInfo {
    UCHAR PortNumber;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    ULONG DriveIndex;   // which physical device the path leads to
    ULONG64 Nexus;      // identifies the I_T nexus (initiator port and target port) of this path
    CHAR szInitiatorWwpn[17]; // WWPN of the host adapter port, 16 hex characters
};
