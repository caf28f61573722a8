#include "usb/host/sim/simdevicespec.h"

#include <algorithm>

namespace {

template <typename Record> void append(std::vector<uint8_t> &bytes, const Record &record)
{
    const auto *begin = reinterpret_cast<const uint8_t *>(&record);
    bytes.insert(bytes.end(), begin, begin + sizeof record);
}

uint8_t claimedInterfaceCount(const SimDeviceSpec &spec)
{
    return uint8_t(
        spec.claimedInterfaceCount >= 0 ? spec.claimedInterfaceCount : int(spec.interfaces.size()));
}

} // namespace

std::vector<uint8_t> simDeviceDescriptor(const SimDeviceSpec &spec)
{
    UsbDeviceDescriptor descriptor {};
    descriptor.bLength = sizeof descriptor;
    descriptor.bDescriptorType = UsbDeviceDescriptorType;
    descriptor.bcdUSB = usbWordStorage(0x0200);
    descriptor.bMaxPacketSize0 = 64;
    descriptor.idVendor = usbWordStorage(spec.vendorId);
    descriptor.idProduct = usbWordStorage(spec.productId);
    descriptor.bcdDevice = usbWordStorage(0x0100);
    descriptor.iSerialNumber = spec.serialNumberIndex;
    descriptor.bNumConfigurations = 1;
    std::vector<uint8_t> bytes;
    append(bytes, descriptor);
    return bytes;
}

std::vector<uint8_t> simConfigurationDescriptor(const SimDeviceSpec &spec)
{
    std::vector<uint8_t> body;
    for (const SimInterfaceSpec &interfaceSpec : spec.interfaces) {
        append(body, simInterfaceDescriptor(interfaceSpec));
        for (const SimPipeSpec &pipe : interfaceSpec.pipes) {
            UsbEndpointDescriptor endpoint {};
            endpoint.bLength = sizeof endpoint;
            endpoint.bDescriptorType = UsbEndpointDescriptorType;
            endpoint.bEndpointAddress = pipe.address;
            endpoint.bmAttributes = uint8_t(pipe.type & 3);
            endpoint.wMaxPacketSize = usbWordStorage(pipe.maximumPacketSize);
            endpoint.bInterval = pipe.interval;
            append(body, endpoint);
        }
    }
    UsbConfigurationDescriptor head {};
    head.bLength = sizeof head;
    head.bDescriptorType = UsbConfigurationDescriptorType;
    head.wTotalLength = usbWordStorage(uint16_t(sizeof head + body.size()));
    head.bNumInterfaces = claimedInterfaceCount(spec);
    head.bConfigurationValue = 1;
    head.bmAttributes = 0x80;
    head.MaxPower = 50;
    std::vector<uint8_t> bytes;
    append(bytes, head);
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

std::vector<uint8_t> simStringDescriptor(const std::u16string &text)
{
    // bLength is one byte, so a descriptor carries at most 126 characters.
    const size_t characters = std::min<size_t>(text.size(), 126);
    std::vector<uint8_t> bytes {uint8_t(2 + 2 * characters), UsbStringDescriptorType};
    for (size_t i = 0; i < characters; ++i) {
        bytes.push_back(uint8_t(text[i] & 0xFF));
        bytes.push_back(uint8_t(text[i] >> 8));
    }
    return bytes;
}

UsbInterfaceDescriptor simInterfaceDescriptor(const SimInterfaceSpec &spec)
{
    UsbInterfaceDescriptor descriptor {};
    descriptor.bLength = sizeof descriptor;
    descriptor.bDescriptorType = UsbInterfaceDescriptorType;
    descriptor.bInterfaceNumber = spec.number;
    descriptor.bAlternateSetting = 0;
    descriptor.bNumEndpoints = uint8_t(spec.pipes.size());
    descriptor.bInterfaceClass = spec.interfaceClass;
    descriptor.bInterfaceSubClass = spec.interfaceSubClass;
    descriptor.bInterfaceProtocol = spec.interfaceProtocol;
    return descriptor;
}
