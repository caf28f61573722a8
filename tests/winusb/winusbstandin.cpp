#include "winusbstandin.h"

#include <setupapi.h>
#include <winusb.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>

WinUsbStandIn &winUsbStandIn()
{
    static WinUsbStandIn standIn;
    return standIn;
}

namespace {

constexpr std::uintptr_t fileBase = 0x7A100000; // stand-in file handles, apart from the system's

struct InterfaceList
{
    std::vector<std::u16string> paths;
};

// A queued overlapped write, delivered to the bus when the host waits for it.
struct PendingWrite
{
    WINUSB_INTERFACE_HANDLE handle;
    UCHAR pipe;
    std::vector<uint8_t> data;
    LPOVERLAPPED overlapped;
};
std::deque<PendingWrite> pending; // guarded by the stand-in's mutex
std::map<std::uintptr_t, std::uintptr_t> interfaceFiles; // bus interface -> bus file; same guard

void note(
    const char *format, unsigned long a = 0, unsigned long b = 0, unsigned long c = 0, unsigned long d = 0)
{
    char line[160];
    std::snprintf(line, sizeof line, format, a, b, c, d);
    auto &standIn = winUsbStandIn();
    std::lock_guard<std::mutex> lock(standIn.mutex);
    standIn.log.emplace_back(line);
}

// Whether the test armed a failure for this call; sets the error if so.
bool armedFailure(const char *function)
{
    auto &standIn = winUsbStandIn();
    std::lock_guard<std::mutex> lock(standIn.mutex);
    const auto found = standIn.armed.find(function);
    if (found == standIn.armed.end())
        return false;
    SetLastError(found->second.error);
    if (found->second.count > 0 && --found->second.count == 0)
        standIn.armed.erase(found);
    return true;
}

std::uintptr_t fileOfInterface(WINUSB_INTERFACE_HANDLE handle)
{
    std::lock_guard<std::mutex> lock(winUsbStandIn().mutex);
    const auto found = interfaceFiles.find(std::uintptr_t(handle));
    return found == interfaceFiles.end() ? 0 : found->second;
}

// A bus call's answer as WinUSB gives it.
BOOL answer(bool ok, WINUSB_INTERFACE_HANDLE handle)
{
    if (!ok) {
        const std::uintptr_t file = fileOfInterface(handle);
        const bool gone = file && !winUsbStandIn().bus->isAttached(UsbFileHandle(file));
        SetLastError(gone ? ERROR_BAD_COMMAND : ERROR_GEN_FAILURE);
    }
    return ok;
}

UsbInterfaceHandle busInterface(WINUSB_INTERFACE_HANDLE handle)
{
    return UsbInterfaceHandle(std::uintptr_t(handle));
}

template <typename Function> Function systemFunction(const char *name)
{
    return reinterpret_cast<Function>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

HANDLE WINAPI standInCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
    DWORD disposition, DWORD flags, HANDLE templateFile)
{
    const std::u16string name(reinterpret_cast<const char16_t *>(path));
    if (name.rfind(u"\\\\?\\usb#", 0) != 0) {
        static const auto system = systemFunction<decltype(&CreateFileW)>("CreateFileW");
        return system(path, access, share, security, disposition, flags, templateFile);
    }
    note("CreateFileW %lx %lx %lx %lx", access, share, disposition, flags);
    if (armedFailure("CreateFileW"))
        return INVALID_HANDLE_VALUE;
    UsbFileHandle file {};
    UsbOpenError error = UsbOpenError::None;
    if (!winUsbStandIn().bus->openFile(name, file, error)) {
        SetLastError(error == UsbOpenError::NotPresent ? ERROR_FILE_NOT_FOUND
                : error == UsbOpenError::InUse         ? ERROR_SHARING_VIOLATION
                : error == UsbOpenError::AccessDenied  ? ERROR_ACCESS_DENIED
                                                       : ERROR_GEN_FAILURE);
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(fileBase + std::uintptr_t(file));
}

bool isStandInFile(HANDLE handle)
{
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    return value > fileBase && value < fileBase + 0x100000;
}

UsbFileHandle busFile(HANDLE handle)
{
    return UsbFileHandle(reinterpret_cast<std::uintptr_t>(handle) - fileBase);
}

BOOL WINAPI standInCloseHandle(HANDLE handle)
{
    if (!isStandInFile(handle)) {
        static const auto system = systemFunction<decltype(&CloseHandle)>("CloseHandle");
        return system(handle);
    }
    return winUsbStandIn().bus->closeFile(busFile(handle));
}

HDEVINFO WINAPI standInGetClassDevsW(const GUID *guid, PCWSTR, HWND, DWORD flags)
{
    note("SetupDiGetClassDevsW %lx", flags);
    if (armedFailure("SetupDiGetClassDevsW"))
        return INVALID_HANDLE_VALUE;
    UsbGuid wanted {guid->Data1, guid->Data2, guid->Data3, {}};
    std::memcpy(wanted.data4, guid->Data4, sizeof wanted.data4);
    auto *list = new InterfaceList;
    winUsbStandIn().bus->listInterfacePaths(wanted, list->paths);
    return list;
}

// Succeeding, the call leaves the thread's last error as it was, as a caller
// must not rely on the opposite.
BOOL WINAPI standInEnumDeviceInterfaces(
    HDEVINFO set, PSP_DEVINFO_DATA, const GUID *guid, DWORD index, PSP_DEVICE_INTERFACE_DATA data)
{
    const auto *list = static_cast<InterfaceList *>(set);
    if (armedFailure("SetupDiEnumDeviceInterfaces"))
        return FALSE;
    if (data->cbSize != sizeof *data) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (index >= list->paths.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = *guid;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = index;
    return TRUE;
}

BOOL WINAPI standInGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD required, PSP_DEVINFO_DATA)
{
    const auto *list = static_cast<InterfaceList *>(set);
    const std::u16string &path = list->paths.at(data->Reserved);
    const DWORD needed
        = DWORD(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + 2 * (path.size() + 1));
    if (required)
        *required = needed;
    if (!detail || size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof *detail) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), 2 * (path.size() + 1));
    return TRUE;
}

