// What differs between the tape and the changer build of the path filter, selected by
// VYR_BUILD_CHANGER: the bus control device, the control-code family, the records sent to the bus,
// which probes run at start, whether opens and closes are reported, whether the bus's status
// block is applied, and the filter device's type. Everything else is one source.
#pragma once

#include "kernel.h"
#include "vyr/dpf/defines.h"
#include "vyr/statustable.h"
#include "vyr/cgbus.h"
#include "vyr/tpbus.h"

#ifndef VYR_BUILD_CHANGER
#define VYR_BUILD_CHANGER 0
#endif

#ifndef STATUS_WAIT_1
#define STATUS_WAIT_1 ((NTSTATUS)0x00000001L)
#define STATUS_WAIT_3 ((NTSTATUS)0x00000003L)
#endif
#ifndef FILE_DEVICE_TAPE_FILE_SYSTEM
#define FILE_DEVICE_TAPE_FILE_SYSTEM 0x00000020
#endif
#ifndef FILE_DEVICE_CHANGER
#define FILE_DEVICE_CHANGER 0x00000030
#endif

// Version text carried by the create trace line.
#define FLT_VERSION_TEXT "7.0.0.8x64"

// Desired access with which the bus control device is opened.
constexpr ACCESS_MASK FLT_BUS_ACCESS = 0x80; // FILE_READ_ATTRIBUTES

// Slots of the first StatusStructTable block lent to the filter during the start-time hand-over:
// slot 0 points to the logical device number, slot 1 to the filter device object.
constexpr ULONG FLT_HANDOVER_NUMBER_SLOT = 0;
constexpr ULONG FLT_HANDOVER_DEVICE_SLOT = 1;

#if VYR_BUILD_CHANGER

#define FLT_BUS_DEVICE_NAME L"\\Device\\VYRCgBsDvc"
constexpr ULONG FLT_DEVICE_TYPE = FILE_DEVICE_CHANGER;
constexpr ULONG FLT_IOCTL_REGISTER_PATH = IOCTL_CGBUS_REGISTER_PATH;
constexpr ULONG FLT_IOCTL_NOTIFY_PATH = IOCTL_CGBUS_NOTIFY_PATH;
constexpr ULONG FLT_IOC_GET_SERIAL_NUMBER = IOC_CG_GET_SERIAL_NUMBER;
constexpr ULONG FLT_IOC_GET_SCSI_ADDRESS = IOC_CG_GET_SCSI_ADDRESS;
constexpr ULONG FLT_IOC_SET_STATUS_TABLE = IOC_CG_SET_STATUS_TABLE;
// A changer path is identified by its serial number and address only.
#define FLT_PROBE_IDENTITY 0
// Requests on a changer path go down untouched: no open/close notices, no status blocks.
#define FLT_TRACK_REQUESTS 0
// Only slot 0 is lent to the class driver.
#define FLT_HANDOVER_DEVICE_SLOT_USED 0

typedef ChangerPathRegistration FltRegistrationRecord;
typedef ChangerPathNotification FltNotificationRecord;

#else

#define FLT_BUS_DEVICE_NAME L"\\Device\\VYRTpBsDvc"
constexpr ULONG FLT_DEVICE_TYPE = FILE_DEVICE_TAPE_FILE_SYSTEM;
constexpr ULONG FLT_IOCTL_REGISTER_PATH = IOCTL_TPBUS_REGISTER_PATH;
constexpr ULONG FLT_IOCTL_NOTIFY_PATH = IOCTL_TPBUS_NOTIFY_PATH;
constexpr ULONG FLT_IOC_GET_SERIAL_NUMBER = IOC_GET_SERIAL_NUMBER;
constexpr ULONG FLT_IOC_GET_SCSI_ADDRESS = IOC_GET_SCSI_ADDRESS;
constexpr ULONG FLT_IOC_SET_STATUS_TABLE = IOC_SET_STATUS_TABLE;
#define FLT_PROBE_IDENTITY 1
#define FLT_TRACK_REQUESTS 1
#define FLT_HANDOVER_DEVICE_SLOT_USED 1

typedef PathRegistration FltRegistrationRecord;
typedef PathNotification FltNotificationRecord;

#endif
