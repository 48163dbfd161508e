// A booted machine for tests of the host kernel with test drivers: it installs test driver images
// under service names (one image may serve several services, each a separate load with its own
// globals, as two copies of one .sys would be), creates root-enumerated devices with their filters,
// and shuts the machine down at TearDown, so that the verifier's final checks (leaked pool, IRPs,
// devices, threads) run at the end of every test.
#pragma once

#include "hk/host.h"
#include "hk/nt.h"
#include "hk_internal.h"
#include "machine/machine.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace vyr::test {

// Records what the verifier reports instead of stopping the process. Only the reports that let the
// kernel go on (leaks, accounting) return to the caller; a real bug check still aborts.
class BugCheckRecorder {
public:
    BugCheckRecorder()
    {
        hk::SetBugCheckHandler([this](const hk::BugCheckInfo &info) {
            std::lock_guard<std::mutex> lock(lock_);
            reports_.push_back(info);
        });
    }
    ~BugCheckRecorder() { hk::SetBugCheckHandler({}); }
    BugCheckRecorder(const BugCheckRecorder &) = delete;
    BugCheckRecorder &operator=(const BugCheckRecorder &) = delete;

    std::vector<hk::BugCheckInfo> Reports() const
    {
        std::lock_guard<std::mutex> lock(lock_);
        return reports_;
    }
    size_t Count() const
    {
        std::lock_guard<std::mutex> lock(lock_);
        return reports_.size();
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(lock_);
        reports_.clear();
    }

private:
    mutable std::mutex lock_;
    std::vector<hk::BugCheckInfo> reports_;
};

// All sandboxes of one test program live under one folder, which the process that made it removes
// at exit; death-test children (which re-run the program and never clean up) find it in the
// environment and leave their sandboxes there.
inline const std::string &SandboxRoot()
{
    struct Root {
        std::string path;
        bool owned = false;
        Root()
        {
            if (const char *inherited = getenv("VYR_HK_TEST_SANDBOX_ROOT")) {
                path = inherited;
                return;
            }
            std::string pattern = (std::filesystem::temp_directory_path() / "vyr-hk-tests-XXXXXX").string();
            std::vector<char> buffer(pattern.begin(), pattern.end());
            buffer.push_back(0);
            if (!mkdtemp(buffer.data()))
                throw std::runtime_error("cannot create the sandbox root");
            path = buffer.data();
            owned = true;
            setenv("VYR_HK_TEST_SANDBOX_ROOT", path.c_str(), 1);
        }
        ~Root()
        {
            if (owned) {
                std::error_code ec;
                std::filesystem::remove_all(path, ec);
            }
        }
    };
    static Root root;
    return root.path;
}

class KernelTest : public ::testing::Test {
protected:
    static constexpr const char *kEnumKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
    static constexpr const char *kClassKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\";

    void SetUp() override
    {
        static std::atomic<int> counter{0};
        sandbox_ = SandboxRoot() + "/" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        vyr::sim::MachineOptions options;
        options.sandbox = sandbox_;
        machine_ = std::make_unique<vyr::sim::Machine>(options);
        machine_->Boot();
    }

    void TearDown() override
    {
        if (machine_)
            machine_->Shutdown();
        machine_.reset();
        recorder_.reset();
        hk::ClearVerifierFaults();
        std::error_code ec;
        std::filesystem::remove_all(sandbox_, ec);
    }

    // Puts the test driver image `image`.sys into System32\drivers as `service`.sys and writes the
    // service key, as an installation would.
    void InstallDriver(const std::string &service, const std::string &image = {})
    {
        namespace fs = std::filesystem;
        fs::path source = fs::path(machine_->DriverDir()) / ((image.empty() ? service : image) + ".sys");
        fs::path target = fs::path(sandbox_) / "C" / "Windows" / "System32" / "drivers" / (service + ".sys");
        fs::copy_file(source, target, fs::copy_options::overwrite_existing);
        machine_->InstallService(service);
    }

