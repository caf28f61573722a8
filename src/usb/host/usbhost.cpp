#include "usb/host/usbhost.h"

bool UsbHost::writePipeBatches(UsbInterfaceHandle handle, uint8_t pipeId, const uint8_t *buffer,
    uint32_t length, uint32_t batchSize, uint32_t /*depth*/, const BatchWritten &written)
{
    if (batchSize == 0)
        return length == 0;
    uint32_t batch = 0;
    for (uint32_t offset = 0; offset < length; offset += batchSize, ++batch) {
        const uint32_t size = std::min(batchSize, length - offset);
        uint32_t transferred = 0;
        if (!writePipe(handle, pipeId, buffer + offset, size, transferred) || transferred != size)
            return false;
        written(batch);
    }
    return true;
}
