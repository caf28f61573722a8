// talvex-cli station: flashes every device as it is plugged in, gives it a
// serial from a range, and keeps a record of every unit that survives a
// crash. Runs until stopped (Ctrl-C) or --count units were handled. The
// station's core does the work; this is its command line and its output.

#include "clicommon.h"
#include "commandreport.h"
#include "devicecommand.h"
#include "devicecommandsrun.h"
#include "stationreport.h"

#include "app/deviceside.h"
#include "app/terminationsignals.h"
#include "firmware/versiontext.h"
#include "protocol/wire.h"
#include "station/stationcore.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QSysInfo>

#include <cstdio>
#include <unistd.h>

namespace {

// How often the station looks for devices plugged in.
constexpr int lookForArrivalsMs = 100;

int positiveNumber(const DeviceCommandLine &commandLine, const QString &option)
{
    const QString text = commandLine.value(option);
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 1 || text.startsWith(QLatin1Char('+')))
        commandLine.refuse(QStringLiteral("--%1 \"%2\" is not a number from 1 up").arg(option, text));
    return value;
}

StationCore::Settings readOptions(DeviceCommandContext &context)
{
    const DeviceCommandLine &commandLine = context.commandLine();
    StationCore::Settings settings;
    QString error;
    if (!StationCore::loadFirmware(commandLine.positional().first(), &settings, &error))
        context.fail(ExitFileFailed, error);

    const bool serials = commandLine.isSet(QStringLiteral("serials"));
    if (serials != commandLine.isSet(QStringLiteral("board")))
        commandLine.refuse(QStringLiteral("--serials and --board go together"));
    if (serials) {
        const QString refused = StationCore::readSerials(commandLine.value(QStringLiteral("serials")),
            commandLine.value(QStringLiteral("board")), commandLine.value(QStringLiteral("state")),
            &settings);
        if (!refused.isEmpty())
            commandLine.refuse(refused);
    }
    settings.recordFile = commandLine.isSet(QStringLiteral("record"))
        ? commandLine.value(QStringLiteral("record"))
        : QStringLiteral("station-record.jsonl");
    settings.name = commandLine.isSet(QStringLiteral("name")) ? commandLine.value(QStringLiteral("name"))
                                                              : QSysInfo::machineHostName();
    if (commandLine.isSet(QStringLiteral("count")))
        settings.count = positiveNumber(commandLine, QStringLiteral("count"));
    if (commandLine.isSet(QStringLiteral("max-units")))
        settings.maxUnits = positiveNumber(commandLine, QStringLiteral("max-units"));
    settings.reflashCurrent = commandLine.isSet(QStringLiteral("reflash-current"));
    return settings;
}

// The station's core at work, shown on the terminal and under --json.
class StationCommand
{
public:
    StationCommand(DeviceCommandContext &context, const StationCore::Settings &settings)
        : m_context(context)
        , m_terminal(isatty(fileno(stdout)) && !CommandReport::current().isJson())
    {
        QString error;
        qint64 cutBytes = 0;
        if (!m_station.open(settings, &error, &cutBytes))
            context.fail(ExitFileFailed, error);
        if (cutBytes > 0)
            printErr(
                QStringLiteral("talvex-cli station: %1: cut off a torn last line of %2 bytes (a unit never "
                               "reported done)\n")
                    .arg(settings.recordFile)
                    .arg(cutBytes));
        QObject::connect(&m_station, &StationCore::unitStarted, [](StationUnit *unit) {
            QObject::connect(unit, &StationUnit::phaseChanged, [unit](const QString &phase) {
                CommandReport::current().event(QStringLiteral("phase"),
                    {{QStringLiteral("port"), unit->port()},
                        {QStringLiteral("serial"), unit->isOpened() ? serialText(unit->device()) : QString()},
                        {QStringLiteral("phase"), phase}});
            });
            reportUnitEvents(unit);
        });
        QObject::connect(&m_station, &StationCore::unitFinished,
            [this](StationUnit *unit, const QJsonObject &line) { unitFinished(unit, line); });
        QObject::connect(&m_station, &StationCore::failing, [](const QString &reason) {
            printErr(QStringLiteral("talvex-cli station: %1; stopping\n").arg(reason));
        });
        QObject::connect(&m_station, &StationCore::statusChanged, [this] { showStatus(); });
        QObject::connect(&m_station, &StationCore::finished, &m_loop, &QEventLoop::quit);
    }

