#include "pe.h"

#include <algorithm>
#include <cstdio>

namespace vyr::pe {

namespace {

std::string Hex(std::uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

[[noreturn]] void Fail(const std::string& what)
{
    throw Malformed(what);
}

std::uint64_t AlignUp4(std::uint64_t value)
{
    return (value + 3) & ~std::uint64_t{3};
}

// Caps that keep a hostile file from making the walk run for ever: far above anything a real
// image holds, far below what would take noticeable time.
constexpr std::uint32_t kMaxImportDescriptors = 4096;
constexpr std::uint32_t kMaxThunks = 65536;
constexpr std::uint32_t kMaxExports = 65536;
constexpr std::uint32_t kMaxResourceEntries = 1u << 20;
constexpr std::uint32_t kMaxMessages = 1u << 20;
constexpr std::size_t kMaxNameLength = 4096;
// Distinct entries may share one name or text in the file; these bound what is copied out of it.
constexpr std::size_t kMaxNameBytes = 4u << 20;
constexpr std::size_t kMaxMessageBytes = 16u << 20;
constexpr std::size_t kMaxResourceNameShown = 64;

} // namespace

// Charges the bytes of each name read against a total.
class Budget {
public:
    Budget(std::size_t bytes, const char* what) : left_(bytes), limit_(bytes), what_(what) {}
    std::string Take(std::string name)
    {
        Charge(name.size() + 1);
        return name;
    }
    void Charge(std::size_t bytes)
    {
        if (bytes > left_) {
            Fail(std::string(what_) + " exceed " + std::to_string(limit_) + " bytes in all");
        }
        left_ -= bytes;
    }

private:
    std::size_t left_;
    std::size_t limit_;
    const char* what_;
};

// --- ByteView ----------------------------------------------------------------------------------

void ByteView::Need(std::uint64_t offset, std::uint64_t length, const char* what) const
{
    if (!Contains(offset, length)) {
        Fail(std::string(what) + ": " + std::to_string(length) + " bytes at offset " + Hex(offset) +
            " lie outside the " + std::to_string(bytes_.size()) + " bytes available");
    }
}

ByteView ByteView::Sub(std::uint64_t offset, std::uint64_t length, const char* what) const
{
    Need(offset, length, what);
    return ByteView(bytes_.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(length)));
}

std::uint8_t ByteView::U8(std::uint64_t offset, const char* what) const
{
    Need(offset, 1, what);
    return bytes_[offset];
}

std::uint16_t ByteView::U16(std::uint64_t offset, const char* what) const
{
    Need(offset, 2, what);
    return static_cast<std::uint16_t>(bytes_[offset] | (bytes_[offset + 1] << 8));
}

std::uint32_t ByteView::U32(std::uint64_t offset, const char* what) const
{
    Need(offset, 4, what);
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | bytes_[offset + i];
    }
    return value;
}

std::uint64_t ByteView::U64(std::uint64_t offset, const char* what) const
{
    Need(offset, 8, what);
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | bytes_[offset + i];
    }
    return value;
}

// --- headers -----------------------------------------------------------------------------------

