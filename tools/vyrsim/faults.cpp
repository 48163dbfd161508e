#include "faults.h"

#include "changers.h"

#include "tapeapp.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vyr::tools {

namespace {

constexpr UCHAR kOpWrite6 = 0x0A;

bool Number(const std::string &text, unsigned long long limit, unsigned long long *value)
{
    if (text.empty() || text[0] == '-')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (errno || *end || v > limit)
        return false;
    *value = v;
    return true;
}

// KEY/ASC/ASCQ in hexadecimal, "2/4/0" or "0x2/0x04/0x00".
bool SenseTriple(const std::string &text, UCHAR *key, UCHAR *asc, UCHAR *ascq)
{
    unsigned long parts[3];
    const char *p = text.c_str();
    for (int i = 0; i < 3; i++) {
        char *end = nullptr;
        if (!isxdigit((unsigned char)*p))
            return false;
        parts[i] = strtoul(p, &end, 16);
        if (end == p || parts[i] > 255 || (i < 2 && *end != '/') || (i == 2 && *end))
            return false;
        p = end + 1;
    }
    if (parts[0] > 15)
        return false;
    *key = (UCHAR)parts[0];
    *asc = (UCHAR)parts[1];
    *ascq = (UCHAR)parts[2];
    return true;
}

bool ParseStatus(const std::string &text, NTSTATUS *status)
{
    unsigned long long v = 0;
    if (!Number(text, 0xFFFFFFFFull, &v) || !NT_ERROR((NTSTATUS)(ULONG)v))
        return false;
    *status = (NTSTATUS)(ULONG)v;
    return true;
}

std::string Trimmed(const std::string &s)
{
    size_t n = s.size();
    while (n && (s[n - 1] == ' ' || s[n - 1] == 0))
        n--;
    return s.substr(0, n);
}

} // namespace

const char *FaultUsage()
{
    return "  fault DEV[/PATH] KIND [ARG] [OPTIONS]\n"
           "             inject a testbed fault on a path of DEV (PATH: its index in the paths listing,\n"
           "             or 'primary'), or on the drive behind DEV when /PATH is left out. KIND:\n"
           "               sense K/ASC/ASCQ   CHECK CONDITION with this sense (hexadecimal), e.g. 2/4/0\n"
           "               status STATUS      the command never reaches the drive; it fails with STATUS,\n"
           "                                  e.g. 0xC000009D\n"
           "               write-after N      a WRITE(6) of which only the first N blocks reach the tape,\n"
           "                                  then fails with sense 4/44/0 (or --sense, --status)\n"
           "               reservation        another initiator holds a reservation while the command runs\n"
           "               pull               pull the path's cable (needs /PATH)\n"
           "               restore            bring back every pulled path of DEV's drive (no /PATH)\n"
           "               clear              remove the fault rules of the path or the drive\n"
           "             OPTIONS: --once (the default), --every N, --always (until cleared),\n"
           "               --random N [--random-seed S] (each command with a chance of 1 in N),\n"
           "               --opcode OP (only commands with this operation code), --flags F (sense\n"
           "               flags: 0x80 filemark, 0x40 end of medium, 0x20 incorrect length),\n"
           "               --sense K/ASC/ASCQ and --status STATUS (write-after: how it fails)\n";
}

bool IsFaultOption(const std::string &word)
{
    static const char *kOptions[] = {"--once", "--every", "--always", "--random", "--random-seed",
                                     "--opcode", "--flags", "--sense", "--status"};
    for (const char *o : kOptions)
        if (word == o)
            return true;
    return false;
}

