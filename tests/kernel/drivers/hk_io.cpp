// A legacy (non-PnP) driver for the kernel tests of the I/O manager. DriverEntry creates three
// named devices, one per buffering method for reads and writes, each with a Win32 name:
//   \Device\HkBuffered (DO_BUFFERED_IO)  \??\HkBuffered
//   \Device\HkDirect   (DO_DIRECT_IO)    \DosDevices\HkDirect
//   \Device\HkNeither  (neither)         \??\HkNeither
// Each device's extension starts with an HkIoState: what the device saw of the last request, its
// open/cleanup/close counts, and the data written to it, which reads return.
#include "kernel.h"

#include "hk_layer_common.h"

namespace {

struct DeviceEntry {
    const WCHAR *name;
    const WCHAR *link;
    ULONG flags;
};

const DeviceEntry kDevices[] = {
    {L"\\Device\\HkBuffered", L"\\??\\HkBuffered", DO_BUFFERED_IO},
    {L"\\Device\\HkDirect", L"\\DosDevices\\HkDirect", DO_DIRECT_IO},
    {L"\\Device\\HkNeither", L"\\??\\HkNeither", 0},
};

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void Remember(HkIoState *state, PIRP irp, PIO_STACK_LOCATION stack)
{
    HkRequestSeen *seen = &state->last;
    RtlZeroMemory(seen, sizeof *seen);
    seen->major = stack->MajorFunction;
    seen->requestorMode = irp->RequestorMode;
    seen->is32bit = IoIs32bitProcess(irp);
    seen->irpFlags = irp->Flags;
    seen->systemBuffer = irp->AssociatedIrp.SystemBuffer;
    seen->userBuffer = irp->UserBuffer;
    seen->fileObject = stack->FileObject;
    if (irp->MdlAddress) {
        seen->mdlVirtualAddress = MmGetMdlVirtualAddress(irp->MdlAddress);
        seen->mdlByteCount = MmGetMdlByteCount(irp->MdlAddress);
    }
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL || stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        seen->type3InputBuffer = stack->Parameters.DeviceIoControl.Type3InputBuffer;
        seen->inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        seen->outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    } else if (stack->MajorFunction == IRP_MJ_READ || stack->MajorFunction == IRP_MJ_WRITE) {
        seen->outputLength = stack->Parameters.Read.Length;
        seen->byteOffset = stack->Parameters.Read.ByteOffset.QuadPart;
    }
}

void CopyPrefix(HkRequestSeen *seen, const void *data, ULONG length)
{
    if (data)
        RtlCopyMemory(seen->data, data, length < sizeof seen->data ? length : sizeof seen->data);
}

// The buffer of a read or write, as the device's buffering method provides it.
PUCHAR TransferBuffer(PDEVICE_OBJECT device, PIRP irp)
{
    if (device->Flags & DO_BUFFERED_IO)
        return (PUCHAR)irp->AssociatedIrp.SystemBuffer;
    if (device->Flags & DO_DIRECT_IO)
        return irp->MdlAddress ? (PUCHAR)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority) : NULL;
    return (PUCHAR)irp->UserBuffer;
}

NTSTATUS DeviceControl(HkIoState *state, PIRP irp, PIO_STACK_LOCATION stack)
{
    ULONG inLen = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLen = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const void *input = NULL;
    PUCHAR output = NULL;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_HK_BUFFERED:
        // One buffer for both directions: read the input before the output overwrites it.
        input = irp->AssociatedIrp.SystemBuffer;
        output = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
        break;
    case IOCTL_HK_OUT_DIRECT:
        input = irp->AssociatedIrp.SystemBuffer;
        output = irp->MdlAddress ? (PUCHAR)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority) : NULL;
        break;
    case IOCTL_HK_IN_DIRECT:
        // The second buffer carries data to the device: it is read, never written.
        input = irp->AssociatedIrp.SystemBuffer;
        if (irp->MdlAddress)
            CopyPrefix(&state->last, MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority), outLen);
        outLen = 0;
        break;
    case IOCTL_HK_NEITHER:
        input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
        output = (PUCHAR)irp->UserBuffer;
        break;
    default:
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (!input || inLen < sizeof(HkReply))
        return CompleteWith(irp, STATUS_INVALID_PARAMETER, 0);
    HkReply reply;
    RtlCopyMemory(&reply, input, sizeof reply);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_HK_IN_DIRECT)
        CopyPrefix(&state->last, input, inLen);
    if (output)
        RtlFillMemory(output, outLen, reply.fill);
    return CompleteWith(irp, reply.status, reply.information);
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto *state = (HkIoState *)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        InterlockedIncrement(&state->creates);
        Remember(state, irp, stack);
        return CompleteWith(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLEANUP:
        InterlockedIncrement(&state->cleanups);
        return CompleteWith(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLOSE:
        InterlockedIncrement(&state->closes);
        return CompleteWith(irp, STATUS_SUCCESS, 0);
    default:
        break;
    }
    InterlockedIncrement(&state->requests);
    if (HkPlan *plan = hkl::PlanOf(irp)) {
        Remember(state, irp, stack);
        return hkl::PlanDispatch(device, NULL, irp, plan);
    }
    Remember(state, irp, stack);
    switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return DeviceControl(state, irp, stack);
    case IRP_MJ_WRITE: {
        PUCHAR buffer = TransferBuffer(device, irp);
        ULONG length = stack->Parameters.Write.Length;
        if (length > sizeof state->storage)
            length = sizeof state->storage;
        if (length && !buffer)
            return CompleteWith(irp, STATUS_INVALID_PARAMETER, 0);
        CopyPrefix(&state->last, buffer, length);
        RtlCopyMemory(state->storage, buffer, length);
        state->stored = length;
        return CompleteWith(irp, STATUS_SUCCESS, length);
    }
    case IRP_MJ_READ: {
        PUCHAR buffer = TransferBuffer(device, irp);
        ULONG length = stack->Parameters.Read.Length;
        if (length > state->stored)
            length = state->stored;
        if (length && !buffer)
            return CompleteWith(irp, STATUS_INVALID_PARAMETER, 0);
        RtlCopyMemory(buffer, state->storage, length);
        return CompleteWith(irp, STATUS_SUCCESS, length);
    }
    default:
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

VOID NTAPI Unload(PDRIVER_OBJECT driver)
{
    for (const DeviceEntry &entry : kDevices) {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, entry.link);
        IoDeleteSymbolicLink(&link);
    }
    // Devices the tests added to this driver go too.
    while (driver->DeviceObject)
        IoDeleteDevice(driver->DeviceObject);
    hkl::StopWorker();
}

} // namespace

VYR_DRIVER_ENTRY(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        driver->MajorFunction[i] = Dispatch;
    driver->DriverUnload = Unload;
    NTSTATUS status = hkl::StartWorker();
    if (!NT_SUCCESS(status))
        return status;
    for (const DeviceEntry &entry : kDevices) {
        UNICODE_STRING name, link;
        RtlInitUnicodeString(&name, entry.name);
        RtlInitUnicodeString(&link, entry.link);
        PDEVICE_OBJECT device = NULL;
        status = IoCreateDevice(driver, sizeof(HkIoState), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        if (NT_SUCCESS(status))
            status = IoCreateSymbolicLink(&link, &name);
        if (!NT_SUCCESS(status)) {
            Unload(driver);
            return status;
        }
        device->Flags |= entry.flags;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return STATUS_SUCCESS;
}
