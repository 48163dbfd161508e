#include "backup.h"

#include <thread>

namespace vyr::tools {

namespace {

constexpr UCHAR kOpWrite6 = 0x0A;

// The path of `device` that is primary now, as a fabric path index and its listing index.
bool PrimaryPath(FaultHarness &faults, const std::string &device, FaultHarness::Target *target, std::string *error)
{
    if (!NT_SUCCESS(faults.Resolve(device, target, error)))
        return false;
    if (target->primary < 0 || target->paths[target->primary] == kNoFabricPath) {
        *error = device + " has no primary path";
        return false;
    }
    return true;
}

} // namespace

BackupReport RunBackup(TapeApplication &app, FaultHarness &faults, const std::string &device, const BackupPlan &plan,
                       FILE *out)
{
    BackupReport report;
    NTSTATUS status = STATUS_SUCCESS;
    HANDLE h = app.Open(device, &status);
    if (h == hk::INVALID_HANDLE) {
        report.status = status;
        report.detail = "opening \\\\.\\" + device + " failed with " + StatusText(status);
        return report;
    }
    status = app.SetBlockSize(h, device, plan.blockSize);
    if (NT_SUCCESS(status))
        status = app.SetPosition(h, device, TAPE_REWIND, 0);
    if (!NT_SUCCESS(status)) {
        report.status = status;
        report.detail = "preparing the tape failed with " + StatusText(status);
        app.Close(h);
        return report;
    }
    if (plan.blockSize)
        fprintf(out, "backup %s: fixed blocks of %u bytes, %u files of %u records of %u bytes\n", device.c_str(),
                plan.blockSize, plan.files, plan.recordsPerFile, plan.recordSize);
    else
        fprintf(out, "backup %s: variable blocks, %u files of %u records of %u bytes\n", device.c_str(), plan.files,
                plan.recordsPerFile, plan.recordSize);

    const uint32_t middle = plan.recordsPerFile / 2;
    for (uint32_t file = 0; file < plan.files && NT_SUCCESS(report.status); file++) {
        for (uint32_t record = 0; record < plan.recordsPerFile; record++) {
            FaultHarness::Target target;
            std::string error;
            bool pullMidWrite = false;
            if (plan.inject && record == middle && file >= 1 && file <= 3) {
                if (!PrimaryPath(faults, device, &target, &error)) {
                    report.status = STATUS_NOT_FOUND;
                    report.detail = error;
                    break;
                }
                const ULONG path = target.paths[target.primary];
                FabFaultRequest f{};
                f.Form = FAB_FORM_ONE_SHOT;
                f.fOpcodeFilter = 1;
                f.Opcode = kOpWrite6;
                if (file == 1) {
                    // The drive takes part of the write, then reports a hardware failure.
                    f.Kind = FAB_FAULT_WRITE_AFTER_BLOCKS;
                    f.BlocksWritten = plan.blockSize ? plan.recordSize / plan.blockSize / 3 : 1;
                    f.SenseKey = 0x4;
                    f.Asc = 0x44;
                } else if (file == 2) {
                    f.Kind = FAB_FAULT_SENSE;
                    f.SenseKey = 0x2;
                    f.Asc = 0x04;
                } else {
                    // The write is stopped in the fabric until the cable is gone.
                    f.Kind = FAB_FAULT_HOLD;
                    pullMidWrite = true;
                }
                status = faults.AddPathFault(path, f);
                if (!NT_SUCCESS(status)) {
                    report.status = status;
                    report.detail = "injecting a fault failed with " + StatusText(status);
                    break;
                }
                report.faultsInjected++;
                fprintf(out, "  file %u, record %u: %s on %s/%d (the primary path)\n", file, record,
                        pullMidWrite ? "cable pulled while the write is on its way" : DescribeFault(f).c_str(),
                        device.c_str(), target.primary);
            }
            uint64_t written = 0;
            if (pullMidWrite) {
                std::thread writer([&] { status = app.WriteRecord(h, device, plan.recordSize, &written); });
                ULONG held = 0;
                NTSTATUS waited = faults.Fabric().WaitHeld(1, &held);
                NTSTATUS pulled = faults.Pull(target.paths[target.primary]);
                if (!NT_SUCCESS(waited) || !NT_SUCCESS(pulled))
                    faults.Fabric().ReleaseHeld(FAB_SCOPE_ALL, 0);
                writer.join();
                if (!NT_SUCCESS(waited) || !NT_SUCCESS(pulled)) {
                    report.status = NT_SUCCESS(waited) ? pulled : waited;
                    report.detail = "pulling the cable under a write failed with " + StatusText(report.status);
                    break;
                }
            } else {
                status = app.WriteRecord(h, device, plan.recordSize, &written);
            }
            if (!NT_SUCCESS(status)) {
                report.status = status;
                char text[200];
                snprintf(text, sizeof text, "file %u, record %u: the write failed with %s after %llu of %u bytes", file,
                         record, StatusText(status).c_str(), (unsigned long long)written, plan.recordSize);
                report.detail = text;
                break;
            }
            report.records++;
            report.bytes += plan.recordSize;
        }
        if (!NT_SUCCESS(report.status))
            break;
        status = app.WriteFilemark(h, device);
        if (!NT_SUCCESS(status)) {
            report.status = status;
            report.detail = "file " + std::to_string(file) + ": writing its filemark failed with " + StatusText(status);
            break;
        }
        report.filemarks++;
        fprintf(out, "  file %u: %u records and a filemark written\n", file, plan.recordsPerFile);
    }
    app.Close(h);
    fprintf(out, "backup %s: %llu records (%llu bytes) and %llu filemarks written: %s\n", device.c_str(),
            (unsigned long long)report.records, (unsigned long long)report.bytes, (unsigned long long)report.filemarks,
            StatusText(report.status).c_str());
    if (!report.detail.empty())
        fprintf(out, "  %s\n", report.detail.c_str());
    return report;
}

} // namespace vyr::tools
