// Plug and Play and power manager, and the kernel's boot and shutdown.
//
// Device nodes form a tree under the root. A node's stack is built as Windows builds it: the
// drivers named by the node's Enum key and its class key (lower filters, function driver, upper
// filters) are loaded and their AddDevice routines called bottom to top, then START goes to the
// top of the stack, then bus relations are queried and new children get nodes of their own.
// PnP requests are sent one at a time (one PnP lock), pre-set to STATUS_NOT_SUPPORTED, to the top
// of the stack; removal goes children first; a query that fails is cancelled on every node that
// was queried.
#include "io_internal.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

struct hk::DevNode {
    DevNode *parent = nullptr;
    std::vector<DevNode *> children;
    std::string instanceId;
    std::vector<std::string> hardwareIds;
    std::string service;
    std::string classGuid;
    PDEVICE_OBJECT pdo = nullptr;
    bool rootEnumerated = false;
    DevNodeState state = DevNodeState::Initialized;
    NTSTATUS problem = STATUS_SUCCESS;
    std::vector<PDRIVER_OBJECT> drivers; // the stack's drivers, bottom (PDO's) to top
    bool reported = true;                 // still in the parent's bus relations
    bool removeWhenClosed = false;        // surprise-removed, REMOVE waits for the last handle
};

namespace hk {
namespace internal {
namespace {

const std::string kEnum = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
const std::string kClass = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\";
const std::string kCriticalDeviceDatabase =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\CriticalDeviceDatabase\\";

std::recursive_mutex g_pnpLock;
bool g_booted = false;
DevNode *g_root = nullptr;
PDRIVER_OBJECT g_rootDriver = nullptr;
ULONG g_rootPdoCounter = 0;
std::atomic<uint64_t> g_poCallDriver{0};
std::atomic<uint64_t> g_poStartNext{0};

// Work the PnP manager does later, in its own thread (re-enumeration asked for by a driver).
std::mutex g_workLock;
std::condition_variable g_workCv;
std::deque<std::function<void()>> g_work;
bool g_workBusy = false;
bool g_workStop = false;
std::thread g_worker;

std::string Upper(std::string s)
{
    for (auto &c : s)
        c = (char)toupper((unsigned char)c);
    return s;
}

void ForEachNode(DevNode *node, const std::function<void(DevNode *)> &fn)
{
    fn(node);
    for (DevNode *child : std::vector<DevNode *>(node->children))
        ForEachNode(child, fn);
}

void PostOrder(DevNode *node, std::vector<DevNode *> &out)
{
    for (DevNode *child : node->children)
        PostOrder(child, out);
    out.push_back(node);
}

bool HasStack(DevNode *node)
{
    return node->pdo && node->pdo->AttachedDevice;
}

// One PnP or power request to the top of a node's stack, pre-set to STATUS_NOT_SUPPORTED as the
// PnP manager sends them; waits for it.
NTSTATUS SendToStack(DevNode *node, UCHAR major, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setup = {},
                     ULONG_PTR *information = nullptr)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(node->pdo);
    PIRP irp = IoAllocateSystemIrp(top->StackSize, IrpOrigin::System);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    if (setup)
        setup(stack);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = IoCallAndWait(top, irp, &iosb);
    if (information)
        *information = iosb.Information;
    return status;
}

NTSTATUS SendPnp(DevNode *node, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setup = {},
                 ULONG_PTR *information = nullptr)
{
    return SendToStack(node, IRP_MJ_PNP, minor, setup, information);
}

std::vector<std::string> MultiSz(const WCHAR *p)
{
    std::vector<std::string> out;
    if (!p)
        return out;
    while (*p) {
        std::u16string s;
        while (*p)
            s += (char16_t)*p++;
        out.push_back(Utf8(s));
        p++;
    }
    return out;
}

std::string QueryId(DevNode *node, BUS_QUERY_ID_TYPE type, bool multi, std::vector<std::string> *list = nullptr)
{
    ULONG_PTR info = 0;
    NTSTATUS status = SendPnp(node, IRP_MN_QUERY_ID, [&](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; }, &info);
    if (!NT_SUCCESS(status) || !info)
        return {};
    auto *text = (const WCHAR *)info;
    std::string first;
    if (multi) {
        std::vector<std::string> ids = MultiSz(text);
        if (list)
            *list = ids;
        first = ids.empty() ? "" : ids.front();
    } else {
        std::u16string s;
        for (const WCHAR *p = text; *p; p++)
            s += (char16_t)*p;
        first = Utf8(s);
    }
    ExFreePool((PVOID)info);
    return first;
}

std::vector<std::string> RegList(const std::string &key, const std::string &value)
{
    std::vector<std::string> out;
    if (!RegGetMultiString(key, value, &out)) {
        std::string single;
        if (RegGetString(key, value, &single) && !single.empty())
            out.push_back(single);
    }
    return out;
}

// The services of a node's stack, bottom to top: device lower filters, class lower filters, the
// function driver, device upper filters, class upper filters.
std::vector<std::string> StackServices(DevNode *node)
{
    std::string key = kEnum + node->instanceId;
    std::string service, classGuid;
    RegGetString(key, "Service", &service);
    RegGetString(key, "ClassGUID", &classGuid);
    node->service = service;
    node->classGuid = classGuid;
    std::vector<std::string> out;
    auto append = [&](const std::vector<std::string> &v) { out.insert(out.end(), v.begin(), v.end()); };
    append(RegList(key, "LowerFilters"));
    if (!classGuid.empty())
        append(RegList(kClass + classGuid, "LowerFilters"));
    if (!service.empty())
        out.push_back(service);
    append(RegList(key, "UpperFilters"));
    if (!classGuid.empty())
        append(RegList(kClass + classGuid, "UpperFilters"));
    return out;
}

void UnloadStackDrivers(DevNode *node)
{
    std::vector<PDRIVER_OBJECT> drivers = node->drivers;
    node->drivers.clear();
    for (auto it = drivers.rbegin(); it != drivers.rend(); ++it)
        UnloadDriverIfUnused(*it);
}

// After REMOVE: the node's devices are gone; a root PDO goes with its node.
void FinishRemoval(DevNode *node)
{
    node->state = DevNodeState::Removed;
    UnloadStackDrivers(node);
}

// The drivers of removed nodes, top of each stack first, to unload once the PnP manager has let
// go of the PDOs it references: a PDO still referenced is still a device object of its bus driver,
// whose image must not go (nor be checked for leaks) before it.
std::vector<PDRIVER_OBJECT> TakeStackDrivers(const std::vector<DevNode *> &nodes)
{
    std::vector<PDRIVER_OBJECT> drivers;
    for (DevNode *node : nodes) {
        drivers.insert(drivers.end(), node->drivers.rbegin(), node->drivers.rend());
        node->drivers.clear();
    }
    return drivers;
}

void DeleteNode(DevNode *node)
{
    for (DevNode *child : std::vector<DevNode *>(node->children))
        DeleteNode(child);
    if (node->parent) {
        auto &siblings = node->parent->children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), node), siblings.end());
    }
    if (node->pdo) {
        DevExt(node->pdo)->node = nullptr;
        if (node->rootEnumerated)
            IoDeleteDevice(node->pdo);
        else
            ObfDereferenceObject(node->pdo); // the reference the node held
    }
    delete node;
}

