// Running SCSI commands on the path, turning their outcome into the statuses a tape class driver
// reports, and the per-request ScsiStatus block the bus reads back.
#include "tapeclass.h"

namespace {

// Status of a CHECK CONDITION from its fixed-format sense data. Incorrect-length reports are the
// read path's business; here a short block is not an error.
NTSTATUS TcpStatusFromSense(const UCHAR *Sense, ULONG Length)
{
    if (Length < 3)
        return STATUS_IO_DEVICE_ERROR;
    UCHAR key = Sense[2] & 0x0F;
    UCHAR asc = Length > 12 ? Sense[12] : 0;
    UCHAR ascq = Length > 13 ? Sense[13] : 0;
    switch (key) {
    case SENSE_NO_SENSE:
    case SENSE_RECOVERED_ERROR:
        if (Sense[2] & SENSE2_FILEMARK)
            return STATUS_FILEMARK_DETECTED;
        if (Sense[2] & SENSE2_EOM)
            return asc == 0 && ascq == 4 ? STATUS_BEGINNING_OF_MEDIA : STATUS_END_OF_MEDIA;
        if (asc == 0) {
            switch (ascq) {
            case 1:
                return STATUS_FILEMARK_DETECTED;
            case 2:
                return STATUS_END_OF_MEDIA;
            case 3:
                return STATUS_SETMARK_DETECTED;
            case 4:
                return STATUS_BEGINNING_OF_MEDIA;
            case 5:
                return STATUS_NO_DATA_DETECTED;
            }
        }
        return STATUS_SUCCESS;
    case SENSE_NOT_READY:
        return asc == 0x3A ? STATUS_NO_MEDIA_IN_DEVICE : STATUS_DEVICE_NOT_READY;
    case SENSE_MEDIUM_ERROR:
        return asc == 0x30 ? STATUS_UNRECOGNIZED_MEDIA : STATUS_DEVICE_DATA_ERROR;
    case SENSE_ILLEGAL_REQUEST:
        return STATUS_INVALID_DEVICE_REQUEST;
    case SENSE_UNIT_ATTENTION:
        if (asc == 0x28)
            return STATUS_MEDIA_CHANGED;
        if (asc == 0x29)
            return STATUS_BUS_RESET;
        return STATUS_IO_DEVICE_ERROR;
    case SENSE_DATA_PROTECT:
        return STATUS_MEDIA_WRITE_PROTECTED;
    case SENSE_BLANK_CHECK:
        return STATUS_NO_DATA_DETECTED;
    case SENSE_VOLUME_OVERFLOW:
        return STATUS_EOM_OVERFLOW;
    case SENSE_MISCOMPARE:
        return STATUS_DEVICE_DATA_ERROR;
    default: // hardware error, aborted command, vendor specific, copy aborted
        return STATUS_IO_DEVICE_ERROR;
    }
}

// MODE SENSE(6) of the header and block descriptor: 12 bytes.
NTSTATUS TcpModeSense(TcExtension *Ext, TcIo *Io, UCHAR *Data)
{
    RtlZeroMemory(Data, 12);
    const UCHAR cdb[6] = {SCSIOP_MODE_SENSE6, 0x00, TC_MODE_PAGE, 0x00, 12, 0x00};
    FabScsiRequest result;
    NTSTATUS status = ClsExecute(Ext, Io, cdb, sizeof(cdb), FAB_DATA_IN, Data, 12, &result);
    if (NT_SUCCESS(status) && result.DataTransferred < 4)
        return STATUS_DEVICE_PROTOCOL_ERROR;
    return status;
}

// The tape stand-in's own fields of a request's ScsiStatus block, after the sense.
void TcpFillScsiStatus(ClsExtension *Common, ClsIo *CommonIo, ScsiStatus *Block)
{
    auto *ext = static_cast<TcExtension *>(Common);
    auto *io = static_cast<TcIo *>(CommonIo);
    UCHAR major = IoGetCurrentIrpStackLocation(io->Irp)->MajorFunction;
    // Byte 20 of a close is the bus's word to us; of a read or write it is our residual.
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE)
        Block->ulResidual = io->ulResidual;
    Block->ucEncryption = ext->ucEncryption;
    if (io->fReserved) {
        RtlCopyMemory(Block->szWwpn, io->ReserveWwpn, sizeof(Block->szWwpn));
        RtlCopyMemory(Block->szHostKey, io->ReserveKey, sizeof(Block->szHostKey));
    } else if (ext->fReportPending) {
        // The reservation IOC_APPLY_SCSI_STATUS made for this request, just before it came down.
        RtlCopyMemory(Block->szWwpn, ext->ReportWwpn, sizeof(Block->szWwpn));
        RtlCopyMemory(Block->szHostKey, ext->ReportKey, sizeof(Block->szHostKey));
        ext->fReportPending = FALSE;
    }
}

void TcpInitExtension(ClsExtension *Ext)
{
    static_cast<TcExtension *>(Ext)->ulBlockSize = TC_BLOCK_SIZE_UNKNOWN;
}

void TcpNotePassThrough(ClsExtension *Ext, ClsIo *Io, const UCHAR *Cdb, const UCHAR *DataOut, ULONG DataOutLength)
{
    TcNotePassThrough((TcExtension *)Ext, (TcIo *)Io, Cdb, DataOut, DataOutLength);
}

} // namespace

