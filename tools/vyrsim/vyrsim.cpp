// vyrsim: runs a scenario on a simulated Windows host with the real driver images.
//
//   vyrsim [options] [step ...]
//
// Steps run in the order given; `shutdown` is implied at the end. With no steps, the default
// scenario runs.
#include "machine/machine.h"
#include "machine/testbed.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace {

void Usage(FILE *out)
{
    fprintf(out,
            "usage: vyrsim [options] [step ...]\n"
            "\n"
            "Runs a scenario on a simulated Windows host with the driver images of this build.\n"
            "\n"
            "options:\n"
            "  --drives N             tape drives in the SCSI fabric (default 0: no testbed)\n"
            "  --paths N              paths to each drive (default 2)\n"
            "  --ports N              host adapter ports the paths are spread over (default 2)\n"
            "  --seed N               seed of the drives' serial numbers and world-wide names (default 1)\n"
            "  --setting NAME=VALUE   write a bus setting (REG_DWORD) into the service key before boot\n"
            "                         (FailoverDisabled, FailoverEventsEnabled, PersistentNaming)\n"
            "  --sandbox DIR          keep the machine's drives in DIR (default: a temporary folder)\n"
            "  --drivers DIR          where the host driver images are (default: the build's)\n"
            "  --verbose              echo the drivers' debug output\n"
            "  -h, --help             this text\n"
            "\n"
            "steps:\n"
            "  boot       start the host: bus enumerators first, then their devices\n"
            "  events     print the System event log entries written since the last print\n"
            "  devices    print the device tree with each device's driver stack\n"
            "  restart    shut down and boot again with the same registry\n"
            "  shutdown   stop and unload everything (implied at the end)\n"
            "\n"
            "With no steps, the default scenario runs: boot, events, shutdown.\n");
}

std::string FormatTime(LONGLONG time)
{
    // 100 ns units since 1601-01-01.
    const LONGLONG kEpochDelta = 116444736000000000LL;
    time_t seconds = (time_t)((time - kEpochDelta) / 10000000LL);
    int millis = (int)(((time - kEpochDelta) / 10000LL) % 1000);
    struct tm tm;
    gmtime_r(&seconds, &tm);
    char buf[64];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
             tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
    return buf;
}

std::string Trim(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

class Runner {
public:
    Runner(vyr::sim::MachineOptions options, std::map<std::string, ULONG> settings, vyr::sim::Topology topology)
        : machine_(std::move(options)), settings_(std::move(settings)), topology_(topology)
    {
    }

    bool Step(const std::string &step)
    {
        if (step == "boot")
            return Boot();
        if (step == "events")
            return Events();
        if (step == "devices")
            return Devices();
        if (step == "restart") {
            Shutdown();
            return Boot();
        }
        if (step == "shutdown")
            return Shutdown();
        fprintf(stderr, "vyrsim: unknown step '%s' (try --help)\n", step.c_str());
        return false;
    }

    bool Finish()
    {
        if (machine_.Booted()) {
            Shutdown();
            // What the shutdown wrote (the unload entries) is part of the run.
            if (printedAny_)
                Events();
        }
        return true;
    }

private:
    bool Boot()
    {
        if (machine_.Booted()) {
            printf("boot: already running\n");
            return true;
        }
        if (!installed_) {
            machine_.InstallTapeBus();
            if (topology_.drives > 0)
                vyr::sim::InstallTestbed(machine_);
            installed_ = true;
        }
        for (auto &[name, value] : settings_)
            machine_.SetServiceDword("vyrtpbs2k16", name, value);
        machine_.Boot();
        if (topology_.drives > 0) {
            // The fabric forgets its drives at shutdown, as hardware would be re-discovered: build
            // the topology again on every boot.
            vyr::sim::Fabric fabric;
            NTSTATUS status = fabric.Build(topology_);
            if (!NT_SUCCESS(status)) {
                fprintf(stderr, "vyrsim: building the topology failed with 0x%08X\n", (unsigned)status);
                return false;
            }
        }
        size_t started = 0, failed = 0;
        for (const hk::DevNodeInfo &node : hk::DeviceTree()) {
            started += node.state == hk::DevNodeState::Started;
            failed += node.state == hk::DevNodeState::Failed;
        }
        printf("boot: %zu device(s) started, %zu failed; drivers loaded:", started, failed);
        for (const std::string &driver : hk::LoadedDrivers())
            printf(" %s", driver.c_str());
        printf("\n");
        return true;
    }

    bool Shutdown()
    {
        if (!machine_.Booted())
            return true;
        machine_.Shutdown();
        printf("shutdown: all devices removed, all drivers unloaded, verifier found no leaks\n");
        return true;
    }

    bool Events()
    {
        std::vector<hk::EventRecord> log = hk::EventLog();
        printf("System event log (%zu new of %zu):\n", log.size() - std::min(log.size(), printed_), log.size());
        for (size_t i = printed_; i < log.size(); i++) {
            const hk::EventRecord &e = log[i];
            printf("  %s  %-12s  0x%08X  %-13s  %s\n", FormatTime(e.time).c_str(), e.source.c_str(), e.eventId,
                   hk::SeverityName(e.severity), Trim(hk::Utf8(e.text)).c_str());
        }
        printed_ = log.size();
        printedAny_ = true;
        return true;
    }

    bool Devices()
    {
        printf("Device tree:\n");
        for (const hk::DevNodeInfo &node : hk::DeviceTree()) {
            std::string stack;
            for (const std::string &s : node.stack)
                stack += (stack.empty() ? "" : " <- ") + s;
            printf("  %*s%s  [%s]  stack (bottom to top): %s\n", node.depth * 2, "", node.instanceId.c_str(),
                   hk::DevNodeStateName(node.state), stack.c_str());
        }
        if (topology_.drives > 0)
            PrintDrives();
        return true;
    }

    // The physical side: each drive of the fabric with the path stacks that lead to it.
    void PrintDrives()
    {
        vyr::sim::Fabric fabric;
        std::vector<FabDriveEntry> drives;
        std::vector<FabPathEntry> paths;
        if (!NT_SUCCESS(fabric.QueryTopology(&drives, &paths))) {
            printf("Drives: the fabric did not answer (0x%08X)\n", (unsigned)fabric.LastStatus());
            return;
        }
        std::vector<hk::DevNodeInfo> tree = hk::DeviceTree();
        printf("Drives (%zu):\n", drives.size());
        for (const FabDriveEntry &drive : drives) {
            printf("  drive %u  serial %s  product %s  WWNN %016llX\n", drive.Index, drive.szSerialNumber,
                   drive.szProduct, (unsigned long long)drive.Wwnn);
            for (const FabPathEntry &path : paths) {
                if (path.DriveIndex != drive.Index)
                    continue;
                char instance[32];
                snprintf(instance, sizeof instance, "\\%u&%u&%u&%u", path.PortNumber, path.PathId, path.TargetId, path.Lun);
                std::string stack = "(no device node)";
                for (const hk::DevNodeInfo &node : tree) {
                    const std::string &id = node.instanceId;
                    if (id.size() >= strlen(instance) && id.compare(id.size() - strlen(instance), std::string::npos, instance) == 0 &&
                        id.rfind("SCSI\\", 0) == 0) {
                        stack.clear();
                        for (const std::string &s : node.stack)
                            stack += (stack.empty() ? "" : " <- ") + s;
                        stack += std::string("  [") + hk::DevNodeStateName(node.state) + "]";
                    }
                }
                printf("    path %u  %u:%u:%u:%u  port WWPN %s%s  %s\n", path.Index, path.PortNumber, path.PathId,
                       path.TargetId, path.Lun, path.szInitiatorWwpn, path.fPulled ? "  pulled" : "", stack.c_str());
            }
        }
    }

    vyr::sim::Machine machine_;
    std::map<std::string, ULONG> settings_;
    vyr::sim::Topology topology_;
    bool installed_ = false;
    size_t printed_ = 0;
    bool printedAny_ = false;
};

} // namespace

