// The tape class driver stand-in (service vyrtp2k16): one function device object per path PDO of
// the SCSI fabric, answering what the path filter and the bus enumerator send to the maker's tape
// class driver -- its private requests, the standard tape control codes, reads, writes and SCSI
// pass-through -- by running SCSI commands on the path (IOCTL_VYRFAB_EXECUTE_CDB), and filling the
// ScsiStatus block of every request it finds in the StatusStructTable it was lent.
//
// What it shares with the changer stand-in (the FDO, Plug and Play, commands on the path, the
// status block, the identity requests) is sim/classcommon.
//
// Routine prefixes: Tc for what the source files share, Tcp for file-local helpers.
#pragma once

#include "kernel.h"
#include "tclayout.h"
#include "tcioctl.h"
#include "../classcommon/classcommon.h"

constexpr ULONG TC_POOL_TAG = VyrPoolTag("VTcl");

// SCSI operation codes the stand-in builds or watches.
enum : UCHAR {
    SCSIOP_TEST_UNIT_READY = 0x00,
    SCSIOP_REWIND = 0x01,
    SCSIOP_READ_BLOCK_LIMITS = 0x05,
    SCSIOP_READ6 = 0x08,
    SCSIOP_WRITE6 = 0x0A,
    SCSIOP_WRITE_FILEMARKS = 0x10,
    SCSIOP_SPACE = 0x11,
    SCSIOP_INQUIRY = 0x12,
    SCSIOP_VERIFY6 = 0x13,
    SCSIOP_MODE_SELECT6 = 0x15,
    SCSIOP_RESERVE6 = 0x16,
    SCSIOP_RELEASE6 = 0x17,
    SCSIOP_ERASE6 = 0x19,
    SCSIOP_MODE_SENSE6 = 0x1A,
    SCSIOP_LOAD_UNLOAD = 0x1B,
    SCSIOP_PREVENT_ALLOW = 0x1E,
    SCSIOP_LOCATE10 = 0x2B,
    SCSIOP_READ_POSITION = 0x34,
    SCSIOP_MODE_SELECT10 = 0x55,
    SCSIOP_RESERVE10 = 0x56,
    SCSIOP_RELEASE10 = 0x57,
    SCSIOP_PR_IN = 0x5E,
    SCSIOP_PR_OUT = 0x5F,
    SCSIOP_SECURITY_IN = 0xA2,
    SCSIOP_SECURITY_OUT = 0xB5,
};

// Persistent reservation service actions and the reservation type this driver takes.
enum : UCHAR {
    PR_REGISTER = 0,
    PR_RESERVE = 1,
    PR_RELEASE = 2,
    PR_CLEAR = 3,
    PR_PREEMPT = 4,
    PR_PREEMPT_ABORT = 5,
    PR_REGISTER_IGNORE = 6,
    PR_TYPE_EXCLUSIVE_ACCESS = 3,
};

// Sense keys.
enum : UCHAR {
    SENSE_NO_SENSE = 0x0,
    SENSE_RECOVERED_ERROR = 0x1,
    SENSE_NOT_READY = 0x2,
    SENSE_MEDIUM_ERROR = 0x3,
    SENSE_HARDWARE_ERROR = 0x4,
    SENSE_ILLEGAL_REQUEST = 0x5,
    SENSE_UNIT_ATTENTION = 0x6,
    SENSE_DATA_PROTECT = 0x7,
    SENSE_BLANK_CHECK = 0x8,
    SENSE_VOLUME_OVERFLOW = 0xD,
    SENSE_MISCOMPARE = 0xE,
};

// Fixed-format sense data, byte 2.
constexpr UCHAR SENSE2_FILEMARK = 0x80;
constexpr UCHAR SENSE2_EOM = 0x40;
constexpr UCHAR SENSE2_ILI = 0x20;
// The ASC with which a key-managed drive asks for its key server.
constexpr UCHAR ASC_KEY_SERVER_NEEDED = 0xEF;

// ScsiStatus byte 25.
constexpr UCHAR TC_ENCRYPTION_REPORTED = 0x02;
constexpr UCHAR TC_ENCRYPTION_ON = 0x01;

constexpr ULONG TC_BLOCK_SIZE_UNKNOWN = 0xFFFFFFFF;
// The mode page asked for with the block descriptor: the device configuration page, which every
// sequential-access device has (only the header and the descriptor are read).
constexpr UCHAR TC_MODE_PAGE = 0x10;
constexpr ULONG TC_MAX_TRANSFER = 0x01000000; // largest data transfer of one command (16 MiB)
constexpr ULONG TC_PROBE_ATTENTION_RETRIES = 4; // unit attentions a probe of the driver's own takes

// One physical drive, shared by the paths that lead to it (same serial number from VPD page 0x80):
// the reservations made through this driver and the host's key. Guarded by the driver's drive lock.
struct TcDrive {
    LIST_ENTRY Link;
    LONG lReferences;
    BOOLEAN fShared; // FALSE: the serial number could not be read; this record is the path's own
    CHAR szSerialNumber[32];
    UCHAR HostKey[8];  // the application's key (0x8400C044), registered on the drive
    UCHAR BusKey[8];   // the bus's last key (IOC_SET_RESERVATION_KEY)
    // Reservations made through this driver and the FDO of the path that holds each; a holder of
    // null means the path is gone while the reservation still counts as the host's.
    BOOLEAN fPlainHeld;
    PDEVICE_OBJECT pPlainHolder;
    BOOLEAN fPersistentHeld;
    PDEVICE_OBJECT pPersistentHolder;
    UCHAR PersistentKey[8];
};

