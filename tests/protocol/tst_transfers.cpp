#include "loadertestsupport.h"

#include "firmware/firmwarefile.h"
#include "protocol/bulktransferwithbatches.h"
#include "protocol/datapipes.h"
#include "protocol/usbdatareader.h"
#include "protocol/usbfirmwareloader.h"
#include "protocol/usbsettingsloader.h"

#include <QTemporaryDir>
#include <QtTest>

#include <climits>

// The transfer helpers against a scripted device: what reaches the pipes, in
// which pieces, and the progress reported on the way.
class TestTransfers : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void percentageNeverOverflows_data();
    void percentageNeverOverflows();
    void batches_data();
    void batches();
    void firmwareImage_data();
    void firmwareImage();
    void settingsSlot_data();
    void settingsSlot();
    void lengthPrefixedRead_data();
    void lengthPrefixedRead();
    void factoryConfigurationInFlashingMode_data();
    void factoryConfigurationInFlashingMode();

private:
    USBInterface *startDevice(uint8_t protocol = 1, bool withPipes = true);
    QList<int> writeLengths() const;
    QSharedPointer<FirmwareFile> firmwareWithPayload(const QByteArray &payload);

    QTemporaryDir m_files;
    std::shared_ptr<SimUsbBus> m_bus;
    std::shared_ptr<LoaderScriptModel> m_model;
    std::unique_ptr<USBDriver> m_driver;
};

void TestTransfers::init()
{
    // Set for each test, so that one that fails cannot leave its depth behind.
    BulkTransferWithBatches::setQueueDepth(BulkTransferWithBatches::defaultQueueDepth);
    m_bus = std::make_shared<SimUsbBus>();
    m_model = scriptedLoaderModel();
}

void TestTransfers::cleanup()
{
    m_driver.reset();
    QCOMPARE(m_bus->openFileCount(), 0);
    QCOMPARE(m_bus->invalidHandleUses(), 0);
}

USBInterface *TestTransfers::startDevice(uint8_t protocol, bool withPipes)
{
    SimDeviceProfile profile = loaderDeviceProfile(m_model, protocol);
    if (!withPipes)
        profile.interfaces[0].pipes.clear();
    m_bus->plug(profile);
    m_driver = makeDriver(m_bus, loaderFactories());
    m_bus->clearCalls();
    return m_driver->devices().value(0)->interfaces().value(0);
}

QList<int> TestTransfers::writeLengths() const
{
    QList<int> lengths;
    for (const SimCall &call : m_bus->calls()) {
        if (call.op == SimOp::WritePipe)
            lengths << int(call.length);
    }
    return lengths;
}

QSharedPointer<FirmwareFile> TestTransfers::firmwareWithPayload(const QByteArray &payload)
{
    FirmwareFile::THeader header {};
    std::memcpy(header.magic, "BZOK", 4);
    header.dataSize = quint32(payload.size());
    header.deviceWord = 0x11223344;
    std::memset(header.deviceBlock, 0xAB, sizeof header.deviceBlock);
    const QString path = m_files.filePath("image.tvf");
    QFile file(path);
    if (!file.open(QFile::WriteOnly))
        return {};
    file.write(FirmwareFile::fileHeaderBytes(header) + payload);
    file.close();
    auto firmware = QSharedPointer<FirmwareFile>::create();
    firmware->loadFile(path);
    return firmware;
}

void TestTransfers::percentageNeverOverflows_data()
{
    QTest::addColumn<qint64>("written");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("percent");
    QTest::addRow("first of four batches") << qint64(256) << qint64(1000) << 25;
    QTest::addRow("truncates") << qint64(256) << qint64(257) << 99;
    QTest::addRow("whole") << qint64(1000) << qint64(1000) << 100;
    QTest::addRow("largest block a 32-bit product allows") << qint64(21474836) << qint64(21474836) << 100;
    QTest::addRow("past it: half of 100 MB") << qint64(50000000) << qint64(100000000) << 50;
    QTest::addRow("near 2 GiB") << qint64(INT_MAX - 255) << qint64(INT_MAX) << 99;
}

