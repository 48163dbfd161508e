// The tape class driver stand-in (vyrtp2k16) on the testbed: the fabric's paths to one drive
// model, each with the stand-in's FDO on top. Applications open the paths as \\.\VyrTapePath<N>;
// the filter's and the bus's requests are sent as kernel-mode IRPs, the bus's with a ScsiStatus
// block recorded in a StatusStructTable that the test owns.
#include "hk/host.h"
#include "kernel_fixture.h"
#include "machine/testbed.h"
#include "vyr/fabricctl.h"

#include "../../sim/tapeclass/tcioctl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using vyr::sim::Fabric;

// The class driver's private codes and the shared records, written out as the interface defines
// them, so that a wrong value in a header of the driver shows here.
constexpr ULONG IOC_GET_SERIAL_NUMBER = 0x84cac008, IOC_GET_SCSI_ADDRESS = 0x84cac00c,
                IOC_SET_STATUS_TABLE = 0x84cac014, IOC_GET_DEVICE_ID_PAGE = 0x84cac018,
                IOC_APPLY_SCSI_STATUS = 0x84cac020, IOC_GET_DPF_FLAGS = 0x84cac024,
                IOC_GET_STANDARD_INQUIRY = 0x84cac028, IOC_SET_RESERVATION_KEY = 0x84cac034;

#pragma pack(push, 1)
struct Block { // ScsiStatus
    UCHAR key[8];
    ULONG blockSize;
    UCHAR zero12[8];
    ULONG residual;
    UCHAR sensePresent, encryption, senseKey, asc, ascq, senseByte2;
    char wwpn[16];
    UCHAR zero46[16];
    char hostKey[16];
    UCHAR zero78[16];
    UCHAR reservationActive, zero95;
};
#pragma pack(pop)
static_assert(sizeof(Block) == 96 && offsetof(Block, residual) == 20 && offsetof(Block, sensePresent) == 24 &&
              offsetof(Block, wwpn) == 30 && offsetof(Block, hostKey) == 62 && offsetof(Block, reservationActive) == 94);

struct TableBlock { // StatusStructTable block
    struct {
        uint64_t irp, status;
    } slots[63];
    uint64_t occupancy;
    uint8_t reserved[8];
    uint64_t lock, next;
};
static_assert(sizeof(TableBlock) == 1040 && offsetof(TableBlock, occupancy) == 1008 && offsetof(TableBlock, next) == 1032);

constexpr const char *kSerial = "TCSERIAL0001"; // shorter than 32: zero-filled
constexpr ULONG64 kWwnn = 0x500FAB00000000C1ull;
constexpr const char *kService = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vyrtp2k16";

std::vector<UCHAR> Pattern(size_t n, UCHAR seed)
{
    std::vector<UCHAR> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (UCHAR)(seed + i * 13 + i / 7);
    return v;
}

template <class T>
std::vector<UCHAR> Bytes(const T &record)
{
    return std::vector<UCHAR>((const UCHAR *)&record, (const UCHAR *)&record + sizeof record);
}

struct Reply {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG_PTR info = 0;
    std::vector<UCHAR> out;
};

