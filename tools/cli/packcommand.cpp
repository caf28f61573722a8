// talvex-cli pack: writes a firmware file that the updater's loader accepts.

#include "clicommon.h"

#include "firmware/firmwarefile.h"
#include "qtcompat.h"

#include <QCommandLineParser>
#include <QFile>
#include <QSaveFile>

#include <cstring>

namespace {

const char packHelpText[] = "\n"
                            "Writes OUT: the firmware header with its checksum, then the bytes of PAYLOAD.\n"
                            "  --version X.Y.Z     version, sub-version and fix level, each 0 to 255\n"
                            "  --build N           build number, 0 to 4294967295\n"
                            "  --name TEXT         name of the build, at most 16 bytes in the local\n"
                            "                      encoding, e.g. release/1.4.2, master or\n"
                            "                      feature/ABC-12-new-menu (it decides the version text)\n"
                            "  --device-word HEX   32-bit value passed to the device, 1 to 8 hex digits\n"
                            "                      (default 0)\n"
                            "  --device-block HEX  16 bytes passed to the device, in file order, as\n"
                            "                      exactly 32 hex digits (default all zero)\n"
                            "Hex values may start with 0x. Decimal numbers take digits only.\n"
                            "OUT is written to a temporary file beside it and renamed into place once\n"
                            "complete, so a refused or failed pack leaves no OUT behind and an existing\n"
                            "OUT untouched.\n";

constexpr qint64 payloadReadStep = 1024 * 1024;

[[noreturn]] void refuse(const QString &message)
{
    failUsage(QStringLiteral("pack"), message, QLatin1String(packUsage));
}

[[noreturn]] void failFile(const QString &message)
{
    throw CommandError {ExitFileFailed, QStringLiteral("pack"), message, QString()};
}

bool isHexDigit(QChar character)
{
    return (character >= QLatin1Char('0') && character <= QLatin1Char('9'))
        || (character >= QLatin1Char('a') && character <= QLatin1Char('f'))
        || (character >= QLatin1Char('A') && character <= QLatin1Char('F'));
}

bool isDecimal(const QString &text)
{
    if (text.isEmpty())
        return false;
    for (const QChar character : text) {
        if (character < QLatin1Char('0') || character > QLatin1Char('9'))
            return false;
    }
    return true;
}

quint32 parseDecimal(const QString &text, quint32 maximum, const QString &what)
{
    bool ok = false;
    const qulonglong value = isDecimal(text) ? text.toULongLong(&ok, 10) : 0;
    if (!ok)
        refuse(QStringLiteral("%1 \"%2\" is not a decimal number").arg(what, text));
    if (value > maximum)
        refuse(QStringLiteral("%1 %2 is out of range (0 to %3)").arg(what, text).arg(maximum));
    return quint32(value);
}

// Hex digits, with or without 0x; `what` names the option in messages.
QString hexDigits(const QString &text, const QString &what)
{
    QString digits = text;
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        digits.remove(0, 2);
    for (const QChar character : digits) {
        if (!isHexDigit(character))
            refuse(QStringLiteral("%1 \"%2\" is not a hex value").arg(what, text));
    }
    if (digits.isEmpty())
        refuse(QStringLiteral("%1 \"%2\" has no hex digits").arg(what, text));
    return digits;
}

QString singleValue(const QCommandLineParser &parser, const QCommandLineOption &option)
{
    const QString name = QStringLiteral("--") + option.names().first();
    const QStringList values = parser.values(option);
    if (values.size() > 1)
        refuse(QStringLiteral("%1 is given more than once").arg(name));
    return values.isEmpty() ? QString() : values.first();
}

QString requiredValue(const QCommandLineParser &parser, const QCommandLineOption &option)
{
    if (!parser.isSet(option))
        refuse(QStringLiteral("--%1 is missing").arg(option.names().first()));
    return singleValue(parser, option);
}

void setVersion(FirmwareFile::THeader &header, const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 3)
        refuse(QStringLiteral("--version \"%1\" is not of the form X.Y.Z").arg(text));
    header.version = quint8(parseDecimal(parts[0], 255, QStringLiteral("version number")));
    header.subversion = quint8(parseDecimal(parts[1], 255, QStringLiteral("sub-version number")));
    header.bugfix = quint8(parseDecimal(parts[2], 255, QStringLiteral("fix level")));
}

void setName(FirmwareFile::THeader &header, const QString &text)
{
    const QByteArray name = QtCompat::toLocal8Bit(text);
    if (name.size() > int(sizeof header.name))
        refuse(QStringLiteral("--name \"%1\" is %2 bytes long; at most %3 fit")
                   .arg(text)
                   .arg(name.size())
                   .arg(sizeof header.name));
    std::memcpy(header.name, name.constData(), size_t(name.size()));
}

