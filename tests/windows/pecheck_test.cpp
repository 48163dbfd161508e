// Tests of the image checker on images built in memory: each check must pass on a sound image,
// fail on an image with exactly that fault, and report a hostile image as malformed without
// reading outside it or running away.

#include "checks.h"
#include "pe.h"
#include "pe_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

namespace vyr::pe::test {
namespace {

using Results = std::vector<CheckResult>;

const std::vector<MessageRecipe> kMessages = {
    {0x40000001, u"Bus started.  Driver object is %2, bus FDO is %3.\r\n"},
    {0x40000002, u"Next id in the same block.\r\n"},
    {0xC0000007, u"Error on failover attempt: %2 could not break previous reservation on %3.\r\n"},
};

PeRecipe DriverRecipe()
{
    PeRecipe recipe;
    recipe.messages = kMessages;
    return recipe;
}

CheckOptions DriverOptions()
{
    CheckOptions options;
    options.driver = true;
    for (const MessageRecipe& m : kMessages) {
        options.messages.push_back({m.id, ToUtf8(m.text)});
    }
    options.onlyListedMessages = true;
    options.version = "7.0.0.8";
    return options;
}

PeRecipe DllRecipe()
{
    PeRecipe recipe;
    recipe.subsystem = 2;
    recipe.characteristics = 0x2022;
    recipe.symbols = false;
    recipe.messageTable = false;
    recipe.imports = {{"KERNEL32.dll", {"CreateFileW"}}, {"setupapi.dll", {"SetupDiGetClassDevsW"}}};
    recipe.exports = {{"InstallDrivers", 1}, {"UninstallDrivers", 2}};
    return recipe;
}

CheckOptions DllOptions()
{
    CheckOptions options;
    options.dll = true;
    options.allowedImports = {"kernel32.dll", "setupapi.dll", "advapi32.dll"};
    options.exports = {{"InstallDrivers", 1}, {"UninstallDrivers", 2}};
    options.version = "7.0.0.8";
    return options;
}

std::set<std::string> FailedChecks(const Results& results)
{
    std::set<std::string> failed;
    for (const CheckResult& r : results) {
        if (!r.pass) {
            failed.insert(r.name);
        }
    }
    return failed;
}

const CheckResult* Find(const Results& results, const std::string& name)
{
    const auto it = std::find_if(results.begin(), results.end(), [&](const CheckResult& r) { return r.name == name; });
    return it == results.end() ? nullptr : &*it;
}

std::string Dump(const Results& results)
{
    std::string out;
    for (const CheckResult& r : results) {
        out += (r.pass ? "PASS  " : "FAIL  ") + r.name + ": " + r.detail + "\n";
    }
    return out;
}

TEST(PeCheck, SoundDriverAndDllPassEveryCheckTheyAskFor)
{
    const Results driver = RunChecks(BuildPe(DriverRecipe()), DriverOptions());
    std::vector<std::string> names;
    for (const CheckResult& r : driver) {
        names.push_back(r.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"format", "machine", "pe32+", "checksum", "subsystem", "entry", "tls",
                         "imports", "c++ runtime", "message table", "message 0x40000001", "message 0x40000002",
                         "message 0xc0000007", "message ids", "version fixed", "version string"}));
    EXPECT_TRUE(FailedChecks(driver).empty()) << Dump(driver);

