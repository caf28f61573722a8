#include "usb/devicepermissiontext.h"

QString deviceNotAccessibleTitle()
{
    return QStringLiteral("Device not accessible!");
}

QString deviceNotAccessibleAdvice()
{
    return QStringLiteral("A device is connected, but this user may not open it.\n\n"
                          "Install the udev rule 70-talvex-updater.rules (see \"Linux permissions\" in "
                          "the README), then unplug the device and plug it in again.");
}
