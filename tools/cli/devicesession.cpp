#include "devicesession.h"

#include "clicommon.h"
#include "commandreport.h"
#include "loaderoperation.h"

#include "app/deviceplatform.h"
#include "app/deviceside.h"
#include "protocol/loaderrecords.h"
#include "ui/devicepermissiontext.h"
#include "usb/inaccessibledevices.h"
#include "usb/usbdevice.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSemaphore>
#include <QThread>
#include <QTimer>

namespace {

// How often a wait for a device looks again when no device-added signal came.
constexpr int devicePollMs = 100;

UsbLoader *firstLoader(const USBDevice::HandlerMap &handlers)
{
    for (UsbInterfaceHandler *handler : handlers) {
        if (auto *loader = qobject_cast<UsbLoader *>(handler))
            return loader;
    }
    return nullptr;
}

} // namespace

DeviceSession::DeviceSession(const QString &command)
    : m_command(command)
{
    startUsbPlatform();
    m_side = std::make_unique<DeviceSide>();
    waitForWorker(LoaderOperation::answerLimitMs());
}

DeviceSession::~DeviceSession() = default;

void DeviceSession::startUsbPlatform()
{
    QString error;
    if (!setUpDevicePlatform(&error))
        throw CommandError {ExitUsage, QStringLiteral("talvex-cli: %1").arg(error), QString()};
}

USBDriver *DeviceSession::driver() const
{
    return m_side->driver();
}

void DeviceSession::waitForWorker(int limitMs) const
{
    if (!waitForWorkerOf(m_side->driver(), limitMs))
        throw CommandError {ExitDeviceFailed,
            QStringLiteral("talvex-cli %1: the USB side did not answer within %2 s")
                .arg(m_command)
                .arg(limitMs / 1000.0),
            QString()};
}

void DeviceSession::destroyWithWorkerHeld(std::unique_ptr<QObject> object) const
{
    destroyWithWorkerHeldOf(driver(), std::move(object));
}

void DeviceSession::destroyWithWorkerHeldOf(USBDriver *driver, std::unique_ptr<QObject> object)
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

bool DeviceSession::waitForWorkerOf(USBDriver *driver, int limitMs)
{
    // One queue per thread: this runs after everything posted to it before.
    // Shared with the worker, which may get there after this has given up.
    const auto reached = std::make_shared<QSemaphore>();
    QMetaObject::invokeMethod(
        driver, [reached] { reached->release(); }, Qt::QueuedConnection);
    return reached->tryAcquire(1, limitMs);
}

QList<DeviceSession::Device> DeviceSession::devices() const
{
    return devicesOf(m_side->driver());
}

QList<DeviceSession::Device> DeviceSession::devicesOf(USBDriver *driver)
{
    QList<Device> found;
    const auto all = driver->devicesById();
    for (auto entry = all.cbegin(); entry != all.cend(); ++entry) {
        Device device;
        device.usbId = entry.key();
        bool hasLoader = false;
        USBDevice::withHandlers(entry.value(), entry.key(), [&](const USBDevice::HandlerMap &handlers) {
            if (UsbLoader *loader = firstLoader(handlers)) {
                hasLoader = true;
                device.deviceInformation = loader->getDeviceInformation();
                device.firmwareInformation = loader->getFirmwareInformation();
                device.flashingMode = loader->isInFlashingMode();
            }
        });
        if (hasLoader)
            found << device;
    }
    return found;
}

void DeviceSession::waitForChange(int waitMs) const
{
    QEventLoop loop;
    QTimer::singleShot(waitMs, &loop, &QEventLoop::quit);
    QObject::connect(driver(), &USBDriver::deviceAdded, &loop, &QEventLoop::quit);
    loop.exec();
}

bool DeviceSession::waitForAnyDevice(int waitMs) const
{
    QElapsedTimer waited;
    waited.start();
    while (devices().isEmpty()) {
        const qint64 left = waitMs - waited.elapsed();
        if (left <= 0)
            return false;
        waitForChange(int(qMin<qint64>(left, devicePollMs)));
    }
    return true;
}

