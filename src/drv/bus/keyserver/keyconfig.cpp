// VYRZKS.conf, the text: one key server per line, in one of two forms
//
//     name timeout a.b.c.d:port [comment]
//     name timeout ipv6-address port [comment]
//
// Blank lines, lines starting with '#' and lines starting with a blank or TAB are skipped; at most
// sixteen servers are taken. The operator writes the file, so nothing in it is trusted: a line
// longer than the 80-byte line buffer, a name longer than its field or a malformed address refuses
// the whole file rather than being cut or read past its end.
#include "keyserver.h"

namespace {

inline BOOLEAN KspIsDigit(CHAR c)
{
    return c >= '0' && c <= '9';
}

inline LONG KspHexValue(CHAR c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

ULONG KspLength(const CHAR *Text)
{
    ULONG n = 0;
    while (Text[n])
        n++;
    return n;
}

CHAR *KspSkipBlanks(CHAR *p)
{
    while (*p == ' ')
        p++;
    return p;
}

CHAR *KspFindBlank(CHAR *p)
{
    while (*p && *p != ' ')
        p++;
    return p;
}

inline USHORT KspNetworkOrder16(ULONG value)
{
    return (USHORT)(((value & 0xFF) << 8) | ((value >> 8) & 0xFF));
}

inline ULONG KspNetworkOrder32(ULONG value)
{
    return ((value & 0xFF) << 24) | ((value & 0xFF00) << 8) | ((value >> 8) & 0xFF00) | (value >> 24);
}

} // namespace

/*++
    Value of the leading decimal digits of Text, 0 when there are none (or no text). No sign and
    no leading blank; the 32-bit value wraps on overflow.
--*/
LONG ParseDecimal(const CHAR *Text)
{
    if (!Text)
        return 0;
    ULONG value = 0;
    for (const CHAR *p = Text; KspIsDigit(*p); p++)
        value = value * 10 + (ULONG)(*p - '0');
    return (LONG)value;
}

/*++
    Dotted IPv4 text to a 32-bit value (first number in the top byte). The text is 7 to 15
    characters with three or four dots; each number is taken modulo 256 and an empty one is 0, so
    10.0.0.300 reads as 10.0.0.44. Text after the fourth number is ignored.
--*/
NTSTATUS ParseIpv4Address(const CHAR *Text, ULONG *Address)
{
    if (!Text || !Address)
        return STATUS_INVALID_PARAMETER;
    ULONG length = KspLength(Text);
    if (length < 7 || length > 15)
        return STATUS_INVALID_PARAMETER;
    const CHAR *dots[4] = {};
    ULONG dotCount = 0;
    for (ULONG i = 0; i < length; i++) {
        if (Text[i] != '.')
            continue;
        // A fifth dot is outside any address form.
        if (dotCount == 4)
            return STATUS_INVALID_PARAMETER;
        dots[dotCount++] = Text + i;
    }
    if (dotCount < 3)
        return STATUS_INVALID_PARAMETER;
    ULONG a = (ULONG)ParseDecimal(Text) & 0xFF;
    ULONG b = (ULONG)ParseDecimal(dots[0] + 1) & 0xFF;
    ULONG c = (ULONG)ParseDecimal(dots[1] + 1) & 0xFF;
    ULONG d = (ULONG)ParseDecimal(dots[2] + 1) & 0xFF;
    *Address = (a << 24) | (b << 16) | (c << 8) | d;
    return STATUS_SUCCESS;
}

/*++
    Textual IPv6 address of hexadecimal groups with at most one "::" to 16 bytes in network order.
    Returns 1 for a valid address, 0 otherwise. The dotted IPv4 ending is not accepted.
--*/
ULONG ParseIpv6Address(const CHAR *Text, UCHAR Address[16])
{
    if (!Text || !Address)
        return 0;
    USHORT groups[8] = {};
    LONG count = 0;
    LONG gap = -1; // index of the group that follows "::"
    const CHAR *p = Text;
    if (p[0] == ':') {
        if (p[1] != ':')
            return 0;
        gap = 0;
        p += 2;
        if (*p == 0)
            goto Done;
    }
    for (;;) {
        ULONG value = 0;
        LONG digits = 0;
        LONG hex;
        while ((hex = KspHexValue(*p)) >= 0) {
            value = value * 16 + (ULONG)hex;
            if (value > 0xFFFF)
                return 0;
            digits++;
            p++;
        }
        if (digits == 0)
            return 0; // an empty group, or a character that is neither hex nor ':'
        if (count == 8)
            return 0;
        groups[count++] = (USHORT)value;
        if (*p == 0)
            break;
        if (*p != ':')
            return 0;
        p++;
        if (*p == ':') {
            if (gap >= 0)
                return 0; // a second "::"
            gap = count;
            p++;
            if (*p == 0)
                break;
        } else if (*p == 0) {
            return 0; // a trailing single ':'
        }
    }
Done:
    if (gap < 0 ? count != 8 : count > 7)
        return 0;
    UCHAR bytes[16] = {};
    LONG tail = gap < 0 ? 0 : count - gap;
    LONG head = count - tail;
    for (LONG i = 0; i < head; i++) {
        bytes[2 * i] = (UCHAR)(groups[i] >> 8);
        bytes[2 * i + 1] = (UCHAR)groups[i];
    }
    for (LONG i = 0; i < tail; i++) {
        LONG at = 8 - tail + i;
        bytes[2 * at] = (UCHAR)(groups[head + i] >> 8);
        bytes[2 * at + 1] = (UCHAR)groups[head + i];
    }
    RtlCopyMemory(Address, bytes, sizeof(bytes));
    return 1;
}

/*++
    Parses one server line (NUL-terminated, modified in place) into the entry at the table's
    current-server index. Returns STATUS_SUCCESS or STATUS_INVALID_PARAMETER.
--*/
NTSTATUS ParseKeyServerLine(KeyServerTable *Table, CHAR *Line)
{
    if (!Table || !Line || Table->currentServer < 0 || Table->currentServer >= KEYSERVER_MAX_SERVERS)
        return STATUS_INVALID_PARAMETER;
    KeyServerEntry *entry = &Table->entries[Table->currentServer];

    // Name: to the first blank.
    CHAR *name = Line;
    CHAR *p = KspFindBlank(name);
    if (*p == 0)
        return STATUS_INVALID_PARAMETER;
    ULONG nameLength = (ULONG)(p - name);
    if (nameLength >= KEYSERVER_NAME_SIZE)
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(entry->name, name, nameLength);
    entry->name[nameLength] = 0;

    // Timeout: to the next blank, and the line must go on.
    p = KspSkipBlanks(p);
    CHAR *timeout = p;
    p = KspFindBlank(p);
    if (*p == 0)
        return STATUS_INVALID_PARAMETER;
    *p++ = 0;
    LONG seconds = ParseDecimal(timeout);
    if (seconds == 0)
        return STATUS_INVALID_PARAMETER;
    entry->timeout = (ULONG)seconds;

    p = KspSkipBlanks(p);
    if (*p == 0)
        return STATUS_INVALID_PARAMETER;

    // Two or more ':' from here to the end of the line, a comment included, select the IPv6 form.
    CHAR *address = p;
    ULONG colons = 0;
    for (CHAR *q = address; *q; q++)
        if (*q == ':')
            colons++;
    BOOLEAN ipv6 = colons > 1;

    CHAR *port;
    if (ipv6) {
        CHAR *end = KspFindBlank(address);
        if (*end == 0)
            return STATUS_INVALID_PARAMETER;
        while (*end == ' ')
            *end++ = 0;
        if (*end == 0 || *end == '#')
            return STATUS_INVALID_PARAMETER;
        port = end;
    } else {
        CHAR *colon = address;
        while (*colon && *colon != ':')
            colon++;
        if (*colon == 0)
            return STATUS_INVALID_PARAMETER;
        *colon = 0;
        port = colon + 1;
    }

    ULONG addressLength = KspLength(address);
    if (addressLength >= KEYSERVER_ADDRESS_SIZE)
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(entry->addressText, address, addressLength + 1);

    UCHAR bytes6[16];
    ULONG address4 = 0;
    if (ipv6) {
        if (ParseIpv6Address(address, bytes6) != 1)
            return STATUS_INVALID_PARAMETER;
    } else if (ParseIpv4Address(address, &address4) != STATUS_SUCCESS) {
        return STATUS_INVALID_PARAMETER;
    }

    // Port: to a blank, a '#' or the end of the line.
    CHAR *portEnd = port;
    while (*portEnd && *portEnd != ' ' && *portEnd != '#')
        portEnd++;
    *portEnd = 0;
    ULONG portValue = (ULONG)ParseDecimal(port) & 0xFFFF;
    if (portValue == 0)
        return STATUS_INVALID_PARAMETER;

    if (ipv6) {
        entry->family = KEYSERVER_AF_INET6;
        entry->ipv6.family = (UCHAR)KEYSERVER_AF_INET6;
        entry->ipv6.port = KspNetworkOrder16(portValue);
        entry->ipv6.flowInfo = 0;
        RtlCopyMemory(entry->ipv6.address, bytes6, sizeof(bytes6));
    } else {
        entry->family = KEYSERVER_AF_INET;
        RtlZeroMemory(&entry->ipv4, sizeof(entry->ipv4));
        entry->ipv4.family = KEYSERVER_AF_INET;
        entry->ipv4.port = KspNetworkOrder16(portValue);
        entry->ipv4.address = KspNetworkOrder32(address4);
    }
    entry->socket = -1;
    return STATUS_SUCCESS;
}

/*++
    Parses the whole text of VYRZKS.conf into Table. Text holds Size + 1 bytes and is modified in
    place. Any invalid line refuses the file with STATUS_OBJECT_NAME_NOT_FOUND and leaves the
    loaded flag 0; lines past the sixteenth server are not looked at.
--*/
NTSTATUS ParseKeyServerConfig(KeyServerTable *Table, CHAR *Text, ULONG Size, ULONGLONG ChangeTime)
{
    if (!Table || !Text)
        return STATUS_INVALID_PARAMETER;
    if (ChangeTime == 0)
        return STATUS_INVALID_PARAMETER;
    Table->loaded = 0;
    Table->currentServer = 0;
    Table->serverCount = 0;
    Table->fileSize = Size;
    Table->changeTime = (ULONG)ChangeTime;

    Text[Size] = 0;
    // A NUL inside the text (or a short read into the zeroed buffer) is not a text file.
    if (KspLength(Text) != Size)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    for (ULONG i = 0; i < Size; i++)
        if (Text[i] == '\t')
            Text[i] = ' ';

    ULONG pos = 0;
    while (pos < Size) {
        // A line ends at LF or at CR LF; a lone CR belongs to the line.
        ULONG start = pos;
        ULONG end = start;
        while (end < Size && Text[end] != '\n')
            end++;
        ULONG next = end < Size ? end + 1 : end;
        if (end > start && Text[end - 1] == '\r' && end < Size)
            end--;
        pos = next;

        ULONG length = end - start;
        if (length == 0 || Text[start] == '#' || Text[start] == ' ')
            continue;
        if (Table->serverCount >= KEYSERVER_MAX_SERVERS)
            break;
        if (length >= KEYSERVER_LINE_SIZE)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        CHAR line[KEYSERVER_LINE_SIZE];
        RtlCopyMemory(line, Text + start, length);
        line[length] = 0;
        if (ParseKeyServerLine(Table, line) != STATUS_SUCCESS)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        Table->serverCount++;
        Table->currentServer++;
    }
    Table->currentServer = 0;
    Table->loaded = 1;
    return STATUS_SUCCESS;
}
