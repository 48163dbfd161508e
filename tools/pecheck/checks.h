// The checks vyrpecheck runs on an image, separate from the command line so that tests can run
// them on images they build in memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vyr::pe {

struct CheckResult {
    bool pass = false;
    std::string name;
    std::string detail;
};

struct ExpectedExport {
    std::string name;
    std::uint32_t ordinal = 0;
};

struct ExpectedMessage {
    std::uint32_t id = 0;
    std::string text; // UTF-8, escapes already decoded
};

struct CheckOptions {
    // Kernel driver: native subsystem, entry point at DriverEntry, imports only from ntoskrnl.exe
    // and hal.dll (plus allowedImports), no C++ runtime, no TLS.
    bool driver = false;
    // DLL: the DLL flag and a GUI or console subsystem.
    bool dll = false;
    std::vector<std::string> allowedImports;
    std::vector<ExpectedExport> exports;
    bool messageTable = false;
    std::vector<ExpectedMessage> messages;
    bool onlyListedMessages = false;
    std::optional<std::string> version;
};

// Runs the header checks (format, machine, PE32+, checksum) and those the options ask for. A file
// whose headers cannot be parsed yields a single failed "format" result.
std::vector<CheckResult> RunChecks(std::vector<std::uint8_t> bytes, const CheckOptions& options);

// Decodes \r \n \t \\ \" in text; false (with a reason) on any other backslash sequence.
bool Unescape(const std::string& text, std::string& out, std::string& error);

// "0x40000001" or decimal; false unless the whole string is a 32-bit number.
bool ParseMessageId(const std::string& text, std::uint32_t& id);

// Reads an expected-texts file: one "0xID<TAB>TEXT" per line, blank lines and lines starting with
// '#' ignored. False (with "line N: reason") on the first bad line.
bool ParseExpectedMessages(const std::string& contents, std::vector<ExpectedMessage>& out, std::string& error);

// "A.B.C.D" with each part 0..65535.
bool ParseVersion(const std::string& text, std::uint16_t (&parts)[4]);

} // namespace vyr::pe