DeviceSession::Device DeviceSession::choose(const QString &serial, int waitMs) const
{
    QElapsedTimer waited;
    waited.start();
    QList<Device> all;
    QList<Device> matching;
    for (;;) {
        all = devices();
        matching.clear();
        for (const Device &device : qAsConst(all)) {
            if (serial.isEmpty() || serialText(device) == serial || device.usbId.serialNumber == serial)
                matching << device;
        }
        // Several stay several however long one waits.
        const qint64 left = waitMs - waited.elapsed();
        if (!matching.isEmpty() || left <= 0)
            break;
        waitForChange(int(qMin<qint64>(left, devicePollMs)));
    }
    const QString prefix = QStringLiteral("talvex-cli %1: ").arg(m_command);
    if (matching.size() == 1) {
        CommandReport::current().deviceChosen(matching.first());
        return matching.first();
    }
    if (all.isEmpty()) {
        const QString advice = inaccessibleAdvice();
        throw CommandError {ExitNoDevice,
            prefix
                + (advice.isEmpty() ? QStringLiteral("no device attached")
                                    : QStringLiteral("no device that this user may open\n") + advice),
            QString()};
    }
    if (matching.isEmpty())
        throw CommandError {ExitNoDevice,
            prefix + QStringLiteral("no attached device has the serial number \"%1\"").arg(serial),
            QString()};
    QString message = prefix
        + QStringLiteral("%1 devices attached; choose one with --device SERIAL:").arg(matching.size());
    for (const Device &device : qAsConst(matching))
        message += QStringLiteral("\n  %1 (usb %2)").arg(serialText(device), usbText(device));
    throw CommandError {ExitNoDevice, message, QString()};
}

QString DeviceSession::inaccessibleAdvice() const
{
    const QStringList paths = m_side->driver()->inaccessibleDevices()->paths();
    if (paths.isEmpty())
        return QString();
    QString text;
    for (const QString &path : paths)
        text += QStringLiteral("%1: %2\n").arg(path, deviceNotAccessibleTitle());
    return text + deviceNotAccessibleAdvice();
}

bool DeviceSession::presenceIn(USBDriver *driver, const Device &device, int limitMs, Presence *presence)
{
    // Filled on the worker thread, which owns the device objects; shared
    // with it, since it may get there after this has given up.
    struct Answer
    {
        QSemaphore ready;
        Presence presence;
    };
    const auto answer = std::make_shared<Answer>();
    const USBDriver::TDeviceID id = device.usbId;
    QMetaObject::invokeMethod(
        driver,
        [answer, driver, id] {
            Presence &found = answer->presence;
            found.device.usbId = id;
            USBDevice *attached = driver->devicesById().value(id);
            found.attached = attached && attached->isAttached();
            USBDevice::withHandlers(attached, id, [&](const USBDevice::HandlerMap &handlers) {
                if (UsbLoader *loader = firstLoader(handlers)) {
                    found.hasLoader = true;
                    found.device.deviceInformation = loader->getDeviceInformation();
                    found.device.firmwareInformation = loader->getFirmwareInformation();
                    found.device.flashingMode = loader->isInFlashingMode();
                }
            });
            answer->ready.release();
        },
        Qt::QueuedConnection);
    if (!answer->ready.tryAcquire(1, limitMs))
        return false;
    *presence = answer->presence;
    return true;
}

bool DeviceSession::withLoader(const Device &device, const std::function<void(UsbLoader *)> &use) const
{
    return withLoaderOf(m_side->driver(), device, use);
}

bool DeviceSession::withLoaderOf(
    USBDriver *driver, const Device &device, const std::function<void(UsbLoader *)> &use)
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

QString serialText(const DeviceSession::Device &device)
{
    return serialNumberText(device.deviceInformation);
}

QString usbText(const DeviceSession::Device &device)
{
    return QStringLiteral("%1:%2 %3")
        .arg(device.usbId.vendorId, 4, 16, QLatin1Char('0'))
        .arg(device.usbId.productId, 4, 16, QLatin1Char('0'))
        .arg(device.usbId.serialNumber);
}
