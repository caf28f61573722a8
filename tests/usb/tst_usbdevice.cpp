#include "usbtestsupport.h"

#include "usb/usbendpoint.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

#include <thread>

class TestUsbDevice : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void openFollowsTheDiscoverySequence();
    void singleInterfaceAsksForNoAssociatedInterface();
    void serialNumber_data();
    void serialNumber();
    void openTwiceAndCloseTwiceChangeNothing();
    void failedOpenLeavesNothingOpen_data();
    void failedOpenLeavesNothingOpen();
    void pathLength_data();
    void pathLength();
    void discoveryErrorReleasesEveryHandle_data();
    void discoveryErrorReleasesEveryHandle();
    void handlerFactories_data();
    void handlerFactories();
    void reopenKeepsInterfacesAndHandlers();
    void reopenFollowsChangedInterfaces();
    void reopenWithNegativeTimeoutWaitsForTheDevice();
    void reopenTimesOutAndKeepsInterfaces();
    void reopenErrorLeavesDeviceClosedForReconnect();
    void reconnectAfterTimedOutReopenKeepsCallersUsable();
    void interfaceNumberNamedTwiceKeepsTheFirstThroughReopen();
    void closedDeviceKeepsItsInterfacesOffFreedHandles_data();
    void closedDeviceKeepsItsInterfacesOffFreedHandles();

private:
    USBDevice *onlyDevice() const { return m_driver->devices().value(0); }
    void startDriver(const FactoryList &factories = {});

    std::shared_ptr<SimUsbBus> m_bus;
    std::shared_ptr<SimScriptedModel> m_model;
    std::unique_ptr<USBDriver> m_driver;
};

void TestUsbDevice::init()
{
    m_bus = std::make_shared<SimUsbBus>();
    m_model = std::make_shared<SimScriptedModel>();
}

void TestUsbDevice::cleanup()
{
    m_driver.reset();
    QCOMPARE(m_bus->openFileCount(), 0);
    QCOMPARE(m_bus->liveInterfaceHandleCount(), 0);
    QCOMPARE(m_bus->invalidHandleUses(), 0);
}

void TestUsbDevice::startDriver(const FactoryList &factories)
{
    m_driver = makeDriver(m_bus, factories);
}

void TestUsbDevice::openFollowsTheDiscoverySequence()
{
    SimDeviceProfile profile = deviceProfile(0x1209, 0x0002, u"AB", 2);
    profile.interfaces[1].pipes.resize(1);
    m_bus->plug(profile);
    startDriver();
    QVERIFY(onlyDevice());

    QStringList seen;
    for (const SimCall &call : m_bus->calls()) {
        QString line = QString::fromLatin1(simOpName(call.op));
        if (call.op == SimOp::GetDescriptor)
            line += QString(" type %1 index %2 language %3 length %4 -> %5")
                        .arg(call.descriptorType)
                        .arg(call.index)
                        .arg(call.languageId)
                        .arg(call.length)
                        .arg(call.transferred);
        else if (call.op == SimOp::QueryInterfaceSettings)
            line += QString(" alternate %1").arg(call.alternateSetting);
        else if (call.op == SimOp::QueryPipe)
            line += QString(" alternate %1 pipe %2").arg(call.alternateSetting).arg(call.index);
        else if (call.op == SimOp::GetAssociatedInterface)
            line += QString(" index %1").arg(call.index);
        seen << line;
    }
    const QStringList expected = {
        "ListInterfacePaths",
        "OpenFile",
        "Initialize",
        "GetDescriptor type 1 index 0 language 0 length 18 -> 18",
        "GetDescriptor type 2 index 0 language 0 length 9 -> 9",
        "GetDescriptor type 3 index 3 language 0 length 4 -> 4",
        "GetDescriptor type 3 index 3 language 0 length 6 -> 6",
        "QueryInterfaceSettings alternate 0",
        "QueryPipe alternate 0 pipe 0",
        "QueryPipe alternate 0 pipe 1",
        "GetAssociatedInterface index 0",
        "QueryInterfaceSettings alternate 0",
        "QueryPipe alternate 0 pipe 0",
    };
    QCOMPARE(seen, expected);

    // Everything after initialisation goes through the default handle or the one derived from it.
    const std::vector<SimCall> calls = m_bus->calls();
    for (size_t i = 3; i <= 10; ++i)
        QCOMPARE(calls[i].handle, calls[2].newHandle);
    QCOMPARE(calls[11].handle, calls[10].newHandle);
    QCOMPARE(onlyDevice()->deviceId(), (USBDriver::TDeviceID {0x1209, 0x0002, QStringLiteral("AB")}));
}

