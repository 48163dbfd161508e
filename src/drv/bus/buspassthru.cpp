// Applications' SCSI pass-through structures: the checks made before anything of them is copied or
// sent, the native (64-bit) copy that goes down a path, and the results that come back.
//
// A 32-bit process lays the structure out in 44 bytes (32-bit offset or data pointer); the class
// driver below the path filter sees requests of the bus, which are kernel requests, and reads the
// 56-byte native layout only. Such a structure is therefore rebuilt in the native layout, with its
// data and sense moved along, and the results are put back where the caller expects them.
//
// Everything here is pure logic on buffers the caller hands in: no kernel calls, no allocation.
#include "bus.h"

namespace {

constexpr ULONG BUSP_SPT32_SIZE = 44;
constexpr ULONG BUSP_SPT64_SIZE = 56;
constexpr ULONG BUSP_MAX_CDB = 16;

// Fields at the same place in both layouts.
constexpr ULONG BUSP_LENGTH = 0;
constexpr ULONG BUSP_SCSI_STATUS = 2;
constexpr ULONG BUSP_CDB_LENGTH = 6;
constexpr ULONG BUSP_SENSE_LENGTH = 7;
constexpr ULONG BUSP_DATA_IN = 8;
constexpr ULONG BUSP_TRANSFER_LENGTH = 12;
constexpr ULONG BUSP_TIMEOUT = 16;
// Fields behind the data offset or pointer, whose width differs.
constexpr ULONG BUSP_DATA32 = 20;
constexpr ULONG BUSP_SENSE_OFFSET32 = 24;
constexpr ULONG BUSP_CDB32 = 28;
constexpr ULONG BUSP_DATA64 = 24;
constexpr ULONG BUSP_SENSE_OFFSET64 = 32;
constexpr ULONG BUSP_CDB64 = 36;

static_assert(sizeof(SCSI_PASS_THROUGH) == BUSP_SPT64_SIZE && sizeof(SCSI_PASS_THROUGH_DIRECT) == BUSP_SPT64_SIZE,
              "native pass-through layouts");
// The direct 32-bit layout is the buffered one with a 32-bit pointer in place of the offset;
// compilers that ignore POINTER_32 widen it in the header's struct, so only the buffered one is
// checked against the header.
static_assert(sizeof(SCSI_PASS_THROUGH32) == BUSP_SPT32_SIZE, "32-bit pass-through layout");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH, Length) == BUSP_LENGTH &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, ScsiStatus) == BUSP_SCSI_STATUS &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, CdbLength) == BUSP_CDB_LENGTH &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, SenseInfoLength) == BUSP_SENSE_LENGTH &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, DataIn) == BUSP_DATA_IN &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, DataTransferLength) == BUSP_TRANSFER_LENGTH &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, TimeOutValue) == BUSP_TIMEOUT,
              "leading fields of the native layout");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH32, ScsiStatus) == BUSP_SCSI_STATUS &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH32, CdbLength) == BUSP_CDB_LENGTH &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH32, SenseInfoLength) == BUSP_SENSE_LENGTH &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH32, DataIn) == BUSP_DATA_IN &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH32, DataTransferLength) == BUSP_TRANSFER_LENGTH &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH32, TimeOutValue) == BUSP_TIMEOUT,
              "the leading fields are common to both layouts");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH32, DataBufferOffset) == BUSP_DATA32 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH32, SenseInfoOffset) == BUSP_SENSE_OFFSET32 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH32, Cdb) == BUSP_CDB32,
              "32-bit layout");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH, DataBufferOffset) == BUSP_DATA64 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, SenseInfoOffset) == BUSP_SENSE_OFFSET64 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, Cdb) == BUSP_CDB64 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == BUSP_DATA64 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == BUSP_SENSE_OFFSET64 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, Cdb) == BUSP_CDB64,
              "native layout");

// Native copies larger than this are refused rather than sized (the path buffer adds its block).
constexpr ULONG64 BUSP_MAX_NATIVE_LENGTH = 0x7FFF0000;

ULONG BuspReadU32(const UCHAR *Buffer, ULONG Offset)
{
    ULONG value;
    RtlCopyMemory(&value, Buffer + Offset, sizeof(value));
    return value;
}

ULONG64 BuspReadU64(const UCHAR *Buffer, ULONG Offset)
{
    ULONG64 value;
    RtlCopyMemory(&value, Buffer + Offset, sizeof(value));
    return value;
}

void BuspWriteU32(UCHAR *Buffer, ULONG Offset, ULONG Value)
{
    RtlCopyMemory(Buffer + Offset, &Value, sizeof(Value));
}

void BuspWriteU64(UCHAR *Buffer, ULONG Offset, ULONG64 Value)
{
    RtlCopyMemory(Buffer + Offset, &Value, sizeof(Value));
}

