// Rtl string routines, status conversion, UTF-8/UTF-16 helpers and the printf engine behind
// DbgPrint and the drivers' C runtime.
#include "hk/nt.h"
#include "hk/host.h"
#include "hk_internal.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <string>
#include <vector>

namespace {

using hk::MakeTag;

// A counted string over a writable buffer of `capacity` characters, pre-filled with '#' so that
// a terminator that should not have been written shows.
struct Buffer {
    std::u16string storage;
    UNICODE_STRING s{};
    Buffer(const char16_t *initial, size_t capacity) : storage(capacity, u'#')
    {
        std::u16string init = initial;
        storage.replace(0, init.size(), init);
        s.Buffer = (PWCH)storage.data();
        s.Length = (USHORT)(init.size() * 2);
        s.MaximumLength = (USHORT)(capacity * 2);
    }
    std::u16string Text() const { return std::u16string(storage.data(), s.Length / 2); }
};

UNICODE_STRING Counted(const char16_t *text, size_t chars)
{
    UNICODE_STRING s;
    s.Buffer = (PWCH)text;
    s.Length = (USHORT)(chars * 2);
    s.MaximumLength = s.Length;
    return s;
}

size_t StringBlocks()
{
    size_t n = 0;
    for (const hk::PoolBlockInfo &b : hk::OutstandingPool())
        if (b.tag == MakeTag("Strg"))
            n++;
    return n;
}

TEST(RtlString, AppendFitsTerminatesOnlyWithRoomAndRefusesOverflowWhole)
{
    Buffer b(u"abc", 8);
    EXPECT_EQ(RtlAppendUnicodeToString(&b.s, u"defg"), STATUS_SUCCESS);
    EXPECT_EQ(b.Text(), u"abcdefg");
    EXPECT_EQ(b.storage[7], u'\0'); // 14 bytes used, the terminator fits in the last two

    EXPECT_EQ(RtlAppendUnicodeToString(&b.s, u"h"), STATUS_SUCCESS); // fills the buffer exactly
    EXPECT_EQ(b.Text(), u"abcdefgh");
    EXPECT_EQ(b.s.Length, 16);

    EXPECT_EQ(RtlAppendUnicodeToString(&b.s, u"i"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(b.s.Length, 16);
    EXPECT_EQ(b.Text(), u"abcdefgh");

    Buffer c(u"ab", 4);
    const char16_t source[] = u"cdXYZ"; // counted: only "cd" belongs to the string
    UNICODE_STRING cd = Counted(source, 2);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&c.s, &cd), STATUS_SUCCESS);
    EXPECT_EQ(c.Text(), u"abcd");
    UNICODE_STRING more = Counted(source, 3);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&c.s, &more), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(c.Text(), u"abcd");
    EXPECT_EQ(RtlAppendUnicodeToString(&c.s, nullptr), STATUS_SUCCESS);
}

TEST(RtlString, InitCopyAndCompare)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"device");
    EXPECT_EQ(s.Length, 12);
    EXPECT_EQ(s.MaximumLength, 14);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);

    UNICODE_STRING source = Counted(u"abcdef", 6);
    Buffer small(u"", 3);
    RtlCopyUnicodeString(&small.s, &source);
    EXPECT_EQ(small.Text(), u"abc");
    Buffer large(u"zz", 10);
    RtlCopyUnicodeString(&large.s, &source);
    EXPECT_EQ(large.Text(), u"abcdef");
    EXPECT_EQ(large.storage[6], u'\0');
    RtlCopyUnicodeString(&large.s, nullptr);
    EXPECT_EQ(large.s.Length, 0);

    struct Case {
        const char16_t *a, *b;
        bool insensitive;
        int sign;
    } cases[] = {
        {u"abc", u"ABC", true, 0},    {u"abc", u"ABC", false, 1}, {u"ab", u"abc", true, -1},
        {u"\u00e9t\u00e9", u"\u00c9T\u00c9", true, 0}, {u"Tape0", u"tape1", true, -1},
    };
    for (const Case &c : cases) {
        UNICODE_STRING a = Counted(c.a, std::u16string(c.a).size()), b = Counted(c.b, std::u16string(c.b).size());
        LONG r = RtlCompareUnicodeString(&a, &b, c.insensitive);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << hk::Utf8(c.a) << " vs " << hk::Utf8(c.b);
        EXPECT_EQ(RtlEqualUnicodeString(&a, &b, c.insensitive), c.sign == 0);
    }
}

