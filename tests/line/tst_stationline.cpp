// A station on the line database, with simulated devices: its units take
// serials of the line's range and land in the line's record, and what the
// database does not confirm waits in a local file until it does. On Linux
// the suite runs its own server; on Windows (under Wine) it reaches the one
// tests/line/line-server.sh started, over TCP, and leaves out the rows that
// stop and start the server.

#include "../protocol/vantorbench.h"
#ifdef Q_OS_UNIX
#include "pgserver.h"

#include <unistd.h>
#endif
#include "protocol/sim/simulatorconfig.h"
#include "protocol/sim/simvantormodel.h"
#include "station/lineaddress.h"
#include "station/station.h"
#include "usb/host/sim/simbuschangenotifier.h"
#include "usb/host/sim/simusbbus.h"
#include "usb/usbplatform.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

namespace {

// A guard against a hang only: a unit on the simulated device ends within
// seconds, and a station looks for its line again every two.
constexpr int endsWithinMs = 100000;

enum class Fault {
    // The station's connection is cut while a unit writes its serial.
    BackendCut,
    // The server goes down while a unit writes its serial, and comes back.
    ServerDownAndBack,
    // The server goes down, and the station is stopped before it comes back.
    ServerDownUntilStop,
    // The server stops answering while a unit writes its serial (its
    // system still takes connections), and answers again.
    ServerHangs,
    // The server stops answering, and the station is stopped before it answers again.
    ServerHangsUntilStop,
    // The server's disk fills up while a unit writes its serial, and is given room again.
    ServerDiskFull,
};

QStringList recordLines(const QString &fileName)
{
    QFile file(fileName);
    QStringList lines;
    if (file.open(QIODevice::ReadOnly))
        lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return lines;
}

// Simulated devices on a bus of their own that the station sees, and a
// station's options for the line at address, with its files in folder.
struct LineBench
{
    LineBench(const QString &folder, const QString &address)
    {
        QString error;
        parseSimulatorConfig(QStringLiteral("restart-ms=50"), &config, &error);
        injectUsbPlatform([bus = bus] {
            return UsbPlatform {bus, std::make_unique<SimBusChangeNotifier>(bus)};
        });
        options.firmware = vantorFirmwareFile(folder, 1000);
        options.firmwareFile = folder + QStringLiteral("/image.tvf");
        options.serials = QStringLiteral("LN{0001..0099}");
        options.board = QStringLiteral("2.1");
        options.line = address;
        options.recordFile = folder + QStringLiteral("/record.jsonl");
        options.name = QStringLiteral("bench-1");
    }
    ~LineBench() { injectUsbPlatform({}); }

    void plug(const QByteArray &serial)
    {
        plugVantorDevice(bus,
            std::make_shared<SimVantorModel>(QString::fromLatin1(serial).toStdU16String(),
                simulatorInitialState(config, serial), simulatorBehaviour(config)));
    }

    std::shared_ptr<SimUsbBus> bus = std::make_shared<SimUsbBus>();
    SimulatorConfig config;
    Station::Options options;
};

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestStationLine : public QObject
{
    Q_OBJECT

private:
    // The address of database on the suite's server, as its superuser.
    QString address(const QString &database) const
    {
#ifdef Q_OS_UNIX
        if (m_external.isEmpty())
            return m_server.address(database);
#endif
        return m_external + QStringLiteral(" dbname=") + database;
    }

    // One query's rows, each "|"-separated, through the same driver the station uses.
    QStringList query(const QString &database, const QString &sql)
    {
        QStringList rows;
        {
            QSqlDatabase connection
                = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("check"));
            connection.setConnectOptions(LineAddress::parse(address(database)).connectionString());
            if (!connection.open())
                qWarning("%s", qPrintable(connection.lastError().text()));
            QSqlQuery result(connection);
            if (!result.exec(sql))
                qWarning("%s: %s", qPrintable(sql), qPrintable(result.lastError().text()));
            while (result.next()) {
                QStringList fields;
                for (int i = 0; i < result.record().count(); ++i)
                    fields << result.value(i).toString();
                rows << fields.join(QLatin1Char('|'));
            }
        }
        QSqlDatabase::removeDatabase(QStringLiteral("check"));
        return rows;
    }

