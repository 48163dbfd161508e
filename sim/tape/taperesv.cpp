// Reservations: SCSI-2 RESERVE(6)/RELEASE(6) and persistent reservations (PERSISTENT RESERVE IN and
// OUT), each held per I_T nexus, and the conflict check every other command passes.
//
// Persistent reservations: types Write Exclusive (1), Exclusive Access (3) and their registrants-
// only forms (5, 6); logical unit scope only; no persist-through-power-loss, no specify-initiator-
// ports, no all-target-ports, no REGISTER AND MOVE, no READ FULL STATUS. The holder is the nexus
// that reserved; under a registrants-only type every registered nexus has the holder's access.
// Preempting removes the registrations of every other nexus with the preempted key, so a host that
// registered the same key on several paths moves its reservation by preempting its own key.
#include "tapeint.h"

namespace {

enum : UCHAR {
    PR_WRITE_EXCLUSIVE = 1,
    PR_EXCLUSIVE_ACCESS = 3,
    PR_WRITE_EXCLUSIVE_RO = 5,
    PR_EXCLUSIVE_ACCESS_RO = 6,
};

enum : UCHAR {
    PRO_REGISTER = 0,
    PRO_RESERVE = 1,
    PRO_RELEASE = 2,
    PRO_CLEAR = 3,
    PRO_PREEMPT = 4,
    PRO_PREEMPT_AND_ABORT = 5,
    PRO_REGISTER_AND_IGNORE = 6,
};

BOOLEAN TapepValidType(UCHAR Type)
{
    return Type == PR_WRITE_EXCLUSIVE || Type == PR_EXCLUSIVE_ACCESS || Type == PR_WRITE_EXCLUSIVE_RO ||
           Type == PR_EXCLUSIVE_ACCESS_RO;
}

BOOLEAN TapepRegistrantsOnly(UCHAR Type)
{
    return Type == PR_WRITE_EXCLUSIVE_RO || Type == PR_EXCLUSIVE_ACCESS_RO;
}

BOOLEAN TapepAnyRegistration(const TapeDrive *Drive)
{
    for (const TapeNexus &n : Drive->Nexus)
        if (n.InUse && n.Registered)
            return TRUE;
    return FALSE;
}

// Unit attention for every registered nexus except one.
VOID TapepTellRegistrants(TapeDrive *Drive, ULONG Bit, LONG ExceptIndex)
{
    for (LONG i = 0; i < (LONG)TAPE_MAX_NEXUS; i++) {
        TapeNexus *n = &Drive->Nexus[i];
        if (n->InUse && n->Registered && i != ExceptIndex)
            n->PendingAttention |= Bit;
    }
}

VOID TapepConflict(TapeCommand *Cmd)
{
    Cmd->Request->ScsiStatus = SCSISTAT_RESERVATION_CONFLICT;
}

// Removes a nexus's registration; a holder that unregisters gives up the reservation, and under a
// registrants-only type the other registrants are told it is gone.
VOID TapepUnregister(TapeDrive *Drive, LONG Index)
{
    TapeNexus *n = &Drive->Nexus[Index];
    n->Registered = FALSE;
    n->Key = 0;
    if (Drive->PrHolder == Index) {
        if (TapepRegistrantsOnly(Drive->PrType))
            TapepTellRegistrants(Drive, UA_RESV_RELEASED, Index);
        Drive->PrHolder = TAPE_NO_HOLDER;
        Drive->PrType = 0;
    }
}

VOID TapepRegister(TapeDrive *Drive, LONG Index, ULONG64 Key)
{
    Drive->Nexus[Index].Registered = TRUE;
    Drive->Nexus[Index].Key = Key;
}

/*++
Routine Description:
    PREEMPT and PREEMPT AND ABORT (commands here run one at a time, so there is nothing to abort).
    When the reservation holder's key is the service action key, the reservation passes to this
    nexus with the CDB's type; in every case the other nexuses registered with that key lose their
    registration (2A/05). Preempting registrations that do not exist is a conflict.
--*/
VOID TapepPreempt(TapeCommand *Cmd, UCHAR Type, ULONG64 ServiceKey)
{
    TapeDrive *drive = Cmd->Drive;
    LONG me = Cmd->NexusIndex;
    BOOLEAN holderPreempted = drive->PrHolder != TAPE_NO_HOLDER && drive->Nexus[drive->PrHolder].Key == ServiceKey;
    if (!holderPreempted && ServiceKey == 0) {
        TapeInvalidParameter(Cmd, 8);
        return;
    }
    ULONG removed = 0;
    for (LONG i = 0; i < (LONG)TAPE_MAX_NEXUS; i++) {
        TapeNexus *n = &drive->Nexus[i];
        if (i == me || !n->InUse || !n->Registered || n->Key != ServiceKey)
            continue;
        n->Registered = FALSE;
        n->Key = 0;
        n->PendingAttention |= UA_REG_PREEMPTED;
        removed++;
    }
    if (!holderPreempted) {
        if (removed == 0) {
            TapepConflict(Cmd);
            return;
        }
        drive->PrGeneration++;
        return;
    }
    UCHAR oldType = drive->PrType;
    drive->PrHolder = me;
    drive->PrType = Type;
    if (oldType != Type)
        TapepTellRegistrants(drive, UA_RESV_RELEASED, me);
    drive->PrGeneration++;
    Cmd->MadeReservation = TRUE;
}

} // namespace

