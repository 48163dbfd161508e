// What the request paths of both builds share.
//
// An application request on a logical device is never passed down as it is: it is copied into a
// request of the bus's own for the path device of the chosen path, whose system buffer holds the
// request's data followed by the ScsiStatus block the filter and the class driver fill. The tape
// build's handler (busio.cpp) adds position tracking, setting restore, reservations and resumed
// writes around these steps; the changer build's (buschanger.cpp) uses them as they are. The
// failover sense table, the statuses that never start failover, the failover event and the
// locking of a direct pass-through's data buffer are the same in both.
#include "bus.h"

namespace {

constexpr ULONG BUS_SCSI_STATUS_SIZE = sizeof(ScsiStatus);
constexpr USHORT BUS_SPT32_SIZE = 44;
constexpr ULONG BUS_SPT64_SIZE = 56;
// A converted 32-bit structure grows by this much on its way to the native layout.
constexpr ULONG BUS_SPT_GROWTH = 20;
constexpr ULONG BUS_SPTD_GROWTH = 12;
// The path request's own stack locations above the path device's.
constexpr CCHAR BUS_PATH_EXTRA_STACK = 3;

constexpr NTSTATUS BUS_EVENT_FAILOVER_ATTEMPT = (NTSTATUS)0x80000004;

// Layout of the direct pass-through structure the lock step reads (both callers' layouts).
constexpr ULONG BUS_SPT_LENGTH_FIELD = 0;     // u16
constexpr ULONG BUS_SPT_TRANSFER_LENGTH = 12; // u32
constexpr ULONG BUS_SPT32_DATA_BUFFER = 20;   // u32
constexpr ULONG BUS_SPT64_DATA_BUFFER = 24;   // u64

static_assert(sizeof(SCSI_PASS_THROUGH) == BUS_SPT64_SIZE && sizeof(SCSI_PASS_THROUGH_DIRECT) == BUS_SPT64_SIZE,
              "64-bit pass-through layouts");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH, DataBufferOffset) == 24 && FIELD_OFFSET(SCSI_PASS_THROUGH, SenseInfoOffset) == 32 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, Cdb) == 36,
              "buffered pass-through layout");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == BUS_SPT_TRANSFER_LENGTH &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == BUS_SPT64_DATA_BUFFER &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 32,
              "direct pass-through layout");
static_assert(sizeof(ScsiStatus) % 8 == 0, "the block follows data rounded up to 8 bytes");

struct BusSenseRow {
    UCHAR Key, Asc, Ascq; // 0xFF: any
};
constexpr BusSenseRow BUS_FAILOVER_SENSE[] = {
    {0x2, 0x04, 0x00}, // not ready, cause not reportable
    {0x4, 0xFF, 0xFF}, // hardware error
    {0x5, 0x20, 0x00}, // invalid command operation code
    {0x5, 0x25, 0x00}, // logical unit not supported
    {0xB, 0xFF, 0xFF}, // aborted command
};

constexpr ULONG BUS_EXEMPT_STATUSES[] = {
    0xC0000173, 0x80000005, 0xC0000013, 0xC0000178, 0x8000001C, 0x80000016, 0xC0000004, 0xC0000023, 0xC000000D,
    0x8000001B, 0x8000001E, 0xC0000177, 0x80000022, 0xC0000283, 0xC0000284, 0xC00000A2, 0xC0000010, 0xC00000BB,
};

IO_COMPLETION_ROUTINE BusrPathRequestDone;

// Turns the informational statuses 1 to 191 into success and hands the request back to the
// sender, which reuses or frees it.
NTSTATUS BusrPathRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    if (Irp->IoStatus.Status >= 1 && Irp->IoStatus.Status <= 191)
        Irp->IoStatus.Status = STATUS_SUCCESS;
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void BusrLogFailover(LogicalDeviceExtension *Ldx, PIRP Irp, ULONG Code, PCWSTR What)
{
    if (!Ldx->pBus || !Ldx->pBus->fFailoverEventsEnabled)
        return;
    WCHAR code[16];
    _snwprintf(code, RTL_NUMBER_OF(code), L"0x%X", Code);
    code[RTL_NUMBER_OF(code) - 1] = 0;
    LogBusEvent(Ldx->pSelf, Irp, BUS_EVENT_FAILOVER_ATTEMPT, What, code);
}

} // namespace

