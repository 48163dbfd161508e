// The logical devices and their paths as an application sees them: the reply of
// IOCTL_TPBUS_QUERY_PATHS, read from the control device and laid out for people.
#pragma once

#include "hk/host.h"
#include "pathtable.h"

#include <string>
#include <vector>

namespace vyr::tools {

// Sends the query through the control device's link (\\.\VYRTpBsDvcLnk) from a user-mode process:
// first with a buffer for the size word only, then with the whole size. Returns the status of the
// query; *devices is filled on success.
NTSTATUS QueryLogicalDevices(hk::Process &process, std::vector<LogicalDeviceView> *devices);

// The same from the changer bus enumerator (\\.\VYRCgBsDvcLnk, IOCTL_CGBUS_QUERY_PATHS), whose
// reply has the tape bus's layout.
NTSTATUS QueryChangerDevices(hk::Process &process, std::vector<LogicalDeviceView> *devices);

// "Tape0/1" -> device "Tape0", path index 1. False when the text has another form.
bool ParsePathReference(const std::string &text, std::string *device, int *path);

} // namespace vyr::tools
