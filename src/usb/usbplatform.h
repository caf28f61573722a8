#pragma once

// What the USB layer runs on: a host and a source of device-change
// notifications (an object with a deviceListChanged() signal).

#include <QObject>

#include <functional>
#include <memory>

class UsbHost;

struct UsbPlatform
{
    std::shared_ptr<UsbHost> host;
    std::unique_ptr<QObject> deviceChangeSource;
};

// The one place that picks the platform: what a test injected, else the
// simulated bus when the environment variable TALVEX_SIMULATOR is set, else
// the platform's own host. The choice is made once per process, while
// anything still holds what an earlier call gave: every call hands out that
// one host (one libusb context and event thread, one WinUSB host, the one
// simulated bus) and a change source of its own that follows the one
// source made with it. The first call is made on the main thread, whose
// event loop delivers the notifications.
UsbPlatform createUsbPlatform();

// Makes createUsbPlatform() share what factory makes, for tests that start
// the application as it is; an empty function restores the normal choice.
// Platforms handed out before keep what they got.
void injectUsbPlatform(std::function<UsbPlatform()> factory);
