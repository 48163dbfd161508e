// The key-server configuration text: line forms, address forms, numbers, and the refusals that
// keep a malformed or oversized file from being half-read.
#include "keyserver.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Parsed {
    NTSTATUS status;
    KeyServerTable table;
};

Parsed Parse(const std::string &text, ULONGLONG changeTime = 1234)
{
    Parsed p{};
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\x7f'); // the loader's extra byte; the parser must terminate it itself
    p.status = ParseKeyServerConfig(&p.table, buffer.data(), (ULONG)text.size(), changeTime);
    return p;
}

std::string Ipv4Text(const KeyServerEntry &e)
{
    char text[INET_ADDRSTRLEN];
    in_addr a;
    a.s_addr = e.ipv4.address;
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

TEST(KeyServerConfig, LineEndsParseAlike)
{
    const char *lines[] = {"zks1 30 192.168.10.5:3801", "zks2 45 fd00::17 3802", "zks3 5 10.1.2.3:1"};
    std::string crlf, lf, unterminated;
    for (const char *l : lines) {
        crlf += std::string(l) + "\r\n";
        lf += std::string(l) + "\n";
    }
    unterminated = lf.substr(0, lf.size() - 1);
    for (const std::string &text : {crlf, lf, unterminated}) {
        Parsed p = Parse(text);
        ASSERT_EQ(p.status, STATUS_SUCCESS);
        EXPECT_EQ(p.table.loaded, 1u);
        ASSERT_EQ(p.table.serverCount, 3);
        EXPECT_EQ(p.table.currentServer, 0);
        EXPECT_EQ(p.table.fileSize, text.size());
        EXPECT_EQ(p.table.changeTime, 1234u);

        const KeyServerEntry &a = p.table.entries[0];
        EXPECT_STREQ(a.name, "zks1");
        EXPECT_EQ(a.timeout, 30u);
        EXPECT_EQ(a.family, 2u);
        EXPECT_EQ(a.ipv4.family, 2);
        EXPECT_EQ(ntohs(a.ipv4.port), 3801);
        EXPECT_EQ(Ipv4Text(a), "192.168.10.5");
        EXPECT_STREQ(a.addressText, "192.168.10.5");

        const KeyServerEntry &b = p.table.entries[1];
        EXPECT_STREQ(b.name, "zks2");
        EXPECT_EQ(b.family, 26u);
        EXPECT_EQ(b.ipv6.family, 26);
        EXPECT_EQ(ntohs(b.ipv6.port), 3802);
        EXPECT_STREQ(b.addressText, "fd00::17");
        const UCHAR want[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x17};
        EXPECT_EQ(memcmp(b.ipv6.address, want, 16), 0);

        EXPECT_EQ(ntohs(p.table.entries[2].ipv4.port), 1);
    }
}

TEST(KeyServerConfig, SkippedLinesAndComments)
{
    std::string text = "\n\r\n\n# a comment\n  indented junk ::: x\n\tzzz tab-indented\n"
                       "a 1 1.2.3.4:80#comment\r\n\r\n\r\n"
                       "b 2 1.2.3.5:81 trailing words, anything\n"
                       "c 3 fe80::1 82 # note\n"
                       "d 4 1.2.3.6:83\r"; // a lone CR is part of the line; the port ends before it
    Parsed p = Parse(text);
    ASSERT_EQ(p.status, STATUS_SUCCESS) << std::hex << p.status;
    ASSERT_EQ(p.table.serverCount, 4);
    EXPECT_EQ(ntohs(p.table.entries[0].ipv4.port), 80);
    EXPECT_EQ(ntohs(p.table.entries[1].ipv4.port), 81);
    EXPECT_EQ(p.table.entries[2].family, 26u);
    EXPECT_EQ(ntohs(p.table.entries[2].ipv6.port), 82);
    EXPECT_EQ(ntohs(p.table.entries[3].ipv4.port), 83);

    // TABs count as blanks between the fields too.
    Parsed t = Parse("e\t7\t\t9.9.9.9:9");
    ASSERT_EQ(t.status, STATUS_SUCCESS);
    EXPECT_EQ(t.table.entries[0].timeout, 7u);
}

TEST(KeyServerConfig, SixteenServersAndTheRestIgnored)
{
    std::string text;
    for (int i = 0; i < 16; i++)
        text += "s" + std::to_string(i) + " 10 10.0.0." + std::to_string(i + 1) + ":" + std::to_string(4000 + i) + "\n";
    // Past the sixteenth server nothing is read, not even a malformed or overlong line.
    text += "garbage\n" + std::string(300, 'x') + "\n";
    Parsed p = Parse(text);
    ASSERT_EQ(p.status, STATUS_SUCCESS);
    EXPECT_EQ(p.table.serverCount, 16);
    EXPECT_EQ(p.table.currentServer, 0);
    EXPECT_EQ(Ipv4Text(p.table.entries[15]), "10.0.0.16");
    EXPECT_EQ(ntohs(p.table.entries[15].ipv4.port), 4015);
}

TEST(KeyServerConfig, InvalidLinesRefuseTheWholeFile)
{
    const char *bad[] = {
        "srv 10 10.0.0.1:3801 # note: old", // two ':' from the third field on: the IPv6 form, which fails
        "srv 10 10.0.0.1 3801",             // IPv4 without ':'
        "srv 0 10.0.0.1:3801",              // timeout 0
        "srv x 10.0.0.1:3801",              // no timeout digits
        "srv 10 10.0.0.1:0",                // port 0
        "srv 10 10.0.0.1:65536",            // port 65536 is 0
        "srv 10 10.0.0.1:",                 // missing port
        "srv 10 fd00::1",                   // IPv6 without port
        "srv 10 fd00::1 #3801",             // IPv6 port is a comment
        "srv",                              // no blank at all
        "srv 10",                           // ends after the timeout
        "srv 10 ",                          // ends before the address
        "srv 10 1.2.3:80",                  // too short for an IPv4 address
        "srv 10 1.2.3.:80",
        "srv 10 1.2.3.4.5.6:80",            // more dots than any address form
        "srv 10 fd00::1::2 80",             // two "::"
        "srv 10 :1:2:3:4:5:6:7 80",         // leading single ':'
        "srv 10 1:2:3:4:5:6:7 80",          // seven groups without "::"
        "srv 10 1:2:3:4:5:6:7:8:9 80",      // nine groups
        "srv 10 1::10000 80",               // group above 0xFFFF
        "srv 10 ::ffff:1.2.3.4 80",         // dotted IPv4 ending
        "srv 10 fd00::g 80",
    };
    for (const char *line : bad) {
        Parsed p = Parse(std::string("good 5 1.1.1.1:1\n") + line + "\n");
        EXPECT_EQ(p.status, STATUS_OBJECT_NAME_NOT_FOUND) << line;
        EXPECT_EQ(p.table.loaded, 0u) << line;
    }
}

TEST(KeyServerConfig, NumbersAndAddressesWrapAsWritten)
{
    Parsed p = Parse("a 10 10.0.0.300:65537\nb 10 1.2.3.4x:2\nc 10 1..3.44:3\nd 10 1.2.3.4.:4\n");
    ASSERT_EQ(p.status, STATUS_SUCCESS);
    EXPECT_EQ(Ipv4Text(p.table.entries[0]), "10.0.0.44");
    EXPECT_EQ(ntohs(p.table.entries[0].ipv4.port), 1);
    EXPECT_EQ(Ipv4Text(p.table.entries[1]), "1.2.3.4");
    EXPECT_EQ(Ipv4Text(p.table.entries[2]), "1.0.3.44");
    EXPECT_EQ(Ipv4Text(p.table.entries[3]), "1.2.3.4");

    EXPECT_EQ(ParseDecimal(nullptr), 0);
    EXPECT_EQ(ParseDecimal(""), 0);
    EXPECT_EQ(ParseDecimal("-5"), 0);
    EXPECT_EQ(ParseDecimal(" 5"), 0);
    EXPECT_EQ(ParseDecimal("0042abc"), 42);
    EXPECT_EQ(ParseDecimal("4294967297"), 1); // wraps in 32 bits

    ULONG v = 0;
    EXPECT_EQ(ParseIpv4Address("255.255.255.255", &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_EQ(ParseIpv4Address("255.255.255.2555", &v), STATUS_INVALID_PARAMETER); // 16 characters
    EXPECT_EQ(ParseIpv4Address("1.2.3.4.", &v), STATUS_SUCCESS);                  // four dots are allowed
    EXPECT_EQ(ParseIpv4Address("1.2.3.4..", &v), STATUS_INVALID_PARAMETER);
}

TEST(KeyServerConfig, Ipv6Forms)
{
    struct Case {
        const char *text;
        std::array<UCHAR, 16> bytes;
    };
    const Case good[] = {
        {"::", {}},
        {"::1", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
        {"1::", {0, 1}},
        {"FD00:0:0:0:0:0:aB:1", {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xab, 0, 1}},
        {"1:2:3:4:5:6:7::", {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 0}},
        {"::2:3:4:5:6:7:8", {0, 0, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8}},
        {"1:2::7:8", {0, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0, 8}},
        {"0000ffff::", {0xff, 0xff}},
    };
    for (const Case &c : good) {
        UCHAR out[16];
        memset(out, 0xcc, sizeof out);
        ASSERT_EQ(ParseIpv6Address(c.text, out), 1u) << c.text;
        EXPECT_EQ(memcmp(out, c.bytes.data(), 16), 0) << c.text;
    }
    const char *bad[] = {"", ":", ":::", "1:", "1:2:3:4:5:6:7:8::", "1::2::3", "1:2:3:4:5:6:7:8:9",
                         "1:2:3:4:5:6:7::8", "12345::", "1 ::", "::1%eth0", "::1.2.3.4"};
    for (const char *text : bad) {
        UCHAR out[16];
        EXPECT_EQ(ParseIpv6Address(text, out), 0u) << text;
    }
}

TEST(KeyServerConfig, OutOfFormatInputIsRefusedWithoutOverrun)
{
    // The longest line the 80-byte buffer takes, then one more character.
    std::string prefix = "n 1 1.2.3.4:5 ";
    std::string fits = prefix + std::string(79 - prefix.size(), 'c');
    ASSERT_EQ(fits.size(), 79u);
    EXPECT_EQ(Parse(fits + "\n").status, STATUS_SUCCESS);
    EXPECT_EQ(Parse(fits + "c\n").status, STATUS_OBJECT_NAME_NOT_FOUND);

    std::string name31(31, 'n'), name32(32, 'n');
    Parsed ok = Parse(name31 + " 1 1.2.3.4:5");
    ASSERT_EQ(ok.status, STATUS_SUCCESS);
    EXPECT_EQ(std::string(ok.table.entries[0].name), name31);
    EXPECT_EQ(Parse(name32 + " 1 1.2.3.4:5").status, STATUS_OBJECT_NAME_NOT_FOUND);

    // A NUL inside the text, and a change time of 0.
    std::string withNul = std::string("a 1 1.2.3.4:5\n") + '\0' + "b 1 1.2.3.4:6\n";
    EXPECT_EQ(Parse(withNul).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Parse("a 1 1.2.3.4:5", 0).status, STATUS_INVALID_PARAMETER);
    // Only whole seconds' low 32 bits are kept.
    EXPECT_EQ(Parse("a 1 1.2.3.4:5", 0x100000007ULL).table.changeTime, 7u);

    // An empty text is a valid (empty) table.
    Parsed empty = Parse("# nothing\n");
    EXPECT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_EQ(empty.table.serverCount, 0);
    EXPECT_EQ(empty.table.loaded, 1u);
}

TEST(KeyServerConfig, FailedParseKeepsEarlierEntriesButNotLoaded)
{
    Parsed p = Parse("a 1 1.2.3.4:5\nb 1 bad\n");
    EXPECT_EQ(p.status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(p.table.loaded, 0u);
    EXPECT_EQ(p.table.serverCount, 1);
    EXPECT_STREQ(p.table.entries[0].name, "a");
}

} // namespace
