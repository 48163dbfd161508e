// Running SCSI commands on the changer path, turning their outcome into the statuses a changer
// class driver reports, and the per-request ScsiStatus block the bus reads back.
#include "changerclass.h"

namespace {

IO_COMPLETION_ROUTINE CgpCommandDone;

NTSTATUS CgpCommandDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends an internal request of the driver's own to the path PDO and waits for it.
NTSTATUS CgpSendInternal(CgExtension *Ext, ULONG Code, PVOID Argument)
{
    PIRP irp = IoAllocateIrp(Ext->pLowerDevice->StackSize, FALSE);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = Argument;
    next->Parameters.DeviceIoControl.IoControlCode = Code;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, CgpCommandDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(Ext->pLowerDevice, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

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

NTSTATUS CgSendRequest(CgExtension *Ext, FabScsiRequest *Request)
{
    Request->ScsiStatus = 0;
    Request->SenseLength = 0;
    Request->DataTransferred = 0;
    RtlZeroMemory(Request->Sense, sizeof(Request->Sense));
    NTSTATUS status = CgpSendInternal(Ext, IOCTL_VYRFAB_EXECUTE_CDB, Request);
    // The path's answer is not taken on trust: never more data than was offered or sense than fits.
    if (Request->DataTransferred > Request->DataLength)
        Request->DataTransferred = Request->DataLength;
    if (Request->SenseLength > FAB_SENSE_SIZE)
        Request->SenseLength = FAB_SENSE_SIZE;
    return status;
}

NTSTATUS CgQueryPathInfo(CgExtension *Ext)
{
    RtlZeroMemory(&Ext->PathInfo, sizeof(Ext->PathInfo));
    NTSTATUS status = CgpSendInternal(Ext, IOCTL_VYRFAB_GET_PATH_INFO, &Ext->PathInfo);
    Ext->PathInfo.szInitiatorWwpn[sizeof(Ext->PathInfo.szInitiatorWwpn) - 1] = 0;
    return status;
}

NTSTATUS CgStatusFromScsi(const FabScsiRequest *Request)
{
    switch (Request->ScsiStatus) {
    case SCSISTAT_GOOD:
        return STATUS_SUCCESS;
    case SCSISTAT_CHECK_CONDITION:
        return CgpStatusFromSense(Request->Sense, Request->SenseLength);
    case SCSISTAT_BUSY:
    case SCSISTAT_RESERVATION_CONFLICT:
        return STATUS_DEVICE_BUSY;
    default:
        return STATUS_IO_DEVICE_ERROR;
    }
}

void CgNoteSense(CgIo *Io, const FabScsiRequest *Request)
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

NTSTATUS CgExecute(CgExtension *Ext, CgIo *Io, const UCHAR *Cdb, UCHAR CdbLength, FabDirection Direction, PVOID Data,
                   ULONG Length, FabScsiRequest *Result)
{
    FabScsiRequest local;
    FabScsiRequest *request = Result ? Result : &local;
    RtlZeroMemory(request, sizeof(*request));
    RtlCopyMemory(request->Cdb, Cdb, CdbLength);
    request->CdbLength = CdbLength;
    request->Direction = Length ? Direction : FAB_DATA_NONE;
    request->DataLength = Length;
    request->Data = Data;
    for (ULONG attempt = 0;; attempt++) {
        NTSTATUS status = CgSendRequest(Ext, request);
        if (!NT_SUCCESS(status))
            return status;
        // A changer's unit attentions (power-on, reset, a nexus come back) say nothing about the
        // inventory a control request asks for: the driver takes them and asks again.
        BOOLEAN attention = request->ScsiStatus == SCSISTAT_CHECK_CONDITION && request->SenseLength > 2 &&
                            (request->Sense[2] & 0x0F) == 0x6;
        if (!attention || attempt >= CG_ATTENTION_RETRIES) {
            CgNoteSense(Io, request);
            return CgStatusFromScsi(request);
        }
    }
}

/*++
Routine Description:
    Looks the request up in the StatusStructTable the filter lent this driver: every block of the
    chain, every slot whose occupancy bit is set, without the table lock (the bus inserts a
    request before sending it and removes it only after it came back).
--*/
ScsiStatus *CgFindScsiStatus(CgExtension *Ext, PIRP Irp)
{
    auto *block = (const StatusStructBlock *)(ULONG_PTR)Ext->pStatusTable;
    // A chain longer than any the bus could build is a corrupt one; stop rather than loop.
    for (ULONG blocks = 0; block && blocks < 65536; blocks++) {
        ULONG64 occupancy = block->ulOccupancy;
        for (ULONG i = 0; i < VYR_STATUS_TABLE_SLOTS; i++) {
            if ((occupancy >> i) & 1 && block->Slots[i].pIrp == (ULONG64)(ULONG_PTR)Irp)
                return (ScsiStatus *)(ULONG_PTR)block->Slots[i].pScsiStatus;
        }
        block = (const StatusStructBlock *)(ULONG_PTR)block->pNext;
    }
    return nullptr;
}

// A changer moves no data blocks: the residual stays 0 and there is no encryption to report;
// the bus reads the sense of the request's last command.
void CgFillScsiStatus(CgExtension *Ext, CgIo *Io)
{
    ScsiStatus *block = CgFindScsiStatus(Ext, Io->Irp);
    if (!block)
        return;
    block->fSensePresent = Io->fSense ? 1 : 0;
    block->ucSenseKey = Io->fSense ? (UCHAR)(Io->Sense[2] & 0x0F) : 0;
    block->ucAsc = Io->fSense && Io->ucSenseLength > 12 ? Io->Sense[12] : 0;
    block->ucAscq = Io->fSense && Io->ucSenseLength > 13 ? Io->Sense[13] : 0;
    block->ucSenseByte2 = Io->fSense ? Io->Sense[2] : 0;
}
