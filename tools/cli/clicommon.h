#pragma once

// What the commands of talvex-cli share: exit statuses, the error that ends a
// command, and plain-text output in the local encoding. Single-threaded.

#include <QString>
#include <QStringList>

enum ExitStatus {
    ExitSuccess = 0,
    // The file failed a check, or a file could not be read or written.
    ExitFileFailed = 1,
    // The command line or one of its values was refused.
    ExitUsage = 2,
    // A device is present but this user may not open it.
    ExitDeviceNotAccessible = 3,
};

// Ends a command: main() prints the message on stderr, followed by the
// command's usage line when `usage` is not empty, and exits with `status`.
struct CommandError
{
    ExitStatus status;
    QString message;
    QString usage;
};

constexpr char infoUsage[] = "usage: talvex-cli info FILE";
constexpr char packUsage[] = "usage: talvex-cli pack --version X.Y.Z --build N --name TEXT"
                             " [--device-word HEX] [--device-block HEX] PAYLOAD OUT";
constexpr char devicesUsage[] = "usage: talvex-cli devices";

void printOut(const QString &text);
void printErr(const QString &text);

// Thrown for a command line the tool cannot act on; prints the usage line.
[[noreturn]] void failUsage(const QString &message, const QString &usage);

int runInfo(const QStringList &arguments);
int runPack(const QStringList &arguments);
int runDevices(const QStringList &arguments);
