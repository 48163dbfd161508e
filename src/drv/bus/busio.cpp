// The tape build's send-over-a-path handler and device-control pre-handler.
//
// An application request on a logical device is copied into a request of the bus's own for the
// path device of the current primary path (busroute.cpp), whose system buffer ends in the
// ScsiStatus block the filter and the class driver fill. The pair is recorded in the
// StatusStructTable while the request is on the path, so that the filter recognises requests that
// come from the bus.
//
// When an attempt fails in a way that points at the path, the request is sent again: on the same
// path when the path has just shown that it works, else on the next path not yet tried. Before a
// retry the tape is put where the request expects it (position tracking, bustrack.cpp), the drive
// settings are restored on a path the drive has not seen them on, and a write that reached the
// tape in part goes on with the rest only.
#include "bus.h"

namespace {

constexpr ULONG BUS_SCSI_STATUS_SIZE = sizeof(ScsiStatus);
// The class driver's private codes the handler sends itself.
constexpr ULONG BUS_IOCTL_GET_SETTING_B = 0x001FE0E0;
constexpr ULONG BUS_IOCTL_SET_SETTING_A = 0x001FE0C8;
constexpr ULONG BUS_IOCTL_SET_SETTING_B = 0x001FE0E4;
constexpr ULONG BUS_SETTING_B_SIZE = 8;
constexpr ULONG BUS_SETTING_A_BUFFER = 32;
constexpr UCHAR BUS_SETTING_B_NONE = 0xFF;
constexpr ULONG BUS_SAME_PATH_RETRIES = 2;

constexpr UCHAR BUS_SENSE_UNIT_ATTENTION = 0x6;
constexpr UCHAR BUS_SENSE_HARDWARE_ERROR = 0x4;
constexpr UCHAR BUS_ASC_KEY_SERVER = 0xEF;

static_assert(sizeof(IO_STACK_LOCATION) == 72, "the current-request copy holds one stack location");

/*++
Routine Description:
    Sizes the path request's system buffer and checks what the request carries. Create, close,
    read and write carry the ScsiStatus block only; a device control carries its data in front of
    it (BusPathDataPrepare). Sorts the request for the position tracker.
--*/
NTSTATUS BuspPrepare(BusRequest *Request)
{
    switch (Request->ucMajor) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
        BusTrackClassify(Request);
        return STATUS_SUCCESS;
    case IRP_MJ_DEVICE_CONTROL:
        break;
    default:
        return STATUS_NOT_IMPLEMENTED;
    }
    NTSTATUS status = BusPathDataPrepare(Request->pLdx, Request->pIrp, Request);
    if (!NT_SUCCESS(status))
        return status;
    BusTrackClassify(Request);
    return STATUS_SUCCESS;
}

// After a successful create: the drive's setting B, restored on a new path later.
void BuspReadSettingB(LogicalDeviceExtension *Ldx)
{
    UCHAR setting[BUS_SETTING_B_SIZE] = {};
    ULONG_PTR information = 0;
    NTSTATUS status = BusSendInternalRequest(Ldx, BUS_IOCTL_GET_SETTING_B, setting, sizeof(setting), setting,
                                             sizeof(setting), &information);
    Ldx->ucSettingB = NT_SUCCESS(status) && information >= 1 ? setting[0] : BUS_SETTING_B_NONE;
}

// The path device of the primary path, or null.
PDEVICE_OBJECT BuspPrimaryPath(LogicalDeviceExtension *Ldx)
{
    PDEVICE_OBJECT primary = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&Ldx->Lock, &irql);
    if (Ldx->pEntry) {
        for (PathEntry *path = Ldx->pEntry->pPaths; path && !primary; path = path->pNext)
            if (path->fPrimary)
                primary = path->pPathDevice;
    }
    KeReleaseSpinLock(&Ldx->Lock, irql);
    return primary;
}

BOOLEAN BuspFailoverEnabled(LogicalDeviceExtension *Ldx)
{
    BOOLEAN failover = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&Ldx->Lock, &irql);
    if (Ldx->pEntry)
        failover = Ldx->pEntry->fFailover != 0;
    KeReleaseSpinLock(&Ldx->Lock, irql);
    return failover;
}

