#include "vantortestsupport.h"

#include <QtTest>

// The simulated Vantor device as a host meets it on the bus: the request
// table, its records, the blocks it takes and gives, its busy windows,
// restarts and faults.
class TestVantorDevice : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void profileOfEachMode_data();
    void profileOfEachMode();
    void requestTable_data();
    void requestTable();
    void recordsCarryTheDeviceState();
    void identityWriteKeepsOwnJtagAndSetsValid_data();
    void identityWriteKeepsOwnJtagAndSetsValid();
    void identityAndKeyWritesUseUpFreeSlots();
    void imageTransfer_data();
    void imageTransfer();
    void bulkOutWithNothingAnnouncedFails();
    void settingsSlotsNeedAnEraseBeforeRewriting();
    void bulkReadGivesAtMostWhatWasAskedOnce();
    void factoryConfigurationRoundTrip();
    void busyWindowHoldsBackTheResult_data();
    void busyWindowHoldsBackTheResult();
    void restartReturnsInTheRightMode_data();
    void restartReturnsInTheRightMode();
    void restartThatNeverReturnsNeedsPowerOn();
    void restartDelaySetLaterOverridesTheBehaviour();
    void returnIsPendingFromTheMomentTheDeviceLeaves();
    void destroyedWhileReturnPending();
    void requestFaults_data();
    void requestFaults();
    void bulkWriteFaults_data();
    void bulkWriteFaults();
    void busyForeverNeverFinishesTheImage();

private:
    SimUsbBus::DeviceId plug(VantorDeviceState state = defaultState(), VantorDeviceBehaviour behaviour = {});
    static VantorDeviceState defaultState();
    // Enters flashing mode through request 13 and reopens the device.
    void enterFlashingMode();
    VantorDevice &device() { return m_model->device(); }

    std::shared_ptr<SimUsbBus> m_bus;
    std::shared_ptr<SimVantorModel> m_model;
    SimUsbBus::DeviceId m_id = -1;
    std::unique_ptr<VantorHost> m_host;
};

VantorDeviceState TestVantorDevice::defaultState()
{
    VantorDeviceState state;
    state.identity.boardVersion = 2;
    state.identity.boardSubversion = 1;
    vantorSetText(state.identity.serialNumber, "ZOK000001");
    state.identity.flags = vantorIdentityValid;
    state.firmware = vantorFirmwareInformation(1, 0, 0, 1, "master", true);
    return state;
}

void TestVantorDevice::init()
{
    m_bus = std::make_shared<SimUsbBus>();
}

void TestVantorDevice::cleanup()
{
    m_host.reset();
    m_model.reset();
    m_bus.reset();
}

SimUsbBus::DeviceId TestVantorDevice::plug(VantorDeviceState state, VantorDeviceBehaviour behaviour)
{
    m_model = std::make_shared<SimVantorModel>(u"ZOK000001", std::move(state), behaviour);
    m_id = plugVantorDevice(m_bus, m_model);
    m_host = std::make_unique<VantorHost>(m_bus, m_id);
    return m_id;
}

void TestVantorDevice::enterFlashingMode()
{
    QVERIFY(m_host->out(13));
    QVERIFY(m_host->reopen());
    QCOMPARE(device().mode(), VantorMode::Flashing);
}

void TestVantorDevice::profileOfEachMode_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("protocol");
    QTest::addRow("application mode presents protocol 2") << int(VantorMode::Application) << 2;
    QTest::addRow("flashing mode presents protocol 1") << int(VantorMode::Flashing) << 1;
}

