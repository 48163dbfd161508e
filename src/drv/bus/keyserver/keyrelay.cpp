// The key exchange relay of a logical tape device: the drive's key request (mode page 0x25,
// subpage 0xFF) goes to a key server over TCP, each SCSI command the key server sends back runs
// on the drive through the logical device's own request path, and each command's result goes
// back to the key server, until the key server ends the exchange. The same machinery probes the
// configured key servers and sends the encryption control diagnostic (IOCTL_TPBUS_KEY_REQUEST).
//
// All integers on the wire are big-endian; offsets count from the first byte of a message, its
// 5-byte frame header included. A key server is a peer on the network: every length and offset
// taken from its messages is checked against what arrived and against the buffer it points into.
#include "keyserver.h"
#include "keymessage.h"
#include "../bus.h"

namespace {

constexpr ULONG VYR_TAG_RELAY_PASS_THROUGH = VyrPoolTag("WPXa");

// The pass-through buffer of one drive command: the 56-byte header, sense at 60, data at 156.
constexpr ULONG RELAY_PT_HEADER = 56;
constexpr ULONG RELAY_PT_SENSE_OFFSET = 60;
constexpr ULONG RELAY_PT_SENSE_LENGTH = 96;
constexpr ULONG RELAY_PT_DATA_OFFSET = 156;
constexpr ULONG RELAY_PT_SIZE = 65696;
static_assert(sizeof(SCSI_PASS_THROUGH) == RELAY_PT_HEADER, "pass-through header");
static_assert(RELAY_PT_SENSE_OFFSET + RELAY_PT_SENSE_LENGTH == RELAY_PT_DATA_OFFSET, "pass-through layout");
static_assert(RELAY_PT_DATA_OFFSET + KEY_RELAY_DATA_LIMIT <= RELAY_PT_SIZE, "pass-through layout");

const UCHAR kKeyPageSense[10] = {0x5A, 0x08, 0x25, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00};

// The probe: 172 fixed bytes, then two blocks of 04 00 00 20 and a 32-byte constant of the
// key-server protocol.
const UCHAR kProbeHead[172] = {
    0x00, 0x00, 0x00, 0xf0, 0x00, 0x00, 0x00, 0xc8, 0x02, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x90, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x20, 0x00, 0xa0,
    0x00, 0x00, 0x00, 0x10, 0x55, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8c, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x65, 0xfe, 0x00, 0x80,
    0x00, 0x00, 0x00, 0x7c, 0x00, 0x00, 0x00, 0x54, 0x02, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x90, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0d, 0x00, 0x00, 0x10,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x21, 0xfe, 0x00, 0x18, 0x00, 0x00, 0x22, 0x00, 0x00, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x0a, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const UCHAR kProbeBlockHeader[4] = {0x04, 0x00, 0x00, 0x20};
const UCHAR kProbeConstant1[32] = {'V', 'Y', 'R', 'Z', 'K', 'S', '-', 'P', 'R', 'O', 'B', 'E', '-', 'H', 'O', 'S',
                                   'T', '-', 'R', 'E', 'L', 'A', 'Y', '-', 'V', 'E', 'R', 'S', 'I', 'O', 'N', '1'};
const UCHAR kProbeConstant2[32] = {'V', 'Y', 'R', 'Z', 'K', 'S', '-', 'P', 'R', 'O', 'B', 'E', '-', 'K', 'E', 'Y',
                                   'S', 'E', 'R', 'V', 'E', 'R', '-', 'A', 'L', 'I', 'V', 'E', '-', '-', '-', '1'};
static_assert(sizeof(kProbeHead) + 2 * (4 + 32) == KEY_RELAY_PROBE_LENGTH, "probe message length");

// The payload length of the message in Outgoing: its length field and the field itself. A
// length the 32 bits cannot carry is cut at the largest message one buffer holds; the sending
// side cuts every message at KEYSERVER_MAX_MESSAGE anyway.
ULONG KrpPayloadLength(const UCHAR *Outgoing)
{
    ULONGLONG length = (ULONGLONG)KrpGet32(Outgoing + MSG_LENGTH) + 4;
    if (length > KEY_RELAY_BUFFER_SIZE - 5)
        length = KEY_RELAY_BUFFER_SIZE - 5;
    return (ULONG)length;
}

enum KrpDirection { KRP_DATA_NONE, KRP_DATA_IN, KRP_DATA_OUT };

KrpDirection KrpDirectionOf(UCHAR OperationCode)
{
    switch (OperationCode) {
    case 0x03: case 0x05: case 0x08: case 0x12: case 0x13: case 0x1A: case 0x1C:
    case 0x28: case 0x2F: case 0x34: case 0x3C: case 0x4D: case 0x5A: case 0xA0:
        return KRP_DATA_IN;
    case 0x0A: case 0x15: case 0x1D: case 0x2A: case 0x3B: case 0x4C: case 0x55:
        return KRP_DATA_OUT;
    default:
        return KRP_DATA_NONE;
    }
}

// The buffers of one relay, all from non-paged pool.
struct KrpBuffers {
    PUCHAR outgoing;
    PUCHAR incoming;
    PUCHAR saved;
    PUCHAR modeSense;
    KeyRelayRequest *request;
    PUCHAR echo;
};

void KrpFree(KrpBuffers *B)
{
    if (B->echo)
        ExFreePoolWithTag(B->echo, VYR_TAG_KEYSERVER);
    if (B->request)
        ExFreePoolWithTag(B->request, VYR_TAG_KEYSERVER);
    if (B->modeSense)
        ExFreePoolWithTag(B->modeSense, VYR_TAG_KEYSERVER);
    if (B->saved)
        ExFreePoolWithTag(B->saved, VYR_TAG_KEYSERVER);
    if (B->incoming)
        ExFreePoolWithTag(B->incoming, VYR_TAG_KEYSERVER);
    if (B->outgoing)
        ExFreePoolWithTag(B->outgoing, VYR_TAG_KEYSERVER);
}

NTSTATUS KrpAllocate(KrpBuffers *B)
{
    RtlZeroMemory(B, sizeof(*B));
    PUCHAR *big[4] = {&B->outgoing, &B->incoming, &B->saved, &B->modeSense};
    for (PUCHAR *slot : big) {
        *slot = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, KEY_RELAY_BUFFER_SIZE, VYR_TAG_KEYSERVER);
        if (!*slot)
            return STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(*slot, KEY_RELAY_BUFFER_SIZE);
    }
    B->request = (KeyRelayRequest *)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KeyRelayRequest), VYR_TAG_KEYSERVER);
    if (!B->request)
        return STATUS_INSUFFICIENT_RESOURCES;
    B->echo = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, KEY_RELAY_ECHO_LENGTH, VYR_TAG_KEYSERVER);
    if (!B->echo)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(B->echo, KEY_RELAY_ECHO_LENGTH);
    return STATUS_SUCCESS;
}

