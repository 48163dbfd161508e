// The paths table: a bus's path query reply (IOCTL_TPBUS_QUERY_PATHS, IOCTL_CGBUS_QUERY_PATHS) read
// into logical devices and laid out for people. Plain C++ over the shared records, with no host
// kernel type: vyrsim builds it on the host kernel and the Win32 scenario program
// (tests/wine/scenario) builds it for Windows, so both print the same table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vyr::tools {

struct PathView {
    uint8_t port = 0, pathId = 0, target = 0, lun = 0;
    bool available = false;
    bool primary = false;
};

struct LogicalDeviceView {
    std::string name;   // Tape0
    std::string serial; // 32 characters as the drive reports them
    bool failover = false;
    std::vector<PathView> paths; // registration order
};

// Reads a path query reply of `length` bytes (what the bus returned): the size word, then one
// PathInfoEntry per path; the paths of one logical device come one after the other, a new name
// starts a new device. A reply shorter than the size word gives no device.
void ParsePathQuery(const uint8_t *reply, size_t length, std::vector<LogicalDeviceView> *devices);

// The table as vyrsim prints it.
std::string FormatLogicalDevices(const std::vector<LogicalDeviceView> &devices);

// "0:1:2:0" for a path's SCSI address.
std::string PathAddress(const PathView &path);

} // namespace vyr::tools
