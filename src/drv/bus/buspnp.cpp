// The bus FDO: creation, settings, Plug and Play, power and system control.
#include "bus.h"

namespace {

IO_COMPLETION_ROUTINE BusSignalCompletion;

NTSTATUS BusSignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the request to the lower device and waits for it; the request comes back to us.
NTSTATUS BusForwardAndWait(BusExtension *Bus, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, BusSignalCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Bus->pLowerDevice, Irp);
    if (status == STATUS_PENDING || (status >= 1 && status <= 3)) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS BusForward(BusExtension *Bus, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Bus->pLowerDevice, Irp);
}

void BusTakeReference(BusExtension *Bus)
{
    ExAcquireFastMutex(&Bus->RefMutex);
    if (++Bus->lOutstanding == 2)
        KeClearEvent(&Bus->IdleEvent);
    ExReleaseFastMutex(&Bus->RefMutex);
}

void BusDropReference(BusExtension *Bus)
{
    ExAcquireFastMutex(&Bus->RefMutex);
    LONG left = --Bus->lOutstanding;
    if (left == 1)
        KeSetEvent(&Bus->IdleEvent, IO_NO_INCREMENT, FALSE);
    if (left < 1)
        KeSetEvent(&Bus->RemovedEvent, IO_NO_INCREMENT, FALSE);
    ExReleaseFastMutex(&Bus->RefMutex);
}

NTSTATUS BusRemoveDevice(PDEVICE_OBJECT DeviceObject, BusExtension *Bus, PIRP Irp)
{
    // Ports, paths, logical devices (objects, links, workers, queued requests) and the
    // persistent-name table: nothing of them may outlive the bus.
    BusDisposeAll(Bus);

    // This request's reference and the base reference; then wait for everyone else's.
    ExAcquireFastMutex(&Bus->PnpMutex);
    BusDropReference(Bus);
    BusDropReference(Bus);
    ExReleaseFastMutex(&Bus->PnpMutex);
    KeWaitForSingleObject(&Bus->RemovedEvent, Executive, KernelMode, FALSE, nullptr);
    BusSetState(Bus, PNP_ABSENT);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = BusForward(Bus, Irp);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, Bus->pszLinkName);
    IoDeleteSymbolicLink(&link);
    IoDetachDevice(Bus->pLowerDevice);
    IoDeleteDevice(DeviceObject);
    return status;
}

} // namespace

PDRIVER_OBJECT BusDriverObject;

/*++
Routine Description:
    Reads the bus settings from the driver's service key. A missing value (or key) counts as 0.
--*/
NTSTATUS BusReadSettings(BusExtension *Bus)
{
    ULONG failoverDisabled = 0, failoverEvents = 0, persistentNaming = 0;
    RTL_QUERY_REGISTRY_TABLE table[4];
    RtlZeroMemory(table, sizeof(table));
    const ULONG direct = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    const ULONG dwordCheck = (ULONG)REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    table[0].Flags = direct;
    table[0].Name = (PWSTR)L"FailoverDisabled";
    table[0].EntryContext = &failoverDisabled;
    table[0].DefaultType = dwordCheck;
    table[1].Flags = direct;
    table[1].Name = (PWSTR)L"FailoverEventsEnabled";
    table[1].EntryContext = &failoverEvents;
    table[1].DefaultType = dwordCheck;
    if constexpr (!VYR_BUS_CHANGER) { // changers are numbered in creation order only
        table[2].Flags = direct;
        table[2].Name = (PWSTR)L"PersistentNaming";
        table[2].EntryContext = &persistentNaming;
        table[2].DefaultType = dwordCheck;
    }
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, VYR_BUS_SERVICE_KEY, table,
                                             nullptr, nullptr);
    Bus->fFailoverDisabled = failoverDisabled != 0;
    Bus->fFailoverEventsEnabled = failoverEvents != 0;
    Bus->fPersistentNaming = persistentNaming != 0;
    return status;
}