Image::Image(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes))
{
    const ByteView file = View();
    if (file.size() < 64) {
        Fail("file of " + std::to_string(file.size()) + " bytes is too small for a DOS header");
    }
    if (file.U16(0, "DOS signature") != 0x5a4d) {
        Fail("no MZ signature");
    }
    const std::uint64_t peOffset = file.U32(0x3c, "e_lfanew");
    if (file.U32(peOffset, "PE signature") != 0x00004550) {
        Fail("no PE signature at " + Hex(peOffset));
    }
    const std::uint64_t fileHeader = peOffset + 4;
    machine_ = file.U16(fileHeader, "file header");
    const std::uint16_t sectionCount = file.U16(fileHeader + 2, "file header");
    const std::uint32_t symbolPointer = file.U32(fileHeader + 8, "file header");
    symbolCount_ = file.U32(fileHeader + 12, "file header");
    const std::uint16_t optionalSize = file.U16(fileHeader + 16, "file header");
    characteristics_ = file.U16(fileHeader + 18, "file header");

    const std::uint64_t optional = fileHeader + 20;
    const ByteView opt = file.Sub(optional, optionalSize, "optional header");
    magic_ = opt.U16(0, "optional header magic");
    std::uint64_t directoryBase = 0;
    if (magic_ == magic::kPe32Plus) {
        directoryBase = 112;
        imageBase_ = opt.U64(24, "optional header");
    } else if (magic_ == magic::kPe32) {
        directoryBase = 96;
        imageBase_ = opt.U32(28, "optional header");
    } else {
        Fail("optional header magic " + Hex(magic_) + " is neither PE32 nor PE32+");
    }
    // Entry point, image and header sizes, checksum and subsystem sit at the same offsets in both
    // layouts.
    entryRva_ = opt.U32(16, "optional header");
    sizeOfImage_ = opt.U32(56, "optional header");
    sizeOfHeaders_ = opt.U32(60, "optional header");
    checkSum_ = opt.U32(64, "optional header");
    checkSumOffset_ = static_cast<std::size_t>(optional + 64);
    subsystem_ = opt.U16(68, "optional header");
    const std::uint32_t directoryCount = opt.U32(directoryBase - 4, "optional header");
    opt.Sub(directoryBase, std::uint64_t{directoryCount} * 8, "data directories");
    for (std::uint32_t i = 0; i < std::min<std::uint32_t>(directoryCount, 16); ++i) {
        directories_.push_back({opt.U32(directoryBase + 8 * i, "data directory"),
            opt.U32(directoryBase + 8 * i + 4, "data directory")});
    }

    const std::uint64_t sectionTable = optional + optionalSize;
    const std::uint64_t sectionTableEnd = sectionTable + std::uint64_t{sectionCount} * 40;
    file.Sub(sectionTable, std::uint64_t{sectionCount} * 40, "section table");
    if (sectionTableEnd > sizeOfHeaders_) {
        Fail("section table ends at " + Hex(sectionTableEnd) + ", past SizeOfHeaders " + Hex(sizeOfHeaders_));
    }
    for (std::uint16_t i = 0; i < sectionCount; ++i) {
        const std::uint64_t at = sectionTable + std::uint64_t{i} * 40;
        Section s;
        for (int c = 0; c < 8; ++c) {
            const char ch = static_cast<char>(file.U8(at + c, "section name"));
            if (ch == '\0') {
                break;
            }
            s.name.push_back(ch);
        }
        s.virtualSize = file.U32(at + 8, "section header");
        s.virtualAddress = file.U32(at + 12, "section header");
        s.rawSize = file.U32(at + 16, "section header");
        s.rawPointer = file.U32(at + 20, "section header");
        s.characteristics = file.U32(at + 36, "section header");
        if (s.rawSize != 0 && !file.Contains(s.rawPointer, s.rawSize)) {
            Fail("section " + s.name + ": raw data " + Hex(s.rawPointer) + "+" + Hex(s.rawSize) +
                " extends past the end of the file (" + std::to_string(file.size()) + " bytes)");
        }
        const std::uint64_t extent = s.virtualSize != 0 ? s.virtualSize : s.rawSize;
        if (std::uint64_t{s.virtualAddress} + extent > sizeOfImage_) {
            Fail("section " + s.name + " at " + Hex(s.virtualAddress) + "+" + Hex(extent) +
                " extends past SizeOfImage " + Hex(sizeOfImage_));
        }
        sections_.push_back(std::move(s));
    }

    // A symbol table with no entries is how a stripped image looks; one that claims entries must
    // fit in the file together with the string table that follows it.
    if (symbolCount_ != 0) {
        symbolOffset_ = symbolPointer;
        file.Sub(symbolOffset_, std::uint64_t{symbolCount_} * 18, "COFF symbol table");
        stringTableOffset_ = symbolOffset_ + std::uint64_t{symbolCount_} * 18;
        stringTableSize_ = file.U32(stringTableOffset_, "COFF string table size");
        if (stringTableSize_ < 4) {
            Fail("COFF string table size " + std::to_string(stringTableSize_) + " is smaller than its own size field");
        }
        file.Sub(stringTableOffset_, stringTableSize_, "COFF string table");
    }
}

DataDirectory Image::Directory(unsigned index) const
{
    return index < directories_.size() ? directories_[index] : DataDirectory{};
}

const Section* Image::SectionOf(std::uint32_t rva) const
{
    for (const Section& s : sections_) {
        const std::uint64_t extent = s.virtualSize != 0 ? s.virtualSize : s.rawSize;
        if (rva >= s.virtualAddress && rva - std::uint64_t{s.virtualAddress} < extent) {
            return &s;
        }
    }
    return nullptr;
}

