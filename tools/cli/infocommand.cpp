// talvex-cli info FILE: the checks of the updater's loader, then the header.

#include "clicommon.h"
#include "commandreport.h"

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
      "  signature   verified, unsigned, invalid or untrusted-key: the signature\n"
      "              FILE.minisig beside FILE, checked with the trusted keys\n"
      "  signer      the key id the signature names (16 hex digits), when it has one\n"
      "  trusted-comment  the signed comment, once the signature is verified\n"
      "Control characters in a value are printed as \"?\", so each key keeps one line.\n"
      "A file that fails a check prints what is wrong with it on stderr (\"no such\n"
      "file\", \"header checksum mismatch\", ...) and exits with 1. So does a file\n"
      "whose signature does not verify, and an unsigned file when signatures are\n"
      "required (--require-signature, or the machine's policy).\n"
      "\n"
      "Trusted keys: those built into the program, every *.pub in the machine's\n"
      "folder (/etc/talvex-updater/trusted-keys; on Windows %ProgramData%\\TALVEX\n"
      "Updater\\trusted-keys), and --key.\n"
      "A key file that cannot be used is named on stderr and skipped.\n"
      "\n"
      "Options:\n";

const char infoJsonHelp[] = "  --json                print one JSON object with these fields instead, with\n"
                            "                        \"ok\", \"exit\" and, when not ok, \"reason\"\n";

const char *signatureStateName(SignatureState state)
{
    switch (state) {
    case SignatureState::Verified:
        return "verified";
    case SignatureState::Unsigned:
        return "unsigned";
    case SignatureState::Invalid:
        return "invalid";
    case SignatureState::UntrustedKey:
        return "untrusted-key";
    }
    return "";
}

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
    CommandReport::current().addResult(
        QString::fromLatin1(key).replace(QLatin1Char('-'), QLatin1Char('_')), value);
}

} // namespace

int runInfo(const QStringList &arguments)
{
    // Known before the command line is parsed, so that a refused one ends
    // with its JSON result as well.
    if (arguments.contains(QLatin1String("--json")))
        CommandReport::current().start(QStringLiteral("info"), true);
    QCommandLineParser parser;
    const QCommandLineOption helpOption(
        {QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    parser.addOption(helpOption);
    const QCommandLineOption jsonOption(QStringLiteral("json"));
    parser.addOptions(signatureOptions() << jsonOption);
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The firmware file to check."));

    if (!parser.parse(QStringList {QStringLiteral("info")} + arguments))
        failUsage(QStringLiteral("info"), parser.errorText(), QLatin1String(infoUsage));
    if (parser.isSet(helpOption)) {
        printOut(QLatin1String(infoUsage) + QLatin1Char('\n') + QLatin1String(infoHelpText)
            + QLatin1String(signatureOptionsHelp) + QLatin1String(infoJsonHelp));
        return ExitSuccess;
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() != 1)
        failUsage(
            QStringLiteral("info"), QStringLiteral("expected exactly one FILE"), QLatin1String(infoUsage));
    const QString fileName = files.first();

    FirmwareFile firmware;
    try {
        firmware.loadFile(fileName);
    } catch (const FirmwareFile::fileCorruptedError &error) {
        // The window says only "File corrupted!"; someone fixing a build wants the fault.
        throw CommandError {ExitFileFailed, QStringLiteral("info"),
            QStringLiteral("%1: %2").arg(fileName, error.reason()), QString()};
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

    const FlashApproval approval = checkSignature(QStringLiteral("info"), firmware, fileName,
        {parser.values(QStringLiteral("key")), parser.isSet(QStringLiteral("require-signature"))});
    const SignatureCheck &signature = approval.check;
    printField("signature", QLatin1String(signatureStateName(signature.state)));
    if (!signature.keyId.isEmpty())
        printField("signer", signature.keyId);
    if (signature.isVerified())
        printField("trusted-comment", signature.trustedComment);
    failIfRefused(QStringLiteral("info"), fileName, approval);
    return ExitSuccess;
}
