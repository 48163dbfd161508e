// The StatusStructTable, linked into the test directly: where requests in flight are recorded,
// when blocks are added and released, and what a reader that walks the chain without the lock
// (the path filter) finds.
#include "bus.h"
#include "kernel_fixture.h"

#include <vector>

namespace vyr::test {
namespace {

size_t ExtraBlocks()
{
    size_t n = 0;
    for (const hk::PoolBlockInfo &b : hk::OutstandingPool())
        n += b.tag == VYR_TAG_BUS_STATUS_TABLE;
    return n;
}

StatusStructBlock *Next(const StatusStructBlock *block)
{
    return (StatusStructBlock *)(ULONG_PTR)block->pNext;
}

// The filter's lookup: every block, every slot whose bit is set.
ScsiStatus *Find(const StatusStructBlock *table, PIRP irp)
{
    for (const StatusStructBlock *b = table; b; b = Next(b))
        for (ULONG s = 0; s < VYR_STATUS_TABLE_SLOTS; s++)
            if ((b->ulOccupancy & (1ull << s)) && b->Slots[s].pIrp == (ULONG64)(ULONG_PTR)irp)
                return (ScsiStatus *)(ULONG_PTR)b->Slots[s].pScsiStatus;
    return nullptr;
}

struct InFlight {
    PIRP irp;
    ScsiStatus *block;
    StatusStructBlock *in = nullptr;
    ULONG slot = ~0u;
};

class StatusTableTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        RtlZeroMemory(&table_, sizeof table_);
        KeInitializeSpinLock(&table_.Lock);
    }
    void TearDown() override
    {
        BusStatusTableFreeChain(&table_);
        KernelTest::TearDown();
    }
    // Distinct fake request and block addresses: the table only stores and compares them.
    InFlight Insert(size_t n, NTSTATUS expect = STATUS_SUCCESS)
    {
        InFlight f{(PIRP)(ULONG_PTR)(0x10000 + n * 0x100), &blocks_[n % kBlocks]};
        EXPECT_EQ(BusStatusTableInsert(&table_, f.irp, f.block, &f.in, &f.slot), expect) << "request " << n;
        return f;
    }
    void Remove(const InFlight &f) { BusStatusTableRemove(&table_, f.in, f.slot); }

    static constexpr size_t kBlocks = 200;
    StatusStructBlock table_;
    ScsiStatus blocks_[kBlocks];
};

TEST_F(StatusTableTest, FirstBlockHoldsSixtyOneThenASecondOpensAndIsReleasedWhenEmpty)
{
    std::vector<InFlight> inFlight;
    for (size_t n = 0; n < 61; n++) {
        inFlight.push_back(Insert(n));
        EXPECT_EQ(inFlight.back().in, &table_);
        EXPECT_EQ(inFlight.back().slot, n + 2) << "slots 0 and 1 stay free for the filter's hand-over";
    }
    EXPECT_EQ(table_.ulOccupancy, ((1ull << 63) - 1) & ~3ull);
    EXPECT_EQ(table_.pNext, 0u);
    EXPECT_EQ(ExtraBlocks(), 0u);

    InFlight sixtySecond = Insert(61);
    ASSERT_NE(sixtySecond.in, &table_);
    EXPECT_EQ(Next(&table_), sixtySecond.in);
    EXPECT_EQ(sixtySecond.in->pNext, 0u);
    EXPECT_EQ(ExtraBlocks(), 1u);
    for (const InFlight &f : inFlight)
        EXPECT_EQ(Find(&table_, f.irp), f.block);
    EXPECT_EQ(Find(&table_, sixtySecond.irp), sixtySecond.block);

    // A slot freed in the first block is taken again before the second block grows.
    Remove(inFlight[10]);
    EXPECT_EQ(Find(&table_, inFlight[10].irp), nullptr);
    InFlight again = Insert(100);
    EXPECT_EQ(again.in, &table_);
    EXPECT_EQ(again.slot, inFlight[10].slot);

    Remove(sixtySecond);
    EXPECT_EQ(table_.pNext, 0u);
    EXPECT_EQ(ExtraBlocks(), 0u);
    EXPECT_EQ(Find(&table_, sixtySecond.irp), nullptr);
    EXPECT_EQ(Find(&table_, inFlight[0].irp), inFlight[0].block) << "the first block is never released";
}

TEST_F(StatusTableTest, MiddleBlockIsUnlinkedWithoutLosingTheOnesAfterIt)
{
    std::vector<InFlight> all;
    for (size_t n = 0; n < 61 + 63 + 5; n++)
        all.push_back(Insert(n));
    StatusStructBlock *second = Next(&table_);
    ASSERT_NE(second, nullptr);
    StatusStructBlock *third = Next(second);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(all[61].slot, 0u) << "later blocks have no reserved slots";
    EXPECT_EQ(all[61 + 63].in, third);
    EXPECT_EQ(ExtraBlocks(), 2u);

    // Emptying the second block releases it; the third moves up in the chain.
    for (size_t n = 61; n < 61 + 63; n++) {
        EXPECT_EQ(ExtraBlocks(), 2u);
        Remove(all[n]);
    }
    EXPECT_EQ(ExtraBlocks(), 1u);
    EXPECT_EQ(Next(&table_), third);
    for (size_t n = 61 + 63; n < all.size(); n++)
        EXPECT_EQ(Find(&table_, all[n].irp), all[n].block);

    // The first block is still full: a new request lands in the third block's lowest free slot.
    InFlight next = Insert(500);
    EXPECT_EQ(next.in, third);
    EXPECT_EQ(next.slot, 5u);
}

TEST_F(StatusTableTest, FreeChainReleasesEveryExtraBlock)
{
    for (size_t n = 0; n < 61 + 63 * 2 + 1; n++)
        Insert(n);
    EXPECT_EQ(ExtraBlocks(), 3u);
    BusStatusTableFreeChain(&table_);
    EXPECT_EQ(ExtraBlocks(), 0u);
    EXPECT_EQ(table_.pNext, 0u);
}

} // namespace
} // namespace vyr::test
