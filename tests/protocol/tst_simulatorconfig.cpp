#include "protocol/sim/simulatorconfig.h"

#include <QtTest>

// The value of TALVEX_SIMULATOR as the programs read it at start-up.
class TestSimulatorConfig : public QObject
{
    Q_OBJECT

private slots:
    void everyKeyIsRead_data();
    void everyKeyIsRead();
    void defaultsNeedNoKeys_data();
    void defaultsNeedNoKeys();
    void badInputIsRefusedNamingTheKey_data();
    void badInputIsRefusedNamingTheKey();
    void devicesAreNumberedFromTheSerial_data();
    void devicesAreNumberedFromTheSerial();
    void initialStateFollowsTheKeys();
};

namespace {

template <typename List> QString numbers(const List &list)
{
    QStringList texts;
    for (const auto &item : list)
        texts << (item ? QString::number(int(*item)) : QStringLiteral("-"));
    return texts.join(QLatin1Char(','));
}

QString numbers(const std::vector<int> &list)
{
    QStringList texts;
    for (int item : list)
        texts << QString::number(item);
    return texts.join(QLatin1Char(','));
}

// A parsed configuration written back as the keys that would give it.
QStringList describe(const SimulatorConfig &c)
{
    const auto number = [](qulonglong n) { return QString::number(n); };
    return {"devices=" + number(c.devices),
        QLatin1String(c.mode == VantorMode::Application ? "mode=app" : "mode=loader"),
        "serial=" + QString::fromUtf8(c.serial),
        QStringLiteral("board=%1.%2").arg(c.boardVersion).arg(c.boardSubversion),
        "hw-type=" + number(c.hwType), "jtag=" + number(c.jtag),
        QStringLiteral("firmware=%1.%2.%3")
            .arg(c.firmwareVersion)
            .arg(c.firmwareSubversion)
            .arg(c.firmwareBugfix),
        "build=" + number(c.build), "fwname=" + QString::fromUtf8(c.firmwareName),
        "fwvalid=" + number(c.firmwareValid),
        "restart-ms=" + (c.restartMs ? number(qulonglong(*c.restartMs)) : QStringLiteral("never")),
        "busy-ms=" + (c.busyMs ? number(qulonglong(*c.busyMs)) : QStringLiteral("never")),
        "fail-batch=" + number(c.failBatch), "unplug-batch=" + number(c.unplugBatch), "state=" + c.stateFile,
        "timing=" + QString::number(c.timing), "arrive=" + numbers(c.arriveMs), "leave=" + numbers(c.leaveMs),
        "fault-devices=" + numbers(c.faultDevices)};
}

} // namespace

void TestSimulatorConfig::everyKeyIsRead_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected"); // one entry of describe()
    QTest::addRow("devices") << "devices=4"
                             << "devices=4";
    QTest::addRow("mode loader") << "mode=loader"
                                 << "mode=loader";
    QTest::addRow("mode app") << "mode=app"
                              << "mode=app";
    QTest::addRow("serial of 16 bytes") << "serial=ABCDEFGHIJKLMNOP"
                                        << "serial=ABCDEFGHIJKLMNOP";
    QTest::addRow("empty serial") << "serial="
                                  << "serial=";
    QTest::addRow("board") << "board=3.17"
                           << "board=3.17";
    QTest::addRow("hw-type") << "hw-type=3"
                             << "hw-type=3";
    QTest::addRow("jtag") << "jtag=1"
                          << "jtag=1";
    QTest::addRow("firmware") << "firmware=255.0.9"
                              << "firmware=255.0.9";
    QTest::addRow("largest build") << "build=4294967295"
                                   << "build=4294967295";
    QTest::addRow("fwname with spaces inside") << "fwname= night build "
                                               << "fwname=night build";
    QTest::addRow("fwvalid") << "fwvalid=0"
                             << "fwvalid=0";
    QTest::addRow("restart-ms") << "restart-ms=750"
                                << "restart-ms=750";
    QTest::addRow("restart-ms never") << "restart-ms=never"
                                      << "restart-ms=never";
    QTest::addRow("busy-ms") << "busy-ms=1200"
                             << "busy-ms=1200";
    QTest::addRow("busy-ms never") << "busy-ms=never"
                                   << "busy-ms=never";
    QTest::addRow("timing as a fraction") << "timing=0.001"
                                          << "timing=0.001";
    QTest::addRow("timing instant") << "timing=0"
                                    << "timing=0";
    QTest::addRow("fail-batch") << "fail-batch=3"
                                << "fail-batch=3";
    QTest::addRow("unplug-batch") << "unplug-batch=7"
                                  << "unplug-batch=7";
    QTest::addRow("state") << "state=/tmp/x y.json"
                           << "state=/tmp/x y.json";
    QTest::addRow("arrive, its values as items") << "devices=3,arrive=0,500,1200,busy-ms=5"
                                                 << "arrive=0,500,1200";
    QTest::addRow("leave, - for a device that stays") << "devices=3,leave=-,900"
                                                      << "leave=-,900";
    QTest::addRow("fault-devices") << "devices=5,fault-devices=2,5"
                                   << "fault-devices=2,5";
    QTest::addRow("among others, with spaces") << " mode = loader , busy-ms=5,jtag=1 "
                                               << "busy-ms=5";
}

