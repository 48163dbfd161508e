// The testbed's tape drive: a SCSI sequential-access logical unit as an initiator sees it through
// the fabric. One routine runs one command (a FabScsiRequest) for one I_T nexus; the harness
// routines below play the operator (cartridges, write-protect tab, power switch) and let tests
// look at the medium directly.
//
// Test-only: nothing of the shipped product includes this header. Written in the driver dialect
// (pool memory, kernel locks, no exceptions) so that it also builds into Windows images.
//
// What the drive reports, in brief (details at each declaration and in the sources beside it):
//
// - Medium: one partition of data blocks and filemarks. The logical object identifier counts both;
//   position 0 is beginning of partition (BOP), the position after the last object is end of data
//   (EOD). A write, WRITE FILEMARKS or ERASE at position p first discards every object from p on
//   (WRITE FILEMARKS with a count of 0 only flushes, and changes nothing).
//   Capacity counts block bytes only; filemarks take none. A write that leaves the data at or past
//   the early-warning point completes and then reports CHECK CONDITION, NO SENSE, EOM, 00/02 with
//   VALID and information 0. A block that does not fit is not written: VOLUME OVERFLOW 0D/00/02 with
//   EOM, VALID and the residual; from then on nothing more is written at end of data (blocks nor
//   filemarks) until a write, filemark or erase at an earlier position frees space.
//
// - Sense: fixed format (0x70, 18 bytes). Byte 2: filemark 0x80, EOM 0x40, ILI 0x20, sense key in
//   bits 0-3. Bytes 3-6: information (big-endian, signed residual) when bit 7 of byte 0 (VALID) is
//   set. Byte 7: 10. Bytes 12/13: ASC/ASCQ. Bytes 15-17: sense-key specific; for 5/24/00 and
//   5/26/00 SKSV with the field pointer (C/D set for the CDB, clear for the parameter list).
//
// - READ(10) and WRITE(10) are taken as READ(6) and WRITE(6) with a 16-bit transfer length in
//   bytes 7-8 and the FIXED/SILI bits in byte 1; the logical block address must be 0 (the tape reads
//   and writes where it stands), else ILLEGAL REQUEST 5/24/00.
//
// - Residuals: READ, VERIFY and WRITE report requested minus done, in blocks (fixed) or bytes
//   (variable); SPACE reports requested count minus count spaced, so a backward space that stops
//   early reports a negative number.
//
// - Unit attention, once per I_T nexus, before anything but INQUIRY, REQUEST SENSE and REPORT LUNS:
//   29/00 after power-on (a nexus seen for the first time counts as seeing the power-on), 29/03
//   after a logical unit reset (not to the nexus that asked for it), 29/07 after the loss of that
//   nexus, 28/00 after a cartridge was loaded (not to the nexus whose LOAD command loaded it),
//   2A/03, 2A/04, 2A/05 after persistent-reservation changes made by another nexus.
//
// - Not ready: 2/3A/00 without a cartridge, 2/04/02 with a cartridge that an UNLOAD left in the
//   drive (LOAD brings it back).
//
// - Buffers: FabScsiRequest.Data and DataLength bound every transfer. A buffer counts only when its
//   direction matches the command. Allocation lengths (INQUIRY, MODE SENSE, REQUEST SENSE, PR IN,
//   ...) are clipped to the buffer, as to the data available; DataTransferred says how much moved.
//   A command whose CDB asks to move more data than the buffer holds (READ, WRITE, VERIFY with
//   byte compare, MODE SELECT, PERSISTENT RESERVE OUT, SEND DIAGNOSTIC) is refused before anything
//   happens: ILLEGAL REQUEST 5/24/00 with the field pointer on the length field.
//
// - Reservations: SCSI-2 RESERVE(6)/RELEASE(6) and persistent reservations (types 1, 3, 5, 6, logical
//   unit scope, no APTPL) held per I_T nexus. Under a SCSI-2 reservation of another nexus every
//   command conflicts but INQUIRY, REQUEST SENSE, REPORT LUNS, PREVENT ALLOW with prevent 0 and
//   RELEASE (GOOD, releases nothing); PERSISTENT RESERVE IN/OUT conflict for every nexus, the
//   holder too, and RESERVE/RELEASE conflict while any registration exists. Under a persistent
//   reservation of another nexus (registrants of a registrants-only type count as holders),
//   commands that move the tape or change the drive or its medium conflict; under Write Exclusive,
//   commands that only look (TEST UNIT READY, MODE SENSE, READ POSITION, READ BLOCK LIMITS) are
//   allowed; INQUIRY, REQUEST SENSE, REPORT LUNS, PERSISTENT RESERVE IN/OUT and PREVENT ALLOW with
//   prevent 0 always are. A logical unit reset or the loss of the holder's nexus ends a SCSI-2
//   reservation; a power-on ends everything. A command that made a reservation leaves a
//   report for its nexus (TapeDriveQueryReservationReport): the initiator port WWPN and a host key,
//   16 upper-case hexadecimal digits: the reservation key for a persistent reservation, the 64-bit
//   nexus identifier for a SCSI-2 reservation.
//
// - Key-managed encryption: while no key is loaded, READ, READ REVERSE, WRITE and VERIFY fail with
//   DATA PROTECT 7/EF/01 and the drive raises a key request; the key request message is mode page
//   0x25 subpage 0xFF (layout below); a MODE SELECT of that page loads a key. The model keeps the
//   data in the clear: it only enforces that a key is loaded. The key is dropped at unload, eject,
//   power-on reset and when key-managed mode is switched off.
#pragma once

