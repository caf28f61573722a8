#pragma once

// Follows a device through a restart a command asked for, so that the
// command returns only once the device is back where the next command can
// find it. Made before the request goes out, so that a device that leaves
// and returns at once is still seen leaving. Reports "device_left" and
// "device_back" under --json. Main thread.

#include "devicesession.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class RestartWatch : public QObject
{
public:
    // The mode the device is to come back in.
    enum class Mode { Application, Any };
    // Called once: an empty failure and the device as it came back, or why it did not.
    using Done = std::function<void(const QString &failure, const DeviceSession::Device &back)>;

    RestartWatch(USBDriver *driver, const DeviceSession::Device &device);

    // How long a device has to leave and come back: the pause and the time
    // the protocol gives a restarting device, plus the host's time to
    // notice it (a scan every 2 s where there are no hot-plug events) and
    // to open it and read its records.
    static int limitMs();

    // Starts looking without waiting: done follows once the device has left
    // and is back with its loader, or after limitMs(), or when it came back
    // in its flashing mode where the application was asked for.
    void start(Mode mode, Done done);

    // Runs request, which makes the device restart, and waits until the
    // device is back, with a watch made before the request. Ends the
    // command when it does not come back as asked.
    static DeviceSession::Device follow(const DeviceSession &session, const DeviceSession::Device &device,
        Mode mode, const std::function<void()> &request);

    // "application" or "flashing".
    static QString modeText(const DeviceSession::Device &device);

private:
    void look();
    void finish(const QString &failure, const DeviceSession::Device &back);

    USBDriver *m_driver;
    DeviceSession::Device m_device;
    Mode m_mode = Mode::Any;
    Done m_done;
    QTimer m_lookAgain;
    QElapsedTimer m_waited;
    bool m_left = false;
    bool m_leftReported = false;
    bool m_added = false;
};
