// Requests on a path: the dispatch routines other than Plug and Play and power, the synchronous
// device-control sender, the messages to the bus, the search of the bus's StatusStructTable and
// the start-time hand-over of that table to the class driver.
#include "filter.h"

namespace {

NTSTATUS FltpPassDown(FilterExtension *pExt, PIRP pIrp)
{
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(pExt->pLowerDevice, pIrp);
}

#if FLT_TRACK_REQUESTS
/*++
Routine Description:
    The status-block step of a request on the path. A request from the bus carries a ScsiStatus
    block; when its first two words are not both 0 the class driver first brings the path into
    the state the block describes (IOC_APPLY_SCSI_STATUS). A failure there ends the request: the
    block tells the bus the previous reservation could not be broken, and the class driver never
    sees the request. Otherwise the request goes down.

Arguments:
    szOperation - "<routine>: FltSendIoctlSync", for the failure line.
    szBlockTrace - a format with one %x for the block's address, or null.

Return Value:
    The pass-down status, or the failure of IOC_APPLY_SCSI_STATUS.
--*/
NTSTATUS FltpApplyScsiStatus(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, const char *szOperation,
                             const char *szBlockTrace)
{
    FilterExtension *pExt = FltExt(pDeviceObject);
    ScsiStatus *pScsiStatus = FltFindScsiStatus(pExt->pBusExt, pIrp);
    if (szBlockTrace)
        FLT_TRACE(szBlockTrace, FLT_PTR(pScsiStatus));

    // The class driver gets a copy: the block itself belongs to the request in flight.
    ScsiStatus copy;
    RtlZeroMemory(&copy, sizeof(copy));
    if (pScsiStatus)
        RtlCopyMemory(&copy, pScsiStatus, sizeof(copy));
    const ULONG *words = (const ULONG *)&copy;
    if (words[0] == 0 && words[1] == 0)
        return FltpPassDown(pExt, pIrp);

    NTSTATUS status = FltSendIoctlSync(pDeviceObject, pExt->pLowerDevice, IOC_APPLY_SCSI_STATUS, &copy, sizeof(copy),
                                       nullptr, 0);
    if (!NT_SUCCESS(status)) {
        pScsiStatus->ReservationOutcome = STATUS_ACCESS_DENIED;
        pScsiStatus->Zero4 = 0;
        FLT_TRACE_FAILURE(szOperation, status);
        pIrp->IoStatus.Status = status;
        pIrp->IoStatus.Information = 0;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        return status;
    }
    // Informational answers count as success: the path is in the state the block asked for.
    pScsiStatus->ReservationOutcome = STATUS_SUCCESS;
    pScsiStatus->Zero4 = 0;
    return FltpPassDown(pExt, pIrp);
}
#endif

// The common body of read, write, internal device control and system control.
NTSTATUS FltpDispatchOnPath(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, const char *szOperation)
{
    FilterExtension *pExt = FltExt(pDeviceObject);
    NTSTATUS status;
    FltCountEntry(pExt, pDeviceObject);
#if FLT_TRACK_REQUESTS
    if (pExt->fFailover)
        status = FltpApplyScsiStatus(pDeviceObject, pIrp, szOperation, nullptr);
    else
#endif
        status = FltpPassDown(pExt, pIrp);
    FltCountExit(pExt, pDeviceObject);
    return status;
}

} // namespace

NTSTATUS FltSendIoctlSync(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT pTarget, ULONG ulIoctl, PVOID pInBuffer,
                          ULONG ulInLength, PVOID pOutBuffer, ULONG ulOutLength)
{
    FLT_TRACE_ENTRY("FltSendIoctlSync: pDeviceObject 0x%08x, pTarget 0x%08x, ulIoctl 0x%08x, pInBuffer 0x%08x, "
                    "ulInLength %u, pOutBuffer 0x%08x, ulOutLength %u\n",
                    FLT_PTR(pDeviceObject), FLT_PTR(pTarget), (unsigned)ulIoctl, FLT_PTR(pInBuffer),
                    (unsigned)ulInLength, FLT_PTR(pOutBuffer), (unsigned)ulOutLength);
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    RtlZeroMemory(&ioStatus, sizeof(ioStatus));

    NTSTATUS status;
    PIRP pIrp = IoBuildDeviceIoControlRequest(ulIoctl, pTarget, pInBuffer, ulInLength, pOutBuffer, ulOutLength, FALSE,
                                              &event, &ioStatus);
    if (!pIrp) {
        FLT_TRACE_NULL("FltSendIoctlSync: pIrp");
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        status = IoCallDriver(pTarget, pIrp);
        if ((status >= STATUS_WAIT_1 && status <= STATUS_WAIT_3) || status == STATUS_PENDING) {
            FLT_TRACE("FltSendIoctlSync: IoCallDriver returned %s.  Waiting...\n", CmnStatusName(status));
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            // Both builds take the final status: a request that went pending and then failed
            // must not read as success.
            status = ioStatus.Status;
        } else {
            FLT_TRACE("FltSendIoctlSync: IoCallDriver returned 0x%08x\n", (unsigned)status);
        }
    }
    FLT_TRACE_EXIT("FltSendIoctlSync: status 0x%08x\n", (unsigned)status);
    return status;
}

