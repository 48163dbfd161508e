// The send-over-a-path handler and the device-control pre-handler.
//
// An application request on a logical device is never passed down as it is: it is copied into a
// request of the bus's own for the path device of the current primary path, whose system buffer
// ends in the ScsiStatus block the filter and the class driver fill. The pair is recorded in the
// StatusStructTable while the request is on the path, so that the filter recognises requests that
// come from the bus.
#include "bus.h"

namespace {

constexpr ULONG BUS_SCSI_STATUS_SIZE = sizeof(ScsiStatus);
// The class driver's private code that reads drive setting B (8 bytes out).
constexpr ULONG BUS_IOCTL_GET_SETTING_B = 0x001FE0E0;
constexpr ULONG BUS_SETTING_B_SIZE = 8;
constexpr UCHAR BUS_SETTING_B_NONE = 0xFF;
constexpr ULONG BUS_MAX_CDB_LENGTH = 16;
constexpr USHORT BUS_SPT32_SIZE = 44;
constexpr USHORT BUS_SPT64_SIZE = 56;

static_assert(sizeof(SCSI_PASS_THROUGH) == BUS_SPT64_SIZE && sizeof(SCSI_PASS_THROUGH_DIRECT) == BUS_SPT64_SIZE,
              "64-bit pass-through layouts");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH, DataBufferOffset) == 24 && FIELD_OFFSET(SCSI_PASS_THROUGH, SenseInfoOffset) == 32 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, Cdb) == 36,
              "buffered pass-through layout");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 24 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 32,
              "direct pass-through layout");

// What one application request needs on its way to the path and back.
struct BusPathRequest {
    ULONG ulSize;            // system buffer: data + ScsiStatus
    ULONG ulInLength;        // device control: input copied to the front
    BOOLEAN fDirectPassThrough;
    ULONG64 CallerDataBuffer; // direct pass-through: the caller's address, put back on return
    PMDL pLockedMdl;
};

ULONG BuspMethod(ULONG Code)
{
    return Code & 3;
}

// [Offset, Offset + Length) lies after a header of Header bytes and inside a buffer of Size bytes.
BOOLEAN BuspRegionFits(ULONG64 Offset, ULONG Length, ULONG Header, ULONG Size)
{
    return Offset >= Header && Offset <= Size && Length <= Size - Offset;
}

/*++
Routine Description:
    Checks a pass-through structure against the request's buffers before anything is copied or
    sent: the structure must fit both buffers, its command length must be valid, and every region
    it names must lie inside the buffer it is read from or written to (sense and incoming data in
    the output, outgoing data in the input). A direct pass-through with data needs its locked
    buffer covering the transfer.
--*/
NTSTATUS BuspCheckPassThrough(LogicalDeviceExtension *Ldx, PIRP Irp, BOOLEAN Direct, BusPathRequest *Request)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto *buffer = (const UCHAR *)Irp->AssociatedIrp.SystemBuffer;
    if (!buffer || in < sizeof(USHORT))
        return STATUS_INFO_LENGTH_MISMATCH;
    USHORT length;
    RtlCopyMemory(&length, buffer, sizeof(length));
    if (length != BUS_SPT32_SIZE && length != BUS_SPT64_SIZE)
        return STATUS_INFO_LENGTH_MISMATCH;
    // The 32-bit layout is converted once the failover work carries the conversion.
    if (length == BUS_SPT32_SIZE)
        return STATUS_NOT_SUPPORTED;
    if (in < BUS_SPT64_SIZE || out < BUS_SPT64_SIZE)
        return STATUS_INVALID_PARAMETER;

    SCSI_PASS_THROUGH pt; // the direct layout differs only in the meaning of offset 24
    RtlCopyMemory(&pt, buffer, sizeof(pt));
    if (pt.CdbLength == 0 || pt.CdbLength > BUS_MAX_CDB_LENGTH)
        return STATUS_INVALID_PARAMETER;
    if (pt.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED)
        return STATUS_INVALID_PARAMETER;
    if (pt.SenseInfoLength && !BuspRegionFits(pt.SenseInfoOffset, pt.SenseInfoLength, BUS_SPT64_SIZE, out))
        return STATUS_INVALID_PARAMETER;
    if (!pt.DataTransferLength)
        return STATUS_SUCCESS;
    if (!Direct) {
        ULONG room = pt.DataIn == SCSI_IOCTL_DATA_IN ? out : in;
        if (!BuspRegionFits(pt.DataBufferOffset, pt.DataTransferLength, BUS_SPT64_SIZE, room))
            return STATUS_INVALID_PARAMETER;
        return STATUS_SUCCESS;
    }
    Request->fDirectPassThrough = TRUE;
    Request->CallerDataBuffer = (ULONG64)pt.DataBufferOffset;
    Request->pLockedMdl = BusFindLockedBuffer(Ldx, Irp);
    if (!Request->pLockedMdl || MmGetMdlByteCount(Request->pLockedMdl) < pt.DataTransferLength)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

