// The bus's handling of applications' SCSI pass-through structures, tested directly: the checks
// made before anything is copied or sent, the native copy that goes down a path (the 32-bit
// layout rebuilt with its data and sense moved), and the results put back in the caller's layout.
#include "bus.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const ULONG PT = IOCTL_SCSI_PASS_THROUGH, PTD = IOCTL_SCSI_PASS_THROUGH_DIRECT;

// A caller's structure with its buffers (the system buffer holds max(in, out) bytes); offsets of
// the 32-bit layout unless wide.
struct Spt {
    bool wide = false;
    USHORT length = 0; // the length field; 0 = the layout's size
    UCHAR cdbLength = 6, senseLength = 0, direction = SCSI_IOCTL_DATA_IN;
    ULONG dataLength = 0;
    ULONG64 data = 0; // offset, or the caller's address for direct requests
    ULONG senseOffset = 0;
    ULONG in = 0, out = 0;

    ULONG Size() const { return wide ? 56 : 44; }
    std::vector<UCHAR> Buffer() const
    {
        std::vector<UCHAR> b(std::max<size_t>({in, out, 2}));
        for (size_t i = 0; i < b.size(); i++)
            b[i] = (UCHAR)(0x40 + i * 13);
        memset(b.data(), 0, std::min<size_t>(Size(), b.size()));
        if (b.size() < Size())
            b.resize(Size()); // room to build the header; the lengths say what the caller gave
        USHORT len = length ? length : (USHORT)Size();
        ULONG timeout = 77;
        memcpy(&b[0], &len, 2);
        b[2] = 0x55, b[3] = 1, b[4] = 2, b[5] = 3;
        b[6] = cdbLength, b[7] = senseLength, b[8] = direction;
        memcpy(&b[12], &dataLength, 4);
        memcpy(&b[16], &timeout, 4);
        memcpy(&b[wide ? 24 : 20], &data, wide ? 8 : 4);
        memcpy(&b[wide ? 32 : 24], &senseOffset, 4);
        for (int i = 0; i < 16; i++)
            b[(wide ? 36 : 28) + i] = (UCHAR)(0xC0 + i);
        return b;
    }
    NTSTATUS Inspect(BusPassThrough *pt, ULONG code = PT, ULONG locked = 0) const
    {
        std::vector<UCHAR> b = Buffer();
        return BusPassThroughInspect(code, b.data(), in, out, !wide, locked, pt);
    }
};

ULONG U32(const UCHAR *b) { ULONG v; memcpy(&v, b, 4); return v; }
ULONG64 U64(const UCHAR *b) { ULONG64 v; memcpy(&v, b, 8); return v; }

// The native copy with a guard behind it, so that a write past ulNativeLength shows.
struct Native {
    std::vector<UCHAR> bytes;
    ULONG length;
    explicit Native(const BusPassThrough &pt) : bytes(pt.ulNativeLength + 64, 0xEE), length(pt.ulNativeLength)
    {
        memset(bytes.data(), 0, length);
    }
    UCHAR *data() { return bytes.data(); }
    bool GuardIntact() const
    {
        return std::all_of(bytes.begin() + length, bytes.end(), [](UCHAR b) { return b == 0xEE; });
    }
    // What a class driver does with the request: status, sense and data at the native places.
    void Complete(const BusPassThrough &pt, UCHAR status, const std::vector<UCHAR> &sense, const std::vector<UCHAR> &in)
    {
        ULONG transferred = (ULONG)in.size();
        bytes[2] = status;
        bytes[7] = (UCHAR)sense.size();
        memcpy(&bytes[12], &transferred, 4);
        std::copy(sense.begin(), sense.end(), bytes.begin() + pt.ulNativeSenseOffset);
        if (!pt.fDirect)
            std::copy(in.begin(), in.end(), bytes.begin() + pt.ulNativeDataOffset);
    }
};

std::vector<UCHAR> Pattern(size_t n, UCHAR seed)
{
    std::vector<UCHAR> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (UCHAR)(seed + i * 7);
    return v;
}

std::vector<UCHAR> FixedSense(UCHAR key, UCHAR asc, UCHAR ascq)
{
    std::vector<UCHAR> s(18, 0);
    s[0] = 0x70;
    s[2] = (UCHAR)(0x40 | key); // end-of-medium bit set: only the low four bits are the key
    s[12] = asc, s[13] = ascq;
    return s;
}

