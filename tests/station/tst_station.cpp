// talvex-cli station as a separate process on simulated devices that
// arrive, fail and leave as each scenario scripts them, and killed at
// random moments to check what its record and state promise.

#include "../cli/clirunner.h"
#include "../ui/firmwarefixture.h"
#include "protocol/sim/vantorwire.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString range = QStringLiteral("ZOK{000100..000999}");

QString firmwareFile(const QTemporaryDir &dir)
{
    const std::vector<uint8_t> image = vantorImagePayload(7, 3, 1, 4242, "master", 1000);
    return writeFirmwareFile(dir.filePath(QStringLiteral("fw.tvf")), 7, 3, 1, 4242, "master",
        QByteArray(reinterpret_cast<const char *>(image.data()), int(image.size())));
}

QStringList stationArguments(const QTemporaryDir &dir, const QString &file, const QStringList &more)
{
    return QStringList {QStringLiteral("station"), QStringLiteral("--serials"), range,
               QStringLiteral("--board"), QStringLiteral("2.1"), QStringLiteral("--state"),
               dir.filePath(QStringLiteral("station.json")), QStringLiteral("--record"),
               dir.filePath(QStringLiteral("record.jsonl"))}
    + more + QStringList {file};
}

// Every line of the record; fails the test on a line that is not a whole JSON object.
QList<QJsonObject> recordLines(const QTemporaryDir &dir)
{
    QList<QJsonObject> lines;
    const QByteArray text = readBytes(dir.filePath(QStringLiteral("record.jsonl")));
    if (!text.isEmpty() && !text.endsWith('\n'))
        qWarning("the record ends in a torn line");
    for (const QByteArray &line : text.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error {};
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject()) {
            qWarning("not a whole line: %s", line.constData());
            return {};
        }
        lines << document.object();
    }
    return lines;
}

QString text(const QJsonObject &line, const char *key)
{
    return line.value(QLatin1String(key)).toString();
}

} // namespace

class TestStation : public QObject
{
    Q_OBJECT

private slots:
    void arrivals_data()
    {
        QTest::addColumn<QString>("simulator");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        // "USB-SERIAL RESULT SERIAL": SERIAL "new" for the next of the range, "kept" for the one it had.
        QTest::addColumn<QStringList>("expected");
        const QString timing = QStringLiteral("restart-ms=100,busy-ms=100,");
        QTest::addRow("arriving over time")
            << timing + "devices=3,arrive=0,150,300" << QStringList {"--count", "3"} << 0
            << QStringList {"ZOK000001 done new", "ZOK000002 done new", "ZOK000003 done new"};
        QTest::addRow("one fails, the others go on")
            << timing + "devices=3,arrive=0,100,200,fail-batch=2,fault-devices=2"
            << QStringList {"--count", "3"} << 4
            << QStringList {"ZOK000001 done new", "ZOK000002 failed kept", "ZOK000003 done new"};
        QTest::addRow("one pulled out mid-flash")
            << timing + "devices=2,unplug-batch=3,fault-devices=2" << QStringList {"--count", "2"} << 4
            << QStringList {"ZOK000001 done new", "ZOK000002 failed kept"};
        QTest::addRow("already current with a serial of the range")
            << timing + "serial=ZOK000500,firmware=7.3.1,build=4242" << QStringList {"--count", "1"} << 0
            << QStringList {"ZOK000500 already-current kept"};
        QTest::addRow("already current without one")
            << timing + "firmware=7.3.1,build=4242" << QStringList {"--count", "1"} << 0
            << QStringList {"ZOK000001 already-current new"};
        QTest::addRow("already current, reflashed")
            << timing + "firmware=7.3.1,build=4242" << QStringList {"--count", "1", "--reflash-current"} << 0
            << QStringList {"ZOK000001 done new"};
        QTest::addRow("in its flashing mode")
            << timing + "mode=loader,fwvalid=0" << QStringList {"--count", "1"} << 0
            << QStringList {"ZOK000001 done new"};
        QTest::addRow("one at a time")
            << timing + "devices=2" << QStringList {"--count", "2", "--max-units", "1"} << 0
            << QStringList {"ZOK000001 done new", "ZOK000002 done new"};
    }
    void arrivals()
    {
        QFETCH(QString, simulator);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        const CliResult run = runCli(stationArguments(dir, firmwareFile(dir), arguments),
            simulatorWithState(dir.filePath(QStringLiteral("sim.json")), simulator));
        QVERIFY2(run.exitCode == exitCode, run.err.constData());
        QStringList found;
        QSet<QString> given;
        for (const QJsonObject &line : recordLines(dir)) {
            const QString after = text(line, "serial_after");
            const bool isNew = after != text(line, "serial_before");
            if (isNew) {
                QVERIFY2(after.startsWith(QLatin1String("ZOK000")) && after.mid(3).toInt() >= 100,
                    qPrintable(after));
                QVERIFY2(!given.contains(after), qPrintable(after));
                given.insert(after);
                QCOMPARE(text(line, "board"), QStringLiteral("2.1"));
            }
            QCOMPARE(text(line, "sha256").size(), 64);
            found << QStringLiteral("%1 %2 %3")
                         .arg(text(line, "usb_serial"),
                             text(line, "result").replace(QLatin1Char(' '), QLatin1Char('-')),
                             isNew ? QStringLiteral("new") : QStringLiteral("kept"));
        }
        found.sort();
        QCOMPARE(found, expected);
    }

