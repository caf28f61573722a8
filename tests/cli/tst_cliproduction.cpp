// talvex-cli on a production line, as separate processes against simulated
// devices: the JSON events a line-control system reads (exactly one result
// per run, in success and failure), flash --all over several devices, and
// the queue depth option.

#include "../ui/firmwarefixture.h"
#include "clirunner.h"
#include "protocol/sim/vantorwire.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

class TestCliProduction : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString path(const char *name) const { return m_dir.filePath(QLatin1String(name)); }
    QString simulator(const QString &keys = QString()) const
    {
        return simulatorWithState(path("state.json"), keys);
    }
    QString firmwareFile()
    {
        const std::vector<uint8_t> image = vantorImagePayload(7, 3, 1, 4242, "master", 1000);
        return writeFirmwareFile(path("fw.tvf"), 7, 3, 1, 4242, "master",
            QByteArray(reinterpret_cast<const char *>(image.data()), int(image.size())));
    }
    QStringList withFiles(QStringList arguments)
    {
        arguments.replaceInStrings("FILE", firmwareFile());
        arguments.replaceInStrings("DIR/", m_dir.path() + QLatin1Char('/'));
        return arguments;
    }

    // Every line of out as a JSON object; fails the test on any other line.
    static QList<QJsonObject> events(const QByteArray &out)
    {
        QList<QJsonObject> objects;
        for (const QByteArray &line : out.split('\n')) {
            if (line.isEmpty())
                continue;
            QJsonParseError error {};
            const QJsonDocument document = QJsonDocument::fromJson(line, &error);
            if (error.error != QJsonParseError::NoError || !document.isObject()) {
                qWarning("not a JSON object: %s", line.constData());
                return {};
            }
            objects << document.object();
        }
        return objects;
    }
    static QStringList names(const QList<QJsonObject> &objects)
    {
        QStringList found;
        for (const QJsonObject &object : objects)
            found << object.value("event").toString();
        return found;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(writeBytes(path("primary.key"), QByteArray(32, '\x11')));
        QVERIFY(writeBytes(path("secondary.key"), QByteArray(32, '\x22')));
        QVERIFY(writeBytes(path("short.key"), QByteArray(31, '\x33')));
        QVERIFY(writeBytes(path("settings.bin"), "settings"));
        QVERIFY(writeBytes(path("bad.tvf"), "not a firmware file"));
    }
    void init() { QFile::remove(path("state.json")); }

    void everyDeviceCommandEndsWithExactlyOneResult_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("namesDevice");
        QTest::addRow("list") << QStringList({"list"}) << "devices=2" << 0 << false;
        QTest::addRow("list: bad simulator key") << QStringList({"list"}) << "bogus=1" << 2 << false;
        QTest::addRow("flash") << QStringList({"flash", "FILE"}) << "" << 0 << true;
        QTest::addRow("flash: transfer breaks off")
            << QStringList({"flash", "FILE"}) << "fail-batch=3" << 4 << true;
        QTest::addRow("flash: device never comes back")
            << QStringList({"flash", "FILE"}) << "restart-ms=never" << 4 << true;
        QTest::addRow("flash: damaged file") << QStringList({"flash", "DIR/bad.tvf"}) << "" << 1 << false;
        QTest::addRow("flash: no such device")
            << QStringList({"flash", "--device", "NOPE", "FILE"}) << "" << 3 << false;
        QTest::addRow("flash: unknown option")
            << QStringList({"flash", "--bogus", "FILE"}) << "" << 2 << false;
        QTest::addRow("flash --all") << QStringList({"flash", "--all", "FILE"}) << "devices=3" << 0 << false;
        QTest::addRow("flash --all: every device fails")
            << QStringList({"flash", "--all", "FILE"}) << "devices=2,fail-batch=2" << 4 << false;
        QTest::addRow("start-app") << QStringList({"start-app"}) << "" << 0 << true;
        QTest::addRow("restart") << QStringList({"restart"}) << "" << 0 << true;
        QTest::addRow("restart: several, none chosen")
            << QStringList({"restart"}) << "devices=2" << 3 << false;
        QTest::addRow("write-config") << QStringList({"write-config", "DIR/settings.bin"}) << "" << 0 << true;
        QTest::addRow("write-config: transfer fails")
            << QStringList({"write-config", "DIR/settings.bin"}) << "fail-batch=1" << 4 << true;
        QTest::addRow("read-config: nothing there")
            << QStringList({"read-config", "DIR/out.bin"}) << "" << 5 << true;
        QTest::addRow("write-settings")
            << QStringList({"write-settings", "1", "DIR/settings.bin"}) << "" << 0 << true;
        QTest::addRow("read-settings: empty slot")
            << QStringList({"read-settings", "2", "DIR/out.bin"}) << "" << 5 << true;
        QTest::addRow("clear-settings") << QStringList({"clear-settings"}) << "" << 0 << true;
        QTest::addRow("set-identity")
            << QStringList({"set-identity", "--serial", "ZOK9", "--board", "1.2"}) << "" << 0 << true;
        QTest::addRow("set-identity: serial too long")
            << QStringList({"set-identity", "--serial", "ABCDEFGHIJKLMNOPQ", "--board", "1.0"}) << "" << 2
            << false;
        QTest::addRow("load-keys") << QStringList({"load-keys", "DIR/primary.key", "DIR/secondary.key"}) << ""
                                   << 0 << true;
        QTest::addRow("load-keys: short key")
            << QStringList({"load-keys", "DIR/primary.key", "DIR/short.key"}) << "" << 1 << false;
        QTest::addRow("jtag-lock") << QStringList({"jtag-lock", "--yes"}) << "" << 0 << true;
        QTest::addRow("jtag-lock: not confirmed") << QStringList({"jtag-lock"}) << "" << 2 << true;
    }

    void everyDeviceCommandEndsWithExactlyOneResult()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, keys);
        const QString command = arguments.first();
        const CliResult result = runCli(withFiles(arguments) << "--json", simulator(keys));
        QTEST(result.exitCode, "exitCode");
        const QList<QJsonObject> objects = events(result.out);
        QVERIFY2(!objects.isEmpty(), result.out.constData());
        QCOMPARE(names(objects).count("result"), 1);
        const QJsonObject final = objects.last();
        QCOMPARE(final.value("event").toString(), QString("result"));
        QCOMPARE(final.value("command").toString(), command);
        QCOMPARE(final.value("exit").toInt(-1), result.exitCode);
        QCOMPARE(final.value("ok").toBool(), result.exitCode == 0);
        QCOMPARE(final.contains("reason"), result.exitCode != 0);
        QVERIFY(!final.value("reason").toString().startsWith("talvex-cli"));
        QVERIFY(final.value("seconds").isDouble() && final.value("seconds").toDouble() >= 0);
        QFETCH(bool, namesDevice);
        if (namesDevice) {
            QVERIFY(!final.value("serial").toString().isEmpty());
            QCOMPARE(final.value("usb").toObject().value("vendor").toString(), QString("1209"));
            QCOMPARE(final.value("usb").toObject().value("product").toString(), QString("7a10"));
            QVERIFY(final.value("old_firmware").toObject().contains("version"));
        }
    }

    void flashEventsCarryWhatALineNeeds()
    {
        const CliResult result = runCli({"flash", "--json", firmwareFile()}, simulator("serial=ZOK000100"));
        QCOMPARE(result.exitCode, 0);
        const QList<QJsonObject> objects = events(result.out);
        QCOMPARE(names(objects),
            QStringList({"device", "progress", "progress", "progress", "progress", "progress", "finishing",
                "device_left", "device_back", "result"}));
        QCOMPARE(objects.first().value("serial").toString(), QString("ZOK000100"));
        QCOMPARE(objects.first().value("mode").toString(), QString("application"));
        QList<int> percents;
        for (int i = 1; i <= 5; ++i)
            percents << objects.at(i).value("percent").toInt();
        QCOMPARE(percents, QList<int>({0, 25, 51, 76, 100}));
        const QJsonObject final = objects.last();
        QCOMPARE(final.value("usb").toObject().value("serial").toString(), QString("ZOK000100"));
        QCOMPARE(final.value("old_firmware").toObject().value("version").toString(), QString("1.0.0"));
        QCOMPARE(final.value("new_firmware").toObject().value("version").toString(), QString("7.3.1"));
        QCOMPARE(final.value("new_firmware").toObject().value("build").toInt(), 4242);
    }

    void flashAllFlashesEveryDeviceAndSaysSo()
    {
        const CliResult result = runCli({"flash", "--all", firmwareFile()}, simulator("devices=3"));
        QVERIFY2(result.exitCode == 0, result.err.constData());
        for (const char *serial : {"ZOK000001", "ZOK000002", "ZOK000003"}) {
            QVERIFY(result.out.contains(QByteArray(serial) + ": ok, 7.3.1, "));
            QVERIFY(result.out.contains(QByteArray("device: ") + serial));
        }
        QVERIFY(result.out.contains("flashed 3 of 3 devices in "));
        // Every device kept its new firmware, in the one state file they share.
        const CliResult list = runCli({"list"}, simulator("devices=3"));
        QCOMPARE(list.out.count("firmware: 7.3.1\n"), 3);
    }

    void flashAllFailsWhenAnyDeviceFails()
    {
        const CliResult result
            = runCli({"flash", "--all", "--json", firmwareFile()}, simulator("devices=2,unplug-batch=2"));
        QCOMPARE(result.exitCode, 4);
        const QList<QJsonObject> objects = events(result.out);
        QCOMPARE(names(objects).count("device_result"), 2);
        for (const QJsonObject &object : objects) {
            if (object.value("event") == "device_result") {
                QCOMPARE(object.value("ok").toBool(), false);
                QVERIFY(!object.value("reason").toString().isEmpty());
            }
        }
        QCOMPARE(objects.last().value("failed").toInt(), 2);
        QCOMPARE(objects.last().value("devices").toArray().size(), 2);
    }

    void flashAllWithoutDevicesFindsNothingToDo()
    {
        const CliResult result = runCli({"flash", "--all", firmwareFile()});
        QCOMPARE(result.exitCode, 3);
        QVERIFY(result.err.contains("no device attached"));
    }

    void badOptionsAreRefused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("reason");
        QTest::addRow("queue depth 0") << QStringList({"--queue-depth", "0"}) << "not a number from 1 to 64";
        QTest::addRow("queue depth 65")
            << QStringList({"--queue-depth", "65"}) << "not a number from 1 to 64";
        QTest::addRow("queue depth not a number") << QStringList({"--queue-depth", "x"}) << "\"x\"";
        QTest::addRow("--all with --device") << QStringList({"--all", "--device", "ZOK000001"}) << "--all";
    }

    void badOptionsAreRefused()
    {
        QFETCH(QStringList, arguments);
        const CliResult result = runCli(QStringList {"flash"} << arguments << firmwareFile(), simulator());
        QCOMPARE(result.exitCode, 2);
        QFETCH(QString, reason);
        QVERIFY2(result.err.contains(reason.toUtf8()), result.err.constData());
    }

    void queueDepthOneFlashesAsBefore()
    {
        const CliResult result = runCli({"flash", "--queue-depth", "1", firmwareFile()}, simulator());
        QVERIFY2(result.exitCode == 0, result.err.constData());
        QVERIFY(result.out.contains(
            "progress: 0%\nprogress: 25%\nprogress: 51%\nprogress: 76%\nprogress: 100%\n"));
        QVERIFY(result.out.endsWith("flashed: 7.3.1\n"));
    }
};

QTEST_GUILESS_MAIN(TestCliProduction)
#include "tst_cliproduction.moc"
