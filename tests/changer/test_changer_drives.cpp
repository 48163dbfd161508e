// A changer's drive elements are the fabric's tape drives: a cartridge moved into one is loaded
// into that drive (which then reports the new medium), one moved out is taken from it, and the
// medium belongs to the cartridge, so that what was written in one drive reads back in another.
// Moves that a drive cannot go along with fail and change nothing.
#include "hk/host.h"
#include "hk/ntddscsi.h"
#include "kernel_fixture.h"
#include "machine/testbed.h"
#include "vyr/fabricctl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using vyr::sim::Fabric;

constexpr USHORT kSlot = FAB_CHANGER_SLOT_ADDRESS, kDrive = FAB_CHANGER_DRIVE_ADDRESS;

struct Scsi {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    UCHAR scsiStatus = 0xFF;
    UCHAR key = 0, asc = 0, ascq = 0;
    std::vector<UCHAR> data;
};

struct PassThrough {
    SCSI_PASS_THROUGH header{};
    UCHAR sense[32];
    UCHAR data[4096];
};

class ChangerDrivesTest : public vyr::test::KernelTest {
protected:
    void Build(bool drivesEmpty)
    {
        vyr::sim::InstallTestbed(*machine_);
        fabric_ = std::make_unique<Fabric>();
        app_ = hk::Process::Create("library");
        vyr::sim::Topology topology;
        topology.drives = 2;
        topology.pathsPerDrive = 1;
        topology.changers = 1;
        topology.pathsPerChanger = 1;
        topology.linkedDrivesEmpty = drivesEmpty;
        ASSERT_EQ(fabric_->Build(topology), STATUS_SUCCESS);
        changer_ = Open("\\\\.\\VyrChangerPath0");
        // The tape paths by their target: drive d is target d.
        for (int n = 0; n < 2; n++) {
            HANDLE h = Open("\\\\.\\VyrTapePath" + std::to_string(n));
            SCSI_ADDRESS address{};
            IO_STATUS_BLOCK iosb{};
            ASSERT_EQ(app_->NtDeviceIoControlFile(h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address, &iosb),
                      STATUS_SUCCESS);
            ASSERT_LT(address.TargetId, 2);
            tapes_[address.TargetId] = h;
        }
        // Every nexus has heard of the power-on before the test begins.
        Settle(changer_);
        Settle(tapes_[0]);
        Settle(tapes_[1]);
    }
    void TearDown() override
    {
        for (HANDLE h : handles_)
            app_->CloseHandle(h);
        app_.reset();
        fabric_.reset();
        KernelTest::TearDown();
    }

    HANDLE Open(const std::string &name)
    {
        HANDLE h = app_->CreateFile(name);
        EXPECT_NE(h, hk::INVALID_HANDLE) << name;
        handles_.push_back(h);
        return h;
    }

    Scsi Run(HANDLE h, std::vector<UCHAR> cdb, UCHAR direction = SCSI_IOCTL_DATA_UNSPECIFIED,
             const std::vector<UCHAR> &out = {}, ULONG inLength = 0)
    {
        PassThrough p{};
        p.header.Length = sizeof(SCSI_PASS_THROUGH);
        p.header.CdbLength = (UCHAR)cdb.size();
        p.header.SenseInfoLength = sizeof p.sense;
        p.header.DataIn = direction;
        p.header.DataTransferLength = direction == SCSI_IOCTL_DATA_OUT ? (ULONG)out.size() : inLength;
        p.header.DataBufferOffset = offsetof(PassThrough, data);
        p.header.SenseInfoOffset = offsetof(PassThrough, sense);
        memcpy(p.header.Cdb, cdb.data(), cdb.size());
        if (!out.empty())
            memcpy(p.data, out.data(), out.size());
        IO_STATUS_BLOCK iosb{};
        Scsi r;
        r.status = app_->NtDeviceIoControlFile(h, IOCTL_SCSI_PASS_THROUGH, &p, sizeof p, &p, sizeof p, &iosb);
        r.scsiStatus = p.header.ScsiStatus;
        if (p.header.SenseInfoLength >= 14) {
            r.key = p.sense[2] & 0x0F;
            r.asc = p.sense[12];
            r.ascq = p.sense[13];
        }
        if (direction == SCSI_IOCTL_DATA_IN)
            r.data.assign(p.data, p.data + p.header.DataTransferLength);
        return r;
    }

    // TEST UNIT READY until the nexus has no more news; the unit attentions it heard.
    std::vector<UCHAR> Settle(HANDLE h)
    {
        std::vector<UCHAR> heard;
        for (int i = 0; i < 8; i++) {
            Scsi r = Run(h, {0x00, 0, 0, 0, 0, 0});
            if (r.scsiStatus != SCSISTAT_CHECK_CONDITION || r.key != 0x6)
                break;
            heard.push_back(r.asc);
        }
        return heard;
    }

