// SCSI pass-through, buffered and direct, in the 64-bit layout and in the layout of a 32-bit
// process. The structure is checked against the request's buffers before anything is sent: every
// region it names (data, sense) must lie inside the buffer it will be read from or written to.
// The command goes to the device as the caller wrote it; the caller gets the SCSI status, the sense
// data and the number of bytes that moved.
#include "classcommon.h"
#include "vyr/passthru.h"

/*++
Routine Description:
    IOCTL_SCSI_PASS_THROUGH (Direct FALSE) and IOCTL_SCSI_PASS_THROUGH_DIRECT (Direct TRUE).
    A request from a 32-bit process carries the 32-bit layout. The request succeeds when the
    command reached the device, whatever its SCSI status; a transport failure is its status.
--*/
NTSTATUS ClsPassThrough(ClsExtension *Ext, ClsIo *Io, BOOLEAN Direct, ULONG_PTR *Information)
{
    const ClsDriver *driver = ClsDescription();
    PIRP irp = Io->Irp;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto *buffer = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
    BOOLEAN wow = irp->RequestorMode == UserMode && IoIs32bitProcess(irp);
    *Information = 0;

    SimPassThrough pt;
    NTSTATUS status = SimPtParse(buffer, in, out, wow, driver->ulMaxTransfer, &pt);
    if (!NT_SUCCESS(status))
        return status;

    BOOLEAN dataIn = pt.ucDirection == SCSI_IOCTL_DATA_IN;
    PVOID data = nullptr;
    PMDL mdl = nullptr;
    if (pt.ulDataLength) {
        if (!Direct) {
            // The system buffer holds the larger of the two lengths; data coming back must also fit
            // in what is copied out.
            ULONG size = dataIn ? out : (in > out ? in : out);
            if (!SimPtRegionFits(pt.ulData, pt.ulDataLength, pt.ulHeader, size))
                return STATUS_INVALID_PARAMETER;
            data = buffer + pt.ulData;
        } else if (pt.ulData == 0) {
            return STATUS_INVALID_PARAMETER;
        } else if (irp->RequestorMode == KernelMode) {
            data = (PVOID)(ULONG_PTR)pt.ulData; // a kernel caller passes a system address (the bus: its locked MDL's)
        } else {
            status = SimPtLockUserBuffer((PVOID)(ULONG_PTR)pt.ulData, pt.ulDataLength, dataIn, &mdl, &data);
            if (!NT_SUCCESS(status))
                return status;
        }
    }

    FabScsiRequest request;
    RtlZeroMemory(&request, sizeof(request));
    RtlCopyMemory(request.Cdb, pt.Cdb, pt.ucCdbLength);
    request.CdbLength = pt.ucCdbLength;
    request.Direction = !pt.ulDataLength ? FAB_DATA_NONE : dataIn ? FAB_DATA_IN : FAB_DATA_OUT;
    request.DataLength = pt.ulDataLength;
    request.Data = data;
    status = ClsSendRequest(Ext, &request);
    if (NT_SUCCESS(status)) {
        driver->NoteOutcome(Ext, Io, &request);
        if (request.ScsiStatus == SCSISTAT_GOOD && driver->NotePassThrough)
            driver->NotePassThrough(Ext, Io, pt.Cdb, dataIn ? nullptr : (const UCHAR *)data, pt.ulDataLength);
    }
    if (mdl) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    if (!NT_SUCCESS(status))
        return status;

    ULONG senseCopied = 0;
    if (request.ScsiStatus == SCSISTAT_CHECK_CONDITION && pt.ucSenseLength) {
        senseCopied = request.SenseLength < pt.ucSenseLength ? request.SenseLength : pt.ucSenseLength;
        RtlCopyMemory(buffer + pt.ulSenseOffset, request.Sense, senseCopied);
    }
    buffer[FIELD_OFFSET(SCSI_PASS_THROUGH, ScsiStatus)] = request.ScsiStatus;
    buffer[FIELD_OFFSET(SCSI_PASS_THROUGH, SenseInfoLength)] = (UCHAR)senseCopied;
    RtlCopyMemory(buffer + FIELD_OFFSET(SCSI_PASS_THROUGH, DataTransferLength), &request.DataTransferred, sizeof(ULONG));

    ULONG64 end = pt.ulHeader;
    if (!Direct && dataIn && request.DataTransferred && pt.ulData + request.DataTransferred > end)
        end = pt.ulData + request.DataTransferred;
    if (senseCopied && pt.ulSenseOffset + senseCopied > end)
        end = pt.ulSenseOffset + senseCopied;
    *Information = (ULONG_PTR)end;
    return STATUS_SUCCESS;
}
