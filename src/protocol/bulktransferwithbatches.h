#pragma once

// Writes one block to a data-out pipe in 256-byte batches and reports the
// percentage written as it grows: after a batch, whenever the value differs
// from the last one reported. A block of more than 100 batches would repeat
// values, and every value the window gets crosses to its thread; this way
// each distinct value arrives once, in order, the last one 100. 0 (nothing
// written yet) is the owner's to report before the transfer starts. With a
// queue depth above 1 the batches go out with that many in flight where
// the host can queue them; what the device receives and the progress
// reported stay the same. One object per transfer, on the worker thread.

#include <QByteArray>
#include <QObject>

class USBEndpoint;

class BulkTransferWithBatches : public QObject
{
    Q_OBJECT

public:
    static constexpr int defaultBatchSize = 256;
    // Batches in flight at once. 8 gets nearly all of the gain that a
    // queue brings on a device that keeps several reads posted; more adds
    // little but cancelling.
    static constexpr int defaultQueueDepth = 8;
    static constexpr int maxQueueDepth = 64;

    // endpoint may be null (an interface without pipes): then any data fails.
    explicit BulkTransferWithBatches(USBEndpoint *endpoint, QObject *parent = nullptr);

    void setData(const QByteArray &block) { data = block; }
    // True when every batch was written; the first failed batch ends it.
    bool transfer();

    // (bytes written so far) * 100 / total, truncated; exact for any size.
    static int percentage(qint64 written, qint64 total);

    // The depth every later transfer uses, 1 to maxQueueDepth (clamped); 1
    // writes one batch at a time. Any thread.
    static void setQueueDepth(int depth);
    static int queueDepth();

signals:
    void programmingProgress(int progress);

private:
    bool transferOneAtATime();
    bool transferQueued(int depth);
    // Emits the value written so far unless it was the last one emitted.
    void report(qint64 written, qint64 total);

    int batchSize = defaultBatchSize;
    int lastReported = 0;
    USBEndpoint *endpoint;
    QByteArray data;
};
