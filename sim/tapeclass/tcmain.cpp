// Driver entry, device creation, Plug and Play, power, and the dispatch routines of the tape class
// driver stand-in. Every request that touches the drive runs under the path's command lock and
// ends in one place that fills its ScsiStatus block (when the bus sent it) and completes it.
#include "tapeclass.h"

namespace {

DRIVER_UNLOAD TcpUnload;
DRIVER_ADD_DEVICE TcpAddDevice;
DRIVER_DISPATCH TcpDispatchCreate;
DRIVER_DISPATCH TcpDispatchClose;
DRIVER_DISPATCH TcpDispatchCleanup;
DRIVER_DISPATCH TcpDispatchRead;
DRIVER_DISPATCH TcpDispatchWrite;
DRIVER_DISPATCH TcpDispatchDeviceControl;
DRIVER_DISPATCH TcpDispatchForward;
DRIVER_DISPATCH TcpDispatchPnp;
DRIVER_DISPATCH TcpDispatchPower;
DRIVER_DISPATCH TcpDispatchUnsupported;
IO_COMPLETION_ROUTINE TcpSignalCompletion;

constexpr ULONG TC_MAX_PATHS = 1000;

// The service key (zero-terminated copy of DriverEntry's registry path), for IOC_GET_DPF_FLAGS.
PWCHAR g_RegistryPath;
// The drives the paths lead to, and the lock that guards them and the TcDrive records.
LIST_ENTRY g_Drives;
FAST_MUTEX g_DriveLock;

typedef NTSTATUS TcWork(TcExtension *Ext, TcIo *Io, ULONG_PTR *Information);

NTSTATUS TcpComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

void TcpFormatName(WCHAR *Buffer, size_t Count, PCWSTR Prefix, ULONG Number)
{
    _snwprintf(Buffer, Count, L"%s%u", Prefix, Number);
    Buffer[Count - 1] = 0;
}

void TcpDeleteLink(TcExtension *Ext)
{
    if (!Ext->fLinkCreated)
        return;
    WCHAR linkText[48];
    UNICODE_STRING link;
    TcpFormatName(linkText, RTL_NUMBER_OF(linkText), VYRTC_LINK_NAME_PREFIX, Ext->ulPathNumber);
    RtlInitUnicodeString(&link, linkText);
    IoDeleteSymbolicLink(&link);
    Ext->fLinkCreated = FALSE;
}

/*++
Routine Description:
    Runs one request that may touch the drive: takes the remove lock and the command lock, refuses
    it while the path is not started, runs Work, fills the request's ScsiStatus block and completes
    the request.
--*/
NTSTATUS TcpRun(PDEVICE_OBJECT DeviceObject, PIRP Irp, TcWork *Work)
{
    TcExtension *ext = TcExt(DeviceObject);
    if (!TcAcquireIo(ext))
        return TcpComplete(Irp, STATUS_DELETE_PENDING, 0);
    TcIo io;
    TcInitIo(&io, Irp);
    ULONG_PTR information = 0;
    NTSTATUS status;
    TcLockCommands(ext);
    if (!ext->fStarted || ext->fStopped)
        status = STATUS_DEVICE_NOT_READY;
    else
        status = Work(ext, &io, &information);
    TcFillScsiStatus(ext, &io);
    TcUnlockCommands(ext);
    TcpComplete(Irp, status, information);
    TcReleaseIo(ext);
    return status;
}

NTSTATUS TcpCreateWork(TcExtension *Ext, TcIo *Io, ULONG_PTR *Information)
{
    InterlockedIncrement(&Ext->lOpenCount);
    return STATUS_SUCCESS;
}

NTSTATUS TcpCloseWork(TcExtension *Ext, TcIo *Io, ULONG_PTR *Information)
{
    // The bus marks its close of the logical device's last handle in the block's residual field;
    // a direct close is the last one when this path has no open left.
    ScsiStatus *block = TcFindScsiStatus(Ext, Io->Irp);
    LONG left = InterlockedDecrement(&Ext->lOpenCount);
    if (left < 0)
        InterlockedIncrement(&Ext->lOpenCount);
    BOOLEAN last = block ? block->ulResidual == 1 : left <= 0;
    if (last)
        TcReleaseReservations(Ext, Io);
    return STATUS_SUCCESS;
}

NTSTATUS TcpCleanupWork(TcExtension *Ext, TcIo *Io, ULONG_PTR *Information)
{
    return STATUS_SUCCESS;
}

NTSTATUS TcpReadWork(TcExtension *Ext, TcIo *Io, ULONG_PTR *Information)
{
    return TcReadWrite(Ext, Io, FALSE, Information);
}

NTSTATUS TcpWriteWork(TcExtension *Ext, TcIo *Io, ULONG_PTR *Information)
{
    return TcReadWrite(Ext, Io, TRUE, Information);
}

NTSTATUS TcpControlWork(TcExtension *Ext, TcIo *Io, ULONG_PTR *Information)
{
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (TcPrivateControl(Ext, Io, &status, Information) || TcTapeControl(Ext, Io, &status, Information))
        return status;
    switch (IoGetCurrentIrpStackLocation(Io->Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SCSI_PASS_THROUGH:
        return TcPassThrough(Ext, Io, FALSE, Information);
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        return TcPassThrough(Ext, Io, TRUE, Information);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS TcpDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return TcpRun(DeviceObject, Irp, TcpCreateWork); }

NTSTATUS TcpDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    TcExtension *ext = TcExt(DeviceObject);
    // A close always succeeds, even on a path that is stopped or going away: the handle is gone
    // either way; only the reservations stay where they are.
    if (!ext->fStarted || ext->fStopped || ext->fRemoved) {
        if (InterlockedDecrement(&ext->lOpenCount) < 0)
            InterlockedIncrement(&ext->lOpenCount);
        return TcpComplete(Irp, STATUS_SUCCESS, 0);
    }
    return TcpRun(DeviceObject, Irp, TcpCloseWork);
}

NTSTATUS TcpDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (TcExt(DeviceObject)->fRemoved)
        return TcpComplete(Irp, STATUS_SUCCESS, 0);
    return TcpRun(DeviceObject, Irp, TcpCleanupWork);
}

NTSTATUS TcpDispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return TcpRun(DeviceObject, Irp, TcpReadWork); }

