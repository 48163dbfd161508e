// The control device: the harness builds and changes the world through it.
//
// Every request is checked whole -- lengths, indices, enumerators, reserved fields -- before
// anything changes, and a request that fails leaves the world as it was. Work that must not run
// under the topology mutex (creating a drive model or a PDO) is done first; the world is then
// checked again under the mutex, since another request may have changed it meanwhile.
#include "fabdrv.h"

namespace {

// The input of a request, copied out of the system buffer (which the reply then overwrites).
template <class T>
NTSTATUS FabReadInputp(PIRP Irp, T *Input)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(T) || !Irp->AssociatedIrp.SystemBuffer)
        return STATUS_INFO_LENGTH_MISMATCH;
    RtlCopyMemory(Input, Irp->AssociatedIrp.SystemBuffer, sizeof(T));
    return STATUS_SUCCESS;
}

ULONG FabOutputLengthp(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

// Requests that answer nothing take no output buffer either.
NTSTATUS FabNoOutputp(PIRP Irp)
{
    return FabOutputLengthp(Irp) ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

// A request that carries exactly one input record and returns nothing.
template <class T>
NTSTATUS FabReadInputOnlyp(PIRP Irp, T *Input)
{
    NTSTATUS status = FabReadInputp(Irp, Input);
    return NT_SUCCESS(status) ? FabNoOutputp(Irp) : status;
}

NTSTATUS FabAddDrivep(FabBus *Bus, PIRP Irp, ULONG_PTR *Information)
{
    FabDriveConfig config;
    NTSTATUS status = FabReadInputp(Irp, &config);
    if (!NT_SUCCESS(status))
        return status;
    if (FabOutputLengthp(Irp) < sizeof(FabIndexReply))
        return STATUS_BUFFER_TOO_SMALL;
    status = FabModelValidateConfig(&config);
    if (!NT_SUCCESS(status))
        return status;

    auto *drive = (FabDrive *)ExAllocatePoolWithTag(NonPagedPool, sizeof(FabDrive), FAB_TAG_DRIVE);
    if (!drive)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(drive, sizeof(FabDrive));
    drive->Config = config;
    status = FabModelCreate(&config, &drive->pModel);
    if (!NT_SUCCESS(status))
        goto FreeDrive;

    ExAcquireFastMutex(&Bus->TopologyMutex);
    if (Bus->fRemoving) {
        status = STATUS_NO_SUCH_DEVICE;
    } else if (Bus->cDrives >= FAB_MAX_DRIVES) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        drive->Index = Bus->cDrives;
        Bus->Drives[Bus->cDrives++] = drive;
    }
    ExReleaseFastMutex(&Bus->TopologyMutex);
    if (!NT_SUCCESS(status))
        goto DeleteModel;

    ((FabIndexReply *)Irp->AssociatedIrp.SystemBuffer)->Index = drive->Index;
    *Information = sizeof(FabIndexReply);
    return STATUS_SUCCESS;

DeleteModel:
    FabModelDelete(drive->pModel);
FreeDrive:
    ExFreePoolWithTag(drive, FAB_TAG_DRIVE);
    return status;
}

// The drives a new changer names stand behind no other element: each a tape drive of the world.
// Called under the topology mutex.
NTSTATUS FabCheckLinksp(FabBus *Bus, const FabChangerConfig *Config)
{
    for (ULONG i = 0; i < Config->LinkedDrives; i++) {
        ULONG index = Config->DriveIndex[i];
        if (index >= Bus->cDrives || Bus->Drives[index]->Kind != FAB_DEVICE_TAPE || Bus->Drives[index]->fLinked)
            return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

// A medium changer joins the world under the next drive index. Its FabDrive::Config carries its
// identity (serial number, product, revision, WWNN) for the PnP ids and the topology.
NTSTATUS FabAddChangerp(FabBus *Bus, PIRP Irp, ULONG_PTR *Information)
{
    FabChangerConfig config;
    NTSTATUS status = FabReadInputp(Irp, &config);
    if (!NT_SUCCESS(status))
        return status;
    if (FabOutputLengthp(Irp) < sizeof(FabIndexReply))
        return STATUS_BUFFER_TOO_SMALL;
    status = FabModelValidateChanger(&config);
    if (!NT_SUCCESS(status))
        return status;

    auto *drive = (FabDrive *)ExAllocatePoolWithTag(NonPagedPool, sizeof(FabDrive), FAB_TAG_DRIVE);
    if (!drive)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(drive, sizeof(FabDrive));
    drive->Kind = FAB_DEVICE_CHANGER;
    RtlCopyMemory(drive->Config.szSerialNumber, config.szSerialNumber, sizeof(config.szSerialNumber));
    RtlCopyMemory(drive->Config.szProduct, config.szProduct, sizeof(config.szProduct));
    RtlCopyMemory(drive->Config.szRevision, config.szRevision, sizeof(config.szRevision));
    drive->Config.Wwnn = config.Wwnn;
    status = FabModelCreateChanger(&config, &drive->pModel);
    if (!NT_SUCCESS(status))
        goto FreeDrive;

    ExAcquireFastMutex(&Bus->TopologyMutex);
    if (Bus->fRemoving) {
        status = STATUS_NO_SUCH_DEVICE;
    } else if (Bus->cDrives >= FAB_MAX_DRIVES) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        status = FabCheckLinksp(Bus, &config);
    }
    if (NT_SUCCESS(status)) {
        // No path leads to the changer yet: its links are in place before its first command.
        for (ULONG i = 0; i < config.LinkedDrives; i++) {
            FabDrive *tape = Bus->Drives[config.DriveIndex[i]];
            tape->fLinked = TRUE;
            FabModelLinkDrive(drive->pModel, i, tape->pModel);
        }
        drive->Index = Bus->cDrives;
        Bus->Drives[Bus->cDrives++] = drive;
    }
    ExReleaseFastMutex(&Bus->TopologyMutex);
    if (!NT_SUCCESS(status))
        goto DeleteModel;

    ((FabIndexReply *)Irp->AssociatedIrp.SystemBuffer)->Index = drive->Index;
    *Information = sizeof(FabIndexReply);
    return STATUS_SUCCESS;

DeleteModel:
    FabModelDelete(drive->pModel);
FreeDrive:
    ExFreePoolWithTag(drive, FAB_TAG_DRIVE);
    return status;
}

// Whether a path with this address may join the world now. Called under the topology mutex.
NTSTATUS FabCheckNewPathp(FabBus *Bus, const FabAddPathRequest *Request)
{
    if (Bus->fRemoving)
        return STATUS_NO_SUCH_DEVICE;
    if (Request->DriveIndex >= Bus->cDrives)
        return STATUS_INVALID_PARAMETER;
    for (ULONG i = 0; i < Bus->cPaths; i++) {
        const FabPath *path = Bus->Paths[i];
        if (path->PortNumber == Request->PortNumber && path->PathId == Request->PathId &&
            path->TargetId == Request->TargetId && path->Lun == Request->Lun)
            return STATUS_INVALID_PARAMETER; // the address names another path
    }
    if (Bus->cPaths >= FAB_MAX_PATHS)
        return STATUS_INSUFFICIENT_RESOURCES;
    return STATUS_SUCCESS;
}

/*++
Routine Description:
    Creates the SCSI device map key of a path's address, as a port driver does for every logical
    unit it finds: \Registry\Machine\Hardware\DeviceMap\Scsi\Scsi Port P\Scsi Bus B\Target Id
    T\Logical Unit Id L. Drivers above (the tape bus) write their device names into it. Each
    level is created in turn, volatile, as the hardware hive is rebuilt at every boot.
--*/
NTSTATUS FabCreateDeviceMapKeyp(const FabAddPathRequest *Request)
{
    WCHAR path[160];
    const ULONG numbers[4] = {Request->PortNumber, Request->PathId, Request->TargetId, Request->Lun};
    PCWSTR levels[4] = {L"\\Scsi Port %u", L"\\Scsi Bus %u", L"\\Target Id %u", L"\\Logical Unit Id %u"};
    size_t used = 0;
    NTSTATUS status = STATUS_SUCCESS;
    for (int level = -3; level < 4 && NT_SUCCESS(status); level++) {
        int written;
        if (level == -3)
            written = _snwprintf(path, RTL_NUMBER_OF(path), L"\\Registry\\Machine\\Hardware");
        else if (level == -2)
            written = _snwprintf(path + used, RTL_NUMBER_OF(path) - used, L"\\DeviceMap");
        else if (level == -1)
            written = _snwprintf(path + used, RTL_NUMBER_OF(path) - used, L"\\Scsi");
        else
            written = _snwprintf(path + used, RTL_NUMBER_OF(path) - used, levels[level], numbers[level]);
        if (written < 0)
            return STATUS_BUFFER_OVERFLOW;
        used += (size_t)written;
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE key = nullptr;
        ULONG disposition = 0;
        status = ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_VOLATILE, &disposition);
        if (NT_SUCCESS(status))
            ZwClose(key);
    }
    return status;
}

NTSTATUS FabAddPathp(FabBus *Bus, PIRP Irp, ULONG_PTR *Information)
{
    FabAddPathRequest request;
    NTSTATUS status = FabReadInputp(Irp, &request);
    if (!NT_SUCCESS(status))
        return status;
    if (FabOutputLengthp(Irp) < sizeof(FabIndexReply))
        return STATUS_BUFFER_TOO_SMALL;
    ExAcquireFastMutex(&Bus->TopologyMutex);
    status = FabCheckNewPathp(Bus, &request);
    ExReleaseFastMutex(&Bus->TopologyMutex);
    if (!NT_SUCCESS(status))
        return status;

    PDEVICE_OBJECT pdo = nullptr;
    auto *path = (FabPath *)ExAllocatePoolWithTag(NonPagedPool, sizeof(FabPath), FAB_TAG_PATH);
    if (!path)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(path, sizeof(FabPath));
    path->DriveIndex = request.DriveIndex;
    path->PortNumber = request.PortNumber;
    path->PathId = request.PathId;
    path->TargetId = request.TargetId;
    path->Lun = request.Lun;
    path->Nexus = FabPathNexus(request.PortNumber, request.PathId, request.TargetId);
    FabPortWwpn(request.PortNumber, path->szWwpn);
    status = FabCreatePathPdo(Bus, path, &pdo);
    if (!NT_SUCCESS(status))
        goto FreePath;

    ExAcquireFastMutex(&Bus->TopologyMutex);
    status = FabCheckNewPathp(Bus, &request);
    if (NT_SUCCESS(status)) {
        path->Index = Bus->cPaths;
        path->pPdo = pdo;
        InsertTailList(&Bus->PdoList, &((FabPdo *)pdo->DeviceExtension)->Link.Entry);
        Bus->Paths[Bus->cPaths++] = path;
    }
    ExReleaseFastMutex(&Bus->TopologyMutex);
    if (!NT_SUCCESS(status))
        goto DeletePdo;

    // Before the PDO is reported: the stack above finds the key when it starts.
    FabCreateDeviceMapKeyp(&request);
    IoInvalidateDeviceRelations(Bus->pPhysicalDevice, BusRelations);
    ((FabIndexReply *)Irp->AssociatedIrp.SystemBuffer)->Index = path->Index;
    *Information = sizeof(FabIndexReply);
    return STATUS_SUCCESS;

DeletePdo:
    FabDeleteUnlinkedPdo(pdo);
FreePath:
    ExFreePoolWithTag(path, FAB_TAG_PATH);
    return status;
}

NTSTATUS FabPullPathp(FabBus *Bus, PIRP Irp)
{
    FabPathRequest request;
    NTSTATUS status = FabReadInputOnlyp(Irp, &request);
    if (!NT_SUCCESS(status))
        return status;
    FabModel *model = nullptr;
    ULONG64 nexus = 0;
    ExAcquireFastMutex(&Bus->TopologyMutex);
    if (request.PathIndex >= Bus->cPaths) {
        status = STATUS_INVALID_PARAMETER;
    } else if (!Bus->Paths[request.PathIndex]->fPulled) {
        FabPath *path = Bus->Paths[request.PathIndex];
        path->fPulled = TRUE;
        FabReleaseHeldLocked(Bus, FAB_SCOPE_PATH, request.PathIndex);
        model = Bus->Drives[path->DriveIndex]->pModel;
        nexus = path->Nexus;
    }
    ExReleaseFastMutex(&Bus->TopologyMutex);
    if (model) {
        // The drive sees the nexus go as a real one does when the cable comes out.
        FabModelNexusLoss(model, nexus);
        IoInvalidateDeviceRelations(Bus->pPhysicalDevice, BusRelations);
    }
    return status;
}

/*++
Routine Description:
    Brings a pulled path back. A PDO the PnP manager never saw leave keeps standing for the path;
    one it was told is missing waits for its REMOVE on its own, and a new PDO stands for the path.
--*/
NTSTATUS FabRestorePathp(FabBus *Bus, PIRP Irp)
{
    FabPathRequest request;
    NTSTATUS status = FabReadInputOnlyp(Irp, &request);
    if (!NT_SUCCESS(status))
        return status;

    PDEVICE_OBJECT fresh = nullptr;
    BOOLEAN changed = FALSE;
    for (;;) {
        BOOLEAN needPdo = FALSE;
        ExAcquireFastMutex(&Bus->TopologyMutex);
        if (Bus->fRemoving) {
            status = STATUS_NO_SUCH_DEVICE;
        } else if (request.PathIndex >= Bus->cPaths) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            FabPath *path = Bus->Paths[request.PathIndex];
            BOOLEAN keep = path->pPdo && !((FabPdo *)path->pPdo->DeviceExtension)->fReportedMissing;
            if (!path->fPulled) {
                // Present already: nothing to do.
            } else if (keep) {
                path->fPulled = FALSE;
                changed = TRUE;
            } else if (fresh) {
                path->pPdo = fresh; // a former PDO stays on the PDO list until its REMOVE
                InsertTailList(&Bus->PdoList, &((FabPdo *)fresh->DeviceExtension)->Link.Entry);
                fresh = nullptr;
                path->fPulled = FALSE;
                changed = TRUE;
            } else {
                needPdo = TRUE;
            }
        }
        ExReleaseFastMutex(&Bus->TopologyMutex);
        if (!needPdo)
            break;
        status = FabCreatePathPdo(Bus, Bus->Paths[request.PathIndex], &fresh);
        if (!NT_SUCCESS(status))
            return status;
    }
    if (fresh)
        FabDeleteUnlinkedPdo(fresh); // the world changed meanwhile and did not need it
    if (changed)
        IoInvalidateDeviceRelations(Bus->pPhysicalDevice, BusRelations);
    return status;
}