TEST(RtlString, AnsiConversionsUseTheCodePageAndTrackedPool)
{
    size_t before = StringBlocks();
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "Tape \x80 5");
    UNICODE_STRING u{};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&u, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string((const char16_t *)u.Buffer, u.Length / 2), u"Tape \u20ac 5");
    EXPECT_EQ(u.Buffer[u.Length / 2], u'\0');
    EXPECT_EQ(StringBlocks(), before + 1); // a driver that forgets to free it leaks a 'Strg' block
    RtlFreeUnicodeString(&u);
    EXPECT_EQ(StringBlocks(), before);
    EXPECT_EQ(u.Buffer, nullptr);

    // Not allocating: the terminator has to fit too.
    Buffer exact(u"", 8);
    exact.s.MaximumLength = (USHORT)(ansi.Length * 2);
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&exact.s, &ansi, FALSE), STATUS_BUFFER_OVERFLOW);

    // To ANSI: what fits is converted and terminated, and the overflow is still reported.
    UNICODE_STRING wide = Counted(u"ab\u20ac\u4e2d", 4);
    char out[8];
    memset(out, '#', sizeof out);
    ANSI_STRING a{0, 4, out};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&a, &wide, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(out, 4), std::string("ab\x80\0", 4));
    EXPECT_EQ(a.Length, 3);
    a.MaximumLength = 8;
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&a, &wide, FALSE), STATUS_SUCCESS);
    EXPECT_STREQ(out, "ab\x80?"); // no code-page character for U+4E2D
    ANSI_STRING allocated{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&allocated, &wide, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(StringBlocks(), before + 1);
    RtlFreeAnsiString(&allocated);
    EXPECT_EQ(StringBlocks(), before);
}

TEST(RtlString, IntegerToUnicodeString)
{
    struct Case {
        ULONG value, base;
        size_t capacity;
        NTSTATUS status;
        const char16_t *text;
    } cases[] = {
        {255, 16, 8, STATUS_SUCCESS, u"FF"},
        {5, 2, 8, STATUS_SUCCESS, u"101"},
        {0, 10, 8, STATUS_SUCCESS, u"0"},
        {123, 0, 8, STATUS_SUCCESS, u"123"},
        {0xFFFFFFFF, 10, 11, STATUS_SUCCESS, u"4294967295"},
        {123, 10, 4, STATUS_SUCCESS, u"123"},        // digits and terminator just fit
        {1234, 10, 4, STATUS_BUFFER_OVERFLOW, nullptr}, // the terminator would not
        {7, 3, 8, STATUS_INVALID_PARAMETER, nullptr},
    };
    for (const Case &c : cases) {
        Buffer b(u"", c.capacity);
        EXPECT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &b.s), c.status) << c.value << " base " << c.base;
        if (c.text) {
            EXPECT_EQ(b.Text(), c.text);
        }
    }
}

