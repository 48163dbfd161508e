#include "changers.h"

#include "hk/ntddchgr.h"
#include "hk/ntddtape.h"
#include "tapeapp.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace vyr::tools {

namespace {

constexpr const char *kChangerBusService = "vyrcgbs2k16";

// How many times a tape device is asked whether it has taken a new cartridge: each unit attention
// it reports costs one question, and a drive reports each at most once per path.
constexpr int kReadyQuestions = 16;

struct ElementKind {
    int type;
    const char *name;
    unsigned base; // the element address of number 0, as the changer reports it
};
const ElementKind kKinds[] = {
    {ChangerSlot, "slot", FAB_CHANGER_SLOT_ADDRESS},
    {ChangerDrive, "drive", FAB_CHANGER_DRIVE_ADDRESS},
    {ChangerIEPort, "portal", FAB_CHANGER_PORTAL_ADDRESS},
    {ChangerTransport, "transport", FAB_CHANGER_TRANSPORT_ADDRESS},
};

const ElementKind *KindOf(int type)
{
    for (const ElementKind &k : kKinds)
        if (k.type == type)
            return &k;
    return nullptr;
}

std::string Trimmed(const char *field, size_t size)
{
    size_t n = strnlen(field, size);
    while (n && field[n - 1] == ' ')
        n--;
    return std::string(field, n);
}

// The topology's changer and the logical tape device behind each of its drive elements, found by
// serial numbers: the bus names devices in the order their paths arrive.
struct ChangerPlace {
    int index = -1;                // in the topology
    std::vector<std::string> tapes; // per drive element: "Tape0", or "" when no tape device is behind it
};

ChangerPlace Place(hk::Process &process, const vyr::sim::Topology &topology, const std::string &changer)
{
    ChangerPlace place;
    std::vector<LogicalDeviceView> changers, tapes;
    AppendChangerDevices(process, &changers);
    QueryLogicalDevices(process, &tapes);
    for (const LogicalDeviceView &c : changers) {
        if (c.name != changer)
            continue;
        for (int i = 0; i < topology.changers; i++)
            if (Trimmed(c.serial.c_str(), c.serial.size()) ==
                vyr::sim::Fabric::ChangerConfig(topology, i).szSerialNumber)
                place.index = i;
    }
    if (place.index < 0)
        return place;
    for (int e = 0; e < topology.changerDrives; e++) {
        std::string name;
        int drive = vyr::sim::Fabric::LinkedDrive(topology, place.index, e);
        if (drive >= 0) {
            std::string serial = vyr::sim::Fabric::DriveConfig(topology, drive).szSerialNumber;
            for (const LogicalDeviceView &t : tapes)
                if (Trimmed(t.serial.c_str(), t.serial.size()) == serial)
                    name = t.name;
        }
        place.tapes.push_back(name);
    }
    return place;
}

NTSTATUS Control(hk::Process &process, HANDLE h, ULONG code, const void *in, ULONG inLength, void *out,
                 ULONG outLength, ULONG_PTR *information = nullptr)
{
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = process.NtDeviceIoControlFile(h, code, const_cast<void *>(in), inLength, out, outLength, &iosb);
    if (information)
        *information = iosb.Information;
    return status;
}

// Asks the tape device until it answers without news of a new medium or a reset, as a backup
// application does after a library loaded a cartridge.
NTSTATUS WaitForTape(hk::Process &process, const std::string &tape, int *attentions)
{
    *attentions = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    // Each opening of the device may reach the drive through another path: until one opening
    // finds no news, open it again.
    for (int round = 0; round < kReadyQuestions; round++) {
        HANDLE h = process.CreateFile("\\\\.\\" + tape);
        if (h == hk::INVALID_HANDLE)
            return process.LastStatus();
        int heard = 0;
        // The status, a rewind and the media parameters: the bus learns where the new tape stands.
        for (int i = 0; i < kReadyQuestions; i++) {
            status = Control(process, h, IOCTL_TAPE_GET_STATUS, nullptr, 0, nullptr, 0);
            if (NT_SUCCESS(status)) {
                TAPE_SET_POSITION rewind{};
                rewind.Method = TAPE_REWIND;
                status = Control(process, h, IOCTL_TAPE_SET_POSITION, &rewind, sizeof rewind, nullptr, 0);
            }
            if (NT_SUCCESS(status)) {
                TAPE_GET_MEDIA_PARAMETERS media{};
                status = Control(process, h, IOCTL_TAPE_GET_MEDIA_PARAMS, nullptr, 0, &media, sizeof media);
            }
            if (status != STATUS_MEDIA_CHANGED && status != STATUS_BUS_RESET)
                break;
            heard++;
        }
        process.CloseHandle(h);
        *attentions += heard;
        if (!heard || !NT_SUCCESS(status))
            break;
    }
    return status;
}

} // namespace