VOID TapeFormatHex64(ULONG64 Value, CHAR *Text)
{
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 15; i >= 0; i--) {
        Text[i] = digits[Value & 0xF];
        Value >>= 4;
    }
    Text[16] = 0;
}

BOOLEAN TapeReservationConflict(TapeCommand *Cmd, ULONG Access)
{
    TapeDrive *drive = Cmd->Drive;
    LONG me = Cmd->NexusIndex;
    if (Access == TAPE_ACCESS_ALWAYS || Access == TAPE_ACCESS_PR)
        return FALSE;
    if (drive->Scsi2Holder != TAPE_NO_HOLDER && drive->Scsi2Holder != me)
        return TRUE;
    if (drive->PrHolder == TAPE_NO_HOLDER || drive->PrHolder == me)
        return FALSE;
    if (TapepRegistrantsOnly(drive->PrType) && Cmd->Nexus->Registered)
        return FALSE;
    if (drive->PrType == PR_WRITE_EXCLUSIVE || drive->PrType == PR_WRITE_EXCLUSIVE_RO)
        return Access != TAPE_ACCESS_LOOK;
    return TRUE;
}

/*++
Routine Description:
    RESERVE(6). Conflicts while another nexus holds it and, as for every SCSI-2 reservation
    command, while any persistent registration exists. Reserving again from the holder succeeds.
    Third-party and extent reservations are not supported.
--*/
VOID TapeCmdReserve(TapeCommand *Cmd)
{
    TapeDrive *drive = Cmd->Drive;
    if (Cmd->Cdb[1] & 0x11) {
        TapeInvalidCdbField(Cmd, 1);
        return;
    }
    if (TapepAnyRegistration(drive) ||
        (drive->Scsi2Holder != TAPE_NO_HOLDER && drive->Scsi2Holder != Cmd->NexusIndex)) {
        TapepConflict(Cmd);
        return;
    }
    drive->Scsi2Holder = Cmd->NexusIndex;
    Cmd->MadeReservation = TRUE;
}

// RELEASE(6): the holder releases; from any other nexus it succeeds and changes nothing.
VOID TapeCmdRelease(TapeCommand *Cmd)
{
    TapeDrive *drive = Cmd->Drive;
    if (Cmd->Cdb[1] & 0x11) {
        TapeInvalidCdbField(Cmd, 1);
        return;
    }
    if (TapepAnyRegistration(drive)) {
        TapepConflict(Cmd);
        return;
    }
    if (drive->Scsi2Holder == Cmd->NexusIndex)
        drive->Scsi2Holder = TAPE_NO_HOLDER;
}

/*++
Routine Description:
    PERSISTENT RESERVE IN: READ KEYS, READ RESERVATION and REPORT CAPABILITIES. Like every
    persistent reservation command it conflicts while a SCSI-2 reservation is held by anyone.
--*/
VOID TapeCmdPersistentReserveIn(TapeCommand *Cmd)
{
    TapeDrive *drive = Cmd->Drive;
    if (drive->Scsi2Holder != TAPE_NO_HOLDER) {
        TapepConflict(Cmd);
        return;
    }
    UCHAR action = Cmd->Cdb[1] & 0x1F;
    ULONG allocation = TapeGet16(Cmd->Cdb + 7);
    UCHAR data[8 + 8 * TAPE_MAX_NEXUS] = {};
    ULONG length;
    switch (action) {
    case 0: { // READ KEYS
        ULONG keys = 0;
        for (const TapeNexus &n : drive->Nexus) {
            if (n.InUse && n.Registered) {
                TapePut64(data + 8 + 8 * keys, n.Key);
                keys++;
            }
        }
        TapePut32(data, drive->PrGeneration);
        TapePut32(data + 4, 8 * keys);
        length = 8 + 8 * keys;
        break;
    }
    case 1: // READ RESERVATION
        TapePut32(data, drive->PrGeneration);
        length = 8;
        if (drive->PrHolder != TAPE_NO_HOLDER) {
            TapePut32(data + 4, 16);
            TapePut64(data + 8, drive->Nexus[drive->PrHolder].Key);
            data[8 + 13] = drive->PrType; // scope 0 (logical unit) in the high nibble
            length = 24;
        }
        break;
    case 2: // REPORT CAPABILITIES
        TapePut16(data, 8);
        data[3] = 0x80; // the type mask is valid
        data[4] = (1 << PR_WRITE_EXCLUSIVE) | (1 << PR_EXCLUSIVE_ACCESS) | (1 << PR_WRITE_EXCLUSIVE_RO) |
                  (1 << PR_EXCLUSIVE_ACCESS_RO);
        length = 8;
        break;
    default:
        TapeInvalidCdbField(Cmd, 1);
        return;
    }
    TapeReturnData(Cmd, data, allocation < length ? allocation : length);
}