void TestTransfers::percentageNeverOverflows()
{
    QFETCH(qint64, written);
    QFETCH(qint64, total);
    QTEST(BulkTransferWithBatches::percentage(written, total), "percent");
}

void TestTransfers::batches_data()
{
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("failingWrite"); // 0: none
    QTest::addColumn<bool>("shortWrite"); // the failing write moves fewer bytes instead
    QTest::addColumn<bool>("withPipes");
    QTest::addColumn<QList<int>>("writes");
    QTest::addColumn<QList<int>>("progress");
    QTest::addColumn<bool>("result");
    // Queued or one at a time, the device and the caller see the same.
    for (int depth : {1, BulkTransferWithBatches::defaultQueueDepth, 3}) {
        QTest::addRow("depth %d, 256 bytes: one batch", depth)
            << depth << 256 << 0 << false << true << QList<int>({256}) << QList<int>({100}) << true;
        QTest::addRow("depth %d, 257 bytes", depth)
            << depth << 257 << 0 << false << true << QList<int>({256, 1}) << QList<int>({99, 100}) << true;
        QTest::addRow("depth %d, 1000 bytes", depth)
            << depth << 1000 << 0 << false << true << QList<int>({256, 256, 256, 232})
            << QList<int>({25, 51, 76, 100}) << true;
        QTest::addRow("depth %d, 5000 bytes: more batches than the queue holds", depth)
            << depth << 5000 << 0 << false << true << (QList<int>() << QVector<int>(19, 256).toList() << 136)
            << QList<int>({5, 10, 15, 20, 25, 30, 35, 40, 46, 51, 56, 61, 66, 71, 76, 81, 87, 92, 97, 100})
            << true;
        // 300 batches: each percentage after the first batch's 0 once, in order.
        QList<int> everyValue;
        for (int percent = 1; percent <= 100; ++percent)
            everyValue << percent;
        QTest::addRow("depth %d, 300 batches: each value once", depth)
            << depth << 300 * 256 << 0 << false << true << QVector<int>(300, 256).toList() << everyValue
            << true;
        QTest::addRow("depth %d, 300 batches, batch 150 fails", depth)
            << depth << 300 * 256 << 150 << false << true << QVector<int>(150, 256).toList()
            << everyValue.mid(0, 49) << false;
        QTest::addRow("depth %d, empty: nothing written, nothing reported", depth)
            << depth << 0 << 0 << false << true << QList<int>() << QList<int>() << true;
        QTest::addRow("depth %d, second batch fails: rest not sent", depth)
            << depth << 1000 << 2 << false << true << QList<int>({256, 256}) << QList<int>({25}) << false;
        QTest::addRow("depth %d, third batch moves fewer bytes: a failure, rest not sent", depth)
            << depth << 1000 << 3 << true << true << QList<int>({256, 256, 256}) << QList<int>({25, 51})
            << false;
        QTest::addRow("depth %d, no pipe to write to", depth)
            << depth << 10 << 0 << false << false << QList<int>() << QList<int>() << false;
        QTest::addRow("depth %d, no pipe, nothing to write", depth)
            << depth << 0 << 0 << false << false << QList<int>() << QList<int>() << true;
    }
}

void TestTransfers::batches()
{
    QFETCH(int, depth);
    QFETCH(int, size);
    QFETCH(int, failingWrite);
    QFETCH(bool, shortWrite);
    QFETCH(bool, withPipes);
    BulkTransferWithBatches::setQueueDepth(depth);
    USBInterface *usbInterface = startDevice(1, withPipes);
    QVERIFY(usbInterface);
    if (failingWrite > 0)
        m_bus->injectFault({SimOp::WritePipe,
            shortWrite ? SimFault::Action::MoveFewer : SimFault::Action::Fail, failingWrite, 1, 100});
    QByteArray block(size, '\0');
    for (int i = 0; i < size; ++i)
        block[i] = char(i * 7);
    BulkTransferWithBatches transfer(dataOutPipe(usbInterface));
    QSignalSpy progress(&transfer, &BulkTransferWithBatches::programmingProgress);
    transfer.setData(block);
    QTEST(transfer.transfer(), "result");
    QTEST(writeLengths(), "writes");
    QList<int> values;
    for (const QVariantList &value : qAsConst(progress))
        values << value.first().toInt();
    QTEST(values, "progress");
    if (failingWrite == 0 && withPipes)
        QCOMPARE(m_model->bulkOut(bulkOutPipe), std::vector<uint8_t>(block.begin(), block.end()));
}

