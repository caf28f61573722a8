#include "protocol/loadertiming.h"

#include "usb/host/usbhost.h"

#include <QThread>

#include <atomic>
#include <cmath>

namespace {

#ifdef TALVEX_INSTANT_TIMING
constexpr double defaultScale = 0;
#else
constexpr double defaultScale = 1;
#endif

std::atomic<double> timeScale {defaultScale};

// The most USB transfers an operation makes between two signs of life: the
// records read after a mode switch, a length-prefixed read, the settings
// slots read back before a settings write.
constexpr int transfersBetweenAnswers = 16;

} // namespace

void LoaderTiming::setScale(double factor)
{
    timeScale = factor > 0 ? factor : 0;
}

double LoaderTiming::scale()
{
    return timeScale;
}

int LoaderTiming::scaled(int milliseconds)
{
    return int(std::floor(milliseconds * timeScale));
}

void LoaderTiming::pause(int milliseconds)
{
    const double microseconds = std::floor(milliseconds * 1000.0 * timeScale);
    if (microseconds >= 1)
        QThread::usleep(static_cast<unsigned long>(microseconds));
}

int LoaderTiming::answerLimitMs()
{
    return scaled(restartPauseMs) + scaled(comeBackLimitMs) + scaled(busyLimitMs) + 4 * scaled(settlePauseMs)
        + transfersBetweenAnswers * int(UsbHost::transferTimeoutMs);
}

QString LoaderTiming::noAnswerText()
{
    return noAnswerText(answerLimitMs());
}

QString LoaderTiming::noAnswerText(int limitMs)
{
    return QStringLiteral("the device did not answer within %1 s").arg(limitMs / 1000.0);
}

QString LoaderTiming::deviceStayedBusyText()
{
    return QStringLiteral("the device stayed busy writing and was given up on after %1 s")
        .arg(scaled(busyLimitMs) / 1000.0);
}
