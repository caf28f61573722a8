#include "fuzzusbhost.h"

#include "protocol/loaderrequest.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Flags byte of the 24-byte firmware information record.
constexpr uint32_t firmwareInformationSize = 24;
constexpr uint32_t firmwareFlagsOffset = 23;

std::u16string devicePath(int number, bool tooLong)
{
    std::u16string path = u"\\\\?\\usb#vid_1209&pid_7a10#fuzz";
    path += char16_t(u'0' + number);
    if (tooLong)
        path.append(300, u'x');
    return path;
}

// With FUZZ_TRACE set, every call and its answer goes to stderr, for
// reading what a finding's input makes the device say.
void trace(const char *format, ...)
{
    static const bool enabled = std::getenv("FUZZ_TRACE") != nullptr;
    if (!enabled)
        return;
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
}

} // namespace

void fuzzFault(const char *what)
{
    std::fprintf(stderr, "device-side fault: %s\n", what);
    std::abort();
}

FuzzUsbHost::FuzzUsbHost(const uint8_t *data, std::size_t size)
    : m_input(data, size)
{ }

FuzzUsbHost::OpenFile &FuzzUsbHost::file(UsbFileHandle handle, const char *call)
{
    const auto found = m_files.find(std::uintptr_t(handle));
    if (found == m_files.end()) {
        std::fprintf(stderr, "%s: ", call);
        fuzzFault("a file handle used that was never issued or is already closed");
    }
    return found->second;
}

FuzzUsbHost::LiveInterface &FuzzUsbHost::interfaceOf(UsbInterfaceHandle handle, const char *call)
{
    const auto found = m_interfaces.find(std::uintptr_t(handle));
    if (found == m_interfaces.end()) {
        std::fprintf(stderr, "%s: ", call);
        fuzzFault("an interface handle used that was never issued or is already freed");
    }
    if (!m_files.count(found->second.file)) {
        std::fprintf(stderr, "%s: ", call);
        fuzzFault("an interface handle used after its file was closed");
    }
    return found->second;
}

std::uintptr_t FuzzUsbHost::issueInterface(std::uintptr_t file, bool first)
{
    const std::uintptr_t handle = m_nextHandle++;
    m_interfaces.emplace(handle, LiveInterface {file, first});
    return handle;
}

bool FuzzUsbHost::listInterfacePaths(const UsbGuid &, std::vector<std::u16string> &paths)
{
    paths.clear();
    const uint8_t flags = m_input.byte();
    const int count = (flags & FuzzAnswer::pathCountMask) >> FuzzAnswer::pathCountShift;
    for (int i = 0; i < count; ++i)
        paths.push_back(
            devicePath(flags & FuzzAnswer::samePaths ? 0 : i, i == 0 && (flags & FuzzAnswer::longFirstPath)));
    trace("listInterfacePaths -> %d, %d paths\n", flags & FuzzAnswer::succeeds, count);
    return flags & FuzzAnswer::succeeds;
}

bool FuzzUsbHost::openFile(const std::u16string &, UsbFileHandle &file, UsbOpenError &error)
{
    const uint8_t answer = m_input.byte();
    if (!(answer & FuzzAnswer::succeeds)) {
        // Why it failed comes from the answer too, so that every reason's path runs.
        error = UsbOpenError(1 + (answer >> FuzzAnswer::openErrorShift) % FuzzAnswer::openErrorCount);
        trace("openFile -> failed (%d)\n", int(error));
        return false;
    }
    error = UsbOpenError::None;
    const std::uintptr_t handle = m_nextHandle++;
    m_files.emplace(handle, OpenFile {});
    file = UsbFileHandle(handle);
    trace("openFile -> file %zu\n", std::size_t(handle));
    return true;
}

bool FuzzUsbHost::initialize(UsbFileHandle handle, UsbInterfaceHandle &firstInterface)
{
    OpenFile &open = file(handle, "initialize");
    if (open.initialized)
        fuzzFault("a file initialized twice");
    if (!(m_input.byte() & FuzzAnswer::succeeds)) {
        trace("initialize(%zu) -> failed\n", std::size_t(handle));
        return false;
    }
    open.initialized = true;
    firstInterface = UsbInterfaceHandle(issueInterface(std::uintptr_t(handle), true));
    trace("initialize(%zu) -> interface %zu\n", std::size_t(handle), std::size_t(firstInterface));
    return true;
}

bool FuzzUsbHost::freeInterface(UsbInterfaceHandle handle)
{
    interfaceOf(handle, "freeInterface");
    trace("freeInterface(%zu)\n", std::size_t(handle));
    m_interfaces.erase(std::uintptr_t(handle));
    return true;
}

bool FuzzUsbHost::closeFile(UsbFileHandle handle)
{
    file(handle, "closeFile");
    for (const auto &live : m_interfaces) {
        if (live.second.file == std::uintptr_t(handle))
            fuzzFault("a file closed before its interfaces were freed");
    }
    m_files.erase(std::uintptr_t(handle));
    trace("closeFile(%zu)\n", std::size_t(handle));
    return true;
}