    bool createDatabase(const QString &name, const QString &tablespace = QString())
    {
        query(QStringLiteral("postgres"),
            QStringLiteral("CREATE DATABASE \"%1\"").arg(name)
                + (tablespace.isEmpty() ? QString() : QStringLiteral(" TABLESPACE \"%1\"").arg(tablespace)));
        return query(QStringLiteral("postgres"),
                   QStringLiteral("SELECT 1 FROM pg_database WHERE datname = '%1'").arg(name))
            == QStringList {QStringLiteral("1")};
    }

#ifdef Q_OS_UNIX
    PgServer m_server;
#endif
    // The address (without its database) of a server that tests/line/line-server.sh started.
    QString m_external;

private slots:
    void initTestCase()
    {
        qunsetenv("TALVEX_SIMULATOR");
        const QString serverFile = qEnvironmentVariable("TALVEX_TEST_LINE_SERVER_FILE");
        if (!serverFile.isEmpty()) {
            QFile file(serverFile);
            if (!file.open(QIODevice::ReadOnly))
                QSKIP("no line server was started (PostgreSQL 15 missing)");
            m_external = QString::fromUtf8(file.readAll()).trimmed();
            return;
        }
#ifdef Q_OS_UNIX
        if (!m_server.start())
            QSKIP(qPrintable(m_server.problem()));
#else
        QSKIP("no line server: TALVEX_TEST_LINE_SERVER_FILE is not set");
#endif
    }

