#include "usb/host/sim/simbuschangenotifier.h"

#include "usb/host/sim/simusbbus.h"

SimBusChangeNotifier::SimBusChangeNotifier(std::shared_ptr<SimUsbBus> bus, QObject *parent)
    : DeviceChangeNotifier(parent)
    , m_bus(std::move(bus))
{
    m_listenerId = m_bus->addChangeListener([this] {
        QMetaObject::invokeMethod(
            this, [this] { emit deviceListChanged(); }, Qt::QueuedConnection);
    });
}

SimBusChangeNotifier::~SimBusChangeNotifier()
{
    // Waits for a notification in progress; events already posted die with this object.
    m_bus->removeChangeListener(m_listenerId);
}
