// The key-server proxy of the tape bus enumerator: the list of key servers read from VYRZKS.conf,
// and a small socket layer over the kernel transport interface of \Device\Tcp on which the relay
// talks to them.
//
// Every logical tape device holds its own KeyServerTable inside its KeyRelayState. The socket table
// and its last-error value are shared by the relays of all logical devices.
#pragma once

#include "kernel.h"
#include "vyr/dpf/defines.h"

#if defined(_WIN32)
#include <tdikrnl.h>
#endif

constexpr ULONG VYR_TAG_KEYSERVER = VyrPoolTag("ZKSa");  // configuration text, relay buffers
constexpr ULONG VYR_TAG_TDI_SOCKET = VyrPoolTag("TCPa"); // one TdiSocket
constexpr ULONG VYR_TAG_TDI_EA = VyrPoolTag("TCPb");     // extended attributes of an endpoint open

#define VYR_KEYSERVER_SERVICE_KEY L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vyrtpbs2k16"
#define VYR_KEYSERVER_FILE_NAME L"VYRZKS.conf"

constexpr LONG KEYSERVER_MAX_SERVERS = 16;
constexpr ULONG KEYSERVER_NAME_SIZE = 32;      // 31 characters and a terminator
constexpr ULONG KEYSERVER_ADDRESS_SIZE = 128;  // 127 characters and a terminator
constexpr ULONG KEYSERVER_LINE_SIZE = 80;      // 79 characters and a terminator
constexpr ULONG KEYSERVER_PATH_CHARS = 256;    // UTF-16 characters of the file's path, terminator included

constexpr USHORT KEYSERVER_AF_INET = 2;
constexpr USHORT KEYSERVER_AF_INET6 = 26;

// IPv4 socket address: family, port and address in network order, 8 zero bytes.
struct KeyServerSockAddr4 {
    USHORT family;
    USHORT port;    // network order
    ULONG address;  // network order
    UCHAR zero[8];
};
static_assert(sizeof(KeyServerSockAddr4) == 16, "IPv4 socket address");
static_assert(offsetof(KeyServerSockAddr4, address) == 4, "IPv4 socket address");

// IPv6 socket address with a length byte (left unset) and a family byte.
struct KeyServerSockAddr6 {
    UCHAR length;
    UCHAR family;
    USHORT port;    // network order
    ULONG flowInfo;
    UCHAR address[16];
};
static_assert(sizeof(KeyServerSockAddr6) == 24, "IPv6 socket address");
static_assert(offsetof(KeyServerSockAddr6, address) == 8, "IPv6 socket address");

struct KeyServerEntry {
    CHAR name[KEYSERVER_NAME_SIZE];     // used only in the connection trace
    ULONG timeout;                      // seconds a receive from this server may wait, > 0
    KeyServerSockAddr4 ipv4;            // the IPv4 form
    LONG socket;                        // SocketTable slot while a connection is open
    ULONG family;                       // KEYSERVER_AF_INET or KEYSERVER_AF_INET6
    CHAR addressText[KEYSERVER_ADDRESS_SIZE]; // the address exactly as written
    KeyServerSockAddr6 ipv6;            // the IPv6 form
};
static_assert(offsetof(KeyServerEntry, timeout) == 32, "KeyServerEntry layout");
static_assert(offsetof(KeyServerEntry, ipv4) == 36, "KeyServerEntry layout");
static_assert(offsetof(KeyServerEntry, socket) == 52, "KeyServerEntry layout");
static_assert(offsetof(KeyServerEntry, family) == 56, "KeyServerEntry layout");
static_assert(offsetof(KeyServerEntry, addressText) == 60, "KeyServerEntry layout");
static_assert(offsetof(KeyServerEntry, ipv6) == 188, "KeyServerEntry layout");
static_assert(sizeof(KeyServerEntry) == 212, "KeyServerEntry layout");

// One logical device's parsed copy of VYRZKS.conf; zero at device creation.
struct KeyServerTable {
    ULONG loaded;        // 1 once a whole file parsed without error
    ULONG changeTime;    // low 32 bits of the file's change time in seconds, as of the last parse
    ULONG fileSize;      // low 32 bits of the file's size, as of the last parse
    LONG currentServer;  // entry OpenSocket connects next
    LONG attempts;       // connection attempts in the current relay
    LONG serverCount;    // valid entries, 0 to 16
    KeyServerEntry entries[KEYSERVER_MAX_SERVERS]; // entries past serverCount are never read
};
static_assert(offsetof(KeyServerTable, entries) == 24, "KeyServerTable layout");

// The relay's state of one logical device.
struct KeyRelayState {
    PDEVICE_OBJECT targetDevice; // the logical device itself: drive commands follow its request path
    ULONG mode;                  // 0 in the request path, else the key request's type
    ULONG socketOpen;            // a connection to the current server is open
    KeyServerTable table;
    LONG running;                // a relay of this device is under way (interlocked)
};

