#include "flashapproval.h"

#include "firmware/firmwarefile.h"

#include <QRegularExpression>

QString FlashApproval::recordState() const
{
    if (isRefused())
        return QString();
    return check.isVerified() ? QStringLiteral("verified") : QStringLiteral("unsigned");
}

FlashApproval FlashApproval::decide(
    const FirmwareFile &firmware, const QString &firmwarePath, const Options &options)
{
    FlashApproval approval;
    const TrustedKeys keys = TrustedKeys::load(options.keyFiles);
    approval.keyProblems = keys.problems();
    // The very bytes that were read once and will be flashed, not a second read.
    approval.check = FirmwareSignature::check(firmware.fileBytes(), firmwarePath, keys);
    approval.policy = SignaturePolicy::machine().requiredForThisRun(options.requireSignature);
    approval.refusal = flashRefusal(approval.check, approval.policy);
    return approval;
}

QString signatureShortText(const FlashApproval &approval)
{
    if (approval.isRefused())
        return QStringLiteral("refused");
    return approval.check.isVerified() ? QStringLiteral("signed") : QStringLiteral("not signed");
}

bool isSha256Hex(const QString &text)
{
    static const QRegularExpression hex(QStringLiteral("\\A[0-9A-Fa-f]{64}\\z"));
    return hex.match(text).hasMatch();
}
