#pragma once

// The fields that the station's record and the command-line tool's reports
// give a firmware and a duration, so that both write them alike. Any thread.

#include "protocol/usbloader.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>

// A firmware as its JSON fields: version, build, name, valid, text.
QJsonObject firmwareFields(
    uchar version, uchar subversion, uchar bugfix, uint build, const QString &name, bool valid);
QJsonObject firmwareFields(const UsbLoader::TFirmwareInformation &record);
// Seconds on clock, to the millisecond.
double secondsOf(const QElapsedTimer &clock);
