#include "stationwindow.h"

#include "stationtile.h"
#include "ui_stationwindow.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QStandardPaths>

namespace {

constexpr int tileColumns = 4;

} // namespace

StationWindow::StationWindow(QWidget *parent)
    : QWidget(parent)
    , m_ui(std::make_unique<Ui::StationWindow>())
    , m_dataFolder(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
{
    m_ui->setupUi(this);
    m_ui->countersLabel->setStyleSheet(QStringLiteral("font-size: 16pt; font-weight: bold;"));
    showCounters();
    connect(m_ui->browseButton, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getOpenFileName(
            this, tr("Firmware file"), QString(), tr("Firmware files (*.tvf)"));
        if (!file.isEmpty())
            m_ui->fileEdit->setText(file);
    });
    connect(m_ui->startButton, &QPushButton::clicked, this, &StationWindow::start);
    connect(m_ui->stopButton, &QPushButton::clicked, this, &StationWindow::stop);
    connect(&m_station, &Station::message, m_ui->statusLabel, &QLabel::setText);
    connect(&m_station, &Station::stopped, this, &StationWindow::ended);
    connect(&m_station, &Station::countersChanged, this, &StationWindow::showCounters);
    connect(&m_station, &Station::unitArrived, this, [this](const QString &port) { tile(port); });
    connect(&m_station, &Station::unitPhaseChanged, this,
        [this](const QString &port, const QString &phase, const QString &serial) {
            StationTile *unit = tile(port);
            unit->setSerial(serial);
            unit->setPhase(phase);
        });
    connect(&m_station, &Station::unitProgress, this,
        [this](const QString &port, int percent) { tile(port)->setProgress(percent); });
    connect(&m_station, &Station::unitFinished, this,
        [this](const QString &port, const QString &result, const QString &detail, const QString &serial) {
            StationTile *unit = tile(port);
            unit->setSerial(serial);
            if (result == QLatin1String("done"))
                unit->setResult(StationTile::State::Good, tr("DONE"), detail);
            else if (result == QLatin1String("already current"))
                unit->setResult(
                    StationTile::State::Good, tr("CURRENT"), tr("already current, %1").arg(detail));
            else
                unit->setResult(StationTile::State::Bad,
                    result == QLatin1String("aborted") ? tr("ABORTED") : tr("FAILED"), detail);
        });
}

StationWindow::~StationWindow() = default;

QList<StationTile *> StationWindow::tiles() const
{
    return m_tiles.values();
}

void StationWindow::start()
{
    if (isRunning())
        return;
    const QString file = m_ui->fileEdit->text().trimmed();
    if (file.isEmpty()) {
        m_ui->statusLabel->setText(tr("Choose a firmware file first."));
        return;
    }
    QDir().mkpath(m_dataFolder);
    Station::Options options;
    options.firmwareFile = file;
    options.serials = m_ui->serialsEdit->text().trimmed();
    options.board = m_ui->boardEdit->text().trimmed();
    options.recordFile = QDir(m_dataFolder).filePath(QStringLiteral("station-record.jsonl"));
    options.stateFile = QDir(m_dataFolder).filePath(QStringLiteral("station-state.json"));
    qDeleteAll(m_tiles);
    m_tiles.clear();
    m_stopAsked = false;
    m_ui->statusLabel->setText(tr("Plug in devices; each is flashed as it arrives."));
    m_ui->startButton->setEnabled(false);
    m_ui->stopButton->setEnabled(true);
    m_station.start(options);
}

void StationWindow::stop()
{
    if (!isRunning())
        return;
    // As Ctrl-C: the first lets units in progress finish, the second aborts them.
    if (m_stopAsked)
        m_station.abort();
    else
        m_station.stop();
    m_ui->statusLabel->setText(m_stopAsked
            ? tr("Aborting the units in progress...")
            : tr("Stopping: units in progress finish first; Stop again aborts them."));
    m_stopAsked = true;
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    // The window goes once the station has recorded its units.
    if (isRunning()) {
        m_closeAsked = true;
        stop();
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

StationTile *StationWindow::tile(const QString &port)
{
    StationTile *&unit = m_tiles[port];
    if (!unit) {
        // A unit plugged in again at a finished port starts a tile anew.
        unit = new StationTile(port, m_ui->tilesWidget);
        const int index = m_tiles.size() - 1;
        m_ui->tilesLayout->addWidget(unit, index / tileColumns, index % tileColumns);
    } else if (unit->state() != StationTile::State::Working) {
        auto *fresh = new StationTile(port, m_ui->tilesWidget);
        m_ui->tilesLayout->replaceWidget(unit, fresh);
        delete unit;
        unit = fresh;
    }
    return unit;
}

void StationWindow::showCounters()
{
    m_ui->countersLabel->setText(tr("Done %1   Current %2   Failed %3   %4 units/h")
                                     .arg(m_station.done())
                                     .arg(m_station.current())
                                     .arg(m_station.failed() + m_station.aborted())
                                     .arg(qRound64(m_station.unitsPerHour())));
}

void StationWindow::ended()
{
    m_ui->startButton->setEnabled(true);
    m_ui->stopButton->setEnabled(false);
    showCounters();
    if (m_ui->statusLabel->text().isEmpty() || m_stopAsked)
        m_ui->statusLabel->setText(tr("The station has stopped."));
    if (m_closeAsked)
        close();
}
