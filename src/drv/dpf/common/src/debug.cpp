// The path filter's debug trace: line formats, bounded append, name tables.
#include "debug.h"

#if defined(_WIN32)
// ntoskrnl's bounded formatter: writes at most `count` characters and returns -1 when the output
// did not fit (no terminator then).
extern "C" int __cdecl _vsnprintf(char *buffer, size_t count, const char *format, va_list args);
#else
// The host kernel's formatter (the engine behind its DbgPrint, with the same conversions as
// ntoskrnl's): writes at most `count` characters and returns the length of the whole output. Used
// directly so that this unit, which host tests also link, needs no driver-side C runtime.
extern "C" int HkFormatNarrow(char *buffer, size_t count, const char *format, va_list args);
#endif

namespace {

// Shared by every thread of the driver; only ever changed atomically, so each line carries the
// depth its own change produced.
LONG volatile g_depth = 0;

// Formats into `room` bytes at `dest` (room >= 1), always terminated. Returns FALSE when the
// output had to be cut.
BOOLEAN CmnpFormatBounded(char *dest, size_t room, const char *format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
#if defined(_WIN32)
    int n = _vsnprintf(dest, room - 1, format, copy);
    va_end(copy);
    dest[room - 1] = 0;
    return n >= 0 && (size_t)n <= room - 1;
#else
    int n = HkFormatNarrow(dest, room - 1, format, copy);
    va_end(copy);
    size_t written = n < 0 ? 0 : ((size_t)n < room - 1 ? (size_t)n : room - 1);
    dest[written] = 0;
    return n >= 0 && (size_t)n <= room - 1;
#endif
}

// The text after the last path separator (the whole path when there is none). Both separators
// count: the cross compiler and the host compiler spell __FILE__ with forward slashes, and a
// full build path would crowd the message out of the 256-byte line.
const char *CmnpFileComponent(const char *path)
{
    if (!path)
        return "";
    const char *end = path;
    while (*end)
        end++;
    const char *p = end;
    while (p > path && p[-1] != '\\' && p[-1] != '/')
        p--;
    return p;
}

NTSTATUS CmnpAppend(char *buffer, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    NTSTATUS status = CmnTraceAppend(buffer, format, args);
    va_end(args);
    return status;
}

enum class TraceKind { Entry, Exit, Inside };

void CmnpTrace(TraceKind kind, const char *file, int line, const char *format, va_list args)
{
    // One buffer per call: concurrent routines each build and emit their own line.
    char szDbgBuf[DEBUG_BUFFER_SIZE] = {};
    const char *name = CmnpFileComponent(file);

    switch (kind) {
    case TraceKind::Entry: {
        LONG before = InterlockedIncrement(&g_depth) - 1;
        // The arrow keeps its width while the depths grow from one digit to two.
        const char *prefix = before <= 8   ? VYR_TRACE_PREFIX ": ENT: %d -> %d: %s, %d: "
                             : before == 9 ? VYR_TRACE_PREFIX ": ENT: %d ->%d: %s, %d: "
                                           : VYR_TRACE_PREFIX ": ENT: %d->%d: %s, %d: ";
        CmnpAppend(szDbgBuf, prefix, (int)before, (int)(before + 1), name, line);
        break;
    }
    case TraceKind::Exit: {
        LONG before = InterlockedDecrement(&g_depth) + 1;
        const char *prefix = before <= 9    ? VYR_TRACE_PREFIX ": EXT: %d -> %d: %s, %d: "
                             : before == 10 ? VYR_TRACE_PREFIX ": EXT: %d-> %d: %s, %d: "
                                            : VYR_TRACE_PREFIX ": EXT: %d->%d: %s, %d: ";
        CmnpAppend(szDbgBuf, prefix, (int)before, (int)(before - 1), name, line);
        break;
    }
    case TraceKind::Inside:
        CmnpAppend(szDbgBuf, VYR_TRACE_PREFIX ": DBG:         %s, %d: ", name, line);
        break;
    }
    CmnTraceAppend(szDbgBuf, format, args);
    DbgPrint("%s", szDbgBuf);
}

const char *const kPnpMinorNames[] = {
    "IRP_MN_START_DEVICE",
    "IRP_MN_QUERY_REMOVE_DEVICE",
    "IRP_MN_REMOVE_DEVICE",
    "IRP_MN_CANCEL_REMOVE_DEVICE",
    "IRP_MN_STOP_DEVICE",
    "IRP_MN_QUERY_STOP_DEVICE",
    "IRP_MN_CANCEL_STOP_DEVICE",
    "IRP_MN_QUERY_DEVICE_RELATIONS",
    "IRP_MN_QUERY_INTERFACE",
    "IRP_MN_QUERY_CAPABILITIES",
    "IRP_MN_QUERY_RESOURCES",
    "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
    "IRP_MN_QUERY_DEVICE_TEXT",
    "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
    "IRP_MN_VALUE UNKNOWN",
    "IRP_MN_READ_CONFIG",
    "IRP_MN_WRITE_CONFIG",
    "IRP_MN_EJECT",
    "IRP_MN_SET_LOCK",
    "IRP_MN_QUERY_ID",
    "IRP_MN_QUERY_PNP_DEVICE_STATE",
    "IRP_MN_QUERY_BUS_INFORMATION",
    "IRP_MN_DEVICE_USAGE_NOTIFICATION",
    "IRP_MN_SURPRISE_REMOVAL",
    "IRP_MN_QUERY_LEGACY_BUS_INFORMATION",
};
static_assert(sizeof(kPnpMinorNames) / sizeof(kPnpMinorNames[0]) == 0x19, "PnP names cover 0 to 0x18");

const char *const kPowerMinorNames[] = {
    "IRP_MN_WAIT_WAKE",
    "IRP_MN_POWER_SEQUENCE",
    "IRP_MN_SET_POWER",
    "IRP_MN_QUERY_POWER",
};

} // namespace

