// Logical device objects (\Device\Tape%d): creation and naming, the persistent names kept per
// drive under the service key, the SCSI device map, Plug and Play of the objects and their
// removal.
#include "bus.h"

namespace {

#if defined(VYR_BUILD_CHANGER) && VYR_BUILD_CHANGER
#define VYR_LOGICAL_BASE L"Changer"
#else
#define VYR_LOGICAL_BASE L"Tape"
#endif
#define VYR_DEVICE_PREFIX L"\\Device\\"
#define VYR_DOS_PREFIX L"\\DosDevices\\"

constexpr ULONG DEVICE_PREFIX_CHARS = 8;           // \Device\ .
constexpr ULONG PERSISTENT_FIRST_NUMBER = 5659986; // where persistent numbering starts
constexpr ULONG NAME_KEY_CHARS = 50;               // "SERNUM_" + 32, or "WWNN_" + 16, and room to spare
constexpr ULONG PERSISTENT_NAME_CHARS = 16;        // longest device name a PersistentNameEntry holds
constexpr ULONG NAME_ENUM_BUFFER_SIZE = 124;       // subkey enumeration buffer (basic information)
constexpr ULONG REGISTRY_PATH_CHARS = 200;

ULONG WideLength(const WCHAR *s)
{
    ULONG n = 0;
    while (s[n])
        n++;
    return n;
}

void CopyWide(WCHAR *dest, ULONG destChars, const WCHAR *src, ULONG srcChars)
{
    if (srcChars >= destChars)
        srcChars = destChars - 1;
    RtlCopyMemory(dest, src, srcChars * sizeof(WCHAR));
    dest[srcChars] = 0;
}

void InitUnicode(UNICODE_STRING *u, WCHAR *text)
{
    RtlInitUnicodeString(u, text);
}

NTSTATUS OpenKey(HANDLE *Key, ACCESS_MASK Access, WCHAR *Path, HANDLE Root = nullptr)
{
    UNICODE_STRING name;
    InitUnicode(&name, Path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, Root, nullptr);
    return ZwOpenKey(Key, Access, &attributes);
}

#if !VYR_BUILD_CHANGER
const WCHAR kPersistentValue[] = L"PersistentDeviceName";

WCHAR UpcaseAscii(WCHAR c)
{
    return (c >= L'a' && c <= L'z') ? (WCHAR)(c - L'a' + L'A') : c;
}

// Registry names compare without case, so the table does too.
bool EqualNoCase(const WCHAR *a, const WCHAR *b)
{
    while (*a && UpcaseAscii(*a) == UpcaseAscii(*b)) {
        a++;
        b++;
    }
    return UpcaseAscii(*a) == UpcaseAscii(*b);
}

bool EqualExact(const WCHAR *a, const WCHAR *b)
{
    while (*a && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

bool IsHex(WCHAR c)
{
    return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f');
}

bool IsAlnum(WCHAR c)
{
    return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// Drives pad their serial numbers with blanks to the full 32 characters, and the key keeps them:
// a key of a padded serial must load back, or its drive would get a new name at every start.
bool IsSerialKeyChar(WCHAR c)
{
    return IsAlnum(c) || c == L' ';
}

// A subkey of ours: "WWNN_" and hexadecimal digits only, or "SERNUM_" and letters and digits only
// (and the padding blanks of a serial number).
bool IsPersistentKeyName(const WCHAR *name, ULONG chars)
{
    struct Form {
        const WCHAR *prefix;
        ULONG prefixChars;
        bool (*allowed)(WCHAR);
    };
    const Form forms[] = {{L"WWNN_", 5, IsHex}, {L"SERNUM_", 7, IsSerialKeyChar}};
    for (const Form &form : forms) {
        if (chars <= form.prefixChars)
            continue;
        ULONG i = 0;
        while (i < form.prefixChars && UpcaseAscii(name[i]) == form.prefix[i])
            i++;
        if (i < form.prefixChars)
            continue;
        for (; i < chars; i++)
            if (!form.allowed(name[i]))
                return false;
        return true;
    }
    return false;
}

// A field of fixed width, right-aligned in it and left-filled with '0' when its text is shorter.
ULONG AppendRightAligned(WCHAR *dest, const CHAR *field, ULONG width)
{
    ULONG length = 0;
    while (length < width && field[length])
        length++;
    ULONG out = 0;
    for (; out < width - length; out++)
        dest[out] = L'0';
    for (ULONG i = 0; i < length; i++)
        dest[out++] = (WCHAR)(UCHAR)field[i];
    return out;
}

// The drive's key in the persistent-name table: by WWNN when the path is logical unit 0 and
// the WWNN is known (not all '0'), else by serial number.
void BuildNameKey(const PathRegistration *Registration, WCHAR Key[NAME_KEY_CHARS])
{
    WCHAR wwnn[16], serial[32];
    AppendRightAligned(wwnn, Registration->szWwnn, 16);
    AppendRightAligned(serial, Registration->szSerialNumber, 32);
    bool wwnnKnown = false;
    for (WCHAR c : wwnn)
        wwnnKnown = wwnnKnown || c != L'0';
    ULONG n = 0;
    if (Registration->Address.Lun == 0 && wwnnKnown) {
        for (const WCHAR *p = L"WWNN_"; *p; p++)
            Key[n++] = *p;
        for (WCHAR c : wwnn)
            Key[n++] = c;
    } else {
        for (const WCHAR *p = L"SERNUM_"; *p; p++)
            Key[n++] = *p;
        for (WCHAR c : serial)
            Key[n++] = c;
    }
    Key[n] = 0;
}

PersistentNameEntry *FindPersistentName(BusExtension *Bus, const WCHAR *Key)
{
    for (PersistentNameEntry *entry = Bus->pPersistentNames; entry; entry = entry->pNext)
        if (EqualNoCase(entry->szKeyName, Key))
            return entry;
    return nullptr;
}

bool NameTaken(BusExtension *Bus, const WCHAR *Name)
{
    for (PersistentNameEntry *entry = Bus->pPersistentNames; entry; entry = entry->pNext)
        if (EqualNoCase(entry->szDeviceName, Name))
            return true;
    return false;
}

// N of a persistent name: the decimal digits at its end, 0 when it ends in none.
ULONG TrailingNumber(const WCHAR *Name)
{
    ULONG end = WideLength(Name), start = end;
    while (start > 0 && Name[start - 1] >= L'0' && Name[start - 1] <= L'9')
        start--;
    ULONG value = 0;
    for (ULONG i = start; i < end; i++)
        value = value * 10 + (ULONG)(Name[i] - L'0');
    return value;
}

// Reads a PersistentDeviceName of at most 16 characters. A longer, empty or non-string value
// reads as STATUS_OBJECT_TYPE_MISMATCH: it cannot name a device.
NTSTATUS ReadPersistentValue(HANDLE Key, WCHAR Name[PERSISTENT_NAME_CHARS + 1])
{
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + (PERSISTENT_NAME_CHARS + 1) * sizeof(WCHAR)];
    } buffer;
    UNICODE_STRING valueName;
    InitUnicode(&valueName, (WCHAR *)kPersistentValue);
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &valueName, KeyValuePartialInformation, &buffer, sizeof(buffer), &length);
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL)
        return STATUS_OBJECT_TYPE_MISMATCH;
    if (!NT_SUCCESS(status))
        return status;
    if (buffer.info.Type != REG_SZ && buffer.info.Type != REG_EXPAND_SZ)
        return STATUS_OBJECT_TYPE_MISMATCH;
    ULONG chars = buffer.info.DataLength / sizeof(WCHAR);
    auto *text = (const WCHAR *)buffer.info.Data;
    ULONG used = 0;
    while (used < chars && text[used])
        used++;
    if (used == 0 || used > PERSISTENT_NAME_CHARS)
        return STATUS_OBJECT_TYPE_MISMATCH;
    RtlCopyMemory(Name, text, used * sizeof(WCHAR));
    Name[used] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS PushPersistentName(BusExtension *Bus, const WCHAR *Key, const WCHAR *Name, ULONG Tag)
{
    auto *entry = (PersistentNameEntry *)ExAllocatePoolWithTag(NonPagedPool, sizeof(PersistentNameEntry), Tag);
    if (!entry)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(entry, sizeof(PersistentNameEntry));
    CopyWide(entry->szKeyName, RTL_NUMBER_OF(entry->szKeyName), Key, WideLength(Key));
    CopyWide(entry->szDeviceName, RTL_NUMBER_OF(entry->szDeviceName), Name, WideLength(Name));
    entry->pNext = Bus->pPersistentNames;
    Bus->pPersistentNames = entry;
    return STATUS_SUCCESS;
}

/*++
Routine Description:
    Records Name as the persistent device name of the drive with Key: in the registry when it is
    not there already, then in the table.
--*/
NTSTATUS StorePersistentName(BusExtension *Bus, const WCHAR *Key, const WCHAR *Name)
{
    WCHAR path[REGISTRY_PATH_CHARS];
    _snwprintf(path, RTL_NUMBER_OF(path), L"%s\\%s", VYR_BUS_SERVICE_KEY, Key);
    path[RTL_NUMBER_OF(path) - 1] = 0;

    HANDLE key = nullptr;
    WCHAR current[PERSISTENT_NAME_CHARS + 1];
    bool same = false;
    if (NT_SUCCESS(OpenKey(&key, KEY_READ, path))) {
        same = NT_SUCCESS(ReadPersistentValue(key, current)) && EqualExact(current, Name);
        ZwClose(key);
    }
    if (!same) {
        UNICODE_STRING keyName;
        InitUnicode(&keyName, path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        ULONG disposition;
        NTSTATUS status = ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition);
        if (!NT_SUCCESS(status))
            return status;
        UNICODE_STRING valueName;
        InitUnicode(&valueName, (WCHAR *)kPersistentValue);
        status = ZwSetValueKey(key, &valueName, 0, REG_SZ, (PVOID)Name, (WideLength(Name) + 1) * sizeof(WCHAR));
        ZwClose(key);
        if (!NT_SUCCESS(status))
            return status;
    }

    if (PersistentNameEntry *entry = FindPersistentName(Bus, Key)) {
        CopyWide(entry->szDeviceName, RTL_NUMBER_OF(entry->szDeviceName), Name, WideLength(Name));
        return STATUS_SUCCESS;
    }
    return PushPersistentName(Bus, Key, Name, VYR_TAG_BUS_NAME_ADDED);
}

#else
// A changer is numbered in creation order only: no name key, no table of persistent names.
void BuildNameKey(const PathRegistration *Registration, WCHAR Key[NAME_KEY_CHARS])
{
    Key[0] = 0;
}
PersistentNameEntry *FindPersistentName(BusExtension *Bus, const WCHAR *Key)
{
    return nullptr;
}
bool NameTaken(BusExtension *Bus, const WCHAR *Name)
{
    return false;
}
ULONG TrailingNumber(const WCHAR *Name)
{
    return 0;
}
NTSTATUS StorePersistentName(BusExtension *Bus, const WCHAR *Key, const WCHAR *Name)
{
    return STATUS_SUCCESS;
}
#endif

NTSTATUS CreateNamedDevice(WCHAR *Name, PDEVICE_OBJECT *Device)
{
    UNICODE_STRING name;
    InitUnicode(&name, Name);
    return IoCreateDevice(BusDriverObject, LOGICAL_DEVICE_EXTENSION_SIZE, &name, FILE_DEVICE_UNKNOWN,
                          FILE_DEVICE_SECURE_OPEN, FALSE, Device);
}

/*++
Routine Description:
    Chooses the logical device's name and creates its object: the drive's persistent name when
    the table has one, else the first free number (from 0, or with persistent naming from
    5659986, skipping the numbers the table has given to other drives).
Arguments:
    Name - receives \Device\<name>.
    Number - receives N.
    Numbered - set when the name came from numbering.
--*/
NTSTATUS CreateLogicalObject(BusExtension *Bus, const WCHAR *Key, WCHAR Name[LOGICAL_DEVICE_NAME_CHARS], ULONG *Number,
                             BOOLEAN *Numbered, PDEVICE_OBJECT *Device)
{
    NTSTATUS status;
    *Numbered = TRUE;
    if (Bus->fPersistentNaming) {
        if (PersistentNameEntry *entry = FindPersistentName(Bus, Key)) {
            _snwprintf(Name, LOGICAL_DEVICE_NAME_CHARS, VYR_DEVICE_PREFIX L"%s", entry->szDeviceName);
            Name[LOGICAL_DEVICE_NAME_CHARS - 1] = 0;
            *Number = TrailingNumber(entry->szDeviceName);
            status = CreateNamedDevice(Name, Device);
            if (NT_SUCCESS(status)) {
                *Numbered = FALSE;
                return status;
            }
            if (status != STATUS_OBJECT_NAME_COLLISION)
                return status;
        }
    }

    ULONG number = Bus->fPersistentNaming ? PERSISTENT_FIRST_NUMBER : 0;
    for (;; number++) {
        _snwprintf(Name, LOGICAL_DEVICE_NAME_CHARS, VYR_DEVICE_PREFIX VYR_LOGICAL_BASE L"%u", number);
        Name[LOGICAL_DEVICE_NAME_CHARS - 1] = 0;
        if (Bus->fPersistentNaming && NameTaken(Bus, Name + DEVICE_PREFIX_CHARS))
            continue;
        status = CreateNamedDevice(Name, Device);
        if (status == STATUS_OBJECT_NAME_COLLISION)
            continue;
        *Number = number;
        return status;
    }
}

void FormatDosLink(WCHAR *Link, ULONG Chars, ULONG Number)
{
    _snwprintf(Link, Chars, VYR_DOS_PREFIX VYR_LOGICAL_BASE L"%u", Number);
    Link[Chars - 1] = 0;
}

void InitializeLogicalExtension(BusExtension *Bus, PDEVICE_OBJECT Device, const PathRegistration *Registration,
                                const WCHAR *Name, ULONG Number)
{
    auto *ldx = BusLogical(Device);
    RtlZeroMemory(ldx, LOGICAL_DEVICE_EXTENSION_SIZE);
    ldx->fFdo = FALSE;
    ldx->ulState = PNP_NOT_STARTED;
    ldx->ulPreviousState = PNP_NOT_STARTED;
    ldx->ulNumber = Number;
    RtlCopyMemory(ldx->szSerialNumber, Registration->szSerialNumber, 32);
    ldx->szSerialNumber[32] = 0;
    RtlCopyMemory(ldx->szWwnn, Registration->szWwnn, 16);
    ldx->szWwnn[16] = 0;
    ldx->ScsiAddress = Registration->Address;
    ldx->fExclusiveAccess = Registration->fExclusiveAccess;
    ldx->fEncryption = Registration->fKeyManagement;
    CopyWide(ldx->szDeviceName, RTL_NUMBER_OF(ldx->szDeviceName), Name, WideLength(Name));
    ldx->pBus = Bus;
    ldx->pSelf = Device;
    ldx->pStatusTable = Bus->pStatusTable;
    KeInitializeSpinLock(&ldx->Lock);
    ldx->ulBlockSize = 0xFFFFFFFF;
    ldx->ucSettingB = 0xFF;
    ldx->lOutstanding = 1;
    KeInitializeEvent(&ldx->IdleEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&ldx->RemovedEvent, NotificationEvent, FALSE);
    ExInitializeFastMutex(&ldx->RefMutex);
    ldx->fQueueOpen = 1;
    KeInitializeSpinLock(&ldx->QueueLock);
    KeInitializeSpinLock(&ldx->InternalSlotLock);
    KeInitializeEvent(&ldx->InternalSlotFree, NotificationEvent, TRUE);
    KeInitializeSpinLock(&ldx->LockedBufferLock);
}

} // namespace

