#include "restartwatch.h"

#include "clicommon.h"
#include "commandreport.h"
#include "loaderoperation.h"

#include "protocol/loadertiming.h"
#include "usb/usbdevice.h"

#include <QEventLoop>

#include <memory>

namespace {

// The host's own time to notice a returning device and open it.
constexpr int noticeAndOpenMs = 2500;
// How often the watch looks again between the driver's signals.
constexpr int lookAgainMs = 50;

} // namespace

RestartWatch::RestartWatch(USBDriver *driver, const DeviceSession::Device &device)
    : m_driver(driver)
    , m_device(device)
{
    connect(driver, &USBDriver::deviceRemoved, this, [this](const USBDriver::TDeviceID &id) {
        if (id == m_device.usbId)
            m_left = true;
    });
    // Only a device the driver found anew is back: until then the object
    // that was opened may still answer for a moment before it drops off.
    connect(driver, &USBDriver::deviceAdded, this, [this](const USBDriver::TDeviceID &id) {
        if (id == m_device.usbId) {
            m_added = true;
            if (m_done)
                look();
        }
    });
    m_lookAgain.setSingleShot(true);
    connect(&m_lookAgain, &QTimer::timeout, this, &RestartWatch::look);
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

void RestartWatch::start(Mode mode, Done done)
{
    m_mode = mode;
    m_done = std::move(done);
    m_waited.start();
    look();
}

void RestartWatch::look()
{
    if (!m_done)
        return;
    DeviceSession::Presence presence;
    if (!DeviceSession::presenceIn(m_driver, m_device, LoaderOperation::answerLimitMs(), &presence)) {
        finish(QStringLiteral("the USB side did not answer within %1 s")
                   .arg(LoaderOperation::answerLimitMs() / 1000.0),
            {});
        return;
    }
    // Gone, or the instance that was opened left even if its path is back.
    if (!presence.attached)
        m_left = true;
    if (m_left && !m_leftReported) {
        m_leftReported = true;
        CommandReport::current().event(
            QStringLiteral("device_left"), {{QStringLiteral("serial"), serialText(m_device)}});
    }
    if (m_added && presence.attached && presence.hasLoader) {
        const DeviceSession::Device &back = presence.device;
        CommandReport::current().event(QStringLiteral("device_back"),
            {{QStringLiteral("serial"), serialText(back)}, {QStringLiteral("mode"), modeText(back)}});
        finish(m_mode == Mode::Application && back.flashingMode
                ? QStringLiteral("the device came back in its flashing mode: its application did not start")
                : QString(),
            back);
        return;
    }
    const qint64 left = limitMs() - m_waited.elapsed();
    if (left <= 0) {
        finish(m_left ? QStringLiteral("the device did not come back within %1 s of its restart")
                            .arg(limitMs() / 1000.0)
                      : QStringLiteral("the device did not restart within %1 s").arg(limitMs() / 1000.0),
            {});
        return;
    }
    m_lookAgain.start(int(qMin<qint64>(left, lookAgainMs)));
}

void RestartWatch::finish(const QString &failure, const DeviceSession::Device &back)
{
    m_lookAgain.stop();
    const Done done = std::move(m_done);
    m_done = nullptr;
    done(failure, back);
}

DeviceSession::Device RestartWatch::follow(const DeviceSession &session, const DeviceSession::Device &device,
    Mode mode, const std::function<void()> &request)
{
    // The worker's signals reach the watch; it goes only while the worker is held.
    auto watch = std::make_unique<RestartWatch>(session.driver(), device);
    QString failure;
    DeviceSession::Device back;
    try {
        request();
        QEventLoop loop;
        bool finished = false;
        watch->start(mode, [&](const QString &why, const DeviceSession::Device &device) {
            failure = why;
            back = device;
            finished = true;
            loop.quit();
        });
        if (!finished)
            loop.exec();
    } catch (...) {
        session.destroyWithWorkerHeld(std::move(watch));
        throw;
    }
    session.destroyWithWorkerHeld(std::move(watch));
    if (!failure.isEmpty())
        throw CommandError {
            ExitDeviceFailed, QStringLiteral("talvex-cli %1: %2").arg(session.command(), failure), QString()};
    return back;
}
