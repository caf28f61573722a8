#pragma once

// A host with no devices: every enumeration is empty and nothing can be
// opened. The default where no platform host exists yet.

#include "usb/host/usbhost.h"

class EmptyUsbHost : public UsbHost
{
public:
    bool listInterfacePaths(const UsbGuid &guid, std::vector<std::u16string> &paths) override;
    bool openFile(const std::u16string &path, UsbFileHandle &file, UsbOpenError &error) override;
    bool initialize(UsbFileHandle file, UsbInterfaceHandle &firstInterface) override;
    bool freeInterface(UsbInterfaceHandle handle) override;
    bool closeFile(UsbFileHandle file) override;
    bool isAttached(UsbFileHandle file) override;
    bool getDescriptor(UsbInterfaceHandle handle, uint8_t type, uint8_t index, uint16_t languageId,
        uint8_t *buffer, uint32_t length, uint32_t &transferred) override;
    bool getAssociatedInterface(
        UsbInterfaceHandle handle, uint8_t associatedIndex, UsbInterfaceHandle &associated) override;
    bool queryInterfaceSettings(
        UsbInterfaceHandle handle, uint8_t alternateSetting, UsbInterfaceDescriptor &descriptor) override;
    bool queryPipe(UsbInterfaceHandle handle, uint8_t alternateSetting, uint8_t pipeIndex,
        UsbPipeInformation &pipe) override;
    bool controlTransfer(UsbInterfaceHandle handle, const UsbSetupPacket &setup, uint8_t *buffer,
        uint32_t length, uint32_t &transferred) override;
    bool readPipe(UsbInterfaceHandle handle, uint8_t pipeId, uint8_t *buffer, uint32_t length,
        uint32_t &transferred) override;
    bool writePipe(UsbInterfaceHandle handle, uint8_t pipeId, const uint8_t *buffer, uint32_t length,
        uint32_t &transferred) override;
};
