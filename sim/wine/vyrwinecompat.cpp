// vyrwinecompat.sys: a test image for the Wine run only -- never in the package, never on Windows.
//
// Wine 8's ntoskrnl.exe leaves some kernel routines the drivers use unimplemented. The drivers
// must stay what Windows loads, so instead this image, loaded first into the one winedevice
// process that hosts every driver of the run (same load-order group, lowest tag), overwrites the
// entry of each such routine in Wine's ntoskrnl.exe with a jump to an implementation of its own.
// Every driver loaded after it then calls these through its ordinary imports.
//
// What Wine 8 does, and what stands in for it here:
//   IoAllocateDriverObjectExtension  a stub that fails with STATUS_NOT_IMPLEMENTED (so the bus
//                                    enumerators' DriverEntry fails)
//   IoGetDriverObjectExtension       a stub that returns NULL
//   IoBuildPartialMdl                not implemented at all: a call raises an exception
//   MmMapLockedPagesSpecifyCache     a stub that returns NULL, so MmGetSystemAddressForMdlSafe
//                                    fails for every MDL built by IoAllocateMdl (the ones Wine
//                                    hands a driver with a read or write come mapped already)
//   IoGetDeviceObjectPointer         a stub that opens nothing: it returns a dummy device object
//                                    and no file object (the path filters' DriverEntry fails)
//   IoBuildDeviceIoControlRequest    for METHOD_BUFFERED passes the input buffer as the system
//                                    buffer (none when there is no input) and never copies the
//                                    output back to the caller's output buffer
// In Wine every driver and the buffers of the requests it serves live in the one user-mode
// process, so the "system address" of an MDL is simply the address it describes.
//
// Wine's code is made writable with ZwProtectVirtualMemory, which Wine's ntoskrnl.exe exports and
// which is looked up at run time. (Importing it from ntdll.dll instead would not do: Wine's
// loader takes a native-subsystem image that imports ntdll.dll for an ordinary DLL and calls its
// entry point as DllMain.)
//
// Traces go through DbgPrint, which Wine shows with WINEDEBUG=warn+debugstr: one line per routine
// patched, and one on the first call of each replacement.
#include "kernel.h"

extern "C" {
// The import slot of ntoskrnl's IoDriverObjectType variable (a POBJECT_TYPE): the slot holds the
// variable's address. (Declared dllimport, as mingw-w64's headers do for the other object types,
// *IoDriverObjectType would read one level too deep.) ObReferenceObjectByName and
// ObQueryNameString: mingw-w64 declares them in ntifs.h only, which does not go together with
// ntddk.h.
extern POBJECT_TYPE *__imp_IoDriverObjectType;
NTSYSAPI NTSTATUS NTAPI ObReferenceObjectByName(PUNICODE_STRING ObjectName, ULONG Attributes,
                                                PACCESS_STATE AccessState, ACCESS_MASK DesiredAccess,
                                                POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                PVOID ParseContext, PVOID *Object);
NTSYSAPI NTSTATUS NTAPI ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION ObjectNameInfo, ULONG Length,
                                          PULONG ReturnLength);
}

