// Plug and Play and power of the fabric: the bus FDO with its control device, and the path PDOs.
#include "fabdrv.h"

namespace {

IO_COMPLETION_ROUTINE FabSignalCompletionp;

NTSTATUS FabSignalCompletionp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the request down and waits until it comes back to us.
NTSTATUS FabForwardAndWaitp(FabBus *Bus, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, FabSignalCompletionp, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Bus->pLowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS FabForwardp(FabBus *Bus, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Bus->pLowerDevice, Irp);
}

// Closes the gate of a device: requests that have not entered yet are refused from now on.
void FabCloseGatep(FabCommon *Common)
{
    KIRQL irql;
    KeAcquireSpinLock(&Common->GateLock, &irql);
    Common->fGone = TRUE;
    KeReleaseSpinLock(&Common->GateLock, irql);
}

void FabInitCommonp(FabCommon *Common, PDEVICE_OBJECT Self, FabBus *Bus, BOOLEAN Fdo, BOOLEAN Control)
{
    Common->Self = Self;
    Common->fFdo = Fdo;
    Common->fControl = Control;
    Common->fGone = FALSE;
    Common->ulState = FAB_NOT_STARTED;
    Common->ulPreviousState = FAB_NOT_STARTED;
    KeInitializeSpinLock(&Common->GateLock);
    Common->pBus = Bus;
}

/*++
Routine Description:
    Creates the control device \Device\VyrFabric and its link; on failure nothing is left.
--*/
NTSTATUS FabCreateControlDevicep(FabBus *Bus, PDRIVER_OBJECT DriverObject)
{
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, FAB_CONTROL_DEVICE_NAME);
    RtlInitUnicodeString(&link, FAB_CONTROL_LINK_NAME);
    PDEVICE_OBJECT control = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(FabControl), &name, FILE_DEVICE_VYRFAB,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &control);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(control);
        return status;
    }
    auto *ext = (FabControl *)control->DeviceExtension;
    RtlZeroMemory(ext, sizeof(FabControl));
    FabInitCommonp(ext, control, Bus, FALSE, TRUE);
    control->Flags |= DO_BUFFERED_IO;
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    Bus->pControlDevice = control;
    return STATUS_SUCCESS;
}

// Frees every drive and path record. Called with no request inside the world.
void FabFreeWorldp(FabBus *Bus)
{
    for (ULONG i = 0; i < Bus->cPaths; i++) {
        ExFreePoolWithTag(Bus->Paths[i], FAB_TAG_PATH);
        Bus->Paths[i] = nullptr;
    }
    Bus->cPaths = 0;
    for (ULONG i = 0; i < Bus->cDrives; i++) {
        FabModelDelete(Bus->Drives[i]->pModel);
        ExFreePoolWithTag(Bus->Drives[i], FAB_TAG_DRIVE);
        Bus->Drives[i] = nullptr;
    }
    Bus->cDrives = 0;
}

