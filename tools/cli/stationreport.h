#pragma once

// What a station unit tells a line-control system under --json, the same
// for talvex-cli station and flash --all: the device found, its progress,
// its finishing write, and its leaving and coming back. Main thread.

class StationUnit;

// Reports unit's events from now on, for as long as the unit lives.
void reportUnitEvents(StationUnit *unit);
