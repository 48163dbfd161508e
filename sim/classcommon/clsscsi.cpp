// SCSI commands on the path, the status-block filling through the StatusStructTable, and the
// private identity requests both stand-ins answer.
#include "classcommon.h"

namespace {

IO_COMPLETION_ROUTINE ClspCommandDone;

NTSTATUS ClspCommandDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

constexpr UCHAR CLS_OP_INQUIRY = 0x12;
constexpr UCHAR CLS_SENSE_UNIT_ATTENTION = 0x6;

NTSTATUS ClspGetSerialNumber(ClsExtension *Ext, ClsIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    NTSTATUS status = ClsReadSerial(Ext, nullptr, Buffer);
    if (!NT_SUCCESS(status))
        return status;
    *Information = CLS_SERIAL_NUMBER_SIZE;
    return STATUS_SUCCESS;
}

NTSTATUS ClspGetScsiAddress(ClsExtension *Ext, ClsIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    SCSI_ADDRESS address;
    address.Length = sizeof(SCSI_ADDRESS);
    address.PortNumber = Ext->PathInfo.PortNumber;
    address.PathId = Ext->PathInfo.PathId;
    address.TargetId = Ext->PathInfo.TargetId;
    address.Lun = Ext->PathInfo.Lun;
    RtlCopyMemory(Buffer, &address, sizeof(address));
    *Information = sizeof(address);
    return STATUS_SUCCESS;
}

NTSTATUS ClspSetStatusTable(ClsExtension *Ext, ClsIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    // The driver walks the table it is given: only kernel-mode callers may hand over an address.
    if (Io->Irp->RequestorMode != KernelMode)
        return STATUS_ACCESS_DENIED;
    ULONG64 table;
    RtlCopyMemory(&table, Buffer, sizeof(table));
    Ext->pStatusTable = table;
    *Information = Out < sizeof(table) ? 0 : sizeof(table);
    return STATUS_SUCCESS;
}

NTSTATUS ClspGetDeviceIdPage(ClsExtension *Ext, ClsIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    ULONG transferred;
    NTSTATUS status = ClsInquiry(Ext, nullptr, 0x01, 0x83, Buffer, CLS_DEVICE_ID_PAGE_SIZE, &transferred);
    if (!NT_SUCCESS(status))
        return status;
    if (transferred < 4 || Buffer[1] != 0x83)
        return STATUS_DEVICE_PROTOCOL_ERROR;
    *Information = CLS_DEVICE_ID_PAGE_SIZE;
    return STATUS_SUCCESS;
}

NTSTATUS ClspGetStandardInquiry(ClsExtension *Ext, ClsIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    ULONG transferred;
    NTSTATUS status = ClsInquiry(Ext, nullptr, 0x00, 0x00, Buffer, CLS_STANDARD_INQUIRY_SIZE, &transferred);
    if (!NT_SUCCESS(status))
        return status;
    if (transferred < 36)
        return STATUS_DEVICE_PROTOCOL_ERROR;
    *Information = CLS_STANDARD_INQUIRY_SIZE;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS ClsInquiry(ClsExtension *Ext, ClsIo *Io, UCHAR Evpd, UCHAR Page, PUCHAR Buffer, ULONG Length,
                    ULONG *Transferred)
{
    RtlZeroMemory(Buffer, Length);
    UCHAR cdb[6] = {CLS_OP_INQUIRY, Evpd, Page, 0, 0, 0};
    ClsPutBe16(cdb + 3, Length > 0xFFFF ? 0xFFFF : Length);
    FabScsiRequest result;
    NTSTATUS status = ClsExecute(Ext, Io, cdb, sizeof(cdb), FAB_DATA_IN, Buffer, Length, &result);
    *Transferred = result.DataTransferred;
    return status;
}

NTSTATUS ClsReadSerial(ClsExtension *Ext, ClsIo *Io, UCHAR *Serial)
{
    UCHAR page[4 + 255];
    ULONG transferred;
    NTSTATUS status = ClsInquiry(Ext, Io, 0x01, 0x80, page, sizeof(page), &transferred);
    RtlZeroMemory(Serial, CLS_SERIAL_NUMBER_SIZE);
    if (!NT_SUCCESS(status))
        return status;
    if (transferred < 4 || page[1] != 0x80)
        return STATUS_DEVICE_PROTOCOL_ERROR;
    ULONG length = page[3];
    if (length > transferred - 4)
        length = transferred - 4;
    RtlCopyMemory(Serial, page + 4, length < CLS_SERIAL_NUMBER_SIZE ? length : CLS_SERIAL_NUMBER_SIZE);
    return STATUS_SUCCESS;
}

NTSTATUS ClsSendInternal(ClsExtension *Ext, ULONG Code, PVOID Argument)
{
    PIRP irp = IoAllocateIrp(Ext->pLowerDevice->StackSize, FALSE);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    // Argument1 shares its bytes with the buffer lengths, not with the control code.
    next->Parameters.Others.Argument1 = Argument;
    next->Parameters.DeviceIoControl.IoControlCode = Code;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    // The completion routine takes the request back, so no thread APC is involved.
    IoSetCompletionRoutine(irp, ClspCommandDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(Ext->pLowerDevice, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

NTSTATUS ClsQueryPathInfo(ClsExtension *Ext)
{
    RtlZeroMemory(&Ext->PathInfo, sizeof(Ext->PathInfo));
    NTSTATUS status = ClsSendInternal(Ext, IOCTL_VYRFAB_GET_PATH_INFO, &Ext->PathInfo);
    Ext->PathInfo.szInitiatorWwpn[sizeof(Ext->PathInfo.szInitiatorWwpn) - 1] = 0;
    return status;
}

NTSTATUS ClsSendRequest(ClsExtension *Ext, FabScsiRequest *Request)
{
    Request->ScsiStatus = 0;
    Request->SenseLength = 0;
    Request->DataTransferred = 0;
    RtlZeroMemory(Request->Sense, sizeof(Request->Sense));
    NTSTATUS status = ClsSendInternal(Ext, IOCTL_VYRFAB_EXECUTE_CDB, Request);
    // The path's answer is not taken on trust: never more data than was offered or sense than fits.
    if (Request->DataTransferred > Request->DataLength)
        Request->DataTransferred = Request->DataLength;
    if (Request->SenseLength > FAB_SENSE_SIZE)
        Request->SenseLength = FAB_SENSE_SIZE;
    return status;
}

NTSTATUS ClsStatusFromScsi(const FabScsiRequest *Request)
{
    switch (Request->ScsiStatus) {
    case SCSISTAT_GOOD:
        return STATUS_SUCCESS;
    case SCSISTAT_CHECK_CONDITION:
        return ClsDescription()->StatusFromSense(Request->Sense, Request->SenseLength);
    case SCSISTAT_BUSY:
    case SCSISTAT_RESERVATION_CONFLICT:
        return STATUS_DEVICE_BUSY;
    default:
        return STATUS_IO_DEVICE_ERROR;
    }
}

NTSTATUS ClsExecute(ClsExtension *Ext, ClsIo *Io, const UCHAR *Cdb, UCHAR CdbLength, FabDirection Direction, PVOID Data,
                    ULONG Length, FabScsiRequest *Result)
{
    const ClsDriver *driver = ClsDescription();
    FabScsiRequest local;
    FabScsiRequest *request = Result ? Result : &local;
    RtlZeroMemory(request, sizeof(*request));
    RtlCopyMemory(request->Cdb, Cdb, CdbLength);
    request->CdbLength = CdbLength;
    request->Direction = Length ? Direction : FAB_DATA_NONE;
    request->DataLength = Length;
    request->Data = Data;
    for (ULONG attempt = 0;; attempt++) {
        NTSTATUS status = ClsSendRequest(Ext, request);
        if (!NT_SUCCESS(status))
            return status;
        driver->NoteOutcome(Ext, Io, request);
        // A unit attention is news for whoever sent the command. The driver's own probes take it
        // and ask again; a request reports it unless the stand-in's requests take them too.
        BOOLEAN attention = request->ScsiStatus == SCSISTAT_CHECK_CONDITION && request->SenseLength > 2 &&
                            (request->Sense[2] & 0x0F) == CLS_SENSE_UNIT_ATTENTION;
        BOOLEAN takes = !Io || driver->fRequestsTakeAttentions;
        if (!attention || !takes || attempt >= driver->ulAttentionRetries)
            return ClsStatusFromScsi(request);
    }
}

/*++
Routine Description:
    Looks the request up in the StatusStructTable the filter lent this driver, the way the filter
    does: every block of the chain, every slot whose occupancy bit is set, without the table lock
    (the bus inserts a request before sending it and removes it only after it came back).
--*/
ScsiStatus *ClsFindScsiStatus(ClsExtension *Ext, PIRP Irp)
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

void ClsFillScsiStatus(ClsExtension *Ext, ClsIo *Io)
{
    ScsiStatus *block = ClsFindScsiStatus(Ext, Io->Irp);
    if (!block)
        return;
    block->fSensePresent = Io->fSense ? 1 : 0;
    block->ucSenseKey = Io->fSense ? (UCHAR)(Io->Sense[2] & 0x0F) : 0;
    block->ucAsc = Io->fSense && Io->ucSenseLength > 12 ? Io->Sense[12] : 0;
    block->ucAscq = Io->fSense && Io->ucSenseLength > 13 ? Io->Sense[13] : 0;
    block->ucSenseByte2 = Io->fSense ? Io->Sense[2] : 0;
    if (ClsDescription()->FillScsiStatus)
        ClsDescription()->FillScsiStatus(Ext, Io, block);
}

BOOLEAN ClsIdentityControl(ClsExtension *Ext, ClsIo *Io, NTSTATUS *Status, ULONG_PTR *Information)
{
    const ClsIdentityCodes &codes = ClsDescription()->Identity;
    const ClsControlEntry<ClsExtension, ClsIo> controls[] = {
        {codes.ulGetSerialNumber, 0, CLS_SERIAL_NUMBER_SIZE, ClspGetSerialNumber},
        {codes.ulGetScsiAddress, 0, CLS_SCSI_ADDRESS_SIZE, ClspGetScsiAddress},
        {IOCTL_SCSI_GET_ADDRESS, 0, sizeof(SCSI_ADDRESS), ClspGetScsiAddress},
        {codes.ulSetStatusTable, CLS_STATUS_TABLE_SIZE, 0, ClspSetStatusTable},
        {codes.ulGetDeviceIdPage, 0, CLS_DEVICE_ID_PAGE_SIZE, ClspGetDeviceIdPage},
        {codes.ulGetStandardInquiry, 0, CLS_STANDARD_INQUIRY_SIZE, ClspGetStandardInquiry},
    };
    return ClsRunControl(controls, RTL_NUMBER_OF(controls), Ext, Io, Status, Information);
}
