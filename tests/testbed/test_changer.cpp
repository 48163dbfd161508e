// The medium changer model as an initiator sees it: moves between every kind of element and the
// errors of a move that cannot be made, READ ELEMENT STATUS over ranges, types and short
// allocation lengths, identification, mode pages, and unit attentions per I_T nexus.
#include "changer.h"
#include "kernel_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

constexpr ULONG64 kNexusA = 0x0FAB000000010001ull, kNexusB = 0x0FAB000000020001ull;
constexpr USHORT kSlot = FAB_CHANGER_SLOT_ADDRESS, kDrive = FAB_CHANGER_DRIVE_ADDRESS,
                 kPortal = FAB_CHANGER_PORTAL_ADDRESS;

struct Result {
    UCHAR status = 0xFF;
    std::vector<UCHAR> data;
    std::vector<UCHAR> sense;
    UCHAR Key() const { return sense.size() > 2 ? sense[2] & 0x0F : 0xFF; }
    UCHAR Asc() const { return sense.size() > 12 ? sense[12] : 0xFF; }
    UCHAR Ascq() const { return sense.size() > 13 ? sense[13] : 0xFF; }
};

ULONG Be16(const UCHAR *p) { return ((ULONG)p[0] << 8) | p[1]; }
ULONG Be24(const UCHAR *p) { return ((ULONG)p[0] << 16) | ((ULONG)p[1] << 8) | p[2]; }

// One element descriptor of a READ ELEMENT STATUS report.
struct Element {
    UCHAR type;
    ULONG address;
    bool full;
    bool sourceValid;
    ULONG source;
    std::string tag;
};

class ChangerModelTest : public vyr::test::KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        ChangerConfig config{};
        config.SerialNumber = "CHG0000001";
        config.VendorId = "VYR";
        config.ProductId = "VL-3";
        config.ProductRevision = "0210";
        static const UCHAR wwnn[8] = {0x50, 0x0F, 0xAB, 0, 0, 0, 0, 0x42};
        config.Wwnn = wwnn;
        config.StorageSlots = 6;
        config.Drives = 2;
        config.Portals = 1;
        config.FullSlots = 3;
        ASSERT_EQ(ChangerCreate(&config, &changer_), STATUS_SUCCESS);
        // Each nexus first hears of the power-on.
        for (ULONG64 nexus : {kNexusA, kNexusB})
            ASSERT_EQ(Run(nexus, {0x00, 0, 0, 0, 0, 0}).Asc(), 0x29);
    }
    void TearDown() override
    {
        ChangerDelete(changer_);
        KernelTest::TearDown();
    }

    Result Run(ULONG64 nexus, std::vector<UCHAR> cdb, ULONG inLength = 0)
    {
        FabScsiRequest request{};
        memcpy(request.Cdb, cdb.data(), cdb.size());
        request.CdbLength = (UCHAR)cdb.size();
        std::vector<UCHAR> buffer(inLength + 16, 0xCC);
        request.Direction = inLength ? FAB_DATA_IN : FAB_DATA_NONE;
        request.DataLength = inLength;
        request.Data = inLength ? buffer.data() : nullptr;
        ChangerExecute(changer_, nexus, &request);
        Result r;
        r.status = request.ScsiStatus;
        EXPECT_LE(request.DataTransferred, inLength);
        for (ULONG i = inLength; i < buffer.size(); i++)
            EXPECT_EQ(buffer[i], 0xCC) << "written past the buffer at " << i;
        r.data.assign(buffer.begin(), buffer.begin() + request.DataTransferred);
        if (request.ScsiStatus == SCSISTAT_CHECK_CONDITION)
            r.sense.assign(request.Sense, request.Sense + request.SenseLength);
        return r;
    }
    Result Move(ULONG source, ULONG target, ULONG64 nexus = kNexusA)
    {
        return Run(nexus, {0xA5, 0, 0, 0, (UCHAR)(source >> 8), (UCHAR)source, (UCHAR)(target >> 8), (UCHAR)target, 0,
                           0, 0, 0});
    }
    Result ReadStatus(UCHAR type, ULONG start, ULONG count, ULONG allocation, bool volTag = false,
                      ULONG buffer = 4096)
    {
        return Run(kNexusA,
                   {0xB8, (UCHAR)(type | (volTag ? 0x10 : 0)), (UCHAR)(start >> 8), (UCHAR)start, (UCHAR)(count >> 8),
                    (UCHAR)count, 0, (UCHAR)(allocation >> 16), (UCHAR)(allocation >> 8), (UCHAR)allocation, 0, 0},
                   buffer);
    }
    // Takes a whole report apart, checking every length field against the bytes that came.
    static std::vector<Element> Parse(const Result &r)
    {
        std::vector<Element> elements;
        EXPECT_GE(r.data.size(), 8u);
        if (r.data.size() < 8)
            return elements;
        EXPECT_EQ(Be24(&r.data[5]) + 8, r.data.size());
        size_t at = 8;
        while (at + 8 <= r.data.size()) {
            const UCHAR *page = &r.data[at];
            ULONG descriptor = Be16(page + 2), bytes = Be24(page + 5);
            bool tagged = page[1] & 0x80;
            EXPECT_EQ(descriptor, tagged ? 48u : 12u);
            at += 8;
            EXPECT_EQ(bytes % descriptor, 0u);
            EXPECT_LE(at + bytes, r.data.size());
            for (size_t end = at + bytes; at + descriptor <= end && at + descriptor <= r.data.size(); at += descriptor) {
                const UCHAR *d = &r.data[at];
                Element e{page[0], Be16(d), (d[2] & 1) != 0, (d[9] & 0x80) != 0, Be16(d + 10), {}};
                if (tagged)
                    e.tag.assign((const char *)d + 12, 9);
                elements.push_back(e);
            }
        }
        EXPECT_EQ(Be16(&r.data[2]), elements.size());
        return elements;
    }
    FabChangerState State()
    {
        FabChangerState s{};
        ChangerQuery(changer_, &s);
        return s;
    }

    ChangerDevice *changer_ = nullptr;
};

