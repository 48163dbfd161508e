// What the tape drive tests share: a booted kernel around each test (so that the verifier's pool
// checks run at its end), a drive, and initiators that send SCSI commands as a class driver would
// and read the answer back as an application sees it.
#pragma once

#include "kernel_fixture.h"
#include "tapedrive.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace vyr::test {

// One command's outcome, with the fixed-format sense taken apart.
struct ScsiResult {
    UCHAR status = 0xFF;
    ULONG transferred = 0;
    std::vector<UCHAR> sense;

    bool Good() const { return status == SCSISTAT_GOOD; }
    bool Check() const { return status == SCSISTAT_CHECK_CONDITION; }
    UCHAR Key() const { return sense.size() > 2 ? sense[2] & 0x0F : 0xFF; }
    UCHAR Asc() const { return sense.size() > 12 ? sense[12] : 0xFF; }
    UCHAR Ascq() const { return sense.size() > 13 ? sense[13] : 0xFF; }
    UCHAR Flags() const { return sense.size() > 2 ? sense[2] & 0xE0 : 0; }
    bool Valid() const { return !sense.empty() && (sense[0] & 0x80); }
    int32_t Info() const
    {
        return sense.size() > 6 ? (int32_t)(((uint32_t)sense[3] << 24) | ((uint32_t)sense[4] << 16) |
                                            ((uint32_t)sense[5] << 8) | sense[6])
                                : 0;
    }
    // "GOOD" or "CHECK k/asc/ascq" for messages.
    std::string Text() const
    {
        char text[64];
        if (Check())
            snprintf(text, sizeof text, "CHECK %X/%02X/%02X flags %02X info %d%s", Key(), Asc(), Ascq(), Flags(),
                     Info(), Valid() ? "" : " (not valid)");
        else
            snprintf(text, sizeof text, "status %02X", status);
        return text;
    }
};

inline std::vector<UCHAR> Pattern(size_t length, unsigned seed)
{
    std::vector<UCHAR> data(length);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : data) {
        x = x * 1103515245u + 12345u;
        b = (UCHAR)(x >> 16);
    }
    return data;
}

// An initiator port on one I_T nexus of the drive.
class Initiator {
public:
    Initiator(ULONG64 nexus, std::string wwpn) : nexus_(nexus), wwpn_(std::move(wwpn)) {}
    void Attach(TapeDrive *drive) { drive_ = drive; }
    ULONG64 Nexus() const { return nexus_; }
    const std::string &Wwpn() const { return wwpn_; }

    ScsiResult Run(std::initializer_list<UCHAR> cdb, FabDirection direction = FAB_DATA_NONE, void *data = nullptr,
                   ULONG length = 0)
    {
        FabScsiRequest request = {};
        memcpy(request.Cdb, cdb.begin(), cdb.size());
        request.CdbLength = (UCHAR)cdb.size();
        request.Direction = direction;
        request.Data = data;
        request.DataLength = length;
        // What the drive must overwrite is poisoned, so that a field left alone shows.
        request.ScsiStatus = 0xEE;
        request.DataTransferred = 0xDEADBEEF;
        TapeDriveExecute(drive_, nexus_, wwpn_.c_str(), &request);
        ScsiResult r;
        r.status = request.ScsiStatus;
        r.transferred = request.DataTransferred;
        r.sense.assign(request.Sense, request.Sense + request.SenseLength);
        return r;
    }

    ScsiResult In(std::initializer_list<UCHAR> cdb, std::vector<UCHAR> *out, ULONG length)
    {
        out->assign(length, 0);
        ScsiResult r = Run(cdb, FAB_DATA_IN, out->data(), length);
        if (r.transferred <= length)
            out->resize(r.transferred);
        return r;
    }
    ScsiResult Out(std::initializer_list<UCHAR> cdb, std::vector<UCHAR> data)
    {
        return Run(cdb, FAB_DATA_OUT, data.data(), (ULONG)data.size());
    }

    // Sends TEST UNIT READY until the unit attentions waiting for this nexus are consumed.
    void ClearAttention()
    {
        for (int i = 0; i < 8; i++) {
            ScsiResult r = Run({0x00, 0, 0, 0, 0, 0});
            if (!(r.Check() && r.Key() == 0x6))
                return;
        }
        ADD_FAILURE() << "unit attention never cleared";
    }

