#include "usbtestsupport.h"

#include "usb/usbendpoint.h"

#include <QPointer>
#include <QtTest>

class TestUsbInterface : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void setupPacketBytes_data();
    void setupPacketBytes();
    void setupPacketAddressesTheInterface_data();
    void setupPacketAddressesTheInterface();
    void controlIn_data();
    void controlIn();
    void commandWithoutDataFailsWithoutThrowing();
    void transferWithDataThatFailsThrows();
    void controlOutTooLongForWLengthThrowsBeforeSending();
    void readOnOutPipeLeavesBufferAlone();
    void readShrinksBufferToWhatArrived_data();
    void readShrinksBufferToWhatArrived();
    void writeOnInPipeSendsNothing();
    void writeReportsShortCountAsFailure_data();
    void writeReportsShortCountAsFailure();
    void interfaceWithoutPipesHasNoEndpoints();
    void rebindReplacesEndpoints();

private:
    USBInterface *interfaceNumber(uint8_t number) const;

    std::shared_ptr<SimUsbBus> m_bus;
    std::shared_ptr<SimScriptedModel> m_model;
    SimUsbBus::DeviceId m_deviceId = 0;
    std::unique_ptr<USBDriver> m_driver;
};

void TestUsbInterface::init()
{
    m_bus = std::make_shared<SimUsbBus>();
    m_model = std::make_shared<SimScriptedModel>();
    SimDeviceProfile profile = deviceProfile(0x1209, 0x0001, u"SN1", 3);
    profile.interfaces[2].pipes.clear();
    profile.model = m_model;
    m_deviceId = m_bus->plug(profile);
    m_driver = makeDriver(m_bus, {});
    QCOMPARE(m_driver->devices().size(), 1);
    m_bus->clearCalls();
}

void TestUsbInterface::cleanup()
{
    m_driver.reset();
    QCOMPARE(m_bus->openFileCount(), 0);
    QCOMPARE(m_bus->liveInterfaceHandleCount(), 0);
    QCOMPARE(m_bus->invalidHandleUses(), 0);
}

USBInterface *TestUsbInterface::interfaceNumber(uint8_t number) const
{
    return m_driver->devices().value(0)->interfaces().value(number);
}

void TestUsbInterface::setupPacketBytes_data()
{
    QTest::addColumn<bool>("deviceToHost");
    QTest::addColumn<int>("interfaceNumber");
    QTest::addColumn<QByteArray>("expected");
    QTest::addRow("host to device is 0x41") << false << 2 << QByteArray::fromHex("4105341202001800");
    QTest::addRow("device to host is 0xC1") << true << 2 << QByteArray::fromHex("c105341202001800");
    QTest::addRow("interface number zero-extended") << true << 255 << QByteArray::fromHex("c1053412ff001800");
}

void TestUsbInterface::setupPacketBytes()
{
    QFETCH(bool, deviceToHost);
    QFETCH(int, interfaceNumber);
    QFETCH(QByteArray, expected);
    const auto bytes = usbSetupPacketBytes(
        USBInterface::vendorSetupPacket(5, 0x1234, uint8_t(interfaceNumber), 24, deviceToHost));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size())), expected);
}

void TestUsbInterface::setupPacketAddressesTheInterface_data()
{
    QTest::addColumn<int>("request");
    QTest::addColumn<bool>("deviceToHost");
    QTest::addRow("OUT request 13") << 13 << false;
    QTest::addRow("IN request 1") << 1 << true;
    QTest::addRow("IN request 17") << 17 << true;
}

void TestUsbInterface::setupPacketAddressesTheInterface()
{
    QFETCH(int, request);
    QFETCH(bool, deviceToHost);
    m_model->setControlAnswer(uint8_t(request), {1, 2, 3, 4});
    uint8_t buffer[4] = {1, 2, 3, 4};
    QVERIFY(interfaceNumber(1)->controlTransfer(uint8_t(request), 0x0102, buffer, 4, deviceToHost));

    const std::vector<SimCall> calls = m_bus->calls();
    QCOMPARE(calls.size(), size_t(1));
    const UsbSetupPacket setup = calls[0].setup;
    QCOMPARE(int(setup.RequestType), deviceToHost ? 0xC1 : 0x41);
    QCOMPARE(int(setup.Request), request);
    QCOMPARE(int(setup.Value), 0x0102);
    QCOMPARE(int(setup.Index), 1);
    QCOMPARE(int(setup.Length), 4);
}

void TestUsbInterface::controlIn_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("throws");
    QTest::addRow("12 of 12 bytes") << QByteArray("abcdefghijkl") << false;
    QTest::addRow("longer answer cut to 12") << QByteArray("abcdefghijklmnop") << false;
    QTest::addRow("10 of 12 bytes throws") << QByteArray("abcdefghij") << true;
    QTest::addRow("empty answer throws") << QByteArray() << true;
}

void TestUsbInterface::controlIn()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, throws);
    m_model->setControlAnswer(1, std::vector<uint8_t>(answer.begin(), answer.end()));
    USBInterface *usbInterface = interfaceNumber(0);
    if (throws) {
        QVERIFY_EXCEPTION_THROWN(usbInterface->controlIn(1, 0, 12), USBInterface::ControlTransferException);
        return;
    }
    QCOMPARE(usbInterface->controlIn(1, 0, 12), answer.left(12));
}

void TestUsbInterface::commandWithoutDataFailsWithoutThrowing()
{
    m_bus->injectFault({SimOp::ControlTransfer, SimFault::Action::Fail});
    bool result = true;
    try {
        result = interfaceNumber(0)->controlTransfer(13, 0, nullptr, 0, false);
    } catch (const UsbException &) {
        QFAIL("a failed transfer without data must not throw");
    }
    QVERIFY(!result);
    QVERIFY(interfaceNumber(0)->controlTransfer(13, 0, nullptr, 0, false));
}

