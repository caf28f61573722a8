// The firmware file format and its loader, checked against files built byte by
// byte here, with a checksum computed by an independent reference.

#include "firmware/firmwarefile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#endif

namespace {

// CRC-32/MPEG-2 the byte-wise way (MSB first, no reflection, no final XOR).
quint32 crc32Mpeg2(const QByteArray &bytes)
{
    quint32 crc = 0xFFFFFFFF;
    for (const char byte : bytes) {
        crc ^= quint32(quint8(byte)) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

// The header checksum equals CRC-32/MPEG-2 over the header with every group of
// four bytes reversed.
quint32 referenceChecksum(const QByteArray &header)
{
    QByteArray reversed = header;
    for (int group = 0; group + 4 <= reversed.size(); group += 4)
        std::reverse(reversed.begin() + group, reversed.begin() + group + 4);
    return crc32Mpeg2(reversed);
}

void putLittleEndian32(QByteArray &bytes, int offset, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = char(value >> (8 * i));
}

struct Image
{
    QByteArray magic = "BZOK";
    quint8 version = 1;
    quint8 subversion = 4;
    quint8 bugfix = 2;
    QByteArray reserved = QByteArray(5, '\0');
    quint32 build = 317;
    QByteArray name = "release/1.4.2";
    quint32 deviceWord = 0xA1B2C3D4;
    QByteArray deviceBlock = QByteArray::fromHex("00112233445566778899aabbccddeeff");
    QByteArray payload = "image bytes";
};

QByteArray headerOf(const Image &image, quint32 dataSize)
{
    QByteArray header(FirmwareFile::headerSize, '\0');
    header.replace(0, 4, image.magic);
    header[4] = char(image.version);
    header[5] = char(image.subversion);
    header[6] = char(image.bugfix);
    header.replace(7, 5, image.reserved);
    putLittleEndian32(header, 12, image.build);
    header.replace(16, image.name.size(), image.name);
    putLittleEndian32(header, 32, dataSize);
    putLittleEndian32(header, 36, image.deviceWord);
    header.replace(40, 16, image.deviceBlock);
    return header;
}

// Header, checksum and payload; `dataSize` as announced in the header.
QByteArray fileWithDataSize(const Image &image, quint32 dataSize)
{
    QByteArray bytes = headerOf(image, dataSize);
    bytes.resize(FirmwareFile::prefixSize);
    putLittleEndian32(
        bytes, FirmwareFile::headerSize, referenceChecksum(bytes.left(FirmwareFile::headerSize)));
    return bytes + image.payload;
}

QByteArray fileOf(const Image &image)
{
    return fileWithDataSize(image, quint32(image.payload.size()));
}

} // namespace

class TestFirmwareFile : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    int fileCount = 0;

    QString writeFile(const QByteArray &bytes)
    {
        const QString path = dir.filePath(QStringLiteral("f%1.tvf").arg(++fileCount));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    static bool loads(const QString &path)
    {
        FirmwareFile firmware;
        try {
            firmware.loadFile(path);
            return true;
        } catch (const FirmwareFile::fileCorruptedError &) {
            return false;
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
#ifdef Q_OS_UNIX
        // A loader that refuses a pipe early closes it under the writer.
        std::signal(SIGPIPE, SIG_IGN);
#endif
    }

    void errorSaysFileCorrupted()
    {
        QCOMPARE(FirmwareFile::fileCorruptedError().what(), "File corrupted!");
    }

    void checksumOfFourteenZeroWords()
    {
        QCOMPARE(crc32Mpeg2("123456789"), 0x0376E6E7u);
        QCOMPARE(referenceChecksum(QByteArray(56, '\0')), 0x6D5AEC34u);
        QCOMPARE(FirmwareFile::headerChecksum(FirmwareFile::THeader {}), 0x6D5AEC34u);
    }

    void checksumIsWordWiseNotByteWise()
    {
        Image image;
        QByteArray bytes = fileOf(image);
        putLittleEndian32(bytes, 56, crc32Mpeg2(bytes.left(56)));
        QVERIFY(!loads(writeFile(bytes)));
    }

    void loadsValidFile_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<quint32>("build");

        QTest::addRow("one payload byte") << QByteArray("develop") << QByteArray("x") << 1u;
        QTest::addRow("16-byte name without NUL kept whole")
            << QByteArray("feature/ABC-1234") << QByteArray(4096, '\x5a') << 0xFFFFFFFFu;
        QTest::addRow("empty name, payload of zeros") << QByteArray() << QByteArray(300, '\0') << 0u;
    }

    void loadsValidFile()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, payload);
        QFETCH(quint32, build);
        Image image;
        image.name = name;
        image.payload = payload;
        image.build = build;
        const QByteArray bytes = fileOf(image);

        FirmwareFile firmware;
        firmware.loadFile(writeFile(bytes));

        const FirmwareFile::THeader header = firmware.header();
        QCOMPARE(QByteArray(header.magic, 4), QByteArray("BZOK"));
        QCOMPARE(header.version, quint8(1));
        QCOMPARE(header.subversion, quint8(4));
        QCOMPARE(header.bugfix, quint8(2));
        QCOMPARE(header.build, build);
        QCOMPARE(QByteArray(header.name, 16), name + QByteArray(16 - name.size(), '\0'));
        QCOMPARE(header.dataSize, quint32(payload.size()));
        QCOMPARE(header.deviceWord, 0xA1B2C3D4u);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(header.deviceBlock), 16), image.deviceBlock);
        QCOMPARE(firmware.data(), payload);
        QCOMPARE(firmware.imageInfo(), bytes.mid(32, 24));
        QCOMPARE(FirmwareFile::fileHeaderBytes(header), bytes.left(60));
    }

    void refusesFile_data()
    {
        QTest::addColumn<QByteArray>("bytes");

        const Image image;
        const QByteArray valid = fileOf(image);
        Image lowerCase;
        lowerCase.magic = "bzok";
        Image oneLetterCase;
        oneLetterCase.magic = "BZoK";
        QByteArray wrongChecksum = valid;
        wrongChecksum[56] = char(wrongChecksum[56] ^ 1);

        QTest::addRow("empty file") << QByteArray();
        QTest::addRow("59 bytes") << valid.left(59);
        QTest::addRow("header alone, dataSize 1") << fileWithDataSize(Image {}, 1).left(60);
        QTest::addRow("one byte appended") << valid + 'x';
        QTest::addRow("last byte cut") << valid.left(valid.size() - 1);
        QTest::addRow("magic in lower case") << fileOf(lowerCase);
        QTest::addRow("magic differs in one letter's case") << fileOf(oneLetterCase);
        QTest::addRow("wrong checksum") << wrongChecksum;
        QTest::addRow("dataSize 0xFFFFFFFF, 60 bytes") << fileWithDataSize(Image {}, 0xFFFFFFFF).left(60);
        QTest::addRow("no image: exactly 60 bytes, dataSize 0") << fileWithDataSize(Image {}, 0).left(60);
    }

    void refusesFile()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY_EXCEPTION_THROWN(FirmwareFile().loadFile(writeFile(bytes)), FirmwareFile::fileCorruptedError);
    }

    void everyHeaderByteIsGuarded_data()
    {
        QTest::addColumn<int>("offset");
        for (int offset = 0; offset < FirmwareFile::prefixSize; ++offset)
            QTest::addRow("byte %d", offset) << offset;
    }

    void everyHeaderByteIsGuarded()
    {
        QFETCH(int, offset);
        const QByteArray valid = fileOf(Image {});
        for (const quint8 mask : {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0xFF}) {
            QByteArray bytes = valid;
            bytes[offset] = char(bytes[offset] ^ mask);
            QVERIFY2(!loads(writeFile(bytes)), qPrintable(QStringLiteral("mask %1").arg(mask, 0, 16)));
        }
    }

    void changedPayloadByteStillLoads_data()
    {
        QTest::addColumn<int>("index");
        QTest::addRow("first") << 0;
        QTest::addRow("middle") << 5;
        QTest::addRow("last") << 10;
    }

    void changedPayloadByteStillLoads()
    {
        QFETCH(int, index);
        QByteArray bytes = fileOf(Image {});
        bytes[60 + index] = char(~bytes[60 + index]);

        FirmwareFile firmware;
        firmware.loadFile(writeFile(bytes));
        QCOMPARE(firmware.data(), bytes.mid(60));
    }

    void unopenableFileIsRefused_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addRow("missing file") << dir.filePath(QStringLiteral("missing.tvf"));
        QTest::addRow("empty path") << QString();
        QTest::addRow("directory") << dir.path();
    }

    void unopenableFileIsRefused()
    {
        QFETCH(QString, path);
        QVERIFY_EXCEPTION_THROWN(FirmwareFile().loadFile(path), FirmwareFile::fileCorruptedError);
    }

    // A payload of 2 GiB or more cannot be held; the file must be refused from
    // its size alone, not by reading it (sparse files cost no disk).
    void payloadTooLargeToHoldIsRefusedUnread_data()
    {
        QTest::addColumn<quint32>("dataSize");
        QTest::addRow("one byte over the limit") << quint32(FirmwareFile::maxPayloadSize + 1);
        QTest::addRow("2 GiB") << 0x80000000u;
        QTest::addRow("4 GiB - 1") << 0xFFFFFFFFu;
    }

    void payloadTooLargeToHoldIsRefusedUnread()
    {
        QFETCH(quint32, dataSize);
        QFile file(writeFile(fileWithDataSize(Image {}, dataSize).left(60)));
        if (!file.resize(60 + qint64(dataSize)))
            QSKIP("the file system cannot hold a sparse file of this size");
        QVERIFY_EXCEPTION_THROWN(FirmwareFile().loadFile(file.fileName()), FirmwareFile::fileCorruptedError);
        file.remove();
    }

