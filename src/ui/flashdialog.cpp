#include "flashdialog.h"

#include <QCloseEvent>
#include <QCursor>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

#include "firmware/flashapproval.h"
#include "qtcompat.h"
#include "talvexversion.h"
#include "ui/devicepermissiontext.h"
#include "ui/versiontext.h"
#include "ui_flashdialog.h"

namespace {

const char lastFolderKey[] = "lastFwFileDir";
const char firmwareExtension[] = "tvf";

} // namespace

FlashDialog::FlashDialog(QWidget *parent)
    : QDialog(parent)
    , loadingDialog(new LoadingDialog(this))
    , ui(new Ui::FlashDialog)
    , deviceConnected(false)
    , flashing(false)
{
    QtCompat::storeSettingsTextAsUtf8(settings);
    ui->setupUi(this);
    ui->verticalLayout_2->setAlignment(ui->FlashDeviceButton, Qt::AlignHCenter);
    ui->verticalLayout_2->setAlignment(ui->aboutButton, Qt::AlignRight);
    setWindowTitle(QStringLiteral("TALVEX Updater"));
    ui->loadFirmwareButton->setProperty("class", QStringLiteral("VantorButton"));
    ui->FlashDeviceButton->setProperty("class", QStringLiteral("VantorButton"));
    setWindowFlags(Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    connect(ui->loadFirmwareButton, &QPushButton::clicked, this, &FlashDialog::onLoadFirmwareClicked);
    connect(ui->FlashDeviceButton, &QPushButton::clicked, this, &FlashDialog::onFlashDeviceClicked);
    ui->StatusContainter->hide();
    connect(ui->aboutButton, &QPushButton::clicked, this, [this] { showAbout(); });
}

FlashDialog::~FlashDialog()
{
    delete ui;
}

void FlashDialog::onDeviceAttached()
{
    deviceConnected = true;
    ui->NoDeviceConnectedLabel->hide();
    ui->StatusContainter->show();
    updateFlashDeviceButton();
}

void FlashDialog::onDeviceDetached()
{
    deviceConnected = false;
    ui->StatusContainter->hide();
    ui->NoDeviceConnectedLabel->show();
    updateFlashDeviceButton();
}

void FlashDialog::onDevicesInaccessible(QStringList paths)
{
    const bool newlyInaccessible = paths.size() > inaccessibleDevices;
    inaccessibleDevices = paths.size();
    updateNoDeviceText();
    // Only while nothing usable is attached: then this is why the window stays empty.
    if (newlyInaccessible && !deviceConnected)
        showMessage(QStringLiteral("Error"), deviceNotAccessibleAdvice());
}

void FlashDialog::onDevicesNotAnswering(QStringList paths)
{
    notAnsweringDevices = paths.size();
    updateNoDeviceText();
}

void FlashDialog::updateNoDeviceText()
{
    QString text = QStringLiteral("No device connected!");
    if (inaccessibleDevices > 0)
        text = deviceNotAccessibleTitle();
    else if (notAnsweringDevices > 0)
        text = QStringLiteral("Device not answering!");
    ui->NoDeviceConnectedLabel->setText(text);
}

void FlashDialog::onDeviceInformationChanged(bool valid, QString SN, quint8 boardVersion,
    quint8 boardSubversion, quint8 boardHwType, bool jtagProtected)
{
    Q_UNUSED(boardHwType)
    Q_UNUSED(jtagProtected)
    if (valid) {
        ui->CurrentBoardVersionLabel->setText(boardVersionText(boardVersion, boardSubversion));
        ui->CurrentSerialNumberLabel->setText(SN);
    } else {
        ui->CurrentBoardVersionLabel->setText(QStringLiteral("#.#"));
        ui->CurrentSerialNumberLabel->setText(QStringLiteral("ZOK######"));
    }
}

void FlashDialog::onFirmwareInformationChanged(
    bool isValid, quint8 version, quint8 subversion, quint8 bugfix, quint32 build, QString name)
{
    ui->DeviceVersionValueLabel->setText(
        isValid ? formatVersion(version, subversion, bugfix, build, name) : firmwareVersionPlaceholder());
}

void FlashDialog::onFirmwareReprogrammed(
    quint8 version, quint8 subversion, quint8 bugfix, quint32 build, QString name)
{
    loadingDialog->hide();
    flashing = false;
    updateFlashDeviceButton();
    ui->DeviceVersionValueLabel->setText(formatVersion(version, subversion, bugfix, build, name));
    showMessage(QStringLiteral("Success"),
        QStringLiteral("<p align='center'>The firmware has been flashed correctly!<br>It will start "
                       "now.</p>"));
    emit startAppRequest();
}

void FlashDialog::onFlashingFailed()
{
    if (flashing) {
        flashing = false;
        updateFlashDeviceButton();
    }
    loadingDialog->hide();
    showMessage(QStringLiteral("Error"), QStringLiteral("Flashing firmware failed!"));
}

void FlashDialog::onLoadFirmwareClicked()
{
    if (chooseFirmwareFile())
        loadChosenFile();
}

void FlashDialog::loadFirmwareFile(const QString &path)
{
    firmwareFilePath = QDir::fromNativeSeparators(QFileInfo(path).absoluteFilePath());
    settings.setValue(QLatin1String(lastFolderKey), firmwareFilePath.section(QLatin1Char('/'), 0, -2));
    loadChosenFile();
}

void FlashDialog::loadChosenFile()
{
    // The new file replaces the selection only once it has passed every check, so
    // the labels always show what a flash would send.
    auto candidate = QSharedPointer<FirmwareFile>::create();
    try {
        candidate->loadFile(firmwareFilePath);
    } catch (const FirmwareFile::fileCorruptedError &error) {
        updateFlashDeviceButton();
        // The box says what every fault says; beneath it, which file and why.
        showMessage(QStringLiteral("Error"), QString::fromUtf8(error.what()),
            QStringLiteral("%1: %2").arg(firmwareFilePath.section(QLatin1Char('/'), -1), error.reason()));
        return;
    }
    // Checked on the bytes just read, which are the ones a flash would send;
    // the machine's keys and policy decide.
    const FlashApproval approval = FlashApproval::decide(*candidate, firmwareFilePath, {});

    // The state shows with the version, in the same moment. An unsigned file
    // the policy allows reads as before; the tooltip still says it.
    const QString fileName = firmwareFilePath.section(QLatin1Char('/'), -1);
    ui->firmwareFileNameLabel->setText(fileName);
    const FirmwareFile::THeader header = candidate->header();
    const QString version = formatVersion(
        header.version, header.subversion, header.bugfix, header.build, firmwareNameText(header.name));
    const bool plain = !approval.isRefused() && !approval.check.isVerified();
    ui->FileVersionValueLabel->setText(
        plain ? version : QStringLiteral("%1 (%2)").arg(version, signatureShortText(approval)));
    QString tooltip = approval.isRefused() ? approval.refusalText() : signatureStateText(approval.check);
    // A key that cannot be used is skipped, not hidden.
    for (const TrustedKeys::Problem &problem : approval.keyProblems)
        tooltip += QLatin1Char('\n') + TrustedKeys::problemText(problem);
    ui->FileVersionValueLabel->setToolTip(tooltip);
    // A refused file is shown but never becomes what a flash would send.
    firmware = approval.isRefused() ? QSharedPointer<FirmwareFile>() : candidate;
    updateFlashDeviceButton();
    if (approval.isRefused())
        showMessage(QStringLiteral("Error"), QStringLiteral("This file will not be flashed."),
            QStringLiteral("%1: %2").arg(fileName, approval.refusalText()));
}

void FlashDialog::onFlashDeviceClicked()
{
    // Without a file nothing would be sent and the progress dialog would never close.
    if (!firmware)
        return;
    loadingDialog->setInformation(QStringLiteral("Flashing firmware..."));
    flashing = true;
    emit flashFirmware(firmware);
    loadingDialog->setProgress(0);
    loadingDialog->show();
}

void FlashDialog::closeEvent(QCloseEvent *event)
{
    if (refuseToCloseWhileFlashing()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void FlashDialog::reject()
{
    if (!refuseToCloseWhileFlashing())
        QDialog::reject();
}

bool FlashDialog::refuseToCloseWhileFlashing()
{
    if (!flashing)
        return false;
    showMessage(QStringLiteral("Flashing"),
        QStringLiteral("The device is being flashed.\nThe window can be closed once flashing has finished."));
    return true;
}

void FlashDialog::updateFlashDeviceButton()
{
    ui->FlashDeviceButton->setEnabled(deviceConnected && !firmware.isNull());
}

bool FlashDialog::chooseFirmwareFile()
{
    const QString lastFolder = settings.value(QLatin1String(lastFolderKey)).toString();
    const QString filter = QStringLiteral("firmware binary (*.%1)").arg(QLatin1String(firmwareExtension));
    firmwareFilePath
        = QFileDialog::getOpenFileName(this, QStringLiteral("Open firmware file"), lastFolder, filter);
    if (firmwareFilePath.isEmpty())
        return false;
    settings.setValue(QLatin1String(lastFolderKey), firmwareFilePath.section(QLatin1Char('/'), 0, -2));
    return true;
}

void FlashDialog::showMessage(QString title, QString text, QString informativeText)
{
    QMessageBox box(this);
    auto *closeButton = new QPushButton(QStringLiteral("Close"), &box);
    closeButton->setProperty("class", QStringLiteral("VantorButton"));
    closeButton->setFont(font());
    closeButton->setCursor(QCursor(Qt::PointingHandCursor));
    box.addButton(closeButton, QMessageBox::NoRole);
    box.setText(text);
    box.setInformativeText(informativeText);
    box.setIcon(QMessageBox::Information);
    box.setWindowTitle(title);
    box.setFont(font());
    box.exec();
}

void FlashDialog::showAbout()
{
    showMessage(QStringLiteral("About"),
        QStringLiteral("TALVEX Updater\nv" TALVEX_VERSION "\nCopyright \u00a9 Vantor. All rights reserved."));
}
