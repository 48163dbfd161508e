// The medium store: block data as one byte stream in pool chunks, and the index of objects.
// Callers hold the drive's lock; everything here is paged and runs at APC_LEVEL at most.
#include "tapeint.h"

namespace {

constexpr ULONG64 kInitialObjectSlots = 64;
constexpr ULONG kInitialChunkSlots = 16;

ULONG ChunksFor(ULONG64 Bytes)
{
    return (ULONG)((Bytes + TAPE_CHUNK_SIZE - 1) / TAPE_CHUNK_SIZE);
}

// Grows the object index so that one more object fits.
NTSTATUS TapepGrowIndex(TapeMedium *Medium)
{
    if (Medium->ObjectCount < Medium->ObjectSlots)
        return STATUS_SUCCESS;
    ULONG64 slots = Medium->ObjectSlots ? Medium->ObjectSlots * 2 : kInitialObjectSlots;
    SIZE_T bytes = (SIZE_T)(slots * sizeof(TapeObject));
    auto *objects = (TapeObject *)ExAllocatePoolWithTag(PagedPool, bytes, TAPE_TAG_INDEX);
    if (!objects)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (Medium->Objects) {
        RtlCopyMemory(objects, Medium->Objects, (SIZE_T)(Medium->ObjectCount * sizeof(TapeObject)));
        ExFreePoolWithTag(Medium->Objects, TAPE_TAG_INDEX);
    }
    Medium->Objects = objects;
    Medium->ObjectSlots = slots;
    return STATUS_SUCCESS;
}

// Allocates chunks until the stream can hold Bytes bytes.
NTSTATUS TapepGrowChunks(TapeMedium *Medium, ULONG64 Bytes)
{
    ULONG needed = ChunksFor(Bytes);
    while (Medium->ChunkCount < needed) {
        if (Medium->ChunkCount == Medium->ChunkSlots) {
            ULONG slots = Medium->ChunkSlots ? Medium->ChunkSlots * 2 : kInitialChunkSlots;
            auto *table = (PUCHAR *)ExAllocatePoolWithTag(PagedPool, slots * sizeof(PUCHAR), TAPE_TAG_INDEX);
            if (!table)
                return STATUS_INSUFFICIENT_RESOURCES;
            if (Medium->Chunks) {
                RtlCopyMemory(table, Medium->Chunks, Medium->ChunkCount * sizeof(PUCHAR));
                ExFreePoolWithTag(Medium->Chunks, TAPE_TAG_INDEX);
            }
            Medium->Chunks = table;
            Medium->ChunkSlots = slots;
        }
        auto *chunk = (PUCHAR)ExAllocatePoolWithTag(PagedPool, TAPE_CHUNK_SIZE, TAPE_TAG_DATA);
        if (!chunk)
            return STATUS_INSUFFICIENT_RESOURCES;
        Medium->Chunks[Medium->ChunkCount++] = chunk;
    }
    return STATUS_SUCCESS;
}

} // namespace

VOID TapeMediumInitialize(TapeMedium *Medium)
{
    RtlZeroMemory(Medium, sizeof(*Medium));
}

VOID TapeMediumFree(TapeMedium *Medium)
{
    for (ULONG i = 0; i < Medium->ChunkCount; i++)
        ExFreePoolWithTag(Medium->Chunks[i], TAPE_TAG_DATA);
    if (Medium->Chunks)
        ExFreePoolWithTag(Medium->Chunks, TAPE_TAG_INDEX);
    if (Medium->Objects)
        ExFreePoolWithTag(Medium->Objects, TAPE_TAG_INDEX);
    BOOLEAN writeProtected = Medium->WriteProtected;
    TapeMediumInitialize(Medium);
    // The tab belongs to the cartridge, not to what is recorded on it.
    Medium->WriteProtected = writeProtected;
}

VOID TapeMediumTruncate(TapeMedium *Medium, ULONG64 Index)
{
    if (Index >= Medium->ObjectCount)
        return;
    for (ULONG64 i = Index; i < Medium->ObjectCount; i++)
        if (TapeIsFilemark(&Medium->Objects[i]))
            Medium->Filemarks--;
    Medium->DataBytes = Medium->Objects[Index].Offset;
    Medium->ObjectCount = Index;
    // Space was freed: the end of the medium is no longer where the data stop.
    Medium->EndOfMedium = FALSE;
    ULONG keep = ChunksFor(Medium->DataBytes);
    while (Medium->ChunkCount > keep)
        ExFreePoolWithTag(Medium->Chunks[--Medium->ChunkCount], TAPE_TAG_DATA);
}

NTSTATUS TapeMediumReserve(TapeMedium *Medium, ULONG Length)
{
    NTSTATUS status = TapepGrowIndex(Medium);
    if (!NT_SUCCESS(status))
        return status;
    return TapepGrowChunks(Medium, Medium->DataBytes + Length);
}

VOID TapeMediumAppendBlock(TapeMedium *Medium, const UCHAR *Data, ULONG Length)
{
    TapeObject *object = &Medium->Objects[Medium->ObjectCount];
    object->Offset = Medium->DataBytes;
    object->Length = Length;
    object->Flags = 0;
    ULONG64 offset = Medium->DataBytes;
    ULONG done = 0;
    while (done < Length) {
        ULONG inChunk = (ULONG)(offset % TAPE_CHUNK_SIZE);
        ULONG n = TAPE_CHUNK_SIZE - inChunk;
        if (n > Length - done)
            n = Length - done;
        RtlCopyMemory(Medium->Chunks[offset / TAPE_CHUNK_SIZE] + inChunk, Data + done, n);
        done += n;
        offset += n;
    }
    Medium->DataBytes += Length;
    Medium->ObjectCount++;
}

VOID TapeMediumAppendFilemark(TapeMedium *Medium)
{
    TapeObject *object = &Medium->Objects[Medium->ObjectCount];
    object->Offset = Medium->DataBytes;
    object->Length = 0;
    object->Flags = TAPE_OBJECT_FILEMARK;
    Medium->ObjectCount++;
    Medium->Filemarks++;
}

VOID TapeMediumCopyOut(const TapeMedium *Medium, ULONG64 Offset, PUCHAR Buffer, ULONG Length)
{
    ULONG done = 0;
    while (done < Length) {
        ULONG inChunk = (ULONG)(Offset % TAPE_CHUNK_SIZE);
        ULONG n = TAPE_CHUNK_SIZE - inChunk;
        if (n > Length - done)
            n = Length - done;
        RtlCopyMemory(Buffer + done, Medium->Chunks[Offset / TAPE_CHUNK_SIZE] + inChunk, n);
        done += n;
        Offset += n;
    }
}

BOOLEAN TapeMediumCompare(const TapeMedium *Medium, ULONG64 Offset, const UCHAR *Buffer, ULONG Length)
{
    ULONG done = 0;
    while (done < Length) {
        ULONG inChunk = (ULONG)(Offset % TAPE_CHUNK_SIZE);
        ULONG n = TAPE_CHUNK_SIZE - inChunk;
        if (n > Length - done)
            n = Length - done;
        if (!RtlEqualMemory(Buffer + done, Medium->Chunks[Offset / TAPE_CHUNK_SIZE] + inChunk, n))
            return FALSE;
        done += n;
        Offset += n;
    }
    return TRUE;
}
