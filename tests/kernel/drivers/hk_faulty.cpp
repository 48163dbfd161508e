// A deliberately faulty function driver: each fault the verifier must catch, on demand. It sits on
// a root-enumerated device; its FDO is named \Device\HkFaulty (\??\HkFaulty) so that a process can
// send it IOCTL_HK_FAULT with the fault to commit. Faults of the driver's life (pool or an IRP
// leaked, a system thread left running at unload) are chosen before START in HkFaultConfig.
#include "kernel.h"

#include "hk_test_abi.h"

extern "C" {
HkFaultConfig HkFaultSettings;
}

namespace {

struct FaultyExtension {
    PDEVICE_OBJECT lower;
    PIRP held;
};

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID NTAPI Lingerer(PVOID)
{
    InterlockedExchange(&HkFaultSettings.threadRunning, 1);
    KeWaitForSingleObject(&HkFaultSettings.threadExit, Executive, KernelMode, FALSE, NULL);
    InterlockedExchange(&HkFaultSettings.threadRunning, 0);
}

// Sends a one-location IRP of the driver's own to its own device.
PIRP SendToSelf(PDEVICE_OBJECT device, ULONG code, NTSTATUS *status)
{
    PIRP irp = IoAllocateIrp(1, FALSE);
    if (!irp) {
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return NULL;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    *status = IoCallDriver(device, irp);
    return irp;
}

NTSTATUS CommitFault(PDEVICE_OBJECT device, PIRP irp, ULONG fault)
{
    NTSTATUS status;
    switch (fault) {
    case HkFaultCompleteTwice:
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case HkFaultNoComplete:
        return STATUS_SUCCESS;
    case HkFaultPendingUnmarked:
        CompleteWith(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    case HkFaultFreeInUse: {
        PIRP own = SendToSelf(device, IOCTL_HK_SELF_HOLD, &status);
        if (own)
            IoFreeIrp(own); // still held below
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    case HkFaultCompleteToTop:
        // No location of its own, so no completion routine: the IRP completes past its owner.
        SendToSelf(device, IOCTL_HK_SELF_COMPLETE, &status);
        return CompleteWith(irp, STATUS_SUCCESS);
    case HkFaultWaitAtDispatch: {
        KSPIN_LOCK lock;
        KIRQL irql;
        KEVENT event;
        KeInitializeSpinLock(&lock);
        KeInitializeEvent(&event, NotificationEvent, TRUE);
        KeAcquireSpinLock(&lock, &irql);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        KeReleaseSpinLock(&lock, irql);
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    default:
        return CompleteWith(irp, STATUS_INVALID_PARAMETER);
    }
}

// Each kind of allocation once, undone at once; a failure is the driver's to see.
NTSTATUS Allocate(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack)
{
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(HkAllocRequest) ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(HkAllocResult))
        return CompleteWith(irp, STATUS_BUFFER_TOO_SMALL);
    ULONG tag = ((HkAllocRequest *)irp->AssociatedIrp.SystemBuffer)->tag;
    HkAllocResult result;
    RtlZeroMemory(&result, sizeof result);

    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 64, tag);
    result.pool = block ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    PIRP own = IoAllocateIrp(2, FALSE);
    result.irp = own ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    UCHAR buffer[64];
    PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, NULL);
    result.mdl = mdl ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT extra = NULL;
    result.device = IoCreateDevice(device->DriverObject, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &extra);

    if (extra)
        IoDeleteDevice(extra);
    if (mdl)
        IoFreeMdl(mdl);
    if (own)
        IoFreeIrp(own);
    if (block)
        ExFreePoolWithTag(block, tag);
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &result, sizeof result);
    return CompleteWith(irp, STATUS_SUCCESS, sizeof result);
}

NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp)
{
    auto *ext = (FaultyExtension *)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_HK_FAULT:
        if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(HkFaultRequest))
            return CompleteWith(irp, STATUS_BUFFER_TOO_SMALL);
        return CommitFault(device, irp, ((HkFaultRequest *)irp->AssociatedIrp.SystemBuffer)->fault);
    case IOCTL_HK_ALLOCATE:
        return Allocate(device, irp, stack);
    case IOCTL_HK_SELF_COMPLETE:
        return CompleteWith(irp, STATUS_SUCCESS);
    case IOCTL_HK_SELF_HOLD:
        IoMarkIrpPending(irp);
        ext->held = irp;
        return STATUS_PENDING;
    default:
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP irp)
{
    return CompleteWith(irp, STATUS_SUCCESS);
}

void StartFaults()
{
    if (HkFaultSettings.leakPoolAtStart)
        ExAllocatePoolWithTag(NonPagedPool, 40, HK_LEAK_TAG);
    if (HkFaultSettings.leakIrpAtStart)
        IoAllocateIrp(1, FALSE);
    if (HkFaultSettings.threadAtStart) {
        HANDLE thread;
        if (NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, Lingerer, NULL))) {
            ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &HkFaultSettings.thread, NULL);
            ZwClose(thread);
        }
    }
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    auto *ext = (FaultyExtension *)device->DeviceExtension;
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_START_DEVICE)
        StartFaults();
    if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_REMOVE_DEVICE ||
        minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL)
        irp->IoStatus.Status = STATUS_SUCCESS;
    PDEVICE_OBJECT lower = ext->lower;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\??\\HkFaulty");
        IoDeleteSymbolicLink(&link);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(((FaultyExtension *)device->DeviceExtension)->lower, irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\HkFaulty");
    UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\??\\HkFaulty");
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FaultyExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    auto *ext = (FaultyExtension *)device->DeviceExtension;
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    status = ext->lower ? IoCreateSymbolicLink(&link, &name) : STATUS_NO_SUCH_DEVICE;
    if (!NT_SUCCESS(status)) {
        if (ext->lower)
            IoDetachDevice(ext->lower);
        IoDeleteDevice(device);
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT)
{
}

} // namespace

VYR_DRIVER_ENTRY(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    KeInitializeEvent(&HkFaultSettings.threadExit, NotificationEvent, FALSE);
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
