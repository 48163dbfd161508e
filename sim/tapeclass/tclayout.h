// The layouts and values of the platform's tape and SCSI port interfaces that the stand-in relies
// on, checked wherever the declarations come from: the host face (hk/ntddtape.h, hk/ntddscsi.h),
// mingw-w64's kernel headers with taperecords.h (Windows image), and mingw-w64's user-mode headers
// (a check unit of the Windows build). Include after the headers that declare them.
#pragma once

static_assert(IOCTL_TAPE_ERASE == 0x1FC000, "IOCTL_TAPE_ERASE");
static_assert(IOCTL_TAPE_PREPARE == 0x1F4004, "IOCTL_TAPE_PREPARE");
static_assert(IOCTL_TAPE_WRITE_MARKS == 0x1FC008, "IOCTL_TAPE_WRITE_MARKS");
static_assert(IOCTL_TAPE_GET_POSITION == 0x1F400C, "IOCTL_TAPE_GET_POSITION");
static_assert(IOCTL_TAPE_SET_POSITION == 0x1F4010, "IOCTL_TAPE_SET_POSITION");
static_assert(IOCTL_TAPE_GET_DRIVE_PARAMS == 0x1F4014, "IOCTL_TAPE_GET_DRIVE_PARAMS");
static_assert(IOCTL_TAPE_SET_DRIVE_PARAMS == 0x1FC018, "IOCTL_TAPE_SET_DRIVE_PARAMS");
static_assert(IOCTL_TAPE_GET_MEDIA_PARAMS == 0x1F401C, "IOCTL_TAPE_GET_MEDIA_PARAMS");
static_assert(IOCTL_TAPE_SET_MEDIA_PARAMS == 0x1F4020, "IOCTL_TAPE_SET_MEDIA_PARAMS");
static_assert(IOCTL_TAPE_GET_STATUS == 0x1F4024, "IOCTL_TAPE_GET_STATUS");
static_assert(IOCTL_TAPE_CREATE_PARTITION == 0x1FC028, "IOCTL_TAPE_CREATE_PARTITION");
static_assert(IOCTL_TAPE_CHECK_VERIFY == 0x1F4800, "IOCTL_TAPE_CHECK_VERIFY");
static_assert(IOCTL_STORAGE_RESERVE == 0x2D4810, "IOCTL_STORAGE_RESERVE");
static_assert(IOCTL_STORAGE_RELEASE == 0x2D4814, "IOCTL_STORAGE_RELEASE");
static_assert(IOCTL_STORAGE_PERSISTENT_RESERVE_IN == 0x2D5018, "IOCTL_STORAGE_PERSISTENT_RESERVE_IN");
static_assert(IOCTL_STORAGE_PERSISTENT_RESERVE_OUT == 0x2DD01C, "IOCTL_STORAGE_PERSISTENT_RESERVE_OUT");
static_assert(sizeof(PERSISTENT_RESERVE_COMMAND) == 12 &&
                  FIELD_OFFSET(PERSISTENT_RESERVE_COMMAND, PR_IN.AllocationLength) == 10 &&
                  FIELD_OFFSET(PERSISTENT_RESERVE_COMMAND, PR_OUT.ParameterList) == 10,
              "PERSISTENT_RESERVE_COMMAND");
static_assert(IOCTL_SCSI_PASS_THROUGH == 0x4D004, "IOCTL_SCSI_PASS_THROUGH");
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x4D014, "IOCTL_SCSI_PASS_THROUGH_DIRECT");
static_assert(IOCTL_SCSI_GET_ADDRESS == 0x41018, "IOCTL_SCSI_GET_ADDRESS");

static_assert(sizeof(TAPE_ERASE) == 8 && FIELD_OFFSET(TAPE_ERASE, Immediate) == 4, "TAPE_ERASE");
static_assert(sizeof(TAPE_PREPARE) == 8 && FIELD_OFFSET(TAPE_PREPARE, Immediate) == 4, "TAPE_PREPARE");
static_assert(sizeof(TAPE_WRITE_MARKS) == 12 && FIELD_OFFSET(TAPE_WRITE_MARKS, Count) == 4 &&
                  FIELD_OFFSET(TAPE_WRITE_MARKS, Immediate) == 8,
              "TAPE_WRITE_MARKS");
static_assert(sizeof(TAPE_GET_POSITION) == 16 && FIELD_OFFSET(TAPE_GET_POSITION, Partition) == 4 &&
                  FIELD_OFFSET(TAPE_GET_POSITION, Offset) == 8,
              "TAPE_GET_POSITION");
static_assert(sizeof(TAPE_SET_POSITION) == 24 && FIELD_OFFSET(TAPE_SET_POSITION, Partition) == 4 &&
                  FIELD_OFFSET(TAPE_SET_POSITION, Offset) == 8 && FIELD_OFFSET(TAPE_SET_POSITION, Immediate) == 16,
              "TAPE_SET_POSITION");
