// Pool: tagged allocations with the verifier's bookkeeping.
//
// Every block is tracked (tag, size, type, kind, owning driver, sequence number) until it is freed,
// lies between guard bytes that are checked at free, starts filled with a non-zero pattern (a driver
// that forgets to initialise a field sees garbage, as on a real machine) and is refilled with
// another when freed. Freed non-paged blocks wait in a quarantine before their memory is reused, so
// that a late access reads the freed pattern and a second free is recognised as such.
//
// Low-resource simulation fails chosen driver allocations deterministically; allocations of host
// code (the I/O manager's own requests) are never failed, as the real verifier fails only the
// verified drivers' allocations.
//
// Paged pool: each paged block has whole pages of its own in a reserved region. While any thread
// runs at DISPATCH_LEVEL or above, the pages of every paged block are inaccessible; the fault
// handler decides: a thread at raised IRQL touched pageable memory (bug check), or a thread at low
// IRQL did (its block is made accessible again and the access repeats). A real machine only faults
// when the page happens to be out, so this finds such bugs where a real one finds them by luck.
// Host code that hands a paged block to a system call should touch it first: the kernel reports
// EFAULT for an inaccessible page instead of raising the fault.
#include "ex_pool.h"
#include "ke_thread.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <signal.h>
#include <strings.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>
#include <unordered_map>

using namespace hk;
using namespace hk::internal;

namespace {

constexpr uint8_t kNewFill = 0xCD;   // a new block
constexpr uint8_t kFreedFill = 0xDD; // a freed block in quarantine
constexpr uint8_t kGuardFill = 0xFD; // the guard bytes around every block
constexpr size_t kBackGuard = 16;    // at least this many guard bytes after the data
constexpr size_t kMaxBlockSize = size_t(1) << 32;
constexpr size_t kQuarantineBlocks = 1024;
constexpr size_t kQuarantineBytes = size_t(8) << 20;
constexpr size_t kPagedRegionBytes = size_t(256) << 20;
constexpr ULONG kProtectedPoolBit = 0x80000000;
constexpr size_t kMaxListedLeaks = 100;
constexpr ULONG kNoTag = 0x656e6f4e; // "None", the tag of ExAllocatePool

// First parameter of BAD_POOL_CALLER, as the real kernel reports them.
enum : ULONG_PTR {
    kBadPoolFreedTwice = 0x07,
    kBadPoolAllocateIrql = 0x08,
    kBadPoolFreeIrql = 0x09,
    kBadPoolWrongTag = 0x0A,
    kBadPoolNotABlock = 0x46,
};
// First parameter of DRIVER_VERIFIER_DETECTED_VIOLATION for pool left behind.
constexpr ULONG_PTR kPoolLeaked = 0x62;

struct Block {
    uint8_t *base = nullptr; // the whole allocation: front guard, data, back guard
    size_t length = 0;       // whole pages when paged
    size_t front = 0;        // guard bytes before the data
    size_t size = 0;
    POOL_TYPE type = NonPagedPool;
    AllocKind kind = AllocKind::Pool;
    ULONG tag = 0;
    std::string driver;
    uint64_t sequence = 0;
    const void *caller = nullptr;
    bool paged = false;
    bool leakReported = false;
};

struct FreedBlock {
    Block block;
    const void *freedBy = nullptr;
};

struct Pool {
    std::mutex lock;
    std::unordered_map<const void *, Block> live;
    // Freed blocks by data address; the order keeps (address, sequence) so that an address reused
    // by a later paged block is not evicted under its new owner.
    std::unordered_map<const void *, FreedBlock> quarantined;
    std::deque<std::pair<const void *, uint64_t>> quarantineOrder;
    size_t quarantineBytes = 0;
    // Leaked blocks forgotten at a new boot: kept, so that nothing frees memory a straggler might
    // still reach, and reachable, so that a leak checker does not report the kernel.
    std::vector<Block> abandoned;
    std::map<uint8_t *, size_t> pagedRuns; // base -> length of every live paged block
    bool pagedProtected = false;           // the protection the last reconcile applied
    size_t pagedCursor = 0;                // next page to try, so that freed pages rest a while

