// The programs' one start-up of the USB platform: with TALVEX_SIMULATOR set,
// the USB side finds the simulated devices the value describes, however
// often a program starts a USB side. In a process of its own, since it
// fills the process's one simulated bus.

#include "app/deviceside.h"
#include "protocol/deviceplatform.h"
#include "usb/deviceinterfaceguid.h"
#include "usb/host/usbhost.h"
#include "usb/usbdriver.h"

#include <QtTest>

class TestDevicePlatform : public QObject
{
    Q_OBJECT

private slots:
    void simulatorValueFillsTheBusTheDriverFinds();
};

void TestDevicePlatform::simulatorValueFillsTheBusTheDriverFinds()
{
    struct Restore
    {
        ~Restore() { qunsetenv("TALVEX_SIMULATOR"); }
    } restore;
    QString error;
    qputenv("TALVEX_SIMULATOR", "devices=2,serial=ZPL000001,colour=red");
    QVERIFY(!startDevicePlatform(&error));
    QVERIFY2(error.contains(QLatin1String("colour")), qPrintable(error));

    qputenv("TALVEX_SIMULATOR", "devices=2,serial=ZPL000001");
    QVERIFY2(startDevicePlatform(&error), qPrintable(error));
    // A second USB side in the same program (flash --all beside a session) plugs nothing more.
    QVERIFY2(startDevicePlatform(&error), qPrintable(error));
    DeviceSide side;
    QStringList serials;
    const auto found = side.driver()->devicesById();
    for (auto device = found.cbegin(); device != found.cend(); ++device)
        serials << device.key().serialNumber;
    QCOMPARE(serials, QStringList({"ZPL000001", "ZPL000002"}));
    std::vector<std::u16string> paths;
    QVERIFY(side.driver()->host()->listInterfacePaths(DEVICE_INTERFACE_GUID, paths));
    QCOMPARE(paths.size(), std::size_t(2));
}

QTEST_GUILESS_MAIN(TestDevicePlatform)
#include "tst_deviceplatform.moc"
