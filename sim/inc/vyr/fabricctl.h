// The SCSI fabric's control interface: how a harness (a user-mode process of the testbed) builds and
// changes the world behind the path PDOs -- drives, paths, pulled cables, injected faults, drive
// controls -- through the control device \\.\VyrFabricCtl.
//
// Every code is METHOD_BUFFERED. Every record has one layout for 32- and 64-bit callers (no
// pointers, explicit padding, 8-byte fields at 8-byte offsets), checked below. A request whose
// input is not exactly the record's size fails with STATUS_INFO_LENGTH_MISMATCH, one whose output
// buffer is too small for the reply with STATUS_BUFFER_TOO_SMALL, one with a bad index, an unknown
// enumerator or a reserved field that is not zero with STATUS_INVALID_PARAMETER, one that finds the
// world full (FAB_MAX_DRIVES, FAB_MAX_PATHS, FAB_MAX_RULES) with STATUS_INSUFFICIENT_RESOURCES;
// a failed request changes nothing.
//
// Test-only: nothing of the shipped product includes this header.
#pragma once

#include "vyr/fabric.h"

// The control device is \Device\VyrFabric with the link \??\VyrFabricCtl.
constexpr const char *VYRFAB_CONTROL_WIN32_NAME = "\\\\.\\VyrFabricCtl";

// Hardware id of the root-enumerated fabric device and the service that drives it.
constexpr const char *VYRFAB_HARDWARE_ID = "root\\vyrfab";
constexpr const char *VYRFAB_SERVICE = "vyrfab";

constexpr ULONG FILE_DEVICE_VYRFAB = 0x00008FAB;
constexpr ULONG VyrFabCode(ULONG function, ULONG access)
{
    return (FILE_DEVICE_VYRFAB << 16) | (access << 14) | (function << 2) | 0 /* METHOD_BUFFERED */;
}

// in FabDriveConfig, out FabIndexReply.
constexpr ULONG IOCTL_VYRFAB_ADD_DRIVE = VyrFabCode(0x800, 0x0002 /* FILE_WRITE_ACCESS */);
// in FabAddPathRequest, out FabIndexReply. The path's PDO appears in the bus relations.
constexpr ULONG IOCTL_VYRFAB_ADD_PATH = VyrFabCode(0x801, 0x0002);
// in FabPathRequest. The path leaves the bus relations (a pulled cable); the PnP manager
// surprise-removes its PDO, and requests still sent to it fail with STATUS_DEVICE_NOT_CONNECTED.
// The drive loses the path's I_T nexus: its SCSI-2 reservation goes and its next command hears
// of the loss (unit attention 29/07). Pulling a pulled path succeeds and does nothing.
constexpr ULONG IOCTL_VYRFAB_PULL_PATH = VyrFabCode(0x802, 0x0002);
// in FabPathRequest. A pulled path comes back, as a new device node once the old one is gone.
// Bringing back a present path succeeds and does nothing.
constexpr ULONG IOCTL_VYRFAB_RESTORE_PATH = VyrFabCode(0x803, 0x0002);
// in FabFaultRequest.
constexpr ULONG IOCTL_VYRFAB_ADD_FAULT = VyrFabCode(0x804, 0x0002);
// in FabClearFaultsRequest.
constexpr ULONG IOCTL_VYRFAB_CLEAR_FAULTS = VyrFabCode(0x805, 0x0002);
// in FabDriveControlRequest.
constexpr ULONG IOCTL_VYRFAB_DRIVE_CONTROL = VyrFabCode(0x806, 0x0002);
// out FabTopologyHeader followed by FabDriveEntry[DriveCount] and FabPathEntry[PathCount]. An
// output buffer that holds the header but not every entry gets the header (BytesNeeded says how
// much to offer) and STATUS_BUFFER_OVERFLOW.
constexpr ULONG IOCTL_VYRFAB_QUERY_TOPOLOGY = VyrFabCode(0x807, 0 /* FILE_ANY_ACCESS */);
// in FabDriveRequest, out FabDriveState: what the drive and its medium look like now.
constexpr ULONG IOCTL_VYRFAB_QUERY_DRIVE = VyrFabCode(0x808, 0 /* FILE_ANY_ACCESS */);
// in FabReleaseHeldRequest. Lets commands held by FAB_FAULT_HOLD rules go on: those through a
// path, those to a drive, or all. Releasing when nothing is held succeeds and does nothing.
constexpr ULONG IOCTL_VYRFAB_RELEASE_HELD = VyrFabCode(0x809, 0x0002);
// in FabWaitHeldRequest, out FabHeldReply. Waits until at least Count commands are held (Count 0
// answers at once) and returns how many are. STATUS_IO_TIMEOUT when TimeoutMilliseconds (0: no
// limit) pass first, STATUS_NO_SUCH_DEVICE when the fabric goes away meanwhile.
constexpr ULONG IOCTL_VYRFAB_WAIT_HELD = VyrFabCode(0x80A, 0 /* FILE_ANY_ACCESS */);
// in FabChangerConfig, out FabIndexReply. A medium changer joins the world, its drive elements
// linked to the tape drives the record names. Changers and tape
// drives share one index space ("drive" indices): paths, faults of FAB_SCOPE_DRIVE, the topology
// and FAB_DRIVE_RESET take a changer's index as they take a drive's. IOCTL_VYRFAB_QUERY_DRIVE and
// the other drive operations on a changer fail with STATUS_INVALID_DEVICE_REQUEST.
constexpr ULONG IOCTL_VYRFAB_ADD_CHANGER = VyrFabCode(0x80B, 0x0002);
// in FabDriveRequest (a changer's index), out FabChangerState: where every cartridge is now.
// A tape drive's index fails with STATUS_INVALID_DEVICE_REQUEST.
constexpr ULONG IOCTL_VYRFAB_QUERY_CHANGER = VyrFabCode(0x80C, 0 /* FILE_ANY_ACCESS */);