void TestTransfers::firmwareImage_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("failingWrite");
    QTest::addColumn<QList<int>>("progress");
    QTest::addColumn<bool>("result");
    QTest::addRow("1000 bytes") << 1000 << 0 << QList<int>({0, 25, 51, 76, 100}) << true;
    QTest::addRow("third batch fails") << 1000 << 3 << QList<int>({0, 25, 51}) << false;
    // A file without an image is refused at load; the smallest one is a byte.
    QTest::addRow("one byte: announcement and one write") << 1 << 0 << QList<int>({0, 100}) << true;
}

void TestTransfers::firmwareImage()
{
    QFETCH(int, size);
    QFETCH(int, failingWrite);
    QVERIFY(m_files.isValid());
    USBInterface *usbInterface = startDevice();
    const QSharedPointer<FirmwareFile> firmware = firmwareWithPayload(QByteArray(size, 'f'));
    QVERIFY(firmware);
    if (failingWrite > 0)
        m_bus->injectFault({SimOp::WritePipe, SimFault::Action::Fail, failingWrite});
    UsbFirmwareLoader loader(usbInterface);
    QSignalSpy progress(&loader, &UsbFirmwareLoader::programmingProgress);
    QTEST(loader.sendFirmware(firmware), "result");

    QCOMPARE(requestLog(*m_bus), QStringList({">2"}));
    const std::vector<uint8_t> announcement = m_model->controlOuts().front().data;
    QCOMPARE(announcement.size(), size_t(24));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(announcement.data()), 24), firmware->imageInfo());
    QCOMPARE(int(announcement[0] | announcement[1] << 8), size);
    QList<int> values;
    for (const QVariantList &value : qAsConst(progress))
        values << value.first().toInt();
    QTEST(values, "progress");
}

void TestTransfers::settingsSlot_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("failingWrite");
    QTest::addColumn<QList<int>>("writes");
    QTest::addColumn<QList<int>>("progress");
    QTest::addColumn<bool>("result");
    QTest::addRow("300 bytes") << 300 << 0 << QList<int>({256, 44}) << QList<int>({0, 85, 100}) << true;
    QTest::addRow("empty block") << 0 << 0 << QList<int>() << QList<int>({0}) << true;
    QTest::addRow("first batch fails") << 300 << 1 << QList<int>({256}) << QList<int>({0}) << false;
}

void TestTransfers::settingsSlot()
{
    QFETCH(int, size);
    QFETCH(int, failingWrite);
    USBInterface *usbInterface = startDevice();
    if (failingWrite > 0)
        m_bus->injectFault({SimOp::WritePipe, SimFault::Action::Fail, failingWrite});
    UsbSettingsLoader loader(usbInterface);
    QSignalSpy progress(&loader, &UsbSettingsLoader::progress);
    QTEST(loader.sendSettings(QByteArray(size, 's'), 2), "result");
    // After a settings write the device needs 100 ms before it answers again.
    QFETCH(bool, result);
    if (result)
        QVERIFY(pauseAfterWrite(*m_bus, requestCode(LoaderRequest::WriteUserSettings)) >= 100);
    const auto outs = m_model->controlOuts();
    QCOMPARE(outs.size(), size_t(1));
    QCOMPARE(int(outs.front().setup.Request), 15);
    QCOMPARE(int(outs.front().setup.Value), 2);
    QCOMPARE(outs.front().data, (std::vector<uint8_t> {uint8_t(size & 0xFF), uint8_t(size >> 8), 0, 0}));
    QTEST(writeLengths(), "writes");
    QList<int> values;
    for (const QVariantList &value : qAsConst(progress))
        values << value.first().toInt();
    QTEST(values, "progress");
}

