// The class driver's private requests that the path filter and the bus send (besides the identity
// requests of sim/classcommon: applying a ScsiStatus block, the flag word, reservation keys), and the
// reservations made through this driver, with the storage reservation requests of applications.
//
// Reservations. The driver keeps, per drive, whether a reservation was made through it and which
// path holds it: a SCSI-2 reservation (IOCTL_STORAGE_RESERVE, or RESERVE(6)/(10) through
// pass-through) or a persistent one (IOCTL_STORAGE_PERSISTENT_RESERVE_OUT or pass-through with
// PERSISTENT RESERVE OUT RESERVE or PREEMPT, or IOC_APPLY_SCSI_STATUS).
// IOC_APPLY_SCSI_STATUS re-establishes the reservation on the path the bus is about to use:
//   - reservation-active byte 1 (a persistent reservation with the block's key): REGISTER AND
//     IGNORE EXISTING KEY with the key on this path, then RESERVE (exclusive access) with it;
//     when another path holds the reservation, PREEMPT it with the same key;
//   - reservation-active byte 0 (the key only names the path of a plain reservation): a SCSI-2
//     RESERVE on this path when a SCSI-2 reservation made through this driver is held on another
//     path of the drive, or on a path that is gone; nothing when there is none (the drive is not
//     reserved, so there is nothing to carry over). A SCSI-2 reservation cannot be taken from
//     another I_T nexus: the RESERVE succeeds once the drive has dropped the old one (reset, loss
//     of the nexus); while the old path still holds it, the driver breaks it with a LOGICAL UNIT
//     RESET through the new path and reserves again. A RESERVE that still fails (another
//     initiator reserved the drive meanwhile) ends with STATUS_DEVICE_BUSY, which the filter
//     turns into "could not break the previous reservation";
// then it sets the block size of the block (unless it is 0xFFFFFFFF, not known to the bus). Its
// commands are the driver's own: a unit attention on the new path does not fail them.
// A reservation made for a request from the bus is reported in the request's ScsiStatus block
// (or, made by IOC_APPLY_SCSI_STATUS, in the block of the request that follows it): the path's
// initiator WWPN and a host key of 16 hexadecimal digits, the reservation key of a persistent
// reservation or the path's I_T nexus identifier for a SCSI-2 one.
// The last close of the drive (the bus marks it, or a direct close of the last handle on the path)
// releases the reservations the path holds through the driver.
#include "tapeclass.h"

