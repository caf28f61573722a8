#include "station/stationcore.h"

#include "protocol/deviceplatform.h"
#include "protocol/usbloaderfactory.h"
#include "usb/deviceinterfaceguid.h"
#include "usb/host/usbhost.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

namespace {

// How soon the station looks again when the list of devices could not be
// read: no notification may follow a failed look.
constexpr int lookAgainAfterFailureMs = 1000;
// How long a stopping station waits for the line to confirm its last units.
constexpr int lineSettleWaitMs = 10000;

} // namespace

StationCore::StationCore(QObject *parent)
    : QObject(parent)
{
    m_factories << QSharedPointer<usbLoaderFactory>::create();
    m_lookAgain.setSingleShot(true);
    m_lookAgain.setInterval(lookAgainAfterFailureMs);
    connect(&m_lookAgain, &QTimer::timeout, this, &StationCore::lookForArrivals);
    m_lineWait.setSingleShot(true);
    m_lineWait.setInterval(lineSettleWaitMs);
    connect(&m_lineWait, &QTimer::timeout, this, [this] {
        m_lineWaitOver = true;
        endWhenIdle();
    });
}

StationCore::~StationCore()
{
    abort();
    // Each asked its worker to end as it finished; this waits for the last of them.
    m_retiring.clear();
}

bool StationCore::open(const StationSettings &settings, QString *error, qint64 *cutBytes)
{
    m_settings = settings;
    *cutBytes = 0;
    if (!m_settings.recordFile.isEmpty() && !m_record.open(m_settings.recordFile, error, cutBytes))
        return false;
    if (m_settings.line) {
        if (!openLine(error))
            return false;
    } else if (m_settings.range.isValid()) {
        // Before the state is read: a record read as a state would pass for a damaged state.
        DurableFile::Status state;
        if (!DurableFile::status(m_settings.stateFile, &state, error))
            return false;
        if (!m_settings.recordFile.isEmpty() && !state.identity.isEmpty()
            && state.identity == m_record.identity()) {
            *error = QStringLiteral("%1 and %2 are the same file; the record and the state need one each")
                         .arg(m_settings.recordFile, m_settings.stateFile);
            return false;
        }
        if (!m_state.open(m_settings.stateFile, m_settings.range, error))
            return false;
    }
    m_goal.firmware = m_settings.firmware;
    m_goal.reflashCurrent = m_settings.reflashCurrent;
    m_goal.withSerials = m_settings.range.isValid();
    m_goal.boardVersion = m_settings.boardVersion;
    m_goal.boardSubversion = m_settings.boardSubversion;
    if (m_line)
        return true;
    m_goal.claim
        = [this](const QString &serial, const QString &holder, const StationUnit::Goal::ClaimAnswer &answer) {
              if (!m_settings.range.contains(serial)) {
                  answer(StationUnit::Goal::Claim::NotOfRange, QString());
                  return;
              }
              QString why;
              switch (m_state.claim(serial, holder, &why)) {
              case StationState::Claim::Kept:
                  answer(StationUnit::Goal::Claim::Kept, QString());
                  return;
              case StationState::Claim::NotWritten:
                  fail(why);
                  break;
              case StationState::Claim::Taken:
                  break;
              }
              answer(StationUnit::Goal::Claim::Refused, why);
          };
    m_goal.reserve = [this](const QString &holder, const StationUnit::Goal::ReserveAnswer &answer) {
        QString why;
        const QString serial = m_state.reserve(holder, &why);
        if (!m_state.writeError().isEmpty())
            fail(m_state.writeError());
        else
            reserved(serial);
        answer(serial, why);
    };
    m_goal.settle = [this](const QString &serial, bool written) {
        QString why;
        if (!m_state.settle(serial, written, &why))
            fail(why);
    };
    return true;
}

bool StationCore::openLine(QString *error)
{
    if (m_settings.recordFile.isEmpty() || !m_settings.range.isValid()) {
        *error = QStringLiteral("a station on a line needs a serial range and a record");
        return false;
    }
    m_line = std::make_unique<StationLine>();
    if (!m_line->open(*m_settings.line, m_settings.name, m_settings.range,
            lineQueueFile(m_settings.recordFile), error, &m_lineBurnt)) {
        m_line.reset();
        return false;
    }
    if (!repairRecord(error))
        return false;
    connect(m_line.get(), &StationLine::unreachable, this, [this](const QString &reason) {
        emit lineUnreachable(reason);
        emit statusChanged();
        // What was being sent waits in the local file now.
        endWhenIdle();
    });
    connect(m_line.get(), &StationLine::reachable, this, [this] {
        emit lineReachable();
        lookForArrivals();
    });
    connect(m_line.get(), &StationLine::settled, this, &StationCore::endWhenIdle);
    m_goal.claim
        = [this](const QString &serial, const QString &holder, const StationUnit::Goal::ClaimAnswer &answer) {
              if (!m_settings.range.contains(serial)) {
                  answer(StationUnit::Goal::Claim::NotOfRange, QString());
                  return;
              }
              m_line->claim(serial, holder, [answer](StationLine::Claim claim, const QString &why) {
                  answer(claim == StationLine::Claim::Kept ? StationUnit::Goal::Claim::Kept
                                                           : StationUnit::Goal::Claim::Refused,
                      why);
              });
          };
    m_goal.reserve = [this](const QString &, const StationUnit::Goal::ReserveAnswer &answer) {
        m_line->reserve([this, answer](const QString &serial, const QString &why) {
            reserved(serial);
            answer(serial, why);
        });
    };
    // The unit's serial is settled with its record line, as it ends.
    m_goal.settle = [](const QString &, bool) {};
    return true;
}

