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

QString fixture(const QString &name)
{
    return QStringLiteral(TALVEX_SIGNATURE_FIXTURES "/") + name;
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
    void policyFile_data();
    void policyFile();

private:
    QByteArray m_sample;
    QByteArray m_signature;
    QByteArray m_publicKey;
    TrustedKeys m_keys;
};

void tst_FirmwareSignature::initTestCase()
{
    if (!QFile::exists(fixture(QStringLiteral("trusted.pub"))))
        QSKIP("minisign was not installed when the tests were built (scripts/install-deps.sh installs it)");
    m_sample = readAll(fixture(QStringLiteral("sample.tvf")));
    m_signature = readAll(fixture(QStringLiteral("sample.tvf.minisig")));
    m_publicKey = readAll(fixture(QStringLiteral("trusted.pub")));
    QVERIFY(!m_sample.isEmpty() && !m_signature.isEmpty());
    m_keys.addFile(fixture(QStringLiteral("trusted.pub")));
    QCOMPARE(m_keys.problems().size(), 0);
}

void tst_FirmwareSignature::verify_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<SignatureState>("state");
    QTest::addColumn<SignatureFault>("fault");
    QTest::addColumn<QString>("comment");

    const QByteArray legacy = readAll(fixture(QStringLiteral("sample.tvf.legacy-minisig")));
    QByteArray changed = m_sample;
    changed[changed.size() - 1] = char(changed.at(changed.size() - 1) ^ 1);
    const QByteArray fileSignature = decodedLine(m_signature, 1);
    QByteArray otherAlgorithm = fileSignature;
    otherAlgorithm[1] = 'X';
    const auto invalid = SignatureState::Invalid;

    QTest::addRow("prehashed signature verifies") << m_sample << m_signature << SignatureState::Verified
                                                  << SignatureFault::None << "release 1.2.3 for the Vantor";
    QTest::addRow("legacy signature verifies")
        << m_sample << legacy << SignatureState::Verified << SignatureFault::None << "legacy signature";
    QTest::addRow("CR LF line ends verify")
        << m_sample << QByteArray(m_signature).replace("\n", "\r\n") << SignatureState::Verified
        << SignatureFault::None << "release 1.2.3 for the Vantor";
    QTest::addRow("file changed after signing")
        << changed << m_signature << invalid << SignatureFault::FileMismatch << QString();
    QTest::addRow("legacy: file changed after signing")
        << changed << legacy << invalid << SignatureFault::FileMismatch << QString();
    QTest::addRow("signature for another file")
        << m_sample << readAll(fixture(QStringLiteral("other.bin.minisig"))) << invalid
        << SignatureFault::FileMismatch << QString();
    QTest::addRow("signed by an untrusted key")
        << m_sample << readAll(fixture(QStringLiteral("sample.tvf.other-key-minisig")))
        << SignatureState::UntrustedKey << SignatureFault::UntrustedKey << QString();
    QTest::addRow("trusted comment edited")
        << m_sample << withLine(m_signature, 2, "trusted comment: release 9.9.9 for the Vantor") << invalid
        << SignatureFault::CommentEdited << QString();
    QTest::addRow("truncated in the global signature")
        << m_sample << m_signature.left(m_signature.size() - 20) << invalid << SignatureFault::Truncated
        << QString();
    QTest::addRow("truncated after the signature line")
        << m_sample << m_signature.left(m_signature.indexOf("trusted comment")) << invalid
        << SignatureFault::Truncated << QString();
    QTest::addRow("empty signature file")
        << m_sample << QByteArray() << invalid << SignatureFault::Truncated << QString();
    QTest::addRow("bad base64") << m_sample
                                << withLine(m_signature, 1, fileSignature.toBase64().replace(5, 1, "*"))
                                << invalid << SignatureFault::BadBase64 << QString();
    QTest::addRow("unknown algorithm") << m_sample << withLine(m_signature, 1, otherAlgorithm.toBase64())
                                       << invalid << SignatureFault::UnknownAlgorithm << QString();
    QTest::addRow("signature of the wrong length")
        << m_sample << withLine(m_signature, 1, fileSignature.left(73).toBase64()) << invalid
        << SignatureFault::WrongLength << QString();
    QTest::addRow("global signature of the wrong length")
        << m_sample << withLine(m_signature, 3, decodedLine(m_signature, 3).left(63).toBase64()) << invalid
        << SignatureFault::WrongLength << QString();
    QTest::addRow("extra lines") << m_sample << m_signature + "untrusted comment: appended\n"
                                 << invalid << SignatureFault::ExtraLines << QString();
    QTest::addRow("no untrusted comment line") << m_sample << withLine(m_signature, 0, "comment: x")
                                               << invalid << SignatureFault::NotACommentLine << QString();
}