#include "kernel.h"
#include "vyr/fabric.h"

// Pool tags, as four characters in a pool dump.
constexpr ULONG TapePoolTag(const char (&t)[5])
{
    return (ULONG)(UCHAR)t[0] | ((ULONG)(UCHAR)t[1] << 8) | ((ULONG)(UCHAR)t[2] << 16) | ((ULONG)(UCHAR)t[3] << 24);
}
constexpr ULONG TAPE_TAG_DRIVE = TapePoolTag("VTpd");  // the drive (non-paged: holds its lock)
constexpr ULONG TAPE_TAG_DATA = TapePoolTag("VTpm");   // medium data chunks (paged)
constexpr ULONG TAPE_TAG_INDEX = TapePoolTag("VTpi");  // object index and chunk table (paged)
constexpr ULONG TAPE_TAG_CARTRIDGE = TapePoolTag("VTpc"); // a library cartridge's record (paged)

constexpr ULONG TAPE_SERIAL_LENGTH = 32;
constexpr ULONG TAPE_WWNN_LENGTH = 16;
constexpr ULONG TAPE_DEFAULT_MAX_BLOCK = 0x100000; // READ BLOCK LIMITS maximum when the config says 0
constexpr ULONG TAPE_MAX_BLOCK_LIMIT = 0xFFFFFF;   // largest block a 24-bit transfer length can name
constexpr ULONG TAPE_MAX_NEXUS = 32;               // I_T nexuses the drive keeps state for
constexpr UCHAR TAPE_DENSITY_CODE = 0x80;          // the one (vendor-range) density of the medium
constexpr ULONG TAPE_MAX_KEY_LENGTH = 32;

struct TapeDriveConfig {
    // Serial number as VPD page 0x80 reports it: 1 to 32 printable ASCII characters.
    PCSTR SerialNumber;
    // World-wide node name, 16 hexadecimal digits; reported as the logical unit's NAA designator
    // (8 bytes) in VPD page 0x83. NULL or "" leaves the NAA designator out.
    PCSTR Wwnn;
    // Standard INQUIRY identification, at most 8/16/4 printable characters, padded with spaces.
    PCSTR VendorId;
    PCSTR ProductId;
    PCSTR ProductRevision;
    // Bytes of block data the medium holds (> 0).
    ULONG64 CapacityBytes;
    // Data bytes from BOP at which early warning begins; 0 = capacity less a sixteenth. Must not
    // exceed the capacity.
    ULONG64 EarlyWarningBytes;
    // Block size after power-on: 0 = variable-block mode, else fixed blocks of this many bytes.
    ULONG BlockSize;
    // Largest block (READ BLOCK LIMITS); 0 = TAPE_DEFAULT_MAX_BLOCK; at most TAPE_MAX_BLOCK_LIMIT.
    ULONG MaxBlockLength;
    // A blank cartridge is loaded at power-on (else the drive starts empty).
    BOOLEAN CartridgeLoaded;
    // The cartridge's write-protect tab.
    BOOLEAN WriteProtected;
    // Key-managed encryption mode.
    BOOLEAN KeyManaged;
};

struct TapeDrive;

// What a harness sees of the medium (TapeDriveQueryMedium).
enum TapeCartridgeState : ULONG {
    TAPE_CARTRIDGE_NONE = 0,     // drive empty
    TAPE_CARTRIDGE_UNLOADED = 1, // in the drive after UNLOAD; not ready until LOAD
    TAPE_CARTRIDGE_LOADED = 2,   // ready
};

