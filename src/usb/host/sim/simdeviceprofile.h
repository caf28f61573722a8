#pragma once

// What a simulated device looks like on the bus: its identity, its one
// configuration with its interfaces and pipes, and the model that answers
// its requests. Free of Qt.

#include "usb/deviceinterfaceguid.h"
#include "usb/host/usbdescriptors.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class SimDeviceModel;

struct SimPipeProfile
{
    uint8_t address = 0; // bit 7 set for IN
    uint32_t type = UsbPipeBulk;
    uint16_t maximumPacketSize = 64;
    uint8_t interval = 0;
};

struct SimInterfaceProfile
{
    uint8_t number = 0;
    uint8_t interfaceClass = 0xFF;
    uint8_t interfaceSubClass = 0;
    uint8_t interfaceProtocol = 0;
    std::vector<SimPipeProfile> pipes;
};

struct SimDeviceProfile
{
    // Empty: the bus makes a unique path from the identity when plugging.
    std::u16string path;
    UsbGuid interfaceGuid = DEVICE_INTERFACE_GUID;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    // iSerialNumber; 0 means the device has no serial-number string.
    uint8_t serialNumberIndex = 3;
    std::u16string serialNumber;
    // In the order the device reports them; the first is the one the
    // function's initialisation hands out.
    std::vector<SimInterfaceProfile> interfaces;
    // bNumInterfaces as the configuration descriptor claims it; negative
    // means the true count. A claim above the true count makes the device
    // refuse the missing associated interfaces.
    int claimedInterfaceCount = -1;
    // Answers control requests and moves bulk data; null answers nothing
    // on IN and accepts everything on OUT (SimDeviceModel's defaults).
    std::shared_ptr<SimDeviceModel> model;
};

// The descriptors the device sends, built from its profile.
std::vector<uint8_t> simDeviceDescriptor(const SimDeviceProfile &profile);
std::vector<uint8_t> simConfigurationDescriptor(const SimDeviceProfile &profile);
std::vector<uint8_t> simStringDescriptor(const std::u16string &text);
UsbInterfaceDescriptor simInterfaceDescriptor(const SimInterfaceProfile &profile);
