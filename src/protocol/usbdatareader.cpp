#include "protocol/usbdatareader.h"

#include "protocol/datapipes.h"
#include "protocol/wire.h"

#include <new>

UsbDataReader::UsbDataReader(USBInterface *usbInterface, uint8_t request, uint16_t value, QObject *parent)
    : QObject(parent)
    , usbInterface(usbInterface)
    , request(request)
    , value(value)
{ }

QByteArray UsbDataReader::read()
{
    QByteArray block;
    fetch(block);
    return block;
}

bool UsbDataReader::readWhole(QByteArray &block)
{
    if (fetch(block) == Fetched::Whole)
        return true;
    block.clear();
    return false;
}

UsbDataReader::Fetched UsbDataReader::fetch(QByteArray &block)
{
    block.clear();
    const uint32_t announced = wireToUint32(usbInterface->controlIn(request, value, 4).constData());
    if (announced == 0)
        return Fetched::Whole;
    USBEndpoint *pipe = dataInPipe(usbInterface);
    if (announced > maxLength || !pipe)
        return Fetched::Failed;
    try {
        block.resize(int(announced));
    } catch (const std::bad_alloc &) {
        block.clear();
        return Fetched::Failed;
    }
    if (!pipe->read(block)) {
        block.clear();
        return Fetched::Failed;
    }
    return uint32_t(block.size()) == announced ? Fetched::Whole : Fetched::Short;
}
