// The libusb host and the USB layer on it, against the test gadget through
// the real kernel USB stack (dummy_hcd, FunctionFS, usbfs, udev). Runs only
// in the virtual machine that run-usb-vm.sh boots; it plugs and unplugs the
// gadget by binding and unbinding its device controller.

#include "protocol/loaderrequest.h"
#include "usb/inaccessibledevices.h"
#include "usbvmsupport.h"

#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <grp.h>
#include <unistd.h>

#include <atomic>
#include <thread>

Q_DECLARE_METATYPE(UsbOpenError)

class TestUsbVm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void listsTheDeviceUnderItsPort();
    void openIsExclusiveUntilClosed();
    void driverReadsIdentityInterfaceAndPipes();
    void controlTransfersRoundTrip_data();
    void controlTransfersRoundTrip();
    void stalledRequestsFail();
    void bulkPipesMoveEveryByte();
    void queuedWritesReportEveryBatchInOrder();
    void restartIsFollowedIntoTheOtherMode();
    void hotplugReachesTheDriver();
    void deviceThatLeftAndReturnedBetweenScansIsReplaced();
    void unplugInTheMiddleOfWritingEndsTheWrites();
    void userWithoutPermissionIsToldSo();
    void commandLineListsTheDevice();

private:
    USBDevice *onlyDevice(USBDriver &driver);
    QString udevTags(const QString &path);

    std::shared_ptr<LibusbHost> m_host;
};

void TestUsbVm::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("USBVM_UDC"))
        QSKIP("needs the virtual machine of run-usb-vm.sh");
    m_host = std::make_shared<LibusbHost>(DEVICE_INTERFACE_MATCH);
    QVERIFY(m_host->isAvailable());
    QVERIFY2(m_host->hasHotplug(), "udev runs in the machine, so libusb should have hot-plug");
}

void TestUsbVm::init()
{
    // Every test starts with the gadget plugged in and listed.
    usbvmSetPlugged(true);
    QVERIFY(usbvmWaitFor([this] { return usbvmListedPaths(*m_host).size() == 1; }));
}

USBDevice *TestUsbVm::onlyDevice(USBDriver &driver)
{
    const QList<USBDevice *> devices = driver.devices();
    return devices.size() == 1 ? devices.first() : nullptr;
}

// The udev tags of the device at a port path such as "usb:1-1".
QString TestUsbVm::udevTags(const QString &path)
{
    const QString sysfs = QStringLiteral("/sys/bus/usb/devices/") + path.mid(4);
    QFile bus(sysfs + QStringLiteral("/busnum"));
    QFile address(sysfs + QStringLiteral("/devnum"));
    if (!bus.open(QIODevice::ReadOnly) || !address.open(QIODevice::ReadOnly))
        return QString();
    const QString node = QStringLiteral("/dev/bus/usb/%1/%2")
                             .arg(bus.readAll().trimmed().toInt(), 3, 10, QLatin1Char('0'))
                             .arg(address.readAll().trimmed().toInt(), 3, 10, QLatin1Char('0'));
    QProcess udevadm;
    udevadm.start(QStringLiteral("udevadm"),
        {QStringLiteral("info"), QStringLiteral("-q"), QStringLiteral("property"), QStringLiteral("-n"),
            node});
    udevadm.waitForFinished(10000);
    for (const QByteArray &line : udevadm.readAllStandardOutput().split('\n')) {
        if (line.startsWith("TAGS="))
            return QString::fromLatin1(line.mid(5));
    }
    return QString();
}

void TestUsbVm::listsTheDeviceUnderItsPort()
{
    const std::vector<std::u16string> paths = usbvmListedPaths(*m_host);
    const QString path = QString::fromStdU16String(paths.front());
    QVERIFY2(QRegularExpression(QStringLiteral("^usb:\\d+-\\d+(\\.\\d+)*$")).match(path).hasMatch(),
        qPrintable(path));
    // The rule that lets a user at the seat open the device matches it.
    QVERIFY2(udevTags(path).contains(QLatin1String(":uaccess:")), qPrintable(udevTags(path)));
}

void TestUsbVm::openIsExclusiveUntilClosed()
{
    const std::u16string path = usbvmListedPaths(*m_host).front();
    // Another program: a second host has a libusb context of its own.
    LibusbHost otherProgram(DEVICE_INTERFACE_MATCH);
    UsbFileHandle first = UsbFileHandle::Invalid;
    UsbFileHandle second = UsbFileHandle::Invalid;
    UsbOpenError error = UsbOpenError::Failed;
    QVERIFY(m_host->openFile(path, first, error));
    QCOMPARE(error, UsbOpenError::None);
    QVERIFY(m_host->isAttached(first));
    QVERIFY(!otherProgram.openFile(path, second, error));
    QCOMPARE(error, UsbOpenError::InUse);
    QVERIFY(m_host->closeFile(first));
    QVERIFY(otherProgram.openFile(path, second, error));
    QVERIFY(otherProgram.closeFile(second));
    QVERIFY(!m_host->openFile(u"usb:9-9", first, error));
    QCOMPARE(error, UsbOpenError::NotPresent);
}

