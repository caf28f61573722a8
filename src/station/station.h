#pragma once

// The station for a window: starts talvex-cli station beside the program,
// follows the JSON events it writes, and tells by signal what becomes of
// each unit (a device at one USB port). stop() is the first Ctrl-C (units
// in progress finish), abort() the second. Knows nothing of USB. Main
// thread.

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QProcess>
#include <QString>

class Station : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QString firmwareFile;
        // Empty: no serials are given.
        QString serials;
        QString board;
        QString recordFile;
        QString stateFile;
        QString name;
        int maxUnits = 0; // 0: all at once
        bool reflashCurrent = false;
    };

    explicit Station(QObject *parent = nullptr);
    ~Station() override;

    // The talvex-cli to run (default: the one beside this program).
    void setProgram(const QString &program) { m_program = program; }
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    int done() const { return m_done; }
    int current() const { return m_current; }
    int failed() const { return m_failed; }
    int aborted() const { return m_aborted; }
    double unitsPerHour() const;

public slots:
    void start(const Station::Options &options);
    void stop();
    void abort();

signals:
    void unitArrived(const QString &port);
    void unitPhaseChanged(const QString &port, const QString &phase, const QString &serial);
    void unitProgress(const QString &port, int percent);
    // result: "done", "already current", "failed" or "aborted"; detail is
    // the firmware it runs, or why it failed.
    void unitFinished(
        const QString &port, const QString &result, const QString &detail, const QString &serial);
    void countersChanged();
    // A line the station wrote for people (a refused option, stopping...).
    void message(const QString &text);
    void stopped(int exitCode);

private:
    void waitUntilStarted();
    void readEvents();
    void handle(const QJsonObject &event);

    QString m_program;
    QProcess m_process;
    QByteArray m_pending;
    QHash<QString, QString> m_portOf; // by serial
    QElapsedTimer m_clock;
    int m_done = 0;
    int m_current = 0;
    int m_failed = 0;
    int m_aborted = 0;
};
