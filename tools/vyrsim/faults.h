// Faults from the command line and from scenarios: the `fault` step's syntax, and the harness
// that finds a logical device's paths in the fabric and changes them (injected sense or status,
// partial writes, reservations held elsewhere, pulled and restored cables).
#pragma once

#include "machine/testbed.h"
#include "paths.h"

#include <string>
#include <vector>

namespace vyr::tools {

// `fault DEV[/PATH] KIND [ARGUMENT] [OPTIONS]`, parsed.
struct FaultCommand {
    enum class Action { Add, Pull, Restore, Clear };
    std::string device;  // Tape0
    int path = -1;       // index in the device's paths listing; -1 the drive; -2 the primary path
    Action action = Action::Add;
    FabFaultRequest request{}; // Action::Add: everything but Scope and Index
};

// Words after `fault`, starting at argv[*next]; consumes the command's words (DEV, KIND, its
// argument and the options that belong to it) and leaves *next at the first word after them.
// False with a message for people when the words do not form a fault command.
bool ParseFaultCommand(const std::vector<std::string> &words, size_t *next, FaultCommand *command, std::string *error);

// Whether a word of the command line is where a fault command ends: the fault's own options
// are taken by ParseFaultCommand, anything else belongs to the next step.
bool IsFaultOption(const std::string &word);

// The help text of the fault step.
const char *FaultUsage();

// A fault record's kind, form and contents for people: "sense 2/04/00 once".
std::string DescribeFault(const FabFaultRequest &request);

// A path of the bus's listing that the fabric does not show (any more).
constexpr ULONG kNoFabricPath = 0xFFFFFFFFu;

// Finds where a logical device's paths are in the fabric and changes them.
class FaultHarness {
public:
    struct Target {
        ULONG drive = 0;               // fabric drive index
        std::vector<ULONG> paths;      // fabric path index of each entry of the device's listing, or kNoFabricPath
        int primary = -1;              // index in that listing
        std::string address;           // of the path meant, "port:path:target:lun"
    };

    // Looks up DEV in the bus's listing and the fabric's topology.
    NTSTATUS Resolve(const std::string &device, Target *target, std::string *error);

    // Carries out a parsed command; *done says what happened, for people.
    NTSTATUS Apply(const FaultCommand &command, std::string *done);

    NTSTATUS AddPathFault(ULONG fabricPath, FabFaultRequest request);
    NTSTATUS AddDriveFault(ULONG fabricDrive, FabFaultRequest request);
    NTSTATUS Pull(ULONG fabricPath);
    // Brings back every pulled path of the drive; *restored counts them.
    NTSTATUS RestoreDrive(ULONG fabricDrive, ULONG *restored = nullptr);
    NTSTATUS ClearAll();
    // Faults that fired on a drive's paths and on the drive itself since the topology was built.
    NTSTATUS FaultsFired(ULONG fabricDrive, ULONG *fired);

    vyr::sim::Fabric &Fabric() { return fabric_; }

private:
    vyr::sim::Fabric fabric_;
};

} // namespace vyr::tools
