#include "clicommon.h"

#include "commandreport.h"
#include "qtcompat.h"

#include <cstdio>

const char signatureOptionsHelp[] = "  --key FILE.pub        trust this public key too (repeatable)\n"
                                    "  --require-signature   refuse FILE when it is not signed\n";

QList<QCommandLineOption> signatureOptions()
{
    return {{QStringLiteral("key"), QString(), QStringLiteral("FILE.pub")},
        {QStringLiteral("require-signature"), QString()}};
}

FlashApproval checkSignature(const QString &command, const FirmwareFile &firmware, const QString &fileName,
    const FlashApproval::Options &options)
{
    const FlashApproval approval = FlashApproval::decide(firmware, fileName, options);
    for (const TrustedKeys::Problem &problem : approval.keyProblems)
        printErr(commandPrefix(command) + QStringLiteral("key %1\n").arg(TrustedKeys::problemText(problem)));
    return approval;
}

void failIfRefused(const QString &command, const QString &fileName, const FlashApproval &approval)
{
    if (approval.isRefused())
        throw CommandError {ExitFileFailed, command,
            QStringLiteral("%1: %2").arg(fileName, approval.refusalText()), QString()};
}

void printOut(const QString &text)
{
    if (!CommandReport::current().isJson())
        printHelp(text);
}

void printHelp(const QString &text)
{
    std::fputs(QtCompat::toLocal8Bit(text).constData(), stdout);
}

void printErr(const QString &text)
{
    std::fputs(QtCompat::toLocal8Bit(text).constData(), stderr);
}

QString commandPrefix(const QString &command)
{
    return command.isEmpty() ? QStringLiteral("talvex-cli: ")
                             : QStringLiteral("talvex-cli %1: ").arg(command);
}

QString CommandError::text() const
{
    return commandPrefix(command) + (operationFailed ? QStringLiteral("failed: ") : QString()) + reason;
}

void failUsage(const QString &command, const QString &reason, const QString &usage)
{
    throw CommandError {ExitUsage, command, reason, usage};
}

void failOperation(const QString &command, const QString &reason)
{
    throw CommandError {ExitDeviceFailed, command, reason, QString(), true};
}
