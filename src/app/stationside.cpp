#include "stationside.h"

#include "protocol/deviceplatform.h"

#include <QDir>
#include <QStandardPaths>

namespace {

constexpr int countersRefreshMs = 5000;

} // namespace

StationSide::StationSide(StationWindow *window, const QString &dataFolder)
    : m_window(window)
    , m_dataFolder(dataFolder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
                                        : dataFolder)
{
    connect(window, &StationWindow::startRequested, this, &StationSide::start);
    // The window's Stop, then its Abort: the station's first stop and the next.
    connect(window, &StationWindow::stopRequested, &m_station, &Station::stop);
    connect(window, &StationWindow::abortRequested, &m_station, &Station::stop);
    connect(&m_station, &Station::keyProblem, window, &StationWindow::showStatus);
    connect(&m_station, &Station::recordCut, this, [this](qint64 bytes) {
        m_window->showStatus(tr("%1: cut off a torn last line of %2 bytes (a unit never reported done)")
                                 .arg(recordFile())
                                 .arg(bytes));
    });
    connect(&m_station, &Station::unitArrived, window, &StationWindow::onUnitArrived);
    connect(&m_station, &Station::unitPhaseChanged, window, &StationWindow::onUnitPhaseChanged);
    connect(&m_station, &Station::unitProgress, window, &StationWindow::onUnitProgress);
    connect(&m_station, &Station::unitFinished, window, &StationWindow::onUnitFinished);
    connect(&m_station, &Station::countersChanged, this, &StationSide::showCounters);
    connect(&m_station, &Station::stopping, this, [this](int inProgress) {
        m_window->showStatus(
            tr("stopping; %1 units in progress finish first (Stop again aborts them)").arg(inProgress));
    });
    connect(&m_station, &Station::failing, window, &StationWindow::onStationFailing);
    connect(&m_station, &Station::serialsLow, window, &StationWindow::onSerialsLow);
    connect(&m_station, &Station::lineUnreachable, window, &StationWindow::onLineUnreachable);
    connect(&m_station, &Station::lineReachable, window, &StationWindow::onLineReachable);
    connect(&m_station, &Station::lineBurnt, this, [this](const QStringList &serials) {
        m_window->showStatus(tr("Burnt %1 serials this station's last run left reserved on the line: %2")
                                 .arg(serials.size())
                                 .arg(serials.join(QLatin1Char(' '))));
    });
    connect(&m_station, &Station::lineWaiting, this, [this](int settles, const QString &file) {
        m_lineWaiting = tr("The line database has not confirmed %1 units; they are kept in %2 and sent when "
                           "the station next starts.")
                            .arg(settles)
                            .arg(file);
    });
    connect(&m_station, &Station::stopped, this, &StationSide::showStationEnd);
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
    if (!choice.serialPattern.isEmpty()) {
        options.serials = choice.serialPattern;
        options.board = choice.boardVersion;
        if (choice.lineAddress.isEmpty())
            options.stateFile = stateFile();
        else
            options.line = choice.lineAddress;
    }
    options.recordFile = recordFile();
    // Before starting: a station that cannot start reports its end at once.
    m_window->onStarted();
    m_window->showStatus(QStringLiteral("Running: plug the devices in. Record: %1").arg(recordFile()));
    m_countersTimer.start(countersRefreshMs);
    m_station.start(options);
}

void StationSide::showCounters()
{
    m_window->onCountersChanged(m_station.counters(), m_station.unitsPerHour());
    LineDatabase::Report line;
    if (m_station.lineTotals(&line))
        m_window->showLineTotals(tr("Line: %1 units, %2 per hour; serials given %3, burnt %4, reserved %5")
                                     .arg(line.all.units)
                                     .arg(line.all.perHour, 0, 'f', 0)
                                     .arg(line.given)
                                     .arg(line.burnt)
                                     .arg(line.reserved));
}

void StationSide::showStationEnd(const StationEnd &end)
{
    m_countersTimer.stop();
    showCounters();
    m_window->onStopped();
    QString text;
    if (end.cause != StationEnd::Cause::AllWell)
        text = QStringLiteral("Stopped: %1")
                   .arg(end.cause == StationEnd::Cause::OptionRefused
                           ? StationWindow::serialsRefusalText(end.refusal)
                           : end.reason);
    if (!m_lineWaiting.isEmpty())
        text = text.isEmpty() ? m_lineWaiting : text + QLatin1Char(' ') + m_lineWaiting;
    m_lineWaiting.clear();
    if (!text.isEmpty())
        m_window->showStatus(text);
}
