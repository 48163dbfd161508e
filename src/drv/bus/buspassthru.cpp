// Applications' SCSI pass-through structures. (Being written.)
#include "bus.h"

NTSTATUS BusPassThroughInspect(ULONG Code, const UCHAR *Buffer, ULONG InLength, ULONG OutLength, BOOLEAN Caller32,
                               ULONG LockedBytes, BusPassThrough *Pt)
{
    return STATUS_NOT_IMPLEMENTED;
}
void BusPassThroughToNative(const BusPassThrough *Pt, const UCHAR *Buffer, UCHAR *Native, PVOID SystemAddress) {}
ULONG BusPassThroughToCaller(const BusPassThrough *Pt, const UCHAR *Native, ULONG NativeInformation, UCHAR *Buffer,
                             ULONG OutLength)
{
    return 0;
}
void BusPassThroughSense(const BusPassThrough *Pt, const UCHAR *Native, UCHAR *Key, UCHAR *Asc, UCHAR *Ascq)
{
    *Key = *Asc = *Ascq = 0;
}
