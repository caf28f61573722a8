// Station in the program's own process, on two simulated devices caught
// mid-flash: what Stop, Abort and destroying the station do to the units
// in progress and to their record.

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
        QTest::addColumn<int>("exitCode");
        QTest::addRow("stop lets them finish") << "stop"
                                               << "done" << 0;
        QTest::addRow("abort records them as aborted") << "abort"
                                                       << "aborted" << 4;
        QTest::addRow("destroying the station aborts them") << "destroy"
                                                            << "aborted" << -1;
    }

    void unitsInProgressWhenTheStationEnds()
    {
        QFETCH(QString, end);
        QFETCH(QString, result);
        QFETCH(int, exitCode);
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
            QCOMPARE(stopped.first().first().toInt(), exitCode);
        }
        QCOMPARE(finished.size(), devices);
        for (const QList<QVariant> &unit : qAsConst(finished))
            QCOMPARE(StationCounters::text(unit.at(1).value<StationCounters::Result>()), result);
        QCOMPARE(readBytes(record).count(QByteArray("\"result\":\"") + result.toUtf8() + '"'), devices);
        // A device cut off mid-flash still writes and restarts: the next row,
        // and the program's end, meet it back and idle.
        QTRY_VERIFY_WITH_TIMEOUT(settled(), 100000);
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