void TestVantorDevice::profileOfEachMode()
{
    QFETCH(int, mode);
    QFETCH(int, protocol);
    VantorDeviceBehaviour behaviour;
    behaviour.powerOnMode = VantorMode(mode);
    plug(defaultState(), behaviour);

    uint8_t descriptor[64] = {};
    uint32_t transferred = 0;
    QVERIFY(m_bus->getDescriptor(m_host->interfaceHandle(), 1, 0, 0, descriptor, 64, transferred));
    QCOMPARE(toQByteArray({descriptor + 8, descriptor + 12}), QByteArray::fromHex("0912107a"));
    QVERIFY(
        m_bus->getDescriptor(m_host->interfaceHandle(), 3, descriptor[16], 0, descriptor, 64, transferred));
    QCOMPARE(transferred, 2u + 2 * 9);
    UsbInterfaceDescriptor interface { };
    QVERIFY(m_bus->queryInterfaceSettings(m_host->interfaceHandle(), 0, interface));
    QCOMPARE(int(interface.bInterfaceNumber), 0);
    QCOMPARE(int(interface.bInterfaceClass), 0xFF);
    QCOMPARE(int(interface.bInterfaceSubClass), 1);
    QCOMPARE(int(interface.bInterfaceProtocol), protocol);
    UsbPipeInformation pipes[2] {};
    QVERIFY(m_bus->queryPipe(m_host->interfaceHandle(), 0, 0, pipes[0]));
    QVERIFY(m_bus->queryPipe(m_host->interfaceHandle(), 0, 1, pipes[1]));
    QCOMPARE(int(pipes[0].PipeId), 0x01);
    QCOMPARE(int(pipes[1].PipeId), 0x81);
    QCOMPARE(int(pipes[0].MaximumPacketSize), 512);
    QCOMPARE(pipes[1].PipeType, uint32_t(UsbPipeBulk));
}

void TestVantorDevice::requestTable_data()
{
    QTest::addColumn<bool>("flashing");
    QTest::addColumn<int>("requestType");
    QTest::addColumn<int>("request");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QByteArray>("answer"); // checked when not null

    const int in = 0xC1;
    const int out = 0x41;
    const QByteArray any;
    QTest::addRow("status read") << false << in << 1 << 0 << 0 << 12 << true << any;
    QTest::addRow("status read one byte short stalls") << false << in << 1 << 0 << 0 << 11 << false << any;
    QTest::addRow("status as OUT stalls") << false << out << 1 << 0 << 0 << 12 << false << any;
    QTest::addRow("status with a value stalls") << false << in << 1 << 1 << 0 << 12 << false << any;
    QTest::addRow("status to another interface stalls") << false << in << 1 << 0 << 1 << 12 << false << any;
    QTest::addRow("status as device request stalls") << false << 0xC0 << 1 << 0 << 0 << 12 << false << any;
    QTest::addRow("standard GET_STATUS stalls") << false << 0x80 << 0 << 0 << 0 << 2 << false << any;
    QTest::addRow("firmware information read") << false << in << 3 << 0 << 0 << 24 << true << any;
    QTest::addRow("device information read") << false << in << 7 << 0 << 0 << 19 << true << any;
    QTest::addRow("device information 20 bytes stalls") << false << in << 7 << 0 << 0 << 20 << false << any;
    QTest::addRow("image announcement in application mode stalls")
        << false << out << 2 << 0 << 0 << 24 << false << any;
    QTest::addRow("image announcement in flashing mode") << true << out << 2 << 0 << 0 << 24 << true << any;
    QTest::addRow("image announcement as IN stalls") << true << in << 2 << 0 << 0 << 24 << false << any;
    QTest::addRow("configuration size in application mode stalls")
        << false << out << 4 << 0 << 0 << 4 << false << any;
    QTest::addRow("configuration size in flashing mode") << true << out << 4 << 0 << 0 << 4 << true << any;
    QTest::addRow("configuration read in application mode")
        << false << in << 5 << 0 << 0 << 4 << true << QByteArray(4, '\0');
    QTest::addRow("flashing mode read in application mode answers 0")
        << false << in << 12 << 0 << 0 << 1 << true << QByteArray(1, '\0');
    QTest::addRow("flashing mode read in flashing mode answers 1")
        << true << in << 12 << 0 << 0 << 1 << true << QByteArray(1, '\1');
    QTest::addRow("busy read when idle answers 0")
        << false << in << 17 << 0 << 0 << 1 << true << QByteArray(1, '\0');
    QTest::addRow("busy read of two bytes stalls") << false << in << 17 << 0 << 0 << 2 << false << any;
    QTest::addRow("settings read of slot 3")
        << false << in << 14 << 3 << 0 << 4 << true << QByteArray(4, '\0');
    QTest::addRow("settings read of slot 4 stalls") << false << in << 14 << 4 << 0 << 4 << false << any;
    QTest::addRow("settings write to slot 4 stalls") << false << out << 15 << 4 << 0 << 4 << false << any;
    QTest::addRow("settings write to slot 0") << false << out << 15 << 0 << 0 << 4 << true << any;
    QTest::addRow("erase with data stalls") << false << out << 16 << 0 << 0 << 1 << false << any;
    QTest::addRow("erase") << false << out << 16 << 0 << 0 << 0 << true << any;
    QTest::addRow("JTAG protection in application mode") << false << out << 10 << 0 << 0 << 0 << true << any;
    QTest::addRow("keys of 64 bytes") << false << out << 11 << 0 << 0 << 64 << true << any;
    QTest::addRow("keys of 63 bytes stall") << false << out << 11 << 0 << 0 << 63 << false << any;
    QTest::addRow("keys of 65 bytes stall") << false << out << 11 << 0 << 0 << 65 << false << any;
    QTest::addRow("identity write of 18 bytes stalls") << false << out << 6 << 0 << 0 << 18 << false << any;
    QTest::addRow("unknown request 0 stalls") << false << in << 0 << 0 << 0 << 1 << false << any;
    QTest::addRow("unknown request 18 stalls") << false << in << 18 << 0 << 0 << 1 << false << any;
    QTest::addRow("unknown request 255 stalls") << false << out << 255 << 0 << 0 << 0 << false << any;
}

