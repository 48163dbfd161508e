// flt_fakebus: takes the bus enumerator's place for the path filter tests (see flt_test_abi.h).
#include "kernel.h"

#include "flt_test_abi.h"

extern "C" {
FltTestState FltTestStateBlock;
}

namespace {

constexpr ULONG kTag = 0x62467446; // "FtFb"
constexpr ULONG kBusSlot = 2;      // the first slot the bus itself uses

struct FakeBusExtension {
    FltTestState *state; // first: the shim reads it through the control device
    PDEVICE_OBJECT lower;
};

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI DispatchOpenClose(PDEVICE_OBJECT, PIRP Irp) { return Complete(Irp, STATUS_SUCCESS, 0); }

NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT, PIRP Irp)
{
    FltTestState *state = &FltTestStateBlock;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    auto *buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_TPBUS_REGISTER_PATH: {
        if (in < sizeof(PathRegistration))
            return Complete(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
        auto *registration = (PathRegistration *)buffer;
        LONG index = InterlockedIncrement(&state->registrationCount) - 1;
        if (index < (LONG)kFltTestMaxRegistrations) {
            state->registrations[index] = *registration;
            state->registrationInLength[index] = in;
        }
        FltTestRecord(state, FLT_EV_REGISTER, 0, (ULONG)index, registration->pPathDevice);
        NTSTATUS status = state->registerStatus;
        if (NT_SUCCESS(status)) {
            registration->pStatusTable = (ULONG64)(ULONG_PTR)&state->table;
            registration->ulDeviceNumber = state->deviceNumber;
        }
        return Complete(Irp, status, sizeof(PathRegistration));
    }
    case IOCTL_TPBUS_NOTIFY_PATH: {
        if (in < sizeof(PathNotification))
            return Complete(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
        PathNotification notification = *(PathNotification *)buffer;
        FltTestRecord(state, FLT_EV_NOTIFY, notification.ulOperation, notification.ulValue, notification.pPathDevice);
        if (state->hook)
            state->hook(&notification);
        NTSTATUS status = STATUS_SUCCESS;
        if (notification.ulOperation == PATH_NOTIFY_STATE && notification.ulValue < 8)
            status = state->stateStatus[notification.ulValue];
        else if (notification.ulOperation == PATH_NOTIFY_OPEN_CLOSE)
            status = notification.ulValue == IO_OPEN_REQ ? state->openStatus : state->closeStatus;
        return Complete(Irp, status, 0);
    }
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto *ext = (FakeBusExtension *)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, SignalCompletion, &event, TRUE, TRUE, TRUE);
        if (IoCallDriver(ext->lower, Irp) == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return Complete(Irp, Irp->IoStatus.Status, 0);
    }
    case IRP_MN_REMOVE_DEVICE: {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = IoCallDriver(ext->lower, Irp);
        IoDetachDevice(ext->lower);
        IoDeleteDevice(DeviceObject);
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        [[fallthrough]];
    default:
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(ext->lower, Irp);
    }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(((FakeBusExtension *)DeviceObject->DeviceExtension)->lower, Irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\VYRTpBsDvc");
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(FakeBusExtension), &name, FILE_DEVICE_BUS_EXTENDER, 0, FALSE,
                                     &fdo);
    if (!NT_SUCCESS(status))
        return status;
    auto *ext = (FakeBusExtension *)fdo->DeviceExtension;
    ext->state = &FltTestStateBlock;
    ext->lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
    if (!ext->lower) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

} // namespace

extern "C" NTSTATUS FakeBusSend(PDEVICE_OBJECT Path, UCHAR Major, ULONG Code,
                                                                         ScsiStatus *Block)
{
    FltTestState *state = &FltTestStateBlock;
    PIRP irp = IoAllocateIrp(Path->StackSize, FALSE);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    const ULONG length = Major == IRP_MJ_READ ? Code : 8;
    auto *buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, length, kTag);
    PMDL mdl = nullptr;
    if (!buffer) {
        IoFreeIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(buffer, length);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = Major;
    if (Major == IRP_MJ_DEVICE_CONTROL) {
        irp->AssociatedIrp.SystemBuffer = buffer;
        next->Parameters.DeviceIoControl.IoControlCode = Code;
        next->Parameters.DeviceIoControl.OutputBufferLength = length;
    } else if (Major == IRP_MJ_READ) {
        mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
        if (!mdl) {
            ExFreePoolWithTag(buffer, kTag);
            IoFreeIrp(irp);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        MmBuildMdlForNonPagedPool(mdl);
        irp->MdlAddress = mdl;
        next->Parameters.Read.Length = length;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    KIRQL irql;
    if (Block) {
        KeAcquireSpinLock(&state->table.Lock, &irql);
        state->table.Slots[kBusSlot].pIrp = (ULONG64)(ULONG_PTR)irp;
        state->table.Slots[kBusSlot].pScsiStatus = (ULONG64)(ULONG_PTR)Block;
        state->table.ulOccupancy |= 1ull << kBusSlot;
        KeReleaseSpinLock(&state->table.Lock, irql);
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(Path, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    if (Block) {
        KeAcquireSpinLock(&state->table.Lock, &irql);
        state->table.Slots[kBusSlot].pIrp = 0;
        state->table.Slots[kBusSlot].pScsiStatus = 0;
        state->table.ulOccupancy &= ~(1ull << kBusSlot);
        KeReleaseSpinLock(&state->table.Lock, irql);
    }
    // The MDL is the bus's own: it goes before the request, which would otherwise take it along.
    irp->MdlAddress = nullptr;
    if (mdl)
        IoFreeMdl(mdl);
    IoFreeIrp(irp);
    ExFreePoolWithTag(buffer, kTag);
    return status;
}

VYR_DRIVER_ENTRY(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    KeInitializeSpinLock(&FltTestStateBlock.table.Lock);
    KeInitializeEvent(&FltTestStateBlock.heldEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&FltTestStateBlock.releaseEvent, NotificationEvent, FALSE);
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchOpenClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchOpenClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchOpenClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}