void TestUsbDevice::singleInterfaceAsksForNoAssociatedInterface()
{
    m_bus->plug(deviceProfile(0x1209, 0x0003, u"X", 1));
    startDriver();
    QCOMPARE(onlyDevice()->interfaces().size(), 1);
    QCOMPARE(m_bus->callCount(SimOp::GetAssociatedInterface), size_t(0));
}

void TestUsbDevice::serialNumber_data()
{
    QTest::addColumn<int>("serialIndex");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("faultOnCall"); // 0: none; n: the nth string request fails
    QTest::addColumn<int>("shortBy"); // with faultOnCall: bytes missing from the answer, 0 = call fails
    QTest::addColumn<QString>("expected");
    QTest::addRow("serial read") << 3 << "Ab12" << 0 << 0 << "Ab12";
    QTest::addRow("no serial string gives empty") << 0 << "ignored" << 0 << 0 << "";
    QTest::addRow("first request fails") << 3 << "Ab12" << 1 << 0 << "";
    QTest::addRow("second request fails") << 3 << "Ab12" << 2 << 0 << "";
    QTest::addRow("head answered short") << 3 << "Ab12" << 1 << 2 << "";
    QTest::addRow("text answered short") << 3 << "Ab12" << 2 << 1 << "";
    QTest::addRow("empty string descriptor") << 3 << "" << 0 << 0 << "";
}

void TestUsbDevice::serialNumber()
{
    QFETCH(int, serialIndex);
    QFETCH(QString, text);
    QFETCH(int, faultOnCall);
    QFETCH(int, shortBy);
    QFETCH(QString, expected);
    SimDeviceProfile profile = deviceProfile(0x1209, 0x0004, text.toStdU16String());
    profile.serialNumberIndex = uint8_t(serialIndex);
    m_bus->plug(profile);
    if (faultOnCall) {
        const uint32_t wanted = faultOnCall == 1 ? 4 : uint32_t(2 + 2 * text.size());
        m_bus->injectFault(
            {SimOp::GetDescriptor, shortBy ? SimFault::Action::MoveFewer : SimFault::Action::Fail,
                faultOnCall, 1, wanted - uint32_t(shortBy), -1, UsbStringDescriptorType});
    }
    startDriver();
    QVERIFY2(onlyDevice(), "a device whose serial cannot be read still opens");
    QCOMPARE(onlyDevice()->deviceId().serialNumber, expected);
    if (serialIndex == 0) {
        for (const SimCall &call : m_bus->calls())
            QVERIFY(call.op != SimOp::GetDescriptor || call.descriptorType != UsbStringDescriptorType);
    }
}

void TestUsbDevice::openTwiceAndCloseTwiceChangeNothing()
{
    m_bus->plug(deviceProfile(0x1209, 0x0005, u"S"));
    startDriver();
    USBDevice *device = onlyDevice();
    m_bus->clearCalls();
    QVERIFY(!device->open());
    QVERIFY(device->isOpen());
    QVERIFY(m_bus->calls().empty());

    QVERIFY(device->close());
    QVERIFY(!device->isOpen());
    QCOMPARE(m_bus->openFileCount(), 0);
    m_bus->clearCalls();
    QVERIFY(!device->close());
    QVERIFY(m_bus->calls().empty());
}

