#include "soak.h"

#include "faults.h"
#include "paths.h"
#include "tapeapp.h"

#include <cstdlib>
#include <deque>
#include <map>
#include <random>

namespace vyr::tools {

namespace {

constexpr ULONG kNoPath = kNoFabricPath;
// Tries of an operation that must succeed before the faults are cleared, and after: a reset of
// the drive is still reported once as a unit attention when no fault is left.
constexpr int kAttempts = 3;
constexpr int kAttemptsAfterClear = 2;

struct SenseRow {
    UCHAR key, asc, ascq;
};

// Each row of the failover sense table (0xFF: any value there), then senses that do not fail over.
const SenseRow kTableSenses[] = {{0x2, 0x04, 0x00}, {0x4, 0xFF, 0xFF}, {0x5, 0x20, 0x00}, {0x5, 0x25, 0x00}, {0xB, 0xFF, 0xFF}};
const SenseRow kOtherSenses[] = {{0x3, 0x11, 0x00}, {0x6, 0x29, 0x00}, {0x6, 0x28, 0x00}, {0x5, 0x24, 0x00}, {0x4, 0x10, 0x01}};
// Statuses that start failover, and statuses that never start it by themselves.
const NTSTATUS kFailoverStatuses[] = {STATUS_IO_TIMEOUT, STATUS_DEVICE_NOT_CONNECTED, (NTSTATUS)0xC0000001L,
                                      (NTSTATUS)0xC000009AL};
const NTSTATUS kExemptStatuses[] = {(NTSTATUS)0xC0000013L, (NTSTATUS)0xC0000010L, (NTSTATUS)0xC00000A2L,
                                    (NTSTATUS)0xC000000DL, (NTSTATUS)0xC0000283L};

struct Drive {
    std::string name;
    HANDLE handle = nullptr;
    bool reserved = false;
};

class SoakRun {
public:
    SoakRun(uint32_t seed, const SoakOptions &options, FILE *out)
        : seed_(seed), options_(options), out_(out), rng_(seed), app_((uint64_t)seed << 28)
    {
    }

    bool Run()
    {
        auto process = hk::Process::Create("vyrsim-soak");
        std::vector<LogicalDeviceView> devices;
        NTSTATUS status = QueryLogicalDevices(*process, &devices);
        if (!NT_SUCCESS(status) || devices.empty())
            return Fail("the path query found no logical device (" + StatusText(status) + ")");
        harness_.ClearAll();
        for (const LogicalDeviceView &d : devices) {
            Drive drive;
            drive.name = d.name;
            drives_.push_back(drive);
        }
        for (Drive &d : drives_) {
            RestorePaths(d);
            if (!OpenDrive(d))
                return false;
            // A filemark at the beginning ends whatever an earlier run left on the medium.
            if (!NT_SUCCESS(app_.SetPosition(d.handle, d.name, TAPE_REWIND, 0)) ||
                !NT_SUCCESS(app_.WriteFilemark(d.handle, d.name)))
                return Fail(d.name + ": the medium could not be prepared");
        }

        const ULONG firedBefore = FaultsFired();
        const size_t attemptsBefore = FailoverAttempts();
        for (uint32_t op = 0; op < options_.operations && failure_.empty(); op++) {
            Drive &d = drives_[Pick(drives_.size())];
            if (Pick(5) == 0)
                InjectFault(d);
            Operate(d);
        }
        if (!failure_.empty())
            return false;
        const ULONG fired = FaultsFired() - firedBefore;
        const size_t attempts = FailoverAttempts() - attemptsBefore;

        // Quiet the world, then compare every medium with the ledger.
        harness_.ClearAll();
        for (Drive &d : drives_) {
            RestorePaths(d);
            if (d.reserved) {
                app_.Ioctl(d.handle, IOCTL_STORAGE_RELEASE, nullptr, 0, nullptr, 0);
                d.reserved = false;
            }
            app_.Close(d.handle);
            d.handle = nullptr;
        }
        std::string verified;
        for (Drive &d : drives_) {
            LedgerCheck check;
            IoResult r = app_.Verify(d.name, &check);
            char text[400];
            snprintf(text, sizeof text,
                     "%s: %llu of %llu blocks and %llu of %llu filemarks read back, %llu lost, %llu duplicated, "
                     "%llu unaccounted, %llu out of order, %llu corrupted",
                     d.name.c_str(), (unsigned long long)check.blocksRead, (unsigned long long)check.expectedBlocks,
                     (unsigned long long)check.marksRead, (unsigned long long)check.expectedMarks,
                     (unsigned long long)check.lost, (unsigned long long)check.duplicated,
                     (unsigned long long)check.unaccounted, (unsigned long long)check.outOfOrder,
                     (unsigned long long)check.corrupted);
            if (!check.verified)
                return Fail(std::string(text) + (r.detail.empty() ? "" : "; " + r.detail));
            verified += std::string(verified.empty() ? "" : "; ") + text;
        }
        fprintf(out_,
                "soak seed %u: %u operations (%u writes, %u failed; %u reads; %u other), %u faults injected, %lu fired, "
                "%zu failover attempts logged: passed\n"
                "  %s\n",
                seed_, options_.operations, writes_, failedWrites_, reads_, others_, injected_, (unsigned long)fired,
                attempts, verified.c_str());
        return true;
    }

