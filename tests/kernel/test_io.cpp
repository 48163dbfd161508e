// The I/O manager as the drivers rely on it: IRP stack locations, completion through a real device
// stack (a bus driver's PDO, a function driver, an upper filter), pending and cancel, what a
// user-mode caller's buffers become for each transfer method, names and device objects.
#include "kernel_fixture.h"

#include "drivers/hk_test_abi.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using ::testing::ElementsAre;
using vyr::test::KernelTest;
using vyr::test::Unicode;

constexpr CSHORT kIoTypeIrp = 6;
constexpr uint8_t kUntouched = 0xEE;

std::vector<HkEvent> Events(const HkPlan &plan)
{
    LONG n = plan.eventCount < (LONG)kHkMaxEvents ? plan.eventCount : (LONG)kHkMaxEvents;
    return std::vector<HkEvent>(plan.events, plan.events + n);
}

const HkEvent *FindEvent(const HkPlan &plan, ULONG kind, ULONG layer)
{
    for (LONG i = 0; i < plan.eventCount && i < (LONG)kHkMaxEvents; i++)
        if (plan.events[i].kind == kind && plan.events[i].layer == layer)
            return &plan.events[i];
    return nullptr;
}

NTSTATUS Wait(PVOID object)
{
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
}

// A request the test itself sends, as a driver that allocates its own IRP would: its completion
// routine on the top location records as layer 0, keeps the IRP and signals `done`.
struct OwnRequest {
    HkPlan plan;
    KEVENT done;
    PIRP irp = nullptr;
    IO_STATUS_BLOCK final{};

    OwnRequest()
    {
        HkPlanInit(&plan);
        KeInitializeEvent(&done, NotificationEvent, FALSE);
    }
    ~OwnRequest()
    {
        // Only an IRP back with its owner may be freed (a failed test may leave one held below).
        if (irp && irp->CurrentLocation > irp->StackCount)
            IoFreeIrp(irp);
    }

    static NTSTATUS NTAPI Completed(PDEVICE_OBJECT device, PIRP irp, PVOID context)
    {
        auto *self = static_cast<OwnRequest *>(context);
        if (HkEvent *e = HkRecord(&self->plan, HkRoutineRan, 0)) {
            e->device = device;
            e->currentLocation = irp->CurrentLocation;
            e->pendingReturned = irp->PendingReturned;
            e->cancel = irp->Cancel;
            e->status = irp->IoStatus.Status;
        }
        self->final = irp->IoStatus;
        KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PIRP Build(CCHAR stackSize)
    {
        irp = IoAllocateIrp(stackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_HK_PLAN;
        next->Parameters.DeviceIoControl.Type3InputBuffer = &plan;
        IoSetCompletionRoutine(irp, Completed, this, TRUE, TRUE, TRUE);
        return irp;
    }

    // Sends the IRP to `device` and waits for it to come back to the test.
    NTSTATUS SendAndWait(PDEVICE_OBJECT device)
    {
        NTSTATUS status = IoCallDriver(device, irp);
        Wait(&done);
        return status;
    }

    bool Done() { return KeReadStateEvent(&done) != 0; }
};

// ---------------------------------------------------------------------------------------------
// IRP allocation
// ---------------------------------------------------------------------------------------------

TEST_F(KernelTest, AllocatedIrpHasEveryLocationStillAhead)
{
    for (CCHAR stackSize : {1, 2, 5, 12}) {
        SCOPED_TRACE("stack size " + std::to_string(stackSize));
        size_t before = hk::OutstandingIrpCount();
        PIRP irp = IoAllocateIrp(stackSize, FALSE);
        ASSERT_NE(irp, nullptr);
        auto *first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
        EXPECT_EQ(irp->Type, kIoTypeIrp);
        EXPECT_EQ(irp->Size, IoSizeOfIrp(stackSize));
        EXPECT_EQ(irp->StackCount, stackSize);
        EXPECT_EQ(irp->CurrentLocation, stackSize + 1);
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp), first + stackSize);
        EXPECT_EQ(IoGetNextIrpStackLocation(irp), first + stackSize - 1);
        EXPECT_FALSE(irp->Cancel);
        EXPECT_FALSE(irp->PendingReturned);
        EXPECT_EQ(irp->CancelRoutine, nullptr);
        EXPECT_EQ(irp->MdlAddress, nullptr);
        EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
        EXPECT_TRUE(IsListEmpty(&irp->ThreadListEntry));
        EXPECT_EQ(hk::OutstandingIrpCount(), before + 1);
        IoFreeIrp(irp);
        EXPECT_EQ(hk::OutstandingIrpCount(), before);
    }
}

// ---------------------------------------------------------------------------------------------
// A three-deep stack: hk_bus's child PDO, hk_fdo (function driver), hk_flt (upper filter)
// ---------------------------------------------------------------------------------------------

class IoStackTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        InstallDriver("hk_bus");
        InstallDriver("hk_fdo", "hk_layer");
        InstallDriver("hk_flt", "hk_layer");
        InstallChildDevice("HK\\Child\\0", "hk_fdo", {"hk_flt"});
        hk::DevNode *busNode = AddRootDevice("root\\hk_bus", "hk_bus");
        ASSERT_NE(busNode, nullptr);
        ASSERT_EQ(hk::LoadDriver("hk_bus"), STATUS_SUCCESS);
        auto *bus = Export<HkDriverConfig>("hk_bus", "HkConfig");
        ASSERT_NE(bus, nullptr);
        bus->childCount = 1;
        ASSERT_EQ(hk::StartDevice(busNode), STATUS_SUCCESS);
        child_ = hk::FindDevNode("HK\\Child\\0");
        ASSERT_NE(child_, nullptr);
        ASSERT_EQ(hk::NodeState(child_), hk::DevNodeState::Started);
        pdo_ = hk::NodePdo(child_);
        fdo_ = pdo_->AttachedDevice;
        ASSERT_NE(fdo_, nullptr);
        flt_ = fdo_->AttachedDevice;
        ASSERT_NE(flt_, nullptr);
        ASSERT_EQ(flt_->AttachedDevice, nullptr);
    }

    hk::DevNode *child_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr, fdo_ = nullptr, flt_ = nullptr;
};

