// The registry keys of a device node that drivers open with IoOpenDeviceRegistryKey: the device's
// own parameters under its Enum key, and the driver key under its class.
#include "hk_internal.h"
#include "machine/machine.h"

#include <gtest/gtest.h>

namespace {

const std::string kEnum = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
const std::string kClass = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\";

struct KeyCase {
    ULONG type;
    std::string (*expectedPath)(const std::string &instance);
};

class DeviceKeys : public ::testing::Test {
protected:
    void SetUp() override
    {
        machine_ = std::make_unique<vyr::sim::Machine>();
        machine_->InstallTapeBus();
        machine_->Boot();
        for (const hk::DevNodeInfo &n : hk::DeviceTree())
            if (!n.hardwareIds.empty() && n.hardwareIds[0] == "root\\vyrtpbs2k16")
                node_ = n;
        ASSERT_NE(node_.node, nullptr);
    }
    void TearDown() override { machine_.reset(); }

    NTSTATUS WriteThrough(PDEVICE_OBJECT device, ULONG type, ULONG value)
    {
        HANDLE key = nullptr;
        NTSTATUS status = IoOpenDeviceRegistryKey(device, type, KEY_ALL_ACCESS, &key);
        if (!NT_SUCCESS(status))
            return status;
        std::u16string name = u"Probe";
        UNICODE_STRING ustr{(USHORT)(name.size() * 2), (USHORT)(name.size() * 2), (PWCH)name.data()};
        status = ZwSetValueKey(key, &ustr, 0, REG_DWORD, &value, sizeof value);
        ZwClose(key);
        return status;
    }

    std::unique_ptr<vyr::sim::Machine> machine_;
    hk::DevNodeInfo node_{};
};

TEST_F(DeviceKeys, DeviceParametersLiveUnderTheEnumKey)
{
    ASSERT_EQ(WriteThrough(hk::NodePdo(node_.node), PLUGPLAY_REGKEY_DEVICE, 17), STATUS_SUCCESS);
    ULONG value = 0;
    EXPECT_TRUE(hk::RegGetDword(kEnum + node_.instanceId + "\\Device Parameters", "Probe", &value));
    EXPECT_EQ(value, 17u);
}

TEST_F(DeviceKeys, DriverKeyIsMadeOnceUnderTheClassAndRecordedInTheEnumKey)
{
    PDEVICE_OBJECT pdo = hk::NodePdo(node_.node);
    ASSERT_EQ(WriteThrough(pdo, PLUGPLAY_REGKEY_DRIVER, 5), STATUS_SUCCESS);
    std::string driver;
    ASSERT_TRUE(hk::RegGetString(kEnum + node_.instanceId, "Driver", &driver));
    EXPECT_EQ(driver.rfind("{4D36E97D-E325-11CE-BFC1-08002BE10318}\\", 0), 0u) << driver;
    ULONG value = 0;
    EXPECT_TRUE(hk::RegGetDword(kClass + driver, "Probe", &value));
    EXPECT_EQ(value, 5u);
    // A second open finds the same key, not a new one.
    ASSERT_EQ(WriteThrough(pdo, PLUGPLAY_REGKEY_DRIVER, 6), STATUS_SUCCESS);
    std::string again;
    ASSERT_TRUE(hk::RegGetString(kEnum + node_.instanceId, "Driver", &again));
    EXPECT_EQ(again, driver);
    EXPECT_TRUE(hk::RegGetDword(kClass + driver, "Probe", &value));
    EXPECT_EQ(value, 6u);
}

TEST_F(DeviceKeys, OnlyAPhysicalDeviceObjectHasThem)
{
    // The bus FDO sits above the PDO: it has no device node of its own.
    PDEVICE_OBJECT fdo = hk::NodePdo(node_.node)->AttachedDevice;
    ASSERT_NE(fdo, nullptr);
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(IoOpenDeviceRegistryKey(hk::NodePdo(node_.node), 0, KEY_READ, &key), STATUS_INVALID_PARAMETER);
}

} // namespace
