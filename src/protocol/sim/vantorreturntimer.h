#pragma once

// Runs one delayed action on a thread of its own, as the device's clock
// brings it back on the bus after a restart. Free of Qt.
//
// Threads: any thread may start or cancel it; the action runs on the
// timer's thread. Destruction cancels a pending action and waits for one
// that has begun.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class VantorReturnTimer
{
public:
    VantorReturnTimer() = default;
    VantorReturnTimer(const VantorReturnTimer &) = delete;
    VantorReturnTimer &operator=(const VantorReturnTimer &) = delete;
    ~VantorReturnTimer();

    // Runs action once after delay; a pending action is cancelled first.
    void start(std::chrono::milliseconds delay, std::function<void()> action);
    // Drops a pending action; one already running is waited for, unless the
    // caller is that action itself.
    void cancel();
    bool pending() const;

private:
    // Shared with the thread, so the thread never needs the timer itself
    // once its action has run (the action may destroy the timer's owner).
    struct Control
    {
        std::mutex mutex; // guards both flags
        std::condition_variable wake;
        bool cancelled = false;
        bool done = false;
    };

    static void stop(std::thread thread, const std::shared_ptr<Control> &control);

    mutable std::mutex m_mutex; // guards m_thread and m_control
    std::thread m_thread;
    std::shared_ptr<Control> m_control;
};
