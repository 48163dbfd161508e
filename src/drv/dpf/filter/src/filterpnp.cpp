// Plug and Play and power requests of the path filter: the state machine of the path, the start
// sequence that probes and registers it, and the pass-down of power requests.
#include "filter.h"

namespace {

NTSTATUS FltpComplete(PIRP pIrp, NTSTATUS status)
{
    pIrp->IoStatus.Status = status;
    pIrp->IoStatus.Information = 0;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return status;
}

// The query handlers: the bus may veto the pending state, which then ends the request here.
NTSTATUS FltpQuery(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG ulPendingState)
{
    FilterExtension *pExt = FltExt(pDeviceObject);
    FltSetPnpState(pExt, ulPendingState);
    NTSTATUS status = FltNotifyPnp(pDeviceObject);
    if (!NT_SUCCESS(status)) {
        FltSetPnpState(pExt, pExt->ulPrevPnpState);
        FltpComplete(pIrp, status);
    }
    return status;
}

// The cancel handlers: down at once, then back to the state before the query, if one is pending.
NTSTATUS FltpCancel(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG ulPendingState, const char *szFailure)
{
    FilterExtension *pExt = FltExt(pDeviceObject);
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(pIrp);
    NTSTATUS status = IoCallDriver(pExt->pLowerDevice, pIrp);
    if (pExt->ulPnpState == ulPendingState)
        FltSetPnpState(pExt, pExt->ulPrevPnpState);
    NTSTATUS notifyStatus = FltNotifyPnp(pDeviceObject);
    if (!NT_SUCCESS(notifyStatus))
        FLT_TRACE(szFailure, (unsigned)notifyStatus);
    return status;
}

} // namespace

/*++
Routine Description:
    The start sequence. The lower drivers start the path first; then the filter learns who the
    path is, registers it with the bus and lends the class driver the bus's StatusStructTable.
    A failing probe or registration does not fail the start: the path runs without failover.

Return Value:
    The lower drivers' failure (nothing probed or sent then), STATUS_INSUFFICIENT_RESOURCES when
    the hand-over could not take place, else STATUS_SUCCESS. The request is completed either way.
--*/
NTSTATUS FltIrpMnStartDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltIrpMnStartDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", FLT_PTR(pDeviceObject), FLT_PTR(pIrp));
    FilterExtension *pExt = FltExt(pDeviceObject);
    NTSTATUS status = CmnSendIrpSync(pExt->pLowerDevice, pIrp);
    if (status != STATUS_SUCCESS) {
        FLT_TRACE_FAILURE("FltIrpMnStartDevice: CmnSendIrpSync", status);
        FLT_TRACE_EXIT("FltIrpMnStartDevice: status 0x%08x\n", (unsigned)status);
        return status;
    }

    FltSetPnpState(pExt, PNP_STARTED);
    pExt->fFailover = TRUE;
#if FLT_PROBE_IDENTITY
    FLT_TRACE("FltIrpMnStartDevice: fFailover set TRUE\n");

    UCHAR inquiry[IOC_STANDARD_INQUIRY_SIZE];
    if (!NT_SUCCESS(FltGetInquiry(pDeviceObject, inquiry)))
        pExt->fFailover = FALSE;
#endif

    UCHAR serial[FLT_SERIAL_NUMBER_LENGTH];
    RtlZeroMemory(serial, sizeof(serial));
    if (NT_SUCCESS(FltGetSerial(pDeviceObject, serial)))
        RtlCopyMemory(pExt->szSerialNumber, serial, sizeof(serial));
    else
        pExt->fFailover = FALSE;

    UCHAR address[sizeof(SCSI_ADDRESS)];
    RtlZeroMemory(address, sizeof(address));
    if (NT_SUCCESS(FltGetScsi(pDeviceObject, address)))
        RtlCopyMemory(&pExt->ScsiAddress, address, sizeof(address));
    else
        pExt->fFailover = FALSE;

