#pragma once

// Reaching the loaders of one driver's devices, which live on the driver's
// worker thread: what each device said about itself, the loader itself while
// the device cannot go, and waits on that thread. Each operation says which
// thread may call it; copies are cheap and share the driver.

#include "protocol/usbloader.h"
#include "usb/usbdriver.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// What the device said about itself when its loader was made.
struct LoaderDevice
{
    USBDriver::TDeviceID usbId;
    UsbLoader::TDeviceInformation deviceInformation {};
    UsbLoader::TFirmwareInformation firmwareInformation {};
    bool flashingMode = false;
};

// The device now attached under a USB identity: whether it is there, still
// the instance that was opened, with a loader, and what its loader read.
struct LoaderPresence
{
    bool attached = false;
    bool hasLoader = false;
    LoaderDevice device;
};

class DriverLoaders
{
public:
    explicit DriverLoaders(USBDriver *driver);

    // Every attached device that has a loader, in identity order. On the
    // driver's thread, or any thread between its scans.
    QList<LoaderDevice> devices() const;
    // The device attached under device's USB identity. On the driver's thread.
    LoaderPresence presence(const LoaderDevice &device) const;
    // Runs use with the loader of the device now attached under device's USB
    // identity (after a restart that is a new loader) while the device cannot
    // go; false when there is none. use must not block. Any thread.
    bool withLoader(const LoaderDevice &device, const std::function<void(UsbLoader *)> &use) const;
    // Returns once the driver's thread has run everything asked of it so far;
    // false when it has not got there within limitMs. Any other thread.
    bool waitForWorker(int limitMs) const;
    // Destroys object, which the worker thread's signals reach, while the
    // worker thread waits between two of its events. Qt 5 can lose track of a
    // queued call's slot object (and leak it) when the receiver is destroyed
    // while another thread is emitting to it. Any other thread.
    void destroyWithWorkerHeld(std::unique_ptr<QObject> object) const;

private:
    USBDriver *m_driver;
};

// Asks the loader for an operation on its own (worker) thread, by a
// compiler-checked slot; the arguments are copied into the call. A loader
// that is gone before its thread runs the call drops it.
template <typename... Parameters, typename... Arguments>
void askLoader(UsbLoader *loader, void (UsbLoader::*slot)(Parameters...), Arguments... arguments)
{
    QMetaObject::invokeMethod(
        loader, [loader, slot, arguments...] { (loader->*slot)(arguments...); }, Qt::QueuedConnection);
}

// The device's serial number as the window shows it.
QString serialText(const LoaderDevice &device);
// "1209:7a10 SERIAL": the USB identity.
QString usbText(const LoaderDevice &device);