TEST_F(IoStackTest, StackSizesGrowByOneForEachAttachedDevice)
{
    EXPECT_EQ(pdo_->StackSize, 1);
    EXPECT_EQ(fdo_->StackSize, 2);
    EXPECT_EQ(flt_->StackSize, 3);
    EXPECT_EQ(IoGetAttachedDevice(pdo_), flt_);
}

TEST_F(IoStackTest, EachCallLowersTheLocationAndEachRoutineRunsOnTheWayBackUp)
{
    OwnRequest r;
    r.plan.layers[3].action = HkForward;
    r.plan.layers[3].invokeOnSuccess = r.plan.layers[3].invokeOnError = r.plan.layers[3].invokeOnCancel = TRUE;
    r.plan.layers[2].action = HkForward;
    r.plan.layers[2].invokeOnSuccess = r.plan.layers[2].invokeOnError = r.plan.layers[2].invokeOnCancel = TRUE;
    r.plan.layers[1].action = HkComplete;
    r.plan.layers[1].status = STATUS_SUCCESS;
    r.plan.layers[1].information = 3;
    r.Build(flt_->StackSize);

    EXPECT_EQ(r.SendAndWait(flt_), STATUS_SUCCESS);

    struct Expected {
        ULONG kind, layer;
        PDEVICE_OBJECT device;
        CHAR location;
    };
    // A routine gets the device of the driver that set it -- the location above the one that
    // completed -- and the initiator, who owns no location, gets NULL.
    const Expected expected[] = {
        {HkDispatched, 3, flt_, 3}, {HkDispatched, 2, fdo_, 2}, {HkDispatched, 1, pdo_, 1},
        {HkRoutineRan, 2, fdo_, 2}, {HkRoutineRan, 3, flt_, 3}, {HkRoutineRan, 0, nullptr, 4},
    };
    std::vector<HkEvent> events = Events(r.plan);
    ASSERT_EQ(events.size(), std::size(expected));
    for (size_t i = 0; i < events.size(); i++) {
        SCOPED_TRACE("event " + std::to_string(i));
        EXPECT_EQ(events[i].kind, expected[i].kind);
        EXPECT_EQ(events[i].layer, expected[i].layer);
        EXPECT_EQ(events[i].device, expected[i].device);
        EXPECT_EQ(events[i].currentLocation, expected[i].location);
    }
    EXPECT_EQ(r.final.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.final.Information, 3u);

    // Reused, the IRP starts over with every location ahead and the status given.
    IoReuseIrp(r.irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r.irp->CurrentLocation, r.irp->StackCount + 1);
    EXPECT_EQ(r.irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_FALSE(r.irp->PendingReturned);
}

TEST_F(IoStackTest, CompletionRoutineRunsOnlyWhenItsInvokeFlagsMatchTheOutcome)
{
    enum : int { S = 1, E = 2, C = 4 };
    struct Case {
        NTSTATUS status;
        int flags;
        bool cancelled;
        bool invoked;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, S, false, true},
        {STATUS_SUCCESS, E, false, false},
        {STATUS_SUCCESS, C, false, false},
        {STATUS_SUCCESS, C, true, true},
        {STATUS_SUCCESS, E, true, false},
        {STATUS_SUCCESS, 0, true, false},
        {STATUS_OBJECT_NAME_EXISTS, S, false, true}, // informational is success
        {STATUS_BUFFER_OVERFLOW, S, false, false},   // a warning is not
        {STATUS_BUFFER_OVERFLOW, E, false, true},
        {STATUS_IO_DEVICE_ERROR, E, false, true},
        {STATUS_IO_DEVICE_ERROR, S, false, false},
        {STATUS_IO_DEVICE_ERROR, S | C, true, true},
        {STATUS_CANCELLED, S, true, false},
        {STATUS_CANCELLED, C, true, true},
        {STATUS_CANCELLED, E, false, true},
        {STATUS_CANCELLED, S | E | C, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "status 0x" << std::hex << (ULONG)c.status << " flags " << c.flags
                                          << (c.cancelled ? " cancelled" : ""));
        OwnRequest r;
        HkLayerPlan &filter = r.plan.layers[3];
        filter.action = HkForward;
        filter.invokeOnSuccess = (c.flags & S) != 0;
        filter.invokeOnError = (c.flags & E) != 0;
        filter.invokeOnCancel = (c.flags & C) != 0;
        r.plan.layers[2].action = HkSkip;
        r.plan.layers[1].action = HkComplete;
        r.plan.layers[1].status = c.status;
        r.Build(flt_->StackSize);
        if (c.cancelled) {
            // Nobody holds it yet and it has no cancel routine: the flag is all a cancel does.
            EXPECT_FALSE(IoCancelIrp(r.irp));
            EXPECT_TRUE(r.irp->Cancel);
        }

        EXPECT_EQ(r.SendAndWait(flt_), c.status);

        const HkEvent *routine = FindEvent(r.plan, HkRoutineRan, 3);
        EXPECT_EQ(routine != nullptr, c.invoked);
        if (routine) {
            EXPECT_EQ(routine->status, c.status);
            EXPECT_EQ(routine->cancel, c.cancelled);
        }
        // Whether or not the filter's routine ran, completion went on to the top.
        EXPECT_EQ(r.final.Status, c.status);
        EXPECT_NE(FindEvent(r.plan, HkRoutineRan, 0), nullptr);
    }
}

