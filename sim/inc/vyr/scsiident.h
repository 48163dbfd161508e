// The identity data the testbed's device models give alike: the standard INQUIRY data, the unit
// serial number page and the device identification page (VPD 0x83) with the logical unit's NAA designator (from its WWNN)
// first when it has one, then its T10 vendor designator (vendor, product, serial number).
#pragma once

#include "kernel.h"

struct SimScsiIdentity {
    UCHAR PeripheralType; // 0x01 sequential-access device, 0x08 medium changer
    const CHAR *Vendor;   // 8 bytes
    const CHAR *Product;  // 16 bytes
    const CHAR *Revision; // 4 bytes
    const CHAR *Serial;
    ULONG SerialLength;
    const UCHAR *Wwnn; // 8 bytes, or null: no NAA designator
};

// 36 bytes of standard INQUIRY data into Out; the length.
inline ULONG SimBuildStandardInquiry(const SimScsiIdentity *Id, UCHAR *Out)
{
    RtlZeroMemory(Out, 36);
    Out[0] = Id->PeripheralType;
    Out[1] = 0x80; // removable medium
    Out[2] = 0x05; // SPC-3
    Out[3] = 0x02; // response data format 2
    Out[4] = 36 - 5;
    Out[6] = 0x10; // MULTIP: the device has more than one port
    RtlCopyMemory(Out + 8, Id->Vendor, 8);
    RtlCopyMemory(Out + 16, Id->Product, 16);
    RtlCopyMemory(Out + 32, Id->Revision, 4);
    return 36;
}

// The device identification page into Out (room for 4 + 12 + 4 + 24 + the serial number); the length.
inline ULONG SimBuildIdentificationPage(const SimScsiIdentity *Id, UCHAR *Out)
{
    Out[0] = Id->PeripheralType;
    Out[1] = 0x83;
    Out[2] = 0;
    ULONG at = 4;
    if (Id->Wwnn) {
        Out[at] = 0x01;     // binary
        Out[at + 1] = 0x03; // association: logical unit; type: NAA
        Out[at + 2] = 0;
        Out[at + 3] = 8;
        RtlCopyMemory(Out + at + 4, Id->Wwnn, 8);
        at += 12;
    }
    ULONG t10 = 8 + 16 + Id->SerialLength;
    Out[at] = 0x02;     // ASCII
    Out[at + 1] = 0x01; // association: logical unit; type: T10 vendor identification
    Out[at + 2] = 0;
    Out[at + 3] = (UCHAR)t10;
    RtlCopyMemory(Out + at + 4, Id->Vendor, 8);
    RtlCopyMemory(Out + at + 12, Id->Product, 16);
    RtlCopyMemory(Out + at + 28, Id->Serial, Id->SerialLength);
    at += 4 + t10;
    Out[2] = (UCHAR)((at - 4) >> 8);
    Out[3] = (UCHAR)(at - 4);
    return at;
}

// The data an INQUIRY asks for: the standard data, or (Evpd) the supported pages list, the unit
// serial number page 0x80 or the identification page 0x83, into Out (128 bytes). FALSE for a page
// the device does not have.
inline BOOLEAN SimBuildInquiryData(const SimScsiIdentity *Id, BOOLEAN Evpd, UCHAR Page, UCHAR *Out, ULONG *Length)
{
    RtlZeroMemory(Out, 128);
    if (!Evpd) {
        *Length = SimBuildStandardInquiry(Id, Out);
        return TRUE;
    }
    switch (Page) {
    case 0x00:
        Out[0] = Id->PeripheralType;
        Out[3] = 3;
        Out[4] = 0x00;
        Out[5] = 0x80;
        Out[6] = 0x83;
        *Length = 7;
        return TRUE;
    case 0x80:
        Out[0] = Id->PeripheralType;
        Out[1] = 0x80;
        Out[3] = (UCHAR)Id->SerialLength;
        RtlCopyMemory(Out + 4, Id->Serial, Id->SerialLength);
        *Length = 4 + Id->SerialLength;
        return TRUE;
    case 0x83:
        *Length = SimBuildIdentificationPage(Id, Out);
        return TRUE;
    default:
        return FALSE;
    }
}
