// A booted machine with the tape bus enumerator and a stand-in for the path filters: the test
// creates path device objects and registers them with the bus the way a filter does, with
// kernel-mode IOCTL_TPBUS_REGISTER_PATH and IOCTL_TPBUS_NOTIFY_PATH requests.
#pragma once

#include "bus.h"
#include "kernel_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace vyr::test {

constexpr const char *kBusService = "vyrtpbs2k16";
constexpr const char *kBusServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vyrtpbs2k16";

// What a filter knows of its path when it registers it.
struct PathSpec {
    std::string serial = "SERIAL0001";  // padded with spaces to 32 bytes, as the drive reports it
    std::string wwnn = "500507630F123456";
    UCHAR port = 1, pathId = 0, target = 3, lun = 0;
    ULONG state = PNP_STARTED;
    UCHAR failover = 1, exclusive = 0, persistent = 0, key = 0;
};

class BusPathsTest : public KernelTest {
protected:
    // Writes the settings, installs and starts the bus, loads the path stand-in.
    void StartBus(const std::vector<std::pair<std::string, ULONG>> &settings = {})
    {
        hk::ClearEventLog();
        for (auto &[name, value] : settings)
            machine_->SetServiceDword(kBusService, name, value);
        machine_->InstallTapeBus();
        ASSERT_NE(Fdo(), nullptr);
        LoadStub();
    }

    void LoadStub()
    {
        InstallDriver("bus_pathstub");
        ASSERT_EQ(hk::LoadDriver("bus_pathstub"), STATUS_SUCCESS);
        createPath_ = Export<NTSTATUS(PDEVICE_OBJECT *)>("bus_pathstub", "BusStubCreatePath");
    }

    void Restart()
    {
        machine_->Restart();
        LoadStub();
    }

    PDEVICE_OBJECT NewPath()
    {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(createPath_(&device), STATUS_SUCCESS);
        return device;
    }

    static PDEVICE_OBJECT Fdo() { return NamedDevice(u"\\Device\\VYRTpBsDvc"); }
    static BusExtension *Bus() { return (BusExtension *)Fdo()->DeviceExtension; }
    static PDEVICE_OBJECT Logical(const std::string &name) { return NamedDevice(hk::Utf16("\\Device\\" + name)); }
    static LogicalDeviceExtension *Ldx(const std::string &name)
    {
        PDEVICE_OBJECT device = Logical(name);
        return device ? BusLogical(device) : nullptr;
    }

    // The target of a link in \??, or "" when there is none.
    static std::string LinkTarget(const std::string &link)
    {
        std::u16string name = hk::Utf16("\\??\\" + link);
        for (auto &[n, target] : hk::internal::ObListNames())
            if (n == name)
                return hk::Utf8(target);
        return "";
    }

    static std::string DeviceMapKey(const PathSpec &p)
    {
        return "\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port " + std::to_string(p.port) + "\\Scsi Bus " +
               std::to_string(p.pathId) + "\\Target Id " + std::to_string(p.target) + "\\Logical Unit Id " +
               std::to_string(p.lun);
    }

    static PathRegistration MakeRegistration(PDEVICE_OBJECT device, const PathSpec &p, bool padSerial = true)
    {
        PathRegistration r;
        memset(&r, 0, sizeof r);
        r.fFailover = p.failover;
        memset(r.szSerialNumber, padSerial ? ' ' : 0, 32);
        memcpy(r.szSerialNumber, p.serial.data(), std::min<size_t>(32, p.serial.size()));
        memcpy(r.szWwnn, p.wwnn.data(), std::min<size_t>(16, p.wwnn.size()));
        r.Address = {8, p.port, p.pathId, p.target, p.lun};
        r.pPathDevice = (ULONG64)(uintptr_t)device;
        r.ulState = p.state;
        r.fExclusiveAccess = p.exclusive;
        r.fPersistentNaming = p.persistent;
        r.fKeyManagement = p.key;
        return r;
    }

    // A kernel-mode device-control request to the control device, as a path filter sends it.
    static NTSTATUS Ioctl(ULONG code, void *in, ULONG inLength, void *out, ULONG outLength, ULONG_PTR *information = nullptr)
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

    // Registers a path; the SCSI device map key of its address exists first, as the port driver
    // leaves it.
    NTSTATUS Register(PDEVICE_OBJECT device, const PathSpec &p, PathRegistration *reply = nullptr, bool padSerial = true)
    {
        hk::RegCreateKey(DeviceMapKey(p));
        PathRegistration r = MakeRegistration(device, p, padSerial);
        PathRegistration out = r;
        ULONG_PTR information = 0;
        NTSTATUS status = Ioctl(IOCTL_TPBUS_REGISTER_PATH, &r, sizeof r, &out, sizeof out, &information);
        EXPECT_EQ(information, sizeof(PathRegistration));
        if (reply)
            *reply = out;
        return status;
    }

    static NTSTATUS Notify(ULONG operation, PDEVICE_OBJECT device, ULONG value)
    {
        PathNotification n;
        memset(&n, 0, sizeof n);
        n.ulOperation = operation;
        n.pPathDevice = (ULONG64)(uintptr_t)device;
        n.ulValue = value;
        return Ioctl(IOCTL_TPBUS_NOTIFY_PATH, &n, sizeof n, nullptr, 0);
    }
    static NTSTATUS SetState(PDEVICE_OBJECT device, ULONG state) { return Notify(PATH_NOTIFY_STATE, device, state); }

    struct QueryReply {
        NTSTATUS status = 0;
        ULONG returned = 0;
        ULONG sizeWord = 0;
        std::vector<PathInfoEntry> entries;
    };
    // IOCTL_TPBUS_QUERY_PATHS from an application, on the control device or on a logical device.
    static QueryReply Query(ULONG outLength = 4096, const std::string &device = "\\\\.\\VYRTpBsDvcLnk")
    {
        QueryReply q;
        auto process = hk::Process::Create("query");
        HANDLE h = process->CreateFile(device);
        EXPECT_NE(h, hk::INVALID_HANDLE) << std::hex << process->LastStatus();
        if (h == hk::INVALID_HANDLE)
            return q;
        std::vector<uint8_t> out(outLength + 1, 0xEE);
        IO_STATUS_BLOCK iosb{};
        q.status = process->NtDeviceIoControlFile(h, IOCTL_TPBUS_QUERY_PATHS, nullptr, 0, out.data(), outLength, &iosb);
        q.returned = (ULONG)iosb.Information;
        EXPECT_EQ(out[outLength], 0xEE) << "nothing written past the output buffer";
        if (q.status == STATUS_SUCCESS && q.returned >= 4) {
            memcpy(&q.sizeWord, out.data(), 4);
            for (ULONG offset = 4; offset + sizeof(PathInfoEntry) <= q.returned; offset += sizeof(PathInfoEntry)) {
                PathInfoEntry e;
                memcpy(&e, out.data() + offset, sizeof e);
                q.entries.push_back(e);
            }
        }
        process->CloseHandle(h);
        return q;
    }

    static std::vector<hk::EventRecord> EventsWithId(ULONG id)
    {
        std::vector<hk::EventRecord> out;
        for (const hk::EventRecord &e : hk::EventLog())
            if (e.eventId == id)
                out.push_back(e);
        return out;
    }

    static std::string PointerText(const void *p)
    {
        char text[24];
        snprintf(text, sizeof text, "0x%016lX", (unsigned long)(uintptr_t)p);
        return text;
    }

    NTSTATUS (*createPath_)(PDEVICE_OBJECT *) = nullptr;
};

} // namespace vyr::test
