// IRPs: allocation, sending, completion with the real stack-location rules, cancellation, the
// request builders and MDLs -- with the verifier's IRP checks.
//
// Completion follows the real I/O manager: each completed stack location is popped, its
// completion routine runs when its SL_INVOKE_ON_* bit matches the outcome, STATUS_MORE_PROCESSING_
// REQUIRED stops the walk, and PendingReturned travels up. After a full completion CurrentLocation
// is StackCount + 2, so a second completion is recognised.
#include "io_internal.h"

#include <atomic>
#include <deque>
#include <thread>
#include <unordered_map>

namespace hk::internal {
namespace {

std::mutex g_irpLock;
std::unordered_map<PIRP, IrpTracking> g_irps;
// Freed IRPs are kept (poisoned) for a while so that a late completion of a freed IRP is
// recognised instead of corrupting whatever reused the memory.
std::deque<PIRP> g_quarantine;
constexpr size_t kQuarantine = 256;

KSPIN_LOCK g_cancelLock = 0;

std::string Who(const void *address)
{
    return DescribeAddress(address);
}

} // namespace

IrpTracking *TrackIrp(PIRP irp)
{
    std::lock_guard<std::mutex> lock(g_irpLock);
    auto it = g_irps.find(irp);
    return it == g_irps.end() ? nullptr : &it->second;
}

PIRP IoAllocateIrpFor(CCHAR stackSize, IrpOrigin origin, const void *caller, ULONG tag)
{
    if (stackSize < 1)
        stackSize = 1;
    USHORT size = (USHORT)IoSizeOfIrp(stackSize);
    auto *irp = (PIRP)PoolAllocate(NonPagedPool, size, tag, AllocKind::Irp, caller);
    if (!irp)
        return nullptr;
    IoInitializeIrp(irp, size, stackSize);
    std::lock_guard<std::mutex> lock(g_irpLock);
    IrpTracking &t = g_irps[irp];
    t = IrpTracking{};
    t.origin = origin;
    t.creator = caller ? ImageService(caller) : std::string();
    t.allocSite = caller;
    return irp;
}

void IoReleaseIrp(PIRP irp)
{
    std::lock_guard<std::mutex> lock(g_irpLock);
    auto it = g_irps.find(irp);
    if (it == g_irps.end())
        return;
    it->second.freed = true;
    it->second.waiter = nullptr;
    memset((uint8_t *)irp + sizeof(CSHORT) + sizeof(USHORT), 0xDD, irp->Size - sizeof(CSHORT) - sizeof(USHORT));
    g_quarantine.push_back(irp);
    while (g_quarantine.size() > kQuarantine) {
        PIRP old = g_quarantine.front();
        g_quarantine.pop_front();
        g_irps.erase(old);
        PoolFree(old, 0, nullptr);
    }
}

void IoCheckLeaks(const std::string &service)
{
    std::vector<std::pair<PIRP, IrpTracking>> leaked;
    {
        std::lock_guard<std::mutex> lock(g_irpLock);
        // Quarantined IRPs were freed properly; give their memory back before pool is counted.
        for (PIRP irp : g_quarantine) {
            g_irps.erase(irp);
            PoolFree(irp, 0, nullptr);
        }
        g_quarantine.clear();
        for (auto &[irp, t] : g_irps)
            if (!t.freed && !t.leakReported && (service.empty() || t.creator == service)) {
                // Reported once: the shutdown's check does not repeat what an unload reported.
                t.leakReported = true;
                leaked.emplace_back(irp, t);
            }
    }
    if (leaked.empty())
        return;
    std::string message = std::to_string(leaked.size()) + " IRP(s) never freed";
    if (!service.empty())
        message += " by " + service;
    for (auto &[irp, t] : leaked) {
        message += "; IRP " + std::to_string((uintptr_t)irp) + " allocated at " + Who(t.allocSite);
        if (irp->CurrentLocation <= irp->StackCount)
            message += " (still in " + DeviceName(IoGetCurrentIrpStackLocation(irp)->DeviceObject) + ", major " +
                       std::to_string(IoGetCurrentIrpStackLocation(irp)->MajorFunction) + ")";
    }
    ReportViolation(BUGCHECK_IRP_LEAKED, (ULONG_PTR)leaked.front().first, leaked.size(), 0, 0, message);
}

void IoResetForBoot()
{
    std::lock_guard<std::mutex> lock(g_irpLock);
    for (PIRP irp : g_quarantine) {
        g_irps.erase(irp);
        PoolFree(irp, 0, nullptr);
    }
    g_quarantine.clear();
    g_irps.clear();
}

size_t OutstandingIrps()
{
    std::lock_guard<std::mutex> lock(g_irpLock);
    size_t n = 0;
    for (auto &[irp, t] : g_irps)
        n += !t.freed;
    return n;
}

static void FreeIrpMdls(PIRP irp)
{
    PMDL mdl = irp->MdlAddress;
    while (mdl) {
        PMDL next = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED)
            MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
    irp->MdlAddress = nullptr;
}

// Post-processing of an IRP that completed to the top and belongs to the I/O manager.
void CompleteUserOrSystemIrp(PIRP irp, IrpTracking *tracking)
{
    WaitedRequest *waiter = tracking->waiter;
    if (tracking->origin == IrpOrigin::UserRequest || tracking->origin == IrpOrigin::Threaded) {
        if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(irp->IoStatus.Status) &&
            irp->UserBuffer && irp->AssociatedIrp.SystemBuffer) {
            ULONG length = tracking->outputLength;
            ULONG_PTR info = irp->IoStatus.Information;
            if (info > length) {
                ReportViolation(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)irp, info, length, 0,
                                "request completed with Information " + std::to_string(info) +
                                    " larger than the output buffer of " + std::to_string(length) + " bytes");
                info = length;
            }
            memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, info);
        }
        if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer) {
            PoolFree(irp->AssociatedIrp.SystemBuffer, 0, nullptr);
            irp->AssociatedIrp.SystemBuffer = nullptr;
        }
        FreeIrpMdls(irp);
    }
    IO_STATUS_BLOCK iosb = irp->IoStatus;
    bool pendingReturned = irp->PendingReturned;
    PKEVENT event = irp->UserEvent;
    if (irp->UserIosb)
        *irp->UserIosb = iosb;
    IoReleaseIrp(irp);
    if (event)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    if (waiter) {
        std::lock_guard<std::mutex> lock(waiter->lock);
        waiter->iosb = iosb;
        waiter->pendingReturned = pendingReturned;
        waiter->completed = true;
        waiter->done.notify_all();
    }
}

