#include "pe_builder.h"

#include <algorithm>
#include <map>

namespace vyr::pe::test {

namespace {

constexpr std::uint32_t kTextRva = 0x1000;
constexpr std::uint32_t kTextRaw = 0x400;
constexpr std::uint32_t kDataRva = 0x2000;
constexpr std::uint32_t kDataRaw = 0x600;
constexpr std::uint32_t kFileAlignment = 0x200;
constexpr std::uint32_t kSectionAlignment = 0x1000;
constexpr std::size_t kPeHeader = 0x80;
constexpr std::size_t kOptionalSize = 240;

std::size_t AlignUp(std::size_t value, std::size_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

void Put64(Bytes& b, std::size_t at, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i) {
        b.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// The data section while it is assembled; offsets are from its start.
struct Blob {
    Bytes bytes;

    std::size_t Align(std::size_t alignment)
    {
        bytes.resize(AlignUp(bytes.size(), alignment), 0);
        return bytes.size();
    }
    std::size_t Reserve(std::size_t size)
    {
        const std::size_t at = bytes.size();
        bytes.resize(at + size, 0);
        return at;
    }
    std::size_t Append(const Bytes& data)
    {
        const std::size_t at = bytes.size();
        bytes.insert(bytes.end(), data.begin(), data.end());
        return at;
    }
    std::size_t String(const std::string& text)
    {
        const std::size_t at = bytes.size();
        bytes.insert(bytes.end(), text.begin(), text.end());
        bytes.push_back(0);
        return at;
    }
    std::size_t HintName(const std::string& name)
    {
        Align(2);
        const std::size_t at = Reserve(2);
        String(name);
        return at;
    }
    static std::uint32_t Rva(std::size_t offset) { return kDataRva + static_cast<std::uint32_t>(offset); }
};

void AppendUtf16(Bytes& b, const std::u16string& text, bool terminate)
{
    for (const char16_t c : text) {
        b.push_back(static_cast<std::uint8_t>(c));
        b.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    if (terminate) {
        b.push_back(0);
        b.push_back(0);
    }
}

Bytes MessageTableBody(const std::vector<MessageRecipe>& messages)
{
    std::map<std::uint32_t, const MessageRecipe*> sorted;
    for (const MessageRecipe& m : messages) {
        sorted[m.id] = &m;
    }
    // Consecutive ids share a block, as the message compiler lays them out.
    std::vector<std::vector<const MessageRecipe*>> blocks;
    for (const auto& [id, m] : sorted) {
        if (blocks.empty() || blocks.back().back()->id + 1 != id) {
            blocks.emplace_back();
        }
        blocks.back().push_back(m);
    }
    Bytes b(4 + 12 * blocks.size(), 0);
    Put32(b, 0, static_cast<std::uint32_t>(blocks.size()));
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        Put32(b, 4 + 12 * i, blocks[i].front()->id);
        Put32(b, 8 + 12 * i, blocks[i].back()->id);
        Put32(b, 12 + 12 * i, static_cast<std::uint32_t>(b.size()));
        for (const MessageRecipe* m : blocks[i]) {
            Bytes text;
            if (m->unicode) {
                AppendUtf16(text, m->text, true);
            } else {
                for (const char16_t c : m->text) {
                    text.push_back(static_cast<std::uint8_t>(c));
                }
                text.push_back(0);
            }
            text.resize(AlignUp(4 + text.size(), 4) - 4, 0);
            const std::size_t at = b.size();
            b.resize(at + 4);
            Put16(b, at, static_cast<std::uint16_t>(4 + text.size()));
            Put16(b, at + 2, m->unicode ? 1 : 0);
            b.insert(b.end(), text.begin(), text.end());
        }
    }
    return b;
}

// One VS_VERSIONINFO node: lengths, type, key, value and children, each 32-bit aligned.
Bytes VersionNode(const std::u16string& key, const Bytes& value, std::uint16_t valueLength, std::uint16_t type,
    const std::vector<Bytes>& children)
{
    Bytes b(6, 0);
    AppendUtf16(b, key, true);
    b.resize(AlignUp(b.size(), 4), 0);
    b.insert(b.end(), value.begin(), value.end());
    for (const Bytes& child : children) {
        b.resize(AlignUp(b.size(), 4), 0);
        b.insert(b.end(), child.begin(), child.end());
    }
    Put16(b, 0, static_cast<std::uint16_t>(b.size()));
    Put16(b, 2, valueLength);
    Put16(b, 4, type);
    return b;
}

Bytes StringNode(const std::u16string& key, const std::u16string& value)
{
    Bytes text;
    AppendUtf16(text, value, true);
    return VersionNode(key, text, static_cast<std::uint16_t>(value.size() + 1), 1, {});
}

Bytes VersionBody(const PeRecipe& recipe)
{
    Bytes fixed(52, 0);
    const std::uint16_t* v = recipe.fixedProductVersion;
    Put32(fixed, 0, 0xfeef04bd);
    Put32(fixed, 4, 0x00010000);
    Put32(fixed, 8, (std::uint32_t{v[0]} << 16) | v[1]);
    Put32(fixed, 12, (std::uint32_t{v[2]} << 16) | v[3]);
    Put32(fixed, 16, (std::uint32_t{v[0]} << 16) | v[1]);
    Put32(fixed, 20, (std::uint32_t{v[2]} << 16) | v[3]);
    Put32(fixed, 24, 0x3f);
    Put32(fixed, 32, 0x00040004); // VOS_NT_WINDOWS32
    Put32(fixed, 36, 3);          // VFT_DRV
    Put32(fixed, 40, 7);          // VFT2_DRV_SYSTEM
    const Bytes table = VersionNode(u"040904b0", {}, 0, 1,
        {StringNode(u"CompanyName", u"VYR"), StringNode(u"FileVersion", u"7.0.0.8"),
            StringNode(u"ProductVersion", recipe.productVersionString)});
    const Bytes strings = VersionNode(u"StringFileInfo", {}, 0, 1, {table});
    const Bytes translation = VersionNode(u"Translation", {0x09, 0x04, 0xb0, 0x04}, 4, 0, {});
    const Bytes vars = VersionNode(u"VarFileInfo", {}, 0, 1, {translation});
    return VersionNode(u"VS_VERSION_INFO", fixed, 52, 0, {strings, vars});
}

} // namespace

void Put16(Bytes& b, std::size_t at, std::uint16_t value)
{
    b.at(at) = static_cast<std::uint8_t>(value);
    b.at(at + 1) = static_cast<std::uint8_t>(value >> 8);
}

void Put32(Bytes& b, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        b.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t Get32(const Bytes& b, std::size_t at)
{
    return b.at(at) | (b.at(at + 1) << 8) | (b.at(at + 2) << 16) | (std::uint32_t{b.at(at + 3)} << 24);
}

void UpdateCheckSum(Bytes& image, const PeLayout& layout)
{
    const std::size_t field = layout.optionalHeader + 64;
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < image.size(); i += 2) {
        if (i == field || i == field + 2) {
            continue;
        }
        sum += image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    Put32(image, field, static_cast<std::uint32_t>(sum + image.size()));
}

Bytes BuildPe(const PeRecipe& recipe, PeLayout* layoutOut)
{
    PeLayout layout;
    Blob data;
    std::uint32_t directories[16][2] = {};
    auto offsetOf = [](std::size_t dataOffset) { return kDataRaw + dataOffset; };

    // Imports: descriptors first, then per DLL its lookup table, address table and names.
    std::vector<const ImportRecipe*> normal, delayed;
    for (const ImportRecipe& i : recipe.imports) {
        (i.delayLoad ? delayed : normal).push_back(&i);
    }
    if (!normal.empty()) {
        data.Align(4);
        const std::size_t descriptors = data.Reserve((normal.size() + 1) * 20);
        layout.importDescriptors = offsetOf(descriptors);
        for (std::size_t d = 0; d < normal.size(); ++d) {
            data.Align(8);
            const std::size_t lookup = data.Reserve((normal[d]->functions.size() + 1) * 8);
            const std::size_t addresses = data.Reserve((normal[d]->functions.size() + 1) * 8);
            if (d == 0) {
                layout.firstLookupTable = offsetOf(lookup);
            }
            for (std::size_t f = 0; f < normal[d]->functions.size(); ++f) {
                const std::uint32_t hintName = Blob::Rva(data.HintName(normal[d]->functions[f]));
                Put64(data.bytes, lookup + 8 * f, hintName);
                Put64(data.bytes, addresses + 8 * f, hintName);
            }
            const std::size_t name = data.String(normal[d]->dll);
            Put32(data.bytes, descriptors + 20 * d, Blob::Rva(lookup));
            Put32(data.bytes, descriptors + 20 * d + 12, Blob::Rva(name));
            Put32(data.bytes, descriptors + 20 * d + 16, Blob::Rva(addresses));
        }
        directories[1][0] = Blob::Rva(descriptors);
        directories[1][1] = static_cast<std::uint32_t>((normal.size() + 1) * 20);
    }
    if (!delayed.empty()) {
        data.Align(4);
        const std::size_t descriptors = data.Reserve((delayed.size() + 1) * 32);
        for (std::size_t d = 0; d < delayed.size(); ++d) {
            data.Align(8);
            const std::size_t handle = data.Reserve(8);
            const std::size_t names = data.Reserve((delayed[d]->functions.size() + 1) * 8);
            const std::size_t addresses = data.Reserve((delayed[d]->functions.size() + 1) * 8);
            for (std::size_t f = 0; f < delayed[d]->functions.size(); ++f) {
                Put64(data.bytes, names + 8 * f, Blob::Rva(data.HintName(delayed[d]->functions[f])));
            }
            const std::size_t name = data.String(delayed[d]->dll);
            const std::size_t at = descriptors + 32 * d;
            Put32(data.bytes, at, 1); // RVA-based
            Put32(data.bytes, at + 4, Blob::Rva(name));
            Put32(data.bytes, at + 8, Blob::Rva(handle));
            Put32(data.bytes, at + 12, Blob::Rva(addresses));
            Put32(data.bytes, at + 16, Blob::Rva(names));
        }
        directories[13][0] = Blob::Rva(descriptors);
        directories[13][1] = static_cast<std::uint32_t>((delayed.size() + 1) * 32);
    }

    // Exports: names sorted, as loaders binary-search them.
    if (!recipe.exports.empty()) {
        std::vector<ExportRecipe> sorted = recipe.exports;
        std::sort(sorted.begin(), sorted.end(), [](const ExportRecipe& a, const ExportRecipe& b) { return a.name < b.name; });
        std::uint16_t base = 0xffff, last = 0;
        for (const ExportRecipe& e : sorted) {
            base = std::min(base, e.ordinal);
            last = std::max(last, e.ordinal);
        }
        data.Align(4);
        const std::size_t directory = data.Reserve(40);
        layout.exportDirectory = offsetOf(directory);
        const std::size_t functions = data.Reserve(4 * (last - base + 1));
        const std::size_t names = data.Reserve(4 * sorted.size());
        const std::size_t ordinals = data.Reserve(2 * sorted.size());
        for (std::size_t i = 0; i < sorted.size(); ++i) {
            Put32(data.bytes, functions + 4 * (sorted[i].ordinal - base), kTextRva + 0x40 + 0x10 * static_cast<std::uint32_t>(i));
            Put32(data.bytes, names + 4 * i, Blob::Rva(data.String(sorted[i].name)));
            Put16(data.bytes, ordinals + 2 * i, static_cast<std::uint16_t>(sorted[i].ordinal - base));
        }
        Put32(data.bytes, directory + 12, Blob::Rva(data.String("test.dll")));
        Put32(data.bytes, directory + 16, base);
        Put32(data.bytes, directory + 20, last - base + 1u);
        Put32(data.bytes, directory + 24, static_cast<std::uint32_t>(sorted.size()));
        Put32(data.bytes, directory + 28, Blob::Rva(functions));
        Put32(data.bytes, directory + 32, Blob::Rva(names));
        Put32(data.bytes, directory + 36, Blob::Rva(ordinals));
        directories[0][0] = Blob::Rva(directory);
        directories[0][1] = static_cast<std::uint32_t>(data.bytes.size() - directory);
    }

    // Resources: type / name / language directories, then the data they point at.
    struct Resource {
        std::uint32_t type;
        std::uint32_t language;
        Bytes body;
        std::size_t* fileOffset;
    };
    std::vector<Resource> resources;
    if (recipe.messageTable) {
        resources.push_back({11, recipe.messageLanguage, MessageTableBody(recipe.messages), &layout.messageTable});
    }
    if (recipe.version) {
        resources.push_back({16, 1033, VersionBody(recipe), &layout.versionInfo});
    }
    if (!resources.empty()) {
        data.Align(4);
        const std::size_t root = data.Reserve(16 + 8 * resources.size());
        layout.resourceRoot = offsetOf(root);
        Put16(data.bytes, root + 14, static_cast<std::uint16_t>(resources.size()));
        for (std::size_t r = 0; r < resources.size(); ++r) {
            const std::size_t names = data.Reserve(24);
            const std::size_t languages = data.Reserve(24);
            const std::size_t entry = data.Reserve(16);
            Put32(data.bytes, root + 16 + 8 * r, resources[r].type);
            Put32(data.bytes, root + 20 + 8 * r, 0x80000000u | static_cast<std::uint32_t>(names - root));
            Put16(data.bytes, names + 14, 1);
            Put32(data.bytes, names + 16, 1);
            Put32(data.bytes, names + 20, 0x80000000u | static_cast<std::uint32_t>(languages - root));
            Put16(data.bytes, languages + 14, 1);
            Put32(data.bytes, languages + 16, resources[r].language);
            Put32(data.bytes, languages + 20, static_cast<std::uint32_t>(entry - root));
            data.Align(4);
            const std::size_t body = data.Append(resources[r].body);
            *resources[r].fileOffset = offsetOf(body);
            Put32(data.bytes, entry, Blob::Rva(body));
            Put32(data.bytes, entry + 4, static_cast<std::uint32_t>(resources[r].body.size()));
        }
        directories[2][0] = Blob::Rva(root);
        directories[2][1] = static_cast<std::uint32_t>(data.bytes.size() - root);
    }

    if (recipe.tls) {
        data.Align(8);
        directories[9][0] = Blob::Rva(data.Reserve(40));
        directories[9][1] = 40;
    }
    data.Align(16);
    if (data.bytes.empty()) {
        data.Reserve(16);
    }
    const std::size_t dataSize = data.bytes.size();
    const std::size_t dataRaw = AlignUp(dataSize, kFileAlignment);

    Bytes image(kDataRaw + dataRaw, 0);
    std::copy(data.bytes.begin(), data.bytes.end(), image.begin() + kDataRaw);
    std::fill(image.begin() + kTextRaw, image.begin() + kTextRaw + 0x100, 0xcc);
    image[kTextRaw + recipe.entryOffset] = 0xc3;

    // Symbols: a .file record with one auxiliary record, the .text section symbol with one, then
    // the entry point.
    std::uint32_t symbolCount = 0;
    if (recipe.symbols) {
        layout.symbolTable = image.size();
        Bytes strings(4, 0);
        auto symbol = [&](const std::string& name, std::uint32_t value, std::int16_t section, std::uint16_t type,
                          std::uint8_t storage, std::uint8_t auxiliary) {
            const std::size_t at = image.size();
            image.resize(at + 18 * (1 + auxiliary), 0);
            if (name.size() <= 8) {
                std::copy(name.begin(), name.end(), image.begin() + at);
            } else {
                Put32(image, at + 4, static_cast<std::uint32_t>(strings.size()));
                strings.insert(strings.end(), name.begin(), name.end());
                strings.push_back(0);
            }
            Put32(image, at + 8, value);
            Put16(image, at + 12, static_cast<std::uint16_t>(section));
            Put16(image, at + 14, type);
            image[at + 16] = storage;
            image[at + 17] = auxiliary;
            symbolCount += 1 + auxiliary;
            return at;
        };
        const std::size_t file = symbol(".file", 0, -2, 0, 103, 1);
        const std::string source = "driver.cpp";
        std::copy(source.begin(), source.end(), image.begin() + file + 18);
        symbol(".text", 0, 1, 0, 3, 1);
        layout.entrySymbol = symbol(recipe.entrySymbol, recipe.symbolOffset, 1, 0x20, recipe.entrySymbolClass, 0);
        layout.stringTable = image.size();
        Put32(strings, 0, static_cast<std::uint32_t>(strings.size()));
        image.insert(image.end(), strings.begin(), strings.end());
    }

    image[0] = 'M';
    image[1] = 'Z';
    Put32(image, 0x3c, kPeHeader);
    layout.peHeader = kPeHeader;
    Put32(image, kPeHeader, 0x00004550);
    const std::size_t fh = kPeHeader + 4;
    layout.fileHeader = fh;
    Put16(image, fh, recipe.machine);
    Put16(image, fh + 2, 2);
    Put32(image, fh + 8, recipe.symbols ? static_cast<std::uint32_t>(layout.symbolTable) : 0);
    Put32(image, fh + 12, symbolCount);
    Put16(image, fh + 16, kOptionalSize);
    Put16(image, fh + 18, recipe.characteristics);

    const std::size_t opt = fh + 20;
    layout.optionalHeader = opt;
    Put16(image, opt, 0x20b);
    image[opt + 2] = 2;
    image[opt + 3] = 40;
    Put32(image, opt + 4, kFileAlignment);
    Put32(image, opt + 8, static_cast<std::uint32_t>(dataRaw));
    Put32(image, opt + 16, kTextRva + recipe.entryOffset);
    Put32(image, opt + 20, kTextRva);
    Put64(image, opt + 24, 0x140000000ull);
    Put32(image, opt + 32, kSectionAlignment);
    Put32(image, opt + 36, kFileAlignment);
    Put16(image, opt + 40, 6);
    Put16(image, opt + 48, 6);
    Put32(image, opt + 56, static_cast<std::uint32_t>(kDataRva + AlignUp(dataSize, kSectionAlignment)));
    Put32(image, opt + 60, kTextRaw);
    Put16(image, opt + 68, recipe.subsystem);
    Put16(image, opt + 70, 0x160);
    Put64(image, opt + 72, 0x40000);
    Put64(image, opt + 80, 0x1000);
    Put64(image, opt + 88, 0x100000);
    Put64(image, opt + 96, 0x1000);
    Put32(image, opt + 108, 16);
    for (int d = 0; d < 16; ++d) {
        Put32(image, opt + 112 + 8 * d, directories[d][0]);
        Put32(image, opt + 116 + 8 * d, directories[d][1]);
    }

    const std::size_t sections = opt + kOptionalSize;
    layout.sectionTable = sections;
    const char text[8] = {'.', 't', 'e', 'x', 't'};
    std::copy(text, text + 8, image.begin() + sections);
    Put32(image, sections + 8, 0x100);
    Put32(image, sections + 12, kTextRva);
    Put32(image, sections + 16, kFileAlignment);
    Put32(image, sections + 20, kTextRaw);
    Put32(image, sections + 36, 0x60000020); // code, execute, read
    const char dataName[8] = {'.', 'd', 'a', 't', 'a'};
    std::copy(dataName, dataName + 8, image.begin() + sections + 40);
    Put32(image, sections + 48, static_cast<std::uint32_t>(dataSize));
    Put32(image, sections + 52, kDataRva);
    Put32(image, sections + 56, static_cast<std::uint32_t>(dataRaw));
    Put32(image, sections + 60, kDataRaw);
    Put32(image, sections + 76, 0xc0000040); // initialized data, read, write

    layout.codeSection = kTextRaw;
    layout.dataSection = kDataRaw;
    layout.dataRva = kDataRva;
    layout.dataSize = static_cast<std::uint32_t>(dataSize);
    if (recipe.checksum) {
        UpdateCheckSum(image, layout);
    }
    if (layoutOut != nullptr) {
        *layoutOut = layout;
    }
    return image;
}

} // namespace vyr::pe::test
