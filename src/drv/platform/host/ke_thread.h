// The host kernel's thread object and the executive's private helpers shared by ke_*.cpp and
// ex_pool.cpp. Other parts of the host kernel may include this header for struct _KTHREAD.
#pragma once

#include "hk_internal.h"

#include <cstdint>
#include <string>

// A thread object, as ObReferenceObjectByHandle returns it for a thread handle. It begins with a
// dispatcher header so that waiting on it waits for the thread to end. Objects are zeroed by
// ObCreateObject and hold no host resources: the host thread behind a system thread is detached.
struct _KTHREAD {
    DISPATCHER_HEADER Header; // signalled when the thread ends
    KPRIORITY Priority;
    BOOLEAN SystemThread;     // created by PsCreateSystemThread (PsTerminateSystemThread is allowed)
    NTSTATUS ExitStatus;
    ULONG_PTR ThreadId;       // multiple of 4, unique for the life of the process
    PKSTART_ROUTINE StartRoutine;
    PVOID StartContext;
    const void *Creator;      // return address of the PsCreateSystemThread call, for messages
};

namespace hk::internal {

// Dispatcher object types, the values of the real kernel's Header.Type.
enum KepObjectType : UCHAR {
    KepEventNotification = 0,
    KepEventSynchronization = 1,
    KepMutant = 2,
    KepSemaphore = 5,
    KepThread = 6,
    KepTimerNotification = 8,
    KepTimerSynchronization = 9,
};

// The calling thread's state without creating its thread object (CurrentThreadState creates it).
ThreadState &KepRawThreadState();
// IRQL of the calling thread, safe to read in the pool's fault handler.
KIRQL KepCurrentIrql();

// IRQL changes on behalf of a routine called from `caller`, with the verifier's rules.
KIRQL KepRaiseIrql(KIRQL newIrql, const void *caller, const char *routine);
void KepLowerIrql(KIRQL newIrql, const void *caller, const char *routine);

// Bug check for a contract violation of the caller at `caller` (a return address into the driver):
// the message is `what`, then the routine that made the call. p4 is the caller's address.
[[noreturn]] void KepBugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, const void *caller,
                              const std::string &what);

// First parameter of DRIVER_VERIFIER_DETECTED_VIOLATION: 0x30 and 0x31 are the real verifier's
// codes, the others the host kernel's own. Then the executive's bug checks that host.h does not name.
enum : ULONG_PTR {
    KepViolationRaiseBelowCurrent = 0x30,
    KepViolationLowerAboveCurrent = 0x31,
    KepViolationSpinLockAtWrongIrql = 0x32,
    KepViolationSpinLockRecursive = 0x33,
    KepViolationSpinLockNotOwned = 0x34,
    KepViolationFastMutex = 0x35,
    KepViolationThreadEndedRaised = 0x36,
    KepViolationBadDispatcherObject = 0x37,
};
constexpr ULONG KepBugCheckThreadNotMutexOwner = 0x11;
constexpr ULONG KepBugCheckMaximumWaitObjectsExceeded = 0x0C;

// A new thread object's dispatcher header (not signalled); signalling it (the thread's end) wakes
// its waiters.
void KepInitializeThreadHeader(PKTHREAD thread);
void KepSignalThreadObject(PKTHREAD thread);

// Number of threads blocked on a dispatcher object right now. Lets tests wait until their helper
// threads really wait, instead of sleeping and hoping.
size_t KepWaiterCount(PVOID object);

// Simulated system time (100 ns units since 1601) and the simulated time of the last boot.
LONGLONG KepSimulatedNow();
LONGLONG KepSimulatedBootTime();
void KepResetClockForBoot(); // tick count and performance counter start again; the clock runs on

} // namespace hk::internal
