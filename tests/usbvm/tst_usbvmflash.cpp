// Flashing through the tool's whole stack on the libusb host: the loader
// factory, the driver on its worker thread and the single-device proxy, as
// start-up wires them, against the Vantor device served as a USB gadget.
// Runs only in the virtual machine that run-usb-vm.sh boots.

#include "usbvmflashrig.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestUsbVmFlash : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void flashSwitchesModeSendsTheImageAndStartsTheApplication();
    void unplugInTheMiddleOfAFlashFailsAndAFlashAfterwardsWorks();
    void commandsThatRestartTheDeviceChainWithoutAPause();
    void waitFindsADevicePluggedInWhileItWaits();

private:
    QSharedPointer<FirmwareFile> firmware(uint32_t build, int size)
    {
        return usbvmFirmware(m_files.filePath(QStringLiteral("fw-%1.tvf").arg(build)), build, size);
    }
    QString devicePath() { return usbvmDevicePath(*m_host); }

    std::shared_ptr<LibusbHost> m_host;
    QTemporaryDir m_files;
};

void TestUsbVmFlash::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("USBVM_UDC"))
        QSKIP("needs the virtual machine of run-usb-vm.sh");
    QVERIFY(m_files.isValid());
    m_host = std::make_shared<LibusbHost>(DEVICE_INTERFACE_MATCH);
}

void TestUsbVmFlash::init()
{
    usbvmSetPlugged(true);
    QVERIFY(usbvmWaitFor([this] { return usbvmListedPaths(*m_host).size() == 1; }));
}

void TestUsbVmFlash::flashSwitchesModeSendsTheImageAndStartsTheApplication()
{
    const QString path = devicePath();
    QCOMPARE(usbvmInterfaceProtocol(path), int(usbvmApplicationMode));
    FlashRig rig(m_host);
    rig.handOver();
    QCOMPARE(rig.attached.count(), 1);

    const int imageSize = 1 << 20;
    const QSharedPointer<FirmwareFile> file = firmware(317, imageSize);
    QVERIFY(file);
    QList<int> progress;
    int protocolWhileSending = -1;
    QObject::connect(&rig.proxy, &OneDeviceUsbLoaderProxy::flashingProgress, this, [&](int percent) {
        if (percent == 50)
            protocolWhileSending = usbvmInterfaceProtocol(path);
        progress << percent;
    });
    emit rig.proxy.flashFirmware(file);
    QVERIFY(rig.awaitFlashes(1, 180000));
    QCOMPARE(rig.failed.count(), 0);
    const QList<QVariant> result = rig.reprogrammed.first();
    QCOMPARE(result.at(3).toUInt(), 317u);
    QCOMPARE(result.at(4).toString(), QStringLiteral("vmflash"));
    QCOMPARE(progress.first(), 0);
    QCOMPARE(progress.last(), 100);
    QVERIFY(std::is_sorted(progress.cbegin(), progress.cend()));
    // The device took the image in flashing mode.
    QCOMPARE(protocolWhileSending, int(usbvmFlashingMode));

    // The loader may already be restarting it into the application; the
    // window's request comes on top, as after the user closed the message.
    emit rig.proxy.startApp();
    QVERIFY(usbvmWaitFor([&] { return usbvmInterfaceProtocol(path) == usbvmApplicationMode; }));
    // Back under the same port.
    QVERIFY(usbvmWaitFor([&] { return devicePath() == path; }));
}

void TestUsbVmFlash::unplugInTheMiddleOfAFlashFailsAndAFlashAfterwardsWorks()
{
    FlashRig rig(m_host);
    rig.handOver();
    QCOMPARE(rig.attached.count(), 1);

    bool unplugged = false;
    QObject::connect(&rig.proxy, &OneDeviceUsbLoaderProxy::flashingProgress, this, [&](int percent) {
        if (percent >= 25 && !unplugged)
            unplugged = usbvmSetPlugged(false);
    });
    emit rig.proxy.flashFirmware(firmware(318, 256 * 1024));
    QVERIFY(rig.awaitFlashes(1, 60000));
    QVERIFY(unplugged);
    QCOMPARE(rig.reprogrammed.count(), 0);
    QCOMPARE(rig.failed.count(), 1);

    // Plugged in again, the device is found anew and takes the next flash whole.
    QVERIFY(usbvmSetPlugged(true));
    QVERIFY(usbvmWaitFor([&] { return rig.attached.count() == 2; }));
    emit rig.proxy.flashFirmware(firmware(319, 64 * 1024));
    QVERIFY(rig.awaitFlashes(2, 60000));
    QCOMPARE(rig.failed.count(), 1);
    QCOMPARE(rig.reprogrammed.count(), 1);
    QCOMPARE(rig.reprogrammed.first().at(3).toUInt(), 319u);
}