NTSTATUS FabAddFaultp(FabBus *Bus, PIRP Irp)
{
    FabFaultRequest request;
    NTSTATUS status = FabReadInputOnlyp(Irp, &request);
    if (!NT_SUCCESS(status))
        return status;
    status = FabValidateFault(&request);
    if (!NT_SUCCESS(status))
        return status;
    ExAcquireFastMutex(&Bus->TopologyMutex);
    if (request.Scope == FAB_SCOPE_PATH)
        status = request.Index < Bus->cPaths ? FabRuleAdd(&Bus->Paths[request.Index]->Rules, &request)
                                             : STATUS_INVALID_PARAMETER;
    else
        status = request.Index < Bus->cDrives ? FabRuleAdd(&Bus->Drives[request.Index]->Rules, &request)
                                              : STATUS_INVALID_PARAMETER;
    ExReleaseFastMutex(&Bus->TopologyMutex);
    return status;
}

// Whether a scope names something that exists: a path or drive index in range, or "all" with
// index 0. Called with the topology mutex held.
NTSTATUS FabCheckScopep(FabBus *Bus, UCHAR Scope, ULONG Index)
{
    switch (Scope) {
    case FAB_SCOPE_PATH:
        return Index < Bus->cPaths ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    case FAB_SCOPE_DRIVE:
        return Index < Bus->cDrives ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    case FAB_SCOPE_ALL:
        return Index == 0 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// Clearing faults and releasing held commands both name a scope; clearing also drops the scope's
// rules. Commands held in the scope go on either way.
template <typename T>
NTSTATUS FabScopeRequestp(FabBus *Bus, PIRP Irp, BOOLEAN ClearRules)
{
    T request;
    NTSTATUS status = FabReadInputOnlyp(Irp, &request);
    if (!NT_SUCCESS(status))
        return status;
    if (request.Reserved[0] || request.Reserved[1] || request.Reserved[2])
        return STATUS_INVALID_PARAMETER;
    ExAcquireFastMutex(&Bus->TopologyMutex);
    status = FabCheckScopep(Bus, request.Scope, request.Index);
    if (NT_SUCCESS(status) && ClearRules) {
        for (ULONG i = 0; i < Bus->cPaths; i++)
            if (request.Scope == FAB_SCOPE_ALL || (request.Scope == FAB_SCOPE_PATH && i == request.Index))
                Bus->Paths[i]->Rules.Count = 0;
        for (ULONG i = 0; i < Bus->cDrives; i++)
            if (request.Scope == FAB_SCOPE_ALL || (request.Scope == FAB_SCOPE_DRIVE && i == request.Index))
                Bus->Drives[i]->Rules.Count = 0;
    }
    if (NT_SUCCESS(status))
        FabReleaseHeldLocked(Bus, request.Scope, request.Index);
    ExReleaseFastMutex(&Bus->TopologyMutex);
    return status;
}

/*++
Routine Description:
    Waits until at least the asked number of commands is held. The event is cleared under the
    mutex before each wait and set under it by every new hold, so no arrival is missed.
--*/
NTSTATUS FabWaitHeldp(FabBus *Bus, PIRP Irp, ULONG_PTR *Information)
{
    FabWaitHeldRequest request;
    NTSTATUS status = FabReadInputp(Irp, &request);
    if (!NT_SUCCESS(status))
        return status;
    if (FabOutputLengthp(Irp) < sizeof(FabHeldReply))
        return STATUS_BUFFER_TOO_SMALL;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)request.TimeoutMilliseconds * 10000;
    ULONG held = 0;
    for (;;) {
        BOOLEAN done = TRUE;
        ExAcquireFastMutex(&Bus->TopologyMutex);
        held = Bus->cHeld;
        if (Bus->fRemoving) {
            status = STATUS_NO_SUCH_DEVICE;
        } else if (held < request.Count) {
            KeClearEvent(&Bus->HoldArrived);
            done = FALSE;
        }
        ExReleaseFastMutex(&Bus->TopologyMutex);
        if (done)
            break;
        // Each wait gets the whole time-out: the limit only keeps a broken test from hanging.
        if (KeWaitForSingleObject(&Bus->HoldArrived, Executive, KernelMode, FALSE,
                                  request.TimeoutMilliseconds ? &timeout : nullptr) == STATUS_TIMEOUT)
            return STATUS_IO_TIMEOUT;
    }
    if (!NT_SUCCESS(status))
        return status;
    ((FabHeldReply *)Irp->AssociatedIrp.SystemBuffer)->Held = held;
    *Information = sizeof(FabHeldReply);
    return STATUS_SUCCESS;
}

NTSTATUS FabDriveControlp(FabBus *Bus, PIRP Irp)
{
    FabDriveControlRequest request;
    NTSTATUS status = FabReadInputOnlyp(Irp, &request);
    if (!NT_SUCCESS(status))
        return status;
    switch (request.Operation) {
    case FAB_DRIVE_UNLOAD:
    case FAB_DRIVE_RESET:
        if (request.Value)
            return STATUS_INVALID_PARAMETER;
        break;
    case FAB_DRIVE_LOAD:
    case FAB_DRIVE_WRITE_PROTECT:
    case FAB_DRIVE_KEY_MANAGED:
        if (request.Value > 1)
            return STATUS_INVALID_PARAMETER;
        break;
    case FAB_DRIVE_KEY_PAGE_LENGTH: // the drive checks the length
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    FabModel *model = nullptr;
    ExAcquireFastMutex(&Bus->TopologyMutex);
    if (request.DriveIndex < Bus->cDrives)
        model = Bus->Drives[request.DriveIndex]->pModel;
    ExReleaseFastMutex(&Bus->TopologyMutex);
    if (!model)
        return STATUS_INVALID_PARAMETER;
    // The model has its own lock; the drive lives until the bus's REMOVE, which waits for us.
    return FabModelControl(model, request.Operation, request.Value);
}

// The model a query names, once its reply fits the output buffer; Changer tells whether the query
// is for a changer (the other kind of device is refused).
NTSTATUS FabQueriedModelp(FabBus *Bus, PIRP Irp, ULONG ReplySize, BOOLEAN Changer, FabModel **Model)
{
    FabDriveRequest request;
    NTSTATUS status = FabReadInputp(Irp, &request);
    if (!NT_SUCCESS(status))
        return status;
    if (FabOutputLengthp(Irp) < ReplySize)
        return STATUS_BUFFER_TOO_SMALL;
    FabModel *model = nullptr;
    BOOLEAN changer = FALSE;
    ExAcquireFastMutex(&Bus->TopologyMutex);
    if (request.DriveIndex < Bus->cDrives) {
        model = Bus->Drives[request.DriveIndex]->pModel;
        changer = Bus->Drives[request.DriveIndex]->Kind == FAB_DEVICE_CHANGER;
    }
    ExReleaseFastMutex(&Bus->TopologyMutex);
    if (!model)
        return STATUS_INVALID_PARAMETER;
    if (changer != Changer)
        return STATUS_INVALID_DEVICE_REQUEST;
    *Model = model;
    return STATUS_SUCCESS;
}

NTSTATUS FabQueryDrivep(FabBus *Bus, PIRP Irp, ULONG_PTR *Information)
{
    FabModel *model = nullptr;
    NTSTATUS status = FabQueriedModelp(Bus, Irp, sizeof(FabDriveState), FALSE, &model);
    if (!NT_SUCCESS(status))
        return status;
    FabModelQuery(model, (FabDriveState *)Irp->AssociatedIrp.SystemBuffer);
    *Information = sizeof(FabDriveState);
    return STATUS_SUCCESS;
}

NTSTATUS FabQueryChangerp(FabBus *Bus, PIRP Irp, ULONG_PTR *Information)
{
    FabModel *model = nullptr;
    NTSTATUS status = FabQueriedModelp(Bus, Irp, sizeof(FabChangerState), TRUE, &model);
    if (!NT_SUCCESS(status))
        return status;
    FabModelQueryChanger(model, (FabChangerState *)Irp->AssociatedIrp.SystemBuffer);
    *Information = sizeof(FabChangerState);
    return STATUS_SUCCESS;
}

void FabCopyStringp(CHAR *Target, const CHAR *Source, ULONG Capacity)
{
    ULONG i = 0;
    for (; i + 1 < Capacity && Source[i]; i++)
        Target[i] = Source[i];
    Target[i] = 0;
}

NTSTATUS FabQueryTopologyp(FabBus *Bus, PIRP Irp, ULONG_PTR *Information)
{
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength)
        return STATUS_INFO_LENGTH_MISMATCH;
    ULONG outLength = FabOutputLengthp(Irp);
    if (outLength < sizeof(FabTopologyHeader) || !Irp->AssociatedIrp.SystemBuffer)
        return STATUS_BUFFER_TOO_SMALL;
    auto *header = (FabTopologyHeader *)Irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;

    ExAcquireFastMutex(&Bus->TopologyMutex);
    ULONG needed = sizeof(FabTopologyHeader) + Bus->cDrives * sizeof(FabDriveEntry) + Bus->cPaths * sizeof(FabPathEntry);
    RtlZeroMemory(header, sizeof(*header));
    header->BytesNeeded = needed;
    header->DriveCount = Bus->cDrives;
    header->PathCount = Bus->cPaths;
    if (outLength < needed) {
        status = STATUS_BUFFER_OVERFLOW;
        *Information = sizeof(FabTopologyHeader);
    } else {
        auto *drives = (FabDriveEntry *)(header + 1);
        for (ULONG i = 0; i < Bus->cDrives; i++) {
            const FabDrive *drive = Bus->Drives[i];
            FabDriveEntry *entry = &drives[i];
            RtlZeroMemory(entry, sizeof(*entry));
            entry->Index = drive->Index;
            entry->CommandsSeen = drive->cCommands;
            entry->FaultsFired = drive->cFaults;
            entry->RuleCount = drive->Rules.Count;
            FabCopyStringp(entry->szSerialNumber, drive->Config.szSerialNumber, sizeof(entry->szSerialNumber));
            FabCopyStringp(entry->szProduct, drive->Config.szProduct, sizeof(entry->szProduct));
            entry->Wwnn = drive->Config.Wwnn;
            entry->DeviceKind = drive->Kind;
        }
        auto *paths = (FabPathEntry *)(drives + Bus->cDrives);
        for (ULONG i = 0; i < Bus->cPaths; i++) {
            const FabPath *path = Bus->Paths[i];
            FabPathEntry *entry = &paths[i];
            RtlZeroMemory(entry, sizeof(*entry));
            entry->Index = path->Index;
            entry->DriveIndex = path->DriveIndex;
            entry->PortNumber = path->PortNumber;
            entry->PathId = path->PathId;
            entry->TargetId = path->TargetId;
            entry->Lun = path->Lun;
            entry->fPulled = path->fPulled;
            entry->fHasPdo = path->pPdo != nullptr;
            entry->CommandsSeen = path->cCommands;
            entry->FaultsFired = path->cFaults;
            entry->RuleCount = path->Rules.Count;
            FabCopyStringp(entry->szInitiatorWwpn, path->szWwpn, sizeof(entry->szInitiatorWwpn));
            entry->Nexus = path->Nexus;
        }
        *Information = needed;
    }
    ExReleaseFastMutex(&Bus->TopologyMutex);
    return status;
}

} // namespace

