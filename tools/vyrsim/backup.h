// The demonstration backup: files of records with a filemark after each, written through a
// logical device while faults strike its primary path part way through -- a write that fails
// after some of its blocks reached the tape, a drive that reports itself not ready, and a cable
// pulled while a write is on its way.
#pragma once

#include "faults.h"
#include "tapeapp.h"

#include <cstdio>
#include <string>

namespace vyr::tools {

struct BackupPlan {
    uint32_t files = 4;
    uint32_t recordsPerFile = 24;
    uint32_t recordSize = 65536;
    uint32_t blockSize = 16384; // fixed-block mode, so that a write can fail part way; 0 variable
    bool inject = true;        // strike the primary path during files 1 to 3
};

struct BackupReport {
    NTSTATUS status = STATUS_SUCCESS;
    uint64_t records = 0;   // records the application was told were written
    uint64_t bytes = 0;
    uint64_t filemarks = 0;
    uint32_t faultsInjected = 0;
    std::string detail;
};

// Runs the backup on `device`, printing each file and each fault as it happens.
BackupReport RunBackup(TapeApplication &app, FaultHarness &faults, const std::string &device, const BackupPlan &plan,
                       FILE *out);

} // namespace vyr::tools
