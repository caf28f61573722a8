#include "protocol/onedeviceusbloaderproxy.h"

#include "firmware/firmwarefile.h"
#include "protocol/loaderrecords.h"
#include "qtcompat.h"
#include "usb/usbdevice.h"

OneDeviceUsbLoaderProxy::OneDeviceUsbLoaderProxy(QObject *parent)
    : QObject(parent)
{
    // flashFirmware() carries the file to the loader's thread.
    static const int firmwareType = qRegisterMetaType<QSharedPointer<FirmwareFile>>("QSharedPointer<FirmwareFile>");
    Q_UNUSED(firmwareType)
    // Made before any loader's connections, so a request is counted before it travels.
    connect(this, &OneDeviceUsbLoaderProxy::flashFirmware, this, &OneDeviceUsbLoaderProxy::countWriteRequest);
    connect(this, &OneDeviceUsbLoaderProxy::sendFactoryConfiguration, this,
        &OneDeviceUsbLoaderProxy::countWriteRequest);
    connect(
        this, &OneDeviceUsbLoaderProxy::sendUserSettings, this, &OneDeviceUsbLoaderProxy::countWriteRequest);
    connect(this, &OneDeviceUsbLoaderProxy::firmwareReprogrammed, this,
        &OneDeviceUsbLoaderProxy::countWriteResult);
    connect(this, &OneDeviceUsbLoaderProxy::flashingFailed, this, &OneDeviceUsbLoaderProxy::countWriteResult);
    connect(this, &OneDeviceUsbLoaderProxy::factoryConfigurationSent, this,
        &OneDeviceUsbLoaderProxy::countWriteResult);
    connect(
        this, &OneDeviceUsbLoaderProxy::userSettingsSent, this, &OneDeviceUsbLoaderProxy::countWriteResult);
}

void OneDeviceUsbLoaderProxy::countWriteRequest()
{
    if (currentLoader)
        ++m_unansweredWrites;
}

void OneDeviceUsbLoaderProxy::countWriteResult()
{
    if (m_unansweredWrites > 0)
        --m_unansweredWrites;
}

void OneDeviceUsbLoaderProxy::onDeviceAdded(USBDriver::TDeviceID deviceID, USBDevice *device)
{
    knownDevices.insert(deviceID, device);
    if (!currentLoader)
        attachDevice(deviceID, device);
}

void OneDeviceUsbLoaderProxy::onDeviceRemoved(USBDriver::TDeviceID deviceID)
{
    knownDevices.remove(deviceID);
    if (!currentLoader || deviceID != currentDeviceId)
        return;
    detachCurrent(nullptr);
}

void OneDeviceUsbLoaderProxy::onLoaderDestroyed(quint64 attachNumber)
{
    if (!currentLoader || attachNumber != m_attachCount)
        return;
    detachCurrent(m_currentDevice);
}

void OneDeviceUsbLoaderProxy::detachCurrent(USBDevice *stayingDevice)
{
    emit deviceDetached();
    emit deviceInformationChanged(false, QString(), 0, 0, 0, false);
    currentLoader = nullptr;
    m_currentDevice = nullptr;
    firmwareInformation.flags = 0;
    const int lostWrites = m_unansweredWrites;
    m_unansweredWrites = 0;

    // A device that stays may already have its loader back under another
    // interface; it stays recorded either way, since it has not left.
    const USBDriver::TDeviceID stayingId = currentDeviceId;
    if (stayingDevice) {
        knownDevices.insert(stayingId, stayingDevice);
        attachDevice(stayingId, stayingDevice);
    }
    // By key, not by iterator: a slot answering an attach may run an event
    // loop that changes the map.
    const QList<USBDriver::TDeviceID> candidates = knownDevices.keys();
    for (const USBDriver::TDeviceID &candidateId : candidates) {
        if (currentLoader)
            break;
        if (stayingDevice && candidateId == stayingId)
            continue;
        if (USBDevice *candidate = knownDevices.value(candidateId))
            attachDevice(candidateId, candidate);
        knownDevices.remove(candidateId);
    }
    // Last, once the proxy is in its new state: the window may answer with a
    // message box whose event loop delivers further announcements meanwhile.
    for (int i = 0; i < lostWrites; ++i)
        emit flashingFailed();
}

