#include "stationstate.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {

const char formatName[] = "talvex-station-state";
constexpr int formatVersion = 1;

QStringList textList(const QJsonValue &value, bool *ok)
{
    QStringList list;
    if (!value.isArray())
        *ok = false;
    for (const QJsonValue &item : value.toArray()) {
        if (!item.isString())
            *ok = false;
        list << item.toString();
    }
    return list;
}

// The path the name leads to, symbolic links resolved, also for a file not made yet.
QString realPathOf(const QString &fileName)
{
    const QFileInfo info(fileName);
    const QString real = info.canonicalFilePath();
    if (!real.isEmpty())
        return real;
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? QString() : QDir(folder).filePath(info.fileName());
}

} // namespace

bool StationState::open(const QString &fileName, const SerialRange &range, QString *error)
{
    m_fileName = fileName;
    m_range = range;
    m_next = range.first();
    if (!lock(error))
        return false;
    bool opened = read(error);
    if (opened) {
        // Whether the device took a serial reserved before a crash is unknown:
        // it is never handed out again. A device that did take it keeps it.
        m_burnt += m_reserved;
        m_reserved.clear();
        opened = save(error);
    }
    if (opened && left() == 0) {
        *error = QStringLiteral("%1: the range %2 is used up: no serial is left to give")
                     .arg(fileName, range.pattern());
        opened = false;
    }
    // A state refused leaves it to another station.
    if (!opened)
        m_lock.close();
    return opened;
}

bool StationState::lock(QString *error)
{
    DurableFile::Status status;
    if (!DurableFile::status(m_fileName, &status, error))
        return false;
    if (status.kind == DurableFile::Status::Kind::Other) {
        *error = QStringLiteral("%1: not a regular file, so it cannot keep the state").arg(m_fileName);
        return false;
    }
    // A second name would escape the lock below, and goes stale at the first save.
    if (status.links > 1) {
        *error = QStringLiteral("%1 is linked under another name (%2 names); a state must have one")
                     .arg(m_fileName)
                     .arg(status.links);
        return false;
    }
    m_realName = realPathOf(m_fileName);
    if (m_realName.isEmpty()) {
        *error = QStringLiteral("%1: its folder does not exist").arg(m_fileName);
        return false;
    }
    // The state itself is replaced at every save, so its own lock would not last.
    const QString lockName = m_realName + QStringLiteral(".lock");
    QString reason;
    switch (m_lock.open(lockName, &reason)) {
    case DurableLog::OpenResult::Opened: {
        // Temporaries of a save cut off by a crash: only a station holding the lock writes them.
        const QFileInfo real(m_realName);
        QDir folder = real.absoluteDir();
        const QRegularExpression temporary(QRegularExpression::anchoredPattern(
            QRegularExpression::escape(real.fileName()) + QStringLiteral("\\.[0-9a-f]+\\.tmp")));
        for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden)) {
            if (temporary.match(name).hasMatch())
                folder.remove(name);
        }
        return true;
    }
    case DurableLog::OpenResult::HeldElsewhere:
        *error = QStringLiteral("%1: another station is keeping this state").arg(m_fileName);
        return false;
    case DurableLog::OpenResult::Failed:
        break;
    }
    *error = QStringLiteral("%1: its lock %2 cannot be taken: %3").arg(m_fileName, lockName, reason);
    return false;
}

bool StationState::read(QString *error)
{
    QFile file(m_realName);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(m_fileName, file.errorString());
        return false;
    }
    QJsonParseError parseError {};
    const QJsonObject state = QJsonDocument::fromJson(file.readAll(), &parseError).object();
    // Windows refuses to rename over a file that is still open.
    file.close();
    bool ok = parseError.error == QJsonParseError::NoError
        && state.value(QStringLiteral("format")).toString() == QLatin1String(formatName)
        && state.value(QStringLiteral("version")).toInt() == formatVersion;
    m_next = qint64(state.value(QStringLiteral("next")).toDouble(-1));
    m_reserved = textList(state.value(QStringLiteral("reserved")), &ok);
    m_burnt = textList(state.value(QStringLiteral("burnt")), &ok);
    m_given = textList(state.value(QStringLiteral("given")), &ok);
    // Written since holders were kept; a state from before has none.
    const QJsonObject holders = state.value(QStringLiteral("holders")).toObject();
    for (auto it = holders.begin(); it != holders.end(); ++it)
        m_holders.insert(it.key(), it.value().toString());
    if (ok && state.value(QStringLiteral("range")).toString() != m_range.pattern()) {
        *error = QStringLiteral("%1 belongs to the range %2, not %3")
                     .arg(m_fileName, state.value(QStringLiteral("range")).toString(), m_range.pattern());
        return false;
    }
    if (!ok || m_next < m_range.first() || m_next > m_range.last() + 1) {
        *error = QStringLiteral("%1: not a station state file of this program, or damaged").arg(m_fileName);
        return false;
    }
    return true;
}

