// The loader's operations that move blocks: the firmware image, the factory
// configuration and the user-settings slots.

#include "protocol/usbloader.h"

#include "firmware/firmwarefile.h"
#include "protocol/bulktransferwithbatches.h"
#include "protocol/datapipes.h"
#include "protocol/loaderrecords.h"
#include "protocol/loaderrequest.h"
#include "protocol/usbdatareader.h"
#include "protocol/usbfirmwareloader.h"
#include "protocol/usbsettingsloader.h"
#include "protocol/wire.h"
#include "usb/usbinterface.h"

#include <QMutexLocker>

#include <cstring>

namespace {

constexpr int userSettingsSlots = 4;

} // namespace

bool UsbLoader::enterFlashingMode(bool &wasInFlashingMode)
{
    refreshStateIfRebound();
    wasInFlashingMode = flashingModeActive;
    if (!wasInFlashingMode)
        startFlashingMode();
    return flashingModeActive;
}

void UsbLoader::leaveFlashingModeIfEntered(bool wasInFlashingMode)
{
    if (!wasInFlashingMode)
        completes([this] { sendShortCommand(requestCode(LoaderRequest::StartApplication)); });
}

void UsbLoader::flashFirmware(QSharedPointer<FirmwareFile> firmware)
{
    beginWrite();
    bool wasInFlashingMode = true;
    bool written = false;
    TFirmwareInformation reported {};
    completes([&] {
        if (!firmware || !enterFlashingMode(wasInFlashingMode))
            return;
        UsbFirmwareLoader transfer(usbInterface());
        connect(&transfer, &UsbFirmwareLoader::programmingProgress, this, &UsbLoader::programmingProgress);
        // A failed batch or a device that never finishes leaves it in flashing mode.
        if (!transfer.sendFirmware(firmware) || !waitWhileBusy())
            return;
        const QByteArray record
            = readRecord(requestCode(LoaderRequest::ReadFirmwareInformation), sizeof reported);
        std::memcpy(&reported, record.constData(), sizeof reported);
        QMutexLocker locker(&m_recordsMutex);
        firmwareInformation = reported;
        written = true;
    });
    if (!written) {
        reportFailure();
        return;
    }
    // The device decides: a complete transfer counts only if it reports a valid firmware.
    if (isValid(reported)) {
        emit firmwareReprogrammed(reported.version, reported.subversion, reported.bugfix,
            buildNumber(reported), QString::fromUtf8(fieldText(reported.name, sizeof reported.name)));
    } else {
        reportFailure(Failure::ImageNotAccepted);
    }
    leaveFlashingModeIfEntered(wasInFlashingMode);
}

void UsbLoader::sendFactoryConfiguration(QByteArray data)
{
    beginWrite();
    bool wasInFlashingMode = true;
    bool sent = false;
    completes([&] {
        if (!enterFlashingMode(wasInFlashingMode))
            return;
        emit programmingProgress(0);
        usbInterface()->controlOut(requestCode(LoaderRequest::WriteFactoryConfigurationSize), 0,
            uint32ToWire(uint32_t(data.size())));
        BulkTransferWithBatches batches(dataOutPipe(usbInterface()));
        connect(
            &batches, &BulkTransferWithBatches::programmingProgress, this, &UsbLoader::programmingProgress);
        batches.setData(data);
        sent = batches.transfer();
    });
    if (!sent) {
        reportFailure();
        return;
    }
    emit factoryConfigurationSent();
    leaveFlashingModeIfEntered(wasInFlashingMode);
}

void UsbLoader::readFactoryConfiguration()
{
    QByteArray configuration;
    completes([&] {
        configuration
            = UsbDataReader(usbInterface(), requestCode(LoaderRequest::ReadFactoryConfiguration), 0).read();
    });
    emit factoryConfigurationReceived(configuration);
}

void UsbLoader::readUserSettings(uchar slotNumber)
{
    QByteArray settings;
    completes([&] {
        settings
            = UsbDataReader(usbInterface(), requestCode(LoaderRequest::ReadUserSettings), slotNumber).read();
    });
    emit userSettingsReceived(settings, slotNumber);
}

void UsbLoader::clearAllUserSettings()
{
    completes([this] {
        sendShortCommand(requestCode(LoaderRequest::EraseUserSettings));
        waitWhileBusy();
    });
}

void UsbLoader::sendUserSettings(QByteArray data, uchar slotNumber)
{
    beginWrite();
    // The device erases every slot at once, so writing one slot rewrites all
    // four; a slot number past them would be written nowhere.
    if (slotNumber >= userSettingsSlots) {
        reportFailure();
        return;
    }
    QByteArray blocks[userSettingsSlots];
    blocks[slotNumber] = data;
    bool sent = false;
    completes([&] {
        emit programmingProgress(0);
        for (int slot = 0; slot < userSettingsSlots; ++slot) {
            // A slot that cannot be read whole must not be erased: its
            // settings would be lost.
            if (slot != slotNumber
                && (!waitWhileBusy()
                    || !UsbDataReader(
                        usbInterface(), requestCode(LoaderRequest::ReadUserSettings), uint16_t(slot))
                            .readWhole(blocks[slot])))
                return;
            emit programmingProgress(10 * (slot + 1));
        }
        sendShortCommand(requestCode(LoaderRequest::EraseUserSettings));
        if (!waitWhileBusy())
            return;
        emit programmingProgress(50);
        sent = writeSettingsBlocks(blocks);
    });
    if (!sent) {
        reportFailure();
        return;
    }
    emit userSettingsSent(slotNumber);
}

bool UsbLoader::writeSettingsBlocks(const QByteArray (&blocks)[4])
{
    for (int slot = 0; slot < userSettingsSlots; ++slot) {
        if (!blocks[slot].isEmpty()) {
            if (!waitWhileBusy()
                || !UsbSettingsLoader(usbInterface()).sendSettings(blocks[slot], uint8_t(slot)))
                return false;
        }
        emit programmingProgress(60 + 10 * slot);
    }
    emit programmingProgress(100);
    return true;
}
