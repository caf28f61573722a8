// Signatures and keys made by the real minisign at build time
// (make-signatures.sh), checked by the verifier, with each fault a signature
// file, a key file or the signed file can have; and the rule that decides
// whether a file may be flashed.

#include "firmware/firmwaresignature.h"
#include "firmware/signaturepolicy.h"
#include "firmware/trustedkeys.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

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
    void initTestCase();
    void verify_data();
    void verify();
    void signatureFile_data();
    void signatureFile();
    void keyFile_data();
    void keyFile();
    void brokenKeysLeaveTheOthersWorking();
    void flashRefusal_data();
    void flashRefusal();

private:
    QByteArray m_sample;
    QByteArray m_signature;
    QByteArray m_publicKey;
    TrustedKeys m_keys;
};

void tst_FirmwareSignature::initTestCase()
{
    if (!QFile::exists(fixture("trusted.pub")))
        QSKIP("minisign was not installed when the tests were built (scripts/install-deps.sh installs it)");
    m_sample = readAll(fixture("sample.tvf"));
    m_signature = readAll(fixture("sample.tvf.minisig"));
    m_publicKey = readAll(fixture("trusted.pub"));
    QVERIFY(!m_sample.isEmpty() && !m_signature.isEmpty());
    m_keys.addFile(fixture("trusted.pub"));
    QCOMPARE(m_keys.problems().size(), 0);
}

void tst_FirmwareSignature::verify_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<SignatureFault>("fault");
    QTest::addColumn<QString>("comment");
    const auto row = [](const char *name, const QByteArray &file, const QByteArray &signature,
                         SignatureFault fault, const char *comment = "") {
        QTest::newRow(name) << file << signature << fault << QString::fromUtf8(comment);
    };

    const QByteArray legacy = readAll(fixture("sample.tvf.legacy-minisig"));
    QByteArray changed = m_sample;
    changed[changed.size() - 1] = char(changed.at(changed.size() - 1) ^ 1);
    const QByteArray signatureLine = decodedLine(m_signature, 1);
    QByteArray otherAlgorithm = signatureLine;
    otherAlgorithm[1] = 'X';
    const QByteArray &sample = m_sample;
    const char *comment = "release 1.2.3 for the Vantor";

    row("prehashed signature verifies", sample, m_signature, SignatureFault::None, comment);
    row("legacy signature verifies", sample, legacy, SignatureFault::None, "legacy signature");
    row("CR LF line ends verify", sample, QByteArray(m_signature).replace("\n", "\r\n"), SignatureFault::None,
        comment);
    row("file changed after signing", changed, m_signature, SignatureFault::FileMismatch);
    row("legacy: file changed after signing", changed, legacy, SignatureFault::FileMismatch);
    row("signature for another file", sample, readAll(fixture("other.bin.minisig")),
        SignatureFault::FileMismatch);
    row("signed by an untrusted key", sample, readAll(fixture("sample.tvf.other-key-minisig")),
        SignatureFault::UntrustedKey);
    row("trusted comment edited", sample, withLine(m_signature, 2, "trusted comment: release 9.9.9"),
        SignatureFault::CommentEdited);
    row("truncated in the global signature", sample, m_signature.left(m_signature.size() - 20),
        SignatureFault::Truncated);
    row("truncated after the signature line", sample,
        m_signature.left(m_signature.indexOf("trusted comment")), SignatureFault::Truncated);
    row("empty signature file", sample, QByteArray(), SignatureFault::Truncated);
    row("bad base64", sample, withLine(m_signature, 1, signatureLine.toBase64().replace(5, 1, "*")),
        SignatureFault::BadBase64);
    row("unknown algorithm", sample, withLine(m_signature, 1, otherAlgorithm.toBase64()),
        SignatureFault::UnknownAlgorithm);
    row("signature of the wrong length", sample, withLine(m_signature, 1, signatureLine.left(73).toBase64()),
        SignatureFault::WrongLength);
    row("global signature of the wrong length", sample,
        withLine(m_signature, 3, decodedLine(m_signature, 3).left(63).toBase64()),
        SignatureFault::WrongLength);
    row("extra lines", sample, m_signature + "untrusted comment: appended\n", SignatureFault::ExtraLines);
    row("no untrusted comment line", sample, withLine(m_signature, 0, "comment: x"),
        SignatureFault::NotACommentLine);
}

