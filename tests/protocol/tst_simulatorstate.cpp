#include "protocol/sim/simulatorsetup.h"
#include "protocol/sim/simulatorstatefile.h"
#include "vantortestsupport.h"

#include <QtTest>

// Start-up of the simulated devices from TALVEX_SIMULATOR, and the state
// file that carries their flash from one run to the next.
class TestSimulatorState : public QObject
{
    Q_OBJECT

private slots:
    void setUpPlugsNumberedDevices();
    void setUpWithBadValuePlugsNothing();
    void environmentDecides_data();
    void environmentDecides();
    void flashAndSettingsSurviveIntoTheNextRun();
    void missingFileIsCreatedOnFirstChange();
    void damagedFileIsRefused_data();
    void damagedFileIsRefused();
    void unwritableFileIsReportedOnce();

private:
    static int pluggedDevices(SimUsbBus &bus);
};

namespace {

QByteArray deviceEntry()
{
    VantorDeviceState state;
    state.imageAnnounced = true;
    vantorStore32(state.imageInformation.dataSize, 3);
    state.image = {1, 2, 3};
    state.keys.push_back(std::vector<uint8_t>(64, 7));
    return QJsonDocument(SimulatorStateFile::encode(state)).toJson(QJsonDocument::Compact);
}

QByteArray fileWith(
    const QByteArray &entry, const QByteArray &head = R"("format":"talvex-simulator-state","version":1)")
{
    return "{" + head + R"(,"devices":{"ZOK000001":)" + entry + "}}";
}

// The entry with one field's JSON text replaced.
QByteArray entryWith(const char *field, const QByteArray &json)
{
    QJsonObject entry = QJsonDocument::fromJson(deviceEntry()).object();
    entry.insert(QLatin1String(field), QJsonDocument::fromJson("[" + json + "]").array().at(0));
    return QJsonDocument(entry).toJson(QJsonDocument::Compact);
}

// Flashes an image the way the program does, over raw host calls, and lets
// the device start its application.
bool flashImage(VantorHost &host, const QByteArray &image)
{
    if (!host.out(13) || !host.reopen() || !host.out(2, 0, imageAnnouncement(uint32_t(image.size())))
        || !host.writeInBatches(image) || host.in(17, 0, 1) != QByteArray(1, '\0'))
        return false;
    return host.out(8) && host.reopen();
}

} // namespace

int TestSimulatorState::pluggedDevices(SimUsbBus &bus)
{
    std::vector<std::u16string> paths;
    bus.listInterfacePaths(DEVICE_INTERFACE_GUID, paths);
    return int(paths.size());
}

void TestSimulatorState::setUpPlugsNumberedDevices()
{
    auto bus = std::make_shared<SimUsbBus>();
    std::vector<std::shared_ptr<SimVantorModel>> models;
    QString error;
    QVERIFY2(setUpSimulator(QStringLiteral("devices=3,serial=ZOK000100,mode=loader"), bus, &error, &models),
        qPrintable(error));
    QCOMPARE(models.size(), size_t(3));
    QCOMPARE(pluggedDevices(*bus), 3);
    for (int i = 0; i < 3; ++i) {
        const QByteArray serial = "ZOK00010" + QByteArray::number(i);
        QCOMPARE(QString::fromStdU16String(models[std::size_t(i)]->usbSerial()), QString::fromLatin1(serial));
        VantorHost host(bus, i + 1);
        QCOMPARE(int(host.interfaceProtocol()), 1);
        QCOMPARE(host.in(7, 0, 19).value_or(QByteArray()).mid(2, 16), serial.leftJustified(16, '\0'));
    }
}

void TestSimulatorState::setUpWithBadValuePlugsNothing()
{
    auto bus = std::make_shared<SimUsbBus>();
    QString error;
    QVERIFY(!setUpSimulator(QStringLiteral("devices=2,board=x"), bus, &error));
    QVERIFY(error.contains(QLatin1String("\"board\"")));
    QCOMPARE(pluggedDevices(*bus), 0);
}

