// Requests of a class driver on a path PDO: run a SCSI command on the drive behind the path,
// after the fault rules of the path and of the drive, or describe the path.
#include "fabdrv.h"

namespace {

constexpr UCHAR SCSIOP_RESERVE6 = 0x16;
constexpr UCHAR SCSIOP_RELEASE6 = 0x17;
// The initiator that holds a drive's reservation in a reservation fault: a nexus no path has.
constexpr ULONG64 FAB_PHANTOM_NEXUS_BASE = 0x8FAB000000000000ull;
const CHAR FAB_PHANTOM_WWPN[] = "5FABFFFF00000000";

// What a command needs once it has left the topology mutex. Drives and paths live until the
// bus's REMOVE, which waits for every request inside, so the pointers stay good.
struct FabRoute {
    FabModel *pModel;
    ULONG DriveIndex;
    ULONG64 Nexus;
    CHAR szWwpn[17];
};

/*++
Routine Description:
    Finds where a request on a PDO goes. A PDO that does not stand for its path any more, or
    whose path is pulled, reaches nothing.
--*/
NTSTATUS FabRoutep(FabPdo *Pdo, FabRoute *Route)
{
    FabBus *bus = Pdo->pBus;
    FabPath *path = Pdo->pPath;
    NTSTATUS status = STATUS_SUCCESS;
    ExAcquireFastMutex(&bus->TopologyMutex);
    if (path->fPulled || path->pPdo != Pdo->Self) {
        status = STATUS_DEVICE_NOT_CONNECTED;
    } else {
        Route->pModel = bus->Drives[path->DriveIndex]->pModel;
        Route->DriveIndex = path->DriveIndex;
        Route->Nexus = path->Nexus;
        RtlCopyMemory(Route->szWwpn, path->szWwpn, sizeof(Route->szWwpn));
    }
    ExReleaseFastMutex(&bus->TopologyMutex);
    return status;
}

// Same as FabRoutep, and counts the command on the path's rules, then the drive's, stopping at
// the rule that takes it.
NTSTATUS FabRouteCommandp(FabPdo *Pdo, UCHAR Opcode, FabRoute *Route, BOOLEAN *Faulted, FabFaultRequest *Fault)
{
    FabBus *bus = Pdo->pBus;
    FabPath *path = Pdo->pPath;
    *Faulted = FALSE;
    NTSTATUS status = STATUS_SUCCESS;
    ExAcquireFastMutex(&bus->TopologyMutex);
    if (path->fPulled || path->pPdo != Pdo->Self) {
        status = STATUS_DEVICE_NOT_CONNECTED;
    } else {
        FabDrive *drive = bus->Drives[path->DriveIndex];
        Route->pModel = drive->pModel;
        Route->DriveIndex = path->DriveIndex;
        Route->Nexus = path->Nexus;
        RtlCopyMemory(Route->szWwpn, path->szWwpn, sizeof(Route->szWwpn));
        path->cCommands++;
        if (FabRuleMatch(&path->Rules, Opcode, Fault)) {
            path->cFaults++;
            *Faulted = TRUE;
        } else {
            drive->cCommands++;
            if (FabRuleMatch(&drive->Rules, Opcode, Fault)) {
                drive->cFaults++;
                *Faulted = TRUE;
            }
        }
    }
    ExReleaseFastMutex(&bus->TopologyMutex);
    return status;
}

NTSTATUS FabValidateRequestp(const FabScsiRequest *Request)
{
    if (!Request)
        return STATUS_INVALID_PARAMETER;
    if (Request->CdbLength == 0 || Request->CdbLength > sizeof(Request->Cdb))
        return STATUS_INVALID_PARAMETER;
    if (Request->Direction != FAB_DATA_NONE && Request->Direction != FAB_DATA_IN && Request->Direction != FAB_DATA_OUT)
        return STATUS_INVALID_PARAMETER;
    if (Request->DataLength && (!Request->Data || Request->Direction == FAB_DATA_NONE))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// Runs a command without data as the phantom initiator, which, like any initiator, first hears
// of the power-on and other unit attentions of its nexus: those are taken and the command sent
// again, a few times at most.
void FabRunSimplep(FabModel *Model, ULONG64 Nexus, PCSTR Wwpn, UCHAR Opcode)
{
    constexpr UCHAR kUnitAttention = 0x06;
    for (ULONG attempt = 0; attempt < 8; attempt++) {
        FabScsiRequest request;
        RtlZeroMemory(&request, sizeof(request));
        request.Cdb[0] = Opcode;
        request.CdbLength = 6;
        request.Direction = FAB_DATA_NONE;
        FabModelExecute(Model, Nexus, Wwpn, &request);
        if (request.ScsiStatus != SCSISTAT_CHECK_CONDITION || (request.Sense[2] & 0x0F) != kUnitAttention)
            return;
    }
}

// The command meets a reservation that another initiator took just before it and gives up just
// after it.
NTSTATUS FabRunReservedp(const FabRoute *Route, FabScsiRequest *Request)
{
    ULONG64 phantom = FAB_PHANTOM_NEXUS_BASE | Route->DriveIndex;
    FabRunSimplep(Route->pModel, phantom, FAB_PHANTOM_WWPN, SCSIOP_RESERVE6);
    FabModelExecute(Route->pModel, Route->Nexus, Route->szWwpn, Request);
    FabRunSimplep(Route->pModel, phantom, FAB_PHANTOM_WWPN, SCSIOP_RELEASE6);
    return STATUS_SUCCESS;
}

/*++
Routine Description:
    A WRITE(6) of which only the first K blocks reach the tape. In fixed-block mode the transfer
    length counts blocks of DataLength / length bytes; in variable mode the command carries one
    block of `length` bytes. The shortened command runs on the drive; if the drive itself fails
    it, that failure is the answer. Otherwise the fault's failure is reported with the residual
    (blocks in fixed mode, bytes in variable mode) and DataTransferred = the bytes written.
--*/
NTSTATUS FabRunPartialWritep(const FabRoute *Route, FabScsiRequest *Request, const FabFaultRequest *Fault)
{
    BOOLEAN fixed = (Request->Cdb[1] & 1) != 0;
    ULONG length = ((ULONG)Request->Cdb[2] << 16) | ((ULONG)Request->Cdb[3] << 8) | Request->Cdb[4];
    ULONG blocks, blockSize;
    if (fixed) {
        if (length == 0 || Request->DataLength % length != 0) {
            // Not a well-formed fixed-block write: the drive judges it as it is.
            FabModelExecute(Route->pModel, Route->Nexus, Route->szWwpn, Request);
            return STATUS_SUCCESS;
        }
        blocks = length;
        blockSize = Request->DataLength / length;
    } else {
        blocks = 1;
        blockSize = length <= Request->DataLength ? length : Request->DataLength;
    }
    ULONG written = Fault->BlocksWritten < blocks ? Fault->BlocksWritten : blocks;

    if (written) {
        FabScsiRequest partial = *Request;
        if (fixed) {
            partial.Cdb[2] = (UCHAR)(written >> 16);
            partial.Cdb[3] = (UCHAR)(written >> 8);
            partial.Cdb[4] = (UCHAR)written;
        }
        partial.DataLength = written * blockSize;
        FabModelExecute(Route->pModel, Route->Nexus, Route->szWwpn, &partial);
        if (partial.ScsiStatus != SCSISTAT_GOOD) {
            Request->ScsiStatus = partial.ScsiStatus;
            Request->SenseLength = partial.SenseLength;
            Request->DataTransferred = partial.DataTransferred;
            RtlCopyMemory(Request->Sense, partial.Sense, sizeof(Request->Sense));
            return STATUS_SUCCESS;
        }
    }
    Request->DataTransferred = written * blockSize;
    if (Fault->Status)
        return Fault->Status;
    ULONG residual = fixed ? blocks - written : (written ? 0 : length);
    FabSetSense(Request, Fault->SenseKey, Fault->SenseFlags, Fault->Asc, Fault->Ascq, TRUE, residual);
    return STATUS_SUCCESS;
}

/*++
Routine Description:
    Holds a command until the harness lets it go (or its path is pulled, or the fabric goes away),
    then finds its way again: the world may have changed meanwhile.
IRQL: PASSIVE_LEVEL.
--*/
NTSTATUS FabHoldp(FabPdo *Pdo, FabRoute *Route)
{
    FabBus *bus = Pdo->pBus;
    FabPath *path = Pdo->pPath;
    FabHold hold;
    KeInitializeEvent(&hold.Released, NotificationEvent, FALSE);
    BOOLEAN wait = FALSE;
    ExAcquireFastMutex(&bus->TopologyMutex);
    if (!bus->fRemoving && !path->fPulled && path->pPdo == Pdo->Self) {
        hold.PathIndex = path->Index;
        hold.DriveIndex = path->DriveIndex;
        InsertTailList(&bus->HeldList, &hold.Link);
        bus->cHeld++;
        KeSetEvent(&bus->HoldArrived, IO_NO_INCREMENT, FALSE);
        wait = TRUE;
    }
    ExReleaseFastMutex(&bus->TopologyMutex);
    if (wait)
        KeWaitForSingleObject(&hold.Released, Executive, KernelMode, FALSE, nullptr);
    return FabRoutep(Pdo, Route);
}

NTSTATUS FabExecutep(FabPdo *Pdo, FabScsiRequest *Request)
{
    NTSTATUS status = FabValidateRequestp(Request);
    if (!NT_SUCCESS(status))
        return status;
    Request->ScsiStatus = SCSISTAT_GOOD;
    Request->SenseLength = 0;
    Request->DataTransferred = 0;
    RtlZeroMemory(Request->Sense, sizeof(Request->Sense));

    FabRoute route;
    BOOLEAN faulted;
    FabFaultRequest fault;
    status = FabRouteCommandp(Pdo, Request->Cdb[0], &route, &faulted, &fault);
    if (!NT_SUCCESS(status))
        return status;
    if (!faulted) {
        FabModelExecute(route.pModel, route.Nexus, route.szWwpn, Request);
        return STATUS_SUCCESS;
    }
    switch (fault.Kind) {
    case FAB_FAULT_SENSE:
        FabSetSense(Request, fault.SenseKey, fault.SenseFlags, fault.Asc, fault.Ascq, FALSE, 0);
        return STATUS_SUCCESS;
    case FAB_FAULT_STATUS:
        return fault.Status;
    case FAB_FAULT_WRITE_AFTER_BLOCKS:
        return FabRunPartialWritep(&route, Request, &fault);
    case FAB_FAULT_RESERVATION:
        return FabRunReservedp(&route, Request);
    case FAB_FAULT_HOLD:
        status = FabHoldp(Pdo, &route);
        if (!NT_SUCCESS(status))
            return status;
        FabModelExecute(route.pModel, route.Nexus, route.szWwpn, Request);
        return STATUS_SUCCESS;
    default:
        return STATUS_DRIVER_INTERNAL_ERROR;
    }
}

NTSTATUS FabGetPathInfop(FabPdo *Pdo, FabPathInfo *Info)
{
    if (!Info)
        return STATUS_INVALID_PARAMETER;
    FabRoute route;
    NTSTATUS status = FabRoutep(Pdo, &route);
    if (!NT_SUCCESS(status))
        return status;
    FabPath *path = Pdo->pPath; // the address of a path never changes
    RtlZeroMemory(Info, sizeof(*Info));
    Info->PortNumber = path->PortNumber;
    Info->PathId = path->PathId;
    Info->TargetId = path->TargetId;
    Info->Lun = path->Lun;
    Info->DriveIndex = route.DriveIndex;
    Info->Nexus = route.Nexus;
    RtlCopyMemory(Info->szInitiatorWwpn, route.szWwpn, sizeof(Info->szInitiatorWwpn));
    return STATUS_SUCCESS;
}

// A task-management function, not a command: it has no opcode for the fault rules to match, and
// reaches the drive whenever the path does.
NTSTATUS FabResetLunp(FabPdo *Pdo)
{
    FabRoute route;
    NTSTATUS status = FabRoutep(Pdo, &route);
    if (!NT_SUCCESS(status))
        return status;
    FabModelResetLun(route.pModel, route.Nexus);
    return STATUS_SUCCESS;
}

} // namespace

/*++
Routine Description:
    Internal device control on a path PDO. Only kernel-mode callers send these; a request that
    comes from user mode is refused, since its pointer arguments would be user addresses.
IRQL: PASSIVE_LEVEL; a request at a higher level is refused.
--*/
NTSTATUS FabPathInternalControl(FabPdo *Pdo, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    if (Irp->RequestorMode != KernelMode) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        // The topology mutex and the drive model's lock are fast mutexes.
        status = STATUS_INVALID_DEVICE_STATE;
    } else {
        switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_VYRFAB_EXECUTE_CDB:
            status = FabExecutep(Pdo, (FabScsiRequest *)stack->Parameters.Others.Argument1);
            break;
        case IOCTL_VYRFAB_GET_PATH_INFO:
            status = FabGetPathInfop(Pdo, (FabPathInfo *)stack->Parameters.Others.Argument1);
            break;
        case IOCTL_VYRFAB_RESET_LUN:
            status = FabResetLunp(Pdo);
            break;
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
        }
    }
    return FabCompleteRequest(Irp, status, 0);
}

void FabReleaseHeldLocked(FabBus *Bus, UCHAR Scope, ULONG Index)
{
    PLIST_ENTRY entry = Bus->HeldList.Flink;
    while (entry != &Bus->HeldList) {
        FabHold *hold = CONTAINING_RECORD(entry, FabHold, Link);
        entry = entry->Flink;
        BOOLEAN match = Scope == FAB_SCOPE_ALL || (Scope == FAB_SCOPE_PATH && hold->PathIndex == Index) ||
                        (Scope == FAB_SCOPE_DRIVE && hold->DriveIndex == Index);
        if (!match)
            continue;
        // Unlinked before it is signalled: the record goes with its thread's stack once woken.
        RemoveEntryList(&hold->Link);
        Bus->cHeld--;
        KeSetEvent(&hold->Released, IO_NO_INCREMENT, FALSE);
    }
}
