#pragma once

// What the tests and measurements in the virtual machine share: plugging the
// test gadget in and out, waiting for the bus, and a driver on the libusb host.

#include "usb/devicechangenotifier.h"
#include "usb/deviceinterfaceguid.h"
#include "usb/host/libusb/libusbchangenotifier.h"
#include "usb/host/libusb/libusbhost.h"
#include "usb/usbdevice.h"
#include "usb/usbdriver.h"
#include "usb/usbendpoint.h"
#include "usb/usbinterface.h"
#include "usbvmrequests.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <functional>
#include <memory>

// Binds a gadget to its device controller (plugs it in) or unbinds it:
// gadget 1 to USBVM_UDC, the second to USBVM_SECOND_UDC.
inline bool usbvmSetPlugged(bool plugged, int gadget = 1)
{
    QFile udc(QString::fromStdString(usbvmGadgetPlace(gadget).gadgetDir) + QStringLiteral("/UDC"));
    if (!udc.open(QIODevice::WriteOnly))
        return false;
    const QByteArray controller = qgetenv(gadget == 2 ? "USBVM_SECOND_UDC" : "USBVM_UDC");
    const QByteArray name = plugged ? controller + '\n' : QByteArray("\n");
    return udc.write(name) == name.size();
}

// Waits, handling events, until condition holds or timeoutMs has passed.
inline bool usbvmWaitFor(const std::function<bool()> &condition, int timeoutMs = 15000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    return true;
}

inline std::vector<std::u16string> usbvmListedPaths(UsbHost &host)
{
    std::vector<std::u16string> paths;
    host.listInterfacePaths(DEVICE_INTERFACE_GUID, paths);
    return paths;
}

// The path the gadget is listed under, or empty while it is not listed alone.
inline QString usbvmDevicePath(UsbHost &host)
{
    const std::vector<std::u16string> paths = usbvmListedPaths(host);
    return paths.size() == 1 ? QString::fromStdU16String(paths.front()) : QString();
}

// A driver on the libusb host; with hot-plug the host's notifications reach
// it through this thread's event loop, without it the caller scans.
inline std::unique_ptr<USBDriver> usbvmDriver(const std::shared_ptr<LibusbHost> &host, bool hotplug = false)
{
    UsbPlatform platform;
    platform.host = host;
    if (hotplug)
        platform.deviceChangeSource = std::make_unique<LibusbChangeNotifier>(host);
    else
        platform.deviceChangeSource = std::make_unique<DeviceChangeNotifier>();
    return std::make_unique<USBDriver>(
        QList<QSharedPointer<UsbInterfaceHandlerFactory>>(), std::move(platform));
}

// The pipe of the interface that goes the given way.
inline USBEndpoint *usbvmPipe(USBInterface *usbInterface, bool in)
{
    const auto pipes = usbInterface->endpoints();
    for (auto found = pipes.cbegin(); found != pipes.cend(); ++found) {
        if (bool(found.key() & UsbEndpointDirectionIn) == in)
            return found.value();
    }
    return nullptr;
}

// Bytes and transfers the gadget received on its bulk-out pipe.
inline std::pair<uint32_t, uint32_t> usbvmCounters(USBInterface *usbInterface)
{
    const QByteArray answer = usbInterface->controlIn(UsbvmReadCounters, 0, 8);
    const auto word = [&](int at) {
        return uint32_t(uint8_t(answer[at])) | uint32_t(uint8_t(answer[at + 1])) << 8
            | uint32_t(uint8_t(answer[at + 2])) << 16 | uint32_t(uint8_t(answer[at + 3])) << 24;
    };
    return {word(0), word(4)};
}

// usbvmHash of what the device received on bulk-out since its counters were reset.
inline uint32_t usbvmReceivedHash(USBInterface *usbInterface)
{
    const QByteArray answer = usbInterface->controlIn(UsbvmReadCounters, 0, 12);
    if (answer.size() < 12)
        return 0;
    uint32_t hash = 0;
    for (int i = 3; i >= 0; --i)
        hash = hash << 8 | uint8_t(answer[8 + i]);
    return hash;
}

// bInterfaceProtocol of the device's vendor interface as the kernel sees it
// now, for a port path such as "usb:1-1"; -1 while nothing is there.
inline int usbvmInterfaceProtocol(const QString &path)
{
    QFile protocol(QStringLiteral("/sys/bus/usb/devices/%1:1.0/bInterfaceProtocol").arg(path.mid(4)));
    if (!protocol.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    const int value = protocol.readAll().trimmed().toInt(&ok, 16);
    return ok ? value : -1;
}
