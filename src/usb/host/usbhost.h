#pragma once

// The seam between the USB layer and the platform. Each operation stands for
// one platform call that USBDriver, USBDevice, USBInterface and USBEndpoint
// make, with the same arguments and the same answers, so the layer above never
// reaches the platform another way and a simulated bus can stand in for it.
// Free of Qt.
//
// Threads: a host may be called from any thread. The layer calls it from the
// thread that owns the driver (the main thread for the first scan, the worker
// thread afterwards), and never on one handle from two threads at once.

#include "usb/host/usbdescriptors.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Opaque handles. Zero is never a valid handle; values mean something only
// to the host that issued them.
enum class UsbFileHandle : std::uintptr_t { Invalid = 0 };
enum class UsbInterfaceHandle : std::uintptr_t { Invalid = 0 };

struct UsbGuid
{
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

inline bool operator==(const UsbGuid &a, const UsbGuid &b)
{
    return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3
        && std::equal(a.data4, a.data4 + 8, b.data4);
}

// Why openFile failed, so the layer can tell a user what to do about it.
enum class UsbOpenError {
    None, // the open succeeded
    NotPresent, // no device answers to the path (any more)
    AccessDenied, // the user may not open the device (missing permission)
    InUse, // another program, or a kernel driver, holds the device
    Failed, // any other failure
};

class UsbHost
{
public:
    // No transfer may wait on a device for longer: a host gives every
    // control transfer and every pipe read and write this time-out (libusb's
    // timeout argument; WinUSB's PIPE_TRANSFER_TIMEOUT policy, set on each
    // pipe, since a pipe's default is to wait forever), so a device that
    // never answers cannot hold the worker thread without end. A transfer
    // that times out fails, with the bytes that moved before it.
    static constexpr uint32_t transferTimeoutMs = 5000;

    virtual ~UsbHost() = default;

    // The list of present device interfaces registered under guid
    // (SetupDiGetClassDevsW with DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, then
    // SetupDiEnumDeviceInterfaces and SetupDiGetDeviceInterfaceDetailW per
    // member). Clears paths, then appends each interface's path in
    // enumeration order. True when the whole list was read; false when any
    // step failed, in which case paths holds what was gathered and means nothing.
    virtual bool listInterfacePaths(const UsbGuid &guid, std::vector<std::u16string> &paths) = 0;

    // Opens a device-interface path for reading and writing with no sharing,
    // as an existing file, for overlapped I/O (CreateFileW). Exclusive: fails
    // while the device is open through another handle, in this program or
    // another. On success sets file and error None; on failure leaves file
    // untouched and says why in error (GetLastError after CreateFileW).
    virtual bool openFile(const std::u16string &path, UsbFileHandle &file, UsbOpenError &error) = 0;

    // Starts the USB function on an open file (WinUsb_Initialize) and gives
    // the handle of its first interface. On failure nothing needs freeing;
    // the file stays open.
    virtual bool initialize(UsbFileHandle file, UsbInterfaceHandle &firstInterface) = 0;

    // Releases an interface handle from initialize or getAssociatedInterface
    // (WinUsb_Free). Succeeds also when the device has gone meanwhile; after
    // it the handle must not be used again.
    virtual bool freeInterface(UsbInterfaceHandle handle) = 0;

    // Closes a file from openFile (CloseHandle); the result is the call's
    // success. Succeeds also when the device has gone meanwhile.
    virtual bool closeFile(UsbFileHandle file) = 0;

    // Whether the device instance an open file reaches is still attached.
    // False once that instance has left the bus, also when another instance
    // has since appeared under the same path (a device that restarted
    // between two scans). Hosts that cannot tell answer true.
    virtual bool isAttached(UsbFileHandle file) = 0;

    // Reads a descriptor of the device (WinUsb_GetDescriptor): type, index
    // and language ID as on the bus, at most length bytes into buffer.
    // transferred is the number of bytes written, which may be less than
    // length (a shorter descriptor, or a device that answers short); 0 on failure.
    virtual bool getDescriptor(UsbInterfaceHandle handle, uint8_t type, uint8_t index, uint16_t languageId,
        uint8_t *buffer, uint32_t length, uint32_t &transferred)
        = 0;

    // The handle of another interface of the same function
    // (WinUsb_GetAssociatedInterface): index 0 is the interface after the
    // first one, and so on. Only valid on the handle from initialize.
    virtual bool getAssociatedInterface(
        UsbInterfaceHandle handle, uint8_t associatedIndex, UsbInterfaceHandle &associated)
        = 0;

    // The interface descriptor of the handle's interface for one alternate
    // setting (WinUsb_QueryInterfaceSettings).
    virtual bool queryInterfaceSettings(
        UsbInterfaceHandle handle, uint8_t alternateSetting, UsbInterfaceDescriptor &descriptor)
        = 0;

    // Type, address, packet size and interval of the pipe at pipeIndex of an
    // alternate setting (WinUsb_QueryPipe). Fails for an index past the last pipe.
    virtual bool queryPipe(
        UsbInterfaceHandle handle, uint8_t alternateSetting, uint8_t pipeIndex, UsbPipeInformation &pipe)
        = 0;

    // A synchronous control transfer on the default pipe (WinUsb_ControlTransfer
    // with no overlapped structure). The direction is bit 7 of the request
    // type; length is the data stage's size (0 with a null buffer for none).
    // transferred is the number of data bytes moved; it may be less than
    // length also when the call succeeds. Ends within transferTimeoutMs.
    virtual bool controlTransfer(UsbInterfaceHandle handle, const UsbSetupPacket &setup, uint8_t *buffer,
        uint32_t length, uint32_t &transferred)
        = 0;

    // A synchronous read of at most length bytes from an IN pipe
    // (WinUsb_ReadPipe). Blocks until data arrives, the call ends with the
    // device, or transferTimeoutMs passes; transferred is what arrived,
    // possibly less than length.
    virtual bool readPipe(
        UsbInterfaceHandle handle, uint8_t pipeId, uint8_t *buffer, uint32_t length, uint32_t &transferred)
        = 0;

    // A synchronous write of length bytes to an OUT pipe (WinUsb_WritePipe),
    // ending within transferTimeoutMs; transferred is what the device
    // accepted, possibly less than length.
    virtual bool writePipe(UsbInterfaceHandle handle, uint8_t pipeId, const uint8_t *buffer, uint32_t length,
        uint32_t &transferred)
        = 0;

    // Called once per batch that the device took whole, with the batch's
    // index from 0, on the thread that called writePipeBatches.
    using BatchWritten = std::function<void(uint32_t batch)>;

    // Writes length bytes to an OUT pipe as consecutive transfers of
    // batchSize bytes (the last one shorter), with up to depth of them
    // submitted at once (libusb asynchronous transfers, WinUSB overlapped
    // writes). The device receives exactly the transfers that writePipe
    // calls, one per batch, would send. written is called in batch order,
    // never for a batch before every earlier one was reported. The first
    // batch that fails or moves fewer bytes ends the operation: no batch
    // from it on is reported, the batches still in flight are cancelled and
    // have ended before it returns false. A depth of 1 is one writePipe per
    // batch. This default runs that loop for any depth; hosts that can queue
    // transfers override it.
    virtual bool writePipeBatches(UsbInterfaceHandle handle, uint8_t pipeId, const uint8_t *buffer,
        uint32_t length, uint32_t batchSize, uint32_t depth, const BatchWritten &written);
};
