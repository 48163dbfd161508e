// The SCSI fabric's bus driver: its device extensions, the world it keeps (drives, paths, fault
// rules) and the routines its source files share.
//
// Three kinds of device object: the bus FDO on the root-enumerated PDO, one PDO per path (the
// bottom of a class driver's stack), and the control device through which the harness builds the
// world. Each extension begins with FabCommon; every dispatch routine routes once on its flags.
#pragma once

#include "kernel.h"
#include "vyr/fabric.h"
#include "vyr/fabricctl.h"

// A device model behind paths: a tape drive or a medium changer (fabmodel.cpp knows which).
struct FabModel;

constexpr ULONG FabPoolTag(const char (&t)[5])
{
    return (ULONG)(UCHAR)t[0] | ((ULONG)(UCHAR)t[1] << 8) | ((ULONG)(UCHAR)t[2] << 16) | ((ULONG)(UCHAR)t[3] << 24);
}
constexpr ULONG FAB_TAG_DRIVE = FabPoolTag("FABd");
constexpr ULONG FAB_TAG_PATH = FabPoolTag("FABp");
constexpr ULONG FAB_TAG_ID = FabPoolTag("FABi");        // ids and relations handed to the PnP manager
constexpr ULONG FAB_TAG_SCRATCH = FabPoolTag("FABs");   // a command's temporary records

#define FAB_CONTROL_DEVICE_NAME L"\\Device\\VyrFabric"
#define FAB_CONTROL_LINK_NAME L"\\??\\VyrFabricCtl"

enum FabPnpState : ULONG {
    FAB_NOT_STARTED = 0,
    FAB_STARTED,
    FAB_STOP_PENDING,
    FAB_STOPPED,
    FAB_REMOVE_PENDING,
    FAB_SURPRISE_REMOVED,
    FAB_DELETED,
};

struct FabBus;

// First fields of every extension of this driver.
struct FabCommon {
    PDEVICE_OBJECT Self;
    BOOLEAN fFdo;     // the bus FDO
    BOOLEAN fControl; // the control device; neither flag: a path PDO
    // Set under GateLock when the bus goes away: the device takes no request from then on. The
    // lock lives in the device's own extension, which outlives the bus while anyone references
    // the device (an open handle on the control device, the PnP manager's reference on a PDO).
    BOOLEAN fGone;
    FabPnpState ulState;
    FabPnpState ulPreviousState;
    KSPIN_LOCK GateLock;
    FabBus *pBus;
};

// One fault rule as the harness gave it, and how many commands it has counted.
struct FabRule {
    FabFaultRequest Request;
    ULONG cMatched;
    ULONG ulRandomState; // FAB_FORM_RANDOM: the rule's own generator
};

struct FabRuleList {
    ULONG Count;
    FabRule Rules[FAB_MAX_RULES];
};

struct FabDrive {
    ULONG Index;
    FabModel *pModel;
    UCHAR Kind; // FabDeviceKind; a changer's Config holds its identity only
    BOOLEAN fLinked; // a tape drive behind a changer's drive element
    FabRuleList Rules;
    ULONG cCommands;
    ULONG cFaults;
    FabDriveConfig Config;
};

struct FabPath {
    ULONG Index;
    ULONG DriveIndex;
    UCHAR PortNumber;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    BOOLEAN fPulled;
    PDEVICE_OBJECT pPdo; // the PDO that stands for the path now, or NULL
    ULONG64 Nexus;
    CHAR szWwpn[17];
    FabRuleList Rules;
    ULONG cCommands;
    ULONG cFaults;
};

// A command waiting on a FAB_FAULT_HOLD rule. Lives on the waiting thread's stack; linked in
// FabBus::HeldList under the topology mutex until it is let go.
struct FabHold {
    LIST_ENTRY Link;
    ULONG PathIndex;
    ULONG DriveIndex;
    KEVENT Released;
};

struct FabBus : FabCommon {
    PDEVICE_OBJECT pPhysicalDevice;
    PDEVICE_OBJECT pLowerDevice;
    PDEVICE_OBJECT pControlDevice;
    // Requests inside the driver's world (control requests, path requests) plus one for the bus
    // itself; the bus's REMOVE drops its own and waits for the rest before freeing the world.
    volatile LONG lActive;
    KEVENT IdleEvent;
    // Guards everything below. Requests that hold it run at PASSIVE_LEVEL or APC_LEVEL.
    FAST_MUTEX TopologyMutex;
    BOOLEAN fRemoving;
    ULONG cDrives;
    ULONG cPaths;
    volatile LONG lNextPdoNumber;
    LIST_ENTRY PdoList; // every PDO not yet deleted, a pulled path's former PDO included
    FabDrive *Drives[FAB_MAX_DRIVES];
    FabPath *Paths[FAB_MAX_PATHS];
    // Commands held by FAB_FAULT_HOLD rules, and an event set whenever one more is held (waiters
    // of IOCTL_VYRFAB_WAIT_HELD clear it under the mutex before they wait).
    LIST_ENTRY HeldList;
    ULONG cHeld;
    KEVENT HoldArrived;
};

