// vyrsim: runs a scenario on a simulated Windows host with the real driver images.
//
//   vyrsim [options] [step ...]
//
// Steps run in the order given; `shutdown` is implied at the end. With no steps, the default
// scenario runs.
#include "machine/machine.h"
#include "machine/testbed.h"
#include "backup.h"
#include "changers.h"
#include "faults.h"
#include "install.h"
#include "keyservers.h"
#include "paths.h"
#include "soak.h"
#include "tapeapp.h"
#include "winscen.h"

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
            "  --paths N              paths to each drive and each changer (default 2)\n"
            "  --changers N           medium changers in the fabric (default 0), each with 8 slots (cartridges\n"
            "                         in slots 0-3), a portal and two drive elements: changer C's drive\n"
            "                         element E is tape drive 2C+E, which then starts without a cartridge\n"
            "  --ports N              host adapter ports the paths are spread over (default 2)\n"
            "  --seed N               seed of the drives' serial numbers and world-wide names (default 1)\n"
            "  --blocks N             blocks per write or read step (default 64)\n"
            "  --block-size N         bytes per block (default 65536)\n"
            "  --soak-seeds LIST      seeds of the soak step, e.g. 1,2,10-20 (default 11,23,37)\n"
            "  --soak-ops N           operations per soak seed (default 400)\n"
            "  --soak-trace           print every operation of the soak\n"
            "  --soak-no-reservations leave reservations out of the soak\n"
            "  --setting NAME=VALUE   write a bus setting (REG_DWORD) into the service key before boot\n"
            "                         (FailoverDisabled, FailoverEventsEnabled, PersistentNaming)\n"
            "  --sandbox DIR          keep the machine's drives in DIR (default: a temporary folder)\n"
            "  --drivers DIR          where the host driver images are (default: the build's)\n"
            "  --verbose              echo the drivers' debug output\n"
            "  --keyservers N         start N key server stand-ins on 127.0.0.1 and list them in\n"
            "                         C:\\VYRZKS.conf on the simulated system drive\n"
            "  --encrypted DEV        put the drive behind DEV (e.g. Tape0) in key-managed mode at boot\n"
            "  --keyserver-down K     list key server K (1 to N) in C:\\VYRZKS.conf but leave it down:\n"
            "                         its port refuses connections, and the relay turns to the next one\n"
            "  -h, --help             this text\n"
            "\n"
            "steps:\n"
            "  install [OPTION...]    run the installer library on the simulated host with the package\n"
            "             laid out in C:\\install (options as the installer takes them: -s, -v:3, -t, ...);\n"
            "             before boot it puts the drivers in place instead of vyrsim\n"
            "  uninstall [OPTION...]  run the installer library's uninstall (-s, -v:2, -r:N, ...)\n"
            "  boot       start the host: bus enumerators first, then their devices\n"
            "  events     print the System event log entries written since the last print\n"
            "  devices    print the device tree with each device's driver stack\n"
            "  paths      print the logical devices and their paths (the bus's path query)\n"
            "  write DEV  write --blocks blocks of --block-size bytes to DEV (e.g. Tape0)\n"
            "  read DEV   read --blocks blocks from DEV\n"
            "  rewind DEV rewind the tape in DEV\n"
            "  filemark DEV  write a filemark on DEV\n"
            "  verify DEV rewind DEV and read back everything written to it, byte for byte, and\n"
            "             count lost, duplicated, unaccounted and reordered blocks\n"
            "  backup DEV the demonstration backup: files of records with a filemark after each, while\n"
            "             faults strike the primary path (a partial write, a not-ready sense, a pulled\n"
            "             cable under a write)\n"
            "  summary DEV   bytes written and verified, failovers, retries, lost and duplicated blocks\n"
            "  pull DEV/PATH   pull the cable of a path (PATH counts from 0 in the paths listing)\n"
            "  stop DEV/PATH   stop a path's device (Plug and Play stop)\n"
            "  start DEV/PATH  start a stopped path's device again\n"
            "%s"
            "  soak       the fault-injection soak on every logical device (see --soak-*)\n"
            "  move CHANGER FROM TO  move a cartridge through \\\\.\\CHANGER (e.g. Changer0): FROM and TO are\n"
            "             elements, slotN, driveN, portalN or element addresses (0x1000); a cartridge moved\n"
            "             into a drive is loaded into the tape drive behind it, which is then asked until\n"
            "             it is ready\n"
            "  changer CHANGER  list the changer's elements, their cartridges and the tape devices behind\n"
            "             its drive elements\n"
            "  winscen    the scenario of the Win32 program vyrwinscen.exe (run under Wine by the wine\n"
            "             tests) on this host: writes with a failing path, verify, a changer move\n"
            "  keyreq DEV TYPE  send the key request control to DEV and print its result block (TYPE 1:\n"
            "             probe the key servers, 2: key-path check, 3: key exchange)\n"
            "  restart    shut down and boot again with the same registry\n"
            "  shutdown   stop and unload everything (implied at the end)\n"
            "\n"
            "With no steps, the default scenario runs: two drives with two paths each and a changer with\n"
            "two paths; the changer loads a cartridge into the drive behind Tape0 while its primary path\n"
            "times out (the move completes on the other path); the backup on\n"
            "Tape0 while faults strike its primary path; a verify; the paths, the event log and the\n"
            "summary. It exits with 0 only when the backup verified.\n"
            "\n"
            "Exit status: 0 success, 1 a verify or the soak failed, 2 bad command line or a step failed.\n",
            vyr::tools::FaultUsage());
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

