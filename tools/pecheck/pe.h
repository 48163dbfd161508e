// A small, bounds-checked reader of PE32+ images, enough to check what the Windows build produces:
// headers, sections, imports, exports, resources (message table, version information) and the COFF
// symbol table that mingw-w64 leaves in unstripped images.
//
// Every offset and size read from the file is treated as hostile: each access is checked against
// the buffer, and anything that does not fit is reported by throwing Malformed. Nothing here reads
// outside the bytes it was given, whatever the file says.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace vyr::pe {

class Malformed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Budget;

// Little-endian reads from a byte range; every read is checked against the range.
class ByteView {
public:
    ByteView() = default;
    explicit ByteView(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::size_t size() const { return bytes_.size(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    bool Contains(std::uint64_t offset, std::uint64_t length) const
    {
        return offset <= bytes_.size() && length <= bytes_.size() - offset;
    }
    ByteView Sub(std::uint64_t offset, std::uint64_t length, const char* what) const;
    std::uint8_t U8(std::uint64_t offset, const char* what) const;
    std::uint16_t U16(std::uint64_t offset, const char* what) const;
    std::uint32_t U32(std::uint64_t offset, const char* what) const;
    std::uint64_t U64(std::uint64_t offset, const char* what) const;

private:
    void Need(std::uint64_t offset, std::uint64_t length, const char* what) const;
    std::span<const std::uint8_t> bytes_;
};

namespace machine {
inline constexpr std::uint16_t kAmd64 = 0x8664;
}
namespace magic {
inline constexpr std::uint16_t kPe32 = 0x10b;
inline constexpr std::uint16_t kPe32Plus = 0x20b;
}
namespace subsystem {
inline constexpr std::uint16_t kNative = 1;
inline constexpr std::uint16_t kWindowsGui = 2;
inline constexpr std::uint16_t kWindowsCui = 3;
}
namespace characteristics {
inline constexpr std::uint16_t kDll = 0x2000;
}
namespace directory {
inline constexpr unsigned kExport = 0;
inline constexpr unsigned kImport = 1;
inline constexpr unsigned kResource = 2;
inline constexpr unsigned kTls = 9;
inline constexpr unsigned kDelayImport = 13;
}

struct Section {
    std::string name;
    std::uint32_t virtualAddress = 0;
    std::uint32_t virtualSize = 0;
    std::uint32_t rawPointer = 0;
    std::uint32_t rawSize = 0;
    std::uint32_t characteristics = 0;
};

struct DataDirectory {
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
};

struct ImportedDll {
    std::string name;
    bool delayLoad = false;
    // Function names; an import by ordinal appears as "#<ordinal>".
    std::vector<std::string> functions;
};

struct Export {
    std::string name;
    std::uint32_t ordinal = 0;
    std::uint32_t rva = 0;
    bool forwarded = false;
};

// One resource leaf, found by walking type / name / language. A named (rather than numbered) type
// or name is kept as its string with the id left empty.
struct ResourceLeaf {
    std::optional<std::uint32_t> typeId;
    std::u16string typeName;
    std::optional<std::uint32_t> nameId;
    std::u16string nameName;
    std::uint32_t language = 0;
    std::uint32_t dataRva = 0;
    std::uint32_t dataSize = 0;
};

struct MessageEntry {
    bool unicode = false;
    // The text up to its first NUL, decoded: UTF-16 for Unicode entries, one byte per character
    // (Latin-1) for ANSI entries.
    std::u16string text;
};

// Message ids are full 32-bit values (severity and facility bits included), as the event log
// looks them up.
using MessageTable = std::map<std::uint32_t, MessageEntry>;

struct FixedVersion {
    std::uint32_t fileMs = 0, fileLs = 0, productMs = 0, productLs = 0;
};

struct VersionInfo {
    std::optional<FixedVersion> fixed;
    // StringFileInfo values, keyed by "<table>/<key>", e.g. "040904b0/ProductVersion".
    std::map<std::string, std::u16string> strings;
};

class Image {
public:
    // Parses and validates the headers, the section table and the symbol table's extent. Throws
    // Malformed when they do not fit in the file.
    explicit Image(std::vector<std::uint8_t> bytes);

    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
    ByteView View() const { return ByteView(bytes_); }

    std::uint16_t Machine() const { return machine_; }
    std::uint16_t Characteristics() const { return characteristics_; }
    std::uint16_t Magic() const { return magic_; }
    // The remaining header fields are only parsed for PE32+ images.
    std::uint16_t Subsystem() const { return subsystem_; }
    std::uint64_t ImageBase() const { return imageBase_; }
    std::uint32_t EntryRva() const { return entryRva_; }
    std::uint32_t CheckSum() const { return checkSum_; }
    std::size_t CheckSumOffset() const { return checkSumOffset_; }
    const std::vector<Section>& Sections() const { return sections_; }
    DataDirectory Directory(unsigned index) const;
    bool HasSymbolTable() const { return symbolCount_ != 0; }

    // The section holding rva, or nullptr.
    const Section* SectionOf(std::uint32_t rva) const;
    // length bytes at rva, backed by file data; throws Malformed otherwise.
    ByteView AtRva(std::uint32_t rva, std::uint32_t length, const char* what) const;
    // A NUL-terminated byte string at rva (at most maxLength characters).
    std::string CStringAtRva(std::uint32_t rva, std::size_t maxLength, const char* what) const;

    // The PE checksum of the file as the loader computes it (checksum field taken as zero).
    std::uint32_t ComputeCheckSum() const;

    std::vector<ImportedDll> Imports() const;
    std::vector<Export> Exports() const;
    std::vector<ResourceLeaf> Resources() const;
    // RVA of the first external symbol with this name in a section, if any.
    std::optional<std::uint32_t> FindSymbol(const std::string& name) const;

private:
    std::vector<ImportedDll> ReadImportDescriptors(Budget& budget) const;
    std::vector<ImportedDll> ReadDelayImportDescriptors(Budget& budget) const;
    std::vector<std::string> ReadThunks(std::uint32_t rva, const char* what, Budget& budget) const;
    std::string SymbolName(std::uint64_t entryOffset) const;

    std::vector<std::uint8_t> bytes_;
    std::uint16_t machine_ = 0;
    std::uint16_t characteristics_ = 0;
    std::uint16_t magic_ = 0;
    std::uint16_t subsystem_ = 0;
    std::uint32_t entryRva_ = 0;
    std::uint32_t checkSum_ = 0;
    std::size_t checkSumOffset_ = 0;
    std::uint32_t sizeOfHeaders_ = 0;
    std::uint32_t sizeOfImage_ = 0;
    std::uint64_t imageBase_ = 0;
    std::vector<DataDirectory> directories_;
    std::vector<Section> sections_;
    std::uint64_t symbolOffset_ = 0;
    std::uint32_t symbolCount_ = 0;
    std::uint64_t stringTableOffset_ = 0;
    std::uint32_t stringTableSize_ = 0;
};

// Parses a resource body in the MESSAGE_RESOURCE_DATA layout (block count, then LowId / HighId /
// OffsetToEntries blocks, then length-prefixed entries). Throws Malformed on anything that does not
// fit, on entries shorter than their header, and on ids that appear twice.
MessageTable ParseMessageTable(ByteView data);

// Parses a VS_VERSIONINFO resource body: the fixed file information and the StringFileInfo strings.
VersionInfo ParseVersionInfo(ByteView data);

std::string ToUtf8(const std::u16string& text);
std::u16string FromUtf8(const std::string& text);
// Printable form of a text: control characters and backslashes as C escapes.
std::string Escape(const std::string& utf8);

} // namespace vyr::pe
