// The path table. (Being written.)
#include "bus.h"

NTSTATUS BusRegisterPath(BusExtension *Bus, PathRegistration *Registration) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS BusNotifyPathState(BusExtension *Bus, PDEVICE_OBJECT PathDevice, ULONG NewState) { return STATUS_SUCCESS; }
NTSTATUS BusNotifyOpenClose(BusExtension *Bus, PDEVICE_OBJECT PathDevice, ULONG Value) { return STATUS_ACCESS_DENIED; }
NTSTATUS BusBalanceOnOpenLocked(LogicalDeviceExtension *Ldx) { return STATUS_DELETE_PENDING; }
PDEVICE_OBJECT BusChoosePath(LogicalDeviceExtension *Ldx, PDEVICE_OBJECT **Tried, BOOLEAN WantPrimary) { return nullptr; }
void BusGetLogicalAddress(LogicalDeviceExtension *Ldx, VyrScsiAddress *Address) { RtlZeroMemory(Address, sizeof *Address); }
void BusDisposeAll(BusExtension *Bus) {}
