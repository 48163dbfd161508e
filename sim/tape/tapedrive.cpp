// The tape drive: creation, the operator's controls, and the command dispatcher that every SCSI
// command passes (nexus bookkeeping, unit attention, reservation conflicts, sense).
#include "tapeint.h"

namespace {

// Releases the drive's fast mutex when the scope ends.
class TapeLockGuard {
public:
    explicit TapeLockGuard(TapeDrive *Drive) : drive_(Drive) { ExAcquireFastMutex(&drive_->Lock); }
    ~TapeLockGuard() { ExReleaseFastMutex(&drive_->Lock); }
    TapeLockGuard(const TapeLockGuard &) = delete;
    TapeLockGuard &operator=(const TapeLockGuard &) = delete;

private:
    TapeDrive *drive_;
};

using TapeHandler = VOID (*)(TapeCommand *Cmd);

struct TapeOpcode {
    UCHAR Opcode;
    UCHAR CdbLength;
    ULONG Access;
    BOOLEAN AttentionExempt; // runs with a unit attention pending, which it leaves pending
    TapeHandler Handler;
};

VOID TapepCmdTestUnitReady(TapeCommand *Cmd);
VOID TapepCmdRequestSense(TapeCommand *Cmd);

// The command set. Reservation checks: ALWAYS never conflicts, LOOK only under an exclusive-access
// reservation of another nexus, CONTROL under any; PR commands check for themselves.
const TapeOpcode TapepOpcodes[] = {
    {OP_TEST_UNIT_READY, 6, TAPE_ACCESS_LOOK, FALSE, TapepCmdTestUnitReady},
    {OP_REWIND, 6, TAPE_ACCESS_CONTROL, FALSE, TapeCmdRewind},
    {OP_REQUEST_SENSE, 6, TAPE_ACCESS_ALWAYS, TRUE, TapepCmdRequestSense},
    {OP_READ_BLOCK_LIMITS, 6, TAPE_ACCESS_LOOK, FALSE, TapeCmdReadBlockLimits},
    {OP_READ6, 6, TAPE_ACCESS_CONTROL, FALSE, TapeCmdRead},
    {OP_WRITE6, 6, TAPE_ACCESS_CONTROL, FALSE, TapeCmdWrite},
    {OP_READ_REVERSE6, 6, TAPE_ACCESS_CONTROL, FALSE, TapeCmdReadReverse},
    {OP_WRITE_FILEMARKS6, 6, TAPE_ACCESS_CONTROL, FALSE, TapeCmdWriteFilemarks},
    {OP_SPACE6, 6, TAPE_ACCESS_CONTROL, FALSE, TapeCmdSpace},
    {OP_INQUIRY, 6, TAPE_ACCESS_ALWAYS, TRUE, TapeCmdInquiry},
    {OP_VERIFY6, 6, TAPE_ACCESS_CONTROL, FALSE, TapeCmdVerify},
    {OP_MODE_SELECT6, 6, TAPE_ACCESS_CONTROL, FALSE, TapeCmdModeSelect},
    {OP_RESERVE6, 6, TAPE_ACCESS_PR, FALSE, TapeCmdReserve},
    {OP_RELEASE6, 6, TAPE_ACCESS_PR, FALSE, TapeCmdRelease},
    {OP_ERASE6, 6, TAPE_ACCESS_CONTROL, FALSE, TapeCmdErase},
    {OP_MODE_SENSE6, 6, TAPE_ACCESS_LOOK, FALSE, TapeCmdModeSense},
    {OP_LOAD_UNLOAD, 6, TAPE_ACCESS_CONTROL, FALSE, TapeCmdLoadUnload},
    {OP_SEND_DIAGNOSTIC, 6, TAPE_ACCESS_CONTROL, FALSE, TapeCmdSendDiagnostic},
    {OP_PREVENT_ALLOW, 6, TAPE_ACCESS_CONTROL, FALSE, TapeCmdPreventAllow},
    {OP_READ10, 10, TAPE_ACCESS_CONTROL, FALSE, TapeCmdRead10},
    {OP_WRITE10, 10, TAPE_ACCESS_CONTROL, FALSE, TapeCmdWrite10},
    {OP_LOCATE10, 10, TAPE_ACCESS_CONTROL, FALSE, TapeCmdLocate},
    {OP_READ_POSITION, 10, TAPE_ACCESS_LOOK, FALSE, TapeCmdReadPosition},
    {OP_MODE_SELECT10, 10, TAPE_ACCESS_CONTROL, FALSE, TapeCmdModeSelect},
    {OP_MODE_SENSE10, 10, TAPE_ACCESS_LOOK, FALSE, TapeCmdModeSense},
    {OP_PERSISTENT_RESERVE_IN, 10, TAPE_ACCESS_PR, FALSE, TapeCmdPersistentReserveIn},
    {OP_PERSISTENT_RESERVE_OUT, 10, TAPE_ACCESS_PR, FALSE, TapeCmdPersistentReserveOut},
    {OP_LOCATE16, 16, TAPE_ACCESS_CONTROL, FALSE, TapeCmdLocate},
    {OP_REPORT_LUNS, 12, TAPE_ACCESS_ALWAYS, TRUE, TapeCmdReportLuns},
};

const TapeOpcode *TapepFindOpcode(UCHAR Opcode)
{
    for (const TapeOpcode &op : TapepOpcodes)
        if (op.Opcode == Opcode)
            return &op;
    return nullptr;
}

struct TapeAttention {
    ULONG Bit;
    UCHAR Asc;
    UCHAR Ascq;
};
const TapeAttention TapepAttentions[] = {
    {UA_POWER_ON, 0x29, 0x00},       {UA_LU_RESET, 0x29, 0x03},       {UA_NEXUS_LOSS, 0x29, 0x07},
    {UA_MEDIUM_CHANGED, 0x28, 0x00}, {UA_RESV_PREEMPTED, 0x2A, 0x03}, {UA_RESV_RELEASED, 0x2A, 0x04},
    {UA_REG_PREEMPTED, 0x2A, 0x05},
};

// Takes the highest-priority pending unit attention of a nexus off its list.
BOOLEAN TapepTakeAttention(TapeNexus *Nexus, TapeSense *Sense)
{
    for (const TapeAttention &a : TapepAttentions) {
        if (Nexus->PendingAttention & a.Bit) {
            Nexus->PendingAttention &= ~a.Bit;
            RtlZeroMemory(Sense, sizeof(*Sense));
            Sense->Key = SK_UNIT_ATTENTION;
            Sense->Asc = a.Asc;
            Sense->Ascq = a.Ascq;
            return TRUE;
        }
    }
    return FALSE;
}

TapeNexus *TapepFindNexus(TapeDrive *Drive, ULONG64 Id)
{
    for (TapeNexus &n : Drive->Nexus)
        if (n.InUse && n.Id == Id)
            return &n;
    return nullptr;
}

// The nexus's record, made on its first command. A nexus new to the drive has not yet been told
// of the power-on, which every SCSI target reports to each initiator once.
TapeNexus *TapepNexusFor(TapeDrive *Drive, ULONG64 Id)
{
    TapeNexus *nexus = TapepFindNexus(Drive, Id);
    if (nexus)
        return nexus;
    for (TapeNexus &n : Drive->Nexus) {
        if (!n.InUse) {
            RtlZeroMemory(&n, sizeof(n));
            n.InUse = TRUE;
            n.Id = Id;
            n.PendingAttention = UA_POWER_ON;
            return &n;
        }
    }
    return nullptr;
}

BOOLEAN TapepIsPrintable(PCSTR Text, ULONG MaxLength, ULONG *Length)
{
    ULONG n = 0;
    if (Text) {
        while (Text[n]) {
            if (n == MaxLength || (UCHAR)Text[n] < 0x20 || (UCHAR)Text[n] > 0x7E)
                return FALSE;
            n++;
        }
    }
    *Length = n;
    return TRUE;
}

// Text of at most Size characters, space-padded to Size (the INQUIRY identification fields).
VOID TapepCopyPadded(CHAR *Field, ULONG Size, PCSTR Text)
{
    ULONG i = 0;
    for (; Text && Text[i] && i < Size; i++)
        Field[i] = Text[i];
    for (; i < Size; i++)
        Field[i] = ' ';
}

int TapepHexDigit(CHAR c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

NTSTATUS TapepParseWwnn(PCSTR Text, TapeDrive *Drive)
{
    if (!Text || !Text[0]) {
        for (ULONG i = 0; i < TAPE_WWNN_LENGTH; i++)
            Drive->WwnnText[i] = '0';
        return STATUS_SUCCESS;
    }
    for (ULONG i = 0; i < TAPE_WWNN_LENGTH; i++) {
        int hi = TapepHexDigit(Text[i]);
        if (hi < 0)
            return STATUS_INVALID_PARAMETER;
        Drive->WwnnText[i] = Text[i];
        if (i % 2 == 0)
            Drive->Wwnn[i / 2] = (UCHAR)(hi << 4);
        else
            Drive->Wwnn[i / 2] |= (UCHAR)hi;
    }
    if (Text[TAPE_WWNN_LENGTH])
        return STATUS_INVALID_PARAMETER;
    Drive->HasWwnn = TRUE;
    return STATUS_SUCCESS;
}

VOID TapepCmdTestUnitReady(TapeCommand *Cmd)
{
    TapeCheckReady(Cmd);
}

/*++
Routine Description:
    REQUEST SENSE. Returns, in this order of preference: the sense of the CHECK CONDITION that
    ended this nexus's previous command (SCSI-2 contingent allegiance, for initiators without
    autosense), a pending unit attention (which it clears), the not-ready condition, or NO SENSE.
    Always GOOD status unless the CDB is bad.
--*/
VOID TapepCmdRequestSense(TapeCommand *Cmd)
{
    if (Cmd->Cdb[1] & 0x01) {
        // Descriptor-format sense is not supported.
        TapeInvalidCdbField(Cmd, 1);
        return;
    }
    UCHAR data[TAPE_SENSE_LENGTH];
    TapeSense sense = {};
    TapeDrive *drive = Cmd->Drive;
    if (Cmd->Nexus->LastSenseValid) {
        RtlCopyMemory(data, Cmd->Nexus->LastSense, sizeof(data));
    } else {
        if (!TapepTakeAttention(Cmd->Nexus, &sense)) {
            if (drive->Cartridge == TAPE_CARTRIDGE_NONE) {
                sense.Key = SK_NOT_READY;
                sense.Asc = 0x3A;
            } else if (drive->Cartridge == TAPE_CARTRIDGE_UNLOADED) {
                sense.Key = SK_NOT_READY;
                sense.Asc = 0x04;
                sense.Ascq = 0x02;
            }
        }
        TapeFormatSense(sense, data);
    }
    Cmd->Nexus->LastSenseValid = FALSE;
    ULONG length = Cmd->Cdb[4];
    TapeReturnData(Cmd, data, length < sizeof(data) ? length : (ULONG)sizeof(data));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Completion helpers
// ---------------------------------------------------------------------------------------------

VOID TapeFormatSense(const TapeSense &Sense, UCHAR *Buffer)
{
    RtlZeroMemory(Buffer, TAPE_SENSE_LENGTH);
    Buffer[0] = 0x70 | (Sense.Valid ? 0x80 : 0);
    Buffer[2] = (UCHAR)(Sense.Flags & (SENSE_FILEMARK | SENSE_EOM | SENSE_ILI)) | (Sense.Key & 0x0F);
    if (Sense.Valid)
        TapePut32(Buffer + 3, (ULONG)Sense.Information);
    Buffer[7] = TAPE_SENSE_LENGTH - 8;
    Buffer[12] = Sense.Asc;
    Buffer[13] = Sense.Ascq;
    if (Sense.Sksv) {
        Buffer[15] = 0x80 | (Sense.InCdb ? 0x40 : 0);
        TapePut16(Buffer + 16, Sense.Field);
    }
}

VOID TapeCheckCondition(TapeCommand *Cmd, const TapeSense &Sense)
{
    FabScsiRequest *request = Cmd->Request;
    UCHAR data[TAPE_SENSE_LENGTH];
    TapeFormatSense(Sense, data);
    static_assert(TAPE_SENSE_LENGTH <= FAB_SENSE_SIZE, "fixed sense fits the request");
    RtlZeroMemory(request->Sense, sizeof(request->Sense));
    RtlCopyMemory(request->Sense, data, sizeof(data));
    request->SenseLength = TAPE_SENSE_LENGTH;
    request->ScsiStatus = SCSISTAT_CHECK_CONDITION;
    RtlCopyMemory(Cmd->Nexus->LastSense, data, sizeof(data));
    Cmd->Nexus->LastSenseValid = TRUE;
}

VOID TapeFail(TapeCommand *Cmd, UCHAR Key, UCHAR Asc, UCHAR Ascq)
{
    TapeSense sense = {};
    sense.Key = Key;
    sense.Asc = Asc;
    sense.Ascq = Ascq;
    TapeCheckCondition(Cmd, sense);
}

VOID TapeInvalidCdbField(TapeCommand *Cmd, USHORT Byte)
{
    TapeSense sense = {};
    sense.Key = SK_ILLEGAL_REQUEST;
    sense.Asc = 0x24;
    sense.Sksv = TRUE;
    sense.InCdb = TRUE;
    sense.Field = Byte;
    TapeCheckCondition(Cmd, sense);
}

VOID TapeInvalidParameter(TapeCommand *Cmd, USHORT Byte)
{
    TapeSense sense = {};
    sense.Key = SK_ILLEGAL_REQUEST;
    sense.Asc = 0x26;
    sense.Sksv = TRUE;
    sense.Field = Byte;
    TapeCheckCondition(Cmd, sense);
}

VOID TapeParameterListLengthError(TapeCommand *Cmd)
{
    TapeFail(Cmd, SK_ILLEGAL_REQUEST, 0x1A, 0x00);
}

BOOLEAN TapeCheckReady(TapeCommand *Cmd)
{
    switch (Cmd->Drive->Cartridge) {
    case TAPE_CARTRIDGE_LOADED:
        return TRUE;
    case TAPE_CARTRIDGE_UNLOADED:
        TapeFail(Cmd, SK_NOT_READY, 0x04, 0x02); // initializing command (LOAD) required
        return FALSE;
    default:
        TapeFail(Cmd, SK_NOT_READY, 0x3A, 0x00);
        return FALSE;
    }
}

VOID TapeReturnData(TapeCommand *Cmd, const VOID *Data, ULONG Length)
{
    ULONG n = Length < Cmd->InLength ? Length : Cmd->InLength;
    if (n)
        RtlCopyMemory(Cmd->Request->Data, Data, n);
    Cmd->Request->DataTransferred = n;
}

VOID TapeRaiseAttention(TapeDrive *Drive, ULONG Bits, LONG ExceptIndex)
{
    for (LONG i = 0; i < (LONG)TAPE_MAX_NEXUS; i++) {
        TapeNexus *n = &Drive->Nexus[i];
        if (!n->InUse || i == ExceptIndex)
            continue;
        // A power-on makes every older condition moot.
        if (Bits & UA_POWER_ON)
            n->PendingAttention = UA_POWER_ON;
        else
            n->PendingAttention |= Bits;
    }
}

VOID TapeDropKey(TapeDrive *Drive)
{
    Drive->KeyLoaded = FALSE;
    Drive->KeyLength = 0;
    RtlZeroMemory(Drive->Key, sizeof(Drive->Key));
    Drive->KeyRequestPending = FALSE;
    Drive->KeyRequestReason = TAPE_KEY_REASON_NONE;
    Drive->DiagnosticAnswered = TAPE_KEY_REASON_NONE;
}

VOID TapeRestoreDefaults(TapeDrive *Drive)
{
    Drive->BlockSize = Drive->PowerOnBlockSize;
    Drive->BufferedMode = 1;
    TapeInitializeModePages(Drive);
}

// ---------------------------------------------------------------------------------------------
// Creation and deletion
// ---------------------------------------------------------------------------------------------

NTSTATUS TapeDriveCreate(const TapeDriveConfig *Config, TapeDrive **Drive)
{
    VYR_PAGED_CODE();
    if (!Config || !Drive)
        return STATUS_INVALID_PARAMETER;
    *Drive = nullptr;

    ULONG serialLength, vendorLength, productLength, revisionLength;
    if (!TapepIsPrintable(Config->SerialNumber, TAPE_SERIAL_LENGTH, &serialLength) || serialLength == 0 ||
        !TapepIsPrintable(Config->VendorId, 8, &vendorLength) ||
        !TapepIsPrintable(Config->ProductId, 16, &productLength) ||
        !TapepIsPrintable(Config->ProductRevision, 4, &revisionLength))
        return STATUS_INVALID_PARAMETER;
    ULONG maxBlock = Config->MaxBlockLength ? Config->MaxBlockLength : TAPE_DEFAULT_MAX_BLOCK;
    if (maxBlock > TAPE_MAX_BLOCK_LIMIT || Config->BlockSize > maxBlock || Config->CapacityBytes == 0 ||
        Config->EarlyWarningBytes > Config->CapacityBytes)
        return STATUS_INVALID_PARAMETER;

    auto *drive = (TapeDrive *)ExAllocatePoolWithTag(NonPagedPool, sizeof(TapeDrive), TAPE_TAG_DRIVE);
    if (!drive)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(drive, sizeof(*drive));
    if (!NT_SUCCESS(TapepParseWwnn(Config->Wwnn, drive))) {
        ExFreePoolWithTag(drive, TAPE_TAG_DRIVE);
        return STATUS_INVALID_PARAMETER;
    }
    ExInitializeFastMutex(&drive->Lock);
    RtlCopyMemory(drive->Serial, Config->SerialNumber, serialLength);
    drive->SerialLength = serialLength;
    TapepCopyPadded(drive->Vendor, sizeof(drive->Vendor), Config->VendorId);
    TapepCopyPadded(drive->Product, sizeof(drive->Product), Config->ProductId);
    TapepCopyPadded(drive->Revision, sizeof(drive->Revision), Config->ProductRevision);
    drive->Capacity = Config->CapacityBytes;
    drive->EarlyWarning = Config->EarlyWarningBytes ? Config->EarlyWarningBytes
                                                    : Config->CapacityBytes - Config->CapacityBytes / 16;
    drive->MaxBlock = maxBlock;
    drive->PowerOnBlockSize = Config->BlockSize;
    TapeMediumInitialize(&drive->Medium);
    drive->Medium.WriteProtected = Config->WriteProtected;
    drive->Cartridge = Config->CartridgeLoaded ? TAPE_CARTRIDGE_LOADED : TAPE_CARTRIDGE_NONE;
    drive->Scsi2Holder = TAPE_NO_HOLDER;
    drive->PrHolder = TAPE_NO_HOLDER;
    drive->KeyManaged = Config->KeyManaged;
    drive->KeyPageLength = TAPE_KEY_SENSE_PAGE_LENGTH;
    TapeRestoreDefaults(drive);
    *Drive = drive;
    return STATUS_SUCCESS;
}

VOID TapeDriveDelete(TapeDrive *Drive)
{
    VYR_PAGED_CODE();
    if (!Drive)
        return;
    TapeMediumFree(&Drive->Medium);
    ExFreePoolWithTag(Drive, TAPE_TAG_DRIVE);
}

// ---------------------------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------------------------

VOID TapeDriveExecute(TapeDrive *Drive, ULONG64 Nexus, PCSTR InitiatorWwpn, FabScsiRequest *Request)
{
    VYR_PAGED_CODE();
    if (!Drive || !Request)
        return;
    Request->ScsiStatus = SCSISTAT_GOOD;
    Request->SenseLength = 0;
    Request->DataTransferred = 0;
    RtlZeroMemory(Request->Sense, sizeof(Request->Sense));

    TapeLockGuard guard(Drive);
    TapeNexus *nexus = TapepNexusFor(Drive, Nexus);
    if (!nexus) {
        Request->ScsiStatus = SCSISTAT_BUSY;
        return;
    }
    ULONG i = 0;
    for (; InitiatorWwpn && InitiatorWwpn[i] && i < 16; i++)
        nexus->Wwpn[i] = InitiatorWwpn[i];
    nexus->Wwpn[i] = 0;

    TapeCommand cmd = {};
    cmd.Drive = Drive;
    cmd.Nexus = nexus;
    cmd.NexusIndex = (LONG)(nexus - Drive->Nexus);
    cmd.Request = Request;
    cmd.Cdb = Request->Cdb;
    // A buffer serves only the direction it was offered for.
    if (Request->Data && Request->Direction == FAB_DATA_IN)
        cmd.InLength = Request->DataLength;
    if (Request->Data && Request->Direction == FAB_DATA_OUT)
        cmd.OutLength = Request->DataLength;

    UCHAR opcode = Request->Cdb[0];
    // The contingent allegiance lasts until the nexus's next command, whatever it is.
    BOOLEAN keepSense = opcode == OP_REQUEST_SENSE;
    if (!keepSense)
        nexus->LastSenseValid = FALSE;
    nexus->ReportValid = FALSE;

    const TapeOpcode *op = TapepFindOpcode(opcode);
    TapeSense attention;
    if ((!op || !op->AttentionExempt) && TapepTakeAttention(nexus, &attention)) {
        TapeCheckCondition(&cmd, attention);
        return;
    }
    if (!op) {
        TapeFail(&cmd, SK_ILLEGAL_REQUEST, 0x20, 0x00);
        return;
    }
    ULONG cdbLength = Request->CdbLength > sizeof(Request->Cdb) ? (ULONG)sizeof(Request->Cdb) : Request->CdbLength;
    if (cdbLength < op->CdbLength) {
        // The bytes the command needs were not sent.
        TapeFail(&cmd, SK_ILLEGAL_REQUEST, 0x24, 0x00);
        return;
    }
    ULONG access = op->Access;
    if (opcode == OP_PREVENT_ALLOW && (Request->Cdb[4] & 0x03) == 0)
        access = TAPE_ACCESS_ALWAYS; // allowing removal never hurts the holder
    if (TapeReservationConflict(&cmd, access)) {
        Request->ScsiStatus = SCSISTAT_RESERVATION_CONFLICT;
        return;
    }
    op->Handler(&cmd);

    if (cmd.MadeReservation) {
        nexus->ReportValid = TRUE;
        RtlZeroMemory(&nexus->Report, sizeof(nexus->Report));
        RtlCopyMemory(nexus->Report.Wwpn, nexus->Wwpn, sizeof(nexus->Wwpn));
        if (Drive->PrHolder == cmd.NexusIndex) {
            nexus->Report.Persistent = TRUE;
            nexus->Report.Type = Drive->PrType;
            TapeFormatHex64(nexus->Key, nexus->Report.HostKey);
        } else {
            TapeFormatHex64(nexus->Id, nexus->Report.HostKey);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Harness
// ---------------------------------------------------------------------------------------------

NTSTATUS TapeDriveLoadCartridge(TapeDrive *Drive, BOOLEAN Blank)
{
    VYR_PAGED_CODE();
    TapeLockGuard guard(Drive);
    if (Drive->Cartridge == TAPE_CARTRIDGE_LOADED)
        return STATUS_INVALID_DEVICE_STATE;
    if (Blank)
        TapeMediumFree(&Drive->Medium);
    Drive->Cartridge = TAPE_CARTRIDGE_LOADED;
    Drive->Position = 0;
    TapeRaiseAttention(Drive, UA_MEDIUM_CHANGED, TAPE_NO_HOLDER);
    return STATUS_SUCCESS;
}

NTSTATUS TapeDriveEjectCartridge(TapeDrive *Drive)
{
    VYR_PAGED_CODE();
    TapeLockGuard guard(Drive);
    if (Drive->Cartridge == TAPE_CARTRIDGE_NONE)
        return STATUS_NO_MEDIA_IN_DEVICE;
    for (const TapeNexus &n : Drive->Nexus)
        if (n.InUse && n.Prevent)
            return STATUS_INVALID_DEVICE_STATE;
    Drive->Cartridge = TAPE_CARTRIDGE_NONE;
    Drive->Position = 0;
    TapeDropKey(Drive);
    return STATUS_SUCCESS;
}

struct TapeCartridge {
    TapeMedium Medium;
};

NTSTATUS TapeCartridgeCreate(TapeCartridge **Cartridge)
{
    VYR_PAGED_CODE();
    auto *cartridge = (TapeCartridge *)ExAllocatePoolWithTag(PagedPool, sizeof(TapeCartridge), TAPE_TAG_CARTRIDGE);
    *Cartridge = cartridge;
    if (!cartridge)
        return STATUS_INSUFFICIENT_RESOURCES;
    TapeMediumInitialize(&cartridge->Medium);
    return STATUS_SUCCESS;
}

VOID TapeCartridgeDelete(TapeCartridge *Cartridge)
{
    VYR_PAGED_CODE();
    if (!Cartridge)
        return;
    TapeMediumFree(&Cartridge->Medium);
    ExFreePoolWithTag(Cartridge, TAPE_TAG_CARTRIDGE);
}

namespace {

// The medium store is a record of pointers and counts: whoever holds it owns the chunks.
VOID TapepSwapMedium(TapeMedium *A, TapeMedium *B)
{
    TapeMedium held = *A;
    *A = *B;
    *B = held;
}

} // namespace

NTSTATUS TapeDriveInsertCartridge(TapeDrive *Drive, TapeCartridge *Cartridge)
{
    VYR_PAGED_CODE();
    TapeLockGuard guard(Drive);
    if (Drive->Cartridge != TAPE_CARTRIDGE_NONE)
        return STATUS_INVALID_DEVICE_STATE;
    TapepSwapMedium(&Drive->Medium, &Cartridge->Medium);
    Drive->Cartridge = TAPE_CARTRIDGE_LOADED;
    Drive->Position = 0;
    TapeRaiseAttention(Drive, UA_MEDIUM_CHANGED, TAPE_NO_HOLDER);
    return STATUS_SUCCESS;
}

NTSTATUS TapeDriveRemoveCartridge(TapeDrive *Drive, TapeCartridge *Cartridge)
{
    VYR_PAGED_CODE();
    TapeLockGuard guard(Drive);
    if (Drive->Cartridge != TAPE_CARTRIDGE_NONE)
        for (const TapeNexus &n : Drive->Nexus)
            if (n.InUse && n.Prevent)
                return STATUS_INVALID_DEVICE_STATE;
    // An operator's eject may have come first: the cartridge then waits in the drive's hand.
    TapepSwapMedium(&Drive->Medium, &Cartridge->Medium);
    Drive->Cartridge = TAPE_CARTRIDGE_NONE;
    Drive->Position = 0;
    TapeDropKey(Drive);
    return STATUS_SUCCESS;
}

VOID TapeDrivePowerOnReset(TapeDrive *Drive)
{
    VYR_PAGED_CODE();
    TapeLockGuard guard(Drive);
    Drive->Position = 0;
    TapeRestoreDefaults(Drive);
    for (TapeNexus &n : Drive->Nexus) {
        n.Prevent = FALSE;
        n.Registered = FALSE;
        n.Key = 0;
        n.LastSenseValid = FALSE;
        n.ReportValid = FALSE;
    }
    TapeRaiseAttention(Drive, UA_POWER_ON, TAPE_NO_HOLDER);
    // Without persist-through-power-loss, persistent reservations do not survive either.
    Drive->Scsi2Holder = TAPE_NO_HOLDER;
    Drive->PrHolder = TAPE_NO_HOLDER;
    Drive->PrType = 0;
    Drive->PrGeneration = 0;
    TapeDropKey(Drive);
}

VOID TapeDriveLogicalUnitReset(TapeDrive *Drive, ULONG64 Nexus)
{
    VYR_PAGED_CODE();
    TapeLockGuard guard(Drive);
    TapeNexus *issuer = TapepFindNexus(Drive, Nexus);
    Drive->Scsi2Holder = TAPE_NO_HOLDER;
    for (TapeNexus &n : Drive->Nexus)
        n.Prevent = FALSE;
    TapeRaiseAttention(Drive, UA_LU_RESET, issuer ? (LONG)(issuer - Drive->Nexus) : TAPE_NO_HOLDER);
}

VOID TapeDriveNexusLoss(TapeDrive *Drive, ULONG64 Nexus)
{
    VYR_PAGED_CODE();
    TapeLockGuard guard(Drive);
    TapeNexus *nexus = TapepFindNexus(Drive, Nexus);
    if (!nexus)
        return;
    if (Drive->Scsi2Holder == (LONG)(nexus - Drive->Nexus))
        Drive->Scsi2Holder = TAPE_NO_HOLDER;
    nexus->Prevent = FALSE;
    nexus->LastSenseValid = FALSE;
    nexus->PendingAttention |= UA_NEXUS_LOSS;
}

VOID TapeDriveSetWriteProtect(TapeDrive *Drive, BOOLEAN WriteProtected)
{
    VYR_PAGED_CODE();
    TapeLockGuard guard(Drive);
    Drive->Medium.WriteProtected = WriteProtected;
}

VOID TapeDriveSetKeyManaged(TapeDrive *Drive, BOOLEAN KeyManaged)
{
    VYR_PAGED_CODE();
    TapeLockGuard guard(Drive);
    Drive->KeyManaged = KeyManaged;
    TapeDropKey(Drive);
}

NTSTATUS TapeDriveSetKeyPageLength(TapeDrive *Drive, ULONG PageLength)
{
    VYR_PAGED_CODE();
    if (PageLength == 0)
        PageLength = TAPE_KEY_SENSE_PAGE_LENGTH;
    if (PageLength < TAPE_KEY_SENSE_PAGE_LENGTH || PageLength > TAPE_KEY_MAX_PAGE_LENGTH)
        return STATUS_INVALID_PARAMETER;
    TapeLockGuard guard(Drive);
    Drive->KeyPageLength = (USHORT)PageLength;
    return STATUS_SUCCESS;
}

VOID TapeDriveQueryMedium(TapeDrive *Drive, TapeMediumInfo *Info)
{
    VYR_PAGED_CODE();
    TapeLockGuard guard(Drive);
    RtlZeroMemory(Info, sizeof(*Info));
    Info->State = Drive->Cartridge;
    Info->WriteProtected = Drive->Medium.WriteProtected;
    Info->BlockSize = Drive->BlockSize;
    if (Drive->Cartridge == TAPE_CARTRIDGE_NONE)
        return;
    Info->EndOfMedium = Drive->Medium.EndOfMedium;
    Info->Position = Drive->Position;
    Info->Objects = Drive->Medium.ObjectCount;
    Info->Filemarks = Drive->Medium.Filemarks;
    Info->Blocks = Drive->Medium.ObjectCount - Drive->Medium.Filemarks;
    Info->DataBytes = Drive->Medium.DataBytes;
}

NTSTATUS TapeDriveReadObject(TapeDrive *Drive, ULONG64 Index, PVOID Buffer, ULONG BufferLength, PULONG Length)
{
    VYR_PAGED_CODE();
    TapeLockGuard guard(Drive);
    if (Length)
        *Length = 0;
    if (Drive->Cartridge == TAPE_CARTRIDGE_NONE)
        return STATUS_NO_MEDIA_IN_DEVICE;
    if (Index >= Drive->Medium.ObjectCount)
        return STATUS_NO_DATA_DETECTED;
    const TapeObject *object = &Drive->Medium.Objects[Index];
    if (TapeIsFilemark(object))
        return STATUS_FILEMARK_DETECTED;
    if (Length)
        *Length = object->Length;
    if (!Buffer)
        return STATUS_SUCCESS;
    ULONG n = object->Length < BufferLength ? object->Length : BufferLength;
    TapeMediumCopyOut(&Drive->Medium, object->Offset, (PUCHAR)Buffer, n);
    return n < object->Length ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

BOOLEAN TapeDriveQueryReservationReport(TapeDrive *Drive, ULONG64 Nexus, TapeReservationReport *Report)
{
    VYR_PAGED_CODE();
    TapeLockGuard guard(Drive);
    TapeNexus *nexus = TapepFindNexus(Drive, Nexus);
    if (!nexus || !nexus->ReportValid)
        return FALSE;
    *Report = nexus->Report;
    return TRUE;
}

VOID TapeDriveQueryReservations(TapeDrive *Drive, TapeReservationState *State)
{
    VYR_PAGED_CODE();
    TapeLockGuard guard(Drive);
    RtlZeroMemory(State, sizeof(*State));
    if (Drive->Scsi2Holder != TAPE_NO_HOLDER) {
        State->Scsi2Reserved = TRUE;
        State->Scsi2Holder = Drive->Nexus[Drive->Scsi2Holder].Id;
    }
    if (Drive->PrHolder != TAPE_NO_HOLDER) {
        State->PrReserved = TRUE;
        State->PrHolder = Drive->Nexus[Drive->PrHolder].Id;
        State->PrType = Drive->PrType;
        State->PrKey = Drive->Nexus[Drive->PrHolder].Key;
    }
    State->PrGeneration = Drive->PrGeneration;
    for (const TapeNexus &n : Drive->Nexus)
        if (n.InUse && n.Registered)
            State->Registrations++;
}

VOID TapeDriveQueryEncryption(TapeDrive *Drive, TapeEncryptionState *State)
{
    VYR_PAGED_CODE();
    TapeLockGuard guard(Drive);
    RtlZeroMemory(State, sizeof(*State));
    State->KeyManaged = Drive->KeyManaged;
    State->KeyLoaded = Drive->KeyLoaded;
    State->RequestPending = Drive->KeyRequestPending;
    State->RequestReason = Drive->KeyRequestReason;
    State->RequestSequence = Drive->KeyRequestSequence;
    State->KeyLength = Drive->KeyLength;
    RtlCopyMemory(State->Key, Drive->Key, sizeof(State->Key));
}
