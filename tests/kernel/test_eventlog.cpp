// Message tables, FormatMessage-style insertion, the error log through IoAllocateErrorLogEntry and
// IoWriteErrorLogEntry, and the debug output line buffer.
#include "hk/nt.h"
#include "hk/host.h"
#include "hk/msgtable.h"
#include "hk_internal.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using hk::MakeTag;

// windmc -U output for:
//   MessageIdTypedef=NTSTATUS, FacilityNames=(Io=0x4)
//   0x0001 Informational  "Device %1 started with %2 paths, primary %3."
//   0x0002 Error          "%1 failed: %2%0"
//   0x0003 Warning        "First line%nSecond line: 100%% of %5."
const uint8_t kWindmcTable[] = {
    0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x04, 0x40, 0x01, 0x00, 0x04, 0x40, 0x28, 0x00, 0x00, 0x00,
    0x03, 0x00, 0x04, 0x80, 0x03, 0x00, 0x04, 0x80, 0x88, 0x00, 0x00, 0x00, 0x02, 0x00, 0x04, 0xc0,
    0x02, 0x00, 0x04, 0xc0, 0xdc, 0x00, 0x00, 0x00, 0x60, 0x00, 0x01, 0x00, 0x44, 0x00, 0x65, 0x00,
    0x76, 0x00, 0x69, 0x00, 0x63, 0x00, 0x65, 0x00, 0x20, 0x00, 0x25, 0x00, 0x31, 0x00, 0x20, 0x00,
    0x73, 0x00, 0x74, 0x00, 0x61, 0x00, 0x72, 0x00, 0x74, 0x00, 0x65, 0x00, 0x64, 0x00, 0x20, 0x00,
    0x77, 0x00, 0x69, 0x00, 0x74, 0x00, 0x68, 0x00, 0x20, 0x00, 0x25, 0x00, 0x32, 0x00, 0x20, 0x00,
    0x70, 0x00, 0x61, 0x00, 0x74, 0x00, 0x68, 0x00, 0x73, 0x00, 0x2c, 0x00, 0x20, 0x00, 0x70, 0x00,
    0x72, 0x00, 0x69, 0x00, 0x6d, 0x00, 0x61, 0x00, 0x72, 0x00, 0x79, 0x00, 0x20, 0x00, 0x25, 0x00,
    0x33, 0x00, 0x2e, 0x00, 0x0a, 0x00, 0x00, 0x00, 0x54, 0x00, 0x01, 0x00, 0x46, 0x00, 0x69, 0x00,
    0x72, 0x00, 0x73, 0x00, 0x74, 0x00, 0x20, 0x00, 0x6c, 0x00, 0x69, 0x00, 0x6e, 0x00, 0x65, 0x00,
    0x25, 0x00, 0x6e, 0x00, 0x53, 0x00, 0x65, 0x00, 0x63, 0x00, 0x6f, 0x00, 0x6e, 0x00, 0x64, 0x00,
    0x20, 0x00, 0x6c, 0x00, 0x69, 0x00, 0x6e, 0x00, 0x65, 0x00, 0x3a, 0x00, 0x20, 0x00, 0x31, 0x00,
    0x30, 0x00, 0x30, 0x00, 0x25, 0x00, 0x25, 0x00, 0x20, 0x00, 0x6f, 0x00, 0x66, 0x00, 0x20, 0x00,
    0x25, 0x00, 0x35, 0x00, 0x2e, 0x00, 0x0a, 0x00, 0x00, 0x00, 0x00, 0x00, 0x28, 0x00, 0x01, 0x00,
    0x25, 0x00, 0x31, 0x00, 0x20, 0x00, 0x66, 0x00, 0x61, 0x00, 0x69, 0x00, 0x6c, 0x00, 0x65, 0x00,
    0x64, 0x00, 0x3a, 0x00, 0x20, 0x00, 0x25, 0x00, 0x32, 0x00, 0x25, 0x00, 0x30, 0x00, 0x0a, 0x00,
    0x00, 0x00, 0x00, 0x00,
};
constexpr ULONG kStarted = 0x40040001, kFailed = 0xC0040002, kTwoLines = 0x80040003;

