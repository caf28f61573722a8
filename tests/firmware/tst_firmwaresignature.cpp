// Signatures and keys made by the real minisign at build time
// (make-signatures.sh), checked by the verifier, with each fault a signature
// file, a key file or the signed file can have; and the rule that decides
// whether a file may be flashed.

#include "firmware/firmwaresignature.h"
#include "firmware/signaturepolicy.h"
#include "firmware/minisignformat.h"
#include "firmware/trustedkeys.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

Q_DECLARE_METATYPE(SignatureState)
Q_DECLARE_METATYPE(SignatureFault)
Q_DECLARE_METATYPE(FlashRefusal)

namespace {

QString fixture(const char *name)
{
    return QStringLiteral(TALVEX_SIGNATURE_FIXTURES "/") + QLatin1String(name);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray withLine(const QByteArray &text, int index, const QByteArray &line)
{
    QList<QByteArray> lines = text.split('\n');
    lines[index] = line;
    return lines.join('\n');
}

QByteArray decodedLine(const QByteArray &text, int index)
{
    return QByteArray::fromBase64(text.split('\n').value(index));
}

} // namespace

class tst_FirmwareSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!QFile::exists(fixture("trusted.pub")))
            QSKIP(
                "minisign was not installed when the tests were built (scripts/install-deps.sh installs it)");
        m_sample = readAll(fixture("sample.tvf"));
        m_signature = readAll(fixture("sample.tvf.minisig"));
        m_publicKey = readAll(fixture("trusted.pub"));
        QVERIFY(!m_sample.isEmpty() && !m_signature.isEmpty() && !m_publicKey.isEmpty());
    }

    // Each row: the signed file, its signature file (or what stands in its
    // place) and the one trusted key file; the fault is the key's when it has one.
    void check_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<SignatureFault>("fault");
        QTest::addColumn<QString>("comment");
        const QByteArray &sample = m_sample;
        const auto row = [&](const char *name, const QByteArray &signature, SignatureFault fault,
                             const QByteArray &file = QByteArray(), const char *layout = "",
                             const QByteArray &key = QByteArray(), const char *comment = "") {
            QTest::newRow(name) << (file.isEmpty() ? sample : file) << signature
                                << QString::fromLatin1(layout) << (key.isEmpty() ? m_publicKey : key) << fault
                                << QString::fromUtf8(comment);
        };
        using Fault = SignatureFault;
        const QByteArray &signature = m_signature;
        const char *comment = "release 1.2.3 for the Vantor";
        QByteArray changed = sample;
        changed[changed.size() - 1] = char(changed.at(changed.size() - 1) ^ 1);
        const QByteArray signatureLine = decodedLine(signature, 1);
        QByteArray otherAlgorithm = signatureLine;
        otherAlgorithm[1] = 'X';
        const QByteArray keyLine = decodedLine(m_publicKey, 1);
        QByteArray signatureAlgorithmKey = keyLine;
        signatureAlgorithmKey[1] = 'D';
        const auto keyFile
            = [&](const QByteArray &line) { return m_publicKey.split('\n').value(0) + '\n' + line + '\n'; };

        row("prehashed signature verifies", signature, Fault::None, {}, "", {}, comment);
        row("legacy signature verifies", readAll(fixture("sample.tvf.legacy-minisig")), Fault::None, {}, "",
            {}, "legacy signature");
        row("CR LF line ends verify", QByteArray(signature).replace("\n", "\r\n"), Fault::None, {}, "", {},
            comment);
        row("no signature file: unsigned", {}, Fault::None, {}, "none");
        row("file changed after signing", signature, Fault::FileMismatch, changed);
        row("trusted key, signature for another file", readAll(fixture("other.bin.minisig")),
            Fault::FileMismatch);
        row("signed by an untrusted key", readAll(fixture("sample.tvf.other-key-minisig")),
            Fault::UntrustedKey);
        row("trusted comment edited", withLine(signature, 2, "trusted comment: release 9.9.9"),
            Fault::CommentEdited);
        row("truncated in the global signature", signature.left(signature.size() - 20), Fault::Truncated);
        row("truncated after the signature line", signature.left(signature.indexOf("\ntrusted comment") + 1),
            Fault::Truncated);
        row("empty signature file", {}, Fault::Truncated);
        row("bad base64", withLine(signature, 1, signatureLine.toBase64().replace(5, 1, "*")),
            Fault::BadBase64);
        row("unknown algorithm", withLine(signature, 1, otherAlgorithm.toBase64()), Fault::UnknownAlgorithm);
        row("signature of the wrong length", withLine(signature, 1, signatureLine.left(73).toBase64()),
            Fault::WrongLength);
        row("global signature of the wrong length",
            withLine(signature, 3, decodedLine(signature, 3).left(63).toBase64()), Fault::WrongLength);
        row("extra lines", signature + "untrusted comment: appended\n", Fault::ExtraLines);
        row("no untrusted comment line", withLine(signature, 0, "comment: x"), Fault::NotACommentLine);
        row("signature file is a directory", {}, Fault::IsDirectory, {}, "directory");
        row("huge signature file", signature + QByteArray(int(Minisign::maxFileSize), '\n'), Fault::TooLarge);
        row("signature file is a FIFO", {}, Fault::NotAFile, {}, "fifo");
        row("signature is a dangling link", {}, Fault::Unreadable, {}, "dangling");
        row("unreadable signature file", signature, Fault::Unreadable, {}, "unreadable");
        row("key truncated", signature, Fault::Truncated, {}, "", m_publicKey.chopped(10));
        row("key with bad base64", signature, Fault::BadBase64, {}, "",
            keyFile(keyLine.toBase64().replace(3, 1, "#")));
        row("key of an unknown algorithm", signature, Fault::UnknownAlgorithm, {}, "",
            keyFile(signatureAlgorithmKey.toBase64()));
        row("key of the wrong length", signature, Fault::WrongLength, {}, "",
            keyFile(keyLine.left(41).toBase64()));
        row("key with extra lines", signature, Fault::ExtraLines, {}, "", m_publicKey + m_publicKey);
        row("key without its comment line", signature, Fault::NotACommentLine, {}, "",
            keyLine.toBase64() + '\n');
    }

    void check()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, signature);
        QFETCH(QString, layout);
        QFETCH(QByteArray, key);
        QFETCH(SignatureFault, fault);

        QTemporaryDir dir;
        const QString firmware = dir.filePath(QStringLiteral("firmware.tvf"));
        const QString signatureFile = FirmwareSignature::signatureFileFor(firmware);
        QVERIFY(writeAll(firmware, file));
        const QString keyFile = dir.filePath(QStringLiteral("key.pub"));
        QVERIFY(writeAll(keyFile, key));
        if (layout.isEmpty() || layout == QLatin1String("unreadable"))
            QVERIFY(writeAll(signatureFile, signature));
        if (layout == QLatin1String("directory"))
            QVERIFY(QDir().mkdir(signatureFile));
        // Windows keeps only a read-only flag; root reads whatever the permissions say.
        if (layout == QLatin1String("unreadable")
            && (!QFile::setPermissions(signatureFile, QFileDevice::Permissions())
                || QFile(signatureFile).open(QIODevice::ReadOnly)))
            QSKIP("this system cannot make a file unreadable to its owner (root, or Windows)");