// TRUE on a worker that serves internal requests: the request being handled is one the handler
// sent itself, in the middle of an application request whose state must survive it.
BOOLEAN BuspOnInternalWorker(LogicalDeviceExtension *Ldx)
{
    HANDLE self = PsGetCurrentThreadId();
    for (ULONG k = 1; k < BUS_WORKER_COUNT; k++)
        if (Ldx->Workers[k].hRunningThreadId == self)
            return TRUE;
    return FALSE;
}

/*++
Routine Description:
    Puts the drive settings of the logical device onto the path the request now runs on: block
    size, setting A, the medium lock and setting B, in that order. The first failure ends it.
--*/
NTSTATUS BuspRestoreSettings(LogicalDeviceExtension *Ldx)
{
    TAPE_SET_MEDIA_PARAMETERS media;
    media.BlockSize = Ldx->ulBlockSize;
    NTSTATUS status =
        BusSendInternalRequest(Ldx, IOCTL_TAPE_SET_MEDIA_PARAMS, &media, sizeof(media), nullptr, 0, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    if (Ldx->fSettingAFlag) {
        UCHAR setting[BUS_SETTING_A_BUFFER] = {};
        RtlCopyMemory(setting, Ldx->SettingA, sizeof(Ldx->SettingA));
        status = BusSendInternalRequest(Ldx, BUS_IOCTL_SET_SETTING_A, setting, sizeof(setting), nullptr, 0, nullptr);
        if (!NT_SUCCESS(status))
            return status;
    }
    if (Ldx->fMediumLocked) {
        TAPE_PREPARE prepare;
        RtlZeroMemory(&prepare, sizeof(prepare));
        prepare.Operation = TAPE_LOCK;
        status = BusSendInternalRequest(Ldx, IOCTL_TAPE_PREPARE, &prepare, sizeof(prepare), nullptr, 0, nullptr);
        if (!NT_SUCCESS(status))
            return status;
    }
    if (Ldx->ucSettingB != BUS_SETTING_B_NONE) {
        UCHAR setting[BUS_SETTING_B_SIZE] = {};
        setting[0] = Ldx->ucSettingB;
        status = BusSendInternalRequest(Ldx, BUS_IOCTL_SET_SETTING_B, setting, sizeof(setting), nullptr, 0, nullptr);
    }
    return status;
}

/*++
Routine Description:
    Before a position-moving or data-transfer request on a logical device with failover: the
    position and the block size must be known. A retry of a position-moving request must find the
    tape where the failed attempt left it for the retry; anywhere else the request would read or
    write at the wrong place, so it is not sent again.
Return Value:
    STATUS_SUCCESS, or the status the request ends with. *Moved is set when the reads moved the
    primary to another path.
--*/
NTSTATUS BuspEnsurePosition(BusRequest *Request, BOOLEAN Retry, BOOLEAN *Moved)
{
    LogicalDeviceExtension *ldx = Request->pLdx;
    *Moved = FALSE;
    if (!Request->fPositionMoving && !Request->fDataTransfer)
        return STATUS_SUCCESS;
    PDEVICE_OBJECT before = BuspPrimaryPath(ldx);
    BOOLEAN internalSent = Request->fInternalSent;
    NTSTATUS status = STATUS_SUCCESS;
    if (Request->fPositionMoving && !ldx->fPositionKnown) {
        status = BusTrackReadPosition(Request);
        if (NT_SUCCESS(status) && !ldx->fPositionKnown)
            status = STATUS_UNSUCCESSFUL;
        if (NT_SUCCESS(status) && Retry && ldx->ulPosition != Request->ulRetryPosition)
            status = Request->Status;
    }
    if (NT_SUCCESS(status) && Request->fDataTransfer && !ldx->fBlockSizeKnown)
        status = BusTrackReadMediaParams(Request);
    Request->fInternalSent = internalSent;
    if (NT_SUCCESS(status)) {
        PDEVICE_OBJECT after = BuspPrimaryPath(ldx);
        *Moved = after && after != before;
    }
    return status;
}

} // namespace