bool FuzzUsbHost::isAttached(UsbFileHandle handle)
{
    file(handle, "isAttached");
    const bool attached = m_input.byte() & FuzzAnswer::succeeds;
    trace("isAttached(%zu) -> %d\n", std::size_t(handle), attached);
    return attached;
}

bool FuzzUsbHost::getDescriptor(UsbInterfaceHandle handle, uint8_t type, uint8_t index, uint16_t,
    uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    interfaceOf(handle, "getDescriptor");
    transferred = 0;
    const FuzzAnswer::Transfer answer = FuzzAnswer::readTransfer(m_input, length, 1);
    trace("getDescriptor(%zu, type %d, index %d, %u) -> %d, %u\n", std::size_t(handle), type, index, length,
        answer.ok, answer.moved);
    // A failed descriptor request moves nothing.
    if (!answer.ok)
        return false;
    m_input.bytes(buffer, answer.moved, answer.moved);
    transferred = answer.moved;
    return true;
}

bool FuzzUsbHost::getAssociatedInterface(UsbInterfaceHandle handle, uint8_t, UsbInterfaceHandle &associated)
{
    const LiveInterface &origin = interfaceOf(handle, "getAssociatedInterface");
    if (!origin.first)
        fuzzFault("associated interfaces asked of a handle other than initialize's");
    if (!(m_input.byte() & FuzzAnswer::succeeds)) {
        trace("getAssociatedInterface(%zu) -> failed\n", std::size_t(handle));
        return false;
    }
    associated = UsbInterfaceHandle(issueInterface(origin.file, false));
    trace("getAssociatedInterface(%zu) -> interface %zu\n", std::size_t(handle), std::size_t(associated));
    return true;
}

bool FuzzUsbHost::queryInterfaceSettings(
    UsbInterfaceHandle handle, uint8_t, UsbInterfaceDescriptor &descriptor)
{
    interfaceOf(handle, "queryInterfaceSettings");
    if (!(m_input.byte() & FuzzAnswer::succeeds))
        return false;
    m_input.bytes(reinterpret_cast<uint8_t *>(&descriptor), sizeof descriptor, sizeof descriptor);
    trace("queryInterfaceSettings(%zu) -> number %d, class %02x/%02x/%02x, %d pipes\n", std::size_t(handle),
        descriptor.bInterfaceNumber, descriptor.bInterfaceClass, descriptor.bInterfaceSubClass,
        descriptor.bInterfaceProtocol, descriptor.bNumEndpoints);
    return true;
}

bool FuzzUsbHost::queryPipe(UsbInterfaceHandle handle, uint8_t, uint8_t, UsbPipeInformation &pipe)
{
    interfaceOf(handle, "queryPipe");
    if (!(m_input.byte() & FuzzAnswer::succeeds))
        return false;
    pipe.PipeType = m_input.byte();
    pipe.PipeId = m_input.byte();
    pipe.MaximumPacketSize = m_input.word();
    pipe.Interval = m_input.byte();
    trace("queryPipe(%zu) -> type %u, id %02x\n", std::size_t(handle), pipe.PipeType, pipe.PipeId);
    return true;
}

bool FuzzUsbHost::controlTransfer(UsbInterfaceHandle handle, const UsbSetupPacket &setup, uint8_t *buffer,
    uint32_t length, uint32_t &transferred)
{
    interfaceOf(handle, "controlTransfer");
    if (length > 0 && !buffer)
        fuzzFault("a control transfer with a data stage but no buffer");
    const FuzzAnswer::Transfer answer = FuzzAnswer::readTransfer(m_input, length, 2);
    const bool in = setup.RequestType & UsbEndpointDirectionIn;
    if (in)
        m_input.bytes(buffer, answer.moved, answer.moved);
    transferred = answer.moved;
    trace("controlTransfer(%zu, %s %d, %u) -> %d, %u\n", std::size_t(handle), in ? "in" : "out",
        setup.Request, length, answer.ok, answer.moved);
    if (in && setup.Request == requestCode(LoaderRequest::ReadFirmwareInformation) && answer.ok
        && answer.moved == firmwareInformationSize)
        m_lastFirmwareValid = buffer[firmwareFlagsOffset] & 0x01;
    return answer.ok;
}

bool FuzzUsbHost::readPipe(
    UsbInterfaceHandle handle, uint8_t, uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    interfaceOf(handle, "readPipe");
    const FuzzAnswer::Transfer answer = FuzzAnswer::readTransfer(m_input, length, 4);
    FuzzAnswer::readBulkData(m_input, buffer, answer.moved);
    transferred = answer.moved;
    trace("readPipe(%zu, %u) -> %d, %u\n", std::size_t(handle), length, answer.ok, answer.moved);
    return answer.ok;
}

bool FuzzUsbHost::writePipe(
    UsbInterfaceHandle handle, uint8_t, const uint8_t *, uint32_t length, uint32_t &transferred)
{
    interfaceOf(handle, "writePipe");
    const FuzzAnswer::Transfer answer = FuzzAnswer::readTransfer(m_input, length, 4);
    transferred = answer.moved;
    trace("writePipe(%zu, %u) -> %d, %u\n", std::size_t(handle), length, answer.ok, answer.moved);
    if (answer.ok && answer.moved == length)
        m_bytesWrittenWhole += length;
    return answer.ok;
}
