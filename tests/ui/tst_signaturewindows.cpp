// A file's signature state in both windows: the version text and its
// tooltip in the main window, Flash kept disabled for a refused file, and
// the signer with the start of the SHA-256 in the station window. Built on
// every platform, so that it runs under Wine as well.

#include "firmwarefixture.h"
#include "modalwatcher.h"
#include "ui/flashdialog.h"
#include "ui/stationwindow.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class TestSignatureWindows : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
    static QByteArray readBytes(const QString &name)
    {
        QFile file(name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        useTestSettings(path("settings"));
    }

    void signatureShowsInBothWindows_data()
    {
        QTest::addColumn<QString>("signature");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("tooltip");
        QTest::addColumn<bool>("flashable");
        if (!QFile::exists(QStringLiteral(TALVEX_SIGNATURE_FIXTURES "/trusted.pub")))
            QSKIP("minisign was not installed when the tests were built");
        const QString version = QStringLiteral("1.2.3 RC build nr 42");
        QTest::addRow("signed: the version says so, the tooltip names the signer")
            << "sample.tvf.minisig" << version + " (signed)"
            << "Signed: " << true;
        QTest::addRow("signature for another file: refused, Flash stays disabled, nothing sent")
            << "other.bin.minisig" << version + " (refused)"
            << "Signature does not match" << false;
        QTest::addRow("unsigned: the version as before") << QString() << version << "Not signed" << true;
    }

    void signatureShowsInBothWindows()
    {
        QFETCH(QString, signature);
        QFETCH(QString, version);
        QFETCH(QString, tooltip);
        QFETCH(bool, flashable);
        const QString fixtures = QStringLiteral(TALVEX_SIGNATURE_FIXTURES "/");
        QDir(m_dir.path()).mkpath("keys");
        QFile::copy(fixtures + "trusted.pub", path("keys/trusted.pub"));
        qputenv("TALVEX_TRUSTED_KEYS_DIR", QFile::encodeName(path("keys")));
        const QString file = path("signed.tvf");
        QFile::remove(file);
        QFile::remove(file + ".minisig");
        QVERIFY(QFile::copy(fixtures + "sample.tvf", file));
        if (!signature.isEmpty())
            QVERIFY(QFile::copy(fixtures + signature, file + ".minisig"));
        const QByteArray keyLine = readBytes(fixtures + "trusted.pub").split('\n').first();
        const QString keyId = QString::fromLatin1(keyLine.mid(keyLine.lastIndexOf(' ') + 1));

        FlashDialog window;
        window.setModal(false);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.onDeviceAttached();
        QSignalSpy flashed(&window, &FlashDialog::flashFirmware);
        ModalWatcher watcher;
        window.loadFirmwareFile(file);
        auto *label = window.findChild<QLabel *>("FileVersionValueLabel");
        QCOMPARE(label->text(), version);
        QVERIFY2(label->toolTip().startsWith(tooltip), qPrintable(label->toolTip()));
        QCOMPARE(label->toolTip().contains(keyId), signature == "sample.tvf.minisig");
        QCOMPARE(window.findChild<QPushButton *>("FlashDeviceButton")->isEnabled(), flashable);
        QCOMPARE(watcher.messages.size(), flashable ? 0 : 1);
        if (!flashable) {
            QCOMPARE(watcher.messages.first().text, QStringLiteral("This file will not be flashed."));
            QVERIFY(watcher.messages.first().informativeText.contains("does not match the file"));
            window.onFlashDeviceClicked();
            QCOMPARE(flashed.size(), 0);
        }

        StationWindow station;
        station.loadFirmwareFile(file);
        const QString sha256 = QString::fromLatin1(
            QCryptographicHash::hash(readBytes(file), QCryptographicHash::Sha256).toHex());
        const QString signer = signature == "sample.tvf.minisig" ? keyId
            : flashable                                          ? QStringLiteral("not signed")
                                                                 : QStringLiteral("refused");
        const QString shown = station.findChild<QLabel *>("firmwareSignatureValueLabel")->text();
        QVERIFY2(shown.endsWith(", " + sha256.left(16)), qPrintable(shown));
        QVERIFY2(shown.startsWith(signer), qPrintable(shown));
    }

};

QTEST_MAIN(TestSignatureWindows)
#include "tst_signaturewindows.moc"