TEST_F(IoStackTest, MoreProcessingRequiredStopsCompletionUntilTheHolderCompletesAgain)
{
    OwnRequest r;
    r.plan.layers[3].action = HkForward;
    r.plan.layers[3].invokeOnSuccess = TRUE;
    r.plan.layers[3].routineStops = TRUE;
    r.plan.layers[2].action = HkForward;
    r.plan.layers[2].invokeOnSuccess = TRUE;
    r.plan.layers[1].action = HkComplete;
    r.plan.layers[1].information = 5;
    r.Build(flt_->StackSize);

    EXPECT_EQ(IoCallDriver(flt_, r.irp), STATUS_SUCCESS);

    // Stopped in the filter's routine: the filter's location is current again, the initiator's
    // routine has not run.
    EXPECT_FALSE(r.Done());
    ASSERT_EQ(r.plan.held, r.irp);
    EXPECT_EQ(r.irp->CurrentLocation, 3);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(r.irp)->DeviceObject, flt_);
    EXPECT_EQ(FindEvent(r.plan, HkRoutineRan, 0), nullptr);
    LONG eventsBefore = r.plan.eventCount;

    // The filter finishes its work and completes the request again.
    r.irp->IoStatus.Information = 9;
    IoCompleteRequest(r.irp, IO_NO_INCREMENT);

    ASSERT_TRUE(r.Done());
    std::vector<HkEvent> events = Events(r.plan);
    ASSERT_EQ(events.size(), (size_t)eventsBefore + 1); // only the initiator's routine ran again
    EXPECT_EQ(events.back().kind, HkRoutineRan);
    EXPECT_EQ(events.back().layer, 0u);
    EXPECT_EQ(events.back().device, nullptr);
    EXPECT_EQ(r.final.Information, 9u);
}

// The function driver waits for a request of its own that the bus driver's worker thread completes;
// its routine wakes it and is still running code of its image when the device is removed and the
// driver unloaded at once. The image must stay mapped until the routine has returned: the worker
// would otherwise come back into unmapped code and the process would die.
TEST_F(IoStackTest, DriverUnloadedAsItsRoutineReturnsKeepsItsImageUntilTheRoutineHasReturned)
{
    OwnRequest r;
    r.plan.layers[2].action = HkSendOwn;
    r.plan.layers[2].routineLingers = TRUE;
    r.plan.layers[1].action = HkPend;
    r.plan.layers[1].status = STATUS_END_OF_MEDIA;
    r.plan.layers[1].information = 7;
    r.Build(flt_->StackSize);

    EXPECT_EQ(IoCallDriver(flt_, r.irp), STATUS_END_OF_MEDIA);
    ASSERT_TRUE(r.Done());
    EXPECT_EQ(r.final.Status, STATUS_END_OF_MEDIA);
    EXPECT_EQ(r.final.Information, 7u);

    ASSERT_EQ(hk::RemoveDevice(child_), STATUS_SUCCESS);
    EXPECT_EQ(hk::FindDriver("hk_fdo"), nullptr);
    EXPECT_EQ(hk::FindDriver("hk_flt"), nullptr);
}

