#pragma once

// What the commands of talvex-cli share: exit statuses, the error that ends a
// command, usage lines, and plain-text output in the local encoding. Main
// thread.

#include "firmware/flashapproval.h"

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

class FirmwareFile;

enum ExitStatus {
    ExitSuccess = 0,
    // The file failed a check, or a file could not be read or written.
    ExitFileFailed = 1,
    // The command line or one of its values was refused.
    ExitUsage = 2,
    // No device to work on: none attached, none with the serial number
    // asked for, or several and none chosen.
    ExitNoDevice = 3,
    // The device operation failed; nothing is reported as done.
    ExitDeviceFailed = 4,
    // A read brought nothing: the block is empty, or the read failed.
    ExitNothingRead = 5,
};

// Ends a command: main() prints text() on stderr, followed by the command's
// usage line when `usage` is not empty, reports `reason` as the run's, and
// exits with `status`.
struct CommandError
{
    ExitStatus status;
    // The command as it was typed; empty for the tool itself.
    QString command;
    QString reason;
    QString usage;
    // The operation ran and did not succeed, as opposed to being refused or
    // not reaching a device; stderr says so before the reason.
    bool operationFailed = false;

    // "talvex-cli COMMAND: REASON", or "talvex-cli: REASON" for the tool.
    QString text() const;
};

constexpr char infoUsage[] = "usage: talvex-cli info [--key FILE.pub]... [--require-signature] [--json] FILE";
constexpr char packUsage[] = "usage: talvex-cli pack --version X.Y.Z --build N --name TEXT"
                             " [--device-word HEX] [--device-block HEX] PAYLOAD OUT";
constexpr char lineUsage[] = "usage: talvex-cli line report URI [--since TIME] [--station NAME] [--json|--csv]\n"
                             "       talvex-cli line reservations URI\n"
                             "       talvex-cli line burn URI SERIAL...";

// The human text on stdout; left out under --json, where stdout carries
// only the JSON events.
void printOut(const QString &text);
void printErr(const QString &text);
// Help text, printed whatever else is asked for.
void printHelp(const QString &text);

// What starts each line the tool writes about command on stderr.
QString commandPrefix(const QString &command);
// Thrown for a command line the tool cannot act on; prints the usage line.
[[noreturn]] void failUsage(const QString &command, const QString &reason, const QString &usage);
// Thrown for a device operation that ran and did not succeed.
[[noreturn]] void failOperation(const QString &command, const QString &reason);

// --key FILE.pub (repeatable) and --require-signature, read alike by info,
// flash and station, and the lines of help that explain them.
QList<QCommandLineOption> signatureOptions();
extern const char signatureOptionsHelp[];
// Checks the signature over the bytes firmware read from fileName, with the
// machine's keys and policy and the run's options; each key file that cannot
// be used is named on stderr.
FlashApproval checkSignature(const QString &command, const FirmwareFile &firmware, const QString &fileName,
    const FlashApproval::Options &options);
// Ends the command with exit 1 and the reason when the file may not be flashed.
void failIfRefused(const QString &command, const QString &fileName, const FlashApproval &approval);

// The file commands; the device commands are in devicecommand.h.
int runInfo(const QStringList &arguments);
int runPack(const QStringList &arguments);
// The line's shared database.
int runLine(const QStringList &arguments);