void TestVantorDevice::requestTable()
{
    QFETCH(bool, flashing);
    QFETCH(int, requestType);
    QFETCH(int, request);
    QFETCH(int, value);
    QFETCH(int, index);
    QFETCH(int, length);
    QFETCH(bool, accepted);
    QFETCH(QByteArray, answer);
    VantorDeviceBehaviour behaviour;
    behaviour.powerOnMode = flashing ? VantorMode::Flashing : VantorMode::Application;
    plug(defaultState(), behaviour);

    const UsbSetupPacket setup {
        uint8_t(requestType), uint8_t(request), uint16_t(value), uint16_t(index), uint16_t(length)};
    QByteArray buffer(length, '\0');
    uint32_t transferred = 99;
    QCOMPARE(m_host->raw(setup, buffer, transferred), accepted);
    QCOMPARE(transferred, accepted ? uint32_t(length) : 0u);
    if (!answer.isNull())
        QCOMPARE(buffer, answer);
    const std::vector<VantorRequestRecord> seen = device().requests();
    QCOMPARE(seen.size(), size_t(1));
    QCOMPARE(int(seen.front().setup.Request), request);
    QCOMPARE(seen.front().accepted, accepted);
}

void TestVantorDevice::recordsCarryTheDeviceState()
{
    VantorDeviceState state = defaultState();
    state.firmware = vantorFirmwareInformation(3, 2, 1, 0x12345678, "sixteen-chars-ab", true);
    state.identity.flags = vantorIdentityValid | 2 << 1 | vantorJtagProtected;
    state.freeSlots = 7;
    plug(state);

    const QByteArray status = m_host->in(1, 0, 12).value_or(QByteArray());
    QCOMPARE(status.size(), 12);
    QCOMPARE(int(status[8]), 7);
    QCOMPARE(int(status[1]), 0); // application mode
    QCOMPARE(m_host->in(3, 0, 24).value_or(QByteArray()),
        QByteArray::fromHex("030201785634127369787465656e2d63686172732d616201"));
    QCOMPARE(m_host->in(7, 0, 19).value_or(QByteArray()),
        QByteArray::fromHex("0201") + QByteArray("ZOK000001").leftJustified(16, '\0') + char(0x0D));
}

