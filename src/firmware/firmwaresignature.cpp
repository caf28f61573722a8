#include "firmwaresignature.h"

#include "firmware/trustedkeys.h"

#include <QFile>
#include <QFileInfo>

#include <sodium.h>

#include <algorithm>
#include <vector>

namespace {

void initialiseSodium()
{
    // Thread-safe and cheap once done; it fails only without a source of
    // randomness, which verifying does not need, so the result is not fatal.
    static const int result = sodium_init();
    Q_UNUSED(result)
}

bool verifiesFile(
    const Minisign::Signature &signature, const QByteArray &fileBytes, const Minisign::PublicKey &key)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(fileBytes.constData());
    const auto size = static_cast<unsigned long long>(fileBytes.size());
    if (signature.algorithm == Minisign::Algorithm::Legacy)
        return crypto_sign_verify_detached(signature.signature.data(), bytes, size, key.key.data()) == 0;

    // The hash is fed slice by slice from the buffer itself.
    constexpr unsigned long long slice = 1024 * 1024;
    crypto_generichash_state state;
    unsigned char hash[crypto_generichash_BYTES_MAX];
    crypto_generichash_init(&state, nullptr, 0, sizeof hash);
    for (unsigned long long offset = 0; offset < size; offset += slice)
        crypto_generichash_update(&state, bytes + offset, std::min(slice, size - offset));
    crypto_generichash_final(&state, hash, sizeof hash);
    return crypto_sign_verify_detached(signature.signature.data(), hash, sizeof hash, key.key.data()) == 0;
}

// The global signature covers the file's signature and the trusted comment.
bool verifiesComment(const Minisign::Signature &signature, const Minisign::PublicKey &key)
{
    std::vector<unsigned char> signedText(signature.signature.begin(), signature.signature.end());
    signedText.insert(signedText.end(), signature.trustedComment.begin(), signature.trustedComment.end());
    return crypto_sign_verify_detached(
               signature.globalSignature.data(), signedText.data(), signedText.size(), key.key.data())
        == 0;
}

SignatureCheck invalid(SignatureFault fault)
{
    SignatureCheck check;
    check.state = SignatureState::Invalid;
    check.fault = fault;
    return check;
}

} // namespace

QString FirmwareSignature::signatureFileFor(const QString &firmwarePath)
{
    return firmwarePath + QStringLiteral(".minisig");
}

SignatureCheck FirmwareSignature::verify(
    const QByteArray &fileBytes, const QByteArray &signatureText, const TrustedKeys &keys)
{
    initialiseSodium();
    const Minisign::ParsedSignature parsed = Minisign::parseSignature(signatureText);
    if (parsed.fault != SignatureFault::None)
        return invalid(parsed.fault);

    const Minisign::Signature &signature = parsed.signature;
    SignatureCheck check = invalid(SignatureFault::FileMismatch);
    check.keyId = Minisign::keyIdText(signature.keyId);
    const QVector<Minisign::PublicKey> candidates = keys.withId(signature.keyId);
    if (candidates.isEmpty()) {
        check.state = SignatureState::UntrustedKey;
        check.fault = SignatureFault::UntrustedKey;
        return check;
    }
    for (const Minisign::PublicKey &key : candidates) {
        if (!verifiesFile(signature, fileBytes, key))
            continue;
        if (!verifiesComment(signature, key)) {
            check.fault = SignatureFault::CommentEdited;
            return check;
        }
        check.state = SignatureState::Verified;
        check.fault = SignatureFault::None;
        check.trustedComment = QString::fromUtf8(signature.trustedComment);
        return check;
    }
    return check;
}

SignatureCheck FirmwareSignature::check(
    const QByteArray &fileBytes, const QString &firmwarePath, const TrustedKeys &keys)
{
    const QString signatureFile = signatureFileFor(firmwarePath);
    const QFileInfo info(signatureFile);
    SignatureCheck check;
    if (!info.exists() && !info.isSymLink()) {
        check.signatureFile = signatureFile;
        return check;
    }
    QByteArray text;
    QString detail;
    const SignatureFault fault = readSmallFile(signatureFile, &text, &detail);
    check = fault == SignatureFault::None ? verify(fileBytes, text, keys) : invalid(fault);
    check.signatureFile = signatureFile;
    check.detail = detail;
    return check;
}

SignatureFault FirmwareSignature::readSmallFile(const QString &path, QByteArray *text, QString *detail)
{
    const QFileInfo info(path);
    if (info.isDir())
        return SignatureFault::IsDirectory;
    if (info.isSymLink() && !info.exists()) {
        *detail = QStringLiteral("a link to a missing file");
        return SignatureFault::Unreadable;
    }
    if (info.exists() && !info.isFile())
        return SignatureFault::NotAFile;
    if (info.size() > Minisign::maxFileSize)
        return SignatureFault::TooLarge;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *detail = file.errorString();
        return SignatureFault::Unreadable;
    }
    // Bounded even when the file grows after the size was looked at.
    *text = file.read(Minisign::maxFileSize + 1);
    if (file.error() != QFileDevice::NoError) {
        *detail = file.errorString();
        return SignatureFault::Unreadable;
    }
    if (text->size() > Minisign::maxFileSize)
        return SignatureFault::TooLarge;
    return SignatureFault::None;
}

QString signatureStateText(const SignatureCheck &check)
{
    switch (check.state) {
    case SignatureState::Verified:
        return check.trustedComment.isEmpty()
            ? QStringLiteral("Signed: %1").arg(check.keyId)
            : QStringLiteral("Signed: %1, %2").arg(check.keyId, check.trustedComment);
    case SignatureState::Unsigned:
        return QStringLiteral("Not signed");
    case SignatureState::Invalid:
    case SignatureState::UntrustedKey:
        break;
    }
    const QString file
        = check.signatureFile.isEmpty() ? QStringLiteral("the signature") : check.signatureFile;
    QString reason = QStringLiteral("%1 %2").arg(file, signatureFaultText(check.fault));
    if (check.state == SignatureState::UntrustedKey)
        reason += QStringLiteral(" (key %1)").arg(check.keyId);
    if (!check.detail.isEmpty())
        reason += QStringLiteral(" (%1)").arg(check.detail);
    return QStringLiteral("Signature does not match: %1").arg(reason);
}