NTSTATUS FltRegisterDevice(PDEVICE_OBJECT pDeviceObject)
{
    FLT_TRACE_ENTRY("FltRegisterDevice: pDeviceObject 0x%08x\n", FLT_PTR(pDeviceObject));
    FilterExtension *pExt = FltExt(pDeviceObject);
    FltRegistrationRecord registration;
    RtlZeroMemory(&registration, sizeof(registration));
    registration.fFailover = pExt->fFailover;
    RtlCopyMemory(registration.szSerialNumber, pExt->szSerialNumber, FLT_SERIAL_NUMBER_LENGTH);
    RtlCopyMemory(&registration.Address, &pExt->ScsiAddress, sizeof(registration.Address));
    registration.pPathDevice = (ULONG64)(ULONG_PTR)pDeviceObject;
    registration.ulState = pExt->ulPnpState;
#if FLT_PROBE_IDENTITY
    RtlCopyMemory(registration.szWwnn, pExt->szWwnn, FLT_WWNN_LENGTH);
    registration.fExclusiveAccess = pExt->fExclusiveAccess;
    registration.fPersistentNaming = pExt->fPersistentNaming;
    registration.fKeyManagement = pExt->fKeyManagement;
#endif

    NTSTATUS status = FltSendIoctlSync(pDeviceObject, g_pBusDeviceObject, FLT_IOCTL_REGISTER_PATH, &registration,
                                       sizeof(registration), &registration, sizeof(registration));
    // The bus writes its answer only when it accepted the path; the record went out zeroed.
    pExt->pBusExt = (PVOID)(ULONG_PTR)registration.pStatusTable;
    pExt->ulLogicalDeviceNumber = registration.ulDeviceNumber;
    FLT_TRACE("FltRegisterDevice: pBusExt 0x%08x, logical device %u\n", FLT_PTR(pExt->pBusExt),
              (unsigned)pExt->ulLogicalDeviceNumber);
    FLT_TRACE_EXIT("FltRegisterDevice: status 0x%08x\n", (unsigned)status);
    return status;
}

NTSTATUS FltNotifyPnp(PDEVICE_OBJECT pDeviceObject)
{
    FilterExtension *pExt = FltExt(pDeviceObject);
    FLT_TRACE_ENTRY("FltNotifyPnp: pDeviceObject 0x%08x, state %u\n", FLT_PTR(pDeviceObject),
                    (unsigned)pExt->ulPnpState);
    FltNotificationRecord notification;
    RtlZeroMemory(&notification, sizeof(notification));
#if VYR_BUILD_CHANGER
    notification.pPathDevice = (ULONG64)(ULONG_PTR)pDeviceObject;
    notification.ulState = pExt->ulPnpState;
#else
    notification.ulOperation = PATH_NOTIFY_STATE;
    notification.pPathDevice = (ULONG64)(ULONG_PTR)pDeviceObject;
    notification.ulValue = pExt->ulPnpState;
#endif
    NTSTATUS status = FltSendIoctlSync(pDeviceObject, g_pBusDeviceObject, FLT_IOCTL_NOTIFY_PATH, &notification,
                                       sizeof(notification), &notification, sizeof(notification));
    FLT_TRACE_EXIT("FltNotifyPnp: status 0x%08x\n", (unsigned)status);
    return status;
}