void TestSimulatorConfig::everyKeyIsRead()
{
    QFETCH(QString, value);
    QFETCH(QString, expected);
    SimulatorConfig config;
    QString error;
    QVERIFY2(parseSimulatorConfig(value, &config, &error), qPrintable(error));
    QVERIFY2(describe(config).contains(expected), qPrintable(describe(config).join(QLatin1Char(','))));
}

void TestSimulatorConfig::defaultsNeedNoKeys_data()
{
    QTest::addColumn<QString>("value");
    QTest::addRow("empty") << "";
    QTest::addRow("blank") << "  ";
    QTest::addRow("just set to 1") << "1";
    QTest::addRow("stray commas") << ",,";
}

void TestSimulatorConfig::defaultsNeedNoKeys()
{
    QFETCH(QString, value);
    SimulatorConfig config;
    config.devices = 9;
    QString error;
    QVERIFY2(parseSimulatorConfig(value, &config, &error), qPrintable(error));
    QCOMPARE(describe(config).join(QLatin1Char(',')),
        QStringLiteral(
            "devices=1,mode=app,serial=ZOK000001,board=2.0,hw-type=0,jtag=0,firmware=1.0.0,build=1,"
            "fwname=master,fwvalid=1,restart-ms=0,busy-ms=0,fail-batch=0,unplug-batch=0,state=,timing=1,"
            "arrive=,leave=,fault-devices="));
}

void TestSimulatorConfig::badInputIsRefusedNamingTheKey_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("named"); // what the message must quote
    QTest::addRow("unknown key") << "colour=red"
                                 << "\"colour\"";
    QTest::addRow("key in the wrong case") << "Mode=app"
                                           << "\"Mode\"";
    QTest::addRow("repeated key") << "busy-ms=1,busy-ms=2"
                                  << "\"busy-ms\"";
    QTest::addRow("pair without =") << "devices=2,loader"
                                    << "\"loader\"";
    QTest::addRow("more arrivals than devices") << "devices=2,arrive=0,1,2"
                                                << "\"arrive\"";
    QTest::addRow("leaving before arriving") << "devices=2,arrive=0,500,leave=-,400"
                                             << "\"leave\"";
    QTest::addRow("no such fault device") << "fault-devices=0"
                                          << "\"fault-devices\"";
    QTest::addRow("no devices") << "devices=0"
                                << "\"devices\"";
    QTest::addRow("too many devices") << "devices=33"
                                      << "\"devices\"";
    QTest::addRow("negative devices") << "devices=-1"
                                      << "\"devices\"";
    QTest::addRow("unknown mode") << "mode=boot"
                                  << "\"mode\"";
    QTest::addRow("serial of 17 bytes") << "serial=ABCDEFGHIJKLMNOPQ"
                                        << "\"serial\"";
    QTest::addRow("serial of 9 two-byte characters") << QString::fromUtf8("serial=ééééééééé") << "\"serial\"";
    QTest::addRow("board without subversion") << "board=2"
                                              << "\"board\"";
    QTest::addRow("board with three parts") << "board=2.0.1"
                                            << "\"board\"";
    QTest::addRow("board part above 255") << "board=256.0"
                                          << "\"board\"";
    QTest::addRow("board with an empty part") << "board=2."
                                              << "\"board\"";
    QTest::addRow("hardware type 4") << "hw-type=4"
                                     << "\"hw-type\"";
    QTest::addRow("jtag yes") << "jtag=yes"
                              << "\"jtag\"";
    QTest::addRow("firmware of two parts") << "firmware=1.2"
                                           << "\"firmware\"";
    QTest::addRow("firmware in hex") << "firmware=0x1.0.0"
                                     << "\"firmware\"";
    QTest::addRow("build above 32 bits") << "build=4294967296"
                                         << "\"build\"";
    QTest::addRow("build with a sign") << "build=+5"
                                       << "\"build\"";
    QTest::addRow("build empty") << "build="
                                 << "\"build\"";
    QTest::addRow("firmware name of 17 bytes") << "fwname=12345678901234567"
                                               << "\"fwname\"";
    QTest::addRow("fwvalid 2") << "fwvalid=2"
                               << "\"fwvalid\"";
    QTest::addRow("restart-ms in words") << "restart-ms=soon"
                                         << "\"restart-ms\"";
    QTest::addRow("restart-ms beyond an hour") << "restart-ms=3600001"
                                               << "\"restart-ms\"";
    QTest::addRow("busy-ms in words") << "busy-ms=soon"
                                      << "\"busy-ms\"";
    QTest::addRow("timing above 1") << "timing=1.5"
                                    << "\"timing\"";
    QTest::addRow("timing negative") << "timing=-0.1"
                                     << "\"timing\"";
    QTest::addRow("timing with an exponent") << "timing=1e-3"
                                             << "\"timing\"";
    QTest::addRow("timing without digits after the point") << "timing=0."
                                                           << "\"timing\"";
    QTest::addRow("fail-batch 0") << "fail-batch=0"
                                  << "\"fail-batch\"";
    QTest::addRow("unplug-batch huge") << "unplug-batch=99999999999"
                                       << "\"unplug-batch\"";
    QTest::addRow("state without a file") << "state="
                                          << "\"state\"";
    QTest::addRow("numbering runs past 16 bytes") << "serial=ABCDEFGHIJKLMN99,devices=2"
                                                  << "\"devices\"";
}