// [Offset, Offset + Length) lies after a header of Header bytes and inside a buffer of Size
// bytes; written so that no sum can wrap.
BOOLEAN BuspRegionFits(ULONG64 Offset, ULONG Length, ULONG Header, ULONG Size)
{
    return Offset >= Header && Offset <= Size && Length <= Size - Offset;
}

ULONG64 BuspRoundUp8(ULONG64 Value)
{
    return (Value + 7) & ~7ull;
}

// Where the first region after a converted structure goes: four bytes on, at an 8-byte boundary,
// and never inside the native structure, which is 12 bytes longer than the caller's (a region
// right behind a 44-byte structure would otherwise land on the last command bytes).
ULONG64 BuspNativePlace(ULONG64 CallerOffset)
{
    ULONG64 place = BuspRoundUp8(CallerOffset + 4);
    return place < BUSP_SPT64_SIZE ? BUSP_SPT64_SIZE : place;
}

} // namespace

/*++
Routine Description:
    Checks an application's pass-through structure against the request's buffers before anything
    of it is copied, converted or sent, and records what the send-over-a-path handler needs.
Arguments:
    Code - IOCTL_SCSI_PASS_THROUGH or IOCTL_SCSI_PASS_THROUGH_DIRECT.
    Buffer - the request's system buffer, max(InLength, OutLength) bytes.
    InLength, OutLength - the request's buffer lengths.
    Caller32 - the request comes from a 32-bit process.
    LockedBytes - byte count of the locked caller buffer of a direct request; 0 = none.
    Pt - receives the request's description; zeroed first.
Return Value:
    STATUS_SUCCESS; STATUS_INFO_LENGTH_MISMATCH for a length field that names no layout this caller
    may use; STATUS_BUFFER_TOO_SMALL for an input shorter than the smallest structure;
    STATUS_INVALID_PARAMETER for a structure that does not fit its buffers, names a region outside
    the buffer the region moves in, or carries a bad command length or direction.
--*/
NTSTATUS BusPassThroughInspect(ULONG Code, const UCHAR *Buffer, ULONG InLength, ULONG OutLength, BOOLEAN Caller32,
                               ULONG LockedBytes, BusPassThrough *Pt)
{
    RtlZeroMemory(Pt, sizeof(*Pt));
    if (Code != IOCTL_SCSI_PASS_THROUGH && Code != IOCTL_SCSI_PASS_THROUGH_DIRECT)
        return STATUS_INVALID_PARAMETER;
    if (!Buffer || InLength < sizeof(USHORT))
        return STATUS_INFO_LENGTH_MISMATCH;
    USHORT length;
    RtlCopyMemory(&length, Buffer + BUSP_LENGTH, sizeof(length));
    if (length != BUSP_SPT32_SIZE && length != BUSP_SPT64_SIZE)
        return STATUS_INFO_LENGTH_MISMATCH;
    BOOLEAN direct = Code == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    BOOLEAN convert = length == BUSP_SPT32_SIZE;
    // A 64-bit caller's direct request carries a 64-bit data pointer: the short layout cannot
    // hold it.
    if (convert && direct && !Caller32)
        return STATUS_INFO_LENGTH_MISMATCH;
    if (InLength < BUSP_SPT32_SIZE)
        return STATUS_BUFFER_TOO_SMALL;
    // The structure comes in and its results go back out: both buffers must hold it.
    if (InLength < length || OutLength < length)
        return STATUS_INVALID_PARAMETER;

    ULONG header = length;
    Pt->fDirect = direct;
    Pt->fConvert = convert;
    Pt->ucCdbLength = Buffer[BUSP_CDB_LENGTH];
    Pt->ucSenseLength = Buffer[BUSP_SENSE_LENGTH];
    Pt->ucDataIn = Buffer[BUSP_DATA_IN];
    Pt->ulDataLength = BuspReadU32(Buffer, BUSP_TRANSFER_LENGTH);
    Pt->ulCallerInLength = InLength;
    ULONG64 data = convert ? BuspReadU32(Buffer, BUSP_DATA32) : BuspReadU64(Buffer, BUSP_DATA64);
    ULONG senseOffset = BuspReadU32(Buffer, convert ? BUSP_SENSE_OFFSET32 : BUSP_SENSE_OFFSET64);
    RtlCopyMemory(Pt->Cdb, Buffer + (convert ? BUSP_CDB32 : BUSP_CDB64), sizeof(Pt->Cdb));

    if (Pt->ucCdbLength == 0 || Pt->ucCdbLength > BUSP_MAX_CDB)
        return STATUS_INVALID_PARAMETER;
    if (Pt->ucDataIn > SCSI_IOCTL_DATA_UNSPECIFIED)
        return STATUS_INVALID_PARAMETER;
    // Sense data is written back to the caller: it must lie in the output.
    if (Pt->ucSenseLength && !BuspRegionFits(senseOffset, Pt->ucSenseLength, header, OutLength))
        return STATUS_INVALID_PARAMETER;
    BOOLEAN dataUsed = Pt->ulDataLength != 0;
    if (dataUsed && !direct) {
        // Incoming data lands in the output; outgoing data is read from the input.
        ULONG room = Pt->ucDataIn == SCSI_IOCTL_DATA_IN ? OutLength : InLength;
        if (!BuspRegionFits(data, Pt->ulDataLength, header, room))
            return STATUS_INVALID_PARAMETER;
    }
    if (dataUsed && direct && LockedBytes < Pt->ulDataLength)
        return STATUS_INVALID_PARAMETER;

    if (direct)
        Pt->CallerDataBuffer = data;
    else if (dataUsed)
        Pt->ulCallerDataOffset = (ULONG)data;
    if (Pt->ucSenseLength)
        Pt->ulCallerSenseOffset = senseOffset;

    if (!convert) {
        // The native copy is the caller's buffer as it is.
        Pt->ulNativeDataOffset = Pt->ulCallerDataOffset;
        Pt->ulNativeSenseOffset = Pt->ulCallerSenseOffset;
        Pt->ulNativeLength = InLength > OutLength ? InLength : OutLength;
        Pt->ulNativeInLength = InLength;
        return STATUS_SUCCESS;
    }

    // The regions in use move by one amount, fixed by the lower of them, so that their order,
    // the gaps between them and any overlap the caller chose stay as they were.
    BOOLEAN bufferedData = dataUsed && !direct;
    BOOLEAN senseUsed = Pt->ucSenseLength != 0;
    ULONG64 delta = 0;
    if (bufferedData || senseUsed) {
        ULONG64 lower;
        if (bufferedData && senseUsed)
            lower = Pt->ulCallerDataOffset < Pt->ulCallerSenseOffset ? Pt->ulCallerDataOffset : Pt->ulCallerSenseOffset;
        else
            lower = bufferedData ? Pt->ulCallerDataOffset : Pt->ulCallerSenseOffset;
        delta = BuspNativePlace(lower) - lower;
    }
    ULONG64 end = BUSP_SPT64_SIZE;
    ULONG64 inEnd = BUSP_SPT64_SIZE;
    if (bufferedData) {
        ULONG64 dataEnd = Pt->ulCallerDataOffset + delta + Pt->ulDataLength;
        end = dataEnd > end ? dataEnd : end;
        if (Pt->ucDataIn != SCSI_IOCTL_DATA_IN)
            inEnd = dataEnd > inEnd ? dataEnd : inEnd;
    }
    if (senseUsed) {
        ULONG64 senseEnd = Pt->ulCallerSenseOffset + delta + Pt->ucSenseLength;
        end = senseEnd > end ? senseEnd : end;
    }
    if (end > BUSP_MAX_NATIVE_LENGTH)
        return STATUS_INVALID_PARAMETER;
    if (bufferedData)
        Pt->ulNativeDataOffset = (ULONG)(Pt->ulCallerDataOffset + delta);
    if (senseUsed)
        Pt->ulNativeSenseOffset = (ULONG)(Pt->ulCallerSenseOffset + delta);
    Pt->ulNativeLength = (ULONG)end;
    Pt->ulNativeInLength = (ULONG)inEnd;
    return STATUS_SUCCESS;
}

