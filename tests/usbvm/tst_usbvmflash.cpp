// Flashing through the tool's whole stack on the libusb host: the loader
// factory, the driver on its worker thread and the single-device proxy, as
// start-up wires them, against the Vantor device served as a USB gadget.
// Runs only in the virtual machine that run-usb-vm.sh boots.

#include "app/deviceside.h"
#include "firmware/firmwarefile.h"
#include "protocol/onedeviceusbloaderproxy.h"
#include "protocol/sim/vantorwire.h"
#include "protocol/usbloaderfactory.h"
#include "usbvmsupport.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

namespace {

// The driver on a worker thread with the loader factory, and the proxy on
// this thread, connected as start-up connects them.
class FlashRig
{
public:
    explicit FlashRig(const std::shared_ptr<LibusbHost> &host)
    {
        DeviceSide::registerMetaTypes();
        UsbPlatform platform {host, std::make_unique<LibusbChangeNotifier>(host)};
        m_driver = std::make_unique<USBDriver>(
            QList<QSharedPointer<UsbInterfaceHandlerFactory>> {m_factory}, std::move(platform));
        m_driver->moveToThread(&m_worker);
        m_worker.start();
        QObject::connect(
            m_driver.get(), &USBDriver::deviceAdded, &proxy, &OneDeviceUsbLoaderProxy::onDeviceAdded);
        QObject::connect(
            m_driver.get(), &USBDriver::deviceRemoved, &proxy, &OneDeviceUsbLoaderProxy::onDeviceRemoved);
    }
    ~FlashRig()
    {
        m_worker.quit();
        m_worker.wait();
        m_driver.reset();
    }

    // Hands over what the driver's first scan found, as start-up does.
    void handOver()
    {
        const auto found = m_driver->devicesById();
        for (auto device = found.cbegin(); device != found.cend(); ++device)
            proxy.onDeviceAdded(device.key(), device.value());
    }

    OneDeviceUsbLoaderProxy proxy;

private:
    QSharedPointer<usbLoaderFactory> m_factory = QSharedPointer<usbLoaderFactory>::create();
    QThread m_worker;
    std::unique_ptr<USBDriver> m_driver;
};

} // namespace

class TestUsbVmFlash : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void flashSwitchesModeSendsTheImageAndStartsTheApplication();
    void unplugInTheMiddleOfAFlashFailsAndAFlashAfterwardsWorks();

private:
    QSharedPointer<FirmwareFile> firmware(uint32_t build, int size);
    QString devicePath();

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

QString TestUsbVmFlash::devicePath()
{
    const std::vector<std::u16string> paths = usbvmListedPaths(*m_host);
    return paths.size() == 1 ? QString::fromStdU16String(paths.front()) : QString();
}

// A firmware file whose image names version 1.4.2 with the build, as the device reads it.
QSharedPointer<FirmwareFile> TestUsbVmFlash::firmware(uint32_t build, int size)
{
    const std::vector<uint8_t> image = vantorImagePayload(1, 4, 2, build, "vmflash", std::size_t(size));
    FirmwareFile::THeader header {};
    std::memcpy(header.magic, "BZOK", 4);
    header.version = 1;
    header.subversion = 4;
    header.bugfix = 2;
    header.build = build;
    std::memcpy(header.name, "vmflash", 7);
    header.dataSize = quint32(image.size());
    const QString path = m_files.filePath(QStringLiteral("fw-%1.tvf").arg(build));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write(FirmwareFile::fileHeaderBytes(header));
    file.write(reinterpret_cast<const char *>(image.data()), int(image.size()));
    file.close();
    auto loaded = QSharedPointer<FirmwareFile>::create();
    loaded->loadFile(path);
    return loaded;
}

