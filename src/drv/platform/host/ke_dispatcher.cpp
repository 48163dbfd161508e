// Dispatcher objects and waits: events, semaphores, mutexes, timers, thread objects, fast mutexes.
//
// The objects live in driver memory and are never destroyed, so they own no host resources. As in
// the real kernel, one dispatcher lock guards every object's state; a waiting thread links one wait
// block per object into that object's Header.WaitListHead and sleeps on its own condition variable
// (the waiter and its blocks live on the waiting thread's stack). Whoever signals an object walks
// its wait list under the lock and satisfies the waits it can: a synchronization event or timer
// for exactly one waiter, a semaphore once per unit, a mutex for one thread that becomes its owner.
//
// Timers need no timer thread: a timer's due time is kept in the object, a timer that is past due
// is signalled the next time anyone looks at it, and a thread waiting on a timer sleeps no longer
// than the timer's due time.
#include "ke_thread.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <optional>
#include <thread>

using namespace hk;
using namespace hk::internal;

namespace {

using SteadyClock = std::chrono::steady_clock;

// Beyond any test: a wait this long is a wait without time-out.
constexpr int64_t kForeverNanoseconds = 1000000000000000000LL;
// Real kernel limits: waits on more objects than a thread's built-in blocks need a caller array.
constexpr ULONG kThreadWaitObjects = 3;
constexpr ULONG kMaximumWaitObjects = 64;

struct Waiter;

struct WaitBlock {
    LIST_ENTRY entry; // in the object's Header.WaitListHead
    DISPATCHER_HEADER *object;
    Waiter *waiter;
    ULONG index;
};

struct Waiter {
    std::condition_variable wake;
    PKTHREAD thread = nullptr;
    WAIT_TYPE type = WaitAny;
    WaitBlock *blocks = nullptr;
    ULONG count = 0;
    bool satisfied = false;
    NTSTATUS status = STATUS_TIMEOUT;
};

// Never destroyed: system threads may still wait while the process exits.
std::mutex &DispatcherLock()
{
    static std::mutex *lock = new std::mutex;
    return *lock;
}

bool KeppIsTimer(const DISPATCHER_HEADER *h)
{
    return h->Type == KepTimerNotification || h->Type == KepTimerSynchronization;
}

bool KeppIsKnownType(UCHAR type)
{
    switch (type) {
    case KepEventNotification:
    case KepEventSynchronization:
    case KepMutant:
    case KepSemaphore:
    case KepThread:
    case KepTimerNotification:
    case KepTimerSynchronization:
        return true;
    default:
        return false;
    }
}

// A zeroed or pool-pattern object that was never initialised would otherwise hang the waiter or
// corrupt memory through its wait list.
void KeppValidateObject(PVOID object, const void *caller, const char *routine)
{
    auto *h = static_cast<DISPATCHER_HEADER *>(object);
    if (!h || !KeppIsKnownType(h->Type) || !h->WaitListHead.Flink || !h->WaitListHead.Blink)
        KepBugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, KepViolationBadDispatcherObject, (ULONG_PTR)object,
                    h ? h->Type : 0, caller,
                    std::string(routine) + " on an object that is not an initialised dispatcher object");
}

void KeppRequireType(PVOID object, UCHAR type1, UCHAR type2, const void *caller, const char *routine)
{
    KeppValidateObject(object, caller, routine);
    UCHAR type = static_cast<DISPATCHER_HEADER *>(object)->Type;
    if (type != type1 && type != type2)
        KepBugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, KepViolationBadDispatcherObject, (ULONG_PTR)object, type,
                    caller, std::string(routine) + " on a dispatcher object of the wrong type " + std::to_string(type));
}

// --- Under the dispatcher lock -------------------------------------------------------------------

