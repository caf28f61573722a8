// talvex-cli station: flashes every device as it is plugged in, gives it a
// serial from a range, and keeps a record of every unit that survives a
// crash. Runs until stopped (Ctrl-C) or --count units were handled.

#include "clicommon.h"
#include "commandreport.h"
#include "devicecommand.h"
#include "devicecommandsrun.h"
#include "loaderoperation.h"
#include "stationunit.h"

#include "app/deviceside.h"
#include "app/terminationsignals.h"
#include "protocol/usbloaderfactory.h"
#include "protocol/wire.h"
#include "station/serialrange.h"
#include "station/stationcounters.h"
#include "station/stationports.h"
#include "station/stationrecord.h"
#include "station/stationstate.h"
#include "ui/versiontext.h"
#include "usb/host/usbhost.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QTimer>

#include <cstdio>
#include <map>
#include <memory>
#include <unistd.h>

namespace {

// How often the station looks for devices plugged in.
constexpr int lookForArrivalsMs = 100;

struct StationOptions
{
    QString fileName;
    QString sha256;
    QSharedPointer<FirmwareFile> firmware;
    SerialRange range;
    uchar boardVersion = 0;
    uchar boardSubversion = 0;
    QString recordFile;
    QString stateFile;
    QString name;
    int count = 0;
    int maxUnits = 0;
    bool reflashCurrent = false;
};

int positiveNumber(const DeviceCommandLine &commandLine, const QString &option)
{
    const QString text = commandLine.value(option);
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 1 || text.startsWith(QLatin1Char('+')))
        commandLine.refuse(QStringLiteral("--%1 \"%2\" is not a number from 1 up").arg(option, text));
    return value;
}

StationOptions readOptions(DeviceCommandContext &context)
{
    const DeviceCommandLine &commandLine = context.commandLine();
    StationOptions options;
    options.fileName = commandLine.positional().first();
    options.firmware = QSharedPointer<FirmwareFile>::create();
    try {
        options.firmware->loadFile(options.fileName);
    } catch (const FirmwareFile::fileCorruptedError &error) {
        context.fail(ExitFileFailed,
            QStringLiteral("%1: %2").arg(options.fileName, QString::fromLatin1(error.what())));
    }
    QFile file(options.fileName);
    if (!file.open(QIODevice::ReadOnly))
        context.fail(ExitFileFailed, QStringLiteral("%1: %2").arg(options.fileName, file.errorString()));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    options.sha256 = QString::fromLatin1(hash.result().toHex());

    const bool serials = commandLine.isSet(QStringLiteral("serials"));
    if (serials != commandLine.isSet(QStringLiteral("board")))
        commandLine.refuse(QStringLiteral("--serials and --board go together"));
    if (serials) {
        options.range = SerialRange::parse(commandLine.value(QStringLiteral("serials")));
        if (!options.range.isValid())
            commandLine.refuse(QStringLiteral("--serials %1").arg(options.range.error()));
        const std::pair<uchar, uchar> board = commandLine.boardVersion();
        options.boardVersion = board.first;
        options.boardSubversion = board.second;
        if (!commandLine.isSet(QStringLiteral("state")))
            commandLine.refuse(
                QStringLiteral("--serials needs --state FILE, where the serials given are kept"));
    }
    options.recordFile = commandLine.isSet(QStringLiteral("record"))
        ? commandLine.value(QStringLiteral("record"))
        : QStringLiteral("station-record.jsonl");
    options.stateFile = commandLine.value(QStringLiteral("state"));
    options.name = commandLine.isSet(QStringLiteral("name")) ? commandLine.value(QStringLiteral("name"))
                                                             : QSysInfo::machineHostName();
    if (commandLine.isSet(QStringLiteral("count")))
        options.count = positiveNumber(commandLine, QStringLiteral("count"));
    if (commandLine.isSet(QStringLiteral("max-units")))
        options.maxUnits = positiveNumber(commandLine, QStringLiteral("max-units"));
    options.reflashCurrent = commandLine.isSet(QStringLiteral("reflash-current"));
    return options;
}

