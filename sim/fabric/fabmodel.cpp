// The fabric's side of the tape drive model: the only file that knows the model's interface, so
// that the harness's records (fabricctl.h) stay independent of it.
#include "fabdrv.h"

#include "tapedrive.h"

namespace {

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

NTSTATUS FabModelCreate(const FabDriveConfig *Config, TapeDrive **Model)
{
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
    return TapeDriveCreate(&config, Model); // the model copies what it keeps
}

void FabModelDelete(TapeDrive *Model)
{
    TapeDriveDelete(Model);
}

void FabModelExecute(TapeDrive *Model, ULONG64 Nexus, PCSTR InitiatorWwpn, FabScsiRequest *Request)
{
    TapeDriveExecute(Model, Nexus, InitiatorWwpn, Request);
}

void FabModelNexusLoss(TapeDrive *Model, ULONG64 Nexus)
{
    TapeDriveNexusLoss(Model, Nexus);
}

void FabModelResetLun(TapeDrive *Model, ULONG64 Nexus)
{
    TapeDriveLogicalUnitReset(Model, Nexus);
}

NTSTATUS FabModelControl(TapeDrive *Model, ULONG Operation, ULONG Value)
{
    switch (Operation) {
    case FAB_DRIVE_LOAD:
        return TapeDriveLoadCartridge(Model, Value != 0);
    case FAB_DRIVE_UNLOAD:
        return TapeDriveEjectCartridge(Model);
    case FAB_DRIVE_RESET:
        TapeDrivePowerOnReset(Model);
        return STATUS_SUCCESS;
    case FAB_DRIVE_WRITE_PROTECT:
        TapeDriveSetWriteProtect(Model, Value != 0);
        return STATUS_SUCCESS;
    case FAB_DRIVE_KEY_MANAGED:
        TapeDriveSetKeyManaged(Model, Value != 0);
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

void FabModelQuery(TapeDrive *Model, FabDriveState *State)
{
    TapeMediumInfo medium;
    TapeReservationState reservations;
    TapeEncryptionState encryption;
    TapeDriveQueryMedium(Model, &medium);
    TapeDriveQueryReservations(Model, &reservations);
    TapeDriveQueryEncryption(Model, &encryption);
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
