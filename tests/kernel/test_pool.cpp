// Pool and the verifier's allocation side: tracking, low-resource simulation, leak reports, misuse
// of frees, guard bytes, the paged-pool trap.
#include "hk/nt.h"
#include "hk/host.h"
#include "hk_internal.h"
#include "ex_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using hk::AllocKind;
using hk::MakeTag;

// An allocation as the driver with this service name would make it ("" = host code).
void *AllocAs(const std::string &driver, POOL_TYPE type, size_t size, ULONG tag, AllocKind kind = AllocKind::Pool)
{
    return hk::internal::PoolAllocateAs(type, size, tag, kind, driver, (const void *)&AllocAs);
}

// Protection of the mapping that holds `address`, as "rw-p" or "---p".
std::string Protection(const void *address)
{
    FILE *maps = fopen("/proc/self/maps", "r");
    if (!maps)
        return "";
    char line[512];
    std::string perms;
    while (fgets(line, sizeof line, maps)) {
        unsigned long low, high;
        char p[8];
        if (sscanf(line, "%lx-%lx %7s", &low, &high, p) == 3 && (unsigned long)address >= low &&
            (unsigned long)address < high) {
            perms = p;
            break;
        }
    }
    fclose(maps);
    return perms;
}

struct DeathCase {
    const char *name;
    std::function<void()> body;
    const char *message;
};

void ExpectDeaths(const std::vector<DeathCase> &cases)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    for (const DeathCase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DEATH(c.body(), c.message);
    }
}

TEST(Pool, TracksEveryBlockUntilItIsFreed)
{
    const ULONG tagA = MakeTag("PtA1"), tagB = MakeTag("PtB1"), tagC = MakeTag("PtC1");
    void *a = AllocAs("pooltrack", NonPagedPool, 40, tagA);
    void *b = AllocAs("pooltrack", PagedPool, 124, tagB);
    void *c = AllocAs("pooltrack", NonPagedPool, 16, tagC, AllocKind::Irp);
    ASSERT_TRUE(a && b && c);
    EXPECT_TRUE(hk::internal::IsPoolBlock(a));

    auto blocks = hk::OutstandingPool("POOLTRACK"); // service names compare without case
    ASSERT_EQ(blocks.size(), 3u);
    struct Expected {
        ULONG tag;
        size_t size;
        POOL_TYPE type;
        AllocKind kind;
    };
    const Expected expected[] = {{tagA, 40, NonPagedPool, AllocKind::Pool},
                                 {tagB, 124, PagedPool, AllocKind::Pool},
                                 {tagC, 16, NonPagedPool, AllocKind::Irp}};
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(blocks[i].tag, expected[i].tag) << i;
        EXPECT_EQ(blocks[i].size, expected[i].size) << i;
        EXPECT_EQ(blocks[i].type, expected[i].type) << i;
        EXPECT_EQ(blocks[i].kind, expected[i].kind) << i;
        EXPECT_EQ(blocks[i].driver, "pooltrack") << i;
        if (i > 0) {
            EXPECT_GT(blocks[i].sequence, blocks[i - 1].sequence) << i;
        }
    }

    ExFreePoolWithTag(b, tagB);
    blocks = hk::OutstandingPool("pooltrack");
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].tag, tagA);
    EXPECT_EQ(blocks[1].tag, tagC);
    EXPECT_FALSE(hk::internal::IsPoolBlock(b));
    ExFreePool(a); // no tag: not checked
    ExFreePoolWithTag(c, tagC);
    EXPECT_TRUE(hk::OutstandingPool("pooltrack").empty());

    // Host code's allocations belong to no driver; the protected-pool bit does not count in the tag check.
    const ULONG hostTag = MakeTag("PtH1");
    void *h = ExAllocatePoolWithTag(NonPagedPool, 8, hostTag | 0x80000000);
    bool found = false;
    for (const auto &info : hk::OutstandingPool())
        if (info.tag == (hostTag | 0x80000000)) {
            found = true;
            EXPECT_EQ(info.driver, "");
        }
    EXPECT_TRUE(found);
    ExFreePoolWithTag(h, hostTag);

    EXPECT_EQ(hk::TagText(MakeTag("PDO\0")), "PDO\\x00");
    EXPECT_EQ(hk::TagText(MakeTag("FLTR") | 0x80000000), "FLT\\xD2");
}

