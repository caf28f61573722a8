#include "protocol/usbloaderfactory.h"

#include "protocol/usbloader.h"
#include "usb/usbinterface.h"

#include <new>

bool usbLoaderFactory::accepts(const USBInterface *usbInterface)
{
    return usbInterface->interfaceClass() == 0xFF && usbInterface->interfaceSubClass() == 1
        && (usbInterface->interfaceProtocol() == 1 || usbInterface->interfaceProtocol() == 2);
}

UsbInterfaceHandler *usbLoaderFactory::createHandler(USBInterface *usbInterface)
{
    if (!accepts(usbInterface))
        return nullptr;
    try {
        return new UsbLoader(usbInterface);
    } catch (const UsbException &) {
        return nullptr;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}
