#include "station/restartwatch.h"

#include "protocol/loadertiming.h"
#include "usb/usbdevice.h"

namespace {

// The host's own time to notice a returning device and open it.
constexpr int noticeAndOpenMs = 2500;
// How often the watch looks again between the driver's signals.
constexpr int lookAgainMs = 50;

} // namespace

RestartWatch::RestartWatch(USBDriver *driver, const LoaderDevice &device)
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
    m_noAnswer.setSingleShot(true);
    m_noAnswer.setInterval(LoaderTiming::answerLimitMs());
    connect(&m_noAnswer, &QTimer::timeout, this, [this] {
        finish(QStringLiteral("the USB side did not answer within %1 s")
                   .arg(LoaderTiming::answerLimitMs() / 1000.0),
            {});
    });
}

int RestartWatch::limitMs()
{
    return LoaderTiming::scaled(LoaderTiming::restartPauseMs)
        + LoaderTiming::scaled(LoaderTiming::comeBackLimitMs) + noticeAndOpenMs;
}

QString RestartWatch::modeText(const LoaderDevice &device)
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
    if (!m_done || m_asking)
        return;
    m_asking = true;
    m_noAnswer.start();
    // The driver's devices belong to its thread; the watch outlives the
    // answer, since it goes only once that thread has ended or is held.
    USBDriver *driver = m_driver;
    const LoaderDevice device = m_device;
    QMetaObject::invokeMethod(
        driver,
        [this, driver, device] {
            const LoaderPresence presence = DriverLoaders(driver).presence(device);
            QMetaObject::invokeMethod(
                this, [this, presence] { seen(presence); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void RestartWatch::seen(const LoaderPresence &presence)
{
    m_asking = false;
    m_noAnswer.stop();
    if (!m_done)
        return;
    // Gone, or the instance that was opened left even if its path is back.
    if (!presence.attached)
        m_left = true;
    if (m_left && !m_leftReported) {
        m_leftReported = true;
        emit deviceLeft();
    }
    if (m_added && presence.attached && presence.hasLoader) {
        const LoaderDevice &back = presence.device;
        emit deviceBack(back);
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

void RestartWatch::finish(const QString &failure, const LoaderDevice &back)
{
    m_lookAgain.stop();
    m_noAnswer.stop();
    if (!m_done)
        return;
    const Done done = std::move(m_done);
    m_done = nullptr;
    done(failure, back);
}
