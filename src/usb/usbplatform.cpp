#include "usb/usbplatform.h"

#include "usb/host/empty/emptyusbhost.h"
#include "usb/host/sim/simbuschangenotifier.h"
#include "usb/host/sim/simusbbus.h"

#ifdef Q_OS_WIN
#include "usb/host/winusb/winusbhost.h"
#include "usb/windevchangeeventfilter.h"
#else
#include "usb/devicechangenotifier.h"
#endif
#ifdef TALVEX_HAVE_LIBUSB
#include "usb/deviceinterfaceguid.h"
#include "usb/host/libusb/libusbchangenotifier.h"
#include "usb/host/libusb/libusbhost.h"
#endif

#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex injectionMutex; // guards injectedPlatform
std::function<UsbPlatform()> injectedPlatform;

UsbPlatform platformDefault()
{
#if defined(Q_OS_WIN)
    return UsbPlatform {std::make_shared<WinUsbHost>(), std::make_unique<WinDevChangeEventFilter>()};
#elif defined(TALVEX_HAVE_LIBUSB)
    auto libusbHost = std::make_shared<LibusbHost>(DEVICE_INTERFACE_MATCH);
    return UsbPlatform {libusbHost, std::make_unique<LibusbChangeNotifier>(libusbHost)};
#else
    // Where no platform host is built, the host sees no devices.
    return UsbPlatform {std::make_shared<EmptyUsbHost>(), std::make_unique<DeviceChangeNotifier>()};
#endif
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
