// File objects: opening a device by name (create goes to the top of the device's stack), cleanup
// when the last handle goes, close when the last reference goes.
#include "io_internal.h"

namespace hk::internal {
namespace {

// Private to the host: the create succeeded, so a close is owed.
constexpr ULONG kFileOpened = 0x40000000;

NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR major)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
    PIRP irp = IoAllocateSystemIrp(top->StackSize, IrpOrigin::System);
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = file;
    IO_STATUS_BLOCK iosb{};
    return IoCallAndWait(top, irp, &iosb);
}

void DeleteFileObject(void *body)
{
    auto *file = (PFILE_OBJECT)body;
    if (file->Flags & kFileOpened) {
        file->Flags &= ~kFileOpened;
        // The reference that keeps the body alive while the close runs.
        ObHeader(file)->references.fetch_add(1);
        SendFileRequest(file, IRP_MJ_CLOSE);
        ObHeader(file)->references.fetch_sub(1);
        PDEVICE_OBJECT device = file->DeviceObject;
        DevExt(device)->openCount.fetch_sub(1);
        PnpDeviceClosed(device);
    }
    // The device's reference goes last: a removal queued above finds the device still there.
    if (file->DeviceObject)
        ObfDereferenceObject(file->DeviceObject);
    delete[] (char16_t *)file->FileName.Buffer;
    file->FileName.Buffer = nullptr;
}

} // namespace

NTSTATUS IoOpenDevice(const std::u16string &path, ACCESS_MASK access, ULONG share, KPROCESSOR_MODE mode,
                      PFILE_OBJECT *fileObject)
{
    return IoOpenDeviceWithEa(path, access, share, mode, nullptr, 0, FILE_OPEN, 0, fileObject);
}

NTSTATUS IoOpenDeviceWithEa(const std::u16string &path, ACCESS_MASK access, ULONG share, KPROCESSOR_MODE mode,
                            const void *eaBuffer, ULONG eaLength, ULONG disposition, ULONG options,
                            PFILE_OBJECT *fileObject)
{
    *fileObject = nullptr;
    NTSTATUS status;
    std::u16string remainder;
    auto *device = (PDEVICE_OBJECT)ObReferenceByName(path, ObType::Device, &status, &remainder);
    if (!device)
        return status;
    _DEVOBJ_EXTENSION *ext = DevExt(device);
    if (ext->deleted || (device->Flags & DO_DEVICE_INITIALIZING)) {
        ObfDereferenceObject(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    if ((device->Flags & DO_EXCLUSIVE) && ext->openCount.load() > 0) {
        ObfDereferenceObject(device);
        return STATUS_ACCESS_DENIED;
    }
    auto *file = (PFILE_OBJECT)ObCreateObject(ObType::File, sizeof(FILE_OBJECT), DeleteFileObject);
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device; // keeps the lookup's reference
    file->ReadAccess = (access & (GENERIC_READ | FILE_READ_DATA | GENERIC_ALL)) != 0;
    file->WriteAccess = (access & (GENERIC_WRITE | FILE_WRITE_DATA | GENERIC_ALL)) != 0;
    KeInitializeEvent(&file->Event, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    if (!remainder.empty()) {
        auto *buffer = new char16_t[remainder.size() + 1];
        memcpy(buffer, remainder.data(), remainder.size() * sizeof(char16_t));
        buffer[remainder.size()] = 0;
        file->FileName.Buffer = (PWCH)buffer;
        file->FileName.Length = (USHORT)(remainder.size() * sizeof(char16_t));
        file->FileName.MaximumLength = (USHORT)(file->FileName.Length + sizeof(char16_t));
    }

    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    PIRP irp = IoAllocateSystemIrp(top->StackSize, IrpOrigin::System);
    irp->RequestorMode = mode;
    irp->Tail.Overlay.OriginalFileObject = file;
    TrackIrp(irp)->process = CurrentThreadState().process;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_CREATE;
    stack->FileObject = file;
    stack->Parameters.Create.ShareAccess = (USHORT)share;
    stack->Parameters.Create.Options = ((disposition & 0xFF) << 24) | (options & 0x00FFFFFF);
    // As the I/O manager does, the extended attributes reach the driver as a system buffer copy.
    std::vector<uint8_t> ea;
    if (eaBuffer && eaLength) {
        ea.assign((const uint8_t *)eaBuffer, (const uint8_t *)eaBuffer + eaLength);
        irp->AssociatedIrp.SystemBuffer = ea.data();
        stack->Parameters.Create.EaLength = eaLength;
    }
    IO_STATUS_BLOCK iosb{};
    status = IoCallAndWait(top, irp, &iosb);
    if (!NT_SUCCESS(status)) {
        ObfDereferenceObject(file);
        return status;
    }
    file->Flags |= kFileOpened;
    ext->openCount.fetch_add(1);
    *fileObject = file;
    return STATUS_SUCCESS;
}

void IoCleanupFile(PFILE_OBJECT file)
{
    if (!(file->Flags & kFileOpened) || (file->Flags & FO_CLEANUP_COMPLETE))
        return;
    SendFileRequest(file, IRP_MJ_CLEANUP);
    file->Flags |= FO_CLEANUP_COMPLETE;
}

} // namespace hk::internal

using namespace hk::internal;

extern "C" PDEVICE_OBJECT NTAPI IoGetRelatedDeviceObject(PFILE_OBJECT FileObject)
{
    return IoGetAttachedDevice(FileObject->DeviceObject);
}

extern "C" NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                                   PFILE_OBJECT *FileObject, PDEVICE_OBJECT *DeviceObject)
{
    std::u16string name((const char16_t *)ObjectName->Buffer, ObjectName->Length / sizeof(WCHAR));
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = IoOpenDevice(name, DesiredAccess, 0, KernelMode, &file);
    if (!NT_SUCCESS(status))
        return status;
    // The real routine opens a handle, references the file object and closes the handle again:
    // the driver below sees create, then cleanup, and the close only when the caller dereferences.
    IoCleanupFile(file);
    *FileObject = file;
    *DeviceObject = IoGetRelatedDeviceObject(file);
    return STATUS_SUCCESS;
}