void TestSimulatorConfig::badInputIsRefusedNamingTheKey()
{
    QFETCH(QString, value);
    QFETCH(QString, named);
    SimulatorConfig config;
    config.devices = 9;
    QString error;
    QVERIFY(!parseSimulatorConfig(value, &config, &error));
    QVERIFY2(error.startsWith(QLatin1String("TALVEX_SIMULATOR: ")), qPrintable(error));
    QVERIFY2(error.contains(named), qPrintable(error));
    QVERIFY2(!error.contains(QLatin1Char('\n')), qPrintable(error));
    QCOMPARE(config.devices, 9); // nothing half-parsed reaches the caller
}

void TestSimulatorConfig::devicesAreNumberedFromTheSerial_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QStringList>("serials");
    QTest::addRow("one device keeps its serial") << "" << QStringList {"ZOK000001"};
    QTest::addRow("counting keeps leading zeros")
        << "serial=ZOK000100,devices=3" << QStringList {"ZOK000100", "ZOK000101", "ZOK000102"};
    QTest::addRow("counting carries into a new digit")
        << "serial=ZOK99,devices=2" << QStringList {"ZOK99", "ZOK100"};
    QTest::addRow("serial without digits")
        << "serial=BENCH,devices=3" << QStringList {"BENCH", "BENCH1", "BENCH2"};
}

void TestSimulatorConfig::devicesAreNumberedFromTheSerial()
{
    QFETCH(QString, value);
    QFETCH(QStringList, serials);
    SimulatorConfig config;
    QString error;
    QVERIFY2(parseSimulatorConfig(value, &config, &error), qPrintable(error));
    QStringList made;
    for (const QByteArray &serial : simulatorSerials(config))
        made.append(QString::fromUtf8(serial));
    QCOMPARE(made, serials);
}

void TestSimulatorConfig::initialStateFollowsTheKeys()
{
    SimulatorConfig config;
    QString error;
    QVERIFY(
        parseSimulatorConfig(QStringLiteral("board=3.4,hw-type=2,jtag=1,firmware=5.6.7,build=258,"
                                            "fwname=ABCDEFGHIJKLMNOP,fwvalid=0,restart-ms=never,busy-ms=40,"
                                            "fail-batch=2,unplug-batch=5,mode=loader"),
            &config, &error));
    const VantorDeviceState state = simulatorInitialState(config, "SN-1");
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(&state.identity), 19),
        QByteArray::fromHex("0304534e2d31000000000000000000000000") + char(0x01 | 2 << 1 | 0x08));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(&state.firmware), 24),
        QByteArray::fromHex("05060702010000") + QByteArray("ABCDEFGHIJKLMNOP") + char(0));

    const VantorDeviceBehaviour behaviour = simulatorBehaviour(config);
    QCOMPARE(behaviour.powerOnMode, VantorMode::Flashing);
    QVERIFY(!behaviour.restartDelay);
    QCOMPARE(behaviour.busyTime.count(), 40);
    const std::vector<VantorFault> faults = simulatorFaults(config);
    QCOMPARE(faults.size(), size_t(2));
    QCOMPARE(faults[0].action, VantorFault::Action::FailBulkWrite);
    QCOMPARE(faults[0].nth, 2);
    QCOMPARE(faults[1].action, VantorFault::Action::LeaveAtBulkWrite);
    QCOMPARE(faults[1].nth, 5);
}

QTEST_GUILESS_MAIN(TestSimulatorConfig)
#include "tst_simulatorconfig.moc"