    ScsiResult Tur() { return Run({0x00, 0, 0, 0, 0, 0}); }
    ScsiResult Rewind() { return Run({0x01, 0, 0, 0, 0, 0}); }
    ScsiResult Write(std::vector<UCHAR> block) // variable-length block
    {
        ULONG n = (ULONG)block.size();
        return Out({0x0A, 0x00, (UCHAR)(n >> 16), (UCHAR)(n >> 8), (UCHAR)n, 0}, std::move(block));
    }
    ScsiResult WriteFixed(std::vector<UCHAR> data, ULONG blocks)
    {
        return Out({0x0A, 0x01, (UCHAR)(blocks >> 16), (UCHAR)(blocks >> 8), (UCHAR)blocks, 0}, std::move(data));
    }
    ScsiResult Read(ULONG length, std::vector<UCHAR> *out, bool sili = false)
    {
        return In({0x08, (UCHAR)(sili ? 0x02 : 0x00), (UCHAR)(length >> 16), (UCHAR)(length >> 8), (UCHAR)length, 0},
                  out, length);
    }
    ScsiResult ReadFixed(ULONG blocks, ULONG blockSize, std::vector<UCHAR> *out)
    {
        return In({0x08, 0x01, (UCHAR)(blocks >> 16), (UCHAR)(blocks >> 8), (UCHAR)blocks, 0}, out, blocks * blockSize);
    }
    ScsiResult WriteFilemarks(ULONG count)
    {
        return Run({0x10, 0, (UCHAR)(count >> 16), (UCHAR)(count >> 8), (UCHAR)count, 0});
    }
    ScsiResult Space(UCHAR code, LONG count)
    {
        ULONG c = (ULONG)count & 0xFFFFFF;
        return Run({0x11, code, (UCHAR)(c >> 16), (UCHAR)(c >> 8), (UCHAR)c, 0});
    }
    ScsiResult Locate(ULONG position)
    {
        return Run({0x2B, 0, 0, (UCHAR)(position >> 24), (UCHAR)(position >> 16), (UCHAR)(position >> 8),
                    (UCHAR)position, 0, 0, 0});
    }
    ScsiResult Erase() { return Run({0x19, 0x01, 0, 0, 0, 0}); }
    ScsiResult Prevent(bool prevent) { return Run({0x1E, 0, 0, 0, (UCHAR)(prevent ? 1 : 0), 0}); }
    ScsiResult LoadUnload(bool load) { return Run({0x1B, 0, 0, 0, (UCHAR)(load ? 1 : 0), 0}); }
    ScsiResult Reserve() { return Run({0x16, 0, 0, 0, 0, 0}); }
    ScsiResult Release() { return Run({0x17, 0, 0, 0, 0, 0}); }

    // PERSISTENT RESERVE OUT with the 24-byte parameter list.
    ScsiResult PrOut(UCHAR action, UCHAR type, ULONG64 key, ULONG64 serviceKey)
    {
        std::vector<UCHAR> list(24, 0);
        for (int i = 0; i < 8; i++) {
            list[i] = (UCHAR)(key >> (56 - 8 * i));
            list[8 + i] = (UCHAR)(serviceKey >> (56 - 8 * i));
        }
        return Out({0x5F, action, type, 0, 0, 0, 0, 0, 24, 0}, std::move(list));
    }

    // The short-form READ POSITION's first block location, or ~0 when the command failed.
    ULONG64 Position()
    {
        std::vector<UCHAR> data;
        ScsiResult r = In({0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}, &data, 20);
        if (!r.Good() || data.size() != 20) {
            ADD_FAILURE() << "READ POSITION: " << r.Text();
            return ~0ull;
        }
        return ((ULONG64)data[4] << 24) | ((ULONG64)data[5] << 16) | ((ULONG64)data[6] << 8) | data[7];
    }

private:
    TapeDrive *drive_ = nullptr;
    ULONG64 nexus_;
    std::string wwpn_;
};

