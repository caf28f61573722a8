#pragma once

// The station window: the firmware file and serial range at the top, Start
// and Stop, one tile per unit, and the counters. The station itself runs
// as talvex-cli station beside the window's program, which reports every
// unit as a JSON event; the window shows them. Stop asks it to finish the
// units in progress; a second Stop aborts them. Main thread.

#include <QElapsedTimer>
#include <QHash>
#include <QProcess>
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
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }

public slots:
    void start();
    void stop();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void readEvents();
    void handle(const QJsonObject &event);
    StationTile *tile(const QString &port);
    void showCounters();
    void ended();

    std::unique_ptr<Ui::StationWindow> m_ui;
    QProcess m_process;
    QByteArray m_pending;
    QString m_dataFolder;
    QHash<QString, StationTile *> m_tiles; // by port
    QHash<QString, QString> m_portOf; // by serial
    QElapsedTimer m_clock;
    int m_good = 0;
    int m_current = 0;
    int m_failed = 0;
    bool m_stopAsked = false;
    bool m_closeAsked = false;
};
