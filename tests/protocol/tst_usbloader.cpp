#include "loadertestsupport.h"

#include "protocol/loaderrecords.h"
#include "protocol/loadertiming.h"

#include <QMetaMethod>
#include <QtTest>

// The loader's commands against a scripted device, checked through the bus's
// call log: what goes out, in which order, and which signals come back.
class TestUsbLoader : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void metaObjectOrderAndNames();
    void recordFields_data();
    void recordFields();
    void factoryAcceptsOnlyLoaderInterfaces_data();
    void factoryAcceptsOnlyLoaderInterfaces();
    void modeComesFromProtocolOrRequest12_data();
    void modeComesFromProtocolOrRequest12();
    void shortCommandsSendOneRequestAndStaySilent_data();
    void shortCommandsSendOneRequestAndStaySilent();
    void identityRecordIsCutPaddedAndReadBack_data();
    void identityRecordIsCutPaddedAndReadBack();
    void keysGoOutInOneRequestThenStatusIsRead();
    void busyPollEndsWhenTheDeviceIsDone();
    void busyPollGivesUpAtTheLimit();
    void busyPollWithoutPausesGivesUpAfterTheLimitsQuestions();
    void failureSaysWhetherTheDeviceStayedBusy_data();
    void failureSaysWhetherTheDeviceStayedBusy();
    void timingScaleRoundsDownToWholeMilliseconds_data();
    void timingScaleRoundsDownToWholeMilliseconds();
    void flashingModeGivesUpWhenTheDeviceStaysAway();
    void failingDeviceNeverThrowsOutOfASlot_data();
    void failingDeviceNeverThrowsOutOfASlot();

private:
    UsbLoader *startLoader(uint8_t protocol = 2);

    std::shared_ptr<SimUsbBus> m_bus;
    std::shared_ptr<LoaderScriptModel> m_model;
    std::unique_ptr<USBDriver> m_driver;
};

void TestUsbLoader::init()
{
    // Each test starts at the protocol's real timing, whatever a failed one left.
    LoaderTiming::setScale(1);
    m_bus = std::make_shared<SimUsbBus>();
    m_model = scriptedLoaderModel();
}

void TestUsbLoader::cleanup()
{
    m_driver.reset();
    QCOMPARE(m_bus->openFileCount(), 0);
    QCOMPARE(m_bus->liveInterfaceHandleCount(), 0);
    QCOMPARE(m_bus->invalidHandleUses(), 0);
}

UsbLoader *TestUsbLoader::startLoader(uint8_t protocol)
{
    m_bus->plug(loaderDeviceProfile(m_model, protocol));
    m_driver = makeDriver(m_bus, loaderFactories());
    m_bus->clearCalls();
    return onlyLoader(*m_driver);
}

void TestUsbLoader::metaObjectOrderAndNames()
{
    const QMetaObject &meta = UsbLoader::staticMetaObject;
    QStringList methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        methods << QString("%1 %2 %3")
                       .arg(method.methodType() == QMetaMethod::Signal ? "signal" : "slot")
                       .arg(QString(method.methodSignature()))
                       .arg(QString(method.parameterNames().join(',')));
    }
    const QStringList expected = {
        "signal deviceInformationChanged(bool,QString,uchar,uchar,uchar,bool) "
        "valid,SN,boardVersion,boardSubversion,boardHwType,jtagProtected",
        "signal deviceInformationChanged(bool,QString,uchar,uchar,uchar) "
        "valid,SN,boardVersion,boardSubversion,boardHwType",
        "signal deviceInformationChanged(bool,QString,uchar,uchar) valid,SN,boardVersion,boardSubversion",
        "signal firmwareReprogrammed(uchar,uchar,uchar,uint,QString) version,subversion,bugfix,build,name",
        "signal firmwareReprogrammingFailed() ",
        "signal deviceInformationFreeSlotsChanged(uchar) freeSlotsCount",
        "signal programmingProgress(int) progress",
        "signal factoryConfigurationReceived(QByteArray) confData",
        "signal factoryConfigurationSent() ",
        "signal userSettingsReceived(QByteArray,uchar) settingsData,slotNumber",
        "signal userSettingsSent(uchar) slotNumber",
        "slot flashFirmware(QSharedPointer<FirmwareFile>) firmware",
        "slot flashDeviceInformation(QString,uchar,uchar,uchar) SN,boardVersion,boardSubersion,boardHwType",
        "slot flashDeviceInformation(QString,uchar,uchar) SN,boardVersion,boardSubersion",
        "slot flashAes256Keys(std::vector<uint8_t>,std::vector<uint8_t>) primaryKey,secondaryKey",
        "slot startApp() ",
        "slot startFlashingMode() ",
        "slot enableJtagProtection() ",
        "slot restartDevice() ",
        "slot sendFactoryConfiguration(QByteArray) data",
        "slot readFactoryConfiguration() ",
        "slot sendUserSettings(QByteArray,uchar) data,slotNumber",
        "slot sendUserSettings(QByteArray) data",
        "slot readUserSettings(uchar) slotNumber",
        "slot readUserSettings() ",
        "slot clearAllUserSettings() ",
    };
    QCOMPARE(methods, expected);
}

