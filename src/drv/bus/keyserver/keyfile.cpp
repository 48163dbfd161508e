// VYRZKS.conf, the file: found on the drive the bus's "SystemDrive" value names, or else on the
// first of the drives C to Z that holds it, and read again only when its change time (whole
// seconds) or its size differs from the copy in memory.
#include "keyserver.h"

namespace {

// Appends Source to a counted path buffer; false when it would not fit with its terminator.
BOOLEAN KspAppend(WCHAR *Buffer, ULONG *Length, const WCHAR *Source, ULONG SourceLength)
{
    if (*Length + SourceLength + 1 > KEYSERVER_PATH_CHARS)
        return FALSE;
    RtlCopyMemory(Buffer + *Length, Source, SourceLength * sizeof(WCHAR));
    *Length += SourceLength;
    Buffer[*Length] = 0;
    return TRUE;
}

ULONG KspWideLength(const WCHAR *Text)
{
    ULONG n = 0;
    while (Text[n])
        n++;
    return n;
}

// Opens one candidate path for reading: read sharing only, synchronous, never a directory.
NTSTATUS KspOpenPath(PHANDLE Handle, const WCHAR *Path, ULONG Length)
{
    UNICODE_STRING name;
    name.Buffer = (PWCH)Path;
    name.Length = (USHORT)(Length * sizeof(WCHAR));
    name.MaximumLength = (USHORT)((Length + 1) * sizeof(WCHAR));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    RtlZeroMemory(&iosb, sizeof(iosb));
    return ZwOpenFile(Handle, GENERIC_READ | SYNCHRONIZE, &attributes, &iosb, FILE_SHARE_READ,
                      FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
}

} // namespace

/*++
    Opens FileName in the root of the system drive. The drive comes from the bus service key's
    "SystemDrive" value (stored with its trailing backslash, e.g. D:\); without the value the
    drives C to Z are tried in order and the last failure is returned when none holds the file.
    A path that does not fit the 256-character buffer is refused as the file would be.
--*/
NTSTATUS OpenKeyServerConfigFile(PHANDLE Handle, PCWSTR FileName)
{
    VYR_PAGED_CODE();
    if (!Handle || !FileName)
        return STATUS_INVALID_PARAMETER;
    *Handle = nullptr;
    static const WCHAR prefix[] = L"\\??\\";
    const ULONG prefixLength = (ULONG)(sizeof(prefix) / sizeof(WCHAR)) - 1;
    const ULONG fileLength = KspWideLength(FileName);
    WCHAR path[KEYSERVER_PATH_CHARS];
    ULONG length = 0;

    UNICODE_STRING drive;
    RtlZeroMemory(&drive, sizeof(drive));
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_TYPECHECK;
    table[0].Name = (PWSTR)L"SystemDrive";
    table[0].EntryContext = &drive;
    table[0].DefaultType = (ULONG)REG_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, VYR_KEYSERVER_SERVICE_KEY, table, nullptr, nullptr);

    if (NT_SUCCESS(status)) {
        // The value exactly as stored, no separator added.
        BOOLEAN fits = KspAppend(path, &length, prefix, prefixLength) &&
                       KspAppend(path, &length, drive.Buffer ? drive.Buffer : L"", drive.Length / sizeof(WCHAR)) &&
                       KspAppend(path, &length, FileName, fileLength);
        RtlFreeUnicodeString(&drive);
        if (!fits)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        return KspOpenPath(Handle, path, length);
    }
    if (status != STATUS_OBJECT_NAME_NOT_FOUND)
        return status;

    for (WCHAR letter = L'C'; letter <= L'Z'; letter++) {
        WCHAR root[3] = {letter, L':', L'\\'};
        length = 0;
        if (!KspAppend(path, &length, prefix, prefixLength) || !KspAppend(path, &length, root, 3) ||
            !KspAppend(path, &length, FileName, fileLength))
            return STATUS_OBJECT_NAME_NOT_FOUND;
        status = KspOpenPath(Handle, path, length);
        if (NT_SUCCESS(status))
            return status;
    }
    return status;
}

/*++
    Makes Table current with VYRZKS.conf. Success means the loaded flag is 1. The file is read
    and parsed only when its change time in seconds or its size differs from the last parse (or
    no parse has succeeded yet). Passive level, in the relay's thread.
--*/
NTSTATUS LoadKeyServerConfig(KeyServerTable *Table)
{
    VYR_PAGED_CODE();
    if (!Table)
        return STATUS_INVALID_PARAMETER;
    HANDLE handle = nullptr;
    NTSTATUS status = OpenKeyServerConfigFile(&handle, VYR_KEYSERVER_FILE_NAME);
    if (!NT_SUCCESS(status)) {
        // The copy in memory no longer stands for a file; the next load reads afresh.
        Table->loaded = 0;
        return status;
    }

    CHAR *text = nullptr;
    ULONGLONG changeSeconds = 0;
    ULONG size = 0;
    IO_STATUS_BLOCK iosb;
    FILE_BASIC_INFORMATION basic;
    FILE_STANDARD_INFORMATION standard;
    LARGE_INTEGER offset;

    RtlZeroMemory(&iosb, sizeof(iosb));
    RtlZeroMemory(&basic, sizeof(basic));
    status = ZwQueryInformationFile(handle, &iosb, &basic, sizeof(basic), FileBasicInformation);
    if (!NT_SUCCESS(status))
        goto Exit;
    if (iosb.Information < sizeof(basic)) {
        status = STATUS_INFO_LENGTH_MISMATCH;
        goto Exit;
    }
    changeSeconds = (ULONGLONG)basic.ChangeTime.QuadPart / 10000000ULL;

    RtlZeroMemory(&iosb, sizeof(iosb));
    RtlZeroMemory(&standard, sizeof(standard));
    status = ZwQueryInformationFile(handle, &iosb, &standard, sizeof(standard), FileStandardInformation);
    if (!NT_SUCCESS(status))
        goto Exit;
    if (iosb.Information < sizeof(standard)) {
        status = STATUS_INFO_LENGTH_MISMATCH;
        goto Exit;
    }
    if (standard.EndOfFile.QuadPart == 0) {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
        goto Exit;
    }
    // The buffer holds the size plus a terminator; a size that cannot be counted in 32 bits
    // with it cannot be read in one read either.
    if (standard.EndOfFile.QuadPart < 0 || standard.EndOfFile.QuadPart >= 0xFFFFFFFFLL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    size = (ULONG)standard.EndOfFile.QuadPart;

    if (Table->loaded == 1 && Table->changeTime == (ULONG)changeSeconds && Table->fileSize == size) {
        status = STATUS_SUCCESS;
        goto Exit;
    }

    text = (CHAR *)ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)size + 1, VYR_TAG_KEYSERVER);
    if (!text) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(text, (SIZE_T)size + 1);
    offset.QuadPart = 0;
    RtlZeroMemory(&iosb, sizeof(iosb));
    status = ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, text, size, &offset, nullptr);
    if (!NT_SUCCESS(status))
        goto Exit;
    ZwClose(handle);
    handle = nullptr;
    status = ParseKeyServerConfig(Table, text, size, changeSeconds);

Exit:
    if (handle)
        ZwClose(handle);
    if (text)
        ExFreePoolWithTag(text, VYR_TAG_KEYSERVER);
    if (!NT_SUCCESS(status))
        Table->loaded = 0;
    return status;
}
