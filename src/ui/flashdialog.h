#pragma once

// The application's main window: device status, firmware choice, flashing and
// its messages. Main thread only; talks to the device side through its signals
// and slots alone.

#include <QDialog>
#include <QSettings>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

#include "firmware/firmwarefile.h"
#include "ui/loadingdialog.h"

namespace Ui {
class FlashDialog;
}

class FlashDialog : public QDialog
{
    Q_OBJECT

public:
    explicit FlashDialog(QWidget *parent = nullptr);
    ~FlashDialog() override;

    // Loads the firmware file at path (native or Qt separators, relative to
    // the working folder or absolute) as if the user had chosen it in the
    // file dialog: a file named on the command line or opened from the file manager.
    void loadFirmwareFile(const QString &path);

    // Public so that start-up can connect the progress signal straight to it.
    LoadingDialog *loadingDialog;

signals:
    void flashFirmware(QSharedPointer<FirmwareFile> file);
    void startAppRequest();

public slots:
    void onDeviceAttached();
    void onDeviceDetached();
    void onDeviceInformationChanged(bool valid, QString SN, quint8 boardVersion, quint8 boardSubversion,
        quint8 boardHwType, bool jtagProtected);
    void onFirmwareInformationChanged(
        bool isValid, quint8 version, quint8 subversion, quint8 bugfix, quint32 build, QString name);
    void onFirmwareReprogrammed(
        quint8 version, quint8 subversion, quint8 bugfix, quint32 build, QString name);
    void onFlashingFailed();
    void onLoadFirmwareClicked();
    void onFlashDeviceClicked();

private slots:
    // Flash is possible exactly when a device is attached and a firmware is loaded.
    void updateFlashDeviceButton();

public slots:
    // Devices present that this user may not open (by path; empty when none).
    // While no device is attached the status says so, and the user is told
    // once what to do each time such a device appears.
    void onDevicesInaccessible(QStringList paths);
    // Devices present whose records could not be read (by path; empty when
    // none); while no device is attached the status says so.
    void onDevicesNotAnswering(QStringList paths);

protected:
    // A flash under way keeps the window open: closing would cut the
    // transfer off and leave a half-flashed device.
    void closeEvent(QCloseEvent *event) override;
    void reject() override;

private:
    // True, after telling the user why, while a flash is under way.
    bool refuseToCloseWhileFlashing();
    bool chooseFirmwareFile();
    // Checks the file at firmwareFilePath and, when it passes, makes it the selection.
    void loadChosenFile();
    // The one way this window talks to the user: a modal box with one "Close"
    // button; informativeText, when given, stands beneath the text.
    void showMessage(QString title, QString text, QString informativeText = QString());
    void showAbout();
    void updateNoDeviceText();

    Ui::FlashDialog *ui;
    bool deviceConnected;
    bool flashing;
    int inaccessibleDevices = 0;
    int notAnsweringDevices = 0;
    QString firmwareFilePath;
    QSharedPointer<FirmwareFile> firmware;
    QSettings settings;
};
