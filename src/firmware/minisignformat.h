#pragma once

// The text formats of minisign: a detached signature (.minisig) and a public
// key (.pub), parsed strictly into their fields. Parsing only: the checks
// with the key are in firmwaresignature.h. Free of state; any thread.

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>

// What is wrong with a signature or key file, or with the signature itself.
// Turned into words only by signatureFaultText().
enum class SignatureFault {
    None,
    // Reading the file.
    Unreadable,
    IsDirectory,
    NotAFile,
    TooLarge,
    // Its text.
    Truncated,
    NotACommentLine,
    BadBase64,
    WrongLength,
    UnknownAlgorithm,
    ExtraLines,
    // The checks with the key.
    UntrustedKey,
    FileMismatch,
    CommentEdited,
};

// One sentence, lower case, without the file's name: "the trusted comment was
// changed after signing".
QString signatureFaultText(SignatureFault fault);

namespace Minisign {

using KeyId = std::array<uint8_t, 8>;

constexpr int publicKeySize = 32;
constexpr int signatureSize = 64;
// Longer signature files are refused unread; minisign's own limits keep its
// files far below this.
constexpr qint64 maxFileSize = 64 * 1024;

enum class Algorithm {
    // "Ed": Ed25519 over the file itself.
    Legacy,
    // "ED": Ed25519 over the BLAKE2b-512 hash of the file.
    Prehashed,
};

struct PublicKey
{
    KeyId keyId {};
    std::array<uint8_t, publicKeySize> key {};
};

struct Signature
{
    Algorithm algorithm = Algorithm::Prehashed;
    KeyId keyId {};
    std::array<uint8_t, signatureSize> signature {};
    // The text after "trusted comment: ", exactly as signed.
    QByteArray trustedComment;
    std::array<uint8_t, signatureSize> globalSignature {};
};

struct ParsedKey
{
    SignatureFault fault = SignatureFault::None;
    PublicKey key;
};

struct ParsedSignature
{
    SignatureFault fault = SignatureFault::None;
    Signature signature;
};

// A .pub file: "untrusted comment: ..." and the base64 key line.
ParsedKey parsePublicKeyFile(const QByteArray &text);
// The base64 key line alone, as minisign prints it for -P.
ParsedKey parsePublicKeyLine(const QByteArray &line);
// A .minisig file: untrusted comment, signature, trusted comment, global
// signature; lines end in LF or CR LF, and nothing follows the fourth.
ParsedSignature parseSignature(const QByteArray &text);

// The key id as minisign shows it: 16 upper-case hex digits, the 8 bytes read
// as a little-endian number.
QString keyIdText(const KeyId &keyId);

} // namespace Minisign