void TestVantorDevice::identityWriteKeepsOwnJtagAndSetsValid_data()
{
    QTest::addColumn<bool>("deviceJtag");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QByteArray>("readBack");
    const QByteArray serial = QByteArray("NEWSERIAL-0123456"); // 17 bytes; the record takes 16
    const QByteArray record = QByteArray::fromHex("0304") + serial.left(16);
    QTest::addRow("hardware type stored, valid set") << false << record + char(3 << 1) << record + char(0x07);
    QTest::addRow("JTAG bit in the record cannot set it")
        << false << record + char(0x08) << record + char(0x01);
    QTest::addRow("device's own JTAG bit survives") << true << record + char(0x02) << record + char(0x0B);
    QTest::addRow("unused bits are not stored") << false << record + char(0xF0) << record + char(0x01);
}

void TestVantorDevice::identityWriteKeepsOwnJtagAndSetsValid()
{
    QFETCH(bool, deviceJtag);
    QFETCH(QByteArray, written);
    QFETCH(QByteArray, readBack);
    VantorDeviceState state = defaultState();
    state.identity.flags = 0;
    plug(state);
    if (deviceJtag)
        QVERIFY(m_host->out(10));
    QVERIFY(m_host->out(6, 0, written));
    QCOMPARE(m_host->in(7, 0, 19).value_or(QByteArray()), readBack);
    QCOMPARE(toQByteArray(vantorBytes(device().state().identity)), readBack);
}

void TestVantorDevice::identityAndKeyWritesUseUpFreeSlots()
{
    VantorDeviceState state = defaultState();
    state.freeSlots = 2;
    plug(state);
    const QByteArray identity = QByteArray::fromHex("0300") + QByteArray(16, 'S') + char(0);
    QByteArray keys(64, '\0');
    for (int i = 0; i < 64; ++i)
        keys[i] = char(i);

    QVERIFY(m_host->out(6, 0, identity));
    QCOMPARE(int(m_host->in(1, 0, 12).value_or(QByteArray(12, '\xff'))[8]), 1);
    QVERIFY(m_host->out(11, 0, keys));
    QCOMPARE(int(m_host->in(1, 0, 12).value_or(QByteArray(12, '\xff'))[8]), 0);
    QVERIFY(!m_host->out(11, 0, keys));
    QVERIFY(!m_host->out(6, 0, identity));

    const VantorDeviceState after = device().state();
    QCOMPARE(after.keys.size(), size_t(1));
    QCOMPARE(toQByteArray(after.keys.front()), keys);
    QCOMPARE(int(after.identity.boardVersion), 3);
}

void TestVantorDevice::imageTransfer_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("announced");
    QTest::addColumn<bool>("transferOk");
    QTest::addColumn<QByteArray>("firmware"); // request 3's answer afterwards

    const QByteArray tvim = toQByteArray(vantorImagePayload(4, 5, 6, 0x01020304, "release", 1000));
    const QByteArray tvimRecord
        = QByteArray::fromHex("04050604030201") + QByteArray("release").leftJustified(16, '\0') + char(1);
    const QByteArray zeroValid = QByteArray(23, '\0') + char(1);
    const QByteArray oldNotValid
        = QByteArray::fromHex("01000001000000") + QByteArray("master").leftJustified(16, '\0') + char(0);
    QTest::addRow("whole TVIM image reports its version") << tvim << 1000 << true << tvimRecord;
    QTest::addRow("whole image without header reports 0.0.0, valid")
        << QByteArray(700, 'x') << 700 << true << zeroValid;
    QTest::addRow("TVIM too short for its header reports 0.0.0") << tvim.left(20) << 20 << true << zeroValid;
    QTest::addRow("empty image is whole at once") << QByteArray() << 0 << true << zeroValid;
    QTest::addRow("short image leaves firmware not valid") << tvim.left(512) << 1000 << true << oldNotValid;
    QTest::addRow("announcement alone leaves firmware not valid")
        << QByteArray() << 1000 << true << oldNotValid;
    QTest::addRow("bytes beyond the announced size fail") << tvim << 900 << false << oldNotValid;
}

