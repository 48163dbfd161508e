// Reservations of the tape drive model across two I_T nexuses: SCSI-2 RESERVE/RELEASE, persistent
// reservations with their conflicts and preemption, and the reservation report a class driver
// passes on.
#include "tape_test.h"

#include <functional>

namespace vyr::test {
namespace {

constexpr UCHAR kRegister = 0, kReserve = 1, kRelease = 2, kClear = 3, kPreempt = 4, kPreemptAbort = 5;
constexpr UCHAR kWriteExclusive = 1, kExclusiveAccess = 3, kWriteExclusiveRo = 5, kExclusiveAccessRo = 6;

std::string Hex16(ULONG64 v)
{
    char text[17];
    snprintf(text, sizeof text, "%016llX", (unsigned long long)v);
    return text;
}

TEST_F(TapeTest, Scsi2ReservationShutsOutTheOtherNexus)
{
    MakeDrive();
    ASSERT_TRUE(a_.Reserve().Good());
    TapeReservationReport report;
    ASSERT_TRUE(TapeDriveQueryReservationReport(drive_, a_.Nexus(), &report));
    EXPECT_FALSE(report.Persistent);
    EXPECT_EQ(std::string(report.Wwpn), a_.Wwpn());
    EXPECT_EQ(std::string(report.HostKey), Hex16(a_.Nexus()));
    // The report belongs to the command that reserved, not to the ones after it.
    ASSERT_TRUE(a_.Tur().Good());
    EXPECT_FALSE(TapeDriveQueryReservationReport(drive_, a_.Nexus(), &report));

    std::vector<UCHAR> data;
    EXPECT_TRUE(Matches(b_.Tur(), Expect::Conflict()));
    EXPECT_TRUE(Matches(b_.Read(10, &data), Expect::Conflict()));
    EXPECT_TRUE(Matches(b_.Run({0x1A, 0, 0x3F, 0, 255, 0}), Expect::Conflict()));
    EXPECT_TRUE(Matches(b_.Reserve(), Expect::Conflict()));
    EXPECT_TRUE(b_.In({0x12, 0, 0, 0, 36, 0}, &data, 36).Good());
    EXPECT_TRUE(b_.In({0x03, 0, 0, 0, 18, 0}, &data, 18).Good());
    // Persistent reservation commands conflict under a SCSI-2 reservation, from the holder too.
    EXPECT_TRUE(Matches(a_.PrOut(kRegister, 0, 0, 0x1234), Expect::Conflict()));
    EXPECT_TRUE(Matches(b_.In({0x5E, 0, 0, 0, 0, 0, 0, 0, 64, 0}, &data, 64), Expect::Conflict()));

    // RELEASE from the other nexus is GOOD and changes nothing.
    EXPECT_TRUE(b_.Release().Good());
    EXPECT_TRUE(Matches(b_.Tur(), Expect::Conflict()));
    EXPECT_TRUE(a_.Reserve().Good()) << "the holder may reserve again";
    EXPECT_TRUE(a_.Write(Pattern(10, 1)).Good());

    // A logical unit reset from B breaks A's reservation; A hears of the reset.
    TapeDriveLogicalUnitReset(drive_, b_.Nexus());
    EXPECT_TRUE(b_.Reserve().Good());
    ASSERT_TRUE(TapeDriveQueryReservationReport(drive_, b_.Nexus(), &report));
    EXPECT_EQ(std::string(report.Wwpn), b_.Wwpn());
    EXPECT_EQ(std::string(report.HostKey), Hex16(b_.Nexus()));
    EXPECT_TRUE(Matches(a_.Tur(), Expect::Sense(6, 0x29, 0x03)));
    EXPECT_TRUE(Matches(a_.Tur(), Expect::Conflict()));
    ASSERT_TRUE(b_.Release().Good());
    EXPECT_TRUE(a_.Tur().Good());

    // Losing the holder's nexus releases the reservation too.
    ASSERT_TRUE(a_.Reserve().Good());
    TapeDriveNexusLoss(drive_, a_.Nexus());
    EXPECT_TRUE(b_.Tur().Good());
    TapeReservationState state;
    TapeDriveQueryReservations(drive_, &state);
    EXPECT_FALSE(state.Scsi2Reserved);
}

TEST_F(TapeTest, PersistentReservationMovesByPreemptingTheHoldersKey)
{
    MakeDrive();
    const ULONG64 keyA = 0x00000000000000A1, keyB = 0xB2B2B2B2B2B2B2B2;
    ASSERT_TRUE(a_.PrOut(kRegister, 0, 0, keyA).Good());
    ASSERT_TRUE(b_.PrOut(kRegister, 0, 0, keyB).Good());
    ASSERT_TRUE(a_.PrOut(kReserve, kExclusiveAccess, keyA, 0).Good());
    TapeReservationReport report;
    ASSERT_TRUE(TapeDriveQueryReservationReport(drive_, a_.Nexus(), &report));
    EXPECT_TRUE(report.Persistent);
    EXPECT_EQ(report.Type, kExclusiveAccess);
    EXPECT_EQ(std::string(report.HostKey), "00000000000000A1");
    EXPECT_EQ(std::string(report.Wwpn), a_.Wwpn());
    EXPECT_FALSE(TapeDriveQueryReservationReport(drive_, b_.Nexus(), &report)) << "registering reserves nothing";

    // READ KEYS and READ RESERVATION as any nexus sees them.
    std::vector<UCHAR> data;
    ASSERT_TRUE(b_.In({0x5E, 0x00, 0, 0, 0, 0, 0, 0, 64, 0}, &data, 64).Good());
    ASSERT_EQ(data.size(), 24u);
    EXPECT_EQ(data[3], 2) << "generation: two registrations";
    EXPECT_EQ(data[7], 16);
    EXPECT_EQ(data[15], 0xA1);
    EXPECT_EQ(data[16], 0xB2);
    ASSERT_TRUE(b_.In({0x5E, 0x01, 0, 0, 0, 0, 0, 0, 64, 0}, &data, 64).Good());
    ASSERT_EQ(data.size(), 24u);
    EXPECT_EQ(data[7], 16);
    EXPECT_EQ(data[15], 0xA1);
    EXPECT_EQ(data[21], kExclusiveAccess);

    EXPECT_TRUE(Matches(b_.Tur(), Expect::Conflict()));
    EXPECT_TRUE(Matches(b_.PrOut(kReserve, kExclusiveAccess, keyB, 0), Expect::Conflict()));
    EXPECT_TRUE(b_.PrOut(kRelease, kExclusiveAccess, keyB, 0).Good()) << "a non-holder's RELEASE releases nothing";
    EXPECT_TRUE(Matches(b_.Tur(), Expect::Conflict()));
    EXPECT_TRUE(Matches(b_.PrOut(kPreempt, kWriteExclusive, 0x999, keyA), Expect::Conflict()))
        << "B's own key is wrong";
    EXPECT_TRUE(Matches(b_.PrOut(kPreempt, kWriteExclusive, keyB, 0x777), Expect::Conflict()))
        << "no registration has that key";
    EXPECT_TRUE(Matches(b_.Run({0x16, 0, 0, 0, 0, 0}), Expect::Conflict())) << "RESERVE(6) with registrations";

    // B preempts A's key: B holds a Write Exclusive reservation, A lost its registration.
    ASSERT_TRUE(b_.PrOut(kPreemptAbort, kWriteExclusive, keyB, keyA).Good());
    ASSERT_TRUE(TapeDriveQueryReservationReport(drive_, b_.Nexus(), &report));
    EXPECT_EQ(std::string(report.HostKey), "B2B2B2B2B2B2B2B2");
    EXPECT_EQ(report.Type, kWriteExclusive);
    TapeReservationState state;
    TapeDriveQueryReservations(drive_, &state);
    EXPECT_TRUE(state.PrReserved);
    EXPECT_EQ(state.PrHolder, b_.Nexus());
    EXPECT_EQ(state.Registrations, 1u);
    EXPECT_TRUE(Matches(a_.Tur(), Expect::Sense(6, 0x2A, 0x05)));
    EXPECT_TRUE(a_.Tur().Good()) << "Write Exclusive lets others look";
    EXPECT_TRUE(Matches(a_.Write(Pattern(8, 1)), Expect::Conflict()));
    EXPECT_TRUE(Matches(a_.PrOut(kReserve, kWriteExclusive, keyA, 0), Expect::Conflict())) << "A is not registered";
    EXPECT_TRUE(b_.Write(Pattern(8, 2)).Good());

    EXPECT_TRUE(Matches(b_.PrOut(kRelease, kExclusiveAccess, keyB, 0), Expect::Sense(5, 0x26, 0x04)));
    ASSERT_TRUE(b_.PrOut(kRelease, kWriteExclusive, keyB, 0).Good());
    EXPECT_TRUE(a_.Write(Pattern(8, 3)).Good());
    EXPECT_EQ(Medium().Blocks, 2u);
}

// One host, one key, registered on both of its paths: the path that takes over preempts its own
// key. The reservation moves, the other path's registration goes, the preempting one stays.
TEST_F(TapeTest, PreemptingItsOwnKeyMovesTheReservationToThisPath)
{
    MakeDrive();
    const ULONG64 key = 0x0123456789ABCDEF;
    ASSERT_TRUE(a_.PrOut(kRegister, 0, 0, key).Good());
    ASSERT_TRUE(b_.PrOut(kRegister, 0, 0, key).Good());
    ASSERT_TRUE(a_.PrOut(kReserve, kExclusiveAccess, key, 0).Good());
    EXPECT_TRUE(Matches(b_.Tur(), Expect::Conflict()));

    ASSERT_TRUE(b_.PrOut(kPreempt, kExclusiveAccess, key, key).Good());
    TapeReservationReport report;
    ASSERT_TRUE(TapeDriveQueryReservationReport(drive_, b_.Nexus(), &report));
    EXPECT_EQ(std::string(report.HostKey), "0123456789ABCDEF");
    EXPECT_EQ(std::string(report.Wwpn), b_.Wwpn());
    TapeReservationState state;
    TapeDriveQueryReservations(drive_, &state);
    EXPECT_EQ(state.PrHolder, b_.Nexus());
    EXPECT_EQ(state.PrKey, key);
    EXPECT_EQ(state.Registrations, 1u) << "only the preempting path keeps its registration";
    EXPECT_TRUE(b_.Write(Pattern(16, 1)).Good());
    EXPECT_TRUE(Matches(a_.Tur(), Expect::Sense(6, 0x2A, 0x05)));
    EXPECT_TRUE(Matches(a_.Tur(), Expect::Conflict()));
    // The old path comes back by registering again; it still does not hold the reservation.
    ASSERT_TRUE(a_.PrOut(kRegister, 0, 0, key).Good());
    EXPECT_TRUE(Matches(a_.Tur(), Expect::Conflict()));
}

TEST_F(TapeTest, RegistrationKeysMustMatch)
{
    MakeDrive();
    struct Step {
        const char *what;
        std::function<ScsiResult()> run;
        Expect expect;
        ULONG registrations;
    };
    const std::vector<Step> steps = {
        {"register from an unregistered nexus naming a key", [&] { return a_.PrOut(kRegister, 0, 5, 6); },
         Expect::Conflict(), 0},
        {"register with 0 from an unregistered nexus does nothing", [&] { return a_.PrOut(kRegister, 0, 0, 0); },
         Expect::Good(), 0},
        {"register", [&] { return a_.PrOut(kRegister, 0, 0, 6); }, Expect::Good(), 1},
        {"change the key with the wrong old key", [&] { return a_.PrOut(kRegister, 0, 5, 7); }, Expect::Conflict(),
         1},
        {"change the key", [&] { return a_.PrOut(kRegister, 0, 6, 7); }, Expect::Good(), 1},
        {"reserve with the old key", [&] { return a_.PrOut(kReserve, kWriteExclusive, 6, 0); }, Expect::Conflict(), 1},
        {"reserve type 2 does not exist", [&] { return a_.PrOut(kReserve, 2, 7, 0); }, Expect::Sense(5, 0x24, 0), 1},
        {"reserve with element scope", [&] { return a_.PrOut(kReserve, 0x21, 7, 0); }, Expect::Sense(5, 0x24, 0), 1},
        {"reserve", [&] { return a_.PrOut(kReserve, kWriteExclusive, 7, 0); }, Expect::Good(), 1},
        {"reserve again, same type", [&] { return a_.PrOut(kReserve, kWriteExclusive, 7, 0); }, Expect::Good(), 1},
        {"reserve again, other type", [&] { return a_.PrOut(kReserve, kExclusiveAccess, 7, 0); }, Expect::Conflict(),
         1},
        {"B registers the same key", [&] { return b_.PrOut(kRegister, 0, 0, 7); }, Expect::Good(), 2},
        {"preempt with key 0 and no holder of key 0", [&] { return b_.PrOut(kPreempt, kWriteExclusive, 7, 0); },
         Expect::Sense(5, 0x26, 0), 2},
        {"B clears everything", [&] { return b_.PrOut(kClear, 0, 7, 0); }, Expect::Good(), 0},
        {"A hears of it", [&] { return a_.Tur(); }, Expect::Sense(6, 0x2A, 0x03), 0},
        {"persist through power loss is not supported",
         [&] {
             std::vector<UCHAR> list(24, 0);
             list[15] = 9;
             list[20] = 0x01;
             return a_.Out({0x5F, kRegister, 0, 0, 0, 0, 0, 0, 24, 0}, list);
         },
         Expect::Sense(5, 0x26, 0), 0},
        {"a parameter list that is not 24 bytes",
         [&] { return a_.Out({0x5F, kRegister, 0, 0, 0, 0, 0, 0, 20, 0}, std::vector<UCHAR>(20, 0)); },
         Expect::Sense(5, 0x1A, 0), 0},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.what);
        EXPECT_TRUE(Matches(step.run(), step.expect));
        TapeReservationState state;
        TapeDriveQueryReservations(drive_, &state);
        EXPECT_EQ(state.Registrations, step.registrations);
    }
}

// Which commands a nexus that does not hold the reservation may run, per reservation type and
// whether it is registered.
TEST_F(TapeTest, ConflictsFollowTheReservationType)
{
    struct Command {
        const char *name;
        std::function<ScsiResult(Initiator &)> run;
        bool looks; // reads drive state only
        bool always;
    };
    const Command commands[] = {
        {"TEST UNIT READY", [](Initiator &i) { return i.Tur(); }, true, false},
        {"MODE SENSE", [](Initiator &i) { return i.Run({0x1A, 0x08, 0x10, 0, 0, 0}); }, true, false},
        {"READ POSITION", [](Initiator &i) { return i.Run({0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}); }, true, false},
        {"READ", [](Initiator &i) { return i.Run({0x08, 0, 0, 0, 0, 0}); }, false, false},
        {"SPACE", [](Initiator &i) { return i.Space(0, 0); }, false, false},
        {"REWIND", [](Initiator &i) { return i.Rewind(); }, false, false},
        {"WRITE FILEMARKS", [](Initiator &i) { return i.WriteFilemarks(0); }, false, false},
        {"MODE SELECT", [](Initiator &i) { return i.Run({0x15, 0x10, 0, 0, 0, 0}); }, false, false},
        {"PREVENT", [](Initiator &i) { return i.Prevent(true); }, false, false},
        {"ALLOW", [](Initiator &i) { return i.Prevent(false); }, false, true},
        {"INQUIRY", [](Initiator &i) { return i.Run({0x12, 0, 0, 0, 0, 0}); }, false, true},
        {"REPORT LUNS",
         [](Initiator &i) {
             std::vector<UCHAR> d;
             return i.In({0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0}, &d, 16);
         },
         false, true},
    };
    const UCHAR types[] = {kWriteExclusive, kExclusiveAccess, kWriteExclusiveRo, kExclusiveAccessRo};
    for (UCHAR type : types) {
        for (bool registered : {false, true}) {
            SCOPED_TRACE("type " + std::to_string(type) + (registered ? ", registered" : ", not registered"));
            MakeDrive();
            ASSERT_TRUE(a_.PrOut(kRegister, 0, 0, 0xAAAA).Good());
            ASSERT_TRUE(a_.PrOut(kReserve, type, 0xAAAA, 0).Good());
            if (registered)
                ASSERT_TRUE(b_.PrOut(kRegister, 0, 0, 0xBBBB).Good());
            bool registrantsOnly = type == kWriteExclusiveRo || type == kExclusiveAccessRo;
            bool writeExclusive = type == kWriteExclusive || type == kWriteExclusiveRo;
            for (const Command &c : commands) {
                SCOPED_TRACE(c.name);
                bool allowed = c.always || (registered && registrantsOnly) || (writeExclusive && c.looks);
                ScsiResult r = c.run(b_);
                EXPECT_EQ(r.status == SCSISTAT_RESERVATION_CONFLICT, !allowed) << r.Text();
                EXPECT_NE(c.run(a_).status, SCSISTAT_RESERVATION_CONFLICT) << "the holder";
            }
        }
    }
}

TEST_F(TapeTest, ReleasingARegistrantsOnlyReservationTellsTheOtherRegistrants)
{
    MakeDrive();
    ASSERT_TRUE(a_.PrOut(kRegister, 0, 0, 1).Good());
    ASSERT_TRUE(b_.PrOut(kRegister, 0, 0, 2).Good());
    ASSERT_TRUE(a_.PrOut(kReserve, kExclusiveAccessRo, 1, 0).Good());
    EXPECT_TRUE(b_.Write(Pattern(4, 1)).Good()) << "a registrant has the holder's access";
    ASSERT_TRUE(a_.PrOut(kRelease, kExclusiveAccessRo, 1, 0).Good());
    EXPECT_TRUE(Matches(b_.Tur(), Expect::Sense(6, 0x2A, 0x04)));
    EXPECT_TRUE(a_.Tur().Good());

    // A holder that unregisters gives the reservation up.
    ASSERT_TRUE(a_.PrOut(kReserve, kWriteExclusive, 1, 0).Good());
    ASSERT_TRUE(a_.PrOut(kRegister, 0, 1, 0).Good());
    TapeReservationState state;
    TapeDriveQueryReservations(drive_, &state);
    EXPECT_FALSE(state.PrReserved);
    EXPECT_EQ(state.Registrations, 1u);

    // A power-on forgets registrations and reservations (no persistence through power loss).
    ASSERT_TRUE(b_.PrOut(kReserve, kWriteExclusive, 2, 0).Good());
    TapeDrivePowerOnReset(drive_);
    TapeDriveQueryReservations(drive_, &state);
    EXPECT_FALSE(state.PrReserved);
    EXPECT_EQ(state.Registrations, 0u);
    EXPECT_EQ(state.PrGeneration, 0u);
}

} // namespace
} // namespace vyr::test
