#include "minisignformat.h"

#include <QList>

#include <sodium.h>

#include <cstring>
#include <vector>

QString signatureFaultText(SignatureFault fault)
{
    switch (fault) {
    case SignatureFault::None:
        return QStringLiteral("no fault");
    case SignatureFault::Unreadable:
        return QStringLiteral("cannot be read");
    case SignatureFault::IsDirectory:
        return QStringLiteral("is a directory");
    case SignatureFault::NotAFile:
        return QStringLiteral("is not a regular file");
    case SignatureFault::TooLarge:
        return QStringLiteral("is too large to be a signature or key (over %1 bytes)")
            .arg(Minisign::maxFileSize);
    case SignatureFault::Truncated:
        return QStringLiteral("is truncated");
    case SignatureFault::NotACommentLine:
        return QStringLiteral("lacks its comment line (\"untrusted comment:\" or \"trusted comment:\")");
    case SignatureFault::BadBase64:
        return QStringLiteral("has a line that is not valid base64");
    case SignatureFault::WrongLength:
        return QStringLiteral("has a line of the wrong length");
    case SignatureFault::UnknownAlgorithm:
        return QStringLiteral("names an unknown signature algorithm");
    case SignatureFault::ExtraLines:
        return QStringLiteral("has lines after its end");
    case SignatureFault::UntrustedKey:
        return QStringLiteral("was made by a key that is not trusted");
    case SignatureFault::FileMismatch:
        return QStringLiteral("does not match the file: the file was changed after signing, or the signature "
                              "is for another file");
    case SignatureFault::CommentEdited:
        return QStringLiteral("has a trusted comment that was changed after signing");
    }
    return QString();
}