// A copy of a table that ends right where readable memory ends: any read past its end faults,
// so a parser that strays outside its bounds crashes the test instead of passing by luck.
class GuardedCopy {
public:
    explicit GuardedCopy(const std::vector<uint8_t> &bytes)
    {
        page_ = (size_t)sysconf(_SC_PAGESIZE);
        span_ = ((bytes.size() + page_ - 1) / page_ + 1) * page_;
        base_ = (uint8_t *)mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        mprotect(base_ + span_ - page_, page_, PROT_NONE);
        data_ = base_ + span_ - page_ - bytes.size();
        if (!bytes.empty())
            memcpy(data_, bytes.data(), bytes.size());
        size_ = bytes.size();
    }
    ~GuardedCopy() { munmap(base_, span_); }
    const uint8_t *data() const { return data_; }
    size_t size() const { return size_; }

private:
    uint8_t *base_, *data_;
    size_t page_, span_, size_;
};

std::vector<uint8_t> Windmc()
{
    return std::vector<uint8_t>(std::begin(kWindmcTable), std::end(kWindmcTable));
}

// A table in the documented layout: blocks of consecutive ids, entries padded to 4 bytes.
struct Message {
    bool unicode;
    std::u16string text;
};
struct Block {
    uint32_t low;
    std::vector<Message> messages;
};

void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    memcpy(b.data() + at, &v, 4);
}

std::vector<uint8_t> Build(const std::vector<Block> &blocks)
{
    std::vector<uint8_t> out(4 + 12 * blocks.size());
    Put32(out, 0, (uint32_t)blocks.size());
    for (size_t i = 0; i < blocks.size(); i++) {
        Put32(out, 4 + 12 * i, blocks[i].low);
        Put32(out, 8 + 12 * i, blocks[i].low + (uint32_t)blocks[i].messages.size() - 1);
        Put32(out, 12 + 12 * i, (uint32_t)out.size());
        for (const Message &m : blocks[i].messages) {
            std::vector<uint8_t> text;
            for (char16_t c : m.text) {
                text.push_back((uint8_t)c);
                if (m.unicode)
                    text.push_back((uint8_t)(c >> 8));
            }
            text.resize(text.size() + (m.unicode ? 2 : 1), 0);
            while ((text.size() + 4) % 4)
                text.push_back(0);
            uint16_t length = (uint16_t)(4 + text.size()), flags = m.unicode ? 1 : 0;
            out.push_back((uint8_t)length);
            out.push_back((uint8_t)(length >> 8));
            out.push_back((uint8_t)flags);
            out.push_back(0);
            out.insert(out.end(), text.begin(), text.end());
        }
    }
    return out;
}

TEST(MessageTable, ParsesTheMessageCompilersOutput)
{
    GuardedCopy table(Windmc());
    std::map<uint32_t, std::u16string> messages;
    std::string error;
    ASSERT_TRUE(hk::ParseMessageTable(table.data(), table.size(), &messages, &error)) << error;
    std::map<uint32_t, std::u16string> expected = {
        {kStarted, u"Device %1 started with %2 paths, primary %3.\n"},
        {kFailed, u"%1 failed: %2%0\n"},
        {kTwoLines, u"First line%nSecond line: 100%% of %5.\n"},
    };
    EXPECT_EQ(messages, expected);
    for (auto &[id, text] : expected) {
        std::u16string found;
        EXPECT_TRUE(hk::FindMessage(table.data(), table.size(), id, &found));
        EXPECT_EQ(found, text);
        EXPECT_TRUE(hk::internal::MessageTableLookup(table.data(), table.size(), id, &found));
    }
    std::u16string none;
    EXPECT_FALSE(hk::FindMessage(table.data(), table.size(), 0x40040004, &none));
    EXPECT_FALSE(hk::FindMessage(table.data(), table.size(), 0x00040001, &none));
}

