#include "machine/testbed.h"

#include <cstdio>
#include <stdexcept>

namespace vyr::sim {

namespace {
const std::string kClassKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\";
const std::string kCriticalDevices = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\CriticalDeviceDatabase\\";
} // namespace

void InstallTestbed(Machine &machine)
{
    machine.InstallDriverImage(VYRFAB_SERVICE);
    machine.InstallService(VYRFAB_SERVICE);
    machine.InstallDriverImage(kTapeClassService);
    machine.InstallService(kTapeClassService);

    // Every tape path the fabric reports carries the generic sequential-access id.
    std::string entry = kCriticalDevices + "GenSequential";
    hk::RegCreateKey(entry);
    hk::RegSetString(entry, "Service", kTapeClassService);
    hk::RegSetString(entry, "ClassGUID", kTapeDriveClassGuid);

    std::string cls = kClassKey + kTapeDriveClassGuid;
    hk::RegCreateKey(cls);
    hk::RegSetString(cls, "Class", "TapeDrive");
    std::vector<std::string> filters;
    if (!hk::RegGetMultiString(cls, "UpperFilters", &filters))
        hk::RegSetMultiString(cls, "UpperFilters", {}); // the path filter's slot, filled when it is installed

    // Every changer path carries the generic changer id; the MediumChanger class has its own
    // filter slot.
    machine.InstallDriverImage(kChangerClassService);
    machine.InstallService(kChangerClassService);
    std::string changerEntry = kCriticalDevices + "GenChanger";
    hk::RegCreateKey(changerEntry);
    hk::RegSetString(changerEntry, "Service", kChangerClassService);
    hk::RegSetString(changerEntry, "ClassGUID", kMediumChangerClassGuid);
    std::string changerClass = kClassKey + kMediumChangerClassGuid;
    hk::RegCreateKey(changerClass);
    hk::RegSetString(changerClass, "Class", "MediumChanger");
    if (!hk::RegGetMultiString(changerClass, "UpperFilters", &filters))
        hk::RegSetMultiString(changerClass, "UpperFilters", {});

    bool present = false;
    for (const hk::DevNodeInfo &node : hk::DeviceTree())
        for (const std::string &id : node.hardwareIds)
            present |= id == VYRFAB_HARDWARE_ID;
    std::vector<std::string> roots = hk::RegSubKeys("\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\ROOT\\SYSTEM");
    for (const std::string &instance : roots) {
        std::vector<std::string> ids;
        hk::RegGetMultiString("\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\ROOT\\SYSTEM\\" + instance,
                              "HardwareID", &ids);
        for (const std::string &id : ids)
            present |= id == VYRFAB_HARDWARE_ID;
    }
    if (!present) {
        hk::DevNode *node = hk::CreateRootDevice(VYRFAB_HARDWARE_ID, VYRFAB_SERVICE, kSystemClassGuid);
        if (node)
            hk::StartDevice(node);
    }
}

void InstallPathFilter(Machine &machine)
{
    machine.InstallDriverImage(kTapeFilterService);
    machine.InstallService(kTapeFilterService);
    std::string cls = kClassKey + kTapeDriveClassGuid;
    hk::RegCreateKey(cls);
    std::vector<std::string> filters;
    hk::RegGetMultiString(cls, "UpperFilters", &filters);
    for (const std::string &f : filters)
        if (f == kTapeFilterService)
            return;
    filters.push_back(kTapeFilterService);
    hk::RegSetMultiString(cls, "UpperFilters", filters);
}

void InstallChangerFilter(Machine &machine)
{
    machine.InstallDriverImage(kChangerFilterService);
    machine.InstallService(kChangerFilterService);
    std::string cls = kClassKey + kMediumChangerClassGuid;
    hk::RegCreateKey(cls);
    std::vector<std::string> filters;
    hk::RegGetMultiString(cls, "UpperFilters", &filters);
    for (const std::string &f : filters)
        if (f == kChangerFilterService)
            return;
    filters.push_back(kChangerFilterService);
    hk::RegSetMultiString(cls, "UpperFilters", filters);
}

Fabric::Fabric() : process_(hk::Process::Create("testbed-harness"))
{
    handle_ = process_->CreateFile(VYRFAB_CONTROL_WIN32_NAME);
    if (handle_ == hk::INVALID_HANDLE)
        throw std::runtime_error("the fabric's control device cannot be opened (is the testbed installed and booted?)");
}

Fabric::~Fabric()
{
    if (handle_ != hk::INVALID_HANDLE)
        process_->CloseHandle(handle_);
}

NTSTATUS Fabric::Control(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength, ULONG *returned)
{
    IO_STATUS_BLOCK iosb{};
    last_ = process_->NtDeviceIoControlFile(handle_, code, in, inLength, out, outLength, &iosb);
    if (returned)
        *returned = (ULONG)iosb.Information;
    return last_;
}

NTSTATUS Fabric::AddDrive(const FabDriveConfig &config, ULONG *index)
{
    FabIndexReply reply{};
    NTSTATUS status = Control(IOCTL_VYRFAB_ADD_DRIVE, &config, sizeof config, &reply, sizeof reply);
    if (index)
        *index = reply.Index;
    return status;
}

NTSTATUS Fabric::AddPath(ULONG drive, UCHAR port, UCHAR pathId, UCHAR target, UCHAR lun, ULONG *index)
{
    FabAddPathRequest request{drive, port, pathId, target, lun};
    FabIndexReply reply{};
    NTSTATUS status = Control(IOCTL_VYRFAB_ADD_PATH, &request, sizeof request, &reply, sizeof reply);
    if (index)
        *index = reply.Index;
    return status;
}

NTSTATUS Fabric::PullPath(ULONG path)
{
    FabPathRequest request{path};
    return Control(IOCTL_VYRFAB_PULL_PATH, &request, sizeof request, nullptr, 0);
}

NTSTATUS Fabric::RestorePath(ULONG path)
{
    FabPathRequest request{path};
    return Control(IOCTL_VYRFAB_RESTORE_PATH, &request, sizeof request, nullptr, 0);
}

NTSTATUS Fabric::AddFault(const FabFaultRequest &fault)
{
    return Control(IOCTL_VYRFAB_ADD_FAULT, &fault, sizeof fault, nullptr, 0);
}

NTSTATUS Fabric::ClearFaults(UCHAR scope, ULONG index)
{
    FabClearFaultsRequest request{};
    request.Scope = scope;
    request.Index = index;
    return Control(IOCTL_VYRFAB_CLEAR_FAULTS, &request, sizeof request, nullptr, 0);
}

NTSTATUS Fabric::DriveControl(ULONG drive, ULONG operation, ULONG value)
{
    FabDriveControlRequest request{drive, operation, value};
    return Control(IOCTL_VYRFAB_DRIVE_CONTROL, &request, sizeof request, nullptr, 0);
}

NTSTATUS Fabric::QueryDrive(ULONG drive, FabDriveState *state)
{
    FabDriveRequest request{drive};
    return Control(IOCTL_VYRFAB_QUERY_DRIVE, &request, sizeof request, state, sizeof *state);
}

NTSTATUS Fabric::QueryTopology(std::vector<FabDriveEntry> *drives, std::vector<FabPathEntry> *paths)
{
    FabTopologyHeader header{};
    NTSTATUS status = Control(IOCTL_VYRFAB_QUERY_TOPOLOGY, nullptr, 0, &header, sizeof header);
    if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW)
        return status;
    std::vector<uint8_t> buffer(header.BytesNeeded);
    status = Control(IOCTL_VYRFAB_QUERY_TOPOLOGY, nullptr, 0, buffer.data(), (ULONG)buffer.size());
    if (!NT_SUCCESS(status))
        return status;
    memcpy(&header, buffer.data(), sizeof header);
    auto *d = (const FabDriveEntry *)(buffer.data() + sizeof header);
    auto *p = (const FabPathEntry *)(d + header.DriveCount);
    if (drives)
        drives->assign(d, d + header.DriveCount);
    if (paths)
        paths->assign(p, p + header.PathCount);
    return STATUS_SUCCESS;
}