// The file bytes that back the image from rva to the end of its section (or of the headers).
// Bytes that exist only in memory (zero fill past the raw data) are not backed: data the checks
// read must be in the file.
static ByteView Backing(const Image& image, std::uint32_t rva, std::uint32_t sizeOfHeaders, const char* what)
{
    const ByteView file = image.View();
    if (const Section* s = image.SectionOf(rva)) {
        const std::uint64_t offset = rva - std::uint64_t{s->virtualAddress};
        const std::uint64_t extent = s->virtualSize != 0 ? std::min(s->virtualSize, s->rawSize) : s->rawSize;
        if (offset >= extent) {
            Fail(std::string(what) + ": RVA " + Hex(rva) + " lies in the zero-filled tail of section " + s->name);
        }
        return file.Sub(s->rawPointer + offset, extent - offset, what);
    }
    if (rva < sizeOfHeaders && rva < file.size()) {
        return file.Sub(rva, std::min<std::uint64_t>(sizeOfHeaders, file.size()) - rva, what);
    }
    Fail(std::string(what) + ": RVA " + Hex(rva) + " is not inside any section");
}

ByteView Image::AtRva(std::uint32_t rva, std::uint32_t length, const char* what) const
{
    const ByteView bytes = Backing(*this, rva, sizeOfHeaders_, what);
    if (length > bytes.size()) {
        Fail(std::string(what) + ": " + std::to_string(length) + " bytes at RVA " + Hex(rva) + " run past the " +
            std::to_string(bytes.size()) + " bytes its section holds from there");
    }
    return bytes.Sub(0, length, what);
}

std::string Image::CStringAtRva(std::uint32_t rva, std::size_t maxLength, const char* what) const
{
    const ByteView bytes = Backing(*this, rva, sizeOfHeaders_, what);
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i <= maxLength; ++i) {
        const char ch = static_cast<char>(bytes.U8(i, what));
        if (ch == '\0') {
            return text;
        }
        text.push_back(ch);
    }
    Fail(std::string(what) + ": string at RVA " + Hex(rva) + " is not terminated");
}

std::uint32_t Image::ComputeCheckSum() const
{
    std::uint64_t sum = 0;
    const std::size_t size = bytes_.size();
    for (std::size_t i = 0; i < size; i += 2) {
        if (i >= checkSumOffset_ && i < checkSumOffset_ + 4) {
            continue;
        }
        std::uint32_t word = bytes_[i];
        if (i + 1 < size) {
            word |= std::uint32_t{bytes_[i + 1]} << 8;
        }
        sum += word;
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + size);
}

// --- imports -----------------------------------------------------------------------------------

std::vector<std::string> Image::ReadThunks(std::uint32_t rva, const char* what, Budget& budget) const
{
    std::vector<std::string> names;
    const bool wide = magic_ == magic::kPe32Plus;
    const std::uint32_t step = wide ? 8 : 4;
    for (std::uint32_t i = 0;; ++i) {
        if (i == kMaxThunks) {
            Fail(std::string(what) + ": more than " + std::to_string(kMaxThunks) + " entries");
        }
        const std::uint64_t at = rva + std::uint64_t{i} * step;
        if (at > 0xffffffffu) {
            Fail(std::string(what) + ": runs past the end of the address space");
        }
        const ByteView thunk = AtRva(static_cast<std::uint32_t>(at), step, what);
        const std::uint64_t value = wide ? thunk.U64(0, what) : thunk.U32(0, what);
        if (value == 0) {
            break;
        }
        const std::uint64_t ordinalFlag = wide ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << 31);
        if (value & ordinalFlag) {
            names.push_back("#" + std::to_string(value & 0xffff));
        } else {
            const std::uint32_t hintName = static_cast<std::uint32_t>(value & 0x7fffffff);
            if (hintName > 0xfffffffdu) {
                Fail(std::string(what) + ": hint/name RVA out of range");
            }
            AtRva(hintName, 2, what);
            names.push_back(budget.Take(CStringAtRva(hintName + 2, kMaxNameLength, what)));
        }
    }
    return names;
}