/*++
Routine Description:
    Writes the native copy of a checked structure: the caller's buffer itself when it is already
    native, otherwise the structure rebuilt in the native layout with its data and sense moved
    to their native places. A direct request's data pointer becomes the system address of the
    locked caller buffer.
Arguments:
    Pt - what BusPassThroughInspect recorded.
    Buffer - the caller's system buffer, as inspected.
    Native - at least Pt->ulNativeLength bytes, zeroed by the caller.
    SystemAddress - direct requests: the locked buffer's system address (null without data).
--*/
void BusPassThroughToNative(const BusPassThrough *Pt, const UCHAR *Buffer, UCHAR *Native, PVOID SystemAddress)
{
    if (!Pt->fConvert) {
        RtlCopyMemory(Native, Buffer, Pt->ulCallerInLength);
        if (Pt->fDirect)
            BuspWriteU64(Native, BUSP_DATA64, (ULONG64)(ULONG_PTR)SystemAddress);
        return;
    }

    // Length, status, address, command and sense lengths, direction, transfer length, timeout.
    RtlCopyMemory(Native, Buffer, BUSP_DATA32);
    Native[BUSP_LENGTH] = (UCHAR)BUSP_SPT64_SIZE;
    Native[BUSP_LENGTH + 1] = 0;
    BuspWriteU64(Native, BUSP_DATA64,
                 Pt->fDirect ? (ULONG64)(ULONG_PTR)SystemAddress : (ULONG64)Pt->ulNativeDataOffset);
    BuspWriteU32(Native, BUSP_SENSE_OFFSET64, Pt->ulNativeSenseOffset);
    RtlCopyMemory(Native + BUSP_CDB64, Pt->Cdb, sizeof(Pt->Cdb));
    if (!Pt->fDirect && Pt->ulDataLength)
        RtlCopyMemory(Native + Pt->ulNativeDataOffset, Buffer + Pt->ulCallerDataOffset, Pt->ulDataLength);
    if (Pt->ucSenseLength)
        RtlCopyMemory(Native + Pt->ulNativeSenseOffset, Buffer + Pt->ulCallerSenseOffset, Pt->ucSenseLength);
}

