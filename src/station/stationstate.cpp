#include "stationstate.h"

#include "durablefile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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

} // namespace

bool StationState::open(const QString &fileName, const SerialRange &range, QString *error)
{
    m_fileName = fileName;
    m_range = range;
    m_next = range.first();
    QFile file(fileName);
    if (!file.exists())
        return save(error);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(fileName, file.errorString());
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
    const QStringList reserved = textList(state.value(QStringLiteral("reserved")), &ok);
    m_burnt = textList(state.value(QStringLiteral("burnt")), &ok);
    m_given = textList(state.value(QStringLiteral("given")), &ok);
    if (!ok || m_next < range.first() || m_next > range.last() + 1) {
        *error = QStringLiteral("%1: not a station state file of this program, or damaged").arg(fileName);
        return false;
    }
    if (state.value(QStringLiteral("range")).toString() != range.pattern()) {
        *error = QStringLiteral("%1 belongs to the range %2, not %3")
                     .arg(fileName, state.value(QStringLiteral("range")).toString(), range.pattern());
        return false;
    }
    // Whether the device took a serial reserved before a crash is unknown:
    // it is never handed out again. A device that did take it keeps it.
    m_burnt += reserved;
    m_reserved.clear();
    return reserved.isEmpty() || save(error);
}

QString StationState::reserve(QString *error)
{
    QString serial;
    do {
        if (m_next > m_range.last()) {
            *error = QStringLiteral("the range %1 is used up").arg(m_range.pattern());
            return QString();
        }
        serial = m_range.serial(m_next++);
    } while (m_given.contains(serial) || m_burnt.contains(serial));
    m_reserved << serial;
    if (!save(error))
        return QString();
    return serial;
}

bool StationState::noteKept(const QString &serial, QString *error)
{
    if (m_given.contains(serial) || m_burnt.contains(serial))
        return true;
    m_given << serial;
    return save(error);
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
    const QJsonObject state {{QStringLiteral("format"), QLatin1String(formatName)},
        {QStringLiteral("version"), formatVersion}, {QStringLiteral("range"), m_range.pattern()},
        {QStringLiteral("next"), double(m_next)},
        {QStringLiteral("reserved"), QJsonArray::fromStringList(m_reserved)},
        {QStringLiteral("burnt"), QJsonArray::fromStringList(m_burnt)},
        {QStringLiteral("given"), QJsonArray::fromStringList(m_given)}};
    return DurableFile::replace(m_fileName, QJsonDocument(state).toJson(QJsonDocument::Indented), error);
}