void TestUsbLoader::recordFields_data()
{
    QTest::addColumn<QByteArray>("serialField");
    QTest::addColumn<int>("flags");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("hwType");
    QTest::addColumn<bool>("jtag");
    QTest::addRow("16 characters without NUL")
        << QByteArray("ABCDEFGHIJKLMNOP") << 0x01 << "ABCDEFGHIJKLMNOP" << true << 0 << false;
    QTest::addRow("starts with NUL") << QByteArray("\0BC", 3) << 0x00 << "" << false << 0 << false;
    QTest::addRow("ends at first NUL") << QByteArray("AB\0CD", 5) << 0x0F << "AB" << true << 3 << true;
    QTest::addRow("hardware type bits only") << QByteArray("X") << 0x04 << "X" << false << 2 << false;
    QTest::addRow("unused high bits ignored")
        << QByteArray("\xc3\xa9", 2) << 0xF8 << "\u00e9" << false << 0 << true;
}

void TestUsbLoader::recordFields()
{
    QFETCH(QByteArray, serialField);
    QFETCH(int, flags);
    UsbLoader::TDeviceInformation record {};
    std::memcpy(record.SN, serialField.constData(), size_t(serialField.size()));
    record.flags = uint8_t(flags);
    QTEST(serialNumberText(record), "serial");
    QTEST(isValid(record), "valid");
    QTEST(int(boardHwType(record)), "hwType");
    QTEST(isJtagProtected(record), "jtag");
}

void TestUsbLoader::factoryAcceptsOnlyLoaderInterfaces_data()
{
    QTest::addColumn<int>("interfaceClass");
    QTest::addColumn<int>("subClass");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<bool>("recordsReadable");
    QTest::addColumn<bool>("loader");
    QTest::addRow("flashing mode") << 0xFF << 1 << 1 << true << true;
    QTest::addRow("application") << 0xFF << 1 << 2 << true << true;
    QTest::addRow("protocol 3") << 0xFF << 1 << 3 << true << false;
    QTest::addRow("protocol 0") << 0xFF << 1 << 0 << true << false;
    QTest::addRow("subclass 2") << 0xFF << 2 << 1 << true << false;
    QTest::addRow("not vendor class") << 0x08 << 1 << 1 << true << false;
    QTest::addRow("records not readable: no half-read loader") << 0xFF << 1 << 2 << false << false;
}

void TestUsbLoader::factoryAcceptsOnlyLoaderInterfaces()
{
    QFETCH(int, interfaceClass);
    QFETCH(int, subClass);
    QFETCH(int, protocol);
    QFETCH(bool, recordsReadable);
    SimDeviceProfile profile = loaderDeviceProfile(m_model, uint8_t(protocol));
    profile.interfaces[0].interfaceClass = uint8_t(interfaceClass);
    profile.interfaces[0].interfaceSubClass = uint8_t(subClass);
    m_bus->plug(profile);
    if (!recordsReadable)
        m_bus->injectFault({SimOp::ControlTransfer, SimFault::Action::MoveFewer, 2, 1, 3});
    m_driver = makeDriver(m_bus, loaderFactories());
    // A device whose records cannot be read is not taken yet: the driver tries it again later.
    QCOMPARE(m_driver->devices().size(), recordsReadable ? 1 : 0);
    QTEST(onlyLoader(*m_driver) != nullptr, "loader");
}

