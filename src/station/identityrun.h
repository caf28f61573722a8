#pragma once

// One write of a device's identity record (serial, board, hardware type)
// and its read-back, started from the main thread without waiting: the
// loader's answers arrive by queued signal, a device that leaves ends the
// run as soon as the device-change notification tells (not when a transfer
// to it gives up), and so does a loader silent for longer than the protocol
// allows. Main thread; the loader runs on its driver's worker thread, and
// the run goes only while that thread is held or has ended.

#include "station/driverloaders.h"

#include <QObject>
#include <QString>
#include <QTimer>

class IdentityRun : public QObject
{
    Q_OBJECT

public:
    struct Identity
    {
        QString serial;
        uchar boardVersion = 0;
        uchar boardSubversion = 0;
        uchar hwType = 0;
    };

    // How a run ended; every failure but None comes with reason().
    enum class Failure {
        None,
        // Written, but the device reads back another value of this field.
        SerialDiffers,
        BoardDiffers,
        HwTypeDiffers,
        // Gone before it answered, or already when the run started.
        DeviceRemoved,
        NoAnswer,
        // The device did not take the record, or its read-back broke off.
        Refused,
    };

    IdentityRun(
        USBDriver *driver, const LoaderDevice &device, const Identity &identity, QObject *parent = nullptr);

    // How long the loader may stay silent: LoaderTiming::answerLimitMs()
    // unless set before start().
    void setAnswerLimit(int milliseconds);
    // Asks the device's loader for the write; finished() follows once.
    void start();

    bool isFinished() const { return m_finished; }
    bool succeeded() const { return m_finished && m_failure == Failure::None; }
    Failure failure() const { return m_failure; }
    QString reason() const { return m_reason; }
    // What the device reads back after the write; empty serial before that.
    const Identity &readBack() const { return m_readBack; }
    // The device's identity and key writes left, as read back; -1 before that.
    int freeSlots() const { return m_freeSlots; }
    // "SERIAL BOARD HWTYPE" as the device reads it back.
    QString readBackText() const;

signals:
    void finished();

private slots:
    // Connected by its name: the notification's source is any object with
    // a deviceListChanged() signal.
    void checkDeviceListed();

private:
    void judgeReadBack(int freeSlots);
    void finish(Failure failure, const QString &reason = QString());

    USBDriver *m_driver;
    LoaderDevice m_device;
    Identity m_written;
    Identity m_readBack;
    int m_freeSlots = -1;
    // Ends a run whose loader has said nothing for longer than it may.
    QTimer m_deadline;
    bool m_finished = false;
    Failure m_failure = Failure::None;
    QString m_reason;
};
