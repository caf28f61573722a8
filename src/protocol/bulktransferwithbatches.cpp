#include "protocol/bulktransferwithbatches.h"

#include "usb/usbendpoint.h"

#include <atomic>

namespace {

std::atomic<int> queueDepthSetting {BulkTransferWithBatches::defaultQueueDepth};

} // namespace

BulkTransferWithBatches::BulkTransferWithBatches(USBEndpoint *endpoint, QObject *parent)
    : QObject(parent)
    , endpoint(endpoint)
{ }

int BulkTransferWithBatches::percentage(qint64 written, qint64 total)
{
    return int(written * 100 / total);
}

void BulkTransferWithBatches::setQueueDepth(int depth)
{
    queueDepthSetting = qBound(1, depth, maxQueueDepth);
}

int BulkTransferWithBatches::queueDepth()
{
    return queueDepthSetting;
}

bool BulkTransferWithBatches::transfer()
{
    lastReported = 0;
    const int depth = queueDepth();
    return depth <= 1 ? transferOneAtATime() : transferQueued(depth);
}

void BulkTransferWithBatches::report(qint64 written, qint64 total)
{
    const int progress = percentage(written, total);
    if (progress == lastReported)
        return;
    lastReported = progress;
    emit programmingProgress(progress);
}

bool BulkTransferWithBatches::transferOneAtATime()
{
    const int total = data.size();
    for (int offset = 0; offset < total; offset += batchSize) {
        const int length = qMin(batchSize, total - offset);
        // A view into data: the batch is written straight from the block.
        const QByteArray batch = QByteArray::fromRawData(data.constData() + offset, length);
        if (!endpoint || !endpoint->write(batch))
            return false;
        report(qint64(offset) + length, total);
    }
    return true;
}

bool BulkTransferWithBatches::transferQueued(int depth)
{
    const int total = data.size();
    if (total == 0)
        return true;
    if (!endpoint)
        return false;
    return endpoint->writeBatches(data, batchSize, depth,
        [this, total](int batch) { report(qMin(qint64(batch + 1) * batchSize, qint64(total)), total); });
}
