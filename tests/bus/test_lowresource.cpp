// Whole flows under low resources: an application opens \\.\Tape0, writes a block that fails on
// the primary path and moves to the other one, and closes, while the verifier fails one allocation
// of a driver after the other. Every run must end -- no crash, no hang -- with either the whole
// flow done or a clear failure status, leave no pool of the driver behind, and leave the stack able
// to do the same flow again once memory is back.
#include "test_io_fixture.h"

#include <algorithm>

namespace vyr::test {
namespace {

constexpr ULONG kBlock = 64 * 1024;
constexpr uint64_t kMaxSteps = 2000; // far more allocations than the flow makes

class LowResourceTest : public TapeStackTest {
protected:
    // Makes the next WRITE(6) to the drive fail, through whichever path it is sent on.
    void ArmFailover()
    {
        FabFaultRequest f{};
        f.Scope = FAB_SCOPE_DRIVE;
        f.Index = 0;
        f.Kind = FAB_FAULT_SENSE;
        f.Form = FAB_FORM_ONE_SHOT;
        f.fOpcodeFilter = 1;
        f.Opcode = kOpWrite6;
        f.SenseKey = 0x2; // not ready: the request moves to the other path
        f.Asc = 0x04;
        ASSERT_EQ(fabric_->AddFault(f), STATUS_SUCCESS);
    }

    struct FlowResult {
        NTSTATUS open = STATUS_SUCCESS;
        NTSTATUS write = STATUS_SUCCESS;
        ULONG written = 0;
        NTSTATUS direct = STATUS_SUCCESS;
    };

    // Open, a write that fails over, close; then (the filter's part: it tells the bus of opens
    // it did not issue) an open and close of a path device directly.
    FlowResult Flow()
    {
        FlowResult r;
        HANDLE h = Open("\\\\.\\Tape0", &r.open);
        if (h == hk::INVALID_HANDLE)
            return r;
        r.write = Write(h, Block(kBlock, 7), &r.written);
        Close(h);
        HANDLE direct = Open("\\Device\\VyrTapePath1", &r.direct);
        if (direct != hk::INVALID_HANDLE)
            Close(direct);
        return r;
    }

    // The driver's pool by tag. Freed IRPs stay in the verifier's quarantine for a while and
    // show as outstanding; IRPs that really stay are the shutdown's leak check's business.
    static std::vector<std::pair<ULONG, size_t>> PoolOf(const std::string &driver)
    {
        std::map<ULONG, size_t> byTag;
        for (const hk::PoolBlockInfo &b : hk::OutstandingPool(driver))
            if (b.kind != hk::AllocKind::Irp)
                byTag[b.tag]++;
        return {byTag.begin(), byTag.end()};
    }

    // Walks failNth over the flow for the allocations of one driver until a run meets no injected
    // failure (the flow then made fewer allocations than N).
    void WalkAllocations(const std::string &driver)
    {
        Build(2);
        // A first clean flow settles what lives as long as the device (position, block size).
        ArmFailover();
        FlowResult clean = Flow();
        ASSERT_EQ(clean.open, STATUS_SUCCESS);
        ASSERT_EQ(clean.write, STATUS_SUCCESS);
        ASSERT_EQ(clean.direct, STATUS_SUCCESS);
        fabric_->ClearFaults(FAB_SCOPE_ALL, 0);
        const auto baseline = PoolOf(driver);

        uint64_t step = 1;
        size_t failedRuns = 0;
        for (; step <= kMaxSteps; step++) {
            SCOPED_TRACE("allocation " + std::to_string(step) + " of " + driver);
            ArmFailover();
            const uint64_t injectedBefore = hk::InjectedFailureCount();
            hk::VerifierFaults faults;
            faults.failNth = step;
            faults.onlyDriver = driver;
            hk::SetVerifierFaults(faults);
            FlowResult r = Flow();
            hk::ClearVerifierFaults();
            fabric_->ClearFaults(FAB_SCOPE_ALL, 0);
            const bool injected = hk::InjectedFailureCount() != injectedBefore;

            // A clear answer: the open failed with an error, or the write did its whole length,
            // or it failed with an error -- never a warning, never a short success.
            if (!NT_SUCCESS(r.open)) {
                EXPECT_TRUE(NT_ERROR(r.open)) << std::hex << r.open;
            } else if (NT_SUCCESS(r.write)) {
                EXPECT_EQ(r.written, kBlock);
            } else {
                EXPECT_TRUE(NT_ERROR(r.write)) << std::hex << r.write;
            }
            EXPECT_TRUE(NT_SUCCESS(r.direct) || NT_ERROR(r.direct)) << std::hex << r.direct;
            failedRuns += !NT_SUCCESS(r.open) || !NT_SUCCESS(r.write) || !NT_SUCCESS(r.direct);
            EXPECT_EQ(PoolOf(driver), baseline) << "pool left behind by the run";

            // The stack recovers once memory is back.
            ArmFailover();
            FlowResult again = Flow();
            fabric_->ClearFaults(FAB_SCOPE_ALL, 0);
            EXPECT_EQ(again.open, STATUS_SUCCESS);
            EXPECT_EQ(again.write, STATUS_SUCCESS);
            EXPECT_EQ(again.written, kBlock);
            EXPECT_EQ(again.direct, STATUS_SUCCESS);
            if (HasFailure() || !injected)
                break;
        }
        EXPECT_LT(step, kMaxSteps) << "the flow never ran out of allocations to fail";
        EXPECT_GT(step, 1u) << "no allocation of " << driver << " was failed at all";
        EXPECT_GT(failedRuns, 0u) << "no failed allocation ever reached the application";
    }
};

TEST_F(LowResourceTest, BusAllocationsFailingOneByOneOverOpenWriteWithFailoverClose)
{
    WalkAllocations(kBusImage);
}

TEST_F(LowResourceTest, FilterAllocationsFailingOneByOneOverOpenWriteWithFailoverClose)
{
    WalkAllocations(vyr::sim::kTapeFilterService);
}

} // namespace
} // namespace vyr::test
