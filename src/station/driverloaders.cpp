#include "station/driverloaders.h"

#include "protocol/loaderrecords.h"
#include "usb/usbdevice.h"

#include <QSemaphore>

namespace {

UsbLoader *firstLoader(const USBDevice::HandlerMap &handlers)
{
    for (UsbInterfaceHandler *handler : handlers) {
        if (auto *loader = qobject_cast<UsbLoader *>(handler))
            return loader;
    }
    return nullptr;
}

void readLoader(UsbLoader *loader, LoaderDevice *device)
{
    device->deviceInformation = loader->getDeviceInformation();
    device->firmwareInformation = loader->getFirmwareInformation();
    device->flashingMode = loader->isInFlashingMode();
}

} // namespace

DriverLoaders::DriverLoaders(USBDriver *driver)
    : m_driver(driver)
{ }

QList<LoaderDevice> DriverLoaders::devices() const
{
    QList<LoaderDevice> found;
    const auto all = m_driver->devicesById();
    for (auto entry = all.cbegin(); entry != all.cend(); ++entry) {
        LoaderDevice device;
        device.usbId = entry.key();
        bool hasLoader = false;
        USBDevice::withHandlers(entry.value(), entry.key(), [&](const USBDevice::HandlerMap &handlers) {
            if (UsbLoader *loader = firstLoader(handlers)) {
                hasLoader = true;
                readLoader(loader, &device);
            }
        });
        if (hasLoader)
            found << device;
    }
    return found;
}

LoaderPresence DriverLoaders::presence(const LoaderDevice &device) const
{
    LoaderPresence found;
    found.device.usbId = device.usbId;
    USBDevice *attached = m_driver->devicesById().value(device.usbId);
    found.attached = attached && attached->isAttached();
    USBDevice::withHandlers(attached, device.usbId, [&](const USBDevice::HandlerMap &handlers) {
        if (UsbLoader *loader = firstLoader(handlers)) {
            found.hasLoader = true;
            readLoader(loader, &found.device);
        }
    });
    return found;
}

bool DriverLoaders::withLoader(const LoaderDevice &device, const std::function<void(UsbLoader *)> &use) const
{
    bool used = false;
    USBDevice *attached = m_driver->devicesById().value(device.usbId);
    USBDevice::withHandlers(attached, device.usbId, [&](const USBDevice::HandlerMap &handlers) {
        if (UsbLoader *loader = firstLoader(handlers)) {
            use(loader);
            used = true;
        }
    });
    return used;
}

bool DriverLoaders::waitForWorker(int limitMs) const
{
    // One queue per thread: this runs after everything posted to it before.
    // Shared with the worker, which may get there after this has given up.
    const auto reached = std::make_shared<QSemaphore>();
    QMetaObject::invokeMethod(
        m_driver, [reached] { reached->release(); }, Qt::QueuedConnection);
    return reached->tryAcquire(1, limitMs);
}

void DriverLoaders::destroyWithWorkerHeld(std::unique_ptr<QObject> object) const
{
    // Shared with the worker, which may still be leaving acquire() when this returns.
    const auto held = std::make_shared<QSemaphore>();
    const auto done = std::make_shared<QSemaphore>();
    QMetaObject::invokeMethod(
        m_driver,
        [held, done] {
            held->release();
            done->acquire();
        },
        Qt::QueuedConnection);
    held->acquire();
    object.reset();
    done->release();
}

QString serialText(const LoaderDevice &device)
{
    return serialNumberText(device.deviceInformation);
}

QString usbText(const LoaderDevice &device)
{
    return QStringLiteral("%1:%2 %3")
        .arg(device.usbId.vendorId, 4, 16, QLatin1Char('0'))
        .arg(device.usbId.productId, 4, 16, QLatin1Char('0'))
        .arg(device.usbId.serialNumber);
}
