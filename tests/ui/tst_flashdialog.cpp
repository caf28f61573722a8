#include <QApplication>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QtTest>

#include "app/startup.h"
#include "firmwarefixture.h"
#include "modalwatcher.h"
#include "ui/flashdialog.h"

// The window's structure and its reaction to device and flashing reports.
class tst_FlashDialog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir settingsDir;
    QTemporaryDir files;

    template <typename T> static T *child(QWidget &window, const char *name)
    {
        return window.findChild<T *>(QString::fromLatin1(name));
    }

    static QString text(QWidget &window, const char *name) { return child<QLabel>(window, name)->text(); }

    static QPushButton *flashButton(QWidget &window)
    {
        return child<QPushButton>(window, "FlashDeviceButton");
    }

    // Loads a firmware file through the window's own file dialog.
    void loadFirmware(FlashDialog &window, const QByteArray &name = "master")
    {
        const QString path = writeFirmwareFile(files.filePath("fw.tvf"), 1, 4, 2, 317, name);
        ModalWatcher watcher;
        watcher.setFileAnswer(path);
        window.onLoadFirmwareClicked();
        QCOMPARE(watcher.fileDialogs.size(), 1);
        QCOMPARE(watcher.messages.size(), 0);
    }

    // Shown as start-up shows it, with a device attached and a file loaded.
    void makeReady(FlashDialog &window)
    {
        window.setModal(false);
        window.show();
        window.onDeviceAttached();
        loadFirmware(window);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(settingsDir.isValid());
        QVERIFY(files.isValid());
        useTestSettings(settingsDir.path());
        installStyleSheet(*qApp);
    }

    void formHasEveryWidgetUnderItsName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("className");
        const char *rows[][2] = {
            {"verticalLayout_2", "QVBoxLayout"},
            {"horizontalLayout", "QHBoxLayout"},
            {"DeviceInfoStatusGroupBox", "QGroupBox"},
            {"verticalLayout_3", "QVBoxLayout"},
            {"StatusContainter", "QWidget"},
            {"horizontalLayout_4", "QHBoxLayout"},
            {"statusLayout", "QFormLayout"},
            {"SerialNumberLabel", "QLabel"},
            {"CurrentSerialNumberLabel", "QLabel"},
            {"boardVersionLabel", "QLabel"},
            {"CurrentBoardVersionLabel", "QLabel"},
            {"DeviceVersionLabel", "QLabel"},
            {"DeviceVersionValueLabel", "QLabel"},
            {"NoDeviceConnectedLabel", "QLabel"},
            {"vantorImageLabel", "QLabel"},
            {"groupBox", "QGroupBox"},
            {"formLayout_3", "QFormLayout"},
            {"loadFirmwareButton", "QPushButton"},
            {"FirmwareFileLabel", "QLabel"},
            {"FileVersionLabel", "QLabel"},
            {"FileVersionValueLabel", "QLabel"},
            {"firmwareFileNameLabel", "QLabel"},
            {"FlashDeviceButton", "QPushButton"},
            {"aboutButton", "QPushButton"},
        };
        for (const auto &row : rows)
            QTest::addRow("%s", row[0]) << QString::fromLatin1(row[0]) << QString::fromLatin1(row[1]);
    }

    void formHasEveryWidgetUnderItsName()
    {
        QFETCH(QString, name);
        QFETCH(QString, className);
        FlashDialog window;
        QCOMPARE(window.objectName(), QStringLiteral("FlashDialog"));
        const QList<QObject *> found = window.findChildren<QObject *>(name);
        QCOMPARE(found.size(), 1);
        QCOMPARE(QString::fromLatin1(found.first()->metaObject()->className()), className);
    }

    void initialStateBeforeAnyDeviceReport()
    {
        FlashDialog window;
        QCOMPARE(window.minimumSize(), QSize(500, 300));
        QCOMPARE(window.maximumSize(), QSize(518, 300));
        window.setModal(false);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QCOMPARE(window.windowTitle(), QStringLiteral("TALVEX Updater"));
        // Once laid out, the fixed-size layout pins the window at its size hint.
        QCOMPARE(window.minimumSize(), window.size());
        QCOMPARE(window.maximumSize(), window.size());
        QCOMPARE(window.font().pointSize(), 12);

        QVERIFY(child<QWidget>(window, "StatusContainter")->isHidden());
        QVERIFY(child<QLabel>(window, "NoDeviceConnectedLabel")->isVisible());
        QCOMPARE(text(window, "NoDeviceConnectedLabel"), QStringLiteral("No device connected!"));
        QCOMPARE(text(window, "CurrentSerialNumberLabel"), QStringLiteral("SN######"));
        QCOMPARE(text(window, "CurrentBoardVersionLabel"), QStringLiteral("#.#"));
        QCOMPARE(text(window, "DeviceVersionValueLabel"), QStringLiteral("#.#.#"));
        QCOMPARE(text(window, "FileVersionValueLabel"), QStringLiteral("#.#.#"));
        QCOMPARE(text(window, "firmwareFileNameLabel"), QString());
        QCOMPARE(child<QGroupBox>(window, "groupBox")->title(), QStringLiteral("Firmware"));
        QCOMPARE(
            child<QGroupBox>(window, "DeviceInfoStatusGroupBox")->title(), QStringLiteral("Device status"));

        QVERIFY(!flashButton(window)->isEnabled());
        QCOMPARE(flashButton(window)->text(), QStringLiteral("Flash device"));
        QCOMPARE(flashButton(window)->property("class").toString(), QStringLiteral("VantorButton"));
        auto *loadButton = child<QPushButton>(window, "loadFirmwareButton");
        QCOMPARE(loadButton->property("class").toString(), QStringLiteral("VantorButton"));
        QCOMPARE(loadButton->text(), QStringLiteral("Choose firmware file"));

#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
        const QPixmap picture = child<QLabel>(window, "vantorImageLabel")->pixmap(Qt::ReturnByValue);
#else
        const QPixmap picture = *child<QLabel>(window, "vantorImageLabel")->pixmap();
#endif
        QCOMPARE(picture.size(), QSize(90, 90));
        QVERIFY(!child<QPushButton>(window, "aboutButton")->icon().isNull());
        QVERIFY(window.loadingDialog);
        QCOMPARE(window.loadingDialog->parent(), &window);
        QVERIFY(window.loadingDialog->isHidden());
    }

    void titleBarOffersMinimiseAndCloseOnly()
    {
        FlashDialog window;
        const Qt::WindowFlags flags = window.windowFlags();
        QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowContextHelpButtonHint));
        QCOMPARE(window.windowModality(), Qt::ApplicationModal);
    }

    void topLayoutHoldsTheWindowAtFixedSize()
    {
        FlashDialog window;
        auto *top = child<QVBoxLayout>(window, "verticalLayout_2");
        QCOMPARE(top->sizeConstraint(), QLayout::SetFixedSize);
        QCOMPARE(top->spacing(), 9);
        QCOMPARE(top->itemAt(top->indexOf(flashButton(window)))->alignment(), Qt::AlignHCenter);
        auto *about = child<QPushButton>(window, "aboutButton");
        QCOMPARE(top->itemAt(top->indexOf(about))->alignment(), Qt::AlignRight);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QSize shown = window.size();
        window.resize(700, 500);
        QCoreApplication::processEvents();
        QCOMPARE(window.size(), shown);
    }

    void aboutButtonNeverTakesFocusNorBecomesDefault()
    {
        FlashDialog window;
        window.setModal(false);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *about = child<QPushButton>(window, "aboutButton");
        QCOMPARE(about->focusPolicy(), Qt::NoFocus);
        QVERIFY(!about->autoDefault());
        for (int i = 0; i < 6; ++i) {
            QTest::keyClick(&window, Qt::Key_Tab);
            QVERIFY(!about->hasFocus());
            QVERIFY(!about->isDefault());
        }
    }

    void disabledFlashButtonIsGrey()
    {
        FlashDialog window;
        window.setModal(false);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QImage image = flashButton(window)->grab().toImage();
        QCOMPARE(image.pixelColor(image.width() / 2, 2), QColor(0x44, 0x44, 0x44));
    }

    void deviceAttachAndDetachFollowTheFlashButtonRule()
    {
        FlashDialog window;
        window.setModal(false);
        window.show();
        auto *status = child<QWidget>(window, "StatusContainter");
        auto *noDevice = child<QLabel>(window, "NoDeviceConnectedLabel");

        window.onDeviceAttached();
        QVERIFY(status->isVisible());
        QVERIFY(noDevice->isHidden());
        QVERIFY2(!flashButton(window)->isEnabled(), "no file loaded yet");

        loadFirmware(window);
        QVERIFY(flashButton(window)->isEnabled());

        window.onDeviceDetached();
        QVERIFY(status->isHidden());
        QVERIFY(noDevice->isVisible());
        QVERIFY(!flashButton(window)->isEnabled());

        window.onDeviceAttached();
        QVERIFY(flashButton(window)->isEnabled());
        QVERIFY(noDevice->isHidden());
    }

    void inaccessibleDeviceIsExplained_data()
    {
        QTest::addColumn<bool>("attached");
        QTest::addColumn<QList<int>>("counts"); // inaccessible devices reported, one report each
        QTest::addColumn<int>("messages");
        QTest::addColumn<QString>("finalText");
        QTest::addRow("one device appears") << false << QList<int> {1} << 1 << "Device not accessible!";
        QTest::addRow("the same report again says nothing new")
            << false << QList<int> {1, 1} << 1 << "Device not accessible!";
        QTest::addRow("a second device is explained again")
            << false << QList<int> {1, 2} << 2 << "Device not accessible!";
        QTest::addRow("fixed and re-plugged") << false << QList<int> {1, 0} << 1 << "No device connected!";
        QTest::addRow("a usable device is attached: no box")
            << true << QList<int> {1} << 0 << "Device not accessible!";
    }

    void inaccessibleDeviceIsExplained()
    {
        QFETCH(bool, attached);
        QFETCH(QList<int>, counts);
        QFETCH(int, messages);
        QFETCH(QString, finalText);
        FlashDialog window;
        window.setModal(false);
        window.show();
        if (attached)
            window.onDeviceAttached();
        ModalWatcher watcher;
        for (int count : counts) {
            QStringList paths;
            for (int i = 0; i < count; ++i)
                paths << QStringLiteral("usb:1-%1").arg(i + 1);
            window.onDevicesInaccessible(paths);
        }
        QCOMPARE(watcher.messages.size(), messages);
        for (const SeenMessage &message : qAsConst(watcher.messages)) {
            QCOMPARE(message.title, QStringLiteral("Error"));
            QVERIFY2(message.text.contains(QStringLiteral("udev rule")), qPrintable(message.text));
            QVERIFY(message.text.contains(QStringLiteral("plug it in again")));
        }
        QCOMPARE(text(window, "NoDeviceConnectedLabel"), finalText);
        QCOMPARE(child<QLabel>(window, "NoDeviceConnectedLabel")->isVisible(), !attached);
    }

    void fileLoadedBeforeDeviceEnablesFlashOnAttach()
    {
        FlashDialog window;
        loadFirmware(window);
        QVERIFY(!flashButton(window)->isEnabled());
        window.onDeviceAttached();
        QVERIFY(flashButton(window)->isEnabled());
    }

    void deviceInformationReport_data()
    {
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<int>("board");
        QTest::addColumn<int>("subBoard");
        QTest::addColumn<QString>("expectedBoard");
        QTest::addColumn<QString>("expectedSerial");
        QTest::addRow("valid") << true << "ZOK000123" << 2 << 0 << "2.0"
                               << "ZOK000123";
        QTest::addRow("valid, largest numbers") << true << "SN 1" << 255 << 255 << "255.255"
                                                << "SN 1";
        QTest::addRow("invalid shows placeholders") << false << "ZOK000123" << 2 << 0 << "#.#"
                                                    << "ZOK######";
    }

    void deviceInformationReport()
    {
        QFETCH(bool, valid);
        QFETCH(QString, serial);
        QFETCH(int, board);
        QFETCH(int, subBoard);
        FlashDialog window;
        window.onDeviceInformationChanged(valid, serial, quint8(board), quint8(subBoard), 7, true);
        QTEST(text(window, "CurrentBoardVersionLabel"), "expectedBoard");
        QTEST(text(window, "CurrentSerialNumberLabel"), "expectedSerial");
    }

    void firmwareInformationReport_data()
    {
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::addRow("valid master") << true << "master"
                                      << "1.4.2";
        QTest::addRow("valid release") << true << "release/1.4.2"
                                       << "1.4.2 RC build nr 317";
        QTest::addRow("invalid placeholder") << false << "master"
                                             << "#.#.# build ###, name \"#####\"";
    }

    void firmwareInformationReport()
    {
        QFETCH(bool, valid);
        QFETCH(QString, name);
        QFETCH(QString, expected);
        FlashDialog window;
        window.onFirmwareInformationChanged(valid, 1, 4, 2, 317, name);
        QCOMPARE(text(window, "DeviceVersionValueLabel"), expected);
        if (!valid)
            QCOMPARE(expected.size(), 29);
    }

    void flashShowsProgressAndHandsOverTheLoadedFile()
    {
        FlashDialog window;
        makeReady(window);
        window.loadingDialog->setProgress(77);
        QSignalSpy flashSpy(&window, &FlashDialog::flashFirmware);
        QVERIFY(flashSpy.isValid());

        QTest::mouseClick(flashButton(window), Qt::LeftButton);

        QCOMPARE(flashSpy.size(), 1);
        const auto file = flashSpy.first().first().value<QSharedPointer<FirmwareFile>>();
        QVERIFY(file);
        QCOMPARE(file->header().build, quint32(317));
        QVERIFY(window.loadingDialog->isVisible());
        QCOMPARE(window.loadingDialog->findChild<QProgressBar *>()->value(), 0);
        QCOMPARE(window.loadingDialog->findChild<QLabel *>()->text(), QStringLiteral("Flashing firmware..."));
    }

    void successShowsNewVersionThenAsksToStartTheApplication()
    {
        FlashDialog window;
        makeReady(window);
        QTest::mouseClick(flashButton(window), Qt::LeftButton);
        QSignalSpy startSpy(&window, &FlashDialog::startAppRequest);
        QVERIFY(startSpy.isValid());

        ModalWatcher watcher;
        bool dialogHidden = false;
        QString versionShown;
        int startRequestsWhileOpen = -1;
        watcher.setSnapshot([&] {
            dialogHidden = window.loadingDialog->isHidden();
            versionShown = text(window, "DeviceVersionValueLabel");
            startRequestsWhileOpen = startSpy.size();
        });
        window.onFirmwareReprogrammed(1, 5, 0, 400, QStringLiteral("release/1.5.0"));

        QCOMPARE(watcher.messages.size(), 1);
        const SeenMessage &message = watcher.messages.first();
        QCOMPARE(message.title, QStringLiteral("Success"));
        QCOMPARE(message.text,
            QStringLiteral("<p align='center'>The firmware has been flashed correctly!<br>"
                           "It will start now.</p>"));
        QVERIFY(dialogHidden);
        QCOMPARE(versionShown, QStringLiteral("1.5.0 RC build nr 400"));
        QCOMPARE(startRequestsWhileOpen, 0);
        QCOMPARE(startSpy.size(), 1);
        QVERIFY(flashButton(window)->isEnabled());
    }

    void failureHidesProgressBeforeTheErrorAndKeepsTheFile_data()
    {
        QTest::addColumn<bool>("flashOutstanding");
        QTest::addRow("during a flash") << true;
        QTest::addRow("without a flash") << false;
    }

    void failureHidesProgressBeforeTheErrorAndKeepsTheFile()
    {
        QFETCH(bool, flashOutstanding);
        FlashDialog window;
        makeReady(window);
        if (flashOutstanding)
            QTest::mouseClick(flashButton(window), Qt::LeftButton);
        else
            window.loadingDialog->show();

        ModalWatcher watcher;
        bool dialogHidden = false;
        watcher.setSnapshot([&] { dialogHidden = window.loadingDialog->isHidden(); });
        window.onFlashingFailed();

        QCOMPARE(watcher.messages.size(), 1);
        QCOMPARE(watcher.messages.first().title, QStringLiteral("Error"));
        QCOMPARE(watcher.messages.first().text, QStringLiteral("Flashing firmware failed!"));
        QVERIFY(dialogHidden);
        QVERIFY2(flashButton(window)->isEnabled(), "the file stays loaded for another try");
    }

    void escapeOnProgressLeavesTheFlashButtonUsable()
    {
        FlashDialog window;
        makeReady(window);
        QTest::mouseClick(flashButton(window), Qt::LeftButton);
        QVERIFY(QTest::qWaitForWindowExposed(window.loadingDialog));
        QTest::keyClick(window.loadingDialog, Qt::Key_Escape);
        QVERIFY(window.loadingDialog->isHidden());
        QCOMPARE(QApplication::activeModalWidget(), nullptr);
        QVERIFY(flashButton(window)->isEnabled());
    }

    void closingWhileFlashingIsRefused_data()
    {
        QTest::addColumn<bool>("byEscape");
        QTest::addRow("close button") << false;
        QTest::addRow("Escape once the progress is hidden") << true;
    }

    void closingWhileFlashingIsRefused()
    {
        QFETCH(bool, byEscape);
        FlashDialog window;
        makeReady(window);
        QTest::mouseClick(flashButton(window), Qt::LeftButton);
        QVERIFY(QTest::qWaitForWindowExposed(window.loadingDialog));
        window.loadingDialog->hide();
        {
            ModalWatcher watcher;
            if (byEscape)
                QTest::keyClick(&window, Qt::Key_Escape);
            else
                QVERIFY(!window.close());
            QVERIFY(window.isVisible());
            QCOMPARE(watcher.messages.size(), 1);
            QCOMPARE(watcher.messages.first().title, QStringLiteral("Flashing"));
        }
        // Once the flash has ended the window closes as usual.
        {
            ModalWatcher watcher;
            window.onFlashingFailed();
            QCOMPARE(watcher.messages.size(), 1);
        }
        if (byEscape)
            QTest::keyClick(&window, Qt::Key_Escape);
        else
            QVERIFY(window.close());
        QVERIFY(!window.isVisible());
    }

    void flashWithoutFileShowsNoEndlessProgress()
    {
        FlashDialog window;
        QSignalSpy flashSpy(&window, &FlashDialog::flashFirmware);
        window.onFlashDeviceClicked();
        QCOMPARE(flashSpy.size(), 0);
        QVERIFY(window.loadingDialog->isHidden());
    }

    void aboutMessageCarriesTheProjectVersionAndRedCloseButton()
    {
        FlashDialog window;
        window.setModal(false);
        window.show();
        ModalWatcher watcher;
        QTest::mouseClick(child<QPushButton>(window, "aboutButton"), Qt::LeftButton);
        QCOMPARE(watcher.messages.size(), 1);
        const SeenMessage &message = watcher.messages.first();
        QCOMPARE(message.title, QStringLiteral("About"));
        QCOMPARE(message.icon, int(QMessageBox::Information));
        QCOMPARE(message.text,
            QStringLiteral("TALVEX Updater\nv" TALVEX_PROJECT_VERSION
                           "\nCopyright \u00a9 Vantor. All rights reserved."));
        QCOMPARE(message.buttons, QStringList {QStringLiteral("Close")});
        QCOMPARE(message.buttonClasses, QStringList {QStringLiteral("VantorButton")});
    }

    void metaObjectMethodsInDeclarationOrder()
    {
        const QMetaObject &meta = FlashDialog::staticMetaObject;
        const QList<QPair<QByteArray, QMetaMethod::MethodType>> expected = {
            {"flashFirmware(QSharedPointer<FirmwareFile>)", QMetaMethod::Signal},
            {"startAppRequest()", QMetaMethod::Signal},
            {"onDeviceAttached()", QMetaMethod::Slot},
            {"onDeviceDetached()", QMetaMethod::Slot},
            {"onDeviceInformationChanged(bool,QString,uchar,uchar,uchar,bool)", QMetaMethod::Slot},
            {"onFirmwareInformationChanged(bool,uchar,uchar,uchar,uint,QString)", QMetaMethod::Slot},
            {"onFirmwareReprogrammed(uchar,uchar,uchar,uint,QString)", QMetaMethod::Slot},
            {"onFlashingFailed()", QMetaMethod::Slot},
            {"onLoadFirmwareClicked()", QMetaMethod::Slot},
            {"onFlashDeviceClicked()", QMetaMethod::Slot},
            {"updateFlashDeviceButton()", QMetaMethod::Slot},
            {"onDevicesInaccessible(QStringList)", QMetaMethod::Slot},
            {"onDevicesNotAnswering(QStringList)", QMetaMethod::Slot},
        };
        QCOMPARE(meta.methodCount() - meta.methodOffset(), expected.size());
        for (int i = 0; i < expected.size(); ++i) {
            const QMetaMethod method = meta.method(meta.methodOffset() + i);
            QCOMPARE(method.methodSignature(), expected.at(i).first);
            QCOMPARE(method.methodType(), expected.at(i).second);
            QCOMPARE(method.access(),
                method.name() == "updateFlashDeviceButton" ? QMetaMethod::Private : QMetaMethod::Public);
        }
        // Start-up connects these by their text signatures.
        QVERIFY(meta.indexOfSlot(QMetaObject::normalizedSignature(
                    "onDeviceInformationChanged(bool, QString, quint8, quint8, quint8, bool)"))
            >= 0);
        QVERIFY(meta.indexOfSlot(QMetaObject::normalizedSignature(
                    "onFirmwareInformationChanged(bool, quint8, quint8, quint8, quint32, QString)"))
            >= 0);
    }
};

QTEST_MAIN(tst_FlashDialog)
#include "tst_flashdialog.moc"
