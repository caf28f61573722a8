#include "loadertestsupport.h"

#include "firmware/firmwarefile.h"
#include "protocol/onedeviceusbloaderproxy.h"

#include <QMetaMethod>

#include <QPointer>
#include <QtTest>

// The proxy's states against devices on the simulated bus, with the driver on
// a worker thread as in the program. The test scans by hand on the worker;
// announcements reach the proxy when the test lets its own queue run, so a
// device can be gone before its announcement arrives.
class TestOneDeviceProxy : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void metaObjectOrder();
    void stateTable_data();
    void stateTable();
    void deviceGoneBeforeItsAnnouncementIsPassedOver();
    void devicesLeavingTogetherArePassedOver();
    void requestsWithoutDeviceGoNowhere();
    void requestsReachTheCurrentLoader();
    void writeUnansweredByAVanishedDeviceEndsFailed();

private:
    SimUsbBus::DeviceId plugDevice(
        const char *usbSerial, bool withLoader = true, bool deviceValid = true, bool firmwareValid = true);
    void restartWithLoaderMoved(SimUsbBus::DeviceId id, const QString &usbSerial, bool withLoader);
    void scan();
    void scanAndDeliver();
    QStringList &recordSignals();

    std::shared_ptr<SimUsbBus> m_bus;
    std::unique_ptr<USBDriver> m_driver;
    std::unique_ptr<StoppingThread> m_worker;
    std::unique_ptr<OneDeviceUsbLoaderProxy> m_proxy;
    QStringList m_signals;
};

void TestOneDeviceProxy::init()
{
    m_bus = std::make_shared<SimUsbBus>();
    m_driver = makeDriver(m_bus, loaderFactories());
    m_worker = std::make_unique<StoppingThread>();
    m_driver->moveToThread(m_worker.get());
    m_worker->start();
    m_proxy = std::make_unique<OneDeviceUsbLoaderProxy>();
    connect(m_driver.get(), &USBDriver::deviceAdded, m_proxy.get(), &OneDeviceUsbLoaderProxy::onDeviceAdded,
        Qt::QueuedConnection);
    connect(m_driver.get(), &USBDriver::deviceRemoved, m_proxy.get(),
        &OneDeviceUsbLoaderProxy::onDeviceRemoved, Qt::QueuedConnection);
    m_signals.clear();
}

void TestOneDeviceProxy::cleanup()
{
    m_proxy.reset();
    m_worker.reset();
    m_driver.reset();
    QCOMPARE(m_bus->openFileCount(), 0);
    QCOMPARE(m_bus->invalidHandleUses(), 0);
}

SimUsbBus::DeviceId TestOneDeviceProxy::plugDevice(
    const char *usbSerial, bool withLoader, bool deviceValid, bool firmwareValid)
{
    auto model = scriptedLoaderModel();
    // In flashing mode, with empty settings slots: the service requests switch no mode.
    model->setControlAnswer(requestCode(LoaderRequest::ReadFlashingMode), {1});
    model->setControlAnswer(requestCode(LoaderRequest::ReadUserSettings), {0, 0, 0, 0});
    model->setControlAnswer(requestCode(LoaderRequest::ReadDeviceInformation),
        recordBytes(deviceRecord(usbSerial, 3, 1, deviceValid ? 0x0D : 0x00)));
    model->setControlAnswer(requestCode(LoaderRequest::ReadFirmwareInformation),
        recordBytes(firmwareRecord(1, 2, 3, 77, "release/1", firmwareValid)));
    SimDeviceProfile profile = loaderDeviceProfile(model);
    profile.serialNumber = std::u16string(usbSerial, usbSerial + std::strlen(usbSerial));
    if (!withLoader)
        profile.interfaces[0].interfaceProtocol = 3;
    return m_bus->plug(profile);
}

