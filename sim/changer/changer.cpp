// The medium changer model. Elements are kept in one array in ascending address order --
// transport, import/export, data transfer, storage -- so that a READ ELEMENT STATUS over a range
// of addresses is a walk along the array.
#include "changer.h"
#include "vyr/scsiident.h"

namespace {

constexpr ULONG CHG_POOL_TAG = (ULONG)'V' | ((ULONG)'C' << 8) | ((ULONG)'g' << 16) | ((ULONG)'m' << 24);
constexpr ULONG CHG_MAX_ELEMENTS = 1 + FAB_CHANGER_MAX_PORTALS + FAB_CHANGER_MAX_DRIVES + FAB_CHANGER_MAX_SLOTS;

enum : UCHAR {
    SENSE_NO_SENSE = 0x0,
    SENSE_NOT_READY = 0x2,
    SENSE_ILLEGAL_REQUEST = 0x5,
    SENSE_UNIT_ATTENTION = 0x6,
};

struct ChgElement {
    USHORT Address;
    UCHAR Type;       // CHG_ELEMENT_*
    USHORT Cartridge; // 0: empty
    USHORT Source;    // where the cartridge was before its last move (valid when fSourceValid)
    BOOLEAN fSourceValid;
};

struct ChgNexus {
    ULONG64 Nexus;
    BOOLEAN fUsed;
    // A unit attention waiting for this nexus's next command (ASC 0: none).
    UCHAR AttentionAsc;
    UCHAR AttentionAscq;
};

} // namespace

struct ChangerDevice {
    FAST_MUTEX Lock;
    CHAR Serial[CHANGER_SERIAL_LENGTH];
    ULONG SerialLength;
    CHAR Vendor[8];
    CHAR Product[16];
    CHAR Revision[4];
    UCHAR Wwnn[8];
    BOOLEAN HasWwnn;
    ULONG Slots;
    ULONG Drives;
    ULONG Portals;
    ULONG ElementCount;
    ULONG Moves;
    ULONG PreventCount; // PREVENT ALLOW MEDIUM REMOVAL: the import/export door is locked while > 0
    ChangerDriveHooks Hooks; // Load and Unload NULL: no drives behind the drive elements
    ChgElement Elements[CHG_MAX_ELEMENTS];
    ChgNexus Nexus[CHANGER_MAX_NEXUS];
};

