#include "../protocol/vantorbench.h"
#include "../ui/firmwarefixture.h"
#include "../ui/modalwatcher.h"

#include "app/deviceside.h"
#include "protocol/loadertiming.h"
#include "protocol/onedeviceusbloaderproxy.h"
#include "ui/flashdialog.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

// A user flashing from the window: the window wired to the USB side on its
// worker thread as start-up does it, and a simulated Vantor device.
class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void flashShowsProgressThenSuccessThenStartsTheApplication_data();
    void flashShowsProgressThenSuccessThenStartsTheApplication();
    void failingDeviceHidesProgressBeforeTheError();
    void deviceLostMidFlashEndsTheFlashForTheUser();
    void deviceThatStaysBusySaysSoThenEndsInAnError();

private:
    void startWindow(const QString &simulator);
    void loadFirmware();
    QString label(const char *name) const { return m_window->findChild<QLabel *>(name)->text(); }

    QTemporaryDir m_settings;
    QTemporaryDir m_files;
    std::unique_ptr<VantorBench> m_bench;
    std::unique_ptr<DeviceSide> m_side;
    std::unique_ptr<FlashDialog> m_window;
};

void TestEndToEnd::initTestCase()
{
    QVERIFY(m_settings.isValid());
    QVERIFY(m_files.isValid());
    useTestSettings(m_settings.path());
}

void TestEndToEnd::cleanupTestCase()
{
    LoaderTiming::setScale(1);
}

void TestEndToEnd::init()
{
    // The simulated device needs none of the protocol's pauses; set for each
    // test, so that one that fails half-way cannot pass its own on.
    LoaderTiming::setScale(0);
    m_bench = std::make_unique<VantorBench>();
    const std::shared_ptr<SimUsbBus> bus = m_bench->bus;
    injectUsbPlatform([bus] { return UsbPlatform {bus, std::make_unique<SimBusChangeNotifier>(bus)}; });
}

void TestEndToEnd::cleanup()
{
    if (m_side)
        m_side->quit();
    m_window.reset();
    m_side.reset();
    injectUsbPlatform({});
    QCOMPARE(m_bench->bus->openFileCount(), 0);
    QCOMPARE(m_bench->bus->invalidHandleUses(), 0);
    m_bench.reset();
}

void TestEndToEnd::startWindow(const QString &simulator)
{
    QVERIFY(m_bench->plug(simulator));
    m_side = std::make_unique<DeviceSide>();
    m_window = std::make_unique<FlashDialog>();
    m_window->setModal(false);
    m_side->connectWindow(m_window.get());
    m_window->show();
    QCOMPARE(label("CurrentSerialNumberLabel"), QString("ZOK000001"));
    loadFirmware();
}

void TestEndToEnd::loadFirmware()
{
    QVERIFY(vantorFirmwareFile(m_files.path(), 1000));
    ModalWatcher watcher;
    watcher.setFileAnswer(m_files.filePath("image-1000.tvf"));
    m_window->onLoadFirmwareClicked();
    QCOMPARE(watcher.messages.size(), 0);
    QVERIFY(m_window->findChild<QPushButton *>("FlashDeviceButton")->isEnabled());
}

void TestEndToEnd::flashShowsProgressThenSuccessThenStartsTheApplication_data()
{
    QTest::addColumn<QString>("simulator");
    QTest::addRow("from its application") << "firmware=1.0.0,fwname=master";
    // Left in flashing mode by the flash: only the window's request starts the application.
    QTest::addRow("from its flashing mode") << "firmware=1.0.0,fwname=master,mode=loader";
}

void TestEndToEnd::flashShowsProgressThenSuccessThenStartsTheApplication()
{
    QFETCH(QString, simulator);
    startWindow(simulator);
    QCOMPARE(label("DeviceVersionValueLabel"), QString("1.0.0"));
    QSignalSpy progress(m_side->proxy(), &OneDeviceUsbLoaderProxy::flashingProgress);
    QSignalSpy startApp(m_window.get(), &FlashDialog::startAppRequest);
    QSignalSpy detached(m_side->proxy(), &OneDeviceUsbLoaderProxy::deviceDetached);
    QSignalSpy firmwareShown(m_side->proxy(), &OneDeviceUsbLoaderProxy::firmwareInformationChanged);
    ModalWatcher watcher;
    int startRequestsWhileOpen = -1;
    bool progressVisibleWhileOpen = true;
    QString versionWhileOpen;
    int progressBarWhileOpen = -1;
    watcher.setSnapshot([&] {
        startRequestsWhileOpen = startApp.size();
        progressVisibleWhileOpen = m_window->loadingDialog->isVisible();
        progressBarWhileOpen = m_window->loadingDialog->findChild<QProgressBar *>("progressBar")->value();
        versionWhileOpen = label("DeviceVersionValueLabel");
    });

    QTest::mouseClick(m_window->findChild<QPushButton *>("FlashDeviceButton"), Qt::LeftButton);
    QVERIFY(m_window->loadingDialog->isVisible());
    QTRY_COMPARE(watcher.messages.size(), 1);
    QCOMPARE(watcher.messages.first().title, QString("Success"));
    QCOMPARE(startRequestsWhileOpen, 0);
    QVERIFY(!progressVisibleWhileOpen);
    QCOMPARE(progressBarWhileOpen, 100);
    QCOMPARE(versionWhileOpen, QString("3.1.4"));
    QTRY_COMPARE(startApp.size(), 1);
    QList<int> values;
    for (const QVariantList &value : qAsConst(progress))
        values << value.first().toInt();
    QCOMPARE(values, QList<int>({0, 25, 51, 76, 100}));

    // The device restarts into its application; the window follows it there.
    // Whether the driver sees it gone in between depends on when it scans, so
    // the number of detaches is not a fixed one.
    QTRY_COMPARE(m_bench->device().mode(), VantorMode::Application);
    QTRY_VERIFY(!firmwareShown.isEmpty() && firmwareShown.last().value(1).toInt() == 3);
    QTRY_COMPARE(label("DeviceVersionValueLabel"), QString("3.1.4"));
    QVERIFY(!detached.isEmpty());
    QVERIFY(m_window->findChild<QPushButton *>("FlashDeviceButton")->isEnabled());
}

