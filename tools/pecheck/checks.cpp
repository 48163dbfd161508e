#include "checks.h"

#include "pe.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <set>

namespace vyr::pe {

namespace {

std::string Hex(std::uint64_t value, int digits = 0)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string Join(const std::vector<std::string>& items, const char* separator = ", ")
{
    std::string out;
    for (const std::string& item : items) {
        if (!out.empty()) {
            out += separator;
        }
        out += item;
    }
    return out;
}

std::string Quoted(const std::string& utf8)
{
    return "\"" + Escape(utf8) + "\"";
}

std::string VersionText(std::uint32_t ms, std::uint32_t ls)
{
    return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xffff) + "." + std::to_string(ls >> 16) + "." +
        std::to_string(ls & 0xffff);
}

// C and C++ runtime DLLs of the toolchains that could build these images. A driver must not load
// any of them: the kernel has no such modules, so the image would not load.
bool IsRuntimeDll(const std::string& name)
{
    const std::string dll = Lower(name);
    static const char* const prefixes[] = {"msvcrt", "msvcp", "vcruntime", "ucrtbase", "api-ms-win-crt-",
        "libstdc++", "libgcc_s", "libc++", "libunwind", "libwinpthread", "concrt", "crtdll"};
    for (const char* prefix : prefixes) {
        if (StartsWith(dll, prefix)) {
            return true;
        }
    }
    return false;
}

// Function names that only a C++ runtime provides: mangled names (Itanium and Microsoft schemes)
// and the exception-handling entry points.
bool IsRuntimeFunction(const std::string& name)
{
    return StartsWith(name, "_Z") || StartsWith(name, "?") || StartsWith(name, "__cxa_") ||
        StartsWith(name, "__gxx_") || StartsWith(name, "_Unwind_");
}

class Runner {
public:
    explicit Runner(std::vector<CheckResult>& results) : results_(results) {}

    void Pass(const std::string& name, const std::string& detail) { results_.push_back({true, name, detail}); }
    void Fail(const std::string& name, const std::string& detail) { results_.push_back({false, name, detail}); }
    void Check(const std::string& name, bool pass, const std::string& detail)
    {
        results_.push_back({pass, name, detail});
    }

