#pragma once

// What the device's records say, field by field, for the loader, the proxy
// and the command-line tool alike.

#include "protocol/usbloader.h"
#include "protocol/wire.h"
#include "qtcompat.h"

#include <QString>

inline bool isValid(const UsbLoader::TDeviceInformation &record)
{
    return record.flags & 0x01;
}

inline uchar boardHwType(const UsbLoader::TDeviceInformation &record)
{
    return uchar((record.flags >> 1) & 0x03);
}

inline bool isJtagProtected(const UsbLoader::TDeviceInformation &record)
{
    return record.flags & 0x08;
}

// The serial number field as UTF-8 text up to its first NUL byte.
inline QString serialNumberText(const UsbLoader::TDeviceInformation &record)
{
    return QString::fromUtf8(fieldText(record.SN, sizeof record.SN));
}

// The identity record's serial field: flashDeviceInformation sends the text
// in the local 8-bit encoding, and the device reads it back as UTF-8 up to
// its first NUL.
constexpr int serialNumberBytes = int(sizeof(UsbLoader::TDeviceInformation::SN));

// Why serial cannot be written to the identity record and read back the
// same, as a phrase after the serial ("is empty"), or an empty text when it can.
inline QString serialNumberRefusal(const QString &serial)
{
    const QByteArray bytes = QtCompat::toLocal8Bit(serial);
    if (serial.isEmpty())
        return QStringLiteral("is empty; the identity record needs 1 to %1 bytes").arg(serialNumberBytes);
    if (bytes.size() > serialNumberBytes)
        return QStringLiteral("is %1 bytes long; at most %2 fit").arg(bytes.size()).arg(serialNumberBytes);
    // A NUL would end it early; the others break the one line it is shown on.
    for (const QChar c : serial) {
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("holds a control character (U+%1); the serial is shown on one line")
                .arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    if (QString::fromUtf8(bytes) != serial)
        return QStringLiteral("cannot be read back as written: the device reads its serial as UTF-8, "
                              "and this system would send it in another encoding; use ASCII characters");
    return QString();
}

inline bool isValid(const UsbLoader::TFirmwareInformation &record)
{
    return record.flags & 0x01;
}

inline uint buildNumber(const UsbLoader::TFirmwareInformation &record)
{
    return wireToUint32(record.build);
}
