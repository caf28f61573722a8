#pragma once

// The fixed pauses and limits of the device protocol. One scale multiplies
// them all: 1 in the program, 0 (instant) in the fuzzing build
// (TALVEX_INSTANT_TIMING) and in tests that run hundreds of operations
// against a simulated device that never needs the time, and a fraction
// where a run must still see a restart take longer than the device is
// given, or a device stay busy past the limit, without waiting minutes.

#include <QString>

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
// Negative factors count as 0.
void setScale(double factor);
double scale();
// The scaled time in whole milliseconds, rounded down.
int scaled(int milliseconds);
// Sleeps the scaled time on the calling thread, to the microsecond.
void pause(int milliseconds);

// The longest a loader can go without a word, scaled: putting the device
// into flashing mode (the pause and the time it has to come back), a write's
// busy limit with its settle pauses, and a run of USB transfers, each ending
// within the host's time-out.
int answerLimitMs();
// The message for an operation that passed that limit.
QString noAnswerText();
// The same for a limit of limitMs.
QString noAnswerText(int limitMs);
// The message for a write that gave up on a device that stayed busy.
QString deviceStayedBusyText();

} // namespace LoaderTiming
