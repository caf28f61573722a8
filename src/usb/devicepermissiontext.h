#pragma once

// What the window and talvex-cli tell a user whose device is present but
// may not be opened (on Linux: the udev rule is missing). Any thread.

#include <QString>

// Short enough for the window's device-status line.
QString deviceNotAccessibleTitle();
// What to do about it, in plain text.
QString deviceNotAccessibleAdvice();
