#include "usbtestsupport.h"

#include "qtcompat.h"
#include "usb/devicechangemessage.h"
#include "usb/deviceinterfaceguid.h"
#include "usb/devicepathlist.h"
#include "usb/inaccessibledevices.h"
#include "usb/usbendpoint.h"
#include "usb/usbplatform.h"

#include <QMetaMethod>
#include <QPointer>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <future>
#include <thread>

Q_DECLARE_METATYPE(UsbGuid)

class TestUsbDriver : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void deviceIdOrder_data();
    void deviceIdOrder();
    void metaObjects();
    void deviceChangeMessage_data();
    void deviceChangeMessage();
    void platformChoice_data();
    void platformChoice();

    void firstScanReachesNoReceiver();
    void plugGivesOneAddedThenOneListChanged();
    void unplugAnnouncesRemovalBeforeDeleting();
    void replugGivesNewDeviceObject_data();
    void replugGivesNewDeviceObject();
    void failedEnumerationChangesNothing();
    void unchangedScanEmitsNothingAndOpensNothing();
    void devicesInIdentityOrder();
    void driverForOnePathNeverOpensOtherDevices();
    void sameIdentityKeepsOneDeviceRecorded_data();
    void sameIdentityKeepsOneDeviceRecorded();
    void discoveryErrorWhileAdding_data();
    void discoveryErrorWhileAdding();
    void discoveryErrorWhileReconnecting_data();
    void discoveryErrorWhileReconnecting();
    void unansweringDeviceIsTriedBoundedTimes_data();
    void unansweringDeviceIsTriedBoundedTimes();
    void inaccessibleDevicesAreReported_data();
    void inaccessibleDevicesAreReported();
    void destructionDeletesDevicesSilently();
    void thousandPlugCycles();
    void hotPlugFromAnotherThreadWithDriverOnWorker();

private:
    void addDiscoveryFaultRows(bool withFactory);
    void startDriver(bool notifications = false);
    QStringList &recordSignals();

    std::shared_ptr<SimUsbBus> m_bus;
    QSharedPointer<TestHandlerFactory> m_factory;
    std::unique_ptr<USBDriver> m_driver;
    QStringList m_signals;
};

using DeviceId = USBDriver::TDeviceID;

void TestUsbDriver::init()
{
    m_bus = std::make_shared<SimUsbBus>();
    m_factory = QSharedPointer<TestHandlerFactory>::create();
    m_signals.clear();
}

void TestUsbDriver::cleanup()
{
    m_driver.reset();
    QCOMPARE(m_bus->openFileCount(), 0);
    QCOMPARE(m_bus->liveInterfaceHandleCount(), 0);
    QCOMPARE(m_bus->invalidHandleUses(), 0);
}

void TestUsbDriver::startDriver(bool notifications)
{
    m_driver = makeDriver(m_bus, {m_factory}, notifications);
}

// Records the driver's signals in order as "added <serial>", "removed <serial>", "changed".
QStringList &TestUsbDriver::recordSignals()
{
    connect(m_driver.get(), &USBDriver::deviceAdded, this,
        [this](const DeviceId &id, USBDevice *) { m_signals << "added " + id.serialNumber; });
    connect(m_driver.get(), &USBDriver::deviceRemoved, this,
        [this](const DeviceId &id) { m_signals << "removed " + id.serialNumber; });
    connect(m_driver.get(), &USBDriver::devicesListChanged, this, [this] { m_signals << "changed"; });
    return m_signals;
}