constexpr ULONG FAB_MAX_DRIVES = 64;
constexpr ULONG FAB_MAX_PATHS = 256;
constexpr ULONG FAB_MAX_RULES = 8; // fault rules per path and per drive

// Strings are ASCII, printable, NUL-terminated within their field.
constexpr ULONG FAB_SERIAL_CHARS = 32;
constexpr ULONG FAB_PRODUCT_CHARS = 16;  // the INQUIRY product identification
constexpr ULONG FAB_REVISION_CHARS = 4;  // the INQUIRY product revision level

struct FabDriveConfig {
    CHAR szSerialNumber[FAB_SERIAL_CHARS + 1]; // 1 to 32 characters
    CHAR szProduct[FAB_PRODUCT_CHARS + 1];     // 1 to 16 characters
    CHAR szRevision[FAB_REVISION_CHARS + 1];   // 0 to 4 characters
    UCHAR fLoaded;         // a blank cartridge is in the drive at power-on
    UCHAR fWriteProtected; // the cartridge's write-protect tab
    UCHAR fKeyManaged;     // key-managed encryption: data commands fail until a key is loaded
    UCHAR Reserved[2];     // zero
    ULONG BlockSize;       // after power-on: 0 = variable-block mode, else fixed blocks of this size
    ULONG MaxBlockLength;  // READ BLOCK LIMITS maximum; 0 = the drive's default
    ULONG Reserved2;       // zero
    ULONG64 Wwnn;          // world-wide node name; 0 = none
    ULONG64 CapacityBytes; // bytes of block data the medium holds; 0 = FAB_DEFAULT_CAPACITY
    ULONG64 EarlyWarningBytes; // where early warning begins; 0 = the drive's default
};
static_assert(FIELD_OFFSET(FabDriveConfig, szProduct) == 33, "FabDriveConfig layout");
static_assert(FIELD_OFFSET(FabDriveConfig, szRevision) == 50, "FabDriveConfig layout");
static_assert(FIELD_OFFSET(FabDriveConfig, fLoaded) == 55, "FabDriveConfig layout");
static_assert(FIELD_OFFSET(FabDriveConfig, BlockSize) == 60, "FabDriveConfig layout");
static_assert(FIELD_OFFSET(FabDriveConfig, MaxBlockLength) == 64, "FabDriveConfig layout");
static_assert(FIELD_OFFSET(FabDriveConfig, Wwnn) == 72, "FabDriveConfig layout");
static_assert(FIELD_OFFSET(FabDriveConfig, CapacityBytes) == 80, "FabDriveConfig layout");
static_assert(FIELD_OFFSET(FabDriveConfig, EarlyWarningBytes) == 88, "FabDriveConfig layout");
static_assert(sizeof(FabDriveConfig) == 96, "FabDriveConfig layout");

