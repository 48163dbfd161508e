// Rtl string routines, NTSTATUS -> Win32 error conversion and the host's UTF-8/UTF-16 helpers.
//
// The counted-string routines keep the real rules the drivers can observe: lengths in bytes, a
// terminator written only where it fits, STATUS_BUFFER_TOO_SMALL / STATUS_BUFFER_OVERFLOW exactly
// where the real ones return them, and strings allocated on the caller's behalf come from pool
// (tag 'Strg') charged to the calling driver, so that a string it forgets to free is a leak the
// verifier names.
#include "hk_internal.h"

#include <algorithm>

namespace {

using namespace hk::internal;

constexpr ULONG kStringTag = hk::MakeTag("Strg");

constexpr USHORT kMaxUnicodeBytes = 0xFFFE; // largest even USHORT

// Windows-1252, the ANSI code page of an English system, for the bytes 0x80-0x9F; the rest of the
// page coincides with Latin-1.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t AnsiToWide(unsigned char c)
{
    if (c >= 0x80 && c <= 0x9F)
        return kCp1252High[c - 0x80];
    return c;
}

// Characters the code page cannot represent become '?', as the default-character rule does.
char WideToAnsi(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return (char)c;
    for (int i = 0; i < 32; i++)
        if (kCp1252High[i] == c)
            return (char)(0x80 + i);
    return '?';
}

void *AllocateString(size_t bytes, const void *caller)
{
    return PoolAllocate(PagedPool, bytes, kStringTag, hk::AllocKind::Pool, caller);
}

void FreeString(void *buffer, const void *caller)
{
    PoolFree(buffer, kStringTag, caller);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Case mapping
// ---------------------------------------------------------------------------------------------
extern "C" WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter)
{
    char16_t c = SourceCharacter;
    if (c < 0x80)
        return (c >= u'a' && c <= u'z') ? char16_t(c - 0x20) : c;
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return char16_t(c - 0x20);
    if (c == 0xFF)
        return 0x178;
    if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F) {
        // Latin Extended-A pairs upper/lower as even/odd, except the run 0x139-0x148 and 0x179-0x17E
        // where the upper case is the odd one.
        bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (oddUpper)
            return (c % 2 == 0) ? char16_t(c - 1) : c;
        return (c % 2 == 1) ? char16_t(c - 1) : c;
    }
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2)
        return char16_t(c - 0x20);
    if (c >= 0x430 && c <= 0x44F)
        return char16_t(c - 0x20);
    if (c >= 0x450 && c <= 0x45F)
        return char16_t(c - 0x50);
    return c;
}

// ---------------------------------------------------------------------------------------------
// Counted strings
// ---------------------------------------------------------------------------------------------
extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source)
{
    Destination->Buffer = (PWCH)Source;
    if (!Source) {
        Destination->Length = Destination->MaximumLength = 0;
        return;
    }
    size_t n = 0;
    while (Source[n])
        n++;
    size_t bytes = std::min<size_t>(n * sizeof(WCHAR), kMaxUnicodeBytes - sizeof(WCHAR));
    Destination->Length = (USHORT)bytes;
    Destination->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
}

extern "C" VOID NTAPI RtlInitAnsiString(PANSI_STRING Destination, PCSTR Source)
{
    Destination->Buffer = (PCHAR)Source;
    if (!Source) {
        Destination->Length = Destination->MaximumLength = 0;
        return;
    }
    size_t n = std::min<size_t>(strlen(Source), 0xFFFE);
    Destination->Length = (USHORT)n;
    Destination->MaximumLength = (USHORT)(n + 1);
}

extern "C" VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (!Source || !Source->Buffer) {
        Destination->Length = 0;
        return;
    }
    USHORT bytes = std::min(Source->Length, Destination->MaximumLength);
    bytes &= ~1;
    if (bytes)
        memmove(Destination->Buffer, Source->Buffer, bytes);
    Destination->Length = bytes;
    if (bytes + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[bytes / sizeof(WCHAR)] = 0;
}

