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
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString range = QStringLiteral("ZOK{000100..000999}");
const QString devices = QStringLiteral("restart-ms=100,busy-ms=100,devices=2,arrive=0,150");

// A small file system of its own, full or read-only as a row needs; gone with the object.
class SmallDisk
{
public:
    explicit SmallDisk(const QString &folder)
        : m_folder(folder)
    {
        QDir().mkpath(folder);
        m_mounted = run({"mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", folder});
    }
    ~SmallDisk()
    {
        if (m_mounted)
            run({"umount", m_folder});
    }
    bool isMounted() const { return m_mounted; }
    // Takes every free block, so that the next block any file needs is refused.
    void fill() { writeBytes(m_folder + QStringLiteral("/fill"), QByteArray(128 * 1024, 'x')); }
    bool makeReadOnly() { return run({"mount", "-o", "remount,ro", m_folder}); }

private:
    static bool run(const QStringList &command)
    {
        QProcess process;
        process.start(command.first(), command.mid(1));
        return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    }

    QString m_folder;
    bool m_mounted = false;
};

// A record line 200 bytes short of a 4 KiB block: on the full disk, a line
// more goes out short, and must be cut off again.
QByteArray blockOfRecord()
{
    QJsonObject line {{QStringLiteral("board"), QString()}, {QStringLiteral("port"), QStringLiteral("p")},
        {QStringLiteral("result"), QStringLiteral("done")}, {QStringLiteral("sha256"), QString()},
        {QStringLiteral("station"), QString()}, {QStringLiteral("time"), QStringLiteral("t")}};
    const int bare = QJsonDocument(line).toJson(QJsonDocument::Compact).size() + 1;
    line.insert(QStringLiteral("station"), QString(4096 - 200 - bare, QLatin1Char('s')));
    return QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
}

// A state of the range with nothing given yet, as the station writes it.
QByteArray stateOfRange()
{
    return QJsonDocument(QJsonObject {{QStringLiteral("format"), QStringLiteral("talvex-station-state")},
                             {QStringLiteral("version"), 1}, {QStringLiteral("range"), range},
                             {QStringLiteral("next"), 100}, {QStringLiteral("reserved"), QJsonArray()},
                             {QStringLiteral("burnt"), QJsonArray()}, {QStringLiteral("given"), QJsonArray()}})
        .toJson();
}

QString text(const QJsonObject &line, const char *key)
{
    return line.value(QLatin1String(key)).toString();
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
        QTest::addRow("record read-only: refused (DurableLog::open)") << "record read-only" << 1
                                                                     << "Read-only file system";
        QTest::addRow("state read-only: refused before a unit (StationState::open saves)")
            << "state read-only" << 1 << "Read-only file system";
        QTest::addRow("state shared by two stations: the second refused (StationState::lock)")
            << "state shared" << 1 << "another station is keeping this state";
        QTest::addRow("state shared under a symlink: the lock is on its real path (realPathOf)")
            << "state symlink" << 1 << "another station is keeping this state";
        QTest::addRow("state shared under a hard link: refused (StationState::lock links)")
            << "state hard link" << 1 << "is linked under another name";
        QTest::addRow("record hard-linked: refused (StationRecord::open links)")
            << "record hard link" << 1 << "is linked under another name";
        QTest::addRow("record = state: refused (StationCore::open identity)") << "record is state" << 1
                                                                              << "are the same file";
        QTest::addRow("record = state under a symlink: refused (StationCore::open identity)")
            << "record is state, symlink" << 1 << "are the same file";
        QTest::addRow("record a firmware file: refused, never cut (StationRecord::checkContent)")
            << "record firmware" << 1 << "is not a record of this program";
        QTest::addRow("record empty path: refused (readOptions)") << "record empty" << 2 << "names no file";
        QTest::addRow("record /dev/null: refused (StationRecord::open kind)") << "record null" << 1
                                                                              << "not a regular file";
        QTest::addRow("record a FIFO: refused, no hang (DurableLog::open O_NONBLOCK)")
            << "record fifo" << 1 << "not a regular file";
        QTest::addRow("state /dev/null: refused (StationState::lock kind)") << "state null" << 1
                                                                            << "not a regular file";
        QTest::addRow("state a FIFO: refused (StationState::lock kind)") << "state fifo" << 1
                                                                         << "not a regular file";
    }

    void promisesHoldUnderEveryFault()
    {
        QFETCH(QString, fault);
        QFETCH(int, exitCode);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QString record = dir.filePath(QStringLiteral("record.jsonl"));
        QString state = dir.filePath(QStringLiteral("station.json"));
        const QString diskFolder = dir.filePath(QStringLiteral("disk"));
        std::unique_ptr<SmallDisk> disk;
        if (fault.contains(QLatin1String("full")) || fault.contains(QLatin1String("read-only"))) {
            disk = std::make_unique<SmallDisk>(diskFolder);
            if (!disk->isMounted())
                QSKIP("a small tmpfs cannot be mounted here (the test needs root)");
        }
        const bool onRecord = fault.startsWith(QLatin1String("record"));
        QString &file = onRecord ? record : state;
        if (fault == QLatin1String("record full")) {
            record = diskFolder + QStringLiteral("/record.jsonl");
            QVERIFY(writeBytes(record, blockOfRecord()));
            disk->fill();
        } else if (fault == QLatin1String("state full")) {
            state = diskFolder + QStringLiteral("/station.json");
            disk->fill();
        } else if (fault.endsWith(QLatin1String("read-only"))) {
            file = diskFolder + QStringLiteral("/file");
            QVERIFY(writeBytes(file, onRecord ? blockOfRecord() : stateOfRange()));
            QVERIFY(disk->makeReadOnly());
        } else if (fault.endsWith(QLatin1String("hard link"))) {
            const CliResult first = runStation(dir, record, state, devices);
            QVERIFY2(first.exitCode == 0, first.err.constData());
            const QString second = file + QStringLiteral(".second");
            QVERIFY(::link(QFile::encodeName(file).constData(), QFile::encodeName(second).constData()) == 0);
            file = second;
        } else if (fault == QLatin1String("record is state")) {
            record = state;
        } else if (fault == QLatin1String("record is state, symlink")) {
            QVERIFY(writeBytes(state, QByteArray()));
            record = dir.filePath(QStringLiteral("link.json"));
            QVERIFY(QFile::link(state, record));
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
            int firstExit = -1;
            run = runBesideAnother(dir, state, fault == QLatin1String("state symlink"), &firstExit);
            QCOMPARE(firstExit, 0);
            checkPromises(dir.filePath(QStringLiteral("first.jsonl")), QByteArray());
        } else {
            run = runStation(dir, record, state, devices);
        }
        QVERIFY2(run.exitCode == exitCode, run.err.constData());
        QVERIFY2(run.err.contains(reason.toUtf8()), run.err.constData());
        if (fault == QLatin1String("record firmware") || fault == QLatin1String("record read-only")
            || fault == QLatin1String("record full"))
            QCOMPARE(readBytes(record), recordBefore);
        // A file that is no record is only ever checked to be untouched.
        checkPromises(fault == QLatin1String("record firmware") ? QString() : record, run.out);
    }

