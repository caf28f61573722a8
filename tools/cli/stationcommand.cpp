// talvex-cli station: flashes every device as it is plugged in, gives it a
// serial from a range, and keeps a record of every unit that survives a
// crash. Runs until stopped (Ctrl-C) or --count units were handled. The
// station does the work; this is its command line and its output.

#include "clicommon.h"
#include "commandreport.h"
#include "devicecommand.h"
#include "devicecommandsrun.h"
#include "stationreport.h"

#include "app/terminationsignals.h"
#include "firmware/versiontext.h"
#include "protocol/wire.h"
#include "station/station.h"
#include "station/stationunit.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QSysInfo>

#include <cstdio>
#include <unistd.h>

namespace {

int positiveNumber(const DeviceCommandLine &commandLine, const QString &option)
{
    const QString text = commandLine.value(option);
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 1 || text.startsWith(QLatin1Char('+')))
        commandLine.refuse(QStringLiteral("--%1 \"%2\" is not a number from 1 up").arg(option, text));
    return value;
}

QString refusalText(const SerialsRefusal &refusal)
{
    switch (refusal.reason) {
    case SerialsRefusal::Reason::None:
        break;
    case SerialsRefusal::Reason::Board:
        return QStringLiteral("--board \"%1\" is not of the form X.Y (0 to 255 each)").arg(refusal.text);
    case SerialsRefusal::Reason::NoState:
        return QStringLiteral("--serials needs --state FILE, where the serials given are kept");
    case SerialsRefusal::Reason::LineAddress:
        return QStringLiteral("--line: %1").arg(refusal.text);
    case SerialsRefusal::Reason::LineWithoutSerials:
        return QStringLiteral("--line needs --serials and --board: the line gives serials of its range");
    case SerialsRefusal::Reason::LineWithState:
        return QStringLiteral("--line and --state go not together: the line database keeps the serials");
    case SerialsRefusal::Reason::Range:
        switch (refusal.rangeProblem) {
        case SerialRange::Problem::None:
        case SerialRange::Problem::NotARange:
            break;
        case SerialRange::Problem::PrefixNotPrintable:
            return QStringLiteral(
                "--serials \"%1\": only printable ASCII in the prefix, without spaces or braces")
                .arg(refusal.text);
        case SerialRange::Problem::DigitCounts:
            return QStringLiteral(
                "--serials \"%1\": FIRST and LAST must have the same number of digits (at most 12)")
                .arg(refusal.text);
        case SerialRange::Problem::LastBelowFirst:
            return QStringLiteral("--serials \"%1\": LAST is below FIRST").arg(refusal.text);
        case SerialRange::Problem::TooLong:
            return QStringLiteral("--serials \"%1\": its serials are longer than the 16 bytes a device keeps")
                .arg(refusal.text);
        }
        return QStringLiteral("--serials \"%1\" is not of the form PREFIX{FIRST..LAST}").arg(refusal.text);
    }
    return QString();
}

QString serialsLowText(qint64 left, qint64 inRange)
{
    if (left == 0)
        return QStringLiteral("talvex-cli station: the last of the %1 serials of the range is given; no new "
                              "units are taken\n")
            .arg(inRange);
    return QStringLiteral("talvex-cli station: warning: only %1 of the %2 serials of the range are left\n")
        .arg(left)
        .arg(inRange);
}

// The command line as the station's options; what only the command line
// can get wrong is refused here, the rest by the station as it starts.
Station::Options readOptions(DeviceCommandContext &context)
{
    const DeviceCommandLine &commandLine = context.commandLine();
    Station::Options options;
    options.firmwareFile = commandLine.positional().first();
    options.expectSha256 = commandLine.value(QStringLiteral("expect-sha256"));
    if (commandLine.isSet(QStringLiteral("expect-sha256")) && !isSha256Hex(options.expectSha256))
        commandLine.refuse(QStringLiteral("--expect-sha256 \"%1\" is not a SHA-256 of 64 hex digits")
                               .arg(options.expectSha256));
    options.keys = commandLine.values(QStringLiteral("key"));
    options.requireSignature = commandLine.isSet(QStringLiteral("require-signature"));

    const bool serials = commandLine.isSet(QStringLiteral("serials"));
    if (serials != commandLine.isSet(QStringLiteral("board")))
        commandLine.refuse(QStringLiteral("--serials and --board go together"));
    if (commandLine.isSet(QStringLiteral("line")))
        options.line = commandLine.value(QStringLiteral("line"));
    if (!serials && commandLine.isSet(QStringLiteral("state")))
        commandLine.refuse(QStringLiteral("--state keeps the serials given: it needs --serials and --board"));
    if (serials) {
        options.serials = commandLine.value(QStringLiteral("serials"));
        options.board = commandLine.value(QStringLiteral("board"));
        options.stateFile = commandLine.value(QStringLiteral("state"));
    }
    if (commandLine.isSet(QStringLiteral("record"))) {
        options.recordFile = commandLine.value(QStringLiteral("record"));
        // An empty name would run the station with no record at all.
        if (options.recordFile->isEmpty())
            commandLine.refuse(
                QStringLiteral("--record \"\" names no file; every unit needs its line in a record"));
    }
    if (commandLine.isSet(QStringLiteral("name")))
        options.name = commandLine.value(QStringLiteral("name"));
    if (commandLine.isSet(QStringLiteral("count")))
        options.count = positiveNumber(commandLine, QStringLiteral("count"));
    if (commandLine.isSet(QStringLiteral("max-units")))
        options.maxUnits = positiveNumber(commandLine, QStringLiteral("max-units"));
    options.reflashCurrent = commandLine.isSet(QStringLiteral("reflash-current"));
    return options;
}