TEST_F(ChangerModelTest, CartridgesMoveBetweenSlotsDrivesAndThePortalAndRememberTheirSlot)
{
    ASSERT_EQ(Move(kSlot + 1, kDrive + 0).status, SCSISTAT_GOOD);
    ASSERT_EQ(Move(kDrive + 0, kDrive + 1).status, SCSISTAT_GOOD); // drive to drive keeps the home slot
    ASSERT_EQ(Move(kSlot + 2, kPortal).status, SCSISTAT_GOOD);
    ASSERT_EQ(Move(kPortal, kSlot + 5, kNexusB).status, SCSISTAT_GOOD); // another nexus sees the same changer
    FabChangerState s = State();
    EXPECT_EQ(s.Moves, 4u);
    EXPECT_EQ(s.Slots[0], 1);
    EXPECT_EQ(s.Slots[1], 0);
    EXPECT_EQ(s.Slots[2], 0);
    EXPECT_EQ(s.Slots[5], 3);
    EXPECT_EQ(s.DriveElements[0], 0);
    EXPECT_EQ(s.DriveElements[1], 2);
    EXPECT_EQ(s.Portals[0], 0);

    std::vector<Element> drives = Parse(ReadStatus(4, 0, 10, 4096, true));
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_FALSE(drives[0].full);
    EXPECT_TRUE(drives[1].full);
    EXPECT_TRUE(drives[1].sourceValid);
    EXPECT_EQ(drives[1].source, kSlot + 1u);
    EXPECT_EQ(drives[1].tag, "VYR0002L8");
    // Back home: the slot's source is the slot it came from last, not a drive.
    ASSERT_EQ(Move(kDrive + 1, kSlot + 1).status, SCSISTAT_GOOD);
    std::vector<Element> slots = Parse(ReadStatus(2, kSlot + 1, 1, 4096));
    ASSERT_EQ(slots.size(), 1u);
    EXPECT_TRUE(slots[0].full);
    EXPECT_EQ(slots[0].source, kSlot + 1u);
}