void TestUsbDevice::failedOpenLeavesNothingOpen_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<int>("action");
    QTest::addColumn<int>("descriptorType");
    QTest::addColumn<int>("bytes");
    QTest::addRow("file refused") << int(SimOp::OpenFile) << int(SimFault::Action::Fail) << -1 << 0;
    QTest::addRow("initialisation fails") << int(SimOp::Initialize) << int(SimFault::Action::Fail) << -1 << 0;
    QTest::addRow("device descriptor fails")
        << int(SimOp::GetDescriptor) << int(SimFault::Action::Fail) << int(UsbDeviceDescriptorType) << 0;
    QTest::addRow("device descriptor 17 of 18 bytes")
        << int(SimOp::GetDescriptor) << int(SimFault::Action::MoveFewer) << int(UsbDeviceDescriptorType)
        << 17;
    QTest::addRow("configuration descriptor fails")
        << int(SimOp::GetDescriptor) << int(SimFault::Action::Fail) << int(UsbConfigurationDescriptorType)
        << 0;
    QTest::addRow("configuration descriptor 4 of 9 bytes")
        << int(SimOp::GetDescriptor) << int(SimFault::Action::MoveFewer)
        << int(UsbConfigurationDescriptorType) << 4;
    QTest::addRow("device unplugged while described")
        << int(SimOp::GetDescriptor) << int(SimFault::Action::Unplug) << int(UsbConfigurationDescriptorType)
        << 0;
}

void TestUsbDevice::failedOpenLeavesNothingOpen()
{
    QFETCH(int, op);
    QFETCH(int, action);
    QFETCH(int, descriptorType);
    QFETCH(int, bytes);
    startDriver();
    const SimUsbBus::DeviceId id = m_bus->plug(deviceProfile(0x1209, 0x0006, u"S"));
    m_bus->injectFault({SimOp(op), SimFault::Action(action), 1, 1, uint32_t(bytes), -1, descriptorType});

    USBDevice device(QString::fromStdU16String(m_bus->path(id)), m_driver.get());
    QVERIFY(!device.isOpen());
    QCOMPARE(m_bus->openFileCount(), 0);
    QCOMPARE(m_bus->liveInterfaceHandleCount(), 0);
    QCOMPARE(device.deviceId(), USBDriver::TDeviceID());

    // Nothing was left holding the device, so the next attempt gets it.
    m_bus->replug(id);
    QVERIFY(device.open());
    QCOMPARE(device.deviceId().productId, uint16_t(0x0006));
}

void TestUsbDevice::pathLength_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("opens");
    QTest::addRow("259 characters fit the buffer") << 259 << true;
    QTest::addRow("260 characters do not") << 260 << false;
    QTest::addRow("1000 characters do not") << 1000 << false;
}

void TestUsbDevice::pathLength()
{
    QFETCH(int, length);
    QFETCH(bool, opens);
    SimDeviceProfile profile = deviceProfile(0x1209, 0x0007, u"S");
    const std::u16string head = u"\\\\?\\usb#vid_1209&pid_0007#";
    profile.path = head + std::u16string(size_t(length) - head.size(), u'x');
    m_bus->plug(profile);
    startDriver();
    QCOMPARE(m_driver->devices().size(), opens ? 1 : 0);
    if (!opens)
        QCOMPARE(m_bus->callCount(SimOp::OpenFile), size_t(0));
}

void TestUsbDevice::discoveryErrorReleasesEveryHandle_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<int>("nth");
    QTest::addColumn<bool>("factoryThrows");
    QTest::addColumn<QString>("expectedError");
    QTest::addRow("first interface settings")
        << int(SimOp::QueryInterfaceSettings) << 1 << false << "GetInterfaceConfigurationException";
    QTest::addRow("third interface settings")
        << int(SimOp::QueryInterfaceSettings) << 3 << false << "GetInterfaceConfigurationException";
    QTest::addRow("first pipe") << int(SimOp::QueryPipe) << 1 << false << "EndpointQueryException";
    QTest::addRow("last pipe") << int(SimOp::QueryPipe) << 6 << false << "EndpointQueryException";
    QTest::addRow("first associated interface")
        << int(SimOp::GetAssociatedInterface) << 1 << false << "InterfaceQueringException";
    QTest::addRow("second associated interface")
        << int(SimOp::GetAssociatedInterface) << 2 << false << "InterfaceQueringException";
    QTest::addRow("handler factory") << -1 << 0 << true << "ControlTransferException";
}

