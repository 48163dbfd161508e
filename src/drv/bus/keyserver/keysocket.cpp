// A small socket layer over the kernel transport interface of \Device\Tcp: sockets named by their
// slot in a process-wide table, a last-error value, and socket/connect/send/receive/close, each one
// internal device control request to the transport that the caller waits for. On top of it the
// relay's operations on the current key server: OpenSocket, CloseSocket, KeyServerExchange.
//
// The socket table and the last error are shared by the relays of all logical devices, which may
// run at once; a spin lock guards both (held only to claim, look up or empty a slot).
#include "keyserver.h"

namespace {

// The transport device, obtained on the first open of a logical device and kept until unload.
PFILE_OBJECT g_transportFile;
PDEVICE_OBJECT g_transportDevice;

KSPIN_LOCK g_socketLock; // zero is the initialised state of a spin lock
TdiSocket *g_socketTable[KEYSERVER_SOCKET_SLOTS];
NTSTATUS g_socketLastError;

// 0xFFFFFFFF02FAF080: a relative wait of about 424.5 seconds, the wait for everything but a
// receive with a server's own time-out.
constexpr LONGLONG KSP_DEFAULT_WAIT = (LONGLONG)0xFFFFFFFF02FAF080ULL;

enum KspWaitKind { KspWaitAbortOnTimeout, KspWaitReceive };

WCHAR g_transportName[] = L"\\Device\\Tcp";

UNICODE_STRING KspTransportName()
{
    UNICODE_STRING name;
    name.Buffer = g_transportName;
    name.Length = (USHORT)(sizeof(g_transportName) - sizeof(WCHAR));
    name.MaximumLength = (USHORT)sizeof(g_transportName);
    return name;
}

void KspSetLastError(NTSTATUS Status)
{
    KIRQL irql;
    KeAcquireSpinLock(&g_socketLock, &irql);
    g_socketLastError = Status;
    KeReleaseSpinLock(&g_socketLock, irql);
}

TdiSocket *KspLookup(LONG Index)
{
    if (Index < 0 || Index >= KEYSERVER_SOCKET_SLOTS)
        return nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&g_socketLock, &irql);
    TdiSocket *socket = g_socketTable[Index];
    KeReleaseSpinLock(&g_socketLock, irql);
    return socket;
}

inline USHORT KspSwap16(USHORT v)
{
    return (USHORT)((v << 8) | (v >> 8));
}

struct KspRequestWait {
    KEVENT event;
    NTSTATUS status;
    ULONG_PTR information;
};

