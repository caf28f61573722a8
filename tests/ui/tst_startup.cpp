#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QRegularExpression>
#include <QResource>
#include <QtTest>

#include "app/startup.h"
#include "qtcompat.h"

// The look and identity start-up gives the application, and the compiled-in resources.
class tst_Startup : public QObject
{
    Q_OBJECT

public:
    // As the program's entry point does, before the application object exists.
    static void initMain() { QtCompat::enableHighDpiScaling(); }

private slots:
    void highDpiScalingRoundsToWholeFactorsOnQt5AndQt6()
    {
        QCOMPARE(
            QGuiApplication::highDpiScaleFactorRoundingPolicy(), Qt::HighDpiScaleFactorRoundingPolicy::Round);
    }

    void identityNamesTheSettingsStore()
    {
        setApplicationIdentity();
        QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Vantor"));
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("TALVEX Updater"));
    }

    void widgetsWithoutOwnFontUseEightPoints()
    {
        const QString family = QApplication::font().family();
        applyApplicationFont();
        QCOMPARE(QApplication::font().pointSize(), 8);
        QCOMPARE(QApplication::font().family(), family);
        QLabel label;
        QCOMPARE(label.font().pointSize(), 8);
    }

    void styleSheetIsInstalledWholeWithItsRulesInOrder()
    {
        installStyleSheet(*qApp);
        QFile file(QStringLiteral(":/styles.qss"));
        QVERIFY(file.open(QFile::ReadOnly));
        QCOMPARE(qApp->styleSheet(), QString::fromUtf8(file.readAll()));

        QStringList selectors;
        const QRegularExpression rule(QStringLiteral("([^{}]+)\\{[^}]*\\}"));
        auto it = rule.globalMatch(qApp->styleSheet());
        while (it.hasNext())
            selectors << it.next().captured(1).trimmed();
        const QStringList expected = {
            "QGroupBox",
            "QGroupBox#groupBox",
            ".VantorButton",
            ".VantorButton:disabled",
            ".VantorButton:hover",
            "QPushButton#aboutButton",
            "QPushButton#aboutButton:pressed",
            "QLabel",
            "QLabel#NoDeviceConnectedLabel",
        };
        QCOMPARE(selectors, expected);
    }

    void missingStyleSheetGivesUnstyledStart()
    {
        installStyleSheet(*qApp);
        QVERIFY(!qApp->styleSheet().isEmpty());
        installStyleSheet(*qApp, QStringLiteral(":/no-such-styles.qss"));
        QCOMPARE(qApp->styleSheet(), QString());
    }

    void picturesHaveTheirSizesAndAreStoredUncompressed_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("size");
        QTest::addRow("device 128") << ":/Vantor/icon.png" << QSize(128, 128);
        QTest::addRow("device 16") << ":/Vantor/icon-16x16.png" << QSize(16, 16);
        QTest::addRow("device 32") << ":/Vantor/icon-32x32.png" << QSize(32, 32);
        QTest::addRow("device 90") << ":/Vantor/icon-90x90.png" << QSize(90, 90);
        QTest::addRow("information") << ":/icons/information.png" << QSize(16, 16);
        QTest::addRow("style sheet") << ":/styles.qss" << QSize();
    }

    void picturesHaveTheirSizesAndAreStoredUncompressed()
    {
        QFETCH(QString, path);
        QFETCH(QSize, size);
        QResource resource(path);
        QVERIFY(resource.isValid());
        QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
        if (size.isValid()) {
            const QImage image(path);
            QVERIFY(!image.isNull());
            QCOMPARE(image.size(), size);
        }
    }
};

QTEST_MAIN(tst_Startup)
#include "tst_startup.moc"