void TestUsbLoader::modeComesFromProtocolOrRequest12_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("modeAnswer");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<bool>("flashingMode");
    QTest::addRow("protocol 1 is flashing mode, 12 never asked")
        << 1 << 0 << QStringList({"1", "3", "7"}) << true;
    QTest::addRow("protocol 2, device says application")
        << 2 << 0 << QStringList({"1", "3", "7", "12"}) << false;
    QTest::addRow("protocol 2, device says flashing mode")
        << 2 << 7 << QStringList({"1", "3", "7", "12"}) << true;
}

void TestUsbLoader::modeComesFromProtocolOrRequest12()
{
    QFETCH(int, protocol);
    QFETCH(int, modeAnswer);
    QFETCH(QStringList, requests);
    QFETCH(bool, flashingMode);
    m_model->setControlAnswer(requestCode(LoaderRequest::ReadFlashingMode), {uint8_t(modeAnswer)});
    m_bus->plug(loaderDeviceProfile(m_model, uint8_t(protocol)));
    m_driver = makeDriver(m_bus, loaderFactories());
    QCOMPARE(requestLog(*m_bus), requests);
    UsbLoader *loader = onlyLoader(*m_driver);
    QVERIFY(loader);
    QCOMPARE(serialNumberText(loader->getDeviceInformation()), QString("ZOK1"));
    QCOMPARE(buildNumber(loader->getFirmwareInformation()), 400u);
    QCOMPARE(int(loader->getDeviceStatus().freeSlotsCount), 5);

    // The mode shows in what a flash does first: only from application mode does it ask for flashing mode.
    m_bus->clearCalls();
    m_bus->injectFault({SimOp::ControlTransfer, SimFault::Action::Fail, 1, -1});
    QSignalSpy failed(loader, &UsbLoader::firmwareReprogrammingFailed);
    loader->sendFactoryConfiguration(QByteArray("c"));
    QCOMPARE(failed.size(), 1);
    QCOMPARE(requestLog(*m_bus).value(0), flashingMode ? QString(">4") : QString(">13"));
}

void TestUsbLoader::shortCommandsSendOneRequestAndStaySilent_data()
{
    QTest::addColumn<QString>("slot");
    QTest::addColumn<int>("request");
    QTest::addColumn<bool>("deviceRefuses");
    for (bool refuses : {false, true}) {
        const char *suffix = refuses ? ", refused" : "";
        QTest::addRow("startApp%s", suffix) << "startApp" << 8 << refuses;
        QTest::addRow("restartDevice%s", suffix) << "restartDevice" << 9 << refuses;
        QTest::addRow("enableJtagProtection%s", suffix) << "enableJtagProtection" << 10 << refuses;
    }
}

void TestUsbLoader::shortCommandsSendOneRequestAndStaySilent()
{
    QFETCH(QString, slot);
    QFETCH(bool, deviceRefuses);
    UsbLoader *loader = startLoader();
    QVERIFY(loader);
    const UsbLoader::TFirmwareInformation before = loader->getFirmwareInformation();
    if (deviceRefuses)
        m_bus->injectFault({SimOp::ControlTransfer, SimFault::Action::Fail});
    QSignalSpy failed(loader, &UsbLoader::firmwareReprogrammingFailed);
    QVERIFY(QMetaObject::invokeMethod(loader, slot.toLatin1().constData()));
    QFETCH(int, request);
    QCOMPARE(requestLog(*m_bus), QStringList({QString(">%1").arg(request)}));
    QCOMPARE(m_bus->calls().front().length, 0u);
    QCOMPARE(failed.size(), 0);
    const UsbLoader::TFirmwareInformation after = loader->getFirmwareInformation();
    QCOMPARE(std::memcmp(&before, &after, sizeof before), 0);
}

void TestUsbLoader::identityRecordIsCutPaddedAndReadBack_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<int>("hwType"); // -1: the three-argument form
    QTest::addColumn<QByteArray>("sentSerial");
    QTest::addColumn<int>("sentFlags");
    QTest::addRow("20 characters: first 16 bytes, no NUL")
        << "ABCDEFGHIJKLMNOPQRST" << 1 << QByteArray("ABCDEFGHIJKLMNOP") << 0x02;
    QTest::addRow("3 characters: 13 NUL bytes follow")
        << "ZOK" << 3 << QByteArray("ZOK", 3).append(QByteArray(13, '\0')) << 0x06;
    QTest::addRow("three arguments: hardware type 0")
        << "ZOK42" << -1 << QByteArray("ZOK42").append(QByteArray(11, '\0')) << 0x00;
}

