#pragma once

// The bench at a glance: units by result and units per hour. Any thread.

#include "station/unitoutcome.h"

#include <QString>

struct StationCounters
{
    void count(UnitResult result);
    int handled() const { return done + current + failed + aborted + notRecorded; }
    // Failed, aborted or not recorded: the units that end a station with a failure.
    int unsuccessful() const { return failed + aborted + notRecorded; }
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
