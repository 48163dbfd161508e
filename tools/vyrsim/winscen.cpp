#include "winscen.h"

#include "scenario.h"

namespace vyr::tools {

namespace {

// The scenario's Win32 calls on the host kernel: one user-mode process, the calls with their Win32
// results and last-error codes as the host kernel's process gives them.
class HostCalls : public vyr::winscen::Win32Calls {
public:
    HostCalls() : process_(hk::Process::Create("vyrwinscen")) {}

    Handle Open(const std::string &name) override
    {
        HANDLE h = process_->CreateFile("\\\\.\\" + name);
        return h == hk::INVALID_HANDLE ? nullptr : h;
    }
    bool Control(Handle h, uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
                 uint32_t *returned) override
    {
        ULONG bytes = 0;
        bool ok = process_->DeviceIoControl(h, code, in, inLength, out, outLength, &bytes);
        *returned = bytes;
        return ok;
    }
    bool Write(Handle h, const void *data, uint32_t length, uint32_t *written) override
    {
        ULONG bytes = 0;
        bool ok = process_->WriteFile(h, data, length, &bytes);
        *written = bytes;
        return ok;
    }
    bool Read(Handle h, void *data, uint32_t length, uint32_t *read) override
    {
        ULONG bytes = 0;
        bool ok = process_->ReadFile(h, data, length, &bytes);
        *read = bytes;
        return ok;
    }
    void Close(Handle h) override { process_->CloseHandle(h); }
    uint32_t LastError() override { return process_->GetLastError(); }
    // Everything Plug and Play has to do runs before the wait returns.
    void Settle(uint32_t) override { hk::WaitPnpIdle(); }

private:
    std::shared_ptr<hk::Process> process_;
};

} // namespace

int RunWinScen(const vyr::sim::Topology &topology, FILE *out)
{
    vyr::winscen::Options options;
    options.topology = topology;
    HostCalls calls;
    // What the Win32 program reports about its wait differs between runs: it goes with the errors.
    return vyr::winscen::Run(calls, options, out, stderr);
}

} // namespace vyr::tools
