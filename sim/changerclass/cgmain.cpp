// Driver entry, device creation, Plug and Play, power, and the dispatch routines of the changer
// class driver stand-in. Every request that touches the changer runs under the path's command
// lock and ends in one place that fills its ScsiStatus block (when the bus sent it) and completes
// it.
#include "changerclass.h"

namespace {

DRIVER_ADD_DEVICE CgpAddDevice;
DRIVER_DISPATCH CgpDispatchCreateClose;
DRIVER_DISPATCH CgpDispatchRead;
DRIVER_DISPATCH CgpDispatchDeviceControl;
DRIVER_DISPATCH CgpDispatchForward;
DRIVER_DISPATCH CgpDispatchPnp;
DRIVER_DISPATCH CgpDispatchPower;
DRIVER_DISPATCH CgpDispatchUnsupported;
IO_COMPLETION_ROUTINE CgpSignalCompletion;

constexpr ULONG CG_MAX_PATHS = 1000;

NTSTATUS CgpComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

BOOLEAN CgpAcquireIo(CgExtension *Ext);
void CgpReleaseIo(CgExtension *Ext)
{
    if (InterlockedDecrement(&Ext->lIoCount) == 0)
        KeSetEvent(&Ext->RemoveEvent, IO_NO_INCREMENT, FALSE);
}

BOOLEAN CgpAcquireIo(CgExtension *Ext)
{
    InterlockedIncrement(&Ext->lIoCount);
    if (Ext->fRemoved) {
        CgpReleaseIo(Ext);
        return FALSE;
    }
    return TRUE;
}

void CgpLockCommands(CgExtension *Ext) { KeWaitForSingleObject(&Ext->CommandLock, Executive, KernelMode, FALSE, nullptr); }
void CgpUnlockCommands(CgExtension *Ext) { KeSetEvent(&Ext->CommandLock, IO_NO_INCREMENT, FALSE); }

void CgpFormatName(WCHAR *Buffer, size_t Count, PCWSTR Prefix, ULONG Number)
{
    _snwprintf(Buffer, Count, L"%s%u", Prefix, Number);
    Buffer[Count - 1] = 0;
}

void CgpDeleteLink(CgExtension *Ext)
{
    if (!Ext->fLinkCreated)
        return;
    WCHAR linkText[48];
    UNICODE_STRING link;
    CgpFormatName(linkText, RTL_NUMBER_OF(linkText), VYRCG_LINK_NAME_PREFIX, Ext->ulPathNumber);
    RtlInitUnicodeString(&link, linkText);
    IoDeleteSymbolicLink(&link);
    Ext->fLinkCreated = FALSE;
}

NTSTATUS CgpControlWork(CgExtension *Ext, CgIo *Io, ULONG_PTR *Information)
{
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (CgControl(Ext, Io, &status, Information))
        return status;
    switch (IoGetCurrentIrpStackLocation(Io->Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SCSI_PASS_THROUGH:
        return CgPassThrough(Ext, Io, FALSE, Information);
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        return CgPassThrough(Ext, Io, TRUE, Information);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// Opens and closes touch nothing on the changer; a close always succeeds, even on a path that
// is going away.
NTSTATUS CgpDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CgExtension *ext = CgExt(DeviceObject);
    UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    if (major == IRP_MJ_CREATE && (ext->fRemoved || !ext->fStarted || ext->fStopped))
        return CgpComplete(Irp, ext->fRemoved ? STATUS_DELETE_PENDING : STATUS_DEVICE_NOT_READY, 0);
    return CgpComplete(Irp, STATUS_SUCCESS, 0);
}

// A changer has no data to read: a read succeeds and moves nothing, as the changer class does.
NTSTATUS CgpDispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CgpComplete(Irp, STATUS_SUCCESS, 0);
}

/*++
Routine Description:
    A device control: takes the remove lock and the command lock, refuses it while the path is
    not started, answers it, fills its ScsiStatus block and completes it.
--*/
NTSTATUS CgpDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CgExtension *ext = CgExt(DeviceObject);
    if (!CgpAcquireIo(ext))
        return CgpComplete(Irp, STATUS_DELETE_PENDING, 0);
    CgIo io;
    RtlZeroMemory(&io, sizeof(io));
    io.Irp = Irp;
    ULONG_PTR information = 0;
    NTSTATUS status;
    CgpLockCommands(ext);
    if (!ext->fStarted || ext->fStopped)
        status = STATUS_DEVICE_NOT_READY;
    else
        status = CgpControlWork(ext, &io, &information);
    CgFillScsiStatus(ext, &io);
    CgpUnlockCommands(ext);
    CgpComplete(Irp, status, NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW ? information : 0);
    CgpReleaseIo(ext);
    return status;
}

// Internal device control and system control belong to the path below.
NTSTATUS CgpDispatchForward(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CgExtension *ext = CgExt(DeviceObject);
    if (!CgpAcquireIo(ext))
        return CgpComplete(Irp, STATUS_DELETE_PENDING, 0);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(ext->pLowerDevice, Irp);
    CgpReleaseIo(ext);
    return status;
}

NTSTATUS CgpDispatchUnsupported(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CgpComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS CgpSignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CgpForwardAndWait(CgExtension *Ext, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, CgpSignalCompletion, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(Ext->pLowerDevice, Irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return Irp->IoStatus.Status;
}

NTSTATUS CgpForward(CgExtension *Ext, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Ext->pLowerDevice, Irp);
}

NTSTATUS CgpRemoveDevice(PDEVICE_OBJECT DeviceObject, CgExtension *Ext, PIRP Irp)
{
    Ext->fRemoved = TRUE;
    CgpDeleteLink(Ext);
    // Drop the base reference and wait for the requests still running.
    CgpReleaseIo(Ext);
    KeWaitForSingleObject(&Ext->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    Ext->fStarted = FALSE;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = CgpForward(Ext, Irp);
    IoDetachDevice(Ext->pLowerDevice);
    IoDeleteDevice(DeviceObject);
    return status;
}

NTSTATUS CgpDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CgExtension *ext = CgExt(DeviceObject);
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = CgpForwardAndWait(ext, Irp);
        if (NT_SUCCESS(status)) {
            // A path that cannot say where it is does not start. Nothing is asked of the changer
            // itself: a changer that does not answer still gets its path device.
            CgpLockCommands(ext);
            status = CgQueryPathInfo(ext);
            if (NT_SUCCESS(status)) {
                ext->fStopped = FALSE;
                ext->fStarted = TRUE;
            }
            CgpUnlockCommands(ext);
        }
        return CgpComplete(Irp, status, 0);
    case IRP_MN_CANCEL_STOP_DEVICE:
        status = CgpForwardAndWait(ext, Irp);
        if (NT_SUCCESS(status))
            ext->fStopped = FALSE;
        return CgpComplete(Irp, status, Irp->IoStatus.Information);
    case IRP_MN_STOP_DEVICE:
        ext->fStopped = TRUE;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return CgpForward(ext, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return CgpForward(ext, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        ext->fRemoved = TRUE;
        CgpDeleteLink(ext);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return CgpForward(ext, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return CgpRemoveDevice(DeviceObject, ext, Irp);
    default:
        return CgpForward(ext, Irp);
    }
}

NTSTATUS CgpDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(CgExt(DeviceObject)->pLowerDevice, Irp);
}

/*++
Routine Description:
    Creates the FDO of one path with the lowest free name \Device\VyrChangerPath<N>, its link,
    and attaches it to the path PDO. A failing step undoes the ones before it.
--*/
NTSTATUS CgpAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    WCHAR nameText[48], linkText[48];
    UNICODE_STRING name, link;
    PDEVICE_OBJECT fdo = nullptr;
    CgExtension *ext = nullptr;
    ULONG number = 0;
    NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
    for (; number < CG_MAX_PATHS && status == STATUS_OBJECT_NAME_COLLISION; number++) {
        CgpFormatName(nameText, RTL_NUMBER_OF(nameText), VYRCG_DEVICE_NAME_PREFIX, number);
        RtlInitUnicodeString(&name, nameText);
        status = IoCreateDevice(DriverObject, sizeof(CgExtension), &name, FILE_DEVICE_CHANGER,
                                FILE_REMOVABLE_MEDIA | FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    }
    if (!NT_SUCCESS(status))
        return status;
    number--;

    ext = CgExt(fdo);
    RtlZeroMemory(ext, sizeof(*ext));
    ext->pSelf = fdo;
    ext->pPhysicalDevice = PhysicalDeviceObject;
    ext->ulPathNumber = number;
    ext->lIoCount = 1;
    KeInitializeEvent(&ext->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->CommandLock, SynchronizationEvent, TRUE);

    CgpFormatName(linkText, RTL_NUMBER_OF(linkText), VYRCG_LINK_NAME_PREFIX, number);
    RtlInitUnicodeString(&link, linkText);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status))
        goto DeleteDevice;
    ext->fLinkCreated = TRUE;

    ext->pLowerDevice = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (!ext->pLowerDevice) {
        status = STATUS_NO_SUCH_DEVICE;
        goto DeleteLink;
    }
    fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    fdo->AlignmentRequirement = ext->pLowerDevice->AlignmentRequirement;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;

DeleteLink:
    CgpDeleteLink(ext);
DeleteDevice:
    IoDeleteDevice(fdo);
    return status;
}

VOID CgpUnload(PDRIVER_OBJECT DriverObject)
{
}

} // namespace

VYR_DRIVER_ENTRY(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        DriverObject->MajorFunction[i] = CgpDispatchUnsupported;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = CgpDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = CgpDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = CgpDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = CgpDispatchRead;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CgpDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = CgpDispatchForward;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = CgpDispatchForward;
    DriverObject->MajorFunction[IRP_MJ_PNP] = CgpDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = CgpDispatchPower;
    DriverObject->DriverExtension->AddDevice = CgpAddDevice;
    DriverObject->DriverUnload = CgpUnload;
    return STATUS_SUCCESS;
}
