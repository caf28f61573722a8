#include "linedatabase.h"

#include "lineschema.h"

#include <QAtomicInt>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

const char insufficientPrivilege[] = "42501";

// A text field of the record line, or null when it has none.
QVariant fieldOf(const QJsonObject &line, const char *key)
{
    const QString value = line.value(QLatin1String(key)).toString();
    return value.isEmpty() ? QVariant() : QVariant(value);
}

QVariant utcText(const QDateTime &time)
{
    return time.isValid() ? QVariant(time.toUTC().toString(Qt::ISODateWithMs)) : QVariant();
}

} // namespace

LineDatabase::LineDatabase()
{
    static QAtomicInt connections;
    m_connectionName = QStringLiteral("talvex line %1").arg(connections.fetchAndAddRelaxed(1));
}

LineDatabase::~LineDatabase()
{
    // Let go of the name before the connection ends, so that the station can
    // start again at once, not only once the server has seen the session go.
    if (m_db.isOpen() && !m_runId.isNull()) {
        QSqlQuery query(m_db);
        query.prepare(QStringLiteral("SELECT pg_advisory_unlock(talvex_station_lock(?::text))"));
        query.addBindValue(m_station);
        query.exec();
    }
    if (m_db.isValid()) {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connectionName);
    }
}

LineDatabase::Error LineDatabase::open(const LineAddress &address)
{
    if (!address.isValid())
        return {Error::Kind::BadAddress, address.problem(), QString()};
    m_connectionString = address.connectionString();
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_connectionName);
    Error error;
    if (!openConnection(&error))
        return error;
    return ensureSchema();
}

bool LineDatabase::openConnection(Error *error)
{
    if (!m_db.isValid()) {
        *error
            = {Error::Kind::Unreachable, QString(), QStringLiteral("the PostgreSQL driver of Qt is missing")};
        return false;
    }
    m_db.close();
    // Taken by the driver as a libpq connection string (with any ";" made a space: the address has none).
    m_db.setConnectOptions(m_connectionString);
    if (m_db.open())
        return true;
    const QSqlError sqlError = m_db.lastError();
    const QString reason = sqlError.databaseText().trimmed();
    // libpq names the refusal only in its text when the connection never started.
    const bool refused = reason.contains(QLatin1String("password"))
        || reason.contains(QLatin1String("authentication")) || reason.contains(QLatin1String("role \""));
    *error = {refused ? Error::Kind::AuthenticationFailed : Error::Kind::Unreachable, reason,
        sqlError.driverText()};
    return false;
}

LineDatabase::Error LineDatabase::ensureSchema()
{
    QSqlQuery query(m_db);
    Error error = begin();
    // Two stations meeting an empty database make its tables one after the other.
    if (error.isError()
        || !run(query, "SELECT pg_advisory_xact_lock(hashtextextended('talvex schema', 0))", {}, &error)
        || !run(query, "SELECT to_regclass('talvex_schema') IS NOT NULL", {}, &error))
        return error;
    query.next();
    if (!query.value(0).toBool()) {
        for (const QString &statement : LineSchema::creation()) {
            if (!query.exec(statement)) {
                error = failure(query.lastError());
                if (query.lastError().nativeErrorCode() == QLatin1String(insufficientPrivilege))
                    error.kind = Error::Kind::NoRightToCreate;
                m_db.rollback();
                return error;
            }
        }
    }
    if (!run(query, "SELECT max(version) FROM talvex_schema", {}, &error))
        return error;
    query.next();
    const int version = query.value(0).toInt();
    if (version > schemaVersion) {
        m_db.rollback();
        return {Error::Kind::SchemaTooNew, QStringLiteral("the tables are of version %1").arg(version),
            QString()};
    }
    return commit();
}

LineDatabase::Error LineDatabase::holdName()
{
    QSqlQuery query(m_db);
    Error error;
    if (!run(query, "SELECT pg_try_advisory_lock(talvex_station_lock(?::text))", {m_station}, &error))
        return error;
    query.next();
    if (!query.value(0).toBool())
        return {Error::Kind::NameInUse, QString(), QString()};
    return {};
}

LineDatabase::Error LineDatabase::holdNameAgain()
{
    // The lost session may not have ended on the server yet: its name is
    // waited for, as long as it takes a server to notice a connection gone.
    if (!m_db.transaction())
        return failure(m_db.lastError());
    QSqlQuery query(m_db);
    Error error;
    if (!run(query, "SET LOCAL lock_timeout = '20s'", {}, &error))
        return error;
    if (!run(query, "SELECT pg_advisory_lock(talvex_station_lock(?::text))", {m_station}, &error)) {
        if (m_db.isOpen())
            error.kind = Error::Kind::NameInUse;
        return error;
    }
    // The lock is the session's: it outlives the transaction.
    return commit();
}

