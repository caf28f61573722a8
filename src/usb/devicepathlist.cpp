#include "usb/devicepathlist.h"

#include <QMutexLocker>

QStringList DevicePathList::paths() const
{
    QMutexLocker locker(&m_mutex);
    return m_paths;
}

void DevicePathList::update(const QStringList &paths)
{
    {
        QMutexLocker locker(&m_mutex);
        if (paths == m_paths)
            return;
        m_paths = paths;
    }
    emit changed(paths);
}