TEST_F(ChangerModelTest, AMoveThatCannotBeMadeChangesNothing)
{
    struct Case {
        const char *what;
        ULONG source, target;
        UCHAR key, asc, ascq;
    } cases[] = {
        {"empty source", kSlot + 4, kDrive, 0x5, 0x3B, 0x0E},
        {"full destination", kSlot + 0, kSlot + 1, 0x5, 0x3B, 0x0D},
        {"no such source", kSlot + 6, kDrive, 0x5, 0x21, 0x01},
        {"no such destination", kSlot + 0, kDrive + 2, 0x5, 0x21, 0x01},
        {"transport as destination", kSlot + 0, FAB_CHANGER_TRANSPORT_ADDRESS, 0x5, 0x21, 0x01},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Result r = Move(c.source, c.target);
        ASSERT_EQ(r.status, SCSISTAT_CHECK_CONDITION);
        EXPECT_EQ(r.Key(), c.key);
        EXPECT_EQ(r.Asc(), c.asc);
        EXPECT_EQ(r.Ascq(), c.ascq);
    }
    // A cartridge cannot be turned over, nor moved by a transport the changer does not have.
    EXPECT_EQ(Run(kNexusA, {0xA5, 0, 0, 0, 0x10, 0x00, 0x01, 0x00, 0, 0, 1, 0}).Asc(), 0x24);
    EXPECT_EQ(Run(kNexusA, {0xA5, 0, 0, 7, 0x10, 0x00, 0x01, 0x00, 0, 0, 0, 0}).Asc(), 0x21);
    FabChangerState s = State();
    EXPECT_EQ(s.Moves, 0u);
    EXPECT_EQ(s.Slots[0], 1);
    EXPECT_EQ(s.Slots[1], 2);
    EXPECT_EQ(s.DriveElements[0], 0);
    // A move onto itself is no move.
    EXPECT_EQ(Move(kSlot, kSlot).status, SCSISTAT_GOOD);
    EXPECT_EQ(State().Moves, 0u);
}

TEST_F(ChangerModelTest, ElementStatusCoversRangesTypesAndShortAllocations)
{
    // Every element in address order: transport, portal, drives, slots, one page per type.
    Result all = ReadStatus(0, 0, 100, 4096);
    ASSERT_EQ(all.status, SCSISTAT_GOOD);
    std::vector<Element> elements = Parse(all);
    ASSERT_EQ(elements.size(), 1u + 1u + 2u + 6u);
    EXPECT_EQ(elements[0].type, 1);
    EXPECT_EQ(elements[1].type, 3);
    EXPECT_EQ(elements[2].type, 4);
    EXPECT_EQ(elements[4].type, 2);
    EXPECT_EQ(elements[4].address, kSlot + 0u);
    EXPECT_TRUE(elements[6].full);
    EXPECT_FALSE(elements[7].full);
    EXPECT_EQ(Be16(&all.data[0]), FAB_CHANGER_TRANSPORT_ADDRESS);

    // A range within one type, starting between addresses, and capped by the count.
    std::vector<Element> range = Parse(ReadStatus(2, kSlot + 2, 3, 4096));
    ASSERT_EQ(range.size(), 3u);
    EXPECT_EQ(range[0].address, kSlot + 2u);
    EXPECT_EQ(range[2].address, kSlot + 4u);
    std::vector<Element> from = Parse(ReadStatus(0, kDrive + 1, 2, 4096));
    ASSERT_EQ(from.size(), 2u);
    EXPECT_EQ(from[0].address, kDrive + 1u);
    EXPECT_EQ(from[1].address, kSlot + 0u);

    // A short allocation length (or buffer) gets the report's beginning; the header still says
    // how long the whole report is.
    Result cut = ReadStatus(0, 0, 100, 20);
    ASSERT_EQ(cut.status, SCSISTAT_GOOD);
    ASSERT_EQ(cut.data.size(), 20u);
    EXPECT_EQ(Be24(&cut.data[5]) + 8, all.data.size());
    EXPECT_EQ(ReadStatus(0, 0, 100, 4096, false, 12).data.size(), 12u);

    // Nothing at or above the start, a count of 0 and an unknown type are refused.
    EXPECT_EQ(ReadStatus(2, kSlot + 6, 1, 4096).Asc(), 0x21);
    EXPECT_EQ(ReadStatus(4, kSlot, 1, 4096).Asc(), 0x21);
    EXPECT_EQ(ReadStatus(0, 0, 0, 4096).Asc(), 0x24);
    EXPECT_EQ(ReadStatus(5, 0, 1, 4096).Asc(), 0x24);
}

