#include "pgserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QVector>

#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString binaries = QStringLiteral("/usr/lib/postgresql/15/bin/");
constexpr int startMs = 120 * 1000;

// A port nobody listens on just now.
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), size) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

const passwd *serverUser()
{
    return ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
}

} // namespace

PgServer::~PgServer()
{
    stop();
}

QStringList PgServer::asServerUser(const QString &program, const QStringList &arguments) const
{
    const passwd *user = serverUser();
    if (!user)
        return QStringList {program} + arguments;
    // setpriv execs the program itself, so the process started is the server's.
    return QStringList {QStringLiteral("setpriv"), QStringLiteral("--reuid=%1").arg(user->pw_uid),
               QStringLiteral("--regid=%1").arg(user->pw_gid), QStringLiteral("--clear-groups"), program}
    + arguments;
}

bool PgServer::start()
{
    if (!QFileInfo(binaries + QLatin1String("postgres")).isExecutable()) {
        m_problem = QStringLiteral("PostgreSQL 15 is not installed (no %1postgres)").arg(binaries);
        return false;
    }
    if (!m_folder.isValid()) {
        m_problem = m_folder.errorString();
        return false;
    }
    m_passwords = m_folder.filePath(QStringLiteral("passwords"));
    const QString adminPassword = QStringLiteral("admin-password");
    QFile passwordFile(m_folder.filePath(QStringLiteral("initdb-password")));
    if (!passwordFile.open(QIODevice::WriteOnly) || passwordFile.write(adminPassword.toUtf8()) < 0)
        return false;
    passwordFile.close();
    if (const passwd *user = serverUser()) {
        for (const QString &path : {m_folder.path(), passwordFile.fileName()}) {
            if (::chown(QFile::encodeName(path).constData(), user->pw_uid, user->pw_gid) != 0) {
                m_problem = QStringLiteral("cannot give %1 to nobody").arg(path);
                return false;
            }
        }
    }
    const QStringList initdb = asServerUser(binaries + QLatin1String("initdb"),
        {QStringLiteral("-D"), m_folder.filePath(QStringLiteral("data")), QStringLiteral("-U"),
            QLatin1String(superuser), QStringLiteral("--pwfile=") + passwordFile.fileName(),
            QStringLiteral("--auth=scram-sha-256"), QStringLiteral("-E"), QStringLiteral("UTF8"),
            QStringLiteral("--no-sync")});
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(initdb.first(), initdb.mid(1));
    if (!process.waitForFinished(startMs) || process.exitCode() != 0) {
        m_problem = QStringLiteral("initdb failed: ") + QString::fromLocal8Bit(process.readAll());
        return false;
    }
    setPassword(QLatin1String(superuser), adminPassword);
    for (int attempt = 0; attempt < 5; ++attempt) {
        // Another program may take the free port before the server does.
        m_port = freePort();
        if (run(true))
            return true;
    }
    return false;
}

bool PgServer::run(bool tcp)
{
    // pg_ctl waits until the server takes connections; its log goes to a file, never a full pipe.
    return control({QStringLiteral("start"), QStringLiteral("-w"), QStringLiteral("-l"),
        m_folder.filePath(QStringLiteral("log")), QStringLiteral("-o"),
        QStringLiteral("-k %1 -p %2 -c listen_addresses=%3 -c fsync=off")
            .arg(m_folder.path())
            .arg(m_port)
            .arg(tcp ? QStringLiteral("127.0.0.1") : QStringLiteral("''"))});
}

bool PgServer::control(const QStringList &arguments)
{
    const QStringList command = asServerUser(binaries + QLatin1String("pg_ctl"),
        QStringList {QStringLiteral("-D"), m_folder.filePath(QStringLiteral("data")), QStringLiteral("-t"),
            QString::number(startMs / 1000)}
            + arguments);
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(command.first(), command.mid(1));
    if (process.waitForFinished(startMs + 10000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0) {
        m_running = arguments.first() == QLatin1String("start");
        return true;
    }
    m_problem = QStringLiteral("pg_ctl %1 failed: %2")
                    .arg(arguments.first(), QString::fromLocal8Bit(process.readAll()));
    return false;
}

bool PgServer::giveToServer(const QString &path)
{
    const passwd *user = serverUser();
    if (user && ::chown(QFile::encodeName(path).constData(), user->pw_uid, user->pw_gid) != 0) {
        m_problem = QStringLiteral("cannot give %1 to nobody").arg(path);
        return false;
    }
    return true;
}

bool PgServer::hang(bool hung)
{
    QFile pidFile(m_folder.filePath(QStringLiteral("data/postmaster.pid")));
    const pid_t postmaster = pidFile.open(QIODevice::ReadOnly) ? pidFile.readLine().trimmed().toInt() : 0;
    if (postmaster <= 0) {
        m_problem = QStringLiteral("the server is not running");
        return false;
    }
    QVector<pid_t> processes {postmaster};
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (entry.toInt() <= 0 || !stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold spaces, never ")".
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toInt() == postmaster)
            processes << entry.toInt();
    }
    for (const pid_t process : processes)
        ::kill(process, hung ? SIGSTOP : SIGCONT);
    m_hung = hung;
    return true;
}

void PgServer::stop()
{
    if (m_hung)
        hang(false);
    // Fast: the sessions still open do not hold it up.
    if (m_running)
        control({QStringLiteral("stop"), QStringLiteral("-w"), QStringLiteral("-m"), QStringLiteral("fast")});
}

bool PgServer::restart()
{
    stop();
    return run(false);
}

void PgServer::setPassword(const QString &user, const QString &password)
{
    QFile file(m_passwords);
    file.open(QIODevice::Append);
    file.write(QStringLiteral("*:*:*:%1:%2\n").arg(user, password).toUtf8());
    // libpq ignores a password file that others may read.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    qputenv("PGPASSFILE", QFile::encodeName(m_passwords));
}

QString PgServer::address(const QString &database, const QString &user) const
{
    return QStringLiteral("host=%1 port=%2 dbname=%3 user=%4")
        .arg(m_folder.path())
        .arg(m_port)
        .arg(database, user);
}

bool PgServer::psql(const QString &database, const QStringList &arguments, const QString &user)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(binaries + QLatin1String("psql"),
        QStringList {QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-d"),
            address(database, user)}
            + arguments);
    if (process.waitForFinished(startMs) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0)
        return true;
    m_problem = QStringLiteral("psql failed: ") + QString::fromLocal8Bit(process.readAll());
    return false;
}