struct TapeMediumInfo {
    TapeCartridgeState State;
    BOOLEAN WriteProtected;
    BOOLEAN EndOfMedium;      // a write ran out of space and nothing was freed since
    ULONG BlockSize;          // current mode: 0 = variable
    ULONG64 Position;         // logical object identifier (meaningful while loaded)
    ULONG64 Objects;          // blocks + filemarks = the EOD position
    ULONG64 Blocks;
    ULONG64 Filemarks;
    ULONG64 DataBytes;        // bytes of block data
};

// The reservation a command made (TapeDriveQueryReservationReport).
struct TapeReservationReport {
    BOOLEAN Persistent;       // persistent reservation (else SCSI-2 RESERVE)
    UCHAR Type;               // persistent reservation type; 0 for SCSI-2
    CHAR Wwpn[17];            // initiator port of the reserving nexus, as given to TapeDriveExecute
    CHAR HostKey[17];         // 16 upper-case hexadecimal digits (see above)
};

// The drive's reservation state as a whole (TapeDriveQueryReservations).
struct TapeReservationState {
    BOOLEAN Scsi2Reserved;
    ULONG64 Scsi2Holder;      // nexus
    BOOLEAN PrReserved;
    ULONG64 PrHolder;         // nexus that made the persistent reservation
    UCHAR PrType;
    ULONG64 PrKey;            // the holder's reservation key
    ULONG PrGeneration;
    ULONG Registrations;
};

struct TapeEncryptionState {
    BOOLEAN KeyManaged;
    BOOLEAN KeyLoaded;
    BOOLEAN RequestPending;
    UCHAR RequestReason;      // TAPE_KEY_REASON_*
    ULONG RequestSequence;
    UCHAR KeyLength;
    UCHAR Key[TAPE_MAX_KEY_LENGTH];
};

// ---------------------------------------------------------------------------------------------
// Key-managed encryption
// ---------------------------------------------------------------------------------------------
// Sense of a command refused for want of a key: DATA PROTECT, ASC 0xEF, ASCQ = the reason of the
// key request it raised.
constexpr UCHAR TAPE_ASC_KEY_REQUEST = 0xEF;
constexpr UCHAR TAPE_KEY_REASON_NONE = 0x00;
constexpr UCHAR TAPE_KEY_REASON_DATA = 0x01;     // READ/WRITE/VERIFY without a key (ASCQ 0x01)
constexpr UCHAR TAPE_KEY_REASON_CHECK = 0x02;    // encryption control diagnostic 0x01 (ASCQ 0x02)
constexpr UCHAR TAPE_KEY_REASON_EXCHANGE = 0x03; // encryption control diagnostic 0x00 (ASCQ 0x03)

// Mode page 0x25 subpage 0xFF, subpage format: page byte 0 = 0x65 (SPF | 0x25), byte 1 = 0xFF,
// bytes 2-3 = page length (big-endian). All integers big-endian; offsets below count from byte 4
// of the page (the first byte after the page header), so a relay that reads MODE SENSE(10) with
// DBD set finds offset 0 at byte 12 of the mode data.
//
// MODE SENSE (the key request message, page length 144, current values only):
//   0-3     u32  bytes that follow (140)
//   4-7     u32  message format, TAPE_KEY_MESSAGE_FORMAT
//   8-11    u32  key request sequence number (0 until the first request; +1 with each new one)
//   12           request state: 0 none pending, 1 pending
//   13           reason of the request (TAPE_KEY_REASON_*)
//   14           bit 0 key-managed mode, bit 1 key loaded (encryption on)
//   15           length of the loaded key, 0 when none
//   16-47        serial number (32 ASCII characters, space-padded)
//   48-63        WWNN (16 hexadecimal characters; '0's when none)
//   64-79        product identification (16 ASCII characters)
//   80-123       zero
//   124-143      echo block, which a key server hands back unchanged:
//     124        request state again: 0 none pending, 1 pending (so an exchange that ends before any
//                key reached the drive reads as not done)
//     125        reason
//     126-127    zero
//     128-131    u32 sequence number
//     132-143    the last 12 characters of the serial number
//   144-         only in a page lengthened by TapeDriveSetKeyPageLength: vendor bytes, byte i
//                holding the low 8 bits of i; bytes 0-3 then count them too. Such a page does not
//                fit MODE SENSE(6): asking for it there is refused with 5/24/00 (page code field).
//
// MODE SELECT (a key server's answer, page length 48 or more):
//   0-3     u32  bytes that follow (ignored beyond the page length)
//   4-7     u32  message format, TAPE_KEY_MESSAGE_FORMAT
//   8-11    u32  sequence number of the request answered; 0 answers whatever is pending
//   12           function: TAPE_KEY_FUNCTION_SET or TAPE_KEY_FUNCTION_CLEAR
//   13           zero
//   14-15   u16  key length, 1 to 32 (SET)
//   16-47        key bytes
// A wrong format, function, length or a sequence number other than the current request's is
// refused with 5/26/00 and changes nothing; outside key-managed mode the page is refused likewise.
constexpr UCHAR TAPE_KEY_PAGE = 0x25;
constexpr UCHAR TAPE_KEY_SUBPAGE = 0xFF;
constexpr ULONG TAPE_KEY_MESSAGE_FORMAT = 0x00000001;
constexpr USHORT TAPE_KEY_SENSE_PAGE_LENGTH = 144;
// The longest key request page: MODE SENSE(10) of every page (0x3F/0xFF) with the block
// descriptor still has to fit its 16-bit mode data length.
constexpr USHORT TAPE_KEY_MAX_PAGE_LENGTH = 0xFF00;
static_assert(8 + 8 + 2 * 16 + 4 + (ULONG)TAPE_KEY_MAX_PAGE_LENGTH - 2 <= 0xFFFF, "longest key page");
constexpr USHORT TAPE_KEY_SELECT_MIN_LENGTH = 48;
constexpr UCHAR TAPE_KEY_FUNCTION_SET = 0x01;
constexpr UCHAR TAPE_KEY_FUNCTION_CLEAR = 0x02;
constexpr ULONG TAPE_KEY_ECHO_OFFSET = 124;
constexpr ULONG TAPE_KEY_ECHO_LENGTH = 20;

