#pragma once

// Gives every loader interface of a device a UsbLoader: vendor class 0xFF,
// subclass 1, protocol 1 (flashing mode) or 2 (application). Called on the
// thread that adds the interface.

#include "usb/usbinterfacehandler.h"

class usbLoaderFactory : public UsbInterfaceHandlerFactory
{
public:
    // A loader that has read the device's records, or null for any other
    // interface. Throws UsbException when the device does not answer those
    // reads (such a loader would show nothing true), so that the driver
    // tries the device again later.
    UsbInterfaceHandler *createHandler(USBInterface *usbInterface) override;

    static bool accepts(const USBInterface *usbInterface);
};
