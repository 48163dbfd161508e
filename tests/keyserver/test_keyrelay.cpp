// The key exchange relay end to end: an application writes to \\.\Tape0 on a key-managed drive,
// the drive asks for its key server, the bus relays the exchange to key server stand-ins on
// loopback and sends the write again. Also IOCTL_TPBUS_KEY_REQUEST, every way a key server can
// misbehave, and the relay under failing allocations.
#include "keyserver_standin.h"
#include "test_io_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

namespace vyr::test {
namespace {

namespace fs = std::filesystem;
using keysim::KeyServerStandIn;
using keysim::Misbehaviour;
using keysim::StandInOptions;

constexpr ULONG kBlock = 4096;
constexpr ULONG kTagRelay = VyrPoolTag("ZKSa");
constexpr ULONG kTagPassThrough = VyrPoolTag("WPXa");

// A loopback port nobody listens on.
USHORT ClosedPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (sockaddr *)&sin, sizeof sin);
    socklen_t len = sizeof sin;
    getsockname(fd, (sockaddr *)&sin, &len);
    close(fd);
    return ntohs(sin.sin_port);
}

class KeyRelayTest : public TapeStackTest {
protected:
    void TearDown() override
    {
        servers_.clear();
        TapeStackTest::TearDown();
    }

    // A key-managed drive on `paths` paths.
    void BuildKeyManaged(int paths = 1)
    {
        Build(paths);
        ASSERT_EQ(fabric_->DriveControl(0, FAB_DRIVE_KEY_MANAGED, 1), STATUS_SUCCESS);
    }

    KeyServerStandIn &AddServer(Misbehaviour m = Misbehaviour::None, int commands = 2)
    {
        StandInOptions o;
        o.misbehaviour = m;
        o.commands = commands;
        servers_.push_back(std::make_unique<KeyServerStandIn>(o));
        EXPECT_TRUE(servers_.back()->Listening());
        return *servers_.back();
    }

    // VYRZKS.conf on C: with one line per port, in order.
    void WriteConfig(const std::vector<USHORT> &ports, ULONG timeout = 30)
    {
        std::string text;
        for (size_t k = 0; k < ports.size(); k++)
            text += "ks" + std::to_string(k) + " " + std::to_string(timeout) + " 127.0.0.1:" + std::to_string(ports[k]) + "\n";
        WriteConfigText(text);
    }
    void WriteConfigText(const std::string &text)
    {
        fs::path dir = hk::DriveFolder('C');
        fs::create_directories(dir);
        std::ofstream(dir / "VYRZKS.conf", std::ios::binary | std::ios::trunc) << text;
    }
    std::vector<USHORT> Ports() const
    {
        std::vector<USHORT> p;
        for (const auto &s : servers_)
            p.push_back(s->Port());
        return p;
    }

    FabDriveState Drive()
    {
        FabDriveState state{};
        EXPECT_EQ(fabric_->QueryDrive(0, &state), STATUS_SUCCESS);
        return state;
    }

    // Takes the drive's key away again: its next data command asks for one.
    void DropKey()
    {
        ASSERT_EQ(fabric_->DriveControl(0, FAB_DRIVE_KEY_MANAGED, 0), STATUS_SUCCESS);
        ASSERT_EQ(fabric_->DriveControl(0, FAB_DRIVE_KEY_MANAGED, 1), STATUS_SUCCESS);
    }

    NTSTATUS KeyRequest(HANDLE h, ULONG type, KeyRequestBlock *block, ULONG outLength = sizeof(KeyRequestBlock),
                        ULONG *returned = nullptr)
    {
        *block = {};
        block->ulType = type;
        memcpy(block->Carried, "CARRIED!", 8);
        return Ioctl(h, IOCTL_TPBUS_KEY_REQUEST, block, sizeof *block, block, outLength, returned);
    }

    std::vector<std::unique_ptr<KeyServerStandIn>> servers_;
};