void TestUsbDriver::deviceIdOrder_data()
{
    QTest::addColumn<int>("vendorA");
    QTest::addColumn<int>("productA");
    QTest::addColumn<QString>("serialA");
    QTest::addColumn<int>("vendorB");
    QTest::addColumn<int>("productB");
    QTest::addColumn<QString>("serialB");
    QTest::addColumn<int>("order"); // -1: A before B, 0: equal, 1: B before A
    QTest::addRow("vendor decides first") << 1 << 9 << "z" << 2 << 0 << "a" << -1;
    QTest::addRow("then product") << 1 << 2 << "z" << 1 << 3 << "a" << -1;
    QTest::addRow("then serial") << 1 << 2 << "a" << 1 << 2 << "b" << -1;
    QTest::addRow("upper case before lower case") << 1 << 2 << "Abc" << 1 << 2 << "abc" << -1;
    QTest::addRow("prefix first") << 1 << 2 << "ab" << 1 << 2 << "abc" << -1;
    QTest::addRow("case matters for equality") << 1 << 2 << "ab" << 1 << 2 << "aB" << 1;
    QTest::addRow("equal") << 1 << 2 << "ab" << 1 << 2 << "ab" << 0;
    QTest::addRow("empty serials equal") << 0 << 0 << "" << 0 << 0 << "" << 0;
}

void TestUsbDriver::deviceIdOrder()
{
    QFETCH(int, vendorA);
    QFETCH(int, productA);
    QFETCH(QString, serialA);
    QFETCH(int, vendorB);
    QFETCH(int, productB);
    QFETCH(QString, serialB);
    QFETCH(int, order);
    const DeviceId a {uint16_t(vendorA), uint16_t(productA), serialA};
    const DeviceId b {uint16_t(vendorB), uint16_t(productB), serialB};
    QCOMPARE(a < b, order < 0);
    QCOMPARE(b<a, order> 0);
    QCOMPARE(a == b, order == 0);
    QCOMPARE(a != b, order != 0);
}

void TestUsbDriver::metaObjects()
{
    const QMetaObject &driver = USBDriver::staticMetaObject;
    QCOMPARE(driver.className(), "USBDriver");
    QStringList methods;
    for (int i = driver.methodOffset(); i < driver.methodCount(); ++i) {
        const QMetaMethod method = driver.method(i);
        methods << QString("%1 %2").arg(method.methodType() == QMetaMethod::Signal ? "signal" : "slot",
            QString::fromLatin1(method.methodSignature()));
    }
    QCOMPARE(methods,
        QStringList({"signal devicesListChanged()", "signal deviceAdded(USBDriver::TDeviceID,USBDevice*)",
            "signal deviceRemoved(USBDriver::TDeviceID)", "slot onWinDevChangeEvent()"}));
    QCOMPARE(driver.method(driver.indexOfSlot("onWinDevChangeEvent()")).access(), QMetaMethod::Public);

    for (const QMetaObject *quiet : {&USBDevice::staticMetaObject, &USBInterface::staticMetaObject,
             &USBEndpoint::staticMetaObject, &UsbInterfaceHandler::staticMetaObject}) {
        QCOMPARE(quiet->superClass(), &QObject::staticMetaObject);
        QCOMPARE(quiet->methodCount(), quiet->methodOffset());
        QCOMPARE(quiet->propertyCount(), quiet->propertyOffset());
    }
    QCOMPARE(UsbInterfaceHandler::staticMetaObject.className(), "UsbInterfaceHandler");
    TestHandlerFactory factory;
    QCOMPARE(factory.metaObject(), &QObject::staticMetaObject);

    // Both travel in queued signals, also through connections made by signature text.
    startDriver();
    QCOMPARE(QtCompat::metaTypeId("USBDriver::TDeviceID"), qMetaTypeId<DeviceId>());
    QVERIFY(QtCompat::metaTypeId("USBDevice*") != QMetaType::UnknownType);
}

