#pragma once

// Recognises the window system's broadcast that the device tree changed:
// WM_DEVICECHANGE (0x0219) with DBT_DEVNODES_CHANGED (0x0007), sent to every
// top-level window. Other device-change codes (arrival, removal) are not
// looked at. Kept apart from the Windows filter so it builds everywhere.

#include <cstdint>

constexpr unsigned int deviceChangeMessage = 0x0219;
constexpr std::uintptr_t deviceNodesChanged = 0x0007;

constexpr bool isDeviceTreeChange(unsigned int message, std::uintptr_t wParam)
{
    return message == deviceChangeMessage && wParam == deviceNodesChanged;
}