/*++
Routine Description:
    Sizes the path request's system buffer and checks what the request carries. Create, close,
    read and write carry the ScsiStatus block only; a device control carries the larger of its
    two buffers, rounded up to 8 bytes, in front of it.
--*/
NTSTATUS BuspPrepare(LogicalDeviceExtension *Ldx, PIRP Irp, BusPathRequest *Request)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    RtlZeroMemory(Request, sizeof(*Request));
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
        Request->ulSize = BUS_SCSI_STATUS_SIZE;
        return STATUS_SUCCESS;
    case IRP_MJ_DEVICE_CONTROL:
        break;
    default:
        return STATUS_NOT_IMPLEMENTED;
    }

    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    // Without a system buffer the buffers are caller addresses that cannot be trusted here.
    if (BuspMethod(code) == METHOD_NEITHER)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (in && !Irp->AssociatedIrp.SystemBuffer)
        return STATUS_INVALID_PARAMETER;
    if (code == IOCTL_SCSI_PASS_THROUGH || code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        NTSTATUS status = BuspCheckPassThrough(Ldx, Irp, code == IOCTL_SCSI_PASS_THROUGH_DIRECT, Request);
        if (!NT_SUCCESS(status))
            return status;
    }
    // Only a buffered request has its output in the system buffer; the others return data
    // through their MDL, which the path request carries.
    ULONG data = BuspMethod(code) == METHOD_BUFFERED && out > in ? out : in;
    ULONG64 size = (((ULONG64)data + 7) & ~7ull) + BUS_SCSI_STATUS_SIZE;
    if (size > 0x7FFFFFFF)
        return STATUS_INVALID_PARAMETER;
    Request->ulSize = (ULONG)size;
    Request->ulInLength = in;
    return STATUS_SUCCESS;
}

IO_COMPLETION_ROUTINE BuspPathRequestDone;

// Turns the informational statuses 1 to 191 into success and hands the request back to the
// sender, which frees it.
NTSTATUS BuspPathRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    if (Irp->IoStatus.Status >= 1 && Irp->IoStatus.Status <= 191)
        Irp->IoStatus.Status = STATUS_SUCCESS;
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// After a successful create: the drive's setting B, restored on a new path later.
void BuspReadSettingB(LogicalDeviceExtension *Ldx)
{
    UCHAR setting[BUS_SETTING_B_SIZE] = {};
    ULONG_PTR information = 0;
    NTSTATUS status = BusSendInternalRequest(Ldx, BUS_IOCTL_GET_SETTING_B, setting, sizeof(setting), setting,
                                             sizeof(setting), &information);
    Ldx->ucSettingB = NT_SUCCESS(status) && information >= 1 ? setting[0] : BUS_SETTING_B_NONE;
}

} // namespace

