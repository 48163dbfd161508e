// Key servers for vyrsim: stand-ins on loopback, the VYRZKS.conf that lists them on the
// simulated system drive, key-managed drives, and IOCTL_TPBUS_KEY_REQUEST from an application.
#pragma once

#include "hk/host.h"
#include "machine/testbed.h"

#include <memory>
#include <string>
#include <vector>

namespace vyr::keysim {
class KeyServerStandIn;
}

namespace vyr::tools {

class KeyServers {
public:
    KeyServers();
    ~KeyServers();

    // Starts `count` stand-ins on 127.0.0.1; server `down` (counted from 0; -1 for none) is listed
    // like the others but nothing listens on its port, so a connection to it is refused at once.
    // False when a stand-in cannot listen.
    bool Start(int count, int down = -1);
    int Count() const { return (int)ports_.size(); }
    // Writes C:\VYRZKS.conf listing the stand-ins in order (no file without stand-ins).
    bool WriteConfig() const;
    // One line per key server, numbered from 1 in the file's order: its port and what it saw.
    std::string Report() const;

    // Puts the fabric drive behind logical device `device` (Tape0) in key-managed mode.
    static NTSTATUS Encrypt(hk::Process &process, const vyr::sim::Topology &topology, const std::string &device);
    // Sends IOCTL_TPBUS_KEY_REQUEST of `type` to \\.\DEVICE and prints the result block.
    static NTSTATUS KeyRequest(hk::Process &process, const std::string &device, unsigned type, std::string *text);

private:
    std::vector<std::unique_ptr<vyr::keysim::KeyServerStandIn>> servers_; // null for the server that is down
    std::vector<uint16_t> ports_;
    int downSocket_ = -1; // holds the down server's port: bound, never listening
};

} // namespace vyr::tools