bool OneDeviceUsbLoaderProxy::attachDevice(const USBDriver::TDeviceID &deviceID, USBDevice *device)
{
    UsbLoader *loader = nullptr;
    // The device lives on the worker thread, which may delete it at any
    // moment: it is only looked at while it cannot go.
    USBDevice::withHandlers(device, deviceID, [&](const USBDevice::HandlerMap &handlers) {
        for (UsbInterfaceHandler *handler : handlers) {
            loader = qobject_cast<UsbLoader *>(handler);
            if (loader)
                break;
        }
        if (!loader)
            return;
        currentDeviceId = deviceID;
        currentLoader = loader;
        m_currentDevice = device;
        connectLoader(loader);
        deviceInformation = loader->getDeviceInformation();
        firmwareInformation = loader->getFirmwareInformation();
        deviceStatus = loader->getDeviceStatus();
    });
    if (!loader)
        return false;

    emit deviceAttached();
    emit deviceInformationChanged(true, serialNumberText(deviceInformation), deviceInformation.boardVersion,
        deviceInformation.boardSubversion, boardHwType(deviceInformation),
        isJtagProtected(deviceInformation));
    if (isValid(firmwareInformation)) {
        emit firmwareInformationChanged(true, firmwareInformation.version, firmwareInformation.subversion,
            firmwareInformation.bugfix, buildNumber(firmwareInformation),
            QtCompat::fromLocal8Bit(fieldText(firmwareInformation.name, sizeof firmwareInformation.name)));
    } else {
        emit firmwareInformationChanged(false, 0, 0, 0, 0, QString());
    }
    return true;
}

void OneDeviceUsbLoaderProxy::connectLoader(UsbLoader *loader)
{
    connect(this, &OneDeviceUsbLoaderProxy::startApp, loader, &UsbLoader::startApp);
    connect(this, &OneDeviceUsbLoaderProxy::flashFirmware, loader, &UsbLoader::flashFirmware);
    connect(this, &OneDeviceUsbLoaderProxy::sendFactoryConfiguration, loader,
        &UsbLoader::sendFactoryConfiguration);
    connect(this, &OneDeviceUsbLoaderProxy::sendUserSettings, loader, &UsbLoader::sendUserSettings);
    connect(this, &OneDeviceUsbLoaderProxy::readFactoryConfiguration, loader,
        &UsbLoader::readFactoryConfiguration);
    connect(this, &OneDeviceUsbLoaderProxy::readUserSettings, loader, &UsbLoader::readUserSettings);
    connect(loader, &UsbLoader::deviceInformationChanged, this,
        &OneDeviceUsbLoaderProxy::deviceInformationChanged);
    connect(loader, &UsbLoader::deviceInformationFreeSlotsChanged, this,
        &OneDeviceUsbLoaderProxy::deviceInformationFreeSlotsChanged);
    connect(loader, &UsbLoader::programmingProgress, this, &OneDeviceUsbLoaderProxy::flashingProgress);
    connect(loader, &UsbLoader::firmwareReprogrammingFailed, this, &OneDeviceUsbLoaderProxy::flashingFailed);
    connect(loader, SIGNAL(firmwareReprogrammed(quint8, quint8, quint8, quint32, QString)), this,
        SIGNAL(firmwareReprogrammed(quint8, quint8, quint8, quint32, QString)));
    connect(loader, &UsbLoader::factoryConfigurationReceived, this,
        &OneDeviceUsbLoaderProxy::factoryConfigurationReceived);
    connect(loader, &UsbLoader::factoryConfigurationSent, this,
        &OneDeviceUsbLoaderProxy::factoryConfigurationSent);
    connect(loader, &UsbLoader::userSettingsReceived, this, &OneDeviceUsbLoaderProxy::userSettingsReceived);
    connect(loader, &UsbLoader::userSettingsSent, this, &OneDeviceUsbLoaderProxy::userSettingsSent);
    // Queued even when the loader lives on this thread, so that the proxy
    // never acts inside a destructor; it arrives after every signal the
    // loader sent before it went.
    const quint64 attachNumber = ++m_attachCount;
    connect(
        loader, &QObject::destroyed, this, [this, attachNumber] { onLoaderDestroyed(attachNumber); },
        Qt::QueuedConnection);
}
