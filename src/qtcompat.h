#pragma once

// The few calls that differ between Qt 5 and Qt 6, so that the rest of the code
// reads the same on both and behaves the same. Free functions and types
// without state; any thread.

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
#include <QRecursiveMutex>
#endif

class QSettings;

namespace QtCompat {

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
// The result slot of QAbstractNativeEventFilter::nativeEventFilter.
using NativeEventResult = qintptr;
#else
using NativeEventResult = long;
#endif

#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
using RecursiveMutex = QRecursiveMutex;
#else
class RecursiveMutex : public QMutex
{
public:
    RecursiveMutex()
        : QMutex(QMutex::Recursive)
    { }
};
#endif

// Asks for high-resolution scaling as Qt 5 does it, by whole factors, so the
// window is laid out alike on both. Call before the application object exists.
void enableHighDpiScaling();

// Text in the local 8-bit encoding (firmware names, the command-line tool's
// output): the ANSI code page on Windows, UTF-8 everywhere else
// whatever the locale. Qt 6 has that rule built in and Debian's Qt 5 gets it
// from ICU, but a Qt 5 built without ICU would follow the locale.
QString fromLocal8Bit(const char *bytes, int size);
inline QString fromLocal8Bit(const QByteArray &bytes)
{
    return fromLocal8Bit(bytes.constData(), bytes.size());
}
QByteArray toLocal8Bit(const QString &text);

// The command-line tool's arguments by the same rule (on Windows, from the wide
// command line). Call after the application object exists.
QStringList commandLineArguments(int argc, char *argv[]);

// Settings files hold text as UTF-8, as Qt 6 writes them, so that a Qt 5 and a
// Qt 6 build read each other's files; files written before, with \x escapes,
// still read. Call right after constructing settings, before any access.
void storeSettingsTextAsUtf8(QSettings &settings);

// The id of a metatype registered under typeName, or QMetaType::UnknownType.
int metaTypeId(const char *typeName);

} // namespace QtCompat
