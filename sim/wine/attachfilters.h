// Upper filters for the class driver stand-ins under Wine (test builds for Wine only).
//
// Wine 8's Plug and Play manager loads a device's function driver and no filters: the
// UpperFilters a package names for the device never get their AddDevice. The Windows test build
// of the stand-ins (VYR_WINE_ATTACH_FILTERS) therefore does that part of the PnP manager's work
// itself, right after its own AddDevice attached the function device object: the filters then
// sit above it, as Windows would put them. The product's filter images are unchanged.
#pragma once

#include "kernel.h"

// Loads every upper filter the registry names for the device of PhysicalDeviceObject (in order)
// and calls its AddDevice for that device. Returns the first failure; filters attached before it
// stay (PnP removal takes them down with the stack).
NTSTATUS WineAttachUpperFilters(PDEVICE_OBJECT PhysicalDeviceObject);
