#include "tapeapp.h"

#include <cstdio>
#include <cstring>
#include <set>

namespace vyr::tools {

std::string StatusText(NTSTATUS status)
{
    static const struct {
        NTSTATUS status;
        const char *name;
    } kNames[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
        {STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED"},
        {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {STATUS_OBJECT_PATH_NOT_FOUND, "STATUS_OBJECT_PATH_NOT_FOUND"},
        {STATUS_DELETE_PENDING, "STATUS_DELETE_PENDING"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_IO_DEVICE_ERROR, "STATUS_IO_DEVICE_ERROR"},
        {STATUS_DEVICE_NOT_READY, "STATUS_DEVICE_NOT_READY"},
        {STATUS_NO_MEDIA_IN_DEVICE, "STATUS_NO_MEDIA_IN_DEVICE"},
        {STATUS_CANCELLED, "STATUS_CANCELLED"},
        {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
        {STATUS_FILEMARK_DETECTED, "STATUS_FILEMARK_DETECTED"},
        {STATUS_END_OF_MEDIA, "STATUS_END_OF_MEDIA"},
        {STATUS_NO_DATA_DETECTED, "STATUS_NO_DATA_DETECTED"},
        {STATUS_DEVICE_BUSY, "STATUS_DEVICE_BUSY"},
        {STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT"},
        {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
        {STATUS_MEDIA_WRITE_PROTECTED, "STATUS_MEDIA_WRITE_PROTECTED"},
        {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
        {STATUS_INVALID_BLOCK_LENGTH, "STATUS_INVALID_BLOCK_LENGTH"},
        {STATUS_BUS_RESET, "STATUS_BUS_RESET"},
        {STATUS_MEDIA_CHANGED, "STATUS_MEDIA_CHANGED"},
    };
    char text[80];
    for (const auto &n : kNames)
        if (n.status == status) {
            snprintf(text, sizeof text, "0x%08X (%s)", (unsigned)status, n.name);
            return text;
        }
    snprintf(text, sizeof text, "0x%08X", (unsigned)status);
    return text;
}

TapeApplication::TapeApplication(uint64_t firstSequence)
    : process_(hk::Process::Create("backup-application")), firstSequence_(firstSequence)
{
}

uint32_t TapeApplication::DeviceSeed(const std::string &device)
{
    uint32_t h = 2166136261u;
    for (char c : device)
        h = (h ^ (uint8_t)c) * 16777619u;
    return h;
}

void TapeApplication::Pattern(uint32_t deviceSeed, uint64_t sequence, std::vector<uint8_t> *block)
{
    uint64_t x = ((uint64_t)deviceSeed << 32) ^ (sequence * 0x9E3779B97F4A7C15ULL) ^ 0xD1B54A32D192ED03ULL;
    for (size_t i = 0; i < block->size(); i++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        (*block)[i] = (uint8_t)x;
    }
    // Every piece of every record differs from every other, so a lost, duplicated or reordered
    // block cannot verify, and a block read back says which one it is.
    for (size_t at = 0; at < block->size(); at += kStampStride) {
        uint64_t stamp = BlockStamp(sequence, at);
        for (size_t i = 0; i < 8 && at + i < block->size(); i++)
            (*block)[at + i] = (uint8_t)(stamp >> (8 * i));
    }
}

HANDLE TapeApplication::Open(const std::string &device, NTSTATUS *status)
{
    HANDLE h = process_->CreateFile("\\\\.\\" + device);
    if (status)
        *status = h == hk::INVALID_HANDLE ? process_->LastStatus() : STATUS_SUCCESS;
    return h;
}

void TapeApplication::Close(HANDLE h)
{
    process_->CloseHandle(h);
}

NTSTATUS TapeApplication::Ioctl(HANDLE h, ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength,
                                uint64_t *returned)
{
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = process_->NtDeviceIoControlFile(h, code, in, inLength, out, outLength, &iosb);
    if (returned)
        *returned = iosb.Information;
    return status;
}

void TapeApplication::Append(Tape &tape, const Entry &entry)
{
    if (tape.position > tape.entries.size())
        tape.position = tape.entries.size(); // not reached: callers know the position
    tape.entries.resize(tape.position);
    tape.entries.push_back(entry);
    tape.position++;
}

NTSTATUS TapeApplication::SetBlockSize(HANDLE h, const std::string &device, uint32_t blockSize)
{
    TAPE_SET_MEDIA_PARAMETERS parameters{};
    parameters.BlockSize = blockSize;
    NTSTATUS status = Ioctl(h, IOCTL_TAPE_SET_MEDIA_PARAMS, &parameters, sizeof parameters, nullptr, 0);
    tapes_[device].blockSize = NT_SUCCESS(status) ? blockSize : UINT32_MAX;
    return status;
}

NTSTATUS TapeApplication::SyncPosition(HANDLE h, const std::string &device, uint64_t *position)
{
    TAPE_GET_POSITION where{};
    where.Type = TAPE_LOGICAL_POSITION;
    NTSTATUS status = Ioctl(h, IOCTL_TAPE_GET_POSITION, &where, sizeof where, &where, sizeof where);
    Tape &tape = tapes_[device];
    tape.position = NT_SUCCESS(status) ? (uint64_t)where.Offset.QuadPart : UINT64_MAX;
    if (position)
        *position = tape.position;
    return status;
}

NTSTATUS TapeApplication::SetPosition(HANDLE h, const std::string &device, ULONG method, uint64_t offset)
{
    TAPE_SET_POSITION position{};
    position.Method = method;
    position.Offset.QuadPart = (LONGLONG)offset;
    NTSTATUS status = Ioctl(h, IOCTL_TAPE_SET_POSITION, &position, sizeof position, nullptr, 0);
    Tape &tape = tapes_[device];
    if (NT_SUCCESS(status) && method == TAPE_REWIND)
        tape.position = 0;
    else if (NT_SUCCESS(status) && method == TAPE_LOGICAL_BLOCK)
        tape.position = offset;
    else
        tape.position = UINT64_MAX; // spaces, and any failure: ask the drive before relying on it
    return status;
}

NTSTATUS TapeApplication::WriteRecord(HANDLE h, const std::string &device, uint32_t size, uint64_t *written)
{
    Tape &tape = tapes_[device];
    if (tape.blockSize == UINT32_MAX) {
        TAPE_GET_MEDIA_PARAMETERS media{};
        NTSTATUS status = Ioctl(h, IOCTL_TAPE_GET_MEDIA_PARAMS, nullptr, 0, &media, sizeof media);
        if (!NT_SUCCESS(status))
            return status;
        tape.blockSize = media.BlockSize;
    }
    if (tape.position == UINT64_MAX) {
        NTSTATUS status = SyncPosition(h, device);
        if (!NT_SUCCESS(status))
            return status;
    }
    auto next = nextSequence_.try_emplace(device, firstSequence_).first;
    const uint64_t sequence = next->second++;
    std::vector<uint8_t> record(size);
    Pattern(DeviceSeed(device), sequence, &record);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = process_->NtWriteFile(h, record.data(), size, &iosb);
    if (written)
        *written = iosb.Information;
    if (!NT_SUCCESS(status) || iosb.Information != size) {
        // What a failed write left on the tape the application does not know: it asks again
        // before its next write.
        tape.position = UINT64_MAX;
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    const uint32_t piece = tape.blockSize ? tape.blockSize : size;
    for (uint32_t at = 0; at < size; at += piece) {
        Entry e;
        e.sequence = sequence;
        e.offset = at;
        e.size = std::min(piece, size - at);
        e.recordSize = size;
        e.blockSize = tape.blockSize;
        Append(tape, e);
    }
    return STATUS_SUCCESS;
}

NTSTATUS TapeApplication::WriteFilemark(HANDLE h, const std::string &device)
{
    Tape &tape = tapes_[device];
    if (tape.position == UINT64_MAX) {
        NTSTATUS status = SyncPosition(h, device);
        if (!NT_SUCCESS(status))
            return status;
    }
    TAPE_WRITE_MARKS marks{};
    marks.Type = TAPE_FILEMARKS;
    marks.Count = 1;
    NTSTATUS status = Ioctl(h, IOCTL_TAPE_WRITE_MARKS, &marks, sizeof marks, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        tape.position = UINT64_MAX;
        return status;
    }
    Entry e;
    e.filemark = true;
    Append(tape, e);
    return STATUS_SUCCESS;
}

NTSTATUS TapeApplication::ReadRecord(HANDLE h, uint32_t length, std::vector<uint8_t> *data, uint64_t *transferred)
{
    data->assign(length, 0);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = process_->NtReadFile(h, data->data(), length, &iosb);
    *transferred = std::min<uint64_t>(iosb.Information, length);
    return status;
}

IoResult TapeApplication::Write(const std::string &device, uint32_t blocks, uint32_t blockSize)
{
    IoResult result;
    HANDLE h = Open(device, &result.status);
    if (h == hk::INVALID_HANDLE) {
        result.detail = "opening \\\\.\\" + device + " failed with " + StatusText(result.status);
        return result;
    }
    for (uint32_t i = 0; i < blocks; i++) {
        uint64_t written = 0;
        NTSTATUS status = WriteRecord(h, device, blockSize, &written);
        if (!NT_SUCCESS(status)) {
            result.status = status;
            char text[160];
            snprintf(text, sizeof text, "write of block %u failed with %s after %llu of %u bytes", i,
                     StatusText(status).c_str(), (unsigned long long)written, blockSize);
            result.detail = text;
            break;
        }
        result.requests++;
        result.bytes += blockSize;
    }
    Close(h);
    return result;
}

IoResult TapeApplication::WriteFilemarks(const std::string &device, uint32_t count)
{
    IoResult result;
    HANDLE h = Open(device, &result.status);
    if (h == hk::INVALID_HANDLE) {
        result.detail = "opening \\\\.\\" + device + " failed with " + StatusText(result.status);
        return result;
    }
    for (uint32_t i = 0; i < count && NT_SUCCESS(result.status); i++) {
        result.status = WriteFilemark(h, device);
        if (NT_SUCCESS(result.status))
            result.requests++;
        else
            result.detail = "writing a filemark failed with " + StatusText(result.status);
    }
    Close(h);
    return result;
}

IoResult TapeApplication::Read(const std::string &device, uint32_t blocks, uint32_t blockSize)
{
    IoResult result;
    HANDLE h = Open(device, &result.status);
    if (h == hk::INVALID_HANDLE) {
        result.detail = "opening \\\\.\\" + device + " failed with " + StatusText(result.status);
        return result;
    }
    std::vector<uint8_t> block;
    for (uint32_t i = 0; i < blocks; i++) {
        uint64_t transferred = 0;
        NTSTATUS status = ReadRecord(h, blockSize, &block, &transferred);
        if (!NT_SUCCESS(status)) {
            result.status = status;
            result.detail = "read of block " + std::to_string(i) + " ended with " + StatusText(status);
            break;
        }
        result.requests++;
        result.bytes += transferred;
    }
    tapes_[device].position = UINT64_MAX;
    Close(h);
    return result;
}

IoResult TapeApplication::Rewind(const std::string &device)
{
    IoResult result;
    HANDLE h = Open(device, &result.status);
    if (h == hk::INVALID_HANDLE) {
        result.detail = "opening \\\\.\\" + device + " failed with " + StatusText(result.status);
        return result;
    }
    result.status = SetPosition(h, device, TAPE_REWIND, 0);
    if (NT_SUCCESS(result.status))
        result.requests = 1;
    else
        result.detail = "rewind failed with " + StatusText(result.status);
    Close(h);
    return result;
}

bool TapeApplication::ExpectedAt(const std::string &device, uint64_t position, std::vector<uint8_t> *block,
                                 bool *filemark) const
{
    auto it = tapes_.find(device);
    if (it == tapes_.end() || position >= it->second.entries.size())
        return false;
    const Entry &e = it->second.entries[position];
    *filemark = e.filemark;
    block->clear();
    if (!e.filemark) {
        std::vector<uint8_t> record(e.recordSize);
        Pattern(DeviceSeed(device), e.sequence, &record);
        block->assign(record.begin() + e.offset, record.begin() + e.offset + e.size);
    }
    return true;
}

IoResult TapeApplication::Verify(const std::string &device, LedgerCheck *checkOut)
{
    LedgerCheck check;
    IoResult result = Rewind(device);
    if (!NT_SUCCESS(result.status)) {
        if (checkOut)
            *checkOut = check;
        return result;
    }
    result.requests = 0;
    HANDLE h = Open(device, &result.status);
    if (h == hk::INVALID_HANDLE) {
        result.detail = "opening \\\\.\\" + device + " failed with " + StatusText(result.status);
        if (checkOut)
            *checkOut = check;
        return result;
    }
    Tape &tape = tapes_[device];
    const std::vector<Entry> &expected = tape.entries;
    constexpr uint64_t kMark = UINT64_MAX;
    std::vector<uint64_t> keys; // what the medium holds, in order: stamps of data blocks, kMark for filemarks
    std::map<uint64_t, uint64_t> want;
    for (const Entry &e : expected) {
        if (e.filemark) {
            check.expectedMarks++;
        } else {
            check.expectedBlocks++;
            want[BlockStamp(e.sequence, e.offset)]++;
        }
    }

    // Read until the end of data (a little past the ledger at most: what lies beyond it is counted,
    // not read for ever), in the mode each block was written in.
    const uint64_t limit = expected.size() + 64;
    uint32_t mode = UINT32_MAX;
    uint32_t largest = 1;
    for (const Entry &e : expected)
        largest = std::max(largest, e.size);
    std::vector<uint8_t> wantBytes, got;
    int hardErrors = 0;
    for (uint64_t i = 0; i < limit; i++) {
        const Entry *e = i < expected.size() ? &expected[i] : nullptr;
        uint32_t readMode = e && !e->filemark ? e->blockSize : mode;
        if (readMode == UINT32_MAX)
            readMode = 0;
        if (readMode != mode) {
            NTSTATUS status = SetBlockSize(h, device, readMode);
            if (!NT_SUCCESS(status)) {
                result.status = status;
                result.detail = "setting the block size to " + std::to_string(readMode) + " failed with " + StatusText(status);
                break;
            }
            mode = readMode;
        }
        // Variable blocks: one byte more than expected, so a longer block shows as a mismatch.
        uint32_t length = mode ? mode : (e && !e->filemark ? e->size + 1 : largest + 1);
        uint64_t transferred = 0;
        NTSTATUS status = ReadRecord(h, length, &got, &transferred);
        if (status == STATUS_FILEMARK_DETECTED) {
            keys.push_back(kMark);
            check.marksRead++;
            if (!e || !e->filemark) {
                if (result.mismatches++ == 0)
                    result.detail = "entry " + std::to_string(i) + ": a filemark where the ledger has " +
                                    (e ? "a block" : "the end of data");
            }
            continue;
        }
        if (status == STATUS_NO_DATA_DETECTED || status == STATUS_END_OF_MEDIA) {
            if (e && result.detail.empty())
                result.detail = "the data end at entry " + std::to_string(i) + " of " + std::to_string(expected.size());
            break;
        }
        if (!NT_SUCCESS(status)) {
            if (result.detail.empty())
                result.detail = "reading back entry " + std::to_string(i) + " failed with " + StatusText(status);
            result.mismatches++;
            if (++hardErrors >= 3) {
                result.status = status;
                break;
            }
            continue;
        }
        hardErrors = 0;
        uint64_t stamp = 0;
        for (size_t k = 0; k < 8 && k < transferred; k++)
            stamp |= (uint64_t)got[k] << (8 * k);
        keys.push_back(stamp);
        check.blocksRead++;
        result.requests++;
        result.bytes += transferred;
        bool same = false;
        if (e && !e->filemark) {
            bool filemark = false;
            ExpectedAt(device, i, &wantBytes, &filemark);
            same = transferred == wantBytes.size() && memcmp(got.data(), wantBytes.data(), wantBytes.size()) == 0;
            if (same)
                check.bytesVerified += transferred;
            else if (stamp == BlockStamp(e->sequence, e->offset))
                check.corrupted++;
        }
        if (!same && result.mismatches++ == 0) {
            char text[200];
            if (e && !e->filemark)
                snprintf(text, sizeof text, "entry %llu: expected %u bytes of record %llu at offset %u, read %llu bytes (record %llu, offset %llu?)",
                         (unsigned long long)i, e->size, (unsigned long long)e->sequence, e->offset,
                         (unsigned long long)transferred, (unsigned long long)(stamp >> 20),
                         (unsigned long long)((stamp & 0xFFFFF) * kStampStride));
            else
                snprintf(text, sizeof text, "entry %llu: a block of %llu bytes (record %llu) where the ledger has %s",
                         (unsigned long long)i, (unsigned long long)transferred, (unsigned long long)(stamp >> 20),
                         e ? "a filemark" : "the end of data");
            result.detail = text;
        }
    }
    Close(h);
    tape.position = UINT64_MAX;

    // Which ledger blocks are missing, which came twice, which the application never wrote, and
    // which came late.
    std::map<uint64_t, uint64_t> seen;
    std::map<uint64_t, uint64_t> order; // stamp -> index in the ledger
    uint64_t n = 0;
    for (const Entry &e : expected)
        if (!e.filemark)
            order.emplace(BlockStamp(e.sequence, e.offset), n++);
    uint64_t lastIndex = 0;
    bool first = true;
    for (uint64_t key : keys) {
        if (key == kMark)
            continue;
        auto w = want.find(key);
        if (w == want.end()) {
            check.unaccounted++;
            continue;
        }
        if (++seen[key] > w->second) {
            check.duplicated++;
            continue;
        }
        uint64_t index = order[key];
        if (!first && index < lastIndex)
            check.outOfOrder++;
        else
            lastIndex = index;
        first = false;
    }
    for (const auto &[key, count] : want) {
        uint64_t gotCount = seen.count(key) ? seen[key] : 0;
        if (gotCount < count)
            check.lost += count - gotCount;
    }
    std::vector<uint64_t> expectedKeys;
    for (const Entry &e : expected)
        expectedKeys.push_back(e.filemark ? kMark : BlockStamp(e.sequence, e.offset));
    check.verified = NT_SUCCESS(result.status) && keys == expectedKeys && result.mismatches == 0 && check.corrupted == 0;
    if (NT_SUCCESS(result.status) && !check.verified)
        result.status = STATUS_UNSUCCESSFUL;
    if (checkOut)
        *checkOut = check;
    return result;
}

uint64_t TapeApplication::BlocksWritten(const std::string &device) const
{
    auto it = tapes_.find(device);
    if (it == tapes_.end())
        return 0;
    uint64_t n = 0;
    for (const Entry &e : it->second.entries)
        n += !e.filemark;
    return n;
}

uint64_t TapeApplication::LedgerLength(const std::string &device) const
{
    auto it = tapes_.find(device);
    return it == tapes_.end() ? 0 : it->second.entries.size();
}

uint64_t TapeApplication::Position(const std::string &device) const
{
    auto it = tapes_.find(device);
    return it == tapes_.end() ? 0 : it->second.position;
}

uint32_t TapeApplication::BlockSize(const std::string &device) const
{
    auto it = tapes_.find(device);
    return it == tapes_.end() ? UINT32_MAX : it->second.blockSize;
}

} // namespace vyr::tools