// The station at work: units started as devices arrive, recorded as they end.
class Station
{
public:
    Station(DeviceCommandContext &context, StationOptions options)
        : m_context(context)
        , m_options(std::move(options))
        , m_terminal(isatty(fileno(stdout)) && !CommandReport::current().isJson())
    {
        QString error;
        if (!m_record.open(m_options.recordFile, &error, &m_cutBytes))
            context.fail(ExitFileFailed, error);
        if (m_cutBytes > 0)
            printErr(
                QStringLiteral("talvex-cli station: %1: cut off a torn last line of %2 bytes (a unit never "
                               "reported done)\n")
                    .arg(m_options.recordFile)
                    .arg(m_cutBytes));
        if (m_options.range.isValid() && !m_state.open(m_options.stateFile, m_options.range, &error))
            context.fail(ExitFileFailed, error);
        m_goal.firmware = m_options.firmware;
        m_goal.reflashCurrent = m_options.reflashCurrent;
        m_goal.withSerials = m_options.range.isValid();
        m_goal.boardVersion = m_options.boardVersion;
        m_goal.boardSubversion = m_options.boardSubversion;
        m_goal.keeps = [this](const QString &serial) {
            if (!m_options.range.contains(serial))
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
        m_factories << QSharedPointer<usbLoaderFactory>::create();
    }

    int run()
    {
        m_clock.start();
        const FirmwareFile::THeader header = m_options.firmware->header();
        printOut(QStringLiteral("station %1: %2 (%3), record %4%5; Ctrl-C stops\n")
                     .arg(m_options.name, QFileInfo(m_options.fileName).fileName(),
                         formatVersion(header.version, header.subversion, header.bugfix, header.build,
                             QString::fromLatin1(fieldText(header.name, sizeof header.name))),
                         m_options.recordFile,
                         m_options.range.isValid() ? QStringLiteral(", serials ") + m_options.range.pattern()
                                                   : QString()));
        std::fflush(stdout);
        // Ctrl-C once stops, twice aborts; SIGTERM (the window's Stop) counts the same.
        TerminationSignals interrupts;
        QObject::connect(&interrupts, &TerminationSignals::terminationRequested, &m_loop, [this] { stop(); });
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, &m_loop, [this] { lookForArrivals(); });
        look.start(lookForArrivalsMs);
        lookForArrivals();
        m_loop.exec();
        m_units.clear();
        if (m_terminal)
            printOut(QStringLiteral("\r\033[K"));
        const qint64 elapsed = m_clock.elapsed();
        printOut(QStringLiteral("station %1: %2 units (%3) in %4 s, %5 units per hour\n")
                     .arg(m_options.name)
                     .arg(m_counters.handled())
                     .arg(m_counters.summary())
                     .arg(elapsed / 1000.0, 0, 'f', 1)
                     .arg(m_counters.unitsPerHour(elapsed), 0, 'f', 0));
        CommandReport &report = CommandReport::current();
        report.addResult(QStringLiteral("done"), m_counters.done);
        report.addResult(QStringLiteral("already_current"), m_counters.current);
        report.addResult(QStringLiteral("failed"), m_counters.failed);
        report.addResult(QStringLiteral("aborted"), m_counters.aborted);
        report.addResult(QStringLiteral("units_per_hour"), m_counters.unitsPerHour(elapsed));
        if (!m_fatal.isEmpty())
            m_context.fail(ExitFileFailed, m_fatal);
        if (m_counters.failed + m_counters.aborted > 0)
            m_context.fail(ExitDeviceFailed,
                QStringLiteral("%1 of %2 units failed or were aborted")
                    .arg(m_counters.failed + m_counters.aborted)
                    .arg(m_counters.handled()));
        return ExitSuccess;
    }

private:
    void stop()
    {
        if (!m_stopping) {
            m_stopping = true;
            printErr(QStringLiteral("talvex-cli station: stopping; %1 units in progress finish first (Ctrl-C "
                                    "again aborts them)\n")
                         .arg(m_ports.inProgress()));
            endWhenIdle();
            return;
        }
        for (auto &entry : m_units) {
            if (!entry.second->isFinished())
                entry.second->abort();
        }
    }