TEST(Pool, BlocksAreAlignedAndNeverArriveZeroed)
{
    struct Case {
        POOL_TYPE type;
        size_t size;
        uintptr_t alignment;
    };
    const Case cases[] = {{NonPagedPool, 1, 16}, {NonPagedPool, 100, 16}, {NonPagedPoolNx, 33, 16},
                          {NonPagedPoolCacheAligned, 70, 64}, {PagedPool, 5000, 16}, {PagedPool, 0, 16}};
    const ULONG tag = MakeTag("PtF1");
    for (const Case &c : cases) {
        auto *p = static_cast<uint8_t *>(ExAllocatePoolWithTag(c.type, c.size, tag));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ((uintptr_t)p % c.alignment, 0u) << c.type << " " << c.size;
        size_t zeros = 0;
        for (size_t i = 0; i < c.size; i++)
            zeros += p[i] == 0;
        EXPECT_EQ(zeros, 0u) << "a driver that forgets to initialise must not be saved by luck";
        memset(p, 0x5A, c.size);
        ExFreePoolWithTag(p, tag);
    }

    // A freed non-paged block no longer holds what the driver wrote (it stays mapped in quarantine).
    auto *p = static_cast<uint8_t *>(ExAllocatePoolWithTag(NonPagedPool, 32, tag));
    memset(p, 0x5A, 32);
    uint8_t fresh = 0;
    {
        auto *q = static_cast<uint8_t *>(ExAllocatePoolWithTag(NonPagedPool, 32, tag));
        fresh = q[0];
        ExFreePoolWithTag(q, tag);
    }
    ExFreePoolWithTag(p, tag);
    for (int i = 0; i < 32; i++) {
        EXPECT_NE(p[i], 0x5A) << i;
        EXPECT_NE(p[i], fresh) << i;
    }
}

TEST(Pool, LowResourceSimulationIsDeterministic)
{
    const ULONG x = MakeTag("InjX"), y = MakeTag("InjY");
    struct Alloc {
        const char *driver;
        ULONG tag;
        AllocKind kind;
        POOL_TYPE type;
    };
    struct Case {
        const char *name;
        hk::VerifierFaults faults;
        std::vector<Alloc> allocs;
        const char *failed; // '1' where the allocation must fail
    };
    const AllocKind P = AllocKind::Pool;
    const std::vector<Case> cases = {
        {"third allocation", {.failNth = 3, .onlyDriver = ""},
         {{"drvA", y, P, NonPagedPool}, {"drvA", y, P, NonPagedPool}, {"drvA", y, P, NonPagedPool}, {"drvA", y, P, NonPagedPool}},
         "0010"},
        {"second allocation of one driver", {.failNth = 2, .onlyDriver = "drvB"},
         {{"drvA", y, P, NonPagedPool}, {"drvB", y, P, NonPagedPool}, {"drvA", y, P, NonPagedPool},
          {"drvB", y, P, PagedPool}, {"drvB", y, P, NonPagedPool}},
         "00010"},
        {"every allocation with a tag", {.failTag = x, .onlyDriver = ""},
         {{"drvA", x, P, NonPagedPool}, {"drvA", y, P, NonPagedPool}, {"drvB", x, P, PagedPool}}, "101"},
        {"a tag for one driver, named in other case", {.failTag = x, .onlyDriver = "DRVB"},
         {{"drvA", x, P, NonPagedPool}, {"drvB", x, P, NonPagedPool}}, "01"},
        {"every allocation of a kind", {.failKind = AllocKind::Irp, .failKindEnabled = true, .onlyDriver = ""},
         {{"drvA", y, P, NonPagedPool}, {"drvA", y, AllocKind::Irp, NonPagedPool},
          {"drvA", y, AllocKind::Mdl, NonPagedPool}, {"drvB", y, AllocKind::Irp, NonPagedPool}},
         "0101"},
        {"host code and must-succeed pool are never failed",
         {.failNth = 1, .failKind = AllocKind::Any, .failKindEnabled = true, .onlyDriver = ""},
         {{"", y, P, NonPagedPool}, {"", y, AllocKind::Irp, NonPagedPool}, {"drvA", y, P, NonPagedPoolMustSucceed},
          {"drvA", y, P, NonPagedPool}},
         "0001"},
    };
    for (const Case &c : cases) {
        for (int run = 0; run < 2; run++) {
            SCOPED_TRACE(testing::Message() << c.name << ", run " << run);
            hk::SetVerifierFaults(c.faults);
            uint64_t injectedBefore = hk::InjectedFailureCount();
            uint64_t countedBefore = hk::DriverAllocationCount();
            std::string failed;
            std::vector<std::pair<void *, ULONG>> made;
            size_t byDrivers = 0;
            for (const Alloc &a : c.allocs) {
                void *p = AllocAs(a.driver, a.type, 24, a.tag, a.kind);
                failed += p ? '0' : '1';
                if (p)
                    made.emplace_back(p, a.tag);
                byDrivers += a.driver[0] != 0;
            }
            hk::ClearVerifierFaults();
            EXPECT_EQ(failed, c.failed);
            EXPECT_EQ(hk::InjectedFailureCount() - injectedBefore, (uint64_t)std::count(failed.begin(), failed.end(), '1'));
            EXPECT_EQ(hk::DriverAllocationCount() - countedBefore, byDrivers);
            for (auto [p, tag] : made)
                ExFreePoolWithTag(p, tag);
        }
    }
}

