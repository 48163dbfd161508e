// A driver image that carries the key-server socket layer, so that the verifier's low-resource
// simulation (which fails only drivers' allocations) and its leak check at unload reach it.
#include "keyserver.h"

extern "C" {

LONG KsTestSocket()
{
    return KsSocket(KEYSERVER_AF_INET, 1, 0);
}

NTSTATUS KsTestLastError()
{
    return KsLastError();
}

VOID KsTestClose(LONG Index)
{
    KsClose(Index);
}

} // extern "C"

namespace {

VOID NTAPI KsTestUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    for (LONG i = 0; i < KEYSERVER_SOCKET_SLOTS; i++)
        KsClose(i);
    CloseTransportDevice();
}

} // namespace

VYR_DRIVER_ENTRY(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    DriverObject->DriverUnload = KsTestUnload;
    return OpenTransportDevice();
}