inline TapeDriveConfig DefaultTapeConfig()
{
    TapeDriveConfig config = {};
    config.SerialNumber = "VYR00000000000000000000000001234";
    config.Wwnn = "500A0B0C0D0E0F10";
    config.VendorId = "VYR";
    config.ProductId = "VTD-9 Sim";
    config.ProductRevision = "0701";
    config.CapacityBytes = 64ull << 20;
    config.BlockSize = 0;
    config.CartridgeLoaded = TRUE;
    return config;
}

// A booted kernel, a drive and two initiators on two nexuses of it. The drive is deleted before the
// machine shuts down, so that anything the model leaks is reported by the verifier.
class TapeTest : public KernelTest {
protected:
    void TearDown() override
    {
        DeleteDrive();
        KernelTest::TearDown();
    }

    void MakeDrive(const TapeDriveConfig &config = DefaultTapeConfig(), bool clearAttention = true)
    {
        DeleteDrive();
        ASSERT_EQ(TapeDriveCreate(&config, &drive_), STATUS_SUCCESS);
        a_.Attach(drive_);
        b_.Attach(drive_);
        if (clearAttention) {
            a_.ClearAttention();
            b_.ClearAttention();
        }
    }
    void DeleteDrive()
    {
        if (drive_)
            TapeDriveDelete(drive_);
        drive_ = nullptr;
    }
    TapeMediumInfo Medium()
    {
        TapeMediumInfo info;
        TapeDriveQueryMedium(drive_, &info);
        return info;
    }
    std::vector<UCHAR> Block(ULONG64 index)
    {
        ULONG length = 0;
        EXPECT_EQ(TapeDriveReadObject(drive_, index, nullptr, 0, &length), STATUS_SUCCESS) << "object " << index;
        std::vector<UCHAR> data(length);
        EXPECT_EQ(TapeDriveReadObject(drive_, index, data.data(), length, &length), STATUS_SUCCESS);
        return data;
    }

    TapeDrive *drive_ = nullptr;
    Initiator a_{0xA000000000000001ull, "10000000C9AAAA01"};
    Initiator b_{0xB000000000000002ull, "10000000C9BBBB02"};
};

// Expectation on a command's outcome: GOOD, or CHECK CONDITION with this sense.
struct Expect {
    UCHAR status = SCSISTAT_GOOD;
    UCHAR key = 0, asc = 0, ascq = 0, flags = 0;
    bool valid = false;
    int32_t info = 0;

    static Expect Good() { return {}; }
    static Expect Sense(UCHAR key, UCHAR asc, UCHAR ascq, UCHAR flags = 0)
    {
        Expect e;
        e.status = SCSISTAT_CHECK_CONDITION;
        e.key = key;
        e.asc = asc;
        e.ascq = ascq;
        e.flags = flags;
        return e;
    }
    static Expect Residual(UCHAR key, UCHAR asc, UCHAR ascq, UCHAR flags, int32_t info)
    {
        Expect e = Sense(key, asc, ascq, flags);
        e.valid = true;
        e.info = info;
        return e;
    }
    static Expect Conflict()
    {
        Expect e;
        e.status = SCSISTAT_RESERVATION_CONFLICT;
        return e;
    }
};

inline ::testing::AssertionResult Matches(const ScsiResult &r, const Expect &e)
{
    if (r.status != e.status)
        return ::testing::AssertionFailure() << "got " << r.Text() << ", expected status " << (int)e.status;
    if (e.status != SCSISTAT_CHECK_CONDITION) {
        if (!r.sense.empty())
            return ::testing::AssertionFailure() << "sense returned without CHECK CONDITION";
        return ::testing::AssertionSuccess();
    }
    if (r.Key() != e.key || r.Asc() != e.asc || r.Ascq() != e.ascq || r.Flags() != e.flags || r.Valid() != e.valid ||
        (e.valid && r.Info() != e.info)) {
        char want[64];
        snprintf(want, sizeof want, "CHECK %X/%02X/%02X flags %02X info %d%s", e.key, e.asc, e.ascq, e.flags, e.info,
                 e.valid ? "" : " (not valid)");
        return ::testing::AssertionFailure() << "got " << r.Text() << ", expected " << want;
    }
    return ::testing::AssertionSuccess();
}

} // namespace vyr::test