// A timer past its due time becomes signalled and leaves the timer queue. Returns true when it just
// expired (its waiters may now be satisfied).
bool KeppRefreshTimer(DISPATCHER_HEADER *h, LONGLONG now)
{
    if (!KeppIsTimer(h) || !h->Inserted)
        return false;
    auto *timer = CONTAINING_RECORD(h, KTIMER, Header);
    if ((LONGLONG)timer->DueTime.QuadPart > now)
        return false;
    h->Inserted = FALSE;
    h->SignalState = 1;
    return true;
}

bool KeppIsSignalledFor(const DISPATCHER_HEADER *h, PKTHREAD thread)
{
    if (h->Type == KepMutant)
        return h->SignalState > 0 || CONTAINING_RECORD(h, KMUTANT, Header)->OwnerThread == thread;
    return h->SignalState > 0;
}

// The side effect of a satisfied wait.
void KeppConsume(DISPATCHER_HEADER *h, PKTHREAD thread)
{
    switch (h->Type) {
    case KepEventSynchronization:
    case KepTimerSynchronization:
        h->SignalState = 0;
        break;
    case KepSemaphore:
        h->SignalState--;
        break;
    case KepMutant:
        CONTAINING_RECORD(h, KMUTANT, Header)->OwnerThread = thread;
        h->SignalState--; // 1 = free, 0 = owned once, negative = owned recursively
        break;
    default:
        break; // notification events and timers, threads: stay signalled
    }
}

void KeppFinishWait(Waiter *w, NTSTATUS status)
{
    for (ULONG i = 0; i < w->count; i++)
        RemoveEntryList(&w->blocks[i].entry);
    w->status = status;
    w->satisfied = true;
    w->wake.notify_one();
}

// Satisfies a wait if the object that block `index` names now allows it. A WaitAll is satisfied only
// when every object is signalled, and then all of them are consumed at once.
bool KeppTrySatisfy(Waiter *w, ULONG index)
{
    if (w->type == WaitAny) {
        DISPATCHER_HEADER *h = w->blocks[index].object;
        if (!KeppIsSignalledFor(h, w->thread))
            return false;
        KeppConsume(h, w->thread);
        KeppFinishWait(w, STATUS_WAIT_0 + (NTSTATUS)index);
        return true;
    }
    for (ULONG i = 0; i < w->count; i++)
        if (!KeppIsSignalledFor(w->blocks[i].object, w->thread))
            return false;
    for (ULONG i = 0; i < w->count; i++)
        KeppConsume(w->blocks[i].object, w->thread);
    KeppFinishWait(w, STATUS_WAIT_0);
    return true;
}

// Called whenever an object may have become signalled. Satisfying a waiter unlinks its blocks from
// this and other lists, so the walk starts over after each one.
void KeppWakeWaiters(DISPATCHER_HEADER *h)
{
    bool progress = true;
    while (progress) {
        progress = false;
        for (LIST_ENTRY *e = h->WaitListHead.Flink; e != &h->WaitListHead; e = e->Flink) {
            WaitBlock *block = CONTAINING_RECORD(e, WaitBlock, entry);
            if (KeppTrySatisfy(block->waiter, block->index)) {
                progress = true;
                break;
            }
        }
    }
}

void KeppSignal(DISPATCHER_HEADER *h)
{
    if (h->SignalState <= 0)
        h->SignalState = 1;
    KeppWakeWaiters(h);
}

// --- Waits ---------------------------------------------------------------------------------------

// Real-time length of a wait's time-out: nullopt = no time-out, 0 = poll.
std::optional<int64_t> KeppRealTimeout(const LARGE_INTEGER *timeout)
{
    if (!timeout)
        return std::nullopt;
    LONGLONG t = timeout->QuadPart;
    if (t == 0)
        return 0;
    LONGLONG interval;
    if (t < 0)
        interval = t == LLONG_MIN ? LLONG_MAX : -t;
    else
        interval = t - KepSimulatedNow(); // absolute: a time in the past polls
    if (interval <= 0)
        return 0;
    int64_t real = RealNanoseconds(interval);
    if (real >= kForeverNanoseconds)
        return std::nullopt;
    return std::max<int64_t>(real, 1);
}

