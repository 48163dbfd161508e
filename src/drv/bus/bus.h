// The bus enumerator's device extensions, records and the routines its source files share.
//
// Source files and what each owns:
//   busmain.cpp     driver entry, the dispatch table, unload; routes each request to the FDO or
//                   logical-device handler below
//   buspnp.cpp      the bus FDO: AddDevice, settings, Plug and Play, power, system control
//   busevent.cpp    the system event log writer
//   buslist.cpp     the generic SortedList
//   buspath.cpp     the path table: registration, state notices, open/close accounting, port
//                   counts, open-time balancing, the per-request path choice, disposal at removal
//   buscontrol.cpp  device control on the control device; the path query shared with logical devices
//   busname.cpp     logical device objects: creation, naming, persistent names, the SCSI device map,
//                   Plug and Play of logical devices, full removal
//   busqueue.cpp    dispatch on logical devices, the request queue, the five workers, the
//                   internal-request channel, the locking of direct pass-through buffers
//   busio.cpp       the tape build's send-over-a-path handler and device-control pre-handler
//   busroute.cpp    what the request paths of both builds share: the path request's buffer,
//                   its sending and results, the failover tables and event, the locked buffers
//                   of direct pass-through
//   busstatus.cpp   StatusStructTable insert, remove and the release of its extra blocks
//   buspassthru.cpp applications' SCSI pass-through structures: checks, 32-bit conversion, results
//   busresv.cpp     reservations across paths
#pragma once

#include "kernel.h"
#include "vyr/dpf/defines.h"
#include "vyr/statustable.h"
#include "vyr/tpbus.h"
#include "busbuild.h"
#if VYR_BUILD_CHANGER
#include "vyr/cgbus.h"
#else
#include "keyserver/keyserver.h"
#endif

// The control device's codes and the records the path filters send with them, by build.
#if VYR_BUILD_CHANGER
constexpr ULONG BUS_IOCTL_REGISTER_PATH = IOCTL_CGBUS_REGISTER_PATH;
constexpr ULONG BUS_IOCTL_NOTIFY_PATH = IOCTL_CGBUS_NOTIFY_PATH;
constexpr ULONG BUS_IOCTL_QUERY_PATHS = IOCTL_CGBUS_QUERY_PATHS;
typedef ChangerPathRegistration BusRegistrationRecord;
typedef ChangerPathNotification BusNotificationRecord;
#else
constexpr ULONG BUS_IOCTL_REGISTER_PATH = IOCTL_TPBUS_REGISTER_PATH;
constexpr ULONG BUS_IOCTL_NOTIFY_PATH = IOCTL_TPBUS_NOTIFY_PATH;
constexpr ULONG BUS_IOCTL_QUERY_PATHS = IOCTL_TPBUS_QUERY_PATHS;
typedef PathRegistration BusRegistrationRecord;
typedef PathNotification BusNotificationRecord;
#endif

struct LogicalDeviceEntry;
struct LogicalDeviceExtension;
struct PathEntry;
struct PortEntry;
struct PersistentNameEntry;

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
    LONG lOutstanding;      // 1 = idle; the base reference is dropped at removal
    KEVENT IdleEvent;       // signalled while only the base reference is held
    KEVENT RemovedEvent;    // signalled when the count falls below 1
    FAST_MUTEX RefMutex;    // guards lOutstanding
    FAST_MUTEX PnpMutex;    // held while a PnP request takes its reference, and around the final release
    LogicalDeviceEntry *pLogicalDevices;   // SortedList, ascending by device object address
    PersistentNameEntry *pPersistentNames; // newest first
    PortEntry *pPorts;                     // in creation order
    KSPIN_LOCK PortLock;                   // guards pPorts and every PortEntry
    StatusStructBlock *pStatusTable;       // the driver-object extension
    UCHAR fFailoverDisabled;
    UCHAR fFailoverEventsEnabled;
    UCHAR fPortCounting;
    UCHAR fPersistentNaming;
};
constexpr ULONG BUS_EXTENSION_SIZE = 256;
static_assert(sizeof(BusExtension) <= BUS_EXTENSION_SIZE, "the bus FDO's extension is 256 bytes");

// The driver-object extension is the first block of the StatusStructTable.
static_assert(sizeof(StatusStructBlock) == 1040, "driver-object extension size");

// ---------------------------------------------------------------------------------------------
// Path table records (non-paged pool)
// ---------------------------------------------------------------------------------------------
struct PathEntry {                 // tag PDOd, zeroed
    PathEntry *pNext;              // next path of the same logical device (registration order)
    PortEntry *pPort;              // the port counter this path is counted in; null = uncounted
    PDEVICE_OBJECT pPathDevice;    // the filter device object of the path; requests go to it
    VyrScsiAddress Address;
    UCHAR fAvailable;              // last reported state is PNP_STARTED
    UCHAR fPrimary;                // at most one path of a logical device
    UCHAR Pad[2];
    DevicePnpState ulState;        // last reported state
};
static_assert(sizeof(PathEntry) == 40, "PathEntry is 40 bytes");
static_assert(FIELD_OFFSET(PathEntry, Address) == 24 && FIELD_OFFSET(PathEntry, fAvailable) == 32 &&
                  FIELD_OFFSET(PathEntry, ulState) == 36,
              "PathEntry layout");