/*++
Routine Description:
    The bus goes away: no request enters any more, the ones inside finish, then the control
    device, every PDO, every drive and path go, and the FDO follows the request down and leaves.
--*/
NTSTATUS FabRemoveBusp(PDEVICE_OBJECT DeviceObject, FabBus *Bus, PIRP Irp)
{
    // From here on no PDO joins the list (control requests check fRemoving under the mutex).
    ExAcquireFastMutex(&Bus->TopologyMutex);
    Bus->fRemoving = TRUE;
    // Held commands go on (and waiters for them stop waiting): the bus waits for them below.
    FabReleaseHeldLocked(Bus, FAB_SCOPE_ALL, 0);
    KeSetEvent(&Bus->HoldArrived, IO_NO_INCREMENT, FALSE);
    if (Bus->pControlDevice)
        FabCloseGatep(FabCommonOf(Bus->pControlDevice));
    for (PLIST_ENTRY e = Bus->PdoList.Flink; e != &Bus->PdoList; e = e->Flink)
        FabCloseGatep(FabPdoOfEntry(e));
    ExReleaseFastMutex(&Bus->TopologyMutex);
    FabLeave(Bus); // the bus's own reference
    KeWaitForSingleObject(&Bus->IdleEvent, Executive, KernelMode, FALSE, nullptr);

    if (Bus->pControlDevice) {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, FAB_CONTROL_LINK_NAME);
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(Bus->pControlDevice);
        Bus->pControlDevice = nullptr;
    }
    // The PnP manager removed the children before their parent; the PDOs it still references stay
    // as objects until it lets go of them.
    while (!IsListEmpty(&Bus->PdoList)) {
        FabPdo *pdo = FabPdoOfEntry(RemoveHeadList(&Bus->PdoList));
        if (pdo->pPath && pdo->pPath->pPdo == pdo->Self)
            pdo->pPath->pPdo = nullptr;
        FabSetState(pdo, FAB_DELETED);
        IoDeleteDevice(pdo->Self);
    }
    FabFreeWorldp(Bus);
    FabSetState(Bus, FAB_DELETED);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = FabForwardp(Bus, Irp);
    IoDetachDevice(Bus->pLowerDevice);
    IoDeleteDevice(DeviceObject);
    return status;
}

// Whether a former PDO of the path still waits for its REMOVE. The path's new PDO is not
// reported until then: two device nodes with one instance id would be a duplicate device.
BOOLEAN FabFormerPdoAlivep(FabBus *Bus, FabPath *Path)
{
    for (PLIST_ENTRY e = Bus->PdoList.Flink; e != &Bus->PdoList; e = e->Flink) {
        FabPdo *pdo = FabPdoOfEntry(e);
        if (pdo->pPath == Path && pdo->Self != Path->pPdo)
            return TRUE;
    }
    return FALSE;
}

// Whether the path's PDO goes into the bus relations. Called under the topology mutex.
BOOLEAN FabPathReportablep(FabBus *Bus, FabPath *Path)
{
    return !Path->fPulled && Path->pPdo && !FabFormerPdoAlivep(Bus, Path);
}

/*++
Routine Description:
    Answers BusRelations with the PDOs of the paths that are present, each referenced for the
    PnP manager, after the relations an upper driver may already have put in the request. A PDO
    that was reported before and whose path is pulled (or that no longer stands for its path) is
    marked reported missing: its REMOVE will delete it.
--*/
NTSTATUS FabQueryBusRelationsp(FabBus *Bus, PIRP Irp)
{
    auto *previous = (PDEVICE_RELATIONS)Irp->IoStatus.Information;
    ULONG previousCount = previous ? previous->Count : 0;

    ExAcquireFastMutex(&Bus->TopologyMutex);
    ULONG present = 0;
    for (ULONG i = 0; i < Bus->cPaths; i++)
        if (FabPathReportablep(Bus, Bus->Paths[i]))
            present++;
    ULONG total = previousCount + present;
    SIZE_T size = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + (total ? total : 1) * sizeof(PDEVICE_OBJECT);
    auto *relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, size, FAB_TAG_ID);
    if (!relations) {
        ExReleaseFastMutex(&Bus->TopologyMutex);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    relations->Count = 0;
    for (ULONG i = 0; i < previousCount; i++)
        relations->Objects[relations->Count++] = previous->Objects[i];
    for (ULONG i = 0; i < Bus->cPaths; i++) {
        FabPath *path = Bus->Paths[i];
        if (!FabPathReportablep(Bus, path))
            continue;
        ObReferenceObject(path->pPdo);
        relations->Objects[relations->Count++] = path->pPdo;
        auto *pdo = (FabPdo *)path->pPdo->DeviceExtension;
        pdo->fReported = TRUE;
    }
    for (PLIST_ENTRY e = Bus->PdoList.Flink; e != &Bus->PdoList; e = e->Flink) {
        FabPdo *pdo = FabPdoOfEntry(e);
        if (pdo->fReported && (pdo->pPath->fPulled || pdo->pPath->pPdo != pdo->Self))
            pdo->fReportedMissing = TRUE;
    }
    ExReleaseFastMutex(&Bus->TopologyMutex);

    if (previous)
        ExFreePool(previous);
    Irp->IoStatus.Information = (ULONG_PTR)relations;
    return STATUS_SUCCESS;
}

