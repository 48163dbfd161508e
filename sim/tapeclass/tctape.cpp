// Reads and writes through the caller's MDL, the standard tape control codes, and the private
// tape codes the bus restores and watches (their meanings are listed in tcioctl.h).
#include "tapeclass.h"

namespace {

UCHAR TcpImmediate(BOOLEAN Immediate) { return Immediate ? 0x01 : 0x00; }

NTSTATUS TcpRun6(TcExtension *Ext, TcIo *Io, UCHAR Op, UCHAR Byte1, ULONG Field24, UCHAR Byte4Only = 0xFF)
{
    UCHAR cdb[6] = {Op, Byte1, 0, 0, 0, 0};
    if (Byte4Only != 0xFF)
        cdb[4] = Byte4Only;
    else
        TcPutBe24(cdb + 2, Field24);
    return ClsExecute(Ext, Io, cdb, sizeof(cdb), FAB_DATA_NONE, nullptr, 0);
}

// SPACE(6) with a 24-bit signed count.
NTSTATUS TcpSpace(TcExtension *Ext, TcIo *Io, UCHAR Code, LONGLONG Count)
{
    if (Count < -0x800000LL || Count > 0x7FFFFFLL)
        return STATUS_INVALID_PARAMETER;
    return TcpRun6(Ext, Io, SCSIOP_SPACE, Code, (ULONG)Count & 0xFFFFFF);
}

// LOCATE(10) to a logical block; Partition 0 = the current one, else partition number + 1.
NTSTATUS TcpLocate(TcExtension *Ext, TcIo *Io, ULONGLONG Block, ULONG Partition, BOOLEAN Immediate)
{
    if (Block > 0xFFFFFFFFull || Partition > 0x100)
        return STATUS_INVALID_PARAMETER;
    UCHAR cdb[10] = {SCSIOP_LOCATE10, TcpImmediate(Immediate), 0, 0, 0, 0, 0, 0, 0, 0};
    if (Partition) {
        cdb[1] |= 0x02; // change partition
        cdb[8] = (UCHAR)(Partition - 1);
    }
    TcPutBe32(cdb + 3, (ULONG)Block);
    return ClsExecute(Ext, Io, cdb, sizeof(cdb), FAB_DATA_NONE, nullptr, 0);
}

// READ POSITION, short form (20 bytes).
NTSTATUS TcpReadPosition(TcExtension *Ext, TcIo *Io, UCHAR *Data)
{
    RtlZeroMemory(Data, 20);
    const UCHAR cdb[10] = {SCSIOP_READ_POSITION, 0x00, 0, 0, 0, 0, 0, 0x00, 20, 0};
    FabScsiRequest result;
    NTSTATUS status = ClsExecute(Ext, Io, cdb, sizeof(cdb), FAB_DATA_IN, Data, 20, &result);
    if (NT_SUCCESS(status) && result.DataTransferred < 12)
        return STATUS_DEVICE_PROTOCOL_ERROR;
    return status;
}

NTSTATUS TcpTestUnitReady(TcExtension *Ext, TcIo *Io, FabScsiRequest *Result = nullptr)
{
    const UCHAR cdb[6] = {SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0};
    return ClsExecute(Ext, Io, cdb, sizeof(cdb), FAB_DATA_NONE, nullptr, 0, Result);
}

// ---------------------------------------------------------------------------------------------
// Standard tape control codes
// ---------------------------------------------------------------------------------------------
NTSTATUS TcpGetPosition(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    auto *position = (PTAPE_GET_POSITION)Buffer;
    if (position->Type > TAPE_PSEUDO_LOGICAL_POSITION)
        return STATUS_INVALID_PARAMETER;
    UCHAR data[20];
    NTSTATUS status = TcpReadPosition(Ext, Io, data);
    if (!NT_SUCCESS(status))
        return status;
    // Block position unknown: the drive cannot say where it is.
    if (data[0] & 0x04)
        return STATUS_IO_DEVICE_ERROR;
    // One partition, logical blocks counted from its beginning: absolute and logical agree.
    position->Partition = data[1];
    position->Offset.QuadPart = TcGetBe32(data + 4);
    *Information = sizeof(TAPE_GET_POSITION);
    return STATUS_SUCCESS;
}

NTSTATUS TcpSetPosition(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    auto *position = (PTAPE_SET_POSITION)Buffer;
    LONGLONG offset = position->Offset.QuadPart;
    switch (position->Method) {
    case TAPE_REWIND:
        return TcpRun6(Ext, Io, SCSIOP_REWIND, TcpImmediate(position->Immediate), 0);
    case TAPE_ABSOLUTE_BLOCK:
    case TAPE_LOGICAL_BLOCK:
    case TAPE_PSEUDO_LOGICAL_BLOCK:
        if (offset < 0)
            return STATUS_INVALID_PARAMETER;
        return TcpLocate(Ext, Io, (ULONGLONG)offset, position->Partition, position->Immediate);
    case TAPE_SPACE_END_OF_DATA:
        return TcpSpace(Ext, Io, 0x03, 0);
    case TAPE_SPACE_RELATIVE_BLOCKS:
        return TcpSpace(Ext, Io, 0x00, offset);
    case TAPE_SPACE_FILEMARKS:
        return TcpSpace(Ext, Io, 0x01, offset);
    case TAPE_SPACE_SEQUENTIAL_FMKS:
        return TcpSpace(Ext, Io, 0x02, offset);
    case TAPE_SPACE_SETMARKS:
    case TAPE_SPACE_SEQUENTIAL_SMKS:
        return STATUS_NOT_SUPPORTED; // setmarks are not advertised in the drive parameters
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS TcpWriteMarks(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    auto *marks = (PTAPE_WRITE_MARKS)Buffer;
    switch (marks->Type) {
    case TAPE_FILEMARKS:
    case TAPE_SHORT_FILEMARKS:
    case TAPE_LONG_FILEMARKS:
        if (marks->Count > 0xFFFFFF)
            return STATUS_INVALID_PARAMETER;
        return TcpRun6(Ext, Io, SCSIOP_WRITE_FILEMARKS, TcpImmediate(marks->Immediate), marks->Count);
    case TAPE_SETMARKS:
        return STATUS_NOT_SUPPORTED;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS TcpErase(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    auto *erase = (PTAPE_ERASE)Buffer;
    if (erase->Type != TAPE_ERASE_SHORT && erase->Type != TAPE_ERASE_LONG)
        return STATUS_INVALID_PARAMETER;
    UCHAR byte1 = (UCHAR)((erase->Immediate ? 0x02 : 0) | (erase->Type == TAPE_ERASE_LONG ? 0x01 : 0));
    return TcpRun6(Ext, Io, SCSIOP_ERASE6, byte1, 0);
}

NTSTATUS TcpPrepare(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    auto *prepare = (PTAPE_PREPARE)Buffer;
    UCHAR immediate = TcpImmediate(prepare->Immediate);
    NTSTATUS status;
    switch (prepare->Operation) {
    case TAPE_LOAD:
    case TAPE_UNLOAD:
        status = TcpRun6(Ext, Io, SCSIOP_LOAD_UNLOAD, immediate, 0, prepare->Operation == TAPE_LOAD ? 0x01 : 0x00);
        // Another medium, or none: what the driver knew about it no longer holds.
        Ext->ulBlockSize = TC_BLOCK_SIZE_UNKNOWN;
        if (NT_SUCCESS(status))
            TcQueryEncryption(Ext);
        return status;
    case TAPE_TENSION:
        return STATUS_SUCCESS; // modern media need no retensioning
    case TAPE_LOCK:
    case TAPE_UNLOCK:
        return TcpRun6(Ext, Io, SCSIOP_PREVENT_ALLOW, 0, 0, prepare->Operation == TAPE_LOCK ? 0x01 : 0x00);
    case TAPE_FORMAT:
        return STATUS_NOT_SUPPORTED;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS TcpGetMediaParams(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    UCHAR data[12];
    RtlZeroMemory(data, sizeof(data));
    const UCHAR cdb[6] = {SCSIOP_MODE_SENSE6, 0x00, TC_MODE_PAGE, 0x00, sizeof(data), 0x00};
    FabScsiRequest result;
    NTSTATUS status = ClsExecute(Ext, Io, cdb, sizeof(cdb), FAB_DATA_IN, data, sizeof(data), &result);
    if (!NT_SUCCESS(status))
        return status;
    if (result.DataTransferred < 4)
        return STATUS_DEVICE_PROTOCOL_ERROR;
    Ext->ulBlockSize = data[3] >= 8 ? TcGetBe24(data + 9) : 0;
    auto *media = (PTAPE_GET_MEDIA_PARAMETERS)Buffer;
    RtlZeroMemory(media, sizeof(*media));
    // Capacity and remaining capacity are not reported (TAPE_DRIVE_TAPE_CAPACITY is not advertised).
    media->BlockSize = Ext->ulBlockSize;
    media->PartitionCount = 1;
    media->WriteProtected = (data[2] & 0x80) ? TRUE : FALSE;
    *Information = sizeof(TAPE_GET_MEDIA_PARAMETERS);
    return STATUS_SUCCESS;
}

NTSTATUS TcpSetMediaParams(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    return TcSetBlockSize(Ext, Io, ((PTAPE_SET_MEDIA_PARAMETERS)Buffer)->BlockSize);
}

NTSTATUS TcpGetDriveParams(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    UCHAR limits[6];
    RtlZeroMemory(limits, sizeof(limits));
    const UCHAR cdb[6] = {SCSIOP_READ_BLOCK_LIMITS, 0, 0, 0, 0, 0};
    FabScsiRequest result;
    NTSTATUS status = ClsExecute(Ext, Io, cdb, sizeof(cdb), FAB_DATA_IN, limits, sizeof(limits), &result);
    if (!NT_SUCCESS(status))
        return status;
    if (result.DataTransferred < sizeof(limits))
        return STATUS_DEVICE_PROTOCOL_ERROR;
    auto *drive = (PTAPE_GET_DRIVE_PARAMETERS)Buffer;
    RtlZeroMemory(drive, sizeof(*drive));
    drive->MaximumBlockSize = TcGetBe24(limits + 1);
    drive->MinimumBlockSize = TcGetBe16(limits + 4);
    ULONG preferred = 512;
    if (preferred < drive->MinimumBlockSize)
        preferred = drive->MinimumBlockSize;
    if (drive->MaximumBlockSize && preferred > drive->MaximumBlockSize)
        preferred = drive->MaximumBlockSize;
    drive->DefaultBlockSize = preferred;
    drive->MaximumPartitionCount = 1;
    drive->FeaturesLow = TAPE_DRIVE_ERASE_SHORT | TAPE_DRIVE_ERASE_LONG | TAPE_DRIVE_ERASE_IMMEDIATE |
                         TAPE_DRIVE_FIXED_BLOCK | TAPE_DRIVE_VARIABLE_BLOCK | TAPE_DRIVE_WRITE_PROTECT |
                         TAPE_DRIVE_GET_ABSOLUTE_BLK | TAPE_DRIVE_GET_LOGICAL_BLK;
    // The high feature word is reported without its marker bit, as the system's tape drivers do.
    drive->FeaturesHigh = (TAPE_DRIVE_LOAD_UNLOAD | TAPE_DRIVE_TENSION | TAPE_DRIVE_LOCK_UNLOCK |
                           TAPE_DRIVE_REWIND_IMMEDIATE | TAPE_DRIVE_SET_BLOCK_SIZE | TAPE_DRIVE_LOAD_UNLD_IMMED |
                           TAPE_DRIVE_ABSOLUTE_BLK | TAPE_DRIVE_ABS_BLK_IMMED | TAPE_DRIVE_LOGICAL_BLK |
                           TAPE_DRIVE_LOG_BLK_IMMED | TAPE_DRIVE_END_OF_DATA | TAPE_DRIVE_RELATIVE_BLKS |
                           TAPE_DRIVE_FILEMARKS | TAPE_DRIVE_SEQUENTIAL_FMKS | TAPE_DRIVE_REVERSE_POSITION |
                           TAPE_DRIVE_WRITE_FILEMARKS | TAPE_DRIVE_WRITE_SHORT_FMKS | TAPE_DRIVE_WRITE_LONG_FMKS |
                           TAPE_DRIVE_WRITE_MARK_IMMED) &
                          ~(ULONG)TAPE_DRIVE_HIGH_FEATURES;
    *Information = sizeof(TAPE_GET_DRIVE_PARAMETERS);
    return STATUS_SUCCESS;
}

NTSTATUS TcpGetStatus(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    return TcpTestUnitReady(Ext, Io);
}

NTSTATUS TcpNotSupported(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    // Drive parameters (ECC, compression, padding, setmarks) cannot be changed and the medium
    // cannot be partitioned on the drives this stand-in serves.
    return STATUS_NOT_SUPPORTED;
}

// ---------------------------------------------------------------------------------------------
// Private tape codes
// ---------------------------------------------------------------------------------------------
NTSTATUS TcpLocateBlock(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    VyrTcLocateBlock record;
    RtlCopyMemory(&record, Buffer, sizeof(record));
    if (record.Flags & ~1u)
        return STATUS_INVALID_PARAMETER;
    return TcpLocate(Ext, Io, record.Block, record.Partition, (BOOLEAN)(record.Flags & 1));
}

NTSTATUS TcpLocateAny(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    VyrTcLocate record;
    RtlCopyMemory(&record, Buffer, sizeof(record));
    switch (record.Type) {
    case VYRTC_LOCATE_BLOCK:
        return TcpLocate(Ext, Io, record.Target, 0, record.Immediate != 0);
    case VYRTC_LOCATE_FILE: {
        if (record.Target > 0x7FFFFF)
            return STATUS_INVALID_PARAMETER;
        NTSTATUS status = TcpRun6(Ext, Io, SCSIOP_REWIND, 0, 0);
        if (!NT_SUCCESS(status) || record.Target == 0)
            return status;
        return TcpSpace(Ext, Io, 0x01, record.Target);
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS TcpGetSettingA(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    RtlCopyMemory(Buffer, &Ext->SettingA, sizeof(Ext->SettingA));
    *Information = sizeof(Ext->SettingA);
    return STATUS_SUCCESS;
}

NTSTATUS TcpSetSettingA(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    VyrTcSettingA setting;
    RtlCopyMemory(&setting, Buffer, sizeof(setting));
    if (setting.Flags & ~VYRTC_SETTING_A_SILI)
        return STATUS_INVALID_PARAMETER;
    Ext->SettingA = setting;
    return STATUS_SUCCESS;
}

NTSTATUS TcpGetSettingB(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    ULONG size = Out < 8 ? Out : 8;
    RtlZeroMemory(Buffer, size);
    Buffer[0] = Ext->ucSettingB;
    *Information = size;
    return STATUS_SUCCESS;
}

NTSTATUS TcpSetSettingB(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    if (Buffer[0] != VYRTC_SETTING_B_EOM_AS_ERROR && Buffer[0] != VYRTC_SETTING_B_EOM_AS_SUCCESS)
        return STATUS_INVALID_PARAMETER;
    Ext->ucSettingB = Buffer[0];
    return STATUS_SUCCESS;
}

NTSTATUS TcpStartRewind(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    return TcpRun6(Ext, Io, SCSIOP_REWIND, 0x01, 0);
}

NTSTATUS TcpVerify(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    VyrTcVerify record;
    RtlCopyMemory(&record, Buffer, sizeof(record));
    // Fixed, immediate, protection information, to end of data; byte compare needs host data.
    const UCHAR allowed = 0x01 | 0x04 | 0x10 | 0x20;
    if ((record.Flags & ~allowed) || record.Count > 0xFFFFFF)
        return STATUS_INVALID_PARAMETER;
    return TcpRun6(Ext, Io, SCSIOP_VERIFY6, record.Flags, (record.Flags & 0x20) ? 0 : record.Count);
}

/*++
Routine Description:
    The readiness poll: TEST UNIT READY and, when the drive is ready and knows its position, the
    position record. The commands are probes of the poll itself; the request succeeds whenever
    the path carried them, and its reply says whether the drive is ready.
--*/
NTSTATUS TcpQueryReadiness(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    VyrTcReadiness reply;
    RtlZeroMemory(&reply, sizeof(reply));
    FabScsiRequest result;
    NTSTATUS status = TcpTestUnitReady(Ext, nullptr, &result);
    if (!NT_SUCCESS(status) && result.ScsiStatus == SCSISTAT_GOOD && result.SenseLength == 0)
        return status; // the path did not carry the command
    reply.Status = (unsigned int)status;
    reply.NotReady = result.ScsiStatus == SCSISTAT_GOOD ? 0 : 1;
    if (result.ScsiStatus == SCSISTAT_CHECK_CONDITION && result.SenseLength >= 14) {
        reply.SenseKey = result.Sense[2] & 0x0F;
        reply.Asc = result.Sense[12];
        reply.Ascq = result.Sense[13];
    }
    UCHAR position[20];
    if (!reply.NotReady && NT_SUCCESS(TcpReadPosition(Ext, nullptr, position)) && !(position[0] & 0x04)) {
        TcPutBe16(reply.PositionLength, VYRTC_POSITION_RECORD_LENGTH);
        reply.PositionFlags = position[0];
        reply.Partition = position[1];
        RtlCopyMemory(reply.FirstBlock + 4, position + 4, 4);
        RtlCopyMemory(reply.LastBlock + 4, position + 8, 4);
        RtlCopyMemory(reply.BlocksInBuffer + 1, position + 13, 3);
        RtlCopyMemory(reply.BytesInBuffer, position + 16, 4);
    }
    RtlCopyMemory(Buffer, &reply, sizeof(reply));
    *Information = sizeof(reply);
    return STATUS_SUCCESS;
}

const TcControlEntry g_TapeControls[] = {
    {IOCTL_TAPE_GET_POSITION, sizeof(TAPE_GET_POSITION), sizeof(TAPE_GET_POSITION), TcpGetPosition},
    {IOCTL_TAPE_SET_POSITION, sizeof(TAPE_SET_POSITION), 0, TcpSetPosition},
    {IOCTL_TAPE_WRITE_MARKS, sizeof(TAPE_WRITE_MARKS), 0, TcpWriteMarks},
    {IOCTL_TAPE_ERASE, sizeof(TAPE_ERASE), 0, TcpErase},
    {IOCTL_TAPE_PREPARE, sizeof(TAPE_PREPARE), 0, TcpPrepare},
    {IOCTL_TAPE_GET_MEDIA_PARAMS, 0, sizeof(TAPE_GET_MEDIA_PARAMETERS), TcpGetMediaParams},
    {IOCTL_TAPE_SET_MEDIA_PARAMS, sizeof(TAPE_SET_MEDIA_PARAMETERS), 0, TcpSetMediaParams},
    {IOCTL_TAPE_GET_DRIVE_PARAMS, 0, sizeof(TAPE_GET_DRIVE_PARAMETERS), TcpGetDriveParams},
    {IOCTL_TAPE_SET_DRIVE_PARAMS, 0, 0, TcpNotSupported},
    {IOCTL_TAPE_CREATE_PARTITION, 0, 0, TcpNotSupported},
    {IOCTL_TAPE_GET_STATUS, 0, 0, TcpGetStatus},
    {IOCTL_TAPE_CHECK_VERIFY, 0, 0, TcpGetStatus},
    {IOCTL_VYRTC_LOCATE_BLOCK, sizeof(VyrTcLocateBlock), 0, TcpLocateBlock},
    {IOCTL_VYRTC_LOCATE, sizeof(VyrTcLocate), 0, TcpLocateAny},
    {IOCTL_VYRTC_GET_SETTING_A, 0, sizeof(VyrTcSettingA), TcpGetSettingA},
    {IOCTL_VYRTC_SET_SETTING_A, sizeof(VyrTcSettingA), 0, TcpSetSettingA},
    {IOCTL_VYRTC_GET_SETTING_B, 0, 1, TcpGetSettingB},
    {IOCTL_VYRTC_SET_SETTING_B, 1, 0, TcpSetSettingB},
    {IOCTL_VYRTC_START_REWIND, 0, 0, TcpStartRewind},
    {IOCTL_VYRTC_VERIFY, sizeof(VyrTcVerify), 0, TcpVerify},
    {IOCTL_VYRTC_QUERY_READINESS, 0, sizeof(VyrTcReadiness), TcpQueryReadiness},
};

} // namespace

BOOLEAN TcTapeControl(TcExtension *Ext, TcIo *Io, NTSTATUS *Status, ULONG_PTR *Information)
{
    return ClsRunControl(g_TapeControls, RTL_NUMBER_OF(g_TapeControls), Ext, Io, Status, Information);
}

/*++
Routine Description:
    One READ(6) or WRITE(6) for the whole request, through the MDL of the caller's buffer (direct
    I/O), in the drive's current block mode: fixed blocks need a length that is a multiple of the
    block size. Io->ulResidual receives the bytes that did not move, Information those that did.
--*/
NTSTATUS TcReadWrite(TcExtension *Ext, TcIo *Io, BOOLEAN Write, ULONG_PTR *Information)
{
    PIRP irp = Io->Irp;
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    *Information = 0;
    Io->ulResidual = length;
    if (length == 0) {
        Io->ulResidual = 0;
        return STATUS_SUCCESS;
    }
    if (!irp->MdlAddress || MmGetMdlByteCount(irp->MdlAddress) < length)
        return STATUS_INVALID_PARAMETER;
    PVOID buffer = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (Ext->ulBlockSize == TC_BLOCK_SIZE_UNKNOWN) {
        NTSTATUS status = TcReadBlockSize(Ext, Io);
        if (!NT_SUCCESS(status))
            return status;
    }
    ULONG blockSize = Ext->ulBlockSize;
    ULONG count = length;
    if (blockSize) {
        if (length % blockSize)
            return STATUS_INVALID_PARAMETER;
        count = length / blockSize;
    }
    if (count > 0xFFFFFF)
        return STATUS_INVALID_PARAMETER;

    UCHAR cdb[6] = {Write ? SCSIOP_WRITE6 : SCSIOP_READ6, 0, 0, 0, 0, 0};
    if (blockSize)
        cdb[1] |= 0x01;
    else if (!Write && Ext->SettingA.InForce && (Ext->SettingA.Flags & VYRTC_SETTING_A_SILI))
        cdb[1] |= 0x02;
    TcPutBe24(cdb + 2, count);
    FabScsiRequest result;
    NTSTATUS status = ClsExecute(Ext, Io, cdb, sizeof(cdb), Write ? FAB_DATA_OUT : FAB_DATA_IN, buffer, length, &result);
    ULONG moved = result.DataTransferred;
    Io->ulResidual = length - moved;
    *Information = moved;
    if (result.ScsiStatus != SCSISTAT_CHECK_CONDITION || result.SenseLength < 3)
        return status;

    UCHAR key = result.Sense[2] & 0x0F;
    UCHAR flags = result.Sense[2];
    if (!Write && (flags & SENSE2_ILI) && !(flags & SENSE2_FILEMARK) &&
        (key == SENSE_NO_SENSE || key == SENSE_RECOVERED_ERROR)) {
        // Information field: requested length less the actual block length. Negative: the block
        // was longer than the buffer and was cut off.
        LONG difference = (LONG)TcGetBe32(result.Sense + 3);
        if ((result.Sense[0] & 0x80) && difference < 0)
            return STATUS_BUFFER_OVERFLOW;
        return STATUS_SUCCESS;
    }
    if (Write && (flags & SENSE2_EOM) && (key == SENSE_NO_SENSE || key == SENSE_RECOVERED_ERROR) &&
        Ext->ucSettingB == VYRTC_SETTING_B_EOM_AS_SUCCESS) {
        return STATUS_SUCCESS; // early warning: the data is on the tape
    }
    return status;
}
