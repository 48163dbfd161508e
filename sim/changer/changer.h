// The medium changer model: a SCSI medium changer logical unit that the fabric's paths lead to.
// Storage slots, data transfer elements, import/export elements and one transport, moved between
// by MOVE MEDIUM and reported by READ ELEMENT STATUS; each I_T nexus hears of power-on, resets
// and its own loss through unit attentions, as a real library's ports do.
//
// Written in the driver dialect so that the fabric image carries it on both faces. Every routine
// may be called from any number of threads at PASSIVE_LEVEL; the model serializes its commands.
#pragma once

#include "kernel.h"
#include "vyr/fabric.h"
#include "vyr/fabricctl.h"

struct ChangerDevice;

constexpr ULONG CHANGER_SERIAL_LENGTH = FAB_SERIAL_CHARS;
constexpr ULONG CHANGER_MAX_NEXUS = 32;
constexpr ULONG CHANGER_VOLUME_TAG_LENGTH = 32;

// The drives behind the data transfer elements, as the changer's picker reaches them. The changer
// calls these under its own lock, so they must not call back into the changer. Element counts the
// data transfer elements from 0.
struct ChangerDriveHooks {
    PVOID Context;
    // Cartridge has been carried to drive element Element: the drive takes it. A failure leaves
    // the cartridge where it was; STATUS_INVALID_DEVICE_STATE means the drive holds a cartridge the
    // changer does not know of.
    NTSTATUS (*Load)(PVOID Context, ULONG Element, USHORT Cartridge);
    // Cartridge is to leave drive element Element: the drive gives it up. A failure leaves it in
    // the drive; STATUS_INVALID_DEVICE_STATE means an initiator prevents medium removal.
    NTSTATUS (*Unload)(PVOID Context, ULONG Element, USHORT Cartridge);
};

struct ChangerConfig {
    PCSTR SerialNumber;   // 1 to 32 printable characters
    PCSTR VendorId;       // up to 8
    PCSTR ProductId;      // up to 16
    PCSTR ProductRevision; // up to 4
    const UCHAR *Wwnn;    // 8 bytes, or null: no NAA designator
    ULONG StorageSlots;   // 1 to FAB_CHANGER_MAX_SLOTS
    ULONG Drives;         // 0 to FAB_CHANGER_MAX_DRIVES
    ULONG Portals;        // 0 to FAB_CHANGER_MAX_PORTALS
    ULONG FullSlots;      // 0 to StorageSlots
    // Drives behind the data transfer elements, copied; NULL: moves touch no drive.
    const ChangerDriveHooks *DriveHooks;
};

// SCSI operation codes of a medium changer.
enum : UCHAR {
    CHGOP_TEST_UNIT_READY = 0x00,
    CHGOP_REQUEST_SENSE = 0x03,
    CHGOP_INITIALIZE_ELEMENT_STATUS = 0x07,
    CHGOP_INQUIRY = 0x12,
    CHGOP_MODE_SENSE6 = 0x1A,
    CHGOP_PREVENT_ALLOW = 0x1E,
    CHGOP_INITIALIZE_ELEMENT_STATUS_RANGE = 0x37,
    CHGOP_MOVE_MEDIUM = 0xA5,
    CHGOP_READ_ELEMENT_STATUS = 0xB8,
};

// Element type codes of READ ELEMENT STATUS.
enum : UCHAR {
    CHG_ELEMENT_ALL = 0,
    CHG_ELEMENT_TRANSPORT = 1,
    CHG_ELEMENT_STORAGE = 2,
    CHG_ELEMENT_PORTAL = 3,
    CHG_ELEMENT_DRIVE = 4,
};

// Mode pages of a medium changer.
constexpr UCHAR CHG_PAGE_ELEMENT_ADDRESS = 0x1D;
constexpr UCHAR CHG_PAGE_CAPABILITIES = 0x1F;

NTSTATUS ChangerCreate(const ChangerConfig *Config, ChangerDevice **Changer);
VOID ChangerDelete(ChangerDevice *Changer);
// Runs one command from the initiator of Nexus. Fills ScsiStatus, the sense (CHECK CONDITION:
// fixed format, autosense) and DataTransferred; the request was checked by the fabric.
VOID ChangerExecute(ChangerDevice *Changer, ULONG64 Nexus, FabScsiRequest *Request);
// The nexus is gone (its cable pulled): when it comes back, its first command hears of it.
VOID ChangerNexusLoss(ChangerDevice *Changer, ULONG64 Nexus);
// LOGICAL UNIT RESET through Nexus: every other nexus hears of it.
VOID ChangerLogicalUnitReset(ChangerDevice *Changer, ULONG64 Nexus);
// Power cycle: cartridges stay where they are, every nexus hears of it.
VOID ChangerPowerOnReset(ChangerDevice *Changer);
VOID ChangerQuery(ChangerDevice *Changer, FabChangerState *State);