static NTSTATUS AppendBytes(PUNICODE_STRING Destination, const WCHAR *source, size_t bytes)
{
    if (bytes == 0)
        return STATUS_SUCCESS;
    if ((size_t)Destination->Length + bytes > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove((char *)Destination->Buffer + Destination->Length, source, bytes);
    Destination->Length = (USHORT)(Destination->Length + bytes);
    if ((size_t)Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (!Source)
        return STATUS_SUCCESS;
    size_t n = 0;
    while (Source[n])
        n++;
    return AppendBytes(Destination, Source, n * sizeof(WCHAR));
}

extern "C" NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (!Source || !Source->Buffer)
        return STATUS_SUCCESS;
    return AppendBytes(Destination, Source->Buffer, Source->Length & ~1u);
}

extern "C" LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN CaseInsensitive)
{
    HkAssertPagedCode("RtlCompareUnicodeString");
    size_t na = a->Length / sizeof(WCHAR), nb = b->Length / sizeof(WCHAR);
    size_t n = std::min(na, nb);
    for (size_t i = 0; i < n; i++) {
        WCHAR ca = a->Buffer[i], cb = b->Buffer[i];
        if (CaseInsensitive) {
            ca = RtlUpcaseUnicodeChar(ca);
            cb = RtlUpcaseUnicodeChar(cb);
        }
        if (ca != cb)
            return (LONG)ca - (LONG)cb;
    }
    return (LONG)na - (LONG)nb;
}

extern "C" BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN CaseInsensitive)
{
    HkAssertPagedCode("RtlEqualUnicodeString");
    if (a->Length / sizeof(WCHAR) != b->Length / sizeof(WCHAR))
        return FALSE;
    return RtlCompareUnicodeString(a, b, CaseInsensitive) == 0;
}

extern "C" NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING Destination, const ANSI_STRING *Source,
                                                      BOOLEAN Allocate)
{
    HkAssertPagedCode("RtlAnsiStringToUnicodeString");
    size_t chars = Source->Buffer ? Source->Length : 0;
    size_t needed = (chars + 1) * sizeof(WCHAR);
    if (needed > 0xFFFF)
        return STATUS_INVALID_PARAMETER_2;
    if (Allocate) {
        auto *buffer = (WCHAR *)AllocateString(needed, __builtin_return_address(0));
        if (!buffer)
            return STATUS_NO_MEMORY;
        Destination->Buffer = buffer;
        Destination->MaximumLength = (USHORT)needed;
    } else if (Destination->MaximumLength < needed) {
        // The terminator is written too, so it has to fit.
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < chars; i++)
        Destination->Buffer[i] = AnsiToWide((unsigned char)Source->Buffer[i]);
    Destination->Buffer[chars] = 0;
    Destination->Length = (USHORT)(chars * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING Destination, PCUNICODE_STRING Source,
                                                      BOOLEAN Allocate)
{
    HkAssertPagedCode("RtlUnicodeStringToAnsiString");
    size_t chars = Source->Buffer ? Source->Length / sizeof(WCHAR) : 0;
    size_t needed = chars + 1;
    if (needed > 0xFFFF)
        return STATUS_INVALID_PARAMETER_2;
    NTSTATUS status = STATUS_SUCCESS;
    if (Allocate) {
        auto *buffer = (char *)AllocateString(needed, __builtin_return_address(0));
        if (!buffer)
            return STATUS_NO_MEMORY;
        Destination->Buffer = buffer;
        Destination->MaximumLength = (USHORT)needed;
    } else if (Destination->MaximumLength < needed) {
        // The real routine converts what fits, terminates it and still reports the overflow.
        if (Destination->MaximumLength == 0)
            return STATUS_BUFFER_OVERFLOW;
        chars = Destination->MaximumLength - 1u;
        status = STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < chars; i++)
        Destination->Buffer[i] = WideToAnsi(Source->Buffer[i]);
    Destination->Buffer[chars] = 0;
    Destination->Length = (USHORT)chars;
    return status;
}

extern "C" VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING s)
{
    HkAssertPagedCode("RtlFreeUnicodeString");
    if (s->Buffer)
        FreeString(s->Buffer, __builtin_return_address(0));
    s->Buffer = nullptr;
    s->Length = s->MaximumLength = 0;
}

extern "C" VOID NTAPI RtlFreeAnsiString(PANSI_STRING s)
{
    HkAssertPagedCode("RtlFreeAnsiString");
    if (s->Buffer)
        FreeString(s->Buffer, __builtin_return_address(0));
    s->Buffer = nullptr;
    s->Length = s->MaximumLength = 0;
}