namespace {

using ProtectVirtualMemory = NTSTATUS(NTAPI *)(HANDLE Process, PVOID *Base, PSIZE_T Size, ULONG NewProtect,
                                              PULONG OldProtect);
ProtectVirtualMemory g_Protect;

// Pool tag "VyWc" (the first letter in the lowest byte, as pool dumps show tags).
constexpr ULONG WINE_COMPAT_TAG = (ULONG)'V' | (ULONG)'y' << 8 | (ULONG)'W' << 16 | (ULONG)'c' << 24;

// ---- Driver-object extensions ---------------------------------------------------------------------
// A list keyed by driver object and client id. An extension lives as long as the winedevice
// process (Wine never unloads the run's drivers before the session ends): entries are never freed.
struct ObjectExtension {
    ObjectExtension *pNext;
    PDRIVER_OBJECT pDriver;
    PVOID pClientId;
    // The caller's bytes follow, 16-byte aligned.
    alignas(16) UCHAR Data[1];
};

KSPIN_LOCK g_ExtensionLock;
ObjectExtension *g_Extensions;

// Under g_ExtensionLock.
ObjectExtension *FindExtension(PDRIVER_OBJECT Driver, PVOID ClientId)
{
    for (ObjectExtension *e = g_Extensions; e; e = e->pNext)
        if (e->pDriver == Driver && e->pClientId == ClientId)
            return e;
    return nullptr;
}

// The call trace: one line on the first call of each replacement.
enum Replacement {
    AllocateExtension,
    GetExtension,
    PartialMdl,
    MapPages,
    DevicePointer,
    ControlRequest,
    ReplacementCount
};
const char *const g_ReplacementNames[ReplacementCount] = {
    "IoAllocateDriverObjectExtension", "IoGetDriverObjectExtension", "IoBuildPartialMdl",
    "MmMapLockedPagesSpecifyCache",    "IoGetDeviceObjectPointer",   "IoBuildDeviceIoControlRequest"};
LONG g_Called[ReplacementCount];

void TraceFirstCall(Replacement Which)
{
    if (InterlockedExchange(&g_Called[Which], 1) == 0)
        DbgPrint("vyrwinecompat: first call of %s\n", g_ReplacementNames[Which]);
}

NTSTATUS NTAPI CompatAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress,
                                                   ULONG DriverObjectExtensionSize, PVOID *DriverObjectExtension)
{
    TraceFirstCall(AllocateExtension);
    *DriverObjectExtension = nullptr;
    SIZE_T size = FIELD_OFFSET(ObjectExtension, Data) + (SIZE_T)DriverObjectExtensionSize;
    auto *entry = (ObjectExtension *)ExAllocatePoolWithTag(NonPagedPool, size, WINE_COMPAT_TAG);
    if (!entry)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(entry, size);
    entry->pDriver = DriverObject;
    entry->pClientId = ClientIdentificationAddress;

    KIRQL irql;
    KeAcquireSpinLock(&g_ExtensionLock, &irql);
    BOOLEAN exists = FindExtension(DriverObject, ClientIdentificationAddress) != nullptr;
    if (!exists) {
        entry->pNext = g_Extensions;
        g_Extensions = entry;
    }
    KeReleaseSpinLock(&g_ExtensionLock, irql);
    if (exists) {
        ExFreePoolWithTag(entry, WINE_COMPAT_TAG);
        return STATUS_OBJECT_NAME_COLLISION;
    }
    *DriverObjectExtension = entry->Data;
    return STATUS_SUCCESS;
}

PVOID NTAPI CompatGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress)
{
    TraceFirstCall(GetExtension);
    KIRQL irql;
    KeAcquireSpinLock(&g_ExtensionLock, &irql);
    ObjectExtension *entry = FindExtension(DriverObject, ClientIdentificationAddress);
    KeReleaseSpinLock(&g_ExtensionLock, irql);
    return entry ? entry->Data : nullptr;
}

// ---- MDLs ----------------------------------------------------------------------------------------------
PVOID MdlAddress(PMDL Mdl)
{
    return (PUCHAR)Mdl->StartVa + Mdl->ByteOffset;
}

// As Windows does for a kernel-mode mapping: the MDL records its system address. Wine's MDLs
// describe memory of the one process, which is already addressable.
PVOID NTAPI CompatMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                            MEMORY_CACHING_TYPE CacheType, PVOID BaseAddress,
                                            ULONG BugCheckOnFailure, ULONG Priority)
{
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(BaseAddress);
    UNREFERENCED_PARAMETER(BugCheckOnFailure);
    UNREFERENCED_PARAMETER(Priority);
    TraceFirstCall(MapPages);
    if (AccessMode != KernelMode)
        return nullptr; // mappings into a user process: nothing here asks for one
    PMDL mdl = MemoryDescriptorList;
    mdl->MappedSystemVa = MdlAddress(mdl);
    mdl->MdlFlags |= (mdl->MdlFlags & MDL_PARTIAL) ? MDL_PARTIAL_HAS_BEEN_MAPPED : MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}

