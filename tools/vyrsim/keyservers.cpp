#include "keyservers.h"

#include "keyserver_standin.h"
#include "paths.h"
#include "tapeapp.h"
#include "vyr/fabricctl.h"
#include "vyr/tpbus.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace vyr::tools {

KeyServers::KeyServers() = default;
KeyServers::~KeyServers() = default;

bool KeyServers::Start(int count)
{
    for (int k = 0; k < count; k++) {
        auto server = std::make_unique<vyr::keysim::KeyServerStandIn>();
        if (!server->Listening())
            return false;
        servers_.push_back(std::move(server));
    }
    return true;
}

bool KeyServers::WriteConfig() const
{
    if (servers_.empty())
        return true;
    std::string text = "# key server stand-ins of vyrsim\n";
    for (size_t k = 0; k < servers_.size(); k++)
        text += "keysim" + std::to_string(k) + " 30 127.0.0.1:" + std::to_string(servers_[k]->Port()) + "\n";
    std::filesystem::path dir = hk::DriveFolder('C');
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    std::ofstream out(dir / "VYRZKS.conf", std::ios::binary | std::ios::trunc);
    out << text;
    return (bool)out;
}

std::string KeyServers::Report() const
{
    std::string text;
    for (size_t k = 0; k < servers_.size(); k++) {
        vyr::keysim::StandInCounters c = servers_[k]->Counters();
        char line[200];
        snprintf(line, sizeof line,
                 "  key server %zu (127.0.0.1:%u): %d connection(s), %d probe(s), %d drive message(s), "
                 "%d command(s), %d exchange(s) ended\n",
                 k, (unsigned)servers_[k]->Port(), c.connections, c.probes, c.driveMessages, c.commandsSent,
                 c.exchangesEnded);
        text += line;
    }
    return text;
}

NTSTATUS KeyServers::Encrypt(hk::Process &process, const vyr::sim::Topology &topology, const std::string &device)
{
    std::vector<LogicalDeviceView> devices;
    NTSTATUS status = QueryLogicalDevices(process, &devices);
    if (!NT_SUCCESS(status))
        return status;
    for (const LogicalDeviceView &view : devices) {
        if (view.name != device)
            continue;
        std::string serial = view.serial;
        while (!serial.empty() && (serial.back() == ' ' || serial.back() == '\0'))
            serial.pop_back();
        for (int d = 0; d < topology.drives; d++) {
            FabDriveConfig config = vyr::sim::Fabric::DriveConfig(topology, d);
            if (serial == config.szSerialNumber) {
                vyr::sim::Fabric fabric;
                return fabric.DriveControl((ULONG)d, FAB_DRIVE_KEY_MANAGED, 1);
            }
        }
    }
    return STATUS_NO_SUCH_DEVICE;
}

NTSTATUS KeyServers::KeyRequest(hk::Process &process, const std::string &device, unsigned type, std::string *text)
{
    HANDLE h = process.CreateFile("\\\\.\\" + device);
    if (h == hk::INVALID_HANDLE)
        return process.LastStatus();
    KeyRequestBlock block{};
    block.ulType = type;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status =
        process.NtDeviceIoControlFile(h, IOCTL_TPBUS_KEY_REQUEST, &block, sizeof block, &block, sizeof block, &iosb);
    process.CloseHandle(h);
    char line[200];
    snprintf(line, sizeof line, "  type %u, status 0x%08X, value %u (0x%08X), %u bytes returned", block.ulType,
             (unsigned)block.ulStatus, (unsigned)block.ulExchangeStatus, (unsigned)block.ulExchangeStatus,
             (unsigned)iosb.Information);
    *text = line;
    return status;
}

} // namespace vyr::tools
