// The bookkeeping of queued bulk writes against scripted platform transfers
// that end in any order, fail, move too little or ignore a cancel: what is
// in flight, what is reported and in which order, and that nothing is left
// in flight when a write ends.

#include "usb/host/usbbatchqueue.h"

#include <QtTest>

#include <set>

namespace {

enum class Order { OldestFirst, NewestFirst };

class ScriptedTransfers : public UsbBatchQueue::Transfers
{
public:
    Order order = Order::OldestFirst;
    int failingBatch = -1; // ends with an error
    int shortBatch = -1; // moves one byte too few
    int refusedBatch = -1; // cannot be submitted
    bool cancelTooLate = false; // a cancelled batch still ends as it would have

    std::set<uint32_t> inFlight;
    std::set<uint32_t> cancelled;
    std::size_t mostInFlight = 0;
    std::vector<uint8_t> firstBytes; // the first byte of each batch submitted

    bool submit(uint32_t batch, const uint8_t *data, uint32_t length) override
    {
        if (int(batch) == refusedBatch)
            return false;
        inFlight.insert(batch);
        m_lengths[batch] = length;
        firstBytes.push_back(data[0]);
        mostInFlight = std::max(mostInFlight, inFlight.size());
        return true;
    }

    void waitForOne(uint32_t &batch, bool &ok, uint32_t &transferred) override
    {
        Q_ASSERT(!inFlight.empty());
        batch = order == Order::OldestFirst ? *inFlight.begin() : *inFlight.rbegin();
        inFlight.erase(batch);
        const bool cancelledInTime = cancelled.count(batch) && !cancelTooLate;
        ok = !cancelledInTime && int(batch) != failingBatch;
        transferred = ok ? m_lengths[batch] - (int(batch) == shortBatch ? 1 : 0) : 0;
    }

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
    QList<int> cancelled;
    for (uint32_t batch : transfers.cancelled)
        cancelled << int(batch);
    QTEST(cancelled, "cancelled");
    // Each batch was submitted once, in order, from its own place in the block.
    for (std::size_t i = 0; i < transfers.firstBytes.size(); ++i)
        QCOMPARE(int(transfers.firstBytes[i]), int(i));
}

QTEST_GUILESS_MAIN(TestBatchQueue)
#include "tst_batchqueue.moc"
