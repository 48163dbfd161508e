// The path table: one LogicalDeviceEntry per drive, and under it the paths its filters
// registered. Registration groups paths by serial number; state notices move the primary flag
// and remove paths; opens are balanced over the host adapter ports; every request attempt picks
// its path here.
//
// Locking: each logical device's spin lock guards its path list, its path flags and its open
// count; the port lock is taken inside it when a path is counted or uncounted, never the other
// way round. The logical device list itself changes only at passive level, in registration,
// state notices and bus removal, which the PnP manager and the path filters serialise.
#include "bus.h"

namespace {

// A new-primary event prepared under a lock and written after it is released.
struct PrimaryEvent {
    BOOLEAN fPrepared;
    ULONG ulTag;                 // BUSa: the path started; BUSb: it took over from another
    PDEVICE_OBJECT pPathDevice;
    CHAR szSerial[33];
};

void BusPreparePrimaryEvent(PrimaryEvent *Event, LogicalDeviceExtension *Ldx, PathEntry *Path, ULONG Tag)
{
    Event->fPrepared = TRUE;
    Event->ulTag = Tag;
    Event->pPathDevice = Path->pPathDevice;
    RtlCopyMemory(Event->szSerial, Ldx->szSerialNumber, sizeof(Event->szSerial));
    Event->szSerial[32] = 0;
}

// Writes "%2 is new primary path for device with serial number %3". Tag 0: the serial is widened
// straight from the prepared copy; else it goes through a pool copy of that tag, and without
// pool the event is skipped.
void BusWritePrimaryEvent(BusExtension *Bus, PDEVICE_OBJECT LogicalDevice, const PrimaryEvent *Event)
{
    if (!Event->fPrepared || !Bus->fFailoverEventsEnabled)
        return;
    const CHAR *serial = Event->szSerial;
    CHAR *copy = nullptr;
    if (Event->ulTag) {
        copy = (CHAR *)ExAllocatePoolWithTag(NonPagedPool, sizeof(Event->szSerial), Event->ulTag);
        if (!copy)
            return;
        RtlCopyMemory(copy, Event->szSerial, sizeof(Event->szSerial));
        serial = copy;
    }
    WCHAR path[24];
    WCHAR wide[33];
    _snwprintf(path, RTL_NUMBER_OF(path), L"0x%p", (PVOID)Event->pPathDevice);
    path[RTL_NUMBER_OF(path) - 1] = 0;
    ULONG i = 0;
    for (; i < 32 && serial[i]; i++)
        wide[i] = (WCHAR)(UCHAR)serial[i];
    wide[i] = 0;
    LogBusEvent(LogicalDevice, nullptr, VYR_EVT_NEW_PRIMARY_PATH, path, wide);
    if (copy)
        ExFreePoolWithTag(copy, Event->ulTag);
}

PathEntry *BusFindPathLocked(LogicalDeviceEntry *Entry, PDEVICE_OBJECT PathDevice)
{
    for (PathEntry *path = Entry->pPaths; path; path = path->pNext)
        if (path->pPathDevice == PathDevice)
            return path;
    return nullptr;
}

PathEntry *BusFirstAvailableLocked(LogicalDeviceEntry *Entry)
{
    for (PathEntry *path = Entry->pPaths; path; path = path->pNext)
        if (path->fAvailable)
            return path;
    return nullptr;
}

PathEntry *BusPrimaryLocked(LogicalDeviceEntry *Entry)
{
    for (PathEntry *path = Entry->pPaths; path; path = path->pNext)
        if (path->fPrimary)
            return path;
    return nullptr;
}

// Under the port lock: one path less on its port; the port goes when none is left.
void BusUncountPath(BusExtension *Bus, PathEntry *Path)
{
    PortEntry *port = Path->pPort;
    if (!port)
        return; // never counted: its port record could not be allocated
    Path->pPort = nullptr;
    KeAcquireSpinLockAtDpcLevel(&Bus->PortLock);
    if (--port->ulPathCount == 0) {
        for (PortEntry **link = &Bus->pPorts; *link; link = &(*link)->pNext) {
            if (*link == port) {
                *link = port->pNext;
                break;
            }
        }
        ExFreePoolWithTag(port, VYR_TAG_PORT_ENTRY);
    }
    KeReleaseSpinLockFromDpcLevel(&Bus->PortLock);
}

// Under the port lock: counts Path on its port, using Spare when the port is new. Returns FALSE
// when the port is new and there is no spare record.
BOOLEAN BusCountPath(BusExtension *Bus, PathEntry *Path, PortEntry **Spare)
{
    KeAcquireSpinLockAtDpcLevel(&Bus->PortLock);
    PortEntry **link = &Bus->pPorts;
    PortEntry *port = nullptr;
    for (; *link; link = &(*link)->pNext) {
        if ((*link)->ulPortNumber == Path->Address.PortNumber) {
            port = *link;
            break;
        }
    }
    if (port) {
        port->ulPathCount++;
    } else if (*Spare) {
        port = *Spare;
        *Spare = nullptr;
        port->ulPortNumber = Path->Address.PortNumber;
        port->ulPathCount = 1;
        *link = port; // the end of the list: ports stay in creation order
    }
    Path->pPort = port;
    KeReleaseSpinLockFromDpcLevel(&Bus->PortLock);
    return port != nullptr;
}

LogicalDeviceExtension *BusFindBySerial(BusExtension *Bus, const CHAR *Serial)
{
    // The serial of a logical device never changes, so the compare needs no lock.
    for (LogicalDeviceEntry *entry = Bus->pLogicalDevices; entry; entry = entry->pNext) {
        LogicalDeviceExtension *ldx = BusLogical(entry->pDevice);
        if (RtlEqualMemory(ldx->szSerialNumber, Serial, 32))
            return ldx;
    }
    return nullptr;
}

/*++
Routine Description:
    Adds a registering path to its logical device: primary when it is available and the device
    has none, appended in registration order, counted on its port.
Arguments:
    Added - set when the PathEntry went into the list (even if its port could not be counted).
Return Value:
    STATUS_SUCCESS, or STATUS_INSUFFICIENT_RESOURCES (no PathEntry, or no PortEntry for a new port).
--*/
NTSTATUS BusAddPath(BusExtension *Bus, LogicalDeviceExtension *Ldx, const PathRegistration *Registration, BOOLEAN *Added)
{
    *Added = FALSE;
    auto *path = (PathEntry *)ExAllocatePoolWithTag(NonPagedPool, sizeof(PathEntry), VYR_TAG_PATH_ENTRY);
    if (!path)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(path, sizeof(PathEntry));
    path->pPathDevice = (PDEVICE_OBJECT)(ULONG_PTR)Registration->pPathDevice;
    path->Address = Registration->Address;
    path->ulState = (DevicePnpState)Registration->ulState;
    path->fAvailable = Registration->ulState == PNP_STARTED;

    // A port record is taken before the locks; it is used only when the port is new.
    PortEntry *spare = nullptr;
    if (Bus->fPortCounting) {
        spare = (PortEntry *)ExAllocatePoolWithTag(NonPagedPool, sizeof(PortEntry), VYR_TAG_PORT_ENTRY);
        if (spare)
            RtlZeroMemory(spare, sizeof(PortEntry));
    }

    NTSTATUS status = STATUS_SUCCESS;
    PrimaryEvent event = {};
    KIRQL irql;
    KeAcquireSpinLock(&Ldx->Lock, &irql);
    LogicalDeviceEntry *entry = Ldx->pEntry;
    if (path->fAvailable && !BusPrimaryLocked(entry)) {
        path->fPrimary = 1;
        Ldx->ScsiAddress = path->Address;
        BusPreparePrimaryEvent(&event, Ldx, path, 0);
    }
    PathEntry **link = &entry->pPaths;
    while (*link)
        link = &(*link)->pNext;
    *link = path;
    *Added = TRUE;
    if (Bus->fPortCounting && !BusCountPath(Bus, path, &spare))
        status = STATUS_INSUFFICIENT_RESOURCES; // the path stays, uncounted
    KeReleaseSpinLock(&Ldx->Lock, irql);

    if (spare)
        ExFreePoolWithTag(spare, VYR_TAG_PORT_ENTRY);
    BusWritePrimaryEvent(Bus, Ldx->pSelf, &event);
    return status;
}

} // namespace

