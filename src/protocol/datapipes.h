#pragma once

// Which pipe of the loader interface carries what: every bulk write goes to
// the endpoint with the lowest address, every bulk read comes from the one
// with the highest (IN addresses have bit 7 set). Null when there is none.

#include "usb/usbendpoint.h"
#include "usb/usbinterface.h"

inline USBEndpoint *dataOutPipe(const USBInterface *usbInterface)
{
    const auto pipes = usbInterface->endpoints();
    return pipes.isEmpty() ? nullptr : pipes.first();
}

inline USBEndpoint *dataInPipe(const USBInterface *usbInterface)
{
    const auto pipes = usbInterface->endpoints();
    return pipes.isEmpty() ? nullptr : pipes.last();
}