struct PortEntry {                 // tag PDOe, zeroed
    PortEntry *pNext;
    ULONG ulPortNumber;            // the SCSI address's port number byte
    ULONG ulPathCount;             // paths currently registered through the port
    ULONG ulOpenCount;             // opens ever balanced onto a path of this port (only grows)
    ULONG Pad;
};
static_assert(sizeof(PortEntry) == 24, "PortEntry is 24 bytes");

struct LogicalDeviceEntry {        // tag PDOa, zeroed
    LogicalDeviceEntry *pNext;
    PDEVICE_OBJECT pDevice;        // the logical device object; the list's sort key
    UCHAR fFailover;               // registration byte 0 of the creating path; 0 with FailoverDisabled
    UCHAR Pad[7];
    PathEntry *pPaths;             // registration order
};
static_assert(sizeof(LogicalDeviceEntry) == 32, "LogicalDeviceEntry is 32 bytes");
static_assert(FIELD_OFFSET(LogicalDeviceEntry, pDevice) == 8, "the sort key's offset");

struct PersistentNameEntry {       // tag BUSg when loaded at start, BUSf when added later
    PersistentNameEntry *pNext;
    WCHAR szKeyName[75];           // "WWNN_" + 16 hex, or "SERNUM_" + up to 32 characters
    WCHAR szDeviceName[17];        // without \Device\, e.g. Tape5659986
};
static_assert(sizeof(PersistentNameEntry) == 192, "PersistentNameEntry is 192 bytes");
static_assert(FIELD_OFFSET(PersistentNameEntry, szKeyName) == 8 && FIELD_OFFSET(PersistentNameEntry, szDeviceName) == 158,
              "PersistentNameEntry layout");

// ---------------------------------------------------------------------------------------------
// Request queue records (non-paged pool)
// ---------------------------------------------------------------------------------------------
// The routine a worker runs for a queued request; it completes the request.
typedef NTSTATUS BUS_REQUEST_HANDLER(PDEVICE_OBJECT LogicalDevice, PIRP Irp);
typedef BUS_REQUEST_HANDLER *PBUS_REQUEST_HANDLER;

struct RequestQueueEntry {         // tag PDOg
    RequestQueueEntry *pNext;
    PIRP pIrp;
    PBUS_REQUEST_HANDLER pHandler;
    UCHAR fInternal;
    UCHAR ucWorker;                // the worker that serves it: 0 ordinary, 1-4 the internal level
    UCHAR Pad[6];
};
static_assert(sizeof(RequestQueueEntry) == 32, "RequestQueueEntry is 32 bytes");

struct LockedBufferEntry {         // tag PDOh
    LockedBufferEntry *pNext;
    PMDL pMdl;
    PIRP pIrp;
};
static_assert(sizeof(LockedBufferEntry) == 24, "LockedBufferEntry is 24 bytes");

constexpr ULONG BUS_WORKER_COUNT = 5;       // worker 0: ordinary requests; 1-4: nested internal ones
constexpr ULONG BUS_MAX_INTERNAL_DEPTH = BUS_WORKER_COUNT - 1;
constexpr KPRIORITY BUS_WORKER_PRIORITY = 16;

struct BusWorker {
    KSEMAPHORE Semaphore;          // limit 0x7FFFFFFF, initial count 0
    UCHAR fCreated;                // the semaphore exists and the thread was started
    PVOID pThread;                 // referenced thread object, waited for when the workers stop
    HANDLE hRunningThreadId;       // id of the thread that took this worker's index (set by the thread)
};

// ---------------------------------------------------------------------------------------------
// The logical device's extension (\Device\Tape%d). Created zeroed with the device (4176 bytes).
// ---------------------------------------------------------------------------------------------
constexpr ULONG LOGICAL_DEVICE_NAME_CHARS = 32; // "\Device\" + at most 16 characters + terminator fits

struct LogicalDeviceExtension : CommonExtension {
    // Identity and naming
    ULONG ulNumber;                        // N of Tape%d
    CHAR szSerialNumber[33];               // 32 characters of the first path and a terminator
    CHAR szWwnn[17];
    VyrScsiAddress ScsiAddress;            // of the first path, then of each path made primary by
                                           // registration or a state change
    UCHAR fDosLinkCreated;
    UCHAR fExclusiveAccess;                // registration byte 76
    UCHAR fEncryption;                     // registration byte 78; later from ScsiStatus byte 25
    WCHAR szDeviceName[LOGICAL_DEVICE_NAME_CHARS]; // \Device\Tape%d or the persistent name
    LogicalDeviceEntry *pEntry;            // back pointer; null once removal began (creates fail)
    BusExtension *pBus;
    PDEVICE_OBJECT pSelf;
    StatusStructBlock *pStatusTable;       // the driver-object extension
    KSPIN_LOCK Lock;                       // guards the path list, the path flags and the open count
    LONG lOpenCount;                       // interlocked