bool ParseFaultCommand(const std::vector<std::string> &words, size_t *next, FaultCommand *command, std::string *error)
{
    size_t i = *next;
    auto take = [&](std::string *word) {
        if (i >= words.size())
            return false;
        *word = words[i++];
        return true;
    };
    std::string reference, kind;
    if (!take(&reference) || !take(&kind)) {
        *error = "fault wants DEV[/PATH] and a kind (try --help)";
        return false;
    }
    FaultCommand c;
    size_t slash = reference.find('/');
    c.device = reference.substr(0, slash);
    if (c.device.empty()) {
        *error = "'" + reference + "' is not DEV or DEV/PATH (for example Tape0/1)";
        return false;
    }
    if (slash != std::string::npos) {
        std::string path = reference.substr(slash + 1);
        unsigned long long v = 0;
        if (path == "primary")
            c.path = -2;
        else if (Number(path, 255, &v) && isdigit((unsigned char)path[0]))
            c.path = (int)v;
        else {
            *error = "'" + reference + "' is not DEV or DEV/PATH (for example Tape0/1)";
            return false;
        }
    }

    FabFaultRequest &r = c.request;
    r.Form = FAB_FORM_ONE_SHOT;
    std::string argument;
    if (kind == "sense") {
        r.Kind = FAB_FAULT_SENSE;
        if (!take(&argument) || !SenseTriple(argument, &r.SenseKey, &r.Asc, &r.Ascq)) {
            *error = "fault sense wants KEY/ASC/ASCQ in hexadecimal (key up to F), for example 2/4/0";
            return false;
        }
    } else if (kind == "status") {
        r.Kind = FAB_FAULT_STATUS;
        if (!take(&argument) || !ParseStatus(argument, &r.Status)) {
            *error = "fault status wants an error status, for example 0xC000009D";
            return false;
        }
    } else if (kind == "write-after") {
        r.Kind = FAB_FAULT_WRITE_AFTER_BLOCKS;
        unsigned long long v = 0;
        if (!take(&argument) || !Number(argument, 0xFFFFFFFFull, &v)) {
            *error = "fault write-after wants the number of blocks that reach the tape, for example 8";
            return false;
        }
        r.BlocksWritten = (ULONG)v;
        r.SenseKey = 0x4; // hardware error, internal target failure
        r.Asc = 0x44;
    } else if (kind == "reservation") {
        r.Kind = FAB_FAULT_RESERVATION;
    } else if (kind == "pull") {
        c.action = FaultCommand::Action::Pull;
    } else if (kind == "restore") {
        c.action = FaultCommand::Action::Restore;
    } else if (kind == "clear") {
        c.action = FaultCommand::Action::Clear;
    } else if (kind == "hold") {
        *error = "fault hold: a held command waits until the harness lets it go, and vyrsim runs its steps "
                 "one after another; pull the path instead to fail a command on it";
        return false;
    } else {
        *error = "unknown fault kind '" + kind + "' (sense, status, write-after, reservation, pull, restore, clear)";
        return false;
    }
    if (c.action == FaultCommand::Action::Pull && c.path == -1) {
        *error = "fault pull wants DEV/PATH";
        return false;
    }
    if (c.action == FaultCommand::Action::Restore && c.path != -1) {
        *error = "fault restore brings back every pulled path of a drive: give DEV only";
        return false;
    }

    bool formGiven = false, senseGiven = false;
    while (i < words.size() && IsFaultOption(words[i])) {
        std::string option = words[i++];
        if (c.action != FaultCommand::Action::Add) {
            *error = "fault " + kind + " takes no option " + option;
            return false;
        }
        unsigned long long v = 0;
        auto value = [&](unsigned long long limit, unsigned long long minimum) {
            if (i >= words.size() || !Number(words[i], limit, &v) || v < minimum) {
                *error = "fault " + option + " wants a number from " + std::to_string(minimum) + " to " + std::to_string(limit);
                return false;
            }
            i++;
            return true;
        };
        if (option == "--once" || option == "--always" || option == "--every" || option == "--random") {
            if (formGiven) {
                *error = "fault: give one of --once, --every, --always, --random";
                return false;
            }
            formGiven = true;
            if (option == "--always")
                r.Form = FAB_FORM_UNTIL_CLEARED;
            else if (option == "--every" || option == "--random") {
                if (!value(0xFFFFFFFFull, 1))
                    return false;
                r.Form = option == "--every" ? FAB_FORM_EVERY_NTH : FAB_FORM_RANDOM;
                r.EveryNth = (ULONG)v;
            }
        } else if (option == "--random-seed") {
            if (!value(0xFFFFFFFFull, 0))
                return false;
            r.Seed = (ULONG)v;
        } else if (option == "--opcode") {
            if (!value(255, 0))
                return false;
            r.fOpcodeFilter = 1;
            r.Opcode = (UCHAR)v;
        } else if (option == "--flags") {
            if (!value(255, 0))
                return false;
            if (v & ~0xE0ull) {
                *error = "fault --flags takes 0x80 (filemark), 0x40 (end of medium), 0x20 (incorrect length)";
                return false;
            }
            r.SenseFlags = (UCHAR)v;
        } else if (option == "--sense") {
            if (r.Kind != FAB_FAULT_WRITE_AFTER_BLOCKS || i >= words.size() ||
                !SenseTriple(words[i], &r.SenseKey, &r.Asc, &r.Ascq)) {
                *error = "fault --sense KEY/ASC/ASCQ goes with write-after";
                return false;
            }
            i++;
            senseGiven = true;
        } else if (option == "--status") {
            if (r.Kind != FAB_FAULT_WRITE_AFTER_BLOCKS || i >= words.size() || !ParseStatus(words[i], &r.Status)) {
                *error = "fault --status STATUS (an error status) goes with write-after";
                return false;
            }
            i++;
            r.SenseKey = r.Asc = r.Ascq = 0;
        }
    }
    if (r.Seed && r.Form != FAB_FORM_RANDOM) {
        *error = "fault --random-seed goes with --random";
        return false;
    }
    if (senseGiven && r.Status) {
        *error = "fault write-after fails by --sense or by --status, not both";
        return false;
    }
    if (r.Kind == FAB_FAULT_WRITE_AFTER_BLOCKS && r.fOpcodeFilter && r.Opcode != kOpWrite6) {
        *error = "fault write-after takes WRITE(6) commands only (--opcode 0x0A)";
        return false;
    }
    if (r.SenseFlags && r.Kind != FAB_FAULT_SENSE && r.Kind != FAB_FAULT_WRITE_AFTER_BLOCKS) {
        *error = "fault --flags goes with sense or write-after";
        return false;
    }
    *command = c;
    *next = i;
    return true;
}