/*++
Routine Description:
    Tears a logical device out of the path table: every path uncounted and freed, its entry
    unlinked from the bus list and freed, the back pointer cleared so that new creates fail.
    Called with Ldx->Lock held; takes the port lock inside it.
--*/
void BusUnlinkLogicalDeviceLocked(BusExtension *Bus, LogicalDeviceExtension *Ldx)
{
    LogicalDeviceEntry *entry = Ldx->pEntry;
    if (!entry)
        return;
    PathEntry *path = entry->pPaths;
    entry->pPaths = nullptr;
    while (path) {
        PathEntry *next = path->pNext;
        BusUncountPath(Bus, path);
        ExFreePoolWithTag(path, VYR_TAG_PATH_ENTRY);
        path = next;
    }
    Ldx->pEntry = nullptr;
    SortedListRemove((PVOID *)&Bus->pLogicalDevices, entry, &BUS_LOGICAL_LIST_KEY, 1, VYR_TAG_LOGICAL_ENTRY);
}

/*++
Routine Description:
    IOCTL_TPBUS_REGISTER_PATH. Finds the logical device of the path's drive -- paths with
    failover group by the exact 32 bytes of their serial number -- or creates one, adds the path
    and writes the device name into the SCSI device map.
Return Value:
    The registration's status. The reply fields are written only on success.
--*/
// The logical device that already lists a path device, or null.
static LogicalDeviceExtension *BusFindRegisteredPath(BusExtension *Bus, PDEVICE_OBJECT PathDevice, VyrScsiAddress *Address)
{
    for (LogicalDeviceEntry *entry = Bus->pLogicalDevices; entry; entry = entry->pNext) {
        LogicalDeviceExtension *ldx = BusLogical(entry->pDevice);
        KIRQL irql;
        KeAcquireSpinLock(&ldx->Lock, &irql);
        PathEntry *path = BusFindPathLocked(entry, PathDevice);
        if (path && Address)
            path->Address = *Address;
        KeReleaseSpinLock(&ldx->Lock, irql);
        if (path)
            return ldx;
    }
    return nullptr;
}