QString StationCore::lineQueueFile(const QString &recordFile)
{
    return recordFile + QStringLiteral(".line-queue");
}

void StationCore::keepForLine(const StationUnit *unit, const QJsonObject &line)
{
    LineDatabase::Outcome outcome = LineDatabase::Outcome::NoSerial;
    switch (unit->serialEnd()) {
    case StationUnit::SerialEnd::None:
        break;
    case StationUnit::SerialEnd::Given:
        outcome = LineDatabase::Outcome::Given;
        break;
    case StationUnit::SerialEnd::Burnt:
        outcome = LineDatabase::Outcome::Burnt;
        break;
    case StationUnit::SerialEnd::Kept:
        outcome = LineDatabase::Outcome::Kept;
        break;
    }
    QString error;
    if (!m_line->keep(QString::number(++m_lineUnits), unit->settledSerial(), outcome, line, &error))
        fail(error);
}

bool StationCore::repairRecord(QString *error)
{
    const QJsonObject kept = m_line->lastKeptAtOpen();
    if (kept.isEmpty())
        return true;
    const QByteArray keptBytes = QJsonDocument(kept).toJson(QJsonDocument::Compact);
    if (keptBytes == m_record.lastLine())
        return true;
    // A later line means the record went on without the line database since.
    const QString lastTime
        = QJsonDocument::fromJson(m_record.lastLine()).object().value(QLatin1String("time")).toString();
    if (lastTime > kept.value(QLatin1String("time")).toString())
        return true;
    return m_record.append(kept, error);
}

qint64 StationCore::serialsLeft() const
{
    if (m_line)
        return m_line->left();
    return m_settings.range.isValid() ? m_state.left() : 0;
}

qint64 StationCore::serialsInRange() const
{
    if (m_line)
        return m_settings.range.last() - m_settings.range.first() + 1;
    return m_settings.range.isValid() ? m_state.size() : 0;
}

bool StationCore::serialsRunningLow() const
{
    return m_settings.range.isValid() && serialsLeft() * 20 < serialsInRange();
}

void StationCore::start()
{
    m_started = true;
    // The program's one platform, which each unit's driver shares; the
    // station looks whenever it says the devices changed.
    m_platform = devicePlatform();
    connect(m_platform.deviceChangeSource.get(), SIGNAL(deviceListChanged()), this, SLOT(lookForArrivals()));
    m_clock.start();
    lookForArrivals();
    if (m_settings.attachedOnly)
        stop();
}

void StationCore::stop()
{
    m_stopping = true;
    m_lookAgain.stop();
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
    if (!m_platform.host->listInterfacePaths(DEVICE_INTERFACE_GUID, found)) {
        m_lookAgain.start();
        return;
    }
    QStringList present;
    for (const std::u16string &path : found)
        present << QString::fromStdU16String(path);
    for (const QString &port : m_ports.arrivals(present)) {
        // Each unit needs a serial from the line; those waiting start once it answers.
        if (m_line && !m_line->isReachable())
            break;
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
    line.insert(QStringLiteral("signature"), m_settings.signature);
    line.insert(QStringLiteral("signer"), m_settings.signer);
    UnitResult result = unit->result();
    QString error;
    // Kept for the line before the record has it: a crash between the two
    // is mended at the next start, by writing the record line then.
    if (m_line)
        keepForLine(unit, line);
    // Reported done only once its line is on disk; otherwise reported as not recorded.
    if (!m_settings.recordFile.isEmpty() && !m_record.append(line, &error)) {
        result = UnitResult::NotRecorded;
        line.insert(QStringLiteral("outcome"), line.value(QStringLiteral("result")));
        line.insert(QStringLiteral("result"), unitResultKey(result));
        line.insert(QStringLiteral("record_error"), error);
        fail(error);
    }
    m_counters.count(result);
    emit unitFinished(unit, result, line);
    m_ports.finish(unit->port());
    auto entry = m_units.find(unit->port());
    m_retiring[unit] = std::move(entry->second);
    m_units.erase(entry);
    unit->retire();
    if (m_settings.count > 0 && m_counters.handled() >= m_settings.count)
        stop();
    endWhenIdle();
    // The unit's end may make room for a device that waits beyond maxUnits.
    if (m_stopping)
        emit statusChanged();
    else
        lookForArrivals();
}

void StationCore::fail(const QString &reason)
{
    if (m_failing)
        return;
    m_failing = true;
    m_fatal = reason;
    // No new unit from now on; those in progress finish and are reported.
    stop();
    emit failing(reason);
}

void StationCore::endWhenIdle()
{
    // Only once every unit's worker thread has ended: none is left behind.
    if (!m_started || !m_stopping || m_finished || m_ports.inProgress() > 0 || !m_retiring.empty())
        return;
    // The last units' settles are given time to reach the line; those the
    // database has not confirmed by then wait in the local file.
    if (m_line && !m_line->isSettled() && !m_lineWaitOver) {
        if (!m_lineWait.isActive())
            m_lineWait.start();
        return;
    }
    m_lineWait.stop();
    m_finished = true;
    emit finished();
}

void StationCore::reserved(const QString &serial)
{
    if (serial.isEmpty() || !serialsRunningLow())
        return;
    emit serialsLow(serialsLeft(), serialsInRange());
    // A unit taken now would be flashed, then fail for want of a serial.
    if (serialsLeft() == 0)
        stop();
}
