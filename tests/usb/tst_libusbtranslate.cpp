// What the libusb host turns into the layer's terms: port paths, error
// kinds and descriptors in bus layout. No device needed; the host itself is
// tested against the real kernel USB stack in the virtual machine.

#include "usb/host/libusb/libusbtranslate.h"

#include <QtTest>

#include <vector>

Q_DECLARE_METATYPE(UsbOpenError)

class TestLibusbTranslate : public QObject
{
    Q_OBJECT

private slots:
    void portPathStaysPerPort_data();
    void portPathStaysPerPort();
    void errorsKeepTheirMeaning_data();
    void errorsKeepTheirMeaning();
    void deviceRecordHasBusByteOrder();
    void pipeInformation_data();
    void pipeInformation();
    void interfaceMatch_data();
    void interfaceMatch();
};

void TestLibusbTranslate::portPathStaysPerPort_data()
{
    QTest::addColumn<int>("bus");
    QTest::addColumn<QByteArray>("ports");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("sysfsInterface");
    QTest::addRow("root port") << 1 << QByteArray("\x02", 1) << "usb:1-2"
                               << "1-2:1.0";
    QTest::addRow("behind two hubs") << 3 << QByteArray("\x01\x04\x02", 3) << "usb:3-1.4.2"
                                     << "3-1.4.2:1.0";
    QTest::addRow("numbers past nine stay whole") << 12 << QByteArray("\x0a\x0b", 2) << "usb:12-10.11"
                                                  << "12-10.11:1.0";
    QTest::addRow("no port is never empty") << 2 << QByteArray() << "usb:2-0"
                                            << "2-0:1.0";
}

void TestLibusbTranslate::portPathStaysPerPort()
{
    QFETCH(int, bus);
    QFETCH(QByteArray, ports);
    QFETCH(QString, path);
    QFETCH(QString, sysfsInterface);
    const auto *portNumbers = reinterpret_cast<const uint8_t *>(ports.constData());
    QCOMPARE(QString::fromStdU16String(libusbPortPath(uint8_t(bus), portNumbers, ports.size())), path);
    QCOMPARE(QString::fromStdString(libusbSysfsInterfaceName(uint8_t(bus), portNumbers, ports.size(), 1, 0)),
        sysfsInterface);
}

void TestLibusbTranslate::errorsKeepTheirMeaning_data()
{
    QTest::addColumn<int>("libusbError");
    QTest::addColumn<UsbOpenError>("expected");
    QTest::addRow("success") << int(LIBUSB_SUCCESS) << UsbOpenError::None;
    QTest::addRow("no permission tells the user what to do")
        << int(LIBUSB_ERROR_ACCESS) << UsbOpenError::AccessDenied;
    QTest::addRow("device gone") << int(LIBUSB_ERROR_NO_DEVICE) << UsbOpenError::NotPresent;
    QTest::addRow("device not found") << int(LIBUSB_ERROR_NOT_FOUND) << UsbOpenError::NotPresent;
    QTest::addRow("claimed by another program") << int(LIBUSB_ERROR_BUSY) << UsbOpenError::InUse;
    QTest::addRow("input/output error is no permission problem")
        << int(LIBUSB_ERROR_IO) << UsbOpenError::Failed;
    QTest::addRow("unknown code") << -1234 << UsbOpenError::Failed;
}

void TestLibusbTranslate::errorsKeepTheirMeaning()
{
    QFETCH(int, libusbError);
    QFETCH(UsbOpenError, expected);
    QCOMPARE(libusbOpenError(libusbError), expected);
}

void TestLibusbTranslate::deviceRecordHasBusByteOrder()
{
    libusb_device_descriptor descriptor {};
    descriptor.bcdUSB = 0x0200;
    descriptor.idVendor = 0x1209;
    descriptor.idProduct = 0x7A10;
    descriptor.bcdDevice = 0x0102;
    descriptor.iSerialNumber = 3;
    descriptor.bNumConfigurations = 1;
    const UsbDeviceDescriptor record = libusbDeviceRecord(descriptor);
    uint8_t bytes[sizeof record];
    std::memcpy(bytes, &record, sizeof record);
    const std::vector<uint8_t> expected
        = {18, 1, 0x00, 0x02, 0, 0, 0, 0, 0x09, 0x12, 0x10, 0x7A, 0x02, 0x01, 0, 0, 3, 1};
    QCOMPARE(std::vector<uint8_t>(bytes, bytes + sizeof bytes), expected);

    libusb_config_descriptor configuration {};
    configuration.wTotalLength = 0x0120;
    configuration.bNumInterfaces = 2;
    configuration.bConfigurationValue = 1;
    const UsbConfigurationDescriptor head = libusbConfigurationRecord(configuration);
    QCOMPARE(int(head.bLength), 9);
    QCOMPARE(int(head.bDescriptorType), int(UsbConfigurationDescriptorType));
    QCOMPARE(usbWordValue(head.wTotalLength), uint16_t(0x0120));
    QCOMPARE(int(head.bNumInterfaces), 2);
}

