#pragma once

// How version numbers become text and back. Free functions without state,
// shared by the window, the station and the command-line tool.

#include <QString>
#include <QtGlobal>

// One rule for every firmware version shown: the file's, the device's, and the
// one reported after flashing. The build's name decides the form (release, master
// or development build).
QString formatVersion(quint8 version, quint8 subversion, quint8 bugfix, quint32 build, QString name);

// What stands for the version of a device whose firmware is not valid.
QString firmwareVersionPlaceholder();

// "major.minor" of the board, e.g. "2.0".
QString boardVersionText(quint8 boardVersion, quint8 boardSubversion);
// The reverse: "X.Y", 0 to 255 each; false for anything else.
bool parseBoardVersion(const QString &text, quint8 *boardVersion, quint8 *boardSubversion);

// The 16-byte name field of a firmware header: the bytes up to the first zero
// byte (all 16 when there is none), decoded from the local 8-bit encoding
// (QtCompat::fromLocal8Bit).
QString firmwareNameText(const char (&name)[16]);
