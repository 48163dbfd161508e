// Device control on the control device. (Being written.)
#include "bus.h"

NTSTATUS BusFdoDeviceControl(BusExtension *Bus, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Bus->pLowerDevice, Irp);
}

NTSTATUS BusQueryPaths(BusExtension *Bus, PIRP Irp) { return BusCompleteRequest(Irp, STATUS_NOT_IMPLEMENTED, 0); }