    Scsi Move(USHORT source, USHORT target)
    {
        return Run(changer_, {0xA5, 0, 0, 0, (UCHAR)(source >> 8), (UCHAR)source, (UCHAR)(target >> 8), (UCHAR)target, 0,
                              0, 0, 0});
    }

    FabChangerState Changer()
    {
        FabChangerState s{};
        EXPECT_EQ(fabric_->QueryChanger(2, &s), STATUS_SUCCESS);
        return s;
    }
    FabDriveState Drive(ULONG d)
    {
        FabDriveState s{};
        EXPECT_EQ(fabric_->QueryDrive(d, &s), STATUS_SUCCESS);
        return s;
    }

    std::unique_ptr<Fabric> fabric_;
    std::shared_ptr<hk::Process> app_;
    std::vector<HANDLE> handles_;
    HANDLE changer_ = nullptr;
    HANDLE tapes_[2] = {};
};

std::vector<UCHAR> Record(UCHAR fill)
{
    std::vector<UCHAR> record(512);
    for (size_t i = 0; i < record.size(); i++)
        record[i] = (UCHAR)(fill + i);
    return record;
}

TEST_F(ChangerDrivesTest, CartridgeLoadsTheDriveBehindItsElementAndTakesItsDataAlong)
{
    Build(true);
    ASSERT_EQ(Drive(0).Cartridge, FAB_CARTRIDGE_NONE);
    EXPECT_EQ(Run(tapes_[0], {0x00, 0, 0, 0, 0, 0}).asc, 0x3A) << "an empty drive reports no medium";

    ASSERT_EQ(Move(kSlot + 0, kDrive + 0).scsiStatus, SCSISTAT_GOOD);
    EXPECT_EQ(Drive(0).Cartridge, FAB_CARTRIDGE_LOADED);
    EXPECT_EQ(Changer().DriveElements[0], 1);
    // A new medium is news for every nexus of the drive, once.
    EXPECT_EQ(Settle(tapes_[0]), std::vector<UCHAR>{0x28});
    EXPECT_EQ(Run(tapes_[0], {0x00, 0, 0, 0, 0, 0}).scsiStatus, SCSISTAT_GOOD);

    // Variable-block WRITE(6) of one record and a filemark on cartridge 1.
    const std::vector<UCHAR> record = Record(0x31);
    ASSERT_EQ(Run(tapes_[0], {0x0A, 0, 0, 0x02, 0x00, 0}, SCSI_IOCTL_DATA_OUT, record).scsiStatus, SCSISTAT_GOOD);
    ASSERT_EQ(Run(tapes_[0], {0x10, 0, 0, 0, 1, 0}).scsiStatus, SCSISTAT_GOOD);
    EXPECT_EQ(Drive(0).Blocks, 1u);

    // Out to slot 5: the drive is empty again; cartridge 2 in its place is blank.
    ASSERT_EQ(Move(kDrive + 0, kSlot + 5).scsiStatus, SCSISTAT_GOOD);
    EXPECT_EQ(Drive(0).Cartridge, FAB_CARTRIDGE_NONE);
    EXPECT_EQ(Changer().Slots[5], 1);
    ASSERT_EQ(Move(kSlot + 1, kDrive + 0).scsiStatus, SCSISTAT_GOOD);
    EXPECT_EQ(Drive(0).Blocks, 0u);
    EXPECT_EQ(Drive(0).Filemarks, 0u);

    // Cartridge 1 in the other drive reads back what drive 0 wrote on it.
    ASSERT_EQ(Move(kSlot + 5, kDrive + 1).scsiStatus, SCSISTAT_GOOD);
    FabDriveState other = Drive(1);
    EXPECT_EQ(other.Cartridge, FAB_CARTRIDGE_LOADED);
    EXPECT_EQ(other.Blocks, 1u);
    EXPECT_EQ(other.Filemarks, 1u);
    EXPECT_EQ(other.Position, 0u) << "a loaded cartridge stands at BOP";
    EXPECT_EQ(Settle(tapes_[1]), std::vector<UCHAR>{0x28});
    Scsi read = Run(tapes_[1], {0x08, 0, 0, 0x02, 0x00, 0}, SCSI_IOCTL_DATA_IN, {}, 512);
    ASSERT_EQ(read.scsiStatus, SCSISTAT_GOOD);
    EXPECT_EQ(read.data, record);

    FabChangerState s = Changer();
    EXPECT_EQ(s.DriveElements[0], 2);
    EXPECT_EQ(s.DriveElements[1], 1);
    EXPECT_EQ(s.Moves, 4u);
    // Cartridges left in the drives are freed with the fabric; the verifier checks at shutdown.
}

