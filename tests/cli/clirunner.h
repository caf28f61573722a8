#pragma once

// Runs talvex-cli as a separate process, as scripts do, and collects what it
// printed and how it ended.

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

struct CliResult
{
    int exitCode = -1; // -1: did not end normally within the limit
    QByteArray out;
    QByteArray err;
};

// A TALVEX_SIMULATOR value with a state file of its own, plus the given keys.
inline QString simulatorWithState(const QString &stateFile, const QString &keys = QString())
{
    const QString state = QStringLiteral("state=") + stateFile;
    return keys.isEmpty() ? state : state + QLatin1Char(',') + keys;
}

// Starts talvex-cli with the given arguments in process, as a script would.
inline void startCli(QProcess &process, const QStringList &arguments)
{
#ifdef Q_OS_WIN
    // Without a console of its own: its output goes to the pipes anyway, and
    // under Wine the console host made for a child that is killed outlives
    // it now and then, holding the test's standard error open for good.
    process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments *start) {
        start->flags = (start->flags & ~DWORD(CREATE_NO_WINDOW)) | DETACHED_PROCESS;
    });
#endif
    process.start(QStringLiteral(TALVEX_CLI_PATH), arguments);
#ifdef Q_OS_WIN
    // Under Wine on a busy machine a start now and then fails before the
    // program runs at all; a program that cannot start fails every try.
    for (int retry = 0; retry < 2 && !process.waitForStarted() && process.error() == QProcess::FailedToStart;
         ++retry)
        process.start(QStringLiteral(TALVEX_CLI_PATH), arguments);
#endif
}

// With simulator set, the run works on simulated devices described by it;
// unset, TALVEX_SIMULATOR is removed so no test meets another's devices.
// locale is the LC_ALL the tool runs under; empty for no locale variables at all.
inline CliResult runCli(const QStringList &arguments, const QString &simulator = QString(),
    const QByteArray &input = {}, const QString &locale = QStringLiteral("C.UTF-8"))
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *variable : {"LC_ALL", "LC_CTYPE", "LANG"})
        environment.remove(QLatin1String(variable));
    if (!locale.isEmpty())
        environment.insert(QStringLiteral("LC_ALL"), locale);
    environment.remove(QStringLiteral("TALVEX_SIMULATOR"));
    if (!simulator.isNull())
        environment.insert(QStringLiteral("TALVEX_SIMULATOR"), simulator);
    process.setProcessEnvironment(environment);
    startCli(process, arguments);
    process.write(input);
    process.closeWriteChannel();
    CliResult result;
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit) {
        // Shown in the test's log, so that a crash can be told from a hang.
        qWarning("talvex-cli %s did not end normally (%s):\n%s", qPrintable(arguments.join(QLatin1Char(' '))),
            qPrintable(process.errorString()), process.readAllStandardError().constData());
        return result;
    }
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
#ifdef Q_OS_WIN
    // Text on a Windows console ends its lines with CR LF; the tests compare lines.
    result.out.replace("\r\n", "\n");
    result.err.replace("\r\n", "\n");
#endif
    return result;
}

inline bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
