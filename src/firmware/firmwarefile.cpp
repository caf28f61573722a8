#include "firmwarefile.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <cstring>
#include <new>

namespace {

constexpr char expectedMagic[4] = {'B', 'Z', 'O', 'K'};
constexpr quint32 crcPolynomial = 0x04C11DB7;

// A pipe or character device does not know its size in advance; its payload is
// read in steps of this size so memory only grows as bytes actually arrive.
constexpr qint64 sequentialReadStep = 64 * 1024;

// The file's byte order, in one place: every multi-byte field passes through
// these two functions on its way into or out of a file.
quint32 readLittleEndian32(const char *bytes)
{
    return qFromLittleEndian<quint32>(bytes);
}

void writeLittleEndian32(quint32 value, char *bytes)
{
    qToLittleEndian<quint32>(value, bytes);
}

FirmwareFile::THeader decodeHeader(const char *bytes)
{
    FirmwareFile::THeader header;
    std::memcpy(&header, bytes, sizeof header);
    header.build = readLittleEndian32(bytes + offsetof(FirmwareFile::THeader, build));
    header.dataSize = readLittleEndian32(bytes + offsetof(FirmwareFile::THeader, dataSize));
    header.deviceWord = readLittleEndian32(bytes + offsetof(FirmwareFile::THeader, deviceWord));
    return header;
}

QByteArray encodeHeader(const FirmwareFile::THeader &header)
{
    char bytes[FirmwareFile::headerSize];
    std::memcpy(bytes, &header, sizeof bytes);
    writeLittleEndian32(header.build, bytes + offsetof(FirmwareFile::THeader, build));
    writeLittleEndian32(header.dataSize, bytes + offsetof(FirmwareFile::THeader, dataSize));
    writeLittleEndian32(header.deviceWord, bytes + offsetof(FirmwareFile::THeader, deviceWord));
    return QByteArray(bytes, sizeof bytes);
}

quint32 checksumOfStoredHeader(const char *bytes)
{
    quint32 crc = 0xFFFFFFFF;
    for (int offset = 0; offset < FirmwareFile::headerSize; offset += 4) {
        crc ^= readLittleEndian32(bytes + offset);
        for (int bit = 0; bit < 32; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ crcPolynomial : crc << 1;
    }
    return crc;
}

// Why a file could not be opened for reading, in a few words.
QString openFailure(const QFile &file)
{
    const QFileInfo info(file.fileName());
    if (!info.exists())
        return QStringLiteral("no such file");
    if (!info.isReadable())
        return QStringLiteral("permission denied");
    if (info.isDir())
        return QStringLiteral("is a directory");
    return file.errorString();
}

QString lengthMismatch(qint64 payloadSize, qint64 headerSize)
{
    return QStringLiteral("payload is %1 bytes, header says %2").arg(payloadSize).arg(headerSize);
}

// Reads exactly `size` bytes; false when the file ends early or has more after them.
bool readPayload(QFile &file, qint64 size, QByteArray &payload)
{
    const qint64 step = file.isSequential() ? sequentialReadStep : size;
    try {
        while (payload.size() < size) {
            const int filled = payload.size();
            const qint64 wanted = qMin(step, size - filled);
            payload.resize(filled + int(wanted));
            const qint64 got = file.read(payload.data() + filled, wanted);
            if (got <= 0)
                return false;
            payload.resize(filled + int(got));
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    char extra;
    return file.read(&extra, 1) == 0;
}

} // namespace

FirmwareFile::fileCorruptedError::fileCorruptedError(QString reason)
    : m_reason(std::move(reason))
{ }

const char *FirmwareFile::fileCorruptedError::what() const noexcept
{
    return "File corrupted!";
}

FirmwareFile::FirmwareFile(QObject *parent)
    : QObject(parent)
{ }

FirmwareFile::THeader FirmwareFile::header() const
{
    return m_header;
}

QByteArray FirmwareFile::data() const
{
    return m_data;
}

QByteArray FirmwareFile::imageInfo() const
{
    return encodeHeader(m_header).mid(imageInfoOffset, imageInfoSize);
}

quint32 FirmwareFile::headerChecksum(const THeader &header)
{
    return checksumOfStoredHeader(encodeHeader(header).constData());
}

QByteArray FirmwareFile::fileHeaderBytes(const THeader &header)
{
    const QByteArray stored = encodeHeader(header);
    char checksum[crcSize];
    writeLittleEndian32(checksumOfStoredHeader(stored.constData()), checksum);
    return stored + QByteArray(checksum, crcSize);
}

void FirmwareFile::loadFile(QString fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw fileCorruptedError(openFailure(file));

    char prefix[prefixSize];
    const qint64 prefixRead = file.read(prefix, prefixSize);
    if (prefixRead != prefixSize)
        throw fileCorruptedError(QStringLiteral("not a firmware file (%1 bytes, shorter than a header)")
                                     .arg(qMax<qint64>(prefixRead, 0)));

    const THeader header = decodeHeader(prefix);
    const quint32 headerCrc = readLittleEndian32(prefix + headerSize);

    if (std::memcmp(header.magic, expectedMagic, sizeof expectedMagic) != 0)
        throw fileCorruptedError(QStringLiteral("not a firmware file (bad magic)"));
    if (checksumOfStoredHeader(prefix) != headerCrc)
        throw fileCorruptedError(QStringLiteral("header checksum mismatch"));

    // Decide on the length before reading: a disk image picked by mistake must
    // not be pulled into memory only to be refused afterwards.
    const qint64 payloadSize = header.dataSize;
    if (!file.isSequential() && file.size() != prefixSize + payloadSize)
        throw fileCorruptedError(lengthMismatch(file.size() - prefixSize, payloadSize));
    if (payloadSize > maxPayloadSize)
        throw fileCorruptedError(
            QStringLiteral("header says %1 bytes, more than a payload can hold").arg(payloadSize));

    QByteArray payload;
    if (!readPayload(file, payloadSize, payload)) {
        // A stream does not say how long it is: more than wanted, or what arrived.
        throw fileCorruptedError(payload.size() == payloadSize
                ? QStringLiteral("payload is more than %1 bytes, header says %1").arg(payloadSize)
                : lengthMismatch(payload.size(), payloadSize));
    }

    m_header = header;
    m_headerCrc = headerCrc;
    m_data = payload;
}