    void unitsOutliveTheLine_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addRow("connection cut") << Fault::BackendCut;
        QTest::addRow("server down and back") << Fault::ServerDownAndBack;
        QTest::addRow("server down until the station stops") << Fault::ServerDownUntilStop;
        QTest::addRow("server hangs") << Fault::ServerHangs;
        QTest::addRow("server hangs until the station stops") << Fault::ServerHangsUntilStop;
        QTest::addRow("server disk full") << Fault::ServerDiskFull;
    }

    void unitsOutliveTheLine()
    {
        QFETCH(Fault, fault);
        if (fault != Fault::BackendCut && !m_external.isEmpty())
            QSKIP("the server is not this suite's own to stop");
        const QString database = QStringLiteral("line%1").arg(QTest::currentDataTag()).replace(' ', '_');
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        // The database on a small disk of its own: its empty record table
        // must grow for the first unit's row.
        const QString disk = dir.filePath(QStringLiteral("disk"));
        const QString filler = disk + QStringLiteral("/filler");
        const bool small = fault == Fault::ServerDiskFull;
        const auto unmount = qScopeGuard([&] {
            if (small)
                QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), disk});
        });
        if (small) {
            QVERIFY(QDir().mkpath(disk));
            if (QProcess::execute(QStringLiteral("mount"),
                    {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                        QStringLiteral("size=24m"), QStringLiteral("tmpfs"), disk})
                != 0)
                QSKIP("a small tmpfs cannot be mounted here (the test needs root)");
#ifdef Q_OS_UNIX
            QVERIFY2(m_server.giveToServer(disk), qPrintable(m_server.problem()));
#endif
            // The server runs as another user when the suite runs as root: it passes through.
            QVERIFY(QFile::setPermissions(dir.path(),
                QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                    | QFileDevice::ExeOther));
            query(QStringLiteral("postgres"),
                QStringLiteral("CREATE TABLESPACE small_disk LOCATION '%1'").arg(disk));
        }
        QVERIFY(createDatabase(database, small ? QStringLiteral("small_disk") : QString()));
        LineBench bench(dir.path(), address(database));
        QVERIFY(bench.options.firmware);
        const auto plug = [&](const QByteArray &serial) { bench.plug(serial); };
        const Station::Options &options = bench.options;
        auto station = std::make_unique<Station>();
        QSignalSpy finished(station.get(), &Station::unitFinished);
        QSignalSpy unreachable(station.get(), &Station::lineUnreachable);
        QSignalSpy reachable(station.get(), &Station::lineReachable);
        QSignalSpy waiting(station.get(), &Station::lineWaiting);
        QSignalSpy stopped(station.get(), &Station::stopped);
        // Queued, and once the unit has its serial reserved, before it is
        // written: the station hears of the reservation only after this.
        bool faultDone = false;
        const bool hangs = fault == Fault::ServerHangs || fault == Fault::ServerHangsUntilStop;
        connect(
            station.get(), &Station::unitPhaseChanged, this,
            [&](const QString &, UnitPhase phase) {
                if (phase != UnitPhase::Identity || faultDone)
                    return;
                faultDone = true;
                QDeadlineTimer reserved(endsWithinMs);
                while (query(database,
                           QStringLiteral("SELECT serial FROM talvex_serial WHERE state = 'reserved'"))
                           .isEmpty()
                    && !reserved.hasExpired())
                    QThread::msleep(10);
                if (fault == Fault::BackendCut)
                    query(database,
                        QStringLiteral(
                            "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = "
                            "current_database() AND pid <> pg_backend_pid()"));
#ifdef Q_OS_UNIX
                else if (hangs)
                    QVERIFY2(m_server.hang(true), qPrintable(m_server.problem()));
                else if (small) // every free block taken
                    QProcess::execute(
                        QStringLiteral("sh"), {"-c", "dd if=/dev/zero of=\"$0\" bs=64k 2>/dev/null", filler});
                else
                    m_server.pause();
#endif
            },
            Qt::QueuedConnection);
        station->start(options);
        QVERIFY2(station->isRunning(), qPrintable(stopped.value(0).value(0).value<StationEnd>().reason));
        plug("UNIT0");
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, endsWithinMs);
        QVERIFY2(finished.at(0).at(1).value<UnitResult>() == UnitResult::Done,
            qPrintable(finished.at(0).at(2).toString()));
        // The unit is reported before its settle is sent. A server that
        // does not answer keeps its connection: the line is not found unreachable.
        if (fault == Fault::BackendCut || hangs)
            QCOMPARE(unreachable.size(), 0);
        else
            QTRY_COMPARE_WITH_TIMEOUT(unreachable.size(), 1, endsWithinMs);

        if (fault != Fault::BackendCut) {
            // The unit's settle waits in the local file; no unit is taken
            // while the line is unreachable.
            QVERIFY(QFile(dir.filePath(QStringLiteral("record.jsonl.line-queue"))).size() > 0);
            if (!hangs)
                plug("UNIT1");
            if (fault == Fault::ServerDownUntilStop || fault == Fault::ServerHangsUntilStop) {
                station->stop();
                QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, endsWithinMs);
                QCOMPARE(waiting.size(), 1);
                QCOMPARE(waiting.at(0).at(0).toInt(), 1);
                QCOMPARE(finished.size(), 1);
                station.reset();
#ifdef Q_OS_UNIX
                QVERIFY2(hangs ? m_server.hang(false) : m_server.resume(), qPrintable(m_server.problem()));
#endif
                // The station's call left behind in a hung server ends once it answers.
                QTRY_COMPARE_WITH_TIMEOUT(
                    query(database,
                        QStringLiteral("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory'")),
                    QStringList {QStringLiteral("0")}, endsWithinMs);
                // Started again, the station sends what waited before it
                // takes a unit: the first device is seen again, and keeps
                // its serial as its own.
                station = std::make_unique<Station>();
                QSignalSpy again(station.get(), &Station::unitFinished);
                station->start(options);
                QVERIFY(station->isRunning());
                QTRY_COMPARE_WITH_TIMEOUT(again.size(), hangs ? 1 : 2, endsWithinMs);
                for (const QList<QVariant> &unit : qAsConst(again))
                    QVERIFY2(reachedGoal(unit.at(1).value<UnitResult>()), qPrintable(unit.at(2).toString()));
            } else if (hangs) {
#ifdef Q_OS_UNIX
                QVERIFY(m_server.hang(false));
#endif
                QTRY_COMPARE_WITH_TIMEOUT(
                    QFile(dir.filePath(QStringLiteral("record.jsonl.line-queue"))).size(), 0, endsWithinMs);
            } else {
                // libpq's reason is passed on.
                const QString reason = unreachable.at(0).at(0).toString();
                QVERIFY2(reason.contains(fault == Fault::ServerDiskFull ? "No space left" : "No such file"),
                    qPrintable(reason));
#ifdef Q_OS_UNIX
                if (fault == Fault::ServerDiskFull)
                    QVERIFY(QFile::remove(filler));
                else
                    QVERIFY2(m_server.resume(), qPrintable(m_server.problem()));
#endif
                QTRY_COMPARE_WITH_TIMEOUT(reachable.size(), 1, endsWithinMs);
                QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, endsWithinMs);
                // Taken only once the line answered: it got a serial.
                QCOMPARE(finished.at(1).at(1).value<UnitResult>(), UnitResult::Done);
            }
        }
        station.reset();

        // Every unit is in the local record and on the line, each serial once and given.
        const int serials = fault == Fault::BackendCut || hangs ? 1 : 2;
        const int units = fault == Fault::ServerDownUntilStop || fault == Fault::ServerHangsUntilStop
            ? serials + 1
            : serials;
        const QStringList local = recordLines(options.recordFile.value());
        QCOMPARE(local.size(), units);
        QStringList localSerials;
        for (const QString &line : local)
            localSerials << QJsonDocument::fromJson(line.toUtf8()).object().value("serial_after").toString();
        localSerials.sort();
        QCOMPARE(query(database, QStringLiteral("SELECT serial FROM talvex_record ORDER BY serial")),
            localSerials);
        QCOMPARE(query(database, QStringLiteral("SELECT serial, state FROM talvex_serial ORDER BY serial")),
            QStringList({QStringLiteral("LN0001|given"), QStringLiteral("LN0002|given")}).mid(0, serials));
        QCOMPARE(QFile(dir.filePath(QStringLiteral("record.jsonl.line-queue"))).size(), 0);
    }

    // A unit stopped while the serial it asked for is on its way: the
    // serial is burnt with the unit, not left reserved.
    void abortWhileTheSerialComes()
    {
#ifdef Q_OS_UNIX
        if (!m_external.isEmpty())
#endif
            QSKIP("the server is not this suite's own to stop");
#ifdef Q_OS_UNIX
        QVERIFY(createDatabase(QStringLiteral("aborted")));
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        LineBench bench(dir.path(), address(QStringLiteral("aborted")));
        QVERIFY(bench.options.firmware);
        Station station;
        QSignalSpy finished(&station, &Station::unitFinished);
        QSignalSpy stopped(&station, &Station::stopped);
        // The server stops answering while the unit is flashed: its reservation waits.
        connect(
            &station, &Station::unitPhaseChanged, this,
            [&](const QString &, UnitPhase phase) {
                if (phase == UnitPhase::Flashing) {
                    QVERIFY(m_server.hang(true));
                } else if (phase == UnitPhase::Identity) {
                    station.abort();
                    QVERIFY(m_server.hang(false));
                }
            },
            Qt::QueuedConnection);
        station.start(bench.options);
        QVERIFY(station.isRunning());
        bench.plug("UNIT0");
        QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, endsWithinMs);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.at(0).at(1).value<UnitResult>(), UnitResult::Aborted);
        QCOMPARE(query(QStringLiteral("aborted"), QStringLiteral("SELECT serial, state FROM talvex_serial")),
            QStringList {QStringLiteral("LN0001|burnt")});
        QCOMPARE(recordLines(bench.options.recordFile.value()).size(), 1);
        QCOMPARE(query(QStringLiteral("aborted"), QStringLiteral("SELECT count(*) FROM talvex_record")),
            QStringList {QStringLiteral("1")});
