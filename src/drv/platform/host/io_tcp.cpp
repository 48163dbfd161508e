// \Device\Tcp: a transport driver that speaks the kernel transport interface over real host
// sockets, so that a driver's TCP client talks to a real server (on loopback in the tests).
//
// A create with the extended attribute "TransportAddress" opens an address endpoint, one with
// "ConnectionContext" a connection endpoint, one without either the control channel. Associate
// ties a connection to an address; connect, send and receive are pended and carried out by a host
// thread that polls its socket in short slices and gives up as soon as the IRP is cancelled, so a
// client's time-out (a wait on the scaled clock) can always take its request back.
#include "io_internal.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <thread>

namespace hk::internal {
namespace {

struct TcpEndpoint {
    ULONG kind = 0; // TDI_TRANSPORT_ADDRESS_FILE, TDI_CONNECTION_FILE or TDI_CONTROL_CHANNEL_FILE
    std::mutex lock;
    int fd = -1;
    bool connected = false;
    bool closing = false;
    PFILE_OBJECT address = nullptr; // associated address endpoint, referenced
    PVOID context = nullptr;        // the client's connection context
    ~TcpEndpoint()
    {
        if (fd >= 0)
            close(fd);
    }
};
using EndpointRef = std::shared_ptr<TcpEndpoint>;

PDRIVER_OBJECT g_tcpDriver;
PDEVICE_OBJECT g_tcpDevice;

// Requests being carried out by host threads; the transport goes only when they have ended.
std::mutex g_workLock;
std::condition_variable g_workDone;
int g_workers = 0;
// Set while the transport goes away: a request a client never took back ends as cancelled.
std::atomic<bool> g_stopping{false};

EndpointRef *EndpointOf(PFILE_OBJECT file)
{
    return file ? (EndpointRef *)file->FsContext : nullptr;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS StatusOfErrno(int error)
{
    switch (error) {
    case ECONNREFUSED:
        return STATUS_CONNECTION_REFUSED;
    case ENETUNREACH:
        return STATUS_NETWORK_UNREACHABLE;
    case EHOSTUNREACH:
        return STATUS_HOST_UNREACHABLE;
    case ETIMEDOUT:
        return STATUS_IO_TIMEOUT;
    case ECONNRESET:
    case EPIPE:
        return STATUS_CONNECTION_RESET;
    case ECONNABORTED:
        return STATUS_CONNECTION_ABORTED;
    case ENOTCONN:
        return STATUS_CONNECTION_DISCONNECTED;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

// The cancel routine only marks the request: its thread notices within one poll slice, takes
// the routine back and completes the IRP itself.
VOID NTAPI CancelRequest(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
}

bool Cancelled(PIRP irp)
{
    return __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) != 0 || g_stopping.load();
}

void FinishRequest(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    IoSetCancelRoutine(irp, nullptr);
    if (Cancelled(irp) && !NT_SUCCESS(status))
        status = STATUS_CANCELLED;
    Complete(irp, status, information);
}

// Waits until the socket is ready for `events` or the IRP is cancelled (then false).
bool WaitReady(int fd, short events, PIRP irp)
{
    for (;;) {
        if (Cancelled(irp))
            return false;
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, 5);
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return true; // the operation itself reports the error
    }
}

void RunConnect(PIRP irp, EndpointRef ep, sockaddr_in remote)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return FinishRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    NTSTATUS status = STATUS_SUCCESS;
    if (connect(fd, (sockaddr *)&remote, sizeof remote) != 0) {
        if (errno != EINPROGRESS) {
            status = StatusOfErrno(errno);
        } else if (!WaitReady(fd, POLLOUT, irp)) {
            status = STATUS_CANCELLED;
        } else {
            int error = 0;
            socklen_t len = sizeof error;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
            if (error)
                status = StatusOfErrno(error);
        }
    }
    if (NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(ep->lock);
        if (ep->closing || ep->fd >= 0) {
            status = STATUS_CONNECTION_ABORTED;
        } else {
            ep->fd = fd;
            ep->connected = true;
            fd = -1;
        }
    }
    if (fd >= 0)
        close(fd);
    FinishRequest(irp, status, 0);
}

void RunSend(PIRP irp, EndpointRef ep, const uint8_t *buffer, ULONG length)
{
    ULONG sent = 0;
    NTSTATUS status = STATUS_SUCCESS;
    while (sent < length) {
        ssize_t n = send(ep->fd, buffer + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += (ULONG)n;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (!WaitReady(ep->fd, POLLOUT, irp)) {
                status = STATUS_CANCELLED;
                break;
            }
            continue;
        }
        status = StatusOfErrno(errno);
        break;
    }
    FinishRequest(irp, sent && status == STATUS_CANCELLED ? STATUS_SUCCESS : status, sent);
}

void RunReceive(PIRP irp, EndpointRef ep, uint8_t *buffer, ULONG length, bool peek)
{
    for (;;) {
        if (!WaitReady(ep->fd, POLLIN, irp))
            return FinishRequest(irp, STATUS_CANCELLED, 0);
        ssize_t n = recv(ep->fd, buffer, length, (peek ? MSG_PEEK : 0) | MSG_DONTWAIT);
        if (n >= 0)
            // 0 bytes: the peer closed its side, which the client learns from the empty result.
            return FinishRequest(irp, STATUS_SUCCESS, (ULONG_PTR)n);
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            continue;
        return FinishRequest(irp, StatusOfErrno(errno), 0);
    }
}

// Pends `irp` and hands `work` to a host thread.
NTSTATUS StartRequest(PIRP irp, std::function<void()> work)
{
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelRequest);
    {
        std::lock_guard<std::mutex> guard(g_workLock);
        g_workers++;
    }
    std::thread([work = std::move(work)] {
        work();
        std::lock_guard<std::mutex> guard(g_workLock);
        if (--g_workers == 0)
            g_workDone.notify_all();
    }).detach();
    return STATUS_PENDING;
}

const FILE_FULL_EA_INFORMATION *FindEa(PIRP irp, PIO_STACK_LOCATION stack, const char *name, USHORT minValue)
{
    auto *ea = (const FILE_FULL_EA_INFORMATION *)irp->AssociatedIrp.SystemBuffer;
    ULONG length = stack->Parameters.Create.EaLength;
    size_t nameLength = strlen(name);
    if (!ea || length < offsetof(FILE_FULL_EA_INFORMATION, EaName))
        return nullptr;
    // Every length in the record is checked against the buffer before it is used.
    size_t need = offsetof(FILE_FULL_EA_INFORMATION, EaName) + (size_t)ea->EaNameLength + 1 + ea->EaValueLength;
    if (need > length || ea->EaNameLength != nameLength || memcmp(ea->EaName, name, nameLength) != 0 ||
        ea->EaValueLength < minValue)
        return nullptr;
    return ea;
}

NTSTATUS DispatchCreate(PIRP irp, PIO_STACK_LOCATION stack)
{
    auto ep = std::make_shared<TcpEndpoint>();
    if (irp->AssociatedIrp.SystemBuffer && stack->Parameters.Create.EaLength) {
        if (FindEa(irp, stack, TdiTransportAddress, sizeof(TA_IP_ADDRESS))) {
            ep->kind = TDI_TRANSPORT_ADDRESS_FILE;
        } else if (const auto *ea = FindEa(irp, stack, TdiConnectionContext, sizeof(PVOID))) {
            ep->kind = TDI_CONNECTION_FILE;
            memcpy(&ep->context, ea->EaName + ea->EaNameLength + 1, sizeof(PVOID));
        } else {
            return Complete(irp, STATUS_INVALID_PARAMETER);
        }
    } else {
        ep->kind = TDI_CONTROL_CHANNEL_FILE;
    }
    stack->FileObject->FsContext = new EndpointRef(ep);
    stack->FileObject->FsContext2 = (PVOID)(ULONG_PTR)ep->kind;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchCleanup(PIRP irp, PIO_STACK_LOCATION stack)
{
    if (EndpointRef *ref = EndpointOf(stack->FileObject)) {
        std::lock_guard<std::mutex> guard((*ref)->lock);
        (*ref)->closing = true;
        // Ends the connection; the socket itself goes with the last reference.
        if ((*ref)->fd >= 0)
            shutdown((*ref)->fd, SHUT_RDWR);
    }
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchClose(PIRP irp, PIO_STACK_LOCATION stack)
{
    if (EndpointRef *ref = EndpointOf(stack->FileObject)) {
        PFILE_OBJECT address = nullptr;
        {
            std::lock_guard<std::mutex> guard((*ref)->lock);
            address = (*ref)->address;
            (*ref)->address = nullptr;
        }
        if (address)
            ObfDereferenceObject(address);
        delete ref;
        stack->FileObject->FsContext = nullptr;
    }
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchInternal(PIRP irp, PIO_STACK_LOCATION stack)
{
    EndpointRef *ref = EndpointOf(stack->FileObject);
    if (!ref || (*ref)->kind != TDI_CONNECTION_FILE)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    EndpointRef ep = *ref;

    switch (stack->MinorFunction) {
    case TDI_ASSOCIATE_ADDRESS: {
        auto *request = (PTDI_REQUEST_KERNEL_ASSOCIATE)&stack->Parameters;
        PVOID object = nullptr;
        NTSTATUS status = ObReferenceObjectByHandle(request->AddressHandle, 0, *IoFileObjectType, KernelMode, &object,
                                                   nullptr);
        if (!NT_SUCCESS(status))
            return Complete(irp, status);
        auto *address = (PFILE_OBJECT)object;
        EndpointRef *addressRef = EndpointOf(address);
        if (address->DeviceObject != g_tcpDevice || !addressRef || (*addressRef)->kind != TDI_TRANSPORT_ADDRESS_FILE) {
            ObfDereferenceObject(address);
            return Complete(irp, STATUS_INVALID_HANDLE);
        }
        std::lock_guard<std::mutex> guard(ep->lock);
        if (ep->address) {
            ObfDereferenceObject(address);
            return Complete(irp, STATUS_INVALID_PARAMETER);
        }
        ep->address = address;
        return Complete(irp, STATUS_SUCCESS);
    }
    case TDI_DISASSOCIATE_ADDRESS: {
        PFILE_OBJECT address;
        {
            std::lock_guard<std::mutex> guard(ep->lock);
            address = ep->address;
            ep->address = nullptr;
        }
        if (address)
            ObfDereferenceObject(address);
        return Complete(irp, address ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
    }
    case TDI_CONNECT: {
        auto *request = (PTDI_REQUEST_KERNEL_CONNECT)&stack->Parameters;
        PTDI_CONNECTION_INFORMATION info = request->RequestConnectionInformation;
        if (!info || !info->RemoteAddress || info->RemoteAddressLength < (LONG)sizeof(TA_IP_ADDRESS))
            return Complete(irp, STATUS_INVALID_ADDRESS);
        TA_IP_ADDRESS remote;
        memcpy(&remote, info->RemoteAddress, sizeof remote);
        if (remote.TAAddressCount < 1 || remote.Address[0].AddressType != TDI_ADDRESS_TYPE_IP ||
            remote.Address[0].AddressLength < TDI_ADDRESS_LENGTH_IP)
            return Complete(irp, STATUS_INVALID_ADDRESS);
        {
            std::lock_guard<std::mutex> guard(ep->lock);
            if (!ep->address)
                return Complete(irp, STATUS_INVALID_PARAMETER);
            if (ep->connected || ep->fd >= 0)
                return Complete(irp, STATUS_INVALID_DEVICE_STATE);
        }
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = remote.Address[0].Address[0].sin_port;
        sin.sin_addr.s_addr = remote.Address[0].Address[0].in_addr;
        return StartRequest(irp, [irp, ep, sin] { RunConnect(irp, ep, sin); });
    }
    case TDI_SEND:
    case TDI_RECEIVE: {
        {
            std::lock_guard<std::mutex> guard(ep->lock);
            if (!ep->connected || ep->closing)
                return Complete(irp, STATUS_INVALID_CONNECTION);
        }
        if (!irp->MdlAddress)
            return Complete(irp, STATUS_INVALID_PARAMETER);
        auto *buffer = (uint8_t *)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
        ULONG mdlLength = MmGetMdlByteCount(irp->MdlAddress);
        if (stack->MinorFunction == TDI_SEND) {
            auto *request = (PTDI_REQUEST_KERNEL_SEND)&stack->Parameters;
            ULONG length = request->SendLength < mdlLength ? request->SendLength : mdlLength;
            return StartRequest(irp, [irp, ep, buffer, length] { RunSend(irp, ep, buffer, length); });
        }
        auto *request = (PTDI_REQUEST_KERNEL_RECEIVE)&stack->Parameters;
        ULONG length = request->ReceiveLength < mdlLength ? request->ReceiveLength : mdlLength;
        bool peek = (request->ReceiveFlags & TDI_RECEIVE_PEEK) != 0;
        return StartRequest(irp, [irp, ep, buffer, length, peek] { RunReceive(irp, ep, buffer, length, peek); });
    }
    default:
        return Complete(irp, STATUS_NOT_IMPLEMENTED);
    }
}

NTSTATUS NTAPI TcpDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        return DispatchCreate(irp, stack);
    case IRP_MJ_CLEANUP:
        return DispatchCleanup(irp, stack);
    case IRP_MJ_CLOSE:
        return DispatchClose(irp, stack);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return DispatchInternal(irp, stack);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

void FreeTcpDriver(void *) {}

} // namespace

void TcpCreateTransport()
{
    g_stopping = false;
    g_tcpDriver = (PDRIVER_OBJECT)ObCreateObject(ObType::Driver, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION), FreeTcpDriver);
    g_tcpDriver->Type = IO_TYPE_DRIVER;
    g_tcpDriver->Size = sizeof(DRIVER_OBJECT);
    g_tcpDriver->DriverExtension = (PDRIVER_EXTENSION)(g_tcpDriver + 1);
    g_tcpDriver->DriverExtension->DriverObject = g_tcpDriver;
    static char16_t name[] = u"\\Driver\\Tcpip";
    g_tcpDriver->DriverName.Buffer = (PWCH)name;
    g_tcpDriver->DriverName.Length = (USHORT)(sizeof(name) - sizeof(char16_t));
    g_tcpDriver->DriverName.MaximumLength = sizeof(name);
    static char16_t service[] = u"Tcpip";
    g_tcpDriver->DriverExtension->ServiceKeyName.Buffer = (PWCH)service;
    g_tcpDriver->DriverExtension->ServiceKeyName.Length = (USHORT)(sizeof(service) - sizeof(char16_t));
    g_tcpDriver->DriverExtension->ServiceKeyName.MaximumLength = sizeof(service);
    for (auto &major : g_tcpDriver->MajorFunction)
        major = TcpDispatch;
    PDEVICE_OBJECT device = nullptr;
    if (NT_SUCCESS(IoCreateDeviceFor(g_tcpDriver, 0, u"\\Device\\Tcp", FILE_DEVICE_NETWORK, 0, FALSE, &device, nullptr))) {
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        g_tcpDevice = device;
    }
}

void TcpDeleteTransport()
{
    {
        // Requests still pending now were left behind by a client: end them before the device goes.
        g_stopping = true;
        std::unique_lock<std::mutex> guard(g_workLock);
        g_workDone.wait(guard, [] { return g_workers == 0; });
    }
    if (g_tcpDevice) {
        IoDeleteDevice(g_tcpDevice);
        g_tcpDevice = nullptr;
    }
    if (g_tcpDriver) {
        ObfDereferenceObject(g_tcpDriver);
        g_tcpDriver = nullptr;
    }
}

} // namespace hk::internal
