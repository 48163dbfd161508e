// Dispatch on logical devices of the tape build, the request queue, the five workers and the
// internal-request channel.
//
// Reads, writes and device controls of a logical device run one at a time, in arrival order, on
// worker 0. While a worker runs a request it may have to send the drive a request of its own
// (read the position, restore a setting): such an internal request goes through the logical
// device again and is served by the next worker, so that a worker never waits for itself. Each
// queue entry names the worker that serves it; worker 0 takes ordinary requests only, and the
// internal ones go ahead of every ordinary request still waiting.
#include "bus.h"

namespace {

constexpr LONG BUS_SEMAPHORE_LIMIT = 0x7FFFFFFF;

KSTART_ROUTINE BuspWorkerThread;

// A spin lock held for the lifetime of a scope.
class BuspSpinLockGuard {
public:
    explicit BuspSpinLockGuard(PKSPIN_LOCK Lock) : lock_(Lock) { KeAcquireSpinLock(lock_, &irql_); }
    ~BuspSpinLockGuard() { KeReleaseSpinLock(lock_, irql_); }
    BuspSpinLockGuard(const BuspSpinLockGuard &) = delete;
    BuspSpinLockGuard &operator=(const BuspSpinLockGuard &) = delete;

private:
    PKSPIN_LOCK lock_;
    KIRQL irql_;
};

// The index of the worker running in this thread, or BUS_WORKER_COUNT in any other thread (the
// caller's thread of a create, for instance).
ULONG BuspCurrentWorker(LogicalDeviceExtension *Ldx)
{
    HANDLE self = PsGetCurrentThreadId();
    for (ULONG k = 0; k < BUS_WORKER_COUNT; k++)
        if (Ldx->Workers[k].hRunningThreadId == self)
            return k;
    return BUS_WORKER_COUNT;
}

// Removal of the logical device has begun: its paths are gone and new work is refused.
BOOLEAN BuspRemovalBegun(LogicalDeviceExtension *Ldx)
{
    BuspSpinLockGuard guard(&Ldx->Lock);
    return Ldx->pEntry == nullptr;
}

// Takes the first entry that worker Index serves; null when there is none.
RequestQueueEntry *BuspPopEntry(LogicalDeviceExtension *Ldx, ULONG Index)
{
    BuspSpinLockGuard guard(&Ldx->QueueLock);
    for (RequestQueueEntry **link = &Ldx->pQueueHead; *link; link = &(*link)->pNext) {
        RequestQueueEntry *entry = *link;
        if (entry->ucWorker == Index) {
            *link = entry->pNext;
            return entry;
        }
    }
    return nullptr;
}

/*++
Routine Description:
    Worker thread of a logical device. Takes its index from the start counter, then serves the
    entries queued for it until the logical device stops. Each request runs under an
    outstanding-request reference, so that full removal waits for it.
--*/
VOID BuspWorkerThread(PVOID Context)
{
    auto *ldx = (LogicalDeviceExtension *)Context;
    ULONG index = (ULONG)(InterlockedIncrement(&ldx->lWorkerStartCounter) - 1);
    if (index >= BUS_WORKER_COUNT)
        PsTerminateSystemThread(STATUS_SUCCESS);
    BusWorker *worker = &ldx->Workers[index];
    // The priority is set by the creator through the thread object (BusStartWorkers).
    worker->hRunningThreadId = PsGetCurrentThreadId();

    for (;;) {
        KeWaitForSingleObject(&worker->Semaphore, Executive, KernelMode, FALSE, nullptr);
        if (ldx->fStopping)
            break;
        RequestQueueEntry *entry = BuspPopEntry(ldx, index);
        if (!entry)
            continue;
        PIRP irp = entry->pIrp;
        PBUS_REQUEST_HANDLER handler = entry->pHandler;
        ExFreePoolWithTag(entry, VYR_TAG_QUEUE_ENTRY);

        BusLogicalReference(ldx);
        if (BuspRemovalBegun(ldx)) {
            // The paths are already gone: the request is cancelled like the ones still queued.
            BusReleaseLockedBuffer(ldx, irp);
            BusCompleteRequest(irp, STATUS_CANCELLED, 0);
        } else {
            handler(ldx->pSelf, irp);
        }
        BusLogicalDereference(ldx);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

} // namespace

/*++
Routine Description:
    Create on a logical device: refused while the device is being removed, or when it is
    exclusive and already open; otherwise balanced onto a path, counted, and sent over the
    primary path in the caller's thread. The count is taken back when the create fails.
--*/
NTSTATUS BusLogicalCreate(PDEVICE_OBJECT LogicalDevice, PIRP Irp)
{
    LogicalDeviceExtension *ldx = BusLogical(LogicalDevice);
    // The key-server proxy's transport device, until it has been found once. Its failure is not
    // the create's: the relay's socket operations then fail instead.
    OpenTransportDevice();
    BusLogicalReference(ldx);
    NTSTATUS status;
    {
        BuspSpinLockGuard guard(&ldx->Lock);
        if (!ldx->pEntry) {
            status = STATUS_DELETE_PENDING;
        } else if (ldx->fExclusiveAccess && ldx->lOpenCount != 0) {
            status = STATUS_ACCESS_DENIED;
        } else {
            ldx->fPositionKnown = FALSE;
            ldx->fAtBeginning = FALSE;
            ldx->fBlockSizeKnown = FALSE;
            status = BusBalanceOnOpenLocked(ldx);
            if (NT_SUCCESS(status))
                InterlockedIncrement(&ldx->lOpenCount);
        }
    }
    if (!NT_SUCCESS(status)) {
        BusCompleteRequest(Irp, status, 0);
    } else {
        status = BusSendOverPath(LogicalDevice, Irp);
        if (!NT_SUCCESS(status))
            InterlockedDecrement(&ldx->lOpenCount);
    }
    BusLogicalDereference(ldx);
    return status;
}

NTSTATUS BusLogicalClose(PDEVICE_OBJECT LogicalDevice, PIRP Irp)
{
    LogicalDeviceExtension *ldx = BusLogical(LogicalDevice);
    BusLogicalReference(ldx);
    InterlockedDecrement(&ldx->lOpenCount);
    ldx->fPositionKnown = FALSE;
    ldx->fAtBeginning = FALSE;
    NTSTATUS status = BusSendOverPath(LogicalDevice, Irp);
    BusLogicalDereference(ldx);
    return status;
}

NTSTATUS BusLogicalReadWrite(PDEVICE_OBJECT LogicalDevice, PIRP Irp)
{
    NTSTATUS status = BusQueueRequest(LogicalDevice, Irp, BusSendOverPath);
    if (status != STATUS_PENDING)
        BusCompleteRequest(Irp, status, 0);
    return status;
}

NTSTATUS BusLogicalDeviceControl(PDEVICE_OBJECT LogicalDevice, PIRP Irp)
{
    LogicalDeviceExtension *ldx = BusLogical(LogicalDevice);
    ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_TPBUS_QUERY_PATHS)
        return BusQueryPaths(ldx->pBus, Irp);
    if (code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        NTSTATUS status = BusLockDirectBuffer(ldx, Irp);
        if (!NT_SUCCESS(status))
            return BusCompleteRequest(Irp, status, 0);
    }
    NTSTATUS status = BusQueueRequest(LogicalDevice, Irp, BusDeviceControlPreHandler);
    if (status != STATUS_PENDING) {
        BusReleaseLockedBuffer(ldx, Irp);
        BusCompleteRequest(Irp, status, 0);
    }
    return status;
}

/*++
Routine Description:
    Queues a request for a worker. The request in the internal-request slot is internal: it goes
    after the leading run of internal entries, ahead of every ordinary one, and is served by the
    worker its sender chose; every other request is appended for worker 0.
Return Value:
    STATUS_PENDING (the request is marked pending), STATUS_INSUFFICIENT_RESOURCES, or
    STATUS_CANCELLED once the queue is closed. On failure the caller completes the request.
--*/
NTSTATUS BusQueueRequest(PDEVICE_OBJECT LogicalDevice, PIRP Irp, PBUS_REQUEST_HANDLER Handler)
{
    LogicalDeviceExtension *ldx = BusLogical(LogicalDevice);
    auto *entry = (RequestQueueEntry *)ExAllocatePoolWithTag(NonPagedPool, sizeof(RequestQueueEntry),
                                                             VYR_TAG_QUEUE_ENTRY);
    if (!entry)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(entry, sizeof(*entry));
    entry->pIrp = Irp;
    entry->pHandler = Handler;
    {
        BuspSpinLockGuard guard(&ldx->InternalSlotLock);
        if (ldx->pInternalSlot == Irp) {
            entry->fInternal = TRUE;
            entry->ucWorker = (UCHAR)ldx->ulInternalSlotWorker;
        }
    }

    // A worker may take and free the entry as soon as the queue lock is released.
    const BOOLEAN internal = entry->fInternal;
    const ULONG worker = entry->ucWorker;
    {
        BuspSpinLockGuard guard(&ldx->QueueLock);
        if (!ldx->fQueueOpen) {
            ExFreePoolWithTag(entry, VYR_TAG_QUEUE_ENTRY);
            return STATUS_CANCELLED;
        }
        RequestQueueEntry **link = &ldx->pQueueHead;
        if (entry->fInternal) {
            while (*link && (*link)->fInternal)
                link = &(*link)->pNext;
        } else {
            while (*link)
                link = &(*link)->pNext;
        }
        IoMarkIrpPending(Irp);
        entry->pNext = *link;
        *link = entry;
    }

    if (internal) {
        BuspSpinLockGuard guard(&ldx->InternalSlotLock);
        if (ldx->pInternalSlot == Irp) {
            ldx->pInternalSlot = nullptr;
            KeSetEvent(&ldx->InternalSlotFree, IO_NO_INCREMENT, FALSE);
        }
    }
    KeReleaseSemaphore(&ldx->Workers[worker].Semaphore, IO_NO_INCREMENT, 1, FALSE);
    return STATUS_PENDING;
}

/*++
Routine Description:
    Starts the five workers, each on its own semaphore. When a thread cannot be started the ones
    already running are stopped again, so that no thread outlives a logical device that was never
    made.
IRQL: PASSIVE_LEVEL.
--*/
NTSTATUS BusStartWorkers(LogicalDeviceExtension *Ldx)
{
    KeInitializeSpinLock(&Ldx->QueueLock);
    KeInitializeSpinLock(&Ldx->InternalSlotLock);
    KeInitializeSpinLock(&Ldx->LockedBufferLock);
    KeInitializeEvent(&Ldx->InternalSlotFree, NotificationEvent, TRUE);
    Ldx->pQueueHead = nullptr;
    Ldx->pInternalSlot = nullptr;
    Ldx->pLockedBuffers = nullptr;
    Ldx->lWorkerStartCounter = 0;
    Ldx->lNestingDepth = 0;
    Ldx->fStopping = FALSE;
    Ldx->fQueueOpen = TRUE;
    for (ULONG k = 0; k < BUS_WORKER_COUNT; k++) {
        KeInitializeSemaphore(&Ldx->Workers[k].Semaphore, 0, BUS_SEMAPHORE_LIMIT);
        Ldx->Workers[k].fCreated = FALSE;
        Ldx->Workers[k].pThread = nullptr;
        Ldx->Workers[k].hRunningThreadId = nullptr;
    }

    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG k = 0; k < BUS_WORKER_COUNT; k++) {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE handle = nullptr;
        status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, BuspWorkerThread, Ldx);
        if (!NT_SUCCESS(status))
            break;
        Ldx->Workers[k].fCreated = TRUE;
        PVOID thread = nullptr;
        status = ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
        ZwClose(handle);
        if (!NT_SUCCESS(status))
            break; // the thread runs but cannot be waited for; stopping still ends it
        Ldx->Workers[k].pThread = thread;
        KeSetPriorityThread((PKTHREAD)thread, BUS_WORKER_PRIORITY);
    }
    if (!NT_SUCCESS(status))
        BusStopWorkers(Ldx);
    return status;
}