ULONG Be32(const std::vector<uint8_t> &m, size_t at)
{
    return (ULONG)m[at] << 24 | (ULONG)m[at + 1] << 16 | (ULONG)m[at + 2] << 8 | m[at + 3];
}

TEST_F(KeyRelayTest, WriteThatMeetsAKeyRequestIsRelayedAndSentAgain)
{
    BuildKeyManaged();
    KeyServerStandIn &server = AddServer();
    WriteConfig(Ports());
    HANDLE h = Open();
    ASSERT_NE(h, hk::INVALID_HANDLE);
    ULONG written = 0;
    ASSERT_EQ(Write(h, Block(kBlock, 1), &written), STATUS_SUCCESS);
    EXPECT_EQ(written, kBlock);
    EXPECT_TRUE(Drive().fKeyLoaded);

    keysim::StandInCounters c = server.Counters();
    EXPECT_EQ(c.driveMessages, 1);
    EXPECT_EQ(c.commandsSent, 2);
    EXPECT_EQ(c.dataReplies, 1);
    EXPECT_EQ(c.statusReplies, 1);
    EXPECT_EQ(c.failedCommands, 0);
    EXPECT_EQ(c.exchangesEnded, 1);

    // What went over the wire: the drive message (the page after its header), a data reply of
    // n + 69 bytes and a 157-byte status reply, each echoing the exchange header without the
    // command bit.
    auto messages = server.Received();
    ASSERT_EQ(messages.size(), 3u);
    const auto &drive = messages[0], &data = messages[1], &status = messages[2];
    ASSERT_EQ(drive.size(), 5u + 4 + 140);
    EXPECT_EQ(Be32(drive, 5), 140u);
    EXPECT_EQ(drive[5 + 12], 1) << "a request is pending";
    ASSERT_EQ(data.size(), 144u + 69);
    EXPECT_EQ(Be32(data, 5), 144u + 60);
    EXPECT_EQ(Be32(data, 9), 144u + 52);
    EXPECT_EQ(data[61], 0x65);
    EXPECT_EQ(data[62], 0xFF);
    EXPECT_EQ(data[41] & 0x80, 0);
    EXPECT_EQ(std::string(data.begin() + 13, data.begin() + 17), "VKS1");
    ASSERT_EQ(status.size(), 157u);
    EXPECT_EQ(Be32(status, 5), 148u);
    EXPECT_EQ(status[129], 0) << "the MODE SELECT succeeded";
    EXPECT_EQ(status[134], 0x0A);
    EXPECT_TRUE(std::equal(status.begin() + 97, status.begin() + 117, drive.begin() + 129)) << "drive echo block";

    // The key stays: the next write needs no relay.
    ASSERT_EQ(Write(h, Block(kBlock, 2)), STATUS_SUCCESS);
    EXPECT_EQ(server.Counters().driveMessages, 1);
    EXPECT_EQ(BusPool(kTagRelay), 1u) << "only the device's relay state stays";
    EXPECT_EQ(BusPool(kTagPassThrough), 0u);
}

// A key server may send the drive any command. One that moves the tape during the exchange must
// not have the refused write sent again from where the tape now is: at the beginning of the tape
// it would overwrite everything written before.
TEST_F(KeyRelayTest, WriteIsNotSentAgainWhenTheKeyExchangeMovedTheTape)
{
    BuildKeyManaged();
    KeyServerStandIn &server = AddServer();
    WriteConfig(Ports());
    HANDLE h = Open();
    ASSERT_NE(h, hk::INVALID_HANDLE);
    for (int i = 1; i <= 3; i++)
        ASSERT_EQ(Write(h, Block(kBlock, i)), STATUS_SUCCESS);

    DropKey();
    server.SetMisbehaviour(Misbehaviour::RewindsTheTape);
    ULONG written = 1;
    EXPECT_FALSE(NT_SUCCESS(Write(h, Block(kBlock, 4), &written)));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(server.Counters().exchangesEnded, 2);
    EXPECT_TRUE(Drive().fKeyLoaded) << "the exchange itself went through";
    EXPECT_EQ(Drive().Position, 0u) << "the key server's REWIND ran";

    ASSERT_EQ(Rewind(h), STATUS_SUCCESS);
    for (int i = 1; i <= 3; i++) {
        std::vector<UCHAR> data;
        ASSERT_EQ(Read(h, &data, kBlock), STATUS_SUCCESS) << "block " << i;
        EXPECT_EQ(data, Block(kBlock, i)) << "block " << i;
    }
    std::vector<UCHAR> data;
    EXPECT_FALSE(NT_SUCCESS(Read(h, &data, kBlock))) << "nothing after the third block";
}

