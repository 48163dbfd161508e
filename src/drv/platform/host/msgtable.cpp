// Message-table parsing and FormatMessage-style insertion (see hk/msgtable.h).
//
// The table comes from a driver image, so every offset and length in it is checked against the
// size before it is followed: a damaged table gives "not found", never a read outside it.
#include "hk/msgtable.h"

namespace hk {
namespace {

constexpr size_t kBlockSize = 12;
constexpr size_t kEntryHeader = 4;
constexpr uint16_t kFlagUnicode = 1;

uint32_t Read32(const uint8_t *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

uint16_t Read16(const uint8_t *p)
{
    return (uint16_t)(p[0] | (p[1] << 8));
}

struct Block {
    uint32_t low, high, offset;
};

bool Fail(std::string *error, const std::string &reason)
{
    if (error)
        *error = reason;
    return false;
}

std::string Hex(uint64_t v)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    do {
        s.insert(s.begin(), digits[v & 15]);
        v >>= 4;
    } while (v);
    return "0x" + s;
}

bool ReadBlock(const uint8_t *data, size_t size, uint32_t index, Block *block, std::string *error)
{
    uint64_t at = 4 + (uint64_t)index * kBlockSize;
    if (at + kBlockSize > size)
        return Fail(error, "block " + std::to_string(index) + " lies outside the table");
    block->low = Read32(data + at);
    block->high = Read32(data + at + 4);
    block->offset = Read32(data + at + 8);
    if (block->low > block->high)
        return Fail(error, "block " + std::to_string(index) + " has LowId above HighId");
    // Every entry takes at least its header, which bounds how many ids the rest of the table can
    // hold and keeps a hostile range from making the walk long.
    uint64_t count = (uint64_t)block->high - block->low + 1;
    if (block->offset > size || count > (size - block->offset) / kEntryHeader)
        return Fail(error, "block " + std::to_string(index) + " (ids " + Hex(block->low) + "-" + Hex(block->high) +
                               ") does not fit in the table");
    return true;
}

// Decodes the entry at `offset`; `next` gets the offset of the one after it.
bool ReadEntry(const uint8_t *data, size_t size, uint64_t offset, uint64_t *next, std::u16string *text,
               std::string *error)
{
    if (offset + kEntryHeader > size)
        return Fail(error, "entry at " + Hex(offset) + " lies outside the table");
    uint16_t length = Read16(data + offset);
    uint16_t flags = Read16(data + offset + 2);
    if (length < kEntryHeader)
        return Fail(error, "entry at " + Hex(offset) + " is shorter than its header");
    if (offset + length > size)
        return Fail(error, "entry at " + Hex(offset) + " runs past the end of the table");
    if (flags != 0 && flags != kFlagUnicode)
        return Fail(error, "entry at " + Hex(offset) + " has unknown flags " + Hex(flags));
    const uint8_t *body = data + offset + kEntryHeader;
    size_t bodyLength = length - kEntryHeader;
    if (text) {
        text->clear();
        if (flags == kFlagUnicode) {
            for (size_t i = 0; i + 1 < bodyLength; i += 2) {
                char16_t c = Read16(body + i);
                if (!c)
                    break;
                text->push_back(c);
            }
        } else {
            for (size_t i = 0; i < bodyLength && body[i]; i++)
                text->push_back(body[i]);
        }
    }
    *next = offset + length;
    return true;
}

bool ReadBlockCount(const uint8_t *data, size_t size, uint32_t *count, std::string *error)
{
    if (!data || size < 4)
        return Fail(error, "table too small for its block count");
    *count = Read32(data);
    if (4 + (uint64_t)*count * kBlockSize > size)
        return Fail(error, std::to_string(*count) + " blocks do not fit in " + std::to_string(size) + " bytes");
    return true;
}

} // namespace

bool ParseMessageTable(const uint8_t *data, size_t size, std::map<uint32_t, std::u16string> *messages,
                       std::string *error)
{
    messages->clear();
    uint32_t blocks;
    if (!ReadBlockCount(data, size, &blocks, error))
        return false;
    std::map<uint32_t, std::u16string> out;
    for (uint32_t b = 0; b < blocks; b++) {
        Block block;
        if (!ReadBlock(data, size, b, &block, error))
            return false;
        uint64_t offset = block.offset;
        for (uint64_t id = block.low; id <= block.high; id++) {
            std::u16string text;
            if (!ReadEntry(data, size, offset, &offset, &text, error))
                return false;
            if (!out.emplace((uint32_t)id, std::move(text)).second)
                return Fail(error, "message " + Hex(id) + " is defined twice");
        }
    }
    *messages = std::move(out);
    return true;
}

bool FindMessage(const uint8_t *data, size_t size, uint32_t id, std::u16string *text)
{
    uint32_t blocks;
    if (!ReadBlockCount(data, size, &blocks, nullptr))
        return false;
    for (uint32_t b = 0; b < blocks; b++) {
        Block block;
        if (!ReadBlock(data, size, b, &block, nullptr))
            return false;
        if (id < block.low || id > block.high)
            continue;
        uint64_t offset = block.offset;
        for (uint64_t skip = id - block.low; skip > 0; skip--)
            if (!ReadEntry(data, size, offset, &offset, nullptr, nullptr))
                return false;
        return ReadEntry(data, size, offset, &offset, text, nullptr);
    }
    return false;
}

std::u16string FormatMessageText(const std::u16string &text, const std::vector<std::u16string> &args)
{
    std::u16string out;
    size_t i = 0, n = text.size();
    while (i < n) {
        char16_t c = text[i];
        if (c != u'%' || i + 1 >= n) {
            out.push_back(c);
            i++;
            continue;
        }
        size_t start = i++;
        c = text[i];
        if (c == u'0')
            break;
        if (c >= u'1' && c <= u'9') {
            size_t number = c - u'0';
            i++;
            if (i < n && text[i] >= u'0' && text[i] <= u'9') {
                number = number * 10 + (text[i] - u'0');
                i++;
            }
            size_t end = i;
            if (i < n && text[i] == u'!') {
                size_t close = text.find(u'!', i + 1);
                if (close != std::u16string::npos)
                    end = close + 1;
            }
            if (number <= args.size())
                out += args[number - 1];
            else
                out.append(text, start, end - start);
            i = end;
            continue;
        }
        switch (c) {
        case u'n': out += u"\r\n"; break;
        case u'r': out.push_back(u'\r'); break;
        case u't': out.push_back(u'\t'); break;
        default: out.push_back(c); break;
        }
        i++;
    }
    return out;
}

} // namespace hk
