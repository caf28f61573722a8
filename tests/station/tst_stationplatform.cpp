// The station's units and its arrival loop on one platform: the process
// makes its host once, and the station follows the host's notifications,
// with no look of its own between them.

#include "../protocol/vantorbench.h"
#include "protocol/sim/simulatorconfig.h"
#include "protocol/sim/simvantormodel.h"
#include "station/stationcore.h"
#include "usb/host/sim/simbuschangenotifier.h"
#include "usb/host/sim/simusbbus.h"
#include "usb/usbplatform.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// A guard against a hang only: a unit on the simulated device ends within seconds.
constexpr int unitsEndWithinMs = 100000;

} // namespace

class TestStationPlatform : public QObject
{
    Q_OBJECT

private slots:
    void unitsShareTheOneHostAndFollowItsNotifications_data();
    void unitsShareTheOneHostAndFollowItsNotifications();
};

void TestStationPlatform::unitsShareTheOneHostAndFollowItsNotifications_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<bool>("replugOne");
    QTest::addRow("three units and the arrival loop make one host") << 3 << false;
    QTest::addRow("a replugged device is seen leaving and coming back by notification") << 1 << true;
}

void TestStationPlatform::unitsShareTheOneHostAndFollowItsNotifications()
{
    QFETCH(int, devices);
    QFETCH(bool, replugOne);
    qunsetenv("TALVEX_SIMULATOR");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QSharedPointer<FirmwareFile> firmware = vantorFirmwareFile(dir.path(), 1000);
    QVERIFY(firmware);
    SimulatorConfig config;
    QString error;
    QVERIFY2(parseSimulatorConfig(QStringLiteral("restart-ms=100,busy-ms=300"), &config, &error),
        qPrintable(error));
    auto bus = std::make_shared<SimUsbBus>();
    std::vector<SimUsbBus::DeviceId> plugged;
    for (int i = 0; i < devices; ++i) {
        const QByteArray serial = QByteArray("UNIT") + QByteArray::number(i);
        plugged.push_back(plugVantorDevice(bus,
            std::make_shared<SimVantorModel>(QString::fromLatin1(serial).toStdU16String(),
                simulatorInitialState(config, serial), simulatorBehaviour(config))));
    }
    int hostsMade = 0;
    injectUsbPlatform([bus, &hostsMade] {
        ++hostsMade;
        return UsbPlatform {bus, std::make_unique<SimBusChangeNotifier>(bus)};
    });
    struct Restore
    {
        ~Restore() { injectUsbPlatform({}); }
    } restore;

    StationSettings settings;
    settings.fileName = QStringLiteral("image.tvf");
    settings.firmware = firmware;
    auto station = std::make_unique<StationCore>();
    QSignalSpy finished(station.get(), &StationCore::unitFinished);
    QSignalSpy looked(station.get(), &StationCore::statusChanged);
    QVERIFY(finished.isValid() && looked.isValid());
    qint64 cutBytes = 0;
    QVERIFY2(station->open(settings, &error, &cutBytes), qPrintable(error));
    station->start();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), devices, unitsEndWithinMs);
    int units = devices;
    if (replugOne) {
        // Its port is freed only once the station has seen it empty.
        const int looksBefore = looked.size();
        QVERIFY(bus->unplug(plugged.front()));
        QTRY_VERIFY_WITH_TIMEOUT(looked.size() > looksBefore, unitsEndWithinMs);
        QVERIFY(bus->replug(plugged.front()));
        ++units;
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), units, unitsEndWithinMs);
    }
    station.reset();
    QCOMPARE(hostsMade, 1);
}

QTEST_GUILESS_MAIN(TestStationPlatform)
#include "tst_stationplatform.moc"
