// A booted machine with the changer bus enumerator and the changer class stand-in (cg_classstub):
// tests register stand-in devices with the bus by hand, as the changer path filter would, or build
// root devices with the changer path filter above the stand-in and let the filter register them.
#pragma once

#include "cg_stub_abi.h"
#include "hk/ntddchgr.h"
#include "kernel_fixture.h"
#include "vyr/cgbus.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace vyr::test {

constexpr const char *kChangerBus = "vyrcgbs2k16";
constexpr const char *kChangerFilter = "vyrcgft2k16";
constexpr const char *kStub = "cg_classstub";
constexpr ULONG kIoctlChangerGetStatus = IOCTL_CHANGER_GET_STATUS;
constexpr ULONG kIoctlChangerMoveMedium = IOCTL_CHANGER_MOVE_MEDIUM;
constexpr NTSTATUS kStatusIoDeviceError = (NTSTATUS)0xC0000185L;
constexpr NTSTATUS kStatusInvalidParameter = (NTSTATUS)0xC000000DL; // never starts failover
constexpr ULONG kEventFailoverAttempt = 0x80000004;

class ChangerTest : public KernelTest {
protected:
    // The bus with its settings, then the stand-in (loaded, so that its records can be set
    // before any of its devices starts).
    void StartBus(const std::vector<std::pair<std::string, ULONG>> &settings = {})
    {
        hk::ClearEventLog();
        for (auto &[name, value] : settings)
            machine_->SetServiceDword(kChangerBus, name, value);
        machine_->InstallDriverImage(kChangerBus);
        machine_->InstallService(kChangerBus);
        hk::DevNode *node = hk::CreateRootDevice("root\\vyrcgbs2k16", kChangerBus, vyr::sim::kSystemClassGuid);
        ASSERT_NE(node, nullptr);
        ASSERT_EQ(hk::StartDevice(node), STATUS_SUCCESS);
        ASSERT_NE(Fdo(), nullptr);
        InstallDriver(kStub);
        ASSERT_EQ(hk::LoadDriver(kStub), STATUS_SUCCESS);
        paths_ = Export<CgStubPath>(kStub, "CgStubPaths");
        createPath_ = Export<CgStubCreatePathFn>(kStub, "CgStubCreatePath");
        createNamed_ = Export<CgStubCreateNamedFn>(kStub, "CgStubCreateNamed");
        ASSERT_NE(paths_, nullptr);
        for (ULONG i = 0; i < CG_STUB_MAX_PATHS; i++) {
            SetSerial(i, "CHANGER0001");
            paths_[i].address[0] = 8;
            paths_[i].address[4] = (UCHAR)(1 + i); // port
            paths_[i].address[6] = 5;              // target
            paths_[i].answerLength = 16;
        }
    }

    void SetSerial(ULONG index, const std::string &serial)
    {
        memset(paths_[index].serial, ' ', 32);
        memcpy(paths_[index].serial, serial.data(), std::min<size_t>(32, serial.size()));
    }

    static PDEVICE_OBJECT Fdo() { return NamedDevice(u"\\Device\\VYRCgBsDvc"); }
    static PDEVICE_OBJECT Changer(int n) { return NamedDevice(hk::Utf16("\\Device\\Changer" + std::to_string(n))); }