NTSTATUS TcpDispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return TcpRun(DeviceObject, Irp, TcpWriteWork); }

NTSTATUS TcpDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return TcpRun(DeviceObject, Irp, TcpControlWork);
}

// Internal device control and system control belong to the path below.
NTSTATUS TcpDispatchForward(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    TcExtension *ext = TcExt(DeviceObject);
    if (!TcAcquireIo(ext))
        return TcpComplete(Irp, STATUS_DELETE_PENDING, 0);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(ext->pLowerDevice, Irp);
    TcReleaseIo(ext);
    return status;
}

NTSTATUS TcpDispatchUnsupported(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return TcpComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS TcpSignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes a PnP request down and waits until the lower drivers are done with it.
NTSTATUS TcpForwardAndWait(TcExtension *Ext, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, TcpSignalCompletion, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(Ext->pLowerDevice, Irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return Irp->IoStatus.Status;
}

NTSTATUS TcpForward(TcExtension *Ext, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Ext->pLowerDevice, Irp);
}

// Asks the path for its identity (an internal request of the fabric).
NTSTATUS TcpQueryPathInfo(TcExtension *Ext)
{
    PIRP irp = IoAllocateIrp(Ext->pLowerDevice->StackSize, FALSE);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    RtlZeroMemory(&Ext->PathInfo, sizeof(Ext->PathInfo));
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = &Ext->PathInfo;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_VYRFAB_GET_PATH_INFO;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, TcpSignalCompletion, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(Ext->pLowerDevice, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    Ext->PathInfo.szInitiatorWwpn[sizeof(Ext->PathInfo.szInitiatorWwpn) - 1] = 0;
    return status;
}

/*++
Routine Description:
    Finds or creates the record of the drive with this serial number and attaches the path to it.
    A path whose serial number could not be read gets a record of its own.
--*/
NTSTATUS TcpAttachDrive(TcExtension *Ext, const CHAR *Serial, BOOLEAN Shared)
{
    if (Ext->pDrive)
        return STATUS_SUCCESS;
    auto *fresh = (TcDrive *)ExAllocatePoolWithTag(NonPagedPool, sizeof(TcDrive), TC_POOL_TAG);
    if (!fresh)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(fresh, sizeof(*fresh));
    fresh->lReferences = 1;
    fresh->fShared = Shared;
    RtlCopyMemory(fresh->szSerialNumber, Serial, sizeof(fresh->szSerialNumber));

    TcLockDrives();
    TcDrive *found = nullptr;
    for (PLIST_ENTRY e = g_Drives.Flink; Shared && e != &g_Drives; e = e->Flink) {
        auto *drive = CONTAINING_RECORD(e, TcDrive, Link);
        if (drive->fShared && RtlEqualMemory(drive->szSerialNumber, Serial, sizeof(drive->szSerialNumber))) {
            found = drive;
            break;
        }
    }
    if (found) {
        found->lReferences++;
        Ext->pDrive = found;
    } else {
        InsertTailList(&g_Drives, &fresh->Link);
        Ext->pDrive = fresh;
    }
    TcUnlockDrives();
    if (found)
        ExFreePoolWithTag(fresh, TC_POOL_TAG);
    return STATUS_SUCCESS;
}

void TcpDetachDrive(TcExtension *Ext)
{
    TcDrive *drive = Ext->pDrive;
    if (!drive)
        return;
    BOOLEAN free = FALSE;
    TcLockDrives();
    // A reservation held through a path that is gone stays the host's; the next path the bus
    // uses takes it up again.
    if (drive->pPlainHolder == Ext->pSelf)
        drive->pPlainHolder = nullptr;
    if (drive->pPersistentHolder == Ext->pSelf)
        drive->pPersistentHolder = nullptr;
    if (--drive->lReferences == 0) {
        RemoveEntryList(&drive->Link);
        free = TRUE;
    }
    Ext->pDrive = nullptr;
    TcUnlockDrives();
    if (free)
        ExFreePoolWithTag(drive, TC_POOL_TAG);
}

// Reads the drive's serial number (VPD page 0x80) into 32 bytes, zero-filled.
NTSTATUS TcpReadSerial(TcExtension *Ext, CHAR *Serial)
{
    UCHAR page[4 + 255];
    RtlZeroMemory(page, sizeof(page));
    const UCHAR cdb[6] = {SCSIOP_INQUIRY, 0x01, 0x80, 0x00, 0xFF, 0x00};
    FabScsiRequest result;
    NTSTATUS status = TcExecute(Ext, nullptr, cdb, sizeof(cdb), FAB_DATA_IN, page, sizeof(page), &result);
    RtlZeroMemory(Serial, 32);
    if (!NT_SUCCESS(status))
        return status;
    if (result.DataTransferred < 4 || page[1] != 0x80)
        return STATUS_DEVICE_PROTOCOL_ERROR;
    ULONG length = page[3];
    if (length > result.DataTransferred - 4)
        length = result.DataTransferred - 4;
    RtlCopyMemory(Serial, page + 4, length < 32 ? length : 32);
    return STATUS_SUCCESS;
}

/*++
Routine Description:
    Start, after the lower drivers started: learns the path's identity (which the start needs:
    a path that cannot say where it is does not start), the drive it leads to and what the drive
    reports about encryption.
--*/
NTSTATUS TcpStartDevice(TcExtension *Ext)
{
    NTSTATUS status = TcpQueryPathInfo(Ext);
    if (!NT_SUCCESS(status))
        return status;
    CHAR serial[32];
    BOOLEAN shared = NT_SUCCESS(TcpReadSerial(Ext, serial));
    status = TcpAttachDrive(Ext, serial, shared);
    if (!NT_SUCCESS(status))
        return status;
    Ext->ulBlockSize = TC_BLOCK_SIZE_UNKNOWN;
    TcQueryEncryption(Ext);
    Ext->fStopped = FALSE;
    Ext->fStarted = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS TcpRemoveDevice(PDEVICE_OBJECT DeviceObject, TcExtension *Ext, PIRP Irp)
{
    Ext->fRemoved = TRUE;
    TcpDeleteLink(Ext);
    // Drop the base reference and wait for the requests still running.
    TcReleaseIo(Ext);
    KeWaitForSingleObject(&Ext->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    Ext->fStarted = FALSE;
    TcpDetachDrive(Ext);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = TcpForward(Ext, Irp);
    IoDetachDevice(Ext->pLowerDevice);
    IoDeleteDevice(DeviceObject);
    return status;
}

NTSTATUS TcpDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    TcExtension *ext = TcExt(DeviceObject);
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = TcpForwardAndWait(ext, Irp);
        if (NT_SUCCESS(status)) {
            TcLockCommands(ext);
            status = TcpStartDevice(ext);
            TcUnlockCommands(ext);
        }
        return TcpComplete(Irp, status, 0);
    case IRP_MN_CANCEL_STOP_DEVICE:
        status = TcpForwardAndWait(ext, Irp);
        if (NT_SUCCESS(status))
            ext->fStopped = FALSE;
        return TcpComplete(Irp, status, Irp->IoStatus.Information);
    case IRP_MN_STOP_DEVICE:
        // Requests that arrive while the path is stopped are refused, not held.
        ext->fStopped = TRUE;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return TcpForward(ext, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return TcpForward(ext, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        // The path is gone: no new opens by name, no new requests. The device object stays until
        // the last handle is closed and the removal follows.
        ext->fRemoved = TRUE;
        TcpDeleteLink(ext);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return TcpForward(ext, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return TcpRemoveDevice(DeviceObject, ext, Irp);
    default:
        return TcpForward(ext, Irp);
    }
}

NTSTATUS TcpDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(TcExt(DeviceObject)->pLowerDevice, Irp);
}

/*++
Routine Description:
    Creates the FDO of one path with the lowest free name \Device\VyrTapePath<N>, its link
    \DosDevices\VyrTapePath<N>, and attaches it to the path PDO. A failing step undoes the ones
    before it.
--*/
NTSTATUS TcpAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    WCHAR nameText[48], linkText[48];
    UNICODE_STRING name, link;
    PDEVICE_OBJECT fdo = nullptr;
    TcExtension *ext = nullptr;
    ULONG number = 0;
    NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
    for (; number < TC_MAX_PATHS && status == STATUS_OBJECT_NAME_COLLISION; number++) {
        TcpFormatName(nameText, RTL_NUMBER_OF(nameText), VYRTC_DEVICE_NAME_PREFIX, number);
        RtlInitUnicodeString(&name, nameText);
        status = IoCreateDevice(DriverObject, sizeof(TcExtension), &name, FILE_DEVICE_TAPE,
                                FILE_REMOVABLE_MEDIA | FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    }
    if (!NT_SUCCESS(status))
        return status;
    number--;

    ext = TcExt(fdo);
    RtlZeroMemory(ext, sizeof(*ext));
    ext->pSelf = fdo;
    ext->pPhysicalDevice = PhysicalDeviceObject;
    ext->ulPathNumber = number;
    ext->lIoCount = 1;
    ext->ulBlockSize = TC_BLOCK_SIZE_UNKNOWN;
    KeInitializeEvent(&ext->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->CommandLock, SynchronizationEvent, TRUE);

    TcpFormatName(linkText, RTL_NUMBER_OF(linkText), VYRTC_LINK_NAME_PREFIX, number);
    RtlInitUnicodeString(&link, linkText);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status))
        goto DeleteDevice;
    ext->fLinkCreated = TRUE;

    ext->pLowerDevice = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (!ext->pLowerDevice) {
        status = STATUS_NO_SUCH_DEVICE;
        goto DeleteLink;
    }
    fdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    fdo->AlignmentRequirement = ext->pLowerDevice->AlignmentRequirement;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;

DeleteLink:
    TcpDeleteLink(ext);
DeleteDevice:
    IoDeleteDevice(fdo);
    return status;
}

VOID TcpUnload(PDRIVER_OBJECT DriverObject)
{
    if (g_RegistryPath)
        ExFreePoolWithTag(g_RegistryPath, TC_POOL_TAG);
    g_RegistryPath = nullptr;
}

} // namespace

BOOLEAN TcRunControl(const TcControlEntry *Table, ULONG Count, TcExtension *Ext, TcIo *Io, NTSTATUS *Status,
                     ULONG_PTR *Information)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Io->Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto *buffer = (PUCHAR)Io->Irp->AssociatedIrp.SystemBuffer;
    for (ULONG i = 0; i < Count; i++) {
        if (Table[i].Code != code)
            continue;
        *Information = 0;
        if (in < Table[i].MinIn || out < Table[i].MinOut || (!buffer && (Table[i].MinIn || Table[i].MinOut)))
            *Status = STATUS_INFO_LENGTH_MISMATCH;
        else
            *Status = Table[i].Handler(Ext, Io, buffer, in, out, Information);
        return TRUE;
    }
    return FALSE;
}

