// Tape position tracking of the send-over-a-path handler.
//
// The bus keeps the logical block position of the tape of every logical device with failover, so
// that a request that fails on one path can be sent again on another with the tape where the
// request expects it. After each attempt the tracker works out what the request did to the
// position: from the request itself where that is safe, otherwise by asking the drive (internal
// requests, served by the next worker). A write that failed part way is measured against the
// medium: the blocks that reached the tape are never sent again, and those that did not are never
// reported written.
#include "bus.h"

namespace {

// SCSI operation codes the tracker recognises in pass-through requests.
enum : UCHAR {
    BUS_OP_REWIND = 0x01,
    BUS_OP_READ6 = 0x08,
    BUS_OP_WRITE6 = 0x0A,
    BUS_OP_READ_REVERSE6 = 0x0F,
    BUS_OP_WRITE_FILEMARKS6 = 0x10,
    BUS_OP_SPACE6 = 0x11,
    BUS_OP_VERIFY6 = 0x13,
    BUS_OP_MODE_SELECT6 = 0x15,
    BUS_OP_ERASE6 = 0x19,
    BUS_OP_LOAD_UNLOAD = 0x1B,
    BUS_OP_PREVENT_ALLOW = 0x1E,
    BUS_OP_READ10 = 0x28,
    BUS_OP_WRITE10 = 0x2A,
    BUS_OP_LOCATE10 = 0x2B,
    BUS_OP_MODE_SELECT10 = 0x55,
    BUS_OP_LOCATE16 = 0x92,
};

// The class driver's private codes the tracker watches.
constexpr ULONG BUS_IOCTL_LOCATE_BLOCK = 0x001FE09C;
constexpr ULONG BUS_IOCTL_LOCATE = 0x001FE0C0;
constexpr ULONG BUS_IOCTL_GET_SETTING_A = 0x001FE0C4;
constexpr ULONG BUS_IOCTL_SET_SETTING_A = 0x001FE0C8;
constexpr ULONG BUS_IOCTL_GET_SETTING_B = 0x001FE0E0;
constexpr ULONG BUS_IOCTL_SET_SETTING_B = 0x001FE0E4;
constexpr ULONG BUS_IOCTL_VERIFY = 0x001F60A8;
constexpr ULONG BUS_IOCTL_QUERY_READINESS = 0x001FC038;

constexpr ULONG BUS_BLOCK_SIZE_UNKNOWN = 0xFFFFFFFF;
constexpr ULONG BUS_GET_POSITION_TYPE = 1; // logical blocks from the beginning of the partition
constexpr UCHAR BUS_SENSE_BYTE2_MARKS = 64; // filemark or end-of-medium bit
constexpr UCHAR BUS_SENSE_BLANK_CHECK = 0x8;
constexpr UCHAR BUS_ASC_KEY_SERVER = 0xEF;
constexpr ULONG BUS_READINESS_POLLS = 10;
constexpr ULONG BUS_READINESS_SIZE = 96;

// VERIFY flags (first byte of the request): bit 2 immediate, bit 4 protection information, bit 5
// verify to end of data.
constexpr UCHAR BUS_VERIFY_IMMEDIATE = 0x04;
constexpr UCHAR BUS_VERIFY_PROTECTION = 0x10;
constexpr UCHAR BUS_VERIFY_TO_END = 0x20;

static_assert(sizeof(TAPE_GET_POSITION) == 16, "TAPE_GET_POSITION is 16 bytes");
static_assert(sizeof(TAPE_SET_POSITION) == 24, "TAPE_SET_POSITION is 24 bytes");
static_assert(FIELD_OFFSET(TAPE_SET_POSITION, Offset) == 8, "set-position offset field");
static_assert(sizeof(TAPE_GET_MEDIA_PARAMETERS) == 32, "TAPE_GET_MEDIA_PARAMETERS is 32 bytes");
static_assert(FIELD_OFFSET(TAPE_GET_MEDIA_PARAMETERS, BlockSize) == 16, "media parameters block size");
static_assert(FIELD_OFFSET(TAPE_WRITE_MARKS, Count) == 4, "write-marks count");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH, DataTransferLength) == 12, "pass-through transfer length");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH, DataBufferOffset) == 24, "pass-through data offset");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH, ScsiStatus) == 2, "pass-through SCSI status");

