#include "usb/windevchangeeventfilter.h"

#include "usb/devicechangemessage.h"
#include "usb/deviceinterfaceguid.h"

#include <QtGlobal>

#include <cstring>

#include <windows.h>

#include <dbt.h>

static_assert(sizeof(GUID) == sizeof(UsbGuid)
        && offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_classguid)
            == offsetof(DeviceInterfaceBroadcast, classGuid),
    "DEV_BROADCAST_DEVICEINTERFACE_W as the recognition reads it");

namespace {

bool isOurDeviceListChange(UINT message, WPARAM wParam, LPARAM lParam)
{
    return isDeviceListChange(
        message, std::uintptr_t(wParam), reinterpret_cast<const void *>(lParam), DEVICE_INTERFACE_GUID);
}

// Windows sends the device-interface notifications straight to the window
// procedure, past the event loop and its native event filters.
LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *filter = reinterpret_cast<WinDevChangeEventFilter *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (filter && isOurDeviceListChange(message, wParam, lParam)) {
        emit filter->deviceListChanged();
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HINSTANCE thisModule()
{
    return GetModuleHandleW(nullptr);
}

bool registerWindowClass()
{
    WNDCLASSEXW windowClass {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = thisModule();
    windowClass.lpszClassName = WinDevChangeEventFilter::windowClassName;
    return RegisterClassExW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

} // namespace

WinDevChangeEventFilter::WinDevChangeEventFilter()
    : QObject(nullptr)
{
    // Without the window the tool still follows DBT_DEVNODES_CHANGED, which
    // every top-level window gets.
    if (!registerWindowClass()) {
        qWarning("Device-interface notifications unavailable: window class not registered (error %lu)",
            GetLastError());
        return;
    }
    HWND window = CreateWindowExW(
        0, windowClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, thisModule(), nullptr);
    if (!window) {
        qWarning("Device-interface notifications unavailable: no window (error %lu)", GetLastError());
        return;
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    m_window = window;

    DEV_BROADCAST_DEVICEINTERFACE_W filter {};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    static_assert(sizeof filter.dbcc_classguid == sizeof DEVICE_INTERFACE_GUID, "GUID layout");
    std::memcpy(&filter.dbcc_classguid, &DEVICE_INTERFACE_GUID, sizeof filter.dbcc_classguid);
    m_notification = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (!m_notification)
        qWarning("Device-interface notifications unavailable: not registered (error %lu)", GetLastError());
}

WinDevChangeEventFilter::~WinDevChangeEventFilter()
{
    if (m_notification)
        UnregisterDeviceNotification(static_cast<HDEVNOTIFY>(m_notification));
    if (m_window) {
        // No message may reach a filter that is gone.
        SetWindowLongPtrW(static_cast<HWND>(m_window), GWLP_USERDATA, 0);
        DestroyWindow(static_cast<HWND>(m_window));
    }
}

bool WinDevChangeEventFilter::nativeEventFilter(
    const QByteArray &, void *message, QtCompat::NativeEventResult *)
{
    const MSG *windowMessage = static_cast<const MSG *>(message);
    if (!isOurDeviceListChange(windowMessage->message, windowMessage->wParam, windowMessage->lParam))
        return false;
    emit deviceListChanged();
    return true;
}