#if FLT_TRACK_REQUESTS
NTSTATUS FltNotifyIo(PDEVICE_OBJECT pDeviceObject, ULONG ulValue)
{
    FLT_TRACE_ENTRY("FltNotifyIo: pDeviceObject 0x%08x, ulValue %u\n", FLT_PTR(pDeviceObject), (unsigned)ulValue);
    PathNotification notification;
    RtlZeroMemory(&notification, sizeof(notification));
    notification.ulOperation = PATH_NOTIFY_OPEN_CLOSE;
    notification.pPathDevice = (ULONG64)(ULONG_PTR)pDeviceObject;
    notification.ulValue = ulValue;
    NTSTATUS status = FltSendIoctlSync(pDeviceObject, g_pBusDeviceObject, FLT_IOCTL_NOTIFY_PATH, &notification,
                                       sizeof(notification), &notification, sizeof(notification));
    FLT_TRACE_EXIT("FltNotifyIo: status 0x%08x\n", (unsigned)status);
    return status;
}
#endif

NTSTATUS FltSetExtInBase(PDEVICE_OBJECT pDeviceObject, PVOID pBusExt)
{
    FLT_TRACE_ENTRY("FltSetExtInBase: pDeviceObject 0x%08x, pBusExt 0x%08x\n", FLT_PTR(pDeviceObject),
                    FLT_PTR(pBusExt));
    ULONG64 table = (ULONG64)(ULONG_PTR)pBusExt;
    NTSTATUS status = FltSendIoctlSync(pDeviceObject, FltExt(pDeviceObject)->pLowerDevice, FLT_IOC_SET_STATUS_TABLE,
                                       &table, sizeof(table), &table, sizeof(table));
    FLT_TRACE_EXIT("FltSetExtInBase: status 0x%08x\n", (unsigned)status);
    return status;
}

/*++
Routine Description:
    Looks a request up in the bus's StatusStructTable. Takes no lock: the bus inserts a request
    before sending it down this path and removes it only after it has come back.

Return Value:
    The request's ScsiStatus block, or null (also for a null table).
--*/
ScsiStatus *FltFindScsiStatus(PVOID pBusExt, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltFindScsiStatus: pBusExt 0x%08x, pIrp 0x%08x\n", FLT_PTR(pBusExt), FLT_PTR(pIrp));
    ScsiStatus *pScsiStatus = nullptr;
    int searched = 0;
    for (auto *pBlock = (const StatusStructBlock *)pBusExt; pBlock && !pScsiStatus;
         pBlock = (const StatusStructBlock *)(ULONG_PTR)pBlock->pNext) {
        searched = VYR_STATUS_TABLE_SLOTS;
        ULONG64 occupancy = pBlock->ulOccupancy;
        for (ULONG i = 0; i < VYR_STATUS_TABLE_SLOTS; i++) {
            if (((occupancy >> i) & 1) && pBlock->Slots[i].pIrp == (ULONG64)(ULONG_PTR)pIrp) {
                FLT_TRACE("STATUS_STRUCT_ALLOCATED found irp 0x%08x at index %d\n", FLT_PTR(pIrp), (int)i);
                pScsiStatus = (ScsiStatus *)(ULONG_PTR)pBlock->Slots[i].pScsiStatus;
                break;
            }
        }
    }
    if (!pScsiStatus)
        FLT_TRACE("STATUS_STRUCT_ALLOCTED did not find irp 0x%08x.  Searched %d indexes\n", FLT_PTR(pIrp), searched);
    FLT_TRACE_EXIT("FltFindScsiStatus: pScsiStatus 0x%08x\n", FLT_PTR(pScsiStatus));
    return pScsiStatus;
}