TEST_F(IoStackTest, PendingReturnedTravelsUpOnlyWhereRoutinesPassItOn)
{
    struct Case {
        const char *name;
        ULONG filterAction, functionAction;
        bool filterPropagates, functionPropagates;
        bool filterRoutineSees, initiatorSees;
    };
    const Case cases[] = {
        {"no routines", HkSkip, HkSkip, false, false, false, true},
        // Where a location has no routine, the I/O manager marks the location above pending itself.
        {"filter copies without a routine", HkCopy, HkSkip, false, false, false, true},
        {"function driver copies without a routine", HkForward, HkCopy, false, false, true, false},
        {"function driver copies, filter routine propagates", HkForward, HkCopy, true, false, true, true},
        {"filter routine propagates", HkForward, HkSkip, true, false, true, true},
        {"filter routine forgets", HkForward, HkSkip, false, false, true, false},
        {"function driver's routine propagates", HkSkip, HkForward, false, true, false, true},
        {"both routines propagate", HkForward, HkForward, true, true, true, true},
        {"lower routine forgets", HkForward, HkForward, true, false, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        OwnRequest r;
        r.plan.layers[3].action = c.filterAction;
        r.plan.layers[3].invokeOnSuccess = TRUE;
        r.plan.layers[3].propagatePending = c.filterPropagates;
        r.plan.layers[2].action = c.functionAction;
        r.plan.layers[2].invokeOnSuccess = TRUE;
        r.plan.layers[2].propagatePending = c.functionPropagates;
        r.plan.layers[1].action = HkPend; // completed later by hk_bus's worker thread
        r.plan.layers[1].information = 2;
        r.Build(flt_->StackSize);

        EXPECT_EQ(r.SendAndWait(flt_), STATUS_PENDING);

        EXPECT_EQ(r.final.Status, STATUS_SUCCESS);
        EXPECT_EQ(r.final.Information, 2u);
        if (c.filterAction == HkForward) {
            const HkEvent *filter = FindEvent(r.plan, HkRoutineRan, 3);
            ASSERT_NE(filter, nullptr);
            EXPECT_EQ(filter->pendingReturned, c.filterRoutineSees);
        }
        const HkEvent *initiator = FindEvent(r.plan, HkRoutineRan, 0);
        ASSERT_NE(initiator, nullptr);
        EXPECT_EQ(initiator->pendingReturned, c.initiatorSees);
    }
}

TEST_F(IoStackTest, CancelRunsTheCancelRoutineUnderTheCancelLock)
{
    OwnRequest r;
    r.plan.layers[3].action = HkForward;
    r.plan.layers[3].invokeOnCancel = TRUE; // only on cancel
    r.plan.layers[2].action = HkSkip;
    r.plan.layers[1].action = HkHoldCancelable;
    r.Build(flt_->StackSize);

    EXPECT_EQ(IoCallDriver(flt_, r.irp), STATUS_PENDING);
    Wait(&r.plan.heldEvent);
    ASSERT_EQ(r.plan.held, r.irp);
    EXPECT_NE(r.irp->CancelRoutine, nullptr);

    EXPECT_TRUE(IoCancelIrp(r.irp));

    ASSERT_TRUE(r.Done());
    const HkEvent *cancel = FindEvent(r.plan, HkCancelRan, 1);
    ASSERT_NE(cancel, nullptr);
    EXPECT_EQ(cancel->device, pdo_);
    EXPECT_EQ(cancel->irql, DISPATCH_LEVEL);
    EXPECT_EQ(cancel->irqlAfterRelease, PASSIVE_LEVEL);
    EXPECT_TRUE(cancel->cancelRoutineCleared);
    EXPECT_TRUE(cancel->cancel);
    const HkEvent *filter = FindEvent(r.plan, HkRoutineRan, 3);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(filter->status, STATUS_CANCELLED);
    EXPECT_TRUE(filter->cancel);
    EXPECT_EQ(r.final.Status, STATUS_CANCELLED);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    // The routine was taken by the first cancel; a second finds none.
    EXPECT_FALSE(IoCancelIrp(r.irp));
}

TEST_F(IoStackTest, CancelWithoutACancelRoutineOnlyFlagsTheRequest)
{
    OwnRequest r;
    r.plan.layers[3].action = HkSkip;
    r.plan.layers[2].action = HkSkip;
    r.plan.layers[1].action = HkHold;
    r.Build(flt_->StackSize);

    EXPECT_EQ(IoCallDriver(flt_, r.irp), STATUS_PENDING);
    Wait(&r.plan.heldEvent);

    EXPECT_FALSE(IoCancelIrp(r.irp));
    EXPECT_TRUE(r.irp->Cancel);
    EXPECT_FALSE(r.Done()); // still the holder's

    r.irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(r.irp, IO_NO_INCREMENT);
    ASSERT_TRUE(r.Done());
    const HkEvent *initiator = FindEvent(r.plan, HkRoutineRan, 0);
    ASSERT_NE(initiator, nullptr);
    EXPECT_TRUE(initiator->cancel);
    EXPECT_TRUE(initiator->pendingReturned);
    EXPECT_EQ(r.final.Status, STATUS_CANCELLED);
}

TEST_F(IoStackTest, ProcessRequestThroughTheStackReturnsTheFinalStatus)
{
    vyr::test::BugCheckRecorder reports; // a wrongly propagated pending state would be reported here
    UNICODE_STRING link = Unicode(u"\\??\\HkStack");
    UNICODE_STRING target = Unicode(u"\\Device\\HkChild0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    auto process = hk::Process::Create("app");
    HANDLE h = process->CreateFile("\\\\.\\HkStack");
    ASSERT_NE(h, hk::INVALID_HANDLE);

    for (NTSTATUS final : {STATUS_SUCCESS, STATUS_IO_DEVICE_ERROR}) {
        SCOPED_TRACE(::testing::Message() << "final status 0x" << std::hex << (ULONG)final);
        HkPlan plan;
        HkPlanInit(&plan);
        plan.layers[3].action = HkForward;
        plan.layers[3].invokeOnSuccess = plan.layers[3].invokeOnError = TRUE;
        plan.layers[3].propagatePending = TRUE;
        plan.layers[2].action = HkSkip;
        plan.layers[1].action = HkPend;
        plan.layers[1].status = final;

        IO_STATUS_BLOCK iosb{};
        EXPECT_EQ(process->NtDeviceIoControlFile(h, IOCTL_HK_PLAN, &plan, sizeof plan, nullptr, 0, &iosb), final);
        EXPECT_EQ(iosb.Status, final);
        const HkEvent *filter = FindEvent(plan, HkRoutineRan, 3);
        ASSERT_NE(filter, nullptr);
        EXPECT_TRUE(filter->pendingReturned);
    }
    EXPECT_TRUE(process->CloseHandle(h));
    IoDeleteSymbolicLink(&link);
    EXPECT_EQ(reports.Count(), 0u);
}

TEST_F(IoStackTest, DeviceObjectPointerOfAStackedDeviceIsTheTopOfItsStack)
{
    UNICODE_STRING name = Unicode(u"\\Device\\HkChild0");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &device), STATUS_SUCCESS);
    EXPECT_EQ(device, flt_);
    EXPECT_EQ(file->DeviceObject, pdo_);
    ObDereferenceObject(file);
}

// ---------------------------------------------------------------------------------------------
// hk_io: a user-mode caller's buffers for each transfer method
// ---------------------------------------------------------------------------------------------

class IoDeviceTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        InstallDriver("hk_io");
        ASSERT_EQ(hk::LoadDriver("hk_io"), STATUS_SUCCESS);
        process_ = hk::Process::Create("app");
    }

    void TearDown() override
    {
        process_.reset();
        KernelTest::TearDown();
    }

    static HkIoState *State(const std::u16string &name)
    {
        PDEVICE_OBJECT device = NamedDevice(name);
        return device ? static_cast<HkIoState *>(device->DeviceExtension) : nullptr;
    }

    std::shared_ptr<hk::Process> process_;
};

template <size_t N>
size_t CountPrefix(const std::array<uint8_t, N> &buffer, uint8_t value)
{
    size_t n = 0;
    while (n < N && buffer[n] == value)
        n++;
    return n;
}