constexpr ULONG64 FAB_DEFAULT_CAPACITY = 256ull << 20;

// A medium changer: storage slots, data transfer elements (its drives), import/export elements
// and one transport. The element addresses its SCSI commands use are FAB_CHANGER_*_ADDRESS plus
// the element's number from 0. Cartridges are numbered from 1 in the order of the slots that
// hold them at power-on; each carries the volume tag "VYR" followed by its number in four digits
// and "L8" (cartridge 3: "VYR0003L8").
constexpr ULONG FAB_CHANGER_MAX_SLOTS = 64;
constexpr ULONG FAB_CHANGER_MAX_DRIVES = 8;
constexpr ULONG FAB_CHANGER_MAX_PORTALS = 4; // import/export elements
constexpr USHORT FAB_CHANGER_TRANSPORT_ADDRESS = 0x0000;
constexpr USHORT FAB_CHANGER_PORTAL_ADDRESS = 0x0010;
constexpr USHORT FAB_CHANGER_DRIVE_ADDRESS = 0x0100;
constexpr USHORT FAB_CHANGER_SLOT_ADDRESS = 0x1000;

struct FabChangerConfig {
    CHAR szSerialNumber[FAB_SERIAL_CHARS + 1]; // 1 to 32 characters
    CHAR szProduct[FAB_PRODUCT_CHARS + 1];     // 1 to 16 characters
    CHAR szRevision[FAB_REVISION_CHARS + 1];   // 0 to 4 characters
    UCHAR Reserved;      // zero
    ULONG StorageSlots;  // 1 to FAB_CHANGER_MAX_SLOTS
    ULONG Drives;        // 0 to FAB_CHANGER_MAX_DRIVES
    ULONG ImportExport;  // 0 to FAB_CHANGER_MAX_PORTALS
    ULONG FullSlots;     // the first FullSlots storage slots hold a cartridge at power-on
    ULONG64 Wwnn;        // world-wide node name; 0 = none
    // The first LinkedDrives data transfer elements (0 to Drives) are the tape drives of these
    // indices, each a tape drive of the fabric that no other element stands for; the other
    // entries are zero. A cartridge moved into such an element is loaded into that drive (every
    // nexus of the drive hears 28/00) and one moved out is taken from it, unloaded or not; the
    // medium belongs to the cartridge, so its data go with it. A move into an element whose drive
    // holds a cartridge of its own fails with 5/3B/0D, one out of a drive whose medium removal an
    // initiator prevents with 5/53/02. Moves in and out of the other drive elements touch no drive.
    ULONG LinkedDrives;
    ULONG DriveIndex[FAB_CHANGER_MAX_DRIVES];
    ULONG Reserved2;     // zero
};
static_assert(FIELD_OFFSET(FabChangerConfig, szProduct) == 33, "FabChangerConfig layout");
static_assert(FIELD_OFFSET(FabChangerConfig, szRevision) == 50, "FabChangerConfig layout");
static_assert(FIELD_OFFSET(FabChangerConfig, Reserved) == 55, "FabChangerConfig layout");
static_assert(FIELD_OFFSET(FabChangerConfig, StorageSlots) == 56, "FabChangerConfig layout");
static_assert(FIELD_OFFSET(FabChangerConfig, FullSlots) == 68, "FabChangerConfig layout");
static_assert(FIELD_OFFSET(FabChangerConfig, Wwnn) == 72, "FabChangerConfig layout");
static_assert(FIELD_OFFSET(FabChangerConfig, LinkedDrives) == 80, "FabChangerConfig layout");
static_assert(FIELD_OFFSET(FabChangerConfig, DriveIndex) == 84, "FabChangerConfig layout");
static_assert(FIELD_OFFSET(FabChangerConfig, Reserved2) == 116, "FabChangerConfig layout");
static_assert(sizeof(FabChangerConfig) == 120, "FabChangerConfig layout");

