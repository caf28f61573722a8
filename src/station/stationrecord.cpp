#include "stationrecord.h"

#include <QJsonDocument>

namespace {

// Where the last whole line of log ends (0 when there is none, -1 when it
// could not be read).
qint64 endOfLastLine(const DurableLog &log, qint64 size)
{
    char block[4096];
    qint64 end = size;
    while (end > 0) {
        const qint64 start = qMax<qint64>(0, end - qint64(sizeof block));
        if (!log.read(start, block, end - start))
            return -1;
        for (qint64 i = end - start - 1; i >= 0; --i) {
            if (block[i] == '\n')
                return start + i + 1;
        }
        end = start;
    }
    return 0;
}

} // namespace

bool StationRecord::open(const QString &fileName, QString *error, qint64 *cutBytes)
{
    m_fileName = fileName;
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
    const qint64 size = m_log.size(&reason);
    if (size < 0) {
        *error = QStringLiteral("%1: %2").arg(fileName, reason);
        return false;
    }
    const qint64 whole = endOfLastLine(m_log, size);
    if (whole < 0)
        reason = QStringLiteral("it could not be read");
    if (whole < 0 || (whole < size && !m_log.cut(whole, &reason))) {
        *error = QStringLiteral("%1: its torn last line could not be cut off: %2").arg(fileName, reason);
        return false;
    }
    if (cutBytes)
        *cutBytes = size - whole;
    return true;
}

bool StationRecord::append(const QJsonObject &line, QString *error)
{
    QString reason;
    // One write, so that no other line can come between its parts.
    if (!m_log.append(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n', &reason)) {
        *error = QStringLiteral("%1: the unit's line was not written: %2").arg(m_fileName, reason);
        return false;
    }
    return true;
}