void TestUsbDevice::discoveryErrorReleasesEveryHandle()
{
    QFETCH(int, op);
    QFETCH(int, nth);
    QFETCH(bool, factoryThrows);
    QFETCH(QString, expectedError);
    auto factory = QSharedPointer<TestHandlerFactory>::create();
    startDriver({factory});
    const SimUsbBus::DeviceId id = m_bus->plug(deviceProfile(0x1209, 0x0008, u"S", 3));
    if (op >= 0)
        m_bus->injectFault({SimOp(op), SimFault::Action::Fail, nth});
    factory->throwNext = factoryThrows;

    QString caught;
    try {
        USBDevice device(QString::fromStdU16String(m_bus->path(id)), m_driver.get());
    } catch (const USBDevice::InterfaceQueringException &) {
        caught = "InterfaceQueringException";
    } catch (const USBInterface::GetInterfaceConfigurationException &) {
        caught = "GetInterfaceConfigurationException";
    } catch (const USBEndpoint::EndpointQueryException &) {
        caught = "EndpointQueryException";
    } catch (const USBInterface::ControlTransferException &) {
        caught = "ControlTransferException";
    }
    QCOMPARE(caught, expectedError);
    QCOMPARE(m_bus->openFileCount(), 0);
    QCOMPARE(m_bus->liveInterfaceHandleCount(), 0);
    QVERIFY(m_driver->findChildren<USBInterface *>().isEmpty());
}

void TestUsbDevice::handlerFactories_data()
{
    QTest::addColumn<int>("factoryCount");
    QTest::addRow("no factory") << 0;
    QTest::addRow("one factory") << 1;
    QTest::addRow("two accepting factories") << 2;
}

void TestUsbDevice::handlerFactories()
{
    QFETCH(int, factoryCount);
    m_bus->plug(deviceProfile(0x1209, 0x0009, u"S", 2));
    QList<QSharedPointer<TestHandlerFactory>> factories;
    FactoryList list;
    for (int i = 0; i < factoryCount; ++i) {
        factories.append(QSharedPointer<TestHandlerFactory>::create());
        list.append(factories.last());
    }
    startDriver(list);
    USBDevice *device = onlyDevice();
    QCOMPARE(device->interfaces().size(), 2);
    const auto handlers = device->interfaceHandlers();
    QCOMPARE(handlers.size(), factoryCount ? 2 : 0);
    for (USBInterface *usbInterface : device->interfaces()) {
        const auto children = usbInterface->findChildren<UsbInterfaceHandler *>();
        // Every factory made one; the map keeps the last one's.
        QCOMPARE(children.size(), factoryCount);
        if (factoryCount)
            QCOMPARE(handlers.value(usbInterface), children.last());
    }
}

void TestUsbDevice::reopenKeepsInterfacesAndHandlers()
{
    m_bus->plug(deviceProfile(0x1209, 0x000A, u"S", 2));
    auto factory = QSharedPointer<TestHandlerFactory>::create();
    startDriver({factory});
    USBDevice *device = onlyDevice();
    const auto interfacesBefore = device->interfaces();
    const auto handlersBefore = device->interfaceHandlers();

    QVERIFY(device->reopen(1000));
    QCOMPARE(device->interfaces(), interfacesBefore);
    QCOMPARE(device->interfaceHandlers(), handlersBefore);
    QCOMPARE(factory->created.load(), 2);
    // The old handles were released and the new ones are the only live ones.
    QCOMPARE(m_bus->liveInterfaceHandleCount(), 2);
    QCOMPARE(m_bus->openFileCount(), 1);
}

void TestUsbDevice::reopenFollowsChangedInterfaces()
{
    const SimUsbBus::DeviceId id = m_bus->plug(deviceProfile(0x1209, 0x000B, u"S", 3));
    startDriver({QSharedPointer<TestHandlerFactory>::create()});
    USBDevice *device = onlyDevice();
    QPointer<USBInterface> kept = device->interfaces().value(0);
    QPointer<USBInterface> vanishing = device->interfaces().value(1);
    QPointer<UsbInterfaceHandler> vanishingHandler = device->interfaceHandlers().value(vanishing);

    // The device comes back under the same path with interface 1 gone and a new interface 5.
    SimDeviceProfile changed = deviceProfile(0x1209, 0x000B, u"S", 3);
    changed.interfaces[1] = vendorInterface(5);
    m_bus->replug(id, changed);
    QVERIFY(device->reopen(1000));

    QVERIFY(kept);
    // The vanished interface is cut off at once and deleted once the caller has returned.
    QVERIFY(vanishing);
    QVERIFY(vanishing->endpoints().isEmpty());
    QVERIFY_EXCEPTION_THROWN(vanishing->controlIn(1, 0, 4), USBInterface::ControlTransferException);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(vanishing.isNull());
    QVERIFY(vanishingHandler.isNull());
    QCOMPARE(device->interfaces().keys(), QList<uint8_t>({0, 2, 5}));
    const auto handlers = device->interfaceHandlers();
    QCOMPARE(handlers.size(), 3);
    for (USBInterface *usbInterface : handlers.keys())
        QVERIFY(device->interfaces().values().contains(usbInterface));
}

