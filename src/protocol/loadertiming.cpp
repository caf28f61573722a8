#include "protocol/loadertiming.h"

#include <QThread>

#include <atomic>

namespace {

#ifdef TALVEX_INSTANT_TIMING
constexpr int defaultScale = 0;
#else
constexpr int defaultScale = 1;
#endif

std::atomic<int> timeScale {defaultScale};

} // namespace

void LoaderTiming::setScale(int scale)
{
    timeScale = scale;
}

int LoaderTiming::scaled(int milliseconds)
{
    return milliseconds * timeScale;
}

void LoaderTiming::pause(int milliseconds)
{
    const int ms = scaled(milliseconds);
    if (ms > 0)
        QThread::msleep(static_cast<unsigned long>(ms));
}
