// What the kernel tests and their test drivers share: the control codes the drivers answer, the
// plan that tells each layer of a device stack what to do with a request, and the records the
// drivers leave for the test to read. The test drivers include kernel.h before this header, the
// tests hk/nt.h; nothing here depends on the width of wchar_t.
#pragma once

// ---------------------------------------------------------------------------------------------
// Control codes
// ---------------------------------------------------------------------------------------------
#define HK_DEVICE_TYPE 0x8A00
// The input is an HkPlan (METHOD_NEITHER, so every layer sees the caller's pointer as it is).
#define IOCTL_HK_PLAN CTL_CODE(HK_DEVICE_TYPE, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS)
// The input is an HkReply: the device fills the whole output buffer with `fill` through whatever
// the method gives it and completes with `status` and `information`.
#define IOCTL_HK_BUFFERED CTL_CODE(HK_DEVICE_TYPE, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_HK_IN_DIRECT CTL_CODE(HK_DEVICE_TYPE, 0x802, METHOD_IN_DIRECT, FILE_ANY_ACCESS)
#define IOCTL_HK_OUT_DIRECT CTL_CODE(HK_DEVICE_TYPE, 0x803, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
#define IOCTL_HK_NEITHER CTL_CODE(HK_DEVICE_TYPE, 0x804, METHOD_NEITHER, FILE_ANY_ACCESS)
// hk_faulty: the input is an HkFaultRequest; the fault it names happens in the dispatch routine.
#define IOCTL_HK_FAULT CTL_CODE(HK_DEVICE_TYPE, 0x810, METHOD_BUFFERED, FILE_ANY_ACCESS)
// hk_faulty: tries each kind of allocation once; the output is an HkAllocResult.
#define IOCTL_HK_ALLOCATE CTL_CODE(HK_DEVICE_TYPE, 0x811, METHOD_BUFFERED, FILE_ANY_ACCESS)
// hk_faulty, sent by the driver to itself: complete at once / keep the request.
#define IOCTL_HK_SELF_COMPLETE CTL_CODE(HK_DEVICE_TYPE, 0x812, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_HK_SELF_HOLD CTL_CODE(HK_DEVICE_TYPE, 0x813, METHOD_NEITHER, FILE_ANY_ACCESS)

struct HkReply {
    NTSTATUS status;
    ULONG information;
    UCHAR fill;
};

// ---------------------------------------------------------------------------------------------
// Plans: what each layer of a stack does with an IOCTL_HK_PLAN request
// ---------------------------------------------------------------------------------------------
enum HkAction : ULONG {
    HkForward,        // copy the stack location down with a completion routine, call the lower device
    HkSkip,           // skip the stack location, call the lower device
    HkCopy,           // copy the stack location down without a completion routine, call the lower device
    HkComplete,       // complete with status and information
    HkPend,           // mark pending, return STATUS_PENDING; the driver's worker thread completes it
    HkHold,           // mark pending and keep the request in HkPlan::held for the test to finish
    HkHoldCancelable, // HkHold with a cancel routine that completes with STATUS_CANCELLED
    HkSendOwn,        // send an IRP of the layer's own (the same plan) to the lower device, wait for its
                      // routine's signal, free it and complete with its status and information
};

struct HkPlan;

struct HkLayerPlan {
    ULONG action;
    BOOLEAN invokeOnSuccess, invokeOnError, invokeOnCancel; // HkForward: the routine's SL_INVOKE_* bits
    BOOLEAN routineStops;     // the routine keeps the IRP (HkPlan::held) and stops completion
    BOOLEAN propagatePending; // the routine calls IoMarkIrpPending when PendingReturned
    BOOLEAN routineLingers;   // HkSendOwn: the routine stays 50 ms in the image after its signal
    NTSTATUS status;          // HkComplete, HkPend
    ULONG information;
    HkPlan *plan; // set by HkPlanInit
    ULONG layer;
};

enum HkEventKind : ULONG {
    HkDispatched,    // a layer's dispatch routine received the request
    HkRoutineRan,    // a completion routine ran (layer 0: the test's own routine)
    HkCancelRan,     // a cancel routine ran
};

struct HkEvent {
    ULONG kind;
    ULONG layer;
    PDEVICE_OBJECT device; // dispatch: the stack location's device; routine: its DeviceObject argument
    CHAR currentLocation;
    BOOLEAN pendingReturned;
    BOOLEAN cancel;
    BOOLEAN cancelRoutineCleared; // cancel routine: Irp->CancelRoutine was already NULL
    KIRQL irql;                   // cancel routine: at entry (the cancel lock is held)
    KIRQL irqlAfterRelease;       // cancel routine: after IoReleaseCancelSpinLock
    NTSTATUS status;
};

constexpr ULONG kHkMaxLayers = 5;
constexpr ULONG kHkMaxEvents = 32;

// Layers are numbered by their device's StackSize: 1 is the bottom of the stack.
struct HkPlan {
    HkLayerPlan layers[kHkMaxLayers];
    volatile LONG eventCount;
    HkEvent events[kHkMaxEvents];
    PIRP volatile held; // a request a layer keeps (HkHold) or a routine stopped (routineStops)
    KEVENT heldEvent;   // signalled when `held` is set
};