    void lookForArrivals()
    {
        if (m_stopping)
            return;
        std::vector<std::u16string> found;
        if (!createUsbPlatform().host->listInterfacePaths(DEVICE_INTERFACE_GUID, found))
            return;
        QStringList present;
        for (const std::u16string &path : found)
            present << QString::fromStdU16String(path);
        for (const QString &port : m_ports.arrivals(present)) {
            if (m_options.maxUnits > 0 && m_ports.inProgress() >= m_options.maxUnits)
                break;
            if (m_options.count > 0 && m_counters.handled() + m_ports.inProgress() >= m_options.count)
                break;
            startUnit(port);
        }
        showStatus();
    }

    void startUnit(const QString &port)
    {
        m_ports.begin(port);
        auto unit = std::make_unique<StationUnit>(port, m_goal, m_factories);
        StationUnit *started = unit.get();
        QObject::connect(
            started, &StationUnit::finished, &m_loop, [this, started] { unitFinished(started); },
            Qt::QueuedConnection);
        QObject::connect(started, &StationUnit::phaseChanged, [started](const QString &phase) {
            CommandReport::current().event(QStringLiteral("phase"),
                {{QStringLiteral("port"), started->port()},
                    {QStringLiteral("serial"),
                        started->isOpened() ? serialText(started->device()) : QString()},
                    {QStringLiteral("phase"), phase}});
        });
        m_units[port] = std::move(unit);
        started->start();
    }

    void unitFinished(StationUnit *unit)
    {
        QJsonObject line = unit->recordFields();
        line.insert(QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
        line.insert(QStringLiteral("station"), m_options.name);
        line.insert(QStringLiteral("file"), QFileInfo(m_options.fileName).fileName());
        line.insert(QStringLiteral("sha256"), m_options.sha256);
        QString error;
        if (!m_record.append(line, &error) && m_fatal.isEmpty())
            m_fatal = error;
        // Reported done only once its line is on disk.
        m_counters.count(unit->result());
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
        m_ports.finish(unit->port());
        m_units.erase(unit->port());
        if (!m_fatal.isEmpty()) {
            // Without its record or state the station cannot keep its promises.
            printErr(QStringLiteral("talvex-cli station: %1; stopping\n").arg(m_fatal));
            m_stopping = true;
        }
        if (m_options.count > 0 && m_counters.handled() >= m_options.count)
            m_stopping = true;
        endWhenIdle();
        showStatus();
    }

    void endWhenIdle()
    {
        if (m_stopping && m_ports.inProgress() == 0)
            m_loop.quit();
    }

    void showStatus()
    {
        if (!m_terminal)
            return;
        printOut(QStringLiteral("\r\033[Kdone %1, already current %2, failed %3, in progress %4, %5 units/h")
                     .arg(m_counters.done)
                     .arg(m_counters.current)
                     .arg(m_counters.failed)
                     .arg(m_ports.inProgress())
                     .arg(m_counters.unitsPerHour(m_clock.elapsed()), 0, 'f', 0));
        std::fflush(stdout);
    }

    DeviceCommandContext &m_context;
    StationOptions m_options;
    bool m_terminal;
    StationRecord m_record;
    qint64 m_cutBytes = 0;
    StationState m_state;
    StationUnit::Goal m_goal;
    QList<QSharedPointer<UsbInterfaceHandlerFactory>> m_factories;
    StationPorts m_ports;
    StationCounters m_counters;
    std::map<QString, std::unique_ptr<StationUnit>> m_units;
    QEventLoop m_loop;
    QElapsedTimer m_clock;
    bool m_stopping = false;
    QString m_fatal;
};

} // namespace

QString runStation(DeviceCommandContext &context)
{
    StationOptions options = readOptions(context);
    DeviceSession::startUsbPlatform();
    DeviceSide::registerMetaTypes();
    Station station(context, std::move(options));
    station.run();
    return QString();
}
