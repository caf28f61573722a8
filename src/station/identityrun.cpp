#include "station/identityrun.h"

#include "firmware/versiontext.h"
#include "protocol/loadertiming.h"

namespace {

QString disconnectedText()
{
    return QStringLiteral("the device was disconnected before it answered");
}

} // namespace

IdentityRun::IdentityRun(
    USBDriver *driver, const LoaderDevice &device, const Identity &identity, QObject *parent)
    : QObject(parent)
    , m_driver(driver)
    , m_device(device)
    , m_written(identity)
{
    m_deadline.setSingleShot(true);
    m_deadline.setInterval(LoaderTiming::answerLimitMs());
    connect(&m_deadline, &QTimer::timeout, this,
        [this] { finish(Failure::NoAnswer, LoaderTiming::noAnswerText(m_deadline.interval())); });
    connect(driver, &USBDriver::deviceRemoved, this, [this](const USBDriver::TDeviceID &id) {
        if (id == m_device.usbId)
            finish(Failure::DeviceRemoved, disconnectedText());
    });
}

void IdentityRun::setAnswerLimit(int milliseconds)
{
    m_deadline.setInterval(milliseconds);
}

void IdentityRun::start()
{
    // The scan that emits deviceRemoved may wait behind a transfer to the
    // gone device; the notification itself comes here at once.
    if (QObject *source = m_driver->deviceChangeSource())
        connect(source, SIGNAL(deviceListChanged()), this, SLOT(checkDeviceListed()));
    m_deadline.start();
    const bool reached = DriverLoaders(m_driver).withLoader(m_device, [this](UsbLoader *loader) {
        connect(loader, &UsbLoader::deviceInformationChanged, this,
            [this](bool, const QString &serial, uchar board, uchar subversion, uchar hwType, bool) {
                m_readBack = Identity {serial, board, subversion, hwType};
            });
        // The free slots come last, once the record was read back.
        connect(loader, &UsbLoader::deviceInformationFreeSlotsChanged, this, &IdentityRun::judgeReadBack);
        connect(loader, &UsbLoader::firmwareReprogrammingFailed, this, [this] {
            finish(Failure::Refused, QStringLiteral("the device did not take the identity record"));
        });
        askLoader(loader, &UsbLoader::flashDeviceInformation, m_written.serial, m_written.boardVersion,
            m_written.boardSubversion, m_written.hwType);
    });
    if (!reached)
        finish(Failure::DeviceRemoved, QStringLiteral("the device is no longer attached"));
}

QString IdentityRun::readBackText() const
{
    return QStringLiteral("%1 %2 %3")
        .arg(m_readBack.serial, boardVersionText(m_readBack.boardVersion, m_readBack.boardSubversion))
        .arg(m_readBack.hwType);
}

void IdentityRun::checkDeviceListed()
{
    if (!m_finished && !m_driver->isListed(m_device.usbId))
        finish(Failure::DeviceRemoved, disconnectedText());
}

void IdentityRun::judgeReadBack(int freeSlots)
{
    if (m_finished)
        return;
    m_freeSlots = freeSlots;
    Failure failure = Failure::None;
    if (m_readBack.serial != m_written.serial)
        failure = Failure::SerialDiffers;
    else if (m_readBack.boardVersion != m_written.boardVersion
        || m_readBack.boardSubversion != m_written.boardSubversion)
        failure = Failure::BoardDiffers;
    else if (m_readBack.hwType != m_written.hwType)
        failure = Failure::HwTypeDiffers;
    if (failure == Failure::None)
        finish(failure);
    else
        finish(failure,
            QStringLiteral("the device reports \"%1\" (serial, board, hardware type), not what was written")
                .arg(readBackText()));
}

void IdentityRun::finish(Failure failure, const QString &reason)
{
    if (m_finished)
        return;
    m_finished = true;
    m_deadline.stop();
    m_failure = failure;
    m_reason = reason;
    emit finished();
}