NTSTATUS BusRegisterPath(BusExtension *Bus, PathRegistration *Registration)
{
    PAGED_CODE();
    if (!Registration->pPathDevice)
        return STATUS_INVALID_PARAMETER; // every request of the path would go to it

    if (!Bus->fPersistentNaming)
        Bus->fPersistentNaming = Registration->fPersistentNaming != 0;

    // A path registers again each time it starts after a stop. A second entry for the same path
    // device would outlive the path's removal (only one entry goes with its absent notice) and
    // leave the bus sending requests to a deleted device: the path keeps its entry and takes the
    // new state instead. A path whose drive changed identity leaves its old device first.
    auto *pathDevice = (PDEVICE_OBJECT)(ULONG_PTR)Registration->pPathDevice;
    LogicalDeviceExtension *known = BusFindRegisteredPath(Bus, pathDevice, nullptr);
    if (known && RtlEqualMemory(known->szSerialNumber, Registration->szSerialNumber, 32)) {
        BusFindRegisteredPath(Bus, pathDevice, &Registration->Address);
        BusNotifyPathState(Bus, pathDevice, Registration->ulState);
        NTSTATUS status = BusWriteDeviceMap(known, &Registration->Address);
        if (!NT_SUCCESS(status))
            return status;
        Registration->pStatusTable = (ULONG64)(ULONG_PTR)Bus->pStatusTable;
        Registration->ulDeviceNumber = known->ulNumber;
        return STATUS_SUCCESS;
    }
    if (known)
        BusNotifyPathState(Bus, pathDevice, PNP_ABSENT);

    LogicalDeviceExtension *ldx = nullptr;
    if (Registration->fFailover && !Bus->fFailoverDisabled)
        ldx = BusFindBySerial(Bus, Registration->szSerialNumber);

    BOOLEAN created = FALSE;
    NTSTATUS status;
    if (!ldx) {
        status = BusCreateLogicalDevice(Bus, Registration, &ldx);
        if (!NT_SUCCESS(status))
            return status;
        created = TRUE;
        IoInvalidateDeviceRelations(Bus->pPhysicalDevice, BusRelations);
    }

    BOOLEAN added;
    status = BusAddPath(Bus, ldx, Registration, &added);
    if (!added) {
        if (created) {
            // A drive without a path would keep a name no request can use: take it away again.
            KIRQL irql;
            KeAcquireSpinLock(&ldx->Lock, &irql);
            BusUnlinkLogicalDeviceLocked(Bus, ldx);
            KeReleaseSpinLock(&ldx->Lock, irql);
            BusDeleteLogicalDevice(ldx);
            IoInvalidateDeviceRelations(Bus->pPhysicalDevice, BusRelations);
        }
        return status;
    }
    if (!NT_SUCCESS(status))
        return status;

    status = BusWriteDeviceMap(ldx, &Registration->Address);
    if (!NT_SUCCESS(status))
        return status; // the path stays added

    Registration->pStatusTable = (ULONG64)(ULONG_PTR)Bus->pStatusTable;
    Registration->ulDeviceNumber = ldx->ulNumber;
    return STATUS_SUCCESS;
}

