#pragma once

// Puts one firmware image on the wire: the 24-byte image information by
// control transfer, then the payload in 256-byte batches with progress. Knows
// nothing of flashing mode or of the device's answer. One object per flash,
// on the worker thread.

#include <QObject>
#include <QSharedPointer>

#include <cstddef>
#include <cstdint>

class FirmwareFile;
class USBInterface;

class UsbFirmwareLoader : public QObject
{
    Q_OBJECT

public:
#pragma pack(push, 1)
    // Bytes 32 to 55 of the file's header, exactly as stored.
    struct TImageInfo
    {
        uint32_t dataSize;
        uint32_t deviceWord;
        uint8_t deviceBlock[16];
    };
#pragma pack(pop)

    explicit UsbFirmwareLoader(USBInterface *usbInterface);

    // True when every payload batch was written. A refused announcement
    // throws USBInterface::ControlTransferException before any payload goes out.
    bool sendFirmware(QSharedPointer<FirmwareFile> firmware);

signals:
    void programmingProgress(int progress);

private:
    USBInterface *usbInterface;
    TImageInfo imageInfo {};
};

static_assert(sizeof(UsbFirmwareLoader::TImageInfo) == 24, "image information is 24 bytes");
static_assert(offsetof(UsbFirmwareLoader::TImageInfo, deviceWord) == 4, "device word at 4");
static_assert(offsetof(UsbFirmwareLoader::TImageInfo, deviceBlock) == 8, "device block at 8");
