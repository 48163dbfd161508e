// Compiles tclayout.h against mingw-w64's user-mode declarations of the tape and SCSI port
// interfaces (Windows build only; nothing here runs).
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

// winnt.h and mingw-w64's ntddtape.h both declare the drive-problem enumeration; ntddtape.h's copy
// is renamed out of the way, so that its control codes can be checked here too.
#define _TAPE_DRIVE_PROBLEM_TYPE TcpNtddtapeProblemType
#define TAPE_DRIVE_PROBLEM_TYPE TcpNtddtapeProblemTypeT
#define TapeDriveProblemNone TcpProblem0
#define TapeDriveReadWriteWarning TcpProblem1
#define TapeDriveReadWriteError TcpProblem2
#define TapeDriveReadWarning TcpProblem3
#define TapeDriveWriteWarning TcpProblem4
#define TapeDriveReadError TcpProblem5
#define TapeDriveWriteError TcpProblem6
#define TapeDriveHardwareError TcpProblem7
#define TapeDriveUnsupportedMedia TcpProblem8
#define TapeDriveScsiConnectionError TcpProblem9
#define TapeDriveTimetoClean TcpProblem10
#define TapeDriveCleanDriveNow TcpProblem11
#define TapeDriveMediaLifeExpired TcpProblem12
#define TapeDriveSnappedTape TcpProblem13
#include <ntddtape.h>

#include "tclayout.h"