/*++
Routine Description:
    Lends the bus's StatusStructTable to the class driver (IOC_SET_STATUS_TABLE). While that
    request runs, slot 0 of the first block points to the logical device number and (tape build)
    slot 1 to the filter device object. Hand-overs of different paths run one at a time, since
    they all use the same slots.

Return Value:
    STATUS_SUCCESS, or STATUS_INSUFFICIENT_RESOURCES when the number could not be stored (nothing
    is handed over then). The class driver's answer is only traced.
--*/
NTSTATUS FltHandOverTable(PDEVICE_OBJECT pDeviceObject)
{
    FilterExtension *pExt = FltExt(pDeviceObject);
    FLT_TRACE_ENTRY("FltHandOverTable: pDeviceObject 0x%08x, pBusExt 0x%08x\n", FLT_PTR(pDeviceObject),
                    FLT_PTR(pExt->pBusExt));
    auto *pTable = (StatusStructBlock *)pExt->pBusExt;
    ULONG64 slotBits = 1ull << FLT_HANDOVER_NUMBER_SLOT;
#if FLT_HANDOVER_DEVICE_SLOT_USED
    slotBits |= 1ull << FLT_HANDOVER_DEVICE_SLOT;
#endif
    NTSTATUS status = STATUS_SUCCESS;

    KeWaitForSingleObject(&g_HandOverLock, Executive, KernelMode, FALSE, nullptr);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&pTable->Lock);
    auto *pNumber = (PULONG)ExAllocatePoolWithTag(NonPagedPool, sizeof(ULONG), VYR_TAG_FILTER);
    if (!pNumber) {
        KeReleaseSpinLock(&pTable->Lock, irql);
        FLT_TRACE_NULL("FltIrpMnStartDevice: pLogicalDeviceNumber");
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        *pNumber = pExt->ulLogicalDeviceNumber;
        pTable->Slots[FLT_HANDOVER_NUMBER_SLOT].pScsiStatus = (ULONG64)(ULONG_PTR)pNumber;
#if FLT_HANDOVER_DEVICE_SLOT_USED
        pTable->Slots[FLT_HANDOVER_DEVICE_SLOT].pScsiStatus = (ULONG64)(ULONG_PTR)pDeviceObject;
#endif
        pTable->ulOccupancy |= slotBits;
        KeReleaseSpinLock(&pTable->Lock, irql);

        NTSTATUS setStatus = FltSetExtInBase(pDeviceObject, pExt->pBusExt);
        FLT_TRACE("FltIrpMnStartDevice: FltSetExtInBase returned 0x%08x\n", (unsigned)setStatus);

        // The slots stop pointing at the number before it is freed.
        irql = KeAcquireSpinLockRaiseToDpc(&pTable->Lock);
        pTable->Slots[FLT_HANDOVER_NUMBER_SLOT].pScsiStatus = 0;
#if FLT_HANDOVER_DEVICE_SLOT_USED
        pTable->Slots[FLT_HANDOVER_DEVICE_SLOT].pScsiStatus = 0;
#endif
        pTable->ulOccupancy &= ~slotBits;
        KeReleaseSpinLock(&pTable->Lock, irql);
        ExFreePoolWithTag(pNumber, VYR_TAG_FILTER);
    }
    KeSetEvent(&g_HandOverLock, IO_NO_INCREMENT, FALSE);

    FLT_TRACE_EXIT("FltHandOverTable: status 0x%08x\n", (unsigned)status);
    return status;
}

// ---------------------------------------------------------------------------------------------
// Dispatch routines
// ---------------------------------------------------------------------------------------------

#if FLT_TRACK_REQUESTS

NTSTATUS FltDispatchCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltDispatchCreate: pDeviceObject 0x%08x - 0x%x, pIrp 0x%08x, Version %s Built %s, %s\n",
                    FLT_PTR(pDeviceObject), FLT_PTR(PsGetCurrentProcessId()), FLT_PTR(pIrp), FLT_VERSION_TEXT,
                    __DATE__, __TIME__);
    FilterExtension *pExt = FltExt(pDeviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN fOpenNoticed = FALSE;
    BOOLEAN fPassedDown = FALSE;

    // An open the bus did not issue is counted by the bus against the logical device, which may
    // refuse it (exclusive access).
    if (!FltFindScsiStatus(pExt->pBusExt, pIrp)) {
        status = FltNotifyIo(pDeviceObject, IO_OPEN_REQ);
        if (!NT_SUCCESS(status)) {
            FLT_TRACE("FltDispatchCreate: bus driver returned 0x%08x.  Cannot open device.\n", (unsigned)status);
            pIrp->IoStatus.Status = status;
            pIrp->IoStatus.Information = 0;
            IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        } else {
            fOpenNoticed = TRUE;
        }
    }
    if (NT_SUCCESS(status)) {
        FltCountEntry(pExt, pDeviceObject);
        status = FltpPassDown(pExt, pIrp);
        fPassedDown = TRUE;
        FltCountExit(pExt, pDeviceObject);
    }
    if (pExt->ulIoCount <= 0)
        KeSetEvent(&pExt->RemoveEvent, IO_NO_INCREMENT, FALSE);

    // The class driver refused an open the bus has already counted: give the count back.
    if (fOpenNoticed && fPassedDown && !NT_SUCCESS(status)) {
        FLT_TRACE("FltDispatchCreate: Open failed, attempting to remove open counter.\n");
        NTSTATUS closeStatus = FltNotifyIo(pDeviceObject, IO_CLOSE_REQ);
        if (!NT_SUCCESS(closeStatus))
            FLT_TRACE("FltDispatchCreate: bus driver returned 0x%08x.  DEVICE OBJECT LEFT OPEN!!!\n",
                      (unsigned)closeStatus);
    }
    FLT_TRACE_EXIT("FltDispatchCreate: status 0x%08x\n", (unsigned)status);
    return status;
}

