#pragma once

// A Vantor device on the simulated bus: the device core behind the bus's
// model interface, with a link that unplugs it and plugs it back in under
// the same path, presenting the interface of its new mode. Free of Qt.
//
// Threads: like the core, callable from any thread; the bus calls it from
// the host's thread, the return timer from its own.

#include "protocol/sim/vantordevice.h"
#include "usb/host/sim/simdevicemodel.h"
#include "usb/host/sim/simdeviceprofile.h"
#include "usb/host/sim/simusbbus.h"

#include <memory>
#include <mutex>
#include <string>

// How a Vantor device looks on the bus in a mode: vendor 0x1209, product
// 0x7A10, one vendor interface 0 (protocol 2 in application mode, 1 in
// flashing mode) with bulk pipes 0x01 and 0x81. The profile carries no
// model; plugVantorDevice adds it.
SimDeviceProfile simVantorProfile(VantorMode mode, const std::u16string &usbSerial);

class SimVantorModel : public SimDeviceModel
{
public:
    SimVantorModel(std::u16string usbSerial, VantorDeviceState state, VantorDeviceBehaviour behaviour);
    ~SimVantorModel() override;

    VantorDevice &device() { return m_device; }
    const VantorDevice &device() const { return m_device; }
    std::u16string usbSerial() const { return m_usbSerial; }

    bool controlTransfer(const SimTarget &target, const UsbSetupPacket &setup, uint8_t *buffer,
        uint32_t length, uint32_t &transferred) override;
    bool readPipe(const SimTarget &target, uint8_t pipeId, uint8_t *buffer, uint32_t length,
        uint32_t &transferred) override;
    bool writePipe(const SimTarget &target, uint8_t pipeId, const uint8_t *data, uint32_t length,
        uint32_t &transferred) override;

private:
    friend SimUsbBus::DeviceId plugVantorDevice(
        const std::shared_ptr<SimUsbBus> &bus, const std::shared_ptr<SimVantorModel> &model);

    class BusLink : public VantorLink
    {
    public:
        explicit BusLink(std::u16string usbSerial);
        void bind(const std::shared_ptr<SimUsbBus> &bus, SimUsbBus::DeviceId device);
        void leave() override;
        void arrive(VantorMode mode) override;

    private:
        const std::u16string m_usbSerial;
        std::mutex m_mutex; // guards m_bus and m_device
        // Weak, because the bus owns this model; a device whose bus is gone
        // has nowhere to return to.
        std::weak_ptr<SimUsbBus> m_bus;
        SimUsbBus::DeviceId m_device = -1;
    };

    const std::u16string m_usbSerial;
    BusLink m_link; // before m_device, which uses it until it is destroyed
    VantorDevice m_device;
};

// Puts the model's device on the bus in its current mode and ties its
// restarts to that place on the bus. A model belongs to one bus.
SimUsbBus::DeviceId plugVantorDevice(
    const std::shared_ptr<SimUsbBus> &bus, const std::shared_ptr<SimVantorModel> &model);