/*++
Routine Description:
    IOCTL_TPBUS_NOTIFY_PATH, operation 0: stores a path's new Plug and Play state. A started path
    becomes available (and primary when none is); any other state makes it unavailable and hands
    the primary flag on to the first available path. PNP_ABSENT removes the path, and the logical
    device with its last path.
Return Value:
    STATUS_SUCCESS, also for a path device no logical device knows.
--*/
NTSTATUS BusNotifyPathState(BusExtension *Bus, PDEVICE_OBJECT PathDevice, ULONG NewState)
{
    PAGED_CODE();
    for (LogicalDeviceEntry *entry = Bus->pLogicalDevices; entry; entry = entry->pNext) {
        LogicalDeviceExtension *ldx = BusLogical(entry->pDevice);
        PrimaryEvent event = {};
        BOOLEAN removeDevice = FALSE;
        KIRQL irql;
        KeAcquireSpinLock(&ldx->Lock, &irql);
        PathEntry *path = BusFindPathLocked(entry, PathDevice);
        if (!path) {
            KeReleaseSpinLock(&ldx->Lock, irql);
            continue;
        }

        path->ulState = (DevicePnpState)NewState;
        if (NewState == PNP_STARTED) {
            path->fAvailable = 1;
            if (!BusPrimaryLocked(entry)) {
                path->fPrimary = 1;
                ldx->ScsiAddress = path->Address;
                BusPreparePrimaryEvent(&event, ldx, path, VYR_TAG_BUS_PRIMARY_START);
            }
        } else {
            path->fAvailable = 0;
            if (path->fPrimary) {
                path->fPrimary = 0;
                PathEntry *next = BusFirstAvailableLocked(entry);
                if (next) {
                    next->fPrimary = 1;
                    ldx->ScsiAddress = next->Address;
                    BusPreparePrimaryEvent(&event, ldx, next, VYR_TAG_BUS_PRIMARY_TAKEOVER);
                }
            }
        }

        if (NewState == PNP_ABSENT) {
            BusUncountPath(Bus, path);
            for (PathEntry **link = &entry->pPaths; *link; link = &(*link)->pNext) {
                if (*link == path) {
                    *link = path->pNext;
                    break;
                }
            }
            ExFreePoolWithTag(path, VYR_TAG_PATH_ENTRY);
            if (!entry->pPaths) {
                BusUnlinkLogicalDeviceLocked(Bus, ldx); // frees entry
                removeDevice = TRUE;
            }
        }
        KeReleaseSpinLock(&ldx->Lock, irql);

        if (removeDevice) {
            BusDeleteLogicalDevice(ldx);
            IoInvalidateDeviceRelations(Bus->pPhysicalDevice, BusRelations);
        } else {
            BusWritePrimaryEvent(Bus, ldx->pSelf, &event);
        }
        return STATUS_SUCCESS;
    }
    return STATUS_SUCCESS;
}

