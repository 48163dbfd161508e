// flt_shim: an upper filter between the tape class driver and the path filter (see
// flt_test_abi.h). It logs what the path filter passes down, and fails or holds what the test's
// FltTestState asks it to.
#include "kernel.h"

#include "flt_test_abi.h"

namespace {

struct ShimExtension {
    PDEVICE_OBJECT lower;
};

FltTestState *g_state;
PFILE_OBJECT g_busFile;

NTSTATUS Complete(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

PDEVICE_OBJECT Lower(PDEVICE_OBJECT DeviceObject) { return ((ShimExtension *)DeviceObject->DeviceExtension)->lower; }

NTSTATUS NTAPI HeldCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID)
{
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);
    InterlockedExchange(&g_state->heldDone, 1);
    return STATUS_SUCCESS;
}

// Keeps the request until the test sets releaseEvent, then passes it down. Runs in the caller's
// thread, so the request stays in progress in the path filter above.
NTSTATUS Hold(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    g_state->held = Irp;
    KeSetEvent(&g_state->heldEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&g_state->releaseEvent, Executive, KernelMode, FALSE, nullptr);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, HeldCompletion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(Lower(DeviceObject), Irp);
}

void SnapshotHandOver(PIRP Irp)
{
    ULONG64 address;
    RtlCopyMemory(&address, Irp->AssociatedIrp.SystemBuffer, sizeof(address));
    auto *table = (const StatusStructBlock *)(ULONG_PTR)address;
    FltHandOverSnapshot *s = &g_state->handOver;
    s->table = address;
    s->occupancy = table->ulOccupancy;
    s->slot0Status = table->Slots[0].pScsiStatus;
    s->slot1Status = table->Slots[1].pScsiStatus;
    s->numberInSlot0 = s->slot0Status ? *(const ULONG *)(ULONG_PTR)s->slot0Status : 0xFFFFFFFF;
    InterlockedIncrement(&g_state->handOvers);
}

NTSTATUS NTAPI DispatchAny(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = 0;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL)
        code = stack->Parameters.DeviceIoControl.IoControlCode;
    FltTestRecord(g_state, FLT_EV_REQUEST, stack->MajorFunction, code, (ULONG64)(ULONG_PTR)DeviceObject);

    if (stack->MajorFunction == IRP_MJ_CREATE && g_state->failCreateStatus)
        return Complete(Irp, g_state->failCreateStatus);
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        if (code == g_state->failCode && g_state->failCodeStatus)
            return Complete(Irp, g_state->failCodeStatus);
        if (code == g_state->holdCode)
            return Hold(DeviceObject, Irp);
        if (code == IOC_SET_STATUS_TABLE && Irp->AssociatedIrp.SystemBuffer &&
            stack->Parameters.DeviceIoControl.InputBufferLength >= 8)
            SnapshotHandOver(Irp);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Lower(DeviceObject), Irp);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_OBJECT lower = Lower(DeviceObject);
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    FltTestRecord(g_state, FLT_EV_PNP, minor, 0, (ULONG64)(ULONG_PTR)DeviceObject);
    if (minor == IRP_MN_START_DEVICE && g_state->failStartStatus)
        return Complete(Irp, g_state->failStartStatus);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(lower, Irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(DeviceObject);
    }
    return status;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Lower(DeviceObject), Irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(ShimExtension), nullptr, FILE_DEVICE_TAPE, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    auto *ext = (ShimExtension *)device->DeviceExtension;
    ext->lower = IoAttachDeviceToDeviceStack(device, Pdo);
    if (!ext->lower) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags = ext->lower->Flags & ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT)
{
    if (g_busFile)
        ObDereferenceObject(g_busFile);
    g_busFile = nullptr;
}

} // namespace

VYR_DRIVER_ENTRY(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    // The fake bus's control device carries the shared test state in its extension.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\VYRTpBsDvc");
    PDEVICE_OBJECT bus;
    NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &g_busFile, &bus);
    if (!NT_SUCCESS(status))
        return status;
    g_state = *(FltTestState **)bus->DeviceExtension;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        DriverObject->MajorFunction[i] = DispatchAny;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
