// User-mode processes: what an application does with CreateFile, DeviceIoControl, ReadFile,
// WriteFile and CloseHandle, carried out by the I/O manager with the requestor mode of user mode.
#include "io_internal.h"

#include <atomic>

namespace hk {

using namespace internal;

struct Process::Impl {
    _EPROCESS *eprocess = nullptr;
    ULONG lastError = 0;
    NTSTATUS lastStatus = STATUS_SUCCESS;
};

namespace {

std::atomic<ULONG_PTR> g_nextProcessId{1000};

// Runs a request in the context of a process, as a thread of that process would.
class ProcessContext {
public:
    explicit ProcessContext(PEPROCESS process) : saved_(CurrentThreadState().process)
    {
        CurrentThreadState().process = process;
    }
    ~ProcessContext() { CurrentThreadState().process = saved_; }

private:
    PEPROCESS saved_;
};

PIRP NewUserIrp(PDEVICE_OBJECT top, PFILE_OBJECT file, PEPROCESS process, UCHAR major)
{
    PIRP irp = IoAllocateIrpFor(top->StackSize, IrpOrigin::UserRequest, nullptr, MakeTag("IrpU"));
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = (PETHREAD)KeGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = file;
    TrackIrp(irp)->process = process;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = file;
    return irp;
}

// A request of a process on one of its handles: the file object (referenced until Finish), the top
// of the device's stack and the IRP being prepared.
struct UserRequest {
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    PIRP irp = nullptr;

    NTSTATUS Begin(PEPROCESS process, HANDLE h, UCHAR major)
    {
        void *body = nullptr;
        NTSTATUS status = ObReferenceHandle(process, h, ObType::File, &body);
        if (!NT_SUCCESS(status))
            return status;
        file = (PFILE_OBJECT)body;
        top = IoGetRelatedDeviceObject(file);
        irp = NewUserIrp(top, file, process, major);
        return STATUS_SUCCESS;
    }
    PIO_STACK_LOCATION Stack() const { return IoGetNextIrpStackLocation(irp); }
    NTSTATUS Send(IO_STATUS_BLOCK *iosb)
    {
        IO_STATUS_BLOCK local{};
        NTSTATUS status = IoCallAndWait(top, irp, iosb ? iosb : &local);
        ObfDereferenceObject(file);
        return status;
    }
};

// The I/O manager's own MDL for a direct-I/O user buffer.
bool LockUserBuffer(PIRP irp, void *buffer, ULONG length, LOCK_OPERATION operation)
{
    auto *mdl = (PMDL)PoolAllocate(NonPagedPool, sizeof(MDL), MakeTag("Mdl "), AllocKind::Mdl, nullptr);
    memset(mdl, 0, sizeof(MDL));
    mdl->Size = sizeof(MDL);
    mdl->StartVa = (PVOID)((ULONG_PTR)buffer & ~(ULONG_PTR)0xFFF);
    mdl->ByteOffset = (ULONG)((ULONG_PTR)buffer & 0xFFF);
    mdl->ByteCount = length;
    irp->MdlAddress = mdl;
    return NT_SUCCESS(HkProbeAndLockPages(mdl, UserMode, operation));
}

void *SystemBuffer(PIRP irp, ULONG size)
{
    void *buffer = PoolAllocate(NonPagedPool, size ? size : 1, MakeTag("IoSb"), AllocKind::Pool, nullptr);
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return buffer;
}

// Undoes a request that could not be sent (its user buffer could not be locked).
NTSTATUS FailUnsent(PIRP irp, NTSTATUS status, IO_STATUS_BLOCK *iosb)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IrpTracking *t = TrackIrp(irp);
    if (irp->MdlAddress) {
        if (irp->MdlAddress->MdlFlags & MDL_PAGES_LOCKED)
            MmUnlockPages(irp->MdlAddress);
        PoolFree(irp->MdlAddress, 0, nullptr);
        irp->MdlAddress = nullptr;
    }
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer)
        PoolFree(irp->AssociatedIrp.SystemBuffer, 0, nullptr);
    (void)t;
    IoReleaseIrp(irp);
    if (iosb)
        *iosb = IO_STATUS_BLOCK{{status}, 0};
    return status;
}

} // namespace