NTSTATUS FabFdoPnpp(PDEVICE_OBJECT DeviceObject, FabBus *Bus, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = FabForwardAndWaitp(Bus, Irp);
        if (NT_SUCCESS(status))
            FabSetState(Bus, FAB_STARTED);
        return FabCompleteRequest(Irp, status, Irp->IoStatus.Information);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type != BusRelations)
            break;
        status = FabQueryBusRelationsp(Bus, Irp);
        if (!NT_SUCCESS(status))
            return FabCompleteRequest(Irp, status, Irp->IoStatus.Information);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        FabSetState(Bus, FAB_STOP_PENDING);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (Bus->ulState == FAB_STOP_PENDING)
            Bus->ulState = Bus->ulPreviousState;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_STOP_DEVICE:
        // The fabric holds no hardware resources: nothing to give back.
        FabSetState(Bus, FAB_STOPPED);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        FabSetState(Bus, FAB_REMOVE_PENDING);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (Bus->ulState == FAB_REMOVE_PENDING)
            Bus->ulState = Bus->ulPreviousState;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        FabSetState(Bus, FAB_SURPRISE_REMOVED);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        return FabRemoveBusp(DeviceObject, Bus, Irp);
    default:
        break;
    }
    return FabForwardp(Bus, Irp);
}

// ---------------------------------------------------------------------------------------------
// Path PDOs
// ---------------------------------------------------------------------------------------------

// Identifiers are built in a fixed buffer and handed to the PnP manager as a pool copy.
struct FabIdText {
    WCHAR Text[320];
    ULONG Length;
    BOOLEAN fOverflow;
};

void FabIdAppendp(FabIdText *Id, PCSTR Ascii, ULONG PadTo = 0, BOOLEAN Escape = FALSE)
{
    ULONG n = 0;
    for (; Ascii[n]; n++) {
        CHAR c = Ascii[n];
        // Ids hold no spaces, commas or characters outside printable ASCII.
        if (Escape && (c <= ' ' || c > '~' || c == ','))
            c = '_';
        if (Id->Length + 1 >= RTL_NUMBER_OF(Id->Text)) {
            Id->fOverflow = TRUE;
            return;
        }
        Id->Text[Id->Length++] = (WCHAR)c;
    }
    for (; n < PadTo; n++) {
        if (Id->Length + 1 >= RTL_NUMBER_OF(Id->Text)) {
            Id->fOverflow = TRUE;
            return;
        }
        Id->Text[Id->Length++] = L'_';
    }
}

void FabIdAppendNumberp(FabIdText *Id, ULONG Value)
{
    CHAR digits[12];
    ULONG n = 0;
    do {
        digits[n++] = (CHAR)('0' + Value % 10);
        Value /= 10;
    } while (Value);
    CHAR text[12];
    for (ULONG i = 0; i < n; i++)
        text[i] = digits[n - 1 - i];
    text[n] = 0;
    FabIdAppendp(Id, text);
}

// Ends one string (of a multi-string, or the only one).
void FabIdEndp(FabIdText *Id)
{
    if (Id->Length + 1 > RTL_NUMBER_OF(Id->Text)) {
        Id->fOverflow = TRUE;
        return;
    }
    Id->Text[Id->Length++] = 0;
}