void tst_FirmwareSignature::verify()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, signature);
    QFETCH(SignatureFault, fault);
    QFETCH(QString, comment);

    const SignatureCheck check = FirmwareSignature::verify(file, signature, m_keys);
    QCOMPARE(check.fault, fault);
    QCOMPARE(check.state,
        fault == SignatureFault::None               ? SignatureState::Verified
            : fault == SignatureFault::UntrustedKey ? SignatureState::UntrustedKey
                                                    : SignatureState::Invalid);
    QCOMPARE(check.trustedComment, comment);
    // minisign names the key in the public key's comment line.
    if (check.isVerified())
        QVERIFY(m_publicKey.startsWith("untrusted comment: minisign public key " + check.keyId.toLatin1()));
}

void tst_FirmwareSignature::signatureFile_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<SignatureFault>("fault");

    QTest::newRow("no signature file: unsigned") << "none" << SignatureFault::None;
    QTest::newRow("signature beside the file") << "signed" << SignatureFault::None;
    QTest::newRow("signature file is a directory") << "directory" << SignatureFault::IsDirectory;
    QTest::newRow("huge signature file") << "huge" << SignatureFault::TooLarge;
    QTest::newRow("signature file is a FIFO") << "fifo" << SignatureFault::NotAFile;
    QTest::newRow("signature is a dangling link") << "dangling" << SignatureFault::Unreadable;
    QTest::newRow("unreadable signature file") << "unreadable" << SignatureFault::Unreadable;
}

void tst_FirmwareSignature::signatureFile()
{
    QFETCH(QString, layout);
    QFETCH(SignatureFault, fault);

    QTemporaryDir dir;
    const QString firmware = dir.filePath(QStringLiteral("firmware.tvf"));
    const QString signature = FirmwareSignature::signatureFileFor(firmware);
    QVERIFY(writeAll(firmware, m_sample));
    if (layout == QLatin1String("signed") || layout == QLatin1String("unreadable"))
        QVERIFY(writeAll(signature, m_signature));
    if (layout == QLatin1String("directory"))
        QVERIFY(QDir().mkdir(signature));
    if (layout == QLatin1String("huge"))
        QVERIFY(writeAll(signature, m_signature + QByteArray(int(Minisign::maxFileSize), '\n')));
    if (layout == QLatin1String("unreadable")) {
        // Windows keeps only a read-only flag; root reads whatever the permissions say.
        if (!QFile::setPermissions(signature, QFileDevice::Permissions())
            || QFile(signature).open(QIODevice::ReadOnly))
            QSKIP("this system cannot make a file unreadable to its owner (root, or Windows)");
    }
#ifdef Q_OS_UNIX
    if (layout == QLatin1String("fifo"))
        QCOMPARE(mkfifo(QFile::encodeName(signature).constData(), 0600), 0);
    if (layout == QLatin1String("dangling"))
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("missing")), signature));
#else
    if (layout == QLatin1String("fifo") || layout == QLatin1String("dangling"))
        QSKIP("FIFOs and symbolic links are made on Unix only");
#endif

    const SignatureCheck check = FirmwareSignature::check(m_sample, firmware, m_keys);
    QCOMPARE(check.fault, fault);
    QCOMPARE(check.state,
        fault != SignatureFault::None         ? SignatureState::Invalid
            : layout == QLatin1String("none") ? SignatureState::Unsigned
                                              : SignatureState::Verified);
    QCOMPARE(check.signatureFile, signature);
}

