// The executive of the host kernel: IRQL and spin locks, dispatcher objects and waits, fast
// mutexes, system threads, the scaled clock.
#include "hk/nt.h"
#include "hk/host.h"
#include "hk_internal.h"
#include "ke_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using hk::internal::KepWaiterCount;

constexpr LONGLONG kSecond = 10000000; // in 100 ns units

LARGE_INTEGER Time(LONGLONG value)
{
    LARGE_INTEGER t;
    t.QuadPart = value;
    return t;
}

LONGLONG Now()
{
    LARGE_INTEGER t;
    KeQuerySystemTime(&t);
    return t.QuadPart;
}

NTSTATUS Wait(PVOID object, LARGE_INTEGER *timeout = nullptr)
{
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout);
}

NTSTATUS Poll(PVOID object)
{
    LARGE_INTEGER zero = Time(0);
    return Wait(object, &zero);
}

NTSTATUS WaitMany(std::vector<PVOID> objects, WAIT_TYPE type, LARGE_INTEGER *timeout)
{
    return KeWaitForMultipleObjects((ULONG)objects.size(), objects.data(), type, Executive, KernelMode, FALSE, timeout,
                                    nullptr);
}

// Returns once `count` threads are blocked on `object`: the waits are in place, not about to be.
void AwaitWaiters(PVOID object, size_t count)
{
    while (KepWaiterCount(object) != count)
        std::this_thread::yield();
}

struct ScopedTimeScale {
    double previous;
    explicit ScopedTimeScale(double scale) : previous(hk::TimeScale()) { hk::SetTimeScale(scale); }
    ~ScopedTimeScale() { hk::SetTimeScale(previous); }
};

// ---------------------------------------------------------------------------------------------
// IRQL and locks
// ---------------------------------------------------------------------------------------------

TEST(Irql, RaiseAndLowerReturnToTheCallersLevel)
{
    const KIRQL levels[] = {PASSIVE_LEVEL, APC_LEVEL, DISPATCH_LEVEL, HIGH_LEVEL};
    for (KIRQL from : levels)
        for (KIRQL to : levels) {
            if (to < from)
                continue;
            KIRQL start, old;
            KeRaiseIrql(from, &start);
            KeRaiseIrql(to, &old);
            EXPECT_EQ(old, from);
            EXPECT_EQ(KeGetCurrentIrql(), to);
            KeLowerIrql(old);
            EXPECT_EQ(KeGetCurrentIrql(), from);
            KeLowerIrql(start);
        }
    KIRQL old = KeRaiseIrqlToDpcLevel();
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(old);
}

TEST(SpinLock, AcquireRaisesToDispatchAndReleaseRestores)
{
    for (KIRQL start : {(KIRQL)PASSIVE_LEVEL, (KIRQL)APC_LEVEL})
        for (bool raiseToDpcForm : {false, true}) {
            SCOPED_TRACE(testing::Message() << "IRQL " << (int)start << (raiseToDpcForm ? " RaiseToDpc" : ""));
            KIRQL before, old;
            KeRaiseIrql(start, &before);
            KSPIN_LOCK lock, inner;
            KeInitializeSpinLock(&lock);
            KeInitializeSpinLock(&inner);
            if (raiseToDpcForm)
                old = KeAcquireSpinLockRaiseToDpc(&lock);
            else
                KeAcquireSpinLock(&lock, &old);
            EXPECT_EQ(old, start);
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            KeAcquireSpinLockAtDpcLevel(&inner); // nests at DISPATCH_LEVEL
            EXPECT_NE(inner, 0u);
            KeReleaseSpinLockFromDpcLevel(&inner);
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            KeReleaseSpinLock(&lock, old);
            EXPECT_EQ(lock, 0u);
            EXPECT_EQ(inner, 0u);
            EXPECT_EQ(KeGetCurrentIrql(), start);
            KeLowerIrql(before);
        }
}