int main(int argc, char **argv)
{
    vyr::sim::MachineOptions options;
    vyr::sim::Topology topology;
    std::map<std::string, ULONG> settings;
    std::vector<std::string> steps;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        auto value = [&](const char *what) -> std::string {
            if (i + 1 >= argc) {
                fprintf(stderr, "vyrsim: %s needs a value\n", what);
                exit(2);
            }
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            Usage(stdout);
            return 0;
        } else if (arg == "--drives" || arg == "--paths" || arg == "--ports" || arg == "--seed") {
            std::string text = value(arg.c_str());
            char *end = nullptr;
            unsigned long v = strtoul(text.c_str(), &end, 0);
            unsigned long limit = arg == "--drives" ? 16 : arg == "--paths" ? 8 : arg == "--ports" ? 8 : 1000000;
            if (text.empty() || *end || v > limit || (arg != "--drives" && arg != "--seed" && v == 0)) {
                fprintf(stderr, "vyrsim: %s wants a number up to %lu, got '%s'\n", arg.c_str(), limit, text.c_str());
                return 2;
            }
            if (arg == "--drives")
                topology.drives = (int)v;
            else if (arg == "--paths")
                topology.pathsPerDrive = (int)v;
            else if (arg == "--ports")
                topology.ports = (int)v;
            else
                topology.seed = (uint32_t)v;
        } else if (arg == "--setting") {
            std::string s = value("--setting");
            size_t eq = s.find('=');
            char *end = nullptr;
            unsigned long v = eq == std::string::npos ? 0 : strtoul(s.c_str() + eq + 1, &end, 0);
            if (eq == std::string::npos || eq == 0 || !end || *end || end == s.c_str() + eq + 1) {
                fprintf(stderr, "vyrsim: --setting wants NAME=VALUE with a number, got '%s'\n", s.c_str());
                return 2;
            }
            settings[s.substr(0, eq)] = (ULONG)v;
        } else if (arg == "--sandbox") {
            options.sandbox = value("--sandbox");
            options.keepSandbox = true;
        } else if (arg == "--drivers") {
            options.driverDir = value("--drivers");
        } else if (arg == "--verbose") {
            hk::SetDebugEcho(true);
        } else if (!arg.empty() && arg[0] == '-') {
            fprintf(stderr, "vyrsim: unknown option '%s' (try --help)\n", arg.c_str());
            return 2;
        } else {
            steps.push_back(arg);
        }
    }
    if (steps.empty()) {
        printf("vyrsim: default scenario -- boot the host with the tape bus enumerator, show the event log, "
               "shut down\n");
        steps = {"boot", "events", "shutdown", "events"};
    }
    try {
        Runner runner(options, settings, topology);
        for (const std::string &step : steps)
            if (!runner.Step(step))
                return 2;
        runner.Finish();
    } catch (const std::exception &e) {
        fprintf(stderr, "vyrsim: %s\n", e.what());
        return 1;
    }
    return 0;
}
