#include "machine/machine.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace vyr::sim {

namespace {

const std::string kEnumRoot = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\ROOT";

} // namespace

bool RootDeviceExists(const std::string &hardwareId)
{
    for (const std::string &cls : hk::RegSubKeys(kEnumRoot))
        for (const std::string &instance : hk::RegSubKeys(kEnumRoot + "\\" + cls)) {
            std::vector<std::string> ids;
            hk::RegGetMultiString(kEnumRoot + "\\" + cls + "\\" + instance, "HardwareID", &ids);
            for (const std::string &id : ids)
                if (strcasecmp(id.c_str(), hardwareId.c_str()) == 0)
                    return true;
        }
    return false;
}

std::string Machine::DefaultDriverDir()
{
    if (const char *env = getenv("VYR_DRIVER_DIR"))
        return env;
#ifdef VYR_DRIVER_DIR
    return VYR_DRIVER_DIR;
#else
    return "drivers";
#endif
}

Machine::Machine(MachineOptions options) : options_(std::move(options))
{
    driverDir_ = options_.driverDir.empty() ? DefaultDriverDir() : options_.driverDir;
    if (options_.sandbox.empty()) {
        std::string pattern = (fs::temp_directory_path() / "vyr-machine-XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back(0);
        if (!mkdtemp(buf.data()))
            throw std::runtime_error("cannot create a sandbox folder");
        sandbox_ = buf.data();
        ownSandbox_ = !options_.keepSandbox;
    } else {
        sandbox_ = options_.sandbox;
    }
    fs::create_directories(fs::path(sandbox_) / "C" / "Windows" / "System32" / "drivers");
    if (options_.freshRegistry)
        hk::RegReset();
}

Machine::~Machine()
{
    if (booted_)
        Shutdown();
    if (ownSandbox_) {
        std::error_code ec;
        fs::remove_all(sandbox_, ec);
    }
}

void Machine::InstallDriverImage(const std::string &service)
{
    fs::path source = fs::path(driverDir_) / (service + ".sys");
    fs::path target = fs::path(sandbox_) / "C" / "Windows" / "System32" / "drivers" / (service + ".sys");
    if (!fs::exists(source))
        throw std::runtime_error("driver image not found: " + source.string());
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
}

void Machine::InstallService(const std::string &service, ULONG start)
{
    std::string key = kServicesKey + service;
    hk::RegCreateKey(key);
    hk::RegSetDword(key, "Type", 1); // kernel driver
    hk::RegSetDword(key, "Start", start);
    hk::RegSetDword(key, "ErrorControl", 1);
    hk::RegSetString(key, "ImagePath", "\\SystemRoot\\System32\\drivers\\" + service + ".sys", REG_EXPAND_SZ);
}

void Machine::InstallTapeBus()
{
    InstallDriverImage("vyrtpbs2k16");
    InstallService("vyrtpbs2k16");
    if (!RootDeviceExists("root\\vyrtpbs2k16")) {
        hk::DevNode *node = hk::CreateRootDevice("root\\vyrtpbs2k16", "vyrtpbs2k16", kSystemClassGuid);
        if (node)
            hk::StartDevice(node);
    }
}

void Machine::SetServiceDword(const std::string &service, const std::string &name, ULONG value)
{
    hk::RegSetDword(kServicesKey + service, name, value);
}

void Machine::Boot()
{
    if (booted_)
        return;
    hk::BootOptions options;
    options.sandboxRoot = sandbox_;
    hk::Boot(options);
    booted_ = true;
}

void Machine::Shutdown()
{
    if (!booted_)
        return;
    hk::Shutdown();
    booted_ = false;
}

void Machine::Restart()
{
    Shutdown();
    Boot();
}

} // namespace vyr::sim