/*++
Routine Description:
    Creates the logical device of a registering path: chooses its name, creates the object,
    records a new persistent name, initialises the extension, enters it in the bus list, links
    \DosDevices\Tape%d and starts its workers. A failing step undoes the earlier ones in reverse.
Return Value:
    STATUS_SUCCESS with *Created set, or the failing step's status.
--*/
NTSTATUS BusCreateLogicalDevice(BusExtension *Bus, const PathRegistration *Registration, LogicalDeviceExtension **Created)
{
    PAGED_CODE();
    *Created = nullptr;
    WCHAR key[NAME_KEY_CHARS];
    BuildNameKey(Registration, key);

    WCHAR name[LOGICAL_DEVICE_NAME_CHARS];
    ULONG number = 0;
    BOOLEAN numbered = TRUE;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = CreateLogicalObject(Bus, key, name, &number, &numbered, &device);
    if (!NT_SUCCESS(status))
        return status;

    // A name that cannot be recorded only costs the drive its name at the next start.
    if (Bus->fPersistentNaming && numbered)
        StorePersistentName(Bus, key, name + DEVICE_PREFIX_CHARS);

    InitializeLogicalExtension(Bus, device, Registration, name, number);
    LogicalDeviceExtension *ldx = BusLogical(device);

    WCHAR link[LOGICAL_DEVICE_NAME_CHARS];
    WCHAR target[LOGICAL_DEVICE_NAME_CHARS];
    UNICODE_STRING linkName, targetName;
    BOOLEAN inserted = FALSE;
    auto *entry = (LogicalDeviceEntry *)ExAllocatePoolWithTag(NonPagedPool, sizeof(LogicalDeviceEntry),
                                                              VYR_TAG_LOGICAL_ENTRY);
    if (!entry) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto DeleteDevice;
    }
    RtlZeroMemory(entry, sizeof(LogicalDeviceEntry));
    entry->pDevice = device;
    entry->fFailover = Bus->fFailoverDisabled ? 0 : Registration->fFailover;
    status = SortedListInsert((PVOID *)&Bus->pLogicalDevices, entry, &BUS_LOGICAL_LIST_KEY, 1, TRUE, &inserted);
    if (!NT_SUCCESS(status) || !inserted) {
        ExFreePoolWithTag(entry, VYR_TAG_LOGICAL_ENTRY);
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto DeleteDevice;
    }
    ldx->pEntry = entry;

    // The link always carries N, whatever name the device object got.
    FormatDosLink(link, RTL_NUMBER_OF(link), number);
    _snwprintf(target, RTL_NUMBER_OF(target), VYR_DEVICE_PREFIX VYR_LOGICAL_BASE L"%u", number);
    target[RTL_NUMBER_OF(target) - 1] = 0;
    InitUnicode(&linkName, link);
    InitUnicode(&targetName, target);
    status = IoCreateSymbolicLink(&linkName, &targetName);
    if (!NT_SUCCESS(status))
        goto RemoveEntry;
    ldx->fDosLinkCreated = 1;

    if constexpr (!VYR_BUS_CHANGER) { // a changer's requests run in their callers' threads
        status = BusStartWorkers(ldx);
        if (!NT_SUCCESS(status))
            goto DeleteLink;
    }

    device->Flags |= DO_DIRECT_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    *Created = ldx;
    return STATUS_SUCCESS;

