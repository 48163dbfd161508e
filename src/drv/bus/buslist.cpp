// The generic SortedList. (Being written.)
#include "bus.h"

NTSTATUS SortedListInsert(PVOID *Head, PVOID Node, const SortedListKey *Keys, ULONG KeyCount, BOOLEAN RefuseDuplicates,
                          BOOLEAN *Inserted)
{
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS SortedListRemove(PVOID *Head, PVOID Node, const SortedListKey *Keys, ULONG KeyCount, ULONG FreeTag)
{
    return STATUS_NOT_IMPLEMENTED;
}