void TcLockCommands(TcExtension *Ext)
{
    KeWaitForSingleObject(&Ext->CommandLock, Executive, KernelMode, FALSE, nullptr);
}

void TcUnlockCommands(TcExtension *Ext)
{
    KeSetEvent(&Ext->CommandLock, IO_NO_INCREMENT, FALSE);
}

BOOLEAN TcAcquireIo(TcExtension *Ext)
{
    InterlockedIncrement(&Ext->lIoCount);
    if (Ext->fRemoved) {
        TcReleaseIo(Ext);
        return FALSE;
    }
    return TRUE;
}

void TcReleaseIo(TcExtension *Ext)
{
    if (InterlockedDecrement(&Ext->lIoCount) == 0)
        KeSetEvent(&Ext->RemoveEvent, IO_NO_INCREMENT, FALSE);
}

void TcLockDrives() { ExAcquireFastMutex(&g_DriveLock); }

void TcUnlockDrives() { ExReleaseFastMutex(&g_DriveLock); }

/*++
Routine Description:
    The filter's flag word, from REG_DWORD values of the service key (absent = 0):
    ExclusiveAccess (bit 0), PersistentNaming (bit 1), EncryptionKeyManagement (bit 2).
    Read at each request, so that a changed setting applies at the path's next start.
--*/
ULONG TcReadDpfFlags()
{
    ULONG exclusive = 0, naming = 0, keyManagement = 0;
    if (!g_RegistryPath)
        return 0;
    RTL_QUERY_REGISTRY_TABLE table[4];
    RtlZeroMemory(table, sizeof(table));
    const ULONG direct = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    const ULONG dwordCheck = (ULONG)REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    table[0].Flags = direct;
    table[0].Name = (PWSTR)L"ExclusiveAccess";
    table[0].EntryContext = &exclusive;
    table[0].DefaultType = dwordCheck;
    table[1].Flags = direct;
    table[1].Name = (PWSTR)L"PersistentNaming";
    table[1].EntryContext = &naming;
    table[1].DefaultType = dwordCheck;
    table[2].Flags = direct;
    table[2].Name = (PWSTR)L"EncryptionKeyManagement";
    table[2].EntryContext = &keyManagement;
    table[2].DefaultType = dwordCheck;
    RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, g_RegistryPath, table, nullptr, nullptr);
    return (exclusive ? DPF_FLAG_EXCLUSIVE_ACCESS : 0) | (naming ? DPF_FLAG_PERSISTENT_NAMING : 0) |
           (keyManagement ? DPF_FLAG_KEY_MANAGEMENT : 0);
}

VYR_DRIVER_ENTRY(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    InitializeListHead(&g_Drives);
    ExInitializeFastMutex(&g_DriveLock);
    g_RegistryPath = (PWCHAR)ExAllocatePoolWithTag(PagedPool, RegistryPath->Length + sizeof(WCHAR), TC_POOL_TAG);
    if (!g_RegistryPath)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(g_RegistryPath, RegistryPath->Buffer, RegistryPath->Length);
    g_RegistryPath[RegistryPath->Length / sizeof(WCHAR)] = 0;

    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        DriverObject->MajorFunction[i] = TcpDispatchUnsupported;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = TcpDispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = TcpDispatchClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = TcpDispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_READ] = TcpDispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = TcpDispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TcpDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = TcpDispatchForward;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = TcpDispatchForward;
    DriverObject->MajorFunction[IRP_MJ_PNP] = TcpDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = TcpDispatchPower;
    DriverObject->DriverExtension->AddDevice = TcpAddDevice;
    DriverObject->DriverUnload = TcpUnload;
    return STATUS_SUCCESS;
}
