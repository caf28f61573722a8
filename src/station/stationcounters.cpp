#include "stationcounters.h"

QString StationCounters::text(Result result)
{
    switch (result) {
    case Result::Done:
        return QStringLiteral("done");
    case Result::AlreadyCurrent:
        return QStringLiteral("already current");
    case Result::Failed:
        return QStringLiteral("failed");
    case Result::NotRecorded:
        return QStringLiteral("not recorded");
    case Result::Aborted:
        break;
    }
    return QStringLiteral("aborted");
}

void StationCounters::count(Result result)
{
    switch (result) {
    case Result::Done:
        ++done;
        break;
    case Result::AlreadyCurrent:
        ++current;
        break;
    case Result::Failed:
        ++failed;
        break;
    case Result::Aborted:
        ++aborted;
        break;
    case Result::NotRecorded:
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
