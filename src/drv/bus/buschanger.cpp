// The changer build's control device and request path.
//
// A medium changer is driven by device controls only, and each one is complete in itself: there
// is no tape position to restore, no drive setting to carry to a new path, no reservation to
// follow and no data stream to resume. So a changer request runs in its caller's thread, and a
// failure that points at the path simply sends the same request down the next path not yet tried.
// The control device takes the changer family's records and turns them into the path table's own.
#include "bus.h"
#include "vyr/cgbus.h"

namespace {

constexpr ULONG BUS_SCSI_STATUS_SIZE = sizeof(ScsiStatus);
constexpr ULONG BUS_SPT32_SIZE = 44;
constexpr ULONG BUS_SPT64_SIZE = 56;
// A converted 32-bit structure grows by this much on its way to the native layout.
constexpr ULONG BUS_SPT_GROWTH = 20;
constexpr ULONG BUS_SPTD_GROWTH = 12;
constexpr NTSTATUS BUS_EVENT_FAILOVER_ATTEMPT = (NTSTATUS)0x80000004;

IO_COMPLETION_ROUTINE BuscPathRequestDone;

// Turns the informational statuses 1 to 191 into success and hands the request back to the
// sender, which reuses or frees it.
NTSTATUS BuscPathRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    if (Irp->IoStatus.Status >= 1 && Irp->IoStatus.Status <= 191)
        Irp->IoStatus.Status = STATUS_SUCCESS;
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Event 0x80000004, written before the request moves to the next path.
void BuscLogFailoverAttempt(LogicalDeviceExtension *Ldx, PIRP Irp, ULONG Code, PCWSTR What)
{
    if (!Ldx->pBus || !Ldx->pBus->fFailoverEventsEnabled)
        return;
    WCHAR code[16];
    _snwprintf(code, RTL_NUMBER_OF(code), L"0x%X", Code);
    code[RTL_NUMBER_OF(code) - 1] = 0;
    LogBusEvent(Ldx->pSelf, Irp, BUS_EVENT_FAILOVER_ATTEMPT, What, code);
}

// What the request path keeps of one application request.
struct ChangerRequest {
    ULONG ulCode;
    ULONG ulIn;
    ULONG ulOut;
    BOOLEAN fPassThrough;
    BusPassThrough Pt;
    PVOID pDirectSystemAddress;
    ULONG ulDataSize; // bytes in front of the ScsiStatus block
    ULONG ulPathIn;   // input length of the path request
};

/*++
Routine Description:
    Checks what a device control carries and sizes the path request's system buffer: the larger
    of the two buffers (only a buffered request returns its output there), rounded up to 8
    bytes, in front of the ScsiStatus block. A pass-through structure is checked against its
    buffers before anything is copied, and a 32-bit one gets the room it grows by.
--*/
NTSTATUS BuscPrepare(LogicalDeviceExtension *Ldx, PIRP Irp, PIO_STACK_LOCATION Stack, ChangerRequest *Rq)
{
    Rq->ulCode = Stack->Parameters.DeviceIoControl.IoControlCode;
    Rq->ulIn = Stack->Parameters.DeviceIoControl.InputBufferLength;
    Rq->ulOut = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG method = Rq->ulCode & 3;
    // Without a system buffer the buffers are caller addresses that cannot be trusted here.
    if (method == METHOD_NEITHER)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (Rq->ulIn && !Irp->AssociatedIrp.SystemBuffer)
        return STATUS_INVALID_PARAMETER;
    ULONG64 data = method == METHOD_BUFFERED && Rq->ulOut > Rq->ulIn ? Rq->ulOut : Rq->ulIn;
    ULONG64 pathIn = Rq->ulIn;

    if (Rq->ulCode == IOCTL_SCSI_PASS_THROUGH || Rq->ulCode == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        Rq->fPassThrough = TRUE;
        PMDL locked = Rq->ulCode == IOCTL_SCSI_PASS_THROUGH_DIRECT ? BusFindLockedBuffer(Ldx, Irp) : nullptr;
        NTSTATUS status = BusPassThroughInspect(Rq->ulCode, (const UCHAR *)Irp->AssociatedIrp.SystemBuffer, Rq->ulIn,
                                                Rq->ulOut, IoIs32bitProcess(Irp), locked ? MmGetMdlByteCount(locked) : 0,
                                                &Rq->Pt);
        if (!NT_SUCCESS(status))
            return status;
        if (Rq->ulIn < BUS_SPT32_SIZE)
            return STATUS_BUFFER_TOO_SMALL;
        if (Rq->Pt.fConvert) {
            data += Rq->Pt.fDirect ? BUS_SPTD_GROWTH : BUS_SPT_GROWTH;
            pathIn += Rq->Pt.fDirect ? BUS_SPTD_GROWTH : BUS_SPT_GROWTH;
        }
        if (data < Rq->Pt.ulNativeLength)
            data = Rq->Pt.ulNativeLength;
        if (pathIn < BUS_SPT64_SIZE)
            pathIn = BUS_SPT64_SIZE;
        if (Rq->Pt.fDirect && Rq->Pt.ulDataLength) {
            Rq->pDirectSystemAddress = locked ? MmGetSystemAddressForMdlSafe(locked, NormalPagePriority) : nullptr;
            if (!Rq->pDirectSystemAddress)
                return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    ULONG64 size = ((data + 7) & ~7ull) + BUS_SCSI_STATUS_SIZE;
    if (size > 0x7FFFFFFF)
        return STATUS_INVALID_PARAMETER;
    Rq->ulDataSize = (ULONG)(size - BUS_SCSI_STATUS_SIZE);
    Rq->ulPathIn = (ULONG)(pathIn < Rq->ulDataSize ? pathIn : Rq->ulDataSize);
    return STATUS_SUCCESS;
}

// The failure points at the path: the sense matches the failover table, or the status is a
// failure that is not one of the statuses a drive gives for a request it simply refuses. The
// event text names what was seen.
BOOLEAN BuscAsksFailover(NTSTATUS Status, const ScsiStatus *Block, WCHAR *Text, size_t Chars)
{
    if (BusSenseAsksFailover(Block)) {
        _snwprintf(Text, Chars, L"(SCSI CHECK %X/%X/%X)", (ULONG)Block->ucSenseKey, (ULONG)Block->ucAsc,
                   (ULONG)Block->ucAscq);
        Text[Chars - 1] = 0;
        return TRUE;
    }
    if (!NT_SUCCESS(Status) && !BusStatusExempt(Status)) {
        _snwprintf(Text, Chars, L"(NTSTATUS 0x%08X)", (ULONG)Status);
        Text[Chars - 1] = 0;
        return TRUE;
    }
    return FALSE;
}

} // namespace

/*++
Routine Description:
    Runs one request on a logical changer over its primary path and completes it. The request is
    copied into a request of the bus's own whose system buffer ends in the ScsiStatus block,
    recorded in the StatusStructTable while it is on the path. A failure that points at the path
    sends it again on the next available path this request has not tried, which becomes the
    primary; with none left the request ends with the last attempt's result.
Return Value:
    The status the request was completed with.
IRQL: PASSIVE_LEVEL, in the caller's thread.
--*/
NTSTATUS BusChangerSendOverPath(PDEVICE_OBJECT LogicalDevice, PIRP Irp)
{
    LogicalDeviceExtension *ldx = BusLogical(LogicalDevice);
    if (Irp->CurrentLocation > Irp->StackCount)
        return BusCompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR major = stack->MajorFunction;
    BusLogicalReference(ldx);

    ChangerRequest rq;
    RtlZeroMemory(&rq, sizeof(rq));
    PDEVICE_OBJECT *tried = nullptr;
    PIRP pathIrp = nullptr;
    PUCHAR buffer = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    KEVENT done;

    PDEVICE_OBJECT path = BusChoosePath(ldx, &tried, TRUE);
    if (!path) {
        status = STATUS_OBJECT_PATH_NOT_FOUND;
        goto Finish;
    }
    pathIrp = IoAllocateIrp((CCHAR)(path->StackSize + 3), FALSE);
    if (!pathIrp) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Finish;
    }
    if (major != IRP_MJ_DEVICE_CONTROL) {
        status = STATUS_NOT_IMPLEMENTED;
        goto Finish;
    }
    status = BuscPrepare(ldx, Irp, stack, &rq);
    if (!NT_SUCCESS(status))
        goto Finish;

    for (;;) {
        if (path->StackSize + 3 > pathIrp->StackCount) {
            IoFreeIrp(pathIrp);
            pathIrp = IoAllocateIrp((CCHAR)(path->StackSize + 3), FALSE);
            if (!pathIrp) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
        }
        const ULONG bufferSize = rq.ulDataSize + BUS_SCSI_STATUS_SIZE;
        buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, bufferSize, VYR_TAG_PATH_BUFFER);
        if (!buffer) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        RtlZeroMemory(buffer, bufferSize);
        if (rq.fPassThrough)
            BusPassThroughToNative(&rq.Pt, (const UCHAR *)Irp->AssociatedIrp.SystemBuffer, buffer,
                                   rq.pDirectSystemAddress);
        else if (rq.ulIn)
            RtlCopyMemory(buffer, Irp->AssociatedIrp.SystemBuffer, rq.ulIn);
        ScsiStatus *block = (ScsiStatus *)(buffer + rq.ulDataSize);

        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(pathIrp);
        RtlCopyMemory(next, stack, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
        next->Control = 0;
        next->Parameters.DeviceIoControl.InputBufferLength = rq.ulPathIn;
        next->Parameters.DeviceIoControl.OutputBufferLength = rq.ulDataSize;
        pathIrp->AssociatedIrp.SystemBuffer = buffer;
        pathIrp->MdlAddress = Irp->MdlAddress; // borrowed: a direct-I/O control's data buffer
        pathIrp->Tail.Overlay.Thread = Irp->Tail.Overlay.Thread;

        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoSetCompletionRoutine(pathIrp, BuscPathRequestDone, &done, TRUE, TRUE, TRUE);
        StatusStructBlock *inBlock = nullptr;
        ULONG slot = 0;
        status = BusStatusTableInsert(ldx->pStatusTable, pathIrp, block, &inBlock, &slot);
        if (!NT_SUCCESS(status))
            break;
        IoCallDriver(path, pathIrp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        if (rq.fPassThrough) {
            UCHAR key, asc, ascq;
            BusPassThroughSense(&rq.Pt, buffer, &key, &asc, &ascq);
            block->ucSenseKey = key;
            block->ucAsc = asc;
            block->ucAscq = ascq;
            block->fSensePresent = (key || asc || ascq) ? 1 : 0;
        }
        BusStatusTableRemove(ldx->pStatusTable, inBlock, slot);
        status = pathIrp->IoStatus.Status;
        information = pathIrp->IoStatus.Information;

        WCHAR text[40];
        if (!BuscAsksFailover(status, block, text, RTL_NUMBER_OF(text)))
            break;
        BuscLogFailoverAttempt(ldx, Irp, rq.ulCode, text);
        PDEVICE_OBJECT nextPath = BusChoosePath(ldx, &tried, FALSE);
        if (!nextPath)
            break;
        path = nextPath;
        ExFreePoolWithTag(buffer, VYR_TAG_PATH_BUFFER);
        buffer = nullptr;
        pathIrp->MdlAddress = nullptr;
        pathIrp->AssociatedIrp.SystemBuffer = nullptr;
        IoReuseIrp(pathIrp, STATUS_SUCCESS);
        information = 0;
    }

    // What comes back to the caller: never more than its output buffer, nor more than the path
    // request's buffer held.
    if (buffer && !NT_ERROR(status)) {
        if (rq.fPassThrough) {
            information = BusPassThroughToCaller(&rq.Pt, buffer, (ULONG)information,
                                                 (PUCHAR)Irp->AssociatedIrp.SystemBuffer, rq.ulOut);
        } else {
            if (information > rq.ulOut)
                information = rq.ulOut;
            if ((rq.ulCode & 3) == METHOD_BUFFERED) {
                if (information > rq.ulDataSize)
                    information = rq.ulDataSize;
                if (information)
                    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, buffer, information);
            }
        }
    } else {
        information = 0;
    }

Finish:
    if (pathIrp) {
        pathIrp->MdlAddress = nullptr;
        pathIrp->AssociatedIrp.SystemBuffer = nullptr;
        IoFreeIrp(pathIrp);
    }
    if (buffer)
        ExFreePoolWithTag(buffer, VYR_TAG_PATH_BUFFER);
    if (tried)
        ExFreePoolWithTag(tried, VYR_TAG_TRIED_PATHS);
    if (major == IRP_MJ_DEVICE_CONTROL)
        BusReleaseLockedBuffer(ldx, Irp);
    BusCompleteRequest(Irp, status, information);
    BusLogicalDereference(ldx);
    return status;
}

/*++
Routine Description:
    Device control on a logical changer: the path query and the SCSI address are answered here;
    a direct pass-through has its data buffer locked first; everything else runs over the paths.
--*/
NTSTATUS BusChangerDeviceControl(PDEVICE_OBJECT LogicalDevice, PIRP Irp)
{
    LogicalDeviceExtension *ldx = BusLogical(LogicalDevice);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    switch (code) {
    case IOCTL_CGBUS_QUERY_PATHS:
        return BusQueryPaths(ldx->pBus, Irp);
    case IOCTL_SCSI_GET_ADDRESS: {
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(VyrScsiAddress) ||
            !Irp->AssociatedIrp.SystemBuffer)
            return BusCompleteRequest(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
        VyrScsiAddress address;
        BusGetLogicalAddress(ldx, &address);
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &address, sizeof(address));
        return BusCompleteRequest(Irp, STATUS_SUCCESS, sizeof(address));
    }
    case IOCTL_SCSI_PASS_THROUGH_DIRECT: {
        NTSTATUS status = BusLockDirectBuffer(ldx, Irp);
        if (!NT_SUCCESS(status))
            return BusCompleteRequest(Irp, status, 0);
        return BusChangerSendOverPath(LogicalDevice, Irp);
    }
    default:
        return BusChangerSendOverPath(LogicalDevice, Irp);
    }
}

