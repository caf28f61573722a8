#pragma once

// flash --all: every device attached now, flashed at once by the station's
// core, each through a driver of its own on a worker thread of its own.
// Devices that appear meanwhile are left alone. Main thread.

#include "firmware/firmwarefile.h"

#include <QSharedPointer>

// ExitSuccess only when every device succeeded; waitMs is how long to wait
// for a first device to appear.
int runFlashAll(const QSharedPointer<FirmwareFile> &firmware, int waitMs);