void TestOneDeviceProxy::restartWithLoaderMoved(
    SimUsbBus::DeviceId id, const QString &usbSerial, bool withLoader)
{
    SimDeviceProfile profile = loaderDeviceProfile(nullptr);
    profile.serialNumber = usbSerial.toStdU16String();
    profile.interfaces[0] = vendorInterface(1, withLoader ? 2 : 3);
    QVERIFY(m_bus->replug(id, profile));
    USBDevice *device
        = m_driver->devicesById().value(USBDriver::TDeviceID {0x1209, 0x7A10, usbSerial}, nullptr);
    QVERIFY(device);
    // Reopened as after the loader's mode switch; the old interface, and its
    // loader with it, are deleted before the proxy hears of it.
    QMetaObject::invokeMethod(
        m_driver.get(),
        [device] {
            device->reopen(0);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        },
        Qt::BlockingQueuedConnection);
    // Not yet seen by the proxy, which still counts it as a write in flight.
    emit m_proxy->sendUserSettings(QByteArray("s"), 1);
}

void TestOneDeviceProxy::scan()
{
    QMetaObject::invokeMethod(m_driver.get(), &USBDriver::scanDevices, Qt::BlockingQueuedConnection);
}

void TestOneDeviceProxy::scanAndDeliver()
{
    scan();
    QCoreApplication::processEvents();
}

QStringList &TestOneDeviceProxy::recordSignals()
{
    OneDeviceUsbLoaderProxy *proxy = m_proxy.get();
    connect(proxy, &OneDeviceUsbLoaderProxy::deviceAttached, this, [this] { m_signals << "attached"; });
    connect(proxy, &OneDeviceUsbLoaderProxy::deviceDetached, this, [this] { m_signals << "detached"; });
    connect(proxy, &OneDeviceUsbLoaderProxy::deviceInformationChanged, this,
        [this](bool valid, QString serial, uchar board, uchar sub, uchar hwType, bool jtag) {
            m_signals << QString("info %1 %2 %3.%4 %5 %6")
                             .arg(valid)
                             .arg(serial)
                             .arg(board)
                             .arg(sub)
                             .arg(hwType)
                             .arg(jtag);
        });
    connect(proxy, &OneDeviceUsbLoaderProxy::firmwareInformationChanged, this,
        [this](bool valid, uchar version, uchar sub, uchar bugfix, uint build, QString name) {
            m_signals << QString("firmware %1 %2.%3.%4 %5 %6")
                             .arg(valid)
                             .arg(version)
                             .arg(sub)
                             .arg(bugfix)
                             .arg(build)
                             .arg(name);
        });
    connect(proxy, &OneDeviceUsbLoaderProxy::flashingFailed, this, [this] { m_signals << "failed"; });
    return m_signals;
}

void TestOneDeviceProxy::metaObjectOrder()
{
    const QMetaObject &meta = OneDeviceUsbLoaderProxy::staticMetaObject;
    QStringList methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        methods << QString(meta.method(i).methodSignature());
    QCOMPARE(methods,
        QStringList({"deviceAttached()", "deviceDetached()",
            "deviceInformationChanged(bool,QString,uchar,uchar,uchar,bool)",
            "deviceInformationFreeSlotsChanged(uchar)", "flashingProgress(int)",
            "firmwareInformationChanged(bool,uchar,uchar,uchar,uint,QString)",
            "firmwareReprogrammed(uchar,uchar,uchar,uint,QString)", "flashingFailed()",
            "factoryConfigurationReceived(QByteArray)", "factoryConfigurationSent()",
            "userSettingsReceived(QByteArray,uchar)", "userSettingsSent(uchar)",
            "flashFirmware(QSharedPointer<FirmwareFile>)", "startApp()",
            "sendFactoryConfiguration(QByteArray)", "readFactoryConfiguration()",
            "sendUserSettings(QByteArray,uchar)", "readUserSettings(uchar)",
            "onDeviceAdded(USBDriver::TDeviceID,USBDevice*)", "onDeviceRemoved(USBDriver::TDeviceID)"}));
}

