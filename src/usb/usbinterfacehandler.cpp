#include "usb/usbinterfacehandler.h"

#include "usb/usbinterface.h"

UsbInterfaceHandler::UsbInterfaceHandler(USBInterface *usbInterface)
    : QObject(usbInterface)
    , m_usbInterface(usbInterface)
{ }

USBInterface *UsbInterfaceHandler::usbInterface()
{
    return m_usbInterface;
}