/*++
Routine Description:
    Runs one application request over the paths of its logical device and completes it. Each
    attempt copies the request into the bus's own path request, whose system buffer holds the
    request's data followed by the ScsiStatus block; after the attempt the position is tracked,
    settings restored on a new path, and the request sent again when the failure points at the
    path.
Arguments:
    LogicalDevice - the logical device the request was sent to.
    Irp - the application's request (or an internal one); completed here in every case.
Return Value:
    The status the request was completed with.
IRQL: PASSIVE_LEVEL, on a worker or in the caller's thread (create, close).
--*/
NTSTATUS BusSendOverPath(PDEVICE_OBJECT LogicalDevice, PIRP Irp)
{
    LogicalDeviceExtension *ldx = BusLogical(LogicalDevice);
    if (Irp->CurrentLocation > Irp->StackCount)
        return BusCompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR major = stack->MajorFunction;
    Irp->IoStatus.Information = 0;

    // An internal request runs in the middle of another request: that one's current-request copy
    // and recovery state are given back when this one is done.
    const BOOLEAN nested = BuspOnInternalWorker(ldx);
    UCHAR outerRequest[sizeof(ldx->CurrentRequest)];
    const BOOLEAN outerRecoveryFailed = ldx->fRecoveryFailed;
    if (nested)
        RtlCopyMemory(outerRequest, ldx->CurrentRequest, sizeof(outerRequest));

    BusRequest rq;
    RtlZeroMemory(&rq, sizeof(rq));
    rq.pLdx = ldx;
    rq.pIrp = Irp;
    rq.pStack = stack;
    rq.ucMajor = major;
    rq.ulCode = major == IRP_MJ_DEVICE_CONTROL ? stack->Parameters.DeviceIoControl.IoControlCode : 0;
    rq.fFailover = BuspFailoverEnabled(ldx);
    const ULONG transferLength = (major == IRP_MJ_READ || major == IRP_MJ_WRITE) ? stack->Parameters.Write.Length : 0;

    PDEVICE_OBJECT *tried = nullptr;
    PIRP pathIrp = nullptr;
    PMDL partialMdl = nullptr;
    PDEVICE_OBJECT path = nullptr;
    PDEVICE_OBJECT previousPath = nullptr;
    ULONG sameRetries = 0;

    NTSTATUS status = BuspPrepare(&rq);
    if (!NT_SUCCESS(status))
        goto Finish;
    rq.ulBufferSize = rq.ulDataSize + BUS_SCSI_STATUS_SIZE;
    rq.ulBytesRemaining = transferLength;

    path = BusChoosePath(ldx, &tried, TRUE);
    if (!path) {
        status = STATUS_OBJECT_PATH_NOT_FOUND;
        goto Finish;
    }
    status = BusPathIrpFit(path, &pathIrp);
    if (!NT_SUCCESS(status))
        goto Finish;

    for (ULONG attempt = 0;; attempt++) {
        // The position and the block size before the request moves the tape or transfers data.
        if (rq.fFailover) {
            BOOLEAN moved = FALSE;
            status = BuspEnsurePosition(&rq, attempt > 0, &moved);
            if (!NT_SUCCESS(status))
                break;
            if (moved) {
                PDEVICE_OBJECT primary = BusChoosePath(ldx, &tried, TRUE);
                if (primary)
                    path = primary;
            }
        }
        status = BusPathIrpFit(path, &pathIrp);
        if (!NT_SUCCESS(status))
            break;
        RtlCopyMemory(ldx->CurrentRequest, stack, sizeof(ldx->CurrentRequest));
        rq.ulSavedPosition = ldx->ulPosition;
        rq.fSavedKnown = ldx->fPositionKnown;
        rq.pPath = path;

        status = BusPathBufferCreate(&rq, Irp, &rq.pBuffer);
        if (!NT_SUCCESS(status))
            break;

        ScsiStatus *block = (ScsiStatus *)(rq.pBuffer + rq.ulDataSize);
        if (major == IRP_MJ_CLOSE && ldx->lOpenCount == 0)
            block->ulResidual = 1; // the logical device's last handle: the class driver lets reservations go
        BOOLEAN changed = BusReservationPrepare(ldx, path, block);
        // A path the previous attempt (of this request or of the one before) did not use has not
        // seen the drive settings of this logical device.
        if (ldx->pLastPath && ldx->pLastPath != path)
            changed = TRUE;
        if (previousPath && previousPath != path)
            changed = TRUE;

        {
            // Logical devices do direct I/O: the data of a read or write is the application's
            // MDL, which the path request only borrows. A write that reached the tape in part
            // goes on from where it stopped, through a partial MDL over the rest.
            PIO_STACK_LOCATION next = BusPathIrpSetup(pathIrp, Irp, &rq, rq.pBuffer);
            rq.ulRequested = transferLength;
            if (major == IRP_MJ_WRITE && rq.fResuming) {
                rq.ulBytesRemaining = transferLength - rq.ulBytesDone;
                rq.ulRequested = rq.ulBytesRemaining;
                next->Parameters.Write.Length = rq.ulBytesRemaining;
                if (rq.ulBytesDone) {
                    PMDL source = Irp->MdlAddress;
                    PUCHAR start = source ? (PUCHAR)MmGetSystemAddressForMdlSafe(source, NormalPagePriority) : nullptr;
                    if (!start || MmGetMdlByteCount(source) < transferLength) {
                        status = STATUS_INSUFFICIENT_RESOURCES;
                        break;
                    }
                    PUCHAR from = (PUCHAR)MmGetMdlVirtualAddress(source) + rq.ulBytesDone;
                    partialMdl = IoAllocateMdl(from, rq.ulBytesRemaining, FALSE, FALSE, nullptr);
                    if (!partialMdl) {
                        status = STATUS_INSUFFICIENT_RESOURCES;
                        break;
                    }
                    IoBuildPartialMdl(source, partialMdl, from, rq.ulBytesRemaining);
                    pathIrp->MdlAddress = partialMdl;
                }
            } else if (rq.fPassThrough) {
                rq.ulRequested = rq.Pt.ulDataLength;
            } else if (major == IRP_MJ_DEVICE_CONTROL) {
                rq.ulRequested = stack->Parameters.DeviceIoControl.OutputBufferLength;
            }
        }

        StatusStructBlock *inBlock = nullptr;
        ULONG slot = 0;
        status = BusStatusTableInsert(ldx->pStatusTable, pathIrp, block, &inBlock, &slot);
        if (!NT_SUCCESS(status))
            break;
        if (BusTrackLosesPosition(&rq)) {
            ldx->fPositionKnown = FALSE;
            ldx->fAtBeginning = FALSE;
        }

        BusPathIrpSend(path, pathIrp);
        ldx->pLastPath = path;
        previousPath = path;

        BusReservationReport(ldx, path, Irp, block);
        BusPathSenseToBlock(&rq, rq.pBuffer, block);
        if (block->ucEncryption & 0x02)
            ldx->fEncryption = block->ucEncryption & 0x01;
        const BOOLEAN restoreWanted = changed && block->ReservationOutcome != STATUS_ACCESS_DENIED;
        BusStatusTableRemove(ldx->pStatusTable, inBlock, slot);
        RtlCopyMemory(&rq.Block, block, sizeof(rq.Block));
        rq.Status = pathIrp->IoStatus.Status;
        rq.Information = pathIrp->IoStatus.Information;
        if (partialMdl) {
            pathIrp->MdlAddress = nullptr;
            MmPrepareMdlForReuse(partialMdl);
            IoFreeMdl(partialMdl);
            partialMdl = nullptr;
        }
        status = rq.Status;
        if (status == STATUS_ACCESS_DENIED)
            break;

        // What the attempt did: reservations, the tape position, and setting B after an open.
        BusReservationAfterAttempt(ldx, path, stack, major == IRP_MJ_DEVICE_CONTROL ? rq.pBuffer : nullptr,
                                   major == IRP_MJ_DEVICE_CONTROL ? rq.ulDataSize : 0, status, changed);
        rq.fInternalSent = FALSE;
        BusTrackAttempt(&rq);
        rq.fRetryFromKnown = ldx->fPositionKnown;
        rq.ulRetryPosition = ldx->ulPosition;
        if (major == IRP_MJ_CREATE && NT_SUCCESS(status))
            BuspReadSettingB(ldx);

        // Drive settings onto a path that has not seen them.
        BOOLEAN sameByRestore = FALSE;
        // The restore's own requests run through this handler too and may land on a new path:
        // they must not start a restore inside the restore. The flag is the logical device's, so
        // that drives failing over at the same moment each get their settings back.
        if (restoreWanted && ldx->fBlockSizeKnown && !ldx->fRestoreRunning) {
            ldx->fRestoreRunning = TRUE;
            NTSTATUS restored = BuspRestoreSettings(ldx);
            ldx->fRestoreRunning = FALSE;
            if (!NT_SUCCESS(restored))
                rq.fRecoveryFailed = TRUE;
            else if (rq.fDataTransfer || BuspPrimaryPath(ldx) == path)
                sameByRestore = TRUE;
        }
        if (rq.fRecoveryFailed)
            ldx->fRecoveryFailed = TRUE;
        // A changed path whose attempt failed may not have taken the block size, yet it counts as
        // the last reserving path and will not be sent it again: its class driver would go on in
        // its old block mode and write a fixed-block request as one variable block. Reading the
        // media parameters before the next transfer has the path learn the drive's block size.
        if (changed && !NT_SUCCESS(status))
            ldx->fBlockSizeKnown = FALSE;

        // Decide on failover.
        const ScsiStatus *result = &rq.Block;
        BOOLEAN failover = FALSE;
        BOOLEAN ended = FALSE;
        BOOLEAN keyRelayed = FALSE; // the key-server relay finished: same path again
        if (result->fSensePresent && result->ucSenseKey == BUS_SENSE_UNIT_ATTENTION) {
            // The drive was reset or its medium changed: where the tape is, only the drive knows.
            if ((result->ucAsc == 0x28 || result->ucAsc == 0x29) && result->ucAscq == 0) {
                ldx->fPositionKnown = FALSE;
                ldx->fAtBeginning = FALSE;
            } else if (result->ucAsc == 0x5A && result->ucAscq == 1) {
                ldx->fPositionKnown = FALSE;
                if (ldx->fAtBeginning) {
                    status = STATUS_IO_DEVICE_ERROR;
                    rq.Status = status;
                    ended = TRUE;
                }
            }
        }
        if (!ended && !rq.fRecoveryFailed && result->ReservationOutcome != STATUS_ACCESS_DENIED) {
            BOOLEAN statusRule = TRUE;
            if (ldx->fEncryption && result->fSensePresent && result->ucAsc == BUS_ASC_KEY_SERVER) {
                // The drive asks for its key server. A finished relay has the request sent again
                // on the same path; a failed one leaves its status to the request, which then
                // meets the status rule like any other failure.
                statusRule = FALSE;
                ULONG disposition = 0;
                const BOOLEAN knownBefore = ldx->fPositionKnown;
                const ULONG positionBefore = ldx->ulPosition;
                NTSTATUS relayed = BusRelayKeyRequest(ldx, &disposition);
                if (disposition == KEY_RELAY_FINISHED && rq.fPositionMoving && knownBefore && ldx->fPositionKnown &&
                    ldx->ulPosition != positionBefore) {
                    // The key server's commands moved the tape (a key server may send any
                    // command). Sent again from there, a write would land on the wrong block,
                    // over data already on the tape: the request ends with the drive's refusal.
                    // (A position the commands left unknown is read and compared before the
                    // request goes again, as after any failed attempt.)
                } else if (disposition == KEY_RELAY_FINISHED) {
                    failover = TRUE;
                    keyRelayed = TRUE;
                } else if (disposition == KEY_RELAY_FAILED) {
                    status = relayed;
                    rq.Status = relayed;
                    statusRule = TRUE;
                }
            } else if (rq.fFailover && BusSenseAsksFailover(result)) {
                BusLogFailoverSense(ldx, Irp, rq.ulCode, result);
                failover = TRUE;
            }
            if (statusRule) {
                if (rq.fFailover && !failover && !NT_SUCCESS(status) && !BusStatusExempt(status) &&
                    result->ucSenseKey != BUS_SENSE_HARDWARE_ERROR && result->ucAsc != 0x10 && result->ucAscq != 1) {
                    BusLogFailoverStatus(ldx, Irp, rq.ulCode, status);
                    failover = TRUE;
                }
            }
        }
        // A request that moved the tape is sent again only from a position the bus knows: from
        // anywhere else it would read the wrong block or write over data. A drive that asked for
        // its key refused the command before moving, so after the relay it goes again as it was.
        if (failover && !keyRelayed && rq.fPositionMoving && !rq.fRetryFromKnown)
            failover = FALSE;

        // The next attempt.
        if (!failover || sameRetries >= BUS_SAME_PATH_RETRIES)
            break;
        if (sameByRestore || keyRelayed || (rq.fInternalSent && BuspPrimaryPath(ldx) == path)) {
            sameRetries++;
        } else {
            PDEVICE_OBJECT next = BusChoosePath(ldx, &tried, FALSE);
            if (!next)
                break;
            path = next;
            sameRetries = 0;
        }
        BusPathIrpReuse(pathIrp, &rq.pBuffer);
    }

    {
        // What comes back to the application.
        ULONG_PTR information = 0;
        if (NT_SUCCESS(status) || status == rq.Status) {
            information = rq.Information;
            if (rq.fResuming)
                information = rq.ulBytesDone;
            if (rq.fComplete)
                status = STATUS_SUCCESS;
        }
        if (rq.pBuffer && major == IRP_MJ_DEVICE_CONTROL) {
            information = BusPathResult(&rq, Irp, rq.pBuffer, status, information);
        } else if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
            if (information > transferLength)
                information = transferLength;
        } else if (major == IRP_MJ_DEVICE_CONTROL) {
            information = 0;
        }
        if (major == IRP_MJ_CREATE && NT_SUCCESS(status)) {
            ldx->fSettingAValid = FALSE;
            ldx->fSettingAFlag = FALSE;
            RtlZeroMemory(ldx->SettingA, sizeof(ldx->SettingA));
        }
        Irp->IoStatus.Information = information;
    }

