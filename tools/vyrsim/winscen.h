// vyrsim's `winscen` step: the failover scenario of the Win32 program vyrwinscen.exe
// (tests/wine/scenario), run on the host kernel through a user-mode process's Win32 calls, with
// the topology of vyrsim's options. Its report is the one the program prints under Wine, line for
// line, when both kernels behave alike (tests/wine/compare_host.sh compares them).
#pragma once

#include "machine/testbed.h"

#include <cstdio>

namespace vyr::tools {

// Returns the scenario's exit status: 0 verified, 1 something did not verify, 2 it could not run.
int RunWinScen(const vyr::sim::Topology &topology, FILE *out);

} // namespace vyr::tools
