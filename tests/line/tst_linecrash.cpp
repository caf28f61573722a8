// The line's crash promise: four station processes on one database, with
// simulated devices arriving, killed (SIGKILL) at random moments and
// started again, and the server restarted once while they run. No serial
// is given twice, every unit in a local record is on the line and the
// other way round, and what is left reserved or burnt is listed. The seed
// is printed; TALVEX_CRASH_SEED replays one.

#include "../cli/clirunner.h"
#include "../protocol/vantorbench.h"
#include "pgserver.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <memory>

namespace {

constexpr int stations = 4;
constexpr int devicesPerRun = 10;
constexpr int kills = 10;
// A guard against a hang only: a station stopped ends within seconds.
constexpr int endsWithinMs = 120000;

QList<QJsonObject> recordLines(const QString &fileName)
{
    QFile file(fileName);
    QList<QJsonObject> lines;
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray &line : file.readAll().split('\n'))
            if (!line.isEmpty())
                lines << QJsonDocument::fromJson(line).object();
    return lines;
}

// What identifies a unit's line in the local record and on the line alike.
QString unitOf(const QJsonObject &line)
{
    return line.value(QLatin1String("station")).toString() + QLatin1Char(' ')
        + line.value(QLatin1String("usb_serial")).toString() + QLatin1Char(' ')
        + line.value(QLatin1String("time")).toString();
}

bool gaveSerial(const QJsonObject &line)
{
    const QString result = line.value(QLatin1String("result")).toString();
    return result == QLatin1String("done") || result == QLatin1String("already_current");
}

} // namespace

class TestLineCrash : public QObject
{
    Q_OBJECT

private:
    QString address() const { return m_server.address(QStringLiteral("crash")); }

    // Starts station k's next run on devices of its own that arrive one after another.
    void startStation(int k)
    {
        auto process = std::make_unique<QProcess>();
        const QString devices = QStringLiteral("G%1K%2U001").arg(++m_runs[k]).arg(k);
        QStringList arrive;
        for (int i = 0; i < devicesPerRun; ++i)
            arrive << QString::number(i * 300);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TALVEX_SIMULATOR"),
            QStringLiteral("devices=%1,serial=%2,arrive=%3,restart-ms=50")
                .arg(devicesPerRun)
                .arg(devices, arrive.join(QLatin1Char(','))));
        process->setProcessEnvironment(environment);
        process->setStandardOutputFile(m_dir.filePath(QStringLiteral("out%1.txt").arg(k)), QIODevice::Append);
        process->setStandardErrorFile(m_dir.filePath(QStringLiteral("err%1.txt").arg(k)), QIODevice::Append);
        startCli(*process,
            {QStringLiteral("station"), m_firmware, QStringLiteral("--serials"), QStringLiteral("LC{00001..99999}"),
                QStringLiteral("--board"), QStringLiteral("2.1"), QStringLiteral("--line"), address(),
                QStringLiteral("--record"), record(k), QStringLiteral("--name"), QStringLiteral("st%1").arg(k)});
        m_startsBefore[k] = startsPrinted(k);
        m_processes[k] = std::move(process);
    }

    // How many runs of station k said they started (the line "...; Ctrl-C stops").
    int startsPrinted(int k) const
    {
        QFile out(m_dir.filePath(QStringLiteral("out%1.txt").arg(k)));
        return out.open(QIODevice::ReadOnly) ? int(out.readAll().count("; Ctrl-C stops")) : 0;
    }
    bool isStarted(int k) const { return startsPrinted(k) > m_startsBefore[k]; }

    QString record(int k) const { return m_dir.filePath(QStringLiteral("record%1.jsonl").arg(k)); }

    PgServer m_server;
    QTemporaryDir m_dir;
    QString m_firmware;
    std::array<std::unique_ptr<QProcess>, stations + 1> m_processes;
    std::array<int, stations + 1> m_runs {};
    std::array<int, stations + 1> m_startsBefore {};

