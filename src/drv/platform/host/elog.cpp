// Error-log entries and the System event log.
//
// IoAllocateErrorLogEntry hands out pool (tag 'ElgE', kind ErrorLogEntry, charged to the calling
// driver, so the low-resource simulation can refuse it like any allocation), filled with a non-zero
// pattern so that a field the driver forgets to set shows up instead of reading as zero.
// IoWriteErrorLogEntry takes the entry over: it is recorded as an event, rendered with the writing
// driver's message table as the event viewer would render it, and freed.
#include "hk_internal.h"
#include "hk/msgtable.h"

#include <deque>
#include <map>

namespace {

using namespace hk;
using namespace hk::internal;

constexpr ULONG kEntryTag = MakeTag("ElgE");
constexpr uint8_t kFillPattern = 0xE5;
constexpr size_t kMaxRecords = 100000; // the oldest events go first in very long runs

// What an outstanding entry will be recorded as. Taken at allocation, while the I/O object is
// certainly alive; the real kernel keeps a reference on it for the same reason.
struct PendingEntry {
    size_t size = 0;
    std::string source;
    std::u16string objectName;
    const uint8_t *table = nullptr;
    size_t tableSize = 0;
};

std::mutex g_lock;
std::map<void *, PendingEntry> g_pending;
std::deque<EventRecord> g_log;
uint64_t g_sequence = 0;

PendingEntry TakePending(void *entry, const char *routine, const void *caller)
{
    std::unique_lock<std::mutex> lock(g_lock);
    auto it = g_pending.find(entry);
    if (it == g_pending.end()) {
        lock.unlock();
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)entry, 0, 0, 0,
                 std::string(routine) + " on an entry that is not an outstanding error-log entry (never allocated, "
                                        "or already written or freed), called by " +
                     DescribeAddress(caller));
    }
    PendingEntry pending = std::move(it->second);
    g_pending.erase(it);
    return pending;
}

// The insertion strings: NumberOfStrings NUL-terminated UTF-16 strings from StringOffset, read only
// inside the entry. A string the entry ends in the middle of is kept as far as it goes.
std::vector<std::u16string> PacketStrings(const uint8_t *packet, size_t size, const IO_ERROR_LOG_PACKET &header)
{
    std::vector<std::u16string> strings;
    size_t offset = header.StringOffset;
    for (USHORT k = 0; k < header.NumberOfStrings && offset + sizeof(char16_t) <= size; k++) {
        std::u16string s;
        bool terminated = false;
        while (offset + sizeof(char16_t) <= size) {
            char16_t c;
            memcpy(&c, packet + offset, sizeof c);
            offset += sizeof c;
            if (!c) {
                terminated = true;
                break;
            }
            s.push_back(c);
        }
        strings.push_back(std::move(s));
        if (!terminated)
            break;
    }
    return strings;
}

std::u16string Hex8(ULONG v)
{
    static const char16_t digits[] = u"0123456789ABCDEF";
    std::u16string s = u"0x";
    for (int shift = 28; shift >= 0; shift -= 4)
        s.push_back(digits[(v >> shift) & 15]);
    return s;
}

std::u16string RenderText(ULONG eventId, const std::string &source, const std::u16string &objectName,
                          const std::vector<std::u16string> &strings, const uint8_t *table, size_t tableSize)
{
    std::vector<std::u16string> args;
    args.push_back(objectName);
    args.insert(args.end(), strings.begin(), strings.end());
    std::u16string message;
    if (table && FindMessage(table, tableSize, eventId, &message)) {
        std::u16string text = FormatMessageText(message, args);
        // The message compiler ends every message with a line break; a viewer does not show it.
        while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n'))
            text.pop_back();
        return text;
    }
    std::u16string text = u"The description for Event ID " + Hex8(eventId) + u" from source " + Utf16(source) +
                          u" cannot be found. The following information was included with the event:";
    for (const std::u16string &arg : args)
        text += u"\r\n" + arg;
    return text;
}