TEST(Pool, LeakReportListsEveryBlockOfTheDriverOnce)
{
    std::vector<hk::BugCheckInfo> reports;
    hk::SetBugCheckHandler([&](const hk::BugCheckInfo &info) { reports.push_back(info); });

    void *a1 = AllocAs("leakdrv", NonPagedPool, 24, MakeTag("LkA1"));
    void *a2 = AllocAs("leakdrv", PagedPool, 8, MakeTag("LkA2"));
    void *b1 = AllocAs("otherdrv", NonPagedPool, 40, MakeTag("LkB1"));
    auto leaked = hk::OutstandingPool("leakdrv");
    ASSERT_EQ(leaked.size(), 2u);

    hk::internal::PoolCheckLeaks("leakdrv");
    ASSERT_EQ(reports.size(), 1u);
    const hk::BugCheckInfo &r = reports[0];
    EXPECT_EQ(r.code, (ULONG)hk::BUGCHECK_POOL_LEAKED);
    EXPECT_EQ(r.parameters[2], 2u);  // blocks
    EXPECT_EQ(r.parameters[3], 32u); // bytes
    EXPECT_NE(r.message.find("leakdrv"), std::string::npos) << r.message;
    for (const auto &block : leaked) {
        std::string line = "'" + hk::TagText(block.tag) + "' " + std::to_string(block.size) + " bytes";
        EXPECT_NE(r.message.find(line), std::string::npos) << line << "\n" << r.message;
        EXPECT_NE(r.message.find("#" + std::to_string(block.sequence)), std::string::npos) << r.message;
    }
    EXPECT_EQ(r.message.find("LkB1"), std::string::npos) << "another driver's block: " << r.message;

    // Reported once; the other driver's check finds only its own.
    hk::internal::PoolCheckLeaks("leakdrv");
    EXPECT_EQ(reports.size(), 1u);
    hk::internal::PoolCheckLeaks("otherdrv");
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[1].message.find("'LkB1' 40 bytes"), std::string::npos) << reports[1].message;

    hk::SetBugCheckHandler({});
    ExFreePoolWithTag(a1, MakeTag("LkA1"));
    ExFreePoolWithTag(a2, MakeTag("LkA2"));
    ExFreePoolWithTag(b1, MakeTag("LkB1"));
    EXPECT_TRUE(hk::OutstandingPool("leakdrv").empty());
}

