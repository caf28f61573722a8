#include "stationwindow.h"

#include "stationtile.h"
#include "ui_stationwindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
#include <signal.h>
#endif

namespace {

constexpr int tileColumns = 4;

QString stationProgram()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("talvex-cli"));
}

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
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &StationWindow::readEvents);
    connect(&m_process, &QProcess::readyReadStandardError, this, [this] {
        const QList<QByteArray> lines = m_process.readAllStandardError().trimmed().split('\n');
        m_ui->statusLabel->setText(QString::fromUtf8(lines.last()));
    });
    connect(
        &m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this, &StationWindow::ended);
    connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            m_ui->statusLabel->setText(
                tr("The station could not be started: %1").arg(m_process.errorString()));
            ended();
        }
    });
}

StationWindow::~StationWindow()
{
    if (isRunning()) {
        // Units in progress are aborted and recorded before the window goes.
#ifdef Q_OS_UNIX
        ::kill(pid_t(m_process.processId()), SIGTERM);
        ::kill(pid_t(m_process.processId()), SIGTERM);
        m_process.waitForFinished(-1);
#else
        m_process.kill();
        m_process.waitForFinished(-1);
#endif
    }
}

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
    QStringList arguments {QStringLiteral("station"), QStringLiteral("--json"), QStringLiteral("--record"),
        QDir(m_dataFolder).filePath(QStringLiteral("station-record.jsonl"))};
    const QString serials = m_ui->serialsEdit->text().trimmed();
    if (!serials.isEmpty())
        arguments << QStringLiteral("--serials") << serials << QStringLiteral("--board")
                  << m_ui->boardEdit->text().trimmed() << QStringLiteral("--state")
                  << QDir(m_dataFolder).filePath(QStringLiteral("station-state.json"));
    arguments << file;
    qDeleteAll(m_tiles);
    m_tiles.clear();
    m_portOf.clear();
    m_good = m_current = m_failed = 0;
    m_stopAsked = false;
    m_pending.clear();
    m_ui->statusLabel->setText(tr("Plug in devices; each is flashed as it arrives."));
    m_clock.start();
    showCounters();
    m_ui->startButton->setEnabled(false);
    m_ui->stopButton->setEnabled(true);
    m_process.start(stationProgram(), arguments);
}

void StationWindow::stop()
{
    if (!isRunning())
        return;
    // As Ctrl-C: the first lets units in progress finish, the second aborts them.
    m_process.terminate();
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

void StationWindow::readEvents()
{
    m_pending += m_process.readAllStandardOutput();
    int end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QByteArray line = m_pending.left(end);
        m_pending.remove(0, end + 1);
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        if (!event.isEmpty())
            handle(event);
    }
}

void StationWindow::handle(const QJsonObject &event)
{
    const QString name = event.value(QStringLiteral("event")).toString();
    const QString serial = event.value(QStringLiteral("serial")).toString();
    if (name == QLatin1String("phase")) {
        const QString port = event.value(QStringLiteral("port")).toString();
        StationTile *unit = tile(port);
        unit->setSerial(serial);
        unit->setPhase(event.value(QStringLiteral("phase")).toString());
        if (!serial.isEmpty())
            m_portOf.insert(serial, port);
    } else if (name == QLatin1String("progress") && m_portOf.contains(serial)) {
        tile(m_portOf.value(serial))->setProgress(event.value(QStringLiteral("percent")).toInt());
    } else if (name == QLatin1String("unit")) {
        StationTile *unit = tile(event.value(QStringLiteral("port")).toString());
        const QString result = event.value(QStringLiteral("result")).toString();
        unit->setSerial(event.value(QStringLiteral("serial_after")).toString());
        if (result == QLatin1String("done")) {
            ++m_good;
            unit->setResult(StationTile::State::Good, tr("DONE"),
                event.value(QStringLiteral("firmware_after"))
                    .toObject()
                    .value(QStringLiteral("text"))
                    .toString());
        } else if (result == QLatin1String("already current")) {
            ++m_current;
            unit->setResult(StationTile::State::Good, tr("CURRENT"), tr("already current"));
        } else {
            ++m_failed;
            unit->setResult(StationTile::State::Bad,
                result == QLatin1String("aborted") ? tr("ABORTED") : tr("FAILED"),
                event.value(QStringLiteral("reason")).toString());
        }
        showCounters();
    }
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
    const qint64 elapsed = m_clock.isValid() ? m_clock.elapsed() : 0;
    const int handled = m_good + m_current + m_failed;
    m_ui->countersLabel->setText(tr("Done %1   Current %2   Failed %3   %4 units/h")
                                     .arg(m_good)
                                     .arg(m_current)
                                     .arg(m_failed)
                                     .arg(elapsed > 0 ? qRound64(handled * 3600000.0 / double(elapsed)) : 0));
}

void StationWindow::ended()
{
    readEvents();
    m_ui->startButton->setEnabled(true);
    m_ui->stopButton->setEnabled(false);
    showCounters();
    if (m_ui->statusLabel->text().isEmpty() || m_stopAsked)
        m_ui->statusLabel->setText(tr("The station has stopped."));
    if (m_closeAsked)
        close();
}
