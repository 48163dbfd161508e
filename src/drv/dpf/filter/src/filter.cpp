// Loading and unloading of the path filter, the dispatch table, creating and attaching the filter
// device object, and the count of requests in progress.
#include "filter.h"

PDEVICE_OBJECT g_pBusDeviceObject;
PFILE_OBJECT g_pBusFileObject;
KEVENT g_HandOverLock;

void FltSetEntryPoints(PDRIVER_OBJECT pDriverObject)
{
    FLT_TRACE_ENTRY("FltSetEntryPoints: pDriverObject 0x%08x\n", FLT_PTR(pDriverObject));
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        pDriverObject->MajorFunction[i] = FltPassThrough;
    pDriverObject->MajorFunction[IRP_MJ_CREATE] = FltDispatchCreate;
    pDriverObject->MajorFunction[IRP_MJ_CLOSE] = FltDispatchClose;
    pDriverObject->MajorFunction[IRP_MJ_READ] = FltDispatchRead;
    pDriverObject->MajorFunction[IRP_MJ_WRITE] = FltDispatchWrite;
    pDriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FltDispatchDeviceControl;
    pDriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = FltDispatchInternalDeviceControl;
    pDriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = FltDispatchSystemControl;
    pDriverObject->MajorFunction[IRP_MJ_POWER] = FltDispatchPower;
    pDriverObject->MajorFunction[IRP_MJ_PNP] = FltDispatchPnp;
    pDriverObject->DriverExtension->AddDevice = FltAddDevice;
    pDriverObject->DriverUnload = FltUnload;
    FLT_TRACE_EXIT("FltSetEntryPoints: VOID status\n");
}

/*++
Routine Description:
    Loads the filter: fills the dispatch table and opens the bus control device, without which
    the filter does not load (the bus enumerator starts first).
--*/
VYR_DRIVER_ENTRY(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    FLT_TRACE_ENTRY("DriverEntry: pDriverObject 0x%08x, RegistryPath %.*S\n", FLT_PTR(pDriverObject),
                    (int)(pRegistryPath->Length / sizeof(WCHAR)), (const wchar_t *)pRegistryPath->Buffer);
    NTSTATUS status = STATUS_SUCCESS;

    KeInitializeEvent(&g_HandOverLock, SynchronizationEvent, TRUE);
    FltSetEntryPoints(pDriverObject);

    if (!g_pBusDeviceObject) {
        UNICODE_STRING busName;
        RtlInitUnicodeString(&busName, FLT_BUS_DEVICE_NAME);
        PFILE_OBJECT pGlobBusFileObj = nullptr;
        PDEVICE_OBJECT pGlobBusDvcObj = nullptr;
        status = IoGetDeviceObjectPointer(&busName, FLT_BUS_ACCESS, &pGlobBusFileObj, &pGlobBusDvcObj);
        if (!NT_SUCCESS(status)) {
            FLT_TRACE_FAILURE("DriverEntry: IoGetDeviceObjectPointer", status);
        } else if (!pGlobBusDvcObj || !pGlobBusFileObj) {
            FLT_TRACE_NULL(!pGlobBusDvcObj ? "DriverEntry: pGlobBusDvcObj" : "DriverEntry: pGlobBusFileObj");
            // A file object without its device is still a reference to give back.
            if (pGlobBusFileObj)
                ObDereferenceObject(pGlobBusFileObj);
            status = STATUS_UNSUCCESSFUL;
        } else {
            g_pBusDeviceObject = pGlobBusDvcObj;
            g_pBusFileObject = pGlobBusFileObj;
            FLT_TRACE("BusDeviceObject %S = 0x%08x\n", FLT_BUS_DEVICE_NAME, FLT_PTR(pGlobBusDvcObj));
        }
    }

    FLT_TRACE_EXIT("DriverEntry: status 0x%08x\n", (unsigned)status);
    return status;
}

VOID FltUnload(PDRIVER_OBJECT pDriverObject)
{
    FLT_TRACE_ENTRY("FltUnload: pDriverObject 0x%08x\n", FLT_PTR(pDriverObject));
    if (g_pBusFileObject) {
        ObDereferenceObject(g_pBusFileObject);
        g_pBusFileObject = nullptr;
        g_pBusDeviceObject = nullptr;
    }
    FLT_TRACE_EXIT("FltUnload: VOID status\n");
}