NTSTATUS Fabric::AddChanger(const FabChangerConfig &config, ULONG *index)
{
    FabIndexReply reply{};
    NTSTATUS status = Control(IOCTL_VYRFAB_ADD_CHANGER, &config, sizeof config, &reply, sizeof reply);
    if (index)
        *index = reply.Index;
    return status;
}

NTSTATUS Fabric::QueryChanger(ULONG changer, FabChangerState *state)
{
    FabDriveRequest request{changer};
    return Control(IOCTL_VYRFAB_QUERY_CHANGER, &request, sizeof request, state, sizeof *state);
}

FabChangerConfig Fabric::ChangerConfig(const Topology &topology, int changer)
{
    return PlanChanger(topology, changer);
}

int Fabric::LinkedDrive(const Topology &topology, int changer, int element)
{
    return PlanLinkedDrive(topology, changer, element);
}

FabDriveConfig Fabric::DriveConfig(const Topology &topology, int drive)
{
    return PlanDrive(topology, drive);
}

NTSTATUS Fabric::Build(const Topology &topology)
{
    for (int d = 0; d < topology.drives; d++) {
        ULONG drive = 0;
        NTSTATUS status = AddDrive(DriveConfig(topology, d), &drive);
        if (!NT_SUCCESS(status))
            return status;
        for (int p = 0; p < topology.pathsPerDrive; p++) {
            FabAddPathRequest path = PlanPath(topology, drive, p, d);
            status = AddPath(drive, path.PortNumber, path.PathId, path.TargetId, path.Lun, nullptr);
            if (!NT_SUCCESS(status))
                return status;
        }
    }
    for (int c = 0; c < topology.changers; c++) {
        ULONG changer = 0;
        NTSTATUS status = AddChanger(ChangerConfig(topology, c), &changer);
        if (!NT_SUCCESS(status))
            return status;
        for (int p = 0; p < topology.pathsPerChanger; p++) {
            FabAddPathRequest path = PlanPath(topology, changer, p, topology.drives + c);
            status = AddPath(changer, path.PortNumber, path.PathId, path.TargetId, path.Lun, nullptr);
            if (!NT_SUCCESS(status))
                return status;
        }
    }
    hk::WaitPnpIdle();
    return STATUS_SUCCESS;
}

NTSTATUS Fabric::ReleaseHeld(UCHAR scope, ULONG index)
{
    FabReleaseHeldRequest request{};
    request.Scope = scope;
    request.Index = index;
    return Control(IOCTL_VYRFAB_RELEASE_HELD, &request, sizeof request, nullptr, 0);
}

NTSTATUS Fabric::WaitHeld(ULONG count, ULONG *held, ULONG timeoutMilliseconds)
{
    FabWaitHeldRequest request{count, timeoutMilliseconds};
    FabHeldReply reply{};
    NTSTATUS status = Control(IOCTL_VYRFAB_WAIT_HELD, &request, sizeof request, &reply, sizeof reply);
    if (held)
        *held = reply.Held;
    return status;
}

} // namespace vyr::sim
