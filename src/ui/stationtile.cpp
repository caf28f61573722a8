#include "stationtile.h"

#include "ui_stationtile.h"

namespace {

// Large, and green or red, to be read from across the bench.
QString stateStyle(StationTile::State state)
{
    const char *colour = state == StationTile::State::Good ? "#1e8c3a"
        : state == StationTile::State::Bad                 ? "#c0262d"
                                                           : "#6b7280";
    return QStringLiteral("QLabel { background: %1; color: white; font-size: 26pt; font-weight: bold; "
                          "border-radius: 6px; }")
        .arg(QLatin1String(colour));
}

} // namespace

StationTile::StationTile(const QString &port, QWidget *parent)
    : QFrame(parent)
    , m_ui(std::make_unique<Ui::StationTile>())
{
    m_ui->setupUi(this);
    // A port path can be long; its ends tell ports apart.
    m_ui->portLabel->setText(m_ui->portLabel->fontMetrics().elidedText(port, Qt::ElideMiddle, 230));
    m_ui->portLabel->setToolTip(port);
    m_ui->serialLabel->setStyleSheet(QStringLiteral("font-size: 14pt; font-weight: bold;"));
    m_ui->stateLabel->setStyleSheet(stateStyle(m_state));
}

StationTile::~StationTile() = default;

void StationTile::setSerial(const QString &serial)
{
    if (!serial.isEmpty())
        m_ui->serialLabel->setText(serial);
}

void StationTile::setPhase(const QString &phase)
{
    m_ui->phaseLabel->setText(phase);
}

void StationTile::setProgress(int percent)
{
    m_ui->progressBar->setValue(percent);
}

void StationTile::setResult(State state, const QString &result, const QString &reason)
{
    m_state = state;
    m_ui->stateLabel->setText(result);
    m_ui->stateLabel->setStyleSheet(stateStyle(state));
    m_ui->phaseLabel->setText(reason);
    if (state == State::Good)
        m_ui->progressBar->setValue(100);
}

QString StationTile::stateText() const
{
    return m_ui->stateLabel->text();
}

QString StationTile::phaseText() const
{
    return m_ui->phaseLabel->text();
}