TEST(Locks, ExcludeOtherThreadsAtTheirIrql)
{
    KSPIN_LOCK spinLock;
    KeInitializeSpinLock(&spinLock);
    FAST_MUTEX fastMutex;
    ExInitializeFastMutex(&fastMutex);
    thread_local KIRQL spinOld;
    struct Case {
        const char *name;
        std::function<void()> acquire, release;
        KIRQL inside;
    };
    const Case cases[] = {
        {"spin lock", [&] { KeAcquireSpinLock(&spinLock, &spinOld); }, [&] { KeReleaseSpinLock(&spinLock, spinOld); },
         DISPATCH_LEVEL},
        {"fast mutex", [&] { ExAcquireFastMutex(&fastMutex); }, [&] { ExReleaseFastMutex(&fastMutex); }, APC_LEVEL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        long counter = 0; // deliberately not atomic: the lock must protect it
        std::atomic<int> inside{0}, overlaps{0}, wrongIrql{0};
        constexpr int kIterations = 10000;
        auto worker = [&] {
            for (int i = 0; i < kIterations; i++) {
                c.acquire();
                overlaps += inside.fetch_add(1) != 0;
                wrongIrql += KeGetCurrentIrql() != c.inside;
                counter++;
                inside--;
                c.release();
                wrongIrql += KeGetCurrentIrql() != PASSIVE_LEVEL;
            }
        };
        std::thread a(worker), b(worker);
        a.join();
        b.join();
        EXPECT_EQ(counter, 2L * kIterations);
        EXPECT_EQ(overlaps.load(), 0);
        EXPECT_EQ(wrongIrql.load(), 0);
    }
    EXPECT_EQ(fastMutex.Count, 1);
}

TEST(FastMutex, ContendedAcquireWaitsForTheRelease)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    BOOLEAN tried = TRUE;
    KIRQL irqlAfterTry = HIGH_LEVEL;
    std::thread([&] {
        tried = ExTryToAcquireFastMutex(&mutex);
        irqlAfterTry = KeGetCurrentIrql();
    }).join();
    EXPECT_FALSE(tried);
    EXPECT_EQ(irqlAfterTry, PASSIVE_LEVEL);

    std::atomic<bool> acquired{false};
    std::thread contender([&] {
        ExAcquireFastMutex(&mutex);
        acquired = true;
        ExReleaseFastMutex(&mutex);
    });
    AwaitWaiters(&mutex.Event, 1);
    EXPECT_FALSE(acquired.load());
    ExReleaseFastMutex(&mutex);
    contender.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_EQ(mutex.Count, 1);

    // Taken at APC_LEVEL, released back to APC_LEVEL.
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_TRUE(ExTryToAcquireFastMutex(&mutex));
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(old);
}

// ---------------------------------------------------------------------------------------------
// Dispatcher objects and waits
// ---------------------------------------------------------------------------------------------

TEST(Event, SynchronizationWakesOneWaiterNotificationWakesAll)
{
    struct Case {
        EVENT_TYPE type;
        size_t wokenBySet;
        LONG stateAfterSet;
    };
    for (const Case &c : {Case{SynchronizationEvent, 1, 0}, Case{NotificationEvent, 3, 1}}) {
        SCOPED_TRACE(c.type == SynchronizationEvent ? "synchronization" : "notification");
        KEVENT event;
        KeInitializeEvent(&event, c.type, FALSE);
        KSEMAPHORE done;
        KeInitializeSemaphore(&done, 0, 100);
        std::atomic<int> woken{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 3; i++)
            waiters.emplace_back([&] {
                woken += Wait(&event) == STATUS_WAIT_0;
                KeReleaseSemaphore(&done, 0, 1, FALSE);
            });
        AwaitWaiters(&event, 3);

        EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
        // Which waits a set satisfies is decided under the dispatcher lock, before KeSetEvent returns.
        EXPECT_EQ(KepWaiterCount(&event), 3 - c.wokenBySet);
        EXPECT_EQ(KeReadStateEvent(&event), c.stateAfterSet);
        for (size_t i = 0; i < c.wokenBySet; i++)
            EXPECT_EQ(Wait(&done), STATUS_WAIT_0);
        EXPECT_EQ(woken.load(), (int)c.wokenBySet);

        while (woken.load() < 3) {
            size_t before = KepWaiterCount(&event);
            KeSetEvent(&event, 0, FALSE);
            EXPECT_EQ(KepWaiterCount(&event), before - 1);
            EXPECT_EQ(Wait(&done), STATUS_WAIT_0);
        }
        for (auto &t : waiters)
            t.join();
    }
}