    // Runs one check; a malformed structure found on the way fails that check only.
    void Guard(const std::string& name, const std::function<void()>& body)
    {
        try {
            body();
        } catch (const Malformed& e) {
            Fail(name, std::string("malformed: ") + e.what());
        }
    }

private:
    std::vector<CheckResult>& results_;
};

void CheckHeaders(const Image& image, Runner& run)
{
    run.Check("machine", image.Machine() == machine::kAmd64,
        Hex(image.Machine(), 4) + (image.Machine() == machine::kAmd64 ? " (AMD64)" : ", expected 0x8664 (AMD64)"));
    run.Check("pe32+", image.Magic() == magic::kPe32Plus,
        "optional header magic " + Hex(image.Magic(), 3) + (image.Magic() == magic::kPe32Plus ? "" : ", expected 0x20b"));

    // Kernel images are checksummed by the loader unless the field is zero.
    const std::uint32_t computed = image.ComputeCheckSum();
    if (image.CheckSum() == 0) {
        run.Pass("checksum", "not set (0); computed " + Hex(computed, 8));
    } else {
        run.Check("checksum", image.CheckSum() == computed,
            "header " + Hex(image.CheckSum(), 8) + ", computed " + Hex(computed, 8));
    }
}

std::string SubsystemName(std::uint16_t value)
{
    switch (value) {
    case subsystem::kNative: return "native";
    case subsystem::kWindowsGui: return "Windows GUI";
    case subsystem::kWindowsCui: return "Windows console";
    default: return "other";
    }
}

void CheckSubsystem(const Image& image, const CheckOptions& options, Runner& run)
{
    const std::uint16_t value = image.Subsystem();
    const std::string found = std::to_string(value) + " (" + SubsystemName(value) + ")";
    if (options.driver) {
        run.Check("subsystem", value == subsystem::kNative, found + (value == subsystem::kNative ? "" : ", expected 1 (native)"));
    }
    if (options.dll) {
        const bool ok = value == subsystem::kWindowsGui || value == subsystem::kWindowsCui;
        run.Check("subsystem", ok, found + (ok ? "" : ", expected 2 (GUI) or 3 (console)"));
        const bool isDll = (image.Characteristics() & characteristics::kDll) != 0;
        run.Check("dll flag", isDll,
            "characteristics " + Hex(image.Characteristics(), 4) + (isDll ? " include" : " lack") + " IMAGE_FILE_DLL");
    }
}

void CheckEntry(const Image& image, Runner& run)
{
    run.Guard("entry", [&] {
        const std::string entry = "entry point RVA " + Hex(image.EntryRva());
        if (!image.HasSymbolTable()) {
            run.Fail("entry", entry + "; no COFF symbol table (stripped image), cannot locate DriverEntry");
            return;
        }
        const std::optional<std::uint32_t> symbol = image.FindSymbol("DriverEntry");
        if (!symbol) {
            run.Fail("entry", entry + "; no external symbol DriverEntry in the symbol table");
            return;
        }
        if (*symbol != image.EntryRva()) {
            run.Fail("entry", entry + " is not DriverEntry at " + Hex(*symbol));
            return;
        }
        const Section* section = image.SectionOf(*symbol);
        constexpr std::uint32_t kExecute = 0x20000000;
        if (section == nullptr || (section->characteristics & kExecute) == 0) {
            run.Fail("entry", entry + " = DriverEntry, but it is not in an executable section");
            return;
        }
        run.Pass("entry", entry + " = DriverEntry (" + section->name + ")");
    });
}

void CheckImports(const Image& image, const CheckOptions& options, Runner& run)
{
    std::vector<std::string> allowed;
    if (options.driver) {
        allowed = {"ntoskrnl.exe", "hal.dll"};
    }
    allowed.insert(allowed.end(), options.allowedImports.begin(), options.allowedImports.end());
    const bool checkList = options.driver || !options.allowedImports.empty();
    if (!checkList) {
        return;
    }

    std::vector<ImportedDll> dlls;
    try {
        dlls = image.Imports();
    } catch (const Malformed& e) {
        run.Fail("imports", std::string("malformed: ") + e.what());
        if (options.driver) {
            run.Fail("c++ runtime", "imports could not be read");
        }
        return;
    }

    std::set<std::string> allowedLower;
    for (const std::string& name : allowed) {
        allowedLower.insert(Lower(name));
    }
    std::vector<std::string> found, bad;
    for (const ImportedDll& dll : dlls) {
        const std::string label = dll.name + (dll.delayLoad ? " (delay-load)" : "") + " [" +
            std::to_string(dll.functions.size()) + "]";
        found.push_back(label);
        if (!allowedLower.count(Lower(dll.name))) {
            bad.push_back(dll.name + " is not allowed");
        } else if (dll.delayLoad && options.driver) {
            bad.push_back(dll.name + " is delay-loaded, which kernel images cannot do");
        }
    }
    const std::string list = found.empty() ? "none" : Join(found);
    if (bad.empty()) {
        run.Pass("imports", list);
    } else {
        run.Fail("imports", Join(bad, "; ") + " (found " + list + "; allowed " + Join(allowed) + ")");
    }

    if (options.driver) {
        std::vector<std::string> runtime;
        for (const ImportedDll& dll : dlls) {
            if (IsRuntimeDll(dll.name)) {
                runtime.push_back(dll.name);
            }
            for (const std::string& function : dll.functions) {
                if (IsRuntimeFunction(function)) {
                    runtime.push_back(dll.name + "!" + function);
                }
            }
        }
        run.Check("c++ runtime", runtime.empty(), runtime.empty() ? "no runtime DLL or C++ symbol imported" : Join(runtime));
    }
}

void CheckTls(const Image& image, Runner& run)
{
    const DataDirectory tls = image.Directory(directory::kTls);
    run.Check("tls", tls.rva == 0,
        tls.rva == 0 ? "no TLS directory" : "TLS directory at " + Hex(tls.rva) + "; kernel images cannot have thread-local storage");
}

void CheckExports(const Image& image, const CheckOptions& options, Runner& run)
{
    if (options.exports.empty()) {
        return;
    }
    std::vector<Export> exports;
    try {
        exports = image.Exports();
    } catch (const Malformed& e) {
        for (const ExpectedExport& expected : options.exports) {
            run.Fail("export " + expected.name, std::string("malformed: ") + e.what());
        }
        return;
    }
    for (const ExpectedExport& expected : options.exports) {
        const std::string name = "export " + expected.name;
        const auto it = std::find_if(exports.begin(), exports.end(), [&](const Export& e) { return e.name == expected.name; });
        if (it == exports.end()) {
            std::vector<std::string> names;
            for (const Export& e : exports) {
                names.push_back(e.name + "@" + std::to_string(e.ordinal));
            }
            run.Fail(name, "not exported by name (exports: " + (names.empty() ? std::string("none") : Join(names)) + ")");
        } else if (it->ordinal != expected.ordinal) {
            run.Fail(name, "ordinal " + std::to_string(it->ordinal) + ", expected " + std::to_string(expected.ordinal));
        } else if (it->forwarded) {
            run.Fail(name, "ordinal " + std::to_string(it->ordinal) + " is forwarded to another DLL");
        } else {
            run.Guard(name, [&] {
                const Section* section = image.SectionOf(it->rva);
                if (section == nullptr) {
                    run.Fail(name, "ordinal " + std::to_string(it->ordinal) + ", RVA " + Hex(it->rva) + " is outside every section");
                } else {
                    run.Pass(name, "ordinal " + std::to_string(it->ordinal) + ", RVA " + Hex(it->rva) + " (" + section->name + ")");
                }
            });
        }
    }
}

std::string ResourceLabel(const ResourceLeaf& leaf)
{
    const std::string type = leaf.typeId ? std::to_string(*leaf.typeId) : "\"" + ToUtf8(leaf.typeName) + "\"";
    const std::string name = leaf.nameId ? std::to_string(*leaf.nameId) : "\"" + ToUtf8(leaf.nameName) + "\"";
    return "type " + type + " name " + name + " language " + std::to_string(leaf.language);
}

void CheckMessages(const Image& image, const CheckOptions& options, Runner& run)
{
    if (!options.messageTable && options.messages.empty() && !options.onlyListedMessages) {
        return;
    }
    constexpr std::uint32_t kMessageTableType = 11;
    constexpr std::uint32_t kEnglishUs = 1033;
    std::optional<MessageTable> table;
    std::string problem;
    try {
        const std::vector<ResourceLeaf> leaves = image.Resources();
        std::vector<std::string> others;
        for (const ResourceLeaf& leaf : leaves) {
            if (leaf.typeId != kMessageTableType) {
                continue;
            }
            if (leaf.nameId == 1u && leaf.language == kEnglishUs) {
                table = ParseMessageTable(image.AtRva(leaf.dataRva, leaf.dataSize, "message table"));
                break;
            }
            others.push_back(ResourceLabel(leaf));
        }
        if (!table) {
            problem = "no resource of type 11 name 1 language 1033" +
                (others.empty() ? std::string() : " (message tables found: " + Join(others) + ")");
        }
    } catch (const Malformed& e) {
        problem = std::string("malformed: ") + e.what();
    }
    if (!table) {
        run.Fail("message table", problem);
        for (const ExpectedMessage& expected : options.messages) {
            run.Fail("message " + Hex(expected.id, 8), "no message table");
        }
        return;
    }
    const auto unicode = std::count_if(table->begin(), table->end(), [](const auto& e) { return e.second.unicode; });
    run.Pass("message table", "type 11 name 1 language 1033, " + std::to_string(table->size()) + " entries, " +
        std::to_string(unicode) + " Unicode");

    std::set<std::uint32_t> listed;
    for (const ExpectedMessage& expected : options.messages) {
        listed.insert(expected.id);
        const std::string name = "message " + Hex(expected.id, 8);
        const auto it = table->find(expected.id);
        if (it == table->end()) {
            run.Fail(name, "no such entry");
            continue;
        }
        const std::string found = ToUtf8(it->second.text);
        if (!it->second.unicode) {
            run.Fail(name, "ANSI entry " + Quoted(found) + ", expected a Unicode entry");
        } else if (it->second.text != FromUtf8(expected.text)) {
            run.Fail(name, "found " + Quoted(found) + ", expected " + Quoted(expected.text));
        } else {
            run.Pass(name, Quoted(found));
        }
    }
    if (options.onlyListedMessages) {
        std::vector<std::string> extra;
        for (const auto& [id, entry] : *table) {
            if (!listed.count(id)) {
                extra.push_back(Hex(id, 8) + " " + Quoted(ToUtf8(entry.text)));
            }
        }
        run.Check("message ids", extra.empty(),
            extra.empty() ? "no entries besides the " + std::to_string(listed.size()) + " expected"
                          : "unexpected entries: " + Join(extra));
    }
}

void CheckVersion(const Image& image, const CheckOptions& options, Runner& run)
{
    if (!options.version) {
        return;
    }
    const std::string& expected = *options.version;
    std::uint16_t parts[4] = {};
    if (!ParseVersion(expected, parts)) {
        run.Fail("version fixed", "expected version \"" + expected + "\" is not A.B.C.D");
        run.Fail("version string", "expected version \"" + expected + "\" is not A.B.C.D");
        return;
    }
    constexpr std::uint32_t kVersionType = 16;
    std::optional<VersionInfo> info;
    std::string problem = "no resource of type 16 name 1";
    std::string where;
    try {
        for (const ResourceLeaf& leaf : image.Resources()) {
            if (leaf.typeId == kVersionType && leaf.nameId == 1u) {
                info = ParseVersionInfo(image.AtRva(leaf.dataRva, leaf.dataSize, "version resource"));
                where = "language " + std::to_string(leaf.language);
                break;
            }
        }
    } catch (const Malformed& e) {
        problem = std::string("malformed: ") + e.what();
        info.reset();
    }
    if (!info) {
        run.Fail("version fixed", problem);
        run.Fail("version string", problem);
        return;
    }

    if (!info->fixed) {
        run.Fail("version fixed", "version resource (" + where + ") has no VS_FIXEDFILEINFO");
    } else {
        const std::uint32_t ms = (std::uint32_t{parts[0]} << 16) | parts[1];
        const std::uint32_t ls = (std::uint32_t{parts[2]} << 16) | parts[3];
        const std::string found = VersionText(info->fixed->productMs, info->fixed->productLs);
        const bool ok = info->fixed->productMs == ms && info->fixed->productLs == ls;
        run.Check("version fixed", ok,
            "VS_FIXEDFILEINFO product version " + found + (ok ? "" : ", expected " + expected) + " (file version " +
                VersionText(info->fixed->fileMs, info->fixed->fileLs) + ", " + where + ")");
    }

    std::vector<std::string> found;
    bool ok = false;
    for (const auto& [key, value] : info->strings) {
        if (EndsWith(key, "/ProductVersion")) {
            found.push_back(key + " = " + Quoted(ToUtf8(value)));
            ok = value == FromUtf8(expected);
            if (!ok) {
                break;
            }
        }
    }
    if (found.empty()) {
        run.Fail("version string", "no ProductVersion in StringFileInfo");
    } else {
        run.Check("version string", ok, Join(found) + (ok ? "" : ", expected \"" + expected + "\""));
    }
}

} // namespace

