#include "protocol/usbsettingsloader.h"

#include "protocol/bulktransferwithbatches.h"
#include "protocol/datapipes.h"
#include "protocol/loaderrequest.h"
#include "protocol/loadertiming.h"
#include "protocol/wire.h"

UsbSettingsLoader::UsbSettingsLoader(USBInterface *usbInterface, QObject *parent)
    : QObject(parent)
    , usbInterface(usbInterface)
{ }

bool UsbSettingsLoader::sendSettings(QByteArray data, uint8_t slotNumber)
{
    BulkTransferWithBatches batches(dataOutPipe(usbInterface));
    connect(&batches, &BulkTransferWithBatches::programmingProgress, this, &UsbSettingsLoader::progress);
    emit progress(0);
    usbInterface->controlOut(
        requestCode(LoaderRequest::WriteUserSettings), slotNumber, uint32ToWire(uint32_t(data.size())));
    batches.setData(data);
    if (!batches.transfer())
        return false;
    // The device needs the pause after a settings write before it answers again.
    LoaderTiming::pause(LoaderTiming::settlePauseMs);
    return true;
}