inline void HkPlanInit(HkPlan *plan)
{
    memset(plan, 0, sizeof *plan);
    for (ULONG i = 0; i < kHkMaxLayers; i++) {
        plan->layers[i].plan = plan;
        plan->layers[i].layer = i;
        plan->layers[i].action = HkSkip;
    }
    KeInitializeEvent(&plan->heldEvent, NotificationEvent, FALSE);
}

inline HkEvent *HkRecord(HkPlan *plan, ULONG kind, ULONG layer)
{
    LONG index = InterlockedIncrement(&plan->eventCount) - 1;
    if (index >= (LONG)kHkMaxEvents)
        return nullptr;
    HkEvent *e = &plan->events[index];
    e->kind = kind;
    e->layer = layer;
    return e;
}

// ---------------------------------------------------------------------------------------------
// Per-driver settings and the trace the drivers write (exported as HkConfig by hk_layer, hk_bus)
// ---------------------------------------------------------------------------------------------
constexpr ULONG kHkTraceLines = 160;
constexpr ULONG kHkTraceWidth = 48;

struct HkTrace {
    volatile LONG count;
    char lines[kHkTraceLines][kHkTraceWidth];
};

inline void HkTraceAdd(HkTrace *trace, const char *who, const char *what)
{
    if (!trace)
        return;
    LONG index = InterlockedIncrement(&trace->count) - 1;
    if (index >= (LONG)kHkTraceLines)
        return;
    char *line = trace->lines[index];
    size_t n = 0;
    for (const char *p = who; *p && n < kHkTraceWidth - 2; p++)
        line[n++] = *p;
    line[n++] = ' ';
    for (const char *p = what; *p && n < kHkTraceWidth - 1; p++)
        line[n++] = *p;
    line[n] = 0;
}

struct HkDriverConfig {
    HkTrace *trace;
    NTSTATUS vetoQueryRemove; // 0: agree
    NTSTATUS vetoQueryStop;
    ULONG childCount;         // hk_bus: children it reports in its bus relations
    volatile LONG driverEntries;
    volatile LONG addDevices;
};

// ---------------------------------------------------------------------------------------------
// hk_io: what its devices saw of the last request (the start of their device extension)
// ---------------------------------------------------------------------------------------------
struct HkRequestSeen {
    UCHAR major;
    KPROCESSOR_MODE requestorMode;
    BOOLEAN is32bit;
    ULONG irpFlags;
    PVOID systemBuffer;
    PVOID userBuffer;
    PVOID type3InputBuffer;
    PVOID mdlVirtualAddress; // null without an MDL
    ULONG mdlByteCount;
    ULONG inputLength;
    ULONG outputLength; // IOCTLs: OutputBufferLength; reads and writes: Length
    LONGLONG byteOffset;
    UCHAR data[16]; // the first bytes of the request's input, as the driver read them
    PFILE_OBJECT fileObject;
};

struct HkIoState {
    volatile LONG creates, cleanups, closes, requests;
    HkRequestSeen last;
    ULONG stored; // bytes written, which reads return
    UCHAR storage[256];
};

// ---------------------------------------------------------------------------------------------
// hk_faulty
// ---------------------------------------------------------------------------------------------
enum HkFault : ULONG {
    HkFaultNone,
    HkFaultCompleteTwice,       // dispatch completes its request twice
    HkFaultNoComplete,          // dispatch returns STATUS_SUCCESS without completing
    HkFaultPendingUnmarked,     // dispatch completes, then returns STATUS_PENDING unmarked
    HkFaultFreeInUse,           // frees an IRP it sent down while the lower driver still holds it
    HkFaultCompleteToTop,       // sends its own IRP without a completion routine of its own
    HkFaultWaitAtDispatch,      // waits for an event while holding a spin lock
    HkFaultSendTooFar,          // sends its own one-location IRP down a second time
};

struct HkFaultRequest {
    ULONG fault;
};

// Set in DriverEntry/AddDevice/START from the exported HkFaultConfig.
struct HkFaultConfig {
    BOOLEAN leakPoolAtStart;  // allocates HK_LEAK_TAG pool at START and never frees it
    BOOLEAN leakIrpAtStart;   // allocates an IRP at START and never frees it
    BOOLEAN threadAtStart;    // starts a system thread at START that unload does not stop
    volatile LONG threadRunning;
    KEVENT threadExit; // the thread ends when this is signalled (the driver never does)
    PVOID thread;      // the thread object, referenced for the test to wait on and dereference
};
#define HK_LEAK_TAG 0x6B61654Cu // "Leak" as a pool tag

struct HkAllocResult {
    NTSTATUS pool;   // ExAllocatePoolWithTag with the requested tag
    NTSTATUS irp;    // IoAllocateIrp
    NTSTATUS mdl;    // IoAllocateMdl
    NTSTATUS device; // IoCreateDevice
};
struct HkAllocRequest {
    ULONG tag;
};
