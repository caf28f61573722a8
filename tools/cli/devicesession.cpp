#include "devicesession.h"

#include "clicommon.h"
#include "commandreport.h"

#include "app/deviceside.h"
#include "protocol/deviceplatform.h"
#include "protocol/loadertiming.h"
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
    waitForWorker(LoaderTiming::answerLimitMs());
}

DeviceSession::~DeviceSession() = default;

void DeviceSession::startUsbPlatform()
{
    QString error;
    if (!startDevicePlatform(&error))
        throw CommandError {ExitUsage, QString(), error, QString()};
}

USBDriver *DeviceSession::driver() const
{
    return m_side->driver();
}

void DeviceSession::waitForWorker(int limitMs) const
{
    if (!loaders().waitForWorker(limitMs))
        throw CommandError {ExitDeviceFailed, m_command,
            QStringLiteral("the USB side did not answer within %1 s").arg(limitMs / 1000.0), QString()};
}

DriverLoaders DeviceSession::loaders() const
{
    return DriverLoaders(m_side->driver());
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
    while (loaders().devices().isEmpty()) {
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
        all = loaders().devices();
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
    if (matching.size() == 1) {
        CommandReport::current().deviceChosen(matching.first());
        return matching.first();
    }
    if (all.isEmpty()) {
        const QString advice = inaccessibleAdvice();
        throw CommandError {ExitNoDevice, m_command,
            advice.isEmpty() ? QStringLiteral("no device attached")
                             : QStringLiteral("no device that this user may open\n") + advice,
            QString()};
    }
    if (matching.isEmpty())
        throw CommandError {ExitNoDevice, m_command,
            QStringLiteral("no attached device has the serial number \"%1\"").arg(serial), QString()};
    QString reason
        = QStringLiteral("%1 devices attached; choose one with --device SERIAL:").arg(matching.size());
    for (const Device &device : qAsConst(matching))
        reason += QStringLiteral("\n  %1 (usb %2)").arg(serialText(device), usbText(device));
    throw CommandError {ExitNoDevice, m_command, reason, QString()};
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
        loaders().destroyWithWorkerHeld(std::move(watch));
        throw;
    }
    loaders().destroyWithWorkerHeld(std::move(watch));
    if (!failure.isEmpty())
        throw CommandError {ExitDeviceFailed, m_command, failure, QString()};
    return back;
}
