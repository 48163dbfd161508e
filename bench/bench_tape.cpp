// Requests through \\.\TapeN against the same requests sent straight to a path device
// (\\.\VyrTapePathN, the class driver's device below the path filter), on a simulated host whose
// drives keep their media in memory: throughput and per-request latency for 64 KiB and 256 KiB
// blocks, one drive and four drives streaming at once, and what a failover adds to a request.
//
//   build/host/bin/vyrbench [--benchmark_filter=...] [--benchmark_repetitions=N]
//
// Each request's latency is taken around the write alone; the counters give the median per
// request (median_us) and the throughput; rewinds that keep the tape from filling up are left out.
#include "machine/machine.h"
#include "machine/testbed.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int kDrives = 4;
// The drive model keeps its medium in paged pool, and the verifier's paged-pool guard changes the
// protection of every paged block at each change to and from DISPATCH_LEVEL: a long medium would
// make the guard, not the drivers, the thing measured. Rewinding often keeps the medium short
// (writing at the beginning frees what was behind).
constexpr uint64_t kRewindBytes = 2ull << 20;

// One machine for the whole run: four drives with two paths each.
class World {
public:
    static World &Get()
    {
        static World world;
        return world;
    }

    std::shared_ptr<hk::Process> Process() { return process_; }
    vyr::sim::Fabric &Fabric() { return *fabric_; }
    bool Ready() const { return ready_; }
    const std::string &Error() const { return error_; }

    ~World()
    {
        fabric_.reset();
        process_.reset();
        machine_->Shutdown();
    }

private:
    World()
    {
        machine_ = std::make_unique<vyr::sim::Machine>();
        machine_->InstallTapeBus();
        vyr::sim::InstallTestbed(*machine_);
        vyr::sim::InstallPathFilter(*machine_);
        machine_->Boot();
        fabric_ = std::make_unique<vyr::sim::Fabric>();
        vyr::sim::Topology topology;
        topology.drives = kDrives;
        topology.pathsPerDrive = 2;
        NTSTATUS status = fabric_->Build(topology);
        if (!NT_SUCCESS(status)) {
            char text[80];
            snprintf(text, sizeof text, "building the topology failed with 0x%08X", (unsigned)status);
            error_ = text;
            return;
        }
        process_ = hk::Process::Create("vyrbench");
        ready_ = true;
    }

    std::unique_ptr<vyr::sim::Machine> machine_;
    std::unique_ptr<vyr::sim::Fabric> fabric_;
    std::shared_ptr<hk::Process> process_;
    bool ready_ = false;
    std::string error_;
};

// The device a thread streams to: drive d's logical device, or the path device of its first path.
// Build gives drive d the target id d, so the SCSI address tells which path device leads where.
HANDLE OpenTarget(hk::Process &process, bool logical, int drive, std::string *error)
{
    if (logical) {
        std::string name = "\\\\.\\Tape" + std::to_string(drive);
        HANDLE h = process.CreateFile(name);
        if (h == hk::INVALID_HANDLE)
            *error = "opening " + name + " failed";
        return h;
    }
    for (int n = 0; n < 2 * kDrives; n++) {
        std::string name = "\\\\.\\VyrTapePath" + std::to_string(n);
        HANDLE h = process.CreateFile(name);
        if (h == hk::INVALID_HANDLE)
            continue;
        SCSI_ADDRESS address{};
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status =
            process.NtDeviceIoControlFile(h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address, &iosb);
        if (NT_SUCCESS(status) && address.TargetId == drive)
            return h;
        process.CloseHandle(h);
    }
    *error = "no path device leads to drive " + std::to_string(drive);
    return hk::INVALID_HANDLE;
}

NTSTATUS Rewind(hk::Process &process, HANDLE h)
{
    TAPE_SET_POSITION position{};
    position.Method = TAPE_REWIND;
    IO_STATUS_BLOCK iosb{};
    return process.NtDeviceIoControlFile(h, IOCTL_TAPE_SET_POSITION, &position, sizeof position, nullptr, 0, &iosb);
}