NTSTATUS FltDispatchClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltDispatchClose: pDeviceObject 0x%08x, pIrp 0x%08x\n", FLT_PTR(pDeviceObject), FLT_PTR(pIrp));
    FilterExtension *pExt = FltExt(pDeviceObject);
    FltCountEntry(pExt, pDeviceObject);

    // Whether the close came from the bus is decided before it goes down: afterwards the request
    // may be finished and its address taken by another one.
    BOOLEAN fFromBus = FltFindScsiStatus(pExt->pBusExt, pIrp) != nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    FLT_TRACE("FltDispatchClose: fFailover %s, NT_SUCCESS %s, StructAllocated %s\n", CmnBooleanName(pExt->fFailover),
              CmnBooleanName(NT_SUCCESS(status)), CmnBooleanName(fFromBus));
    status = FltpPassDown(pExt, pIrp);
    FLT_TRACE("FltDispatchClose: fFailover %s, NT_SUCCESS %s, StructAllocated %s\n", CmnBooleanName(pExt->fFailover),
              CmnBooleanName(NT_SUCCESS(status)), CmnBooleanName(fFromBus));

    if (NT_SUCCESS(status) && !fFromBus) {
        NTSTATUS closeStatus = FltNotifyIo(pDeviceObject, IO_CLOSE_REQ);
        if (!NT_SUCCESS(closeStatus))
            FLT_TRACE("FltDispatchClose: bus driver returned 0x%08x.  CANNOT CLOSE DEVICE!!!\n", (unsigned)closeStatus);
    }
    FltCountExit(pExt, pDeviceObject);
    FLT_TRACE_EXIT("FltDispatchClose: status 0x%08x\n", (unsigned)status);
    return status;
}

NTSTATUS FltDispatchDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltDispatchDeviceControl: pDeviceObject 0x%08x, pIrp 0x%08x,\n", FLT_PTR(pDeviceObject),
                    FLT_PTR(pIrp));
    FilterExtension *pExt = FltExt(pDeviceObject);
    NTSTATUS status;
    FltCountEntry(pExt, pDeviceObject);
    FLT_TRACE("FltDispatchDeviceControl: fFailover %x\n", (unsigned)pExt->fFailover);
    if (pExt->fFailover)
        status = FltpApplyScsiStatus(pDeviceObject, pIrp, "FltDispatchDeviceControl: FltSendIoctlSync",
                                     "FltDispatchDeviceControl: pScsiStatus %x\n");
    else
        status = FltpPassDown(pExt, pIrp);
    FltCountExit(pExt, pDeviceObject);
    FLT_TRACE_EXIT("FltDispatchDeviceControl: status 0x%08x\n", (unsigned)status);
    return status;
}

NTSTATUS FltPassThrough(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltPassThrough: pDeviceObject 0x%08x, pIrp 0x%08x,\n", FLT_PTR(pDeviceObject), FLT_PTR(pIrp));
    FilterExtension *pExt = FltExt(pDeviceObject);
    FltCountEntry(pExt, pDeviceObject);
    // Whatever the path's failover flag: a request the bus sends here (cleanup among them) still
    // has its block applied.
    NTSTATUS status = FltpApplyScsiStatus(pDeviceObject, pIrp, "FltPassThrough: FltSendIoctlSync", nullptr);
    FltCountExit(pExt, pDeviceObject);
    FLT_TRACE_EXIT("FltPassThrough: status 0x%08x\n", (unsigned)status);
    return status;
}

