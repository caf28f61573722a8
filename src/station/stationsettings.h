#pragma once

// What one run of the station works with, as Station resolves it from a
// front end's options: the firmware file approved, the serial range read,
// the files and defaults settled. Any thread.

#include "firmware/firmwarefile.h"
#include "station/lineaddress.h"
#include "station/serialrange.h"

#include <QSharedPointer>
#include <QString>

#include <optional>

struct StationSettings
{
    // The firmware file as the record names it, its SHA-256 and contents.
    QString fileName;
    QString sha256;
    QSharedPointer<FirmwareFile> firmware;
    // The signature as checked at the start: "verified" or "unsigned",
    // and the signer's key id (empty when unsigned).
    QString signature;
    QString signer;
    // Not valid: no serials are given.
    SerialRange range;
    uchar boardVersion = 0;
    uchar boardSubversion = 0;
    // Empty: no record is kept.
    QString recordFile;
    // With a line: the range's serials and a copy of the record are the
    // line database's, and stateFile is not used.
    std::optional<LineAddress> line;
    QString stateFile;
    QString name;
    // Units to handle before the station ends; 0: no end.
    int count = 0;
    // Units at once; 0: all.
    int maxUnits = 0;
    bool reflashCurrent = false;
    // Only the devices attached at the start, then the end.
    bool attachedOnly = false;
};
