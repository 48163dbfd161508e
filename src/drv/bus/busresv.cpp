// Reservations across paths. (Being written.)
#include "bus.h"

BOOLEAN BusReservationPrepare(LogicalDeviceExtension *Ldx, PDEVICE_OBJECT Path, ScsiStatus *Block) { return FALSE; }
void BusReservationReport(LogicalDeviceExtension *Ldx, PDEVICE_OBJECT Path, PIRP Request, const ScsiStatus *Block) {}
void BusReservationAfterAttempt(LogicalDeviceExtension *Ldx, PDEVICE_OBJECT Path, const IO_STACK_LOCATION *Stack,
                                const UCHAR *Data, ULONG DataLength, NTSTATUS Status, BOOLEAN Changed)
{
}