LONG StackOpenCount(DevNode *node)
{
    LONG n = 0;
    for (PDEVICE_OBJECT d = node->pdo; d; d = d->AttachedDevice)
        n += IoOpenCount(d);
    return n;
}

void RemoveSubtreeGone(DevNode *node);

// Sends REMOVE to a surprise-removed node whose handles are all closed, then forgets it.
void CompleteSurpriseRemoval(DevNode *node)
{
    if (StackOpenCount(node) > 0) {
        node->removeWhenClosed = true;
        return;
    }
    node->removeWhenClosed = false;
    if (HasStack(node) || node->state != DevNodeState::Removed)
        SendPnp(node, IRP_MN_REMOVE_DEVICE);
    FinishRemoval(node);
    if (!node->reported)
        DeleteNode(node);
}

// A child that vanished from its parent's relations: surprise removal, children first.
void RemoveSubtreeGone(DevNode *node)
{
    std::vector<DevNode *> order;
    PostOrder(node, order);
    for (DevNode *n : order) {
        n->reported = false;
        if (n->state == DevNodeState::Started || n->state == DevNodeState::Stopped ||
            n->state == DevNodeState::StopPending || n->state == DevNodeState::RemovePending) {
            SendPnp(n, IRP_MN_SURPRISE_REMOVAL);
            n->state = DevNodeState::SurpriseRemoved;
        }
    }
    for (DevNode *n : order)
        CompleteSurpriseRemoval(n);
}