private slots:
    void initTestCase()
    {
        if (!m_server.start())
            QSKIP(qPrintable(m_server.problem()));
        QVERIFY(m_dir.isValid());
        QVERIFY(vantorFirmwareFile(m_dir.path(), 4000));
        m_firmware = m_dir.filePath(QStringLiteral("image-4000.tvf"));
        QVERIFY2(m_server.psql(QStringLiteral("postgres"), {QStringLiteral("-c"), QStringLiteral("CREATE DATABASE crash")}),
            qPrintable(m_server.problem()));
    }

    void killedStationsAndARestartedServer()
    {
        const quint32 seed = qEnvironmentVariableIsSet("TALVEX_CRASH_SEED")
            ? quint32(qEnvironmentVariableIntValue("TALVEX_CRASH_SEED"))
            : QRandomGenerator::system()->generate();
        qInfo("seed %u (TALVEX_CRASH_SEED=%u replays it)", seed, seed);
        QRandomGenerator random(seed);
        // The first start makes the tables: one station alone, then the others.
        startStation(1);
        QTest::qWait(1000);
        for (int k = 2; k <= stations; ++k)
            startStation(k);
        for (int round = 0; round < kills; ++round) {
            QTest::qWait(200 + int(random.bounded(1200)));
            if (round == kills / 2)
                QVERIFY2(m_server.restart(), qPrintable(m_server.problem()));
            const int k = 1 + int(random.bounded(stations));
            // It may have ended on its own meanwhile: a run started while the
            // server still held its name is refused.
            if (m_processes[k]->state() != QProcess::NotRunning) {
                m_processes[k]->kill();
                QVERIFY(m_processes[k]->waitForFinished(endsWithinMs));
            }
            startStation(k);
            // A station that could not start (its killed run's session not yet
            // gone on the server) is started again.
            for (int k2 = 1; k2 <= stations; ++k2)
                if (m_processes[k2]->state() == QProcess::NotRunning)
                    startStation(k2);
        }
        // Every station running (one that could not start is started again),
        // then stopped as an operator would, once it looked again for its line.
        bool allStarted = false;
        for (int look = 0; look < 240 && !allStarted; ++look) {
            allStarted = true;
            for (int k = 1; k <= stations; ++k) {
                if (isStarted(k))
                    continue;
                allStarted = false;
                if (m_processes[k]->state() == QProcess::NotRunning)
                    startStation(k);
            }
            QTest::qWait(500);
        }
        QVERIFY(allStarted);
        QTest::qWait(devicesPerRun * 300 + 2000);
        for (int k = 1; k <= stations; ++k)
            m_processes[k]->terminate();
        for (int k = 1; k <= stations; ++k) {
            QVERIFY(m_processes[k]->waitForFinished(endsWithinMs));
            QVERIFY2(m_processes[k]->exitStatus() == QProcess::NormalExit, qPrintable(QStringLiteral("station %1").arg(k)));
            // Nothing waits: every settle reached the line.
            QCOMPARE(QFile(record(k) + QStringLiteral(".line-queue")).size(), 0);
        }

        // The local records, every station's.
        QSet<QString> localUnits;
        QHash<QString, QString> holderOf;
        int done = 0;
        for (int k = 1; k <= stations; ++k) {
            for (const QJsonObject &line : recordLines(record(k))) {
                localUnits.insert(unitOf(line));
                if (!gaveSerial(line) || !line.value(QLatin1String("serial_after")).toString().startsWith(QLatin1String("LC")))
                    continue;
                ++done;
                const QString serial = line.value(QLatin1String("serial_after")).toString();
                const QString holder = line.value(QLatin1String("usb_serial")).toString();
                QVERIFY2(holderOf.value(serial, holder) == holder,
                    qPrintable(QStringLiteral("%1 went to %2 and %3").arg(serial, holderOf.value(serial), holder)));
                holderOf.insert(serial, holder);
            }
        }
        QVERIFY2(done > 0, "no unit was done: the run proves nothing");

        // The line's record and serials, through the line command.
        const CliResult units = runCli({QStringLiteral("line"), QStringLiteral("report"), address(), QStringLiteral("--json")});
        QCOMPARE(units.exitCode, 0);
        const QJsonObject report = QJsonDocument::fromJson(units.out).object();
        QCOMPARE(report.value(QLatin1String("units")).toInt(), localUnits.size());
        const QJsonObject serials = report.value(QLatin1String("serials")).toObject();
        // Every station ended as it should: nothing of theirs is left reserved.
        QCOMPARE(serials.value(QLatin1String("reserved")).toInt(), 0);
        QCOMPARE(serials.value(QLatin1String("given")).toInt(), holderOf.size());
        qInfo("%lld units on the line, %d serials given, %d burnt",
            qint64(localUnits.size()), serials.value(QLatin1String("given")).toInt(),
            serials.value(QLatin1String("burnt")).toInt());
        const CliResult reservations = runCli({QStringLiteral("line"), QStringLiteral("reservations"), address()});
        QCOMPARE(reservations.exitCode, 0);

        // Each local unit is on the line, by its own line, and no other unit is.
        QProcess psql;
        psql.start(QStringLiteral("/usr/lib/postgresql/15/bin/psql"),
            {QStringLiteral("-At"), QStringLiteral("-d"), address(), QStringLiteral("-c"),
                QStringLiteral("SELECT line FROM talvex_record")});
        QVERIFY(psql.waitForFinished(30000));
        QSet<QString> lineUnits;
        for (const QByteArray &row : psql.readAllStandardOutput().split('\n'))
            if (!row.isEmpty())
                lineUnits.insert(unitOf(QJsonDocument::fromJson(row).object()));
        QCOMPARE(lineUnits.size(), localUnits.size());
        QCOMPARE(lineUnits, localUnits);
    }

    void cleanupTestCase()
    {
        // What the stations said, for a failed run.
        if (QTest::currentTestFailed())
            m_dir.setAutoRemove(false);
        for (auto &process : m_processes)
            if (process) {
                process->kill();
                process->waitForFinished();
            }
    }
};

QTEST_GUILESS_MAIN(TestLineCrash)
#include "tst_linecrash.moc"
