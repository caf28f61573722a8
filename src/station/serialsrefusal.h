#pragma once

// Why the station refused its serial options: which one, why, and the text
// refused. The command line and the window each word it for their reader.
// Any thread.

#include "serialrange.h"

#include <QString>

struct SerialsRefusal
{
    enum class Reason {
        None,
        // The serial range; rangeProblem says why.
        Range,
        // The board version is not X.Y, each 0 to 255.
        Board,
        // Serials without a state file to keep them in.
        NoState,
        // The line database's address cannot be read; text says why (the
        // address itself is not repeated: it may hold a password).
        LineAddress,
        // A line without a serial range: the line's serials need one.
        LineWithoutSerials,
        // A state file beside a line, whose database keeps the serials instead.
        LineWithState,
    };

    Reason reason = Reason::None;
    SerialRange::Problem rangeProblem = SerialRange::Problem::None;
    // The range or board version refused, as given.
    QString text;

    bool isRefused() const { return reason != Reason::None; }
};