NTSTATUS StartNode(DevNode *node);

// A new device without an installed driver finds its service the way Windows finds the driver of a
// boot-critical device: the first of its hardware ids, then compatible ids, that has an entry in
// the critical device database (the id with '\' written as '#') names the service and class.
void BindFromDatabase(const std::string &enumKey, const std::vector<std::string> &hardwareIds,
                      const std::vector<std::string> &compatibleIds)
{
    std::string service;
    if (RegGetString(enumKey, "Service", &service) && !service.empty())
        return;
    std::vector<std::string> ids = hardwareIds;
    ids.insert(ids.end(), compatibleIds.begin(), compatibleIds.end());
    for (std::string id : ids) {
        std::replace(id.begin(), id.end(), '\\', '#');
        std::string entry = kCriticalDeviceDatabase + id;
        if (!RegGetString(entry, "Service", &service) || service.empty())
            continue;
        RegSetString(enumKey, "Service", service);
        std::string classGuid;
        if (RegGetString(entry, "ClassGUID", &classGuid))
            RegSetString(enumKey, "ClassGUID", classGuid);
        return;
    }
}

void EnumerateChildren(DevNode *node)
{
    if (node->state != DevNodeState::Started)
        return;
    ULONG_PTR info = 0;
    NTSTATUS status = SendPnp(
        node, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; },
        &info);
    if (!NT_SUCCESS(status))
        return; // nobody answered: the node enumerates no children (leave the ones it has)
    auto *relations = (PDEVICE_RELATIONS)info;
    std::vector<PDEVICE_OBJECT> reported;
    if (relations) {
        for (ULONG i = 0; i < relations->Count; i++)
            reported.push_back(relations->Objects[i]);
        ExFreePool(relations);
    }
    std::vector<DevNode *> fresh;
    for (PDEVICE_OBJECT pdo : reported) {
        auto known = std::find_if(node->children.begin(), node->children.end(), [&](DevNode *c) { return c->pdo == pdo; });
        if (known != node->children.end()) {
            ObfDereferenceObject(pdo);
            continue;
        }
        auto *child = new DevNode();
        child->parent = node;
        child->pdo = pdo; // keeps the reference the bus driver gave
        pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
        DevExt(pdo)->node = child;
        node->children.push_back(child);
        std::string deviceId = QueryId(child, BusQueryDeviceID, false);
        std::string instance = QueryId(child, BusQueryInstanceID, false);
        QueryId(child, BusQueryHardwareIDs, true, &child->hardwareIds);
        child->instanceId = deviceId + "\\" + (instance.empty() ? "0000" : instance);
        std::string key = kEnum + child->instanceId;
        RegCreateKey(key);
        if (!child->hardwareIds.empty())
            RegSetMultiString(key, "HardwareID", child->hardwareIds);
        std::vector<std::string> compatible;
        QueryId(child, BusQueryCompatibleIDs, true, &compatible);
        if (!compatible.empty())
            RegSetMultiString(key, "CompatibleIDs", compatible);
        BindFromDatabase(key, child->hardwareIds, compatible);
        fresh.push_back(child);
    }
    for (DevNode *child : std::vector<DevNode *>(node->children))
        if (std::find(reported.begin(), reported.end(), child->pdo) == reported.end() && child->reported)
            RemoveSubtreeGone(child);
    for (DevNode *child : fresh)
        StartNode(child);
}

NTSTATUS BuildStack(DevNode *node)
{
    std::vector<std::string> services = StackServices(node);
    if (node->service.empty()) {
        node->state = DevNodeState::Failed;
        node->problem = STATUS_DEVICE_DOES_NOT_EXIST; // no driver installed for this device
        return node->problem;
    }
    for (const std::string &service : services) {
        NTSTATUS status = LoadDriver(service);
        if (!NT_SUCCESS(status)) {
            node->state = DevNodeState::Failed;
            node->problem = status;
            return status;
        }
    }
    for (const std::string &service : services) {
        PDRIVER_OBJECT driver = FindDriver(service);
        node->drivers.push_back(driver);
        if (!driver->DriverExtension->AddDevice)
            continue;
        NTSTATUS status = driver->DriverExtension->AddDevice(driver, node->pdo);
        if (!NT_SUCCESS(status)) {
            // The devices already added get the remove a failed start would give them.
            if (HasStack(node))
                SendPnp(node, IRP_MN_REMOVE_DEVICE);
            UnloadStackDrivers(node);
            node->state = DevNodeState::Failed;
            node->problem = status;
            return status;
        }
    }
    node->state = DevNodeState::DriversLoaded;
    return STATUS_SUCCESS;
}

