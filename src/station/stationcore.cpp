#include "station/stationcore.h"

#include "firmware/versiontext.h"
#include "protocol/usbloaderfactory.h"
#include "usb/deviceinterfaceguid.h"
#include "usb/host/usbhost.h"
#include "usb/usbplatform.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

namespace {

// How often the station looks for devices plugged in.
constexpr int lookForArrivalsMs = 100;

} // namespace

bool StationCore::loadFirmware(const QString &fileName, Settings *settings, QString *error)
{
    auto firmware = QSharedPointer<FirmwareFile>::create();
    try {
        firmware->loadFile(fileName);
    } catch (const FirmwareFile::fileCorruptedError &failure) {
        *error = QStringLiteral("%1: %2").arg(fileName, failure.reason());
        return false;
    }
    useFirmware(fileName, firmware, settings);
    return true;
}

void StationCore::useFirmware(
    const QString &fileName, const QSharedPointer<FirmwareFile> &firmware, Settings *settings)
{
    // The hash of the bytes that were read, the same that are flashed.
    settings->fileName = fileName;
    settings->sha256 = QString::fromLatin1(firmware->sha256().toHex());
    settings->firmware = firmware;
}

QString StationCore::readSerials(
    const QString &pattern, const QString &board, const QString &stateFile, Settings *settings)
{
    settings->range = SerialRange::parse(pattern);
    if (!settings->range.isValid())
        return QStringLiteral("--serials %1").arg(settings->range.error());
    if (!parseBoardVersion(board, &settings->boardVersion, &settings->boardSubversion))
        return QStringLiteral("--board \"%1\" is not of the form X.Y (0 to 255 each)").arg(board);
    if (stateFile.isEmpty())
        return QStringLiteral("--serials needs --state FILE, where the serials given are kept");
    settings->stateFile = stateFile;
    return QString();
}

StationCore::StationCore(QObject *parent)
    : QObject(parent)
{
    m_factories << QSharedPointer<usbLoaderFactory>::create();
    connect(&m_look, &QTimer::timeout, this, &StationCore::lookForArrivals);
}

StationCore::~StationCore()
{
    abort();
    // Each asked its worker to end as it finished; this waits for the last of them.
    m_retiring.clear();
}

bool StationCore::open(const Settings &settings, QString *error, qint64 *cutBytes)
{
    m_settings = settings;
    *cutBytes = 0;
    if (!m_settings.recordFile.isEmpty() && !m_record.open(m_settings.recordFile, error, cutBytes))
        return false;
    if (m_settings.range.isValid() && !m_state.open(m_settings.stateFile, m_settings.range, error))
        return false;
    m_goal.firmware = m_settings.firmware;
    m_goal.reflashCurrent = m_settings.reflashCurrent;
    m_goal.withSerials = m_settings.range.isValid();
    m_goal.boardVersion = m_settings.boardVersion;
    m_goal.boardSubversion = m_settings.boardSubversion;
    m_goal.keeps = [this](const QString &serial) {
        if (!m_settings.range.contains(serial))
            return false;
        QString why;
        if (!m_state.noteKept(serial, &why))
            m_fatal = why;
        return true;
    };
    m_goal.reserve = [this](QString *why) { return m_state.reserve(why); };
    m_goal.settle = [this](const QString &serial, bool written) {
        QString why;
        if (!m_state.settle(serial, written, &why))
            m_fatal = why;
    };
    return true;
}

void StationCore::start()
{
    m_started = true;
    // One host for every look: the program's platform, as each unit's driver uses it.
    m_host = createUsbPlatform().host;
    m_clock.start();
    m_look.start(lookForArrivalsMs);
    lookForArrivals();
    if (m_settings.attachedOnly)
        stop();
}

void StationCore::stop()
{
    m_stopping = true;
    m_look.stop();
    endWhenIdle();
}

void StationCore::abort()
{
    stop();
    // Each unit's end takes it out of the map.
    std::vector<StationUnit *> inProgress;
    for (const auto &entry : m_units)
        inProgress.push_back(entry.second.get());
    for (StationUnit *unit : inProgress)
        unit->abort();
}

void StationCore::lookForArrivals()
{
    if (m_stopping)
        return;
    std::vector<std::u16string> found;
    if (!m_host->listInterfacePaths(DEVICE_INTERFACE_GUID, found))
        return;
    QStringList present;
    for (const std::u16string &path : found)
        present << QString::fromStdU16String(path);
    for (const QString &port : m_ports.arrivals(present)) {
        if (m_settings.maxUnits > 0 && m_ports.inProgress() >= m_settings.maxUnits)
            break;
        if (m_settings.count > 0 && m_counters.handled() + m_ports.inProgress() >= m_settings.count)
            break;
        startUnit(port);
    }
    emit statusChanged();
}

void StationCore::startUnit(const QString &port)
{
    m_ports.begin(port);
    auto unit = std::make_unique<StationUnit>(port, m_goal, m_factories);
    StationUnit *started = unit.get();
    // Direct: the unit is only moved aside here, never destroyed in its own signal.
    connect(started, &StationUnit::finished, this, [this, started] { unitEnded(started); });
    connect(
        started, &StationUnit::retired, this,
        [this, started] {
            m_retiring.erase(started);
            endWhenIdle();
        },
        Qt::QueuedConnection);
    m_units[port] = std::move(unit);
    emit unitStarted(started);
    started->start();
}

void StationCore::unitEnded(StationUnit *unit)
{
    QJsonObject line = unit->recordFields();
    line.insert(QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    line.insert(QStringLiteral("station"), m_settings.name);
    line.insert(QStringLiteral("file"), QFileInfo(m_settings.fileName).fileName());
    line.insert(QStringLiteral("sha256"), m_settings.sha256);
    QString error;
    if (!m_settings.recordFile.isEmpty() && !m_record.append(line, &error) && m_fatal.isEmpty())
        m_fatal = error;
    // Reported done only once its line is on disk.
    m_counters.count(unit->result());
    emit unitFinished(unit, line);
    m_ports.finish(unit->port());
    auto entry = m_units.find(unit->port());
    m_retiring[unit] = std::move(entry->second);
    m_units.erase(entry);
    unit->retire();
    if (!m_fatal.isEmpty() && !m_failing) {
        // Without its record or state the station cannot keep its promises.
        m_failing = true;
        emit failing(m_fatal);
        stop();
    }
    if (m_settings.count > 0 && m_counters.handled() >= m_settings.count)
        stop();
    endWhenIdle();
    emit statusChanged();
}

void StationCore::endWhenIdle()
{
    // Only once every unit's worker thread has ended: none is left behind.
    if (m_started && m_stopping && !m_finished && m_ports.inProgress() == 0 && m_retiring.empty()) {
        m_finished = true;
        emit finished();
    }
}