std::vector<ImportedDll> Image::ReadImportDescriptors(Budget& budget) const
{
    std::vector<ImportedDll> dlls;
    const DataDirectory dir = Directory(directory::kImport);
    if (dir.rva == 0) {
        return dlls;
    }
    for (std::uint32_t i = 0;; ++i) {
        if (i == kMaxImportDescriptors) {
            Fail("import directory: no terminating descriptor within " + std::to_string(i) + " entries");
        }
        const std::uint64_t at = dir.rva + std::uint64_t{i} * 20;
        if (at > 0xffffffffu) {
            Fail("import directory runs past the end of the address space");
        }
        const ByteView d = AtRva(static_cast<std::uint32_t>(at), 20, "import descriptor");
        const std::uint32_t lookup = d.U32(0, "import descriptor");
        const std::uint32_t nameRva = d.U32(12, "import descriptor");
        const std::uint32_t firstThunk = d.U32(16, "import descriptor");
        // Loaders stop at the first descriptor without a name; anything named before that may be
        // loaded, so each one counts.
        if (nameRva == 0) {
            break;
        }
        ImportedDll dll;
        dll.name = budget.Take(CStringAtRva(nameRva, kMaxNameLength, "import DLL name"));
        const std::uint32_t thunks = lookup != 0 ? lookup : firstThunk;
        if (thunks != 0) {
            dll.functions = ReadThunks(thunks, "import lookup table", budget);
        }
        dlls.push_back(std::move(dll));
    }
    return dlls;
}

std::vector<ImportedDll> Image::ReadDelayImportDescriptors(Budget& budget) const
{
    std::vector<ImportedDll> dlls;
    const DataDirectory dir = Directory(directory::kDelayImport);
    if (dir.rva == 0) {
        return dlls;
    }
    for (std::uint32_t i = 0;; ++i) {
        if (i == kMaxImportDescriptors) {
            Fail("delay-load import directory: no terminating descriptor within " + std::to_string(i) + " entries");
        }
        const std::uint64_t at = dir.rva + std::uint64_t{i} * 32;
        if (at > 0xffffffffu) {
            Fail("delay-load import directory runs past the end of the address space");
        }
        const ByteView d = AtRva(static_cast<std::uint32_t>(at), 32, "delay-load descriptor");
        const std::uint32_t attributes = d.U32(0, "delay-load descriptor");
        std::uint64_t nameAddress = d.U32(4, "delay-load descriptor");
        std::uint64_t names = d.U32(16, "delay-load descriptor");
        if (nameAddress == 0) {
            break;
        }
        // Old-style descriptors hold virtual addresses rather than RVAs.
        if ((attributes & 1) == 0) {
            if (nameAddress < imageBase_ || (names != 0 && names < imageBase_)) {
                Fail("delay-load descriptor: address below the image base");
            }
            nameAddress -= imageBase_;
            names = names != 0 ? names - imageBase_ : 0;
            if (nameAddress > 0xffffffffu || names > 0xffffffffu) {
                Fail("delay-load descriptor: address outside the image");
            }
        }
        ImportedDll dll;
        dll.delayLoad = true;
        dll.name = budget.Take(CStringAtRva(static_cast<std::uint32_t>(nameAddress), kMaxNameLength, "delay-load DLL name"));
        if (names != 0) {
            dll.functions = ReadThunks(static_cast<std::uint32_t>(names), "delay-load name table", budget);
        }
        dlls.push_back(std::move(dll));
    }
    return dlls;
}

std::vector<ImportedDll> Image::Imports() const
{
    Budget budget(kMaxNameBytes, "imported names");
    std::vector<ImportedDll> dlls = ReadImportDescriptors(budget);
    for (ImportedDll& dll : ReadDelayImportDescriptors(budget)) {
        dlls.push_back(std::move(dll));
    }
    return dlls;
}

// --- exports -----------------------------------------------------------------------------------

