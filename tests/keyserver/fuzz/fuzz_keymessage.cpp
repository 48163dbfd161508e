// libFuzzer target for the key server's messages as the relay reads them: any bytes as a message
// that arrived (of any length up to a buffer), and any bytes as the drive's MODE SENSE answer. A
// drive command taken from a message must lie inside what arrived and inside the buffer, and no
// reply may be written outside its buffer (AddressSanitizer sees every byte).
//
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fshort-wchar \
//     -Isrc/drv/bus/keyserver -Isrc/drv/inc -Isrc/drv/platform -Isrc/drv/platform/host/include \
//     tests/keyserver/fuzz/fuzz_keymessage.cpp src/drv/bus/keyserver/keymessage.cpp -o fuzz_keymessage
//   ./fuzz_keymessage -max_total_time=60
// (or configure with -DVYR_FUZZ=ON and the clang compilers: target fuzz_keymessage)
#include "keymessage.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

static void Check(bool ok)
{
    if (!ok)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The receive buffer as the relay has it: KEY_RELAY_BUFFER_SIZE bytes, of which `size` arrived.
    const ULONG length = size < KEY_RELAY_BUFFER_SIZE ? (ULONG)size : KEY_RELAY_BUFFER_SIZE;
    // Separate heap blocks of exact sizes, so that AddressSanitizer catches a byte past any of them.
    UCHAR *incoming = (UCHAR *)malloc(KEY_RELAY_BUFFER_SIZE);
    memset(incoming, 0xA5, KEY_RELAY_BUFFER_SIZE);
    memcpy(incoming, data, length);
    // The drive's MODE SENSE(10) answer: the same bytes seen from their end, in a data buffer.
    UCHAR *modeSense = (UCHAR *)malloc(KEY_RELAY_DATA_LIMIT);
    memset(modeSense, 0, KEY_RELAY_DATA_LIMIT);
    for (ULONG i = 0; i < length && i < KEY_RELAY_DATA_LIMIT; i++)
        modeSense[i] = data[size - 1 - i];

    KeyRelayRequest request;
    NTSTATUS status = KrpCommandFromMessage(&request, incoming, length, modeSense);
    if (status == STATUS_SUCCESS) {
        Check(request.cdbLength == 10);
        if (request.data != modeSense) {
            Check(request.data >= incoming + MSG_DATA);
            Check(request.data + request.dataLength <= incoming + length);
        } else {
            Check(request.dataLength <= KEY_RELAY_DATA_LIMIT);
        }
    } else {
        Check(status == STATUS_CANCELLED);
    }

    // Both replies, each into a buffer of exactly the size the relay gives it.
    UCHAR *reply = (UCHAR *)malloc(KEY_RELAY_BUFFER_SIZE);
    status = KrpBuildDataReply(reply, incoming, modeSense);
    Check(status == STATUS_SUCCESS || status == STATUS_CANCELLED);
    UCHAR echo[KEY_RELAY_ECHO_LENGTH] = {};
    UCHAR *statusReply = (UCHAR *)malloc(STATUS_REPLY_LENGTH);
    KrpBuildStatusReply(statusReply, incoming, echo, size & 1);
    Check(!(statusReply[MSG_COMMAND_FLAGS - MSG_EXCHANGE_HEADER + 13] & 0x80));
    free(statusReply);
    free(reply);
    free(modeSense);
    free(incoming);
    return 0;
}