void TestUsbDriver::deviceChangeMessage_data()
{
    const UsbGuid other = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    const UsbGuid ours = DEVICE_INTERFACE_GUID;
    QTest::addColumn<uint>("message");
    QTest::addColumn<quint64>("wParam");
    QTest::addColumn<uint>("deviceType"); // 0: lParam is null
    QTest::addColumn<UsbGuid>("classGuid");
    QTest::addColumn<bool>("handled");
    QTest::addRow("device tree changed") << 0x0219u << quint64(0x0007) << 0u << other << true;
    QTest::addRow("arrival of ours") << 0x0219u << quint64(0x8000) << 5u << ours << true;
    QTest::addRow("removal of ours") << 0x0219u << quint64(0x8004) << 5u << ours << true;
    QTest::addRow("arrival of another GUID") << 0x0219u << quint64(0x8000) << 5u << other << false;
    QTest::addRow("removal of another device type") << 0x0219u << quint64(0x8004) << 2u << ours << false;
    QTest::addRow("arrival with null lParam") << 0x0219u << quint64(0x8000) << 0u << ours << false;
    QTest::addRow("removal pending of ours") << 0x0219u << quint64(0x8003) << 5u << ours << false;
    QTest::addRow("other message with 7") << 0x0218u << quint64(0x0007) << 0u << other << false;
}

void TestUsbDriver::deviceChangeMessage()
{
    QFETCH(uint, message);
    QFETCH(quint64, wParam);
    QFETCH(uint, deviceType);
    QFETCH(UsbGuid, classGuid);
    QFETCH(bool, handled);
    const DeviceInterfaceBroadcast broadcast = {sizeof broadcast, deviceType, 0, classGuid, {0}};
    const void *lParam = deviceType ? &broadcast : nullptr;
    QCOMPARE(isDeviceListChange(message, std::uintptr_t(wParam), lParam, DEVICE_INTERFACE_GUID), handled);
}

void TestUsbDriver::platformChoice_data()
{
    QTest::addColumn<QString>("choice");
    QTest::addRow("platform default sees no device") << "default";
    QTest::addRow("TALVEX_SIMULATOR gives the simulated bus") << "simulator";
    QTest::addRow("an injected bus wins") << "injected";
}

void TestUsbDriver::platformChoice()
{
    QFETCH(QString, choice);
    const std::shared_ptr<SimUsbBus> simulated = simulatorBus();
    const SimUsbBus::DeviceId onSimulator = simulated->plug(deviceProfile(0x1209, 0x0100, u"sim"));
    const SimUsbBus::DeviceId onInjected = m_bus->plug(deviceProfile(0x1209, 0x0200, u"injected"));
    // Leaves the process as it found it, also when a check fails.
    struct Restore
    {
        ~Restore()
        {
            injectUsbPlatform({});
            qunsetenv("TALVEX_SIMULATOR");
        }
    } restore;
    qunsetenv("TALVEX_SIMULATOR");
    if (choice == "simulator")
        qputenv("TALVEX_SIMULATOR", "1");
    if (choice == "injected") {
        qputenv("TALVEX_SIMULATOR", "1");
        injectUsbPlatform([this] {
            return UsbPlatform {m_bus, std::make_unique<SimBusChangeNotifier>(m_bus)};
        });
    }

    auto driver = std::make_unique<USBDriver>(FactoryList(), createUsbPlatform());
    const QList<USBDevice *> found = driver->devices();
    if (choice == "default") {
        QVERIFY(found.isEmpty());
        QVERIFY(driver->host() != simulated.get() && driver->host() != m_bus.get());
    } else {
        const std::shared_ptr<SimUsbBus> bus = choice == "simulator" ? simulated : m_bus;
        QCOMPARE(driver->host(), bus.get());
        QCOMPARE(found.size(), 1);
        // The bus's unplug reaches this driver as a notification.
        bus->unplug(choice == "simulator" ? onSimulator : onInjected);
        QTRY_VERIFY(driver->devices().isEmpty());
    }
    driver.reset();
    simulated->unplug(onSimulator);
}

void TestUsbDriver::firstScanReachesNoReceiver()
{
    m_bus->plug(deviceProfile(0x1209, 1, u"first"));
    startDriver(true);
    recordSignals();
    QTest::qWait(20);
    QCOMPARE(m_driver->devices().size(), 1);
    QVERIFY(m_signals.isEmpty());
}

