#pragma once

// Where this machine's administrator keeps the trusted keys and the signature
// policy; each platform's file answers. Any thread.

#include <QString>

struct SignaturePolicy;

namespace MachineConfig {

// Linux /etc/talvex-updater/trusted-keys, Windows %ProgramData%\TALVEX Updater\trusted-keys.
QString trustedKeysFolder();

// Linux /etc/talvex-updater/policy.ini, Windows HKLM\Software\TALVEX\Updater,
// value RequireSignature.
SignaturePolicy signaturePolicy();

} // namespace MachineConfig
