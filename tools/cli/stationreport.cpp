#include "stationreport.h"

#include "commandreport.h"

#include "station/stationunit.h"

void reportUnitEvents(StationUnit *unit)
{
    CommandReport &report = CommandReport::current();
    QObject::connect(unit, &StationUnit::opened, [&report, unit] { report.deviceListed(unit->device()); });
    QObject::connect(unit, &StationUnit::progress,
        [&report, unit](int percent) { report.progress(serialText(unit->device()), percent); });
    QObject::connect(
        unit, &StationUnit::finishing, [&report, unit] { report.finishing(serialText(unit->device())); });
    QObject::connect(unit, &StationUnit::deviceLeft, [&report, unit] {
        report.event(QStringLiteral("device_left"), {{QStringLiteral("serial"), serialText(unit->device())}});
    });
    QObject::connect(unit, &StationUnit::deviceBack, [&report](const LoaderDevice &back) {
        report.event(QStringLiteral("device_back"),
            {{QStringLiteral("serial"), serialText(back)},
                {QStringLiteral("mode"), RestartWatch::modeText(back)}});
    });
}
