#include "usb/usbinterface.h"

#include "usb/usbdevice.h"
#include "usb/usbendpoint.h"

#include <limits>

namespace {

// bmRequestType: vendor request, recipient interface; bit 7 gives the direction.
constexpr uint8_t vendorToInterface = 0x41;
constexpr uint8_t vendorFromInterface = 0xC1;

} // namespace

USBInterface::USBInterface(USBDevice *parent, UsbInterfaceHandle handle)
    : QObject(parent)
    , m_parentDevice(parent)
    , m_handle(handle)
{
    if (!host()->queryInterfaceSettings(m_handle, 0, m_interfaceDescriptor))
        throw GetInterfaceConfigurationException();
    loadEndpoints();
}

UsbHost *USBInterface::host() const
{
    return m_parentDevice->host();
}

void USBInterface::rebind(UsbInterfaceHandle handle)
{
    qDeleteAll(m_endpointMap);
    m_endpointMap.clear();
    m_handle = handle;
    ++m_bindCount;
    m_interfaceDescriptor = UsbInterfaceDescriptor {};
    if (!host()->queryInterfaceSettings(m_handle, 0, m_interfaceDescriptor))
        throw GetInterfaceConfigurationException();
    loadEndpoints();
}

void USBInterface::unbind()
{
    qDeleteAll(m_endpointMap);
    m_endpointMap.clear();
    m_handle = UsbInterfaceHandle::Invalid;
    ++m_bindCount;
}

void USBInterface::loadEndpoints()
{
    for (uint8_t i = 0; i < m_interfaceDescriptor.bNumEndpoints; ++i) {
        auto *endpoint = new USBEndpoint(this, i);
        m_endpointMap.insert(endpoint->pipeInformation().PipeId, endpoint);
    }
}

UsbSetupPacket USBInterface::vendorSetupPacket(
    uint8_t request, uint16_t value, uint8_t interfaceNumber, uint16_t length, bool deviceToHost)
{
    return UsbSetupPacket {
        deviceToHost ? vendorFromInterface : vendorToInterface, request, value, interfaceNumber, length};
}

bool USBInterface::controlTransfer(
    uint8_t request, uint16_t value, void *buffer, uint16_t length, bool deviceToHost)
{
    const UsbSetupPacket setup = vendorSetupPacket(request, value, interfaceNumber(), length, deviceToHost);
    uint32_t transferred = 0;
    const bool ok = m_handle != UsbInterfaceHandle::Invalid
        && host()->controlTransfer(m_handle, setup, static_cast<uint8_t *>(buffer), length, transferred);
    if (!ok)
        transferred = 0;
    if (transferred != length)
        throw ControlTransferException();
    return ok;
}

QByteArray USBInterface::controlIn(uint8_t request, uint16_t value, uint16_t length)
{
    QByteArray answer(length, '\0');
    controlTransfer(request, value, answer.data(), length, true);
    return answer;
}

bool USBInterface::controlOut(uint8_t request, uint16_t value, const QByteArray &data)
{
    // wLength is 16 bits: a longer array would otherwise go out cut short and
    // still count as sent.
    if (data.size() > std::numeric_limits<uint16_t>::max())
        throw ControlTransferException();
    QByteArray outgoing = data;
    return controlTransfer(
        request, value, outgoing.isEmpty() ? nullptr : outgoing.data(), uint16_t(outgoing.size()), false);
}
