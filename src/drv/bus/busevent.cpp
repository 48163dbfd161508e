// The bus enumerator's entries in the system event log. The texts live in the image's message
// table; an entry carries the event id and up to two insertion strings (%2 and %3).
#include "bus.h"

namespace {

// The writer's scratch record: the event id, then the insertion strings one after the other,
// each NUL-terminated; the list ends at the first empty string.
struct EventRecord {
    NTSTATUS ulEventId;
    WCHAR szStrings[118];
};
static_assert(sizeof(EventRecord) == 240, "event scratch record is 240 bytes");
static_assert(FIELD_OFFSET(EventRecord, szStrings) == 4, "strings follow the id");

constexpr ULONG EVENT_ENTRY_SIZE = 240;
constexpr USHORT EVENT_STRING_OFFSET = 40;

// Copies Source into Dest (Count characters of room) with its terminator; returns the characters
// written without the terminator. A string that does not fit is cut, never overrun.
size_t CopyString(WCHAR *Dest, size_t Count, PCWSTR Source)
{
    if (Count == 0)
        return 0;
    int written = _snwprintf(Dest, Count, L"%s", Source);
    if (written < 0 || (size_t)written >= Count) {
        Dest[Count - 1] = 0;
        return Count - 1;
    }
    return (size_t)written;
}

} // namespace

void BusFormatStatus(WCHAR *Buffer, size_t Count, NTSTATUS Status)
{
    _snwprintf(Buffer, Count, L"0x%08x", (ULONG)Status);
    Buffer[Count - 1] = 0;
}

/*++
Routine Description:
    Writes one event to the system event log through the kernel's error-log interface.
Arguments:
    IoObject - the driver object or the device object the event is about.
    Irp - the request being handled, or NULL; supplies the major function code.
    EventId - the message id of the event.
    String1, String2 - insertion strings %2 and %3, or NULL.
Return Value:
    STATUS_SUCCESS, or why the event could not be written (callers go on either way).
--*/
NTSTATUS LogBusEvent(PVOID IoObject, PIRP Irp, NTSTATUS EventId, PCWSTR String1, PCWSTR String2)
{
    auto *record = (EventRecord *)ExAllocatePoolWithTag(NonPagedPool, sizeof(EventRecord), VYR_TAG_BUS_EVENT);
    if (!record)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(record, sizeof(EventRecord));
    record->ulEventId = EventId;
    // The last character stays 0 so that the list always ends with an empty string.
    const size_t room = RTL_NUMBER_OF(record->szStrings) - 1;
    size_t used = 0;
    if (String1)
        used = CopyString(record->szStrings, room, String1) + 1;
    if (String2 && used < room)
        CopyString(record->szStrings + used, room - used, String2);

    NTSTATUS status = STATUS_SUCCESS;
    PIO_ERROR_LOG_PACKET entry = nullptr;
    if (Irp && Irp->CurrentLocation > Irp->StackCount) {
        status = STATUS_INVALID_PARAMETER;
        goto End;
    }
    entry = (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(IoObject, (UCHAR)EVENT_ENTRY_SIZE);
    if (!entry) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto End;
    }
    RtlZeroMemory(entry, EVENT_ENTRY_SIZE);
    {
        // Count the strings and copy their units, terminators included, up to the first empty one.
        USHORT strings = 0;
        ULONG units = 0;
        const WCHAR *p = record->szStrings;
        auto *dest = (WCHAR *)((PUCHAR)entry + EVENT_STRING_OFFSET);
        const ULONG capacity = (EVENT_ENTRY_SIZE - EVENT_STRING_OFFSET) / sizeof(WCHAR);
        while (*p) {
            do {
                if (units >= capacity) {
                    IoFreeErrorLogEntry(entry);
                    status = STATUS_INSUFFICIENT_RESOURCES;
                    goto End;
                }
                dest[units++] = *p;
            } while (*p++);
            strings++;
        }
        entry->MajorFunctionCode = Irp ? IoGetCurrentIrpStackLocation(Irp)->MajorFunction : 0;
        entry->NumberOfStrings = strings;
        entry->StringOffset = EVENT_STRING_OFFSET;
        entry->ErrorCode = EventId;
        IoWriteErrorLogEntry(entry);
    }

End:
    ExFreePoolWithTag(record, VYR_TAG_BUS_EVENT);
    return status;
}
