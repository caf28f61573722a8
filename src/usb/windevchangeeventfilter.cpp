#include "usb/windevchangeeventfilter.h"

#include "usb/devicechangemessage.h"

#include <windows.h>

WinDevChangeEventFilter::WinDevChangeEventFilter()
    : QObject(nullptr)
{ }

bool WinDevChangeEventFilter::nativeEventFilter(
    const QByteArray &, void *message, QtCompat::NativeEventResult *)
{
    const MSG *windowMessage = static_cast<const MSG *>(message);
    if (!isDeviceTreeChange(windowMessage->message, std::uintptr_t(windowMessage->wParam)))
        return false;
    emit deviceListChanged();
    return true;
}
