// talvex-cli info FILE: the checks of the updater's loader, then the header.

#include "clicommon.h"

#include "firmware/firmwarefile.h"
#include "firmware/versiontext.h"

#include <QCommandLineParser>

namespace {

const char infoHelpText[]
    = "\n"
      "Checks FILE exactly as the updater does before it offers the file for\n"
      "flashing. A valid file prints one \"key: value\" line each:\n"
      "  file        FILE as given\n"
      "  version     the version text the updater shows for the file\n"
      "  name        the name field of the header\n"
      "  build       the build number\n"
      "  payload     the size of the image in bytes, then \"bytes\"\n"
      "  image-info  the 24 bytes sent to the device ahead of the image, in hex\n"
      "Control characters in a value are printed as \"?\", so each key keeps one line.\n"
      "A file that fails a check prints what is wrong with it on stderr (\"no such\n"
      "file\", \"header checksum mismatch\", ...) and exits with 1.\n";

// A name field may hold any byte; one value must not spill into the next line.
QString oneLine(QString value)
{
    for (QChar &character : value) {
        if (character.category() == QChar::Other_Control)
            character = QLatin1Char('?');
    }
    return value;
}

void printField(const char *key, const QString &value)
{
    printOut(QStringLiteral("%1: %2\n").arg(QLatin1String(key), oneLine(value)));
}

} // namespace

int runInfo(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption helpOption(
        {QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    parser.addOption(helpOption);
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The firmware file to check."));

    if (!parser.parse(QStringList {QStringLiteral("info")} + arguments))
        failUsage(QStringLiteral("talvex-cli info: ") + parser.errorText(), QLatin1String(infoUsage));
    if (parser.isSet(helpOption)) {
        printOut(QLatin1String(infoUsage) + QLatin1Char('\n') + QLatin1String(infoHelpText));
        return ExitSuccess;
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() != 1)
        failUsage(QStringLiteral("talvex-cli info: expected exactly one FILE"), QLatin1String(infoUsage));
    const QString fileName = files.first();

    FirmwareFile firmware;
    try {
        firmware.loadFile(fileName);
    } catch (const FirmwareFile::fileCorruptedError &error) {
        // The window says only "File corrupted!"; someone fixing a build wants the fault.
        throw CommandError {ExitFileFailed,
            QStringLiteral("talvex-cli info: %1: %2").arg(fileName, error.reason()), QString()};
    }

    const FirmwareFile::THeader header = firmware.header();
    const QString name = firmwareNameText(header.name);
    printField("file", fileName);
    printField(
        "version", formatVersion(header.version, header.subversion, header.bugfix, header.build, name));
    printField("name", name);
    printField("build", QString::number(header.build));
    printField("payload", QStringLiteral("%1 bytes").arg(firmware.data().size()));
    printField("image-info", QString::fromLatin1(firmware.imageInfo().toHex()));
    return ExitSuccess;
}
