#pragma once

// The test gadget's identity, where it sits in configfs, and the requests of
// the test harness on its default pipe, shared by the gadget and the tests
// that drive it. The gadget passes every other request to the Vantor device
// it serves.

#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint16_t usbvmVendorId = 0x1209;
constexpr uint16_t usbvmProductId = 0x7A10;
constexpr char usbvmSerialNumber[] = "ZOK000001";

// Writing the controller's name to UDC in here plugs the device in; writing
// an empty line pulls it out.
constexpr char usbvmGadgetDir[] = "/sys/kernel/config/usb_gadget/vantor";
constexpr char usbvmFunctionFsDir[] = "/dev/ffs-vantor";

// The tests with two devices at once plug a second gadget into the second
// device controller: its own configfs directory, FunctionFS instance (their
// names are global) and serial, which is both its USB serial string and the
// device's own serial number.
constexpr char usbvmSecondSerialNumber[] = "ZOK000002";

struct UsbvmGadgetPlace
{
    std::string gadgetDir;
    std::string instance; // of the FunctionFS function and its mount
    std::string functionFsDir;
    std::string serial;
    // One line per request the gadget held until its sink had caught up:
    // the hold's start and end, CLOCK_MONOTONIC nanoseconds. A real device
    // has no such hold, so the measurements can take it out again.
    std::string holdLog;
};

// Gadget 1 is the one every test uses; 2 is the second.
inline UsbvmGadgetPlace usbvmGadgetPlace(int gadget)
{
    const std::string suffix = gadget == 2 ? "2" : "";
    return {usbvmGadgetDir + suffix, "vantor" + suffix, usbvmFunctionFsDir + suffix,
        gadget == 2 ? usbvmSecondSerialNumber : usbvmSerialNumber, "/tmp/usbvm-holds" + suffix};
}

// Codes far from the device's own requests (1 to 17).
enum UsbvmRequest : uint8_t {
    UsbvmStoreBytes = 0xE0, // OUT with data: keep it
    UsbvmReadBytes = 0xE1, // IN: the kept bytes
    UsbvmReadCounters
    = 0xE3, // IN: bytes, transfers and usbvmHash of the bytes received on bulk-out, 32 bits each
    UsbvmResetCounters = 0xE4, // OUT without data
    UsbvmSendTestChunks = 0xE5, // OUT without data: the next wValue bulk-in reads get numbered 64-byte chunks
    UsbvmSetRestartDelay
    = 0xE6, // OUT without data: from now on the device stays off the bus wValue ms at a restart
};

// bInterfaceProtocol of the vendor interface in each mode.
constexpr uint8_t usbvmApplicationMode = 2;
constexpr uint8_t usbvmFlashingMode = 1;

// FNV-1a of a byte stream, continued from hash: tells the bytes and their order.
constexpr uint32_t usbvmHashStart = 2166136261u;
inline uint32_t usbvmHash(const uint8_t *data, std::size_t size, uint32_t hash = usbvmHashStart)
{
    for (std::size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 16777619u;
    return hash;
}
