// What the testbed's class driver stand-ins (tape vyrtp2k16, changer vyrcg2k16) share: one FDO
// per path PDO of the SCSI fabric, its naming, remove lock and command lock, Plug and Play and
// power, SCSI commands run on the path (IOCTL_VYRFAB_EXECUTE_CDB), the status-block filling
// through the StatusStructTable the filter lends, and the private identity requests the path
// filters probe with. Each stand-in describes itself once (ClsDriver) and keeps only what
// differs: its status mapping, what it notes of a command's outcome, its start and its requests.
//
// Routine prefixes: Cls for what the stand-ins call, Clsp for file-local helpers.
#pragma once

#include "kernel.h"
#include "vyr/dpf/defines.h"
#include "vyr/fabric.h"
#include "vyr/statustable.h"
#include "vyr/tpbus.h"

// The leading part of each stand-in's FDO extension.
struct ClsExtension {
    PDEVICE_OBJECT pSelf;
    PDEVICE_OBJECT pLowerDevice;
    PDEVICE_OBJECT pPhysicalDevice;
    ULONG ulPathNumber;
    BOOLEAN fLinkCreated;
    BOOLEAN fStarted;
    BOOLEAN fStopped;
    BOOLEAN volatile fRemoved; // surprise-removed or removed: new requests are refused

    // Remove lock: 1 while the device exists, +1 per request in progress.
    LONG volatile lIoCount;
    KEVENT RemoveEvent;

    // One command sequence at a time on the path (a synchronization event, so that holders may
    // wait at passive level for their commands).
    KEVENT CommandLock;

    FabPathInfo PathInfo;
    ULONG64 volatile pStatusTable; // the private set-status-table request
};

// The leading part of what one request did on the device, for its ScsiStatus block.
struct ClsIo {
    PIRP Irp;
    BOOLEAN fSense; // a command of this request returned sense data
    UCHAR ucSenseLength;
    UCHAR Sense[FAB_SENSE_SIZE];
};

// The private identity codes of a stand-in's family (the buffers are the same in both).
struct ClsIdentityCodes {
    ULONG ulGetSerialNumber;    // out 32: VPD page 0x80 as text, zero-filled
    ULONG ulGetScsiAddress;     // out 8: the path's SCSI_ADDRESS
    ULONG ulSetStatusTable;     // in 8: the StatusStructTable's address (kernel callers only)
    ULONG ulGetDeviceIdPage;    // out 560: VPD page 0x83 from its first header byte
    ULONG ulGetStandardInquiry; // out 136: standard INQUIRY data
};
constexpr ULONG CLS_SERIAL_NUMBER_SIZE = 32;
constexpr ULONG CLS_SCSI_ADDRESS_SIZE = 8;
constexpr ULONG CLS_STATUS_TABLE_SIZE = 8;
constexpr ULONG CLS_DEVICE_ID_PAGE_SIZE = 560;
constexpr ULONG CLS_STANDARD_INQUIRY_SIZE = 136;
static_assert(sizeof(SCSI_ADDRESS) == CLS_SCSI_ADDRESS_SIZE, "SCSI_ADDRESS is 8 bytes");