// The product identification as an id shows it: trailing blanks dropped, inner ones escaped.
void FabTrimmedProductp(const FabDriveConfig *Config, CHAR (&Product)[FAB_PRODUCT_CHARS + 1])
{
    ULONG n = 0;
    for (; n < FAB_PRODUCT_CHARS && Config->szProduct[n]; n++)
        Product[n] = Config->szProduct[n];
    while (n && Product[n - 1] == ' ')
        n--;
    Product[n] = 0;
}

NTSTATUS FabPdoQueryIdp(FabPdo *Pdo, PIRP Irp, BUS_QUERY_ID_TYPE Type)
{
    FabBus *bus = Pdo->pBus;
    FabPath *path = Pdo->pPath;
    FabDriveConfig config;
    ExAcquireFastMutex(&bus->TopologyMutex);
    config = bus->Drives[path->DriveIndex]->Config;
    // The device type names the class package that matches: "Sequential" for tape drives,
    // "Changer" for medium changers.
    BOOLEAN changer = bus->Drives[path->DriveIndex]->Kind == FAB_DEVICE_CHANGER;
    ExReleaseFastMutex(&bus->TopologyMutex);
    PCSTR kind = changer ? "SCSI\\Changer" : "SCSI\\Sequential";
    CHAR product[FAB_PRODUCT_CHARS + 1];
    FabTrimmedProductp(&config, product);

    auto *id = (FabIdText *)ExAllocatePoolWithTag(NonPagedPool, sizeof(FabIdText), FAB_TAG_SCRATCH);
    if (!id)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(id, sizeof(FabIdText));
    NTSTATUS status = STATUS_SUCCESS;
    switch (Type) {
    case BusQueryDeviceID:
        FabIdAppendp(id, kind);
        FabIdAppendp(id, "&Ven_VYR&Prod_");
        FabIdAppendp(id, product, 0, TRUE);
        FabIdEndp(id);
        break;
    case BusQueryHardwareIDs:
        // Most specific first; vendor, product and revision padded to 8, 16 and 4 characters.
        FabIdAppendp(id, kind);
        FabIdAppendp(id, "VYR_____");
        FabIdAppendp(id, product, FAB_PRODUCT_CHARS, TRUE);
        FabIdAppendp(id, config.szRevision, FAB_REVISION_CHARS, TRUE);
        FabIdEndp(id);
        FabIdAppendp(id, kind);
        FabIdAppendp(id, "VYR_____");
        FabIdAppendp(id, product, FAB_PRODUCT_CHARS, TRUE);
        FabIdEndp(id);
        FabIdAppendp(id, kind);
        FabIdAppendp(id, "VYR_____");
        FabIdEndp(id);
        FabIdAppendp(id, "SCSI\\VYR_____");
        FabIdAppendp(id, product, FAB_PRODUCT_CHARS, TRUE);
        FabIdEndp(id);
        FabIdAppendp(id, changer ? "GenChanger" : "GenSequential");
        FabIdEndp(id);
        FabIdEndp(id);
        break;
    case BusQueryCompatibleIDs:
        FabIdAppendp(id, kind);
        FabIdEndp(id);
        FabIdAppendp(id, "SCSI\\RAW");
        FabIdEndp(id);
        FabIdEndp(id);
        break;
    case BusQueryInstanceID:
        FabIdAppendNumberp(id, path->PortNumber);
        FabIdAppendp(id, "&");
        FabIdAppendNumberp(id, path->PathId);
        FabIdAppendp(id, "&");
        FabIdAppendNumberp(id, path->TargetId);
        FabIdAppendp(id, "&");
        FabIdAppendNumberp(id, path->Lun);
        FabIdEndp(id);
        break;
    default:
        status = Irp->IoStatus.Status;
        goto Done;
    }
    if (id->fOverflow) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Done;
    }
    {
        auto *text = (PWCHAR)ExAllocatePoolWithTag(PagedPool, id->Length * sizeof(WCHAR), FAB_TAG_ID);
        if (!text) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            goto Done;
        }
        RtlCopyMemory(text, id->Text, id->Length * sizeof(WCHAR));
        Irp->IoStatus.Information = (ULONG_PTR)text;
    }