// SEND DIAGNOSTIC with PF and the vendor page 0x80 "encryption control": page code 0x80, a
// reserved byte, page length 6 or more, then E0 00 01 00 20 X.
//   X = 0x0F  check of the encryption unit: GOOD.
//   X = 0x01  key-path check (key-managed mode only): raises a key request of reason CHECK and fails
//             with 7/EF/02; the request counts as answered once its message was read (MODE SENSE of
//             page 0x25/0xFF), and the next such diagnostic then succeeds.
//   X = 0x00  key exchange (key-managed mode only): raises a request of reason EXCHANGE, 7/EF/03;
//             answered when a key is loaded, after which the next such diagnostic succeeds.
// Other pages or functions, and X = 0x01/0x00 outside key-managed mode: 5/26/00.
constexpr UCHAR TAPE_DIAG_ENCRYPTION_PAGE = 0x80;

// ---------------------------------------------------------------------------------------------
// The drive
// ---------------------------------------------------------------------------------------------

/*++
Routine Description:
    Builds a drive in its power-on state from a configuration, which is copied.
Return Value:
    STATUS_SUCCESS; STATUS_INVALID_PARAMETER for a configuration the drive cannot have (the
    field rules above); STATUS_INSUFFICIENT_RESOURCES.
IRQL: PASSIVE_LEVEL.
--*/
NTSTATUS TapeDriveCreate(const TapeDriveConfig *Config, TapeDrive **Drive);

// Frees the drive and its medium. No command may be running on it.
VOID TapeDriveDelete(TapeDrive *Drive);

/*++
Routine Description:
    Runs one SCSI command as the logical unit received it over the I_T nexus Nexus, whose
    initiator port is InitiatorWwpn (16 hexadecimal characters, or NULL). Fills ScsiStatus,
    DataTransferred, Sense and SenseLength (18 on CHECK CONDITION, else 0). Commands run one at a
    time per drive; several nexuses may call at once.
    Status BUSY: the drive keeps state for TAPE_MAX_NEXUS nexuses and this one is past that.
IRQL: PASSIVE_LEVEL (the drive's lock is a fast mutex and its medium is paged).
--*/
VOID TapeDriveExecute(TapeDrive *Drive, ULONG64 Nexus, PCSTR InitiatorWwpn, FabScsiRequest *Request);

// ---------------------------------------------------------------------------------------------
// Harness: the operator's hands and the test's eyes
// ---------------------------------------------------------------------------------------------

// Inserts and loads a cartridge: the one ejected last (its data kept), or with Blank a new empty
// one. Every nexus gets unit attention 28/00. A cartridge that an UNLOAD left in the drive is
// loaded as it is (Blank erases it). STATUS_INVALID_DEVICE_STATE when one is already loaded.
NTSTATUS TapeDriveLoadCartridge(TapeDrive *Drive, BOOLEAN Blank);

