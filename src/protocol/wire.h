#pragma once

// Little-endian integers as the device sends and expects them: the only place
// the protocol converts byte order.

#include <QByteArray>
#include <QtEndian>

#include <cstdint>

inline uint32_t wireToUint32(const void *bytes)
{
    return qFromLittleEndian<quint32>(bytes);
}

inline QByteArray uint32ToWire(uint32_t value)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian<quint32>(value, bytes.data());
    return bytes;
}

// The text of a fixed-size field that ends at its first NUL byte or at its end.
inline QByteArray fieldText(const char *field, int size)
{
    int length = 0;
    while (length < size && field[length] != '\0')
        ++length;
    return QByteArray(field, length);
}
