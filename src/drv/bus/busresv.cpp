// Reservations across paths (the tape build: changers hold none).
//
// A drive reserved through one path refuses commands that arrive through another. The bus keeps,
// per logical device, the path over which the reservation state was last established and the key
// the host reserves with, and hands both to the path filter with every request that goes over a
// different path; the filter has the class driver re-establish the reservation there before the
// request runs. The bus builds no reservation commands itself: it follows the reservation
// requests applications send, and tells the class driver of key changes with
// IOC_SET_RESERVATION_KEY.
//
// All of it runs inside the send-over-a-path handler, one request at a time per logical device,
// so the fields it changes need no lock.
#include "bus.h"


namespace {

// The class driver's key-setting request, which applications send through the bus.
constexpr ULONG BUS_IOCTL_SET_HOST_KEY = 0x8400C044;

// PERSISTENT_RESERVE_COMMAND of IOCTL_STORAGE_PERSISTENT_RESERVE_OUT: the service action in the
// low 5 bits of byte 8, the parameter list from byte 10 (reservation key, then service action
// reservation key).
constexpr ULONG BUS_PR_COMMAND_ACTION = 8;
constexpr ULONG BUS_PR_COMMAND_LIST = 10;

// PERSISTENT RESERVE OUT parameter list.
constexpr ULONG BUS_PR_LIST_KEY = 0;
constexpr ULONG BUS_PR_LIST_ACTION_KEY = 8;
constexpr ULONG BUS_PR_LIST_KEYS_SIZE = 16;

constexpr UCHAR BUS_PR_ACTION_MASK = 0x1F;
constexpr UCHAR BUS_PR_REGISTER = 0;
constexpr UCHAR BUS_PR_RESERVE = 1;
constexpr UCHAR BUS_PR_PREEMPT = 4;
constexpr UCHAR BUS_PR_PREEMPT_ABORT = 5;

constexpr UCHAR BUS_SCSIOP_RESERVE6 = 0x16;
constexpr UCHAR BUS_SCSIOP_PR_OUT = 0x5F;

constexpr ULONG BUS_KEY_SIZE = 8;
constexpr ULONG BUS_REPORT_CHARS = 16; // host key and WWPN in the ScsiStatus block

static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH, DataIn) == 8 && FIELD_OFFSET(SCSI_PASS_THROUGH, DataTransferLength) == 12 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, DataBufferOffset) == 24 && FIELD_OFFSET(SCSI_PASS_THROUGH, Cdb) == 36 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 24 && sizeof(SCSI_PASS_THROUGH) == 56,
              "native pass-through layout");
static_assert(FIELD_OFFSET(ScsiStatus, szWwpn) == 30 && FIELD_OFFSET(ScsiStatus, szHostKey) == 62 &&
                  sizeof(((ScsiStatus *)nullptr)->szWwpn) == BUS_REPORT_CHARS &&
                  sizeof(((ScsiStatus *)nullptr)->szHostKey) == BUS_REPORT_CHARS,
              "reservation report of the ScsiStatus block");

// What a request that just came back from a path means for the reservation.
enum BusReservationKind {
    BUS_RESV_NONE,          // not a reservation request
    BUS_RESV_HOST_KEY,      // 0x8400C044: key in the first 8 bytes
    BUS_RESV_PR_REGISTER,   // persistent reserve out REGISTER: key = service action key
    BUS_RESV_PR_PREEMPT,    // PREEMPT or PREEMPT AND ABORT: key = reservation key
    BUS_RESV_PR_OTHER,      // any other persistent reserve out
};

struct BusReservationRequest {
    BusReservationKind Kind;
    BOOLEAN fRecognised; // a success makes the path the last reserving one
    BOOLEAN fKeyValid;
    ULONG64 Key;
};

// The parameter list of a PERSISTENT RESERVE OUT sent through pass-through: in the native copy
// for buffered requests, in the locked caller buffer for direct ones. Null when the command did
// not send a list long enough to hold both keys. The structure has come back from the class
// driver, which rewrites its transfer length with the bytes that moved; the command bytes and the
// data in the native copy are as they went down.
const UCHAR *BusrPassThroughList(ULONG Code, const UCHAR *Data, ULONG DataLength)
{
    const UCHAR *cdb = Data + FIELD_OFFSET(SCSI_PASS_THROUGH, Cdb);
    ULONG listLength = ((ULONG)cdb[5] << 24) | ((ULONG)cdb[6] << 16) | ((ULONG)cdb[7] << 8) | cdb[8];
    if (Data[FIELD_OFFSET(SCSI_PASS_THROUGH, DataIn)] != SCSI_IOCTL_DATA_OUT || listLength < BUS_PR_LIST_KEYS_SIZE)
        return nullptr;
    ULONG64 where;
    RtlCopyMemory(&where, Data + FIELD_OFFSET(SCSI_PASS_THROUGH, DataBufferOffset), sizeof(where));
    if (Code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        // The locked buffer's length is not known here: only what the class driver reports as
        // moved out of it is read.
        ULONG moved;
        RtlCopyMemory(&moved, Data + FIELD_OFFSET(SCSI_PASS_THROUGH, DataTransferLength), sizeof(moved));
        return moved >= BUS_PR_LIST_KEYS_SIZE ? (const UCHAR *)(ULONG_PTR)where : nullptr;
    }
    if (where < sizeof(SCSI_PASS_THROUGH) || where > DataLength || DataLength - where < BUS_PR_LIST_KEYS_SIZE)
        return nullptr;
    return Data + where;
}