NTSTATUS CmnTraceAppend(char *szDbgBuf, const char *format, va_list args)
{
    char *szBufPtr = szDbgBuf;
    while (szBufPtr - szDbgBuf < DEBUG_BUFFER_SIZE && *szBufPtr)
        szBufPtr++;
    ASSERT(szBufPtr - szDbgBuf < DEBUG_BUFFER_SIZE);

    size_t room = DEBUG_BUFFER_SIZE - (size_t)(szBufPtr - szDbgBuf);
    NTSTATUS iRC;
    if (room == 0 || room > 0x7FFFFFFF)
        iRC = STATUS_INVALID_PARAMETER;
    else
        iRC = CmnpFormatBounded(szBufPtr, room, format, args) ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    ASSERT(NT_SUCCESS(iRC) || iRC == STATUS_BUFFER_OVERFLOW);
    return iRC;
}

void CmnTraceEntry(const char *file, int line, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    CmnpTrace(TraceKind::Entry, file, line, format, args);
    va_end(args);
}

void CmnTraceExit(const char *file, int line, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    CmnpTrace(TraceKind::Exit, file, line, format, args);
    va_end(args);
}

void CmnTraceInside(const char *file, int line, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    CmnpTrace(TraceKind::Inside, file, line, format, args);
    va_end(args);
}

void CmnTraceFailure(const char *file, int line, const char *operation, NTSTATUS status)
{
    CmnTraceInside(file, line, "%s failed with RC = 0x%08x\n", operation, (unsigned)status);
}

void CmnTraceNull(const char *file, int line, const char *pointer)
{
    CmnTraceInside(file, line, "%s == NULL.\n", pointer);
}

LONG CmnTraceDepth()
{
    return InterlockedCompareExchange(&g_depth, 0, 0);
}

const char *CmnPnpMinorName(ULONG minor)
{
    return minor < sizeof(kPnpMinorNames) / sizeof(kPnpMinorNames[0]) ? kPnpMinorNames[minor] : "???";
}

const char *CmnPowerMinorName(ULONG minor)
{
    return minor < sizeof(kPowerMinorNames) / sizeof(kPowerMinorNames[0]) ? kPowerMinorNames[minor] : "???";
}

const char *CmnStatusName(NTSTATUS status)
{
    switch ((ULONG)status) {
    case 1: return "STATUS_WAIT_1";
    case 2: return "STATUS_WAIT_2";
    case 3: return "STATUS_WAIT_3";
    case 0x103: return "STATUS_PENDING";
    default: return "???";
    }
}

const char *CmnBooleanName(BOOLEAN value)
{
    return value ? "TRUE" : "FALSE";
}
