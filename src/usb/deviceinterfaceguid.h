#pragma once

#include "usb/host/usbhost.h"

// The device-interface class under which the device's USB function is registered.
// {F2C98656-1C01-4EE3-8369-CEA3E19064B9}
inline constexpr UsbGuid DEVICE_INTERFACE_GUID
    = {0xF2C98656, 0x1C01, 0x4EE3, {0x83, 0x69, 0xCE, 0xA3, 0xE1, 0x90, 0x64, 0xB9}};

// Where a platform has no device-interface classes, the device is found by
// its interface instead: vendor class 0xFF, subclass 1, protocol 1 (flashing
// mode) or 2 (application).
inline constexpr UsbInterfaceMatch DEVICE_INTERFACE_MATCH = {0xFF, 1, 1, 2};
