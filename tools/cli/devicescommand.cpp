// talvex-cli devices: the devices the updater would see, and a clear word
// when one is present but this user may not open it.

#include "clicommon.h"

#include "ui/devicepermissiontext.h"
#include "usb/inaccessibledevices.h"
#include "usb/usbdevice.h"
#include "usb/usbdriver.h"
#include "usb/usbinterface.h"

namespace {

const char devicesHelp[] = "usage: talvex-cli devices\n"
                           "\n"
                           "Lists the attached devices as the updater finds them, one a line:\n"
                           "vendor:product ID, serial number, mode, and where the device sits.\n"
                           "\n"
                           "Exit status: 0 success (also with no device); 3 a device is present but\n"
                           "this user may not open it; 2 the command line was refused.\n";

// The mode the device's vendor interface announces.
QString modeOf(USBDevice *device)
{
    const auto interfaces = device->interfaces();
    for (USBInterface *usbInterface : interfaces) {
        if (usbInterface->interfaceClass() != 0xFF || usbInterface->interfaceSubClass() != 1)
            continue;
        if (usbInterface->interfaceProtocol() == 1)
            return QStringLiteral("flashing mode");
        if (usbInterface->interfaceProtocol() == 2)
            return QStringLiteral("application");
    }
    return QStringLiteral("unknown mode");
}

} // namespace

int runDevices(const QStringList &arguments)
{
    if (arguments == QStringList {QStringLiteral("--help")}
        || arguments == QStringList {QStringLiteral("-h")}) {
        printOut(QString::fromLatin1(devicesHelp));
        return ExitSuccess;
    }
    if (!arguments.isEmpty())
        failUsage(QStringLiteral("talvex-cli devices: takes no arguments"), QLatin1String(devicesUsage));

    USBDriver driver({});
    const QList<USBDevice *> devices = driver.devices();
    for (USBDevice *device : devices) {
        const USBDriver::TDeviceID id = device->deviceId();
        printOut(QStringLiteral("%1:%2 %3 %4 %5\n")
                     .arg(id.vendorId, 4, 16, QLatin1Char('0'))
                     .arg(id.productId, 4, 16, QLatin1Char('0'))
                     .arg(id.serialNumber.isEmpty() ? QStringLiteral("-") : id.serialNumber, modeOf(device),
                         device->path()));
    }
    const QStringList inaccessible = driver.inaccessibleDevices()->paths();
    if (devices.isEmpty() && inaccessible.isEmpty())
        printOut(QStringLiteral("No device connected.\n"));
    if (inaccessible.isEmpty())
        return ExitSuccess;
    for (const QString &path : inaccessible)
        printErr(QStringLiteral("%1: %2\n").arg(path, deviceNotAccessibleTitle()));
    printErr(deviceNotAccessibleAdvice() + QLatin1Char('\n'));
    return ExitDeviceNotAccessible;
}