    // A kernel-mode device-control request to the control device, as the changer filter sends it.
    static NTSTATUS Ioctl(ULONG code, void *in, ULONG inLength, void *out, ULONG outLength,
                          ULONG_PTR *information = nullptr)
    {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(code, Fdo(), in, inLength, out, outLength, FALSE, &event, &iosb);
        if (!irp)
            return STATUS_INSUFFICIENT_RESOURCES;
        NTSTATUS status = IoCallDriver(Fdo(), irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        if (information)
            *information = iosb.Information;
        return status;
    }

    // A stand-in device registered as a changer path of the stand-in record's serial number.
    PDEVICE_OBJECT NewPath(ULONG *index = nullptr)
    {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(createPath_(&device), STATUS_SUCCESS);
        if (index)
            *index = IndexOf(device);
        return device;
    }

    ULONG IndexOf(PDEVICE_OBJECT device) const
    {
        for (ULONG i = 0; i < CG_STUB_MAX_PATHS; i++)
            if (paths_[i].device == (ULONG64)(uintptr_t)device)
                return i;
        ADD_FAILURE() << "not a stand-in device";
        return 0;
    }

    // The SCSI device map key of a stand-in's address, which the port driver would have made.
    std::string DeviceMapKey(ULONG index) const
    {
        const UCHAR *a = paths_[index].address;
        return "\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port " + std::to_string(a[4]) +
               "\\Scsi Bus " + std::to_string(a[5]) + "\\Target Id " + std::to_string(a[6]) +
               "\\Logical Unit Id " + std::to_string(a[7]);
    }

    ChangerPathRegistration MakeRegistration(PDEVICE_OBJECT device, ULONG state = PNP_STARTED, UCHAR failover = 1)
    {
        ULONG index = IndexOf(device);
        hk::RegCreateKey(DeviceMapKey(index));
        ChangerPathRegistration r;
        memset(&r, 0, sizeof r);
        r.fFailover = failover;
        memcpy(r.szSerialNumber, paths_[index].serial, 32);
        memcpy(&r.Address, paths_[index].address, 8);
        r.pPathDevice = (ULONG64)(uintptr_t)device;
        r.ulState = state;
        return r;
    }

    NTSTATUS Register(PDEVICE_OBJECT device, ChangerPathRegistration *reply = nullptr, ULONG state = PNP_STARTED)
    {
        ChangerPathRegistration r = MakeRegistration(device, state);
        ULONG_PTR information = 0;
        NTSTATUS status = Ioctl(IOCTL_CGBUS_REGISTER_PATH, &r, sizeof r, &r, sizeof r, &information);
        EXPECT_EQ(information, sizeof(ChangerPathRegistration));
        if (reply)
            *reply = r;
        return status;
    }

    static NTSTATUS SetState(PDEVICE_OBJECT device, ULONG state)
    {
        ChangerPathNotification n;
        memset(&n, 0, sizeof n);
        n.pPathDevice = (ULONG64)(uintptr_t)device;
        n.ulState = state;
        return Ioctl(IOCTL_CGBUS_NOTIFY_PATH, &n, sizeof n, nullptr, 0);
    }

    // The path query as an application sends it, on the control device or on a changer.
    static std::vector<PathInfoEntry> Query(const std::string &device = "\\\\.\\VYRCgBsDvcLnk")
    {
        std::vector<PathInfoEntry> entries;
        auto process = hk::Process::Create("query");
        HANDLE h = process->CreateFile(device);
        EXPECT_NE(h, hk::INVALID_HANDLE);
        if (h == hk::INVALID_HANDLE)
            return entries;
        std::vector<uint8_t> out(4096, 0);
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = process->NtDeviceIoControlFile(h, IOCTL_CGBUS_QUERY_PATHS, nullptr, 0, out.data(),
                                                         (ULONG)out.size(), &iosb);
        EXPECT_EQ(status, STATUS_SUCCESS);
        for (ULONG offset = 4; offset + sizeof(PathInfoEntry) <= iosb.Information; offset += sizeof(PathInfoEntry)) {
            PathInfoEntry e;
            memcpy(&e, out.data() + offset, sizeof e);
            entries.push_back(e);
        }
        process->CloseHandle(h);
        return entries;
    }

    // The failover event's text for what the path answered and the request's control code.
    static std::string FailoverText(const std::string &what, ULONG code)
    {
        char text[200];
        snprintf(text, sizeof text,
                 "VYR Changer Bus Enumerator received status %s on IOCTL 0x%X.  If Control Path Failover is "
                 "supported and configured, failover will be attempted.",
                 what.c_str(), (unsigned)code);
        return text;
    }

    static std::vector<hk::EventRecord> EventsWithId(ULONG id)
    {
        std::vector<hk::EventRecord> out;
        for (const hk::EventRecord &e : hk::EventLog())
            if (e.eventId == id)
                out.push_back(e);
        return out;
    }

    CgStubPath *paths_ = nullptr;
    CgStubCreatePathFn *createPath_ = nullptr;
    CgStubCreateNamedFn *createNamed_ = nullptr;
};

} // namespace vyr::test
