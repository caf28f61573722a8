#pragma once

// The vendor requests of the device's loader interface (bRequest), one line each.

#include <cstdint>

enum class LoaderRequest : uint8_t {
    ReadDeviceStatus = 1,
    WriteImageInfo = 2,
    ReadFirmwareInformation = 3,
    WriteFactoryConfigurationSize = 4,
    ReadFactoryConfiguration = 5,
    WriteDeviceInformation = 6,
    ReadDeviceInformation = 7,
    StartApplication = 8,
    RestartDevice = 9,
    EnableJtagProtection = 10,
    WriteAes256Keys = 11,
    ReadFlashingMode = 12,
    EnterFlashingMode = 13,
    ReadUserSettings = 14,
    WriteUserSettings = 15,
    EraseUserSettings = 16,
    ReadBusy = 17,
};

constexpr uint8_t requestCode(LoaderRequest request)
{
    return static_cast<uint8_t>(request);
}
