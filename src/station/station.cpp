#include "station/station.h"

#include "firmware/flashapproval.h"
#include "firmware/versiontext.h"
#include "station/stationcore.h"

#include <QSysInfo>

namespace {

SerialsRefusal readSerials(
    const QString &pattern, const QString &board, const QString &stateFile, StationSettings *settings)
{
    SerialsRefusal refusal;
    settings->range = SerialRange::parse(pattern);
    if (!settings->range.isValid()) {
        refusal.reason = SerialsRefusal::Reason::Range;
        refusal.rangeProblem = settings->range.problem();
        refusal.text = pattern;
    } else if (!parseBoardVersion(board, &settings->boardVersion, &settings->boardSubversion)) {
        refusal.reason = SerialsRefusal::Reason::Board;
        refusal.text = board;
    } else if (stateFile.isEmpty()) {
        refusal.reason = SerialsRefusal::Reason::NoState;
    } else {
        settings->stateFile = stateFile;
    }
    return refusal;
}

SerialsRefusal readSerialsAndLine(const Station::Options &options, StationSettings *settings)
{
    SerialsRefusal refusal;
    if (!options.line)
        return readSerials(*options.serials, options.board, options.stateFile, settings);
    const LineAddress line = LineAddress::parse(*options.line);
    if (!line.isValid()) {
        refusal.reason = SerialsRefusal::Reason::LineAddress;
        refusal.text = line.problem();
    } else if (!options.serials) {
        refusal.reason = SerialsRefusal::Reason::LineWithoutSerials;
    } else if (!options.stateFile.isEmpty()) {
        refusal.reason = SerialsRefusal::Reason::LineWithState;
    } else {
        // The line keeps the serials: no state file is asked for.
        refusal = readSerials(*options.serials, options.board, QStringLiteral("-"), settings);
        settings->stateFile.clear();
        settings->line = line;
    }
    return refusal;
}

} // namespace

Station::Station(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<UnitResult>();
    qRegisterMetaType<UnitPhase>();
    qRegisterMetaType<StationEnd>();
}

Station::~Station()
{
    // While this object is whole: the aborted units' ends are reported and recorded.
    if (m_core)
        m_core->abort();
    m_core.reset();
}

const StationCounters &Station::counters() const
{
    return m_core ? m_core->counters() : m_endCounters;
}

qint64 Station::elapsedMs() const
{
    return m_core ? m_core->elapsedMs() : m_endElapsedMs;
}

bool Station::lineTotals(LineDatabase::Report *report)
{
    return m_core && m_core->line() && m_core->lineTotals(report);
}

int Station::inProgress() const
{
    return m_core ? m_core->inProgress() : 0;
}

void Station::start(const Station::Options &options)
{
    if (isRunning())
        return;
    m_stopAsked = false;
    m_endCounters = StationCounters();
    m_endElapsedMs = 0;
    emit countersChanged();
    if (!resolve(options))
        return;
    auto core = std::make_unique<StationCore>();
    QString error;
    qint64 cutBytes = 0;
    if (!core->open(m_settings, &error, &cutBytes)) {
        end(StationEnd::Cause::FileFailed, error);
        return;
    }
    if (cutBytes > 0)
        emit recordCut(cutBytes);
    if (!core->lineBurnt().isEmpty())
        emit lineBurnt(core->lineBurnt());
    connect(core.get(), &StationCore::unitStarted, this, &Station::watch);
    connect(core.get(), &StationCore::unitFinished, this,
        [this](StationUnit *unit, UnitResult result, const QJsonObject &line) {
            emit unitEnded(unit, result, line);
            QString reason;
            if (result == UnitResult::NotRecorded)
                reason = line.value(QStringLiteral("record_error")).toString();
            else if (!reachedGoal(result))
                reason = unit->reason();
            emit unitFinished(unit->port(), result, reason, unit->serialAfter());
            emit countersChanged();
        });
    connect(core.get(), &StationCore::statusChanged, this, &Station::statusChanged);
    connect(core.get(), &StationCore::failing, this, &Station::failing);
    connect(core.get(), &StationCore::serialsLow, this, &Station::serialsLow);
    connect(core.get(), &StationCore::lineUnreachable, this, &Station::lineUnreachable);
    connect(core.get(), &StationCore::lineReachable, this, &Station::lineReachable);
    // Queued: the core goes once it has finished, not while it still reports.
    connect(core.get(), &StationCore::finished, this, &Station::finished, Qt::QueuedConnection);
    m_core = std::move(core);
    emit started();
    if (m_core->serialsRunningLow())
        emit serialsLow(m_core->serialsLeft(), m_core->serialsInRange());
    m_core->start();
}

