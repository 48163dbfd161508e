#include "paths.h"

#include "vyr/tpbus.h"

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

NTSTATUS QueryLogicalDevices(hk::Process &process, std::vector<LogicalDeviceView> *devices)
{
    devices->clear();
    HANDLE h = process.CreateFile("\\\\.\\VYRTpBsDvcLnk");
    if (h == hk::INVALID_HANDLE)
        return process.LastStatus();

    IO_STATUS_BLOCK iosb{};
    ULONG size = 0;
    NTSTATUS status = process.NtDeviceIoControlFile(h, IOCTL_TPBUS_QUERY_PATHS, nullptr, 0, &size, sizeof size, &iosb);
    if (status == STATUS_INVALID_PARAMETER) {
        // The bus answers so while it has no logical device at all.
        process.CloseHandle(h);
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status) || size < PATH_QUERY_HEADER_SIZE) {
        process.CloseHandle(h);
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    std::vector<uint8_t> reply(size);
    status = process.NtDeviceIoControlFile(h, IOCTL_TPBUS_QUERY_PATHS, nullptr, 0, reply.data(), size, &iosb);
    process.CloseHandle(h);
    if (!NT_SUCCESS(status))
        return status;

    // Paths of one logical device come one after the other; a new name starts a new device.
    size_t count = (std::min<size_t>(iosb.Information, reply.size()) - PATH_QUERY_HEADER_SIZE) / sizeof(PathInfoEntry);
    for (size_t i = 0; i < count; i++) {
        PathInfoEntry entry;
        memcpy(&entry, reply.data() + PATH_QUERY_HEADER_SIZE + i * sizeof entry, sizeof entry);
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
    return STATUS_SUCCESS;
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
            char address[32];
            snprintf(address, sizeof address, "%u:%u:%u:%u", p.port, p.pathId, p.target, p.lun);
            if (p.primary)
                snprintf(line, sizeof line, "    path %zu  %-11s  %-11s  primary\n", i, address,
                         p.available ? "available" : "unavailable");
            else
                snprintf(line, sizeof line, "    path %zu  %-11s  %s\n", i, address, p.available ? "available" : "unavailable");
            out += line;
        }
    }
    return out;
}

bool ParsePathReference(const std::string &text, std::string *device, int *path)
{
    size_t slash = text.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 >= text.size())
        return false;
    char *end = nullptr;
    long index = strtol(text.c_str() + slash + 1, &end, 10);
    if (*end || index < 0 || index > 255)
        return false;
    *device = text.substr(0, slash);
    *path = (int)index;
    return true;
}

} // namespace vyr::tools
