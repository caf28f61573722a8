#include "usb/host/sim/simdeviceprofile.h"

#include <algorithm>

namespace {

template <typename Record> void append(std::vector<uint8_t> &bytes, const Record &record)
{
    const auto *begin = reinterpret_cast<const uint8_t *>(&record);
    bytes.insert(bytes.end(), begin, begin + sizeof record);
}

uint8_t claimedInterfaceCount(const SimDeviceProfile &profile)
{
    return uint8_t(
        profile.claimedInterfaceCount >= 0 ? profile.claimedInterfaceCount : int(profile.interfaces.size()));
}

} // namespace

std::vector<uint8_t> simDeviceDescriptor(const SimDeviceProfile &profile)
{
    UsbDeviceDescriptor descriptor {};
    descriptor.bLength = sizeof descriptor;
    descriptor.bDescriptorType = UsbDeviceDescriptorType;
    descriptor.bcdUSB = usbWordStorage(0x0200);
    descriptor.bMaxPacketSize0 = 64;
    descriptor.idVendor = usbWordStorage(profile.vendorId);
    descriptor.idProduct = usbWordStorage(profile.productId);
    descriptor.bcdDevice = usbWordStorage(0x0100);
    descriptor.iSerialNumber = profile.serialNumberIndex;
    descriptor.bNumConfigurations = 1;
    std::vector<uint8_t> bytes;
    append(bytes, descriptor);
    return bytes;
}

std::vector<uint8_t> simConfigurationDescriptor(const SimDeviceProfile &profile)
{
    std::vector<uint8_t> body;
    for (const SimInterfaceProfile &interfaceProfile : profile.interfaces) {
        append(body, simInterfaceDescriptor(interfaceProfile));
        for (const SimPipeProfile &pipe : interfaceProfile.pipes) {
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
    head.bNumInterfaces = claimedInterfaceCount(profile);
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

UsbInterfaceDescriptor simInterfaceDescriptor(const SimInterfaceProfile &profile)
{
    UsbInterfaceDescriptor descriptor {};
    descriptor.bLength = sizeof descriptor;
    descriptor.bDescriptorType = UsbInterfaceDescriptorType;
    descriptor.bInterfaceNumber = profile.number;
    descriptor.bAlternateSetting = 0;
    descriptor.bNumEndpoints = uint8_t(profile.pipes.size());
    descriptor.bInterfaceClass = profile.interfaceClass;
    descriptor.bInterfaceSubClass = profile.interfaceSubClass;
    descriptor.bInterfaceProtocol = profile.interfaceProtocol;
    return descriptor;
}
