// Driver-side code shared by the test drivers whose devices follow an HkPlan: the plan's dispatch,
// its completion and cancel routines, a layer's own request sent down and waited for, and the
// worker thread that completes pended requests later.
// Each image that includes this header gets its own copy (and its own worker), as a driver would.
#pragma once

#include "kernel.h"

#include "hk_test_abi.h"

namespace hkl {

struct Worker {
    LIST_ENTRY queue;
    KSPIN_LOCK lock;
    KEVENT wake;
    volatile LONG stop;
    PVOID thread;
};
static Worker g_worker;

static VOID NTAPI WorkerMain(PVOID)
{
    for (;;) {
        KeWaitForSingleObject(&g_worker.wake, Executive, KernelMode, FALSE, NULL);
        for (;;) {
            KIRQL irql;
            KeAcquireSpinLock(&g_worker.lock, &irql);
            PLIST_ENTRY entry = IsListEmpty(&g_worker.queue) ? NULL : RemoveHeadList(&g_worker.queue);
            KeReleaseSpinLock(&g_worker.lock, irql);
            if (!entry)
                break;
            PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
            auto *layer = (HkLayerPlan *)irp->Tail.Overlay.DriverContext[0];
            irp->IoStatus.Status = layer->status;
            irp->IoStatus.Information = layer->information;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
        if (g_worker.stop)
            break;
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static NTSTATUS StartWorker()
{
    InitializeListHead(&g_worker.queue);
    KeInitializeSpinLock(&g_worker.lock);
    KeInitializeEvent(&g_worker.wake, SynchronizationEvent, FALSE);
    g_worker.stop = 0;
    HANDLE handle;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, WorkerMain, NULL);
    if (!NT_SUCCESS(status))
        return status;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &g_worker.thread, NULL);
    ZwClose(handle);
    return status;
}

// The driver's code must not outlive its image: unload waits until the worker has ended.
static VOID StopWorker()
{
    if (!g_worker.thread)
        return;
    InterlockedExchange(&g_worker.stop, 1);
    KeSetEvent(&g_worker.wake, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(g_worker.thread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(g_worker.thread);
    g_worker.thread = NULL;
}

static HkPlan *PlanOf(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if ((stack->MajorFunction == IRP_MJ_DEVICE_CONTROL || stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_HK_PLAN)
        return (HkPlan *)stack->Parameters.DeviceIoControl.Type3InputBuffer;
    return NULL;
}

static NTSTATUS NTAPI PlanCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto *layer = (HkLayerPlan *)context;
    if (HkEvent *e = HkRecord(layer->plan, HkRoutineRan, layer->layer)) {
        e->device = device;
        e->currentLocation = irp->CurrentLocation;
        e->pendingReturned = irp->PendingReturned;
        e->cancel = irp->Cancel;
        e->status = irp->IoStatus.Status;
    }
    if (layer->routineStops) {
        layer->plan->held = irp;
        KeSetEvent(&layer->plan->heldEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (layer->propagatePending && irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

static VOID NTAPI PlanCancel(PDEVICE_OBJECT device, PIRP irp)
{
    HkPlan *plan = PlanOf(irp);
    KIRQL entry = KeGetCurrentIrql();
    BOOLEAN cleared = irp->CancelRoutine == NULL;
    BOOLEAN cancel = irp->Cancel;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (HkEvent *e = HkRecord(plan, HkCancelRan, device->StackSize)) {
        e->device = device;
        e->currentLocation = irp->CurrentLocation;
        e->cancel = cancel;
        e->cancelRoutineCleared = cleared;
        e->irql = entry;
        e->irqlAfterRelease = KeGetCurrentIrql();
    }
    plan->held = NULL;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

struct OwnWait {
    KEVENT done;
    BOOLEAN linger;
};

static NTSTATUS NTAPI OwnRequestDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    auto *wait = (OwnWait *)context;
    // Once the event is set, the waiter may free the IRP, return (its frame holds `wait`) and let
    // the driver unload while this routine is still on its way out.
    BOOLEAN linger = wait->linger;
    KeSetEvent(&wait->done, IO_NO_INCREMENT, FALSE);
    if (linger)
        KeStallExecutionProcessor(50 * 1000);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The layer asks the lower device itself with an IRP of its own and answers the request with the
// result, as a driver that needs something from below before it can reply.
static NTSTATUS SendOwn(PDEVICE_OBJECT lower, PIRP irp, HkLayerPlan *layer)
{
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    ULONG_PTR information = 0;
    PIRP own = IoAllocateIrp(lower->StackSize, FALSE);
    if (own) {
        OwnWait wait;
        KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
        wait.linger = layer->routineLingers;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(own);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_HK_PLAN;
        next->Parameters.DeviceIoControl.Type3InputBuffer = layer->plan;
        IoSetCompletionRoutine(own, OwnRequestDone, &wait, TRUE, TRUE, TRUE);
        IoCallDriver(lower, own);
        KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, NULL);
        status = own->IoStatus.Status;
        information = own->IoStatus.Information;
        IoFreeIrp(own);
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Carries out this layer's part of the plan. `lower` is null at the bottom of the stack, where a
// request that would go further down is completed instead.
static NTSTATUS PlanDispatch(PDEVICE_OBJECT device, PDEVICE_OBJECT lower, PIRP irp, HkPlan *plan)
{
    ULONG index = (ULONG)device->StackSize < kHkMaxLayers ? (ULONG)device->StackSize : kHkMaxLayers - 1;
    HkLayerPlan *layer = &plan->layers[index];
    if (HkEvent *e = HkRecord(plan, HkDispatched, index)) {
        e->device = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
        e->currentLocation = irp->CurrentLocation;
        e->pendingReturned = irp->PendingReturned;
        e->cancel = irp->Cancel;
    }
    ULONG action = layer->action;
    if (!lower && (action == HkForward || action == HkSkip || action == HkCopy || action == HkSendOwn))
        action = HkComplete;
    switch (action) {
    case HkForward:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, PlanCompletion, layer, layer->invokeOnSuccess, layer->invokeOnError,
                               layer->invokeOnCancel);
        return IoCallDriver(lower, irp);
    case HkSkip:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower, irp);
    case HkCopy:
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(lower, irp);
    case HkSendOwn:
        return SendOwn(lower, irp, layer);
    case HkPend: {
        IoMarkIrpPending(irp);
        irp->Tail.Overlay.DriverContext[0] = layer;
        KIRQL irql;
        KeAcquireSpinLock(&g_worker.lock, &irql);
        InsertTailList(&g_worker.queue, &irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&g_worker.lock, irql);
        KeSetEvent(&g_worker.wake, IO_NO_INCREMENT, FALSE);
        return STATUS_PENDING;
    }
    case HkHold:
        IoMarkIrpPending(irp);
        plan->held = irp;
        KeSetEvent(&plan->heldEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_PENDING;
    case HkHoldCancelable:
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, PlanCancel);
        // Cancelled before the routine was in place: whoever clears the routine completes.
        if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
            irp->IoStatus.Status = STATUS_CANCELLED;
            irp->IoStatus.Information = 0;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_PENDING;
        }
        plan->held = irp;
        KeSetEvent(&plan->heldEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_PENDING;
    case HkComplete:
    default: {
        NTSTATUS status = layer->status;
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = layer->information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

// The service name in ASCII, for the trace.
[[maybe_unused]] static void ServiceName(PDRIVER_OBJECT driver, char *out, size_t size)
{
    size_t n = 0;
    PUNICODE_STRING name = &driver->DriverExtension->ServiceKeyName;
    for (USHORT i = 0; name->Buffer && i < name->Length / sizeof(WCHAR) && n + 1 < size; i++)
        out[n++] = (char)name->Buffer[i];
    out[n] = 0;
}

[[maybe_unused]] static const char *PnpMinorName(UCHAR minor)
{
    switch (minor) {
    case IRP_MN_START_DEVICE: return "START";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE";
    case IRP_MN_STOP_DEVICE: return "STOP";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    default: return NULL; // queries are not traced
    }
}

} // namespace hkl
