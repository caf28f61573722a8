#pragma once

// The steps of start-up that give the application its look and identity, kept
// apart from main so that tests can run them on their own application object.

#include <QString>
#include <QStringList>

class QApplication;

// The application's default font at 8 points, for every widget without a font of its own.
void applyApplicationFont();

// Reads the style sheet whole (UTF-8) and installs it. A missing file gives an
// empty style sheet, so the tool starts unstyled rather than not at all.
void installStyleSheet(QApplication &application, const QString &path = QStringLiteral(":/styles.qss"));

// Organization and application name; they also name the store of persisted settings.
void setApplicationIdentity();

// What the command line asks of the program.
enum class StartupRequest {
    FlashWindow, // the window, with firmwareFile loaded at the start when one is named
    StationWindow, // --station
    Help,
    Version,
    Refused, // an option the program does not know, or more than it can follow
};

struct StartupArguments
{
    StartupRequest request = StartupRequest::FlashWindow;
    QString firmwareFile;
    QString refusal; // Refused: what is wrong, in one line
};

// Reads the arguments as QCoreApplication::arguments() gives them, the
// program's name first and Qt's own options (-platform, -style, ...) already
// taken out. --help and --version win wherever they stand before "--", so
// that the raw command line can be asked for them before the application
// object, which needs a display, exists.
StartupArguments readStartupArguments(const QStringList &arguments);

// What --help and --version print.
QString startupHelpText();
QString startupVersionText();
