#pragma once

// One pipe's bulk-out batches as libusb's asynchronous transfers, for the
// batch queue of a pipelined write. Free of Qt.
//
// Given the whole write (planAhead), a transfer that ends well takes the
// next batch at once, from within libusb's event handling, so that the
// pipe stays full without a round through the batch queue for every
// completion. Such a batch stays out of the queue's sight until the queue
// submits it itself: submit then finds it under way (or ended) and only
// shows it. After a failure, or once the queue cancels anything, nothing
// more is submitted ahead; finish() cancels what went ahead and still runs.
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
    // Every submitted transfer has ended by then: the batch queue waits for
    // all it submitted, and finish() for the rest.
    ~LibusbQueuedTransfers() override;
    LibusbQueuedTransfers(const LibusbQueuedTransfers &) = delete;
    LibusbQueuedTransfers &operator=(const LibusbQueuedTransfers &) = delete;

    // The write the batch queue is about to make, so that ended transfers
    // can take the next batches themselves. Each takes one as it ends, so
    // no more run at once than the queue itself submitted.
    void planAhead(const uint8_t *buffer, uint32_t length, uint32_t batchSize);
    // After the batch queue's write: cancels the batches submitted ahead
    // that still run and waits until every one has ended.
    void finish();

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
    // Under m_mutex.
    bool submitLocked(libusb_transfer *transfer, uint32_t batch, const uint8_t *data, uint32_t length);
    void submitAheadLocked(libusb_transfer *transfer);
    int endedFlagLocked() const;
    void handleEvents();

    libusb_context *const m_context;
    libusb_device_handle *const m_device;
    const uint8_t m_pipeId;
    const unsigned int m_timeoutMs;

    std::mutex m_mutex; // guards everything below
    std::vector<std::pair<libusb_transfer *, uint32_t>> m_inFlight; // no more than the depth
    // Ended transfers, used again: a write keeps no more than its depth, and
    // allocating one per batch costs the writer more than the rest of its work.
    std::vector<libusb_transfer *> m_idle;
    std::deque<Ended> m_ended;
    // Set while an ended batch the queue submitted waits to be taken, for
    // libusb_handle_events_timeout_completed. Only the writer hands it to
    // libusb, so libusb reads it on the writer alone: under its events lock
    // when the writer handles the events, under its event waiters lock when
    // another thread does. The writer's own changes come before its reads;
    // the callback's hold both of libusb's locks, the events lock because
    // libusb calls it under that one, the waiters lock by taking it.
    int m_endedFlag = 0;

    // The planned write; no batch goes ahead without one.
    const uint8_t *m_buffer = nullptr;
    uint32_t m_length = 0;
    uint32_t m_batchSize = 0;
    uint32_t m_count = 0;
    uint32_t m_submitted = 0; // batches before this one were submitted, ahead or by the queue
    uint32_t m_asked = 0; // batches before this one the queue submitted (and so sees)
    bool m_aheadStopped = false;
};
