// The send-over-a-path handler. (Being written.)
#include "bus.h"

NTSTATUS BusSendOverPath(PDEVICE_OBJECT LogicalDevice, PIRP Irp) { return BusCompleteRequest(Irp, STATUS_NOT_IMPLEMENTED, 0); }
NTSTATUS BusDeviceControlPreHandler(PDEVICE_OBJECT LogicalDevice, PIRP Irp) { return BusCompleteRequest(Irp, STATUS_NOT_IMPLEMENTED, 0); }