// ---------------------------------------------------------------------------------------------
// Configuration (keyconfig.cpp: pure parsing; keyfile.cpp: the file)
// ---------------------------------------------------------------------------------------------
LONG ParseDecimal(const CHAR *Text);
NTSTATUS ParseIpv4Address(const CHAR *Text, ULONG *Address);
ULONG ParseIpv6Address(const CHAR *Text, UCHAR Address[16]);
NTSTATUS ParseKeyServerLine(KeyServerTable *Table, CHAR *Line);
NTSTATUS ParseKeyServerConfig(KeyServerTable *Table, CHAR *Text, ULONG Size, ULONGLONG ChangeTime);
NTSTATUS OpenKeyServerConfigFile(PHANDLE Handle, PCWSTR FileName);
NTSTATUS LoadKeyServerConfig(KeyServerTable *Table);

// ---------------------------------------------------------------------------------------------
// Socket layer over \Device\Tcp (keysocket.cpp)
// ---------------------------------------------------------------------------------------------
constexpr LONG KEYSERVER_SOCKET_SLOTS = 128;
constexpr ULONG KEYSERVER_MAX_MESSAGE = 16384;

// One connection: the transport address endpoint and the connection endpoint associated with it.
struct TdiSocket {
    PFILE_OBJECT addressFile;
    HANDLE addressHandle;
    PFILE_OBJECT connectionFile;
    HANDLE connectionHandle;
    UCHAR connected;
};
static_assert(sizeof(TdiSocket) == 40, "TdiSocket layout");

// The transport address value of an endpoint or a connect request (22 bytes, packed).
#pragma pack(push, 1)
struct KeyServerTransportAddress {
    LONG addressCount;   // 1
    USHORT addressLength; // 14
    USHORT addressType;   // 2: IP
    USHORT port;          // network order
    ULONG address;        // network order
    UCHAR zero[8];
};
#pragma pack(pop)
static_assert(sizeof(KeyServerTransportAddress) == 22, "transport address layout");
static_assert(offsetof(KeyServerTransportAddress, port) == 8, "transport address layout");

NTSTATUS OpenTransportDevice();
VOID CloseTransportDevice();

LONG KsSocket(LONG Family, LONG Type, LONG Protocol);
NTSTATUS KsConnect(LONG Index, const KeyServerSockAddr4 *Address);
NTSTATUS KsSend(LONG Index, const VOID *Buffer, ULONG Length, ULONG *BytesSent);
NTSTATUS KsReceive(LONG Index, VOID *Buffer, ULONG Length, ULONG *BytesReceived, PLARGE_INTEGER Timeout, BOOLEAN Peek);
VOID KsClose(LONG Index);
NTSTATUS KsLastError();

NTSTATUS OpenSocket(KeyRelayState *Relay);
VOID CloseSocket(KeyRelayState *Relay);
NTSTATUS KeyServerExchange(KeyRelayState *Relay, const UCHAR *SendBuffer, LONG SendLength, UCHAR *ReceiveBuffer,
                           ULONG *ReceivedLength);

// ---------------------------------------------------------------------------------------------
// The key exchange relay (keyrelay.cpp)
// ---------------------------------------------------------------------------------------------
constexpr ULONG KEY_RELAY_FAILED = 2;   // disposition: the status says why
constexpr ULONG KEY_RELAY_FINISHED = 3; // disposition: the exchange ended well (mode 1: status = servers answering)

constexpr ULONG KEY_RELAY_BUFFER_SIZE = 65541;  // 5-byte frame header and 65,536 bytes of message
constexpr ULONG KEY_RELAY_DATA_LIMIT = 65536;   // most data one drive command moves
constexpr ULONG KEY_RELAY_PROBE_LENGTH = 244;   // probe message after the frame header
constexpr ULONG KEY_RELAY_ECHO_LENGTH = 20;

// One drive command of a relay. The time-out is carried but every drive command runs with the
// relay's own 850 seconds.
struct KeyRelayRequest {
    UCHAR cdbLength;
    UCHAR cdb[16];
    UCHAR reserved1[3];
    ULONG timeout;     // seconds, not used
    ULONG dataLength;
    PUCHAR data;
    UCHAR sense[255];  // left zero by the drive command
    UCHAR reserved2[41];
};
static_assert(sizeof(KeyRelayRequest) == 336, "KeyRelayRequest layout");
static_assert(offsetof(KeyRelayRequest, timeout) == 20 && offsetof(KeyRelayRequest, dataLength) == 24 &&
                  offsetof(KeyRelayRequest, data) == 32 && offsetof(KeyRelayRequest, sense) == 40,
              "KeyRelayRequest layout");

NTSTATUS RelayKeyRequest(KeyRelayState *Relay, ULONG *Disposition);
NTSTATUS KeyServerTransact(KeyRelayState *Relay, UCHAR *Outgoing, ULONG PayloadLength, UCHAR *Incoming,
                           ULONG *ReplyLength);
NTSTATUS RunDriveCommand(KeyRelayState *Relay, KeyRelayRequest *Request);
NTSTATUS SendEncryptionDiagnostic(KeyRelayState *Relay, ULONG Type, ULONG Phase);