void TestLibusbTranslate::pipeInformation_data()
{
    QTest::addColumn<int>("attributes");
    QTest::addColumn<int>("maxPacket");
    QTest::addColumn<int>("pipeType");
    QTest::addColumn<int>("packetSize");
    QTest::addRow("bulk") << 0x02 << 512 << int(UsbPipeBulk) << 512;
    QTest::addRow("interrupt") << 0x03 << 64 << int(UsbPipeInterrupt) << 64;
    QTest::addRow("isochronous with sync bits") << 0x0D << 1023 << int(UsbPipeIsochronous) << 1023;
    QTest::addRow("extra transactions are not bytes")
        << 0x03 << (0x1000 | 1024) << int(UsbPipeInterrupt) << 1024;
}

void TestLibusbTranslate::pipeInformation()
{
    QFETCH(int, attributes);
    QFETCH(int, maxPacket);
    QFETCH(int, pipeType);
    QFETCH(int, packetSize);
    libusb_endpoint_descriptor endpoint {};
    endpoint.bEndpointAddress = 0x81;
    endpoint.bmAttributes = uint8_t(attributes);
    endpoint.wMaxPacketSize = uint16_t(maxPacket);
    endpoint.bInterval = 4;
    const UsbPipeInformation pipe = libusbPipeInformation(endpoint);
    QCOMPARE(int(pipe.PipeType), pipeType);
    QCOMPARE(int(pipe.PipeId), 0x81);
    QCOMPARE(int(pipe.MaximumPacketSize), packetSize);
    QCOMPARE(int(pipe.Interval), 4);
}

void TestLibusbTranslate::interfaceMatch_data()
{
    // Two interfaces of two alternate settings each: class, subclass, protocol of every setting.
    QTest::addColumn<QVector<int>>("settings");
    QTest::addColumn<bool>("listed");
    QTest::addRow("flashing mode") << QVector<int> {0xFF, 1, 1, 8, 6, 80, 8, 6, 80, 8, 6, 80} << true;
    QTest::addRow("application") << QVector<int> {0xFF, 1, 2, 8, 6, 80, 8, 6, 80, 8, 6, 80} << true;
    QTest::addRow("other protocol") << QVector<int> {0xFF, 1, 3, 0xFF, 1, 0, 8, 6, 80, 8, 6, 80} << false;
    QTest::addRow("other subclass") << QVector<int> {0xFF, 2, 1, 8, 6, 80, 8, 6, 80, 8, 6, 80} << false;
    QTest::addRow("not vendor class") << QVector<int> {0xFE, 1, 1, 8, 6, 80, 8, 6, 80, 8, 6, 80} << false;
    QTest::addRow("second interface") << QVector<int> {8, 6, 80, 8, 6, 80, 0xFF, 1, 2, 8, 6, 80} << true;
    QTest::addRow("other alternate setting")
        << QVector<int> {8, 6, 80, 0xFF, 1, 1, 8, 6, 80, 8, 6, 80} << true;
}

void TestLibusbTranslate::interfaceMatch()
{
    QFETCH(QVector<int>, settings);
    QFETCH(bool, listed);
    libusb_interface_descriptor descriptors[4] {};
    for (int i = 0; i < 4; ++i) {
        descriptors[i].bInterfaceNumber = uint8_t(i / 2);
        descriptors[i].bAlternateSetting = uint8_t(i % 2);
        descriptors[i].bInterfaceClass = uint8_t(settings[3 * i]);
        descriptors[i].bInterfaceSubClass = uint8_t(settings[3 * i + 1]);
        descriptors[i].bInterfaceProtocol = uint8_t(settings[3 * i + 2]);
    }
    libusb_interface interfaces[2] = {{&descriptors[0], 2}, {&descriptors[2], 2}};
    libusb_config_descriptor configuration {};
    configuration.bNumInterfaces = 2;
    configuration.interface = interfaces;
    QCOMPARE(libusbConfigurationMatches(configuration, UsbInterfaceMatch {0xFF, 1, 1, 2}), listed);

    const libusb_interface_descriptor *second = libusbAlternateSetting(interfaces[1], 1);
    QVERIFY(second == &descriptors[3]);
    QVERIFY(!libusbAlternateSetting(interfaces[1], 2));
}

QTEST_APPLESS_MAIN(TestLibusbTranslate)
#include "tst_libusbtranslate.moc"
