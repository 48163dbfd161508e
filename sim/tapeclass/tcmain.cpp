// Driver entry, the drive records and the dispatch routines of the tape class driver stand-in.
// Every request that touches the drive runs under the path's command lock and ends in one place
// that fills its ScsiStatus block (when the bus sent it) and completes it (sim/classcommon).
#include "tapeclass.h"

namespace {

DRIVER_UNLOAD TcpUnload;
DRIVER_DISPATCH TcpDispatchCreate;
DRIVER_DISPATCH TcpDispatchClose;
DRIVER_DISPATCH TcpDispatchCleanup;
DRIVER_DISPATCH TcpDispatchRead;
DRIVER_DISPATCH TcpDispatchWrite;
DRIVER_DISPATCH TcpDispatchDeviceControl;

// The service key (zero-terminated copy of DriverEntry's registry path), for IOC_GET_DPF_FLAGS.
PWCHAR g_RegistryPath;
// The drives the paths lead to, and the lock that guards them and the TcDrive records.
LIST_ENTRY g_Drives;
FAST_MUTEX g_DriveLock;

typedef NTSTATUS TcWork(TcExtension *Ext, TcIo *Io, ULONG_PTR *Information);

// Runs one request that may touch the drive (ClsRun), with the tape's record of what it did.
NTSTATUS TcpRun(PDEVICE_OBJECT DeviceObject, PIRP Irp, TcWork *Work)
{
    TcIo io;
    TcInitIo(&io, Irp);
    return ClsRun(DeviceObject, &io, Work);
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
    ScsiStatus *block = ClsFindScsiStatus(Ext, Io->Irp);
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
        return ClsPassThrough(Ext, Io, FALSE, Information);
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        return ClsPassThrough(Ext, Io, TRUE, Information);
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
        return ClsComplete(Irp, STATUS_SUCCESS, 0);
    }
    return TcpRun(DeviceObject, Irp, TcpCloseWork);
}

NTSTATUS TcpDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (TcExt(DeviceObject)->fRemoved)
        return ClsComplete(Irp, STATUS_SUCCESS, 0);
    return TcpRun(DeviceObject, Irp, TcpCleanupWork);
}

NTSTATUS TcpDispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return TcpRun(DeviceObject, Irp, TcpReadWork); }

NTSTATUS TcpDispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return TcpRun(DeviceObject, Irp, TcpWriteWork); }

NTSTATUS TcpDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return TcpRun(DeviceObject, Irp, TcpControlWork);
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

VOID TcpUnload(PDRIVER_OBJECT DriverObject)
{
    if (g_RegistryPath)
        ExFreePoolWithTag(g_RegistryPath, TC_POOL_TAG);
    g_RegistryPath = nullptr;
}

} // namespace

/*++
Routine Description:
    Start, after the lower drivers started and the path's identity is known: the drive it leads
    to and what the drive reports about encryption.
--*/
NTSTATUS TcStartDevice(ClsExtension *Common)
{
    auto *ext = static_cast<TcExtension *>(Common);
    UCHAR serial[CLS_SERIAL_NUMBER_SIZE];
    BOOLEAN shared = NT_SUCCESS(ClsReadSerial(ext, nullptr, serial));
    NTSTATUS status = TcpAttachDrive(ext, (const CHAR *)serial, shared);
    if (!NT_SUCCESS(status))
        return status;
    ext->ulBlockSize = TC_BLOCK_SIZE_UNKNOWN;
    TcQueryEncryption(ext);
    return STATUS_SUCCESS;
}

void TcRemoveDevice(ClsExtension *Common)
{
    TcpDetachDrive(static_cast<TcExtension *>(Common));
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

    ClsInitializeDriver(DriverObject, &TcDriver);
    DriverObject->MajorFunction[IRP_MJ_CREATE] = TcpDispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = TcpDispatchClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = TcpDispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_READ] = TcpDispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = TcpDispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TcpDispatchDeviceControl;
    DriverObject->DriverUnload = TcpUnload;
    return STATUS_SUCCESS;
}
