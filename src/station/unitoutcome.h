#pragma once

// What becomes of a station unit and the phase it is in, carried as values
// from the station to its front ends. Each becomes text only where it is
// stored (its key, as the record and --json write it) or shown (its text,
// as the station window shows it). Any thread.

#include <QMetaType>
#include <QString>

// NotRecorded: the unit's line could not be written to the record, whatever
// became of the device.
enum class UnitResult { Done, AlreadyCurrent, Failed, Aborted, NotRecorded };

// Finishing: the image is complete and the device writes it; its time
// counts to flashing.
enum class UnitPhase { Opening, Flashing, Finishing, Restarting, Identity };

// "done", "already current", "failed", "aborted", "not recorded".
QString unitResultKey(UnitResult result);
QString unitResultText(UnitResult result);
// Done or already current: the device runs the file's firmware.
bool reachedGoal(UnitResult result);

// "opening", "flashing", "finishing", "restarting", "identity".
QString unitPhaseKey(UnitPhase phase);
QString unitPhaseText(UnitPhase phase);

Q_DECLARE_METATYPE(UnitResult)
Q_DECLARE_METATYPE(UnitPhase)
