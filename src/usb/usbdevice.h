#pragma once

// One attached device, reached through one device-interface path: opened
// exclusively, its identity read, its interfaces gathered and offered to the
// driver's handler factories. Created, reconnected and deleted by USBDriver;
// lives on the worker thread (on the main thread during the driver's first scan).

#include "usb/host/usbhost.h"
#include "usb/usbdriver.h"
#include "usb/usbexception.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <QVector>

#include <functional>

class USBInterface;
class UsbInterfaceHandler;

class USBDevice : public QObject
{
    Q_OBJECT

public:
    class InterfaceQueringException : public UsbException
    {
    };

    // The platform's path buffer holds this many UTF-16 units with the NUL.
    static constexpr int maxPathLength = 260;
    // The pause between two tries of reopen.
    static constexpr int reopenRetryPauseMs = 10;

    // Opens the path and, if that worked, gathers the interfaces. A failed
    // open leaves a closed object. Discovery errors are thrown (see the
    // nested exception types); the device then releases its handles first.
    USBDevice(const QString &path, USBDriver *driver);
    ~USBDevice() override;

    // False when already open or on any failure; a failure leaves nothing open.
    bool open();
    // False when not open; otherwise the success of closing the file. The
    // interface objects stay, cut off (see USBInterface::unbind) until a
    // reopen or reconnect rebinds them.
    bool close();
    bool isOpen() const { return m_opened; }
    // Why the last open failed; None after a successful one.
    UsbOpenError openError() const { return m_openError; }
    // Open, and the device instance it opened is still on the bus: false
    // once the device has left, even if it came back under the same path.
    bool isAttached() const;
    // Closes, then tries to open again, pausing briefly between tries so a
    // restarting device gets the bus to itself, until timeoutMs has passed
    // (once for 0; a negative time-out never passes). On success the interface
    // objects whose numbers remain are rebound, so pointers to them and their
    // handlers stay valid; vanished ones are deleted, new ones added.
    bool reopen(int timeoutMs);
    // For a closed device the driver still knows: opens it again and brings
    // the interfaces back the way reopen does.
    void reconnect();

    USBDriver::TDeviceID deviceId() const { return m_identity; }
    QString path() const { return m_path; }
    QMap<uint8_t, USBInterface *> interfaces() const { return m_interfaces; }
    // For the device's own thread; other threads use withHandlers.
    QMap<USBInterface *, UsbInterfaceHandler *> interfaceHandlers() const { return m_handlers; }

    using HandlerMap = QMap<USBInterface *, UsbInterfaceHandler *>;
    // For threads other than the device's: runs use with the handler map of
    // a device that still exists and still has the identity it was announced
    // with. While use runs, the device cannot be deleted and its handlers can
    // neither be added nor deleted. False, without calling use, when the
    // device has gone.
    static bool withHandlers(const USBDevice *device, const USBDriver::TDeviceID &id,
        const std::function<void(const HandlerMap &)> &use);
    UsbHost *host() const;

private:
    QString readStringDescriptor(uint8_t index, uint16_t languageId);
    void gatherInterfaces();
    // The new interface, or null when the device already has one of its number.
    USBInterface *addInterface(UsbInterfaceHandle handle);
    uint8_t updateInterface(UsbInterfaceHandle handle);
    void rescanInterfaces();
    // Runs an interface discovery step; if it throws, the device closes
    // before the error travels on, so no handle outlives it.
    template <typename Step> void closeOnError(Step step);
    UsbInterfaceHandle associatedInterface(uint8_t index);
    void dropInterface(uint8_t interfaceNumber);

    QString m_path;
    UsbInterfaceHandle m_defaultHandle = UsbInterfaceHandle::Invalid;
    UsbDeviceDescriptor m_deviceDescriptor {};
    UsbConfigurationDescriptor m_configurationDescriptor {};
    UsbFileHandle m_fileHandle = UsbFileHandle::Invalid;
    bool m_opened = false;
    UsbOpenError m_openError = UsbOpenError::None;
    USBDriver::TDeviceID m_identity;
    QMap<uint8_t, USBInterface *> m_interfaces;
    QMap<USBInterface *, UsbInterfaceHandler *> m_handlers;
    USBDriver *m_driver;
    // Every interface handle obtained since the last open and not yet freed.
    // close frees exactly these, so a handle is never freed twice nor left
    // behind, however a discovery step ended.
    QVector<UsbInterfaceHandle> m_acquiredHandles;
};
