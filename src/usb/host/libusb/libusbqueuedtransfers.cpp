#include "usb/host/libusb/libusbqueuedtransfers.h"

#include <libusb.h>

#include <algorithm>

LibusbQueuedTransfers::LibusbQueuedTransfers(
    libusb_context *context, libusb_device_handle *device, uint8_t pipeId, unsigned int timeoutMs)
    : m_context(context)
    , m_device(device)
    , m_pipeId(pipeId)
    , m_timeoutMs(timeoutMs)
{ }

LibusbQueuedTransfers::~LibusbQueuedTransfers()
{
    for (libusb_transfer *transfer : m_idle)
        libusb_free_transfer(transfer);
}

void LibusbQueuedTransfers::planAhead(const uint8_t *buffer, uint32_t length, uint32_t batchSize)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_buffer = buffer;
    m_length = length;
    m_batchSize = batchSize;
    m_count = batchSize ? length / batchSize + (length % batchSize ? 1 : 0) : 0;
}

bool LibusbQueuedTransfers::submitLocked(
    libusb_transfer *transfer, uint32_t batch, const uint8_t *data, uint32_t length)
{
    // libusb takes one buffer type for both directions and does not write to an OUT buffer.
    libusb_fill_bulk_transfer(transfer, m_device, m_pipeId, const_cast<uint8_t *>(data), int(length),
        onTransferEnded, this, m_timeoutMs);
    if (libusb_submit_transfer(transfer) != LIBUSB_SUCCESS) {
        m_idle.push_back(transfer);
        return false;
    }
    m_inFlight.emplace_back(transfer, batch);
    m_submitted = std::max(m_submitted, batch + 1);
    return true;
}

bool LibusbQueuedTransfers::submit(uint32_t batch, const uint8_t *data, uint32_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_asked = std::max(m_asked, batch + 1);
    if (batch < m_submitted) {
        // Went ahead already: from now on the queue sees it, and it may have ended.
        m_endedFlag = endedFlagLocked();
        return true;
    }
    libusb_transfer *transfer = nullptr;
    if (m_idle.empty()) {
        transfer = libusb_alloc_transfer(0);
        if (!transfer)
            return false;
    } else {
        transfer = m_idle.back();
        m_idle.pop_back();
    }
    return submitLocked(transfer, batch, data, length);
}

void LibusbQueuedTransfers::submitAheadLocked(libusb_transfer *transfer)
{
    if (m_aheadStopped || !m_buffer || m_submitted >= m_count) {
        m_idle.push_back(transfer);
        return;
    }
    const uint32_t batch = m_submitted;
    const uint32_t offset = batch * m_batchSize;
    if (!submitLocked(transfer, batch, m_buffer + offset, std::min(m_batchSize, m_length - offset)))
        m_aheadStopped = true; // the queue submits it itself, and sees the failure
}

void LibusbQueuedTransfers::onTransferEnded(libusb_transfer *transfer)
{
    auto *self = static_cast<LibusbQueuedTransfers *>(transfer->user_data);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    auto &inFlight = self->m_inFlight;
    const auto found = std::find_if(
        inFlight.begin(), inFlight.end(), [transfer](const auto &entry) { return entry.first == transfer; });
    if (found == inFlight.end()) {
        self->m_idle.push_back(transfer);
        return;
    }
    const uint32_t batch = found->second;
    const bool ok = transfer->status == LIBUSB_TRANSFER_COMPLETED;
    const uint32_t transferred = uint32_t(transfer->actual_length < 0 ? 0 : transfer->actual_length);
    *found = inFlight.back();
    inFlight.pop_back();
    self->m_ended.push_back({batch, ok, transferred});
    // Takes the next batch only in order after a whole batch, as the queue would.
    const bool oldest = std::none_of(
        inFlight.begin(), inFlight.end(), [batch](const auto &entry) { return entry.second < batch; });
    const uint32_t expected
        = std::min(self->m_batchSize, self->m_length - std::min(self->m_length, batch * self->m_batchSize));
    if (!ok || transferred != expected)
        self->m_aheadStopped = true;
    if (oldest)
        self->submitAheadLocked(transfer);
    else
        self->m_idle.push_back(transfer);
    // The writer may be waiting for another thread's event handling: libusb
    // then reads the flag under its event waiters lock, not under the events
    // lock this callback runs under, so the flag changes under that lock too.
    // Locks: libusb's events lock, then m_mutex, then the waiters lock;
    // libusb calls nothing of ours while it holds the waiters lock.
    const int endedFlag = self->endedFlagLocked();
    if (endedFlag != self->m_endedFlag) {
        libusb_lock_event_waiters(self->m_context);
        self->m_endedFlag = endedFlag;
        libusb_unlock_event_waiters(self->m_context);
    }
}

int LibusbQueuedTransfers::endedFlagLocked() const
{
    return std::any_of(m_ended.begin(), m_ended.end(),
               [this](const Ended &ended) { return ended.batch < m_asked; })
        ? 1
        : 0;
}

void LibusbQueuedTransfers::handleEvents()
{
    // Handles events here unless another thread does; either way it returns
    // once a transfer has ended or the wait is over. Every transfer has a
    // time-out, so this cannot wait for ever.
    timeval wait {1, 0};
    libusb_handle_events_timeout_completed(m_context, &wait, &m_endedFlag);
}

void LibusbQueuedTransfers::waitForOne(uint32_t &batch, bool &ok, uint32_t &transferred)
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto seen = std::find_if(
                m_ended.begin(), m_ended.end(), [this](const Ended &ended) { return ended.batch < m_asked; });
            if (seen != m_ended.end()) {
                batch = seen->batch;
                ok = seen->ok;
                transferred = seen->transferred;
                m_ended.erase(seen);
                m_endedFlag = endedFlagLocked();
                return;
            }
        }
        handleEvents();
    }
}

void LibusbQueuedTransfers::cancel(uint32_t batch)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_aheadStopped = true;
    for (const auto &inFlight : m_inFlight) {
        if (inFlight.second == batch)
            libusb_cancel_transfer(inFlight.first);
    }
}

void LibusbQueuedTransfers::finish()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_aheadStopped = true;
        for (const auto &inFlight : m_inFlight)
            libusb_cancel_transfer(inFlight.first);
        m_ended.clear();
        m_endedFlag = 0;
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_inFlight.empty())
                return;
            // Nothing waits to be taken now; a flag left set would keep
            // libusb from handling the events these transfers wait for.
            m_ended.clear();
            m_endedFlag = 0;
        }
        handleEvents();
    }
}
