#include "usb/host/usbbatchqueue.h"

#include <algorithm>
#include <vector>

bool UsbBatchQueue::write(Transfers &transfers, const uint8_t *buffer, uint32_t length, uint32_t batchSize,
    uint32_t depth, const UsbHost::BatchWritten &written)
{
    if (batchSize == 0)
        return length == 0;
    depth = std::max<uint32_t>(depth, 1);
    const uint32_t count = length / batchSize + (length % batchSize ? 1 : 0);
    const auto sizeOf = [&](uint32_t batch) { return std::min(batchSize, length - batch * batchSize); };

    enum class State : uint8_t { Waiting, InFlight, Done, Failed };
    std::vector<State> states(count, State::Waiting);
    uint32_t nextToSubmit = 0;
    uint32_t nextToReport = 0;
    uint32_t inFlight = 0;
    // The first batch that failed; nothing from it on is reported.
    uint32_t firstFailed = count;

    const auto reportInOrder = [&] {
        while (nextToReport < firstFailed && states[nextToReport] == State::Done)
            written(nextToReport++);
    };
    const auto reap = [&] {
        uint32_t batch = 0;
        bool ok = false;
        uint32_t transferred = 0;
        transfers.waitForOne(batch, ok, transferred);
        --inFlight;
        if (batch >= count)
            return;
        if (ok && transferred == sizeOf(batch)) {
            states[batch] = State::Done;
        } else {
            states[batch] = State::Failed;
            firstFailed = std::min(firstFailed, batch);
        }
    };

    while (nextToReport < count && firstFailed == count) {
        // The window is counted from the oldest batch not yet reported, so
        // that a late batch never lets later ones pile up without bound.
        while (nextToSubmit < count && nextToSubmit - nextToReport < depth && firstFailed == count) {
            const uint32_t batch = nextToSubmit++;
            if (!transfers.submit(batch, buffer + std::size_t(batch) * batchSize, sizeOf(batch))) {
                firstFailed = batch;
                break;
            }
            states[batch] = State::InFlight;
            ++inFlight;
        }
        if (inFlight == 0 || firstFailed < count)
            break;
        reap();
        reportInOrder();
    }

    if (inFlight > 0) {
        for (uint32_t batch = nextToReport; batch < nextToSubmit; ++batch) {
            if (states[batch] == State::InFlight)
                transfers.cancel(batch);
        }
        // Batches before the failed one may still end well while draining.
        while (inFlight > 0) {
            reap();
            reportInOrder();
        }
    }
    return firstFailed == count && nextToReport == count;
}
