// Threads: per-thread state, thread objects, system threads.
//
// A system thread is a detached host thread that runs its start routine at PASSIVE_LEVEL in the
// system process. It ends when the routine returns or calls PsTerminateSystemThread, which jumps
// back to the thread's first frame: driver frames have no destructors, so nothing is skipped that
// needed to run. At its end the thread object is signalled, so a driver that waits on it (through
// the handle) knows the thread is out of its code before the image unloads.
//
// Reference counting: the thread object's first reference belongs to the running thread and is
// dropped at its end; the handle that PsCreateSystemThread returns holds a second one, which ZwClose
// drops.
#include "ke_thread.h"

#include <atomic>
#include <chrono>
#include <csetjmp>
#include <thread>

using namespace hk;
using namespace hk::internal;

namespace {

// Trivially destructible and constant-initialised: the pool's fault handler reads it.
thread_local ThreadState t_state;
thread_local bool t_creatingThreadObject = false;
thread_local std::jmp_buf *t_exitJump = nullptr;

// A host thread that is not a system thread gets a thread object on first use; its end (the
// thread_local's destruction) signals and releases it.
struct HostThreadObject {
    PKTHREAD thread = nullptr;
    ~HostThreadObject()
    {
        if (!thread)
            return;
        KepSignalThreadObject(thread);
        if (t_state.thread == thread)
            t_state.thread = nullptr;
        ObfDereferenceObject(thread);
    }
};
thread_local HostThreadObject t_hostThread;

// Real thread ids are multiples of 4; start above the ids the system process uses.
std::atomic<ULONG_PTR> g_nextThreadId{0x100};

// The default priority of a new thread (its process's base priority).
constexpr KPRIORITY kDefaultPriority = 8;

struct SystemThreads {
    std::mutex lock;
    std::condition_variable ended;
    size_t live = 0;
};

// Never destroyed: detached threads may still finish while the process exits.
SystemThreads &TheSystemThreads()
{
    static SystemThreads *threads = new SystemThreads;
    return *threads;
}

PKTHREAD KeppCreateThreadObject()
{
    auto *thread = static_cast<PKTHREAD>(ObCreateObject(ObType::Thread, sizeof(_KTHREAD), nullptr));
    if (!thread)
        return nullptr;
    KepInitializeThreadHeader(thread);
    thread->Priority = kDefaultPriority;
    thread->ThreadId = g_nextThreadId.fetch_add(4);
    return thread;
}

void KeppSystemThreadMain(PKTHREAD startThread)
{
    t_state.thread = startThread;
    t_state.irql = PASSIVE_LEVEL;
    t_state.process = nullptr; // the system process

    std::jmp_buf exitJump;
    t_exitJump = &exitJump;
    // Only the thread state is used across the jump: locals may live in registers it restores.
    if (setjmp(exitJump) == 0) {
        t_state.thread->ExitStatus = STATUS_SUCCESS;
        t_state.thread->StartRoutine(t_state.thread->StartContext);
    }
    t_exitJump = nullptr;
    PKTHREAD thread = t_state.thread;

    if (t_state.irql != PASSIVE_LEVEL) {
        // A spin lock or fast mutex still held: every later acquirer would hang.
        KIRQL irql = t_state.irql;
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, KepViolationThreadEndedRaised, irql,
                 (ULONG_PTR)thread->StartRoutine, 0,
                 "system thread " + DescribeAddress((const void *)thread->StartRoutine) + " ended at IRQL " +
                     std::to_string(irql));
    }

    KepSignalThreadObject(thread);
    t_state.thread = nullptr;
    ObfDereferenceObject(thread);

    SystemThreads &threads = TheSystemThreads();
    std::lock_guard<std::mutex> guard(threads.lock);
    threads.live--;
    threads.ended.notify_all();
}

} // namespace

