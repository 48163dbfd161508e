// libFuzzer target for the VYRZKS.conf parser: any bytes as a file's text, and any line as a
// server line or an address. Nothing may be read or written outside the buffers, and what the
// parser leaves in the table must hold together.
//
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fshort-wchar \
//     -Isrc/drv/bus/keyserver -Isrc/drv/inc -Isrc/drv/platform -Isrc/drv/platform/host/include \
//     tests/keyserver/fuzz/fuzz_keyconfig.cpp src/drv/bus/keyserver/keyconfig.cpp -o fuzz_keyconfig
//   ./fuzz_keyconfig -max_total_time=60
// (or configure with -DVYR_FUZZ=ON and the clang compilers: target fuzz_keyconfig)
#include "keyserver.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

static void Check(bool ok)
{
    if (!ok)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The whole file, in a buffer of exactly size + 1 bytes as the loader allocates it.
    {
        std::vector<char> text(data, data + size);
        text.push_back('\x55');
        KeyServerTable table;
        memset(&table, 0xA5, sizeof table);
        NTSTATUS status = ParseKeyServerConfig(&table, text.data(), (ULONG)size, 1);
        Check(status == STATUS_SUCCESS || status == STATUS_OBJECT_NAME_NOT_FOUND);
        Check(table.serverCount >= 0 && table.serverCount <= KEYSERVER_MAX_SERVERS);
        if (status == STATUS_SUCCESS) {
            Check(table.loaded == 1 && table.currentServer == 0);
            for (LONG i = 0; i < table.serverCount; i++) {
                const KeyServerEntry &e = table.entries[i];
                Check(memchr(e.name, 0, sizeof e.name) != nullptr);
                Check(memchr(e.addressText, 0, sizeof e.addressText) != nullptr);
                Check(e.timeout != 0);
                Check(e.family == KEYSERVER_AF_INET || e.family == KEYSERVER_AF_INET6);
                Check(e.family == KEYSERVER_AF_INET ? e.ipv4.port != 0 : e.ipv6.port != 0);
            }
        }
    }
    // One line as the parser's 80-byte line buffer holds it, and the address routines.
    {
        char line[KEYSERVER_LINE_SIZE];
        size_t n = size < sizeof line - 1 ? size : sizeof line - 1;
        memcpy(line, data, n);
        line[n] = 0;
        KeyServerTable table{};
        NTSTATUS status = ParseKeyServerLine(&table, line);
        Check(status == STATUS_SUCCESS || status == STATUS_INVALID_PARAMETER);

        std::vector<char> text(data, data + size);
        text.push_back(0);
        ULONG v4;
        UCHAR v6[16];
        ParseIpv4Address(text.data(), &v4);
        Check(ParseIpv6Address(text.data(), v6) <= 1);
        ParseDecimal(text.data());
    }
    return 0;
}
