// Queued bulk writes on the simulated bus: the batches wait in submission
// order and reach the device one by one, as a pipe's transfers do.

#include "usb/host/sim/simusbbus.h"
#include "usb/host/usbbatchqueue.h"

#include <deque>

namespace {

class SimQueuedTransfers : public UsbBatchQueue::Transfers
{
public:
    SimQueuedTransfers(SimUsbBus &bus, UsbInterfaceHandle handle, uint8_t pipeId)
        : m_bus(bus)
        , m_handle(handle)
        , m_pipeId(pipeId)
    { }

    bool submit(uint32_t batch, const uint8_t *data, uint32_t length) override
    {
        m_queue.push_back({batch, data, length, false});
        return true;
    }

    void awaitEnds() override
    {
        const Pending pending = m_queue.front();
        m_queue.pop_front();
        uint32_t transferred = 0;
        const bool ok = !pending.cancelled
            && m_bus.writePipe(m_handle, m_pipeId, pending.data, pending.length, transferred);
        ended(pending.batch, ok, transferred);
    }

    void cancel(uint32_t batch) override
    {
        for (Pending &pending : m_queue) {
            if (pending.batch == batch)
                pending.cancelled = true;
        }
    }

private:
    struct Pending
    {
        uint32_t batch;
        const uint8_t *data;
        uint32_t length;
        bool cancelled;
    };

    SimUsbBus &m_bus;
    UsbInterfaceHandle m_handle;
    uint8_t m_pipeId;
    std::deque<Pending> m_queue;
};

} // namespace

bool SimUsbBus::writePipeBatches(UsbInterfaceHandle handle, uint8_t pipeId, const uint8_t *buffer,
    uint32_t length, uint32_t batchSize, uint32_t depth, const BatchWritten &written)
{
    SimQueuedTransfers transfers(*this, handle, pipeId);
    return UsbBatchQueue::write(transfers, buffer, length, batchSize, depth, written);
}
