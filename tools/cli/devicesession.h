#pragma once

// The attached devices for one device command: the program's own USB side
// (loader factory, driver, worker thread "USB driver thread") and the loader
// of the device the command works on. Main thread; the loaders run on the
// worker thread and answer by signal.

#include "station/driverloaders.h"
#include "station/restartwatch.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>

class DeviceSide;
class USBDevice;

class DeviceSession
{
public:
    using Device = LoaderDevice;

    // Readies what the USB side finds (startUsbPlatform), starts it and
    // waits for its first scan on the worker thread.
    explicit DeviceSession(const QString &command);
    ~DeviceSession();

    // Starts the program's device platform (startDevicePlatform), so that
    // the command ends at once when TALVEX_SIMULATOR cannot be followed.
    static void startUsbPlatform();

    // The loaders of the attached devices, on the worker thread.
    DriverLoaders loaders() const;
    // The device a command works on: the one whose serial number (as
    // `list` shows it) or USB serial is serial, or the only one attached
    // when serial is empty, waiting up to waitMs for it to appear. Ends the
    // command when there is none by then, or several.
    Device choose(const QString &serial, int waitMs = 0) const;
    // Waits up to waitMs for any device to appear; false when none has.
    bool waitForAnyDevice(int waitMs) const;
    // Which present devices this user may not open and what to do about it,
    // as lines for stderr; empty when there are none.
    QString inaccessibleAdvice() const;
    // Returns once the worker thread has run everything asked of it so far;
    // ends the command when that takes longer than limitMs.
    void waitForWorker(int limitMs) const;
    // Runs request, which makes the device restart, and waits until the
    // device is back in mode, with a RestartWatch made before the request.
    // Ends the command when it does not come back as asked.
    Device followRestart(
        const Device &device, RestartWatch::Mode mode, const std::function<void()> &request) const;

    USBDriver *driver() const;
    const QString &command() const { return m_command; }

private:
    // Returns when a device was added or waitMs passed, whichever is first.
    void waitForChange(int waitMs) const;

    QString m_command;
    std::unique_ptr<DeviceSide> m_side;
};
