// The path filter: one filter device object on the stack of every path device, above the class
// driver. It probes the path's identity, registers the path with the bus enumerator, reports its
// Plug and Play state changes and (tape build) direct opens and closes, and hands the bus's
// per-request status block to the class driver.
//
// Routine prefixes: Flt for the filter's routines, Fltp for file-local helpers.
#pragma once

#include "kernel.h"

#include "common.h"
#include "debug.h"
#include "fltbuild.h"

constexpr ULONG FLT_SERIAL_NUMBER_LENGTH = 32;
constexpr ULONG FLT_WWNN_LENGTH = 16;

// Device extension of every filter device object; zero-filled at creation.
struct FilterExtension {
    PDEVICE_OBJECT pLowerDevice;          // every request the filter passes on goes here
    PDEVICE_OBJECT pPhysicalDeviceObject; // given to FltAddDevice
    BOOLEAN fFailover;                    // the path takes part in failover
#if FLT_PROBE_IDENTITY
    BOOLEAN fExclusiveAccess;  // flag word bit 0
    BOOLEAN fPersistentNaming; // flag word bit 1
    BOOLEAN fKeyManagement;    // flag word bit 2
#endif
    ULONG ulPnpState;     // DevicePnpState
    ULONG ulPrevPnpState; // state before the last change
    CHAR szSerialNumber[FLT_SERIAL_NUMBER_LENGTH + 1];
    SCSI_ADDRESS ScsiAddress;
#if FLT_PROBE_IDENTITY
    CHAR szWwnn[FLT_WWNN_LENGTH + 1];
#endif
    PVOID pBusExt;                // the bus's StatusStructTable, from the registration reply
    ULONG ulLogicalDeviceNumber;  // from the registration reply
    LONG volatile ulIoCount;      // requests in progress, plus one while the device exists
    KEVENT IdleEvent;             // set whenever ulIoCount falls back to 1
    KEVENT RemoveEvent;           // set when ulIoCount reaches 0 or below
    FAST_MUTEX CountLock;         // guards ulIoCount and IdleEvent
    FAST_MUTEX DispatchLock;      // taken by the dispatch routines around their count changes
};
static_assert(sizeof(SCSI_ADDRESS) == 8, "the path's SCSI address travels as 8 bytes");

inline FilterExtension *FltExt(PDEVICE_OBJECT pDeviceObject)
{
    return (FilterExtension *)pDeviceObject->DeviceExtension;
}

// Pointers in trace lines are printed as their low 32 bits ("0x%08x").
#define FLT_PTR(p) ((unsigned)(ULONG_PTR)(p))

// Driver-wide state (filter.cpp).
extern PDEVICE_OBJECT g_pBusDeviceObject; // \Device\VYRTpBsDvc (changer: \Device\VYRCgBsDvc)
extern PFILE_OBJECT g_pBusFileObject;     // holds the reference to it
// Serialises the start-time hand-over: every path lends the class driver the same slots of the
// one table, so two hand-overs must not overlap.
extern KEVENT g_HandOverLock;

// filter.cpp
DRIVER_ADD_DEVICE FltAddDevice;
DRIVER_UNLOAD FltUnload;
void FltSetEntryPoints(PDRIVER_OBJECT pDriverObject);
void FltIncrementIoCount(PDEVICE_OBJECT pDeviceObject);
void FltDecrementIoCount(PDEVICE_OBJECT pDeviceObject);
// Count discipline of the dispatch routines: on entry and on exit, under DispatchLock.
void FltCountEntry(FilterExtension *pExt, PDEVICE_OBJECT pDeviceObject);
void FltCountExit(FilterExtension *pExt, PDEVICE_OBJECT pDeviceObject);
// Moves the path to a new PnP state, keeping the one it leaves.
void FltSetPnpState(FilterExtension *pExt, ULONG ulState);

// filterpnp.cpp
DRIVER_DISPATCH FltDispatchPnp;
DRIVER_DISPATCH FltDispatchPower;
NTSTATUS FltIrpMnStartDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnQueryRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnCancelRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnQueryStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnCancelStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnDeviceUsageNotification(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnSurpriseRemoval(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

// filterio.cpp
DRIVER_DISPATCH FltDispatchCreate;
DRIVER_DISPATCH FltDispatchClose;
DRIVER_DISPATCH FltDispatchRead;
DRIVER_DISPATCH FltDispatchWrite;
DRIVER_DISPATCH FltDispatchDeviceControl;
DRIVER_DISPATCH FltDispatchInternalDeviceControl;
DRIVER_DISPATCH FltDispatchSystemControl;
DRIVER_DISPATCH FltPassThrough;
NTSTATUS FltSendIoctlSync(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT pTarget, ULONG ulIoctl, PVOID pInBuffer,
                          ULONG ulInLength, PVOID pOutBuffer, ULONG ulOutLength);
NTSTATUS FltRegisterDevice(PDEVICE_OBJECT pDeviceObject);
NTSTATUS FltNotifyPnp(PDEVICE_OBJECT pDeviceObject);
NTSTATUS FltNotifyIo(PDEVICE_OBJECT pDeviceObject, ULONG ulValue);
NTSTATUS FltSetExtInBase(PDEVICE_OBJECT pDeviceObject, PVOID pBusExt);
ScsiStatus *FltFindScsiStatus(PVOID pBusExt, PIRP pIrp);
// Hands the StatusStructTable to the class driver at start (slots 0 and 1 of its first block).
NTSTATUS FltHandOverTable(PDEVICE_OBJECT pDeviceObject);

// filterprobe.cpp
NTSTATUS FltGetInquiry(PDEVICE_OBJECT pDeviceObject, PUCHAR pBuffer);
NTSTATUS FltGetSerial(PDEVICE_OBJECT pDeviceObject, PUCHAR pBuffer);
NTSTATUS FltGetScsi(PDEVICE_OBJECT pDeviceObject, PUCHAR pBuffer);
NTSTATUS FltStorePage0x83Data(PDEVICE_OBJECT pDeviceObject);
NTSTATUS FltSetDpfFlags(PDEVICE_OBJECT pDeviceObject);
