// Logical device objects and their names. (Being written.)
#include "bus.h"

NTSTATUS BusCreateLogicalDevice(BusExtension *Bus, const PathRegistration *Registration, LogicalDeviceExtension **Created)
{
    return STATUS_NOT_IMPLEMENTED;
}
void BusDeleteLogicalDevice(LogicalDeviceExtension *Ldx) {}
NTSTATUS BusLoadPersistentNames(BusExtension *Bus) { return STATUS_SUCCESS; }
void BusFreePersistentNames(BusExtension *Bus) {}
NTSTATUS BusWriteDeviceMap(LogicalDeviceExtension *Ldx, const VyrScsiAddress *Address) { return STATUS_SUCCESS; }
NTSTATUS BusLogicalPnp(PDEVICE_OBJECT LogicalDevice, PIRP Irp) { return BusCompleteRequest(Irp, STATUS_SUCCESS, 0); }
void BusLogicalReference(LogicalDeviceExtension *Ldx) {}
void BusLogicalDereference(LogicalDeviceExtension *Ldx) {}
