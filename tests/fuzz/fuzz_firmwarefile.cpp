// libFuzzer target for the firmware file loader. Every input is written to a
// file and loaded; the outcome must match an independent judgement of the three
// checks, and an accepted file must come back exactly as it was read.

#include "firmware/firmwarefile.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "firmware loader fault: %s\n", what);
    std::abort();
}

quint32 readLittleEndian32(const uint8_t *bytes)
{
    return quint32(bytes[0]) | quint32(bytes[1]) << 8 | quint32(bytes[2]) << 16 | quint32(bytes[3]) << 24;
}

// CRC-32/MPEG-2 over the header with each group of four bytes reversed, which
// equals the word-wise header checksum.
quint32 referenceChecksum(const uint8_t *header)
{
    quint32 crc = 0xFFFFFFFF;
    for (int group = 0; group < FirmwareFile::headerSize; group += 4) {
        for (int i = 3; i >= 0; --i) {
            crc ^= quint32(header[group + i]) << 24;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
    }
    return crc;
}

bool shouldLoad(const uint8_t *data, size_t size)
{
    return size > size_t(FirmwareFile::prefixSize) && std::memcmp(data, "BZOK", 4) == 0
        && referenceChecksum(data) == readLittleEndian32(data + FirmwareFile::headerSize)
        && size - FirmwareFile::prefixSize == readLittleEndian32(data + FirmwareFile::imageInfoOffset)
        && size - FirmwareFile::prefixSize <= size_t(FirmwareFile::maxPayloadSize);
}

const QString &inputPath()
{
    static QTemporaryDir dir;
    static const QString path = dir.filePath(QStringLiteral("input.tvf"));
    if (!dir.isValid())
        fail("no temporary folder");
    return path;
}

void checkLoad(const QByteArray &input)
{
    {
        QFile file(inputPath());
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(input) != input.size())
            fail("cannot write the input file");
    }

    FirmwareFile firmware;
    bool loaded = true;
    try {
        firmware.loadFile(inputPath());
    } catch (const FirmwareFile::fileCorruptedError &) {
        loaded = false;
    }

    const auto *bytes = reinterpret_cast<const uint8_t *>(input.constData());
    if (loaded != shouldLoad(bytes, size_t(input.size())))
        fail(loaded ? "accepted a file that fails a check" : "refused a valid file");
    if (!loaded)
        return;

    if (firmware.data() != input.mid(FirmwareFile::prefixSize))
        fail("payload differs from the file");
    if (FirmwareFile::fileHeaderBytes(firmware.header()) != input.left(FirmwareFile::prefixSize))
        fail("header does not write back as read");
    if (firmware.imageInfo() != input.mid(FirmwareFile::imageInfoOffset, FirmwareFile::imageInfoSize))
        fail("image information differs from the file");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray input(reinterpret_cast<const char *>(data), int(size));
    checkLoad(input);

    // Random bytes almost never carry a matching checksum; the same input with
    // its checksum set right reaches the magic and length checks as well.
    if (input.size() >= FirmwareFile::prefixSize) {
        const quint32 checksum = referenceChecksum(reinterpret_cast<const uint8_t *>(input.constData()));
        for (int i = 0; i < 4; ++i)
            input[FirmwareFile::headerSize + i] = char(checksum >> (8 * i));
        checkLoad(input);
    }
    return 0;
}
