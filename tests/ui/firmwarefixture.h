#pragma once

// Helpers for window tests: small, valid firmware files, and a settings store
// of the test's own so the user's real settings are never touched.

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QString>

#include <cstring>

#include "app/startup.h"
#include "firmware/firmwarefile.h"

inline QString writeFirmwareFile(const QString &path, quint8 version, quint8 subversion, quint8 bugfix,
    quint32 build, const QByteArray &name, const QByteArray &payload = "image")
{
    FirmwareFile::THeader header {};
    std::memcpy(header.magic, "BZOK", 4);
    header.version = version;
    header.subversion = subversion;
    header.bugfix = bugfix;
    header.build = build;
    std::memcpy(header.name, name.constData(), size_t(qMin(name.size(), 16)));
    header.dataSize = quint32(payload.size());

    QFile file(path);
    if (!file.open(QFile::WriteOnly))
        return QString();
    file.write(FirmwareFile::fileHeaderBytes(header));
    file.write(payload);
    return path;
}

// Points the user-scope settings store at folder and gives the application the
// identity start-up gives it.
inline void useTestSettings(const QString &folder)
{
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder);
    setApplicationIdentity();
#ifdef Q_OS_WIN
    // The native store is the registry, which no path moves: each test
    // process keeps its settings under a name of its own.
    QCoreApplication::setApplicationName(QCoreApplication::applicationName()
        + QStringLiteral(" test %1").arg(QCoreApplication::applicationPid()));
#endif
}