TEST_F(IoDeviceTest, BufferedControlCopiesBackWhatInformationCountsUnlessTheStatusIsAnError)
{
    struct Case {
        const char *name;
        NTSTATUS status;
        ULONG information;
        bool win32Result;
        ULONG lastError;
        size_t copied;
    };
    constexpr ULONG kOut = 8;
    const Case cases[] = {
        {"success, part of the buffer", STATUS_SUCCESS, 4, true, 0, 4},
        {"success, nothing", STATUS_SUCCESS, 0, true, 0, 0},
        {"success, all of it", STATUS_SUCCESS, kOut, true, 0, kOut},
        {"informational", STATUS_OBJECT_NAME_EXISTS, 6, true, 183, 6},
        {"warning, all of it", STATUS_BUFFER_OVERFLOW, kOut, false, 234, kOut},
        {"warning, part", STATUS_BUFFER_OVERFLOW, 3, false, 234, 3},
        {"error", STATUS_INVALID_PARAMETER, kOut, false, 87, 0},
        {"device error", STATUS_IO_DEVICE_ERROR, 4, false, 1117, 0},
    };
    HANDLE h = process_->CreateFile("\\\\.\\HkBuffered");
    ASSERT_NE(h, hk::INVALID_HANDLE);
    HkIoState *state = State(u"\\Device\\HkBuffered");
    ASSERT_NE(state, nullptr);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HkReply reply{c.status, c.information, 0x5A};
        std::array<uint8_t, kOut + 8> out;
        out.fill(kUntouched);
        ULONG returned = 0xDEAD;

        bool ok = process_->DeviceIoControl(h, IOCTL_HK_BUFFERED, &reply, sizeof reply, out.data(), kOut, &returned);

        EXPECT_EQ(ok, c.win32Result);
        if (!ok)
            EXPECT_EQ(process_->GetLastError(), c.lastError);
        EXPECT_EQ(process_->LastStatus(), c.status);
        EXPECT_EQ(CountPrefix(out, 0x5A), c.copied);
        EXPECT_TRUE(std::all_of(out.begin() + c.copied, out.end(), [](uint8_t b) { return b == kUntouched; }));
        if (!NT_ERROR(c.status))
            EXPECT_EQ(returned, c.information);
        // The driver had a system buffer holding a copy of the input, never the caller's memory.
        const HkRequestSeen &seen = state->last;
        EXPECT_NE(seen.systemBuffer, nullptr);
        EXPECT_NE(seen.systemBuffer, (PVOID)&reply);
        EXPECT_NE(seen.systemBuffer, (PVOID)out.data());
        EXPECT_EQ(memcmp(seen.data, &reply, sizeof reply), 0);
        EXPECT_EQ(seen.inputLength, sizeof reply);
        EXPECT_EQ(seen.outputLength, kOut);
        EXPECT_EQ(seen.mdlVirtualAddress, nullptr);
        EXPECT_EQ(seen.requestorMode, UserMode);
    }
    EXPECT_TRUE(process_->CloseHandle(h));
}

TEST_F(IoDeviceTest, NeitherAndDirectMethodsHandTheDriverTheCallersMemory)
{
    HANDLE h = process_->CreateFile("\\\\.\\HkNeither");
    ASSERT_NE(h, hk::INVALID_HANDLE);
    HkIoState *state = State(u"\\Device\\HkNeither");
    ASSERT_NE(state, nullptr);
    const HkRequestSeen &seen = state->last;
    constexpr ULONG kOut = 8;
    HkReply reply{STATUS_SUCCESS, 2, 0x33};

    {
        SCOPED_TRACE("METHOD_NEITHER");
        std::array<uint8_t, kOut + 8> out;
        out.fill(kUntouched);
        ULONG returned = 0;
        ASSERT_TRUE(process_->DeviceIoControl(h, IOCTL_HK_NEITHER, &reply, sizeof reply, out.data(), kOut, &returned));
        EXPECT_EQ(seen.type3InputBuffer, (PVOID)&reply);
        EXPECT_EQ(seen.userBuffer, (PVOID)out.data());
        EXPECT_EQ(seen.systemBuffer, nullptr);
        EXPECT_EQ(seen.mdlVirtualAddress, nullptr);
        // The driver wrote the caller's buffer itself: all of it, whatever Information says.
        EXPECT_EQ(CountPrefix(out, 0x33), kOut);
        EXPECT_EQ(returned, 2u);
    }
    {
        SCOPED_TRACE("METHOD_OUT_DIRECT");
        std::array<uint8_t, kOut + 8> out;
        out.fill(kUntouched);
        ULONG returned = 0;
        ASSERT_TRUE(process_->DeviceIoControl(h, IOCTL_HK_OUT_DIRECT, &reply, sizeof reply, out.data(), kOut, &returned));
        EXPECT_NE(seen.systemBuffer, nullptr); // the input, copied
        EXPECT_NE(seen.systemBuffer, (PVOID)&reply);
        EXPECT_EQ(memcmp(seen.data, &reply, sizeof reply), 0);
        EXPECT_EQ(seen.mdlVirtualAddress, (PVOID)out.data());
        EXPECT_EQ(seen.mdlByteCount, kOut);
        EXPECT_EQ(CountPrefix(out, 0x33), kOut);
        EXPECT_EQ(returned, 2u);
    }
    {
        SCOPED_TRACE("METHOD_IN_DIRECT");
        std::array<uint8_t, kOut> data = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
        ASSERT_TRUE(process_->DeviceIoControl(h, IOCTL_HK_IN_DIRECT, &reply, sizeof reply, data.data(), kOut, nullptr));
        EXPECT_EQ(seen.mdlVirtualAddress, (PVOID)data.data());
        EXPECT_EQ(memcmp(seen.data, "abcdefgh", kOut), 0);
    }
    {
        SCOPED_TRACE("direct buffer at an address no process can have");
        LONG requests = state->requests;
        EXPECT_FALSE(process_->DeviceIoControl(h, IOCTL_HK_OUT_DIRECT, &reply, sizeof reply, (void *)0x10, kOut, nullptr));
        EXPECT_EQ(process_->LastStatus(), STATUS_ACCESS_VIOLATION);
        EXPECT_EQ(state->requests, requests); // the request never reached the driver
    }
    EXPECT_TRUE(process_->CloseHandle(h));
}

