#pragma once

// The host on WinUSB (Windows): SetupAPI's list of present device interfaces
// of the device's interface GUID, CreateFileW on an interface's path,
// WinUSB for the USB function's descriptors, interfaces, pipes and
// transfers, each call exactly as the seam describes it. Free of Qt.
//
// Threads: any thread may call any operation; WinUSB serialises calls on one
// handle itself.

#include "usb/host/usbhost.h"

#include <cstdint>
#include <map>
#include <mutex>

class WinUsbHost : public UsbHost
{
public:
    bool listInterfacePaths(const UsbGuid &guid, std::vector<std::u16string> &paths) override;
    bool openFile(const std::u16string &path, UsbFileHandle &file, UsbOpenError &error) override;
    bool initialize(UsbFileHandle file, UsbInterfaceHandle &firstInterface) override;
    bool freeInterface(UsbInterfaceHandle handle) override;
    bool closeFile(UsbFileHandle file) override;
    // What the function's handle answers: WinUSB refuses every call on a
    // device that has been removed, even if it has come back meanwhile.
    bool isAttached(UsbFileHandle file) override;
    bool getDescriptor(UsbInterfaceHandle handle, uint8_t type, uint8_t index, uint16_t languageId,
        uint8_t *buffer, uint32_t length, uint32_t &transferred) override;
    bool getAssociatedInterface(
        UsbInterfaceHandle handle, uint8_t associatedIndex, UsbInterfaceHandle &associated) override;
    bool queryInterfaceSettings(
        UsbInterfaceHandle handle, uint8_t alternateSetting, UsbInterfaceDescriptor &descriptor) override;
    // Also gives a bulk or interrupt pipe the seam's transfer time-out
    // (PIPE_TRANSFER_TIMEOUT), failing when that cannot be set.
    bool queryPipe(UsbInterfaceHandle handle, uint8_t alternateSetting, uint8_t pipeIndex,
        UsbPipeInformation &pipe) override;
    bool controlTransfer(UsbInterfaceHandle handle, const UsbSetupPacket &setup, uint8_t *buffer,
        uint32_t length, uint32_t &transferred) override;
    bool readPipe(UsbInterfaceHandle handle, uint8_t pipeId, uint8_t *buffer, uint32_t length,
        uint32_t &transferred) override;
    bool writePipe(UsbInterfaceHandle handle, uint8_t pipeId, const uint8_t *buffer, uint32_t length,
        uint32_t &transferred) override;
    // Up to depth overlapped WinUsb_WritePipe calls at once, each waited
    // for in batch order; on a failure WinUsb_AbortPipe, then a wait for
    // every write still in flight.
    bool writePipeBatches(UsbInterfaceHandle handle, uint8_t pipeId, const uint8_t *buffer, uint32_t length,
        uint32_t batchSize, uint32_t depth, const BatchWritten &written) override;

private:
    std::mutex m_mutex; // guards m_firstInterfaces
    // The handle initialize gave for each file, which isAttached asks.
    std::map<std::uintptr_t, std::uintptr_t> m_firstInterfaces;
};
