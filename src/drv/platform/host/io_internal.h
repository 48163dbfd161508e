// The I/O manager's private records, shared by its source files and the PnP manager.
#pragma once

#include "hk_internal.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#define IO_TYPE_ADAPTER 1
#define IO_TYPE_CONTROLLER 2
#define IO_TYPE_DEVICE 3
#define IO_TYPE_DRIVER 4
#define IO_TYPE_FILE 5
#define IO_TYPE_IRP 6

// The host's part of a device object, reached through DeviceObject->DeviceObjectExtension.
struct _DEVOBJ_EXTENSION {
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT attachedTo = nullptr; // the device this one sits on (its lower device)
    hk::DevNode *node = nullptr;         // set on PDOs
    bool deleted = false;                // IoDeleteDevice ran
    bool deleteOnDetach = false;         // deleted while a device was still attached above it
    std::atomic<LONG> openCount{0};      // file objects opened on this device's name
    std::u16string name;
};

namespace hk::internal {

// One lock for the device database: attach/detach, device lists, names of devices.
std::recursive_mutex &IoDatabaseLock();

inline _DEVOBJ_EXTENSION *DevExt(PDEVICE_OBJECT device) { return device->DeviceObjectExtension; }

// A request that the I/O manager waits for on behalf of a caller (a process, the PnP manager).
struct WaitedRequest {
    std::mutex lock;
    std::condition_variable done;
    bool completed = false;
    IO_STATUS_BLOCK iosb{};
    bool pendingReturned = false;
    // What to copy back for a buffered request of a process.
    void *userBuffer = nullptr;
    ULONG userLength = 0;
};

// Per-IRP verifier record (kept in a side table keyed by the IRP).
struct IrpTracking {
    IrpOrigin origin = IrpOrigin::DriverAllocated;
    std::string creator;        // service of the allocating driver, "" for the I/O manager
    const void *allocSite = nullptr;
    bool freed = false;
    WaitedRequest *waiter = nullptr; // UserRequest and System IRPs
    PEPROCESS process = nullptr;     // requestor process of user requests
    ULONG outputLength = 0;          // buffered output length, for the copy-out check
    bool leakReported = false;       // a leak check has reported this IRP
};

IrpTracking *TrackIrp(PIRP irp); // nullptr for an unknown IRP
PIRP IoAllocateIrpFor(CCHAR stackSize, IrpOrigin origin, const void *caller, ULONG tag);
void IoReleaseIrp(PIRP irp); // frees an IRP the I/O manager owns (after completion)
void CompleteUserOrSystemIrp(PIRP irp, IrpTracking *tracking);
// Returns once no completion routine is running. A routine that sets its waiter's event may still
// be returning when that waiter lets its driver unload: the image is unmapped only after this.
void IoWaitForCompletionRoutines();
// Sends an I/O-manager IRP to `device` and waits for its completion. Checks the dispatch
// routine's return against the completion (pending marked, completed before a non-pending return).
NTSTATUS IoCallAndWait(PDEVICE_OBJECT device, PIRP irp, IO_STATUS_BLOCK *iosb);

} // namespace hk::internal