/*++
Routine Description:
    Puts the results of a completed native request back into the caller's buffer. A native
    caller gets the native copy back, at most OutLength bytes, with its own data pointer in a
    direct structure. A 32-bit caller gets the SCSI status, the sense length and bytes, the
    transfer length and, for buffered incoming data, the data, each at its 32-bit place; the
    counts the class driver returned are held to what the caller asked for, so nothing is written
    outside the regions that were checked.
Arguments:
    Pt - what BusPassThroughInspect recorded.
    Native - the native copy as the request returned it (Pt->ulNativeLength bytes).
    NativeInformation - the information of the native request.
    Buffer - the caller's system buffer.
    OutLength - the caller's output length.
Return Value:
    The information to report: bytes of the caller's buffer that carry results.
--*/
ULONG BusPassThroughToCaller(const BusPassThrough *Pt, const UCHAR *Native, ULONG NativeInformation, UCHAR *Buffer,
                             ULONG OutLength)
{
    if (!Pt->fConvert) {
        ULONG count = NativeInformation;
        if (count > Pt->ulNativeLength)
            count = Pt->ulNativeLength;
        if (count > OutLength)
            count = OutLength;
        RtlCopyMemory(Buffer, Native, count);
        // The caller's own address goes back in place of the system address it was sent with.
        if (Pt->fDirect && count > BUSP_DATA64) {
            ULONG bytes = count - BUSP_DATA64 < sizeof(ULONG64) ? count - BUSP_DATA64 : (ULONG)sizeof(ULONG64);
            RtlCopyMemory(Buffer + BUSP_DATA64, &Pt->CallerDataBuffer, bytes);
        }
        return count;
    }

    ULONG sense = Native[BUSP_SENSE_LENGTH];
    if (sense > Pt->ucSenseLength)
        sense = Pt->ucSenseLength;
    ULONG transferred = BuspReadU32(Native, BUSP_TRANSFER_LENGTH);
    if (transferred > Pt->ulDataLength)
        transferred = Pt->ulDataLength;

    Buffer[BUSP_SCSI_STATUS] = Native[BUSP_SCSI_STATUS];
    Buffer[BUSP_SENSE_LENGTH] = (UCHAR)sense;
    BuspWriteU32(Buffer, BUSP_TRANSFER_LENGTH, transferred);
    ULONG end = BUSP_SPT32_SIZE;
    if (sense) {
        RtlCopyMemory(Buffer + Pt->ulCallerSenseOffset, Native + Pt->ulNativeSenseOffset, sense);
        if (Pt->ulCallerSenseOffset + sense > end)
            end = Pt->ulCallerSenseOffset + sense;
    }
    if (!Pt->fDirect && Pt->ucDataIn == SCSI_IOCTL_DATA_IN && transferred) {
        RtlCopyMemory(Buffer + Pt->ulCallerDataOffset, Native + Pt->ulNativeDataOffset, transferred);
        if (Pt->ulCallerDataOffset + transferred > end)
            end = Pt->ulCallerDataOffset + transferred;
    }
    return end < OutLength ? end : OutLength;
}

/*++
Routine Description:
    The sense key, ASC and ASCQ of the sense data a native request returned; each is 0 when the
    returned sense is too short to hold it.
--*/
void BusPassThroughSense(const BusPassThrough *Pt, const UCHAR *Native, UCHAR *Key, UCHAR *Asc, UCHAR *Ascq)
{
    *Key = *Asc = *Ascq = 0;
    ULONG length = Native[BUSP_SENSE_LENGTH];
    if (length > Pt->ucSenseLength)
        length = Pt->ucSenseLength;
    const UCHAR *sense = Native + Pt->ulNativeSenseOffset;
    if (length > 2)
        *Key = sense[2] & 0x0F;
    if (length > 12)
        *Asc = sense[12];
    if (length > 13)
        *Ascq = sense[13];
}