NTSTATUS IoCallAndWait(PDEVICE_OBJECT device, PIRP irp, IO_STATUS_BLOCK *iosb)
{
    WaitedRequest waiter;
    TrackIrp(irp)->waiter = &waiter;
    ULONG_PTR major = irp->Tail.Overlay.CurrentStackLocation[-1].MajorFunction;
    PDRIVER_DISPATCH routine = device->DriverObject->MajorFunction[major];
    NTSTATUS status = IofCallDriver(device, irp);
    std::unique_lock<std::mutex> lock(waiter.lock);
    if (status != STATUS_PENDING && !waiter.completed) {
        lock.unlock();
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)device, (ULONG_PTR)irp, (ULONG_PTR)status, 0,
                 "dispatch routine " + DescribeAddress((const void *)routine) + " of " + DeviceName(device) +
                     " returned " + FormatStatus(status) + " without completing the request (major " +
                     std::to_string(major) + ")");
    }
    waiter.done.wait(lock, [&] { return waiter.completed; });
    if (status == STATUS_PENDING && !waiter.pendingReturned)
        ReportViolation(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)device, (ULONG_PTR)irp, 0, 0,
                        "dispatch routine " + DescribeAddress((const void *)routine) +
                            " returned STATUS_PENDING but the request was not marked pending at the top "
                            "(IoMarkIrpPending missing, or a completion routine did not propagate PendingReturned)");
    if (status != STATUS_PENDING && waiter.pendingReturned)
        ReportViolation(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)device, (ULONG_PTR)irp, (ULONG_PTR)status, 0,
                        "dispatch routine " + DescribeAddress((const void *)routine) + " marked the request pending but returned " +
                            FormatStatus(status));
    if (iosb)
        *iosb = waiter.iosb;
    return status == STATUS_PENDING ? waiter.iosb.Status : status;
}