    // Outstanding requests: 1 while idle; taken by PnP requests and by every request a worker or
    // a caller's thread runs; full removal drops the base reference and waits for the rest.
    LONG lOutstanding;
    KEVENT IdleEvent;                      // signalled while only the base reference is held
    KEVENT RemovedEvent;                   // signalled when the count falls below 1
    FAST_MUTEX RefMutex;

    // Request tracking of the send-over-a-path handler (one request at a time, by the queue)
    ULONG ulPosition;
    UCHAR fPositionKnown;
    UCHAR fAtBeginning;
    UCHAR fBlockSizeKnown;
    UCHAR fRecoveryFailed;
    ULONG ulBlockSize;                     // 0 = variable; 0xFFFFFFFF until first learned
    UCHAR CurrentRequest[72];              // copy of the stack location being sent
    UCHAR fMediumLocked;
    UCHAR fSettingAFlag;                   // the second byte of saved setting A is nonzero
    UCHAR fSettingAValid;
    UCHAR SettingA[6];
    UCHAR ucSettingB;                      // 0xFF = none
    PDEVICE_OBJECT pLastReservingPath;
    ULONG64 ReservationKey;
    UCHAR fReservationActive;
    UCHAR fRestoreRunning;                 // settings are being restored onto a new path
    ULONG ulKeyRequestType;                // set while an IOCTL_TPBUS_KEY_REQUEST runs
    PDEVICE_OBJECT pLastPath;              // the path the last attempt of any request went over

    // Request queue and workers
    BusWorker Workers[BUS_WORKER_COUNT];
    RequestQueueEntry *pQueueHead;
    LONG lWorkerStartCounter;
    LONG lNestingDepth;
    UCHAR fStopping;
    UCHAR fQueueOpen;
    KSPIN_LOCK QueueLock;                  // guards pQueueHead, fQueueOpen and every entry
    PIRP pInternalSlot;
    KSPIN_LOCK InternalSlotLock;
    KEVENT InternalSlotFree;               // notification event, signalled while the slot is empty
    ULONG ulInternalSlotWorker;            // the worker that is to serve the request in the slot
    LockedBufferEntry *pLockedBuffers;
    KSPIN_LOCK LockedBufferLock;
#if !VYR_BUILD_CHANGER
    // The key-server relay of this drive (keyrelay.cpp), from pool at its first use: its server
    // table alone is larger than the room left in the extension.
    KeyRelayState *pKeyRelay;
#endif
};
constexpr ULONG LOGICAL_DEVICE_EXTENSION_SIZE = 4176;
static_assert(sizeof(LogicalDeviceExtension) <= LOGICAL_DEVICE_EXTENSION_SIZE,
              "the logical device's extension is 4176 bytes");

inline CommonExtension *BusCommon(PDEVICE_OBJECT device)
{
    return (CommonExtension *)device->DeviceExtension;
}

inline LogicalDeviceExtension *BusLogical(PDEVICE_OBJECT device)
{
    return (LogicalDeviceExtension *)device->DeviceExtension;
}

inline void BusSetState(CommonExtension *ext, DevicePnpState state)
{
    ext->ulPreviousState = ext->ulState;
    ext->ulState = state;
}

// Pool tags of the bus (the ones shared with the filter are in vyr/dpf/defines.h).
constexpr ULONG VYR_TAG_BUS_PRIMARY_START = VyrPoolTag("BUSa");    // serial text of a new-primary event (path started)
constexpr ULONG VYR_TAG_BUS_PRIMARY_TAKEOVER = VyrPoolTag("BUSb"); // (path took over)
constexpr ULONG VYR_TAG_BUS_NAME_ENUM = VyrPoolTag("BUSe");        // subkey enumeration buffer (paged)
constexpr ULONG VYR_TAG_BUS_NAME_ADDED = VyrPoolTag("BUSf");
constexpr ULONG VYR_TAG_BUS_NAME_LOADED = VyrPoolTag("BUSg");
#if defined(VYR_BUILD_CHANGER) && VYR_BUILD_CHANGER
constexpr ULONG VYR_TAG_LOGICAL_ENTRY = VyrPoolTag("PDO\0");
constexpr ULONG VYR_TAG_PATH_BUFFER = VyrPoolTag("PDO\0");
constexpr ULONG VYR_TAG_PATH_ENTRY = VyrPoolTag("PDO\0");
#else
constexpr ULONG VYR_TAG_LOGICAL_ENTRY = VyrPoolTag("PDOa");
constexpr ULONG VYR_TAG_PATH_BUFFER = VyrPoolTag("PDOb");          // system buffer of a path request
constexpr ULONG VYR_TAG_PATH_ENTRY = VyrPoolTag("PDOd");
#endif
constexpr ULONG VYR_TAG_PORT_ENTRY = VyrPoolTag("PDOe");
constexpr ULONG VYR_TAG_TRIED_PATHS = VyrPoolTag("PDOf");
constexpr ULONG VYR_TAG_QUEUE_ENTRY = VyrPoolTag("PDOg");
constexpr ULONG VYR_TAG_LOCKED_BUFFER = VyrPoolTag("PDOh");