void tst_FirmwareSignature::keyFile_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<SignatureFault>("fault");

    const QByteArray comment = m_publicKey.split('\n').value(0);
    const QByteArray key = decodedLine(m_publicKey, 1);
    const auto keyFile = [&](const QByteArray &line) { return comment + '\n' + line + '\n'; };
    QByteArray signatureAlgorithm = key;
    signatureAlgorithm[1] = 'D';

    QTest::addRow("key as minisign wrote it") << m_publicKey << SignatureFault::None;
    QTest::addRow("key truncated") << m_publicKey.left(m_publicKey.size() - 10) << SignatureFault::Truncated;
    QTest::addRow("key with bad base64")
        << keyFile(key.toBase64().replace(3, 1, "#")) << SignatureFault::BadBase64;
    QTest::addRow("key of an unknown algorithm")
        << keyFile(signatureAlgorithm.toBase64()) << SignatureFault::UnknownAlgorithm;
    QTest::addRow("key of the wrong length")
        << keyFile(key.left(41).toBase64()) << SignatureFault::WrongLength;
    QTest::addRow("key with extra lines") << m_publicKey + m_publicKey << SignatureFault::ExtraLines;
    QTest::addRow("key without its comment line") << key.toBase64() + '\n' << SignatureFault::NotACommentLine;
}

void tst_FirmwareSignature::keyFile()
{
    QFETCH(QByteArray, text);
    QFETCH(SignatureFault, fault);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("key.pub"));
    QVERIFY(writeAll(path, text));
    TrustedKeys keys;
    keys.addFile(path);
    QCOMPARE(keys.keys().size(), fault == SignatureFault::None ? 1 : 0);
    QCOMPARE(keys.problems().value(0).fault, fault);
}

void tst_FirmwareSignature::brokenKeysLeaveTheOthersWorking()
{
    QTemporaryDir folder;
    QVERIFY(writeAll(folder.filePath(QStringLiteral("a-broken.pub")), "not a key\n"));
    QVERIFY(QDir().mkdir(folder.filePath(QStringLiteral("b-folder.pub"))));
    QVERIFY(writeAll(folder.filePath(QStringLiteral("c-trusted.pub")), m_publicKey));
    const QString missing = folder.filePath(QStringLiteral("missing.pub"));

    const TrustedKeys keys = TrustedKeys::load({missing, fixture("other.pub")}, folder.path());
    QCOMPARE(keys.problems().size(), 3);
    QCOMPARE(keys.problems().at(0).fault, SignatureFault::NotACommentLine);
    QCOMPARE(keys.problems().at(1).fault, SignatureFault::IsDirectory);
    QCOMPARE(keys.problems().at(2).fault, SignatureFault::Unreadable);
    QVERIFY(TrustedKeys::problemText(keys.problems().at(2))
                .startsWith(missing + QStringLiteral(": cannot be read")));
    QCOMPARE(FirmwareSignature::verify(m_sample, m_signature, keys).state, SignatureState::Verified);
}

void tst_FirmwareSignature::flashRefusal_data()
{
    QTest::addColumn<SignatureState>("state");
    QTest::addColumn<QByteArray>("policy");
    QTest::addColumn<FlashRefusal>("refusal");
    const QByteArray required = "RequireSignature=true\n";

    QTest::newRow("verified, signatures required")
        << SignatureState::Verified << required << FlashRefusal::None;
    QTest::newRow("unsigned flashes without a policy")
        << SignatureState::Unsigned << QByteArray() << FlashRefusal::None;
    QTest::newRow("unsigned flashes under RequireSignature=false")
        << SignatureState::Unsigned << QByteArray("RequireSignature=false\n") << FlashRefusal::None;
    QTest::newRow("unsigned refused under RequireSignature=true")
        << SignatureState::Unsigned << required << FlashRefusal::Unsigned;
    QTest::newRow("unreadable policy value requires signatures")
        << SignatureState::Unsigned << QByteArray("RequireSignature=maybe\n") << FlashRefusal::Unsigned;
    QTest::newRow("policy path a directory requires signatures")
        << SignatureState::Unsigned << QByteArray("<directory>") << FlashRefusal::Unsigned;
    QTest::newRow("invalid refused without a policy")
        << SignatureState::Invalid << QByteArray() << FlashRefusal::BadSignature;
    QTest::newRow("untrusted key refused without a policy")
        << SignatureState::UntrustedKey << QByteArray() << FlashRefusal::BadSignature;
}

void tst_FirmwareSignature::flashRefusal()
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

QTEST_GUILESS_MAIN(tst_FirmwareSignature)
#include "tst_firmwaresignature.moc"
