// Driver entry and dispatch table of the SCSI fabric's bus driver.
//
// The same dispatch routines serve the bus FDO, the path PDOs and the control device; each routes
// once on the flags of the common extension header.
#include "fabdrv.h"

namespace {

DRIVER_DISPATCH FabDispatchCreateClose;
DRIVER_DISPATCH FabDispatchDeviceControl;
DRIVER_DISPATCH FabDispatchInternalDeviceControl;
DRIVER_DISPATCH FabDispatchSystemControl;
DRIVER_DISPATCH FabDispatchDefault;
DRIVER_UNLOAD FabUnload;

NTSTATUS FabForwardp(FabCommon *Common, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(((FabBus *)Common)->pLowerDevice, Irp);
}

NTSTATUS FabDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FabCommon *common = FabCommonOf(DeviceObject);
    // Opening a path PDO without a function driver (raw) is allowed; a device that went with its
    // bus takes no new handle, but the ones open still close.
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE && !common->fFdo && common->fGone)
        return FabCompleteRequest(Irp, STATUS_NO_SUCH_DEVICE, 0);
    return FabCompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS FabDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FabCommon *common = FabCommonOf(DeviceObject);
    if (common->fFdo)
        return FabForwardp(common, Irp);
    if (!common->fControl)
        return FabCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (!FabEnter(common))
        return FabCompleteRequest(Irp, STATUS_NO_SUCH_DEVICE, 0);
    FabBus *bus = common->pBus;
    NTSTATUS status = FabControlRequest(bus, Irp);
    FabLeave(bus);
    return status;
}

NTSTATUS FabDispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FabCommon *common = FabCommonOf(DeviceObject);
    if (common->fFdo)
        return FabForwardp(common, Irp);
    if (common->fControl)
        return FabCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (!FabEnter(common))
        return FabCompleteRequest(Irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    FabBus *bus = common->pBus;
    NTSTATUS status = FabPathInternalControl((FabPdo *)common, Irp);
    FabLeave(bus);
    return status;
}

NTSTATUS FabDispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FabCommon *common = FabCommonOf(DeviceObject);
    if (common->fFdo)
        return FabForwardp(common, Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FabDispatchDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FabCommon *common = FabCommonOf(DeviceObject);
    if (common->fFdo)
        return FabForwardp(common, Irp);
    return FabCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

VOID FabUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
}

} // namespace

NTSTATUS FabCompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

BOOLEAN FabEnter(FabCommon *Common)
{
    KIRQL irql;
    KeAcquireSpinLock(&Common->GateLock, &irql);
    BOOLEAN admitted = !Common->fGone;
    if (admitted)
        InterlockedIncrement(&Common->pBus->lActive);
    KeReleaseSpinLock(&Common->GateLock, irql);
    return admitted;
}

void FabLeave(FabBus *Bus)
{
    if (InterlockedDecrement(&Bus->lActive) == 0)
        KeSetEvent(&Bus->IdleEvent, IO_NO_INCREMENT, FALSE);
}

VYR_DRIVER_ENTRY(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        DriverObject->MajorFunction[i] = FabDispatchDefault;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = FabDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = FabDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = FabDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FabDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = FabDispatchInternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = FabDispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = FabDispatchPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = FabDispatchPnp;
    DriverObject->DriverExtension->AddDevice = FabAddDevice;
    DriverObject->DriverUnload = FabUnload;
    return STATUS_SUCCESS;
}