NTSTATUS BusPathDataPrepare(LogicalDeviceExtension *Ldx, PIRP Irp, BusPathData *Data)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Data->ulCode = stack->Parameters.DeviceIoControl.IoControlCode;
    Data->ulIn = stack->Parameters.DeviceIoControl.InputBufferLength;
    Data->ulOut = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG method = Data->ulCode & 3;
    // Without a system buffer the buffers are caller addresses that cannot be trusted here.
    if (method == METHOD_NEITHER)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (Data->ulIn && !Irp->AssociatedIrp.SystemBuffer)
        return STATUS_INVALID_PARAMETER;
    // Only a buffered request has its output in the system buffer; the others return data
    // through their MDL, which the path request carries.
    ULONG64 data = method == METHOD_BUFFERED && Data->ulOut > Data->ulIn ? Data->ulOut : Data->ulIn;
    ULONG64 pathIn = Data->ulIn;

    if (Data->ulCode == IOCTL_SCSI_PASS_THROUGH || Data->ulCode == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        Data->fPassThrough = TRUE;
        PMDL locked = Data->ulCode == IOCTL_SCSI_PASS_THROUGH_DIRECT ? BusFindLockedBuffer(Ldx, Irp) : nullptr;
        NTSTATUS status = BusPassThroughInspect(Data->ulCode, (const UCHAR *)Irp->AssociatedIrp.SystemBuffer, Data->ulIn,
                                                Data->ulOut, IoIs32bitProcess(Irp), locked ? MmGetMdlByteCount(locked) : 0,
                                                &Data->Pt);
        if (!NT_SUCCESS(status))
            return status;
        if (Data->ulIn < BUS_SPT32_SIZE)
            return STATUS_BUFFER_TOO_SMALL;
        if (Data->Pt.fConvert) {
            data += Data->Pt.fDirect ? BUS_SPTD_GROWTH : BUS_SPT_GROWTH;
            pathIn += Data->Pt.fDirect ? BUS_SPTD_GROWTH : BUS_SPT_GROWTH;
        }
        if (data < Data->Pt.ulNativeLength)
            data = Data->Pt.ulNativeLength;
        if (pathIn < BUS_SPT64_SIZE)
            pathIn = BUS_SPT64_SIZE;
        if (Data->Pt.fDirect && Data->Pt.ulDataLength) {
            Data->pDirectSystemAddress = locked ? MmGetSystemAddressForMdlSafe(locked, NormalPagePriority) : nullptr;
            if (!Data->pDirectSystemAddress)
                return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    ULONG64 size = ((data + 7) & ~7ull) + BUS_SCSI_STATUS_SIZE;
    if (size > 0x7FFFFFFF)
        return STATUS_INVALID_PARAMETER;
    Data->ulDataSize = (ULONG)(size - BUS_SCSI_STATUS_SIZE);
    Data->ulPathIn = (ULONG)(pathIn < Data->ulDataSize ? pathIn : Data->ulDataSize);
    return STATUS_SUCCESS;
}

NTSTATUS BusPathBufferCreate(const BusPathData *Data, PIRP Irp, PUCHAR *Buffer)
{
    const ULONG size = Data->ulDataSize + BUS_SCSI_STATUS_SIZE;
    PUCHAR buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, size, VYR_TAG_PATH_BUFFER);
    *Buffer = buffer;
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(buffer, size);
    if (Data->fPassThrough)
        BusPassThroughToNative(&Data->Pt, (const UCHAR *)Irp->AssociatedIrp.SystemBuffer, buffer,
                               Data->pDirectSystemAddress);
    else if (Data->ulIn)
        RtlCopyMemory(buffer, Irp->AssociatedIrp.SystemBuffer, Data->ulIn);
    return STATUS_SUCCESS;
}

NTSTATUS BusPathIrpFit(PDEVICE_OBJECT Path, PIRP *PathIrp)
{
    if (*PathIrp && Path->StackSize + BUS_PATH_EXTRA_STACK <= (*PathIrp)->StackCount)
        return STATUS_SUCCESS;
    if (*PathIrp)
        IoFreeIrp(*PathIrp);
    *PathIrp = IoAllocateIrp((CCHAR)(Path->StackSize + BUS_PATH_EXTRA_STACK), FALSE);
    return *PathIrp ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

PIO_STACK_LOCATION BusPathIrpSetup(PIRP PathIrp, PIRP Irp, const BusPathData *Data, PUCHAR Buffer)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(PathIrp);
    RtlCopyMemory(next, stack, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
    // The file object stays: class drivers expect every create, close and transfer to carry the
    // handle it belongs to, and the bus keeps no per-handle state of its own.
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        next->Parameters.DeviceIoControl.InputBufferLength = Data->ulPathIn;
        next->Parameters.DeviceIoControl.OutputBufferLength = Data->ulDataSize;
    }
    PathIrp->AssociatedIrp.SystemBuffer = Buffer;
    // Borrowed: the data of a read or write, or a direct-I/O control's data buffer.
    PathIrp->MdlAddress = Irp->MdlAddress;
    PathIrp->Tail.Overlay.Thread = Irp->Tail.Overlay.Thread;
    return next;
}

