// Debug output and the printf engine behind it and behind the drivers' C runtime.
//
// The engine follows the Microsoft CRT, not the C library of the host, because that is what the
// drivers are written against: in wide output %s and %c take wide arguments and %S/%C narrow ones;
// 'l' is 32 bits (LLP64) while %I64 and %ll are 64; %p is the pointer as 16 uppercase hex digits
// without a prefix; %Z/%wZ print an ANSI_STRING/UNICODE_STRING as DbgPrint does. It never writes
// outside the `count` characters it is given.
//
// Debug output is kept as lines: text that has no newline yet stays pending (per thread) until a
// later DbgPrint completes it, since drivers often print one line in several calls.
#include "hk_internal.h"

#include <cstdio>
#include <deque>
#include <map>
#include <thread>

namespace {

// ---------------------------------------------------------------------------------------------
// Format engine
// ---------------------------------------------------------------------------------------------
template <typename C>
struct Sink {
    C *buffer;
    size_t count;
    size_t length = 0;

    void Put(C c)
    {
        if (length < count)
            buffer[length] = c;
        length++;
    }
    void Repeat(C c, size_t n)
    {
        for (size_t i = 0; i < n; i++)
            Put(c);
    }
};

// Conversions between the two widths, as the CRT's "C" locale does: narrow bytes widen one to
// one; wide characters beyond Latin-1 cannot be narrowed and print as '?'.
template <typename C>
C FromNarrow(char c)
{
    return (C)(unsigned char)c;
}
template <typename C>
C FromWide(char16_t c)
{
    if constexpr (sizeof(C) == 1)
        return c < 0x100 ? (C)c : (C)'?';
    else
        return (C)c;
}

enum class Size { Default, Char, Short, Long32, Long64, Pointer, LongDouble };

struct FieldFormat {
    bool left = false, plus = false, space = false, alternate = false, zero = false;
    int width = 0;
    int precision = -1;
    Size size = Size::Default;
    bool wideRequested = false;   // l, w
    bool narrowRequested = false; // h
};

template <typename C>
void PadAndPut(Sink<C> &out, const FieldFormat &field, size_t length, auto &&emit)
{
    size_t pad = field.width > 0 && (size_t)field.width > length ? (size_t)field.width - length : 0;
    if (!field.left)
        out.Repeat(field.zero ? (C)'0' : (C)' ', pad);
    emit();
    if (field.left)
        out.Repeat((C)' ', pad);
}

template <typename C, typename S>
void PutString(Sink<C> &out, const FieldFormat &field, const S *s, size_t available)
{
    // With a precision the characters need not be terminated: never look past it.
    if (field.precision >= 0 && (size_t)field.precision < available)
        available = (size_t)field.precision;
    size_t n = 0;
    while (n < available && s[n])
        n++;
    PadAndPut(out, field, n, [&] {
        for (size_t i = 0; i < n; i++) {
            if constexpr (sizeof(S) == 1)
                out.Put(FromNarrow<C>(s[i]));
            else
                out.Put(FromWide<C>(s[i]));
        }
    });
}

template <typename C>
void PutNull(Sink<C> &out, const FieldFormat &field)
{
    PutString(out, field, "(null)", 6);
}

template <typename C>
void PutInteger(Sink<C> &out, FieldFormat field, uint64_t magnitude, bool negative, unsigned base, bool upper)
{
    char digits[64];
    size_t n = 0;
    const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    while (magnitude) {
        digits[n++] = set[magnitude % base];
        magnitude /= base;
    }
    bool valueZero = n == 0;
    size_t minDigits = field.precision >= 0 ? (size_t)field.precision : 1;
    // Precision and the '0' flag do not combine: the precision wins.
    if (field.precision >= 0)
        field.zero = false;
    size_t zeros = minDigits > n ? minDigits - n : 0;
    char prefix[3] = {};
    size_t prefixLength = 0;
    if (negative)
        prefix[prefixLength++] = '-';
    else if (field.plus)
        prefix[prefixLength++] = '+';
    else if (field.space)
        prefix[prefixLength++] = ' ';
    if (field.alternate && !valueZero && base == 16) {
        prefix[prefixLength++] = '0';
        prefix[prefixLength++] = upper ? 'X' : 'x';
    } else if (field.alternate && base == 8 && zeros == 0) {
        zeros = 1;
    }
    size_t body = prefixLength + zeros + n;
    size_t pad = field.width > 0 && (size_t)field.width > body ? (size_t)field.width - body : 0;
    if (!field.left && !field.zero)
        out.Repeat((C)' ', pad);
    for (size_t i = 0; i < prefixLength; i++)
        out.Put((C)prefix[i]);
    if (!field.left && field.zero)
        out.Repeat((C)'0', pad);
    out.Repeat((C)'0', zeros);
    while (n)
        out.Put((C)digits[--n]);
    if (field.left)
        out.Repeat((C)' ', pad);
}

int64_t FetchSigned(va_list *ap, Size size)
{
    switch (size) {
    case Size::Char: return (signed char)va_arg(*ap, int);
    case Size::Short: return (short)va_arg(*ap, int);
    case Size::Long64:
    case Size::Pointer: return va_arg(*ap, long long);
    default: return va_arg(*ap, int); // Default, Long32: 'l' is 32 bits on Windows
    }
}

uint64_t FetchUnsigned(va_list *ap, Size size)
{
    switch (size) {
    case Size::Char: return (unsigned char)va_arg(*ap, unsigned);
    case Size::Short: return (unsigned short)va_arg(*ap, unsigned);
    case Size::Long64:
    case Size::Pointer: return va_arg(*ap, unsigned long long);
    default: return va_arg(*ap, unsigned);
    }
}

template <typename C>
void PutFloat(Sink<C> &out, const FieldFormat &field, C conversion, va_list *ap)
{
    char format[48];
    char *f = format;
    *f++ = '%';
    if (field.left)
        *f++ = '-';
    if (field.plus)
        *f++ = '+';
    if (field.space)
        *f++ = ' ';
    if (field.alternate)
        *f++ = '#';
    if (field.zero)
        *f++ = '0';
    f += snprintf(f, 12, "%d", field.width);
    if (field.precision >= 0)
        f += snprintf(f, 13, ".%d", field.precision);
    if (field.size == Size::LongDouble)
        *f++ = 'L';
    *f++ = (char)conversion;
    *f = 0;
    char text[512];
    int n;
    if (field.size == Size::LongDouble)
        n = snprintf(text, sizeof text, format, va_arg(*ap, long double));
    else
        n = snprintf(text, sizeof text, format, va_arg(*ap, double));
    for (int i = 0; i < n && i < (int)sizeof text - 1; i++)
        out.Put((C)text[i]);
}

template <typename C>
int Format(C *buffer, size_t count, const C *format, va_list *ap)
{
    constexpr bool kWide = sizeof(C) == 2;
    Sink<C> out{buffer, count};
    const C *p = format;
    while (*p) {
        if (*p != (C)'%') {
            out.Put(*p++);
            continue;
        }
        const C *start = p++;
        if (*p == (C)'%') {
            out.Put(*p++);
            continue;
        }
        FieldFormat field;
        for (;; p++) {
            if (*p == (C)'-')
                field.left = true;
            else if (*p == (C)'+')
                field.plus = true;
            else if (*p == (C)' ')
                field.space = true;
            else if (*p == (C)'#')
                field.alternate = true;
            else if (*p == (C)'0')
                field.zero = true;
            else
                break;
        }
        if (*p == (C)'*') {
            int w = va_arg(*ap, int);
            if (w < 0) {
                field.left = true;
                w = w == INT32_MIN ? INT32_MAX : -w;
            }
            field.width = w;
            p++;
        } else {
            while (*p >= (C)'0' && *p <= (C)'9')
                field.width = field.width * 10 + (int)(*p++ - (C)'0');
        }
        if (*p == (C)'.') {
            p++;
            field.precision = 0;
            if (*p == (C)'*') {
                int pr = va_arg(*ap, int);
                field.precision = pr < 0 ? -1 : pr;
                p++;
            } else {
                while (*p >= (C)'0' && *p <= (C)'9')
                    field.precision = field.precision * 10 + (int)(*p++ - (C)'0');
            }
        }
        if (field.left)
            field.zero = false;
        // Size prefixes, Microsoft spellings included.
        if (*p == (C)'h') {
            p++;
            field.narrowRequested = true;
            field.size = Size::Short;
            if (*p == (C)'h') {
                p++;
                field.size = Size::Char;
            }
        } else if (*p == (C)'l') {
            p++;
            field.wideRequested = true;
            field.size = Size::Long32;
            if (*p == (C)'l') {
                p++;
                field.size = Size::Long64;
            }
        } else if (*p == (C)'w') {
            p++;
            field.wideRequested = true;
        } else if (*p == (C)'I') {
            if (p[1] == (C)'6' && p[2] == (C)'4') {
                p += 3;
                field.size = Size::Long64;
            } else if (p[1] == (C)'3' && p[2] == (C)'2') {
                p += 3;
                field.size = Size::Long32;
            } else {
                p++;
                field.size = Size::Pointer;
            }
        } else if (*p == (C)'z' || *p == (C)'t' || *p == (C)'j') {
            field.size = *p == (C)'j' ? Size::Long64 : Size::Pointer;
            p++;
        } else if (*p == (C)'L' || *p == (C)'q') {
            field.size = *p == (C)'L' ? Size::LongDouble : Size::Long64;
            p++;
        }
        C conversion = *p;
        if (!conversion) {
            // A format that ends inside a conversion is printed as written.
            for (const C *q = start; q < p; q++)
                out.Put(*q);
            break;
        }
        p++;
        // A wide conversion character beyond ASCII must not alias an ASCII one when narrowed.
        switch ((unsigned)conversion < 0x80 ? (char)conversion : '\0') {
        case 'd':
        case 'i': {
            Size s = field.size == Size::LongDouble ? Size::Long64 : field.size;
            int64_t v = FetchSigned(ap, s);
            uint64_t magnitude = v < 0 ? 0 - (uint64_t)v : (uint64_t)v;
            PutInteger(out, field, magnitude, v < 0, 10, false);
            break;
        }
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            Size s = field.size == Size::LongDouble ? Size::Long64 : field.size;
            uint64_t v = FetchUnsigned(ap, s);
            unsigned base = conversion == (C)'u' ? 10 : conversion == (C)'o' ? 8 : 16;
            field.plus = field.space = false;
            PutInteger(out, field, v, false, base, conversion == (C)'X');
            break;
        }
        case 'p': {
            uint64_t v = (uint64_t)(uintptr_t)va_arg(*ap, void *);
            FieldFormat pointer = field;
            pointer.precision = 16;
            pointer.zero = false;
            pointer.plus = pointer.space = false;
            PutInteger(out, pointer, v, false, 16, true);
            break;
        }
        case 'c':
        case 'C': {
            // Which width the argument has: %c is the function's own width, %C the other one;
            // h and l/w say it explicitly.
            bool wideArgument = field.narrowRequested ? false
                                : field.wideRequested ? true
                                                     : ((conversion == (C)'c') == kWide);
            int v = va_arg(*ap, int);
            C c = wideArgument ? FromWide<C>((char16_t)v) : FromNarrow<C>((char)v);
            PadAndPut(out, field, 1, [&] { out.Put(c); });
            break;
        }
        case 's':
        case 'S': {
            bool wideArgument = field.narrowRequested ? false
                                : field.wideRequested ? true
                                                     : ((conversion == (C)'s') == kWide);
            const void *s = va_arg(*ap, const void *);
            if (!s)
                PutNull(out, field);
            else if (wideArgument)
                PutString(out, field, (const char16_t *)s, SIZE_MAX);
            else
                PutString(out, field, (const char *)s, SIZE_MAX);
            break;
        }
        case 'Z': {
            const void *s = va_arg(*ap, const void *);
            if (field.wideRequested) {
                auto *u = (const UNICODE_STRING *)s;
                if (!u || !u->Buffer)
                    PutNull(out, field);
                else
                    PutString(out, field, (const char16_t *)u->Buffer, u->Length / sizeof(WCHAR));
            } else {
                auto *a = (const ANSI_STRING *)s;
                if (!a || !a->Buffer)
                    PutNull(out, field);
                else
                    PutString(out, field, a->Buffer, a->Length);
            }
            break;
        }
        case 'n':
            // Writing through %n is disabled in the Microsoft CRT; the argument is consumed only.
            (void)va_arg(*ap, void *);
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            PutFloat(out, field, conversion, ap);
            break;
        default:
            // Unknown conversions are printed as written rather than guessed at.
            for (const C *q = start; q < p; q++)
                out.Put(*q);
            break;
        }
    }
    if (out.length < count)
        buffer[out.length] = 0;
    return out.length > (size_t)INT32_MAX ? INT32_MAX : (int)out.length;
}

