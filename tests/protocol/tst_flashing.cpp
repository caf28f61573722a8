#include "vantorbench.h"

#include "protocol/loaderrecords.h"
#include "protocol/loadertiming.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

// A device whose firmware check fails: after an image it reports no valid firmware.
class RejectingVantorModel : public SimVantorModel
{
public:
    using SimVantorModel::SimVantorModel;

    bool controlTransfer(const SimTarget &target, const UsbSetupPacket &setup, uint8_t *buffer,
        uint32_t length, uint32_t &transferred) override
    {
        const bool ok = SimVantorModel::controlTransfer(target, setup, buffer, length, transferred);
        if (ok && setup.Request == requestCode(LoaderRequest::ReadFirmwareInformation)
            && device().state().image.size() > 0 && transferred == 24)
            buffer[23] = 0;
        return ok;
    }
};

QList<int> values(const QSignalSpy &spy)
{
    QList<int> list;
    for (const QVariantList &arguments : spy)
        list << arguments.first().toInt();
    return list;
}

} // namespace

// Whole operations of the loader against the simulated Vantor device, on the
// test's thread: the requests in order, the progress, and the one answer.
Q_DECLARE_METATYPE(UsbLoader::Failure)

class TestFlashing : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void flashSequence_data();
    void flashSequence();
    void newFirmwareNameOf16Bytes();
    void factoryConfigurationFromApplicationMode_data();
    void factoryConfigurationFromApplicationMode();
    void userSettingsKeepTheOtherSlots_data();
    void userSettingsKeepTheOtherSlots();
    void readUserSettingsReadsSlot0ByDefault();
    void staleRecordsAreReadAgainAfterARebind();

private:
    UsbLoader *start(const QString &simulator);

    QTemporaryDir m_files;
    std::unique_ptr<VantorBench> m_bench;
    std::unique_ptr<USBDriver> m_driver;
};

void TestFlashing::initTestCase()
{
    QVERIFY(m_files.isValid());
}

void TestFlashing::cleanupTestCase()
{
    LoaderTiming::setScale(1);
}

void TestFlashing::init()
{
    // The simulated device needs no pauses; hundreds of them would only slow
    // the suite. Set for each test, so that a failed one cannot leave its own.
    LoaderTiming::setScale(0);
    m_bench = std::make_unique<VantorBench>();
}

void TestFlashing::cleanup()
{
    m_driver.reset();
    QCOMPARE(m_bench->bus->openFileCount(), 0);
    QCOMPARE(m_bench->bus->liveInterfaceHandleCount(), 0);
    QCOMPARE(m_bench->bus->invalidHandleUses(), 0);
    m_bench.reset();
}

UsbLoader *TestFlashing::start(const QString &simulator)
{
    if (!simulator.isNull() && !m_bench->plug(simulator))
        return nullptr;
    m_driver = makeDriver(m_bench->bus, loaderFactories());
    m_bench->bus->clearCalls();
    return onlyLoader(*m_driver);
}

void TestFlashing::flashSequence_data()
{
    QTest::addColumn<QString>("simulator");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QList<int>>("progress");
    QTest::addColumn<bool>("reprogrammed");
    // Why it failed, as the loader tells its caller.
    QTest::addColumn<UsbLoader::Failure>("failure");
    using F = UsbLoader::Failure;
    const QList<int> whole {0, 25, 51, 76, 100};
    const QStringList switchToFlashing {">13", "1", "3", "7"};
    QTest::addRow("from application mode")
        << ""
        << "" << switchToFlashing + QStringList({">2", "17*", "3", ">8"}) << whole << true << F::None;
    QTest::addRow("from flashing mode: no 13, no 8")
        << "mode=loader"
        << "" << QStringList({">2", "17*", "3"}) << whole << true << F::None;
    QTest::addRow("busy for a while")
        << "busy-ms=250"
        << "" << switchToFlashing + QStringList({">2", "17*", "3", ">8"}) << whole << true << F::None;
    QTest::addRow("device does not come back")
        << "restart-ms=never"
        << "" << QStringList({">13"}) << QList<int>() << false << F::Other;
    QTest::addRow("device ignores request 13")
        << ""
        << "ignore 13" << QStringList({">13", "1", "3", "7", "12"}) << QList<int>() << false << F::Other;
    QTest::addRow("third batch fails: stays in flashing mode")
        << "fail-batch=3"
        << "" << switchToFlashing + QStringList({">2"}) << QList<int>({0, 25, 51}) << false << F::Other;
    QTest::addRow("device vanishes at the second batch")
        << "unplug-batch=2"
        << "" << switchToFlashing + QStringList({">2"}) << QList<int>({0, 25}) << false << F::Other;
    QTest::addRow("complete, but no valid firmware reported: still started")
        << QString() << "reject" << switchToFlashing + QStringList({">2", "17*", "3", ">8"}) << whole << false
        << F::ImageNotAccepted;
    QTest::addRow("pulled out after the whole image: lost, not refused")
        << ""
        << "unplug at 100" << switchToFlashing + QStringList({">2", "17*"}) << whole << false << F::Other;
    QTest::addRow("busy without end: given up, stays in flashing mode")
        << ""
        << "busy forever" << switchToFlashing + QStringList({">2", "17*"}) << whole << false
        << F::DeviceStayedBusy;
}