PIRP IoAllocateSystemIrp(CCHAR stackSize, IrpOrigin origin)
{
    PIRP irp = IoAllocateIrpFor(stackSize, origin, nullptr, MakeTag("IrpS"));
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = (PETHREAD)KeGetCurrentThread();
    return irp;
}

NTSTATUS IoSendAndWait(PDEVICE_OBJECT device, PIRP irp, IO_STATUS_BLOCK *iosb)
{
    return IoCallAndWait(device, irp, iosb);
}

} // namespace hk::internal

using namespace hk;
using namespace hk::internal;

extern "C" VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = (CHAR)(StackSize + 1);
    Irp->ApcEnvironment = 0;
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(Irp + 1) + StackSize;
}

extern "C" PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    return IoAllocateIrpFor(StackSize, IrpOrigin::DriverAllocated, __builtin_return_address(0), MakeTag("Irp "));
}

extern "C" VOID NTAPI IoFreeIrp(PIRP Irp)
{
    const void *caller = __builtin_return_address(0);
    IrpTracking *t = TrackIrp(Irp);
    if (!t || t->freed)
        BugCheck(BUGCHECK_MULTIPLE_IRP_COMPLETE_REQUESTS, (ULONG_PTR)Irp, 0, 0, 0,
                 std::string(t ? "IRP freed twice" : "IoFreeIrp of something that is not an IRP") + ", by " + Who(caller));
    if (t->origin != IrpOrigin::DriverAllocated && t->origin != IrpOrigin::Asynchronous)
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Irp, 0, 0, 0,
                 "IoFreeIrp of an IRP the I/O manager owns, by " + Who(caller));
    if (Irp->CurrentLocation <= Irp->StackCount)
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Irp, 0, 0, 0,
                 "IRP freed while in use (still current in " +
                     DeviceName(IoGetCurrentIrpStackLocation(Irp)->DeviceObject) + "), by " + Who(caller));
    if (Irp->CancelRoutine)
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Irp, 0, 0, 0,
                 "IRP freed with a cancel routine set, by " + Who(caller));
    FreeIrpMdls(Irp);
    IoReleaseIrp(Irp);
}

extern "C" VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status)
{
    IrpTracking *t = TrackIrp(Irp);
    if (!t || t->freed)
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Irp, 0, 0, 0,
                 "IoReuseIrp of a freed IRP, by " + Who(__builtin_return_address(0)));
    if (Irp->CurrentLocation <= Irp->StackCount)
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Irp, 0, 0, 0,
                 "IoReuseIrp of an IRP still in use, by " + Who(__builtin_return_address(0)));
    UCHAR flags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = flags;
    Irp->IoStatus.Status = Status;
}

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    const void *caller = __builtin_return_address(0);
    IrpTracking *t = TrackIrp(Irp);
    if (!t || t->freed)
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Irp, 0, 0, 0,
                 std::string(t ? "freed IRP" : "unknown IRP") + " sent to " + DeviceName(DeviceObject) + " by " + Who(caller));
    if (Irp->CurrentLocation <= 1) {
        // Forwarding is usually a tail call, so the return address may not be the sender's: the
        // driver that holds the request (its current location) is. The location is found by its
        // number: a sender that copied its location to a next one that does not exist has just
        // overwritten the end of the IRP, CurrentStackLocation included.
        PDEVICE_OBJECT holder =
            Irp->CurrentLocation == 1 ? reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1)->DeviceObject : nullptr;
        BugCheck(BUGCHECK_NO_MORE_IRP_STACK_LOCATIONS, (ULONG_PTR)Irp, 0, 0, 0,
                 "IRP sent to " + DeviceName(DeviceObject) +
                     (holder ? " from " + DriverService(holder->DriverObject) : std::string()) + " by " + Who(caller) +
                     " has no stack location left");
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        BugCheck(BUGCHECK_IRQL_NOT_LESS_OR_EQUAL, irql, (ULONG_PTR)Irp, 0, 0,
                 "IoCallDriver at IRQL " + std::to_string(irql) + " by " + Who(caller));
    NTSTATUS status = dispatch(DeviceObject, Irp);
    if (KeGetCurrentIrql() != irql)
        BugCheck(BUGCHECK_IRQL_NOT_LESS_OR_EQUAL, KeGetCurrentIrql(), irql, (ULONG_PTR)dispatch, 0,
                 "dispatch routine " + Who((const void *)dispatch) + " returned at IRQL " +
                     std::to_string(KeGetCurrentIrql()) + ", entered at " + std::to_string(irql));
    return status;
}