// The FDO's extension: the common part, then what the driver keeps of the drive.
struct TcExtension : ClsExtension {
    TcDrive *pDrive; // null until started
    LONG volatile lOpenCount;

    // What the driver knows of the drive's state.
    ULONG ulBlockSize;  // TC_BLOCK_SIZE_UNKNOWN until read
    UCHAR ucEncryption; // ScsiStatus byte 25 as reported; 0 = not known

    // Settings of the path (private codes 0x1FE0C4/C8 and 0x1FE0E0/E4).
    VyrTcSettingA SettingA;
    UCHAR ucSettingB;

    // A reservation that IOC_APPLY_SCSI_STATUS made, reported with the next request from the bus.
    BOOLEAN fReportPending;
    CHAR ReportWwpn[16];
    CHAR ReportKey[16];
};

// What one request did on the drive, for its ScsiStatus block.
struct TcIo : ClsIo {
    ULONG ulResidual;   // reads and writes: bytes not transferred
    BOOLEAN fReserved;  // this request made a reservation
    CHAR ReserveWwpn[16];
    CHAR ReserveKey[16];
};

inline TcExtension *TcExt(PDEVICE_OBJECT Device) { return (TcExtension *)Device->DeviceExtension; }

inline void TcPutBe16(PUCHAR p, ULONG v) { p[0] = (UCHAR)(v >> 8); p[1] = (UCHAR)v; }
inline void TcPutBe24(PUCHAR p, ULONG v) { p[0] = (UCHAR)(v >> 16); p[1] = (UCHAR)(v >> 8); p[2] = (UCHAR)v; }
inline void TcPutBe32(PUCHAR p, ULONG v)
{
    p[0] = (UCHAR)(v >> 24);
    p[1] = (UCHAR)(v >> 16);
    p[2] = (UCHAR)(v >> 8);
    p[3] = (UCHAR)v;
}
inline ULONG TcGetBe16(const UCHAR *p) { return ((ULONG)p[0] << 8) | p[1]; }
inline ULONG TcGetBe24(const UCHAR *p) { return ((ULONG)p[0] << 16) | ((ULONG)p[1] << 8) | p[2]; }
inline ULONG TcGetBe32(const UCHAR *p) { return ((ULONG)p[0] << 24) | ((ULONG)p[1] << 16) | ((ULONG)p[2] << 8) | p[3]; }

typedef ClsControlEntry<TcExtension, TcIo> TcControlEntry;

// tcmain.cpp
ULONG TcReadDpfFlags();
// Start, after the path's identity is known: the drive the path leads to and what it reports.
NTSTATUS TcStartDevice(ClsExtension *Ext);
// Removal: the path lets go of its drive record.
void TcRemoveDevice(ClsExtension *Ext);
// The drive lock guards every TcDrive and the list of them.
void TcLockDrives();
void TcUnlockDrives();

// tcscsi.cpp
// The tape stand-in's description for the shared class code.
extern const ClsDriver TcDriver;
void TcInitIo(TcIo *Io, PIRP Irp);
// LOGICAL UNIT RESET through this path: how a host takes back a SCSI-2 reservation it holds
// through another nexus of the same drive.
NTSTATUS TcResetLogicalUnit(TcExtension *Ext);
// Records the sense of a command that reached the drive, and what it says about the drive.
void TcNoteOutcome(ClsExtension *Ext, ClsIo *Io, const FabScsiRequest *Request);
NTSTATUS TcReadBlockSize(TcExtension *Ext, TcIo *Io);
NTSTATUS TcSetBlockSize(TcExtension *Ext, TcIo *Io, ULONG BlockSize);
void TcQueryEncryption(TcExtension *Ext);
// 16 uppercase hexadecimal characters for the 8 key bytes in buffer order (no terminator).
void TcFormatKey(CHAR *Text, const UCHAR *Key);

// tctape.cpp
NTSTATUS TcReadWrite(TcExtension *Ext, TcIo *Io, BOOLEAN Write, ULONG_PTR *Information);
// Standard tape codes and the private tape codes; STATUS_NOT_FOUND-like answer: returns FALSE
// when the code is not one of them.
BOOLEAN TcTapeControl(TcExtension *Ext, TcIo *Io, NTSTATUS *Status, ULONG_PTR *Information);

// tcprivate.cpp
// The identity codes and the private codes of the tape family; FALSE when the code is none of them.
BOOLEAN TcPrivateControl(TcExtension *Ext, TcIo *Io, NTSTATUS *Status, ULONG_PTR *Information);
// Releases the reservations this path holds through the driver (last close).
void TcReleaseReservations(TcExtension *Ext, TcIo *Io);
// Bookkeeping after a pass-through command that reached the drive with GOOD status.
void TcNotePassThrough(TcExtension *Ext, TcIo *Io, const UCHAR *Cdb, const UCHAR *DataOut, ULONG DataOutLength);