qint64 StationState::left() const
{
    qint64 seen = 0;
    for (const QStringList *list : {&m_given, &m_burnt, &m_reserved}) {
        for (const QString &serial : *list)
            seen += m_range.numberOf(serial) >= m_next ? 1 : 0;
    }
    return qMax<qint64>(0, m_range.last() - m_next + 1 - seen);
}

QString StationState::reserve(const QString &holder, QString *error)
{
    if (!m_writeError.isEmpty()) {
        *error = m_writeError;
        return QString();
    }
    QString serial;
    do {
        if (m_next > m_range.last()) {
            *error = QStringLiteral("the range %1 is used up").arg(m_range.pattern());
            return QString();
        }
        serial = m_range.serial(m_next++);
    } while (m_given.contains(serial) || m_burnt.contains(serial));
    m_reserved << serial;
    m_holders.insert(serial, holder);
    if (!save(error))
        return QString();
    return serial;
}

StationState::Claim StationState::claim(const QString &serial, const QString &holder, QString *reason)
{
    const bool given = m_given.contains(serial);
    if (given || m_burnt.contains(serial) || m_reserved.contains(serial)) {
        // A unit known by its USB serial may come again; one without cannot be told from another.
        const QString had = m_holders.value(serial);
        if (!holder.isEmpty() && had == holder && !m_reserved.contains(serial))
            return Claim::Kept;
        *reason = QStringLiteral("its serial %1 is already on another unit (%2%3)")
                      .arg(serial,
                          given                             ? QStringLiteral("given or kept")
                              : m_reserved.contains(serial) ? QStringLiteral("being written")
                                                            : QStringLiteral("burnt"),
                          had.isEmpty() ? QString() : QStringLiteral(", USB serial ") + had);
        return Claim::Taken;
    }
    if (!m_writeError.isEmpty()) {
        *reason = m_writeError;
        return Claim::NotWritten;
    }
    m_given << serial;
    m_holders.insert(serial, holder);
    return save(reason) ? Claim::Kept : Claim::NotWritten;
}

bool StationState::settle(const QString &serial, bool written, QString *error)
{
    // Only a reservation is settled, once: a given serial is never burnt after the fact.
    if (m_reserved.removeAll(serial) == 0)
        return true;
    (written ? m_given : m_burnt) << serial;
    return save(error);
}

bool StationState::save(QString *error)
{
    if (!m_writeError.isEmpty()) {
        *error = m_writeError;
        return false;
    }
    QJsonObject holders;
    for (auto it = m_holders.cbegin(); it != m_holders.cend(); ++it)
        holders.insert(it.key(), it.value());
    const QJsonObject state {{QStringLiteral("format"), QLatin1String(formatName)},
        {QStringLiteral("version"), formatVersion}, {QStringLiteral("range"), m_range.pattern()},
        {QStringLiteral("next"), double(m_next)},
        {QStringLiteral("reserved"), QJsonArray::fromStringList(m_reserved)},
        {QStringLiteral("burnt"), QJsonArray::fromStringList(m_burnt)},
        {QStringLiteral("given"), QJsonArray::fromStringList(m_given)}, {QStringLiteral("holders"), holders}};
    QString reason;
    if (DurableFile::replace(m_realName, QJsonDocument(state).toJson(QJsonDocument::Indented), &reason))
        return true;
    // What is on disk is now behind what this station knows: it changes nothing more.
    m_writeError = QStringLiteral("the state %1 could not be written: %2").arg(m_fileName, reason);
    *error = m_writeError;
    return false;
}
