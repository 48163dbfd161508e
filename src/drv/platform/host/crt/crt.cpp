// The C runtime routines that ntoskrnl exports to drivers, for the host images.
//
// Compiled driver-side (-fshort-wchar, so wchar_t is 16 bits as on Windows) and linked into every
// driver image with hidden visibility: a driver's wcslen binds here, never to the C library's
// routine of the same name, which works on 32-bit characters. The printf family formats through
// the host kernel's engine, which follows the Microsoft conventions (%s in a wide function takes a
// wide string, %p has no prefix, 'l' is 32 bits); these wrappers add the Microsoft return rules.
#include "kernel.h"

extern "C" int HkFormatWide(WCHAR *buf, size_t count, const WCHAR *fmt, va_list ap);
extern "C" int HkFormatNarrow(char *buf, size_t count, const char *fmt, va_list ap);

namespace {

// The CRT's "C" locale folds ASCII letters only.
inline unsigned FoldWide(WCHAR c)
{
    return (c >= L'A' && c <= L'Z') ? (unsigned)(c - L'A' + L'a') : (unsigned)c;
}

inline int FoldNarrow(char c)
{
    unsigned char u = (unsigned char)c;
    return (u >= 'A' && u <= 'Z') ? u - 'A' + 'a' : u;
}

// Microsoft's bounded printf: the whole output when it fits with its terminator; exactly `count`
// characters and no terminator when it fills the buffer; -1 (and no terminator) when it does not fit.
inline int BoundedResult(int length, size_t count)
{
    return (size_t)length > count ? -1 : length;
}

// The legacy unbounded form trusts the caller's buffer, as the Windows one does.
constexpr size_t kUnbounded = (size_t)-1 / (2 * sizeof(WCHAR));

} // namespace

extern "C" {

size_t wcslen(const WCHAR *s)
{
    const WCHAR *p = s;
    while (*p)
        p++;
    return (size_t)(p - s);
}

WCHAR *wcscpy(WCHAR *d, const WCHAR *s)
{
    WCHAR *r = d;
    while ((*d++ = *s++) != 0) {
    }
    return r;
}

// Pads with terminators up to n and leaves the result unterminated when s is n or longer, as
// the standard routine does.
WCHAR *wcsncpy(WCHAR *d, const WCHAR *s, size_t n)
{
    size_t i = 0;
    for (; i < n && s[i]; i++)
        d[i] = s[i];
    for (; i < n; i++)
        d[i] = 0;
    return d;
}

WCHAR *wcscat(WCHAR *d, const WCHAR *s)
{
    wcscpy(d + wcslen(d), s);
    return d;
}

int wcscmp(const WCHAR *a, const WCHAR *b)
{
    while (*a && *a == *b) {
        a++;
        b++;
    }
    return (int)(unsigned)*a - (int)(unsigned)*b;
}

int wcsncmp(const WCHAR *a, const WCHAR *b, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        if (a[i] != b[i] || !a[i])
            return (int)(unsigned)a[i] - (int)(unsigned)b[i];
    }
    return 0;
}

int _wcsicmp(const WCHAR *a, const WCHAR *b)
{
    unsigned ca, cb;
    do {
        ca = FoldWide(*a++);
        cb = FoldWide(*b++);
    } while (ca && ca == cb);
    return (int)ca - (int)cb;
}

WCHAR *wcschr(const WCHAR *s, WCHAR c)
{
    for (;; s++) {
        if (*s == c)
            return (WCHAR *)s;
        if (!*s)
            return nullptr;
    }
}

int swprintf(WCHAR *buffer, const WCHAR *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = HkFormatWide(buffer, kUnbounded, format, ap);
    va_end(ap);
    return n;
}

int _vsnwprintf(WCHAR *buffer, size_t count, const WCHAR *format, va_list args)
{
    return BoundedResult(HkFormatWide(buffer, count, format, args), count);
}

int _snwprintf(WCHAR *buffer, size_t count, const WCHAR *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = _vsnwprintf(buffer, count, format, ap);
    va_end(ap);
    return n;
}

int _vsnprintf(char *buffer, size_t count, const char *format, va_list args)
{
    return BoundedResult(HkFormatNarrow(buffer, count, format, args), count);
}

int _snprintf(char *buffer, size_t count, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = _vsnprintf(buffer, count, format, ap);
    va_end(ap);
    return n;
}

int _stricmp(const char *a, const char *b)
{
    int ca, cb;
    do {
        ca = FoldNarrow(*a++);
        cb = FoldNarrow(*b++);
    } while (ca && ca == cb);
    return ca - cb;
}

int _strnicmp(const char *a, const char *b, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        int ca = FoldNarrow(a[i]), cb = FoldNarrow(b[i]);
        if (ca != cb || !ca)
            return ca - cb;
    }
    return 0;
}

} // extern "C"
