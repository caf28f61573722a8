#pragma once

// Present devices, by path, that the driver's last scan found but could not
// use for one reason, so the window and the command line can say why the
// device does not show up. Owned by USBDriver and moved with it to the
// worker thread; paths() may be called from any thread.

#include <QMutex>
#include <QObject>
#include <QStringList>

class DevicePathList : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    QStringList paths() const;
    // Takes a scan's findings; emits changed() only when they differ.
    void update(const QStringList &paths);

signals:
    // paths is the new list, empty once every such device is usable or gone.
    void changed(QStringList paths);

private:
    mutable QMutex m_mutex; // guards m_paths
    QStringList m_paths;
};
