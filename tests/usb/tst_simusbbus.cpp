#include "usbtestsupport.h"

#include <QtTest>

#include <atomic>
#include <thread>

// The simulated bus on its own, through the host operations, as a platform
// host would be exercised.
class TestSimUsbBus : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void enumeratesPluggedDevicesOfTheGuid();
    void portNamesAreShortOutsideWindows();
    void openIsExclusive();
    void openRefusalSaysWhy_data();
    void openRefusalSaysWhy();
    void unplugLeavesHandlesReleasableButDead();
    void releasedHandlesCountAsInvalidUse();
    void descriptorsFollowTheProfile();
    void faultSchedule_data();
    void faultSchedule();
    void faultFilters();
    void moveFewerCutsWhatReachesTheModel();
    void unplugFaultTakesTheDeviceAway();
    void replugKeepsPathWithNewInterfaces();
    void callLogKeepsRecentCallsAndCounts();
    void listenersHearEveryPlugAndUnplug();
    void concurrentUseKeepsBookkeeping();

private:
    struct Opened
    {
        UsbFileHandle file = UsbFileHandle::Invalid;
        UsbInterfaceHandle first = UsbInterfaceHandle::Invalid;
    };
    Opened openDevice(SimUsbBus::DeviceId device);

    std::shared_ptr<SimUsbBus> m_bus;
};

void TestSimUsbBus::init()
{
    m_bus = std::make_shared<SimUsbBus>();
}

TestSimUsbBus::Opened TestSimUsbBus::openDevice(SimUsbBus::DeviceId device)
{
    Opened opened;
    UsbOpenError error = UsbOpenError::None;
    if (m_bus->openFile(m_bus->path(device), opened.file, error))
        m_bus->initialize(opened.file, opened.first);
    return opened;
}

void TestSimUsbBus::enumeratesPluggedDevicesOfTheGuid()
{
    const SimUsbBus::DeviceId a = m_bus->plug(deviceProfile(1, 1, u"a"));
    SimDeviceProfile other = deviceProfile(1, 2, u"other");
    other.interfaceGuid.data1 ^= 1;
    m_bus->plug(other);
    const SimUsbBus::DeviceId b = m_bus->plug(deviceProfile(1, 3, u"b"));
    std::vector<std::u16string> paths;
    QVERIFY(m_bus->listInterfacePaths(DEVICE_INTERFACE_GUID, paths));
    QCOMPARE(paths, (std::vector<std::u16string> {m_bus->path(a), m_bus->path(b)}));
    QVERIFY(m_bus->path(a) != m_bus->path(b));

    m_bus->unplug(a);
    QVERIFY(m_bus->listInterfacePaths(DEVICE_INTERFACE_GUID, paths));
    QCOMPARE(paths, std::vector<std::u16string> {m_bus->path(b)});
}

void TestSimUsbBus::portNamesAreShortOutsideWindows()
{
#ifdef Q_OS_WIN
    QSKIP("Windows keeps interface paths, which the WinUSB host opens as SetupAPI lists them");
#endif
    m_bus->plug(deviceProfile(1, 1, u"a"));
    QVERIFY(m_bus->path(m_bus->plug(deviceProfile(1, 2, u"b"))) == u"sim:2");
}

void TestSimUsbBus::openIsExclusive()
{
    const SimUsbBus::DeviceId id = m_bus->plug(deviceProfile(1, 1, u"x"));
    UsbFileHandle first = UsbFileHandle::Invalid;
    UsbFileHandle second = UsbFileHandle::Invalid;
    UsbOpenError error = UsbOpenError::Failed;
    QVERIFY(m_bus->openFile(m_bus->path(id), first, error));
    QCOMPARE(error, UsbOpenError::None);
    QVERIFY(!m_bus->openFile(m_bus->path(id), second, error));
    QCOMPARE(error, UsbOpenError::InUse);
    QVERIFY(m_bus->closeFile(first));
    QVERIFY(m_bus->openFile(m_bus->path(id), second, error));
    QVERIFY(m_bus->closeFile(second));
}

void TestSimUsbBus::openRefusalSaysWhy_data()
{
    QTest::addColumn<bool>("heldElsewhere");
    QTest::addColumn<bool>("accessDenied");
    QTest::addColumn<bool>("unknownPath");
    QTest::addColumn<UsbOpenError>("expected");
    QTest::addRow("another program holds the device") << true << false << false << UsbOpenError::InUse;
    QTest::addRow("user lacks permission") << false << true << false << UsbOpenError::AccessDenied;
    QTest::addRow("permission outranks a holder") << true << true << false << UsbOpenError::AccessDenied;
    QTest::addRow("no device under the path") << false << false << true << UsbOpenError::NotPresent;
}

