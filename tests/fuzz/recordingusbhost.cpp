#include "recordingusbhost.h"

RecordingUsbHost::RecordingUsbHost(std::shared_ptr<UsbHost> device)
    : m_device(std::move(device))
{ }

std::vector<uint8_t> RecordingUsbHost::input(const uint8_t (&header)[FuzzAnswer::headerSize]) const
{
    FuzzAnswer::Writer input;
    input.bytes(header, FuzzAnswer::headerSize);
    input.bytes(m_answers.data().data(), m_answers.data().size());
    return input.data();
}

bool RecordingUsbHost::flag(bool result)
{
    m_answers.byte(result ? FuzzAnswer::succeeds : 0);
    return result;
}

bool RecordingUsbHost::listInterfacePaths(const UsbGuid &guid, std::vector<std::u16string> &paths)
{
    const bool ok = m_device->listInterfacePaths(guid, paths);
    // The fuzz host names its own paths; only how many there are, and
    // whether they differ, carries over. A session records one device.
    const std::size_t count = std::min<std::size_t>(paths.size(), 3);
    m_answers.byte(uint8_t((ok ? FuzzAnswer::succeeds : 0) | count << FuzzAnswer::pathCountShift));
    return ok;
}

bool RecordingUsbHost::openFile(const std::u16string &path, UsbFileHandle &file, UsbOpenError &error)
{
    const bool ok = m_device->openFile(path, file, error);
    const int reason = ok ? 0 : (int(error) + FuzzAnswer::openErrorCount - 1) % FuzzAnswer::openErrorCount;
    m_answers.byte(uint8_t((ok ? FuzzAnswer::succeeds : 0) | reason << FuzzAnswer::openErrorShift));
    return ok;
}

bool RecordingUsbHost::initialize(UsbFileHandle file, UsbInterfaceHandle &firstInterface)
{
    return flag(m_device->initialize(file, firstInterface));
}

bool RecordingUsbHost::freeInterface(UsbInterfaceHandle handle)
{
    return m_device->freeInterface(handle);
}

bool RecordingUsbHost::closeFile(UsbFileHandle file)
{
    return m_device->closeFile(file);
}

bool RecordingUsbHost::isAttached(UsbFileHandle file)
{
    return flag(m_device->isAttached(file));
}

bool RecordingUsbHost::getDescriptor(UsbInterfaceHandle handle, uint8_t type, uint8_t index,
    uint16_t languageId, uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    const bool ok = m_device->getDescriptor(handle, type, index, languageId, buffer, length, transferred);
    FuzzAnswer::writeTransfer(m_answers, {ok, ok ? transferred : 0}, length, 1);
    if (ok)
        m_answers.bytes(buffer, transferred);
    return ok;
}

bool RecordingUsbHost::getAssociatedInterface(
    UsbInterfaceHandle handle, uint8_t associatedIndex, UsbInterfaceHandle &associated)
{
    return flag(m_device->getAssociatedInterface(handle, associatedIndex, associated));
}

bool RecordingUsbHost::queryInterfaceSettings(
    UsbInterfaceHandle handle, uint8_t alternateSetting, UsbInterfaceDescriptor &descriptor)
{
    if (!flag(m_device->queryInterfaceSettings(handle, alternateSetting, descriptor)))
        return false;
    m_answers.bytes(reinterpret_cast<const uint8_t *>(&descriptor), sizeof descriptor);
    return true;
}

bool RecordingUsbHost::queryPipe(
    UsbInterfaceHandle handle, uint8_t alternateSetting, uint8_t pipeIndex, UsbPipeInformation &pipe)
{
    if (!flag(m_device->queryPipe(handle, alternateSetting, pipeIndex, pipe)))
        return false;
    m_answers.byte(uint8_t(pipe.PipeType));
    m_answers.byte(pipe.PipeId);
    m_answers.word(pipe.MaximumPacketSize);
    m_answers.byte(pipe.Interval);
    return true;
}

bool RecordingUsbHost::controlTransfer(UsbInterfaceHandle handle, const UsbSetupPacket &setup,
    uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    const bool ok = m_device->controlTransfer(handle, setup, buffer, length, transferred);
    FuzzAnswer::writeTransfer(m_answers, {ok, transferred}, length, 2);
    if (setup.RequestType & UsbEndpointDirectionIn)
        m_answers.bytes(buffer, transferred);
    return ok;
}

bool RecordingUsbHost::readPipe(
    UsbInterfaceHandle handle, uint8_t pipeId, uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    const bool ok = m_device->readPipe(handle, pipeId, buffer, length, transferred);
    FuzzAnswer::writeTransfer(m_answers, {ok, transferred}, length, 4);
    FuzzAnswer::writeBulkData(m_answers, buffer, transferred);
    return ok;
}

bool RecordingUsbHost::writePipe(
    UsbInterfaceHandle handle, uint8_t pipeId, const uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    const bool ok = m_device->writePipe(handle, pipeId, buffer, length, transferred);
    FuzzAnswer::writeTransfer(m_answers, {ok, transferred}, length, 4);
    return ok;
}
