// The FDO of a class driver stand-in: creation with the lowest free path name, the remove lock
// and the command lock, Plug and Play, power, and the requests that belong to the path below.
#include "classcommon.h"
#ifdef VYR_WINE_ATTACH_FILTERS
#include "attachfilters.h"
#endif

namespace {

DRIVER_ADD_DEVICE ClspAddDevice;
DRIVER_DISPATCH ClspDispatchForward;
DRIVER_DISPATCH ClspDispatchPnp;
DRIVER_DISPATCH ClspDispatchPower;
DRIVER_DISPATCH ClspDispatchUnsupported;
IO_COMPLETION_ROUTINE ClspSignalCompletion;

constexpr ULONG CLS_MAX_PATHS = 1000;

// The stand-in this image is (one per driver image).
const ClsDriver *g_Driver;

void ClspFormatName(WCHAR *Buffer, size_t Count, PCWSTR Prefix, ULONG Number)
{
    _snwprintf(Buffer, Count, L"%s%u", Prefix, Number);
    Buffer[Count - 1] = 0;
}

void ClspDeleteLink(ClsExtension *Ext)
{
    if (!Ext->fLinkCreated)
        return;
    WCHAR linkText[48];
    UNICODE_STRING link;
    ClspFormatName(linkText, RTL_NUMBER_OF(linkText), g_Driver->pszLinkNamePrefix, Ext->ulPathNumber);
    RtlInitUnicodeString(&link, linkText);
    IoDeleteSymbolicLink(&link);
    Ext->fLinkCreated = FALSE;
}

// Internal device control and system control belong to the path below.
NTSTATUS ClspDispatchForward(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto *ext = (ClsExtension *)DeviceObject->DeviceExtension;
    if (!ClsAcquireIo(ext))
        return ClsComplete(Irp, STATUS_DELETE_PENDING, 0);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(ext->pLowerDevice, Irp);
    ClsReleaseIo(ext);
    return status;
}

NTSTATUS ClspDispatchUnsupported(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return ClsComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS ClspSignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes a PnP request down and waits until the lower drivers are done with it.
NTSTATUS ClspForwardAndWait(ClsExtension *Ext, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ClspSignalCompletion, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(Ext->pLowerDevice, Irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return Irp->IoStatus.Status;
}

NTSTATUS ClspForward(ClsExtension *Ext, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Ext->pLowerDevice, Irp);
}

// A path that cannot say where it is does not start; what else a start needs is the stand-in's.
NTSTATUS ClspStartDevice(ClsExtension *Ext)
{
    NTSTATUS status = ClsQueryPathInfo(Ext);
    if (NT_SUCCESS(status) && g_Driver->StartDevice)
        status = g_Driver->StartDevice(Ext);
    if (NT_SUCCESS(status)) {
        Ext->fStopped = FALSE;
        Ext->fStarted = TRUE;
    }
    return status;
}

NTSTATUS ClspRemoveDevice(PDEVICE_OBJECT DeviceObject, ClsExtension *Ext, PIRP Irp)
{
    Ext->fRemoved = TRUE;
    ClspDeleteLink(Ext);
    // Drop the base reference and wait for the requests still running.
    ClsReleaseIo(Ext);
    KeWaitForSingleObject(&Ext->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    Ext->fStarted = FALSE;
    if (g_Driver->RemoveDevice)
        g_Driver->RemoveDevice(Ext);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = ClspForward(Ext, Irp);
    IoDetachDevice(Ext->pLowerDevice);
    IoDeleteDevice(DeviceObject);
    return status;
}

NTSTATUS ClspDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto *ext = (ClsExtension *)DeviceObject->DeviceExtension;
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = ClspForwardAndWait(ext, Irp);
        if (NT_SUCCESS(status)) {
            ClsLockCommands(ext);
            status = ClspStartDevice(ext);
            ClsUnlockCommands(ext);
        }
        return ClsComplete(Irp, status, 0);
    case IRP_MN_CANCEL_STOP_DEVICE:
        status = ClspForwardAndWait(ext, Irp);
        if (NT_SUCCESS(status))
            ext->fStopped = FALSE;
        return ClsComplete(Irp, status, Irp->IoStatus.Information);
    case IRP_MN_STOP_DEVICE:
        // Requests that arrive while the path is stopped are refused, not held.
        ext->fStopped = TRUE;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return ClspForward(ext, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return ClspForward(ext, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        // The path is gone: no new opens by name, no new requests. The device object stays until
        // the last handle is closed and the removal follows.
        ext->fRemoved = TRUE;
        ClspDeleteLink(ext);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return ClspForward(ext, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return ClspRemoveDevice(DeviceObject, ext, Irp);
    default:
        return ClspForward(ext, Irp);
    }
}

NTSTATUS ClspDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(((ClsExtension *)DeviceObject->DeviceExtension)->pLowerDevice, Irp);
}

/*++
Routine Description:
    Creates the FDO of one path with the lowest free name <device prefix><N>, its link
    <link prefix><N>, and attaches it to the path PDO. A failing step undoes the ones before it.
--*/
NTSTATUS ClspAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    WCHAR nameText[48], linkText[48];
    UNICODE_STRING name, link;
    PDEVICE_OBJECT fdo = nullptr;
    ClsExtension *ext = nullptr;
    ULONG number = 0;
    NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
    for (; number < CLS_MAX_PATHS && status == STATUS_OBJECT_NAME_COLLISION; number++) {
        ClspFormatName(nameText, RTL_NUMBER_OF(nameText), g_Driver->pszDeviceNamePrefix, number);
        RtlInitUnicodeString(&name, nameText);
        status = IoCreateDevice(DriverObject, g_Driver->ulExtensionSize, &name, g_Driver->DeviceType,
                                FILE_REMOVABLE_MEDIA | FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    }
    if (!NT_SUCCESS(status))
        return status;
    number--;

    ext = (ClsExtension *)fdo->DeviceExtension;
    RtlZeroMemory(ext, g_Driver->ulExtensionSize);
    ext->pSelf = fdo;
    ext->pPhysicalDevice = PhysicalDeviceObject;
    ext->ulPathNumber = number;
    ext->lIoCount = 1;
    KeInitializeEvent(&ext->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->CommandLock, SynchronizationEvent, TRUE);
    if (g_Driver->InitExtension)
        g_Driver->InitExtension(ext);

    ClspFormatName(linkText, RTL_NUMBER_OF(linkText), g_Driver->pszLinkNamePrefix, number);
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
    fdo->Flags |= g_Driver->ulIoFlag | DO_POWER_PAGABLE;
    fdo->AlignmentRequirement = ext->pLowerDevice->AlignmentRequirement;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
#ifdef VYR_WINE_ATTACH_FILTERS
    WineAttachUpperFilters(PhysicalDeviceObject); // Wine loads no upper filters (sim/wine)
#endif
    return STATUS_SUCCESS;

DeleteLink:
    ClspDeleteLink(ext);
DeleteDevice:
    IoDeleteDevice(fdo);
    return status;
}

} // namespace

void ClsInitializeDriver(PDRIVER_OBJECT DriverObject, const ClsDriver *Driver)
{
    g_Driver = Driver;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        DriverObject->MajorFunction[i] = ClspDispatchUnsupported;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ClspDispatchForward;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = ClspDispatchForward;
    DriverObject->MajorFunction[IRP_MJ_PNP] = ClspDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = ClspDispatchPower;
    DriverObject->DriverExtension->AddDevice = ClspAddDevice;
}

const ClsDriver *ClsDescription()
{
    return g_Driver;
}

NTSTATUS ClsComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

BOOLEAN ClsAcquireIo(ClsExtension *Ext)
{
    InterlockedIncrement(&Ext->lIoCount);
    if (Ext->fRemoved) {
        ClsReleaseIo(Ext);
        return FALSE;
    }
    return TRUE;
}

void ClsReleaseIo(ClsExtension *Ext)
{
    if (InterlockedDecrement(&Ext->lIoCount) == 0)
        KeSetEvent(&Ext->RemoveEvent, IO_NO_INCREMENT, FALSE);
}

void ClsLockCommands(ClsExtension *Ext)
{
    KeWaitForSingleObject(&Ext->CommandLock, Executive, KernelMode, FALSE, nullptr);
}

void ClsUnlockCommands(ClsExtension *Ext)
{
    KeSetEvent(&Ext->CommandLock, IO_NO_INCREMENT, FALSE);
}