// ---------------------------------------------------------------------------------------------
// busevent.cpp
// ---------------------------------------------------------------------------------------------
NTSTATUS LogBusEvent(PVOID IoObject, PIRP Irp, NTSTATUS EventId, PCWSTR String1, PCWSTR String2);
// Formats a status as "0x%08x" into a caller's buffer of 11 characters or more.
void BusFormatStatus(WCHAR *Buffer, size_t Count, NTSTATUS Status);

// ---------------------------------------------------------------------------------------------
// busmain.cpp
// ---------------------------------------------------------------------------------------------
NTSTATUS BusCompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

// ---------------------------------------------------------------------------------------------
// buspnp.cpp
// ---------------------------------------------------------------------------------------------
// The bus driver's object, recorded by AddDevice: logical devices are created on it.
extern PDRIVER_OBJECT BusDriverObject;
DRIVER_ADD_DEVICE BusAddDevice;
DRIVER_DISPATCH BusDispatchPnp;
DRIVER_DISPATCH BusDispatchPower;
DRIVER_DISPATCH BusDispatchSystemControl;
NTSTATUS BusReadSettings(BusExtension *Bus);

// ---------------------------------------------------------------------------------------------
// buslist.cpp: a singly linked list whose nodes start with the next pointer, kept ascending by
// one or more keys.
// ---------------------------------------------------------------------------------------------
enum SortedKeyKind : ULONG {
    SORTED_KEY_S32 = 0,
    SORTED_KEY_S8 = 1,
    SORTED_KEY_S32_ALT = 4,
    SORTED_KEY_U64 = 5,
    SORTED_KEY_STRING = 6, // zero-terminated byte string
};
struct SortedListKey {
    ULONG ulKind;
    ULONG ulOffset; // byte offset of the key inside the node
};
// Inserts Node in ascending key order. With RefuseDuplicates, a node equal in all keys to one in
// the list is not inserted and *Inserted says so (the caller keeps the node). A kind above 6:
// STATUS_INVALID_PARAMETER.
NTSTATUS SortedListInsert(PVOID *Head, PVOID Node, const SortedListKey *Keys, ULONG KeyCount, BOOLEAN RefuseDuplicates,
                          BOOLEAN *Inserted);
// Unlinks the first node equal in all keys to Node and frees it with FreeTag; STATUS_NOT_FOUND
// when none is. Node null: frees the whole list. Never allocates, so it cannot fail for lack of
// memory.
NTSTATUS SortedListRemove(PVOID *Head, PVOID Node, const SortedListKey *Keys, ULONG KeyCount, ULONG FreeTag);

// ---------------------------------------------------------------------------------------------
// buspath.cpp (passive level unless said otherwise)
// ---------------------------------------------------------------------------------------------
// The logical device list's one key: the device object's address.
constexpr SortedListKey BUS_LOGICAL_LIST_KEY = {SORTED_KEY_U64, (ULONG)__builtin_offsetof(LogicalDeviceEntry, pDevice)};
// IOCTL_TPBUS_REGISTER_PATH: groups the path, creating its logical device when needed, adds it,
// writes the SCSI device map and fills the reply fields (offsets 80 and 88) on success.
NTSTATUS BusRegisterPath(BusExtension *Bus, PathRegistration *Registration);
// IOCTL_TPBUS_NOTIFY_PATH operation 0: a path's new state; PNP_ABSENT removes it, and its logical
// device with its last path. Unknown path devices are ignored (success).
NTSTATUS BusNotifyPathState(BusExtension *Bus, PDEVICE_OBJECT PathDevice, ULONG NewState);
// IOCTL_TPBUS_NOTIFY_PATH operation 1: a direct open (IO_OPEN_REQ) or close (IO_CLOSE_REQ) of a
// path device, counted against its logical device.
NTSTATUS BusNotifyOpenClose(BusExtension *Bus, PDEVICE_OBJECT PathDevice, ULONG Value);
// Create on a logical device, under its lock: moves the primary to the path of the least-opened
// port and counts the open there. STATUS_DELETE_PENDING when no path is available.
// Called with Ldx->Lock held.
NTSTATUS BusBalanceOnOpenLocked(LogicalDeviceExtension *Ldx);
// The per-request path choice. *Tried is a zero-terminated array of path devices already tried
// (null before the first call; tag PDOf; the caller frees it with ExFreePoolWithTag). Returns the
// path device object, or null when no path is left (or the array could not grow).
PDEVICE_OBJECT BusChoosePath(LogicalDeviceExtension *Ldx, PDEVICE_OBJECT **Tried, BOOLEAN WantPrimary);
// The SCSI address of the current primary path (IOCTL_SCSI_GET_ADDRESS on a logical device).
void BusGetLogicalAddress(LogicalDeviceExtension *Ldx, VyrScsiAddress *Address);
// Removal of the bus FDO: disposes of every logical device (objects, links, workers, queued
// requests cancelled), every path and port record, and the persistent-name table.
void BusDisposeAll(BusExtension *Bus);
// Called with the logical device's lock held: uncounts every path from its port (freeing ports
// that reach 0), frees all the paths, unlinks and frees the LogicalDeviceEntry from the bus list
// and clears the back pointer. Never allocates, so it cannot fail.
void BusUnlinkLogicalDeviceLocked(BusExtension *Bus, LogicalDeviceExtension *Ldx);