std::vector<Export> Image::Exports() const
{
    std::vector<Export> exports;
    const DataDirectory dir = Directory(directory::kExport);
    if (dir.rva == 0) {
        return exports;
    }
    const ByteView d = AtRva(dir.rva, 40, "export directory");
    const std::uint32_t base = d.U32(16, "export directory");
    const std::uint32_t functionCount = d.U32(20, "export directory");
    const std::uint32_t nameCount = d.U32(24, "export directory");
    if (functionCount > kMaxExports || nameCount > kMaxExports) {
        Fail("export directory claims " + std::to_string(functionCount) + " functions and " +
            std::to_string(nameCount) + " names; ordinals are 16-bit");
    }
    const ByteView functions = AtRva(d.U32(28, "export directory"), functionCount * 4, "export address table");
    const ByteView names = AtRva(d.U32(32, "export directory"), nameCount * 4, "export name table");
    const ByteView ordinals = AtRva(d.U32(36, "export directory"), nameCount * 2, "export ordinal table");
    Budget budget(kMaxNameBytes, "exported names");
    for (std::uint32_t i = 0; i < nameCount; ++i) {
        Export e;
        e.name = budget.Take(CStringAtRva(names.U32(4 * i, "export name table"), kMaxNameLength, "export name"));
        const std::uint16_t index = ordinals.U16(2 * i, "export ordinal table");
        if (index >= functionCount) {
            Fail("export " + e.name + ": ordinal index " + std::to_string(index) + " is outside the " +
                std::to_string(functionCount) + "-entry address table");
        }
        e.ordinal = base + index;
        if (e.ordinal < base || e.ordinal > 0xffff) {
            Fail("export " + e.name + ": ordinal " + std::to_string(std::uint64_t{base} + index) + " is not 16-bit");
        }
        e.rva = functions.U32(4 * index, "export address table");
        e.forwarded = e.rva >= dir.rva && e.rva - std::uint64_t{dir.rva} < dir.size;
        exports.push_back(std::move(e));
    }
    return exports;
}

// --- resources ---------------------------------------------------------------------------------

namespace {

struct ResourceWalk {
    const Image& image;
    std::uint32_t root;
    std::uint32_t visited = 0;

    ByteView At(std::uint32_t offset, std::uint32_t length, const char* what)
    {
        const std::uint64_t rva = std::uint64_t{root} + offset;
        if (rva > 0xffffffffu) {
            Fail(std::string(what) + ": offset " + Hex(offset) + " runs past the end of the address space");
        }
        return image.AtRva(static_cast<std::uint32_t>(rva), length, what);
    }

    // Named entries are only shown, never matched, so a long name is kept shortened.
    std::u16string Name(std::uint32_t offset)
    {
        const std::uint16_t length = At(offset, 2, "resource name").U16(0, "resource name");
        const ByteView chars = At(offset + 2, std::uint32_t{length} * 2, "resource name");
        std::u16string name;
        for (std::uint32_t i = 0; i < length && i < kMaxResourceNameShown; ++i) {
            name.push_back(static_cast<char16_t>(chars.U16(2 * i, "resource name")));
        }
        if (length > kMaxResourceNameShown) {
            name += u"...";
        }
        return name;
    }

    // Calls visit(id-or-name, offsetField) for each entry of the directory at offset.
    template <class Visit>
    void Directory(std::uint32_t offset, Visit&& visit)
    {
        const ByteView header = At(offset, 16, "resource directory");
        const std::uint32_t count = std::uint32_t{header.U16(12, "resource directory")} + header.U16(14, "resource directory");
        const ByteView entries = At(offset + 16, count * 8, "resource directory entries");
        for (std::uint32_t i = 0; i < count; ++i) {
            if (++visited > kMaxResourceEntries) {
                Fail("resource tree has more than " + std::to_string(kMaxResourceEntries) + " entries");
            }
            visit(entries.U32(8 * i, "resource entry"), entries.U32(8 * i + 4, "resource entry"));
        }
    }

    void Identify(std::uint32_t nameField, std::optional<std::uint32_t>& id, std::u16string& name)
    {
        if (nameField & 0x80000000u) {
            name = Name(nameField & 0x7fffffffu);
        } else {
            id = nameField;
        }
    }
};

constexpr std::uint32_t kSubdirectory = 0x80000000u;

} // namespace

