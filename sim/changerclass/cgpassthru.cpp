// SCSI pass-through, buffered and direct, in the 64-bit layout and in the layout of a 32-bit
// process. The structure is checked against the request's buffers before anything is sent: every
// region it names (data, sense) must lie inside the buffer it will be read from or written to.
// The command goes to the changer as the caller wrote it; the caller gets the SCSI status, the sense
// data and the number of bytes that moved.
#include "changerclass.h"

namespace {

// What the two layouts share, and where the layout-specific fields are.
struct CgpPassThrough {
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
constexpr ULONG kData64 = FIELD_OFFSET(SCSI_PASS_THROUGH, DataBufferOffset);
constexpr ULONG kSense64 = FIELD_OFFSET(SCSI_PASS_THROUGH, SenseInfoOffset);
constexpr ULONG kCdb64 = FIELD_OFFSET(SCSI_PASS_THROUGH, Cdb);
constexpr ULONG kData32 = FIELD_OFFSET(SCSI_PASS_THROUGH32, DataBufferOffset);
constexpr ULONG kSense32 = FIELD_OFFSET(SCSI_PASS_THROUGH32, SenseInfoOffset);
constexpr ULONG kCdb32 = FIELD_OFFSET(SCSI_PASS_THROUGH32, Cdb);
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == kData64 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == kSense64 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, Cdb) == kCdb64,
              "buffered and direct share the 64-bit layout");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH, DataTransferLength) == FIELD_OFFSET(SCSI_PASS_THROUGH32, DataTransferLength) &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, DataIn) == FIELD_OFFSET(SCSI_PASS_THROUGH32, DataIn) &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, ScsiStatus) == FIELD_OFFSET(SCSI_PASS_THROUGH32, ScsiStatus) &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, SenseInfoLength) == FIELD_OFFSET(SCSI_PASS_THROUGH32, SenseInfoLength),
              "the leading fields are common to both layouts");

// [Offset, Offset + Length) lies inside a region of Size bytes that starts after the header.
BOOLEAN CgpRegionFits(ULONG64 Offset, ULONG Length, ULONG Header, ULONG Size)
{
    return Offset >= Header && Offset <= Size && Length <= Size - Offset;
}

NTSTATUS CgpParse(const UCHAR *Buffer, ULONG In, ULONG Out, BOOLEAN Wow, CgpPassThrough *Pt)
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
        RtlCopyMemory(&data, Buffer + kData32, sizeof(data));
        Pt->ulData = data;
        RtlCopyMemory(&Pt->ulSenseOffset, Buffer + kSense32, sizeof(ULONG));
        RtlCopyMemory(Pt->Cdb, Buffer + kCdb32, sizeof(Pt->Cdb));
    } else {
        RtlCopyMemory(&Pt->ulData, Buffer + kData64, sizeof(ULONG64));
        RtlCopyMemory(&Pt->ulSenseOffset, Buffer + kSense64, sizeof(ULONG));
        RtlCopyMemory(Pt->Cdb, Buffer + kCdb64, sizeof(Pt->Cdb));
    }
    if (Pt->ucCdbLength == 0 || Pt->ucCdbLength > sizeof(Pt->Cdb))
        return STATUS_INVALID_PARAMETER;
    if (Pt->ucDirection > SCSI_IOCTL_DATA_UNSPECIFIED)
        return STATUS_INVALID_PARAMETER;
    // Without a direction the fabric could not know which way data would move.
    if (Pt->ucDirection == SCSI_IOCTL_DATA_UNSPECIFIED && Pt->ulDataLength)
        return STATUS_INVALID_PARAMETER;
    if (Pt->ulDataLength > CG_MAX_TRANSFER)
        return STATUS_INVALID_PARAMETER;
    // Sense data goes back to the caller: it must fit in the output.
    if (Pt->ucSenseLength && !CgpRegionFits(Pt->ulSenseOffset, Pt->ucSenseLength, Pt->ulHeader, Out))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// The direct buffer of a user-mode caller, locked for the transfer.
