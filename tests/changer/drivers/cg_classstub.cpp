// Stands in for the changer class driver in the changer tests. Each device it makes -- the function
// device of a root device (a changer path, with the changer path filter above it, reachable as
// \\.\CgStubPath<index>), or an unnamed device a test registers with the bus by hand -- has an
// index into CgStubPaths, where the test sets how it answers and reads what it was sent.
#include "kernel.h"
#include "cg_stub_abi.h"

namespace {

struct StubExtension {
    ULONG index;
    PDEVICE_OBJECT lower; // null for a device made by CgStubCreatePath
};

constexpr ULONG kLateTag = 0x74734743; // "CGst"

PDRIVER_OBJECT g_driver;
volatile LONG g_nextIndex;

CgStubPath *PathOf(PDEVICE_OBJECT DeviceObject)
{
    return &CgStubPaths[((StubExtension *)DeviceObject->DeviceExtension)->index];
}

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// A request completed later, from a thread of its own: the sender sees STATUS_PENDING first.
struct LateCompletion {
    PIRP irp;
    NTSTATUS status;
};

VOID LateCompletionThread(PVOID Context)
{
    auto *late = (LateCompletion *)Context;
    LARGE_INTEGER delay;
    delay.QuadPart = -10 * 1000 * 20; // 20 ms
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    Complete(late->irp, late->status, 0);
    ExFreePoolWithTag(late, kLateTag);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS CompleteLate(PIRP Irp, NTSTATUS Status)
{
    auto *late = (LateCompletion *)ExAllocatePoolWithTag(NonPagedPool, sizeof(LateCompletion), kLateTag);
    if (!late)
        return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    late->irp = Irp;
    late->status = Status;
    IoMarkIrpPending(Irp);
    HANDLE thread;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           LateCompletionThread, late);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(late, kLateTag);
        Complete(Irp, status, 0);
        return STATUS_PENDING;
    }
    ZwClose(thread);
    return STATUS_PENDING;
}

NTSTATUS DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CgStubPath *path = PathOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto *buffer = (UCHAR *)Irp->AssociatedIrp.SystemBuffer;
    switch (code) {
    case CG_STUB_IOC_GET_SERIAL_NUMBER:
        if (path->serialFailure == CG_STUB_SERIAL_FAILS)
            return Complete(Irp, STATUS_IO_DEVICE_ERROR, 0);
        if (path->serialFailure == CG_STUB_SERIAL_FAILS_LATE)
            return CompleteLate(Irp, STATUS_IO_DEVICE_ERROR);
        if (out < 32 || !buffer)
            return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlCopyMemory(buffer, path->serial, 32);
        return Complete(Irp, STATUS_SUCCESS, 32);
    case CG_STUB_IOC_GET_SCSI_ADDRESS:
        if (out < 8 || !buffer)
            return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlCopyMemory(buffer, path->address, 8);
        return Complete(Irp, STATUS_SUCCESS, 8);
    case CG_STUB_IOC_SET_STATUS_TABLE:
        InterlockedIncrement(&path->tableHandOvers);
        return Complete(Irp, STATUS_SUCCESS, 0);
    default:
        break;
    }
    InterlockedIncrement(&path->requests);
    path->lastCode = code;
    path->lastInLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    if (path->result != STATUS_SUCCESS)
        return Complete(Irp, path->result, 0);
    // A buffered answer the test can recognise: the path's index in every byte.
    ULONG_PTR information = 0;
    if ((code & 3) == METHOD_BUFFERED && buffer) {
        information = out < path->answerLength ? out : path->answerLength;
        RtlFillMemory(buffer, information, (UCHAR)(0xA0 + ((StubExtension *)DeviceObject->DeviceExtension)->index));
    }
    return Complete(Irp, STATUS_SUCCESS, information);
}