DeleteLink:
    IoDeleteSymbolicLink(&linkName);
    ldx->fDosLinkCreated = 0;
RemoveEntry:
    ldx->pEntry = nullptr;
    SortedListRemove((PVOID *)&Bus->pLogicalDevices, entry, &BUS_LOGICAL_LIST_KEY, 1, VYR_TAG_LOGICAL_ENTRY);
DeleteDevice:
    IoDeleteDevice(device);
    return status;
}

/*++
Routine Description:
    The end of a logical device whose paths are freed and whose entry is out of the bus list:
    drops the base reference and waits for every outstanding request, stops the workers
    (queued requests are cancelled), deletes the DOS link and the object.
--*/
void BusDeleteLogicalDevice(LogicalDeviceExtension *Ldx)
{
    PAGED_CODE();
    BusLogicalDereference(Ldx);
    KeWaitForSingleObject(&Ldx->RemovedEvent, Executive, KernelMode, FALSE, nullptr);
    BusSetState(Ldx, PNP_ABSENT);
    if constexpr (!VYR_BUS_CHANGER)
        BusStopWorkers(Ldx);
    if (Ldx->fDosLinkCreated) {
        WCHAR link[LOGICAL_DEVICE_NAME_CHARS];
        FormatDosLink(link, RTL_NUMBER_OF(link), Ldx->ulNumber);
        UNICODE_STRING linkName;
        InitUnicode(&linkName, link);
        IoDeleteSymbolicLink(&linkName);
        Ldx->fDosLinkCreated = 0;
    }
#if !VYR_BUILD_CHANGER
    BusFreeKeyRelay(Ldx);
#endif
    IoDeleteDevice(Ldx->pSelf);
}

