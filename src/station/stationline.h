#pragma once

// A station's side of the line database: its serials come from the line's
// range, and each unit's settle goes with its record line into the line's
// record. A settle is first appended to a local file (the record's name
// with ".line-queue"), synced, and only then sent, so that a unit whose
// settle could not reach the database is not lost: the file keeps it until
// the database confirmed it, and a station started again sends what its
// last run left there. While the database cannot be reached the line is
// unreachable: the station takes no unit that needs a serial, looks again
// every few seconds, and sends what waits once it answers. Main thread;
// each call to the database waits for its answer (libpq's connect_timeout
// bounds a connection to a host that does not answer).

#include "durablefile.h"
#include "linedatabase.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

class StationLine : public QObject
{
    Q_OBJECT

public:
    // What a serial of the range that a device already has means for it.
    enum class Claim {
        Kept,
        // Another device has it: the unit fails with the reason.
        Taken,
        // The database did not answer: the unit fails with the reason.
        Unreachable,
    };

    // How often the station looks for an unreachable database.
    static constexpr int lookAgainMs = 2000;

    explicit StationLine(QObject *parent = nullptr);

    // Connects to address, starts the run of station on range (serials left
    // reserved by this name's earlier runs are burnt; burnt lists them) and
    // sends what waits in queueFile from an earlier run. False with the
    // reason when the station cannot start on this line.
    bool open(const LineAddress &address, const QString &station, const SerialRange &range,
        const QString &queueFile, QString *error, QStringList *burnt);

    bool isReachable() const { return m_unreachable.isEmpty(); }
    // libpq's reason while the database is unreachable.
    const QString &unreachableReason() const { return m_unreachable; }
    qint64 left() const { return m_db.left(); }
    // Settles kept in the local file until the database confirms them.
    int waiting() const { return int(m_waiting.size()); }

    // The next serial of the line's range, reserved for this run; empty
    // with the reason when none is left or the database did not answer.
    QString reserve(QString *reason);
    Claim claim(const QString &serial, const QString &holder, QString *reason);
    // Keeps the unit's settle in the local file, to be sent by send().
    // False with error when the file could not keep it.
    bool keep(const QString &unitKey, const QString &serial, LineDatabase::Outcome outcome,
        const QJsonObject &recordLine, QString *error);
    // Sends what waits, unless the line is unreachable (then it goes once
    // the database answers); a failure makes the line unreachable.
    void send();
    // The record line of the last settle the local file held at open(): a
    // crash may have come between keeping it and writing it to the record.
    const QJsonObject &lastKeptAtOpen() const { return m_lastKeptAtOpen; }
    // The line's figures (every station); false while unreachable.
    bool totals(LineDatabase::Report *report);

signals:
    // "line database unreachable" follows in each front end, with reason.
    void unreachable(const QString &reason);
    // The database answers again, and what waited has been sent.
    void reachable();

private:
    struct Pending
    {
        QString unitKey;
        QUuid runId;
        QString serial;
        LineDatabase::Outcome outcome = LineDatabase::Outcome::NoSerial;
        QJsonObject line;
    };

    bool readQueue(QString *error);
    // Sends what waits, oldest first; stops at the first failure.
    bool sendWaiting();
    void lost(const LineDatabase::Error &error);
    void lookAgain();

    LineDatabase m_db;
    QString m_queueFile;
    DurableLog m_queue;
    QVector<Pending> m_waiting;
    QTimer m_lookAgain;
    QString m_unreachable;
    LineDatabase::Error m_lastError;
    QJsonObject m_lastKeptAtOpen;
};
