// The bookkeeping of queued bulk writes against scripted platform transfers
// that end in any order, several at a time, fail, move too little or ignore
// a cancel: what is in flight, what is refilled from an end, what is
// reported and in which order, and that nothing is left in flight when a
// write ends.

#include "usb/host/usbbatchqueue.h"

#include <QtTest>

#include <set>

namespace {

enum class Order { OldestFirst, NewestFirst, PairsSwapped };

class ScriptedTransfers : public UsbBatchQueue::Transfers
{
public:
    Order order = Order::OldestFirst;
    int failingBatch = -1; // ends with an error
    int shortBatch = -1; // moves one byte too few
    int refusedBatch = -1; // cannot be submitted
    bool cancelTooLate = false; // a cancelled batch still ends as it would have
    uint32_t depth = 1;
    int endsPerWait = 1;

    std::set<uint32_t> inFlight;
    std::set<uint32_t> cancelled;
    std::size_t mostInFlight = 0;
    uint32_t widestInFlight = 0; // from the oldest batch in flight to the newest
    int submitsAfterFailure = 0;
    int wakes = 0;
    std::vector<uint8_t> firstBytes; // the first byte of each batch submitted
    // The fewest in flight just after an end, while nothing had failed and
    // batches were left to submit.
    std::size_t fewestAfterEnd = SIZE_MAX;
    bool failedEnd = false;
    uint32_t count = 0;

    bool submit(uint32_t batch, const uint8_t *data, uint32_t length) override
    {
        submitsAfterFailure += failedEnd ? 1 : 0;
        if (int(batch) == refusedBatch)
            return false;
        inFlight.insert(batch);
        widestInFlight = std::max(widestInFlight, batch - *inFlight.begin() + 1);
        m_lengths[batch] = length;
        firstBytes.push_back(data[0]);
        mostInFlight = std::max(mostInFlight, inFlight.size());
        return true;
    }

    void awaitEnds() override
    {
        QVERIFY(!inFlight.empty());
        for (int i = 0; i < endsPerWait && !inFlight.empty(); ++i) {
            uint32_t batch = order == Order::NewestFirst ? *inFlight.rbegin() : *inFlight.begin();
            if (order == Order::PairsSwapped && batch % 2 == 0 && inFlight.count(batch + 1))
                ++batch;
            inFlight.erase(batch);
            const bool cancelledInTime = cancelled.count(batch) && !cancelTooLate;
            const bool ok = !cancelledInTime && int(batch) != failingBatch;
            const uint32_t transferred = ok ? m_lengths[batch] - (int(batch) == shortBatch ? 1 : 0) : 0;
            failedEnd = failedEnd || !ok || transferred != m_lengths[batch];
            ended(batch, ok, transferred);
            if (!failedEnd && firstBytes.size() < count)
                fewestAfterEnd = std::min(fewestAfterEnd, inFlight.size());
        }
    }

    void wakeWriter() override { ++wakes; }

    void cancel(uint32_t batch) override
    {
        QVERIFY(inFlight.count(batch));
        cancelled.insert(batch);
    }

private:
    std::map<uint32_t, uint32_t> m_lengths;
};

} // namespace

Q_DECLARE_METATYPE(Order)

class TestBatchQueue : public QObject
{
    Q_OBJECT

private slots:
    void writesInOrderAndLeavesNothingInFlight_data();
    void writesInOrderAndLeavesNothingInFlight();
    void refillsFromEachEnd_data();
    void refillsFromEachEnd();
};

void TestBatchQueue::writesInOrderAndLeavesNothingInFlight_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("depth");
    QTest::addColumn<Order>("order");
    QTest::addColumn<int>("failing");
    QTest::addColumn<int>("shortOne");
    QTest::addColumn<int>("refused");
    QTest::addColumn<bool>("cancelTooLate");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QList<int>>("reported");
    QTest::addColumn<int>("mostInFlight");
    QTest::addColumn<QList<int>>("cancelled");

    const QList<int> all {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    QTest::addRow("depth 1 never has two batches in flight")
        << 2500 << 1 << Order::NewestFirst << -1 << -1 << -1 << false << true << all << 1 << QList<int>();
    QTest::addRow("depth 4 never has more than 4 in flight")
        << 2500 << 4 << Order::OldestFirst << -1 << -1 << -1 << false << true << all << 4 << QList<int>();
    QTest::addRow("depth 0 is taken as 1")
        << 2500 << 0 << Order::OldestFirst << -1 << -1 << -1 << false << true << all << 1 << QList<int>();
    QTest::addRow("later batches ending first are not reported before earlier ones")
        << 2500 << 4 << Order::NewestFirst << -1 << -1 << -1 << false << true << all << 4 << QList<int>();
    QTest::addRow("queue deeper than the block") << 700 << 16 << Order::NewestFirst << -1 << -1 << -1 << false
                                                 << true << QList<int>({0, 1, 2}) << 3 << QList<int>();
    QTest::addRow("empty block: nothing submitted") << 0 << 4 << Order::OldestFirst << -1 << -1 << -1 << false
                                                    << true << QList<int>() << 0 << QList<int>();
    QTest::addRow("failed batch: earlier ones reported, the ones in flight cancelled")
        << 2500 << 4 << Order::OldestFirst << 5 << -1 << -1 << false << false << QList<int>({0, 1, 2, 3, 4})
        << 4 << QList<int>({6, 7, 8});
    QTest::addRow("short batch is a failure like any other")
        << 2500 << 4 << Order::OldestFirst << -1 << 2 << -1 << false << false << QList<int>({0, 1}) << 4
        << QList<int>({3, 4, 5});
    QTest::addRow("failure while earlier batches are in flight: cancelled in time, none reported")
        << 2500 << 4 << Order::NewestFirst << 2 << -1 << -1 << false << false << QList<int>() << 4
        << QList<int>({0, 1});
    QTest::addRow("failure while earlier batches are in flight: they end well and are reported")
        << 2500 << 4 << Order::NewestFirst << 2 << -1 << -1 << true << false << QList<int>({0, 1}) << 4
        << QList<int>({0, 1});
    QTest::addRow("batch that cannot be submitted ends the write")
        << 2500 << 4 << Order::OldestFirst << -1 << -1 << 4 << true << false << QList<int>({0, 1, 2, 3}) << 4
        << QList<int>({1, 2, 3});
    QTest::addRow("last, shorter batch fails: nothing after it to cancel")
        << 2500 << 4 << Order::OldestFirst << 9 << -1 << -1 << false << false
        << QList<int>({0, 1, 2, 3, 4, 5, 6, 7, 8}) << 4 << QList<int>();
}

