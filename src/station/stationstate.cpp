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
constexpr int formatVersion = 2;

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

// Serial -> USB serial, as the state keeps them.
QHash<QString, QString> holdersOf(const QJsonValue &value, bool *ok)
{
    QHash<QString, QString> holders;
    if (!value.isObject())
        *ok = false;
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isString())
            *ok = false;
        holders.insert(it.key(), it.value().toString());
    }
    return holders;
}

QJsonObject objectOf(const QHash<QString, QString> &holders)
{
    QJsonObject object;
    for (auto it = holders.cbegin(); it != holders.cend(); ++it)
        object.insert(it.key(), it.value());
    return object;
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
    bool opened = m_history.open(m_realName + QStringLiteral(".history"), error) && read(error);
    if (opened && !m_reserved.isEmpty()) {
        // Whether the device took a serial reserved before a crash is unknown:
        // it is never handed out again. A device that did take it keeps it.
        QVector<SerialHistory::Entry> burnt;
        for (auto it = m_reserved.cbegin(); it != m_reserved.cend(); ++it)
            burnt.append({it.key(), it.value(), true});
        opened = leaveBehind(burnt, error);
        m_reserved.clear();
    }
    opened = opened && save(error);
    if (opened && left() == 0) {
        *error = QStringLiteral("%1: the range %2 is used up: no serial is left to give")
                     .arg(fileName, range.pattern());
        opened = false;
    }
    // A state refused leaves it to another station.
    if (!opened) {
        m_history.close();
        m_lock.close();
    }
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
    const int version = state.value(QStringLiteral("version")).toInt();
    bool ok = parseError.error == QJsonParseError::NoError
        && state.value(QStringLiteral("format")).toString() == QLatin1String(formatName)
        && (version == formatVersion || version == 1);
    m_next = qint64(state.value(QStringLiteral("next")).toDouble(-1));
    QVector<SerialHistory::Entry> behind;
    if (version == 1) {
        carryOver(state, &ok, &behind);
    } else {
        m_reserved = holdersOf(state.value(QStringLiteral("reserved")), &ok);
        m_kept = holdersOf(state.value(QStringLiteral("kept")), &ok);
    }
    if (ok && state.value(QStringLiteral("range")).toString() != m_range.pattern()) {
        *error = QStringLiteral("%1 belongs to the range %2, not %3")
                     .arg(m_fileName, state.value(QStringLiteral("range")).toString(), m_range.pattern());
        return false;
    }
    if (!ok || m_next < m_range.first() || m_next > m_range.last() + 1) {
        *error = QStringLiteral("%1: not a station state file of this program, or damaged").arg(m_fileName);
        return false;
    }
    // In the history before the state is saved without them.
    return leaveBehind(behind, error);
}

void StationState::carryOver(const QJsonObject &state, bool *ok, QVector<SerialHistory::Entry> *behind)
{
    // A state from before holders were kept has none.
    const QJsonObject holders = state.value(QStringLiteral("holders")).toObject();
    const auto holderOf = [&holders](const QString &serial) { return holders.value(serial).toString(); };
    for (const QString &serial : textList(state.value(QStringLiteral("reserved")), ok))
        m_reserved.insert(serial, holderOf(serial));
    for (const bool burnt : {false, true}) {
        for (const QString &serial :
            textList(state.value(burnt ? QStringLiteral("burnt") : QStringLiteral("given")), ok)) {
            if (m_range.numberOf(serial) >= m_next)
                m_kept.insert(serial, holderOf(serial));
            else
                behind->append({serial, holderOf(serial), burnt});
        }
    }
}

qint64 StationState::left() const
{
    qint64 keptAhead = 0;
    for (auto it = m_kept.cbegin(); it != m_kept.cend(); ++it)
        keptAhead += m_range.numberOf(it.key()) >= m_next ? 1 : 0;
    return qMax<qint64>(0, m_range.last() - m_next + 1 - keptAhead);
}

