#pragma once

// Lets the window work with one device at a time: follows the driver's
// announcements, takes the first device that has a loader, wires itself to
// that loader, and passes requests and results between it and the window.
// Falls back to another known device when the current one leaves. Lives on
// the main thread; every connection to a loader crosses to the worker thread.

#include "protocol/usbloader.h"
#include "usb/usbdriver.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QSharedPointer>
#include <QString>

class FirmwareFile;
class USBDevice;

class OneDeviceUsbLoaderProxy : public QObject
{
    Q_OBJECT

public:
    explicit OneDeviceUsbLoaderProxy(QObject *parent = nullptr);

signals:
    void deviceAttached();
    void deviceDetached();
    void deviceInformationChanged(bool valid, QString SN, uchar boardVersion, uchar boardSubversion,
        uchar boardHwType, bool jtagProtected);
    void deviceInformationFreeSlotsChanged(uchar freeSlotsCount);
    void flashingProgress(int progress);
    void firmwareInformationChanged(
        bool isValid, uchar version, uchar subversion, uchar bugfix, uint build, QString name);
    void firmwareReprogrammed(uchar version, uchar subversion, uchar bugfix, uint build, QString name);
    void flashingFailed();
    void factoryConfigurationReceived(QByteArray confData);
    void factoryConfigurationSent();
    void userSettingsReceived(QByteArray settingsData, uchar slotNumber);
    void userSettingsSent(uchar slotNumber);

    // Requests to the current loader; with none they go nowhere.
    void flashFirmware(QSharedPointer<FirmwareFile> firmware);
    void startApp();
    void sendFactoryConfiguration(QByteArray data);
    void readFactoryConfiguration();
    void sendUserSettings(QByteArray data, uchar slotNumber);
    void readUserSettings(uchar slotNumber);

public slots:
    // Tolerates a repeated announcement of the same device.
    void onDeviceAdded(USBDriver::TDeviceID deviceID, USBDevice *device);
    void onDeviceRemoved(USBDriver::TDeviceID deviceID);

private:
    // False, changing nothing, when the device has no loader or has already gone.
    bool attachDevice(const USBDriver::TDeviceID &deviceID, USBDevice *device);
    void connectLoader(UsbLoader *loader);
    // The current loader went while its device stayed (its interface was
    // dropped, or came back under another number): handled as a detach.
    void onLoaderDestroyed(quint64 attachNumber);
    // Detaches the current loader and falls back, first to the device that
    // stays (if any), then to the other known devices.
    void detachCurrent(USBDevice *stayingDevice);
    void countWriteRequest();
    void countWriteResult();

    USBDriver::TDeviceID currentDeviceId;
    UsbLoader *currentLoader = nullptr; // not owned; may dangle until its end is reported
    QMap<USBDriver::TDeviceID, USBDevice *> knownDevices;
    UsbLoader::TFirmwareInformation firmwareInformation {};
    UsbLoader::TDeviceInformation deviceInformation {};
    UsbLoader::TDeviceStatus deviceStatus {};
    // Write requests passed to the current loader and not yet answered. A
    // loader that dies with its device answers none of them, so the proxy
    // reports them failed itself: nobody waits for an answer that never comes.
    int m_unansweredWrites = 0;
    // The device of the current loader, and how many attaches there have
    // been: a loader's end, reported late, concerns the proxy only while the
    // attach it belongs to is still the current one.
    USBDevice *m_currentDevice = nullptr;
    quint64 m_attachCount = 0;
};
