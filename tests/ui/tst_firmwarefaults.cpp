// A firmware file's fault named alike by info, flash, station (--json too) and
// both windows, with nothing sent to the device; and the one read: what the
// station flashes and records are the bytes read at load, from a file
// replaced since, a FIFO or a pipe.

#include "../cli/clirunner.h"
#include "app/stationside.h"
#include "firmwarefixture.h"
#include "modalwatcher.h"
#include "protocol/sim/simulatorstatefile.h"
#include "protocol/sim/vantorwire.h"
#include "ui/flashdialog.h"
#include "ui/stationwindow.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
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
    // A file whose image the simulated device reports as version.0.0, build.
    QString firmware(const QString &name, quint8 version, quint32 build = 1)
    {
        const std::vector<uint8_t> image = vantorImagePayload(version, 0, 0, build, "master", 1000);
        return writeFirmwareFile(path(name), version, 0, 0, build, "master",
            QByteArray(reinterpret_cast<const char *>(image.data()), int(image.size())));
    }
    // A valid header announcing dataSize bytes, and nothing after it.
    QString headerOnly(const QString &name, quint32 dataSize)
    {
        FirmwareFile::THeader header {};
        std::memcpy(header.magic, "BZOK", 4);
        header.dataSize = dataSize;
        writeBytes(path(name), FirmwareFile::fileHeaderBytes(header));
        return path(name);
    }
    // The record's line and the device's image after a station ran on file, read once.
    void checkStationFlashed(const QByteArray &bytesLoaded, const QString &record)
    {
        const QJsonObject line = QJsonDocument::fromJson(readBytes(record).split('\n').first()).object();
        QCOMPARE(line.value("result").toString(), QStringLiteral("done"));
        QCOMPARE(line.value("sha256").toString(),
            QString::fromLatin1(QCryptographicHash::hash(bytesLoaded, QCryptographicHash::Sha256).toHex()));
        SimulatorStateFile device(path("sim.json"));
        QString error;
        QVERIFY2(device.load(&error), qPrintable(error));
        const std::vector<uint8_t> image
            = device.state(line.value("usb_serial").toString().toLatin1())->image;
        QCOMPARE(
            QByteArray(reinterpret_cast<const char *>(image.data()), int(image.size())), bytesLoaded.mid(60));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        useTestSettings(path("settings"));
        std::signal(SIGPIPE, SIG_IGN);
        // The device carries an image a fault must leave alone.
        QCOMPARE(runCli({"flash", firmware("good.tvf", 9)}, simulator()).exitCode, 0);
    }

    void faultIsNamedEverywhere_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("reason");
        QDir(m_dir.path()).mkdir("folder.tvf");
        QFile::link(path("loop.tvf"), path("loop.tvf"));
        QByteArray bytes = readBytes(firmware("bad.tvf", 1));
        writeBytes(path("cut.tvf"), bytes.left(bytes.size() - 1));
        bytes[20] = 'x';
        writeBytes(path("header.tvf"), bytes);
        writeBytes(path("magic.tvf"), "BZOX" + bytes.mid(4));
        QTest::addRow("openFailure: no such file") << path("none.tvf") << "no such file";
        QTest::addRow("openFailure: a directory") << path("folder.tvf") << "is a directory";
        QTest::addRow("isSymlinkLoop") << path("loop.tvf") << "too many levels of symbolic links";
        QTest::addRow("magic check") << path("magic.tvf") << "not a firmware file (bad magic)";
        QTest::addRow("checksum check") << path("header.tvf") << "header checksum mismatch";
        QTest::addRow("length check") << path("cut.tvf") << "payload is 999 bytes, header says 1000";
        QTest::addRow("size limit, from the header of a short file")
            << headerOnly("huge.tvf", quint32(FirmwareFile::maxPayloadSize + 1))
            << "header says 21474837 bytes, more than the largest image a flash sends (21474836 bytes)";
        QTest::addRow("0-byte payload")
            << headerOnly("empty.tvf", 0) << "header says 0 bytes: the file carries no firmware image";
        if (::geteuid() != 0) { // root reads any file
            QFile::setPermissions(firmware("locked.tvf", 1), QFileDevice::WriteOwner);
            QTest::addRow("openFailure: permission denied") << path("locked.tvf") << "permission denied";
        }
    }

    void faultIsNamedEverywhere()
    {
        QFETCH(QString, file);
        QFETCH(QString, reason);
        const QString cause = file + QStringLiteral(": ") + reason;
        const QByteArray device = readBytes(path("sim.json"));
        QCOMPARE(QString::fromUtf8(runCli({"info", file}).err), "talvex-cli info: " + cause + '\n');
        for (const QString command : {"flash", "station"}) {
            const CliResult run = runCli({command, "--json", file}, simulator());
            QCOMPARE(run.exitCode, 1);
            QCOMPARE(QString::fromUtf8(run.err), "talvex-cli " + command + ": " + cause + '\n');
            QCOMPARE(QJsonDocument::fromJson(run.out).object().value("reason").toString(), cause);
        }
        QCOMPARE(readBytes(path("sim.json")), device);

        FlashDialog window;
        window.onDeviceAttached();
        QSignalSpy flashed(&window, &FlashDialog::flashFirmware);
        ModalWatcher watcher;
        window.loadFirmwareFile(file);
        window.onFlashDeviceClicked();
        QCOMPARE(flashed.size(), 0);
        QCOMPARE(watcher.messages.size(), 1);
        QCOMPARE(watcher.messages.first().text, QStringLiteral("File corrupted!"));
        QCOMPARE(watcher.messages.first().informativeText, QFileInfo(file).fileName() + ": " + reason);
        StationWindow station;
        QVERIFY(!station.loadFirmwareFile(file));
        QCOMPARE(
            station.findChild<QLabel *>("statusLabel")->text(), QFileInfo(file).fileName() + ": " + reason);
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
        const QByteArray bytes = readBytes(firmware("stream.tvf", fifo ? 3 : 4));
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
        checkStationFlashed(bytes, path("stream.jsonl"));
        QFile::remove(path("stream.jsonl"));
    }

    // Replaced on disk after the window loaded it: the shown, flashed and recorded bytes are those loaded.
    void stationWindowFlashesTheFileAsLoaded()
    {
        const QByteArray loaded = readBytes(firmware("replaced.tvf", 5, 50));
        qputenv("TALVEX_SIMULATOR", simulator().toUtf8());
        StationWindow window;
        StationSide side(&window, path("station"));
        QVERIFY(window.loadFirmwareFile(path("replaced.tvf")));
        firmware("replaced.tvf", 6, 60);
        QTest::mouseClick(window.findChild<QPushButton *>("startButton"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(window.findChild<QLabel *>("doneCountLabel")->text(), "Done: 1", 100000);
        QTest::mouseClick(window.findChild<QPushButton *>("stopButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!window.isRunning(), 100000);
        QCOMPARE(window.findChild<QLabel *>("firmwareVersionValueLabel")->text(), "5.0.0");
        checkStationFlashed(loaded, side.recordFile());
    }
};

QTEST_MAIN(TestFirmwareFaults)
#include "tst_firmwarefaults.moc"
