#include "protocol/bulktransferwithbatches.h"

#include "usb/usbendpoint.h"

BulkTransferWithBatches::BulkTransferWithBatches(USBEndpoint *endpoint, QObject *parent)
    : QObject(parent)
    , endpoint(endpoint)
{ }

int BulkTransferWithBatches::percentage(qint64 written, qint64 total)
{
    return int(written * 100 / total);
}

bool BulkTransferWithBatches::transfer()
{
    const int total = data.size();
    for (int offset = 0; offset < total; offset += batchSize) {
        const int length = qMin(batchSize, total - offset);
        // A view into data: the batch is written straight from the block.
        const QByteArray batch = QByteArray::fromRawData(data.constData() + offset, length);
        if (!endpoint || !endpoint->write(batch))
            return false;
        emit programmingProgress(percentage(qint64(offset) + length, total));
    }
    return true;
}