#ifdef Q_OS_UNIX
        if (layout == QLatin1String("fifo"))
            QCOMPARE(mkfifo(QFile::encodeName(signatureFile).constData(), 0600), 0);
        if (layout == QLatin1String("dangling"))
            QVERIFY(QFile::link(dir.filePath(QStringLiteral("missing")), signatureFile));
#else
        if (layout == QLatin1String("fifo") || layout == QLatin1String("dangling"))
            QSKIP("FIFOs and symbolic links are made on Unix only");
#endif

        TrustedKeys keys;
        keys.addFile(keyFile);
        // A key file gives its key or a problem, never both.
        QCOMPARE(keys.keys().size() + keys.problems().size(), 1);
        const bool keyBroken = !keys.problems().isEmpty();
        const SignatureCheck check = FirmwareSignature::check(file, firmware, keys);
        QCOMPARE(keyBroken ? keys.problems().at(0).fault : check.fault, fault);
        QCOMPARE(check.state,
            keyBroken || fault == SignatureFault::UntrustedKey ? SignatureState::UntrustedKey
                : fault != SignatureFault::None                ? SignatureState::Invalid
                : layout == QLatin1String("none")              ? SignatureState::Unsigned
                                                               : SignatureState::Verified);
        QTEST(check.trustedComment, "comment");
        QCOMPARE(check.signatureFile, signatureFile);
        // minisign names the key in the public key's comment line.
        if (check.isVerified())
            QCOMPARE(m_publicKey.left(m_publicKey.indexOf('\n')),
                "untrusted comment: minisign public key " + check.keyId.toLatin1());
    }

    // A key id is printed as minisign prints it: the little-endian number in
    // hex, without leading zeros. Keys made at build time start with a zero
    // only now and then, so these rows fix the bytes.
    void keyIdText_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::addRow("sixteen digits") << QByteArray::fromHex("f76cabf5f1d5bf95") << "95BFD5F1F5AB6CF7";
        QTest::addRow("a leading zero goes") << QByteArray::fromHex("f76cabf5f1d5bf05") << "5BFD5F1F5AB6CF7";
        QTest::addRow("zero bytes at the top") << QByteArray::fromHex("3412000000000000") << "1234";
        QTest::addRow("all zero") << QByteArray(8, '\0') << "0";
    }

    void keyIdText()
    {
        QFETCH(QByteArray, bytes);
        Minisign::KeyId keyId;
        std::memcpy(keyId.data(), bytes.constData(), keyId.size());
        QTEST(Minisign::keyIdText(keyId), "text");
    }

    void brokenKeysLeaveTheOthersWorking()
    {
        QTemporaryDir folder;
        QVERIFY(QDir().mkdir(folder.filePath(QStringLiteral("a-folder.pub"))));
        QVERIFY(writeAll(folder.filePath(QStringLiteral("b-trusted.pub")), m_publicKey));
        const QString missing = folder.filePath(QStringLiteral("missing.pub"));

        const TrustedKeys keys = TrustedKeys::load({missing, fixture("other.pub")}, folder.path());
        QCOMPARE(keys.problems().size(), 2);
        QCOMPARE(keys.problems().at(0).fault, SignatureFault::IsDirectory);
        QVERIFY(TrustedKeys::problemText(keys.problems().at(1))
                    .startsWith(missing + QStringLiteral(": cannot be read")));
        QCOMPARE(FirmwareSignature::verify(m_sample, m_signature, keys).state, SignatureState::Verified);
    }

    void flashRefusal_data()
    {
        QTest::addColumn<SignatureState>("state");
        QTest::addColumn<QByteArray>("policy");
        QTest::addColumn<FlashRefusal>("refusal");
        const auto row
            = [](const char *name, SignatureState state, const char *policy, FlashRefusal refusal) {
                  QTest::newRow(name) << state << QByteArray(policy) << refusal;
              };
        const char *required = "RequireSignature=true\n";
        row("verified, signatures required", SignatureState::Verified, required, FlashRefusal::None);
        row("unsigned flashes without a policy", SignatureState::Unsigned, "", FlashRefusal::None);
        row("unsigned flashes under RequireSignature=false", SignatureState::Unsigned,
            "RequireSignature=false\n", FlashRefusal::None);
        row("unsigned refused under RequireSignature=true", SignatureState::Unsigned, required,
            FlashRefusal::Unsigned);
        row("unreadable policy value requires signatures", SignatureState::Unsigned,
            "RequireSignature=maybe\n", FlashRefusal::Unsigned);
        row("policy path a directory requires signatures", SignatureState::Unsigned, "<directory>",
            FlashRefusal::Unsigned);
        row("invalid refused without a policy", SignatureState::Invalid, "", FlashRefusal::BadSignature);
    }

    void flashRefusal()
    {
        QFETCH(SignatureState, state);
        QFETCH(QByteArray, policy);
        QFETCH(FlashRefusal, refusal);

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("policy.ini"));
        if (policy == "<directory>")
            QVERIFY(QDir().mkdir(path));
        else if (!policy.isEmpty())
            QVERIFY(writeAll(path, policy));
        SignatureCheck check;
        check.state = state;
        const SignaturePolicy read = SignaturePolicy::fromIniFile(path);
        QCOMPARE(::flashRefusal(check, read), refusal);
        QCOMPARE(flashRefusalText(refusal, check, read).isEmpty(), refusal == FlashRefusal::None);
        // --require-signature only ever adds the requirement.
        QCOMPARE(::flashRefusal(check, read.requiredForThisRun(true)) == FlashRefusal::None,
            state == SignatureState::Verified);
    }

private:
    QByteArray m_sample;
    QByteArray m_signature;
    QByteArray m_publicKey;
};

QTEST_GUILESS_MAIN(tst_FirmwareSignature)
#include "tst_firmwaresignature.moc"
