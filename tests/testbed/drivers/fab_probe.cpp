// fab_probe: a tiny class driver for the fabric's path PDOs, bound to them through the critical
// device database. Each FDO \Device\FabProbe<n> answers a process's buffered requests by sending
// internal device control requests (or PnP queries) to the PDO below and reporting the answers.
// PnP events it sees go to the debug output as "fab_probe<n>: <event>".
#include "kernel.h"

#include "fab_probe.h"

namespace {

constexpr ULONG kTag = 0x62504146; // "FAPb"

struct ProbeExtension {
    PDEVICE_OBJECT Lower;
    ULONG Number;
    WCHAR LinkBuffer[32];
    UNICODE_STRING Link;
};

volatile LONG g_nextNumber = -1;

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// One internal device control request to the PDO, Argument1 = Argument; its completion status.
NTSTATUS SendInternal(ProbeExtension *Ext, ULONG Code, PVOID Argument)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(Code, Ext->Lower, NULL, 0, NULL, 0, TRUE, &event, &iosb);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Argument;
    NTSTATUS status = IoCallDriver(Ext->Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = iosb.Status;
    }
    return status;
}

// One PnP request to the PDO, pre-set to STATUS_NOT_SUPPORTED as the PnP manager sends them.
NTSTATUS SendPnp(ProbeExtension *Ext, UCHAR Minor, PIO_STACK_LOCATION Parameters, ULONG_PTR *Information)
{
    PIRP irp = IoAllocateIrp(Ext->Lower->StackSize, FALSE);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = Minor;
    next->Parameters = Parameters->Parameters;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalCompletion, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(Ext->Lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    NTSTATUS status = irp->IoStatus.Status;
    *Information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return status;
}

NTSTATUS Execute(ProbeExtension *Ext, PIRP Irp, ULONG_PTR *Information)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto *buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    if (inLength < sizeof(FabProbeCommand))
        return STATUS_INFO_LENGTH_MISMATCH;
    FabProbeCommand command;
    RtlCopyMemory(&command, buffer, sizeof(command));
    if (command.DataLength > FAB_PROBE_MAX_DATA)
        return STATUS_INVALID_PARAMETER;
    BOOLEAN out = command.Direction == FAB_DATA_OUT;
    BOOLEAN in = command.Direction == FAB_DATA_IN;
    if (inLength != sizeof(command) + (out ? command.DataLength : 0))
        return STATUS_INFO_LENGTH_MISMATCH;
    if (outLength < sizeof(FabProbeResult) + (in ? command.DataLength : 0))
        return STATUS_BUFFER_TOO_SMALL;

    PVOID data = NULL;
    if (command.DataLength) {
        data = ExAllocatePoolWithTag(NonPagedPool, command.DataLength, kTag);
        if (!data)
            return STATUS_INSUFFICIENT_RESOURCES;
        if (out)
            RtlCopyMemory(data, buffer + sizeof(command), command.DataLength);
        else
            RtlZeroMemory(data, command.DataLength);
    }
    auto *request = (FabScsiRequest *)ExAllocatePoolWithTag(NonPagedPool, sizeof(FabScsiRequest), kTag);
    if (!request) {
        if (data)
            ExFreePoolWithTag(data, kTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(request, sizeof(*request));
    RtlCopyMemory(request->Cdb, command.Cdb, sizeof(request->Cdb));
    request->CdbLength = command.CdbLength;
    request->Direction = (FabDirection)command.Direction;
    request->DataLength = command.DataLength;
    request->Data = data;

    NTSTATUS status;
    switch (command.Mode) {
    case FAB_PROBE_NULL_REQUEST:
        status = SendInternal(Ext, IOCTL_VYRFAB_EXECUTE_CDB, NULL);
        break;
    case FAB_PROBE_UNKNOWN_CODE:
        status = SendInternal(Ext, IOCTL_VYRFAB_EXECUTE_CDB + 0x100, request);
        break;
    default:
        status = SendInternal(Ext, IOCTL_VYRFAB_EXECUTE_CDB, request);
        break;
    }

    FabProbeResult result;
    RtlZeroMemory(&result, sizeof(result));
    result.Status = status;
    result.ScsiStatus = request->ScsiStatus;
    result.SenseLength = request->SenseLength;
    result.DataTransferred = request->DataTransferred;
    RtlCopyMemory(result.Sense, request->Sense, sizeof(result.Sense));
    RtlCopyMemory(buffer, &result, sizeof(result));
    *Information = sizeof(result);
    if (in) {
        RtlCopyMemory(buffer + sizeof(result), data, command.DataLength);
        *Information += command.DataLength;
    }
    ExFreePoolWithTag(request, kTag);
    if (data)
        ExFreePoolWithTag(data, kTag);
    return STATUS_SUCCESS;
}

NTSTATUS PathInfo(ProbeExtension *Ext, PIRP Irp, ULONG_PTR *Information)
{
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength < sizeof(FabProbePathInfo))
        return STATUS_BUFFER_TOO_SMALL;
    FabProbePathInfo reply;
    RtlZeroMemory(&reply, sizeof(reply));
    reply.Status = SendInternal(Ext, IOCTL_VYRFAB_GET_PATH_INFO, &reply.Info);
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &reply, sizeof(reply));
    *Information = sizeof(reply);
    return STATUS_SUCCESS;
}