std::string DescribeFault(const FabFaultRequest &r)
{
    char text[160];
    switch (r.Kind) {
    case FAB_FAULT_SENSE:
        snprintf(text, sizeof text, "sense %X/%02X/%02X%s", r.SenseKey, r.Asc, r.Ascq, r.SenseFlags ? " with flags" : "");
        break;
    case FAB_FAULT_STATUS:
        snprintf(text, sizeof text, "status %s", StatusText(r.Status).c_str());
        break;
    case FAB_FAULT_WRITE_AFTER_BLOCKS:
        if (r.Status)
            snprintf(text, sizeof text, "write-after %u then %s", r.BlocksWritten, StatusText(r.Status).c_str());
        else
            snprintf(text, sizeof text, "write-after %u then sense %X/%02X/%02X", r.BlocksWritten, r.SenseKey, r.Asc, r.Ascq);
        break;
    case FAB_FAULT_RESERVATION:
        snprintf(text, sizeof text, "reservation held elsewhere");
        break;
    default:
        snprintf(text, sizeof text, "hold");
        break;
    }
    std::string out = text;
    switch (r.Form) {
    case FAB_FORM_ONE_SHOT:
        out += ", once";
        break;
    case FAB_FORM_EVERY_NTH:
        out += ", every " + std::to_string(r.EveryNth) + ". command";
        break;
    case FAB_FORM_UNTIL_CLEARED:
        out += ", until cleared";
        break;
    default:
        out += ", 1 in " + std::to_string(r.EveryNth) + " at random (seed " + std::to_string(r.Seed) + ")";
        break;
    }
    if (r.fOpcodeFilter) {
        snprintf(text, sizeof text, ", opcode 0x%02X only", r.Opcode);
        out += text;
    }
    return out;
}