/*++
Routine Description:
    Creates the bus FDO, which is also the control device, with its link, and attaches it to the
    root-enumerated PDO. A step that fails undoes the ones before it.
--*/
NTSTATUS BusAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, VYR_BUS_DEVICE_NAME);
    RtlInitUnicodeString(&link, VYR_BUS_LINK_NAME);
    PDEVICE_OBJECT fdo = nullptr;
    BusExtension *bus = nullptr;
    WCHAR text1[24], text2[24];

    NTSTATUS status = IoCreateDevice(DriverObject, BUS_EXTENSION_SIZE, &name, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        goto Failed;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status))
        goto DeleteDevice;

    bus = (BusExtension *)fdo->DeviceExtension;
    RtlZeroMemory(bus, BUS_EXTENSION_SIZE);
    bus->fFdo = TRUE;
    bus->ulState = PNP_NOT_STARTED;
    bus->ulPreviousState = PNP_NOT_STARTED;
    bus->pPhysicalDevice = PhysicalDeviceObject;
    bus->pszLinkName = VYR_BUS_LINK_NAME;
    bus->lOutstanding = 1;
    KeInitializeEvent(&bus->IdleEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&bus->RemovedEvent, NotificationEvent, FALSE);
    ExInitializeFastMutex(&bus->RefMutex);
    ExInitializeFastMutex(&bus->PnpMutex);
    bus->pStatusTable = (StatusStructBlock *)IoGetDriverObjectExtension(DriverObject, VYR_STATUS_TABLE_CLIENT_ID);
    KeInitializeSpinLock(&bus->PortLock);
    bus->fPortCounting = VYR_BUS_CHANGER ? 0 : 1;

    bus->pLowerDevice = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (!bus->pLowerDevice) {
        status = STATUS_NO_SUCH_DEVICE;
        goto DeleteLink;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    BusDriverObject = DriverObject;

    _snwprintf(text1, RTL_NUMBER_OF(text1), L"0x%p", (PVOID)DriverObject);
    _snwprintf(text2, RTL_NUMBER_OF(text2), L"0x%p", (PVOID)fdo);
    text1[RTL_NUMBER_OF(text1) - 1] = text2[RTL_NUMBER_OF(text2) - 1] = 0;
    LogBusEvent(DriverObject, nullptr, VYR_EVT_BUS_STARTED, text1, text2);
    return STATUS_SUCCESS;

DeleteLink:
    IoDeleteSymbolicLink(&link);
DeleteDevice:
    // A half-made control device would only make the path filters fail later: take it down.
    IoDeleteDevice(fdo);
Failed:
    BusFormatStatus(text1, RTL_NUMBER_OF(text1), status);
    LogBusEvent(DriverObject, nullptr, VYR_EVT_INIT_FAILED, text1, nullptr);
    return status;
}

NTSTATUS BusDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CommonExtension *common = BusCommon(DeviceObject);
    if (!common->fFdo)
        return BusLogicalPnp(DeviceObject, Irp);
    auto *bus = (BusExtension *)common;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    ExAcquireFastMutex(&bus->PnpMutex);
    BusTakeReference(bus);
    ExReleaseFastMutex(&bus->PnpMutex);

    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = BusForwardAndWait(bus, Irp);
        // Settings are read even when the lower driver failed the start.
        BusReadSettings(bus);
        if constexpr (!VYR_BUS_CHANGER) // changers are numbered in creation order only
            BusLoadPersistentNames(bus);
        BusSetState(bus, PNP_STARTED);
        BusCompleteRequest(Irp, status, Irp->IoStatus.Information);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        BusSetState(bus, PNP_REMOVE_PENDING);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        status = BusForward(bus, Irp);
        break;
    case IRP_MN_REMOVE_DEVICE:
        return BusRemoveDevice(DeviceObject, bus, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = BusForwardAndWait(bus, Irp);
        if (bus->ulState == PNP_REMOVE_PENDING)
            bus->ulState = bus->ulPreviousState;
        BusCompleteRequest(Irp, status, Irp->IoStatus.Information);
        break;
    case IRP_MN_STOP_DEVICE:
        // Wait until no other request holds a reference, then stop.
        BusDropReference(bus);
        KeWaitForSingleObject(&bus->IdleEvent, Executive, KernelMode, FALSE, nullptr);
        BusTakeReference(bus);
        BusSetState(bus, PNP_STOPPED);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        status = BusForward(bus, Irp);
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        BusSetState(bus, PNP_STOP_PENDING);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        status = BusForward(bus, Irp);
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        status = BusForwardAndWait(bus, Irp);
        if (bus->ulState == PNP_STOP_PENDING)
            bus->ulState = bus->ulPreviousState;
        BusCompleteRequest(Irp, status, Irp->IoStatus.Information);
        break;
    default:
        // Bus relations included: logical devices are not reported to the PnP manager.
        status = BusForward(bus, Irp);
        break;
    }
    BusDropReference(bus);
    return status;
}

NTSTATUS BusDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CommonExtension *common = BusCommon(DeviceObject);
    PoStartNextPowerIrp(Irp);
    if (common->ulState == PNP_ABSENT)
        return BusCompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    if (!common->fFdo)
        return BusCompleteRequest(Irp, STATUS_SUCCESS, 0);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(((BusExtension *)common)->pLowerDevice, Irp);
}

NTSTATUS BusDispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CommonExtension *common = BusCommon(DeviceObject);
    if (!common->fFdo)
        return BusCompleteRequest(Irp, STATUS_SUCCESS, 0);
    return BusForward((BusExtension *)common, Irp);
}
