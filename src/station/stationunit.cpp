#include "station/stationunit.h"

#include "firmware/versiontext.h"
#include "protocol/deviceplatform.h"
#include "protocol/loaderrecords.h"
#include "protocol/loadertiming.h"
#include "station/reportfields.h"

#include <QJsonObject>
#include <QPointer>

namespace {

// How often and how long a unit looks for the loader of a device that has
// just appeared at its port (it may still be enumerating).
constexpr int lookAgainMs = 100;
constexpr int looksAtMost = 50;

bool isCurrent(const UsbLoader::TFirmwareInformation &record, const FirmwareFile::THeader &header)
{
    return isValid(record) && record.version == header.version && record.subversion == header.subversion
        && record.bugfix == header.bugfix && buildNumber(record) == header.build;
}

} // namespace

StationUnit::StationUnit(
    const QString &port, const Goal &goal, const QList<QSharedPointer<UsbInterfaceHandlerFactory>> &factories)
    : m_port(port)
    , m_goal(goal)
{
    m_driver = std::make_unique<USBDriver>(factories, devicePlatform(), QStringList {port});
    m_worker = std::make_unique<QThread>();
    m_worker->setObjectName(QStringLiteral("USB driver thread"));
    m_driver->moveToThread(m_worker.get());
    connect(m_worker.get(), &QThread::started, m_driver.get(), &USBDriver::scanDevices);
    connect(m_worker.get(), &QThread::finished, this, &StationUnit::retired, Qt::QueuedConnection);
}

StationUnit::~StationUnit()
{
    retire();
    m_worker->wait();
    // Only now that nothing emits to them.
    m_identity.reset();
    m_watch.reset();
    m_flash.reset();
    m_driver.reset();
}

void StationUnit::retire()
{
    // Queued behind what the unit asked of the loader last, which is done first.
    QThread *worker = m_worker.get();
    QMetaObject::invokeMethod(
        m_driver.get(), [worker] { worker->quit(); }, Qt::QueuedConnection);
}

void StationUnit::start()
{
    m_clock.start();
    beginPhase(UnitPhase::Opening);
    m_worker->start();
    lookForDevice();
}

double StationUnit::seconds() const
{
    return secondsOf(m_clock);
}

