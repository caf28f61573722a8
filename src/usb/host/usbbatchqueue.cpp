#include "usb/host/usbbatchqueue.h"

#include <algorithm>

void UsbBatchQueue::Transfers::ended(uint32_t batch, bool ok, uint32_t transferred)
{
    m_queue->ended(batch, ok, transferred);
}

UsbBatchQueue::UsbBatchQueue(
    Transfers &transfers, const uint8_t *buffer, uint32_t length, uint32_t batchSize, uint32_t depth)
    : m_transfers(transfers)
    , m_buffer(buffer)
    , m_length(length)
    , m_batchSize(batchSize)
    , m_depth(std::max<uint32_t>(depth, 1))
    , m_count(length / batchSize + (length % batchSize ? 1 : 0))
    , m_states(m_count, State::Waiting)
    , m_firstFailed(m_count)
{ }

bool UsbBatchQueue::write(Transfers &transfers, const uint8_t *buffer, uint32_t length, uint32_t batchSize,
    uint32_t depth, const UsbHost::BatchWritten &written)
{
    if (batchSize == 0)
        return length == 0;
    UsbBatchQueue queue(transfers, buffer, length, batchSize, depth);
    transfers.m_queue = &queue;
    const bool ok = queue.run(written);
    transfers.m_queue = nullptr;
    return ok;
}

uint32_t UsbBatchQueue::sizeOf(uint32_t batch) const
{
    return std::min(m_batchSize, m_length - batch * m_batchSize);
}

bool UsbBatchQueue::run(const UsbHost::BatchWritten &written)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    fillLocked();
    for (;;) {
        const uint32_t from = m_nextToReport;
        while (m_nextToReport < m_firstFailed && m_states[m_nextToReport] == State::Done)
            ++m_nextToReport;
        if (from < m_nextToReport) {
            // Progress goes out unlocked, so that ends keep refilling meanwhile.
            const uint32_t to = m_nextToReport;
            lock.unlock();
            for (uint32_t batch = from; batch < to; ++batch)
                written(batch);
            lock.lock();
            continue;
        }
        if (m_inFlight == 0)
            break;
        lock.unlock();
        m_transfers.awaitEnds();
        lock.lock();
    }
    return m_firstFailed == m_count && m_nextToReport == m_count;
}

void UsbBatchQueue::ended(uint32_t batch, bool ok, uint32_t transferred)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_inFlight;
    if (!ok || transferred != sizeOf(batch)) {
        m_states[batch] = State::Failed;
        stopLocked(batch);
    } else {
        m_states[batch] = State::Done;
        while (m_nextEnded < m_nextToSubmit && m_states[m_nextEnded] == State::Done)
            ++m_nextEnded;
        fillLocked();
    }
    m_transfers.wakeWriter();
}

void UsbBatchQueue::fillLocked()
{
    while (!m_stopped && m_nextToSubmit < m_count && m_nextToSubmit - m_nextEnded < m_depth) {
        const uint32_t batch = m_nextToSubmit;
        if (!m_transfers.submit(batch, m_buffer + std::size_t(batch) * m_batchSize, sizeOf(batch))) {
            stopLocked(batch);
            return;
        }
        m_states[batch] = State::InFlight;
        ++m_nextToSubmit;
        ++m_inFlight;
    }
}

void UsbBatchQueue::stopLocked(uint32_t failedBatch)
{
    m_firstFailed = std::min(m_firstFailed, failedBatch);
    if (m_stopped)
        return;
    m_stopped = true;
    // Batches before the failed one may still end well and be reported.
    for (uint32_t batch = m_nextEnded; batch < m_nextToSubmit; ++batch) {
        if (m_states[batch] == State::InFlight)
            m_transfers.cancel(batch);
    }
}
