// The bus enumerator's device extensions and the routines its source files share.
#pragma once

#include "kernel.h"
#include "vyr/dpf/defines.h"
#include "vyr/statustable.h"
#include "busbuild.h"

// First fields of every device extension of the bus driver: dispatch routines serve the bus FDO
// (the control device) and the logical devices, and tell them apart by fFdo.
struct CommonExtension {
    BOOLEAN fFdo;
    DevicePnpState ulState;
    DevicePnpState ulPreviousState;
};

// The bus FDO's extension. Created zeroed with the device (256 bytes).
struct BusExtension : CommonExtension {
    PDEVICE_OBJECT pPhysicalDevice;
    PCWSTR pszLinkName;
    PDEVICE_OBJECT pLowerDevice;
    LONG lOutstanding;  // 1 = idle; the base reference is dropped at removal
    KEVENT IdleEvent;   // signalled while only the base reference is held
    KEVENT RemovedEvent; // signalled when the count falls below 1
    FAST_MUTEX RefMutex; // guards lOutstanding
    FAST_MUTEX PnpMutex; // held while a PnP request takes its reference, and around the final release
    PVOID pLogicalDevices;  // logical device list (path grouping)
    PVOID pPersistentNames; // persistent-name table
    LIST_ENTRY PortList;
    KSPIN_LOCK PortLock;
    UCHAR fFailoverDisabled;
    UCHAR fFailoverEventsEnabled;
    UCHAR fPortCounting;
    UCHAR fPersistentNaming;
};
constexpr ULONG BUS_EXTENSION_SIZE = 256;
static_assert(sizeof(BusExtension) <= BUS_EXTENSION_SIZE, "the bus FDO's extension is 256 bytes");

// The driver-object extension is the first block of the StatusStructTable.
static_assert(sizeof(StatusStructBlock) == 1040, "driver-object extension size");

inline CommonExtension *BusCommon(PDEVICE_OBJECT device)
{
    return (CommonExtension *)device->DeviceExtension;
}

inline void BusSetState(CommonExtension *ext, DevicePnpState state)
{
    ext->ulPreviousState = ext->ulState;
    ext->ulState = state;
}

// busevent.cpp
NTSTATUS LogBusEvent(PVOID IoObject, PIRP Irp, NTSTATUS EventId, PCWSTR String1, PCWSTR String2);
// Formats a status as "0x%08x" into a caller's buffer of 11 characters or more.
void BusFormatStatus(WCHAR *Buffer, size_t Count, NTSTATUS Status);

// buspnp.cpp
DRIVER_ADD_DEVICE BusAddDevice;
DRIVER_DISPATCH BusDispatchPnp;
DRIVER_DISPATCH BusDispatchPower;
DRIVER_DISPATCH BusDispatchSystemControl;
NTSTATUS BusReadSettings(BusExtension *Bus);

// busmain.cpp
NTSTATUS BusCompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
