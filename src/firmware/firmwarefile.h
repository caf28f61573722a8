#pragma once

// A verified firmware image: the 56-byte header and the payload of a .tvf file.
// Filled once by loadFile on the main thread, read-only afterwards, so it can be
// shared with the worker thread without a lock (the SHA-256, taken on demand,
// has a lock of its own).

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QSharedPointer>
#include <QString>

#include <cstddef>
#include <exception>

class FirmwareFile : public QObject
{
    Q_OBJECT

public:
#pragma pack(push, 1)
    // Bytes 0 to 55 of the file, field by field. The integers hold host-order
    // values here; the file stores them little-endian.
    struct THeader
    {
        char magic[4];
        quint8 version;
        quint8 subversion;
        quint8 bugfix;
        quint8 reserved1;
        quint8 reserved2[4];
        quint32 build;
        char name[16];
        // dataSize, deviceWord and deviceBlock form the image information sent
        // to the device ahead of the payload.
        quint32 dataSize;
        quint32 deviceWord;
        quint8 deviceBlock[16];
    };
#pragma pack(pop)

    static constexpr int headerSize = 56;
    static constexpr int crcSize = 4;
    static constexpr int imageInfoOffset = 32;
    static constexpr int imageInfoSize = 24;
    static constexpr int prefixSize = headerSize + crcSize;

    // The largest image a flash sends: the transfer is made for blocks whose
    // percentage product (bytes x 100) fits a signed 32-bit integer. A header
    // that announces more is refused before its payload is read.
    static constexpr qint64 maxPayloadSize = 21474836;

    // Why a file was refused, as a value; fileCorruptedError::reason() is its text.
    enum class Fault {
        Unreadable, // opening or reading failed for another reason: systemText says which
        NoSuchFile,
        PermissionDenied,
        IsADirectory,
        SymlinkLoop,
        ShorterThanHeader, // found: the bytes the file holds
        BadMagic,
        HeaderChecksumMismatch,
        EmptyPayload, // the header announces an image of 0 bytes
        PayloadTooLarge, // declared: the header's dataSize, over maxPayloadSize
        PayloadSizeMismatch, // found: the payload bytes there are (-1: more than declared)
    };

    // what() is the text the window shows for every fault; fault() and its
    // figures say which one, and reason() names it ("header checksum mismatch").
    class fileCorruptedError : public std::exception
    {
    public:
        explicit fileCorruptedError(Fault fault = Fault::Unreadable, qint64 found = -1, qint64 declared = -1,
            QString systemText = {});
        const char *what() const noexcept override;
        Fault fault() const { return m_fault; }
        qint64 found() const { return m_found; }
        qint64 declared() const { return m_declared; }
        // The fault in a few words, the one text of it every front end shows.
        QString reason() const;

    private:
        Fault m_fault;
        qint64 m_found;
        qint64 m_declared;
        QString m_systemText;
    };

    explicit FirmwareFile(QObject *parent = nullptr);

    THeader header() const;
    // The payload: a view into fileBytes(), not a copy. It stays valid while
    // this object lives, which the shared pointer a flash holds ensures.
    QByteArray data() const;
    // The whole file exactly as read, header and payload, in one block; what
    // a signature over the file covers.
    const QByteArray &fileBytes() const
    {
        return m_bytes;
    }
    // SHA-256 of fileBytes(), taken once, when first asked: the bytes never
    // change after the load, and the window, which never shows the hash, does
    // not pay for it. Any thread.
    QByteArray sha256() const;

    // The 24 bytes the device receives before the image: dataSize, deviceWord
    // and deviceBlock exactly as they stand in the file.
    QByteArray imageInfo() const;

    // The word-wise header checksum (CRC-32, polynomial 0x04C11DB7, initial
    // value all ones, no reflection, no final inversion, fed little-endian words).
    static quint32 headerChecksum(const THeader &header);

    // The first 60 bytes of a file carrying this header: the header as stored,
    // then its checksum. What a writer of firmware files puts before the payload.
    static QByteArray fileHeaderBytes(const THeader &header);

public slots:
    // Reads the file once, whole, and checks it; throws fileCorruptedError when
    // it is unreadable, has a wrong magic or checksum, announces no payload or
    // more than maxPayloadSize, or its payload length differs from dataSize.
    // Sizes are judged from the header and the file's length before the payload
    // is read, so a huge file picked by mistake is refused without reading it;
    // a pipe is read once, as it comes. Leaves the object unchanged on failure.
    void loadFile(QString fileName);

private:
    THeader m_header {};
    quint32 m_headerCrc = 0;
    QByteArray m_bytes;
    mutable QMutex m_sha256Lock;
    mutable QByteArray m_sha256;
};

static_assert(sizeof(FirmwareFile::THeader) == FirmwareFile::headerSize, "header must be 56 bytes");
static_assert(offsetof(FirmwareFile::THeader, version) == 4, "version at 4");
static_assert(offsetof(FirmwareFile::THeader, reserved1) == 7, "reserved byte at 7");
static_assert(offsetof(FirmwareFile::THeader, reserved2) == 8, "reserved word at 8");
static_assert(offsetof(FirmwareFile::THeader, build) == 12, "build at 12");
static_assert(offsetof(FirmwareFile::THeader, name) == 16, "name at 16");
static_assert(offsetof(FirmwareFile::THeader, dataSize) == FirmwareFile::imageInfoOffset, "dataSize at 32");
static_assert(offsetof(FirmwareFile::THeader, deviceWord) == 36, "deviceWord at 36");
static_assert(offsetof(FirmwareFile::THeader, deviceBlock) == 40, "deviceBlock at 40");