LineDatabase::Error LineDatabase::start(const QString &station, const SerialRange &range)
{
    m_station = station;
    m_runId = QUuid();
    Error error = holdName();
    if (error.isError())
        return error;
    QSqlQuery query(m_db);
    // The first station to start on an empty database sets the range; one
    // starting beside it waits for that and then compares.
    if ((error = begin()).isError()
        || !run(query, "INSERT INTO talvex_range (pattern, next_number) VALUES (?, ?) ON CONFLICT DO NOTHING",
            {range.pattern(), range.first()}, &error)
        || !run(query, "SELECT pattern, next_number FROM talvex_range", {}, &error))
        return error;
    query.next();
    const QString held = query.value(0).toString();
    const qint64 next = query.value(1).toLongLong();
    if ((error = commit()).isError())
        return error;
    if (held != range.pattern())
        return {Error::Kind::RangeDiffers, QStringLiteral("the line's range is %1").arg(held), QString()};
    m_range = range;
    m_runId = QUuid::createUuid();
    m_left = qMax<qint64>(0, range.last() - next + 1);
    return {};
}

LineDatabase::Error LineDatabase::burnLeftovers(QStringList *burnt)
{
    if (m_runId.isNull())
        return {Error::Kind::NotStarted, QString(), QString()};
    QSqlQuery query(m_db);
    Error error = begin();
    if (error.isError()
        || !run(query,
            "UPDATE talvex_serial SET state = 'burnt', changed = now()"
            " WHERE state = 'reserved' AND station = ? AND run_id <> ?::uuid RETURNING serial",
            {m_station, m_runId.toString()}, &error))
        return error;
    QStringList burntNow;
    while (query.next())
        burntNow << query.value(0).toString();
    if ((error = commit()).isError())
        return error;
    *burnt = burntNow;
    return {};
}

LineDatabase::Error LineDatabase::reserve(QString *serial)
{
    if (m_runId.isNull())
        return {Error::Kind::NotStarted, QString(), QString()};
    QSqlQuery query(m_db);
    Error error = begin();
    if (error.isError())
        return error;
    // The range row's update holds every other station's reserve until this one ends.
    for (;;) {
        if (!run(query,
                "UPDATE talvex_range SET next_number = next_number + 1"
                " WHERE pattern = ? AND next_number <= ? RETURNING next_number - 1",
                {m_range.pattern(), m_range.last()}, &error))
            return error;
        if (!query.next()) {
            m_db.rollback();
            m_left = 0;
            return {Error::Kind::RangeUsedUp, QString(), QString()};
        }
        const qint64 number = query.value(0).toLongLong();
        m_left = m_range.last() - number;
        const QString candidate = m_range.serial(number);
        // A serial already seen on a device is passed over.
        if (!run(query,
                "INSERT INTO talvex_serial (serial, state, station, run_id) VALUES (?, 'reserved', ?, "
                "?::uuid)"
                " ON CONFLICT (serial) DO NOTHING RETURNING serial",
                {candidate, m_station, m_runId.toString()}, &error))
            return error;
        if (query.next()) {
            if ((error = commit()).isError())
                return error;
            *serial = candidate;
            return {};
        }
    }
}

LineDatabase::Error LineDatabase::settle(const QUuid &runId, const QString &unitKey, const QString &serial,
    Outcome outcome, const QJsonObject &recordLine)
{
    if (m_runId.isNull())
        return {Error::Kind::NotStarted, QString(), QString()};
    QSqlQuery query(m_db);
    Error error = begin();
    if (error.isError()
        || !run(query,
            "INSERT INTO talvex_record (run_id, unit_key, station, time, result, reason, serial, usb_serial,"
            " board, firmware, sha256, line)"
            " VALUES (?::uuid, ?, ?, coalesce(?::timestamptz, now()), ?, ?, ?, ?, ?, ?, ?, ?::jsonb)"
            " ON CONFLICT (run_id, unit_key) DO NOTHING RETURNING unit_key",
            {runId.toString(), unitKey, m_station, fieldOf(recordLine, "time"),
                recordLine.value(QLatin1String("result")).toString(), fieldOf(recordLine, "reason"),
                serial.isEmpty() ? QVariant() : QVariant(serial), fieldOf(recordLine, "usb_serial"),
                fieldOf(recordLine, "board"), fieldOf(recordLine, "firmware_after"),
                fieldOf(recordLine, "sha256"),
                QString::fromUtf8(QJsonDocument(recordLine).toJson(QJsonDocument::Compact))},
            &error))
        return error;
    // Recorded already: this settle was sent before and counted then.
    if (!query.next()) {
        m_db.rollback();
        return {};
    }
    bool settled = true;
    switch (outcome) {
    case Outcome::NoSerial:
        break;
    case Outcome::Given:
        settled = run(query,
            "UPDATE talvex_serial SET state = 'given', changed = now()"
            " WHERE serial = ? AND state IN ('reserved', 'burnt') AND run_id = ?::uuid",
            {serial, runId.toString()}, &error);
        break;
    case Outcome::Burnt:
        settled = run(query,
            "UPDATE talvex_serial SET state = 'burnt', changed = now()"
            " WHERE serial = ? AND state = 'reserved' AND run_id = ?::uuid",
            {serial, runId.toString()}, &error);
        break;
    case Outcome::Kept:
        settled = run(query,
            "INSERT INTO talvex_serial (serial, state, station, run_id) VALUES (?, 'kept', ?, ?::uuid)"
            " ON CONFLICT (serial) DO NOTHING",
            {serial, m_station, runId.toString()}, &error);
        break;
    }
    return settled ? commit() : error;
}

