// Synchronous forwarding to the lower driver, shared by the tape and changer builds of the path
// filter. The routines know nothing of a filter's device extension: the caller names the device
// below it.
#pragma once

#include "kernel.h"

/*++
Routine Description:
    Forwards the current request to pLowerDevice, waits until the lower drivers are done with it,
    and completes it (no priority boost). Runs at passive level.

Arguments:
    pLowerDevice - the device the filter is attached to.
    pIrp         - the request; its current stack location is copied down.

Return Value:
    The request's final status (STATUS_SUCCESS when the lower driver answered it so at once), the
    lower driver's answer when it is none of the waiting statuses, or STATUS_INVALID_PARAMETER for
    a request without a current stack location.
--*/
NTSTATUS CmnSendIrpSync(PDEVICE_OBJECT pLowerDevice, PIRP pIrp);

// Completion routine of CmnSendIrpSync: turns informational statuses (1 to 0xBF) into
// STATUS_SUCCESS, signals the event given as context and keeps the request.
IO_COMPLETION_ROUTINE CmnIrpSyncCompletion;
