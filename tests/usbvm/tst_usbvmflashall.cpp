// talvex-cli flash --all against two gadgets at once, each on a device
// controller of its own, through the real kernel USB stack: both flashed,
// each reported in JSON and holding the image afterwards, and a device that
// leaves in the middle fails alone. Also prints the time of flashing both
// against flashing one, as a figure. Plugs the second gadget in for its own
// tests and pulls it out after them. Runs only in the virtual machine that
// run-usb-vm.sh boots.

#include "usbvmflashrig.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

namespace {

constexpr int imageSize = 256 * 1024;

// One talvex-cli run with --json, its events in order.
struct CliRun
{
    bool finished = false;
    int exitCode = -1;
    QList<QJsonObject> events;
    int unreadableLines = 0;
    QByteArray errors;
    double seconds = 0;

    QJsonObject result() const { return events.isEmpty() ? QJsonObject() : events.last(); }

    // The events of one kind, by the serial they name.
    QMap<QString, QJsonObject> bySerial(const QString &kind) const
    {
        QMap<QString, QJsonObject> found;
        for (const QJsonObject &event : events) {
            if (event.value(QStringLiteral("event")).toString() == kind)
                found.insert(event.value(QStringLiteral("serial")).toString(), event);
        }
        return found;
    }
};

// Runs talvex-cli, handing each event to onEvent as it arrives.
CliRun runCli(const QStringList &arguments, const std::function<void(const QJsonObject &)> &onEvent = {})
{
    CliRun run;
    QProcess cli;
    QByteArray pending;
    const auto readLines = [&] {
        pending += cli.readAllStandardOutput();
        for (int end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            const QJsonDocument line = QJsonDocument::fromJson(pending.left(end));
            pending.remove(0, end + 1);
            if (!line.isObject()) {
                ++run.unreadableLines;
                continue;
            }
            run.events << line.object();
            if (onEvent)
                onEvent(line.object());
        }
    };
    QObject::connect(&cli, &QProcess::readyReadStandardOutput, readLines);
    QElapsedTimer clock;
    clock.start();
    cli.start(QCoreApplication::applicationDirPath() + QStringLiteral("/talvex-cli"), arguments);
    run.finished = usbvmWaitFor([&] { return cli.state() == QProcess::NotRunning; }, 180000);
    run.seconds = double(clock.nsecsElapsed()) / 1e9;
    readLines();
    run.unreadableLines += pending.isEmpty() ? 0 : 1;
    run.exitCode = cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    run.errors = cli.readAllStandardError();
    return run;
}

QString serialOf(int gadget)
{
    return QString::fromStdString(usbvmGadgetPlace(gadget).serial);
}

// The build of the firmware under key (such as new_firmware), 0 without one.
int buildIn(const QJsonObject &fields, const char *key)
{
    return fields.value(QLatin1String(key)).toObject().value(QStringLiteral("build")).toInt();
}

} // namespace

class TestUsbVmFlashAll : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void flashAllFlashesBothDevicesAndEachHoldsTheImage();
    void flashOfOneChosenDeviceLeavesTheOtherAlone();
    void deviceLeavingInTheMiddleFailsAloneAndTheRunFails();

private:
    QString firmwareFile(uint32_t build);
    bool awaitDevicesInApplication(int count);
    // The firmware build `list` reports for each device, by serial.
    QMap<QString, int> listedBuilds();

    std::shared_ptr<LibusbHost> m_host;
    QProcess m_secondGadget;
    QTemporaryDir m_files;
    CliRun m_all; // the flash of both, for the figures
};

void TestUsbVmFlashAll::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("USBVM_UDC"))
        QSKIP("needs the virtual machine of run-usb-vm.sh");
    QVERIFY2(!qEnvironmentVariableIsEmpty("USBVM_SECOND_UDC"), "dummy_hcd should offer a second controller");
    QVERIFY(m_files.isValid());
    m_host = std::make_shared<LibusbHost>(DEVICE_INTERFACE_MATCH);
    usbvmSetPlugged(true);
    // The gadget plugs itself in once it is set up.
    m_secondGadget.setProcessChannelMode(QProcess::ForwardedChannels);
    m_secondGadget.start(QCoreApplication::applicationDirPath() + QStringLiteral("/usbvm-gadget"),
        {qEnvironmentVariable("USBVM_SECOND_UDC"), QStringLiteral("2")});
    QVERIFY(m_secondGadget.waitForStarted());
    QVERIFY(awaitDevicesInApplication(2));
}