void InstallChangers(vyr::sim::Machine &machine, bool busInstalled)
{
    if (!busInstalled) {
        machine.InstallDriverImage(kChangerBusService);
        machine.InstallService(kChangerBusService);
        if (!sim::RootDeviceExists("root\\vyrcgbs2k16")) {
            hk::DevNode *node = hk::CreateRootDevice("root\\vyrcgbs2k16", kChangerBusService, vyr::sim::kSystemClassGuid);
            if (node)
                hk::StartDevice(node);
        }
    }
    vyr::sim::InstallChangerFilter(machine);
}

NTSTATUS AppendChangerDevices(hk::Process &process, std::vector<LogicalDeviceView> *devices)
{
    std::vector<LogicalDeviceView> changers;
    NTSTATUS status = QueryChangerDevices(process, &changers);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND ||
        status == STATUS_NO_SUCH_DEVICE)
        return STATUS_SUCCESS; // no changer bus on this host
    if (!NT_SUCCESS(status))
        return status;
    devices->insert(devices->end(), changers.begin(), changers.end());
    return STATUS_SUCCESS;
}

bool ParseChangerElement(const std::string &text, ChangerElement *element, std::string *error)
{
    for (const ElementKind &k : kKinds) {
        size_t n = strlen(k.name);
        if (text.compare(0, n, k.name) != 0 || text.size() == n || !isdigit((unsigned char)text[n]))
            continue;
        char *end = nullptr;
        unsigned long number = strtoul(text.c_str() + n, &end, 10);
        if (*end || number > 0xFFFF)
            break;
        element->type = k.type;
        element->number = (unsigned)number;
        return true;
    }
    if (!text.empty() && isdigit((unsigned char)text[0])) {
        char *end = nullptr;
        unsigned long address = strtoul(text.c_str(), &end, 0);
        // The kind whose range the address falls in: the highest base at or below it.
        const ElementKind *best = nullptr;
        for (const ElementKind &k : kKinds)
            if (address >= k.base && (!best || k.base > best->base))
                best = &k;
        if (!*end && address <= 0xFFFF && best) {
            element->type = best->type;
            element->number = (unsigned)(address - best->base);
            return true;
        }
    }
    *error = "'" + text + "' is not an element: slotN, driveN, portalN or an element address such as 0x1000";
    return false;
}

std::string ChangerElementName(const ChangerElement &element)
{
    const ElementKind *k = KindOf(element.type);
    return (k ? k->name : "element") + std::to_string(element.number);
}

unsigned ChangerElementAddress(const ChangerElement &element)
{
    const ElementKind *k = KindOf(element.type);
    return (k ? k->base : 0) + element.number;
}

NTSTATUS MoveCartridge(const vyr::sim::Topology &topology, const std::string &changer, const ChangerElement &from,
                       const ChangerElement &to, FILE *out)
{
    auto process = hk::Process::Create("vyrsim-library");
    std::string what = changer + " " + ChangerElementName(from) + " -> " + ChangerElementName(to);
    HANDLE h = process->CreateFile("\\\\.\\" + changer);
    if (h == hk::INVALID_HANDLE) {
        NTSTATUS status = process->LastStatus();
        fprintf(out, "move %s: opening \\\\.\\%s failed: %s\n", what.c_str(), changer.c_str(), StatusText(status).c_str());
        return status;
    }
    CHANGER_MOVE_MEDIUM move{};
    move.Transport.ElementType = ChangerTransport;
    move.Source.ElementType = (ELEMENT_TYPE)from.type;
    move.Source.ElementAddress = from.number;
    move.Destination.ElementType = (ELEMENT_TYPE)to.type;
    move.Destination.ElementAddress = to.number;
    NTSTATUS status = Control(*process, h, IOCTL_CHANGER_MOVE_MEDIUM, &move, sizeof move, nullptr, 0);
    process->CloseHandle(h);
    fprintf(out, "move %s (0x%04X -> 0x%04X): %s\n", what.c_str(), ChangerElementAddress(from),
            ChangerElementAddress(to), StatusText(status).c_str());
    if (!NT_SUCCESS(status) || to.type != ChangerDrive)
        return status;
    ChangerPlace place = Place(*process, topology, changer);
    if (to.number >= place.tapes.size() || place.tapes[to.number].empty())
        return status;
    const std::string &tape = place.tapes[to.number];
    int attentions = 0;
    NTSTATUS ready = WaitForTape(*process, tape, &attentions);
    fprintf(out, "  %s behind %s: %s after %d unit attention(s)\n", tape.c_str(), ChangerElementName(to).c_str(),
            StatusText(ready).c_str(), attentions);
    return status;
}