BOOL WINAPI standInDestroyDeviceInfoList(HDEVINFO set)
{
    delete static_cast<InterfaceList *>(set);
    return TRUE;
}

// Hands the queued writes to the device, oldest first, up to and including `until`.
void deliverUntil(LPOVERLAPPED until)
{
    while (until->Internal == STATUS_PENDING) {
        PendingWrite write;
        {
            std::lock_guard<std::mutex> lock(winUsbStandIn().mutex);
            if (pending.empty())
                return;
            write = std::move(pending.front());
            pending.pop_front();
        }
        uint32_t moved = 0;
        DWORD status = ERROR_SUCCESS;
        if (armedFailure("WinUsb_WritePipe"))
            status = GetLastError();
        else if (!answer(winUsbStandIn().bus->writePipe(busInterface(write.handle), write.pipe,
                             write.data.data(), uint32_t(write.data.size()), moved),
                     write.handle))
            status = GetLastError();
        write.overlapped->Internal = status;
        write.overlapped->InternalHigh = moved;
        SetEvent(write.overlapped->hEvent);
    }
}

} // namespace

extern "C" {

decltype(&CreateFileW) __imp_CreateFileW = standInCreateFileW;
decltype(&CloseHandle) __imp_CloseHandle = standInCloseHandle;
decltype(&SetupDiGetClassDevsW) __imp_SetupDiGetClassDevsW = standInGetClassDevsW;
decltype(&SetupDiEnumDeviceInterfaces) __imp_SetupDiEnumDeviceInterfaces = standInEnumDeviceInterfaces;
decltype(&SetupDiGetDeviceInterfaceDetailW) __imp_SetupDiGetDeviceInterfaceDetailW
    = standInGetDeviceInterfaceDetailW;
decltype(&SetupDiDestroyDeviceInfoList) __imp_SetupDiDestroyDeviceInfoList = standInDestroyDeviceInfoList;

WINBOOL WINAPI WinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle)
{
    UsbInterfaceHandle first {};
    if (armedFailure("WinUsb_Initialize"))
        return FALSE;
    if (!isStandInFile(file) || !winUsbStandIn().bus->initialize(busFile(file), first)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(winUsbStandIn().mutex);
    interfaceFiles[std::uintptr_t(first)] = std::uintptr_t(busFile(file));
    *handle = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(first);
    return TRUE;
}

WINBOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE handle)
{
    return winUsbStandIn().bus->freeInterface(busInterface(handle));
}

WINBOOL WINAPI WinUsb_QueryDeviceInformation(
    WINUSB_INTERFACE_HANDLE handle, ULONG type, PULONG length, PVOID buffer)
{
    const std::uintptr_t file = fileOfInterface(handle);
    if (type != DEVICE_SPEED || *length < 1 || !file) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!winUsbStandIn().bus->isAttached(UsbFileHandle(file))) {
        SetLastError(ERROR_BAD_COMMAND);
        return FALSE;
    }
    *static_cast<UCHAR *>(buffer) = HighSpeed;
    *length = 1;
    return TRUE;
}

WINBOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE handle, UCHAR type, UCHAR index, USHORT language,
    PUCHAR buffer, ULONG length, PULONG transferred)
{
    uint32_t moved = 0;
    const bool ok = winUsbStandIn().bus->getDescriptor(
        busInterface(handle), type, index, language, buffer, length, moved);
    *transferred = moved;
    return answer(ok, handle);
}

WINBOOL WINAPI WinUsb_GetAssociatedInterface(
    WINUSB_INTERFACE_HANDLE handle, UCHAR index, PWINUSB_INTERFACE_HANDLE associated)
{
    UsbInterfaceHandle other {};
    if (!winUsbStandIn().bus->getAssociatedInterface(busInterface(handle), index, other)) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(winUsbStandIn().mutex);
    interfaceFiles[std::uintptr_t(other)] = interfaceFiles[std::uintptr_t(handle)];
    *associated = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(other);
    return TRUE;
}