/*++
Routine Description:
    Device control on the changer bus's control device. Registration and notices carry device
    object pointers the bus later sends requests to, so only kernel-mode requestors (the changer
    path filters) may send them. A changer record is turned into the path table's record: a
    changer path has no node name and none of the access, naming or key flags.
--*/
NTSTATUS BusChangerFdoDeviceControl(BusExtension *Bus, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;

    switch (code) {
    case IOCTL_CGBUS_REGISTER_PATH: {
        if (Irp->RequestorMode != KernelMode)
            return BusCompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
        if (inLength < sizeof(ChangerPathRegistration) || !buffer)
            return BusCompleteRequest(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
        auto *changer = (ChangerPathRegistration *)buffer;
        PathRegistration registration;
        RtlZeroMemory(&registration, sizeof(registration));
        registration.fFailover = changer->fFailover;
        RtlCopyMemory(registration.szSerialNumber, changer->szSerialNumber, sizeof(registration.szSerialNumber));
        registration.Address = changer->Address;
        registration.pPathDevice = changer->pPathDevice;
        registration.ulState = changer->ulState;
        NTSTATUS status = BusRegisterPath(Bus, &registration);
        changer->pStatusTable = registration.pStatusTable;
        changer->ulDeviceNumber = registration.ulDeviceNumber;
        ULONG_PTR information = outLength < sizeof(ChangerPathRegistration) ? outLength : sizeof(ChangerPathRegistration);
        return BusCompleteRequest(Irp, status, information);
    }
    case IOCTL_CGBUS_NOTIFY_PATH: {
        if (Irp->RequestorMode != KernelMode)
            return BusCompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
        if (inLength < sizeof(ChangerPathNotification) || !buffer)
            return BusCompleteRequest(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
        auto *notice = (const ChangerPathNotification *)buffer;
        BusNotifyPathState(Bus, (PDEVICE_OBJECT)(ULONG_PTR)notice->pPathDevice, notice->ulState);
        return BusCompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_CGBUS_QUERY_PATHS:
        return BusQueryPaths(Bus, Irp);
    default:
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(Bus->pLowerDevice, Irp);
    }
}
