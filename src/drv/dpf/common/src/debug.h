// Debug trace of the path filter builds: one DbgPrint line for every entry into and exit from a
// routine, with the call nesting depth and the source position, and lines for points of interest.
//
// Every line is built in a buffer on the caller's stack and handed to DbgPrint in one call, and
// the depth changes atomically: routines that run at the same time never mix their lines, and
// tracing allocates nothing. The interface takes narrow text only, so that host tests (built
// without 16-bit wide characters) can call it directly.
#pragma once

#include "kernel.h"

#define DEBUG_BUFFER_SIZE 256

// The changer build writes its own prefix; everything else is shared.
#if defined(VYR_BUILD_CHANGER) && VYR_BUILD_CHANGER
#define VYR_TRACE_PREFIX "VYRCgrFlt"
#else
#define VYR_TRACE_PREFIX "VYRTpFlt"
#endif

// Entry, exit and inside lines. `file` is a source path (only its last component is printed),
// `line` the source line of the trace point. Callable at any IRQL at which DbgPrint is.
void CmnTraceEntry(const char *file, int line, const char *format, ...) __attribute__((format(printf, 3, 4)));
void CmnTraceExit(const char *file, int line, const char *format, ...) __attribute__((format(printf, 3, 4)));
void CmnTraceInside(const char *file, int line, const char *format, ...) __attribute__((format(printf, 3, 4)));

// The two standard inside lines: "<operation> failed with RC = 0x%08x" and "<pointer> == NULL.".
// `operation` names the calling routine and the operation ("FltIrpMnStartDevice: CmnSendIrpSync").
void CmnTraceFailure(const char *file, int line, const char *operation, NTSTATUS status);
void CmnTraceNull(const char *file, int line, const char *pointer);

// Bounded formatting onto the end of the text in `buffer` (DEBUG_BUFFER_SIZE bytes, terminated):
// STATUS_SUCCESS, STATUS_BUFFER_OVERFLOW when the output was cut to fit (still terminated), or
// STATUS_INVALID_PARAMETER when no room is left at all.
NTSTATUS CmnTraceAppend(char *buffer, const char *format, va_list args);

// The current nesting depth (number of traced routines entered and not yet left).
LONG CmnTraceDepth();

// Name tables for trace lines; a code beyond a table gives "???".
const char *CmnPnpMinorName(ULONG minor);
const char *CmnPowerMinorName(ULONG minor);
const char *CmnStatusName(NTSTATUS status);
const char *CmnBooleanName(BOOLEAN value);

// Trace points in driver code carry their own source position.
#define FLT_TRACE_ENTRY(...) CmnTraceEntry(__FILE__, __LINE__, __VA_ARGS__)
#define FLT_TRACE_EXIT(...) CmnTraceExit(__FILE__, __LINE__, __VA_ARGS__)
#define FLT_TRACE(...) CmnTraceInside(__FILE__, __LINE__, __VA_ARGS__)
#define FLT_TRACE_FAILURE(operation, status) CmnTraceFailure(__FILE__, __LINE__, (operation), (status))
#define FLT_TRACE_NULL(pointer) CmnTraceNull(__FILE__, __LINE__, (pointer))