// Each step: "+X" plugs device X (a "-" suffix: without a loader interface,
// "!" suffix: invalid records, "?": its first record read fails, so only the
// second scan finds it), "-X" unplugs it, "=X" announces X again, "~X"
// restarts X with its loader interface under another number ("-" suffix: it
// comes back without one) while a write is on its way to the loader that
// went; a scan follows every step. The signals of the whole run are compared.
void TestOneDeviceProxy::stateTable_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("expected");
    const QString attachA = "attached|info 1 A 3.1 2 1|firmware 1 1.2.3 77 release/1";
    const QString attachB = "attached|info 1 B 3.1 2 1|firmware 1 1.2.3 77 release/1";
    const QString detach = "detached|info 0  0.0 0 0";
    QTest::addRow("first announced becomes current, second only recorded")
        << QStringList({"+A", "+B"}) << attachA.split('|');
    QTest::addRow("unplugging the current falls back to the next")
        << QStringList({"+A", "+B", "-A"}) << (attachA + '|' + detach + '|' + attachB).split('|');
    QTest::addRow("unplugging another device emits nothing")
        << QStringList({"+A", "+B", "-B"}) << attachA.split('|');
    QTest::addRow("repeated announcement repeats nothing") << QStringList({"+A", "=A"}) << attachA.split('|');
    QTest::addRow("device without loader is only recorded") << QStringList({"+A-"}) << QStringList();
    QTest::addRow("fall-back passes over a device without loader")
        << QStringList({"+A", "+B-", "-A"}) << (attachA + '|' + detach).split('|');
    QTest::addRow("invalid records still attach, firmware shown as invalid")
        << QStringList({"+A!"}) << QStringList({"attached", "info 1 A 3.1 0 0", "firmware 0 0.0.0 0 "});
    QTest::addRow("removed and plugged again attaches again")
        << QStringList({"+A", "-A", "+A"}) << (attachA + '|' + detach + '|' + attachA).split('|');
    QTest::addRow("records unreadable at the first try, found at the next scan")
        << QStringList({"+A?"}) << attachA.split('|');
    QTest::addRow("loader back under another number is taken, the write it lost fails")
        << QStringList({"+A", "+B", "~A"}) << (attachA + '|' + detach + '|' + attachA + "|failed").split('|');
    QTest::addRow("loader gone while its device stays falls back, the write it lost fails") << QStringList(
        {"+A", "+B", "~A-"}) << (attachA + '|' + detach + '|' + attachB + "|failed").split('|');
}

void TestOneDeviceProxy::stateTable()
{
    QFETCH(QStringList, steps);
    recordSignals();
    QMap<QString, SimUsbBus::DeviceId> devices;
    for (const QString &step : qAsConst(steps)) {
        const QString name = step.mid(1, 1);
        if (step.startsWith('+')) {
            if (step.endsWith('?'))
                m_bus->injectFault({SimOp::ControlTransfer, SimFault::Action::Fail});
            devices[name]
                = plugDevice(qPrintable(name), !step.endsWith('-'), !step.endsWith('!'), !step.endsWith('!'));
            if (step.endsWith('?'))
                scanAndDeliver();
        } else if (step.startsWith('-'))
            m_bus->unplug(devices[name]);
        else if (step.startsWith('~'))
            restartWithLoaderMoved(devices[name], name, !step.endsWith('-'));
        else
            QMetaObject::invokeMethod(m_proxy.get(), "onDeviceAdded",
                Q_ARG(USBDriver::TDeviceID, m_driver->devices().first()->deviceId()),
                Q_ARG(USBDevice *, m_driver->devices().first()));
        scanAndDeliver();
    }
    QTEST(m_signals, "expected");
}

void TestOneDeviceProxy::deviceGoneBeforeItsAnnouncementIsPassedOver()
{
    recordSignals();
    const SimUsbBus::DeviceId a = plugDevice("A");
    scan();
    m_bus->unplug(a);
    // Deleted before the proxy has seen its announcement.
    scan();
    QCoreApplication::processEvents();
    QCOMPARE(m_signals, QStringList());

    plugDevice("B");
    scanAndDeliver();
    QCOMPARE(m_signals.value(0), QString("attached"));
}

void TestOneDeviceProxy::devicesLeavingTogetherArePassedOver()
{
    const SimUsbBus::DeviceId a = plugDevice("A");
    const SimUsbBus::DeviceId b = plugDevice("B");
    scanAndDeliver();
    recordSignals();
    m_bus->unplug(a);
    m_bus->unplug(b);
    // Both are deleted in this scan; the fall-back to B must not touch it.
    scanAndDeliver();
    QCOMPARE(m_signals, QStringList({"detached", "info 0  0.0 0 0"}));
}

