// The StatusStructTable. (Being written.)
#include "bus.h"

NTSTATUS BusStatusTableInsert(StatusStructBlock *Table, PIRP Irp, ScsiStatus *Block, StatusStructBlock **InBlock, ULONG *Slot)
{
    return STATUS_NOT_IMPLEMENTED;
}
void BusStatusTableRemove(StatusStructBlock *Table, StatusStructBlock *InBlock, ULONG Slot) {}
void BusStatusTableFreeChain(StatusStructBlock *Table) {}
