#pragma once

// The steps of start-up that give the application its look and identity, kept
// apart from main so that tests can run them on their own application object.

#include <QString>

class QApplication;

// The application's default font at 8 points, for every widget without a font of its own.
void applyApplicationFont();

// Reads the style sheet whole (UTF-8) and installs it. A missing file gives an
// empty style sheet, so the tool starts unstyled rather than not at all.
void installStyleSheet(QApplication &application, const QString &path = QStringLiteral(":/styles.qss"));

// Organization and application name; they also name the store of persisted settings.
void setApplicationIdentity();
