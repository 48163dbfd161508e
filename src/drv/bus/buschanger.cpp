// The changer build's request path and the device-control dispatch of its logical changers.
//
// A medium changer is driven by device controls only, and each one is complete in itself: there
// is no tape position to restore, no drive setting to carry to a new path, no reservation to
// follow and no data stream to resume. So a changer request runs in its caller's thread, and a
// failure that points at the path simply sends the same request down the next path not yet tried.
// The path request itself is built, sent and read back as in the tape build (busroute.cpp).
#include "bus.h"

/*++
Routine Description:
    Runs one request on a logical changer over its primary path and completes it. The request is
    copied into a request of the bus's own whose system buffer ends in the ScsiStatus block,
    recorded in the StatusStructTable while it is on the path. A failure that points at the path
    -- the sense matches the failover table, or the status is a failure that is not one of the
    statuses a drive gives for a request it simply refuses -- sends it again on the next available
    path this request has not tried, which becomes the primary; with none left the request ends
    with the last attempt's result.
Return Value:
    The status the request was completed with.
IRQL: PASSIVE_LEVEL, in the caller's thread.
--*/
NTSTATUS BusChangerSendOverPath(PDEVICE_OBJECT LogicalDevice, PIRP Irp)
{
    LogicalDeviceExtension *ldx = BusLogical(LogicalDevice);
    if (Irp->CurrentLocation > Irp->StackCount)
        return BusCompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    const UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    BusLogicalReference(ldx);

    BusPathData data;
    RtlZeroMemory(&data, sizeof(data));
    PDEVICE_OBJECT *tried = nullptr;
    PIRP pathIrp = nullptr;
    PUCHAR buffer = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;

    PDEVICE_OBJECT path = BusChoosePath(ldx, &tried, TRUE);
    if (!path) {
        status = STATUS_OBJECT_PATH_NOT_FOUND;
        goto Finish;
    }
    status = BusPathIrpFit(path, &pathIrp);
    if (!NT_SUCCESS(status))
        goto Finish;
    if (major != IRP_MJ_DEVICE_CONTROL) {
        status = STATUS_NOT_IMPLEMENTED;
        goto Finish;
    }
    status = BusPathDataPrepare(ldx, Irp, &data);
    if (!NT_SUCCESS(status))
        goto Finish;

    for (;;) {
        status = BusPathIrpFit(path, &pathIrp);
        if (!NT_SUCCESS(status))
            break;
        status = BusPathBufferCreate(&data, Irp, &buffer);
        if (!NT_SUCCESS(status))
            break;
        ScsiStatus *block = (ScsiStatus *)(buffer + data.ulDataSize);
        BusPathIrpSetup(pathIrp, Irp, &data, buffer);
        StatusStructBlock *inBlock = nullptr;
        ULONG slot = 0;
        status = BusStatusTableInsert(ldx->pStatusTable, pathIrp, block, &inBlock, &slot);
        if (!NT_SUCCESS(status))
            break;
        BusPathIrpSend(path, pathIrp);
        BusPathSenseToBlock(&data, buffer, block);
        BusStatusTableRemove(ldx->pStatusTable, inBlock, slot);
        status = pathIrp->IoStatus.Status;
        information = pathIrp->IoStatus.Information;

        if (BusSenseAsksFailover(block))
            BusLogFailoverSense(ldx, Irp, data.ulCode, block);
        else if (!NT_SUCCESS(status) && !BusStatusExempt(status))
            BusLogFailoverStatus(ldx, Irp, data.ulCode, status);
        else
            break;
        PDEVICE_OBJECT nextPath = BusChoosePath(ldx, &tried, FALSE);
        if (!nextPath)
            break;
        path = nextPath;
        BusPathIrpReuse(pathIrp, &buffer);
        information = 0;
    }
    information = buffer && !NT_ERROR(status) ? BusPathResult(&data, Irp, buffer, status, information) : 0;

Finish:
    BusPathRequestEnd(ldx, Irp, pathIrp, buffer, tried);
    BusCompleteRequest(Irp, status, information);
    BusLogicalDereference(ldx);
    return status;
}

/*++
Routine Description:
    Device control on a logical changer: the path query and the SCSI address are answered here;
    a direct pass-through has its data buffer locked first; everything else runs over the paths.
--*/
NTSTATUS BusChangerDeviceControl(PDEVICE_OBJECT LogicalDevice, PIRP Irp)
{
    LogicalDeviceExtension *ldx = BusLogical(LogicalDevice);
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case BUS_IOCTL_QUERY_PATHS:
        return BusQueryPaths(ldx->pBus, Irp);
    case IOCTL_SCSI_GET_ADDRESS:
        return BusAnswerScsiAddress(ldx, Irp);
    case IOCTL_SCSI_PASS_THROUGH_DIRECT: {
        NTSTATUS status = BusLockDirectBuffer(ldx, Irp);
        if (!NT_SUCCESS(status))
            return BusCompleteRequest(Irp, status, 0);
        return BusChangerSendOverPath(LogicalDevice, Irp);
    }
    default:
        return BusChangerSendOverPath(LogicalDevice, Irp);
    }
}