// Takes the cartridge out. STATUS_NO_MEDIA_IN_DEVICE without one; STATUS_INVALID_DEVICE_STATE
// while a nexus prevents medium removal (the eject button does nothing then).
NTSTATUS TapeDriveEjectCartridge(TapeDrive *Drive);

// ---------------------------------------------------------------------------------------------
// Library cartridges: a medium changer's hands
// ---------------------------------------------------------------------------------------------
// A cartridge outside every drive, as a library keeps it in a slot: its medium (objects and
// write-protect tab) goes with it from drive to drive. A new one is blank.
struct TapeCartridge;

NTSTATUS TapeCartridgeCreate(TapeCartridge **Cartridge);
// Frees the cartridge and what is recorded on it.
VOID TapeCartridgeDelete(TapeCartridge *Cartridge);

// Puts the cartridge into the drive and loads it: every nexus gets unit attention 28/00, the tape
// stands at BOP. STATUS_INVALID_DEVICE_STATE while the drive holds a cartridge (loaded or left
// there by an UNLOAD). While the cartridge is in the drive, its record keeps the medium the drive
// had in hand (the one ejected last, for FAB_DRIVE_LOAD), which TapeDriveRemoveCartridge gives back.
NTSTATUS TapeDriveInsertCartridge(TapeDrive *Drive, TapeCartridge *Cartridge);

// Takes the cartridge that TapeDriveInsertCartridge put in back into its record, unloading it
// first if need be (the library's picker does not wait for an UNLOAD), and drops the key.
// STATUS_INVALID_DEVICE_STATE while a nexus prevents medium removal; nothing changes then.
NTSTATUS TapeDriveRemoveCartridge(TapeDrive *Drive, TapeCartridge *Cartridge);

// Power cycle: the cartridge stays and is rewound; block size and mode pages return to their
// defaults; prevention, reservations, registrations and the key are gone; every nexus gets 29/00.
VOID TapeDrivePowerOnReset(TapeDrive *Drive);

// A logical unit reset received over Nexus: SCSI-2 reservation and prevention released (persistent
// reservations stay), position kept; every other nexus gets 29/03.
VOID TapeDriveLogicalUnitReset(TapeDrive *Drive, ULONG64 Nexus);

// The I_T nexus was lost (cable pulled, port logged out): its SCSI-2 reservation and prevention are
// released and it gets 29/07 on its next command. Persistent registrations stay.
VOID TapeDriveNexusLoss(TapeDrive *Drive, ULONG64 Nexus);

// The write-protect tab of the cartridge (in the drive or in hand).
VOID TapeDriveSetWriteProtect(TapeDrive *Drive, BOOLEAN WriteProtected);

// Key-managed encryption mode on or off; switching it drops the key and any key request.
VOID TapeDriveSetKeyManaged(TapeDrive *Drive, BOOLEAN KeyManaged);

// The page length of the key request page (0x25/0xFF) from now on: TAPE_KEY_SENSE_PAGE_LENGTH to
// TAPE_KEY_MAX_PAGE_LENGTH, or 0 for the usual TAPE_KEY_SENSE_PAGE_LENGTH; a drive whose key
// request message is longer than a key server takes in one message. Like firmware, it survives
// power cycles. STATUS_INVALID_PARAMETER for any other length.
NTSTATUS TapeDriveSetKeyPageLength(TapeDrive *Drive, ULONG PageLength);

VOID TapeDriveQueryMedium(TapeDrive *Drive, TapeMediumInfo *Info);

// Object Index of the medium: STATUS_SUCCESS for a block (its length in *Length),
// STATUS_FILEMARK_DETECTED for a filemark, STATUS_NO_DATA_DETECTED at or past EOD,
// STATUS_NO_MEDIA_IN_DEVICE without a cartridge. Buffer may be NULL; otherwise up to BufferLength
// bytes of the block are copied, and STATUS_BUFFER_OVERFLOW says the block was longer.
NTSTATUS TapeDriveReadObject(TapeDrive *Drive, ULONG64 Index, PVOID Buffer, ULONG BufferLength, PULONG Length);

// The reservation that the last command of Nexus made: TRUE and the report, or FALSE when that
// command made none (or the nexus never sent one).
BOOLEAN TapeDriveQueryReservationReport(TapeDrive *Drive, ULONG64 Nexus, TapeReservationReport *Report);

VOID TapeDriveQueryReservations(TapeDrive *Drive, TapeReservationState *State);

VOID TapeDriveQueryEncryption(TapeDrive *Drive, TapeEncryptionState *State);