ULONG BuspGetU32(const UCHAR *p)
{
    ULONG v;
    RtlCopyMemory(&v, p, sizeof(v));
    return v;
}

ULONG BuspGetBe32(const UCHAR *p)
{
    return ((ULONG)p[0] << 24) | ((ULONG)p[1] << 16) | ((ULONG)p[2] << 8) | p[3];
}

ULONG BuspGetBe24(const UCHAR *p)
{
    return ((ULONG)p[0] << 16) | ((ULONG)p[1] << 8) | p[2];
}

// The request's own data as it went down (and, for buffered codes, came back): the front of the
// path request's system buffer; Length bytes of it must exist.
const UCHAR *BuspData(const BusRequest *Request, ULONG Length)
{
    if (!Request->pBuffer || Request->ulBufferSize < sizeof(ScsiStatus) + Length)
        return nullptr;
    return Request->pBuffer;
}

NTSTATUS BuspInternal(BusRequest *Request, ULONG Code, PVOID In, ULONG InLength, PVOID Out, ULONG OutLength,
                      ULONG_PTR *Information)
{
    Request->fInternalSent = TRUE;
    return BusSendInternalRequest(Request->pLdx, Code, In, InLength, Out, OutLength, Information);
}

// The data of a pass-through request as it lies in the native copy (buffered) or in the caller's
// locked buffer (direct), at most Length bytes of it; null when there is none.
const UCHAR *BuspPassThroughData(const BusRequest *Request, ULONG *Length)
{
    ULONG want = Request->Pt.ulDataLength;
    if (!want)
        return nullptr;
    if (Request->Pt.fDirect) {
        *Length = want;
        return (const UCHAR *)Request->pDirectSystemAddress;
    }
    const UCHAR *native = BuspData(Request, sizeof(SCSI_PASS_THROUGH));
    if (!native)
        return nullptr;
    ULONG64 offset;
    RtlCopyMemory(&offset, native + FIELD_OFFSET(SCSI_PASS_THROUGH, DataBufferOffset), sizeof(offset));
    ULONG room = Request->ulBufferSize - (ULONG)sizeof(ScsiStatus);
    if (offset > room || want > room - offset)
        return nullptr;
    *Length = want;
    return native + offset;
}