Done:
    ExFreePoolWithTag(id, FAB_TAG_SCRATCH);
    return status;
}

// Flags of DEVICE_CAPABILITIES are bit fields on Windows; the host face has none to set.
inline void FabMarkSurpriseRemovalOkp(PDEVICE_CAPABILITIES Capabilities)
{
#if defined(_WIN32)
    Capabilities->Removable = TRUE;
    Capabilities->SurpriseRemovalOK = TRUE;
#else
    UNREFERENCED_PARAMETER(Capabilities);
#endif
}

NTSTATUS FabPdoQueryCapabilitiesp(FabPdo *Pdo, PIRP Irp)
{
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (!caps || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
        return STATUS_UNSUCCESSFUL;
    FabPath *path = Pdo->pPath;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (ULONG s = PowerSystemSleeping1; s < PowerSystemMaximum; s++)
        caps->DeviceState[s] = PowerDeviceD3;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    caps->D1Latency = caps->D2Latency = caps->D3Latency = 0;
    caps->Address = ((ULONG)path->PathId << 16) | ((ULONG)path->TargetId << 8) | path->Lun;
    caps->UINumber = path->Index;
    FabMarkSurpriseRemovalOkp(caps);
    return STATUS_SUCCESS;
}

NTSTATUS FabPdoTargetRelationp(FabPdo *Pdo, PIRP Irp)
{
    auto *relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), FAB_TAG_ID);
    if (!relations)
        return STATUS_INSUFFICIENT_RESOURCES;
    ObReferenceObject(Pdo->Self);
    relations->Count = 1;
    relations->Objects[0] = Pdo->Self;
    Irp->IoStatus.Information = (ULONG_PTR)relations;
    return STATUS_SUCCESS;
}

/*++
Routine Description:
    REMOVE of a path PDO. A PDO that was reported missing (its path pulled, or replaced by a newer
    PDO) is deleted; one whose path is still on the bus stays until the path leaves or the bus
    goes away.
--*/
NTSTATUS FabPdoRemovep(FabPdo *Pdo)
{
    FabBus *bus = Pdo->pBus;
    FabPath *path = Pdo->pPath;
    BOOLEAN successorWaits = FALSE;
    ExAcquireFastMutex(&bus->TopologyMutex);
    BOOLEAN remove = Pdo->fReportedMissing;
    if (remove) {
        RemoveEntryList(&Pdo->Link.Entry);
        if (path->pPdo == Pdo->Self)
            path->pPdo = nullptr;
        successorWaits = FabPathReportablep(bus, path);
    }
    ExReleaseFastMutex(&bus->TopologyMutex);
    if (!remove) {
        FabSetState(Pdo, FAB_NOT_STARTED);
        return STATUS_SUCCESS;
    }
    FabSetState(Pdo, FAB_DELETED);
    FabCloseGatep(Pdo);
    IoDeleteDevice(Pdo->Self);
    // A path brought back while this PDO waited for its REMOVE can be reported now.
    if (successorWaits)
        IoInvalidateDeviceRelations(bus->pPhysicalDevice, BusRelations);
    return STATUS_SUCCESS;
}

NTSTATUS FabPdoPnpp(FabPdo *Pdo, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    FabBus *bus = Pdo->pBus;
    if (!FabEnter(Pdo)) {
        // The bus went first and took the PDO with it: nothing is left to do.
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE || stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL)
            status = STATUS_SUCCESS;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        FabSetState(Pdo, FAB_STARTED);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        FabSetState(Pdo, FAB_STOP_PENDING);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (Pdo->ulState == FAB_STOP_PENDING)
            Pdo->ulState = Pdo->ulPreviousState;
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_STOP_DEVICE:
        FabSetState(Pdo, FAB_STOPPED);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        FabSetState(Pdo, FAB_REMOVE_PENDING);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (Pdo->ulState == FAB_REMOVE_PENDING)
            Pdo->ulState = Pdo->ulPreviousState;
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        FabSetState(Pdo, FAB_SURPRISE_REMOVED);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        status = FabPdoRemovep(Pdo);
        break;
    case IRP_MN_QUERY_ID:
        status = FabPdoQueryIdp(Pdo, Irp, stack->Parameters.QueryId.IdType);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = FabPdoQueryCapabilitiesp(Pdo, Irp);
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation)
            status = FabPdoTargetRelationp(Pdo, Irp);
        break;
    default:
        break;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    FabLeave(bus);
    return status;
}

} // namespace