namespace Minisign {

namespace {

const QByteArray untrustedCommentPrefix = QByteArrayLiteral("untrusted comment: ");
const QByteArray trustedCommentPrefix = QByteArrayLiteral("trusted comment: ");
constexpr int algorithmSize = 2;
constexpr int keyIdSize = int(sizeof(KeyId));

struct Lines
{
    QList<QByteArray> lines;
    // The last line has its line end: a file cut short has not.
    bool complete = false;
};

Lines splitLines(const QByteArray &text)
{
    Lines result;
    result.complete = text.endsWith('\n');
    result.lines = text.split('\n');
    if (result.complete)
        result.lines.removeLast();
    if (result.lines.size() == 1 && result.lines.first().isEmpty())
        result.lines.clear();
    // Every carriage return before the line end goes, however many an editor
    // left: a trusted comment that kept one would not read back as written.
    for (QByteArray &line : result.lines) {
        while (line.endsWith('\r'))
            line.chop(1);
    }
    return result;
}

SignatureFault decodeBase64(const QByteArray &line, std::vector<uint8_t> *bytes)
{
    std::vector<uint8_t> buffer(size_t(line.size()) / 4 * 3 + 3);
    size_t length = 0;
    if (sodium_base642bin(buffer.data(), buffer.size(), line.constData(), size_t(line.size()), nullptr,
            &length, nullptr, sodium_base64_VARIANT_ORIGINAL)
        != 0)
        return SignatureFault::BadBase64;
    buffer.resize(length);
    *bytes = std::move(buffer);
    return SignatureFault::None;
}

// A line of base64 holding an algorithm, then more bytes: exactly `size` in all.
SignatureFault decodeAlgorithmLine(const QByteArray &line, int size, std::vector<uint8_t> *bytes)
{
    const SignatureFault fault = decodeBase64(line, bytes);
    if (fault != SignatureFault::None)
        return fault;
    if (bytes->size() >= size_t(algorithmSize) && (*bytes)[0] != 'E')
        return SignatureFault::UnknownAlgorithm;
    if (bytes->size() != size_t(size))
        return SignatureFault::WrongLength;
    return SignatureFault::None;
}

// A file cut short usually ends in a line that no longer decodes: say so,
// rather than what is wrong with the remnant.
SignatureFault onLastLine(const Lines &lines, int index, SignatureFault fault)
{
    if (fault != SignatureFault::None && !lines.complete && index == lines.lines.size() - 1)
        return SignatureFault::Truncated;
    return fault;
}

} // namespace

ParsedKey parsePublicKeyLine(const QByteArray &line)
{
    ParsedKey parsed;
    std::vector<uint8_t> bytes;
    parsed.fault = decodeAlgorithmLine(line, algorithmSize + keyIdSize + publicKeySize, &bytes);
    if (parsed.fault != SignatureFault::None)
        return parsed;
    // A public key names only the Ed25519 scheme; "ED" is for signatures.
    if (bytes[0] != 'E' || bytes[1] != 'd') {
        parsed.fault = SignatureFault::UnknownAlgorithm;
        return parsed;
    }
    std::memcpy(parsed.key.keyId.data(), bytes.data() + algorithmSize, keyIdSize);
    std::memcpy(parsed.key.key.data(), bytes.data() + algorithmSize + keyIdSize, publicKeySize);
    return parsed;
}

ParsedKey parsePublicKeyFile(const QByteArray &text)
{
    const Lines lines = splitLines(text);
    ParsedKey parsed;
    if (lines.lines.isEmpty() || !lines.lines[0].startsWith(untrustedCommentPrefix)) {
        parsed.fault = lines.lines.size() <= 1 && !lines.complete ? SignatureFault::Truncated
                                                                  : SignatureFault::NotACommentLine;
        return parsed;
    }
    if (lines.lines.size() < 2) {
        parsed.fault = SignatureFault::Truncated;
        return parsed;
    }
    if (lines.lines.size() > 2) {
        parsed.fault = SignatureFault::ExtraLines;
        return parsed;
    }
    parsed = parsePublicKeyLine(lines.lines[1]);
    parsed.fault = onLastLine(lines, 1, parsed.fault);
    return parsed;
}

ParsedSignature parseSignature(const QByteArray &text)
{
    const Lines lines = splitLines(text);
    ParsedSignature parsed;
    const auto fail = [&](int index, SignatureFault fault) {
        parsed.fault = onLastLine(lines, index, fault);
        return parsed;
    };
    if (lines.lines.size() > 4) {
        parsed.fault = SignatureFault::ExtraLines;
        return parsed;
    }
    const int count = lines.lines.size();
    if (count < 1 || !lines.lines[0].startsWith(untrustedCommentPrefix))
        return fail(0, count < 1 ? SignatureFault::Truncated : SignatureFault::NotACommentLine);
    if (count < 2)
        return fail(0, SignatureFault::Truncated);

    std::vector<uint8_t> bytes;
    SignatureFault fault
        = decodeAlgorithmLine(lines.lines[1], algorithmSize + keyIdSize + signatureSize, &bytes);
    if (fault == SignatureFault::None && bytes[1] == 'd')
        parsed.signature.algorithm = Algorithm::Legacy;
    else if (fault == SignatureFault::None && bytes[1] == 'D')
        parsed.signature.algorithm = Algorithm::Prehashed;
    else if (fault == SignatureFault::None)
        fault = SignatureFault::UnknownAlgorithm;
    if (fault != SignatureFault::None)
        return fail(1, fault);
    std::memcpy(parsed.signature.keyId.data(), bytes.data() + algorithmSize, keyIdSize);
    std::memcpy(parsed.signature.signature.data(), bytes.data() + algorithmSize + keyIdSize, signatureSize);

    if (count < 3)
        return fail(1, SignatureFault::Truncated);
    if (!lines.lines[2].startsWith(trustedCommentPrefix))
        return fail(2, SignatureFault::NotACommentLine);
    parsed.signature.trustedComment = lines.lines[2].mid(trustedCommentPrefix.size());
    if (count < 4)
        return fail(2, SignatureFault::Truncated);

    fault = decodeBase64(lines.lines[3], &bytes);
    if (fault == SignatureFault::None && bytes.size() != size_t(signatureSize))
        fault = SignatureFault::WrongLength;
    if (fault != SignatureFault::None)
        return fail(3, fault);
    std::memcpy(parsed.signature.globalSignature.data(), bytes.data(), signatureSize);
    return parsed;
}

QString keyIdText(const KeyId &keyId)
{
    // The number as minisign prints it, without leading zeros, so that it reads
    // the same as the key file's comment and minisign's own messages.
    quint64 number = 0;
    for (auto byte = keyId.rbegin(); byte != keyId.rend(); ++byte)
        number = (number << 8) | *byte;
    return QString::number(number, 16).toUpper();
}

} // namespace Minisign
