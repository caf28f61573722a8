#include "stationline.h"

#include <QJsonDocument>

namespace {

const char *outcomeKey(LineDatabase::Outcome outcome)
{
    switch (outcome) {
    case LineDatabase::Outcome::NoSerial:
        break;
    case LineDatabase::Outcome::Given:
        return "given";
    case LineDatabase::Outcome::Burnt:
        return "burnt";
    case LineDatabase::Outcome::Kept:
        return "kept";
    }
    return "none";
}

bool outcomeOf(const QString &key, LineDatabase::Outcome *outcome)
{
    for (LineDatabase::Outcome each : {LineDatabase::Outcome::NoSerial, LineDatabase::Outcome::Given,
             LineDatabase::Outcome::Burnt, LineDatabase::Outcome::Kept}) {
        if (key == QLatin1String(outcomeKey(each))) {
            *outcome = each;
            return true;
        }
    }
    return false;
}

} // namespace

StationLine::StationLine(QObject *parent)
    : QObject(parent)
{
    m_lookAgain.setSingleShot(true);
    m_lookAgain.setInterval(lookAgainMs);
    connect(&m_lookAgain, &QTimer::timeout, this, &StationLine::lookAgain);
}

bool StationLine::open(const LineAddress &address, const QString &station, const SerialRange &range,
    const QString &queueFile, QString *error, QStringList *burnt)
{
    m_queueFile = queueFile;
    if (!readQueue(error))
        return false;
    LineDatabase::Error failed = m_db.open(address);
    if (!failed.isError())
        failed = m_db.start(station, range);
    // A serial an earlier run gave just before it ended is given, not
    // burnt: its settle, kept here, goes first.
    if (!failed.isError() && !sendWaiting())
        failed = m_lastError;
    if (!failed.isError())
        failed = m_db.burnLeftovers(burnt);
    if (failed.isError()) {
        *error = QStringLiteral("line database %1: %2")
                     .arg(address.displayText(), LineDatabase::errorText(failed));
        return false;
    }
    return true;
}

bool StationLine::readQueue(QString *error)
{
    QString reason;
    switch (m_queue.open(m_queueFile, &reason)) {
    case DurableLog::OpenResult::Opened:
        break;
    case DurableLog::OpenResult::HeldElsewhere:
        *error = QStringLiteral("%1: another station is using it").arg(m_queueFile);
        return false;
    case DurableLog::OpenResult::Failed:
        *error = QStringLiteral("%1: %2").arg(m_queueFile, reason);
        return false;
    }
    DurableFile::Status status;
    if (!m_queue.status(&status, &reason)) {
        *error = QStringLiteral("%1: %2").arg(m_queueFile, reason);
        return false;
    }
    if (status.kind != DurableFile::Status::Kind::Regular || status.links > 1) {
        *error = QStringLiteral("%1: not a regular file of one name, so it cannot keep the line's settles")
                     .arg(m_queueFile);
        return false;
    }
    const qint64 size = m_queue.size(&reason);
    QByteArray data(int(qMax<qint64>(size, 0)), '\0');
    if (size < 0 || !m_queue.read(0, data.data(), size)) {
        *error = QStringLiteral("%1: cannot be read: %2").arg(m_queueFile, reason);
        return false;
    }
    // A settle torn by a crash was never confirmed to its unit: its unit's
    // record line says what became of it, and its serial stays reserved
    // (burnt at this start).
    const int whole = data.lastIndexOf('\n') + 1;
    if (whole < data.size() && !m_queue.cut(whole, &reason)) {
        *error = QStringLiteral("%1: %2").arg(m_queueFile, reason);
        return false;
    }
    int number = 0;
    for (const QByteArray &text : data.left(whole).split('\n')) {
        ++number;
        if (text.isEmpty())
            continue;
        const QJsonObject entry = QJsonDocument::fromJson(text).object();
        Pending pending {entry.value(QLatin1String("unit")).toString(),
            QUuid(entry.value(QLatin1String("run_id")).toString()), entry.value(QLatin1String("serial")).toString(),
            LineDatabase::Outcome::NoSerial, entry.value(QLatin1String("line")).toObject()};
        if (pending.unitKey.isEmpty() || pending.runId.isNull() || pending.line.isEmpty()
            || !outcomeOf(entry.value(QLatin1String("outcome")).toString(), &pending.outcome)) {
            *error = QStringLiteral("%1: line %2 is damaged; the settles it keeps were never sent to the line")
                         .arg(m_queueFile)
                         .arg(number);
            return false;
        }
        m_waiting.append(pending);
        m_lastKeptAtOpen = pending.line;
    }
    return true;
}

