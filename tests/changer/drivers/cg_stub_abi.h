// What the changer tests share with their class-driver stand-in, cg_classstub: one record per
// device it made, in creation order, which the test reads and writes through the exported
// CgStubPaths array.
#pragma once

#include "kernel.h"

constexpr ULONG CG_STUB_MAX_PATHS = 16;

// The changer class driver's private codes that the changer path filter sends at start.
constexpr ULONG CG_STUB_IOC_GET_SERIAL_NUMBER = 0x84c9c008;
constexpr ULONG CG_STUB_IOC_GET_SCSI_ADDRESS = 0x84c9c00c;
constexpr ULONG CG_STUB_IOC_SET_STATUS_TABLE = 0x84c9c014;

enum CgStubSerialFailure : ULONG {
    CG_STUB_SERIAL_ANSWERS = 0,
    CG_STUB_SERIAL_FAILS = 1,      // completed at once with STATUS_IO_DEVICE_ERROR
    CG_STUB_SERIAL_FAILS_LATE = 2, // STATUS_PENDING first, STATUS_IO_DEVICE_ERROR from another thread
};

struct CgStubPath {
    // Set by the test (before the device starts, for the probes).
    CHAR serial[32];
    UCHAR address[8];
    ULONG serialFailure;   // CgStubSerialFailure
    NTSTATUS result;       // every other device control completes with it
    ULONG answerLength;    // bytes of a successful buffered answer (each 0xA0 + index)
    // Seen by the stub.
    ULONG64 device;
    volatile LONG requests; // device controls other than the probes, reads and writes
    volatile LONG creates;
    volatile LONG tableHandOvers;
    ULONG lastCode;
    ULONG lastInLength;
};

extern "C" {
typedef NTSTATUS CgStubCreatePathFn(PDEVICE_OBJECT *Device);
typedef NTSTATUS CgStubCreateNamedFn(PCWSTR Name, PDEVICE_OBJECT *Device);
extern CgStubPath CgStubPaths[CG_STUB_MAX_PATHS];
}