void TestUsbVmFlashAll::cleanupTestCase()
{
    if (m_secondGadget.state() == QProcess::NotRunning)
        return;
    usbvmSetPlugged(false, 2);
    m_secondGadget.terminate();
    m_secondGadget.waitForFinished(10000);
    QVERIFY(usbvmWaitFor([this] { return usbvmListedPaths(*m_host).size() == 1; }));
}

QString TestUsbVmFlashAll::firmwareFile(uint32_t build)
{
    const QString path = m_files.filePath(QStringLiteral("fw-%1.tvf").arg(build));
    return usbvmFirmware(path, build, imageSize) ? path : QString();
}

bool TestUsbVmFlashAll::awaitDevicesInApplication(int count)
{
    return usbvmWaitFor(
        [&] {
            const std::vector<std::u16string> paths = usbvmListedPaths(*m_host);
            return int(paths.size()) == count
                && std::all_of(paths.cbegin(), paths.cend(), [](const std::u16string &path) {
                       return usbvmInterfaceProtocol(QString::fromStdU16String(path)) == usbvmApplicationMode;
                   });
        },
        60000);
}

QMap<QString, int> TestUsbVmFlashAll::listedBuilds()
{
    QMap<QString, int> builds;
    const CliRun list = runCli({QStringLiteral("list"), QStringLiteral("--json")});
    const QMap<QString, QJsonObject> devices = list.bySerial(QStringLiteral("device"));
    for (auto device = devices.cbegin(); device != devices.cend(); ++device) {
        const bool valid = device.value()
                               .value(QStringLiteral("firmware"))
                               .toObject()
                               .value(QStringLiteral("valid"))
                               .toBool();
        builds.insert(device.key(), valid ? buildIn(device.value(), "firmware") : -1);
    }
    return builds;
}

void TestUsbVmFlashAll::flashAllFlashesBothDevicesAndEachHoldsTheImage()
{
    const QString file = firmwareFile(501);
    QVERIFY(!file.isEmpty());
    const CliRun run
        = runCli({QStringLiteral("flash"), QStringLiteral("--all"), QStringLiteral("--json"), file});
    m_all = run;
    QVERIFY2(run.finished && run.exitCode == 0, run.errors.constData());
    QCOMPARE(run.unreadableLines, 0);

    const QMap<QString, QJsonObject> results = run.bySerial(QStringLiteral("device_result"));
    QCOMPARE(results.keys(), QStringList({serialOf(1), serialOf(2)}));
    for (auto result = results.cbegin(); result != results.cend(); ++result) {
        const QJsonObject &fields = result.value();
        QVERIFY2(fields.value(QStringLiteral("ok")).toBool(), qPrintable(result.key()));
        QCOMPARE(fields.value(QStringLiteral("usb")).toObject().value(QStringLiteral("serial")).toString(),
            result.key());
        const QJsonObject flashed = fields.value(QStringLiteral("new_firmware")).toObject();
        QCOMPARE(flashed.value(QStringLiteral("version")).toString(), QStringLiteral("1.4.2"));
        QCOMPARE(buildIn(fields, "new_firmware"), 501);
    }
    const QJsonObject summary = run.result();
    QCOMPARE(summary.value(QStringLiteral("event")).toString(), QStringLiteral("result"));
    QCOMPARE(summary.value(QStringLiteral("ok")).toBool(), true);
    QCOMPARE(summary.value(QStringLiteral("succeeded")).toInt(), 2);
    QCOMPARE(summary.value(QStringLiteral("failed")).toInt(), 0);
    QCOMPARE(summary.value(QStringLiteral("devices")).toArray().size(), 2);

    // Each device restarts into its application with the new image.
    QVERIFY(awaitDevicesInApplication(2));
    const QMap<QString, int> expected {{serialOf(1), 501}, {serialOf(2), 501}};
    QCOMPARE(listedBuilds(), expected);
}

