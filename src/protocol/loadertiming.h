#pragma once

// The fixed pauses and limits of the device protocol. The fuzzing build makes
// them instant (TALVEX_INSTANT_TIMING), so that an input never waits.

#include <QThread>

namespace LoaderTiming {

#ifdef TALVEX_INSTANT_TIMING
constexpr int scale = 0;
#else
constexpr int scale = 1;
#endif

// The device needs this long after an identity, key or settings write
// before it answers again.
constexpr int settlePauseMs = 100 * scale;
// Between telling the device to restart and looking for it on the bus.
constexpr int restartPauseMs = 500 * scale;
// How long a restarting device has to come back.
constexpr int comeBackLimitMs = 5000 * scale;
// Between two questions whether the device is still busy.
constexpr int busyPollMs = 100 * scale;
// A healthy device finishes a write well within this; one that stays busy
// longer is given up on, so that no operation waits without end.
constexpr int busyLimitMs = 120000 * scale;

inline void pause(int ms)
{
    if (ms > 0)
        QThread::msleep(static_cast<unsigned long>(ms));
}

} // namespace LoaderTiming