void tst_FirmwareSignature::verify()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, signature);
    QFETCH(SignatureState, state);
    QFETCH(SignatureFault, fault);
    QFETCH(QString, comment);

    const SignatureCheck check = FirmwareSignature::verify(file, signature, m_keys);
    QCOMPARE(check.state, state);
    QCOMPARE(check.fault, fault);
    QCOMPARE(check.trustedComment, comment);
    if (state == SignatureState::Verified) {
        // minisign names the key in the public key's comment line.
        QVERIFY2(m_publicKey.startsWith("untrusted comment: minisign public key " + check.keyId.toLatin1()),
            qPrintable(check.keyId));
    }
}

void tst_FirmwareSignature::signatureFile_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<SignatureState>("state");
    QTest::addColumn<SignatureFault>("fault");

    QTest::addRow("no signature file: unsigned")
        << "none" << SignatureState::Unsigned << SignatureFault::None;
    QTest::addRow("signature beside the file")
        << "signed" << SignatureState::Verified << SignatureFault::None;
    QTest::addRow("signature file is a directory")
        << "directory" << SignatureState::Invalid << SignatureFault::IsDirectory;
    QTest::addRow("huge signature file") << "huge" << SignatureState::Invalid << SignatureFault::TooLarge;
    QTest::addRow("signature file is a FIFO")
        << "fifo" << SignatureState::Invalid << SignatureFault::NotAFile;
    QTest::addRow("signature is a dangling link")
        << "dangling" << SignatureState::Invalid << SignatureFault::Unreadable;
    QTest::addRow("unreadable signature file")
        << "unreadable" << SignatureState::Invalid << SignatureFault::Unreadable;
}

void tst_FirmwareSignature::signatureFile()
{
    QFETCH(QString, layout);
    QFETCH(SignatureState, state);
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
        QVERIFY(QFile::setPermissions(signature, QFileDevice::Permissions()));
        if (QFile(signature).open(QIODevice::ReadOnly))
            QSKIP("this user reads files whatever their permissions (root)");
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
    QCOMPARE(check.state, state);
    QCOMPARE(check.fault, fault);
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

    const TrustedKeys keys
        = TrustedKeys::load({missing, fixture(QStringLiteral("other.pub"))}, folder.path());
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
    QTest::addColumn<bool>("required");
    QTest::addColumn<FlashRefusal>("refusal");

    QTest::addRow("verified, signatures required") << SignatureState::Verified << true << FlashRefusal::None;
    QTest::addRow("unsigned flashes by default") << SignatureState::Unsigned << false << FlashRefusal::None;
    QTest::addRow("unsigned refused when required")
        << SignatureState::Unsigned << true << FlashRefusal::Unsigned;
    QTest::addRow("invalid refused by default")
        << SignatureState::Invalid << false << FlashRefusal::BadSignature;
    QTest::addRow("untrusted key refused by default")
        << SignatureState::UntrustedKey << false << FlashRefusal::BadSignature;
}

void tst_FirmwareSignature::flashRefusal()
{
    QFETCH(SignatureState, state);
    QFETCH(bool, required);
    QFETCH(FlashRefusal, refusal);

    SignatureCheck check;
    check.state = state;
    const SignaturePolicy policy = SignaturePolicy().requiredForThisRun(required);
    QCOMPARE(::flashRefusal(check, policy), refusal);
    QCOMPARE(flashRefusalText(refusal, check, policy).isEmpty(), refusal == FlashRefusal::None);
}

void tst_FirmwareSignature::policyFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("required");
    QTest::addColumn<bool>("problem");

    QTest::addRow("no policy file") << QByteArray() << false << false;
    QTest::addRow("RequireSignature=true") << QByteArray("RequireSignature=true\n") << true << false;
    QTest::addRow("RequireSignature=false") << QByteArray("RequireSignature=false\n") << false << false;
    QTest::addRow("other settings only") << QByteArray("[General]\nColour=blue\n") << false << false;
    QTest::addRow("a value neither true nor false requires")
        << QByteArray("RequireSignature=maybe\n") << true << true;
    QTest::addRow("policy path is a directory requires") << QByteArray("<directory>") << true << true;
}

void tst_FirmwareSignature::policyFile()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, required);
    QFETCH(bool, problem);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("policy.ini"));
    if (content == "<directory>")
        QVERIFY(QDir().mkdir(path));
    else if (!content.isEmpty())
        QVERIFY(writeAll(path, content));
    const SignaturePolicy policy = SignaturePolicy::fromIniFile(path);
    QCOMPARE(policy.requireSignature, required);
    QCOMPARE(!policy.problem.isEmpty(), problem);
}

QTEST_GUILESS_MAIN(tst_FirmwareSignature)
#include "tst_firmwaresignature.moc"