// Which cartridge each element holds: 0 = none, else the cartridge's number.
struct FabChangerState {
    ULONG StorageSlots;
    ULONG Drives;
    ULONG ImportExport;
    ULONG Moves;          // MOVE MEDIUM commands that moved a cartridge
    USHORT Transport;
    UCHAR fPortalOpen;    // reserved for an open import/export door; always 0
    UCHAR Reserved[5];
    USHORT Slots[FAB_CHANGER_MAX_SLOTS];
    USHORT DriveElements[FAB_CHANGER_MAX_DRIVES];
    USHORT Portals[FAB_CHANGER_MAX_PORTALS];
};
static_assert(FIELD_OFFSET(FabChangerState, Moves) == 12, "FabChangerState layout");
static_assert(FIELD_OFFSET(FabChangerState, Transport) == 16, "FabChangerState layout");
static_assert(FIELD_OFFSET(FabChangerState, Slots) == 24, "FabChangerState layout");
static_assert(FIELD_OFFSET(FabChangerState, DriveElements) == 152, "FabChangerState layout");
static_assert(FIELD_OFFSET(FabChangerState, Portals) == 168, "FabChangerState layout");
static_assert(sizeof(FabChangerState) == 176, "FabChangerState layout");

// FabDriveEntry::DeviceKind.
enum FabDeviceKind : UCHAR {
    FAB_DEVICE_TAPE = 0,
    FAB_DEVICE_CHANGER = 1,
};

struct FabIndexReply {
    ULONG Index;
};
static_assert(sizeof(FabIndexReply) == 4, "FabIndexReply layout");

// A path is one way from a host adapter port to a drive. (PortNumber, PathId, TargetId, Lun) is
// its address and names one path only. Each port has a WWPN of its own, derived from its number
// (FabPortWwpn below).
struct FabAddPathRequest {
    ULONG DriveIndex;
    UCHAR PortNumber;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
};
static_assert(FIELD_OFFSET(FabAddPathRequest, PortNumber) == 4, "FabAddPathRequest layout");
static_assert(sizeof(FabAddPathRequest) == 8, "FabAddPathRequest layout");

struct FabPathRequest {
    ULONG PathIndex;
};
static_assert(sizeof(FabPathRequest) == 4, "FabPathRequest layout");

enum FabFaultScope : UCHAR {
    FAB_SCOPE_PATH = 0,  // commands through one path
    FAB_SCOPE_DRIVE = 1, // commands to one drive, through any of its paths
    FAB_SCOPE_ALL = 2,   // FabClearFaultsRequest only: every rule of every path and drive
};

