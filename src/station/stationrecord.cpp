#include "stationrecord.h"

#include <QJsonDocument>

namespace {

// Far above a unit's line (under 2 KiB): a longer "line" is not a record's.
constexpr qint64 maxLineBytes = 64 * 1024;

// Where the line that ends at end begins: after the last newline before
// end, or 0 at the start of the file; -1 when it cannot be read, -2 when it
// is longer than maxLineBytes.
qint64 startOfLine(const DurableLog &log, qint64 end)
{
    char block[4096];
    qint64 scanEnd = end;
    while (scanEnd > 0) {
        if (end - scanEnd >= maxLineBytes)
            return -2;
        const qint64 start = qMax<qint64>(0, scanEnd - qint64(sizeof block));
        if (!log.read(start, block, scanEnd - start))
            return -1;
        for (qint64 i = scanEnd - start - 1; i >= 0; --i) {
            if (block[i] == '\n')
                return start + i + 1;
        }
        scanEnd = start;
    }
    return end > maxLineBytes ? -2 : 0;
}

QByteArray bytesOf(const DurableLog &log, qint64 start, qint64 end)
{
    QByteArray bytes(int(end - start), Qt::Uninitialized);
    return log.read(start, bytes.data(), bytes.size()) ? bytes : QByteArray();
}

// A piece that can be the beginning of one of this program's lines, which
// are written with their keys in order: "board" first.
bool isStartOfRecordLine(const QByteArray &piece)
{
    static const QByteArray opening = QByteArrayLiteral("{\"board\":");
    return piece.size() <= maxLineBytes && (piece.startsWith(opening) || opening.startsWith(piece))
        && !piece.contains('\0');
}

} // namespace

bool StationRecord::isRecordLine(const QByteArray &line)
{
    QJsonParseError error {};
    const QJsonObject object = QJsonDocument::fromJson(line, &error).object();
    if (error.error != QJsonParseError::NoError)
        return false;
    for (const char *key : {"board", "time", "station", "port", "result", "sha256"}) {
        if (!object.value(QLatin1String(key)).isString())
            return false;
    }
    return true;
}

bool StationRecord::open(const QString &fileName, QString *error, qint64 *cutBytes)
{
    m_fileName = fileName;
    if (fileName.isEmpty()) {
        *error = QStringLiteral("no file named for the record");
        return false;
    }
    QString reason;
    switch (m_log.open(fileName, &reason)) {
    case DurableLog::OpenResult::Opened:
        break;
    case DurableLog::OpenResult::HeldElsewhere:
        *error = QStringLiteral("%1: another station is keeping this record").arg(fileName);
        return false;
    case DurableLog::OpenResult::Failed:
        *error = QStringLiteral("%1: %2").arg(fileName, reason);
        return false;
    }
    DurableFile::Status status;
    if (!m_log.status(&status, &reason)) {
        *error = QStringLiteral("%1: %2").arg(fileName, reason);
        return false;
    }
    if (status.kind != DurableFile::Status::Kind::Regular) {
        *error = QStringLiteral("%1: not a regular file, so it cannot keep a record").arg(fileName);
        return false;
    }
    // A second name would let a second station past the check below, and reads of it go stale.
    if (status.links > 1) {
        *error = QStringLiteral("%1 is linked under another name (%2 names); a record must have one")
                     .arg(fileName)
                     .arg(status.links);
        return false;
    }
    m_identity = status.identity;
    const qint64 size = m_log.size(&reason);
    if (size < 0) {
        *error = QStringLiteral("%1: %2").arg(fileName, reason);
        return false;
    }
    qint64 keep = size;
    if (!checkContent(size, &keep, error))
        return false;
    if (keep < size && !m_log.cut(keep, &reason)) {
        *error = QStringLiteral("%1: its torn last line could not be cut off: %2").arg(fileName, reason);
        return false;
    }
    if (cutBytes)
        *cutBytes = size - keep;
    return true;
}

bool StationRecord::checkContent(qint64 size, qint64 *keep, QString *error)
{
    // The first and the last whole line are read, not every line between:
    // a file that begins and ends with this program's records was written
    // by it, and a record of a year of shifts must not slow down every start.
    const QString notRecord
        = QStringLiteral("%1 is not a record of this program (%2); it is left as it is").arg(m_fileName);
    *keep = size;
    if (size == 0)
        return true;
    const qint64 whole = startOfLine(m_log, size);
    if (whole == -1) {
        *error = QStringLiteral("%1: it could not be read").arg(m_fileName);
        return false;
    }
    if (whole == -2 || (whole < size && !isStartOfRecordLine(bytesOf(m_log, whole, size)))) {
        *error = notRecord.arg(QStringLiteral("it ends in bytes that are no record's line"));
        return false;
    }
    if (whole > 0) {
        const qint64 lastStart = startOfLine(m_log, whole - 1);
        m_lastLine = lastStart < 0 ? QByteArray() : bytesOf(m_log, lastStart, whole - 1);
        if (lastStart < 0 || !isRecordLine(m_lastLine)) {
            *error = notRecord.arg(QStringLiteral("its last whole line is not a record"));
            return false;
        }
        QByteArray first(int(qMin(whole, maxLineBytes)), Qt::Uninitialized);
        const int firstEnd = m_log.read(0, first.data(), first.size()) ? first.indexOf('\n') : -1;
        if (firstEnd < 0 || !isRecordLine(first.left(firstEnd))) {
            *error = notRecord.arg(QStringLiteral("its first line is not a record"));
            return false;
        }
    }
    *keep = whole;
    return true;
}

bool StationRecord::append(const QJsonObject &line, QString *error)
{
    if (!m_broken.isEmpty()) {
        *error = m_broken;
        return false;
    }
    const QByteArray bytes = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    QString reason;
    const qint64 before = m_log.size(&reason);
    if (before < 0) {
        *error = QStringLiteral("%1: the unit's line was not written: %2").arg(m_fileName, reason);
        return false;
    }
    // One write, so that no other line can come between its parts.
    if (m_log.append(bytes, &reason)) {
        m_lastLine = bytes.left(bytes.size() - 1);
        return true;
    }
    // Whatever part of the line reached the file goes again, so that no reader meets it.
    QString cutReason;
    if (m_log.cut(before, &cutReason)) {
        *error = QStringLiteral("%1: the unit's line was not written: %2").arg(m_fileName, reason);
        return false;
    }
    QString sizeReason;
    const qint64 after = m_log.size(&sizeReason);
    m_broken
        = QStringLiteral("%1: the unit's line was not written (%2), and what reached the file could not be "
                         "cut off (%3): a reader must drop bytes %4 to %5 (counted from 0), a torn line")
              .arg(m_fileName, reason, cutReason)
              .arg(before)
              .arg((after > before ? after : before + bytes.size()) - 1);
    *error = m_broken;
    return false;
}