    uint64_t sequence = 0;
    uint64_t driverAllocations = 0;
    uint64_t injectedFailures = 0;
    uint64_t faultCounter = 0; // allocations eligible for injection since the faults were set
    uint64_t kindCounter = 0;  // of them, those of the kind the faults name
    VerifierFaults faults;
};

// Never destroyed: system threads may still free pool while the process exits.
Pool &ThePool()
{
    static Pool *pool = new Pool;
    return *pool;
}

// The paged region, readable by the fault handler without locks. The base is published last.
enum : uint8_t { kPageFree = 0, kPageFirst = 1, kPageMore = 2 };
std::atomic<uintptr_t> g_regionBase{0};
size_t g_regionPages = 0;
size_t g_pageSize = 0;
std::atomic<uint8_t> *g_pageState = nullptr;
std::atomic<size_t> g_pagedBlocks{0};
std::atomic<int> g_raisedThreads{0};
// Off only for measurements: the guard re-protects all paged pool at every change to and from
// DISPATCH_LEVEL, which costs more than the drivers' own work.
std::atomic<bool> g_pagedGuard{true};
struct sigaction g_previousSegv;

size_t RoundUp(size_t value, size_t unit)
{
    return (value + unit - 1) / unit * unit;
}

bool EqualsNoCase(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

const char *PoolTypeName(POOL_TYPE type)
{
    switch (type) {
    case NonPagedPool: return "NonPagedPool";
    case PagedPool: return "PagedPool";
    case NonPagedPoolMustSucceed: return "NonPagedPoolMustSucceed";
    case NonPagedPoolCacheAligned: return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned: return "PagedPoolCacheAligned";
    case NonPagedPoolNx: return "NonPagedPoolNx";
    default: return "unknown pool type";
    }
}

std::string DescribeBlock(const Block &b)
{
    return "'" + TagText(b.tag) + "' " + std::to_string(b.size) + " bytes " + PoolTypeName(b.type) + " #" +
           std::to_string(b.sequence) + " of " + (b.driver.empty() ? std::string("the host") : b.driver);
}

// --- Paged region (caller holds the pool lock) --------------------------------------------------

[[noreturn]] void PagedFault(uintptr_t address, const void *ip, bool write, KIRQL irql, bool freed);

void PagedFaultHandler(int signal, siginfo_t *info, void *context)
{
    uintptr_t base = g_regionBase.load(std::memory_order_acquire);
    uintptr_t address = (uintptr_t)info->si_addr;
    if (base && address >= base && address < base + g_regionPages * g_pageSize) {
        const void *ip = nullptr;
        bool write = false;
#if defined(__x86_64__)
        auto *uc = static_cast<ucontext_t *>(context);
        ip = (const void *)uc->uc_mcontext.gregs[REG_RIP];
        write = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#endif
        size_t page = (address - base) / g_pageSize;
        uint8_t state = g_pageState[page].load();
        KIRQL irql = KepCurrentIrql();
        if (state == kPageFree)
            PagedFault(address, ip, write, irql, true);
        if (irql >= DISPATCH_LEVEL)
            PagedFault(address, ip, write, irql, false);
        size_t first = page;
        while (first > 0 && g_pageState[first].load() == kPageMore)
            first--;
        size_t last = page + 1;
        while (last < g_regionPages && g_pageState[last].load() == kPageMore)
            last++;
        mprotect((void *)(base + first * g_pageSize), (last - first) * g_pageSize, PROT_READ | PROT_WRITE);
        return;
    }
    // Not ours: hand the fault to whoever handled it before (a sanitizer, or the default action,
    // which the repeated access then takes).
    if (g_previousSegv.sa_flags & SA_SIGINFO) {
        if (g_previousSegv.sa_sigaction) {
            g_previousSegv.sa_sigaction(signal, info, context);
            return;
        }
    } else if (g_previousSegv.sa_handler != SIG_DFL && g_previousSegv.sa_handler != SIG_IGN) {
        g_previousSegv.sa_handler(signal);
        return;
    }
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGSEGV, &dfl, nullptr);
}

void PagedFault(uintptr_t address, const void *ip, bool write, KIRQL irql, bool freed)
{
    std::string what = freed ? "freed paged pool touched" : "paged pool touched at IRQL " + std::to_string(irql);
    // The faulting thread cannot hold the pool lock (the pool makes its blocks accessible before
    // touching them), but do not wait on it in a signal handler all the same.
    Pool &pool = ThePool();
    if (!freed && pool.lock.try_lock()) {
        for (const auto &[data, b] : pool.live)
            if (b.paged && address >= (uintptr_t)b.base && address < (uintptr_t)b.base + b.length) {
                what += ": block " + DescribeBlock(b) + ", offset " + std::to_string((intptr_t)(address - (uintptr_t)data));
                break;
            }
        pool.lock.unlock();
    }
    char where[32];
    snprintf(where, sizeof where, "0x%llx", (unsigned long long)address);
    BugCheck(BUGCHECK_PAGE_FAULT_IN_NONPAGED_AREA, address, write ? 1 : 0, (ULONG_PTR)ip, irql,
             what + " (" + (write ? "write" : "read") + " of " + where + " by " + DescribeAddress(ip) + ")");
}

bool EnsurePagedRegion()
{
    if (g_regionBase.load(std::memory_order_relaxed))
        return true;
    g_pageSize = (size_t)sysconf(_SC_PAGESIZE);
    void *region = mmap(nullptr, kPagedRegionBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region == MAP_FAILED)
        return false;
    g_regionPages = kPagedRegionBytes / g_pageSize;
    g_pageState = new std::atomic<uint8_t>[g_regionPages]();

    struct sigaction action = {};
    action.sa_sigaction = PagedFaultHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &g_previousSegv);
    g_regionBase.store((uintptr_t)region, std::memory_order_release);
    return true;
}