// The target describes [VirtualAddress, +Length) of the source's buffer (Length 0: up to the
// source's end). As on Windows the target takes the source's page entries for that range, the
// MDL_PARTIAL flag and, when the source's memory is mapped (non-paged pool, or a system
// mapping), the matching system address.
VOID NTAPI CompatBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length)
{
    TraceFirstCall(PartialMdl);
    ULONG_PTR offset = (ULONG_PTR)((PUCHAR)VirtualAddress - (PUCHAR)MdlAddress(SourceMdl));
    if (Length == 0)
        Length = SourceMdl->ByteCount - (ULONG)offset;
    TargetMdl->StartVa = PAGE_ALIGN(VirtualAddress);
    TargetMdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
    TargetMdl->ByteCount = Length;
    TargetMdl->Process = SourceMdl->Process;
    TargetMdl->MdlFlags &= (MDL_ALLOCATED_FIXED_SIZE | MDL_ALLOCATED_MUST_SUCCEED);
    TargetMdl->MdlFlags |= MDL_PARTIAL | (SourceMdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_IO_SPACE));
    if (SourceMdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        TargetMdl->MappedSystemVa = (PUCHAR)SourceMdl->MappedSystemVa + offset;
        if (SourceMdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)
            TargetMdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    }

    // The page entries, as far as both MDLs hold them.
    ULONG firstPage = (ULONG)(((ULONG_PTR)PAGE_ALIGN(VirtualAddress) - (ULONG_PTR)SourceMdl->StartVa) >> PAGE_SHIFT);
    ULONG pages = (ULONG)ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
    ULONG sourcePages = (ULONG)((SourceMdl->Size - sizeof(MDL)) / sizeof(PFN_NUMBER));
    ULONG targetPages = (ULONG)((TargetMdl->Size - sizeof(MDL)) / sizeof(PFN_NUMBER));
    PPFN_NUMBER from = MmGetMdlPfnArray(SourceMdl), to = MmGetMdlPfnArray(TargetMdl);
    for (ULONG i = 0; i < pages && i < targetPages && firstPage + i < sourcePages; i++)
        to[i] = from[firstPage + i];
}