void BusrTakeKey(BusReservationRequest *Request, const UCHAR *Source)
{
    RtlCopyMemory(&Request->Key, Source, BUS_KEY_SIZE);
    Request->fKeyValid = TRUE;
}

// Recognises the reservation requests among the device controls.
void BusrClassify(const IO_STACK_LOCATION *Stack, const UCHAR *Data, ULONG DataLength, BusReservationRequest *Request)
{
    RtlZeroMemory(Request, sizeof(*Request));
    if (Stack->MajorFunction != IRP_MJ_DEVICE_CONTROL)
        return;
    ULONG code = Stack->Parameters.DeviceIoControl.IoControlCode;
    if (!Data)
        DataLength = 0;
    switch (code) {
    case BUS_IOCTL_SET_HOST_KEY:
        Request->Kind = BUS_RESV_HOST_KEY;
        Request->fRecognised = TRUE;
        if (DataLength >= BUS_KEY_SIZE)
            BusrTakeKey(Request, Data);
        return;
    case IOCTL_STORAGE_RESERVE:
        Request->fRecognised = TRUE;
        return;
    case IOCTL_STORAGE_PERSISTENT_RESERVE_OUT: {
        Request->Kind = BUS_RESV_PR_OTHER;
        if (DataLength <= BUS_PR_COMMAND_ACTION)
            return;
        UCHAR action = Data[BUS_PR_COMMAND_ACTION] & BUS_PR_ACTION_MASK;
        ULONG key;
        if (action == BUS_PR_REGISTER) {
            Request->Kind = BUS_RESV_PR_REGISTER;
            key = BUS_PR_COMMAND_LIST + BUS_PR_LIST_ACTION_KEY;
        } else if (action == BUS_PR_PREEMPT || action == BUS_PR_PREEMPT_ABORT) {
            Request->Kind = BUS_RESV_PR_PREEMPT;
            key = BUS_PR_COMMAND_LIST + BUS_PR_LIST_KEY;
        } else {
            return;
        }
        Request->fRecognised = TRUE;
        if (DataLength >= key + BUS_KEY_SIZE)
            BusrTakeKey(Request, Data + key);
        return;
    }
    case IOCTL_SCSI_PASS_THROUGH:
    case IOCTL_SCSI_PASS_THROUGH_DIRECT: {
        // Already in the native layout: the command bytes are those of the native structure.
        if (DataLength < sizeof(SCSI_PASS_THROUGH))
            return;
        const UCHAR *cdb = Data + FIELD_OFFSET(SCSI_PASS_THROUGH, Cdb);
        if (cdb[0] == BUS_SCSIOP_RESERVE6) {
            Request->fRecognised = TRUE;
            return;
        }
        if (cdb[0] != BUS_SCSIOP_PR_OUT)
            return;
        UCHAR action = cdb[1] & BUS_PR_ACTION_MASK;
        Request->Kind = BUS_RESV_PR_OTHER;
        if (action == BUS_PR_RESERVE) {
            Request->fRecognised = TRUE;
            return;
        }
        if (action != BUS_PR_REGISTER && action != BUS_PR_PREEMPT && action != BUS_PR_PREEMPT_ABORT)
            return;
        Request->Kind = action == BUS_PR_REGISTER ? BUS_RESV_PR_REGISTER : BUS_RESV_PR_PREEMPT;
        const UCHAR *list = BusrPassThroughList(code, Data, DataLength);
        if (list)
            BusrTakeKey(Request, list + (action == BUS_PR_REGISTER ? BUS_PR_LIST_ACTION_KEY : BUS_PR_LIST_KEY));
        return;
    }
    default:
        return;
    }
}

// Tells the class driver below the current path of the key; a failure changes nothing here (the
// next request on another path carries the key again).
void BusrSendKey(LogicalDeviceExtension *Ldx, ULONG64 Key)
{
    UCHAR key[BUS_KEY_SIZE];
    RtlCopyMemory(key, &Key, sizeof(key));
    ULONG_PTR information = 0;
    BusSendInternalRequest(Ldx, IOC_SET_RESERVATION_KEY, key, sizeof(key), nullptr, 0, &information);
}

// Widens the ASCII characters of a report field, up to its first zero byte.
void BusrWiden(WCHAR *Text, const CHAR *Field)
{
    ULONG i = 0;
    for (; i < BUS_REPORT_CHARS && Field[i]; i++)
        _snwprintf(Text + i, 2, L"%c", (WCHAR)(UCHAR)Field[i]);
    Text[i] = 0;
}

} // namespace