NTSTATUS StartNode(DevNode *node)
{
    if (node->state == DevNodeState::Started)
        return STATUS_SUCCESS;
    if (node->state == DevNodeState::Initialized || node->state == DevNodeState::Failed ||
        node->state == DevNodeState::Removed) {
        NTSTATUS status = BuildStack(node);
        if (!NT_SUCCESS(status))
            return status;
    }
    NTSTATUS status = SendPnp(node, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(node, IRP_MN_REMOVE_DEVICE);
        UnloadStackDrivers(node);
        node->state = DevNodeState::Failed;
        node->problem = status;
        return status;
    }
    node->state = DevNodeState::Started;
    node->problem = STATUS_SUCCESS;
    EnumerateChildren(node);
    return STATUS_SUCCESS;
}

// The root enumerator: the driver of root-enumerated PDOs.
NTSTATUS NTAPI RootDispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_QUERY_CAPABILITIES:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto *relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), MakeTag("PnpR"));
            relations->Count = 1;
            relations->Objects[0] = device;
            ObfReferenceObject(device);
            irp->IoStatus.Information = (ULONG_PTR)relations;
            status = STATUS_SUCCESS;
        }
        break;
    default:
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI RootDispatchPower(PDEVICE_OBJECT, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RootDispatchOther(PDEVICE_OBJECT, PIRP irp)
{
    NTSTATUS status = irp->IoStatus.Status;
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP)
        status = STATUS_SUCCESS;
    else if (major != IRP_MJ_SYSTEM_CONTROL)
        status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void FreeRootDriver(void *) {}

void CreateRootDriver()
{
    g_rootDriver = (PDRIVER_OBJECT)ObCreateObject(ObType::Driver, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION), FreeRootDriver);
    g_rootDriver->Type = 4;
    g_rootDriver->Size = sizeof(DRIVER_OBJECT);
    g_rootDriver->DriverExtension = (PDRIVER_EXTENSION)(g_rootDriver + 1);
    g_rootDriver->DriverExtension->DriverObject = g_rootDriver;
    static char16_t name[] = u"\\Driver\\PnpManager";
    g_rootDriver->DriverName.Buffer = (PWCH)name;
    g_rootDriver->DriverName.Length = (USHORT)(sizeof(name) - sizeof(char16_t));
    g_rootDriver->DriverName.MaximumLength = sizeof(name);
    static char16_t service[] = u"PnpManager";
    g_rootDriver->DriverExtension->ServiceKeyName.Buffer = (PWCH)service;
    g_rootDriver->DriverExtension->ServiceKeyName.Length = (USHORT)(sizeof(service) - sizeof(char16_t));
    g_rootDriver->DriverExtension->ServiceKeyName.MaximumLength = sizeof(service);
    for (auto &major : g_rootDriver->MajorFunction)
        major = RootDispatchOther;
    g_rootDriver->MajorFunction[IRP_MJ_PNP] = RootDispatchPnp;
    g_rootDriver->MajorFunction[IRP_MJ_POWER] = RootDispatchPower;
}

DevNode *NewRootChild(const std::string &instanceId, const std::vector<std::string> &hardwareIds)
{
    auto *node = new DevNode();
    node->parent = g_root;
    node->instanceId = instanceId;
    node->hardwareIds = hardwareIds;
    node->rootEnumerated = true;
    char name[32];
    snprintf(name, sizeof name, "\\Device\\%08X", ++g_rootPdoCounter);
    PDEVICE_OBJECT pdo = nullptr;
    IoCreateDeviceFor(g_rootDriver, 0, Utf16(name), FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo, nullptr);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    DevExt(pdo)->node = node;
    node->pdo = pdo;
    g_root->children.push_back(node);
    return node;
}