#endif
    }

    // The local file that keeps the settles is refused at start, with its
    // name and the cause, when it cannot be trusted to keep them.
    void queueFileRefused_data()
    {
        QTest::addColumn<QByteArray>("fault");
        QTest::addColumn<QString>("cause");
        QTest::addRow("a second name") << QByteArray("link") << "not a regular file of one name";
        QTest::addRow("a damaged line") << QByteArray("{\"unit\":\"1\"}\n") << "line 1 is damaged";
    }

    void queueFileRefused()
    {
        QFETCH(QByteArray, fault);
        QFETCH(QString, cause);
        const QString database = QStringLiteral("queue %1").arg(QTest::currentDataTag()).replace(' ', '_');
        QVERIFY(createDatabase(database));
        QTemporaryDir dir;
        LineBench bench(dir.path(), address(database));
        const QString queue = bench.options.recordFile.value() + QStringLiteral(".line-queue");
        const QString kept = fault == "link" ? dir.filePath(QStringLiteral("kept")) : queue;
        QFile file(kept);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(fault == "link" ? QByteArray() : fault) >= 0);
        file.close();
        if (fault == "link") {
#ifdef Q_OS_UNIX
            QCOMPARE(::link(QFile::encodeName(kept).constData(), QFile::encodeName(queue).constData()), 0);
#else
            QSKIP("no hard links made here");
#endif
        }
        Station station;
        QSignalSpy stopped(&station, &Station::stopped);
        station.start(bench.options);
        QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, endsWithinMs);
        const QString reason = stopped.at(0).at(0).value<StationEnd>().reason;
        QVERIFY2(reason.contains(queue) && reason.contains(cause), qPrintable(reason));
        // What the file kept is left as it was.
        QCOMPARE(QFileInfo(kept).size(), qint64(fault == "link" ? 0 : fault.size()));
    }

    // A crash after a unit's settle was kept for the line and before its
    // record line was written: the next start writes the record line.
    void crashBeforeTheRecordLine()
    {
        QVERIFY(createDatabase(QStringLiteral("repair")));
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString record = dir.filePath(QStringLiteral("record.jsonl"));
        const QByteArray fields = R"("port":"sim:1","result":"done","sha256":"ab","station":"bench-1",)";
        const QByteArray earlier = R"({"board":"2.1",)" + fields + R"("time":"2026-01-01T08:00:00.000Z"})";
        const QByteArray crashed
            = R"({"board":"2.1",)" + fields + R"("time":"2026-01-01T09:00:00.000Z","usb_serial":"U9"})";
        QFile recordFile(record);
        QVERIFY(recordFile.open(QIODevice::WriteOnly) && recordFile.write(earlier + '\n') > 0);
        recordFile.close();
        QFile queue(record + QStringLiteral(".line-queue"));
        QVERIFY(queue.open(QIODevice::WriteOnly));
        queue.write(R"({"line":)" + crashed
            + R"(,"outcome":"none","run_id":"9b2f1c7e-0000-4000-8000-000000000001","serial":"","unit":"7"})"
              "\n");
        queue.close();

        LineBench bench(dir.path(), address(QStringLiteral("repair")));
        Station::Options &options = bench.options;
        QCOMPARE(options.recordFile.value(), record);
        options.attachedOnly = true;
        Station station;
        QSignalSpy stopped(&station, &Station::stopped);
        station.start(options);
        QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, endsWithinMs);
        QCOMPARE(recordLines(record), QStringList({QString::fromUtf8(earlier), QString::fromUtf8(crashed)}));
        QCOMPARE(query(QStringLiteral("repair"), QStringLiteral("SELECT usb_serial FROM talvex_record")),
            QStringList {QStringLiteral("U9")});
    }
};

QTEST_GUILESS_MAIN(TestStationLine)
#include "tst_stationline.moc"
