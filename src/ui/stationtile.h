#pragma once

// One unit of the station window: its port and serial, its progress and
// phase, and a large state that reads from a metre away. Main thread.

#include <QFrame>

#include <memory>

namespace Ui {
class StationTile;
}

class StationTile : public QFrame
{
    Q_OBJECT

public:
    enum class State { Working, Good, Bad };

    explicit StationTile(const QString &port, QWidget *parent = nullptr);
    ~StationTile() override;

    void setSerial(const QString &serial);
    void setPhase(const QString &phase);
    void setProgress(int percent);
    // The unit's end: its result in large letters, the reason under it.
    void setResult(State state, const QString &result, const QString &reason);
    State state() const { return m_state; }
    QString stateText() const;
    QString phaseText() const;

private:
    std::unique_ptr<Ui::StationTile> m_ui;
    State m_state = State::Working;
};
