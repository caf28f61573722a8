#pragma once

// Devices, handler factories and drivers that the USB tests put on the
// simulated bus.

#include "usb/devicechangenotifier.h"
#include "usb/host/sim/simbuschangenotifier.h"
#include "usb/host/sim/simusbbus.h"
#include "usb/usbdevice.h"
#include "usb/usbdriver.h"
#include "usb/usbinterface.h"
#include "usb/usbinterfacehandler.h"

#include <QCoreApplication>
#include <QList>
#include <QMetaType>
#include <QSharedPointer>
#include <QThread>

#include <atomic>
#include <memory>

Q_DECLARE_METATYPE(UsbOpenError)

constexpr uint8_t bulkOutPipe = 0x01;
constexpr uint8_t bulkInPipe = 0x81;

inline SimInterfaceProfile vendorInterface(uint8_t number, uint8_t protocol = 2)
{
    SimInterfaceProfile profile;
    profile.number = number;
    profile.interfaceClass = 0xFF;
    profile.interfaceSubClass = 1;
    profile.interfaceProtocol = protocol;
    profile.pipes
        = {SimPipeProfile {bulkOutPipe, UsbPipeBulk, 64, 0}, SimPipeProfile {bulkInPipe, UsbPipeBulk, 64, 0}};
    return profile;
}

// A device with interfaces numbered 0 to interfaceCount - 1, each with a
// bulk-out and a bulk-in pipe.
inline SimDeviceProfile deviceProfile(
    uint16_t vendorId, uint16_t productId, std::u16string serial, int interfaceCount = 1)
{
    SimDeviceProfile profile;
    profile.vendorId = vendorId;
    profile.productId = productId;
    profile.serialNumber = std::move(serial);
    profile.serialNumberIndex = profile.serialNumber.empty() ? 0 : 3;
    for (int i = 0; i < interfaceCount; ++i)
        profile.interfaces.push_back(vendorInterface(uint8_t(i)));
    return profile;
}

// Makes a plain handler for every interface, or throws while making one
// when told to, as a protocol handler whose first request fails would.
class TestHandlerFactory : public UsbInterfaceHandlerFactory
{
public:
    UsbInterfaceHandler *createHandler(USBInterface *usbInterface) override
    {
        ++calls;
        if (throwNext.exchange(false) || throwTimes.fetch_sub(1) > 0)
            throw USBInterface::ControlTransferException();
        ++created;
        return new UsbInterfaceHandler(usbInterface);
    }

    std::atomic<bool> throwNext {false};
    std::atomic<int> throwTimes {0}; // throws on the next this many calls
    std::atomic<int> calls {0};
    std::atomic<int> created {0};
};

using FactoryList = QList<QSharedPointer<UsbInterfaceHandlerFactory>>;

// A driver on the bus. With notifications the bus's plug and unplug reach
// the driver through the event loop; without, the test scans by hand.
inline std::unique_ptr<USBDriver> makeDriver(
    const std::shared_ptr<SimUsbBus> &bus, const FactoryList &factories, bool notifications = false)
{
    UsbPlatform platform;
    platform.host = bus;
    if (notifications)
        platform.deviceChangeSource = std::make_unique<SimBusChangeNotifier>(bus);
    else
        platform.deviceChangeSource = std::make_unique<DeviceChangeNotifier>();
    return std::make_unique<USBDriver>(factories, std::move(platform));
}

inline std::vector<SimOp> callOps(const SimUsbBus &bus)
{
    std::vector<SimOp> ops;
    for (const SimCall &call : bus.calls())
        ops.push_back(call.op);
    return ops;
}

inline QString describeCalls(const SimUsbBus &bus)
{
    QString text;
    for (const SimCall &call : bus.calls())
        text += QString::fromStdString(describe(call)) + QLatin1Char('\n');
    return text;
}

// A worker thread that quits and waits for itself when it goes out of scope, so
// that a check ending a test early cannot leave it running (which aborts the
// whole test program).
class StoppingThread : public QThread
{
public:
    using QThread::QThread;
    ~StoppingThread() override
    {
        quit();
        if (!wait(30000))
            qFatal("The worker thread did not stop within 30 s");
    }
};

// Waits until the driver on its worker thread has handled every bus change
// announced so far and this thread has received the signals it sent back.
// The bus's notifications first pass this thread's event loop, then the
// worker's, then come back here, so each queue is drained in that order.
inline bool drainDriverOnWorker(USBDriver *driver)
{
    QCoreApplication::sendPostedEvents();
    if (!QMetaObject::invokeMethod(
            driver, [] {}, Qt::BlockingQueuedConnection))
        return false;
    QCoreApplication::sendPostedEvents();
    return true;
}