namespace {

void ChgPut16(UCHAR *p, ULONG v)
{
    p[0] = (UCHAR)(v >> 8);
    p[1] = (UCHAR)v;
}
void ChgPut24(UCHAR *p, ULONG v)
{
    p[0] = (UCHAR)(v >> 16);
    p[1] = (UCHAR)(v >> 8);
    p[2] = (UCHAR)v;
}
ULONG ChgGet16(const UCHAR *p) { return ((ULONG)p[0] << 8) | p[1]; }
ULONG ChgGet24(const UCHAR *p) { return ((ULONG)p[0] << 16) | ((ULONG)p[1] << 8) | p[2]; }

// Copies Text into a space-padded field of Size characters.
void ChgPadCopy(CHAR *Field, ULONG Size, PCSTR Text)
{
    ULONG n = 0;
    for (; Text && n < Size && Text[n]; n++)
        Field[n] = Text[n];
    for (; n < Size; n++)
        Field[n] = ' ';
}

void ChgSetSense(FabScsiRequest *Request, UCHAR Key, UCHAR Asc, UCHAR Ascq)
{
    Request->ScsiStatus = SCSISTAT_CHECK_CONDITION;
    RtlZeroMemory(Request->Sense, sizeof(Request->Sense));
    Request->Sense[0] = 0x70;
    Request->Sense[2] = Key;
    Request->Sense[7] = 10; // additional sense length
    Request->Sense[12] = Asc;
    Request->Sense[13] = Ascq;
    Request->SenseLength = 18;
}

void ChgInvalidField(FabScsiRequest *Request) { ChgSetSense(Request, SENSE_ILLEGAL_REQUEST, 0x24, 0x00); }
void ChgInvalidAddress(FabScsiRequest *Request) { ChgSetSense(Request, SENSE_ILLEGAL_REQUEST, 0x21, 0x01); }

// Hands the first min(Length, DataLength) bytes of Data to the initiator.
void ChgReturnData(FabScsiRequest *Request, const UCHAR *Data, ULONG Length)
{
    if (Request->Direction != FAB_DATA_IN) {
        if (Length)
            ChgInvalidField(Request); // a command that returns data sent without a buffer to take it
        return;
    }
    ULONG n = Length < Request->DataLength ? Length : Request->DataLength;
    if (n)
        RtlCopyMemory(Request->Data, Data, n);
    Request->DataTransferred = n;
}

ChgNexus *ChgFindNexus(ChangerDevice *Changer, ULONG64 Nexus, BOOLEAN Create)
{
    ChgNexus *free = nullptr;
    for (ULONG i = 0; i < CHANGER_MAX_NEXUS; i++) {
        ChgNexus *n = &Changer->Nexus[i];
        if (n->fUsed && n->Nexus == Nexus)
            return n;
        if (!n->fUsed && !free)
            free = n;
    }
    if (!Create || !free)
        return nullptr;
    // A nexus the changer has not seen since power-on first hears of the power-on.
    free->fUsed = TRUE;
    free->Nexus = Nexus;
    free->AttentionAsc = 0x29;
    free->AttentionAscq = 0x00;
    return free;
}

ChgElement *ChgFindElement(ChangerDevice *Changer, ULONG Address)
{
    for (ULONG i = 0; i < Changer->ElementCount; i++)
        if (Changer->Elements[i].Address == Address)
            return &Changer->Elements[i];
    return nullptr;
}

void ChgFormatVolumeTag(USHORT Cartridge, UCHAR *Tag)
{
    RtlFillMemory(Tag, CHANGER_VOLUME_TAG_LENGTH, ' ');
    Tag[0] = 'V';
    Tag[1] = 'Y';
    Tag[2] = 'R';
    ULONG value = Cartridge;
    for (int i = 6; i >= 3; i--) {
        Tag[i] = (UCHAR)('0' + value % 10);
        value /= 10;
    }
    Tag[7] = 'L';
    Tag[8] = '8';
}

SimScsiIdentity ChgIdentity(const ChangerDevice *Changer)
{
    return {0x08, Changer->Vendor, Changer->Product, Changer->Revision, Changer->Serial, Changer->SerialLength,
            Changer->HasWwnn ? Changer->Wwnn : nullptr};
}

void ChgInquiry(ChangerDevice *Changer, FabScsiRequest *Request)
{
    const UCHAR *cdb = Request->Cdb;
    BOOLEAN evpd = (cdb[1] & 0x01) != 0;
    if ((cdb[1] & 0x02) || (!evpd && cdb[2] != 0)) {
        ChgInvalidField(Request);
        return;
    }
    UCHAR data[128];
    ULONG length = 0;
    const SimScsiIdentity identity = ChgIdentity(Changer);
    if (!SimBuildInquiryData(&identity, evpd, cdb[2], data, &length)) {
        ChgInvalidField(Request);
        return;
    }
    ULONG allocation = ChgGet16(cdb + 3);
    ChgReturnData(Request, data, allocation < length ? allocation : length);
}

ULONG ChgElementAddressPage(const ChangerDevice *Changer, UCHAR *Out)
{
    RtlZeroMemory(Out, 20);
    Out[0] = CHG_PAGE_ELEMENT_ADDRESS;
    Out[1] = 0x12;
    ChgPut16(Out + 2, FAB_CHANGER_TRANSPORT_ADDRESS);
    ChgPut16(Out + 4, 1);
    ChgPut16(Out + 6, FAB_CHANGER_SLOT_ADDRESS);
    ChgPut16(Out + 8, Changer->Slots);
    ChgPut16(Out + 10, FAB_CHANGER_PORTAL_ADDRESS);
    ChgPut16(Out + 12, Changer->Portals);
    ChgPut16(Out + 14, FAB_CHANGER_DRIVE_ADDRESS);
    ChgPut16(Out + 16, Changer->Drives);
    return 20;
}

// What the transport can do: store in slots, drives and the import/export elements, and move
// between any two of them; no exchanges.
ULONG ChgCapabilitiesPage(const ChangerDevice *Changer, UCHAR *Out)
{
    RtlZeroMemory(Out, 20);
    Out[0] = CHG_PAGE_CAPABILITIES;
    Out[1] = 0x12;
    UCHAR stores = 0x02 | 0x08 | (Changer->Portals ? 0x04 : 0); // StorST, StorDT, StorIE
    Out[2] = stores;
    for (ULONG i = 4; i < 8; i++)
        Out[i] = stores; // MT->, ST->, IE->, DT-> each reach what the changer stores in
    return 20;
}

void ChgModeSense(ChangerDevice *Changer, FabScsiRequest *Request)
{
    const UCHAR *cdb = Request->Cdb;
    UCHAR page = cdb[2] & 0x3F;
    if ((cdb[2] >> 6) == 3) { // saved values: not kept
        ChgSetSense(Request, SENSE_ILLEGAL_REQUEST, 0x39, 0x00);
        return;
    }
    UCHAR data[64] = {};
    ULONG at = 4; // header; no block descriptors
    if (page == CHG_PAGE_ELEMENT_ADDRESS || page == 0x3F)
        at += ChgElementAddressPage(Changer, data + at);
    if (page == CHG_PAGE_CAPABILITIES || page == 0x3F)
        at += ChgCapabilitiesPage(Changer, data + at);
    if (at == 4) {
        ChgInvalidField(Request);
        return;
    }
    data[0] = (UCHAR)(at - 1);
    ULONG allocation = cdb[4];
    ChgReturnData(Request, data, allocation < at ? allocation : at);
}

// The sense of a move that a drive behind the changer refused.
void ChgDriveRefused(FabScsiRequest *Request, NTSTATUS Status, BOOLEAN Unloading)
{
    if (Status != STATUS_INVALID_DEVICE_STATE)
        ChgSetSense(Request, 0x04 /* hardware error */, 0x44, 0x00); // internal target failure
    else if (Unloading)
        ChgSetSense(Request, SENSE_ILLEGAL_REQUEST, 0x53, 0x02); // medium removal prevented
    else
        ChgSetSense(Request, SENSE_ILLEGAL_REQUEST, 0x3B, 0x0D); // the drive holds a cartridge already
}

/*++
Routine Description:
    The drives' part of a move: the drive behind the source element gives the cartridge up, then
    the drive behind the destination takes it. When the destination refuses, the source drive
    takes the cartridge back, so that a failed move changes nothing.
Return Value:
    FALSE with the request's sense set when a drive refused.
--*/
BOOLEAN ChgHandOver(ChangerDevice *Changer, const ChgElement *Source, const ChgElement *Target,
                    FabScsiRequest *Request)
{
    const ChangerDriveHooks *hooks = &Changer->Hooks;
    if (!hooks->Load || !hooks->Unload)
        return TRUE;
    USHORT cartridge = Source->Cartridge;
    BOOLEAN fromDrive = Source->Type == CHG_ELEMENT_DRIVE;
    if (fromDrive) {
        NTSTATUS status = hooks->Unload(hooks->Context, Source->Address - FAB_CHANGER_DRIVE_ADDRESS, cartridge);
        if (!NT_SUCCESS(status)) {
            ChgDriveRefused(Request, status, TRUE);
            return FALSE;
        }
    }
    if (Target->Type == CHG_ELEMENT_DRIVE) {
        NTSTATUS status = hooks->Load(hooks->Context, Target->Address - FAB_CHANGER_DRIVE_ADDRESS, cartridge);
        if (!NT_SUCCESS(status)) {
            // The source drive was just emptied by this move: it takes its cartridge back.
            if (fromDrive)
                (VOID) hooks->Load(hooks->Context, Source->Address - FAB_CHANGER_DRIVE_ADDRESS, cartridge);
            ChgDriveRefused(Request, status, FALSE);
            return FALSE;
        }
    }
    return TRUE;
}

/*++
Routine Description:
    MOVE MEDIUM: the cartridge in the source element goes to the destination element. The
    transport address may be 0 (the default transport) or the transport's own. A move to the
    element the cartridge is in succeeds and changes nothing. The transport itself is neither
    source nor destination.
--*/
void ChgMoveMedium(ChangerDevice *Changer, FabScsiRequest *Request)
{
    const UCHAR *cdb = Request->Cdb;
    ULONG transport = ChgGet16(cdb + 2);
    if (transport != 0 && transport != FAB_CHANGER_TRANSPORT_ADDRESS) {
        ChgInvalidAddress(Request);
        return;
    }
    if (cdb[10] & 0x01) { // INVERT: the transport cannot turn a cartridge over
        ChgInvalidField(Request);
        return;
    }
    ChgElement *source = ChgFindElement(Changer, ChgGet16(cdb + 4));
    ChgElement *target = ChgFindElement(Changer, ChgGet16(cdb + 6));
    if (!source || !target || source->Type == CHG_ELEMENT_TRANSPORT || target->Type == CHG_ELEMENT_TRANSPORT) {
        ChgInvalidAddress(Request);
        return;
    }
    if (!source->Cartridge) {
        ChgSetSense(Request, SENSE_ILLEGAL_REQUEST, 0x3B, 0x0E); // medium source element empty
        return;
    }
    if (source == target)
        return;
    if (target->Cartridge) {
        ChgSetSense(Request, SENSE_ILLEGAL_REQUEST, 0x3B, 0x0D); // medium destination element full
        return;
    }
    if (!ChgHandOver(Changer, source, target, Request))
        return;
    target->Cartridge = source->Cartridge;
    // The source address reported with a cartridge is the storage slot it came from last, so
    // that software can put it back; a cartridge moved from a drive to a drive keeps its slot.
    if (source->Type == CHG_ELEMENT_STORAGE) {
        target->Source = source->Address;
        target->fSourceValid = TRUE;
    } else {
        target->Source = source->Source;
        target->fSourceValid = source->fSourceValid;
    }
    source->Cartridge = 0;
    source->fSourceValid = FALSE;
    source->Source = 0;
    Changer->Moves++;
}

/*++
Routine Description:
    READ ELEMENT STATUS: from the first element at or above the starting address (of the type
    asked for), at most the number of elements asked for, grouped in one element status page per
    run of elements of one type. The header and each page say how many bytes the whole report
    has; the initiator gets as much of it as its allocation length and buffer take.
--*/
void ChgReadElementStatus(ChangerDevice *Changer, FabScsiRequest *Request)
{
    const UCHAR *cdb = Request->Cdb;
    UCHAR type = cdb[1] & 0x0F;
    BOOLEAN volTag = (cdb[1] & 0x10) != 0;
    ULONG start = ChgGet16(cdb + 2);
    ULONG count = ChgGet16(cdb + 4);
    ULONG allocation = ChgGet24(cdb + 7);
    if (type > CHG_ELEMENT_DRIVE) {
        ChgInvalidField(Request);
        return;
    }
    if (count == 0) {
        ChgInvalidField(Request);
        return;
    }
    ULONG first = Changer->ElementCount;
    for (ULONG i = 0; i < Changer->ElementCount; i++) {
        const ChgElement *e = &Changer->Elements[i];
        if (e->Address >= start && (type == CHG_ELEMENT_ALL || e->Type == type)) {
            first = i;
            break;
        }
    }
    if (first == Changer->ElementCount) {
        ChgInvalidAddress(Request);
        return;
    }

    // Worst case: one page per element type, every element with a volume tag.
    constexpr ULONG kDescriptor = 12;
    constexpr ULONG kTaggedDescriptor = 12 + 36;
    constexpr ULONG kMaxReport = 8 + 4 * 8 + CHG_MAX_ELEMENTS * kTaggedDescriptor;
    auto *data = (UCHAR *)ExAllocatePoolWithTag(NonPagedPool, kMaxReport, CHG_POOL_TAG);
    if (!data) {
        ChgSetSense(Request, 0x04 /* hardware error */, 0x55, 0x00);
        return;
    }
    RtlZeroMemory(data, kMaxReport);
    ULONG descriptorLength = volTag ? kTaggedDescriptor : kDescriptor;
    ULONG at = 8;
    ULONG reported = 0;
    UCHAR *page = nullptr;
    UCHAR pageType = 0xFF;
    ULONG firstAddress = Changer->Elements[first].Address;
    for (ULONG i = first; i < Changer->ElementCount && reported < count; i++) {
        const ChgElement *e = &Changer->Elements[i];
        if (type != CHG_ELEMENT_ALL && e->Type != type)
            continue;
        if (e->Type != pageType) {
            if (page)
                ChgPut24(page + 5, (ULONG)(data + at - page) - 8);
            page = data + at;
            pageType = e->Type;
            page[0] = e->Type;
            page[1] = volTag ? 0x80 : 0; // PVolTag
            ChgPut16(page + 2, descriptorLength);
            at += 8;
        }
        UCHAR *d = data + at;
        ChgPut16(d, e->Address);
        UCHAR flags = e->Cartridge ? 0x01 : 0; // Full
        if (e->Type == CHG_ELEMENT_PORTAL)
            flags |= 0x08 | 0x10 | 0x20; // Access, ExEnab, InEnab
        else if (e->Type == CHG_ELEMENT_DRIVE)
            flags |= 0x08; // Access
        d[2] = flags;
        if (e->fSourceValid) {
            d[9] = 0x80; // SValid
            ChgPut16(d + 10, e->Source);
        }
        if (volTag && e->Cartridge)
            ChgFormatVolumeTag(e->Cartridge, d + 12);
        at += descriptorLength;
        reported++;
    }
    if (page)
        ChgPut24(page + 5, (ULONG)(data + at - page) - 8);
    ChgPut16(data, firstAddress);
    ChgPut16(data + 2, reported);
    ChgPut24(data + 5, at - 8);
    ChgReturnData(Request, data, allocation < at ? allocation : at);
    ExFreePoolWithTag(data, CHG_POOL_TAG);
}

void ChgRequestSense(ChgNexus *Nexus, FabScsiRequest *Request)
{
    UCHAR data[18] = {};
    data[0] = 0x70;
    data[7] = 10;
    if (Nexus && Nexus->AttentionAsc) {
        data[2] = SENSE_UNIT_ATTENTION;
        data[12] = Nexus->AttentionAsc;
        data[13] = Nexus->AttentionAscq;
        Nexus->AttentionAsc = 0;
        Nexus->AttentionAscq = 0;
    }
    ULONG allocation = Request->Cdb[4];
    ChgReturnData(Request, data, allocation < sizeof(data) ? allocation : sizeof(data));
}

void ChgAttentionToAll(ChangerDevice *Changer, ULONG64 Except, BOOLEAN HasExcept, UCHAR Asc, UCHAR Ascq)
{
    for (ULONG i = 0; i < CHANGER_MAX_NEXUS; i++) {
        ChgNexus *n = &Changer->Nexus[i];
        if (!n->fUsed || (HasExcept && n->Nexus == Except))
            continue;
        n->AttentionAsc = Asc;
        n->AttentionAscq = Ascq;
    }
}

BOOLEAN ChgIsText(PCSTR Text, ULONG Min, ULONG Max)
{
    if (!Text)
        return Min == 0;
    ULONG n = 0;
    for (; Text[n]; n++) {
        if (Text[n] < ' ' || Text[n] > '~' || n >= Max)
            return FALSE;
    }
    return n >= Min;
}

} // namespace

