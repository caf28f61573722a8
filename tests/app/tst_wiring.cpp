#include "../protocol/loadertestsupport.h"

#include "../ui/firmwarefixture.h"
#include "../ui/modalwatcher.h"
#include "app/deviceside.h"
#include "protocol/onedeviceusbloaderproxy.h"
#include "qtcompat.h"
#include "ui/flashdialog.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>

// The window wired to the USB side on its worker thread, as start-up does it,
// with devices on a simulated bus that the test plugs and unplugs.
class TestWiring : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_settings.isValid());
        useTestSettings(m_settings.path());
    }
    void init();
    void cleanup();

    void workerThreadIsNamedAndRunsTheDriver();
    void devicePresentAtStartIsShownAtOnce();
    void plugAndUnplugUpdateTheWindow();
    void deviceTheUserMayNotOpenIsExplained();
    void deviceThatDoesNotAnswerIsNamed();
    void shutdownWaitsForTheWorkerAndReleasesEveryHandle();

private:
    SimUsbBus::DeviceId plugDevice(const char *serial);
    void start();
    QString label(const char *name) const;
    bool showsNoDevice() const;

    QTemporaryDir m_settings;
    std::shared_ptr<SimUsbBus> m_bus;
    std::unique_ptr<DeviceSide> m_side;
    std::unique_ptr<FlashDialog> m_window;
};

void TestWiring::init()
{
    m_bus = std::make_shared<SimUsbBus>();
    const std::shared_ptr<SimUsbBus> bus = m_bus;
    injectUsbPlatform([bus] { return UsbPlatform {bus, std::make_unique<SimBusChangeNotifier>(bus)}; });
}

void TestWiring::cleanup()
{
    if (m_side)
        m_side->quit();
    m_window.reset();
    m_side.reset();
    injectUsbPlatform({});
    QCOMPARE(m_bus->openFileCount(), 0);
    QCOMPARE(m_bus->liveInterfaceHandleCount(), 0);
    QCOMPARE(m_bus->invalidHandleUses(), 0);
}

SimUsbBus::DeviceId TestWiring::plugDevice(const char *serial)
{
    auto model = scriptedLoaderModel();
    model->setControlAnswer(
        requestCode(LoaderRequest::ReadDeviceInformation), recordBytes(deviceRecord(serial, 2, 0)));
    SimDeviceProfile profile = loaderDeviceProfile(model);
    profile.serialNumber = std::u16string(serial, serial + std::strlen(serial));
    return m_bus->plug(profile);
}

void TestWiring::start()
{
    m_side = std::make_unique<DeviceSide>();
    m_window = std::make_unique<FlashDialog>();
    m_window->setModal(false);
    m_side->connectWindow(m_window.get());
    m_window->show();
}

QString TestWiring::label(const char *name) const
{
    return m_window->findChild<QLabel *>(name)->text();
}

bool TestWiring::showsNoDevice() const
{
    return m_window->findChild<QLabel *>("NoDeviceConnectedLabel")->isVisible()
        && !m_window->findChild<QWidget *>("StatusContainter")->isVisible();
}

void TestWiring::workerThreadIsNamedAndRunsTheDriver()
{
    start();
    QCOMPARE(m_side->workerThread()->objectName(), QString("USB driver thread"));
    QVERIFY(m_side->workerThread()->isRunning());
    QCOMPARE(m_side->driver()->thread(), m_side->workerThread());
    QCOMPARE(m_side->proxy()->thread(), QThread::currentThread());
    QVERIFY(QtCompat::metaTypeId("QSharedPointer<FirmwareFile>") != QMetaType::UnknownType);
    QVERIFY(QtCompat::metaTypeId("USBDriver::TDeviceID") != QMetaType::UnknownType);
}

void TestWiring::devicePresentAtStartIsShownAtOnce()
{
    plugDevice("ZOK000042");
    start();
    QSignalSpy attached(m_side->proxy(), &OneDeviceUsbLoaderProxy::deviceAttached);
    // Shown before the event loop has run at all: the catch-up handed it over.
    QVERIFY(!showsNoDevice());
    QCOMPARE(label("CurrentSerialNumberLabel"), QString("ZOK000042"));
    QCOMPARE(label("CurrentBoardVersionLabel"), QString("2.0"));
    QCOMPARE(label("DeviceVersionValueLabel"), QString("1.2.3"));
    // The worker's own first scan may announce it again; it stays one device.
    QVERIFY(drainDriverOnWorker(m_side->driver()));
    QCOMPARE(attached.size(), 0);
    QVERIFY(!showsNoDevice());
}

void TestWiring::plugAndUnplugUpdateTheWindow()
{
    start();
    QVERIFY(showsNoDevice());
    const SimUsbBus::DeviceId first = plugDevice("ZOK000001");
    QTRY_COMPARE(label("CurrentSerialNumberLabel"), QString("ZOK000001"));
    QVERIFY(!showsNoDevice());
    const SimUsbBus::DeviceId second = plugDevice("ZOK000002");
    m_bus->unplug(first);
    // The second device takes over.
    QTRY_COMPARE(label("CurrentSerialNumberLabel"), QString("ZOK000002"));
    QVERIFY(!showsNoDevice());
    m_bus->unplug(second);
    QTRY_VERIFY(showsNoDevice());
    QVERIFY(!m_window->findChild<QPushButton *>("FlashDeviceButton")->isEnabled());
}

void TestWiring::deviceTheUserMayNotOpenIsExplained()
{
    const SimUsbBus::DeviceId denied = plugDevice("ZOK000007");
    m_bus->setAccessDenied(denied, true);
    ModalWatcher watcher;
    start();
    QTRY_COMPARE(watcher.messages.size(), 1);
    QCOMPARE(watcher.messages.first().title, QString("Error"));
    QVERIFY(watcher.messages.first().text.contains("udev rule"));
    QVERIFY(showsNoDevice());
    QCOMPARE(label("NoDeviceConnectedLabel"), QString("Device not accessible!"));

    // The rule installed and the device plugged in again.
    m_bus->setAccessDenied(denied, false);
    m_bus->replug(denied);
    QTRY_COMPARE(label("CurrentSerialNumberLabel"), QString("ZOK000007"));
    QCOMPARE(label("NoDeviceConnectedLabel"), QString("No device connected!"));
    QCOMPARE(watcher.messages.size(), 1);
}

void TestWiring::deviceThatDoesNotAnswerIsNamed()
{
    plugDevice("ZOK000007");
    m_bus->injectFault({SimOp::ControlTransfer, SimFault::Action::Fail, 1, -1});
    start();
    QTRY_COMPARE(label("NoDeviceConnectedLabel"), QString("Device not answering!"));
    QVERIFY(showsNoDevice());
}

void TestWiring::shutdownWaitsForTheWorkerAndReleasesEveryHandle()
{
    plugDevice("ZOK000001");
    start();
    QThread *worker = m_side->workerThread();
    QSignalSpy finished(worker, &QThread::finished);
    m_side->quit();
    m_window.reset();
    m_side.reset();
    QCOMPARE(finished.size(), 1);
    QCOMPARE(m_bus->openFileCount(), 0);
}

QTEST_MAIN(TestWiring)
#include "tst_wiring.moc"