// Opens are the tape build's: a changer path reports no opens and a changer balances none.
#if !VYR_BUILD_CHANGER
/*++
Routine Description:
    IOCTL_TPBUS_NOTIFY_PATH, operation 1: an application opened or closed a path device directly.
    Counting it against the logical device makes exclusive access cover all its paths together.
Return Value:
    STATUS_ACCESS_DENIED for an unknown path device, or for an open of an exclusive logical device
    that is already open; else STATUS_SUCCESS.
--*/
NTSTATUS BusNotifyOpenClose(BusExtension *Bus, PDEVICE_OBJECT PathDevice, ULONG Value)
{
    PAGED_CODE();
    for (LogicalDeviceEntry *entry = Bus->pLogicalDevices; entry; entry = entry->pNext) {
        LogicalDeviceExtension *ldx = BusLogical(entry->pDevice);
        KIRQL irql;
        KeAcquireSpinLock(&ldx->Lock, &irql);
        if (!BusFindPathLocked(entry, PathDevice)) {
            KeReleaseSpinLock(&ldx->Lock, irql);
            continue;
        }
        NTSTATUS status = STATUS_SUCCESS;
        if (Value == IO_OPEN_REQ) {
            if (ldx->fExclusiveAccess && ldx->lOpenCount != 0)
                status = STATUS_ACCESS_DENIED;
            else
                InterlockedIncrement(&ldx->lOpenCount);
        } else if (Value == IO_CLOSE_REQ) {
            InterlockedDecrement(&ldx->lOpenCount);
            // Someone else moved the tape: the tracked position no longer holds.
            ldx->fPositionKnown = 0;
            ldx->fAtBeginning = 0;
        }
        KeReleaseSpinLock(&ldx->Lock, irql);
        return status;
    }
    return STATUS_ACCESS_DENIED;
}

/*++
Routine Description:
    Open-time balancing: moves the primary flag to the path whose port has carried the fewest
    opens and counts this open on the primary's port. Does nothing while port counting is off or
    the medium is locked against removal (the drive must stay on the path that locked it).
    Called with Ldx->Lock held (DISPATCH_LEVEL).
Return Value:
    STATUS_DELETE_PENDING when there is no primary and no available path; else STATUS_SUCCESS.
--*/
NTSTATUS BusBalanceOnOpenLocked(LogicalDeviceExtension *Ldx)
{
    BusExtension *bus = Ldx->pBus;
    LogicalDeviceEntry *entry = Ldx->pEntry;
    if (!entry)
        return STATUS_DELETE_PENDING;
    if (!bus->fPortCounting || Ldx->fMediumLocked)
        return STATUS_SUCCESS;

    KeAcquireSpinLockAtDpcLevel(&bus->PortLock);
    PathEntry *primary = nullptr, *least = nullptr, *firstAvailable = nullptr;
    for (PathEntry *path = entry->pPaths; path; path = path->pNext) {
        if (path->fPrimary && !primary)
            primary = path;
        if (path->fAvailable && !firstAvailable)
            firstAvailable = path;
        if (path->pPort && (!least || path->pPort->ulOpenCount < least->pPort->ulOpenCount))
            least = path;
    }
    if (!primary) {
        if (!firstAvailable) {
            KeReleaseSpinLockFromDpcLevel(&bus->PortLock);
            return STATUS_DELETE_PENDING;
        }
        primary = firstAvailable;
        primary->fPrimary = 1;
    }
    if (least && primary->pPort && least->pPort->ulOpenCount < primary->pPort->ulOpenCount) {
        primary->fPrimary = 0;
        least->fPrimary = 1;
        primary = least;
    }
    if (primary->pPort)
        primary->pPort->ulOpenCount++;
    KeReleaseSpinLockFromDpcLevel(&bus->PortLock);
    return STATUS_SUCCESS;
}
#endif