void TestUsbVmFlashAll::flashOfOneChosenDeviceLeavesTheOtherAlone()
{
    const QString file = firmwareFile(502);
    QVERIFY(!file.isEmpty());
    const CliRun run = runCli(
        {QStringLiteral("flash"), QStringLiteral("--device"), serialOf(1), QStringLiteral("--json"), file});
    QVERIFY2(run.finished && run.exitCode == 0, run.errors.constData());
    QCOMPARE(run.result().value(QStringLiteral("serial")).toString(), serialOf(1));
    QCOMPARE(buildIn(run.result(), "new_firmware"), 502);
    QVERIFY(awaitDevicesInApplication(2));
    const QMap<QString, int> expected {{serialOf(1), 502}, {serialOf(2), 501}};
    QCOMPARE(listedBuilds(), expected);

    // A figure, not a limit: the machine may be busy with other work.
    const QMap<QString, QJsonObject> each = m_all.bySerial(QStringLiteral("device_result"));
    std::printf("usbvm-flashall: %d KiB image, whole talvex-cli process: flash --all on two devices %.2f s "
                "(the devices' own %.2f s and %.2f s), flash --device on one %.2f s (%.2f times)\n",
        imageSize / 1024, m_all.seconds, each.value(serialOf(1)).value(QStringLiteral("seconds")).toDouble(),
        each.value(serialOf(2)).value(QStringLiteral("seconds")).toDouble(), run.seconds,
        run.seconds > 0 ? m_all.seconds / run.seconds : 0.0);
    std::fflush(stdout);
}

void TestUsbVmFlashAll::deviceLeavingInTheMiddleFailsAloneAndTheRunFails()
{
    const QString file = firmwareFile(503);
    QVERIFY(!file.isEmpty());
    int percentAtUnplug = -1;
    const CliRun run
        = runCli({QStringLiteral("flash"), QStringLiteral("--all"), QStringLiteral("--json"), file},
            [&](const QJsonObject &event) {
                const int percent = event.value(QStringLiteral("percent")).toInt(-1);
                if (percentAtUnplug < 0 && percent >= 10
                    && event.value(QStringLiteral("serial")).toString() == serialOf(2)
                    && usbvmSetPlugged(false, 2))
                    percentAtUnplug = percent;
            });
    QVERIFY2(run.finished, run.errors.constData());
    QVERIFY2(percentAtUnplug >= 0 && percentAtUnplug < 100, qPrintable(QString::number(percentAtUnplug)));
    QCOMPARE(run.exitCode, 4);
    QCOMPARE(run.unreadableLines, 0);

    const QMap<QString, QJsonObject> results = run.bySerial(QStringLiteral("device_result"));
    QCOMPARE(results.keys(), QStringList({serialOf(1), serialOf(2)}));
    QVERIFY(results.value(serialOf(1)).value(QStringLiteral("ok")).toBool());
    QCOMPARE(buildIn(results.value(serialOf(1)), "new_firmware"), 503);
    const QJsonObject left = results.value(serialOf(2));
    QCOMPARE(left.value(QStringLiteral("ok")).toBool(true), false);
    QVERIFY(!left.value(QStringLiteral("reason")).toString().isEmpty());
    QVERIFY(!left.contains(QStringLiteral("new_firmware")));
    const QJsonObject summary = run.result();
    QCOMPARE(summary.value(QStringLiteral("event")).toString(), QStringLiteral("result"));
    QCOMPARE(summary.value(QStringLiteral("ok")).toBool(true), false);
    QCOMPARE(summary.value(QStringLiteral("succeeded")).toInt(), 1);
    QCOMPARE(summary.value(QStringLiteral("failed")).toInt(), 1);

    QVERIFY(awaitDevicesInApplication(1));
    const QMap<QString, int> expected {{serialOf(1), 503}};
    QCOMPARE(listedBuilds(), expected);
}

QTEST_GUILESS_MAIN(TestUsbVmFlashAll)
#include "tst_usbvmflashall.moc"
