#include "usb/host/libusb/libusbchangenotifier.h"

#include "usb/host/libusb/libusbhost.h"

#include <QTimer>

LibusbChangeNotifier::LibusbChangeNotifier(std::shared_ptr<LibusbHost> host, QObject *parent)
    : DeviceChangeNotifier(parent)
    , m_host(std::move(host))
{
    if (m_host->hasHotplug()) {
        m_listenerId = m_host->addChangeListener([this] {
            QMetaObject::invokeMethod(
                this, [this] { emit deviceListChanged(); }, Qt::QueuedConnection);
        });
    } else if (m_host->isAvailable()) {
        auto *timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, &DeviceChangeNotifier::deviceListChanged);
        timer->start(rescanIntervalMs);
    }
}

LibusbChangeNotifier::~LibusbChangeNotifier()
{
    // Waits for a notification in progress; events already posted die with this object.
    if (m_listenerId != 0)
        m_host->removeChangeListener(m_listenerId);
}