std::vector<ResourceLeaf> Image::Resources() const
{
    std::vector<ResourceLeaf> leaves;
    const DataDirectory dir = Directory(directory::kResource);
    if (dir.rva == 0) {
        return leaves;
    }
    // The tree has exactly three levels (type, name, language); an entry that points back up or
    // sideways is caught by the level it is found at, so the walk cannot loop.
    ResourceWalk walk{*this, dir.rva};
    walk.Directory(0, [&](std::uint32_t typeField, std::uint32_t typeTarget) {
        if (!(typeTarget & kSubdirectory)) {
            Fail("resource type entry points at data, not at a name directory");
        }
        ResourceLeaf typeLeaf;
        walk.Identify(typeField, typeLeaf.typeId, typeLeaf.typeName);
        walk.Directory(typeTarget & ~kSubdirectory, [&](std::uint32_t nameField, std::uint32_t nameTarget) {
            if (!(nameTarget & kSubdirectory)) {
                Fail("resource name entry points at data, not at a language directory");
            }
            ResourceLeaf nameLeaf = typeLeaf;
            walk.Identify(nameField, nameLeaf.nameId, nameLeaf.nameName);
            walk.Directory(nameTarget & ~kSubdirectory, [&](std::uint32_t languageField, std::uint32_t dataEntry) {
                if (dataEntry & kSubdirectory) {
                    Fail("resource language entry points at a directory, not at data");
                }
                if (languageField & 0x80000000u) {
                    Fail("resource language entry is named, not numbered");
                }
                ResourceLeaf leaf = nameLeaf;
                leaf.language = languageField;
                const ByteView data = walk.At(dataEntry, 16, "resource data entry");
                leaf.dataRva = data.U32(0, "resource data entry");
                leaf.dataSize = data.U32(4, "resource data entry");
                leaves.push_back(std::move(leaf));
            });
        });
    });
    return leaves;
}

// --- symbols -----------------------------------------------------------------------------------

std::string Image::SymbolName(std::uint64_t entryOffset) const
{
    const ByteView file = View();
    std::string name;
    if (file.U32(entryOffset, "symbol name") == 0) {
        const std::uint32_t offset = file.U32(entryOffset + 4, "symbol name");
        if (offset < 4 || offset >= stringTableSize_) {
            Fail("symbol name offset " + Hex(offset) + " is outside the " + std::to_string(stringTableSize_) +
                "-byte string table");
        }
        const ByteView strings = file.Sub(stringTableOffset_, stringTableSize_, "COFF string table");
        for (std::uint32_t i = offset;; ++i) {
            if (i >= stringTableSize_) {
                Fail("symbol name at string table offset " + Hex(offset) + " is not terminated");
            }
            const char ch = static_cast<char>(strings.U8(i, "COFF string table"));
            if (ch == '\0') {
                break;
            }
            name.push_back(ch);
        }
        return name;
    }
    for (int i = 0; i < 8; ++i) {
        const char ch = static_cast<char>(file.U8(entryOffset + i, "symbol name"));
        if (ch == '\0') {
            break;
        }
        name.push_back(ch);
    }
    return name;
}

std::optional<std::uint32_t> Image::FindSymbol(const std::string& name) const
{
    const ByteView file = View();
    constexpr std::uint8_t kExternal = 2;
    for (std::uint64_t i = 0; i < symbolCount_; ++i) {
        const std::uint64_t at = symbolOffset_ + i * 18;
        const std::uint32_t value = file.U32(at + 8, "symbol");
        const auto section = static_cast<std::int16_t>(file.U16(at + 12, "symbol"));
        const std::uint8_t storage = file.U8(at + 16, "symbol");
        const std::uint8_t auxiliary = file.U8(at + 17, "symbol");
        if (storage == kExternal && section >= 1 && SymbolName(at) == name) {
            if (static_cast<std::size_t>(section) > sections_.size()) {
                Fail("symbol " + name + " refers to section " + std::to_string(section) + " of " +
                    std::to_string(sections_.size()));
            }
            // In a linked image the value is the offset from the start of its section.
            const std::uint64_t rva = std::uint64_t{sections_[section - 1].virtualAddress} + value;
            if (rva > 0xffffffffu) {
                Fail("symbol " + name + " lies outside the address space");
            }
            return static_cast<std::uint32_t>(rva);
        }
        i += auxiliary;
    }
    return std::nullopt;
}

// --- message tables ----------------------------------------------------------------------------

