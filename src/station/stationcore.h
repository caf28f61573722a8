#pragma once

// The station at work, in the program that runs it: looks for devices
// plugged in, starts a unit for each new arrival (at most maxUnits at
// once), records each unit as it ends, and keeps the serial range's state.
// Station is the one way in for every front end. Runs on the program's
// device platform. Main thread; each unit's loader runs on a worker thread of its
// own, and nothing here waits on one but the destructor.

#include "station/stationcounters.h"
#include "station/stationline.h"
#include "station/stationports.h"
#include "station/stationrecord.h"
#include "station/stationsettings.h"
#include "station/stationstate.h"
#include "station/stationunit.h"
#include "usb/usbplatform.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <map>
#include <memory>

class UsbInterfaceHandlerFactory;

class StationCore : public QObject
{
    Q_OBJECT

public:
    explicit StationCore(QObject *parent = nullptr);
    // Units still in progress are aborted and recorded so; every worker
    // thread ends before this returns, which takes as long as the loaders'
    // current operations (bounded by the protocol's own limits).
    ~StationCore() override;

    // Opens the record (cutBytes: a torn last line cut off) and the serial
    // range's state, which may not be one file under two names; false with
    // the reason, and the station cannot start.
    bool open(const StationSettings &settings, QString *error, qint64 *cutBytes);
    // Looks for arrivals from now on; finished() follows once stopped, with
    // no unit in progress and every unit's worker thread ended.
    void start();
    // The first Ctrl-C: no new units; those in progress finish and are recorded.
    void stop();
    // The second: the units in progress end as aborted and are recorded so.
    void abort();

    bool isStopping() const { return m_stopping; }
    int inProgress() const { return m_ports.inProgress(); }
    const StationCounters &counters() const { return m_counters; }
    qint64 elapsedMs() const { return m_clock.isValid() ? m_clock.elapsed() : 0; }
    // Why the station could not keep its record or state; empty while it can.
    const QString &fatalError() const { return m_fatal; }
    // Serials of the range not handed out yet, and all of them; 0 without a range.
    qint64 serialsLeft() const;
    qint64 serialsInRange() const;
    // Fewer than 5 % of the range are left.
    bool serialsRunningLow() const;
    // With a line database: whether it answers, why not, and how many
    // units' settles wait in the local file for it. Without one, nothing.
    const StationLine *line() const { return m_line.get(); }
    // Serials that this station's last run left reserved on the line (it
    // ended without settling them), burnt by open().
    const QStringList &lineBurnt() const { return m_lineBurnt; }
    bool lineTotals(LineDatabase::Report *report) { return m_line && m_line->totals(report); }
    // The name of that local file for a record of the given name.
    static QString lineQueueFile(const QString &recordFile);

signals:
    void unitStarted(StationUnit *unit);
    // The unit's line, on disk when a record is kept, and what the unit is
    // reported as: its own result, or NotRecorded when its line could not
    // be written (the line's "outcome" then tells the unit's own). The
    // unit goes after.
    void unitFinished(StationUnit *unit, UnitResult result, const QJsonObject &line);
    // After each look for arrivals and each unit's end.
    void statusChanged();
    // The record or state could not be written: the station takes no new
    // unit from now on; those in progress finish. Once per station.
    void failing(const QString &reason);
    // The line database stopped answering: no unit that needs a serial is
    // taken until it answers again; reason is libpq's.
    void lineUnreachable(const QString &reason);
    void lineReachable();
    // A serial was given while fewer than 5 % of the range are left; with
    // none left, the station takes no new unit from then on.
    void serialsLow(qint64 left, qint64 inRange);
    void finished();

private slots:
    void lookForArrivals();

private:
    bool openLine(QString *error);
    void startUnit(const QString &port);
    // Keeps the unit's settle and record line for the line database.
    void keepForLine(const StationUnit *unit, const QJsonObject &line);
    // The unit whose settle was kept last may have ended with a crash
    // before its record line was written: it is written now.
    bool repairRecord(QString *error);
    void unitEnded(StationUnit *unit);
    void endWhenIdle();
    // Warns of serials running low after a reservation, and stops at the last.
    void reserved(const QString &serial);
    // Without its record or state the station cannot keep its promises.
    void fail(const QString &reason);

    StationSettings m_settings;
    StationRecord m_record;
    StationState m_state;
    std::unique_ptr<StationLine> m_line;
    // Units whose record line went to the line database, this run: the next one's key.
    qint64 m_lineUnits = 0;
    QStringList m_lineBurnt;
    StationUnit::Goal m_goal;
    QList<QSharedPointer<UsbInterfaceHandlerFactory>> m_factories;
    StationPorts m_ports;
    StationCounters m_counters;
    std::map<QString, std::unique_ptr<StationUnit>> m_units;
    // Finished units whose worker threads are still ending.
    std::map<StationUnit *, std::unique_ptr<StationUnit>> m_retiring;
    // Lists the device paths present, for the arrivals, and says when they change.
    UsbPlatform m_platform;
    QTimer m_lookAgain;
    QTimer m_lineWait;
    bool m_lineWaitOver = false;
    QElapsedTimer m_clock;
    bool m_started = false;
    bool m_stopping = false;
    bool m_finished = false;
    bool m_failing = false;
    QString m_fatal;
};
