#pragma once

// A throw-away PostgreSQL 15 server for the tests: its own cluster in a
// temporary folder, run as an unprivileged user when the tests run as root
// (PostgreSQL refuses root), reached through a socket in that folder and on
// 127.0.0.1 at a free port, with password logins. Stopped and removed when
// the object goes, also when a test failed. Main thread.

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class PgServer
{
public:
    static constexpr char superuser[] = "talvex_admin";

    ~PgServer();

    // Makes the cluster and starts the server; false with problem() when
    // PostgreSQL 15 is missing or does not start.
    bool start();
    // Stops the server at once, ending every session, and starts it again
    // on the same socket.
    bool restart();
    // Stops the server at once, ending every session; resume() starts it
    // again on the same socket.
    void pause() { stop(); }
    bool resume() { return run(false); }
    // Stops every process of the server (SIGSTOP) or lets them go on: a
    // server that stopped answering, whose system still takes connections.
    bool hang(bool hung);
    const QString &problem() const { return m_problem; }
    // Makes path the server's own, as a tablespace's folder must be.
    bool giveToServer(const QString &path);

    // The password file naming password for user (PGPASSFILE).
    void setPassword(const QString &user, const QString &password);
    // A key=value address of database on the socket, as user.
    QString address(const QString &database, const QString &user = QLatin1String(superuser)) const;
    // Runs psql on database as user with arguments; false with problem() when it fails.
    bool psql(const QString &database, const QStringList &arguments,
        const QString &user = QLatin1String(superuser));

private:
    bool run(bool tcp);
    bool control(const QStringList &arguments);
    void stop();
    QStringList asServerUser(const QString &program, const QStringList &arguments) const;

    QTemporaryDir m_folder;
    bool m_running = false;
    bool m_hung = false;
    int m_port = 0;
    QString m_passwords;
    QString m_problem;
};
