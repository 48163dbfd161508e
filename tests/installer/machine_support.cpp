#include "machine_support.h"

#include "hk/host.h"
#include "machine/machine.h"

namespace vyr::installer::test {

SimMachine::SimMachine(const std::string &sandbox)
{
    vyr::sim::MachineOptions options;
    options.sandbox = sandbox;
    machine_ = new vyr::sim::Machine(options);
}

SimMachine::~SimMachine()
{
    delete (vyr::sim::Machine *)machine_;
}

std::string SimMachine::DriverDir() const
{
    return ((vyr::sim::Machine *)machine_)->DriverDir();
}

void SimMachine::Boot()
{
    ((vyr::sim::Machine *)machine_)->Boot();
}

void SimMachine::Shutdown()
{
    ((vyr::sim::Machine *)machine_)->Shutdown();
}

std::vector<NodeSummary> SimMachine::Nodes() const
{
    std::vector<NodeSummary> out;
    for (const hk::DevNodeInfo &info : hk::DeviceTree())
        out.push_back({info.instanceId, info.service, hk::DevNodeStateName(info.state), info.stack});
    return out;
}

bool RegDword(const std::string &key, const std::string &name, unsigned *value)
{
    ULONG v = 0;
    if (!hk::RegGetDword(key, name, &v))
        return false;
    if (value)
        *value = v;
    return true;
}

} // namespace vyr::installer::test
