#include "usb/usbdriver.h"

#include "usb/host/usbhost.h"
#include "usb/inaccessibledevices.h"
#include "usb/usbdevice.h"
#include "usb/usbinterfacehandler.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QMutexLocker>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <exception>

bool USBDriver::TDeviceID::operator<(const TDeviceID &other) const
{
    if (vendorId != other.vendorId)
        return vendorId < other.vendorId;
    if (productId != other.productId)
        return productId < other.productId;
    return QString::compare(serialNumber, other.serialNumber, Qt::CaseSensitive) < 0;
}

bool USBDriver::TDeviceID::operator==(const TDeviceID &other) const
{
    return vendorId == other.vendorId && productId == other.productId
        && QString::compare(serialNumber, other.serialNumber, Qt::CaseSensitive) == 0;
}

USBDriver::USBDriver(
    QList<QSharedPointer<UsbInterfaceHandlerFactory>> factories, UsbPlatform platform, QObject *parent)
    : USBDriver(std::move(factories), std::move(platform), QStringList(), parent)
{ }

USBDriver::USBDriver(QList<QSharedPointer<UsbInterfaceHandlerFactory>> factories, UsbPlatform platform,
    const QStringList &onlyPaths, QObject *parent)
    : QObject(parent)
    , m_onlyPaths(onlyPaths)
    , m_deviceChangeSource(std::move(platform.deviceChangeSource))
    , m_factories(std::move(factories))
    , m_host(std::move(platform.host))
    , m_inaccessible(new InaccessibleDevices(this))
    , m_notAnswering(new DevicePathList(this))
    , m_retryTimer(new QTimer(this))
{
    m_retryTimer->setSingleShot(true);
    m_retryTimer->setInterval(addRetryPauseMs);
    connect(m_retryTimer, &QTimer::timeout, this, &USBDriver::refreshDevices);
    // Both travel in queued signals; the device type is only declared where moc sees the signals.
    qRegisterMetaType<USBDriver::TDeviceID>("USBDriver::TDeviceID");
    qRegisterMetaType<USBDevice *>("USBDevice*");
    refreshDevices();
    if (m_deviceChangeSource) {
        connect(m_deviceChangeSource.get(), SIGNAL(deviceListChanged()), this, SLOT(onWinDevChangeEvent()));
        auto *filter = dynamic_cast<QAbstractNativeEventFilter *>(m_deviceChangeSource.get());
        if (filter && QCoreApplication::instance())
            QCoreApplication::instance()->installNativeEventFilter(filter);
    }
    // Not for the first scan: the driver may still move to its own thread,
    // whose first scan tries again anyway.
    m_retriesArmed = true;
}

USBDriver::~USBDriver()
{
    QMutexLocker locker(&m_mutex);
    const QList<USBDevice *> devices = m_devicesById.values();
    m_devicesById.clear();
    m_knownPaths.clear();
    qDeleteAll(devices);
    // Nothing else may outlive the host its devices talk through.
    qDeleteAll(findChildren<USBDevice *>(QString(), Qt::FindDirectChildrenOnly));
}

void USBDriver::onWinDevChangeEvent()
{
    refreshDevices();
}

bool USBDriver::scanDevices()
{
    refreshDevices();
    return true;
}

QList<USBDevice *> USBDriver::devices()
{
    QMutexLocker locker(&m_mutex);
    return m_devicesById.values();
}

QMap<USBDriver::TDeviceID, USBDevice *> USBDriver::devicesById()
{
    QMutexLocker locker(&m_mutex);
    return m_devicesById;
}

QList<QSharedPointer<UsbInterfaceHandlerFactory>> USBDriver::handlerFactories() const
{
    return m_factories;
}

bool USBDriver::isListed(const TDeviceID &id)
{
    QStringList paths;
    // A list that could not be read says nothing about the device.
    if (!enumerateDevicePaths(paths))
        return true;
    QMutexLocker locker(&m_mutex);
    const QString path = m_knownPaths.key(id);
    return !path.isEmpty() && paths.contains(path);
}

bool USBDriver::enumerateDevicePaths(QStringList &list)
{
    list.clear();
    std::vector<std::u16string> paths;
    const bool complete = m_host->listInterfacePaths(DEVICE_INTERFACE_GUID, paths);
    for (const std::u16string &path : paths) {
        const QString text = QString::fromStdU16String(path);
        if (m_onlyPaths.isEmpty() || m_onlyPaths.contains(text))
            list.append(text);
    }
    return complete;
}