uint8_t *AllocatePages(Pool &pool, size_t count)
{
    if (!EnsurePagedRegion() || count == 0 || count > g_regionPages)
        return nullptr;
    auto *base = (uint8_t *)g_regionBase.load(std::memory_order_relaxed);
    size_t scanned = 0;
    while (scanned < g_regionPages) {
        size_t start = (pool.pagedCursor + scanned) % g_regionPages;
        if (start + count > g_regionPages) {
            scanned += g_regionPages - start;
            continue;
        }
        size_t run = 0;
        while (run < count && g_pageState[start + run].load() == kPageFree)
            run++;
        if (run < count) {
            scanned += run + 1;
            continue;
        }
        uint8_t *pages = base + start * g_pageSize;
        if (mprotect(pages, count * g_pageSize, PROT_READ | PROT_WRITE) != 0)
            return nullptr;
        for (size_t i = 0; i < count; i++)
            g_pageState[start + i].store(i == 0 ? kPageFirst : kPageMore);
        pool.pagedCursor = (start + count) % g_regionPages;
        return pages;
    }
    return nullptr;
}

void FreePages(uint8_t *pages, size_t length)
{
    auto base = g_regionBase.load(std::memory_order_relaxed);
    size_t first = ((uintptr_t)pages - base) / g_pageSize;
    mprotect(pages, length, PROT_NONE);
    madvise(pages, length, MADV_DONTNEED);
    for (size_t i = 0; i < length / g_pageSize; i++)
        g_pageState[first + i].store(kPageFree);
}

// Makes the paged blocks' protection match the IRQL of all threads.
void ReconcilePagedProtection(Pool &pool)
{
    bool protect = g_pagedGuard.load() && g_raisedThreads.load() > 0;
    if (protect == pool.pagedProtected)
        return;
    for (const auto &[base, length] : pool.pagedRuns)
        mprotect(base, length, protect ? PROT_NONE : PROT_READ | PROT_WRITE);
    pool.pagedProtected = protect;
}

// --- Quarantine (caller holds the pool lock) ----------------------------------------------------

void EvictQuarantine(Pool &pool, size_t keepBlocks, size_t keepBytes)
{
    while (!pool.quarantineOrder.empty() &&
           (pool.quarantineOrder.size() > keepBlocks || pool.quarantineBytes > keepBytes)) {
        auto [data, sequence] = pool.quarantineOrder.front();
        pool.quarantineOrder.pop_front();
        auto it = pool.quarantined.find(data);
        if (it == pool.quarantined.end() || it->second.block.sequence != sequence)
            continue;
        if (!it->second.block.paged) {
            pool.quarantineBytes -= it->second.block.length;
            std::free(it->second.block.base);
        }
        pool.quarantined.erase(it);
    }
}

