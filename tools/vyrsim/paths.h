// The logical devices and their paths as an application sees them: the reply of
// IOCTL_TPBUS_QUERY_PATHS, read from the control device and laid out for people.
#pragma once

#include "hk/host.h"

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

// Sends the query through the control device's link (\\.\VYRTpBsDvcLnk) from a user-mode process:
// first with a buffer for the size word only, then with the whole size. Returns the status of the
// query; *devices is filled on success.
NTSTATUS QueryLogicalDevices(hk::Process &process, std::vector<LogicalDeviceView> *devices);

// The table as vyrsim prints it.
std::string FormatLogicalDevices(const std::vector<LogicalDeviceView> &devices);

// "Tape0/1" -> device "Tape0", path index 1. False when the text has another form.
bool ParsePathReference(const std::string &text, std::string *device, int *path);

} // namespace vyr::tools