// ---------------------------------------------------------------------------------------------
// Checks
// ---------------------------------------------------------------------------------------------
TEST(PassThroughInspect, TheLengthFieldAndTheCallerChooseTheLayout)
{
    struct Case {
        const char *name;
        USHORT length;
        bool wide;
        ULONG code, in;
        NTSTATUS status;
        bool convert;
    };
    const Case cases[] = {
        {"Native", 56, true, PT, 64, STATUS_SUCCESS, false},
        {"NativeDirect", 56, true, PTD, 64, STATUS_SUCCESS, false},
        {"ShortBuffered", 44, false, PT, 64, STATUS_SUCCESS, true},
        {"ShortDirectFrom32BitCaller", 44, false, PTD, 64, STATUS_SUCCESS, true},
        {"ShortDirectFrom64BitCaller", 44, true, PTD, 64, STATUS_INFO_LENGTH_MISMATCH, false},
        {"UnknownLength", 48, true, PT, 64, STATUS_INFO_LENGTH_MISMATCH, false},
        {"NoRoomForTheLengthField", 56, true, PT, 1, STATUS_INFO_LENGTH_MISMATCH, false},
        {"InputBelowTheSmallestStructure", 56, true, PT, 40, STATUS_BUFFER_TOO_SMALL, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Spt s;
        s.wide = c.wide; // a 32-bit caller unless wide
        s.length = c.length;
        s.in = c.in, s.out = 64;
        BusPassThrough pt;
        EXPECT_EQ(s.Inspect(&pt, c.code), c.status);
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ((bool)pt.fConvert, c.convert);
            EXPECT_EQ((bool)pt.fDirect, c.code == PTD);
            EXPECT_EQ(pt.Cdb[0], 0xC0);
            EXPECT_EQ(pt.Cdb[15], 0xCF);
        }
    }
    // A 64-bit caller's buffered request with the short length is the 32-bit layout too.
    Spt s;
    s.in = s.out = 64;
    BusPassThrough pt;
    std::vector<UCHAR> b = s.Buffer();
    ASSERT_EQ(BusPassThroughInspect(PT, b.data(), 64, 64, FALSE, 0, &pt), STATUS_SUCCESS);
    EXPECT_TRUE(pt.fConvert);
}

// Every offset and length comes from the application: whatever points outside the buffer it moves
// in is refused before anything is copied; regions that end right at their buffer's end are fine.
TEST(PassThroughInspect, RegionsMustLieInsideTheBuffersTheyMoveIn)
{
    struct Case {
        const char *name;
        void (*change)(Spt &);
        ULONG code;
        NTSTATUS status;
    };
    const NTSTATUS BAD = STATUS_INVALID_PARAMETER, OK = STATUS_SUCCESS;
    const Case cases[] = {
        {"InputShorterThanTheStructure", [](Spt &s) { s.in = s.Size() - 1; }, PT, BAD},
        {"OutputShorterThanTheStructure", [](Spt &s) { s.out = s.Size() - 1; }, PT, BAD},
        {"NoCommand", [](Spt &s) { s.cdbLength = 0; }, PT, BAD},
        {"CommandTooLong", [](Spt &s) { s.cdbLength = 17; }, PT, BAD},
        {"UnknownDirection", [](Spt &s) { s.direction = 3; }, PT, BAD},
        {"SenseInsideTheStructure", [](Spt &s) { s.senseOffset = s.Size() - 4; }, PT, BAD},
        {"SensePastTheOutput", [](Spt &s) { s.senseOffset = s.out - 31; }, PT, BAD},
        {"SenseInTheInputOnly", [](Spt &s) { s.in = 512, s.out = 200, s.senseOffset = 300, s.dataLength = 0; }, PT, BAD},
        {"SenseOffsetWraps", [](Spt &s) { s.senseOffset = 0xFFFFFFF0u; }, PT, BAD},
        {"IncomingDataPastTheOutput", [](Spt &s) { s.dataLength = s.out - 128 + 1; }, PT, BAD},
        {"IncomingDataInTheInputOnly", [](Spt &s) { s.in = 1024, s.out = 128, s.dataLength = 256; }, PT, BAD},
        {"OutgoingDataPastTheInput", [](Spt &s) { s.direction = SCSI_IOCTL_DATA_OUT, s.in = 200, s.out = 1024; }, PT, BAD},
        {"DataInsideTheStructure", [](Spt &s) { s.data = 8; }, PT, BAD},
        {"DataOffsetWraps", [](Spt &s) { s.data = s.wide ? ~0ull - 8 : 0xFFFFFFF8u; }, PT, BAD},
        {"DirectWithoutLockedBuffer", [](Spt &s) { s.data = 0x10000; }, PTD, BAD},
        {"DirectBeyondTheLockedBuffer", [](Spt &s) { s.data = 0x10000, s.dataLength = 4097; }, PTD, BAD},
        {"SenseAndDataUpToTheEnds",
         [](Spt &s) { s.senseOffset = s.out - 32, s.data = s.Size(), s.dataLength = s.out - 32 - s.Size(); }, PT, OK},
        {"OutgoingDataUpToTheInputsEnd",
         [](Spt &s) { s.direction = SCSI_IOCTL_DATA_OUT, s.in = 300, s.dataLength = 300 - 128; }, PT, OK},
        {"UnusedRegionsAreNotLookedAt", [](Spt &s) { s.senseLength = 0, s.senseOffset = ~0u, s.data = ~0ull, s.dataLength = 0; },
         PT, OK},
        {"DirectAsLongAsTheLockedBuffer", [](Spt &s) { s.data = 0x10000, s.dataLength = 4096; }, PTD, OK},
    };
    for (bool wide : {false, true}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.name) + (wide ? " (64-bit)" : " (32-bit)"));
            Spt s;
            s.wide = wide;
            s.in = s.out = 512;
            s.senseLength = 32, s.senseOffset = 64;
            s.dataLength = 256, s.data = 128;
            c.change(s);
            BusPassThrough pt;
            ULONG locked = c.code == PTD && strstr(c.name, "Locked") && !strstr(c.name, "Without") ? 4096 : 0;
            // Below the smallest structure the input is too small rather than malformed.
            NTSTATUS expected = s.in < 44 ? STATUS_BUFFER_TOO_SMALL : c.status;
            EXPECT_EQ(s.Inspect(&pt, c.code, locked), expected);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Native structures pass as they are
