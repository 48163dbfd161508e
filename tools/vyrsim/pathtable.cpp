#include "pathtable.h"

#include "vyr/tpbus.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vyr::tools {

namespace {

std::string FixedText(const char *field, size_t size)
{
    size_t n = strnlen(field, size);
    return std::string(field, n);
}

} // namespace

void ParsePathQuery(const uint8_t *reply, size_t length, std::vector<LogicalDeviceView> *devices)
{
    devices->clear();
    if (length < PATH_QUERY_HEADER_SIZE)
        return;
    size_t count = (length - PATH_QUERY_HEADER_SIZE) / sizeof(PathInfoEntry);
    for (size_t i = 0; i < count; i++) {
        PathInfoEntry entry;
        memcpy(&entry, reply + PATH_QUERY_HEADER_SIZE + i * sizeof entry, sizeof entry);
        std::string name = FixedText(entry.szDeviceName, sizeof entry.szDeviceName);
        if (devices->empty() || devices->back().name != name) {
            LogicalDeviceView device;
            device.name = name;
            device.serial = FixedText(entry.szSerialNumber, sizeof entry.szSerialNumber);
            device.failover = entry.fFailover != 0;
            devices->push_back(device);
        }
        PathView path;
        path.port = entry.Address.PortNumber;
        path.pathId = entry.Address.PathId;
        path.target = entry.Address.TargetId;
        path.lun = entry.Address.Lun;
        path.available = entry.fAvailable != 0;
        path.primary = entry.fPrimary != 0;
        devices->back().paths.push_back(path);
    }
}

std::string PathAddress(const PathView &p)
{
    char address[32];
    snprintf(address, sizeof address, "%u:%u:%u:%u", p.port, p.pathId, p.target, p.lun);
    return address;
}

std::string FormatLogicalDevices(const std::vector<LogicalDeviceView> &devices)
{
    std::string out;
    char line[256];
    snprintf(line, sizeof line, "Logical devices (%zu):\n", devices.size());
    out += line;
    for (const LogicalDeviceView &d : devices) {
        snprintf(line, sizeof line, "  %-12s  serial %-32s  failover %s\n", d.name.c_str(), d.serial.c_str(),
                 d.failover ? "on" : "off");
        out += line;
        for (size_t i = 0; i < d.paths.size(); i++) {
            const PathView &p = d.paths[i];
            std::string address = PathAddress(p);
            if (p.primary)
                snprintf(line, sizeof line, "    path %zu  %-11s  %-11s  primary\n", i, address.c_str(),
                         p.available ? "available" : "unavailable");
            else
                snprintf(line, sizeof line, "    path %zu  %-11s  %s\n", i, address.c_str(),
                         p.available ? "available" : "unavailable");
            out += line;
        }
    }
    return out;
}

} // namespace vyr::tools