void TestBatchQueue::writesInOrderAndLeavesNothingInFlight()
{
    QFETCH(int, length);
    QFETCH(int, depth);
    ScriptedTransfers transfers;
    QFETCH(Order, order);
    transfers.order = order;
    QFETCH(int, failing);
    transfers.failingBatch = failing;
    QFETCH(int, shortOne);
    transfers.shortBatch = shortOne;
    QFETCH(int, refused);
    transfers.refusedBatch = refused;
    QFETCH(bool, cancelTooLate);
    transfers.cancelTooLate = cancelTooLate;
    transfers.depth = uint32_t(std::max(depth, 1));

    std::vector<uint8_t> block(static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = uint8_t(i / 256);
    QList<int> reported;
    const bool result = UsbBatchQueue::write(transfers, block.data(), uint32_t(length), 256, uint32_t(depth),
        [&](uint32_t batch) { reported << int(batch); });
    QTEST(result, "result");
    QTEST(reported, "reported");
    QTEST(int(transfers.mostInFlight), "mostInFlight");
    QVERIFY(transfers.inFlight.empty());
    QVERIFY(transfers.widestInFlight <= transfers.depth);
    QCOMPARE(transfers.submitsAfterFailure, 0);
    QList<int> cancelled;
    for (uint32_t batch : transfers.cancelled)
        cancelled << int(batch);
    QTEST(cancelled, "cancelled");
    // Each batch was submitted once, in order, from its own place in the block.
    for (std::size_t i = 0; i < transfers.firstBytes.size(); ++i)
        QCOMPARE(int(transfers.firstBytes[i]), int(i));
}

void TestBatchQueue::refillsFromEachEnd_data()
{
    QTest::addColumn<int>("depth");
    QTest::addColumn<Order>("order");
    QTest::addColumn<int>("endsPerWait");
    QTest::addColumn<int>("failing");
    QTest::addColumn<bool>("cancelTooLate");
    QTest::addColumn<int>("reportedCount"); // the first batches, of 16
    QTest::addColumn<int>("fewestAfterEnd");

    QTest::addRow("in order at depth 1: each end submits the next")
        << 1 << Order::OldestFirst << 1 << -1 << false << 16 << 1;
    QTest::addRow("in order at depth 8: each end refills the pipe before the writer wakes")
        << 8 << Order::OldestFirst << 3 << -1 << false << 16 << 8;
    QTest::addRow("out of order at depth 8: the window waits for the late batch")
        << 8 << Order::PairsSwapped << 2 << -1 << false << 16 << 7;
    QTest::addRow("failure mid-way at depth 1") << 1 << Order::OldestFirst << 1 << 5 << false << 5 << 1;
    QTest::addRow("failure mid-way at depth 8") << 8 << Order::OldestFirst << 3 << 5 << false << 5 << 8;
    QTest::addRow("failure mid-way at depth 8: an earlier batch ending well submits nothing")
        << 8 << Order::PairsSwapped << 1 << 5 << true << 5 << 7;
}

void TestBatchQueue::refillsFromEachEnd()
{
    QFETCH(int, depth);
    QFETCH(int, failing);
    ScriptedTransfers transfers;
    transfers.depth = uint32_t(depth);
    transfers.count = 16;
    QFETCH(Order, order);
    transfers.order = order;
    QFETCH(int, endsPerWait);
    transfers.endsPerWait = endsPerWait;
    transfers.failingBatch = failing;
    QFETCH(bool, cancelTooLate);
    transfers.cancelTooLate = cancelTooLate;

    std::vector<uint8_t> block(16 * 256);
    QList<int> reported;
    const bool result = UsbBatchQueue::write(transfers, block.data(), uint32_t(block.size()), 256,
        uint32_t(depth), [&](uint32_t batch) { reported << int(batch); });
    QCOMPARE(result, failing < 0);
    QList<int> expected;
    QFETCH(int, reportedCount);
    for (int batch = 0; batch < reportedCount; ++batch)
        expected << batch;
    QCOMPARE(reported, expected);
    QTEST(int(transfers.fewestAfterEnd), "fewestAfterEnd");
    QVERIFY(transfers.inFlight.empty());
    QVERIFY(transfers.widestInFlight <= transfers.depth);
    QCOMPARE(transfers.submitsAfterFailure, 0);
    // Every end wakes the writer, whichever thread it arrives on.
    QCOMPARE(transfers.wakes, int(transfers.firstBytes.size()));
}

QTEST_GUILESS_MAIN(TestBatchQueue)
#include "tst_batchqueue.moc"
