#include "stationside.h"

#include "protocol/deviceplatform.h"

#include <QDir>
#include <QStandardPaths>
#include <QSysInfo>

namespace {

constexpr int countersRefreshMs = 5000;

} // namespace

StationSide::StationSide(StationWindow *window, const QString &dataFolder)
    : m_window(window)
    , m_dataFolder(dataFolder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
                                        : dataFolder)
{
    connect(window, &StationWindow::startRequested, this, &StationSide::start);
    connect(window, &StationWindow::stopRequested, &m_station, &Station::stop);
    connect(window, &StationWindow::abortRequested, &m_station, &Station::abort);
    connect(&m_station, &Station::unitArrived, window, &StationWindow::onUnitArrived);
    connect(&m_station, &Station::unitPhaseChanged, window, &StationWindow::onUnitPhaseChanged);
    connect(&m_station, &Station::unitProgress, window, &StationWindow::onUnitProgress);
    connect(&m_station, &Station::unitFinished, this, &StationSide::finished);
    connect(&m_station, &Station::countersChanged, this, &StationSide::showCounters);
    connect(&m_station, &Station::message, this, [this](const QString &text) {
        m_lastMessage = text;
        m_window->showStatus(text);
    });
    connect(&m_station, &Station::serialsRefused, this, [this](const SerialsRefusal &refusal) {
        m_lastMessage = StationWindow::serialsRefusalText(refusal);
        m_window->showStatus(m_lastMessage);
    });
    connect(&m_station, &Station::failing, window, &StationWindow::onStationFailing);
    connect(&m_station, &Station::serialsLow, window, &StationWindow::onSerialsLow);
    connect(&m_station, &Station::stopped, this, &StationSide::stopped);
    connect(&m_countersTimer, &QTimer::timeout, this, &StationSide::showCounters);
    window->showStationFiles(recordFile(), stateFile());
}

StationSide::~StationSide()
{
    // The station's last report, while it goes, must not reach members already gone.
    m_station.disconnect(this);
}

QString StationSide::recordFile() const
{
    return QDir(m_dataFolder).filePath(QStringLiteral("station-record.jsonl"));
}

QString StationSide::stateFile() const
{
    return QDir(m_dataFolder).filePath(QStringLiteral("station-state.json"));
}

void StationSide::start(const StationWindow::Choice &choice)
{
    if (!QDir().mkpath(m_dataFolder)) {
        m_window->onStartRefused(
            QStringLiteral("Cannot create the folder %1 for the record.").arg(m_dataFolder));
        return;
    }
    // The station runs in this process: the devices it finds come from here.
    QString platformError;
    if (!startDevicePlatform(&platformError)) {
        m_window->onStartRefused(platformError);
        return;
    }
    Station::Options options;
    options.firmware = choice.firmware;
    options.firmwareFile = choice.firmwarePath;
    options.expectSha256 = choice.expectedSha256;
    options.serials = choice.serialPattern;
    options.board = choice.boardVersion;
    options.recordFile = recordFile();
    options.stateFile = choice.serialPattern.isEmpty() ? QString() : stateFile();
    options.name = QSysInfo::machineHostName();
    m_lastMessage.clear();
    // Before starting: a station that cannot start reports its end at once.
    m_window->onStarted();
    m_window->showStatus(QStringLiteral("Running: plug the devices in. Record: %1").arg(recordFile()));
    m_countersTimer.start(countersRefreshMs);
    m_station.start(options);
}

void StationSide::finished(
    const QString &port, StationCounters::Result result, const QString &detail, const QString &serial)
{
    const bool endedWell
        = result == StationCounters::Result::Done || result == StationCounters::Result::AlreadyCurrent;
    // For a unit that ended well the detail is the firmware it runs, not a reason.
    m_window->onUnitFinished(port, result, endedWell ? QString() : detail, serial);
}

void StationSide::showCounters()
{
    StationCounters counters;
    counters.done = m_station.done();
    counters.current = m_station.current();
    counters.failed = m_station.failed();
    counters.aborted = m_station.aborted();
    counters.notRecorded = m_station.notRecorded();
    m_window->onCountersChanged(counters, m_station.unitsPerHour());
}

void StationSide::stopped(int exitCode)
{
    m_countersTimer.stop();
    showCounters();
    m_window->onStopped();
    if (exitCode != 0 && !m_lastMessage.isEmpty())
        m_window->showStatus(QStringLiteral("Stopped: %1").arg(m_lastMessage));
}
