#pragma once

// How the station and the command-line tool reach a device's loader on a
// driver that runs on a worker thread of its own: what the device said
// about itself, the loader itself while the device cannot go, the time a
// loader may go without a word, and the texts and fields that describe a
// device and its firmware. The functions say which thread may call them.

#include "protocol/usbloader.h"
#include "usb/usbdriver.h"

#include <QElapsedTimer>
#include <QJsonObject>
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

namespace LoaderAccess {

// Every attached device of driver that has a loader, in identity order.
// On the driver's thread, or any thread between its scans.
QList<LoaderDevice> devicesOf(USBDriver *driver);
// The device attached under device's USB identity. On the driver's thread.
LoaderPresence presenceOf(USBDriver *driver, const LoaderDevice &device);
// Runs use with the loader of the device now attached under device's USB
// identity (after a restart that is a new loader) while the device cannot
// go; false when there is none. use must not block. Any thread.
bool withLoaderOf(USBDriver *driver, const LoaderDevice &device, const std::function<void(UsbLoader *)> &use);
// Returns once driver's thread has run everything asked of it so far;
// false when it has not got there within limitMs.
bool waitForWorkerOf(USBDriver *driver, int limitMs);
// Destroys object, which the worker thread's signals reach, while the
// worker thread waits between two of its events. Qt 5 can lose track of a
// queued call's slot object (and leak it) when the receiver is destroyed
// while another thread is emitting to it.
void destroyWithWorkerHeldOf(USBDriver *driver, std::unique_ptr<QObject> object);

// The longest a loader can go without a word, by the protocol's own
// limits: putting the device into flashing mode (the pause and the time it
// has to come back), a write's busy limit with its settle pauses, and a
// run of USB transfers, each ending within the host's time-out.
int answerLimitMs();
// The message for an operation that passed that limit.
QString noAnswerText();
// The message for a write that gave up on a device that stayed busy.
QString deviceStayedBusyText();

// A firmware as its JSON fields: version, build, name, valid, text.
QJsonObject firmwareFields(
    uchar version, uchar subversion, uchar bugfix, uint build, const QString &name, bool valid);
QJsonObject firmwareFields(const UsbLoader::TFirmwareInformation &record);
// Seconds on clock, to the millisecond.
double secondsOf(const QElapsedTimer &clock);

} // namespace LoaderAccess

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
