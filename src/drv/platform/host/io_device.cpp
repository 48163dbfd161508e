// Device objects, device stacks, symbolic links and driver-object extensions.
#include "io_internal.h"

#include <algorithm>

namespace hk::internal {

std::recursive_mutex &IoDatabaseLock()
{
    static std::recursive_mutex lock;
    return lock;
}

PDEVICE_OBJECT IoLowerDevice(PDEVICE_OBJECT device)
{
    return device ? DevExt(device)->attachedTo : nullptr;
}

PDEVICE_OBJECT IoBottomDevice(PDEVICE_OBJECT device)
{
    std::lock_guard<std::recursive_mutex> lock(IoDatabaseLock());
    while (device && DevExt(device)->attachedTo)
        device = DevExt(device)->attachedTo;
    return device;
}

std::string DeviceName(PDEVICE_OBJECT device)
{
    if (!device)
        return {};
    return Utf8(DevExt(device)->name);
}

std::string DriverService(PDRIVER_OBJECT driver)
{
    if (!driver)
        return {};
    if (driver->DriverExtension && driver->DriverExtension->ServiceKeyName.Buffer)
        return Utf8(driver->DriverExtension->ServiceKeyName);
    return Utf8(driver->DriverName);
}

LONG IoOpenCount(PDEVICE_OBJECT device)
{
    return DevExt(device)->openCount.load();
}

} // namespace hk::internal

using namespace hk::internal;

namespace {

std::u16string ToU16(PCUNICODE_STRING s)
{
    if (!s || !s->Buffer)
        return {};
    return std::u16string((const char16_t *)s->Buffer, s->Length / sizeof(WCHAR));
}

void DeleteDeviceObject(void *body)
{
    auto *device = (PDEVICE_OBJECT)body;
    // The driver hears of the free from the object manager once the block is gone.
    delete device->DeviceObjectExtension;
    device->DeviceObjectExtension = nullptr;
}

} // namespace

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                                         DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PDEVICE_OBJECT *DeviceObject)
{
    return IoCreateDeviceFor(DriverObject, DeviceExtensionSize, ToU16(DeviceName), DeviceType, DeviceCharacteristics,
                             Exclusive, DeviceObject, __builtin_return_address(0));
}

NTSTATUS hk::internal::IoCreateDeviceFor(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, const std::u16string &name,
                                         DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PDEVICE_OBJECT *DeviceObject, const void *caller)
{
    *DeviceObject = nullptr;
    size_t objectSize = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
    std::lock_guard<std::recursive_mutex> lock(IoDatabaseLock());
    if (!name.empty()) {
        NTSTATUS probe;
        if (void *existing = ObReferenceByName(name, ObType::Device, &probe)) {
            ObfDereferenceObject(existing);
            return STATUS_OBJECT_NAME_COLLISION;
        }
        if (probe == STATUS_OBJECT_TYPE_MISMATCH)
            return STATUS_OBJECT_NAME_COLLISION;
    }
    auto *device = (PDEVICE_OBJECT)ObCreateObject(ObType::Device, objectSize + DeviceExtensionSize, DeleteDeviceObject,
                                                  hk::AllocKind::DeviceObject, hk::MakeTag("Devi"), caller);
    if (!device)
        return STATUS_INSUFFICIENT_RESOURCES;
    device->Type = IO_TYPE_DEVICE;
    device->Size = (USHORT)(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING;
    if (Exclusive)
        device->Flags |= DO_EXCLUSIVE;
    if (!name.empty())
        device->Flags |= DO_DEVICE_HAS_NAME;
    device->Characteristics = DeviceCharacteristics;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceExtension = DeviceExtensionSize ? (uint8_t *)device + objectSize : nullptr;
    device->DeviceObjectExtension = new _DEVOBJ_EXTENSION();
    device->DeviceObjectExtension->device = device;
    device->DeviceObjectExtension->name = name;
    if (!name.empty()) {
        NTSTATUS status = ObInsertName(name, device);
        if (!NT_SUCCESS(status)) {
            ObfDereferenceObject(device);
            return status;
        }
    }
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    if (DriverImage *image = ImageFromDriver(DriverObject))
        image->liveDevices.fetch_add(1);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::recursive_mutex> lock(IoDatabaseLock());
    _DEVOBJ_EXTENSION *ext = DevExt(DeviceObject);
    if (ext->deleted)
        BugCheck(hk::BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)DeviceObject, 0, 0, 0,
                 "IoDeleteDevice called twice for " + DeviceName(DeviceObject) + " by " +
                     DescribeAddress(__builtin_return_address(0)));
    if (ext->attachedTo)
        ReportViolation(hk::BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)DeviceObject,
                        (ULONG_PTR)ext->attachedTo, 0, 0,
                        "IoDeleteDevice of a device still attached to a lower device (IoDetachDevice missing), by " +
                            DescribeAddress(__builtin_return_address(0)));
    ext->deleted = true;
    ObRemoveName(DeviceObject);
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
        if (*link == DeviceObject) {
            *link = DeviceObject->NextDevice;
            break;
        }
    }
    // In a removal each driver forwards REMOVE before it detaches, so a lower driver deletes its
    // device while the one above is still attached: the object stays until that one detaches.
    if (DeviceObject->AttachedDevice) {
        ext->deleteOnDetach = true;
        return;
    }
    ObfDereferenceObject(DeviceObject);
}

