#pragma once

// Turns the simulated bus's plug and unplug into deviceListChanged(),
// delivered through this object's event loop as the window system delivers
// its broadcast: never inside the bus call that caused it, whichever thread
// made that call.

#include "usb/devicechangenotifier.h"

#include <memory>

class SimUsbBus;

class SimBusChangeNotifier : public DeviceChangeNotifier
{
    Q_OBJECT

public:
    explicit SimBusChangeNotifier(std::shared_ptr<SimUsbBus> bus, QObject *parent = nullptr);
    ~SimBusChangeNotifier() override;

private:
    std::shared_ptr<SimUsbBus> m_bus;
    int m_listenerId;
};