// Whether this allocation is one the low-resource simulation fails.
bool ShouldInject(Pool &pool, POOL_TYPE type, ULONG tag, AllocKind kind, const std::string &service)
{
    const VerifierFaults &f = pool.faults;
    if (type == NonPagedPoolMustSucceed)
        return false;
    if (!f.onlyDriver.empty() && !EqualsNoCase(f.onlyDriver, service))
        return false;
    pool.faultCounter++;
    if (f.failNth && pool.faultCounter == f.failNth)
        return true;
    if (f.failTag && ((tag ^ f.failTag) & ~kProtectedPoolBit) == 0)
        return true;
    if (f.failKindEnabled && (f.failKind == AllocKind::Any || f.failKind == kind)) {
        if (!f.failNthOfKind)
            return true;
        if (++pool.kindCounter == f.failNthOfKind)
            return true;
    }
    return false;
}

size_t FirstBadGuardByte(const Block &b)
{
    for (size_t i = 0; i < b.front; i++)
        if (b.base[i] != kGuardFill)
            return i;
    for (size_t i = b.front + b.size; i < b.length; i++)
        if (b.base[i] != kGuardFill)
            return i;
    return SIZE_MAX;
}

} // namespace

namespace hk::internal {

bool InjectResourceFailure(AllocKind kind, const void *caller)
{
    std::string service = ImageService(caller);
    if (service.empty())
        return false;
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.driverAllocations++;
    if (!ShouldInject(pool, NonPagedPool, 0, kind, service))
        return false;
    pool.injectedFailures++;
    return true;
}

void *PoolAllocateAs(POOL_TYPE type, size_t size, ULONG tag, AllocKind kind, const std::string &service,
                     const void *caller)
{
    bool paged = (type & PagedPool) != 0;
    KIRQL irql = KepCurrentIrql();
    if (irql > (paged ? APC_LEVEL : DISPATCH_LEVEL))
        KepBugCheck(BUGCHECK_BAD_POOL_CALLER, kBadPoolAllocateIrql, irql, type, caller,
                    std::string(PoolTypeName(type)) + " allocated at IRQL " + std::to_string(irql) + " (tag '" +
                        TagText(tag) + "', " + std::to_string(size) + " bytes)");

    Pool &pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    uint64_t sequence = ++pool.sequence;
    if (!service.empty()) {
        pool.driverAllocations++;
        if (ShouldInject(pool, type, tag, kind, service)) {
            pool.injectedFailures++;
            return nullptr;
        }
    }
    if (size > kMaxBlockSize)
        return nullptr;

    Block b;
    size_t align = (type & NonPagedPoolCacheAligned) ? 64 : 16;
    b.front = align;
    b.size = size;
    b.type = type;
    b.kind = kind;
    b.tag = tag;
    b.driver = service;
    b.sequence = sequence;
    b.caller = caller;
    b.paged = paged;
    if (paged) {
        if (!EnsurePagedRegion())
            return nullptr;
        b.length = RoundUp(b.front + size + kBackGuard, g_pageSize);
        b.base = AllocatePages(pool, b.length / g_pageSize);
    } else {
        b.length = b.front + RoundUp(size + kBackGuard, align);
        b.base = static_cast<uint8_t *>(std::aligned_alloc(align, b.length));
    }
    if (!b.base)
        return nullptr;

    uint8_t *data = b.base + b.front;
    memset(b.base, kGuardFill, b.front);
    memset(data, kNewFill, size);
    memset(data + size, kGuardFill, b.length - b.front - size);

    // A paged block may reuse the pages of a quarantined one: that record is history now.
    if (auto old = pool.quarantined.find(data); old != pool.quarantined.end()) {
        if (!old->second.block.paged)
            pool.quarantineBytes -= old->second.block.length;
        pool.quarantined.erase(old);
    }
    if (paged) {
        pool.pagedRuns[b.base] = b.length;
        g_pagedBlocks.fetch_add(1);
        ReconcilePagedProtection(pool);
        if (pool.pagedProtected)
            mprotect(b.base, b.length, PROT_NONE);
    }
    pool.live.emplace(data, std::move(b));
    return data;
}

void *PoolAllocate(POOL_TYPE type, size_t size, ULONG tag, AllocKind kind, const void *caller)
{
    // No caller: the I/O manager's own allocation for a user request, which belongs to no driver.
    return PoolAllocateAs(type, size, tag, kind, caller ? ImageService(caller) : std::string(), caller);
}

void PoolFree(void *block, ULONG expectedTag, const void *caller)
{
    if (!block)
        KepBugCheck(BUGCHECK_BAD_POOL_CALLER, kBadPoolNotABlock, 0, expectedTag, caller, "pool free of a null pointer");

    Pool &pool = ThePool();
    std::unique_lock<std::mutex> guard(pool.lock);
    auto it = pool.live.find(block);
    if (it == pool.live.end()) {
        auto freed = pool.quarantined.find(block);
        if (freed != pool.quarantined.end()) {
            // Symbolisation may take the loader's lock: never under the pool's.
            std::string what = "pool block freed twice: " + DescribeBlock(freed->second.block);
            const void *freedBy = freed->second.freedBy;
            ULONG tag = freed->second.block.tag;
            guard.unlock();
            KepBugCheck(BUGCHECK_BAD_POOL_CALLER, kBadPoolFreedTwice, (ULONG_PTR)block, tag, caller,
                        what + ", first freed from " + DescribeAddress(freedBy));
        }
        guard.unlock();
        char address[32];
        snprintf(address, sizeof address, "%p", block);
        KepBugCheck(BUGCHECK_BAD_POOL_CALLER, kBadPoolNotABlock, (ULONG_PTR)block, expectedTag, caller,
                    std::string("pool free of ") + address + ", which is not a pool block");
    }

    Block &b = it->second;
    KIRQL irql = KepCurrentIrql();
    if (irql > (b.paged ? APC_LEVEL : DISPATCH_LEVEL)) {
        std::string what = "pool block " + DescribeBlock(b) + " freed at IRQL " + std::to_string(irql);
        guard.unlock();
        KepBugCheck(BUGCHECK_BAD_POOL_CALLER, kBadPoolFreeIrql, irql, (ULONG_PTR)block, caller, what);
    }
    if (expectedTag && ((expectedTag ^ b.tag) & ~kProtectedPoolBit) != 0) {
        std::string what = "pool block " + DescribeBlock(b) + " freed with the wrong tag '" + TagText(expectedTag) + "'";
        ULONG tag = b.tag;
        guard.unlock();
        KepBugCheck(BUGCHECK_BAD_POOL_CALLER, kBadPoolWrongTag, (ULONG_PTR)block, tag, caller, what);
    }
    if (b.paged)
        mprotect(b.base, b.length, PROT_READ | PROT_WRITE);
    size_t bad = FirstBadGuardByte(b);
    if (bad != SIZE_MAX) {
        long offset = (long)bad - (long)b.front;
        std::string what = "pool block " + DescribeBlock(b) + " corrupted: guard byte at offset " +
                           std::to_string(offset) + (offset < 0 ? " (before the block)" : " (after the block)") +
                           " was overwritten";
        size_t size = b.size;
        guard.unlock();
        KepBugCheck(BUGCHECK_DRIVER_CORRUPTED_EXPOOL, (ULONG_PTR)block, size, (ULONG_PTR)offset, caller, what);
    }

    FreedBlock freed{std::move(b), caller};
    pool.live.erase(it);
    if (freed.block.paged) {
        pool.pagedRuns.erase(freed.block.base);
        g_pagedBlocks.fetch_sub(1);
        FreePages(freed.block.base, freed.block.length);
    } else {
        memset(freed.block.base + freed.block.front, kFreedFill, freed.block.size);
        pool.quarantineBytes += freed.block.length;
    }
    pool.quarantineOrder.emplace_back(block, freed.block.sequence);
    pool.quarantined[block] = std::move(freed);
    EvictQuarantine(pool, kQuarantineBlocks, kQuarantineBytes);
}

bool IsPoolBlock(const void *block)
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    return pool.live.count(block) != 0;
}

