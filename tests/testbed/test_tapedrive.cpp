// The tape drive model as an initiator sees it: the medium and the logical position, sense data,
// the end of the tape, write protection, unit attention, medium removal, buffers shorter than the
// CDB says, identification, mode parameters and the model's own memory.
#include "tape_test.h"

#include <atomic>
#include <functional>
#include <thread>

namespace vyr::test {
namespace {

constexpr UCHAR FM = 0x80, EOM = 0x40, ILI = 0x20;

// ---------------------------------------------------------------------------------------------
// Positions across blocks and filemarks, in both block modes
// ---------------------------------------------------------------------------------------------

class TapePositionTest : public TapeTest, public ::testing::WithParamInterface<ULONG> {
protected:
    ULONG BlockSize() const { return GetParam(); }

    // Objects 0-2 blocks, 3 filemark, 4-5 blocks, 6-7 filemarks, 8 block; end of data at 9.
    void WriteLayout()
    {
        for (int i = 0; i < 9; i++) {
            ScsiResult r = (i == 3 || i == 6 || i == 7) ? a_.WriteFilemarks(1) : WriteOne(i);
            ASSERT_TRUE(r.Good()) << "object " << i << ": " << r.Text();
        }
        ASSERT_EQ(Medium().Objects, 9u);
        ASSERT_EQ(Medium().Filemarks, 3u);
    }
    ScsiResult WriteOne(unsigned seed)
    {
        ULONG size = BlockSize() ? BlockSize() : 100 + seed; // variable blocks differ in length
        return BlockSize() ? a_.WriteFixed(Pattern(size, seed), 1) : a_.Write(Pattern(size, seed));
    }
    // Reads one block; the residual of a variable read counts bytes, of a fixed read blocks.
    ScsiResult ReadOne(std::vector<UCHAR> *data)
    {
        return BlockSize() ? a_.ReadFixed(1, BlockSize(), data) : a_.Read(4096, data, true);
    }
    int32_t OneBlockResidual() const { return BlockSize() ? 1 : 4096; }
};

TEST_P(TapePositionTest, MovesAcrossBlocksAndFilemarksAsTheStandardSays)
{
    TapeDriveConfig config = DefaultTapeConfig();
    config.BlockSize = BlockSize();
    MakeDrive(config);
    WriteLayout();
    std::vector<UCHAR> data;

    struct Step {
        const char *what;
        std::function<ScsiResult()> run;
        ULONG64 position;
        Expect expect;
    };
    const int32_t one = OneBlockResidual();
    const std::vector<Step> steps = {
        {"rewind", [&] { return a_.Rewind(); }, 0, Expect::Good()},
        {"space 2 blocks", [&] { return a_.Space(0, 2); }, 2, Expect::Good()},
        {"space 2 blocks into a filemark: stops after it, one not spaced", [&] { return a_.Space(0, 2); }, 4,
         Expect::Residual(0, 0, 1, FM, 1)},
        {"space 1 filemark", [&] { return a_.Space(1, 1); }, 7, Expect::Good()},
        {"space back 1 block over a filemark: stops before it", [&] { return a_.Space(0, -1); }, 6,
         Expect::Residual(0, 0, 1, FM, -1)},
        {"space back 2 filemarks, only one before BOP", [&] { return a_.Space(1, -2); }, 0,
         Expect::Residual(0, 0, 4, EOM, -1)},
        {"space to end of data", [&] { return a_.Space(3, 0); }, 9, Expect::Good()},
        {"space back 1 filemark: stops before it", [&] { return a_.Space(1, -1); }, 7, Expect::Good()},
        {"space back 2 blocks meets that filemark's pair at once", [&] { return a_.Space(0, -2); }, 6,
         Expect::Residual(0, 0, 1, FM, -2)},
        {"space to end of data again", [&] { return a_.Space(3, 0); }, 9, Expect::Good()},
        {"read at end of data", [&] { return ReadOne(&data); }, 9, Expect::Residual(8, 0, 5, 0, one)},
        {"space a block at end of data", [&] { return a_.Space(0, 1); }, 9, Expect::Residual(8, 0, 5, 0, 1)},
        {"locate the first filemark", [&] { return a_.Locate(3); }, 3, Expect::Good()},
        {"read a filemark: position after it", [&] { return ReadOne(&data); }, 4, Expect::Residual(0, 0, 1, FM, one)},
        {"read a block", [&] { return ReadOne(&data); }, 5, Expect::Good()},
        {"read a block", [&] { return ReadOne(&data); }, 6, Expect::Good()},
        {"read the filemark pair's first", [&] { return ReadOne(&data); }, 7, Expect::Residual(0, 0, 1, FM, one)},
        {"rewind", [&] { return a_.Rewind(); }, 0, Expect::Good()},
        {"space to 2 filemarks in a row", [&] { return a_.Space(2, 2); }, 8, Expect::Good()},
        {"space back to 2 filemarks in a row: before them", [&] { return a_.Space(2, -2); }, 6, Expect::Good()},
        {"locate past end of data", [&] { return a_.Locate(42); }, 9, Expect::Sense(8, 0, 5)},
        {"LOCATE(16) to file 2: after the second filemark",
         [&] { return a_.Run({0x92, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0}); }, 7, Expect::Good()},
        {"LOCATE(16) to file 4, which does not exist",
         [&] { return a_.Run({0x92, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0}); }, 9, Expect::Sense(8, 0, 5)},
        {"LOCATE(16) to logical object 5",
         [&] { return a_.Run({0x92, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0}); }, 5, Expect::Good()},
        {"space 0 blocks does not move", [&] { return a_.Space(0, 0); }, 5, Expect::Good()},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.what);
        EXPECT_TRUE(Matches(step.run(), step.expect));
        EXPECT_EQ(a_.Position(), step.position);
        EXPECT_EQ(Medium().Position, step.position);
    }
}

TEST_P(TapePositionTest, ReadsBackWhatWasWrittenForwardAndReverse)
{
    TapeDriveConfig config = DefaultTapeConfig();
    config.BlockSize = BlockSize();
    MakeDrive(config);
    WriteLayout();
    ASSERT_TRUE(a_.Locate(4).Good());
    std::vector<UCHAR> data;
    ASSERT_TRUE(ReadOne(&data).Good());
    EXPECT_EQ(data, Pattern(BlockSize() ? BlockSize() : 104, 4));

    // READ REVERSE from position 3 returns block 2 with its bytes last to first, or in written
    // order with BYTORD; from BOP it reports beginning of partition.
    ASSERT_TRUE(a_.Locate(3).Good());
    ULONG size = BlockSize() ? BlockSize() : 102;
    UCHAR fixed = BlockSize() ? 0x01 : 0x00;
    ULONG count = BlockSize() ? 1 : size;
    ScsiResult r = a_.In({0x0F, fixed, 0, (UCHAR)(count >> 8), (UCHAR)count, 0}, &data, size);
    ASSERT_TRUE(r.Good()) << r.Text();
    std::vector<UCHAR> expected = Pattern(size, 2);
    EXPECT_EQ(data, std::vector<UCHAR>(expected.rbegin(), expected.rend()));
    EXPECT_EQ(a_.Position(), 2u);
    ULONG size1 = BlockSize() ? BlockSize() : 101, count1 = BlockSize() ? 1 : size1;
    r = a_.In({0x0F, (UCHAR)(fixed | 0x04), 0, (UCHAR)(count1 >> 8), (UCHAR)count1, 0}, &data, size1);
    ASSERT_TRUE(r.Good()) << r.Text();
    EXPECT_EQ(data, Pattern(size1, 1));
    ASSERT_TRUE(a_.Rewind().Good());
    EXPECT_TRUE(Matches(a_.In({0x0F, fixed, 0, (UCHAR)(count >> 8), (UCHAR)count, 0}, &data, size),
                        Expect::Residual(0, 0, 4, EOM, (int32_t)count)));
    EXPECT_EQ(a_.Position(), 0u);
}

INSTANTIATE_TEST_SUITE_P(BlockModes, TapePositionTest, ::testing::Values(0u, 512u),
                         [](const ::testing::TestParamInfo<ULONG> &info) {
                             return info.param ? std::string("Fixed") + std::to_string(info.param)
                                               : std::string("Variable");
                         });

// The 10-byte forms move the same blocks as the 6-byte ones, with the length in bytes 7-8.
TEST_F(TapeTest, TenByteReadsAndWritesMoveTheSameBlocks)
{
    MakeDrive();
    std::vector<UCHAR> first = Pattern(300, 11), second = Pattern(40, 12);
    ASSERT_TRUE(a_.Out({0x2A, 0, 0, 0, 0, 0, 0, 0x01, 0x2C, 0}, first).Good());
    ASSERT_TRUE(a_.Write(second).Good());
    ASSERT_TRUE(a_.Rewind().Good());
    std::vector<UCHAR> data;
    ScsiResult r = a_.In({0x28, 0, 0, 0, 0, 0, 0, 0x01, 0x2C, 0}, &data, 300);
    ASSERT_TRUE(r.Good()) << r.Text();
    EXPECT_EQ(r.transferred, 300u);
    EXPECT_EQ(data, first);
    // A wrong length reports the difference exactly as READ(6) does.
    r = a_.In({0x28, 0, 0, 0, 0, 0, 0, 0, 50, 0}, &data, 50);
    EXPECT_TRUE(Matches(r, Expect::Residual(0, 0, 0, ILI, 10))) << r.Text();
    EXPECT_EQ(data, second);
}

TEST_F(TapeTest, ReadsOfTheWrongLengthReportTheDifference)
{
    MakeDrive();
    ASSERT_TRUE(a_.Write(Pattern(100, 1)).Good());
    ASSERT_TRUE(a_.Write(Pattern(100, 2)).Good());
    ASSERT_TRUE(a_.Write(Pattern(100, 3)).Good());
    std::vector<UCHAR> data;

    struct Case {
        const char *what;
        ULONG length;
        bool sili;
        Expect expect;
        ULONG transferred;
    };
    const Case cases[] = {
        {"exact", 100, false, Expect::Good(), 100},
        {"buffer longer than the block", 150, false, Expect::Residual(0, 0, 0, ILI, 50), 100},
        {"buffer shorter than the block", 60, false, Expect::Residual(0, 0, 0, ILI, -40), 60},
        {"longer, SILI", 150, true, Expect::Good(), 100},
        {"shorter, SILI in variable mode", 60, true, Expect::Good(), 60},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(a_.Rewind().Good());
        ScsiResult r = a_.Read(c.length, &data, c.sili);
        EXPECT_TRUE(Matches(r, c.expect));
        EXPECT_EQ(r.transferred, c.transferred);
        const std::vector<UCHAR> first = Pattern(100, 1);
        EXPECT_EQ(data, std::vector<UCHAR>(first.begin(), first.begin() + c.transferred));
        EXPECT_EQ(a_.Position(), 1u) << "a wrong-length block is still passed";
    }

    // Fixed mode meets a block of another length: the residual counts the blocks not read before it.
    ASSERT_TRUE(a_.Out({0x15, 0x10, 0, 0, 12, 0}, {0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 100}).Good());
    ASSERT_TRUE(a_.Rewind().Good());
    ASSERT_TRUE(a_.ReadFixed(2, 100, &data).Good());
    ASSERT_TRUE(a_.Out({0x15, 0x10, 0, 0, 12, 0}, {0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 50}).Good());
    ASSERT_TRUE(a_.Rewind().Good());
    EXPECT_TRUE(Matches(a_.ReadFixed(3, 50, &data), Expect::Residual(0, 0, 0, ILI, 3)));
    EXPECT_EQ(a_.Position(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Sense data
// ---------------------------------------------------------------------------------------------

TEST_F(TapeTest, SenseDataHasTheFixedFormatLayout)
{
    MakeDrive();
    ASSERT_TRUE(a_.Write(Pattern(10, 1)).Good());
    ASSERT_TRUE(a_.WriteFilemarks(1).Good());
    ASSERT_TRUE(a_.Locate(1).Good());
    std::vector<UCHAR> data;
    ScsiResult r = a_.Read(0x012345, &data);
    ASSERT_EQ(r.sense.size(), 18u);
    const UCHAR expected[18] = {0xF0, 0, 0x80, 0x00, 0x01, 0x23, 0x45, 10, 0, 0, 0, 0, 0x00, 0x01, 0, 0, 0, 0};
    EXPECT_EQ(r.sense, std::vector<UCHAR>(expected, expected + 18));

    // An invalid CDB field carries the sense-key specific field pointer (C/D set).
    r = a_.Run({0x11, 0x07, 0, 0, 1, 0}); // SPACE with a reserved code
    ASSERT_EQ(r.sense.size(), 18u);
    EXPECT_EQ(r.sense[0], 0x70) << "no information field";
    EXPECT_EQ(r.sense[2], 0x05);
    EXPECT_EQ(r.sense[12], 0x24);
    EXPECT_EQ(r.sense[15], 0xC0);
    EXPECT_EQ(r.sense[16], 0x00);
    EXPECT_EQ(r.sense[17], 0x01);

    // REQUEST SENSE as the very next command returns the same sense once more, then NO SENSE.
    std::vector<UCHAR> sense;
    ASSERT_TRUE(a_.In({0x03, 0, 0, 0, 252, 0}, &sense, 252).Good());
    EXPECT_EQ(sense, r.sense);
    ASSERT_TRUE(a_.In({0x03, 0, 0, 0, 252, 0}, &sense, 252).Good());
    ASSERT_EQ(sense.size(), 18u);
    EXPECT_EQ(sense[2] & 0x0F, 0);
    EXPECT_EQ(sense[12], 0);
}

TEST_F(TapeTest, CommandsItDoesNotKnowOrCannotTakeAreIllegalRequests)
{
    MakeDrive();
    struct Case {
        const char *what;
        std::initializer_list<UCHAR> cdb;
        UCHAR asc;
    };
    const Case cases[] = {
        {"READ(10) at an address: the tape reads where it stands", {0x28, 0, 0, 0, 0, 1, 0, 0, 1, 0}, 0x24},
        {"WRITE(10) likewise", {0x2A, 0, 0, 0, 0, 1, 0, 0, 1, 0}, 0x24},
        {"vendor opcode", {0xC7, 0, 0, 0, 0, 0}, 0x20},
        {"FIXED read in variable-block mode", {0x08, 0x01, 0, 0, 1, 0}, 0x24},
        {"FIXED write in variable-block mode", {0x0A, 0x01, 0, 0, 1, 0}, 0x24},
        {"space setmarks", {0x11, 0x04, 0, 0, 1, 0}, 0x24},
        {"write setmarks", {0x10, 0x02, 0, 0, 1, 0}, 0x24},
        {"LOCATE to partition 1", {0x2B, 0x02, 0, 0, 0, 0, 0, 0, 1, 0}, 0x24},
        {"READ POSITION extended form", {0x34, 0x08, 0, 0, 0, 0, 0, 0, 0, 0}, 0x24},
        {"INQUIRY of a VPD page it lacks", {0x12, 0x01, 0xB0, 0, 64, 0}, 0x24},
        {"INQUIRY page code without EVPD", {0x12, 0x00, 0x80, 0, 64, 0}, 0x24},
        {"LOAD with HOLD", {0x1B, 0, 0, 0, 0x09, 0}, 0x24},
        {"PREVENT for a medium changer", {0x1E, 0, 0, 0, 0x02, 0}, 0x24},
        {"REQUEST SENSE in descriptor format", {0x03, 0x01, 0, 0, 18, 0}, 0x24},
        {"a 10-byte command sent in 6 bytes", {0x2B, 0, 0, 0, 0, 0}, 0x24},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<UCHAR> buffer(64);
        ScsiResult r = a_.Run(c.cdb, FAB_DATA_IN, buffer.data(), (ULONG)buffer.size());
        EXPECT_TRUE(Matches(r, Expect::Sense(0x5, c.asc, 0)));
        EXPECT_EQ(r.transferred, 0u);
    }
    EXPECT_EQ(Medium().Objects, 0u);
}

// ---------------------------------------------------------------------------------------------
// End of the tape
// ---------------------------------------------------------------------------------------------

TEST_F(TapeTest, EarlyWarningThenEndOfMediumStopsWriting)
{
    TapeDriveConfig config = DefaultTapeConfig();
    config.CapacityBytes = 10000;
    config.EarlyWarningBytes = 6000;
    MakeDrive(config);
    for (int i = 0; i < 5; i++)
        ASSERT_TRUE(a_.Write(Pattern(1000, i)).Good()) << i;
    // The write that reaches early warning is on the tape, and says so.
    for (int i = 5; i < 10; i++) {
        ScsiResult r = a_.Write(Pattern(1000, i));
        EXPECT_TRUE(Matches(r, Expect::Residual(0, 0, 2, EOM, 0))) << i;
        EXPECT_EQ(r.transferred, 1000u);
    }
    EXPECT_EQ(Medium().Blocks, 10u);
    std::vector<UCHAR> position;
    ASSERT_TRUE(a_.In({0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}, &position, 20).Good());
    EXPECT_EQ(position[0] & 0xC0, 0x40) << "EOP set, BOP clear";

    // The physical end: nothing more is written, blocks nor filemarks.
    ScsiResult r = a_.Write(Pattern(1, 99));
    EXPECT_TRUE(Matches(r, Expect::Residual(0xD, 0, 2, EOM, 1)));
    EXPECT_EQ(r.transferred, 0u);
    EXPECT_TRUE(Matches(a_.WriteFilemarks(2), Expect::Residual(0xD, 0, 2, EOM, 2)));
    EXPECT_EQ(Medium().Objects, 10u);
    EXPECT_TRUE(Medium().EndOfMedium);
    EXPECT_EQ(a_.Position(), 10u);

    // Overwriting from the middle frees the rest again.
    ASSERT_TRUE(a_.Locate(3).Good());
    EXPECT_TRUE(a_.Write(Pattern(500, 7)).Good());
    EXPECT_FALSE(Medium().EndOfMedium);
    EXPECT_TRUE(a_.WriteFilemarks(1).Good());
    EXPECT_EQ(Medium().Objects, 5u);
    EXPECT_EQ(Medium().DataBytes, 3500u);
}

TEST_F(TapeTest, FixedBlockWritePastTheEndWritesOnlyWholeBlocksThatFit)
{
    TapeDriveConfig config = DefaultTapeConfig();
    config.CapacityBytes = 10000;
    config.EarlyWarningBytes = 10000;
    config.BlockSize = 1024;
    MakeDrive(config);
    ScsiResult r = a_.WriteFixed(Pattern(12 * 1024, 3), 12);
    EXPECT_TRUE(Matches(r, Expect::Residual(0xD, 0, 2, EOM, 3)));
    EXPECT_EQ(r.transferred, 9u * 1024);
    EXPECT_EQ(Medium().Blocks, 9u);
    const std::vector<UCHAR> written = Pattern(12 * 1024, 3);
    EXPECT_EQ(Block(8), std::vector<UCHAR>(written.begin() + 8 * 1024, written.begin() + 9 * 1024));
}

// ---------------------------------------------------------------------------------------------
// Overwrite, erase, write protection
// ---------------------------------------------------------------------------------------------

TEST_F(TapeTest, WritingInTheMiddleDiscardsEverythingAfter)
{
    MakeDrive();
    for (int i = 0; i < 5; i++)
        ASSERT_TRUE(a_.Write(Pattern(300 + i, i)).Good());
    ASSERT_TRUE(a_.WriteFilemarks(1).Good());
    ASSERT_TRUE(a_.Locate(2).Good());
    ASSERT_TRUE(a_.Write(Pattern(77, 50)).Good());

    TapeMediumInfo info = Medium();
    EXPECT_EQ(info.Objects, 3u);
    EXPECT_EQ(info.Filemarks, 0u);
    EXPECT_EQ(info.DataBytes, 300u + 301 + 77);
    EXPECT_EQ(Block(0), Pattern(300, 0));
    EXPECT_EQ(Block(1), Pattern(301, 1));
    EXPECT_EQ(Block(2), Pattern(77, 50));
    std::vector<UCHAR> data;
    EXPECT_TRUE(Matches(a_.Read(400, &data), Expect::Residual(8, 0, 5, 0, 400)));

    // ERASE and WRITE FILEMARKS truncate the same way.
    ASSERT_TRUE(a_.Locate(1).Good());
    ASSERT_TRUE(a_.WriteFilemarks(1).Good());
    EXPECT_EQ(Medium().Objects, 2u);
    ASSERT_TRUE(a_.Rewind().Good());
    ASSERT_TRUE(a_.Erase().Good());
    EXPECT_EQ(Medium().Objects, 0u);
    EXPECT_EQ(Medium().DataBytes, 0u);
}

TEST_F(TapeTest, WriteProtectionRefusesEveryChangeButAllowsReading)
{
    MakeDrive();
    ASSERT_TRUE(a_.Write(Pattern(64, 1)).Good());
    ASSERT_TRUE(a_.WriteFilemarks(1).Good());
    ASSERT_TRUE(a_.Rewind().Good());
    TapeDriveSetWriteProtect(drive_, TRUE);

    EXPECT_TRUE(Matches(a_.Write(Pattern(64, 2)), Expect::Sense(7, 0x27, 0)));
    EXPECT_TRUE(Matches(a_.WriteFilemarks(1), Expect::Sense(7, 0x27, 0)));
    EXPECT_TRUE(Matches(a_.Erase(), Expect::Sense(7, 0x27, 0)));
    EXPECT_TRUE(a_.WriteFilemarks(0).Good()) << "a flush changes nothing";
    EXPECT_EQ(Medium().Objects, 2u);
    EXPECT_EQ(a_.Position(), 0u);
    std::vector<UCHAR> data;
    EXPECT_TRUE(a_.Read(64, &data).Good());
    EXPECT_EQ(data, Pattern(64, 1));
    std::vector<UCHAR> mode;
    ASSERT_TRUE(a_.In({0x1A, 0x08, 0x10, 0, 255, 0}, &mode, 255).Good());
    EXPECT_EQ(mode[2] & 0x80, 0x80) << "WP bit of the device-specific parameter";

    TapeDriveSetWriteProtect(drive_, FALSE);
    EXPECT_TRUE(a_.Write(Pattern(64, 3)).Good());
}

// ---------------------------------------------------------------------------------------------
// Unit attention, medium removal
// ---------------------------------------------------------------------------------------------

TEST_F(TapeTest, UnitAttentionIsReportedOncePerNexus)
{
    MakeDrive(DefaultTapeConfig(), false);
    std::vector<UCHAR> data;
    // Power-on: INQUIRY passes and leaves it; the first other command reports it, once.
    EXPECT_TRUE(a_.In({0x12, 0, 0, 0, 36, 0}, &data, 36).Good());
    EXPECT_TRUE(Matches(a_.Tur(), Expect::Sense(6, 0x29, 0)));
    EXPECT_TRUE(a_.Tur().Good());
    // REQUEST SENSE reports it as data with GOOD status and clears it.
    ASSERT_TRUE(b_.In({0x03, 0, 0, 0, 18, 0}, &data, 18).Good());
    EXPECT_EQ(data[2] & 0x0F, 6);
    EXPECT_EQ(data[12], 0x29);
    EXPECT_TRUE(b_.Tur().Good());

    struct Event {
        const char *what;
        std::function<void()> cause;
        Expect forA, forB;
    };
    const Event events[] = {
        {"cartridge loaded by the operator",
         [&] {
             ASSERT_EQ(TapeDriveEjectCartridge(drive_), STATUS_SUCCESS);
             ASSERT_EQ(TapeDriveLoadCartridge(drive_, FALSE), STATUS_SUCCESS);
         },
         Expect::Sense(6, 0x28, 0), Expect::Sense(6, 0x28, 0)},
        {"power-on reset", [&] { TapeDrivePowerOnReset(drive_); }, Expect::Sense(6, 0x29, 0),
         Expect::Sense(6, 0x29, 0)},
        {"cartridge loaded by A's LOAD: only B is told",
         [&] {
             ASSERT_TRUE(a_.LoadUnload(false).Good());
             ASSERT_TRUE(a_.LoadUnload(true).Good());
         },
         Expect::Good(), Expect::Sense(6, 0x28, 0)},
        {"logical unit reset from A: only B is told", [&] { TapeDriveLogicalUnitReset(drive_, a_.Nexus()); },
         Expect::Good(), Expect::Sense(6, 0x29, 3)},
        {"A's nexus lost: only A is told", [&] { TapeDriveNexusLoss(drive_, a_.Nexus()); },
         Expect::Sense(6, 0x29, 7), Expect::Good()},
    };
    for (const Event &e : events) {
        SCOPED_TRACE(e.what);
        e.cause();
        EXPECT_TRUE(Matches(a_.Tur(), e.forA));
        EXPECT_TRUE(Matches(b_.Tur(), e.forB));
        EXPECT_TRUE(a_.Tur().Good());
        EXPECT_TRUE(b_.Tur().Good());
    }

    // A nexus first heard of after the power-on still gets it, before any other answer.
    Initiator c(0xC0, "10000000C9CCCC03");
    c.Attach(drive_);
    EXPECT_TRUE(Matches(c.Run({0x5A, 0x08, 0x10, 0, 0, 0, 0, 0, 64, 0}), Expect::Sense(6, 0x29, 0)));
    EXPECT_TRUE(c.Tur().Good());
}

TEST_F(TapeTest, NotReadyWithoutACartridgeOrAfterUnload)
{
    MakeDrive();
    ASSERT_TRUE(a_.Write(Pattern(10, 1)).Good());
    ASSERT_TRUE(a_.LoadUnload(false).Good());
    EXPECT_TRUE(Matches(a_.Tur(), Expect::Sense(2, 0x04, 0x02)));
    EXPECT_TRUE(Matches(a_.Space(0, 1), Expect::Sense(2, 0x04, 0x02)));
    ASSERT_TRUE(a_.LoadUnload(true).Good());
    EXPECT_TRUE(a_.Tur().Good());
    EXPECT_EQ(a_.Position(), 0u);

    ASSERT_EQ(TapeDriveEjectCartridge(drive_), STATUS_SUCCESS);
    EXPECT_EQ(TapeDriveEjectCartridge(drive_), STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_TRUE(Matches(a_.Tur(), Expect::Sense(2, 0x3A, 0)));
    EXPECT_TRUE(Matches(a_.LoadUnload(true), Expect::Sense(2, 0x3A, 0)));
    std::vector<UCHAR> data;
    EXPECT_TRUE(a_.In({0x12, 0, 0, 0, 36, 0}, &data, 36).Good()) << "identification needs no medium";

    // The same cartridge comes back with its data; a blank one without.
    ASSERT_EQ(TapeDriveLoadCartridge(drive_, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(TapeDriveLoadCartridge(drive_, FALSE), STATUS_INVALID_DEVICE_STATE);
    a_.ClearAttention();
    EXPECT_EQ(Medium().Objects, 1u);
    ASSERT_EQ(TapeDriveEjectCartridge(drive_), STATUS_SUCCESS);
    ASSERT_EQ(TapeDriveLoadCartridge(drive_, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Medium().Objects, 0u);
}

TEST_F(TapeTest, PreventedMediumRemovalRefusesUnloadFromEveryNexus)
{
    MakeDrive();
    ASSERT_TRUE(a_.Prevent(true).Good());
    EXPECT_TRUE(Matches(a_.LoadUnload(false), Expect::Sense(5, 0x53, 0x02)));
    EXPECT_TRUE(Matches(b_.LoadUnload(false), Expect::Sense(5, 0x53, 0x02)));
    EXPECT_EQ(TapeDriveEjectCartridge(drive_), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Medium().State, TAPE_CARTRIDGE_LOADED);

    // Each nexus's prevention counts until that nexus allows removal.
    ASSERT_TRUE(b_.Prevent(true).Good());
    ASSERT_TRUE(a_.Prevent(false).Good());
    EXPECT_TRUE(Matches(a_.LoadUnload(false), Expect::Sense(5, 0x53, 0x02)));
    ASSERT_TRUE(b_.Prevent(false).Good());
    EXPECT_TRUE(a_.LoadUnload(false).Good());
    EXPECT_EQ(Medium().State, TAPE_CARTRIDGE_UNLOADED);

    // A reset ends prevention.
    ASSERT_TRUE(a_.LoadUnload(true).Good());
    b_.ClearAttention();
    ASSERT_TRUE(a_.Prevent(true).Good());
    TapeDrivePowerOnReset(drive_);
    a_.ClearAttention();
    EXPECT_TRUE(a_.LoadUnload(false).Good());
}

// ---------------------------------------------------------------------------------------------
// Buffers shorter or longer than the CDB says
// ---------------------------------------------------------------------------------------------

TEST_F(TapeTest, NeverMovesMoreDataThanTheBufferHolds)
{
    MakeDrive();
    for (int i = 0; i < 3; i++)
        ASSERT_TRUE(a_.Write(Pattern(200, i)).Good());
    ASSERT_TRUE(a_.Locate(1).Good());
    const UCHAR kGuard = 0xCC;

    struct Case {
        const char *what;
        std::initializer_list<UCHAR> cdb;
        FabDirection direction;
        ULONG bufferLength;
        Expect expect;
        USHORT fieldPointer; // for 5/24/00
        ULONG transferred;
    };
    const Case cases[] = {
        {"READ 200 bytes into 50", {0x08, 0, 0, 0, 200, 0}, FAB_DATA_IN, 50, Expect::Sense(5, 0x24, 0), 2, 0},
        {"READ into a buffer offered for writing", {0x08, 0, 0, 0, 200, 0}, FAB_DATA_OUT, 200,
         Expect::Sense(5, 0x24, 0), 2, 0},
        {"WRITE 200 bytes from 50", {0x0A, 0, 0, 0, 200, 0}, FAB_DATA_OUT, 50, Expect::Sense(5, 0x24, 0), 2, 0},
        {"VERIFY with compare of 200 bytes against 10", {0x13, 0x02, 0, 0, 200, 0}, FAB_DATA_OUT, 10,
         Expect::Sense(5, 0x24, 0), 2, 0},
        {"MODE SELECT(6) list of 12 in 4", {0x15, 0x10, 0, 0, 12, 0}, FAB_DATA_OUT, 4, Expect::Sense(5, 0x24, 0), 4, 0},
        {"MODE SELECT(10) list of 300 in 12", {0x55, 0x10, 0, 0, 0, 0, 0, 0x01, 0x2C, 0}, FAB_DATA_OUT, 12,
         Expect::Sense(5, 0x24, 0), 7, 0},
        {"PERSISTENT RESERVE OUT list of 24 in 8", {0x5F, 0, 0, 0, 0, 0, 0, 0, 24, 0}, FAB_DATA_OUT, 8,
         Expect::Sense(5, 0x24, 0), 5, 0},
        {"SEND DIAGNOSTIC list of 10 in 0", {0x1D, 0x10, 0, 0, 10, 0}, FAB_DATA_NONE, 0, Expect::Sense(5, 0x24, 0), 3, 0},
        {"INQUIRY for 255 into 10", {0x12, 0, 0, 0, 255, 0}, FAB_DATA_IN, 10, Expect::Good(), 0, 10},
        {"VPD 0x83 for 0x1000 into 7", {0x12, 1, 0x83, 0x10, 0x00, 0}, FAB_DATA_IN, 7, Expect::Good(), 0, 7},
        {"MODE SENSE(10) for 1000 into 12", {0x5A, 0, 0x3F, 0, 0, 0, 0, 0x03, 0xE8, 0}, FAB_DATA_IN, 12,
         Expect::Good(), 0, 12},
        {"REQUEST SENSE for 252 into 5", {0x03, 0, 0, 0, 252, 0}, FAB_DATA_IN, 5, Expect::Good(), 0, 5},
        {"READ POSITION into 8", {0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}, FAB_DATA_IN, 8, Expect::Good(), 0, 8},
        {"PERSISTENT RESERVE IN for 1000 into 3", {0x5E, 0, 0, 0, 0, 0, 0, 0x03, 0xE8, 0}, FAB_DATA_IN, 3,
         Expect::Good(), 0, 3},
        {"INQUIRY asking for 4 into 100", {0x12, 0, 0, 0, 4, 0}, FAB_DATA_IN, 100, Expect::Good(), 0, 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<UCHAR> buffer(c.bufferLength + 64, kGuard);
        if (c.direction == FAB_DATA_OUT)
            std::fill(buffer.begin(), buffer.begin() + c.bufferLength, 0);
        ScsiResult r = a_.Run(c.cdb, c.direction, c.bufferLength ? buffer.data() : nullptr, c.bufferLength);
        EXPECT_TRUE(Matches(r, c.expect));
        if (c.expect.status == SCSISTAT_CHECK_CONDITION && c.expect.asc == 0x24) {
            EXPECT_EQ(r.sense[15], 0xC0);
            EXPECT_EQ(r.sense[17], c.fieldPointer);
        }
        EXPECT_EQ(r.transferred, c.transferred);
        for (size_t i = c.bufferLength; i < buffer.size(); i++)
            ASSERT_EQ(buffer[i], kGuard) << "byte " << i << " past the buffer was written";
        EXPECT_EQ(Medium().Objects, 3u);
        EXPECT_EQ(Medium().Position, 1u);
    }
}

// ---------------------------------------------------------------------------------------------
// Identification and settings
// ---------------------------------------------------------------------------------------------

TEST_F(TapeTest, IdentifiesItselfAsTheConfigurationSays)
{
    MakeDrive();
    std::vector<UCHAR> data;
    ASSERT_TRUE(a_.In({0x12, 0, 0, 0, 96, 0}, &data, 96).Good());
    ASSERT_EQ(data.size(), 36u);
    EXPECT_EQ(data[0], 0x01) << "sequential-access device";
    EXPECT_EQ(data[1] & 0x80, 0x80) << "removable";
    EXPECT_EQ(data[4], 31);
    EXPECT_EQ(std::string(data.begin() + 8, data.begin() + 36), "VYR     VTD-9 Sim       0701");

    ASSERT_TRUE(a_.In({0x12, 1, 0x00, 0, 255, 0}, &data, 255).Good());
    EXPECT_EQ(data, (std::vector<UCHAR>{0x01, 0x00, 0x00, 3, 0x00, 0x80, 0x83}));
    ASSERT_TRUE(a_.In({0x12, 1, 0x80, 0, 255, 0}, &data, 255).Good());
    ASSERT_EQ(data.size(), 36u);
    EXPECT_EQ(data[3], 32);
    EXPECT_EQ(std::string(data.begin() + 4, data.end()), DefaultTapeConfig().SerialNumber);

    // Device identification, walked as a path filter walks it: the logical unit's NAA designator.
    auto naa = [&](const std::vector<UCHAR> &page) -> std::vector<UCHAR> {
        size_t length = 4 + ((size_t)page[2] << 8 | page[3]);
        EXPECT_EQ(length, page.size());
        for (size_t at = 4; at + 4 <= page.size(); at += 4 + page[at + 3])
            if ((page[at + 1] & 0x3F) == 0x03)
                return std::vector<UCHAR>(page.begin() + at + 4, page.begin() + at + 4 + page[at + 3]);
        return {};
    };
    ASSERT_TRUE(a_.In({0x12, 1, 0x83, 0, 255, 0}, &data, 255).Good());
    EXPECT_EQ(naa(data), (std::vector<UCHAR>{0x50, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10}));
    std::string t10(data.begin() + 20, data.begin() + 20 + 8 + 16 + 32);
    EXPECT_EQ(t10, std::string("VYR     VTD-9 Sim       ") + DefaultTapeConfig().SerialNumber);

    // A short serial is reported as it is; without a WWNN there is no NAA designator at all.
    TapeDriveConfig config = DefaultTapeConfig();
    config.SerialNumber = "SHORT1";
    config.Wwnn = nullptr;
    MakeDrive(config);
    ASSERT_TRUE(a_.In({0x12, 1, 0x80, 0, 255, 0}, &data, 255).Good());
    EXPECT_EQ(std::string(data.begin() + 4, data.end()), "SHORT1");
    ASSERT_TRUE(a_.In({0x12, 1, 0x83, 0, 255, 0}, &data, 255).Good());
    EXPECT_TRUE(naa(data).empty());
}

TEST_F(TapeTest, ModeSelectChangesTheBlockSizeOrNothingAtAll)
{
    MakeDrive();
    std::vector<UCHAR> data;
    ASSERT_TRUE(a_.In({0x05, 0, 0, 0, 0, 0}, &data, 6).Good());
    EXPECT_EQ(data, (std::vector<UCHAR>{0x00, 0x10, 0x00, 0x00, 0x00, 0x01})) << "READ BLOCK LIMITS: 1 MiB, 1";

    auto blockLength = [&]() -> ULONG {
        std::vector<UCHAR> mode;
        ScsiResult r = a_.In({0x5A, 0, 0x10, 0, 0, 0, 0, 0, 255, 0}, &mode, 255);
        EXPECT_TRUE(r.Good()) << r.Text();
        EXPECT_EQ(mode[7], 8) << "block descriptor length";
        return ((ULONG)mode[13] << 16) | ((ULONG)mode[14] << 8) | mode[15];
    };
    EXPECT_EQ(blockLength(), 0u);

    std::vector<UCHAR> select = {0, 0, 0x10, 8, 0x80, 0, 0, 0, 0, 0, 0x04, 0x00};
    ASSERT_TRUE(a_.Out({0x15, 0x10, 0, 0, 12, 0}, select).Good());
    EXPECT_EQ(blockLength(), 1024u);
    EXPECT_TRUE(a_.WriteFixed(Pattern(3 * 1024, 1), 3).Good());
    EXPECT_EQ(Medium().Blocks, 3u);

    struct Refused {
        const char *what;
        std::vector<UCHAR> list;
        UCHAR asc;
        USHORT field;
    };
    const Refused refused[] = {
        {"block length above the maximum", {0, 0, 0, 8, 0, 0, 0, 0, 0, 0x20, 0, 0}, 0x26, 9},
        {"unknown density", {0, 0, 0, 8, 0x42, 0, 0, 0, 0, 0, 0x02, 0}, 0x26, 4},
        {"descriptor length 4", {0, 0, 0, 4, 0, 0, 0, 0}, 0x26, 3},
        {"descriptor cut short", {0, 0, 0, 8, 0, 0, 0, 0}, 0x1A, 0},
        // A good descriptor together with a page that tries to change a fixed bit: neither applies.
        {"good descriptor, page 0x10 changes a fixed byte",
         {0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0x02, 0, 0x10, 0x0E, 0, 0x7F, 0, 0, 0, 0, 0, 0, 0x18, 0, 0, 0, 0x01, 0},
         0x26, 15},
        {"unknown page", {0, 0, 0, 0, 0x02, 0x02, 0, 0}, 0x26, 4},
        {"page longer than the list", {0, 0, 0, 0, 0x10, 0x0E, 0, 0}, 0x1A, 0},
    };
    for (const Refused &r : refused) {
        SCOPED_TRACE(r.what);
        ScsiResult result = a_.Out({0x15, 0x10, 0, 0, (UCHAR)r.list.size(), 0}, r.list);
        EXPECT_TRUE(Matches(result, Expect::Sense(5, r.asc, 0)));
        if (r.asc == 0x26) {
            EXPECT_EQ(result.sense[15], 0x80) << "field pointer into the parameter list";
            EXPECT_EQ(result.sense[17], r.field);
        }
        EXPECT_EQ(blockLength(), 1024u);
    }
    // A changeable field of page 0x10 (the write delay) takes; saved values do not exist.
    std::vector<UCHAR> page10 = {0, 0, 0, 0, 0x10, 0x0E, 0, 0, 0, 0, 0x12, 0x34, 0, 0, 0x18, 0, 0, 0, 0x01, 0};
    ASSERT_TRUE(a_.Out({0x15, 0x10, 0, 0, (UCHAR)page10.size(), 0}, page10).Good());
    ASSERT_TRUE(a_.In({0x1A, 0x08, 0x10, 0, 255, 0}, &data, 255).Good());
    EXPECT_EQ(data[4 + 6], 0x12);
    EXPECT_EQ(data[4 + 7], 0x34);
    EXPECT_TRUE(Matches(a_.In({0x1A, 0x08, 0xD0, 0, 255, 0}, &data, 255), Expect::Sense(5, 0x39, 0)));
    EXPECT_TRUE(Matches(a_.Run({0x15, 0x11, 0, 0, 0, 0}), Expect::Sense(5, 0x24, 0))) << "SP";
    // MODE SELECT(10) finds the device-specific parameter (buffered mode) in header byte 3.
    ASSERT_TRUE(a_.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, 16, 0}, {0, 0, 0x7E, 0x00, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0x08, 0}).Good());
    ASSERT_TRUE(a_.In({0x1A, 0x08, 0x10, 0, 255, 0}, &data, 255).Good());
    EXPECT_EQ(data[2] & 0x70, 0x00);
    EXPECT_EQ(blockLength(), 2048u);
    ASSERT_TRUE(a_.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, 8, 0}, {0, 0, 0x00, 0x10, 0, 0, 0, 0}).Good());
    ASSERT_TRUE(a_.In({0x1A, 0x08, 0x10, 0, 255, 0}, &data, 255).Good());
    EXPECT_EQ(data[2] & 0x70, 0x10);
    // A power-on brings the defaults back.
    TapeDrivePowerOnReset(drive_);
    a_.ClearAttention();
    EXPECT_EQ(blockLength(), 0u);
}

TEST_F(TapeTest, VerifyComparesWhatIsOnTheTape)
{
    MakeDrive();
    ASSERT_TRUE(a_.Write(Pattern(128, 1)).Good());
    ASSERT_TRUE(a_.Write(Pattern(128, 2)).Good());
    ASSERT_TRUE(a_.Rewind().Good());
    EXPECT_TRUE(a_.Out({0x13, 0x02, 0, 0, 128, 0}, Pattern(128, 1)).Good());
    EXPECT_EQ(a_.Position(), 1u);
    EXPECT_TRUE(Matches(a_.Out({0x13, 0x02, 0, 0, 128, 0}, Pattern(128, 9)), Expect::Residual(0xE, 0x1D, 0, 0, 128)));
    EXPECT_EQ(a_.Position(), 2u);
    ASSERT_TRUE(a_.Rewind().Good());
    EXPECT_TRUE(a_.Run({0x13, 0x00, 0, 0, 128, 0}).Good()) << "verify without compare reads the block";
    EXPECT_TRUE(Matches(a_.Run({0x13, 0x00, 0, 0, 100, 0}), Expect::Residual(0, 0, 0, ILI, -28)));
    EXPECT_EQ(a_.Position(), 2u);
}

TEST_F(TapeTest, CreationRefusesConfigurationsNoDriveCouldHave)
{
    struct Case {
        const char *what;
        std::function<void(TapeDriveConfig &)> change;
    };
    const Case cases[] = {
        {"no serial", [](TapeDriveConfig &c) { c.SerialNumber = ""; }},
        {"33-character serial", [](TapeDriveConfig &c) { c.SerialNumber = "123456789012345678901234567890123"; }},
        {"serial with a control character", [](TapeDriveConfig &c) { c.SerialNumber = "ABC\tDEF"; }},
        {"WWNN of 15 digits", [](TapeDriveConfig &c) { c.Wwnn = "500A0B0C0D0E0F1"; }},
        {"WWNN of 17 digits", [](TapeDriveConfig &c) { c.Wwnn = "500A0B0C0D0E0F101"; }},
        {"WWNN not hexadecimal", [](TapeDriveConfig &c) { c.Wwnn = "500A0B0C0D0E0FXY"; }},
        {"product of 17 characters", [](TapeDriveConfig &c) { c.ProductId = "12345678901234567"; }},
        {"no capacity", [](TapeDriveConfig &c) { c.CapacityBytes = 0; }},
        {"early warning past the end", [](TapeDriveConfig &c) { c.EarlyWarningBytes = c.CapacityBytes + 1; }},
        {"block above the maximum", [](TapeDriveConfig &c) { c.MaxBlockLength = 4096; c.BlockSize = 8192; }},
        {"maximum beyond 24 bits", [](TapeDriveConfig &c) { c.MaxBlockLength = 0x1000000; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TapeDriveConfig config = DefaultTapeConfig();
        c.change(config);
        TapeDrive *drive = (TapeDrive *)0x1;
        EXPECT_EQ(TapeDriveCreate(&config, &drive), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(drive, nullptr);
    }
    for (const hk::PoolBlockInfo &block : hk::OutstandingPool())
        EXPECT_NE(block.tag, TAPE_TAG_DRIVE) << "a refused drive left its record behind";
}

// ---------------------------------------------------------------------------------------------
// The model's own resources
// ---------------------------------------------------------------------------------------------

size_t OurBlocks()
{
    size_t n = 0;
    for (const hk::PoolBlockInfo &block : hk::OutstandingPool())
        if (block.tag == TAPE_TAG_DRIVE || block.tag == TAPE_TAG_DATA || block.tag == TAPE_TAG_INDEX)
            n++;
    return n;
}

TEST_F(TapeTest, SeveralMebibytesFitAndThePoolIsFreedAtDelete)
{
    MakeDrive();
    // Blocks of an odd size straddle the chunk boundaries of the store.
    const ULONG size = 65537;
    const int blocks = 100; // 6.25 MiB
    for (int i = 0; i < blocks; i++) {
        ASSERT_TRUE(a_.Write(Pattern(size, i)).Good()) << i;
        if (i % 10 == 9)
            ASSERT_TRUE(a_.WriteFilemarks(1).Good());
    }
    EXPECT_EQ(Medium().DataBytes, (ULONG64)size * blocks);
    EXPECT_EQ(Medium().Filemarks, 10u);
    size_t chunks = 0;
    for (const hk::PoolBlockInfo &block : hk::OutstandingPool())
        if (block.tag == TAPE_TAG_DATA)
            chunks++;
    EXPECT_EQ(chunks, ((ULONG64)size * blocks + 256 * 1024 - 1) / (256 * 1024));

    ASSERT_TRUE(a_.Rewind().Good());
    std::vector<UCHAR> data;
    for (int i = 0; i < blocks; i++) {
        ASSERT_TRUE(a_.Read(size, &data).Good()) << i;
        ASSERT_EQ(data, Pattern(size, i)) << "block " << i;
        if (i % 10 == 9)
            ASSERT_TRUE(Matches(a_.Read(size, &data), Expect::Residual(0, 0, 1, FM, (int32_t)size)));
    }

    // Overwriting from the start gives the chunks back at once.
    ASSERT_TRUE(a_.Rewind().Good());
    ASSERT_TRUE(a_.Write(Pattern(10, 1)).Good());
    chunks = 0;
    for (const hk::PoolBlockInfo &block : hk::OutstandingPool())
        if (block.tag == TAPE_TAG_DATA)
            chunks++;
    EXPECT_EQ(chunks, 1u);

    ASSERT_GT(OurBlocks(), 0u);
    DeleteDrive();
    EXPECT_EQ(OurBlocks(), 0u);
}

TEST_F(TapeTest, EveryBusyNexusPastTheTableGetsBusy)
{
    MakeDrive();
    for (ULONG64 n = 0; n < TAPE_MAX_NEXUS - 2; n++) {
        Initiator i(0x1000 + n, "2000000000000000");
        i.Attach(drive_);
        ASSERT_TRUE(Matches(i.Tur(), Expect::Sense(6, 0x29, 0))) << n;
    }
    Initiator extra(0x9999, "2000000000000099");
    extra.Attach(drive_);
    ScsiResult r = extra.Tur();
    EXPECT_EQ(r.status, SCSISTAT_BUSY);
    EXPECT_TRUE(r.sense.empty());
    EXPECT_TRUE(a_.Tur().Good()) << "the nexuses it knows go on";
}

// Several nexuses write at once: every block lands whole and in its writer's order. Small blocks
// and many of them, so that the writers keep meeting in the object index and the chunk table.
TEST_F(TapeTest, ConcurrentNexusesNeverTearABlock)
{
    MakeDrive();
    const int writers = 8, perWriter = 1500;
    const ULONG size = 200;
    std::vector<Initiator> initiators;
    for (int w = 0; w < writers; w++) {
        initiators.emplace_back(0x7000 + w, "3000000000000000");
        initiators.back().Attach(drive_);
        initiators.back().ClearAttention();
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; w++) {
        threads.emplace_back([&, w] {
            for (int k = 0; k < perWriter; k++) {
                std::vector<UCHAR> block(size, (UCHAR)(w + 1));
                block[0] = (UCHAR)k;
                block[size - 1] = (UCHAR)(k >> 8);
                // Every write appends: the position of every nexus is the drive's end of data.
                if (!initiators[w].Write(block).Good())
                    failures++;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    ASSERT_EQ(failures.load(), 0);
    ASSERT_EQ(Medium().Blocks, (ULONG64)writers * perWriter);
    std::vector<int> next(writers, 0);
    for (ULONG64 i = 0; i < Medium().Objects; i++) {
        std::vector<UCHAR> block = Block(i);
        ASSERT_EQ(block.size(), size);
        int w = block[1] - 1;
        ASSERT_TRUE(w >= 0 && w < writers) << "block " << i;
        for (ULONG j = 1; j < size - 1; j++)
            ASSERT_EQ(block[j], block[1]) << "block " << i << " is torn at byte " << j;
        ASSERT_EQ(block[0] | block[size - 1] << 8, next[w]++) << "block " << i << " out of its writer's order";
    }
}

} // namespace
} // namespace vyr::test