// ---------------------------------------------------------------------------------------------
// Numbers
// ---------------------------------------------------------------------------------------------
extern "C" NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    HkAssertPagedCode("RtlIntegerToUnicodeString");
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    char16_t digits[33];
    size_t n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = (char16_t)(d < 10 ? u'0' + d : u'A' + d - 10);
        Value /= Base;
    } while (Value);
    // Digits and terminator must fit, as the real routine converts through an ANSI string.
    if ((n + 1) * sizeof(WCHAR) > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < n; i++)
        String->Buffer[i] = digits[n - 1 - i];
    String->Buffer[n] = 0;
    String->Length = (USHORT)(n * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// "{white space} [+|-] [0x|0o|0b] {digits}": the prefix only when Base is 0, parsing stops at the
// first character that is not a digit of the base, and only the low 32 bits are kept -- no
// overflow check, as on Windows.
extern "C" NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value)
{
    HkAssertPagedCode("RtlUnicodeStringToInteger");
    if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    if (!Value)
        return STATUS_ACCESS_VIOLATION;
    const WCHAR *p = String->Buffer;
    size_t left = p ? String->Length / sizeof(WCHAR) : 0;
    while (left && *p && *p <= u' ') {
        p++;
        left--;
    }
    bool negative = false;
    if (left && (*p == u'+' || *p == u'-')) {
        negative = *p == u'-';
        p++;
        left--;
    }
    if (Base == 0) {
        Base = 10;
        if (left >= 2 && p[0] == u'0') {
            if (p[1] == u'x')
                Base = 16;
            else if (p[1] == u'o')
                Base = 8;
            else if (p[1] == u'b')
                Base = 2;
            if (Base != 10) {
                p += 2;
                left -= 2;
            }
        }
    }
    ULONG total = 0;
    for (; left && *p; p++, left--) {
        char16_t c = *p;
        ULONG digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (c >= u'A' && c <= u'Z')
            digit = c - u'A' + 10;
        else if (c >= u'a' && c <= u'z')
            digit = c - u'a' + 10;
        else
            break;
        if (digit >= Base)
            break;
        total = total * Base + digit;
    }
    *Value = negative ? (ULONG)(0u - total) : total;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Status conversion
// ---------------------------------------------------------------------------------------------
namespace {

struct StatusMapping {
    NTSTATUS status;
    ULONG error;
};

// The real table's entries for every status this kernel and its drivers use. Some differ from
// what the names suggest: a time-out of an I/O request is ERROR_SEM_TIMEOUT, "no media" from a
// device is ERROR_NOT_READY, and a pending delete reads as access denied.
constexpr StatusMapping kStatusMap[] = {
    {STATUS_SUCCESS, 0},
    {STATUS_TIMEOUT, 1460},                   // ERROR_TIMEOUT
    {STATUS_PENDING, 997},                    // ERROR_IO_PENDING
    {STATUS_MORE_ENTRIES, 234},               // ERROR_MORE_DATA
    {STATUS_BUFFER_OVERFLOW, 234},            // ERROR_MORE_DATA
    {STATUS_DEVICE_BUSY, 170},                // ERROR_BUSY
    {STATUS_VERIFY_REQUIRED, 1110},           // ERROR_MEDIA_CHANGED
    {STATUS_NO_MORE_ENTRIES, 259},            // ERROR_NO_MORE_ITEMS
    {STATUS_FILEMARK_DETECTED, 1101},         // ERROR_FILEMARK_DETECTED
    {STATUS_MEDIA_CHANGED, 1110},             // ERROR_MEDIA_CHANGED
    {STATUS_BUS_RESET, 1111},                 // ERROR_BUS_RESET
    {STATUS_END_OF_MEDIA, 1100},              // ERROR_END_OF_MEDIA
    {STATUS_BEGINNING_OF_MEDIA, 1102},        // ERROR_BEGINNING_OF_MEDIA
    {STATUS_SETMARK_DETECTED, 1103},          // ERROR_SETMARK_DETECTED
    {STATUS_NO_DATA_DETECTED, 1104},          // ERROR_NO_DATA_DETECTED
    {STATUS_DEVICE_REQUIRES_CLEANING, 1165},  // ERROR_DEVICE_REQUIRES_CLEANING
    {STATUS_UNSUCCESSFUL, 31},                // ERROR_GEN_FAILURE
    {STATUS_NOT_IMPLEMENTED, 1},              // ERROR_INVALID_FUNCTION
    {STATUS_INVALID_INFO_CLASS, 87},          // ERROR_INVALID_PARAMETER
    {STATUS_INFO_LENGTH_MISMATCH, 24},        // ERROR_BAD_LENGTH
    {STATUS_ACCESS_VIOLATION, 998},           // ERROR_NOACCESS
    {STATUS_INVALID_HANDLE, 6},               // ERROR_INVALID_HANDLE
    {STATUS_INVALID_PARAMETER, 87},           // ERROR_INVALID_PARAMETER
    {STATUS_NO_SUCH_DEVICE, 2},               // ERROR_FILE_NOT_FOUND
    {STATUS_NO_SUCH_FILE, 2},                 // ERROR_FILE_NOT_FOUND
    {STATUS_INVALID_DEVICE_REQUEST, 1},       // ERROR_INVALID_FUNCTION
    {STATUS_END_OF_FILE, 38},                 // ERROR_HANDLE_EOF
    {STATUS_NO_MEDIA_IN_DEVICE, 21},          // ERROR_NOT_READY
    {STATUS_UNRECOGNIZED_MEDIA, 1785},        // ERROR_UNRECOGNIZED_MEDIA
    {STATUS_NONEXISTENT_SECTOR, 27},          // ERROR_SECTOR_NOT_FOUND
    {STATUS_MORE_PROCESSING_REQUIRED, 234},   // ERROR_MORE_DATA
    {STATUS_NO_MEMORY, 8},                    // ERROR_NOT_ENOUGH_MEMORY
    {STATUS_ACCESS_DENIED, 5},                // ERROR_ACCESS_DENIED
    {STATUS_BUFFER_TOO_SMALL, 122},           // ERROR_INSUFFICIENT_BUFFER
    {STATUS_OBJECT_TYPE_MISMATCH, 6},         // ERROR_INVALID_HANDLE
    {STATUS_OBJECT_NAME_INVALID, 123},        // ERROR_INVALID_NAME
    {STATUS_OBJECT_NAME_NOT_FOUND, 2},        // ERROR_FILE_NOT_FOUND
    {STATUS_OBJECT_NAME_COLLISION, 183},      // ERROR_ALREADY_EXISTS
    {STATUS_OBJECT_PATH_INVALID, 161},        // ERROR_BAD_PATHNAME
    {STATUS_OBJECT_PATH_NOT_FOUND, 3},        // ERROR_PATH_NOT_FOUND
    {STATUS_OBJECT_PATH_SYNTAX_BAD, 161},     // ERROR_BAD_PATHNAME
    {STATUS_SHARING_VIOLATION, 32},           // ERROR_SHARING_VIOLATION
    {STATUS_SEMAPHORE_LIMIT_EXCEEDED, 298},   // ERROR_TOO_MANY_POSTS
    {STATUS_DELETE_PENDING, 5},               // ERROR_ACCESS_DENIED
    {STATUS_REVISION_MISMATCH, 1306},         // ERROR_REVISION_MISMATCH
    {STATUS_PRIVILEGE_NOT_HELD, 1314},        // ERROR_PRIVILEGE_NOT_HELD
    {STATUS_RESOURCE_DATA_NOT_FOUND, 1812},   // ERROR_RESOURCE_DATA_NOT_FOUND
    {STATUS_RESOURCE_TYPE_NOT_FOUND, 1813},   // ERROR_RESOURCE_TYPE_NOT_FOUND
    {STATUS_INTEGER_OVERFLOW, 534},           // ERROR_ARITHMETIC_OVERFLOW
    {STATUS_INSUFFICIENT_RESOURCES, 1450},    // ERROR_NO_SYSTEM_RESOURCES
    {STATUS_DEVICE_DATA_ERROR, 23},           // ERROR_CRC
    {STATUS_DEVICE_NOT_CONNECTED, 1167},      // ERROR_DEVICE_NOT_CONNECTED
    {STATUS_DEVICE_POWER_FAILURE, 21},        // ERROR_NOT_READY
    {STATUS_MEDIA_WRITE_PROTECTED, 19},       // ERROR_WRITE_PROTECT
    {STATUS_DEVICE_NOT_READY, 21},            // ERROR_NOT_READY
    {STATUS_IO_TIMEOUT, 121},                 // ERROR_SEM_TIMEOUT
    {STATUS_NOT_SUPPORTED, 50},               // ERROR_NOT_SUPPORTED
    {STATUS_DEVICE_DOES_NOT_EXIST, 55},       // ERROR_DEV_NOT_EXIST
    {STATUS_INVALID_PARAMETER_1, 87},         // ERROR_INVALID_PARAMETER
    {STATUS_INVALID_PARAMETER_2, 87},         // ERROR_INVALID_PARAMETER
    {STATUS_CANCELLED, 995},                  // ERROR_OPERATION_ABORTED
    {STATUS_CANNOT_DELETE, 5},                // ERROR_ACCESS_DENIED
    {STATUS_FILE_CLOSED, 6},                  // ERROR_INVALID_HANDLE
    {STATUS_INVALID_ADDRESS, 59},             // ERROR_UNEXP_NET_ERR
    {STATUS_INVALID_BLOCK_LENGTH, 1106},      // ERROR_INVALID_BLOCK_LENGTH
    {STATUS_KEY_DELETED, 1018},               // ERROR_KEY_DELETED
    {STATUS_CHILD_MUST_BE_VOLATILE, 1021},    // ERROR_CHILD_MUST_BE_VOLATILE
    {STATUS_DRIVER_INTERNAL_ERROR, 1117},     // ERROR_IO_DEVICE
    {STATUS_INVALID_DEVICE_STATE, 22},        // ERROR_BAD_COMMAND
    {STATUS_IO_DEVICE_ERROR, 1117},           // ERROR_IO_DEVICE
    {STATUS_DEVICE_PROTOCOL_ERROR, 1117},     // ERROR_IO_DEVICE
    {STATUS_INVALID_BUFFER_SIZE, 1784},       // ERROR_INVALID_USER_BUFFER
    {STATUS_CONNECTION_DISCONNECTED, 64},     // ERROR_NETNAME_DELETED
    {STATUS_CONNECTION_RESET, 64},            // ERROR_NETNAME_DELETED
    {STATUS_CONNECTION_REFUSED, 1225},        // ERROR_CONNECTION_REFUSED
    {STATUS_HOST_UNREACHABLE, 1232},          // ERROR_HOST_UNREACHABLE
};

constexpr ULONG kErrorMrMidNotFound = 317;

} // namespace

extern "C" ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status)
{
    for (const StatusMapping &m : kStatusMap)
        if (m.status == Status)
            return m.error;
    ULONG value = (ULONG)Status;
    // Customer-defined codes (bit 29) are passed through unchanged, as the real routine does.
    if (value & 0x20000000)
        return value;
    // A Win32 error carried as an NTSTATUS (FACILITY_WIN32 / HRESULT_FROM_WIN32) maps back to it.
    if ((value >> 16) == 0xC007 || (value >> 16) == 0x8007)
        return value & 0xFFFF;
    return kErrorMrMidNotFound;
}