MessageTable ParseMessageTable(ByteView data)
{
    MessageTable table;
    const std::uint32_t blockCount = data.U32(0, "message table block count");
    data.Sub(4, std::uint64_t{blockCount} * 12, "message table blocks");
    std::uint32_t total = 0;
    Budget budget(kMaxMessageBytes, "message texts");
    for (std::uint32_t b = 0; b < blockCount; ++b) {
        const std::uint32_t low = data.U32(4 + 12 * std::uint64_t{b}, "message block");
        const std::uint32_t high = data.U32(8 + 12 * std::uint64_t{b}, "message block");
        std::uint64_t offset = data.U32(12 + 12 * std::uint64_t{b}, "message block");
        if (high < low) {
            Fail("message block " + std::to_string(b) + ": high id " + Hex(high) + " is below low id " + Hex(low));
        }
        for (std::uint64_t id = low; id <= high; ++id) {
            if (++total > kMaxMessages) {
                Fail("message table has more than " + std::to_string(kMaxMessages) + " entries");
            }
            const std::uint16_t length = data.U16(offset, "message entry");
            const std::uint16_t flags = data.U16(offset + 2, "message entry");
            // An entry shorter than its own header would also stall the walk.
            if (length < 4) {
                Fail("message " + Hex(id) + ": entry length " + std::to_string(length) + " is shorter than its header");
            }
            const ByteView text = data.Sub(offset + 4, length - 4u, "message text");
            budget.Charge(text.size());
            MessageEntry entry;
            if (flags == 1) {
                entry.unicode = true;
                if (text.size() % 2 != 0) {
                    Fail("message " + Hex(id) + ": Unicode text of odd length " + std::to_string(text.size()));
                }
                for (std::size_t i = 0; i < text.size(); i += 2) {
                    const char16_t unit = text.U16(i, "message text");
                    if (unit == 0) {
                        break;
                    }
                    entry.text.push_back(unit);
                }
            } else if (flags == 0) {
                for (std::size_t i = 0; i < text.size(); ++i) {
                    const std::uint8_t ch = text.U8(i, "message text");
                    if (ch == 0) {
                        break;
                    }
                    entry.text.push_back(ch);
                }
            } else {
                Fail("message " + Hex(id) + ": unknown entry flags " + Hex(flags));
            }
            if (!table.emplace(static_cast<std::uint32_t>(id), std::move(entry)).second) {
                Fail("message " + Hex(id) + " appears in more than one block");
            }
            offset += length;
        }
    }
    return table;
}

// --- version information -----------------------------------------------------------------------

namespace {

// One node of the VS_VERSIONINFO tree: wLength, wValueLength, wType, a NUL-terminated key, then
// the value and the children, each aligned to 32 bits from the start of the resource.
struct VersionNode {
    std::u16string key;
    std::uint16_t valueLength = 0;
    std::uint16_t type = 0;
    std::uint64_t value = 0;
    std::uint64_t children = 0;
    std::uint64_t end = 0;
};

VersionNode ParseVersionNode(const ByteView& data, std::uint64_t at, std::uint64_t limit)
{
    if (at + 6 > limit) {
        Fail("version node at " + Hex(at) + " does not fit in its parent");
    }
    VersionNode node;
    const std::uint16_t length = data.U16(at, "version node");
    node.valueLength = data.U16(at + 2, "version node");
    node.type = data.U16(at + 4, "version node");
    if (length < 6 || at + length > limit) {
        Fail("version node at " + Hex(at) + ": length " + std::to_string(length) + " does not fit in its parent");
    }
    node.end = at + length;
    std::uint64_t p = at + 6;
    for (;; p += 2) {
        if (p + 2 > node.end) {
            Fail("version node at " + Hex(at) + ": key is not terminated");
        }
        const char16_t unit = data.U16(p, "version key");
        if (unit == 0) {
            break;
        }
        node.key.push_back(unit);
    }
    node.value = std::min(AlignUp4(p + 2), node.end);
    // Text values count characters, binary ones bytes. Writers disagree on whether a text length
    // includes the terminator, so a text value is read up to its NUL within the node instead; a
    // binary value must fit.
    const std::uint64_t valueBytes = node.type == 1 ? std::uint64_t{node.valueLength} * 2 : node.valueLength;
    if (node.type != 1 && node.value + valueBytes > node.end) {
        Fail("version node \"" + ToUtf8(node.key) + "\": value of " + std::to_string(valueBytes) +
            " bytes does not fit in the node");
    }
    node.children = std::min(AlignUp4(node.value + valueBytes), node.end);
    return node;
}

template <class Visit>
void ForEachChild(const ByteView& data, const VersionNode& parent, Visit&& visit)
{
    std::uint64_t at = parent.children;
    while (at < parent.end) {
        // Zero padding after the last child is not a node.
        bool padding = true;
        for (std::uint64_t i = at; i < parent.end; ++i) {
            padding = padding && data.U8(i, "version padding") == 0;
        }
        if (padding) {
            return;
        }
        const VersionNode child = ParseVersionNode(data, at, parent.end);
        visit(child);
        at = AlignUp4(child.end);
    }
}

std::u16string TextValue(const ByteView& data, const VersionNode& node)
{
    std::u16string text;
    for (std::uint64_t p = node.value; p + 2 <= node.end; p += 2) {
        const char16_t unit = data.U16(p, "version string");
        if (unit == 0) {
            break;
        }
        text.push_back(unit);
    }
    return text;
}

} // namespace