NTSTATUS ChangerCreate(const ChangerConfig *Config, ChangerDevice **Changer)
{
    *Changer = nullptr;
    if (!ChgIsText(Config->SerialNumber, 1, CHANGER_SERIAL_LENGTH) || !ChgIsText(Config->VendorId, 0, 8) ||
        !ChgIsText(Config->ProductId, 0, 16) || !ChgIsText(Config->ProductRevision, 0, 4))
        return STATUS_INVALID_PARAMETER;
    if (Config->StorageSlots < 1 || Config->StorageSlots > FAB_CHANGER_MAX_SLOTS ||
        Config->Drives > FAB_CHANGER_MAX_DRIVES || Config->Portals > FAB_CHANGER_MAX_PORTALS ||
        Config->FullSlots > Config->StorageSlots)
        return STATUS_INVALID_PARAMETER;
    auto *changer = (ChangerDevice *)ExAllocatePoolWithTag(NonPagedPool, sizeof(ChangerDevice), CHG_POOL_TAG);
    if (!changer)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(changer, sizeof(*changer));
    ExInitializeFastMutex(&changer->Lock);
    for (ULONG n = 0; Config->SerialNumber[n]; n++)
        changer->Serial[changer->SerialLength++] = Config->SerialNumber[n];
    ChgPadCopy(changer->Vendor, 8, Config->VendorId);
    ChgPadCopy(changer->Product, 16, Config->ProductId);
    ChgPadCopy(changer->Revision, 4, Config->ProductRevision);
    if (Config->Wwnn) {
        RtlCopyMemory(changer->Wwnn, Config->Wwnn, 8);
        changer->HasWwnn = TRUE;
    }
    changer->Slots = Config->StorageSlots;
    changer->Drives = Config->Drives;
    changer->Portals = Config->Portals;
    if (Config->DriveHooks)
        changer->Hooks = *Config->DriveHooks;

    ULONG n = 0;
    changer->Elements[n].Address = FAB_CHANGER_TRANSPORT_ADDRESS;
    changer->Elements[n++].Type = CHG_ELEMENT_TRANSPORT;
    for (ULONG i = 0; i < Config->Portals; i++) {
        changer->Elements[n].Address = (USHORT)(FAB_CHANGER_PORTAL_ADDRESS + i);
        changer->Elements[n++].Type = CHG_ELEMENT_PORTAL;
    }
    for (ULONG i = 0; i < Config->Drives; i++) {
        changer->Elements[n].Address = (USHORT)(FAB_CHANGER_DRIVE_ADDRESS + i);
        changer->Elements[n++].Type = CHG_ELEMENT_DRIVE;
    }
    for (ULONG i = 0; i < Config->StorageSlots; i++) {
        changer->Elements[n].Address = (USHORT)(FAB_CHANGER_SLOT_ADDRESS + i);
        changer->Elements[n].Type = CHG_ELEMENT_STORAGE;
        changer->Elements[n++].Cartridge = i < Config->FullSlots ? (USHORT)(i + 1) : 0;
    }
    changer->ElementCount = n;
    *Changer = changer;
    return STATUS_SUCCESS;
}

