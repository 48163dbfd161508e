// vyrwinscen: the failover scenario (scenario.h) as a Win32 console program, through the real
// Win32 calls: CreateFileW, DeviceIoControl, WriteFile, ReadFile. A test program: it is built with
// the Windows images but never goes into the package.
//
//   vyrwinscen [--drives N] [--changers N] [--paths N] [--ports N] [--records N] [--move FROM:TO]
//              [--wait SECONDS]
#include "scenario.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

namespace {

class Win32 : public vyr::winscen::Win32Calls {
public:
    Handle Open(const std::string &name) override
    {
        std::wstring path = L"\\\\.\\" + std::wstring(name.begin(), name.end());
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            last_ = GetLastError();
            return nullptr;
        }
        return h;
    }

    bool Control(Handle h, uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
                 uint32_t *returned) override
    {
        DWORD bytes = 0;
        BOOL ok = DeviceIoControl((HANDLE)h, code, (void *)in, inLength, out, outLength, &bytes, nullptr);
        last_ = ok ? ERROR_SUCCESS : GetLastError();
        *returned = bytes;
        return ok;
    }

    bool Write(Handle h, const void *data, uint32_t length, uint32_t *written) override
    {
        DWORD bytes = 0;
        BOOL ok = WriteFile((HANDLE)h, data, length, &bytes, nullptr);
        last_ = ok ? ERROR_SUCCESS : GetLastError();
        *written = bytes;
        return ok;
    }

    bool Read(Handle h, void *data, uint32_t length, uint32_t *read) override
    {
        DWORD bytes = 0;
        BOOL ok = ReadFile((HANDLE)h, data, length, &bytes, nullptr);
        last_ = ok ? ERROR_SUCCESS : GetLastError();
        *read = bytes;
        return ok;
    }

    void Close(Handle h) override { CloseHandle((HANDLE)h); }
    uint32_t LastError() override { return last_; }
    void Settle(uint32_t milliseconds) override { Sleep(milliseconds); }

private:
    DWORD last_ = ERROR_SUCCESS;
};

} // namespace

int main(int argc, char **argv)
{
    // The report is compared line for line with the host build's: no CR before each LF.
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc > 1 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help")) {
        printf("usage: vyrwinscen [option ...]\n\nThe failover scenario through \\\\.\\TapeN and \\\\.\\Changer0, with "
               "faults injected through \\\\.\\VyrFabricCtl.\n\n%s\nExit status: 0 verified, 1 something did not "
               "verify, 2 the scenario could not run.\n",
               vyr::winscen::OptionsUsage());
        return 0;
    }
    vyr::winscen::Options options;
    std::string error;
    if (!vyr::winscen::ParseOptions(argc, argv, 1, &options, &error)) {
        fprintf(stderr, "vyrwinscen: %s\n", error.c_str());
        return 2;
    }
    Win32 calls;
    int result = vyr::winscen::Run(calls, options, stdout, stderr);
    fflush(stdout);
    return result;
}
