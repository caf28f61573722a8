#pragma once

// One interface of an opened device and the handle all its traffic goes
// through: its descriptor, one USBEndpoint per pipe, and the vendor control
// transfers of the device protocol. Lives on the worker thread with its
// device; every call blocks until the host returns.

#include "usb/host/usbhost.h"
#include "usb/usbexception.h"

#include <QByteArray>
#include <QMap>
#include <QObject>

class USBDevice;
class USBEndpoint;

class USBInterface : public QObject
{
    Q_OBJECT

public:
    class GetInterfaceConfigurationException : public UsbException
    {
    };
    class ControlTransferException : public UsbException
    {
    };

    // Reads the descriptor of alternate setting 0 and creates the pipes.
    // Throws GetInterfaceConfigurationException or, from a pipe,
    // USBEndpoint::EndpointQueryException; a throw leaves no object behind.
    USBInterface(USBDevice *parent, UsbInterfaceHandle handle);

    UsbInterfaceHandle handle() const { return m_handle; }
    uint8_t interfaceNumber() const { return m_interfaceDescriptor.bInterfaceNumber; }
    uint8_t interfaceClass() const { return m_interfaceDescriptor.bInterfaceClass; }
    uint8_t interfaceSubClass() const { return m_interfaceDescriptor.bInterfaceSubClass; }
    uint8_t interfaceProtocol() const { return m_interfaceDescriptor.bInterfaceProtocol; }
    USBDevice *parentDevice() const { return m_parentDevice; }
    // Counts the rebinds to a new handle, so that a handler can tell that
    // what it read from the device may be out of date.
    int bindCount() const { return m_bindCount; }
    UsbHost *host() const;

    // The pipes by endpoint address; the pointers stay valid until the next
    // rebind or unbind of this interface (its device's close unbinds it) or
    // its deletion.
    QMap<uint8_t, USBEndpoint *> endpoints() const { return m_endpointMap; }

    // A vendor request to this interface. Throws ControlTransferException
    // unless exactly length bytes moved (a failed call counts as none, so only
    // a transfer without data can fail without throwing); else the host's
    // success flag.
    bool controlTransfer(uint8_t request, uint16_t value, void *buffer, uint16_t length, bool deviceToHost);
    // Exactly length bytes from the device, or ControlTransferException.
    QByteArray controlIn(uint8_t request, uint16_t value, uint16_t length);
    // Sends data whole; more than a control transfer can carry (65535 bytes)
    // throws ControlTransferException without sending anything.
    bool controlOut(uint8_t request, uint16_t value, const QByteArray &data);

    // Takes the handle the reopened device gave for this interface number and
    // re-reads the descriptor and the pipes; the object and its handler stay.
    // Throws as the constructor does, leaving no pipes.
    void rebind(UsbInterfaceHandle handle);

    // Cuts the interface off from the device when a rescan finds it gone or
    // the device closes: it keeps no pipes and its requests fail without
    // reaching the host.
    void unbind();

    // The setup stage of a vendor request with an interface as recipient.
    static UsbSetupPacket vendorSetupPacket(
        uint8_t request, uint16_t value, uint8_t interfaceNumber, uint16_t length, bool deviceToHost);

private:
    void loadEndpoints();

    UsbInterfaceDescriptor m_interfaceDescriptor {};
    USBDevice *m_parentDevice;
    UsbInterfaceHandle m_handle;
    QMap<uint8_t, USBEndpoint *> m_endpointMap;
    int m_bindCount = 0;
};