namespace {
std::atomic<int> g_completionRoutinesRunning{0};
} // namespace

void hk::internal::IoWaitForCompletionRoutines()
{
    while (g_completionRoutinesRunning.load(std::memory_order_acquire) != 0)
        std::this_thread::yield();
}

extern "C" VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    const void *caller = __builtin_return_address(0);
    IrpTracking *t = TrackIrp(Irp);
    if (!t)
        BugCheck(BUGCHECK_MULTIPLE_IRP_COMPLETE_REQUESTS, (ULONG_PTR)Irp, 0, 0, 0,
                 "IoCompleteRequest of something that is not an IRP, by " + Who(caller));
    if (t->freed || Irp->CurrentLocation > Irp->StackCount + 1)
        BugCheck(BUGCHECK_MULTIPLE_IRP_COMPLETE_REQUESTS, (ULONG_PTR)Irp, 0, 0, 0,
                 "IRP completed twice: second IoCompleteRequest by " + Who(caller));
    if (Irp->CurrentLocation == Irp->StackCount + 1)
        BugCheck(BUGCHECK_MULTIPLE_IRP_COMPLETE_REQUESTS, (ULONG_PTR)Irp, 0, 0, 0,
                 "IoCompleteRequest of an IRP that has no current stack location (already completed to the top, or "
                 "never sent), by " +
                     Who(caller));
    if (Irp->IoStatus.Status == STATUS_PENDING || Irp->IoStatus.Status == (NTSTATUS)0xFFFFFFFF)
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Irp, (ULONG_PTR)Irp->IoStatus.Status, 0, 0,
                 "IRP completed with status " + FormatStatus(Irp->IoStatus.Status) + " by " + Who(caller));
    if (Irp->CancelRoutine)
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Irp, (ULONG_PTR)Irp->CancelRoutine, 0, 0,
                 "IRP completed with its cancel routine still set, by " + Who(caller));

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    do {
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = stack->CompletionRoutine &&
                      ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                       (Irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
        stack->MinorFunction = 0;
        stack->Flags = 0;
        stack->Control &= SL_ERROR_RETURNED;
        stack->FileObject = nullptr;
        if (invoke) {
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? nullptr
                                        : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            KIRQL irql = KeGetCurrentIrql();
            g_completionRoutinesRunning.fetch_add(1, std::memory_order_acq_rel);
            NTSTATUS routineStatus = stack->CompletionRoutine(device, Irp, stack->Context);
            g_completionRoutinesRunning.fetch_sub(1, std::memory_order_acq_rel);
            if (KeGetCurrentIrql() != irql)
                BugCheck(BUGCHECK_IRQL_NOT_LESS_OR_EQUAL, KeGetCurrentIrql(), irql, 0, 0,
                         "completion routine " + Who((const void *)stack->CompletionRoutine) + " returned at IRQL " +
                             std::to_string(KeGetCurrentIrql()));
            if (routineStatus == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        } else if (Irp->CurrentLocation <= Irp->StackCount && Irp->PendingReturned) {
            IoMarkIrpPending(Irp);
        }
        IoSkipCurrentIrpStackLocation(Irp);
        stack++;
    } while (Irp->CurrentLocation <= Irp->StackCount + 1);

    switch (t->origin) {
    case IrpOrigin::UserRequest:
    case IrpOrigin::Threaded:
    case IrpOrigin::System:
        CompleteUserOrSystemIrp(Irp, t);
        break;
    case IrpOrigin::DriverAllocated:
    case IrpOrigin::Asynchronous:
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Irp, 0, 0, 0,
                 "IRP allocated by " + (t->creator.empty() ? std::string("the host") : t->creator) + " at " +
                     Who(t->allocSite) +
                     " completed to the top: its own completion routine must free it and return "
                     "STATUS_MORE_PROCESSING_REQUIRED");
    }
}