void PoolCheckLeaks(const std::string &service)
{
    Pool &pool = ThePool();
    std::vector<Block> leaked;
    {
        std::lock_guard<std::mutex> guard(pool.lock);
        for (auto &[data, b] : pool.live)
            if (!b.leakReported && (service.empty() || EqualsNoCase(b.driver, service))) {
                // Reported once: the machine's final check does not repeat what an unload reported.
                b.leakReported = true;
                leaked.push_back(b);
            }
    }
    if (leaked.empty())
        return;
    // Formatted outside the pool lock: symbolisation may take the loader's lock, which the loader
    // may hold while it checks an unloading driver.
    std::sort(leaked.begin(), leaked.end(), [](const Block &a, const Block &b) { return a.sequence < b.sequence; });
    size_t bytes = 0;
    for (const Block &b : leaked)
        bytes += b.size;
    std::string what = (service.empty() ? std::string("pool leaked") : "pool leaked by " + service) + ": " +
                       std::to_string(leaked.size()) + (leaked.size() == 1 ? " block, " : " blocks, ") +
                       std::to_string(bytes) + " bytes, first " + DescribeBlock(leaked.front());
    for (size_t i = 0; i < leaked.size() && i < kMaxListedLeaks; i++)
        what += "\n  " + DescribeBlock(leaked[i]) + ", allocated from " + DescribeAddress(leaked[i].caller);
    if (leaked.size() > kMaxListedLeaks)
        what += "\n  ... and " + std::to_string(leaked.size() - kMaxListedLeaks) + " more";
    ReportViolation(BUGCHECK_POOL_LEAKED, kPoolLeaked, 0, leaked.size(), bytes, what);
}