void TestSimUsbBus::openRefusalSaysWhy()
{
    QFETCH(bool, heldElsewhere);
    QFETCH(bool, accessDenied);
    QFETCH(bool, unknownPath);
    QFETCH(UsbOpenError, expected);
    const SimUsbBus::DeviceId id = m_bus->plug(deviceProfile(1, 1, u"x"));
    m_bus->setHeldElsewhere(id, heldElsewhere);
    m_bus->setAccessDenied(id, accessDenied);
    UsbFileHandle file = UsbFileHandle::Invalid;
    UsbOpenError error = UsbOpenError::None;
    QVERIFY(!m_bus->openFile(unknownPath ? u"\\\\?\\usb#nothing-here" : m_bus->path(id), file, error));
    QCOMPARE(error, expected);
    QCOMPARE(file, UsbFileHandle::Invalid);

    m_bus->setHeldElsewhere(id, false);
    m_bus->setAccessDenied(id, false);
    QVERIFY(m_bus->openFile(m_bus->path(id), file, error));
    QVERIFY(m_bus->closeFile(file));
}

void TestSimUsbBus::unplugLeavesHandlesReleasableButDead()
{
    const SimUsbBus::DeviceId id = m_bus->plug(deviceProfile(1, 1, u"x"));
    const Opened opened = openDevice(id);
    QVERIFY(opened.first != UsbInterfaceHandle::Invalid);
    m_bus->unplug(id);
    UsbInterfaceDescriptor descriptor {};
    QVERIFY(!m_bus->queryInterfaceSettings(opened.first, 0, descriptor));
    uint32_t transferred = 99;
    QVERIFY(!m_bus->controlTransfer(
        opened.first, USBInterface::vendorSetupPacket(1, 0, 0, 0, false), nullptr, 0, transferred));
    QCOMPARE(transferred, 0u);
    QVERIFY(m_bus->freeInterface(opened.first));
    QVERIFY(m_bus->closeFile(opened.file));
    QCOMPARE(m_bus->invalidHandleUses(), 0);

    // A replugged device is a new instance: the old file no longer blocks it.
    m_bus->replug(id);
    const Opened again = openDevice(id);
    QVERIFY(again.first != UsbInterfaceHandle::Invalid);
    QVERIFY(again.first != opened.first);
}

void TestSimUsbBus::releasedHandlesCountAsInvalidUse()
{
    const SimUsbBus::DeviceId id = m_bus->plug(deviceProfile(1, 1, u"x"));
    const Opened opened = openDevice(id);
    QVERIFY(m_bus->freeInterface(opened.first));
    QVERIFY(!m_bus->freeInterface(opened.first));
    UsbPipeInformation pipe {};
    QVERIFY(!m_bus->queryPipe(opened.first, 0, 0, pipe));
    QVERIFY(m_bus->closeFile(opened.file));
    QVERIFY(!m_bus->closeFile(opened.file));
    QCOMPARE(m_bus->invalidHandleUses(), 3);
}

void TestSimUsbBus::descriptorsFollowTheProfile()
{
    SimDeviceProfile profile = deviceProfile(0x1234, 0xABCD, u"Z9", 2);
    profile.claimedInterfaceCount = 5;
    const Opened opened = openDevice(m_bus->plug(profile));
    uint8_t buffer[64] = {};
    uint32_t transferred = 0;
    QVERIFY(m_bus->getDescriptor(opened.first, 1, 0, 0, buffer, 64, transferred));
    QCOMPARE(transferred, 18u);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(buffer + 8), 4), QByteArray::fromHex("3412cdab"));
    QCOMPARE(int(buffer[16]), 3);
    QVERIFY(m_bus->getDescriptor(opened.first, 2, 0, 0, buffer, 9, transferred));
    QCOMPARE(int(buffer[4]), 5);
    QVERIFY(m_bus->getDescriptor(opened.first, 3, 3, 0, buffer, 64, transferred));
    QCOMPARE(
        QByteArray(reinterpret_cast<char *>(buffer), int(transferred)), QByteArray::fromHex("06035a003900"));
    QVERIFY(!m_bus->getDescriptor(opened.first, 3, 4, 0, buffer, 64, transferred));
    QCOMPARE(transferred, 0u);

    // Claimed interfaces beyond the real ones cannot be reached.
    UsbInterfaceHandle associated = UsbInterfaceHandle::Invalid;
    QVERIFY(m_bus->getAssociatedInterface(opened.first, 0, associated));
    QVERIFY(!m_bus->getAssociatedInterface(opened.first, 1, associated));
}