extern "C" VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql)
{
    KeAcquireSpinLock(&g_cancelLock, Irql);
}

extern "C" VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql)
{
    KeReleaseSpinLock(&g_cancelLock, Irql);
}

extern "C" BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (Irp->CurrentLocation > Irp->StackCount)
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Irp, 0, 0, 0,
                 "cancel routine set on an IRP that no driver holds");
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Request builders
// ---------------------------------------------------------------------------------------------
static bool AttachBuffers(PIRP irp, ULONG method, PVOID in, ULONG inLen, PVOID out, ULONG outLen, const void *caller)
{
    switch (method) {
    case METHOD_BUFFERED: {
        ULONG size = inLen > outLen ? inLen : outLen;
        if (size) {
            void *buffer = PoolAllocate(NonPagedPool, size, MakeTag("IoBu"), AllocKind::Pool, caller);
            if (!buffer)
                return false;
            if (inLen)
                memcpy(buffer, in, inLen);
            if (size > inLen)
                memset((uint8_t *)buffer + inLen, 0, size - inLen);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (outLen)
                irp->Flags |= IRP_INPUT_OPERATION;
        }
        irp->UserBuffer = out;
        return true;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (inLen) {
            void *buffer = PoolAllocate(NonPagedPool, inLen, MakeTag("IoBu"), AllocKind::Pool, caller);
            if (!buffer)
                return false;
            memcpy(buffer, in, inLen);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (outLen) {
            PMDL mdl = IoAllocateMdl(out, outLen, FALSE, FALSE, irp);
            if (!mdl)
                return false;
            if (!NT_SUCCESS(HkProbeAndLockPages(mdl, KernelMode, method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess)))
                return false;
        }
        return true;
    default:
        irp->UserBuffer = out;
        return true;
    }
}

static void UndoBuild(PIRP irp)
{
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer)
        PoolFree(irp->AssociatedIrp.SystemBuffer, 0, nullptr);
    irp->AssociatedIrp.SystemBuffer = nullptr;
    FreeIrpMdls(irp);
    IoReleaseIrp(irp);
}

extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                                    ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                                    BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                                    PIO_STATUS_BLOCK IoStatusBlock)
{
    const void *caller = __builtin_return_address(0);
    PIRP irp = IoAllocateIrpFor(DeviceObject->StackSize, IrpOrigin::Threaded, caller, MakeTag("IrpB"));
    if (!irp)
        return nullptr;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    if (method == METHOD_NEITHER)
        stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    if (!AttachBuffers(irp, method, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength, caller)) {
        UndoBuild(irp);
        return nullptr;
    }
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    TrackIrp(irp)->outputLength = OutputBufferLength;
    irp->Tail.Overlay.Thread = (PETHREAD)KeGetCurrentThread();
    return irp;
}