#if FLT_PROBE_IDENTITY
    if (!NT_SUCCESS(FltStorePage0x83Data(pDeviceObject)))
        pExt->fFailover = FALSE;
    if (!NT_SUCCESS(FltSetDpfFlags(pDeviceObject)))
        FLT_TRACE("FltIrpMnStartDevice: FltSetDpfFlags failed.  Using defaults\n");
#endif

    if (!NT_SUCCESS(FltRegisterDevice(pDeviceObject)))
        pExt->fFailover = FALSE;

    if (pExt->pBusExt)
        status = FltHandOverTable(pDeviceObject);

    FLT_TRACE_EXIT("FltIrpMnStartDevice: status 0x%08x\n", (unsigned)status);
    return status;
}

NTSTATUS FltIrpMnQueryRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltIrpMnQueryRemoveDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", FLT_PTR(pDeviceObject),
                    FLT_PTR(pIrp));
    NTSTATUS status = FltpQuery(pDeviceObject, pIrp, PNP_REMOVE_PENDING);
    FLT_TRACE_EXIT("FltIrpMnQueryRemoveDevice: status 0x%08x\n", (unsigned)status);
    return status;
}

NTSTATUS FltIrpMnQueryStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltIrpMnQueryStopDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", FLT_PTR(pDeviceObject),
                    FLT_PTR(pIrp));
    NTSTATUS status = FltpQuery(pDeviceObject, pIrp, PNP_STOP_PENDING);
    FLT_TRACE_EXIT("FltIrpMnQueryStopDevice: status 0x%08x\n", (unsigned)status);
    return status;
}

NTSTATUS FltIrpMnCancelRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltIrpMnCancelRemoveDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", FLT_PTR(pDeviceObject),
                    FLT_PTR(pIrp));
    NTSTATUS status = FltpCancel(pDeviceObject, pIrp, PNP_REMOVE_PENDING,
                                 "FltIrpMnCancelRemoveDevice: Device notification failed with status 0x%08x!\n");
    FLT_TRACE_EXIT("FltIrpMnCancelRemoveDevice: status 0x%08x\n", (unsigned)status);
    return status;
}

NTSTATUS FltIrpMnCancelStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltIrpMnCancelStopDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", FLT_PTR(pDeviceObject),
                    FLT_PTR(pIrp));
    NTSTATUS status = FltpCancel(pDeviceObject, pIrp, PNP_STOP_PENDING,
                                 "FltIrpMnCancelStopDevice: Device notification failed with status 0x%08x!\n");
    FLT_TRACE_EXIT("FltIrpMnCancelStopDevice: status 0x%08x\n", (unsigned)status);
    return status;
}

/*++
Routine Description:
    Stop: waits until every other request in progress on the path has finished, then tells the
    bus. The dispatcher passes the request down.
--*/
NTSTATUS FltIrpMnStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltIrpMnStopDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", FLT_PTR(pDeviceObject), FLT_PTR(pIrp));
    FilterExtension *pExt = FltExt(pDeviceObject);
    FLT_TRACE("FltIrpMnStopDevice: IO count: %d\n", (int)pExt->ulIoCount);

    // The stop request's own count goes while it waits for the others.
    FltDecrementIoCount(pDeviceObject);
    if (pExt->ulIoCount <= 0)
        KeSetEvent(&pExt->RemoveEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&pExt->IdleEvent, Executive, KernelMode, FALSE, nullptr);
    FltIncrementIoCount(pDeviceObject);

    FltSetPnpState(pExt, PNP_STOPPED);
    NTSTATUS status = FltNotifyPnp(pDeviceObject);
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    FLT_TRACE("FltIrpMnStopDevice: IO count: %d (should be same as on entry)\n", (int)pExt->ulIoCount);
    FLT_TRACE_EXIT("FltIrpMnStopDevice: status 0x%08x\n", (unsigned)status);
    return status;
}

