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

bool LibusbQueuedTransfers::submit(uint32_t batch, const uint8_t *data, uint32_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    libusb_transfer *transfer = nullptr;
    if (m_idle.empty()) {
        transfer = libusb_alloc_transfer(0);
        if (!transfer)
            return false;
    } else {
        transfer = m_idle.back();
        m_idle.pop_back();
    }
    // libusb takes one buffer type for both directions and does not write to an OUT buffer.
    libusb_fill_bulk_transfer(transfer, m_device, m_pipeId, const_cast<uint8_t *>(data), int(length),
        onTransferEnded, this, m_timeoutMs);
    if (libusb_submit_transfer(transfer) != LIBUSB_SUCCESS) {
        m_idle.push_back(transfer);
        return false;
    }
    m_inFlight.emplace_back(transfer, batch);
    return true;
}

void LibusbQueuedTransfers::onTransferEnded(libusb_transfer *transfer)
{
    auto *self = static_cast<LibusbQueuedTransfers *>(transfer->user_data);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    auto &inFlight = self->m_inFlight;
    const auto found = std::find_if(
        inFlight.begin(), inFlight.end(), [transfer](const auto &entry) { return entry.first == transfer; });
    if (found != inFlight.end()) {
        self->m_ended.push_back({found->second, transfer->status == LIBUSB_TRANSFER_COMPLETED,
            uint32_t(transfer->actual_length < 0 ? 0 : transfer->actual_length)});
        *found = inFlight.back();
        inFlight.pop_back();
    }
    self->m_endedFlag = 1;
    self->m_idle.push_back(transfer);
}

void LibusbQueuedTransfers::waitForOne(uint32_t &batch, bool &ok, uint32_t &transferred)
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_ended.empty()) {
                const Ended ended = m_ended.front();
                m_ended.pop_front();
                if (m_ended.empty())
                    m_endedFlag = 0;
                batch = ended.batch;
                ok = ended.ok;
                transferred = ended.transferred;
                return;
            }
        }
        // Handles events here unless another thread does; either way it
        // returns once a transfer has ended. Every transfer has a time-out,
        // so this cannot wait for ever.
        timeval wait {1, 0};
        libusb_handle_events_timeout_completed(m_context, &wait, &m_endedFlag);
    }
}

void LibusbQueuedTransfers::cancel(uint32_t batch)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto &inFlight : m_inFlight) {
        if (inFlight.second == batch)
            libusb_cancel_transfer(inFlight.first);
    }
}