static PIRP BuildFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                            PLARGE_INTEGER StartingOffset, IrpOrigin origin, const void *caller)
{
    PIRP irp = IoAllocateIrpFor(DeviceObject->StackSize, origin, caller, MakeTag("IrpB"));
    if (!irp)
        return nullptr;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = (UCHAR)MajorFunction;
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        stack->Parameters.Read.Length = Length;
        if (StartingOffset)
            stack->Parameters.Read.ByteOffset = *StartingOffset;
        if (DeviceObject->Flags & DO_BUFFERED_IO) {
            void *buffer = PoolAllocate(NonPagedPool, Length ? Length : 1, MakeTag("IoBu"), AllocKind::Pool, caller);
            if (!buffer) {
                UndoBuild(irp);
                return nullptr;
            }
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (MajorFunction == IRP_MJ_WRITE)
                memcpy(buffer, Buffer, Length);
            else
                irp->Flags |= IRP_INPUT_OPERATION;
            TrackIrp(irp)->outputLength = Length;
            irp->UserBuffer = Buffer;
        } else if (DeviceObject->Flags & DO_DIRECT_IO) {
            PMDL mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, irp);
            if (!mdl || !NT_SUCCESS(HkProbeAndLockPages(mdl, KernelMode,
                                                        MajorFunction == IRP_MJ_READ ? IoWriteAccess : IoReadAccess))) {
                UndoBuild(irp);
                return nullptr;
            }
        } else {
            irp->UserBuffer = Buffer;
        }
    }
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = (PETHREAD)KeGetCurrentThread();
    return irp;
}

extern "C" PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                                   ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                                   PIO_STATUS_BLOCK IoStatusBlock)
{
    PIRP irp = BuildFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, IrpOrigin::Threaded,
                               __builtin_return_address(0));
    if (irp) {
        irp->UserEvent = Event;
        irp->UserIosb = IoStatusBlock;
    }
    return irp;
}

extern "C" PIRP NTAPI IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                                    ULONG Length, PLARGE_INTEGER StartingOffset,
                                                    PIO_STATUS_BLOCK IoStatusBlock)
{
    PIRP irp = BuildFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, IrpOrigin::Asynchronous,
                               __builtin_return_address(0));
    if (irp)
        irp->UserIosb = IoStatusBlock;
    return irp;
}

extern "C" PEPROCESS NTAPI IoGetRequestorProcess(PIRP Irp)
{
    IrpTracking *t = TrackIrp(Irp);
    if (t && t->process)
        return t->process;
    return SystemProcess();
}

extern "C" BOOLEAN NTAPI IoIs32bitProcess(PIRP Irp)
{
    PEPROCESS process = Irp ? IoGetRequestorProcess(Irp) : CurrentThreadState().process;
    return process && process->is32bit;
}

// ---------------------------------------------------------------------------------------------
// MDLs
// ---------------------------------------------------------------------------------------------
extern "C" PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp)
{
    auto *mdl = (PMDL)PoolAllocate(NonPagedPool, sizeof(MDL), MakeTag("Mdl "), AllocKind::Mdl, __builtin_return_address(0));
    if (!mdl)
        return nullptr;
    memset(mdl, 0, sizeof(MDL));
    mdl->Size = sizeof(MDL);
    mdl->StartVa = (PVOID)((ULONG_PTR)VirtualAddress & ~(ULONG_PTR)0xFFF);
    mdl->ByteOffset = (ULONG)((ULONG_PTR)VirtualAddress & 0xFFF);
    mdl->ByteCount = Length;
    if (Irp) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL last = Irp->MdlAddress;
            if (!last) {
                Irp->MdlAddress = mdl;
            } else {
                while (last->Next)
                    last = last->Next;
                last->Next = mdl;
            }
        }
    }
    return mdl;
}

extern "C" VOID NTAPI IoFreeMdl(PMDL Mdl)
{
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED)
        BugCheck(BUGCHECK_DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS, (ULONG_PTR)Mdl, 0, 0, 0,
                 "IoFreeMdl of an MDL whose pages are still locked, by " + Who(__builtin_return_address(0)));
    PoolFree(Mdl, MakeTag("Mdl "), __builtin_return_address(0));
}

