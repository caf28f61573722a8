#pragma once

// Watches the window system's device-change messages on the thread that
// creates it (the main thread) and emits deviceListChanged() for every
// DBT_DEVNODES_CHANGED broadcast, and for every arrival or removal of a
// device interface of the device's interface GUID, which Windows sends to a
// message-only window the filter owns and registers for them. Windows only.

#include "qtcompat.h"

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QObject>

class WinDevChangeEventFilter : public QObject, public QAbstractNativeEventFilter
{
    Q_OBJECT

public:
    // The window class of the message-only window that receives the
    // device-interface notifications.
    static constexpr wchar_t windowClassName[] = L"TalvexDeviceInterfaceWatcher";

    WinDevChangeEventFilter();
    ~WinDevChangeEventFilter() override;

    // Handles the device-change messages that pass through the event loop
    // (returns true, result untouched); every other message passes on. The
    // event type is not examined.
    bool nativeEventFilter(
        const QByteArray &eventType, void *message, QtCompat::NativeEventResult *result) override;

signals:
    void deviceListChanged();

private:
    void *m_window = nullptr; // HWND
    void *m_notification = nullptr; // HDEVNOTIFY
};