void TestUsbVmFlash::flashSwitchesModeSendsTheImageAndStartsTheApplication()
{
    const QString path = devicePath();
    QCOMPARE(usbvmInterfaceProtocol(path), int(usbvmApplicationMode));
    FlashRig rig(m_host);
    QSignalSpy attached(&rig.proxy, &OneDeviceUsbLoaderProxy::deviceAttached);
    QSignalSpy reprogrammed(&rig.proxy, &OneDeviceUsbLoaderProxy::firmwareReprogrammed);
    QSignalSpy failed(&rig.proxy, &OneDeviceUsbLoaderProxy::flashingFailed);
    rig.handOver();
    QCOMPARE(attached.count(), 1);

    const int imageSize = 1 << 20;
    const QSharedPointer<FirmwareFile> file = firmware(317, imageSize);
    QVERIFY(file);
    QList<int> progress;
    QElapsedTimer clock;
    qint64 firstBatch = 0;
    qint64 lastBatch = 0;
    QObject::connect(&rig.proxy, &OneDeviceUsbLoaderProxy::flashingProgress, this, [&](int percent) {
        if (progress.isEmpty())
            firstBatch = clock.nsecsElapsed();
        progress << percent;
        lastBatch = clock.nsecsElapsed();
    });
    clock.start();
    emit rig.proxy.flashFirmware(file);
    QVERIFY(usbvmWaitFor([&] { return reprogrammed.count() + failed.count() > 0; }, 180000));
    QCOMPARE(failed.count(), 0);
    const QList<QVariant> result = reprogrammed.first();
    QCOMPARE(result.at(3).toUInt(), 317u);
    QCOMPARE(result.at(4).toString(), QStringLiteral("vmflash"));
    QCOMPARE(progress.first(), 0);
    QCOMPARE(progress.last(), 100);
    QVERIFY(std::is_sorted(progress.cbegin(), progress.cend()));
    // The device went into flashing mode for the image, under the same port.
    QCOMPARE(devicePath(), path);
    QCOMPARE(usbvmInterfaceProtocol(path), int(usbvmFlashingMode));
    const double seconds = double(lastBatch - firstBatch) / 1e9;
    std::printf("usbvm-bench: %-40s ok     %8.1f ms %8.1f KiB/s\n", "tool's whole stack (a 1 MiB flash)",
        seconds * 1e3, imageSize / 1024.0 / seconds);

    emit rig.proxy.startApp();
    QVERIFY(usbvmWaitFor([&] { return usbvmInterfaceProtocol(path) == usbvmApplicationMode; }));
}

void TestUsbVmFlash::unplugInTheMiddleOfAFlashFailsAndAFlashAfterwardsWorks()
{
    FlashRig rig(m_host);
    QSignalSpy attached(&rig.proxy, &OneDeviceUsbLoaderProxy::deviceAttached);
    QSignalSpy reprogrammed(&rig.proxy, &OneDeviceUsbLoaderProxy::firmwareReprogrammed);
    QSignalSpy failed(&rig.proxy, &OneDeviceUsbLoaderProxy::flashingFailed);
    rig.handOver();
    QCOMPARE(attached.count(), 1);

    bool unplugged = false;
    QObject::connect(&rig.proxy, &OneDeviceUsbLoaderProxy::flashingProgress, this, [&](int percent) {
        if (percent >= 25 && !unplugged)
            unplugged = usbvmSetPlugged(false);
    });
    emit rig.proxy.flashFirmware(firmware(318, 256 * 1024));
    QVERIFY(usbvmWaitFor([&] { return reprogrammed.count() + failed.count() > 0; }, 60000));
    QVERIFY(unplugged);
    QCOMPARE(reprogrammed.count(), 0);
    QCOMPARE(failed.count(), 1);

    // Plugged in again, the device is found anew and takes the next flash whole.
    QVERIFY(usbvmSetPlugged(true));
    QVERIFY(usbvmWaitFor([&] { return attached.count() == 2; }));
    emit rig.proxy.flashFirmware(firmware(319, 64 * 1024));
    QVERIFY(usbvmWaitFor([&] { return reprogrammed.count() + failed.count() > 1; }, 60000));
    QCOMPARE(failed.count(), 1);
    QCOMPARE(reprogrammed.count(), 1);
    QCOMPARE(reprogrammed.first().at(3).toUInt(), 319u);
}

QTEST_GUILESS_MAIN(TestUsbVmFlash)
#include "tst_usbvmflash.moc"