void setDeviceWord(FirmwareFile::THeader &header, const QString &text)
{
    const QString digits = hexDigits(text, QStringLiteral("--device-word"));
    if (digits.size() > 8)
        refuse(QStringLiteral("--device-word \"%1\" has more than 8 hex digits").arg(text));
    header.deviceWord = digits.toUInt(nullptr, 16);
}

void setDeviceBlock(FirmwareFile::THeader &header, const QString &text)
{
    const QString digits = hexDigits(text, QStringLiteral("--device-block"));
    if (digits.size() != 2 * int(sizeof header.deviceBlock))
        refuse(
            QStringLiteral("--device-block \"%1\" has %2 hex digits, not 32").arg(text).arg(digits.size()));
    const QByteArray bytes = QByteArray::fromHex(digits.toLatin1());
    std::memcpy(header.deviceBlock, bytes.constData(), sizeof header.deviceBlock);
}

QByteArray readPayload(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        failFile(QStringLiteral("cannot read PAYLOAD %1: %2").arg(fileName, file.errorString()));

    const auto tooLarge = [&](qint64 size) {
        refuse(QStringLiteral("PAYLOAD %1 has %2 bytes; a firmware file holds at most %3")
                   .arg(fileName)
                   .arg(size)
                   .arg(FirmwareFile::maxPayloadSize));
    };
    // A regular file is refused before it is read; a pipe only once it has
    // delivered one byte too many.
    if (!file.isSequential() && file.size() > FirmwareFile::maxPayloadSize)
        tooLarge(file.size());

    QByteArray payload;
    for (;;) {
        const QByteArray chunk = file.read(payloadReadStep);
        if (chunk.isEmpty())
            break;
        if (payload.size() + qint64(chunk.size()) > FirmwareFile::maxPayloadSize)
            tooLarge(payload.size() + qint64(chunk.size()));
        payload += chunk;
    }
    if (file.error() != QFileDevice::NoError)
        failFile(QStringLiteral("cannot read PAYLOAD %1: %2").arg(fileName, file.errorString()));
    // The loader refuses a file that carries no image.
    if (payload.isEmpty())
        refuse(
            QStringLiteral("PAYLOAD %1 is empty; a firmware file carries at least one byte").arg(fileName));
    return payload;
}

void writeAtomically(const QString &fileName, const QByteArray &head, const QByteArray &payload)
{
    QSaveFile out(fileName);
    if (!out.open(QIODevice::WriteOnly))
        failFile(QStringLiteral("cannot write OUT %1: %2").arg(fileName, out.errorString()));
    if (out.write(head) != head.size() || out.write(payload) != payload.size() || !out.commit())
        failFile(QStringLiteral("cannot write OUT %1: %2").arg(fileName, out.errorString()));
}

} // namespace

int runPack(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption helpOption(
        {QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    const QCommandLineOption versionOption(QStringLiteral("version"), QString(), QStringLiteral("X.Y.Z"));
    const QCommandLineOption buildOption(QStringLiteral("build"), QString(), QStringLiteral("N"));
    const QCommandLineOption nameOption(QStringLiteral("name"), QString(), QStringLiteral("TEXT"));
    const QCommandLineOption deviceWordOption(
        QStringLiteral("device-word"), QString(), QStringLiteral("HEX"));
    const QCommandLineOption deviceBlockOption(
        QStringLiteral("device-block"), QString(), QStringLiteral("HEX"));
    parser.addOptions(
        {helpOption, versionOption, buildOption, nameOption, deviceWordOption, deviceBlockOption});

    if (!parser.parse(QStringList {QStringLiteral("pack")} + arguments))
        refuse(parser.errorText());
    if (parser.isSet(helpOption)) {
        printOut(QLatin1String(packUsage) + QLatin1Char('\n') + QLatin1String(packHelpText));
        return ExitSuccess;
    }

    FirmwareFile::THeader header {};
    std::memcpy(header.magic, "BZOK", sizeof header.magic);
    setVersion(header, requiredValue(parser, versionOption));
    header.build = parseDecimal(requiredValue(parser, buildOption), 0xFFFFFFFF, QStringLiteral("--build"));
    setName(header, requiredValue(parser, nameOption));
    if (parser.isSet(deviceWordOption))
        setDeviceWord(header, singleValue(parser, deviceWordOption));
    if (parser.isSet(deviceBlockOption))
        setDeviceBlock(header, singleValue(parser, deviceBlockOption));

    const QStringList files = parser.positionalArguments();
    if (files.size() != 2)
        refuse(QStringLiteral("expected PAYLOAD and OUT, got %1 file argument(s)").arg(files.size()));

    const QByteArray payload = readPayload(files[0]);
    header.dataSize = quint32(payload.size());
    writeAtomically(files[1], FirmwareFile::fileHeaderBytes(header), payload);
    return ExitSuccess;
}
