#pragma once

// One pipe's bulk-out batches as libusb's asynchronous transfers, for the
// batch queue of a pipelined write. Free of Qt.
//
// Threads: used from the writing thread. A transfer completes on whichever
// thread handles libusb's events: the writer itself while it waits, since
// the host's event thread stands aside while it writes, or another thread
// of the host that is in a transfer; the completions meet under a lock.

#include "usb/host/usbbatchqueue.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

struct libusb_context;
struct libusb_device_handle;
struct libusb_transfer;

class LibusbQueuedTransfers : public UsbBatchQueue::Transfers
{
public:
    LibusbQueuedTransfers(
        libusb_context *context, libusb_device_handle *device, uint8_t pipeId, unsigned int timeoutMs);
    // Every submitted transfer has ended by then: the batch queue waits for all of them.
    ~LibusbQueuedTransfers() override;
    LibusbQueuedTransfers(const LibusbQueuedTransfers &) = delete;
    LibusbQueuedTransfers &operator=(const LibusbQueuedTransfers &) = delete;

    bool submit(uint32_t batch, const uint8_t *data, uint32_t length) override;
    void waitForOne(uint32_t &batch, bool &ok, uint32_t &transferred) override;
    void cancel(uint32_t batch) override;

private:
    struct Ended
    {
        uint32_t batch;
        bool ok;
        uint32_t transferred;
    };

    static void onTransferEnded(libusb_transfer *transfer);

    libusb_context *const m_context;
    libusb_device_handle *const m_device;
    const uint8_t m_pipeId;
    const unsigned int m_timeoutMs;

    std::mutex m_mutex; // guards m_inFlight, m_idle, m_ended and m_endedFlag
    std::vector<std::pair<libusb_transfer *, uint32_t>> m_inFlight; // no more than the depth
    // Ended transfers, used again: a write keeps no more than its depth, and
    // allocating one per batch costs the writer more than the rest of its work.
    std::vector<libusb_transfer *> m_idle;
    std::deque<Ended> m_ended;
    // Set when a transfer ends, for libusb_handle_events_timeout_completed,
    // which reads it under libusb's own event lock.
    int m_endedFlag = 0;
};
