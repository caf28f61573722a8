#pragma once

// A source of device-change notifications where the window system's
// broadcast is not available: whoever learns of a change emits
// deviceListChanged(), and the driver scans.

#include <QObject>

class DeviceChangeNotifier : public QObject
{
    Q_OBJECT

public:
    explicit DeviceChangeNotifier(QObject *parent = nullptr);

signals:
    void deviceListChanged();
};
