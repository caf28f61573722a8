#pragma once

// The records that pass between the USB layer and a host: standard USB
// descriptors as the device sends them, the pipe information a host reports
// and the setup packet of a control transfer. Free of Qt.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Multi-byte descriptor fields hold the device's bytes unchanged (least
// significant first); these two helpers are the only place that converts.
inline uint16_t usbWordValue(uint16_t stored)
{
    uint8_t bytes[2];
    std::memcpy(bytes, &stored, sizeof bytes);
    return uint16_t(bytes[0] | bytes[1] << 8);
}

inline uint16_t usbWordStorage(uint16_t value)
{
    const uint8_t bytes[2] = {uint8_t(value & 0xFF), uint8_t(value >> 8)};
    uint16_t stored;
    std::memcpy(&stored, bytes, sizeof stored);
    return stored;
}

enum UsbDescriptorType : uint8_t {
    UsbDeviceDescriptorType = 1,
    UsbConfigurationDescriptorType = 2,
    UsbStringDescriptorType = 3,
    UsbInterfaceDescriptorType = 4,
    UsbEndpointDescriptorType = 5,
};

#pragma pack(push, 1)
struct UsbDeviceDescriptor
{
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
};

// The fixed head of a configuration descriptor; the interface and endpoint
// descriptors follow it on the wire.
struct UsbConfigurationDescriptor
{
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t wTotalLength;
    uint8_t bNumInterfaces;
    uint8_t bConfigurationValue;
    uint8_t iConfiguration;
    uint8_t bmAttributes;
    uint8_t MaxPower;
};

struct UsbInterfaceDescriptor
{
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bInterfaceNumber;
    uint8_t bAlternateSetting;
    uint8_t bNumEndpoints;
    uint8_t bInterfaceClass;
    uint8_t bInterfaceSubClass;
    uint8_t bInterfaceProtocol;
    uint8_t iInterface;
};

struct UsbEndpointDescriptor
{
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bEndpointAddress;
    uint8_t bmAttributes;
    uint16_t wMaxPacketSize;
    uint8_t bInterval;
};
#pragma pack(pop)

static_assert(sizeof(UsbDeviceDescriptor) == 18, "device descriptor is 18 bytes");
static_assert(offsetof(UsbDeviceDescriptor, idVendor) == 8, "idVendor at 8");
static_assert(offsetof(UsbDeviceDescriptor, idProduct) == 10, "idProduct at 10");
static_assert(offsetof(UsbDeviceDescriptor, iSerialNumber) == 16, "iSerialNumber at 16");
static_assert(sizeof(UsbConfigurationDescriptor) == 9, "configuration descriptor head is 9 bytes");
static_assert(offsetof(UsbConfigurationDescriptor, bNumInterfaces) == 4, "bNumInterfaces at 4");
static_assert(sizeof(UsbInterfaceDescriptor) == 9, "interface descriptor is 9 bytes");
static_assert(offsetof(UsbInterfaceDescriptor, bInterfaceNumber) == 2, "bInterfaceNumber at 2");
static_assert(offsetof(UsbInterfaceDescriptor, bInterfaceProtocol) == 7, "bInterfaceProtocol at 7");
static_assert(sizeof(UsbEndpointDescriptor) == 7, "endpoint descriptor is 7 bytes");

// Which interfaces a host lists on platforms that have no registered
// device-interface classes: a class, a subclass and a range of protocols.
struct UsbInterfaceMatch
{
    uint8_t interfaceClass;
    uint8_t interfaceSubClass;
    uint8_t firstProtocol;
    uint8_t lastProtocol;

    bool matches(uint8_t cls, uint8_t subClass, uint8_t protocol) const
    {
        return cls == interfaceClass && subClass == interfaceSubClass && protocol >= firstProtocol
            && protocol <= lastProtocol;
    }
};

// Values of UsbPipeInformation::PipeType.
enum UsbPipeType : uint32_t {
    UsbPipeControl = 0,
    UsbPipeIsochronous = 1,
    UsbPipeBulk = 2,
    UsbPipeInterrupt = 3,
};

// What a host reports about one pipe of an interface's alternate setting.
struct UsbPipeInformation
{
    uint32_t PipeType;
    uint8_t PipeId; // the endpoint address; bit 7 set for IN pipes
    uint16_t MaximumPacketSize;
    uint8_t Interval;
};

constexpr uint8_t UsbEndpointDirectionIn = 0x80;

// The setup stage of a control transfer, with host-order values; a host puts
// the words on the wire least significant byte first.
#pragma pack(push, 1)
struct UsbSetupPacket
{
    uint8_t RequestType;
    uint8_t Request;
    uint16_t Value;
    uint16_t Index;
    uint16_t Length;
};
#pragma pack(pop)

static_assert(sizeof(UsbSetupPacket) == 8, "setup packet is 8 bytes");

// The eight bytes of the packet as they travel on the bus.
inline std::array<uint8_t, 8> usbSetupPacketBytes(const UsbSetupPacket &setup)
{
    return {setup.RequestType, setup.Request, uint8_t(setup.Value & 0xFF), uint8_t(setup.Value >> 8),
        uint8_t(setup.Index & 0xFF), uint8_t(setup.Index >> 8), uint8_t(setup.Length & 0xFF),
        uint8_t(setup.Length >> 8)};
}