static_assert(sizeof(TAPE_GET_DRIVE_PARAMETERS) == 32 && FIELD_OFFSET(TAPE_GET_DRIVE_PARAMETERS, DefaultBlockSize) == 4 &&
                  FIELD_OFFSET(TAPE_GET_DRIVE_PARAMETERS, MaximumBlockSize) == 8 &&
                  FIELD_OFFSET(TAPE_GET_DRIVE_PARAMETERS, MinimumBlockSize) == 12 &&
                  FIELD_OFFSET(TAPE_GET_DRIVE_PARAMETERS, MaximumPartitionCount) == 16 &&
                  FIELD_OFFSET(TAPE_GET_DRIVE_PARAMETERS, FeaturesLow) == 20 &&
                  FIELD_OFFSET(TAPE_GET_DRIVE_PARAMETERS, FeaturesHigh) == 24 &&
                  FIELD_OFFSET(TAPE_GET_DRIVE_PARAMETERS, EOTWarningZoneSize) == 28,
              "TAPE_GET_DRIVE_PARAMETERS");
static_assert(sizeof(TAPE_GET_MEDIA_PARAMETERS) == 32 && FIELD_OFFSET(TAPE_GET_MEDIA_PARAMETERS, Remaining) == 8 &&
                  FIELD_OFFSET(TAPE_GET_MEDIA_PARAMETERS, BlockSize) == 16 &&
                  FIELD_OFFSET(TAPE_GET_MEDIA_PARAMETERS, PartitionCount) == 20 &&
                  FIELD_OFFSET(TAPE_GET_MEDIA_PARAMETERS, WriteProtected) == 24,
              "TAPE_GET_MEDIA_PARAMETERS");
static_assert(sizeof(TAPE_SET_MEDIA_PARAMETERS) == 4, "TAPE_SET_MEDIA_PARAMETERS");
static_assert(TAPE_REWIND == 0 && TAPE_ABSOLUTE_BLOCK == 1 && TAPE_LOGICAL_BLOCK == 2 && TAPE_PSEUDO_LOGICAL_BLOCK == 3 &&
                  TAPE_SPACE_END_OF_DATA == 4 && TAPE_SPACE_RELATIVE_BLOCKS == 5 && TAPE_SPACE_FILEMARKS == 6 &&
                  TAPE_SPACE_SEQUENTIAL_FMKS == 7 && TAPE_SPACE_SETMARKS == 8 && TAPE_SPACE_SEQUENTIAL_SMKS == 9,
              "set-position methods");
static_assert(TAPE_LOAD == 0 && TAPE_UNLOAD == 1 && TAPE_TENSION == 2 && TAPE_LOCK == 3 && TAPE_UNLOCK == 4 &&
                  TAPE_FORMAT == 5,
              "prepare operations");
static_assert(TAPE_SETMARKS == 0 && TAPE_FILEMARKS == 1 && TAPE_SHORT_FILEMARKS == 2 && TAPE_LONG_FILEMARKS == 3,
              "mark types");
static_assert(TAPE_ABSOLUTE_POSITION == 0 && TAPE_LOGICAL_POSITION == 1 && TAPE_PSEUDO_LOGICAL_POSITION == 2,
              "position types");
static_assert(TAPE_ERASE_SHORT == 0 && TAPE_ERASE_LONG == 1, "erase types");
static_assert(TAPE_DRIVE_HIGH_FEATURES == 0x80000000 && TAPE_DRIVE_LOAD_UNLOAD == 0x80000001 &&
                  TAPE_DRIVE_WRITE_MARK_IMMED == 0x90000000 && TAPE_DRIVE_VARIABLE_BLOCK == 0x00000800 &&
                  TAPE_DRIVE_GET_LOGICAL_BLK == 0x00200000,
              "drive feature bits");

static_assert(sizeof(SCSI_PASS_THROUGH) == 56 && FIELD_OFFSET(SCSI_PASS_THROUGH, ScsiStatus) == 2 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, CdbLength) == 6 && FIELD_OFFSET(SCSI_PASS_THROUGH, SenseInfoLength) == 7 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, DataIn) == 8 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, DataTransferLength) == 12 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, TimeOutValue) == 16 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, DataBufferOffset) == 24 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, SenseInfoOffset) == 32 && FIELD_OFFSET(SCSI_PASS_THROUGH, Cdb) == 36,
              "SCSI_PASS_THROUGH");
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56 && FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 24 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 32 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, Cdb) == 36,
              "SCSI_PASS_THROUGH_DIRECT");
static_assert(sizeof(SCSI_PASS_THROUGH32) == 44 && FIELD_OFFSET(SCSI_PASS_THROUGH32, DataBufferOffset) == 20 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH32, SenseInfoOffset) == 24 && FIELD_OFFSET(SCSI_PASS_THROUGH32, Cdb) == 28,
              "SCSI_PASS_THROUGH32");
static_assert(SCSI_IOCTL_DATA_OUT == 0 && SCSI_IOCTL_DATA_IN == 1 && SCSI_IOCTL_DATA_UNSPECIFIED == 2,
              "pass-through directions");
static_assert(sizeof(SCSI_ADDRESS) == 8 && FIELD_OFFSET(SCSI_ADDRESS, PortNumber) == 4 &&
                  FIELD_OFFSET(SCSI_ADDRESS, Lun) == 7,
              "SCSI_ADDRESS");