// Makes the next configured server current (after the last comes the first).
void KrpNextServer(KeyServerTable *Table)
{
    if (Table->serverCount <= 0) {
        Table->currentServer = 0;
        return;
    }
    Table->currentServer = (Table->currentServer + 1) % Table->serverCount;
}

} // namespace

/*++
Routine Description:
    Sends the message in Outgoing (payload after the frame header) to the current key server and
    receives its answer into Incoming. In mode 1 every configured server is asked in turn and the
    answering ones are counted.
Return Value:
    STATUS_SUCCESS (*ReplyLength: bytes after the frame header, or in mode 1 the count);
    STATUS_RETRY when the connection broke and another server has been connected, so the exchange
    must start again from the drive message; else the failure.
IRQL: PASSIVE_LEVEL.
--*/
NTSTATUS KeyServerTransact(KeyRelayState *Relay, UCHAR *Outgoing, ULONG PayloadLength, UCHAR *Incoming,
                           ULONG *ReplyLength)
{
    *ReplyLength = 0;
    KeyServerTable *table = &Relay->table;
    if (!NT_SUCCESS(LoadKeyServerConfig(table))) {
        table->loaded = 0;
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    RtlZeroMemory(Incoming, 5);
    RtlCopyMemory(Outgoing, kFrameHeader, sizeof(kFrameHeader));
    ULONG sendLength = PayloadLength > KEYSERVER_MAX_MESSAGE - 5 ? KEYSERVER_MAX_MESSAGE : PayloadLength + 5;
    ULONG received = 0;

    if (Relay->mode == 1) {
        ULONG answering = 0;
        for (LONG k = 0; k < table->serverCount; k++) {
            table->currentServer = k;
            if (!NT_SUCCESS(OpenSocket(Relay)))
                continue;
            NTSTATUS status = KeyServerExchange(Relay, Outgoing, (LONG)sendLength, Incoming, &received);
            CloseSocket(Relay);
            if (NT_SUCCESS(status) && received > 52)
                answering++;
        }
        table->currentServer = 0;
        if (!answering)
            return STATUS_UNEXPECTED_NETWORK_ERROR;
        *ReplyLength = answering;
        return STATUS_SUCCESS;
    }

    // A file without server lines leaves nobody to ask.
    if (table->serverCount <= 0)
        return STATUS_CANCELLED;
    if (table->currentServer < 0 || table->currentServer >= table->serverCount)
        table->currentServer = 0;
    if (!Relay->socketOpen) {
        BOOLEAN connected = FALSE;
        for (LONG k = 0; k < table->serverCount && !connected; k++) {
            if (NT_SUCCESS(OpenSocket(Relay)))
                connected = TRUE;
            else
                KrpNextServer(table);
        }
        if (!connected)
            return STATUS_UNEXPECTED_NETWORK_ERROR;
    }

    NTSTATUS status = KeyServerExchange(Relay, Outgoing, (LONG)sendLength, Incoming, &received);
    if (NT_SUCCESS(status)) {
        *ReplyLength = received - 5;
        return STATUS_SUCCESS;
    }
    CloseSocket(Relay);
    if (table->serverCount <= 1)
        return STATUS_CANCELLED;
    for (LONG k = 0; k < table->serverCount - 1; k++) {
        KrpNextServer(table);
        if (NT_SUCCESS(OpenSocket(Relay)))
            return STATUS_RETRY;
    }
    return STATUS_CANCELLED;
}

/*++
Routine Description:
    Runs one drive command as a SCSI pass-through sent to the logical device itself, so that it
    follows the device's request path and primary path.
Return Value:
    The command's status. A command the drive answered with other than GOOD status has failed,
    though the pass-through request itself succeeds.
IRQL: PASSIVE_LEVEL.
--*/
NTSTATUS RunDriveCommand(KeyRelayState *Relay, KeyRelayRequest *Request)
{
    if (!Relay->targetDevice || Request->cdbLength > 16)
        return STATUS_INVALID_PARAMETER;
    LogicalDeviceExtension *ldx = BusLogical(Relay->targetDevice);
    PUCHAR buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, RELAY_PT_SIZE, VYR_TAG_RELAY_PASS_THROUGH);
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(buffer, RELAY_PT_SIZE);

    const KrpDirection direction = KrpDirectionOf(Request->cdb[0]);
    ULONG dataLength = Request->dataLength > KEY_RELAY_DATA_LIMIT ? KEY_RELAY_DATA_LIMIT : Request->dataLength;
    // A command without a data phase (REWIND, SPACE, LOCATE...) goes down without a transfer
    // length, whatever data its message carried: a length with no direction is refused below.
    if (!Request->data || direction == KRP_DATA_NONE)
        dataLength = 0;
    VyrScsiAddress address;
    BusGetLogicalAddress(ldx, &address);
    auto *pt = (SCSI_PASS_THROUGH *)buffer;
    pt->Length = RELAY_PT_HEADER;
    pt->PathId = address.PathId;
    pt->TargetId = address.TargetId;
    pt->Lun = address.Lun;
    pt->CdbLength = Request->cdbLength;
    pt->SenseInfoLength = (UCHAR)RELAY_PT_SENSE_LENGTH;
    pt->DataIn = direction == KRP_DATA_IN ? SCSI_IOCTL_DATA_IN
                 : direction == KRP_DATA_OUT ? SCSI_IOCTL_DATA_OUT
                                              : SCSI_IOCTL_DATA_UNSPECIFIED;
    pt->DataTransferLength = dataLength;
    pt->TimeOutValue = RELAY_COMMAND_TIMEOUT;
    pt->DataBufferOffset = RELAY_PT_DATA_OFFSET;
    pt->SenseInfoOffset = RELAY_PT_SENSE_OFFSET;
    RtlCopyMemory(pt->Cdb, Request->cdb, Request->cdbLength);
    if (direction == KRP_DATA_OUT && dataLength)
        RtlCopyMemory(buffer + RELAY_PT_DATA_OFFSET, Request->data, dataLength);

    NTSTATUS status = BusSendInternalRequest(ldx, IOCTL_SCSI_PASS_THROUGH, buffer, RELAY_PT_SIZE, buffer,
                                             RELAY_PT_SIZE, nullptr);
    if (NT_SUCCESS(status) && pt->ScsiStatus != 0)
        status = STATUS_IO_DEVICE_ERROR;
    if (NT_SUCCESS(status) && direction == KRP_DATA_IN && dataLength) {
        ULONG moved = pt->DataTransferLength < dataLength ? pt->DataTransferLength : dataLength;
        RtlCopyMemory(Request->data, buffer + RELAY_PT_DATA_OFFSET, moved);
    }
    ExFreePoolWithTag(buffer, VYR_TAG_RELAY_PASS_THROUGH);
    return status;
}

