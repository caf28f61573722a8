#pragma once

// Flashing as the program does it, for the tests and measurements in the
// virtual machine: the loader factory, the driver on a worker thread and the
// single-device proxy on this thread, connected as start-up connects them;
// and firmware files whose image the Vantor device reads its version from.

#include "firmware/firmwarefile.h"
#include "protocol/onedeviceusbloaderproxy.h"
#include "protocol/sim/vantorwire.h"
#include "protocol/usbloaderfactory.h"
#include "usbvmsupport.h"

#include <QFile>
#include <QSharedPointer>
#include <QSignalSpy>
#include <QThread>

#include <cstring>

// The driver on a worker thread with the loader factory, and the proxy on
// this thread, connected as start-up connects them.
class FlashRig
{
public:
    explicit FlashRig(const std::shared_ptr<LibusbHost> &host)
    {
        UsbPlatform platform {host, std::make_unique<LibusbChangeNotifier>(host)};
        m_driver = std::make_unique<USBDriver>(
            QList<QSharedPointer<UsbInterfaceHandlerFactory>> {m_factory}, std::move(platform));
        m_driver->moveToThread(&m_worker);
        m_worker.setObjectName(QStringLiteral("USB driver thread"));
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
    QSignalSpy attached {&proxy, &OneDeviceUsbLoaderProxy::deviceAttached};
    QSignalSpy reprogrammed {&proxy, &OneDeviceUsbLoaderProxy::firmwareReprogrammed};
    QSignalSpy failed {&proxy, &OneDeviceUsbLoaderProxy::flashingFailed};

    // Waits until a flash has ended, one way or the other, count flashes in all.
    bool awaitFlashes(int count, int timeoutMs)
    {
        return usbvmWaitFor(
            [this, count] { return reprogrammed.count() + failed.count() >= count; }, timeoutMs);
    }

private:
    QSharedPointer<usbLoaderFactory> m_factory = QSharedPointer<usbLoaderFactory>::create();
    QThread m_worker;
    std::unique_ptr<USBDriver> m_driver;
};

// A firmware file at path whose image names version 1.4.2 "vmflash" with
// the build, loaded as the window loads it; null if it cannot be written.
inline QSharedPointer<FirmwareFile> usbvmFirmware(const QString &path, uint32_t build, int size)
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
