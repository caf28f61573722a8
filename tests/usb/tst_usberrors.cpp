#include "usb/usbdevice.h"
#include "usb/usbendpoint.h"
#include "usb/usbinterface.h"

#include <QtTest>

#include <cstring>

class TestUsbErrors : public QObject
{
    Q_OBJECT

private slots:
    void caughtAsFamilyAndStandard_data();
    void caughtAsFamilyAndStandard();
};

namespace {

enum class Thrown { InterfaceQuering, GetInterfaceConfiguration, ControlTransfer, EndpointQuery };

[[noreturn]] void raise(Thrown which)
{
    switch (which) {
    case Thrown::InterfaceQuering:
        throw USBDevice::InterfaceQueringException();
    case Thrown::GetInterfaceConfiguration:
        throw USBInterface::GetInterfaceConfigurationException();
    case Thrown::ControlTransfer:
        throw USBInterface::ControlTransferException();
    case Thrown::EndpointQuery:
        throw USBEndpoint::EndpointQueryException();
    }
    throw std::logic_error("unknown error kind");
}

} // namespace

Q_DECLARE_METATYPE(Thrown)

void TestUsbErrors::caughtAsFamilyAndStandard_data()
{
    QTest::addColumn<Thrown>("which");
    QTest::addRow("USBDevice::InterfaceQueringException") << Thrown::InterfaceQuering;
    QTest::addRow("USBInterface::GetInterfaceConfigurationException") << Thrown::GetInterfaceConfiguration;
    QTest::addRow("USBInterface::ControlTransferException") << Thrown::ControlTransfer;
    QTest::addRow("USBEndpoint::EndpointQueryException") << Thrown::EndpointQuery;
}

void TestUsbErrors::caughtAsFamilyAndStandard()
{
    QFETCH(Thrown, which);
    bool caughtAsFamily = false;
    try {
        raise(which);
    } catch (const UsbException &) {
        caughtAsFamily = true;
    } catch (...) { }
    QVERIFY(caughtAsFamily);

    // Every member says the same as an exception without a message.
    const char *text = nullptr;
    try {
        raise(which);
    } catch (const std::exception &error) {
        text = error.what();
    }
    QVERIFY(text);
    QCOMPARE(std::strcmp(text, std::exception().what()), 0);
}

QTEST_GUILESS_MAIN(TestUsbErrors)
#include "tst_usberrors.moc"