void KeppCheckWaitIrql(const LARGE_INTEGER *timeout, const void *caller, const char *routine)
{
    KIRQL irql = KepCurrentIrql();
    bool poll = timeout && timeout->QuadPart == 0;
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !poll))
        KepBugCheck(BUGCHECK_IRQL_NOT_LESS_OR_EQUAL, irql, DISPATCH_LEVEL, 0, caller,
                    std::string(routine) + " at IRQL " + std::to_string(irql) +
                        (poll ? "" : (timeout ? " with a non-zero time-out" : " without a time-out")));
}

NTSTATUS KeppWait(ULONG count, PVOID objects[], WAIT_TYPE waitType, const LARGE_INTEGER *timeout, bool checkIrql,
                  const void *caller, const char *routine)
{
    if (checkIrql)
        KeppCheckWaitIrql(timeout, caller, routine);
    if (count == 0 || count > kMaximumWaitObjects || !objects)
        KepBugCheck(KepBugCheckMaximumWaitObjectsExceeded, count, 0, 0, caller,
                    std::string(routine) + " on " + std::to_string(count) + " objects");
    for (ULONG i = 0; i < count; i++)
        KeppValidateObject(objects[i], caller, routine);
    if (waitType == WaitAll) {
        // One object twice in a WaitAll would be consumed twice for one signal.
        for (ULONG i = 0; i < count; i++)
            for (ULONG j = i + 1; j < count; j++)
                if (objects[i] == objects[j] && static_cast<DISPATCHER_HEADER *>(objects[i])->Type != KepMutant)
                    KepBugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, KepViolationBadDispatcherObject,
                                (ULONG_PTR)objects[i], i, caller,
                                std::string(routine) + ": the same object twice in a WaitAll");
    } else if (waitType != WaitAny) {
        KepBugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, KepViolationBadDispatcherObject, waitType, 0, caller,
                    std::string(routine) + " with an unknown wait type");
    }

    std::optional<int64_t> realTimeout = KeppRealTimeout(timeout);
    std::optional<SteadyClock::time_point> deadline;
    if (realTimeout)
        deadline = SteadyClock::now() + std::chrono::nanoseconds(*realTimeout);

    WaitBlock blocks[kMaximumWaitObjects];
    Waiter w;
    w.thread = CurrentThreadState().thread; // outside the lock: may create the thread object
    w.type = waitType;
    w.blocks = blocks;
    w.count = count;
    for (ULONG i = 0; i < count; i++) {
        blocks[i].object = static_cast<DISPATCHER_HEADER *>(objects[i]);
        blocks[i].waiter = &w;
        blocks[i].index = i;
        blocks[i].entry.Flink = blocks[i].entry.Blink = nullptr;
    }

    std::unique_lock<std::mutex> lock(DispatcherLock());
    LONGLONG now = KepSimulatedNow();
    for (ULONG i = 0; i < count; i++)
        if (KeppRefreshTimer(blocks[i].object, now))
            KeppWakeWaiters(blocks[i].object);

    // Already satisfiable: no blocks are linked yet, so finishing must not unlink them.
    if (waitType == WaitAny) {
        for (ULONG i = 0; i < count; i++)
            if (KeppIsSignalledFor(blocks[i].object, w.thread)) {
                KeppConsume(blocks[i].object, w.thread);
                return STATUS_WAIT_0 + (NTSTATUS)i;
            }
    } else {
        bool all = true;
        for (ULONG i = 0; i < count && all; i++)
            all = KeppIsSignalledFor(blocks[i].object, w.thread);
        if (all) {
            for (ULONG i = 0; i < count; i++)
                KeppConsume(blocks[i].object, w.thread);
            return STATUS_WAIT_0;
        }
    }
    if (realTimeout && *realTimeout == 0)
        return STATUS_TIMEOUT;

    for (ULONG i = 0; i < count; i++)
        InsertTailList(&blocks[i].object->WaitListHead, &blocks[i].entry);

    while (!w.satisfied) {
        // Sleep until the time-out or the earliest due time of a timer waited on.
        std::optional<SteadyClock::time_point> wakeAt = deadline;
        now = KepSimulatedNow();
        for (ULONG i = 0; i < count; i++) {
            DISPATCHER_HEADER *h = blocks[i].object;
            if (!KeppIsTimer(h) || !h->Inserted)
                continue;
            LONGLONG due = (LONGLONG)CONTAINING_RECORD(h, KTIMER, Header)->DueTime.QuadPart;
            auto at = SteadyClock::now() + std::chrono::nanoseconds(RealNanoseconds(due - now));
            if (!wakeAt || at < *wakeAt)
                wakeAt = at;
        }
        if (wakeAt)
            w.wake.wait_until(lock, *wakeAt);
        else
            w.wake.wait(lock);
        if (w.satisfied)
            break;
        now = KepSimulatedNow();
        for (ULONG i = 0; i < count && !w.satisfied; i++)
            if (KeppRefreshTimer(blocks[i].object, now))
                KeppWakeWaiters(blocks[i].object);
        if (w.satisfied)
            break;
        if (deadline && SteadyClock::now() >= *deadline) {
            for (ULONG i = 0; i < count; i++)
                RemoveEntryList(&blocks[i].entry);
            return STATUS_TIMEOUT;
        }
    }
    return w.status;
}

