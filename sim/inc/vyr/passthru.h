// SCSI pass-through as the testbed's class driver stand-ins take it from a caller: the fields
// both layouts (64-bit and a 32-bit process's) share, checked against the request's buffers
// before anything is sent, and the locking of a direct caller's buffer.
//
// Test-only: nothing of the shipped product includes this header. The including file provides
// kernel.h (and, on the host, HkProbeAndLockPages).
#pragma once

// What the two layouts share, and where the layout-specific fields are.
struct SimPassThrough {
    ULONG ulHeader;        // size of the structure in this layout
    UCHAR ucCdbLength;
    UCHAR ucSenseLength;
    UCHAR ucDirection;
    ULONG ulDataLength;
    ULONG64 ulData;        // buffer offset (buffered) or address (direct)
    ULONG ulSenseOffset;
    UCHAR Cdb[16];
};

// Field offsets that differ between the layouts (the leading fields are common).
inline constexpr ULONG kSimPtData64 = FIELD_OFFSET(SCSI_PASS_THROUGH, DataBufferOffset);
inline constexpr ULONG kSimPtSense64 = FIELD_OFFSET(SCSI_PASS_THROUGH, SenseInfoOffset);
inline constexpr ULONG kSimPtCdb64 = FIELD_OFFSET(SCSI_PASS_THROUGH, Cdb);
inline constexpr ULONG kSimPtData32 = FIELD_OFFSET(SCSI_PASS_THROUGH32, DataBufferOffset);
inline constexpr ULONG kSimPtSense32 = FIELD_OFFSET(SCSI_PASS_THROUGH32, SenseInfoOffset);
inline constexpr ULONG kSimPtCdb32 = FIELD_OFFSET(SCSI_PASS_THROUGH32, Cdb);
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == kSimPtData64 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == kSimPtSense64 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, Cdb) == kSimPtCdb64,
              "buffered and direct share the 64-bit layout");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH, DataTransferLength) == FIELD_OFFSET(SCSI_PASS_THROUGH32, DataTransferLength) &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, DataIn) == FIELD_OFFSET(SCSI_PASS_THROUGH32, DataIn) &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, ScsiStatus) == FIELD_OFFSET(SCSI_PASS_THROUGH32, ScsiStatus) &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, SenseInfoLength) == FIELD_OFFSET(SCSI_PASS_THROUGH32, SenseInfoLength),
              "the leading fields are common to both layouts");

// [Offset, Offset + Length) lies inside a region of Size bytes that starts after the header.
inline BOOLEAN SimPtRegionFits(ULONG64 Offset, ULONG Length, ULONG Header, ULONG Size)
{
    return Offset >= Header && Offset <= Size && Length <= Size - Offset;
}

inline NTSTATUS SimPtParse(const UCHAR *Buffer, ULONG In, ULONG Out, BOOLEAN Wow, ULONG MaxTransfer, SimPassThrough *Pt)
{
    RtlZeroMemory(Pt, sizeof(*Pt));
    Pt->ulHeader = Wow ? sizeof(SCSI_PASS_THROUGH32) : sizeof(SCSI_PASS_THROUGH);
    // The structure comes in and goes back out: both buffers must hold it.
    if (!Buffer || In < Pt->ulHeader || Out < Pt->ulHeader)
        return STATUS_INFO_LENGTH_MISMATCH;
    USHORT length;
    RtlCopyMemory(&length, Buffer, sizeof(length));
    if (length != Pt->ulHeader)
        return STATUS_REVISION_MISMATCH;
    Pt->ucCdbLength = Buffer[FIELD_OFFSET(SCSI_PASS_THROUGH, CdbLength)];
    Pt->ucSenseLength = Buffer[FIELD_OFFSET(SCSI_PASS_THROUGH, SenseInfoLength)];
    Pt->ucDirection = Buffer[FIELD_OFFSET(SCSI_PASS_THROUGH, DataIn)];
    RtlCopyMemory(&Pt->ulDataLength, Buffer + FIELD_OFFSET(SCSI_PASS_THROUGH, DataTransferLength), sizeof(ULONG));
    if (Wow) {
        ULONG data;
        RtlCopyMemory(&data, Buffer + kSimPtData32, sizeof(data));
        Pt->ulData = data;
        RtlCopyMemory(&Pt->ulSenseOffset, Buffer + kSimPtSense32, sizeof(ULONG));
        RtlCopyMemory(Pt->Cdb, Buffer + kSimPtCdb32, sizeof(Pt->Cdb));
    } else {
        RtlCopyMemory(&Pt->ulData, Buffer + kSimPtData64, sizeof(ULONG64));
        RtlCopyMemory(&Pt->ulSenseOffset, Buffer + kSimPtSense64, sizeof(ULONG));
        RtlCopyMemory(Pt->Cdb, Buffer + kSimPtCdb64, sizeof(Pt->Cdb));
    }
    if (Pt->ucCdbLength == 0 || Pt->ucCdbLength > sizeof(Pt->Cdb))
        return STATUS_INVALID_PARAMETER;
    if (Pt->ucDirection > SCSI_IOCTL_DATA_UNSPECIFIED)
        return STATUS_INVALID_PARAMETER;
    // Without a direction the fabric could not know which way data would move.
    if (Pt->ucDirection == SCSI_IOCTL_DATA_UNSPECIFIED && Pt->ulDataLength)
        return STATUS_INVALID_PARAMETER;
    if (Pt->ulDataLength > MaxTransfer)
        return STATUS_INVALID_PARAMETER;
    // Sense data goes back to the caller: it must fit in the output.
    if (Pt->ucSenseLength && !SimPtRegionFits(Pt->ulSenseOffset, Pt->ucSenseLength, Pt->ulHeader, Out))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// The direct buffer of a user-mode caller, locked for the transfer.
inline NTSTATUS SimPtLockUserBuffer(PVOID Address, ULONG Length, BOOLEAN DataIn, PMDL *Mdl, PVOID *System)
{
    PMDL mdl = IoAllocateMdl(Address, Length, FALSE, FALSE, nullptr);
    if (!mdl)
        return STATUS_INSUFFICIENT_RESOURCES;
#if defined(_WIN32)
    // MmProbeAndLockPages raises on a bad user address and mingw has no __try; until the image
    // carries the SEH probe helper, direct pass-through from user mode is refused on Windows.
    IoFreeMdl(mdl);
    return STATUS_NOT_SUPPORTED;
#else
    NTSTATUS status = HkProbeAndLockPages(mdl, UserMode, DataIn ? IoWriteAccess : IoReadAccess);
    if (!NT_SUCCESS(status)) {
        IoFreeMdl(mdl);
        return status;
    }
    *System = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    if (!*System) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Mdl = mdl;
    return STATUS_SUCCESS;
#endif
}