LineDatabase::Error LineDatabase::claim(const QString &serial, const QString &holder, bool *keeps)
{
    if (m_runId.isNull())
        return {Error::Kind::NotStarted, QString(), QString()};
    QSqlQuery query(m_db);
    Error error = begin();
    if (error.isError()
        || !run(query,
            "SELECT NOT EXISTS (SELECT 1 FROM talvex_serial WHERE serial = ?)"
            " OR EXISTS (SELECT 1 FROM talvex_record WHERE serial = ? AND usb_serial = ?)",
            {serial, serial, holder}, &error))
        return error;
    query.next();
    *keeps = query.value(0).toBool();
    return commit();
}

LineDatabase::Error LineDatabase::check()
{
    QSqlQuery query(m_db);
    Error error = begin();
    if (error.isError() || !run(query, "SELECT 1", {}, &error))
        return error;
    return commit();
}

LineDatabase::Error LineDatabase::openReservations(QVector<Reservation> *reservations)
{
    QSqlQuery query(m_db);
    Error error = begin();
    if (error.isError()
        || !run(query,
            "SELECT serial, station, run_id, changed FROM talvex_serial"
            " WHERE state = 'reserved' AND NOT talvex_station_running(station) ORDER BY changed, serial",
            {}, &error))
        return error;
    reservations->clear();
    while (query.next())
        reservations->append({query.value(0).toString(), query.value(1).toString(),
            QUuid(query.value(2).toString()), query.value(3).toDateTime()});
    return commit();
}

LineDatabase::Error LineDatabase::burn(const QStringList &serials, QStringList *done)
{
    QSqlQuery query(m_db);
    Error error = begin();
    if (error.isError())
        return error;
    QStringList burnt;
    for (const QString &serial : serials) {
        if (!run(query,
                "UPDATE talvex_serial SET state = 'burnt', changed = now()"
                " WHERE serial = ? AND state = 'reserved' AND NOT talvex_station_running(station)"
                " RETURNING serial",
                {serial}, &error))
            return error;
        if (query.next())
            burnt << serial;
    }
    if ((error = commit()).isError())
        return error;
    *done = burnt;
    return {};
}

LineDatabase::Error LineDatabase::report(const QDateTime &since, const QString &station, Report *report)
{
    const QVariant from = utcText(since);
    const QVariant who = station.isEmpty() ? QVariant() : QVariant(station);
    // Every figure from one snapshot.
    QSqlQuery query(m_db);
    Error error = begin();
    if (error.isError() || !run(query, "SET TRANSACTION ISOLATION LEVEL REPEATABLE READ", {}, &error)
        || !run(query,
            "SELECT station, count(*), count(*) FILTER (WHERE result <> 'aborted'),"
            " extract(epoch FROM max(time) - min(time)) FROM talvex_record"
            " WHERE (?::timestamptz IS NULL OR time >= ?::timestamptz) AND (?::text IS NULL OR station = "
            "?::text)"
            " GROUP BY ROLLUP (station) ORDER BY station NULLS LAST",
            {from, from, who, who}, &error))
        return error;
    *report = Report();
    while (query.next()) {
        const double seconds = query.value(3).toDouble();
        const Report::Units units {query.value(0).toString(), query.value(1).toLongLong(),
            seconds > 0 ? query.value(2).toDouble() * 3600 / seconds : 0};
        if (query.value(0).isNull())
            report->all = units;
        else
            report->stations.append(units);
    }
    if (!run(query,
            "SELECT result, coalesce(reason, ''), count(*) FROM talvex_record"
            " WHERE (?::timestamptz IS NULL OR time >= ?::timestamptz) AND (?::text IS NULL OR station = "
            "?::text)"
            " GROUP BY 1, 2 ORDER BY 3 DESC, 1, 2",
            {from, from, who, who}, &error))
        return error;
    while (query.next())
        report->results.append(
            {query.value(0).toString(), query.value(1).toString(), query.value(2).toLongLong()});
    if (!run(query,
            "SELECT count(*) FILTER (WHERE state = 'given'), count(*) FILTER (WHERE state = 'burnt'),"
            " count(*) FILTER (WHERE state = 'reserved'), count(*) FILTER (WHERE state = 'kept')"
            " FROM talvex_serial"
            " WHERE (?::timestamptz IS NULL OR changed >= ?::timestamptz) AND (?::text IS NULL OR station = "
            "?::text)",
            {from, from, who, who}, &error))
        return error;
    query.next();
    report->given = query.value(0).toLongLong();
    report->burnt = query.value(1).toLongLong();
    report->reserved = query.value(2).toLongLong();
    report->kept = query.value(3).toLongLong();
    return commit();
}

