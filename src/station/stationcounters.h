#pragma once

// The bench at a glance: units by result and units per hour. Any thread.

#include <QMetaType>
#include <QString>

struct StationCounters
{
    // What became of a unit, as the record writes it. NotRecorded: its line
    // could not be written to the record, whatever became of the device.
    enum class Result { Done, AlreadyCurrent, Failed, Aborted, NotRecorded };

    static QString text(Result result);

    void count(Result result);
    int handled() const { return done + current + failed + aborted + notRecorded; }
    // Units handled (aborted ones not counted) per hour of elapsedMs; 0 before any time passed.
    double unitsPerHour(qint64 elapsedMs) const;
    // "done D, already current C, failed F, aborted A", then ", not recorded N" when there are any.
    QString summary() const;

    int done = 0;
    int current = 0;
    int failed = 0;
    int aborted = 0;
    int notRecorded = 0;
};

Q_DECLARE_METATYPE(StationCounters::Result)
