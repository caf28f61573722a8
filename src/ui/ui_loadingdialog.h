#pragma once

// The progress dialog's form, written in the shape Qt Designer's uic generates.

#include <QCoreApplication>
#include <QDialog>
#include <QFont>
#include <QLabel>
#include <QProgressBar>
#include <QSizePolicy>
#include <QVBoxLayout>

namespace Ui {

class LoadingDialog
{
public:
    QVBoxLayout *verticalLayout;
    QProgressBar *progressBar;
    QLabel *label;

    void setupUi(QDialog *dialog)
    {
        if (dialog->objectName().isEmpty())
            dialog->setObjectName(QString::fromUtf8("LoadingDialog"));
        dialog->setWindowModality(Qt::WindowModal);
        dialog->resize(399, 77);
        QSizePolicy sizePolicy(QSizePolicy::Minimum, QSizePolicy::Minimum);
        sizePolicy.setHorizontalStretch(0);
        sizePolicy.setVerticalStretch(0);
        sizePolicy.setHeightForWidth(dialog->sizePolicy().hasHeightForWidth());
        dialog->setSizePolicy(sizePolicy);
        dialog->setMaximumSize(QSize(16777215, 155));
        dialog->setContextMenuPolicy(Qt::PreventContextMenu);
        dialog->setModal(true);

        verticalLayout = new QVBoxLayout(dialog);
        verticalLayout->setObjectName(QString::fromUtf8("verticalLayout"));

        progressBar = new QProgressBar(dialog);
        progressBar->setObjectName(QString::fromUtf8("progressBar"));
        progressBar->setValue(24);
        verticalLayout->addWidget(progressBar);

        label = new QLabel(dialog);
        label->setObjectName(QString::fromUtf8("label"));
        QFont font;
        font.setPointSize(12);
        label->setFont(font);
        label->setScaledContents(true);
        verticalLayout->addWidget(label);

        retranslateUi(dialog);
        QMetaObject::connectSlotsByName(dialog);
    }

    void retranslateUi(QDialog *dialog)
    {
        dialog->setWindowTitle(QCoreApplication::translate("LoadingDialog", "Progress", nullptr));
        label->setText(QCoreApplication::translate("LoadingDialog", "Programming", nullptr));
    }
};

} // namespace Ui