/*++
Routine Description:
    Stops the workers and waits until every thread has ended, then cancels the requests still
    queued and closes the queue: every later request is refused with STATUS_CANCELLED.
IRQL: PASSIVE_LEVEL.
--*/
void BusStopWorkers(LogicalDeviceExtension *Ldx)
{
    // Releasing a semaphore is a full barrier: a worker that wakes sees the flag.
    Ldx->fStopping = TRUE;
    for (ULONG k = 0; k < BUS_WORKER_COUNT; k++) {
        if (Ldx->Workers[k].fCreated) {
            KeReleaseSemaphore(&Ldx->Workers[k].Semaphore, IO_NO_INCREMENT, 1, FALSE);
            Ldx->Workers[k].fCreated = FALSE;
        }
    }
    for (ULONG k = 0; k < BUS_WORKER_COUNT; k++) {
        if (Ldx->Workers[k].pThread) {
            KeWaitForSingleObject(Ldx->Workers[k].pThread, Executive, KernelMode, FALSE, nullptr);
            ObDereferenceObject(Ldx->Workers[k].pThread);
            Ldx->Workers[k].pThread = nullptr;
        }
        Ldx->Workers[k].hRunningThreadId = nullptr;
    }

    RequestQueueEntry *cancelled;
    {
        BuspSpinLockGuard guard(&Ldx->QueueLock);
        cancelled = Ldx->pQueueHead;
        Ldx->pQueueHead = nullptr;
        Ldx->fQueueOpen = FALSE;
    }
    while (cancelled) {
        RequestQueueEntry *next = cancelled->pNext;
        PIRP irp = cancelled->pIrp;
        ExFreePoolWithTag(cancelled, VYR_TAG_QUEUE_ENTRY);
        BusReleaseLockedBuffer(Ldx, irp);
        BusCompleteRequest(irp, STATUS_CANCELLED, 0);
        cancelled = next;
    }
}