    // A root-enumerated device served by `service`, with upper filters named on its Enum key or,
    // with filtersOnClass, on its class key (a class of its own, so no other device gets them).
    hk::DevNode *AddRootDevice(const std::string &hardwareId, const std::string &service,
                               const std::vector<std::string> &upperFilters = {}, bool filtersOnClass = false)
    {
        std::string classGuid = filtersOnClass ? kTestClassGuid : vyr::sim::kSystemClassGuid;
        if (filtersOnClass && !upperFilters.empty())
            hk::RegSetMultiString(std::string(kClassKey) + classGuid, "UpperFilters", upperFilters);
        hk::DevNode *node = hk::CreateRootDevice(hardwareId, service, classGuid);
        if (node && !filtersOnClass && !upperFilters.empty())
            hk::RegSetMultiString(std::string(kEnumKey) + hk::NodeInfo(node).instanceId, "UpperFilters", upperFilters);
        return node;
    }

    // The Enum key of a device a bus driver reports (device id\instance id), as an installation
    // that matched its hardware id leaves it.
    static void InstallChildDevice(const std::string &instanceId, const std::string &service,
                                   const std::vector<std::string> &upperFilters = {})
    {
        std::string key = std::string(kEnumKey) + instanceId;
        hk::RegCreateKey(key);
        hk::RegSetString(key, "Service", service);
        hk::RegSetString(key, "ClassGUID", vyr::sim::kSystemClassGuid);
        if (!upperFilters.empty())
            hk::RegSetMultiString(key, "UpperFilters", upperFilters);
    }

    // A symbol a loaded test driver exports (its settings, a hook), or a test failure.
    template <class T>
    static T *Export(const std::string &service, const char *symbol)
    {
        PDRIVER_OBJECT driver = hk::FindDriver(service);
        if (!driver) {
            ADD_FAILURE() << service << " is not loaded";
            return nullptr;
        }
        auto *image = hk::internal::ImageFromDriver(driver);
        void *address = image ? dlsym(image->dl, symbol) : nullptr;
        if (!address)
            ADD_FAILURE() << service << " does not export " << symbol;
        return reinterpret_cast<T *>(address);
    }

    // A named device object (the name space keeps its own reference; this one is dropped again).
    static PDEVICE_OBJECT NamedDevice(const std::u16string &name)
    {
        NTSTATUS status;
        void *object = hk::internal::ObReferenceByName(name, hk::internal::ObType::Device, &status);
        if (!object)
            return nullptr;
        ObfDereferenceObject(object);
        return static_cast<PDEVICE_OBJECT>(object);
    }

    // Records the verifier's reports from now to the end of the test, the final checks of the
    // shutdown at TearDown included (so a test that stops early does not abort the program).
    BugCheckRecorder &RecordReports()
    {
        if (!recorder_)
            recorder_ = std::make_unique<BugCheckRecorder>();
        return *recorder_;
    }

    static constexpr const char *kTestClassGuid = "{5A0E1D2C-3B4F-4E6A-9C8D-7F1E2D3C4B5A}";

    std::string sandbox_;
    std::unique_ptr<vyr::sim::Machine> machine_;
    std::unique_ptr<BugCheckRecorder> recorder_;
};

// A UNICODE_STRING over a string that outlives it: a literal, or a named string (a temporary
// would leave the UNICODE_STRING pointing at freed memory, hence the deleted overload).
// The device node whose hardware ids include `id` (root\vyrtpbs2k16), or null.
inline hk::DevNode *NodeWithHardwareId(const std::string &id)
{
    for (const hk::DevNodeInfo &n : hk::DeviceTree())
        for (const std::string &h : n.hardwareIds)
            if (h == id)
                return n.node;
    return nullptr;
}

inline UNICODE_STRING Unicode(const std::u16string &s)
{
    UNICODE_STRING u;
    u.Buffer = (PWCH)s.data();
    u.Length = (USHORT)(s.size() * sizeof(char16_t));
    u.MaximumLength = u.Length;
    return u;
}
UNICODE_STRING Unicode(std::u16string &&) = delete;
inline UNICODE_STRING Unicode(const char16_t *literal)
{
    size_t n = 0;
    while (literal[n])
        n++;
    UNICODE_STRING u;
    u.Buffer = (PWCH)literal;
    u.Length = (USHORT)(n * sizeof(char16_t));
    u.MaximumLength = u.Length;
    return u;
}

} // namespace vyr::test