// A drive whose key request message is longer than a message may be: the key server gets the
// first 16,384 bytes, the length words as the drive gave them, and the exchange goes on to give
// the drive its key. The longer MODE SENSE answer it asks for is cut the same way.
TEST_F(KeyRelayTest, OversizedDriveMessageIsCutAtTheMessageLimit)
{
    BuildKeyManaged();
    KeyServerStandIn &server = AddServer();
    WriteConfig(Ports());
    HANDLE h = Open();
    ASSERT_NE(h, hk::INVALID_HANDLE);

    // The lengthened page as the drive gives it: the mode data length counts all of it, and a
    // MODE SENSE(6), whose one-byte length cannot, is refused.
    ASSERT_EQ(fabric_->DriveControl(0, FAB_DRIVE_KEY_PAGE_LENGTH, 20000), STATUS_SUCCESS);
    std::vector<UCHAR> sense(64);
    UCHAR scsi = 0xFF;
    ASSERT_EQ(PassThrough(h, {0x5A, 0x08, 0x25, 0xFF, 0, 0, 0, 0, 64, 0}, SCSI_IOCTL_DATA_IN, &sense, &scsi), STATUS_SUCCESS);
    EXPECT_EQ(scsi, 0);
    EXPECT_EQ((sense[0] << 8 | sense[1]) + 2, 8 + 4 + 20000);
    EXPECT_EQ(sense[10] << 8 | sense[11], 20000);
    sense.assign(64, 0);
    PassThrough(h, {0x1A, 0x08, 0x25, 0xFF, 64, 0}, SCSI_IOCTL_DATA_IN, &sense, &scsi);
    EXPECT_EQ(scsi, 2) << "MODE SENSE(6) of a page it cannot count";
    EXPECT_EQ(fabric_->DriveControl(0, FAB_DRIVE_KEY_PAGE_LENGTH, 143), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(fabric_->DriveControl(0, FAB_DRIVE_KEY_PAGE_LENGTH, 65281), STATUS_INVALID_PARAMETER);

    // Page lengths around the limit (a message of 5 + page length bytes) and the longest page.
    int exchanges = 0;
    for (ULONG page : {16379u, 16380u, 20000u, 65280u}) {
        SCOPED_TRACE("page length " + std::to_string(page));
        ASSERT_EQ(fabric_->DriveControl(0, FAB_DRIVE_KEY_PAGE_LENGTH, page), STATUS_SUCCESS);
        DropKey();
        const size_t before = server.Received().size();
        ULONG written = 0;
        ASSERT_EQ(Write(h, Block(kBlock, (UCHAR)page), &written), STATUS_SUCCESS);
        EXPECT_EQ(written, kBlock);
        EXPECT_TRUE(Drive().fKeyLoaded);

        const keysim::StandInCounters c = server.Counters();
        EXPECT_EQ(c.exchangesEnded, ++exchanges);
        EXPECT_EQ(c.badFrames, 0) << "nothing past the cut reached the server";
        EXPECT_EQ(c.driveMessageBytes, std::min<size_t>(5 + page, 16384));
        EXPECT_EQ(c.driveMessageLengthWord, page - 4) << "the length word is left as the drive gave it";

        auto messages = server.Received();
        ASSERT_EQ(messages.size(), before + 3);
        const auto &drive = messages[before], &data = messages[before + 1], &status = messages[before + 2];
        ASSERT_EQ(drive.size(), c.driveMessageBytes);
        // The drive's vendor bytes arrived in order up to the cut: page byte i holds i.
        bool inOrder = true;
        for (size_t at = 5 + 144; at < drive.size(); at++)
            inOrder &= drive[at] == (uint8_t)(at - 5);
        EXPECT_TRUE(inOrder);
        EXPECT_EQ(data.size(), std::min<size_t>(page + 69, 16384));
        EXPECT_EQ(Be32(data, 5), page + 60);
        ASSERT_EQ(status.size(), 157u);
        EXPECT_EQ(status[129], 0) << "the MODE SELECT succeeded";
        EXPECT_TRUE(std::equal(status.begin() + 97, status.begin() + 117, drive.begin() + 129)) << "drive echo block";
    }
    EXPECT_EQ(BusPool(kTagRelay), 1u) << "only the device's relay state stays";
    EXPECT_EQ(BusPool(kTagPassThrough), 0u);
}

TEST_F(KeyRelayTest, ServersThatCannotBeReachedAreSkippedAndTheAnsweringOneIsKept)
{
    BuildKeyManaged();
    KeyServerStandIn &good = AddServer();
    WriteConfig({ClosedPort(), good.Port()});
    HANDLE h = Open();
    ASSERT_EQ(Write(h, Block(kBlock, 1)), STATUS_SUCCESS);
    EXPECT_EQ(good.Counters().exchangesEnded, 1);

    // The server that answered last is asked first next time: the closed port is not tried.
    DropKey();
    ASSERT_EQ(Write(h, Block(kBlock, 2)), STATUS_SUCCESS);
    EXPECT_EQ(good.Counters().exchangesEnded, 2);

    // No server at all can be connected. (A longer file: the file is read again only when its
    // size or change time differ, and the change time counts whole seconds.)
    DropKey();
    WriteConfig({ClosedPort(), ClosedPort(), ClosedPort()});
    EXPECT_EQ(Write(h, Block(kBlock, 3)), STATUS_UNEXPECTED_NETWORK_ERROR);
    EXPECT_FALSE(Drive().fKeyLoaded);
}

TEST_F(KeyRelayTest, MissingOrEmptyConfigurationFailsTheWrite)
{
    BuildKeyManaged();
    HANDLE h = Open();
    EXPECT_EQ(Write(h, Block(kBlock, 1)), STATUS_OBJECT_NAME_NOT_FOUND);
    WriteConfigText("# no servers\n");
    EXPECT_EQ(Write(h, Block(kBlock, 1)), STATUS_CANCELLED);
    EXPECT_FALSE(Drive().fKeyLoaded);
    EXPECT_EQ(BusPool(kTagPassThrough), 0u);
}

// One misbehaving server alone: how the write ends and what the server saw.
struct Misbehaving {
    Misbehaviour kind;
    NTSTATUS write;
    bool keyLoaded;
};

void PrintTo(const Misbehaving &m, std::ostream *os)
{
    *os << keysim::MisbehaviourName(m.kind);
}

class KeyRelayMisbehaviour : public KeyRelayTest, public ::testing::WithParamInterface<Misbehaving> {};

TEST_P(KeyRelayMisbehaviour, EndsTheRelayAsItShould)
{
    const Misbehaving m = GetParam();
    // A silent server is waited for 30 seconds on the scaled clock.
    if (m.kind == Misbehaviour::Silent)
        hk::SetTimeScale(1000.0);
    BuildKeyManaged();
    KeyServerStandIn &server = AddServer(m.kind);
    WriteConfig(Ports());
    HANDLE h = Open();
    EXPECT_EQ(Write(h, Block(kBlock, 1)), m.write) << keysim::MisbehaviourName(m.kind);
    hk::SetTimeScale(1.0);
    EXPECT_EQ(Drive().fKeyLoaded != 0, m.keyLoaded);
    EXPECT_EQ(server.Counters().connections, 1) << "one server: no second connection";
    EXPECT_EQ(BusPool(kTagPassThrough), 0u);
    EXPECT_EQ(BusPool(kTagRelay), 1u) << "the relay's buffers are freed";

    const keysim::StandInCounters c = server.Counters();
    switch (m.kind) {
    case Misbehaviour::TenthCommand:
        EXPECT_EQ(c.commandsSent, 10);
        EXPECT_EQ(c.repliesReceived, 9) << "nine drive commands run, the tenth is refused";
        EXPECT_EQ(c.dataReplies, 9);
        break;
    case Misbehaviour::FailTheExchange:
        EXPECT_EQ(c.failedCommands, 1) << "the refused MODE SELECT is reported with sense key 4";
        break;
    case Misbehaviour::OversizedData:
    case Misbehaviour::TruncatedCommand:
        EXPECT_EQ(c.repliesReceived, (int)(m.kind == Misbehaviour::OversizedData)) << "the command was never run";
        break;
    default:
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, KeyRelayMisbehaviour,
    ::testing::Values(Misbehaving{Misbehaviour::Silent, STATUS_CANCELLED, false},
                      Misbehaving{Misbehaviour::CloseBeforeAnswer, STATUS_CANCELLED, false},
                      Misbehaving{Misbehaviour::WrongHeader, STATUS_CANCELLED, false},
                      Misbehaving{Misbehaviour::SplitReply, STATUS_SUCCESS, true},
                      Misbehaving{Misbehaviour::TenthCommand, STATUS_CANCELLED, false},
                      Misbehaving{Misbehaviour::BreakAfterCommand, STATUS_CANCELLED, false},
                      Misbehaving{Misbehaviour::OversizedData, STATUS_CANCELLED, false},
                      Misbehaving{Misbehaviour::TruncatedCommand, STATUS_CANCELLED, false},
                      Misbehaving{Misbehaviour::FailTheExchange, STATUS_CONNECTION_ABORTED, false}),
    [](const ::testing::TestParamInfo<Misbehaving> &info) {
        std::string name = keysim::MisbehaviourName(info.param.kind);
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

TEST_F(KeyRelayTest, BrokenExchangeRestartsFromTheDriveMessageWithTheNextServer)
{
    BuildKeyManaged();
    KeyServerStandIn &breaking = AddServer(Misbehaviour::BreakAfterCommand);
    KeyServerStandIn &good = AddServer();
    WriteConfig(Ports());
    HANDLE h = Open();
    ASSERT_EQ(Write(h, Block(kBlock, 1)), STATUS_SUCCESS);
    EXPECT_TRUE(Drive().fKeyLoaded);
    EXPECT_EQ(breaking.Counters().driveMessages, 1);
    EXPECT_EQ(good.Counters().driveMessages, 1);
    EXPECT_EQ(good.Counters().exchangesEnded, 1);
    // The second server got the same drive message the first did.
    EXPECT_EQ(breaking.Received()[0], good.Received()[0]);
}

TEST_F(KeyRelayTest, KeyRequestControl)
{
    BuildKeyManaged();
    KeyServerStandIn &a = AddServer();
    AddServer(Misbehaviour::ShortProbeAnswer);
    KeyServerStandIn &c = AddServer();
    WriteConfig(Ports());
    HANDLE h = Open();
    // The drive reports its key management once it asked for a key.
    ASSERT_EQ(Write(h, Block(kBlock, 1)), STATUS_SUCCESS);

    KeyRequestBlock block;
    ULONG returned = 0;
    // Probe: three servers, of which two answer with more than 52 bytes.
    ASSERT_EQ(KeyRequest(h, 1, &block, sizeof block, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 20u);
    EXPECT_EQ(block.ulExchangeStatus, 2u);
    EXPECT_EQ(block.ulStatus, 0u);
    EXPECT_EQ(std::string((char *)block.Carried, 8), "CARRIED!");
    EXPECT_EQ(a.Counters().probes, 1);
    EXPECT_EQ(c.Counters().probes, 1);

    // The encryption control diagnostic: type 2 checks the key path (the drive asks for its key
    // server, which only has to answer the drive message), type 3 runs a whole key exchange.
    const int before = a.Counters().driveMessages;
    ASSERT_EQ(KeyRequest(h, 2, &block), STATUS_SUCCESS);
    EXPECT_EQ(block.ulStatus, 0u);
    EXPECT_EQ(a.Counters().driveMessages, before + 1);
    DropKey();
    ASSERT_EQ(KeyRequest(h, 3, &block), STATUS_SUCCESS);
    EXPECT_EQ(block.ulStatus, 0u);
    EXPECT_TRUE(Drive().fKeyLoaded);

    EXPECT_EQ(KeyRequest(h, 4, &block), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KeyRequest(h, 1, &block, 19), STATUS_INFO_LENGTH_MISMATCH);

    // Nobody answers the probe.
    WriteConfig({ClosedPort()});
    ASSERT_EQ(KeyRequest(h, 1, &block, sizeof block, &returned), STATUS_UNEXPECTED_NETWORK_ERROR);
    EXPECT_EQ(returned, 0u);
}

TEST_F(KeyRelayTest, KeyRequestIsRefusedOnADriveWithoutKeyManagement)
{
    Build(1);
    HANDLE h = Open();
    KeyRequestBlock block;
    EXPECT_EQ(KeyRequest(h, 1, &block), STATUS_INVALID_DEVICE_REQUEST);
}

// Fails one allocation of the bus after the other over a write that needs a relay. Every run
// ends with a clear status, leaves no pool behind, and the next relay works.
TEST_F(KeyRelayTest, RelayUnderFailingAllocations)
{
    BuildKeyManaged();
    AddServer();
    WriteConfig(Ports());
    HANDLE h = Open();
    ASSERT_EQ(Write(h, Block(kBlock, 1)), STATUS_SUCCESS);
    auto pool = [] {
        std::map<ULONG, size_t> byTag;
        for (const hk::PoolBlockInfo &b : hk::OutstandingPool(kBusImage))
            if (b.kind != hk::AllocKind::Irp)
                byTag[b.tag]++;
        return byTag;
    };
    const auto baseline = pool();
    uint64_t step = 1;
    for (; step <= 400; step++) {
        SCOPED_TRACE("allocation " + std::to_string(step));
        DropKey();
        const uint64_t injectedBefore = hk::InjectedFailureCount();
        hk::VerifierFaults faults;
        faults.failNth = step;
        faults.onlyDriver = kBusImage;
        hk::SetVerifierFaults(faults);
        ULONG written = 0;
        NTSTATUS status = Write(h, Block(kBlock, 2), &written);
        hk::ClearVerifierFaults();
        const bool injected = hk::InjectedFailureCount() != injectedBefore;
        if (NT_SUCCESS(status))
            EXPECT_EQ(written, kBlock);
        else
            EXPECT_TRUE(NT_ERROR(status)) << std::hex << status;
        EXPECT_EQ(pool(), baseline) << "pool left behind";
        DropKey();
        EXPECT_EQ(Write(h, Block(kBlock, 3)), STATUS_SUCCESS) << "the next relay works";
        if (HasFailure() || !injected)
            break;
    }
    EXPECT_GT(step, 5u) << "the relay's own allocations were reached";
    EXPECT_LT(step, 400u);
}

} // namespace
} // namespace vyr::test
