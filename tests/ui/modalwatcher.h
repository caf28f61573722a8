#pragma once

// Answers the modal dialogs a window opens while a test drives it: a message box
// is recorded and closed, a file dialog is recorded and given a file or cancelled.
// Whatever the test wants to know about the moment the dialog appeared is taken
// by the snapshot callback.

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

class QWidget;

struct SeenMessage
{
    QString title;
    QString text;
    QString informativeText;
    int icon = 0;
    QStringList buttons;
    QStringList buttonClasses;
};

struct SeenFileDialog
{
    QString caption;
    QString directory;
    QStringList nameFilters;
};

class ModalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit ModalWatcher(QObject *parent = nullptr);

    // Answer file dialogs with this path; an empty path cancels them.
    void setFileAnswer(const QString &path) { fileAnswer = path; }
    void setSnapshot(std::function<void()> callback) { snapshot = std::move(callback); }

    QList<SeenMessage> messages;
    QList<SeenFileDialog> fileDialogs;

private:
    void poll();

    QTimer timer;
    QString fileAnswer;
    std::function<void()> snapshot;
};