TEST(PoolDeathTest, MisuseIsABugCheckNamingTheBlock)
{
    const ULONG tag = MakeTag("PlD1");
    ExpectDeaths({
        {"wrong tag",
         [&] {
             void *p = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
             ExFreePoolWithTag(p, MakeTag("Else"));
         },
         "'PlD1' 8 bytes .* freed with the wrong tag 'Else'"},
        {"double free",
         [&] {
             void *p = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
             ExFreePoolWithTag(p, tag);
             ExFreePoolWithTag(p, tag);
         },
         "pool block freed twice: 'PlD1'"},
        {"double free of paged pool",
         [&] {
             void *p = ExAllocatePoolWithTag(PagedPool, 8, tag);
             ExFreePoolWithTag(p, tag);
             ExFreePoolWithTag(p, tag);
         },
         "pool block freed twice: 'PlD1'"},
        {"not a pool block",
         [] {
             static char notPool[64];
             ExFreePool(notPool + 16);
         },
         "which is not a pool block"},
        {"overrun",
         [&] {
             auto *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 24, tag));
             p[24] = 0;
             ExFreePoolWithTag(p, tag);
         },
         "'PlD1' 24 bytes .* corrupted: guard byte at offset 24 \\(after the block\\)"},
        {"underrun",
         [&] {
             auto *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 24, tag));
             p[-1] = 0;
             ExFreePoolWithTag(p, tag);
         },
         "guard byte at offset -1 \\(before the block\\)"},
        {"paged pool allocated at DISPATCH_LEVEL",
         [&] {
             KeRaiseIrqlToDpcLevel();
             ExAllocatePoolWithTag(PagedPool, 8, tag);
         },
         "PagedPool allocated at IRQL 2"},
        {"pool freed above DISPATCH_LEVEL",
         [&] {
             void *p = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
             KIRQL old;
             KeRaiseIrql(HIGH_LEVEL, &old);
             ExFreePoolWithTag(p, tag);
         },
         "freed at IRQL 15"},
        {"paged pool touched at DISPATCH_LEVEL",
         [&] {
             auto *p = static_cast<volatile char *>(ExAllocatePoolWithTag(PagedPool, 124, tag));
             p[0] = 1;
             KeRaiseIrqlToDpcLevel();
             p[100] = 2;
         },
         "paged pool touched at IRQL 2: block 'PlD1' 124 bytes"},
        {"freed paged pool touched",
         [&] {
             auto *p = static_cast<volatile char *>(ExAllocatePoolWithTag(PagedPool, 124, tag));
             ExFreePoolWithTag((void *)p, tag);
             p[0] = 1;
         },
         "freed paged pool touched"},
    });
}

TEST(PagedPool, TouchedAtPassiveLevelWhileAnotherThreadIsRaised)
{
    const ULONG tag = MakeTag("PgP1");
    auto *p = static_cast<char *>(ExAllocatePoolWithTag(PagedPool, 124, tag));
    ASSERT_NE(p, nullptr);
    strcpy(p, "paged");
    EXPECT_EQ(Protection(p).substr(0, 3), "rw-");

    std::atomic<bool> raised{false}, done{false};
    std::thread other([&] {
        KIRQL old = KeRaiseIrqlToDpcLevel();
        raised = true;
        while (!done)
            std::this_thread::yield();
        KeLowerIrql(old);
    });
    while (!raised)
        std::this_thread::yield();
    // The trap is armed while some thread is raised...
    EXPECT_EQ(Protection(p).substr(0, 3), "---");
    // ...and a thread at PASSIVE_LEVEL may still use its block.
    EXPECT_STREQ(p, "paged");
    p[0] = 'P';
    EXPECT_EQ(Protection(p).substr(0, 3), "rw-");
    done = true;
    other.join();
    EXPECT_STREQ(p, "Paged");
    ExFreePoolWithTag(p, tag);
}

} // namespace
