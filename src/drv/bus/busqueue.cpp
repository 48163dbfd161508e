// Dispatch on logical devices, the request queue and the workers. (Being written.)
#include "bus.h"

NTSTATUS BusLogicalCreate(PDEVICE_OBJECT LogicalDevice, PIRP Irp) { return BusCompleteRequest(Irp, STATUS_NOT_IMPLEMENTED, 0); }
NTSTATUS BusLogicalClose(PDEVICE_OBJECT LogicalDevice, PIRP Irp) { return BusCompleteRequest(Irp, STATUS_SUCCESS, 0); }
NTSTATUS BusLogicalReadWrite(PDEVICE_OBJECT LogicalDevice, PIRP Irp) { return BusCompleteRequest(Irp, STATUS_NOT_IMPLEMENTED, 0); }
NTSTATUS BusLogicalDeviceControl(PDEVICE_OBJECT LogicalDevice, PIRP Irp) { return BusCompleteRequest(Irp, STATUS_NOT_IMPLEMENTED, 0); }
NTSTATUS BusQueueRequest(PDEVICE_OBJECT LogicalDevice, PIRP Irp, PBUS_REQUEST_HANDLER Handler) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS BusStartWorkers(LogicalDeviceExtension *Ldx) { return STATUS_SUCCESS; }
void BusStopWorkers(LogicalDeviceExtension *Ldx) {}
NTSTATUS BusSendInternalRequest(LogicalDeviceExtension *Ldx, ULONG Code, PVOID In, ULONG InLength, PVOID Out,
                                ULONG OutLength, ULONG_PTR *Information)
{
    return STATUS_NOT_IMPLEMENTED;
}
PMDL BusFindLockedBuffer(LogicalDeviceExtension *Ldx, PIRP Irp) { return nullptr; }
void BusReleaseLockedBuffer(LogicalDeviceExtension *Ldx, PIRP Irp) {}