/*++
Routine Description:
    Before an attempt: a request that goes over another path than the last reserving one carries
    the reservation key, the reservation-active flag and the block size, so that the filter has
    the reservation re-established on this path first.
Return Value:
    TRUE when the attempt changes path (the block carries the key); FALSE otherwise (key 0).
--*/
BOOLEAN BusReservationPrepare(LogicalDeviceExtension *Ldx, PDEVICE_OBJECT Path, ScsiStatus *Block)
{
    if (Path == Ldx->pLastReservingPath) {
        Block->ReservationKey = 0;
        return FALSE;
    }
    Block->ReservationKey = Ldx->ReservationKey;
    Block->fReservationActive = Ldx->fReservationActive;
    Block->ulBlockSize = Ldx->ulBlockSize;
    return TRUE;
}

/*++
Routine Description:
    Logs what the block of a returned attempt says about reservations: a reservation made for the
    request (always), and a previous reservation the filter could not break on this path (with
    failover events on).
Arguments:
    Request - the application's request; its major function goes into the entries.
--*/
void BusReservationReport(LogicalDeviceExtension *Ldx, PDEVICE_OBJECT Path, PIRP Request, const ScsiStatus *Block)
{
    if (Block->szWwpn[0]) {
        WCHAR hostKey[BUS_REPORT_CHARS + 1];
        WCHAR wwpn[BUS_REPORT_CHARS + 1];
        BusrWiden(hostKey, Block->szHostKey);
        BusrWiden(wwpn, Block->szWwpn);
        LogBusEvent(Ldx->pSelf, Request, VYR_EVT_RESERVING_HOST_KEY, hostKey, wwpn);
    }
    if (Block->ReservationOutcome == STATUS_ACCESS_DENIED && Ldx->pBus && Ldx->pBus->fFailoverEventsEnabled) {
        WCHAR thisPath[24];
        WCHAR lastPath[24];
        _snwprintf(thisPath, RTL_NUMBER_OF(thisPath), L"0x%p", (PVOID)Path);
        _snwprintf(lastPath, RTL_NUMBER_OF(lastPath), L"0x%p", (PVOID)Ldx->pLastReservingPath);
        LogBusEvent(Ldx->pSelf, Request, VYR_EVT_RESERVATION_NOT_BROKEN, thisPath, lastPath);
    }
}

/*++
Routine Description:
    After an attempt: follows the reservation state of the drive.
    1. The path becomes the last reserving path after an attempt on a changed path (whatever its
       outcome), a successful create, or a successful reservation request.
    2. Then the key: the host's key (0x8400C044), a registered key or a preempting key make the
       reservation active with that key (a preempting key is also handed to the class driver);
       without an active reservation any other request but a persistent reserve out makes the
       path's own address the key, which names the path holding a plain reservation.
    3. A successful close while a reservation is active ends it: the key becomes the path's
       address, and the class driver is told.
Arguments:
    Stack - the application's stack location.
    Data, DataLength - the request's data as it went down the path (pass-through in the native
        layout); null for requests without data.
    Status - the attempt's status.
    Changed - the attempt was made on another path than the last reserving one.
IRQL: PASSIVE_LEVEL, on a worker or in the caller's thread (create, close).
--*/
void BusReservationAfterAttempt(LogicalDeviceExtension *Ldx, PDEVICE_OBJECT Path, const IO_STACK_LOCATION *Stack,
                                const UCHAR *Data, ULONG DataLength, NTSTATUS Status, BOOLEAN Changed)
{
    BusReservationRequest request;
    BusrClassify(Stack, Data, DataLength, &request);
    BOOLEAN success = NT_SUCCESS(Status);
    ULONG64 pathKey = (ULONG64)(ULONG_PTR)Path;

    if (Changed || (success && Stack->MajorFunction == IRP_MJ_CREATE) || (success && request.fRecognised)) {
        Ldx->pLastReservingPath = Path;
        switch (request.Kind) {
        case BUS_RESV_HOST_KEY:
        case BUS_RESV_PR_REGISTER:
        case BUS_RESV_PR_PREEMPT:
            // A request too short to hold its key was refused below; there is nothing to take.
            if (!request.fKeyValid)
                break;
            Ldx->fReservationActive = TRUE;
            Ldx->ReservationKey = request.Key;
            if (request.Kind == BUS_RESV_PR_PREEMPT)
                BusrSendKey(Ldx, request.Key);
            break;
        case BUS_RESV_PR_OTHER:
            break;
        case BUS_RESV_NONE:
            if (!Ldx->fReservationActive)
                Ldx->ReservationKey = pathKey;
            break;
        }
    }

    if (Ldx->fReservationActive && success && Stack->MajorFunction == IRP_MJ_CLOSE) {
        Ldx->ReservationKey = pathKey;
        Ldx->fReservationActive = FALSE;
        BusrSendKey(Ldx, pathKey);
    }
}
