#pragma once

// The station's one way in, for the command line and the window alike:
// turns a front end's options into settings (the firmware read and
// approved, the serial range read, the defaults filled in), runs the
// station's core in this process, and tells by signal what becomes of each
// unit (a device at one USB port) and how the station ended, as values each
// front end words for its reader. Its signals show no USB types but for
// the unit handed to a front end that follows its device. Runs on the
// program's device platform. Main thread; the units' loaders run on worker
// threads of their own, so nothing here waits on a device but the
// destructor.

#include "firmware/firmwarefile.h"
#include "station/linedatabase.h"
#include "station/serialsrefusal.h"
#include "station/stationcounters.h"
#include "station/stationsettings.h"
#include "station/unitoutcome.h"

#include <QJsonObject>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class StationCore;
class StationUnit;

// How a station ended. reason words a failed file or failed units;
// refusal tells which serial option was refused.
struct StationEnd
{
    enum class Cause {
        // Every unit reached its goal.
        AllWell,
        // The firmware file was refused, or the record or the state could
        // not be opened or written.
        FileFailed,
        // A serial option was refused before the station started.
        OptionRefused,
        // A unit failed, was aborted or is not in the record.
        UnitsFailed,
    };

    Cause cause = Cause::AllWell;
    QString reason;
    SerialsRefusal refusal;
};

class Station : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        // The firmware file's path, as the record names it; read at the
        // start unless firmware holds the bytes read already (the station
        // flashes and hashes those, whatever the path holds by now).
        QString firmwareFile;
        QSharedPointer<FirmwareFile> firmware;
        // Not empty: the station starts only on a file with this SHA-256 (hex).
        QString expectSha256;
        // Keys trusted for this run, and a signature required, beyond the machine's policy.
        QStringList keys;
        bool requireSignature = false;
        // None: no serials are given.
        std::optional<QString> serials;
        QString board;
        QString stateFile;
        // The line database's address (libpq's URI or key=value form): the
        // serials and a copy of the record are the line's. None: local files.
        std::optional<QString> line;
        // None: station-record.jsonl; empty: no record is kept.
        std::optional<QString> recordFile;
        // None: the host name.
        std::optional<QString> name;
        // Units to handle before the station ends; 0: no end.
        int count = 0;
        int maxUnits = 0; // 0: all at once
        bool reflashCurrent = false;
        // Only the devices attached at the start, then the end.
        bool attachedOnly = false;
    };

    explicit Station(QObject *parent = nullptr);
    // Units in progress are aborted and recorded so; their worker threads
    // end before this returns (StationCore's destructor).
    ~Station() override;

    bool isRunning() const { return m_core != nullptr; }
    // The settings of the station running or run last.
    const StationSettings &settings() const { return m_settings; }
    // While running, and as they were at the end once stopped.
    const StationCounters &counters() const;
    qint64 elapsedMs() const;
    double unitsPerHour() const { return counters().unitsPerHour(elapsedMs()); }
    int inProgress() const;
    // The line's figures, every station's; false without a line or while it is unreachable.
    bool lineTotals(LineDatabase::Report *report);

public slots:
    // Either started() or, when the station cannot start, stopped() follows
    // before this returns.
    void start(const Station::Options &options);
    // The first stop: no new units; those in progress finish and are
    // recorded. Any later one aborts them.
    void stop();
    // The units in progress end as aborted and are recorded so.
    void abort();

signals:
    // A key file that could not be used, worded for people; the start goes on.
    void keyProblem(const QString &text);
    // A torn last line of the record (a unit never reported done), of bytes, was cut off.
    void recordCut(qint64 bytes);
    // The record and the state are open; the station looks for devices from now on.
    void started();
    // For a front end that follows a unit's own events: the unit, until
    // unitEnded(); then its line, on disk when a record is kept, and what it
    // is reported as (NotRecorded: the line's "record_error" tells why).
    void unitStarted(StationUnit *unit);
    void unitEnded(StationUnit *unit, UnitResult result, const QJsonObject &line);
    // The same units by port, for a front end that shows them.
    void unitArrived(const QString &port);
    // serial: the device's serial once it was opened, else empty.
    void unitPhaseChanged(const QString &port, UnitPhase phase, const QString &serial);
    void unitProgress(const QString &port, int percent);
    // reason: why it failed or why its line is not in the record; empty
    // when it reached its goal. serial: its serial at the end.
    void unitFinished(const QString &port, UnitResult result, const QString &reason, const QString &serial);
    void countersChanged();
    // After each look for arrivals and each unit's end.
    void statusChanged();
    // The first stop, with the units still in progress.
    void stopping(int inProgress);
    // The record or the state could not be written: no new unit is taken,
    // those in progress finish; stopped() follows with FileFailed.
    void failing(const QString &reason);
    // Fewer than 5 % of the range are left: at the start, and at each serial given then.
    void serialsLow(qint64 left, qint64 inRange);
    // On a line: serials this station's last run left reserved, burnt at the start.
    void lineBurnt(const QStringList &serials);
    // The line database stopped answering (libpq's reason): no unit that
    // needs a serial starts until lineReachable().
    void lineUnreachable(const QString &reason);
    void lineReachable();
    // At the end, units' settles the line database has not confirmed: they
    // are kept in file and sent when the station next starts on its record.
    void lineWaiting(int settles, const QString &file);
    void stopped(const StationEnd &end);

private:
    bool resolve(const Station::Options &options);
    void end(StationEnd::Cause cause, const QString &reason = QString());
    void watch(StationUnit *unit);
    void finished();

    StationSettings m_settings;
    std::unique_ptr<StationCore> m_core;
    bool m_stopAsked = false;
    // What the core counted and how long it ran, kept once it is gone.
    StationCounters m_endCounters;
    qint64 m_endElapsedMs = 0;
};

Q_DECLARE_METATYPE(StationEnd)
