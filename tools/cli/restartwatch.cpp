#include "restartwatch.h"

#include "clicommon.h"
#include "commandreport.h"
#include "loaderoperation.h"

#include "protocol/loadertiming.h"
#include "usb/usbdevice.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <memory>

namespace {

// The host's own time to notice a returning device and open it.
constexpr int noticeAndOpenMs = 2500;
// How often the wait looks again between the driver's signals.
constexpr int lookAgainMs = 50;

} // namespace

RestartWatch::RestartWatch(const DeviceSession &session, const DeviceSession::Device &device)
    : m_session(session)
    , m_device(device)
{
    connect(session.driver(), &USBDriver::deviceRemoved, this, [this](const USBDriver::TDeviceID &id) {
        if (id == m_device.usbId)
            m_left = true;
    });
    // Only a device the driver found anew is back: until then the object
    // that was opened may still answer for a moment before it drops off.
    connect(session.driver(), &USBDriver::deviceAdded, this, [this](const USBDriver::TDeviceID &id) {
        if (id == m_device.usbId)
            m_added = true;
    });
}

int RestartWatch::limitMs()
{
    return LoaderTiming::scaled(LoaderTiming::restartPauseMs)
        + LoaderTiming::scaled(LoaderTiming::comeBackLimitMs) + noticeAndOpenMs;
}

QString RestartWatch::modeText(const DeviceSession::Device &device)
{
    return device.flashingMode ? QStringLiteral("flashing") : QStringLiteral("application");
}

DeviceSession::Device RestartWatch::waitUntilBack(Mode mode)
{
    CommandReport &report = CommandReport::current();
    const QString serial = serialText(m_device);
    bool leftReported = false;
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const DeviceSession::Presence presence
            = m_session.presenceOf(m_device, LoaderOperation::answerLimitMs());
        // Gone, or the instance that was opened left even if its path is back.
        if (!presence.attached)
            m_left = true;
        if (m_left && !leftReported) {
            leftReported = true;
            report.event(QStringLiteral("device_left"), {{QStringLiteral("serial"), serial}});
        }
        if (m_added && presence.attached && presence.hasLoader) {
            const DeviceSession::Device &back = presence.device;
            report.event(QStringLiteral("device_back"),
                {{QStringLiteral("serial"), serialText(back)}, {QStringLiteral("mode"), modeText(back)}});
            if (mode == Mode::Application && back.flashingMode)
                fail(QStringLiteral(
                    "the device came back in its flashing mode: its application did not start"));
            return back;
        }
        const qint64 left = limitMs() - waited.elapsed();
        if (left <= 0)
            fail(m_left ? QStringLiteral("the device did not come back within %1 s of its restart")
                              .arg(limitMs() / 1000.0)
                        : QStringLiteral("the device did not restart within %1 s").arg(limitMs() / 1000.0));
        QEventLoop loop;
        QTimer::singleShot(int(qMin<qint64>(left, lookAgainMs)), &loop, &QEventLoop::quit);
        connect(m_session.driver(), &USBDriver::deviceAdded, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

DeviceSession::Device RestartWatch::follow(const DeviceSession &session, const DeviceSession::Device &device,
    Mode mode, const std::function<void()> &request)
{
    // The worker's signals reach the watch; it goes only while the worker is held.
    auto watch = std::make_unique<RestartWatch>(session, device);
    try {
        request();
        const DeviceSession::Device back = watch->waitUntilBack(mode);
        session.destroyWithWorkerHeld(std::move(watch));
        return back;
    } catch (...) {
        session.destroyWithWorkerHeld(std::move(watch));
        throw;
    }
}

void RestartWatch::fail(const QString &message) const
{
    throw CommandError {
        ExitDeviceFailed, QStringLiteral("talvex-cli %1: %2").arg(m_session.command(), message), QString()};
}