/*++
Routine Description:
    Creates the unnamed filter device object of one path and attaches it above the physical
    device object. A device object whose attach failed is deleted again.
--*/
NTSTATUS FltAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject)
{
    FLT_TRACE_ENTRY("FltAddDevice: pDriverObject 0x%08x, pPhysicalDeviceObject 0x%08x\n", FLT_PTR(pDriverObject),
                    FLT_PTR(pPhysicalDeviceObject));
    PDEVICE_OBJECT pDeviceObject = nullptr;
    NTSTATUS status = IoCreateDevice(pDriverObject, sizeof(FilterExtension), nullptr, FLT_DEVICE_TYPE,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &pDeviceObject);
    if (!NT_SUCCESS(status)) {
        FLT_TRACE_FAILURE("FltAddDevice: IoCreateDevice", status);
        FLT_TRACE_EXIT("FltAddDevice: status 0x%08x\n", (unsigned)status);
        return status;
    }

    FilterExtension *pExt = FltExt(pDeviceObject);
    RtlZeroMemory(pExt, sizeof(*pExt));
    pExt->ulPrevPnpState = pExt->ulPnpState;
    pExt->ulPnpState = PNP_NOT_STARTED;
    pExt->ulIoCount = 1;
    KeInitializeEvent(&pExt->IdleEvent, SynchronizationEvent, TRUE);
    KeInitializeEvent(&pExt->RemoveEvent, SynchronizationEvent, FALSE);
    ExInitializeFastMutex(&pExt->CountLock);
    ExInitializeFastMutex(&pExt->DispatchLock);

    pExt->pLowerDevice = IoAttachDeviceToDeviceStack(pDeviceObject, pPhysicalDeviceObject);
    if (!pExt->pLowerDevice) {
        FLT_TRACE_NULL("FltAddDevice: pExt->pLowerDevice");
        IoDeleteDevice(pDeviceObject);
        status = STATUS_UNSUCCESSFUL;
        FLT_TRACE_EXIT("FltAddDevice: status 0x%08x\n", (unsigned)status);
        return status;
    }

    pExt->pPhysicalDeviceObject = pPhysicalDeviceObject;
#if FLT_PROBE_IDENTITY
    pExt->fExclusiveAccess = TRUE;
    RtlFillMemory(pExt->szWwnn, FLT_WWNN_LENGTH, '0');
    pExt->szWwnn[FLT_WWNN_LENGTH] = 0;
    // The tape build reports an unknown serial number as thirty-two '0' characters; the changer
    // build leaves it empty.
    RtlFillMemory(pExt->szSerialNumber, FLT_SERIAL_NUMBER_LENGTH, '0');
    pExt->szSerialNumber[FLT_SERIAL_NUMBER_LENGTH] = 0;
#endif

    // Buffering and power flags are those of the device below: requests pass through unchanged.
    pDeviceObject->Flags = pExt->pLowerDevice->Flags;
    pDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;

    FLT_TRACE_EXIT("FltAddDevice: status 0x%08x\n", (unsigned)status);
    return status;
}

void FltIncrementIoCount(PDEVICE_OBJECT pDeviceObject)
{
    FilterExtension *pExt = FltExt(pDeviceObject);
    FLT_TRACE_ENTRY("FltIncrementIoCount: pDeviceObject 0x%08x\n", FLT_PTR(pDeviceObject));
    ExAcquireFastMutex(&pExt->CountLock);
    LONG count = InterlockedIncrement(&pExt->ulIoCount);
    if (count == 2)
        KeClearEvent(&pExt->IdleEvent);
    ExReleaseFastMutex(&pExt->CountLock);
    FLT_TRACE_EXIT("FltIncrementIoCount: I/O count %d\n", (int)count);
}

void FltDecrementIoCount(PDEVICE_OBJECT pDeviceObject)
{
    FilterExtension *pExt = FltExt(pDeviceObject);
    FLT_TRACE_ENTRY("FltDecrementIoCount: pDeviceObject 0x%08x\n", FLT_PTR(pDeviceObject));
    ExAcquireFastMutex(&pExt->CountLock);
    LONG count = InterlockedDecrement(&pExt->ulIoCount);
    if (count == 1)
        KeSetEvent(&pExt->IdleEvent, IO_NO_INCREMENT, FALSE);
    ExReleaseFastMutex(&pExt->CountLock);
    FLT_TRACE_EXIT("FltDecrementIoCount: I/O count %d\n", (int)count);
}

void FltCountEntry(FilterExtension *pExt, PDEVICE_OBJECT pDeviceObject)
{
    ExAcquireFastMutex(&pExt->DispatchLock);
    ASSERT(pExt->ulIoCount);
    FltIncrementIoCount(pDeviceObject);
    ExReleaseFastMutex(&pExt->DispatchLock);
}

void FltCountExit(FilterExtension *pExt, PDEVICE_OBJECT pDeviceObject)
{
    ExAcquireFastMutex(&pExt->DispatchLock);
    ASSERT(pExt->ulIoCount);
    FltDecrementIoCount(pDeviceObject);
    ExReleaseFastMutex(&pExt->DispatchLock);
    if (pExt->ulIoCount <= 0)
        KeSetEvent(&pExt->RemoveEvent, IO_NO_INCREMENT, FALSE);
}

void FltSetPnpState(FilterExtension *pExt, ULONG ulState)
{
    pExt->ulPrevPnpState = pExt->ulPnpState;
    pExt->ulPnpState = ulState;
}