/*++
Routine Description:
    PERSISTENT RESERVE OUT with its 24-byte parameter list (reservation key, service action
    reservation key, flags). REGISTER and REGISTER AND IGNORE EXISTING KEY register, change or (with
    a service action key of 0) remove this nexus's key; RESERVE, RELEASE, CLEAR, PREEMPT and PREEMPT
    AND ABORT need this nexus registered with the given reservation key, else RESERVATION CONFLICT.
--*/
VOID TapeCmdPersistentReserveOut(TapeCommand *Cmd)
{
    const UCHAR *cdb = Cmd->Cdb;
    TapeDrive *drive = Cmd->Drive;
    TapeNexus *nexus = Cmd->Nexus;
    LONG me = Cmd->NexusIndex;
    if (drive->Scsi2Holder != TAPE_NO_HOLDER) {
        TapepConflict(Cmd);
        return;
    }
    UCHAR action = cdb[1] & 0x1F;
    UCHAR scope = cdb[2] >> 4;
    UCHAR type = cdb[2] & 0x0F;
    ULONG length = TapeGet32(cdb + 5);
    if (action > PRO_REGISTER_AND_IGNORE) {
        TapeInvalidCdbField(Cmd, 1);
        return;
    }
    if (length > Cmd->OutLength) {
        TapeInvalidCdbField(Cmd, 5);
        return;
    }
    if (length != 24) {
        TapeParameterListLengthError(Cmd);
        return;
    }
    auto *list = (const UCHAR *)Cmd->Request->Data;
    ULONG64 key = TapeGet64(list);
    ULONG64 serviceKey = TapeGet64(list + 8);
    if (list[20] & 0x0D) {
        TapeInvalidParameter(Cmd, 20); // SPEC_I_PT, ALL_TG_PT, APTPL
        return;
    }
    BOOLEAN typed = action == PRO_RESERVE || action == PRO_RELEASE || action == PRO_PREEMPT ||
                    action == PRO_PREEMPT_AND_ABORT;
    if (typed && (scope != 0 || !TapepValidType(type))) {
        TapeInvalidCdbField(Cmd, 2);
        return;
    }

    if (action == PRO_REGISTER || action == PRO_REGISTER_AND_IGNORE) {
        if (action == PRO_REGISTER && key != (nexus->Registered ? nexus->Key : 0)) {
            TapepConflict(Cmd);
            return;
        }
        if (serviceKey == 0) {
            if (nexus->Registered) {
                TapepUnregister(drive, me);
                drive->PrGeneration++;
            }
        } else {
            TapepRegister(drive, me, serviceKey);
            drive->PrGeneration++;
        }
        return;
    }
    if (!nexus->Registered || nexus->Key != key) {
        TapepConflict(Cmd);
        return;
    }
    switch (action) {
    case PRO_RESERVE:
        if (drive->PrHolder == TAPE_NO_HOLDER) {
            drive->PrHolder = me;
            drive->PrType = type;
        } else if (drive->PrHolder != me || drive->PrType != type) {
            TapepConflict(Cmd);
            return;
        }
        Cmd->MadeReservation = TRUE;
        break;
    case PRO_RELEASE:
        if (drive->PrHolder != me)
            return; // nothing held by this nexus: nothing to release
        if (drive->PrType != type) {
            TapeFail(Cmd, SK_ILLEGAL_REQUEST, 0x26, 0x04); // invalid release of persistent reservation
            return;
        }
        if (TapepRegistrantsOnly(drive->PrType))
            TapepTellRegistrants(drive, UA_RESV_RELEASED, me);
        drive->PrHolder = TAPE_NO_HOLDER;
        drive->PrType = 0;
        break;
    case PRO_CLEAR:
        TapepTellRegistrants(drive, UA_RESV_PREEMPTED, me);
        for (TapeNexus &n : drive->Nexus) {
            n.Registered = FALSE;
            n.Key = 0;
        }
        drive->PrHolder = TAPE_NO_HOLDER;
        drive->PrType = 0;
        drive->PrGeneration++;
        break;
    default:
        TapepPreempt(Cmd, type, serviceKey);
        break;
    }
}