#if !VYR_BUILD_CHANGER
/*++
Routine Description:
    Loads the persistent-name table from the subkeys of the service key (bus start). Subkeys of
    other forms are skipped, and so is a PersistentDeviceName that cannot name a device (missing,
    not a string, empty or longer than 16 characters): one bad entry must not cost every drive
    after it its name.
Return Value:
    STATUS_SUCCESS at the end of the subkeys, else the failure that ended the loading.
--*/
NTSTATUS BusLoadPersistentNames(BusExtension *Bus)
{
    PAGED_CODE();
    BusFreePersistentNames(Bus);

    WCHAR servicePath[] = VYR_BUS_SERVICE_KEY;
    HANDLE service = nullptr;
    NTSTATUS status = OpenKey(&service, KEY_ALL_ACCESS, servicePath);
    if (!NT_SUCCESS(status))
        return status;
    auto *info = (KEY_BASIC_INFORMATION *)ExAllocatePoolWithTag(PagedPool, NAME_ENUM_BUFFER_SIZE, VYR_TAG_BUS_NAME_ENUM);
    if (!info) {
        ZwClose(service);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    for (ULONG index = 0;; index++) {
        RtlZeroMemory(info, NAME_ENUM_BUFFER_SIZE);
        ULONG length = 0;
        status = ZwEnumerateKey(service, index, KeyBasicInformation, info, NAME_ENUM_BUFFER_SIZE, &length);
        if (status == STATUS_NO_MORE_ENTRIES) {
            status = STATUS_SUCCESS;
            break;
        }
        if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL)
            continue; // a name this long is none of ours
        if (!NT_SUCCESS(status))
            break;
        ULONG chars = info->NameLength / sizeof(WCHAR);
        if (!IsPersistentKeyName(info->Name, chars) || chars >= NAME_KEY_CHARS)
            continue;
        WCHAR keyName[NAME_KEY_CHARS];
        CopyWide(keyName, NAME_KEY_CHARS, info->Name, chars);

        HANDLE subkey = nullptr;
        status = OpenKey(&subkey, KEY_READ, keyName, service);
        if (!NT_SUCCESS(status))
            break;
        WCHAR deviceName[PERSISTENT_NAME_CHARS + 1];
        status = ReadPersistentValue(subkey, deviceName);
        ZwClose(subkey);
        if (status == STATUS_OBJECT_TYPE_MISMATCH || status == STATUS_OBJECT_NAME_NOT_FOUND)
            continue;
        if (!NT_SUCCESS(status))
            break;
        status = PushPersistentName(Bus, keyName, deviceName, VYR_TAG_BUS_NAME_LOADED);
        if (!NT_SUCCESS(status))
            break;
    }
    ExFreePoolWithTag(info, VYR_TAG_BUS_NAME_ENUM);
    ZwClose(service);
    return status;
}