/*++
Routine Description:
    The encryption control diagnostic (SEND DIAGNOSTIC of the vendor page 0x80): phase 1 checks
    the encryption unit, phase 2 checks the key path (type 2) or asks for a key exchange (type 3).
IRQL: PASSIVE_LEVEL.
--*/
NTSTATUS SendEncryptionDiagnostic(KeyRelayState *Relay, ULONG Type, ULONG Phase)
{
    if ((Type != 2 && Type != 3) || (Phase != 1 && Phase != 2))
        return STATUS_INVALID_PARAMETER;
    auto *request = (KeyRelayRequest *)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KeyRelayRequest), VYR_TAG_KEYSERVER);
    if (!request)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(request, sizeof(*request));
    UCHAR parameters[10] = {0x80, 0x00, 0x00, 0x06, 0xE0, 0x00, 0x01, 0x00, 0x20, 0x0F};
    if (Phase == 2)
        parameters[9] = Type == 2 ? 0x01 : 0x00;
    const UCHAR cdb[6] = {0x1D, 0x13, 0x00, 0x00, 0x0A, 0x00};
    request->cdbLength = sizeof(cdb);
    RtlCopyMemory(request->cdb, cdb, sizeof(cdb));
    request->timeout = RELAY_COMMAND_TIMEOUT;
    request->dataLength = sizeof(parameters);
    request->data = parameters;
    NTSTATUS status = RunDriveCommand(Relay, request);
    ExFreePoolWithTag(request, VYR_TAG_KEYSERVER);
    return status;
}

