// The records and control codes that cross between the path filter, the bus enumerator, the class
// driver below the filter and applications. Every layout here is a wire layout: little-endian,
// fixed offsets, checked below.
#pragma once

#include "kernel.h"
#include "vyr/dpf/defines.h"

// ---------------------------------------------------------------------------------------------
// Filter-to-bus and application codes of the bus (tape family 0x84CA)
// ---------------------------------------------------------------------------------------------
constexpr ULONG IOCTL_TPBUS_REGISTER_PATH = 0x84cac000;
constexpr ULONG IOCTL_TPBUS_NOTIFY_PATH = 0x84cac010;
constexpr ULONG IOCTL_TPBUS_QUERY_PATHS = 0x84cac01c;
constexpr ULONG IOCTL_TPBUS_KEY_REQUEST = 0x84cac030;

// Private codes of the tape class driver below the filter.
constexpr ULONG IOC_GET_SERIAL_NUMBER = 0x84cac008;
constexpr ULONG IOC_GET_SCSI_ADDRESS = 0x84cac00c;
constexpr ULONG IOC_SET_STATUS_TABLE = 0x84cac014;
constexpr ULONG IOC_GET_DEVICE_ID_PAGE = 0x84cac018;
constexpr ULONG IOC_APPLY_SCSI_STATUS = 0x84cac020;
constexpr ULONG IOC_GET_DPF_FLAGS = 0x84cac024;
constexpr ULONG IOC_GET_STANDARD_INQUIRY = 0x84cac028;
constexpr ULONG IOC_SET_RESERVATION_KEY = 0x84cac034;

// Sizes of the class driver's private requests (input = output).
constexpr ULONG IOC_SERIAL_NUMBER_SIZE = 32;
constexpr ULONG IOC_SCSI_ADDRESS_SIZE = 8;
constexpr ULONG IOC_STATUS_TABLE_SIZE = 8;
constexpr ULONG IOC_DEVICE_ID_PAGE_SIZE = 560;
constexpr ULONG IOC_DPF_FLAGS_SIZE = 4;
constexpr ULONG IOC_STANDARD_INQUIRY_SIZE = 136;

// Flag word of IOC_GET_DPF_FLAGS.
constexpr ULONG DPF_FLAG_EXCLUSIVE_ACCESS = 0x1;
constexpr ULONG DPF_FLAG_PERSISTENT_NAMING = 0x2;
constexpr ULONG DPF_FLAG_KEY_MANAGEMENT = 0x4;

// Open/close notices and path states carried by PathNotification.
constexpr ULONG PATH_NOTIFY_STATE = 0;
constexpr ULONG PATH_NOTIFY_OPEN_CLOSE = 1;
constexpr ULONG IO_OPEN_REQ = 0;
constexpr ULONG IO_CLOSE_REQ = 1;

// The platform's SCSI address, as it travels in the records below.
struct VyrScsiAddress {
    ULONG Length;
    UCHAR PortNumber;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
};
static_assert(sizeof(VyrScsiAddress) == 8, "SCSI_ADDRESS is 8 bytes");

#pragma pack(push, 1)
struct PathRegistration {
    UCHAR fFailover;          // 0
    CHAR szSerialNumber[32];  // 1
    CHAR SerialTerminator;    // 33
    CHAR szWwnn[16];          // 34
    CHAR WwnnTerminator;      // 50
    UCHAR Pad51;              // 51
    VyrScsiAddress Address;   // 52
    UCHAR Pad60[4];           // 60
    ULONG64 pPathDevice;      // 64
    ULONG ulState;            // 72
    UCHAR fExclusiveAccess;   // 76
    UCHAR fPersistentNaming;  // 77
    UCHAR fKeyManagement;     // 78
    UCHAR Pad79;              // 79
    ULONG64 pStatusTable;     // 80 (out)
    ULONG ulDeviceNumber;     // 88 (out)
    UCHAR Pad92[4];           // 92
};

struct PathNotification {
    ULONG ulOperation;   // 0
    UCHAR Pad4[4];       // 4
    ULONG64 pPathDevice; // 8
    ULONG ulValue;       // 16: new state, or IO_OPEN_REQ / IO_CLOSE_REQ
    UCHAR Pad20[4];      // 20
};

struct PathInfoEntry {
    CHAR szDeviceName[64];    // 0
    CHAR szSerialNumber[64];  // 64
    UCHAR fFailover;          // 128
    UCHAR Pad129[3];          // 129
    VyrScsiAddress Address;   // 132
    UCHAR fAvailable;         // 140
    UCHAR fPrimary;           // 141
    UCHAR Pad142[2];          // 142
};