void TestOneDeviceProxy::requestsWithoutDeviceGoNowhere()
{
    recordSignals();
    QSignalSpy progress(m_proxy.get(), &OneDeviceUsbLoaderProxy::flashingProgress);
    emit m_proxy->flashFirmware(QSharedPointer<FirmwareFile>::create());
    emit m_proxy->sendUserSettings(QByteArray("s"), 1);
    emit m_proxy->sendFactoryConfiguration(QByteArray("c"));
    emit m_proxy->readUserSettings(0);
    emit m_proxy->readFactoryConfiguration();
    emit m_proxy->startApp();
    QCoreApplication::processEvents();
    QCOMPARE(m_signals, QStringList());
    QCOMPARE(progress.size(), 0);
    QCOMPARE(m_bus->callCount(SimOp::ControlTransfer), size_t(0));
}

void TestOneDeviceProxy::requestsReachTheCurrentLoader()
{
    plugDevice("A");
    scanAndDeliver();
    OneDeviceUsbLoaderProxy *proxy = m_proxy.get();
    QSignalSpy received(proxy, &OneDeviceUsbLoaderProxy::userSettingsReceived);
    QSignalSpy configurationRead(proxy, &OneDeviceUsbLoaderProxy::factoryConfigurationReceived);
    QSignalSpy configurationSent(proxy, &OneDeviceUsbLoaderProxy::factoryConfigurationSent);
    QSignalSpy settingsSent(proxy, &OneDeviceUsbLoaderProxy::userSettingsSent);
    QSignalSpy information(proxy, &OneDeviceUsbLoaderProxy::deviceInformationChanged);
    QSignalSpy freeSlots(proxy, &OneDeviceUsbLoaderProxy::deviceInformationFreeSlotsChanged);
    UsbLoader *loader = onlyLoader(*m_driver);
    QVERIFY(loader);
    m_bus->clearCalls();
    emit proxy->readUserSettings(2);
    emit proxy->startApp();
    emit proxy->readFactoryConfiguration();
    emit proxy->sendFactoryConfiguration(QByteArray("c"));
    emit proxy->sendUserSettings(QByteArray("s"), 1);
    // No request of the proxy's writes the identity; its answers still pass through it, last.
    QMetaObject::invokeMethod(loader, [loader] { loader->flashDeviceInformation("N", 4, 1); });
    QTRY_COMPARE(freeSlots.size(), 1);
    QCOMPARE(QList<int>({int(received.size()), int(configurationRead.size()), int(configurationSent.size()),
                 int(settingsSent.size()), int(information.size())}),
        QList<int>({1, 1, 1, 1, 1}));
    QCOMPARE(received.first().value(1).toInt(), 2);
    QCOMPARE(requestLog(*m_bus),
        QStringList({"14", ">8", "5", ">4", "17", "14", "17", "14", "17", "14", ">16", "17", "17", ">15",
            ">6", "7", "1"}));
}

void TestOneDeviceProxy::writeUnansweredByAVanishedDeviceEndsFailed()
{
    const SimUsbBus::DeviceId a = plugDevice("A");
    scanAndDeliver();
    recordSignals();
    // The worker is held while the device leaves; the scan that deletes the
    // loader is queued before the request, which so never runs.
    QSemaphore gate;
    QMetaObject::invokeMethod(
        m_driver.get(), [&gate] { gate.acquire(); }, Qt::QueuedConnection);
    m_bus->unplug(a);
    QMetaObject::invokeMethod(m_driver.get(), &USBDriver::scanDevices, Qt::QueuedConnection);
    emit m_proxy->flashFirmware(QSharedPointer<FirmwareFile>::create());
    gate.release();
    QVERIFY(drainDriverOnWorker(m_driver.get()));
    QCOMPARE(m_signals, QStringList({"detached", "info 0  0.0 0 0", "failed"}));

    // A write the loader answered before its device left is not reported twice.
    const SimUsbBus::DeviceId b = plugDevice("B");
    scanAndDeliver();
    m_signals.clear();
    emit m_proxy->sendUserSettings(QByteArray("s"), 9);
    QTRY_COMPARE(m_signals, QStringList({"failed"}));
    m_bus->unplug(b);
    scanAndDeliver();
    QCOMPARE(m_signals, QStringList({"failed", "detached", "info 0  0.0 0 0"}));
}

QTEST_GUILESS_MAIN(TestOneDeviceProxy)
#include "tst_onedeviceproxy.moc"
