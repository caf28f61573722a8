#include "signaturepolicy.h"

#include "firmware/firmwaresignature.h"
#include "firmware/machineconfig.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

SignaturePolicy SignaturePolicy::machine()
{
    return MachineConfig::signaturePolicy();
}

SignaturePolicy SignaturePolicy::fromIniFile(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return {};
    SignaturePolicy unreadable;
    unreadable.requireSignature = true;
    unreadable.source = path;
    // QSettings reads an unreadable file as an empty one: look first.
    QFile file(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
        unreadable.problem
            = QStringLiteral("%1 cannot be read (%2)")
                  .arg(path, info.isDir() ? QStringLiteral("is a directory") : file.errorString());
        return unreadable;
    }
    file.close();
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        unreadable.problem = QStringLiteral("%1 is not a valid settings file").arg(path);
        return unreadable;
    }
    return fromValue(settings.value(QStringLiteral("RequireSignature")), path);
}

SignaturePolicy SignaturePolicy::fromValue(const QVariant &value, const QString &source)
{
    SignaturePolicy policy;
    if (!value.isValid())
        return policy;
    policy.source = source;
    const QString text = value.toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("yes") || text == QLatin1String("on")
        || text == QLatin1String("1")) {
        policy.requireSignature = true;
    } else if (!(text == QLatin1String("false") || text == QLatin1String("no") || text == QLatin1String("off")
                   || text == QLatin1String("0"))) {
        policy.requireSignature = true;
        policy.problem
            = QStringLiteral("%1: RequireSignature is \"%2\", neither true nor false").arg(source, text);
    }
    return policy;
}

SignaturePolicy SignaturePolicy::requiredForThisRun(bool required) const
{
    SignaturePolicy policy = *this;
    if (required && !policy.requireSignature) {
        policy.requireSignature = true;
        policy.source = QStringLiteral("--require-signature");
    }
    return policy;
}

FlashRefusal flashRefusal(const SignatureCheck &check, const SignaturePolicy &policy)
{
    switch (check.state) {
    case SignatureState::Verified:
        return FlashRefusal::None;
    case SignatureState::Unsigned:
        return policy.requireSignature ? FlashRefusal::Unsigned : FlashRefusal::None;
    case SignatureState::Invalid:
    case SignatureState::UntrustedKey:
        break;
    }
    return FlashRefusal::BadSignature;
}

QString flashRefusalText(FlashRefusal refusal, const SignatureCheck &check, const SignaturePolicy &policy)
{
    switch (refusal) {
    case FlashRefusal::None:
        return QString();
    case FlashRefusal::BadSignature:
        return signatureStateText(check) + QStringLiteral(": this file will not be flashed");
    case FlashRefusal::Unsigned:
        break;
    }
    const QString why = policy.problem.isEmpty()
        ? QStringLiteral("%1 requires a signature").arg(policy.source)
        : policy.problem + QStringLiteral(", so a signature is required");
    return QStringLiteral("Not signed: %1 is missing and %2").arg(check.signatureFile, why);
}