// ---------------------------------------------------------------------------------------------
// buscontrol.cpp
// ---------------------------------------------------------------------------------------------
// Device control on the bus FDO (control device): register, notify, query (the build's codes and
// records); other codes go down.
NTSTATUS BusFdoDeviceControl(BusExtension *Bus, PIRP Irp);
// IOCTL_TPBUS_QUERY_PATHS on the control device or a logical device; completes the request.
NTSTATUS BusQueryPaths(BusExtension *Bus, PIRP Irp);

// ---------------------------------------------------------------------------------------------
// busname.cpp
// ---------------------------------------------------------------------------------------------
// Creates the logical device for a registering path: name, object, entry in the bus list, DOS
// link, workers. Undoes its steps in reverse order on failure.
NTSTATUS BusCreateLogicalDevice(BusExtension *Bus, const PathRegistration *Registration, LogicalDeviceExtension **Created);
// Full removal of a logical device whose paths are already freed and whose entry is already out
// of the bus list: waits for outstanding requests, stops the workers (queued requests
// cancelled), deletes the DOS link and the device object. Cannot fail.
void BusDeleteLogicalDevice(LogicalDeviceExtension *Ldx);
// Loads the persistent-name table from the service key (bus start).
NTSTATUS BusLoadPersistentNames(BusExtension *Bus);
// Frees the persistent-name table.
void BusFreePersistentNames(BusExtension *Bus);
// Writes DeviceName = "Tape%d" into the SCSI device map key of Address.
NTSTATUS BusWriteDeviceMap(LogicalDeviceExtension *Ldx, const VyrScsiAddress *Address);
// PnP requests addressed to a logical device object.
NTSTATUS BusLogicalPnp(PDEVICE_OBJECT LogicalDevice, PIRP Irp);
// Outstanding-request references of a logical device.
void BusLogicalReference(LogicalDeviceExtension *Ldx);
void BusLogicalDereference(LogicalDeviceExtension *Ldx);

// ---------------------------------------------------------------------------------------------
// busqueue.cpp
// ---------------------------------------------------------------------------------------------
NTSTATUS BusLogicalCreate(PDEVICE_OBJECT LogicalDevice, PIRP Irp);
NTSTATUS BusLogicalClose(PDEVICE_OBJECT LogicalDevice, PIRP Irp);
// Read and write: queued for worker 0.
NTSTATUS BusLogicalReadWrite(PDEVICE_OBJECT LogicalDevice, PIRP Irp);
NTSTATUS BusLogicalDeviceControl(PDEVICE_OBJECT LogicalDevice, PIRP Irp);
// Queues a request with its handler; STATUS_PENDING, or the failure (the caller completes).
NTSTATUS BusQueueRequest(PDEVICE_OBJECT LogicalDevice, PIRP Irp, PBUS_REQUEST_HANDLER Handler);
// Starts the five workers; on failure stops the ones already started.
NTSTATUS BusStartWorkers(LogicalDeviceExtension *Ldx);
// Stops the workers, waits for their threads to end, cancels queued requests, closes the queue.
void BusStopWorkers(LogicalDeviceExtension *Ldx);
// Sends a device-control request to the logical device itself from inside a worker; it is served
// by the next worker. Deeper than four levels: STATUS_INVALID_DEVICE_STATE, nothing sent.
NTSTATUS BusSendInternalRequest(LogicalDeviceExtension *Ldx, ULONG Code, PVOID In, ULONG InLength, PVOID Out,
                                ULONG OutLength, ULONG_PTR *Information);

// ---------------------------------------------------------------------------------------------
// busio.cpp
// ---------------------------------------------------------------------------------------------
// Runs one application request over a path and completes it.
BUS_REQUEST_HANDLER BusSendOverPath;
// Queued device controls: IOCTL_SCSI_GET_ADDRESS, IOCTL_TPBUS_KEY_REQUEST, else BusSendOverPath.
BUS_REQUEST_HANDLER BusDeviceControlPreHandler;

// ---------------------------------------------------------------------------------------------
// buschanger.cpp: the changer build's control device and request path
// ---------------------------------------------------------------------------------------------
// Device control on a logical changer: the query, the SCSI address, else the request path in
// the caller's thread.
NTSTATUS BusChangerDeviceControl(PDEVICE_OBJECT LogicalDevice, PIRP Irp);
// Runs one request over the primary path with failover to the other paths and completes it.
// Only device controls travel; anything else is refused with STATUS_NOT_IMPLEMENTED.
BUS_REQUEST_HANDLER BusChangerSendOverPath;

