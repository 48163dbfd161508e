// Host face of the storage control interface (ntddstor.h): the reservation requests a tape class
// driver answers, with the values and layouts of the real header. Included by hk/ntddtape.h, as
// the real ntddtape.h includes ntddstor.h; never directly.
#pragma once

#define IOCTL_STORAGE_BASE FILE_DEVICE_MASS_STORAGE

#define IOCTL_STORAGE_RESERVE CTL_CODE(IOCTL_STORAGE_BASE, 0x0204, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_STORAGE_RELEASE CTL_CODE(IOCTL_STORAGE_BASE, 0x0205, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_STORAGE_PERSISTENT_RESERVE_IN CTL_CODE(IOCTL_STORAGE_BASE, 0x0406, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_STORAGE_PERSISTENT_RESERVE_OUT \
    CTL_CODE(IOCTL_STORAGE_BASE, 0x0407, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)

typedef struct _PERSISTENT_RESERVE_COMMAND {
    ULONG Version; // sizeof(PERSISTENT_RESERVE_COMMAND)
    ULONG Size;    // of the whole command, parameter list included
    union {
        struct {
            UCHAR ServiceAction : 5;
            UCHAR Reserved1 : 3;
            USHORT AllocationLength;
        } PR_IN;
        struct {
            UCHAR ServiceAction : 5;
            UCHAR Reserved1 : 3;
            UCHAR Type : 4;
            UCHAR Scope : 4;
            UCHAR ParameterList[0];
        } PR_OUT;
    };
} PERSISTENT_RESERVE_COMMAND, *PPERSISTENT_RESERVE_COMMAND;

static_assert(sizeof(PERSISTENT_RESERVE_COMMAND) == 12, "PERSISTENT_RESERVE_COMMAND layout");
static_assert(offsetof(PERSISTENT_RESERVE_COMMAND, PR_IN.AllocationLength) == 10, "PERSISTENT_RESERVE_COMMAND layout");
static_assert(offsetof(PERSISTENT_RESERVE_COMMAND, PR_OUT.ParameterList) == 10, "PERSISTENT_RESERVE_COMMAND layout");
