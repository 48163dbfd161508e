// Device control on the control device (the bus FDO): path registration and notices from the
// path filters, and the path query that applications send here or to any logical device.
#include "bus.h"

namespace {

#if defined(VYR_BUILD_CHANGER) && VYR_BUILD_CHANGER
#define VYR_LOGICAL_BASE_ANSI "Changer"
#else
#define VYR_LOGICAL_BASE_ANSI "Tape"
#endif

ULONG BusCountPathsLocked(LogicalDeviceEntry *Entry)
{
    ULONG count = 0;
    for (PathEntry *path = Entry->pPaths; path; path = path->pNext)
        count++;
    return count;
}

// Fills the entries of one logical device's paths, at most Room of them; returns how many.
ULONG BusFillPathsLocked(BusExtension *Bus, LogicalDeviceEntry *Entry, LogicalDeviceExtension *Ldx, PathInfoEntry *Out,
                         ULONG Room)
{
    ULONG filled = 0;
    for (PathEntry *path = Entry->pPaths; path && filled < Room; path = path->pNext, filled++) {
        PathInfoEntry *info = &Out[filled];
        RtlZeroMemory(info, sizeof(PathInfoEntry));
        _snprintf(info->szDeviceName, sizeof(info->szDeviceName) - 1, VYR_LOGICAL_BASE_ANSI "%u", Ldx->ulNumber);
        RtlCopyMemory(info->szSerialNumber, Ldx->szSerialNumber, 32);
        info->fFailover = Bus->fFailoverDisabled ? 0 : Entry->fFailover;
        info->Address = path->Address;
        info->fAvailable = path->fAvailable ? 1 : 0;
        info->fPrimary = path->fPrimary ? 1 : 0;
    }
    return filled;
}

} // namespace

/*++
Routine Description:
    IOCTL_TPBUS_QUERY_PATHS: one PathInfoEntry per path of every logical device, after a size
    word that always holds the full reply size, so that a caller with a short buffer learns how
    much to ask for. Completes the request.
Return Value:
    STATUS_SUCCESS with information = bytes copied (at least the size word);
    STATUS_BUFFER_TOO_SMALL when not even the size word fits; STATUS_INVALID_PARAMETER without
    a stack location or without any logical device; STATUS_INSUFFICIENT_RESOURCES.
--*/
NTSTATUS BusQueryPaths(BusExtension *Bus, PIRP Irp)
{
    if (Irp->CurrentLocation > Irp->StackCount)
        return BusCompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (outLength < PATH_QUERY_HEADER_SIZE)
        return BusCompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    if (!Bus->pLogicalDevices)
        return BusCompleteRequest(Irp, STATUS_INVALID_PARAMETER, outLength);

    ULONG count = 0;
    for (LogicalDeviceEntry *entry = Bus->pLogicalDevices; entry; entry = entry->pNext) {
        LogicalDeviceExtension *ldx = BusLogical(entry->pDevice);
        KIRQL irql;
        KeAcquireSpinLock(&ldx->Lock, &irql);
        count += BusCountPathsLocked(entry);
        KeReleaseSpinLock(&ldx->Lock, irql);
    }

    const ULONG capacity = PATH_QUERY_HEADER_SIZE + count * (ULONG)sizeof(PathInfoEntry);
    auto *reply = (UCHAR *)ExAllocatePoolWithTag(NonPagedPool, capacity, VYR_TAG_BUS_QUERY);
    if (!reply)
        return BusCompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);

    // Paths may come or go between the two walks: fill no more than was counted.
    auto *entries = (PathInfoEntry *)(reply + PATH_QUERY_HEADER_SIZE);
    ULONG filled = 0;
    for (LogicalDeviceEntry *entry = Bus->pLogicalDevices; entry; entry = entry->pNext) {
        LogicalDeviceExtension *ldx = BusLogical(entry->pDevice);
        KIRQL irql;
        KeAcquireSpinLock(&ldx->Lock, &irql);
        filled += BusFillPathsLocked(Bus, entry, ldx, entries + filled, count - filled);
        KeReleaseSpinLock(&ldx->Lock, irql);
    }
    const ULONG size = PATH_QUERY_HEADER_SIZE + filled * (ULONG)sizeof(PathInfoEntry);
    RtlCopyMemory(reply, &size, sizeof(size));

    UCHAR *out = (UCHAR *)Irp->AssociatedIrp.SystemBuffer;
    RtlZeroMemory(out, outLength);
    const ULONG copied = outLength < size ? outLength : size;
    RtlCopyMemory(out, reply, copied);
    ExFreePoolWithTag(reply, VYR_TAG_BUS_QUERY);
    return BusCompleteRequest(Irp, STATUS_SUCCESS, copied);
}

