// The one header through which driver code reaches the kernel.
//
// Windows face: the real DDK headers of mingw-w64. Host face: the same declarations, implemented
// in user mode by the host kernel (src/drv/platform/host). Driver code is written once, in the
// WDM dialect, and builds unchanged for both.
#pragma once

#if defined(_WIN32)

// mingw-w64's intrin-impl.h and wdm.h both define these two; keep wdm.h's.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <ntddtape.h>
#include <ntddscsi.h>
#include <ntddstor.h>
#include <ntddchgr.h>

// Code sections for pageable routines do not exist under mingw; the check stays.
#define VYR_PAGED_CODE() PAGED_CODE()

#else

#include "hk/nt.h"

#define VYR_PAGED_CODE() PAGED_CODE()

#endif

// Driver entry has C linkage in both faces: the loader looks it up by name.
#define VYR_DRIVER_ENTRY extern "C" NTSTATUS NTAPI DriverEntry
