// The verifier: every detection caught on a deliberately faulty driver. A fault that breaks the
// machine is a bug check, which stops the process (death tests); leaks and accounting faults are
// reported and the kernel goes on (a recording handler). The low-resource simulation fails chosen
// allocations of one driver, and the driver sees each failure.
#include "kernel_fixture.h"

#include "drivers/hk_test_abi.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using ::testing::HasSubstr;
using vyr::test::BugCheckRecorder;
using vyr::test::KernelTest;
using vyr::test::Unicode;

// Death tests re-run the program (the "threadsafe" style that tests/common/test_main.cpp sets):
// the kernel has threads, which a plain fork would not take along.
class VerifierTest : public KernelTest {
protected:
    // hk_faulty on a root device, with the faults of its life chosen before it starts.
    hk::DevNode *StartFaulty(const std::function<void(HkFaultConfig &)> &choose = {})
    {
        InstallDriver("hk_faulty");
        hk::DevNode *node = AddRootDevice("root\\hk_faulty", "hk_faulty");
        if (!node || hk::LoadDriver("hk_faulty") != STATUS_SUCCESS) {
            ADD_FAILURE() << "cannot set up hk_faulty";
            return nullptr;
        }
        settings_ = Export<HkFaultConfig>("hk_faulty", "HkFaultSettings");
        if (settings_ && choose)
            choose(*settings_);
        NTSTATUS status = hk::StartDevice(node);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return node;
    }

    // Has hk_faulty commit a fault in its dispatch routine, on behalf of a process.
    NTSTATUS CommitFault(HkFault fault)
    {
        auto process = hk::Process::Create("app");
        HANDLE h = process->CreateFile("\\\\.\\HkFaulty");
        if (h == hk::INVALID_HANDLE)
            return process->LastStatus();
        HkFaultRequest request{fault};
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = process->NtDeviceIoControlFile(h, IOCTL_HK_FAULT, &request, sizeof request, nullptr, 0, &iosb);
        process->CloseHandle(h);
        return status;
    }

    HkFaultConfig *settings_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Bug checks
// ---------------------------------------------------------------------------------------------

TEST_F(VerifierTest, DispatchFaultsAreBugChecksNamingTheCulprit)
{
    struct Case {
        const char *name;
        HkFault fault;
        const char *message;
    };
    const Case cases[] = {
        {"completed twice", HkFaultCompleteTwice,
         "MULTIPLE_IRP_COMPLETE_REQUESTS.*IRP completed twice: second IoCompleteRequest by hk_faulty"},
        {"returned without completing", HkFaultNoComplete,
         "DRIVER_VERIFIER_DETECTED_VIOLATION.*of \\\\Device\\\\HkFaulty returned STATUS_SUCCESS .* without "
         "completing the request"},
        {"freed while a lower driver holds it", HkFaultFreeInUse,
         "DRIVER_VERIFIER_DETECTED_VIOLATION.*IRP freed while in use \\(still current in \\\\Device\\\\HkFaulty\\), "
         "by hk_faulty"},
        {"own IRP completed to the top", HkFaultCompleteToTop,
         "DRIVER_VERIFIER_DETECTED_VIOLATION.*IRP allocated by hk_faulty at hk_faulty.* completed to the top"},
        {"wait at DISPATCH_LEVEL", HkFaultWaitAtDispatch,
         "IRQL_NOT_LESS_OR_EQUAL.*KeWaitForSingleObject at IRQL 2 without a time-out \\(called from hk_faulty"},
    };
    ASSERT_NE(StartFaulty(), nullptr);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DEATH(CommitFault(c.fault), c.message);
    }
    // A request that names no fault reaches the driver and comes back: what died above was the
    // fault, not the way to it.
    EXPECT_EQ(CommitFault(HkFaultNone), STATUS_INVALID_PARAMETER);
}