void KeppInitializeHeader(DISPATCHER_HEADER *h, UCHAR type, size_t size, LONG signalState)
{
    h->Type = type;
    h->Absolute = 0;
    h->Size = (UCHAR)(size / sizeof(LONG));
    h->Inserted = 0;
    h->SignalState = signalState;
    InitializeListHead(&h->WaitListHead);
}

void ExpCheckFastMutexAcquire(PFAST_MUTEX FastMutex, PKTHREAD self, const void *caller, const char *routine)
{
    KIRQL irql = KepCurrentIrql();
    if (irql > APC_LEVEL)
        KepBugCheck(BUGCHECK_IRQL_NOT_LESS_OR_EQUAL, irql, APC_LEVEL, (ULONG_PTR)FastMutex, caller,
                    std::string(routine) + " at IRQL " + std::to_string(irql));
    if (self && __atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) == self)
        KepBugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, KepViolationFastMutex, (ULONG_PTR)FastMutex, 0, caller,
                    std::string(routine) + " of a fast mutex that the calling thread already owns (a deadlock)");
}

LONG KeppSetEvent(PRKEVENT event)
{
    std::lock_guard<std::mutex> lock(DispatcherLock());
    LONG previous = event->Header.SignalState;
    if (previous == 0)
        KeppSignal(&event->Header);
    return previous;
}

} // namespace

namespace hk::internal {

NTSTATUS WaitForObject(PVOID object, PLARGE_INTEGER timeout)
{
    return KeppWait(1, &object, WaitAny, timeout, false, __builtin_return_address(0), "WaitForObject");
}

void KepSignalThreadObject(PKTHREAD thread)
{
    std::lock_guard<std::mutex> lock(DispatcherLock());
    KeppSignal(&thread->Header);
}

void KepInitializeThreadHeader(PKTHREAD thread)
{
    KeppInitializeHeader(&thread->Header, KepThread, sizeof(_KTHREAD), 0);
}

size_t KepWaiterCount(PVOID object)
{
    auto *h = static_cast<DISPATCHER_HEADER *>(object);
    std::lock_guard<std::mutex> lock(DispatcherLock());
    size_t n = 0;
    for (LIST_ENTRY *e = h->WaitListHead.Flink; e != &h->WaitListHead; e = e->Flink)
        n++;
    return n;
}

} // namespace hk::internal

