// Upper filters for the class driver stand-ins under Wine: see attachfilters.h.
#include "attachfilters.h"

extern "C" {
// The import slot of ntoskrnl's IoDriverObjectType variable (a POBJECT_TYPE): the slot holds the
// variable's address. ObReferenceObjectByName is exported by every ntoskrnl (Wine's too);
// mingw-w64 declares both only in ntifs.h, which does not go together with ntddk.h.
extern POBJECT_TYPE *__imp_IoDriverObjectType;
NTSYSAPI NTSTATUS NTAPI ObReferenceObjectByName(PUNICODE_STRING ObjectName, ULONG Attributes,
                                                PACCESS_STATE AccessState, ACCESS_MASK DesiredAccess,
                                                POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                PVOID ParseContext, PVOID *Object);
}

namespace {

// ZwQueryKey's KeyNameInformation record (mingw-w64 declares it in ntifs.h only).
struct KeyNameRecord {
    ULONG NameLength;
    WCHAR Name[1];
};

// Pool tag "VyWf" (the first letter in the lowest byte, as pool dumps show tags).
constexpr ULONG WINE_FILTER_TAG = (ULONG)'V' | (ULONG)'y' << 8 | (ULONG)'W' << 16 | (ULONG)'f' << 24;
constexpr ULONG VALUE_BUFFER_SIZE = 1024;

// The UpperFilters value of an open key into Info (REG_MULTI_SZ).
NTSTATUS QueryFilters(HANDLE Key, PKEY_VALUE_PARTIAL_INFORMATION Info)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"UpperFilters");
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, Info, VALUE_BUFFER_SIZE - sizeof(WCHAR) * 2,
                                      &length);
    if (NT_SUCCESS(status) && Info->Type != REG_MULTI_SZ && Info->Type != REG_SZ)
        status = STATUS_OBJECT_TYPE_MISMATCH;
    return status;
}

// The device's UpperFilters. Windows keeps the value in the device instance key; Wine's SetupAPI
// writes a package's hardware-key entries into the instance key's "Device Parameters" subkey,
// which is what IoOpenDeviceRegistryKey(PLUGPLAY_REGKEY_DEVICE) opens: both are looked at.
NTSTATUS ReadFilters(PDEVICE_OBJECT Pdo, PKEY_VALUE_PARTIAL_INFORMATION Info)
{
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status))
        return status;
    status = QueryFilters(key, Info);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        // The parent: the key's full name without its last component.
        ULONG length = 0;
        auto *nameInfo = (KeyNameRecord *)Info; // reused as scratch before the value query
        status = ZwQueryKey(key, KeyNameInformation, nameInfo, VALUE_BUFFER_SIZE - sizeof(WCHAR), &length);
        if (NT_SUCCESS(status)) {
            USHORT chars = (USHORT)(nameInfo->NameLength / sizeof(WCHAR));
            while (chars && nameInfo->Name[chars - 1] != L'\\')
                chars--;
            UNICODE_STRING parentName;
            parentName.Buffer = nameInfo->Name;
            parentName.Length = parentName.MaximumLength = (USHORT)((chars ? chars - 1 : 0) * sizeof(WCHAR));
            OBJECT_ATTRIBUTES attributes;
            InitializeObjectAttributes(&attributes, &parentName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                                       nullptr);
            HANDLE parent = nullptr;
            status = ZwOpenKey(&parent, KEY_READ, &attributes);
            if (NT_SUCCESS(status)) {
                status = QueryFilters(parent, Info);
                ZwClose(parent);
            }
        }
    }
    ZwClose(key);
    return status;
}

// Loads the filter's service (in this process, as Wine loads function drivers) and hands it the
// device.
NTSTATUS AttachFilter(PCWSTR Service, PDEVICE_OBJECT Pdo)
{
    WCHAR text[160];
    UNICODE_STRING name;
    _snwprintf(text, RTL_NUMBER_OF(text) - 1, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\%ls", Service);
    text[RTL_NUMBER_OF(text) - 1] = 0;
    RtlInitUnicodeString(&name, text);
    NTSTATUS status = ZwLoadDriver(&name);
    if (!NT_SUCCESS(status) && status != STATUS_IMAGE_ALREADY_LOADED) {
        DbgPrint("vyrwine: upper filter %ls does not load (0x%08lx)\n", Service, status);
        return status;
    }

    _snwprintf(text, RTL_NUMBER_OF(text) - 1, L"\\Driver\\%ls", Service);
    text[RTL_NUMBER_OF(text) - 1] = 0;
    RtlInitUnicodeString(&name, text);
    PDRIVER_OBJECT driver = nullptr;
    status = ObReferenceObjectByName(&name, OBJ_CASE_INSENSITIVE, nullptr, 0, *__imp_IoDriverObjectType, KernelMode, nullptr,
                                     (PVOID *)&driver);
    if (!NT_SUCCESS(status)) {
        DbgPrint("vyrwine: no driver object %ls (0x%08lx)\n", text, status);
        return status;
    }
    status = driver->DriverExtension->AddDevice ? driver->DriverExtension->AddDevice(driver, Pdo)
                                                : STATUS_INVALID_DEVICE_REQUEST;
    DbgPrint("vyrwine: upper filter %ls attached to %p (0x%08lx)\n", Service, Pdo, status);
    ObDereferenceObject(driver);
    return status;
}

} // namespace

NTSTATUS WineAttachUpperFilters(PDEVICE_OBJECT PhysicalDeviceObject)
{
    auto *info = (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePoolWithTag(PagedPool, VALUE_BUFFER_SIZE, WINE_FILTER_TAG);
    if (!info)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(info, VALUE_BUFFER_SIZE);
    NTSTATUS status = ReadFilters(PhysicalDeviceObject, info);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        status = STATUS_SUCCESS; // no filters for this device
    } else if (NT_SUCCESS(status)) {
        // A multi-string, terminated twice (the buffer's zeroed tail guarantees it).
        for (PCWSTR name = (PCWSTR)info->Data; *name && NT_SUCCESS(status);) {
            status = AttachFilter(name, PhysicalDeviceObject);
            while (*name++)
                ;
        }
    } else {
        DbgPrint("vyrwine: UpperFilters of %p unreadable (0x%08lx)\n", PhysicalDeviceObject, status);
    }
    ExFreePoolWithTag(info, WINE_FILTER_TAG);
    return status;
}
