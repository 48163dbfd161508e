// Definitions shared by the path filter and the bus enumerator: Plug and Play states of a path,
// pool tags, and the names that differ between the tape and the changer build.
#pragma once

#include "kernel.h"

// Plug and Play state of a path, as the filter reports it to the bus.
enum DevicePnpState : ULONG {
    PNP_ABSENT = 0,
    PNP_NOT_STARTED = 1,
    PNP_STARTED = 2,
    PNP_REMOVE_PENDING = 3,
    PNP_SURPRISE_REMOVE = 4,
    PNP_STOP_PENDING = 5,
    PNP_STOPPED = 6,
};
static_assert(sizeof(DevicePnpState) == 4, "the state travels as a u32");

// Pool tags read as four characters in a pool dump ("BUSd" is stored as 'B','U','S','d').
constexpr ULONG VyrPoolTag(const char (&t)[5])
{
    return (ULONG)(UCHAR)t[0] | ((ULONG)(UCHAR)t[1] << 8) | ((ULONG)(UCHAR)t[2] << 16) | ((ULONG)(UCHAR)t[3] << 24);
}

constexpr ULONG VYR_TAG_BUS_EVENT = VyrPoolTag("BUSd");       // event-log scratch record
constexpr ULONG VYR_TAG_BUS_QUERY = VyrPoolTag("BUSc");       // path query reply
constexpr ULONG VYR_TAG_BUS_STATUS_TABLE = VyrPoolTag("BUSh"); // further StatusStructTable blocks
constexpr ULONG VYR_TAG_LIST = VyrPoolTag("LIST");
constexpr ULONG VYR_TAG_FILTER = VyrPoolTag("FLTR");
