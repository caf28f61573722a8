#pragma once

// Which USB ports hold a new unit. A port with a unit in progress is that
// unit's, whatever appears and disappears there (its device restarting);
// a port whose unit finished stays that unit's until the port is seen
// empty, so a finished device is not worked on again until it is
// unplugged and plugged in again. Main thread.

#include <QSet>
#include <QString>
#include <QStringList>

class StationPorts
{
public:
    // The ports of present that hold a new arrival (in present's order);
    // finished ports not in present are freed.
    QStringList arrivals(const QStringList &present);
    void begin(const QString &port) { m_busy.insert(port); }
    void finish(const QString &port);
    int inProgress() const { return int(m_busy.size()); }

private:
    QSet<QString> m_busy;
    QSet<QString> m_finished;
};
