#pragma once

// A station's side of the line database: its serials come from the line's
// range, and each unit's settle goes with its record line into the line's
// record. A settle is first appended to a local file (the record's name
// with ".line-queue"), synced, and only then sent, so that a unit whose
// settle could not reach the database is not lost: the file keeps it until
// the database confirmed it, and a station started again sends what its
// last run left there. While the database cannot be reached the line is
// unreachable: the station takes no unit that needs a serial, looks again
// every few seconds, and sends what waits once it answers.
//
// The database is reached from a thread of the line's own, so that a
// database that is slow or does not answer never holds up the station's
// thread (its window, its devices): reservations and claims are answered
// through a callback, settles are sent behind the station's back. Only
// open() waits for the database. Created and used on one thread.

#include "durablefile.h"
#include "linedatabase.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUuid>

#include <functional>
#include <memory>

class LineWorker;
class QThread;
struct LineLink;

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
    // Called on this object's thread, at once or later; never once the line is gone.
    using ReserveAnswer = std::function<void(const QString &serial, const QString &reason)>;
    using ClaimAnswer = std::function<void(Claim claim, const QString &reason)>;

    // How often the station looks for an unreachable database.
    static constexpr int lookAgainMs = 2000;
    // How long open() waits for a database that accepts connections but does not answer.
    static constexpr int openWaitMs = 60000;
    // How long the line's end waits for a call to the database under way.
    static constexpr int endWaitMs = 3000;

    explicit StationLine(QObject *parent = nullptr);
    // Lets go of the station's name on the line. A call that a database
    // which stopped answering holds longer than endWaitMs is left behind,
    // as a crash would leave it: the next start burns what it reserved.
    ~StationLine() override;

    // Connects to address, starts the run of station on range (serials left
    // reserved by this name's earlier runs are burnt; burnt lists them) and
    // sends what waits in queueFile from an earlier run. False with the
    // reason when the station cannot start on this line.
    bool open(const LineAddress &address, const QString &station, const SerialRange &range,
        const QString &queueFile, QString *error, QStringList *burnt);

    bool isReachable() const { return m_unreachable.isEmpty(); }
    // libpq's reason while the database is unreachable.
    const QString &unreachableReason() const { return m_unreachable; }
    // Serials of the range left, as of the last reservation.
    qint64 left() const { return m_left; }
    // Settles kept in the local file until the database confirms them.
    int waiting() const { return m_unconfirmed; }
    // Whether nothing is being sent: every settle was confirmed, or the
    // line is unreachable and they wait in the local file.
    bool isSettled() const { return m_unconfirmed == 0 || !isReachable(); }

    // The next serial of the line's range, reserved for this run; empty
    // with the reason when none is left or the database did not answer.
    // A serial the database reserves after the line is gone stays reserved
    // until the station's next start burns it.
    void reserve(const ReserveAnswer &answer);
    void claim(const QString &serial, const QString &holder, const ClaimAnswer &answer);
    // Keeps the unit's settle in the local file and sends it. False with
    // error when the file could not keep it.
    bool keep(const QString &unitKey, const QString &serial, LineDatabase::Outcome outcome,
        const QJsonObject &recordLine, QString *error);
    // The record line of the last settle the local file held at open(): a
    // crash may have come between keeping it and writing it to the record.
    const QJsonObject &lastKeptAtOpen() const { return m_lastKeptAtOpen; }
    // The line's figures (every station) as last read, and asks for newer
    // ones; false while unreachable or before the first have come.
    bool totals(LineDatabase::Report *report);

    // A settle waiting to be confirmed by the database.
    struct Pending
    {
        QString unitKey;
        QUuid runId;
        QString serial;
        LineDatabase::Outcome outcome = LineDatabase::Outcome::NoSerial;
        QJsonObject line;
    };

signals:
    // "line database unreachable" follows in each front end, with reason.
    void unreachable(const QString &reason);
    // The database answers again, and what waited has been sent.
    void reachable();
    // The database confirmed every settle kept so far.
    void settled();

private:
    friend class LineWorker;

    bool readQueue(QVector<Pending> *waiting, QString *error);
    void lost(const QString &reason);
    void found();
    void confirmed();
    QString unreachableText() const;

    std::shared_ptr<LineLink> m_link;
    QThread *m_thread = nullptr;
    LineWorker *m_worker = nullptr;
    QString m_queueFile;
    DurableLog m_queue;
    QUuid m_runId;
    int m_unconfirmed = 0;
    qint64 m_left = 0;
    QString m_unreachable;
    QJsonObject m_lastKeptAtOpen;
    LineDatabase::Report m_totals;
    bool m_haveTotals = false;
    bool m_totalsAsked = false;
};
