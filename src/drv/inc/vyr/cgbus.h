// The records and control codes between the changer path filter and the changer bus enumerator
// (family 0x84C9). Wire layouts: little-endian, fixed offsets, checked below.
#pragma once

#include "kernel.h"
#include "vyr/tpbus.h"

constexpr ULONG IOCTL_CGBUS_REGISTER_PATH = 0x84c9c000;
constexpr ULONG IOCTL_CGBUS_NOTIFY_PATH = 0x84c9c010;
constexpr ULONG IOCTL_CGBUS_QUERY_PATHS = 0x84c9c01c;

// Private codes of the changer class driver below the changer filter.
constexpr ULONG IOC_CG_GET_SERIAL_NUMBER = 0x84c9c008;
constexpr ULONG IOC_CG_GET_SCSI_ADDRESS = 0x84c9c00c;
constexpr ULONG IOC_CG_SET_STATUS_TABLE = 0x84c9c014;

#pragma pack(push, 1)
// A changer path's registration (input and output). No node name and no access, naming or key
// flags: a changer path is its serial number and its address.
struct ChangerPathRegistration {
    UCHAR fFailover;         // 0
    CHAR szSerialNumber[32]; // 1
    UCHAR Pad33[3];          // 33
    VyrScsiAddress Address;  // 36
    UCHAR Pad44[4];          // 44
    ULONG64 pPathDevice;     // 48
    ULONG ulState;           // 56
    UCHAR Pad60[4];          // 60
    ULONG64 pStatusTable;    // 64 (out)
    ULONG ulDeviceNumber;    // 72 (out)
    UCHAR Pad76[4];          // 76
};

// A changer path's new Plug and Play state: the changer filter reports nothing else.
struct ChangerPathNotification {
    ULONG64 pPathDevice; // 0
    ULONG ulState;       // 8
    UCHAR Pad12[4];      // 12
};
#pragma pack(pop)

static_assert(sizeof(ChangerPathRegistration) == 80, "changer registration record");
static_assert(FIELD_OFFSET(ChangerPathRegistration, szSerialNumber) == 1, "changer registration layout");
static_assert(FIELD_OFFSET(ChangerPathRegistration, Address) == 36, "changer registration layout");
static_assert(FIELD_OFFSET(ChangerPathRegistration, pPathDevice) == 48, "changer registration layout");
static_assert(FIELD_OFFSET(ChangerPathRegistration, ulState) == 56, "changer registration layout");
static_assert(FIELD_OFFSET(ChangerPathRegistration, pStatusTable) == 64, "changer registration layout");
static_assert(FIELD_OFFSET(ChangerPathRegistration, ulDeviceNumber) == 72, "changer registration layout");
static_assert(sizeof(ChangerPathNotification) == 16, "changer notification record");
static_assert(FIELD_OFFSET(ChangerPathNotification, ulState) == 8, "changer notification layout");