namespace hk::internal {

ThreadState &KepRawThreadState()
{
    return t_state;
}

KIRQL KepCurrentIrql()
{
    return t_state.irql;
}

ThreadState &CurrentThreadState()
{
    // The guard covers an object manager that asks for the current thread while creating one.
    if (!t_state.thread && !t_creatingThreadObject) {
        t_creatingThreadObject = true;
        PKTHREAD thread = KeppCreateThreadObject();
        t_creatingThreadObject = false;
        if (thread) {
            t_hostThread.thread = thread;
            t_state.thread = thread;
        }
    }
    return t_state;
}

bool WaitForSystemThreads(int64_t realMilliseconds)
{
    SystemThreads &threads = TheSystemThreads();
    std::unique_lock<std::mutex> guard(threads.lock);
    return threads.ended.wait_for(guard, std::chrono::milliseconds(realMilliseconds), [&] { return threads.live == 0; });
}

size_t LiveSystemThreadCount()
{
    SystemThreads &threads = TheSystemThreads();
    std::lock_guard<std::mutex> guard(threads.lock);
    return threads.live;
}

void KeResetForBoot()
{
    KepResetClockForBoot();
}

} // namespace hk::internal

extern "C" {

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext)
{
    const void *caller = __builtin_return_address(0);
    KIRQL irql = KepCurrentIrql();
    if (irql != PASSIVE_LEVEL)
        KepBugCheck(BUGCHECK_IRQL_NOT_LESS_OR_EQUAL, irql, PASSIVE_LEVEL, 0, caller,
                    "PsCreateSystemThread at IRQL " + std::to_string(irql));
    if (!ThreadHandle || !StartRoutine)
        return STATUS_INVALID_PARAMETER;
    // Threads of user processes do not exist on the host: drivers create system threads only.
    if (ProcessHandle)
        return STATUS_NOT_SUPPORTED;

    if (InjectResourceFailure(AllocKind::Thread, caller))
        return STATUS_INSUFFICIENT_RESOURCES;
    PKTHREAD thread = KeppCreateThreadObject();
    if (!thread)
        return STATUS_INSUFFICIENT_RESOURCES;
    thread->SystemThread = TRUE;
    thread->StartRoutine = StartRoutine;
    thread->StartContext = StartContext;
    thread->Creator = caller;

    // The handle owns a reference of its own, which ZwClose drops.
    PEPROCESS system = SystemProcess();
    ObfReferenceObject(thread);
    HANDLE handle = ObCreateHandle(system, thread, DesiredAccess);
    if (!handle) {
        ObfDereferenceObject(thread);
        ObfDereferenceObject(thread);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (ClientId) {
        ClientId->UniqueProcess = (HANDLE)(system ? system->id : 0);
        ClientId->UniqueThread = (HANDLE)thread->ThreadId;
    }

    SystemThreads &threads = TheSystemThreads();
    {
        std::lock_guard<std::mutex> guard(threads.lock);
        threads.live++;
    }
    try {
        std::thread(KeppSystemThreadMain, thread).detach();
    } catch (const std::system_error &) {
        {
            std::lock_guard<std::mutex> guard(threads.lock);
            threads.live--;
        }
        ObCloseHandle(system, handle);
        ObfDereferenceObject(thread);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *ThreadHandle = handle;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    if (!t_exitJump || !t_state.thread || !t_state.thread->SystemThread)
        return STATUS_INVALID_PARAMETER;
    t_state.thread->ExitStatus = ExitStatus;
    std::longjmp(*t_exitJump, 1);
}

PKTHREAD NTAPI KeGetCurrentThread(VOID)
{
    return CurrentThreadState().thread;
}

KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    // Stored, not applied: host threads run at normal priority (real-time classes need privileges).
    return __atomic_exchange_n(&Thread->Priority, Priority, __ATOMIC_RELAXED);
}

KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread)
{
    return __atomic_load_n(&Thread->Priority, __ATOMIC_RELAXED);
}

PEPROCESS NTAPI IoGetCurrentProcess(VOID)
{
    return t_state.process ? t_state.process : SystemProcess();
}

HANDLE NTAPI PsGetCurrentProcessId(VOID)
{
    PEPROCESS process = IoGetCurrentProcess();
    return (HANDLE)(process ? process->id : 0);
}

HANDLE NTAPI PsGetCurrentThreadId(VOID)
{
    PKTHREAD thread = CurrentThreadState().thread;
    return (HANDLE)(thread ? thread->ThreadId : 0);
}

} // extern "C"
