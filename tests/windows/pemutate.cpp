// pemutate: makes damaged copies of a PE32+ image for the negative tests of vyrpecheck.
//
//   pemutate truncate IN OUT SIZE          keep the first SIZE bytes (-N: drop the last N bytes)
//   pemutate subsystem IN OUT VALUE        set the optional header's subsystem
//   pemutate strip-symbols IN OUT          drop the COFF symbol table, as strip does
//   pemutate add-import IN OUT DLL FUNC    add an import of DLL!FUNC in a new section
//
// It deliberately shares no code with vyrpecheck, so that a fault in the checker's parser cannot
// hide itself by producing matching faults here. Every edit but truncation keeps the PE checksum
// valid, so the damaged copy differs from the original in exactly the way asked for.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void Die(const std::string& what)
{
    throw std::runtime_error(what);
}

std::uint32_t Get(const Bytes& b, std::uint64_t at, int size)
{
    if (at > b.size() || static_cast<std::uint64_t>(size) > b.size() - at) {
        Die("read of " + std::to_string(size) + " bytes at " + std::to_string(at) + " is outside the file");
    }
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = (value << 8) | b[at + i];
    }
    return value;
}

void Put(Bytes& b, std::uint64_t at, int size, std::uint64_t value)
{
    if (at > b.size() || static_cast<std::uint64_t>(size) > b.size() - at) {
        Die("write outside the file");
    }
    for (int i = 0; i < size; ++i) {
        b[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint64_t AlignUp(std::uint64_t value, std::uint64_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

struct Layout {
    std::uint64_t fileHeader = 0;
    std::uint64_t optional = 0;
    std::uint64_t sectionTable = 0;
    std::uint32_t sectionCount = 0;
};

Layout Locate(const Bytes& b)
{
    Layout l;
    if (Get(b, 0, 2) != 0x5a4d) {
        Die("not an MZ file");
    }
    const std::uint64_t pe = Get(b, 0x3c, 4);
    if (Get(b, pe, 4) != 0x4550) {
        Die("no PE signature");
    }
    l.fileHeader = pe + 4;
    l.optional = l.fileHeader + 20;
    if (Get(b, l.optional, 2) != 0x20b) {
        Die("not a PE32+ image");
    }
    l.sectionCount = Get(b, l.fileHeader + 2, 2);
    l.sectionTable = l.optional + Get(b, l.fileHeader + 16, 2);
    return l;
}

void FixCheckSum(Bytes& b, const Layout& l)
{
    const std::uint64_t field = l.optional + 64;
    if (Get(b, field, 4) == 0) {
        return;
    }
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < b.size(); i += 2) {
        if (i == field || i == field + 2) {
            continue;
        }
        sum += b[i] | (i + 1 < b.size() ? b[i + 1] << 8 : 0);
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    Put(b, field, 4, sum + b.size());
}

std::uint64_t RvaToOffset(const Bytes& b, const Layout& l, std::uint32_t rva)
{
    for (std::uint32_t i = 0; i < l.sectionCount; ++i) {
        const std::uint64_t s = l.sectionTable + 40 * i;
        const std::uint32_t va = Get(b, s + 12, 4);
        const std::uint32_t raw = Get(b, s + 16, 4);
        if (rva >= va && rva - va < raw) {
            return Get(b, s + 20, 4) + (rva - va);
        }
    }
    Die("RVA " + std::to_string(rva) + " is not backed by any section");
}

void AddImport(Bytes& b, const std::string& dll, const std::string& function)
{
    const Layout l = Locate(b);
    const std::uint32_t sectionAlignment = Get(b, l.optional + 32, 4);
    const std::uint32_t fileAlignment = Get(b, l.optional + 36, 4);
    const std::uint32_t sizeOfHeaders = Get(b, l.optional + 60, 4);
    const std::uint64_t importDirectory = l.optional + 112 + 8;

    const std::uint64_t header = l.sectionTable + 40 * std::uint64_t{l.sectionCount};
    if (header + 40 > sizeOfHeaders) {
        Die("no room for another section header");
    }
    for (std::uint64_t i = header; i < header + 40; ++i) {
        if (Get(b, i, 1) != 0) {
            Die("the bytes after the section table are in use");
        }
    }

    // The existing descriptors are copied as they are; their thunks stay where they were.
    Bytes descriptors;
    const std::uint32_t oldRva = Get(b, importDirectory, 4);
    if (oldRva != 0) {
        const std::uint64_t at = RvaToOffset(b, l, oldRva);
        for (std::uint64_t d = at;; d += 20) {
            if (Get(b, d + 12, 4) == 0) {
                break;
            }
            descriptors.insert(descriptors.end(), b.begin() + d, b.begin() + d + 20);
        }
    }
    const std::uint64_t oldCount = descriptors.size() / 20;

    std::uint64_t end = 0;
    for (std::uint32_t i = 0; i < l.sectionCount; ++i) {
        const std::uint64_t s = l.sectionTable + 40 * i;
        end = std::max<std::uint64_t>(end, Get(b, s + 12, 4) + std::max(Get(b, s + 8, 4), Get(b, s + 16, 4)));
    }
    const std::uint64_t va = AlignUp(end, sectionAlignment);

    const std::uint64_t lookup = AlignUp((oldCount + 2) * 20, 8);
    const std::uint64_t addresses = lookup + 16;
    const std::uint64_t hintName = addresses + 16;
    const std::uint64_t dllName = AlignUp(hintName + 2 + function.size() + 1, 2);
    const std::uint64_t size = dllName + dll.size() + 1;

    Bytes section(AlignUp(size, fileAlignment), 0);
    std::copy(descriptors.begin(), descriptors.end(), section.begin());
    Put(section, oldCount * 20 + 0, 4, va + lookup);
    Put(section, oldCount * 20 + 12, 4, va + dllName);
    Put(section, oldCount * 20 + 16, 4, va + addresses);
    Put(section, lookup, 8, va + hintName);
    Put(section, addresses, 8, va + hintName);
    std::copy(function.begin(), function.end(), section.begin() + hintName + 2);
    std::copy(dll.begin(), dll.end(), section.begin() + dllName);

    const std::uint64_t raw = AlignUp(b.size(), fileAlignment);
    b.resize(raw, 0);
    b.insert(b.end(), section.begin(), section.end());

    const char name[8] = {'.', 'v', 'y', 'r', 'i', 'm', 'p', 0};
    std::copy(name, name + 8, b.begin() + header);
    Put(b, header + 8, 4, size);
    Put(b, header + 12, 4, va);
    Put(b, header + 16, 4, section.size());
    Put(b, header + 20, 4, raw);
    Put(b, header + 36, 4, 0xc0000040); // initialized data, read, write
    Put(b, l.fileHeader + 2, 2, l.sectionCount + 1);
    Put(b, l.optional + 56, 4, AlignUp(va + size, sectionAlignment));
    Put(b, importDirectory, 4, va);
    Put(b, importDirectory + 4, 4, (oldCount + 1) * 20);
    FixCheckSum(b, Locate(b));
}

Bytes Read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Die("cannot open " + path);
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Write(const std::string& path, const Bytes& b)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    if (!out) {
        Die("cannot write " + path);
    }
}

std::int64_t Number(const std::string& text)
{
    std::size_t used = 0;
    const std::int64_t value = std::stoll(text, &used, 0);
    if (used != text.size()) {
        Die("not a number: " + text);
    }
    return value;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() < 3) {
            Die("usage: pemutate truncate|subsystem|strip-symbols|add-import IN OUT [ARGS]");
        }
        const std::string& op = args[0];
        Bytes b = Read(args[1]);
        if (op == "truncate" && args.size() == 4) {
            const std::int64_t n = Number(args[3]);
            const std::int64_t keep = n < 0 ? static_cast<std::int64_t>(b.size()) + n : n;
            if (keep < 0 || keep >= static_cast<std::int64_t>(b.size())) {
                Die("truncation to " + std::to_string(keep) + " bytes does not shorten a " + std::to_string(b.size()) +
                    "-byte file");
            }
            b.resize(static_cast<std::size_t>(keep));
        } else if (op == "subsystem" && args.size() == 4) {
            const Layout l = Locate(b);
            Put(b, l.optional + 68, 2, static_cast<std::uint64_t>(Number(args[3])));
            FixCheckSum(b, l);
        } else if (op == "strip-symbols" && args.size() == 3) {
            const Layout l = Locate(b);
            const std::uint64_t table = Get(b, l.fileHeader + 8, 4);
            if (table == 0) {
                Die("the image has no symbol table to strip");
            }
            // The symbol and string tables are the last thing in an image from ld.
            for (std::uint32_t i = 0; i < l.sectionCount; ++i) {
                const std::uint64_t s = l.sectionTable + 40 * i;
                if (Get(b, s + 16, 4) != 0 && Get(b, s + 20, 4) + std::uint64_t{Get(b, s + 16, 4)} > table) {
                    Die("section data follows the symbol table");
                }
            }
            b.resize(table);
            Put(b, l.fileHeader + 8, 4, 0);
            Put(b, l.fileHeader + 12, 4, 0);
            FixCheckSum(b, l);
        } else if (op == "add-import" && args.size() == 5) {
            AddImport(b, args[3], args[4]);
        } else {
            Die("unknown operation or wrong number of arguments: " + op);
        }
        Write(args[2], b);
    } catch (const std::exception& e) {
        std::cerr << "pemutate: " << e.what() << "\n";
        return 2;
    }
    return 0;
}
