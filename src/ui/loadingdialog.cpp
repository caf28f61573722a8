#include "loadingdialog.h"

#include "ui_loadingdialog.h"

LoadingDialog::LoadingDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::LoadingDialog)
{
    ui->setupUi(this);
    // There is no way to cancel a transfer, so the title bar offers no close button.
    setWindowFlag(Qt::WindowCloseButtonHint, false);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setFixedSize(width(), height());
}

LoadingDialog::~LoadingDialog()
{
    delete ui;
}

void LoadingDialog::setProgress(int progress)
{
    ui->progressBar->setValue(progress);
}

void LoadingDialog::setInformation(QString text)
{
    ui->label->setText(text);
}
