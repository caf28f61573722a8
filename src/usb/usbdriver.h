#pragma once

// Keeps the set of attached devices: finds the present interfaces of
// DEVICE_INTERFACE_GUID, creates a USBDevice for every new path, deletes the
// device of every path that has gone, and reports the changes by signal.
// Constructed on the main thread, which runs the first scan; then moved to
// the worker thread, which runs every later one.

#include "qtcompat.h"
#include "usb/deviceinterfaceguid.h"
#include "usb/usbplatform.h"

#include <QList>
#include <QMap>
#include <QMetaType>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

#include <memory>

class DevicePathList;
class InaccessibleDevices;
class QTimer;
class USBDevice;
class UsbHost;
class UsbInterfaceHandlerFactory;

class USBDriver : public QObject
{
    Q_OBJECT

public:
    // A device's USB identity, ordered by vendor, product, then serial number
    // (case-sensitive); the key of every device map.
    struct TDeviceID
    {
        uint16_t vendorId = 0;
        uint16_t productId = 0;
        QString serialNumber;

        bool operator<(const TDeviceID &other) const;
        bool operator==(const TDeviceID &other) const;
        bool operator!=(const TDeviceID &other) const { return !(*this == other); }
    };

    // A device that cannot be built (a handler factory or a discovery step
    // fails, e.g. its records cannot be read) is tried again on the next
    // scans, at most this many times; a scan follows each failure after
    // this pause even when nothing else changes. About the 5 s a restarting
    // device is given to come back: longer than a device settling after
    // power-up or a restart needs, short of retrying a broken one for ever.
    static constexpr int addRetries = 5;
    static constexpr int addRetryPauseMs = 1000;

    // Uses the given host and device-change source (any object with a
    // deviceListChanged() signal; installed as the application's native
    // event filter when it is one).
    USBDriver(QList<QSharedPointer<UsbInterfaceHandlerFactory>> factories, UsbPlatform platform,
        QObject *parent = nullptr);
    // The same, but sees only the devices at onlyPaths (all when empty) and
    // never opens another, so that several drivers, each on its own thread,
    // can share one bus.
    USBDriver(QList<QSharedPointer<UsbInterfaceHandlerFactory>> factories, UsbPlatform platform,
        const QStringList &onlyPaths, QObject *parent = nullptr);
    // Deletes every device without a signal.
    ~USBDriver() override;

    // One scan; connected to the worker thread's start.
    bool scanDevices();
    // The devices in identity order. Any thread; waits for a running scan.
    QList<USBDevice *> devices();
    // The same, with the identity each device is recorded under, taken in
    // one go so that a device deleted meanwhile is never asked for its identity.
    QMap<TDeviceID, USBDevice *> devicesById();
    QList<QSharedPointer<UsbInterfaceHandlerFactory>> handlerFactories() const;
    // Present devices this user may not open, as of the last scan; a child
    // of the driver, so its signal comes from the driver's thread.
    InaccessibleDevices *inaccessibleDevices() const { return m_inaccessible; }
    // Present devices whose last try to build them failed (see addRetries);
    // one that stays in it after its last try is not tried again until it
    // leaves the bus. A child of the driver, like inaccessibleDevices().
    DevicePathList *notAnsweringDevices() const { return m_notAnswering; }
    UsbHost *host() const { return m_host.get(); }
    // The source of device-change notifications (see the constructor), or
    // null. Its deviceListChanged() comes on its own thread (the main
    // thread) at once; the scan it causes waits for whatever this driver's
    // thread is doing, such as a transfer to a device that has gone waiting
    // for its time-out.
    QObject *deviceChangeSource() const { return m_deviceChangeSource.get(); }
    // Whether the host still lists the path of the device recorded under
    // id: false once it has left, also before the scan that removes it.
    // Any thread; asks the host, and waits for a running scan.
    bool isListed(const TDeviceID &id);

signals:
    void devicesListChanged();
    void deviceAdded(USBDriver::TDeviceID deviceID, USBDevice *device);
    void deviceRemoved(USBDriver::TDeviceID deviceID);

public slots:
    void onWinDevChangeEvent();

private:
    void refreshDevices();
    bool enumerateDevicePaths(QStringList &list);
    bool addDevice(const QString &path, QStringList &inaccessible);
    void removeDevice(const QString &path);
    bool leftAndReturned(const QString &path);
    void reconnectDevice(const QString &path, QStringList &inaccessible);
    // Forgets the failed tries of paths that have gone; true while a path
    // still has tries left.
    bool updateFailedAdds(const QSet<QString> &present);
    void scheduleRetry();

    const QStringList m_onlyPaths;
    QMap<QString, TDeviceID> m_knownPaths;
    QMap<TDeviceID, USBDevice *> m_devicesById;
    // Failed tries per present path not recorded; a path over addRetries is given up.
    QMap<QString, int> m_failedAdds;
    QtCompat::RecursiveMutex m_mutex; // guards m_knownPaths, m_devicesById and m_failedAdds
    std::unique_ptr<QObject> m_deviceChangeSource;
    QList<QSharedPointer<UsbInterfaceHandlerFactory>> m_factories;
    std::shared_ptr<UsbHost> m_host;
    InaccessibleDevices *m_inaccessible;
    DevicePathList *m_notAnswering;
    QTimer *m_retryTimer;
    bool m_retriesArmed = false; // set once the constructor's scan is done
};

Q_DECLARE_METATYPE(USBDriver::TDeviceID)