void StationUnit::lookForDevice()
{
    if (m_finished)
        return;
    // Asked after the worker's first scan, which runs before anything posted later.
    USBDriver *driver = m_driver.get();
    QMetaObject::invokeMethod(
        driver,
        [this, driver] {
            const QList<LoaderDevice> found = DriverLoaders(driver).devices();
            QMetaObject::invokeMethod(
                this,
                [this, found] {
                    if (m_finished || m_opened)
                        return;
                    if (!found.isEmpty()) {
                        open(found.first());
                    } else if (++m_looks >= looksAtMost) {
                        finish(UnitResult::Failed,
                            QStringLiteral("the device at %1 could not be opened").arg(m_port));
                    } else {
                        QTimer::singleShot(lookAgainMs, this, &StationUnit::lookForDevice);
                    }
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void StationUnit::open(const LoaderDevice &device)
{
    m_opened = true;
    m_device = device;
    m_serialBefore = serialText(device);
    m_serialAfter = m_serialBefore;
    m_boardAfter
        = boardVersionText(device.deviceInformation.boardVersion, device.deviceInformation.boardSubversion);
    m_firmwareBefore = firmwareFields(device.firmwareInformation);
    endPhase();
    emit opened();
    if (!m_goal.withSerials) {
        update();
        return;
    }
    // Before anything is written: a device with another unit's serial is left as it is.
    const QPointer<StationUnit> unit(this);
    m_goal.claim(m_serialBefore, device.usbId.serialNumber, [unit](Goal::Claim claim, const QString &why) {
        if (unit && !unit->m_finished)
            unit->claimed(claim, why);
    });
}

void StationUnit::claimed(Goal::Claim claim, const QString &reason)
{
    if (claim == Goal::Claim::Refused) {
        finish(UnitResult::Failed, reason);
        return;
    }
    m_keepsSerial = claim == Goal::Claim::Kept;
    if (m_keepsSerial) {
        m_serialEnd = SerialEnd::Kept;
        m_settledSerial = m_serialBefore;
    }
    update();
}

void StationUnit::update()
{
    if (isCurrent(m_device.firmwareInformation, m_goal.firmware->header()) && !m_goal.reflashCurrent) {
        m_firmwareAfter = m_firmwareBefore;
        m_firmwareAfterText
            = formatVersion(m_device.firmwareInformation.version, m_device.firmwareInformation.subversion,
                m_device.firmwareInformation.bugfix, buildNumber(m_device.firmwareInformation),
                QString::fromLatin1(
                    fieldText(m_device.firmwareInformation.name, sizeof m_device.firmwareInformation.name)));
        identity();
        return;
    }
    flash();
}

void StationUnit::flash()
{
    beginPhase(UnitPhase::Flashing);
    m_flash = std::make_unique<FlashRun>(m_driver.get(), m_device, m_goal.firmware);
    // Made before the flash starts, so that it sees the device leave for its restart.
    m_watch = std::make_unique<RestartWatch>(m_driver.get(), m_device);
    connect(m_watch.get(), &RestartWatch::deviceLeft, this, &StationUnit::deviceLeft);
    connect(m_watch.get(), &RestartWatch::deviceBack, this, &StationUnit::deviceBack);
    connect(m_flash.get(), &FlashRun::progress, this, &StationUnit::progress);
    connect(m_flash.get(), &FlashRun::finishing, this, [this] {
        emit finishing();
        emit phaseChanged(UnitPhase::Finishing);
    });
    connect(m_flash.get(), &FlashRun::finished, this, [this] {
        if (m_finished)
            return;
        if (!m_flash->succeeded()) {
            finish(UnitResult::Failed, m_flash->reason());
            return;
        }
        m_firmwareAfter = m_flash->flashedFirmware();
        m_firmwareAfterText = m_flash->flashedText();
        endPhase();
        // The unit goes on once the device is back in its new application.
        beginPhase(UnitPhase::Restarting);
        m_watch->start(
            RestartWatch::Mode::Application, [this](const QString &failure, const LoaderDevice &back) {
                if (m_finished)
                    return;
                if (!failure.isEmpty()) {
                    finish(UnitResult::Failed, failure);
                    return;
                }
                m_device = back;
                endPhase();
                identity();
            });
    });
    m_flash->start();
}

void StationUnit::identity()
{
    // A device that already has a serial of the range keeps it.
    if (!m_goal.withSerials || m_keepsSerial) {
        finish(m_flash ? UnitResult::Done : UnitResult::AlreadyCurrent);
        return;
    }
    beginPhase(UnitPhase::Identity);
    // A serial that comes once the unit has ended anyway stays reserved,
    // as after a crash: the station's next start burns it.
    const QPointer<StationUnit> unit(this);
    m_awaitingSerial = true;
    m_goal.reserve(m_device.usbId.serialNumber, [unit](const QString &serial, const QString &why) {
        if (!unit || unit->m_finished)
            return;
        unit->m_awaitingSerial = false;
        unit->m_reserved = serial;
        if (unit->m_endWaits)
            unit->finish(unit->m_result, unit->m_reason);
        else
            unit->writeIdentity(why);
    });
}

void StationUnit::writeIdentity(const QString &reason)
{
    const UnitResult done = m_flash ? UnitResult::Done : UnitResult::AlreadyCurrent;
    if (m_reserved.isEmpty()) {
        finish(UnitResult::Failed, QStringLiteral("no serial for it: %1").arg(reason));
        return;
    }
    // The device keeps its hardware type.
    const IdentityRun::Identity asked {
        m_reserved, m_goal.boardVersion, m_goal.boardSubversion, boardHwType(m_device.deviceInformation)};
    m_identity = std::make_unique<IdentityRun>(m_driver.get(), m_device, asked);
    connect(m_identity.get(), &IdentityRun::finished, this, [this, done] {
        if (m_finished)
            return;
        const IdentityRun::Identity &back = m_identity->readBack();
        switch (m_identity->failure()) {
        case IdentityRun::Failure::None:
            m_goal.settle(m_reserved, true);
            m_serialEnd = SerialEnd::Given;
            m_settledSerial = m_reserved;
            m_serialAfter = m_reserved;
            m_reserved.clear();
            m_boardAfter = boardVersionText(m_goal.boardVersion, m_goal.boardSubversion);
            finish(done);
            return;
        case IdentityRun::Failure::SerialDiffers:
        case IdentityRun::Failure::BoardDiffers:
            // finish() burns the serial.
            finish(UnitResult::Failed,
                QStringLiteral(
                    "the device reports \"%1 %2\" (serial, board), not what was written; %3 is burnt")
                    .arg(back.serial, boardVersionText(back.boardVersion, back.boardSubversion), m_reserved));
            return;
        case IdentityRun::Failure::HwTypeDiffers:
            finish(
                UnitResult::Failed, QStringLiteral("%1; %2 is burnt").arg(m_identity->reason(), m_reserved));
            return;
        default:
            finish(UnitResult::Failed, m_identity->reason());
            return;
        }
    });
    m_identity->start();
}

void StationUnit::abort()
{
    finish(UnitResult::Aborted,
        QStringLiteral(
            "the station was stopped during %1; the device may be left without a valid firmware or serial")
            .arg(unitPhaseKey(m_phase)));
}

void StationUnit::beginPhase(UnitPhase phase)
{
    m_phase = phase;
    m_phaseOpen = true;
    m_phaseClock.start();
    emit phaseChanged(phase);
}

void StationUnit::endPhase()
{
    if (m_phaseOpen)
        m_phases.insert(unitPhaseKey(m_phase), secondsOf(m_phaseClock));
    m_phaseOpen = false;
}

void StationUnit::finish(UnitResult result, const QString &reason)
{
    if (m_finished)
        return;
    // The serial on its way is burnt with the unit rather than left reserved.
    if (m_awaitingSerial) {
        if (!m_endWaits) {
            m_endWaits = true;
            m_result = result;
            m_reason = reason;
            QTimer::singleShot(serialWaitMs, this, [this] {
                m_awaitingSerial = false;
                finish(m_result, m_reason);
            });
        }
        return;
    }
    m_finished = true;
    endPhase();
    // A serial reserved for a write that was never confirmed is never given again.
    if (!m_reserved.isEmpty()) {
        m_goal.settle(m_reserved, false);
        m_serialEnd = SerialEnd::Burnt;
        m_settledSerial = m_reserved;
        m_reserved.clear();
    }
    m_result = result;
    m_reason = reason;
    emit finished();
}

QJsonObject StationUnit::recordFields() const
{
    QJsonObject fields {{QStringLiteral("port"), m_port},
        {QStringLiteral("usb_serial"), m_opened ? m_device.usbId.serialNumber : QString()},
        {QStringLiteral("serial_before"), m_serialBefore}, {QStringLiteral("serial_after"), m_serialAfter},
        {QStringLiteral("board"), m_boardAfter}, {QStringLiteral("firmware_before"), m_firmwareBefore},
        {QStringLiteral("firmware_after"), m_firmwareAfter}, {QStringLiteral("phases"), m_phases},
        {QStringLiteral("seconds"), seconds()}, {QStringLiteral("result"), unitResultKey(m_result)}};
    if (!m_reason.isEmpty())
        fields.insert(QStringLiteral("reason"), m_reason);
    return fields;
}