#ifdef Q_OS_LINUX
    // A file whose size does not match dataSize must be refused before its
    // payload is read: reading 1 GiB first would raise the peak memory by as much.
    void mismatchedSizeIsRefusedUnread_data()
    {
        QTest::addColumn<qint64>("extraBytes");
        QTest::addRow("one byte appended to a 1 GiB image") << qint64(1);
        QTest::addRow("last byte of a 1 GiB image cut") << qint64(-1);
    }

    void mismatchedSizeIsRefusedUnread()
    {
        QFETCH(qint64, extraBytes);
        const quint32 dataSize = 1u << 30;
        QFile file(writeFile(fileWithDataSize(Image {}, dataSize).left(60)));
        if (!file.resize(60 + qint64(dataSize) + extraBytes))
            QSKIP("the file system cannot hold a sparse file of this size");

        rusage before {};
        getrusage(RUSAGE_SELF, &before);
        QVERIFY_EXCEPTION_THROWN(FirmwareFile().loadFile(file.fileName()), FirmwareFile::fileCorruptedError);
        rusage after {};
        getrusage(RUSAGE_SELF, &after);
        file.remove();

        const long peakGrowthKiB = after.ru_maxrss - before.ru_maxrss;
        QVERIFY2(
            peakGrowthKiB < 256 * 1024, qPrintable(QStringLiteral("peak grew by %1 KiB").arg(peakGrowthKiB)));
    }