void WorkerLoop()
{
    std::unique_lock<std::mutex> lock(g_workLock);
    while (true) {
        g_workCv.wait(lock, [] { return g_workStop || !g_work.empty(); });
        if (g_work.empty() && g_workStop)
            return;
        auto job = std::move(g_work.front());
        g_work.pop_front();
        g_workBusy = true;
        lock.unlock();
        {
            std::lock_guard<std::recursive_mutex> pnp(g_pnpLock);
            job();
        }
        lock.lock();
        g_workBusy = false;
        g_workCv.notify_all();
    }
}

void QueueWork(std::function<void()> job)
{
    std::lock_guard<std::mutex> lock(g_workLock);
    g_work.push_back(std::move(job));
    g_workCv.notify_all();
}

bool NodeAlive(DevNode *node)
{
    bool found = false;
    if (g_root)
        ForEachNode(g_root, [&](DevNode *n) { found |= n == node; });
    return found;
}

const char *ClassNameOf(const std::string &guid)
{
    std::string g = Upper(guid);
    if (g == "{4D36E97D-E325-11CE-BFC1-08002BE10318}")
        return "SYSTEM";
    if (g == "{6D807884-7D21-11CF-801C-08002BE10318}")
        return "TAPEDRIVE";
    if (g == "{CE5939AE-EBDE-11D0-B181-0000F8753EC4}")
        return "MEDIUMCHANGER";
    return "UNKNOWN";
}

} // namespace

DevNode *NodeOfDevice(PDEVICE_OBJECT device)
{
    PDEVICE_OBJECT bottom = IoBottomDevice(device);
    return bottom ? DevExt(bottom)->node : nullptr;
}

void PnpDeviceClosed(PDEVICE_OBJECT device)
{
    DevNode *node = NodeOfDevice(device);
    if (!node || !node->removeWhenClosed)
        return;
    QueueWork([node] {
        if (NodeAlive(node) && node->removeWhenClosed)
            CompleteSurpriseRemoval(node);
    });
}

void PnpQueueWork(std::function<void()> job)
{
    QueueWork(std::move(job));
}

void PnpResetForBoot()
{
    g_rootPdoCounter = 0;
    g_poCallDriver = 0;
    g_poStartNext = 0;
}

void PnpShutdown()
{
    if (!g_root)
        return;
    std::vector<DevNode *> order;
    PostOrder(g_root, order);
    order.pop_back(); // the root itself
    for (DevNode *node : order) {
        if (node->state == DevNodeState::Removed || node->state == DevNodeState::Failed ||
            node->state == DevNodeState::Initialized || !HasStack(node)) {
            continue;
        }
        if (node->state != DevNodeState::SurpriseRemoved) {
            NTSTATUS status = SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE);
            if (!NT_SUCCESS(status)) {
                SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
                SendPnp(node, IRP_MN_SURPRISE_REMOVAL);
            }
        }
        SendPnp(node, IRP_MN_REMOVE_DEVICE);
        node->state = DevNodeState::Removed;
    }
    std::vector<PDRIVER_OBJECT> drivers = TakeStackDrivers(order);
    for (DevNode *child : std::vector<DevNode *>(g_root->children))
        DeleteNode(child);
    for (PDRIVER_OBJECT driver : drivers)
        UnloadDriverIfUnused(driver);
    delete g_root;
    g_root = nullptr;
}

} // namespace internal

using namespace internal;

const char *DevNodeStateName(DevNodeState state)
{
    switch (state) {
    case DevNodeState::Initialized: return "initialized";
    case DevNodeState::DriversLoaded: return "drivers loaded";
    case DevNodeState::Started: return "started";
    case DevNodeState::StopPending: return "stop pending";
    case DevNodeState::Stopped: return "stopped";
    case DevNodeState::RemovePending: return "remove pending";
    case DevNodeState::SurpriseRemoved: return "surprise removed";
    case DevNodeState::Removed: return "removed";
    case DevNodeState::Failed: return "failed";
    }
    return "?";
}

DevNode *CreateRootDevice(const std::string &hardwareId, const std::string &service, const std::string &classGuid)
{
    std::lock_guard<std::recursive_mutex> lock(g_pnpLock);
    std::string cls = ClassNameOf(classGuid.empty() ? "{4D36E97D-E325-11CE-BFC1-08002BE10318}" : classGuid);
    std::string base = kEnum + "ROOT\\" + cls;
    int index = 0;
    char instance[16];
    do {
        snprintf(instance, sizeof instance, "%04d", index++);
    } while (RegKeyExists(base + "\\" + instance));
    std::string instanceId = "ROOT\\" + cls + "\\" + instance;
    std::string key = kEnum + instanceId;
    RegCreateKey(key);
    RegSetMultiString(key, "HardwareID", {hardwareId});
    if (!service.empty())
        RegSetString(key, "Service", service);
    RegSetString(key, "ClassGUID", classGuid.empty() ? "{4D36E97D-E325-11CE-BFC1-08002BE10318}" : classGuid);
    if (!g_booted)
        return nullptr;
    return NewRootChild(instanceId, {hardwareId});
}

