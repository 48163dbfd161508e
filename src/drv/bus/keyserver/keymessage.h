// The messages of the key exchange as the relay reads and builds them: offsets, the big-endian
// fields, and the routines that turn a key server's message into a drive command and a drive's
// answer into a reply. Kept apart from the relay so that they can be exercised on their own (the
// fuzz target feeds them any bytes a peer could send).
//
// All integers on the wire are big-endian; offsets count from the first byte of a message, its
// 5-byte frame header included.
#pragma once

#include "keyserver.h"

// Offsets of the messages.
inline constexpr ULONG MSG_LENGTH = 5;            // u32: bytes after this field
inline constexpr ULONG MSG_EXCHANGE_HEADER = 13;  // 36 bytes echoed back
inline constexpr ULONG MSG_EXCHANGE_HEADER_LENGTH = 36;
inline constexpr ULONG MSG_COMMAND_FLAGS = 41;    // bit 7: a drive command follows
inline constexpr ULONG MSG_CDB = 57;              // 10 bytes
inline constexpr ULONG MSG_DATA = 73;             // mode parameter list: 8-byte header and one page
inline constexpr ULONG MSG_DATA_PAGE_LENGTH = 83; // u16: the page's length
inline constexpr ULONG MSG_SENSE_KEY = 129;       // of a status reply, read back when the exchange ends
inline constexpr ULONG DRIVE_ECHO = 129;          // of the drive message
inline constexpr ULONG STATUS_REPLY_LENGTH = 157;
inline constexpr ULONG DATA_REPLY_PAGE = 61;
inline constexpr ULONG MAX_COMMANDS = 10;         // the command count that ends the relay
inline constexpr ULONG DRIVE_MESSAGE_SAVED = 65524;

inline constexpr UCHAR kFrameHeader[5] = {0x01, 0x00, 0x01, 0x00, 0x00};

inline constexpr ULONG RELAY_COMMAND_TIMEOUT = 850;

inline ULONG KrpGet32(const UCHAR *p)
{
    return ((ULONG)p[0] << 24) | ((ULONG)p[1] << 16) | ((ULONG)p[2] << 8) | (ULONG)p[3];
}

inline ULONG KrpGet16(const UCHAR *p)
{
    return ((ULONG)p[0] << 8) | (ULONG)p[1];
}

inline void KrpPut32(UCHAR *p, ULONG v)
{
    p[0] = (UCHAR)(v >> 24);
    p[1] = (UCHAR)(v >> 16);
    p[2] = (UCHAR)(v >> 8);
    p[3] = (UCHAR)v;
}

inline void KrpPut16(UCHAR *p, ULONG v)
{
    p[0] = (UCHAR)(v >> 8);
    p[1] = (UCHAR)v;
}

// Offsets 13 to 48 of the last server message, with the command bit cleared.
void KrpPutExchangeHeader(UCHAR *To, const UCHAR *Incoming);
// The reply to a drive command other than a successful MODE SENSE(10): the outcome as sense data
// (STATUS_REPLY_LENGTH bytes at Out).
void KrpBuildStatusReply(UCHAR *Out, const UCHAR *Incoming, const UCHAR *Echo, BOOLEAN Failed);
// The reply to a successful MODE SENSE(10). STATUS_CANCELLED when the drive's page would not fit a
// KEY_RELAY_BUFFER_SIZE buffer; nothing is written then.
NTSTATUS KrpBuildDataReply(UCHAR *Out, const UCHAR *Incoming, const UCHAR *ModeSense);
// The drive command a server message of MessageLength bytes (in a KEY_RELAY_BUFFER_SIZE buffer)
// asks for; STATUS_CANCELLED when the message does not hold it whole.
NTSTATUS KrpCommandFromMessage(KeyRelayRequest *Request, PUCHAR Incoming, ULONG MessageLength, PUCHAR ModeSense);
