#include <QApplication>
#include <QLabel>
#include <QMetaMethod>
#include <QProgressBar>
#include <QtTest>

#include "ui/loadingdialog.h"

class tst_LoadingDialog : public QObject
{
    Q_OBJECT

private:
    static QProgressBar *bar(LoadingDialog &dialog)
    {
        return dialog.findChild<QProgressBar *>("progressBar");
    }
    static QLabel *label(LoadingDialog &dialog) { return dialog.findChild<QLabel *>("label"); }

private slots:
    void cannotBeResizedAndBlocksOnlyItsWindow()
    {
        QWidget window;
        LoadingDialog dialog(&window);
        QCOMPARE(dialog.size(), QSize(399, 77));
        QCOMPARE(dialog.minimumSize(), QSize(399, 77));
        QCOMPARE(dialog.maximumSize(), QSize(399, 77));
        QCOMPARE(dialog.windowModality(), Qt::WindowModal);
        QVERIFY(dialog.isModal());
        QVERIFY(!dialog.windowFlags().testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(!dialog.windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Progress"));
        QCOMPARE(dialog.contextMenuPolicy(), Qt::PreventContextMenu);
    }

    void startsHiddenWithItsFormValues()
    {
        LoadingDialog dialog;
        QVERIFY(dialog.isHidden());
        QVERIFY(bar(dialog));
        QVERIFY(label(dialog));
        QCOMPARE(bar(dialog)->value(), 24);
        QCOMPARE(label(dialog)->text(), QStringLiteral("Programming"));
        QCOMPARE(label(dialog)->font().pointSize(), 12);
    }

    void setProgressIgnoresValuesOutsidePercentRange_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("expected");
        QTest::addRow("zero") << 0 << 0;
        QTest::addRow("full bar") << 100 << 100;
        QTest::addRow("101 ignored") << 101 << 50;
        QTest::addRow("negative ignored") << -1 << 50;
    }

    void setProgressIgnoresValuesOutsidePercentRange()
    {
        QFETCH(int, value);
        QFETCH(int, expected);
        LoadingDialog dialog;
        dialog.setProgress(50);
        dialog.setProgress(value);
        QCOMPARE(bar(dialog)->value(), expected);
    }

    void escapeHidesItAndValuesPersistUntilSetAgain()
    {
        QWidget window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *dialog = new LoadingDialog(&window);
        dialog->setInformation(QStringLiteral("Flashing firmware..."));
        dialog->setProgress(0);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        QCOMPARE(QApplication::activeModalWidget(), dialog);
        dialog->setProgress(42);

        QTest::keyClick(dialog, Qt::Key_Escape);
        QVERIFY(dialog->isHidden());
        QCOMPARE(QApplication::activeModalWidget(), nullptr);
        QCOMPARE(bar(*dialog)->value(), 42);
        QCOMPARE(label(*dialog)->text(), QStringLiteral("Flashing firmware..."));

        dialog->show();
        QCOMPARE(bar(*dialog)->value(), 42);
        QCOMPARE(dialog->size(), QSize(399, 77));
    }

    void metaObjectOffersTwoSlotsInOrder()
    {
        const QMetaObject &meta = LoadingDialog::staticMetaObject;
        QCOMPARE(meta.methodCount() - meta.methodOffset(), 2);
        const QMetaMethod first = meta.method(meta.methodOffset());
        const QMetaMethod second = meta.method(meta.methodOffset() + 1);
        QCOMPARE(first.methodSignature(), QByteArray("setProgress(int)"));
        QCOMPARE(first.methodType(), QMetaMethod::Slot);
        QCOMPARE(first.parameterNames(), QList<QByteArray> {"progress"});
        QCOMPARE(second.methodSignature(), QByteArray("setInformation(QString)"));
        QCOMPARE(second.methodType(), QMetaMethod::Slot);
        QCOMPARE(second.parameterNames(), QList<QByteArray> {"text"});
    }
};

QTEST_MAIN(tst_LoadingDialog)
#include "tst_loadingdialog.moc"
