#pragma once

// The USB platform the programs' drivers run on: createUsbPlatform()'s
// choice, with the simulated bus, when TALVEX_SIMULATOR chooses it, filled
// with the Vantor devices the variable describes (and the protocol timing it
// asks for) the first time it is asked for, so that no program can find the
// simulated bus empty and none needs a step of its own to fill it. Main thread.

#include "usb/usbplatform.h"

#include <QString>

// The platform, filled as above on first use. A value that cannot be
// followed leaves the simulated bus empty, with a warning.
UsbPlatform devicePlatform();

// Fills the platform now rather than at the first devicePlatform(), so
// that a program learns of a value it cannot follow before it shows
// anything. Plugs the devices once per process however often it is called;
// without TALVEX_SIMULATOR it plugs nothing and returns true. False, with a
// one-line message in error and nothing plugged, for a value the program
// cannot follow or a state file that cannot be read.
bool startDevicePlatform(QString *error);