// Steps that name a device or a path take the next word as their argument.
bool StepTakesArgument(const std::string &step)
{
    static const char *kWithArgument[] = {"write", "read", "rewind", "verify", "pull", "stop", "start", "filemark",
                                          "backup", "summary", "changer"};
    for (const char *name : kWithArgument)
        if (step == name)
            return true;
    return false;
}

struct IoOptions {
    uint32_t blocks = 64;
    uint32_t blockSize = 65536;
    vyr::tools::SoakOptions soak;
};

// One step of the command line: its name, its argument (a device or path), and for `fault` the
// parsed command.
struct StepCall {
    std::string name;
    std::string argument;
    vyr::tools::FaultCommand fault;
    std::vector<std::string> words; // install, uninstall: the installer's option words; move: the changer
    vyr::tools::ChangerElement from, to; // move
};

class Runner {
public:
    Runner(vyr::sim::MachineOptions options, std::map<std::string, ULONG> settings, vyr::sim::Topology topology,
           IoOptions io)
        : machine_(std::move(options)), settings_(std::move(settings)), topology_(topology), io_(io)
    {
    }

    bool Step(const StepCall &call)
    {
        const std::string &step = call.name;
        const std::string &argument = call.argument;
        if ((StepTakesArgument(step) || step == "fault" || step == "soak" || step == "keyreq" || step == "move") &&
            !machine_.Booted()) {
            fprintf(stderr, "vyrsim: %s %s: the host is not running (boot first)\n", step.c_str(), argument.c_str());
            return false;
        }
        if (step == "paths")
            return Paths();
        if (step == "write" || step == "read" || step == "rewind" || step == "verify" || step == "filemark")
            return Io(step, argument);
        if (step == "fault")
            return Fault(call);
        if (step == "backup")
            return Backup(argument);
        if (step == "keyreq")
            return KeyReq(argument);
        if (step == "move" || step == "changer")
            return Changer(call);
        if (step == "summary")
            return Summary(argument);
        if (step == "winscen") {
            if (!machine_.Booted()) {
                fprintf(stderr, "vyrsim: winscen: the host is not running (boot first)\n");
                return false;
            }
            int result = vyr::tools::RunWinScen(topology_, stdout);
            verifyFailed_ |= result == 1;
            return result != 2;
        }
        if (step == "soak") {
            soakFailed_ |= !vyr::tools::RunSoak(io_.soak, stdout);
            return true;
        }
        if (step == "pull" || step == "stop" || step == "start")
            return PathControl(step, argument);
        if (step == "boot")
            return Boot();
        if (step == "install" || step == "uninstall")
            return Installer(call);
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
            // Without an `install` step first, the bus is put in place as an installation would.
            if (!installedByInstaller_)
                machine_.InstallTapeBus();
            if (topology_.drives > 0 || topology_.changers > 0) {
                vyr::sim::InstallTestbed(machine_);
                vyr::sim::InstallPathFilter(machine_);
            }
            if (topology_.changers > 0)
                vyr::tools::InstallChangers(machine_, installedByInstaller_);
            installed_ = true;
        }
        for (auto &[name, value] : settings_) {
            machine_.SetServiceDword("vyrtpbs2k16", name, value);
            // The changer bus reads the same settings from its own key.
            if (topology_.changers > 0)
                machine_.SetServiceDword("vyrcgbs2k16", name, value);
        }
        machine_.Boot();
        if (topology_.drives > 0 || topology_.changers > 0) {
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
        return KeySetup();
    }

