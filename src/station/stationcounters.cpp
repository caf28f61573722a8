#include "stationcounters.h"

void StationCounters::count(UnitResult result)
{
    switch (result) {
    case UnitResult::Done:
        ++done;
        break;
    case UnitResult::AlreadyCurrent:
        ++current;
        break;
    case UnitResult::Failed:
        ++failed;
        break;
    case UnitResult::Aborted:
        ++aborted;
        break;
    case UnitResult::NotRecorded:
        ++notRecorded;
        break;
    }
}

double StationCounters::unitsPerHour(qint64 elapsedMs) const
{
    if (elapsedMs <= 0)
        return 0;
    return (done + current + failed) * 3600000.0 / double(elapsedMs);
}

QString StationCounters::summary() const
{
    const QString counts = QStringLiteral("done %1, already current %2, failed %3, aborted %4")
                               .arg(done)
                               .arg(current)
                               .arg(failed)
                               .arg(aborted);
    return notRecorded > 0 ? counts + QStringLiteral(", not recorded %1").arg(notRecorded) : counts;
}