void USBDriver::refreshDevices()
{
    bool changed = false;
    bool retry = false;
    QStringList inaccessible;
    QStringList notAnswering;
    {
        QMutexLocker locker(&m_mutex);
        QStringList paths;
        if (!enumerateDevicePaths(paths))
            return;
        const QSet<QString> present(paths.cbegin(), paths.cend());

        const QStringList known = m_knownPaths.keys();
        for (const QString &path : known) {
            if (present.contains(path))
                continue;
            removeDevice(path);
            changed = true;
        }

        for (const QString &path : qAsConst(paths)) {
            if (m_knownPaths.contains(path) && leftAndReturned(path)) {
                // A new device instance under a known path: the old object
                // talks to nothing, so it goes and the path is taken anew.
                removeDevice(path);
                changed = true;
            }
            if (m_knownPaths.contains(path))
                reconnectDevice(path, inaccessible);
            else if (m_failedAdds.value(path) > addRetries)
                continue;
            else if (addDevice(path, inaccessible))
                changed = true;
        }
        retry = updateFailedAdds(present);
        notAnswering = m_failedAdds.keys();
    }
    if (changed)
        emit devicesListChanged();
    m_inaccessible->update(inaccessible);
    m_notAnswering->update(notAnswering);
    if (retry && m_retriesArmed)
        scheduleRetry();
}

void USBDriver::scheduleRetry()
{
    // Started on the timer's own thread, which a scan need not run on. That
    // thread's end stops it there: no other thread may stop a timer.
    QMetaObject::invokeMethod(m_retryTimer, [timer = m_retryTimer] {
        if (timer->isActive())
            return;
        connect(QThread::currentThread(), &QThread::finished, timer, &QTimer::stop,
            Qt::ConnectionType(Qt::DirectConnection | Qt::UniqueConnection));
        timer->start();
    });
}

bool USBDriver::updateFailedAdds(const QSet<QString> &present)
{
    bool triesLeft = false;
    for (auto entry = m_failedAdds.begin(); entry != m_failedAdds.end();) {
        if (!present.contains(entry.key())) {
            entry = m_failedAdds.erase(entry);
            continue;
        }
        triesLeft = triesLeft || entry.value() <= addRetries;
        ++entry;
    }
    return triesLeft;
}

bool USBDriver::addDevice(const QString &path, QStringList &inaccessible)
{
    std::unique_ptr<USBDevice> device;
    try {
        device.reset(new USBDevice(path, this));
    } catch (const std::exception &) {
        // The half-built device released its handles and is gone; the path
        // stays unrecorded and is tried again at the next scans.
        ++m_failedAdds[path];
        return false;
    }
    m_failedAdds.remove(path);
    if (!device->isOpen()) {
        if (device->openError() == UsbOpenError::AccessDenied)
            inaccessible.append(path);
        return false;
    }
    const TDeviceID id = device->deviceId();
    // A second device with the identity of one already recorded cannot have
    // an entry of its own; it waits, closed, until the first one has gone.
    if (m_devicesById.contains(id))
        return false;
    m_knownPaths.insert(path, id);
    m_devicesById.insert(id, device.get());
    emit deviceAdded(id, device.release());
    return true;
}

void USBDriver::removeDevice(const QString &path)
{
    const TDeviceID id = m_knownPaths.value(path);
    emit deviceRemoved(id);
    USBDevice *device = m_devicesById.take(id);
    m_knownPaths.remove(path);
    delete device;
}

bool USBDriver::leftAndReturned(const QString &path)
{
    const USBDevice *device = m_devicesById.value(m_knownPaths.value(path));
    return device && device->isOpen() && !device->isAttached();
}

void USBDriver::reconnectDevice(const QString &path, QStringList &inaccessible)
{
    USBDevice *device = m_devicesById.value(m_knownPaths.value(path));
    if (!device || device->isOpen())
        return;
    try {
        device->reconnect();
    } catch (const std::exception &) {
        // The device closed itself again; the next scan retries.
    }
    // A device that came back in its other mode may lack the permission it had.
    if (!device->isOpen() && device->openError() == UsbOpenError::AccessDenied)
        inaccessible.append(path);
}