std::shared_ptr<Process> Process::Create(const std::string &name, bool is32bit)
{
    auto impl = std::make_unique<Impl>();
    impl->eprocess = new _EPROCESS();
    impl->eprocess->name = name;
    impl->eprocess->is32bit = is32bit;
    impl->eprocess->id = g_nextProcessId.fetch_add(4);
    return std::shared_ptr<Process>(new Process(std::move(impl)));
}

Process::Process(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Process::~Process()
{
    // A process that exits closes its handles.
    std::vector<HANDLE> open;
    {
        std::lock_guard<std::mutex> lock(impl_->eprocess->handleLock);
        for (size_t i = 0; i < impl_->eprocess->handles.size(); i++)
            if (impl_->eprocess->handles[i].object)
                open.push_back((HANDLE)((i + 1) * 4));
    }
    for (HANDLE h : open)
        NtClose(h);
    delete impl_->eprocess;
}

bool Process::Is32Bit() const { return impl_->eprocess->is32bit; }
PEPROCESS Process::Eprocess() const { return impl_->eprocess; }

NTSTATUS Process::NtCreateFile(HANDLE *handle, const std::u16string &ntPath, ACCESS_MASK access, ULONG shareAccess)
{
    ProcessContext context(impl_->eprocess);
    *handle = INVALID_HANDLE;
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = IoOpenDevice(ntPath, access, shareAccess, UserMode, &file);
    if (NT_SUCCESS(status))
        *handle = ObCreateHandle(impl_->eprocess, file, access, [](void *body) { IoCleanupFile((PFILE_OBJECT)body); });
    return status;
}

NTSTATUS Process::NtClose(HANDLE h)
{
    ProcessContext context(impl_->eprocess);
    return ObCloseHandle(impl_->eprocess, h);
}

NTSTATUS Process::NtDeviceIoControlFile(HANDLE h, ULONG code, const void *in, ULONG inLen, void *out, ULONG outLen,
                                        IO_STATUS_BLOCK *iosb)
{
    ProcessContext context(impl_->eprocess);
    UserRequest request;
    NTSTATUS status = request.Begin(impl_->eprocess, h, IRP_MJ_DEVICE_CONTROL);
    if (!NT_SUCCESS(status))
        return status;
    PIRP irp = request.irp;
    PIO_STACK_LOCATION stack = request.Stack();
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = inLen;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outLen;
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
        ULONG size = inLen > outLen ? inLen : outLen;
        if (size) {
            auto *buffer = (uint8_t *)SystemBuffer(irp, size);
            if (inLen)
                memcpy(buffer, in, inLen);
            memset(buffer + inLen, 0, size - inLen);
            if (outLen)
                irp->Flags |= IRP_INPUT_OPERATION;
        }
        irp->UserBuffer = out;
        TrackIrp(irp)->outputLength = outLen;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (inLen)
            memcpy(SystemBuffer(irp, inLen), in, inLen);
        if (outLen && !LockUserBuffer(irp, out, outLen,
                                      METHOD_FROM_CTL_CODE(code) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess)) {
            ObfDereferenceObject(request.file);
            return FailUnsent(irp, STATUS_ACCESS_VIOLATION, iosb);
        }
        break;
    default:
        stack->Parameters.DeviceIoControl.Type3InputBuffer = (PVOID)in;
        irp->UserBuffer = out;
        break;
    }
    return request.Send(iosb);
}