/*++
Routine Description:
    One relay in the relay state's mode: 0 in the request path (the whole exchange), 1 probes
    the configured servers, 2 ends once a key server has answered the drive message, 3 runs the
    exchange in full.
Return Value:
    *Disposition KEY_RELAY_FINISHED: the status is 0, or in mode 1 the number of servers that
    answered. KEY_RELAY_FAILED: the status says why.
IRQL: PASSIVE_LEVEL.
--*/
NTSTATUS RelayKeyRequest(KeyRelayState *Relay, ULONG *Disposition)
{
    *Disposition = KEY_RELAY_FAILED;
    KeyServerTable *table = &Relay->table;
    table->attempts = 0;
    KrpBuffers b;
    NTSTATUS status = KrpAllocate(&b);
    ULONG reply = 0;
    ULONG commands = 0;
    if (!NT_SUCCESS(status))
        goto Done;

    if (Relay->mode == 1) {
        RtlCopyMemory(b.outgoing + 5, kProbeHead, sizeof(kProbeHead));
        PUCHAR p = b.outgoing + 5 + sizeof(kProbeHead);
        RtlCopyMemory(p, kProbeBlockHeader, 4);
        RtlCopyMemory(p + 4, kProbeConstant1, 32);
        RtlCopyMemory(p + 36, kProbeBlockHeader, 4);
        RtlCopyMemory(p + 40, kProbeConstant2, 32);
        status = KeyServerTransact(Relay, b.outgoing, KEY_RELAY_PROBE_LENGTH, b.incoming, &reply);
        if (NT_SUCCESS(status)) {
            *Disposition = KEY_RELAY_FINISHED;
            status = (NTSTATUS)reply;
        }
        goto Done;
    }

    // The drive message: the key request page without its mode parameter header and page header.
    RtlZeroMemory(b.request, sizeof(*b.request));
    b.request->cdbLength = sizeof(kKeyPageSense);
    RtlCopyMemory(b.request->cdb, kKeyPageSense, sizeof(kKeyPageSense));
    b.request->timeout = RELAY_COMMAND_TIMEOUT;
    b.request->dataLength = KEY_RELAY_DATA_LIMIT;
    b.request->data = b.outgoing + 5;
    if (!NT_SUCCESS(RunDriveCommand(Relay, b.request))) {
        status = STATUS_CONNECTION_ABORTED;
        goto Done;
    }
    RtlCopyMemory(b.saved + 5, b.outgoing + 5 + 12, DRIVE_MESSAGE_SAVED);
    RtlCopyMemory(b.echo, b.saved + DRIVE_ECHO, KEY_RELAY_ECHO_LENGTH);

    for (;;) {
        // Start, and the restart point when the connection moved to another server.
        RtlZeroMemory(b.outgoing + 5, KEY_RELAY_BUFFER_SIZE - 5);
        RtlCopyMemory(b.outgoing + 5, b.saved + 5, DRIVE_MESSAGE_SAVED);
        status = KeyServerTransact(Relay, b.outgoing, KrpPayloadLength(b.outgoing), b.incoming, &reply);
        if (status == STATUS_RETRY)
            continue;
        if (!NT_SUCCESS(status))
            goto Done;
        commands = 1;
        if (Relay->mode == 2) {
            *Disposition = KEY_RELAY_FINISHED;
            status = STATUS_SUCCESS;
            goto Done;
        }

        for (;;) {
            ULONG messageLength = reply + 5;
            // Whatever a short message did not bring reads as zero, never as a previous message.
            if (messageLength < MSG_EXCHANGE_HEADER + MSG_EXCHANGE_HEADER_LENGTH)
                RtlZeroMemory(b.incoming + messageLength, MSG_EXCHANGE_HEADER + MSG_EXCHANGE_HEADER_LENGTH - messageLength);

            if (!(b.incoming[MSG_COMMAND_FLAGS] & 0x80)) {
                // The key server has ended the exchange.
                if (Relay->mode == 2) {
                    *Disposition = KEY_RELAY_FINISHED;
                    status = STATUS_SUCCESS;
                } else {
                    UCHAR outcome = b.outgoing[MSG_SENSE_KEY] & 0x0F;
                    if (outcome == 0) {
                        *Disposition = KEY_RELAY_FINISHED;
                        status = STATUS_SUCCESS;
                    } else {
                        status = outcome == 4 ? STATUS_CONNECTION_ABORTED : STATUS_CANCELLED;
                    }
                }
                goto Done;
            }

            RtlZeroMemory(b.outgoing + 5, KEY_RELAY_BUFFER_SIZE - 5);
            if (++commands > MAX_COMMANDS) {
                status = STATUS_CANCELLED;
                goto Done;
            }
            status = KrpCommandFromMessage(b.request, b.incoming, messageLength, b.modeSense);
            if (!NT_SUCCESS(status))
                goto Done;
            if (b.request->cdb[0] == 0x5A)
                RtlZeroMemory(b.modeSense, KEY_RELAY_BUFFER_SIZE);
            NTSTATUS ran = RunDriveCommand(Relay, b.request);
            if (NT_SUCCESS(ran) && b.request->cdb[0] == 0x5A) {
                status = KrpBuildDataReply(b.outgoing, b.incoming, b.modeSense);
                if (!NT_SUCCESS(status))
                    goto Done;
            } else {
                KrpBuildStatusReply(b.outgoing, b.incoming, b.echo, !NT_SUCCESS(ran));
            }

            status = KeyServerTransact(Relay, b.outgoing, KrpPayloadLength(b.outgoing), b.incoming, &reply);
            if (status == STATUS_RETRY)
                break; // start again from the saved drive message
            if (!NT_SUCCESS(status))
                goto Done;
        }
    }

Done:
    KrpFree(&b);
    CloseSocket(Relay);
    Relay->mode = 0;
    return status;
}