extern "C" {

// --- Events --------------------------------------------------------------------------------------

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    KeppInitializeHeader(&Event->Header, Type == NotificationEvent ? KepEventNotification : KepEventSynchronization,
                         sizeof(KEVENT), State ? 1 : 0);
}

// `Wait` promises a wait right after the call; the real kernel keeps the dispatcher lock across the
// two, which changes nothing that a driver can observe here.
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    KeppRequireType(Event, KepEventNotification, KepEventSynchronization, __builtin_return_address(0), "KeSetEvent");
    return KeppSetEvent(Event);
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    KeppRequireType(Event, KepEventNotification, KepEventSynchronization, __builtin_return_address(0), "KeResetEvent");
    std::lock_guard<std::mutex> lock(DispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    KeppRequireType(Event, KepEventNotification, KepEventSynchronization, __builtin_return_address(0), "KeClearEvent");
    std::lock_guard<std::mutex> lock(DispatcherLock());
    Event->Header.SignalState = 0;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> lock(DispatcherLock());
    return Event->Header.SignalState;
}

// --- Semaphores ----------------------------------------------------------------------------------

VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit)
{
    KeppInitializeHeader(&Semaphore->Header, KepSemaphore, sizeof(KSEMAPHORE), Count);
    Semaphore->Limit = Limit;
}

LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait)
{
    const void *caller = __builtin_return_address(0);
    KeppRequireType(Semaphore, KepSemaphore, KepSemaphore, caller, "KeReleaseSemaphore");
    LONG previous;
    {
        std::lock_guard<std::mutex> lock(DispatcherLock());
        previous = Semaphore->Header.SignalState;
        int64_t next = (int64_t)previous + Adjustment;
        // The real kernel raises STATUS_SEMAPHORE_LIMIT_EXCEEDED for both, which no driver handles.
        if (Adjustment >= 0 && next <= Semaphore->Limit) {
            Semaphore->Header.SignalState = (LONG)next;
            KeppWakeWaiters(&Semaphore->Header);
            return previous;
        }
    }
    KepBugCheck(BUGCHECK_SEMAPHORE_LIMIT_EXCEEDED, (ULONG_PTR)Semaphore, (ULONG_PTR)(LONG_PTR)Adjustment, (ULONG_PTR)previous,
                caller,
                "KeReleaseSemaphore by " + std::to_string(Adjustment) + " with count " + std::to_string(previous) +
                    " and limit " + std::to_string(Semaphore->Limit) + ": semaphore limit exceeded");
}

LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore)
{
    std::lock_guard<std::mutex> lock(DispatcherLock());
    return Semaphore->Header.SignalState;
}

// --- Mutexes -------------------------------------------------------------------------------------

VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level)
{
    KeppInitializeHeader(&Mutex->Header, KepMutant, sizeof(KMUTEX), 1);
    Mutex->MutantListEntry.Flink = Mutex->MutantListEntry.Blink = nullptr;
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait)
{
    const void *caller = __builtin_return_address(0);
    KeppRequireType(Mutex, KepMutant, KepMutant, caller, "KeReleaseMutex");
    PKTHREAD self = CurrentThreadState().thread;
    {
        std::lock_guard<std::mutex> lock(DispatcherLock());
        LONG previous = Mutex->Header.SignalState;
        if (previous <= 0 && Mutex->OwnerThread == self) {
            Mutex->Header.SignalState = previous + 1;
            if (Mutex->Header.SignalState == 1) {
                Mutex->OwnerThread = nullptr;
                KeppWakeWaiters(&Mutex->Header);
            }
            return previous;
        }
    }
    KepBugCheck(KepBugCheckThreadNotMutexOwner, (ULONG_PTR)Mutex, (ULONG_PTR)Mutex->OwnerThread, (ULONG_PTR)self, caller,
                "KeReleaseMutex of a mutex that the calling thread does not own");
}