void RecordEvent(const std::string &source, const std::u16string &objectName, const uint8_t *table,
                 size_t tableSize, const void *packet, size_t packetSize)
{
    auto *bytes = (const uint8_t *)packet;
    IO_ERROR_LOG_PACKET header;
    memset(&header, 0, sizeof header);
    memcpy(&header, bytes, std::min(packetSize, sizeof header));

    EventRecord record;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    record.time = now.QuadPart;
    record.source = source;
    record.eventId = (ULONG)header.ErrorCode;
    record.severity = (int)(record.eventId >> 30);
    record.strings = PacketStrings(bytes, packetSize, header);
    record.text = RenderText(record.eventId, source, objectName, record.strings, table, tableSize);
    record.packet.assign(bytes, bytes + packetSize);

    std::lock_guard<std::mutex> lock(g_lock);
    record.sequence = ++g_sequence;
    g_log.push_back(std::move(record));
    if (g_log.size() > kMaxRecords)
        g_log.pop_front();
}

} // namespace

namespace hk {

namespace internal {

bool MessageTableLookup(const uint8_t *table, size_t size, ULONG id, std::u16string *text)
{
    return FindMessage(table, size, id, text);
}

// A restart: outstanding entries went with the pool. The log itself persists, as the System log
// does across a reboot.
void ElogReset()
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_pending.clear();
}

} // namespace internal

std::vector<EventRecord> EventLog()
{
    std::lock_guard<std::mutex> lock(g_lock);
    return std::vector<EventRecord>(g_log.begin(), g_log.end());
}

void ClearEventLog()
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_log.clear();
}

const char *SeverityName(int severity)
{
    switch (severity) {
    case 0: return "Success";
    case 1: return "Informational";
    case 2: return "Warning";
    case 3: return "Error";
    default: return "Unknown";
    }
}

} // namespace hk

// IoObject is a device or a driver object, told apart by their Type field. EntrySize must hold the
// packet header (a smaller block would be overrun by the driver filling it in) and may not exceed
// ERROR_LOG_MAXIMUM_SIZE; otherwise, or when pool is short, there is no entry.
extern "C" PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize)
{
    const void *caller = __builtin_return_address(0);
    if (!IoObject)
        return nullptr;
    PDEVICE_OBJECT device = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    CSHORT type = *(const CSHORT *)IoObject;
    if (type == IO_TYPE_DEVICE) {
        device = (PDEVICE_OBJECT)IoObject;
        driver = device->DriverObject;
    } else if (type == IO_TYPE_DRIVER) {
        driver = (PDRIVER_OBJECT)IoObject;
    } else {
        return nullptr;
    }
    if (EntrySize < sizeof(IO_ERROR_LOG_PACKET) || EntrySize > ERROR_LOG_MAXIMUM_SIZE)
        return nullptr;
    void *entry = PoolAllocate(NonPagedPool, EntrySize, kEntryTag, AllocKind::ErrorLogEntry, caller);
    if (!entry)
        return nullptr;
    memset(entry, kFillPattern, EntrySize);

    PendingEntry pending;
    pending.size = EntrySize;
    pending.source = DriverService(driver);
    // %1 is the device's name; an unnamed device, or a driver object, is known by the driver's name.
    pending.objectName = device ? Utf16(DeviceName(device)) : std::u16string();
    if (pending.objectName.empty())
        pending.objectName = Utf16(pending.source);
    if (DriverImage *image = ImageFromDriver(driver)) {
        pending.table = image->messageTable;
        pending.tableSize = image->messageTableSize;
    }
    std::lock_guard<std::mutex> lock(g_lock);
    g_pending[entry] = std::move(pending);
    return entry;
}

extern "C" VOID NTAPI IoFreeErrorLogEntry(PVOID ElEntry)
{
    const void *caller = __builtin_return_address(0);
    TakePending(ElEntry, "IoFreeErrorLogEntry", caller);
    PoolFree(ElEntry, kEntryTag, caller);
}

extern "C" VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry)
{
    const void *caller = __builtin_return_address(0);
    PendingEntry pending = TakePending(ElEntry, "IoWriteErrorLogEntry", caller);
    RecordEvent(pending.source, pending.objectName, pending.table, pending.tableSize, ElEntry, pending.size);
    PoolFree(ElEntry, kEntryTag, caller);
}
