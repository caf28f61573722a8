// SIGTERM, SIGINT and SIGHUP end the program through its usual shutdown: in
// this process through TerminationSignals, and in the real program, which must
// then exit with 0 instead of dying from the signal, also while start-up shows
// a box. --help and an unknown option end the real program before any window.

#include "app/terminationsignals.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <signal.h>

namespace {

// Whether process pid has a handler of its own installed for signalNumber,
// as the kernel reports it in /proc/PID/status.
bool catchesSignal(qint64 pid, int signalNumber)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QFile::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signalNumber - 1)) & 1;
    }
    return false;
}

} // namespace

class TestTerminationSignals : public QObject
{
    Q_OBJECT

private slots:
    void signalBecomesARequestOnTheMainThread_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addRow("SIGTERM from the session") << int(SIGTERM);
        QTest::addRow("SIGINT from Ctrl-C") << int(SIGINT);
        QTest::addRow("SIGHUP from a closed terminal") << int(SIGHUP);
    }

    void signalBecomesARequestOnTheMainThread()
    {
        QFETCH(int, signalNumber);
        struct sigaction before = {};
        QCOMPARE(::sigaction(signalNumber, nullptr, &before), 0);
        {
            TerminationSignals watcher;
            QSignalSpy requested(&watcher, &TerminationSignals::terminationRequested);
            QVERIFY(requested.isValid());
            QCOMPARE(::raise(signalNumber), 0);
            QTRY_COMPARE_WITH_TIMEOUT(requested.size(), 1, 10000);
            QCOMPARE(requested.first().first().toInt(), signalNumber);

            // A second signal is a second request, not lost behind the first.
            QCOMPARE(::raise(signalNumber), 0);
            QTRY_COMPARE_WITH_TIMEOUT(requested.size(), 2, 10000);
        }
        struct sigaction after = {};
        QCOMPARE(::sigaction(signalNumber, nullptr, &after), 0);
        QVERIFY(after.sa_handler == before.sa_handler);
    }

    // Each row ends the real program: by SIGTERM once its handler is in place,
    // or, when the row names what it prints, by its command line alone.
    void programEndsCleanly_data()
    {
        QTest::addColumn<QString>("simulator");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("printed"); // on stdout, or on stderr when refused
        // No real devices: one simulated device, so shutdown has handles to release.
        QTest::addRow("SIGTERM, window open") << "devices=1" << QStringList() << 0 << QByteArray();
        // The signal must reach the program before its main loop runs too.
        QTest::addRow("SIGTERM, start-up's box about TALVEX_SIMULATOR open")
            << "bogus=1" << QStringList() << 2 << QByteArray();
        QTest::addRow("SIGTERM, box about the file named at start-up open")
            << "devices=1" << QStringList({m_home.filePath(QStringLiteral("missing.tvf"))}) << 0
            << QByteArray();
        QTest::addRow("--help answered without a window")
            << "devices=1" << QStringList({"--help"}) << 0 << QByteArray("usage: talvex-updater ");
        QTest::addRow("unknown option refused, not loaded as a file")
            << "devices=1" << QStringList({"--bogus"}) << 2 << QByteArray("unknown option \"--bogus\"");
    }

    void programEndsCleanly()
    {
        QFETCH(QString, simulator);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, printed);
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // --help on no such platform: making the application object would end the program abnormally.
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"),
            exitCode == 0 && !printed.isEmpty() ? QStringLiteral("none-such") : QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("TALVEX_SIMULATOR"), simulator);
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.path());
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(TALVEX_UPDATER_PATH), arguments);
        QVERIFY2(program.waitForStarted(30000), qPrintable(program.errorString()));
        if (printed.isEmpty()) {
            // Its handler is in place once the kernel says the process catches SIGTERM.
            QTRY_VERIFY_WITH_TIMEOUT(
                catchesSignal(program.processId(), SIGTERM) || program.state() == QProcess::NotRunning,
                60000);
            QCOMPARE(program.state(), QProcess::Running);
            QCOMPARE(::kill(pid_t(program.processId()), SIGTERM), 0);
        }
        QVERIFY(program.waitForFinished(60000)); // a window would keep it running
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), exitCode);
        QVERIFY((exitCode == 0 ? program.readAllStandardOutput() : program.readAllStandardError())
                    .contains(printed));
    }

private:
    QTemporaryDir m_home;
};

QTEST_GUILESS_MAIN(TestTerminationSignals)
#include "tst_terminationsignals.moc"