NTSTATUS NTAPI KspRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    auto *wait = (KspRequestWait *)Context;
    wait->status = Irp->IoStatus.Status;
    wait->information = Irp->IoStatus.Information;
    // The waiter frees the IRP and its MDLs: it may still be cancelling this IRP after a time-out.
    KeSetEvent(&wait->event, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void KspFreeRequest(PIRP Irp)
{
    PMDL mdl = Irp->MdlAddress;
    while (mdl) {
        PMDL next = mdl->Next;
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
    Irp->MdlAddress = nullptr;
    IoFreeIrp(Irp);
}

// Describes Buffer for the transport: an MDL probed and locked for the access the request needs.
NTSTATUS KspAttachBuffer(PIRP Irp, PVOID Buffer, ULONG Length, LOCK_OPERATION Operation)
{
    PMDL mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, Irp);
    if (!mdl)
        return STATUS_INSUFFICIENT_RESOURCES;
#if defined(_WIN32)
    // The buffers are the relay's own non-paged pool: probing them cannot fault.
    MmProbeAndLockPages(mdl, KernelMode, Operation);
    NTSTATUS status = STATUS_SUCCESS;
#else
    NTSTATUS status = HkProbeAndLockPages(mdl, KernelMode, Operation);
#endif
    if (!NT_SUCCESS(status)) {
        Irp->MdlAddress = nullptr;
        IoFreeMdl(mdl);
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

/*++
    Sends one prepared request to the transport and waits for it. Timeout null: the default wait.
    On a time-out the request is cancelled and waited for without limit; the result is then
    STATUS_CONNECTION_ABORTED, or STATUS_TIMEOUT for a receive -- unless the request completed
    with success after all, whose result stands (its data has left the transport's stream).
--*/
NTSTATUS KspCallTransport(PIRP Irp, KspRequestWait *Wait, PLARGE_INTEGER Timeout, KspWaitKind Kind,
                          ULONG_PTR *Information)
{
    *Information = 0;
    LARGE_INTEGER defaultWait;
    defaultWait.QuadPart = KSP_DEFAULT_WAIT;
    NTSTATUS status = IoCallDriver(g_transportDevice, Irp);
    if (status == STATUS_PENDING) {
        status = KeWaitForSingleObject(&Wait->event, Executive, KernelMode, FALSE, Timeout ? Timeout : &defaultWait);
        if (status == STATUS_TIMEOUT) {
            IoCancelIrp(Irp);
            KeWaitForSingleObject(&Wait->event, Executive, KernelMode, FALSE, nullptr);
            if (NT_SUCCESS(Wait->status) && Wait->status != STATUS_CANCELLED && Wait->information) {
                status = Wait->status;
            } else {
                KspFreeRequest(Irp);
                return Kind == KspWaitReceive ? STATUS_TIMEOUT : STATUS_CONNECTION_ABORTED;
            }
        } else {
            status = Wait->status;
        }
    } else {
        // Completed in the call: the completion routine has run already.
        KeWaitForSingleObject(&Wait->event, Executive, KernelMode, FALSE, nullptr);
    }
    *Information = Wait->information;
    KspFreeRequest(Irp);
    return status;
}

// An IRP for one transport request on FileObject, with the completion routine set.
PIRP KspBuildRequest(PFILE_OBJECT FileObject, UCHAR Minor, KspRequestWait *Wait, PIO_STACK_LOCATION *Stack)
{
    KeInitializeEvent(&Wait->event, NotificationEvent, FALSE);
    Wait->status = STATUS_PENDING;
    Wait->information = 0;
    PIRP irp = IoAllocateIrp((CCHAR)(g_transportDevice->StackSize + 1), FALSE);
    if (!irp)
        return nullptr;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack->MinorFunction = Minor;
    stack->DeviceObject = g_transportDevice;
    stack->FileObject = FileObject;
    IoSetCompletionRoutine(irp, KspRequestDone, Wait, TRUE, TRUE, TRUE);
    *Stack = stack;
    return irp;
}

// Opens one endpoint of \Device\Tcp with a single extended attribute.
NTSTATUS KspOpenEndpoint(const CHAR *Name, UCHAR NameLength, const VOID *Value, USHORT ValueLength, PHANDLE Handle,
                         PFILE_OBJECT *FileObject)
{
    *Handle = nullptr;
    *FileObject = nullptr;
    ULONG eaLength = FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) + NameLength + 1 + ValueLength;
    auto *ea = (PFILE_FULL_EA_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, eaLength, VYR_TAG_TDI_EA);
    if (!ea)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(ea, eaLength);
    ea->EaNameLength = NameLength;
    ea->EaValueLength = ValueLength;
    RtlCopyMemory(ea->EaName, Name, NameLength + 1);
    RtlCopyMemory(ea->EaName + NameLength + 1, Value, ValueLength);

    UNICODE_STRING deviceName = KspTransportName();
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &deviceName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    RtlZeroMemory(&iosb, sizeof(iosb));
    HANDLE handle = nullptr;
    NTSTATUS status = ZwCreateFile(&handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &iosb, nullptr,
                                   FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN_IF, 0, ea, eaLength);
    ExFreePoolWithTag(ea, VYR_TAG_TDI_EA);
    if (!NT_SUCCESS(status))
        return status;
    PVOID object = nullptr;
    status = ObReferenceObjectByHandle(handle, GENERIC_READ | GENERIC_WRITE, *IoFileObjectType, KernelMode, &object,
                                       nullptr);
    if (!NT_SUCCESS(status)) {
        ZwClose(handle);
        return status;
    }
    *Handle = handle;
    *FileObject = (PFILE_OBJECT)object;
    return STATUS_SUCCESS;
}

// Releases what a TdiSocket holds: the connection endpoint first (which ends the connection),
// then the address endpoint.
void KspReleaseSocket(TdiSocket *Socket)
{
    if (Socket->connectionFile)
        ObfDereferenceObject(Socket->connectionFile);
    if (Socket->connectionHandle)
        ZwClose(Socket->connectionHandle);
    if (Socket->addressFile)
        ObfDereferenceObject(Socket->addressFile);
    if (Socket->addressHandle)
        ZwClose(Socket->addressHandle);
    ExFreePoolWithTag(Socket, VYR_TAG_TDI_SOCKET);
}

NTSTATUS KspAssociate(TdiSocket *Socket)
{
    KspRequestWait wait;
    PIO_STACK_LOCATION stack;
    PIRP irp = KspBuildRequest(Socket->connectionFile, TDI_ASSOCIATE_ADDRESS, &wait, &stack);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto *request = (PTDI_REQUEST_KERNEL_ASSOCIATE)&stack->Parameters;
    request->AddressHandle = Socket->addressHandle;
    ULONG_PTR information;
    return KspCallTransport(irp, &wait, nullptr, KspWaitAbortOnTimeout, &information);
}

} // namespace

/*++
    Obtains \Device\Tcp once. Called at every create of a logical device until it succeeds; its
    failure is not the create's: every socket operation then fails with STATUS_INVALID_PARAMETER.
--*/
NTSTATUS OpenTransportDevice()
{
    if (g_transportDevice)
        return STATUS_SUCCESS;
    UNICODE_STRING name = KspTransportName();
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device);
    if (!NT_SUCCESS(status))
        return status;
    // Two creates may race here; the first to store wins and the other lets its reference go.
    if (InterlockedCompareExchangePointer((PVOID volatile *)&g_transportFile, file, nullptr) != nullptr) {
        ObfDereferenceObject(file);
        return STATUS_SUCCESS;
    }
    InterlockedExchangePointer((PVOID volatile *)&g_transportDevice, device);
    return STATUS_SUCCESS;
}