// One stand-in, described to the shared code at driver entry.
struct ClsDriver {
    PCWSTR pszDeviceNamePrefix; // \Device\...<N>
    PCWSTR pszLinkNamePrefix;   // \DosDevices\...<N>
    DEVICE_TYPE DeviceType;
    ULONG ulExtensionSize;      // at least sizeof(ClsExtension); zeroed at creation
    ULONG ulIoFlag;             // DO_DIRECT_IO or DO_BUFFERED_IO
    ULONG ulPoolTag;
    ClsIdentityCodes Identity;
    // A request's own commands take unit attentions and ask again (the driver's own probes
    // always do, up to ulAttentionRetries times).
    BOOLEAN fRequestsTakeAttentions;
    ULONG ulAttentionRetries;
    // The status a CHECK CONDITION reports, from its fixed-format sense data.
    NTSTATUS (*StatusFromSense)(const UCHAR *Sense, ULONG Length);
    // What a command that reached the device says: its sense into Io (null for the driver's own
    // probes) and whatever the stand-in keeps of the device's state.
    void (*NoteOutcome)(ClsExtension *Ext, ClsIo *Io, const FabScsiRequest *Request);
    // Optional: the new extension after the common fields are set.
    void (*InitExtension)(ClsExtension *Ext);
    // Optional: start, after the lower drivers started and the path's identity is known; called
    // under the command lock. A failure keeps the path stopped.
    NTSTATUS (*StartDevice)(ClsExtension *Ext);
    // Optional: removal, after the last request has left.
    void (*RemoveDevice)(ClsExtension *Ext);
    // Optional: the stand-in's own fields of a request's ScsiStatus block (the sense fields are
    // filled already).
    void (*FillScsiStatus)(ClsExtension *Ext, ClsIo *Io, ScsiStatus *Block);
    // The largest data transfer of one pass-through command.
    ULONG ulMaxTransfer;
    // Optional: what the stand-in keeps of a pass-through command that succeeded (DataOut null for
    // a command that reads).
    void (*NotePassThrough)(ClsExtension *Ext, ClsIo *Io, const UCHAR *Cdb, const UCHAR *DataOut,
                            ULONG DataOutLength);
};

// clsmain.cpp
// Records the stand-in's description (which must outlive the driver) and fills the dispatch
// table: Plug and Play, power, internal device control and system control (passed to the path),
// AddDevice; every other request is refused until the stand-in sets its own routines.
void ClsInitializeDriver(PDRIVER_OBJECT DriverObject, const ClsDriver *Driver);
const ClsDriver *ClsDescription();
NTSTATUS ClsComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
BOOLEAN ClsAcquireIo(ClsExtension *Ext);
void ClsReleaseIo(ClsExtension *Ext);
void ClsLockCommands(ClsExtension *Ext);
void ClsUnlockCommands(ClsExtension *Ext);

// clsscsi.cpp
// Runs one command on the path and waits for it: success when the command reached the device,
// whatever its SCSI status (in Request->ScsiStatus).
NTSTATUS ClsSendRequest(ClsExtension *Ext, FabScsiRequest *Request);
// Sends an internal request of the driver's own to the path PDO and waits for it.
NTSTATUS ClsSendInternal(ClsExtension *Ext, ULONG Code, PVOID Argument);
// The path's identity (an internal request of the fabric) into Ext->PathInfo.
NTSTATUS ClsQueryPathInfo(ClsExtension *Ext);
// Runs one command and maps its outcome: transport failures as they are, SCSI status and sense to
// the stand-in's status. With Io null the command is a probe of the driver's own, which belongs
// to no request.
NTSTATUS ClsExecute(ClsExtension *Ext, ClsIo *Io, const UCHAR *Cdb, UCHAR CdbLength, FabDirection Direction, PVOID Data,
                    ULONG Length, FabScsiRequest *Result = nullptr);
// INQUIRY (EVPD and page as given) into Buffer, zeroed first; the bytes that came back.
NTSTATUS ClsInquiry(ClsExtension *Ext, ClsIo *Io, UCHAR Evpd, UCHAR Page, PUCHAR Buffer, ULONG Length,
                    ULONG *Transferred);
// The device's serial number (VPD page 0x80) into 32 bytes, zero-filled.
NTSTATUS ClsReadSerial(ClsExtension *Ext, ClsIo *Io, UCHAR *Serial);
// The status of a command that reached the device, from its SCSI status and sense alone.
NTSTATUS ClsStatusFromScsi(const FabScsiRequest *Request);
// The request's ScsiStatus block in the table the driver was lent, or null.
ScsiStatus *ClsFindScsiStatus(ClsExtension *Ext, PIRP Irp);
// Fills the request's ScsiStatus block when the request came from the bus (it is in the table):
// the sense of Io, then the stand-in's own fields. Called under the command lock, before the
// request completes.
void ClsFillScsiStatus(ClsExtension *Ext, ClsIo *Io);
// clspassthru.cpp
// IOCTL_SCSI_PASS_THROUGH (Direct FALSE) and IOCTL_SCSI_PASS_THROUGH_DIRECT (Direct TRUE), in the
// 64-bit layout and in a 32-bit process's; every region the structure names is checked against
// the buffers first. Success when the command reached the device, whatever its SCSI status.
NTSTATUS ClsPassThrough(ClsExtension *Ext, ClsIo *Io, BOOLEAN Direct, ULONG_PTR *Information);