namespace {

// The relay state of a logical device, made at its first use. The device's requests reach here
// from its worker threads only, yet two levels of them may race for it, so the first one stored
// is the one kept.
KeyRelayState *KrpRelayOf(LogicalDeviceExtension *Ldx)
{
    KeyRelayState *relay = Ldx->pKeyRelay;
    if (relay)
        return relay;
    relay = (KeyRelayState *)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KeyRelayState), VYR_TAG_KEYSERVER);
    if (!relay)
        return nullptr;
    RtlZeroMemory(relay, sizeof(*relay));
    relay->targetDevice = Ldx->pSelf;
    for (LONG k = 0; k < KEYSERVER_MAX_SERVERS; k++)
        relay->table.entries[k].socket = -1;
    KeyRelayState *stored =
        (KeyRelayState *)InterlockedCompareExchangePointer((PVOID volatile *)&Ldx->pKeyRelay, relay, nullptr);
    if (stored) {
        ExFreePoolWithTag(relay, VYR_TAG_KEYSERVER);
        return stored;
    }
    return relay;
}

} // namespace

/*++
Routine Description:
    The request path's hand-over when the drive asks for its key server. A relay is not entered
    twice on one device: a drive command of a running relay that meets ASC 0xEF itself simply
    fails and is reported to the key server as such.
--*/
NTSTATUS BusRelayKeyRequest(LogicalDeviceExtension *Ldx, ULONG *Disposition)
{
    *Disposition = 0;
    KeyRelayState *relay = KrpRelayOf(Ldx);
    if (!relay) {
        *Disposition = KEY_RELAY_FAILED;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (InterlockedCompareExchange(&relay->running, 1, 0) != 0)
        return STATUS_SUCCESS;
    NTSTATUS status = RelayKeyRequest(relay, Disposition);
    InterlockedExchange(&relay->running, 0);
    return status;
}

/*++
Routine Description:
    IOCTL_TPBUS_KEY_REQUEST in the logical device's worker: type 1 probes the key servers, types
    2 and 3 send the encryption control diagnostic in its two phases.
Return Value:
    The request's status; the block's status words are filled.
--*/
NTSTATUS BusKeyRequest(LogicalDeviceExtension *Ldx, KeyRequestBlock *Block)
{
    Block->ulStatus = 0;
    Block->ulExchangeStatus = 0;
    const ULONG type = Block->ulType;
    if (type < 1 || type > 3)
        return STATUS_INVALID_PARAMETER;
    KeyRelayState *relay = KrpRelayOf(Ldx);
    if (!relay) {
        Block->ulStatus = (ULONG)STATUS_INSUFFICIENT_RESOURCES;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Ldx->ulKeyRequestType = type;
    relay->mode = type;
    NTSTATUS status;
    if (type == 1) {
        ULONG disposition = 0;
        NTSTATUS relayed = STATUS_DEVICE_BUSY;
        if (InterlockedCompareExchange(&relay->running, 1, 0) == 0) {
            relayed = RelayKeyRequest(relay, &disposition);
            InterlockedExchange(&relay->running, 0);
        }
        if (disposition == KEY_RELAY_FINISHED) {
            Block->ulExchangeStatus = (ULONG)relayed;
            status = STATUS_SUCCESS;
        } else {
            Block->ulStatus = (ULONG)relayed;
            status = relayed;
        }
    } else {
        status = SendEncryptionDiagnostic(relay, type, 1);
        if (NT_SUCCESS(status)) {
            NTSTATUS second = SendEncryptionDiagnostic(relay, type, 2);
            if (!NT_SUCCESS(second))
                Block->ulStatus = (ULONG)second;
        }
    }
    relay->mode = 0;
    Ldx->ulKeyRequestType = 0;
    return status;
}

void BusFreeKeyRelay(LogicalDeviceExtension *Ldx)
{
    KeyRelayState *relay = (KeyRelayState *)InterlockedExchangePointer((PVOID volatile *)&Ldx->pKeyRelay, nullptr);
    if (!relay)
        return;
    CloseSocket(relay);
    ExFreePoolWithTag(relay, VYR_TAG_KEYSERVER);
}