std::vector<DevNodeInfo> DeviceTree()
{
    std::lock_guard<std::recursive_mutex> lock(g_pnpLock);
    std::vector<DevNodeInfo> out;
    if (!g_root)
        return out;
    std::function<void(DevNode *, int)> walk = [&](DevNode *node, int depth) {
        if (node != g_root) {
            DevNodeInfo info = NodeInfo(node);
            info.depth = depth;
            out.push_back(info);
        }
        for (DevNode *child : node->children)
            walk(child, node == g_root ? depth : depth + 1);
    };
    walk(g_root, 0);
    return out;
}

DevNodeInfo NodeInfo(DevNode *node)
{
    std::lock_guard<std::recursive_mutex> lock(g_pnpLock);
    DevNodeInfo info{};
    info.node = node;
    info.parent = node->parent == g_root ? nullptr : node->parent;
    info.instanceId = node->instanceId;
    info.hardwareIds = node->hardwareIds;
    info.service = node->service;
    info.state = node->state;
    info.problem = node->problem;
    for (PDEVICE_OBJECT d = node->pdo; d; d = d->AttachedDevice)
        info.stack.push_back(DriverService(d->DriverObject));
    return info;
}

DevNode *FindDevNode(const std::string &instanceId)
{
    std::lock_guard<std::recursive_mutex> lock(g_pnpLock);
    DevNode *found = nullptr;
    if (g_root)
        ForEachNode(g_root, [&](DevNode *n) {
            if (Upper(n->instanceId) == Upper(instanceId))
                found = n;
        });
    return found;
}

NTSTATUS StartDevice(DevNode *node)
{
    std::lock_guard<std::recursive_mutex> lock(g_pnpLock);
    return StartNode(node);
}

NTSTATUS StopDevice(DevNode *node)
{
    std::lock_guard<std::recursive_mutex> lock(g_pnpLock);
    if (node->state != DevNodeState::Started)
        return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = SendPnp(node, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    node->state = DevNodeState::StopPending;
    SendPnp(node, IRP_MN_STOP_DEVICE);
    node->state = DevNodeState::Stopped;
    return STATUS_SUCCESS;
}

NTSTATUS RebalanceDevice(DevNode *node)
{
    std::lock_guard<std::recursive_mutex> lock(g_pnpLock);
    NTSTATUS status = StopDevice(node);
    if (!NT_SUCCESS(status))
        return status;
    status = SendPnp(node, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(node, IRP_MN_REMOVE_DEVICE);
        FinishRemoval(node);
        node->state = DevNodeState::Failed;
        node->problem = status;
        return status;
    }
    node->state = DevNodeState::Started;
    return STATUS_SUCCESS;
}

NTSTATUS RemoveDevice(DevNode *node)
{
    std::lock_guard<std::recursive_mutex> lock(g_pnpLock);
    std::vector<DevNode *> order;
    PostOrder(node, order);
    std::vector<DevNode *> queried;
    for (DevNode *n : order) {
        if (!HasStack(n) || n->state == DevNodeState::Removed || n->state == DevNodeState::SurpriseRemoved)
            continue;
        NTSTATUS status = SendPnp(n, IRP_MN_QUERY_REMOVE_DEVICE);
        if (!NT_SUCCESS(status)) {
            SendPnp(n, IRP_MN_CANCEL_REMOVE_DEVICE);
            for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
                SendPnp(*it, IRP_MN_CANCEL_REMOVE_DEVICE);
                (*it)->state = DevNodeState::Started;
            }
            return status;
        }
        n->state = DevNodeState::RemovePending;
        queried.push_back(n);
    }
    for (DevNode *n : order) {
        if (HasStack(n) || n->state == DevNodeState::RemovePending)
            SendPnp(n, IRP_MN_REMOVE_DEVICE);
        n->state = DevNodeState::Removed;
    }
    // The removed node's children went with its function driver: their nodes go now, and the
    // node itself when nothing but the removal knew it (a root-enumerated device).
    std::vector<PDRIVER_OBJECT> drivers = TakeStackDrivers(order);
    for (DevNode *child : std::vector<DevNode *>(node->children))
        DeleteNode(child);
    if (node->rootEnumerated)
        DeleteNode(node);
    for (PDRIVER_OBJECT driver : drivers)
        UnloadDriverIfUnused(driver);
    return STATUS_SUCCESS;
}

