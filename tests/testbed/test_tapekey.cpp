// Key-managed encryption of the tape drive model: data commands refused until a key is loaded, the
// key request message a relay reads (mode page 0x25 subpage 0xFF), the key a key server's MODE
// SELECT loads, and the encryption control diagnostic.
#include "tape_test.h"

namespace vyr::test {
namespace {

// The key request message as MODE SENSE(10) with DBD returns it: offset 0 is byte 12 of the data.
struct KeyMessage {
    ULONG length, format, sequence;
    UCHAR state, reason, flags, keyLength;
    std::string serial, wwnn;
    std::vector<UCHAR> echo;
};

ULONG Be32(const UCHAR *p)
{
    return ((ULONG)p[0] << 24) | ((ULONG)p[1] << 16) | ((ULONG)p[2] << 8) | p[3];
}

class TapeKeyTest : public TapeTest {
protected:
    void SetUp() override
    {
        TapeTest::SetUp();
        TapeDriveConfig config = DefaultTapeConfig();
        config.KeyManaged = TRUE;
        MakeDrive(config);
    }

    KeyMessage ReadMessage(Initiator &i)
    {
        std::vector<UCHAR> data;
        // The relay's own CDB: DBD, page 0x25, subpage 0xFF, allocation 65,535.
        ScsiResult r = i.In({0x5A, 0x08, 0x25, 0xFF, 0, 0, 0, 0xFF, 0xFF, 0}, &data, 65536);
        EXPECT_TRUE(r.Good()) << r.Text();
        KeyMessage m = {};
        if (data.size() < 12 + 144) {
            ADD_FAILURE() << "message of " << data.size() << " bytes";
            return m;
        }
        EXPECT_EQ(((ULONG)data[0] << 8 | data[1]) + 2, data.size()) << "mode data length";
        EXPECT_EQ(data[7], 0) << "no block descriptor with DBD";
        EXPECT_EQ(data[8], 0x65);
        EXPECT_EQ(data[9], 0xFF);
        EXPECT_EQ((ULONG)data[10] << 8 | data[11], 144u);
        const UCHAR *d = data.data() + 12;
        m.length = Be32(d);
        m.format = Be32(d + 4);
        m.sequence = Be32(d + 8);
        m.state = d[12];
        m.reason = d[13];
        m.flags = d[14];
        m.keyLength = d[15];
        m.serial.assign((const char *)d + 16, 32);
        m.wwnn.assign((const char *)d + 48, 16);
        m.echo.assign(d + 124, d + 144);
        return m;
    }

    // A key server's answer: MODE SELECT(10) of the page with function, key and sequence number.
    ScsiResult SelectKey(Initiator &i, UCHAR function, std::vector<UCHAR> key, ULONG sequence, ULONG format = 1)
    {
        std::vector<UCHAR> list(8 + 4 + 48, 0);
        UCHAR *page = list.data() + 8;
        page[0] = 0x65;
        page[1] = 0xFF;
        page[3] = 48;
        UCHAR *d = page + 4;
        d[3] = 44;
        d[7] = (UCHAR)format;
        d[8] = (UCHAR)(sequence >> 24);
        d[9] = (UCHAR)(sequence >> 16);
        d[10] = (UCHAR)(sequence >> 8);
        d[11] = (UCHAR)sequence;
        d[12] = function;
        d[15] = (UCHAR)key.size();
        std::copy(key.begin(), key.end(), d + 16);
        return i.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, (UCHAR)list.size(), 0}, list);
    }

    ScsiResult Diagnostic(Initiator &i, UCHAR function)
    {
        return i.Out({0x1D, 0x13, 0, 0, 10, 0}, {0x80, 0x00, 0x00, 0x06, 0xE0, 0x00, 0x01, 0x00, 0x20, function});
    }

    TapeEncryptionState Encryption()
    {
        TapeEncryptionState state;
        TapeDriveQueryEncryption(drive_, &state);
        return state;
    }
};

