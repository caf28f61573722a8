#pragma once

// Follows a device through a restart it was asked for, until it is back
// where the next request can find it. Made before the request goes out, so
// that a device that leaves and returns at once is still seen leaving.
// Never waits on the worker thread: what the driver knows is asked there and
// the answer comes back queued. Main thread.

#include "station/driverloaders.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class RestartWatch : public QObject
{
    Q_OBJECT

public:
    // The mode the device is to come back in.
    enum class Mode { Application, Any };
    // Called once: an empty failure and the device as it came back, or why it did not.
    using Done = std::function<void(const QString &failure, const LoaderDevice &back)>;

    RestartWatch(USBDriver *driver, const LoaderDevice &device);

    // How long a device has to leave and come back: the pause and the time
    // the protocol gives a restarting device, plus the host's time to
    // notice it (a scan every 2 s where there are no hot-plug events) and
    // to open it and read its records.
    static int limitMs();

    // Starts looking without waiting: done follows once the device has left
    // and is back with its loader, or after limitMs(), or when it came back
    // in its flashing mode where the application was asked for.
    void start(Mode mode, Done done);

    // "application" or "flashing".
    static QString modeText(const LoaderDevice &device);

signals:
    // Once each, before done is called.
    void deviceLeft();
    void deviceBack(const LoaderDevice &back);

private:
    void look();
    void seen(const LoaderPresence &presence);
    void finish(const QString &failure, const LoaderDevice &back);

    USBDriver *m_driver;
    LoaderDevice m_device;
    Mode m_mode = Mode::Any;
    Done m_done;
    QTimer m_lookAgain;
    // Ends a look the worker thread does not answer.
    QTimer m_noAnswer;
    QElapsedTimer m_waited;
    bool m_asking = false;
    bool m_left = false;
    bool m_leftReported = false;
    bool m_added = false;
};
