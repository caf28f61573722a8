#include "startup.h"

#include <QApplication>
#include <QFile>
#include <QFont>

void applyApplicationFont()
{
    QFont font = QApplication::font();
    font.setPointSize(8);
    QApplication::setFont(font);
}

void installStyleSheet(QApplication &application, const QString &path)
{
    QFile file(path);
    file.open(QFile::ReadOnly);
    application.setStyleSheet(QString::fromUtf8(file.readAll()));
}

void setApplicationIdentity()
{
    QApplication::setOrganizationName(QStringLiteral("Vantor"));
    QApplication::setApplicationName(QStringLiteral("TALVEX Updater"));
}