namespace {

// PERSISTENT RESERVE OUT with the 24-byte parameter list (reservation key, service action key).
NTSTATUS TcpPersistentOut(TcExtension *Ext, TcIo *Io, UCHAR Action, const UCHAR *Key, const UCHAR *ActionKey,
                          FabScsiRequest *Result)
{
    UCHAR parameters[24];
    RtlZeroMemory(parameters, sizeof(parameters));
    if (Key)
        RtlCopyMemory(parameters, Key, 8);
    if (ActionKey)
        RtlCopyMemory(parameters + 8, ActionKey, 8);
    UCHAR cdb[10] = {SCSIOP_PR_OUT, Action, PR_TYPE_EXCLUSIVE_ACCESS, 0, 0, 0, 0, 0, 0, 0};
    TcPutBe32(cdb + 5, sizeof(parameters));
    return ClsExecute(Ext, Io, cdb, sizeof(cdb), FAB_DATA_OUT, parameters, sizeof(parameters), Result);
}

void TcpSetReport(TcExtension *Ext, CHAR *Wwpn, CHAR *KeyText, const UCHAR *Key)
{
    RtlZeroMemory(Wwpn, 16);
    RtlCopyMemory(Wwpn, Ext->PathInfo.szInitiatorWwpn, 16);
    TcFormatKey(KeyText, Key);
}

// The host key of a SCSI-2 reservation: the I_T nexus identifier of the path, big-endian.
void TcpNexusKey(TcExtension *Ext, UCHAR *Key)
{
    for (ULONG i = 0; i < 8; i++)
        Key[i] = (UCHAR)(Ext->PathInfo.Nexus >> (56 - 8 * i));
}

NTSTATUS TcpTakePersistent(TcExtension *Ext, const UCHAR *Key)
{
    FabScsiRequest result;
    NTSTATUS status = TcpPersistentOut(Ext, nullptr, PR_REGISTER_IGNORE, nullptr, Key, &result);
    if (!NT_SUCCESS(status))
        return status;
    status = TcpPersistentOut(Ext, nullptr, PR_RESERVE, Key, nullptr, &result);
    if (!NT_SUCCESS(status) && result.ScsiStatus == SCSISTAT_RESERVATION_CONFLICT)
        status = TcpPersistentOut(Ext, nullptr, PR_PREEMPT, Key, Key, &result);
    if (!NT_SUCCESS(status))
        return status;
    TcLockDrives();
    Ext->pDrive->fPersistentHeld = TRUE;
    Ext->pDrive->pPersistentHolder = Ext->pSelf;
    RtlCopyMemory(Ext->pDrive->PersistentKey, Key, 8);
    TcUnlockDrives();
    TcpSetReport(Ext, Ext->ReportWwpn, Ext->ReportKey, Key);
    Ext->fReportPending = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS TcpRetakePlain(TcExtension *Ext)
{
    TcLockDrives();
    BOOLEAN elsewhere = Ext->pDrive->fPlainHeld && Ext->pDrive->pPlainHolder != Ext->pSelf;
    TcUnlockDrives();
    if (!elsewhere)
        return STATUS_SUCCESS;
    const UCHAR cdb[6] = {SCSIOP_RESERVE6, 0, 0, 0, 0, 0};
    NTSTATUS status = ClsExecute(Ext, nullptr, cdb, sizeof(cdb), FAB_DATA_NONE, nullptr, 0);
    if (status == STATUS_DEVICE_BUSY) {
        // The host's own reservation is still held through the old path's nexus: a reset of
        // the logical unit through this path breaks it, then the RESERVE is tried once more.
        // A reservation that another initiator took in between still refuses it.
        status = TcResetLogicalUnit(Ext);
        if (NT_SUCCESS(status)) {
            status = ClsExecute(Ext, nullptr, cdb, sizeof(cdb), FAB_DATA_NONE, nullptr, 0);
            if (!NT_SUCCESS(status)) {
                // The reset ended the old path's hold as well: the reservation is the host's
                // still, held nowhere, and the next path the bus uses tries again.
                TcLockDrives();
                Ext->pDrive->pPlainHolder = nullptr;
                TcUnlockDrives();
            }
        }
    }
    if (!NT_SUCCESS(status))
        return status;
    TcLockDrives();
    Ext->pDrive->pPlainHolder = Ext->pSelf;
    TcUnlockDrives();
    UCHAR key[8];
    TcpNexusKey(Ext, key);
    TcpSetReport(Ext, Ext->ReportWwpn, Ext->ReportKey, key);
    Ext->fReportPending = TRUE;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Handlers
// ---------------------------------------------------------------------------------------------
NTSTATUS TcpApplyScsiStatus(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    ScsiStatus block;
    RtlCopyMemory(&block, Buffer, sizeof(block));
    UCHAR key[8];
    RtlCopyMemory(key, Buffer, sizeof(key));
    if (block.ulBlockSize != TC_BLOCK_SIZE_UNKNOWN && block.ulBlockSize > 0xFFFFFF)
        return STATUS_INVALID_PARAMETER;
    BOOLEAN keyPresent = FALSE;
    for (ULONG i = 0; i < sizeof(key); i++)
        keyPresent |= key[i] != 0;
    NTSTATUS status = STATUS_SUCCESS;
    if (keyPresent)
        status = block.fReservationActive ? TcpTakePersistent(Ext, key) : TcpRetakePlain(Ext);
    if (NT_SUCCESS(status) && block.ulBlockSize != TC_BLOCK_SIZE_UNKNOWN)
        status = TcSetBlockSize(Ext, nullptr, block.ulBlockSize);
    return status;
}

NTSTATUS TcpGetDpfFlags(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    ULONG flags = TcReadDpfFlags();
    RtlCopyMemory(Buffer, &flags, sizeof(flags));
    *Information = sizeof(flags);
    return STATUS_SUCCESS;
}

// IOC_SET_RESERVATION_KEY: the bus's key for the drive's reservation. Accepted and kept; the
// driver acts on the key that each IOC_APPLY_SCSI_STATUS carries.
NTSTATUS TcpSetBusKey(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    TcLockDrives();
    RtlCopyMemory(Ext->pDrive->BusKey, Buffer, sizeof(Ext->pDrive->BusKey));
    TcUnlockDrives();
    return STATUS_SUCCESS;
}

// 0x8400C044: the host's persistent-reservation key, registered with the drive on this path
// (REGISTER AND IGNORE EXISTING KEY); a key of zero removes the path's registration.
NTSTATUS TcpSetHostKey(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    UCHAR key[8];
    RtlCopyMemory(key, Buffer, sizeof(key));
    FabScsiRequest result;
    NTSTATUS status = TcpPersistentOut(Ext, Io, PR_REGISTER_IGNORE, nullptr, key, &result);
    if (!NT_SUCCESS(status))
        return status;
    TcLockDrives();
    RtlCopyMemory(Ext->pDrive->HostKey, key, sizeof(key));
    TcUnlockDrives();
    return STATUS_SUCCESS;
}

// IOCTL_STORAGE_RESERVE and IOCTL_STORAGE_RELEASE: RESERVE(6) and RELEASE(6).
NTSTATUS TcpStorageReserve(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    ULONG code = IoGetCurrentIrpStackLocation(Io->Irp)->Parameters.DeviceIoControl.IoControlCode;
    const UCHAR cdb[6] = {code == IOCTL_STORAGE_RESERVE ? SCSIOP_RESERVE6 : SCSIOP_RELEASE6, 0, 0, 0, 0, 0};
    NTSTATUS status = ClsExecute(Ext, Io, cdb, sizeof(cdb), FAB_DATA_NONE, nullptr, 0);
    if (NT_SUCCESS(status))
        TcNotePassThrough(Ext, Io, cdb, nullptr, 0);
    return status;
}

// The command header both persistent-reservation requests start with; its Size counts the
// parameter list too and must lie inside the input.
NTSTATUS TcpReserveCommand(PUCHAR Buffer, ULONG In, ULONG MinSize, PERSISTENT_RESERVE_COMMAND *Command)
{
    RtlCopyMemory(Command, Buffer, sizeof(*Command));
    if (Command->Version != sizeof(PERSISTENT_RESERVE_COMMAND) || Command->Size < MinSize || Command->Size > In)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// IOCTL_STORAGE_PERSISTENT_RESERVE_IN: PERSISTENT RESERVE IN; the data comes back in the buffer.
NTSTATUS TcpPersistentReserveIn(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    PERSISTENT_RESERVE_COMMAND command;
    NTSTATUS status = TcpReserveCommand(Buffer, In, sizeof(command), &command);
    if (!NT_SUCCESS(status))
        return status;
    ULONG length = command.PR_IN.AllocationLength;
    if (Out < length)
        return STATUS_INFO_LENGTH_MISMATCH;
    UCHAR cdb[10] = {SCSIOP_PR_IN, (UCHAR)command.PR_IN.ServiceAction, 0, 0, 0, 0, 0, 0, 0, 0};
    TcPutBe16(cdb + 7, length);
    FabScsiRequest result;
    RtlZeroMemory(Buffer, length);
    status = ClsExecute(Ext, Io, cdb, sizeof(cdb), FAB_DATA_IN, Buffer, length, &result);
    if (NT_SUCCESS(status))
        *Information = result.DataTransferred;
    return status;
}

// IOCTL_STORAGE_PERSISTENT_RESERVE_OUT: PERSISTENT RESERVE OUT with the parameter list that
// follows the header (24 bytes or more).
NTSTATUS TcpPersistentReserveOut(TcExtension *Ext, TcIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    const ULONG list = FIELD_OFFSET(PERSISTENT_RESERVE_COMMAND, PR_OUT.ParameterList);
    PERSISTENT_RESERVE_COMMAND command;
    NTSTATUS status = TcpReserveCommand(Buffer, In, list + 24, &command);
    if (!NT_SUCCESS(status))
        return status;
    ULONG length = command.Size - list;
    // Byte 9 holds type and scope in the order the command byte has them.
    UCHAR cdb[10] = {SCSIOP_PR_OUT, (UCHAR)command.PR_OUT.ServiceAction, Buffer[9], 0, 0, 0, 0, 0, 0, 0};
    TcPutBe32(cdb + 5, length);
    status = ClsExecute(Ext, Io, cdb, sizeof(cdb), FAB_DATA_OUT, Buffer + list, length);
    if (NT_SUCCESS(status))
        TcNotePassThrough(Ext, Io, cdb, Buffer + list, length);
    return status;
}

const TcControlEntry g_PrivateControls[] = {
    {IOC_APPLY_SCSI_STATUS, sizeof(ScsiStatus), 0, TcpApplyScsiStatus},
    {IOC_GET_DPF_FLAGS, 0, IOC_DPF_FLAGS_SIZE, TcpGetDpfFlags},
    {IOC_SET_RESERVATION_KEY, 8, 0, TcpSetBusKey},
    {IOCTL_VYRTC_SET_HOST_KEY, 8, 0, TcpSetHostKey},
    {IOCTL_STORAGE_RESERVE, 0, 0, TcpStorageReserve},
    {IOCTL_STORAGE_RELEASE, 0, 0, TcpStorageReserve},
    {IOCTL_STORAGE_PERSISTENT_RESERVE_IN, sizeof(PERSISTENT_RESERVE_COMMAND), 0, TcpPersistentReserveIn},
    {IOCTL_STORAGE_PERSISTENT_RESERVE_OUT, sizeof(PERSISTENT_RESERVE_COMMAND), 0, TcpPersistentReserveOut},
};

} // namespace

BOOLEAN TcPrivateControl(TcExtension *Ext, TcIo *Io, NTSTATUS *Status, ULONG_PTR *Information)
{
    return ClsIdentityControl(Ext, Io, Status, Information) ||
           ClsRunControl(g_PrivateControls, RTL_NUMBER_OF(g_PrivateControls), Ext, Io, Status, Information);
}

/*++
Routine Description:
    Releases what this path holds through the driver (last close). Failures change nothing for
    the close; the records are cleared either way, since the bus starts the next open afresh.
    The commands are the driver's own: their sense belongs to no request.
--*/
void TcReleaseReservations(TcExtension *Ext, TcIo *Io)
{
    UCHAR key[8];
    TcLockDrives();
    TcDrive *drive = Ext->pDrive;
    // Held here: released below. Held by a path that is gone: the drive dropped a SCSI-2
    // reservation with the nexus, and the record of either ends with the last close. Held by
    // another path that is still there: only that path can release it.
    BOOLEAN persistent = drive->fPersistentHeld && drive->pPersistentHolder == Ext->pSelf;
    BOOLEAN plain = drive->fPlainHeld && drive->pPlainHolder == Ext->pSelf;
    RtlCopyMemory(key, drive->PersistentKey, sizeof(key));
    if (drive->fPersistentHeld && (persistent || !drive->pPersistentHolder))
        drive->fPersistentHeld = FALSE;
    if (drive->fPlainHeld && (plain || !drive->pPlainHolder))
        drive->fPlainHeld = FALSE;
    if (persistent)
        drive->pPersistentHolder = nullptr;
    if (plain)
        drive->pPlainHolder = nullptr;
    TcUnlockDrives();
    FabScsiRequest result;
    if (persistent) {
        TcpPersistentOut(Ext, nullptr, PR_RELEASE, key, nullptr, &result);
        // Unregister: REGISTER with a service action key of zero.
        TcpPersistentOut(Ext, nullptr, PR_REGISTER, key, nullptr, &result);
    }
    if (plain) {
        const UCHAR cdb[6] = {SCSIOP_RELEASE6, 0, 0, 0, 0, 0};
        ClsExecute(Ext, nullptr, cdb, sizeof(cdb), FAB_DATA_NONE, nullptr, 0);
    }
}

/*++
Routine Description:
    What a pass-through command that completed with GOOD status changed in what the driver keeps:
    reservations made or dropped (a reservation made is reported in the request's ScsiStatus
    block), the block size after a mode select or a load, the encryption state after a security
    protocol command.
--*/
void TcNotePassThrough(TcExtension *Ext, TcIo *Io, const UCHAR *Cdb, const UCHAR *DataOut, ULONG DataOutLength)
{
    TcDrive *drive = Ext->pDrive;
    switch (Cdb[0]) {
    case SCSIOP_RESERVE6:
    case SCSIOP_RESERVE10: {
        TcLockDrives();
        drive->fPlainHeld = TRUE;
        drive->pPlainHolder = Ext->pSelf;
        TcUnlockDrives();
        UCHAR key[8];
        TcpNexusKey(Ext, key);
        TcpSetReport(Ext, Io->ReserveWwpn, Io->ReserveKey, key);
        Io->fReserved = TRUE;
        break;
    }
    case SCSIOP_RELEASE6:
    case SCSIOP_RELEASE10:
        TcLockDrives();
        if (drive->pPlainHolder == Ext->pSelf) {
            drive->fPlainHeld = FALSE;
            drive->pPlainHolder = nullptr;
        }
        TcUnlockDrives();
        break;
    case SCSIOP_PR_OUT: {
        UCHAR action = Cdb[1] & 0x1F;
        if (!DataOut || DataOutLength < 24)
            break;
        TcLockDrives();
        if (action == PR_RESERVE || action == PR_PREEMPT || action == PR_PREEMPT_ABORT) {
            drive->fPersistentHeld = TRUE;
            drive->pPersistentHolder = Ext->pSelf;
            RtlCopyMemory(drive->PersistentKey, DataOut, 8);
        } else if (action == PR_CLEAR || (action == PR_RELEASE && drive->pPersistentHolder == Ext->pSelf)) {
            drive->fPersistentHeld = FALSE;
            drive->pPersistentHolder = nullptr;
        }
        TcUnlockDrives();
        if (action == PR_RESERVE || action == PR_PREEMPT || action == PR_PREEMPT_ABORT) {
            TcpSetReport(Ext, Io->ReserveWwpn, Io->ReserveKey, DataOut);
            Io->fReserved = TRUE;
        }
        break;
    }
    case SCSIOP_MODE_SELECT6:
    case SCSIOP_MODE_SELECT10:
    case SCSIOP_LOAD_UNLOAD:
        Ext->ulBlockSize = TC_BLOCK_SIZE_UNKNOWN;
        break;
    case SCSIOP_SECURITY_OUT:
        TcQueryEncryption(Ext);
        break;
    default:
        break;
    }
}