void TestUsbVmFlash::commandsThatRestartTheDeviceChainWithoutAPause()
{
    // Each command that restarts the gadget returns once it has enumerated
    // again, so the next process finds it at once: no pause between them.
    // The gadget takes a second to restart, as a real device may.
    const auto setRestartDelay = [this](uint16_t milliseconds) {
        const auto driver = usbvmDriver(m_host);
        const QList<USBDevice *> devices = driver->devices();
        return devices.size() == 1
            && devices.first()->interfaces().first()->controlOut(
                UsbvmSetRestartDelay, milliseconds, QByteArray());
    };
    QVERIFY(setRestartDelay(1000));
    struct Restore
    {
        std::function<void()> restore;
        ~Restore() { restore(); }
    } restore {[&] {
        usbvmWaitFor([&] { return usbvmListedPaths(*m_host).size() == 1; });
        setRestartDelay(0);
    }};
    const QString config = m_files.filePath(QStringLiteral("config.bin"));
    const QString configBack = m_files.filePath(QStringLiteral("config-back.bin"));
    const QByteArray configBytes(600, 'v');
    QFile configFile(config);
    QVERIFY(configFile.open(QIODevice::WriteOnly) && configFile.write(configBytes) == configBytes.size());
    configFile.close();
    QVERIFY(firmware(318, 64 * 1024));
    const QString image = m_files.filePath(QStringLiteral("fw-318.tvf"));
    const QList<QStringList> chain {{QStringLiteral("write-config"), config},
        {QStringLiteral("read-config"), configBack},
        {QStringLiteral("set-identity"), QStringLiteral("--serial"), QStringLiteral("ZOK000001"),
            QStringLiteral("--board"), QStringLiteral("2.0"), QStringLiteral("--hw-type"),
            QStringLiteral("1")},
        {QStringLiteral("flash"), image}, {QStringLiteral("restart")}, {QStringLiteral("list")}};
    QList<QByteArray> outputs;
    for (const QStringList &arguments : chain) {
        QProcess cli;
        cli.start(QCoreApplication::applicationDirPath() + QStringLiteral("/talvex-cli"), arguments);
        QVERIFY(cli.waitForFinished(120000));
        const QByteArray err = cli.readAllStandardError();
        QVERIFY2(cli.exitStatus() == QProcess::NormalExit && cli.exitCode() == 0,
            qPrintable(
                arguments.join(QLatin1Char(' ')) + QStringLiteral(": ") + QString::fromLocal8Bit(err)));
        outputs << cli.readAllStandardOutput();
    }
    QFile back(configBack);
    QVERIFY(back.open(QIODevice::ReadOnly));
    QCOMPARE(back.readAll(), configBytes);
    QVERIFY2(outputs.at(4).contains("device back in application mode"), outputs.at(4).constData());
    QVERIFY2(outputs.at(5).startsWith("serial: ZOK000001\n"), outputs.at(5).constData());
    QVERIFY2(outputs.at(5).contains("mode: application\n"), outputs.at(5).constData());
}

void TestUsbVmFlash::waitFindsADevicePluggedInWhileItWaits()
{
    QVERIFY(usbvmSetPlugged(false));
    QVERIFY(usbvmWaitFor([this] { return usbvmListedPaths(*m_host).empty(); }));
    QProcess cli;
    cli.start(QCoreApplication::applicationDirPath() + QStringLiteral("/talvex-cli"),
        {QStringLiteral("restart"), QStringLiteral("--device"), QStringLiteral("ZOK000001"),
            QStringLiteral("--wait"), QStringLiteral("30")});
    QVERIFY(cli.waitForStarted());
    // Plugged in only once the command has started looking and found nothing.
    QTest::qWait(1500);
    QCOMPARE(cli.state(), QProcess::Running);
    QVERIFY(usbvmSetPlugged(true));
    QVERIFY(cli.waitForFinished(60000));
    const QByteArray err = cli.readAllStandardError();
    QVERIFY2(cli.exitStatus() == QProcess::NormalExit && cli.exitCode() == 0, err.constData());
    QVERIFY(cli.readAllStandardOutput().contains("device back in application mode"));
}

QTEST_GUILESS_MAIN(TestUsbVmFlash)
#include "tst_usbvmflash.moc"