void TestUsbDriver::plugGivesOneAddedThenOneListChanged()
{
    startDriver(true);
    USBDevice *announced = nullptr;
    connect(m_driver.get(), &USBDriver::deviceAdded, this,
        [&](const DeviceId &, USBDevice *device) { announced = device; });
    recordSignals();
    m_bus->plug(deviceProfile(0x1209, 2, u"plugged"));
    for (int i = 0; i < 3; ++i)
        m_bus->raiseChangeNotification();
    QTRY_COMPARE(m_signals, QStringList({"added plugged", "changed"}));
    QTest::qWait(20);
    QCOMPARE(m_signals, QStringList({"added plugged", "changed"}));
    QCOMPARE(announced, m_driver->devices().value(0));
    QCOMPARE(announced->deviceId(), (DeviceId {0x1209, 2, "plugged"}));
}

void TestUsbDriver::unplugAnnouncesRemovalBeforeDeleting()
{
    const SimUsbBus::DeviceId id = m_bus->plug(deviceProfile(0x1209, 3, u"leaving"));
    startDriver();
    QPointer<USBDevice> device = m_driver->devices().value(0);
    bool aliveWhenAnnounced = false;
    connect(m_driver.get(), &USBDriver::deviceRemoved, this, [&] { aliveWhenAnnounced = !device.isNull(); });
    recordSignals();
    m_bus->unplug(id);
    m_driver->onWinDevChangeEvent();
    QCOMPARE(m_signals, QStringList({"removed leaving", "changed"}));
    QVERIFY(aliveWhenAnnounced);
    QVERIFY(device.isNull());
    QVERIFY(m_driver->devices().isEmpty());
}

void TestUsbDriver::replugGivesNewDeviceObject_data()
{
    QTest::addColumn<bool>("scanWhileAway");
    QTest::addColumn<QStringList>("expected");
    QTest::addRow("scan while unplugged")
        << true << QStringList({"removed again", "changed", "added again", "changed"});
    // A restart between two scans leaves the path in place; a dead object must not stay.
    QTest::addRow("back before the next scan")
        << false << QStringList({"removed again", "added again", "changed"});
}

void TestUsbDriver::replugGivesNewDeviceObject()
{
    QFETCH(bool, scanWhileAway);
    QFETCH(QStringList, expected);
    const SimUsbBus::DeviceId id = m_bus->plug(deviceProfile(0x1209, 4, u"again"));
    startDriver();
    QPointer<USBDevice> first = m_driver->devices().value(0);
    recordSignals();
    m_bus->unplug(id);
    if (scanWhileAway)
        m_driver->onWinDevChangeEvent();
    m_bus->replug(id);
    m_driver->onWinDevChangeEvent();
    QVERIFY(first.isNull());
    QCOMPARE(m_driver->devices().size(), 1);
    QVERIFY(m_driver->devices().value(0)->isAttached());
    QCOMPARE(m_signals, expected);
}

void TestUsbDriver::failedEnumerationChangesNothing()
{
    const SimUsbBus::DeviceId old = m_bus->plug(deviceProfile(0x1209, 5, u"old"));
    startDriver();
    QPointer<USBDevice> oldDevice = m_driver->devices().value(0);
    m_bus->unplug(old);
    m_bus->plug(deviceProfile(0x1209, 5, u"new"));
    m_bus->injectFault({SimOp::ListInterfacePaths, SimFault::Action::Fail});
    recordSignals();

    m_driver->onWinDevChangeEvent();
    QVERIFY(m_signals.isEmpty());
    QVERIFY(oldDevice);
    QCOMPARE(m_driver->devices(), QList<USBDevice *>({oldDevice.data()}));

    m_driver->onWinDevChangeEvent();
    QCOMPARE(m_signals, QStringList({"removed old", "added new", "changed"}));
}

