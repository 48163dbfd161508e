// The generic SortedList: a singly linked list whose nodes start with their next pointer, kept in
// ascending order of one or more keys found at fixed offsets inside the nodes.
#include "bus.h"

namespace {

struct ListNode {
    ListNode *pNext;
};

bool SortedKeyKindValid(ULONG kind)
{
    switch (kind) {
    case SORTED_KEY_S32:
    case SORTED_KEY_S8:
    case SORTED_KEY_S32_ALT:
    case SORTED_KEY_U64:
    case SORTED_KEY_STRING:
        return true;
    default:
        return false;
    }
}

bool SortedKeysValid(const SortedListKey *keys, ULONG count)
{
    for (ULONG i = 0; i < count; i++)
        if (!SortedKeyKindValid(keys[i].ulKind))
            return false;
    return true;
}

template <class T> int CompareValues(const void *a, const void *b)
{
    T x, y;
    RtlCopyMemory(&x, a, sizeof x); // keys need not be aligned inside a node
    RtlCopyMemory(&y, b, sizeof y);
    return x < y ? -1 : (x > y ? 1 : 0);
}

int CompareStrings(const UCHAR *a, const UCHAR *b)
{
    while (*a && *a == *b) {
        a++;
        b++;
    }
    return *a < *b ? -1 : (*a > *b ? 1 : 0);
}

// <0, 0, >0 as node a sorts before, equal to or after node b in all keys, the first key first.
int SortedCompare(const void *a, const void *b, const SortedListKey *keys, ULONG count)
{
    for (ULONG i = 0; i < count; i++) {
        const UCHAR *ka = (const UCHAR *)a + keys[i].ulOffset;
        const UCHAR *kb = (const UCHAR *)b + keys[i].ulOffset;
        int result = 0;
        switch (keys[i].ulKind) {
        case SORTED_KEY_S32:
        case SORTED_KEY_S32_ALT:
            result = CompareValues<LONG>(ka, kb);
            break;
        case SORTED_KEY_S8:
            result = CompareValues<signed char>(ka, kb);
            break;
        case SORTED_KEY_U64:
            result = CompareValues<ULONG64>(ka, kb);
            break;
        case SORTED_KEY_STRING:
            result = CompareStrings(ka, kb);
            break;
        }
        if (result)
            return result;
    }
    return 0;
}

} // namespace

/*++
Routine Description:
    Inserts Node after every node that sorts before or equal to it, so that nodes equal in all
    keys keep their insertion order. The key descriptors are copied for the call.
Return Value:
    STATUS_SUCCESS (with *Inserted FALSE when a duplicate was refused), STATUS_INVALID_PARAMETER
    for an unknown key kind, STATUS_INSUFFICIENT_RESOURCES when the descriptor copy fails.
--*/
NTSTATUS SortedListInsert(PVOID *Head, PVOID Node, const SortedListKey *Keys, ULONG KeyCount, BOOLEAN RefuseDuplicates,
                          BOOLEAN *Inserted)
{
    if (Inserted)
        *Inserted = FALSE;
    if (!Head || !Node || (KeyCount && !Keys))
        return STATUS_INVALID_PARAMETER;
    if (!SortedKeysValid(Keys, KeyCount))
        return STATUS_INVALID_PARAMETER;

    SortedListKey *keys = nullptr;
    if (KeyCount) {
        keys = (SortedListKey *)ExAllocatePoolWithTag(NonPagedPool, KeyCount * sizeof(SortedListKey), VYR_TAG_LIST);
        if (!keys)
            return STATUS_INSUFFICIENT_RESOURCES;
        RtlCopyMemory(keys, Keys, KeyCount * sizeof(SortedListKey));
    }

    auto **link = (ListNode **)Head;
    bool duplicate = false;
    while (*link) {
        int order = SortedCompare(*link, Node, keys, KeyCount);
        if (order > 0)
            break;
        if (order == 0)
            duplicate = true;
        link = &(*link)->pNext;
    }
    if (!(duplicate && RefuseDuplicates)) {
        ((ListNode *)Node)->pNext = *link;
        *link = (ListNode *)Node;
        if (Inserted)
            *Inserted = TRUE;
    }
    if (keys)
        ExFreePoolWithTag(keys, VYR_TAG_LIST);
    return STATUS_SUCCESS;
}

/*++
Routine Description:
    Unlinks and frees the first node equal in all keys to Node, or the whole list when Node is
    NULL. Works on the caller's descriptors: removal happens on teardown paths that must not fail
    for lack of memory.
--*/
NTSTATUS SortedListRemove(PVOID *Head, PVOID Node, const SortedListKey *Keys, ULONG KeyCount, ULONG FreeTag)
{
    if (!Head || (KeyCount && !Keys))
        return STATUS_INVALID_PARAMETER;
    if (!Node) {
        auto *node = (ListNode *)*Head;
        *Head = nullptr;
        while (node) {
            ListNode *next = node->pNext;
            ExFreePoolWithTag(node, FreeTag);
            node = next;
        }
        return STATUS_SUCCESS;
    }
    if (!SortedKeysValid(Keys, KeyCount))
        return STATUS_INVALID_PARAMETER;

    for (auto **link = (ListNode **)Head; *link; link = &(*link)->pNext) {
        int order = SortedCompare(*link, Node, Keys, KeyCount);
        if (order > 0)
            break; // ascending: no equal node further on
        if (order == 0) {
            ListNode *found = *link;
            *link = found->pNext;
            ExFreePoolWithTag(found, FreeTag);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NOT_FOUND;
}
