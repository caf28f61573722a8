#pragma once

// One flash of one device as the window runs it, started from the main
// thread without waiting: the loader's answers arrive by queued signal, and
// a device that leaves before it answers ends the run as well, and so does
// a loader silent for longer than the protocol allows. After a success a
// device that was in its flashing mode is told to start its application
// (one the loader took there, it starts itself). Main thread; the
// loader runs on its driver's worker thread.

#include "devicesession.h"

#include "firmware/firmwarefile.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QTimer>

#include <atomic>

class FlashRun : public QObject
{
    Q_OBJECT

public:
    FlashRun(USBDriver *driver, const DeviceSession::Device &device, QSharedPointer<FirmwareFile> firmware,
        QObject *parent = nullptr);

    // Asks the device's loader for the flash; finished() follows once.
    void start();

    const DeviceSession::Device &device() const { return m_device; }
    bool isFinished() const { return m_finished; }
    // ExitSuccess, or ExitDeviceFailed with a reason.
    int status() const { return m_status; }
    QString reason() const { return m_reason; }
    // The new firmware as the window shows it, and as its JSON fields.
    QString flashedText() const { return m_flashedText; }
    QJsonObject flashedFirmware() const { return m_flashedFirmware; }
    // From start() to the device's answer.
    double seconds() const { return m_seconds; }

signals:
    // Each new percentage, 0 to 100.
    void progress(int percent);
    // The image is complete; the device is writing it.
    void finishing();
    void finished();

private:
    void showProgress(int percent);
    void finish(int status, const QString &reason);

    USBDriver *m_driver;
    DeviceSession::Device m_device;
    QSharedPointer<FirmwareFile> m_firmware;
    QElapsedTimer m_clock;
    // Ends a run whose loader has said nothing for longer than it may.
    QTimer m_deadline;
    int m_lastProgress = -1;
    std::atomic<UsbLoader::Failure> m_failure {UsbLoader::Failure::None}; // written on the worker thread
    bool m_finished = false;
    int m_status = 0;
    QString m_reason;
    QString m_flashedText;
    QJsonObject m_flashedFirmware;
    double m_seconds = 0;
};

// flash --all: every device attached now, flashed at once, each through a
// driver of its own on a worker thread of its own. Devices that appear
// meanwhile are left alone. ExitSuccess only when every device succeeded.
// waitMs is how long to wait for a first device to appear.
int runFlashAll(const QSharedPointer<FirmwareFile> &firmware, int waitMs);
