// The fabric's side of the tape drive model: the only file that knows the model's interface, so
// that the harness's records (fabricctl.h) stay independent of it.
#include "fabdrv.h"

#include "changer.h"
#include "tapedrive.h"

// The fabric's handle on a device model: one of the two kinds of logical unit it knows.
struct FabModel {
    FabDeviceKind Kind;
    TapeDrive *pTape;
    ChangerDevice *pChanger;
    // A changer: the tape drives behind its drive elements (NULL: none), and the record of each
    // cartridge (number n at n - 1) that holds its medium while it is in no drive.
    FabModel *Linked[FAB_CHANGER_MAX_DRIVES];
    TapeCartridge *Cartridges[FAB_CHANGER_MAX_SLOTS];
    ULONG cCartridges;
};

namespace {

constexpr ULONG FAB_TAG_MODEL = FabPoolTag("FABm");

NTSTATUS FabAllocateModelp(FabDeviceKind Kind, FabModel **Model)
{
    *Model = (FabModel *)ExAllocatePoolWithTag(NonPagedPool, sizeof(FabModel), FAB_TAG_MODEL);
    if (!*Model)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(*Model, sizeof(FabModel));
    (*Model)->Kind = Kind;
    return STATUS_SUCCESS;
}

constexpr CHAR FAB_VENDOR_ID[] = "VYR";

// A field of the harness's record holds a string of Min to Max printable ASCII characters.
BOOLEAN FabIsTextp(const CHAR *Field, ULONG FieldSize, ULONG Min, ULONG Max)
{
    ULONG n = 0;
    while (n < FieldSize && Field[n]) {
        if (Field[n] < ' ' || Field[n] > '~')
            return FALSE;
        n++;
    }
    return n < FieldSize && n >= Min && n <= Max;
}

void FabHex64p(ULONG64 Value, CHAR (&Text)[17])
{
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 15; i >= 0; i--) {
        Text[i] = digits[Value & 15];
        Value >>= 4;
    }
    Text[16] = 0;
}

void FabFreeCartridgesp(FabModel *Model)
{
    for (ULONG i = 0; i < Model->cCartridges; i++)
        TapeCartridgeDelete(Model->Cartridges[i]);
    Model->cCartridges = 0;
}

// The changer's picker at a drive element: the drive behind it takes or gives up the cartridge's
// medium. An element without a drive behind it just holds the cartridge.
NTSTATUS FabChangerPickerp(PVOID Context, ULONG Element, USHORT Cartridge, BOOLEAN Load)
{
    auto *changer = (FabModel *)Context;
    FabModel *tape = Element < FAB_CHANGER_MAX_DRIVES ? changer->Linked[Element] : nullptr;
    if (!tape)
        return STATUS_SUCCESS;
    if (Cartridge == 0 || Cartridge > changer->cCartridges)
        return STATUS_INVALID_PARAMETER;
    TapeCartridge *cartridge = changer->Cartridges[Cartridge - 1];
    return Load ? TapeDriveInsertCartridge(tape->pTape, cartridge) : TapeDriveRemoveCartridge(tape->pTape, cartridge);
}

NTSTATUS FabChangerLoadp(PVOID Context, ULONG Element, USHORT Cartridge)
{
    return FabChangerPickerp(Context, Element, Cartridge, TRUE);
}

NTSTATUS FabChangerUnloadp(PVOID Context, ULONG Element, USHORT Cartridge)
{
    return FabChangerPickerp(Context, Element, Cartridge, FALSE);
}

} // namespace