// How the station ended, as the command's exit status and its last line.
void endAs(const DeviceCommandContext &context, const StationEnd &end)
{
    switch (end.cause) {
    case StationEnd::Cause::AllWell:
        return;
    case StationEnd::Cause::FileFailed:
        context.fail(ExitFileFailed, end.reason);
    case StationEnd::Cause::OptionRefused:
        context.commandLine().refuse(refusalText(end.refusal));
    case StationEnd::Cause::UnitsFailed:
        context.fail(ExitDeviceFailed, end.reason);
    }
}

// The station at work, shown on the terminal and under --json.
class StationCommand
{
public:
    StationCommand()
        : m_terminal(isatty(fileno(stdout)) && !CommandReport::current().isJson())
    {
        QObject::connect(&m_station, &Station::keyProblem,
            [](const QString &text) { printErr(QStringLiteral("talvex-cli station: %1\n").arg(text)); });
        QObject::connect(&m_station, &Station::recordCut, [this](qint64 bytes) {
            printErr(
                QStringLiteral("talvex-cli station: %1: cut off a torn last line of %2 bytes (a unit never "
                               "reported done)\n")
                    .arg(m_station.settings().recordFile)
                    .arg(bytes));
        });
        QObject::connect(&m_station, &Station::started, [this] { showStart(); });
        QObject::connect(&m_station, &Station::unitStarted, &reportUnitEvents);
        QObject::connect(&m_station, &Station::unitPhaseChanged,
            [](const QString &port, UnitPhase phase, const QString &serial) {
                CommandReport::current().event(QStringLiteral("phase"),
                    {{QStringLiteral("port"), port}, {QStringLiteral("serial"), serial},
                        {QStringLiteral("phase"), unitPhaseKey(phase)}});
            });
        QObject::connect(&m_station, &Station::unitEnded,
            [this](StationUnit *unit, UnitResult result, const QJsonObject &line) {
                unitFinished(unit, result, line);
            });
        QObject::connect(&m_station, &Station::stopping, [](int inProgress) {
            printErr(QStringLiteral("talvex-cli station: stopping; %1 units in progress finish first (Ctrl-C "
                                    "again aborts them)\n")
                         .arg(inProgress));
        });
        QObject::connect(&m_station, &Station::failing, [](const QString &reason) {
            printErr(QStringLiteral("talvex-cli station: %1; no new units are taken, those in progress "
                                    "finish\n")
                         .arg(reason));
        });
        QObject::connect(&m_station, &Station::serialsLow,
            [](qint64 left, qint64 inRange) { printErr(serialsLowText(left, inRange)); });
        QObject::connect(&m_station, &Station::lineBurnt, [](const QStringList &serials) {
            printErr(QStringLiteral("talvex-cli station: burnt %1 serials this station's last run left "
                                    "reserved on the line: %2\n")
                         .arg(serials.size())
                         .arg(serials.join(QLatin1Char(' '))));
        });
        QObject::connect(&m_station, &Station::lineUnreachable, [](const QString &reason) {
            printErr(QStringLiteral("talvex-cli station: line database unreachable: %1; no new units are "
                                    "taken until it answers, those in progress finish\n")
                         .arg(reason));
            CommandReport::current().event(
                QStringLiteral("line"), {{QStringLiteral("reachable"), false}, {QStringLiteral("reason"), reason}});
        });
        QObject::connect(&m_station, &Station::lineReachable, [] {
            printErr(QStringLiteral("talvex-cli station: line database reachable again\n"));
            CommandReport::current().event(QStringLiteral("line"), {{QStringLiteral("reachable"), true}});
        });
        QObject::connect(&m_station, &Station::lineWaiting, [](int settles, const QString &file) {
            printErr(QStringLiteral("talvex-cli station: the line database has not confirmed %1 units; they "
                                    "are kept in %2 and sent when the station next starts on this record\n")
                         .arg(settles)
                         .arg(file));
        });
        QObject::connect(&m_station, &Station::statusChanged, [this] { showStatus(); });
        QObject::connect(&m_station, &Station::stopped, [this](const StationEnd &end) {
            m_end = end;
            m_loop.quit();
        });
    }