// --- Waits ---------------------------------------------------------------------------------------

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout)
{
    return KeppWait(1, &Object, WaitAny, Timeout, true, __builtin_return_address(0), "KeWaitForSingleObject");
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                        KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PVOID WaitBlockArray)
{
    const void *caller = __builtin_return_address(0);
    // The host keeps its own wait blocks, but a driver that omits the array for more objects than
    // a thread's built-in blocks would crash a real machine.
    if (Count > kThreadWaitObjects && !WaitBlockArray)
        KepBugCheck(KepBugCheckMaximumWaitObjectsExceeded, Count, 0, 0, caller,
                    "KeWaitForMultipleObjects on " + std::to_string(Count) + " objects without a wait block array");
    return KeppWait(Count, Object, WaitType, Timeout, true, caller, "KeWaitForMultipleObjects");
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    const void *caller = __builtin_return_address(0);
    KIRQL irql = KepCurrentIrql();
    if (irql >= DISPATCH_LEVEL)
        KepBugCheck(BUGCHECK_IRQL_NOT_LESS_OR_EQUAL, irql, DISPATCH_LEVEL, 0, caller,
                    "KeDelayExecutionThread at IRQL " + std::to_string(irql));
    if (!Interval)
        KepBugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, KepViolationBadDispatcherObject, 0, 0, caller,
                    "KeDelayExecutionThread without an interval");
    std::optional<int64_t> real = KeppRealTimeout(Interval);
    if (!real) {
        // A delay longer than any run: the thread never comes back, as on a real machine.
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    if (*real == 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::nanoseconds(*real));
    return STATUS_SUCCESS;
}

// --- Timers --------------------------------------------------------------------------------------

VOID NTAPI KeInitializeTimer(PKTIMER Timer)
{
    KeppInitializeHeader(&Timer->Header, KepTimerNotification, sizeof(KTIMER), 0);
    Timer->DueTime.QuadPart = 0;
    Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = nullptr;
    Timer->Dpc = nullptr;
    Timer->Period = 0;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, struct _KDPC *Dpc)
{
    const void *caller = __builtin_return_address(0);
    KeppRequireType(Timer, KepTimerNotification, KepTimerSynchronization, caller, "KeSetTimer");
    if (Dpc)
        KepBugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, KepViolationBadDispatcherObject, (ULONG_PTR)Timer,
                    (ULONG_PTR)Dpc, caller, "KeSetTimer with a DPC, which the host kernel does not run");
    std::lock_guard<std::mutex> lock(DispatcherLock());
    LONGLONG now = KepSimulatedNow();
    if (KeppRefreshTimer(&Timer->Header, now))
        KeppWakeWaiters(&Timer->Header);
    BOOLEAN wasInserted = Timer->Header.Inserted;
    LONGLONG due = DueTime.QuadPart;
    if (due < 0)
        due = due == LLONG_MIN || now > LLONG_MAX + due ? LLONG_MAX : now - due;
    Timer->DueTime.QuadPart = (ULONGLONG)due;
    Timer->Header.Absolute = DueTime.QuadPart > 0;
    Timer->Header.Inserted = TRUE;
    Timer->Header.SignalState = 0;
    // A due time already past expires now; waiters asleep on the old due time re-read the new one
    // only when they wake, so wake them to recompute.
    if (KeppRefreshTimer(&Timer->Header, now))
        KeppWakeWaiters(&Timer->Header);
    for (LIST_ENTRY *e = Timer->Header.WaitListHead.Flink; e != &Timer->Header.WaitListHead; e = e->Flink)
        CONTAINING_RECORD(e, WaitBlock, entry)->waiter->wake.notify_one();
    return wasInserted;
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer)
{
    KeppRequireType(Timer, KepTimerNotification, KepTimerSynchronization, __builtin_return_address(0), "KeCancelTimer");
    std::lock_guard<std::mutex> lock(DispatcherLock());
    if (KeppRefreshTimer(&Timer->Header, KepSimulatedNow()))
        KeppWakeWaiters(&Timer->Header);
    BOOLEAN wasInserted = Timer->Header.Inserted;
    Timer->Header.Inserted = FALSE;
    return wasInserted;
}

