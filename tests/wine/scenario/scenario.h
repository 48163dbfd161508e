// The failover scenario that the Win32 program vyrwinscen.exe runs under Wine and vyrsim's
// `winscen` step runs on the host kernel: one source, so that the two runs make the same requests
// in the same order and print the same lines, and a difference in their output is a difference
// between the two kernels (or the two builds of the images), not between two test programs.
//
// The scenario: builds the topology in the fabric when it is empty, waits (bounded) until every
// logical tape and changer is listed with all its paths, prints the paths table; loads a
// cartridge into every tape drive that stands behind a changer's drive element, through
// \\.\ChangerN, while the first move meets a failure on Changer0's primary path; writes records
// of a known pattern to every tape, while on Tape0 the primary path's link fails in the middle of
// a record (part of it reaches the tape) and stays down; writes a filemark, rewinds and reads
// everything back byte for byte; prints the paths table again and a summary. The output on
// standard output holds nothing that differs between two good runs (no times, no handles).
#pragma once

#include "vyr/fabricplan.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace vyr::winscen {

// The Win32 calls the scenario makes, with their Win32 meaning: a failed call returns false (or
// no handle) and LastError() tells the Win32 error code.
class Win32Calls {
public:
    using Handle = void *;
    virtual ~Win32Calls() = default;
    // CreateFile on \\.\<name> for reading and writing; nullptr when it fails.
    virtual Handle Open(const std::string &name) = 0;
    virtual bool Control(Handle h, uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
                         uint32_t *returned) = 0;
    virtual bool Write(Handle h, const void *data, uint32_t length, uint32_t *written) = 0;
    virtual bool Read(Handle h, void *data, uint32_t length, uint32_t *read) = 0;
    virtual void Close(Handle h) = 0;
    virtual uint32_t LastError() = 0;
    // Lets Plug and Play work while the scenario waits for devices: a sleep on Windows, waiting
    // until the PnP manager is idle on the host kernel.
    virtual void Settle(uint32_t milliseconds) = 0;
};

struct Options {
    // The topology as vyrsim takes it from --drives, --changers, --paths and --ports: with
    // changers, a library, whose drive elements are the tape drives and start empty.
    vyr::sim::Topology topology;
    uint32_t records = 24;   // records written to every tape
    uint32_t recordSize = 65536;
    uint32_t blockSize = 16384; // fixed-block mode: a record is recordSize / blockSize tape blocks
    uint32_t waitSeconds = 60; // for the logical devices to appear
};

// Reads the program's options (--drives N --changers N --paths N --ports N --records N --wait
// SECONDS) from argv[first..argc). False with *error set on a bad one.
bool ParseOptions(int argc, char **argv, int first, Options *options, std::string *error);
const char *OptionsUsage();

// Runs the scenario; the report goes to `out`, progress of the wait to `progress`. Returns 0 when
// every step verified, 1 when the scenario ran and something did not verify, 2 when it could not
// run (a device missing, the topology not as asked).
int Run(Win32Calls &calls, const Options &options, FILE *out, FILE *progress);

} // namespace vyr::winscen