void BusFreePersistentNames(BusExtension *Bus)
{
    PersistentNameEntry *entry = Bus->pPersistentNames;
    Bus->pPersistentNames = nullptr;
    while (entry) {
        PersistentNameEntry *next = entry->pNext;
        // Entries loaded at start and entries added later carry different tags.
        ExFreePool(entry);
        entry = next;
    }
}
#endif

/*++
Routine Description:
    Writes DeviceName = "Tape%d" into the SCSI device map key of a path, which the port driver
    created for the path's address.
--*/
NTSTATUS BusWriteDeviceMap(LogicalDeviceExtension *Ldx, const VyrScsiAddress *Address)
{
    PAGED_CODE();
    WCHAR path[REGISTRY_PATH_CHARS];
    _snwprintf(path, RTL_NUMBER_OF(path),
               L"\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port %u\\Scsi Bus %u\\Target Id %u\\Logical Unit Id %u",
               (ULONG)Address->PortNumber, (ULONG)Address->PathId, (ULONG)Address->TargetId, (ULONG)Address->Lun);
    path[RTL_NUMBER_OF(path) - 1] = 0;
    HANDLE key = nullptr;
    NTSTATUS status = OpenKey(&key, KEY_READ | KEY_WRITE, path);
    if (!NT_SUCCESS(status))
        return status;
    WCHAR value[24];
    _snwprintf(value, RTL_NUMBER_OF(value), VYR_LOGICAL_BASE L"%u", Ldx->ulNumber);
    value[RTL_NUMBER_OF(value) - 1] = 0;
    UNICODE_STRING valueName;
    WCHAR deviceName[] = L"DeviceName";
    InitUnicode(&valueName, deviceName);
    status = ZwSetValueKey(key, &valueName, 0, REG_SZ, value, (WideLength(value) + 1) * sizeof(WCHAR));
    ZwClose(key);
    return status;
}