TEST_F(ChangerDrivesTest, MovesTheDrivesCannotGoAlongWithFailAndChangeNothing)
{
    Build(false);
    // Both drives hold a cartridge of their own, which the changer does not know of.
    Scsi full = Move(kSlot + 0, kDrive + 0);
    EXPECT_EQ(full.scsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(full.key, 0x5);
    EXPECT_EQ(full.asc, 0x3B);
    EXPECT_EQ(full.ascq, 0x0D);
    EXPECT_EQ(Changer().Slots[0], 1);
    EXPECT_EQ(Changer().DriveElements[0], 0);
    EXPECT_TRUE(Settle(tapes_[0]).empty()) << "the drive's own cartridge stayed";

    // Written on drive 0's own cartridge, which the operator then ejects: the changer's cartridge
    // goes in, and the drive's own comes back when the changer takes its cartridge out again.
    const std::vector<UCHAR> record = Record(0x55);
    ASSERT_EQ(Run(tapes_[0], {0x0A, 0, 0, 0x02, 0x00, 0}, SCSI_IOCTL_DATA_OUT, record).scsiStatus, SCSISTAT_GOOD);
    ASSERT_EQ(fabric_->DriveControl(0, FAB_DRIVE_UNLOAD, 0), STATUS_SUCCESS);
    ASSERT_EQ(Move(kSlot + 0, kDrive + 0).scsiStatus, SCSISTAT_GOOD);
    EXPECT_EQ(Drive(0).Blocks, 0u) << "cartridge 1 is blank";

    // Drive to drive where the destination holds its own cartridge: cartridge 1 stays in drive 0.
    Scsi refused = Move(kDrive + 0, kDrive + 1);
    EXPECT_EQ(refused.asc, 0x3B);
    EXPECT_EQ(refused.ascq, 0x0D);
    EXPECT_EQ(Changer().DriveElements[0], 1);
    EXPECT_EQ(Changer().DriveElements[1], 0);
    EXPECT_EQ(Drive(0).Cartridge, FAB_CARTRIDGE_LOADED);
    EXPECT_EQ(Drive(1).Blocks, 0u);

    // An initiator that prevents medium removal keeps the cartridge in the drive.
    Settle(tapes_[0]);
    ASSERT_EQ(Run(tapes_[0], {0x1E, 0, 0, 0, 1, 0}).scsiStatus, SCSISTAT_GOOD);
    Scsi prevented = Move(kDrive + 0, kSlot + 0);
    EXPECT_EQ(prevented.key, 0x5);
    EXPECT_EQ(prevented.asc, 0x53);
    EXPECT_EQ(prevented.ascq, 0x02);
    EXPECT_EQ(Changer().DriveElements[0], 1);
    EXPECT_EQ(Drive(0).Cartridge, FAB_CARTRIDGE_LOADED);
    ASSERT_EQ(Run(tapes_[0], {0x1E, 0, 0, 0, 0, 0}).scsiStatus, SCSISTAT_GOOD);
    ASSERT_EQ(Move(kDrive + 0, kSlot + 0).scsiStatus, SCSISTAT_GOOD);

    // The drive's own cartridge is back in its hand: loading it again finds the record.
    ASSERT_EQ(fabric_->DriveControl(0, FAB_DRIVE_LOAD, 0), STATUS_SUCCESS);
    EXPECT_EQ(Drive(0).Blocks, 1u);
}

TEST_F(ChangerDrivesTest, ChangerMayOnlyNameTapeDrivesNoOtherElementStandsFor)
{
    Build(true);
    vyr::sim::Topology topology;
    auto config = [&](std::vector<ULONG> drives) {
        FabChangerConfig c = Fabric::ChangerConfig(topology, 1);
        c.Drives = 4;
        c.LinkedDrives = (ULONG)drives.size();
        for (size_t i = 0; i < drives.size(); i++)
            c.DriveIndex[i] = drives[i];
        return c;
    };
    ULONG index = 0;
    EXPECT_EQ(fabric_->AddChanger(config({0}), &index), STATUS_INVALID_PARAMETER) << "changer 0 has drive 0";
    EXPECT_EQ(fabric_->AddChanger(config({2}), &index), STATUS_INVALID_PARAMETER) << "index 2 is a changer";
    EXPECT_EQ(fabric_->AddChanger(config({7}), &index), STATUS_INVALID_PARAMETER) << "no drive 7";
    FabDriveConfig drive = Fabric::DriveConfig(topology, 5);
    ULONG spare = 0;
    ASSERT_EQ(fabric_->AddDrive(drive, &spare), STATUS_SUCCESS);
    EXPECT_EQ(fabric_->AddChanger(config({spare, spare}), &index), STATUS_INVALID_PARAMETER) << "named twice";
    FabChangerConfig stray = config({spare});
    stray.DriveIndex[3] = 1;
    EXPECT_EQ(fabric_->AddChanger(stray, &index), STATUS_INVALID_PARAMETER) << "an entry past the linked ones";
    FabChangerConfig tooMany = config({spare});
    tooMany.Drives = 0;
    EXPECT_EQ(fabric_->AddChanger(tooMany, &index), STATUS_INVALID_PARAMETER) << "more links than drive elements";
    ASSERT_EQ(fabric_->AddChanger(config({spare}), &index), STATUS_SUCCESS);
    EXPECT_EQ(index, spare + 1);
}

} // namespace
