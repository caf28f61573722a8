#include "devicesession.h"

#include "clicommon.h"
#include "commandreport.h"

#include "app/deviceside.h"
#include "protocol/deviceplatform.h"
#include "usb/devicepermissiontext.h"
#include "usb/inaccessibledevices.h"
#include "usb/usbdevice.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace {

// How often a wait for a device looks again when no device-added signal came.
constexpr int devicePollMs = 100;

} // namespace

DeviceSession::DeviceSession(const QString &command)
    : m_command(command)
{
    startUsbPlatform();
    m_side = std::make_unique<DeviceSide>();
    waitForWorker(LoaderAccess::answerLimitMs());
}

DeviceSession::~DeviceSession() = default;

void DeviceSession::startUsbPlatform()
{
    QString error;
    if (!startDevicePlatform(&error))
        throw CommandError {ExitUsage, QStringLiteral("talvex-cli: %1").arg(error), QString()};
}

USBDriver *DeviceSession::driver() const
{
    return m_side->driver();
}

void DeviceSession::waitForWorker(int limitMs) const
{
    if (!LoaderAccess::waitForWorkerOf(m_side->driver(), limitMs))
        throw CommandError {ExitDeviceFailed,
            QStringLiteral("talvex-cli %1: the USB side did not answer within %2 s")
                .arg(m_command)
                .arg(limitMs / 1000.0),
            QString()};
}

void DeviceSession::destroyWithWorkerHeld(std::unique_ptr<QObject> object) const
{
    LoaderAccess::destroyWithWorkerHeldOf(driver(), std::move(object));
}

QList<DeviceSession::Device> DeviceSession::devices() const
{
    return LoaderAccess::devicesOf(m_side->driver());
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

bool DeviceSession::withLoader(const Device &device, const std::function<void(UsbLoader *)> &use) const
{
    return LoaderAccess::withLoaderOf(m_side->driver(), device, use);
}

DeviceSession::Device DeviceSession::followRestart(
    const Device &device, RestartWatch::Mode mode, const std::function<void()> &request) const
{
    // The worker's signals reach the watch; it goes only while the worker is held.
    auto watch = std::make_unique<RestartWatch>(driver(), device);
    CommandReport &report = CommandReport::current();
    QObject::connect(watch.get(), &RestartWatch::deviceLeft, [&report, device] {
        report.event(QStringLiteral("device_left"), {{QStringLiteral("serial"), serialText(device)}});
    });
    QObject::connect(watch.get(), &RestartWatch::deviceBack, [&report](const Device &back) {
        report.event(QStringLiteral("device_back"),
            {{QStringLiteral("serial"), serialText(back)},
                {QStringLiteral("mode"), RestartWatch::modeText(back)}});
    });
    QString failure;
    Device back;
    try {
        request();
        QEventLoop loop;
        bool finished = false;
        watch->start(mode, [&](const QString &why, const Device &device) {
            failure = why;
            back = device;
            finished = true;
            loop.quit();
        });
        if (!finished)
            loop.exec();
    } catch (...) {
        destroyWithWorkerHeld(std::move(watch));
        throw;
    }
    destroyWithWorkerHeld(std::move(watch));
    if (!failure.isEmpty())
        throw CommandError {
            ExitDeviceFailed, QStringLiteral("talvex-cli %1: %2").arg(m_command, failure), QString()};
    return back;
}