WINBOOL WINAPI WinUsb_QueryInterfaceSettings(
    WINUSB_INTERFACE_HANDLE handle, UCHAR setting, PUSB_INTERFACE_DESCRIPTOR descriptor)
{
    UsbInterfaceDescriptor found {};
    if (!winUsbStandIn().bus->queryInterfaceSettings(busInterface(handle), setting, found)) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    std::memcpy(descriptor, &found, sizeof found);
    return TRUE;
}

WINBOOL WINAPI WinUsb_QueryPipe(
    WINUSB_INTERFACE_HANDLE handle, UCHAR setting, UCHAR index, PWINUSB_PIPE_INFORMATION pipe)
{
    UsbPipeInformation found {};
    if (!winUsbStandIn().bus->queryPipe(busInterface(handle), setting, index, found)) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    pipe->PipeType = USBD_PIPE_TYPE(found.PipeType);
    pipe->PipeId = found.PipeId;
    pipe->MaximumPacketSize = found.MaximumPacketSize;
    pipe->Interval = found.Interval;
    return TRUE;
}

WINBOOL WINAPI WinUsb_SetPipePolicy(
    WINUSB_INTERFACE_HANDLE, UCHAR pipe, ULONG policy, ULONG length, PVOID value)
{
    note("WinUsb_SetPipePolicy %02lx %lx %lu %lu", pipe, policy, length,
        length == sizeof(ULONG) ? *static_cast<ULONG *>(value) : 0);
    return !armedFailure("WinUsb_SetPipePolicy");
}

WINBOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE handle, WINUSB_SETUP_PACKET packet,
    PUCHAR buffer, ULONG length, PULONG transferred, LPOVERLAPPED)
{
    *transferred = 0;
    if (armedFailure("WinUsb_ControlTransfer"))
        return FALSE;
    const UsbSetupPacket setup {
        packet.RequestType, packet.Request, packet.Value, packet.Index, packet.Length};
    uint32_t moved = 0;
    const bool ok = winUsbStandIn().bus->controlTransfer(busInterface(handle), setup, buffer, length, moved);
    *transferred = moved;
    return answer(ok, handle);
}

WINBOOL WINAPI WinUsb_ReadPipe(
    WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG transferred, LPOVERLAPPED)
{
    *transferred = 0;
    if (armedFailure("WinUsb_ReadPipe"))
        return FALSE;
    uint32_t moved = 0;
    const bool ok = winUsbStandIn().bus->readPipe(busInterface(handle), pipe, buffer, length, moved);
    *transferred = moved;
    return answer(ok, handle);
}

// Without an overlapped structure the write happens at once; with one it is
// queued and reaches the device when the host waits for it or a later one.
WINBOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length,
    PULONG transferred, LPOVERLAPPED overlapped)
{
    if (overlapped) {
        ResetEvent(overlapped->hEvent);
        overlapped->Internal = STATUS_PENDING;
        std::lock_guard<std::mutex> lock(winUsbStandIn().mutex);
        pending.push_back(
            PendingWrite {handle, pipe, std::vector<uint8_t>(buffer, buffer + length), overlapped});
        winUsbStandIn().mostInFlight = std::max(winUsbStandIn().mostInFlight, pending.size());
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    *transferred = 0;
    if (armedFailure("WinUsb_WritePipe"))
        return FALSE;
    uint32_t moved = 0;
    const bool ok = winUsbStandIn().bus->writePipe(busInterface(handle), pipe, buffer, length, moved);
    *transferred = moved;
    return answer(ok, handle);
}

WINBOOL WINAPI WinUsb_GetOverlappedResult(
    WINUSB_INTERFACE_HANDLE, LPOVERLAPPED overlapped, LPDWORD transferred, WINBOOL wait)
{
    if (wait)
        deliverUntil(overlapped);
    if (overlapped->Internal == STATUS_PENDING) {
        SetLastError(ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    *transferred = DWORD(overlapped->InternalHigh);
    if (overlapped->Internal != ERROR_SUCCESS) {
        SetLastError(DWORD(overlapped->Internal));
        return FALSE;
    }
    return TRUE;
}

// Ends every queued write on the pipe as cancelled; the device never sees them.
WINBOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe)
{
    note("WinUsb_AbortPipe %02lx", pipe);
    std::lock_guard<std::mutex> lock(winUsbStandIn().mutex);
    for (auto write = pending.begin(); write != pending.end();) {
        if (write->handle != handle || write->pipe != pipe) {
            ++write;
            continue;
        }
        write->overlapped->Internal = ERROR_OPERATION_ABORTED;
        write->overlapped->InternalHigh = 0;
        SetEvent(write->overlapped->hEvent);
        write = pending.erase(write);
    }
    return TRUE;
}

} // extern "C"