/*++
Routine Description:
    Creates the bus FDO and the control device, and attaches the FDO to the root-enumerated PDO.
    A step that fails undoes the ones before it.
--*/
NTSTATUS FabAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(FabBus), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    auto *bus = (FabBus *)fdo->DeviceExtension;
    RtlZeroMemory(bus, sizeof(FabBus));
    FabInitCommonp(bus, fdo, bus, TRUE, FALSE);
    bus->pPhysicalDevice = PhysicalDeviceObject;
    bus->lActive = 1;
    KeInitializeEvent(&bus->IdleEvent, NotificationEvent, FALSE);
    ExInitializeFastMutex(&bus->TopologyMutex);
    InitializeListHead(&bus->PdoList);
    InitializeListHead(&bus->HeldList);
    KeInitializeEvent(&bus->HoldArrived, NotificationEvent, FALSE);

    status = FabCreateControlDevicep(bus, DriverObject);
    if (!NT_SUCCESS(status))
        goto DeleteFdo;
    bus->pLowerDevice = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (!bus->pLowerDevice) {
        status = STATUS_NO_SUCH_DEVICE;
        goto DeleteControl;
    }
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;

DeleteControl: {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, FAB_CONTROL_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(bus->pControlDevice);
}
DeleteFdo:
    IoDeleteDevice(fdo);
    return status;
}

NTSTATUS FabDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FabCommon *common = FabCommonOf(DeviceObject);
    if (common->fFdo)
        return FabFdoPnpp(DeviceObject, (FabBus *)common, Irp);
    if (common->fControl) {
        // The control device is no Plug and Play device.
        NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    return FabPdoPnpp((FabPdo *)common, Irp);
}

NTSTATUS FabDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FabCommon *common = FabCommonOf(DeviceObject);
    PoStartNextPowerIrp(Irp);
    if (common->fFdo) {
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(((FabBus *)common)->pLowerDevice, Irp);
    }
    NTSTATUS status = Irp->IoStatus.Status;
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    if (!common->fControl && (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER))
        status = STATUS_SUCCESS;
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/*++
Routine Description:
    Creates the PDO of a path, not yet linked into the bus's PDO list nor reported. Runs at
    PASSIVE_LEVEL without the topology mutex.
--*/
NTSTATUS FabCreatePathPdo(FabBus *Bus, FabPath *Path, PDEVICE_OBJECT *Pdo)
{
    *Pdo = nullptr;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(Bus->Self->DriverObject, sizeof(FabPdo), nullptr, FILE_DEVICE_MASS_STORAGE,
                                     FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    auto *pdo = (FabPdo *)device->DeviceExtension;
    RtlZeroMemory(pdo, sizeof(FabPdo));
    FabInitCommonp(pdo, device, Bus, FALSE, FALSE);
    InitializeListHead(&pdo->Link.Entry);
    pdo->Link.pPdo = pdo;
    pdo->pPath = Path;
    pdo->ulNumber = (ULONG)InterlockedIncrement(&Bus->lNextPdoNumber);
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    *Pdo = device;
    return STATUS_SUCCESS;
}

void FabDeleteUnlinkedPdo(PDEVICE_OBJECT Pdo)
{
    IoDeleteDevice(Pdo);
}