const ClsDriver TcDriver = {
    VYRTC_DEVICE_NAME_PREFIX,
    VYRTC_LINK_NAME_PREFIX,
    FILE_DEVICE_TAPE,
    sizeof(TcExtension),
    DO_DIRECT_IO,
    TC_POOL_TAG,
    {IOC_GET_SERIAL_NUMBER, IOC_GET_SCSI_ADDRESS, IOC_SET_STATUS_TABLE, IOC_GET_DEVICE_ID_PAGE,
     IOC_GET_STANDARD_INQUIRY},
    // A unit attention is news for whoever sent the command: a request reports it.
    FALSE,
    TC_PROBE_ATTENTION_RETRIES,
    TcpStatusFromSense,
    TcNoteOutcome,
    TcpInitExtension,
    TcStartDevice,
    TcRemoveDevice,
    TcpFillScsiStatus,
    TC_MAX_TRANSFER,
    TcpNotePassThrough,
};

void TcInitIo(TcIo *Io, PIRP Irp)
{
    RtlZeroMemory(Io, sizeof(*Io));
    Io->Irp = Irp;
}

NTSTATUS TcResetLogicalUnit(TcExtension *Ext)
{
    return ClsSendInternal(Ext, IOCTL_VYRFAB_RESET_LUN, nullptr);
}

void TcNoteOutcome(ClsExtension *Common, ClsIo *Io, const FabScsiRequest *Request)
{
    auto *Ext = static_cast<TcExtension *>(Common);
    if (Request->ScsiStatus != SCSISTAT_CHECK_CONDITION || Request->SenseLength < 3)
        return;
    UCHAR key = Request->Sense[2] & 0x0F;
    UCHAR asc = Request->SenseLength > 12 ? Request->Sense[12] : 0;
    if (asc == ASC_KEY_SERVER_NEEDED)
        Ext->ucEncryption = TC_ENCRYPTION_REPORTED | TC_ENCRYPTION_ON;
    // A new medium or a reset: the block size must be read again.
    if (key == SENSE_UNIT_ATTENTION && (asc == 0x28 || asc == 0x29))
        Ext->ulBlockSize = TC_BLOCK_SIZE_UNKNOWN;
    if (Io) {
        Io->fSense = TRUE;
        Io->ucSenseLength = Request->SenseLength;
        RtlCopyMemory(Io->Sense, Request->Sense, sizeof(Io->Sense));
    }
}

/*++
Routine Description:
    Reads the current block size (0 = variable) from the mode parameter block descriptor; a drive
    that returns no descriptor is taken to run variable blocks.
--*/
NTSTATUS TcReadBlockSize(TcExtension *Ext, TcIo *Io)
{
    UCHAR data[12];
    NTSTATUS status = TcpModeSense(Ext, Io, data);
    if (!NT_SUCCESS(status))
        return status;
    Ext->ulBlockSize = data[3] >= 8 ? TcGetBe24(data + 9) : 0;
    return STATUS_SUCCESS;
}

/*++
Routine Description:
    Sets the block size (0 = variable) with MODE SELECT(6), keeping the density code and the
    buffered-mode and speed bits the drive reports.
--*/
NTSTATUS TcSetBlockSize(TcExtension *Ext, TcIo *Io, ULONG BlockSize)
{
    if (BlockSize > 0xFFFFFF)
        return STATUS_INVALID_PARAMETER;
    UCHAR current[12];
    NTSTATUS status = TcpModeSense(Ext, Io, current);
    if (!NT_SUCCESS(status))
        return status;
    UCHAR data[12];
    RtlZeroMemory(data, sizeof(data));
    data[2] = current[2] & 0x7F; // the write-protect bit is the drive's to report, not ours to set
    data[3] = 8;
    data[4] = current[3] >= 8 ? current[4] : 0;
    TcPutBe24(data + 9, BlockSize);
    const UCHAR cdb[6] = {SCSIOP_MODE_SELECT6, 0x10, 0x00, 0x00, sizeof(data), 0x00};
    status = ClsExecute(Ext, Io, cdb, sizeof(cdb), FAB_DATA_OUT, data, sizeof(data));
    if (NT_SUCCESS(status))
        Ext->ulBlockSize = BlockSize;
    else
        Ext->ulBlockSize = TC_BLOCK_SIZE_UNKNOWN;
    return status;
}

/*++
Routine Description:
    Asks the drive for its Data Encryption Status page (SECURITY PROTOCOL IN, protocol 0x20, page
    0x0020) and keeps what ScsiStatus byte 25 reports. A drive that does not answer leaves the
    state as it was. This is a probe of the driver's own: its sense belongs to no request.
--*/
void TcQueryEncryption(TcExtension *Ext)
{
    UCHAR page[64];
    RtlZeroMemory(page, sizeof(page));
    UCHAR cdb[12] = {SCSIOP_SECURITY_IN, 0x20, 0x00, 0x20, 0, 0, 0, 0, 0, 0, 0, 0};
    TcPutBe32(cdb + 6, sizeof(page));
    FabScsiRequest result;
    NTSTATUS status = ClsExecute(Ext, nullptr, cdb, sizeof(cdb), FAB_DATA_IN, page, sizeof(page), &result);
    if (!NT_SUCCESS(status) || result.DataTransferred < 7 || TcGetBe16(page) != 0x0020)
        return;
    // Byte 5: encryption mode (0 = disabled), byte 6: decryption mode (0 = disabled).
    Ext->ucEncryption = TC_ENCRYPTION_REPORTED | ((page[5] || page[6]) ? TC_ENCRYPTION_ON : 0);
}

void TcFormatKey(CHAR *Text, const UCHAR *Key)
{
    static const char digits[] = "0123456789ABCDEF";
    for (ULONG i = 0; i < 8; i++) {
        Text[2 * i] = digits[Key[i] >> 4];
        Text[2 * i + 1] = digits[Key[i] & 0x0F];
    }
}
