#include "protocol/usbfirmwareloader.h"

#include "firmware/firmwarefile.h"
#include "protocol/bulktransferwithbatches.h"
#include "protocol/datapipes.h"
#include "protocol/loaderrequest.h"

#include <climits>
#include <cstring>

// The largest file the loader accepts must fit what carries it here: the
// image information's 32-bit dataSize, and the batches' int offsets.
static_assert(FirmwareFile::maxPayloadSize <= UINT32_MAX, "dataSize is 32 bits");
static_assert(FirmwareFile::maxPayloadSize <= INT_MAX - BulkTransferWithBatches::defaultBatchSize,
    "batch offsets are ints");

UsbFirmwareLoader::UsbFirmwareLoader(USBInterface *usbInterface)
    : QObject(nullptr)
    , usbInterface(usbInterface)
{ }

bool UsbFirmwareLoader::sendFirmware(QSharedPointer<FirmwareFile> firmware)
{
    const QByteArray announcement = firmware->imageInfo();
    std::memcpy(&imageInfo, announcement.constData(), sizeof imageInfo);
    emit programmingProgress(0);
    usbInterface->controlOut(requestCode(LoaderRequest::WriteImageInfo), 0,
        QByteArray(reinterpret_cast<const char *>(&imageInfo), sizeof imageInfo));

    BulkTransferWithBatches batches(dataOutPipe(usbInterface));
    connect(&batches, &BulkTransferWithBatches::programmingProgress, this,
        &UsbFirmwareLoader::programmingProgress);
    batches.setData(firmware->data());
    return batches.transfer();
}