/*++
Routine Description:
    Sends a device-control request to the logical device itself and waits for it. The request
    is served by the worker after the one sending it (worker 1 when the sender is not a worker),
    so a worker blocked here never waits for itself.
Return Value:
    The request's status; STATUS_INVALID_DEVICE_STATE when the sender is the last worker (no
    worker is left to serve a deeper level; nothing is sent); STATUS_INSUFFICIENT_RESOURCES.
IRQL: PASSIVE_LEVEL.
--*/
NTSTATUS BusSendInternalRequest(LogicalDeviceExtension *Ldx, ULONG Code, PVOID In, ULONG InLength, PVOID Out,
                                ULONG OutLength, ULONG_PTR *Information)
{
    if (Information)
        *Information = 0;
    ULONG current = BuspCurrentWorker(Ldx);
    ULONG worker = current < BUS_WORKER_COUNT ? current + 1 : 1;
    if (worker > BUS_MAX_INTERNAL_DEPTH)
        return STATUS_INVALID_DEVICE_STATE;

    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    iosb.Status = STATUS_SUCCESS;
    iosb.Information = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(Code, Ldx->pSelf, In, InLength, Out, OutLength, FALSE, &event, &iosb);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;

    // Claim the slot: the queue recognises the request by it.
    for (;;) {
        KeWaitForSingleObject(&Ldx->InternalSlotFree, Executive, KernelMode, FALSE, nullptr);
        BuspSpinLockGuard guard(&Ldx->InternalSlotLock);
        if (!Ldx->pInternalSlot) {
            Ldx->pInternalSlot = irp;
            Ldx->ulInternalSlotWorker = worker;
            KeClearEvent(&Ldx->InternalSlotFree);
            break;
        }
    }

    InterlockedIncrement(&Ldx->lNestingDepth);
    NTSTATUS status = IoCallDriver(Ldx->pSelf, irp);
    {
        // Still ours when the request was not queued (refused, or answered at once).
        BuspSpinLockGuard guard(&Ldx->InternalSlotLock);
        if (Ldx->pInternalSlot == irp) {
            Ldx->pInternalSlot = nullptr;
            KeSetEvent(&Ldx->InternalSlotFree, IO_NO_INCREMENT, FALSE);
        }
    }
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    InterlockedDecrement(&Ldx->lNestingDepth);
    if (Information && NT_SUCCESS(status))
        *Information = iosb.Information;
    return status;
}
