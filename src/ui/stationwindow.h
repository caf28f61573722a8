#pragma once

// The station window: the firmware file and serial range at the top, Start
// and Stop, one tile per unit, and the counters, following Station. Stop
// lets the units in progress finish; a second Stop aborts them. Main thread.

#include "station/station.h"

#include <QHash>
#include <QWidget>

#include <memory>

namespace Ui {
class StationWindow;
}
class StationTile;

class StationWindow : public QWidget
{
    Q_OBJECT

public:
    explicit StationWindow(QWidget *parent = nullptr);
    ~StationWindow() override;

    // Where the record and the state file are kept (default: the program's data folder).
    void setDataFolder(const QString &folder) { m_dataFolder = folder; }
    QList<StationTile *> tiles() const;
    bool isRunning() const { return m_station.isRunning(); }

public slots:
    void start();
    void stop();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    StationTile *tile(const QString &port);
    void showCounters();
    void ended();

    std::unique_ptr<Ui::StationWindow> m_ui;
    Station m_station;
    QString m_dataFolder;
    QHash<QString, StationTile *> m_tiles; // by port
    bool m_stopAsked = false;
    bool m_closeAsked = false;
};
