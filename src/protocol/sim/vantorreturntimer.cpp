#include "protocol/sim/vantorreturntimer.h"

VantorReturnTimer::~VantorReturnTimer()
{
    cancel();
}

void VantorReturnTimer::start(std::chrono::milliseconds delay, std::function<void()> action)
{
    auto control = std::make_shared<Control>();
    std::thread thread([control, delay, action = std::move(action)] {
        {
            std::unique_lock<std::mutex> wait(control->mutex);
            if (control->wake.wait_for(wait, delay, [&] { return control->cancelled; })) {
                control->done = true;
                return;
            }
        }
        action();
        std::lock_guard<std::mutex> finished(control->mutex);
        control->done = true;
    });
    std::thread previousThread;
    std::shared_ptr<Control> previousControl;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        previousThread.swap(m_thread);
        previousControl.swap(m_control);
        m_thread = std::move(thread);
        m_control = std::move(control);
    }
    stop(std::move(previousThread), previousControl);
}

void VantorReturnTimer::cancel()
{
    std::thread thread;
    std::shared_ptr<Control> control;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        thread.swap(m_thread);
        control.swap(m_control);
    }
    stop(std::move(thread), control);
}

void VantorReturnTimer::stop(std::thread thread, const std::shared_ptr<Control> &control)
{
    if (!control)
        return;
    {
        std::lock_guard<std::mutex> lock(control->mutex);
        control->cancelled = true;
    }
    control->wake.notify_all();
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach();
    else if (thread.joinable())
        thread.join();
}

bool VantorReturnTimer::pending() const
{
    std::shared_ptr<Control> control;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        control = m_control;
    }
    if (!control)
        return false;
    std::lock_guard<std::mutex> lock(control->mutex);
    return !control->done;
}
