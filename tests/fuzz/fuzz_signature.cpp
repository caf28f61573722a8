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
#include <vector>

namespace {

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "signature parser fault: %s\n", what);
    std::abort();
}

// The base64 of the bytes of all the arrays, one after the other.
template <typename... Arrays> QByteArray base64(std::vector<uint8_t> bytes, const Arrays &...arrays)
{
    (bytes.insert(bytes.end(), arrays.begin(), arrays.end()), ...);
    std::vector<char> text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL));
    sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    return QByteArray(text.data());
}

// Every field, written as minisign writes it.
QByteArray canonical(const Minisign::Signature &signature)
{
    const uint8_t algorithm = signature.algorithm == Minisign::Algorithm::Legacy ? 'd' : 'D';
    return "untrusted comment: x\n" + base64({'E', algorithm}, signature.keyId, signature.signature)
        + "\ntrusted comment: " + signature.trustedComment + '\n' + base64({}, signature.globalSignature)
        + '\n';
}

void checkSignature(const QByteArray &input)
{
    const Minisign::ParsedSignature parsed = Minisign::parseSignature(input);
    if (parsed.fault != SignatureFault::None)
        return;
    if (input.count('\n') > 4)
        fail("accepted a signature with extra lines");
    const Minisign::ParsedSignature again = Minisign::parseSignature(canonical(parsed.signature));
    if (again.fault != SignatureFault::None || canonical(again.signature) != canonical(parsed.signature))
        fail("a parsed signature does not parse back from its canonical text");

    // A key of the signature's id whose secret no one has: the input reaches
    // the checks, and can never pass them.
    Minisign::PublicKey key;
    key.keyId = parsed.signature.keyId;
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
    const QByteArray line = base64({'E', 'd'}, parsed.key.keyId, parsed.key.key);
    const Minisign::ParsedKey again = Minisign::parsePublicKeyLine(line);
    if (again.fault != SignatureFault::None || base64({'E', 'd'}, again.key.keyId, again.key.key) != line)
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
