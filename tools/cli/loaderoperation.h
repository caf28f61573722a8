#pragma once

// One loader operation started from the main thread, and the wait for its
// answer. The answer arrives by queued signal; a device that leaves before
// it answers ends the wait as well, and so does an answer that takes longer
// than the protocol's own limits allow, so a command never hangs on a
// loader. Main thread.

#include "devicesession.h"

#include <QEventLoop>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class LoaderOperation : public QObject
{
public:
    LoaderOperation(const DeviceSession &session, const DeviceSession::Device &device);

    // Ends the wait; only the first call counts.
    void finish(int status, const QString &message = QString());
    // Runs start with the device's loader (to connect its signals with this
    // object as context and to ask for the operation), then waits for
    // finish, or for LoaderTiming::answerLimitMs() without an answer or progress.
    // Returns the status given to finish.
    int run(const std::function<void(UsbLoader *)> &start);
    // Ends the wait with ExitDeviceFailed when the loader reports a failed
    // write; reason turns why it failed into the message. Call from start.
    void finishOnWriteFailure(UsbLoader *loader, std::function<QString(UsbLoader::Failure)> reason);
    QString message() const { return m_message; }

private:
    const DeviceSession &m_session;
    DeviceSession::Device m_device;
    QEventLoop m_loop;
    QTimer m_deadline;
    bool m_finished = false;
    int m_status = 0;
    QString m_message;
};
