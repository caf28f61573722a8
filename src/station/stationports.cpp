#include "stationports.h"

QStringList StationPorts::arrivals(const QStringList &present)
{
    for (auto it = m_finished.begin(); it != m_finished.end();) {
        if (present.contains(*it))
            ++it;
        else
            it = m_finished.erase(it);
    }
    QStringList found;
    for (const QString &port : present) {
        if (!m_busy.contains(port) && !m_finished.contains(port))
            found << port;
    }
    return found;
}

void StationPorts::finish(const QString &port)
{
    m_busy.remove(port);
    m_finished.insert(port);
}