// ---- Named devices ----------------------------------------------------------------------------------------
// Wine keeps no kernel-side directory of named devices, and the file object Wine hands out for
// a handle that a driver opened itself carries no device. The device is therefore found by name
// among the devices of every loaded driver: each service's \Driver\<name> that exists, its device
// list, each device's name.
PDEVICE_OBJECT FindNamedDevice(PUNICODE_STRING Name)
{
    UNICODE_STRING servicesName;
    RtlInitUnicodeString(&servicesName, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &servicesName, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE services = nullptr;
    if (!NT_SUCCESS(ZwOpenKey(&services, KEY_READ, &attributes)))
        return nullptr;

    constexpr ULONG BUFFER_SIZE = 1024;
    auto *buffer = (PUCHAR)ExAllocatePoolWithTag(PagedPool, BUFFER_SIZE, WINE_COMPAT_TAG);
    PDEVICE_OBJECT found = nullptr;
    for (ULONG index = 0; buffer && !found; index++) {
        ULONG length = 0;
        auto *key = (PKEY_BASIC_INFORMATION)buffer;
        if (!NT_SUCCESS(ZwEnumerateKey(services, index, KeyBasicInformation, key, BUFFER_SIZE / 2, &length)))
            break;
        WCHAR driverText[160];
        _snwprintf(driverText, RTL_NUMBER_OF(driverText) - 1, L"\\Driver\\%.*ls", (int)(key->NameLength / sizeof(WCHAR)),
                   key->Name);
        driverText[RTL_NUMBER_OF(driverText) - 1] = 0;
        UNICODE_STRING driverName;
        RtlInitUnicodeString(&driverName, driverText);
        PDRIVER_OBJECT driver = nullptr;
        if (!NT_SUCCESS(ObReferenceObjectByName(&driverName, OBJ_CASE_INSENSITIVE, nullptr, 0, *__imp_IoDriverObjectType,
                                                KernelMode, nullptr, (PVOID *)&driver)))
            continue;
        for (PDEVICE_OBJECT device = driver->DeviceObject; device && !found; device = device->NextDevice) {
            auto *name = (POBJECT_NAME_INFORMATION)(buffer + BUFFER_SIZE / 2);
            if (NT_SUCCESS(ObQueryNameString(device, name, BUFFER_SIZE / 2, &length)) &&
                RtlEqualUnicodeString(&name->Name, Name, TRUE))
                found = device;
        }
        ObDereferenceObject(driver);
    }
    if (buffer)
        ExFreePoolWithTag(buffer, WINE_COMPAT_TAG);
    ZwClose(services);
    return found;
}

// As on Windows: open the device (its driver sees IRP_MJ_CREATE), take the file object of the
// handle and the top of the device's stack. Windows closes the handle at once and the reference
// keeps the file open; Wine closes the file with its last handle, so the handle stays open as
// long as the process runs (the callers keep the file for their lifetime).
NTSTATUS NTAPI CompatGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                           PFILE_OBJECT *FileObject, PDEVICE_OBJECT *DeviceObject)
{
    TraceFirstCall(DevicePointer);
    PDEVICE_OBJECT device = FindNamedDevice(ObjectName);
    if (!device) {
        DbgPrint("vyrwinecompat: no device %.*ls among the loaded drivers\n", (int)(ObjectName->Length / sizeof(WCHAR)),
                 ObjectName->Buffer);
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, ObjectName, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    HANDLE handle = nullptr;
    NTSTATUS status = ZwOpenFile(&handle, DesiredAccess, &attributes, &iosb, 0, FILE_NON_DIRECTORY_FILE);
    if (!NT_SUCCESS(status))
        return status;
    // Wine's file object for the handle: typed lookups fail (Wine registered the handle's object
    // under another type), an untyped one yields the file object.
    PFILE_OBJECT file = nullptr;
    status = ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, (PVOID *)&file, nullptr);
    if (NT_SUCCESS(status) && file->Type != IO_TYPE_FILE) {
        ObDereferenceObject(file);
        status = STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (!NT_SUCCESS(status)) {
        DbgPrint("vyrwinecompat: no file object for %.*ls (0x%08lx)\n", (int)(ObjectName->Length / sizeof(WCHAR)),
                 ObjectName->Buffer, status);
        ZwClose(handle);
        return status;
    }
    if (!file->DeviceObject)
        file->DeviceObject = device;
    *FileObject = file;
    *DeviceObject = IoGetAttachedDevice(device);
    return STATUS_SUCCESS;
}

// ---- Device control requests of a driver's own -------------------------------------------------------------
// As Windows builds them: a system buffer of the larger of the two lengths for METHOD_BUFFERED
// (the input copied in), an MDL over the output for the direct methods, the caller's buffers as
// they are for METHOD_NEITHER. Windows copies a buffered request's output back when the request
// completes; here a completion routine in one extra stack location above the target's does it
// (completion runs through every location up to the top one) and frees the system buffer.
// Wine's own ntoskrnl builds the requests of user-mode callers with this routine too: they take
// the same way.
struct BufferedCopyBack {
    PVOID pOutput;
    ULONG ulOutputLength;
};

NTSTATUS NTAPI CompatCopyBack(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    auto *copy = (BufferedCopyBack *)Context;
    PVOID system = Irp->AssociatedIrp.SystemBuffer;
    if (system && copy->pOutput && !NT_ERROR(Irp->IoStatus.Status)) {
        ULONG_PTR length = Irp->IoStatus.Information;
        if (length > copy->ulOutputLength)
            length = copy->ulOutputLength;
        RtlCopyMemory(copy->pOutput, system, length);
    }
    if (system)
        ExFreePoolWithTag(system, WINE_COMPAT_TAG);
    Irp->AssociatedIrp.SystemBuffer = nullptr;
    ExFreePoolWithTag(copy, WINE_COMPAT_TAG);
    return STATUS_CONTINUE_COMPLETION;
}

PIRP NTAPI CompatBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                             ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                             BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                             PIO_STATUS_BLOCK IoStatusBlock)
{
    TraceFirstCall(ControlRequest);
    PIRP irp = IoAllocateIrp((CCHAR)(DeviceObject->StackSize + 1), FALSE);
    if (!irp)
        return nullptr;
    auto *copy = (BufferedCopyBack *)ExAllocatePoolWithTag(NonPagedPool, sizeof(BufferedCopyBack), WINE_COMPAT_TAG);
    if (!copy) {
        IoFreeIrp(irp);
        return nullptr;
    }
    copy->pOutput = nullptr;
    copy->ulOutputLength = 0;

    // The extra location on top: the copy-back runs there, after every driver below.
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION top = IoGetCurrentIrpStackLocation(irp);
    RtlZeroMemory(top, sizeof(*top));
    top->CompletionRoutine = CompatCopyBack;
    top->Context = copy;
    top->Control = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

    ULONG method = IoControlCode & 3;
    ULONG systemLength = 0;
    if (method == METHOD_BUFFERED)
        systemLength = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
    else if (method != METHOD_NEITHER)
        systemLength = InputBufferLength;
    if (systemLength) {
        PVOID system = ExAllocatePoolWithTag(NonPagedPool, systemLength, WINE_COMPAT_TAG);
        if (!system) {
            ExFreePoolWithTag(copy, WINE_COMPAT_TAG);
            IoFreeIrp(irp);
            return nullptr;
        }
        RtlZeroMemory(system, systemLength);
        if (InputBuffer && InputBufferLength)
            RtlCopyMemory(system, InputBuffer, InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = system;
        irp->Flags |= IRP_BUFFERED_IO;
    }
    if (method == METHOD_BUFFERED) {
        copy->pOutput = OutputBuffer;
        copy->ulOutputLength = OutputBufferLength;
    } else if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    } else if (OutputBuffer && OutputBufferLength) {
        // Wine's MDLs need no probing: the memory is the process's own.
        if (!IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp)) {
            if (irp->AssociatedIrp.SystemBuffer)
                ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, WINE_COMPAT_TAG);
            ExFreePoolWithTag(copy, WINE_COMPAT_TAG);
            IoFreeIrp(irp);
            return nullptr;
        }
    }
    irp->UserBuffer = OutputBuffer;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = (PETHREAD)KeGetCurrentThread();
    return irp;
}