// At unload: lets the transport device go.
VOID CloseTransportDevice()
{
    PFILE_OBJECT file = (PFILE_OBJECT)InterlockedExchangePointer((PVOID volatile *)&g_transportFile, nullptr);
    InterlockedExchangePointer((PVOID volatile *)&g_transportDevice, nullptr);
    if (file)
        ObfDereferenceObject(file);
}

NTSTATUS KsLastError()
{
    KIRQL irql;
    KeAcquireSpinLock(&g_socketLock, &irql);
    NTSTATUS status = g_socketLastError;
    KeReleaseSpinLock(&g_socketLock, irql);
    return status;
}

// socket, with the reason of a failure also given to the caller alone: the last error is shared
// with the relays of other devices and may have changed by the time the caller reads it.
static LONG KspSocket(LONG Family, LONG Type, LONG Protocol, NTSTATUS *Reason)
{
    *Reason = STATUS_SUCCESS;
    if (Family != KEYSERVER_AF_INET || Type != 1 || Protocol != 0 || !g_transportDevice) {
        *Reason = STATUS_INVALID_PARAMETER;
        KspSetLastError(STATUS_INVALID_PARAMETER);
        return -1;
    }
    auto *socket = (TdiSocket *)ExAllocatePoolWithTag(NonPagedPool, sizeof(TdiSocket), VYR_TAG_TDI_SOCKET);
    if (!socket) {
        *Reason = STATUS_INSUFFICIENT_RESOURCES;
        KspSetLastError(STATUS_INSUFFICIENT_RESOURCES);
        return -1;
    }
    RtlZeroMemory(socket, sizeof(*socket));

    KeyServerTransportAddress any;
    RtlZeroMemory(&any, sizeof(any));
    any.addressCount = 1;
    any.addressLength = 14;
    any.addressType = 2;
    NTSTATUS status = KspOpenEndpoint(TdiTransportAddress, (UCHAR)TDI_TRANSPORT_ADDRESS_LENGTH, &any, sizeof(any),
                                      &socket->addressHandle, &socket->addressFile);
    if (NT_SUCCESS(status)) {
        PVOID context = socket;
        status = KspOpenEndpoint(TdiConnectionContext, (UCHAR)TDI_CONNECTION_CONTEXT_LENGTH, &context, sizeof(context),
                                 &socket->connectionHandle, &socket->connectionFile);
    }
    if (NT_SUCCESS(status))
        status = KspAssociate(socket);
    if (!NT_SUCCESS(status)) {
        *Reason = status;
        KspSetLastError(status);
        KspReleaseSocket(socket);
        return -1;
    }

    LONG index = -1;
    KIRQL irql;
    KeAcquireSpinLock(&g_socketLock, &irql);
    for (LONG i = 0; i < KEYSERVER_SOCKET_SLOTS; i++)
        if (!g_socketTable[i]) {
            g_socketTable[i] = socket;
            index = i;
            break;
        }
    if (index < 0)
        g_socketLastError = STATUS_INSUFFICIENT_RESOURCES;
    KeReleaseSpinLock(&g_socketLock, irql);
    if (index < 0) {
        *Reason = STATUS_INSUFFICIENT_RESOURCES;
        KspReleaseSocket(socket);
    }
    return index;
}

