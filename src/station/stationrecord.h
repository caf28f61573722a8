#pragma once

// The station's record: one JSON object per unit on one line of an
// append-only file (JSON Lines). Each line goes out in one write and is
// on disk before append() returns, so a unit reported done is kept; a line
// that fails or goes out short is cut off again, so no reader meets it.
// A line torn by a crash mid-write belongs to a unit that was never
// reported done: open() cuts it off, so that the next line starts whole.
// Only a file that is empty or whose lines are this program's records is
// taken, and only a tail that is the start of such a line is ever cut.
// One station per record file (locked). Main thread.

#include "durablefile.h"

#include <QJsonObject>
#include <QString>

class StationRecord
{
public:
    // Opens fileName for appending, creating it; false with error when it
    // is not named, cannot be opened, is not a regular file, has another
    // name (a hard link), another station holds it, it is not a record of
    // this program, or its torn last line cannot be cut off. cutBytes
    // (optional) tells how much was cut.
    bool open(const QString &fileName, QString *error, qint64 *cutBytes = nullptr);
    // Appends line; false with error when it is not on disk. The record is
    // then as it was, or error names the bytes a reader must drop, and
    // nothing more is appended.
    bool append(const QJsonObject &line, QString *error);
    // The record's last whole line (without its newline), as opened or last appended.
    const QByteArray &lastLine() const { return m_lastLine; }
    // Equal to DurableFile::Status::identity of any name of the open record.
    QByteArray identity() const { return m_identity; }

    // Whether line (without its newline) is one of this program's records.
    static bool isRecordLine(const QByteArray &line);

private:
    bool checkContent(qint64 size, qint64 *keep, QString *error);

    QString m_fileName;
    QByteArray m_identity;
    QByteArray m_lastLine;
    DurableLog m_log;
    // Set when a failed line could not be cut off: the record takes no more.
    QString m_broken;
};
