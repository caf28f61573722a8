#include "station/station.h"

#include "station/stationcore.h"

#include <QSysInfo>

namespace {

// How the station ends, as talvex-cli station's exit statuses say it.
constexpr int endedWell = 0;
constexpr int fileFailed = 1;
constexpr int optionRefused = 2;
constexpr int unitFailed = 4;

} // namespace

Station::Station(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<StationCounters::Result>();
}

Station::~Station()
{
    // While this object is whole: the aborted units' ends are reported and recorded.
    if (m_core)
        m_core->abort();
    m_core.reset();
}

double Station::unitsPerHour() const
{
    const qint64 elapsed = m_clock.isValid() ? m_clock.elapsed() : 0;
    return elapsed > 0 ? (m_done + m_current + m_failed) * 3600000.0 / double(elapsed) : 0;
}

void Station::start(const Station::Options &options)
{
    if (isRunning())
        return;
    m_done = m_current = m_failed = m_aborted = m_notRecorded = 0;
    m_clock.start();
    emit countersChanged();
    StationCore::Settings settings;
    QString error;
    if (!options.firmware) {
        refuse(fileFailed, tr("no firmware file is loaded"));
        return;
    }
    StationCore::useFirmware(options.firmwareFile, options.firmware, &settings);
    QStringList keyProblems;
    const bool approved
        = StationCore::approveFirmware({}, options.expectSha256, &settings, &error, &keyProblems);
    for (const QString &problem : keyProblems)
        emit message(problem);
    if (!approved) {
        refuse(fileFailed, error);
        return;
    }
    if (!options.serials.isEmpty()) {
        const SerialsRefusal refused
            = StationCore::readSerials(options.serials, options.board, options.stateFile, &settings);
        if (refused.isRefused()) {
            emit serialsRefused(refused);
            emit stopped(optionRefused);
            return;
        }
    }
    settings.recordFile
        = options.recordFile.isEmpty() ? QStringLiteral("station-record.jsonl") : options.recordFile;
    settings.name = options.name.isEmpty() ? QSysInfo::machineHostName() : options.name;
    settings.maxUnits = options.maxUnits;
    settings.reflashCurrent = options.reflashCurrent;

    auto core = std::make_unique<StationCore>();
    qint64 cutBytes = 0;
    if (!core->open(settings, &error, &cutBytes)) {
        refuse(fileFailed, error);
        return;
    }
    if (cutBytes > 0)
        emit message(tr("%1: cut off a torn last line of %2 bytes (a unit never reported done)")
                         .arg(settings.recordFile)
                         .arg(cutBytes));
    connect(core.get(), &StationCore::unitStarted, this, &Station::watch);
    connect(core.get(), &StationCore::unitFinished, this,
        [this](StationUnit *unit, StationCounters::Result result, const QJsonObject &line) {
            QString detail = unit->reason();
            switch (result) {
            case StationCounters::Result::Done:
                ++m_done;
                detail = unit->firmwareAfterText();
                break;
            case StationCounters::Result::AlreadyCurrent:
                ++m_current;
                detail = unit->firmwareAfterText();
                break;
            case StationCounters::Result::Failed:
                ++m_failed;
                break;
            case StationCounters::Result::Aborted:
                ++m_aborted;
                break;
            case StationCounters::Result::NotRecorded:
                ++m_notRecorded;
                detail = line.value(QStringLiteral("record_error")).toString();
                break;
            }
            emit unitFinished(unit->port(), result, detail, unit->serialAfter());
            emit countersChanged();
        });
    connect(core.get(), &StationCore::failing, this, &Station::failing);
    connect(core.get(), &StationCore::serialsLow, this, &Station::serialsLow);
    // Queued: the core goes once it has finished, not while it still reports.
    connect(core.get(), &StationCore::finished, this, &Station::finished, Qt::QueuedConnection);
    m_core = std::move(core);
    if (m_core->serialsRunningLow())
        emit serialsLow(m_core->serialsLeft(), m_core->serialsInRange());
    m_core->start();
}

void Station::stop()
{
    if (!m_core || m_core->isStopping())
        return;
    emit message(
        tr("stopping; %1 units in progress finish first (Stop again aborts them)").arg(m_core->inProgress()));
    m_core->stop();
}

void Station::abort()
{
    if (m_core)
        m_core->abort();
}

void Station::refuse(int exitCode, const QString &reason)
{
    emit message(reason);
    emit stopped(exitCode);
}

void Station::watch(StationUnit *unit)
{
    const QString port = unit->port();
    connect(unit, &StationUnit::phaseChanged, this, [this, unit, port](const QString &phase) {
        if (phase == QLatin1String("opening"))
            emit unitArrived(port);
        emit unitPhaseChanged(port, phase, unit->isOpened() ? serialText(unit->device()) : QString());
    });
    connect(
        unit, &StationUnit::progress, this, [this, port](int percent) { emit unitProgress(port, percent); });
}

void Station::finished()
{
    if (!m_core)
        return;
    const StationCounters counters = m_core->counters();
    const QString fatal = m_core->fatalError();
    m_core.reset();
    if (!fatal.isEmpty()) {
        refuse(fileFailed, fatal);
    } else if (counters.failed + counters.aborted + counters.notRecorded > 0) {
        refuse(unitFailed,
            tr("%1 of %2 units failed or were aborted")
                .arg(counters.failed + counters.aborted + counters.notRecorded)
                .arg(counters.handled()));
    } else {
        emit stopped(endedWell);
    }
}