TEST_F(ChangerModelTest, IdentifiesItselfAsAMediumChangerWithItsLayout)
{
    Result std = Run(kNexusA, {0x12, 0, 0, 0, 96, 0}, 96);
    ASSERT_EQ(std.data.size(), 36u);
    EXPECT_EQ(std.data[0], 0x08);
    EXPECT_EQ(std::string((const char *)&std.data[8], 28), "VYR     VL-3            0210");
    Result serial = Run(kNexusA, {0x12, 1, 0x80, 0, 96, 0}, 96);
    ASSERT_GE(serial.data.size(), 4u);
    EXPECT_EQ(std::string((const char *)&serial.data[4], serial.data[3]), "CHG0000001");
    Result id = Run(kNexusA, {0x12, 1, 0x83, 0, 255, 0}, 255);
    ASSERT_GE(id.data.size(), 16u);
    EXPECT_EQ(Be16(&id.data[2]) + 4, id.data.size());
    EXPECT_EQ(id.data[5] & 0x0F, 3); // NAA first
    EXPECT_EQ(id.data[15], 0x42);
    EXPECT_EQ(Run(kNexusA, {0x12, 1, 0x81, 0, 96, 0}, 96).Asc(), 0x24);

    Result mode = Run(kNexusA, {0x1A, 0x08, 0x1D, 0, 64, 0}, 64);
    ASSERT_EQ(mode.data.size(), 24u);
    EXPECT_EQ(mode.data[0], 23);
    const UCHAR *page = &mode.data[4];
    EXPECT_EQ(page[0], 0x1D);
    EXPECT_EQ(Be16(page + 6), kSlot);
    EXPECT_EQ(Be16(page + 8), 6u);
    EXPECT_EQ(Be16(page + 12), 1u);
    EXPECT_EQ(Be16(page + 16), 2u);
    EXPECT_EQ(Run(kNexusA, {0x1A, 0x08, 0x10, 0, 64, 0}, 64).Asc(), 0x24);
    EXPECT_EQ(Run(kNexusA, {0x2B, 0, 0, 0, 0, 0, 0, 0, 0, 0}).Asc(), 0x20); // no LOCATE on a changer
}

TEST_F(ChangerModelTest, UnitAttentionsReachEachNexusOnceAndRequestSenseClearsThem)
{
    EXPECT_EQ(Run(kNexusA, {0x00, 0, 0, 0, 0, 0}).status, SCSISTAT_GOOD);
    ChangerLogicalUnitReset(changer_, kNexusA);
    EXPECT_EQ(Run(kNexusA, {0x00, 0, 0, 0, 0, 0}).status, SCSISTAT_GOOD); // the resetting nexus knows
    Result b = Move(kSlot, kDrive, kNexusB);
    EXPECT_EQ(b.Key(), 0x6);
    EXPECT_EQ(b.Ascq(), 0x03);
    EXPECT_EQ(State().Moves, 0u); // the attention took the command's place
    EXPECT_EQ(Move(kSlot, kDrive, kNexusB).status, SCSISTAT_GOOD);

    ChangerNexusLoss(changer_, kNexusB);
    Result sense = Run(kNexusB, {0x03, 0, 0, 0, 18, 0}, 18);
    ASSERT_EQ(sense.status, SCSISTAT_GOOD);
    ASSERT_EQ(sense.data.size(), 18u);
    EXPECT_EQ(sense.data[2], 0x6);
    EXPECT_EQ(sense.data[12], 0x29);
    EXPECT_EQ(sense.data[13], 0x07);
    EXPECT_EQ(Run(kNexusB, {0x00, 0, 0, 0, 0, 0}).status, SCSISTAT_GOOD);

    ChangerPowerOnReset(changer_);
    for (ULONG64 nexus : {kNexusA, kNexusB})
        EXPECT_EQ(Run(nexus, {0x00, 0, 0, 0, 0, 0}).Asc(), 0x29);
    EXPECT_EQ(State().DriveElements[0], 1); // cartridges stay where they are
}

class ChangerConfigTest : public vyr::test::KernelTest {};

TEST_F(ChangerConfigTest, RefusesImpossibleChangers)
{
    ChangerConfig base{};
    base.SerialNumber = "S";
    base.StorageSlots = 1;
    struct Case {
        const char *what;
        void (*edit)(ChangerConfig *);
    } cases[] = {
        {"no slots", [](ChangerConfig *c) { c->StorageSlots = 0; }},
        {"too many slots", [](ChangerConfig *c) { c->StorageSlots = FAB_CHANGER_MAX_SLOTS + 1; }},
        {"too many drives", [](ChangerConfig *c) { c->Drives = FAB_CHANGER_MAX_DRIVES + 1; }},
        {"too many portals", [](ChangerConfig *c) { c->Portals = FAB_CHANGER_MAX_PORTALS + 1; }},
        {"more full slots than slots", [](ChangerConfig *c) { c->FullSlots = 2; }},
        {"no serial number", [](ChangerConfig *c) { c->SerialNumber = ""; }},
        {"long serial number", [](ChangerConfig *c) { c->SerialNumber = "123456789012345678901234567890123"; }},
    };
    for (const Case &c : cases) {
        ChangerConfig config = base;
        c.edit(&config);
        ChangerDevice *changer = nullptr;
        EXPECT_EQ(ChangerCreate(&config, &changer), STATUS_INVALID_PARAMETER) << c.what;
        EXPECT_EQ(changer, nullptr);
    }
}

} // namespace
