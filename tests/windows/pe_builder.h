// Builds small PE32+ images in memory, laid out the way ld lays out the real ones (headers, a code
// section, a data section holding imports, exports and resources, then the COFF symbol and string
// tables), so that the checker can be tested on images with exactly one thing wrong, and on
// hostile ones, without the cross build.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vyr::pe::test {

using Bytes = std::vector<std::uint8_t>;

struct ImportRecipe {
    std::string dll;
    std::vector<std::string> functions;
    bool delayLoad = false;
};

struct ExportRecipe {
    std::string name;
    std::uint16_t ordinal = 0;
};

struct MessageRecipe {
    std::uint32_t id = 0;
    std::u16string text;
    bool unicode = true;
};

struct PeRecipe {
    std::uint16_t machine = 0x8664;
    std::uint16_t subsystem = 1;
    std::uint16_t characteristics = 0x0022; // executable, large address aware
    std::uint32_t entryOffset = 0x10;       // entry point, as an offset into .text
    bool symbols = true;
    std::string entrySymbol = "DriverEntry";
    std::uint8_t entrySymbolClass = 2; // IMAGE_SYM_CLASS_EXTERNAL
    std::uint32_t symbolOffset = 0x10; // where the symbol says it is, offset into .text
    std::vector<ImportRecipe> imports = {{"ntoskrnl.exe", {"IoCreateDevice", "IoDeleteDevice"}}, {"hal.dll", {"KeStallExecutionProcessor"}}};
    std::vector<ExportRecipe> exports;
    std::vector<MessageRecipe> messages;
    bool messageTable = true;
    std::uint16_t messageLanguage = 1033;
    bool version = true;
    std::uint16_t fixedProductVersion[4] = {7, 0, 0, 8};
    std::u16string productVersionString = u"7.0.0.8";
    bool tls = false;
    bool checksum = true;
};

// File offsets of the structures tests damage.
struct PeLayout {
    std::size_t peHeader = 0;
    std::size_t fileHeader = 0;
    std::size_t optionalHeader = 0;
    std::size_t sectionTable = 0;
    std::size_t codeSection = 0;       // raw data of .text
    std::size_t dataSection = 0;       // raw data of the section holding everything below
    std::uint32_t dataRva = 0;
    std::uint32_t dataSize = 0;        // bytes of the data section that are used
    std::size_t importDescriptors = 0;
    std::size_t firstLookupTable = 0;  // the first DLL's import lookup table
    std::size_t exportDirectory = 0;
    std::size_t resourceRoot = 0;
    std::size_t messageTable = 0;
    std::size_t versionInfo = 0;
    std::size_t symbolTable = 0;
    std::size_t entrySymbol = 0;       // the symbol record naming the entry point
    std::size_t stringTable = 0;
};

Bytes BuildPe(const PeRecipe& recipe, PeLayout* layout = nullptr);

// Rewrites the checksum field so that only the damage a test makes is wrong with the image.
void UpdateCheckSum(Bytes& image, const PeLayout& layout);

void Put16(Bytes& b, std::size_t at, std::uint16_t value);
void Put32(Bytes& b, std::size_t at, std::uint32_t value);
std::uint32_t Get32(const Bytes& b, std::size_t at);

} // namespace vyr::pe::test