void BusPathIrpSend(PDEVICE_OBJECT Path, PIRP PathIrp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(PathIrp, BusrPathRequestDone, &done, TRUE, TRUE, TRUE);
    IoCallDriver(Path, PathIrp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

void BusPathSenseToBlock(const BusPathData *Data, const UCHAR *Buffer, ScsiStatus *Block)
{
    if (!Data->fPassThrough)
        return;
    UCHAR key, asc, ascq;
    BusPassThroughSense(&Data->Pt, Buffer, &key, &asc, &ascq);
    Block->ucSenseKey = key;
    Block->ucAsc = asc;
    Block->ucAscq = ascq;
    Block->fSensePresent = (key || asc || ascq) ? 1 : 0;
}

ULONG_PTR BusPathResult(const BusPathData *Data, PIRP Irp, const UCHAR *Buffer, NTSTATUS Status, ULONG_PTR Information)
{
    if (Data->fPassThrough)
        return NT_ERROR(Status) ? 0
                                : BusPassThroughToCaller(&Data->Pt, Buffer, (ULONG)Information,
                                                         (PUCHAR)Irp->AssociatedIrp.SystemBuffer, Data->ulOut);
    if (Information > Data->ulOut)
        Information = Data->ulOut;
    if ((Data->ulCode & 3) != METHOD_BUFFERED)
        return Information;
    if (Information > Data->ulDataSize)
        Information = Data->ulDataSize;
    if (!Information || NT_ERROR(Status))
        return 0;
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Buffer, Information);
    return Information;
}

void BusPathIrpReuse(PIRP PathIrp, PUCHAR *Buffer)
{
    ExFreePoolWithTag(*Buffer, VYR_TAG_PATH_BUFFER);
    *Buffer = nullptr;
    PathIrp->MdlAddress = nullptr;
    PathIrp->AssociatedIrp.SystemBuffer = nullptr;
    IoReuseIrp(PathIrp, PathIrp->IoStatus.Status);
}

void BusPathRequestEnd(LogicalDeviceExtension *Ldx, PIRP Irp, PIRP PathIrp, PUCHAR Buffer, PDEVICE_OBJECT *Tried)
{
    if (PathIrp) {
        PathIrp->MdlAddress = nullptr;
        PathIrp->AssociatedIrp.SystemBuffer = nullptr;
        IoFreeIrp(PathIrp);
    }
    if (Buffer)
        ExFreePoolWithTag(Buffer, VYR_TAG_PATH_BUFFER);
    if (Tried)
        ExFreePoolWithTag(Tried, VYR_TAG_TRIED_PATHS);
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL)
        BusReleaseLockedBuffer(Ldx, Irp);
}

BOOLEAN BusSenseAsksFailover(const ScsiStatus *Block)
{
    if (!Block->fSensePresent)
        return FALSE;
    for (const BusSenseRow &row : BUS_FAILOVER_SENSE) {
        if (row.Key == Block->ucSenseKey && (row.Asc == 0xFF || row.Asc == Block->ucAsc) &&
            (row.Ascq == 0xFF || row.Ascq == Block->ucAscq))
            return TRUE;
    }
    return FALSE;
}

BOOLEAN BusStatusExempt(NTSTATUS Status)
{
    for (ULONG exempt : BUS_EXEMPT_STATUSES)
        if ((ULONG)Status == exempt)
            return TRUE;
    return FALSE;
}

void BusLogFailoverSense(LogicalDeviceExtension *Ldx, PIRP Irp, ULONG Code, const ScsiStatus *Block)
{
    WCHAR text[40];
    _snwprintf(text, RTL_NUMBER_OF(text), L"(SCSI CHECK %X/%X/%X)", (ULONG)Block->ucSenseKey, (ULONG)Block->ucAsc,
               (ULONG)Block->ucAscq);
    text[RTL_NUMBER_OF(text) - 1] = 0;
    BusrLogFailover(Ldx, Irp, Code, text);
}

void BusLogFailoverStatus(LogicalDeviceExtension *Ldx, PIRP Irp, ULONG Code, NTSTATUS Status)
{
    WCHAR text[40];
    _snwprintf(text, RTL_NUMBER_OF(text), L"(NTSTATUS 0x%08X)", (ULONG)Status);
    text[RTL_NUMBER_OF(text) - 1] = 0;
    BusrLogFailover(Ldx, Irp, Code, text);
}