TEST_F(TapeKeyTest, DataWaitsForAKeyAndFlowsOnceOneIsLoaded)
{
    std::vector<UCHAR> data;
    EXPECT_TRUE(Matches(a_.Write(Pattern(100, 1)), Expect::Sense(7, 0xEF, 0x01)));
    EXPECT_EQ(Medium().Objects, 0u) << "nothing was written";
    EXPECT_TRUE(Matches(b_.Read(100, &data), Expect::Sense(7, 0xEF, 0x01)));
    EXPECT_EQ(Encryption().RequestSequence, 1u) << "one request while it stays unanswered";
    // Filemarks and positioning carry no data and need no key.
    EXPECT_TRUE(a_.WriteFilemarks(1).Good());
    EXPECT_TRUE(a_.Rewind().Good());

    KeyMessage m = ReadMessage(a_);
    EXPECT_EQ(m.length, 140u);
    EXPECT_EQ(m.format, 1u);
    EXPECT_EQ(m.sequence, 1u);
    EXPECT_EQ(m.state, 1);
    EXPECT_EQ(m.reason, TAPE_KEY_REASON_DATA);
    EXPECT_EQ(m.flags, 0x01) << "key-managed, no key";
    EXPECT_EQ(m.serial, DefaultTapeConfig().SerialNumber);
    EXPECT_EQ(m.wwnn, DefaultTapeConfig().Wwnn);
    EXPECT_EQ(m.echo[0], 1) << "an exchange that ends now has not helped";
    EXPECT_EQ(Be32(m.echo.data() + 4), 1u);
    EXPECT_EQ(std::string(m.echo.begin() + 8, m.echo.end()), "000000001234");

    // A stale or malformed answer changes nothing.
    const std::vector<UCHAR> key = Pattern(32, 5);
    struct Bad {
        const char *what;
        UCHAR function;
        size_t keyLength;
        ULONG sequence, format;
        USHORT field;
    };
    const Bad bad[] = {
        {"answer to another request", TAPE_KEY_FUNCTION_SET, 32, 7, 1, 8 + 4 + 8},
        {"unknown format", TAPE_KEY_FUNCTION_SET, 32, 1, 2, 8 + 4 + 4},
        {"unknown function", 0x09, 32, 1, 1, 8 + 4 + 12},
        {"empty key", TAPE_KEY_FUNCTION_SET, 0, 1, 1, 8 + 4 + 14},
    };
    for (const Bad &b : bad) {
        SCOPED_TRACE(b.what);
        ScsiResult r = SelectKey(a_, b.function, std::vector<UCHAR>(key.begin(), key.begin() + b.keyLength),
                                 b.sequence, b.format);
        EXPECT_TRUE(Matches(r, Expect::Sense(5, 0x26, 0)));
        EXPECT_EQ(r.sense[17], b.field);
        EXPECT_FALSE(Encryption().KeyLoaded);
    }

    ASSERT_TRUE(SelectKey(a_, TAPE_KEY_FUNCTION_SET, key, 1).Good());
    TapeEncryptionState state = Encryption();
    EXPECT_TRUE(state.KeyLoaded);
    EXPECT_FALSE(state.RequestPending);
    EXPECT_EQ(std::vector<UCHAR>(state.Key, state.Key + state.KeyLength), key);
    ASSERT_TRUE(a_.Locate(1).Good());
    EXPECT_TRUE(b_.Write(Pattern(100, 1)).Good());
    ASSERT_TRUE(a_.Locate(1).Good());
    EXPECT_TRUE(a_.Read(100, &data).Good());
    EXPECT_EQ(data, Pattern(100, 1));
    m = ReadMessage(b_);
    EXPECT_EQ(m.state, 0);
    EXPECT_EQ(m.flags, 0x03);
    EXPECT_EQ(m.keyLength, 32);
    EXPECT_EQ(m.echo[0], 0);

    // The key does not outlive a power-on, nor the cartridge; a new request gets a new number.
    TapeDrivePowerOnReset(drive_);
    a_.ClearAttention();
    EXPECT_TRUE(Matches(a_.Read(100, &data), Expect::Sense(7, 0xEF, 0x01)));
    EXPECT_EQ(ReadMessage(a_).sequence, 2u);
    ASSERT_TRUE(SelectKey(a_, TAPE_KEY_FUNCTION_SET, key, 0).Good()) << "sequence 0 answers whatever is pending";
    ASSERT_TRUE(a_.LoadUnload(false).Good());
    ASSERT_TRUE(a_.LoadUnload(true).Good());
    EXPECT_TRUE(Matches(a_.Read(100, &data), Expect::Sense(7, 0xEF, 0x01)));
    ASSERT_TRUE(SelectKey(a_, TAPE_KEY_FUNCTION_SET, key, 0).Good());
    ASSERT_TRUE(SelectKey(a_, TAPE_KEY_FUNCTION_CLEAR, {}, 0).Good());
    EXPECT_TRUE(Matches(a_.Read(100, &data), Expect::Sense(7, 0xEF, 0x01)));
}