TEST_F(VerifierTest, SendingPastTheLastStackLocationIsABugCheck)
{
    InstallDriver("hk_fdo", "hk_layer");
    hk::DevNode *node = AddRootDevice("root\\hk_fdo", "hk_fdo");
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(hk::StartDevice(node), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = IoGetAttachedDevice(hk::NodePdo(node));
    ASSERT_EQ(fdo->StackSize, 2);

    HkPlan plan;
    HkPlanInit(&plan);
    plan.layers[2].action = HkForward;
    plan.layers[2].invokeOnSuccess = TRUE;
    // One location short: the function driver's call to the PDO has nowhere to go.
    auto sendShort = [&] {
        PIRP irp = IoAllocateIrp(1, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_HK_PLAN;
        next->Parameters.DeviceIoControl.Type3InputBuffer = &plan;
        IoCallDriver(fdo, irp);
    };
    EXPECT_DEATH(sendShort(), "NO_MORE_IRP_STACK_LOCATIONS.*from hk_fdo by .* has no stack location left");
}

TEST_F(VerifierTest, DriverUnloadedWithItsSystemThreadRunningIsABugCheck)
{
    hk::DevNode *node = StartFaulty([](HkFaultConfig &s) { s.threadAtStart = TRUE; });
    ASSERT_NE(node, nullptr);
    ASSERT_NE(settings_, nullptr);
    ASSERT_NE(settings_->thread, nullptr);
    while (!settings_->threadRunning)
        std::this_thread::yield();

    EXPECT_DEATH(hk::RemoveDevice(node),
                 "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS.*hk_faulty.*still running");

    // Here the driver's thread has ended before the removal, and the unload is a clean one.
    KeSetEvent(&settings_->threadExit, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(settings_->thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(settings_->thread);
    EXPECT_EQ(hk::RemoveDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(hk::FindDriver("hk_faulty"), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Reported faults: the kernel goes on
// ---------------------------------------------------------------------------------------------

TEST_F(VerifierTest, PendingReturnedWithoutTheMarkIsReported)
{
    BugCheckRecorder &reports = RecordReports();
    ASSERT_NE(StartFaulty(), nullptr);

    EXPECT_EQ(CommitFault(HkFaultPendingUnmarked), STATUS_SUCCESS);

    std::vector<hk::BugCheckInfo> seen = reports.Reports();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].code, hk::BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION);
    EXPECT_THAT(seen[0].message, HasSubstr("returned STATUS_PENDING but the request was not marked pending"));
}

TEST_F(VerifierTest, FilterRoutineThatDropsPendingReturnedIsReported)
{
    // A root device with hk_fdo pending requests and hk_flt above it, whose completion routine
    // does or does not pass PendingReturned on.
    InstallDriver("hk_fdo", "hk_layer");
    InstallDriver("hk_flt", "hk_layer");
    hk::DevNode *node = AddRootDevice("root\\hk_fdo", "hk_fdo", {"hk_flt"});
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(hk::StartDevice(node), STATUS_SUCCESS);
    std::u16string pdoName = hk::Utf16(hk::internal::DeviceName(hk::NodePdo(node)));
    UNICODE_STRING link = Unicode(u"\\??\\HkFiltered");
    UNICODE_STRING target = Unicode(pdoName);
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    auto process = hk::Process::Create("app");
    HANDLE h = process->CreateFile("\\\\.\\HkFiltered");
    ASSERT_NE(h, hk::INVALID_HANDLE);

    for (bool propagates : {true, false}) {
        SCOPED_TRACE(propagates ? "routine propagates" : "routine drops it");
        BugCheckRecorder reports;
        HkPlan plan;
        HkPlanInit(&plan);
        plan.layers[3].action = HkForward;
        plan.layers[3].invokeOnSuccess = TRUE;
        plan.layers[3].propagatePending = propagates;
        plan.layers[2].action = HkPend;
        EXPECT_TRUE(process->DeviceIoControl(h, IOCTL_HK_PLAN, &plan, sizeof plan, nullptr, 0, nullptr));
        std::vector<hk::BugCheckInfo> seen = reports.Reports();
        if (propagates) {
            EXPECT_TRUE(seen.empty());
        } else {
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_THAT(seen[0].message, HasSubstr("not marked pending at the top"));
        }
    }
    EXPECT_TRUE(process->CloseHandle(h));
    IoDeleteSymbolicLink(&link);
}

TEST_F(VerifierTest, InformationBeyondTheOutputBufferIsReportedAndNotCopied)
{
    BugCheckRecorder &reports = RecordReports();
    InstallDriver("hk_io");
    ASSERT_EQ(hk::LoadDriver("hk_io"), STATUS_SUCCESS);
    auto process = hk::Process::Create("app");
    HANDLE h = process->CreateFile("\\\\.\\HkBuffered");
    ASSERT_NE(h, hk::INVALID_HANDLE);
    HkReply reply{STATUS_SUCCESS, 12, 0x42};
    std::array<uint8_t, 16> out;
    out.fill(0xEE);

    EXPECT_TRUE(process->DeviceIoControl(h, IOCTL_HK_BUFFERED, &reply, sizeof reply, out.data(), 8, nullptr));

    std::vector<hk::BugCheckInfo> seen = reports.Reports();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].code, hk::BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION);
    EXPECT_THAT(seen[0].message, HasSubstr("Information 12 larger than the output buffer of 8 bytes"));
    for (size_t i = 0; i < out.size(); i++)
        EXPECT_EQ(out[i], i < 8 ? 0x42 : 0xEE) << "byte " << i;
    EXPECT_TRUE(process->CloseHandle(h));
}

struct LeakCase {
    const char *name;
    void (*choose)(HkFaultConfig &);
    ULONG code;
    std::vector<std::string> phrases;
};

void PrintTo(const LeakCase &c, std::ostream *os)
{
    *os << c.name;
}

class LeakTest : public VerifierTest, public ::testing::WithParamInterface<LeakCase> {};

TEST_P(LeakTest, ReportedOnceWhenTheDriverUnloads)
{
    const LeakCase &c = GetParam();
    BugCheckRecorder &reports = RecordReports();
    hk::DevNode *node = StartFaulty(c.choose);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(reports.Count(), 0u);
    if (c.code == hk::BUGCHECK_POOL_LEAKED) {
        std::vector<hk::PoolBlockInfo> blocks;
        for (const hk::PoolBlockInfo &b : hk::OutstandingPool("hk_faulty"))
            if (b.kind == hk::AllocKind::Pool)
                blocks.push_back(b);
        ASSERT_EQ(blocks.size(), 1u);
        EXPECT_EQ(blocks[0].tag, (ULONG)HK_LEAK_TAG);
        EXPECT_EQ(blocks[0].size, 40u);
    }

    ASSERT_EQ(hk::RemoveDevice(node), STATUS_SUCCESS);

    // Reported at the unload that followed the removal of the driver's last device.
    EXPECT_EQ(hk::FindDriver("hk_faulty"), nullptr);
    std::vector<hk::BugCheckInfo> seen = reports.Reports();
    auto report = std::find_if(seen.begin(), seen.end(), [&](const hk::BugCheckInfo &r) { return r.code == c.code; });
    ASSERT_NE(report, seen.end());
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(), [&](const hk::BugCheckInfo &r) { return r.code == c.code; }), 1);
    for (const std::string &phrase : c.phrases)
        EXPECT_THAT(report->message, HasSubstr(phrase));

    // The shutdown's final check does not report the same leak again.
    machine_->Shutdown();
    EXPECT_EQ(reports.Count(), seen.size());
}

INSTANTIATE_TEST_SUITE_P(
    PoolAndIrps, LeakTest,
    ::testing::Values(LeakCase{"Pool", [](HkFaultConfig &s) { s.leakPoolAtStart = TRUE; }, hk::BUGCHECK_POOL_LEAKED,
                               {"pool leaked by hk_faulty", "1 block, 40 bytes", "'Leak' 40 bytes NonPagedPool"}},
                      LeakCase{"Irp", [](HkFaultConfig &s) { s.leakIrpAtStart = TRUE; }, hk::BUGCHECK_IRP_LEAKED,
                               {"1 IRP(s) never freed by hk_faulty", "allocated at hk_faulty"}}),
    [](const ::testing::TestParamInfo<LeakCase> &p) { return std::string(p.param.name); });

TEST_F(VerifierTest, IrpLeakedByTheHostIsReportedAtShutdown)
{
    BugCheckRecorder &reports = RecordReports();
    PIRP leaked = IoAllocateIrp(1, FALSE);
    ASSERT_NE(leaked, nullptr);
    EXPECT_EQ(reports.Count(), 0u);
    machine_->Shutdown();
    std::vector<hk::BugCheckInfo> irpReports;
    for (const hk::BugCheckInfo &r : reports.Reports())
        if (r.code == hk::BUGCHECK_IRP_LEAKED)
            irpReports.push_back(r);
    ASSERT_EQ(irpReports.size(), 1u);
    EXPECT_EQ(irpReports[0].parameters[0], (ULONG_PTR)leaked);
    EXPECT_THAT(irpReports[0].message, HasSubstr("1 IRP(s) never freed"));
}

// ---------------------------------------------------------------------------------------------
// Low-resource simulation
// ---------------------------------------------------------------------------------------------

TEST_F(VerifierTest, InjectedFailuresHitTheChosenAllocationsOfTheChosenDriver)
{
    constexpr ULONG kTag = 0x31747354; // "Tst1"
    constexpr NTSTATUS OK = STATUS_SUCCESS, NO = STATUS_INSUFFICIENT_RESOURCES;
    struct Case {
        const char *name;
        hk::VerifierFaults faults;
        HkAllocResult expected; // pool, irp, mdl, device
    };
    auto kind = [](hk::AllocKind k, const char *driver) {
        hk::VerifierFaults f;
        f.failKind = k;
        f.failKindEnabled = true;
        f.onlyDriver = driver;
        return f;
    };
    auto tag = [](ULONG t, const char *driver) {
        hk::VerifierFaults f;
        f.failTag = t;
        f.onlyDriver = driver;
        return f;
    };
    auto nth = [](uint64_t n) {
        hk::VerifierFaults f;
        f.failNth = n;
        f.onlyDriver = "hk_faulty";
        return f;
    };
    const Case cases[] = {
        {"no faults", hk::VerifierFaults{}, {OK, OK, OK, OK}},
        {"its tag", tag(kTag, "hk_faulty"), {NO, OK, OK, OK}},
        {"another tag", tag(0x32747354, "hk_faulty"), {OK, OK, OK, OK}},
        {"its tag, any driver", tag(kTag, ""), {NO, OK, OK, OK}},
        {"IRPs", kind(hk::AllocKind::Irp, "hk_faulty"), {OK, NO, OK, OK}},
        {"MDLs", kind(hk::AllocKind::Mdl, "hk_faulty"), {OK, OK, NO, OK}},
        {"device objects", kind(hk::AllocKind::DeviceObject, "hk_faulty"), {OK, OK, OK, NO}},
        {"pool of any driver", kind(hk::AllocKind::Pool, ""), {NO, OK, OK, OK}},
        {"everything of another driver", kind(hk::AllocKind::Any, "hk_io"), {OK, OK, OK, OK}},
        {"everything", kind(hk::AllocKind::Any, "hk_faulty"), {NO, NO, NO, NO}},
        {"the second allocation", nth(2), {OK, NO, OK, OK}},
        {"the fourth allocation", nth(4), {OK, OK, OK, NO}},
    };
    ASSERT_NE(StartFaulty(), nullptr);
    auto process = hk::Process::Create("app");
    HANDLE h = process->CreateFile("\\\\.\\HkFaulty");
    ASSERT_NE(h, hk::INVALID_HANDLE);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uint64_t injected = hk::InjectedFailureCount();
        hk::SetVerifierFaults(c.faults);
        HkAllocRequest request{kTag};
        HkAllocResult result{};
        ULONG returned = 0;
        // The I/O manager's own allocations for the request are never failed: the call goes through.
        bool ok = process->DeviceIoControl(h, IOCTL_HK_ALLOCATE, &request, sizeof request, &result, sizeof result, &returned);
        hk::ClearVerifierFaults();
        ASSERT_TRUE(ok);
        ASSERT_EQ(returned, sizeof result);
        EXPECT_EQ(result.pool, c.expected.pool);
        EXPECT_EQ(result.irp, c.expected.irp);
        EXPECT_EQ(result.mdl, c.expected.mdl);
        EXPECT_EQ(result.device, c.expected.device);
        uint64_t failures = (c.expected.pool == NO) + (c.expected.irp == NO) + (c.expected.mdl == NO) + (c.expected.device == NO);
        EXPECT_EQ(hk::InjectedFailureCount() - injected, failures);
    }
    EXPECT_TRUE(process->CloseHandle(h));
}

TEST_F(VerifierTest, AddDeviceThatCannotCreateItsDeviceFailsTheNode)
{
    InstallDriver("hk_faulty");
    hk::DevNode *node = AddRootDevice("root\\hk_faulty", "hk_faulty");
    ASSERT_NE(node, nullptr);
    hk::VerifierFaults faults;
    faults.failKind = hk::AllocKind::DeviceObject;
    faults.failKindEnabled = true;
    faults.onlyDriver = "hk_faulty";
    hk::SetVerifierFaults(faults);

    EXPECT_EQ(hk::StartDevice(node), STATUS_INSUFFICIENT_RESOURCES);
    hk::DevNodeInfo info = hk::NodeInfo(node);
    EXPECT_EQ(info.state, hk::DevNodeState::Failed);
    EXPECT_EQ(info.problem, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(info.stack.size(), 1u); // the root PDO alone

    // With memory back, the same node starts.
    hk::ClearVerifierFaults();
    EXPECT_EQ(hk::StartDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(hk::NodeState(node), hk::DevNodeState::Started);
}

} // namespace