void TestUsbDriver::unchangedScanEmitsNothingAndOpensNothing()
{
    m_bus->plug(deviceProfile(0x1209, 6, u"stays"));
    startDriver();
    recordSignals();
    m_bus->clearCalls();
    m_driver->onWinDevChangeEvent();
    QVERIFY(m_driver->scanDevices());
    QVERIFY(m_signals.isEmpty());
    // A known device costs one presence check per scan, never an open.
    QCOMPARE(callOps(*m_bus),
        std::vector<SimOp>(
            {SimOp::ListInterfacePaths, SimOp::IsAttached, SimOp::ListInterfacePaths, SimOp::IsAttached}));
}

void TestUsbDriver::devicesInIdentityOrder()
{
    m_bus->plug(deviceProfile(2, 1, u"a"));
    m_bus->plug(deviceProfile(1, 1, u"b"));
    m_bus->plug(deviceProfile(1, 1, u"B"));
    m_bus->plug(deviceProfile(1, 0, u"z"));
    startDriver();
    QStringList order;
    for (USBDevice *device : m_driver->devices()) {
        const DeviceId id = device->deviceId();
        order << QString("%1:%2:%3").arg(id.vendorId).arg(id.productId).arg(id.serialNumber);
    }
    QCOMPARE(order, QStringList({"1:0:z", "1:1:B", "1:1:b", "2:1:a"}));
}

void TestUsbDriver::driverForOnePathNeverOpensOtherDevices()
{
    m_bus->plug(deviceProfile(1, 1, u"other"));
    const SimUsbBus::DeviceId mine = m_bus->plug(deviceProfile(1, 1, u"mine"));
    UsbPlatform platform;
    platform.host = m_bus;
    platform.deviceChangeSource = std::make_unique<SimBusChangeNotifier>(m_bus);
    m_driver = std::make_unique<USBDriver>(FactoryList {m_factory}, std::move(platform),
        QStringList {QString::fromStdU16String(m_bus->path(mine))});
    // A device that arrives later, and one that restarts, are seen only at the path given.
    m_bus->plug(deviceProfile(1, 1, u"late"));
    m_bus->replug(mine);
    QTRY_COMPARE(m_driver->devices().size(), 1);
    QTRY_VERIFY(m_bus->callCount(SimOp::OpenFile) >= 2);
    QCoreApplication::processEvents();
    QCOMPARE(m_driver->devices().first()->deviceId().serialNumber, QString("mine"));
    for (const SimCall &call : m_bus->calls()) {
        if (call.op == SimOp::OpenFile)
            QCOMPARE(call.device, mine);
    }
}

void TestUsbDriver::sameIdentityKeepsOneDeviceRecorded_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addRow("two devices without serial number") << "";
    QTest::addRow("two devices with the same serial number") << "twin";
}

void TestUsbDriver::sameIdentityKeepsOneDeviceRecorded()
{
    QFETCH(QString, serial);
    const SimUsbBus::DeviceId first = m_bus->plug(deviceProfile(0x1209, 7, serial.toStdU16String()));
    const SimUsbBus::DeviceId second = m_bus->plug(deviceProfile(0x1209, 7, serial.toStdU16String()));
    startDriver();
    recordSignals();
    const QList<USBDevice *> recorded = m_driver->devices();
    QCOMPARE(recorded.size(), 1);
    QCOMPARE(recorded[0]->path(), QString::fromStdU16String(m_bus->path(first)));
    QCOMPARE(m_bus->openFileCount(), 1);
    QCOMPARE(m_driver->findChildren<USBDevice *>().size(), 1);

    // Scans while both are present change nothing.
    m_driver->onWinDevChangeEvent();
    QVERIFY(m_signals.isEmpty());

    // When the recorded one leaves, the other takes its place.
    m_bus->unplug(first);
    m_driver->onWinDevChangeEvent();
    QCOMPARE(m_signals, QStringList({"removed " + serial, "added " + serial, "changed"}));
    QCOMPARE(m_driver->devices().value(0)->path(), QString::fromStdU16String(m_bus->path(second)));

    m_bus->unplug(second);
    m_driver->onWinDevChangeEvent();
    QVERIFY(m_driver->devices().isEmpty());
    QCOMPARE(m_bus->openFileCount(), 0);
}

