#pragma once

// The fixed pauses and limits of the device protocol. One scale multiplies
// them all: 1 in the program, 0 (instant) in the fuzzing build
// (TALVEX_INSTANT_TIMING) and in tests that run hundreds of operations
// against a simulated device that never needs the time.

namespace LoaderTiming {

// The device needs this long after an identity, key or settings write
// before it answers again.
constexpr int settlePauseMs = 100;
// Between telling the device to restart and looking for it on the bus.
constexpr int restartPauseMs = 500;
// How long a restarting device has to come back.
constexpr int comeBackLimitMs = 5000;
// Between two questions whether the device is still busy.
constexpr int busyPollMs = 100;
// A healthy device finishes a write well within this; one that stays busy
// longer is given up on, so that no operation waits without end.
constexpr int busyLimitMs = 120000;

// Any thread; takes effect for pauses and limits that start afterwards.
void setScale(int scale);
int scaled(int milliseconds);
// Sleeps the scaled time on the calling thread.
void pause(int milliseconds);

} // namespace LoaderTiming