// ---------------------------------------------------------------------------------------------
// UTF-8 <-> UTF-16 for host code
// ---------------------------------------------------------------------------------------------
namespace hk {

// Malformed UTF-8 becomes U+FFFD per bad byte, so that every input converts.
std::u16string Utf16(const std::string &utf8)
{
    std::u16string out;
    out.reserve(utf8.size());
    size_t i = 0, n = utf8.size();
    while (i < n) {
        unsigned char c = (unsigned char)utf8[i];
        uint32_t cp;
        size_t len;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            len = 4;
        } else {
            out.push_back(0xFFFD);
            i++;
            continue;
        }
        bool ok = i + len <= n;
        for (size_t k = 1; ok && k < len; k++) {
            unsigned char cc = (unsigned char)utf8[i + k];
            if ((cc & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (cc & 0x3F);
        }
        static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
            ok = false;
        if (!ok) {
            out.push_back(0xFFFD);
            i++;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back((char16_t)(0xD800 + (cp >> 10)));
            out.push_back((char16_t)(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back((char16_t)cp);
        }
        i += len;
    }
    return out;
}

// Unpaired surrogates become U+FFFD.
std::string Utf8(const std::u16string &utf16)
{
    std::string out;
    out.reserve(utf16.size());
    for (size_t i = 0; i < utf16.size(); i++) {
        uint32_t cp = utf16[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            i++;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back((char)cp);
        } else if (cp < 0x800) {
            out.push_back((char)(0xC0 | (cp >> 6)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back((char)(0xE0 | (cp >> 12)));
            out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        } else {
            out.push_back((char)(0xF0 | (cp >> 18)));
            out.push_back((char)(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::string Utf8(const UNICODE_STRING &s)
{
    if (!s.Buffer)
        return {};
    return Utf8(std::u16string((const char16_t *)s.Buffer, s.Length / sizeof(WCHAR)));
}

} // namespace hk
