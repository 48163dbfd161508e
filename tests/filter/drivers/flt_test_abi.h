// What the path filter tests share with their two test drivers:
//   flt_fakebus - a root device that takes the bus enumerator's place: it creates the bus control
//                 device \Device\VYRTpBsDvc, records every registration and notification it
//                 receives, answers with the statuses the test chooses, owns a StatusStructTable
//                 and sends requests down a path with a ScsiStatus block (FakeBusSend);
//   flt_shim    - an upper filter between the class driver and the path filter: it logs what the
//                 path filter passes down and fails or holds what the test asks it to.
// Both use the one FltTestState that the fake bus exports (the shim finds it through the bus
// control device's extension), so that one log orders the events of both.
#pragma once

#include "vyr/statustable.h"
#include "vyr/tpbus.h"

enum FltTestEventKind : ULONG {
    FLT_EV_REGISTER = 1, // bus: IOCTL_TPBUS_REGISTER_PATH (value = index into registrations)
    FLT_EV_NOTIFY = 2,   // bus: IOCTL_TPBUS_NOTIFY_PATH (code = operation, value = state or open/close)
    FLT_EV_PNP = 3,      // shim: a PnP request passed down by the path filter (code = minor function)
    FLT_EV_REQUEST = 4,  // shim: another request (code = major function, value = control code)
};

struct FltTestEvent {
    ULONG kind;
    ULONG code;
    ULONG value;
    ULONG pad;
    ULONG64 device; // bus: the path device of the record; shim: the shim's own device
};

constexpr ULONG kFltTestMaxEvents = 1024;
constexpr ULONG kFltTestMaxRegistrations = 32;

// What the shim saw of the table while IOC_SET_STATUS_TABLE passed it.
struct FltHandOverSnapshot {
    ULONG64 table;
    ULONG64 occupancy;
    ULONG64 slot0Status;
    ULONG64 slot1Status;
    ULONG numberInSlot0;
};

typedef void FltNotifyHook(const PathNotification *notification);

struct FltTestState {
    // Statuses the fake bus answers.
    NTSTATUS registerStatus;
    ULONG deviceNumber;
    NTSTATUS stateStatus[8]; // per new PnP state of a state-change notice
    NTSTATUS openStatus;     // IO_OPEN_REQ
    NTSTATUS closeStatus;    // IO_CLOSE_REQ
    FltNotifyHook *hook;     // called with every notification before it is answered

    // What the shim does.
    ULONG failCode;          // a control code the shim completes with failCodeStatus
    NTSTATUS failCodeStatus;
    NTSTATUS failStartStatus; // nonzero: IRP_MN_START_DEVICE is completed with it, not passed down
    NTSTATUS failCreateStatus; // nonzero: IRP_MJ_CREATE is completed with it
    ULONG holdCode;          // a control code the shim keeps until the test releases it
    PIRP volatile held;
    KEVENT heldEvent;        // set when a request is held
    KEVENT releaseEvent;     // the test sets it: the held request goes down
    volatile LONG heldDone;  // the held request came back from below
    volatile LONG handOvers;
    FltHandOverSnapshot handOver;

    // What the fake bus and the shim saw.
    volatile LONG registrationCount;
    PathRegistration registrations[kFltTestMaxRegistrations];
    ULONG registrationInLength[kFltTestMaxRegistrations];
    volatile LONG eventCount;
    FltTestEvent events[kFltTestMaxEvents];

    // The fake bus's StatusStructTable (one block: the test needs no more).
    StatusStructBlock table;
};

inline void FltTestRecord(FltTestState *state, ULONG kind, ULONG code, ULONG value, ULONG64 device)
{
    LONG index = InterlockedIncrement(&state->eventCount) - 1;
    if (index >= (LONG)kFltTestMaxEvents)
        return;
    FltTestEvent *e = &state->events[index];
    e->kind = kind;
    e->code = code;
    e->value = value;
    e->device = device;
}

// The fake bus's request sender: builds a request of `major` (IRP_MJ_DEVICE_CONTROL: `code` with an
// 8-byte buffered output; IRP_MJ_READ: `code` bytes into a buffer of the bus), puts it into slot 2
// of the table with `block` (none when null), sends it to `path`, waits for it and takes it out of
// the table again. Returns the request's final status.
typedef NTSTATUS FakeBusSendFn(PDEVICE_OBJECT path, UCHAR major, ULONG code, ScsiStatus *block);