NTSTATUS BusAnswerScsiAddress(LogicalDeviceExtension *Ldx, PIRP Irp)
{
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength < sizeof(VyrScsiAddress) ||
        !Irp->AssociatedIrp.SystemBuffer)
        return BusCompleteRequest(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
    VyrScsiAddress address;
    BusGetLogicalAddress(Ldx, &address);
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &address, sizeof(address));
    return BusCompleteRequest(Irp, STATUS_SUCCESS, sizeof(address));
}

/*++
Routine Description:
    Locks the caller's data buffer of an IOCTL_SCSI_PASS_THROUGH_DIRECT and records it for the
    request path. A structure too short to name a buffer, or one with no buffer or no length,
    locks nothing; the request path judges the structure itself.
--*/
NTSTATUS BusLockDirectBuffer(LogicalDeviceExtension *Ldx, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    auto *buffer = (const UCHAR *)Irp->AssociatedIrp.SystemBuffer;
    if (!buffer || in < BUS_SPT_TRANSFER_LENGTH + sizeof(ULONG))
        return STATUS_SUCCESS;

    USHORT length;
    ULONG transfer;
    ULONG64 address = 0;
    RtlCopyMemory(&length, buffer + BUS_SPT_LENGTH_FIELD, sizeof(length));
    RtlCopyMemory(&transfer, buffer + BUS_SPT_TRANSFER_LENGTH, sizeof(transfer));
    if (length == BUS_SPT32_SIZE) {
        if (in < BUS_SPT32_DATA_BUFFER + sizeof(ULONG))
            return STATUS_SUCCESS;
        ULONG address32;
        RtlCopyMemory(&address32, buffer + BUS_SPT32_DATA_BUFFER, sizeof(address32));
        address = address32;
    } else {
        if (in < BUS_SPT64_DATA_BUFFER + sizeof(ULONG64))
            return STATUS_SUCCESS;
        RtlCopyMemory(&address, buffer + BUS_SPT64_DATA_BUFFER, sizeof(address));
    }
    if (!address || !transfer)
        return STATUS_SUCCESS;

#if defined(_WIN32)
    // MmProbeAndLockPages raises on a bad user address and mingw has no __try; until the image
    // carries a probe helper with a structured exception handler, direct pass-through from user
    // mode is refused here. Kernel-mode callers pass system addresses.
    if (Irp->RequestorMode != KernelMode)
        return STATUS_NOT_SUPPORTED;
#endif
    PMDL mdl = IoAllocateMdl((PVOID)(ULONG_PTR)address, transfer, FALSE, FALSE, nullptr);
    if (!mdl)
        return STATUS_INSUFFICIENT_RESOURCES;
#if defined(_WIN32)
    MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
    NTSTATUS status = STATUS_SUCCESS;
#else
    NTSTATUS status = HkProbeAndLockPages(mdl, Irp->RequestorMode, IoModifyAccess);
#endif
    if (!NT_SUCCESS(status)) {
        IoFreeMdl(mdl);
        return status;
    }
    auto *entry = (LockedBufferEntry *)ExAllocatePoolWithTag(NonPagedPool, sizeof(LockedBufferEntry),
                                                             VYR_TAG_LOCKED_BUFFER);
    if (!entry) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    entry->pNext = nullptr;
    entry->pMdl = mdl;
    entry->pIrp = Irp;
    KIRQL irql;
    KeAcquireSpinLock(&Ldx->LockedBufferLock, &irql);
    LockedBufferEntry **tail = &Ldx->pLockedBuffers;
    while (*tail)
        tail = &(*tail)->pNext;
    *tail = entry;
    KeReleaseSpinLock(&Ldx->LockedBufferLock, irql);
    return STATUS_SUCCESS;
}

PMDL BusFindLockedBuffer(LogicalDeviceExtension *Ldx, PIRP Irp)
{
    PMDL found = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&Ldx->LockedBufferLock, &irql);
    for (LockedBufferEntry *entry = Ldx->pLockedBuffers; entry && !found; entry = entry->pNext)
        if (entry->pIrp == Irp)
            found = entry->pMdl;
    KeReleaseSpinLock(&Ldx->LockedBufferLock, irql);
    return found;
}

void BusReleaseLockedBuffer(LogicalDeviceExtension *Ldx, PIRP Irp)
{
    LockedBufferEntry *found = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&Ldx->LockedBufferLock, &irql);
    for (LockedBufferEntry **link = &Ldx->pLockedBuffers; *link; link = &(*link)->pNext) {
        if ((*link)->pIrp == Irp) {
            found = *link;
            *link = found->pNext;
            break;
        }
    }
    KeReleaseSpinLock(&Ldx->LockedBufferLock, irql);
    if (!found)
        return;
    MmUnlockPages(found->pMdl);
    IoFreeMdl(found->pMdl);
    ExFreePoolWithTag(found, VYR_TAG_LOCKED_BUFFER);
}