namespace {

// A path's registration in the build's record, turned into the path table's: a changer path has
// no node name and none of the access, naming or key flags.
NTSTATUS BusRegisterRecord(BusExtension *Bus, BusRegistrationRecord *Record)
{
#if VYR_BUILD_CHANGER
    PathRegistration registration;
    RtlZeroMemory(&registration, sizeof(registration));
    registration.fFailover = Record->fFailover;
    RtlCopyMemory(registration.szSerialNumber, Record->szSerialNumber, sizeof(registration.szSerialNumber));
    registration.Address = Record->Address;
    registration.pPathDevice = Record->pPathDevice;
    registration.ulState = Record->ulState;
    NTSTATUS status = BusRegisterPath(Bus, &registration);
    Record->pStatusTable = registration.pStatusTable;
    Record->ulDeviceNumber = registration.ulDeviceNumber;
    return status;
#else
    return BusRegisterPath(Bus, Record);
#endif
}

// A path's notice: a changer path reports state changes only; a tape path also its direct opens
// and closes.
NTSTATUS BusNotifyRecord(BusExtension *Bus, const BusNotificationRecord *Notice)
{
    auto pathDevice = (PDEVICE_OBJECT)(ULONG_PTR)Notice->pPathDevice;
#if VYR_BUILD_CHANGER
    BusNotifyPathState(Bus, pathDevice, Notice->ulState);
    return STATUS_SUCCESS;
#else
    if (Notice->ulOperation == PATH_NOTIFY_STATE)
        BusNotifyPathState(Bus, pathDevice, Notice->ulValue);
    else if (Notice->ulOperation == PATH_NOTIFY_OPEN_CLOSE)
        return BusNotifyOpenClose(Bus, pathDevice, Notice->ulValue);
    return STATUS_SUCCESS;
#endif
}

} // namespace

/*++
Routine Description:
    Device control on the control device. Registration and notices carry device object pointers
    that the bus later sends requests to, so only kernel-mode requestors (the path filters) may
    send them; any application can open the control device.
--*/
NTSTATUS BusFdoDeviceControl(BusExtension *Bus, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;

    switch (code) {
    case BUS_IOCTL_REGISTER_PATH: {
        if (Irp->RequestorMode != KernelMode)
            return BusCompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
        if (inLength < sizeof(BusRegistrationRecord) || !buffer)
            return BusCompleteRequest(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
        NTSTATUS status = BusRegisterRecord(Bus, (BusRegistrationRecord *)buffer);
        // The whole record goes back, but never more than the caller's output buffer holds.
        ULONG_PTR information = outLength < sizeof(BusRegistrationRecord) ? outLength : sizeof(BusRegistrationRecord);
        return BusCompleteRequest(Irp, status, information);
    }
    case BUS_IOCTL_NOTIFY_PATH: {
        if (Irp->RequestorMode != KernelMode)
            return BusCompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
        if (inLength < sizeof(BusNotificationRecord) || !buffer)
            return BusCompleteRequest(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
        NTSTATUS status = BusNotifyRecord(Bus, (const BusNotificationRecord *)buffer);
        return BusCompleteRequest(Irp, status, 0);
    }
    case BUS_IOCTL_QUERY_PATHS:
        return BusQueryPaths(Bus, Irp);
    default:
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(Bus->pLowerDevice, Irp);
    }
}