// The block length a MODE SELECT carries in its block descriptor; FALSE when it has none.
BOOLEAN BuspModeSelectBlockLength(const BusRequest *Request, ULONG *BlockLength)
{
    ULONG length = 0;
    const UCHAR *data = BuspPassThroughData(Request, &length);
    if (!data)
        return FALSE;
    ULONG header, descriptors;
    if (Request->Pt.Cdb[0] == BUS_OP_MODE_SELECT6) {
        header = 4;
        descriptors = length > 3 ? data[3] : 0;
    } else {
        header = 8;
        descriptors = length > 7 ? ((ULONG)data[6] << 8) | data[7] : 0;
    }
    if (descriptors < 8 || length < header + 8)
        return FALSE;
    *BlockLength = BuspGetBe24(data + header + 5);
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// The rows of the table
// ---------------------------------------------------------------------------------------------

/*++
Routine Description:
    Reads, writes and their pass-through forms. Success moves the position by what was
    transferred. A failure that may start failover leaves the tape where a retry can start: a read
    goes back to where it started; a write is measured against the medium, so that the retry
    sends only what did not reach the tape, and a write that did reach it is reported done.
--*/
void BuspTrackTransfer(BusRequest *Request)
{
    LogicalDeviceExtension *ldx = Request->pLdx;
    const ScsiStatus *block = &Request->Block;
    const ULONG requested = Request->ulRequested;
    ULONG residual = block->ulResidual;
    ULONG moved = 0;
    BOOLEAN failed = !NT_SUCCESS(Request->Status);
    if (Request->fPassThrough) {
        // A pass-through carries no residual in the block: what moved is what the structure says.
        const UCHAR *native = BuspData(Request, sizeof(SCSI_PASS_THROUGH));
        ULONG transferred = native ? BuspGetU32(native + FIELD_OFFSET(SCSI_PASS_THROUGH, DataTransferLength)) : 0;
        moved = transferred <= requested ? transferred : requested;
        // The request itself succeeds whatever the command did; a CHECK CONDITION that sends the
        // command to another path is a failure of the transfer, and its retry must start where
        // this one did.
        if (native && native[FIELD_OFFSET(SCSI_PASS_THROUGH, ScsiStatus)] != 0 && BusSenseAsksFailover(block))
            failed = TRUE;
    } else {
        moved = residual <= requested ? requested - residual : 0;
    }
    const ULONG blockSize = ldx->ulBlockSize;

    if (block->ucSenseByte2 >= BUS_SENSE_BYTE2_MARKS || (block->fSensePresent && block->ucSenseKey == BUS_SENSE_BLANK_CHECK)) {
        ldx->fPositionKnown = FALSE;
        // What did move still counts for the application: leaving it out would have it written
        // again.
        if (Request->fResuming)
            Request->ulBytesDone += moved;
        return;
    }
    if (!failed) {
        if (Request->fResuming)
            Request->ulBytesDone += moved;
        if (!ldx->fPositionKnown)
            return;
        const BOOLEAN fixed = blockSize && blockSize != BUS_BLOCK_SIZE_UNKNOWN;
        if (fixed && moved % blockSize) {
            // A block of another length read in fixed-block mode: the drive has passed it, but
            // the bytes do not say so. Counting whole blocks only would leave the position one
            // short, and a write resumed from it would skip a block; the drive is asked instead.
            ldx->fPositionKnown = FALSE;
        } else if (fixed) {
            ldx->ulPosition += (ULONG)((LONG)(moved / blockSize) * Request->lDirection);
        } else if (moved) {
            ldx->ulPosition += (ULONG)Request->lDirection;
        }
        return;
    }

    if (Request->Status == STATUS_MEDIA_WRITE_PROTECTED || (block->fSensePresent && block->ucAsc == BUS_ASC_KEY_SERVER)) {
        Request->fRecoveryFailed = FALSE;
        return;
    }
    if (!ldx->fPositionKnown || (BusStatusExempt(Request->Status) && !BusSenseAsksFailover(block)))
        return;
    Request->fRecoveryFailed = FALSE;

    if (!Request->fWrite) {
        if (!NT_SUCCESS(BusTrackMoveTo(Request, Request->ulSavedPosition)))
            Request->fRecoveryFailed = TRUE;
        return;
    }

    // Where did the write leave the tape?
    const ULONG saved = Request->ulSavedPosition;
    if (!NT_SUCCESS(BusTrackReadPosition(Request))) {
        // No one can say what reached the medium: sending it again could write blocks twice.
        Request->fRecoveryFailed = TRUE;
        return;
    }
    const ULONG now = ldx->ulPosition;
    const BOOLEAN fixed = blockSize && blockSize != BUS_BLOCK_SIZE_UNKNOWN;
    const ULONG blocks = fixed ? requested / blockSize : 1;
    const BOOLEAN resumable = Request->ucMajor == IRP_MJ_WRITE;
    if (now == saved + blocks) {
        // Everything reached the tape; only the report of it was lost.
        if (resumable) {
            Request->fComplete = TRUE;
            Request->fResuming = TRUE;
            Request->ulBytesDone += requested;
        }
        Request->fRecoveryFailed = TRUE;
    } else if (now == saved) {
        if (resumable)
            Request->fResuming = TRUE;
    } else if (fixed && resumable && now > saved && now < saved + blocks) {
        Request->fResuming = TRUE;
        Request->ulBytesDone += (now - saved) * blockSize;
    } else {
        // Part of a write that cannot be resumed, or the tape is somewhere the write cannot
        // have put it: a retry would duplicate or misplace data.
        Request->fRecoveryFailed = TRUE;
    }
}

// The position a locate request names; FALSE when it must be read from the drive instead.
BOOLEAN BuspLocateTarget(const BusRequest *Request, ULONG *Position)
{
    if (Request->fPassThrough) {
        const UCHAR *cdb = Request->Pt.Cdb;
        if (cdb[0] == BUS_OP_LOCATE10 && Request->Pt.ucCdbLength >= 7) {
            *Position = BuspGetBe32(cdb + 3);
            return TRUE;
        }
        if (cdb[0] == BUS_OP_LOCATE16 && Request->Pt.ucCdbLength >= 12 && (cdb[1] & 0xF8) < 8) {
            *Position = BuspGetBe32(cdb + 8); // the low half of the 8-byte logical object identifier
            return TRUE;
        }
        return FALSE;
    }
    const UCHAR *data;
    switch (Request->ulCode) {
    case IOCTL_TAPE_SET_POSITION:
        data = BuspData(Request, sizeof(TAPE_SET_POSITION));
        if (!data || BuspGetU32(data) == TAPE_PSEUDO_LOGICAL_BLOCK)
            return FALSE;
        *Position = BuspGetU32(data + FIELD_OFFSET(TAPE_SET_POSITION, Offset));
        return TRUE;
    case BUS_IOCTL_LOCATE_BLOCK:
        data = BuspData(Request, 12);
        if (!data)
            return FALSE;
        *Position = BuspGetU32(data + 8);
        return TRUE;
    case BUS_IOCTL_LOCATE:
        data = BuspData(Request, 12);
        if (!data || data[0] != 0)
            return FALSE;
        *Position = BuspGetU32(data + 8);
        return TRUE;
    default:
        return FALSE;
    }
}

void BuspTrackSpace(BusRequest *Request)
{
    LogicalDeviceExtension *ldx = Request->pLdx;
    if (!NT_SUCCESS(Request->Status)) {
        ldx->fPositionKnown = FALSE;
        return;
    }
    BOOLEAN relative = FALSE;
    LONG count = 0;
    if (Request->fPassThrough) {
        const UCHAR *cdb = Request->Pt.Cdb;
        relative = (cdb[1] & 0x07) == 0;
        ULONG raw = BuspGetBe24(cdb + 2);
        count = (raw & 0x800000) ? (LONG)(raw | 0xFF000000u) : (LONG)raw;
    } else {
        const UCHAR *data = BuspData(Request, sizeof(TAPE_SET_POSITION));
        if (data) {
            relative = BuspGetU32(data) == TAPE_SPACE_RELATIVE_BLOCKS;
            count = (LONG)BuspGetU32(data + FIELD_OFFSET(TAPE_SET_POSITION, Offset));
        }
    }
    if (relative && ldx->fPositionKnown)
        ldx->ulPosition += (ULONG)count;
    else
        BusTrackReadPosition(Request);
}

/*++
Routine Description:
    Filemarks. The position is read after every attempt. A failed attempt is measured like a
    write: none written, the retry writes them all; all written, the request is done; some
    written, no retry, since it would write the rest a second time.
--*/
void BuspTrackWriteMarks(BusRequest *Request)
{
    LogicalDeviceExtension *ldx = Request->pLdx;
    ULONG count = 0;
    if (Request->fPassThrough) {
        count = BuspGetBe24(Request->Pt.Cdb + 2);
    } else {
        const UCHAR *data = BuspData(Request, sizeof(TAPE_WRITE_MARKS));
        count = data ? BuspGetU32(data + FIELD_OFFSET(TAPE_WRITE_MARKS, Count)) : 0;
    }
    NTSTATUS read = BusTrackReadPosition(Request);
    if (NT_SUCCESS(Request->Status) || !Request->fSavedKnown)
        return;
    if (!NT_SUCCESS(read)) {
        Request->fRecoveryFailed = TRUE;
        return;
    }
    const ULONG saved = Request->ulSavedPosition;
    const ULONG now = ldx->ulPosition;
    if (count && now == saved + count) {
        Request->fComplete = TRUE;
        Request->fRecoveryFailed = TRUE;
    } else if (now == saved) {
        Request->fRecoveryFailed = FALSE;
    } else {
        Request->fRecoveryFailed = TRUE;
    }
}

void BuspTrackErase(BusRequest *Request)
{
    if (NT_SUCCESS(Request->Status) || !Request->fSavedKnown || !Request->Block.fSensePresent)
        return;
    Request->fRecoveryFailed = TRUE;
    BusTrackMoveTo(Request, Request->ulSavedPosition);
}

/*++
Routine Description:
    Verification. A verify to the end of data leaves the position unknown; after a failed one the
    drive is polled until it is ready again. Any other verify moves the tape: after a failure the
    tape is put where the drive says it stopped (one block back for an immediate verify that
    moved), so that a retry verifies from there.
--*/
void BuspTrackVerify(BusRequest *Request)
{
    LogicalDeviceExtension *ldx = Request->pLdx;
    UCHAR flags = 0;
    if (Request->fPassThrough) {
        flags = Request->Pt.Cdb[1];
    } else {
        const UCHAR *data = BuspData(Request, 1);
        flags = data ? data[0] : 0;
    }
    if (NT_SUCCESS(Request->Status)) {
        if (flags & BUS_VERIFY_TO_END)
            ldx->fPositionKnown = FALSE;
        else
            BusTrackReadPosition(Request);
        return;
    }
    Request->fRecoveryFailed = FALSE;
    if (flags & BUS_VERIFY_TO_END) {
        UCHAR reply[BUS_READINESS_SIZE];
        for (ULONG poll = 0; poll < BUS_READINESS_POLLS; poll++) {
            RtlZeroMemory(reply, sizeof(reply));
            ULONG_PTR information = 0;
            NTSTATUS status = BuspInternal(Request, BUS_IOCTL_QUERY_READINESS, reply, sizeof(reply), reply,
                                           sizeof(reply), &information);
            if (NT_SUCCESS(status) && reply[7] == 0 && reply[32] == 0 && reply[33] == 28) {
                ldx->fPositionKnown = FALSE;
                Request->fRecoveryFailed = TRUE;
                return;
            }
        }
        return;
    }
    if (!NT_SUCCESS(BusTrackReadPosition(Request)))
        return;
    const ULONG now = ldx->ulPosition;
    const BOOLEAN moved = now != Request->ulSavedPosition;
    if ((flags & BUS_VERIFY_IMMEDIATE) && !(flags & BUS_VERIFY_PROTECTION) && !moved)
        return;
    ULONG target = (flags & BUS_VERIFY_IMMEDIATE) && moved ? now - 1 : now;
    if (!NT_SUCCESS(BusTrackMoveTo(Request, target)))
        Request->fRecoveryFailed = TRUE;
}

void BuspTrackSetMedia(BusRequest *Request)
{
    LogicalDeviceExtension *ldx = Request->pLdx;
    ULONG blockLength = 0;
    if (Request->fPassThrough) {
        if (!BuspModeSelectBlockLength(Request, &blockLength))
            return;
    } else {
        const UCHAR *data = BuspData(Request, sizeof(ULONG));
        if (!data)
            return;
        blockLength = BuspGetU32(data);
    }
    if (ldx->fBlockSizeKnown && blockLength == ldx->ulBlockSize)
        return;
    if (NT_SUCCESS(Request->Status)) {
        if (!NT_SUCCESS(BusTrackReadMediaParams(Request)))
            ldx->fBlockSizeKnown = FALSE;
    } else {
        ldx->fBlockSizeKnown = FALSE;
    }
}

void BuspTrackPrepare(BusRequest *Request)
{
    LogicalDeviceExtension *ldx = Request->pLdx;
    if (!NT_SUCCESS(Request->Status))
        return;
    ULONG operation;
    if (Request->fPassThrough) {
        // PREVENT ALLOW MEDIUM REMOVAL: the prevent field of the command says it.
        operation = (Request->Pt.Cdb[4] & 0x03) ? TAPE_LOCK : TAPE_UNLOCK;
    } else {
        const UCHAR *data = BuspData(Request, sizeof(ULONG));
        if (!data)
            return;
        operation = BuspGetU32(data);
    }
    if (operation == TAPE_LOCK)
        ldx->fMediumLocked = TRUE;
    else if (operation == TAPE_UNLOCK)
        ldx->fMediumLocked = FALSE;
}

BusTrackKind BuspClassifyCdb(const UCHAR *Cdb, BOOLEAN *Moving, BOOLEAN *Transfer, BOOLEAN *Write, LONG *Direction)
{
    switch (Cdb[0]) {
    case BUS_OP_READ6:
    case BUS_OP_READ10:
        *Moving = *Transfer = TRUE;
        return BUS_TRACK_TRANSFER;
    case BUS_OP_READ_REVERSE6:
        *Moving = *Transfer = TRUE;
        *Direction = -1;
        return BUS_TRACK_TRANSFER;
    case BUS_OP_WRITE6:
    case BUS_OP_WRITE10:
        *Moving = *Transfer = *Write = TRUE;
        return BUS_TRACK_TRANSFER;
    case BUS_OP_WRITE_FILEMARKS6:
        *Moving = TRUE;
        return BUS_TRACK_WRITE_MARKS;
    case BUS_OP_SPACE6:
        *Moving = TRUE;
        return BUS_TRACK_SPACE;
    case BUS_OP_VERIFY6:
        *Moving = TRUE;
        return BUS_TRACK_VERIFY;
    case BUS_OP_ERASE6:
        *Moving = TRUE;
        return BUS_TRACK_ERASE;
    case BUS_OP_REWIND:
        return BUS_TRACK_REWIND;
    case BUS_OP_LOCATE10:
    case BUS_OP_LOCATE16:
        return BUS_TRACK_LOCATE;
    case BUS_OP_MODE_SELECT6:
    case BUS_OP_MODE_SELECT10:
        return BUS_TRACK_SET_MEDIA;
    case BUS_OP_PREVENT_ALLOW:
        return BUS_TRACK_PREPARE;
    default:
        return BUS_TRACK_NONE;
    }
}

} // namespace

