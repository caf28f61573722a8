#include "station/loaderaccess.h"

#include "firmware/versiontext.h"
#include "protocol/loaderrecords.h"
#include "protocol/loadertiming.h"
#include "usb/host/usbhost.h"
#include "usb/usbdevice.h"

#include <QSemaphore>

#include <cmath>

namespace {

// The most USB transfers an operation makes between two signs of life: the
// records read after a mode switch, a length-prefixed read, the settings
// slots read back before a settings write.
constexpr int transfersBetweenAnswers = 16;

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

namespace LoaderAccess {

QList<LoaderDevice> devicesOf(USBDriver *driver)
{
    QList<LoaderDevice> found;
    const auto all = driver->devicesById();
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

LoaderPresence presenceOf(USBDriver *driver, const LoaderDevice &device)
{
    LoaderPresence found;
    found.device.usbId = device.usbId;
    USBDevice *attached = driver->devicesById().value(device.usbId);
    found.attached = attached && attached->isAttached();
    USBDevice::withHandlers(attached, device.usbId, [&](const USBDevice::HandlerMap &handlers) {
        if (UsbLoader *loader = firstLoader(handlers)) {
            found.hasLoader = true;
            readLoader(loader, &found.device);
        }
    });
    return found;
}

bool withLoaderOf(USBDriver *driver, const LoaderDevice &device, const std::function<void(UsbLoader *)> &use)
{
    bool used = false;
    USBDevice *attached = driver->devicesById().value(device.usbId);
    USBDevice::withHandlers(attached, device.usbId, [&](const USBDevice::HandlerMap &handlers) {
        if (UsbLoader *loader = firstLoader(handlers)) {
            use(loader);
            used = true;
        }
    });
    return used;
}

bool waitForWorkerOf(USBDriver *driver, int limitMs)
{
    // One queue per thread: this runs after everything posted to it before.
    // Shared with the worker, which may get there after this has given up.
    const auto reached = std::make_shared<QSemaphore>();
    QMetaObject::invokeMethod(
        driver, [reached] { reached->release(); }, Qt::QueuedConnection);
    return reached->tryAcquire(1, limitMs);
}

void destroyWithWorkerHeldOf(USBDriver *driver, std::unique_ptr<QObject> object)
{
    // Shared with the worker, which may still be leaving acquire() when this returns.
    const auto held = std::make_shared<QSemaphore>();
    const auto done = std::make_shared<QSemaphore>();
    QMetaObject::invokeMethod(
        driver,
        [held, done] {
            held->release();
            done->acquire();
        },
        Qt::QueuedConnection);
    held->acquire();
    object.reset();
    done->release();
}

int answerLimitMs()
{
    using namespace LoaderTiming;
    return scaled(restartPauseMs) + scaled(comeBackLimitMs) + scaled(busyLimitMs) + 4 * scaled(settlePauseMs)
        + transfersBetweenAnswers * int(UsbHost::transferTimeoutMs);
}

QString noAnswerText()
{
    return QStringLiteral("the device did not answer within %1 s").arg(answerLimitMs() / 1000.0);
}

QString deviceStayedBusyText()
{
    return QStringLiteral("the device stayed busy writing and was given up on after %1 s")
        .arg(LoaderTiming::scaled(LoaderTiming::busyLimitMs) / 1000.0);
}

QJsonObject firmwareFields(
    uchar version, uchar subversion, uchar bugfix, uint build, const QString &name, bool valid)
{
    return {{QStringLiteral("version"), QStringLiteral("%1.%2.%3").arg(version).arg(subversion).arg(bugfix)},
        {QStringLiteral("build"), qint64(build)}, {QStringLiteral("name"), name},
        {QStringLiteral("valid"), valid},
        {QStringLiteral("text"),
            valid ? formatVersion(version, subversion, bugfix, build, name) : firmwareVersionPlaceholder()}};
}

QJsonObject firmwareFields(const UsbLoader::TFirmwareInformation &record)
{
    return firmwareFields(record.version, record.subversion, record.bugfix, buildNumber(record),
        firmwareNameText(record.name), isValid(record));
}

double secondsOf(const QElapsedTimer &clock)
{
    return std::round(double(clock.nsecsElapsed()) / 1e6) / 1e3;
}

} // namespace LoaderAccess

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