TEST_F(TapeKeyTest, EncryptionControlDiagnosticRaisesRequestsThatAnAnswerSatisfies)
{
    EXPECT_TRUE(Diagnostic(a_, 0x0F).Good());
    EXPECT_TRUE(a_.Run({0x1D, 0x04, 0, 0, 0, 0}).Good()) << "default self-test";

    // Key-path check: answered once its message was read.
    EXPECT_TRUE(Matches(Diagnostic(a_, 0x01), Expect::Sense(7, 0xEF, 0x02)));
    EXPECT_TRUE(Matches(Diagnostic(a_, 0x01), Expect::Sense(7, 0xEF, 0x02))) << "not yet answered";
    KeyMessage m = ReadMessage(a_);
    EXPECT_EQ(m.reason, TAPE_KEY_REASON_CHECK);
    EXPECT_EQ(m.state, 1);
    EXPECT_TRUE(Diagnostic(a_, 0x01).Good());
    EXPECT_TRUE(Matches(Diagnostic(a_, 0x01), Expect::Sense(7, 0xEF, 0x02))) << "each success is used once";
    ReadMessage(a_);

    // Key exchange: reading the message is not enough; a key is.
    EXPECT_TRUE(Matches(Diagnostic(a_, 0x00), Expect::Sense(7, 0xEF, 0x03)));
    ULONG sequence = ReadMessage(a_).sequence;
    EXPECT_TRUE(Matches(Diagnostic(a_, 0x00), Expect::Sense(7, 0xEF, 0x03)));
    ASSERT_TRUE(SelectKey(a_, TAPE_KEY_FUNCTION_SET, Pattern(16, 2), sequence).Good());
    EXPECT_TRUE(Diagnostic(a_, 0x00).Good());

    struct Bad {
        const char *what;
        std::vector<UCHAR> list;
        UCHAR asc;
    };
    const Bad bad[] = {
        {"other page", {0x81, 0, 0, 6, 0xE0, 0, 1, 0, 0x20, 0x0F}, 0x26},
        {"wrong signature", {0x80, 0, 0, 6, 0xE1, 0, 1, 0, 0x20, 0x0F}, 0x26},
        {"unknown function", {0x80, 0, 0, 6, 0xE0, 0, 1, 0, 0x20, 0x05}, 0x26},
        {"page longer than the list", {0x80, 0, 0, 9, 0xE0, 0, 1, 0, 0x20, 0x0F}, 0x1A},
    };
    for (const Bad &b : bad) {
        SCOPED_TRACE(b.what);
        EXPECT_TRUE(Matches(a_.Out({0x1D, 0x10, 0, 0, (UCHAR)b.list.size(), 0}, b.list), Expect::Sense(5, b.asc, 0)));
    }

    // Outside key-managed mode there is no key manager to ask, and no key page to set.
    TapeDriveSetKeyManaged(drive_, FALSE);
    EXPECT_FALSE(Encryption().KeyLoaded);
    EXPECT_TRUE(Matches(Diagnostic(a_, 0x01), Expect::Sense(5, 0x26, 0)));
    EXPECT_TRUE(Matches(SelectKey(a_, TAPE_KEY_FUNCTION_SET, Pattern(16, 2), 0), Expect::Sense(5, 0x26, 0)));
    EXPECT_TRUE(a_.Write(Pattern(10, 1)).Good());
    EXPECT_EQ(ReadMessage(a_).flags, 0);
}

} // namespace
} // namespace vyr::test