// ---------------------------------------------------------------------------------------------
// busstatus.cpp: the StatusStructTable (all under the first block's lock)
// ---------------------------------------------------------------------------------------------
NTSTATUS BusStatusTableInsert(StatusStructBlock *Table, PIRP Irp, ScsiStatus *Block, StatusStructBlock **InBlock,
                              ULONG *Slot);
void BusStatusTableRemove(StatusStructBlock *Table, StatusStructBlock *InBlock, ULONG Slot);
// At unload: frees every block after the first.
void BusStatusTableFreeChain(StatusStructBlock *Table);

// ---------------------------------------------------------------------------------------------
// buspassthru.cpp: applications' SCSI pass-through structures (pure logic, no kernel calls)
// ---------------------------------------------------------------------------------------------
// What the send-over-a-path handler keeps of one application's pass-through request. Filled by
// BusPassThroughInspect; the other routines only read it.
struct BusPassThrough {
    BOOLEAN fDirect;          // IOCTL_SCSI_PASS_THROUGH_DIRECT
    BOOLEAN fConvert;         // the caller's structure is the 32-bit layout (44 bytes)
    UCHAR ucCdbLength;
    UCHAR Cdb[16];            // the command bytes as the caller gave them
    UCHAR ucSenseLength;
    UCHAR ucDataIn;           // SCSI_IOCTL_DATA_OUT / _IN / _UNSPECIFIED
    ULONG ulDataLength;       // DataTransferLength
    ULONG ulCallerDataOffset; // buffered: where the data lies in the caller's buffer
    ULONG ulCallerSenseOffset;
    ULONG ulNativeDataOffset; // buffered: where the data lies in the native copy
    ULONG ulNativeSenseOffset;
    ULONG ulNativeLength;     // bytes of the native copy (structure, data, sense) before the block
    ULONG64 CallerDataBuffer; // direct: the caller's data address, put back on the way out
    ULONG ulCallerInLength;   // the caller's input length (a native copy takes this much)
    ULONG ulNativeInLength;   // input length of the native request: structure and outgoing data
};
// Checks the caller's structure (either layout) against its buffers before anything is copied:
// structure length field 44 or 56 (else STATUS_INFO_LENGTH_MISMATCH); 44 is the 32-bit layout
// when Code is IOCTL_SCSI_PASS_THROUGH or Caller32 is set, otherwise 44 is refused; the structure,
// its sense and data regions and the CDB length must lie inside the buffers they move in
// (STATUS_INVALID_PARAMETER, offsets that wrap included); a direct transfer must fit LockedBytes
// (the byte count of the locked caller buffer, 0 = none). Fills *Pt.
NTSTATUS BusPassThroughInspect(ULONG Code, const UCHAR *Buffer, ULONG InLength, ULONG OutLength, BOOLEAN Caller32,
                               ULONG LockedBytes, BusPassThrough *Pt);
// Writes the native (64-bit) structure with its data and sense space into Native (at least
// Pt->ulNativeLength bytes, zeroed by the caller). Direct: the structure's data pointer becomes
// SystemAddress (the locked buffer's system address).
void BusPassThroughToNative(const BusPassThrough *Pt, const UCHAR *Buffer, UCHAR *Native, PVOID SystemAddress);
// Copies the results of a completed native request back into the caller's buffer in the
// caller's layout (SCSI status, sense length and bytes, data transfer length, and for buffered
// requests the data), never past OutLength; returns the information to report.
ULONG BusPassThroughToCaller(const BusPassThrough *Pt, const UCHAR *Native, ULONG NativeInformation, UCHAR *Buffer,
                             ULONG OutLength);
// Sense key (byte 2 & 0x0F), ASC (byte 12) and ASCQ (byte 13) of the returned native structure's
// sense data; zeros when fewer sense bytes came back.
void BusPassThroughSense(const BusPassThrough *Pt, const UCHAR *Native, UCHAR *Key, UCHAR *Asc, UCHAR *Ascq);

