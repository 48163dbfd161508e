// A booted machine with the whole tape stack: the bus enumerator, the fabric with its drives and
// paths, the class driver stand-in and the path filter on every path; an application process
// that opens \\.\Tape0. The verifier's checks run at the end of every test.
#pragma once

#include "bus.h"
#include "kernel_fixture.h"
#include "machine/testbed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace vyr::test {

constexpr const char *kBusImage = "vyrtpbs2k16";
constexpr UCHAR kOpWrite6 = 0x0A;

class TapeStackTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        machine_->InstallTapeBus();
        vyr::sim::InstallTestbed(*machine_);
        vyr::sim::InstallPathFilter(*machine_);
        fabric_ = std::make_unique<vyr::sim::Fabric>();
        app_ = hk::Process::Create("app");
    }
    void TearDown() override
    {
        for (HANDLE h : open_)
            app_->CloseHandle(h);
        open_.clear();
        app_.reset();
        fabric_.reset();
        KernelTest::TearDown();
    }

    void Build(int paths, int ports = 2)
    {
        vyr::sim::Topology topology;
        topology.drives = 1;
        topology.pathsPerDrive = paths;
        topology.ports = ports;
        ASSERT_EQ(fabric_->Build(topology), STATUS_SUCCESS);
    }

    // Opens a device by its Win32 or NT name; the handle is closed at the end of the test.
    HANDLE Open(const std::string &name = "\\\\.\\Tape0", NTSTATUS *status = nullptr)
    {
        HANDLE h = hk::INVALID_HANDLE;
        NTSTATUS s;
        if (name.rfind("\\Device\\", 0) == 0) {
            s = app_->NtCreateFile(&h, hk::Utf16(name), GENERIC_READ | GENERIC_WRITE, 0);
            if (!NT_SUCCESS(s))
                h = hk::INVALID_HANDLE;
        } else {
            h = app_->CreateFile(name);
            s = h == hk::INVALID_HANDLE ? app_->LastStatus() : STATUS_SUCCESS;
        }
        if (status)
            *status = s;
        if (h != hk::INVALID_HANDLE)
            open_.push_back(h);
        return h;
    }
    void Close(HANDLE h)
    {
        open_.erase(std::remove(open_.begin(), open_.end(), h), open_.end());
        app_->CloseHandle(h);
    }

    NTSTATUS Write(HANDLE h, const std::vector<UCHAR> &data, ULONG *written = nullptr)
    {
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = app_->NtWriteFile(h, data.data(), (ULONG)data.size(), &iosb);
        if (written)
            *written = (ULONG)iosb.Information;
        return status;
    }
    NTSTATUS Read(HANDLE h, std::vector<UCHAR> *data, ULONG length = 64 * 1024)
    {
        data->assign(length, 0);
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = app_->NtReadFile(h, data->data(), length, &iosb);
        data->resize(NT_ERROR(status) ? 0 : iosb.Information);
        return status;
    }
    NTSTATUS Ioctl(HANDLE h, ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength,
                   ULONG *returned = nullptr)
    {
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = app_->NtDeviceIoControlFile(h, code, in, inLength, out, outLength, &iosb);
        if (returned)
            *returned = (ULONG)iosb.Information;
        return status;
    }
    NTSTATUS Rewind(HANDLE h)
    {
        TAPE_SET_POSITION position{};
        position.Method = TAPE_REWIND;
        return Ioctl(h, IOCTL_TAPE_SET_POSITION, &position, sizeof position, nullptr, 0);
    }

    // A buffered pass-through: structure, 32 sense bytes, then the data. DataIn is
    // SCSI_IOCTL_DATA_OUT (Data goes to the drive), SCSI_IOCTL_DATA_IN (Data is sized to the
    // wanted length and filled on return) or SCSI_IOCTL_DATA_UNSPECIFIED.
    NTSTATUS PassThrough(HANDLE h, std::initializer_list<UCHAR> cdb, UCHAR dataIn, std::vector<UCHAR> *data = nullptr,
                         UCHAR *scsiStatus = nullptr)
    {
        const ULONG length = data ? (ULONG)data->size() : 0;
        std::vector<UCHAR> buffer(sizeof(SCSI_PASS_THROUGH) + 32, 0);
        if (data)
            buffer.insert(buffer.end(), data->begin(), data->end());
        SCSI_PASS_THROUGH pt{};
        pt.Length = sizeof pt;
        pt.CdbLength = (UCHAR)cdb.size();
        pt.SenseInfoLength = 32;
        pt.SenseInfoOffset = sizeof pt;
        pt.DataIn = dataIn;
        pt.DataTransferLength = length;
        pt.DataBufferOffset = sizeof pt + 32;
        std::copy(cdb.begin(), cdb.end(), pt.Cdb);
        memcpy(buffer.data(), &pt, sizeof pt);
        NTSTATUS status = Ioctl(h, IOCTL_SCSI_PASS_THROUGH, buffer.data(), (ULONG)buffer.size(), buffer.data(),
                                (ULONG)buffer.size());
        if (scsiStatus)
            *scsiStatus = buffer[FIELD_OFFSET(SCSI_PASS_THROUGH, ScsiStatus)];
        if (data && dataIn == SCSI_IOCTL_DATA_IN) {
            memcpy(&pt, buffer.data(), sizeof pt);
            data->assign(buffer.begin() + sizeof pt + 32, buffer.begin() + sizeof pt + 32 + std::min(pt.DataTransferLength, length));
        }
        return status;
    }

    static std::vector<UCHAR> Block(size_t length, UCHAR seed)
    {
        std::vector<UCHAR> v(length);
        for (size_t i = 0; i < length; i++)
            v[i] = (UCHAR)(seed * 31 + i * 7 + i / 253);
        return v;
    }

    // Pool blocks of the bus with a tag: queue entries (PDOg) say how many requests wait.
    static size_t BusPool(ULONG tag)
    {
        size_t n = 0;
        for (const hk::PoolBlockInfo &b : hk::OutstandingPool(kBusImage))
            n += b.tag == tag;
        return n;
    }
    // Waits for a condition another thread brings about (no fixed delay: the deadline only turns
    // a hang into a failure).
    static bool WaitUntil(const std::function<bool()> &condition)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::yield();
        }
        return true;
    }

    static FabFaultRequest HoldWrites(UCHAR scope, ULONG index, UCHAR form = FAB_FORM_ONE_SHOT)
    {
        FabFaultRequest f{};
        f.Scope = scope;
        f.Index = index;
        f.Kind = FAB_FAULT_HOLD;
        f.Form = form;
        f.fOpcodeFilter = 1;
        f.Opcode = kOpWrite6;
        return f;
    }

    std::unique_ptr<vyr::sim::Fabric> fabric_;
    std::shared_ptr<hk::Process> app_;
    std::vector<HANDLE> open_;
};

} // namespace vyr::test