    const std::string &Failure() const { return failure_; }
    const std::deque<std::string> &Trace() const { return trace_; }

private:
    size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

    bool Fail(const std::string &what)
    {
        if (failure_.empty())
            failure_ = what;
        return false;
    }

    void Note(const std::string &line)
    {
        if (options_.trace) {
            // The drives' own view beside the application's: mode and position as the medium has them.
            std::string drives;
            std::vector<FabDriveEntry> entries;
            if (NT_SUCCESS(harness_.Fabric().QueryTopology(&entries, nullptr)))
                for (const FabDriveEntry &e : entries) {
                    FabDriveState state{};
                    if (NT_SUCCESS(harness_.Fabric().QueryDrive(e.Index, &state)))
                        drives += "  [drive " + std::to_string(e.Index) + ": block size " + std::to_string(state.BlockSize) +
                                  ", position " + std::to_string(state.Position) + "]";
                }
            fprintf(out_, "  [%u] %s%s\n", seed_, line.c_str(), drives.c_str());
        }
        trace_.push_back(line);
        if (trace_.size() > 40)
            trace_.pop_front();
    }

    // Faults the fabric's rules carried out on the drives of this run, since the topology was built.
    ULONG FaultsFired()
    {
        ULONG total = 0;
        for (Drive &d : drives_) {
            FaultHarness::Target target;
            std::string error;
            ULONG fired = 0;
            if (NT_SUCCESS(harness_.Resolve(d.name, &target, &error)) && NT_SUCCESS(harness_.FaultsFired(target.drive, &fired)))
                total += fired;
        }
        return total;
    }

    // "received status ... on IOCTL ..." entries (written with FailoverEventsEnabled only).
    static size_t FailoverAttempts()
    {
        size_t n = 0;
        for (const hk::EventRecord &e : hk::EventLog())
            n += e.eventId == 0x80000004u;
        return n;
    }

    // Runs an operation until it succeeds: a few tries in the world as it is, then a few with
    // every fault cleared. The last status is the answer.
    template <class Operation> NTSTATUS Persist(Operation operation)
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        for (int attempt = 0; attempt < kAttempts + kAttemptsAfterClear; attempt++) {
            if (attempt == kAttempts)
                harness_.ClearAll();
            status = operation();
            if (NT_SUCCESS(status))
                return status;
        }
        return status;
    }

    bool OpenDrive(Drive &d)
    {
        NTSTATUS status = Persist([&] {
            NTSTATUS opened = STATUS_SUCCESS;
            d.handle = app_.Open(d.name, &opened);
            return d.handle != hk::INVALID_HANDLE ? STATUS_SUCCESS : opened;
        });
        if (NT_SUCCESS(status))
            return true;
        d.handle = nullptr;
        return Fail(d.name + ": opening failed with " + StatusText(status) + " with every fault cleared");
    }

    // A path that comes back probes its drive's identity; a fault meant for the application's
    // requests that took one of those probes would make it a path without failover, a device of
    // its own. The rules go first.
    void RestorePaths(Drive &d, ULONG *restored = nullptr)
    {
        FaultHarness::Target target;
        std::string error;
        if (!NT_SUCCESS(harness_.Resolve(d.name, &target, &error)))
            return;
        harness_.ClearAll();
        harness_.RestoreDrive(target.drive, restored);
    }