/*++
Routine Description:
    A request of the harness on the control device. The caller holds a reference on the bus's
    world (FabEnter); the request is completed here.
--*/
NTSTATUS FabControlRequest(FabBus *Bus, PIRP Irp)
{
    ULONG_PTR information = 0;
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_VYRFAB_ADD_DRIVE:
        status = FabAddDrivep(Bus, Irp, &information);
        break;
    case IOCTL_VYRFAB_ADD_PATH:
        status = FabAddPathp(Bus, Irp, &information);
        break;
    case IOCTL_VYRFAB_PULL_PATH:
        status = FabPullPathp(Bus, Irp);
        break;
    case IOCTL_VYRFAB_RESTORE_PATH:
        status = FabRestorePathp(Bus, Irp);
        break;
    case IOCTL_VYRFAB_ADD_FAULT:
        status = FabAddFaultp(Bus, Irp);
        break;
    case IOCTL_VYRFAB_CLEAR_FAULTS:
        status = FabScopeRequestp<FabClearFaultsRequest>(Bus, Irp, TRUE);
        break;
    case IOCTL_VYRFAB_DRIVE_CONTROL:
        status = FabDriveControlp(Bus, Irp);
        break;
    case IOCTL_VYRFAB_QUERY_DRIVE:
        status = FabQueryDrivep(Bus, Irp, &information);
        break;
    case IOCTL_VYRFAB_RELEASE_HELD:
        status = FabScopeRequestp<FabReleaseHeldRequest>(Bus, Irp, FALSE);
        break;
    case IOCTL_VYRFAB_WAIT_HELD:
        status = FabWaitHeldp(Bus, Irp, &information);
        break;
    case IOCTL_VYRFAB_ADD_CHANGER:
        status = FabAddChangerp(Bus, Irp, &information);
        break;
    case IOCTL_VYRFAB_QUERY_CHANGER:
        status = FabQueryChangerp(Bus, Irp, &information);
        break;
    case IOCTL_VYRFAB_QUERY_TOPOLOGY:
        status = FabQueryTopologyp(Bus, Irp, &information);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return FabCompleteRequest(Irp, status, information);
}
