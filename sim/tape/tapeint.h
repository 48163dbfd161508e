// Inside the tape drive model: the drive record, the medium store and the command context that the
// model's source files share. Nothing outside sim/tape includes this header.
#pragma once

#include "tapedrive.h"

// ---------------------------------------------------------------------------------------------
// SCSI constants the model uses
// ---------------------------------------------------------------------------------------------
enum : UCHAR {
    SK_NO_SENSE = 0x0,
    SK_NOT_READY = 0x2,
    SK_MEDIUM_ERROR = 0x3,
    SK_HARDWARE_ERROR = 0x4,
    SK_ILLEGAL_REQUEST = 0x5,
    SK_UNIT_ATTENTION = 0x6,
    SK_DATA_PROTECT = 0x7,
    SK_BLANK_CHECK = 0x8,
    SK_ABORTED_COMMAND = 0xB,
    SK_VOLUME_OVERFLOW = 0xD,
    SK_MISCOMPARE = 0xE,
};

constexpr UCHAR SENSE_FILEMARK = 0x80;
constexpr UCHAR SENSE_EOM = 0x40;
constexpr UCHAR SENSE_ILI = 0x20;
constexpr ULONG TAPE_SENSE_LENGTH = 18;

enum : UCHAR {
    OP_TEST_UNIT_READY = 0x00,
    OP_REWIND = 0x01,
    OP_REQUEST_SENSE = 0x03,
    OP_READ_BLOCK_LIMITS = 0x05,
    OP_READ6 = 0x08,
    OP_WRITE6 = 0x0A,
    OP_READ10 = 0x28,
    OP_WRITE10 = 0x2A,
    OP_READ_REVERSE6 = 0x0F,
    OP_WRITE_FILEMARKS6 = 0x10,
    OP_SPACE6 = 0x11,
    OP_INQUIRY = 0x12,
    OP_VERIFY6 = 0x13,
    OP_MODE_SELECT6 = 0x15,
    OP_RESERVE6 = 0x16,
    OP_RELEASE6 = 0x17,
    OP_ERASE6 = 0x19,
    OP_MODE_SENSE6 = 0x1A,
    OP_LOAD_UNLOAD = 0x1B,
    OP_SEND_DIAGNOSTIC = 0x1D,
    OP_PREVENT_ALLOW = 0x1E,
    OP_LOCATE10 = 0x2B,
    OP_READ_POSITION = 0x34,
    OP_MODE_SELECT10 = 0x55,
    OP_MODE_SENSE10 = 0x5A,
    OP_PERSISTENT_RESERVE_IN = 0x5E,
    OP_PERSISTENT_RESERVE_OUT = 0x5F,
    OP_LOCATE16 = 0x92,
    OP_REPORT_LUNS = 0xA0,
};

// Unit attention conditions a nexus may have pending, reported lowest bit first.
enum : ULONG {
    UA_POWER_ON = 0x01,           // 29/00
    UA_LU_RESET = 0x02,           // 29/03
    UA_NEXUS_LOSS = 0x04,         // 29/07
    UA_MEDIUM_CHANGED = 0x08,     // 28/00
    UA_RESV_PREEMPTED = 0x10,     // 2A/03
    UA_RESV_RELEASED = 0x20,      // 2A/04
    UA_REG_PREEMPTED = 0x40,      // 2A/05
};

// ---------------------------------------------------------------------------------------------
// Medium store
// ---------------------------------------------------------------------------------------------
// Tape only ever appends at the current position after discarding what lies beyond it, so the
// block data form one byte stream in object order: object i's bytes start where object i-1's end.
// The stream lives in fixed-size chunks (a multi-MiB backup needs no large contiguous block); the
// objects live in one index that doubles when full.
constexpr ULONG TAPE_CHUNK_SIZE = 256 * 1024;
constexpr ULONG TAPE_OBJECT_FILEMARK = 0x1;