VOID ChangerDelete(ChangerDevice *Changer)
{
    if (Changer)
        ExFreePoolWithTag(Changer, CHG_POOL_TAG);
}

VOID ChangerExecute(ChangerDevice *Changer, ULONG64 Nexus, FabScsiRequest *Request)
{
    Request->ScsiStatus = SCSISTAT_GOOD;
    Request->SenseLength = 0;
    Request->DataTransferred = 0;
    ExAcquireFastMutex(&Changer->Lock);
    ChgNexus *nexus = ChgFindNexus(Changer, Nexus, TRUE);
    UCHAR opcode = Request->Cdb[0];
    // Every command but INQUIRY and REQUEST SENSE first reports a pending unit attention.
    if (nexus && nexus->AttentionAsc && opcode != CHGOP_INQUIRY && opcode != CHGOP_REQUEST_SENSE) {
        ChgSetSense(Request, SENSE_UNIT_ATTENTION, nexus->AttentionAsc, nexus->AttentionAscq);
        nexus->AttentionAsc = 0;
        nexus->AttentionAscq = 0;
        ExReleaseFastMutex(&Changer->Lock);
        return;
    }
    switch (opcode) {
    case CHGOP_TEST_UNIT_READY:
    case CHGOP_INITIALIZE_ELEMENT_STATUS:
    case CHGOP_INITIALIZE_ELEMENT_STATUS_RANGE:
        // The inventory is always known: there is nothing to scan.
        break;
    case CHGOP_REQUEST_SENSE:
        ChgRequestSense(nexus, Request);
        break;
    case CHGOP_INQUIRY:
        ChgInquiry(Changer, Request);
        break;
    case CHGOP_MODE_SENSE6:
        ChgModeSense(Changer, Request);
        break;
    case CHGOP_PREVENT_ALLOW:
        if (Request->Cdb[4] & 0x01)
            Changer->PreventCount++;
        else if (Changer->PreventCount)
            Changer->PreventCount--;
        break;
    case CHGOP_MOVE_MEDIUM:
        ChgMoveMedium(Changer, Request);
        break;
    case CHGOP_READ_ELEMENT_STATUS:
        ChgReadElementStatus(Changer, Request);
        break;
    default:
        ChgSetSense(Request, SENSE_ILLEGAL_REQUEST, 0x20, 0x00); // invalid command operation code
        break;
    }
    ExReleaseFastMutex(&Changer->Lock);
}

