#pragma once

// The root of the USB layer's errors: thrown while discovering a device's
// interfaces and pipes and by control transfers. The nested types (in
// USBDevice, USBInterface and USBEndpoint) carry no message; a handler tells
// them apart by type.

#include <exception>

class UsbException : public std::exception
{
};
