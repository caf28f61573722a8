#include "station.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>

#ifdef Q_OS_UNIX
#include <signal.h>
#endif

Station::Station(QObject *parent)
    : QObject(parent)
    , m_program(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("talvex-cli")))
{
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &Station::readEvents);
    connect(&m_process, &QProcess::readyReadStandardError, this, [this] {
        for (const QByteArray &line : m_process.readAllStandardError().trimmed().split('\n'))
            emit message(QString::fromUtf8(line));
    });
    connect(&m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
        [this](int exitCode, QProcess::ExitStatus status) {
            readEvents();
            emit stopped(status == QProcess::NormalExit ? exitCode : -1);
        });
    connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            emit message(tr("The station could not be started: %1").arg(m_process.errorString()));
            emit stopped(-1);
        }
    });
}

Station::~Station()
{
    if (isRunning()) {
        // Units in progress are aborted and recorded before the station goes.
        abort();
        m_process.waitForFinished(-1);
    }
}

double Station::unitsPerHour() const
{
    const qint64 elapsed = m_clock.isValid() ? m_clock.elapsed() : 0;
    return elapsed > 0 ? (m_done + m_current + m_failed) * 3600000.0 / double(elapsed) : 0;
}

void Station::start(const Station::Options &options)
{
    if (isRunning())
        return;
    QStringList arguments {QStringLiteral("station"), QStringLiteral("--json")};
    if (!options.serials.isEmpty())
        arguments << QStringLiteral("--serials") << options.serials << QStringLiteral("--board")
                  << options.board << QStringLiteral("--state") << options.stateFile;
    if (!options.recordFile.isEmpty())
        arguments << QStringLiteral("--record") << options.recordFile;
    if (!options.name.isEmpty())
        arguments << QStringLiteral("--name") << options.name;
    if (options.maxUnits > 0)
        arguments << QStringLiteral("--max-units") << QString::number(options.maxUnits);
    if (options.reflashCurrent)
        arguments << QStringLiteral("--reflash-current");
    arguments << options.firmwareFile;
    m_portOf.clear();
    m_pending.clear();
    m_done = m_current = m_failed = m_aborted = 0;
    m_clock.start();
    emit countersChanged();
    m_process.start(m_program, arguments);
}

void Station::stop()
{
    // The station takes SIGTERM as Ctrl-C.
    if (isRunning()) {
        waitUntilStarted();
        m_process.terminate();
    }
}

void Station::abort()
{
    if (!isRunning())
        return;
    waitUntilStarted();
#ifdef Q_OS_UNIX
    // The second signal aborts: both are sent, as a second Ctrl-C would be.
    ::kill(pid_t(m_process.processId()), SIGTERM);
    ::kill(pid_t(m_process.processId()), SIGTERM);
#else
    m_process.kill();
#endif
}

void Station::waitUntilStarted()
{
    // Until the new process runs talvex-cli it is a copy of this one, with
    // this program's signal handlers: a signal then would reach the wrong one.
    if (m_process.state() == QProcess::Starting)
        m_process.waitForStarted(-1);
}

void Station::readEvents()
{
    m_pending += m_process.readAllStandardOutput();
    int end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QJsonObject event = QJsonDocument::fromJson(m_pending.left(end)).object();
        m_pending.remove(0, end + 1);
        if (!event.isEmpty())
            handle(event);
    }
}

void Station::handle(const QJsonObject &event)
{
    const QString name = event.value(QStringLiteral("event")).toString();
    const QString serial = event.value(QStringLiteral("serial")).toString();
    const QString port = event.value(QStringLiteral("port")).toString();
    if (name == QLatin1String("phase")) {
        const QString phase = event.value(QStringLiteral("phase")).toString();
        if (phase == QLatin1String("opening"))
            emit unitArrived(port);
        if (!serial.isEmpty())
            m_portOf.insert(serial, port);
        emit unitPhaseChanged(port, phase, serial);
    } else if (name == QLatin1String("progress") && m_portOf.contains(serial)) {
        emit unitProgress(m_portOf.value(serial), event.value(QStringLiteral("percent")).toInt());
    } else if (name == QLatin1String("unit")) {
        const QString result = event.value(QStringLiteral("result")).toString();
        QString detail = event.value(QStringLiteral("reason")).toString();
        if (result == QLatin1String("done") || result == QLatin1String("already current")) {
            (result == QLatin1String("done") ? m_done : m_current) += 1;
            detail = event.value(QStringLiteral("firmware_after"))
                         .toObject()
                         .value(QStringLiteral("text"))
                         .toString();
        } else {
            (result == QLatin1String("failed") ? m_failed : m_aborted) += 1;
        }
        emit unitFinished(port, result, detail, event.value(QStringLiteral("serial_after")).toString());
        emit countersChanged();
    }
}