TEST(Semaphore, CountsDownOnWaitsAndUpOnReleases)
{
    KSEMAPHORE s;
    KeInitializeSemaphore(&s, 2, 3);
    EXPECT_EQ(Poll(&s), STATUS_WAIT_0);
    EXPECT_EQ(Poll(&s), STATUS_WAIT_0);
    EXPECT_EQ(Poll(&s), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&s, 0, 3, FALSE), 0);
    EXPECT_EQ(KeReleaseSemaphore(&s, 0, 0, FALSE), 3); // a zero adjustment at the limit is allowed

    // A release of 2 satisfies exactly two of three blocked waiters.
    KeInitializeSemaphore(&s, 0, 10);
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; i++)
        waiters.emplace_back([&] { EXPECT_EQ(Wait(&s), STATUS_WAIT_0); });
    AwaitWaiters(&s, 3);
    EXPECT_EQ(KeReleaseSemaphore(&s, 0, 2, FALSE), 0);
    EXPECT_EQ(KepWaiterCount(&s), 1u);
    EXPECT_EQ(KeReadStateSemaphore(&s), 0);
    KeReleaseSemaphore(&s, 0, 1, FALSE);
    for (auto &t : waiters)
        t.join();
    EXPECT_EQ(KeReadStateSemaphore(&s), 0);
}

TEST(Mutex, OwnerMayReacquireOthersWaitForTheLastRelease)
{
    KMUTEX m;
    KeInitializeMutex(&m, 0);
    auto pollFromAnotherThread = [&] {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        std::thread([&] {
            status = Poll(&m);
            if (status == STATUS_WAIT_0)
                KeReleaseMutex(&m, FALSE);
        }).join();
        return status;
    };
    EXPECT_EQ(Poll(&m), STATUS_WAIT_0);
    EXPECT_EQ(Poll(&m), STATUS_WAIT_0); // recursion
    EXPECT_EQ(m.OwnerThread, KeGetCurrentThread());
    EXPECT_EQ(KeReleaseMutex(&m, FALSE), -1);
    EXPECT_EQ(pollFromAnotherThread(), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseMutex(&m, FALSE), 0);
    EXPECT_EQ(pollFromAnotherThread(), STATUS_WAIT_0);

    // A blocked waiter becomes the owner at the release.
    EXPECT_EQ(Poll(&m), STATUS_WAIT_0);
    std::thread waiter([&] {
        EXPECT_EQ(Wait(&m), STATUS_WAIT_0);
        EXPECT_EQ(m.OwnerThread, KeGetCurrentThread());
        KeReleaseMutex(&m, FALSE);
    });
    AwaitWaiters(&m, 1);
    KeReleaseMutex(&m, FALSE);
    waiter.join();
    EXPECT_EQ(m.Header.SignalState, 1);
    EXPECT_EQ(m.OwnerThread, nullptr);
}

TEST(Wait, WaitAnyAndWaitAllOnPolls)
{
    // Objects: a synchronization event, a notification event, a synchronization event.
    struct Case {
        LONG before[3];
        WAIT_TYPE type;
        NTSTATUS status;
        LONG after[3];
    };
    const Case cases[] = {
        {{0, 0, 0}, WaitAny, STATUS_TIMEOUT, {0, 0, 0}},
        {{0, 1, 1}, WaitAny, STATUS_WAIT_0 + 1, {0, 1, 1}},
        {{0, 0, 1}, WaitAny, STATUS_WAIT_0 + 2, {0, 0, 0}},
        {{1, 1, 1}, WaitAny, STATUS_WAIT_0, {0, 1, 1}},
        {{1, 1, 0}, WaitAll, STATUS_TIMEOUT, {1, 1, 0}}, // an unsatisfied WaitAll takes nothing
        {{1, 1, 1}, WaitAll, STATUS_WAIT_0, {0, 1, 0}},
    };
    for (KIRQL irql : {(KIRQL)PASSIVE_LEVEL, (KIRQL)DISPATCH_LEVEL}) // polling is allowed at DISPATCH_LEVEL
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << (c.type == WaitAny ? "WaitAny " : "WaitAll ") << c.before[0]
                                            << c.before[1] << c.before[2] << " at IRQL " << (int)irql);
            KEVENT events[3];
            const EVENT_TYPE types[3] = {SynchronizationEvent, NotificationEvent, SynchronizationEvent};
            for (int i = 0; i < 3; i++)
                KeInitializeEvent(&events[i], types[i], (BOOLEAN)c.before[i]);
            LARGE_INTEGER zero = Time(0);
            KIRQL old;
            KeRaiseIrql(irql, &old);
            EXPECT_EQ(WaitMany({&events[0], &events[1], &events[2]}, c.type, &zero), c.status);
            KeLowerIrql(old);
            for (int i = 0; i < 3; i++)
                EXPECT_EQ(KeReadStateEvent(&events[i]), c.after[i]) << "object " << i;
        }
}

