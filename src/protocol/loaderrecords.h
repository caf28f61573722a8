#pragma once

// What the device's records say, field by field, for the loader, the proxy
// and the command-line tool alike.

#include "protocol/usbloader.h"
#include "protocol/wire.h"

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

inline bool isValid(const UsbLoader::TFirmwareInformation &record)
{
    return record.flags & 0x01;
}

inline uint buildNumber(const UsbLoader::TFirmwareInformation &record)
{
    return wireToUint32(record.build);
}
