#include "usb/usbplatform.h"

#include "usb/host/empty/emptyusbhost.h"
#include "usb/host/sim/simbuschangenotifier.h"
#include "usb/host/sim/simusbbus.h"

#ifdef Q_OS_WIN
#include "usb/windevchangeeventfilter.h"
#else
#include "usb/devicechangenotifier.h"
#endif

#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex injectionMutex; // guards injectedPlatform
std::function<UsbPlatform()> injectedPlatform;

UsbPlatform platformDefault()
{
    // The platform hosts (WinUSB, libusb) plug in here; until they exist the
    // host sees no devices.
    UsbPlatform platform;
    platform.host = std::make_shared<EmptyUsbHost>();
#ifdef Q_OS_WIN
    platform.deviceChangeSource = std::make_unique<WinDevChangeEventFilter>();
#else
    platform.deviceChangeSource = std::make_unique<DeviceChangeNotifier>();
#endif
    return platform;
}

} // namespace

UsbPlatform createUsbPlatform()
{
    std::function<UsbPlatform()> injected;
    {
        QMutexLocker locker(&injectionMutex);
        injected = injectedPlatform;
    }
    if (injected)
        return injected();
    if (qEnvironmentVariableIsSet("TALVEX_SIMULATOR")) {
        const std::shared_ptr<SimUsbBus> bus = simulatorBus();
        return UsbPlatform {bus, std::make_unique<SimBusChangeNotifier>(bus)};
    }
    return platformDefault();
}

void injectUsbPlatform(std::function<UsbPlatform()> factory)
{
    QMutexLocker locker(&injectionMutex);
    injectedPlatform = std::move(factory);
}