/*++
Routine Description:
    Sorts the request into its row of the tracking table and notes whether it moves the tape and
    whether it transfers data. The pass-through module's copy of the command bytes must be filled
    first.
--*/
void BusTrackClassify(BusRequest *Request)
{
    Request->Kind = BUS_TRACK_NONE;
    Request->fPositionMoving = FALSE;
    Request->fDataTransfer = FALSE;
    Request->fWrite = FALSE;
    Request->lDirection = 1;
    switch (Request->ucMajor) {
    case IRP_MJ_READ:
        Request->Kind = BUS_TRACK_TRANSFER;
        Request->fPositionMoving = Request->fDataTransfer = TRUE;
        return;
    case IRP_MJ_WRITE:
        Request->Kind = BUS_TRACK_TRANSFER;
        Request->fPositionMoving = Request->fDataTransfer = Request->fWrite = TRUE;
        return;
    case IRP_MJ_DEVICE_CONTROL:
        break;
    default:
        return;
    }
    if (Request->fPassThrough) {
        Request->Kind = BuspClassifyCdb(Request->Pt.Cdb, &Request->fPositionMoving, &Request->fDataTransfer,
                                        &Request->fWrite, &Request->lDirection);
        return;
    }
    const auto *data = (const UCHAR *)Request->pIrp->AssociatedIrp.SystemBuffer;
    const ULONG in = Request->pStack->Parameters.DeviceIoControl.InputBufferLength;
    switch (Request->ulCode) {
    case IOCTL_TAPE_SET_POSITION: {
        ULONG method = data && in >= sizeof(ULONG) ? BuspGetU32(data) : 0xFFFFFFFF;
        if (method == TAPE_REWIND) {
            Request->Kind = BUS_TRACK_REWIND;
        } else if (method == TAPE_ABSOLUTE_BLOCK || method == TAPE_LOGICAL_BLOCK || method == TAPE_PSEUDO_LOGICAL_BLOCK) {
            // A pseudo-logical block is no logical block number: the drive is asked afterwards.
            Request->Kind = BUS_TRACK_LOCATE;
        } else if (method >= TAPE_SPACE_END_OF_DATA && method <= TAPE_SPACE_SEQUENTIAL_FMKS) {
            Request->Kind = BUS_TRACK_SPACE;
            Request->fPositionMoving = TRUE;
        }
        return;
    }
    case BUS_IOCTL_LOCATE_BLOCK:
    case BUS_IOCTL_LOCATE:
        Request->Kind = BUS_TRACK_LOCATE;
        return;
    case IOCTL_TAPE_WRITE_MARKS:
        Request->Kind = BUS_TRACK_WRITE_MARKS;
        Request->fPositionMoving = TRUE;
        return;
    case IOCTL_TAPE_ERASE:
        Request->Kind = BUS_TRACK_ERASE;
        Request->fPositionMoving = TRUE;
        return;
    case BUS_IOCTL_VERIFY:
        Request->Kind = BUS_TRACK_VERIFY;
        Request->fPositionMoving = TRUE;
        return;
    case IOCTL_TAPE_SET_MEDIA_PARAMS:
        Request->Kind = BUS_TRACK_SET_MEDIA;
        return;
    case IOCTL_TAPE_GET_MEDIA_PARAMS:
        Request->Kind = BUS_TRACK_GET_MEDIA;
        return;
    case BUS_IOCTL_GET_SETTING_A:
    case BUS_IOCTL_SET_SETTING_A:
        Request->Kind = BUS_TRACK_SETTING_A;
        return;
    case BUS_IOCTL_GET_SETTING_B:
    case BUS_IOCTL_SET_SETTING_B:
        Request->Kind = BUS_TRACK_SETTING_B;
        return;
    case IOCTL_TAPE_PREPARE:
        Request->Kind = BUS_TRACK_PREPARE;
        return;
    default:
        return;
    }
}

