// The tape class driver stand-in (vyrtp2k16) as callers see it: its device names, the private
// control codes it answers besides the standard tape, SCSI and filter codes, their records, and
// the registry values it reads. Wire layouts only, in plain C types, so that tests and tools can
// include this header without the kernel header.
//
// Private tape codes (device type FILE_DEVICE_TAPE, METHOD_BUFFERED). Buffers shorter than the
// sizes given are refused with STATUS_INFO_LENGTH_MISMATCH before anything reaches the drive.
//
//   0x1FE09C  locate block       in  VyrTcLocateBlock (12): move to a logical block (LOCATE(10)).
//   0x1FE0C0  locate             in  VyrTcLocate (12): type 0 = block (LOCATE(10)); type 1 = file:
//                                    rewind, then space forward over Target filemarks.
//   0x1FE0C4  get setting A      out VyrTcSettingA (6): the path's transfer options.
//   0x1FE0C8  set setting A      in  VyrTcSettingA (6): replaces them (a record with InForce 0
//                                    restores the defaults). Both are answered from the path's own
//                                    state: a new path starts with the defaults.
//   0x1FE0E0  get setting B      out 8: byte 0 = the path's early-warning policy, bytes 1-7 = 0.
//   0x1FE0E4  set setting B      in  1: 0 = a write that reaches early warning completes with
//                                    STATUS_END_OF_MEDIA (the default); 1 = it completes with
//                                    success (the data is on the tape either way). Other values
//                                    are refused with STATUS_INVALID_PARAMETER.
//   0x1FE100  start rewind       none: REWIND with the immediate bit; the position is unknown
//                                    until the drive finishes (poll with 0x1FC038).
//   0x1F60A8  verify             in  VyrTcVerify (8): VERIFY(6) from the current position; moves
//                                    the position past what was verified.
//   0x1FC038  query readiness    out VyrTcReadiness (96): TEST UNIT READY and, when the drive is
//                                    ready, READ POSITION. Ready: NotReady (byte 7) = 0 and
//                                    PositionLength (bytes 32-33) = 00 1C.
//   0x8400C044 set host key      in  8: the host's reservation key for this drive (the key
//                                    reported with reservations made through pass-through).
//
// Registry values under the service key (REG_DWORD, absent = 0), read for IOC_GET_DPF_FLAGS:
//   ExclusiveAccess          -> flag word bit 0
//   PersistentNaming         -> flag word bit 1
//   EncryptionKeyManagement  -> flag word bit 2
#pragma once

// \Device\VyrTapePath<N> with the link \DosDevices\VyrTapePath<N>: one per path, N counted from 0
// (the lowest free number), so that a path can be opened directly as \\.\VyrTapePath<N>.
#define VYRTC_DEVICE_NAME_PREFIX L"\\Device\\VyrTapePath"
#define VYRTC_LINK_NAME_PREFIX L"\\DosDevices\\VyrTapePath"

#define IOCTL_VYRTC_LOCATE_BLOCK 0x001FE09Cu
#define IOCTL_VYRTC_LOCATE 0x001FE0C0u
#define IOCTL_VYRTC_GET_SETTING_A 0x001FE0C4u
#define IOCTL_VYRTC_SET_SETTING_A 0x001FE0C8u
#define IOCTL_VYRTC_GET_SETTING_B 0x001FE0E0u
#define IOCTL_VYRTC_SET_SETTING_B 0x001FE0E4u
#define IOCTL_VYRTC_START_REWIND 0x001FE100u
#define IOCTL_VYRTC_VERIFY 0x001F60A8u
#define IOCTL_VYRTC_QUERY_READINESS 0x001FC038u
#define IOCTL_VYRTC_SET_HOST_KEY 0x8400C044u

struct VyrTcLocateBlock {
    unsigned int Flags;     // bit 0: return at once (LOCATE immediate bit)
    unsigned int Partition; // 0: the current partition, else partition number + 1
    unsigned int Block;     // logical block number
};

enum : unsigned char {
    VYRTC_LOCATE_BLOCK = 0,
    VYRTC_LOCATE_FILE = 1,
};

struct VyrTcLocate {
    unsigned char Type;      // VYRTC_LOCATE_BLOCK or VYRTC_LOCATE_FILE
    unsigned char Immediate; // nonzero: return at once (block locate only)
    unsigned char Reserved[6];
    unsigned int Target;     // block number, or number of files from the beginning of the tape
};

enum : unsigned char {
    VYRTC_SETTING_A_SILI = 0x01, // suppress incorrect-length reports on variable-block reads
};

struct VyrTcSettingA {
    unsigned char Flags;   // VYRTC_SETTING_A_*
    unsigned char InForce; // nonzero: Flags apply; 0: the defaults apply
    unsigned char Reserved[4]; // kept and returned as set
};

enum : unsigned char {
    VYRTC_SETTING_B_EOM_AS_ERROR = 0,
    VYRTC_SETTING_B_EOM_AS_SUCCESS = 1,
};

// Flags: VERIFY(6) byte 1 as sent: bit 0 fixed-block count, bit 2 immediate, bit 4 verify
// protection information, bit 5 verify to end of data (Count is then ignored). The byte-compare
// bit (1) needs data from the host and is refused with STATUS_INVALID_PARAMETER.
struct VyrTcVerify {
    unsigned char Flags;
    unsigned char Reserved[3];
    unsigned int Count; // blocks (fixed) or bytes (variable), at most 0xFFFFFF
};

struct VyrTcReadiness {
    unsigned int Status;      // 0: NTSTATUS of the TEST UNIT READY
    unsigned char SenseKey;   // 4: its sense, when it had any
    unsigned char Asc;        // 5
    unsigned char Ascq;       // 6
    unsigned char NotReady;   // 7: 0 when TEST UNIT READY completed with GOOD status
    unsigned char Reserved8[24];
    unsigned char PositionLength[2]; // 32: big-endian length of the position record (28), 0 when unknown
    unsigned char PositionFlags;     // 34: READ POSITION byte 0 (BOP 0x80, EOP 0x40, position unknown 0x04)
    unsigned char Partition;         // 35
    unsigned char FirstBlock[8];     // 36: big-endian logical block at the host's position
    unsigned char LastBlock[8];      // 44: big-endian logical block the drive will write next to the medium
    unsigned char BlocksInBuffer[4]; // 52: big-endian
    unsigned char BytesInBuffer[4];  // 56: big-endian
    unsigned char Reserved60[36];
};

constexpr unsigned int VYRTC_POSITION_RECORD_LENGTH = 28;

static_assert(sizeof(VyrTcLocateBlock) == 12, "locate-block record");
static_assert(sizeof(VyrTcLocate) == 12, "locate record");
static_assert(sizeof(VyrTcSettingA) == 6, "setting A record");
static_assert(sizeof(VyrTcVerify) == 8, "verify record");
static_assert(sizeof(VyrTcReadiness) == 96, "readiness record");
static_assert(__builtin_offsetof(VyrTcReadiness, NotReady) == 7, "readiness record");
static_assert(__builtin_offsetof(VyrTcReadiness, PositionLength) == 32, "readiness record");
static_assert(__builtin_offsetof(VyrTcReadiness, BytesInBuffer) + 4 - 32 == VYRTC_POSITION_RECORD_LENGTH,
              "the position record runs from byte 32 to byte 59");
