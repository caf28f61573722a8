#pragma once

// One pipe's bulk-out batches as libusb's asynchronous transfers, for the
// batch queue of a pipelined write: each transfer reports its end to the
// queue from libusb's completion callback, and the queue refills the pipe
// from there. Free of Qt.
//
// Threads: used from the writing thread. A transfer completes on whichever
// thread handles libusb's events: the writer itself while it waits, since
// the host's event thread stands aside while it writes, or another thread
// of the host that is in a transfer.

#include "usb/host/usbbatchqueue.h"

#include <cstdint>
#include <vector>

struct libusb_context;
struct libusb_device_handle;
struct libusb_transfer;

class LibusbQueuedTransfers : public UsbBatchQueue::Transfers
{
public:
    // Keeps a transfer for each batch the queue may have in flight, up to depth.
    LibusbQueuedTransfers(libusb_context *context, libusb_device_handle *device, uint8_t pipeId,
        unsigned int timeoutMs, uint32_t depth);
    // Every submitted transfer has ended by then: the batch queue waits for all.
    ~LibusbQueuedTransfers() override;
    LibusbQueuedTransfers(const LibusbQueuedTransfers &) = delete;
    LibusbQueuedTransfers &operator=(const LibusbQueuedTransfers &) = delete;

    bool submit(uint32_t batch, const uint8_t *data, uint32_t length) override;
    void cancel(uint32_t batch) override;
    void awaitEnds() override;
    void wakeWriter() override;

private:
    struct Slot
    {
        LibusbQueuedTransfers *owner = nullptr;
        libusb_transfer *transfer = nullptr; // allocated on first use, then used again
        uint32_t batch = 0;
    };

    static void onTransferEnded(libusb_transfer *transfer);

    libusb_context *const m_context;
    libusb_device_handle *const m_device;
    const uint8_t m_pipeId;
    const unsigned int m_timeoutMs;
    std::vector<Slot> m_slots;

    // Set once a batch has reported its end, for
    // libusb_handle_events_timeout_completed, which only the writer calls:
    // libusb reads it on the writer, under its events lock when the writer
    // handles the events, under its event waiters lock when another thread
    // does. So it changes only under the waiters lock, and a callback (which
    // runs under the events lock) takes that lock to set it. Locks: libusb's
    // events lock, then the queue's, then the waiters lock.
    int m_endedFlag = 0;
};
