#pragma once

// The station's record: one JSON object per unit on one line of an
// append-only file (JSON Lines). Each line goes out in one write and is
// on disk before append() returns, so a unit reported done is kept.
// A line torn by a crash mid-write belongs to a unit that was never
// reported done: open() cuts it off, so that a reader never meets it and
// the next line starts whole. One station per record file (locked). Main
// thread.

#include "durablefile.h"

#include <QJsonObject>
#include <QString>

class StationRecord
{
public:
    // Opens fileName for appending, creating it; false with error when it
    // cannot be opened, another station holds it, or its torn last line
    // cannot be cut off. cutBytes (optional) tells how much was cut.
    bool open(const QString &fileName, QString *error, qint64 *cutBytes = nullptr);
    bool append(const QJsonObject &line, QString *error);

private:
    QString m_fileName;
    DurableLog m_log;
};
