#include "usb/host/libusb/libusbqueuedtransfers.h"

#include <libusb.h>

LibusbQueuedTransfers::LibusbQueuedTransfers(libusb_context *context, libusb_device_handle *device,
    uint8_t pipeId, unsigned int timeoutMs, uint32_t depth)
    : m_context(context)
    , m_device(device)
    , m_pipeId(pipeId)
    , m_timeoutMs(timeoutMs)
    , m_slots(depth ? depth : 1)
{
    for (Slot &slot : m_slots)
        slot.owner = this;
}

LibusbQueuedTransfers::~LibusbQueuedTransfers()
{
    for (const Slot &slot : m_slots)
        libusb_free_transfer(slot.transfer);
}

bool LibusbQueuedTransfers::submit(uint32_t batch, const uint8_t *data, uint32_t length)
{
    // Allocating one per batch costs the writer more than the rest of its work.
    Slot &slot = m_slots[batch % m_slots.size()];
    if (!slot.transfer)
        slot.transfer = libusb_alloc_transfer(0);
    if (!slot.transfer)
        return false;
    slot.batch = batch;
    // libusb takes one buffer type for both directions and does not write to an OUT buffer.
    libusb_fill_bulk_transfer(slot.transfer, m_device, m_pipeId, const_cast<uint8_t *>(data), int(length),
        onTransferEnded, &slot, m_timeoutMs);
    return libusb_submit_transfer(slot.transfer) == LIBUSB_SUCCESS;
}

void LibusbQueuedTransfers::cancel(uint32_t batch)
{
    libusb_cancel_transfer(m_slots[batch % m_slots.size()].transfer);
}

void LibusbQueuedTransfers::onTransferEnded(libusb_transfer *transfer)
{
    const Slot &slot = *static_cast<const Slot *>(transfer->user_data);
    LibusbQueuedTransfers *const self = slot.owner;
    const bool ok = transfer->status == LIBUSB_TRANSFER_COMPLETED;
    const uint32_t transferred = uint32_t(transfer->actual_length < 0 ? 0 : transfer->actual_length);
    // The queue may hand this very transfer the next batch, and the writer
    // may return once it has seen this end: nothing is touched after this.
    self->ended(slot.batch, ok, transferred);
}

void LibusbQueuedTransfers::wakeWriter()
{
    libusb_lock_event_waiters(m_context);
    m_endedFlag = 1;
    libusb_unlock_event_waiters(m_context);
}

void LibusbQueuedTransfers::awaitEnds()
{
    // Handles events here unless another thread does; either way it returns
    // once a batch has ended or the wait is over. Every transfer has a
    // time-out, so the queue cannot wait for ever.
    timeval wait {1, 0};
    libusb_handle_events_timeout_completed(m_context, &wait, &m_endedFlag);
    // Cleared only after the wait: an end that comes before the queue looks
    // again is seen then, and one that comes later sets the flag anew.
    libusb_lock_event_waiters(m_context);
    m_endedFlag = 0;
    libusb_unlock_event_waiters(m_context);
}
