#include "stationtile.h"

#include <QStyle>

#include "ui_stationtile.h"

StationTile::StationTile(const QString &port, QWidget *parent)
    : QFrame(parent)
    , ui(new Ui::StationTile)
    , m_port(port)
{
    ui->setupUi(this);
    // A port can be a long interface path: its instance at the end tells ports
    // apart, the interface class after it is the same on every one.
    QString shown = port;
    if (shown.endsWith(QLatin1Char('}')) && shown.lastIndexOf(QLatin1String("#{")) > 0)
        shown.truncate(shown.lastIndexOf(QLatin1String("#{")));
    ui->portLabel->ensurePolished();
    const QMargins margins = ui->tileLayout->contentsMargins();
    ui->portLabel->setText(ui->portLabel->fontMetrics().elidedText(
        shown, Qt::ElideLeft, minimumWidth() - margins.left() - margins.right() - 2 * frameWidth() - 8));
    ui->portLabel->setToolTip(port);
    ui->serialLabel->clear();
    setPhase(UnitPhase::Opening);
    setState(State::Working);
}

StationTile::~StationTile()
{
    delete ui;
}

void StationTile::setPhase(UnitPhase phase)
{
    // A late report from a unit already finished must not paint over its result.
    if (isFinished())
        return;
    ui->phaseLabel->setText(unitPhaseText(phase));
}

void StationTile::setProgress(int percent)
{
    if (!isFinished())
        ui->progressBar->setValue(percent);
}

void StationTile::setSerial(const QString &serial)
{
    ui->serialLabel->setText(serial);
}

void StationTile::finish(UnitResult result, const QString &reason, const QString &serial)
{
    const bool good = reachedGoal(result);
    if (!serial.isEmpty())
        setSerial(serial);
    ui->phaseLabel->setText(unitResultText(result));
    ui->reasonLabel->setText(good ? QString() : reason);
    if (good)
        ui->progressBar->setValue(ui->progressBar->maximum());
    setState(good ? State::Done : State::Failed);
}

void StationTile::setState(State state)
{
    m_state = state;
    QString name = QStringLiteral("working");
    if (state == State::Done)
        name = QStringLiteral("done");
    else if (state == State::Failed)
        name = QStringLiteral("failed");
    setProperty("state", name);
    // Property selectors are matched when a widget is polished, so polish again.
    style()->unpolish(this);
    style()->polish(this);
    for (QWidget *child : findChildren<QWidget *>()) {
        style()->unpolish(child);
        style()->polish(child);
    }
}
