#pragma once

// Recognises the window system's messages that the device list may have
// changed, all WM_DEVICECHANGE (0x0219):
// - DBT_DEVNODES_CHANGED (0x0007): the device tree changed, sent to every
//   top-level window; lParam is not used.
// - DBT_DEVICEARRIVAL (0x8000) and DBT_DEVICEREMOVECOMPLETE (0x8004) sent to
//   a window registered for the device interfaces of one class: lParam points
//   at a DEV_BROADCAST_DEVICEINTERFACE_W, which counts only when its device
//   type is DBT_DEVTYP_DEVICEINTERFACE (5) and its class GUID is ours.
// Kept apart from the Windows filter so it builds and is tested everywhere.

#include "usb/host/usbhost.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr unsigned int deviceChangeMessage = 0x0219;
constexpr std::uintptr_t deviceNodesChanged = 0x0007;
constexpr std::uintptr_t deviceArrival = 0x8000;
constexpr std::uintptr_t deviceRemoveComplete = 0x8004;
constexpr std::uint32_t deviceTypeDeviceInterface = 5;

// The layout of DEV_BROADCAST_DEVICEINTERFACE_W: the common header (size,
// device type, reserved), then the interface class and the path.
struct DeviceInterfaceBroadcast
{
    std::uint32_t size;
    std::uint32_t deviceType;
    std::uint32_t reserved;
    UsbGuid classGuid;
    char16_t name[1];
};

constexpr bool isDeviceTreeChange(unsigned int message, std::uintptr_t wParam)
{
    return message == deviceChangeMessage && wParam == deviceNodesChanged;
}

// broadcast is the message's lParam; it may be null or a header of another
// device type, so only its header is read until the type is known.
inline bool isDeviceListChange(
    unsigned int message, std::uintptr_t wParam, const void *broadcast, const UsbGuid &interfaceGuid)
{
    if (isDeviceTreeChange(message, wParam))
        return true;
    if (message != deviceChangeMessage || (wParam != deviceArrival && wParam != deviceRemoveComplete)
        || !broadcast)
        return false;
    const auto *bytes = static_cast<const unsigned char *>(broadcast);
    std::uint32_t size = 0;
    std::uint32_t deviceType = 0;
    std::memcpy(&size, bytes + offsetof(DeviceInterfaceBroadcast, size), sizeof size);
    std::memcpy(&deviceType, bytes + offsetof(DeviceInterfaceBroadcast, deviceType), sizeof deviceType);
    if (deviceType != deviceTypeDeviceInterface
        || size < offsetof(DeviceInterfaceBroadcast, classGuid) + sizeof(UsbGuid))
        return false;
    UsbGuid classGuid {};
    std::memcpy(&classGuid, bytes + offsetof(DeviceInterfaceBroadcast, classGuid), sizeof classGuid);
    return classGuid == interfaceGuid;
}
