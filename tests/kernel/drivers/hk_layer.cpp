// A function driver or upper filter for the kernel tests (the tests install this one image under
// several service names). It traces the Plug and Play requests it sees, vetoes query-remove and
// query-stop when told to, follows HkPlan requests, and forwards everything else.
#include "kernel.h"

#include "hk_layer_common.h"

extern "C" {
HkDriverConfig HkConfig;
}

namespace {

char g_name[32];

struct LayerExtension {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
};

void Trace(const char *what)
{
    HkTraceAdd(HkConfig.trace, g_name, what);
}

NTSTATUS NTAPI StartCompleted(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    Trace(NT_SUCCESS(irp->IoStatus.Status) ? "START done" : "START failed");
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS Forward(LayerExtension *ext, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    auto *ext = (LayerExtension *)device->DeviceExtension;
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (const char *name = hkl::PnpMinorName(minor))
        Trace(name);
    switch (minor) {
    case IRP_MN_START_DEVICE:
        // Handled on the way back up, after the lower drivers started.
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, StartCompleted, NULL, TRUE, TRUE, TRUE);
        return IoCallDriver(ext->lower, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (HkConfig.vetoQueryRemove)
            return CompleteWith(irp, HkConfig.vetoQueryRemove);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return Forward(ext, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        if (HkConfig.vetoQueryStop)
            return CompleteWith(irp, HkConfig.vetoQueryStop);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return Forward(ext, irp);
    case IRP_MN_REMOVE_DEVICE: {
        irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = ext->lower;
        NTSTATUS status = Forward(ext, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return Forward(ext, irp);
    default:
        return Forward(ext, irp);
    }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    auto *ext = (LayerExtension *)device->DeviceExtension;
    Trace("POWER");
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT device, PIRP irp)
{
    auto *ext = (LayerExtension *)device->DeviceExtension;
    if (HkPlan *plan = hkl::PlanOf(irp))
        return hkl::PlanDispatch(device, ext->lower, irp, plan);
    return Forward(ext, irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    InterlockedIncrement(&HkConfig.addDevices);
    Trace("AddDevice");
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(driver, sizeof(LayerExtension), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    auto *ext = (LayerExtension *)device->DeviceExtension;
    ext->self = device;
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!ext->lower) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= ext->lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT)
{
    Trace("Unload");
    hkl::StopWorker();
}

} // namespace

VYR_DRIVER_ENTRY(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    InterlockedIncrement(&HkConfig.driverEntries);
    hkl::ServiceName(driver, g_name, sizeof g_name);
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        driver->MajorFunction[i] = DispatchOther;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return hkl::StartWorker();
}