NTSTATUS FaultHarness::Resolve(const std::string &device, Target *target, std::string *error)
{
    auto process = hk::Process::Create("vyrsim-faults");
    std::vector<LogicalDeviceView> devices;
    NTSTATUS status = QueryLogicalDevices(*process, &devices);
    // A changer's paths are faulted like a tape's.
    if (NT_SUCCESS(status))
        status = AppendChangerDevices(*process, &devices);
    if (!NT_SUCCESS(status)) {
        *error = "the path query failed with " + StatusText(status);
        return status;
    }
    const LogicalDeviceView *found = nullptr;
    for (const LogicalDeviceView &d : devices)
        if (d.name == device)
            found = &d;
    if (!found) {
        *error = "no logical device named " + device;
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::vector<FabDriveEntry> drives;
    std::vector<FabPathEntry> paths;
    status = fabric_.QueryTopology(&drives, &paths);
    if (!NT_SUCCESS(status)) {
        *error = "the fabric did not answer (" + StatusText(status) + ")";
        return status;
    }
    bool driveFound = false;
    for (const FabDriveEntry &d : drives)
        if (Trimmed(d.szSerialNumber) == Trimmed(found->serial)) {
            target->drive = d.Index;
            driveFound = true;
        }
    if (!driveFound) {
        *error = "no drive of the fabric has serial number " + found->serial;
        return STATUS_NOT_FOUND;
    }
    target->paths.clear();
    target->primary = -1;
    for (size_t k = 0; k < found->paths.size(); k++) {
        const PathView &v = found->paths[k];
        ULONG index = kNoFabricPath;
        for (const FabPathEntry &p : paths)
            if (p.PortNumber == v.port && p.PathId == v.pathId && p.TargetId == v.target && p.Lun == v.lun && !p.fPulled)
                index = p.Index;
        target->paths.push_back(index);
        if (v.primary)
            target->primary = (int)k;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FaultHarness::AddPathFault(ULONG fabricPath, FabFaultRequest request)
{
    request.Scope = FAB_SCOPE_PATH;
    request.Index = fabricPath;
    return fabric_.AddFault(request);
}

NTSTATUS FaultHarness::AddDriveFault(ULONG fabricDrive, FabFaultRequest request)
{
    request.Scope = FAB_SCOPE_DRIVE;
    request.Index = fabricDrive;
    return fabric_.AddFault(request);
}

NTSTATUS FaultHarness::Pull(ULONG fabricPath)
{
    NTSTATUS status = fabric_.PullPath(fabricPath);
    hk::WaitPnpIdle();
    return status;
}

NTSTATUS FaultHarness::RestoreDrive(ULONG fabricDrive, ULONG *restored)
{
    std::vector<FabPathEntry> paths;
    NTSTATUS status = fabric_.QueryTopology(nullptr, &paths);
    if (!NT_SUCCESS(status))
        return status;
    ULONG n = 0;
    for (const FabPathEntry &p : paths) {
        if (p.DriveIndex != fabricDrive || !p.fPulled)
            continue;
        // The old device node has to be gone before the path can come back as a new one.
        hk::WaitPnpIdle();
        status = fabric_.RestorePath(p.Index);
        if (!NT_SUCCESS(status))
            break;
        n++;
    }
    hk::WaitPnpIdle();
    if (restored)
        *restored = n;
    return status;
}

NTSTATUS FaultHarness::ClearAll()
{
    return fabric_.ClearFaults(FAB_SCOPE_ALL, 0);
}

NTSTATUS FaultHarness::FaultsFired(ULONG fabricDrive, ULONG *fired)
{
    std::vector<FabDriveEntry> drives;
    std::vector<FabPathEntry> paths;
    NTSTATUS status = fabric_.QueryTopology(&drives, &paths);
    if (!NT_SUCCESS(status))
        return status;
    ULONG n = 0;
    for (const FabDriveEntry &d : drives)
        if (d.Index == fabricDrive)
            n += d.FaultsFired;
    for (const FabPathEntry &p : paths)
        if (p.DriveIndex == fabricDrive)
            n += p.FaultsFired;
    *fired = n;
    return STATUS_SUCCESS;
}

NTSTATUS FaultHarness::Apply(const FaultCommand &command, std::string *done)
{
    Target target;
    std::string error;
    NTSTATUS status = Resolve(command.device, &target, &error);
    if (!NT_SUCCESS(status)) {
        *done = error;
        return status;
    }
    int index = command.path == -2 ? target.primary : command.path;
    ULONG fabricPath = kNoFabricPath;
    std::string where = "the drive behind " + command.device;
    if (command.path != -1) {
        if (index < 0 || index >= (int)target.paths.size() || target.paths[index] == kNoFabricPath) {
            *done = command.device + " has no path " + (command.path == -2 ? std::string("that is primary")
                                                                            : std::to_string(command.path));
            return STATUS_NOT_FOUND;
        }
        fabricPath = target.paths[index];
        where = command.device + "/" + std::to_string(index) + " (fabric path " + std::to_string(fabricPath) + ")";
    }
    switch (command.action) {
    case FaultCommand::Action::Pull:
        status = Pull(fabricPath);
        *done = "pulled the cable of " + where;
        break;
    case FaultCommand::Action::Restore: {
        ULONG restored = 0;
        status = RestoreDrive(target.drive, &restored);
        *done = "brought back " + std::to_string(restored) + " pulled path(s) of " + where;
        break;
    }
    case FaultCommand::Action::Clear:
        status = command.path == -1 ? fabric_.ClearFaults(FAB_SCOPE_DRIVE, target.drive)
                                    : fabric_.ClearFaults(FAB_SCOPE_PATH, fabricPath);
        *done = "cleared the fault rules of " + where;
        break;
    case FaultCommand::Action::Add:
        status = command.path == -1 ? AddDriveFault(target.drive, command.request) : AddPathFault(fabricPath, command.request);
        *done = DescribeFault(command.request) + " on " + where;
        break;
    }
    return status;
}

} // namespace vyr::tools