void TestUsbDevice::reopenWithNegativeTimeoutWaitsForTheDevice()
{
    const SimUsbBus::DeviceId id = m_bus->plug(deviceProfile(0x1209, 0x000C, u"S"));
    startDriver();
    USBDevice *device = onlyDevice();
    m_bus->unplug(id);
    m_bus->setCallLogLimit(100);

    std::thread comesBack([this, id] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        m_bus->replug(id);
    });
    QElapsedTimer timer;
    timer.start();
    const bool reopened = device->reopen(-1);
    comesBack.join();
    QVERIFY(reopened);
    QVERIFY(timer.elapsed() >= 250);
    QVERIFY(device->isOpen());
}

void TestUsbDevice::reopenTimesOutAndKeepsInterfaces()
{
    const SimUsbBus::DeviceId id = m_bus->plug(deviceProfile(0x1209, 0x000D, u"S", 2));
    startDriver();
    USBDevice *device = onlyDevice();
    const auto interfaces = device->interfaces();
    m_bus->unplug(id);
    m_bus->setCallLogLimit(100);
    m_bus->clearCalls();

    QElapsedTimer timer;
    timer.start();
    QVERIFY(!device->reopen(5000));
    const qint64 elapsed = timer.elapsed();
    // Bounded from below only: a loaded machine may take longer, and the
    // count of tries below shows the retry loop pauses rather than spins.
    QVERIFY2(elapsed >= 5000, qPrintable(QString::number(elapsed)));
    // A retry loop without a pause makes hundreds of thousands of tries in 5 s;
    // with one it makes at most one per pause (fewer on a busy machine).
    const std::size_t tries = m_bus->callCount(SimOp::OpenFile);
    QVERIFY2(tries >= 2 && tries <= std::size_t(5000 / USBDevice::reopenRetryPauseMs + 2),
        qPrintable(QString::number(tries)));
    QVERIFY(!device->isOpen());
    QCOMPARE(device->interfaces(), interfaces);
    QCOMPARE(m_bus->openFileCount(), 0);
    QCOMPARE(m_bus->liveInterfaceHandleCount(), 0);
}

void TestUsbDevice::reopenErrorLeavesDeviceClosedForReconnect()
{
    m_bus->plug(deviceProfile(0x1209, 0x000E, u"S", 3));
    startDriver();
    USBDevice *device = onlyDevice();
    m_bus->injectFault({SimOp::GetAssociatedInterface, SimFault::Action::Fail, 2});
    QVERIFY_EXCEPTION_THROWN(device->reopen(1000), USBDevice::InterfaceQueringException);
    QVERIFY(!device->isOpen());
    QCOMPARE(m_bus->openFileCount(), 0);
    QCOMPARE(m_bus->liveInterfaceHandleCount(), 0);

    device->reconnect();
    QVERIFY(device->isOpen());
    QCOMPARE(device->interfaces().size(), 3);
    QCOMPARE(m_bus->liveInterfaceHandleCount(), 3);
}

