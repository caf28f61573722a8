#pragma once

// The production station's window: the firmware file and the serial range
// chosen at the top, Start and Stop, one tile per unit in progress or
// finished, and the counters. Main thread; talks to the station through its
// signals and slots alone.

#include <QMap>
#include <QSettings>
#include <QSharedPointer>
#include <QString>
#include <QWidget>

#include "firmware/firmwarefile.h"
#include "station/serialsrefusal.h"
#include "station/stationcounters.h"
#include "station/unitoutcome.h"

namespace Ui {
class StationWindow;
}
class StationTile;

class StationWindow : public QWidget
{
    Q_OBJECT

public:
    // What the operator chose when pressing Start: a firmware file that passed
    // its checks, as it was read then (the station flashes and hashes these
    // bytes, whatever the path holds by now); the serial range and the board
    // version are empty when no serials are to be given.
    struct Choice
    {
        QSharedPointer<FirmwareFile> firmware;
        QString firmwarePath;
        QString serialPattern;
        QString boardVersion;
        // Empty: any image; else the SHA-256 the line expects, as typed.
        QString expectedSha256;
        // Empty: the serials are kept in this station's own files; else the
        // line database's address, as typed.
        QString lineAddress;
    };

    explicit StationWindow(QWidget *parent = nullptr);
    ~StationWindow() override;

    // Loads and checks a firmware file; on failure the status line says why
    // and the previous choice stays.
    bool loadFirmwareFile(const QString &path);
    bool isRunning() const { return m_run != Run::Idle; }
    // Why the serial range or the board version was refused, for the operator.
    static QString serialsRefusalText(const SerialsRefusal &refusal);

signals:
    void startRequested(const StationWindow::Choice &choice);
    // Take no new units; those in progress finish.
    void stopRequested();
    // Cut off the units in progress.
    void abortRequested();

public slots:
    void onStarted();
    void onStartRefused(const QString &reason);
    // The station has ended: every unit is finished and recorded.
    void onStopped();
    void onUnitArrived(const QString &port);
    // serial: the unit's serial once known, else empty.
    void onUnitPhaseChanged(const QString &port, UnitPhase phase, const QString &serial);
    void onUnitProgress(const QString &port, int percent);
    void onUnitFinished(const QString &port, UnitResult result, const QString &reason, const QString &serial);
    void onCountersChanged(const StationCounters &counters, double unitsPerHour);
    // A line for the operator, such as the record file in use or a fault of the station.
    void showStatus(const QString &text);
    // Where the station keeps its record and its serials' state, shown before Start.
    void showStationFiles(const QString &recordFile, const QString &stateFile);
    // The record or the state could not be written: no new units are taken.
    void onStationFailing(const QString &reason);
    // Fewer than 5 % of the serial range are left.
    void onSerialsLow(qint64 left, qint64 inRange);
    void onLineUnreachable(const QString &reason);
    void onLineReachable();
    // The line's figures beside the station's own; empty hides them.
    void showLineTotals(const QString &text);

protected:
    // Closing while units are in progress stops the station first and
    // closes once they are finished, so no device is left half flashed.
    void closeEvent(QCloseEvent *event) override;

private:
    enum class Run { Idle, Starting, Running, Stopping, Aborting };

    void onChooseFileClicked();
    void onStartClicked();
    void onStopClicked();
    void setRun(Run run);
    void placeTile(StationTile *tile, int index);
    // The units in progress are the tiles not finished yet.
    void showInProgress();

    Ui::StationWindow *ui;
    QSettings m_settings;
    QSharedPointer<FirmwareFile> m_firmware;
    QString m_firmwarePath;
    Run m_run = Run::Idle;
    bool m_closeWhenStopped = false;
    // The tile of each port, and the ports in the order their tiles are laid out.
    QMap<QString, StationTile *> m_tiles;
    QStringList m_tileOrder;
};