Finish:
    if (partialMdl) {
        if (pathIrp)
            pathIrp->MdlAddress = nullptr;
        MmPrepareMdlForReuse(partialMdl);
        IoFreeMdl(partialMdl);
    }
    BusPathRequestEnd(ldx, Irp, pathIrp, rq.pBuffer, tried);
    ULONG_PTR information = Irp->IoStatus.Information;
    if (nested) {
        RtlCopyMemory(ldx->CurrentRequest, outerRequest, sizeof(outerRequest));
        ldx->fRecoveryFailed = outerRecoveryFailed;
    } else {
        RtlZeroMemory(ldx->CurrentRequest, sizeof(ldx->CurrentRequest));
        ldx->fRecoveryFailed = FALSE;
    }
    return BusCompleteRequest(Irp, status, information);
}

/*++
Routine Description:
    The worker's handler for device controls: the codes the bus answers itself, everything else
    over the primary path.
--*/
NTSTATUS BusDeviceControlPreHandler(PDEVICE_OBJECT LogicalDevice, PIRP Irp)
{
    LogicalDeviceExtension *ldx = BusLogical(LogicalDevice);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SCSI_GET_ADDRESS:
        return BusAnswerScsiAddress(ldx, Irp);
    case IOCTL_TPBUS_KEY_REQUEST: {
        if (out <= sizeof(KeyRequestBlock) - 1 || !Irp->AssociatedIrp.SystemBuffer)
            return BusCompleteRequest(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
        if (!ldx->fEncryption)
            return BusCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        NTSTATUS keyStatus = BusKeyRequest(ldx, (KeyRequestBlock *)Irp->AssociatedIrp.SystemBuffer);
        return BusCompleteRequest(Irp, keyStatus, NT_SUCCESS(keyStatus) ? sizeof(KeyRequestBlock) : 0);
    }
    default:
        return BusSendOverPath(LogicalDevice, Irp);
    }
}