QString StationState::reserve(const QString &holder, QString *error)
{
    if (!m_writeError.isEmpty()) {
        *error = m_writeError;
        return QString();
    }
    // Serials a device already had are passed over, and behind the next one they belong in the history.
    QVector<SerialHistory::Entry> passed;
    for (; m_next <= m_range.last() && m_kept.contains(m_range.serial(m_next)); ++m_next)
        passed.append({m_range.serial(m_next), m_kept.take(m_range.serial(m_next)), false});
    if (!leaveBehind(passed, error))
        return QString();
    if (m_next > m_range.last()) {
        *error = QStringLiteral("the range %1 is used up").arg(m_range.pattern());
        return QString();
    }
    const QString serial = m_range.serial(m_next++);
    m_reserved.insert(serial, holder);
    if (!save(error))
        return QString();
    return serial;
}

StationState::Claim StationState::claim(const QString &serial, const QString &holder, QString *reason)
{
    const bool reserved = m_reserved.contains(serial);
    SerialHistory::Entry seen {serial, m_reserved.value(serial, m_kept.value(serial)), false};
    bool known = reserved || m_kept.contains(serial);
    // Every serial behind the next one went somewhere: one the history names no unit for is another's.
    if (!known && m_range.numberOf(serial) < m_next) {
        m_history.find(serial, &seen);
        known = true;
    }
    if (known) {
        // A unit known by its USB serial may come again; one without cannot be told from another.
        if (!holder.isEmpty() && seen.holder == holder && !reserved)
            return Claim::Kept;
        *reason = QStringLiteral("its serial %1 is already on another unit (%2%3)")
                      .arg(serial,
                          reserved         ? QStringLiteral("being written")
                              : seen.burnt ? QStringLiteral("burnt")
                                           : QStringLiteral("given or kept"),
                          seen.holder.isEmpty() ? QString() : QStringLiteral(", USB serial ") + seen.holder);
        return Claim::Taken;
    }
    if (!m_writeError.isEmpty()) {
        *reason = m_writeError;
        return Claim::NotWritten;
    }
    m_kept.insert(serial, holder);
    return save(reason) ? Claim::Kept : Claim::NotWritten;
}

bool StationState::settle(const QString &serial, bool written, QString *error)
{
    // Only a reservation is settled, once: a given serial is never burnt after the fact.
    const auto it = m_reserved.find(serial);
    if (it == m_reserved.end())
        return true;
    const SerialHistory::Entry settled {serial, it.value(), !written};
    m_reserved.erase(it);
    return leaveBehind({settled}, error) && save(error);
}

bool StationState::leaveBehind(const QVector<SerialHistory::Entry> &entries, QString *error)
{
    if (!m_writeError.isEmpty()) {
        *error = m_writeError;
        return false;
    }
    QString reason;
    return entries.isEmpty() || m_history.append(entries, &reason) || stopChanges(reason, error);
}

bool StationState::save(QString *error)
{
    if (!m_writeError.isEmpty()) {
        *error = m_writeError;
        return false;
    }
    const QJsonObject state {{QStringLiteral("format"), QLatin1String(formatName)},
        {QStringLiteral("version"), formatVersion}, {QStringLiteral("range"), m_range.pattern()},
        {QStringLiteral("next"), double(m_next)}, {QStringLiteral("reserved"), objectOf(m_reserved)},
        {QStringLiteral("kept"), objectOf(m_kept)}};
    QString reason;
    return DurableFile::replace(m_realName, QJsonDocument(state).toJson(QJsonDocument::Indented), &reason)
        || stopChanges(reason, error);
}

bool StationState::stopChanges(const QString &reason, QString *error)
{
    // What is on disk is now behind what this station knows: it changes nothing more.
    m_writeError = QStringLiteral("the state %1 could not be written: %2").arg(m_fileName, reason);
    *error = m_writeError;
    return false;
}