/*++
    A TCP socket over IPv4 (family 2, type 1, protocol 0 only): a transport address endpoint on
    any local port, a connection endpoint, the two associated. Returns its slot or -1 with the
    reason in the last error.
--*/
LONG KsSocket(LONG Family, LONG Type, LONG Protocol)
{
    NTSTATUS reason;
    return KspSocket(Family, Type, Protocol, &reason);
}

NTSTATUS KsConnect(LONG Index, const KeyServerSockAddr4 *Address)
{
    TdiSocket *socket = KspLookup(Index);
    if (!socket || !Address) {
        KspSetLastError(STATUS_INVALID_PARAMETER);
        return (NTSTATUS)-1;
    }
    if (!g_transportDevice) {
        KspSetLastError(STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    KeyServerTransportAddress remote;
    RtlZeroMemory(&remote, sizeof(remote));
    remote.addressCount = 1;
    remote.addressLength = 14;
    remote.addressType = 2;
    remote.port = Address->port;
    remote.address = Address->address;
    TDI_CONNECTION_INFORMATION info;
    RtlZeroMemory(&info, sizeof(info));
    info.RemoteAddressLength = sizeof(remote);
    info.RemoteAddress = &remote;

    KspRequestWait wait;
    PIO_STACK_LOCATION stack;
    PIRP irp = KspBuildRequest(socket->connectionFile, TDI_CONNECT, &wait, &stack);
    if (!irp) {
        KspSetLastError(STATUS_INSUFFICIENT_RESOURCES);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto *request = (PTDI_REQUEST_KERNEL_CONNECT)&stack->Parameters;
    request->RequestFlags = 0;
    request->RequestConnectionInformation = &info;
    request->ReturnConnectionInformation = &info;
    request->RequestSpecific = nullptr; // no transport time-out
    ULONG_PTR information;
    NTSTATUS status = KspCallTransport(irp, &wait, nullptr, KspWaitAbortOnTimeout, &information);
    if (NT_SUCCESS(status)) {
        socket->connected = 1;
        return STATUS_SUCCESS;
    }
    KspSetLastError(status);
    return status;
}

NTSTATUS KsSend(LONG Index, const VOID *Buffer, ULONG Length, ULONG *BytesSent)
{
    if (BytesSent)
        *BytesSent = 0;
    TdiSocket *socket = KspLookup(Index);
    if (!socket || !g_transportDevice || !Buffer || !Length)
        return STATUS_INVALID_PARAMETER;
    KspRequestWait wait;
    PIO_STACK_LOCATION stack;
    PIRP irp = KspBuildRequest(socket->connectionFile, TDI_SEND, &wait, &stack);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = KspAttachBuffer(irp, (PVOID)Buffer, Length, IoReadAccess);
    if (!NT_SUCCESS(status)) {
        IoFreeIrp(irp);
        return status;
    }
    auto *request = (PTDI_REQUEST_KERNEL_SEND)&stack->Parameters;
    request->SendLength = Length;
    request->SendFlags = 0;
    ULONG_PTR sent = 0;
    status = KspCallTransport(irp, &wait, nullptr, KspWaitAbortOnTimeout, &sent);
    if (!NT_SUCCESS(status))
        return status;
    if (BytesSent)
        *BytesSent = (ULONG)sent;
    return sent == Length ? status : STATUS_CONNECTION_ABORTED;
}

NTSTATUS KsReceive(LONG Index, VOID *Buffer, ULONG Length, ULONG *BytesReceived, PLARGE_INTEGER Timeout, BOOLEAN Peek)
{
    if (BytesReceived)
        *BytesReceived = 0;
    TdiSocket *socket = KspLookup(Index);
    if (!socket || !g_transportDevice || !Buffer || !Length || !BytesReceived)
        return STATUS_INVALID_PARAMETER;
    KspRequestWait wait;
    PIO_STACK_LOCATION stack;
    PIRP irp = KspBuildRequest(socket->connectionFile, TDI_RECEIVE, &wait, &stack);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = KspAttachBuffer(irp, Buffer, Length, IoWriteAccess);
    if (!NT_SUCCESS(status)) {
        IoFreeIrp(irp);
        return status;
    }
    auto *request = (PTDI_REQUEST_KERNEL_RECEIVE)&stack->Parameters;
    request->ReceiveLength = Length;
    request->ReceiveFlags = Peek ? TDI_RECEIVE_PEEK : TDI_RECEIVE_NORMAL;
    ULONG_PTR received = 0;
    status = KspCallTransport(irp, &wait, Timeout, KspWaitReceive, &received);
    if (status == STATUS_TIMEOUT || !NT_SUCCESS(status))
        return status;
    // The transport never reports more than it was given room for; a count that says otherwise
    // is not believed.
    if (received > Length)
        return STATUS_CONNECTION_ABORTED;
    *BytesReceived = (ULONG)received;
    return received ? status : STATUS_CONNECTION_ABORTED;
}

VOID KsClose(LONG Index)
{
    if (Index < 0 || Index >= KEYSERVER_SOCKET_SLOTS)
        return;
    KIRQL irql;
    KeAcquireSpinLock(&g_socketLock, &irql);
    TdiSocket *socket = g_socketTable[Index];
    g_socketTable[Index] = nullptr;
    KeReleaseSpinLock(&g_socketLock, irql);
    if (socket)
        KspReleaseSocket(socket);
}

/*++
    Connects to the table's current server. Each call counts one attempt of the relay; more
    attempts than servers end it with STATUS_UNEXPECTED_NETWORK_ERROR.
--*/
NTSTATUS OpenSocket(KeyRelayState *Relay)
{
    if (!Relay)
        return STATUS_INVALID_PARAMETER;
    KeyServerTable *table = &Relay->table;
    table->attempts++;
    if (table->attempts > table->serverCount)
        return STATUS_UNEXPECTED_NETWORK_ERROR;
    if (table->currentServer < 0 || table->currentServer >= table->serverCount)
        return STATUS_INVALID_PARAMETER;
    KeyServerEntry *entry = &table->entries[table->currentServer];
    NTSTATUS reason;
    LONG index = KspSocket((LONG)entry->family, 1, 0, &reason);
    entry->socket = index;
    if (index < 0)
        return reason;
    Relay->socketOpen = 1;
    // Only IPv4 entries get this far: socket refuses the IPv6 family. The status connect returns
    // is the one it records as the last error.
    NTSTATUS status = KsConnect(index, &entry->ipv4);
    if (!NT_SUCCESS(status)) {
        CloseSocket(Relay);
        return status;
    }
    return STATUS_SUCCESS;
}

VOID CloseSocket(KeyRelayState *Relay)
{
    if (!Relay || !Relay->socketOpen)
        return;
    KeyServerTable *table = &Relay->table;
    if (table->currentServer >= 0 && table->currentServer < KEYSERVER_MAX_SERVERS) {
        KeyServerEntry *entry = &table->entries[table->currentServer];
        KsClose(entry->socket);
        entry->socket = -1;
    }
    Relay->socketOpen = 0;
}

/*++
    Sends one message to the current server and receives its reply into ReceiveBuffer, which has
    room for KEYSERVER_MAX_MESSAGE bytes. The reply must begin with the five bytes the message
    began with (the frame header). TCP may deliver a reply in pieces, and acting on a cut server
    command would run a wrong drive command, so receiving goes on until the frame's declared
    length (the 32-bit value after the header, plus the 9 bytes up to its end) has arrived, up to
    the buffer's size and within the server's time-out.
--*/
NTSTATUS KeyServerExchange(KeyRelayState *Relay, const UCHAR *SendBuffer, LONG SendLength, UCHAR *ReceiveBuffer,
                           ULONG *ReceivedLength)
{
    if (!Relay || !SendBuffer || !ReceiveBuffer || !ReceivedLength || SendLength <= 0)
        return STATUS_INVALID_PARAMETER;
    *ReceivedLength = 0;
    KeyServerTable *table = &Relay->table;
    if (table->currentServer < 0 || table->currentServer >= KEYSERVER_MAX_SERVERS)
        return STATUS_INVALID_PARAMETER;
    KeyServerEntry *entry = &table->entries[table->currentServer];
    if (entry->socket < 0 || entry->socket >= KEYSERVER_SOCKET_SLOTS || !KspLookup(entry->socket))
        return STATUS_INVALID_PARAMETER;
    // Without a whole frame header there is nothing to compare the reply with.
    if (SendLength < 5)
        return STATUS_INVALID_PARAMETER;

    ULONG sent = 0;
    NTSTATUS status = KsSend(entry->socket, SendBuffer, (ULONG)SendLength, &sent);
    if (!NT_SUCCESS(status)) {
        // A short send (the transport took part of the message) ends the exchange as cancelled.
        if (status == STATUS_CONNECTION_ABORTED && sent != 0)
            status = STATUS_CANCELLED;
        KspSetLastError(status);
        return status;
    }

    RtlZeroMemory(ReceiveBuffer, 5);
    LARGE_INTEGER now, deadline;
    KeQuerySystemTime(&now);
    deadline.QuadPart = now.QuadPart + (LONGLONG)entry->timeout * 10000000LL;
    ULONG received = 0;
    ULONG wanted = 9; // the header and the length field, then the whole frame
    while (received < wanted) {
        LARGE_INTEGER timeout;
        KeQuerySystemTime(&now);
        timeout.QuadPart = -(deadline.QuadPart - now.QuadPart);
        if (timeout.QuadPart >= 0) {
            status = STATUS_TIMEOUT;
            break;
        }
        ULONG got = 0;
        status = KsReceive(entry->socket, ReceiveBuffer + received, KEYSERVER_MAX_MESSAGE - received, &got, &timeout,
                           FALSE);
        if (status == STATUS_TIMEOUT || !NT_SUCCESS(status))
            break;
        received += got;
        if (received >= 5 && !RtlEqualMemory(ReceiveBuffer, SendBuffer, 5))
            return STATUS_CANCELLED;
        if (received >= 9 && wanted == 9) {
            ULONG declared = ((ULONG)ReceiveBuffer[5] << 24) | ((ULONG)ReceiveBuffer[6] << 16) |
                             ((ULONG)ReceiveBuffer[7] << 8) | (ULONG)ReceiveBuffer[8];
            wanted = declared > KEYSERVER_MAX_MESSAGE - 9 ? KEYSERVER_MAX_MESSAGE : declared + 9;
        }
    }
    if (received < wanted) {
        // A silent server, a closed connection or a frame cut short: nothing here may be acted on.
        if (status == STATUS_TIMEOUT || received)
            return STATUS_CANCELLED;
        return status;
    }
    *ReceivedLength = received;
    return STATUS_SUCCESS;
}
