#pragma once

// flash --all: every device attached now, flashed at once by the station, each through a driver of its own on
// a worker thread of its own. Devices that appear meanwhile are left alone. Main thread.

#include "firmware/firmwarefile.h"
#include "firmware/flashapproval.h"

#include <QSharedPointer>

// ExitSuccess only when every device succeeded; firmware is fileName as
// read and approved under approval; waitMs is how long to wait for a first
// device to appear.
int runFlashAll(const QSharedPointer<FirmwareFile> &firmware, const QString &fileName,
    const FlashApproval::Options &approval, int waitMs);
