// The changer class driver stand-in (service vyrcg2k16): one function device object per changer
// path PDO of the SCSI fabric, answering what the changer path filter and the changer bus send to
// the maker's changer class driver -- its private requests, the standard changer control codes and
// SCSI pass-through -- by running SCSI commands on the path (IOCTL_VYRFAB_EXECUTE_CDB), and filling
// the ScsiStatus block of every request it finds in the StatusStructTable it was lent.
//
// Routine prefixes: Cg for what the source files share, Cgp for file-local helpers.
#pragma once

#include "kernel.h"
#include "cgioctl.h"
#include "vyr/dpf/defines.h"
#include "vyr/fabric.h"
#include "vyr/statustable.h"
#include "vyr/tpbus.h"

constexpr ULONG CG_POOL_TAG = VyrPoolTag("VCgc");
constexpr ULONG CG_MAX_TRANSFER = 0x00100000; // largest data transfer of one command (1 MiB)
constexpr ULONG CG_ATTENTION_RETRIES = 4;     // unit attentions one command of the driver's own takes

// The FDO's extension.
struct CgExtension {
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
    // One command sequence at a time on the path.
    KEVENT CommandLock;

    FabPathInfo PathInfo;
    ULONG64 volatile pStatusTable; // IOCTL_VYRCG_SET_STATUS_TABLE
};

// What one request did on the changer, for its ScsiStatus block.
struct CgIo {
    PIRP Irp;
    BOOLEAN fSense;
    UCHAR ucSenseLength;
    UCHAR Sense[FAB_SENSE_SIZE];
};

inline CgExtension *CgExt(PDEVICE_OBJECT Device) { return (CgExtension *)Device->DeviceExtension; }
inline void CgPutBe16(PUCHAR p, ULONG v) { p[0] = (UCHAR)(v >> 8); p[1] = (UCHAR)v; }
inline ULONG CgGetBe16(const UCHAR *p) { return ((ULONG)p[0] << 8) | p[1]; }
inline ULONG CgGetBe24(const UCHAR *p) { return ((ULONG)p[0] << 16) | ((ULONG)p[1] << 8) | p[2]; }

// cgscsi.cpp
// Runs one command on the path and waits for it: success when the command reached the changer,
// whatever its SCSI status.
NTSTATUS CgSendRequest(CgExtension *Ext, FabScsiRequest *Request);
// Runs one command of the driver's own and maps its outcome to the status a changer class
// driver reports; pending unit attentions are taken and the command sent again. Sense of the
// final answer is recorded in Io (when not null).
NTSTATUS CgExecute(CgExtension *Ext, CgIo *Io, const UCHAR *Cdb, UCHAR CdbLength, FabDirection Direction, PVOID Data,
                   ULONG Length, FabScsiRequest *Result = nullptr);
NTSTATUS CgStatusFromScsi(const FabScsiRequest *Request);
void CgNoteSense(CgIo *Io, const FabScsiRequest *Request);
ScsiStatus *CgFindScsiStatus(CgExtension *Ext, PIRP Irp);
void CgFillScsiStatus(CgExtension *Ext, CgIo *Io);
NTSTATUS CgQueryPathInfo(CgExtension *Ext);

// cgcontrol.cpp: private codes, standard changer codes. FALSE when the code is none of them.
BOOLEAN CgControl(CgExtension *Ext, CgIo *Io, NTSTATUS *Status, ULONG_PTR *Information);

// cgpassthru.cpp
NTSTATUS CgPassThrough(CgExtension *Ext, CgIo *Io, BOOLEAN Direct, ULONG_PTR *Information);
