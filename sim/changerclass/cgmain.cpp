// Driver entry and the dispatch routines of the changer class driver stand-in. Every request that
// touches the changer runs under the path's command lock and ends in one place that fills its
// ScsiStatus block (when the bus sent it) and completes it (sim/classcommon).
#include "changerclass.h"

namespace {

DRIVER_DISPATCH CgpDispatchCreateClose;
DRIVER_DISPATCH CgpDispatchRead;
DRIVER_DISPATCH CgpDispatchDeviceControl;

// A changer's control codes report their output only with success (or a buffer that was too
// small for all of it).
NTSTATUS CgpControlWork(CgExtension *Ext, CgIo *Io, ULONG_PTR *Information)
{
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (!CgControl(Ext, Io, &status, Information)) {
        switch (IoGetCurrentIrpStackLocation(Io->Irp)->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_SCSI_PASS_THROUGH:
            status = ClsPassThrough(Ext, Io, FALSE, Information);
            break;
        case IOCTL_SCSI_PASS_THROUGH_DIRECT:
            status = ClsPassThrough(Ext, Io, TRUE, Information);
            break;
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
        }
    }
    if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW)
        *Information = 0;
    return status;
}

// Opens and closes touch nothing on the changer; a close always succeeds, even on a path that
// is going away.
NTSTATUS CgpDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CgExtension *ext = (CgExtension *)DeviceObject->DeviceExtension;
    UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    if (major == IRP_MJ_CREATE && (ext->fRemoved || !ext->fStarted || ext->fStopped))
        return ClsComplete(Irp, ext->fRemoved ? STATUS_DELETE_PENDING : STATUS_DEVICE_NOT_READY, 0);
    return ClsComplete(Irp, STATUS_SUCCESS, 0);
}

// A changer has no data to read: a read succeeds and moves nothing, as the changer class does.
NTSTATUS CgpDispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return ClsComplete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS CgpDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CgIo io;
    RtlZeroMemory(&io, sizeof(io));
    io.Irp = Irp;
    return ClsRun(DeviceObject, &io, CgpControlWork);
}

VOID CgpUnload(PDRIVER_OBJECT DriverObject)
{
}

} // namespace

VYR_DRIVER_ENTRY(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    ClsInitializeDriver(DriverObject, &CgDriver);
    DriverObject->MajorFunction[IRP_MJ_CREATE] = CgpDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = CgpDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = CgpDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = CgpDispatchRead;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CgpDispatchDeviceControl;
    DriverObject->DriverUnload = CgpUnload;
    return STATUS_SUCCESS;
}