TEST_F(IoDeviceTest, ReadsAndWritesFollowTheDevicesBufferingMethod)
{
    enum class Method { Buffered, Direct, Neither };
    struct Case {
        const char *win32Name;
        std::u16string deviceName;
        Method method;
    };
    const Case cases[] = {
        {"\\\\.\\HkBuffered", u"\\Device\\HkBuffered", Method::Buffered},
        {"\\\\.\\HkDirect", u"\\Device\\HkDirect", Method::Direct},
        {"\\\\.\\HkNeither", u"\\Device\\HkNeither", Method::Neither},
    };
    const char text[] = "0123456789";
    constexpr ULONG kText = sizeof text - 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.win32Name);
        HANDLE h = process_->CreateFile(c.win32Name);
        ASSERT_NE(h, hk::INVALID_HANDLE);
        HkIoState *state = State(c.deviceName);
        ASSERT_NE(state, nullptr);
        const HkRequestSeen &seen = state->last;

        ULONG written = 0;
        ASSERT_TRUE(process_->WriteFile(h, text, kText, &written));
        EXPECT_EQ(written, kText);
        EXPECT_EQ(memcmp(seen.data, text, kText), 0);
        EXPECT_EQ(seen.outputLength, kText);
        EXPECT_EQ(seen.byteOffset, 0);
        EXPECT_EQ(seen.requestorMode, UserMode);
        switch (c.method) {
        case Method::Buffered:
            EXPECT_NE(seen.systemBuffer, nullptr);
            EXPECT_NE(seen.systemBuffer, (PVOID)text);
            EXPECT_EQ(seen.mdlVirtualAddress, nullptr);
            break;
        case Method::Direct:
            EXPECT_EQ(seen.systemBuffer, nullptr);
            EXPECT_EQ(seen.mdlVirtualAddress, (PVOID)text);
            EXPECT_EQ(seen.mdlByteCount, kText);
            break;
        case Method::Neither:
            EXPECT_EQ(seen.systemBuffer, nullptr);
            EXPECT_EQ(seen.mdlVirtualAddress, nullptr);
            EXPECT_EQ(seen.userBuffer, (PVOID)text);
            break;
        }

        std::array<uint8_t, 32> in;
        in.fill(kUntouched);
        ULONG read = 0;
        ASSERT_TRUE(process_->ReadFile(h, in.data(), (ULONG)in.size(), &read));
        EXPECT_EQ(read, kText);
        EXPECT_EQ(memcmp(in.data(), text, kText), 0);
        EXPECT_TRUE(std::all_of(in.begin() + kText, in.end(), [](uint8_t b) { return b == kUntouched; }));
        EXPECT_EQ(seen.byteOffset, (LONGLONG)kText); // the file position moved past the write
        EXPECT_EQ(seen.outputLength, in.size());
        if (c.method == Method::Direct)
            EXPECT_EQ(seen.mdlVirtualAddress, (PVOID)in.data());
        EXPECT_TRUE(process_->CloseHandle(h));
    }
}

TEST_F(IoDeviceTest, RequestorModeAndBitnessFollowWhoAsked)
{
    HkIoState *state = State(u"\\Device\\HkBuffered");
    ASSERT_NE(state, nullptr);
    HkReply reply{STATUS_SUCCESS, 4, 0x77};

    for (bool is32bit : {false, true}) {
        SCOPED_TRACE(is32bit ? "32-bit process" : "64-bit process");
        auto process = hk::Process::Create(is32bit ? "app32" : "app64", is32bit);
        HANDLE h = process->CreateFile("\\\\.\\HkBuffered");
        ASSERT_NE(h, hk::INVALID_HANDLE);
        std::array<uint8_t, 8> out{};
        ASSERT_TRUE(process->DeviceIoControl(h, IOCTL_HK_BUFFERED, &reply, sizeof reply, out.data(), 8, nullptr));
        EXPECT_EQ(state->last.requestorMode, UserMode);
        EXPECT_EQ(state->last.is32bit, is32bit);
        EXPECT_TRUE(process->CloseHandle(h));
    }

    SCOPED_TRACE("kernel caller");
    PDEVICE_OBJECT device = NamedDevice(u"\\Device\\HkBuffered");
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    std::array<uint8_t, 8 + 8> out;
    out.fill(kUntouched);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_HK_BUFFERED, device, &reply, sizeof reply, out.data(), 8, FALSE,
                                             &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->RequestorMode, KernelMode);
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING)
        Wait(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(CountPrefix(out, 0x77), 4u);
    EXPECT_EQ(state->last.requestorMode, KernelMode);
    EXPECT_FALSE(state->last.is32bit);
}

TEST_F(IoDeviceTest, PendedRequestOfAProcessReturnsItsFinalStatus)
{
    HANDLE h = process_->CreateFile("\\\\.\\HkBuffered");
    ASSERT_NE(h, hk::INVALID_HANDLE);
    for (NTSTATUS final : {STATUS_SUCCESS, STATUS_IO_DEVICE_ERROR, STATUS_END_OF_MEDIA}) {
        SCOPED_TRACE(::testing::Message() << "final status 0x" << std::hex << (ULONG)final);
        HkPlan plan;
        HkPlanInit(&plan);
        plan.layers[1].action = HkPend; // hk_io's worker thread completes it
        plan.layers[1].status = final;
        plan.layers[1].information = 1;
        IO_STATUS_BLOCK iosb{};
        EXPECT_EQ(process_->NtDeviceIoControlFile(h, IOCTL_HK_PLAN, &plan, sizeof plan, nullptr, 0, &iosb), final);
        EXPECT_EQ(iosb.Status, final);
        EXPECT_EQ(iosb.Information, 1u);
        EXPECT_EQ(process_->DeviceIoControl(h, IOCTL_HK_PLAN, &plan, sizeof plan, nullptr, 0, nullptr), NT_SUCCESS(final));
    }
    EXPECT_TRUE(process_->CloseHandle(h));
}

