#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include "app/startup.h"
#include "firmwarefixture.h"
#include "modalwatcher.h"
#include "ui/flashdialog.h"

// Picking a firmware file through the window: the open dialog, the labels, the
// remembered folder and what happens with a file that fails its checks.
class tst_FirmwareSelection : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir settingsDir;
    QTemporaryDir files;

    static QString text(FlashDialog &window, const char *name)
    {
        return window.findChild<QLabel *>(QString::fromLatin1(name))->text();
    }
    static bool flashEnabled(FlashDialog &window)
    {
        return window.findChild<QPushButton *>(QStringLiteral("FlashDeviceButton"))->isEnabled();
    }
    static QVariant storedFolder() { return QSettings().value(QStringLiteral("lastFwFileDir")); }

    QString subfolder(const QString &name)
    {
        QDir(files.path()).mkpath(name);
        return files.filePath(name);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(settingsDir.isValid());
        QVERIFY(files.isValid());
        useTestSettings(settingsDir.path());
    }

    void init() { QSettings().clear(); }

    void dialogAsksForFirmwareFilesOnly()
    {
        FlashDialog window;
        ModalWatcher watcher;
        window.onLoadFirmwareClicked();
        QCOMPARE(watcher.fileDialogs.size(), 1);
        QCOMPARE(watcher.fileDialogs.first().caption, QStringLiteral("Open firmware file"));
        QCOMPARE(
            watcher.fileDialogs.first().nameFilters, QStringList {QStringLiteral("firmware binary (*.tvf)")});
    }

    void pickShowsFileAndVersionAndRemembersFolder()
    {
        const QString folder = subfolder("releases");
        const QString path = writeFirmwareFile(folder + "/app.tvf", 1, 4, 2, 317, "release/1.4.2");
        FlashDialog window;
        ModalWatcher watcher;
        watcher.setFileAnswer(path);
        window.onLoadFirmwareClicked();

        QCOMPARE(watcher.messages.size(), 0);
        QCOMPARE(text(window, "firmwareFileNameLabel"), QStringLiteral("app.tvf"));
        QCOMPARE(text(window, "FileVersionValueLabel"), QStringLiteral("1.4.2 RC build nr 317"));
        QCOMPARE(storedFolder().toString(), folder);

        // The next dialog starts where the last pick was made, even in a new window.
        FlashDialog second;
        watcher.setFileAnswer(QString());
        second.onLoadFirmwareClicked();
        QCOMPARE(watcher.fileDialogs.size(), 2);
        QCOMPARE(watcher.fileDialogs.at(1).directory, folder);
    }

    // As the command line hands it over: native separators, relative to the working folder.
    void fileNamedOutsideTheDialogLoadsAsIfPicked()
    {
        const QString folder = subfolder("from the file manager");
        writeFirmwareFile(folder + "/app.tvf", 2, 0, 1, 5, "master");
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(files.path()));
        FlashDialog window;
        ModalWatcher watcher;
        window.loadFirmwareFile(QDir::toNativeSeparators("from the file manager/app.tvf"));
        QDir::setCurrent(previous);
        QCOMPARE(watcher.fileDialogs.size(), 0);
        QCOMPARE(watcher.messages.size(), 0);
        QCOMPARE(text(window, "firmwareFileNameLabel"), QStringLiteral("app.tvf"));
        QCOMPARE(text(window, "FileVersionValueLabel"), QStringLiteral("2.0.1"));
        QCOMPARE(storedFolder().toString(), folder);
    }

    void folderIsStoredAsUtf8SoQt5AndQt6BuildsShareIt()
    {
        const QString folder = subfolder(QString::fromUtf8("Gr\xc3\xbc\xc3\x9f"
                                                           "e \xe2\x82\xac"));
        const QString path = writeFirmwareFile(folder + "/app.tvf", 1, 0, 0, 1, "master");
        // A second settings object alive beside the window's would write with its own rules.
        QFile stored(QSettings().fileName());
        {
            FlashDialog window;
            ModalWatcher watcher;
            watcher.setFileAnswer(path);
            window.onLoadFirmwareClicked();
            QCOMPARE(watcher.messages.size(), 0);
        }
#ifdef Q_OS_WIN
        // In the registry, as text of its own kind, read again after the window has gone.
        const QString store = QSettings().fileName();
        QVERIFY2(
            store.startsWith("\\HKEY_CURRENT_USER\\Software\\Vantor\\TALVEX Updater"), qPrintable(store));
        QCOMPARE(storedFolder().toString(), folder);
#else
        QVERIFY(stored.open(QFile::ReadOnly));
        const QByteArray text = stored.readAll();
        QVERIFY2(text.contains("lastFwFileDir=" + folder.toUtf8()), text.constData());
#endif
    }

    void folderStoredWithEscapesByEarlierBuildsStillReads()
    {
        const QString folder = subfolder(QString::fromUtf8("Gr\xc3\xbc\xc3\x9f"
                                                           "e \xe2\x82\xac"));
#ifdef Q_OS_WIN
        QSKIP("Earlier builds wrote that form to an INI file; on Windows the registry holds the folder");
#endif
        QFile stored(QSettings().fileName());
        QVERIFY(QDir().mkpath(QFileInfo(stored).path()));
        QVERIFY(stored.open(QFile::WriteOnly));
        // What a Qt 5 build wrote before settings were kept as UTF-8.
        stored.write(
            "[General]\nlastFwFileDir=" + files.path().toUtf8() + R"(/Gr\xfc\xdf\x65 \x20ac)" + "\n");
        stored.close();

        FlashDialog window;
        ModalWatcher watcher;
        watcher.setFileAnswer(QString());
        window.onLoadFirmwareClicked();
        QCOMPARE(watcher.fileDialogs.size(), 1);
        QCOMPARE(watcher.fileDialogs.first().directory, folder);
    }

    void nameFieldDecodingDecidesTheVersionForm_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("expected");
        QTest::addRow("master padded with zero bytes")
            << QByteArray("master\0\0\0\0\0\0\0\0\0\0", 16) << "1.4.2";
        QTest::addRow("16 bytes without NUL kept whole")
            << QByteArray("feature/ABCDEFGH") << "1.4.2 DEV build nr 317 (feature/ABCDEFGH)";
        QTest::addRow("text after the first zero ignored")
            << QByteArray("develop\0master\0\0", 16) << "1.4.2 DEV build nr 317 (develop)";
    }

    void nameFieldDecodingDecidesTheVersionForm()
    {
        QFETCH(QByteArray, name);
        const QString path = writeFirmwareFile(files.filePath("named.tvf"), 1, 4, 2, 317, name);
        FlashDialog window;
        ModalWatcher watcher;
        watcher.setFileAnswer(path);
        window.onLoadFirmwareClicked();
        QTEST(text(window, "FileVersionValueLabel"), "expected");
    }

    void cancelChangesNothing()
    {
        const QString path = writeFirmwareFile(subfolder("first") + "/one.tvf", 2, 0, 0, 1, "master");
        FlashDialog window;
        window.onDeviceAttached();
        ModalWatcher watcher;
        watcher.setFileAnswer(path);
        window.onLoadFirmwareClicked();
        QVERIFY(flashEnabled(window));

        watcher.setFileAnswer(QString());
        window.onLoadFirmwareClicked();
        QCOMPARE(watcher.fileDialogs.size(), 2);
        QCOMPARE(watcher.messages.size(), 0);
        QCOMPARE(text(window, "firmwareFileNameLabel"), QStringLiteral("one.tvf"));
        QCOMPARE(text(window, "FileVersionValueLabel"), QStringLiteral("2.0.0"));
        QCOMPARE(storedFolder().toString(), files.filePath("first"));
        QVERIFY(flashEnabled(window));
    }

    void corruptFileIsReportedAndPreviousFirmwareStays()
    {
        const QString good = writeFirmwareFile(subfolder("good") + "/good.tvf", 3, 1, 0, 9, "master");
        const QString badFolder = subfolder("bad");
        QFile bad(badFolder + "/broken.tvf");
        QVERIFY(bad.open(QFile::WriteOnly));
        bad.write(QByteArray(100, 'x'));
        bad.close();

        FlashDialog window;
        window.setModal(false);
        window.show();
        window.onDeviceAttached();
        ModalWatcher watcher;
        watcher.setFileAnswer(good);
        window.onLoadFirmwareClicked();

        watcher.setFileAnswer(bad.fileName());
        QSignalSpy flashSpy(&window, &FlashDialog::flashFirmware);
        window.onLoadFirmwareClicked();

        QCOMPARE(watcher.messages.size(), 1);
        QCOMPARE(watcher.messages.first().title, QStringLiteral("Error"));
        QCOMPARE(watcher.messages.first().text, QStringLiteral("File corrupted!"));
        QCOMPARE(text(window, "firmwareFileNameLabel"), QStringLiteral("good.tvf"));
        QCOMPARE(text(window, "FileVersionValueLabel"), QStringLiteral("3.1.0"));
        QCOMPARE(storedFolder().toString(), badFolder);
        QVERIFY(flashEnabled(window));

        // What is shown is what is flashed.
        window.onFlashDeviceClicked();
        QCOMPARE(flashSpy.size(), 1);
        QCOMPARE(flashSpy.first().first().value<QSharedPointer<FirmwareFile>>()->header().version, quint8(3));
        window.loadingDialog->hide();
    }

    void corruptFirstFileLeavesNothingToFlash()
    {
        const QString path = files.filePath("short.tvf");
        QFile file(path);
        QVERIFY(file.open(QFile::WriteOnly));
        file.write("BZOK");
        file.close();

        FlashDialog window;
        window.onDeviceAttached();
        ModalWatcher watcher;
        watcher.setFileAnswer(path);
        window.onLoadFirmwareClicked();
        QCOMPARE(watcher.messages.size(), 1);
        QVERIFY(!flashEnabled(window));
        QCOMPARE(text(window, "FileVersionValueLabel"), QStringLiteral("#.#.#"));
        QCOMPARE(text(window, "firmwareFileNameLabel"), QString());
    }
};

QTEST_MAIN(tst_FirmwareSelection)
#include "tst_firmwareselection.moc"