// ---------------------------------------------------------------------------------------------
TEST(PassThroughNative, GoesDownAsItIsAndComesBackClippedWithTheCallersOwnPointer)
{
    Spt s;
    s.wide = true;
    s.in = 120, s.out = 600;
    s.senseLength = 32, s.senseOffset = 56;
    s.dataLength = 512, s.data = 88;
    std::vector<UCHAR> caller = s.Buffer();
    BusPassThrough pt;
    ASSERT_EQ(BusPassThroughInspect(PT, caller.data(), s.in, s.out, FALSE, 0, &pt), STATUS_SUCCESS);
    EXPECT_EQ(pt.ulNativeLength, 600u);
    EXPECT_EQ(pt.ulNativeInLength, 120u);
    Native n(pt);
    BusPassThroughToNative(&pt, caller.data(), n.data(), nullptr);
    EXPECT_EQ(memcmp(n.data(), caller.data(), s.in), 0);
    std::vector<UCHAR> data = Pattern(200, 3);
    n.Complete(pt, 0, {}, data);
    std::vector<UCHAR> back = caller;
    EXPECT_EQ(BusPassThroughToCaller(&pt, n.data(), 88 + 200, back.data(), s.out), 288u);
    EXPECT_EQ(memcmp(back.data() + 88, data.data(), data.size()), 0);
    back = caller;
    EXPECT_EQ(BusPassThroughToCaller(&pt, n.data(), 5000, back.data(), 100), 100u) << "never past the output";
    EXPECT_EQ(back[100], caller[100]);

    // Direct: the system address goes down, the caller's address comes back, even in part.
    s.in = s.out = 96;
    s.dataLength = 4096, s.data = 0x123456789000ull;
    caller = s.Buffer();
    ASSERT_EQ(BusPassThroughInspect(PTD, caller.data(), s.in, s.out, FALSE, 8192, &pt), STATUS_SUCCESS);
    Native direct(pt);
    UCHAR system[16];
    BusPassThroughToNative(&pt, caller.data(), direct.data(), system);
    EXPECT_EQ(U64(direct.data() + 24), (ULONG64)(uintptr_t)system);
    back.assign(caller.size(), 0);
    EXPECT_EQ(BusPassThroughToCaller(&pt, direct.data(), 88, back.data(), s.out), 88u);
    EXPECT_EQ(U64(back.data() + 24), 0x123456789000ull);
    back.assign(caller.size(), 0);
    EXPECT_EQ(BusPassThroughToCaller(&pt, direct.data(), 28, back.data(), s.out), 28u);
    EXPECT_EQ(U32(back.data() + 24), 0x56789000u);
}