NTSTATUS CgpLockUserBuffer(PVOID Address, ULONG Length, BOOLEAN DataIn, PMDL *Mdl, PVOID *System)
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

} // namespace

/*++
Routine Description:
    IOCTL_SCSI_PASS_THROUGH (Direct FALSE) and IOCTL_SCSI_PASS_THROUGH_DIRECT (Direct TRUE).
    A request from a 32-bit process carries the 32-bit layout. The request succeeds when the
    command reached the changer, whatever its SCSI status; a transport failure is its status.
--*/
NTSTATUS CgPassThrough(CgExtension *Ext, CgIo *Io, BOOLEAN Direct, ULONG_PTR *Information)
{
    PIRP irp = Io->Irp;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto *buffer = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
    BOOLEAN wow = irp->RequestorMode == UserMode && IoIs32bitProcess(irp);
    *Information = 0;

    CgpPassThrough pt;
    NTSTATUS status = CgpParse(buffer, in, out, wow, &pt);
    if (!NT_SUCCESS(status))
        return status;

    BOOLEAN dataIn = pt.ucDirection == SCSI_IOCTL_DATA_IN;
    PVOID data = nullptr;
    PMDL mdl = nullptr;
    if (pt.ulDataLength) {
        if (!Direct) {
            // The system buffer holds the larger of the two lengths; data coming back must also fit
            // in what is copied out.
            ULONG size = dataIn ? out : (in > out ? in : out);
            if (!CgpRegionFits(pt.ulData, pt.ulDataLength, pt.ulHeader, size))
                return STATUS_INVALID_PARAMETER;
            data = buffer + pt.ulData;
        } else if (pt.ulData == 0) {
            return STATUS_INVALID_PARAMETER;
        } else if (irp->RequestorMode == KernelMode) {
            data = (PVOID)(ULONG_PTR)pt.ulData; // a kernel caller passes a system address (the bus: its locked MDL's)
        } else {
            status = CgpLockUserBuffer((PVOID)(ULONG_PTR)pt.ulData, pt.ulDataLength, dataIn, &mdl, &data);
            if (!NT_SUCCESS(status))
                return status;
        }
    }

    FabScsiRequest request;
    RtlZeroMemory(&request, sizeof(request));
    RtlCopyMemory(request.Cdb, pt.Cdb, pt.ucCdbLength);
    request.CdbLength = pt.ucCdbLength;
    request.Direction = !pt.ulDataLength ? FAB_DATA_NONE : dataIn ? FAB_DATA_IN : FAB_DATA_OUT;
    request.DataLength = pt.ulDataLength;
    request.Data = data;
    status = CgSendRequest(Ext, &request);
    if (NT_SUCCESS(status))
        CgNoteSense(Io, &request);
    if (mdl) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    if (!NT_SUCCESS(status))
        return status;

    ULONG senseCopied = 0;
    if (request.ScsiStatus == SCSISTAT_CHECK_CONDITION && pt.ucSenseLength) {
        senseCopied = request.SenseLength < pt.ucSenseLength ? request.SenseLength : pt.ucSenseLength;
        RtlCopyMemory(buffer + pt.ulSenseOffset, request.Sense, senseCopied);
    }
    buffer[FIELD_OFFSET(SCSI_PASS_THROUGH, ScsiStatus)] = request.ScsiStatus;
    buffer[FIELD_OFFSET(SCSI_PASS_THROUGH, SenseInfoLength)] = (UCHAR)senseCopied;
    RtlCopyMemory(buffer + FIELD_OFFSET(SCSI_PASS_THROUGH, DataTransferLength), &request.DataTransferred, sizeof(ULONG));

    ULONG64 end = pt.ulHeader;
    if (!Direct && dataIn && request.DataTransferred && pt.ulData + request.DataTransferred > end)
        end = pt.ulData + request.DataTransferred;
    if (senseCopied && pt.ulSenseOffset + senseCopied > end)
        end = pt.ulSenseOffset + senseCopied;
    *Information = (ULONG_PTR)end;
    return STATUS_SUCCESS;
}