void TestEndToEnd::failingDeviceHidesProgressBeforeTheError()
{
    startWindow("fail-batch=2");
    ModalWatcher watcher;
    bool progressVisibleWhileOpen = true;
    watcher.setSnapshot([&] { progressVisibleWhileOpen = m_window->loadingDialog->isVisible(); });
    QTest::mouseClick(m_window->findChild<QPushButton *>("FlashDeviceButton"), Qt::LeftButton);
    QTRY_COMPARE(watcher.messages.size(), 1);
    QCOMPARE(watcher.messages.first().title, QString("Error"));
    QCOMPARE(watcher.messages.first().text, QString("Flashing firmware failed!"));
    QVERIFY(!progressVisibleWhileOpen);
    // The file stays loaded for another try.
    QVERIFY(m_window->findChild<QPushButton *>("FlashDeviceButton")->isEnabled());
}

void TestEndToEnd::deviceLostMidFlashEndsTheFlashForTheUser()
{
    startWindow("unplug-batch=3");
    ModalWatcher watcher;
    QTest::mouseClick(m_window->findChild<QPushButton *>("FlashDeviceButton"), Qt::LeftButton);
    QTRY_COMPARE(watcher.messages.size(), 1);
    QCOMPARE(watcher.messages.first().title, QString("Error"));
    QTRY_VERIFY(m_window->findChild<QLabel *>("NoDeviceConnectedLabel")->isVisible());
    QVERIFY(!m_window->loadingDialog->isVisible());
    // Nothing is outstanding: the window closes.
    QVERIFY(m_window->close());
}

void TestEndToEnd::deviceThatStaysBusySaysSoThenEndsInAnError()
{
    startWindow("firmware=1.0.0");
    // 120 ms of busy answers instead of two minutes.
    LoaderTiming::setScale(0.001);
    m_bench->device().setBusyForever(true);
    QLabel *progressText = m_window->loadingDialog->findChild<QLabel *>("label");
    QVERIFY(progressText);
    QStringList textAtProgress;
    connect(m_side->proxy(), &OneDeviceUsbLoaderProxy::flashingProgress, this,
        [&](int progress) { textAtProgress << QString("%1 %2").arg(progress).arg(progressText->text()); });
    ModalWatcher watcher;
    QString textWhileOpen;
    watcher.setSnapshot([&] { textWhileOpen = progressText->text(); });

    QTest::mouseClick(m_window->findChild<QPushButton *>("FlashDeviceButton"), Qt::LeftButton);
    QTRY_COMPARE(watcher.messages.size(), 1);
    LoaderTiming::setScale(0);
    QCOMPARE(watcher.messages.first().title, QString("Error"));
    QCOMPARE(watcher.messages.first().text, QString("Flashing firmware failed!"));
    QCOMPARE(textAtProgress.first(), QString("0 Flashing firmware..."));
    QCOMPARE(textAtProgress.last(), QString("100 The device is finishing its write..."));
    QCOMPARE(textWhileOpen, QString("The device is finishing its write..."));
    QVERIFY(!m_window->loadingDialog->isVisible());

    // The next flash starts with the usual text, and the device that stopped
    // being busy takes it.
    m_bench->device().setBusyForever(false);
    textAtProgress.clear();
    QTest::mouseClick(m_window->findChild<QPushButton *>("FlashDeviceButton"), Qt::LeftButton);
    QCOMPARE(progressText->text(), QString("Flashing firmware..."));
    QTRY_COMPARE(watcher.messages.size(), 2);
    QCOMPARE(watcher.messages.last().title, QString("Success"));
    QCOMPARE(textAtProgress.first(), QString("0 Flashing firmware..."));
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