// ---------------------------------------------------------------------------------------------
// Debug output lines
// ---------------------------------------------------------------------------------------------
constexpr size_t kMaxLines = 200000; // the oldest lines go first in very long runs

std::mutex g_lock;
std::deque<std::string> g_lines;
std::map<std::thread::id, std::string> g_pending;
bool g_echo = false;

std::string FormatNarrow(const char *format, va_list ap)
{
    va_list sizing;
    va_copy(sizing, ap);
    int n = Format<char>(nullptr, 0, format, &sizing);
    va_end(sizing);
    std::string text((size_t)n + 1, '\0');
    va_list copy;
    va_copy(copy, ap);
    Format<char>(text.data(), text.size(), format, &copy);
    va_end(copy);
    text.resize((size_t)n);
    return text;
}

} // namespace

extern "C" int HkFormatWide(char16_t *buf, size_t count, const char16_t *fmt, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    int n = Format<char16_t>(buf, count, fmt, &copy);
    va_end(copy);
    return n;
}

extern "C" int HkFormatNarrow(char *buf, size_t count, const char *fmt, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    int n = Format<char>(buf, count, fmt, &copy);
    va_end(copy);
    return n;
}

namespace hk {

namespace internal {

void DebugOutputAppend(const std::string &text)
{
    std::vector<std::string> echoed;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        std::string &pending = g_pending[std::this_thread::get_id()];
        pending += text;
        size_t begin = 0, newline;
        while ((newline = pending.find('\n', begin)) != std::string::npos) {
            std::string line = pending.substr(begin, newline - begin);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (g_echo)
                echoed.push_back(line);
            g_lines.push_back(std::move(line));
            if (g_lines.size() > kMaxLines)
                g_lines.pop_front();
            begin = newline + 1;
        }
        pending.erase(0, begin);
        if (pending.empty())
            g_pending.erase(std::this_thread::get_id());
    }
    for (const std::string &line : echoed)
        fprintf(stderr, "%s\n", line.c_str());
}

} // namespace internal

// Completed lines, followed by what each thread has printed of a line it has not finished yet.
std::vector<std::string> DebugOutput()
{
    std::lock_guard<std::mutex> lock(g_lock);
    std::vector<std::string> out(g_lines.begin(), g_lines.end());
    for (auto &[thread, text] : g_pending)
        out.push_back(text);
    return out;
}

void ClearDebugOutput()
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_lines.clear();
    g_pending.clear();
}

void SetDebugEcho(bool echo)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_echo = echo;
}

} // namespace hk

extern "C" ULONG DbgPrint(PCSTR Format, ...)
{
    va_list ap;
    va_start(ap, Format);
    std::string text = FormatNarrow(Format, ap);
    va_end(ap);
    hk::internal::DebugOutputAppend(text);
    return STATUS_SUCCESS;
}

// Every component and level is captured: the host has no debugger filter mask to consult, and a
// hidden trace line would only make a failing test harder to read.
extern "C" ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    (void)ComponentId;
    (void)Level;
    va_list ap;
    va_start(ap, Format);
    std::string text = FormatNarrow(Format, ap);
    va_end(ap);
    hk::internal::DebugOutputAppend(text);
    return STATUS_SUCCESS;
}
