#include "usb/host/empty/emptyusbhost.h"

// No handle is ever issued, so every operation on a handle fails.

bool EmptyUsbHost::listInterfacePaths(const UsbGuid &, std::vector<std::u16string> &paths)
{
    paths.clear();
    return true;
}

bool EmptyUsbHost::openFile(const std::u16string &, UsbFileHandle &, UsbOpenError &error)
{
    error = UsbOpenError::NotPresent;
    return false;
}

bool EmptyUsbHost::initialize(UsbFileHandle, UsbInterfaceHandle &)
{
    return false;
}

bool EmptyUsbHost::freeInterface(UsbInterfaceHandle)
{
    return false;
}

bool EmptyUsbHost::closeFile(UsbFileHandle)
{
    return false;
}

bool EmptyUsbHost::isAttached(UsbFileHandle)
{
    return false;
}

bool EmptyUsbHost::getDescriptor(
    UsbInterfaceHandle, uint8_t, uint8_t, uint16_t, uint8_t *, uint32_t, uint32_t &transferred)
{
    transferred = 0;
    return false;
}

bool EmptyUsbHost::getAssociatedInterface(UsbInterfaceHandle, uint8_t, UsbInterfaceHandle &)
{
    return false;
}

bool EmptyUsbHost::queryInterfaceSettings(UsbInterfaceHandle, uint8_t, UsbInterfaceDescriptor &)
{
    return false;
}

bool EmptyUsbHost::queryPipe(UsbInterfaceHandle, uint8_t, uint8_t, UsbPipeInformation &)
{
    return false;
}

bool EmptyUsbHost::controlTransfer(
    UsbInterfaceHandle, const UsbSetupPacket &, uint8_t *, uint32_t, uint32_t &transferred)
{
    transferred = 0;
    return false;
}

bool EmptyUsbHost::readPipe(UsbInterfaceHandle, uint8_t, uint8_t *, uint32_t, uint32_t &transferred)
{
    transferred = 0;
    return false;
}

bool EmptyUsbHost::writePipe(UsbInterfaceHandle, uint8_t, const uint8_t *, uint32_t, uint32_t &transferred)
{
    transferred = 0;
    return false;
}
