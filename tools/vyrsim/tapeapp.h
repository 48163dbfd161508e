// A backup application on the simulated host: it opens \\.\TapeN from a user-mode process, writes
// blocks with a known pattern, rewinds, and reads them back to verify them byte for byte. It keeps
// a ledger of every block it wrote to each device, in tape order, so that a verify knows what the
// tape must hold.
#pragma once

#include "hk/host.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vyr::tools {

struct IoResult {
    NTSTATUS status = STATUS_SUCCESS; // first failure, or success
    uint64_t requests = 0;            // requests that completed successfully
    uint64_t bytes = 0;               // bytes moved by them
    uint64_t mismatches = 0;          // verify: blocks whose contents differed
    std::string detail;               // what went wrong, for people
};

class TapeApplication {
public:
    TapeApplication();

    // Writes `blocks` blocks of `blockSize` bytes at the current position of the tape.
    IoResult Write(const std::string &device, uint32_t blocks, uint32_t blockSize);
    // Reads `blocks` blocks of up to `blockSize` bytes from the current position.
    IoResult Read(const std::string &device, uint32_t blocks, uint32_t blockSize);
    IoResult Rewind(const std::string &device);
    // Rewinds and reads back every block the ledger holds for the device, comparing each.
    IoResult Verify(const std::string &device);

    uint64_t BlocksWritten(const std::string &device) const;

    // The contents of block `sequence` (ledger order) of a device's n-th write session.
    static void Pattern(uint32_t deviceSeed, uint64_t sequence, std::vector<uint8_t> *block);

private:
    struct LedgerBlock {
        uint64_t sequence;
        uint32_t size;
    };
    HANDLE Open(const std::string &device, IoResult *result);
    static uint32_t DeviceSeed(const std::string &device);

    std::shared_ptr<hk::Process> process_;
    std::map<std::string, std::vector<LedgerBlock>> ledger_;
    std::map<std::string, uint64_t> nextSequence_;
};

// "0x%08X" with the NT status name where it is a common one.
std::string StatusText(NTSTATUS status);

} // namespace vyr::tools