void TestUsbDriver::addDiscoveryFaultRows(bool withFactory)
{
    QTest::addColumn<int>("op");
    QTest::addColumn<int>("action");
    QTest::addColumn<int>("nth");
    QTest::addRow("interface settings fail") << int(SimOp::QueryInterfaceSettings) << 0 << 2;
    QTest::addRow("pipe query fails") << int(SimOp::QueryPipe) << 0 << 3;
    QTest::addRow("associated interface fails") << int(SimOp::GetAssociatedInterface) << 0 << 1;
    QTest::addRow("device leaves during discovery")
        << int(SimOp::QueryPipe) << int(SimFault::Action::Unplug) << 2;
    if (withFactory)
        QTest::addRow("handler factory throws") << -1 << 0 << 0;
}

void TestUsbDriver::discoveryErrorWhileAdding_data()
{
    addDiscoveryFaultRows(true);
}

void TestUsbDriver::discoveryErrorWhileAdding()
{
    QFETCH(int, op);
    QFETCH(int, action);
    QFETCH(int, nth);
    startDriver();
    recordSignals();
    const SimUsbBus::DeviceId id = m_bus->plug(deviceProfile(0x1209, 8, u"faulty", 2));
    if (op >= 0)
        m_bus->injectFault({SimOp(op), SimFault::Action(action), nth});
    else
        m_factory->throwNext = true;

    m_driver->onWinDevChangeEvent();
    QVERIFY(m_signals.isEmpty());
    QVERIFY(m_driver->findChildren<USBDevice *>().isEmpty());
    QCOMPARE(m_bus->openFileCount(), 0);
    QCOMPARE(m_bus->liveInterfaceHandleCount(), 0);
    // The scan let go of its lock: another thread gets the list at once.
    auto listed = std::async(std::launch::async, [this] { return m_driver->devices().size(); });
    QCOMPARE(listed.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    QCOMPARE(listed.get(), 0);

    // The path was not recorded, so the next scan tries it again.
    if (!m_bus->isPlugged(id))
        m_bus->replug(id);
    m_driver->onWinDevChangeEvent();
    QCOMPARE(m_signals, QStringList({"added faulty", "changed"}));
    QCOMPARE(m_driver->devices().value(0)->interfaces().size(), 2);
}

void TestUsbDriver::discoveryErrorWhileReconnecting_data()
{
    addDiscoveryFaultRows(false);
}

void TestUsbDriver::discoveryErrorWhileReconnecting()
{
    QFETCH(int, op);
    QFETCH(int, action);
    QFETCH(int, nth);
    const SimUsbBus::DeviceId id = m_bus->plug(deviceProfile(0x1209, 9, u"faulty", 2));
    startDriver();
    recordSignals();
    USBDevice *device = m_driver->devices().value(0);
    device->close(); // as a reopen that timed out leaves it
    m_bus->injectFault({SimOp(op), SimFault::Action(action), nth});

    m_driver->onWinDevChangeEvent();
    QVERIFY(!device->isOpen());
    QCOMPARE(m_driver->devices(), QList<USBDevice *>({device}));
    QCOMPARE(m_bus->openFileCount(), 0);
    QCOMPARE(m_bus->liveInterfaceHandleCount(), 0);

    if (!m_bus->isPlugged(id)) {
        // Gone for good: the next scan removes it.
        m_driver->onWinDevChangeEvent();
        QCOMPARE(m_signals, QStringList({"removed faulty", "changed"}));
        return;
    }
    m_driver->onWinDevChangeEvent();
    QVERIFY(device->isOpen());
    QCOMPARE(device->interfaces().size(), 2);
    QVERIFY(m_signals.isEmpty());
}

void TestUsbDriver::unansweringDeviceIsTriedBoundedTimes_data()
{
    QTest::addColumn<int>("failures");
    QTest::addRow("answers at the second try") << 1;
    QTest::addRow("answers at the last try") << USBDriver::addRetries;
    QTest::addRow("never answers: given up, tried afresh after a replug") << USBDriver::addRetries + 1;
}

void TestUsbDriver::unansweringDeviceIsTriedBoundedTimes()
{
    QFETCH(int, failures);
    startDriver();
    QSignalSpy reported(m_driver->notAnsweringDevices(), &DevicePathList::changed);
    recordSignals();
    m_factory->throwTimes = failures;
    const SimUsbBus::DeviceId id = m_bus->plug(deviceProfile(0x1209, 0x7A10, u"slow"));
    m_driver->scanDevices();
    // The second try comes from the driver's own scan, the rest from the test's.
    QTRY_VERIFY_WITH_TIMEOUT(m_factory->calls >= 2, 60000);
    for (int scan = 0; scan < USBDriver::addRetries; ++scan)
        m_driver->scanDevices();
    const bool givenUp = failures > USBDriver::addRetries;
    QCOMPARE(m_factory->calls.load(), qMin(failures, USBDriver::addRetries) + 1);
    QCOMPARE(m_signals, givenUp ? QStringList() : QStringList({"added slow", "changed"}));
    // Listed once at its first failure; unlisted once it answers.
    QCOMPARE(reported.count(), givenUp ? 1 : 2);
    QCOMPARE(
        reported.first().first().toStringList(), QStringList(QString::fromStdU16String(m_bus->path(id))));
    if (!givenUp)
        return;
    m_bus->unplug(id);
    m_driver->scanDevices();
    m_bus->replug(id);
    m_driver->scanDevices();
    QCOMPARE(m_signals, QStringList({"added slow", "changed"}));
}

void TestUsbDriver::inaccessibleDevicesAreReported_data()
{
    QTest::addColumn<QString>("remedy"); // what ends the refusal
    QTest::addRow("permission granted, then a change notification") << "grant";
    QTest::addRow("device unplugged") << "unplug";
    QTest::addRow("held elsewhere is not a permission problem") << "held";
}

void TestUsbDriver::inaccessibleDevicesAreReported()
{
    QFETCH(QString, remedy);
    const SimUsbBus::DeviceId denied = m_bus->plug(deviceProfile(0x1209, 0x7A10, u"D"));
    m_bus->plug(deviceProfile(0x1209, 0x7A10, u"fine"));
    if (remedy == "held")
        m_bus->setHeldElsewhere(denied, true);
    else
        m_bus->setAccessDenied(denied, true);
    startDriver();
    QSignalSpy spy(m_driver->inaccessibleDevices(), &InaccessibleDevices::changed);
    QVERIFY(spy.isValid());
    recordSignals();
    const QStringList expected
        = remedy == "held" ? QStringList() : QStringList {QString::fromStdU16String(m_bus->path(denied))};
    QCOMPARE(m_driver->inaccessibleDevices()->paths(), expected);
    QCOMPARE(m_driver->devices().size(), 1);

    // Scanning again with nothing changed repeats nothing.
    m_driver->scanDevices();
    QCOMPARE(spy.count(), 0);
    if (remedy == "held")
        return;

    if (remedy == "grant") {
        m_bus->setAccessDenied(denied, false);
        m_driver->scanDevices();
        QCOMPARE(m_signals, QStringList({"added D", "changed"}));
    } else {
        m_bus->unplug(denied);
        m_driver->scanDevices();
        QCOMPARE(m_signals, QStringList());
    }
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first().first().toStringList(), QStringList());
    QCOMPARE(m_driver->inaccessibleDevices()->paths(), QStringList());
}