void TestTransfers::lengthPrefixedRead_data()
{
    QTest::addColumn<quint32>("announced");
    QTest::addColumn<int>("sent"); // -1: the bulk read fails
    QTest::addColumn<int>("expected");
    QTest::addColumn<bool>("readsPipe");
    QTest::addColumn<bool>("whole");
    QTest::addRow("nothing ready: no bulk read") << 0u << 0 << 0 << false << true;
    QTest::addRow("100 announced, 100 sent") << 100u << 100 << 100 << true << true;
    QTest::addRow("100 announced, 60 sent") << 100u << 60 << 60 << true << false;
    QTest::addRow("bulk read fails") << 100u << -1 << 0 << true << false;
    QTest::addRow("2^31: never a negative size") << 0x80000000u << 10 << 0 << false << false;
    QTest::addRow("4 GiB - 1") << 0xFFFFFFFFu << 10 << 0 << false << false;
    QTest::addRow("past the longest block") << UsbDataReader::maxLength + 1 << 10 << 0 << false << false;
}

void TestTransfers::lengthPrefixedRead()
{
    QFETCH(quint32, announced);
    QFETCH(int, sent);
    QFETCH(int, expected);
    QFETCH(bool, readsPipe);
    USBInterface *usbInterface = startDevice();
    m_model->setControlAnswer(requestCode(LoaderRequest::ReadUserSettings),
        {uint8_t(announced), uint8_t(announced >> 8), uint8_t(announced >> 16), uint8_t(announced >> 24)});
    for (int round = 0; round < 2; ++round) {
        if (sent >= 0)
            m_model->queueBulkIn(bulkInPipe, std::vector<uint8_t>(size_t(sent), 0x42));
    }
    UsbDataReader reader(usbInterface, requestCode(LoaderRequest::ReadUserSettings), 3);
    QCOMPARE(reader.read(), QByteArray(expected, 0x42));
    QByteArray whole("stale");
    QTEST(reader.readWhole(whole), "whole");
    QCOMPARE(whole,
        QTest::currentDataTag() == QByteArray("100 announced, 100 sent") ? QByteArray(100, 0x42)
                                                                         : QByteArray());
    QCOMPARE(m_bus->callCount(SimOp::ReadPipe), size_t(readsPipe ? 2 : 0));
    QCOMPARE(m_model->controlIns().back().Value, uint16_t(3));
}

void TestTransfers::factoryConfigurationInFlashingMode_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("failingWrite");
    QTest::addColumn<QList<int>>("progress");
    QTest::addColumn<bool>("sent");
    QTest::addRow("600 bytes") << 600 << 0 << QList<int>({0, 42, 85, 100}) << true;
    QTest::addRow("empty") << 0 << 0 << QList<int>({0}) << true;
    QTest::addRow("second chunk fails") << 600 << 2 << QList<int>({0, 42}) << false;
}

void TestTransfers::factoryConfigurationInFlashingMode()
{
    QFETCH(int, size);
    QFETCH(int, failingWrite);
    QFETCH(bool, sent);
    startDevice(1);
    UsbLoader *loader = onlyLoader(*m_driver);
    QVERIFY(loader);
    if (failingWrite > 0)
        m_bus->injectFault({SimOp::WritePipe, SimFault::Action::Fail, failingWrite});
    QSignalSpy progress(loader, &UsbLoader::programmingProgress);
    QSignalSpy done(loader, &UsbLoader::factoryConfigurationSent);
    QSignalSpy failed(loader, &UsbLoader::firmwareReprogrammingFailed);
    loader->sendFactoryConfiguration(QByteArray(size, 'c'));
    QList<int> values;
    for (const QVariantList &value : qAsConst(progress))
        values << value.first().toInt();
    QTEST(values, "progress");
    QCOMPARE(done.size(), sent ? 1 : 0);
    QCOMPARE(failed.size(), sent ? 0 : 1);
    // Already in flashing mode: no mode switch before and no start of the application after.
    QCOMPARE(requestLog(*m_bus), QStringList({">4"}));
    QCOMPARE(m_model->controlOuts().front().data,
        (std::vector<uint8_t> {uint8_t(size & 0xFF), uint8_t(size >> 8), 0, 0}));
}

QTEST_GUILESS_MAIN(TestTransfers)
#include "tst_transfers.moc"