void TestUsbLoader::identityRecordIsCutPaddedAndReadBack()
{
    QFETCH(QString, serial);
    QFETCH(int, hwType);
    UsbLoader *loader = startLoader();
    QVERIFY(loader);
    // The device keeps its old record: the signals carry what it reports, not what was sent.
    m_model->setControlAnswer(
        requestCode(LoaderRequest::ReadDeviceInformation), recordBytes(deviceRecord("OLD", 1, 9, 0x0B)));
    m_model->setControlAnswer(requestCode(LoaderRequest::ReadDeviceStatus), recordBytes(statusRecord(3)));
    QSignalSpy information(loader, &UsbLoader::deviceInformationChanged);
    QSignalSpy freeSlots(loader, &UsbLoader::deviceInformationFreeSlotsChanged);
    if (hwType < 0)
        QVERIFY(QMetaObject::invokeMethod(
            loader, "flashDeviceInformation", Q_ARG(QString, serial), Q_ARG(uchar, 4), Q_ARG(uchar, 1)));
    else
        loader->flashDeviceInformation(serial, 4, 1, uchar(hwType));

    QCOMPARE(requestLog(*m_bus), QStringList({">6", "7", "1"}));
    // The device is not ready sooner than 100 ms after the write.
    QVERIFY(pauseAfterWrite(*m_bus, requestCode(LoaderRequest::WriteDeviceInformation)) >= 100);
    const auto outs = m_model->controlOuts();
    QCOMPARE(outs.size(), size_t(1));
    const std::vector<uint8_t> &sent = outs.front().data;
    QCOMPARE(sent.size(), size_t(19));
    QCOMPARE(int(sent[0]), 4);
    QCOMPARE(int(sent[1]), 1);
    QTEST(QByteArray(reinterpret_cast<const char *>(sent.data()) + 2, 16), "sentSerial");
    QTEST(int(sent[18]), "sentFlags");

    QCOMPARE(information.size(), 1);
    QCOMPARE(information.first(), QVariantList({true, "OLD", 1, 9, 1, true}));
    QCOMPARE(freeSlots.size(), 1);
    QCOMPARE(freeSlots.first().first().toInt(), 3);
}

void TestUsbLoader::keysGoOutInOneRequestThenStatusIsRead()
{
    UsbLoader *loader = startLoader();
    QVERIFY(loader);
    QSignalSpy freeSlots(loader, &UsbLoader::deviceInformationFreeSlotsChanged);
    std::vector<uint8_t> primary(32, 0xA1);
    std::vector<uint8_t> secondary(32, 0xB2);
    loader->flashAes256Keys(primary, secondary);
    QCOMPARE(requestLog(*m_bus), QStringList({">11", "1"}));
    QVERIFY(pauseAfterWrite(*m_bus, requestCode(LoaderRequest::WriteAes256Keys)) >= 100);
    std::vector<uint8_t> expected(primary);
    expected.insert(expected.end(), secondary.begin(), secondary.end());
    QCOMPARE(m_model->controlOuts().front().data, expected);
    QCOMPARE(freeSlots.size(), 1);
}

void TestUsbLoader::busyPollEndsWhenTheDeviceIsDone()
{
    UsbLoader *loader = startLoader();
    QVERIFY(loader);
    m_model->busyAnswers = 3;
    loader->clearAllUserSettings();
    QCOMPARE(requestLog(*m_bus), QStringList({">16", "17", "17", "17", "17"}));
}

void TestUsbLoader::busyPollGivesUpAtTheLimit()
{
    UsbLoader *loader = startLoader();
    QVERIFY(loader);
    loader->setBusyLimit(250);
    m_model->busyAnswers = 1000000;
    QSignalSpy failed(loader, &UsbLoader::firmwareReprogrammingFailed);
    QSignalSpy sent(loader, &UsbLoader::userSettingsSent);
    loader->sendUserSettings(QByteArray("x"), 1);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(sent.size(), 0);
    // Given up before erasing anything.
    QVERIFY(!requestLog(*m_bus).contains(">16"));
}

