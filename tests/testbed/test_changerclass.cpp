// The changer class driver stand-in (vyrcg2k16) on the testbed: one changer model reached through
// ports 1 and 2, each path with the stand-in's FDO on top. Kernel requests are sent as the filter
// and the bus send them, the bus's with a ScsiStatus block in a StatusStructTable the test owns;
// applications open the paths as \\.\VyrChangerPath<N>.
#include "hk/host.h"
#include "kernel_fixture.h"
#include "machine/testbed.h"
#include "vyr/fabricctl.h"

#include "../../sim/changerclass/cgioctl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using vyr::sim::Fabric;

// The private codes written out as the interface defines them.
constexpr ULONG IOC_GET_SERIAL_NUMBER = 0x84c9c008, IOC_GET_SCSI_ADDRESS = 0x84c9c00c,
                IOC_SET_STATUS_TABLE = 0x84c9c014, IOC_GET_DEVICE_ID_PAGE = 0x84c9c018,
                IOC_GET_STANDARD_INQUIRY = 0x84c9c028;

#pragma pack(push, 1)
struct Block { // ScsiStatus
    UCHAR key[8];
    ULONG blockSize;
    UCHAR zero12[8];
    ULONG residual;
    UCHAR sensePresent, encryption, senseKey, asc, ascq, senseByte2;
    UCHAR rest[66];
};
#pragma pack(pop)
static_assert(sizeof(Block) == 96 && offsetof(Block, sensePresent) == 24);

struct TableBlock {
    struct {
        uint64_t irp, status;
    } slots[63];
    uint64_t occupancy;
    uint8_t reserved[8];
    uint64_t lock, next;
};
static_assert(sizeof(TableBlock) == 1040);

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

CHANGER_ELEMENT Element(ELEMENT_TYPE type, ULONG address) { return CHANGER_ELEMENT{type, address}; }