    // After each boot: the key servers' list on the system drive and the key-managed drives.
    bool KeySetup()
    {
        if (keyServers_.Count() && !keyServers_.WriteConfig()) {
            fprintf(stderr, "vyrsim: writing C:\\VYRZKS.conf failed\n");
            return false;
        }
        if (keyServers_.Count())
            printf("key servers: %d stand-in(s) listed in C:\\VYRZKS.conf\n", keyServers_.Count());
        for (const std::string &device : encrypted_) {
            auto process = hk::Process::Create("vyrsim-keys");
            NTSTATUS status = vyr::tools::KeyServers::Encrypt(*process, topology_, device);
            printf("encrypted %s: key-managed drive: %s\n", device.c_str(), vyr::tools::StatusText(status).c_str());
        }
        return true;
    }

    // `move CHANGER FROM TO` and `changer CHANGER`.
    bool Changer(const StepCall &call)
    {
        if (call.name == "changer")
            vyr::tools::PrintChanger(topology_, call.argument, stdout);
        else
            vyr::tools::MoveCartridge(topology_, call.words[0], call.from, call.to, stdout);
        return true; // a failed move is a result of the scenario
    }

    bool KeyReq(const std::string &argument)
    {
        size_t space = argument.find(' ');
        std::string device = argument.substr(0, space);
        unsigned type = (unsigned)strtoul(argument.substr(space + 1).c_str(), nullptr, 0);
        auto process = hk::Process::Create("vyrsim-keys");
        std::string text;
        NTSTATUS status = vyr::tools::KeyServers::KeyRequest(*process, device, type, &text);
        printf("keyreq %s: %s\n%s\n", argument.c_str(), vyr::tools::StatusText(status).c_str(), text.c_str());
        printf("%s", keyServers_.Report().c_str());
        return true; // a failed request is a result of the scenario
    }

public:
    bool StartKeyServers(int count, int down, std::vector<std::string> encrypted)
    {
        encrypted_ = std::move(encrypted);
        if (!keyServers_.Start(count, down - 1)) {
            fprintf(stderr, "vyrsim: a key server stand-in cannot listen on 127.0.0.1\n");
            return false;
        }
        return true;
    }

private:

