#pragma once

// The station behind the station window: turns the operator's choice into
// the station's options, words what the station reports for the window,
// and passes Stop on. The record and the serial range's state are kept in
// the program's data folder. Main thread.

#include <QObject>
#include <QString>
#include <QTimer>

#include "station/station.h"
#include "ui/stationwindow.h"

class StationSide : public QObject
{
    Q_OBJECT

public:
    // dataFolder: where the record and the state file go; empty for the
    // program's data folder.
    explicit StationSide(StationWindow *window, const QString &dataFolder = QString());
    // A station still running is aborted, its units recorded as aborted.
    ~StationSide() override;

    QString recordFile() const;
    QString stateFile() const;

private:
    void start(const StationWindow::Choice &choice);
    void showCounters();
    void showStationEnd(const StationEnd &end);

    StationWindow *m_window;
    QString m_dataFolder;
    Station m_station;
    // Units per hour changes with time too, not only when a unit ends.
    QTimer m_countersTimer;
    // What the line database has not confirmed at the end, for the operator.
    QString m_lineWaiting;
};