extern "C" NTSTATUS NTAPI HkProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation)
{
    // The host cannot tell a bad user address from a good one in general; the null page and the
    // upper half are what a real probe refuses most often.
    ULONG_PTR start = (ULONG_PTR)Mdl->StartVa + Mdl->ByteOffset;
    if (Mdl->ByteCount && (start < 0x10000 || start + Mdl->ByteCount < start || (start >> 47) != 0))
        return STATUS_ACCESS_VIOLATION;
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED)
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Mdl, 0, 0, 0, "MDL locked twice");
    Mdl->MdlFlags |= MDL_PAGES_LOCKED;
    Mdl->MappedSystemVa = (PVOID)start;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation)
{
    NTSTATUS status = HkProbeAndLockPages(Mdl, AccessMode, Operation);
    if (!NT_SUCCESS(status))
        BugCheck(BUGCHECK_INVALID_DATA_ACCESS_TRAP, (ULONG_PTR)Mdl, (ULONG_PTR)Mdl->StartVa, 0, 0,
                 "MmProbeAndLockPages raised on a bad address and nothing handled the exception, called by " +
                     Who(__builtin_return_address(0)));
}

extern "C" VOID NTAPI MmUnlockPages(PMDL Mdl)
{
    if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED))
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Mdl, 0, 0, 0,
                 "MmUnlockPages of an MDL that is not locked, by " + Who(__builtin_return_address(0)));
    Mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
}

extern "C" VOID NTAPI MmBuildMdlForNonPagedPool(PMDL Mdl)
{
    Mdl->MappedSystemVa = (PVOID)((ULONG_PTR)Mdl->StartVa + Mdl->ByteOffset);
    Mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

extern "C" PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL Mdl, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE CacheType,
                                                   PVOID BaseAddress, ULONG BugCheckOnFailure, ULONG Priority)
{
    if (!(Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL)))
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Mdl, 0, 0, 0,
                 "mapping an MDL whose pages are not locked, by " + Who(__builtin_return_address(0)));
    Mdl->MappedSystemVa = (PVOID)((ULONG_PTR)Mdl->StartVa + Mdl->ByteOffset);
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    if (Mdl->MdlFlags & MDL_PARTIAL)
        Mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
    return Mdl->MappedSystemVa;
}

extern "C" VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL Mdl)
{
    if (!(Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) || BaseAddress != Mdl->MappedSystemVa)
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Mdl, (ULONG_PTR)BaseAddress, 0, 0,
                 "MmUnmapLockedPages of an address the MDL is not mapped at, by " + Who(__builtin_return_address(0)));
    Mdl->MdlFlags &= ~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
}

// As the I/O manager does: the target takes the source's process, the sub-range, the source's
// mapping (moved by the offset) and the flags that describe the pages; the source keeps its lock.
extern "C" VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length)
{
    ULONG_PTR start = (ULONG_PTR)SourceMdl->StartVa + SourceMdl->ByteOffset;
    ULONG_PTR address = (ULONG_PTR)VirtualAddress;
    if (address < start || address - start > SourceMdl->ByteCount)
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)SourceMdl, address, 0, 0,
                 "IoBuildPartialMdl outside the source MDL, by " + Who(__builtin_return_address(0)));
    ULONG offset = (ULONG)(address - start);
    if (!Length)
        Length = SourceMdl->ByteCount - offset;
    if (Length > SourceMdl->ByteCount - offset)
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)SourceMdl, address, Length, 0,
                 "IoBuildPartialMdl past the end of the source MDL, by " + Who(__builtin_return_address(0)));
    TargetMdl->StartVa = (PVOID)(address & ~(ULONG_PTR)0xFFF);
    TargetMdl->ByteOffset = (ULONG)(address & 0xFFF);
    TargetMdl->ByteCount = Length;
    TargetMdl->Process = SourceMdl->Process;
    TargetMdl->MdlFlags &= MDL_ALLOCATED_FIXED_SIZE;
    TargetMdl->MdlFlags |= SourceMdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA | MDL_IO_SPACE);
    TargetMdl->MdlFlags |= MDL_PARTIAL;
    TargetMdl->MappedSystemVa = (PCHAR)SourceMdl->MappedSystemVa + offset;
}

namespace hk {
size_t OutstandingIrpCount()
{
    return internal::OutstandingIrps();
}
} // namespace hk
