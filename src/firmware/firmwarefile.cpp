#include "firmwarefile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstring>
#include <new>
#include <utility>

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

// How many links a path may pass through before it counts as a loop, as
// the kernel counts them.
constexpr int symlinkLimit = 40;

bool isSymlinkLoop(const QString &fileName)
{
    QFileInfo link(fileName);
    for (int hops = 0; hops < symlinkLimit; ++hops) {
        if (!link.isSymLink())
            return false;
        link.setFile(link.symLinkTarget());
    }
    return true;
}

// Why a file could not be opened for reading, as a fault.
FirmwareFile::fileCorruptedError openFailure(const QFile &file)
{
    using Fault = FirmwareFile::Fault;
    const QFileInfo info(file.fileName());
    if (!info.exists())
        return FirmwareFile::fileCorruptedError(
            isSymlinkLoop(file.fileName()) ? Fault::SymlinkLoop : Fault::NoSuchFile);
    if (info.isDir())
        return FirmwareFile::fileCorruptedError(Fault::IsADirectory);
    if (!info.isReadable())
        return FirmwareFile::fileCorruptedError(Fault::PermissionDenied);
    return FirmwareFile::fileCorruptedError(Fault::Unreadable, -1, -1, file.errorString());
}

// An image of megabytes is faulted in by the read; in pages of 2 MiB where
// the system offers them, that is a few hundred faults fewer per megabyte.
void preferLargePages(char *data, qint64 size)
{
#ifdef Q_OS_LINUX
    const auto page = quintptr(sysconf(_SC_PAGESIZE));
    const quintptr start = (quintptr(data) + page - 1) & ~(page - 1);
    const quintptr end = (quintptr(data) + quintptr(size)) & ~(page - 1);
    // Only advice: without it the read works the same.
    if (end > start)
        madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
#else
    Q_UNUSED(data)
    Q_UNUSED(size)
#endif
}

// Appends exactly `size` bytes of file to bytes, reading once; throws when the
// file ends early, fails, or has more after them.
void readPayload(QFile &file, qint64 size, QByteArray &bytes)
{
    using Fault = FirmwareFile::Fault;
    const int start = bytes.size();
    const int end = start + int(size);
    // A pipe grows the block as bytes arrive; a file of known length is read in one go.
    const qint64 step = file.isSequential() ? sequentialReadStep : size;
    while (bytes.size() < end) {
        const int filled = bytes.size();
        const qint64 wanted = qMin(step, qint64(end - filled));
        bytes.resize(filled + int(wanted));
        if (!file.isSequential())
            preferLargePages(bytes.data() + filled, wanted);
        const qint64 got = file.read(bytes.data() + filled, wanted);
        bytes.resize(filled + int(qMax<qint64>(got, 0)));
        if (got < 0)
            throw FirmwareFile::fileCorruptedError(Fault::Unreadable, -1, -1, file.errorString());
        if (got == 0)
            throw FirmwareFile::fileCorruptedError(Fault::PayloadSizeMismatch, bytes.size() - start, size);
    }
    char extra;
    if (file.read(&extra, 1) != 0)
        throw FirmwareFile::fileCorruptedError(Fault::PayloadSizeMismatch, -1, size);
}

} // namespace

FirmwareFile::fileCorruptedError::fileCorruptedError(
    Fault fault, qint64 found, qint64 declared, QString systemText)
    : m_fault(fault)
    , m_found(found)
    , m_declared(declared)
    , m_systemText(std::move(systemText))
{ }

const char *FirmwareFile::fileCorruptedError::what() const noexcept
{
    return "File corrupted!";
}

QString FirmwareFile::fileCorruptedError::reason() const
{
    switch (m_fault) {
    case Fault::NoSuchFile:
        return QStringLiteral("no such file");
    case Fault::PermissionDenied:
        return QStringLiteral("permission denied");
    case Fault::IsADirectory:
        return QStringLiteral("is a directory");
    case Fault::SymlinkLoop:
        return QStringLiteral("too many levels of symbolic links");
    case Fault::ShorterThanHeader:
        return QStringLiteral("not a firmware file (%1 bytes, shorter than a header)").arg(m_found);
    case Fault::BadMagic:
        return QStringLiteral("not a firmware file (bad magic)");
    case Fault::HeaderChecksumMismatch:
        return QStringLiteral("header checksum mismatch");
    case Fault::EmptyPayload:
        return QStringLiteral("header says 0 bytes: the file carries no firmware image");
    case Fault::PayloadTooLarge:
        return QStringLiteral("header says %1 bytes, more than the largest image a flash sends (%2 bytes)")
            .arg(m_declared)
            .arg(maxPayloadSize);
    case Fault::PayloadSizeMismatch:
        // A stream does not say how long it is: more than wanted, or what arrived.
        return m_found < 0
            ? QStringLiteral("payload is more than %1 bytes, header says %1").arg(m_declared)
            : QStringLiteral("payload is %1 bytes, header says %2").arg(m_found).arg(m_declared);
    case Fault::Unreadable:
        break;
    }
    return m_systemText.isEmpty() ? QStringLiteral("cannot be read")
                                  : QStringLiteral("cannot be read: %1").arg(m_systemText);
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
    if (m_bytes.size() <= prefixSize)
        return QByteArray();
    return QByteArray::fromRawData(m_bytes.constData() + prefixSize, m_bytes.size() - prefixSize);
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
        throw openFailure(file);

    QByteArray bytes(prefixSize, Qt::Uninitialized);
    const qint64 prefixRead = file.read(bytes.data(), prefixSize);
    if (prefixRead < 0)
        throw fileCorruptedError(Fault::Unreadable, -1, -1, file.errorString());
    if (prefixRead != prefixSize)
        throw fileCorruptedError(Fault::ShorterThanHeader, prefixRead);

    const THeader header = decodeHeader(bytes.constData());
    const quint32 headerCrc = readLittleEndian32(bytes.constData() + headerSize);

    if (std::memcmp(header.magic, expectedMagic, sizeof expectedMagic) != 0)
        throw fileCorruptedError(Fault::BadMagic);
    if (checksumOfStoredHeader(bytes.constData()) != headerCrc)
        throw fileCorruptedError(Fault::HeaderChecksumMismatch);

    // Decide on the size from the header and the file's length before reading:
    // a disk image picked by mistake must not be pulled into memory only to be
    // refused afterwards.
    const qint64 payloadSize = header.dataSize;
    if (payloadSize == 0)
        throw fileCorruptedError(Fault::EmptyPayload, 0, 0);
    if (payloadSize > maxPayloadSize)
        throw fileCorruptedError(Fault::PayloadTooLarge, -1, payloadSize);
    if (!file.isSequential() && file.size() != prefixSize + payloadSize)
        throw fileCorruptedError(Fault::PayloadSizeMismatch, file.size() - prefixSize, payloadSize);

    try {
        readPayload(file, payloadSize, bytes);
    } catch (const std::bad_alloc &) {
        throw fileCorruptedError(Fault::Unreadable, -1, -1, QStringLiteral("not enough memory"));
    }

    m_header = header;
    m_headerCrc = headerCrc;
    m_bytes = std::move(bytes);
    const QMutexLocker lock(&m_sha256Lock);
    m_sha256.clear();
}

QByteArray FirmwareFile::sha256() const
{
    const QMutexLocker lock(&m_sha256Lock);
    if (m_sha256.isEmpty())
        m_sha256 = QCryptographicHash::hash(m_bytes, QCryptographicHash::Sha256);
    return m_sha256;
}
