// Fault rules: what the harness may ask for, and which rule takes a command.
#include "fabdrv.h"

namespace {

constexpr UCHAR SCSIOP_WRITE6 = 0x0A;
constexpr UCHAR FAB_SENSE_FLAG_BITS = 0xE0; // filemark, end-of-medium, incorrect length

BOOLEAN FabSenseIsEmptyp(const FabFaultRequest *Fault)
{
    return Fault->SenseKey == 0 && Fault->SenseFlags == 0 && Fault->Asc == 0 && Fault->Ascq == 0;
}

BOOLEAN FabRuleAppliesp(const FabFaultRequest *Fault, UCHAR Opcode)
{
    if (Fault->Kind == FAB_FAULT_WRITE_AFTER_BLOCKS && Opcode != SCSIOP_WRITE6)
        return FALSE;
    return !Fault->fOpcodeFilter || Fault->Opcode == Opcode;
}

} // namespace

/*++
Routine Description:
    Checks a fault request apart from its index (which the caller checks against the world).
    Fields a kind does not use must be zero, so that a harness that filled the wrong field hears
    about it instead of getting a different fault than it meant.
--*/
NTSTATUS FabValidateFault(const FabFaultRequest *Fault)
{
    if (Fault->Scope != FAB_SCOPE_PATH && Fault->Scope != FAB_SCOPE_DRIVE)
        return STATUS_INVALID_PARAMETER;
    if (Fault->Reserved[0] || Fault->Reserved[1] || Fault->Reserved[2])
        return STATUS_INVALID_PARAMETER;
    if (Fault->fOpcodeFilter > 1 || (!Fault->fOpcodeFilter && Fault->Opcode))
        return STATUS_INVALID_PARAMETER;
    switch (Fault->Form) {
    case FAB_FORM_ONE_SHOT:
    case FAB_FORM_UNTIL_CLEARED:
        if (Fault->EveryNth || Fault->Seed)
            return STATUS_INVALID_PARAMETER;
        break;
    case FAB_FORM_EVERY_NTH:
        if (!Fault->EveryNth || Fault->Seed)
            return STATUS_INVALID_PARAMETER;
        break;
    case FAB_FORM_RANDOM:
        if (!Fault->EveryNth)
            return STATUS_INVALID_PARAMETER;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    if (Fault->SenseKey > 15 || (Fault->SenseFlags & ~FAB_SENSE_FLAG_BITS))
        return STATUS_INVALID_PARAMETER;
    switch (Fault->Kind) {
    case FAB_FAULT_SENSE:
        if (Fault->Status || Fault->BlocksWritten)
            return STATUS_INVALID_PARAMETER;
        break;
    case FAB_FAULT_STATUS:
        if (!NT_ERROR(Fault->Status) || Fault->BlocksWritten || !FabSenseIsEmptyp(Fault))
            return STATUS_INVALID_PARAMETER;
        break;
    case FAB_FAULT_WRITE_AFTER_BLOCKS:
        if (Fault->fOpcodeFilter && Fault->Opcode != SCSIOP_WRITE6)
            return STATUS_INVALID_PARAMETER;
        // Reported either by sense or by a transport failure, not both.
        if (Fault->Status && (!NT_ERROR(Fault->Status) || !FabSenseIsEmptyp(Fault)))
            return STATUS_INVALID_PARAMETER;
        break;
    case FAB_FAULT_RESERVATION:
    case FAB_FAULT_HOLD:
        if (Fault->Status || Fault->BlocksWritten || !FabSenseIsEmptyp(Fault))
            return STATUS_INVALID_PARAMETER;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FabRuleAdd(FabRuleList *List, const FabFaultRequest *Fault)
{
    if (List->Count >= FAB_MAX_RULES)
        return STATUS_INSUFFICIENT_RESOURCES;
    FabRule *rule = &List->Rules[List->Count++];
    rule->Request = *Fault;
    rule->cMatched = 0;
    // xorshift needs a state other than 0; seed 0 is a seed like any other.
    rule->ulRandomState = Fault->Seed ^ 0x9E3779B9u;
    if (!rule->ulRandomState)
        rule->ulRandomState = 1;
    return STATUS_SUCCESS;
}

BOOLEAN FabRuleMatch(FabRuleList *List, UCHAR Opcode, FabFaultRequest *Fired)
{
    for (ULONG i = 0; i < List->Count; i++) {
        FabRule *rule = &List->Rules[i];
        if (!FabRuleAppliesp(&rule->Request, Opcode))
            continue;
        rule->cMatched++;
        BOOLEAN fires;
        if (rule->Request.Form == FAB_FORM_EVERY_NTH) {
            fires = rule->cMatched % rule->Request.EveryNth == 0;
        } else if (rule->Request.Form == FAB_FORM_RANDOM) {
            ULONG x = rule->ulRandomState;
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            rule->ulRandomState = x;
            fires = x % rule->Request.EveryNth == 0;
        } else {
            fires = TRUE;
        }
        if (!fires)
            continue;
        *Fired = rule->Request;
        if (rule->Request.Form == FAB_FORM_ONE_SHOT) {
            for (ULONG j = i + 1; j < List->Count; j++)
                List->Rules[j - 1] = List->Rules[j];
            List->Count--;
        }
        return TRUE;
    }
    return FALSE;
}

void FabSetSense(FabScsiRequest *Request, UCHAR SenseKey, UCHAR SenseFlags, UCHAR Asc, UCHAR Ascq, BOOLEAN InfoValid,
                 ULONG Information)
{
    constexpr UCHAR kLength = 18;
    RtlZeroMemory(Request->Sense, sizeof(Request->Sense));
    Request->Sense[0] = (UCHAR)(0x70 | (InfoValid ? 0x80 : 0));
    Request->Sense[2] = (UCHAR)((SenseFlags & FAB_SENSE_FLAG_BITS) | (SenseKey & 0x0F));
    Request->Sense[3] = (UCHAR)(Information >> 24);
    Request->Sense[4] = (UCHAR)(Information >> 16);
    Request->Sense[5] = (UCHAR)(Information >> 8);
    Request->Sense[6] = (UCHAR)Information;
    Request->Sense[7] = kLength - 8;
    Request->Sense[12] = Asc;
    Request->Sense[13] = Ascq;
    Request->SenseLength = kLength;
    Request->ScsiStatus = SCSISTAT_CHECK_CONDITION;
}