void TestVantorDevice::imageTransfer()
{
    QFETCH(QByteArray, image);
    QFETCH(int, announced);
    QFETCH(bool, transferOk);
    QFETCH(QByteArray, firmware);
    plug();
    enterFlashingMode();

    const QByteArray announcement = imageAnnouncement(uint32_t(announced));
    QVERIFY(m_host->out(2, 0, announcement));
    QCOMPARE(m_host->writeInBatches(image), transferOk);
    QCOMPARE(m_host->in(3, 0, 24).value_or(QByteArray()), firmware);

    const VantorDeviceState state = device().state();
    QVERIFY(state.imageAnnounced);
    QCOMPARE(toQByteArray(vantorBytes(state.imageInformation)), announcement);
    QCOMPARE(toQByteArray(state.image), transferOk ? image : image.left(announced / 256 * 256));
}

void TestVantorDevice::bulkOutWithNothingAnnouncedFails()
{
    plug();
    enterFlashingMode();
    QVERIFY(!m_host->write(QByteArray(10, 'a')));
    QVERIFY(m_host->out(2, 0, imageAnnouncement(10)));
    QVERIFY(m_host->write(QByteArray(10, 'a')));
    QVERIFY(!m_host->write(QByteArray(1, 'a')));
}

void TestVantorDevice::settingsSlotsNeedAnEraseBeforeRewriting()
{
    plug();
    const QByteArray settings(300, 's');
    QVERIFY(m_host->out(15, 2, le32(300)));
    QVERIFY(m_host->writeInBatches(settings));
    QCOMPARE(m_host->readBlock(14, 2).value_or(QByteArray()), settings);
    QCOMPARE(m_host->readBlock(14, 1).value_or(QByteArray("?")), QByteArray());

    QVERIFY(!m_host->out(15, 2, le32(5)));
    QVERIFY(m_host->out(15, 3, le32(3)));
    QVERIFY(m_host->write("abc"));
    QVERIFY(m_host->out(16));
    for (int slot = 0; slot < 4; ++slot)
        QCOMPARE(m_host->readBlock(14, uint16_t(slot)).value_or(QByteArray("?")), QByteArray());
    QVERIFY(m_host->out(15, 2, le32(5)));
    QVERIFY(m_host->write("12345"));
    QCOMPARE(toQByteArray(device().state().userSettings[2]), QByteArray("12345"));
}

void TestVantorDevice::bulkReadGivesAtMostWhatWasAskedOnce()
{
    plug();
    QVERIFY(!m_host->read(64));
    QVERIFY(m_host->out(15, 0, le32(300)));
    QVERIFY(m_host->writeInBatches(QByteArray(300, 'q')));
    QCOMPARE(m_host->in(14, 0, 4).value_or(QByteArray()), le32(300));
    QCOMPARE(m_host->read(100).value_or(QByteArray()), QByteArray(100, 'q'));
    QVERIFY(!m_host->read(200));
}

void TestVantorDevice::factoryConfigurationRoundTrip()
{
    plug();
    QCOMPARE(m_host->in(5, 0, 4).value_or(QByteArray()), le32(0));
    QVERIFY(!m_host->read(4));
    enterFlashingMode();
    QByteArray configuration(600, '\0');
    for (int i = 0; i < configuration.size(); ++i)
        configuration[i] = char(i * 31);
    QVERIFY(m_host->out(4, 0, le32(600)));
    QVERIFY(m_host->writeInBatches(configuration));
    QVERIFY(!m_host->write("x"));
    QCOMPARE(m_host->readBlock(5, 0).value_or(QByteArray()), configuration);
    QCOMPARE(toQByteArray(device().state().factoryConfiguration), configuration);
}

void TestVantorDevice::busyWindowHoldsBackTheResult_data()
{
    QTest::addColumn<QString>("write");
    QTest::addRow("image") << "image";
    QTest::addRow("settings write") << "settings";
    QTest::addRow("settings erase") << "erase";
    QTest::addRow("configuration write") << "configuration";
}