void TestUsbInterface::transferWithDataThatFailsThrows()
{
    m_bus->injectFault({SimOp::ControlTransfer, SimFault::Action::Fail});
    QVERIFY_EXCEPTION_THROWN(
        interfaceNumber(0)->controlOut(6, 0, QByteArray(19, 'x')), USBInterface::ControlTransferException);
    m_bus->injectFault({SimOp::ControlTransfer, SimFault::Action::MoveFewer, 1, 1, 18});
    QVERIFY_EXCEPTION_THROWN(
        interfaceNumber(0)->controlOut(6, 0, QByteArray(19, 'x')), USBInterface::ControlTransferException);
    QVERIFY(interfaceNumber(0)->controlOut(6, 0, QByteArray(19, 'x')));
    QCOMPARE(m_model->controlOuts().back().data.size(), size_t(19));
}

void TestUsbInterface::controlOutTooLongForWLengthThrowsBeforeSending()
{
    QVERIFY_EXCEPTION_THROWN(interfaceNumber(0)->controlOut(4, 0, QByteArray(65536 + 10, 'x')),
        USBInterface::ControlTransferException);
    QCOMPARE(m_bus->callCount(SimOp::ControlTransfer), size_t(0));
    QVERIFY(interfaceNumber(0)->controlOut(4, 0, QByteArray(65535, 'x')));
}

void TestUsbInterface::readOnOutPipeLeavesBufferAlone()
{
    USBEndpoint *out = interfaceNumber(0)->endpoints().value(bulkOutPipe);
    QVERIFY(out);
    QByteArray buffer(16, 'k');
    QVERIFY(!out->read(buffer));
    QCOMPARE(buffer, QByteArray(16, 'k'));
    QCOMPARE(m_bus->callCount(SimOp::ReadPipe), size_t(0));
}

void TestUsbInterface::readShrinksBufferToWhatArrived_data()
{
    QTest::addColumn<int>("arriving");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("failAfterMoving");
    QTest::addRow("20 bytes into 64") << 20 << true << 20 << false;
    QTest::addRow("64 bytes into 64") << 64 << true << 64 << false;
    QTest::addRow("failed read leaves it empty") << -1 << false << 0 << false;
    QTest::addRow("failed read reporting bytes leaves it empty") << 20 << false << 0 << true;
}

void TestUsbInterface::readShrinksBufferToWhatArrived()
{
    QFETCH(int, arriving);
    QFETCH(bool, ok);
    QFETCH(int, size);
    QFETCH(bool, failAfterMoving);
    m_model->setReadsFailAfterMoving(failAfterMoving);
    if (arriving >= 0)
        m_model->queueBulkIn(bulkInPipe, std::vector<uint8_t>(size_t(arriving), 0x5A));
    QByteArray buffer(64, '\0');
    QCOMPARE(interfaceNumber(0)->endpoints().value(bulkInPipe)->read(buffer), ok);
    QCOMPARE(buffer, QByteArray(size, 0x5A));
    QCOMPARE(m_bus->calls().back().length, 64u);
}

void TestUsbInterface::writeOnInPipeSendsNothing()
{
    QVERIFY(!interfaceNumber(0)->endpoints().value(bulkInPipe)->write(QByteArray(8, 'x')));
    QCOMPARE(m_bus->callCount(SimOp::WritePipe), size_t(0));
}

void TestUsbInterface::writeReportsShortCountAsFailure_data()
{
    QTest::addColumn<int>("accepted");
    QTest::addColumn<bool>("ok");
    QTest::addRow("device takes all 256") << 0 << true;
    QTest::addRow("device takes 128 of 256") << 128 << false;
}

void TestUsbInterface::writeReportsShortCountAsFailure()
{
    QFETCH(int, accepted);
    QFETCH(bool, ok);
    m_model->setWriteLimit(uint32_t(accepted));
    QCOMPARE(interfaceNumber(0)->endpoints().value(bulkOutPipe)->write(QByteArray(256, 'w')), ok);
    QCOMPARE(m_model->bulkOut(bulkOutPipe).size(), size_t(accepted ? accepted : 256));
}

void TestUsbInterface::interfaceWithoutPipesHasNoEndpoints()
{
    QVERIFY(interfaceNumber(2)->endpoints().isEmpty());
    QCOMPARE(interfaceNumber(0)->endpoints().keys(), QList<uint8_t>({bulkOutPipe, bulkInPipe}));
}

void TestUsbInterface::rebindReplacesEndpoints()
{
    USBInterface *usbInterface = interfaceNumber(0);
    QPointer<USBEndpoint> before = usbInterface->endpoints().value(bulkInPipe);
    const UsbInterfaceHandle oldHandle = usbInterface->handle();
    QVERIFY(m_driver->devices().value(0)->reopen(1000));

    QCOMPARE(interfaceNumber(0), usbInterface);
    QVERIFY(usbInterface->handle() != oldHandle);
    QVERIFY(before.isNull());
    USBEndpoint *after = usbInterface->endpoints().value(bulkInPipe);
    QVERIFY(after);
    m_model->queueBulkIn(bulkInPipe, {1, 2, 3});
    QByteArray buffer(8, '\0');
    QVERIFY(after->read(buffer));
    QCOMPARE(buffer, QByteArray::fromHex("010203"));
}

QTEST_GUILESS_MAIN(TestUsbInterface)
#include "tst_usbinterface.moc"
