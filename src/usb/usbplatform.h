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
// the platform's own host.
UsbPlatform createUsbPlatform();

// Makes createUsbPlatform() return what factory makes, for tests that start
// the application as it is; an empty function restores the normal choice.
void injectUsbPlatform(std::function<UsbPlatform()> factory);