    bool Installer(const StepCall &call)
    {
        const bool install = call.name == "install";
        std::string shown;
        for (const std::string &w : call.words)
            shown += " " + w;
        printf("%s%s: the installer library on the simulated host, package in C:\\install\n", call.name.c_str(),
               shown.c_str());
        int result = vyr::tools::RunInstaller(install, call.words, machine_.Sandbox(), machine_.DriverDir(),
                                              VYR_PACKAGE_DIR);
        printf("%s: returned %d\n", call.name.c_str(), result);
        if (install && result == 0)
            installedByInstaller_ = true;
        return result == 0;
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

    // The bus's listing as an application gets it; complains and returns false when it fails.
    static bool QueryPaths(std::vector<vyr::tools::LogicalDeviceView> *devices)
    {
        auto process = hk::Process::Create("vyrsim-paths");
        NTSTATUS status = vyr::tools::QueryLogicalDevices(*process, devices);
        // The changers after the tapes, from their own bus.
        if (NT_SUCCESS(status))
            status = vyr::tools::AppendChangerDevices(*process, devices);
        if (!NT_SUCCESS(status))
            fprintf(stderr, "vyrsim: the path query failed with %s\n", vyr::tools::StatusText(status).c_str());
        return NT_SUCCESS(status);
    }

    bool Paths()
    {
        std::vector<vyr::tools::LogicalDeviceView> devices;
        if (!QueryPaths(&devices))
            return false;
        fputs(vyr::tools::FormatLogicalDevices(devices).c_str(), stdout);
        return true;
    }

    bool Io(const std::string &step, const std::string &device)
    {
        vyr::tools::IoResult r;
        if (step == "write")
            r = app_.Write(device, io_.blocks, io_.blockSize);
        else if (step == "read")
            r = app_.Read(device, io_.blocks, io_.blockSize);
        else if (step == "rewind")
            r = app_.Rewind(device);
        else if (step == "filemark")
            r = app_.WriteFilemarks(device, 1);
        else
            r = app_.Verify(device, &checks_[device]);
        if (step == "rewind" || step == "filemark") {
            printf("rewind %s: %s\n", device.c_str(), vyr::tools::StatusText(r.status).c_str());
        } else if (step == "verify") {
            const vyr::tools::LedgerCheck &c = checks_[device];
            printf("verify %s: %llu of %llu blocks read back (%llu bytes), %llu differ: %s\n", device.c_str(),
                   (unsigned long long)c.blocksRead, (unsigned long long)c.expectedBlocks, (unsigned long long)r.bytes,
                   (unsigned long long)r.mismatches, c.verified ? "verified" : "FAILED");
            printf("  %llu of %llu filemarks; %llu lost, %llu duplicated, %llu unaccounted, %llu out of order, "
                   "%llu corrupted\n",
                   (unsigned long long)c.marksRead, (unsigned long long)c.expectedMarks, (unsigned long long)c.lost,
                   (unsigned long long)c.duplicated, (unsigned long long)c.unaccounted,
                   (unsigned long long)c.outOfOrder, (unsigned long long)c.corrupted);
        } else {
            printf("%s %s: %llu blocks, %llu bytes: %s\n", step.c_str(), device.c_str(), (unsigned long long)r.requests,
                   (unsigned long long)r.bytes, vyr::tools::StatusText(r.status).c_str());
        }
        if (!r.detail.empty())
            printf("  %s\n", r.detail.c_str());
        // What the key servers saw: a key-managed drive's write goes through them first.
        if (step == "write" && keyServers_.Count())
            printf("%s", keyServers_.Report().c_str());
        if (step == "verify")
            verifyFailed_ |= !checks_[device].verified;
        return true; // a failed request is a result of the scenario, not a reason to stop it
    }

    bool Fault(const StepCall &call)
    {
        vyr::tools::FaultHarness harness;
        std::string done;
        NTSTATUS status = harness.Apply(call.fault, &done);
        printf("fault %s: %s: %s\n", call.argument.c_str(), done.c_str(), vyr::tools::StatusText(status).c_str());
        if (!NT_SUCCESS(status))
            fprintf(stderr, "vyrsim: fault %s failed with %s\n", call.argument.c_str(), vyr::tools::StatusText(status).c_str());
        return NT_SUCCESS(status);
    }

    bool Backup(const std::string &device)
    {
        vyr::tools::FaultHarness harness;
        vyr::tools::BackupPlan plan;
        backups_[device] = vyr::tools::RunBackup(app_, harness, device, plan, stdout);
        return true; // the verify and the summary judge it
    }

    // What the run did to DEV and what it cost: from the backup, the verify, the fabric's fault
    // counters and the event log.
    bool Summary(const std::string &device)
    {
        uint64_t attempts = 0, primaryChanges = 0;
        for (const hk::EventRecord &e : hk::EventLog()) {
            attempts += e.eventId == 0x80000004u;
            primaryChanges += e.eventId == 0x40000006u;
        }
        ULONG fired = 0;
        vyr::tools::FaultHarness harness;
        vyr::tools::FaultHarness::Target target;
        std::string error;
        if (NT_SUCCESS(harness.Resolve(device, &target, &error)))
            harness.FaultsFired(target.drive, &fired);
        const vyr::tools::BackupReport &b = backups_[device];
        auto check = checks_.find(device);
        const bool checked = check != checks_.end();
        const vyr::tools::LedgerCheck c = checked ? check->second : vyr::tools::LedgerCheck{};
        printf("Summary for %s:\n", device.c_str());
        printf("  bytes written            %llu (%llu records, %llu filemarks)\n", (unsigned long long)b.bytes,
               (unsigned long long)b.records, (unsigned long long)b.filemarks);
        printf("  bytes verified           %llu\n", (unsigned long long)c.bytesVerified);
        printf("  faults injected          %u (%lu fired)\n", b.faultsInjected, (unsigned long)fired);
        printf("  failover attempts        %llu (received status ... on IOCTL ... events, all devices)\n",
               (unsigned long long)attempts);
        printf("  primary path changes     %llu\n", (unsigned long long)primaryChanges);
        printf("  retries                  %lu (commands that met a fault and were sent again)\n", (unsigned long)fired);
        printf("  lost blocks              %llu\n", (unsigned long long)c.lost);
        printf("  duplicated blocks        %llu\n", (unsigned long long)c.duplicated);
        printf("  unaccounted blocks       %llu\n", (unsigned long long)c.unaccounted);
        printf("  out-of-order blocks      %llu\n", (unsigned long long)c.outOfOrder);
        const bool passed = checked && c.verified && NT_SUCCESS(b.status);
        printf("  result                   %s\n", passed ? "VERIFIED" : checked ? "FAILED" : "FAILED (not verified)");
        verifyFailed_ |= !passed;
        return true;
    }

    // DEV/PATH -> the path's SCSI address, from the bus's own listing.
    bool FindPath(const std::string &reference, vyr::tools::PathView *path)
    {
        std::string device;
        int index = 0;
        if (!vyr::tools::ParsePathReference(reference, &device, &index)) {
            fprintf(stderr, "vyrsim: '%s' is not DEV/PATH (for example Tape0/1)\n", reference.c_str());
            return false;
        }
        std::vector<vyr::tools::LogicalDeviceView> devices;
        if (!QueryPaths(&devices))
            return false;
        for (const auto &d : devices) {
            if (d.name != device)
                continue;
            if (index >= (int)d.paths.size()) {
                fprintf(stderr, "vyrsim: %s has %zu path(s); there is no path %d\n", device.c_str(), d.paths.size(), index);
                return false;
            }
            *path = d.paths[index];
            return true;
        }
        fprintf(stderr, "vyrsim: no logical device named %s\n", device.c_str());
        return false;
    }

    bool PathControl(const std::string &step, const std::string &reference)
    {
        vyr::tools::PathView path;
        if (!FindPath(reference, &path))
            return false;
        char address[32];
        snprintf(address, sizeof address, "%u:%u:%u:%u", path.port, path.pathId, path.target, path.lun);
        NTSTATUS status = STATUS_NOT_FOUND;
        if (step == "pull") {
            vyr::sim::Fabric fabric;
            std::vector<FabPathEntry> paths;
            status = fabric.QueryTopology(nullptr, &paths);
            if (NT_SUCCESS(status)) {
                status = STATUS_NOT_FOUND;
                for (const FabPathEntry &p : paths)
                    if (p.PortNumber == path.port && p.PathId == path.pathId && p.TargetId == path.target &&
                        p.Lun == path.lun && !p.fPulled)
                        status = fabric.PullPath(p.Index);
            }
        } else {
            char suffix[32];
            snprintf(suffix, sizeof suffix, "\\%u&%u&%u&%u", path.port, path.pathId, path.target, path.lun);
            for (const hk::DevNodeInfo &node : hk::DeviceTree()) {
                const std::string &id = node.instanceId;
                if (id.rfind("SCSI\\", 0) != 0 || id.size() < strlen(suffix) ||
                    id.compare(id.size() - strlen(suffix), std::string::npos, suffix) != 0)
                    continue;
                status = step == "stop" ? hk::StopDevice(node.node) : hk::StartDevice(node.node);
            }
        }
        hk::WaitPnpIdle();
        printf("%s %s (%s): %s\n", step.c_str(), reference.c_str(), address, vyr::tools::StatusText(status).c_str());
        return true;
    }

public:
    bool VerifyFailed() const { return verifyFailed_ || soakFailed_; }

private:
    vyr::sim::Machine machine_;
    std::map<std::string, ULONG> settings_;
    vyr::sim::Topology topology_;
    IoOptions io_;
    vyr::tools::TapeApplication app_;
    std::map<std::string, vyr::tools::LedgerCheck> checks_;
    std::map<std::string, vyr::tools::BackupReport> backups_;
    bool verifyFailed_ = false;
    bool soakFailed_ = false;
    bool installed_ = false;
    bool installedByInstaller_ = false;
    vyr::tools::KeyServers keyServers_;
    std::vector<std::string> encrypted_;
    size_t printed_ = 0;
    bool printedAny_ = false;
};

} // namespace