// ---- Patching -----------------------------------------------------------------------------------------------
// movabs-free absolute jump: jmp qword ptr [rip+0]; .quad target -- 14 bytes. Every routine
// replaced here is at least 24 bytes long in Wine 8's ntoskrnl.exe.
constexpr SIZE_T JUMP_SIZE = 14;

NTSTATUS PatchRoutine(PCWSTR Name, PVOID Replacement)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    PUCHAR entry = (PUCHAR)MmGetSystemRoutineAddress(&name);
    if (!entry) {
        DbgPrint("vyrwinecompat: %ls is not exported\n", Name);
        return STATUS_PROCEDURE_NOT_FOUND;
    }
    UCHAR jump[JUMP_SIZE] = {0xFF, 0x25, 0, 0, 0, 0};
    ULONG64 target = (ULONG64)Replacement;
    RtlCopyMemory(jump + 6, &target, sizeof target);

    PVOID base = entry;
    SIZE_T size = JUMP_SIZE;
    ULONG old = 0;
    NTSTATUS status = g_Protect(NtCurrentProcess(), &base, &size, PAGE_EXECUTE_READWRITE, &old);
    if (!NT_SUCCESS(status)) {
        DbgPrint("vyrwinecompat: cannot make %ls writable (0x%08lx)\n", Name, status);
        return status;
    }
    RtlCopyMemory(entry, jump, JUMP_SIZE);
    ULONG ignored = 0;
    base = entry;
    size = JUMP_SIZE;
    g_Protect(NtCurrentProcess(), &base, &size, old, &ignored);
    DbgPrint("vyrwinecompat: %ls at %p now jumps to %p\n", Name, entry, Replacement);
    return STATUS_SUCCESS;
}

} // namespace

VYR_DRIVER_ENTRY(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    static const struct {
        PCWSTR pszName;
        PVOID pReplacement;
    } patches[] = {
        {L"IoAllocateDriverObjectExtension", (PVOID)CompatAllocateDriverObjectExtension},
        {L"IoGetDriverObjectExtension", (PVOID)CompatGetDriverObjectExtension},
        {L"IoBuildPartialMdl", (PVOID)CompatBuildPartialMdl},
        {L"MmMapLockedPagesSpecifyCache", (PVOID)CompatMapLockedPagesSpecifyCache},
        {L"IoGetDeviceObjectPointer", (PVOID)CompatGetDeviceObjectPointer},
        {L"IoBuildDeviceIoControlRequest", (PVOID)CompatBuildDeviceIoControlRequest},
    };
    KeInitializeSpinLock(&g_ExtensionLock);
    // Patched already (a second winedevice start of the service in the same process): nothing to do.
    UNICODE_STRING probe;
    RtlInitUnicodeString(&probe, L"IoGetDriverObjectExtension");
    const UCHAR *entry = (const UCHAR *)MmGetSystemRoutineAddress(&probe);
    if (entry && entry[0] == 0xFF && entry[1] == 0x25) {
        DbgPrint("vyrwinecompat: already in place\n");
        return STATUS_SUCCESS;
    }
    UNICODE_STRING protect;
    RtlInitUnicodeString(&protect, L"ZwProtectVirtualMemory");
    g_Protect = (ProtectVirtualMemory)MmGetSystemRoutineAddress(&protect);
    if (!g_Protect) {
        DbgPrint("vyrwinecompat: ZwProtectVirtualMemory is not exported\n");
        return STATUS_PROCEDURE_NOT_FOUND;
    }
    for (const auto &p : patches) {
        NTSTATUS status = PatchRoutine(p.pszName, p.pReplacement);
        if (!NT_SUCCESS(status))
            return status;
    }
    // No unload routine: the patched routines lead into this image, which must stay loaded as
    // long as the process runs.
    DbgPrint("vyrwinecompat: %u routines in place\n", (unsigned)RTL_NUMBER_OF(patches));
    return STATUS_SUCCESS;
}
