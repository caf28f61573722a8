#pragma once

// The station's state file: which serial of the range comes next, which
// are reserved for a write under way, and which ahead of the next one are
// kept by a device already, each with the unit (by its USB serial) that
// holds it. Serials behind the next one are never handed out again; which
// unit holds each, and which were burnt (reserved, but their write was
// never confirmed), goes to a SerialHistory beside the state (".history"),
// so that what each unit costs does not grow with the units made. Every
// change is on disk before the call returns, so a serial is never handed
// out twice, also across a crash or a power cut. One
// station per state file: a lock on a file beside it, named from the
// state's real path, so that it holds across the renames that save it and
// under any symbolic link; a state with a second (hard) name is refused.
// Once a save fails, the state takes no more changes. Main thread.

#include "durablefile.h"
#include "serialhistory.h"
#include "serialrange.h"

#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>

class StationState
{
public:
    // What a serial of the range that a device already has means for it.
    enum class Claim {
        // The device keeps it: new to the state (now noted), or this unit's own.
        Kept,
        // Another unit has it already: given, kept or burnt, or behind the
        // next serial with no unit known for it.
        Taken,
        // The state could not be written.
        NotWritten,
    };

    // Locks fileName and reads it, or starts a new state for range when
    // there is none; either way it is written at once, so that a state that
    // cannot be written stops the station before its first unit. A serial
    // still reserved from a run that ended without confirming it counts as
    // burnt from now on. A state of the first version, which listed every
    // serial handed out, is carried over. False with error when the file is
    // held by another station, is not a regular file, has a second name,
    // cannot be read or written, is damaged, belongs to another range, or
    // no serial is left.
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
    QStringList reserved() const { return m_reserved.keys(); }

private:
    bool lock(QString *error);
    bool read(QString *error);
    // A state of the first version lists every serial handed out, each with its holder.
    void carryOver(const QJsonObject &state, bool *ok, QVector<SerialHistory::Entry> *behind);
    // Appends entries to the history; like save(), a failure stops all changes.
    bool leaveBehind(const QVector<SerialHistory::Entry> &entries, QString *error);
    bool save(QString *error);
    bool stopChanges(const QString &reason, QString *error);

    QString m_fileName;
    // The state's real path (symbolic links resolved): where it is saved.
    QString m_realName;
    DurableLog m_lock;
    SerialRange m_range;
    SerialHistory m_history;
    qint64 m_next = 0;
    // Serial -> the USB serial of the unit it went to (empty: not known).
    QHash<QString, QString> m_reserved;
    // The same for serials ahead of m_next that a device already has.
    QHash<QString, QString> m_kept;
    QString m_writeError;
};
