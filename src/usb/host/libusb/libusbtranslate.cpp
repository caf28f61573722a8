#include "usb/host/libusb/libusbtranslate.h"

std::u16string libusbPortPath(uint8_t busNumber, const uint8_t *portNumbers, int portCount)
{
    std::string path = "usb:" + std::to_string(busNumber) + '-';
    for (int i = 0; i < portCount; ++i) {
        if (i > 0)
            path += '.';
        path += std::to_string(portNumbers[i]);
    }
    // A device on no port at all is a root hub, never one of ours.
    if (portCount <= 0)
        path += '0';
    return std::u16string(path.begin(), path.end());
}

std::string libusbSysfsInterfaceName(uint8_t busNumber, const uint8_t *portNumbers, int portCount,
    uint8_t configuration, uint8_t interfaceNumber)
{
    const std::u16string port = libusbPortPath(busNumber, portNumbers, portCount);
    return std::string(port.begin() + 4, port.end()) + ':' + std::to_string(configuration) + '.'
        + std::to_string(interfaceNumber);
}

UsbOpenError libusbOpenError(int libusbError)
{
    switch (libusbError) {
    case LIBUSB_SUCCESS:
        return UsbOpenError::None;
    case LIBUSB_ERROR_ACCESS:
        return UsbOpenError::AccessDenied;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
        return UsbOpenError::NotPresent;
    case LIBUSB_ERROR_BUSY:
        return UsbOpenError::InUse;
    default:
        return UsbOpenError::Failed;
    }
}

UsbDeviceDescriptor libusbDeviceRecord(const libusb_device_descriptor &descriptor)
{
    UsbDeviceDescriptor record {};
    record.bLength = sizeof record;
    record.bDescriptorType = UsbDeviceDescriptorType;
    record.bcdUSB = usbWordStorage(descriptor.bcdUSB);
    record.bDeviceClass = descriptor.bDeviceClass;
    record.bDeviceSubClass = descriptor.bDeviceSubClass;
    record.bDeviceProtocol = descriptor.bDeviceProtocol;
    record.bMaxPacketSize0 = descriptor.bMaxPacketSize0;
    record.idVendor = usbWordStorage(descriptor.idVendor);
    record.idProduct = usbWordStorage(descriptor.idProduct);
    record.bcdDevice = usbWordStorage(descriptor.bcdDevice);
    record.iManufacturer = descriptor.iManufacturer;
    record.iProduct = descriptor.iProduct;
    record.iSerialNumber = descriptor.iSerialNumber;
    record.bNumConfigurations = descriptor.bNumConfigurations;
    return record;
}

UsbConfigurationDescriptor libusbConfigurationRecord(const libusb_config_descriptor &descriptor)
{
    UsbConfigurationDescriptor record {};
    record.bLength = sizeof record;
    record.bDescriptorType = UsbConfigurationDescriptorType;
    record.wTotalLength = usbWordStorage(descriptor.wTotalLength);
    record.bNumInterfaces = descriptor.bNumInterfaces;
    record.bConfigurationValue = descriptor.bConfigurationValue;
    record.iConfiguration = descriptor.iConfiguration;
    record.bmAttributes = descriptor.bmAttributes;
    record.MaxPower = descriptor.MaxPower;
    return record;
}

UsbInterfaceDescriptor libusbInterfaceRecord(const libusb_interface_descriptor &descriptor)
{
    UsbInterfaceDescriptor record {};
    record.bLength = sizeof record;
    record.bDescriptorType = UsbInterfaceDescriptorType;
    record.bInterfaceNumber = descriptor.bInterfaceNumber;
    record.bAlternateSetting = descriptor.bAlternateSetting;
    record.bNumEndpoints = descriptor.bNumEndpoints;
    record.bInterfaceClass = descriptor.bInterfaceClass;
    record.bInterfaceSubClass = descriptor.bInterfaceSubClass;
    record.bInterfaceProtocol = descriptor.bInterfaceProtocol;
    record.iInterface = descriptor.iInterface;
    return record;
}

UsbPipeInformation libusbPipeInformation(const libusb_endpoint_descriptor &descriptor)
{
    UsbPipeInformation pipe {};
    // The transfer type bits use the same numbers as the pipe types.
    pipe.PipeType = descriptor.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;
    pipe.PipeId = descriptor.bEndpointAddress;
    // Bits 11 and 12 count extra transactions per microframe, not bytes.
    pipe.MaximumPacketSize = descriptor.wMaxPacketSize & 0x7FF;
    pipe.Interval = descriptor.bInterval;
    return pipe;
}

const libusb_interface_descriptor *libusbAlternateSetting(
    const libusb_interface &usbInterface, uint8_t alternateSetting)
{
    for (int i = 0; i < usbInterface.num_altsetting; ++i) {
        if (usbInterface.altsetting[i].bAlternateSetting == alternateSetting)
            return &usbInterface.altsetting[i];
    }
    return nullptr;
}

bool libusbConfigurationMatches(const libusb_config_descriptor &configuration, const UsbInterfaceMatch &match)
{
    for (int i = 0; i < configuration.bNumInterfaces; ++i) {
        const libusb_interface &usbInterface = configuration.interface[i];
        for (int a = 0; a < usbInterface.num_altsetting; ++a) {
            const libusb_interface_descriptor &setting = usbInterface.altsetting[a];
            if (match.matches(
                    setting.bInterfaceClass, setting.bInterfaceSubClass, setting.bInterfaceProtocol))
                return true;
        }
    }
    return false;
}
