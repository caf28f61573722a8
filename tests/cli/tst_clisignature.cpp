// talvex-cli info on a file signed by the real minisign (at build time): the
// signature's state and signer on stdout and in --json, and the refusals;
// flash and station on a simulated device: a refused file writes nothing,
// and the station's record names the signature and the signer.

#include "clirunner.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString fixture(const char *name)
{
    return QStringLiteral(TALVEX_SIGNATURE_FIXTURES "/") + QLatin1String(name);
}

} // namespace

class tst_CliSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void info_data();
    void info();
    void flashAndStation_data();
    void flashAndStation();

private:
    QTemporaryDir m_machineKeys;
};

void tst_CliSignature::initTestCase()
{
    if (!QFile::exists(fixture("trusted.pub")))
        QSKIP("minisign was not installed when the tests were built (scripts/install-deps.sh installs it)");
    // An empty folder instead of the machine's own trusted keys.
    QVERIFY(m_machineKeys.isValid());
    qputenv("TALVEX_TRUSTED_KEYS_DIR", QFile::encodeName(m_machineKeys.path()));
}

void tst_CliSignature::info_data()
{
    QTest::addColumn<QString>("signature");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("message");

    const QStringList trusted {QStringLiteral("--key"), fixture("trusted.pub")};
    QTest::addRow("signed by a key given with --key")
        << "sample.tvf.minisig" << trusted << 0 << "verified" << QString();
    QTest::addRow("no key given: untrusted") << "sample.tvf.minisig" << QStringList() << 1 << "untrusted-key"
                                             << "was made by a key that is not trusted";
    QTest::addRow("signature for another file refused") << "other.bin.minisig" << trusted << 1 << "invalid"
                                                        << "does not match the file";
    QTest::addRow("unsigned refused under --require-signature")
        << QString() << QStringList {QStringLiteral("--require-signature")} << 1 << "unsigned"
        << "--require-signature requires a signature";
}

void tst_CliSignature::info()
{
    QFETCH(QString, signature);
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QString, state);
    QFETCH(QString, message);

    QTemporaryDir dir;
    const QString firmware = dir.filePath(QStringLiteral("firmware.tvf"));
    QVERIFY(QFile::copy(fixture("sample.tvf"), firmware));
    if (!signature.isEmpty())
        QVERIFY(QFile::copy(fixture(qPrintable(signature)), firmware + QStringLiteral(".minisig")));

    const CliResult text = runCli(QStringList {QStringLiteral("info")} + options + QStringList {firmware});
    QCOMPARE(text.exitCode, exitCode);
    QVERIFY2(text.out.contains("\nsignature: " + state.toLatin1() + '\n'), text.out.constData());
    QVERIFY2(text.err.contains(message.toLatin1()), text.err.constData());

    const CliResult json = runCli(
        QStringList {QStringLiteral("info"), QStringLiteral("--json")} + options + QStringList {firmware});
    const QJsonObject result = QJsonDocument::fromJson(json.out).object();
    QCOMPARE(json.exitCode, exitCode);
    QCOMPARE(result.value(QStringLiteral("signature")).toString(), state);
    QCOMPARE(result.value(QStringLiteral("ok")).toBool(), exitCode == 0);
    if (state == QLatin1String("verified")) {
        QCOMPARE(result.value(QStringLiteral("trusted_comment")).toString(),
            QStringLiteral("release 1.2.3 for the Vantor"));
        QVERIFY(
            text.out.contains("\nsigner: " + result.value(QStringLiteral("signer")).toString().toLatin1()));
    }
}

void tst_CliSignature::flashAndStation_data()
{
    QTest::addColumn<QString>("signature");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    // In the record when the station ran: signature, then signer.
    QTest::addColumn<QStringList>("recorded");

    const QString mismatch = QStringLiteral("does not match the file");
    // The key id the trusted key's comment line ends with.
    const QByteArray keyLine = readBytes(fixture("trusted.pub")).split('\n').first();
    const QString keyId = QString::fromLatin1(keyLine.mid(keyLine.lastIndexOf(' ') + 1));
    QTest::addRow("flash: signature for another file refused, nothing written")
        << "other.bin.minisig" << QStringList {"flash"} << 1 << mismatch << QStringList();
    QTest::addRow("flash --all: unsigned refused under --require-signature, nothing written")
        << QString() << QStringList {"flash", "--all", "--require-signature"} << 1
        << "--require-signature requires a signature" << QStringList();
    QTest::addRow("station: signature for another file refused before the first unit")
        << "other.bin.minisig" << QStringList {"station", "--count", "1"} << 1 << mismatch << QStringList();
    QTest::addRow("station: --expect-sha256 of another image refused, both hashes named")
        << "sample.tvf.minisig"
        << QStringList {"station", "--count", "1", "--expect-sha256", QString(64, 'A')} << 1
        << "but the station expects " + QString(64, 'a') << QStringList();
    QTest::addRow("station: --expect-sha256 not a hash refused")
        << QString() << QStringList {"station", "--expect-sha256", "12ab"} << 2
        << "--expect-sha256 \"12ab\" is not a SHA-256" << QStringList();
    QTest::addRow("station: verified, the record names the signer")
        << "sample.tvf.minisig" << QStringList {"station", "--count", "1", "--expect-sha256", "SHA256"} << 0
        << QString() << QStringList {"verified", keyId};
    QTest::addRow("station: unsigned, the record says so")
        << QString() << QStringList {"station", "--count", "1"} << 0 << QString()
        << QStringList {"unsigned", QString()};
}

void tst_CliSignature::flashAndStation()
{
    QFETCH(QString, signature);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QStringList, recorded);

    QTemporaryDir dir;
    const QString firmware = dir.filePath(QStringLiteral("firmware.tvf"));
    QVERIFY(QFile::copy(fixture("sample.tvf"), firmware));
    if (!signature.isEmpty())
        QVERIFY(QFile::copy(fixture(qPrintable(signature)), firmware + QStringLiteral(".minisig")));
    const QString simulator = simulatorWithState(dir.filePath(QStringLiteral("sim.json")));
    const QString record = dir.filePath(QStringLiteral("record.jsonl"));
    // The simulated device keeps no state until something is written to it.
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("sim.json"))));

    const QString sha256 = QString::fromLatin1(
        QCryptographicHash::hash(readBytes(firmware), QCryptographicHash::Sha256).toHex().toUpper());
    arguments.replaceInStrings(QStringLiteral("SHA256"), sha256);
    arguments << QStringLiteral("--key") << fixture("trusted.pub");
    if (arguments.first() == QLatin1String("station"))
        arguments << QStringLiteral("--record") << record;
    const CliResult run = runCli(arguments << firmware, simulator);
    QVERIFY2(run.exitCode == exitCode, run.err.constData());
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    if (exitCode != 0)
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("sim.json"))));
    if (!recorded.isEmpty()) {
        const QJsonObject line = QJsonDocument::fromJson(readBytes(record)).object();
        QCOMPARE(line.value(QStringLiteral("sha256")).toString(), sha256.toLower());
        QCOMPARE(line.value(QStringLiteral("signature")).toString(), recorded.at(0));
        QCOMPARE(line.value(QStringLiteral("signer")).toString(), recorded.at(1));
    }
}

QTEST_GUILESS_MAIN(tst_CliSignature)
#include "tst_clisignature.moc"
