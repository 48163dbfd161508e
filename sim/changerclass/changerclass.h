// The changer class driver stand-in (service vyrcg2k16): one function device object per changer
// path PDO of the SCSI fabric, answering what the changer path filter and the changer bus send to
// the maker's changer class driver -- its private requests, the standard changer control codes and
// SCSI pass-through -- by running SCSI commands on the path (IOCTL_VYRFAB_EXECUTE_CDB), and filling
// the ScsiStatus block of every request it finds in the StatusStructTable it was lent.
//
// What it shares with the tape stand-in (the FDO, Plug and Play, commands on the path, the
// status block, the identity requests) is sim/classcommon.
//
// Routine prefixes: Cg for what the source files share, Cgp for file-local helpers.
#pragma once

#include "kernel.h"
#include "cgioctl.h"
#include "../classcommon/classcommon.h"
#include "vyr/tpbus.h"

constexpr ULONG CG_POOL_TAG = VyrPoolTag("VCgc");
constexpr ULONG CG_MAX_TRANSFER = 0x00100000; // largest data transfer of one command (1 MiB)
constexpr ULONG CG_ATTENTION_RETRIES = 4;     // unit attentions one command of the driver's own takes

// The FDO's extension: the common part is all a changer path needs.
struct CgExtension : ClsExtension {
};

// What one request did on the changer, for its ScsiStatus block.
struct CgIo : ClsIo {
};

typedef ClsControlEntry<CgExtension, CgIo> CgControlEntry;

// cgscsi.cpp
// The changer's description for the shared class code.
extern const ClsDriver CgDriver;
// Records the sense of the last command of a request (none when it had none).
void CgNoteSense(ClsExtension *Ext, ClsIo *Io, const FabScsiRequest *Request);

// cgcontrol.cpp: private codes, standard changer codes. FALSE when the code is none of them.
BOOLEAN CgControl(CgExtension *Ext, CgIo *Io, NTSTATUS *Status, ULONG_PTR *Information);

