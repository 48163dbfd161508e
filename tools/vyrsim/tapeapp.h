// A backup application on the simulated host: it opens \\.\TapeN from a user-mode process, writes
// records with a known pattern and filemarks, moves about the tape, and reads everything back to
// verify it byte for byte. It keeps a ledger of what it was told is on each tape, in tape order, so
// that a verify knows what the medium must hold, and can say which blocks were lost, duplicated,
// reordered or written without the application knowing.
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

// What a verify found, in tape blocks (a fixed-mode record of n blocks counts n) and filemarks.
struct LedgerCheck {
    uint64_t expectedBlocks = 0;  // data blocks the ledger holds
    uint64_t expectedMarks = 0;
    uint64_t blocksRead = 0;      // data blocks found on the medium
    uint64_t marksRead = 0;
    uint64_t bytesVerified = 0;   // bytes of blocks that matched, in place
    uint64_t lost = 0;            // ledger blocks the medium does not hold
    uint64_t duplicated = 0;      // ledger blocks the medium holds more than once (the extra copies)
    uint64_t unaccounted = 0;     // blocks on the medium the application never was told were written
    uint64_t outOfOrder = 0;      // ledger blocks found after a later one
    uint64_t corrupted = 0;       // blocks whose place was right but whose bytes were not
    bool verified = false;        // the medium holds exactly the ledger, then ends
};

// The stamp at the start of every 512 bytes of a record: the record's sequence number and the
// offset, so that any tape block, whole record or fixed-size piece of one, names itself.
constexpr uint32_t kStampStride = 512;
inline uint64_t BlockStamp(uint64_t sequence, uint64_t offset) { return (sequence << 20) | (offset / kStampStride); }

class TapeApplication {
public:
    // Record sequence numbers start at firstSequence: runs that share a medium keep theirs apart.
    explicit TapeApplication(uint64_t firstSequence = 0);

    // Whole steps: each opens the device, does its work and closes it again.
    IoResult Write(const std::string &device, uint32_t blocks, uint32_t blockSize);
    IoResult Read(const std::string &device, uint32_t blocks, uint32_t blockSize);
    IoResult Rewind(const std::string &device);
    IoResult WriteFilemarks(const std::string &device, uint32_t count);
    // Rewinds and reads back the whole medium, comparing it with the ledger.
    IoResult Verify(const std::string &device, LedgerCheck *check = nullptr);

    // A session on an open handle, for programs that interleave requests with other work. Each
    // keeps the ledger: a record or filemark the application is told was written enters it at
    // the position the application believes the tape is at, and anything after it is gone (a
    // tape write ends the data there).
    HANDLE Open(const std::string &device, NTSTATUS *status = nullptr);
    void Close(HANDLE h);
    NTSTATUS WriteRecord(HANDLE h, const std::string &device, uint32_t size, uint64_t *written = nullptr);
    NTSTATUS WriteFilemark(HANDLE h, const std::string &device);
    NTSTATUS SetBlockSize(HANDLE h, const std::string &device, uint32_t blockSize);
    // Asks the drive where the tape is and takes that as the application's position.
    NTSTATUS SyncPosition(HANDLE h, const std::string &device, uint64_t *position = nullptr);
    NTSTATUS SetPosition(HANDLE h, const std::string &device, ULONG method, uint64_t offset);
    NTSTATUS ReadRecord(HANDLE h, uint32_t length, std::vector<uint8_t> *data, uint64_t *transferred);
    NTSTATUS Ioctl(HANDLE h, ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength,
                   uint64_t *returned = nullptr);

    // What the ledger says: data blocks and filemarks in tape order, and where the application
    // believes the tape is (UINT64_MAX when it does not know).
    uint64_t BlocksWritten(const std::string &device) const;
    uint64_t LedgerLength(const std::string &device) const;
    uint64_t Position(const std::string &device) const;
    uint32_t BlockSize(const std::string &device) const;
    // The contents an entry at `position` must have: a data block, or a filemark.
    bool ExpectedAt(const std::string &device, uint64_t position, std::vector<uint8_t> *block, bool *filemark) const;

    // The contents of a record.
    static void Pattern(uint32_t deviceSeed, uint64_t sequence, std::vector<uint8_t> *block);
    static uint32_t DeviceSeed(const std::string &device);

private:
    // One logical object on the tape: a filemark, or a block (a whole record in variable-block
    // mode, one fixed-size block of a record in fixed-block mode).
    struct Entry {
        bool filemark = false;
        uint64_t sequence = 0;  // the record it belongs to
        uint32_t offset = 0;    // where in the record the block starts
        uint32_t size = 0;      // bytes of the block
        uint32_t recordSize = 0;
        uint32_t blockSize = 0; // the mode it was written in: 0 variable
    };
    struct Tape {
        std::vector<Entry> entries;
        uint64_t position = 0;          // index into entries, or UINT64_MAX
        uint32_t blockSize = UINT32_MAX; // the application's last setting; UINT32_MAX not known
    };
    void Append(Tape &tape, const Entry &entry);

    std::shared_ptr<hk::Process> process_;
    std::map<std::string, Tape> tapes_;
    std::map<std::string, uint64_t> nextSequence_;
    uint64_t firstSequence_;
};

// "0x%08X" with the NT status name where it is a common one.
std::string StatusText(NTSTATUS status);

} // namespace vyr::tools