TEST(Wait, BlockedWaitAllCompletesOnlyWhenEveryObjectIsSignalled)
{
    KEVENT a, b;
    KeInitializeEvent(&a, SynchronizationEvent, FALSE);
    KeInitializeEvent(&b, SynchronizationEvent, FALSE);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::thread waiter([&] { status = WaitMany({&a, &b}, WaitAll, nullptr); });
    AwaitWaiters(&a, 1);
    KeSetEvent(&a, 0, FALSE);
    EXPECT_EQ(KepWaiterCount(&a), 1u); // still waiting, and `a` not taken
    EXPECT_EQ(KeReadStateEvent(&a), 1);
    KeSetEvent(&b, 0, FALSE);
    waiter.join();
    EXPECT_EQ(status, STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&a), 0);
    EXPECT_EQ(KeReadStateEvent(&b), 0);
}

// ---------------------------------------------------------------------------------------------
// Time-outs, delays and timers on the scaled clock
// ---------------------------------------------------------------------------------------------

TEST(Clock, ScaleConvertsSimulatedIntervalsAndNeverTurnsTheClockBack)
{
    struct Case {
        double scale;
        LONGLONG simulated;
        int64_t realNanoseconds;
    };
    const Case cases[] = {{1, kSecond, 1000000000}, {1000, 30 * kSecond, 30000000}, {0.5, kSecond, 2000000000},
                          {1000, 0, 0},             {1000, -kSecond, 0}};
    LONGLONG previous = Now();
    for (const Case &c : cases) {
        ScopedTimeScale scale(c.scale);
        EXPECT_EQ(hk::internal::RealNanoseconds(c.simulated), c.realNanoseconds) << "scale " << c.scale;
        EXPECT_GE(Now(), previous);
        previous = Now();
    }
    EXPECT_THROW(hk::SetTimeScale(0), std::invalid_argument);
    EXPECT_THROW(hk::SetTimeScale(-2), std::invalid_argument);
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    EXPECT_LE(ticks.QuadPart * KeQueryTimeIncrement(), Now() - hk::internal::KepSimulatedBootTime());
}

