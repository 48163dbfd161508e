// Message-table resources (the layout the message compiler produces and the event log reads), for
// the host kernel's event log and for tools that check the Windows images. Self-contained: no
// other part of the host kernel is needed to use it.
//
// Layout (little-endian):
//   ULONG NumberOfBlocks;
//   { ULONG LowId; ULONG HighId; ULONG OffsetToEntries; } Blocks[NumberOfBlocks];
//   at OffsetToEntries (from the start of the table), HighId - LowId + 1 entries, one after the other:
//   { USHORT Length; USHORT Flags; BYTE Text[Length - 4]; }   Flags 1 = UTF-16LE, 0 = ANSI
// Each text runs to its first NUL within the entry (ANSI text is read as Latin-1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace hk {

// Every message of a table. A table that is malformed anywhere (a block or an entry reaching
// outside `size`, an entry shorter than its header, an id range that cannot fit, an id defined
// twice) yields false, an empty map and, if asked, the reason.
bool ParseMessageTable(const uint8_t *data, size_t size, std::map<uint32_t, std::u16string> *messages,
                       std::string *error = nullptr);

// One message. False when the id is not in the table or when what the lookup has to read is
// malformed; nothing outside [data, data + size) is ever read.
bool FindMessage(const uint8_t *data, size_t size, uint32_t id, std::u16string *text);

// Inserts arguments into a message text the way FormatMessage does for event messages:
//   %1 .. %99  args[0] .. args[98], with an optional !printf-format! after the number, which is
//              ignored since every event argument is a string; an insertion with no argument is
//              left as written
//   %0         ends the message (used to suppress its final line break)
//   %n         line break (CR LF)      %r  carriage return      %t  tab
//   %x         for any other character x (%%, %., %!, "% "): x itself
// Other characters, line breaks of the message text included, are copied as they are.
std::u16string FormatMessageText(const std::u16string &text, const std::vector<std::u16string> &args);

} // namespace hk
