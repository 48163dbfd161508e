// The StatusStructTable: a chain of 1040-byte blocks through which the bus, the path filter and
// the class driver find the per-request ScsiStatus block of a request in flight. The first block
// is the bus driver's driver-object extension.
#pragma once

#include "kernel.h"

// Client identifier of the bus driver's driver-object extension (the first table block).
#if defined(VYR_BUILD_CHANGER) && VYR_BUILD_CHANGER
#define VYR_STATUS_TABLE_CLIENT_ID ((PVOID)(ULONG_PTR)0x43504600)
#else
#define VYR_STATUS_TABLE_CLIENT_ID ((PVOID)(ULONG_PTR)0x44504600)
#endif

constexpr ULONG VYR_STATUS_TABLE_SLOTS = 63;

struct StatusTableSlot {
    ULONG64 pIrp;        // the request in flight (IRP pointer)
    ULONG64 pScsiStatus; // its ScsiStatus block
};
static_assert(sizeof(StatusTableSlot) == 16, "slot layout");

struct StatusStructBlock {
    StatusTableSlot Slots[VYR_STATUS_TABLE_SLOTS]; // 0..1007
    ULONG64 ulOccupancy;                           // 1008: bit i = slot i in use
    UCHAR Reserved[8];                             // 1016
    KSPIN_LOCK Lock;                               // 1024: guards the whole chain (first block's only)
    ULONG64 pNext;                                 // 1032: next block or 0
};
static_assert(sizeof(StatusStructBlock) == 1040, "a table block is 1040 bytes");
static_assert(FIELD_OFFSET(StatusStructBlock, ulOccupancy) == 1008, "occupancy bitmap offset");
static_assert(FIELD_OFFSET(StatusStructBlock, Lock) == 1024, "table lock offset");
static_assert(FIELD_OFFSET(StatusStructBlock, pNext) == 1032, "next-block offset");
