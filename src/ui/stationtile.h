#pragma once

// One station unit at a glance: its port, its serial, a progress bar and the
// phase it is in, in large letters on green once done and on red once
// failed. Main thread.

#include <QFrame>
#include <QString>

#include "station/unitoutcome.h"

namespace Ui {
class StationTile;
}

class StationTile : public QFrame
{
    Q_OBJECT

public:
    // What the tile shows: the style sheet colours it by this name.
    enum class State { Working, Done, Failed };

    explicit StationTile(const QString &port, QWidget *parent = nullptr);
    ~StationTile() override;

    QString port() const { return m_port; }
    State state() const { return m_state; }
    bool isFinished() const { return m_state != State::Working; }

    void setPhase(UnitPhase phase);
    void setProgress(int percent);
    void setSerial(const QString &serial);
    void finish(UnitResult result, const QString &reason, const QString &serial);

private:
    void setState(State state);

    Ui::StationTile *ui;
    QString m_port;
    State m_state = State::Working;
};