// An entry of FabBus::PdoList. (CONTAINING_RECORD needs a standard-layout type, which an
// extension with a base is not.)
struct FabPdoLink {
    LIST_ENTRY Entry;
    struct FabPdo *pPdo;
};

struct FabPdo : FabCommon {
    FabPdoLink Link;
    FabPath *pPath;
    ULONG ulNumber;
    // Reported present in a bus relations reply at least once: the PnP manager knows the PDO.
    BOOLEAN fReported;
    // The path was left out of a bus relations reply while this PDO stood for it: its REMOVE
    // deletes it.
    BOOLEAN fReportedMissing;
};

struct FabControl : FabCommon {
};

inline FabCommon *FabCommonOf(PDEVICE_OBJECT device)
{
    return (FabCommon *)device->DeviceExtension;
}

inline FabPdo *FabPdoOfEntry(PLIST_ENTRY Entry)
{
    return CONTAINING_RECORD(Entry, FabPdoLink, Entry)->pPdo;
}

inline void FabSetState(FabCommon *common, FabPnpState state)
{
    common->ulPreviousState = common->ulState;
    common->ulState = state;
}

// fabmain.cpp
NTSTATUS FabCompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
// Lets a request into the world of the device's bus, or refuses it (FALSE) once the bus is going
// away. Every successful FabEnter is paired with FabLeave.
BOOLEAN FabEnter(FabCommon *Common);
void FabLeave(FabBus *Bus);

// fabpnp.cpp
DRIVER_ADD_DEVICE FabAddDevice;
DRIVER_DISPATCH FabDispatchPnp;
DRIVER_DISPATCH FabDispatchPower;
// Creates the PDO of a path (not yet reported); the caller links it under the topology mutex.
NTSTATUS FabCreatePathPdo(FabBus *Bus, FabPath *Path, PDEVICE_OBJECT *Pdo);
// Deletes a PDO made by FabCreatePathPdo that was never linked.
void FabDeleteUnlinkedPdo(PDEVICE_OBJECT Pdo);

// fabctl.cpp
NTSTATUS FabControlRequest(FabBus *Bus, PIRP Irp);

// fabpath.cpp
NTSTATUS FabPathInternalControl(FabPdo *Pdo, PIRP Irp);
// Lets held commands go: those through path Index, to drive Index, or all (FabFaultScope). Called
// under the topology mutex.
void FabReleaseHeldLocked(FabBus *Bus, UCHAR Scope, ULONG Index);

// fabrules.cpp: the fault rules (pure logic, called under the topology mutex).
NTSTATUS FabValidateFault(const FabFaultRequest *Fault);
NTSTATUS FabRuleAdd(FabRuleList *List, const FabFaultRequest *Fault);
// Counts a command with this operation code on every rule of the list that matches it, stopping
// at the first rule that fires; copies that rule to *Fired (a one-shot rule leaves the list).
BOOLEAN FabRuleMatch(FabRuleList *List, UCHAR Opcode, FabFaultRequest *Fired);
// Fills a request's sense with fixed-format sense data and CHECK CONDITION status.
void FabSetSense(FabScsiRequest *Request, UCHAR SenseKey, UCHAR SenseFlags, UCHAR Asc, UCHAR Ascq, BOOLEAN InfoValid,
                 ULONG Information);

// fabmodel.cpp: the only file that knows the drive model's interface.
NTSTATUS FabModelValidateConfig(const FabDriveConfig *Config);
NTSTATUS FabModelCreate(const FabDriveConfig *Config, FabModel **Model);
void FabModelDelete(FabModel *Model);
void FabModelExecute(FabModel *Model, ULONG64 Nexus, PCSTR InitiatorWwpn, FabScsiRequest *Request);
// The I_T nexus of a path was lost (its cable pulled).
void FabModelNexusLoss(FabModel *Model, ULONG64 Nexus);
void FabModelResetLun(FabModel *Model, ULONG64 Nexus);
NTSTATUS FabModelControl(FabModel *Model, ULONG Operation, ULONG Value);
void FabModelQuery(FabModel *Model, FabDriveState *State);
NTSTATUS FabModelValidateChanger(const FabChangerConfig *Config);
NTSTATUS FabModelCreateChanger(const FabChangerConfig *Config, FabModel **Model);
void FabModelQueryChanger(FabModel *Model, FabChangerState *State);
// Puts the tape drive Tape behind drive element Element of the changer. Called before the changer
// joins the world, so that no command runs on it yet.
void FabModelLinkDrive(FabModel *Changer, ULONG Element, FabModel *Tape);
