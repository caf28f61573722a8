#pragma once

// Writes small, valid firmware files for window tests.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstring>

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
    const quint32 crc = FirmwareFile::headerChecksum(header);

    QFile file(path);
    if (!file.open(QFile::WriteOnly))
        return QString();
    file.write(reinterpret_cast<const char *>(&header), sizeof header);
    file.write(reinterpret_cast<const char *>(&crc), sizeof crc);
    file.write(payload);
    return path;
}
