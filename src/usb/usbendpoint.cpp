#include "usb/usbendpoint.h"

#include "usb/host/usbhost.h"
#include "usb/usbdevice.h"
#include "usb/usbinterface.h"

#include <algorithm>

USBEndpoint::USBEndpoint(USBInterface *parent, uint8_t pipeIndex)
    : QObject(parent)
    , m_ownerInterface(parent)
    , m_pipeIndex(pipeIndex)
{
    if (!parent->host()->queryPipe(parent->handle(), 0, m_pipeIndex, m_pipeInformation))
        throw EndpointQueryException();
}

bool USBEndpoint::read(QByteArray &buffer)
{
    if (!isInPipe())
        return false;
    uint32_t transferred = 0;
    const bool ok = m_ownerInterface->host()->readPipe(m_ownerInterface->handle(), m_pipeInformation.PipeId,
        reinterpret_cast<uint8_t *>(buffer.data()), uint32_t(buffer.size()), transferred);
    // After a failure the count means nothing, whatever the host reported.
    buffer.resize(ok ? int(std::min(transferred, uint32_t(buffer.size()))) : 0);
    return ok;
}

bool USBEndpoint::write(const QByteArray &data)
{
    if (isInPipe())
        return false;
    uint32_t transferred = 0;
    const bool ok = m_ownerInterface->host()->writePipe(m_ownerInterface->handle(), m_pipeInformation.PipeId,
        reinterpret_cast<const uint8_t *>(data.constData()), uint32_t(data.size()), transferred);
    return ok && transferred == uint32_t(data.size());
}

bool USBEndpoint::writeBatches(
    const QByteArray &data, int batchSize, int depth, const std::function<void(int batch)> &written)
{
    if (isInPipe() || batchSize <= 0)
        return false;
    return m_ownerInterface->host()->writePipeBatches(m_ownerInterface->handle(), m_pipeInformation.PipeId,
        reinterpret_cast<const uint8_t *>(data.constData()), uint32_t(data.size()), uint32_t(batchSize),
        uint32_t(std::max(depth, 1)), [&written](uint32_t batch) { written(int(batch)); });
}