void BusLogicalReference(LogicalDeviceExtension *Ldx)
{
    ExAcquireFastMutex(&Ldx->RefMutex);
    if (++Ldx->lOutstanding == 2)
        KeClearEvent(&Ldx->IdleEvent);
    ExReleaseFastMutex(&Ldx->RefMutex);
}

void BusLogicalDereference(LogicalDeviceExtension *Ldx)
{
    ExAcquireFastMutex(&Ldx->RefMutex);
    LONG left = --Ldx->lOutstanding;
    if (left == 1)
        KeSetEvent(&Ldx->IdleEvent, IO_NO_INCREMENT, FALSE);
    if (left < 1)
        KeSetEvent(&Ldx->RemovedEvent, IO_NO_INCREMENT, FALSE);
    ExReleaseFastMutex(&Ldx->RefMutex);
}

/*++
Routine Description:
    Plug and Play requests addressed to a logical device object. The PnP manager sends none (the
    objects are not reported to it); the handling keeps the object's state consistent for anyone
    who does. Every request is completed here.
--*/
NTSTATUS BusLogicalPnp(PDEVICE_OBJECT LogicalDevice, PIRP Irp)
{
    LogicalDeviceExtension *ldx = BusLogical(LogicalDevice);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    BusLogicalReference(ldx);

    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        BusSetState(ldx, PNP_STARTED);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        BusSetState(ldx, PNP_REMOVE_PENDING);
        break;
    case IRP_MN_REMOVE_DEVICE: {
        BusExtension *bus = ldx->pBus;
        KIRQL irql;
        KeAcquireSpinLock(&ldx->Lock, &irql);
        BusUnlinkLogicalDeviceLocked(bus, ldx);
        KeReleaseSpinLock(&ldx->Lock, irql);
        BusCompleteRequest(Irp, STATUS_SUCCESS, 0);
        BusLogicalDereference(ldx); // this request's reference; the base one goes below
        BusDeleteLogicalDevice(ldx);
        return STATUS_SUCCESS;
    }
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (ldx->ulState == PNP_REMOVE_PENDING)
            ldx->ulState = ldx->ulPreviousState;
        break;
    case IRP_MN_STOP_DEVICE:
        BusLogicalDereference(ldx);
        KeWaitForSingleObject(&ldx->IdleEvent, Executive, KernelMode, FALSE, nullptr);
        BusLogicalReference(ldx);
        BusSetState(ldx, PNP_STOPPED);
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        BusSetState(ldx, PNP_STOP_PENDING);
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (ldx->ulState == PNP_STOP_PENDING)
            ldx->ulState = ldx->ulPreviousState;
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        status = Irp->IoStatus.Status;
        information = Irp->IoStatus.Information;
        break;
    case IRP_MN_QUERY_CAPABILITIES:
    case IRP_MN_SURPRISE_REMOVAL:
        information = Irp->IoStatus.Information;
        break;
    default:
        break;
    }
    BusCompleteRequest(Irp, status, information);
    BusLogicalDereference(ldx);
    return status;
}