struct TapeObject {
    ULONG64 Offset; // first byte in the stream
    ULONG Length;   // 0 for a filemark
    ULONG Flags;
};

struct TapeMedium {
    TapeObject *Objects;
    ULONG64 ObjectCount;
    ULONG64 ObjectSlots;
    PUCHAR *Chunks;
    ULONG ChunkCount;  // chunks allocated, in stream order
    ULONG ChunkSlots;  // room in the chunk table
    ULONG64 DataBytes; // bytes in the stream = offset of EOD
    ULONG64 Filemarks;
    BOOLEAN WriteProtected;
    BOOLEAN EndOfMedium;
};

VOID TapeMediumInitialize(TapeMedium *Medium);
VOID TapeMediumFree(TapeMedium *Medium);
// Drops every object from Index on (Index <= ObjectCount) and the chunks no longer needed.
VOID TapeMediumTruncate(TapeMedium *Medium, ULONG64 Index);
// Makes room for one more object of Length bytes, so that the append cannot fail.
NTSTATUS TapeMediumReserve(TapeMedium *Medium, ULONG Length);
// Appends a block (after TapeMediumReserve for it) or a filemark (Data NULL).
VOID TapeMediumAppendBlock(TapeMedium *Medium, const UCHAR *Data, ULONG Length);
VOID TapeMediumAppendFilemark(TapeMedium *Medium);
// Copies Length bytes of the stream starting at Offset.
VOID TapeMediumCopyOut(const TapeMedium *Medium, ULONG64 Offset, PUCHAR Buffer, ULONG Length);
// Compares Length bytes of the stream at Offset with Buffer; TRUE when equal.
BOOLEAN TapeMediumCompare(const TapeMedium *Medium, ULONG64 Offset, const UCHAR *Buffer, ULONG Length);

inline BOOLEAN TapeIsFilemark(const TapeObject *Object)
{
    return (Object->Flags & TAPE_OBJECT_FILEMARK) != 0;
}

// Offset in the stream at which object Index starts (EOD's offset for Index == ObjectCount).
inline ULONG64 TapeMediumOffsetOf(const TapeMedium *Medium, ULONG64 Index)
{
    return Index < Medium->ObjectCount ? Medium->Objects[Index].Offset : Medium->DataBytes;
}

// ---------------------------------------------------------------------------------------------
// The drive
// ---------------------------------------------------------------------------------------------
struct TapeNexus {
    BOOLEAN InUse;
    ULONG64 Id;
    CHAR Wwpn[17];
    ULONG PendingAttention;  // UA_* bits
    BOOLEAN Prevent;         // PREVENT ALLOW MEDIUM REMOVAL with prevent 1
    BOOLEAN Registered;      // persistent reservation registration
    ULONG64 Key;
    // SCSI-2 contingent allegiance: the sense of the last CHECK CONDITION, which a REQUEST SENSE
    // sent as the very next command of this nexus returns again.
    UCHAR LastSense[TAPE_SENSE_LENGTH];
    BOOLEAN LastSenseValid;
    BOOLEAN ReportValid;
    TapeReservationReport Report;
};

constexpr LONG TAPE_NO_HOLDER = -1;
constexpr ULONG TAPE_MODE_PAGE_LENGTH = 16; // pages 0x0F and 0x10, header included

struct TapeDrive {
    FAST_MUTEX Lock;

    // Identity, fixed at creation.
    CHAR Serial[TAPE_SERIAL_LENGTH];
    ULONG SerialLength;
    CHAR WwnnText[TAPE_WWNN_LENGTH];
    UCHAR Wwnn[8];
    BOOLEAN HasWwnn;
    CHAR Vendor[8];
    CHAR Product[16];
    CHAR Revision[4];
    ULONG64 Capacity;
    ULONG64 EarlyWarning;
    ULONG MaxBlock;
    ULONG PowerOnBlockSize;

    // Cartridge and position.
    TapeCartridgeState Cartridge; // NONE: Medium holds the cartridge "in hand"
    TapeMedium Medium;
    ULONG64 Position;