enum FabFaultKind : UCHAR {
    // CHECK CONDITION with the fixed-format sense (SenseKey | SenseFlags, Asc, Ascq) instead of
    // running the command; the request completes with STATUS_SUCCESS.
    FAB_FAULT_SENSE = 0,
    // The command does not reach the drive; the request completes with Status (an error status:
    // STATUS_IO_TIMEOUT, STATUS_DEVICE_NOT_CONNECTED, STATUS_NO_MEDIA_IN_DEVICE, ...).
    FAB_FAULT_STATUS = 1,
    // A WRITE(6) of which only the first BlocksWritten blocks reach the tape, then fails: with the
    // sense triple (CHECK CONDITION, the residual in the information field -- blocks in fixed
    // mode, bytes in variable mode -- and DataTransferred = the bytes written), or, when Status is
    // not 0, with that transport failure (DataTransferred = the bytes written, no sense). Only
    // WRITE(6) commands match such a rule.
    FAB_FAULT_WRITE_AFTER_BLOCKS = 2,
    // Another initiator (a nexus of no path) holds a reservation of the drive while the command
    // runs: the drive answers as it answers a command from a nexus that does not hold it.
    FAB_FAULT_RESERVATION = 3,
    // The command waits before it reaches the drive until IOCTL_VYRFAB_RELEASE_HELD or a
    // IOCTL_VYRFAB_CLEAR_FAULTS of its path, its drive or everything lets it go, then runs as if
    // no rule had taken it. A command held on a path that is pulled is let go at once and fails
    // with STATUS_DEVICE_NOT_CONNECTED; the fabric's removal lets every held command go. Takes no
    // sense, status or block count.
    FAB_FAULT_HOLD = 4,
};

enum FabFaultForm : UCHAR {
    FAB_FORM_ONE_SHOT = 0,      // the next matching command, then the rule is gone
    FAB_FORM_EVERY_NTH = 1,     // matching commands number N, 2N, 3N, ... from when the rule was added
    FAB_FORM_UNTIL_CLEARED = 2, // every matching command
    // Each matching command with a chance of 1 in N, drawn from a generator seeded with Seed: the
    // same seed gives the same commands on every run.
    FAB_FORM_RANDOM = 3,
};

// Rules of a path are tried before those of its drive, each list in the order the rules were
// added. Every rule that matches a command counts it; the first rule that fires decides, and the
// rules after it do not see the command.
struct FabFaultRequest {
    UCHAR Scope;      // FAB_SCOPE_PATH or FAB_SCOPE_DRIVE
    UCHAR Kind;       // FabFaultKind
    UCHAR Form;       // FabFaultForm
    UCHAR fOpcodeFilter; // only commands with this operation code match (WRITE(6) only for WRITE_AFTER_BLOCKS)
    UCHAR Opcode;
    UCHAR SenseKey;   // 0..15
    UCHAR SenseFlags; // filemark, end-of-medium, incorrect-length bits (0x80, 0x40, 0x20) only
    UCHAR Asc;
    UCHAR Ascq;
    UCHAR Reserved[3]; // zero
    ULONG Index;       // the path or drive
    ULONG EveryNth;    // FAB_FORM_EVERY_NTH and FAB_FORM_RANDOM: N >= 1; otherwise 0
    NTSTATUS Status;   // FAB_FAULT_STATUS: an error status; WRITE_AFTER_BLOCKS: 0 or an error status
    ULONG BlocksWritten; // FAB_FAULT_WRITE_AFTER_BLOCKS: K
    ULONG Seed;          // FAB_FORM_RANDOM: the generator's seed; otherwise 0
};
static_assert(FIELD_OFFSET(FabFaultRequest, Asc) == 7, "FabFaultRequest layout");
static_assert(FIELD_OFFSET(FabFaultRequest, Index) == 12, "FabFaultRequest layout");
static_assert(FIELD_OFFSET(FabFaultRequest, EveryNth) == 16, "FabFaultRequest layout");
static_assert(FIELD_OFFSET(FabFaultRequest, Status) == 20, "FabFaultRequest layout");
static_assert(FIELD_OFFSET(FabFaultRequest, BlocksWritten) == 24, "FabFaultRequest layout");
static_assert(FIELD_OFFSET(FabFaultRequest, Seed) == 28, "FabFaultRequest layout");
static_assert(sizeof(FabFaultRequest) == 32, "FabFaultRequest layout");

