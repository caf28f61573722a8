#include "firmware/machineconfig.h"

#include "firmware/signaturepolicy.h"

#include <QDir>
#include <QSettings>

QString MachineConfig::trustedKeysFolder()
{
    QString programData = qEnvironmentVariable("ProgramData");
    if (programData.isEmpty())
        programData = QStringLiteral("C:\\ProgramData");
    return QDir::toNativeSeparators(programData + QStringLiteral("/TALVEX Updater/trusted-keys"));
}

SignaturePolicy MachineConfig::signaturePolicy()
{
    const QString key = QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\TALVEX\\Updater");
    QSettings settings(key, QSettings::NativeFormat);
    return SignaturePolicy::fromValue(
        settings.value(QStringLiteral("RequireSignature")), key + QStringLiteral("\\RequireSignature"));
}
