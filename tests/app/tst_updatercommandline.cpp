// talvex-updater's own options, run as the program itself: --help and
// --version are answered without a window, anything else it does not know
// is refused before one opens.

#include "talvexversion.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestUpdaterCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void answers_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("platform");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        // A platform that does not exist: making the application object would abort.
        QTest::addRow("--help answered without a window")
            << QStringList({"--help"}) << "none-such" << 0 << QByteArray("usage: talvex-updater [--station]")
            << QByteArray();
        QTest::addRow("--version names the project's version")
            << QStringList({"--version"}) << "none-such" << 0 << QByteArray("talvex-updater " TALVEX_VERSION "\n")
            << QByteArray();
        QTest::addRow("unknown option refused, not taken for a file")
            << QStringList({"--bogus"}) << "offscreen" << 2 << QByteArray()
            << QByteArray("talvex-updater: unknown option \"--bogus\"\n");
        QTest::addRow("second file refused") << QStringList({"a.tvf", "b.tvf"}) << "offscreen" << 2
                                             << QByteArray() << QByteArray("one firmware file at a time, not 2");
    }

    void answers()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, platform);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
        environment.insert(QStringLiteral("TALVEX_SIMULATOR"), QStringLiteral("devices=1"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.path());
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(TALVEX_UPDATER_PATH), arguments);
        // A window that opened instead would keep it running: failed at the limit.
        const bool ended = program.waitForFinished(60000);
        if (!ended)
            program.kill();
        QVERIFY(ended);
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QTEST(program.exitCode(), "exitCode");
        const QByteArray printed = program.readAllStandardOutput();
        QVERIFY2(out.isEmpty() ? printed.isEmpty() : printed.startsWith(out), printed.constData());
        const QByteArray complained = program.readAllStandardError();
        QVERIFY2(err.isEmpty() ? complained.isEmpty() : complained.contains(err), complained.constData());
    }

private:
    QTemporaryDir m_home;
};

QTEST_GUILESS_MAIN(TestUpdaterCommandLine)
#include "tst_updatercommandline.moc"
