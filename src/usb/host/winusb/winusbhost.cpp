#include "usb/host/winusb/winusbhost.h"

#include "usb/host/usbbatchqueue.h"

#include <windows.h>

#include <setupapi.h>
#include <winusb.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == sizeof(UsbInterfaceDescriptor),
    "WinUSB's interface descriptor has the bus layout");
static_assert(sizeof(WINUSB_SETUP_PACKET) == sizeof(UsbSetupPacket), "setup packet is 8 bytes");
#ifndef _WIN64
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "32-bit interface data record");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6, "32-bit fixed part of the detail record");
#endif

namespace {

HANDLE fileOf(UsbFileHandle file)
{
    return reinterpret_cast<HANDLE>(std::uintptr_t(file));
}

WINUSB_INTERFACE_HANDLE interfaceOf(UsbInterfaceHandle handle)
{
    return reinterpret_cast<WINUSB_INTERFACE_HANDLE>(std::uintptr_t(handle));
}

UsbInterfaceHandle toHandle(WINUSB_INTERFACE_HANDLE handle)
{
    return UsbInterfaceHandle(reinterpret_cast<std::uintptr_t>(handle));
}

GUID toGuid(const UsbGuid &guid)
{
    GUID native;
    native.Data1 = guid.data1;
    native.Data2 = guid.data2;
    native.Data3 = guid.data3;
    std::memcpy(native.Data4, guid.data4, sizeof native.Data4);
    return native;
}

// A bulk or interrupt pipe's own default is to wait for the device forever;
// every pipe the layer learns of gets the seam's transfer time-out instead.
// The default control pipe's own default is already 5 s.
bool boundTransfers(WINUSB_INTERFACE_HANDLE handle, const WINUSB_PIPE_INFORMATION &pipe)
{
    if (pipe.PipeType != UsbdPipeTypeBulk && pipe.PipeType != UsbdPipeTypeInterrupt)
        return true;
    ULONG timeoutMs = UsbHost::transferTimeoutMs;
    return WinUsb_SetPipePolicy(handle, pipe.PipeId, PIPE_TRANSFER_TIMEOUT, sizeof timeoutMs, &timeoutMs);
}

// Why CreateFileW failed. WinUSB grants a device to one handle at a time,
// so a device open elsewhere answers "access denied"; Windows has no
// per-user permission on it that a user could change.
UsbOpenError openErrorOf(DWORD lastError)
{
    switch (lastError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
        return UsbOpenError::NotPresent;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return UsbOpenError::InUse;
    default:
        return UsbOpenError::Failed;
    }
}

} // namespace

bool WinUsbHost::listInterfacePaths(const UsbGuid &guid, std::vector<std::u16string> &paths)
{
    paths.clear();
    const GUID interfaceGuid = toGuid(guid);
    const HDEVINFO set
        = SetupDiGetClassDevsW(&interfaceGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVICE_INTERFACE_DATA interfaceData;
    interfaceData.cbSize = sizeof interfaceData;
    bool complete = false;
    for (DWORD index = 0;; ++index) {
        // The last error means something only after a failure: a call that
        // succeeds need not clear it.
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceGuid, index, &interfaceData)) {
            complete = GetLastError() == ERROR_NO_MORE_ITEMS;
            break;
        }
        DWORD required = 0;
        if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &required, nullptr)
            && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            break;
        auto *detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(LocalAlloc(LMEM_FIXED, required));
        if (!detail)
            break;
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, required, nullptr, nullptr)) {
            LocalFree(detail);
            break;
        }
        paths.emplace_back(reinterpret_cast<const char16_t *>(detail->DevicePath));
        LocalFree(detail);
    }
    SetupDiDestroyDeviceInfoList(set);
    return complete;
}

bool WinUsbHost::openFile(const std::u16string &path, UsbFileHandle &file, UsbOpenError &error)
{
    const HANDLE opened = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE,
        0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        error = openErrorOf(GetLastError());
        return false;
    }
    file = UsbFileHandle(reinterpret_cast<std::uintptr_t>(opened));
    error = UsbOpenError::None;
    return true;
}

