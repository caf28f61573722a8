#pragma once

// Watches the window system's device-change broadcast on the main thread and
// emits deviceListChanged() for every DBT_DEVNODES_CHANGED. Windows only.

#include "qtcompat.h"

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QObject>

class WinDevChangeEventFilter : public QObject, public QAbstractNativeEventFilter
{
    Q_OBJECT

public:
    WinDevChangeEventFilter();

    // Handles WM_DEVICECHANGE / DBT_DEVNODES_CHANGED (returns true, result
    // untouched); every other message passes on. The event type is not examined.
    bool nativeEventFilter(
        const QByteArray &eventType, void *message, QtCompat::NativeEventResult *result) override;

signals:
    void deviceListChanged();
};