NTSTATUS PrintChanger(const vyr::sim::Topology &topology, const std::string &changer, FILE *out)
{
    auto process = hk::Process::Create("vyrsim-library");
    HANDLE h = process->CreateFile("\\\\.\\" + changer);
    if (h == hk::INVALID_HANDLE) {
        NTSTATUS status = process->LastStatus();
        fprintf(out, "changer %s: opening it failed: %s\n", changer.c_str(), StatusText(status).c_str());
        return status;
    }
    GET_CHANGER_PARAMETERS parameters{};
    NTSTATUS status = Control(*process, h, IOCTL_CHANGER_GET_PARAMETERS, nullptr, 0, &parameters, sizeof parameters);
    if (!NT_SUCCESS(status)) {
        process->CloseHandle(h);
        fprintf(out, "changer %s: its parameters: %s\n", changer.c_str(), StatusText(status).c_str());
        return status;
    }
    ChangerPlace place = Place(*process, topology, changer);
    fprintf(out, "Changer %s: %u slot(s), %u drive(s), %u portal(s)\n", changer.c_str(), parameters.NumberStorageElements,
            parameters.NumberDataTransferElements, parameters.NumberIEElements);
    const std::pair<int, unsigned> kinds[] = {{ChangerDrive, parameters.NumberDataTransferElements},
                                               {ChangerIEPort, parameters.NumberIEElements},
                                               {ChangerSlot, parameters.NumberStorageElements}};
    for (auto [type, count] : kinds) {
        if (!count)
            continue;
        CHANGER_READ_ELEMENT_STATUS request{};
        request.ElementList.Element.ElementType = (ELEMENT_TYPE)type;
        request.ElementList.NumberOfElements = count;
        request.VolumeTagInfo = TRUE;
        std::vector<CHANGER_ELEMENT_STATUS> elements(count);
        ULONG_PTR information = 0;
        status = Control(*process, h, IOCTL_CHANGER_GET_ELEMENT_STATUS, &request, sizeof request, elements.data(),
                         (ULONG)(elements.size() * sizeof(CHANGER_ELEMENT_STATUS)), &information);
        if (!NT_SUCCESS(status)) {
            fprintf(out, "  %ss: %s\n", KindOf(type)->name, StatusText(status).c_str());
            break;
        }
        for (size_t i = 0; i < information / sizeof(CHANGER_ELEMENT_STATUS); i++) {
            const CHANGER_ELEMENT_STATUS &e = elements[i];
            ChangerElement element{(int)e.Element.ElementType, (unsigned)e.Element.ElementAddress};
            std::string line = "  " + ChangerElementName(element);
            char address[16];
            snprintf(address, sizeof address, "0x%04X", ChangerElementAddress(element));
            line.resize(12, ' ');
            line += address;
            if (e.Flags & ELEMENT_STATUS_FULL) {
                line += "  " + Trimmed((const char *)e.PrimaryVolumeID, sizeof e.PrimaryVolumeID);
                if (e.Flags & ELEMENT_STATUS_SVALID) {
                    ChangerElement source{(int)e.SrcElementAddress.ElementType, (unsigned)e.SrcElementAddress.ElementAddress};
                    line += " (from " + ChangerElementName(source) + ")";
                }
            } else {
                line += "  empty";
            }
            if (type == ChangerDrive && element.number < place.tapes.size() && !place.tapes[element.number].empty())
                line += "  behind it: " + place.tapes[element.number];
            fprintf(out, "%s\n", line.c_str());
        }
    }
    process->CloseHandle(h);
    return status;
}

} // namespace vyr::tools
