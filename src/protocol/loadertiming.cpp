#include "protocol/loadertiming.h"

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
