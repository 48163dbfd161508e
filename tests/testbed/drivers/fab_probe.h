// The private interface of fab_probe, a tiny class driver for the fabric's path PDOs: its FDO
// \Device\FabProbe<n> (link \??\FabProbe<n>) turns a buffered request of a process into one
// internal device control request on the path PDO below it, and reports what came back.
#pragma once

#include "vyr/fabric.h"

constexpr ULONG FabProbeCode(ULONG function)
{
    return (0x00008FAC << 16) | (function << 2) | 0 /* METHOD_BUFFERED, FILE_ANY_ACCESS */;
}
// in FabProbeCommand + data to send; out FabProbeResult + data received.
constexpr ULONG IOCTL_FABPROBE_EXECUTE = FabProbeCode(0x900);
// out FabProbePathInfo.
constexpr ULONG IOCTL_FABPROBE_PATH_INFO = FabProbeCode(0x901);
// out FabProbePnpAnswers: QUERY_CAPABILITIES and TargetDeviceRelation sent to the PDO.
constexpr ULONG IOCTL_FABPROBE_PNP_QUERIES = FabProbeCode(0x902);

constexpr ULONG FAB_PROBE_MAX_DATA = 1 << 20;

enum FabProbeMode : UCHAR {
    FAB_PROBE_NORMAL = 0,
    FAB_PROBE_NULL_REQUEST = 1, // send IOCTL_VYRFAB_EXECUTE_CDB with no FabScsiRequest
    FAB_PROBE_UNKNOWN_CODE = 2, // send an internal control code the PDO does not know
};

struct FabProbeCommand {
    UCHAR Cdb[16];
    UCHAR CdbLength;  // given to the PDO as is
    UCHAR Direction;  // FabDirection
    UCHAR Mode;       // FabProbeMode
    UCHAR Reserved;
    ULONG DataLength; // bytes offered (OUT: they follow this record) or wanted (IN)
};
static_assert(sizeof(FabProbeCommand) == 24, "FabProbeCommand layout");

struct FabProbeResult {
    NTSTATUS Status; // how the PDO completed the request
    UCHAR ScsiStatus;
    UCHAR SenseLength;
    UCHAR Reserved[2];
    ULONG DataTransferred;
    UCHAR Sense[FAB_SENSE_SIZE];
    // IN: DataLength bytes of data follow
};
static_assert(sizeof(FabProbeResult) == 44, "FabProbeResult layout");

struct FabProbePathInfo {
    NTSTATUS Status;
    ULONG Reserved;
    FabPathInfo Info;
};

struct FabProbePnpAnswers {
    NTSTATUS CapabilitiesStatus;
    ULONG Address;
    ULONG UINumber;
    ULONG DeviceStateWorking;  // DEVICE_POWER_STATE for PowerSystemWorking
    ULONG DeviceStateShutdown; // ... for PowerSystemShutdown
    NTSTATUS TargetStatus;
    ULONG TargetCount;
    ULONG TargetIsPdo;         // the one object reported is the device below the probe
};
