#pragma once

// The station for a window: runs the station's core in this process and
// tells by signal what becomes of each unit (a device at one USB port).
// stop() is the first Ctrl-C (units in progress finish), abort() the
// second. Shows no USB types. Main thread;
// the units' loaders run on worker threads of their own, so nothing here
// waits on a device but the destructor.

#include "firmware/firmwarefile.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSharedPointer>
#include <QString>

#include "station/serialsrefusal.h"
#include "station/stationcounters.h"

#include <memory>

class StationCore;
class StationUnit;

class Station : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        // The firmware file as loaded, flashed and hashed from the bytes read
        // then, and its path as the record names it.
        QSharedPointer<FirmwareFile> firmware;
        QString firmwareFile;
        // Not empty: the station starts only on a file with this SHA-256 (hex).
        QString expectSha256;
        // Empty: no serials are given.
        QString serials;
        QString board;
        QString recordFile;
        QString stateFile;
        QString name;
        int maxUnits = 0; // 0: all at once
        bool reflashCurrent = false;
    };

    explicit Station(QObject *parent = nullptr);
    // Units in progress are aborted and recorded so; their worker threads
    // end before this returns (StationCore's destructor).
    ~Station() override;

    bool isRunning() const { return m_core != nullptr; }
    int done() const { return m_done; }
    int current() const { return m_current; }
    int failed() const { return m_failed; }
    int aborted() const { return m_aborted; }
    int notRecorded() const { return m_notRecorded; }
    double unitsPerHour() const;

public slots:
    void start(const Station::Options &options);
    void stop();
    void abort();

signals:
    void unitArrived(const QString &port);
    void unitPhaseChanged(const QString &port, const QString &phase, const QString &serial);
    void unitProgress(const QString &port, int percent);
    // detail is the firmware it runs when it ended well, else why it failed
    // or why its line is not in the record.
    void unitFinished(
        const QString &port, StationCounters::Result result, const QString &detail, const QString &serial);
    void countersChanged();
    // A line the station wrote for people (a refused file, stopping...).
    void message(const QString &text);
    // The serial options were refused; stopped() follows.
    void serialsRefused(const SerialsRefusal &refusal);
    // The record or the state could not be written: no new unit is taken,
    // those in progress finish; stopped() follows with 1.
    void failing(const QString &reason);
    // Fewer than 5 % of the range are left: at the start, and at each serial given then.
    void serialsLow(qint64 left, qint64 inRange);
    // exitCode as talvex-cli station ends: 0 when every unit succeeded, 1
    // when a file failed, 2 for a refused option, 4 when a unit failed or
    // was aborted.
    void stopped(int exitCode);

private:
    void refuse(int exitCode, const QString &reason);
    void watch(StationUnit *unit);
    void finished();

    std::unique_ptr<StationCore> m_core;
    QElapsedTimer m_clock;
    int m_done = 0;
    int m_current = 0;
    int m_failed = 0;
    int m_aborted = 0;
    int m_notRecorded = 0;
};