private:
    CliResult runStation(const QTemporaryDir &dir, const QString &record, const QString &state,
        const QString &simulator) const
    {
        return runCli({QStringLiteral("station"), QStringLiteral("--serials"), range, QStringLiteral("--board"),
                          QStringLiteral("2.1"), QStringLiteral("--state"), state, QStringLiteral("--record"),
                          record, QStringLiteral("--count"), QStringLiteral("2"), m_firmware},
            simulatorWithState(dir.filePath(QStringLiteral("sim.json")), simulator));
    }

    // A second station started on state (or a symbolic link to it) while a first keeps it.
    CliResult runBesideAnother(const QTemporaryDir &dir, const QString &state, bool viaLink, int *firstExit)
    {
        QProcess first;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // Its second device comes late: the first station still runs when the second starts.
        environment.insert(QStringLiteral("TALVEX_SIMULATOR"),
            QStringLiteral("restart-ms=100,busy-ms=100,devices=2,arrive=0,3000"));
        first.setProcessEnvironment(environment);
        first.start(QStringLiteral(TALVEX_CLI_PATH),
            {QStringLiteral("station"), QStringLiteral("--serials"), range, QStringLiteral("--board"),
                QStringLiteral("2.1"), QStringLiteral("--state"), state, QStringLiteral("--record"),
                dir.filePath(QStringLiteral("first.jsonl")), QStringLiteral("--count"), QStringLiteral("2"),
                m_firmware});
        // Its first line is printed once the record and the state are open and locked.
        while (!first.canReadLine() && first.waitForReadyRead(60000)) { }
        QString second = state;
        if (viaLink) {
            second = dir.filePath(QStringLiteral("link.json"));
            QFile::link(state, second);
        }
        const CliResult run = runStation(dir, dir.filePath(QStringLiteral("record.jsonl")), second, devices);
        if (first.waitForFinished(120000) && first.exitStatus() == QProcess::NormalExit)
            *firstExit = first.exitCode();
        if (*firstExit != 0)
            qWarning("the first station: %s", first.readAllStandardError().constData());
        return run;
    }

    // The three promises, over the record and what the station printed.
    void checkPromises(const QString &record, const QByteArray &out)
    {
        QFileInfo info(record);
        QByteArray text;
        if (info.isFile())
            text = readBytes(record);
        QVERIFY2(text.isEmpty() || text.endsWith('\n'), "the record ends in a torn line");
        QHash<QString, QString> holder;
        QStringList recorded;
        for (const QByteArray &line : text.split('\n')) {
            if (line.isEmpty())
                continue;
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            QVERIFY2(!object.isEmpty(), line.constData());
            const QString serial = ::text(object, "serial_after");
            recorded << ::text(object, "port") + QLatin1Char(' ') + serial;
            if (!serial.startsWith(QLatin1String("ZOK000")) || serial.mid(3).toInt() < 100)
                continue;
            QVERIFY2(holder.value(serial, ::text(object, "usb_serial")) == ::text(object, "usb_serial"),
                qPrintable(serial + QStringLiteral(" given twice")));
            holder.insert(serial, ::text(object, "usb_serial"));
        }
        for (const QByteArray &line : out.split('\n')) {
            if (line.contains(": done,") || line.contains(": already current,")) {
                const QString unit = QString::fromUtf8(line.left(line.indexOf(':')));
                QVERIFY2(recorded.contains(unit), qPrintable(unit + QStringLiteral(" reported done, not recorded")));
            }
        }
    }

    QTemporaryDir m_dir;
    QString m_firmware;
};

QTEST_GUILESS_MAIN(TestStationFaults)
#include "tst_stationfaults.moc"