TEST_F(IoDeviceTest, CancellingAProcessRequestEndsTheCallWithOperationAborted)
{
    HANDLE h = process_->CreateFile("\\\\.\\HkBuffered");
    ASSERT_NE(h, hk::INVALID_HANDLE);
    HkPlan plan;
    HkPlanInit(&plan);
    plan.layers[1].action = HkHoldCancelable;
    bool ok = true;
    std::thread caller([&] { ok = process_->DeviceIoControl(h, IOCTL_HK_PLAN, &plan, sizeof plan, nullptr, 0, nullptr); });
    Wait(&plan.heldEvent);
    PIRP held = plan.held;
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->RequestorMode, UserMode);
    EXPECT_TRUE(IoCancelIrp(held));
    caller.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(process_->LastStatus(), STATUS_CANCELLED);
    EXPECT_EQ(process_->GetLastError(), 995u); // ERROR_OPERATION_ABORTED
    EXPECT_TRUE(process_->CloseHandle(h));
}

// ---------------------------------------------------------------------------------------------
// Names and device objects
// ---------------------------------------------------------------------------------------------

TEST_F(IoDeviceTest, DeviceNamesCollideIgnoringCaseAndAcrossLinks)
{
    PDRIVER_OBJECT driver = hk::FindDriver("hk_io");
    UNICODE_STRING name = Unicode(u"\\Device\\HkExtra");
    PDEVICE_OBJECT first = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, sizeof(HkIoState), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &first), STATUS_SUCCESS);

    for (const std::u16string &taken : {std::u16string(u"\\Device\\HkExtra"), std::u16string(u"\\DEVICE\\hkextra"),
                                        std::u16string(u"\\??\\HkBuffered"), std::u16string(u"\\DosDevices\\HkDirect")}) {
        SCOPED_TRACE(hk::Utf8(taken));
        UNICODE_STRING again = Unicode(taken);
        PDEVICE_OBJECT second = (PDEVICE_OBJECT)0x1;
        EXPECT_EQ(IoCreateDevice(driver, 0, &again, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_OBJECT_NAME_COLLISION);
        EXPECT_EQ(second, nullptr);
    }

    // Deleting the device frees its name.
    IoDeleteDevice(first);
    PDEVICE_OBJECT reborn = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, sizeof(HkIoState), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &reborn), STATUS_SUCCESS);
    IoDeleteDevice(reborn);
}