    // Settings (mode parameters).
    ULONG BlockSize;
    UCHAR CompressionPage[TAPE_MODE_PAGE_LENGTH];
    UCHAR ConfigurationPage[TAPE_MODE_PAGE_LENGTH];
    UCHAR BufferedMode;

    TapeNexus Nexus[TAPE_MAX_NEXUS];

    // Reservations: indexes into Nexus, or TAPE_NO_HOLDER.
    LONG Scsi2Holder;
    LONG PrHolder;
    UCHAR PrType;
    ULONG PrGeneration;

    // Key-managed encryption.
    BOOLEAN KeyManaged;
    BOOLEAN KeyLoaded;
    UCHAR Key[TAPE_MAX_KEY_LENGTH];
    UCHAR KeyLength;
    BOOLEAN KeyRequestPending;
    UCHAR KeyRequestReason;
    ULONG KeyRequestSequence;
    // Reason (CHECK or EXCHANGE) of the diagnostic-raised key request that was answered since;
    // the next encryption control diagnostic of that kind then succeeds.
    UCHAR DiagnosticAnswered;
    // Page length of the key request page (TapeDriveSetKeyPageLength).
    USHORT KeyPageLength;
};

// One command as it runs.
struct TapeCommand {
    TapeDrive *Drive;
    TapeNexus *Nexus;
    LONG NexusIndex;
    FabScsiRequest *Request;
    const UCHAR *Cdb;
    ULONG InLength;   // bytes of Data the drive may send (data-in)
    ULONG OutLength;  // bytes of Data the drive may take (data-out)
    BOOLEAN MadeReservation;
};

// Sense to report with CHECK CONDITION.
struct TapeSense {
    UCHAR Key;
    UCHAR Asc;
    UCHAR Ascq;
    UCHAR Flags;        // SENSE_FILEMARK | SENSE_EOM | SENSE_ILI
    BOOLEAN Valid;      // information field valid
    LONG Information;
    BOOLEAN Sksv;       // sense-key specific: field pointer
    BOOLEAN InCdb;      // C/D
    USHORT Field;
};

// tapedrive.cpp: completion helpers
VOID TapeCheckCondition(TapeCommand *Cmd, const TapeSense &Sense);
VOID TapeFail(TapeCommand *Cmd, UCHAR Key, UCHAR Asc, UCHAR Ascq);
VOID TapeInvalidCdbField(TapeCommand *Cmd, USHORT Byte);
VOID TapeInvalidParameter(TapeCommand *Cmd, USHORT Byte);
VOID TapeParameterListLengthError(TapeCommand *Cmd);
VOID TapeFormatSense(const TapeSense &Sense, UCHAR *Buffer);
// Checks that the medium is ready; reports NOT READY and returns FALSE otherwise.
BOOLEAN TapeCheckReady(TapeCommand *Cmd);
// Copies up to Length bytes of Data into the initiator's data-in buffer, clipped to it.
VOID TapeReturnData(TapeCommand *Cmd, const VOID *Data, ULONG Length);
VOID TapeRaiseAttention(TapeDrive *Drive, ULONG Bits, LONG ExceptIndex);
VOID TapeDropKey(TapeDrive *Drive);
VOID TapeRestoreDefaults(TapeDrive *Drive);

// tapemotion.cpp
VOID TapeCmdRewind(TapeCommand *Cmd);
VOID TapeCmdRead(TapeCommand *Cmd);
VOID TapeCmdReadReverse(TapeCommand *Cmd);
VOID TapeCmdVerify(TapeCommand *Cmd);
VOID TapeCmdWrite(TapeCommand *Cmd);
VOID TapeCmdRead10(TapeCommand *Cmd);
VOID TapeCmdWrite10(TapeCommand *Cmd);
VOID TapeCmdWriteFilemarks(TapeCommand *Cmd);
VOID TapeCmdSpace(TapeCommand *Cmd);
VOID TapeCmdLocate(TapeCommand *Cmd);
VOID TapeCmdReadPosition(TapeCommand *Cmd);
VOID TapeCmdErase(TapeCommand *Cmd);
VOID TapeCmdLoadUnload(TapeCommand *Cmd);
VOID TapeCmdPreventAllow(TapeCommand *Cmd);

