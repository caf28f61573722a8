#pragma once

// The fixed-size progress dialog shown over the main window while a firmware
// image is flashed. Main thread only; progress values arrive by queued signal.

#include <QDialog>
#include <QString>

namespace Ui {
class LoadingDialog;
}

class LoadingDialog : public QDialog
{
    Q_OBJECT

public:
    explicit LoadingDialog(QWidget *parent = nullptr);
    ~LoadingDialog() override;

public slots:
    // A percentage; values outside 0 to 100 leave the bar as it is.
    void setProgress(int progress);
    void setInformation(QString text);

private:
    Ui::LoadingDialog *ui;
};
