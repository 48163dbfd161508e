// IRQL and spin locks.
//
// IRQL is per thread; nothing is masked on the host, but the rules are enforced as the verifier
// would: no raising below or lowering above the current level, spin locks only at DISPATCH_LEVEL,
// no re-acquisition of a held spin lock (on a real machine the processor spins forever), and every
// change is reported to the pool so that paged pool becomes untouchable while a thread is raised.
#include "ke_thread.h"

#include <thread>

using namespace hk;
using namespace hk::internal;

namespace hk::internal {

static void KeppSetIrql(ThreadState &state, KIRQL newIrql)
{
    KIRQL oldIrql = state.irql;
    state.irql = newIrql;
    PagedPoolIrqlChanged(oldIrql, newIrql);
}

void KepBugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, const void *caller, const std::string &what)
{
    BugCheck(code, p1, p2, p3, (ULONG_PTR)caller, what + " (called from " + DescribeAddress(caller) + ")");
}

KIRQL KepRaiseIrql(KIRQL newIrql, const void *caller, const char *routine)
{
    ThreadState &state = KepRawThreadState();
    KIRQL oldIrql = state.irql;
    if (newIrql > HIGH_LEVEL)
        KepBugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, KepViolationRaiseBelowCurrent, oldIrql, newIrql, caller,
                    std::string(routine) + " to " + std::to_string(newIrql) + ", which is not an IRQL");
    if (newIrql < oldIrql)
        KepBugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, KepViolationRaiseBelowCurrent, oldIrql, newIrql, caller,
                    std::string(routine) + " to IRQL " + std::to_string(newIrql) + " from IRQL " +
                        std::to_string(oldIrql) + ": raising may not lower the IRQL");
    KeppSetIrql(state, newIrql);
    return oldIrql;
}

void KepLowerIrql(KIRQL newIrql, const void *caller, const char *routine)
{
    ThreadState &state = KepRawThreadState();
    if (newIrql > state.irql)
        KepBugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, KepViolationLowerAboveCurrent, state.irql, newIrql, caller,
                    std::string(routine) + " to IRQL " + std::to_string(newIrql) + " from IRQL " +
                        std::to_string(state.irql) + ": lowering may not raise the IRQL");
    KeppSetIrql(state, newIrql);
}

} // namespace hk::internal

namespace {
// The lock word holds the owner's token: the address of its thread state, unique among live threads
// and never odd, so an odd word (the pool's fill pattern, for instance) is a lock nobody initialised.
ULONG_PTR KeppSpinLockToken()
{
    return (ULONG_PTR)&KepRawThreadState();
}

inline void KeppCpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

void KeppAcquireSpinLock(PKSPIN_LOCK lock, const void *caller)
{
    ULONG_PTR token = KeppSpinLockToken();
    ULONG_PTR word = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (word == token)
        KepBugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, KepViolationSpinLockRecursive, (ULONG_PTR)lock, 0, caller,
                    "spin lock acquired again by the thread that holds it (a deadlock on a real machine)");
    for (unsigned spins = 0;;) {
        if (word & 1)
            KepBugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, KepViolationBadDispatcherObject, (ULONG_PTR)lock,
                        word, caller, "spin lock that was never initialised");
        ULONG_PTR expected = 0;
        if (word == 0 &&
            __atomic_compare_exchange_n(lock, &expected, token, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            return;
        // The holder may have been preempted (threads at DISPATCH_LEVEL are not pinned to a
        // processor here), so give the processor away now and then instead of spinning for a slice.
        if (++spins % 64 == 0)
            std::this_thread::yield();
        else
            KeppCpuRelax();
        word = __atomic_load_n(lock, __ATOMIC_RELAXED);
    }
}

void KeppReleaseSpinLock(PKSPIN_LOCK lock, const void *caller)
{
    ULONG_PTR word = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (word != KeppSpinLockToken())
        KepBugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, KepViolationSpinLockNotOwned, (ULONG_PTR)lock, word, caller,
                    "spin lock released by a thread that does not hold it");
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

void KeppRequireDispatchLevel(PKSPIN_LOCK lock, const void *caller, const char *routine)
{
    KIRQL irql = KepCurrentIrql();
    if (irql != DISPATCH_LEVEL)
        KepBugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, KepViolationSpinLockAtWrongIrql, (ULONG_PTR)lock, irql,
                    caller, std::string(routine) + " at IRQL " + std::to_string(irql) + ", not DISPATCH_LEVEL");
}

} // namespace

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID)
{
    return KepCurrentIrql();
}

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    *OldIrql = KepRaiseIrql(NewIrql, __builtin_return_address(0), "KeRaiseIrql");
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql)
{
    KepLowerIrql(NewIrql, __builtin_return_address(0), "KeLowerIrql");
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID)
{
    return KepRaiseIrql(DISPATCH_LEVEL, __builtin_return_address(0), "KeRaiseIrqlToDpcLevel");
}

VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql)
{
    const void *caller = __builtin_return_address(0);
    KIRQL oldIrql = KepRaiseIrql(DISPATCH_LEVEL, caller, "KeAcquireSpinLock");
    KeppAcquireSpinLock(SpinLock, caller);
    *OldIrql = oldIrql;
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    const void *caller = __builtin_return_address(0);
    KIRQL oldIrql = KepRaiseIrql(DISPATCH_LEVEL, caller, "KeAcquireSpinLockRaiseToDpc");
    KeppAcquireSpinLock(SpinLock, caller);
    return oldIrql;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    const void *caller = __builtin_return_address(0);
    KeppRequireDispatchLevel(SpinLock, caller, "KeReleaseSpinLock");
    KeppReleaseSpinLock(SpinLock, caller);
    KepLowerIrql(NewIrql, caller, "KeReleaseSpinLock");
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    const void *caller = __builtin_return_address(0);
    KeppRequireDispatchLevel(SpinLock, caller, "KeAcquireSpinLockAtDpcLevel");
    KeppAcquireSpinLock(SpinLock, caller);
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    const void *caller = __builtin_return_address(0);
    KeppRequireDispatchLevel(SpinLock, caller, "KeReleaseSpinLockFromDpcLevel");
    KeppReleaseSpinLock(SpinLock, caller);
}

VOID NTAPI HkAssertPagedCode(const char *Function)
{
    KIRQL irql = KepCurrentIrql();
    if (irql > APC_LEVEL)
        KepBugCheck(BUGCHECK_IRQL_NOT_LESS_OR_EQUAL, irql, APC_LEVEL, 0, __builtin_return_address(0),
                    std::string("pageable routine ") + (Function ? Function : "?") + " ran at IRQL " +
                        std::to_string(irql));
}

} // extern "C"
