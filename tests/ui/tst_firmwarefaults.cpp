// A file's fault named alike by info, flash, station --json and both windows,
// with nothing sent to the device; and the one read: the station flashes and records the bytes read at load,
// from a FIFO, a pipe or a file replaced since.

#include "../cli/clirunner.h"
#include "app/stationside.h"
#include "firmwarefixture.h"
#include "modalwatcher.h"
#include "protocol/sim/vantorwire.h"
#include "ui/flashdialog.h"
#include "ui/stationwindow.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

class TestFirmwareFaults : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString simulator() const { return simulatorWithState(path("sim.json"), "restart-ms=100,busy-ms=100"); }
    // Version v.0.0, whose image the simulated device reports as build v; with
    // dataSize, a header alone announcing it.
    QByteArray firmware(const QString &name, quint8 v, qint64 dataSize = -1)
    {
        const std::vector<uint8_t> image = vantorImagePayload(v, 0, 0, v, "master", 1000);
        FirmwareFile::THeader header {};
        std::memcpy(header.magic, "BZOK", 4);
        header.dataSize = quint32(dataSize);
        if (dataSize < 0)
            writeFirmwareFile(path(name), v, 0, 0, v, "master",
                QByteArray(reinterpret_cast<const char *>(image.data()), 1000));
        else
            writeBytes(path(name), FirmwareFile::fileHeaderBytes(header));
        return readBytes(path(name));
    }
    static void checkRecorded(const QString &record, const QByteArray &bytesLoaded, int build)
    {
        const QJsonObject line = QJsonDocument::fromJson(readBytes(record)).object();
        QCOMPARE(line.value("firmware_after").toObject().value("build").toInt(), build);
        QCOMPARE(line.value("sha256").toString(),
            QString::fromLatin1(QCryptographicHash::hash(bytesLoaded, QCryptographicHash::Sha256).toHex()));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        useTestSettings(path("settings"));
        std::signal(SIGPIPE, SIG_IGN);
        // The device carries an image that a fault must leave alone.
        firmware("good.tvf", 9);
        QCOMPARE(runCli({"flash", path("good.tvf")}, simulator()).exitCode, 0);
    }

    void faultIsNamedEverywhere_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        QDir(m_dir.path()).mkdir("folder.tvf");
        QFile::link(path("loop.tvf"), path("loop.tvf"));
        QByteArray bytes = firmware("good.tvf", 9);
        writeBytes(path("cut.tvf"), bytes.left(bytes.size() - 1));
        writeBytes(path("magic.tvf"), "BZOX" + bytes.mid(4));
        writeBytes(path("header.tvf"), bytes.replace(20, 1, "x"));
        firmware("huge.tvf", 1, FirmwareFile::maxPayloadSize + 1);
        firmware("empty.tvf", 1, 0);
        QTest::addRow("openFailure: no such file") << "none.tvf"
                                                   << "no such file";
        QTest::addRow("openFailure: a directory") << "folder.tvf"
                                                  << "is a directory";
        QTest::addRow("isSymlinkLoop") << "loop.tvf"
                                       << "too many levels of symbolic links";
        QTest::addRow("magic check") << "magic.tvf"
                                     << "not a firmware file (bad magic)";
        QTest::addRow("checksum check") << "header.tvf"
                                        << "header checksum mismatch";
        QTest::addRow("length check") << "cut.tvf"
                                      << "payload is 999 bytes, header says 1000";
        QTest::addRow("size limit, from the header of a short file")
            << "huge.tvf"
            << "header says 21474837 bytes, more than the largest image a flash sends (21474836 bytes)";
        QTest::addRow("0-byte payload") << "empty.tvf"
                                        << "header says 0 bytes: the file carries no firmware image";
        if (::geteuid() != 0
            && QFile::setPermissions(path("cut.tvf"), QFileDevice::WriteOwner)) // root reads all
            QTest::addRow("openFailure: permission denied") << "cut.tvf"
                                                            << "permission denied";
    }

    void faultIsNamedEverywhere()
    {
        QFETCH(QString, name);
        QFETCH(QString, reason);
        const QString cause = path(name) + ": " + reason;
        const QByteArray device = readBytes(path("sim.json"));
        QCOMPARE(QString::fromUtf8(runCli({"info", path(name)}).err), "talvex-cli info: " + cause + '\n');
        for (const QString command : {"flash", "station"}) {
            const CliResult run = runCli({command, "--json", path(name)}, simulator());
            QCOMPARE(run.exitCode, 1);
            QCOMPARE(QString::fromUtf8(run.err), "talvex-cli " + command + ": " + cause + '\n');
            QCOMPARE(QJsonDocument::fromJson(run.out).object().value("reason").toString(), cause);
        }
        QCOMPARE(readBytes(path("sim.json")), device);

        FlashDialog window;
        window.onDeviceAttached();
        QSignalSpy flashed(&window, &FlashDialog::flashFirmware);
        ModalWatcher watcher;
        window.loadFirmwareFile(path(name));
        window.onFlashDeviceClicked();
        QCOMPARE(flashed.size(), 0);
        QCOMPARE(watcher.messages.size(), 1);
        QCOMPARE(watcher.messages.first().text, QStringLiteral("File corrupted!"));
        QCOMPARE(watcher.messages.first().informativeText, name + ": " + reason);
        StationWindow station;
        QVERIFY(!station.loadFirmwareFile(path(name)));
        QCOMPARE(station.findChild<QLabel *>("statusLabel")->text(), name + ": " + reason);
    }

    void stationReadsAStreamOnce_data()
    {
        QTest::addColumn<bool>("fifo");
        QTest::addRow("FIFO") << true;
        QTest::addRow("pipe") << false;
    }

    void stationReadsAStreamOnce()
    {
        QFETCH(bool, fifo);
        const QByteArray bytes = firmware("stream.tvf", fifo ? 3 : 4);
        const QString source = fifo ? path("fifo") : QStringLiteral("/dev/fd/0");
        QVERIFY(!fifo || mkfifo(QFile::encodeName(source).constData(), 0600) == 0);
        std::thread writer([&] {
            if (fifo)
                writeBytes(source, bytes);
        });
        const CliResult run = runCli({"station", "--count", "1", "--record", path("stream.jsonl"), source},
            simulator(), fifo ? QByteArray() : bytes);
        // Lets a writer still waiting for its reader go.
        const int release = fifo ? ::open(QFile::encodeName(source).constData(), O_RDONLY | O_NONBLOCK) : -1;
        writer.join();
        ::close(release);
        QFile::remove(source);
        QVERIFY2(run.exitCode == 0, run.err.constData());
        checkRecorded(path("stream.jsonl"), bytes, fifo ? 3 : 4);
        QFile::remove(path("stream.jsonl"));
    }

    // Replaced on disk after the window loaded it: shown, flashed and recorded are the bytes loaded.
    void stationWindowFlashesTheFileAsLoaded()
    {
        const QByteArray loaded = firmware("replaced.tvf", 50);
        qputenv("TALVEX_SIMULATOR", simulator().toUtf8());
        StationWindow window;
        StationSide side(&window, path("station"));
        QVERIFY(window.loadFirmwareFile(path("replaced.tvf")));
        firmware("replaced.tvf", 60);
        QTest::mouseClick(window.findChild<QPushButton *>("startButton"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(window.findChild<QLabel *>("doneCountLabel")->text(), "Done: 1", 100000);
        QTest::mouseClick(window.findChild<QPushButton *>("stopButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!window.isRunning(), 100000);
        QCOMPARE(window.findChild<QLabel *>("firmwareVersionValueLabel")->text(), QStringLiteral("50.0.0"));
        checkRecorded(side.recordFile(), loaded, 50);
    }
};

QTEST_MAIN(TestFirmwareFaults)
#include "tst_firmwarefaults.moc"
