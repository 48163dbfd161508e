// The simulated machine as the installer tests see it. The installer's sources see Win32 names and
// the host kernel's headers see kernel names; this header keeps the two apart.
#pragma once

#include <string>
#include <vector>

namespace vyr::installer::test {

struct NodeSummary {
    std::string instanceId;
    std::string service;
    std::string state;
    std::vector<std::string> stack;
};

class SimMachine {
public:
    explicit SimMachine(const std::string &sandbox);
    ~SimMachine();
    SimMachine(const SimMachine &) = delete;
    SimMachine &operator=(const SimMachine &) = delete;

    std::string DriverDir() const;
    void Boot();
    void Shutdown();
    std::vector<NodeSummary> Nodes() const;

private:
    void *machine_;
};

bool RegDword(const std::string &key, const std::string &name, unsigned *value);

} // namespace vyr::installer::test