void TestUsbVm::driverReadsIdentityInterfaceAndPipes()
{
    const auto driver = usbvmDriver(m_host);
    USBDevice *device = onlyDevice(*driver);
    QVERIFY(device);
    QCOMPARE(device->deviceId().vendorId, usbvmVendorId);
    QCOMPARE(device->deviceId().productId, usbvmProductId);
    QCOMPARE(device->deviceId().serialNumber, QString::fromLatin1(usbvmSerialNumber));
    QCOMPARE(device->interfaces().size(), 1);
    USBInterface *usbInterface = device->interfaces().first();
    QCOMPARE(int(usbInterface->interfaceClass()), 0xFF);
    QCOMPARE(int(usbInterface->interfaceSubClass()), 1);
    QCOMPARE(int(usbInterface->interfaceProtocol()), int(usbvmApplicationMode));
    // The kernel numbers the pipes itself; whatever it chose comes from the descriptors.
    QCOMPARE(usbInterface->endpoints().size(), 2);
    for (bool in : {false, true}) {
        USBEndpoint *pipe = usbvmPipe(usbInterface, in);
        QVERIFY(pipe);
        QCOMPARE(pipe->pipeInformation().PipeType, uint32_t(UsbPipeBulk));
        QCOMPARE(int(pipe->pipeInformation().MaximumPacketSize), 512);
    }
}

void TestUsbVm::controlTransfersRoundTrip_data()
{
    QTest::addColumn<int>("size");
    QTest::addRow("one byte") << 1;
    QTest::addRow("one packet") << 64;
    QTest::addRow("several packets") << 300;
    QTest::addRow("a settings slot's worth") << 4096;
}

void TestUsbVm::controlTransfersRoundTrip()
{
    QFETCH(int, size);
    const auto driver = usbvmDriver(m_host);
    QVERIFY(onlyDevice(*driver));
    USBInterface *usbInterface = onlyDevice(*driver)->interfaces().first();
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char(i * 7 + size);
    QVERIFY(usbInterface->controlOut(UsbvmStoreBytes, 0, data));
    QCOMPARE(usbInterface->controlIn(UsbvmReadBytes, 0, uint16_t(size)), data);
}

void TestUsbVm::stalledRequestsFail()
{
    const auto driver = usbvmDriver(m_host);
    QVERIFY(onlyDevice(*driver));
    USBInterface *usbInterface = onlyDevice(*driver)->interfaces().first();
    QVERIFY_EXCEPTION_THROWN(usbInterface->controlIn(0x77, 0, 8), USBInterface::ControlTransferException);
    QVERIFY(!usbInterface->controlTransfer(0x77, 0, nullptr, 0, false));
    // A stall ends one request, not the device.
    QVERIFY(usbInterface->controlOut(UsbvmStoreBytes, 0, QByteArray("ok")));
    QCOMPARE(usbInterface->controlIn(UsbvmReadBytes, 0, 2), QByteArray("ok"));
}

void TestUsbVm::bulkPipesMoveEveryByte()
{
    const auto driver = usbvmDriver(m_host);
    QVERIFY(onlyDevice(*driver));
    USBInterface *usbInterface = onlyDevice(*driver)->interfaces().first();
    QVERIFY(usbInterface->controlOut(UsbvmResetCounters, 0, QByteArray()));
    USBEndpoint *out = usbvmPipe(usbInterface, false);
    for (int batch = 0; batch < 64; ++batch)
        QVERIFY(out->write(QByteArray(256, char(batch))));
    QCOMPARE(usbvmCounters(usbInterface), std::make_pair(uint32_t(64 * 256), uint32_t(64)));

    QVERIFY(usbInterface->controlOut(UsbvmSendTestChunks, 2, QByteArray()));
    for (int n = 0; n < 2; ++n) {
        QByteArray chunk(512, '\0');
        QVERIFY(usbvmPipe(usbInterface, true)->read(chunk));
        QCOMPARE(chunk.size(), 64);
        for (int i = 0; i < chunk.size(); ++i)
            QCOMPARE(uint8_t(chunk[i]), uint8_t(n + i));
    }
}