QString StationLine::reserve(QString *reason)
{
    if (!isReachable()) {
        *reason = QStringLiteral("line database unreachable: %1").arg(m_unreachable);
        return QString();
    }
    QString serial;
    const LineDatabase::Error error = m_db.reserve(&serial);
    if (error.kind == LineDatabase::Error::Kind::RangeUsedUp) {
        *reason = LineDatabase::errorText(error);
        return QString();
    }
    if (error.isError()) {
        lost(error);
        *reason = QStringLiteral("line database unreachable: %1").arg(m_unreachable);
        return QString();
    }
    return serial;
}

StationLine::Claim StationLine::claim(const QString &serial, const QString &holder, QString *reason)
{
    bool keeps = false;
    const LineDatabase::Error error = isReachable() ? m_db.claim(serial, holder, &keeps)
                                                    : LineDatabase::Error {};
    if (error.isError())
        lost(error);
    if (!isReachable()) {
        *reason = QStringLiteral("line database unreachable: %1").arg(m_unreachable);
        return Claim::Unreachable;
    }
    if (keeps)
        return Claim::Kept;
    *reason = QStringLiteral("its serial %1 belongs to another unit of the line").arg(serial);
    return Claim::Taken;
}

bool StationLine::keep(const QString &unitKey, const QString &serial, LineDatabase::Outcome outcome,
    const QJsonObject &recordLine, QString *error)
{
    const Pending pending {unitKey, m_db.runId(), serial, outcome, recordLine};
    const QJsonObject entry {{QStringLiteral("run_id"), pending.runId.toString(QUuid::WithoutBraces)},
        {QStringLiteral("unit"), unitKey}, {QStringLiteral("serial"), serial},
        {QStringLiteral("outcome"), QLatin1String(outcomeKey(outcome))}, {QStringLiteral("line"), recordLine}};
    QString reason;
    if (!m_queue.append(QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n', &reason)) {
        *error = QStringLiteral("%1: %2").arg(m_queueFile, reason);
        return false;
    }
    m_waiting.append(pending);
    return true;
}

void StationLine::send()
{
    if (isReachable())
        sendWaiting();
}

bool StationLine::totals(LineDatabase::Report *report)
{
    if (!isReachable())
        return false;
    const LineDatabase::Error error = m_db.report(QDateTime(), QString(), report);
    if (error.isError())
        lost(error);
    return !error.isError();
}

bool StationLine::sendWaiting()
{
    while (!m_waiting.isEmpty()) {
        const Pending &next = m_waiting.first();
        const LineDatabase::Error error
            = m_db.settle(next.runId, next.unitKey, next.serial, next.outcome, next.line);
        if (error.isError()) {
            lost(error);
            return false;
        }
        m_waiting.removeFirst();
    }
    // Every settle in the file is confirmed. Should the cut fail, they are
    // sent once more at the next start, and count once.
    QString ignored;
    m_queue.cut(0, &ignored);
    return true;
}

void StationLine::lost(const LineDatabase::Error &error)
{
    const bool wasReachable = isReachable();
    m_lastError = error;
    m_unreachable = LineDatabase::errorText(error);
    m_lookAgain.start();
    if (wasReachable)
        emit unreachable(m_unreachable);
}

void StationLine::lookAgain()
{
    if (isReachable())
        return;
    if (m_waiting.isEmpty()) {
        const LineDatabase::Error error = m_db.check();
        if (error.isError()) {
            lost(error);
            return;
        }
    } else if (!sendWaiting()) {
        return;
    }
    m_unreachable.clear();
    emit reachable();
}
