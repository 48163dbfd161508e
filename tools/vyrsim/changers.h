// Medium changers in vyrsim: what a run with --changers puts on the host, the changers' rows of the
// paths listing, and the `move` and `changer` steps, which go through \\.\ChangerN with the
// standard changer requests as a library application would.
#pragma once

#include "machine/testbed.h"
#include "paths.h"

#include <string>
#include <vector>

namespace vyr::tools {

// Before boot: the changer bus enumerator as an installation leaves it (image, service, root
// device) unless the installer put it there already, and the changer path filter in the
// MediumChanger class.
void InstallChangers(vyr::sim::Machine &machine, bool busInstalled);

// Appends the changer bus's logical devices to *devices; none when the bus is not there.
NTSTATUS AppendChangerDevices(hk::Process &process, std::vector<LogicalDeviceView> *devices);

// An element as the standard changer requests name it: its ELEMENT_TYPE and its number from 0
// within that type.
struct ChangerElement {
    int type = 0;
    unsigned number = 0;
};

// "slot3", "drive0", "portal0", or an element address as the changer reports it ("0x1003").
bool ParseChangerElement(const std::string &text, ChangerElement *element, std::string *error);
std::string ChangerElementName(const ChangerElement &element);
unsigned ChangerElementAddress(const ChangerElement &element);

// The `move CHANGER FROM TO` step: IOCTL_CHANGER_MOVE_MEDIUM through \\.\CHANGER. When the
// destination is a drive element with a logical tape device behind it, it then waits, as a backup
// application does, until the tape device has taken the new cartridge (its unit attentions
// reported) and says so. Prints what happened; returns the move's status.
NTSTATUS MoveCartridge(const vyr::sim::Topology &topology, const std::string &changer, const ChangerElement &from,
                       const ChangerElement &to, FILE *out);

// The `changer CHANGER` step: every element with its address and cartridge (volume tag), and the
// logical tape device behind each drive element.
NTSTATUS PrintChanger(const vyr::sim::Topology &topology, const std::string &changer, FILE *out);

} // namespace vyr::tools