void TestVantorDevice::busyWindowHoldsBackTheResult()
{
    QFETCH(QString, write);
    const auto doWrite = [&] {
        if (write == QLatin1String("image"))
            return m_host->out(2, 0, imageAnnouncement(30)) && m_host->write(QByteArray(30, 'i'));
        if (write == QLatin1String("settings"))
            return m_host->out(15, 1, le32(4)) && m_host->write("abcd");
        if (write == QLatin1String("erase"))
            return m_host->out(16);
        return m_host->out(4, 0, le32(2)) && m_host->write("cc");
    };
    const QByteArray busy(1, '\1');
    const QByteArray idle(1, '\0');

    // A long window: busy right after the write, and an image is not valid yet.
    VantorDeviceBehaviour behaviour;
    behaviour.powerOnMode = VantorMode::Flashing;
    behaviour.busyTime = std::chrono::minutes(10);
    plug(defaultState(), behaviour);
    QCOMPARE(m_host->in(17, 0, 1).value_or(QByteArray()), idle);
    QVERIFY(doWrite());
    QCOMPARE(m_host->in(17, 0, 1).value_or(QByteArray()), busy);
    if (write == QLatin1String("image"))
        QCOMPARE(int(m_host->in(3, 0, 24).value_or(QByteArray(24, '\1'))[23]), 0);

    // A short window ends by itself.
    behaviour.busyTime = std::chrono::milliseconds(50);
    m_host.reset();
    plug(defaultState(), behaviour);
    QVERIFY(doWrite());
    QTRY_COMPARE_WITH_TIMEOUT(m_host->in(17, 0, 1).value_or(QByteArray()), idle, 10000);
    if (write == QLatin1String("image"))
        QCOMPARE(int(m_host->in(3, 0, 24).value_or(QByteArray(24, '\0'))[23]), 1);
}

void TestVantorDevice::restartReturnsInTheRightMode_data()
{
    QTest::addColumn<int>("request");
    QTest::addColumn<bool>("startFlashing");
    QTest::addColumn<bool>("firmwareValid");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("protocol"); // of the interface it comes back with

    QTest::addRow("13 from application, at once") << 13 << false << true << 0 << 1;
    QTest::addRow("13 from application, after a delay") << 13 << false << true << 100 << 1;
    QTest::addRow("8 from flashing with valid firmware") << 8 << true << true << 0 << 2;
    QTest::addRow("8 from flashing with valid firmware, after a delay") << 8 << true << true << 100 << 2;
    QTest::addRow("8 without valid firmware stays in flashing mode") << 8 << true << false << 0 << 1;
    QTest::addRow("9 from application returns to application") << 9 << false << true << 0 << 2;
    QTest::addRow("9 without valid firmware comes back flashing") << 9 << true << false << 100 << 1;
}

void TestVantorDevice::restartReturnsInTheRightMode()
{
    QFETCH(int, request);
    QFETCH(bool, startFlashing);
    QFETCH(bool, firmwareValid);
    QFETCH(int, delayMs);
    QFETCH(int, protocol);
    VantorDeviceState state = defaultState();
    state.firmware.flags = firmwareValid ? vantorFirmwareValid : 0;
    VantorDeviceBehaviour behaviour;
    behaviour.powerOnMode = startFlashing ? VantorMode::Flashing : VantorMode::Application;
    behaviour.restartDelay = std::chrono::milliseconds(delayMs);
    const SimUsbBus::DeviceId id = plug(state, behaviour);
    const std::u16string path = m_bus->path(id);

    QElapsedTimer away;
    away.start();
    QVERIFY(m_host->out(uint8_t(request)));
    QCOMPARE(device().restarts(), 1);
    // Without a delay the device is back before the request returns.
    if (delayMs == 0)
        QVERIFY(m_bus->isPlugged(id));
    QTRY_VERIFY_WITH_TIMEOUT(m_bus->isPlugged(id), 10000);
    QVERIFY(away.elapsed() >= delayMs);
    QVERIFY(!m_host->in(1, 0, 12)); // the old handle died with the restart
    QCOMPARE(m_bus->path(id), path);
    QVERIFY(m_host->reopen());
    QCOMPARE(int(m_host->interfaceProtocol()), protocol);
    QCOMPARE(m_host->in(12, 0, 1).value_or(QByteArray()), QByteArray(1, char(protocol == 1)));
}

