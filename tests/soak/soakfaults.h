#pragma once

// The faults of the soak, drawn at random from the fault matrix: a host call
// of the flash that fails, moves fewer bytes or finds the device unplugged,
// a restart slower or faster than the device is given to come back, or a
// device that never stops being busy. Plain data; one thread.

#include "usb/host/sim/simusbbus.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <random>
#include <string>

enum class FaultKind { Fail, ShortTransfer, Unplug, SlowRestart, EndlessBusy };
constexpr int faultKindCount = 5;

const char *faultKindName(FaultKind kind);

struct DrawnFault
{
    FaultKind kind = FaultKind::Fail;
    SimFault hostFault; // Fail, ShortTransfer, Unplug
    std::chrono::milliseconds restartDelay {0}; // SlowRestart
    // For a failure message: "WritePipe #3 moves 17 bytes", "restart of 7 ms".
    std::string description() const;
};

class FaultDrawer
{
public:
    // callsOfAFlash: how many calls of each operation a healthy flash makes,
    // the points a host fault can hit; comeBackLimit: what a restarting
    // device is given, around which slow restarts are drawn.
    FaultDrawer(
        uint32_t seed, std::map<SimOp, std::size_t> callsOfAFlash, std::chrono::milliseconds comeBackLimit);

    DrawnFault draw();

private:
    std::mt19937 m_random;
    std::map<SimOp, std::size_t> m_calls;
    std::chrono::milliseconds m_comeBackLimit;
};

// Counts of runs by fault kind and outcome, printed as one line.
class SoakTally
{
public:
    void count(FaultKind kind, bool succeeded);
    int runs() const;
    // "fail 201 (1 succeeded, 200 failed), short transfer 198 (...), ..."
    std::string line() const;

private:
    std::array<std::array<int, 2>, faultKindCount> m_counts {};
};