void TestUsbLoader::flashingModeGivesUpWhenTheDeviceStaysAway()
{
    UsbLoader *loader = startLoader();
    QVERIFY(loader);
    // The device leaves at request 13 and never comes back.
    m_bus->injectFault({SimOp::ControlTransfer, SimFault::Action::Unplug, 1, 1});
    QSignalSpy failed(loader, &UsbLoader::firmwareReprogrammingFailed);
    QSignalSpy progress(loader, &UsbLoader::programmingProgress);
    QElapsedTimer elapsed;
    elapsed.start();
    loader->sendFactoryConfiguration(QByteArray(10, 'c'));
    QVERIFY2(elapsed.elapsed() >= 5400, qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(failed.size(), 1);
    QCOMPARE(progress.size(), 0);
    // Only request 13 went out (the log itself is flooded by the reopen's tries).
    QCOMPARE(m_bus->callCount(SimOp::ControlTransfer), size_t(1));
}

void TestUsbLoader::failingDeviceNeverThrowsOutOfASlot_data()
{
    QTest::addColumn<QString>("slot");
    QTest::addColumn<QVariantList>("arguments");
    QTest::addColumn<QString>("resultSignal"); // empty: a short command, silent
    QTest::addColumn<bool>("resultIsFailure");
    const QByteArray block("block");
    QTest::addRow("flashDeviceInformation") << "flashDeviceInformation" << QVariantList({QString("S"), 1, 2})
                                            << "firmwareReprogrammingFailed" << true;
    QTest::addRow("flashAes256Keys") << "flashAes256Keys" << QVariantList() << "firmwareReprogrammingFailed"
                                     << true;
    QTest::addRow("sendFactoryConfiguration")
        << "sendFactoryConfiguration" << QVariantList({block}) << "firmwareReprogrammingFailed" << true;
    QTest::addRow("sendUserSettings")
        << "sendUserSettings" << QVariantList({block}) << "firmwareReprogrammingFailed" << true;
    QTest::addRow("readFactoryConfiguration")
        << "readFactoryConfiguration" << QVariantList() << "factoryConfigurationReceived" << false;
    QTest::addRow("readUserSettings")
        << "readUserSettings" << QVariantList() << "userSettingsReceived" << false;
    QTest::addRow("clearAllUserSettings") << "clearAllUserSettings" << QVariantList() << "" << false;
    QTest::addRow("startFlashingMode") << "startFlashingMode" << QVariantList() << "" << false;
    QTest::addRow("startApp") << "startApp" << QVariantList() << "" << false;
}

void TestUsbLoader::failingDeviceNeverThrowsOutOfASlot()
{
    QFETCH(QString, slot);
    QFETCH(QVariantList, arguments);
    QFETCH(QString, resultSignal);
    QFETCH(bool, resultIsFailure);
    UsbLoader *loader = startLoader(1);
    QVERIFY(loader);
    // Every transfer with data comes back short: each one raises the layer's error.
    m_bus->injectFault({SimOp::ControlTransfer, SimFault::Action::MoveFewer, 1, -1, 0});
    QSignalSpy failed(loader, &UsbLoader::firmwareReprogrammingFailed);
    QSignalSpy configuration(loader, &UsbLoader::factoryConfigurationReceived);
    QSignalSpy settings(loader, &UsbLoader::userSettingsReceived);
    QSignalSpy sentSignals(loader, &UsbLoader::userSettingsSent);

    if (slot == "flashAes256Keys")
        loader->flashAes256Keys(std::vector<uint8_t>(32, 1), std::vector<uint8_t>(32, 2));
    else if (slot == "flashDeviceInformation")
        loader->flashDeviceInformation(arguments[0].toString(), 1, 2);
    else if (slot == "sendFactoryConfiguration")
        loader->sendFactoryConfiguration(arguments[0].toByteArray());
    else if (slot == "sendUserSettings")
        loader->sendUserSettings(arguments[0].toByteArray(), 0);
    else
        QVERIFY(QMetaObject::invokeMethod(loader, slot.toLatin1().constData()));

    QCOMPARE(failed.size(), resultIsFailure ? 1 : 0);
    QCOMPARE(sentSignals.size(), 0);
    if (resultSignal == "factoryConfigurationReceived") {
        QCOMPARE(configuration.size(), 1);
        QVERIFY(configuration.first().first().toByteArray().isEmpty());
    }
    if (resultSignal == "userSettingsReceived") {
        QCOMPARE(settings.size(), 1);
        QVERIFY(settings.first().first().toByteArray().isEmpty());
    }
}

void TestUsbLoader::busyPollWithoutPausesGivesUpAfterTheLimitsQuestions()
{
    // With the protocol's timing at 0 (the fuzzing build, fast tests) no time
    // passes between questions; the limit still ends the wait, after as
    // many questions as it allows at one per poll interval.
    UsbLoader *loader = startLoader();
    QVERIFY(loader);
    LoaderTiming::setScale(0);
    loader->setBusyLimit(5 * LoaderTiming::busyPollMs);
    m_model->busyAnswers = 1000000;
    QSignalSpy failed(loader, &UsbLoader::firmwareReprogrammingFailed);
    loader->sendUserSettings(QByteArray("x"), 1);
    LoaderTiming::setScale(1);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(requestLog(*m_bus), QStringList({"17", "17", "17", "17", "17"}));
}

void TestUsbLoader::failureSaysWhetherTheDeviceStayedBusy_data()
{
    QTest::addColumn<int>("busyAnswers");
    QTest::addColumn<bool>("failSettingsRead");
    QTest::addColumn<int>("failure");
    QTest::addRow("stayed busy") << 1000000 << false << int(UsbLoader::Failure::DeviceStayedBusy);
    QTest::addRow("busy for a while, then a read fails") << 2 << true << int(UsbLoader::Failure::Other);
    QTest::addRow("read fails at once") << 0 << true << int(UsbLoader::Failure::Other);
    QTest::addRow("success") << 2 << false << int(UsbLoader::Failure::None);
}

void TestUsbLoader::failureSaysWhetherTheDeviceStayedBusy()
{
    QFETCH(int, busyAnswers);
    QFETCH(bool, failSettingsRead);
    QFETCH(int, failure);
    UsbLoader *loader = startLoader();
    QVERIFY(loader);
    LoaderTiming::setScale(0);
    loader->setBusyLimit(5 * LoaderTiming::busyPollMs);
    // A previous write that stayed busy must not colour this one's reason.
    m_model->busyAnswers = 1000000;
    loader->sendUserSettings(QByteArray("x"), 1);
    QCOMPARE(loader->lastFailure(), UsbLoader::Failure::DeviceStayedBusy);

    m_model->busyAnswers = busyAnswers;
    m_model->setControlAnswer(requestCode(LoaderRequest::ReadUserSettings),
        failSettingsRead ? std::vector<uint8_t>() : std::vector<uint8_t>(4, 0));
    QSignalSpy failed(loader, &UsbLoader::firmwareReprogrammingFailed);
    UsbLoader::Failure seenAtSignal = UsbLoader::Failure::None;
    connect(
        loader, &UsbLoader::firmwareReprogrammingFailed, this, [&] { seenAtSignal = loader->lastFailure(); });
    loader->sendUserSettings(QByteArray("x"), 1);
    LoaderTiming::setScale(1);
    QCOMPARE(failed.size(), failure == int(UsbLoader::Failure::None) ? 0 : 1);
    QCOMPARE(int(loader->lastFailure()), failure);
    if (!failed.isEmpty())
        QCOMPARE(int(seenAtSignal), failure);
}

void TestUsbLoader::timingScaleRoundsDownToWholeMilliseconds_data()
{
    QTest::addColumn<double>("scale");
    QTest::addColumn<int>("settlePause");
    QTest::addColumn<int>("comeBackLimit");
    QTest::addColumn<int>("busyLimit");
    QTest::addRow("real timing") << 1.0 << 100 << 5000 << 120000;
    QTest::addRow("a thousandth") << 0.001 << 0 << 5 << 120;
    QTest::addRow("instant") << 0.0 << 0 << 0 << 0;
    QTest::addRow("negative counts as instant") << -2.0 << 0 << 0 << 0;
}

void TestUsbLoader::timingScaleRoundsDownToWholeMilliseconds()
{
    QFETCH(double, scale);
    LoaderTiming::setScale(scale);
    const int settlePause = LoaderTiming::scaled(LoaderTiming::settlePauseMs);
    const int comeBackLimit = LoaderTiming::scaled(LoaderTiming::comeBackLimitMs);
    const int busyLimit = LoaderTiming::scaled(LoaderTiming::busyLimitMs);
    LoaderTiming::setScale(1);
    QTEST(settlePause, "settlePause");
    QTEST(comeBackLimit, "comeBackLimit");
    QTEST(busyLimit, "busyLimit");
}

QTEST_GUILESS_MAIN(TestUsbLoader)
#include "tst_usbloader.moc"
