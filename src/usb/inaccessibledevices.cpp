#include "usb/inaccessibledevices.h"

#include <QMutexLocker>

QStringList InaccessibleDevices::paths() const
{
    QMutexLocker locker(&m_mutex);
    return m_paths;
}

void InaccessibleDevices::update(const QStringList &paths)
{
    {
        QMutexLocker locker(&m_mutex);
        if (paths == m_paths)
            return;
        m_paths = paths;
    }
    emit changed(paths);
}