VOID ChangerNexusLoss(ChangerDevice *Changer, ULONG64 Nexus)
{
    ExAcquireFastMutex(&Changer->Lock);
    ChgNexus *n = ChgFindNexus(Changer, Nexus, FALSE);
    if (n) {
        n->AttentionAsc = 0x29;
        n->AttentionAscq = 0x07; // I_T nexus loss occurred
    }
    ExReleaseFastMutex(&Changer->Lock);
}

VOID ChangerLogicalUnitReset(ChangerDevice *Changer, ULONG64 Nexus)
{
    ExAcquireFastMutex(&Changer->Lock);
    Changer->PreventCount = 0;
    ChgAttentionToAll(Changer, Nexus, TRUE, 0x29, 0x03); // bus device reset function occurred
    ExReleaseFastMutex(&Changer->Lock);
}

VOID ChangerPowerOnReset(ChangerDevice *Changer)
{
    ExAcquireFastMutex(&Changer->Lock);
    Changer->PreventCount = 0;
    ChgAttentionToAll(Changer, 0, FALSE, 0x29, 0x00);
    ExReleaseFastMutex(&Changer->Lock);
}

VOID ChangerQuery(ChangerDevice *Changer, FabChangerState *State)
{
    RtlZeroMemory(State, sizeof(*State));
    ExAcquireFastMutex(&Changer->Lock);
    State->StorageSlots = Changer->Slots;
    State->Drives = Changer->Drives;
    State->ImportExport = Changer->Portals;
    State->Moves = Changer->Moves;
    for (ULONG i = 0; i < Changer->ElementCount; i++) {
        const ChgElement *e = &Changer->Elements[i];
        switch (e->Type) {
        case CHG_ELEMENT_TRANSPORT:
            State->Transport = e->Cartridge;
            break;
        case CHG_ELEMENT_PORTAL:
            State->Portals[e->Address - FAB_CHANGER_PORTAL_ADDRESS] = e->Cartridge;
            break;
        case CHG_ELEMENT_DRIVE:
            State->DriveElements[e->Address - FAB_CHANGER_DRIVE_ADDRESS] = e->Cartridge;
            break;
        default:
            State->Slots[e->Address - FAB_CHANGER_SLOT_ADDRESS] = e->Cartridge;
            break;
        }
    }
    ExReleaseFastMutex(&Changer->Lock);
}