NTSTATUS FltIrpMnSurpriseRemoval(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltIrpMnSurpriseRemoval: pDeviceObject 0x%08x, pIrp 0x%08x\n", FLT_PTR(pDeviceObject),
                    FLT_PTR(pIrp));
    FilterExtension *pExt = FltExt(pDeviceObject);
    FltSetPnpState(pExt, PNP_SURPRISE_REMOVE);
    NTSTATUS notifyStatus = FltNotifyPnp(pDeviceObject);
    if (!NT_SUCCESS(notifyStatus))
        FLT_TRACE("FltIrpMnSurpriseRemoval: Device notification failed with status 0x%08x!\n", (unsigned)notifyStatus);
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    FLT_TRACE_EXIT("FltIrpMnSurpriseRemoval: status 0x%08x\n", (unsigned)STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

/*++
Routine Description:
    Remove: drops the remove request's count and the base count of attach, waits until every
    request in progress has finished, tells the bus the path is gone (before the request goes
    down), passes the request down, detaches and deletes the filter device.
--*/
NTSTATUS FltIrpMnRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltIrpMnRemoveDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", FLT_PTR(pDeviceObject), FLT_PTR(pIrp));
    FilterExtension *pExt = FltExt(pDeviceObject);

    ExAcquireFastMutex(&pExt->DispatchLock);
    FltDecrementIoCount(pDeviceObject);
    FltDecrementIoCount(pDeviceObject);
    ExReleaseFastMutex(&pExt->DispatchLock);
    if (pExt->ulIoCount <= 0)
        KeSetEvent(&pExt->RemoveEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&pExt->RemoveEvent, Executive, KernelMode, FALSE, nullptr);

    FltSetPnpState(pExt, PNP_ABSENT);
    NTSTATUS notifyStatus = FltNotifyPnp(pDeviceObject);
    if (!NT_SUCCESS(notifyStatus))
        FLT_TRACE("FltIrpMnRemoveDevice: Device notification failed with status 0x%08x!\n", (unsigned)notifyStatus);

    FLT_TRACE("FltIrpMnRemoveDevice: Sending IRP down.\n");
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    PDEVICE_OBJECT pLowerDevice = pExt->pLowerDevice;
    IoSkipCurrentIrpStackLocation(pIrp);
    NTSTATUS status = IoCallDriver(pLowerDevice, pIrp);
    IoDetachDevice(pLowerDevice);
    IoDeleteDevice(pDeviceObject);
    FLT_TRACE_EXIT("FltIrpMnRemoveDevice: status 0x%08x\n", (unsigned)status);
    return status;
}

