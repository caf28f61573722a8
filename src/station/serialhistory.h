#pragma once

// What became of the serials the station state has left behind its next
// number: which unit (by its USB serial) holds each, and whether it was
// burnt. A file that only grows, one JSON line per serial, so that the
// state itself stays small however many units were made; for a serial
// named twice, its last line holds. Read only for a device that comes with
// such a serial. Opened by the station that holds the state's lock. Main
// thread.

#include "durablefile.h"

#include <QString>
#include <QVector>

class SerialHistory
{
public:
    struct Entry
    {
        QString serial;
        // Empty: not known.
        QString holder;
        // Reserved, but its write was never confirmed.
        bool burnt = false;
    };

    // Opens fileName, creating it, and cuts off a line torn by a crash;
    // false with error when it cannot.
    bool open(const QString &fileName, QString *error);
    void close() { m_log.close(); }
    // Appends entries in one write, on disk when it returns; false with
    // error when they are not, and whatever part of them reached the file
    // is cut off again where that can be done.
    bool append(const QVector<Entry> &entries, QString *error);
    // The last entry for serial; false when there is none or the file
    // cannot be read.
    bool find(const QString &serial, Entry *entry) const;

private:
    QString m_fileName;
    DurableLog m_log;
};
