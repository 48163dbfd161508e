// Driver entry, the dispatch table and unload of the bus enumerator.
//
// The same dispatch routines serve the bus FDO -- which is also the control device the path
// filters open -- and the logical devices; each routine tests the extension's FDO flag.
#include "bus.h"

namespace {

DRIVER_UNLOAD BusUnload;
DRIVER_DISPATCH BusDispatchCreate;
DRIVER_DISPATCH BusDispatchClose;
DRIVER_DISPATCH BusDispatchCleanup;
DRIVER_DISPATCH BusDispatchReadWrite;
DRIVER_DISPATCH BusDispatchDeviceControl;
DRIVER_DISPATCH BusDispatchInternalDeviceControl;
DRIVER_DISPATCH BusDispatchDefault;

NTSTATUS BusDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // A changer keeps no per-handle state and moves no data through the bus: opens, closes and
    // transfers end here, and a changer with every path down can still be opened.
    if constexpr (!VYR_BUS_CHANGER) {
        if (!BusCommon(DeviceObject)->fFdo)
            return BusLogicalCreate(DeviceObject, Irp);
    }
    return BusCompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS BusDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if constexpr (!VYR_BUS_CHANGER) {
        if (!BusCommon(DeviceObject)->fFdo)
            return BusLogicalClose(DeviceObject, Irp);
    }
    return BusCompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS BusDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return BusCompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS BusDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if constexpr (VYR_BUS_CHANGER)
        return BusCompleteRequest(Irp, STATUS_SUCCESS, 0);
    else if (!BusCommon(DeviceObject)->fFdo)
        return BusLogicalReadWrite(DeviceObject, Irp);
    // The control device moves no data.
    return BusCompleteRequest(Irp, STATUS_NOT_SUPPORTED, 0);
}

NTSTATUS BusDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CommonExtension *common = BusCommon(DeviceObject);
    if (common->fFdo)
        return BusFdoDeviceControl((BusExtension *)common, Irp);
    if constexpr (VYR_BUS_CHANGER)
        return BusChangerDeviceControl(DeviceObject, Irp);
    else
        return BusLogicalDeviceControl(DeviceObject, Irp);
}

NTSTATUS BusDispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // Nothing in this system sends internal device-control requests to the bus or to a logical
    // device; refusing them keeps a stray one from reaching a drive.
    return BusCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS BusDispatchDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (!BusCommon(DeviceObject)->fFdo) {
        // Both refuse what they cannot carry.
        if constexpr (VYR_BUS_CHANGER)
            return BusChangerSendOverPath(DeviceObject, Irp);
        else
            return BusSendOverPath(DeviceObject, Irp);
    }
    return BusCompleteRequest(Irp, STATUS_NOT_SUPPORTED, 0);
}

VOID BusUnload(PDRIVER_OBJECT DriverObject)
{
    auto *table = (StatusStructBlock *)IoGetDriverObjectExtension(DriverObject, VYR_STATUS_TABLE_CLIENT_ID);
    if (table)
        BusStatusTableFreeChain(table);
#if !VYR_BUILD_CHANGER
    CloseTransportDevice();
#endif
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
    DriverObject->MajorFunction[IRP_MJ_CREATE] = BusDispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = BusDispatchClose;
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
