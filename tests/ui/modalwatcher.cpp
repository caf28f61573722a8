#include "modalwatcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>

ModalWatcher::ModalWatcher(QObject *parent)
    : QObject(parent)
{
    connect(&timer, &QTimer::timeout, this, &ModalWatcher::poll);
    timer.start(10);
}

void ModalWatcher::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        if (!box->isVisible())
            return;
        SeenMessage seen;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.informativeText = box->informativeText();
        seen.icon = box->icon();
        for (QAbstractButton *button : box->buttons()) {
            seen.buttons << button->text();
            seen.buttonClasses << button->property("class").toString();
        }
        messages << seen;
        if (snapshot)
            snapshot();
        box->buttons().value(0) ? box->buttons().value(0)->click() : box->reject();
    } else if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
        if (!dialog->isVisible())
            return;
        fileDialogs << SeenFileDialog {
            dialog->windowTitle(), dialog->directory().absolutePath(), dialog->nameFilters()};
        if (snapshot)
            snapshot();
        if (fileAnswer.isEmpty()) {
            dialog->reject();
        } else {
            // Typed as a user would: selectFile() ignores files outside the folder shown.
            dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(fileAnswer);
            static_cast<QDialog *>(dialog)->accept();
        }
    }
}