bool Station::resolve(const Station::Options &options)
{
    m_settings = StationSettings();
    m_settings.fileName = options.firmwareFile;
    m_settings.firmware = options.firmware;
    if (!m_settings.firmware) {
        m_settings.firmware = QSharedPointer<FirmwareFile>::create();
        try {
            m_settings.firmware->loadFile(options.firmwareFile);
        } catch (const FirmwareFile::fileCorruptedError &failure) {
            end(StationEnd::Cause::FileFailed,
                QStringLiteral("%1: %2").arg(options.firmwareFile, failure.reason()));
            return false;
        }
    }
    // The hash of the bytes that were read, the same that are flashed.
    m_settings.sha256 = QString::fromLatin1(m_settings.firmware->sha256().toHex());
    const QString &expected = options.expectSha256;
    if (!expected.isEmpty() && !isSha256Hex(expected)) {
        end(StationEnd::Cause::FileFailed,
            QStringLiteral("the expected SHA-256 \"%1\" is not 64 hex digits").arg(expected));
        return false;
    }
    // A line runs one released image; any other is refused before a unit is touched.
    if (!expected.isEmpty() && expected.compare(m_settings.sha256, Qt::CaseInsensitive) != 0) {
        end(StationEnd::Cause::FileFailed,
            QStringLiteral("%1: SHA-256 %2, but the station expects %3")
                .arg(m_settings.fileName, m_settings.sha256, expected.toLower()));
        return false;
    }
    const FlashApproval approval = FlashApproval::decide(
        *m_settings.firmware, m_settings.fileName, {options.keys, options.requireSignature});
    for (const TrustedKeys::Problem &problem : approval.keyProblems)
        emit keyProblem(QStringLiteral("key ") + TrustedKeys::problemText(problem));
    if (approval.isRefused()) {
        end(StationEnd::Cause::FileFailed,
            QStringLiteral("%1: %2").arg(m_settings.fileName, approval.refusalText()));
        return false;
    }
    m_settings.signature = approval.recordState();
    m_settings.signer = approval.check.isVerified() ? approval.check.keyId : QString();
    if (options.serials || options.line) {
        const SerialsRefusal refused = readSerialsAndLine(options, &m_settings);
        if (refused.isRefused()) {
            StationEnd ended;
            ended.cause = StationEnd::Cause::OptionRefused;
            ended.refusal = refused;
            emit stopped(ended);
            return false;
        }
    }
    m_settings.recordFile = options.recordFile.value_or(QStringLiteral("station-record.jsonl"));
    m_settings.name = options.name.value_or(QSysInfo::machineHostName());
    m_settings.count = options.count;
    m_settings.maxUnits = options.maxUnits;
    m_settings.reflashCurrent = options.reflashCurrent;
    m_settings.attachedOnly = options.attachedOnly;
    return true;
}

void Station::stop()
{
    if (!m_core)
        return;
    if (m_stopAsked) {
        abort();
        return;
    }
    m_stopAsked = true;
    emit stopping(m_core->inProgress());
    m_core->stop();
}

void Station::abort()
{
    if (m_core)
        m_core->abort();
}

void Station::end(StationEnd::Cause cause, const QString &reason)
{
    StationEnd ended;
    ended.cause = cause;
    ended.reason = reason;
    emit stopped(ended);
}

void Station::watch(StationUnit *unit)
{
    const QString port = unit->port();
    connect(unit, &StationUnit::phaseChanged, this, [this, unit, port](UnitPhase phase) {
        if (phase == UnitPhase::Opening)
            emit unitArrived(port);
        emit unitPhaseChanged(port, phase, unit->isOpened() ? serialText(unit->device()) : QString());
    });
    connect(
        unit, &StationUnit::progress, this, [this, port](int percent) { emit unitProgress(port, percent); });
    emit unitStarted(unit);
}

void Station::finished()
{
    if (!m_core)
        return;
    m_endCounters = m_core->counters();
    m_endElapsedMs = m_core->elapsedMs();
    if (m_core->line() && m_core->line()->waiting() > 0)
        emit lineWaiting(m_core->line()->waiting(), StationCore::lineQueueFile(m_settings.recordFile));
    const QString fatal = m_core->fatalError();
    m_core.reset();
    if (!fatal.isEmpty()) {
        end(StationEnd::Cause::FileFailed, fatal);
    } else if (m_endCounters.unsuccessful() > 0) {
        end(StationEnd::Cause::UnitsFailed,
            QStringLiteral("%1 of %2 units failed or were aborted")
                .arg(m_endCounters.unsuccessful())
                .arg(m_endCounters.handled()));
    } else {
        end(StationEnd::Cause::AllWell);
    }
}