void TestSimulatorState::environmentDecides_data()
{
    QTest::addColumn<bool>("set");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("plugged");
    QTest::addRow("without the variable nothing happens") << false << QByteArray() << true << 0;
#ifndef Q_OS_WIN // setting a variable to nothing removes it on Windows
    QTest::addRow("empty value plugs one device") << true << QByteArray() << true << 1;
#endif
    QTest::addRow("devices=2 plugs two") << true << QByteArray("devices=2,serial=ENV01") << true << 2;
    QTest::addRow("bad value is refused") << true << QByteArray("busy-ms=slow") << false << 0;
}

void TestSimulatorState::environmentDecides()
{
    QFETCH(bool, set);
    QFETCH(QByteArray, value);
    QFETCH(bool, ok);
    QFETCH(int, plugged);
    const QByteArray saved = qgetenv("TALVEX_SIMULATOR");
    const bool wasSet = qEnvironmentVariableIsSet("TALVEX_SIMULATOR");
    if (set)
        qputenv("TALVEX_SIMULATOR", value);
    else
        qunsetenv("TALVEX_SIMULATOR");
    const int before = pluggedDevices(*simulatorBus());
    QString error;
    const bool result = setUpSimulatorFromEnvironment(&error);
    if (wasSet)
        qputenv("TALVEX_SIMULATOR", saved);
    else
        qunsetenv("TALVEX_SIMULATOR");

    QCOMPARE(result, ok);
    QCOMPARE(error.isEmpty(), ok);
    QCOMPARE(pluggedDevices(*simulatorBus()) - before, plugged);
}

void TestSimulatorState::flashAndSettingsSurviveIntoTheNextRun()
{
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    const QString file = directory.filePath(QStringLiteral("devices.json"));
    const QString value = QStringLiteral("devices=2,serial=ZOK000100,state=%1").arg(file);
    const QByteArray image = toQByteArray(vantorImagePayload(7, 8, 9, 4242, "flashed", 900));
    const QByteArray identity
        = QByteArray::fromHex("0503") + QByteArray("NEW-IDENTITY").leftJustified(16, '\0') + char(1 << 1);
    const QByteArray keys(64, 'k');

    {
        auto bus = std::make_shared<SimUsbBus>();
        QString error;
        QVERIFY2(setUpSimulator(value, bus, &error), qPrintable(error));
        QVERIFY(!QFile::exists(file));
        VantorHost first(bus, 1);
        QVERIFY(flashImage(first, image));
        QVERIFY(first.out(15, 1, le32(5)));
        QVERIFY(first.write("hello"));
        QVERIFY(first.out(6, 0, identity));
        VantorHost second(bus, 2);
        QVERIFY(second.out(11, 0, keys));
    }
    QVERIFY(QFile::exists(file));
    QCOMPARE(QDir(directory.path()).entryList(QDir::Files | QDir::Hidden), QStringList {"devices.json"});

    // The next run: other keys do not overrule what the file holds.
    auto bus = std::make_shared<SimUsbBus>();
    std::vector<std::shared_ptr<SimVantorModel>> models;
    QString error;
    QVERIFY2(setUpSimulator(value + QStringLiteral(",firmware=1.1.1,mode=loader"), bus, &error, &models),
        qPrintable(error));
    VantorHost first(bus, 1);
    QCOMPARE(int(first.interfaceProtocol()), 1);
    QCOMPARE(first.in(3, 0, 24).value_or(QByteArray()),
        QByteArray::fromHex("07080992100000") + QByteArray("flashed").leftJustified(16, '\0') + char(1));
    QCOMPARE(first.readBlock(14, 1).value_or(QByteArray()), QByteArray("hello"));
    QCOMPARE(first.in(7, 0, 19).value_or(QByteArray()), identity.left(18) + char(0x03));
    QCOMPARE(toQByteArray(models[0]->device().state().image), image);
    const VantorDeviceState second = models[1]->device().state();
    QCOMPARE(second.keys.size(), size_t(1));
    QCOMPARE(toQByteArray(second.keys.front()), keys);
    QCOMPARE(int(second.freeSlots), 3);
}