struct FabClearFaultsRequest {
    UCHAR Scope;       // FabFaultScope
    UCHAR Reserved[3]; // zero
    ULONG Index;       // the path or drive; 0 with FAB_SCOPE_ALL
};
static_assert(FIELD_OFFSET(FabClearFaultsRequest, Index) == 4, "FabClearFaultsRequest layout");
static_assert(sizeof(FabClearFaultsRequest) == 8, "FabClearFaultsRequest layout");

// Which held commands IOCTL_VYRFAB_RELEASE_HELD lets go: those through path Index
// (FAB_SCOPE_PATH), those to drive Index (FAB_SCOPE_DRIVE), or all (FAB_SCOPE_ALL, Index 0).
struct FabReleaseHeldRequest {
    UCHAR Scope;       // FabFaultScope
    UCHAR Reserved[3]; // zero
    ULONG Index;
};
static_assert(FIELD_OFFSET(FabReleaseHeldRequest, Index) == 4, "FabReleaseHeldRequest layout");
static_assert(sizeof(FabReleaseHeldRequest) == 8, "FabReleaseHeldRequest layout");

struct FabWaitHeldRequest {
    ULONG Count;
    ULONG TimeoutMilliseconds; // 0 = no limit
};
static_assert(FIELD_OFFSET(FabWaitHeldRequest, TimeoutMilliseconds) == 4, "FabWaitHeldRequest layout");
static_assert(sizeof(FabWaitHeldRequest) == 8, "FabWaitHeldRequest layout");

struct FabHeldReply {
    ULONG Held; // commands held now
};
static_assert(sizeof(FabHeldReply) == 4, "FabHeldReply layout");

enum FabDriveOperation : ULONG {
    FAB_DRIVE_LOAD = 0,          // insert and load a cartridge: Value 0 = the one taken out last, 1 = a blank one
    FAB_DRIVE_UNLOAD = 1,        // take the cartridge out (Value: 0)
    FAB_DRIVE_RESET = 2,         // power cycle (Value: 0): reservations gone, unit attention to every nexus
    FAB_DRIVE_WRITE_PROTECT = 3, // Value: 1 = protect the cartridge, 0 = allow writes
    FAB_DRIVE_KEY_MANAGED = 4,   // Value: 1 = key-managed encryption on, 0 = off
    FAB_DRIVE_KEY_PAGE_LENGTH = 5, // Value: page length of the key request page 0x25/0xFF (144 to
                                   // 65280; 0 = the usual 144)
};

struct FabDriveControlRequest {
    ULONG DriveIndex;
    ULONG Operation; // FabDriveOperation
    ULONG Value;     // 0 or 1, or a length, as the operation says
};
static_assert(sizeof(FabDriveControlRequest) == 12, "FabDriveControlRequest layout");

struct FabDriveRequest {
    ULONG DriveIndex;
};
static_assert(sizeof(FabDriveRequest) == 4, "FabDriveRequest layout");

enum FabCartridgeState : UCHAR {
    FAB_CARTRIDGE_NONE = 0,     // the drive is empty
    FAB_CARTRIDGE_UNLOADED = 1, // in the drive after UNLOAD; not ready until LOAD
    FAB_CARTRIDGE_LOADED = 2,
};

struct FabDriveState {
    UCHAR Cartridge;       // FabCartridgeState
    UCHAR fWriteProtected;
    UCHAR fEndOfMedium;    // a write ran out of space and nothing was freed since
    UCHAR fScsi2Reserved;  // a RESERVE(6) is held by some nexus
    UCHAR fPrReserved;     // a persistent reservation is held
    UCHAR fKeyManaged;
    UCHAR fKeyLoaded;
    UCHAR Reserved;
    ULONG BlockSize;       // current mode: 0 = variable
    ULONG Registrations;   // persistent reservation registrations
    ULONG64 Position;      // logical object identifier
    ULONG64 Blocks;
    ULONG64 Filemarks;
    ULONG64 DataBytes;     // bytes of block data on the medium
    ULONG64 Scsi2Holder;   // nexus of the RESERVE(6) holder when fScsi2Reserved
};
static_assert(FIELD_OFFSET(FabDriveState, BlockSize) == 8, "FabDriveState layout");
static_assert(FIELD_OFFSET(FabDriveState, Position) == 16, "FabDriveState layout");
static_assert(FIELD_OFFSET(FabDriveState, Scsi2Holder) == 48, "FabDriveState layout");
static_assert(sizeof(FabDriveState) == 56, "FabDriveState layout");