    const Results dll = RunChecks(BuildPe(DllRecipe()), DllOptions());
    EXPECT_TRUE(FailedChecks(dll).empty()) << Dump(dll);
    EXPECT_NE(Find(dll, "export UninstallDrivers"), nullptr);
    EXPECT_EQ(Find(dll, "entry"), nullptr) << "driver-only checks ran on a DLL";
}

// Each case damages one thing; exactly the checks named must fail.
struct FaultCase {
    const char* what;
    std::function<void(PeRecipe&, CheckOptions&)> change;
    std::set<std::string> failing;
    bool dll = false;
};

TEST(PeCheck, EachFaultFailsExactlyItsChecks)
{
    const std::vector<FaultCase> cases = {
        {"i386 machine", [](PeRecipe& s, CheckOptions&) { s.machine = 0x14c; }, {"machine"}},
        {"GUI subsystem in a driver", [](PeRecipe& s, CheckOptions&) { s.subsystem = 2; }, {"subsystem"}},
        {"entry point beside DriverEntry", [](PeRecipe& s, CheckOptions&) { s.entryOffset = 0x20; }, {"entry"}},
        {"stripped symbol table", [](PeRecipe& s, CheckOptions&) { s.symbols = false; }, {"entry"}},
        {"DriverEntry only as a static symbol", [](PeRecipe& s, CheckOptions&) { s.entrySymbolClass = 3; }, {"entry"}},
        {"entry symbol of another name", [](PeRecipe& s, CheckOptions&) { s.entrySymbol = "GsDriverEntry"; }, {"entry"}},
        {"thread-local storage", [](PeRecipe& s, CheckOptions&) { s.tls = true; }, {"tls"}},
        {"import names compare case-insensitively",
            [](PeRecipe& s, CheckOptions&) { s.imports = {{"NTOSKRNL.EXE", {"IoCallDriver"}}, {"HAL.dll", {"KeQueryPerformanceCounter"}}}; },
            {}},
        {"extra import from a user-mode DLL",
            [](PeRecipe& s, CheckOptions&) { s.imports.push_back({"kernel32.dll", {"ExitProcess"}}); }, {"imports"}},
        {"C runtime DLL", [](PeRecipe& s, CheckOptions&) { s.imports.push_back({"msvcrt.dll", {"malloc"}}); },
            {"imports", "c++ runtime"}},
        {"C++ runtime DLL", [](PeRecipe& s, CheckOptions&) { s.imports.push_back({"libstdc++-6.dll", {"_Znwy"}}); },
            {"imports", "c++ runtime"}},
        {"mangled name from an allowed DLL",
            [](PeRecipe& s, CheckOptions&) { s.imports[0].functions.push_back("_ZSt9terminatev"); }, {"c++ runtime"}},
        {"delay-loaded hal.dll",
            [](PeRecipe& s, CheckOptions&) { s.imports.push_back({"hal.dll", {"KeStallExecutionProcessor"}, true}); },
            {"imports"}},
        {"text without its CR LF",
            [](PeRecipe&, CheckOptions& o) { o.messages[0].text = "Bus started.  Driver object is %2, bus FDO is %3."; },
            {"message 0x40000001"}},
        {"ANSI entry", [](PeRecipe& s, CheckOptions&) { s.messages[1].unicode = false; }, {"message 0x40000002"}},
        {"expected id missing from the table", [](PeRecipe& s, CheckOptions&) { s.messages.pop_back(); },
            {"message 0xc0000007"}},
        {"same id with another severity is a different message",
            [](PeRecipe& s, CheckOptions&) { s.messages[2].id = 0x40000007; }, {"message 0xc0000007", "message ids"}},
        {"table entry nobody expects",
            [](PeRecipe& s, CheckOptions&) { s.messages.push_back({0x80000004, u"Unexpected.\r\n"}); }, {"message ids"}},
        {"extra entries allowed unless only listed ones are",
            [](PeRecipe& s, CheckOptions& o) {
                s.messages.push_back({0x80000004, u"Unexpected.\r\n"});
                o.onlyListedMessages = false;
            },
            {}},
        {"message table in German only", [](PeRecipe& s, CheckOptions&) { s.messageLanguage = 1031; },
            {"message table", "message 0x40000001", "message 0x40000002", "message 0xc0000007"}},
        {"no version resource", [](PeRecipe& s, CheckOptions&) { s.version = false; }, {"version fixed", "version string"}},
        {"fixed product version off by one", [](PeRecipe& s, CheckOptions&) { s.fixedProductVersion[3] = 9; },
            {"version fixed"}},
        {"product version string differs", [](PeRecipe& s, CheckOptions&) { s.productVersionString = u"7.0.0.8 "; },
            {"version string"}},
        {"DLL: console subsystem is fine", [](PeRecipe& s, CheckOptions&) { s.subsystem = 3; }, {}, true},
        {"DLL: native subsystem", [](PeRecipe& s, CheckOptions&) { s.subsystem = 1; }, {"subsystem"}, true},
        {"DLL: no DLL flag", [](PeRecipe& s, CheckOptions&) { s.characteristics = 0x0022; }, {"dll flag"}, true},
        {"DLL: ordinals swapped",
            [](PeRecipe& s, CheckOptions&) { s.exports = {{"InstallDrivers", 2}, {"UninstallDrivers", 1}}; },
            {"export InstallDrivers", "export UninstallDrivers"}, true},
        {"DLL: export missing", [](PeRecipe& s, CheckOptions&) { s.exports = {{"InstallDrivers", 1}}; },
            {"export UninstallDrivers"}, true},
        {"DLL: export names are case-sensitive",
            [](PeRecipe& s, CheckOptions&) { s.exports = {{"installdrivers", 1}, {"UninstallDrivers", 2}}; },
            {"export InstallDrivers"}, true},
        {"DLL: import outside the allowed list",
            [](PeRecipe& s, CheckOptions&) { s.imports.push_back({"ws2_32.dll", {"socket"}}); }, {"imports"}, true},
    };
    for (const FaultCase& c : cases) {
        PeRecipe recipe = c.dll ? DllRecipe() : DriverRecipe();
        CheckOptions options = c.dll ? DllOptions() : DriverOptions();
        c.change(recipe, options);
        const Results results = RunChecks(BuildPe(recipe), options);
        EXPECT_EQ(FailedChecks(results), c.failing) << c.what << "\n" << Dump(results);
    }
}

TEST(PeCheck, ZeroChecksumIsAcceptedAndAnyOtherMustMatch)
{
    PeRecipe recipe = DriverRecipe();
    recipe.checksum = false;
    const Results unset = RunChecks(BuildPe(recipe), DriverOptions());
    ASSERT_NE(Find(unset, "checksum"), nullptr);
    EXPECT_TRUE(Find(unset, "checksum")->pass) << Dump(unset);

    PeLayout layout;
    Bytes image = BuildPe(DriverRecipe(), &layout);
    image[layout.codeSection + 0x80]++; // any byte change invalidates a set checksum
    EXPECT_EQ(FailedChecks(RunChecks(image, DriverOptions())), std::set<std::string>{"checksum"});
}

TEST(PeCheck, Pe32ImageIsNotAccepted)
{
    PeLayout layout;
    Bytes image = BuildPe(DriverRecipe(), &layout);
    Put16(image, layout.optionalHeader, 0x10b);
    const Results results = RunChecks(image, DriverOptions());
    const CheckResult* magic = Find(results, "pe32+");
    const CheckResult* format = Find(results, "format");
    ASSERT_NE(format, nullptr);
    EXPECT_TRUE(!format->pass || (magic != nullptr && !magic->pass)) << Dump(results);
}

// --- hostile images ------------------------------------------------------------------------

// Damages a sound image; the named check must fail as malformed.
struct HostileCase {
    const char* what;
    std::function<void(Bytes&, const PeLayout&)> damage;
    const char* check;
};

void ExpectMalformed(const std::vector<HostileCase>& cases, const PeRecipe& recipe, const CheckOptions& options)
{
    for (const HostileCase& c : cases) {
        PeLayout layout;
        Bytes image = BuildPe(recipe, &layout);
        c.damage(image, layout);
        UpdateCheckSum(image, layout);
        const Results results = RunChecks(image, options);
        const CheckResult* r = Find(results, c.check);
        ASSERT_NE(r, nullptr) << c.what << "\n" << Dump(results);
        EXPECT_FALSE(r->pass) << c.what << "\n" << Dump(results);
        EXPECT_EQ(r->detail.rfind("malformed: ", 0), 0u) << c.what << "\n" << Dump(results);
    }
}

TEST(PeCheck, HostileHeadersAreMalformed)
{
    const std::vector<HostileCase> cases = {
        {"e_lfanew far outside", [](Bytes& b, const PeLayout&) { Put32(b, 0x3c, 0xfffffff0); }, "format"},
        {"e_lfanew at the last bytes", [](Bytes& b, const PeLayout&) { Put32(b, 0x3c, static_cast<std::uint32_t>(b.size() - 2)); }, "format"},
        {"65535 sections", [](Bytes& b, const PeLayout& l) { Put16(b, l.fileHeader + 2, 0xffff); }, "format"},
        {"optional header larger than the file", [](Bytes& b, const PeLayout& l) { Put16(b, l.fileHeader + 16, 0xffff); }, "format"},
        {"optional header too small for its magic", [](Bytes& b, const PeLayout& l) { Put16(b, l.fileHeader + 16, 2); }, "format"},
        {"unknown magic", [](Bytes& b, const PeLayout& l) { Put16(b, l.optionalHeader, 0x107); }, "format"},
        {"2^28 data directories", [](Bytes& b, const PeLayout& l) { Put32(b, l.optionalHeader + 108, 0x10000000); }, "format"},
        {"section raw pointer wraps", [](Bytes& b, const PeLayout& l) { Put32(b, l.sectionTable + 60, 0xffffff00); }, "format"},
        {"section raw size 4 GiB", [](Bytes& b, const PeLayout& l) { Put32(b, l.sectionTable + 56, 0xffffffff); }, "format"},
        {"section past SizeOfImage", [](Bytes& b, const PeLayout& l) { Put32(b, l.sectionTable + 52, 0xfffff000); }, "format"},
        {"section table past SizeOfHeaders", [](Bytes& b, const PeLayout& l) { Put32(b, l.optionalHeader + 60, 0x100); }, "format"},
        {"2^28 symbols", [](Bytes& b, const PeLayout& l) { Put32(b, l.fileHeader + 12, 0x10000000); }, "format"},
        {"symbol table pointer outside", [](Bytes& b, const PeLayout& l) { Put32(b, l.fileHeader + 8, 0xfffffff0); }, "format"},
        {"string table size 4 GiB", [](Bytes& b, const PeLayout& l) { Put32(b, l.stringTable, 0xffffffff); }, "format"},
        {"string table size below its field", [](Bytes& b, const PeLayout& l) { Put32(b, l.stringTable, 2); }, "format"},
    };
    ExpectMalformed(cases, DriverRecipe(), DriverOptions());
}

TEST(PeCheck, HostileStructuresInsideSectionsAreMalformed)
{
    const auto rvaAt = [](const PeLayout& l, std::size_t fileOffset) {
        return static_cast<std::uint32_t>(l.dataRva + (fileOffset - l.dataSection));
    };
    const std::vector<HostileCase> cases = {
        {"DLL name RVA unmapped", [](Bytes& b, const PeLayout& l) { Put32(b, l.importDescriptors + 12, 0xfffffff0); }, "imports"},
        {"import directory at the end of its section",
            [&](Bytes& b, const PeLayout& l) { Put32(b, l.optionalHeader + 120, l.dataRva + l.dataSize - 8); }, "imports"},
        {"lookup table never terminated",
            [](Bytes& b, const PeLayout& l) {
                // Every slot to the end of the section holds the first name's hint/name RVA.
                const std::uint32_t entry = Get32(b, l.firstLookupTable);
                for (std::size_t at = l.firstLookupTable; at + 8 <= l.dataSection + l.dataSize; at += 8) {
                    Put32(b, at, entry);
                    Put32(b, at + 4, 0);
                }
            },
            "imports"},
        {"hint/name RVA past the section",
            [](Bytes& b, const PeLayout& l) { Put32(b, l.firstLookupTable, l.dataRva + 0x3000); }, "imports"},
        {"hint/name RVA in the zero-filled tail of the section",
            [](Bytes& b, const PeLayout& l) {
                Put32(b, l.sectionTable + 48, 0x1000);
                Put32(b, l.firstLookupTable, l.dataRva + 0xff0);
            },
            "imports"},
        {"DLL name never terminated",
            [&](Bytes& b, const PeLayout& l) {
                std::fill(b.begin() + l.dataSection + l.dataSize - 16, b.begin() + l.dataSection + l.dataSize, 'A');
                Put32(b, l.importDescriptors + 12, rvaAt(l, l.dataSection + l.dataSize - 16));
            },
            "imports"},
        {"symbol name offset past the string table", [](Bytes& b, const PeLayout& l) { Put32(b, l.entrySymbol + 4, 0x7fffffff); }, "entry"},
        {"symbol in section 9 of 2", [](Bytes& b, const PeLayout& l) { Put16(b, l.entrySymbol + 12, 9); }, "entry"},
        {"resource type directory offset outside",
            [](Bytes& b, const PeLayout& l) { Put32(b, l.resourceRoot + 20, 0xfffffff0); }, "message table"},
        {"resource leaf pointing back at the root directory",
            [](Bytes& b, const PeLayout& l) {
                // type -> name -> language; make the language level a directory again.
                const std::size_t names = l.resourceRoot + (Get32(b, l.resourceRoot + 20) & 0x7fffffff);
                const std::size_t languages = l.resourceRoot + (Get32(b, names + 20) & 0x7fffffff);
                Put32(b, languages + 20, 0x80000000u);
            },
            "message table"},
        {"resource type entry pointing at data",
            [](Bytes& b, const PeLayout& l) { Put32(b, l.resourceRoot + 20, Get32(b, l.resourceRoot + 20) & 0x7fffffff); },
            "version fixed"},
        {"resource directory with 131070 entries",
            [](Bytes& b, const PeLayout& l) { Put16(b, l.resourceRoot + 12, 0xffff); Put16(b, l.resourceRoot + 14, 0xffff); },
            "message table"},
        {"message block count 2^32-1", [](Bytes& b, const PeLayout& l) { Put32(b, l.messageTable, 0xffffffff); }, "message table"},
        {"message block with high id below low id", [](Bytes& b, const PeLayout& l) { Put32(b, l.messageTable + 8, 0x3fffffff); }, "message table"},
        {"message block covering every id", [](Bytes& b, const PeLayout& l) { Put32(b, l.messageTable + 4, 0); Put32(b, l.messageTable + 8, 0xffffffff); }, "message table"},
        {"message entries offset outside", [](Bytes& b, const PeLayout& l) { Put32(b, l.messageTable + 12, 0xfffffff0); }, "message table"},
        {"message entry of length 0",
            [](Bytes& b, const PeLayout& l) { Put16(b, l.messageTable + Get32(b, l.messageTable + 12), 0); }, "message table"},
        {"message entry longer than the table",
            [](Bytes& b, const PeLayout& l) { Put16(b, l.messageTable + Get32(b, l.messageTable + 12), 0xfffc); }, "message table"},
        {"message entry with unknown flags",
            [](Bytes& b, const PeLayout& l) { Put16(b, l.messageTable + Get32(b, l.messageTable + 12) + 2, 7); }, "message table"},
        {"two blocks claiming the same id",
            [](Bytes& b, const PeLayout& l) { Put32(b, l.messageTable + 16, 0x40000001); Put32(b, l.messageTable + 20, 0x40000001); },
            "message table"},
        {"version node longer than the resource", [](Bytes& b, const PeLayout& l) { Put16(b, l.versionInfo, 0xffff); }, "version fixed"},
        {"version node shorter than its header", [](Bytes& b, const PeLayout& l) { Put16(b, l.versionInfo, 2); }, "version fixed"},
        {"version fixed info with a bad signature", [](Bytes& b, const PeLayout& l) { Put32(b, l.versionInfo + 40, 0x12345678); }, "version fixed"},
        {"version fixed info claimed longer than the node",
            [](Bytes& b, const PeLayout& l) { Put16(b, l.versionInfo + 2, 0xfff0); }, "version fixed"},
    };
    ExpectMalformed(cases, DriverRecipe(), DriverOptions());

    // One long name shared by a thousand lookup entries: the copies must stay bounded.
    PeRecipe shared = DriverRecipe();
    shared.imports[0].functions = {std::string(4000, 'N')};
    shared.imports[0].functions.resize(1100, "F");
    const std::vector<HostileCase> sharedName = {
        {"lookup entries sharing a 4000-character name",
            [](Bytes& b, const PeLayout& l) {
                for (std::size_t i = 1; i < 1100; ++i) {
                    Put32(b, l.firstLookupTable + 8 * i, Get32(b, l.firstLookupTable));
                }
            },
            "imports"},
    };
    ExpectMalformed(sharedName, shared, DriverOptions());

    const std::vector<HostileCase> dllCases = {
        {"2^32-1 exported names", [](Bytes& b, const PeLayout& l) { Put32(b, l.exportDirectory + 24, 0xffffffff); }, "export InstallDrivers"},
        {"ordinal index outside the address table",
            [](Bytes& b, const PeLayout& l) { Put32(b, l.exportDirectory + 20, 1); }, "export InstallDrivers"},
        {"export name RVA unmapped",
            [](Bytes& b, const PeLayout& l) {
                const std::size_t names = l.dataSection + (Get32(b, l.exportDirectory + 32) - l.dataRva);
                Put32(b, names, 0x7ffffff0);
            },
            "export UninstallDrivers"},
    };
    ExpectMalformed(dllCases, DllRecipe(), DllOptions());
}

// Cutting a sound image anywhere leaves section data or the symbol table hanging past the end.
TEST(PeCheck, EveryTruncationIsMalformed)
{
    const Bytes image = BuildPe(DriverRecipe());
    for (std::size_t size = 0; size < image.size(); ++size) {
        const Results results = RunChecks(Bytes(image.begin(), image.begin() + size), DriverOptions());
        ASSERT_EQ(results.size(), 1u) << "truncated to " << size << "\n" << Dump(results);
        EXPECT_EQ(results[0].name, "format");
        EXPECT_FALSE(results[0].pass);
    }
}

// Overwrites every byte of the headers and data with values that turn sizes and offsets hostile.
// Each run must finish with a verdict; out-of-bounds reads are what the sanitizer build catches.
TEST(PeCheck, OverwritingAnyByteNeverReadsOutsideTheImage)
{
    PeLayout layout;
    const Bytes image = BuildPe(DriverRecipe(), &layout);
    std::size_t malformed = 0;
    for (std::size_t at = 0; at < image.size(); ++at) {
        if (at >= layout.codeSection && at < layout.dataSection) {
            continue; // code bytes are never parsed
        }
        for (const std::uint8_t value : {std::uint8_t{0x00}, std::uint8_t{0x7f}, std::uint8_t{0x80}, std::uint8_t{0xff}}) {
            Bytes damaged = image;
            damaged[at] = value;
            const Results results = RunChecks(damaged, DriverOptions());
            ASSERT_FALSE(results.empty());
            ASSERT_EQ(results[0].name, "format");
            for (const CheckResult& r : results) {
                malformed += r.detail.rfind("malformed: ", 0) == 0;
            }
        }
    }
    // Many of these overwrites land on length and offset fields.
    EXPECT_GT(malformed, 100u);
}

// --- option parsing ------------------------------------------------------------------------

TEST(PeCheckOptions, ExpectedTextsFile)
{
    std::vector<ExpectedMessage> messages;
    std::string error;
    ASSERT_TRUE(ParseExpectedMessages("# comment\r\n\r\n0x40000001\tA \\\"quoted\\\" %2.\\r\\n\r\n"
                                      "0xC0000002\tTab\\there, backslash \\\\.\n3221225479\tlast line without newline",
        messages, error))
        << error;
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].id, 0x40000001u);
    EXPECT_EQ(messages[0].text, "A \"quoted\" %2.\r\n");
    EXPECT_EQ(messages[1].id, 0xC0000002u);
    EXPECT_EQ(messages[1].text, "Tab\there, backslash \\.");
    EXPECT_EQ(messages[2].id, 0xC0000007u);
    EXPECT_EQ(messages[2].text, "last line without newline");

    const std::pair<const char*, const char*> bad[] = {
        {"0x40000001 no tab\n", "line 1: no TAB"},
        {"\n0x4000000G\ttext\n", "line 2: bad message id"},
        {"0x100000000\ttext\n", "line 1: bad message id"},
        {"0x40000001\tbad \\q escape\n", "line 1: unknown escape \\q"},
        {"0x40000001\ttrailing \\", "line 1: trailing backslash"},
    };
    for (const auto& [contents, reason] : bad) {
        messages.clear();
        EXPECT_FALSE(ParseExpectedMessages(contents, messages, error)) << contents;
        EXPECT_EQ(error.rfind(reason, 0), 0u) << error;
    }
}

TEST(PeCheckOptions, VersionNeedsFourSixteenBitParts)
{
    std::uint16_t parts[4];
    ASSERT_TRUE(ParseVersion("7.0.0.8", parts));
    EXPECT_EQ(parts[0], 7);
    EXPECT_EQ(parts[3], 8);
    EXPECT_TRUE(ParseVersion("65535.0.0.65535", parts));
    for (const char* bad : {"", "7.0.0", "7.0.0.8.1", "7.0.0.65536", "7..0.8", "7.0.0.8 ", "v7.0.0.8", "7.0.0.-8"}) {
        EXPECT_FALSE(ParseVersion(bad, parts)) << bad;
    }
}

} // namespace
} // namespace vyr::pe::test
