#pragma once

// One loader operation started from the main thread, and the wait for its
// answer. The answer arrives by queued signal; a device that leaves before
// it answers ends the wait as well, so a command never hangs on a loader
// that died with its device. Main thread.

#include "devicesession.h"

#include <QEventLoop>
#include <QObject>
#include <QString>

#include <functional>

class LoaderOperation : public QObject
{
public:
    LoaderOperation(const DeviceSession &session, const DeviceSession::Device &device);

    // Ends the wait; only the first call counts.
    void finish(int status, const QString &message = QString());
    // Runs start with the device's loader (to connect its signals with this
    // object as context and to invoke the slot), then waits for finish.
    // Returns the status given to finish.
    int run(const std::function<void(UsbLoader *)> &start);
    QString message() const { return m_message; }

private:
    const DeviceSession &m_session;
    DeviceSession::Device m_device;
    QEventLoop m_loop;
    bool m_finished = false;
    int m_status = 0;
    QString m_message;
};