void ReenumerateDevices()
{
    std::lock_guard<std::recursive_mutex> lock(g_pnpLock);
    if (!g_root)
        return;
    std::vector<DevNode *> started;
    ForEachNode(g_root, [&](DevNode *n) {
        if (n != g_root && n->state == DevNodeState::Started)
            started.push_back(n);
    });
    for (DevNode *n : started)
        if (NodeAlive(n))
            EnumerateChildren(n);
    for (DevNode *n : std::vector<DevNode *>(g_root->children))
        if (n->state == DevNodeState::Initialized)
            StartNode(n);
}

void WaitPnpIdle()
{
    std::unique_lock<std::mutex> lock(g_workLock);
    g_workCv.wait(lock, [] { return g_work.empty() && !g_workBusy; });
}

PDEVICE_OBJECT NodePdo(DevNode *node) { return node->pdo; }
DevNodeState NodeState(DevNode *node) { return node->state; }

NTSTATUS SendPowerRequest(DevNode *node, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state)
{
    std::lock_guard<std::recursive_mutex> lock(g_pnpLock);
    return SendToStack(node, IRP_MJ_POWER, minor, [&](PIO_STACK_LOCATION s) {
        s->Parameters.Power.Type = type;
        s->Parameters.Power.State = state;
    });
}

uint64_t PoCallDriverCount() { return g_poCallDriver.load(); }
uint64_t PoStartNextPowerIrpCount() { return g_poStartNext.load(); }

// ---------------------------------------------------------------------------------------------
// Boot and shutdown
// ---------------------------------------------------------------------------------------------
void Boot(const BootOptions &options)
{
    std::lock_guard<std::recursive_mutex> lock(g_pnpLock);
    if (g_booted)
        BugCheck(BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION, 0, 0, 0, 0, "Boot called twice");
    std::string root = options.sandboxRoot.empty() ? (fs::temp_directory_path() / "vyr-sandbox").string() : options.sandboxRoot;
    fs::create_directories(fs::path(root) / "C" / "Windows" / "System32" / "drivers");
    SetSandboxRoot(root);
    ObResetForBoot();
    IoResetForBoot();
    PnpResetForBoot();
    KeResetForBoot();
    CreateRootDriver();
    TcpCreateTransport();
    g_root = new DevNode();
    g_root->instanceId = "HTREE\\ROOT\\0";
    g_root->state = DevNodeState::Started;
    g_booted = true;
    g_workStop = false;
    g_worker = std::thread(WorkerLoop);

    // Root-enumerated devices recorded in the hive come back at every boot.
    std::vector<DevNode *> nodes;
    for (const std::string &cls : RegSubKeys(kEnum + "ROOT"))
        for (const std::string &instance : RegSubKeys(kEnum + "ROOT\\" + cls)) {
            std::vector<std::string> ids;
            RegGetMultiString(kEnum + "ROOT\\" + cls + "\\" + instance, "HardwareID", &ids);
            nodes.push_back(NewRootChild("ROOT\\" + cls + "\\" + instance, ids));
        }
    for (DevNode *node : nodes)
        StartNode(node);
}

void Shutdown()
{
    {
        std::lock_guard<std::recursive_mutex> lock(g_pnpLock);
        if (!g_booted)
            return;
    }
    WaitPnpIdle();
    {
        std::lock_guard<std::mutex> lock(g_workLock);
        g_workStop = true;
        g_workCv.notify_all();
    }
    g_worker.join();
    std::lock_guard<std::recursive_mutex> lock(g_pnpLock);
    PnpShutdown();
    UnloadAllDrivers();
    TcpDeleteTransport();
    if (g_rootDriver) {
        ObfDereferenceObject(g_rootDriver);
        g_rootDriver = nullptr;
    }
    if (!WaitForSystemThreads(2000))
        ReportViolation(BUGCHECK_DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS, LiveSystemThreadCount(), 0, 0, 0,
                        std::to_string(LiveSystemThreadCount()) + " system thread(s) still running after every driver unloaded");
    IoCheckLeaks("");
    PoolCheckLeaks("");
    IoResetForBoot();
    PoolResetForBoot();
    ElogReset();
    RegResetHandles();
    g_booted = false;
}