static NTSTATUS ReadWrite(Process::Impl *impl, HANDLE h, void *buffer, ULONG length, IO_STATUS_BLOCK *iosb, bool write)
{
    ProcessContext context(impl->eprocess);
    UserRequest request;
    NTSTATUS status = request.Begin(impl->eprocess, h, write ? IRP_MJ_WRITE : IRP_MJ_READ);
    if (!NT_SUCCESS(status))
        return status;
    PFILE_OBJECT file = request.file;
    PIRP irp = request.irp;
    PIO_STACK_LOCATION stack = request.Stack();
    stack->Parameters.Read.Length = length;
    stack->Parameters.Read.ByteOffset = file->CurrentByteOffset;
    if (request.top->Flags & DO_BUFFERED_IO) {
        auto *sys = (uint8_t *)SystemBuffer(irp, length);
        if (write) {
            memcpy(sys, buffer, length);
        } else {
            memset(sys, 0, length);
            irp->Flags |= IRP_INPUT_OPERATION;
            irp->UserBuffer = buffer;
            TrackIrp(irp)->outputLength = length;
        }
    } else if (request.top->Flags & DO_DIRECT_IO) {
        if (length && !LockUserBuffer(irp, buffer, length, write ? IoReadAccess : IoWriteAccess)) {
            ObfDereferenceObject(file);
            return FailUnsent(irp, STATUS_ACCESS_VIOLATION, iosb);
        }
    } else {
        irp->UserBuffer = buffer;
    }
    IO_STATUS_BLOCK local{};
    IO_STATUS_BLOCK *result = iosb ? iosb : &local;
    // The file object outlives Send's dereference: the handle still holds it.
    status = request.Send(result);
    if (NT_SUCCESS(status))
        file->CurrentByteOffset.QuadPart += (LONGLONG)result->Information;
    return status;
}

NTSTATUS Process::NtReadFile(HANDLE h, void *buffer, ULONG length, IO_STATUS_BLOCK *iosb)
{
    return ReadWrite(impl_.get(), h, buffer, length, iosb, false);
}

NTSTATUS Process::NtWriteFile(HANDLE h, const void *buffer, ULONG length, IO_STATUS_BLOCK *iosb)
{
    return ReadWrite(impl_.get(), h, (void *)buffer, length, iosb, true);
}

NTSTATUS Process::NtSendMajor(HANDLE h, UCHAR major, IO_STATUS_BLOCK *iosb)
{
    ProcessContext context(impl_->eprocess);
    UserRequest request;
    NTSTATUS status = request.Begin(impl_->eprocess, h, major);
    if (!NT_SUCCESS(status))
        return status;
    return request.Send(iosb);
}

// Win32 layer ------------------------------------------------------------------------------------

HANDLE Process::CreateFile(const std::string &win32Path, ACCESS_MASK access, ULONG share)
{
    std::string path = win32Path;
    std::u16string nt;
    if (path.rfind("\\\\.\\", 0) == 0)
        nt = u"\\??\\" + Utf16(path.substr(4));
    else if (path.size() >= 2 && path[1] == ':')
        nt = u"\\??\\" + Utf16(path);
    else
        nt = Utf16(path);
    HANDLE h = INVALID_HANDLE;
    NTSTATUS status = NtCreateFile(&h, nt, access, share);
    impl_->lastStatus = status;
    impl_->lastError = RtlNtStatusToDosError(status);
    return NT_SUCCESS(status) ? h : INVALID_HANDLE;
}

static bool Win32Result(Process::Impl *impl, NTSTATUS status)
{
    impl->lastStatus = status;
    impl->lastError = RtlNtStatusToDosError(status);
    return !NT_ERROR(status) && status != STATUS_PENDING;
}

bool Process::DeviceIoControl(HANDLE h, ULONG code, const void *in, ULONG inLen, void *out, ULONG outLen, ULONG *returned)
{
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtDeviceIoControlFile(h, code, in, inLen, out, outLen, &iosb);
    if (returned)
        *returned = (ULONG)iosb.Information;
    // As on Windows, a warning (STATUS_BUFFER_OVERFLOW) is a failed call that still returned data.
    return Win32Result(impl_.get(), status) && !NT_WARNING(status);
}

bool Process::ReadFile(HANDLE h, void *buffer, ULONG length, ULONG *read)
{
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtReadFile(h, buffer, length, &iosb);
    if (read)
        *read = (ULONG)iosb.Information;
    return Win32Result(impl_.get(), status) && !NT_WARNING(status);
}

bool Process::WriteFile(HANDLE h, const void *buffer, ULONG length, ULONG *written)
{
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtWriteFile(h, buffer, length, &iosb);
    if (written)
        *written = (ULONG)iosb.Information;
    return Win32Result(impl_.get(), status) && !NT_WARNING(status);
}

bool Process::CloseHandle(HANDLE h)
{
    return Win32Result(impl_.get(), NtClose(h));
}

ULONG Process::GetLastError() const { return impl_->lastError; }
NTSTATUS Process::LastStatus() const { return impl_->lastStatus; }

} // namespace hk
