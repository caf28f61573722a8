#pragma once

// Passes every call on to another host (the simulated bus with a Vantor
// device on it) and writes what that host answered as a fuzz input (see
// fuzzanswers.h), so that the fuzzer starts from a device's real answers.
// Free of Qt; one thread.

#include "fuzzanswers.h"

#include "usb/host/usbhost.h"

#include <memory>

class RecordingUsbHost : public UsbHost
{
public:
    explicit RecordingUsbHost(std::shared_ptr<UsbHost> device);

    // The header (see fuzzanswers.h), then every answer so far.
    std::vector<uint8_t> input(const uint8_t (&header)[FuzzAnswer::headerSize]) const;

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

private:
    bool flag(bool result);

    std::shared_ptr<UsbHost> m_device;
    FuzzAnswer::Writer m_answers;
};