struct KeyRequestBlock {
    ULONG ulType;          // 0: 1 key-server exchange, 2 or 3 encryption diagnostic
    ULONG ulStatus;        // 4 (out)
    ULONG ulExchangeStatus; // 8 (out, disposition 3)
    UCHAR Carried[8];      // 12: returned unchanged
};

// The per-request block at the end of the system buffer of every request the bus sends down a
// path. The bus, the filter and the class driver each write their own fields.
struct ScsiStatus {
    union {
        ULONG64 ReservationKey;       // 0, bus: key to re-establish on this path (0 = same path)
        struct {
            NTSTATUS ReservationOutcome; // 0, filter: STATUS_ACCESS_DENIED = previous reservation stood
            ULONG Zero4;                 // 4
        };
    };
    ULONG ulBlockSize;        // 8, bus: 0 = variable
    UCHAR Zero12[8];          // 12
    ULONG ulResidual;         // 20, class driver: residual bytes; bus: 1 on a close with no open handle left
    UCHAR fSensePresent;      // 24
    UCHAR ucEncryption;       // 25: bit 1 reported, bit 0 on
    UCHAR ucSenseKey;         // 26
    UCHAR ucAsc;              // 27
    UCHAR ucAscq;             // 28
    UCHAR ucSenseByte2;       // 29: filemark bit 7, end of medium bit 6
    CHAR szWwpn[16];          // 30: WWPN of a reservation made for this request (byte 30 = 0: none)
    UCHAR Zero46[16];         // 46
    CHAR szHostKey[16];       // 62
    UCHAR Zero78[16];         // 78
    UCHAR fReservationActive; // 94, bus
    UCHAR Zero95;             // 95
};
#pragma pack(pop)

static_assert(sizeof(PathRegistration) == 96, "registration record");
static_assert(FIELD_OFFSET(PathRegistration, szSerialNumber) == 1, "registration layout");
static_assert(FIELD_OFFSET(PathRegistration, szWwnn) == 34, "registration layout");
static_assert(FIELD_OFFSET(PathRegistration, Address) == 52, "registration layout");
static_assert(FIELD_OFFSET(PathRegistration, pPathDevice) == 64, "registration layout");
static_assert(FIELD_OFFSET(PathRegistration, ulState) == 72, "registration layout");
static_assert(FIELD_OFFSET(PathRegistration, fExclusiveAccess) == 76, "registration layout");
static_assert(FIELD_OFFSET(PathRegistration, fKeyManagement) == 78, "registration layout");
static_assert(FIELD_OFFSET(PathRegistration, pStatusTable) == 80, "registration layout");
static_assert(FIELD_OFFSET(PathRegistration, ulDeviceNumber) == 88, "registration layout");
static_assert(sizeof(PathNotification) == 24, "notification record");
static_assert(FIELD_OFFSET(PathNotification, pPathDevice) == 8, "notification layout");
static_assert(FIELD_OFFSET(PathNotification, ulValue) == 16, "notification layout");
static_assert(sizeof(PathInfoEntry) == 144, "query entry");
static_assert(FIELD_OFFSET(PathInfoEntry, fFailover) == 128, "query entry layout");
static_assert(FIELD_OFFSET(PathInfoEntry, Address) == 132, "query entry layout");
static_assert(FIELD_OFFSET(PathInfoEntry, fAvailable) == 140, "query entry layout");
static_assert(FIELD_OFFSET(PathInfoEntry, fPrimary) == 141, "query entry layout");
static_assert(sizeof(KeyRequestBlock) == 20, "key request block");
static_assert(sizeof(ScsiStatus) == 96, "ScsiStatus block");
static_assert(FIELD_OFFSET(ScsiStatus, ulBlockSize) == 8, "ScsiStatus layout");
static_assert(FIELD_OFFSET(ScsiStatus, ulResidual) == 20, "ScsiStatus layout");
static_assert(FIELD_OFFSET(ScsiStatus, fSensePresent) == 24, "ScsiStatus layout");
static_assert(FIELD_OFFSET(ScsiStatus, ucSenseKey) == 26, "ScsiStatus layout");
static_assert(FIELD_OFFSET(ScsiStatus, ucSenseByte2) == 29, "ScsiStatus layout");
static_assert(FIELD_OFFSET(ScsiStatus, szWwpn) == 30, "ScsiStatus layout");
static_assert(FIELD_OFFSET(ScsiStatus, szHostKey) == 62, "ScsiStatus layout");
static_assert(FIELD_OFFSET(ScsiStatus, fReservationActive) == 94, "ScsiStatus layout");

constexpr ULONG PATH_QUERY_HEADER_SIZE = 4; // the size word before the entries
