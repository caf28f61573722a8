#pragma once

// The behaviour of a simulated device behind its descriptors: what it
// answers to control requests and what it does with bulk data. One model
// per device; the bus calls it without holding its own lock, so a model may
// call back into the bus (for instance to drop off the bus and come back
// when told to restart). Free of Qt.

#include "usb/host/usbdescriptors.h"

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

class SimUsbBus;

// Who a request is for.
struct SimTarget
{
    SimUsbBus &bus;
    int device;
    uint8_t interfaceNumber;
};

class SimDeviceModel
{
public:
    virtual ~SimDeviceModel() = default;

    // A request on the default pipe. For IN requests (bit 7 of RequestType)
    // write at most length bytes to buffer; for OUT requests buffer holds
    // length bytes. transferred is how many data bytes moved.
    // The default stalls IN requests and accepts OUT requests whole.
    virtual bool controlTransfer(const SimTarget &target, const UsbSetupPacket &setup, uint8_t *buffer,
        uint32_t length, uint32_t &transferred);

    // A read from an IN pipe; the default has nothing to give and fails.
    virtual bool readPipe(
        const SimTarget &target, uint8_t pipeId, uint8_t *buffer, uint32_t length, uint32_t &transferred);

    // A write to an OUT pipe; the default accepts every byte.
    virtual bool writePipe(
        const SimTarget &target, uint8_t pipeId, const uint8_t *data, uint32_t length, uint32_t &transferred);
};

// A model scripted by a test: fixed answers per IN request code, a queue of
// data per IN pipe, and a record of everything sent to it. Thread-safe.
class SimScriptedModel : public SimDeviceModel
{
public:
    struct ControlOut
    {
        UsbSetupPacket setup;
        std::vector<uint8_t> data;
    };

    // The answer to every later IN request with this code; it may be shorter
    // or longer than what the host asks for (the host gets the shorter).
    void setControlAnswer(uint8_t request, std::vector<uint8_t> answer);
    // Queues one chunk for a later read on an IN pipe; each read takes at
    // most one chunk (or the part of it that fits).
    void queueBulkIn(uint8_t pipeId, std::vector<uint8_t> chunk);
    // How many bytes each write may move at most; zero means all.
    void setWriteLimit(uint32_t bytesPerWrite);
    // Reads still move their bytes but report failure, as a transfer that
    // ended in an error after part of its data had arrived.
    void setReadsFailAfterMoving(bool fail);

    std::vector<ControlOut> controlOuts() const;
    std::vector<UsbSetupPacket> controlIns() const;
    std::vector<uint8_t> bulkOut(uint8_t pipeId) const;

    bool controlTransfer(const SimTarget &target, const UsbSetupPacket &setup, uint8_t *buffer,
        uint32_t length, uint32_t &transferred) override;
    bool readPipe(const SimTarget &target, uint8_t pipeId, uint8_t *buffer, uint32_t length,
        uint32_t &transferred) override;
    bool writePipe(const SimTarget &target, uint8_t pipeId, const uint8_t *data, uint32_t length,
        uint32_t &transferred) override;

private:
    mutable std::mutex m_mutex; // guards every member below
    std::map<uint8_t, std::vector<uint8_t>> m_answers;
    std::map<uint8_t, std::deque<std::vector<uint8_t>>> m_bulkIn;
    std::map<uint8_t, std::vector<uint8_t>> m_bulkOut;
    std::vector<ControlOut> m_controlOuts;
    std::vector<UsbSetupPacket> m_controlIns;
    uint32_t m_writeLimit = 0;
    bool m_readsFailAfterMoving = false;
};
