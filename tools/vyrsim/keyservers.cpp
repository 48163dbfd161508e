#include "keyservers.h"

#include "keyserver_standin.h"
#include "paths.h"
#include "tapeapp.h"
#include "vyr/fabricctl.h"
#include "vyr/tpbus.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace vyr::tools {

KeyServers::KeyServers() = default;

KeyServers::~KeyServers()
{
    if (downSocket_ >= 0)
        close(downSocket_);
}

bool KeyServers::Start(int count, int down)
{
    for (int k = 0; k < count; k++) {
        if (k == down) {
            // A socket bound to a loopback port and never listening: the port stays ours, and a
            // connection to it is refused at once, as by a host whose key server is not running.
            downSocket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in sin{};
            sin.sin_family = AF_INET;
            sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof sin;
            if (downSocket_ < 0 || bind(downSocket_, (sockaddr *)&sin, sizeof sin) != 0 ||
                getsockname(downSocket_, (sockaddr *)&sin, &len) != 0)
                return false;
            servers_.push_back(nullptr);
            ports_.push_back(ntohs(sin.sin_port));
            continue;
        }
        auto server = std::make_unique<vyr::keysim::KeyServerStandIn>();
        if (!server->Listening())
            return false;
        ports_.push_back(server->Port());
        servers_.push_back(std::move(server));
    }
    return true;
}

bool KeyServers::WriteConfig() const
{
    if (ports_.empty())
        return true;
    std::string text = "# key server stand-ins of vyrsim\n";
    for (size_t k = 0; k < ports_.size(); k++)
        text += "keysim" + std::to_string(k + 1) + " 30 127.0.0.1:" + std::to_string(ports_[k]) + "\n";
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
        char line[200];
        if (!servers_[k]) {
            snprintf(line, sizeof line, "  key server %zu (127.0.0.1:%u): down, connections refused\n", k + 1,
                     (unsigned)ports_[k]);
            text += line;
            continue;
        }
        vyr::keysim::StandInCounters c = servers_[k]->Counters();
        snprintf(line, sizeof line,
                 "  key server %zu (127.0.0.1:%u): %d connection(s), %d probe(s), %d drive message(s), "
                 "%d command(s), %d exchange(s) ended\n",
                 k + 1, (unsigned)servers_[k]->Port(), c.connections, c.probes, c.driveMessages, c.commandsSent,
                 c.exchangesEnded);
        text += line;
        if (c.driveMessages) {
            // Why the drive asked: the reason is the ASCQ of the 7/EF sense it failed a command with.
            const unsigned reason = c.driveMessageReason;
            const char *why = reason == 1   ? "a read or write refused for want of a key, 7/EF/01"
                              : reason == 2 ? "the key-path check, 7/EF/02"
                              : reason == 3 ? "the key exchange diagnostic, 7/EF/03"
                                            : "none pending";
            snprintf(line, sizeof line, "    last drive message: %zu bytes, key request %u (%s)\n",
                     c.driveMessageBytes, (unsigned)c.driveMessageRequest, why);
            text += line;
        }
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
