// The StatusStructTable: where the path filter and the class driver find the ScsiStatus block of
// a request the bus sent down a path. The first block is the driver-object extension; further
// blocks are allocated when every slot is taken and freed again when they empty. One spin lock,
// in the first block, guards the whole chain; the filter's lookups read it without the lock,
// which is safe because a slot is filled before its request is sent and cleared only after the
// request came back.
#include "bus.h"

namespace {

// Slots 0 and 1 of the first block carry the filter's start-time hand-over of the table to the
// class driver; requests never take them. Later blocks have no such use and start at slot 0.
constexpr ULONG BUS_FIRST_BLOCK_FIRST_SLOT = 2;

constexpr ULONG64 BUS_ALL_SLOTS_MASK = (1ull << VYR_STATUS_TABLE_SLOTS) - 1;

inline StatusStructBlock *BuspNextBlock(const StatusStructBlock *Block)
{
    return (StatusStructBlock *)(ULONG_PTR)Block->pNext;
}

// The lowest free slot of a block at or after First, or VYR_STATUS_TABLE_SLOTS when none is free.
ULONG BuspFreeSlot(const StatusStructBlock *Block, ULONG First)
{
    for (ULONG slot = First; slot < VYR_STATUS_TABLE_SLOTS; slot++)
        if (!(Block->ulOccupancy & (1ull << slot)))
            return slot;
    return VYR_STATUS_TABLE_SLOTS;
}

} // namespace

/*++
Routine Description:
    Records (Irp, Block) in the first free slot of the chain, appending a zeroed block when every
    slot is in use.
Arguments:
    Table - the first block (the driver-object extension).
    InBlock, Slot - receive where the pair was recorded, for BusStatusTableRemove.
Return Value:
    STATUS_SUCCESS, or STATUS_INSUFFICIENT_RESOURCES when a new block cannot be allocated.
IRQL: <= DISPATCH_LEVEL.
--*/
NTSTATUS BusStatusTableInsert(StatusStructBlock *Table, PIRP Irp, ScsiStatus *Block, StatusStructBlock **InBlock,
                              ULONG *Slot)
{
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&Table->Lock, &irql);
    StatusStructBlock *block = Table;
    ULONG slot = BuspFreeSlot(block, BUS_FIRST_BLOCK_FIRST_SLOT);
    while (slot == VYR_STATUS_TABLE_SLOTS) {
        StatusStructBlock *next = BuspNextBlock(block);
        if (!next) {
            next = (StatusStructBlock *)ExAllocatePoolWithTag(NonPagedPool, sizeof(StatusStructBlock),
                                                              VYR_TAG_BUS_STATUS_TABLE);
            if (!next) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            RtlZeroMemory(next, sizeof(StatusStructBlock));
            block->pNext = (ULONG64)(ULONG_PTR)next;
        }
        block = next;
        slot = BuspFreeSlot(block, 0);
    }
    if (NT_SUCCESS(status)) {
        // The pointers go in before the bit: the filter reads without the lock.
        block->Slots[slot].pIrp = (ULONG64)(ULONG_PTR)Irp;
        block->Slots[slot].pScsiStatus = (ULONG64)(ULONG_PTR)Block;
        block->ulOccupancy |= 1ull << slot;
        *InBlock = block;
        *Slot = slot;
    }
    KeReleaseSpinLock(&Table->Lock, irql);
    return status;
}

/*++
Routine Description:
    Clears a slot that BusStatusTableInsert filled. A block after the first that becomes empty
    is unlinked and freed.
IRQL: <= DISPATCH_LEVEL.
--*/
void BusStatusTableRemove(StatusStructBlock *Table, StatusStructBlock *InBlock, ULONG Slot)
{
    if (!InBlock || Slot >= VYR_STATUS_TABLE_SLOTS)
        return;
    StatusStructBlock *release = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&Table->Lock, &irql);
    InBlock->ulOccupancy &= ~(1ull << Slot) & BUS_ALL_SLOTS_MASK;
    InBlock->Slots[Slot].pIrp = 0;
    InBlock->Slots[Slot].pScsiStatus = 0;
    if (InBlock != Table && InBlock->ulOccupancy == 0) {
        for (StatusStructBlock *previous = Table; previous; previous = BuspNextBlock(previous)) {
            if (BuspNextBlock(previous) == InBlock) {
                previous->pNext = InBlock->pNext;
                release = InBlock;
                break;
            }
        }
    }
    KeReleaseSpinLock(&Table->Lock, irql);
    if (release)
        ExFreePoolWithTag(release, VYR_TAG_BUS_STATUS_TABLE);
}

/*++
Routine Description:
    Frees every block after the first (driver unload; no request is in flight any more).
--*/
void BusStatusTableFreeChain(StatusStructBlock *Table)
{
    KIRQL irql;
    KeAcquireSpinLock(&Table->Lock, &irql);
    StatusStructBlock *chain = BuspNextBlock(Table);
    Table->pNext = 0;
    KeReleaseSpinLock(&Table->Lock, irql);
    while (chain) {
        StatusStructBlock *next = BuspNextBlock(chain);
        ExFreePoolWithTag(chain, VYR_TAG_BUS_STATUS_TABLE);
        chain = next;
    }
}
