#pragma once

// The bench at a glance: units by result and units per hour. Any thread.

#include <QString>

struct StationCounters
{
    // What became of a unit, as the record writes it.
    enum class Result { Done, AlreadyCurrent, Failed, Aborted };

    static QString text(Result result);

    void count(Result result);
    int handled() const { return done + current + failed + aborted; }
    // Units handled (aborted ones not counted) per hour of elapsedMs; 0 before any time passed.
    double unitsPerHour(qint64 elapsedMs) const;
    // "done D, already current C, failed F, aborted A".
    QString summary() const;

    int done = 0;
    int current = 0;
    int failed = 0;
    int aborted = 0;
};
