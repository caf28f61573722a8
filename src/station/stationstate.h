#pragma once

// The station's state file: which serial of the range comes next, which
// are reserved for a write under way, which were burnt (reserved, but
// their write was never confirmed), and which unit (by its USB serial)
// holds each. Every change is on disk before the call returns, so a serial
// is never handed out twice, also across a crash or a power cut. One
// station per state file: a lock on a file beside it, named from the
// state's real path, so that it holds across the renames that save it and
// under any symbolic link; a state with a second (hard) name is refused.
// Once a save fails, the state takes no more changes. Main thread.

#include "durablefile.h"
#include "serialrange.h"

#include <QHash>
#include <QString>
#include <QStringList>

class StationState
{
public:
    // What a serial of the range that a device already has means for it.
    enum class Claim {
        // The device keeps it: new to the state (now noted), or this unit's own.
        Kept,
        // Another unit has it already: given, kept or burnt.
        Taken,
        // The state could not be written.
        NotWritten,
    };

    // Locks fileName and reads it, or starts a new state for range when
    // there is none; either way it is written at once, so that a state that
    // cannot be written stops the station before its first unit. A serial
    // still reserved from a run that ended without confirming it counts as
    // burnt from now on. False with error when the file is held by another
    // station, is not a regular file, has a second name, cannot be read or
    // written, is damaged, belongs to another range, or no serial is left.
    bool open(const QString &fileName, const SerialRange &range, QString *error);

    // The next serial of the range that was never handed out nor seen on
    // a device, reserved durably for holder; empty with error when the
    // range is used up or the file not written.
    QString reserve(const QString &holder, QString *error);
    // A serial of the range the device holder already has; reason says why
    // when it is not Kept.
    Claim claim(const QString &serial, const QString &holder, QString *reason);
    // Ends a reservation: written confirms the serial as given, otherwise
    // it is burnt; a serial not reserved is left as it is. False with error
    // when the file was not written.
    bool settle(const QString &serial, bool written, QString *error);

    // Why the state takes no more changes; empty while it can be written.
    const QString &writeError() const { return m_writeError; }
    // Serials of the range not yet handed out nor seen on a device.
    qint64 left() const;
    qint64 size() const { return m_range.last() - m_range.first() + 1; }
    qint64 next() const { return m_next; }
    QStringList reserved() const { return m_reserved; }
    QStringList burnt() const { return m_burnt; }
    QStringList given() const { return m_given; }

private:
    bool lock(QString *error);
    bool read(QString *error);
    bool save(QString *error);

    QString m_fileName;
    // The state's real path (symbolic links resolved): where it is saved.
    QString m_realName;
    DurableLog m_lock;
    SerialRange m_range;
    qint64 m_next = 0;
    QStringList m_reserved;
    QStringList m_burnt;
    QStringList m_given;
    // The USB serial of the unit each serial went to (empty: not known).
    QHash<QString, QString> m_holders;
    QString m_writeError;
};
