// The fault-injection soak: thousands of mixed tape operations on every drive while random faults
// of every kind strike random paths, each run from a seed; afterwards every medium must hold
// exactly what the application was told was written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vyr::tools {

struct SoakOptions {
    std::vector<uint32_t> seeds = {11, 23, 37};
    uint32_t operations = 400; // per seed, over all drives
    bool trace = false;        // print every operation
    bool reservations = true;  // reserve and release among the operations, and reservations held elsewhere
};

// Runs every seed on the booted host; prints a line per seed and, on failure, the seeds that
// failed with what went wrong. True when every seed passed.
bool RunSoak(const SoakOptions &options, FILE *out);

// "1,2,5-9" -> seeds; false when the text has another form.
bool ParseSeedList(const std::string &text, std::vector<uint32_t> *seeds);

} // namespace vyr::tools
