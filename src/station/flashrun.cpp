#include "station/flashrun.h"

#include "firmware/versiontext.h"
#include "protocol/loadertiming.h"
#include "station/reportfields.h"

namespace {

// What the loader and the progress seen so far say about a failed flash.
QString flashFailure(int lastProgress, UsbLoader::Failure failure)
{
    if (failure == UsbLoader::Failure::DeviceStayedBusy)
        return LoaderTiming::deviceStayedBusyText() + QStringLiteral("; it stays in its flashing mode");
    if (lastProgress < 0)
        return QStringLiteral("the device did not enter its flashing mode, or refused the image");
    if (lastProgress < 100)
        return QStringLiteral("the transfer broke off at %1%; the device stays in its flashing mode")
            .arg(lastProgress);
    if (failure == UsbLoader::Failure::ImageNotAccepted)
        return QStringLiteral("the device did not accept the image: it reports no valid firmware");
    // Pulled out or gone silent while it wrote the image: what it holds is unknown.
    return QStringLiteral("the device stopped answering after the whole image was sent; its firmware may "
                          "not be valid");
}

} // namespace

FlashRun::FlashRun(
    USBDriver *driver, const LoaderDevice &device, QSharedPointer<FirmwareFile> firmware, QObject *parent)
    : QObject(parent)
    , m_driver(driver)
    , m_device(device)
    , m_firmware(std::move(firmware))
{
    m_clock.start();
    m_deadline.setSingleShot(true);
    m_deadline.setInterval(LoaderTiming::answerLimitMs());
    connect(&m_deadline, &QTimer::timeout, this, [this] { finish(false, LoaderTiming::noAnswerText()); });
    connect(driver, &USBDriver::deviceRemoved, this, [this](const USBDriver::TDeviceID &id) {
        if (id == m_device.usbId)
            finish(false, QStringLiteral("the device was disconnected before it answered"));
    });
}

void FlashRun::start()
{
    m_clock.start();
    m_deadline.start();
    const bool reached = DriverLoaders(m_driver).withLoader(m_device, [this](UsbLoader *loader) {
        connect(loader, &UsbLoader::programmingProgress, this, &FlashRun::showProgress);
        connect(loader, &UsbLoader::firmwareReprogrammed, this,
            [this](uchar version, uchar subversion, uchar bugfix, uint build, const QString &name) {
                m_flashedText = formatVersion(version, subversion, bugfix, build, name);
                m_flashedFirmware = firmwareFields(version, subversion, bugfix, build, name, true);
                finish(true, QString());
            });
        // Why it failed is read on the worker thread as the loader emits,
        // while the loader surely exists; the answer itself arrives queued.
        connect(
            loader, &UsbLoader::firmwareReprogrammingFailed, this,
            [this, loader] { m_failure = loader->lastFailure(); }, Qt::DirectConnection);
        connect(loader, &UsbLoader::firmwareReprogrammingFailed, this,
            [this] { finish(false, flashFailure(m_lastProgress, m_failure)); });
        askLoader(loader, &UsbLoader::flashFirmware, m_firmware);
    });
    if (!reached)
        finish(false, QStringLiteral("the device is no longer attached"));
}

void FlashRun::showProgress(int percent)
{
    if (m_finished || percent == m_lastProgress)
        return;
    m_lastProgress = percent;
    // The device still answers: the limit counts from here.
    m_deadline.start();
    emit progress(percent);
    if (percent == 100)
        emit finishing();
}

void FlashRun::finish(bool succeeded, const QString &reason)
{
    if (m_finished)
        return;
    m_finished = true;
    m_deadline.stop();
    m_seconds = secondsOf(m_clock);
    m_succeeded = succeeded;
    m_reason = reason;
    if (succeeded && m_device.flashingMode) {
        // As the window does once the user has read its message: a device
        // that was already in flashing mode is started here. One that was in
        // its application the loader has started itself; asking again could
        // restart it a second time once it is back.
        DriverLoaders(m_driver).withLoader(
            m_device, [](UsbLoader *loader) { askLoader(loader, &UsbLoader::startApp); });
    }
    emit finished();
}
