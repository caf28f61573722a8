// libFuzzer target for the minisign signature and public key parsers and the
// verifier behind them. An input that parses must come back field for field
// from its canonical text, and no input may verify under a key nobody holds
// the secret of.

#include "firmware/firmwaresignature.h"
#include "firmware/trustedkeys.h"

#include <QByteArray>

#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "signature parser fault: %s\n", what);
    std::abort();
}

QByteArray base64(const std::vector<uint8_t> &bytes)
{
    std::vector<char> text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL));
    sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    return QByteArray(text.data());
}

template <typename Array> void append(std::vector<uint8_t> &bytes, const Array &array)
{
    bytes.insert(bytes.end(), array.begin(), array.end());
}

void checkSignature(const QByteArray &input)
{
    const Minisign::ParsedSignature parsed = Minisign::parseSignature(input);
    if (parsed.fault != SignatureFault::None)
        return;
    if (input.count('\n') > 4)
        fail("accepted a signature with extra lines");
    const Minisign::Signature &signature = parsed.signature;
    std::vector<uint8_t> line {'E', uint8_t(signature.algorithm == Minisign::Algorithm::Legacy ? 'd' : 'D')};
    append(line, signature.keyId);
    append(line, signature.signature);
    const QByteArray canonical = "untrusted comment: x\n" + base64(line)
        + "\ntrusted comment: " + signature.trustedComment + '\n'
        + base64({signature.globalSignature.begin(), signature.globalSignature.end()}) + '\n';
    const Minisign::ParsedSignature again = Minisign::parseSignature(canonical);
    if (again.fault != SignatureFault::None || again.signature.algorithm != signature.algorithm
        || again.signature.keyId != signature.keyId || again.signature.signature != signature.signature
        || again.signature.trustedComment != signature.trustedComment
        || again.signature.globalSignature != signature.globalSignature)
        fail("a parsed signature does not parse back from its canonical text");
    if (Minisign::keyIdText(signature.keyId).size() != 16)
        fail("a key id is not 16 hex digits");

    // A key of the signature's id whose secret no one has: the input reaches
    // the checks, and can never pass them.
    Minisign::PublicKey key;
    key.keyId = signature.keyId;
    crypto_generichash(
        key.key.data(), key.key.size(), reinterpret_cast<const unsigned char *>("no secret"), 9, nullptr, 0);
    TrustedKeys keys;
    keys.add(key, QStringLiteral("fuzz"));
    const SignatureCheck check = FirmwareSignature::verify(input, input, keys);
    if (check.state == SignatureState::Verified || check.state == SignatureState::Unsigned)
        fail("a signature verified under a key without a secret");
}

void checkKey(const QByteArray &input)
{
    const Minisign::ParsedKey parsed = Minisign::parsePublicKeyFile(input);
    if (parsed.fault != SignatureFault::None)
        return;
    if (input.count('\n') > 2)
        fail("accepted a key with extra lines");
    std::vector<uint8_t> line {'E', 'd'};
    append(line, parsed.key.keyId);
    append(line, parsed.key.key);
    const Minisign::ParsedKey again = Minisign::parsePublicKeyLine(base64(line));
    if (again.fault != SignatureFault::None || again.key.keyId != parsed.key.keyId
        || again.key.key != parsed.key.key)
        fail("a parsed key does not parse back from its canonical text");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    checkSignature(input);
    checkKey(input);
    return 0;
}