void TestSimUsbBus::faultSchedule_data()
{
    QTest::addColumn<int>("nth");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("outcomes"); // one letter per call: o = succeeded, x = failed
    QTest::addRow("next call") << 1 << 1 << "xoooo";
    QTest::addRow("third call") << 3 << 1 << "ooxoo";
    QTest::addRow("second and third") << 2 << 2 << "oxxoo";
    QTest::addRow("from the fourth on") << 4 << -1 << "oooxx";
}

void TestSimUsbBus::faultSchedule()
{
    QFETCH(int, nth);
    QFETCH(int, count);
    QFETCH(QString, outcomes);
    const Opened opened = openDevice(m_bus->plug(deviceProfile(1, 1, u"x")));
    m_bus->injectFault({SimOp::QueryInterfaceSettings, SimFault::Action::Fail, nth, count});
    QString seen;
    for (int i = 0; i < outcomes.size(); ++i) {
        UsbInterfaceDescriptor descriptor {};
        seen += m_bus->queryInterfaceSettings(opened.first, 0, descriptor) ? 'o' : 'x';
    }
    QCOMPARE(seen, outcomes);
}

void TestSimUsbBus::faultFilters()
{
    const SimUsbBus::DeviceId a = m_bus->plug(deviceProfile(1, 1, u"a"));
    const SimUsbBus::DeviceId b = m_bus->plug(deviceProfile(1, 2, u"b"));
    const Opened onA = openDevice(a);
    const Opened onB = openDevice(b);
    m_bus->injectFault({SimOp::GetDescriptor, SimFault::Action::Fail, 1, -1, 0, b, UsbStringDescriptorType});
    uint8_t buffer[64];
    uint32_t transferred = 0;
    QVERIFY(m_bus->getDescriptor(onA.first, 3, 3, 0, buffer, 64, transferred));
    QVERIFY(m_bus->getDescriptor(onB.first, 1, 0, 0, buffer, 64, transferred));
    QVERIFY(!m_bus->getDescriptor(onB.first, 3, 3, 0, buffer, 64, transferred));
    m_bus->clearFaults();
    QVERIFY(m_bus->getDescriptor(onB.first, 3, 3, 0, buffer, 64, transferred));
}

void TestSimUsbBus::moveFewerCutsWhatReachesTheModel()
{
    SimDeviceProfile profile = deviceProfile(1, 1, u"x");
    auto model = std::make_shared<SimScriptedModel>();
    profile.model = model;
    const Opened opened = openDevice(m_bus->plug(profile));
    m_bus->injectFault({SimOp::WritePipe, SimFault::Action::MoveFewer, 1, 1, 5});
    const std::vector<uint8_t> data(10, 0xEE);
    uint32_t transferred = 0;
    QVERIFY(m_bus->writePipe(opened.first, bulkOutPipe, data.data(), 10, transferred));
    QCOMPARE(transferred, 5u);
    QCOMPARE(model->bulkOut(bulkOutPipe).size(), size_t(5));
    QCOMPARE(m_bus->calls().back().data.size(), size_t(5));
}

void TestSimUsbBus::unplugFaultTakesTheDeviceAway()
{
    const SimUsbBus::DeviceId id = m_bus->plug(deviceProfile(1, 1, u"x"));
    const Opened opened = openDevice(id);
    int notifications = 0;
    m_bus->addChangeListener([&] { ++notifications; });
    m_bus->injectFault({SimOp::ControlTransfer, SimFault::Action::Unplug, 2});
    uint32_t transferred = 0;
    const UsbSetupPacket command = USBInterface::vendorSetupPacket(9, 0, 0, 0, false);
    QVERIFY(m_bus->controlTransfer(opened.first, command, nullptr, 0, transferred));
    QVERIFY(!m_bus->controlTransfer(opened.first, command, nullptr, 0, transferred));
    QVERIFY(!m_bus->isPlugged(id));
    QCOMPARE(notifications, 1);
}

