#include "firmware/machineconfig.h"

#include "firmware/signaturepolicy.h"

QString MachineConfig::trustedKeysFolder()
{
    return QStringLiteral("/etc/talvex-updater/trusted-keys");
}

SignaturePolicy MachineConfig::signaturePolicy()
{
    return SignaturePolicy::fromIniFile(QStringLiteral("/etc/talvex-updater/policy.ini"));
}