LineDatabase::Error LineDatabase::begin()
{
    Error error;
    if (!m_db.isOpen() && !reconnect(&error))
        return error;
    if (m_db.transaction())
        return {};
    if (m_db.isOpen())
        return failure(m_db.lastError());
    // The connection was found gone before anything was asked of it: once more on a new one.
    if (!reconnect(&error))
        return error;
    if (m_db.transaction())
        return {};
    return failure(m_db.lastError());
}

bool LineDatabase::reconnect(Error *error)
{
    if (!openConnection(error))
        return false;
    // The name went with the old session; a run goes on only while nobody else took it.
    if (!m_runId.isNull())
        *error = holdNameAgain();
    return !error->isError();
}

bool LineDatabase::run(QSqlQuery &query, const char *statement, const QVariantList &values, Error *error)
{
    query = QSqlQuery(m_db);
    // A statement without values is this program's own text, sent as it is
    // (the server prepares no SET).
    if (values.isEmpty()) {
        if (query.exec(QLatin1String(statement)))
            return true;
    } else if (query.prepare(QLatin1String(statement))) {
        for (const QVariant &value : values)
            query.addBindValue(value);
        if (query.exec())
            return true;
    }
    *error = failure(query.lastError());
    if (m_db.isOpen())
        m_db.rollback();
    return false;
}

LineDatabase::Error LineDatabase::commit()
{
    if (m_db.commit())
        return {};
    return failure(m_db.lastError());
}

LineDatabase::Error LineDatabase::failure(const QSqlError &sqlError) const
{
    return {m_db.isOpen() ? Error::Kind::Refused : Error::Kind::Lost, sqlError.databaseText().trimmed(),
        sqlError.driverText()};
}

QString LineDatabase::errorText(const Error &error)
{
    QString what;
    switch (error.kind) {
    case Error::Kind::None:
        return QString();
    case Error::Kind::BadAddress:
        what = QStringLiteral("the database address cannot be read");
        break;
    case Error::Kind::Unreachable:
        what = QStringLiteral("the database cannot be reached");
        break;
    case Error::Kind::AuthenticationFailed:
        what = QStringLiteral("the database refused the user or its password");
        break;
    case Error::Kind::SchemaTooNew:
        what = QStringLiteral(
            "the database was set up by a newer version of this program (it knows version %1)")
                   .arg(schemaVersion);
        break;
    case Error::Kind::NoRightToCreate:
        what = QStringLiteral("the database has no tables yet and this user may not make them;"
                              " connect once as the line's owner");
        break;
    case Error::Kind::NameInUse:
        what = QStringLiteral("a station runs under this name already");
        break;
    case Error::Kind::RangeDiffers:
        what = QStringLiteral("the database holds another serial range");
        break;
    case Error::Kind::RangeUsedUp:
        what = QStringLiteral("every serial of the range has been handed out");
        break;
    case Error::Kind::NotStarted:
        what = QStringLiteral("no station run was started");
        break;
    case Error::Kind::Lost:
        what = QStringLiteral("the connection to the database was lost before the change was confirmed");
        break;
    case Error::Kind::Refused:
        what = QStringLiteral("the database refused the change");
        break;
    }
    const QString reason = error.databaseText.isEmpty() ? error.driverText : error.databaseText;
    return reason.isEmpty() ? what
                            : what + QStringLiteral(": ")
            + QString(reason).replace(QLatin1Char('\n'), QLatin1Char(' ')).simplified();
}