bool IsBooted()
{
    return g_booted;
}

std::string DriveFolder(char letter)
{
    return (fs::path(SandboxRoot()) / std::string(1, (char)toupper((unsigned char)letter))).string();
}

} // namespace hk

extern "C" VOID NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type)
{
    if (Type != BusRelations)
        return;
    hk::DevNode *node = hk::internal::NodeOfDevice(DeviceObject);
    if (!node)
        return;
    hk::internal::QueueWork([node] {
        if (hk::internal::NodeAlive(node))
            hk::internal::EnumerateChildren(node);
    });
}

extern "C" VOID NTAPI IoInvalidateDeviceState(PDEVICE_OBJECT) {}

extern "C" VOID NTAPI PoStartNextPowerIrp(PIRP)
{
    hk::internal::g_poStartNext.fetch_add(1);
}

extern "C" NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    hk::internal::g_poCallDriver.fetch_add(1);
    return IoCallDriver(DeviceObject, Irp);
}

extern "C" POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT, POWER_STATE_TYPE, POWER_STATE State)
{
    return State;
}

extern "C" NTSTATUS NTAPI IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                              ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
{
    hk::DevNode *node = hk::internal::DevExt(DeviceObject)->node;
    if (!node)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string value;
    switch (DeviceProperty) {
    case DevicePropertyHardwareID:
        for (auto &id : node->hardwareIds)
            value += hk::Utf16(id) + u'\0';
        break;
    case DevicePropertyPhysicalDeviceObjectName:
        value = hk::internal::DevExt(DeviceObject)->name;
        break;
    case DevicePropertyEnumeratorName:
        value = hk::Utf16(node->instanceId.substr(0, node->instanceId.find('\\')));
        break;
    case DevicePropertyClassGuid:
        value = hk::Utf16(node->classGuid);
        break;
    default:
        return STATUS_INVALID_PARAMETER_2;
    }
    value += u'\0';
    ULONG needed = (ULONG)(value.size() * sizeof(char16_t));
    *ResultLength = needed;
    if (BufferLength < needed)
        return STATUS_BUFFER_TOO_SMALL;
    memcpy(PropertyBuffer, value.data(), needed);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                                  ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey)
{
    *DevInstRegKey = nullptr;
    hk::DevNode *node = hk::internal::DevExt(DeviceObject)->node;
    if (!node)
        return STATUS_INVALID_DEVICE_REQUEST; // only a PDO has a device node
    std::string path;
    if (DevInstKeyType & PLUGPLAY_REGKEY_DEVICE) {
        path = hk::internal::kEnum + node->instanceId + "\\Device Parameters";
    } else if (DevInstKeyType & PLUGPLAY_REGKEY_DRIVER) {
        // The driver key lives under the device's class; its name is recorded in the Enum key.
        std::string enumKey = hk::internal::kEnum + node->instanceId;
        std::string driverKey;
        if (!hk::RegGetString(enumKey, "Driver", &driverKey) || driverKey.empty()) {
            if (node->classGuid.empty())
                return STATUS_INVALID_DEVICE_REQUEST;
            std::string base = hk::internal::kClass + node->classGuid;
            int index = 0;
            char name[16];
            do {
                snprintf(name, sizeof name, "%04d", index++);
            } while (hk::RegKeyExists(base + "\\" + name));
            driverKey = node->classGuid + "\\" + name;
            // The installer makes the driver key when it binds a driver; a device bound some other
            // way gets one on first use.
            hk::RegCreateKey(base + "\\" + name);
            hk::RegSetString(enumKey, "Driver", driverKey);
        }
        path = hk::internal::kClass + driverKey;
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string name = hk::Utf16(path);
    UNICODE_STRING ustr;
    ustr.Buffer = (PWCH)name.data();
    ustr.Length = (USHORT)(name.size() * sizeof(char16_t));
    ustr.MaximumLength = ustr.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &ustr, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwCreateKey(DevInstRegKey, DesiredAccess, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
}