void TestUsbVm::queuedWritesReportEveryBatchInOrder()
{
    const auto driver = usbvmDriver(m_host);
    QVERIFY(onlyDevice(*driver));
    USBInterface *usbInterface = onlyDevice(*driver)->interfaces().first();
    QVERIFY(usbInterface->controlOut(UsbvmResetCounters, 0, QByteArray()));
    // 255 batches of 256 bytes and a short last one, eight of them in
    // flight; no two batches alike, so that one sent twice, left out or out
    // of place changes what the device received.
    QByteArray data(255 * 256 + 100, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(i + i / 256);
    QList<int> reported;
    QVERIFY(
        usbvmPipe(usbInterface, false)->writeBatches(data, 256, 8, [&](int batch) { reported << batch; }));
    QCOMPARE(reported.size(), 256);
    for (int i = 0; i < reported.size(); ++i)
        QCOMPARE(reported.at(i), i);
    // The device saw the same transfers as from one write per batch, with the same bytes in order.
    QCOMPARE(usbvmCounters(usbInterface), std::make_pair(uint32_t(data.size()), uint32_t(256)));
    QCOMPARE(usbvmReceivedHash(usbInterface),
        usbvmHash(reinterpret_cast<const uint8_t *>(data.constData()), std::size_t(data.size())));
}

void TestUsbVm::restartIsFollowedIntoTheOtherMode()
{
    const auto driver = usbvmDriver(m_host);
    USBDevice *device = onlyDevice(*driver);
    QVERIFY(device);
    USBInterface *usbInterface = device->interfaces().first();
    const QString path = device->path();
    const QList<QPair<LoaderRequest, uint8_t>> restarts
        = {{LoaderRequest::EnterFlashingMode, usbvmFlashingMode},
            {LoaderRequest::StartApplication, usbvmApplicationMode}};
    for (const auto &restart : restarts) {
        usbInterface->controlTransfer(requestCode(restart.first), 0, nullptr, 0, false);
        QVERIFY(usbvmWaitFor([device] { return !device->isAttached(); }));
        QVERIFY(device->reopen(5000));
        QCOMPARE(device->path(), path);
        QCOMPARE(device->interfaces().size(), 1);
        // The same interface object, now in the device's other mode.
        QCOMPARE(device->interfaces().first(), usbInterface);
        QCOMPARE(int(usbInterface->interfaceProtocol()), int(restart.second));
        QVERIFY(usbInterface->controlOut(UsbvmStoreBytes, 0, QByteArray(1, char(restart.second))));
        QCOMPARE(usbInterface->controlIn(UsbvmReadBytes, 0, 1), QByteArray(1, char(restart.second)));
        QVERIFY2(usbvmWaitFor([&] { return udevTags(path).contains(QLatin1String(":uaccess:")); }),
            "the rule covers both modes");
    }
}

void TestUsbVm::hotplugReachesTheDriver()
{
    const auto driver = usbvmDriver(m_host, true);
    QSignalSpy removed(driver.get(), &USBDriver::deviceRemoved);
    QSignalSpy added(driver.get(), &USBDriver::deviceAdded);
    QVERIFY(removed.isValid() && added.isValid());
    QVERIFY(onlyDevice(*driver));

    QVERIFY(usbvmSetPlugged(false));
    QVERIFY(usbvmWaitFor([&] { return removed.count() == 1; }));
    QVERIFY(driver->devices().isEmpty());
    QVERIFY(usbvmSetPlugged(true));
    QVERIFY(usbvmWaitFor([&] { return added.count() == 1; }));
    QCOMPARE(added.first().first().value<USBDriver::TDeviceID>().serialNumber,
        QString::fromLatin1(usbvmSerialNumber));
    QVERIFY(onlyDevice(*driver) && onlyDevice(*driver)->isAttached());
}

void TestUsbVm::deviceThatLeftAndReturnedBetweenScansIsReplaced()
{
    const auto driver = usbvmDriver(m_host);
    QSignalSpy removed(driver.get(), &USBDriver::deviceRemoved);
    QSignalSpy added(driver.get(), &USBDriver::deviceAdded);
    USBDevice *before = onlyDevice(*driver);
    QVERIFY(before);

    QVERIFY(usbvmSetPlugged(false));
    QVERIFY(usbvmWaitFor([this] { return usbvmListedPaths(*m_host).empty(); }));
    QVERIFY(usbvmSetPlugged(true));
    QVERIFY(usbvmWaitFor([this] { return usbvmListedPaths(*m_host).size() == 1; }));
    // The path is the same as before; only the device instance behind it changed.
    driver->scanDevices();
    QCOMPARE(removed.count(), 1);
    QCOMPARE(added.count(), 1);
    USBDevice *after = onlyDevice(*driver);
    QVERIFY(after && after->isOpen() && after->isAttached());
    QCOMPARE(after->path(), added.first().at(1).value<USBDevice *>()->path());
}

void TestUsbVm::unplugInTheMiddleOfWritingEndsTheWrites()
{
    const auto driver = usbvmDriver(m_host);
    QVERIFY(onlyDevice(*driver));
    USBEndpoint *out = usbvmPipe(onlyDevice(*driver)->interfaces().first(), false);
    std::atomic<int> written {0};
    std::atomic<bool> failed {false};
    // Bounded: a write fails at once without the device, or at its time-out.
    std::thread writer([&] {
        const QByteArray batch(256, '\x5a');
        for (int i = 0; i < 100000 && !failed; ++i) {
            if (out->write(batch))
                ++written;
            else
                failed = true;
        }
    });
    const bool wroteSome = usbvmWaitFor([&] { return written >= 64 || failed; });
    const bool unplugged = usbvmSetPlugged(false);
    writer.join();
    QVERIFY(wroteSome);
    QVERIFY(unplugged);
    QVERIFY2(failed, "writing to a device that left must fail, not go on");
    QVERIFY(usbvmWaitFor([this] { return usbvmListedPaths(*m_host).empty(); }));
    driver->scanDevices();
    QVERIFY(driver->devices().isEmpty());
}

void TestUsbVm::userWithoutPermissionIsToldSo()
{
    QProcess asNobody;
    asNobody.setProcessChannelMode(QProcess::MergedChannels);
    asNobody.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--check-inaccessible")});
    QVERIFY(asNobody.waitForFinished(30000));
    const QByteArray output = asNobody.readAll();
    QVERIFY2(asNobody.exitStatus() == QProcess::NormalExit && asNobody.exitCode() == 0,
        qPrintable(
            QStringLiteral("exit %1: %2").arg(asNobody.exitCode()).arg(QString::fromLocal8Bit(output))));
    QCOMPARE(output.trimmed(),
        QByteArray("inaccessible: ")
            + QString::fromStdU16String(usbvmListedPaths(*m_host).front()).toLatin1());
}

void TestUsbVm::commandLineListsTheDevice()
{
    QProcess cli;
    cli.start(
        QCoreApplication::applicationDirPath() + QStringLiteral("/talvex-cli"), {QStringLiteral("list")});
    QVERIFY(cli.waitForFinished(60000));
    QVERIFY2(cli.exitCode() == 0, cli.readAllStandardError().constData());
    const QString listed = QString::fromLatin1(cli.readAllStandardOutput());
    QVERIFY2(
        listed.contains(
            QStringLiteral("mode: application\nusb: 1209:7a10 %1\n").arg(QLatin1String(usbvmSerialNumber))),
        qPrintable(listed));
    QCOMPARE(cli.readAllStandardError(), QByteArray());
}

namespace {

// Run as a user without permission on the device node (nobody; device
// nodes are root's alone without a rule that grants more): the host must say
// so, the driver must list the device as present but not accessible, and
// talvex-cli must tell the user what to do.
int checkInaccessible(int argc, char *argv[])
{
    const gid_t nogroup = 65534;
    if (setgroups(0, nullptr) != 0 || setgid(nogroup) != 0 || setuid(65534) != 0)
        return 9;
    QCoreApplication app(argc, argv);
    auto host = std::make_shared<LibusbHost>(DEVICE_INTERFACE_MATCH);
    const std::vector<std::u16string> paths = usbvmListedPaths(*host);
    if (paths.size() != 1)
        return 10;
    UsbFileHandle file = UsbFileHandle::Invalid;
    UsbOpenError error = UsbOpenError::None;
    if (host->openFile(paths.front(), file, error))
        return 11;
    if (error != UsbOpenError::AccessDenied)
        return 12;
    const auto driver = usbvmDriver(host);
    if (!driver->devices().isEmpty())
        return 13;
    const QStringList inaccessible = driver->inaccessibleDevices()->paths();
    if (inaccessible != QStringList {QString::fromStdU16String(paths.front())})
        return 14;

    // Every device command ends with the advice; list shows it beside what it lists.
    const QString cliPath = QCoreApplication::applicationDirPath() + QStringLiteral("/talvex-cli");
    for (const QString &command : {QStringLiteral("start-app"), QStringLiteral("list")}) {
        QProcess cli;
        cli.start(cliPath, {command});
        const bool finished = cli.waitForFinished(60000);
        const QByteArray advice = cli.readAllStandardError();
        if (!finished || cli.exitCode() != (command == QLatin1String("list") ? 0 : 3)
            || !advice.contains(inaccessible.first().toLatin1()) || !advice.contains("udev rule")) {
            std::printf(
                "talvex-cli %s: exit %d: %s\n", qPrintable(command), cli.exitCode(), advice.constData());
            return 15;
        }
    }
    std::printf("inaccessible: %s\n", qPrintable(inaccessible.first()));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 2 && qstrcmp(argv[1], "--check-inaccessible") == 0)
        return checkInaccessible(argc, argv);
    QCoreApplication app(argc, argv);
    TestUsbVm test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_usbvm.moc"
