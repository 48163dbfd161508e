// The changer stand-in as the shared class code sees it: its names and codes, the statuses a
// changer class driver reports for a command's sense, and what it notes of a command's outcome.
#include "changerclass.h"

namespace {

// Status of a CHECK CONDITION from its fixed-format sense data, as a changer class driver maps it.
NTSTATUS CgpStatusFromSense(const UCHAR *Sense, ULONG Length)
{
    if (Length < 3)
        return STATUS_IO_DEVICE_ERROR;
    UCHAR key = Sense[2] & 0x0F;
    UCHAR asc = Length > 12 ? Sense[12] : 0;
    UCHAR ascq = Length > 13 ? Sense[13] : 0;
    switch (key) {
    case 0x0: // no sense
    case 0x1: // recovered error
        return STATUS_SUCCESS;
    case 0x2:
        return asc == 0x3A ? STATUS_NO_MEDIA_IN_DEVICE : STATUS_DEVICE_NOT_READY;
    case 0x5: // illegal request
        if (asc == 0x3B && ascq == 0x0E)
            return STATUS_SOURCE_ELEMENT_EMPTY;
        if (asc == 0x3B && ascq == 0x0D)
            return STATUS_DESTINATION_ELEMENT_FULL;
        if (asc == 0x21 && ascq == 0x01)
            return STATUS_ILLEGAL_ELEMENT_ADDRESS;
        if (asc == 0x3B && ascq == 0x12)
            return STATUS_MAGAZINE_NOT_PRESENT;
        return STATUS_INVALID_DEVICE_REQUEST;
    case 0x6: // unit attention
        return asc == 0x29 ? STATUS_BUS_RESET : STATUS_IO_DEVICE_ERROR;
    default:
        return STATUS_IO_DEVICE_ERROR;
    }
}

} // namespace

const ClsDriver CgDriver = {
    VYRCG_DEVICE_NAME_PREFIX,
    VYRCG_LINK_NAME_PREFIX,
    FILE_DEVICE_CHANGER,
    sizeof(CgExtension),
    DO_BUFFERED_IO,
    CG_POOL_TAG,
    {IOCTL_VYRCG_GET_SERIAL_NUMBER, IOCTL_VYRCG_GET_SCSI_ADDRESS, IOCTL_VYRCG_SET_STATUS_TABLE,
     IOCTL_VYRCG_GET_DEVICE_ID_PAGE, IOCTL_VYRCG_GET_STANDARD_INQUIRY},
    // A changer's unit attentions (power-on, reset, a nexus come back) say nothing about the
    // inventory a control request asks for: the driver takes them and asks again.
    TRUE,
    CG_ATTENTION_RETRIES,
    CgpStatusFromSense,
    CgNoteSense,
    nullptr,
    nullptr,
    nullptr,
    // A changer moves no data blocks: the residual stays 0 and there is no encryption to report;
    // the bus reads the sense of the request's last command.
    nullptr,
    CG_MAX_TRANSFER,
    nullptr,
};

void CgNoteSense(ClsExtension *Ext, ClsIo *Io, const FabScsiRequest *Request)
{
    if (!Io)
        return;
    if (Request->ScsiStatus != SCSISTAT_CHECK_CONDITION || Request->SenseLength < 3) {
        Io->fSense = FALSE;
        return;
    }
    Io->fSense = TRUE;
    Io->ucSenseLength = Request->SenseLength;
    RtlCopyMemory(Io->Sense, Request->Sense, sizeof(Io->Sense));
}
