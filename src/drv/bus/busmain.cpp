// Driver entry, the dispatch table and unload of the bus enumerator.
//
// The same dispatch routines serve the bus FDO -- which is also the control device the path
// filters open -- and the logical devices; each routine tests the extension's FDO flag.
#include "bus.h"

namespace {

DRIVER_UNLOAD BusUnload;
DRIVER_DISPATCH BusDispatchCreateClose;
DRIVER_DISPATCH BusDispatchCleanup;
DRIVER_DISPATCH BusDispatchReadWrite;
DRIVER_DISPATCH BusDispatchDeviceControl;
DRIVER_DISPATCH BusDispatchInternalDeviceControl;
DRIVER_DISPATCH BusDispatchDefault;

// Requests on logical devices. Logical devices come into being when paths register; until the
// path table exists, none are created, and these routines only refuse.
NTSTATUS BusLogicalNotReady(PIRP Irp)
{
    return BusCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS BusDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (!BusCommon(DeviceObject)->fFdo)
        return BusLogicalNotReady(Irp);
    return BusCompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS BusDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return BusCompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS BusDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (!BusCommon(DeviceObject)->fFdo)
        return BusLogicalNotReady(Irp);
    // The control device moves no data.
    return BusCompleteRequest(Irp, STATUS_NOT_SUPPORTED, 0);
}

NTSTATUS BusDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CommonExtension *common = BusCommon(DeviceObject);
    if (!common->fFdo)
        return BusLogicalNotReady(Irp);
    // Control codes the bus does not answer itself belong to the device below it. The path
    // registration, notification and query codes are answered here once the path table exists.
    auto *bus = (BusExtension *)common;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(bus->pLowerDevice, Irp);
}

NTSTATUS BusDispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // Nothing in this system sends internal device-control requests to the bus.
    return BusCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS BusDispatchDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (!BusCommon(DeviceObject)->fFdo)
        return BusCompleteRequest(Irp, STATUS_NOT_IMPLEMENTED, 0);
    return BusCompleteRequest(Irp, STATUS_NOT_SUPPORTED, 0);
}

VOID BusUnload(PDRIVER_OBJECT DriverObject)
{
    LogBusEvent(DriverObject, nullptr, VYR_EVT_BUS_UNLOADING, nullptr, nullptr);
}

} // namespace

NTSTATUS BusCompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/*++
Routine Description:
    Allocates the driver-object extension (the first StatusStructTable block) and fills the
    dispatch table.
--*/
VYR_DRIVER_ENTRY(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    PVOID extension = nullptr;
    NTSTATUS status = IoAllocateDriverObjectExtension(DriverObject, VYR_STATUS_TABLE_CLIENT_ID,
                                                      sizeof(StatusStructBlock), &extension);
    if (!NT_SUCCESS(status)) {
        WCHAR text[16];
        BusFormatStatus(text, RTL_NUMBER_OF(text), status);
        LogBusEvent(DriverObject, nullptr, VYR_EVT_INIT_FAILED, text, nullptr);
        return status;
    }
    RtlZeroMemory(extension, sizeof(StatusStructBlock));
    KeInitializeSpinLock(&((StatusStructBlock *)extension)->Lock);

    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        DriverObject->MajorFunction[i] = BusDispatchDefault;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = BusDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = BusDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = BusDispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = BusDispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = BusDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BusDispatchInternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = BusDispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_POWER] = BusDispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BusDispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = BusDispatchPnp;
    DriverObject->DriverExtension->AddDevice = BusAddDevice;
    DriverObject->DriverUnload = BusUnload;
    return STATUS_SUCCESS;
}