// ---------------------------------------------------------------------------------------------
// busroute.cpp: what the request paths of both builds share
// ---------------------------------------------------------------------------------------------
// An application request is copied into a path request of the bus's own, whose system buffer
// holds the request's data (a pass-through structure in the native layout) followed by the
// ScsiStatus block.
struct BusPathData {
    ULONG ulCode;                // device control code; 0 for every other request
    ULONG ulIn;                  // the caller's input and output lengths (device controls)
    ULONG ulOut;
    BOOLEAN fPassThrough;        // IOCTL_SCSI_PASS_THROUGH(_DIRECT): Pt describes it
    BusPassThrough Pt;
    PVOID pDirectSystemAddress;  // direct pass-through: the locked caller buffer, mapped
    ULONG ulDataSize;            // bytes in front of the ScsiStatus block (a multiple of 8)
    ULONG ulPathIn;              // input length of the path request
};
// Checks what a device control carries and sizes the path request's buffer: the larger of the
// two buffers (only a buffered request returns its output there) rounded up to 8 bytes; a
// pass-through structure is checked against its buffers first and a 32-bit one gets the room it
// grows by. Fills *Data.
NTSTATUS BusPathDataPrepare(LogicalDeviceExtension *Ldx, PIRP Irp, BusPathData *Data);
// Allocates the path request's buffer (zeroed) and copies the request's input into it, a
// pass-through structure converted to the native layout.
NTSTATUS BusPathBufferCreate(const BusPathData *Data, PIRP Irp, PUCHAR *Buffer);
// A path request with room for Path's stack and the three locations above it: *PathIrp is kept
// when large enough, else freed and allocated anew (null when the allocation failed).
NTSTATUS BusPathIrpFit(PDEVICE_OBJECT Path, PIRP *PathIrp);
// Copies the caller's stack location into the path request's next one, with the path buffer's
// lengths for a device control; the path request borrows the caller's MDL and thread. Returns
// that stack location.
PIO_STACK_LOCATION BusPathIrpSetup(PIRP PathIrp, PIRP Irp, const BusPathData *Data, PUCHAR Buffer);
// Sends the path request down Path and waits for it to come back (informational statuses 1 to
// 191 become success); the request stays the sender's.
void BusPathIrpSend(PDEVICE_OBJECT Path, PIRP PathIrp);
// A pass-through's sense key, ASC and ASCQ, from the sense data that came back, into the block.
void BusPathSenseToBlock(const BusPathData *Data, const UCHAR *Buffer, ScsiStatus *Block);
// Copies a device control's result back to the caller, never more than its output buffer or the
// path buffer held (pass-through converted back to the caller's layout); returns the information.
ULONG_PTR BusPathResult(const BusPathData *Data, PIRP Irp, const UCHAR *Buffer, NTSTATUS Status, ULONG_PTR Information);
// Before the next attempt: frees the path buffer and makes the path request ready for reuse.
void BusPathIrpReuse(PIRP PathIrp, PUCHAR *Buffer);
// The end of a request path: frees the path request, its buffer and the tried-paths array, and
// releases the caller's locked buffer.
void BusPathRequestEnd(LogicalDeviceExtension *Ldx, PIRP Irp, PIRP PathIrp, PUCHAR Buffer, PDEVICE_OBJECT *Tried);
// The failover sense table: TRUE when the sense of the block matches one of its rows.
BOOLEAN BusSenseAsksFailover(const ScsiStatus *Block);
// Statuses that never start failover by themselves.
BOOLEAN BusStatusExempt(NTSTATUS Status);
// Event 0x80000004 (with FailoverEventsEnabled) before a request moves on: what was seen, the
// block's sense or the status, and the request's control code.
void BusLogFailoverSense(LogicalDeviceExtension *Ldx, PIRP Irp, ULONG Code, const ScsiStatus *Block);
void BusLogFailoverStatus(LogicalDeviceExtension *Ldx, PIRP Irp, ULONG Code, NTSTATUS Status);
// IOCTL_SCSI_GET_ADDRESS on a logical device: the primary path's address; completes the request.
NTSTATUS BusAnswerScsiAddress(LogicalDeviceExtension *Ldx, PIRP Irp);
// Locks the caller's data buffer of an IOCTL_SCSI_PASS_THROUGH_DIRECT and records it for the
// request path (nothing is locked for a structure that names no buffer).
NTSTATUS BusLockDirectBuffer(LogicalDeviceExtension *Ldx, PIRP Irp);
// The locked MDL of a direct pass-through request, or null.
PMDL BusFindLockedBuffer(LogicalDeviceExtension *Ldx, PIRP Irp);
// Unlocks and frees the locked buffer of a request, if it has one.
void BusReleaseLockedBuffer(LogicalDeviceExtension *Ldx, PIRP Irp);

// ---------------------------------------------------------------------------------------------
// busresv.cpp: reservations across paths
// ---------------------------------------------------------------------------------------------
// Before an attempt: when Path is not the last reserving path, puts the reservation key, the
// reservation-active flag and the block size into the block and returns TRUE (the attempt
// changes path); otherwise leaves the key bytes 0 and returns FALSE.
BOOLEAN BusReservationPrepare(LogicalDeviceExtension *Ldx, PDEVICE_OBJECT Path, ScsiStatus *Block);
// Right after the attempt came back: logs the reservation report of the block ("Reserving host
// key ..."), and, with failover events on, "could not break previous reservation" when the
// filter marked the block 0xC0000022. Request is the application's request (its major function
// goes into the entry).
void BusReservationReport(LogicalDeviceExtension *Ldx, PDEVICE_OBJECT Path, PIRP Request, const ScsiStatus *Block);
// After an attempt: the last reserving path, the key and the active flag follow the recognised
// requests; sends IOC_SET_RESERVATION_KEY as an internal request where the rules say so.
// Stack is the application's stack location; Data the request's data as it went down the path
// (the front of the path request's buffer, pass-through already in the native layout; null for
// requests without data); Changed what BusReservationPrepare returned (or a path switch).
void BusReservationAfterAttempt(LogicalDeviceExtension *Ldx, PDEVICE_OBJECT Path, const IO_STACK_LOCATION *Stack,
                                const UCHAR *Data, ULONG DataLength, NTSTATUS Status, BOOLEAN Changed);

