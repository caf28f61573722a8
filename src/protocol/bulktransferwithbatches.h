#pragma once

// Writes one block to a data-out pipe in 256-byte batches and reports the
// percentage written after each batch. One object per transfer, on the
// worker thread.

#include <QByteArray>
#include <QObject>

class USBEndpoint;

class BulkTransferWithBatches : public QObject
{
    Q_OBJECT

public:
    static constexpr int defaultBatchSize = 256;

    // endpoint may be null (an interface without pipes): then any data fails.
    explicit BulkTransferWithBatches(USBEndpoint *endpoint, QObject *parent = nullptr);

    void setData(const QByteArray &block) { data = block; }
    // True when every batch was written; the first failed batch ends it.
    bool transfer();

    // (bytes written so far) * 100 / total, truncated; exact for any size.
    static int percentage(qint64 written, qint64 total);

signals:
    void programmingProgress(int progress);

private:
    int batchSize = defaultBatchSize;
    USBEndpoint *endpoint;
    QByteArray data;
};