/*++
Routine Description:
    Checks the harness's drive record: strings terminated within their fields and printable,
    flags 0 or 1, reserved fields zero, sizes the drive can have. The model checks its own rules
    again when it is created.
--*/
NTSTATUS FabModelValidateConfig(const FabDriveConfig *Config)
{
    if (!FabIsTextp(Config->szSerialNumber, sizeof(Config->szSerialNumber), 1, TAPE_SERIAL_LENGTH) ||
        !FabIsTextp(Config->szProduct, sizeof(Config->szProduct), 1, FAB_PRODUCT_CHARS) ||
        !FabIsTextp(Config->szRevision, sizeof(Config->szRevision), 0, FAB_REVISION_CHARS))
        return STATUS_INVALID_PARAMETER;
    if (Config->fLoaded > 1 || Config->fWriteProtected > 1 || Config->fKeyManaged > 1)
        return STATUS_INVALID_PARAMETER;
    if (Config->Reserved[0] || Config->Reserved[1] || Config->Reserved2)
        return STATUS_INVALID_PARAMETER;
    if (Config->BlockSize > TAPE_MAX_BLOCK_LIMIT || Config->MaxBlockLength > TAPE_MAX_BLOCK_LIMIT)
        return STATUS_INVALID_PARAMETER;
    ULONG64 capacity = Config->CapacityBytes ? Config->CapacityBytes : FAB_DEFAULT_CAPACITY;
    if (Config->EarlyWarningBytes > capacity)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

NTSTATUS FabModelCreate(const FabDriveConfig *Config, FabModel **Model)
{
    FabModel *model;
    NTSTATUS status = FabAllocateModelp(FAB_DEVICE_TAPE, &model);
    if (!NT_SUCCESS(status))
        return status;
    CHAR wwnn[17];
    FabHex64p(Config->Wwnn, wwnn);
    TapeDriveConfig config;
    RtlZeroMemory(&config, sizeof(config));
    config.SerialNumber = Config->szSerialNumber;
    config.Wwnn = Config->Wwnn ? wwnn : nullptr;
    config.VendorId = FAB_VENDOR_ID;
    config.ProductId = Config->szProduct;
    config.ProductRevision = Config->szRevision;
    config.CapacityBytes = Config->CapacityBytes ? Config->CapacityBytes : FAB_DEFAULT_CAPACITY;
    config.EarlyWarningBytes = Config->EarlyWarningBytes;
    config.BlockSize = Config->BlockSize;
    config.MaxBlockLength = Config->MaxBlockLength;
    config.CartridgeLoaded = Config->fLoaded;
    config.WriteProtected = Config->fWriteProtected;
    config.KeyManaged = Config->fKeyManaged;
    status = TapeDriveCreate(&config, &model->pTape); // the model copies what it keeps
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(model, FAB_TAG_MODEL);
        return status;
    }
    *Model = model;
    return STATUS_SUCCESS;
}

