// talvex-cli info on a file signed by the real minisign (at build time): the
// signature's state and signer on stdout and in --json, and the refusals.

#include "clirunner.h"

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

QTEST_GUILESS_MAIN(tst_CliSignature)
#include "tst_clisignature.moc"
