#include "usb/host/sim/simdevicemodel.h"

#include <algorithm>
#include <cstring>

bool SimDeviceModel::controlTransfer(
    const SimTarget &, const UsbSetupPacket &setup, uint8_t *, uint32_t length, uint32_t &transferred)
{
    const bool in = setup.RequestType & UsbEndpointDirectionIn;
    transferred = in ? 0 : length;
    return !in;
}

bool SimDeviceModel::readPipe(const SimTarget &, uint8_t, uint8_t *, uint32_t, uint32_t &transferred)
{
    transferred = 0;
    return false;
}

bool SimDeviceModel::writePipe(
    const SimTarget &, uint8_t, const uint8_t *, uint32_t length, uint32_t &transferred)
{
    transferred = length;
    return true;
}

void SimScriptedModel::setControlAnswer(uint8_t request, std::vector<uint8_t> answer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answers[request] = std::move(answer);
}

void SimScriptedModel::queueBulkIn(uint8_t pipeId, std::vector<uint8_t> chunk)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bulkIn[pipeId].push_back(std::move(chunk));
}

void SimScriptedModel::setWriteLimit(uint32_t bytesPerWrite)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_writeLimit = bytesPerWrite;
}

void SimScriptedModel::setReadsFailAfterMoving(bool fail)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_readsFailAfterMoving = fail;
}

std::vector<SimScriptedModel::ControlOut> SimScriptedModel::controlOuts() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_controlOuts;
}

std::vector<UsbSetupPacket> SimScriptedModel::controlIns() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_controlIns;
}

std::vector<uint8_t> SimScriptedModel::bulkOut(uint8_t pipeId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_bulkOut.find(pipeId);
    return found == m_bulkOut.end() ? std::vector<uint8_t>() : found->second;
}

bool SimScriptedModel::controlTransfer(
    const SimTarget &, const UsbSetupPacket &setup, uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    transferred = 0;
    if (!(setup.RequestType & UsbEndpointDirectionIn)) {
        m_controlOuts.push_back(
            {setup, buffer ? std::vector<uint8_t>(buffer, buffer + length) : std::vector<uint8_t>()});
        transferred = length;
        return true;
    }
    m_controlIns.push_back(setup);
    const auto answer = m_answers.find(setup.Request);
    if (answer == m_answers.end())
        return false;
    transferred = uint32_t(std::min<size_t>(length, answer->second.size()));
    std::copy_n(answer->second.begin(), transferred, buffer);
    return true;
}

bool SimScriptedModel::readPipe(
    const SimTarget &, uint8_t pipeId, uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    transferred = 0;
    auto &queue = m_bulkIn[pipeId];
    if (queue.empty())
        return false;
    std::vector<uint8_t> chunk = std::move(queue.front());
    queue.pop_front();
    transferred = uint32_t(std::min<size_t>(length, chunk.size()));
    std::copy_n(chunk.begin(), transferred, buffer);
    return !m_readsFailAfterMoving;
}

bool SimScriptedModel::writePipe(
    const SimTarget &, uint8_t pipeId, const uint8_t *data, uint32_t length, uint32_t &transferred)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    transferred = m_writeLimit > 0 ? std::min(length, m_writeLimit) : length;
    auto &sink = m_bulkOut[pipeId];
    sink.insert(sink.end(), data, data + transferred);
    return true;
}