void TestSimulatorState::missingFileIsCreatedOnFirstChange()
{
    QTemporaryDir directory;
    const QString file = directory.filePath(QStringLiteral("fresh.json"));
    auto bus = std::make_shared<SimUsbBus>();
    QString error;
    QVERIFY2(setUpSimulator(QStringLiteral("state=") + file, bus, &error), qPrintable(error));
    VantorHost host(bus, 1);
    QVERIFY(host.in(1, 0, 12));
    QVERIFY(!QFile::exists(file));
    QVERIFY(host.out(16));
    QVERIFY(QFile::exists(file));

    SimulatorStateFile reread(file);
    QVERIFY2(reread.load(&error), qPrintable(error));
    QVERIFY(reread.state("ZOK000001"));
}

void TestSimulatorState::damagedFileIsRefused_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("problem");
    QTest::addRow("not JSON") << QByteArray("{ nope") << "damaged";
    QTest::addRow("a list") << QByteArray("[]") << "not a simulator state file";
    QTest::addRow("another format") << fileWith(deviceEntry(), R"("format":"other","version":1)")
                                    << "not a simulator state file";
    QTest::addRow("a later version") << fileWith(
        deviceEntry(), R"("format":"talvex-simulator-state","version":2)")
                                     << "version 2";
    QTest::addRow("devices not an object")
        << QByteArray(R"({"format":"talvex-simulator-state","version":1,"devices":[]})") << "\"devices\"";
    QTest::addRow("device not an object") << fileWith("17") << "not an object";
    QTest::addRow("device information of 18 bytes")
        << fileWith(entryWith("deviceInformation", "\"" + QByteArray(36, '0') + "\""))
        << "\"deviceInformation\"";
    QTest::addRow("firmware information not hex")
        << fileWith(entryWith("firmwareInformation", "\"" + QByteArray(48, 'z') + "\""))
        << "\"firmwareInformation\"";
    QTest::addRow("key of 63 bytes") << fileWith(entryWith("keys", "[\"" + QByteArray(126, 'a') + "\"]"))
                                     << "\"keys[0]\"";
    QTest::addRow("three settings slots")
        << fileWith(entryWith("userSettings", R"(["","",""])")) << "\"userSettings\"";
    QTest::addRow("settings not base64")
        << fileWith(entryWith("userSettings", R"(["","!!","",""])")) << "\"userSettings[1]\"";
    QTest::addRow("image larger than announced")
        << fileWith(entryWith("image", "\"AQIDBA==\"")) << "\"image\"";
    QTest::addRow("300 free slots") << fileWith(entryWith("freeSlots", "300")) << "\"freeSlots\"";
    QTest::addRow("announcement flag missing")
        << fileWith(entryWith("imageAnnounced", "null")) << "\"imageAnnounced\"";
}

void TestSimulatorState::damagedFileIsRefused()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, problem);
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("state.json"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();

    auto bus = std::make_shared<SimUsbBus>();
    QString error;
    QVERIFY(!setUpSimulator(QStringLiteral("state=") + path, bus, &error));
    QVERIFY2(error.contains(QLatin1String("\"state\"")) && error.contains(path), qPrintable(error));
    QVERIFY2(error.contains(problem), qPrintable(error));
    QVERIFY2(!error.contains(QLatin1Char('\n')), qPrintable(error));
    QCOMPARE(pluggedDevices(*bus), 0);
}

void TestSimulatorState::unwritableFileIsReportedOnce()
{
    QTemporaryDir directory;
    const QString file = directory.filePath(QStringLiteral("missing-folder/state.json"));
    auto bus = std::make_shared<SimUsbBus>();
    QString error;
    QVERIFY2(setUpSimulator(QStringLiteral("state=") + file, bus, &error), qPrintable(error));
    VantorHost host(bus, 1);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("TALVEX_SIMULATOR: cannot write")));
    QVERIFY(host.out(16));
    QVERIFY(host.out(16)); // a second failure says nothing more
}

QTEST_GUILESS_MAIN(TestSimulatorState)
#include "tst_simulatorstate.moc"