// Load, unload, erase and the immediate rewind leave the tape somewhere the bus cannot know.
BOOLEAN BusTrackLosesPosition(const BusRequest *Request)
{
    if (Request->ucMajor != IRP_MJ_DEVICE_CONTROL)
        return FALSE;
    if (Request->fPassThrough)
        return Request->Pt.Cdb[0] == BUS_OP_LOAD_UNLOAD || Request->Pt.Cdb[0] == BUS_OP_ERASE6;
    const auto *data = (const UCHAR *)Request->pIrp->AssociatedIrp.SystemBuffer;
    const ULONG in = Request->pStack->Parameters.DeviceIoControl.InputBufferLength;
    switch (Request->ulCode) {
    case IOCTL_TAPE_PREPARE: {
        ULONG operation = data && in >= sizeof(ULONG) ? BuspGetU32(data) : 0xFFFFFFFF;
        return operation == TAPE_LOAD || operation == TAPE_UNLOAD;
    }
    case IOCTL_TAPE_ERASE:
    case 0x001FE100: // rewind, returning at once
        return TRUE;
    default:
        return FALSE;
    }
}

/*++
Routine Description:
    Position tracking after one attempt of a request on a logical device with failover. May send
    internal requests (position reads and moves), which go over the current primary path and may
    themselves fail over.
--*/
void BusTrackAttempt(BusRequest *Request)
{
    LogicalDeviceExtension *ldx = Request->pLdx;
    if (!Request->fFailover)
        return;
    const BOOLEAN success = NT_SUCCESS(Request->Status);
    switch (Request->Kind) {
    case BUS_TRACK_TRANSFER:
        BuspTrackTransfer(Request);
        break;
    case BUS_TRACK_REWIND:
        if (success) {
            ldx->ulPosition = 0;
            ldx->fPositionKnown = TRUE;
            ldx->fAtBeginning = TRUE;
        } else {
            ldx->fPositionKnown = FALSE;
        }
        break;
    case BUS_TRACK_LOCATE: {
        if (!success) {
            ldx->fPositionKnown = FALSE;
            break;
        }
        ULONG position;
        if (BuspLocateTarget(Request, &position)) {
            ldx->ulPosition = position;
            ldx->fPositionKnown = TRUE;
        } else {
            BusTrackReadPosition(Request);
        }
        break;
    }
    case BUS_TRACK_SPACE:
        BuspTrackSpace(Request);
        break;
    case BUS_TRACK_WRITE_MARKS:
        BuspTrackWriteMarks(Request);
        break;
    case BUS_TRACK_ERASE:
        BuspTrackErase(Request);
        break;
    case BUS_TRACK_VERIFY:
        BuspTrackVerify(Request);
        break;
    case BUS_TRACK_SET_MEDIA:
        BuspTrackSetMedia(Request);
        break;
    case BUS_TRACK_GET_MEDIA:
        if (success && ldx->ulBlockSize == BUS_BLOCK_SIZE_UNKNOWN) {
            const UCHAR *data = BuspData(Request, sizeof(TAPE_GET_MEDIA_PARAMETERS));
            if (data)
                ldx->ulBlockSize = BuspGetU32(data + FIELD_OFFSET(TAPE_GET_MEDIA_PARAMETERS, BlockSize));
        }
        break;
    case BUS_TRACK_SETTING_A:
        if (success) {
            const UCHAR *data = BuspData(Request, sizeof(ldx->SettingA));
            if (data) {
                RtlCopyMemory(ldx->SettingA, data, sizeof(ldx->SettingA));
                ldx->fSettingAFlag = data[1] != 0;
                ldx->fSettingAValid = TRUE;
            }
        }
        break;
    case BUS_TRACK_SETTING_B: {
        const UCHAR *data = BuspData(Request, 1);
        ldx->ucSettingB = success && data ? data[0] : 0xFF;
        break;
    }
    case BUS_TRACK_PREPARE:
        BuspTrackPrepare(Request);
        break;
    default:
        break;
    }
}