bool WinUsbHost::initialize(UsbFileHandle file, UsbInterfaceHandle &firstInterface)
{
    WINUSB_INTERFACE_HANDLE handle = nullptr;
    if (!WinUsb_Initialize(fileOf(file), &handle))
        return false;
    firstInterface = toHandle(handle);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_firstInterfaces[std::uintptr_t(file)] = std::uintptr_t(firstInterface);
    return true;
}

bool WinUsbHost::freeInterface(UsbInterfaceHandle handle)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto entry = m_firstInterfaces.begin(); entry != m_firstInterfaces.end(); ++entry) {
            if (entry->second == std::uintptr_t(handle)) {
                m_firstInterfaces.erase(entry);
                break;
            }
        }
    }
    return WinUsb_Free(interfaceOf(handle));
}

bool WinUsbHost::closeFile(UsbFileHandle file)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_firstInterfaces.erase(std::uintptr_t(file));
    }
    return CloseHandle(fileOf(file));
}

bool WinUsbHost::isAttached(UsbFileHandle file)
{
    std::uintptr_t first = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_firstInterfaces.find(std::uintptr_t(file));
        if (found == m_firstInterfaces.end())
            return false;
        first = found->second;
    }
    UCHAR speed = 0;
    ULONG length = sizeof speed;
    if (WinUsb_QueryDeviceInformation(
            reinterpret_cast<WINUSB_INTERFACE_HANDLE>(first), DEVICE_SPEED, &length, &speed))
        return true;
    // Only a device that has gone makes WinUSB refuse this question.
    const DWORD lastError = GetLastError();
    return lastError != ERROR_BAD_COMMAND && lastError != ERROR_DEVICE_NOT_CONNECTED
        && lastError != ERROR_DEV_NOT_EXIST && lastError != ERROR_INVALID_HANDLE;
}

bool WinUsbHost::getDescriptor(UsbInterfaceHandle handle, uint8_t type, uint8_t index, uint16_t languageId,
    uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    ULONG moved = 0;
    const BOOL ok
        = WinUsb_GetDescriptor(interfaceOf(handle), type, index, languageId, buffer, length, &moved);
    transferred = ok ? moved : 0;
    return ok;
}

bool WinUsbHost::getAssociatedInterface(
    UsbInterfaceHandle handle, uint8_t associatedIndex, UsbInterfaceHandle &associated)
{
    WINUSB_INTERFACE_HANDLE other = nullptr;
    if (!WinUsb_GetAssociatedInterface(interfaceOf(handle), associatedIndex, &other))
        return false;
    associated = toHandle(other);
    return true;
}

bool WinUsbHost::queryInterfaceSettings(
    UsbInterfaceHandle handle, uint8_t alternateSetting, UsbInterfaceDescriptor &descriptor)
{
    USB_INTERFACE_DESCRIPTOR native {};
    if (!WinUsb_QueryInterfaceSettings(interfaceOf(handle), alternateSetting, &native))
        return false;
    std::memcpy(&descriptor, &native, sizeof descriptor);
    return true;
}

bool WinUsbHost::queryPipe(
    UsbInterfaceHandle handle, uint8_t alternateSetting, uint8_t pipeIndex, UsbPipeInformation &pipe)
{
    WINUSB_PIPE_INFORMATION native {};
    // A pipe whose transfers could not be bounded is not handed out: it
    // could hold the caller's thread without end.
    if (!WinUsb_QueryPipe(interfaceOf(handle), alternateSetting, pipeIndex, &native)
        || !boundTransfers(interfaceOf(handle), native))
        return false;
    pipe.PipeType = uint32_t(native.PipeType);
    pipe.PipeId = native.PipeId;
    pipe.MaximumPacketSize = native.MaximumPacketSize;
    pipe.Interval = native.Interval;
    return true;
}

bool WinUsbHost::controlTransfer(UsbInterfaceHandle handle, const UsbSetupPacket &setup, uint8_t *buffer,
    uint32_t length, uint32_t &transferred)
{
    WINUSB_SETUP_PACKET packet;
    packet.RequestType = setup.RequestType;
    packet.Request = setup.Request;
    packet.Value = setup.Value;
    packet.Index = setup.Index;
    packet.Length = setup.Length;
    ULONG moved = 0;
    const BOOL ok = WinUsb_ControlTransfer(interfaceOf(handle), packet, buffer, length, &moved, nullptr);
    transferred = ok ? moved : 0;
    return ok;
}