// tapepages.cpp
VOID TapeCmdInquiry(TapeCommand *Cmd);
VOID TapeCmdReadBlockLimits(TapeCommand *Cmd);
VOID TapeCmdReportLuns(TapeCommand *Cmd);
VOID TapeCmdModeSense(TapeCommand *Cmd);
VOID TapeCmdModeSelect(TapeCommand *Cmd);
VOID TapeCmdSendDiagnostic(TapeCommand *Cmd);
VOID TapeInitializeModePages(TapeDrive *Drive);
// Key-managed mode: TRUE when data may move; otherwise raises a key request, reports 7/EF/01.
BOOLEAN TapeCheckKey(TapeCommand *Cmd);

// taperesv.cpp
VOID TapeCmdReserve(TapeCommand *Cmd);
VOID TapeCmdRelease(TapeCommand *Cmd);
VOID TapeCmdPersistentReserveIn(TapeCommand *Cmd);
VOID TapeCmdPersistentReserveOut(TapeCommand *Cmd);
// TRUE when the command conflicts with a reservation held by another nexus.
BOOLEAN TapeReservationConflict(TapeCommand *Cmd, ULONG Access);
VOID TapeFormatHex64(ULONG64 Value, CHAR *Text);

// Byte helpers (big-endian wire fields).
inline ULONG TapeGet24(const UCHAR *p)
{
    return ((ULONG)p[0] << 16) | ((ULONG)p[1] << 8) | p[2];
}
inline LONG TapeGetSigned24(const UCHAR *p)
{
    ULONG v = TapeGet24(p);
    return (v & 0x800000) ? (LONG)(v | 0xFF000000) : (LONG)v;
}
inline USHORT TapeGet16(const UCHAR *p)
{
    return (USHORT)(((USHORT)p[0] << 8) | p[1]);
}
inline ULONG TapeGet32(const UCHAR *p)
{
    return ((ULONG)p[0] << 24) | ((ULONG)p[1] << 16) | ((ULONG)p[2] << 8) | p[3];
}
inline ULONG64 TapeGet64(const UCHAR *p)
{
    return ((ULONG64)TapeGet32(p) << 32) | TapeGet32(p + 4);
}
inline VOID TapePut16(UCHAR *p, ULONG v)
{
    p[0] = (UCHAR)(v >> 8);
    p[1] = (UCHAR)v;
}
inline VOID TapePut24(UCHAR *p, ULONG v)
{
    p[0] = (UCHAR)(v >> 16);
    p[1] = (UCHAR)(v >> 8);
    p[2] = (UCHAR)v;
}
inline VOID TapePut32(UCHAR *p, ULONG v)
{
    p[0] = (UCHAR)(v >> 24);
    p[1] = (UCHAR)(v >> 16);
    p[2] = (UCHAR)(v >> 8);
    p[3] = (UCHAR)v;
}
inline VOID TapePut64(UCHAR *p, ULONG64 v)
{
    TapePut32(p, (ULONG)(v >> 32));
    TapePut32(p + 4, (ULONG)v);
}

// Access classes for reservation checks (TapeReservationConflict).
enum : ULONG {
    TAPE_ACCESS_ALWAYS = 0,  // INQUIRY, REQUEST SENSE, REPORT LUNS
    TAPE_ACCESS_LOOK = 1,    // reads drive state only: allowed under Write Exclusive
    TAPE_ACCESS_CONTROL = 2, // moves the tape, changes the medium or the drive
    TAPE_ACCESS_PR = 3,      // PERSISTENT RESERVE IN/OUT: own rules
};