NTSTATUS BusTrackReadPosition(BusRequest *Request)
{
    LogicalDeviceExtension *ldx = Request->pLdx;
    TAPE_GET_POSITION position;
    RtlZeroMemory(&position, sizeof(position));
    position.Type = BUS_GET_POSITION_TYPE;
    ULONG_PTR information = 0;
    NTSTATUS status = BuspInternal(Request, IOCTL_TAPE_GET_POSITION, &position, sizeof(position), &position,
                                   sizeof(position), &information);
    if (NT_SUCCESS(status) && information < sizeof(position))
        status = STATUS_DEVICE_PROTOCOL_ERROR;
    if (NT_SUCCESS(status)) {
        ldx->ulPosition = (ULONG)position.Offset.QuadPart;
        ldx->fPositionKnown = TRUE;
    } else {
        ldx->fPositionKnown = FALSE;
    }
    return status;
}

NTSTATUS BusTrackMoveTo(BusRequest *Request, ULONG Position)
{
    LogicalDeviceExtension *ldx = Request->pLdx;
    TAPE_SET_POSITION position;
    RtlZeroMemory(&position, sizeof(position));
    position.Method = TAPE_LOGICAL_BLOCK;
    position.Offset.QuadPart = Position;
    NTSTATUS status = BuspInternal(Request, IOCTL_TAPE_SET_POSITION, &position, sizeof(position), nullptr, 0, nullptr);
    if (NT_SUCCESS(status)) {
        ldx->ulPosition = Position;
        ldx->fPositionKnown = TRUE;
    } else {
        ldx->fPositionKnown = FALSE;
    }
    return status;
}

NTSTATUS BusTrackReadMediaParams(BusRequest *Request)
{
    LogicalDeviceExtension *ldx = Request->pLdx;
    TAPE_GET_MEDIA_PARAMETERS media;
    RtlZeroMemory(&media, sizeof(media));
    ULONG_PTR information = 0;
    NTSTATUS status = BuspInternal(Request, IOCTL_TAPE_GET_MEDIA_PARAMS, nullptr, 0, &media, sizeof(media), &information);
    if (NT_SUCCESS(status) && information < FIELD_OFFSET(TAPE_GET_MEDIA_PARAMETERS, BlockSize) + sizeof(ULONG))
        status = STATUS_DEVICE_PROTOCOL_ERROR;
    if (NT_SUCCESS(status)) {
        ldx->ulBlockSize = media.BlockSize;
        ldx->fBlockSizeKnown = TRUE;
    }
    return status;
}