TEST(MessageTable, AnsiAndUnicodeEntriesInSeveralBlocks)
{
    GuardedCopy table(Build({
        {0x10, {{false, u"ansi \u00e9"}, {true, u"wide \u20ac"}, {true, u""}}},
        {0xC0000100, {{false, u"last"}}},
    }));
    std::map<uint32_t, std::u16string> messages;
    ASSERT_TRUE(hk::ParseMessageTable(table.data(), table.size(), &messages));
    std::map<uint32_t, std::u16string> expected = {
        {0x10, u"ansi \u00e9"}, {0x11, u"wide \u20ac"}, {0x12, u""}, {0xC0000100, u"last"}};
    EXPECT_EQ(messages, expected);
    std::u16string text;
    EXPECT_TRUE(hk::FindMessage(table.data(), table.size(), 0x11, &text));
    EXPECT_EQ(text, u"wide \u20ac");
    EXPECT_FALSE(hk::FindMessage(table.data(), table.size(), 0x13, &text));
}

// Damage of every kind is refused as a whole by the parser; a lookup either still finds the
// message intact or finds nothing, and nothing outside the table is read.
TEST(MessageTable, DamagedTablesAreNotFoundAndNeverOverread)
{
    const std::vector<uint8_t> good = Build({{1, {{true, u"one"}, {true, u"two"}}}, {9, {{false, u"nine"}}}});
    std::map<uint32_t, std::u16string> intact;
    ASSERT_TRUE(hk::ParseMessageTable(good.data(), good.size(), &intact));
    const size_t entries = 4 + 2 * 12; // the first entry of the first block
    struct Damage {
        const char *what;
        std::function<void(std::vector<uint8_t> &)> apply;
    } damages[] = {
        {"block count beyond the table", [](auto &b) { Put32(b, 0, 0xFFFFFFFF); }},
        {"low above high", [](auto &b) { Put32(b, 8, 0); }},
        {"id range that cannot fit", [](auto &b) { Put32(b, 8, 0xFFFFFFFF); }},
        {"entries beyond the end", [](auto &b) { Put32(b, 12, 0x10000); }},
        {"entry shorter than its header", [&](auto &b) { b[entries] = 2; }},
        {"zero-length entry", [&](auto &b) { b[entries] = 0; }},
        {"entry running past the end", [&](auto &b) { b[entries + 1] = 0x7F; }},
        {"unknown flags", [&](auto &b) { b[entries + 2] = 0x10; }},
        {"id defined twice", [](auto &b) { Put32(b, 16, 2), Put32(b, 20, 2); }},
    };
    for (const Damage &d : damages) {
        SCOPED_TRACE(d.what);
        std::vector<uint8_t> bytes = good;
        d.apply(bytes);
        GuardedCopy table(bytes);
        std::map<uint32_t, std::u16string> messages;
        std::string error;
        EXPECT_FALSE(hk::ParseMessageTable(table.data(), table.size(), &messages, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(messages.empty());
        for (uint32_t id : {1u, 2u, 9u, 10u}) {
            std::u16string text;
            if (hk::FindMessage(table.data(), table.size(), id, &text)) {
                EXPECT_EQ(text, intact[id]) << id;
            }
        }
    }
    // Every truncation of a real table.
    const std::vector<uint8_t> real = Windmc();
    std::map<uint32_t, std::u16string> full;
    ASSERT_TRUE(hk::ParseMessageTable(real.data(), real.size(), &full));
    for (size_t n = 0; n < real.size(); n++) {
        GuardedCopy table(std::vector<uint8_t>(real.begin(), real.begin() + n));
        std::map<uint32_t, std::u16string> messages;
        EXPECT_FALSE(hk::ParseMessageTable(table.data(), table.size(), &messages)) << n;
        for (auto &[id, text] : full) {
            std::u16string found;
            if (hk::FindMessage(table.data(), table.size(), id, &found)) {
                EXPECT_EQ(found, text) << n;
            }
        }
    }
    std::u16string text;
    EXPECT_FALSE(hk::FindMessage(nullptr, 0, 1, &text));
}

TEST(MessageTable, FormatMessageInsertions)
{
    const std::vector<std::u16string> args = {u"\\Device\\Tape0", u"two", u"three"};
    struct Case {
        const char16_t *text, *expected;
    } cases[] = {
        {u"%1 is %2, then %3.", u"\\Device\\Tape0 is two, then three."},
        {u"%1!s! and %2!d!", u"\\Device\\Tape0 and two"}, // a printf format after the number is dropped
        {u"missing %4 and %12 stay", u"missing %4 and %12 stay"},
        {u"line%nbreak%rcr%ttab", u"line\r\nbreak\rcr\ttab"},
        {u"100%% %. %! % x", u"100% . !  x"},
        {u"ends here%0 not this", u"ends here"},
        {u"text\r\n", u"text\r\n"},
        {u"trailing %", u"trailing %"},
        {u"%1%2%3", u"\\Device\\Tape0twothree"},
        {u"%1!unclosed", u"\\Device\\Tape0!unclosed"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(hk::FormatMessageText(c.text, args), c.expected) << hk::Utf8(c.text);
}

// ---------------------------------------------------------------------------------------------
// The error log through the I/O manager's routines
// ---------------------------------------------------------------------------------------------
// A driver object as the loader makes it, with the image record that carries the message table.
struct FakeDriver {
    DRIVER_OBJECT driver{};
    DRIVER_EXTENSION extension{};
    hk::internal::DriverImage image;
    std::u16string service = u"vyrtest";

    explicit FakeDriver(const uint8_t *table = nullptr, size_t size = 0)
    {
        driver.Type = IO_TYPE_DRIVER;
        driver.Size = sizeof driver;
        driver.DriverExtension = &extension;
        extension.DriverObject = &driver;
        extension.ServiceKeyName.Buffer = (PWCH)service.data();
        extension.ServiceKeyName.Length = extension.ServiceKeyName.MaximumLength = (USHORT)(service.size() * 2);
        image.service = "vyrtest";
        image.messageTable = table;
        image.messageTableSize = size;
        image.driver = &driver;
        driver.DriverSection = table ? &image : nullptr;
    }
};

size_t EntryBlocks()
{
    size_t n = 0;
    for (const hk::PoolBlockInfo &b : hk::OutstandingPool())
        if (b.tag == MakeTag("ElgE") && b.kind == hk::AllocKind::ErrorLogEntry)
            n++;
    return n;
}

// Fills an entry the way drivers do: the header, then the insertion strings right after it.
PIO_ERROR_LOG_PACKET Entry(FakeDriver &d, NTSTATUS code, const std::vector<std::u16string> &strings)
{
    size_t bytes = sizeof(IO_ERROR_LOG_PACKET);
    for (const auto &s : strings)
        bytes += (s.size() + 1) * 2;
    auto *p = (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(&d.driver, (UCHAR)bytes);
    if (!p)
        return nullptr;
    memset(p, 0, sizeof *p);
    p->ErrorCode = code;
    p->UniqueErrorValue = 0x1234;
    p->NumberOfStrings = (USHORT)strings.size();
    p->StringOffset = sizeof(IO_ERROR_LOG_PACKET);
    auto *at = (uint8_t *)p + p->StringOffset;
    for (const auto &s : strings) {
        memcpy(at, s.c_str(), (s.size() + 1) * 2);
        at += (s.size() + 1) * 2;
    }
    return p;
}

class ErrorLog : public ::testing::Test {
protected:
    void SetUp() override { hk::ClearEventLog(); }
    void TearDown() override { hk::ClearEventLog(); }
};

TEST_F(ErrorLog, AllocationRules)
{
    FakeDriver d;
    DRIVER_OBJECT notAnIoObject{};
    notAnIoObject.Type = 5;
    struct Case {
        PVOID object;
        unsigned size;
        bool granted;
    } cases[] = {
        {nullptr, 64, false},
        {&notAnIoObject, 64, false},
        {&d.driver, 0, false},
        {&d.driver, sizeof(IO_ERROR_LOG_PACKET) - 1, false}, // the driver would overrun it filling the header
        {&d.driver, sizeof(IO_ERROR_LOG_PACKET), true},
        {&d.driver, ERROR_LOG_MAXIMUM_SIZE, true},
        {&d.driver, ERROR_LOG_MAXIMUM_SIZE + 1, false},
        {&d.driver, 255, false},
    };
    size_t before = EntryBlocks();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        void *entry = IoAllocateErrorLogEntry(c.object, (UCHAR)c.size);
        EXPECT_EQ(entry != nullptr, c.granted);
        if (!entry)
            continue;
        EXPECT_EQ(EntryBlocks(), before + 1);
        // Not zeroed: a field the driver forgets shows up as the fill pattern.
        auto *bytes = (uint8_t *)entry;
        for (size_t i = 0; i < c.size; i++)
            ASSERT_NE(bytes[i], 0) << "byte " << i;
        IoFreeErrorLogEntry(entry);
        EXPECT_EQ(EntryBlocks(), before);
    }
    EXPECT_TRUE(hk::EventLog().empty()); // freed entries are not events
}

TEST_F(ErrorLog, WrittenEntriesAreRenderedWithTheDriversMessageTable)
{
    FakeDriver d(kWindmcTable, sizeof kWindmcTable);
    size_t before = EntryBlocks();
    struct Case {
        NTSTATUS code;
        std::vector<std::u16string> strings;
        int severity;
        const char *severityName;
        std::u16string text;
    } cases[] = {
        {(NTSTATUS)kStarted, {u"2", u"\\Device\\Tape0"}, 1, "Informational",
         u"Device vyrtest started with 2 paths, primary \\Device\\Tape0."},
        {(NTSTATUS)kFailed, {u"boom"}, 3, "Error", u"vyrtest failed: boom"},
        {(NTSTATUS)kTwoLines, {}, 2, "Warning", u"First line\r\nSecond line: 100% of %5."},
        {(NTSTATUS)0x40040009, {u"x", u"y"}, 1, "Informational",
         u"The description for Event ID 0x40040009 from source vyrtest cannot be found. The following information "
         u"was included with the event:\r\nvyrtest\r\nx\r\ny"},
    };
    for (const Case &c : cases) {
        PIO_ERROR_LOG_PACKET p = Entry(d, c.code, c.strings);
        ASSERT_NE(p, nullptr);
        IoWriteErrorLogEntry(p);
    }
    EXPECT_EQ(EntryBlocks(), before); // the log took the entries over and freed them

    std::vector<hk::EventRecord> log = hk::EventLog();
    ASSERT_EQ(log.size(), std::size(cases));
    for (size_t i = 0; i < log.size(); i++) {
        const Case &c = cases[i];
        const hk::EventRecord &e = log[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(e.source, "vyrtest");
        EXPECT_EQ(e.eventId, (ULONG)c.code);
        EXPECT_EQ(e.severity, c.severity);
        EXPECT_STREQ(hk::SeverityName(e.severity), c.severityName);
        EXPECT_EQ(e.strings, c.strings);
        EXPECT_EQ(hk::Utf8(e.text), hk::Utf8(c.text));
        EXPECT_GT(e.time, 0);
        if (i) {
            EXPECT_EQ(e.sequence, log[i - 1].sequence + 1);
        }
        ASSERT_GE(e.packet.size(), sizeof(IO_ERROR_LOG_PACKET));
        IO_ERROR_LOG_PACKET header;
        memcpy(&header, e.packet.data(), sizeof header);
        EXPECT_EQ(header.UniqueErrorValue, 0x1234u);
    }

    // A driver without a message table gets the same fallback as an unknown id.
    FakeDriver bare;
    PIO_ERROR_LOG_PACKET p = Entry(bare, (NTSTATUS)kStarted, {u"s"});
    ASSERT_NE(p, nullptr);
    IoWriteErrorLogEntry(p);
    EXPECT_NE(hk::EventLog().back().text.find(u"Event ID 0x40040001 from source vyrtest cannot be found"),
              std::u16string::npos);
}

TEST_F(ErrorLog, InsertionStringsAreReadOnlyInsideTheEntry)
{
    FakeDriver d;
    struct Case {
        const char *what;
        USHORT numberOfStrings, stringOffset;
        std::vector<char16_t> tail; // the bytes after the header, as characters
        std::vector<std::u16string> expected;
    } cases[] = {
        {"well formed", 2, 48, {u'a', u'b', 0, u'c', 0}, {u"ab", u"c"}},
        {"last string unterminated", 2, 48, {u'a', 0, u'b', u'c'}, {u"a", u"bc"}},
        {"more strings announced than present", 9, 48, {u'a', 0, u'b', 0}, {u"a", u"b"}},
        {"offset past the end", 1, 200, {u'a', 0}, {}},
        {"offset on the last byte", 1, 51, {u'a', 0}, {}},
        {"no strings", 0, 48, {u'a', 0}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        size_t size = sizeof(IO_ERROR_LOG_PACKET) + c.tail.size() * 2;
        auto *p = (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(&d.driver, (UCHAR)size);
        ASSERT_NE(p, nullptr);
        memset(p, 0, sizeof *p);
        p->ErrorCode = (NTSTATUS)0xC0040077;
        p->NumberOfStrings = c.numberOfStrings;
        p->StringOffset = c.stringOffset;
        memcpy((uint8_t *)p + sizeof *p, c.tail.data(), c.tail.size() * 2);
        IoWriteErrorLogEntry(p);
        const hk::EventRecord e = hk::EventLog().back();
        EXPECT_EQ(e.strings, c.expected);
        EXPECT_EQ(e.packet.size(), size);
    }
}

TEST_F(ErrorLog, WritingAnEntryTwiceIsABugCheck)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    FakeDriver d;
    PIO_ERROR_LOG_PACKET p = Entry(d, (NTSTATUS)kFailed, {});
    ASSERT_NE(p, nullptr);
    EXPECT_DEATH(
        {
            IoWriteErrorLogEntry(p);
            IoWriteErrorLogEntry(p);
        },
        "not an outstanding error-log entry");
    IoFreeErrorLogEntry(p); // the writes happened in the death test's child only
}

// ---------------------------------------------------------------------------------------------
// Debug output
// ---------------------------------------------------------------------------------------------
TEST(DebugOutput, LinesAreAssembledFromPiecesPerThread)
{
    hk::ClearDebugOutput();
    DbgPrint("part %d", 1);
    EXPECT_EQ(hk::DebugOutput(), std::vector<std::string>{"part 1"}); // shown while still pending
    DbgPrint(" and %s\n", "two");
    DbgPrintEx(0, 0, "x\r\ny\n%p\n", (void *)(uintptr_t)0xABCDEF);
    EXPECT_EQ(hk::DebugOutput(), (std::vector<std::string>{"part 1 and two", "x", "y", "0000000000ABCDEF"}));

    hk::ClearDebugOutput();
    std::thread other([] { DbgPrint("other "); });
    other.join();
    DbgPrint("main\n");
    EXPECT_EQ(hk::DebugOutput(), (std::vector<std::string>{"main", "other "}));
    hk::ClearDebugOutput();
    EXPECT_TRUE(hk::DebugOutput().empty());
}

} // namespace
