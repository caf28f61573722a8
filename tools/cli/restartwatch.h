#pragma once

// Follows a device through a restart a command asked for, so that the
// command returns only once the device is back where the next command can
// find it. Made before the request goes out, so that a device that leaves
// and returns at once is still seen leaving. Reports "device_left" and
// "device_back" under --json. Main thread.

#include "devicesession.h"

#include <QObject>
#include <QString>

#include <functional>

class RestartWatch : public QObject
{
public:
    // The mode the device is to come back in.
    enum class Mode { Application, Any };

    RestartWatch(const DeviceSession &session, const DeviceSession::Device &device);

    // How long a device has to leave and come back: the pause and the time
    // the protocol gives a restarting device, plus the host's time to
    // notice it (a scan every 2 s where there are no hot-plug events) and
    // to open it and read its records.
    static int limitMs();

    // Waits until the device has left and is back with its loader. Ends the
    // command when it is not back within limitMs(), or back in its flashing
    // mode where the application was asked for. Returns the device as it
    // came back.
    DeviceSession::Device waitUntilBack(Mode mode);

    // Runs request, which makes the device restart, and waits until the
    // device is back (waitUntilBack) with a watch made before the request.
    static DeviceSession::Device follow(const DeviceSession &session, const DeviceSession::Device &device,
        Mode mode, const std::function<void()> &request);

    // "application" or "flashing".
    static QString modeText(const DeviceSession::Device &device);

private:
    [[noreturn]] void fail(const QString &message) const;

    const DeviceSession &m_session;
    DeviceSession::Device m_device;
    bool m_left = false;
    bool m_added = false;
};