class ChangerClassTest : public vyr::test::KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        vyr::sim::InstallTestbed(*machine_);
        fabric_ = std::make_unique<Fabric>();
        app_ = hk::Process::Create("app");
        memset(&table_, 0, sizeof table_);
        vyr::sim::Topology topology;
        topology.changerSlots = 6;
        topology.changerDrives = 2;
        topology.changerPortals = 1;
        topology.changerFullSlots = 3;
        FabChangerConfig config = Fabric::ChangerConfig(topology, 0);
        serial_ = config.szSerialNumber;
        ASSERT_EQ(fabric_->AddChanger(config, &changer_), STATUS_SUCCESS);
        for (UCHAR port : {1, 2})
            ASSERT_EQ(fabric_->AddPath(changer_, port, 0, 5, 1, nullptr), STATUS_SUCCESS);
        hk::WaitPnpIdle();
    }
    void TearDown() override
    {
        for (HANDLE h : handles_)
            app_->CloseHandle(h);
        app_.reset();
        fabric_.reset();
        KernelTest::TearDown();
    }

    Reply Control(PDEVICE_OBJECT device, ULONG code, std::vector<UCHAR> in, ULONG outLength, Block *block = nullptr)
    {
        std::vector<UCHAR> buffer(std::max<size_t>(in.size(), outLength) + 1);
        memcpy(buffer.data(), in.data(), in.size());
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        irp->AssociatedIrp.SystemBuffer = buffer.data();
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.DeviceIoControl.InputBufferLength = (ULONG)in.size();
        next->Parameters.DeviceIoControl.OutputBufferLength = outLength;
        if (block) {
            table_.slots[7].irp = (uint64_t)irp;
            table_.slots[7].status = (uint64_t)block;
            table_.occupancy |= 1ull << 7;
        }
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoSetCompletionRoutine(irp, Signal, &done, TRUE, TRUE, TRUE);
        if (IoCallDriver(device, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        Reply r;
        r.status = irp->IoStatus.Status;
        r.info = irp->IoStatus.Information;
        table_.slots[7] = {};
        table_.occupancy = 0;
        IoFreeIrp(irp);
        r.out.assign(buffer.begin(), buffer.begin() + std::min<size_t>(r.info, outLength));
        return r;
    }

    PDEVICE_OBJECT Fdo(UCHAR port)
    {
        for (int n = 0; n < 8; n++) {
            PDEVICE_OBJECT device = NamedDevice(u"\\Device\\VyrChangerPath" + hk::Utf16(std::to_string(n)));
            if (!device)
                continue;
            Reply r = Control(device, IOC_GET_SCSI_ADDRESS, {}, 8);
            if (r.status == STATUS_SUCCESS && r.out[4] == port)
                return device;
        }
        ADD_FAILURE() << "no FDO for port " << (int)port;
        return nullptr;
    }
    void LendTable(PDEVICE_OBJECT device)
    {
        ASSERT_EQ(Control(device, IOC_SET_STATUS_TABLE, Bytes((uint64_t)&table_), 8).status, STATUS_SUCCESS);
    }

    NTSTATUS Move(PDEVICE_OBJECT d, CHANGER_ELEMENT source, CHANGER_ELEMENT target, Block *block = nullptr)
    {
        CHANGER_MOVE_MEDIUM m{};
        m.Transport = Element(ChangerTransport, 0);
        m.Source = source;
        m.Destination = target;
        return Control(d, IOCTL_CHANGER_MOVE_MEDIUM, Bytes(m), 0, block).status;
    }
    std::vector<CHANGER_ELEMENT_STATUS> Status(PDEVICE_OBJECT d, ELEMENT_TYPE type, ULONG first, ULONG count,
                                               bool tags = false, NTSTATUS expected = STATUS_SUCCESS)
    {
        CHANGER_READ_ELEMENT_STATUS request{};
        request.ElementList.Element = Element(type, first);
        request.ElementList.NumberOfElements = count;
        request.VolumeTagInfo = tags;
        Reply r = Control(d, IOCTL_CHANGER_GET_ELEMENT_STATUS, Bytes(request), count * sizeof(CHANGER_ELEMENT_STATUS));
        EXPECT_EQ(r.status, expected);
        EXPECT_EQ(r.info % sizeof(CHANGER_ELEMENT_STATUS), 0u);
        std::vector<CHANGER_ELEMENT_STATUS> v(r.info / sizeof(CHANGER_ELEMENT_STATUS));
        memcpy(v.data(), r.out.data(), r.info);
        return v;
    }
    FabChangerState State()
    {
        FabChangerState s{};
        EXPECT_EQ(fabric_->QueryChanger(changer_, &s), STATUS_SUCCESS);
        return s;
    }
    ULONG Commands(ULONG path)
    {
        std::vector<FabPathEntry> paths;
        EXPECT_EQ(fabric_->QueryTopology(nullptr, &paths), STATUS_SUCCESS);
        return path < paths.size() ? paths[path].CommandsSeen : 0;
    }
    FabFaultRequest Fault(UCHAR kind, ULONG path, UCHAR opcode)
    {
        FabFaultRequest f{};
        f.Scope = FAB_SCOPE_PATH;
        f.Kind = kind;
        f.Form = FAB_FORM_ONE_SHOT;
        f.fOpcodeFilter = 1;
        f.Opcode = opcode;
        f.Index = path;
        return f;
    }

    std::unique_ptr<Fabric> fabric_;
    std::shared_ptr<hk::Process> app_;
    std::vector<HANDLE> handles_;
    TableBlock table_;
    ULONG changer_ = 0;
    std::string serial_;
};

TEST_F(ChangerClassTest, EachChangerPathGetsAChangerDeviceMatchedByTheChangerIds)
{
    std::vector<FabDriveEntry> drives;
    ASSERT_EQ(fabric_->QueryTopology(&drives, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(drives.size(), 1u);
    EXPECT_EQ(drives[0].DeviceKind, FAB_DEVICE_CHANGER);
    FabDriveState tape{};
    EXPECT_EQ(fabric_->QueryDrive(changer_, &tape), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(fabric_->DriveControl(changer_, FAB_DRIVE_UNLOAD, 0), STATUS_INVALID_DEVICE_REQUEST);

    int stacks = 0;
    for (const hk::DevNodeInfo &n : hk::DeviceTree()) {
        if (n.stack.empty() || n.stack.back() != "vyrcg2k16")
            continue;
        stacks++;
        ASSERT_FALSE(n.hardwareIds.empty());
        EXPECT_EQ(n.hardwareIds[0], "SCSI\\ChangerVYR_____VL-3____________0210");
        EXPECT_NE(std::find(n.hardwareIds.begin(), n.hardwareIds.end(), "GenChanger"), n.hardwareIds.end());
    }
    EXPECT_EQ(stacks, 2);
    for (UCHAR port : {1, 2}) {
        PDEVICE_OBJECT fdo = Fdo(port);
        ASSERT_NE(fdo, nullptr);
        EXPECT_EQ(fdo->DeviceType, (DEVICE_TYPE)FILE_DEVICE_CHANGER);
        Reply address = Control(fdo, IOCTL_SCSI_GET_ADDRESS, {}, sizeof(SCSI_ADDRESS));
        ASSERT_EQ(address.status, STATUS_SUCCESS);
        EXPECT_EQ(address.out, (std::vector<UCHAR>{8, 0, 0, 0, port, 0, 5, 1}));
    }
}

TEST_F(ChangerClassTest, IdentityCodesAnswerFromTheChangerAndRefuseShortBuffersUnsent)
{
    PDEVICE_OBJECT fdo = Fdo(2);
    std::vector<UCHAR> serial(32, 0);
    memcpy(serial.data(), serial_.data(), serial_.size());
    struct Case {
        ULONG code, size;
    } cases[] = {{IOC_GET_SERIAL_NUMBER, 32}, {IOC_GET_SCSI_ADDRESS, 8}, {IOC_GET_DEVICE_ID_PAGE, 560},
                 {IOC_GET_STANDARD_INQUIRY, 136}};
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.code);
        Reply r = Control(fdo, c.code, std::vector<UCHAR>(c.size, 0), c.size);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.info, c.size);
        if (c.code == IOC_GET_SERIAL_NUMBER)
            EXPECT_EQ(r.out, serial);
        if (c.code == IOC_GET_STANDARD_INQUIRY)
            EXPECT_EQ(r.out[0] & 0x1F, 0x08);
        if (c.code == IOC_GET_DEVICE_ID_PAGE)
            EXPECT_EQ(r.out[1], 0x83);
        ULONG before = Commands(1);
        EXPECT_EQ(Control(fdo, c.code, std::vector<UCHAR>(c.size - 1, 0), c.size - 1).status, STATUS_INFO_LENGTH_MISMATCH);
        EXPECT_EQ(Commands(1), before);
    }
    // Only kernel callers may lend a table; a read moves nothing and succeeds.
    HANDLE h = app_->CreateFile("\\\\.\\VyrChangerPath0");
    ASSERT_NE(h, hk::INVALID_HANDLE);
    handles_.push_back(h);
    IO_STATUS_BLOCK iosb{};
    uint64_t address = 0x1000;
    EXPECT_EQ(app_->NtDeviceIoControlFile(h, IOC_SET_STATUS_TABLE, &address, 8, &address, 8, &iosb), STATUS_ACCESS_DENIED);
    UCHAR data[16];
    iosb = {};
    EXPECT_EQ(app_->NtReadFile(h, data, sizeof data, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 0u);
}

TEST_F(ChangerClassTest, StandardCodesDescribeAndMoveTheChangerWithElementsCountedFromZero)
{
    PDEVICE_OBJECT fdo = Fdo(1);
    Reply params = Control(fdo, IOCTL_CHANGER_GET_PARAMETERS, {}, sizeof(GET_CHANGER_PARAMETERS));
    ASSERT_EQ(params.status, STATUS_SUCCESS);
    ASSERT_EQ(params.info, sizeof(GET_CHANGER_PARAMETERS));
    GET_CHANGER_PARAMETERS p;
    memcpy(&p, params.out.data(), sizeof p);
    EXPECT_EQ(p.Size, sizeof p);
    EXPECT_EQ(p.NumberTransportElements, 1);
    EXPECT_EQ(p.NumberStorageElements, 6);
    EXPECT_EQ(p.NumberDataTransferElements, 2);
    EXPECT_EQ(p.NumberIEElements, 1);
    EXPECT_EQ(p.MoveFromSlot & CHANGER_TO_DRIVE, CHANGER_TO_DRIVE);
    EXPECT_EQ(Control(fdo, IOCTL_CHANGER_GET_STATUS, {}, 0).status, STATUS_SUCCESS);
    Reply product = Control(fdo, IOCTL_CHANGER_GET_PRODUCT_DATA, {}, sizeof(CHANGER_PRODUCT_DATA));
    ASSERT_EQ(product.status, STATUS_SUCCESS);
    EXPECT_EQ(std::string((const char *)product.out.data() + 28, serial_.size()), serial_);

    ASSERT_EQ(Move(fdo, Element(ChangerSlot, 2), Element(ChangerDrive, 1)), STATUS_SUCCESS);
    EXPECT_EQ(State().DriveElements[1], 3);
    std::vector<CHANGER_ELEMENT_STATUS> drives = Status(fdo, ChangerDrive, 0, 2, true);
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_FALSE(drives[0].Flags & ELEMENT_STATUS_FULL);
    EXPECT_TRUE(drives[1].Flags & ELEMENT_STATUS_FULL);
    EXPECT_EQ(drives[1].Element.ElementType, ChangerDrive);
    EXPECT_EQ(drives[1].Element.ElementAddress, 1u);
    EXPECT_TRUE(drives[1].Flags & ELEMENT_STATUS_SVALID);
    EXPECT_EQ(drives[1].SrcElementAddress.ElementType, ChangerSlot);
    EXPECT_EQ(drives[1].SrcElementAddress.ElementAddress, 2u);
    EXPECT_EQ(std::string((const char *)drives[1].PrimaryVolumeID, 9), "VYR0003L8");

    std::vector<CHANGER_ELEMENT_STATUS> all = Status(fdo, AllElements, 0, 10);
    ASSERT_EQ(all.size(), 10u);
    EXPECT_EQ(all[0].Element.ElementType, ChangerTransport);
    EXPECT_EQ(all[9].Element.ElementType, ChangerSlot);
    EXPECT_EQ(all[9].Element.ElementAddress, 5u);
    CHANGER_INITIALIZE_ELEMENT_STATUS init{};
    init.ElementList.Element = Element(AllElements, 0);
    EXPECT_EQ(Control(fdo, IOCTL_CHANGER_INITIALIZE_ELEMENT_STATUS, Bytes(init), 0).status, STATUS_SUCCESS);
    init.ElementList.Element = Element(ChangerSlot, 4);
    init.ElementList.NumberOfElements = 2;
    EXPECT_EQ(Control(fdo, IOCTL_CHANGER_INITIALIZE_ELEMENT_STATUS, Bytes(init), 0).status, STATUS_SUCCESS);
    init.ElementList.NumberOfElements = 3;
    EXPECT_EQ(Control(fdo, IOCTL_CHANGER_INITIALIZE_ELEMENT_STATUS, Bytes(init), 0).status,
              STATUS_ILLEGAL_ELEMENT_ADDRESS);
}

TEST_F(ChangerClassTest, MovesThatCannotBeMadeFailWithTheChangerStatusAndSenseInTheBlock)
{
    PDEVICE_OBJECT fdo = Fdo(1);
    LendTable(fdo);
    Block block{};
    EXPECT_EQ(Move(fdo, Element(ChangerSlot, 4), Element(ChangerDrive, 0), &block), STATUS_SOURCE_ELEMENT_EMPTY);
    EXPECT_EQ(block.sensePresent, 1);
    EXPECT_EQ(block.senseKey, 0x5);
    EXPECT_EQ(block.asc, 0x3B);
    EXPECT_EQ(block.ascq, 0x0E);
    block = {};
    EXPECT_EQ(Move(fdo, Element(ChangerSlot, 0), Element(ChangerSlot, 1), &block), STATUS_DESTINATION_ELEMENT_FULL);
    EXPECT_EQ(block.ascq, 0x0D);
    // Addresses outside the changer are refused before anything reaches it.
    ULONG before = Commands(0);
    EXPECT_EQ(Move(fdo, Element(ChangerSlot, 6), Element(ChangerDrive, 0)), STATUS_ILLEGAL_ELEMENT_ADDRESS);
    EXPECT_EQ(Move(fdo, Element(ChangerSlot, 0), Element(ChangerDoor, 0)), STATUS_ILLEGAL_ELEMENT_ADDRESS);
    EXPECT_EQ(Commands(0), before + 2); // the layout was read, no MOVE MEDIUM sent
    EXPECT_EQ(State().Moves, 0u);
    // A successful request leaves no sense in its block.
    block = {};
    block.sensePresent = 1;
    EXPECT_EQ(Move(fdo, Element(ChangerSlot, 0), Element(ChangerIEPort, 0), &block), STATUS_SUCCESS);
    EXPECT_EQ(block.sensePresent, 0);
    // An output too small for the elements asked for is refused.
    CHANGER_READ_ELEMENT_STATUS request{};
    request.ElementList.Element = Element(ChangerSlot, 0);
    request.ElementList.NumberOfElements = 3;
    EXPECT_EQ(Control(fdo, IOCTL_CHANGER_GET_ELEMENT_STATUS, Bytes(request), 2 * sizeof(CHANGER_ELEMENT_STATUS)).status,
              STATUS_BUFFER_TOO_SMALL);
    Status(fdo, ChangerSlot, 6, 1, false, STATUS_ILLEGAL_ELEMENT_ADDRESS);
}

TEST_F(ChangerClassTest, PassThroughRunsTheCallersCommandAndReturnsItsSense)
{
    HANDLE h = app_->CreateFile("\\\\.\\VyrChangerPath1");
    ASSERT_NE(h, hk::INVALID_HANDLE);
    handles_.push_back(h);
    struct {
        SCSI_PASS_THROUGH pt;
        UCHAR sense[32];
        UCHAR data[256];
    } request{};
    auto run = [&](std::vector<UCHAR> cdb, ULONG dataLength) {
        memset(&request, 0, sizeof request);
        request.pt.Length = sizeof(SCSI_PASS_THROUGH);
        request.pt.CdbLength = (UCHAR)cdb.size();
        request.pt.SenseInfoLength = sizeof request.sense;
        request.pt.DataIn = dataLength ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_UNSPECIFIED;
        request.pt.DataTransferLength = dataLength;
        request.pt.DataBufferOffset = offsetof(decltype(request), data);
        request.pt.SenseInfoOffset = offsetof(decltype(request), sense);
        memcpy(request.pt.Cdb, cdb.data(), cdb.size());
        IO_STATUS_BLOCK iosb{};
        return app_->NtDeviceIoControlFile(h, IOCTL_SCSI_PASS_THROUGH, &request, sizeof request, &request, sizeof request,
                                           &iosb);
    };
    // The caller hears the changer's power-on news itself: pass-through takes no attention away.
    ASSERT_EQ(run({0x00, 0, 0, 0, 0, 0}, 0), STATUS_SUCCESS);
    EXPECT_EQ(request.pt.ScsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(request.sense[2] & 0x0F, 0x6);
    ASSERT_EQ(run({0xA5, 0, 0, 0, 0x10, 0x00, 0x01, 0x00, 0, 0, 0, 0}, 0), STATUS_SUCCESS);
    EXPECT_EQ(request.pt.ScsiStatus, SCSISTAT_GOOD);
    EXPECT_EQ(State().DriveElements[0], 1);
    ASSERT_EQ(run({0xA5, 0, 0, 0, 0x10, 0x00, 0x01, 0x00, 0, 0, 0, 0}, 0), STATUS_SUCCESS);
    EXPECT_EQ(request.pt.ScsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(request.sense[12], 0x3B);
    EXPECT_EQ(request.sense[13], 0x0E);
    ASSERT_EQ(run({0xB8, 0x04, 0x01, 0x00, 0, 2, 0, 0, 1, 0, 0, 0}, 256), STATUS_SUCCESS);
    EXPECT_EQ(request.pt.ScsiStatus, SCSISTAT_GOOD);
    EXPECT_EQ(request.pt.DataTransferLength, 8u + 8u + 2 * 12u);
    EXPECT_EQ(request.data[16 + 2] & 1, 1); // drive 0 full
    // A data region outside the caller's buffer is refused.
    request.pt.DataBufferOffset = sizeof request;
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(app_->NtDeviceIoControlFile(h, IOCTL_SCSI_PASS_THROUGH, &request, sizeof request, &request, sizeof request,
                                          &iosb),
              STATUS_INVALID_PARAMETER);
}

TEST_F(ChangerClassTest, FaultsOnOnePathLeaveTheOtherPathMoving)
{
    PDEVICE_OBJECT first = Fdo(1), second = Fdo(2);
    LendTable(first);
    // Sense injected on MOVE MEDIUM through path 0: the request fails with the mapped status and
    // the block carries the sense; the changer did not move.
    FabFaultRequest sense = Fault(FAB_FAULT_SENSE, 0, 0xA5);
    sense.SenseKey = 0x4;
    sense.Asc = 0x44;
    ASSERT_EQ(fabric_->AddFault(sense), STATUS_SUCCESS);
    Block block{};
    EXPECT_EQ(Move(first, Element(ChangerSlot, 0), Element(ChangerDrive, 0), &block), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(block.senseKey, 0x4);
    EXPECT_EQ(block.asc, 0x44);
    EXPECT_EQ(State().Moves, 0u);
    // A transport failure is the request's status as it stands.
    FabFaultRequest timeout = Fault(FAB_FAULT_STATUS, 0, 0xA5);
    timeout.Status = STATUS_IO_TIMEOUT;
    ASSERT_EQ(fabric_->AddFault(timeout), STATUS_SUCCESS);
    EXPECT_EQ(Move(first, Element(ChangerSlot, 0), Element(ChangerDrive, 0)), STATUS_IO_TIMEOUT);
    EXPECT_EQ(Move(second, Element(ChangerSlot, 0), Element(ChangerDrive, 0)), STATUS_SUCCESS);

    // A move held on path 0 goes on once released, then the pulled path refuses requests while
    // path 1 keeps moving cartridges.
    FabFaultRequest hold = Fault(FAB_FAULT_HOLD, 0, 0xA5);
    ASSERT_EQ(fabric_->AddFault(hold), STATUS_SUCCESS);
    NTSTATUS held = STATUS_UNSUCCESSFUL;
    std::thread mover([&] { held = Move(first, Element(ChangerSlot, 1), Element(ChangerDrive, 1)); });
    ASSERT_EQ(fabric_->WaitHeld(1), STATUS_SUCCESS);
    EXPECT_EQ(State().DriveElements[1], 0);
    ASSERT_EQ(fabric_->ReleaseHeld(FAB_SCOPE_PATH, 0), STATUS_SUCCESS);
    mover.join();
    EXPECT_EQ(held, STATUS_SUCCESS);
    EXPECT_EQ(State().DriveElements[1], 2);

    ASSERT_EQ(fabric_->PullPath(0), STATUS_SUCCESS);
    hk::WaitPnpIdle();
    EXPECT_EQ(Move(second, Element(ChangerDrive, 0), Element(ChangerSlot, 0)), STATUS_SUCCESS);
    EXPECT_EQ(State().Slots[0], 1);
    // Back again, the path's first request takes the changer's news of the lost nexus itself.
    ASSERT_EQ(fabric_->RestorePath(0), STATUS_SUCCESS);
    hk::WaitPnpIdle();
    EXPECT_EQ(Move(Fdo(1), Element(ChangerSlot, 0), Element(ChangerDrive, 0)), STATUS_SUCCESS);
}

} // namespace
