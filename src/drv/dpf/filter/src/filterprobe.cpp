// Identity probes of the start sequence: what the class driver below says the path and its drive
// are (inquiry, serial number, SCSI address, device identification page, its flag word).
#include "filter.h"

#include "wwnn.h"

#if FLT_PROBE_IDENTITY
NTSTATUS FltGetInquiry(PDEVICE_OBJECT pDeviceObject, PUCHAR pBuffer)
{
    FLT_TRACE_ENTRY("FltGetInquiry: pDeviceObject 0x%08x, pBuffer 0x%08x\n", FLT_PTR(pDeviceObject), FLT_PTR(pBuffer));
    RtlZeroMemory(pBuffer, IOC_STANDARD_INQUIRY_SIZE);
    NTSTATUS status = FltSendIoctlSync(pDeviceObject, FltExt(pDeviceObject)->pLowerDevice, IOC_GET_STANDARD_INQUIRY,
                                       pBuffer, IOC_STANDARD_INQUIRY_SIZE, pBuffer, IOC_STANDARD_INQUIRY_SIZE);
    if (NT_SUCCESS(status)) {
        // Product identification, bytes 16 to 31 of the standard data.
        CHAR szProduct[32];
        RtlZeroMemory(szProduct, sizeof(szProduct));
        RtlCopyMemory(szProduct, pBuffer + 16, 16);
        FLT_TRACE("FltGetInquiry: IOC_GET_STANDARD_INQUIRY succeeded for %s\n", szProduct);
    }
    FLT_TRACE_EXIT("FltGetInquiry: status 0x%08x\n", (unsigned)status);
    return status;
}
#endif

NTSTATUS FltGetSerial(PDEVICE_OBJECT pDeviceObject, PUCHAR pBuffer)
{
    FLT_TRACE_ENTRY("FltGetSerial: pDeviceObject 0x%08x, pBuffer 0x%08x\n", FLT_PTR(pDeviceObject), FLT_PTR(pBuffer));
    RtlZeroMemory(pBuffer, FLT_SERIAL_NUMBER_LENGTH);
    NTSTATUS status = FltSendIoctlSync(pDeviceObject, FltExt(pDeviceObject)->pLowerDevice, FLT_IOC_GET_SERIAL_NUMBER,
                                       pBuffer, FLT_SERIAL_NUMBER_LENGTH, pBuffer, FLT_SERIAL_NUMBER_LENGTH);
    if (NT_SUCCESS(status)) {
        // A full 32 characters carry no terminator of their own.
        CHAR szSerial[FLT_SERIAL_NUMBER_LENGTH + 1];
        RtlCopyMemory(szSerial, pBuffer, FLT_SERIAL_NUMBER_LENGTH);
        szSerial[FLT_SERIAL_NUMBER_LENGTH] = 0;
        FLT_TRACE("FltGetSerial: s/n %s\n", szSerial);
    }
    FLT_TRACE_EXIT("FltGetSerial: status 0x%08x\n", (unsigned)status);
    return status;
}

NTSTATUS FltGetScsi(PDEVICE_OBJECT pDeviceObject, PUCHAR pBuffer)
{
    FLT_TRACE_ENTRY("FltGetScsi: pDeviceObject 0x%08x, pBuffer 0x%08x\n", FLT_PTR(pDeviceObject), FLT_PTR(pBuffer));
    RtlZeroMemory(pBuffer, sizeof(SCSI_ADDRESS));
    NTSTATUS status = FltSendIoctlSync(pDeviceObject, FltExt(pDeviceObject)->pLowerDevice, FLT_IOC_GET_SCSI_ADDRESS,
                                       pBuffer, sizeof(SCSI_ADDRESS), pBuffer, sizeof(SCSI_ADDRESS));
    if (NT_SUCCESS(status))
        FLT_TRACE("FltGetScsi: SCSI addr: %x.%x.%x.%x\n", pBuffer[4], pBuffer[5], pBuffer[6], pBuffer[7]);
    FLT_TRACE_EXIT("FltGetScsi: status 0x%08x\n", (unsigned)status);
    return status;
}

#if FLT_PROBE_IDENTITY
NTSTATUS FltStorePage0x83Data(PDEVICE_OBJECT pDeviceObject)
{
    FLT_TRACE_ENTRY("FltStorePage0x83Data: pDeviceObject 0x%08x\n", FLT_PTR(pDeviceObject));
    FilterExtension *pExt = FltExt(pDeviceObject);
    NTSTATUS status;
    auto *pPage0x83 = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, DEVICE_IDENTIFICATION_PAGE_LENGTH, VYR_TAG_FILTER);
    if (!pPage0x83) {
        FLT_TRACE_NULL("FltStorePage0x83Data: pPage0x83");
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        RtlZeroMemory(pPage0x83, DEVICE_IDENTIFICATION_PAGE_LENGTH);
        status = FltSendIoctlSync(pDeviceObject, pExt->pLowerDevice, IOC_GET_DEVICE_ID_PAGE, pPage0x83,
                                  DEVICE_IDENTIFICATION_PAGE_LENGTH, pPage0x83, DEVICE_IDENTIFICATION_PAGE_LENGTH);
        if (status != STATUS_SUCCESS) {
            FLT_TRACE_FAILURE("FltStorePage0x83Data: FltSendIoctlSync", status);
        } else {
            status = FltGetWwnnString(pPage0x83, pExt->szWwnn);
            if (status != STATUS_SUCCESS)
                FLT_TRACE_FAILURE("FltStorePage0x83Data: FltGetWwnnString", status);
        }
        ExFreePoolWithTag(pPage0x83, VYR_TAG_FILTER);
    }
    FLT_TRACE_EXIT("FltStorePage0x83Data: status 0x%08x\n", (unsigned)status);
    return status;
}

/*++
Routine Description:
    Takes the class driver's flag word. A flag moves only in one direction from its value at
    attach (exclusive access can be cleared, the other two set); a failure leaves all three.
--*/
NTSTATUS FltSetDpfFlags(PDEVICE_OBJECT pDeviceObject)
{
    FLT_TRACE_ENTRY("FltSetDpfFlags: pDeviceObject 0x%08x\n", FLT_PTR(pDeviceObject));
    FilterExtension *pExt = FltExt(pDeviceObject);
    ULONG ulFlags = 0;
    NTSTATUS status = FltSendIoctlSync(pDeviceObject, pExt->pLowerDevice, IOC_GET_DPF_FLAGS, &ulFlags, sizeof(ulFlags),
                                       &ulFlags, sizeof(ulFlags));
    if (status != STATUS_SUCCESS) {
        FLT_TRACE_FAILURE("FltSetDpfFlags: FltSendIoctlSync", status);
    } else {
        if (!(ulFlags & DPF_FLAG_EXCLUSIVE_ACCESS))
            pExt->fExclusiveAccess = FALSE;
        if (ulFlags & DPF_FLAG_PERSISTENT_NAMING)
            pExt->fPersistentNaming = TRUE;
        if (ulFlags & DPF_FLAG_KEY_MANAGEMENT)
            pExt->fKeyManagement = TRUE;
        FLT_TRACE("FltSetDpfFlags: flags 0x%08x, exclusive %s, persistent naming %s, key management %s\n",
                  (unsigned)ulFlags, CmnBooleanName(pExt->fExclusiveAccess), CmnBooleanName(pExt->fPersistentNaming),
                  CmnBooleanName(pExt->fKeyManagement));
    }
    FLT_TRACE_EXIT("FltSetDpfFlags: status 0x%08x\n", (unsigned)status);
    return status;
}
#endif