void TestVantorDevice::restartThatNeverReturnsNeedsPowerOn()
{
    VantorDeviceBehaviour behaviour;
    behaviour.restartDelay.reset();
    const SimUsbBus::DeviceId id = plug(defaultState(), behaviour);
    QVERIFY(m_host->out(13));
    QVERIFY(!m_bus->isPlugged(id));
    QVERIFY(!device().isReturnPending());
    QVERIFY(!device().isOnBus());

    device().powerOn();
    QVERIFY(m_bus->isPlugged(id));
    QVERIFY(m_host->reopen());
    QCOMPARE(int(m_host->interfaceProtocol()), 2);
}

void TestVantorDevice::restartDelaySetLaterOverridesTheBehaviour()
{
    const SimUsbBus::DeviceId id = plug(defaultState(), VantorDeviceBehaviour {});
    device().setRestartDelay(std::nullopt);
    QVERIFY(m_host->out(13));
    QVERIFY(!m_bus->isPlugged(id));
    QVERIFY(!device().isReturnPending());

    device().powerOn();
    device().setRestartDelay(std::chrono::milliseconds(100));
    QVERIFY(m_host->reopen());
    QElapsedTimer away;
    away.start();
    QVERIFY(m_host->out(13));
    QVERIFY(device().isReturnPending());
    QTRY_VERIFY_WITH_TIMEOUT(m_bus->isPlugged(id), 10000);
    QVERIFY(away.elapsed() >= 100);
}

void TestVantorDevice::returnIsPendingFromTheMomentTheDeviceLeaves()
{
    // Else whoever finds it gone takes it for gone for good and powers it on.
    VantorDeviceBehaviour behaviour;
    behaviour.restartDelay = std::chrono::milliseconds(100);
    plug(defaultState(), behaviour);
    QList<bool> pendingWhileAway;
    const int listener = m_bus->addChangeListener([&] {
        if (!device().isOnBus())
            pendingWhileAway << device().isReturnPending();
    });
    QVERIFY(m_host->out(13));
    QTRY_VERIFY_WITH_TIMEOUT(device().isOnBus() && !device().isReturnPending(), 10000);
    m_bus->removeChangeListener(listener);
    QCOMPARE(pendingWhileAway, QList<bool>({true}));
}

void TestVantorDevice::destroyedWhileReturnPending()
{
    VantorDeviceBehaviour behaviour;
    behaviour.restartDelay = std::chrono::minutes(10);
    plug(defaultState(), behaviour);
    QVERIFY(m_host->out(13));
    QVERIFY(device().isReturnPending());

    // The bus holds the last reference: destroying it must cancel the return
    // at once rather than wait ten minutes or call into a dead bus.
    QElapsedTimer clock;
    clock.start();
    m_host.reset();
    m_model.reset();
    m_bus.reset();
    QVERIFY(clock.elapsed() < 60000);

    // A model that outlives its bus returns nowhere.
    behaviour.restartDelay = std::chrono::milliseconds(20);
    m_bus = std::make_shared<SimUsbBus>();
    plug(defaultState(), behaviour);
    QVERIFY(m_host->out(13));
    m_host.reset();
    m_bus.reset();
    QTRY_VERIFY_WITH_TIMEOUT(!device().isReturnPending(), 10000);
    QVERIFY(device().isOnBus());
}

void TestVantorDevice::requestFaults_data()
{
    QTest::addColumn<int>("action");
    QTest::addColumn<int>("request");
    QTest::addColumn<int>("requestType");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("transferred");
    QTest::addColumn<bool>("plugged");

    using A = VantorFault::Action;
    QTest::addRow("failing request stalls") << int(A::FailRequest) << 3 << 0xC1 << 24 << false << 0 << true;
    QTest::addRow("short IN answer") << int(A::AnswerShort) << 7 << 0xC1 << 19 << true << 5 << true;
    QTest::addRow("short OUT takes part and acts not")
        << int(A::AnswerShort) << 6 << 0x41 << 19 << true << 5 << true;
    QTest::addRow("device leaves at the request")
        << int(A::LeaveOnRequest) << 1 << 0xC1 << 12 << false << 0 << false;
}