void TestFlashing::flashSequence()
{
    QFETCH(QString, simulator);
    QFETCH(QString, fault);
    if (fault == "reject") {
        VantorDeviceState state;
        state.firmware.flags = 1;
        plugVantorDevice(
            m_bench->bus, std::make_shared<RejectingVantorModel>(u"ZOK9", state, VantorDeviceBehaviour {}));
    }
    UsbLoader *loader = start(simulator);
    QVERIFY(loader);
    if (fault == "ignore 13")
        m_bench->bus->injectFault({SimOp::ControlTransfer, SimFault::Action::Fail});
    // Busy rows run in real time: the device is asked every 100 ms, not in a tight loop.
    const bool busyRow = simulator.contains("busy") || fault == "busy forever";
    LoaderTiming::setScale(busyRow ? 1 : 0);
    if (fault == "busy forever") {
        m_bench->device().setBusyForever(true);
        loader->setBusyLimit(300);
    }
    if (fault == "unplug at 100") {
        connect(loader, &UsbLoader::programmingProgress, this, [this](int percent) {
            if (percent == 100)
                m_bench->bus->unplug(1);
        });
    }
    QSignalSpy progress(loader, &UsbLoader::programmingProgress);
    QSignalSpy success(loader, &UsbLoader::firmwareReprogrammed);
    QSignalSpy failed(loader, &UsbLoader::firmwareReprogrammingFailed);

    loader->flashFirmware(vantorFirmwareFile(m_files.path(), 1000));

    LoaderTiming::setScale(0);
    QTEST(requestSequence(*m_bench->bus), "requests");
    QTEST(values(progress), "progress");
    QFETCH(bool, reprogrammed);
    QCOMPARE(success.size() + failed.size(), 1);
    QCOMPARE(success.size(), reprogrammed ? 1 : 0);
    QTEST(loader->lastFailure(), "failure");
    if (reprogrammed)
        QCOMPARE(success.first(), QVariantList({3, 1, 4, 99u, "master"}));
}

void TestFlashing::newFirmwareNameOf16Bytes()
{
    UsbLoader *loader = start("mode=loader");
    QVERIFY(loader);
    QSignalSpy reprogrammed(loader, &UsbLoader::firmwareReprogrammed);
    loader->flashFirmware(vantorFirmwareFile(m_files.path(), 300, 1, 0, 0, 5, "feature/ABC-1234"));
    QCOMPARE(reprogrammed.size(), 1);
    QCOMPARE(reprogrammed.first().last().toString(), QString("feature/ABC-1234"));
    QCOMPARE(serialNumberText(loader->getDeviceInformation()), QString("ZOK000001"));
}

void TestFlashing::factoryConfigurationFromApplicationMode_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("progress");
    QTest::addRow("600 bytes") << 600 << QList<int>({0, 42, 85, 100});
    QTest::addRow("empty") << 0 << QList<int>({0});
}

void TestFlashing::factoryConfigurationFromApplicationMode()
{
    QFETCH(int, size);
    UsbLoader *loader = start("");
    QVERIFY(loader);
    QSignalSpy progress(loader, &UsbLoader::programmingProgress);
    QSignalSpy sent(loader, &UsbLoader::factoryConfigurationSent);
    const QByteArray configuration(size, 'k');
    loader->sendFactoryConfiguration(configuration);
    QCOMPARE(sent.size(), 1);
    QTEST(values(progress), "progress");
    QCOMPARE(requestSequence(*m_bench->bus), QStringList({">13", "1", "3", "7", ">4", ">8"}));
    const std::vector<uint8_t> &stored = m_bench->device().state().factoryConfiguration;
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(stored.data()), int(stored.size())), configuration);
    QCOMPARE(m_bench->device().mode(), VantorMode::Application);
}