#endif

    void loadFileIsReachableByName()
    {
        const QByteArray bytes = fileOf(Image {});
        FirmwareFile firmware;
        QVERIFY(QMetaObject::invokeMethod(&firmware, "loadFile", Q_ARG(QString, writeFile(bytes))));
        QCOMPARE(firmware.data(), bytes.mid(60));
    }

#ifdef Q_OS_UNIX
    // A pipe has no size to check in advance; it is judged by what it delivers.
    void streamedFile_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("valid");
        const QByteArray valid = fileOf(Image {});
        Image large;
        large.payload = QByteArray(200 * 1024, '\x33');
        QTest::addRow("valid image") << valid << true;
        QTest::addRow("image larger than one read step") << fileOf(large) << true;
        QTest::addRow("one byte appended") << valid + 'x' << false;
        QTest::addRow("last byte cut") << valid.left(valid.size() - 1) << false;
        QTest::addRow("dataSize 0xFFFFFFFF") << fileWithDataSize(Image {}, 0xFFFFFFFF) << false;
    }

    void streamedFile()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, valid);
        const QString path = dir.filePath(QStringLiteral("pipe%1").arg(++fileCount));
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);

        std::thread writer([&] {
            QFile pipe(path);
            if (pipe.open(QIODevice::WriteOnly))
                pipe.write(bytes);
        });
        FirmwareFile firmware;
        bool loaded = true;
        try {
            firmware.loadFile(path);
        } catch (const FirmwareFile::fileCorruptedError &) {
            loaded = false;
        }
        writer.join();

        QCOMPARE(loaded, valid);
        if (valid)
            QCOMPARE(firmware.data(), bytes.mid(60));
    }
#endif
};

QTEST_GUILESS_MAIN(TestFirmwareFile)
#include "tst_firmwarefile.moc"