NTSTATUS NTAPI DispatchAny(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CgStubPath *path = PathOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
        return DeviceControl(DeviceObject, Irp);
    case IRP_MJ_CREATE:
        InterlockedIncrement(&path->creates);
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_POWER: {
        PoStartNextPowerIrp(Irp);
        PDEVICE_OBJECT lower = ((StubExtension *)DeviceObject->DeviceExtension)->lower;
        if (!lower)
            return Complete(Irp, STATUS_SUCCESS, 0);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(lower, Irp);
    }
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
        InterlockedIncrement(&path->requests);
        return Complete(Irp, STATUS_SUCCESS, 0);
    default:
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto *ext = (StubExtension *)DeviceObject->DeviceExtension;
    if (!ext->lower)
        return Complete(Irp, STATUS_SUCCESS, 0);
    PDEVICE_OBJECT lower = ext->lower;
    const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(lower, Irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        WCHAR text[40];
        _snwprintf(text, RTL_NUMBER_OF(text), L"\\??\\CgStubPath%u", ext->index);
        text[RTL_NUMBER_OF(text) - 1] = 0;
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, text);
        IoDeleteSymbolicLink(&link);
        IoDetachDevice(lower);
        IoDeleteDevice(DeviceObject);
    }
    return status;
}

NTSTATUS CreateStubDevice(PUNICODE_STRING Name, PDEVICE_OBJECT *Device)
{
    LONG index = InterlockedIncrement(&g_nextIndex) - 1;
    if (index >= (LONG)CG_STUB_MAX_PATHS)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status =
        IoCreateDevice(g_driver, sizeof(StubExtension), Name, FILE_DEVICE_CHANGER, 0, FALSE, Device);
    if (!NT_SUCCESS(status))
        return status;
    auto *ext = (StubExtension *)(*Device)->DeviceExtension;
    ext->index = (ULONG)index;
    ext->lower = nullptr;
    CgStubPaths[index].device = (ULONG64)(ULONG_PTR)*Device;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    UNREFERENCED_PARAMETER(DriverObject);
    LONG index = g_nextIndex;
    WCHAR nameText[40], linkText[40];
    _snwprintf(nameText, RTL_NUMBER_OF(nameText), L"\\Device\\CgStubPath%d", (int)index);
    nameText[RTL_NUMBER_OF(nameText) - 1] = 0;
    _snwprintf(linkText, RTL_NUMBER_OF(linkText), L"\\??\\CgStubPath%d", (int)index);
    linkText[RTL_NUMBER_OF(linkText) - 1] = 0;
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, nameText);
    RtlInitUnicodeString(&link, linkText);
    PDEVICE_OBJECT device;
    NTSTATUS status = CreateStubDevice(&name, &device);
    if (!NT_SUCCESS(status))
        return status;
    auto *ext = (StubExtension *)device->DeviceExtension;
    ext->lower = IoAttachDeviceToDeviceStack(device, Pdo);
    if (!ext->lower) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(ext->lower);
        IoDeleteDevice(device);
        return status;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT DriverObject)
{
    while (DriverObject->DeviceObject)
        IoDeleteDevice(DriverObject->DeviceObject);
}

} // namespace

extern "C" {

CgStubPath CgStubPaths[CG_STUB_MAX_PATHS];

// An unnamed path device that a test registers with the bus by hand.
NTSTATUS CgStubCreatePath(PDEVICE_OBJECT *Device)
{
    NTSTATUS status = CreateStubDevice(nullptr, Device);
    if (NT_SUCCESS(status))
        (*Device)->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

// A device object of this driver under Name, to take a name away from the bus.
NTSTATUS CgStubCreateNamed(PCWSTR Name, PDEVICE_OBJECT *Device)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    NTSTATUS status = CreateStubDevice(&name, Device);
    if (NT_SUCCESS(status))
        (*Device)->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

} // extern "C"

VYR_DRIVER_ENTRY(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    g_driver = DriverObject;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        DriverObject->MajorFunction[i] = DispatchAny;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
