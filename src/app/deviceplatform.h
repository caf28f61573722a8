#pragma once

// The one start-up step every program takes before its first USB driver:
// what the drivers will find on the bus. The USB layer picks the simulated
// bus when TALVEX_SIMULATOR is set (usb/usbplatform.h); this fills it with
// the simulated Vantor devices the variable describes and sets the protocol
// timing it asks for, so that no program can start on an empty simulated
// bus. Main thread.

#include <QString>

// Without TALVEX_SIMULATOR it does nothing and returns true. With it, plugs
// the devices its value describes, once per process however often it is
// called. False, with a one-line message in error and nothing plugged, for a
// value the program cannot follow or a state file that cannot be read.
bool setUpDevicePlatform(QString *error);
