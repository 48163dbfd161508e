// The changer class driver stand-in (vyrcg2k16) as callers see it: its device names and the
// private control codes it answers (device type 0x84C9, METHOD_BUFFERED, read and write access)
// besides IOCTL_SCSI_PASS_THROUGH(_DIRECT), IOCTL_SCSI_GET_ADDRESS and the standard changer codes
// IOCTL_CHANGER_GET_PARAMETERS, GET_STATUS, GET_PRODUCT_DATA, GET_ELEMENT_STATUS,
// INITIALIZE_ELEMENT_STATUS and MOVE_MEDIUM. Plain C types only, so that tests and tools can
// include it without the kernel header.
//
//   0x84c9c008  serial number          out 32: VPD page 0x80 as text, zero-filled
//   0x84c9c00c  SCSI address           out 8:  the path's SCSI_ADDRESS
//   0x84c9c014  status table           in 8:   the StatusStructTable's address (kernel callers only)
//   0x84c9c018  identification page    out 560: VPD page 0x83 from its first header byte
//   0x84c9c028  standard inquiry       out 136: standard INQUIRY data
//
// Buffers shorter than these sizes are refused with STATUS_INFO_LENGTH_MISMATCH before anything
// reaches the changer. Element addresses of the standard codes count from 0 within their type.
#pragma once

// \Device\VyrChangerPath<N> with the link \DosDevices\VyrChangerPath<N>, N the lowest free number.
#define VYRCG_DEVICE_NAME_PREFIX L"\\Device\\VyrChangerPath"
#define VYRCG_LINK_NAME_PREFIX L"\\DosDevices\\VyrChangerPath"

#define IOCTL_VYRCG_GET_SERIAL_NUMBER 0x84c9c008u
#define IOCTL_VYRCG_GET_SCSI_ADDRESS 0x84c9c00cu
#define IOCTL_VYRCG_SET_STATUS_TABLE 0x84c9c014u
#define IOCTL_VYRCG_GET_DEVICE_ID_PAGE 0x84c9c018u
#define IOCTL_VYRCG_GET_STANDARD_INQUIRY 0x84c9c028u

#define VYRCG_SERIAL_NUMBER_SIZE 32u
#define VYRCG_SCSI_ADDRESS_SIZE 8u
#define VYRCG_STATUS_TABLE_SIZE 8u
#define VYRCG_DEVICE_ID_PAGE_SIZE 560u
#define VYRCG_STANDARD_INQUIRY_SIZE 136u