    int run()
    {
        const StationCore::Settings &settings = m_station.settings();
        const FirmwareFile::THeader header = settings.firmware->header();
        printOut(QStringLiteral("station %1: %2 (%3), record %4%5; Ctrl-C stops\n")
                     .arg(settings.name, QFileInfo(settings.fileName).fileName(),
                         formatVersion(header.version, header.subversion, header.bugfix, header.build,
                             QString::fromLatin1(fieldText(header.name, sizeof header.name))),
                         settings.recordFile,
                         settings.range.isValid() ? QStringLiteral(", serials ") + settings.range.pattern()
                                                  : QString()));
        std::fflush(stdout);
        // Ctrl-C once stops, twice aborts; SIGTERM counts the same.
        TerminationSignals interrupts;
        QObject::connect(&interrupts, &TerminationSignals::terminationRequested, &m_loop, [this] { stop(); });
        m_station.start();
        m_loop.exec();
        if (m_terminal)
            printOut(QStringLiteral("\r\033[K"));
        const StationCounters &counters = m_station.counters();
        const qint64 elapsed = m_station.elapsedMs();
        printOut(QStringLiteral("station %1: %2 units (%3) in %4 s, %5 units per hour\n")
                     .arg(settings.name)
                     .arg(counters.handled())
                     .arg(counters.summary())
                     .arg(elapsed / 1000.0, 0, 'f', 1)
                     .arg(counters.unitsPerHour(elapsed), 0, 'f', 0));
        CommandReport &report = CommandReport::current();
        report.addResult(QStringLiteral("done"), counters.done);
        report.addResult(QStringLiteral("already_current"), counters.current);
        report.addResult(QStringLiteral("failed"), counters.failed);
        report.addResult(QStringLiteral("aborted"), counters.aborted);
        report.addResult(QStringLiteral("units_per_hour"), counters.unitsPerHour(elapsed));
        if (!m_station.fatalError().isEmpty())
            m_context.fail(ExitFileFailed, m_station.fatalError());
        if (counters.failed + counters.aborted > 0)
            m_context.fail(ExitDeviceFailed,
                QStringLiteral("%1 of %2 units failed or were aborted")
                    .arg(counters.failed + counters.aborted)
                    .arg(counters.handled()));
        return ExitSuccess;
    }

private:
    void stop()
    {
        if (m_station.isStopping()) {
            m_station.abort();
            return;
        }
        printErr(QStringLiteral("talvex-cli station: stopping; %1 units in progress finish first (Ctrl-C "
                                "again aborts them)\n")
                     .arg(m_station.inProgress()));
        m_station.stop();
    }

    void unitFinished(StationUnit *unit, const QJsonObject &line)
    {
        CommandReport::current().event(QStringLiteral("unit"), line);
        const QString serial = unit->serialAfter().isEmpty() ? QStringLiteral("?") : unit->serialAfter();
        const QString seconds = QString::number(unit->seconds(), 'f', 2);
        if (m_terminal)
            printOut(QStringLiteral("\r\033[K"));
        if (unit->result() == StationCounters::Result::Failed
            || unit->result() == StationCounters::Result::Aborted)
            printOut(QStringLiteral("%1 %2: %3, %4 s: %5\n")
                         .arg(unit->port(), serial, StationCounters::text(unit->result()), seconds,
                             unit->reason()));
        else
            printOut(QStringLiteral("%1 %2: %3, %4, %5 s\n")
                         .arg(unit->port(), serial, StationCounters::text(unit->result()),
                             unit->firmwareAfterText(), seconds));
        std::fflush(stdout);
    }

    void showStatus()
    {
        if (!m_terminal)
            return;
        const StationCounters &counters = m_station.counters();
        printOut(QStringLiteral("\r\033[Kdone %1, already current %2, failed %3, in progress %4, %5 units/h")
                     .arg(counters.done)
                     .arg(counters.current)
                     .arg(counters.failed)
                     .arg(m_station.inProgress())
                     .arg(m_station.unitsPerHour(), 0, 'f', 0));
        std::fflush(stdout);
    }

    DeviceCommandContext &m_context;
    bool m_terminal;
    // Declared before the station, which may still report while it goes.
    QEventLoop m_loop;
    StationCore m_station;
};

} // namespace

QString runStation(DeviceCommandContext &context)
{
    const StationCore::Settings settings = readOptions(context);
    DeviceSession::startUsbPlatform();
    DeviceSide::registerMetaTypes();
    StationCommand station(context, settings);
    station.run();
    return QString();
}
