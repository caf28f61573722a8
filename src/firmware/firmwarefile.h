#pragma once

// A verified firmware image: the 56-byte header and the payload of a .tvf file.
// Filled once by loadFile on the main thread, read-only afterwards, so it can be
// shared with the worker thread without a lock.

#include <QByteArray>
#include <QObject>
#include <QSharedPointer>
#include <QString>

#include <cstddef>
#include <exception>
#include <limits>

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

    // The largest payload one QByteArray can hold in Qt 5: its allocation, the
    // array header and the terminating zero included, stays within INT_MAX.
    static constexpr qint64 maxPayloadSize
        = std::numeric_limits<int>::max() - qint64(sizeof(QByteArrayData)) - 1;

    // what() is the text the window shows for every fault; reason() names
    // the fault itself ("header checksum mismatch") for the command line.
    class fileCorruptedError : public std::exception
    {
    public:
        explicit fileCorruptedError(QString reason = QString());
        const char *what() const noexcept override;
        QString reason() const { return m_reason; }

    private:
        QString m_reason;
    };

    explicit FirmwareFile(QObject *parent = nullptr);

    THeader header() const;
    QByteArray data() const;

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
    // Reads and checks the file; throws fileCorruptedError when it is unreadable,
    // has a wrong magic or checksum, or its payload length differs from dataSize.
    // The length is checked before the payload is read, so a huge file picked by
    // mistake is refused without reading it. Leaves the object unchanged on failure.
    void loadFile(QString fileName);

private:
    THeader m_header {};
    quint32 m_headerCrc = 0;
    QByteArray m_data;
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
