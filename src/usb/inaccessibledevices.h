#pragma once

// The present devices that this user may not open (a missing permission), as
// the driver's last scan found them, so the window and the command line can
// say what to do instead of "No device connected!". Owned by USBDriver and
// moved with it to the worker thread; paths() may be called from any thread.

#include <QMutex>
#include <QObject>
#include <QStringList>

class InaccessibleDevices : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    QStringList paths() const;
    // Takes a scan's findings; emits changed() only when they differ.
    void update(const QStringList &paths);

signals:
    // paths is the new list, empty once every such device is accessible or gone.
    void changed(QStringList paths);

private:
    mutable QMutex m_mutex; // guards m_paths
    QStringList m_paths;
};
