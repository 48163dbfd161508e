// Reading a key server's messages and building the replies to them: every length and offset that
// comes from the peer is checked against what arrived and against the buffer it points into.
#include "keymessage.h"

// Offsets 13 to 48 of the last server message, with the command bit cleared.
void KrpPutExchangeHeader(UCHAR *To, const UCHAR *Incoming)
{
    RtlCopyMemory(To, Incoming + MSG_EXCHANGE_HEADER, MSG_EXCHANGE_HEADER_LENGTH);
    To[MSG_COMMAND_FLAGS - MSG_EXCHANGE_HEADER] &= 0x7F;
}

// The reply to a drive command other than a successful MODE SENSE(10): the outcome as sense data.
void KrpBuildStatusReply(UCHAR *Out, const UCHAR *Incoming, const UCHAR *Echo, BOOLEAN Failed)
{
    RtlZeroMemory(Out, STATUS_REPLY_LENGTH);
    RtlCopyMemory(Out, kFrameHeader, sizeof(kFrameHeader));
    KrpPut32(Out + 5, 148);
    KrpPut32(Out + 9, 140);
    KrpPutExchangeHeader(Out + 13, Incoming);
    Out[49] = 0x21;
    Out[50] = 0xFE;
    KrpPut16(Out + 51, 100);
    KrpPut32(Out + 53, 96);
    KrpPut32(Out + 57, 88);
    RtlCopyMemory(Out + 61, Incoming + MSG_EXCHANGE_HEADER, MSG_EXCHANGE_HEADER_LENGTH);
    Out[89] &= 0x7F;
    RtlCopyMemory(Out + 97, Echo, KEY_RELAY_ECHO_LENGTH);
    const UCHAR tail1[4] = {0x21, 0xFE, 0x00, 0x18};
    const UCHAR tail2[4] = {0x22, 0x00, 0x00, 0x12};
    RtlCopyMemory(Out + 117, tail1, sizeof(tail1));
    RtlCopyMemory(Out + 123, tail2, sizeof(tail2));
    Out[134] = 0x0A;
    if (Failed)
        Out[MSG_SENSE_KEY] = 4;
}

// The reply to a successful MODE SENSE(10): the mode parameter header and the page. The page's
// length comes from the drive; a page that would not fit the outgoing buffer is not sent at all.
NTSTATUS KrpBuildDataReply(UCHAR *Out, const UCHAR *Incoming, const UCHAR *ModeSense)
{
    ULONG n = KrpGet16(ModeSense + 10);
    if (DATA_REPLY_PAGE + n + 4 > KEY_RELAY_BUFFER_SIZE)
        return STATUS_CANCELLED;
    RtlZeroMemory(Out, DATA_REPLY_PAGE);
    RtlCopyMemory(Out, kFrameHeader, sizeof(kFrameHeader));
    KrpPut32(Out + 5, n + 60);
    KrpPut32(Out + 9, n + 52);
    KrpPutExchangeHeader(Out + 13, Incoming);
    Out[49] = 0x21;
    Out[50] = 0x00;
    KrpPut16(Out + 51, n + 4);
    RtlCopyMemory(Out + 53, ModeSense, 8);
    RtlCopyMemory(Out + DATA_REPLY_PAGE, ModeSense + 8, n + 4);
    return STATUS_SUCCESS;
}

// The drive command a server command message asks for. The data of a command other than MODE
// SENSE(10) lies in the message itself: it must have arrived whole.
NTSTATUS KrpCommandFromMessage(KeyRelayRequest *Request, PUCHAR Incoming, ULONG MessageLength, PUCHAR ModeSense)
{
    RtlZeroMemory(Request, sizeof(*Request));
    if (MessageLength < MSG_CDB + 10)
        return STATUS_CANCELLED;
    Request->cdbLength = 10;
    RtlCopyMemory(Request->cdb, Incoming + MSG_CDB, 10);
    Request->timeout = RELAY_COMMAND_TIMEOUT;
    if (Request->cdb[0] == 0x5A) {
        Request->data = ModeSense;
        Request->dataLength = KEY_RELAY_DATA_LIMIT;
        return STATUS_SUCCESS;
    }
    if (MessageLength < MSG_DATA_PAGE_LENGTH + 2)
        return STATUS_CANCELLED;
    ULONG length = KrpGet16(Incoming + MSG_DATA_PAGE_LENGTH) + 12;
    if (MSG_DATA + length > MessageLength || MSG_DATA + length > KEY_RELAY_BUFFER_SIZE)
        return STATUS_CANCELLED;
    Request->data = Incoming + MSG_DATA;
    Request->dataLength = length;
    return STATUS_SUCCESS;
}

