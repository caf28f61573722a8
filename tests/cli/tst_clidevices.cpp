// talvex-cli's device commands run as separate processes against simulated
// devices (TALVEX_SIMULATOR): what they print, how they end, and what the
// device keeps between runs (its state file).

#include "../ui/firmwarefixture.h"
#include "clirunner.h"
#include "firmware/firmwarefile.h"
#include "protocol/sim/vantorwire.h"

#include <QTemporaryDir>
#include <QTest>

class TestCliDevices : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString path(const char *name) const { return m_dir.filePath(QLatin1String(name)); }
    // A simulator with a fresh state file, plus the given keys.
    QString simulator(const QString &keys = QString()) const
    {
        return simulatorWithState(path("state.json"), keys);
    }

    QString firmwareFile(const char *name, uint8_t version, uint32_t build, int size = 1000)
    {
        const std::vector<uint8_t> image = vantorImagePayload(version, 3, 1, build, "master", size_t(size));
        return writeFirmwareFile(path(name), version, 3, 1, build, "master",
            QByteArray(reinterpret_cast<const char *>(image.data()), int(image.size())));
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void init() { QFile::remove(path("state.json")); }

    void listShowsWhatTheWindowShows_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QByteArray>("out");
        QTest::addRow("one device")
            << "serial=ZOK000100,board=3.1,firmware=1.4.2,build=317,fwname=release/1.4"
            << QByteArray("serial: ZOK000100\nboard: 3.1\nfirmware: 1.4.2 RC build nr 317\n"
                          "mode: application\nusb: 1209:7a10 ZOK000100\n");
        QTest::addRow("several, numbered from the serial")
            << "devices=2,serial=ZOK000009,firmware=2.0.0,fwname=master"
            << QByteArray("serial: ZOK000009\nboard: 2.0\nfirmware: 2.0.0\nmode: application\n"
                          "usb: 1209:7a10 ZOK000009\n\n"
                          "serial: ZOK000010\nboard: 2.0\nfirmware: 2.0.0\nmode: application\n"
                          "usb: 1209:7a10 ZOK000010\n");
        QTest::addRow("invalid firmware: placeholder, flashing mode")
            << "fwvalid=0"
            << QByteArray("serial: ZOK000001\nboard: 2.0\nfirmware: #.#.# build ###, name \"#####\"\n"
                          "mode: flashing\nusb: 1209:7a10 ZOK000001\n");
    }

    void listShowsWhatTheWindowShows()
    {
        QFETCH(QString, keys);
        const CliResult result = runCli({"list"}, keys);
        QCOMPARE(result.exitCode, 0);
        QTEST(result.out, "out");
    }

    void listWithoutDeviceSaysSoAndSucceeds()
    {
        const CliResult result = runCli({"list"});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out, QByteArray());
        QVERIFY(result.err.contains("no device attached"));
    }

    void flashSurvivesIntoTheNextRun()
    {
        const QString file = firmwareFile("fw.tvf", 7, 4242);
        const CliResult flash = runCli({"flash", file}, simulator());
        QVERIFY2(flash.exitCode == 0, flash.err.constData());
        QVERIFY(flash.out.startsWith("device: ZOK000001 (usb 1209:7a10 ZOK000001)\n"));
        QVERIFY(
            flash.out.contains("progress: 0%\nprogress: 25%\nprogress: 51%\nprogress: 76%\nprogress: 100%\n"
                               "waiting for the device to finish writing...\n"));
        QVERIFY(flash.out.endsWith("flashed: 7.3.1\n"));
        const CliResult list = runCli({"list"}, simulator());
        QVERIFY(list.out.contains("firmware: 7.3.1\nmode: application\n"));
    }

    void settingsAndConfigurationRoundTrip()
    {
        QVERIFY(writeBytes(path("slot.bin"), "slot two settings"));
        QVERIFY(writeBytes(path("config.bin"), QByteArray(600, 'c')));
        QCOMPARE(runCli({"write-settings", "2", path("slot.bin")}, simulator()).exitCode, 0);
        QCOMPARE(runCli({"write-config", path("config.bin")}, simulator()).exitCode, 0);

        const CliResult settings = runCli({"read-settings", "2", path("slot-back.bin")}, simulator());
        QVERIFY2(settings.exitCode == 0, settings.err.constData());
        QCOMPARE(readBytes(path("slot-back.bin")), QByteArray("slot two settings"));
        QCOMPARE(runCli({"read-config", path("config-back.bin")}, simulator()).exitCode, 0);
        QCOMPARE(readBytes(path("config-back.bin")), QByteArray(600, 'c'));

        // Another slot is empty: nothing read, nothing written.
        const CliResult empty = runCli({"read-settings", "1", path("empty.bin")}, simulator());
        QCOMPARE(empty.exitCode, 5);
        QVERIFY(!QFile::exists(path("empty.bin")));

        const CliResult cleared = runCli({"clear-settings"}, simulator());
        QVERIFY2(cleared.exitCode == 0, cleared.err.constData());
        QCOMPARE(runCli({"read-settings", "2", path("gone.bin")}, simulator()).exitCode, 5);
    }

    void identityIsCheckedAgainstWhatTheDeviceReports()
    {
        const CliResult result
            = runCli({"set-identity", "--serial", "ZOK777", "--board", "4.2", "--hw-type", "1"}, simulator());
        QVERIFY2(result.exitCode == 0, result.err.constData());
        QCOMPARE(result.out, QByteArray("identity: ZOK777\nboard: 4.2\nfree-slots: 3\n"));
        QVERIFY(runCli({"list"}, simulator()).out.startsWith("serial: ZOK777\nboard: 4.2\n"));
    }

    void keysAreLoadedWhenBothAre32Bytes()
    {
        QVERIFY(writeBytes(path("primary.key"), QByteArray(32, '\x11')));
        QVERIFY(writeBytes(path("secondary.key"), QByteArray(32, '\x22')));
        QVERIFY(writeBytes(path("short.key"), QByteArray(31, '\x33')));
        const CliResult loaded
            = runCli({"load-keys", path("primary.key"), path("secondary.key")}, simulator());
        QVERIFY2(loaded.exitCode == 0, loaded.err.constData());
        QCOMPARE(loaded.out, QByteArray("keys: loaded\nfree-slots: 3\n"));
        const CliResult refused = runCli({"load-keys", path("primary.key"), path("short.key")}, simulator());
        QCOMPARE(refused.exitCode, 1);
        QVERIFY(refused.err.contains("31 bytes"));
    }

    void failures_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("reason");
        QTest::addRow("transfer breaks off")
            << QStringList({"flash", "FILE"}) << "fail-batch=3" << 4 << "the transfer broke off at 51%";
        QTest::addRow("device vanishes mid-flash")
            << QStringList({"flash", "FILE"}) << "unplug-batch=2" << 4 << "broke off at 25%";
        QTest::addRow("device never comes back in flashing mode")
            << QStringList({"flash", "FILE"}) << "restart-ms=never" << 4 << "did not enter its flashing mode";
        QTest::addRow("device stays busy after the image")
            << QStringList({"flash", "FILE"}) << "busy-ms=never,timing=0.001" << 4
            << "failed: the device stayed busy writing and was given up on after 0.12 s; it stays in its "
               "flashing mode\n";
        QTest::addRow("device stays busy before a settings write")
            << QStringList({"write-settings", "1", "FILE"}) << "busy-ms=never,timing=0.001" << 4
            << "the device stayed busy writing and was given up on after 0.12 s\n";
        QTest::addRow("several devices, none chosen") << QStringList({"flash", "FILE"}) << "devices=2" << 3
                                                      << "2 devices attached; choose one with --device";
        QTest::addRow("no device with that serial")
            << QStringList({"flash", "--device", "NOPE", "FILE"}) << "" << 3 << "no attached device has";
        QTest::addRow("settings slot 4")
            << QStringList({"write-settings", "4", "FILE"}) << "" << 2 << "SLOT \"4\"";
        QTest::addRow("unknown simulator key") << QStringList({"list"}) << "bogus=1" << 2 << "bogus";
        QTest::addRow("JTAG lock without confirmation")
            << QStringList({"jtag-lock"}) << "" << 2 << "confirm with --yes";
        QTest::addRow("restarted device never comes back")
            << QStringList({"start-app"}) << "restart-ms=never,timing=0.01" << 4
            << "the device did not come back within 2.555 s of its restart";
        QTest::addRow("started device comes back in flashing mode")
            << QStringList({"start-app"}) << "fwvalid=0" << 4 << "came back in its flashing mode";
        QTest::addRow("--wait not a number") << QStringList({"list", "--wait", "soon"}) << "" << 2
                                             << "--wait \"soon\" is not a number of seconds";
        QTest::addRow("station --wait means nothing (DeviceCommand::takesWait)")
            << QStringList({"station", "--wait", "1", "FILE"}) << "" << 2 << "--wait does not apply";
        QTest::addRow("station --state without --serials (readOptions)")
            << QStringList({"station", "--state", "s.json", "FILE"}) << "" << 2 << "it needs --serials";
        QTest::addRow("--wait for a serial that never appears")
            << QStringList({"restart", "--device", "NOPE", "--wait", "0.2"}) << "" << 3
            << "no attached device has";
        QTest::addRow("serial longer than 16 bytes")
            << QStringList({"set-identity", "--serial", "ABCDEFGHIJKLMNOPQ", "--board", "1.0"}) << "" << 2
            << "17 bytes";
        QTest::addRow("empty serial")
            << QStringList({"set-identity", "--serial", "", "--board", "1.0"}) << "" << 2
            << "--serial \"\" is empty; the identity record needs 1 to 16 bytes";
        QTest::addRow("serial with a line break")
            << QStringList({"set-identity", "--serial", "ZOK\n1", "--board", "1.0"}) << "" << 2
            << "control character (U+000a)";
    }

    void failures()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, keys);
        arguments.replaceInStrings("FILE", firmwareFile("fw.tvf", 2, 1));
        const CliResult result = runCli(arguments, simulator(keys));
        QTEST(result.exitCode, "exitCode");
        QFETCH(QString, reason);
        QVERIFY2(result.err.contains(reason.toUtf8()), result.err.constData());
        QVERIFY(!result.out.contains("flashed:"));
    }

    void restartingCommandsReturnWithTheDeviceBack_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QByteArray>("out");
        QTest::addRow("start-app from flashing mode")
            << QStringList({"start-app"}) << "mode=loader,restart-ms=300"
            << QByteArray("sent: start application to ZOK000001\ndevice back in application mode\n");
        QTest::addRow("restart from the application")
            << QStringList({"restart"}) << "restart-ms=300"
            << QByteArray("sent: restart to ZOK000001\ndevice back in application mode\n");
        QTest::addRow("restart without valid firmware")
            << QStringList({"restart"}) << "fwvalid=0,restart-ms=300"
            << QByteArray("sent: restart to ZOK000001\ndevice back in flashing mode\n");
    }

    void restartingCommandsReturnWithTheDeviceBack()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, keys);
        const CliResult result = runCli(arguments, simulator(keys));
        QVERIFY2(result.exitCode == 0, result.err.constData());
        QTEST(result.out, "out");
    }

    void jtagLockWithYesIsSent()
    {
        const CliResult result = runCli({"jtag-lock", "--yes"}, simulator());
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out, QByteArray("sent: JTAG lock to ZOK000001\n"));
    }
};

QTEST_GUILESS_MAIN(TestCliDevices)
#include "tst_clidevices.moc"