VersionInfo ParseVersionInfo(ByteView data)
{
    VersionInfo info;
    const VersionNode root = ParseVersionNode(data, 0, data.size());
    if (root.key != u"VS_VERSION_INFO") {
        Fail("version resource key is \"" + ToUtf8(root.key) + "\", not VS_VERSION_INFO");
    }
    if (root.valueLength != 0) {
        if (root.valueLength < 52 || root.value + 52 > root.end) {
            Fail("version resource: fixed file information of " + std::to_string(root.valueLength) +
                " bytes does not fit");
        }
        if (data.U32(root.value, "VS_FIXEDFILEINFO") != 0xfeef04bd) {
            Fail("version resource: VS_FIXEDFILEINFO signature is " + Hex(data.U32(root.value, "VS_FIXEDFILEINFO")));
        }
        FixedVersion fixed;
        fixed.fileMs = data.U32(root.value + 8, "VS_FIXEDFILEINFO");
        fixed.fileLs = data.U32(root.value + 12, "VS_FIXEDFILEINFO");
        fixed.productMs = data.U32(root.value + 16, "VS_FIXEDFILEINFO");
        fixed.productLs = data.U32(root.value + 20, "VS_FIXEDFILEINFO");
        info.fixed = fixed;
    }
    ForEachChild(data, root, [&](const VersionNode& block) {
        if (block.key != u"StringFileInfo") {
            return;
        }
        ForEachChild(data, block, [&](const VersionNode& table) {
            ForEachChild(data, table, [&](const VersionNode& string) {
                info.strings[ToUtf8(table.key) + "/" + ToUtf8(string.key)] = TextValue(data, string);
            });
        });
    });
    return info;
}

// --- text --------------------------------------------------------------------------------------

std::string ToUtf8(const std::u16string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t cp = text[i];
        if (cp >= 0xd800 && cp <= 0xdbff && i + 1 < text.size() && text[i + 1] >= 0xdc00 && text[i + 1] <= 0xdfff) {
            cp = 0x10000 + ((cp - 0xd800) << 10) + (text[i + 1] - 0xdc00);
            ++i;
        } else if (cp >= 0xd800 && cp <= 0xdfff) {
            cp = 0xfffd;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xc0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xe0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        } else {
            out.push_back(static_cast<char>(0xf0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        }
    }
    return out;
}

std::u16string FromUtf8(const std::string& text)
{
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        std::uint32_t cp = 0xfffd;
        std::size_t extra = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xe0) == 0xc0) {
            cp = lead & 0x1f;
            extra = 1;
        } else if ((lead & 0xf0) == 0xe0) {
            cp = lead & 0x0f;
            extra = 2;
        } else if ((lead & 0xf8) == 0xf0) {
            cp = lead & 0x07;
            extra = 3;
        }
        bool valid = lead < 0x80 || extra != 0;
        for (std::size_t k = 1; k <= extra; ++k) {
            if (i + k >= text.size() || (static_cast<std::uint8_t>(text[i + k]) & 0xc0) != 0x80) {
                valid = false;
                extra = k - 1;
                break;
            }
            cp = (cp << 6) | (static_cast<std::uint8_t>(text[i + k]) & 0x3f);
        }
        if (!valid || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
            cp = 0xfffd;
        }
        i += 1 + extra;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xd800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xdc00 + (cp & 0x3ff)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string Escape(const std::string& utf8)
{
    std::string out;
    for (const char ch : utf8) {
        switch (ch) {
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        default:
            if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(ch));
                out += hex;
            } else {
                out.push_back(ch);
            }
        }
    }
    return out;
}

} // namespace vyr::pe