void TestFlashing::userSettingsKeepTheOtherSlots_data()
{
    QTest::addColumn<int>("slot");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("cutRead"); // this bulk read moves one byte only; 0: none
    QTest::addColumn<QStringList>("slots");
    const QStringList kept {"zero", "one", "two", "three"};
    QTest::addRow("slot 2 written, 0, 1 and 3 kept")
        << 2 << QByteArray(300, 'n') << 0 << QStringList({"zero", "one", QString(300, 'n'), "three"});
    QTest::addRow("empty data removes slot 1")
        << 1 << QByteArray() << 0 << QStringList({"zero", "", "two", "three"});
    QTest::addRow("slot 0 not read whole: nothing erased, the write fails")
        << 2 << QByteArray(300, 'n') << 1 << kept;
}

void TestFlashing::userSettingsKeepTheOtherSlots()
{
    QFETCH(int, slot);
    QFETCH(QByteArray, data);
    QFETCH(int, cutRead);
    VantorDeviceState state;
    state.firmware.flags = 1;
    const char *texts[] = {"zero", "one", "two", "three"};
    for (int i = 0; i < 4; ++i)
        state.userSettings[size_t(i)].assign(texts[i], texts[i] + std::strlen(texts[i]));
    m_bench->models.push_back(std::make_shared<SimVantorModel>(u"ZOK5", state, VantorDeviceBehaviour {}));
    plugVantorDevice(m_bench->bus, m_bench->models.back());
    UsbLoader *loader = start(QString());
    QVERIFY(loader);
    if (cutRead > 0)
        m_bench->bus->injectFault({SimOp::ReadPipe, SimFault::Action::MoveFewer, cutRead, 1, 1});

    QSignalSpy progress(loader, &UsbLoader::programmingProgress);
    QSignalSpy sent(loader, &UsbLoader::userSettingsSent);
    loader->sendUserSettings(data, uchar(slot));
    const bool whole = cutRead == 0;
    QCOMPARE(sent.size(), whole ? 1 : 0);
    QStringList stored;
    for (const std::vector<uint8_t> &block : m_bench->device().state().userSettings)
        stored << QString::fromLatin1(reinterpret_cast<const char *>(block.data()), int(block.size()));
    QTEST(stored, "slots");
    // The other slots are read before the one erase, and written back in slot order.
    const QStringList requests = requestSequence(*m_bench->bus);
    QCOMPARE(requests.count(">16"), whole ? 1 : 0);
    if (!whole)
        return;
    QCOMPARE(sent.first().first().toInt(), slot);
    QCOMPARE(values(progress), QList<int>({0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
    QVERIFY(requests.indexOf(">16") > requests.lastIndexOf("14"));
}

void TestFlashing::readUserSettingsReadsSlot0ByDefault()
{
    UsbLoader *loader = start("");
    QVERIFY(loader);
    QSignalSpy received(loader, &UsbLoader::userSettingsReceived);
    QVERIFY(QMetaObject::invokeMethod(loader, "readUserSettings"));
    QCOMPARE(received.size(), 1);
    QCOMPARE(received.first().last().toInt(), 0);
    QCOMPARE(m_bench->bus->calls().front().setup.Value, uint16_t(0));
    QCOMPARE(int(m_bench->bus->calls().front().setup.Request), 14);
}

void TestFlashing::staleRecordsAreReadAgainAfterARebind()
{
    // The device comes back in flashing mode only after the loader has given
    // up on it; the driver reconnects it later. The next flash must not ask
    // for flashing mode again on the strength of what it read before.
    UsbLoader *loader = start("restart-ms=50");
    QVERIFY(loader);
    QSignalSpy failed(loader, &UsbLoader::firmwareReprogrammingFailed);
    loader->flashFirmware(vantorFirmwareFile(m_files.path(), 256));
    QCOMPARE(failed.size(), 1);
    QTRY_VERIFY(m_bench->device().isOnBus() && m_bench->busListsADevice());
    m_driver->scanDevices();
    QCOMPARE(onlyLoader(*m_driver), loader);
    m_bench->bus->clearCalls();
    QSignalSpy reprogrammed(loader, &UsbLoader::firmwareReprogrammed);
    loader->flashFirmware(vantorFirmwareFile(m_files.path(), 256));
    QCOMPARE(reprogrammed.size(), 1);
    QCOMPARE(requestSequence(*m_bench->bus), QStringList({"1", "3", "7", ">2", "17*", "3"}));
}

QTEST_GUILESS_MAIN(TestFlashing)
#include "tst_flashing.moc"