TEST(RtlString, UnicodeStringToInteger)
{
    struct Case {
        const char16_t *text;
        ULONG base;
        NTSTATUS status;
        ULONG value;
    } cases[] = {
        {u"123", 0, STATUS_SUCCESS, 123},
        {u"  -7", 0, STATUS_SUCCESS, (ULONG)-7},
        {u"+9", 10, STATUS_SUCCESS, 9},
        {u"0x1F", 0, STATUS_SUCCESS, 31},
        {u"0b101", 0, STATUS_SUCCESS, 5},
        {u"0o17", 0, STATUS_SUCCESS, 15},
        {u"0x10", 16, STATUS_SUCCESS, 0}, // a prefix is only read when the base is 0
        {u"1f", 16, STATUS_SUCCESS, 31},
        {u"12z4", 10, STATUS_SUCCESS, 12}, // stops at the first non-digit
        {u"19", 8, STATUS_SUCCESS, 1},
        {u"", 10, STATUS_SUCCESS, 0},
        {u"4294967297", 10, STATUS_SUCCESS, 1}, // only the low 32 bits, as on Windows
        {u"5", 3, STATUS_INVALID_PARAMETER, 0xABCD},
    };
    for (const Case &c : cases) {
        std::u16string text = c.text;
        UNICODE_STRING s = Counted(text.c_str(), text.size());
        ULONG value = 0xABCD;
        EXPECT_EQ(RtlUnicodeStringToInteger(&s, c.base, &value), c.status) << hk::Utf8(text);
        EXPECT_EQ(value, c.value) << hk::Utf8(text);
    }
    // The count, not a terminator, ends the string.
    UNICODE_STRING counted = Counted(u"123456", 3);
    ULONG value = 0;
    EXPECT_EQ(RtlUnicodeStringToInteger(&counted, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 123u);
}

TEST(RtlStatus, NtStatusToDosError)
{
    struct Case {
        NTSTATUS status;
        ULONG error;
    } cases[] = {
        {STATUS_SUCCESS, 0},
        {STATUS_PENDING, 997},
        {STATUS_ACCESS_DENIED, 5},
        {STATUS_INVALID_PARAMETER, 87},
        {STATUS_NOT_SUPPORTED, 50},
        {STATUS_INSUFFICIENT_RESOURCES, 1450},
        {STATUS_NO_SUCH_DEVICE, 2},
        {STATUS_OBJECT_NAME_NOT_FOUND, 2},
        {STATUS_OBJECT_PATH_NOT_FOUND, 3},
        {STATUS_INFO_LENGTH_MISMATCH, 24},
        {STATUS_BUFFER_TOO_SMALL, 122},
        {STATUS_BUFFER_OVERFLOW, 234},
        {STATUS_INVALID_DEVICE_REQUEST, 1},
        {STATUS_CANCELLED, 995},
        {STATUS_IO_TIMEOUT, 121},
        {STATUS_NO_MEDIA_IN_DEVICE, 21},
        {STATUS_DEVICE_NOT_READY, 21},
        {STATUS_DELETE_PENDING, 5},
        {STATUS_SHARING_VIOLATION, 32},
        {STATUS_INVALID_HANDLE, 6},
        {STATUS_NOT_IMPLEMENTED, 1},
        {STATUS_DEVICE_NOT_CONNECTED, 1167},
        {STATUS_MEDIA_WRITE_PROTECTED, 19},
        {STATUS_FILEMARK_DETECTED, 1101},
        {STATUS_END_OF_MEDIA, 1100},
        {STATUS_NO_DATA_DETECTED, 1104},
        {STATUS_BEGINNING_OF_MEDIA, 1102},
        {STATUS_SETMARK_DETECTED, 1103},
        {STATUS_BUS_RESET, 1111},
        {STATUS_MEDIA_CHANGED, 1110},
        {STATUS_IO_DEVICE_ERROR, 1117},
        {STATUS_INVALID_BLOCK_LENGTH, 1106},
        {STATUS_DEVICE_REQUIRES_CLEANING, 1165},
        {STATUS_KEY_DELETED, 1018},
        {(NTSTATUS)0xC0001234, 317},       // ERROR_MR_MID_NOT_FOUND
        {(NTSTATUS)0xC0070005, 5},         // a Win32 error wrapped as a status
        {(NTSTATUS)0xE0000042, 0xE0000042}, // customer codes pass through
    };
    for (const Case &c : cases)
        EXPECT_EQ(RtlNtStatusToDosError(c.status), c.error) << std::hex << (ULONG)c.status;
}

TEST(RtlText, Utf8Utf16Conversions)
{
    const std::string text = "h\xc3\xa9llo \xe2\x82\xac \xf0\x9d\x84\x9e";
    std::u16string wide = hk::Utf16(text);
    EXPECT_EQ(wide, u"h\u00e9llo \u20ac \U0001D11E");
    EXPECT_EQ(hk::Utf8(wide), text);
    // Malformed input converts rather than failing: one U+FFFD per bad unit.
    EXPECT_EQ(hk::Utf16("a\xc3"), u"a\uFFFD");
    EXPECT_EQ(hk::Utf16("\xc0\xaf"), u"\uFFFD\uFFFD"); // overlong
    EXPECT_EQ(hk::Utf16("\xed\xa0\x80"), u"\uFFFD\uFFFD\uFFFD"); // an encoded surrogate
    EXPECT_EQ(hk::Utf8(std::u16string(1, (char16_t)0xD800)), "\xef\xbf\xbd");
    UNICODE_STRING counted = Counted(u"abcdef", 3);
    EXPECT_EQ(hk::Utf8(counted), "abc");
    UNICODE_STRING empty{};
    EXPECT_EQ(hk::Utf8(empty), "");
}

// ---------------------------------------------------------------------------------------------
// Format engine
// ---------------------------------------------------------------------------------------------
std::string N(const char *format, ...)
{
    char buffer[256];
    va_list ap;
    va_start(ap, format);
    int n = HkFormatNarrow(buffer, sizeof buffer, format, ap);
    va_end(ap);
    EXPECT_EQ((size_t)n, strlen(buffer)) << format;
    return buffer;
}

std::string W(const char16_t *format, ...)
{
    char16_t buffer[256];
    va_list ap;
    va_start(ap, format);
    int n = HkFormatWide(buffer, 256, format, ap);
    va_end(ap);
    std::u16string out(buffer);
    EXPECT_EQ((size_t)n, out.size()) << hk::Utf8(format);
    return hk::Utf8(out);
}

TEST(Format, MicrosoftConventions)
{
    // Four characters right before unreadable memory: "%.4s" must not look for a terminator.
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    auto *pages = (char *)mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    mprotect(pages + page, page, PROT_NONE);
    char *unterminated = pages + page - 4;
    memcpy(unterminated, "ABCD", 4);

    void *pointer = (void *)(uintptr_t)0x7F12345678ABull;
    const char16_t device[] = u"device";
    UNICODE_STRING dev = Counted(device, 3);
    char dummy[] = "ANSIx";
    ANSI_STRING ansi{4, 5, dummy};
    struct Case {
        const char *what;
        std::string actual, expected;
    } cases[] = {
        // Which width a string or character argument has.
        {"narrow %s %S", N("%s|%S", "ab", u"cd"), "ab|cd"},
        {"wide %s %S", W(u"%s|%S", u"ab", "cd"), "ab|cd"},
        {"narrow explicit", N("%hs|%ls|%ws", "a", u"b", u"c"), "a|b|c"},
        {"wide explicit", W(u"%hs|%ls|%ws", "a", u"b", u"c"), "a|b|c"},
        {"narrow chars", N("%c%C%hc%lc", 'x', (int)u'y', 'z', (int)u'w'), "xyzw"},
        {"wide chars", W(u"%c%C%hc%lc", (int)u'x', 'y', 'z', (int)u'w'), "xyzw"},
        {"wide from Latin-1 byte", W(u"%S", "\xe9"), "\xc3\xa9"},
        {"narrow from CJK", N("%S", u"\u4e2d!"), "?!"},
        {"null string", N("%s|%ws", (char *)nullptr, (char16_t *)nullptr), "(null)|(null)"},
        {"counted strings", N("%wZ|%Z|%wZ", &dev, &ansi, (UNICODE_STRING *)nullptr), "dev|ANSI|(null)"},
        {"wide counted", W(u"%wZ", &dev), "dev"},
        // Pointers: 16 uppercase digits, no prefix.
        {"pointer", N("%p", pointer), "00007F12345678AB"},
        {"prefixed pointer", N("0x%p", pointer), "0x00007F12345678AB"},
        {"wide pointer", W(u"%p", pointer), "00007F12345678AB"},
        {"null pointer", N("%p", (void *)nullptr), "0000000000000000"},
        // Integer sizes: 'l' is 32 bits, I64/ll 64, I/z pointer-sized.
        {"long is 32 bits", N("%ld|%lu", (LONG)-5, (ULONG)7), "-5|7"},
        {"I64 and ll", N("%I64x|%llx|%I64d", 0x123456789ABCDEFull, 0xFEDCBA9876543210ull, -9000000000ll),
         "123456789abcdef|fedcba9876543210|-9000000000"},
        {"I32 and pointer-sized", N("%I32u|%Iu|%zu", 4000000000u, (size_t)1 << 40, (size_t)3),
         "4000000000|1099511627776|3"},
        {"short and char", N("%hd|%hhu", 70000, 257), "4464|1"},
        {"hex", N("%08x|%X|%02X|%x", 0xBEEFu, 0xbeefu, 0x7u, 0u), "0000beef|BEEF|07|0"},
        {"wide hex", W(u"%08X|%I64x", 0xBEEFu, 0x10ull), "0000BEEF|10"},
        {"signed", N("%d|%i|%u", -12, 34, 4000000000u), "-12|34|4000000000"},
        // Flags, width and precision.
        {"width and flags", N("%5d|%-5d|%05d|%+d|% d", 42, 42, 42, 42, 42), "   42|42   |00042|+42| 42"},
        {"precision", N("%.3d|%5.3d|%05.3d|%.0d", 42, 42, 42, 0), "042|  042|  042|"},
        {"negative zero-padded", N("%05d", -42), "-0042"},
        {"star", N("%*d|%-*d|%*d|%.*s", 4, 7, 4, 7, -3, 5, 2, "abcdef"), "   7|7   |5  |ab"},
        {"alternate", N("%#x|%#X|%#o|%o|%#x", 255, 255, 8, 8, 0), "0xff|0XFF|010|10|0"},
        {"string width", N("[%5s|%-5s|%.1s]", "ab", "ab", "ab"), "[   ab|ab   |a]"},
        {"precision bounds the read", N("%.4s|%.*s", unterminated, 2, unterminated), "ABCD|AB"},
        {"percent", N("%%|100%%"), "%|100%"},
        {"float", N("%.2f|%5.1f", 3.14159, 2.0), "3.14|  2.0"},
        // What is not a conversion is printed as written.
        {"unknown conversion", N("a%yb"), "a%yb"},
        {"format ends in a conversion", N("abc%-0"), "abc%-0"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.actual, c.expected) << c.what;
    munmap(pages, 2 * page);
}

// The contract the drivers' _snprintf/_snwprintf are built on: never more than `count` characters,
// a terminator only when the output is shorter than `count`, and the length of the whole output.
int FormatNarrowInto(char *buffer, size_t count, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = HkFormatNarrow(buffer, count, format, ap);
    va_end(ap);
    return n;
}

int FormatWideInto(char16_t *buffer, size_t count, const char16_t *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = HkFormatWide(buffer, count, format, ap);
    va_end(ap);
    return n;
}

TEST(Format, NeverWritesPastCountAndTerminatesOnlyWhenShorter)
{
    struct Case {
        size_t count;
        std::string written; // the first 8 characters of the buffer afterwards
    } cases[] = {
        {0, "########"},
        {3, "abc#####"},
        {6, "abc123##"}, // exactly full: no terminator
        {7, std::string("abc123\0#", 8)},
    };
    for (const Case &c : cases) {
        char narrow[16];
        memset(narrow, '#', sizeof narrow);
        EXPECT_EQ(FormatNarrowInto(c.count ? narrow : nullptr, c.count, "%s%d", "abc", 123), 6) << c.count;
        EXPECT_EQ(std::string(narrow, 8), c.written) << "narrow " << c.count;

        char16_t wide[16];
        std::fill(std::begin(wide), std::end(wide), u'#');
        EXPECT_EQ(FormatWideInto(c.count ? wide : nullptr, c.count, u"%s%d", u"abc", 123), 6) << c.count;
        EXPECT_EQ(hk::Utf8(std::u16string(wide, 8)), c.written) << "wide " << c.count;
    }
}

} // namespace
