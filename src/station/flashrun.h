#pragma once

// One flash of one device as the window runs it, started from the main
// thread without waiting: the loader's answers arrive by queued signal, and
// a device that leaves before it answers ends the run as well, and so does
// a loader silent for longer than the protocol allows. After a success a
// device that was in its flashing mode is told to start its application
// (one the loader took there, it starts itself). Main thread; the
// loader runs on its driver's worker thread.

#include "station/driverloaders.h"

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
    FlashRun(USBDriver *driver, const LoaderDevice &device, QSharedPointer<FirmwareFile> firmware,
        QObject *parent = nullptr);

    // Asks the device's loader for the flash; finished() follows once.
    void start();

    const LoaderDevice &device() const { return m_device; }
    bool isFinished() const { return m_finished; }
    // Whether the device took the image; when not, reason() says why.
    bool succeeded() const { return m_succeeded; }
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
    void finish(bool succeeded, const QString &reason);

    USBDriver *m_driver;
    LoaderDevice m_device;
    QSharedPointer<FirmwareFile> m_firmware;
    QElapsedTimer m_clock;
    // Ends a run whose loader has said nothing for longer than it may.
    QTimer m_deadline;
    int m_lastProgress = -1;
    std::atomic<UsbLoader::Failure> m_failure {UsbLoader::Failure::None}; // written on the worker thread
    bool m_finished = false;
    bool m_succeeded = false;
    QString m_reason;
    QString m_flashedText;
    QJsonObject m_flashedFirmware;
    double m_seconds = 0;
};
