// Stands in for the path filters in the bus tests: unnamed device objects that a test registers
// with the bus as path devices. Every request that reaches one completes with success.
#include "kernel.h"

namespace {

DRIVER_DISPATCH StubDispatch;
DRIVER_UNLOAD StubUnload;

PDRIVER_OBJECT g_driver;

NTSTATUS StubDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER)
        PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

VOID StubUnload(PDRIVER_OBJECT DriverObject)
{
    while (DriverObject->DeviceObject)
        IoDeleteDevice(DriverObject->DeviceObject);
}

} // namespace

extern "C" {

// A new path device object, or the creation's failure.
NTSTATUS BusStubCreatePath(PDEVICE_OBJECT *Device)
{
    NTSTATUS status = IoCreateDevice(g_driver, 0, nullptr, FILE_DEVICE_TAPE, 0, FALSE, Device);
    if (NT_SUCCESS(status))
        (*Device)->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

void BusStubDeletePath(PDEVICE_OBJECT Device)
{
    IoDeleteDevice(Device);
}

} // extern "C"

VYR_DRIVER_ENTRY(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    g_driver = DriverObject;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        DriverObject->MajorFunction[i] = StubDispatch;
    DriverObject->DriverUnload = StubUnload;
    return STATUS_SUCCESS;
}