TEST_F(IoDeviceTest, DosDevicesAndQuestionMarkAreOneDirectory)
{
    // hk_io made \DosDevices\HkDirect: a process finds it as \\.\HkDirect.
    HANDLE h = process_->CreateFile("\\\\.\\HkDirect");
    ASSERT_NE(h, hk::INVALID_HANDLE);
    EXPECT_TRUE(process_->CloseHandle(h));
    UNICODE_STRING direct = Unicode(u"\\??\\HkDirect");
    UNICODE_STRING target = Unicode(u"\\Device\\HkBuffered");
    EXPECT_EQ(IoCreateSymbolicLink(&direct, &target), STATUS_OBJECT_NAME_COLLISION);

    UNICODE_STRING alias = Unicode(u"\\DosDevices\\HkAlias");
    UNICODE_STRING aliasAgain = Unicode(u"\\??\\HkAlias");
    ASSERT_EQ(IoCreateSymbolicLink(&alias, &target), STATUS_SUCCESS);
    HkIoState *buffered = State(u"\\Device\\HkBuffered");
    LONG creates = buffered->creates;
    h = process_->CreateFile("\\\\.\\HkAlias");
    ASSERT_NE(h, hk::INVALID_HANDLE);
    EXPECT_EQ(buffered->creates, creates + 1);
    EXPECT_TRUE(process_->CloseHandle(h));

    EXPECT_EQ(IoDeleteSymbolicLink(&aliasAgain), STATUS_SUCCESS);
    EXPECT_EQ(process_->CreateFile("\\\\.\\HkAlias"), hk::INVALID_HANDLE);
    EXPECT_EQ(process_->GetLastError(), 2u); // ERROR_FILE_NOT_FOUND
    EXPECT_EQ(IoDeleteSymbolicLink(&alias), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IoDeviceTest, OnlyAnInitializedLiveDeviceCanBeOpened)
{
    PDRIVER_OBJECT driver = hk::FindDriver("hk_io");
    UNICODE_STRING name = Unicode(u"\\Device\\HkLate");
    UNICODE_STRING link = Unicode(u"\\??\\HkLate");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, sizeof(HkIoState), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    ASSERT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);

    // Still initializing: its driver has not finished setting it up.
    EXPECT_EQ(process_->CreateFile("\\\\.\\HkLate"), hk::INVALID_HANDLE);
    EXPECT_EQ(process_->LastStatus(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(static_cast<HkIoState *>(device->DeviceExtension)->creates, 0);

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    HANDLE h = process_->CreateFile("\\\\.\\HkLate");
    ASSERT_NE(h, hk::INVALID_HANDLE);

    // Deleted while a handle is open: the object lives on for the handle, its name does not.
    ObReferenceObject(device);
    IoDeleteDevice(device);
    EXPECT_EQ(process_->CreateFile("\\\\.\\HkLate"), hk::INVALID_HANDLE);
    EXPECT_EQ(process_->LastStatus(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(static_cast<HkIoState *>(device->DeviceExtension)->creates, 1);
    EXPECT_TRUE(process_->CloseHandle(h));
    EXPECT_EQ(static_cast<HkIoState *>(device->DeviceExtension)->closes, 1);
    ObDereferenceObject(device);
    IoDeleteSymbolicLink(&link);
}

TEST_F(IoDeviceTest, ExclusiveDeviceTakesOneOpenAtATime)
{
    PDRIVER_OBJECT driver = hk::FindDriver("hk_io");
    UNICODE_STRING name = Unicode(u"\\Device\\HkOnly");
    UNICODE_STRING link = Unicode(u"\\??\\HkOnly");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, sizeof(HkIoState), &name, FILE_DEVICE_UNKNOWN, 0, TRUE, &device), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    EXPECT_TRUE(device->Flags & DO_EXCLUSIVE);

    auto other = hk::Process::Create("other");
    HANDLE first = process_->CreateFile("\\\\.\\HkOnly");
    ASSERT_NE(first, hk::INVALID_HANDLE);
    EXPECT_EQ(process_->CreateFile("\\\\.\\HkOnly"), hk::INVALID_HANDLE);
    EXPECT_EQ(process_->GetLastError(), 5u); // ERROR_ACCESS_DENIED
    EXPECT_EQ(other->CreateFile("\\\\.\\HkOnly"), hk::INVALID_HANDLE);
    EXPECT_EQ(other->GetLastError(), 5u);
    EXPECT_EQ(static_cast<HkIoState *>(device->DeviceExtension)->creates, 1);

    EXPECT_TRUE(process_->CloseHandle(first));
    HANDLE second = other->CreateFile("\\\\.\\HkOnly");
    EXPECT_NE(second, hk::INVALID_HANDLE);
    EXPECT_TRUE(other->CloseHandle(second));
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(device);
}

TEST_F(IoDeviceTest, DeviceObjectPointerCreatesAndCleansUpAtOnceAndClosesAtTheDereference)
{
    for (const std::u16string &path : {std::u16string(u"\\Device\\HkBuffered"), std::u16string(u"\\??\\HkBuffered")}) {
        SCOPED_TRACE(hk::Utf8(path));
        HkIoState *state = State(u"\\Device\\HkBuffered");
        LONG creates = state->creates, cleanups = state->cleanups, closes = state->closes;
        UNICODE_STRING name = Unicode(path);
        PFILE_OBJECT file = nullptr;
        PDEVICE_OBJECT device = nullptr;
        ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &device), STATUS_SUCCESS);
        EXPECT_EQ(device, NamedDevice(u"\\Device\\HkBuffered"));
        EXPECT_EQ(file->DeviceObject, device);
        EXPECT_EQ(state->creates, creates + 1);
        EXPECT_EQ(state->cleanups, cleanups + 1);
        EXPECT_EQ(state->closes, closes);
        EXPECT_EQ(state->last.requestorMode, KernelMode);
        ObDereferenceObject(file);
        EXPECT_EQ(state->closes, closes + 1);
    }
    UNICODE_STRING missing = Unicode(u"\\Device\\HkMissing");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoGetDeviceObjectPointer(&missing, FILE_READ_DATA, &file, &device), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IoDeviceTest, AttachingStacksOnTheTopAndDetachingUnstacks)
{
    PDRIVER_OBJECT driver = hk::FindDriver("hk_io");
    auto create = [&] {
        PDEVICE_OBJECT d = nullptr;
        EXPECT_EQ(IoCreateDevice(driver, sizeof(HkIoState), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d), STATUS_SUCCESS);
        return d;
    };
    for (CCHAR bottomStackSize : {1, 4}) {
        SCOPED_TRACE("bottom stack size " + std::to_string(bottomStackSize));
        PDEVICE_OBJECT a = create(), b = create(), c = create();
        ASSERT_TRUE(a && b && c);
        a->StackSize = bottomStackSize;
        a->AlignmentRequirement = 7;
        a->SectorSize = 512;

        EXPECT_EQ(IoAttachDeviceToDeviceStack(b, a), a);
        EXPECT_EQ(b->StackSize, bottomStackSize + 1);
        EXPECT_EQ(b->AlignmentRequirement, 7u);
        EXPECT_EQ(b->SectorSize, 512u);
        // Attaching to a device that has something on it attaches to the top of its stack.
        PDEVICE_OBJECT attachedTo = nullptr;
        EXPECT_EQ(IoAttachDeviceToDeviceStackSafe(c, a, &attachedTo), STATUS_SUCCESS);
        EXPECT_EQ(attachedTo, b);
        EXPECT_EQ(c->StackSize, bottomStackSize + 2);
        EXPECT_EQ(a->AttachedDevice, b);
        EXPECT_EQ(b->AttachedDevice, c);
        EXPECT_EQ(IoGetAttachedDevice(a), c);
        EXPECT_EQ(IoGetAttachedDevice(b), c);

        IoDetachDevice(b); // c leaves b
        EXPECT_EQ(b->AttachedDevice, nullptr);
        EXPECT_EQ(IoGetAttachedDevice(a), b);
        IoDetachDevice(a); // b leaves a
        EXPECT_EQ(a->AttachedDevice, nullptr);
        EXPECT_EQ(IoGetAttachedDevice(a), a);

        IoDeleteDevice(c);
        IoDeleteDevice(b);
        // A deleted device takes nothing on top of it, even while referenced.
        ObReferenceObject(a);
        IoDeleteDevice(a);
        PDEVICE_OBJECT late = create();
        EXPECT_EQ(IoAttachDeviceToDeviceStack(late, a), nullptr);
        EXPECT_EQ(IoAttachDeviceToDeviceStackSafe(late, a, &attachedTo), STATUS_NO_SUCH_DEVICE);
        EXPECT_EQ(attachedTo, nullptr);
        EXPECT_EQ(late->StackSize, 1);
        ObDereferenceObject(a);
        IoDeleteDevice(late);
    }
}

} // namespace