double Median(std::vector<double> &v)
{
    if (v.empty())
        return 0;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

// Writes of state.range(1) bytes; state.range(0): 1 through the logical device, 0 straight to the
// path device. Thread i streams to drive i.
void BM_Write(benchmark::State &state)
{
    World &world = World::Get();
    if (!world.Ready()) {
        state.SkipWithError(world.Error().c_str());
        return;
    }
    const bool logical = state.range(0) != 0;
    const uint32_t size = (uint32_t)state.range(1);
    auto process = world.Process();
    std::string error;
    HANDLE h = OpenTarget(*process, logical, state.thread_index(), &error);
    if (h == hk::INVALID_HANDLE) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::vector<uint8_t> block(size, (uint8_t)(0x5A + state.thread_index()));
    std::vector<double> latencies;
    latencies.reserve(1 << 16);
    uint64_t sinceRewind = 0;
    if (!NT_SUCCESS(Rewind(*process, h)))
        state.SkipWithError("the first rewind failed");
    for (auto _ : state) {
        if (sinceRewind >= kRewindBytes) {
            Rewind(*process, h);
            sinceRewind = 0;
        }
        IO_STATUS_BLOCK iosb{};
        auto start = std::chrono::steady_clock::now();
        NTSTATUS status = process->NtWriteFile(h, block.data(), size, &iosb);
        auto end = std::chrono::steady_clock::now();
        double seconds = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(seconds);
        latencies.push_back(seconds * 1e6);
        sinceRewind += size;
        if (!NT_SUCCESS(status) || iosb.Information != size) {
            state.SkipWithError("a write failed");
            break;
        }
    }
    process->CloseHandle(h);
    state.SetBytesProcessed((int64_t)state.iterations() * size);
    state.counters["median_us"] = benchmark::Counter(Median(latencies), benchmark::Counter::kAvgThreads);
}

// Failover: every other write meets a failure on the path it is sent on (a transport failure that
// never reaches the drive) and completes on the other path. Reports the median of plain writes,
// the median of writes that failed over, and the difference: what failing over costs a request
// beyond the one write the drive carries out either way (the position and block-size commands
// the recovery sends are part of it).
void BM_Failover(benchmark::State &state)
{
    World &world = World::Get();
    if (!world.Ready()) {
        state.SkipWithError(world.Error().c_str());
        return;
    }
    const uint32_t size = (uint32_t)state.range(0);
    auto process = world.Process();
    std::string error;
    HANDLE h = OpenTarget(*process, true, 0, &error);
    if (h == hk::INVALID_HANDLE) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::vector<uint8_t> block(size, 0xA5);
    std::vector<double> plain, failedOver;
    uint64_t sinceRewind = 0;
    Rewind(*process, h);
    bool inject = false;
    for (auto _ : state) {
        if (sinceRewind >= kRewindBytes) {
            Rewind(*process, h);
            sinceRewind = 0;
        }
        inject = !inject;
        if (inject) {
            FabFaultRequest f{};
            f.Scope = FAB_SCOPE_DRIVE;
            f.Index = 0;
            f.Kind = FAB_FAULT_STATUS;
            f.Form = FAB_FORM_ONE_SHOT;
            f.fOpcodeFilter = 1;
            f.Opcode = 0x0A; // WRITE(6)
            f.Status = STATUS_IO_TIMEOUT;
            if (!NT_SUCCESS(world.Fabric().AddFault(f))) {
                state.SkipWithError("injecting the fault failed");
                break;
            }
        }
        IO_STATUS_BLOCK iosb{};
        auto start = std::chrono::steady_clock::now();
        NTSTATUS status = process->NtWriteFile(h, block.data(), size, &iosb);
        auto end = std::chrono::steady_clock::now();
        double seconds = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(seconds);
        (inject ? failedOver : plain).push_back(seconds * 1e6);
        sinceRewind += size;
        if (!NT_SUCCESS(status) || iosb.Information != size) {
            state.SkipWithError("a write failed");
            break;
        }
    }
    world.Fabric().ClearFaults(FAB_SCOPE_ALL, 0);
    process->CloseHandle(h);
    double p = Median(plain), f = Median(failedOver);
    state.counters["plain_median_us"] = p;
    state.counters["failover_median_us"] = f;
    state.counters["failover_added_us"] = f - p;
}

void WriteArguments(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"logical", "bytes"});
    for (int64_t size : {64 * 1024, 256 * 1024})
        for (int64_t logical : {0, 1})
            b->Args({logical, size});
}

BENCHMARK(BM_Write)->Apply(WriteArguments)->UseManualTime()->Threads(1)->Threads(kDrives)->MinTime(1.0);
BENCHMARK(BM_Failover)->Arg(64 * 1024)->Arg(256 * 1024)->UseManualTime()->MinTime(1.0);

} // namespace

int main(int argc, char **argv)
{
    // The verifier's paged-pool trap re-protects all paged pool at every change of IRQL; it would
    // dominate the figures. VYR_BENCH_GUARD=1 keeps it on to see its cost.
    const char *guard = getenv("VYR_BENCH_GUARD");
    hk::SetPagedPoolGuard(guard && *guard == '1');
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