int main(int argc, char **argv)
{
    vyr::sim::MachineOptions options;
    vyr::sim::Topology topology;
    std::map<std::string, ULONG> settings;
    IoOptions io;
    std::vector<StepCall> steps;
    bool drivesGiven = false;
    int keyServerCount = 0;
    int keyServerDown = 0;
    std::vector<std::string> encrypted;
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
        } else if (arg == "--drives" || arg == "--paths" || arg == "--ports" || arg == "--seed" || arg == "--changers") {
            std::string text = value(arg.c_str());
            char *end = nullptr;
            unsigned long v = strtoul(text.c_str(), &end, 0);
            unsigned long limit = arg == "--drives" ? 16 : arg == "--paths" ? 8 : arg == "--ports" ? 8
                                  : arg == "--changers" ? 4 : 1000000;
            if (text.empty() || *end || v > limit ||
                (arg != "--drives" && arg != "--seed" && arg != "--changers" && v == 0)) {
                fprintf(stderr, "vyrsim: %s wants a number up to %lu, got '%s'\n", arg.c_str(), limit, text.c_str());
                return 2;
            }
            if (arg == "--drives") {
                topology.drives = (int)v;
                drivesGiven = true;
            }
            else if (arg == "--paths")
                topology.pathsPerDrive = topology.pathsPerChanger = (int)v;
            else if (arg == "--changers") {
                topology.changers = (int)v;
                // Drives behind a changer hold what the changer loads into them.
                topology.linkedDrivesEmpty = true;
            }
            else if (arg == "--ports")
                topology.ports = (int)v;
            else
                topology.seed = (uint32_t)v;
        } else if (arg == "--blocks" || arg == "--block-size") {
            std::string text = value(arg.c_str());
            char *end = nullptr;
            unsigned long v = strtoul(text.c_str(), &end, 0);
            unsigned long limit = arg == "--blocks" ? 1000000 : 16u << 20;
            if (text.empty() || *end || v == 0 || v > limit) {
                fprintf(stderr, "vyrsim: %s wants a number from 1 to %lu, got '%s'\n", arg.c_str(), limit, text.c_str());
                return 2;
            }
            (arg == "--blocks" ? io.blocks : io.blockSize) = (uint32_t)v;
        } else if (arg == "--soak-seeds") {
            std::string text = value("--soak-seeds");
            if (!vyr::tools::ParseSeedList(text, &io.soak.seeds)) {
                fprintf(stderr, "vyrsim: --soak-seeds wants numbers and ranges such as 1,2,10-20, got '%s'\n", text.c_str());
                return 2;
            }
        } else if (arg == "--soak-ops") {
            std::string text = value("--soak-ops");
            char *end = nullptr;
            unsigned long v = strtoul(text.c_str(), &end, 0);
            if (text.empty() || *end || v == 0 || v > 100000000) {
                fprintf(stderr, "vyrsim: --soak-ops wants a number from 1 to 100000000, got '%s'\n", text.c_str());
                return 2;
            }
            io.soak.operations = (uint32_t)v;
        } else if (arg == "--soak-trace") {
            io.soak.trace = true;
        } else if (arg == "--soak-no-reservations") {
            io.soak.reservations = false;
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
        } else if (arg == "--keyservers") {
            std::string text = value("--keyservers");
            char *end = nullptr;
            unsigned long v = strtoul(text.c_str(), &end, 0);
            if (text.empty() || *end || v > 16) {
                fprintf(stderr, "vyrsim: --keyservers wants a number up to 16, got '%s'\n", text.c_str());
                return 2;
            }
            keyServerCount = (int)v;
        } else if (arg == "--keyserver-down") {
            std::string text = value("--keyserver-down");
            char *end = nullptr;
            unsigned long v = strtoul(text.c_str(), &end, 0);
            if (text.empty() || *end || v == 0 || v > 16) {
                fprintf(stderr, "vyrsim: --keyserver-down wants a key server's number from 1, got '%s'\n", text.c_str());
                return 2;
            }
            keyServerDown = (int)v;
        } else if (arg == "--encrypted") {
            encrypted.push_back(value("--encrypted"));
        } else if (arg == "keyreq") {
            if (i + 2 >= argc) {
                fprintf(stderr, "vyrsim: step 'keyreq' needs a device and a type (try --help)\n");
                return 2;
            }
            std::string device = argv[i + 1], type = argv[i + 2];
            i += 2;
            steps.push_back({"keyreq", device + " " + type, {}, {}});
        } else if (arg == "move") {
            if (i + 3 >= argc) {
                fprintf(stderr, "vyrsim: step 'move' needs a changer and two elements (try --help)\n");
                return 2;
            }
            StepCall call{arg, std::string(argv[i + 1]) + " " + argv[i + 2] + " " + argv[i + 3], {}, {argv[i + 1]}};
            std::string error;
            if (!vyr::tools::ParseChangerElement(argv[i + 2], &call.from, &error) ||
                !vyr::tools::ParseChangerElement(argv[i + 3], &call.to, &error)) {
                fprintf(stderr, "vyrsim: move: %s\n", error.c_str());
                return 2;
            }
            i += 3;
            steps.push_back(call);
        } else if (arg == "install" || arg == "uninstall") {
            // The option words that follow are the installer's (-s, -v:3, /S, -r:30, ...).
            StepCall call{arg, {}, {}, {}};
            while (i + 1 < argc && (argv[i + 1][0] == '-' || argv[i + 1][0] == '/'))
                call.words.push_back(argv[++i]);
            steps.push_back(call);
        } else if (!arg.empty() && arg[0] == '-') {
            fprintf(stderr, "vyrsim: unknown option '%s' (try --help)\n", arg.c_str());
            return 2;
        } else if (StepTakesArgument(arg)) {
            if (i + 1 >= argc) {
                fprintf(stderr, "vyrsim: step '%s' needs an argument (try --help)\n", arg.c_str());
                return 2;
            }
            steps.push_back({arg, argv[++i], {}, {}});
        } else if (arg == "fault") {
            std::vector<std::string> words(argv + i + 1, argv + argc);
            size_t next = 0;
            StepCall call{arg, {}, {}, {}};
            std::string error;
            if (!vyr::tools::ParseFaultCommand(words, &next, &call.fault, &error)) {
                fprintf(stderr, "vyrsim: %s\n", error.c_str());
                return 2;
            }
            for (size_t k = 0; k < next; k++)
                call.argument += (k ? " " : "") + words[k];
            i += (int)next;
            steps.push_back(call);
        } else {
            steps.push_back({arg, std::string(), {}, {}});
        }
    }
    if (steps.empty()) {
        printf("vyrsim: default scenario -- two drives and a changer with two paths each; the changer loads "
               "Tape0's cartridge while its primary path fails; a backup on Tape0 while faults strike its primary "
               "path; read back and verified\n");
        if (!drivesGiven) {
            topology.drives = 2;
            topology.pathsPerDrive = 2;
        }
        settings.try_emplace("FailoverEventsEnabled", 1);
        // Tape1 manages its keys through the host: its first write waits for a key server.
        if (!keyServerCount && encrypted.empty()) {
            keyServerCount = 1;
            encrypted.push_back("Tape1");
        }
        // A library with one drive, the one behind Tape0, which starts empty: before the backup the
        // changer loads a cartridge into it while its primary path times out under the move.
        if (!topology.changers) {
            topology.changers = 1;
            topology.pathsPerChanger = 2;
            topology.changerDrives = 1;
            topology.linkedDrivesEmpty = true;
        }
        StepCall changerFault{"fault", "Changer0/primary status 0xC00000B5 --opcode 0xA5", {}, {}};
        std::vector<std::string> faultWords = {"Changer0/primary", "status", "0xC00000B5", "--opcode", "0xA5"};
        size_t faultNext = 0;
        std::string faultError;
        vyr::tools::ParseFaultCommand(faultWords, &faultNext, &changerFault.fault, &faultError);
        StepCall load{"move", "Changer0 slot0 drive0", {}, {"Changer0"}};
        vyr::tools::ParseChangerElement("slot0", &load.from, &faultError);
        vyr::tools::ParseChangerElement("drive0", &load.to, &faultError);
        steps = {{"install", "", {}, {"-s"}}, {"boot", "", {}},       {"paths", "", {}},          changerFault, load, {"backup", "Tape0", {}}, {"paths", "", {}},
                 {"verify", "Tape0", {}}, {"write", "Tape1", {}},    {"keyreq", "Tape1 1", {}}, {"events", "", {}},
                 {"summary", "Tape0", {}}, {"shutdown", "", {}}, {"events", "", {}}};
    }
    try {
        Runner runner(options, settings, topology, io);
        if (keyServerDown > keyServerCount) {
            fprintf(stderr, "vyrsim: --keyserver-down %d: only %d key server(s) (see --keyservers)\n", keyServerDown,
                    keyServerCount);
            return 2;
        }
        if (!runner.StartKeyServers(keyServerCount, keyServerDown, encrypted))
            return 2;
        for (const StepCall &call : steps)
            if (!runner.Step(call))
                return 2;
        runner.Finish();
        if (runner.VerifyFailed())
            return 1;
    } catch (const std::exception &e) {
        fprintf(stderr, "vyrsim: %s\n", e.what());
        return 1;
    }
    return 0;
}