bool WinUsbHost::readPipe(
    UsbInterfaceHandle handle, uint8_t pipeId, uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    ULONG moved = 0;
    const BOOL ok = WinUsb_ReadPipe(interfaceOf(handle), pipeId, buffer, length, &moved, nullptr);
    transferred = moved;
    return ok;
}

bool WinUsbHost::writePipe(
    UsbInterfaceHandle handle, uint8_t pipeId, const uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    ULONG moved = 0;
    // WinUSB takes one buffer type for both directions and does not write to an OUT buffer.
    const BOOL ok = WinUsb_WritePipe(
        interfaceOf(handle), pipeId, const_cast<uint8_t *>(buffer), length, &moved, nullptr);
    transferred = moved;
    return ok;
}

namespace {

// One pipe's overlapped writes, for the batch queue of a pipelined write.
// WinUSB completes a pipe's writes in the order they were made, so the
// oldest one is the one to wait for.
class WinUsbQueuedWrites : public UsbBatchQueue::Transfers
{
public:
    WinUsbQueuedWrites(WINUSB_INTERFACE_HANDLE pipeHandle, uint8_t pipeId, uint32_t depth)
        : m_pipeHandle(pipeHandle)
        , m_pipeId(pipeId)
        , m_slots(depth)
    {
        for (Slot &slot : m_slots)
            slot.overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }

    // The batch queue has waited for every write, so WinUSB holds no event.
    ~WinUsbQueuedWrites() override
    {
        for (const Slot &slot : m_slots) {
            if (slot.overlapped.hEvent)
                CloseHandle(slot.overlapped.hEvent);
        }
    }

    WinUsbQueuedWrites(const WinUsbQueuedWrites &) = delete;
    WinUsbQueuedWrites &operator=(const WinUsbQueuedWrites &) = delete;

    bool submit(uint32_t batch, const uint8_t *data, uint32_t length) override
    {
        Slot &slot = m_slots[batch % m_slots.size()];
        const HANDLE event = slot.overlapped.hEvent;
        if (!event)
            return false;
        slot.overlapped = OVERLAPPED {};
        slot.overlapped.hEvent = event;
        // A write that ends at once still reports through its overlapped structure.
        ULONG movedNow = 0;
        if (!WinUsb_WritePipe(m_pipeHandle, m_pipeId, const_cast<uint8_t *>(data), length, &movedNow,
                &slot.overlapped)
            && GetLastError() != ERROR_IO_PENDING)
            return false;
        m_submitted.push_back(batch);
        return true;
    }

    // WinUSB cancels a pipe's writes only all at once, and the queue cancels
    // every batch in flight together: nothing from the failed batch on may
    // reach the device.
    void cancel(uint32_t) override
    {
        if (!m_aborted)
            WinUsb_AbortPipe(m_pipeHandle, m_pipeId);
        m_aborted = true;
    }

    void awaitEnds() override
    {
        const uint32_t batch = m_submitted.front();
        m_submitted.pop_front();
        DWORD moved = 0;
        const bool ok = WinUsb_GetOverlappedResult(
            m_pipeHandle, &m_slots[batch % m_slots.size()].overlapped, &moved, TRUE);
        ended(batch, ok, ok ? moved : 0);
    }

private:
    struct Slot
    {
        OVERLAPPED overlapped {};
    };

    const WINUSB_INTERFACE_HANDLE m_pipeHandle;
    const uint8_t m_pipeId;
    std::vector<Slot> m_slots;
    std::deque<uint32_t> m_submitted; // in the order WinUSB ends them
    bool m_aborted = false;
};

} // namespace

bool WinUsbHost::writePipeBatches(UsbInterfaceHandle handle, uint8_t pipeId, const uint8_t *buffer,
    uint32_t length, uint32_t batchSize, uint32_t depth, const BatchWritten &written)
{
    if (depth <= 1 || batchSize == 0 || length <= batchSize)
        return UsbHost::writePipeBatches(handle, pipeId, buffer, length, batchSize, depth, written);
    WinUsbQueuedWrites writes(interfaceOf(handle), pipeId, std::min(depth, (length - 1) / batchSize + 1));
    return UsbBatchQueue::write(writes, buffer, length, batchSize, depth, written);
}
