#pragma once

// What the libusb host turns into the layer's terms and back, kept apart so
// it can be checked without a device: the path of a port, the meaning of
// libusb's error codes, and descriptors in the byte layout the bus uses.
// Free of Qt.

#include "usb/host/usbhost.h"

#include <libusb.h>

#include <cstdint>
#include <string>

// A name for the port a device sits in, "usb:" and the kernel's name for it
// (bus number, then the port chain from the root hub: "usb:3-1.4"). It stays
// the same while the device sits in that port, across re-enumeration.
std::u16string libusbPortPath(uint8_t busNumber, const uint8_t *portNumbers, int portCount);

// The sysfs name of one interface of the device at that port
// ("3-1.4:1.0"), where the kernel shows the driver that holds it.
std::string libusbSysfsInterfaceName(uint8_t busNumber, const uint8_t *portNumbers, int portCount,
    uint8_t configuration, uint8_t interfaceNumber);

// Why libusb_open or libusb_claim_interface failed, in the layer's terms.
UsbOpenError libusbOpenError(int libusbError);

// The device's descriptors as they travel on the bus: libusb hands them out
// with multi-byte fields in host order.
UsbDeviceDescriptor libusbDeviceRecord(const libusb_device_descriptor &descriptor);
UsbConfigurationDescriptor libusbConfigurationRecord(const libusb_config_descriptor &descriptor);
UsbInterfaceDescriptor libusbInterfaceRecord(const libusb_interface_descriptor &descriptor);
UsbPipeInformation libusbPipeInformation(const libusb_endpoint_descriptor &descriptor);

// The alternate setting with that number of one interface, or null.
const libusb_interface_descriptor *libusbAlternateSetting(
    const libusb_interface &usbInterface, uint8_t alternateSetting);

// Whether any interface of a configuration matches, in any alternate setting.
bool libusbConfigurationMatches(
    const libusb_config_descriptor &configuration, const UsbInterfaceMatch &match);
