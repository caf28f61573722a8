#pragma once

// The callbacks a host calls when devices arrive or leave, for hosts that
// learn of changes themselves (the simulated bus, libusb's hot-plug). Free
// of Qt.
//
// Threads: any thread may add, remove and notify. Notifications are
// serialised, and remove waits for one in progress, so a listener is never
// called after its removal has returned. A listener must not add or remove.

#include <functional>
#include <map>
#include <mutex>

class UsbChangeListeners
{
public:
    int add(std::function<void()> listener)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const int id = m_nextId++;
        m_listeners.emplace(id, std::move(listener));
        return id;
    }

    void remove(int id)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_listeners.erase(id);
    }

    void notify()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto &listener : m_listeners)
            listener.second();
    }

private:
    std::mutex m_mutex; // guards m_listeners and m_nextId, and serialises notifications
    std::map<int, std::function<void()>> m_listeners;
    int m_nextId = 1;
};