extern "C" NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    return ObCreateSymbolicLink(ToU16(SymbolicLinkName), ToU16(DeviceName));
}

extern "C" NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    return ObDeleteSymbolicLink(ToU16(SymbolicLinkName));
}

extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::recursive_mutex> lock(IoDatabaseLock());
    while (DeviceObject->AttachedDevice)
        DeviceObject = DeviceObject->AttachedDevice;
    return DeviceObject;
}

extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::recursive_mutex> lock(IoDatabaseLock());
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    ObfReferenceObject(top);
    return top;
}

extern "C" NTSTATUS NTAPI IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice,
                                                          PDEVICE_OBJECT *AttachedToDeviceObject)
{
    std::lock_guard<std::recursive_mutex> lock(IoDatabaseLock());
    PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
    if (DevExt(top)->deleted) {
        *AttachedToDeviceObject = nullptr;
        return STATUS_NO_SUCH_DEVICE;
    }
    *AttachedToDeviceObject = top;
    top->AttachedDevice = SourceDevice;
    DevExt(SourceDevice)->attachedTo = top;
    SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    return STATUS_SUCCESS;
}

extern "C" PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    PDEVICE_OBJECT attached = nullptr;
    return NT_SUCCESS(IoAttachDeviceToDeviceStackSafe(SourceDevice, TargetDevice, &attached)) ? attached : nullptr;
}

extern "C" VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    std::lock_guard<std::recursive_mutex> lock(IoDatabaseLock());
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (!upper)
        BugCheck(hk::BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)TargetDevice, 0, 0, 0,
                 "IoDetachDevice on a device nothing is attached to, by " +
                     DescribeAddress(__builtin_return_address(0)));
    DevExt(upper)->attachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
    if (DevExt(TargetDevice)->deleteOnDetach) {
        DevExt(TargetDevice)->deleteOnDetach = false;
        ObfDereferenceObject(TargetDevice);
    }
}

extern "C" NTSTATUS NTAPI IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress,
                                                          ULONG DriverObjectExtensionSize, PVOID *DriverObjectExtension)
{
    *DriverObjectExtension = nullptr;
    DriverImage *image = ImageFromDriver(DriverObject);
    if (!image)
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::recursive_mutex> lock(IoDatabaseLock());
    for (auto &[id, block] : image->extensions)
        if (id == ClientIdentificationAddress)
            return STATUS_OBJECT_NAME_COLLISION;
    void *block = PoolAllocate(NonPagedPool, DriverObjectExtensionSize, hk::MakeTag("DrvX"),
                               hk::AllocKind::DriverObjectExtension, __builtin_return_address(0));
    if (!block)
        return STATUS_INSUFFICIENT_RESOURCES;
    memset(block, 0, DriverObjectExtensionSize);
    image->extensions.emplace_back(ClientIdentificationAddress, block);
    *DriverObjectExtension = block;
    return STATUS_SUCCESS;
}

extern "C" PVOID NTAPI IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress)
{
    DriverImage *image = ImageFromDriver(DriverObject);
    if (!image)
        return nullptr;
    std::lock_guard<std::recursive_mutex> lock(IoDatabaseLock());
    for (auto &[id, block] : image->extensions)
        if (id == ClientIdentificationAddress)
            return block;
    return nullptr;
}