/*++
Routine Description:
    Runs one application request over the primary path of its logical device and completes it.
    The request is copied into a request of the bus's own for the path device, whose system
    buffer holds the request's data followed by the ScsiStatus block.
Arguments:
    LogicalDevice - the logical device the request was sent to.
    Irp - the application's request; completed here in every case.
Return Value:
    The status the request was completed with.
IRQL: PASSIVE_LEVEL, on a worker or in the caller's thread (create, close).
--*/
NTSTATUS BusSendOverPath(PDEVICE_OBJECT LogicalDevice, PIRP Irp)
{
    LogicalDeviceExtension *ldx = BusLogical(LogicalDevice);
    if (Irp->CurrentLocation > Irp->StackCount)
        return BusCompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UCHAR major = stack->MajorFunction;
    Irp->IoStatus.Information = 0;

    BusPathRequest request;
    NTSTATUS status = BuspPrepare(ldx, Irp, &request);
    if (!NT_SUCCESS(status)) {
        if (major == IRP_MJ_DEVICE_CONTROL)
            BusReleaseLockedBuffer(ldx, Irp);
        return BusCompleteRequest(Irp, status, 0);
    }

    PDEVICE_OBJECT *tried = nullptr;
    PIRP pathIrp = nullptr;
    PUCHAR buffer = nullptr;
    ScsiStatus *block = nullptr;
    StatusStructBlock *inBlock = nullptr;
    ULONG slot = 0;
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

    // Position and block-size reads before position-moving and data-transfer requests come here
    // with the failover work.
    RtlCopyMemory(ldx->CurrentRequest, stack,
                  sizeof(ldx->CurrentRequest) < sizeof(*stack) ? sizeof(ldx->CurrentRequest) : sizeof(*stack));

    buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, request.ulSize, VYR_TAG_PATH_BUFFER);
    if (!buffer) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Finish;
    }
    RtlZeroMemory(buffer, request.ulSize);
    if (request.ulInLength)
        RtlCopyMemory(buffer, Irp->AssociatedIrp.SystemBuffer, request.ulInLength);
    if (request.fDirectPassThrough) {
        PVOID system = MmGetSystemAddressForMdlSafe(request.pLockedMdl, NormalPagePriority);
        if (!system) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            goto Finish;
        }
        PVOID *dataBuffer = (PVOID *)(buffer + FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, DataBuffer));
        *dataBuffer = system;
    }

    block = (ScsiStatus *)(buffer + request.ulSize - BUS_SCSI_STATUS_SIZE);
    if (major == IRP_MJ_CLOSE && ldx->lOpenCount == 0)
        block->ulResidual = 1; // the logical device's last handle: the class driver lets reservations go
    // The reservation key, the block size and the reservation flag go here when the path differs
    // from the last reserving one.

    {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(pathIrp);
        RtlCopyMemory(next, stack, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
        next->Control = 0;
        // The file object stays: class drivers expect every create, close and transfer to carry
        // the handle it belongs to, and the bus keeps no per-handle state of its own in it.
        if (major == IRP_MJ_DEVICE_CONTROL) {
            next->Parameters.DeviceIoControl.InputBufferLength = request.ulInLength;
            next->Parameters.DeviceIoControl.OutputBufferLength = request.ulSize - BUS_SCSI_STATUS_SIZE;
        }
    }
    pathIrp->AssociatedIrp.SystemBuffer = buffer;
    // Logical devices do direct I/O: the data of a read or write is the application's MDL. The
    // path request only borrows it (it is detached again before the request is freed).
    pathIrp->MdlAddress = Irp->MdlAddress;
    pathIrp->Tail.Overlay.Thread = Irp->Tail.Overlay.Thread;
    // Resuming a partly done write advances the MDL here.

    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(pathIrp, BuspPathRequestDone, &done, TRUE, TRUE, TRUE);
    status = BusStatusTableInsert(ldx->pStatusTable, pathIrp, block, &inBlock, &slot);
    if (!NT_SUCCESS(status))
        goto Finish;
    // Position flags are cleared here before a load, unload or erase.

    IoCallDriver(path, pathIrp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    // The reservation report of the block is logged here, and the pass-through sense and the
    // encryption state are taken from it.
    BusStatusTableRemove(ldx->pStatusTable, inBlock, slot);

    status = pathIrp->IoStatus.Status;
    information = pathIrp->IoStatus.Information;
    // Reservation bookkeeping, position tracking, the restore of drive settings on a new path,
    // the failover decision and the further attempts come here with the failover work.

    if (major == IRP_MJ_CREATE && NT_SUCCESS(status)) {
        BuspReadSettingB(ldx);
        ldx->fSettingAValid = FALSE;
        ldx->fSettingAFlag = FALSE;
        RtlZeroMemory(ldx->SettingA, sizeof(ldx->SettingA));
    }

    // What comes back is clipped to what the application can take.
    if (major == IRP_MJ_DEVICE_CONTROL) {
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
        ULONG room = request.ulSize - BUS_SCSI_STATUS_SIZE;
        if (BuspMethod(code) != METHOD_BUFFERED) {
            if (information > out)
                information = out;
        } else {
            if (information > out)
                information = out;
            if (information > room)
                information = room;
            if (information && !NT_ERROR(status))
                RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, buffer, information);
            else
                information = 0;
            if (request.fDirectPassThrough && information >= FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, DataBuffer) + sizeof(ULONG64))
                RtlCopyMemory((PUCHAR)Irp->AssociatedIrp.SystemBuffer + FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, DataBuffer),
                              &request.CallerDataBuffer, sizeof(ULONG64));
        }
    } else if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        if (information > stack->Parameters.Read.Length)
            information = stack->Parameters.Read.Length;
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
    RtlZeroMemory(ldx->CurrentRequest, sizeof(ldx->CurrentRequest));
    if (major == IRP_MJ_DEVICE_CONTROL)
        BusReleaseLockedBuffer(ldx, Irp);
    status = BusCompleteRequest(Irp, status, information);
    ldx->fRecoveryFailed = FALSE;
    return status;
}

/*++
Routine Description:
    The worker's handler for device controls: the codes the bus answers itself, everything else
    over the primary path.
--*/
NTSTATUS BusDeviceControlPreHandler(PDEVICE_OBJECT LogicalDevice, PIRP Irp)
{
    LogicalDeviceExtension *ldx = BusLogical(LogicalDevice);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SCSI_GET_ADDRESS: {
        if (out < sizeof(VyrScsiAddress) || !Irp->AssociatedIrp.SystemBuffer)
            return BusCompleteRequest(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
        VyrScsiAddress address;
        BusGetLogicalAddress(ldx, &address);
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &address, sizeof(address));
        return BusCompleteRequest(Irp, STATUS_SUCCESS, sizeof(address));
    }
    case IOCTL_TPBUS_KEY_REQUEST:
        if (out <= sizeof(KeyRequestBlock) - 1 || !Irp->AssociatedIrp.SystemBuffer)
            return BusCompleteRequest(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
        if (!ldx->fEncryption)
            return BusCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        // The key-server relay comes with the key-server work; until then the request is refused.
        return BusCompleteRequest(Irp, STATUS_NOT_IMPLEMENTED, 0);
    default:
        return BusSendOverPath(LogicalDevice, Irp);
    }
}
