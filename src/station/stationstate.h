#pragma once

// The station's state file: which serial of the range comes next, which
// are reserved for a write under way, and which were burnt (reserved, but
// their write was never confirmed). Every change is on disk before the
// call returns, so a serial is never handed out twice, also across a crash
// or a power cut. One station per state file. Main thread.

#include "serialrange.h"

#include <QString>
#include <QStringList>

class StationState
{
public:
    // Reads fileName, or starts a new state for range when there is none
    // (written at once). A serial still reserved from a run that ended
    // without confirming it counts as burnt from now on. False with error
    // when the file cannot be read or written, is damaged, or belongs to
    // another range.
    bool open(const QString &fileName, const SerialRange &range, QString *error);

    // The next serial of the range that was never handed out nor seen on
    // a device, reserved durably; empty with error when the range is used
    // up or the file not written.
    QString reserve(QString *error);
    // A serial of the range a device already has: never handed out to another.
    bool noteKept(const QString &serial, QString *error);
    // Ends a reservation: written confirms the serial as given, otherwise
    // it is burnt; a serial not reserved is left as it is. False with error
    // when the file was not written.
    bool settle(const QString &serial, bool written, QString *error);

    qint64 next() const { return m_next; }
    QStringList reserved() const { return m_reserved; }
    QStringList burnt() const { return m_burnt; }
    QStringList given() const { return m_given; }

private:
    bool save(QString *error);

    QString m_fileName;
    SerialRange m_range;
    qint64 m_next = 0;
    QStringList m_reserved;
    QStringList m_burnt;
    QStringList m_given;
};