NTSTATUS NTAPI Signal(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class TapeClassTest : public vyr::test::KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        vyr::sim::InstallTestbed(*machine_);
        fabric_ = std::make_unique<Fabric>();
        app_ = hk::Process::Create("app");
        memset(&table_, 0, sizeof table_);
        memset(&chained_, 0, sizeof chained_);
    }
    void TearDown() override
    {
        for (HANDLE h : handles_)
            app_->CloseHandle(h);
        app_.reset();
        fabric_.reset();
        KernelTest::TearDown();
    }

    static FabDriveConfig Config(ULONG blockSize = 0)
    {
        FabDriveConfig c{};
        strcpy(c.szSerialNumber, kSerial);
        strcpy(c.szProduct, "VTD 9000");
        strcpy(c.szRevision, "1.0");
        c.fLoaded = 1;
        c.BlockSize = blockSize;
        c.MaxBlockLength = 0x40000;
        c.Wwnn = kWwnn;
        c.CapacityBytes = 8u << 20;
        return c;
    }

    // One drive reached through ports 1 and 2 (fabric paths 0 and 1).
    void AddDrive(const FabDriveConfig &config = Config())
    {
        ASSERT_EQ(fabric_->AddDrive(config, &drive_), STATUS_SUCCESS);
        for (UCHAR port : {1, 2})
            ASSERT_EQ(fabric_->AddPath(drive_, port, 0, 3, 0, nullptr), STATUS_SUCCESS);
        hk::WaitPnpIdle();
    }

    // Kernel-mode device control, as the filter sends it: buffered, input and output in one buffer.
    Reply Control(PDEVICE_OBJECT device, ULONG code, std::vector<UCHAR> in, ULONG outLength, Block *block = nullptr,
                  int slot = 5)
    {
        std::vector<UCHAR> buffer(std::max<size_t>(in.size(), outLength) + 1);
        memcpy(buffer.data(), in.data(), in.size());
        Reply r = Send(device, IRP_MJ_DEVICE_CONTROL, code, buffer.data(), (ULONG)in.size(), outLength, nullptr, block, slot);
        r.out.assign(buffer.begin(), buffer.begin() + std::min<size_t>(r.info, outLength));
        return r;
    }
    Reply Transfer(PDEVICE_OBJECT device, UCHAR major, std::vector<UCHAR> *data, Block *block)
    {
        UCHAR systemBuffer[96] = {};
        PMDL mdl = IoAllocateMdl(data->data(), (ULONG)data->size(), FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(mdl);
        return Send(device, major, (ULONG)data->size(), systemBuffer, 0, 0, mdl, block, 5);
    }
    Reply Open(PDEVICE_OBJECT device, UCHAR major, Block *block = nullptr)
    {
        return Send(device, major, 0, nullptr, 0, 0, nullptr, block, 5);
    }

    // Sends one request of its own to the FDO and takes it back; with a block, the request is in
    // the table (slot `slot` of the first table block, or of the chained one when slot >= 63),
    // with the slot's occupancy bit set unless `occupied` is false.
    Reply Send(PDEVICE_OBJECT device, UCHAR major, ULONG codeOrLength, PVOID systemBuffer, ULONG in, ULONG out, PMDL mdl,
               Block *block, int slot, bool occupied = true)
    {
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        irp->AssociatedIrp.SystemBuffer = systemBuffer;
        irp->MdlAddress = mdl;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        if (major == IRP_MJ_DEVICE_CONTROL) {
            next->Parameters.DeviceIoControl.IoControlCode = codeOrLength;
            next->Parameters.DeviceIoControl.InputBufferLength = in;
            next->Parameters.DeviceIoControl.OutputBufferLength = out;
        } else {
            next->Parameters.Read.Length = codeOrLength;
        }
        TableBlock *t = slot >= 63 ? &chained_ : &table_;
        int s = slot % 63;
        if (block) {
            t->slots[s].irp = (uint64_t)irp;
            t->slots[s].status = (uint64_t)block;
            if (occupied)
                t->occupancy |= 1ull << s;
        }
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoSetCompletionRoutine(irp, Signal, &done, TRUE, TRUE, TRUE);
        if (IoCallDriver(device, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        Reply r;
        r.status = irp->IoStatus.Status;
        r.info = irp->IoStatus.Information;
        if (block) {
            t->slots[s] = {};
            t->occupancy &= ~(1ull << s);
        }
        IoFreeIrp(irp);
        return r;
    }

    // The FDO of the path on `port`, found by the address it reports.
    PDEVICE_OBJECT Fdo(UCHAR port)
    {
        for (int n = 0; n < 8; n++) {
            std::u16string name = u"\\Device\\VyrTapePath" + hk::Utf16(std::to_string(n));
            PDEVICE_OBJECT device = NamedDevice(name);
            if (!device)
                continue;
            Reply r = Control(device, IOC_GET_SCSI_ADDRESS, {}, 8);
            if (r.status == STATUS_SUCCESS && r.out[4] == port)
                return device;
        }
        ADD_FAILURE() << "no FDO for port " << (int)port;
        return nullptr;
    }
    // Hands the test's table to the driver of a path, as the filter does at start.
    void LendTable(PDEVICE_OBJECT device)
    {
        uint64_t address = (uint64_t)&table_;
        table_.next = (uint64_t)&chained_;
        ASSERT_EQ(Control(device, IOC_SET_STATUS_TABLE, Bytes(address), 8).status, STATUS_SUCCESS);
    }

    // Lets a path hear what the drive has queued for it (unit attentions after another path's
    // reservation changes), so that the next request meets the drive's state itself.
    void TakeAttentions(PDEVICE_OBJECT device)
    {
        LendTable(device);
        for (int i = 0; i < 6; i++) {
            Block b{};
            Control(device, IOCTL_TAPE_GET_STATUS, {}, 0, &b);
            if (!(b.sensePresent && b.senseKey == 0x6))
                return;
        }
        ADD_FAILURE() << "unit attentions never ended";
    }

    HANDLE OpenApp(int number)
    {
        HANDLE h = app_->CreateFile("\\\\.\\VyrTapePath" + std::to_string(number));
        if (h != hk::INVALID_HANDLE)
            handles_.push_back(h);
        return h;
    }
    Reply AppControl(HANDLE h, ULONG code, const std::vector<UCHAR> &in, ULONG outLength)
    {
        Reply r;
        r.out.assign(outLength, 0);
        IO_STATUS_BLOCK iosb{};
        r.status = app_->NtDeviceIoControlFile(h, code, in.data(), (ULONG)in.size(), r.out.data(), outLength, &iosb);
        r.info = iosb.Information;
        return r;
    }

    FabDriveState Drive()
    {
        FabDriveState state{};
        EXPECT_EQ(fabric_->QueryDrive(drive_, &state), STATUS_SUCCESS);
        return state;
    }
    ULONG Commands(ULONG path)
    {
        std::vector<FabPathEntry> paths;
        EXPECT_EQ(fabric_->QueryTopology(nullptr, &paths), STATUS_SUCCESS);
        return path < paths.size() ? paths[path].CommandsSeen : 0;
    }

    // Standard tape requests on a kernel path.
    NTSTATUS SetPosition(PDEVICE_OBJECT d, ULONG method, LONGLONG offset)
    {
        TAPE_SET_POSITION p{};
        p.Method = method;
        p.Offset.QuadPart = offset;
        return Control(d, IOCTL_TAPE_SET_POSITION, Bytes(p), 0).status;
    }
    LONGLONG Position(PDEVICE_OBJECT d)
    {
        TAPE_GET_POSITION p{};
        p.Type = TAPE_LOGICAL_POSITION;
        Reply r = Control(d, IOCTL_TAPE_GET_POSITION, Bytes(p), sizeof p);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.info, sizeof p);
        return r.out.size() == sizeof p ? ((TAPE_GET_POSITION *)r.out.data())->Offset.QuadPart : -1;
    }
    NTSTATUS Write(PDEVICE_OBJECT d, size_t bytes, UCHAR seed, Block *block = nullptr)
    {
        std::vector<UCHAR> data = Pattern(bytes, seed);
        return Transfer(d, IRP_MJ_WRITE, &data, block).status;
    }
    NTSTATUS Filemarks(PDEVICE_OBJECT d, ULONG count)
    {
        TAPE_WRITE_MARKS m{TAPE_FILEMARKS, count, FALSE};
        return Control(d, IOCTL_TAPE_WRITE_MARKS, Bytes(m), 0).status;
    }

    // Writes three records and a filemark through \\.\VyrTapePath0 as an application, and reads
    // them back.
    void RoundTrip(ULONG blockSize)
    {
        AddDrive(Config(blockSize));
        PDEVICE_OBJECT fdo = Fdo(1);
        HANDLE h = OpenApp(0);
        ASSERT_NE(h, hk::INVALID_HANDLE);
        hk::Process &app = *app_;
        const size_t sizes[] = {blockSize ? 512u : 100u, blockSize ? 1536u : 2000u, blockSize ? 512u : 7u};
        for (size_t i = 0; i < 3; i++) {
            std::vector<UCHAR> data = Pattern(sizes[i], (UCHAR)i);
            ULONG written = 0;
            ASSERT_TRUE(app.WriteFile(h, data.data(), (ULONG)data.size(), &written)) << std::hex << app.LastStatus();
            EXPECT_EQ(written, data.size());
        }
        TAPE_WRITE_MARKS marks{TAPE_FILEMARKS, 1, FALSE};
        ASSERT_EQ(AppControl(h, IOCTL_TAPE_WRITE_MARKS, Bytes(marks), 0).status, STATUS_SUCCESS);
        FabDriveState state = Drive();
        EXPECT_EQ(state.Filemarks, 1u);
        EXPECT_EQ(state.DataBytes, sizes[0] + sizes[1] + sizes[2]);
        ASSERT_EQ(SetPosition(fdo, TAPE_REWIND, 0), STATUS_SUCCESS);
        for (size_t i = 0; i < 3; i++) {
            std::vector<UCHAR> back(sizes[i]);
            ULONG read = 0;
            ASSERT_TRUE(app.ReadFile(h, back.data(), (ULONG)back.size(), &read)) << std::hex << app.LastStatus();
            EXPECT_EQ(read, sizes[i]);
            EXPECT_EQ(back, Pattern(sizes[i], (UCHAR)i));
        }
        std::vector<UCHAR> more(blockSize ? 512 : 64);
        IO_STATUS_BLOCK iosb{};
        EXPECT_EQ(app.NtReadFile(h, more.data(), (ULONG)more.size(), &iosb), STATUS_FILEMARK_DETECTED);
        EXPECT_EQ(iosb.Information, 0u);
        EXPECT_EQ(app.NtReadFile(h, more.data(), (ULONG)more.size(), &iosb), STATUS_NO_DATA_DETECTED);
        if (blockSize) {
            ULONG before = Commands(0);
            EXPECT_EQ(app.NtWriteFile(h, more.data(), 100, &iosb), STATUS_INVALID_PARAMETER);
            EXPECT_EQ(Commands(0), before) << "a misaligned write reached the drive";
        }
    }

    std::unique_ptr<Fabric> fabric_;
    std::shared_ptr<hk::Process> app_;
    std::vector<HANDLE> handles_;
    ULONG drive_ = 0;
    TableBlock table_, chained_;
};

// ---------------------------------------------------------------------------------------------
// Devices, names, Plug and Play
// ---------------------------------------------------------------------------------------------

TEST_F(TapeClassTest, EachPathGetsADirectIoTapeDeviceOfItsOwnName)
{
    AddDrive();
    for (UCHAR port : {1, 2}) {
        SCOPED_TRACE("port " + std::to_string(port));
        PDEVICE_OBJECT fdo = Fdo(port);
        ASSERT_NE(fdo, nullptr);
        EXPECT_EQ(fdo->DeviceType, (DEVICE_TYPE)FILE_DEVICE_TAPE);
        EXPECT_TRUE(fdo->Flags & DO_DIRECT_IO);
        EXPECT_FALSE(fdo->Flags & DO_DEVICE_INITIALIZING);
        // SCSI address through the standard code and the private one agree with the fabric.
        Reply address = Control(fdo, IOCTL_SCSI_GET_ADDRESS, {}, sizeof(SCSI_ADDRESS));
        ASSERT_EQ(address.status, STATUS_SUCCESS);
        EXPECT_EQ(address.out, (std::vector<UCHAR>{8, 0, 0, 0, port, 0, 3, 0}));
    }
    // The paths are named in the order the fabric reports them; the other tests rely on it.
    EXPECT_EQ(Fdo(1), NamedDevice(u"\\Device\\VyrTapePath0"));
    EXPECT_EQ(Fdo(2), NamedDevice(u"\\Device\\VyrTapePath1"));
    EXPECT_EQ(NamedDevice(u"\\Device\\Tape0"), nullptr);
    HANDLE h = OpenApp(0);
    ASSERT_NE(h, hk::INVALID_HANDLE) << std::hex << app_->LastStatus();
    EXPECT_NE(OpenApp(1), hk::INVALID_HANDLE);
    // Power requests go on down to the path.
    for (const hk::DevNodeInfo &n : hk::DeviceTree()) {
        if (n.stack.empty() || n.stack.back() != "vyrtp2k16")
            continue;
        uint64_t calls = hk::PoCallDriverCount();
        POWER_STATE d0{};
        d0.DeviceState = PowerDeviceD0;
        EXPECT_EQ(hk::SendPowerRequest(n.node, IRP_MN_SET_POWER, DevicePowerState, d0), STATUS_SUCCESS);
        EXPECT_EQ(hk::PoCallDriverCount(), calls + 1); // the stand-in's, to the fabric's PDO
    }
}

TEST_F(TapeClassTest, PulledPathRefusesRequestsLosesItsNameAndGoesWhenClosed)
{
    AddDrive();
    PDEVICE_OBJECT fdo = Fdo(1);
    ASSERT_NE(fdo, nullptr);
    HANDLE h = OpenApp(0);
    ASSERT_NE(h, hk::INVALID_HANDLE);
    ASSERT_EQ(fabric_->PullPath(0), STATUS_SUCCESS);
    hk::WaitPnpIdle();
    EXPECT_EQ(AppControl(h, IOCTL_TAPE_GET_STATUS, {}, 0).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(app_->CreateFile("\\\\.\\VyrTapePath0"), hk::INVALID_HANDLE);
    EXPECT_NE(NamedDevice(u"\\Device\\VyrTapePath0"), nullptr); // a handle is still open
    EXPECT_TRUE(app_->CloseHandle(h));
    handles_.clear();
    hk::WaitPnpIdle();
    EXPECT_EQ(NamedDevice(u"\\Device\\VyrTapePath0"), nullptr);
    // The other path is untouched.
    EXPECT_EQ(Control(Fdo(2), IOCTL_TAPE_GET_STATUS, {}, 0).status, STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------------------------
// The filter's probes
// ---------------------------------------------------------------------------------------------

TEST_F(TapeClassTest, IdentityCodesAnswerFromTheDriveAndRefuseShortBuffersUnsent)
{
    AddDrive();
    PDEVICE_OBJECT fdo = Fdo(2);
    std::vector<UCHAR> serial(32, 0);
    memcpy(serial.data(), kSerial, strlen(kSerial));
    struct Case {
        ULONG code, size;
    } cases[] = {{IOC_GET_SERIAL_NUMBER, 32}, {IOC_GET_SCSI_ADDRESS, 8}, {IOC_GET_DEVICE_ID_PAGE, 560},
                 {IOC_GET_STANDARD_INQUIRY, 136}, {IOC_GET_DPF_FLAGS, 4}};
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.code);
        Reply r = Control(fdo, c.code, std::vector<UCHAR>(c.size, 0), c.size);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.info, c.size);
        if (c.code == IOC_GET_SERIAL_NUMBER)
            EXPECT_EQ(r.out, serial);
        if (c.code == IOC_GET_SCSI_ADDRESS)
            EXPECT_EQ(r.out, (std::vector<UCHAR>{8, 0, 0, 0, 2, 0, 3, 0}));
        if (c.code == IOC_GET_STANDARD_INQUIRY) {
            EXPECT_EQ(r.out[0] & 0x1F, 0x01); // sequential-access device
            EXPECT_EQ(std::string((char *)&r.out[16], 16), "VTD 9000        ");
        }
        if (c.code == IOC_GET_DEVICE_ID_PAGE) {
            EXPECT_EQ(r.out[1], 0x83);
            const UCHAR naa[8] = {0x50, 0x0F, 0xAB, 0, 0, 0, 0, 0xC1};
            EXPECT_NE(std::search(r.out.begin(), r.out.end(), naa, naa + 8), r.out.end()) << "WWNN designator";
        }
        ULONG before = Commands(1);
        EXPECT_EQ(Control(fdo, c.code, std::vector<UCHAR>(c.size - 1, 0), c.size - 1).status, STATUS_INFO_LENGTH_MISMATCH);
        EXPECT_EQ(Commands(1), before);
    }
}

TEST_F(TapeClassTest, FlagWordFollowsTheServiceKey)
{
    AddDrive();
    PDEVICE_OBJECT fdo = Fdo(1);
    struct Case {
        ULONG exclusive, naming, keys, word;
    } cases[] = {{0, 0, 0, 0}, {1, 0, 0, 1}, {0, 1, 0, 2}, {0, 0, 1, 4}, {1, 1, 1, 7}, {2, 0, 0, 1}};
    for (const Case &c : cases) {
        hk::RegSetDword(kService, "ExclusiveAccess", c.exclusive);
        hk::RegSetDword(kService, "PersistentNaming", c.naming);
        hk::RegSetDword(kService, "EncryptionKeyManagement", c.keys);
        Reply r = Control(fdo, IOC_GET_DPF_FLAGS, {0, 0, 0, 0}, 4);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(*(ULONG *)r.out.data(), c.word) << c.exclusive << c.naming << c.keys;
    }
}

TEST_F(TapeClassTest, StatusTableIsTakenFromKernelCallersOnly)
{
    AddDrive();
    HANDLE h = OpenApp(0);
    uint64_t address = 0x1000;
    EXPECT_EQ(AppControl(h, IOC_SET_STATUS_TABLE, Bytes(address), 8).status, STATUS_ACCESS_DENIED);
    // Had the address been taken, this request would walk it.
    EXPECT_EQ(AppControl(h, IOCTL_TAPE_GET_STATUS, {}, 0).status, STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------------------------
// Reads, writes and positioning against the drive
// ---------------------------------------------------------------------------------------------

TEST_F(TapeClassTest, RecordsWrittenInVariableBlocksReadBack) { RoundTrip(0); }
TEST_F(TapeClassTest, RecordsWrittenInFixedBlocksReadBack) { RoundTrip(512); }

TEST_F(TapeClassTest, VariableBlockReadsReportShortAndLongBlocksAndTheResidual)
{
    AddDrive();
    PDEVICE_OBJECT fdo = Fdo(1);
    LendTable(fdo);
    ASSERT_EQ(Write(fdo, 100, 1), STATUS_SUCCESS);
    ASSERT_EQ(Write(fdo, 100, 2), STATUS_SUCCESS);
    ASSERT_EQ(Filemarks(fdo, 1), STATUS_SUCCESS);
    ASSERT_EQ(SetPosition(fdo, TAPE_REWIND, 0), STATUS_SUCCESS);
    struct Case {
        size_t length;
        NTSTATUS status;
        ULONG_PTR info;
        ULONG residual;
        UCHAR senseByte2;
    } cases[] = {
        {200, STATUS_SUCCESS, 100, 100, 0x20},         // short block: incorrect length, no error
        {50, STATUS_BUFFER_OVERFLOW, 50, 0, 0x20},     // block longer than the buffer
        {64, STATUS_FILEMARK_DETECTED, 0, 64, 0x80},   // the filemark
        {64, STATUS_NO_DATA_DETECTED, 0, 64, 0x08},    // blank check at end of data
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("read of " + std::to_string(c.length));
        std::vector<UCHAR> data(c.length);
        Block block{};
        Reply r = Transfer(fdo, IRP_MJ_READ, &data, &block);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.info, c.info);
        EXPECT_EQ(block.residual, c.residual);
        EXPECT_EQ(block.sensePresent, 1);
        EXPECT_EQ(block.senseByte2 & 0xE0, c.senseByte2 & 0xE0);
        if (c.status == STATUS_NO_DATA_DETECTED)
            EXPECT_EQ(block.senseKey, 0x08);
    }
}

TEST_F(TapeClassTest, EverySetPositionMethodMovesTheTapeWhereItSays)
{
    AddDrive();
    PDEVICE_OBJECT fdo = Fdo(1);
    // Objects: blocks 0-3, filemark 4, blocks 5-7, filemarks 8 and 9; end of data at 10.
    for (int i = 0; i < 4; i++)
        ASSERT_EQ(Write(fdo, 64, (UCHAR)i), STATUS_SUCCESS);
    ASSERT_EQ(Filemarks(fdo, 1), STATUS_SUCCESS);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(Write(fdo, 64, (UCHAR)i), STATUS_SUCCESS);
    ASSERT_EQ(Filemarks(fdo, 2), STATUS_SUCCESS);
    struct Case {
        LONGLONG from;
        ULONG method;
        LONGLONG offset;
        NTSTATUS status;
        LONGLONG to; // -1: unchanged
    } cases[] = {
        {6, TAPE_REWIND, 0, STATUS_SUCCESS, 0},
        {0, TAPE_LOGICAL_BLOCK, 7, STATUS_SUCCESS, 7},
        {0, TAPE_ABSOLUTE_BLOCK, 3, STATUS_SUCCESS, 3},
        {0, TAPE_PSEUDO_LOGICAL_BLOCK, 2, STATUS_SUCCESS, 2},
        {0, TAPE_SPACE_RELATIVE_BLOCKS, 2, STATUS_SUCCESS, 2},
        {6, TAPE_SPACE_RELATIVE_BLOCKS, -1, STATUS_SUCCESS, 5},
        {0, TAPE_SPACE_FILEMARKS, 1, STATUS_SUCCESS, 5},
        {0, TAPE_SPACE_SEQUENTIAL_FMKS, 2, STATUS_SUCCESS, 10},
        {0, TAPE_SPACE_END_OF_DATA, 0, STATUS_SUCCESS, 10},
        {0, TAPE_SPACE_SETMARKS, 1, STATUS_NOT_SUPPORTED, -1},
        {0, TAPE_SPACE_RELATIVE_BLOCKS, 0x800000, STATUS_INVALID_PARAMETER, -1},
        {0, TAPE_LOGICAL_BLOCK, -1, STATUS_INVALID_PARAMETER, -1},
        {0, 10, 0, STATUS_INVALID_PARAMETER, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "method " << c.method << " offset " << c.offset);
        ASSERT_EQ(SetPosition(fdo, TAPE_LOGICAL_BLOCK, c.from), STATUS_SUCCESS);
        ULONG before = Commands(0);
        EXPECT_EQ(SetPosition(fdo, c.method, c.offset), c.status);
        if (c.to < 0)
            EXPECT_EQ(Commands(0), before) << "a refused request reached the drive";
        EXPECT_EQ(Position(fdo), c.to < 0 ? c.from : c.to);
        EXPECT_EQ((LONGLONG)Drive().Position, c.to < 0 ? c.from : c.to);
    }
    TAPE_GET_POSITION bad{7, 0, {}};
    EXPECT_EQ(Control(fdo, IOCTL_TAPE_GET_POSITION, Bytes(bad), sizeof bad).status, STATUS_INVALID_PARAMETER);
}

TEST_F(TapeClassTest, MarksEraseAndPrepareReachTheDrive)
{
    AddDrive();
    PDEVICE_OBJECT fdo = Fdo(1);
    ASSERT_EQ(Write(fdo, 64, 1), STATUS_SUCCESS);
    struct Marks {
        ULONG type, count;
        NTSTATUS status;
        ULONG64 filemarks;
    } marks[] = {{TAPE_FILEMARKS, 2, STATUS_SUCCESS, 2},
                 {TAPE_LONG_FILEMARKS, 1, STATUS_SUCCESS, 3},
                 {TAPE_SHORT_FILEMARKS, 0, STATUS_SUCCESS, 3},
                 {TAPE_SETMARKS, 1, STATUS_NOT_SUPPORTED, 3},
                 {TAPE_FILEMARKS, 0x1000000, STATUS_INVALID_PARAMETER, 3},
                 {7, 1, STATUS_INVALID_PARAMETER, 3}};
    for (const Marks &m : marks) {
        TAPE_WRITE_MARKS w{m.type, m.count, FALSE};
        EXPECT_EQ(Control(fdo, IOCTL_TAPE_WRITE_MARKS, Bytes(w), 0).status, m.status) << m.type << " " << m.count;
        EXPECT_EQ(Drive().Filemarks, m.filemarks);
    }
    ASSERT_EQ(SetPosition(fdo, TAPE_LOGICAL_BLOCK, 1), STATUS_SUCCESS);
    TAPE_ERASE erase{TAPE_ERASE_SHORT, FALSE};
    EXPECT_EQ(Control(fdo, IOCTL_TAPE_ERASE, Bytes(erase), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Drive().Blocks, 1u);
    EXPECT_EQ(Drive().Filemarks, 0u);
    erase.Type = 2;
    EXPECT_EQ(Control(fdo, IOCTL_TAPE_ERASE, Bytes(erase), 0).status, STATUS_INVALID_PARAMETER);

    struct Prepare {
        ULONG operation;
        NTSTATUS status;
        UCHAR cartridge;      // afterwards
        bool removable;       // the operator can take the cartridge out afterwards
        bool sendsCommand;
    } prepares[] = {
        {TAPE_LOCK, STATUS_SUCCESS, FAB_CARTRIDGE_LOADED, false, true},
        {TAPE_TENSION, STATUS_SUCCESS, FAB_CARTRIDGE_LOADED, false, false},
        {TAPE_UNLOCK, STATUS_SUCCESS, FAB_CARTRIDGE_LOADED, true, true},
        {TAPE_UNLOAD, STATUS_SUCCESS, FAB_CARTRIDGE_UNLOADED, true, true},
        {TAPE_LOAD, STATUS_SUCCESS, FAB_CARTRIDGE_LOADED, true, true},
        {TAPE_FORMAT, STATUS_NOT_SUPPORTED, FAB_CARTRIDGE_LOADED, true, false},
        {9, STATUS_INVALID_PARAMETER, FAB_CARTRIDGE_LOADED, true, false},
    };
    for (const Prepare &p : prepares) {
        SCOPED_TRACE("operation " + std::to_string(p.operation));
        ULONG before = Commands(0);
        TAPE_PREPARE prepare{p.operation, FALSE};
        EXPECT_EQ(Control(fdo, IOCTL_TAPE_PREPARE, Bytes(prepare), 0).status, p.status);
        EXPECT_EQ(Commands(0) > before, p.sendsCommand);
        EXPECT_EQ(Drive().Cartridge, p.cartridge);
        if (!p.removable)
            EXPECT_NE(fabric_->DriveControl(drive_, FAB_DRIVE_UNLOAD, 0), STATUS_SUCCESS);
    }
    // An unloaded cartridge makes the drive not ready.
    TAPE_PREPARE unload{TAPE_UNLOAD, FALSE};
    ASSERT_EQ(Control(fdo, IOCTL_TAPE_PREPARE, Bytes(unload), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Control(fdo, IOCTL_TAPE_GET_STATUS, {}, 0).status, STATUS_DEVICE_NOT_READY);
}

TEST_F(TapeClassTest, MediaAndDriveParametersComeFromTheDrive)
{
    AddDrive();
    HANDLE h = OpenApp(0);
    Reply media = AppControl(h, IOCTL_TAPE_GET_MEDIA_PARAMS, {}, sizeof(TAPE_GET_MEDIA_PARAMETERS));
    ASSERT_EQ(media.status, STATUS_SUCCESS);
    EXPECT_EQ(media.info, sizeof(TAPE_GET_MEDIA_PARAMETERS));
    EXPECT_EQ(((TAPE_GET_MEDIA_PARAMETERS *)media.out.data())->BlockSize, 0u);
    EXPECT_FALSE(((TAPE_GET_MEDIA_PARAMETERS *)media.out.data())->WriteProtected);

    TAPE_SET_MEDIA_PARAMETERS set{1024};
    ASSERT_EQ(AppControl(h, IOCTL_TAPE_SET_MEDIA_PARAMS, Bytes(set), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Drive().BlockSize, 1024u);
    set.BlockSize = 0x1000000;
    EXPECT_EQ(AppControl(h, IOCTL_TAPE_SET_MEDIA_PARAMS, Bytes(set), 0).status, STATUS_INVALID_PARAMETER);
    ASSERT_EQ(fabric_->DriveControl(drive_, FAB_DRIVE_WRITE_PROTECT, 1), STATUS_SUCCESS);
    media = AppControl(h, IOCTL_TAPE_GET_MEDIA_PARAMS, {}, sizeof(TAPE_GET_MEDIA_PARAMETERS));
    EXPECT_EQ(((TAPE_GET_MEDIA_PARAMETERS *)media.out.data())->BlockSize, 1024u);
    EXPECT_TRUE(((TAPE_GET_MEDIA_PARAMETERS *)media.out.data())->WriteProtected);
    std::vector<UCHAR> data = Pattern(1024, 3);
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(app_->NtWriteFile(h, data.data(), 1024, &iosb), STATUS_MEDIA_WRITE_PROTECTED);

    Reply drive = AppControl(h, IOCTL_TAPE_GET_DRIVE_PARAMS, {}, sizeof(TAPE_GET_DRIVE_PARAMETERS));
    ASSERT_EQ(drive.status, STATUS_SUCCESS);
    auto *p = (TAPE_GET_DRIVE_PARAMETERS *)drive.out.data();
    EXPECT_EQ(p->MaximumBlockSize, 0x40000u);
    EXPECT_EQ(p->DefaultBlockSize, 512u);
    EXPECT_TRUE(p->FeaturesLow & TAPE_DRIVE_VARIABLE_BLOCK);
    EXPECT_EQ(p->FeaturesHigh & TAPE_DRIVE_HIGH_FEATURES, 0u);
    EXPECT_TRUE(p->FeaturesHigh & (TAPE_DRIVE_LOGICAL_BLK & ~TAPE_DRIVE_HIGH_FEATURES));
    for (ULONG code : {IOCTL_TAPE_GET_MEDIA_PARAMS, IOCTL_TAPE_GET_DRIVE_PARAMS})
        EXPECT_EQ(AppControl(h, code, {}, 31).status, STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(AppControl(h, IOCTL_TAPE_SET_DRIVE_PARAMS, std::vector<UCHAR>(8, 0), 0).status, STATUS_NOT_SUPPORTED);
}

// ---------------------------------------------------------------------------------------------
// Error mapping and the ScsiStatus block
// ---------------------------------------------------------------------------------------------

TEST_F(TapeClassTest, CheckConditionsMapToTapeStatusesAndFillTheBlock)
{
    AddDrive();
    PDEVICE_OBJECT fdo = Fdo(1);
    LendTable(fdo);
    struct Case {
        UCHAR key, asc, ascq, flags;
        NTSTATUS status;
    } cases[] = {
        {0x2, 0x3A, 0x00, 0, STATUS_NO_MEDIA_IN_DEVICE},
        {0x2, 0x04, 0x00, 0, STATUS_DEVICE_NOT_READY},
        {0x7, 0x27, 0x00, 0, STATUS_MEDIA_WRITE_PROTECTED},
        {0x6, 0x28, 0x00, 0, STATUS_MEDIA_CHANGED},
        {0x6, 0x29, 0x00, 0, STATUS_BUS_RESET},
        {0x5, 0x20, 0x00, 0, STATUS_INVALID_DEVICE_REQUEST},
        {0x4, 0x44, 0x00, 0, STATUS_IO_DEVICE_ERROR},
        {0x3, 0x11, 0x00, 0, STATUS_DEVICE_DATA_ERROR},
        {0x8, 0x00, 0x05, 0, STATUS_NO_DATA_DETECTED},
        {0x0, 0x00, 0x01, 0x80, STATUS_FILEMARK_DETECTED},
        {0x0, 0x00, 0x02, 0x40, STATUS_END_OF_MEDIA},
        {0xD, 0x00, 0x02, 0x40, (NTSTATUS)0xC0000177 /* STATUS_EOM_OVERFLOW */},
        {0xB, 0x47, 0x00, 0, STATUS_IO_DEVICE_ERROR},
        {0x1, 0x17, 0x01, 0, STATUS_SUCCESS},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << (int)c.key << "/" << (int)c.asc << "/" << (int)c.ascq);
        FabFaultRequest f{};
        f.Scope = FAB_SCOPE_PATH;
        f.Index = 0;
        f.Kind = FAB_FAULT_SENSE;
        f.Form = FAB_FORM_ONE_SHOT;
        f.SenseKey = c.key;
        f.Asc = c.asc;
        f.Ascq = c.ascq;
        f.SenseFlags = c.flags;
        ASSERT_EQ(fabric_->AddFault(f), STATUS_SUCCESS);
        Block block{};
        EXPECT_EQ(Control(fdo, IOCTL_TAPE_GET_STATUS, {}, 0, &block).status, c.status);
        EXPECT_EQ(block.sensePresent, 1);
        EXPECT_EQ(block.senseKey, c.key);
        EXPECT_EQ(block.asc, c.asc);
        EXPECT_EQ(block.ascq, c.ascq);
        EXPECT_EQ(block.senseByte2, c.key | c.flags);
    }
    // Not a CHECK CONDITION: a reservation conflict, and failures of the transport as they are.
    FabFaultRequest conflict{};
    conflict.Kind = FAB_FAULT_RESERVATION;
    conflict.Form = FAB_FORM_ONE_SHOT;
    ASSERT_EQ(fabric_->AddFault(conflict), STATUS_SUCCESS);
    Block block{};
    EXPECT_EQ(Control(fdo, IOCTL_TAPE_GET_STATUS, {}, 0, &block).status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(block.sensePresent, 0);
    for (NTSTATUS transport : {STATUS_IO_TIMEOUT, STATUS_DEVICE_NOT_CONNECTED}) {
        FabFaultRequest f{};
        f.Kind = FAB_FAULT_STATUS;
        f.Form = FAB_FORM_ONE_SHOT;
        f.Status = transport;
        ASSERT_EQ(fabric_->AddFault(f), STATUS_SUCCESS);
        EXPECT_EQ(Control(fdo, IOCTL_TAPE_GET_STATUS, {}, 0).status, transport);
    }
}

TEST_F(TapeClassTest, BlockIsFoundOnlyThroughOccupiedSlotsOfTheChain)
{
    AddDrive();
    PDEVICE_OBJECT fdo = Fdo(1);
    LendTable(fdo);
    ASSERT_EQ(Write(fdo, 100, 1), STATUS_SUCCESS);
    ASSERT_EQ(SetPosition(fdo, TAPE_REWIND, 0), STATUS_SUCCESS);
    // A slot in the chained block.
    std::vector<UCHAR> data(300);
    Block block{};
    ASSERT_EQ(Transfer(fdo, IRP_MJ_READ, &data, nullptr).status, STATUS_SUCCESS); // not in the table at all
    ASSERT_EQ(SetPosition(fdo, TAPE_REWIND, 0), STATUS_SUCCESS);
    {
        UCHAR systemBuffer[96] = {};
        PMDL mdl = IoAllocateMdl(data.data(), 300, FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(mdl);
        Reply r = Send(fdo, IRP_MJ_READ, 300, systemBuffer, 0, 0, mdl, &block, 63 + 40);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(block.residual, 200u);
        EXPECT_EQ(block.sensePresent, 1);
    }
    // A slot that holds the request but whose bit is clear is not a match.
    Block ignored{};
    memset(&ignored, 0x5A, sizeof ignored);
    const Block copy = ignored;
    ASSERT_EQ(SetPosition(fdo, TAPE_REWIND, 0), STATUS_SUCCESS);
    UCHAR systemBuffer[96] = {};
    PMDL mdl = IoAllocateMdl(data.data(), 300, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ(Send(fdo, IRP_MJ_READ, 300, systemBuffer, 0, 0, mdl, &ignored, 7, false).status, STATUS_SUCCESS);
    EXPECT_EQ(memcmp(&ignored, &copy, sizeof copy), 0);
}

TEST_F(TapeClassTest, CloseKeepsTheBusWordAndCreateReportsNoSenseOfProbes)
{
    AddDrive();
    PDEVICE_OBJECT fdo = Fdo(1);
    LendTable(fdo);
    Block create{};
    EXPECT_EQ(Open(fdo, IRP_MJ_CREATE, &create).status, STATUS_SUCCESS);
    EXPECT_EQ(create.sensePresent, 0);
    Block close{};
    close.residual = 1; // the bus: no handle left on the logical device
    EXPECT_EQ(Open(fdo, IRP_MJ_CLOSE, &close).status, STATUS_SUCCESS);
    EXPECT_EQ(close.residual, 1u);
}

TEST_F(TapeClassTest, KeyServerRequestMarksEncryptionOnInEveryLaterBlock)
{
    FabDriveConfig config = Config();
    config.fKeyManaged = 1;
    AddDrive(config);
    PDEVICE_OBJECT fdo = Fdo(1);
    LendTable(fdo);
    Block before{};
    EXPECT_EQ(Control(fdo, IOCTL_TAPE_GET_STATUS, {}, 0, &before).status, STATUS_SUCCESS);
    EXPECT_EQ(before.encryption, 0) << "nothing reported before the drive said anything";
    Block write{};
    EXPECT_EQ(Write(fdo, 100, 1, &write), STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(write.encryption, 0x03);
    EXPECT_EQ(write.senseKey, 0x07);
    EXPECT_EQ(write.asc, 0xEF);
    Block later{};
    EXPECT_EQ(Control(fdo, IOCTL_TAPE_GET_STATUS, {}, 0, &later).status, STATUS_SUCCESS);
    EXPECT_EQ(later.encryption, 0x03);
    EXPECT_EQ(later.sensePresent, 0);
}

// ---------------------------------------------------------------------------------------------
// Pass-through
// ---------------------------------------------------------------------------------------------

struct PassThrough {
    SCSI_PASS_THROUGH header{};
    UCHAR sense[32];
    UCHAR data[512];
};
static_assert(offsetof(PassThrough, sense) == 56 && offsetof(PassThrough, data) == 88);

PassThrough Inquiry(UCHAR length = 96)
{
    PassThrough p{};
    p.header.Length = sizeof(SCSI_PASS_THROUGH);
    p.header.CdbLength = 6;
    p.header.SenseInfoLength = 32;
    p.header.DataIn = SCSI_IOCTL_DATA_IN;
    p.header.DataTransferLength = length;
    p.header.DataBufferOffset = offsetof(PassThrough, data);
    p.header.SenseInfoOffset = offsetof(PassThrough, sense);
    const UCHAR cdb[6] = {0x12, 0, 0, 0, length, 0};
    memcpy(p.header.Cdb, cdb, 6);
    return p;
}

TEST_F(TapeClassTest, PassThroughOutsideItsBufferIsRefusedUnsent)
{
    AddDrive();
    HANDLE h = OpenApp(0);
    const ULONG size = sizeof(PassThrough);
    struct Case {
        const char *what;
        void (*edit)(PassThrough &);
        ULONG in, out;
        NTSTATUS status;
    } cases[] = {
        {"input shorter than the structure", [](PassThrough &) {}, 55, size, STATUS_INFO_LENGTH_MISMATCH},
        {"output shorter than the structure", [](PassThrough &) {}, size, 55, STATUS_INFO_LENGTH_MISMATCH},
        {"length field of the 32-bit layout", [](PassThrough &p) { p.header.Length = 44; }, size, size,
         STATUS_REVISION_MISMATCH},
        {"no command", [](PassThrough &p) { p.header.CdbLength = 0; }, size, size, STATUS_INVALID_PARAMETER},
        {"command longer than 16", [](PassThrough &p) { p.header.CdbLength = 17; }, size, size, STATUS_INVALID_PARAMETER},
        {"unknown direction", [](PassThrough &p) { p.header.DataIn = 3; }, size, size, STATUS_INVALID_PARAMETER},
        {"data without a direction", [](PassThrough &p) { p.header.DataIn = SCSI_IOCTL_DATA_UNSPECIFIED; }, size, size,
         STATUS_INVALID_PARAMETER},
        {"data past the output", [](PassThrough &p) { p.header.DataTransferLength = 512; }, size, size - 1,
         STATUS_INVALID_PARAMETER},
        {"data over the structure", [](PassThrough &p) { p.header.DataBufferOffset = 40; }, size, size,
         STATUS_INVALID_PARAMETER},
        {"offset that wraps", [](PassThrough &p) { p.header.DataBufferOffset = ~(ULONG_PTR)15; }, size, size,
         STATUS_INVALID_PARAMETER},
        {"sense past the output", [](PassThrough &p) { p.header.SenseInfoOffset = size - 8; }, size, size,
         STATUS_INVALID_PARAMETER},
        {"sense over the structure", [](PassThrough &p) { p.header.SenseInfoOffset = 8; }, size, size,
         STATUS_INVALID_PARAMETER},
        {"transfer beyond any buffer", [](PassThrough &p) { p.header.DataTransferLength = 0x2000000; }, size, size,
         STATUS_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        PassThrough p = Inquiry();
        c.edit(p);
        std::vector<UCHAR> in((UCHAR *)&p, (UCHAR *)&p + c.in);
        ULONG before = Commands(0);
        EXPECT_EQ(AppControl(h, IOCTL_SCSI_PASS_THROUGH, in, c.out).status, c.status);
        EXPECT_EQ(Commands(0), before);
    }
    // Direct: a data buffer that is not there.
    SCSI_PASS_THROUGH_DIRECT d{};
    d.Length = sizeof d;
    d.CdbLength = 6;
    d.DataIn = SCSI_IOCTL_DATA_IN;
    d.DataTransferLength = 96;
    d.Cdb[0] = 0x12;
    d.Cdb[4] = 96;
    ULONG before = Commands(0);
    EXPECT_EQ(AppControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, Bytes(d), sizeof d).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Commands(0), before);
}

TEST_F(TapeClassTest, PassThroughReturnsStatusSenseAndDataInEveryLayout)
{
    AddDrive();
    HANDLE h = OpenApp(0);
    // Buffered INQUIRY.
    PassThrough p = Inquiry();
    Reply r = AppControl(h, IOCTL_SCSI_PASS_THROUGH, Bytes(p), sizeof p);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    auto *back = (PassThrough *)r.out.data();
    EXPECT_EQ(back->header.ScsiStatus, 0);
    EXPECT_EQ(back->header.SenseInfoLength, 0);
    ULONG got = back->header.DataTransferLength;
    EXPECT_GE(got, 36u);
    EXPECT_EQ(r.info, offsetof(PassThrough, data) + got);
    EXPECT_EQ(std::string((char *)back->data + 16, 8), "VTD 9000");

    // A CHECK CONDITION: the command reached the drive, the request succeeds with the sense.
    PassThrough read{};
    read.header = Inquiry().header;
    const UCHAR readCdb[6] = {0x08, 0, 0, 0, 64, 0};
    memcpy(read.header.Cdb, readCdb, 6);
    read.header.DataTransferLength = 64;
    r = AppControl(h, IOCTL_SCSI_PASS_THROUGH, Bytes(read), sizeof read);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    back = (PassThrough *)r.out.data();
    EXPECT_EQ(back->header.ScsiStatus, 0x02);
    EXPECT_EQ(back->header.SenseInfoLength, 18);
    EXPECT_EQ(back->sense[2] & 0x0F, 0x08); // blank tape
    EXPECT_EQ(back->header.DataTransferLength, 0u);
    EXPECT_EQ(r.info, offsetof(PassThrough, sense) + 18);

    // Direct, from a 64-bit process and from a 32-bit one.
    std::vector<UCHAR> data(96);
    SCSI_PASS_THROUGH_DIRECT d{};
    d.Length = sizeof d;
    d.CdbLength = 6;
    d.DataIn = SCSI_IOCTL_DATA_IN;
    d.DataTransferLength = 96;
    d.DataBuffer = data.data();
    d.Cdb[0] = 0x12;
    d.Cdb[4] = 96;
    r = AppControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, Bytes(d), sizeof d);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(((SCSI_PASS_THROUGH_DIRECT *)r.out.data())->DataTransferLength, got);
    EXPECT_EQ(std::string((char *)data.data() + 16, 8), "VTD 9000");

    auto app32 = hk::Process::Create("app32", true);
    HANDLE h32 = app32->CreateFile("\\\\.\\VyrTapePath0");
    ASSERT_NE(h32, hk::INVALID_HANDLE);
    struct {
        SCSI_PASS_THROUGH32 header;
        UCHAR data[96];
    } p32{};
    p32.header.Length = sizeof(SCSI_PASS_THROUGH32);
    p32.header.CdbLength = 6;
    p32.header.DataIn = SCSI_IOCTL_DATA_IN;
    p32.header.DataTransferLength = 96;
    p32.header.DataBufferOffset = sizeof(SCSI_PASS_THROUGH32);
    p32.header.Cdb[0] = 0x12;
    p32.header.Cdb[4] = 96;
    std::vector<UCHAR> out(sizeof p32);
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(app32->NtDeviceIoControlFile(h32, IOCTL_SCSI_PASS_THROUGH, &p32, sizeof p32, out.data(), sizeof p32, &iosb),
              STATUS_SUCCESS);
    EXPECT_EQ(std::string((char *)out.data() + 44 + 16, 8), "VTD 9000");
    EXPECT_EQ(iosb.Information, 44 + got);
    EXPECT_TRUE(app32->CloseHandle(h32));
}

// ---------------------------------------------------------------------------------------------
// Reservations: applying the bus's block, pass-through reservations, last close
// ---------------------------------------------------------------------------------------------

Block KeyBlock(uint64_t key, UCHAR active, ULONG blockSize)
{
    Block b{};
    memcpy(b.key, &key, 8);
    b.reservationActive = active;
    b.blockSize = blockSize;
    return b;
}

TEST_F(TapeClassTest, ApplyTakesThePersistentReservationOverAndReportsIt)
{
    AddDrive();
    PDEVICE_OBJECT one = Fdo(1), two = Fdo(2);
    LendTable(one);
    LendTable(two);
    const uint64_t key = 0x1122334455667788ull;
    EXPECT_EQ(Control(one, IOC_APPLY_SCSI_STATUS, Bytes(KeyBlock(key, 1, 512)), 0).status, STATUS_SUCCESS);
    FabDriveState state = Drive();
    EXPECT_TRUE(state.fPrReserved);
    EXPECT_EQ(state.BlockSize, 512u);
    // The request the block came with reports the reservation, once.
    Block first{}, second{};
    EXPECT_EQ(Control(one, IOCTL_TAPE_GET_STATUS, {}, 0, &first).status, STATUS_SUCCESS);
    EXPECT_EQ(std::string(first.wwpn, 16), "5FAB000000000001");
    EXPECT_EQ(std::string(first.hostKey, 16), "8877665544332211"); // the key's bytes in buffer order
    EXPECT_EQ(Control(one, IOCTL_TAPE_GET_STATUS, {}, 0, &second).status, STATUS_SUCCESS);
    EXPECT_EQ(second.wwpn[0], 0);
    // Path 2 is shut out until the block moves the reservation there (a PREEMPT).
    TakeAttentions(two);
    EXPECT_EQ(Control(two, IOCTL_TAPE_GET_STATUS, {}, 0).status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(Control(two, IOC_APPLY_SCSI_STATUS, Bytes(KeyBlock(key, 1, 0xFFFFFFFF)), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Control(two, IOCTL_TAPE_GET_STATUS, {}, 0).status, STATUS_SUCCESS);
    TakeAttentions(one);
    EXPECT_EQ(Control(one, IOCTL_TAPE_GET_STATUS, {}, 0).status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(Drive().BlockSize, 512u) << "block size 0xFFFFFFFF is not known to the bus and is not set";
    // The bus's close of the last handle releases it.
    Block close{};
    close.residual = 1;
    EXPECT_EQ(Open(two, IRP_MJ_CLOSE, &close).status, STATUS_SUCCESS);
    EXPECT_FALSE(Drive().fPrReserved);
    TakeAttentions(one);
    EXPECT_EQ(Control(one, IOCTL_TAPE_GET_STATUS, {}, 0).status, STATUS_SUCCESS);
}

TEST_F(TapeClassTest, ApplyRetakesAPlainReservationOnlyWhereOneIsHeld)
{
    AddDrive();
    PDEVICE_OBJECT one = Fdo(1), two = Fdo(2);
    LendTable(one);
    const Block plain = KeyBlock((uint64_t)one, 0, 0xFFFFFFFF);
    // No reservation was made through the driver: nothing to carry over.
    EXPECT_EQ(Control(two, IOC_APPLY_SCSI_STATUS, Bytes(plain), 0).status, STATUS_SUCCESS);
    EXPECT_FALSE(Drive().fScsi2Reserved);

    // An application reserves through path 1 (pass-through RESERVE(6)); the bus's request reports it.
    PassThrough reserve{};
    reserve.header = Inquiry().header;
    reserve.header.DataIn = SCSI_IOCTL_DATA_UNSPECIFIED;
    reserve.header.DataTransferLength = 0;
    const UCHAR cdb[6] = {0x16, 0, 0, 0, 0, 0};
    memcpy(reserve.header.Cdb, cdb, 6);
    Block block{};
    Reply r = Control(one, IOCTL_SCSI_PASS_THROUGH, Bytes(reserve), sizeof reserve, &block);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(((PassThrough *)r.out.data())->header.ScsiStatus, 0);
    EXPECT_EQ(std::string(block.wwpn, 16), "5FAB000000000001");
    char nexus[17];
    snprintf(nexus, sizeof nexus, "%016llX", (unsigned long long)FabPathNexus(1, 0, 3));
    EXPECT_EQ(std::string(block.hostKey, 16), nexus);

    // A block of the wrong size is refused before anything reaches the drive.
    ULONG short95 = Commands(1);
    EXPECT_EQ(Control(two, IOC_APPLY_SCSI_STATUS, std::vector<UCHAR>(95, 1), 0).status, STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(Commands(1), short95);

    // Path 1 still holds it: the RESERVE on path 2 conflicts, so the driver resets the logical
    // unit through path 2, which breaks path 1's reservation (path 1 hears of the reset), and
    // reserves again.
    EXPECT_EQ(Control(two, IOC_APPLY_SCSI_STATUS, Bytes(plain), 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(Drive().fScsi2Reserved);
    EXPECT_EQ(Drive().Scsi2Holder, FabPathNexus(2, 0, 3));
    LendTable(one);
    Block heard{};
    Control(one, IOCTL_TAPE_GET_STATUS, {}, 0, &heard);
    EXPECT_TRUE(heard.sensePresent && heard.senseKey == 0x6 && heard.asc == 0x29 && heard.ascq == 0x03);

    // Back to path 1, while another initiator takes the drive at every RESERVE: the reset does
    // not help, and the block fails with the conflict.
    FabFaultRequest other{};
    other.Scope = FAB_SCOPE_DRIVE;
    other.Index = drive_;
    other.Kind = FAB_FAULT_RESERVATION;
    other.Form = FAB_FORM_UNTIL_CLEARED;
    other.fOpcodeFilter = 1;
    other.Opcode = 0x16;
    ASSERT_EQ(fabric_->AddFault(other), STATUS_SUCCESS);
    const Block back = KeyBlock((uint64_t)two, 0, 0xFFFFFFFF);
    EXPECT_EQ(Control(one, IOC_APPLY_SCSI_STATUS, Bytes(back), 0).status, STATUS_DEVICE_BUSY);
    ASSERT_EQ(fabric_->ClearFaults(FAB_SCOPE_ALL, 0), STATUS_SUCCESS);

    // The reset ended path 2's hold too; with the drive free again, the next block takes the
    // host's reservation up on its path.
    EXPECT_FALSE(Drive().fScsi2Reserved);
    EXPECT_EQ(Control(two, IOC_APPLY_SCSI_STATUS, Bytes(plain), 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(Drive().fScsi2Reserved);
    EXPECT_EQ(Drive().Scsi2Holder, FabPathNexus(2, 0, 3));

    // Once the drive dropped a path's nexus, the reservation moves to another path at once.
    ASSERT_EQ(fabric_->PullPath(1), STATUS_SUCCESS);
    hk::WaitPnpIdle();
    TakeAttentions(one);
    EXPECT_EQ(Control(one, IOC_APPLY_SCSI_STATUS, Bytes(back), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Drive().Scsi2Holder, FabPathNexus(1, 0, 3));
}

TEST_F(TapeClassTest, HostKeysAreAcceptedAndTheApplicationKeyIsRegistered)
{
    AddDrive();
    PDEVICE_OBJECT fdo = Fdo(1);
    const uint64_t key = 0xA1A2A3A4A5A6A7A8ull;
    EXPECT_EQ(Control(fdo, IOC_SET_RESERVATION_KEY, Bytes(key), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Drive().Registrations, 0u);
    EXPECT_EQ(Control(fdo, IOCTL_VYRTC_SET_HOST_KEY, Bytes(key), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Drive().Registrations, 1u);
    const uint64_t none = 0;
    EXPECT_EQ(Control(fdo, IOCTL_VYRTC_SET_HOST_KEY, Bytes(none), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Drive().Registrations, 0u);
    for (ULONG code : {IOC_SET_RESERVATION_KEY, IOCTL_VYRTC_SET_HOST_KEY})
        EXPECT_EQ(Control(fdo, code, std::vector<UCHAR>(7, 1), 0).status, STATUS_INFO_LENGTH_MISMATCH);
}

// A persistent-reservation request of the storage interface: header, then the parameter list.
std::vector<UCHAR> ReserveOut(UCHAR action, UCHAR type, uint64_t key, uint64_t actionKey)
{
    std::vector<UCHAR> request(10 + 24, 0);
    PERSISTENT_RESERVE_COMMAND header{};
    header.Version = sizeof header;
    header.Size = (ULONG)request.size();
    header.PR_OUT.ServiceAction = action;
    header.PR_OUT.Type = type;
    memcpy(request.data(), &header, 10);
    for (int i = 0; i < 8; i++) {
        request[10 + i] = (UCHAR)(key >> (56 - 8 * i));
        request[18 + i] = (UCHAR)(actionKey >> (56 - 8 * i));
    }
    return request;
}

TEST_F(TapeClassTest, StorageReservationRequestsReachTheDriveAndAreReported)
{
    AddDrive();
    PDEVICE_OBJECT fdo = Fdo(1);
    LendTable(fdo);
    Block reserve{};
    EXPECT_EQ(Control(fdo, IOCTL_STORAGE_RESERVE, {}, 0, &reserve).status, STATUS_SUCCESS);
    EXPECT_TRUE(Drive().fScsi2Reserved);
    EXPECT_EQ(std::string(reserve.wwpn, 16), "5FAB000000000001");
    EXPECT_EQ(Control(fdo, IOCTL_STORAGE_RELEASE, {}, 0).status, STATUS_SUCCESS);
    EXPECT_FALSE(Drive().fScsi2Reserved);

    const uint64_t key = 0x0102030405060708ull;
    EXPECT_EQ(Control(fdo, IOCTL_STORAGE_PERSISTENT_RESERVE_OUT, ReserveOut(0, 0, 0, key), 0).status, STATUS_SUCCESS);
    Block persistent{};
    EXPECT_EQ(Control(fdo, IOCTL_STORAGE_PERSISTENT_RESERVE_OUT, ReserveOut(1, 3, key, 0), 0, &persistent).status,
              STATUS_SUCCESS);
    EXPECT_TRUE(Drive().fPrReserved);
    EXPECT_EQ(std::string(persistent.hostKey, 16), "0102030405060708");
    // READ KEYS: generation, list length 8, the key.
    PERSISTENT_RESERVE_COMMAND in{};
    in.Version = in.Size = sizeof in;
    in.PR_IN.AllocationLength = 64;
    Reply keys = Control(fdo, IOCTL_STORAGE_PERSISTENT_RESERVE_IN, Bytes(in), 64);
    ASSERT_EQ(keys.status, STATUS_SUCCESS);
    ASSERT_EQ(keys.info, 16u);
    EXPECT_EQ(std::vector<UCHAR>(keys.out.begin() + 8, keys.out.end()), (std::vector<UCHAR>{1, 2, 3, 4, 5, 6, 7, 8}));

    struct Bad {
        const char *what;
        std::vector<UCHAR> request;
    } bad[] = {{"wrong version", ReserveOut(1, 3, key, 0)}, {"size past the input", ReserveOut(1, 3, key, 0)},
               {"no parameter list", ReserveOut(1, 3, key, 0)}};
    bad[0].request[0] = 11;
    bad[1].request[4] = 35;
    bad[2].request[4] = 33;
    for (const Bad &b : bad) {
        ULONG before = Commands(0);
        EXPECT_EQ(Control(fdo, IOCTL_STORAGE_PERSISTENT_RESERVE_OUT, b.request, 0).status, STATUS_INVALID_PARAMETER) << b.what;
        EXPECT_EQ(Commands(0), before) << b.what;
    }
}

// ---------------------------------------------------------------------------------------------
// The private tape codes
// ---------------------------------------------------------------------------------------------

TEST_F(TapeClassTest, SettingsBelongToThePathAndChangeWhatItReports)
{
    FabDriveConfig config = Config();
    config.EarlyWarningBytes = 1000;
    AddDrive(config);
    PDEVICE_OBJECT one = Fdo(1), two = Fdo(2);
    LendTable(one);
    // Setting B: the early-warning policy.
    Reply b = Control(one, IOCTL_VYRTC_GET_SETTING_B, {}, 8);
    ASSERT_EQ(b.status, STATUS_SUCCESS);
    EXPECT_EQ(b.out, std::vector<UCHAR>(8, 0));
    EXPECT_EQ(Write(one, 1200, 1), STATUS_END_OF_MEDIA);
    ASSERT_EQ(Control(one, IOCTL_VYRTC_SET_SETTING_B, {VYRTC_SETTING_B_EOM_AS_SUCCESS}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Control(one, IOCTL_VYRTC_GET_SETTING_B, {}, 8).out[0], 1);
    EXPECT_EQ(Control(two, IOCTL_VYRTC_GET_SETTING_B, {}, 8).out[0], 0) << "another path starts with the default";
    EXPECT_EQ(Write(one, 100, 2), STATUS_SUCCESS);
    EXPECT_EQ(Control(one, IOCTL_VYRTC_SET_SETTING_B, {2}, 0).status, STATUS_INVALID_PARAMETER);

    // Setting A: incorrect-length reports on variable-block reads.
    ASSERT_EQ(SetPosition(one, TAPE_REWIND, 0), STATUS_SUCCESS);
    VyrTcSettingA a{VYRTC_SETTING_A_SILI, 1, {9, 8, 7, 6}};
    std::vector<UCHAR> setting(32, 0); // the bus restores with a 32-byte buffer
    memcpy(setting.data(), &a, sizeof a);
    ASSERT_EQ(Control(one, IOCTL_VYRTC_SET_SETTING_A, setting, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Control(one, IOCTL_VYRTC_GET_SETTING_A, {}, 6).out, Bytes(a));
    std::vector<UCHAR> data(2000);
    Block block{};
    EXPECT_EQ(Transfer(one, IRP_MJ_READ, &data, &block).status, STATUS_SUCCESS);
    EXPECT_EQ(block.residual, 800u);
    EXPECT_EQ(block.sensePresent, 0) << "short block reported although suppressed";
    VyrTcSettingA bad{0x80, 1, {}};
    EXPECT_EQ(Control(one, IOCTL_VYRTC_SET_SETTING_A, Bytes(bad), 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Control(one, IOCTL_VYRTC_SET_SETTING_A, std::vector<UCHAR>(5, 0), 0).status, STATUS_INFO_LENGTH_MISMATCH);
}

TEST_F(TapeClassTest, PrivatePositionCodesMoveTheTape)
{
    AddDrive();
    PDEVICE_OBJECT fdo = Fdo(1);
    // Objects: blocks 0-2, filemark 3, blocks 4-5; end of data at 6.
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(Write(fdo, 64, (UCHAR)i), STATUS_SUCCESS);
    ASSERT_EQ(Filemarks(fdo, 1), STATUS_SUCCESS);
    ASSERT_EQ(Write(fdo, 64, 3), STATUS_SUCCESS);
    ASSERT_EQ(Write(fdo, 64, 4), STATUS_SUCCESS);
    struct Case {
        const char *what;
        ULONG code;
        std::vector<UCHAR> in;
        NTSTATUS status;
        LONGLONG to; // -1: unchanged
    } cases[] = {
        {"locate block", IOCTL_VYRTC_LOCATE_BLOCK, Bytes(VyrTcLocateBlock{0, 0, 5}), STATUS_SUCCESS, 5},
        {"locate block, unknown flag", IOCTL_VYRTC_LOCATE_BLOCK, Bytes(VyrTcLocateBlock{2, 0, 1}), STATUS_INVALID_PARAMETER, -1},
        {"locate block, short", IOCTL_VYRTC_LOCATE_BLOCK, std::vector<UCHAR>(11, 0), STATUS_INFO_LENGTH_MISMATCH, -1},
        {"locate to a block", IOCTL_VYRTC_LOCATE, Bytes(VyrTcLocate{VYRTC_LOCATE_BLOCK, 0, {}, 2}), STATUS_SUCCESS, 2},
        {"locate to a file", IOCTL_VYRTC_LOCATE, Bytes(VyrTcLocate{VYRTC_LOCATE_FILE, 0, {}, 1}), STATUS_SUCCESS, 4},
        {"locate, unknown type", IOCTL_VYRTC_LOCATE, Bytes(VyrTcLocate{2, 0, {}, 1}), STATUS_INVALID_PARAMETER, -1},
        {"start rewind", IOCTL_VYRTC_START_REWIND, {}, STATUS_SUCCESS, 0},
        {"verify one block", IOCTL_VYRTC_VERIFY, Bytes(VyrTcVerify{0, {}, 64}), STATUS_SUCCESS, 2},
        {"verify with byte compare", IOCTL_VYRTC_VERIFY, Bytes(VyrTcVerify{0x02, {}, 64}), STATUS_INVALID_PARAMETER, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(SetPosition(fdo, TAPE_LOGICAL_BLOCK, 1), STATUS_SUCCESS);
        EXPECT_EQ(Control(fdo, c.code, c.in, 0).status, c.status);
        EXPECT_EQ((LONGLONG)Drive().Position, c.to < 0 ? 1 : c.to);
    }
}

TEST_F(TapeClassTest, ReadinessPollSaysReadyOnlyWithAKnownPosition)
{
    AddDrive();
    PDEVICE_OBJECT fdo = Fdo(1);
    LendTable(fdo);
    ASSERT_EQ(Write(fdo, 64, 1), STATUS_SUCCESS);
    Block block{};
    Reply r = Control(fdo, IOCTL_VYRTC_QUERY_READINESS, {}, 96, &block);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.info, 96u);
    EXPECT_EQ(r.out[7], 0);
    EXPECT_EQ(r.out[32], 0);
    EXPECT_EQ(r.out[33], 28);
    EXPECT_EQ(r.out[43], 1) << "first block, big-endian";
    TAPE_PREPARE unload{TAPE_UNLOAD, FALSE};
    ASSERT_EQ(Control(fdo, IOCTL_TAPE_PREPARE, Bytes(unload), 0).status, STATUS_SUCCESS);
    r = Control(fdo, IOCTL_VYRTC_QUERY_READINESS, {}, 96, &block);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.out[7], 1);
    EXPECT_EQ(r.out[4], 0x02); // not ready
    EXPECT_EQ(r.out[33], 0);
    EXPECT_EQ(block.sensePresent, 0) << "the poll's own probes are no failure of the request";
    EXPECT_EQ(Control(fdo, IOCTL_VYRTC_QUERY_READINESS, {}, 95).status, STATUS_INFO_LENGTH_MISMATCH);
}

} // namespace