void TestSimUsbBus::replugKeepsPathWithNewInterfaces()
{
    const SimUsbBus::DeviceId id = m_bus->plug(deviceProfile(1, 1, u"x", 1));
    const std::u16string path = m_bus->path(id);
    SimDeviceProfile changed = deviceProfile(1, 1, u"x", 1);
    changed.interfaces[0].number = 4;
    changed.interfaces[0].interfaceProtocol = 1;
    changed.path = u"ignored";
    QVERIFY(m_bus->replug(id, changed));
    QCOMPARE(m_bus->path(id), path);
    const Opened opened = openDevice(id);
    UsbInterfaceDescriptor descriptor {};
    QVERIFY(m_bus->queryInterfaceSettings(opened.first, 0, descriptor));
    QCOMPARE(int(descriptor.bInterfaceNumber), 4);
    QCOMPARE(int(descriptor.bInterfaceProtocol), 1);

    // A file opened before the replug reaches the old instance, which has gone.
    UsbFileHandle newFile = UsbFileHandle::Invalid;
    QVERIFY(m_bus->closeFile(opened.file));
    UsbOpenError error = UsbOpenError::Failed;
    QVERIFY(m_bus->openFile(path, newFile, error));
    QVERIFY(m_bus->isAttached(newFile));
    QVERIFY(m_bus->replug(id));
    QVERIFY(!m_bus->isAttached(newFile));
    m_bus->unplug(id);
    QVERIFY(!m_bus->isAttached(newFile));
    QVERIFY(m_bus->closeFile(newFile));
}

void TestSimUsbBus::callLogKeepsRecentCallsAndCounts()
{
    const Opened opened = openDevice(m_bus->plug(deviceProfile(1, 1, u"x")));
    m_bus->clearCalls();
    m_bus->setCallLogLimit(3);
    for (uint8_t pipe = 0; pipe < 5; ++pipe) {
        UsbPipeInformation information {};
        m_bus->queryPipe(opened.first, 0, pipe, information);
    }
    const std::vector<SimCall> calls = m_bus->calls();
    QCOMPARE(calls.size(), size_t(3));
    QCOMPARE(int(calls.front().index), 2);
    QVERIFY(calls[0].result == false && calls.front().op == SimOp::QueryPipe);
    QCOMPARE(m_bus->callCount(SimOp::QueryPipe), size_t(5));
    QCOMPARE(describe(calls.back()).rfind("QueryPipe(", 0), size_t(0));
}

void TestSimUsbBus::listenersHearEveryPlugAndUnplug()
{
    int heard = 0;
    const int listener = m_bus->addChangeListener([&] { ++heard; });
    const SimUsbBus::DeviceId id = m_bus->plug(deviceProfile(1, 1, u"x"));
    m_bus->unplug(id);
    QVERIFY(!m_bus->unplug(id));
    m_bus->replug(id);
    m_bus->raiseChangeNotification();
    QCOMPARE(heard, 5);
    m_bus->removeChangeListener(listener);
    m_bus->unplug(id);
    QCOMPARE(heard, 5);
}

void TestSimUsbBus::concurrentUseKeepsBookkeeping()
{
    std::atomic<int> opens {0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const SimUsbBus::DeviceId id = m_bus->plug(deviceProfile(1, uint16_t(t), u"x", 2));
            for (int i = 0; i < 200; ++i) {
                UsbFileHandle file = UsbFileHandle::Invalid;
                UsbInterfaceHandle first = UsbInterfaceHandle::Invalid;
                UsbInterfaceHandle second = UsbInterfaceHandle::Invalid;
                UsbOpenError error = UsbOpenError::None;
                if (m_bus->openFile(m_bus->path(id), file, error)) {
                    ++opens;
                    if (m_bus->initialize(file, first)) {
                        if (m_bus->getAssociatedInterface(first, 0, second))
                            m_bus->freeInterface(second);
                        m_bus->freeInterface(first);
                    }
                    m_bus->closeFile(file);
                }
                if (i % 10 == 0)
                    m_bus->replug(id);
            }
            m_bus->unplug(id);
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    QVERIFY(opens.load() > 0);
    QCOMPARE(m_bus->openFileCount(), 0);
    QCOMPARE(m_bus->liveInterfaceHandleCount(), 0);
    QCOMPARE(m_bus->invalidHandleUses(), 0);
    std::vector<std::u16string> paths;
    QVERIFY(m_bus->listInterfacePaths(DEVICE_INTERFACE_GUID, paths));
    QVERIFY(paths.empty());
}

QTEST_GUILESS_MAIN(TestSimUsbBus)
#include "tst_simusbbus.moc"
