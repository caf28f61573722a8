#pragma once

// The production line's shared database: one serial range and one record
// for every station of the line, in PostgreSQL through Qt's driver. Every
// change is one transaction of prepared statements, so two stations never
// take the same serial and a unit is recorded once however often its
// settle is sent. A station runs under a name that only one process holds
// at a time (a lock held by its connection, gone when the process dies).
// One connection per object; the thread that opened it. StationLine is the
// station's side of it.

#include "lineaddress.h"
#include "serialrange.h"

#include <QDateTime>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <QVariantList>
#include <QVector>

class QSqlError;
class QSqlQuery;

class LineDatabase
{
public:
    struct Error
    {
        enum class Kind {
            None,
            // The address cannot be read; databaseText says why.
            BadAddress,
            // No server answered there, or it has no such database.
            Unreachable,
            // The server refused the user or its password.
            AuthenticationFailed,
            // The tables were made by a newer version of this program.
            SchemaTooNew,
            // There are no tables yet and this user may not make them.
            NoRightToCreate,
            // A station runs under this name already.
            NameInUse,
            // The database holds another serial range.
            RangeDiffers,
            // Every serial of the range has been handed out.
            RangeUsedUp,
            // reserve() or settle() before start().
            NotStarted,
            // The connection broke during the call: a change under way was
            // rolled back, or, when it broke at the commit, may have been made.
            Lost,
            // The server refused a statement; databaseText says why.
            Refused,
        };

        Kind kind = Kind::None;
        // libpq's reason, when the server or the driver gave one.
        QString databaseText;
        QString driverText;

        bool isError() const { return kind != Kind::None; }
    };

    // What became of a unit's serial.
    enum class Outcome {
        // The unit was given no serial of the range: only its record row.
        NoSerial,
        // The unit took its reserved serial.
        Given,
        // The reserved serial's write was never confirmed: it goes unused.
        Burnt,
        // The unit already had this serial of the range and keeps it.
        Kept,
    };

    struct Reservation
    {
        QString serial;
        QString station;
        QUuid runId;
        QDateTime since;
    };

    struct Report
    {
        struct Units
        {
            // Empty: every station.
            QString station;
            qint64 units = 0;
            // Units not aborted per hour from the first unit to the last; 0 for a single moment.
            double perHour = 0;
        };
        struct Results
        {
            QString result;
            QString reason;
            qint64 units = 0;
        };

        QVector<Units> stations;
        Units all;
        QVector<Results> results;
        qint64 given = 0;
        qint64 burnt = 0;
        qint64 reserved = 0;
        qint64 kept = 0;
    };

    // The version of the tables this program makes and reads.
    static constexpr int schemaVersion = 1;

    LineDatabase();
    ~LineDatabase();
    LineDatabase(const LineDatabase &) = delete;
    LineDatabase &operator=(const LineDatabase &) = delete;

    // Connects to address and makes the tables when there are none yet.
    Error open(const LineAddress &address);
    // Starts a run (once per object) of station on range under a fresh run
    // id: refused when another process runs under that name or the
    // database holds another range.
    Error start(const QString &station, const SerialRange &range);
    // Burns the serials earlier runs of this name left reserved (they ended
    // without settling them); burnt lists them. Settles those runs left
    // waiting go first: a serial given counts as given.
    Error burnLeftovers(QStringList *burnt);
    QUuid runId() const { return m_runId; }

    // The next serial of the range that nobody has, reserved for this run.
    Error reserve(QString *serial);
    // Whether the device of USB serial holder may keep serial, a serial of
    // the range it already has: new to the line, or recorded as the same
    // device's. Nothing is written; its settle notes it.
    Error claim(const QString &serial, const QString &holder, bool *keeps);
    // Serials of the range never handed out, as last seen by start() or reserve().
    qint64 left() const { return m_left; }
    // Settles unit unitKey of run runId: its serial as outcome says, and
    // its record line, together. Sent again, it changes nothing. A serial
    // given counts as given even when it was burnt meanwhile (by its
    // station's restart or by an operator): the device has it.
    Error settle(const QUuid &runId, const QString &unitKey, const QString &serial, Outcome outcome,
        const QJsonObject &recordLine);

    // Asks the database for nothing, connecting again (and taking the run's
    // name again) when the connection was lost.
    Error check();

    // Serials still reserved by runs whose station is no longer running.
    Error openReservations(QVector<Reservation> *reservations);
    // Burns those of serials that are reserved by a station no longer
    // running; done lists them.
    Error burn(const QStringList &serials, QStringList *done);
    // Units and serials since that time (invalid: from the start), of one
    // station or (empty) of every one.
    Error report(const QDateTime &since, const QString &station, Report *report);

    // One line for a reader: what went wrong and libpq's reason.
    static QString errorText(const Error &error);

private:
    bool openConnection(Error *error);
    // Connects again after the connection was lost, taking the run's name again.
    bool reconnect(Error *error);
    Error ensureSchema();
    Error holdName();
    Error holdNameAgain();
    // Starts a transaction, connecting again first when the connection is gone.
    Error begin();
    // Prepares statement into query and runs it with values bound in order;
    // on failure rolls the transaction back and sets error.
    bool run(QSqlQuery &query, const char *statement, const QVariantList &values, Error *error);
    Error commit();
    Error failure(const QSqlError &sqlError) const;

    QString m_connectionName;
    QString m_connectionString;
    QSqlDatabase m_db;
    QString m_station;
    QUuid m_runId;
    SerialRange m_range;
    qint64 m_left = 0;
};