std::vector<CheckResult> RunChecks(std::vector<std::uint8_t> bytes, const CheckOptions& options)
{
    std::vector<CheckResult> results;
    Runner run(results);
    const std::size_t size = bytes.size();
    std::optional<Image> image;
    try {
        image.emplace(std::move(bytes));
    } catch (const Malformed& e) {
        run.Fail("format", std::string("malformed: ") + e.what());
        return results;
    }
    run.Pass("format", "PE image of " + std::to_string(size) + " bytes, " + std::to_string(image->Sections().size()) +
        " sections");
    CheckHeaders(*image, run);
    CheckSubsystem(*image, options, run);
    if (options.driver) {
        CheckEntry(*image, run);
        CheckTls(*image, run);
    }
    CheckImports(*image, options, run);
    CheckExports(*image, options, run);
    CheckMessages(*image, options, run);
    CheckVersion(*image, options, run);
    return results;
}

bool Unescape(const std::string& text, std::string& out, std::string& error)
{
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out.push_back(text[i]);
            continue;
        }
        if (++i == text.size()) {
            error = "trailing backslash";
            return false;
        }
        switch (text[i]) {
        case 'r': out.push_back('\r'); break;
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case '\\': out.push_back('\\'); break;
        case '"': out.push_back('"'); break;
        default:
            error = std::string("unknown escape \\") + text[i];
            return false;
        }
    }
    return true;
}

