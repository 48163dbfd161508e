// Synchronous forwarding to the lower driver.
#include "common.h"

#include "debug.h"

#ifndef STATUS_WAIT_1
#define STATUS_WAIT_1 ((NTSTATUS)0x00000001L)
#define STATUS_WAIT_3 ((NTSTATUS)0x00000003L)
#endif

NTSTATUS CmnIrpSyncCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    FLT_TRACE_ENTRY("CmnIrpSyncCompletion: pDeviceObject 0x%08x, pIrp 0x%08x, pContext 0x%08x\n",
                    (unsigned)(ULONG_PTR)pDeviceObject, (unsigned)(ULONG_PTR)pIrp, (unsigned)(ULONG_PTR)pContext);
    // Informational answers of a start are a start all the same.
    if (pIrp->IoStatus.Status > 0 && pIrp->IoStatus.Status < 0xC0) {
        FLT_TRACE("CmnIrpSyncCompletion: changing status 0x%08x to STATUS_SUCCESS\n", (unsigned)pIrp->IoStatus.Status);
        pIrp->IoStatus.Status = STATUS_SUCCESS;
    }
    KeSetEvent((PKEVENT)pContext, IO_NO_INCREMENT, FALSE);
    FLT_TRACE_EXIT("CmnIrpSyncCompletion: status 0x%08x\n", (unsigned)STATUS_MORE_PROCESSING_REQUIRED);
    // The request stays with CmnSendIrpSync, which completes it once more.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CmnSendIrpSync(PDEVICE_OBJECT pLowerDevice, PIRP pIrp)
{
    FLT_TRACE_ENTRY("CmnSendIrpSync: pLowerDevice 0x%08x, pIrp 0x%08x\n", (unsigned)(ULONG_PTR)pLowerDevice,
                    (unsigned)(ULONG_PTR)pIrp);
    NTSTATUS status;
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (!pIrpStack) {
        FLT_TRACE_NULL("CmnSendIrpSync: pIrpStack");
        status = STATUS_INVALID_PARAMETER;
    } else {
        KEVENT event;
        KeInitializeEvent(&event, SynchronizationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(pIrp);
        IoSetCompletionRoutine(pIrp, CmnIrpSyncCompletion, &event, TRUE, TRUE, TRUE);

        status = IoCallDriver(pLowerDevice, pIrp);
        if (status == STATUS_SUCCESS) {
            // answered at once
        } else if ((status >= STATUS_WAIT_1 && status <= STATUS_WAIT_3) || status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = pIrp->IoStatus.Status;
        } else {
            FLT_TRACE("CmnSendIrpSync: Unhandled return code 0x%08x from IoCallDriver\n", (unsigned)status);
        }
    }
    // The completion routine stopped the completion at this level: finish it now.
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    FLT_TRACE_EXIT("CmnSendIrpSync: status 0x%08x\n", (unsigned)status);
    return status;
}