    void InjectFault(Drive &d)
    {
        FaultHarness::Target target;
        std::string error;
        if (!NT_SUCCESS(harness_.Resolve(d.name, &target, &error)))
            return;
        size_t present = 0;
        for (ULONG p : target.paths)
            present += p != kNoPath;
        const size_t path = Pick(target.paths.size());
        const bool onDrive = Pick(5) == 0 || target.paths[path] == kNoPath;

        FabFaultRequest f{};
        f.Form = FAB_FORM_ONE_SHOT;
        const char *kind = "";
        switch (Pick(8)) {
        case 0: {
            const SenseRow &row = kTableSenses[Pick(std::size(kTableSenses))];
            f.Kind = FAB_FAULT_SENSE;
            f.SenseKey = row.key;
            f.Asc = row.asc == 0xFF ? (UCHAR)Pick(0x80) : row.asc;
            f.Ascq = row.ascq == 0xFF ? (UCHAR)Pick(4) : row.ascq;
            kind = "table sense";
            break;
        }
        case 1: {
            const SenseRow &row = kOtherSenses[Pick(std::size(kOtherSenses))];
            f.Kind = FAB_FAULT_SENSE;
            f.SenseKey = row.key;
            f.Asc = row.asc;
            f.Ascq = row.ascq;
            kind = row.key == 6 ? "unit attention" : "other sense";
            break;
        }
        case 2:
            f.Kind = FAB_FAULT_STATUS;
            f.Status = kFailoverStatuses[Pick(std::size(kFailoverStatuses))];
            kind = "failover status";
            break;
        case 3:
            f.Kind = FAB_FAULT_STATUS;
            f.Status = kExemptStatuses[Pick(std::size(kExemptStatuses))];
            kind = "exempt status";
            break;
        case 4:
        case 5:
            f.Kind = FAB_FAULT_WRITE_AFTER_BLOCKS;
            f.BlocksWritten = (ULONG)Pick(12);
            if (Pick(3) == 0) {
                f.Status = STATUS_IO_TIMEOUT;
            } else {
                f.SenseKey = 0x4;
                f.Asc = 0x44;
            }
            kind = "partial write";
            break;
        case 6:
            if (!options_.reservations)
                return;
            f.Kind = FAB_FAULT_RESERVATION;
            kind = "reservation held elsewhere";
            break;
        default:
            if (present >= 2 && Pick(2) == 0) {
                ULONG fabricPath = target.paths[path] != kNoPath ? target.paths[path] : kNoPath;
                if (fabricPath == kNoPath)
                    return;
                Note(d.name + ": pull path " + std::to_string(path));
                harness_.Pull(fabricPath);
                injected_++;
            } else {
                ULONG restored = 0;
                RestorePaths(d, &restored);
                if (restored)
                    Note(d.name + ": restore " + std::to_string(restored) + " path(s)");
            }
            return;
        }
        NTSTATUS status = onDrive ? harness_.AddDriveFault(target.drive, f) : harness_.AddPathFault(target.paths[path], f);
        if (status == STATUS_INSUFFICIENT_RESOURCES) {
            // Rules that never met their command fill the list: start it afresh.
            harness_.ClearAll();
            status = onDrive ? harness_.AddDriveFault(target.drive, f) : harness_.AddPathFault(target.paths[path], f);
        }
        if (NT_SUCCESS(status)) {
            injected_++;
            Note(d.name + ": " + kind + ": " + DescribeFault(f) + (onDrive ? " on the drive" : " on path " + std::to_string(path)));
        }
    }

    // Where the tape is, asked again until the drive answers (a one-shot fault may take a try).
    bool Sync(Drive &d, uint64_t *position)
    {
        NTSTATUS status = Persist([&] { return app_.SyncPosition(d.handle, d.name, position); });
        if (NT_SUCCESS(status))
            return true;
        return Fail(d.name + ": the position cannot be read even with every fault cleared (" + StatusText(status) + ")");
    }

    // After a write or filemark that failed at `start`: what reached the tape must be what the
    // application was told (the byte count of a failed request), and the tape is made to end at
    // the ledger again.
    bool AfterFailedWrite(Drive &d, uint64_t start, uint64_t accounted)
    {
        uint64_t now = 0;
        if (!Sync(d, &now))
            return false;
        if (now != start + accounted) {
            char text[200];
            snprintf(text, sizeof text,
                     "%s: a write that failed at position %llu left the tape at %llu, but reported %llu block(s) written",
                     d.name.c_str(), (unsigned long long)start, (unsigned long long)now, (unsigned long long)accounted);
            return Fail(text);
        }
        if (now == start)
            return true;
        NTSTATUS status = Persist([&] {
            NTSTATUS moved = app_.SetPosition(d.handle, d.name, TAPE_LOGICAL_BLOCK, start);
            return NT_SUCCESS(moved) ? app_.WriteFilemark(d.handle, d.name) : moved;
        });
        if (NT_SUCCESS(status)) {
            Note(d.name + ": cut the tape back to " + std::to_string(start));
            return true;
        }
        return Fail(d.name + ": the tape cannot be cut back to position " + std::to_string(start));
    }

