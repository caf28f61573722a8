#include "loaderoperation.h"

#include "clicommon.h"

LoaderOperation::LoaderOperation(const DeviceSession &session, const DeviceSession::Device &device)
    : m_session(session)
    , m_device(device)
{
    connect(session.driver(), &USBDriver::deviceRemoved, this, [this](const USBDriver::TDeviceID &id) {
        if (id == m_device.usbId)
            finish(ExitDeviceFailed, QStringLiteral("the device was disconnected before it answered"));
    });
}

void LoaderOperation::finish(int status, const QString &message)
{
    if (m_finished)
        return;
    m_finished = true;
    m_status = status;
    m_message = message;
    m_loop.quit();
}

int LoaderOperation::run(const std::function<void(UsbLoader *)> &start)
{
    if (!m_session.withLoader(m_device, start))
        finish(ExitDeviceFailed, QStringLiteral("the device is no longer attached"));
    if (!m_finished)
        m_loop.exec();
    return m_status;
}
