// talvex-cli station: flashes every device as it is plugged in, gives it a
// serial from a range, and keeps a record of every unit that survives a
// crash. Runs until stopped (Ctrl-C) or --count units were handled. The
// station's core does the work; this is its command line and its output.

#include "clicommon.h"
#include "commandreport.h"
#include "devicecommand.h"
#include "devicecommandsrun.h"
#include "stationreport.h"

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

StationCore::Settings readOptions(DeviceCommandContext &context)
{
    const DeviceCommandLine &commandLine = context.commandLine();
    StationCore::Settings settings;
    QString error;
    if (!StationCore::loadFirmware(commandLine.positional().first(), &settings, &error))
        context.fail(ExitFileFailed, error);
    const QString expectSha256 = commandLine.value(QStringLiteral("expect-sha256"));
    if (commandLine.isSet(QStringLiteral("expect-sha256")) && !isSha256Hex(expectSha256))
        commandLine.refuse(
            QStringLiteral("--expect-sha256 \"%1\" is not a SHA-256 of 64 hex digits").arg(expectSha256));
    QStringList keyProblems;
    const bool approved = StationCore::approveFirmware(
        {commandLine.values(QStringLiteral("key")), commandLine.isSet(QStringLiteral("require-signature"))},
        expectSha256, &settings, &error, &keyProblems);
    for (const QString &problem : keyProblems)
        printErr(QStringLiteral("talvex-cli station: %1\n").arg(problem));
    if (!approved)
        context.fail(ExitFileFailed, error);

    const bool serials = commandLine.isSet(QStringLiteral("serials"));
    if (serials != commandLine.isSet(QStringLiteral("board")))
        commandLine.refuse(QStringLiteral("--serials and --board go together"));
    if (!serials && commandLine.isSet(QStringLiteral("state")))
        commandLine.refuse(QStringLiteral("--state keeps the serials given: it needs --serials and --board"));
    if (serials) {
        const SerialsRefusal refused = StationCore::readSerials(commandLine.value(QStringLiteral("serials")),
            commandLine.value(QStringLiteral("board")), commandLine.value(QStringLiteral("state")),
            &settings);
        if (refused.isRefused())
            commandLine.refuse(refusalText(refused));
    }
    settings.recordFile = commandLine.isSet(QStringLiteral("record"))
        ? commandLine.value(QStringLiteral("record"))
        : QStringLiteral("station-record.jsonl");
    // An empty name would run the station with no record at all.
    if (settings.recordFile.isEmpty())
        commandLine.refuse(
            QStringLiteral("--record \"\" names no file; every unit needs its line in a record"));
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
            [this](StationUnit *unit, StationCounters::Result result, const QJsonObject &line) {
                unitFinished(unit, result, line);
            });
        QObject::connect(&m_station, &StationCore::failing, [](const QString &reason) {
            printErr(QStringLiteral("talvex-cli station: %1; no new units are taken, those in progress "
                                    "finish\n")
                         .arg(reason));
        });
        QObject::connect(&m_station, &StationCore::serialsLow,
            [](qint64 left, qint64 inRange) { printErr(serialsLowText(left, inRange)); });
        QObject::connect(&m_station, &StationCore::statusChanged, [this] { showStatus(); });
        QObject::connect(&m_station, &StationCore::finished, &m_loop, &QEventLoop::quit);
    }

    int run()
    {
        const StationCore::Settings &settings = m_station.settings();
        const FirmwareFile::THeader header = settings.firmware->header();
        // What the operator compares with the release: the signer and the image's hash.
        const QString signature = settings.signer.isEmpty() ? QStringLiteral("not signed")
                                                            : QStringLiteral("signed by ") + settings.signer;
        printOut(QStringLiteral("station %1: %2 (%3, %4, SHA-256 %5), record %6%7; Ctrl-C stops\n")
                     .arg(settings.name, QFileInfo(settings.fileName).fileName(),
                         formatVersion(header.version, header.subversion, header.bugfix, header.build,
                             QString::fromLatin1(fieldText(header.name, sizeof header.name))),
                         signature, settings.sha256.left(16), settings.recordFile,
                         settings.range.isValid() ? QStringLiteral(", serials ") + settings.range.pattern()
                                                  : QString()));
        std::fflush(stdout);
        if (m_station.serialsRunningLow())
            printErr(serialsLowText(m_station.serialsLeft(), m_station.serialsInRange()));
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
        report.addResult(QStringLiteral("not_recorded"), counters.notRecorded);
        report.addResult(QStringLiteral("units_per_hour"), counters.unitsPerHour(elapsed));
        if (!m_station.fatalError().isEmpty())
            m_context.fail(ExitFileFailed, m_station.fatalError());
        if (counters.failed + counters.aborted + counters.notRecorded > 0)
            m_context.fail(ExitDeviceFailed,
                QStringLiteral("%1 of %2 units failed or were aborted")
                    .arg(counters.failed + counters.aborted + counters.notRecorded)
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

    void unitFinished(StationUnit *unit, StationCounters::Result result, const QJsonObject &line)
    {
        CommandReport::current().event(QStringLiteral("unit"), line);
        const QString serial = unit->serialAfter().isEmpty() ? QStringLiteral("?") : unit->serialAfter();
        const QString seconds = QString::number(unit->seconds(), 'f', 2);
        if (m_terminal)
            printOut(QStringLiteral("\r\033[K"));
        if (result == StationCounters::Result::NotRecorded) {
            // Its outcome still reaches the operator, as the record could not keep it.
            const QString outcome = StationCounters::text(unit->result());
            const QString detail = unit->reason().isEmpty() ? unit->firmwareAfterText() : unit->reason();
            const QString text = QStringLiteral("%1 %2: not recorded (%3, %4, %5 s): %6\n")
                                     .arg(unit->port(), serial, outcome, detail, seconds,
                                         line.value(QStringLiteral("record_error")).toString());
            printOut(text);
            printErr(QStringLiteral("talvex-cli station: ") + text);
        } else if (result == StationCounters::Result::Failed || result == StationCounters::Result::Aborted) {
            printOut(QStringLiteral("%1 %2: %3, %4 s: %5\n")
                         .arg(unit->port(), serial, StationCounters::text(result), seconds, unit->reason()));
        } else {
            printOut(QStringLiteral("%1 %2: %3, %4, %5 s\n")
                         .arg(unit->port(), serial, StationCounters::text(result), unit->firmwareAfterText(),
                             seconds));
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
    StationCommand station(context, settings);
    station.run();
    return QString();
}
