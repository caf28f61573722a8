#include "protocol/sim/simvantormodel.h"

SimDeviceProfile simVantorProfile(VantorMode mode, const std::u16string &usbSerial)
{
    SimInterfaceProfile loader;
    loader.number = vantorInterfaceNumber;
    loader.interfaceClass = vantorInterfaceClass;
    loader.interfaceSubClass = vantorInterfaceSubClass;
    loader.interfaceProtocol
        = mode == VantorMode::Flashing ? vantorFlashingProtocol : vantorApplicationProtocol;
    loader.pipes = {SimPipeProfile {vantorDataOutPipe, UsbPipeBulk, vantorPipePacketSize, 0},
        SimPipeProfile {vantorDataInPipe, UsbPipeBulk, vantorPipePacketSize, 0}};

    SimDeviceProfile profile;
    profile.vendorId = vantorVendorId;
    profile.productId = vantorProductId;
    profile.serialNumber = usbSerial;
    profile.serialNumberIndex = usbSerial.empty() ? 0 : 3;
    profile.interfaces = {loader};
    return profile;
}

SimVantorModel::SimVantorModel(
    std::u16string usbSerial, VantorDeviceState state, VantorDeviceBehaviour behaviour)
    : m_usbSerial(std::move(usbSerial))
    , m_link(m_usbSerial)
    , m_device(m_link, std::move(state), behaviour)
{ }

SimVantorModel::~SimVantorModel() = default;

bool SimVantorModel::controlTransfer(const SimTarget &target, const UsbSetupPacket &setup, uint8_t *buffer,
    uint32_t length, uint32_t &transferred)
{
    transferred = 0;
    if (target.interfaceNumber != vantorInterfaceNumber)
        return false;
    return m_device.controlRequest(setup, buffer, length, transferred);
}

bool SimVantorModel::readPipe(
    const SimTarget &, uint8_t pipeId, uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    transferred = 0;
    return pipeId == vantorDataInPipe && m_device.bulkIn(buffer, length, transferred);
}

bool SimVantorModel::writePipe(
    const SimTarget &, uint8_t pipeId, const uint8_t *data, uint32_t length, uint32_t &transferred)
{
    transferred = 0;
    return pipeId == vantorDataOutPipe && m_device.bulkOut(data, length, transferred);
}

SimVantorModel::BusLink::BusLink(std::u16string usbSerial)
    : m_usbSerial(std::move(usbSerial))
{ }

void SimVantorModel::BusLink::bind(const std::shared_ptr<SimUsbBus> &bus, SimUsbBus::DeviceId device)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bus = bus;
    m_device = device;
}

void SimVantorModel::BusLink::leave()
{
    std::shared_ptr<SimUsbBus> bus;
    SimUsbBus::DeviceId device;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        bus = m_bus.lock();
        device = m_device;
    }
    if (bus)
        bus->unplug(device);
}

void SimVantorModel::BusLink::arrive(VantorMode mode)
{
    std::shared_ptr<SimUsbBus> bus;
    SimUsbBus::DeviceId device;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        bus = m_bus.lock();
        device = m_device;
    }
    // The profile names no model, so the bus keeps this one.
    if (bus)
        bus->replug(device, simVantorProfile(mode, m_usbSerial));
    // Releasing bus may destroy the bus and with it this link; nothing
    // after this line may touch a member.
}

SimUsbBus::DeviceId plugVantorDevice(
    const std::shared_ptr<SimUsbBus> &bus, const std::shared_ptr<SimVantorModel> &model)
{
    SimDeviceProfile profile = simVantorProfile(model->device().mode(), model->usbSerial());
    profile.model = model;
    const SimUsbBus::DeviceId device = bus->plug(std::move(profile));
    model->m_link.bind(bus, device);
    return device;
}
