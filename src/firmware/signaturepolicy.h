#pragma once

// Whether this machine flashes files without a signature, and the one rule
// that decides whether a file may be flashed. A signature that does not
// verify is refused whatever the policy says. Any thread.

#include <QString>
#include <QVariant>

struct SignatureCheck;

struct SignaturePolicy
{
    bool requireSignature = false;
    // Where the setting was read: a file or a registry value; empty when
    // nothing set it.
    QString source;
    // A setting that exists but cannot be read or understood. Signatures
    // are then required: an administrator's intent is not guessed away.
    QString problem;

    // The machine's setting (see machineconfig.h).
    static SignaturePolicy machine();
    // An ini file with RequireSignature=true|false; no file, no requirement.
    static SignaturePolicy fromIniFile(const QString &path);
    // A value as read from the settings: true/false, yes/no, on/off, 1/0.
    static SignaturePolicy fromValue(const QVariant &value, const QString &source);

    // --require-signature for one run: can only make the policy stricter.
    SignaturePolicy requiredForThisRun(bool required) const;
};

enum class FlashRefusal {
    None,
    // The signature file is there but is broken, untrusted or does not match.
    BadSignature,
    // No signature, and the policy requires one.
    Unsigned,
};

// May the file whose signature was checked be flashed under this policy?
FlashRefusal flashRefusal(const SignatureCheck &check, const SignaturePolicy &policy);

// Why a file is refused, for a message box or stderr; empty for None.
QString flashRefusalText(FlashRefusal refusal, const SignatureCheck &check, const SignaturePolicy &policy);