// ---------------------------------------------------------------------------------------------
// 32-bit structures
// ---------------------------------------------------------------------------------------------
TEST(PassThroughConversion, RegionsMoveTogetherToAlignedPlacesBehindTheNativeStructure)
{
    struct Case {
        const char *name;
        ULONG senseOffset, data;
        UCHAR direction;
        ULONG nativeSense, nativeData;
    };
    const Case cases[] = {
        // The usual 32-bit layout: a filler after the structure, sense, then data.
        {"SenseThenData", 48, 80, SCSI_IOCTL_DATA_IN, 56, 88},
        {"DataThenSense", 560, 48, SCSI_IOCTL_DATA_IN, 568, 56},
        {"OutgoingData", 48, 80, SCSI_IOCTL_DATA_OUT, 56, 88},
        // Unaligned: the lower region fixes the move for both.
        {"Unaligned", 61, 99, SCSI_IOCTL_DATA_IN, 72, 110},
        // Right behind the structure: moved past the native structure, not onto its command bytes.
        {"SenseRightBehindTheStructure", 44, 76, SCSI_IOCTL_DATA_OUT, 56, 88},
        {"DataRightBehindTheStructure", 300, 44, SCSI_IOCTL_DATA_OUT, 312, 56},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Spt s;
        s.cdbLength = 16;
        s.senseLength = 32, s.senseOffset = c.senseOffset;
        s.dataLength = 220, s.data = c.data, s.direction = c.direction;
        s.out = 600;
        s.in = c.direction == SCSI_IOCTL_DATA_OUT ? 600 : 44;
        std::vector<UCHAR> caller = s.Buffer();
        BusPassThrough pt;
        ASSERT_EQ(BusPassThroughInspect(PT, caller.data(), s.in, s.out, TRUE, 0, &pt), STATUS_SUCCESS);
        EXPECT_EQ(pt.ulNativeSenseOffset, c.nativeSense);
        EXPECT_EQ(pt.ulNativeDataOffset, c.nativeData);
        EXPECT_EQ(pt.ulNativeLength, std::max(c.nativeSense + 32, c.nativeData + 220));
        EXPECT_GE(pt.ulNativeInLength, 56u);

        Native n(pt);
        BusPassThroughToNative(&pt, caller.data(), n.data(), nullptr);
        EXPECT_TRUE(n.GuardIntact());
        EXPECT_EQ(U32(n.data()) & 0xFFFF, 56u);
        EXPECT_EQ(memcmp(n.data() + 2, caller.data() + 2, 18), 0) << "status, address, lengths, direction, timeout";
        EXPECT_EQ(U64(n.data() + 24), c.nativeData);
        EXPECT_EQ(U32(n.data() + 32), c.nativeSense);
        EXPECT_EQ(memcmp(n.data() + 36, caller.data() + 28, 16), 0) << "all sixteen command bytes intact";
        EXPECT_EQ(memcmp(n.data() + c.nativeData, caller.data() + c.data, 220), 0);
        EXPECT_EQ(memcmp(n.data() + c.nativeSense, caller.data() + c.senseOffset, 32), 0);
    }
}

TEST(PassThroughConversion, ResultsGoBackToTheCallersPlacesAndNowhereElse)
{
    for (bool senseFirst : {true, false}) {
        SCOPED_TRACE(senseFirst ? "sense first" : "data first");
        Spt s;
        s.senseLength = 32, s.senseOffset = senseFirst ? 48 : 48 + 512;
        s.dataLength = 512, s.data = senseFirst ? 80 : 48;
        s.in = 44, s.out = 600;
        std::vector<UCHAR> caller = s.Buffer();
        BusPassThrough pt;
        ASSERT_EQ(BusPassThroughInspect(PT, caller.data(), s.in, s.out, TRUE, 0, &pt), STATUS_SUCCESS);
        Native n(pt);
        BusPassThroughToNative(&pt, caller.data(), n.data(), nullptr);
        std::vector<UCHAR> data = Pattern(300, 9), sense = FixedSense(3, 0x11, 0x01);
        n.Complete(pt, 2, sense, data);
        std::vector<UCHAR> back = caller;
        ULONG information = BusPassThroughToCaller(&pt, n.data(), 0, back.data(), s.out);

        std::vector<UCHAR> expected = caller;
        ULONG transferred = 300;
        expected[2] = 2;
        expected[7] = (UCHAR)sense.size();
        memcpy(&expected[12], &transferred, 4);
        std::copy(sense.begin(), sense.end(), expected.begin() + s.senseOffset);
        std::copy(data.begin(), data.end(), expected.begin() + s.data);
        EXPECT_EQ(back, expected);
        EXPECT_EQ(information, std::max<ULONG>(s.senseOffset + 18, (ULONG)s.data + 300));

        // Counts that claim more than was asked for are held to the request.
        n.data()[7] = 200;
        ULONG huge = 0x10000;
        memcpy(n.data() + 12, &huge, 4);
        back = caller;
        information = BusPassThroughToCaller(&pt, n.data(), 0, back.data(), s.out);
        EXPECT_EQ(back[7], 32);
        EXPECT_EQ(U32(back.data() + 12), 512u);
        EXPECT_EQ(information, 592u);
    }
}

