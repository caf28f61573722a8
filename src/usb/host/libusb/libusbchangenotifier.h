#pragma once

// Turns the libusb host's hot-plug callbacks into deviceListChanged(),
// delivered through this object's event loop (the main thread's), never on
// the host's event thread. Where libusb has no hot-plug support it asks for a
// scan every few seconds instead, so devices that come and go are still seen.

#include "usb/devicechangenotifier.h"

#include <memory>

class LibusbHost;

class LibusbChangeNotifier : public DeviceChangeNotifier
{
    Q_OBJECT

public:
    static constexpr int rescanIntervalMs = 2000;

    explicit LibusbChangeNotifier(std::shared_ptr<LibusbHost> host, QObject *parent = nullptr);
    ~LibusbChangeNotifier() override;

private:
    std::shared_ptr<LibusbHost> m_host;
    int m_listenerId = 0;
};
