#include "tapeapp.h"

#include <cstdio>
#include <cstring>

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

TapeApplication::TapeApplication() : process_(hk::Process::Create("backup-application")) {}

uint32_t TapeApplication::DeviceSeed(const std::string &device)
{
    uint32_t h = 2166136261u;
    for (char c : device)
        h = (h ^ (uint8_t)c) * 16777619u;
    return h;
}

void TapeApplication::Pattern(uint32_t deviceSeed, uint64_t sequence, std::vector<uint8_t> *block)
{
    // Every block differs from every other (its sequence number leads it), so a lost, duplicated
    // or reordered block cannot verify.
    uint64_t x = ((uint64_t)deviceSeed << 32) ^ (sequence * 0x9E3779B97F4A7C15ULL) ^ 0xD1B54A32D192ED03ULL;
    for (size_t i = 0; i < block->size(); i++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        (*block)[i] = (uint8_t)x;
    }
    for (size_t i = 0; i < 8 && i < block->size(); i++)
        (*block)[i] = (uint8_t)(sequence >> (8 * i));
}

HANDLE TapeApplication::Open(const std::string &device, IoResult *result)
{
    HANDLE h = process_->CreateFile("\\\\.\\" + device);
    if (h == hk::INVALID_HANDLE) {
        result->status = process_->LastStatus();
        result->detail = "opening \\\\.\\" + device + " failed with " + StatusText(result->status);
    }
    return h;
}

IoResult TapeApplication::Write(const std::string &device, uint32_t blocks, uint32_t blockSize)
{
    IoResult result;
    HANDLE h = Open(device, &result);
    if (h == hk::INVALID_HANDLE)
        return result;
    std::vector<uint8_t> block(blockSize);
    const uint32_t seed = DeviceSeed(device);
    for (uint32_t i = 0; i < blocks; i++) {
        uint64_t sequence = nextSequence_[device]++;
        Pattern(seed, sequence, &block);
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = process_->NtWriteFile(h, block.data(), blockSize, &iosb);
        if (!NT_SUCCESS(status) || iosb.Information != blockSize) {
            result.status = NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
            char text[160];
            snprintf(text, sizeof text, "write of block %u failed with %s after %llu of %u bytes", i,
                     StatusText(status).c_str(), (unsigned long long)iosb.Information, blockSize);
            result.detail = text;
            // A block the drive may hold in part is not in the ledger: verify then reports the
            // tape's contents against what the application believes was written.
            break;
        }
        ledger_[device].push_back({sequence, blockSize});
        result.requests++;
        result.bytes += blockSize;
    }
    process_->CloseHandle(h);
    return result;
}

IoResult TapeApplication::Read(const std::string &device, uint32_t blocks, uint32_t blockSize)
{
    IoResult result;
    HANDLE h = Open(device, &result);
    if (h == hk::INVALID_HANDLE)
        return result;
    std::vector<uint8_t> block(blockSize);
    for (uint32_t i = 0; i < blocks; i++) {
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = process_->NtReadFile(h, block.data(), blockSize, &iosb);
        if (!NT_SUCCESS(status)) {
            result.status = status;
            result.detail = "read of block " + std::to_string(i) + " ended with " + StatusText(status);
            break;
        }
        result.requests++;
        result.bytes += iosb.Information;
    }
    process_->CloseHandle(h);
    return result;
}

IoResult TapeApplication::Rewind(const std::string &device)
{
    IoResult result;
    HANDLE h = Open(device, &result);
    if (h == hk::INVALID_HANDLE)
        return result;
    TAPE_SET_POSITION position{};
    position.Method = TAPE_REWIND;
    IO_STATUS_BLOCK iosb{};
    result.status = process_->NtDeviceIoControlFile(h, IOCTL_TAPE_SET_POSITION, &position, sizeof position, nullptr, 0, &iosb);
    if (NT_SUCCESS(result.status))
        result.requests = 1;
    else
        result.detail = "rewind failed with " + StatusText(result.status);
    process_->CloseHandle(h);
    return result;
}

IoResult TapeApplication::Verify(const std::string &device)
{
    IoResult result = Rewind(device);
    if (!NT_SUCCESS(result.status))
        return result;
    result.requests = 0;
    HANDLE h = Open(device, &result);
    if (h == hk::INVALID_HANDLE)
        return result;
    const uint32_t seed = DeviceSeed(device);
    std::vector<uint8_t> expected, got;
    for (const LedgerBlock &b : ledger_[device]) {
        expected.resize(b.size);
        got.assign(b.size + 1, 0); // one byte more: a longer block on tape shows as a mismatch
        Pattern(seed, b.sequence, &expected);
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = process_->NtReadFile(h, got.data(), (ULONG)got.size(), &iosb);
        if (!NT_SUCCESS(status)) {
            result.status = status;
            result.detail = "reading back block " + std::to_string(b.sequence) + " failed with " + StatusText(status);
            break;
        }
        result.requests++;
        result.bytes += iosb.Information;
        if (iosb.Information != b.size || memcmp(got.data(), expected.data(), b.size) != 0) {
            if (result.mismatches++ == 0) {
                uint64_t found = 0;
                for (size_t i = 0; i < 8 && i < iosb.Information; i++)
                    found |= (uint64_t)got[i] << (8 * i);
                char text[160];
                snprintf(text, sizeof text, "block %llu: expected %u bytes of block %llu, read %llu bytes (block %llu?)",
                         (unsigned long long)result.requests - 1, b.size, (unsigned long long)b.sequence,
                         (unsigned long long)iosb.Information, (unsigned long long)found);
                result.detail = text;
            }
        }
    }
    if (NT_SUCCESS(result.status) && result.mismatches)
        result.status = STATUS_UNSUCCESSFUL;
    process_->CloseHandle(h);
    return result;
}

uint64_t TapeApplication::BlocksWritten(const std::string &device) const
{
    auto it = ledger_.find(device);
    return it == ledger_.end() ? 0 : it->second.size();
}

} // namespace vyr::tools
