#pragma once

// The host's side of a simulated Vantor device, spoken through the bus's
// raw host calls only: the tests build their own setup packets, so they do
// not lean on the program's protocol classes.

#include "protocol/sim/simvantormodel.h"
#include "usb/host/sim/simusbbus.h"

#include <QByteArray>

#include <memory>
#include <optional>

inline UsbSetupPacket vantorSetup(uint8_t requestType, uint8_t request, uint16_t value, uint16_t length)
{
    return UsbSetupPacket {requestType, request, value, 0, length};
}

// One opened handle on a device; reopen() after the device came back.
class VantorHost
{
public:
    VantorHost(std::shared_ptr<SimUsbBus> bus, SimUsbBus::DeviceId device)
        : m_bus(std::move(bus))
        , m_device(device)
    {
        reopen();
    }
    ~VantorHost() { close(); }

    bool reopen()
    {
        close();
        UsbOpenError error = UsbOpenError::None;
        if (!m_bus->openFile(m_bus->path(m_device), m_file, error))
            return false;
        return m_bus->initialize(m_file, m_interface);
    }

    // The answer of an IN request, or none when it stalled.
    std::optional<QByteArray> in(uint8_t request, uint16_t value, uint16_t length)
    {
        QByteArray answer(length, '\0');
        uint32_t transferred = 0;
        if (!m_bus->controlTransfer(m_interface, vantorSetup(0xC1, request, value, length),
                reinterpret_cast<uint8_t *>(answer.data()), length, transferred))
            return std::nullopt;
        answer.resize(int(transferred));
        return answer;
    }

    bool out(uint8_t request, uint16_t value = 0, QByteArray data = QByteArray())
    {
        uint32_t transferred = 0;
        const bool ok
            = m_bus->controlTransfer(m_interface, vantorSetup(0x41, request, value, uint16_t(data.size())),
                data.isEmpty() ? nullptr : reinterpret_cast<uint8_t *>(data.data()), uint32_t(data.size()),
                transferred);
        return ok && transferred == uint32_t(data.size());
    }

    bool raw(const UsbSetupPacket &setup, QByteArray &buffer, uint32_t &transferred)
    {
        return m_bus->controlTransfer(m_interface, setup,
            buffer.isEmpty() ? nullptr : reinterpret_cast<uint8_t *>(buffer.data()), uint32_t(buffer.size()),
            transferred);
    }

    bool write(const QByteArray &data)
    {
        uint32_t transferred = 0;
        return m_bus->writePipe(m_interface, 0x01, reinterpret_cast<const uint8_t *>(data.constData()),
                   uint32_t(data.size()), transferred)
            && transferred == uint32_t(data.size());
    }

    // Writes in 256-byte batches, as the program does; false at the first failure.
    bool writeInBatches(const QByteArray &data)
    {
        for (int offset = 0; offset < data.size(); offset += 256) {
            if (!write(data.mid(offset, 256)))
                return false;
        }
        return true;
    }

    std::optional<QByteArray> read(uint32_t length)
    {
        QByteArray buffer(int(length), '\0');
        uint32_t transferred = 0;
        if (!m_bus->readPipe(
                m_interface, 0x81, reinterpret_cast<uint8_t *>(buffer.data()), length, transferred))
            return std::nullopt;
        buffer.resize(int(transferred));
        return buffer;
    }

    // A length-prefixed read: request, then one bulk read of what it announced.
    std::optional<QByteArray> readBlock(uint8_t request, uint16_t value)
    {
        const std::optional<QByteArray> prefix = in(request, value, 4);
        if (!prefix || prefix->size() != 4)
            return std::nullopt;
        const uint32_t length = uint8_t(prefix->at(0)) | uint8_t(prefix->at(1)) << 8
            | uint8_t(prefix->at(2)) << 16 | uint32_t(uint8_t(prefix->at(3))) << 24;
        if (length == 0)
            return QByteArray();
        return read(length);
    }

    uint8_t interfaceProtocol()
    {
        UsbInterfaceDescriptor descriptor {};
        return m_bus->queryInterfaceSettings(m_interface, 0, descriptor) ? descriptor.bInterfaceProtocol : 0;
    }

    UsbInterfaceHandle interfaceHandle() const { return m_interface; }

private:
    void close()
    {
        if (m_interface != UsbInterfaceHandle::Invalid)
            m_bus->freeInterface(m_interface);
        if (m_file != UsbFileHandle::Invalid)
            m_bus->closeFile(m_file);
        m_interface = UsbInterfaceHandle::Invalid;
        m_file = UsbFileHandle::Invalid;
    }

    std::shared_ptr<SimUsbBus> m_bus;
    SimUsbBus::DeviceId m_device;
    UsbFileHandle m_file = UsbFileHandle::Invalid;
    UsbInterfaceHandle m_interface = UsbInterfaceHandle::Invalid;
};

inline QByteArray le32(uint32_t value)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char(value >> (8 * i));
    return bytes;
}

// The 24-byte announcement of an image of size bytes.
inline QByteArray imageAnnouncement(uint32_t size)
{
    return le32(size) + QByteArray::fromHex("a5a5a5a5") + QByteArray(16, 'B');
}

inline QByteArray toQByteArray(const std::vector<uint8_t> &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}
