#include "serialhistory.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

// Far above one entry (a USB serial has at most 126 characters, 6 bytes each escaped).
constexpr qint64 tailBytes = 4096;
// How much of the file a look-up holds at a time.
constexpr qint64 blockBytes = 1024 * 1024;

QByteArray lineOf(const SerialHistory::Entry &entry)
{
    const QJsonObject line {{QStringLiteral("serial"), entry.serial},
        {QStringLiteral("holder"), entry.holder}, {QStringLiteral("burnt"), entry.burnt}};
    return QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
}

// The serial's field as a line of the file carries it, escaped as JSON escapes it.
QByteArray serialField(const QString &serial)
{
    const QByteArray object
        = QJsonDocument(QJsonObject {{QStringLiteral("serial"), serial}}).toJson(QJsonDocument::Compact);
    return object.mid(1, object.size() - 2);
}

} // namespace

bool SerialHistory::open(const QString &fileName, QString *error)
{
    m_fileName = fileName;
    QString reason;
    if (m_log.open(fileName, &reason) != DurableLog::OpenResult::Opened) {
        *error = QStringLiteral("%1: %2").arg(fileName, reason.isEmpty() ? QStringLiteral("in use") : reason);
        return false;
    }
    // Entries are short: a crash tears at most the last one, which its state never counted on.
    const qint64 size = m_log.size(&reason);
    const qint64 start = qMax<qint64>(0, size - tailBytes);
    QByteArray tail(int(qMax<qint64>(0, size - start)), Qt::Uninitialized);
    if (size < 0 || !m_log.read(start, tail.data(), tail.size())) {
        *error = QStringLiteral("%1: it could not be read: %2").arg(fileName, reason);
    } else if (start > 0 && !tail.contains('\n')) {
        *error = QStringLiteral("%1: not a serial history of this program, or damaged").arg(fileName);
    } else {
        const qint64 keep = start + tail.lastIndexOf('\n') + 1;
        if (keep == size || m_log.cut(keep, &reason))
            return true;
        *error = QStringLiteral("%1: its torn last line could not be cut off: %2").arg(fileName, reason);
    }
    m_log.close();
    return false;
}

bool SerialHistory::append(const QVector<Entry> &entries, QString *error)
{
    QByteArray lines;
    for (const Entry &entry : entries)
        lines += lineOf(entry);
    QString reason;
    const qint64 before = m_log.size(&reason);
    if (before >= 0 && m_log.append(lines, &reason))
        return true;
    *error = QStringLiteral("%1: %2").arg(m_fileName, reason);
    // What is left of it is torn at worst, and the next open cuts that off.
    if (before >= 0)
        m_log.cut(before, &reason);
    return false;
}

bool SerialHistory::find(const QString &serial, Entry *entry) const
{
    const QByteArray field = serialField(serial);
    QString reason;
    const qint64 size = m_log.size(&reason);
    bool found = false;
    // Whole lines are searched; the rest waits for the next block.
    QByteArray pending;
    for (qint64 offset = 0; offset < size;) {
        const qint64 length = qMin(blockBytes, size - offset);
        const int kept = pending.size();
        pending.resize(kept + int(length));
        if (!m_log.read(offset, pending.data() + kept, length))
            return false;
        offset += length;
        const int wholeLines = pending.lastIndexOf('\n') + 1;
        for (int at = pending.indexOf(field); at >= 0 && at < wholeLines;
             at = pending.indexOf(field, at + 1)) {
            const int start = pending.lastIndexOf('\n', at) + 1;
            const QJsonObject line
                = QJsonDocument::fromJson(pending.mid(start, pending.indexOf('\n', at) - start)).object();
            if (line.value(QStringLiteral("serial")).toString() != serial)
                continue;
            *entry = {serial, line.value(QStringLiteral("holder")).toString(),
                line.value(QStringLiteral("burnt")).toBool()};
            found = true;
        }
        pending.remove(0, wholeLines);
    }
    return found;
}
