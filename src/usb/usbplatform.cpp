#include "usb/usbplatform.h"

#include "usb/devicechangenotifier.h"
#include "usb/host/empty/emptyusbhost.h"
#include "usb/host/sim/simbuschangenotifier.h"
#include "usb/host/sim/simusbbus.h"

#ifdef Q_OS_WIN
#include "usb/host/winusb/winusbhost.h"
#include "usb/windevchangeeventfilter.h"
#endif
#ifdef TALVEX_HAVE_LIBUSB
#include "usb/deviceinterfaceguid.h"
#include "usb/host/libusb/libusbchangenotifier.h"
#include "usb/host/libusb/libusbhost.h"
#endif

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>

namespace {

// The process's platform as it was made; the source goes before the host it follows.
struct SharedPlatform
{
    std::shared_ptr<UsbHost> host;
    std::unique_ptr<QObject> source;
};

// Each holder's own change source, passing on the shared one's signal, so
// that a driver can own and connect it like any other.
class DeviceChangeRelay : public DeviceChangeNotifier
{
public:
    explicit DeviceChangeRelay(std::shared_ptr<SharedPlatform> shared)
        : m_shared(std::move(shared))
    {
        if (m_shared->source)
            connect(m_shared->source.get(), SIGNAL(deviceListChanged()), this, SIGNAL(deviceListChanged()));
    }

private:
    std::shared_ptr<SharedPlatform> m_shared;
};

QMutex platformMutex; // guards injectedPlatform and sharedPlatform, and serialises the making
std::function<UsbPlatform()> injectedPlatform;
std::weak_ptr<SharedPlatform> sharedPlatform;

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

UsbPlatform choosePlatform()
{
    if (injectedPlatform)
        return injectedPlatform();
    if (qEnvironmentVariableIsSet("TALVEX_SIMULATOR")) {
        const std::shared_ptr<SimUsbBus> bus = simulatorBus();
        return UsbPlatform {bus, std::make_unique<SimBusChangeNotifier>(bus)};
    }
    return platformDefault();
}

std::shared_ptr<SharedPlatform> makeShared()
{
    UsbPlatform made = choosePlatform();
    auto shared = std::make_shared<SharedPlatform>();
    shared->host = std::move(made.host);
    shared->source = std::move(made.deviceChangeSource);
    QCoreApplication *application = QCoreApplication::instance();
    if (shared->source && application) {
        // The window system hands its messages to the application's filters;
        // the filter takes itself out again when it goes.
        if (auto *filter = dynamic_cast<QAbstractNativeEventFilter *>(shared->source.get()))
            application->installNativeEventFilter(filter);
        else if (shared->source->thread() != application->thread())
            shared->source->moveToThread(application->thread());
    }
    return shared;
}

} // namespace

UsbPlatform createUsbPlatform()
{
    QMutexLocker locker(&platformMutex);
    std::shared_ptr<SharedPlatform> shared = sharedPlatform.lock();
    if (!shared) {
        shared = makeShared();
        sharedPlatform = shared;
    }
    // The host keeps the whole platform alive, its source included.
    const std::shared_ptr<UsbHost> host(shared, shared->host.get());
    return UsbPlatform {host, std::make_unique<DeviceChangeRelay>(shared)};
}

void injectUsbPlatform(std::function<UsbPlatform()> factory)
{
    QMutexLocker locker(&platformMutex);
    injectedPlatform = std::move(factory);
    sharedPlatform.reset();
}