TEST(Clock, TimeOutsAndDelaysRunOnTheScaledClock)
{
    ScopedTimeScale scale(1000);
    KEVENT event, other;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeEvent(&other, SynchronizationEvent, FALSE);

    // A 30-second time-out passes in 30 ms, and no earlier on the simulated clock.
    LONGLONG before = Now();
    LARGE_INTEGER timeout = Time(-30 * kSecond);
    EXPECT_EQ(Wait(&event, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(Now() - before, 30 * kSecond - 1);

    timeout = Time(Now() + 10 * kSecond); // absolute
    EXPECT_EQ(Wait(&event, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(Now(), timeout.QuadPart - 1);
    timeout = Time(Now() - kSecond); // absolute, in the past
    EXPECT_EQ(Wait(&event, &timeout), STATUS_TIMEOUT);

    timeout = Time(-5 * kSecond);
    EXPECT_EQ(WaitMany({&event, &other}, WaitAny, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(KepWaiterCount(&event) + KepWaiterCount(&other), 0u); // no wait block left behind

    before = Now();
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_GE(Now() - before, 5 * kSecond - 1);

    // A signal during a wait with a time-out ends it with the object's status.
    timeout = Time(-3600 * kSecond);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::thread waiter([&] { status = Wait(&other, &timeout); });
    AwaitWaiters(&other, 1);
    KeSetEvent(&other, 0, FALSE);
    waiter.join();
    EXPECT_EQ(status, STATUS_WAIT_0);
}

TEST(Timer, SetCancelAndExpire)
{
    ScopedTimeScale scale(1000);
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_EQ(Poll(&timer), STATUS_TIMEOUT);

    // An hour away: pending throughout this part.
    EXPECT_FALSE(KeSetTimer(&timer, Time(-3600 * kSecond), nullptr));
    EXPECT_EQ(Poll(&timer), STATUS_TIMEOUT);
    EXPECT_TRUE(KeSetTimer(&timer, Time(-3600 * kSecond), nullptr));
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));

    // A notification timer stays signalled after it expires, and is no longer pending.
    EXPECT_FALSE(KeSetTimer(&timer, Time(-kSecond), nullptr));
    EXPECT_EQ(Wait(&timer), STATUS_WAIT_0);
    EXPECT_EQ(Poll(&timer), STATUS_WAIT_0);
    EXPECT_FALSE(KeCancelTimer(&timer));

    // Setting it again clears the signal; an absolute due time works the same.
    EXPECT_FALSE(KeSetTimer(&timer, Time(Now() + kSecond), nullptr));
    EXPECT_EQ(Poll(&timer), STATUS_TIMEOUT);
    EXPECT_EQ(Wait(&timer), STATUS_WAIT_0);

    // A timer wakes a WaitAny that nothing else satisfies.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeSetTimer(&timer, Time(-2 * kSecond), nullptr);
    EXPECT_EQ(WaitMany({&event, &timer}, WaitAny, nullptr), STATUS_WAIT_0 + 1);
}

// ---------------------------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------------------------

struct ThreadRun {
    KEVENT go;
    bool terminate = false;
    KIRQL irql = HIGH_LEVEL;
    PEPROCESS process = nullptr;
    HANDLE threadId = nullptr;
    KPRIORITY priorityBefore = -1, setReturned = -1;
    std::atomic<int> stage{0};
};

VOID NTAPI ThreadMain(PVOID context)
{
    auto *run = static_cast<ThreadRun *>(context);
    run->irql = KeGetCurrentIrql();
    run->process = IoGetCurrentProcess();
    run->threadId = PsGetCurrentThreadId();
    run->priorityBefore = KeQueryPriorityThread(KeGetCurrentThread());
    run->setReturned = KeSetPriorityThread(KeGetCurrentThread(), 16);
    Wait(&run->go);
    run->stage = 1;
    if (run->terminate) {
        PsTerminateSystemThread(STATUS_SUCCESS);
        run->stage = 2; // never reached
    }
}

TEST(SystemThread, RunsInTheSystemProcessAndEndsAsItsHandleSays)
{
    for (bool terminate : {false, true}) {
        SCOPED_TRACE(terminate ? "PsTerminateSystemThread" : "return from the start routine");
        ThreadRun run;
        run.terminate = terminate;
        KeInitializeEvent(&run.go, NotificationEvent, FALSE);
        HANDLE handle = nullptr;
        CLIENT_ID cid = {};
        ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, &cid, ThreadMain, &run),
                  STATUS_SUCCESS);
        PVOID thread = nullptr;
        ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(Poll(thread), STATUS_TIMEOUT); // blocked on `go`
        EXPECT_GE(hk::internal::LiveSystemThreadCount(), 1u);

        KeSetEvent(&run.go, 0, FALSE);
        EXPECT_EQ(Wait(thread), STATUS_WAIT_0);
        EXPECT_EQ(Poll(thread), STATUS_WAIT_0); // stays signalled
        EXPECT_EQ(run.stage.load(), 1);
        EXPECT_EQ(run.irql, PASSIVE_LEVEL);
        EXPECT_EQ(run.process, hk::internal::SystemProcess());
        EXPECT_EQ(run.threadId, cid.UniqueThread);
        EXPECT_NE(cid.UniqueThread, nullptr);
        EXPECT_EQ(run.setReturned, run.priorityBefore);
        EXPECT_EQ(KeQueryPriorityThread((PKTHREAD)thread), 16);

        ObDereferenceObject(thread);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        EXPECT_TRUE(hk::internal::WaitForSystemThreads(60000));
        EXPECT_EQ(hk::internal::LiveSystemThreadCount(), 0u);
    }
    EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER); // not a system thread
}

TEST(Thread, HostThreadsHaveThreadObjectsSignalledAtTheirEnd)
{
    PKTHREAD mine = KeGetCurrentThread();
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(IoGetCurrentProcess(), hk::internal::SystemProcess());
    PKTHREAD other = nullptr;
    HANDLE otherId = nullptr;
    std::thread t([&] {
        other = KeGetCurrentThread();
        otherId = PsGetCurrentThreadId();
        ObReferenceObject(other); // keep it past the thread's end
        EXPECT_EQ(Poll(other), STATUS_TIMEOUT);
    });
    t.join();
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, mine);
    EXPECT_NE(otherId, PsGetCurrentThreadId());
    EXPECT_EQ(Poll(other), STATUS_WAIT_0);
    ObDereferenceObject(other);
}

// ---------------------------------------------------------------------------------------------
// Contract violations
// ---------------------------------------------------------------------------------------------

VOID NTAPI EndRaised(PVOID)
{
    KeRaiseIrqlToDpcLevel();
}