// The private identity codes and IOCTL_SCSI_GET_ADDRESS; FALSE when the request is none of them.
// Their commands are the driver's own probes: unit attentions are taken, no sense is reported.
BOOLEAN ClsIdentityControl(ClsExtension *Ext, ClsIo *Io, NTSTATUS *Status, ULONG_PTR *Information);

// A control code a stand-in answers: the buffer must hold at least MinIn bytes of input and room
// for MinOut bytes of output, else the request fails with STATUS_INFO_LENGTH_MISMATCH and nothing
// reaches the device. Buffer is the request's system buffer (METHOD_BUFFERED).
template <class Ext, class Io> struct ClsControlEntry {
    ULONG Code;
    ULONG MinIn;
    ULONG MinOut;
    NTSTATUS (*Handler)(Ext *Extension, Io *Request, PUCHAR Buffer, ULONG InLength, ULONG OutLength,
                        ULONG_PTR *Information);
};

// Runs the request's control code when the table holds it; FALSE when it does not.
template <class Ext, class Io>
BOOLEAN ClsRunControl(const ClsControlEntry<Ext, Io> *Table, ULONG Count, Ext *Extension, Io *Request, NTSTATUS *Status,
                      ULONG_PTR *Information)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Request->Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto *buffer = (PUCHAR)Request->Irp->AssociatedIrp.SystemBuffer;
    for (ULONG i = 0; i < Count; i++) {
        if (Table[i].Code != code)
            continue;
        *Information = 0;
        if (in < Table[i].MinIn || out < Table[i].MinOut || (!buffer && (Table[i].MinIn || Table[i].MinOut)))
            *Status = STATUS_INFO_LENGTH_MISMATCH;
        else
            *Status = Table[i].Handler(Extension, Request, buffer, in, out, Information);
        return TRUE;
    }
    return FALSE;
}

/*++
Routine Description:
    Runs one request that may touch the device: takes the remove lock and the command lock,
    refuses it while the path is not started, runs Work, fills the request's ScsiStatus block and
    completes the request with what Work returned. Io is initialised by the caller.
--*/
template <class Ext, class Io>
NTSTATUS ClsRun(PDEVICE_OBJECT DeviceObject, Io *Request, NTSTATUS (*Work)(Ext *Extension, Io *Request, ULONG_PTR *Information))
{
    auto *ext = (Ext *)DeviceObject->DeviceExtension;
    if (!ClsAcquireIo(ext))
        return ClsComplete(Request->Irp, STATUS_DELETE_PENDING, 0);
    ULONG_PTR information = 0;
    NTSTATUS status;
    ClsLockCommands(ext);
    if (!ext->fStarted || ext->fStopped)
        status = STATUS_DEVICE_NOT_READY;
    else
        status = Work(ext, Request, &information);
    ClsFillScsiStatus(ext, Request);
    ClsUnlockCommands(ext);
    ClsComplete(Request->Irp, status, information);
    ClsReleaseIo(ext);
    return status;
}

inline void ClsPutBe16(PUCHAR p, ULONG v)
{
    p[0] = (UCHAR)(v >> 8);
    p[1] = (UCHAR)v;
}
inline ULONG ClsGetBe16(const UCHAR *p) { return ((ULONG)p[0] << 8) | p[1]; }
inline ULONG ClsGetBe24(const UCHAR *p) { return ((ULONG)p[0] << 16) | ((ULONG)p[1] << 8) | p[2]; }
