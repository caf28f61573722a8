#pragma once

// Checks a firmware file's detached minisign signature (FILE.minisig beside
// it) against the trusted keys, on the very bytes that were read for
// flashing: the prehashed algorithm hashes them in place, nothing is copied.
// Any thread; the keys are only read.

#include "firmware/minisignformat.h"

#include <QByteArray>
#include <QString>

class TrustedKeys;

enum class SignatureState {
    // Signed by a trusted key; the file and the trusted comment are as signed.
    Verified,
    // No signature file beside the firmware file.
    Unsigned,
    // A signature file that cannot be read or parsed, or does not verify.
    Invalid,
    // A well-formed signature by a key that is not trusted here.
    UntrustedKey,
};

struct SignatureCheck
{
    SignatureState state = SignatureState::Unsigned;
    // Why the state is Invalid or UntrustedKey; None otherwise.
    SignatureFault fault = SignatureFault::None;
    // The signature file looked for.
    QString signatureFile;
    // The key id the signature names (16 hex digits), once it could be parsed.
    QString keyId;
    // Only when Verified: until then nothing vouches for it.
    QString trustedComment;
    // The system's words for a file that cannot be read ("Permission denied").
    QString detail;

    bool isVerified() const { return state == SignatureState::Verified; }
};

class FirmwareSignature
{
public:
    static QString signatureFileFor(const QString &firmwarePath);

    // Reads the signature beside firmwarePath and verifies fileBytes, the
    // whole firmware file as read, with it. No signature file: Unsigned.
    static SignatureCheck check(
        const QByteArray &fileBytes, const QString &firmwarePath, const TrustedKeys &keys);

    // Verifies fileBytes with the text of a .minisig file.
    static SignatureCheck verify(
        const QByteArray &fileBytes, const QByteArray &signatureText, const TrustedKeys &keys);

    // Reads a signature or key file of at most Minisign::maxFileSize bytes.
    // A directory, a FIFO or a device is refused without being opened; for
    // Unreadable, detail gets the system's reason.
    static SignatureFault readSmallFile(const QString &path, QByteArray *text, QString *detail);
};

// "Signed: KEYID, trusted comment", "Not signed", or what is wrong with the
// signature: the one line every front end shows.
QString signatureStateText(const SignatureCheck &check);
