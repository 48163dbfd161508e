// vyrpecheck: checks that a Windows image from the cross build is what the loader and the event
// log expect. Prints one line per check and exits 0 when all pass, 1 when any fails (a malformed
// file included), 2 on a usage error or an unreadable file.

#include "checks.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace {

constexpr const char* kUsage = R"(usage: vyrpecheck [options] IMAGE

Always checked: the file parses as a PE image, machine AMD64, PE32+, checksum zero or correct.

  --driver                kernel driver: subsystem native, entry point = symbol DriverEntry,
                          imports only from ntoskrnl.exe and hal.dll, no C++ runtime, no TLS
  --dll                   DLL: IMAGE_FILE_DLL set, subsystem Windows GUI or console
  --allow-import DLL      imports may come from DLL (repeatable; names compare case-insensitively)
  --export NAME=ORDINAL   NAME is exported by name with this ordinal (repeatable)
  --message-table         a message table resource (type 11, name 1, language 1033) is present
  --message 0xID=TEXT     entry 0xID of the message table is Unicode and reads exactly TEXT
  --messages FILE         expected entries, one "0xID<TAB>TEXT" per line ('#' starts a comment)
  --only-listed-messages  the message table has no entries besides the expected ones
  --version A.B.C.D       version resource: VS_FIXEDFILEINFO product version and the
                          StringFileInfo ProductVersion string are both A.B.C.D

TEXT may use the escapes \r \n \t \\ \" (a table entry usually ends with \r\n).
)";

int Usage(const std::string& problem)
{
    std::cerr << "vyrpecheck: " << problem << "\n\n" << kUsage;
    return 2;
}

bool ReadFile(const std::string& path, std::string& contents, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    contents = buffer.str();
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace vyr::pe;
    CheckOptions options;
    std::string imagePath;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--driver") {
            options.driver = true;
        } else if (arg == "--dll") {
            options.dll = true;
        } else if (arg == "--message-table") {
            options.messageTable = true;
        } else if (arg == "--only-listed-messages") {
            options.onlyListedMessages = true;
        } else if (arg == "--allow-import") {
            if (!value(v) || v.empty()) {
                return Usage("--allow-import needs a DLL name");
            }
            options.allowedImports.push_back(v);
        } else if (arg == "--export") {
            const std::size_t eq = value(v) ? v.find('=') : std::string::npos;
            std::uint32_t ordinal = 0;
            if (eq == std::string::npos || eq == 0 || !ParseMessageId(v.substr(eq + 1), ordinal) || ordinal > 0xffff) {
                return Usage("--export needs NAME=ORDINAL");
            }
            options.exports.push_back({v.substr(0, eq), ordinal});
        } else if (arg == "--message") {
            const std::size_t eq = value(v) ? v.find('=') : std::string::npos;
            ExpectedMessage message;
            std::string error;
            if (eq == std::string::npos || !ParseMessageId(v.substr(0, eq), message.id)) {
                return Usage("--message needs 0xID=TEXT");
            }
            if (!Unescape(v.substr(eq + 1), message.text, error)) {
                return Usage("--message " + v.substr(0, eq) + ": " + error);
            }
            options.messages.push_back(std::move(message));
        } else if (arg == "--messages") {
            std::string contents, error;
            if (!value(v)) {
                return Usage("--messages needs a file");
            }
            if (!ReadFile(v, contents, error)) {
                std::cerr << "vyrpecheck: " << error << "\n";
                return 2;
            }
            if (!ParseExpectedMessages(contents, options.messages, error)) {
                std::cerr << "vyrpecheck: " << v << ": " << error << "\n";
                return 2;
            }
        } else if (arg == "--version") {
            std::uint16_t parts[4];
            if (!value(v) || !ParseVersion(v, parts)) {
                return Usage("--version needs A.B.C.D");
            }
            options.version = v;
        } else if (!arg.empty() && arg[0] == '-') {
            return Usage("unknown option " + arg);
        } else if (!imagePath.empty()) {
            return Usage("more than one image given");
        } else {
            imagePath = arg;
        }
    }
    if (imagePath.empty()) {
        return Usage("no image given");
    }
    if (options.onlyListedMessages && options.messages.empty()) {
        return Usage("--only-listed-messages needs --message or --messages");
    }

    std::string contents, error;
    if (!ReadFile(imagePath, contents, error)) {
        std::cerr << "vyrpecheck: " << error << "\n";
        return 2;
    }
    std::vector<std::uint8_t> bytes(contents.begin(), contents.end());
    const std::vector<CheckResult> results = RunChecks(std::move(bytes), options);

    std::size_t failed = 0;
    std::cout << imagePath << "\n";
    for (const CheckResult& r : results) {
        failed += r.pass ? 0 : 1;
        std::cout << (r.pass ? "PASS  " : "FAIL  ") << r.name << ": " << r.detail << "\n";
    }
    std::cout << results.size() - failed << " of " << results.size() << " checks passed\n";
    return failed == 0 ? 0 : 1;
}
