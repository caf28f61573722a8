#pragma once

// A host whose device answers every call from a fuzz input (see
// fuzzanswers.h): which calls fail, how many bytes each moves, and the bytes.
// It issues its own handles, never twice the same value, and stops the
// program at the first misuse of one: a handle never issued or already
// released, an interface used after its file was closed, a file closed
// before its interfaces were freed. Free of Qt; one thread.

#include "fuzzanswers.h"

#include "usb/host/usbhost.h"

#include <cstdint>
#include <map>

class FuzzUsbHost : public UsbHost
{
public:
    FuzzUsbHost(const uint8_t *data, std::size_t size);

    int openFiles() const { return int(m_files.size()); }
    int liveInterfaces() const { return int(m_interfaces.size()); }
    // Starts counting what the two below report afresh.
    void startOperation()
    {
        m_bytesWrittenWhole = 0;
        m_lastFirmwareValid = false;
    }
    // Bytes the device took on its OUT pipes by calls that reported every byte.
    uint64_t bytesWrittenWhole() const { return m_bytesWrittenWhole; }
    // Whether the last firmware information the device sent whole had its valid bit.
    bool lastFirmwareInformationValid() const { return m_lastFirmwareValid; }

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
    struct OpenFile
    {
        bool initialized = false;
    };
    struct LiveInterface
    {
        std::uintptr_t file;
        bool first; // from initialize: the one that leads to the others
    };

    OpenFile &file(UsbFileHandle handle, const char *call);
    LiveInterface &interfaceOf(UsbInterfaceHandle handle, const char *call);
    std::uintptr_t issueInterface(std::uintptr_t file, bool first);

    FuzzAnswer::Reader m_input;
    std::map<std::uintptr_t, OpenFile> m_files;
    std::map<std::uintptr_t, LiveInterface> m_interfaces;
    std::uintptr_t m_nextHandle = 1;
    uint64_t m_bytesWrittenWhole = 0;
    bool m_lastFirmwareValid = false;
};

// Reports a fault of the program under test and stops it, so that the
// fuzzer keeps the input.
[[noreturn]] void fuzzFault(const char *what);