#else // the changer build passes every request down untouched

namespace {
NTSTATUS FltpPassDownCounted(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FilterExtension *pExt = FltExt(pDeviceObject);
    FltCountEntry(pExt, pDeviceObject);
    NTSTATUS status = FltpPassDown(pExt, pIrp);
    FltCountExit(pExt, pDeviceObject);
    return status;
}
} // namespace

NTSTATUS FltDispatchCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltDispatchCreate: pDeviceObject 0x%08x, pIrp 0x%08x, Version %s Built %s, %s\n",
                    FLT_PTR(pDeviceObject), FLT_PTR(pIrp), FLT_VERSION_TEXT, __DATE__, __TIME__);
    NTSTATUS status = FltpPassDownCounted(pDeviceObject, pIrp);
    FLT_TRACE_EXIT("FltDispatchCreate: status 0x%08x\n", (unsigned)status);
    return status;
}

NTSTATUS FltDispatchClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltDispatchClose: pDeviceObject 0x%08x, pIrp 0x%08x\n", FLT_PTR(pDeviceObject), FLT_PTR(pIrp));
    NTSTATUS status = FltpPassDownCounted(pDeviceObject, pIrp);
    FLT_TRACE_EXIT("FltDispatchClose: status 0x%08x\n", (unsigned)status);
    return status;
}

NTSTATUS FltDispatchDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltDispatchDeviceControl: pDeviceObject 0x%08x, pIrp 0x%08x,\n", FLT_PTR(pDeviceObject),
                    FLT_PTR(pIrp));
    NTSTATUS status = FltpPassDownCounted(pDeviceObject, pIrp);
    FLT_TRACE_EXIT("FltDispatchDeviceControl: status 0x%08x\n", (unsigned)status);
    return status;
}

NTSTATUS FltPassThrough(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltPassThrough: pDeviceObject 0x%08x, pIrp 0x%08x,\n", FLT_PTR(pDeviceObject), FLT_PTR(pIrp));
    NTSTATUS status = FltpPassDownCounted(pDeviceObject, pIrp);
    FLT_TRACE_EXIT("FltPassThrough: status 0x%08x\n", (unsigned)status);
    return status;
}

#endif

NTSTATUS FltDispatchRead(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltDispatchRead: pDeviceObject 0x%08x, pIrp 0x%08x,\n", FLT_PTR(pDeviceObject), FLT_PTR(pIrp));
    NTSTATUS status = FltpDispatchOnPath(pDeviceObject, pIrp, "FltDispatchRead: FltSendIoctlSync");
    FLT_TRACE_EXIT("FltDispatchRead: status 0x%08x\n", (unsigned)status);
    return status;
}

NTSTATUS FltDispatchWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltDispatchWrite: pDeviceObject 0x%08x, pIrp 0x%08x,\n", FLT_PTR(pDeviceObject), FLT_PTR(pIrp));
    NTSTATUS status = FltpDispatchOnPath(pDeviceObject, pIrp, "FltDispatchWrite: FltSendIoctlSync");
    FLT_TRACE_EXIT("FltDispatchWrite: status 0x%08x\n", (unsigned)status);
    return status;
}

NTSTATUS FltDispatchInternalDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltDispatchInternalDeviceControl: pDeviceObject 0x%08x, pIrp 0x%08x,\n", FLT_PTR(pDeviceObject),
                    FLT_PTR(pIrp));
    NTSTATUS status = FltpDispatchOnPath(pDeviceObject, pIrp, "FltDispatchInternalDeviceControl: FltSendIoctlSync");
    FLT_TRACE_EXIT("FltDispatchInternalDeviceControl: status 0x%08x\n", (unsigned)status);
    return status;
}

NTSTATUS FltDispatchSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltDispatchSystemControl: pDeviceObject 0x%08x, pIrp 0x%08x,\n", FLT_PTR(pDeviceObject),
                    FLT_PTR(pIrp));
    NTSTATUS status = FltpDispatchOnPath(pDeviceObject, pIrp, "FltDispatchSystemControl: FltSendIoctlSync");
    FLT_TRACE_EXIT("FltDispatchSystemControl: status 0x%08x\n", (unsigned)status);
    return status;
}