bool ParseMessageId(const std::string& text, std::uint32_t& id)
{
    if (text.empty()) {
        return false;
    }
    std::uint64_t value = 0;
    std::size_t i = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    for (; i < text.size(); ++i) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        }
        if (digit < 0) {
            return false;
        }
        value = value * base + digit;
        if (value > 0xffffffffu) {
            return false;
        }
    }
    id = static_cast<std::uint32_t>(value);
    return true;
}

bool ParseExpectedMessages(const std::string& contents, std::vector<ExpectedMessage>& out, std::string& error)
{
    std::size_t start = 0;
    for (unsigned line = 1; start < contents.size(); ++line) {
        std::size_t end = contents.find('\n', start);
        if (end == std::string::npos) {
            end = contents.size();
        }
        std::string text = contents.substr(start, end - start);
        start = end + 1;
        // A file edited on Windows ends its lines with CR LF; a CR inside the text is written \r.
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
        if (text.empty() || text[0] == '#') {
            continue;
        }
        const std::size_t tab = text.find('\t');
        ExpectedMessage message;
        std::string reason;
        if (tab == std::string::npos) {
            error = "line " + std::to_string(line) + ": no TAB between the id and the text";
            return false;
        }
        if (!ParseMessageId(text.substr(0, tab), message.id)) {
            error = "line " + std::to_string(line) + ": bad message id \"" + text.substr(0, tab) + "\"";
            return false;
        }
        if (!Unescape(text.substr(tab + 1), message.text, reason)) {
            error = "line " + std::to_string(line) + ": " + reason;
            return false;
        }
        out.push_back(std::move(message));
    }
    return true;
}

bool ParseVersion(const std::string& text, std::uint16_t (&parts)[4])
{
    std::size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        std::size_t end = at;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) {
            ++end;
        }
        if (end == at || end - at > 5) {
            return false;
        }
        const unsigned long value = std::stoul(text.substr(at, end - at));
        if (value > 0xffff) {
            return false;
        }
        parts[i] = static_cast<std::uint16_t>(value);
        if (i < 3) {
            if (end >= text.size() || text[end] != '.') {
                return false;
            }
            at = end + 1;
        } else if (end != text.size()) {
            return false;
        }
    }
    return true;
}

} // namespace vyr::pe
