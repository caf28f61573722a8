#include "stationwindow.h"

#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QPushButton>

#include "firmware/flashapproval.h"
#include "qtcompat.h"
#include "ui/stationtile.h"
#include "ui/versiontext.h"
#include "ui_stationwindow.h"

namespace {

const char lastFolderKey[] = "lastFwFileDir";
const char firmwareExtension[] = "tvf";
// Four tiles side by side fill the window at its default width.
constexpr int tileColumns = 4;

QString styleSheetOfResource(const QString &name)
{
    QFile file(name);
    return file.open(QFile::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

StationWindow::StationWindow(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::StationWindow)
{
    QtCompat::storeSettingsTextAsUtf8(m_settings);
    ui->setupUi(this);
    // Its own look on top of the application's: large coloured tiles and counters.
    setStyleSheet(styleSheetOfResource(QStringLiteral(":/station.qss")));
    for (QPushButton *button : {ui->chooseFileButton, ui->startButton, ui->stopButton})
        button->setProperty("class", QStringLiteral("VantorButton"));
    connect(ui->chooseFileButton, &QPushButton::clicked, this, &StationWindow::onChooseFileClicked);
    connect(ui->startButton, &QPushButton::clicked, this, &StationWindow::onStartClicked);
    connect(ui->stopButton, &QPushButton::clicked, this, &StationWindow::onStopClicked);
    setRun(Run::Idle);
}

StationWindow::~StationWindow()
{
    delete ui;
}

bool StationWindow::loadFirmwareFile(const QString &path)
{
    auto candidate = QSharedPointer<FirmwareFile>::create();
    try {
        candidate->loadFile(path);
    } catch (const FirmwareFile::fileCorruptedError &error) {
        showStatus(QStringLiteral("%1: %2").arg(path.section(QLatin1Char('/'), -1), error.reason()));
        return false;
    }
    m_firmware = candidate;
    m_firmwarePath = path;
    ui->firmwareFileNameLabel->setText(path.section(QLatin1Char('/'), -1));
    const FirmwareFile::THeader header = m_firmware->header();
    ui->firmwareVersionValueLabel->setText(formatVersion(
        header.version, header.subversion, header.bugfix, header.build, firmwareNameText(header.name)));
    // What the operator compares with the release note; the station checks it again at Start.
    const FlashApproval approval = FlashApproval::decide(*m_firmware, path, {});
    const QString sha256 = QString::fromLatin1(m_firmware->sha256().toHex());
    const QString signer = approval.check.isVerified() ? approval.check.keyId : signatureShortText(approval);
    ui->firmwareSignatureValueLabel->setText(QStringLiteral("%1, %2").arg(signer, sha256.left(16)));
    ui->firmwareSignatureValueLabel->setToolTip(
        QStringLiteral("%1\nSHA-256: %2").arg(signatureStateText(approval.check), sha256));
    showStatus(approval.isRefused() ? approval.refusalText()
                                    : QStringLiteral("Press Start, then plug the devices in."));
    setRun(m_run);
    return true;
}

void StationWindow::onChooseFileClicked()
{
    const QString lastFolder = m_settings.value(QLatin1String(lastFolderKey)).toString();
    const QString filter = QStringLiteral("firmware binary (*.%1)").arg(QLatin1String(firmwareExtension));
    const QString path
        = QFileDialog::getOpenFileName(this, QStringLiteral("Open firmware file"), lastFolder, filter);
    if (path.isEmpty())
        return;
    m_settings.setValue(QLatin1String(lastFolderKey), path.section(QLatin1Char('/'), 0, -2));
    loadFirmwareFile(path);
}

void StationWindow::onStartClicked()
{
    if (!m_firmware || m_run != Run::Idle)
        return;
    const QString pattern = ui->serialPatternEdit->text().trimmed();
    const QString board = ui->boardVersionEdit->text().trimmed();
    if (pattern.isEmpty() != board.isEmpty()) {
        showStatus(QStringLiteral("Give both the serial range and the board version, or neither."));
        return;
    }
    const QString expected = ui->expectedSha256Edit->text().trimmed();
    if (!expected.isEmpty() && !isSha256Hex(expected)) {
        showStatus(QStringLiteral("The expected SHA-256 \"%1\" is not 64 hex digits.").arg(expected));
        return;
    }
    const QString line = ui->lineAddressEdit->text().trimmed();
    if (!line.isEmpty() && pattern.isEmpty()) {
        showStatus(QStringLiteral("A station on a line database needs the serial range and the board version."));
        return;
    }
    setRun(Run::Starting);
    emit startRequested(Choice {m_firmware, m_firmwarePath, pattern, board, expected, line});
}

void StationWindow::onStopClicked()
{
    if (m_run == Run::Running) {
        setRun(Run::Stopping);
        showStatus(QStringLiteral("Stopping: no new units are taken; those in progress finish. "
                                  "Press Abort to cut them off."));
        emit stopRequested();
    } else if (m_run == Run::Stopping) {
        setRun(Run::Aborting);
        showStatus(QStringLiteral("Aborting: the units in progress may be left without valid firmware."));
        emit abortRequested();
    }
}

void StationWindow::onStarted()
{
    // Each run shows its own units.
    qDeleteAll(m_tiles);
    m_tiles.clear();
    m_tileOrder.clear();
    showInProgress();
    onCountersChanged(StationCounters(), 0);
    setRun(Run::Running);
    showStatus(QStringLiteral("Running: plug the devices in."));
}

void StationWindow::onStartRefused(const QString &reason)
{
    setRun(Run::Idle);
    showStatus(reason);
}

void StationWindow::onStopped()
{
    setRun(Run::Idle);
    showStatus(QStringLiteral("Stopped."));
    if (m_closeWhenStopped)
        close();
}

void StationWindow::onUnitArrived(const QString &port)
{
    auto *tile = new StationTile(port, ui->tilesWidget);
    // A device plugged in again at a port takes the place of the port's old tile.
    if (StationTile *old = m_tiles.value(port)) {
        delete old;
    } else {
        m_tileOrder << port;
    }
    m_tiles.insert(port, tile);
    placeTile(tile, m_tileOrder.indexOf(port));
    tile->show();
    showInProgress();
}

void StationWindow::showInProgress()
{
    int inProgress = 0;
    for (const StationTile *tile : qAsConst(m_tiles))
        inProgress += tile->isFinished() ? 0 : 1;
    ui->inProgressCountLabel->setText(QStringLiteral("In progress: %1").arg(inProgress));
}

void StationWindow::placeTile(StationTile *tile, int index)
{
    ui->tilesLayout->addWidget(tile, index / tileColumns, index % tileColumns);
}

void StationWindow::onUnitPhaseChanged(const QString &port, UnitPhase phase, const QString &serial)
{
    StationTile *tile = m_tiles.value(port);
    if (!tile)
        return;
    tile->setPhase(phase);
    if (!serial.isEmpty() && !tile->isFinished())
        tile->setSerial(serial);
}

void StationWindow::onUnitProgress(const QString &port, int percent)
{
    if (StationTile *tile = m_tiles.value(port))
        tile->setProgress(percent);
}

void StationWindow::onUnitFinished(
    const QString &port, UnitResult result, const QString &reason, const QString &serial)
{
    if (StationTile *tile = m_tiles.value(port))
        tile->finish(result, reason, serial);
    showInProgress();
}

void StationWindow::onCountersChanged(const StationCounters &counters, double unitsPerHour)
{
    ui->doneCountLabel->setText(QStringLiteral("Done: %1").arg(counters.done));
    ui->currentCountLabel->setText(QStringLiteral("Already current: %1").arg(counters.current));
    const int failed = counters.failed + counters.aborted;
    ui->failedCountLabel->setText(counters.notRecorded > 0
            ? QStringLiteral("Failed: %1, not recorded: %2").arg(failed).arg(counters.notRecorded)
            : QStringLiteral("Failed: %1").arg(failed));
    ui->unitsPerHourLabel->setText(QStringLiteral("Units per hour: %1").arg(unitsPerHour, 0, 'f', 0));
}

void StationWindow::onLineUnreachable(const QString &reason)
{
    showStatus(QStringLiteral("line database unreachable: %1. No new units are taken until it answers; "
                              "the units in progress finish.")
                   .arg(reason));
}

void StationWindow::onLineReachable()
{
    showStatus(QStringLiteral("The line database answers again: new units are taken."));
}

void StationWindow::showLineTotals(const QString &text)
{
    ui->lineTotalsLabel->setText(text);
    ui->lineTotalsLabel->setVisible(!text.isEmpty());
}

void StationWindow::showStatus(const QString &text)
{
    ui->statusLabel->setText(text);
}

void StationWindow::showStationFiles(const QString &recordFile, const QString &stateFile)
{
    ui->stationFilesLabel->setText(
        QStringLiteral("Record: %1\nSerials given (with a serial range): %2").arg(recordFile, stateFile));
}

void StationWindow::onStationFailing(const QString &reason)
{
    showStatus(QStringLiteral("No new units are taken: %1. The units in progress finish.").arg(reason));
}

void StationWindow::onSerialsLow(qint64 left, qint64 inRange)
{
    showStatus(left == 0
            ? QStringLiteral("The last of the %1 serials of the range is given: no new units are taken.")
                  .arg(inRange)
            : QStringLiteral("Only %1 of the %2 serials of the range are left.").arg(left).arg(inRange));
}

QString StationWindow::serialsRefusalText(const SerialsRefusal &refusal)
{
    switch (refusal.reason) {
    case SerialsRefusal::Reason::None:
        break;
    case SerialsRefusal::Reason::Board:
        return QStringLiteral("The board version \"%1\" is not two numbers from 0 to 255 with a dot between, "
                              "such as 2.1.")
            .arg(refusal.text);
    case SerialsRefusal::Reason::NoState:
        return QStringLiteral("No file is set to keep the serials given.");
    case SerialsRefusal::Reason::LineAddress:
        return QStringLiteral("The line database's address cannot be used: %1.").arg(refusal.text);
    case SerialsRefusal::Reason::LineWithoutSerials:
        return QStringLiteral("A station on a line database needs the serial range and the board version.");
    case SerialsRefusal::Reason::LineWithState:
        return QStringLiteral("A station on a line database keeps no serials of its own.");
    case SerialsRefusal::Reason::Range:
        switch (refusal.rangeProblem) {
        case SerialRange::Problem::None:
        case SerialRange::Problem::NotARange:
            break;
        case SerialRange::Problem::PrefixNotPrintable:
            return QStringLiteral(
                "The serial range \"%1\" cannot be used: only printable ASCII in the prefix, "
                "without spaces or braces.")
                .arg(refusal.text);
        case SerialRange::Problem::DigitCounts:
            return QStringLiteral(
                "The serial range \"%1\" cannot be used: its first and last number need the "
                "same number of digits, at most 12.")
                .arg(refusal.text);
        case SerialRange::Problem::LastBelowFirst:
            return QStringLiteral(
                "The serial range \"%1\" cannot be used: its last number is below its first.")
                .arg(refusal.text);
        case SerialRange::Problem::TooLong:
            return QStringLiteral(
                "The serial range \"%1\" cannot be used: its serials are longer than the 16 "
                "bytes a device keeps.")
                .arg(refusal.text);
        }
        return QStringLiteral("The serial range \"%1\" is not a range: write a prefix, then the first and "
                              "last number in braces, such as ZOK{000100..000999}.")
            .arg(refusal.text);
    }
    return QString();
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    if (m_run == Run::Idle) {
        event->accept();
        return;
    }
    event->ignore();
    m_closeWhenStopped = true;
    onStopClicked();
}

void StationWindow::setRun(Run run)
{
    m_run = run;
    const bool idle = run == Run::Idle;
    ui->startButton->setEnabled(idle && m_firmware);
    ui->chooseFileButton->setEnabled(idle);
    ui->serialPatternEdit->setEnabled(idle);
    ui->boardVersionEdit->setEnabled(idle);
    ui->expectedSha256Edit->setEnabled(idle);
    ui->lineAddressEdit->setEnabled(idle);
    ui->stopButton->setEnabled(run == Run::Running || run == Run::Stopping);
    ui->stopButton->setText(run == Run::Stopping ? QStringLiteral("Abort") : QStringLiteral("Stop"));
}
