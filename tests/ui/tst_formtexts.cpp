#include <QApplication>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

#include "firmwarefixture.h"
#include "ui/flashdialog.h"
#include "ui/loadingdialog.h"

// Answers every lookup with the context and the source text in brackets, so a
// widget's text shows whether, and under which context, it was translated.
class MarkingTranslator : public QTranslator
{
public:
    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *sourceText, const char *, int) const override
    {
        return QStringLiteral("[%1] %2").arg(QString::fromUtf8(context), QString::fromUtf8(sourceText));
    }
};

// Which of the forms' texts go through the translator, and under which context.
class tst_FormTexts : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir settingsDir;
    MarkingTranslator translator;

private slots:
    void initTestCase()
    {
        QVERIFY(settingsDir.isValid());
        useTestSettings(settingsDir.path());
        QVERIFY(qApp->installTranslator(&translator));
    }

    void cleanupTestCase() { qApp->removeTranslator(&translator); }

    void textsTranslatedUnderTheirFormsContext_data()
    {
        QTest::addColumn<QString>("objectName");
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<QString>("expected");
        const char *rows[][3] = {
            {"DeviceInfoStatusGroupBox", "title", "[FlashDialog] Device status"},
            {"SerialNumberLabel", "text", "[FlashDialog] Serial number:"},
            {"CurrentSerialNumberLabel", "text", "[FlashDialog] SN######"},
            {"boardVersionLabel", "text", "[FlashDialog] Board version:"},
            {"CurrentBoardVersionLabel", "text", "[FlashDialog] #.#"},
            {"DeviceVersionLabel", "text", "[FlashDialog] Firmware version:"},
            {"DeviceVersionValueLabel", "text", "[FlashDialog] #.#.#"},
            {"NoDeviceConnectedLabel", "text", "[FlashDialog] No device connected!"},
            {"loadFirmwareButton", "text", "[FlashDialog] Choose firmware file"},
            {"FirmwareFileLabel", "text", "[FlashDialog] Firmware file:"},
            {"FileVersionLabel", "text", "[FlashDialog] Firmware version:"},
            {"FileVersionValueLabel", "text", "[FlashDialog] #.#.#"},
            {"FlashDeviceButton", "text", "[FlashDialog] Flash device"},
            {"groupBox", "title", "Firmware"},
            {"firmwareFileNameLabel", "text", ""},
            {"vantorImageLabel", "text", ""},
            {"aboutButton", "text", ""},
            {"LoadingDialog", "windowTitle", "[LoadingDialog] Progress"},
            {"label", "text", "[LoadingDialog] Programming"},
        };
        for (const auto &row : rows)
            QTest::addRow("%s %s", row[0], row[1])
                << QString::fromLatin1(row[0]) << QByteArray(row[1]) << QString::fromUtf8(row[2]);
    }

    void textsTranslatedUnderTheirFormsContext()
    {
        QFETCH(QString, objectName);
        QFETCH(QByteArray, property);
        QFETCH(QString, expected);
        FlashDialog window;
        QObject *widget = objectName == window.loadingDialog->objectName()
            ? window.loadingDialog
            : window.findChild<QObject *>(objectName);
        QVERIFY2(widget, qPrintable(objectName));
        QCOMPARE(widget->property(property).toString(), expected);
    }
};

QTEST_MAIN(tst_FormTexts)
#include "tst_formtexts.moc"