// ---------------------------------------------------------------------------------------------
// busio.cpp and bustrack.cpp: one request on its way over the paths of its logical device
// ---------------------------------------------------------------------------------------------
// What the position tracker makes of a request.
enum BusTrackKind : UCHAR {
    BUS_TRACK_NONE = 0,
    BUS_TRACK_TRANSFER,    // read, write, READ(6)/(10), WRITE(6)/(10), READ REVERSE(6)
    BUS_TRACK_REWIND,      // IOCTL_TAPE_SET_POSITION method 0, REWIND
    BUS_TRACK_LOCATE,      // set position method 1 or 2, LOCATE(10)/(16), 0x1FE09C, 0x1FE0C0
    BUS_TRACK_SPACE,       // set position methods 4 to 7, SPACE(6)
    BUS_TRACK_WRITE_MARKS, // IOCTL_TAPE_WRITE_MARKS, WRITE FILEMARKS(6)
    BUS_TRACK_ERASE,       // IOCTL_TAPE_ERASE, ERASE(6)
    BUS_TRACK_VERIFY,      // 0x1F60A8, VERIFY(6)
    BUS_TRACK_SET_MEDIA,   // IOCTL_TAPE_SET_MEDIA_PARAMS, MODE SELECT(6)/(10)
    BUS_TRACK_GET_MEDIA,   // IOCTL_TAPE_GET_MEDIA_PARAMS
    BUS_TRACK_SETTING_A,   // 0x1FE0C4, 0x1FE0C8
    BUS_TRACK_SETTING_B,   // 0x1FE0E0, 0x1FE0E4
    BUS_TRACK_PREPARE,     // IOCTL_TAPE_PREPARE, PREVENT ALLOW MEDIUM REMOVAL
};

// The path data (BusPathData) comes first: the code, the pass-through structure and the layout of
// the path request's buffer.
struct BusRequest : BusPathData {
    LogicalDeviceExtension *pLdx;
    PIRP pIrp;                   // the application's request
    PIO_STACK_LOCATION pStack;   // its stack location
    UCHAR ucMajor;
    BOOLEAN fFailover;           // the logical device runs with failover

    // What the request does to the tape.
    BusTrackKind Kind;
    BOOLEAN fPositionMoving;     // the position must be known first; a retry starts where it did
    BOOLEAN fDataTransfer;       // the block size must be known first
    BOOLEAN fWrite;              // a transfer towards the tape
    LONG lDirection;             // -1 for READ REVERSE(6), else +1

    // The attempt just made.
    PDEVICE_OBJECT pPath;
    PUCHAR pBuffer;              // the path request's system buffer: data, then the ScsiStatus block
    ULONG ulBufferSize;
    ScsiStatus Block;            // the block as it came back
    NTSTATUS Status;
    ULONG_PTR Information;
    ULONG ulRequested;           // L of the attempt
    ULONG ulSavedPosition;       // the position before the attempt
    BOOLEAN fSavedKnown;
    BOOLEAN fInternalSent;       // position tracking sent internal requests
    BOOLEAN fRecoveryFailed;     // no failover for this request any more

    // Resume record of a write that failed part way (bytes), and of filemarks (marks).
    BOOLEAN fResuming;
    BOOLEAN fComplete;
    ULONG ulBytesDone;
    ULONG ulBytesRemaining;

    // Where a retry of a position-moving request has to start.
    BOOLEAN fRetryFromKnown;
    ULONG ulRetryPosition;
};

// Sorts the request into its tracking row; Pt must be filled first for pass-through.
void BusTrackClassify(BusRequest *Request);
// Load, unload, erase and the immediate rewind: the position flags are cleared before them.
BOOLEAN BusTrackLosesPosition(const BusRequest *Request);
// Position tracking after an attempt (logical devices with failover only).
void BusTrackAttempt(BusRequest *Request);
// Internal requests of the position tracker and the send-over-a-path handler. Each sets
// Request->fInternalSent when it sends something.
NTSTATUS BusTrackReadPosition(BusRequest *Request);
NTSTATUS BusTrackMoveTo(BusRequest *Request, ULONG Position);
NTSTATUS BusTrackReadMediaParams(BusRequest *Request);

#if !VYR_BUILD_CHANGER
// ---------------------------------------------------------------------------------------------
// The key-server relay on a logical tape device (keyserver/keyrelay.cpp)
// ---------------------------------------------------------------------------------------------
// The request path's hand-over on ASC 0xEF: runs the relay in the device's current mode and
// returns its status; *Disposition is KEY_RELAY_FINISHED or KEY_RELAY_FAILED, or 0 when no relay
// could run because one of this device is already under way (a drive command of that relay met
// ASC 0xEF itself).
NTSTATUS BusRelayKeyRequest(LogicalDeviceExtension *Ldx, ULONG *Disposition);
// IOCTL_TPBUS_KEY_REQUEST in the worker; fills the block and returns the request's status.
NTSTATUS BusKeyRequest(LogicalDeviceExtension *Ldx, KeyRequestBlock *Block);
// At the logical device's deletion: frees its relay state.
void BusFreeKeyRelay(LogicalDeviceExtension *Ldx);
#endif