/*++
Routine Description:
    Checks the harness's changer record as FabModelValidateConfig checks a drive's; element
    counts within the changer's limits, no more full slots than slots.
--*/
NTSTATUS FabModelValidateChanger(const FabChangerConfig *Config)
{
    if (!FabIsTextp(Config->szSerialNumber, sizeof(Config->szSerialNumber), 1, CHANGER_SERIAL_LENGTH) ||
        !FabIsTextp(Config->szProduct, sizeof(Config->szProduct), 1, FAB_PRODUCT_CHARS) ||
        !FabIsTextp(Config->szRevision, sizeof(Config->szRevision), 0, FAB_REVISION_CHARS))
        return STATUS_INVALID_PARAMETER;
    if (Config->Reserved || Config->Reserved2)
        return STATUS_INVALID_PARAMETER;
    // Which drives exist is the world's business (fabctl.cpp); here: no drive named twice, and
    // the entries past the linked ones zero.
    if (Config->LinkedDrives > Config->Drives)
        return STATUS_INVALID_PARAMETER;
    for (ULONG i = 0; i < FAB_CHANGER_MAX_DRIVES; i++) {
        if (i >= Config->LinkedDrives) {
            if (Config->DriveIndex[i])
                return STATUS_INVALID_PARAMETER;
            continue;
        }
        for (ULONG j = 0; j < i; j++)
            if (Config->DriveIndex[j] == Config->DriveIndex[i])
                return STATUS_INVALID_PARAMETER;
    }
    if (Config->StorageSlots < 1 || Config->StorageSlots > FAB_CHANGER_MAX_SLOTS ||
        Config->Drives > FAB_CHANGER_MAX_DRIVES || Config->ImportExport > FAB_CHANGER_MAX_PORTALS ||
        Config->FullSlots > Config->StorageSlots)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

NTSTATUS FabModelCreateChanger(const FabChangerConfig *Config, FabModel **Model)
{
    FabModel *model;
    NTSTATUS status = FabAllocateModelp(FAB_DEVICE_CHANGER, &model);
    if (!NT_SUCCESS(status))
        return status;
    UCHAR wwnn[8];
    for (ULONG i = 0; i < 8; i++)
        wwnn[i] = (UCHAR)(Config->Wwnn >> (56 - 8 * i));
    ChangerConfig config;
    RtlZeroMemory(&config, sizeof(config));
    config.SerialNumber = Config->szSerialNumber;
    config.VendorId = FAB_VENDOR_ID;
    config.ProductId = Config->szProduct;
    config.ProductRevision = Config->szRevision;
    config.Wwnn = Config->Wwnn ? wwnn : nullptr;
    config.StorageSlots = Config->StorageSlots;
    config.Drives = Config->Drives;
    config.Portals = Config->ImportExport;
    config.FullSlots = Config->FullSlots;
    // Every cartridge has its medium from power-on: blank until a drive writes on it.
    for (; model->cCartridges < Config->FullSlots; model->cCartridges++) {
        status = TapeCartridgeCreate(&model->Cartridges[model->cCartridges]);
        if (!NT_SUCCESS(status))
            goto FreeCartridges;
    }
    ChangerDriveHooks hooks;
    hooks.Context = model;
    hooks.Load = FabChangerLoadp;
    hooks.Unload = FabChangerUnloadp;
    config.DriveHooks = &hooks;
    status = ChangerCreate(&config, &model->pChanger);
    if (!NT_SUCCESS(status))
        goto FreeCartridges;
    *Model = model;
    return STATUS_SUCCESS;

FreeCartridges:
    FabFreeCartridgesp(model);
    ExFreePoolWithTag(model, FAB_TAG_MODEL);
    return status;
}

void FabModelLinkDrive(FabModel *Changer, ULONG Element, FabModel *Tape)
{
    Changer->Linked[Element] = Tape;
}

void FabModelDelete(FabModel *Model)
{
    if (Model->Kind == FAB_DEVICE_CHANGER) {
        ChangerDelete(Model->pChanger);
        FabFreeCartridgesp(Model);
    } else
        TapeDriveDelete(Model->pTape);
    ExFreePoolWithTag(Model, FAB_TAG_MODEL);
}

void FabModelExecute(FabModel *Model, ULONG64 Nexus, PCSTR InitiatorWwpn, FabScsiRequest *Request)
{
    if (Model->Kind == FAB_DEVICE_CHANGER)
        ChangerExecute(Model->pChanger, Nexus, Request);
    else
        TapeDriveExecute(Model->pTape, Nexus, InitiatorWwpn, Request);
}

void FabModelNexusLoss(FabModel *Model, ULONG64 Nexus)
{
    if (Model->Kind == FAB_DEVICE_CHANGER)
        ChangerNexusLoss(Model->pChanger, Nexus);
    else
        TapeDriveNexusLoss(Model->pTape, Nexus);
}

void FabModelResetLun(FabModel *Model, ULONG64 Nexus)
{
    if (Model->Kind == FAB_DEVICE_CHANGER)
        ChangerLogicalUnitReset(Model->pChanger, Nexus);
    else
        TapeDriveLogicalUnitReset(Model->pTape, Nexus);
}

void FabModelQueryChanger(FabModel *Model, FabChangerState *State)
{
    ChangerQuery(Model->pChanger, State);
}

NTSTATUS FabModelControl(FabModel *Model, ULONG Operation, ULONG Value)
{
    if (Model->Kind == FAB_DEVICE_CHANGER) {
        // A changer has no cartridge of its own to load, protect or encrypt.
        if (Operation != FAB_DRIVE_RESET)
            return STATUS_INVALID_DEVICE_REQUEST;
        ChangerPowerOnReset(Model->pChanger);
        return STATUS_SUCCESS;
    }
    TapeDrive *tape = Model->pTape;
    switch (Operation) {
    case FAB_DRIVE_LOAD:
        return TapeDriveLoadCartridge(tape, Value != 0);
    case FAB_DRIVE_UNLOAD:
        return TapeDriveEjectCartridge(tape);
    case FAB_DRIVE_RESET:
        TapeDrivePowerOnReset(tape);
        return STATUS_SUCCESS;
    case FAB_DRIVE_WRITE_PROTECT:
        TapeDriveSetWriteProtect(tape, Value != 0);
        return STATUS_SUCCESS;
    case FAB_DRIVE_KEY_MANAGED:
        TapeDriveSetKeyManaged(tape, Value != 0);
        return STATUS_SUCCESS;
    case FAB_DRIVE_KEY_PAGE_LENGTH:
        return TapeDriveSetKeyPageLength(tape, Value);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

void FabModelQuery(FabModel *Model, FabDriveState *State)
{
    TapeMediumInfo medium;
    TapeReservationState reservations;
    TapeEncryptionState encryption;
    TapeDriveQueryMedium(Model->pTape, &medium);
    TapeDriveQueryReservations(Model->pTape, &reservations);
    TapeDriveQueryEncryption(Model->pTape, &encryption);
    RtlZeroMemory(State, sizeof(*State));
    switch (medium.State) {
    case TAPE_CARTRIDGE_UNLOADED:
        State->Cartridge = FAB_CARTRIDGE_UNLOADED;
        break;
    case TAPE_CARTRIDGE_LOADED:
        State->Cartridge = FAB_CARTRIDGE_LOADED;
        break;
    default:
        State->Cartridge = FAB_CARTRIDGE_NONE;
        break;
    }
    State->fWriteProtected = medium.WriteProtected != 0;
    State->fEndOfMedium = medium.EndOfMedium != 0;
    State->fScsi2Reserved = reservations.Scsi2Reserved != 0;
    State->fPrReserved = reservations.PrReserved != 0;
    State->fKeyManaged = encryption.KeyManaged != 0;
    State->fKeyLoaded = encryption.KeyLoaded != 0;
    State->BlockSize = medium.BlockSize;
    State->Registrations = reservations.Registrations;
    State->Position = medium.Position;
    State->Blocks = medium.Blocks;
    State->Filemarks = medium.Filemarks;
    State->DataBytes = medium.DataBytes;
    State->Scsi2Holder = reservations.Scsi2Reserved ? reservations.Scsi2Holder : 0;
}