NTSTATUS PnpQueries(ProbeExtension *Ext, PIRP Irp, ULONG_PTR *Information)
{
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength < sizeof(FabProbePnpAnswers))
        return STATUS_BUFFER_TOO_SMALL;
    FabProbePnpAnswers reply;
    RtlZeroMemory(&reply, sizeof(reply));

    DEVICE_CAPABILITIES caps;
    RtlZeroMemory(&caps, sizeof(caps));
    caps.Size = sizeof(caps);
    caps.Version = 1;
    caps.Address = caps.UINumber = 0xFFFFFFFF;
    IO_STACK_LOCATION parameters;
    RtlZeroMemory(&parameters, sizeof(parameters));
    parameters.Parameters.DeviceCapabilities.Capabilities = &caps;
    ULONG_PTR information = 0;
    reply.CapabilitiesStatus = SendPnp(Ext, IRP_MN_QUERY_CAPABILITIES, &parameters, &information);
    reply.Address = caps.Address;
    reply.UINumber = caps.UINumber;
    reply.DeviceStateWorking = caps.DeviceState[PowerSystemWorking];
    reply.DeviceStateShutdown = caps.DeviceState[PowerSystemShutdown];

    RtlZeroMemory(&parameters, sizeof(parameters));
    parameters.Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
    information = 0;
    reply.TargetStatus = SendPnp(Ext, IRP_MN_QUERY_DEVICE_RELATIONS, &parameters, &information);
    if (NT_SUCCESS(reply.TargetStatus) && information) {
        auto *relations = (PDEVICE_RELATIONS)information;
        reply.TargetCount = relations->Count;
        reply.TargetIsPdo = relations->Count == 1 && relations->Objects[0] == Ext->Lower;
        for (ULONG i = 0; i < relations->Count; i++)
            ObDereferenceObject(relations->Objects[i]);
        ExFreePool(relations);
    }
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &reply, sizeof(reply));
    *Information = sizeof(reply);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP Irp)
{
    return Complete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT Device, PIRP Irp)
{
    auto *ext = (ProbeExtension *)Device->DeviceExtension;
    ULONG_PTR information = 0;
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_FABPROBE_EXECUTE:
        status = Execute(ext, Irp, &information);
        break;
    case IOCTL_FABPROBE_PATH_INFO:
        status = PathInfo(ext, Irp, &information);
        break;
    case IOCTL_FABPROBE_PNP_QUERIES:
        status = PnpQueries(ext, Irp, &information);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return Complete(Irp, status, information);
}

const char *MinorName(UCHAR Minor)
{
    switch (Minor) {
    case IRP_MN_START_DEVICE: return "START";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    default: return NULL;
    }
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT Device, PIRP Irp)
{
    auto *ext = (ProbeExtension *)Device->DeviceExtension;
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    if (const char *name = MinorName(minor))
        DbgPrint("fab_probe%u: %s\n", (unsigned)ext->Number, name);
    switch (minor) {
    case IRP_MN_START_DEVICE: {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, SignalCompletion, &event, TRUE, TRUE, TRUE);
        if (IoCallDriver(ext->Lower, Irp) == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    case IRP_MN_REMOVE_DEVICE: {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = IoCallDriver(ext->Lower, Irp);
        IoDeleteSymbolicLink(&ext->Link);
        IoDetachDevice(ext->Lower);
        IoDeleteDevice(Device);
        return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(ext->Lower, Irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT Device, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(((ProbeExtension *)Device->DeviceExtension)->Lower, Irp);
}

NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT, PIRP Irp)
{
    return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo)
{
    ULONG number = (ULONG)InterlockedIncrement(&g_nextNumber);
    WCHAR nameBuffer[32];
    _snwprintf(nameBuffer, RTL_NUMBER_OF(nameBuffer), L"\\Device\\FabProbe%lu", number);
    nameBuffer[RTL_NUMBER_OF(nameBuffer) - 1] = 0;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, nameBuffer);
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(Driver, sizeof(ProbeExtension), &name, FILE_DEVICE_TAPE, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    auto *ext = (ProbeExtension *)device->DeviceExtension;
    RtlZeroMemory(ext, sizeof(*ext));
    ext->Number = number;
    _snwprintf(ext->LinkBuffer, RTL_NUMBER_OF(ext->LinkBuffer), L"\\??\\FabProbe%lu", number);
    ext->LinkBuffer[RTL_NUMBER_OF(ext->LinkBuffer) - 1] = 0;
    RtlInitUnicodeString(&ext->Link, ext->LinkBuffer);
    status = IoCreateSymbolicLink(&ext->Link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    ext->Lower = IoAttachDeviceToDeviceStack(device, Pdo);
    if (!ext->Lower) {
        IoDeleteSymbolicLink(&ext->Link);
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    DbgPrint("fab_probe%u: ADD\n", (unsigned)number);
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

} // namespace

VYR_DRIVER_ENTRY(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        DriverObject->MajorFunction[i] = DispatchOther;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
