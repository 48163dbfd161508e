// The names and settings that make the tape and the changer builds of the bus enumerator differ.
// One source, two images: the build defines VYR_BUILD_CHANGER for the changer image.
#pragma once

#if defined(VYR_BUILD_CHANGER) && VYR_BUILD_CHANGER
#define VYR_BUS_SERVICE_NAME L"vyrcgbs2k16"
#define VYR_BUS_DEVICE_NAME L"\\Device\\VYRCgBsDvc"
#define VYR_BUS_LINK_NAME L"\\??\\VYRCgBsDvcLnk"
#include "vyrcgbs2k16.h"
#else
#define VYR_BUS_SERVICE_NAME L"vyrtpbs2k16"
#define VYR_BUS_DEVICE_NAME L"\\Device\\VYRTpBsDvc"
#define VYR_BUS_LINK_NAME L"\\??\\VYRTpBsDvcLnk"
#include "vyrtpbs2k16.h"
#endif

// The changer build keeps no queue, workers, persistent names, reservations, open handling or
// port counts: a changer is driven by device controls only, each in its caller's thread.
#if defined(VYR_BUILD_CHANGER) && VYR_BUILD_CHANGER
constexpr bool VYR_BUS_CHANGER = true;
#else
constexpr bool VYR_BUS_CHANGER = false;
#endif

#define VYR_BUS_SERVICE_KEY L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" VYR_BUS_SERVICE_NAME