    bool KnownPosition(Drive &d, uint64_t *position)
    {
        *position = app_.Position(d.name);
        return *position != UINT64_MAX || Sync(d, position);
    }

    void Write(Drive &d)
    {
        uint64_t start = 0;
        if (!KnownPosition(d, &start))
            return;
        // Mostly append, as backups do; sometimes overwrite from the middle.
        const uint64_t end = app_.LedgerLength(d.name);
        if (start != end && Pick(4) != 0) {
            NTSTATUS status = app_.SetPosition(d.handle, d.name, TAPE_LOGICAL_BLOCK, end);
            Note(d.name + ": locate " + std::to_string(end) + " (the end): " + StatusText(status));
            if (!NT_SUCCESS(status) || !KnownPosition(d, &start))
                return;
        }
        uint32_t mode = app_.BlockSize(d.name);
        uint32_t size = mode && mode != UINT32_MAX ? mode * (uint32_t)(1 + Pick(24)) : (uint32_t)(16 + Pick(96 * 1024));
        uint64_t written = 0;
        writes_++;
        NTSTATUS status = app_.WriteRecord(d.handle, d.name, size, &written);
        Note(d.name + ": write " + std::to_string(size) + " at " + std::to_string(start) + ": " + StatusText(status));
        if (NT_SUCCESS(status))
            return;
        failedWrites_++;
        mode = app_.BlockSize(d.name);
        uint64_t accounted = mode && mode != UINT32_MAX ? written / mode : (written ? 1 : 0);
        AfterFailedWrite(d, start, accounted);
    }

    void Filemark(Drive &d)
    {
        uint64_t start = 0;
        if (!KnownPosition(d, &start))
            return;
        NTSTATUS status = app_.WriteFilemark(d.handle, d.name);
        Note(d.name + ": filemark at " + std::to_string(start) + ": " + StatusText(status));
        if (!NT_SUCCESS(status))
            AfterFailedWrite(d, start, 0);
    }

    void Read(Drive &d)
    {
        uint64_t at = 0;
        if (!KnownPosition(d, &at))
            return;
        std::vector<uint8_t> expected, got;
        bool filemark = false;
        bool inLedger = app_.ExpectedAt(d.name, at, &expected, &filemark);
        uint32_t mode = app_.BlockSize(d.name);
        uint32_t length = mode && mode != UINT32_MAX ? mode : (uint32_t)(inLedger && !filemark ? expected.size() + 1 : 128 * 1024);
        uint64_t transferred = 0;
        reads_++;
        NTSTATUS status = app_.ReadRecord(d.handle, length, &got, &transferred);
        Note(d.name + ": read " + std::to_string(length) + " at " + std::to_string(at) + ": " + StatusText(status) +
             ", " + std::to_string(transferred) + " bytes");
        app_.SyncPosition(d.handle, d.name); // whatever happened, ask before the next write
        if (!NT_SUCCESS(status))
            return;
        if (!inLedger)
            Fail(d.name + ": a read at position " + std::to_string(at) + ", past the end of the ledger, returned data");
        else if (filemark)
            Fail(d.name + ": a read at position " + std::to_string(at) + " returned data where a filemark is");
        else if (mode && mode != UINT32_MAX && mode != expected.size())
            return; // another mode than the block was written in: the drive decides what it returns
        else if (transferred != expected.size() || memcmp(got.data(), expected.data(), expected.size()) != 0)
            Fail(d.name + ": a read at position " + std::to_string(at) + " succeeded with other data than was written there");
    }