/*++
Routine Description:
    Chooses the path for one attempt of a request. The first attempt (or one that asks for it)
    takes the primary path as it is; later attempts take the first available path not tried yet
    and make it the primary.
Arguments:
    Tried - zero-terminated array of the path devices already tried, null before the first call;
        grown by one slot per chosen path (tag PDOf). The caller frees it.
    WantPrimary - take the primary path even if others were tried.
Return Value:
    The chosen path device, or null when none is left or the array could not grow.
--*/
PDEVICE_OBJECT BusChoosePath(LogicalDeviceExtension *Ldx, PDEVICE_OBJECT **Tried, BOOLEAN WantPrimary)
{
    PDEVICE_OBJECT *old = *Tried;
    ULONG count = 0;
    while (old && old[count])
        count++;
    auto *grown = (PDEVICE_OBJECT *)ExAllocatePoolWithTag(NonPagedPool, (count + 2) * sizeof(PDEVICE_OBJECT),
                                                          VYR_TAG_TRIED_PATHS);
    if (!grown)
        return nullptr;
    if (count)
        RtlCopyMemory(grown, old, count * sizeof(PDEVICE_OBJECT));

    PDEVICE_OBJECT chosen = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&Ldx->Lock, &irql);
    LogicalDeviceEntry *entry = Ldx->pEntry;
    if (entry) {
        PathEntry *primary = BusPrimaryLocked(entry);
        if (primary && (count == 0 || WantPrimary)) {
            chosen = primary->pPathDevice;
        } else {
            for (PathEntry *path = entry->pPaths; path && !chosen; path = path->pNext) {
                if (!path->fAvailable)
                    continue;
                BOOLEAN tried = FALSE;
                for (ULONG i = 0; i < count && !tried; i++)
                    tried = grown[i] == path->pPathDevice;
                if (tried)
                    continue;
                for (PathEntry *other = entry->pPaths; other; other = other->pNext)
                    other->fPrimary = 0;
                path->fPrimary = 1;
                chosen = path->pPathDevice;
            }
        }
    }
    KeReleaseSpinLock(&Ldx->Lock, irql);

    if (!chosen) {
        ExFreePoolWithTag(grown, VYR_TAG_TRIED_PATHS);
        return nullptr;
    }
    grown[count] = chosen;
    grown[count + 1] = nullptr;
    if (old)
        ExFreePoolWithTag(old, VYR_TAG_TRIED_PATHS);
    *Tried = grown;
    return chosen;
}

void BusGetLogicalAddress(LogicalDeviceExtension *Ldx, VyrScsiAddress *Address)
{
    KIRQL irql;
    KeAcquireSpinLock(&Ldx->Lock, &irql);
    *Address = Ldx->ScsiAddress;
    KeReleaseSpinLock(&Ldx->Lock, irql);
}

/*++
Routine Description:
    Removal of the bus FDO. Every logical device goes with it -- paths, ports, entry, object, DOS
    link, workers and queued requests -- and the persistent-name table is freed: nothing of them
    may outlive the bus, whose driver may unload next.
--*/
void BusDisposeAll(BusExtension *Bus)
{
    PAGED_CODE();
    while (LogicalDeviceEntry *entry = Bus->pLogicalDevices) {
        LogicalDeviceExtension *ldx = BusLogical(entry->pDevice);
        KIRQL irql;
        KeAcquireSpinLock(&ldx->Lock, &irql);
        BusUnlinkLogicalDeviceLocked(Bus, ldx);
        KeReleaseSpinLock(&ldx->Lock, irql);
        BusDeleteLogicalDevice(ldx);
    }
    // Ports are freed with their last path; anything left was never reachable from a path.
    KIRQL irql;
    KeAcquireSpinLock(&Bus->PortLock, &irql);
    PortEntry *port = Bus->pPorts;
    Bus->pPorts = nullptr;
    KeReleaseSpinLock(&Bus->PortLock, irql);
    while (port) {
        PortEntry *next = port->pNext;
        ExFreePoolWithTag(port, VYR_TAG_PORT_ENTRY);
        port = next;
    }
    if constexpr (!VYR_BUS_CHANGER)
        BusFreePersistentNames(Bus);
}