void TestVantorDevice::requestFaults()
{
    QFETCH(int, action);
    QFETCH(int, request);
    QFETCH(int, requestType);
    QFETCH(int, length);
    QFETCH(bool, accepted);
    QFETCH(int, transferred);
    QFETCH(bool, plugged);
    const SimUsbBus::DeviceId id = plug();
    const VantorDeviceState before = device().state();
    VantorFault fault;
    fault.action = VantorFault::Action(action);
    fault.request = uint8_t(request);
    fault.bytes = 5;
    device().injectFault(fault);

    QByteArray buffer(length, '\x11');
    uint32_t moved = 0;
    const UsbSetupPacket setup {uint8_t(requestType), uint8_t(request), 0, 0, uint16_t(length)};
    QVERIFY(m_host->in(17, 0, 1)); // other requests are not hit
    QCOMPARE(m_host->raw(setup, buffer, moved), accepted);
    QCOMPARE(int(moved), transferred);
    QCOMPARE(m_bus->isPlugged(id), plugged);
    QCOMPARE(
        toQByteArray(vantorBytes(device().state().identity)), toQByteArray(vantorBytes(before.identity)));
    if (!plugged) {
        device().powerOn();
        QVERIFY(m_host->reopen());
    }
    // The fault hits once.
    QVERIFY(m_host->raw(setup, buffer, moved));
    QCOMPARE(int(moved), length);
}

void TestVantorDevice::bulkWriteFaults_data()
{
    QTest::addColumn<int>("action");
    QTest::addColumn<int>("nth");
    QTest::addColumn<QString>("outcomes"); // per batch: o written, x failed, - device gone
    QTest::addRow("third batch fails, the rest go on")
        << int(VantorFault::Action::FailBulkWrite) << 3 << "ooxoo";
    QTest::addRow("device vanishes at the second batch")
        << int(VantorFault::Action::LeaveAtBulkWrite) << 2 << "ox---";
}

void TestVantorDevice::bulkWriteFaults()
{
    QFETCH(int, action);
    QFETCH(int, nth);
    QFETCH(QString, outcomes);
    const SimUsbBus::DeviceId id = plug();
    enterFlashingMode();
    VantorFault fault;
    fault.action = VantorFault::Action(action);
    fault.nth = nth;
    device().injectFault(fault);
    QVERIFY(m_host->out(2, 0, imageAnnouncement(uint32_t(outcomes.size() * 256))));

    QString seen;
    for (int i = 0; i < outcomes.size(); ++i) {
        if (!m_bus->isPlugged(id))
            seen += '-';
        else
            seen += m_host->write(QByteArray(256, char(i))) ? 'o' : 'x';
    }
    QCOMPARE(seen, outcomes);
    // A failed batch is not stored, so the image is never whole.
    QCOMPARE(int(device().state().firmware.flags & vantorFirmwareValid), 0);
    if (!m_bus->isPlugged(id)) {
        // Pulled out in the middle of a flash: it powers up in flashing mode.
        device().powerOn();
        QVERIFY(m_host->reopen());
        QCOMPARE(int(m_host->interfaceProtocol()), 1);
    }
}

void TestVantorDevice::busyForeverNeverFinishesTheImage()
{
    VantorDeviceBehaviour behaviour;
    behaviour.powerOnMode = VantorMode::Flashing;
    plug(defaultState(), behaviour);
    device().setBusyForever(true);
    QCOMPARE(m_host->in(17, 0, 1).value_or(QByteArray()), QByteArray(1, '\1'));
    QVERIFY(m_host->out(2, 0, imageAnnouncement(8)));
    QVERIFY(m_host->write("12345678"));
    for (int poll = 0; poll < 3; ++poll)
        QCOMPARE(m_host->in(17, 0, 1).value_or(QByteArray()), QByteArray(1, '\1'));
    QCOMPARE(int(m_host->in(3, 0, 24).value_or(QByteArray(24, '\1'))[23]), 0);

    device().clearFaults();
    QCOMPARE(m_host->in(17, 0, 1).value_or(QByteArray()), QByteArray(1, '\0'));
    QCOMPARE(int(m_host->in(3, 0, 24).value_or(QByteArray(24, '\0'))[23]), 1);
}

QTEST_GUILESS_MAIN(TestVantorDevice)
#include "tst_vantordevice.moc"