void TestUsbDriver::destructionDeletesDevicesSilently()
{
    m_bus->plug(deviceProfile(0x1209, 10, u"one", 2));
    m_bus->plug(deviceProfile(0x1209, 10, u"two", 2));
    startDriver();
    recordSignals();
    QPointer<USBDevice> one = m_driver->devices().value(0);
    QPointer<UsbInterfaceHandler> handler = one->interfaceHandlers().first();
    m_driver.reset();
    QVERIFY(one.isNull());
    QVERIFY(handler.isNull());
    QVERIFY(m_signals.isEmpty());
}

void TestUsbDriver::thousandPlugCycles()
{
    startDriver();
    QSignalSpy added(m_driver.get(), &USBDriver::deviceAdded);
    QSignalSpy removed(m_driver.get(), &USBDriver::deviceRemoved);
    QVERIFY(added.isValid() && removed.isValid());
    m_bus->setCallLogLimit(64);
    const SimUsbBus::DeviceId id = m_bus->plug(deviceProfile(0x1209, 11, u"cycling", 2));
    for (int cycle = 0; cycle < 1000; ++cycle) {
        m_driver->onWinDevChangeEvent();
        QCOMPARE(m_driver->devices().size(), 1);
        m_bus->unplug(id);
        m_driver->onWinDevChangeEvent();
        QVERIFY(m_driver->devices().isEmpty());
        m_bus->replug(id);
    }
    QCOMPARE(added.count(), 1000);
    QCOMPARE(removed.count(), 1000);
    QCOMPARE(m_factory->created.load(), 2000);
}