void PoolResetForBoot()
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    for (auto &[data, b] : pool.live) {
        if (b.paged) {
            pool.pagedRuns.erase(b.base);
            g_pagedBlocks.fetch_sub(1);
            mprotect(b.base, b.length, PROT_READ | PROT_WRITE);
        }
        pool.abandoned.push_back(std::move(b));
    }
    pool.live.clear();
    EvictQuarantine(pool, 0, 0);
    pool.driverAllocations = 0;
    pool.injectedFailures = 0;
}

void PagedPoolIrqlChanged(KIRQL oldIrql, KIRQL newIrql)
{
    bool wasRaised = oldIrql >= DISPATCH_LEVEL;
    bool isRaised = newIrql >= DISPATCH_LEVEL;
    if (wasRaised == isRaised)
        return;
    if (isRaised)
        g_raisedThreads.fetch_add(1);
    else
        g_raisedThreads.fetch_sub(1);
    // Pairs with the allocation's increment of the block count and its own reconcile: one of the
    // two sees the other's change.
    if (g_pagedBlocks.load() == 0 || !g_pagedGuard.load())
        return;
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    ReconcilePagedProtection(pool);
}

} // namespace hk::internal

namespace hk {

void SetPagedPoolGuard(bool on)
{
    ::Pool &pool = ::ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    g_pagedGuard.store(on);
    ReconcilePagedProtection(pool);
}

void SetVerifierFaults(const VerifierFaults &faults)
{
    ::Pool &pool = ::ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.faults = faults;
    pool.faultCounter = 0;
    pool.kindCounter = 0;
}

void ClearVerifierFaults()
{
    SetVerifierFaults(VerifierFaults{});
}

uint64_t DriverAllocationCount()
{
    ::Pool &pool = ::ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    return pool.driverAllocations;
}

uint64_t InjectedFailureCount()
{
    ::Pool &pool = ::ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    return pool.injectedFailures;
}

std::vector<PoolBlockInfo> OutstandingPool(const std::string &driver)
{
    ::Pool &pool = ::ThePool();
    std::vector<PoolBlockInfo> blocks;
    std::lock_guard<std::mutex> guard(pool.lock);
    for (const auto &[data, b] : pool.live)
        if (driver.empty() || ::EqualsNoCase(b.driver, driver))
            blocks.push_back(PoolBlockInfo{b.tag, b.size, b.type, b.kind, b.driver, b.sequence});
    std::sort(blocks.begin(), blocks.end(), [](const PoolBlockInfo &a, const PoolBlockInfo &b) { return a.sequence < b.sequence; });
    return blocks;
}

std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; i++) {
        auto c = (unsigned char)(tag >> (8 * i));
        if (c >= 0x20 && c < 0x7f) {
            text += (char)c;
        } else {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        }
    }
    return text;
}

} // namespace hk

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return PoolAllocate(PoolType, NumberOfBytes, Tag, AllocKind::Pool, __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return PoolAllocate(PoolType, NumberOfBytes, kNoTag, AllocKind::Pool, __builtin_return_address(0));
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    PoolFree(P, Tag, __builtin_return_address(0));
}

VOID NTAPI ExFreePool(PVOID P)
{
    PoolFree(P, 0, __builtin_return_address(0));
}

} // extern "C"