    void run(const DeviceCommandContext &context, const Station::Options &options)
    {
        // Ctrl-C once stops, twice aborts; SIGTERM counts the same.
        TerminationSignals interrupts;
        QObject::connect(
            &interrupts, &TerminationSignals::terminationRequested, &m_loop, [this] { m_station.stop(); });
        m_station.start(options);
        if (m_station.isRunning())
            m_loop.exec();
        if (m_started)
            showEnd();
        endAs(context, m_end);
    }

private:
    void showStart()
    {
        m_started = true;
        const StationSettings &settings = m_station.settings();
        const FirmwareFile::THeader header = settings.firmware->header();
        // What the operator compares with the release: the signer and the image's hash.
        const QString signature = settings.signer.isEmpty() ? QStringLiteral("not signed")
                                                            : QStringLiteral("signed by ") + settings.signer;
        QString serials;
        if (settings.range.isValid())
            serials = QStringLiteral(", serials ") + settings.range.pattern();
        // Without its password, whatever the address holds.
        if (settings.line)
            serials += QStringLiteral(" from line ") + settings.line->displayText();
        printOut(QStringLiteral("station %1: %2 (%3, %4, SHA-256 %5), record %6%7; Ctrl-C stops\n")
                     .arg(settings.name, QFileInfo(settings.fileName).fileName(),
                         formatVersion(header.version, header.subversion, header.bugfix, header.build,
                             QString::fromLatin1(fieldText(header.name, sizeof header.name))),
                         signature, settings.sha256.left(16), settings.recordFile,
                         serials));
        std::fflush(stdout);
    }

    void showEnd()
    {
        if (m_terminal)
            printOut(QStringLiteral("\r\033[K"));
        const StationCounters &counters = m_station.counters();
        printOut(QStringLiteral("station %1: %2 units (%3) in %4 s, %5 units per hour\n")
                     .arg(m_station.settings().name)
                     .arg(counters.handled())
                     .arg(counters.summary())
                     .arg(m_station.elapsedMs() / 1000.0, 0, 'f', 1)
                     .arg(m_station.unitsPerHour(), 0, 'f', 0));
        CommandReport &report = CommandReport::current();
        report.addResult(QStringLiteral("done"), counters.done);
        report.addResult(QStringLiteral("already_current"), counters.current);
        report.addResult(QStringLiteral("failed"), counters.failed);
        report.addResult(QStringLiteral("aborted"), counters.aborted);
        report.addResult(QStringLiteral("not_recorded"), counters.notRecorded);
        report.addResult(QStringLiteral("units_per_hour"), m_station.unitsPerHour());
    }

    void unitFinished(StationUnit *unit, UnitResult result, const QJsonObject &line)
    {
        CommandReport::current().event(QStringLiteral("unit"), line);
        const QString serial = unit->serialAfter().isEmpty() ? QStringLiteral("?") : unit->serialAfter();
        const QString seconds = QString::number(unit->seconds(), 'f', 2);
        if (m_terminal)
            printOut(QStringLiteral("\r\033[K"));
        if (result == UnitResult::NotRecorded) {
            // Its outcome still reaches the operator, as the record could not keep it.
            const QString outcome = unitResultKey(unit->result());
            const QString detail = unit->reason().isEmpty() ? unit->firmwareAfterText() : unit->reason();
            const QString text = QStringLiteral("%1 %2: not recorded (%3, %4, %5 s): %6\n")
                                     .arg(unit->port(), serial, outcome, detail, seconds,
                                         line.value(QStringLiteral("record_error")).toString());
            printOut(text);
            printErr(QStringLiteral("talvex-cli station: ") + text);
        } else if (reachedGoal(result)) {
            printOut(
                QStringLiteral("%1 %2: %3, %4, %5 s\n")
                    .arg(unit->port(), serial, unitResultKey(result), unit->firmwareAfterText(), seconds));
        } else {
            printOut(QStringLiteral("%1 %2: %3, %4 s: %5\n")
                         .arg(unit->port(), serial, unitResultKey(result), seconds, unit->reason()));
        }
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

    bool m_terminal;
    bool m_started = false;
    StationEnd m_end;
    // Declared before the station, which may still report while it goes.
    QEventLoop m_loop;
    Station m_station;
};

} // namespace

QString runStation(DeviceCommandContext &context)
{
    const Station::Options options = readOptions(context);
    DeviceSession::startUsbPlatform();
    StationCommand station;
    station.run(context, options);
    return QString();
}