struct FabTopologyHeader {
    ULONG BytesNeeded; // header and every entry
    ULONG DriveCount;
    ULONG PathCount;
    ULONG Reserved;
};
static_assert(sizeof(FabTopologyHeader) == 16, "FabTopologyHeader layout");

struct FabDriveEntry {
    ULONG Index;
    ULONG CommandsSeen;  // commands that reached the drive's fault rules
    ULONG FaultsFired;   // of those, the ones a drive rule took
    ULONG RuleCount;
    CHAR szSerialNumber[FAB_SERIAL_CHARS + 1];
    CHAR szProduct[FAB_PRODUCT_CHARS + 1];
    UCHAR DeviceKind; // FabDeviceKind
    UCHAR Reserved[5];
    ULONG64 Wwnn;
};
static_assert(FIELD_OFFSET(FabDriveEntry, DeviceKind) == 66, "FabDriveEntry layout");
static_assert(FIELD_OFFSET(FabDriveEntry, szSerialNumber) == 16, "FabDriveEntry layout");
static_assert(FIELD_OFFSET(FabDriveEntry, szProduct) == 49, "FabDriveEntry layout");
static_assert(FIELD_OFFSET(FabDriveEntry, Wwnn) == 72, "FabDriveEntry layout");
static_assert(sizeof(FabDriveEntry) == 80, "FabDriveEntry layout");

struct FabPathEntry {
    ULONG Index;
    ULONG DriveIndex;
    UCHAR PortNumber;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR fPulled;     // out of the bus relations
    UCHAR fHasPdo;     // a PDO stands for the path (a pulled path keeps its PDO until REMOVE)
    UCHAR Reserved[2];
    ULONG CommandsSeen; // commands that reached the path's fault rules
    ULONG FaultsFired;  // of those, the ones a path rule took
    ULONG RuleCount;
    CHAR szInitiatorWwpn[17];
    UCHAR Reserved2[3];
    ULONG64 Nexus;
};
static_assert(FIELD_OFFSET(FabPathEntry, PortNumber) == 8, "FabPathEntry layout");
static_assert(FIELD_OFFSET(FabPathEntry, fPulled) == 12, "FabPathEntry layout");
static_assert(FIELD_OFFSET(FabPathEntry, CommandsSeen) == 16, "FabPathEntry layout");
static_assert(FIELD_OFFSET(FabPathEntry, szInitiatorWwpn) == 28, "FabPathEntry layout");
static_assert(FIELD_OFFSET(FabPathEntry, Nexus) == 48, "FabPathEntry layout");
static_assert(sizeof(FabPathEntry) == 56, "FabPathEntry layout");

// The WWPN of host adapter port `port`: 16 upper-case hex characters and a terminator.
inline void FabPortWwpn(UCHAR port, CHAR (&wwpn)[17])
{
    static const char digits[] = "0123456789ABCDEF";
    const char prefix[] = "5FAB0000000000";
    for (ULONG i = 0; i < 14; i++)
        wwpn[i] = prefix[i];
    wwpn[14] = digits[port >> 4];
    wwpn[15] = digits[port & 15];
    wwpn[16] = 0;
}

// The I_T nexus of a path: the initiator port and the target port (path id, target id) it joins.
// Logical units behind one target port share it, as in SCSI.
inline ULONG64 FabPathNexus(UCHAR port, UCHAR pathId, UCHAR targetId)
{
    return 0x0FAB000000000000ull | ((ULONG64)port << 16) | ((ULONG64)pathId << 8) | targetId;
}