    // Two devices already carrying the same serial of the range: one keeps
    // it, the other fails before anything is written to it (StationUnit::open's claim).
    void aSerialOnAnotherUnitIsRefused()
    {
        QTemporaryDir dir;
        const QString file = firmwareFile(dir);
        const QString simulator = simulatorWithState(
            dir.filePath(QStringLiteral("sim.json")), QStringLiteral("restart-ms=100,busy-ms=100,devices=2"));
        for (const char *device : {"ZOK000001", "ZOK000002"}) {
            const CliResult named = runCli(
                {"set-identity", "--device", device, "--serial", "ZOK000500", "--board", "2.1"}, simulator);
            QVERIFY2(named.exitCode == 0, named.err.constData());
        }
        const CliResult run = runCli(stationArguments(dir, file, {"--count", "2"}), simulator);
        QVERIFY2(run.exitCode == 4, run.err.constData());
        QStringList results;
        for (const QJsonObject &line : recordLines(dir)) {
            QCOMPARE(text(line, "serial_after"), QStringLiteral("ZOK000500"));
            results << text(line, "result");
            if (text(line, "result") == QLatin1String("failed")) {
                QVERIFY2(text(line, "reason").contains(QStringLiteral("already on another unit")),
                    qPrintable(text(line, "reason")));
                QVERIFY(line.value(QStringLiteral("firmware_after")).toObject().isEmpty());
            }
        }
        results.sort();
        QCOMPARE(results, QStringList({QStringLiteral("done"), QStringLiteral("failed")}));
    }

    // Killed at random moments and started again: no serial is given
    // twice, the record holds only whole lines, and every unit the station
    // reported done is in it.
    void killedAndRestarted()
    {
        QTemporaryDir dir;
        const QString file = firmwareFile(dir);
        const QString simulator = simulatorWithState(dir.filePath(QStringLiteral("sim.json")),
            QStringLiteral("restart-ms=100,busy-ms=200,devices=4,arrive=0,100,200,300"));
        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo("seed %u", seed);
        QRandomGenerator random(seed);
        QStringList reported;
        for (int round = 0; round < 6; ++round) {
            QProcess process;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("TALVEX_SIMULATOR"), simulator);
            process.setProcessEnvironment(environment);
            startCli(process, stationArguments(dir, file, {"--count", "4"}));
            QVERIFY(process.waitForStarted());
            QTest::qWait(int(random.bounded(1500)));
            // A run may have ended on its own before the kill.
            process.kill();
            process.waitForFinished();
            QCOMPARE(process.state(), QProcess::NotRunning);
            // PORT SERIAL: ...; a port may hold a colon of its own (usb:3-1.4, sim:2).
            for (const QByteArray &line : process.readAllStandardOutput().split('\n')) {
                if (line.contains(": done,") || line.contains(": already current,"))
                    reported << QString::fromUtf8(line.left(line.indexOf(": ")));
            }
        }
        // The last run may finish: every device reaches its goal.
        const CliResult last = runCli(stationArguments(dir, file, {"--count", "4"}), simulator);
        QVERIFY2(last.exitCode == 0, last.err.constData());

        const QList<QJsonObject> lines = recordLines(dir);
        QVERIFY(lines.size() >= 4);
        QStringList recorded;
        QHash<QString, QString> holder; // serial of the range -> USB serial
        for (const QJsonObject &line : lines) {
            recorded << text(line, "port") + QLatin1Char(' ') + text(line, "serial_after");
            const QString serial = text(line, "serial_after");
            if (!serial.startsWith(QLatin1String("ZOK000")) || serial.mid(3).toInt() < 100)
                continue;
            QVERIFY2(holder.value(serial, text(line, "usb_serial")) == text(line, "usb_serial"),
                qPrintable(serial + QStringLiteral(" given twice")));
            holder.insert(serial, text(line, "usb_serial"));
        }
        for (const QString &unit : reported)
            QVERIFY2(recorded.contains(unit),
                qPrintable(unit + QStringLiteral(" reported done, not in the record")));
        const QJsonObject state
            = QJsonDocument::fromJson(readBytes(dir.filePath(QStringLiteral("station.json")))).object();
        // Behind the next serial none is handed out again; ahead of it, those held are listed.
        const qint64 next = qint64(state.value(QLatin1String("next")).toDouble());
        QStringList handedOut;
        for (const char *key : {"reserved", "kept"})
            handedOut += state.value(QLatin1String(key)).toObject().keys();
        QCOMPARE(QSet<QString>(handedOut.begin(), handedOut.end()).size(), handedOut.size());
        for (const QString &serial : holder.keys())
            QVERIFY2(serial.mid(3).toLongLong() < next || handedOut.contains(serial), qPrintable(serial));
    }
};

QTEST_GUILESS_MAIN(TestStation)
#include "tst_station.moc"
