// talvex-cli station against the file faults of a production line: a full
// disk, a read-only one, a state shared by two stations or under two names,
// a record that is not one or not a file. Whatever the fault, the three
// promises hold: no serial is given twice, every unit reported done is in
// the record, and the record has no torn line.

#include "../cli/clirunner.h"
#include "../ui/firmwarefixture.h"
#include "protocol/sim/vantorwire.h"

#include <QDir>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString range = QStringLiteral("ZOK{000100..000999}");
const QString devices = QStringLiteral("restart-ms=100,busy-ms=100,devices=2,arrive=0,150");

bool run(const QString &program, const QStringList &arguments)
{
    return QProcess::execute(program, arguments) == 0;
}

// A record line 200 bytes short of a 4 KiB block: on the full disk, a line
// more goes out short, and must be cut off again.
QByteArray blockOfRecord()
{
    QJsonObject line {
        {"board", ""}, {"port", "p"}, {"result", "done"}, {"sha256", ""}, {"station", ""}, {"time", "t"}};
    const int bare = QJsonDocument(line).toJson(QJsonDocument::Compact).size() + 1;
    line.insert(QStringLiteral("station"), QString(4096 - 200 - bare, QLatin1Char('s')));
    return QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
}

// Without a count, the station runs until it is told to stop.
QStringList stationArguments(const QString &record, const QString &state, const QString &firmware,
    const QString &count = QStringLiteral("2"))
{
    const QStringList counted = count.isEmpty() ? QStringList() : QStringList {"--count", count};
    return QStringList {"station", "--serials", range, "--board", "2.1", "--state", state, "--record", record}
    + counted + QStringList {firmware};
}

// The three promises, over the record and what the station printed.
void checkPromises(const QString &record, const QByteArray &out)
{
    const QByteArray text = QFileInfo(record).isFile() ? readBytes(record) : QByteArray();
    QVERIFY2(text.isEmpty() || text.endsWith('\n'), "the record ends in a torn line");
    QHash<QString, QString> holder;
    QStringList recorded;
    for (const QByteArray &line : text.split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        QVERIFY2(line.isEmpty() || !object.isEmpty(), line.constData());
        const QString serial = object.value(QLatin1String("serial_after")).toString();
        const QString usbSerial = object.value(QLatin1String("usb_serial")).toString();
        recorded << object.value(QLatin1String("port")).toString() + QLatin1Char(' ') + serial;
        if (serial.startsWith(QLatin1String("ZOK000")) && serial.mid(3).toInt() >= 100) {
            QVERIFY2(holder.value(serial, usbSerial) == usbSerial, qPrintable(serial + " given twice"));
            holder.insert(serial, usbSerial);
        }
    }
    for (const QByteArray &line : out.split('\n')) {
        const QString unit = QString::fromUtf8(line.left(line.indexOf(": ")));
        if (line.contains(": done,") || line.contains(": already current,"))
            QVERIFY2(recorded.contains(unit), qPrintable(unit + " reported done, not recorded"));
    }
}

} // namespace

class TestStationFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        const std::vector<uint8_t> image = vantorImagePayload(7, 3, 1, 4242, "master", 1000);
        m_firmware = writeFirmwareFile(m_dir.filePath(QStringLiteral("fw.tvf")), 7, 3, 1, 4242, "master",
            QByteArray(reinterpret_cast<const char *>(image.data()), int(image.size())));
    }

    void promisesHoldUnderEveryFault_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("exitCode");
        // On stderr: the cause, named.
        QTest::addColumn<QString>("reason");
        // Each row names the product line it guards.
        QTest::addRow("record on a full disk: short line cut off (StationRecord::append), units not recorded "
                      "(StationCore::unitEnded)")
            << "record full" << 1 << "No space left on device";
        QTest::addRow("state on a full disk: refused before a unit (StationState::open saves)")
            << "state full" << 1 << "No space left on device";
        QTest::addRow("record read-only: refused (DurableLog::open)")
            << "record read-only" << 1 << "Read-only file system";
        QTest::addRow("state read-only: refused before a unit (StationState::lock)")
            << "state read-only" << 1 << "Read-only file system";
        QTest::addRow("state shared by two stations: the second refused (StationState::lock)")
            << "state shared" << 1 << "another station is keeping this state";
        QTest::addRow("state shared under a symlink: locked by its real path (realPathOf)")
            << "state symlink" << 1 << "another station is keeping this state";
        QTest::addRow("state hard-linked: refused (StationState::lock links)")
            << "state hard link" << 1 << "is linked under another name";
        QTest::addRow("record hard-linked: refused (StationRecord::open links)")
            << "record hard link" << 1 << "is linked under another name";
        // By the file's identity: a name compared would miss the link.
        QTest::addRow("record = state under a symlink: refused (StationCore::open identity)")
            << "record is state, symlink" << 1 << "are the same file";
        QTest::addRow("record a firmware file: refused, never cut (StationRecord::checkContent)")
            << "record firmware" << 1 << "is not a record of this program";
        QTest::addRow("record empty path: refused (readOptions)") << "record empty" << 2 << "names no file";
        QTest::addRow(
            "record a FIFO: refused, no hang (DurableLog::open O_NONBLOCK, StationRecord::open kind)")
            << "record fifo" << 1 << "not a regular file";
        QTest::addRow("state /dev/null: refused (StationState::lock kind)")
            << "state null" << 1 << "not a regular file";
    }

    void promisesHoldUnderEveryFault()
    {
        QFETCH(QString, fault);
        QFETCH(int, exitCode);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QString record = dir.filePath(QStringLiteral("record.jsonl"));
        QString state = dir.filePath(QStringLiteral("station.json"));
        QString &file = fault.startsWith(QLatin1String("record")) ? record : state;
        const QString sim = simulatorWithState(dir.filePath(QStringLiteral("sim.json")), devices);
        QString disk;
        const auto unmount = qScopeGuard([&disk] {
            if (!disk.isEmpty())
                run(QStringLiteral("umount"), {disk});
        });
        if (fault.endsWith(QLatin1String("full")) || fault.endsWith(QLatin1String("read-only"))) {
            const QString folder = dir.filePath(QStringLiteral("disk"));
            QVERIFY(QDir().mkpath(folder));
            if (!run(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=64k", "tmpfs", folder}))
                QSKIP("a small tmpfs cannot be mounted here (the test needs root)");
            disk = folder;
            file = folder + QStringLiteral("/file");
            // A state is refused at its lock, before its content is read.
            if (&file == &record)
                QVERIFY(writeBytes(file, blockOfRecord()));
            // Every free block taken, or no write at all.
            if (fault.endsWith(QLatin1String("full")))
                writeBytes(folder + QStringLiteral("/fill"), QByteArray(128 * 1024, 'x'));
            else
                QVERIFY(run(QStringLiteral("mount"), {"-o", "remount,ro", folder}));
        } else if (fault.endsWith(QLatin1String("hard link"))) {
            const CliResult first = runCli(stationArguments(record, state, m_firmware), sim);
            QVERIFY2(first.exitCode == 0, first.err.constData());
            QVERIFY(
                ::link(QFile::encodeName(file).constData(), QFile::encodeName(file + ".2").constData()) == 0);
            file += QStringLiteral(".2");
        } else if (fault.startsWith(QLatin1String("record is state"))) {
            record = dir.filePath(QStringLiteral("link.json"));
            QVERIFY(writeBytes(state, QByteArray()) && QFile::link(state, record));
        } else if (fault == QLatin1String("record firmware")) {
            record = m_firmware;
        } else if (fault == QLatin1String("record empty")) {
            record = QString();
        } else if (fault.endsWith(QLatin1String("null"))) {
            file = QStringLiteral("/dev/null");
        } else if (fault.endsWith(QLatin1String("fifo"))) {
            file = dir.filePath(QStringLiteral("fifo"));
            QVERIFY(::mkfifo(QFile::encodeName(file).constData(), 0644) == 0);
        }

        const QByteArray recordBefore = QFileInfo(record).isFile() ? readBytes(record) : QByteArray();
        CliResult run;
        if (fault == QLatin1String("state shared") || fault == QLatin1String("state symlink")) {
            // The first station runs until it is told to stop: it keeps the state while the second starts.
            QProcess first;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(
                QStringLiteral("TALVEX_SIMULATOR"), QStringLiteral("restart-ms=100,busy-ms=100"));
            first.setProcessEnvironment(environment);
            const QString firstRecord = dir.filePath(QStringLiteral("first.jsonl"));
            first.start(
                QStringLiteral(TALVEX_CLI_PATH), stationArguments(firstRecord, state, m_firmware, {}));
            // Its first line comes once its record and state are open and locked.
            QByteArray firstOut;
            while (!firstOut.contains('\n') && first.waitForReadyRead(60000))
                firstOut += first.readAllStandardOutput();
            if (fault.endsWith(QLatin1String("symlink"))) {
                QVERIFY(QFile::link(state, dir.filePath(QStringLiteral("link.json"))));
                state = dir.filePath(QStringLiteral("link.json"));
            }
            run = runCli(stationArguments(record, state, m_firmware), sim);
            // Stopped once its unit is done, so that the stop meets a station at work.
            while (!firstOut.contains(": done,") && first.waitForReadyRead(60000))
                firstOut += first.readAllStandardOutput();
            first.terminate();
            QVERIFY(first.waitForFinished(120000));
            QVERIFY2(first.exitStatus() == QProcess::NormalExit && first.exitCode() == 0,
                first.readAllStandardError().constData());
            firstOut += first.readAllStandardOutput();
            checkPromises(firstRecord, firstOut);
        } else {
            run = runCli(stationArguments(record, state, m_firmware), sim);
        }
        QVERIFY2(run.exitCode == exitCode, run.err.constData());
        QVERIFY2(run.err.contains(reason.toUtf8()), run.err.constData());
        // Every station here is refused, or stops at the full disk: what the record held, it still holds.
        if (!recordBefore.isEmpty())
            QCOMPARE(readBytes(record), recordBefore);
        // A file that is no record is only ever checked to be untouched.
        checkPromises(fault == QLatin1String("record firmware") ? QString() : record, run.out);
    }

private:
    QTemporaryDir m_dir;
    QString m_firmware;
};

QTEST_GUILESS_MAIN(TestStationFaults)
#include "tst_stationfaults.moc"