NTSTATUS FltIrpMnDeviceUsageNotification(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltIrpMnDeviceUsageNotification: pDeviceObject 0x%08x, pIrp 0x%08x\n", FLT_PTR(pDeviceObject),
                    FLT_PTR(pIrp));
    FLT_TRACE("FltIrpMnDeviceUsageNotification: IRP not handled, set success\n");
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    FLT_TRACE_EXIT("FltIrpMnDeviceUsageNotification: status 0x%08x\n", (unsigned)STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS FltDispatchPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltDispatchPnp: pDeviceObject 0x%08x, pIrp 0x%08x\n", FLT_PTR(pDeviceObject), FLT_PTR(pIrp));
    FilterExtension *pExt = FltExt(pDeviceObject);
    FltCountEntry(pExt, pDeviceObject);

    NTSTATUS status;
    UCHAR minor = 0xFF;
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    FLT_TRACE("FltDispatchPnp: pIrpStack 0x%08x\n", FLT_PTR(pIrpStack));
    if (!pIrpStack) {
        FLT_TRACE_NULL("FltDispatchPnP: pIrpStack");
        status = FltpComplete(pIrp, STATUS_INVALID_PARAMETER);
    } else {
        minor = pIrpStack->MinorFunction;
        FLT_TRACE("FltDispatchPnp: MinorFunction = %s (0x%08x)\n", CmnPnpMinorName(minor), (unsigned)minor);
        BOOLEAN fPassDown = FALSE;
        switch (minor) {
        case IRP_MN_START_DEVICE:
            status = FltIrpMnStartDevice(pDeviceObject, pIrp);
            break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
            status = FltIrpMnQueryRemoveDevice(pDeviceObject, pIrp);
            fPassDown = NT_SUCCESS(status);
            break;
        case IRP_MN_REMOVE_DEVICE:
            status = FltIrpMnRemoveDevice(pDeviceObject, pIrp);
            break;
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            status = FltIrpMnCancelRemoveDevice(pDeviceObject, pIrp);
            break;
        case IRP_MN_STOP_DEVICE:
            status = FltIrpMnStopDevice(pDeviceObject, pIrp);
            fPassDown = TRUE;
            break;
        case IRP_MN_QUERY_STOP_DEVICE:
            status = FltIrpMnQueryStopDevice(pDeviceObject, pIrp);
            fPassDown = NT_SUCCESS(status);
            break;
        case IRP_MN_CANCEL_STOP_DEVICE:
            status = FltIrpMnCancelStopDevice(pDeviceObject, pIrp);
            break;
        case IRP_MN_DEVICE_USAGE_NOTIFICATION:
            status = FltIrpMnDeviceUsageNotification(pDeviceObject, pIrp);
            fPassDown = TRUE;
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            status = FltIrpMnSurpriseRemoval(pDeviceObject, pIrp);
            fPassDown = TRUE;
            break;
        default:
            FLT_TRACE("FltDispatchPnp: unhandled minor function\n");
            fPassDown = TRUE;
            break;
        }
        if (fPassDown) {
            FLT_TRACE("FltDispatchPnp: Sending IRP down.\n");
            IoSkipCurrentIrpStackLocation(pIrp);
            status = IoCallDriver(pExt->pLowerDevice, pIrp);
        }
    }

    if (minor == IRP_MN_REMOVE_DEVICE) {
        // The device is gone with its extension.
        FLT_TRACE_EXIT("FltDispatchPnp: status 0x%08x\n", (unsigned)status);
        return status;
    }
    FltDecrementIoCount(pDeviceObject);
    if (pExt->ulIoCount < 1)
        KeSetEvent(&pExt->RemoveEvent, IO_NO_INCREMENT, FALSE);
    FLT_TRACE_EXIT("FltDispatchPnp: status 0x%08x, I/O count %d\n", (unsigned)status, (int)pExt->ulIoCount);
    return status;
}

NTSTATUS FltDispatchPower(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    FLT_TRACE_ENTRY("FltDispatchPower: pDeviceObject 0x%08x, pIrp 0x%08x\n", FLT_PTR(pDeviceObject), FLT_PTR(pIrp));
    FilterExtension *pExt = FltExt(pDeviceObject);
    FltCountEntry(pExt, pDeviceObject);

    NTSTATUS status;
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pIrpStack) {
        FLT_TRACE("FltDispatchPower: MinorFunction: %s\n", CmnPowerMinorName(pIrpStack->MinorFunction));
        FLT_TRACE("FltDispatchPower: sending IRP down\n");
        PoStartNextPowerIrp(pIrp);
        IoSkipCurrentIrpStackLocation(pIrp);
        status = PoCallDriver(pExt->pLowerDevice, pIrp);
    } else {
        FLT_TRACE_NULL("FltDispatchPower: pIrpStack");
        PoStartNextPowerIrp(pIrp);
        status = FltpComplete(pIrp, STATUS_INVALID_PARAMETER);
    }

    FltCountExit(pExt, pDeviceObject);
    FLT_TRACE_EXIT("FltDispatchPower: status 0x%08x\n", (unsigned)status);
    return status;
}
