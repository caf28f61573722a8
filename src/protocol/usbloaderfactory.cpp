#include "protocol/usbloaderfactory.h"

#include "protocol/usbloader.h"
#include "usb/usbinterface.h"

bool usbLoaderFactory::accepts(const USBInterface *usbInterface)
{
    return usbInterface->interfaceClass() == 0xFF && usbInterface->interfaceSubClass() == 1
        && (usbInterface->interfaceProtocol() == 1 || usbInterface->interfaceProtocol() == 2);
}

UsbInterfaceHandler *usbLoaderFactory::createHandler(USBInterface *usbInterface)
{
    if (!accepts(usbInterface))
        return nullptr;
    // A device that does not answer now throws on: the driver tries the
    // device again on its next scans rather than keep it without a loader.
    return new UsbLoader(usbInterface);
}
