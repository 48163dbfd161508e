// The one header through which driver code reaches the kernel.
//
// Windows face: the real DDK headers of mingw-w64. Host face: the same declarations, implemented
// in user mode by the host kernel (src/drv/platform/host). Driver code is written once, in the
// WDM dialect, and builds unchanged for both.
#pragma once

#if defined(_WIN32) && defined(VYR_WIN32_USER_MODE)

// Win32 programs (test programs only) that share the records and control codes of vyr/*.h with
// the drivers: the user-mode headers give the same types, so every record keeps one definition
// and its layout checks. No kernel routine is reachable from here.
#include <windows.h>
#include <winioctl.h>
#include <ntddstor.h>
// mingw-w64's user-mode ntddtape.h declares again an enum its winnt.h already has: its declarations
// go into a namespace of their own, and its control codes (macros) come out as they are.
namespace vyr_mingw_ntddtape {
#include <ntddtape.h>
}
typedef LONG NTSTATUS;

#elif defined(_WIN32)

// mingw-w64's intrin-impl.h and wdm.h both define these two; keep wdm.h's.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <ntddtape.h>
#include "taperecords.h"
#include <ntddscsi.h>
#include <ntddstor.h>
#include <ntddchgr.h>

// mingw-w64's wdm.h declares the exported object types dllimport, so that *PsThreadType reads the
// type's first field instead of the type: reach them through their import slots.
extern "C" POBJECT_TYPE *__imp_PsThreadType, *__imp_IoFileObjectType;
#define PsThreadType __imp_PsThreadType
#define IoFileObjectType __imp_IoFileObjectType

// Code sections for pageable routines do not exist under mingw; the check stays.
#define VYR_PAGED_CODE() PAGED_CODE()

// Kernels since 8.1 want a type check with direct registry queries; older ones ignore the bit.
#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#endif

// The C runtime routines ntoskrnl exports (declared here so that no user-mode C library header,
// with its different prototypes and helper libraries, is pulled into a kernel image).
extern "C" {
int __cdecl _snwprintf(wchar_t *buffer, size_t count, const wchar_t *format, ...);
int __cdecl _snprintf(char *buffer, size_t count, const char *format, ...);
}

#else

#include "hk/nt.h"

#define VYR_PAGED_CODE() PAGED_CODE()

#endif

// Driver entry has C linkage in both faces: the loader looks it up by name.
#define VYR_DRIVER_ENTRY extern "C" NTSTATUS NTAPI DriverEntry
