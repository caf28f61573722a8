// Station in the program's own process, on two simulated devices caught
// mid-flash: what Stop, Abort and destroying the station do to the units
// in progress and to their record; and the options it refuses before any
// unit is touched.

#include "../ui/firmwarefixture.h"
#include "protocol/sim/simulatorsetup.h"
#include "protocol/sim/simvantormodel.h"
#include "protocol/sim/vantorwire.h"
#include "station/station.h"
#include "usb/host/sim/simbuschangenotifier.h"
#include "usb/host/sim/simusbbus.h"
#include "usb/usbplatform.h"

#include <QEventLoop>
#include <QFile>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(StationEnd::Cause)
Q_DECLARE_METATYPE(SerialsRefusal::Reason)

namespace {

constexpr int devices = 2;

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestStationInProcess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        const std::vector<uint8_t> image = vantorImagePayload(7, 3, 1, 4242, "master", 1000);
        m_file = writeFirmwareFile(m_dir.filePath(QStringLiteral("fw.tvf")), 7, 3, 1, 4242, "master",
            QByteArray(reinterpret_cast<const char *>(image.data()), int(image.size())));
        const QByteArray simulator = "restart-ms=100,busy-ms=300,devices=2";
        const std::shared_ptr<SimUsbBus> bus = simulatorBus();
        injectUsbPlatform([bus] { return UsbPlatform {bus, std::make_unique<SimBusChangeNotifier>(bus)}; });
        QString error;
        QVERIFY2(setUpSimulator(QString::fromLatin1(simulator), bus, &error, &m_devices),
            qPrintable(error));
    }

    void unitsInProgressWhenTheStationEnds_data()
    {
        QTest::addColumn<QString>("end");
        QTest::addColumn<QString>("result");
        QTest::addColumn<StationEnd::Cause>("cause");
        QTest::addRow("stop lets them finish") << "stop"
                                               << "done" << StationEnd::Cause::AllWell;
        QTest::addRow("abort records them as aborted") << "abort"
                                                       << "aborted" << StationEnd::Cause::UnitsFailed;
        QTest::addRow("destroying the station aborts them") << "destroy"
                                                            << "aborted" << StationEnd::Cause::AllWell;
    }

    void unitsInProgressWhenTheStationEnds()
    {
        QFETCH(QString, end);
        QFETCH(QString, result);
        QFETCH(StationEnd::Cause, cause);
        const QString record = m_dir.filePath(end + QStringLiteral(".jsonl"));
        auto station = std::make_unique<Station>();
        QSignalSpy finished(station.get(), &Station::unitFinished);
        QSignalSpy stopped(station.get(), &Station::stopped);
        QVERIFY(finished.isValid() && stopped.isValid());
        // Every device has been seen flashing, and this test acts before
        // the station handles any further event: both are still in progress.
        QEventLoop bothFlashing;
        QSet<QString> flashing;
        connect(station.get(), &Station::unitProgress, &bothFlashing, [&](const QString &port) {
            flashing << port;
            if (flashing.size() == devices)
                bothFlashing.quit();
        });
        Station::Options options;
        options.firmware = QSharedPointer<FirmwareFile>::create();
        options.firmware->loadFile(m_file);
        options.firmwareFile = m_file;
        options.recordFile = record;
        // The devices run the file after the first row.
        options.reflashCurrent = true;
        station->start(options);
        bothFlashing.exec();

        if (end == QLatin1String("destroy")) {
            // Its units' worker threads end before it is gone.
            station.reset();
        } else {
            if (end == QLatin1String("stop"))
                station->stop();
            else
                station->abort();
            // A guard against a hang only: the units end within seconds.
            QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, 100000);
            QCOMPARE(stopped.first().first().value<StationEnd>().cause, cause);
        }
        QCOMPARE(finished.size(), devices);
        for (const QList<QVariant> &unit : qAsConst(finished))
            QCOMPARE(unitResultKey(unit.at(1).value<UnitResult>()), result);
        QCOMPARE(readBytes(record).count(QByteArray("\"result\":\"") + result.toUtf8() + '"'), devices);
        // A device cut off mid-flash still writes and restarts: the next row,
        // and the program's end, meet it back and idle.
        QTRY_VERIFY_WITH_TIMEOUT(settled(), 100000);
    }

    void refusedBeforeAnyUnit_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("expectSha256");
        QTest::addColumn<QString>("serials");
        QTest::addColumn<QString>("board");
        QTest::addColumn<bool>("withState");
        QTest::addColumn<QString>("line");
        QTest::addColumn<StationEnd::Cause>("cause");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<SerialsRefusal::Reason>("refused");
        const auto fileFailed = StationEnd::Cause::FileFailed;
        const auto optionRefused = StationEnd::Cause::OptionRefused;
        const auto none = SerialsRefusal::Reason::None;
        const QString fw = QStringLiteral("fw.tvf");
        const QString range = QStringLiteral("ZOK{100..999}");
        const QString no;
        QTest::addRow("a file that cannot be read, named with why")
            << QStringLiteral("missing.tvf") << no << no << no << false << no << fileFailed
            << QStringLiteral("missing.tvf: ") << none;
        QTest::addRow("an expected SHA-256 that is not one")
            << fw << QStringLiteral("12ab") << no << no << false << no << fileFailed
            << QStringLiteral("is not 64 hex digits") << none;
        QTest::addRow("an image other than the one expected")
            << fw << QString(64, QLatin1Char('A')) << no << no << false << no << fileFailed
            << QStringLiteral("but the station expects ") + QString(64, QLatin1Char('a')) << none;
        QTest::addRow("a serial range that is not one")
            << fw << no << QStringLiteral("ZOK000100") << QStringLiteral("2.1") << true << no << optionRefused << no
            << SerialsRefusal::Reason::Range;
        QTest::addRow("a board version not X.Y") << fw << no << range << QStringLiteral("2") << true << no
                                                 << optionRefused << no << SerialsRefusal::Reason::Board;
        QTest::addRow("serials with nowhere to keep them")
            << fw << no << range << QStringLiteral("2.1") << false << no << optionRefused << no
            << SerialsRefusal::Reason::NoState;
        QTest::addRow("a line address that cannot be read")
            << fw << no << range << QStringLiteral("2.1") << false << QStringLiteral("db.line:5432") << optionRefused
            << no << SerialsRefusal::Reason::LineAddress;
        QTest::addRow("a line without serials") << fw << no << no << no << false
                                                << QStringLiteral("host=db.line") << optionRefused << no
                                                << SerialsRefusal::Reason::LineWithoutSerials;
        QTest::addRow("a line beside a state file")
            << fw << no << range << QStringLiteral("2.1") << true << QStringLiteral("host=db.line") << optionRefused
            << no << SerialsRefusal::Reason::LineWithState;
    }

    void refusedBeforeAnyUnit()
    {
        QFETCH(QString, file);
        QFETCH(QString, serials);
        QFETCH(bool, withState);
        QFETCH(QString, reason);
        Station station;
        QSignalSpy started(&station, &Station::started);
        QSignalSpy stopped(&station, &Station::stopped);
        QVERIFY(started.isValid() && stopped.isValid());
        Station::Options options;
        options.firmwareFile = m_dir.filePath(file);
        QFETCH(QString, expectSha256);
        options.expectSha256 = expectSha256;
        if (!serials.isEmpty()) {
            QFETCH(QString, board);
            options.serials = serials;
            options.board = board;
            options.stateFile = withState ? m_dir.filePath(QStringLiteral("refused-state.json")) : QString();
        }
        QFETCH(QString, line);
        if (!line.isEmpty())
            options.line = line;
        const QString record = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + ".jsonl");
        options.recordFile = record;
        station.start(options);
        // Said before start() returns, and nothing was opened.
        QCOMPARE(stopped.size(), 1);
        QVERIFY(!station.isRunning());
        QCOMPARE(started.size(), 0);
        QVERIFY(!QFile::exists(record));
        const StationEnd end = stopped.first().first().value<StationEnd>();
        QTEST(end.cause, "cause");
        QVERIFY2(end.reason.contains(reason), qPrintable(end.reason));
        QTEST(end.refusal.reason, "refused");
    }

private:
    bool settled() const
    {
        for (const std::shared_ptr<SimVantorModel> &model : m_devices) {
            const VantorDevice &device = model->device();
            if (!device.isOnBus() || device.isBusy() || device.isReturnPending())
                return false;
        }
        return true;
    }

    std::vector<std::shared_ptr<SimVantorModel>> m_devices;
    QTemporaryDir m_dir;
    QString m_file;
};

QTEST_MAIN(TestStationInProcess)
#include "tst_stationinprocess.moc"