// --- Fast mutexes --------------------------------------------------------------------------------
// Count is 1 when free; each acquirer decrements it, and one that does not reach 0 waits on the
// synchronization event, which each release with waiters sets once.

VOID FASTCALL ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    FastMutex->OldIrql = PASSIVE_LEVEL;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    const void *caller = __builtin_return_address(0);
    PKTHREAD self = CurrentThreadState().thread;
    ExpCheckFastMutexAcquire(FastMutex, self, caller, "ExAcquireFastMutex");
    KIRQL oldIrql = KepRaiseIrql(APC_LEVEL, caller, "ExAcquireFastMutex");
    LONG count = InterlockedDecrement(&FastMutex->Count);
    if (count > 0)
        KepBugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, KepViolationFastMutex, (ULONG_PTR)FastMutex,
                    (ULONG_PTR)(count + 1), caller, "ExAcquireFastMutex of a fast mutex that was never initialised");
    if (count < 0) {
        InterlockedIncrement((LONG volatile *)&FastMutex->Contention);
        PVOID event = &FastMutex->Event;
        KeppWait(1, &event, WaitAny, nullptr, false, caller, "ExAcquireFastMutex");
    }
    __atomic_store_n(&FastMutex->Owner, (PVOID)self, __ATOMIC_RELAXED);
    FastMutex->OldIrql = oldIrql;
}

BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    const void *caller = __builtin_return_address(0);
    PKTHREAD self = CurrentThreadState().thread;
    KIRQL irql = KepCurrentIrql();
    if (irql > APC_LEVEL)
        KepBugCheck(BUGCHECK_IRQL_NOT_LESS_OR_EQUAL, irql, APC_LEVEL, (ULONG_PTR)FastMutex, caller,
                    "ExTryToAcquireFastMutex at IRQL " + std::to_string(irql));
    KIRQL oldIrql = KepRaiseIrql(APC_LEVEL, caller, "ExTryToAcquireFastMutex");
    if (InterlockedCompareExchange(&FastMutex->Count, 0, 1) != 1) {
        KepLowerIrql(oldIrql, caller, "ExTryToAcquireFastMutex");
        return FALSE;
    }
    __atomic_store_n(&FastMutex->Owner, (PVOID)self, __ATOMIC_RELAXED);
    FastMutex->OldIrql = oldIrql;
    return TRUE;
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    const void *caller = __builtin_return_address(0);
    PKTHREAD self = CurrentThreadState().thread;
    PVOID owner = __atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED);
    if (!owner || owner != self)
        KepBugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, KepViolationFastMutex, (ULONG_PTR)FastMutex,
                    (ULONG_PTR)owner, caller,
                    "ExReleaseFastMutex of a fast mutex that the calling thread does not own");
    KIRQL irql = KepCurrentIrql();
    if (irql != APC_LEVEL)
        KepBugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, KepViolationFastMutex, (ULONG_PTR)FastMutex, irql, caller,
                    "ExReleaseFastMutex at IRQL " + std::to_string(irql) + ", not APC_LEVEL");
    KIRQL oldIrql = (KIRQL)FastMutex->OldIrql;
    __atomic_store_n(&FastMutex->Owner, (PVOID) nullptr, __ATOMIC_RELAXED);
    if (InterlockedIncrement(&FastMutex->Count) != 1)
        KeppSetEvent(&FastMutex->Event);
    KepLowerIrql(oldIrql, caller, "ExReleaseFastMutex");
}

} // extern "C"
