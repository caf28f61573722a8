#include "devicesession.h"

#include "firmware/firmwarefile.h"
#include "protocol/usbloader.h"
#include "protocol/usbloaderfactory.h"
#include "usb/host/usbhost.h"
#include "usb/usbdevice.h"
#include "usb/usbdriver.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstring>

namespace {

// Three full batches and a short one, so that every step of the batching runs.
constexpr int imageSize = 3 * 256 + 88;

UsbLoader *firstLoader(USBDriver &driver)
{
    for (USBDevice *device : driver.devices()) {
        for (UsbInterfaceHandler *handler : device->interfaceHandlers()) {
            if (auto *loader = qobject_cast<UsbLoader *>(handler))
                return loader;
        }
    }
    return nullptr;
}

void run(UsbLoader *loader, DeviceOperation operation, uint8_t parameter)
{
    switch (operation) {
    case DeviceOperation::Flash:
        loader->flashFirmware(sessionFirmware());
        break;
    case DeviceOperation::ReadSettings:
        loader->readUserSettings(parameter);
        break;
    case DeviceOperation::WriteSettings:
        loader->sendUserSettings(QByteArray(300, 's'), parameter);
        break;
    case DeviceOperation::ReadConfiguration:
        loader->readFactoryConfiguration();
        break;
    case DeviceOperation::WriteConfiguration:
        loader->sendFactoryConfiguration(QByteArray(600, 'c'));
        break;
    case DeviceOperation::WriteIdentity:
        loader->flashDeviceInformation(QStringLiteral("ZOK000042"), 2, 1, 1);
        break;
    case DeviceOperation::WriteKeys:
        loader->flashAes256Keys(std::vector<uint8_t>(32, 0xA1), std::vector<uint8_t>(32, 0xB2));
        break;
    }
}

} // namespace

const char *deviceOperationName(DeviceOperation operation)
{
    switch (operation) {
    case DeviceOperation::Flash:
        return "flash";
    case DeviceOperation::ReadSettings:
        return "read-settings";
    case DeviceOperation::WriteSettings:
        return "write-settings";
    case DeviceOperation::ReadConfiguration:
        return "read-configuration";
    case DeviceOperation::WriteConfiguration:
        return "write-configuration";
    case DeviceOperation::WriteIdentity:
        return "write-identity";
    case DeviceOperation::WriteKeys:
        return "write-keys";
    }
    return "?";
}

bool isWriteOperation(DeviceOperation operation)
{
    return operation != DeviceOperation::ReadSettings && operation != DeviceOperation::ReadConfiguration;
}

QSharedPointer<FirmwareFile> sessionFirmware()
{
    static const QSharedPointer<FirmwareFile> firmware = [] {
        FirmwareFile::THeader header {};
        std::memcpy(header.magic, "BZOK", 4);
        header.version = 3;
        header.subversion = 1;
        header.bugfix = 4;
        header.build = 99;
        std::memcpy(header.name, "master", 6);
        header.dataSize = imageSize;
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("session.tvf"));
        QFile file(path);
        if (!folder.isValid() || !file.open(QIODevice::WriteOnly))
            qFatal("cannot write the session's firmware file");
        file.write(FirmwareFile::fileHeaderBytes(header));
        file.write(QByteArray(imageSize, 'i'));
        file.close();
        auto loaded = QSharedPointer<FirmwareFile>::create();
        loaded->loadFile(path);
        return loaded;
    }();
    return firmware;
}

bool runDeviceSession(const std::shared_ptr<UsbHost> &host, const std::vector<DeviceOperation> &operations,
    uint8_t parameter, const SessionObserver &observer)
{
    bool loaderFound = false;
    {
        UsbPlatform platform;
        platform.host = host;
        USBDriver driver({QSharedPointer<usbLoaderFactory>::create()}, std::move(platform));
        UsbLoader *loader = firstLoader(driver);
        loaderFound = loader != nullptr;
        for (DeviceOperation operation : operations) {
            if (!loader)
                break;
            OperationOutcome outcome;
            int lastProgress = -1;
            QObject counter;
            const auto success = [&outcome] { ++outcome.successes; };
            QObject::connect(loader, &UsbLoader::firmwareReprogrammed, &counter, success);
            QObject::connect(loader, &UsbLoader::userSettingsSent, &counter, success);
            QObject::connect(loader, &UsbLoader::factoryConfigurationSent, &counter, success);
            QObject::connect(loader, &UsbLoader::deviceInformationChanged, &counter, success);
            // The free slots are the key write's answer; an identity write
            // reports them too, after its own answer, so only keys count them.
            if (operation == DeviceOperation::WriteKeys)
                QObject::connect(loader, &UsbLoader::deviceInformationFreeSlotsChanged, &counter, success);
            QObject::connect(loader, &UsbLoader::firmwareReprogrammingFailed, &counter,
                [&outcome] { ++outcome.failures; });
            const auto received = [&outcome] { ++outcome.received; };
            QObject::connect(loader, &UsbLoader::userSettingsReceived, &counter, received);
            QObject::connect(loader, &UsbLoader::factoryConfigurationReceived, &counter, received);
            QObject::connect(loader, &UsbLoader::programmingProgress, &counter, [&](int progress) {
                if (progress < 0 || progress > 100 || progress < lastProgress)
                    outcome.progressInOrder = false;
                lastProgress = progress;
            });
            observer.starting(operation);
            run(loader, operation, parameter);
            observer.ended(operation, outcome);
            // Before the next operation the driver follows what the device
            // did meanwhile (it may have restarted), as hot-plug makes it do,
            // and interfaces that vanished go; so may the loader.
            driver.onWinDevChangeEvent();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            loader = firstLoader(driver);
        }
    }
    // Interfaces that vanished in a reopen go by deferred deletion.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return loaderFound;
}