    void Operate(Drive &d)
    {
        const size_t roll = Pick(100);
        if (roll < 40)
            return Write(d);
        if (roll < 48)
            return Filemark(d);
        if (roll < 62)
            return Read(d);
        others_++;
        const uint64_t length = app_.LedgerLength(d.name);
        NTSTATUS status = STATUS_SUCCESS;
        std::string what;
        if (roll < 70) {
            uint64_t at = 0;
            if (!KnownPosition(d, &at))
                return;
            int64_t count = (int64_t)Pick(9) - 4;
            if ((int64_t)at + count < 0)
                count = -(int64_t)at;
            status = app_.SetPosition(d.handle, d.name, TAPE_SPACE_RELATIVE_BLOCKS, (uint64_t)count);
            what = "space " + std::to_string(count);
            app_.SyncPosition(d.handle, d.name);
        } else if (roll < 80) {
            uint64_t to = Pick(length + 1);
            status = app_.SetPosition(d.handle, d.name, TAPE_LOGICAL_BLOCK, to);
            what = "locate " + std::to_string(to);
        } else if (roll < 85) {
            status = app_.SetPosition(d.handle, d.name, TAPE_REWIND, 0);
            what = "rewind";
        } else if (roll < 91) {
            static const uint32_t kModes[] = {0, 0, 512, 1024, 4096};
            uint32_t mode = kModes[Pick(std::size(kModes))];
            status = app_.SetBlockSize(d.handle, d.name, mode);
            what = "block size " + std::to_string(mode);
        } else if (roll < 96) {
            if (!options_.reservations)
                return;
            status = app_.Ioctl(d.handle, d.reserved ? IOCTL_STORAGE_RELEASE : IOCTL_STORAGE_RESERVE, nullptr, 0, nullptr, 0);
            what = d.reserved ? "release" : "reserve";
            if (NT_SUCCESS(status))
                d.reserved = !d.reserved;
        } else {
            // Close and open again: the bus forgets the position and the block size.
            if (d.reserved) {
                app_.Ioctl(d.handle, IOCTL_STORAGE_RELEASE, nullptr, 0, nullptr, 0);
                d.reserved = false;
            }
            app_.Close(d.handle);
            d.handle = nullptr;
            what = "close and open";
            if (OpenDrive(d))
                app_.SyncPosition(d.handle, d.name);
        }
        Note(d.name + ": " + what + ": " + StatusText(status));
    }

    uint32_t seed_;
    const SoakOptions &options_;
    FILE *out_;
    std::mt19937 rng_;
    TapeApplication app_;
    FaultHarness harness_;
    std::vector<Drive> drives_;
    std::string failure_;
    std::deque<std::string> trace_;
    uint32_t writes_ = 0, failedWrites_ = 0, reads_ = 0, others_ = 0, injected_ = 0;
};

} // namespace

bool ParseSeedList(const std::string &text, std::vector<uint32_t> *seeds)
{
    seeds->clear();
    size_t at = 0;
    while (at <= text.size()) {
        size_t comma = text.find(',', at);
        std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        size_t dash = item.find('-');
        char *end = nullptr;
        if (item.empty() || !isdigit((unsigned char)item[0]))
            return false;
        unsigned long first = strtoul(item.c_str(), &end, 10);
        unsigned long last = first;
        if (dash != std::string::npos) {
            if (end != item.c_str() + dash || !isdigit((unsigned char)item[dash + 1]))
                return false;
            last = strtoul(item.c_str() + dash + 1, &end, 10);
        }
        if (*end || last < first || first > 0xFFFFFFFFul || last > 0xFFFFFFFFul || last - first > 100000)
            return false;
        for (unsigned long s = first; s <= last; s++)
            seeds->push_back((uint32_t)s);
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    return !seeds->empty();
}

bool RunSoak(const SoakOptions &options, FILE *out)
{
    std::vector<uint32_t> failed;
    for (uint32_t seed : options.seeds) {
        SoakRun run(seed, options, out);
        if (run.Run())
            continue;
        failed.push_back(seed);
        fprintf(out, "soak seed %u: FAILED: %s\n  the last operations:\n", seed, run.Failure().c_str());
        for (const std::string &line : run.Trace())
            fprintf(out, "    %s\n", line.c_str());
    }
    if (failed.empty()) {
        fprintf(out, "soak: %zu seed(s) passed\n", options.seeds.size());
        return true;
    }
    fprintf(out, "soak: FAILED seeds:");
    for (uint32_t s : failed)
        fprintf(out, " %u", s);
    fprintf(out, " (of %zu; run again with --soak-seeds and --soak-trace)\n", options.seeds.size());
    return false;
}

} // namespace vyr::tools