TEST(ExecutiveDeathTest, ContractViolationsAreBugChecks)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    static KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    static FAST_MUTEX fastMutex;
    ExInitializeFastMutex(&fastMutex);
    static LARGE_INTEGER second = Time(-kSecond), zero = Time(0);
    auto raised = [](KIRQL irql, std::function<void()> body) {
        return [irql, body] {
            KIRQL old;
            KeRaiseIrql(irql, &old);
            body();
        };
    };
    struct Case {
        const char *name;
        std::function<void()> body;
        const char *message;
    };
    const Case cases[] = {
        {"lower above current", [] { KeLowerIrql(DISPATCH_LEVEL); }, "lowering may not raise the IRQL"},
        {"raise below current", raised(DISPATCH_LEVEL, [] { KIRQL o; KeRaiseIrql(APC_LEVEL, &o); }),
         "raising may not lower the IRQL"},
        {"spin lock acquired twice", [] { KIRQL o; KeAcquireSpinLock(&lock, &o); KeAcquireSpinLock(&lock, &o); },
         "acquired again by the thread that holds it"},
        {"AtDpcLevel at PASSIVE_LEVEL", [] { KeAcquireSpinLockAtDpcLevel(&lock); },
         "KeAcquireSpinLockAtDpcLevel at IRQL 0, not DISPATCH_LEVEL"},
        {"release of a lock not held", raised(DISPATCH_LEVEL, [] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); }),
         "does not hold it"},
        {"paged code at DISPATCH_LEVEL", raised(DISPATCH_LEVEL, [] { PAGED_CODE(); }), "pageable routine .* ran at IRQL 2"},
        {"wait without time-out at DISPATCH_LEVEL", raised(DISPATCH_LEVEL, [] { Wait(&event); }),
         "KeWaitForSingleObject at IRQL 2 without a time-out \\(called from "},
        {"wait with time-out at DISPATCH_LEVEL", raised(DISPATCH_LEVEL, [] { Wait(&event, &second); }),
         "KeWaitForSingleObject at IRQL 2 with a non-zero time-out"},
        {"poll above DISPATCH_LEVEL", raised(HIGH_LEVEL, [] { Wait(&event, &zero); }), "KeWaitForSingleObject at IRQL 15"},
        {"delay at DISPATCH_LEVEL", raised(DISPATCH_LEVEL, [] { KeDelayExecutionThread(KernelMode, FALSE, &second); }),
         "KeDelayExecutionThread at IRQL 2"},
        {"four objects without a wait block array",
         [] { WaitMany({&event, &event, &event, &event}, WaitAny, nullptr); }, "without a wait block array"},
        {"uninitialised event", [] { KEVENT e; memset(&e, 0xCD, sizeof e); Wait(&e); },
         "not an initialised dispatcher object"},
        {"semaphore past its limit", [] { KSEMAPHORE s; KeInitializeSemaphore(&s, 1, 2); KeReleaseSemaphore(&s, 0, 2, FALSE); },
         "semaphore limit exceeded"},
        {"semaphore negative adjustment", [] { KSEMAPHORE s; KeInitializeSemaphore(&s, 1, 2); KeReleaseSemaphore(&s, 0, -1, FALSE); },
         "semaphore limit exceeded"},
        {"mutex released by a non-owner", [] { KMUTEX m; KeInitializeMutex(&m, 0); KeReleaseMutex(&m, FALSE); },
         "does not own"},
        {"fast mutex acquired twice", [] { ExAcquireFastMutex(&fastMutex); ExAcquireFastMutex(&fastMutex); },
         "already owns"},
        {"fast mutex at DISPATCH_LEVEL", raised(DISPATCH_LEVEL, [] { ExAcquireFastMutex(&fastMutex); }),
         "ExAcquireFastMutex at IRQL 2"},
        {"fast mutex released without acquire", [] { ExReleaseFastMutex(&fastMutex); }, "does not own"},
        {"fast mutex released under a spin lock",
         [] { ExAcquireFastMutex(&fastMutex); KIRQL o; KeAcquireSpinLock(&lock, &o); ExReleaseFastMutex(&fastMutex); },
         "ExReleaseFastMutex at IRQL 2, not APC_LEVEL"},
        {"system thread ends at DISPATCH_LEVEL",
         [] {
             HANDLE h;
             PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EndRaised, nullptr);
             hk::internal::WaitForSystemThreads(60000);
         },
         "ended at IRQL 2"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DEATH(c.body(), c.message);
    }
}

} // namespace