TEST(PassThroughConversion, DirectRequestKeepsTheCallersPointerAndMovesOnlyTheSense)
{
    Spt s;
    s.senseLength = 32, s.senseOffset = 44;
    s.dataLength = 8192, s.data = 0x00A10000;
    s.in = s.out = 76;
    std::vector<UCHAR> caller = s.Buffer();
    BusPassThrough pt;
    ASSERT_EQ(BusPassThroughInspect(PTD, caller.data(), s.in, s.out, TRUE, 8192, &pt), STATUS_SUCCESS);
    EXPECT_EQ(pt.CallerDataBuffer, 0x00A10000u);
    EXPECT_EQ(pt.ulNativeSenseOffset, 56u);
    EXPECT_EQ(pt.ulNativeLength, 88u);

    Native n(pt);
    UCHAR system[8];
    BusPassThroughToNative(&pt, caller.data(), n.data(), system);
    EXPECT_TRUE(n.GuardIntact());
    EXPECT_EQ(U64(n.data() + 24), (ULONG64)(uintptr_t)system);
    EXPECT_EQ(U32(n.data() + 12), 8192u);

    std::vector<UCHAR> sense = FixedSense(4, 0x44, 0);
    n.Complete(pt, 2, sense, {});
    ULONG transferred = 4096;
    memcpy(n.data() + 12, &transferred, 4);
    std::vector<UCHAR> back = caller;
    EXPECT_EQ(BusPassThroughToCaller(&pt, n.data(), 74, back.data(), s.out), 44u + 18u);
    EXPECT_EQ(U32(back.data() + 20), 0x00A10000u) << "the caller's pointer is untouched";
    EXPECT_EQ(U32(back.data() + 12), 4096u);
    EXPECT_EQ(memcmp(&back[44], sense.data(), sense.size()), 0);
}

// ---------------------------------------------------------------------------------------------
// Sense of the returned structure
// ---------------------------------------------------------------------------------------------
TEST(PassThroughSense, KeyAscAndAscqAreTakenOnlyFromSenseThatCameBack)
{
    struct Case {
        UCHAR requested, returned;
        UCHAR key, asc, ascq;
    };
    // Whatever lies behind the returned sense must not be taken for ASC and ASCQ, even when the
    // returned length claims more than the caller asked for.
    const Case cases[] = {{18, 18, 0xB, 0x47, 0x03}, {18, 14, 0xB, 0x47, 0x03}, {18, 13, 0xB, 0x47, 0},
                          {18, 12, 0xB, 0, 0},       {18, 2, 0, 0, 0},          {8, 0xFF, 0xB, 0, 0}};
    for (bool wide : {false, true}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::to_string(c.returned) + (wide ? " (64-bit)" : " (32-bit)"));
            Spt s;
            s.wide = wide;
            s.senseLength = c.requested, s.senseOffset = wide ? 56 : 48;
            s.in = s.out = 80;
            std::vector<UCHAR> caller = s.Buffer();
            BusPassThrough pt;
            ASSERT_EQ(BusPassThroughInspect(PT, caller.data(), s.in, s.out, !wide, 0, &pt), STATUS_SUCCESS);
            Native n(pt);
            BusPassThroughToNative(&pt, caller.data(), n.data(), nullptr);
            std::vector<UCHAR> sense = FixedSense(0xB, 0x47, 0x03);
            sense.resize(c.requested);
            n.Complete(pt, 2, sense, {});
            memset(n.data() + pt.ulNativeSenseOffset + c.requested, 0x5A,
                   n.length - (pt.ulNativeSenseOffset + c.requested)); // stale bytes behind the sense
            n.data()[7] = c.returned;
            UCHAR key = 0xFF, asc = 0xFF, ascq = 0xFF;
            BusPassThroughSense(&pt, n.data(), &key, &asc, &ascq);
            EXPECT_EQ(key, c.key);
            EXPECT_EQ(asc, c.asc);
            EXPECT_EQ(ascq, c.ascq);
        }
    }
}

} // namespace