void TestUsbDriver::hotPlugFromAnotherThreadWithDriverOnWorker()
{
    startDriver(true);
    QList<DeviceId> added;
    int removed = 0;
    // Queued onto this thread, as the application receives them; gone with
    // the receiver if a check ends the test early.
    QObject receiver;
    connect(m_driver.get(), &USBDriver::deviceAdded, &receiver,
        [&](const DeviceId &id, USBDevice *) { added << id; });
    connect(m_driver.get(), &USBDriver::deviceRemoved, &receiver, [&] { ++removed; });
    StoppingThread worker;
    worker.setObjectName("USB driver thread");
    m_driver->moveToThread(&worker);
    connect(&worker, &QThread::started, m_driver.get(), &USBDriver::scanDevices);
    worker.start();

    std::vector<SimUsbBus::DeviceId> kept;
    std::thread plugger([&] {
        const SimUsbBus::DeviceId flapping = m_bus->plug(deviceProfile(0x1209, 12, u"flap"));
        for (int i = 0; i < 20; ++i) {
            kept.push_back(
                m_bus->plug(deviceProfile(0x1209, 12, u"kept" + std::u16string(1, char16_t(u'A' + i)))));
            m_bus->unplug(flapping);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            m_bus->replug(flapping);
        }
        m_bus->unplug(flapping);
    });
    // Meanwhile this thread reads the list while the worker scans. No check
    // may return before the join: a joinable std::thread ends the program.
    int mostSeen = 0;
    QElapsedTimer reading;
    reading.start();
    while (reading.elapsed() < 100)
        mostSeen = std::max(mostSeen, int(m_driver->devices().size()));
    plugger.join();
    QVERIFY2(mostSeen <= 21, qPrintable(QString::number(mostSeen)));
    QVERIFY(drainDriverOnWorker(m_driver.get()));
    QCOMPARE(m_driver->devices().size(), 20);

    std::thread unplugger([&] {
        for (SimUsbBus::DeviceId id : kept)
            m_bus->unplug(id);
    });
    unplugger.join();
    QVERIFY(drainDriverOnWorker(m_driver.get()));
    QVERIFY(m_driver->devices().isEmpty());
    QCOMPARE(removed, added.size());
    QVERIFY(added.size() >= 20);
    QCOMPARE(added.first().vendorId, uint16_t(0x1209));
    QVERIFY(added.first().serialNumber.startsWith("kept") || added.first().serialNumber == "flap");
}

QTEST_GUILESS_MAIN(TestUsbDriver)
#include "tst_usbdriver.moc"
