#include "loaderoperation.h"

#include "clicommon.h"

#include "protocol/loadertiming.h"

#include <atomic>
#include <memory>

LoaderOperation::LoaderOperation(const DeviceSession &session, const DeviceSession::Device &device)
    : m_session(session)
    , m_device(device)
{
    connect(session.driver(), &USBDriver::deviceRemoved, this, [this](const USBDriver::TDeviceID &id) {
        if (id == m_device.usbId)
            finish(ExitDeviceFailed, QStringLiteral("the device was disconnected before it answered"));
    });
    m_deadline.setSingleShot(true);
    m_deadline.setInterval(LoaderTiming::answerLimitMs());
    connect(&m_deadline, &QTimer::timeout, this,
        [this] { finish(ExitDeviceFailed, LoaderTiming::noAnswerText()); });
}

void LoaderOperation::finish(int status, const QString &message)
{
    if (m_finished)
        return;
    m_finished = true;
    m_deadline.stop();
    m_status = status;
    m_message = message;
    m_loop.quit();
}

int LoaderOperation::run(const std::function<void(UsbLoader *)> &start)
{
    m_deadline.start();
    const bool reached = m_session.loaders().withLoader(m_device, [&](UsbLoader *loader) {
        // Progress shows the device is still answering: the limit counts from the last sign.
        connect(loader, &UsbLoader::programmingProgress, &m_deadline, qOverload<>(&QTimer::start));
        start(loader);
    });
    if (!reached)
        finish(ExitDeviceFailed, QStringLiteral("the device is no longer attached"));
    if (!m_finished)
        m_loop.exec();
    return m_status;
}

void LoaderOperation::finishOnWriteFailure(
    UsbLoader *loader, std::function<QString(UsbLoader::Failure)> reason)
{
    // Why it failed is read on the worker thread as the loader emits, while
    // the loader surely exists; the answer itself arrives here queued.
    auto failure = std::make_shared<std::atomic<UsbLoader::Failure>>(UsbLoader::Failure::None);
    connect(
        loader, &UsbLoader::firmwareReprogrammingFailed, this,
        [failure, loader] { *failure = loader->lastFailure(); }, Qt::DirectConnection);
    connect(loader, &UsbLoader::firmwareReprogrammingFailed, this,
        [this, failure, reason] { finish(ExitDeviceFailed, reason(*failure)); });
}