void TestUsbDevice::reconnectAfterTimedOutReopenKeepsCallersUsable()
{
    SimDeviceProfile profile = deviceProfile(0x1209, 0x000F, u"S", 2);
    profile.model = m_model;
    const SimUsbBus::DeviceId id = m_bus->plug(profile);
    m_model->setControlAnswer(1, std::vector<uint8_t>(12, 7));
    startDriver({QSharedPointer<TestHandlerFactory>::create()});
    USBDevice *device = onlyDevice();
    // What a protocol handler holds on to.
    USBInterface *held = device->interfaces().value(0);
    QPointer<UsbInterfaceHandler> handler = device->interfaceHandlers().value(held);

    m_bus->unplug(id);
    QVERIFY(!device->reopen(20));
    m_bus->replug(id);

    QSignalSpy added(m_driver.get(), &USBDriver::deviceAdded);
    QSignalSpy removed(m_driver.get(), &USBDriver::deviceRemoved);
    QSignalSpy changed(m_driver.get(), &USBDriver::devicesListChanged);
    QVERIFY(added.isValid() && removed.isValid() && changed.isValid());
    m_driver->onWinDevChangeEvent();

    QVERIFY(device->isOpen());
    QCOMPARE(onlyDevice(), device);
    QCOMPARE(added.count() + removed.count() + changed.count(), 0);
    QVERIFY(handler);
    QCOMPARE(device->interfaces().value(0), held);
    QCOMPARE(device->interfaceHandlers().value(held), handler.data());
    QCOMPARE(handler->usbInterface()->controlIn(1, 0, 12), QByteArray(12, 7));
    QCOMPARE(m_bus->invalidHandleUses(), 0);
}

void TestUsbDevice::interfaceNumberNamedTwiceKeepsTheFirstThroughReopen()
{
    // A broken device names interface 0 twice; a second object under the
    // same number would be followed by no rebind and keep a freed handle.
    SimDeviceProfile profile = deviceProfile(0x1209, 0x0010, u"S", 2);
    profile.interfaces[1].number = 0;
    profile.interfaces[1].pipes.resize(1);
    profile.model = m_model;
    m_bus->plug(profile);
    m_model->setControlAnswer(1, std::vector<uint8_t>(12, 7));
    auto factory = QSharedPointer<TestHandlerFactory>::create();
    startDriver({factory});
    USBDevice *device = onlyDevice();
    QVERIFY(device);
    QCOMPARE(device->interfaces().size(), 1);
    QCOMPARE(device->interfaces().value(0)->endpoints().size(), 2);
    QCOMPARE(factory->created.load(), 1);
    QCOMPARE(device->interfaceHandlers().size(), 1);

    UsbInterfaceHandler *handler = device->interfaceHandlers().first();
    QVERIFY(device->reopen(1000));
    QCOMPARE(device->interfaceHandlers().size(), 1);
    QCOMPARE(device->interfaceHandlers().first(), handler);
    QCOMPARE(handler->usbInterface()->controlIn(1, 0, 12), QByteArray(12, 7));
    QCOMPARE(m_bus->invalidHandleUses(), 0);
}

void TestUsbDevice::closedDeviceKeepsItsInterfacesOffFreedHandles_data()
{
    QTest::addColumn<bool>("reopenThrows");
    QTest::addRow("reopen timed out") << false;
    QTest::addRow("reopen failed during discovery") << true;
}

void TestUsbDevice::closedDeviceKeepsItsInterfacesOffFreedHandles()
{
    QFETCH(bool, reopenThrows);
    SimDeviceProfile profile = deviceProfile(0x1209, 0x0011, u"S", 2);
    profile.model = m_model;
    const SimUsbBus::DeviceId id = m_bus->plug(profile);
    startDriver({QSharedPointer<TestHandlerFactory>::create()});
    USBDevice *device = onlyDevice();
    USBInterface *held = device->interfaces().value(0);
    if (reopenThrows) {
        m_bus->injectFault({SimOp::GetAssociatedInterface, SimFault::Action::Fail, 1});
        QVERIFY_EXCEPTION_THROWN(device->reopen(1000), USBDevice::InterfaceQueringException);
    } else {
        m_bus->unplug(id);
        QVERIFY(!device->reopen(0));
        m_bus->replug(id);
    }
    QVERIFY(!device->isOpen());

    // What a handler still holding its interface may try before the next scan.
    QVERIFY_EXCEPTION_THROWN(held->controlIn(1, 0, 12), USBInterface::ControlTransferException);
    QVERIFY(held->endpoints().isEmpty());
    QCOMPARE(m_bus->invalidHandleUses(), 0);

    device->reconnect();
    QVERIFY(device->isOpen());
    QCOMPARE(held->endpoints().size(), 2);
    m_model->setControlAnswer(1, std::vector<uint8_t>(12, 3));
    QCOMPARE(held->controlIn(1, 0, 12), QByteArray(12, 3));
}

QTEST_GUILESS_MAIN(TestUsbDevice)
#include "tst_usbdevice.moc"
